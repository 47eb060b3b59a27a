// The sanitize resource through the request entry, the way the host calls it, beside the scan
// that it wraps, in the same binary:
//  - one 100-byte chat line in a JSON body per request (requests/s per core), against
//    SanitizeText on the same line;
//  - `texts` of 1,000 fortunes per request in a JSON and in a MessagePack body, against
//    SanitizeText on the same 1,000 texts, once on texts decoded beforehand (the scan itself)
//    and once with the UTF-8 decoding and encoding around each call;
//  - taking and releasing the current snapshot, which every request does once, against copying
//    a plain shared pointer, on one thread and on two.
// The request path is everything from the request record to the released response: body
// decoding, conversion to the request record, the UTF-8 checks, decoding, scan and encoding of
// every text, the response's conversion to a value and to a host value, and its release.
//
// The engine is built from the bundled sample assets (locale en_US) plus
// shared/data/wordlists/en as the level-1 filter list, as in the engine benchmarks; a missing
// input skips the benchmarks that need it. Run with the release preset:
//   build/release/bench/sanitizer_request_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_snapshot.h"
#include "bench/engine_bench_inputs.h"
#include "sdk/binding/binding_registry.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/request_dispatch.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::bench {
namespace {

using service::SanitizerService;

constexpr std::size_t kFortunesPerRequest = 1000;

// A chat line of exactly 100 bytes, without a listed word.
constexpr std::string_view kChatLine =
    "hey all, anyone up for the raid tonight? bring potions and keys, we start at nine; don't "
    "be late :-)";
static_assert(kChatLine.size() == 100);

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      quoted += "\\u00";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0xF];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// {"texts": [...]} in MessagePack: a fixmap, array32 and str32 throughout.
std::string MessagePackTexts(const std::vector<std::string>& texts) {
  auto word = [](std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
  };
  std::string bytes = "\x81\xA5texts\xDD";
  word(bytes, static_cast<uint32_t>(texts.size()));
  for (const std::string& text : texts) {
    bytes += '\xDB';
    word(bytes, static_cast<uint32_t>(text.size()));
    bytes += text;
  }
  return bytes;
}

// The plug-in's side: the service on the benchmark engine's inputs, configured once, with its
// records and endpoints registered as the plug-in registers them.
class Plugin {
 public:
  Plugin() : service_(MakeFolderAssetLoader(SampleAssets())) {
    static const std::vector<std::string> tags = {"Plugins", "Plugin sanitizer"};
    service::RegisterSanitizerApi(table_, "Sanitizer", tags, service_);
    if (!MissingInput().empty()) return;
    service_.LoadCharTables();
    LevelTexts includes;
    includes[1].push_back(sdk::text::Utf8ToUtf32(ListText(*EnglishWordList())));
    service_.Configure(false, "", "en_US", std::move(includes), {}, {});
    for (const sdk::dispatch::Endpoint* endpoint : table_.Endpoints()) {
      if (endpoint->path_template() == service::kSanitizePath) sanitize_ = endpoint;
    }
  }

  const SanitizerService& service() const { return service_; }
  const sdk::dispatch::Endpoint* sanitize() const { return sanitize_; }

 private:
  sdk::binding::BindingRegistry registry_;
  sdk::dispatch::EndpointTable table_{registry_};
  SanitizerService service_;
  const sdk::dispatch::Endpoint* sanitize_ = nullptr;
};

const Plugin& ThePlugin() {
  static const Plugin* const plugin = new Plugin();
  return *plugin;
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

bool Ready(benchmark::State& state) {
  if (const std::string missing = MissingInput(); !missing.empty()) {
    state.SkipWithError(missing.c_str());
    return false;
  }
  return true;
}

// One request through the entry and the release of its response: one iteration of the request
// benchmarks, a function of its own so that callgrind can count it
// (valgrind --tool=callgrind --toggle-collect='*SendRequest*').
[[gnu::noinline]] void SendRequest(PluginResponseRecord& response,
                                   const PluginRequestRecord& request) {
  sdk::dispatch::HandleRequest(&response, &request);
  benchmark::DoNotOptimize(static_cast<uint32_t>(response.result.tag));
  response.release(&response);
}

// Sends `body` to the sanitize endpoint per iteration and releases the response.
void RunSanitizeRequests(benchmark::State& state, const char* content_type,
                         const std::string& body) {
  const Plugin& plugin = ThePlugin();
  PluginRequestRecord request{};
  request.method = kPluginMethodPost;
  request.path = service::kSanitizePath.data();
  request.endpoint_context = plugin.sanitize()->context();
  request.content_type = content_type;
  request.body = body.data();
  request.body_size = static_cast<uint32_t>(body.size());
  PluginResponseRecord response{};
  sdk::dispatch::HandleRequest(&response, &request);
  if (response.error_text != nullptr || response.result.tag != kHostValueStructure) {
    state.SkipWithError(response.error_text != nullptr ? response.error_text
                                                       : "the request did not succeed");
    return;
  }
  response.release(&response);
  for (auto _ : state) SendRequest(response, request);
}

void BM_RequestChatLineJson(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::string body = "{\"text\":" + JsonString(kChatLine) + "}";
  RunSanitizeRequests(state, "application/json", body);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChatLine.size()));
}
BENCHMARK(BM_RequestChatLineJson);

