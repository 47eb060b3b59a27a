#include "tools/sanitizer/tool_options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sanitizer::tool {
namespace {

std::string Join(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& arg : args) joined += "[" + arg + "]";
  return joined;
}

TEST(ParseLevelTest, Table) {
  struct Case {
    std::string text;
    std::optional<uint32_t> level;
  };
  const Case cases[] = {
      {"0", 0u},
      {"1", 1u},
      {"3", 3u},
      {"+2", 2u},
      {"-1", 4294967295u},
      {"-2", 4294967294u},
      {"-2147483648", 2147483648u},
      {"4294967295", 4294967295u},
      {"-0", 0u},
      {"007", 7u},
      // Any integer, taken modulo 2^32.
      {"4294967296", 0u},
      {"4294967299", 3u},
      {"-2147483649", 2147483647u},
      {"-4294967295", 1u},
      {"-4294967296", 0u},
      {"99999999999999999999999", 4135583743u},  // 10^23 - 1 modulo 2^32
      {"18446744073709551617", 1u},              // 2^64 + 1
      // Not integers.
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {"1x", std::nullopt},
      {"abc", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
      {"1.5", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseLevel(c.text), c.level) << "input: " << c.text;
  }
}

TEST(ParseToolOptionsTest, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::vector<std::string> texts;
    bool texts_given;
  };
  const Case cases[] = {
      {{"sanitize"}, Command::kSanitize, {}, false},
      {{"contains", "a", "b"}, Command::kContains, {"a", "b"}, true},
      {{"contains", ""}, Command::kContains, {""}, true},
      {{"status"}, Command::kStatus, {}, false},
      {{"help"}, Command::kHelp, {}, false},
      {{"sanitize", "--help"}, Command::kHelp, {}, false},
      {{"-h"}, Command::kHelp, {}, false},
      // Options may follow or surround the texts; single-dash words are texts.
      {{"sanitize", "x", "--json", "y"}, Command::kSanitize, {"x", "y"}, true},
      {{"--json", "sanitize", "-", "-x", "-5"}, Command::kSanitize, {"-", "-x", "-5"}, true},
      // "--" ends the options.
      {{"contains", "--", "--json", "--"}, Command::kContains, {"--json", "--"}, true},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseToolOptions(c.args);
    ASSERT_TRUE(std::holds_alternative<ToolOptions>(parsed))
        << "input: " << Join(c.args) << " error: " << std::get<std::string>(parsed);
    const ToolOptions& options = std::get<ToolOptions>(parsed);
    EXPECT_EQ(options.command, c.command) << "input: " << Join(c.args);
    EXPECT_EQ(options.texts, c.texts) << "input: " << Join(c.args);
    EXPECT_EQ(options.texts_given, c.texts_given) << "input: " << Join(c.args);
  }
}

TEST(ParseToolOptionsTest, Defaults) {
  const auto parsed = ParseToolOptions({"sanitize"});
  ASSERT_TRUE(std::holds_alternative<ToolOptions>(parsed));
  const ToolOptions& options = std::get<ToolOptions>(parsed);
  EXPECT_FALSE(options.assets.has_value());
  EXPECT_EQ(options.region, "");
  EXPECT_EQ(options.locale, "en_US");
  EXPECT_FALSE(options.config.has_value());
  EXPECT_EQ(options.level, 1u);
  EXPECT_FALSE(options.whitelist || options.aggressive || options.remove_disallowed ||
               options.embedded || options.json);
}

TEST(ParseToolOptionsTest, EveryOption) {
  const auto parsed =
      ParseToolOptions({"contains", "--assets", "/a", "--region=WEST", "--locale", "", "--config",
                        "c.json", "--whitelist", "--level", "-1", "--aggressive",
                        "--remove-disallowed", "--embedded", "--json", "t"});
  ASSERT_TRUE(std::holds_alternative<ToolOptions>(parsed)) << std::get<std::string>(parsed);
  const ToolOptions& options = std::get<ToolOptions>(parsed);
  EXPECT_EQ(options.assets, std::filesystem::path("/a"));
  EXPECT_EQ(options.region, "WEST");
  EXPECT_EQ(options.locale, "");
  EXPECT_EQ(options.config, std::filesystem::path("c.json"));
  EXPECT_EQ(options.level, 4294967295u);
  EXPECT_TRUE(options.whitelist && options.aggressive && options.remove_disallowed &&
              options.embedded && options.json);
  EXPECT_EQ(options.texts, std::vector<std::string>{"t"});
}

TEST(ParseToolOptionsTest, RejectedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string message_part;
  };
  const Case cases[] = {
      {{}, "no command"},
      {{"--json"}, "no command"},
      {{"scrub", "x"}, "unknown command \"scrub\""},
      {{"sanitize", "--colour"}, "unknown option --colour"},
      {{"sanitize", "--level"}, "--level needs a value"},
      {{"sanitize", "--level", "two"}, "invalid level \"two\""},
      {{"sanitize", "--level=4.0"}, "invalid level"},
      {{"sanitize", "--assets"}, "--assets needs a value"},
      {{"sanitize", "--assets="}, "--assets needs a folder"},
      {{"sanitize", "--config", ""}, "--config needs a file"},
      {{"sanitize", "--json=yes"}, "--json takes no value"},
      {{"status", "x"}, "status takes no TEXT"},
      {{"sanitize", "--embedded"}, "--embedded applies to contains only"},
      {{"status", "--embedded"}, "--embedded applies to contains only"},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseToolOptions(c.args);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << "input: " << Join(c.args);
    EXPECT_NE(std::get<std::string>(parsed).find(c.message_part), std::string::npos)
        << "input: " << Join(c.args) << " message: " << std::get<std::string>(parsed);
  }
}

}  // namespace
}  // namespace sanitizer::tool
