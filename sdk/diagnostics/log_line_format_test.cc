// Tests of the "#" line formats, the assertion report and the category registry.
#include "sdk/diagnostics/log_line_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {
namespace {

LogRecord MakeRecord(LogLevel level, uint64_t categories, const char* message) {
  return LogRecord{2024, 5, 1, 13, 45, 7, 123, level, categories, message};
}

std::string FormatLine(std::string_view format, const LogRecord& record, size_t size = 4096) {
  std::vector<char> buffer(size + 1, '\x7f');
  const size_t length = FormatLogLine(buffer.data(), size, format, record);
  EXPECT_EQ(buffer[size], '\x7f') << "wrote past the buffer; format: " << format;
  if (size == 0) return std::string();
  EXPECT_EQ(buffer[length], '\0') << "format: " << format;
  return std::string(buffer.data(), length);
}

struct LineCase {
  std::string_view format;
  LogRecord record;
  std::string expected;
};

TEST(FormatLogLineTest, Directives) {
  const LineCase cases[] = {
      {"#D| #L| #G| #M", MakeRecord(kLogWarning, kCategoryDbg | kCategoryNet, "hello"),
       "2024-05-01T13:45:07.123|   WARN| DBG;NET| hello\n"},
      {"#D", LogRecord{7, 1, 2, 3, 4, 5, 6, kLogOkay, 0, ""}, "0007-01-02T03:04:05.006\n"},
      {"#L", MakeRecord(kLogOkay, 0, ""), "  OKAY\n"},
      {"#L", MakeRecord(kLogWarning, 0, ""), "  WARN\n"},
      {"#L", MakeRecord(kLogError, 0, ""), " ERROR\n"},
      {"#L", MakeRecord(kLogAlways, 0, ""), "ALWAYS\n"},
      {"#L", MakeRecord(static_cast<LogLevel>(9), 0, ""), "??????\n"},
      {"[#G]", MakeRecord(kLogOkay, 0, ""), "[]\n"},
      {"#G", MakeRecord(kLogOkay, ~0ull & 0xFF, ""), "DBG;GEN;XTR;PRF;MEM;DSK;NET;TST\n"},
      {"#G", MakeRecord(kLogOkay, kCategoryTst | (1ull << 40), ""), "TST;???\n"},
      {"#X", MakeRecord(kLogOkay, 0, "m"), "X\n"},
      {"##", MakeRecord(kLogOkay, 0, "m"), "#\n"},
      {"a#", MakeRecord(kLogOkay, 0, "m"), "a\n"},       // a "#" at the end ends the format
      {"#m #d", MakeRecord(kLogOkay, 0, "m"), "m d\n"},  // directives are upper case
      {"", MakeRecord(kLogOkay, 0, "m"), "\n"},
      {"#M", MakeRecord(kLogOkay, 0, "ends\n"), "ends\n"},  // no second line feed
      {"#M", MakeRecord(kLogOkay, 0, "two\n\n"), "two\n\n"},
      {"#M!", MakeRecord(kLogOkay, 0, "x\n"), "x\n!\n"},
      {"#M", MakeRecord(kLogOkay, 0, nullptr), "\n"},
      {"100%d #M", MakeRecord(kLogOkay, 0, "%s"), "100%d %s\n"},  // no printf involved
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(FormatLine(c.format, c.record), c.expected) << "format: " << c.format;
  }
}

TEST(FormatLogLineTest, ModuleThreadAndElapsedTime) {
  const LogRecord record = MakeRecord(kLogOkay, 0, "m");
  EXPECT_EQ(FormatLine("#E", record), "sdk_diagnostics_test\n");
  char thread[16];
  std::snprintf(thread, sizeof thread, "%08X", platform::CurrentThreadId());
  EXPECT_EQ(FormatLine("(#T)", record), "(" + std::string(thread) + ")\n");
  EXPECT_TRUE(std::regex_match(FormatLine("#T", record), std::regex("[0-9A-F]{8}\n")));
  const std::string elapsed = FormatLine("#H", record);
  EXPECT_TRUE(std::regex_match(elapsed, std::regex("[0-9]{6}\\.[0-9]{3}\n"))) << elapsed;
  // Later queries measure from the first one, so they never go backwards.
  const std::string later = FormatLine("#H", record);
  EXPECT_GE(later, elapsed);
}

TEST(FormatLogLineTest, LineIsCutToLeaveRoomForTheLineFeed) {
  struct CutCase {
    size_t size;
    const char* message;
    std::string expected;
  };
  const CutCase cases[] = {
      {1, "hello", ""},
      {2, "hello", "\n"},
      {3, "hello", "h\n"},
      {6, "hello", "hell\n"},
      {7, "hello", "hello\n"},
      {8, "hello", "hello\n"},
      {7, "hello\n", "hello\n"},
      {6, "hello\n", "hell\n"},  // cut before its own line feed: one is
                                 // added
      {4, "ab\n", "ab\n"},
  };
  for (const CutCase& c : cases) {
    EXPECT_EQ(FormatLine("#M", MakeRecord(kLogOkay, 0, c.message), c.size), c.expected)
        << "size: " << c.size << " message: " << c.message;
  }
  EXPECT_EQ(FormatLine("#M", MakeRecord(kLogOkay, 0, "x"), 0), "");
  // Directives are cut as well.
  EXPECT_EQ(FormatLine("#D", MakeRecord(kLogOkay, 0, ""), 8), "2024-0\n");
  EXPECT_EQ(FormatLine("#L#G", MakeRecord(kLogError, kCategoryDbg, ""), 9), " ERRORD\n");

  const std::string long_message(5000, 'q');
  const std::string line = FormatLine("#M", MakeRecord(kLogOkay, 0, long_message.c_str()));
  EXPECT_EQ(line.size(), 4095u);
  EXPECT_EQ(line, std::string(4094, 'q') + "\n");
}

struct AssertionCase {
  const char* expression;
  const char* file;
  int32_t line;
  const char* function;
  const char* description;
  std::string expected;
};

TEST(AssertionTextTest, Table) {
  const AssertionCase cases[] = {
      {"x > 0", "main.cc", 12, "Run", "why",
       "Assertion failed!\n\nFile: main.cc\nLine: 12\n\nFunction: Run\n\nExpression: x > 0"
       "\n\nDescription: why"},
      {nullptr, "", 0, "Run", nullptr, "Assertion failed!\n\nFunction: Run\n\n"},
      {nullptr, nullptr, 0, nullptr, nullptr, "Assertion failed!\n\n"},
      {nullptr, nullptr, -3, nullptr, nullptr, "Assertion failed!\n\nLine: -3\n\n"},
      {"e", nullptr, 0, nullptr, nullptr, "Assertion failed!\n\nExpression: e"},
      {nullptr, nullptr, 0, nullptr, "d", "Assertion failed!\n\n\n\nDescription: d"},
      {"", nullptr, 0, "", "", "Assertion failed!\n\nFunction: \n\nExpression: \n\nDescription: "},
      {"ALE-EECF0606", nullptr, 0, nullptr,
       "sanitizer which supports plugin API 18.0.0 is not compatible with core's plugin API 17.0.0",
       "Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: sanitizer which supports "
       "plugin API 18.0.0 is not compatible with core's plugin API 17.0.0"},
  };
  for (const AssertionCase& c : cases) {
    EXPECT_EQ(AssertionText(c.expression, c.file, c.line, c.function, c.description), c.expected)
        << "expected: " << c.expected;
  }
}

class CategoryTest : public testing::Test {
 protected:
  void SetUp() override { detail::ResetCategoriesForTesting(); }
  void TearDown() override { detail::ResetCategoriesForTesting(); }
};

TEST_F(CategoryTest, NamesCompareByTheirFirstThreeCharacters) {
  EXPECT_EQ(RegisterCategory("NETWORK"), kCategoryNet);
  EXPECT_EQ(RegisterCategory("DBG"), kCategoryDbg);
  EXPECT_EQ(RegisterCategory("TSTX"), kCategoryTst);
  EXPECT_EQ(RegisterCategory("FOO"), 1ull << 8);
  EXPECT_EQ(RegisterCategory("FOOBAR"), 1ull << 8);
  EXPECT_EQ(RegisterCategory("BAR"), 1ull << 9);
  EXPECT_EQ(RegisterCategory("net"), 1ull << 10);  // names are case-sensitive
  EXPECT_EQ(RegisterCategory("FO"), 1ull << 11);   // shorter names compare as they are
  EXPECT_EQ(RegisterCategory("FO"), 1ull << 11);
  EXPECT_EQ(RegisterCategory(""), 1ull << 12);
  EXPECT_EQ(RegisterCategory(nullptr), 0u);
  EXPECT_STREQ(CategoryName(8), "FOO");
  EXPECT_STREQ(CategoryName(9), "BAR");
  EXPECT_STREQ(CategoryName(11), "FO");
  EXPECT_STREQ(CategoryName(6), "NET");
  EXPECT_STREQ(CategoryName(13), "???");
  EXPECT_STREQ(CategoryName(64), "???");
  EXPECT_STREQ(CategoryName(-1), "???");
  char line[64];
  const LogRecord record = MakeRecord(kLogOkay, kCategoryNet | (1ull << 8) | (1ull << 13), "");
  FormatLogLine(line, sizeof line, "#G", record);
  EXPECT_STREQ(line, "NET;FOO;???\n");
}

TEST_F(CategoryTest, AtMostSixtyFourCategories) {
  for (int bit = 8; bit < 64; ++bit) {
    const std::string name = "c" + std::to_string(bit);
    ASSERT_EQ(RegisterCategory(name.c_str()), 1ull << bit) << name;
  }
  EXPECT_EQ(RegisterCategory("full"), 0u);
  EXPECT_EQ(RegisterCategory("c63"), 1ull << 63);  // existing names are still found
}

TEST_F(CategoryTest, ConcurrentRegistrationGivesEachNameOneBit) {
  constexpr int kThreads = 4;
  const char* names[] = {"AAA", "BBB", "CCC", "DDD", "EEE", "FFF", "GGG", "HHH"};
  std::vector<std::vector<uint64_t>> bits(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 8; ++i) {
          // Each thread walks the names in its own order.
          bits[t].push_back(RegisterCategory(names[(i + t * 3) % 8]));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (int i = 0; i < 8; ++i) {
    const uint64_t bit = RegisterCategory(names[i]);
    distinct.insert(bit);
    EXPECT_STREQ(CategoryName(__builtin_ctzll(bit)), names[i]);
  }
  EXPECT_EQ(distinct.size(), 8u);
  EXPECT_EQ(*distinct.begin(), 1ull << 8);
  EXPECT_EQ(*distinct.rbegin(), 1ull << 15);
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t bit : bits[t]) EXPECT_TRUE(distinct.count(bit)) << bit;
  }
}

}  // namespace
}  // namespace sdk::diagnostics
