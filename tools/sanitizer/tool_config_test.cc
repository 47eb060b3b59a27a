#include "tools/sanitizer/tool_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>

#include <rapidjson/document.h>

namespace sanitizer::tool {
namespace {

TEST(ConfigValueTest, TextFormAndTruthValue) {
  struct Case {
    std::string json;
    std::string text;
    bool truth;
  };
  const Case cases[] = {
      {R"("bad, worse")", "bad, worse", false},
      {R"("true")", "true", true},
      {R"("1")", "1", true},
      {R"("TRUE")", "TRUE", false},
      {R"("yes")", "yes", false},
      {R"("0")", "0", false},
      {R"("")", "", false},
      {R"("a\u0000b")", "a", false},
      {R"("1\u0000x")", "1", true},
      {"true", "true", true},
      {"false", "false", false},
      {"null", "", false},
      {"0", "0", false},
      {"1", "1", true},
      {"2", "2", true},
      {"-5", "-5", true},
      {"18446744073709551615", "18446744073709551615", true},
      {"-9223372036854775808", "-9223372036854775808", true},
      {"1.5", "1.500000", true},
      {"0.0", "0.000000", false},
      {"1e3", "1000.000000", true},
      {"[]", "", false},
      {"[0]", "", true},
      {"{}", "", false},
      {R"({"a":false})", "", true},
  };
  for (const Case& c : cases) {
    rapidjson::Document document;
    document.Parse(c.json.c_str(), c.json.size());
    ASSERT_FALSE(document.HasParseError()) << "input: " << c.json;
    EXPECT_EQ(ConfigValueText(document), c.text) << "input: " << c.json;
    EXPECT_EQ(ConfigValueTruth(document), c.truth) << "input: " << c.json;
  }
}

TEST(ConfigValueTest, NotANumberIsTrue) {
  rapidjson::Value value(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(ConfigValueTruth(value));
}

TEST(ReadConfigJsonTest, MembersBecomeSettings) {
  SanitizerSettings settings;
  std::string error;
  ASSERT_TRUE(ReadConfigJson(R"({
      "Level2Filter": "crab, lobster prawn",
      "Level0Whitelist": "scrabble",
      "Level4Filter": "ignored",
      "level1filter": "ignored too",
      "Level1Unfilter": 7,
      "Level3Filter": "",
      "Other": 1,
      "WhitelistEnabled": "1"})",
                             settings, &error))
      << error;
  EXPECT_EQ(settings.adhocIncludes,
            (std::map<uint32_t, std::string>{{2, "crab, lobster prawn"}, {3, ""}}));
  EXPECT_EQ(settings.adhocExcludes, (std::map<uint32_t, std::string>{{1, "7"}}));
  EXPECT_EQ(settings.adhocWhitelist, (std::map<uint32_t, std::string>{{0, "scrabble"}}));
  EXPECT_TRUE(settings.whitelistEnabled);
}

TEST(ReadConfigJsonTest, LastOccurrenceOfANameWins) {
  SanitizerSettings settings;
  std::string error;
  ASSERT_TRUE(ReadConfigJson(
      R"({"Level1Filter":"a","WhitelistEnabled":true,"Level1Filter":"b","WhitelistEnabled":0})",
      settings, &error));
  EXPECT_EQ(settings.adhocIncludes, (std::map<uint32_t, std::string>{{1, "b"}}));
  EXPECT_FALSE(settings.whitelistEnabled);
}

TEST(ReadConfigJsonTest, TheDocumentEndsAtItsFirstNulByte) {
  SanitizerSettings settings;
  std::string error;
  ASSERT_TRUE(
      ReadConfigJson(std::string_view("{\"Level1Filter\":\"a\"}\0{junk", 26), settings, &error))
      << error;
  EXPECT_EQ(settings.adhocIncludes, (std::map<uint32_t, std::string>{{1, "a"}}));
}

TEST(ReadConfigJsonTest, BlankAndEmptyDocumentsHaveNoMembers) {
  for (const std::string_view json : {std::string_view(""), std::string_view("  \n\t"),
                                      std::string_view("{}"), std::string_view(" \0{junk", 7)}) {
    SanitizerSettings settings;
    std::string error;
    EXPECT_TRUE(ReadConfigJson(json, settings, &error)) << "input: " << json;
    EXPECT_TRUE(settings.adhocIncludes.empty() && settings.adhocExcludes.empty() &&
                settings.adhocWhitelist.empty() && !settings.whitelistEnabled);
  }
}

TEST(ReadConfigJsonTest, Errors) {
  struct Case {
    std::string json;
    std::string error;
  };
  const Case cases[] = {
      {"{} x", "Error: The document root must not be followed by other values. at offset 3."},
      {"tru", "Error: Invalid value. at offset 3."},
      {R"({"Level1Filter": "a")", "Error: Missing a comma or '}' after an object member."},
      {R"(["Level1Filter"])", "the configuration must be a JSON object"},
      {R"("text")", "the configuration must be a JSON object"},
  };
  for (const Case& c : cases) {
    SanitizerSettings settings;
    std::string error;
    EXPECT_FALSE(ReadConfigJson(c.json, settings, &error)) << "input: " << c.json;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << "input: " << c.json;
  }
}

TEST(ReadConfigFileTest, MissingFileAndFolderFail) {
  SanitizerSettings settings;
  std::string error;
  EXPECT_FALSE(ReadConfigFile("/nonexistent/config.json", settings, &error));
  EXPECT_NE(error.find("cannot read /nonexistent/config.json"), std::string::npos) << error;
  EXPECT_FALSE(ReadConfigFile(std::filesystem::temp_directory_path(), settings, &error));
  EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
}

TEST(ReadConfigFileTest, ReadsAFile) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "sanitizer_tool_config_test.json";
  std::ofstream(path) << R"({"Level0Filter": "x y", "WhitelistEnabled": 1})";
  SanitizerSettings settings;
  std::string error;
  EXPECT_TRUE(ReadConfigFile(path, settings, &error)) << error;
  EXPECT_EQ(settings.adhocIncludes, (std::map<uint32_t, std::string>{{0, "x y"}}));
  EXPECT_TRUE(settings.whitelistEnabled);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace sanitizer::tool
