// Tests of FormatMessage: a table of templates, arguments and outputs; a cross-check of printf
// conversion specifications against snprintf itself; and the guards that keep a hostile template
// from writing, reading or printing anything unsafe.
#include "sdk/text/format_message.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace sdk::text {
namespace {

std::string Format(std::string_view format, const std::vector<MessageArg>& args) {
  char buffer[kMessageBufferSize];
  const size_t length = FormatMessage(buffer, sizeof buffer, format, args);
  EXPECT_EQ(length, std::strlen(buffer)) << "template: " << format;
  return std::string(buffer, length);
}

struct Case {
  std::string_view format;
  std::vector<MessageArg> args;
  std::string expected;
};

TEST(FormatMessageTest, Table) {
  const Case cases[] = {
      // Bare placeholders pick an argument by position and print it the natural way.
      {"%1 and %2", {"a", "b"}, "a and b"},
      {"%2 %1", {"a", "b"}, "b a"},
      {"%1.%2.%3", {18u, 0u, 0u}, "18.0.0"},
      {"%1", {int64_t{-5}}, "-5"},
      {"%1", {1.5}, "1.5"},
      {"%1", {'x'}, "x"},
      {"%1", {-7}, "-7"},
      {"%1", {4294967295u}, "4294967295"},
      {"%1", {uint64_t{18446744073709551615ull}}, "18446744073709551615"},
      {"%1", {int64_t{INT64_MIN}}, "-9223372036854775808"},
      {"%1", {std::string_view("view")}, "view"},
      {"%1", {static_cast<const char*>(nullptr)}, "(null)"},
      {"%1%1%1", {"ab"}, "ababab"},
      {"[%1]", {""}, "[]"},
      {"%1x", {5}, "5x"},  // a bare placeholder ends after its number
      {"Unknown argument '%1' for '%2'.", {"q", "GetX"}, "Unknown argument 'q' for 'GetX'."},
      {"YAML parser error: %1. At line: %2 col: %3",
       {"did not find expected key", 3u, 7u},
       "YAML parser error: did not find expected key. At line: 3 col: 7"},
      // Numbered conversion specifications.
      {"%1$04d", {7}, "0007"},
      {"%1$s", {42}, "42"},  // 's' is not an integer conversion: printed as %d
      {"%1$x", {255}, "ff"},
      {"%1$#X", {255u}, "0XFF"},
      {"%1$-5d|", {3}, "3    |"},
      {"%1$+d", {3}, "+3"},
      {"%1$.3f", {3.14159}, "3.142"},
      {"%1$e", {1500.0}, "1.500000e+03"},
      {"%1$d", {2.5}, "2.5"},  // 'd' is not a double conversion: printed as %g
      {"%1$c", {65}, "A"},
      {"%1$d", {'A'}, "65"},
      {"%1$5s|", {"ab"}, "   ab|"},
      {"%1$-5s|", {"ab"}, "ab   |"},
      {"%1$.1s", {"ab"}, "a"},
      {"%1$d", {"text"}, "text"},  // a text only takes 's'
      {"%2$s=%1$d", {5, "n"}, "n=5"},
      // Full 64-bit conversion specifications get "ll", so large values print whole.
      {"%1$d", {int64_t{-9000000000}}, "-9000000000"},
      {"%1$x", {uint64_t{0x123456789abcdefull}}, "123456789abcdef"},
      {"%1$u", {uint64_t{10000000000ull}}, "10000000000"},
      {"%1$c", {int64_t{66}}, "B"},
      // Length modifiers in the template are read and replaced by the argument's own, except
      // "h" and "hh" on the types passed as int, which print as printf prints them.
      {"%1$ld", {7}, "7"},
      {"%1$lld", {7}, "7"},
      {"%1$hhd", {int64_t{300}}, "300"},
      {"%hd", {70000}, "4464"},
      {"%1$hhx", {0x1ff}, "ff"},
      {"%hhu", {300u}, "44"},
      {"%1$hd", {'A'}, "65"},
      {"%hc", {65}, "A"},
      {"%hs", {"t"}, "t"},
      {"%1$hf", {0.5}, "0.500000"},
      {"%1$Lf", {1.0}, "1.000000"},
      {"%1$ls", {"wide?"}, "wide?"},
      {"%zu items", {size_t{3}}, "3 items"},
      // Sequential conversion specifications.
      {"Error: %s at offset %u.", {"bad", 12u}, "Error: bad at offset 12."},
      {"%d-%d-%d", {1, 2, 3}, "1-2-3"},
      {"%s %1", {"a"}, "a a"},
      {"%5d|", {42}, "   42|"},
      {"%05.1f", {2.25}, "002.2"},
      // "*" widths and precisions, sequential and numbered.
      {"%*d|", {5, 42}, "   42|"},
      {"%-*d|", {5, 42}, "42   |"},
      {"%*d|", {-5, 42}, "42   |"},  // negative width: left aligned
      {"%.*f", {2, 3.14159}, "3.14"},
      {"%.*f", {-1, 1.5}, "1.500000"},  // negative precision: as if omitted
      {"%*.*s|", {6, 2, "abcdef"}, "    ab|"},
      {"%3$*1$.*2$f|", {8, 3, 2.5}, "   2.500|"},
      {"%1$*2$d|", {7, 4}, "   7|"},
      // "%%", and "%3" with two arguments, which reads as a width of 3 and a conversion.
      {"100%%", {}, "100%"},
      {"%%%1%%", {9}, "%9%"},
      {"%3d|", {1, 2}, "  1|"},
      {"%3 %2", {"a", "b"}, "  ab"},  // width 3, conversion ' ' (not allowed: 's')
      // The conversion "n" prints nothing but still takes its argument.
      {"a%nb%s", {1, "c"}, "abc"},
      {"a%1$nb", {1}, "ab"},
      // Formatting stops, keeping what was written, on a missing argument.
      {"x%1y", {}, "x"},
      {"a%sb%sc", {"1"}, "a1b"},
      {"a%2$sb", {"1"}, "a 1sb"},  // 2 is no index here: width 2, conversion '$'
      {"a%2$sb", {}, "a"},
      {"a%*d", {5}, "a"},
      {"a%*d", {"five", 5}, "a"},  // "*" from a text argument
      {"a%.*f", {1.5, 2.0}, "a"},  // "*" from a double argument
      {"a%*9$d", {1, 2}, "a"},     // "*" from an argument that does not exist
      {"end%", {1}, "end"},        // the template ends inside a conversion specification
      {"end%1$", {1}, "end"},
      {"end%-08.3", {1}, "end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Format(c.format, c.args), c.expected) << "template: " << c.format;
  }
}

// Every numeric conversion specification that printf defines prints exactly as snprintf prints it.
TEST(FormatMessageTest, MatchesSnprintf) {
  const char* int_formats[] = {"d",   "5d", "-5d", "+d",     " d",     "05d", ".3d",  "x", "#x",
                               "#o",  "X",  "08X", "-#10x|", "u",      "+5i", "-+6d", "c", "3c",
                               "-3c", "hd", "hhd", "hx",     "-8hhX|", "hu",  "hho"};
  const int ints[] = {0, 1, -1, 42, -42, 65, INT_MAX, INT_MIN};
  for (const char* s : int_formats) {
    for (int v : ints) {
      const std::string printf_format = std::string("%") + s;
      char expected[128];
      const bool unsigned_conversion = std::strpbrk(s, "xXou") != nullptr;
      if (std::strchr(s, 'c') && (v < 0 || v > 126 || v < 32)) continue;  // unprintable bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      if (unsigned_conversion) {
        std::snprintf(expected, sizeof expected, printf_format.c_str(), static_cast<unsigned>(v));
      } else {
        std::snprintf(expected, sizeof expected, printf_format.c_str(), v);
      }
#pragma GCC diagnostic pop
      EXPECT_EQ(FormatMessage(printf_format, v), expected)
          << "format: " << printf_format << " value: " << v;
      EXPECT_EQ(FormatMessage("%1$" + std::string(s), v), expected)
          << "format: " << printf_format << " value: " << v;
    }
  }
  const char* double_formats[] = {"g",     "f",       "e",  "E",  "a",      "A",   "G",  "F",
                                  "10.3f", "-10.2e|", "+g", "#g", "010.4f", ".0f", " f", ".15g"};
  const double doubles[] = {0.0, -0.0, 1.5, -2.75, 1e300, 1e-300, 123456789.125, 0.1};
  for (const char* s : double_formats) {
    for (double v : doubles) {
      const std::string printf_format = std::string("%") + s;
      char expected[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      std::snprintf(expected, sizeof expected, printf_format.c_str(), v);
#pragma GCC diagnostic pop
      EXPECT_EQ(FormatMessage(printf_format, v), expected)
          << "format: " << printf_format << " value: " << v;
    }
  }
  const int64_t longs[] = {0, -1, INT64_MAX, INT64_MIN, 1ll << 40};
  for (int64_t v : longs) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%lld|%llx|%020lld", static_cast<long long>(v),
                  static_cast<unsigned long long>(v), static_cast<long long>(v));
    EXPECT_EQ(FormatMessage("%1$d|%1$x|%1$020d", v), expected) << "value: " << v;
  }
}

