#include "tools/sanitizer/sanitizer_tool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sanitizer/local_sanitizer_backend.h"

namespace sanitizer::tool {
namespace {

using namespace std::string_literals;

// Answers like a sanitizer whose only filtered word is "bad": sanitize masks it, contains
// finds it. The text "boom" fails as a resource failure would. It records what it was given.
class FakeBackend final : public SanitizerBackend {
 public:
  std::optional<BackendError> Configure(const SanitizerSettings& settings) override {
    settings_ = settings;
    ++configure_calls_;
    return std::nullopt;
  }
  SanitizerStatus Status() override {
    SanitizerStatus status;
    status.ready = !settings_.locale.empty();
    status.region = settings_.region;
    status.locale = settings_.locale;
    status.filteredWordCountsByLevel = {{"0", 0}, {"1", 1}, {"2", 0}, {"3", 0}};
    status.whitelistedWordCountsByLevel = {{"0", 0}, {"1", 0}, {"2", 0}, {"3", 0}};
    status.breakingCharsCount = 4;
    status.projectedCharsCount = 5;
    return status;
  }
  BackendResult<ContainsSanitizedResponse> ContainsSanitized(
      const ContainsSanitizedRequest& request) override {
    contains_requests_.push_back(request);
    if (request.text == "boom") return BackendError{500, "exploded"};
    if (slow_first_ && contains_requests_.size() == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    return ContainsSanitizedResponse{request.text.find("bad") != std::string::npos};
  }
  BackendResult<SanitizeResponse> Sanitize(const SanitizeRequest& request) override {
    sanitize_requests_.push_back(request);
    if (request.text == "boom") return BackendError{500, "exploded"};
    SanitizeResponse response;
    std::string text = request.text.value_or("");
    for (std::size_t at = text.find("bad"); at != std::string::npos; at = text.find("bad")) {
      text.replace(at, 3, "***");
      response.modified = true;
    }
    response.text = text;
    return response;
  }

  SanitizerSettings settings_;
  int configure_calls_ = 0;
  bool slow_first_ = false;
  std::vector<ContainsSanitizedRequest> contains_requests_;
  std::vector<SanitizeRequest> sanitize_requests_;
};

struct RunResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

RunResult RunTool(SanitizerBackend& backend, const std::vector<std::string>& args,
                  const std::string& input = "", bool terminal = false,
                  const std::filesystem::path& default_assets = SANITIZER_SAMPLE_ASSETS) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  RunResult result;
  result.exit_status = RunSanitizerTool(args, {in, out, err, terminal}, backend, default_assets);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  return result;
}

std::string Join(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& arg : args) joined += "[" + arg + "]";
  return joined;
}

struct Case {
  std::vector<std::string> args;
  std::string input;
  int exit_status;
  std::string out;
  std::string err;  // exact
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    FakeBackend backend;
    const RunResult result = RunTool(backend, c.args, c.input);
    const std::string where = "args: " + Join(c.args) + " input: " + c.input;
    EXPECT_EQ(result.exit_status, c.exit_status) << where << "\nerr: " << result.err;
    EXPECT_EQ(result.out, c.out) << where;
    EXPECT_EQ(result.err, c.err) << where;
  }
}

TEST(SanitizerToolTest, TextsAndExitStatuses) {
  RunCases({
      // TEXT arguments, one line each, in order; contains exits as grep.
      {{"contains", "good", "so bad", "fine"}, "", 0, "false\ntrue\nfalse\n", ""},
      {{"contains", "good"}, "", 1, "false\n", ""},
      {{"contains", ""}, "", 1, "false\n", ""},
      {{"sanitize", "bad day", "good day"}, "", 0, "*** day\ngood day\n", ""},
      {{"sanitize", "good"}, "", 0, "good\n", ""},
      // Batch mode: each line of standard input is a text; the line feed is not part of it.
      {{"contains"}, "good\nbad\n", 0, "false\ntrue\n", ""},
      {{"contains"}, "good\nfine\n", 1, "false\nfalse\n", ""},
      {{"sanitize"}, "bad\nok bad", 0, "***\nok ***\n", ""},
      {{"sanitize"}, "\n\nbad\n", 0, "\n\n***\n", ""},
      {{"sanitize"}, "bad\r\n", 0, "***\r\n", ""},
      {{"sanitize"}, "", 0, "", ""},
      {{"contains"}, "", 1, "", ""},
      // Given TEXT arguments, standard input is not read.
      {{"contains", "fine"}, "bad\n", 1, "false\n", ""},
  });
}

