// Value → native → value for a record shaped like a sanitize request (16 short texts and three
// scalar members), through the registry's converters and through a hand-written conversion of
// the same record (what a programmer would write without the registry), in the same binary, so
// the registry's overhead can be quoted as a ratio. Each direction is also measured alone.
// Run with the release preset:
//   build/release/bench/binding_convert_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"

namespace {

using sdk::binding::BindingRegistry;
using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::RecordBuilder;
using sdk::binding::TypeBinding;
using sdk::binding::ValueKind;

struct SanitizeRequest {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  std::optional<uint32_t> level;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

constexpr int kTextCount = 16;

BindingValue MakeRequestValue() {
  BindingValue value;
  BindingValue& texts = value.Member("texts");
  texts.MakeCollection();
  for (int i = 0; i < kTextCount; ++i) {
    texts.Element(i).SetString("short text " + std::to_string(i));
  }
  value.Member("level").SetUnsigned(2);
  value.Member("removeDisallowedChars").SetBool(true);
  value.Member("aggressiveScan").SetBool(false);
  return value;
}

// The registry path, as the dispatch layer uses it: the record's binding is made once at
// declaration time, and each request converts through it.
class RegistryPath {
 public:
  RegistryPath() {
    RecordBuilder<SanitizeRequest> record(registry_, "SanitizerSanitizeRequest");
    SDK_BINDING_MEMBER(record, texts);
    SDK_BINDING_MEMBER(record, text);
    SDK_BINDING_MEMBER(record, level);
    SDK_BINDING_MEMBER(record, removeDisallowedChars);
    SDK_BINDING_MEMBER(record, aggressiveScan);
    binding_ = sdk::binding::BindNativeType<SanitizeRequest>(registry_);
  }

  void FromValue(BindingResult& result, SanitizeRequest& native, const BindingValue& value) const {
    binding_.converter->FromValue(result, &native, value, "request", binding_.converter_type,
                                  &registry_);
  }
  void ToValue(BindingResult& result, const SanitizeRequest& native) const {
    result.value().Clear();
    binding_.converter->ToValue(result, result.value(), &native, binding_.converter_type,
                                &registry_);
  }
  const BindingRegistry& registry() const { return registry_; }

