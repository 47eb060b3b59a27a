// The sanitizer plug-in library as a host meets it: nbx-be-sanitizer.so loaded and started
// through PluginHost with the host resources of the tools, requests sent through the host's
// endpoint client, beside the engine's own scan in the same binary.
//  - POST /sanitizer/v1/sanitize with one 100-byte chat line in a JSON body (requests/s on one
//    thread, so per core), against SanitizeText on the same line;
//  - `texts` of 1,000 fortunes per request in a JSON and in a MessagePack body, against
//    SanitizeText on the same 1,000 texts, decoded beforehand (the scan alone) and with the
//    UTF-8 decoding and encoding around each call;
//  - an engine rebuild through a configuration event, with a level-1 filter list of 50,000
//    entries of /usr/share/dict/american-english served as the asset "1.filter.csv" beside the
//    sample character tables (as bench/engine_build_bench.cc builds it), against BuildEngine on
//    the same folder replacing the previous engine as the plug-in does; with the plug-in's own
//    MemoryStats (its counting allocator) for memory.
// The request benchmarks' plug-in runs on the sample assets plus shared/data/wordlists/en as
// its configuration's Level1Filter, at locale en_US, and the baselines use the engine built
// from the same inputs (engine_bench_inputs.h). Every call goes through CallInPlace, which reads
// the answer in place (the `modified` member) before the plug-in's record is released. Run with
// the release preset:
//   build/release/bench/sanitizer_plugin_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "bench/engine_bench_inputs.h"
#include "sdk/text/code_conversion.h"
#include "tools/plugin_host/host_json.h"
#include "tools/plugin_host/message_pack_writer.h"
#include "tools/plugin_host/plugin_host.h"
#include "tools/sanitizer/sanitizer_host_resources.h"

namespace sanitizer::bench {
namespace {

using plugin_host::CallRequest;
using plugin_host::OwnedHostValue;
using plugin_host::PluginHost;
using plugin_host::ResponseView;
using tool::HostResourceOptions;
using tool::SanitizerHostResources;

constexpr std::size_t kFortunesPerRequest = 1000;
constexpr std::size_t kBuildEntries = 50000;
constexpr char kSanitizePath[] = "/sanitizer/v1/sanitize";

// A chat line of exactly 100 bytes, without a listed word.
constexpr std::string_view kChatLine =
    "hey all, anyone up for the raid tonight? bring potions and keys, we start at nine; don't "
    "be late :-)";
static_assert(kChatLine.size() == 100);

// A started plug-in with its resources.
struct Loaded {
  std::unique_ptr<PluginHost> host;
  std::unique_ptr<SanitizerHostResources> resources;
};

Loaded Start(const std::filesystem::path& folder, const OwnedHostValue& configuration) {
  Loaded loaded;
  plugin_host::Result<std::unique_ptr<PluginHost>> host = PluginHost::Load(SANITIZER_PLUGIN_PATH);
  if (!host.ok()) {
    std::fprintf(stderr, "%s\n", host.error().c_str());
    return loaded;
  }
  loaded.host = std::move(host).value();
  loaded.resources =
      std::make_unique<SanitizerHostResources>(*loaded.host, HostResourceOptions{folder, 0});
  loaded.resources->SetConfiguration(configuration);
  loaded.resources->SetRegionLocale("", "en_US");
  if (!loaded.host->Start().ok()) loaded.host.reset();
  return loaded;
}

// The plug-in of the request benchmarks, started once.
PluginHost* RequestPlugin() {
  static Loaded* const loaded = [] {
    auto* const started = new Loaded();
    if (!MissingInput().empty()) return started;
    *started = Start(SampleAssets(),
                     OwnedHostValue::Structure(
                         {{"Level1Filter", OwnedHostValue::String(ListText(*EnglishWordList()))}}));
    return started;
  }();
  return loaded->host.get();
}

bool Ready(benchmark::State& state) {
  if (const std::string missing = MissingInput(); !missing.empty()) {
    state.SkipWithError(missing.c_str());
    return false;
  }
  if (RequestPlugin() == nullptr) {
    state.SkipWithError("the plug-in did not load or start");
    return false;
  }
  return true;
}

// 1,000 texts spread over the fortunes corpus.
const std::vector<std::string>& Fortunes() {
  static const std::vector<std::string> texts = [] {
    const std::vector<std::string> corpus = FortuneTexts();
    std::vector<std::string> chosen;
    if (corpus.size() < kFortunesPerRequest) return chosen;
    for (std::size_t i = 0; i < kFortunesPerRequest; ++i) {
      chosen.push_back(corpus[i * corpus.size() / kFortunesPerRequest]);
    }
    return chosen;
  }();
  return texts;
}

int64_t TotalBytes(const std::vector<std::string>& texts) {
  int64_t bytes = 0;
  for (const std::string& text : texts) bytes += static_cast<int64_t>(text.size());
  return bytes;
}

// POSTs `body` to the sanitize resource per iteration, reading `modified` in place.
void RunSanitizeCalls(benchmark::State& state, std::string_view content_type,
                      const std::string& body) {
  PluginHost& host = *RequestPlugin();
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = kSanitizePath;
  request.content_type = content_type;
  request.body = body;
  bool failed = false;
  std::string error;
  auto read = [&](const ResponseView& view) {
    if (view.failed()) {
      failed = true;
      error = std::string(view.error());
      return;
    }
    const std::optional<plugin_host::HostValueView> modified = view.result().Find("modified");
    benchmark::DoNotOptimize(modified.has_value() && modified->AsBool());
  };
  host.CallInPlace(request, read);
  if (failed) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) host.CallInPlace(request, read);
  if (failed) state.SkipWithError(error.c_str());
}

void BM_PluginChatLineJson(benchmark::State& state) {
  if (!Ready(state)) return;
  std::string body;
  {
    plugin_host::Result<std::string> json = plugin_host::HostValueToJson(
        OwnedHostValue::Structure({{"text", OwnedHostValue::String(kChatLine)}}).view());
    body = json.value();
  }
  RunSanitizeCalls(state, "application/json", body);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChatLine.size()));
}
BENCHMARK(BM_PluginChatLineJson);

