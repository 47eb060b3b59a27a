// Reading the `--config` file of the `sanitizer` tool: a JSON object with the members of the
// "Sanitizer" configuration namespace, turned into the settings the backend takes.
//
// The members are read as the plug-in reads its configuration resource: "Level<N>Filter",
// "Level<N>Unfilter" and "Level<N>Whitelist" for N = 0 to 3 give one ad-hoc text each (the
// member's text form), "WhitelistEnabled" gives its truth value; other members are ignored.
// When a name occurs twice, the last occurrence wins.
#ifndef TOOLS_SANITIZER_TOOL_CONFIG_H_
#define TOOLS_SANITIZER_TOOL_CONFIG_H_

#include <filesystem>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "tools/sanitizer/sanitizer_backend.h"

namespace sanitizer::tool {

// The text form of a configuration value: a string is itself (up to its first NUL), true and
// false are "true" and "false", an integer is written in decimal (with "-" when negative), any
// other number as printf's "%f", and null, arrays and objects give the empty text.
std::string ConfigValueText(const rapidjson::Value& value);

// The truth value of a configuration value: a boolean is itself; a number is true when it is
// not zero (NaN is not zero); a string is true exactly when it is "true" or "1"; an array or
// object is true when it is not empty; null is false.
bool ConfigValueTruth(const rapidjson::Value& value);

// Reads the members of `json` into `settings` (ad-hoc texts and whitelistEnabled). A blank
// document has no members. Returns false with a message in *error when the text is not JSON
// or its root is not an object.
bool ReadConfigJson(std::string_view json, SanitizerSettings& settings, std::string* error);

// Reads the file at `path` and then ReadConfigJson; an unreadable file fails too.
bool ReadConfigFile(const std::filesystem::path& path, SanitizerSettings& settings,
                    std::string* error);

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_TOOL_CONFIG_H_