TEST(FormatMessageTest, OutputIsCutAndTerminated) {
  const std::vector<MessageArg> args = {"abcdefghij", 123456};
  struct CutCase {
    size_t size;
    std::string expected;
  };
  const CutCase cases[] = {
      {1, ""},
      {2, "<"},
      {5, "<abc"},
      {12, "<abcdefghij"},
      {13, "<abcdefghij>"},
      {15, "<abcdefghij>12"},
      {100, "<abcdefghij>123456"},
  };
  for (const CutCase& c : cases) {
    // Guard bytes after the buffer must stay untouched.
    std::vector<char> storage(c.size + 8, '\x7f');
    const size_t length = FormatMessage(storage.data(), c.size, "<%1>%2", args);
    EXPECT_EQ(length, c.expected.size()) << "size: " << c.size;
    EXPECT_EQ(std::string(storage.data()), c.expected) << "size: " << c.size;
    for (size_t i = c.size; i < storage.size(); ++i) {
      ASSERT_EQ(storage[i], '\x7f') << "wrote past the buffer at " << i << ", size " << c.size;
    }
  }
  char untouched = 'q';
  EXPECT_EQ(FormatMessage(&untouched, 0, "abc", {}), 0u);
  EXPECT_EQ(untouched, 'q');
  EXPECT_EQ(FormatMessage(nullptr, 10, "abc", {}), 0u);
}

