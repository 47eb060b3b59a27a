// The command line of the `sanitizer` tool: the command, its options and its texts.
//
// Parsing only checks the form of the arguments; reading the asset folder and the
// configuration file is left to the caller, so that every failure is reported in one place.
#ifndef TOOLS_SANITIZER_TOOL_OPTIONS_H_
#define TOOLS_SANITIZER_TOOL_OPTIONS_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sanitizer::tool {

enum class Command { kSanitize, kContains, kStatus, kHelp };

struct ToolOptions {
  Command command = Command::kHelp;
  std::optional<std::filesystem::path> assets;  // absent: the bundled sample assets
  std::string region;
  std::string locale = "en_US";
  std::optional<std::filesystem::path> config;
  bool whitelist = false;
  uint32_t level = 1;
  bool aggressive = false;
  bool remove_disallowed = false;
  bool embedded = false;
  bool json = false;
  // The TEXT arguments; when none is given the texts are the lines of standard input.
  std::vector<std::string> texts;
  bool texts_given = false;
};

// Parses the arguments after the program name. Options may stand before, between or after
// the texts; "--name=value" and "--name value" are both accepted; "--" ends the options, so
// that a text may start with "--". On failure the result is a message for the user.
std::variant<ToolOptions, std::string> ParseToolOptions(const std::vector<std::string>& args);

// Reads a level: a decimal integer of any length with an optional sign, taken as unsigned
// 32-bit, that is modulo 2^32 (-1 is 4294967295, which applies every level; 4294967296 is 0).
// Anything else (blanks, other bases, fractions, no digits) fails.
std::optional<uint32_t> ParseLevel(std::string_view text);

// The text of `sanitizer --help`.
std::string_view HelpText();

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_TOOL_OPTIONS_H_