TEST(SanitizerToolTest, InvalidUtf8IsReportedAndProcessingGoesOn) {
  RunCases({
      {{"contains"},
       "good\n\xff\nbad\n",
       2,
       "false\n\ntrue\n",
       "sanitizer: line 2: Invalid UTF-8 string\n"},
      {{"sanitize"},
       "\xC3\n\xE2\x82\nbad",
       2,
       "\n\n***\n",
       "sanitizer: line 1: Invalid UTF-8 string\nsanitizer: line 2: Invalid UTF-8 string\n"},
      {{"sanitize", "bad", "\xED\xA0\x80", "\xC0\xAF"},
       "",
       2,
       "***\n\n\n",
       "sanitizer: argument 2: Invalid UTF-8 string\n"
       "sanitizer: argument 3: Invalid UTF-8 string\n"},
      // An error wins over a match in the exit status.
      {{"contains", "bad", "\x80"},
       "",
       2,
       "true\n\n",
       "sanitizer: argument 2: Invalid UTF-8 string\n"},
      {{"contains", "--json", "\x80", "bad"},
       "",
       2,
       "\n{\"contains\":true}\n",
       "sanitizer: argument 1: Invalid UTF-8 string\n"},
      // A NUL byte would cut the text short: the line is refused, and the bytes after the NUL
      // are checked too.
      {{"sanitize"},
       "bad\0bad\nbad\0\xff\n\0\nbad\n"s,
       2,
       "\n\n\n***\n",
       "sanitizer: line 1: the text holds a NUL byte\n"
       "sanitizer: line 2: Invalid UTF-8 string\n"
       "sanitizer: line 3: the text holds a NUL byte\n"},
      {{"contains", "--json"},
       "bad\0\n"s,
       2,
       "\n",
       "sanitizer: line 1: the text holds a NUL byte\n"},
      // A failure of the backend for one text is handled the same way.
      {{"sanitize"}, "bad\nboom\nbad\n", 2, "***\n\n***\n", "sanitizer: line 2: exploded\n"},
  });
}

TEST(SanitizerToolTest, LinesLongerThanTheLimitAreRefused) {
  struct LimitCase {
    std::size_t max_line_bytes;
    std::string input;
    int exit_status;
    std::string out;
    std::string err;
  };
  const LimitCase cases[] = {
      // A line of exactly the limit is a text; one byte more is refused, and the lines after
      // it are read as usual. The line feed does not count.
      {8, "bad bad!\nbad bad!!\nbad\n", 2, "*** ***!\n\n***\n",
       "sanitizer: line 2: the line is longer than 8 bytes\n"},
      {8, "0123456789abcdef0123456789bad", 2, "\n",
       "sanitizer: line 1: the line is longer than 8 bytes\n"},
      {8, "bad\r\n", 0, "***\r\n", ""},
      {3, "bad\nbadly\n\n", 2, "***\n\n\n", "sanitizer: line 2: the line is longer than 3 bytes\n"},
      // Lines longer than the reader's buffer of 4096 bytes.
      {9000, std::string(9000, 'a') + "\n" + std::string(9001, 'a') + "\n" + std::string(4097, 'b'),
       2, std::string(9000, 'a') + "\n\n" + std::string(4097, 'b') + "\n",
       "sanitizer: line 2: the line is longer than 9000 bytes\n"},
  };
  for (const LimitCase& c : cases) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fwrite(c.input.data(), 1, c.input.size(), in);
    std::rewind(in);
    ToolStreams streams{in, out, err, false};
    streams.max_line_bytes = c.max_line_bytes;
    FakeBackend backend;
    EXPECT_EQ(RunSanitizerTool({"sanitize"}, streams, backend, SANITIZER_SAMPLE_ASSETS),
              c.exit_status)
        << c.input;
    EXPECT_EQ(ReadAll(out), c.out) << c.input;
    EXPECT_EQ(ReadAll(err), c.err) << c.input;
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
  }
}

