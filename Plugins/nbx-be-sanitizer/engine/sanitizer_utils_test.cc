// Tests of the character predicates, the word key and the lower-case foldings.
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

#include <gtest/gtest.h>

#include <random>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"
#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"
#include "Plugins/nbx-be-sanitizer/engine/lowering.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::MakeUtils;
using testing::U32;
using testing::U8;

uint64_t Key(std::u32string_view text) {
  uint64_t h = 0;
  for (const char32_t c : text) h = h * kHashMultiplier + c;
  return h;
}

TEST(SanitizerUtilsTest, PredicatesTable) {
  const auto utils = MakeUtils(Assets{
      {"punctuationchars.txt", "$ ' \u00A4"},
      {"breakingchars.txt", "| ~"},
      {"projectedchars.txt", "@a !i %% ~t"},
      {"projectedchars1337.txt", "%x 0o #h"},
  });
  struct Case {
    char32_t c;
    bool separator;
    bool word_char;
  };
  const Case cases[] = {
      {U'a', false, true},
      {U'Z', false, true},
      {U'7', false, true},
      {U' ', true, false},
      {U'\t', true, false},
      {U'\u3000', true, false},
      {U'.', true, false},
      {U',', true, false},
      {U'_', true, false},       // connector punctuation
      {U'\u2019', true, false},  // right single quotation mark
      {U'\'', false, true},      // never a separator unless breaking, even when listed
      {U'-', false, true},
      {U'@', true, true},  // punctuation, projected onto a letter
      {U'!', true, true},
      {U'%', true, false},       // projected onto itself: the 1337 entry is hidden
      {U'#', true, true},        // only in the 1337 table
      {U'$', true, false},       // a symbol, listed as punctuation
      {U'\u00A4', true, false},  // likewise
      {U'+', false, true},       // a symbol, not listed
      {U'|', true, false},       // breaking
      {U'~', true, true},        // breaking, but projected onto a letter
      {U'0', false, true},
      {U'\U0001F600', false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utils->IsSeparator(c.c), c.separator) << "U+" << std::hex << uint32_t(c.c);
    EXPECT_EQ(utils->IsWordChar(c.c), c.word_char) << "U+" << std::hex << uint32_t(c.c);
  }
}

TEST(SanitizerUtilsTest, BreakingApostropheSeparatesButStaysAWordChar) {
  const auto utils = MakeUtils(Assets{{"breakingchars.txt", "'"}});
  EXPECT_TRUE(utils->IsSeparator(U'\''));
  EXPECT_TRUE(utils->IsWordChar(U'\''));
}

TEST(SanitizerUtilsTest, HashSpanTable) {
  const auto utils = MakeUtils(Assets{
      {"punctuationchars.txt", "$"},
      {"projectedchars.txt", "@a \u00E4a"},
      {"projectedchars1337.txt", "0o @x"},
  });
  struct Case {
    std::u32string text;
    std::size_t first;
    std::size_t last;
    bool project;
    bool leet;
    uint64_t expected;
  };
  const Case cases[] = {
      {U"", 0, 0, false, false, 0},
      {U"", 0, 5, true, true, 0},
      {U" .,!", 0, 3, false, false, 0},
      {U"a", 0, 0, false, false, 97},
      {U"ab", 0, 1, false, false, 97 * kHashMultiplier + 98},
      {U"bad", 0, 2, false, false, Key(U"bad")},
      {U"b.a-d", 0, 4, false, false, Key(U"bad")},
      {U"don't", 0, 4, false, false, Key(U"dont")},
      {U"BaD", 0, 2, false, false, Key(U"bad")},
      {U"b@d", 0, 2, false, false, Key(U"bd")},
      {U"b@d", 0, 2, true, true, Key(U"bad")},
      {U"b@d", 0, 2, true, false, Key(U"bad")},  // `projected` wins over 1337
      {U"f00", 0, 2, false, false, Key(U"f00")},
      {U"f00", 0, 2, true, true, Key(U"foo")},
      {U"f00", 0, 2, true, false, Key(U"f00")},
      {U"b\u00E4d", 0, 2, true, true, Key(U"bad")},
      {U"B\u00C4D", 0, 2, true, true, Key(U"bad")},  // folded, then projected
      {U"a$b", 0, 2, false, false, Key(U"a$b")},     // the punctuation table plays no part
      {U"\u01C5", 0, 0, false, false, 0x01C5},       // title case is not folded
      {U"\u01C4", 0, 0, false, false, 0x01C6},
      {U"xbady", 1, 3, false, false, Key(U"bad")},
      {U"bad", 1, 99, false, false, Key(U"ad")},                      // last clamped to the text
      {U"bad", 2, 1, false, false, 0},                                // first > last
      {std::u32string(U"ba\0d", 4), 0, 3, false, false, Key(U"ba")},  // U+0000 ends the key
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utils->HashSpan(c.text, c.first, c.last, c.project, c.leet), c.expected)
        << "text: " << U8(c.text) << " span " << c.first << ".." << c.last;
    EXPECT_EQ(reference::HashSpan(utils->tables(), c.text, c.first, c.last, c.project, c.leet),
              c.expected)
        << "reference, text: " << U8(c.text);
  }
  EXPECT_EQ(utils->HashSpan(U"", 0, 0, false, false, 42), 42u);
  EXPECT_EQ(utils->HashSpan(U"a", 0, 0, false, false, 2), 2 * kHashMultiplier + 97);
}