 private:
  BindingRegistry registry_;
  TypeBinding binding_;
};

// The hand-written conversion: the kind checks and bounds a careful programmer writes for this
// one record, producing the same native record and the same value (absent optionals become
// empty members, as the registry writes them).
bool HandFromValue(const BindingValue& value, SanitizeRequest& out, std::string& error) {
  if (value.kind() != ValueKind::kStructure) {
    error = "request is not a structure";
    return false;
  }
  const BindingValue& texts = value.FindMember("texts");
  if (!texts.IsEmpty()) {
    if (texts.kind() != ValueKind::kCollection) {
      error = "texts is not a collection";
      return false;
    }
    std::vector<std::string>& list = out.texts.emplace();
    list.resize(texts.Size());
    size_t index = 0;
    for (const BindingValue& element : texts.Elements()) {
      if (element.kind() != ValueKind::kString) {
        error = "texts holds a non-string";
        return false;
      }
      list[index++].assign(element.GetString());
    }
  }
  const BindingValue& text = value.FindMember("text");
  if (!text.IsEmpty()) {
    if (text.kind() != ValueKind::kString) {
      error = "text is not a string";
      return false;
    }
    out.text.emplace(text.GetString());
  }
  const BindingValue& level = value.FindMember("level");
  if (!level.IsEmpty()) {
    if (level.kind() == ValueKind::kUnsigned && level.GetUnsigned() <= UINT32_MAX) {
      out.level = static_cast<uint32_t>(level.GetUnsigned());
    } else if (level.kind() == ValueKind::kSigned && level.GetSigned() >= 0 &&
               level.GetSigned() <= UINT32_MAX) {
      out.level = static_cast<uint32_t>(level.GetSigned());
    } else {
      error = "level is not a uint32";
      return false;
    }
  }
  for (const auto& [name, target] : {std::pair{"removeDisallowedChars", &out.removeDisallowedChars},
                                     std::pair{"aggressiveScan", &out.aggressiveScan}}) {
    const BindingValue& flag = value.FindMember(name);
    if (flag.IsEmpty()) continue;
    if (flag.kind() != ValueKind::kBool) {
      error = std::string(name) + " is not a bool";
      return false;
    }
    *target = flag.GetBool();
  }
  return true;
}

void HandToValue(const SanitizeRequest& in, BindingValue& out) {
  out.Clear();
  out.MakeStructure();
  BindingValue& texts = out.Member("texts");
  if (in.texts) {
    texts.MakeCollection();
    texts.Reserve(in.texts->size());
    for (size_t i = 0; i < in.texts->size(); ++i) texts.Element(i).SetString((*in.texts)[i]);
  }
  BindingValue& text = out.Member("text");
  if (in.text) text.SetString(*in.text);
  BindingValue& level = out.Member("level");
  if (in.level) level.SetUnsigned(*in.level);
  BindingValue& remove = out.Member("removeDisallowedChars");
  if (in.removeDisallowedChars) remove.SetBool(*in.removeDisallowedChars);
  BindingValue& aggressive = out.Member("aggressiveScan");
  if (in.aggressiveScan) aggressive.SetBool(*in.aggressiveScan);
}

// Both paths must agree before either is timed.
bool PathsAgree(const RegistryPath& path, const BindingValue& input) {
  SanitizeRequest by_registry;
  BindingResult from;
  path.FromValue(from, by_registry, input);
  BindingResult to;
  path.ToValue(to, by_registry);
  SanitizeRequest by_hand;
  std::string error;
  BindingValue hand_value;
  if (!HandFromValue(input, by_hand, error)) return false;
  HandToValue(by_hand, hand_value);
  return from.ok() && to.ok() && to.value() == hand_value && by_hand.texts == by_registry.texts &&
         by_hand.level == by_registry.level;
}

void BM_RoundTripRegistry(benchmark::State& state) {
  const RegistryPath path;
  const BindingValue input = MakeRequestValue();
  if (!PathsAgree(path, input)) {
    state.SkipWithError("registry and hand-written conversions disagree");
    return;
  }
  for (auto _ : state) {
    SanitizeRequest native;
    BindingResult from;
    path.FromValue(from, native, input);
    BindingResult to;
    path.ToValue(to, native);
    benchmark::DoNotOptimize(to.value());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripRegistry);

void BM_RoundTripHandWritten(benchmark::State& state) {
  const BindingValue input = MakeRequestValue();
  for (auto _ : state) {
    SanitizeRequest native;
    std::string error;
    const bool ok = HandFromValue(input, native, error);
    benchmark::DoNotOptimize(ok);
    BindingResult to;
    HandToValue(native, to.value());
    benchmark::DoNotOptimize(to.value());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripHandWritten);

// The typed convenience entry points look the record up in the registry (under its mutex) on
// every call.
void BM_RoundTripRegistryTypedApi(benchmark::State& state) {
  const RegistryPath path;
  const BindingValue input = MakeRequestValue();
  for (auto _ : state) {
    SanitizeRequest native;
    BindingResult from;
    sdk::binding::FromValue(from, native, input, "request", path.registry());
    BindingResult to;
    sdk::binding::ToValue(path.registry(), to, native);
    benchmark::DoNotOptimize(to.value());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripRegistryTypedApi);

void BM_FromValueRegistry(benchmark::State& state) {
  const RegistryPath path;
  const BindingValue input = MakeRequestValue();
  for (auto _ : state) {
    SanitizeRequest native;
    BindingResult from;
    path.FromValue(from, native, input);
    benchmark::DoNotOptimize(native);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FromValueRegistry);

void BM_FromValueHandWritten(benchmark::State& state) {
  const BindingValue input = MakeRequestValue();
  for (auto _ : state) {
    SanitizeRequest native;
    std::string error;
    const bool ok = HandFromValue(input, native, error);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(native);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FromValueHandWritten);

SanitizeRequest MakeNativeRequest(const RegistryPath& path) {
  SanitizeRequest native;
  BindingResult from;
  path.FromValue(from, native, MakeRequestValue());
  return native;
}

void BM_ToValueRegistry(benchmark::State& state) {
  const RegistryPath path;
  const SanitizeRequest native = MakeNativeRequest(path);
  for (auto _ : state) {
    BindingResult to;
    path.ToValue(to, native);
    benchmark::DoNotOptimize(to.value());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToValueRegistry);

void BM_ToValueHandWritten(benchmark::State& state) {
  const RegistryPath path;
  const SanitizeRequest native = MakeNativeRequest(path);
  for (auto _ : state) {
    BindingResult to;
    HandToValue(native, to.value());
    benchmark::DoNotOptimize(to.value());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToValueHandWritten);

}  // namespace

BENCHMARK_MAIN();
