// The `--config` reader of the `sanitizer` tool. See tool_config.h.
#include "tools/sanitizer/tool_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include <rapidjson/error/en.h>

namespace sanitizer::tool {

std::string ConfigValueText(const rapidjson::Value& value) {
  switch (value.GetType()) {
    case rapidjson::kStringType: {
      const std::string_view text(value.GetString(), value.GetStringLength());
      return std::string(text.substr(0, text.find('\0')));
    }
    case rapidjson::kTrueType:
      return "true";
    case rapidjson::kFalseType:
      return "false";
    case rapidjson::kNumberType: {
      // Non-negative integers are unsigned, negative ones signed, anything else a double.
      if (value.IsUint64()) return std::to_string(value.GetUint64());
      if (value.IsInt64()) return std::to_string(value.GetInt64());
      char buffer[512];
      std::snprintf(buffer, sizeof buffer, "%f", value.GetDouble());
      return buffer;
    }
    case rapidjson::kNullType:
    case rapidjson::kArrayType:
    case rapidjson::kObjectType:
      break;
  }
  return std::string();
}

bool ConfigValueTruth(const rapidjson::Value& value) {
  switch (value.GetType()) {
    case rapidjson::kTrueType:
      return true;
    case rapidjson::kFalseType:
    case rapidjson::kNullType:
      return false;
    case rapidjson::kNumberType:
      if (value.IsUint64()) return value.GetUint64() != 0;
      if (value.IsInt64()) return value.GetInt64() != 0;
      return value.GetDouble() != 0.0;  // NaN compares unequal to zero
    case rapidjson::kStringType: {
      const std::string text = ConfigValueText(value);
      return text == "true" || text == "1";
    }
    case rapidjson::kArrayType:
      return !value.Empty();
    case rapidjson::kObjectType:
      return value.MemberCount() != 0;
  }
  return false;
}

bool ReadConfigJson(std::string_view json, SanitizerSettings& settings, std::string* error) {
  // The document ends at its first NUL byte, as the host's JSON texts do.
  json = json.substr(0, json.find('\0'));
  if (json.find_first_not_of(" \t\r\n") == std::string_view::npos) return true;
  rapidjson::Document document;
  document.Parse(json.data(), json.size());
  if (document.HasParseError()) {
    *error = std::string("Error: ") + rapidjson::GetParseError_En(document.GetParseError()) +
             " at offset " + std::to_string(document.GetErrorOffset()) + ".";
    return false;
  }
  if (!document.IsObject()) {
    *error = "the configuration must be a JSON object";
    return false;
  }
  // Each member name maps to its place; walking the members in order lets a later occurrence
  // of a name replace an earlier one.
  struct Kind {
    std::string_view suffix;
    std::map<uint32_t, std::string> SanitizerSettings::*texts;
  };
  const Kind kinds[] = {{"Filter", &SanitizerSettings::adhocIncludes},
                        {"Unfilter", &SanitizerSettings::adhocExcludes},
                        {"Whitelist", &SanitizerSettings::adhocWhitelist}};
  for (const auto& member : document.GetObject()) {
    const std::string_view name(member.name.GetString(), member.name.GetStringLength());
    if (name == "WhitelistEnabled") {
      settings.whitelistEnabled = ConfigValueTruth(member.value);
      continue;
    }
    for (uint32_t level = 0; level <= 3; ++level) {
      for (const Kind& kind : kinds) {
        if (name == "Level" + std::to_string(level) + std::string(kind.suffix)) {
          (settings.*kind.texts)[level] = ConfigValueText(member.value);
        }
      }
    }
  }
  return true;
}

bool ReadConfigFile(const std::filesystem::path& path, SanitizerSettings& settings,
                    std::string* error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    *error = "cannot read " + path.string() + ": it is a folder";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  const std::string json((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    *error = "cannot read " + path.string();
    return false;
  }
  std::string parse_error;
  if (!ReadConfigJson(json, settings, &parse_error)) {
    *error = path.string() + ": " + parse_error;
    return false;
  }
  return true;
}

}  // namespace sanitizer::tool
