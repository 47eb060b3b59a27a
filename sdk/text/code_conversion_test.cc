#include "sdk/text/code_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/text/code_conversion_reference.h"

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

// What the one-pass check and conversion gives, case by case; the block tests below check it
// against the two steps on many more texts.
TEST(DecodeValidUtf8Test, ChecksAndConvertsInOnePass) {
  struct Case {
    std::string_view utf8;
    bool valid;
    std::u32string_view utf32;  // when valid
  };
  using namespace std::string_view_literals;
  const Case kCases[] = {
      {"", true, U""},
      {"plain ASCII, longer than one block of sixteen", true,
       U"plain ASCII, longer than one block of sixteen"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true, U"caf\u00E9 \u20AC \U0001F600"},
      {"cut at\0 the NUL"sv, true, U"cut at"},
      // After the NUL nothing is checked, but a byte that does not convert even leniently
      // leaves the empty text, as the lenient conversion of the whole text does.
      {"ok\0\xFF"sv, true, U""},
      {"ok\0\xC0\x80 overlong after the NUL"sv, true, U"ok"},
      {"bad \xFF", false, U""},
      {"overlong \xC0\xAF", false, U""},
      {"surrogate \xED\xA0\x80", false, U""},
      {"cut off \xE2\x82", false, U""},
      {"NUL inside a sequence \xE2\0\x82"sv, false, U""},
  };
  for (const Case& c : kCases) {
    std::vector<char32_t> out(c.utf8.size());
    size_t size = 12345;
    ASSERT_EQ(DecodeValidUtf8(c.utf8, out.data(), &size), c.valid)
        << "input: " << testing::PrintToString(std::string(c.utf8));
    if (c.valid) {
      EXPECT_EQ(std::u32string_view(out.data(), size), c.utf32)
          << "input: " << testing::PrintToString(std::string(c.utf8));
    }
  }
}

// The strict check done the plain way: the strict decoder, one sequence at a time.
bool PlainIsValidUtf8(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  for (const char *p = text.data(), *end = p + text.size(); p < end;) {
    if (DecodeUtf8(&p, end, nullptr) != DecodeStatus::kOk) return false;
  }
  return true;
}

// The block paths of the real conversions must agree with the plain ones on every input. The
// input is copied to a buffer of its exact size (a string has a NUL after its end), so that
// ASan reports a block read past the end.
void ExpectAgreesWithPlain(const std::string& utf8) {
  const std::vector<char> exact(utf8.begin(), utf8.end());
  const std::string_view text(exact.data(), exact.size());
  bool plain_ok = false;
  const std::u32string plain = reference::Utf8ToUtf32(text, &plain_ok);
  bool ok = !plain_ok;
  EXPECT_EQ(Utf8ToUtf32(text, &ok), plain) << "input: " << testing::PrintToString(utf8);
  EXPECT_EQ(ok, plain_ok) << "input: " << testing::PrintToString(utf8);
  EXPECT_EQ(IsValidUtf8(text), PlainIsValidUtf8(text)) << "input: " << testing::PrintToString(utf8);
  // The one-pass check and conversion against the two steps it stands for.
  std::vector<char32_t> decoded(text.size());
  size_t size = 0;
  const bool valid = DecodeValidUtf8(text, decoded.data(), &size);
  EXPECT_EQ(valid, IsValidUtf8(text)) << "input: " << testing::PrintToString(utf8);
  if (valid) {
    EXPECT_EQ(std::u32string_view(decoded.data(), size), Utf8ToUtf32(text))
        << "input: " << testing::PrintToString(utf8);
  }
}

void ExpectAgreesWithPlain(const std::u32string& utf32) {
  const std::vector<char32_t> exact(utf32.begin(), utf32.end());
  const std::u32string_view text(exact.data(), exact.size());
  bool plain_ok = false;
  const std::string plain = reference::Utf32ToUtf8(text, &plain_ok);
  bool ok = !plain_ok;
  EXPECT_EQ(Utf32ToUtf8(text, &ok), plain)
      << "input size " << utf32.size() << ": "
      << testing::PrintToString(std::vector<uint32_t>(utf32.begin(), utf32.end()));
  EXPECT_EQ(ok, plain_ok) << "input size " << utf32.size();
  // Writing into a buffer of four bytes per code point gives the same bytes, or fails alike.
  std::vector<char> buffer(4 * text.size() + 1);
  const char* const end = WriteUtf8(text, buffer.data());
  EXPECT_EQ(end != nullptr, plain_ok) << "input size " << utf32.size();
  if (end != nullptr) {
    EXPECT_EQ(std::string_view(buffer.data(), static_cast<size_t>(end - buffer.data())), plain)
        << "input size " << utf32.size();
  }
}

