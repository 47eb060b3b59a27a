// Test fixtures of the registry tests: native records shaped like the sanitizer's resource
// records and the platform's resource-change event, registered the way their owners will
// register them, and small builders of input values. Test code only.
#ifndef SDK_BINDING_REGISTRY_TEST_RECORDS_H_
#define SDK_BINDING_REGISTRY_TEST_RECORDS_H_

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/record_builder.h"

namespace sdk::binding::testing {

struct SanitizerStatus {
  bool ready = false;
  std::string region;
  std::string locale;
  std::map<std::string, uint32_t> filteredWordCountsByLevel;
  std::map<std::string, uint32_t> whitelistedWordCountsByLevel;
  uint32_t allowedCharsCount = 0;
  uint32_t breakingCharsCount = 0;
  uint32_t projectedCharsCount = 0;
};

struct ContainsSanitizedRequest {
  std::string text;
  std::optional<uint32_t> level;
  std::optional<bool> includeEmbedded;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct SanitizeRequest {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  std::optional<uint32_t> level;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct SanitizeResponse {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  bool modified = false;
};

enum class PluginResourceEventType : int32_t { Create = 0, Update = 1, Delete = 2 };

struct PluginResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  BindingValue data;
};

// The records as the plug-in registers them: names prefixed, the platform's under their own.
inline void RegisterTestRecords(BindingRegistry& registry) {
  {
    RecordBuilder<SanitizerStatus> record(registry, "SanitizerSanitizerStatus");
    SDK_BINDING_MEMBER(record, ready);
    SDK_BINDING_MEMBER(record, region);
    SDK_BINDING_MEMBER(record, locale);
    SDK_BINDING_MEMBER(record, filteredWordCountsByLevel);
    SDK_BINDING_MEMBER(record, whitelistedWordCountsByLevel);
    SDK_BINDING_MEMBER(record, allowedCharsCount);
    SDK_BINDING_MEMBER(record, breakingCharsCount);
    SDK_BINDING_MEMBER(record, projectedCharsCount);
    record.Tags({"sanitizer"});
  }
  {
    RecordBuilder<ContainsSanitizedRequest> record(registry, "SanitizerContainsSanitizedRequest");
    SDK_BINDING_MEMBER(record, text, kRequired);
    SDK_BINDING_MEMBER(record, level);
    SDK_BINDING_MEMBER(record, includeEmbedded);
    SDK_BINDING_MEMBER(record, removeDisallowedChars);
    SDK_BINDING_MEMBER(record, aggressiveScan);
  }
  {
    RecordBuilder<SanitizeRequest> record(registry, "SanitizerSanitizeRequest");
    SDK_BINDING_MEMBER(record, texts);
    SDK_BINDING_MEMBER(record, text);
    SDK_BINDING_MEMBER(record, level);
    SDK_BINDING_MEMBER(record, removeDisallowedChars);
    SDK_BINDING_MEMBER(record, aggressiveScan);
  }
  {
    RecordBuilder<SanitizeResponse> record(registry, "SanitizerSanitizeResponse");
    SDK_BINDING_MEMBER(record, texts);
    SDK_BINDING_MEMBER(record, text);
    SDK_BINDING_MEMBER(record, modified);
  }
  {
    EnumBuilder<PluginResourceEventType> type(registry, "PluginResourceEventType");
    type.Enumerator("Create", PluginResourceEventType::Create)
        .Enumerator("Update", PluginResourceEventType::Update)
        .Enumerator("Delete", PluginResourceEventType::Delete)
        .Tags({"pclient"});
  }
  {
    RecordBuilder<PluginResourceEvent> record(registry, "PluginResourceEvent");
    SDK_BINDING_MEMBER(record, uri);
    SDK_BINDING_MEMBER(record, eventType);
    SDK_BINDING_MEMBER(record, data);
    record.Tags({"pclient"});
  }
}

// Input values.
inline BindingValue Bool(bool value) {
  BindingValue v;
  v.SetBool(value);
  return v;
}
inline BindingValue Int(int64_t value) {
  BindingValue v;
  v.SetSigned(value);
  return v;
}
inline BindingValue Uint(uint64_t value) {
  BindingValue v;
  v.SetUnsigned(value);
  return v;
}
inline BindingValue Real(double value) {
  BindingValue v;
  v.SetFloat(value);
  return v;
}
inline BindingValue Text(std::string_view value) {
  BindingValue v;
  v.SetString(value);
  return v;
}
inline BindingValue Enum(int32_t value, uint32_t type) {
  BindingValue v;
  v.SetEnum(value, type);
  return v;
}
inline BindingValue Blob(std::string_view bytes) {
  BindingValue v;
  v.SetBlob(bytes.data(), bytes.size());
  return v;
}
inline BindingValue List(std::initializer_list<BindingValue> elements) {
  BindingValue v;
  v.MakeCollection();
  for (const BindingValue& element : elements) v.Element(v.Size()) = element;
  return v;
}
inline BindingValue Struct(
    std::initializer_list<std::pair<std::string_view, BindingValue>> members) {
  BindingValue v;
  v.MakeStructure();
  for (const auto& [name, value] : members) v.Member(name) = value;
  return v;
}

}  // namespace sdk::binding::testing

#endif  // SDK_BINDING_REGISTRY_TEST_RECORDS_H_
