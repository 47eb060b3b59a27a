// Cross-check of the engine against the literal reference engine on generated inputs: random
// character tables, lists (including the odd list-text forms), texts and options. Every
// output, flag and count must agree.
#include <gtest/gtest.h>

#include <random>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::BuildInputs;
using testing::U32;
using testing::U8;

class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  std::size_t Below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool OneIn(std::size_t n) { return Below(n) == 0; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }

  // Code points that exercise every rule: letters in both cases, separators, the apostrophe
  // and hyphen, projected symbols, digits, accented letters, a letter that lowers to two code
  // points, capital sigma, a pictograph, breaking and listed punctuation candidates.
  char32_t TextChar() {
    static const std::u32string kCommon = U"abdcrsiABDCR    ..,'-@$01|";
    static const std::u32string kRare = U"\u00E4\u00C4\u0130\u03A3\U0001F600\u3000_#!?\u2019";
    if (OneIn(5)) return kRare[Below(kRare.size())];
    return kCommon[Below(kCommon.size())];
  }

  // Half of the texts are random code points; the other half join words that the lists of
  // this configuration hold (with glue and random code points between), so that matches,
  // exemptions and whitelisted stretches are frequent.
  std::u32string Text(std::size_t max_length, bool allow_nul) {
    std::u32string text;
    const std::size_t length = Below(max_length + 1);
    if (words_.empty() || OneIn(2)) {
      for (std::size_t i = 0; i < length; ++i) {
        text.push_back(allow_nul && OneIn(40) ? U'\0' : TextChar());
      }
      return text;
    }
    static const std::vector<std::u32string> kGlue = {U"",  U" ", U" ",      U".",
                                                      U"@", U"-", U"\u0130", U"  "};
    while (text.size() < length) {
      if (OneIn(4)) {
        text.push_back(TextChar());
      } else {
        text += U32(Pick(words_));
      }
      text += Pick(kGlue);
    }
    return text;
  }

  // A word for a list: mostly letters, sometimes a symbol or an apostrophe inside or at an
  // end, sometimes upper case.
  std::string Word() {
    static const std::vector<std::string> kParts = {"a", "b",      "d",      "c", "r", "s", "i",
                                                    "B", "A",      "@",      "$", "0", "'", "-",
                                                    ".", "\u00E4", "\u0130", "|", "#"};
    std::string word;
    const std::size_t length = 1 + Below(OneIn(6) ? 9 : 4);
    for (std::size_t i = 0; i < length; ++i) word += Pick(kParts);
    words_.push_back(word);
    return word;
  }

  std::string ListText() {
    static const std::vector<std::string> kSeparators = {", ", " ", "\n", ",", " ,\n", "\t"};
    std::string text;
    const std::size_t words = Below(6);
    for (std::size_t i = 0; i < words; ++i) {
      if (i > 0) text += Pick(kSeparators);
      text += Word();
    }
    return text;
  }

  BuildInputs Inputs() {
    BuildInputs in;
    // Some projections map letters onto punctuation, so that a code point enters the raw key
    // but not the projected one.
    static const std::vector<std::string> kProjected = {
        "", "@a $s", "@a $s \u00E4a", "@@ |i", "aa 0o", "\u00C4A @a", "r. @a", "b- d. @a"};
    static const std::vector<std::string> kLeet = {"", "0o 1i", "0o @q $x", "#h", "s-"};
    static const std::vector<std::string> kBreaking = {"", "|", "'", "| #"};
    static const std::vector<std::string> kPunctuation = {"", "$", "# a", "'"};
    in.assets["projectedchars.txt"] = Pick(kProjected);
    in.assets["projectedchars1337.txt"] = Pick(kLeet);
    in.assets["breakingchars.txt"] = Pick(kBreaking);
    in.assets["punctuationchars.txt"] = Pick(kPunctuation);
    if (OneIn(2)) in.assets["allowedchars.txt"] = OneIn(2) ? "abcdrsiABCDR0" : "abc";
    static const std::vector<std::string> kKinds = {"filter", "unfilter", "whitelist"};
    for (const std::string& kind : kKinds) {
      for (uint32_t level = 0; level < 4; ++level) {
        if (OneIn(2)) in.assets[std::to_string(level) + "." + kind + ".csv"] = ListText();
        if (OneIn(4)) {
          in.assets[std::to_string(level) + "." + kind + ".language.en.csv"] = ListText();
        }
      }
    }
    in.whitelist_enabled = OneIn(2);
    for (LevelTexts* adhoc : {&in.includes, &in.excludes, &in.whitelist}) {
      if (OneIn(3)) (*adhoc)[static_cast<uint32_t>(Below(4))] = {U32(ListText())};
    }
    return in;
  }

 private:
  std::mt19937 random_;
  std::vector<std::string> words_;  // every word put into a list so far
};