TEST(SanitizerUtilsTest, ListSeparatorIsCommaOrWhiteSpace) {
  for (const char32_t c : std::u32string(U", \t\n\r\u3000\u2028")) {
    EXPECT_TRUE(SanitizerUtils::IsListSeparator(c)) << uint32_t(c);
  }
  for (const char32_t c : std::u32string(U";.|a'-")) {
    EXPECT_FALSE(SanitizerUtils::IsListSeparator(c)) << uint32_t(c);
  }
}

TEST(SanitizerUtilsTest, LowerCasing) {
  EXPECT_EQ(SanitizerUtils::LowerChar(U'A'), U'a');
  EXPECT_EQ(SanitizerUtils::LowerChar(U'\u01C5'), U'\u01C6');  // all categories
  EXPECT_EQ(SanitizerUtils::LowerChar(U'\u0130'), U'i');
  EXPECT_EQ(SanitizerUtils::LowerChar(U'$'), U'$');

  struct Case {
    std::u32string text;
    std::u32string lowered;
  };
  const Case cases[] = {
      {U"", U""},
      {U"ABC def", U"abc def"},
      {U"\u0130X", U"i\u0307x"},                         // longer than the source
      {U"\u03A3\u0391\u03A3", U"\u03C3\u03B1\u03C2"},    // final sigma
      {std::u32string(1, char32_t{0xD800}), U"\uFFFD"},  // ill-formed code point
  };
  for (const Case& c : cases) {
    std::u32string text = c.text;
    SanitizerUtils::LowerText(text);
    EXPECT_EQ(text, c.lowered) << "text: " << U8(c.text);
  }
}

// The lowered text with origins must be exactly LowerText's, whichever path it takes, and
// every lowered code point must point back at the source code point it came from.
TEST(SanitizerUtilsTest, LoweringWithOriginsMatchesLowerText) {
  const auto utils = MakeUtils(Assets{});
  struct Case {
    std::u32string text;
    std::vector<uint32_t> first;  // empty: identity
  };
  const Case cases[] = {
      {U"Hello World", {}},
      {U"a\u0130b", {0, 1, 1, 2}},
      {U"\u0130\u0130", {0, 0, 1, 1}},
      {U"x\U0001D400\u0130", {0, 1, 2, 2}},  // a supplementary letter before
      {U"\u03A3\u0391\u03A3 \u03A3", {}},
      {U"\u00C4\u00D6\u00DC\u1E9E", {}},
  };
  for (const Case& c : cases) {
    std::u32string expected = c.text;
    SanitizerUtils::LowerText(expected);
    for (const detail::CharClassTable* classes :
         {&utils->classes(), static_cast<const detail::CharClassTable*>(nullptr)}) {
      detail::LoweredText lowered;
      detail::LowerWithOrigins(c.text, classes, lowered);
      EXPECT_EQ(lowered.text, expected) << "text: " << U8(c.text);
      if (c.first.empty()) {
        if (!lowered.identity) {
          for (std::size_t k = 0; k < lowered.first.size(); ++k) {
            EXPECT_EQ(lowered.first[k], k) << "text: " << U8(c.text);
            EXPECT_EQ(lowered.last[k], k) << "text: " << U8(c.text);
          }
        }
      } else {
        EXPECT_FALSE(lowered.identity);
        EXPECT_EQ(lowered.first, c.first) << "text: " << U8(c.text);
        EXPECT_EQ(lowered.last, c.first) << "text: " << U8(c.text);
      }
    }
  }
}

// The per-code-point classes behind the fast scans must agree with the plain predicates and
// key for every code point of the table and for samples beyond it.
TEST(SanitizerUtilsTest, ClassTableAgreesWithPlainRules) {
  const auto utils = MakeUtils(Assets{
      {"punctuationchars.txt", "$ \u00A7 ' a"},
      {"breakingchars.txt", "| \u2022 x"},
      {"projectedchars.txt", "@a $s \u00E4a \u00C4A 5s \u0430a |i"},
      {"projectedchars1337.txt", "0o 1i 3e 5x @q \u20ACe ! "},
  });
  const CharTables& tables = utils->tables();
  std::vector<char32_t> code_points;
  for (char32_t c = 0; c < 0x2200; ++c) code_points.push_back(c);
  for (const char32_t c : {0x3000u, 0xFF01u, 0xFF21u, 0xD800u, 0xDFFFu, 0xFFFDu, 0x1D400u, 0x1F600u,
                           0x10FFFFu, 0x110000u, 0xFFFFFFFFu}) {
    code_points.push_back(c);
  }
  for (const char32_t c : code_points) {
    const detail::CharClass cls = utils->classes().Get(c);
    ASSERT_EQ((cls.flags & detail::kSeparator) != 0, reference::IsSeparator(tables, c))
        << uint32_t(c);
    ASSERT_EQ((cls.flags & detail::kWordChar) != 0, reference::IsWordChar(tables, c))
        << uint32_t(c);
    ASSERT_EQ(utils->IsSeparator(c), reference::IsSeparator(tables, c)) << uint32_t(c);
    ASSERT_EQ(utils->IsWordChar(c), reference::IsWordChar(tables, c)) << uint32_t(c);
    if (c == 0) continue;
    const std::u32string one(1, c);
    for (const bool project : {false, true}) {
      ASSERT_EQ(utils->HashSpan(one, 0, 0, project, true),
                reference::HashSpan(tables, one, 0, 0, project, true))
          << uint32_t(c);
      ASSERT_EQ(utils->HashSpan(one, 0, 0, project, false),
                reference::HashSpan(tables, one, 0, 0, project, false))
          << uint32_t(c);
    }
  }
}

}  // namespace
}  // namespace sanitizer
