#include "sdk/text/code_conversion.h"

#include <gtest/gtest.h>

#include <string>

namespace sdk::text {
namespace {

struct DecodeCase {
  std::string bytes;
  DecodeStatus status;
  char32_t code_point;  // when kOk
  size_t consumed;      // when kOk
};

TEST(DecodeUtf8Test, StatusTable) {
  const DecodeCase cases[] = {
      {"A", DecodeStatus::kOk, U'A', 1},
      {"\xC3\xA9", DecodeStatus::kOk, U'\u00E9', 2},
      {"\xE2\x82\xAC", DecodeStatus::kOk, U'\u20AC', 3},
      {"\xF0\x9F\x98\x80", DecodeStatus::kOk, U'\U0001F600', 4},
      {"\xF4\x8F\xBF\xBF", DecodeStatus::kOk, U'\U0010FFFF', 4},
      {"\xEF\xBF\xBF", DecodeStatus::kOk, U'\uFFFF', 3},
      {"", DecodeStatus::kTruncated, 0, 0},
      {"\xE2\x82", DecodeStatus::kTruncated, 0, 0},
      {"\xF0\x9F\x98", DecodeStatus::kTruncated, 0, 0},
      {"\x80", DecodeStatus::kInvalidLead, 0, 0},
      {"\xBF", DecodeStatus::kInvalidLead, 0, 0},
      {"\xF8\x88\x80\x80\x80", DecodeStatus::kInvalidLead, 0, 0},
      {"\xFF", DecodeStatus::kInvalidLead, 0, 0},
      {"\xC3\x41", DecodeStatus::kInvalidContinuation, 0, 0},
      {"\xE2\x82\xC0", DecodeStatus::kInvalidContinuation, 0, 0},
      {"\xC0\xAF", DecodeStatus::kOverlong, 0, 0},
      {"\xC1\xBF", DecodeStatus::kOverlong, 0, 0},
      {"\xE0\x80\xAF", DecodeStatus::kOverlong, 0, 0},
      {"\xF0\x80\x80\xAF", DecodeStatus::kOverlong, 0, 0},
      {"\xF0\x8F\xBF\xBF", DecodeStatus::kOverlong, 0, 0},
      {"\xED\xA0\x80", DecodeStatus::kOutOfRange, 0, 0},
      {"\xED\xBF\xBF", DecodeStatus::kOutOfRange, 0, 0},
      {"\xF4\x90\x80\x80", DecodeStatus::kOutOfRange, 0, 0},
      {"\xF7\xBF\xBF\xBF", DecodeStatus::kOutOfRange, 0, 0},
  };
  for (const auto& c : cases) {
    const char* begin = c.bytes.data();
    const char* position = begin;
    char32_t code_point = 0xDEAD;
    const DecodeStatus status = DecodeUtf8(&position, begin + c.bytes.size(), &code_point);
    EXPECT_EQ(status, c.status) << "input: " << testing::PrintToString(c.bytes);
    if (c.status == DecodeStatus::kOk) {
      EXPECT_EQ(code_point, c.code_point) << "input: " << testing::PrintToString(c.bytes);
      EXPECT_EQ(static_cast<size_t>(position - begin), c.consumed);
    } else {
      EXPECT_EQ(position, begin) << "position moved on failure";
      EXPECT_EQ(code_point, char32_t{0xDEAD}) << "code point stored on failure";
    }
  }
}

TEST(DecodeUtf8Test, NullOutputStillAdvances) {
  const std::string bytes = "\xC3\xA9x";
  const char* position = bytes.data();
  EXPECT_EQ(DecodeUtf8(&position, bytes.data() + bytes.size(), nullptr), DecodeStatus::kOk);
  EXPECT_EQ(position, bytes.data() + 2);
}

struct ConversionCase {
  std::string utf8;
  bool ok;
  std::u32string utf32;
  bool valid;  // IsValidUtf8
};

TEST(Utf8ToUtf32Test, LenientConversionTable) {
  const ConversionCase cases[] = {
      {"", true, U"", true},
      {"hello", true, U"hello", true},
      {"\xC3\xA9", true, U"\u00E9", true},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", true, U"caf\u00E9 \U0001F600", true},
      // Overlong "/" and a surrogate convert, but are not valid UTF-8.
      {"\xC0\xAF", true, U"/", false},
      {"\xED\xA0\x80", true, std::u32string(1, char32_t{0xD800}), false},
      // Obsolete five-byte form of "A" is overlong and converts by the same pattern.
      {"\xF8\x80\x80\x81\x81", true, U"A", false},
      // Cut off, stray continuation, bad continuation, above 0x10FFFF: the whole text fails.
      {"ab\xE2\x82", false, U"", false},
      {"ab\x80 cd", false, U"", false},
      {"\xC3\x41", false, U"", false},
      {"\xF4\x90\x80\x80", false, U"", false},
      {"\xFC\x80\x80\x80\x80\x80", true, std::u32string(1, char32_t{0}), false},
      // The old long forms fail by the 0x10FFFF limit when they are not overlong.
      {"\xF8\x88\x80\x80\x80", false, U"", false},
      {"a\xFF\xBF\xBF\xBF\xBF\xBF", false, U"", false},
      {"\xFC\x80\x80\x80\x80", false, U"", false},  // cut off
      // Cut at the first U+0000; the bytes after it still have to convert.
      {std::string("a\0b", 3), true, U"a", true},
      {std::string("a\0\xFF", 3), false, U"", true},
      // The text that once served as an in-band error marker is an ordinary text.
      {"PavoText-CodeConversion-Error", true, U"PavoText-CodeConversion-Error", true},
  };
  for (const auto& c : cases) {
    bool ok = !c.ok;
    const std::u32string got = Utf8ToUtf32(c.utf8, &ok);
    std::u32string expected = c.utf32;
    if (const size_t nul = expected.find(U'\0'); nul != std::u32string::npos) {
      expected.resize(nul);
    }
    EXPECT_EQ(ok, c.ok) << "input: " << testing::PrintToString(c.utf8);
    EXPECT_EQ(got, expected) << "input: " << testing::PrintToString(c.utf8);
    EXPECT_EQ(IsValidUtf8(c.utf8), c.valid) << "input: " << testing::PrintToString(c.utf8);
  }
}

TEST(Utf32ToUtf8Test, ConversionTable) {
  struct Case {
    std::u32string utf32;
    bool ok;
    std::string utf8;
  };
  const Case cases[] = {
      {U"", true, ""},
      {U"\u00E9", true, "\xC3\xA9"},
      {U"\u07FF\u0800\uFFFF\U00010000\U0010FFFF", true,
       "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {std::u32string(U"A\0B", 3), true, "A"},
      {std::u32string(U"A\0", 2) + char32_t{0x110000}, true, "A"},  // nothing after U+0000 counts
      {std::u32string(1, char32_t{0xD800}), true, "\xED\xA0\x80"},
      {std::u32string(U"a") + char32_t{0x110000}, false, ""},
      {std::u32string(1, char32_t{0xFFFFFFFF}), false, ""},
      {U"PavoText-CodeConversion-Error", true, "PavoText-CodeConversion-Error"},
  };
  for (const auto& c : cases) {
    bool ok = !c.ok;
    EXPECT_EQ(Utf32ToUtf8(c.utf32, &ok), c.utf8) << "input size " << c.utf32.size();
    EXPECT_EQ(ok, c.ok);
  }
}

TEST(IsValidUtf8Test, StopsAtNulAndAcceptsNull) {
  EXPECT_TRUE(IsValidUtf8(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("ok\0\xFF"));  // measured up to the NUL
  EXPECT_FALSE(IsValidUtf8("bad \xFF"));
}

TEST(CodeConversionTest, RoundTripOfEveryScalarValue) {
  std::u32string all;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
  }
  bool ok = false;
  const std::string utf8 = Utf32ToUtf8(all, &ok);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_EQ(Utf8ToUtf32(utf8), all);
}

}  // namespace
}  // namespace sdk::text