TEST(FormatMessageTest, TemplateLongerThanBufferIsCut) {
  const std::string long_template(10000, 'z');
  const std::string out = FormatMessage(long_template);
  EXPECT_EQ(out, std::string(kMessageBufferSize - 1, 'z'));
}

TEST(FormatMessageTest, DirectiveLimitIsSixtyCharacters) {
  // "%" + flags + "d": 59 characters are accepted, 60 stop the formatting.
  const std::string accepted = "%" + std::string(57, '-') + "d";
  const std::string refused = "%" + std::string(58, '-') + "d";
  ASSERT_EQ(accepted.size(), 59u);
  EXPECT_EQ(FormatMessage("<" + accepted + ">", 5), "<5>");
  EXPECT_EQ(FormatMessage("<" + refused + ">", 5), "<");
  // Long digit runs count too.
  EXPECT_EQ(FormatMessage("<%" + std::string(70, '1') + "d>", 5), "<");
}

// A text argument is a view: its bytes need not be NUL-terminated, and nothing beyond its length
// may be read. The heap block below ends exactly where the view ends, so ASan catches an
// over-read.
TEST(FormatMessageTest, TextViewIsNeverReadPastItsEnd) {
  const std::unique_ptr<char[]> block(new char[3]{'a', 'b', 'c'});
  const std::string_view view(block.get(), 3);
  EXPECT_EQ(FormatMessage("%1", view), "abc");
  EXPECT_EQ(FormatMessage("%1$10s|", view), "       abc|");
  EXPECT_EQ(FormatMessage("%1$.100s|", view), "abc|");
  EXPECT_EQ(FormatMessage("%.*s|", 1000, view), "abc|");
  EXPECT_EQ(FormatMessage("%s|", std::string_view()), "|");
}

