// The records of the sanitizer's three resources, and their registration in the binding
// registry.
//
// The status resource answers with SanitizerStatus; containsSanitized takes a
// ContainsSanitizedRequest and answers with a ContainsSanitizedResponse; sanitize takes a
// SanitizeRequest and answers with a SanitizeResponse. Member names are the wire names. A
// member that the caller may leave out is a std::optional, which gives it the optional mark;
// the handlers (sanitizer_resources.h) put the defaults in. `text` of a containsSanitized
// request is the one member a request must hold: it is registered as required, so a request
// without it fails in the conversion, before the handler runs. The `texts` of a sanitize
// request and response are TextLists, which convert as vectors of strings but keep a batch's
// texts in one buffer.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RECORDS_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RECORDS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/text_list.h"

namespace sanitizer::service {

// What the status resource reports: whether an engine exists, the region and locale it was
// built for, its word counts per level (keys "0" to "3") and allowed characters, and the two
// counts of the character tables.
struct SanitizerStatus {
  bool ready = false;
  std::string region;
  std::string locale;
  std::map<std::string, uint32_t> filteredWordCountsByLevel;
  std::map<std::string, uint32_t> whitelistedWordCountsByLevel;
  uint32_t allowedCharsCount = 0;
  uint32_t breakingCharsCount = 0;
  uint32_t projectedCharsCount = 0;

  friend bool operator==(const SanitizerStatus&, const SanitizerStatus&) = default;
};

struct ContainsSanitizedRequest {
  std::string text;
  std::optional<uint32_t> level;
  std::optional<bool> includeEmbedded;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct ContainsSanitizedResponse {
  bool contains = false;
};

struct SanitizeRequest {
  std::optional<sdk::binding::TextList> texts;
  std::optional<std::string> text;
  std::optional<uint32_t> level;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct SanitizeResponse {
  std::optional<sdk::binding::TextList> texts;
  std::optional<std::string> text;
  bool modified = false;
};

// The record names, each registered as the plug-in's type-name prefix followed by the name
// ("SanitizerSanitizerStatus" for the prefix "Sanitizer").
inline constexpr std::string_view kSanitizerStatusName = "SanitizerStatus";
inline constexpr std::string_view kContainsSanitizedRequestName = "ContainsSanitizedRequest";
inline constexpr std::string_view kContainsSanitizedResponseName = "ContainsSanitizedResponse";
inline constexpr std::string_view kSanitizeRequestName = "SanitizeRequest";
inline constexpr std::string_view kSanitizeResponseName = "SanitizeResponse";

// Registers the five records under `type_name_prefix` + name, each tagged with every entry of
// `api_tags` in order. First-wins, as every registration: a record whose name is registered
// already is left as it is.
void RegisterSanitizerRecords(sdk::binding::BindingRegistry& registry,
                              std::string_view type_name_prefix,
                              std::span<const std::string> api_tags);

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RECORDS_H_