void BM_ScanChatLine(benchmark::State& state) {
  if (!Ready(state)) return;
  const SanitizerEngine& engine = *ScanEngines().engine;
  const std::u32string text = sdk::text::Utf8ToUtf32(kChatLine);
  std::u32string output;
  for (auto _ : state) {
    output.clear();
    benchmark::DoNotOptimize(
        SanitizeText(engine, output, text, kDefaultLevel, false, false, kDefaultMaxWords));
    benchmark::DoNotOptimize(output.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChatLine.size()));
}
BENCHMARK(BM_ScanChatLine);

void RunFortuneCalls(benchmark::State& state, bool message_pack) {
  if (!Ready(state)) return;
  const std::vector<std::string>& texts = Fortunes();
  std::vector<OwnedHostValue> elements;
  for (const std::string& text : texts) elements.push_back(OwnedHostValue::String(text));
  const OwnedHostValue request =
      OwnedHostValue::Structure({{"texts", OwnedHostValue::Collection(std::move(elements))}});
  std::string body;
  if (message_pack) {
    plugin_host::MessagePackWriter writer;
    if (!writer.Write(request.view()).ok()) state.SkipWithError("the body does not write");
    body = writer.Take();
  } else {
    body = plugin_host::HostValueToJson(request.view()).value();
  }
  RunSanitizeCalls(state, message_pack ? "application/x-msgpack" : "application/json", body);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
  state.counters["body"] = static_cast<double>(body.size());
}

void BM_PluginFortunesJson(benchmark::State& state) { RunFortuneCalls(state, false); }
BENCHMARK(BM_PluginFortunesJson)->Unit(benchmark::kMicrosecond);

void BM_PluginFortunesMessagePack(benchmark::State& state) { RunFortuneCalls(state, true); }
BENCHMARK(BM_PluginFortunesMessagePack)->Unit(benchmark::kMicrosecond);