TEST(SanitizerToolTest, JsonShapes) {
  RunCases({
      {{"sanitize", "--json", "bad", "good", "\"quoted\"\t"},
       "",
       0,
       "{\"text\":\"***\",\"modified\":true}\n{\"text\":\"good\",\"modified\":false}\n"
       "{\"text\":\"\\\"quoted\\\"\\t\",\"modified\":false}\n",
       ""},
      {{"sanitize", "--json"},
       "caf\xC3\xA9 bad\n",
       0,
       "{\"text\":\"caf\xC3\xA9 ***\",\"modified\":true}\n",
       ""},
      {{"contains", "--json"}, "bad\ngood\n", 0, "{\"contains\":true}\n{\"contains\":false}\n", ""},
      {{"status", "--json", "--region", "WEST"},
       "",
       0,
       "{\"ready\":true,\"region\":\"WEST\",\"locale\":\"en_US\","
       "\"filteredWordCountsByLevel\":{\"0\":0,\"1\":1,\"2\":0,\"3\":0},"
       "\"whitelistedWordCountsByLevel\":{\"0\":0,\"1\":0,\"2\":0,\"3\":0},"
       "\"allowedCharsCount\":0,\"breakingCharsCount\":4,\"projectedCharsCount\":5}\n",
       ""},
      {{"status", "--locale", ""},
       "",
       0,
       "{\n  \"ready\": false,\n  \"region\": \"\",\n  \"locale\": \"\",\n"
       "  \"filteredWordCountsByLevel\": {\n    \"0\": 0,\n    \"1\": 1,\n    \"2\": 0,\n"
       "    \"3\": 0\n  },\n  \"whitelistedWordCountsByLevel\": {\n    \"0\": 0,\n"
       "    \"1\": 0,\n    \"2\": 0,\n    \"3\": 0\n  },\n  \"allowedCharsCount\": 0,\n"
       "  \"breakingCharsCount\": 4,\n  \"projectedCharsCount\": 5\n}\n",
       ""},
  });
}

TEST(SanitizerToolTest, UsageErrors) {
  const std::string try_help = "Try 'sanitizer --help' for more information.\n";
  RunCases({
      {{}, "", 2, "", "sanitizer: no command given (sanitize, contains or status)\n" + try_help},
      {{"sanitize", "--frobnicate"},
       "",
       2,
       "",
       "sanitizer: unknown option --frobnicate\n" + try_help},
      {{"sanitize", "--level", "x"},
       "",
       2,
       "",
       "sanitizer: invalid level \"x\" (a decimal integer such as 2 or -1)\n" + try_help},
      {{"sanitize", "--level", " 3", "bad"},
       "",
       2,
       "",
       "sanitizer: invalid level \" 3\" (a decimal integer such as 2 or -1)\n" + try_help},
      {{"status", "text"}, "", 2, "", "sanitizer: status takes no TEXT\n" + try_help},
      {{"sanitize", "--assets", "/nonexistent/assets"},
       "",
       2,
       "",
       "sanitizer: asset folder /nonexistent/assets does not exist\n"},
      {{"sanitize", "--assets", "/dev/null"},
       "",
       2,
       "",
       "sanitizer: asset folder /dev/null is not a folder\n"},
      {{"contains", "--config", "/nonexistent/config.json", "bad"},
       "",
       2,
       "",
       "sanitizer: --config: cannot read /nonexistent/config.json: No such file or directory\n"},
      {{"sanitize", "--locale", "", "bad"},
       "",
       2,
       "",
       "sanitizer: Sanitizer is not ready or available (the locale is empty)\n"},
  });
}

