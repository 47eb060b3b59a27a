// How the contents of the two host resources that configure the sanitizer become its
// configuration inputs.
//
// The platform configuration namespace "Sanitizer" (kConfigurationUri) is a structure whose
// members "Level<N>Filter", "Level<N>Unfilter" and "Level<N>Whitelist" (N = 0 to 3) each give
// one list text for their level, and whose member "WhitelistEnabled" switches the whitelists
// on. The region-and-locale resource (kRegionLocaleUri) is a structure with the members
// "region" and "locale". Reading never fails: absent members give no entry or empty texts.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_CONFIGURATION_INPUTS_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_CONFIGURATION_INPUTS_H_

#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "sdk/binding/binding_value.h"

namespace sanitizer::service {

inline constexpr std::string_view kConfigurationUri =
    "/jat-platform-config/v1/namespaces/Sanitizer";
inline constexpr std::string_view kRegionLocaleUri = "/pavoclient/region-locale";

// The ad-hoc lists and the whitelist switch of one configuration document.
struct ConfigurationLists {
  LevelTexts adhocIncludes;   // "Level<N>Filter"
  LevelTexts adhocExcludes;   // "Level<N>Unfilter"
  LevelTexts adhocWhitelist;  // "Level<N>Whitelist"
  bool whitelistEnabled = false;

  friend bool operator==(const ConfigurationLists&, const ConfigurationLists&) = default;
};

// Reads a configuration document. For each level 0 to 3 and each kind, a member of that name
// that is present (whatever its kind, a null value included) gives its level one text: the
// member's text form (BindingValue::ToText) decoded from UTF-8 (a text that does not decode
// gives an empty text). Other members, such as "Level4Filter", are ignored.
// `whitelistEnabled` is the truth value of "WhitelistEnabled" (BindingValue::ToBool), so the
// strings "true" and "1" enable it as well; false when absent. A value that is not a
// structure holds no members and gives empty lists.
ConfigurationLists ReadConfigurationLists(const sdk::binding::BindingValue& data);

struct RegionLocale {
  std::string region;
  std::string locale;

  friend bool operator==(const RegionLocale&, const RegionLocale&) = default;
};

// Reads "region" and "locale" as their text forms; `deleted` (the resource was deleted)
// gives both empty without reading the data.
RegionLocale ReadRegionLocale(const sdk::binding::BindingValue& data, bool deleted);

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_CONFIGURATION_INPUTS_H_