// Baseline: SanitizeText on the same texts, decoded beforehand.
void BM_ScanFortunes(benchmark::State& state) {
  if (!Ready(state)) return;
  const SanitizerEngine& engine = *ScanEngines().engine;
  const std::vector<std::string>& texts = Fortunes();
  std::vector<std::u32string> decoded;
  for (const std::string& text : texts) decoded.push_back(sdk::text::Utf8ToUtf32(text));
  std::u32string output;
  for (auto _ : state) {
    for (const std::u32string& text : decoded) {
      output.clear();
      benchmark::DoNotOptimize(
          SanitizeText(engine, output, text, kDefaultLevel, false, false, kDefaultMaxWords));
      benchmark::DoNotOptimize(output.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
}
BENCHMARK(BM_ScanFortunes)->Unit(benchmark::kMicrosecond);

// Baseline: the same with each text decoded from UTF-8 before and encoded after the scan.
void BM_ScanFortunesWithUtf8(benchmark::State& state) {
  if (!Ready(state)) return;
  const SanitizerEngine& engine = *ScanEngines().engine;
  const std::vector<std::string>& texts = Fortunes();
  std::u32string output;
  for (auto _ : state) {
    for (const std::string& text : texts) {
      const std::u32string decoded = sdk::text::Utf8ToUtf32(text);
      output.clear();
      benchmark::DoNotOptimize(
          SanitizeText(engine, output, decoded, kDefaultLevel, false, false, kDefaultMaxWords));
      const std::string masked = sdk::text::Utf32ToUtf8(output);
      benchmark::DoNotOptimize(masked.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
}
BENCHMARK(BM_ScanFortunesWithUtf8)->Unit(benchmark::kMicrosecond);

// ------------------------------------------------------------------------------------------
// The engine build

// A folder with the sample character tables and the 50,000-entry list as "1.filter.csv"; empty
// when an input is missing.
const std::filesystem::path& BuildFolder() {
  static const std::filesystem::path folder = []() -> std::filesystem::path {
    std::error_code code;
    if (!std::filesystem::is_regular_file(kAmericanEnglish, code)) return {};
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "sanitizer-plugin-bench-assets";
    std::filesystem::remove_all(path, code);
    std::filesystem::create_directories(path, code);
    for (const char* name : {"punctuationchars.txt", "breakingchars.txt", "projectedchars.txt",
                             "projectedchars1337.txt"}) {
      std::filesystem::copy_file(SampleAssets() / name, path / name, code);
      if (code) return {};
    }
    std::ofstream(path / "1.filter.csv", std::ios::binary)
        << ListText(kAmericanEnglish, kBuildEntries);
    return path;
  }();
  return folder;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// Each iteration publishes a configuration event that differs from the one before (a level-3
// word of its own), so the plug-in rebuilds its whole engine, 50,000 entries at level 1
// included, reading every asset from the host, and publishes its status.
void BM_PluginRebuild50k(benchmark::State& state) {
  if (BuildFolder().empty()) {
    state.SkipWithError("missing /usr/share/dict/american-english or the sample assets");
    return;
  }
  Loaded loaded = Start(BuildFolder(), OwnedHostValue::Structure({}));
  if (loaded.host == nullptr) {
    state.SkipWithError("the plug-in did not load or start");
    return;
  }
  const plugin_host::MemoryCounters before = loaded.host->MemoryStats().value();
  const OwnedHostValue configurations[] = {
      OwnedHostValue::Structure({{"Level3Filter", OwnedHostValue::String("zorblax")}}),
      OwnedHostValue::Structure({{"Level3Filter", OwnedHostValue::String("quuxword")}})};
  int64_t events = 0;
  for (auto _ : state) {
    if (loaded.resources->UpdateConfiguration(configurations[events % 2]) != 1) {
      state.SkipWithError("the configuration event reached no subscription");
      break;
    }
    ++events;
  }
  const plugin_host::MemoryCounters after = loaded.host->MemoryStats().value();
  const plugin_host::Response status = loaded.host->Call(kPluginMethodGet, "/sanitizer/v1/status");
  if (status.ok()) {
    const std::optional<plugin_host::HostValueView> counts =
        status.result.view().Find("filteredWordCountsByLevel");
    if (counts.has_value() && counts->Find("1").has_value()) {
      state.counters["words"] = static_cast<double>(counts->Find("1")->AsUnsigned());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBuildEntries));
  // Bytes the plug-in holds with one 50,000-entry engine (and its tables, registry and
  // logger), and the most it held at once, which is while a new engine is built beside the
  // one in use.
  state.counters["in_use_MiB"] = MiB(after.bytes_in_use());
  state.counters["peak_MiB"] = MiB(after.peak_bytes_in_use);
  state.counters["start_in_use_MiB"] = MiB(before.bytes_in_use());
}
BENCHMARK(BM_PluginRebuild50k)->Unit(benchmark::kMillisecond);

// Baseline: BuildEngine on the same folder, in this binary, replacing the engine of the
// previous iteration as the plug-in replaces its own: the new engine is built beside the old
// one, which is destroyed afterwards, inside the timed loop as in the plug-in. (Destroying each
// engine before the next build instead lets the allocator hand its pages back to the system
// between builds, and the next build pays for faulting them in again.)
void BM_BuildEngine50k(benchmark::State& state) {
  if (BuildFolder().empty()) {
    state.SkipWithError("missing /usr/share/dict/american-english or the sample assets");
    return;
  }
  const AssetLoader loader = MakeFolderAssetLoader(BuildFolder());
  const std::shared_ptr<const SanitizerUtils> utils = SanitizerUtils::Create(loader);
  std::unique_ptr<SanitizerEngine> current =
      BuildEngine(utils, false, "", "en_US", {}, {}, {}, loader);
  for (auto _ : state) {
    std::unique_ptr<SanitizerEngine> next =
        BuildEngine(utils, false, "", "en_US", {}, {}, {}, loader);
    current = std::move(next);  // the previous engine goes here
    benchmark::DoNotOptimize(current.get());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBuildEntries));
  state.counters["words"] = current->filtered_word_counts().at(1);
}
BENCHMARK(BM_BuildEngine50k)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