TEST(SanitizerToolTest, HelpExplainsEveryOption) {
  FakeBackend backend;
  const RunResult result = RunTool(backend, {"--help"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  for (const char* word :
       {"sanitize", "contains", "status", "--assets", "--region", "--locale", "--config",
        "--whitelist", "--level", "--aggressive", "--remove-disallowed", "--embedded", "--json",
        "Invalid UTF-8", "EXIT STATUS", "WhitelistEnabled", "Level0Filter", "NUL"}) {
    EXPECT_NE(result.out.find(word), std::string::npos) << word;
  }
  EXPECT_NE(result.out.find(std::to_string(kMaxLineBytes)), std::string::npos);
  EXPECT_EQ(backend.configure_calls_, 0);
}

TEST(SanitizerToolTest, OptionsReachTheBackend) {
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / "sanitizer_tool_test_config.json";
  std::ofstream(config) << R"({"Level2Filter": "crab", "Level0Unfilter": "x",
                               "Level3Whitelist": "scrabble", "WhitelistEnabled": false})";
  FakeBackend backend;
  const RunResult result =
      RunTool(backend, {"contains", "--assets", "/tmp", "--region", "WEST", "--locale", "de_DE",
                        "--config", config.string(), "--level", "-1", "--aggressive",
                        "--remove-disallowed", "--embedded", "text"});
  std::filesystem::remove(config);
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_EQ(backend.configure_calls_, 1);
  EXPECT_EQ(backend.settings_.assets, std::filesystem::path("/tmp"));
  EXPECT_EQ(backend.settings_.region, "WEST");
  EXPECT_EQ(backend.settings_.locale, "de_DE");
  EXPECT_FALSE(backend.settings_.whitelistEnabled);
  EXPECT_EQ(backend.settings_.adhocIncludes, (std::map<uint32_t, std::string>{{2, "crab"}}));
  EXPECT_EQ(backend.settings_.adhocExcludes, (std::map<uint32_t, std::string>{{0, "x"}}));
  EXPECT_EQ(backend.settings_.adhocWhitelist, (std::map<uint32_t, std::string>{{3, "scrabble"}}));
  ASSERT_EQ(backend.contains_requests_.size(), 1u);
  const ContainsSanitizedRequest& request = backend.contains_requests_[0];
  EXPECT_EQ(request.text, "text");
  EXPECT_EQ(request.level, 4294967295u);
  EXPECT_EQ(request.includeEmbedded, true);
  EXPECT_EQ(request.removeDisallowedChars, true);
  EXPECT_EQ(request.aggressiveScan, true);
}

TEST(SanitizerToolTest, WhitelistOptionOverridesTheConfiguration) {
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / "sanitizer_tool_test_whitelist.json";
  std::ofstream(config) << R"({"WhitelistEnabled": "no"})";
  FakeBackend backend;
  EXPECT_EQ(RunTool(backend, {"status", "--config", config.string()}).exit_status, 0);
  EXPECT_FALSE(backend.settings_.whitelistEnabled);
  EXPECT_EQ(RunTool(backend, {"status", "--config", config.string(), "--whitelist"}).exit_status,
            0);
  EXPECT_TRUE(backend.settings_.whitelistEnabled);
  std::filesystem::remove(config);
}

TEST(SanitizerToolTest, DefaultsReachTheBackend) {
  FakeBackend backend;
  const RunResult result = RunTool(backend, {"sanitize", "x"}, "", false, "/tmp");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(backend.settings_.assets, std::filesystem::path("/tmp"));
  EXPECT_EQ(backend.settings_.region, "");
  EXPECT_EQ(backend.settings_.locale, "en_US");
  ASSERT_EQ(backend.sanitize_requests_.size(), 1u);
  EXPECT_EQ(backend.sanitize_requests_[0].level, 1u);
  EXPECT_EQ(backend.sanitize_requests_[0].aggressiveScan, false);
  EXPECT_EQ(backend.sanitize_requests_[0].removeDisallowedChars, false);
}

