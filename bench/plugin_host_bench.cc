// The host's side of a request: PluginHost's endpoint client against a trivial endpoint,
// beside the plug-in's own request entry called directly in the same binary.
//
// The baseline (DirectEntry) fills a request record by hand, calls the endpoint's request entry
// and releases the response: what any host must do at the least. CallInPlace adds the host's
// routing, its record building and the checks on the answer, and reads one member of the result
// in place; Call also copies the whole answer out. The difference per call is what the host
// adds. Each runs on 1 and 2 threads against one shared PluginHost, with real time, so items/s
// is the total over the threads.
//
// Plug-ins: the fake plug-in of the host's tests, with an endpoint that answers the number 1
// without a lock or an allocation (GET /fake/v1/ping) and one that builds a small structure
// under a lock with counted allocations (GET /fake/v1/status); and, when it is built, the test
// plug-in on the plug-in base (GET /testplugin/v1/status).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "tools/plugin_host/plugin_host.h"

namespace {

using plugin_host::CallRequest;
using plugin_host::EndpointDescription;
using plugin_host::PluginHost;
using plugin_host::ResponseView;

struct Target {
  const char* path;
  const char* export_name;
  const char* endpoint;  // GET path of the trivial endpoint
  const char* member;    // a member of its result; null: the result is the number 1
};

// One started host per plug-in, shared by every benchmark and thread.
PluginHost* HostFor(const Target& target) {
  static std::map<std::string, std::unique_ptr<PluginHost>> hosts;
  auto& host = hosts[target.path];
  if (host == nullptr) {
    plugin_host::LoadOptions options;
    options.export_name = target.export_name;
    auto loaded = PluginHost::Load(target.path, options);
    if (!loaded.ok()) {
      std::fprintf(stderr, "%s\n", loaded.error().c_str());
      std::abort();
    }
    host = std::move(loaded).value();
    if (!host->Start().ok()) std::abort();
  }
  return host.get();
}

const EndpointDescription& EndpointFor(PluginHost& host, const Target& target) {
  const auto match = host.routes().Find(kPluginMethodGet, {}, target.endpoint);
  if (match.outcome != plugin_host::RouteTable::Outcome::kFound) std::abort();
  return host.description().endpoints[match.route];
}

void DirectEntry(benchmark::State& state, Target target) {
  PluginHost& host = *HostFor(target);
  const EndpointDescription& endpoint = EndpointFor(host, target);
  PluginRequestRecord request{};
  request.method = kPluginMethodGet;
  request.path = target.endpoint;
  request.endpoint_context = endpoint.endpoint_context;
  for (auto _ : state) {
    PluginResponseRecord response{};
    endpoint.request_entry(&response, &request);
    const uint32_t tag = response.result.tag;
    benchmark::DoNotOptimize(tag);
    if (response.release != nullptr) response.release(&response);
  }
  state.SetItemsProcessed(state.iterations());
}

void CallInPlace(benchmark::State& state, Target target) {
  PluginHost& host = *HostFor(target);
  CallRequest request;
  request.method = kPluginMethodGet;
  request.path = target.endpoint;
  for (auto _ : state) {
    bool found = false;
    host.CallInPlace(request, [&](const ResponseView& view) {
      found = target.member == nullptr ? view.result().AsUnsigned() == 1
                                       : view.result().Find(target.member).has_value();
    });
    if (!found) state.SkipWithError("no result");
  }
  state.SetItemsProcessed(state.iterations());
}

void Call(benchmark::State& state, Target target) {
  PluginHost& host = *HostFor(target);
  for (auto _ : state) {
    plugin_host::Response response = host.Call(kPluginMethodGet, target.endpoint);
    if (!response.ok()) state.SkipWithError(response.error.c_str());
    const uint32_t tag = response.result.get().tag;
    benchmark::DoNotOptimize(tag);
  }
  state.SetItemsProcessed(state.iterations());
}

void Register(const char* plugin, Target target) {
  const std::string prefix = std::string(plugin) + "/";
  for (const int threads : {1, 2}) {
    benchmark::RegisterBenchmark((prefix + "DirectEntry").c_str(), DirectEntry, target)
        ->Threads(threads)
        ->UseRealTime();
    benchmark::RegisterBenchmark((prefix + "CallInPlace").c_str(), CallInPlace, target)
        ->Threads(threads)
        ->UseRealTime();
    benchmark::RegisterBenchmark((prefix + "Call").c_str(), Call, target)
        ->Threads(threads)
        ->UseRealTime();
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register("fake-ping", {FAKE_PLUGIN_PATH, "load_sanitizer", "/fake/v1/ping", nullptr});
  Register("fake-status", {FAKE_PLUGIN_PATH, "load_sanitizer", "/fake/v1/status", "started"});
#ifdef TESTPLUGIN_PATH
  Register("testplugin",
           {TESTPLUGIN_PATH, "load_testplugin", "/testplugin/v1/status", "initialized"});
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