void BM_ScanChatLine(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::shared_ptr<const service::SanitizerSnapshot> snapshot =
      ThePlugin().service().Snapshot();
  const std::u32string text = sdk::text::Utf8ToUtf32(kChatLine);
  std::u32string output;
  for (auto _ : state) {
    output.clear();
    benchmark::DoNotOptimize(SanitizeText(*snapshot->engine, output, text, kDefaultLevel, false,
                                          false, kDefaultMaxWords));
    benchmark::DoNotOptimize(output.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kChatLine.size()));
}
BENCHMARK(BM_ScanChatLine);

void RunFortuneRequests(benchmark::State& state, bool message_pack) {
  if (!Ready(state)) return;
  const std::vector<std::string>& texts = Fortunes();
  std::string body;
  if (message_pack) {
    body = MessagePackTexts(texts);
  } else {
    body = "{\"texts\":[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) body += ',';
      body += JsonString(texts[i]);
    }
    body += "]}";
  }
  RunSanitizeRequests(state, message_pack ? "application/x-msgpack" : "application/json", body);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
  state.counters["body"] = static_cast<double>(body.size());
}

void BM_RequestFortunesJson(benchmark::State& state) { RunFortuneRequests(state, false); }
BENCHMARK(BM_RequestFortunesJson)->Unit(benchmark::kMicrosecond);

void BM_RequestFortunesMessagePack(benchmark::State& state) { RunFortuneRequests(state, true); }
BENCHMARK(BM_RequestFortunesMessagePack)->Unit(benchmark::kMicrosecond);

// One iteration of each scan baseline, functions of their own for callgrind as SendRequest.
[[gnu::noinline]] void ScanTexts(const SanitizerEngine& engine,
                                 const std::vector<std::u32string>& texts, std::u32string& output) {
  for (const std::u32string& text : texts) {
    output.clear();
    benchmark::DoNotOptimize(
        SanitizeText(engine, output, text, kDefaultLevel, false, false, kDefaultMaxWords));
    benchmark::DoNotOptimize(output.data());
  }
}

[[gnu::noinline]] void ScanTextsWithUtf8(const SanitizerEngine& engine,
                                         const std::vector<std::string>& texts,
                                         std::u32string& output) {
  for (const std::string& text : texts) {
    const std::u32string decoded = sdk::text::Utf8ToUtf32(text);
    output.clear();
    benchmark::DoNotOptimize(
        SanitizeText(engine, output, decoded, kDefaultLevel, false, false, kDefaultMaxWords));
    const std::string masked = sdk::text::Utf32ToUtf8(output);
    benchmark::DoNotOptimize(masked.data());
  }
}

// Baseline: SanitizeText on the same texts, decoded beforehand.
void BM_ScanFortunes(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::shared_ptr<const service::SanitizerSnapshot> snapshot =
      ThePlugin().service().Snapshot();
  const std::vector<std::string>& texts = Fortunes();
  std::vector<std::u32string> decoded;
  for (const std::string& text : texts) decoded.push_back(sdk::text::Utf8ToUtf32(text));
  std::u32string output;
  for (auto _ : state) ScanTexts(*snapshot->engine, decoded, output);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
}
BENCHMARK(BM_ScanFortunes)->Unit(benchmark::kMicrosecond);

// Baseline: the same with each text decoded from UTF-8 before and encoded after the scan.
void BM_ScanFortunesWithUtf8(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::shared_ptr<const service::SanitizerSnapshot> snapshot =
      ThePlugin().service().Snapshot();
  const std::vector<std::string>& texts = Fortunes();
  std::u32string output;
  for (auto _ : state) ScanTextsWithUtf8(*snapshot->engine, texts, output);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
  state.SetBytesProcessed(state.iterations() * TotalBytes(texts));
}
BENCHMARK(BM_ScanFortunesWithUtf8)->Unit(benchmark::kMicrosecond);

// Reference counts are updated without atomic instructions while a process has never started
// a second thread; a host process has, so both snapshot benchmarks start one first.
void StartAThread() {
  static const bool started = [] {
    std::thread([] {}).join();
    return true;
  }();
  benchmark::DoNotOptimize(started);
}

// What each request pays for its snapshot: take the current one and let it go.
void BM_SnapshotTakeAndRelease(benchmark::State& state) {
  StartAThread();
  static const service::SnapshotSlot* const slot = new service::SnapshotSlot();
  for (auto _ : state) {
    std::shared_ptr<const service::SanitizerSnapshot> snapshot = slot->Load();
    benchmark::DoNotOptimize(snapshot.get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnapshotTakeAndRelease)->Threads(1)->Threads(2);

// Baseline: copying and releasing a shared pointer that all threads share, without the lock.
void BM_SharedPointerCopy(benchmark::State& state) {
  StartAThread();
  static const std::shared_ptr<const service::SanitizerSnapshot>* const shared =
      new std::shared_ptr<const service::SanitizerSnapshot>(
          std::make_shared<const service::SanitizerSnapshot>());
  for (auto _ : state) {
    std::shared_ptr<const service::SanitizerSnapshot> snapshot = *shared;
    benchmark::DoNotOptimize(snapshot.get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedPointerCopy)->Threads(1)->Threads(2);

}  // namespace
}  // namespace sanitizer::bench

BENCHMARK_MAIN();
