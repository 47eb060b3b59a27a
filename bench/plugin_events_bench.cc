// The plug-in base's event paths and its API description, each beside the work it cannot avoid,
// measured in the same binary:
//  - DeliverResourceEvent: a resource event (a configuration-like PluginResourceEvent) handed to
//    the delivery callback as a host would, through the handler lookup, the host value → value
//    → record conversions and the resource dispatch to the subscribed handler;
//    DeliveryConversionsOnly: the same two conversions and the handler call, nothing else.
//  - SendEvent: a status-like record published with SendEvent (two host events, to a host that
//    does nothing with them); SendConversionsOnly: the record → value → host value conversions
//    and the release of the host value.
//  - BuildApiDescription for a registry of the sanitizer's size (the built-ins, the platform
//    types, eight records of its own and three endpoints); RegistryListsOnly: copying the
//    registry's three lists, which the build starts with.
//
// Run with the release preset:
//   build/release/bench/plugin_events_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/api_description.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/host/platform_types.h"
#include "sdk/host/plugin_base.h"

namespace bench_records {

struct Status {
  std::string uri;
  bool ready = false;
  std::string region;
  std::string locale;
  std::map<std::string, uint32_t> filteredWordCountsByLevel;
  std::map<std::string, uint32_t> whitelistedWordCountsByLevel;
  uint32_t allowedCharsCount = 0;
  uint32_t breakingCharsCount = 0;
  uint32_t projectedCharsCount = 0;
};
struct CheckRequest {
  std::string text;
  std::optional<uint32_t> level;
  std::optional<bool> includeEmbedded;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};
struct CheckResponse {
  bool contains = false;
};
struct MaskRequest {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  std::optional<uint32_t> level;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};
struct MaskResponse {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  bool modified = false;
};
struct Extra1 {
  std::string a;
};
struct Extra2 {
  uint32_t b = 0;
};
struct Extra3 {
  std::vector<Extra1> c;
};

}  // namespace bench_records

