// The request entry driven with real request records, the way the host drives it:
//  - a POST of a small JSON body (one 100-byte text) to a trivial declared function, and
//  - a GET with two query arguments to a function whose route has a placeholder,
// each followed by the release of the response. Beside them, in the same binary, the baseline
// that any dispatcher has to pay for the POST: the JSON parse of the same body and the
// value→native conversion of the request record, and the same plus the result's conversion to
// a value and to a host value (and its release).
//
// Every heap allocation of the process is counted by replacing malloc and its relatives (which
// also serve operator new, RapidJSON and the counting allocation functions), so each benchmark
// reports allocations per request and what is still held per request after the run
// ("live/req", which must be 0: nothing grows with the number of requests served).
//
// Run with the release preset:
//   build/release/bench/dispatch_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/dispatch/request_dispatch.h"

// glibc's own allocation functions, which the replacements below forward to.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_frees{0};
}  // namespace

extern "C" {
void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  if (block == nullptr) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0 && block != nullptr) g_frees.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
void free(void* block) {
  if (block != nullptr) g_frees.fetch_add(1, std::memory_order_relaxed);
  __libc_free(block);
}
void* aligned_alloc(size_t alignment, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* const block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}
}  // extern "C"

namespace {

using sdk::binding::BindingRegistry;
using sdk::binding::BindingResult;
using sdk::binding::RecordBuilder;
using sdk::dispatch::DeclareRoute;
using sdk::dispatch::EndpointTable;
using sdk::dispatch::HttpMethod;
using sdk::dispatch::InBody;
using sdk::dispatch::InPath;
using sdk::dispatch::InQuery;

}  // namespace

// Registered records live in a named namespace: their identities come from their names.
namespace dispatch_bench_records {

struct EchoRequest {
  std::string text;
};

struct EchoResponse {
  uint32_t length = 0;
};

}  // namespace dispatch_bench_records

namespace {

using dispatch_bench_records::EchoRequest;
using dispatch_bench_records::EchoResponse;

// Counts allocations over a benchmark's timed loop and reports them per request.
class AllocationCounter {
 public:
  AllocationCounter()
      : allocations_(g_allocations.load(std::memory_order_relaxed)),
        frees_(g_frees.load(std::memory_order_relaxed)) {}
  void Report(benchmark::State& state) const {
    const double requests = static_cast<double>(state.iterations());
    const auto allocations = g_allocations.load(std::memory_order_relaxed) - allocations_;
    const auto frees = g_frees.load(std::memory_order_relaxed) - frees_;
    state.counters["allocs/req"] = static_cast<double>(allocations) / requests;
    state.counters["live/req"] =
        (static_cast<double>(allocations) - static_cast<double>(frees)) / requests;
    state.SetItemsProcessed(state.iterations());
  }

 private:
  uint64_t allocations_;
  uint64_t frees_;
};

// The plug-in side: a registry with the records and the two declared functions.
class Service {
 public:
  Service() {
    RecordBuilder<EchoRequest> request(registry_, "BenchEchoRequest");
    SDK_BINDING_MEMBER(request, text, sdk::binding::kRequired);
    RecordBuilder<EchoResponse> response(registry_, "BenchEchoResponse");
    SDK_BINDING_MEMBER(response, length);
    post_ = DeclareRoute(
                table_, HttpMethod::kPost, "/bench/v1/echo",
                [](const EchoRequest& echo) {
                  return EchoResponse{static_cast<uint32_t>(echo.text.size())};
                },
                InBody("request"))
                .endpoint();
    get_ = DeclareRoute(
               table_, HttpMethod::kGet, "/bench/v1/items/{id}",
               [](const std::string& id, uint32_t level, const std::string& name) {
                 return static_cast<uint32_t>(id.size() + level + name.size());
               },
               InPath("id"), InQuery("level"), InQuery("name"))
               .endpoint();
  }

  const sdk::dispatch::Endpoint* post() const { return post_; }
  const sdk::dispatch::Endpoint* get() const { return get_; }
  const BindingRegistry& registry() const { return registry_; }

