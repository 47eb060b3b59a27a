// Argument parsing and the help text of the `sanitizer` tool. See tool_options.h.
#include "tools/sanitizer/tool_options.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace sanitizer::tool {
namespace {

constexpr std::string_view kHelp = R"(Usage:
  sanitizer sanitize [OPTIONS] [TEXT...]   masked text, one line per input text
  sanitizer contains [OPTIONS] [TEXT...]   "true" or "false", one line per input text
  sanitizer status   [OPTIONS]             the status counts as JSON
  sanitizer --help                         this text

Finds filtered words in texts and masks them with "*", one "*" per character, so that the
masked text has as many characters as the input. Words are found also when spaced out
("b a d"), written with look-alike letters or digits ("b@d", "8ad"), or run together with
other words; the aggressive scan also finds them inside other words.

Without TEXT, each line of standard input is one text (a trailing line feed is not part of
the text; a carriage return is, and is kept in the output; the last line needs no line
feed). Output order equals input order, one line per text. A TEXT argument that holds a line
feed is printed with it; --json keeps every answer on one line.

OPTIONS
  --assets DIR         asset folder; files named as the assets ("1.filter.csv",
                       "projectedchars.txt", ...); a missing file is an empty asset.
                       Default: the bundled sample assets.
  --region R           region (default empty)
  --locale L           locale (default en_US); the lists and allowed characters follow the
                       region and locale. An empty locale leaves the sanitizer not ready:
                       "sanitize" and "contains" then fail, "status" shows "ready": false.
  --config FILE        JSON file holding an object with the configuration members
                       Level0Filter ... Level3Filter, Level0Unfilter ... Level3Unfilter,
                       Level0Whitelist ... Level3Whitelist (texts of words separated by
                       commas or blanks; another value counts by its text form: a
                       number in decimal, true and false as words, null, arrays and
                       objects as the empty text) and WhitelistEnabled (true, a number
                       other than 0, the texts "true" and "1", a non-empty array or object
                       enable it; false, 0, null, other texts and empty ones do not)
  --whitelist          whitelisting enabled (as WhitelistEnabled true)
  --level N            level, default 1; lists of levels 0 to N apply. Any decimal
                       integer, with an optional sign, taken as unsigned 32-bit (its value
                       modulo 2^32: -1 is 4294967295 and applies every level, 4294967296
                       is 0)
  --aggressive         aggressive scan: finds listed words inside other words; with
                       --whitelist, whitelisted words protect the text they cover
  --remove-disallowed  replace characters outside the locale's allowed characters by blanks
  --embedded           (contains only) embedded matching: finds listed words anywhere,
                       also inside other words and across word boundaries
  --json               print the response record as JSON instead of lines:
                         sanitize  one {"text":"...","modified":true|false} per text
                         contains  one {"contains":true|false} per text
                         status    the status record on one line
  -h, --help           this text
  --                   the arguments after it are texts, also when they start with "--"

OUTPUT
  sanitize  the masked text
  contains  "true" when the text contains a filtered word, else "false"
  status    the status record as indented JSON: ready, region, locale,
            filteredWordCountsByLevel and whitelistedWordCountsByLevel (keys "0" to "3"),
            allowedCharsCount, breakingCharsCount, projectedCharsCount

EXIT STATUS (as grep)
  0  sanitize and status: success; contains: at least one text contains a filtered word
  1  contains: no text contains a filtered word
  2  an error. A text that is not valid UTF-8 is reported on standard error as
     "sanitizer: line N: Invalid UTF-8 string" (or "argument N: ..." for the N-th TEXT),
     an empty line is printed in its place (also with --json) and the other texts are
     processed. The same holds, with their own messages, for a line that holds a NUL byte
     and for a line longer than 16 MiB (16777216 bytes), which is read through without
     being kept. A missing asset folder, an unreadable or malformed --config file and a bad
     option end the run at once.

On long batches (more than a second of work) the progress is shown on standard error when
it is a terminal.
)";

}  // namespace

std::string_view HelpText() { return kHelp; }

std::optional<uint32_t> ParseLevel(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Unsigned arithmetic wraps, so the digits accumulate the value modulo 2^32 however long
  // the number is.
  uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10u + static_cast<uint32_t>(c - '0');
  }
  return negative ? 0u - value : value;
}

std::variant<ToolOptions, std::string> ParseToolOptions(const std::vector<std::string>& args) {
  ToolOptions options;
  bool have_command = false;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool is_option = !options_ended && (arg.starts_with("--") || arg == "-h");
    if (!is_option) {
      // A plain argument (also "-", "-5" or "-x"): the command first, then texts.
      if (!have_command) {
        if (arg == "sanitize") {
          options.command = Command::kSanitize;
        } else if (arg == "contains") {
          options.command = Command::kContains;
        } else if (arg == "status") {
          options.command = Command::kStatus;
        } else if (arg == "help") {
          options.command = Command::kHelp;
        } else {
          return "unknown command \"" + arg + "\" (expected sanitize, contains or status)";
        }
        have_command = true;
        continue;
      }
      options.texts.push_back(arg);
      options.texts_given = true;
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options.command = Command::kHelp;
      return options;
    }
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const auto equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      inline_value = arg.substr(equals + 1);
    }
    auto flag = [&](bool& target) -> std::optional<std::string> {
      if (inline_value) return "option " + name + " takes no value";
      target = true;
      return std::nullopt;
    };
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::optional<std::string> error;
    if (name == "--whitelist") {
      error = flag(options.whitelist);
    } else if (name == "--aggressive") {
      error = flag(options.aggressive);
    } else if (name == "--remove-disallowed") {
      error = flag(options.remove_disallowed);
    } else if (name == "--embedded") {
      error = flag(options.embedded);
    } else if (name == "--json") {
      error = flag(options.json);
    } else if (name == "--assets" || name == "--region" || name == "--locale" ||
               name == "--config" || name == "--level") {
      const std::optional<std::string> text = value();
      if (!text) return "option " + name + " needs a value";
      if (name == "--assets") {
        if (text->empty()) return "option --assets needs a folder";
        options.assets = *text;
      } else if (name == "--region") {
        options.region = *text;
      } else if (name == "--locale") {
        options.locale = *text;
      } else if (name == "--config") {
        if (text->empty()) return "option --config needs a file";
        options.config = *text;
      } else {
        const std::optional<uint32_t> level = ParseLevel(*text);
        if (!level) {
          return "invalid level \"" + *text + "\" (a decimal integer such as 2 or -1)";
        }
        options.level = *level;
      }
    } else {
      return "unknown option " + name;
    }
    if (error) return *error;
  }
  if (!have_command) return std::string("no command given (sanitize, contains or status)");
  if (options.command == Command::kStatus && options.texts_given) {
    return std::string("status takes no TEXT");
  }
  if (options.embedded && options.command != Command::kContains) {
    return std::string("--embedded applies to contains only");
  }
  return options;
}

}  // namespace sanitizer::tool
