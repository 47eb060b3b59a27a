// Building, walking and destroying BindingValue trees shaped like the plug-in's traffic,
// against the same trees built from a small std::variant node over std::map, std::vector and
// std::string, in the same binary so that the two can be quoted as a ratio.
//
// Two shapes: a sanitize request ({"texts": [N short texts], "level": 1u,
// "removeDisallowedChars": false, "aggressiveScan": true}, texts appended one by one as the
// readers do) and the status record (ready, region, locale, two maps of level -> count, three
// counts). Each iteration builds one tree, walks every node, and destroys it. The "Reused"
// variants rebuild into one long-lived root, as a caller that resets a scratch result does.
//
// General-heap allocations are counted by replacing the global operator new and (outside
// sanitizer builds) malloc in this binary; the counter heap_allocs_per_tree reports them, and
// regions_mapped the regions the value pool's page store took from the operating system.
// Run with the release preset:
//   cmake --preset release && cmake --build --preset release --target binding_value_bench
//   build/release/bench/binding_value_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/value_pool.h"

// ---- General-heap allocation counting ----------------------------------------------------

#if !defined(__SANITIZE_ADDRESS__)
// glibc exports its allocator under these names too, so malloc can be replaced and counted.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void __libc_free(void* memory);
}
#define RAW_MALLOC __libc_malloc
#define RAW_FREE __libc_free
#else
// AddressSanitizer owns malloc; only operator new is counted in such a build.
#define RAW_MALLOC std::malloc
#define RAW_FREE std::free
#endif

