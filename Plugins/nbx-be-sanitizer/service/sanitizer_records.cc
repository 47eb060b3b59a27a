// Registration of the sanitizer's resource records (sanitizer_records.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"

#include <string>

#include "sdk/binding/record_builder.h"

namespace sanitizer::service {

using sdk::binding::RecordBuilder;

void RegisterSanitizerRecords(sdk::binding::BindingRegistry& registry,
                              std::string_view type_name_prefix,
                              std::span<const std::string> api_tags) {
  const std::string prefix(type_name_prefix);
  {
    RecordBuilder<SanitizerStatus> record(registry, prefix + std::string(kSanitizerStatusName));
    SDK_BINDING_MEMBER(record, ready);
    SDK_BINDING_MEMBER(record, region);
    SDK_BINDING_MEMBER(record, locale);
    SDK_BINDING_MEMBER(record, filteredWordCountsByLevel);
    SDK_BINDING_MEMBER(record, whitelistedWordCountsByLevel);
    SDK_BINDING_MEMBER(record, allowedCharsCount);
    SDK_BINDING_MEMBER(record, breakingCharsCount);
    SDK_BINDING_MEMBER(record, projectedCharsCount);
    record.Tags(api_tags);
  }
  {
    RecordBuilder<ContainsSanitizedRequest> record(
        registry, prefix + std::string(kContainsSanitizedRequestName));
    SDK_BINDING_MEMBER(record, text, sdk::binding::kRequired);
    SDK_BINDING_MEMBER(record, level);
    SDK_BINDING_MEMBER(record, includeEmbedded);
    SDK_BINDING_MEMBER(record, removeDisallowedChars);
    SDK_BINDING_MEMBER(record, aggressiveScan);
    record.Tags(api_tags);
  }
  {
    RecordBuilder<ContainsSanitizedResponse> record(
        registry, prefix + std::string(kContainsSanitizedResponseName));
    SDK_BINDING_MEMBER(record, contains);
    record.Tags(api_tags);
  }
  {
    RecordBuilder<SanitizeRequest> record(registry, prefix + std::string(kSanitizeRequestName));
    SDK_BINDING_MEMBER(record, texts);
    SDK_BINDING_MEMBER(record, text);
    SDK_BINDING_MEMBER(record, level);
    SDK_BINDING_MEMBER(record, removeDisallowedChars);
    SDK_BINDING_MEMBER(record, aggressiveScan);
    record.Tags(api_tags);
  }
  {
    RecordBuilder<SanitizeResponse> record(registry, prefix + std::string(kSanitizeResponseName));
    SDK_BINDING_MEMBER(record, texts);
    SDK_BINDING_MEMBER(record, text);
    SDK_BINDING_MEMBER(record, modified);
    record.Tags(api_tags);
  }
}

}  // namespace sanitizer::service