namespace {

using bench_records::CheckRequest;
using bench_records::CheckResponse;
using bench_records::MaskRequest;
using bench_records::MaskResponse;
using bench_records::Status;
using sdk::binding::BindingRegistry;
using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::RecordBuilder;
using sdk::dispatch::HttpMethod;
using sdk::host::PluginResourceEvent;

void RegisterRecords(BindingRegistry& registry, const std::vector<std::string>& tags) {
  RecordBuilder<Status> status(registry, "BenchStatus");
  SDK_BINDING_MEMBER(status, uri);
  SDK_BINDING_MEMBER(status, ready);
  SDK_BINDING_MEMBER(status, region);
  SDK_BINDING_MEMBER(status, locale);
  SDK_BINDING_MEMBER(status, filteredWordCountsByLevel);
  SDK_BINDING_MEMBER(status, whitelistedWordCountsByLevel);
  SDK_BINDING_MEMBER(status, allowedCharsCount);
  SDK_BINDING_MEMBER(status, breakingCharsCount);
  SDK_BINDING_MEMBER(status, projectedCharsCount);
  status.Tags(tags);
  RecordBuilder<CheckRequest> check(registry, "BenchCheckRequest");
  SDK_BINDING_MEMBER(check, text);
  SDK_BINDING_MEMBER(check, level);
  SDK_BINDING_MEMBER(check, includeEmbedded);
  SDK_BINDING_MEMBER(check, removeDisallowedChars);
  SDK_BINDING_MEMBER(check, aggressiveScan);
  check.Tags(tags);
  RecordBuilder<CheckResponse> checked(registry, "BenchCheckResponse");
  SDK_BINDING_MEMBER(checked, contains);
  checked.Tags(tags);
  RecordBuilder<MaskRequest> mask(registry, "BenchMaskRequest");
  SDK_BINDING_MEMBER(mask, texts);
  SDK_BINDING_MEMBER(mask, text);
  SDK_BINDING_MEMBER(mask, level);
  SDK_BINDING_MEMBER(mask, removeDisallowedChars);
  SDK_BINDING_MEMBER(mask, aggressiveScan);
  mask.Tags(tags);
  RecordBuilder<MaskResponse> masked(registry, "BenchMaskResponse");
  SDK_BINDING_MEMBER(masked, texts);
  SDK_BINDING_MEMBER(masked, text);
  SDK_BINDING_MEMBER(masked, modified);
  masked.Tags(tags);
  RecordBuilder<bench_records::Extra1> extra1(registry, "BenchExtra1");
  SDK_BINDING_MEMBER(extra1, a);
  RecordBuilder<bench_records::Extra2> extra2(registry, "BenchExtra2");
  SDK_BINDING_MEMBER(extra2, b);
  RecordBuilder<bench_records::Extra3> extra3(registry, "BenchExtra3");
  SDK_BINDING_MEMBER(extra3, c);
}

void DeclareRoutes(sdk::dispatch::EndpointTable& table, const std::vector<std::string>& tags) {
  using sdk::dispatch::InBody;
  DeclareRoute(table, HttpMethod::kGet, "/bench/v1/status", [] { return Status{}; }).Tags(tags);
  DeclareRoute(
      table, HttpMethod::kPost, "/bench/v1/containsSanitized",
      [](const CheckRequest& request) { return CheckResponse{!request.text.empty()}; },
      InBody("request"))
      .Tags(tags);
  DeclareRoute(
      table, HttpMethod::kPost, "/bench/v1/sanitize",
      [](const MaskRequest& request) {
        return MaskResponse{request.texts, request.text, false};
      },
      InBody("request"))
      .Tags(tags);
}

std::atomic<uint64_t> g_handled{0};

class BenchPlugin final : public sdk::host::PluginBase {
 public:
  void RegisterApi() override {
    RegisterRecords(registry(), api_tags());
    DeclareRoutes(endpoints(), api_tags());
  }
  bool Initialize() override {
    SubscribeResource("/bench/v1/config", [](const PluginResourceEvent& event) {
      if (event.data.Size() > 0) g_handled.fetch_add(1, std::memory_order_relaxed);
    });
    return true;
  }
};

// A host that answers nothing and drops what it is sent.
HostCallTable QuietHost() {
  HostCallTable table{};
  table.HostRequest = [](const HostCallTable*, PluginResponseRecord* response,
                         const PluginRequestRecord*) {
    response->error_text = "Not found";
    response->status_code = 404;
  };
  table.HostSendEvent = [](const HostCallTable*, const HostEventRecord* event) {
    const uint32_t tag = event->payload.tag;
    benchmark::DoNotOptimize(tag);
  };
  table.HostSubscribe = [](const HostCallTable*, const char*, uint32_t, HostEventCallback, void*,
                           uint32_t) {};
  table.HostUnsubscribe = [](const HostCallTable*, const char*, uint32_t) {};
  table.HostLog = [](const HostCallTable*, int32_t, const char*) {};
  return table;
}

// A configuration-like resource event as host values: {"data": {six texts}, "eventType":
// "Update", "uri": "/bench/v1/config"}.
struct EventPayload {
  HostStructureEntry data[6];
  HostStructureEntry entries[3];
  HostValue value{};