 private:
  BindingRegistry registry_;
  EndpointTable table_{registry_};
  const sdk::dispatch::Endpoint* post_ = nullptr;
  const sdk::dispatch::Endpoint* get_ = nullptr;
};

Service& TheService() {
  static Service service;
  return service;
}

const std::string& Body() {
  static const std::string body = "{\"text\":\"" + std::string(100, 'x') + "\"}";
  return body;
}

void BM_PostJsonTrivialFunction(benchmark::State& state) {
  const Service& service = TheService();
  const std::string& body = Body();
  PluginRequestRecord request{};
  request.method = kPluginMethodPost;
  request.path = "/bench/v1/echo";
  request.endpoint_context = service.post()->context();
  request.content_type = "application/json";
  request.body = body.data();
  request.body_size = static_cast<uint32_t>(body.size());
  PluginResponseRecord response{};
  // One request outside the loop, so that one-time set-up (thread caches) is not counted.
  sdk::dispatch::HandleRequest(&response, &request);
  if (response.error_text != nullptr || response.result.tag != kHostValueStructure) {
    state.SkipWithError("the POST did not succeed");
    return;
  }
  response.release(&response);
  const AllocationCounter counter;
  for (auto _ : state) {
    sdk::dispatch::HandleRequest(&response, &request);
    benchmark::DoNotOptimize(static_cast<uint32_t>(response.result.tag));
    response.release(&response);
  }
  counter.Report(state);
}
BENCHMARK(BM_PostJsonTrivialFunction);

void BM_GetTwoQueryArguments(benchmark::State& state) {
  const Service& service = TheService();
  PluginRequestRecord request{};
  request.method = kPluginMethodGet;
  request.path = "/bench/v1/items/7?level=2&name=abc";
  request.endpoint_context = service.get()->context();
  PluginResponseRecord response{};
  sdk::dispatch::HandleRequest(&response, &request);
  if (response.error_text != nullptr || response.result.tag != kHostValueUnsigned) {
    state.SkipWithError(response.error_text != nullptr ? response.error_text
                                                       : "the GET did not succeed");
    return;
  }
  response.release(&response);
  const AllocationCounter counter;
  for (auto _ : state) {
    sdk::dispatch::HandleRequest(&response, &request);
    benchmark::DoNotOptimize(static_cast<uint32_t>(response.result.tag));
    response.release(&response);
  }
  counter.Report(state);
}
BENCHMARK(BM_GetTwoQueryArguments);

// Baseline: the JSON parse of the same body and its conversion into the request record.
void BM_BaselineParseAndConvert(benchmark::State& state) {
  const Service& service = TheService();
  const std::string& body = Body();
  BindingResult parsed;
  const AllocationCounter counter;
  for (auto _ : state) {
    sdk::dispatch::ParseJson(parsed, body);
    BindingResult converted;
    EchoRequest request;
    sdk::binding::FromValue(converted, request, parsed.value(), "request", service.registry());
    benchmark::DoNotOptimize(request.text.data());
  }
  counter.Report(state);
}
BENCHMARK(BM_BaselineParseAndConvert);

// Baseline plus the result's way out: native → value → host value, released.
void BM_BaselineParseConvertAndAnswer(benchmark::State& state) {
  const Service& service = TheService();
  const std::string& body = Body();
  BindingResult parsed;
  const AllocationCounter counter;
  for (auto _ : state) {
    sdk::dispatch::ParseJson(parsed, body);
    BindingResult converted;
    EchoRequest request;
    sdk::binding::FromValue(converted, request, parsed.value(), "request", service.registry());
    const EchoResponse answer{static_cast<uint32_t>(request.text.size())};
    BindingResult result;
    sdk::binding::ToValue(service.registry(), result, answer);
    HostValue host{};
    sdk::binding::ToHostValue(host, result.value(), &service.registry());
    benchmark::DoNotOptimize(static_cast<uint32_t>(host.tag));
    sdk::binding::ReleaseHostValue(host);
  }
  counter.Report(state);
}
BENCHMARK(BM_BaselineParseConvertAndAnswer);

}  // namespace

BENCHMARK_MAIN();