TEST(FormatMessageTest, HugeWidthsAndPrecisionsAreCapped) {
  char buffer[32];
  const std::vector<MessageArg> args = {42, 1.0, "s"};
  EXPECT_EQ(FormatMessage(buffer, sizeof buffer, "%1$2147483647d", args), 31u);
  EXPECT_EQ(std::string(buffer), std::string(31, ' '));
  EXPECT_EQ(FormatMessage(buffer, sizeof buffer, "%2$.999999999f", args), 31u);
  EXPECT_EQ(std::string(buffer), "1." + std::string(29, '0'));
  EXPECT_EQ(FormatMessage(buffer, sizeof buffer, "%-*d|", std::vector<MessageArg>{INT_MIN, 1}),
            31u);
  EXPECT_EQ(FormatMessage(buffer, sizeof buffer, "%*s", std::vector<MessageArg>{UINT64_MAX, "x"}),
            31u);
}

// Random templates built from the characters that make up conversion specifications, with random
// arguments and buffer sizes: the output always ends inside the buffer with a NUL, the guard
// bytes after it stay untouched, and (under ASan and UBSan) nothing reads or converts wrongly.
TEST(FormatMessageTest, HostileTemplatesStayInsideTheBuffer) {
  std::mt19937 random(20240501);
  constexpr std::string_view kAlphabet = "%%%%123456789$$**..-+ #0hlLjqtzdiouxXcsfeEgGaAnp";
  const std::string long_text(5000, 'T');
  for (int round = 0; round < 20000; ++round) {
    std::string format;
    for (size_t n = random() % 40; n > 0; --n) format += kAlphabet[random() % kAlphabet.size()];
    std::vector<MessageArg> args;
    for (size_t n = random() % 5; n > 0; --n) {
      const uint64_t bits = (uint64_t{random()} << 32) | random();
      switch (random() % 7) {
        case 0:
          args.emplace_back(static_cast<int>(bits) % 64 - 16);  // small: also a "*" value
          break;
        case 1:
          args.emplace_back(static_cast<unsigned>(bits));
          break;
        case 2:
          args.emplace_back(static_cast<int64_t>(bits));
          break;
        case 3:
          args.emplace_back(bits);
          break;
        case 4:
          args.emplace_back(std::bit_cast<double>(bits));  // NaNs and infinities included
          break;
        case 5:
          args.emplace_back(static_cast<char>(bits));
          break;
        default:
          args.emplace_back(std::string_view(long_text.data(), bits % long_text.size()));
          break;
      }
    }
    const size_t size = random() % 4 == 0 ? random() % 24 : kMessageBufferSize;
    std::vector<char> storage(size + 8, '\x7f');
    const size_t length = FormatMessage(storage.data(), size, format, args);
    if (size == 0) {
      ASSERT_EQ(length, 0u) << "template: " << format;
    } else {
      ASSERT_LT(length, size) << "template: " << format;
      ASSERT_EQ(storage[length], '\0') << "template: " << format;
    }
    for (size_t i = size; i < storage.size(); ++i) {
      ASSERT_EQ(storage[i], '\x7f') << "wrote past the buffer; template: " << format;
    }
  }
}

TEST(FormatMessageTest, EmbeddedNulInTemplateIsCopiedNotParsed) {
  const std::string_view format("a%\0d", 4);
  EXPECT_EQ(FormatMessage(format, 1), "a1d");  // conversion '\0' falls back to the natural one
  char buffer[16];
  const std::string_view plain("a\0b", 3);
  EXPECT_EQ(FormatMessage(buffer, sizeof buffer, plain, {}), 3u);
  EXPECT_EQ(std::string(buffer, 3), plain);
}

TEST(FormatMessageTest, ConvenienceFormTakesAnyArgumentCount) {
  EXPECT_EQ(FormatMessage("plain"), "plain");
  EXPECT_EQ(FormatMessage("%1", std::string("owned")), "owned");
  EXPECT_EQ(FormatMessage("%1%2%3%4", 1, 'b', "c", 4.5), "1bc4.5");
  const short s = -3;
  const unsigned char u = 200;
  const long l = -4000000000;
  const float f = 0.25f;
  EXPECT_EQ(FormatMessage("%1 %2 %3 %4 %5", s, u, l, f, true), "-3 200 -4000000000 0.25 1");
}

}  // namespace
}  // namespace sdk::text
