// Reading the configuration resources (configuration_inputs.h).
#include "Plugins/nbx-be-sanitizer/service/configuration_inputs.h"

#include <cstdint>
#include <string>

#include "sdk/text/code_conversion.h"

namespace sanitizer::service {
namespace {

using sdk::binding::BindingValue;

// Levels that have lists; configuration members of other levels are not looked up.
constexpr uint32_t kLevelCount = 4;

// Adds the member "Level<level><kind>" to `lists` when the document has it.
void ReadLevelMember(const BindingValue& data, uint32_t level, std::string_view kind,
                     LevelTexts& lists) {
  const std::string name = "Level" + std::to_string(level) + std::string(kind);
  const BindingValue& member = data.FindMember(name);
  // FindMember answers the shared empty value exactly when there is no such member; a member
  // that is present with a null value still gives its level an (empty) text.
  if (&member == &BindingValue::EmptyValue()) return;
  lists[level].push_back(sdk::text::Utf8ToUtf32(member.ToText()));
}

}  // namespace

ConfigurationLists ReadConfigurationLists(const BindingValue& data) {
  ConfigurationLists lists;
  for (uint32_t level = 0; level < kLevelCount; ++level) {
    ReadLevelMember(data, level, "Filter", lists.adhocIncludes);
    ReadLevelMember(data, level, "Unfilter", lists.adhocExcludes);
    ReadLevelMember(data, level, "Whitelist", lists.adhocWhitelist);
  }
  lists.whitelistEnabled = data.FindMember("WhitelistEnabled").ToBool();
  return lists;
}

RegionLocale ReadRegionLocale(const BindingValue& data, bool deleted) {
  if (deleted) return RegionLocale{};
  return RegionLocale{data.FindMember("region").ToText(), data.FindMember("locale").ToText()};
}

}  // namespace sanitizer::service