// ASCII text is taken in blocks of 8 and 16 units, so each odd unit is placed at every offset
// of texts a few blocks long: first unit of a block, last one, one straddling two blocks,
// the text's tail that no block covers.
TEST(CodeConversionTest, BlockPathsAgreeWithPlainConversionAtEveryOffset) {
  const std::string filler = "The quick brown fox jumps over the lazy dog; 0123456789 ~!";
  const std::string odd_bytes[] = {
      std::string(1, '\0'),    // ends the text
      "\xC3\xA9",              // e acute
      "\xD0\xBF\xD1\x80",      // two Cyrillic letters
      "\xE2\x82\xAC",          // euro sign
      "\xF0\x9F\x98\x80",      // emoji
      "\xC0\x80",              // overlong U+0000: ends the text
      "\xC0\xAF",              // overlong '/'
      "\xED\xA0\x80",          // surrogate
      "\xF8\x80\x80\x81\x81",  // old five-byte form of 'A'
      "\x80",                  // stray continuation byte
      "\xC3",                  // cut off, or followed by ASCII
      "\xE2\x82",              // cut off, or followed by ASCII
      "\xFF",                  // never a lead byte
      "\xF4\x90\x80\x80",      // above 0x10FFFF
      "\x7F",                  // highest ASCII
      "\x01",                  // lowest non-NUL
  };
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t offset = 0; offset <= length; ++offset) {
      for (const std::string& odd : odd_bytes) {
        std::string text = filler.substr(0, length);
        text.insert(offset, odd);
        ExpectAgreesWithPlain(text);
        ExpectAgreesWithPlain(text + odd);  // two of them, one at the very end
      }
    }
  }

  const char32_t odd_code_points[] = {
      0,          0x01,       0x7F,       0x80,       0xFF,       0x100,     0x7FF,
      0x800,      0xD800,     0xFFFF,     0x8000,     0x10000,    0x10FFFF,  0x110000,
      0x7FFFFFFF, 0x80000000, 0xFFFF8000, 0xFFFFFF80, 0xFFFFFFFF, 0x1000080,
  };
  std::u32string long_filler;
  while (long_filler.size() < 1100) long_filler.append(filler.begin(), filler.end());
  const auto text_with = [&](size_t length, size_t offset, char32_t odd) {
    std::u32string text = long_filler.substr(0, length);
    text.insert(offset, 1, odd);
    return text;
  };
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t offset = 0; offset <= length; ++offset) {
      for (const char32_t odd : odd_code_points) {
        ExpectAgreesWithPlain(text_with(length, offset, odd));
      }
    }
  }
  // Texts of more than 1024 code points are measured before they are encoded: the same
  // around their first blocks and, for every length of the tail, through it.
  for (const char32_t odd : odd_code_points) {
    for (size_t offset = 0; offset <= 17; ++offset) {
      ExpectAgreesWithPlain(text_with(1024, offset, odd));
    }
    for (size_t length = 1024; length <= 1040; ++length) {
      for (size_t offset = length - 17; offset <= length; ++offset) {
        ExpectAgreesWithPlain(text_with(length, offset, odd));
      }
    }
  }
}

TEST(CodeConversionTest, BlockPathsAgreeWithPlainConversionOnRandomText) {
  // Mostly ASCII with now and then a NUL or a multi-byte sequence, valid or not, as odd bytes.
  std::mt19937 random(20240611);
  const std::string pieces[] = {
      std::string(1, '\0'), "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC0\x80",
      "\xED\xA0\x80",       "\x80",     "\xC3",         "\xF4\x90\x80\x80",
  };
  for (int round = 0; round < 3000; ++round) {
    const size_t length = random() % 80;
    const unsigned odd_per_1000 = round % 3 == 0 ? 5 : round % 3 == 1 ? 40 : 200;
    std::string text;
    while (text.size() < length) {
      if (random() % 1000 < odd_per_1000) {
        text += pieces[random() % std::size(pieces)];
      } else {
        text.push_back(static_cast<char>(' ' + random() % 95));
      }
    }
    ExpectAgreesWithPlain(text);
    // The same text as code points, with a U+0000 or a value out of range put in somewhere.
    bool ok = false;
    std::u32string wide = Utf8ToUtf32(text, &ok);
    if (!ok) continue;
    ExpectAgreesWithPlain(wide);
    const char32_t odd_code_points[] = {0, 0x110000, 0xFFFFFFFF};
    wide.insert(random() % (wide.size() + 1), 1, odd_code_points[random() % 3]);
    ExpectAgreesWithPlain(wide);
  }
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