TEST(SanitizerToolTest, ProgressOnATerminalForLongBatchesOnly) {
  std::string input;
  for (int i = 0; i < 200; ++i) input += "line\n";
  {
    FakeBackend backend;
    backend.slow_first_ = true;
    const RunResult result = RunTool(backend, {"contains"}, input, /*terminal=*/true);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("\rsanitizer: 64 texts"), std::string::npos) << result.err;
    // The line is erased at the end.
    EXPECT_EQ(result.err.substr(result.err.size() - 4), "\r\x1b[K");
  }
  {
    FakeBackend backend;
    backend.slow_first_ = true;
    EXPECT_EQ(RunTool(backend, {"contains"}, input, /*terminal=*/false).err, "");
  }
  {
    FakeBackend backend;  // a short batch shows nothing
    EXPECT_EQ(RunTool(backend, {"contains"}, input, /*terminal=*/true).err, "");
  }
}

// The real engine on the bundled sample assets.
TEST(SanitizerToolSampleAssetsTest, Examples) {
  struct ExampleCase {
    std::vector<std::string> args;
    std::string out;
    int exit_status;
  };
  const ExampleCase cases[] = {
      // Spaced-out letters are joined into one key over runs of up to five words.
      {{"sanitize", "you f u c k i n g idiot"}, "you ******* i n g idiot\n", 0},
      {{"sanitize", "--level", "3", "you f u c k i n g idiot"}, "you ******* i n g *****\n", 0},
      // Look-alikes: symbols, digits, fullwidth and Cyrillic letters, upper case.
      {{"sanitize", "@$$hole", "sh1t", "\xEF\xBC\xA6\xEF\xBD\x95\xEF\xBD\x83\xEF\xBD\x8B",
        "WHAT THE FUCK", "\xD1\x81ock"},
       "*******\n****\n****\nWHAT THE ****\n****\n",
       0},
      // Levels are cumulative; -1 applies every level.
      {{"sanitize", "--level", "0", "damn, what a bitch"}, "damn, what a bitch\n", 0},
      {{"sanitize", "--level", "1", "damn, what a bitch"}, "damn, what a *****\n", 0},
      {{"sanitize", "--level", "2", "damn, what a bitch"}, "****, what a *****\n", 0},
      {{"sanitize", "--level", "-1", "stupid damn bitch"}, "****** **** *****\n", 0},
      {{"sanitize", "--level", "4294967298", "stupid damn bitch"}, "stupid **** *****\n", 0},
      // The longest entry wins in the aggressive scan: "asses" inside "assess".
      // Innocent words stay: the normal scan looks at whole words; the aggressive scan looks
      // inside them unless whitelisted words protect them.
      {{"sanitize", "--level", "2", "the class will assess Scunthorpe"},
       "the class will assess Scunthorpe\n",
       0},
      {{"sanitize", "--level", "2", "--aggressive", "the class will assess Scunthorpe"},
       "the cl*** will *****s S****horpe\n",
       0},
      {{"sanitize", "--level", "2", "--aggressive", "--whitelist",
        "the class will assess Scunthorpe"},
       "the class will assess Scunthorpe\n",
       0},
      // Embedded matching finds a listed word inside another one.
      {{"contains", "--level", "2", "badass"}, "false\n", 1},
      {{"contains", "--level", "2", "--embedded", "badass"}, "true\n", 0},
      // A pictograph is not an allowed character of English: it becomes a blank.
      {{"sanitize", "--remove-disallowed", "hi \xF0\x9F\x98\x80 there"}, "hi   there\n", 0},
      // Region and locale pick the lists: British users are exempt from "bloody"; the French
      // lists apply in Canada, where English speakers are exempt from "con".
      {{"sanitize", "--level", "2", "bloody hell"}, "****** ****\n", 0},
      {{"sanitize", "--level", "2", "--locale", "en_GB", "bloody hell"}, "bloody ****\n", 0},
      {{"sanitize", "--locale", "fr_CA", "merde, con"}, "*****, ***\n", 0},
      {{"sanitize", "--locale", "en_CA", "merde, con"}, "*****, con\n", 0},
      {{"sanitize", "--locale", "de_DE", "fuck, bitch"}, "****, bitch\n", 0},
      // A region cannot name a file outside the asset folder.
      {{"sanitize", "--region", "../../etc", "bitch"}, "*****\n", 0},
  };
  for (const ExampleCase& c : cases) {
    const auto backend = MakeLocalSanitizerBackend();
    const RunResult result = RunTool(*backend, c.args);
    EXPECT_EQ(result.out, c.out) << "args: " << Join(c.args);
    EXPECT_EQ(result.exit_status, c.exit_status) << "args: " << Join(c.args) << result.err;
  }
}