namespace {
std::atomic<uint64_t> g_heap_allocations{0};

void* CountedAllocate(size_t size) {
  g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
  return RAW_MALLOC(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(size_t size) {
  if (void* memory = CountedAllocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void operator delete(void* memory) noexcept { RAW_FREE(memory); }
void operator delete[](void* memory) noexcept { RAW_FREE(memory); }
void operator delete(void* memory, size_t) noexcept { RAW_FREE(memory); }
void operator delete[](void* memory, size_t) noexcept { RAW_FREE(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { RAW_FREE(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { RAW_FREE(memory); }

#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void* malloc(size_t size) { return CountedAllocate(size); }
void* calloc(size_t count, size_t size) {
  g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* memory, size_t size) {
  g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(memory, size);
}
void free(void* memory) { __libc_free(memory); }
}
#endif

namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::ValueKind;

// Sixteen chat-line texts of 9 to 43 bytes, reused round-robin.
constexpr std::string_view kTexts[] = {
    "hello there",
    "good game everyone",
    "anyone want to queue up for ranked?",
    "lol",
    "that was a close one",
    "nice shot",
    "where is the jungle",
    "can we surrender at fifteen minutes please",
    "brb",
    "ok",
    "my internet is lagging really badly today",
    "thanks for the carry",
    "see you tomorrow",
    "who wants to duo",
    "ggwp",
    "let's try a different strategy next round",
};

// ---- The baseline: a small variant node over the standard containers -----------------------

struct Node;
using NodeList = std::vector<Node>;
using NodeMap = std::map<std::string, Node, std::less<>>;
struct Node {
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, NodeList, NodeMap>
      value;
};

NodeMap& AsMap(Node& node) {
  if (!std::holds_alternative<NodeMap>(node.value)) node.value = NodeMap();
  return std::get<NodeMap>(node.value);
}

void BuildRequest(Node& root, int64_t text_count) {
  NodeMap& request = AsMap(root);
  NodeList& texts = std::get<NodeList>(request["texts"].value = NodeList());
  for (int64_t i = 0; i < text_count; ++i) {
    texts.emplace_back().value = std::string(kTexts[i % 16]);
  }
  request["level"].value = uint64_t{1};
  request["removeDisallowedChars"].value = false;
  request["aggressiveScan"].value = true;
}

void BuildStatus(Node& root) {
  NodeMap& status = AsMap(root);
  status["ready"].value = true;
  status["region"].value = std::string("NA");
  status["locale"].value = std::string("en_US");
  const char* const kLevels[] = {"0", "1", "2", "3"};
  NodeMap& filtered = AsMap(status["filteredWordCountsByLevel"]);
  NodeMap& whitelisted = AsMap(status["whitelistedWordCountsByLevel"]);
  for (uint64_t level = 0; level < 4; ++level) {
    filtered[kLevels[level]].value = uint64_t{1000 + level * 317};
    whitelisted[kLevels[level]].value = uint64_t{20 + level * 3};
  }
  status["allowedCharsCount"].value = uint64_t{4210};
  status["breakingCharsCount"].value = uint64_t{37};
  status["projectedCharsCount"].value = uint64_t{1290};
}

uint64_t Walk(const Node& node) {
  struct Visitor {
    uint64_t operator()(std::monostate) const { return 0; }
    uint64_t operator()(bool b) const { return b ? 1 : 0; }
    uint64_t operator()(int64_t n) const { return static_cast<uint64_t>(n); }
    uint64_t operator()(uint64_t n) const { return n; }
    uint64_t operator()(double d) const { return static_cast<uint64_t>(d); }
    uint64_t operator()(const std::string& s) const { return s.size() + s.front(); }
    uint64_t operator()(const NodeList& list) const {
      uint64_t sum = list.size();
      for (const Node& element : list) sum += Walk(element);
      return sum;
    }
    uint64_t operator()(const NodeMap& map) const {
      uint64_t sum = map.size();
      for (const auto& [name, member] : map) sum += name.size() + Walk(member);
      return sum;
    }
  };
  return std::visit(Visitor{}, node.value);
}

// ---- The same trees as BindingValue ------------------------------------------------------------

void BuildRequest(BindingValue& root, int64_t text_count) {
  BindingValue& texts = root.Member("texts");
  texts.MakeCollection();
  for (int64_t i = 0; i < text_count; ++i) {
    texts.Element(static_cast<size_t>(i)).SetString(kTexts[i % 16]);
  }
  root.Member("level").SetUnsigned(1);
  root.Member("removeDisallowedChars").SetBool(false);
  root.Member("aggressiveScan").SetBool(true);
}

void BuildStatus(BindingValue& root) {
  root.Member("ready").SetBool(true);
  root.Member("region").SetString("NA");
  root.Member("locale").SetString("en_US");
  const char* const kLevels[] = {"0", "1", "2", "3"};
  BindingValue& filtered = root.Member("filteredWordCountsByLevel");
  BindingValue& whitelisted = root.Member("whitelistedWordCountsByLevel");
  for (uint64_t level = 0; level < 4; ++level) {
    filtered.Member(kLevels[level]).SetUnsigned(1000 + level * 317);
    whitelisted.Member(kLevels[level]).SetUnsigned(20 + level * 3);
  }
  root.Member("allowedCharsCount").SetUnsigned(4210);
  root.Member("breakingCharsCount").SetUnsigned(37);
  root.Member("projectedCharsCount").SetUnsigned(1290);
}

uint64_t Walk(const BindingValue& value) {
  switch (value.kind()) {
    case ValueKind::kBool:
      return value.GetBool() ? 1 : 0;
    case ValueKind::kSigned:
      return static_cast<uint64_t>(value.GetSigned());
    case ValueKind::kUnsigned:
      return value.GetUnsigned();
    case ValueKind::kFloat:
      return static_cast<uint64_t>(value.GetFloat());
    case ValueKind::kString:
      return value.Size() + value.GetString().front();
    case ValueKind::kCollection: {
      uint64_t sum = value.Size();
      for (const BindingValue& element : value.Elements()) sum += Walk(element);
      return sum;
    }
    case ValueKind::kStructure: {
      uint64_t sum = value.Size();
      for (auto member : value.Members()) sum += member.name.size() + Walk(member.value);
      return sum;
    }
    default:
      return 0;
  }
}

// ---- Benchmarks ----------------------------------------------------------------------------

// Runs `one_tree` per iteration and reports trees/s and general-heap allocations per tree.
template <typename OneTree>
void RunTrees(benchmark::State& state, OneTree one_tree) {
  const uint64_t allocations_before = g_heap_allocations.load(std::memory_order_relaxed);
  const uint64_t regions_before = sdk::binding::GetPageStoreStats().regions_reserved_total;
  for (auto _ : state) {
    benchmark::DoNotOptimize(one_tree());
  }
  const uint64_t allocations =
      g_heap_allocations.load(std::memory_order_relaxed) - allocations_before;
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["heap_allocs_per_tree"] = static_cast<double>(allocations) / iterations;
  state.counters["regions_mapped"] = static_cast<double>(
      sdk::binding::GetPageStoreStats().regions_reserved_total - regions_before);
  state.SetItemsProcessed(state.iterations());
}

void BM_SanitizeRequest_Std(benchmark::State& state) {
  RunTrees(state, [&] {
    Node root;
    BuildRequest(root, state.range(0));
    return Walk(root);
  });
}
BENCHMARK(BM_SanitizeRequest_Std)->Arg(16)->Arg(256);

void BM_SanitizeRequest_BindingValue(benchmark::State& state) {
  RunTrees(state, [&] {
    BindingValue root;
    BuildRequest(root, state.range(0));
    return Walk(root);
  });
}
BENCHMARK(BM_SanitizeRequest_BindingValue)->Arg(16)->Arg(256);

void BM_SanitizeRequest_BindingValueReused(benchmark::State& state) {
  BindingResult result;
  RunTrees(state, [&] {
    result.Reset();
    BuildRequest(result.value(), state.range(0));
    return Walk(result.value());
  });
}
BENCHMARK(BM_SanitizeRequest_BindingValueReused)->Arg(16)->Arg(256);

void BM_Status_Std(benchmark::State& state) {
  RunTrees(state, [] {
    Node root;
    BuildStatus(root);
    return Walk(root);
  });
}
BENCHMARK(BM_Status_Std);

void BM_Status_BindingValue(benchmark::State& state) {
  RunTrees(state, [] {
    BindingValue root;
    BuildStatus(root);
    return Walk(root);
  });
}
BENCHMARK(BM_Status_BindingValue);

void BM_Status_BindingValueReused(benchmark::State& state) {
  BindingResult result;
  RunTrees(state, [&] {
    result.Reset();
    BuildStatus(result.value());
    return Walk(result.value());
  });
}
BENCHMARK(BM_Status_BindingValueReused);

// Deep copy of a request tree into a fresh root (what a conversion to an "object" member does).
void BM_SanitizeRequest_BindingValueCopy(benchmark::State& state) {
  BindingValue source;
  BuildRequest(source, state.range(0));
  RunTrees(state, [&] {
    BindingValue copy(source);
    return copy.Size();
  });
}
BENCHMARK(BM_SanitizeRequest_BindingValueCopy)->Arg(16)->Arg(256);

void BM_SanitizeRequest_StdCopy(benchmark::State& state) {
  Node source;
  BuildRequest(source, state.range(0));
  RunTrees(state, [&] {
    Node copy(source);
    return copy.value.index();
  });
}
BENCHMARK(BM_SanitizeRequest_StdCopy)->Arg(16)->Arg(256);

// The floor that interning puts under building a request tree: FNV-1a (the intern table's
// hash, one multiply per byte in a dependent chain) over the request's member names and texts.
void BM_SanitizeRequest_InternHashOnly(benchmark::State& state) {
  constexpr std::string_view kNames[] = {"texts", "level", "removeDisallowedChars",
                                         "aggressiveScan"};
  RunTrees(state, [&] {
    uint32_t sum = 0;
    auto fnv1a = [](std::string_view text) {
      uint32_t hash = 0x811C9DC5u;
      for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
      return hash;
    };
    for (std::string_view name : kNames) sum += fnv1a(name);
    for (int64_t i = 0; i < state.range(0); ++i) {
      std::string_view text = kTexts[i % 16];
      benchmark::DoNotOptimize(text);
      sum += fnv1a(text);
    }
    return sum;
  });
}
BENCHMARK(BM_SanitizeRequest_InternHashOnly)->Arg(16)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
