// Plug-in versions, types and names.
#include "sdk/host/plugin_naming.h"

#include "sdk/diagnostics/log.h"
#include "sdk/text/format_message.h"

namespace sdk::host {

std::string PluginApiVersion::ToText() const {
  std::string text = sdk::text::FormatMessage("%1.%2.%3", static_cast<unsigned long long>(major),
                                              static_cast<unsigned long long>(minor),
                                              static_cast<unsigned long long>(patch));
  if (!pre_release.empty()) text += "-" + pre_release;
  if (!build.empty()) text += "+" + build;
  return text;
}

PluginApiVersion CurrentPluginApiVersion() {
  return PluginApiVersion{kPluginApiMajor, kPluginApiMinor, kPluginApiPatch, {}, {}};
}

bool IsCompatibleCore(const PluginApiVersion& core, const PluginApiVersion& plugin) {
  if (core.major != plugin.major) return false;
  if (core.minor != plugin.minor) return core.minor > plugin.minor;
  return core.patch >= plugin.patch;
}

PluginType BackendPluginType() { return PluginType{"backend", {}}; }
PluginType FrontendPluginType() { return PluginType{"frontend", {}}; }

PluginNaming GetFullNameFromShortNameAndType(std::string_view short_name, const PluginType& type) {
  std::string prefix;
  if (type.name == "backend") {
    prefix = "nbx-be-";
  } else if (type.name == "frontend") {
    prefix = "nbx-fe-";
  } else {
    prefix = "nbx-xx-";
    const std::string message = sdk::text::FormatMessage(
        "GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type", short_name,
        type.name);
    sdk::diagnostics::Log(sdk::diagnostics::kLogError, 0, "            Plugin Manager| %s",
                          message.c_str());
  }
  return PluginNaming{prefix + std::string(short_name), std::string(short_name), type.name,
                      type.second};
}

}  // namespace sdk::host