TEST(SanitizerToolSampleAssetsTest, ConfigurationAddsWordsAndWhitelists) {
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / "sanitizer_tool_test_adhoc.json";
  std::ofstream(config) << R"({"Level1Filter": "crab, lobster", "Level1Unfilter": "bitch",
                               "Level0Whitelist": "scrabble", "WhitelistEnabled": "true"})";
  struct ExampleCase {
    std::vector<std::string> args;
    std::string out;
  };
  const ExampleCase cases[] = {
      {{"sanitize", "--config", config.string(), "crab and lobster, bitch"},
       "**** and *******, bitch\n"},
      {{"sanitize", "--config", config.string(), "--aggressive", "scrabble crabs"},
       "scrabble ****s\n"},
      {{"sanitize", "--config", config.string(), "--level", "0", "crab"}, "crab\n"},
  };
  for (const ExampleCase& c : cases) {
    const auto backend = MakeLocalSanitizerBackend();
    const RunResult result = RunTool(*backend, c.args);
    EXPECT_EQ(result.out, c.out) << "args: " << Join(c.args) << result.err;
    EXPECT_EQ(result.exit_status, 0) << "args: " << Join(c.args) << result.err;
  }
  const auto backend = MakeLocalSanitizerBackend();
  const RunResult status = RunTool(*backend, {"status", "--json", "--config", config.string()});
  std::filesystem::remove(config);
  // Whitelisting is enabled by the configuration, so the whitelists count; level 0 gains one.
  EXPECT_NE(
      status.out.find("\"whitelistedWordCountsByLevel\":{\"0\":16,\"1\":28,\"2\":78,\"3\":11}"),
      std::string::npos)
      << status.out;
}

TEST(SanitizerToolSampleAssetsTest, Status) {
  const auto backend = MakeLocalSanitizerBackend();
  const RunResult result = RunTool(*backend, {"status", "--json"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  // Counted by hand from the sample files (level 0 holds 0.filter.csv and
  // 0.filter.language.en.csv; whitelisting is off, so no whitelisted words).
  EXPECT_NE(result.out.find("\"ready\":true"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"filteredWordCountsByLevel\":{\"0\":43,\"1\":67,\"2\":31,\"3\":21}"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\"whitelistedWordCountsByLevel\":{\"0\":0,\"1\":0,\"2\":0,\"3\":0}"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\"allowedCharsCount\":71"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"breakingCharsCount\":18"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"projectedCharsCount\":1202"), std::string::npos) << result.out;
}

// The built executable: its own default asset folder, standard input and exit status.
TEST(SanitizerToolBinaryTest, BatchThroughTheExecutable) {
  const std::string command =
      std::string("printf 'a very bad day\\nwhat the fuck\\n\\377\\n' | '") +
      SANITIZER_TOOL_BINARY + "' contains 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  EXPECT_EQ(out, "false\ntrue\n\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

// Output that cannot be written is an error, also when it does not fit the stream's buffer
// (the help text) and when nothing is left to flush at the end.
TEST(SanitizerToolBinaryTest, OutputThatCannotBeWrittenIsAnError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (const char* args : {"--help", "status", "sanitize bad", "contains bad"}) {
    // Standard error goes to the pipe, standard output to the full device.
    const std::string command =
        std::string("'") + SANITIZER_TOOL_BINARY + "' " + args + " 2>&1 >/dev/full </dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string err;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      err.append(buffer, n);
    }
    const int status = pclose(pipe);
    EXPECT_EQ(err, "sanitizer: cannot write the output\n") << args;
    ASSERT_TRUE(WIFEXITED(status)) << args;
    EXPECT_EQ(WEXITSTATUS(status), 2) << args;
  }
}

}  // namespace
}  // namespace sanitizer::tool
