// The names and versions of a plug-in: its plug-in API version and compatibility rule, its type
// (backend or frontend) and the full name derived from the short name and the type.
//
//   GetFullNameFromShortNameAndType("sanitizer", kBackendPluginType).full_name
//       == "nbx-be-sanitizer"
//
// A type other than the two known ones still yields a name, with the prefix "nbx-xx-", and logs
// an error line.
#ifndef SDK_HOST_PLUGIN_NAMING_H_
#define SDK_HOST_PLUGIN_NAMING_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace sdk::host {

struct PluginApiVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  std::string pre_release;
  std::string build;

  // "major.minor.patch", then "-" and the pre-release text and "+" and the build text when
  // they are not empty: 1.2.3-rc1+7.
  std::string ToText() const;
};

// The version of the plug-in API this SDK implements.
inline constexpr uint32_t kPluginApiMajor = 18;
inline constexpr uint32_t kPluginApiMinor = 0;
inline constexpr uint32_t kPluginApiPatch = 0;
PluginApiVersion CurrentPluginApiVersion();

// Whether a core of version `core` can load a plug-in of version `plugin`: same major, and a
// greater minor, or the same minor with a patch at least the plug-in's. Texts do not count.
bool IsCompatibleCore(const PluginApiVersion& core, const PluginApiVersion& plugin);

struct PluginType {
  std::string name;
  std::string second;  // a second text, empty for both known types
};
// "backend" and "frontend".
PluginType BackendPluginType();
PluginType FrontendPluginType();

struct PluginNaming {
  std::string full_name;
  std::string short_name;
  std::string type_name;
  std::string type_second;
};

// The naming record of a plug-in: the full name is "nbx-be-" (type named exactly "backend"),
// "nbx-fe-" (exactly "frontend") or otherwise "nbx-xx-", followed by the short name. For an
// unknown type the error "GetFullNameFromShortNameAndType("<short>", "<type>") called with an
// unknown type" is logged with the plug-in manager's line format.
PluginNaming GetFullNameFromShortNameAndType(std::string_view short_name, const PluginType& type);

}  // namespace sdk::host

#endif  // SDK_HOST_PLUGIN_NAMING_H_