  static HostValue Text(const char* text) {
    HostValue value{};
    value.tag = kHostValueStringBorrowed;
    value.payload.span.data = text;
    value.payload.span.count = static_cast<uint32_t>(std::char_traits<char>::length(text));
    return value;
  }
  EventPayload() {
    const char* keys[6] = {"Level0Filter", "Level1Filter",    "Level1Unfilter",
                           "Level2Filter", "Level0Whitelist", "WhitelistEnabled"};
    const char* texts[6] = {"alpha beta", "gamma delta epsilon", "zeta", "eta theta", "iota",
                            "true"};
    for (int i = 0; i < 6; ++i) data[i] = {keys[i], Text(texts[i]), 0};
    entries[0] = {"data", HostValue{}, 0};
    entries[0].value.tag = kHostValueStructure;
    entries[0].value.payload.span.data = data;
    entries[0].value.payload.span.count = 6;
    entries[1] = {"eventType", Text("Update"), 0};
    entries[2] = {"uri", Text("/bench/v1/config"), 0};
    value.tag = kHostValueStructure;
    value.payload.span.data = entries;
    value.payload.span.count = 3;
  }
};

// One started plug-in for the whole binary, as a host would keep it.
struct Started {
  HostCallTable table = QuietHost();
  HostContext context{&table, 1};
  PluginLoadBlock block{};
  BenchPlugin* plugin = new BenchPlugin();
  Started() {
    block.api_major = 18;
    sdk::host::PluginBase::Register(plugin, &block, "bench");
    block.entry_table->Start(block.instance, &context);
  }
};
Started& Plugin() {
  static Started* started = new Started();
  return *started;
}

Status SampleStatus() {
  Status status;
  status.uri = "/bench/v1/status";
  status.ready = true;
  status.region = "NA";
  status.locale = "en_US";
  status.filteredWordCountsByLevel = {{"0", 120}, {"1", 3400}, {"2", 560}, {"3", 78}};
  status.whitelistedWordCountsByLevel = {{"0", 12}, {"1", 34}};
  status.allowedCharsCount = 5000;
  status.breakingCharsCount = 40;
  status.projectedCharsCount = 900;
  return status;
}

void DeliverResourceEvent(benchmark::State& state) {
  Started& started = Plugin();
  const EventPayload payload;
  const std::string name = sdk::host::EventNameFor("/bench/v1/config");
  HostEventRecord event{};
  event.name = name.c_str();
  event.payload = payload.value;
  event.context = started.plugin;
  const uint64_t before = g_handled.load();
  for (auto _ : state) sdk::host::PluginBase::DeliverEvent(&event);
  if (g_handled.load() - before != static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("events were dropped");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DeliverResourceEvent);

void DeliveryConversionsOnly(benchmark::State& state) {
  Started& started = Plugin();
  const EventPayload payload;
  const BindingRegistry& registry = started.plugin->registry();
  const sdk::binding::TypeBinding binding =
      sdk::binding::BindNativeType<PluginResourceEvent>(registry);
  uint64_t handled = 0;
  for (auto _ : state) {
    BindingValue value;
    sdk::binding::HostErrorRecord error;
    sdk::binding::FromHostValue(error, value, payload.value, "payload");
    PluginResourceEvent record;
    BindingResult result;
    binding.converter->FromValue(result, &record, value, "payload", binding.converter_type,
                                 &registry);
    if (record.data.Size() > 0) ++handled;
  }
  benchmark::DoNotOptimize(handled);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DeliveryConversionsOnly);

void SendEvent(benchmark::State& state) {
  Started& started = Plugin();
  const Status status = SampleStatus();
  for (auto _ : state) {
    if (!started.plugin->SendEvent("OnJsonApiEvent", status, 0).ok()) {
      state.SkipWithError("send failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SendEvent);

void SendConversionsOnly(benchmark::State& state) {
  Started& started = Plugin();
  const BindingRegistry& registry = started.plugin->registry();
  const Status status = SampleStatus();
  for (auto _ : state) {
    BindingResult result;
    sdk::binding::ToValue(registry, result, status);
    HostValue host{};
    sdk::binding::ToHostValue(host, result.value(), &registry);
    const uint32_t tag = host.tag;
    benchmark::DoNotOptimize(tag);
    sdk::binding::ReleaseHostValue(host);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SendConversionsOnly);

// The sanitizer-sized registry: built-ins, platform types, eight records, three endpoints.
struct SanitizerSized {
  BindingRegistry registry;
  sdk::dispatch::EndpointTable table{registry};
  SanitizerSized() {
    const std::vector<std::string> tags = {"Plugins", "Plugin bench"};
    sdk::host::RegisterPlatformTypes(registry);
    RegisterRecords(registry, tags);
    DeclareRoutes(table, tags);
  }
};

void BuildApiDescription(benchmark::State& state) {
  const SanitizerSized sized;
  for (auto _ : state) {
    auto description = sdk::dispatch::BuildApiDescription(sized.registry, sized.table);
    benchmark::DoNotOptimize(description->record());
  }
  state.counters["types"] = static_cast<double>(sized.registry.Types().size());
  state.counters["endpoints"] = static_cast<double>(sized.table.Endpoints().size());
}
BENCHMARK(BuildApiDescription);

void RegistryListsOnly(benchmark::State& state) {
  const SanitizerSized sized;
  for (auto _ : state) {
    auto functions = sized.registry.Functions();
    auto types = sized.registry.Types();
    auto events = sized.registry.Events();
    auto endpoints = sized.table.Endpoints();
    benchmark::DoNotOptimize(functions.data());
    benchmark::DoNotOptimize(types.data());
    benchmark::DoNotOptimize(events.data());
    benchmark::DoNotOptimize(endpoints.data());
  }
}
BENCHMARK(RegistryListsOnly);

}  // namespace

BENCHMARK_MAIN();