void ExpectSameAsReference(const BuildInputs& in, Generator& gen, uint32_t seed, std::size_t texts,
                           std::size_t max_length) {
  static const std::vector<uint32_t> kLevels = {0, 1, 2, 3, 7, 0xFFFFFFFFu};
  const auto utils = testing::MakeUtils(in.assets);
  const auto engine = testing::Build(in, utils);
  const auto reference = testing::BuildReference(in, utils);
  ASSERT_EQ(engine->filtered_word_counts(), reference->filtered_counts) << "seed " << seed;
  ASSERT_EQ(engine->whitelisted_word_counts(), reference->whitelisted_counts) << "seed " << seed;
  ASSERT_EQ(engine->allowed_chars(), reference->allowed) << "seed " << seed;
  for (std::size_t t = 0; t < texts; ++t) {
    const std::u32string text = gen.Text(max_length, true);
    for (int option = 0; option < 6; ++option) {
      const uint32_t level = gen.Pick(kLevels);
      const bool remove = gen.OneIn(3);
      const bool aggressive = gen.OneIn(2);
      static const std::vector<uint32_t> kWindows = {1, 2, 3, 5, 5, 6, 63, 64, 65, 1000};
      const uint32_t max_words = gen.Pick(kWindows);
      std::u32string out;
      std::u32string expected;
      const bool modified = SanitizeText(*engine, out, text, level, remove, aggressive, max_words);
      const bool expected_modified =
          reference::SanitizeText(*reference, expected, text, level, remove, aggressive, max_words);
      ASSERT_EQ(U8(out), U8(expected))
          << "seed " << seed << " text [" << U8(text) << "] level " << level << " remove " << remove
          << " aggressive " << aggressive << " max words " << max_words;
      ASSERT_EQ(modified, expected_modified) << "seed " << seed << " text [" << U8(text) << "]";
      const bool embedded = gen.OneIn(2);
      ASSERT_EQ(ContainsSanitized(*engine, text, level, embedded, remove, aggressive),
                reference::ContainsSanitized(*reference, text, level, embedded, remove, aggressive))
          << "seed " << seed << " text [" << U8(text) << "] level " << level << " embedded "
          << embedded << " remove " << remove << " aggressive " << aggressive;
    }
  }
}

TEST(CrossCheckTest, GeneratedConfigurationsAndTexts) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    Generator gen(seed);
    const BuildInputs in = gen.Inputs();
    ExpectSameAsReference(in, gen, seed, 25, 24);
    if (HasFatalFailure()) return;
  }
}

// Longer texts against lists of long entries: spans cross the bound on key length at
// different places for the raw and the projected key.
TEST(CrossCheckTest, LongTextsAndLongEntries) {
  for (uint32_t seed = 1000; seed < 1030; ++seed) {
    Generator gen(seed);
    BuildInputs in = gen.Inputs();
    in.includes[1] = {U32(gen.Word() + gen.Word() + gen.Word() + ", " + gen.Word())};
    ExpectSameAsReference(in, gen, seed, 6, 90);
    if (HasFatalFailure()) return;
  }
}

// Texts made of the listed words themselves, so that matches are frequent.
TEST(CrossCheckTest, TextsOfListedWords) {
  for (uint32_t seed = 2000; seed < 2060; ++seed) {
    Generator gen(seed);
    BuildInputs in = gen.Inputs();
    std::vector<std::string> words;
    std::string list;
    for (int i = 0; i < 6; ++i) {
      words.push_back(gen.Word());
      list += words.back() + " ";
    }
    in.includes[0] = {U32(list)};
    in.whitelist[1] = {U32(words[0] + words[1])};
    const auto utils = testing::MakeUtils(in.assets);
    const auto engine = testing::Build(in, utils);
    const auto reference = testing::BuildReference(in, utils);
    static const std::vector<std::string> kGlue = {"", " ", " ", ".", "@", "-", "\u0130"};
    for (int t = 0; t < 20; ++t) {
      std::string utf8;
      for (std::size_t w = gen.Below(6); w > 0; --w) utf8 += gen.Pick(words) + gen.Pick(kGlue);
      const std::u32string text = U32(utf8);
      for (const bool aggressive : {false, true}) {
        const uint32_t level = static_cast<uint32_t>(gen.Below(4));
        std::u32string out;
        std::u32string expected;
        const bool modified = SanitizeText(*engine, out, text, level, false, aggressive, 5);
        const bool expected_modified =
            reference::SanitizeText(*reference, expected, text, level, false, aggressive, 5);
        ASSERT_EQ(U8(out), U8(expected)) << "seed " << seed << " text [" << utf8 << "]";
        ASSERT_EQ(modified, expected_modified) << "seed " << seed << " text [" << utf8 << "]";
        ASSERT_EQ(ContainsSanitized(*engine, text, level, true, false, aggressive),
                  reference::ContainsSanitized(*reference, text, level, true, false, aggressive))
            << "seed " << seed << " text [" << utf8 << "]";
      }
    }
  }
}

}  // namespace
}  // namespace sanitizer
