// Cross-check of the engine against the literal reference engine on generated inputs: random
// character tables, lists (including the odd list-text forms), regions, locales, aliases,
// texts and options. Every asset name asked for, warning, output, flag and count must agree.
//
// The generated tests run a few hundred configurations. For a longer randomized run, set
// SANITIZER_CROSS_CHECK_ROUNDS to a multiple of that (and SANITIZER_CROSS_CHECK_FIRST_SEED to
// start elsewhere); a failure prints its seed.
#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <cstdlib>
#include <optional>
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

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0'
             ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10))
             : fallback;
}

// How many times the default number of configurations the generated tests run.
uint32_t Rounds() { return std::max<uint32_t>(1, EnvNumber("SANITIZER_CROSS_CHECK_ROUNDS", 1)); }
uint32_t FirstSeed(uint32_t fallback) {
  return EnvNumber("SANITIZER_CROSS_CHECK_FIRST_SEED", fallback);
}

// Code points as text, with the invisible and the ill-formed ones spelled out.
std::string Show(std::u32string_view text) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x20 || c == 0x85 || c == 0xA0 || c == 0x3000 || (c >= 0xD800 && c <= 0xDFFF) ||
        c > 0x10FFFF) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "<%X>", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += U8(std::u32string(1, c));
    }
  }
  return out;
}

// The options of one request to both engines.
struct ScanOptions {
  uint32_t level = 1;
  bool remove = false;
  bool aggressive = false;
  uint32_t max_words = 5;
};

// The engine and the reference must give the same masked text and flag for the options, and,
// when `embedded` is given, the same answer to ContainsSanitized with it. Failures are fatal;
// callers stop at HasFatalFailure().
void ExpectSameScan(const SanitizerEngine& engine, const reference::Engine& reference,
                    std::u32string_view text, const ScanOptions& o, uint32_t seed,
                    std::optional<bool> embedded) {
  std::u32string out;
  std::u32string expected;
  const bool modified =
      SanitizeText(engine, out, text, o.level, o.remove, o.aggressive, o.max_words);
  const bool expected_modified = reference::SanitizeText(reference, expected, text, o.level,
                                                         o.remove, o.aggressive, o.max_words);
  ASSERT_EQ(Show(out), Show(expected))
      << "seed " << seed << " text [" << Show(text) << "] level " << o.level << " remove "
      << o.remove << " aggressive " << o.aggressive << " max words " << o.max_words;
  ASSERT_EQ(modified, expected_modified) << "seed " << seed << " text [" << Show(text) << "]";
  if (!embedded) return;
  ASSERT_EQ(
      ContainsSanitized(engine, text, o.level, *embedded, o.remove, o.aggressive),
      reference::ContainsSanitized(reference, text, o.level, *embedded, o.remove, o.aggressive))
      << "seed " << seed << " text [" << Show(text) << "] level " << o.level << " embedded "
      << *embedded << " remove " << o.remove << " aggressive " << o.aggressive;
}

// Seeded random draws shared by the generators below.
class RandomDraws {
 public:
  explicit RandomDraws(uint32_t seed) : random_(seed) {}

  std::size_t Below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool OneIn(std::size_t n) { return Below(n) == 0; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }
  char32_t PickOf(std::u32string_view chars) { return chars[Below(chars.size())]; }

 private:
  std::mt19937 random_;
};

class Generator : public RandomDraws {
 public:
  explicit Generator(uint32_t seed) : RandomDraws(seed) {}

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
      static const std::vector<uint32_t> kWindows = {1, 2, 3, 5, 5, 6, 63, 64, 65, 1000};
      ScanOptions o;
      o.level = gen.Pick(kLevels);
      o.remove = gen.OneIn(3);
      o.aggressive = gen.OneIn(2);
      o.max_words = gen.Pick(kWindows);
      ExpectSameScan(*engine, *reference, text, o, seed, gen.OneIn(2));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(CrossCheckTest, GeneratedConfigurationsAndTexts) {
  for (uint32_t seed = FirstSeed(1); seed < FirstSeed(1) + 150 * Rounds(); ++seed) {
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

// Inputs that reach the odd corners: tables that map a code point to itself, onto
// punctuation, onto U+0000 or from code points beyond the common range; sets holding letters,
// the apostrophe, the hyphen or U+0000; list texts with tokens that begin or end with
// non-word characters and with every kind of list separator; regions and locales with odd
// separators and cases; aliases with odd white space (U+0120 narrows to a blank); several
// allowed-character candidates; empty ad-hoc texts; texts with U+0000, ill-formed code points
// and letters whose lowering changes length.
class WideGenerator : public RandomDraws {
 public:
  explicit WideGenerator(uint32_t seed) : RandomDraws(seed) {}

  static constexpr std::u32string_view kLetters =
      U"abdcrsiABDCR\u00E4\u00C4\u0130\u03A3\u01C4\u01C5\u4E2D\uFF21";
  static constexpr std::u32string_view kMarks = U".,'-@$|#01!?_\u2019\u00A7+";
  static constexpr std::u32string_view kSpaces = U" \t\n\u3000\u0085\u00A0";

  char32_t AnyChar() {
    switch (Below(6)) {
      case 0:
      case 1:
        return PickOf(kLetters);
      case 2:
      case 3:
        return PickOf(kMarks);
      case 4:
        return PickOf(kSpaces);
      default:
        return OneIn(3) ? U'\0' : PickOf(U"\U0001F600\u0307\u0131\u00DF");
    }
  }

  std::u32string SetText() {
    std::u32string text;
    for (std::size_t k = Below(5); k > 0; --k) {
      text.push_back(AnyChar());
      if (OneIn(2)) text.push_back(U' ');
    }
    return text;
  }

  std::u32string MapText() {
    static const std::vector<std::u32string> kBetween = {U"", U" ", U"\n", U"\u3000"};
    std::u32string text;
    for (std::size_t k = Below(6); k > 0; --k) {
      char32_t source = OneIn(4) ? PickOf(kLetters) : PickOf(kMarks);
      if (OneIn(15)) source = U'\0';
      char32_t target;
      switch (Below(5)) {
        case 0:
          target = source;  // onto itself
          break;
        case 1:
          target = PickOf(U".'-,!");  // onto punctuation, the apostrophe or the hyphen
          break;
        case 2:
          target = OneIn(5) ? U'\0' : PickOf(U"Aa\u00E4");
          break;
        default:
          target = PickOf(U"aisoqx");
          break;
      }
      text.push_back(source);
      if (OneIn(2)) text.push_back(U' ');
      text.push_back(target);
      text += Pick(kBetween);
    }
    if (OneIn(6)) text.push_back(U'z');  // unpaired
    return text;
  }

  std::u32string Word() {
    std::u32string word;
    const std::size_t length = 1 + Below(OneIn(5) ? 8 : 4);
    for (std::size_t i = 0; i < length; ++i) {
      word.push_back(OneIn(3) ? PickOf(kMarks) : OneIn(8) ? AnyChar() : PickOf(kLetters));
    }
    words_.push_back(word);
    return word;
  }

  std::u32string ListText() {
    static const std::vector<std::u32string> kSeparators = {
        U", ", U" ", U"\n", U",", U" ,\n", U"\t", U",,", U"\u3000", U"\u0085", U"\u00A0"};
    std::u32string text;
    if (OneIn(8)) text += Pick(kSeparators);
    for (std::size_t i = 0, words = Below(6); i < words; ++i) {
      if (i > 0) text += Pick(kSeparators);
      text += Word();
    }
    if (OneIn(8)) text += Pick(kSeparators);
    return text;
  }

  BuildInputs Inputs() {
    BuildInputs in;
    static const std::vector<std::string> kRegions = {"", "", "WEST", "eu", "Na.x", "r_1"};
    static const std::vector<std::string> kLocales = {
        "", "en_US", "en_US", "en", "pt-BR", "_US", "en_", "EN-us_x", "zh_Hant_TW", "-", "_"};
    in.region = Pick(kRegions);
    in.locale = Pick(kLocales);
    // Variant names that these regions and locales give, and a few that only aliases give.
    static const std::vector<std::string> kNames = {
        "",           "language.en", "country.us", "region.west", "language.pt",
        "country.br", "language",    "country",    "language.",   "country.x",
        "region.eu",  "region.na.x", "Europe",     "lang.XX",     "country.hant_tw"};
    if (OneIn(2)) {
      static const std::vector<std::string> kGaps = {" ", "\t", "\n", "  \r\n"};
      static const std::vector<std::string> kEnds = {" ", "\n", "\u0120", "\u00A0"};
      std::string aliases;
      for (std::size_t k = Below(6); k > 0; --k) {
        const std::string& name = Pick(kNames);
        const std::string& alias = Pick(kNames);
        aliases += (name.empty() ? "language.en" : name) + Pick(kGaps) +
                   (alias.empty() ? "Europe" : alias) + Pick(kEnds);
      }
      if (OneIn(3)) aliases += "dangling";
      in.assets["variantaliases.txt"] = aliases;
    }
    for (const char* name : {"punctuationchars.txt", "breakingchars.txt"}) {
      if (!OneIn(4)) in.assets[name] = U8(SetText());
    }
    for (const char* name : {"projectedchars.txt", "projectedchars1337.txt"}) {
      if (!OneIn(4)) in.assets[name] = U8(MapText());
    }
    static const std::vector<std::string> kAllowedNames = {
        "allowedchars.txt", "allowedchars.language.en.txt", "allowedchars.locale.en_us.txt",
        "allowedchars.europe.txt", "allowedchars.language.txt"};
    for (const std::string& name : kAllowedNames) {
      if (OneIn(3)) in.assets[name] = OneIn(4) ? " \n" : U8(SetText()) + "abdcrs";
    }
    for (const std::string kind : {"filter", "unfilter", "whitelist"}) {
      for (uint32_t level = 0; level < 4; ++level) {
        for (const std::string& variant : kNames) {
          if (!OneIn(variant.empty() ? 2 : 12)) continue;
          std::string name = std::to_string(level) + "." + kind;
          if (!variant.empty()) name += "." + variant;
          name += ".csv";
          for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
          in.assets[name] = U8(ListText());
        }
      }
    }
    in.whitelist_enabled = !OneIn(3);
    for (LevelTexts* adhoc : {&in.includes, &in.excludes, &in.whitelist}) {
      for (std::size_t k = Below(3); k > 0; --k) {
        (*adhoc)[static_cast<uint32_t>(Below(4))].push_back(OneIn(5) ? U"" : ListText());
      }
    }
    return in;
  }

  // Random code points, or listed words (sometimes upper-cased) with glue between them.
  std::u32string Text(std::size_t max_length) {
    static const std::vector<std::u32string> kGlue = {
        U"", U" ", U" ", U".", U"@", U"-", U"'", U"\u0130", U"  ", std::u32string(1, U'\0')};
    std::u32string text;
    const std::size_t length = Below(max_length + 1);
    const bool words = !words_.empty() && !OneIn(3);
    while (text.size() < length) {
      if (!words || OneIn(3)) {
        text.push_back(AnyChar());
        continue;
      }
      std::u32string word = Pick(words_);
      if (OneIn(3)) {
        for (char32_t& c : word) c = c >= U'a' && c <= U'z' && OneIn(2) ? c - U'a' + U'A' : c;
      }
      text += word + Pick(kGlue);
    }
    if (OneIn(30)) text.push_back(OneIn(2) ? char32_t{0xD800} : char32_t{0x110000});
    return text;
  }

 private:
  std::vector<std::u32string> words_;  // every word put into a list so far
};

std::vector<std::string> Warnings(const std::vector<uint32_t>& levels) {
  std::vector<std::string> messages;
  for (const uint32_t level : levels) {
    messages.push_back("sanitizer: unfilter lists given for level " + std::to_string(level) +
                       ", but no filtering lists");
  }
  return messages;
}

TEST(CrossCheckTest, GeneratedRegionsLocalesAliasesAndTables) {
  static const std::vector<uint32_t> kLevels = {0, 1, 2, 3, 4, 7, 0x80000000u, 0xFFFFFFFFu};
  static const std::vector<uint32_t> kWindows = {1, 2, 3, 5, 5, 5, 6, 63, 64, 65, 1000};
  const uint32_t first = FirstSeed(5000);
  for (uint32_t seed = first; seed < first + 150 * Rounds(); ++seed) {
    WideGenerator gen(seed);
    const BuildInputs in = gen.Inputs();
    const auto utils = testing::MakeUtils(in.assets);
    testing::RecordingLoader loader(in.assets);
    std::unique_ptr<SanitizerEngine> engine;
    std::vector<std::string> warnings;
    {
      testing::CapturedLog log;
      engine = BuildEngine(utils, in.whitelist_enabled, in.region, in.locale, in.includes,
                           in.excludes, in.whitelist, loader.loader);
      warnings = log.messages;
    }
    const auto reference = testing::BuildReference(in, utils);
    ASSERT_EQ(*loader.names, reference->loaded_assets) << "seed " << seed;
    ASSERT_EQ(warnings, Warnings(reference->warned_levels)) << "seed " << seed;
    ASSERT_EQ(engine->filtered_word_counts(), reference->filtered_counts) << "seed " << seed;
    ASSERT_EQ(engine->whitelisted_word_counts(), reference->whitelisted_counts) << "seed " << seed;
    ASSERT_EQ(engine->allowed_chars(), reference->allowed) << "seed " << seed;
    for (int t = 0; t < 30; ++t) {
      const std::u32string text = gen.Text(t % 10 == 9 ? 80 : 20);
      ScanOptions o;
      o.level = gen.Pick(kLevels);
      o.remove = gen.OneIn(3);
      o.aggressive = gen.OneIn(2);
      o.max_words = gen.Pick(kWindows);
      // The reference's embedded scan costs the cube of the length: long texts skip it.
      std::optional<bool> embedded;
      if (text.size() <= 40) embedded = gen.OneIn(2);
      ExpectSameScan(*engine, *reference, text, o, seed, embedded);
      if (HasFatalFailure()) return;
    }
  }
}

// U+0000 ends a key, so every span from a start before it keeps the key of the text up to
// it, up to the end of the window: long texts with windows of more than 64 words and the
// embedded scan, over keys that are listed, exempt, empty ("'") or prefixes of listed ones.
TEST(CrossCheckTest, NulInLongTextsAndTheEmbeddedScan) {
  static const std::vector<std::string> kLists = {"ab", "ab, '", "a, ba", "aab, bb", "b", "'a"};
  const std::u32string alphabet = std::u32string(U"ab '@.x") + U'\0';
  const uint32_t first = FirstSeed(7000);
  for (uint32_t seed = first; seed < first + 30 * Rounds(); ++seed) {
    WideGenerator gen(seed);
    BuildInputs in;
    in.assets = {{"1.filter.csv", gen.Pick(kLists)}, {"projectedchars.txt", "@a"}};
    if (gen.OneIn(3)) in.assets["1.unfilter.csv"] = gen.Pick(kLists);
    const auto utils = testing::MakeUtils(in.assets);
    const auto engine = testing::Build(in, utils);
    const auto reference = testing::BuildReference(in, utils);
    for (int t = 0; t < 12; ++t) {
      std::u32string text;
      for (std::size_t k = gen.Below(90); k > 0; --k) text.push_back(gen.PickOf(alphabet));
      for (const uint32_t max_words : {65u, 1000u}) {
        std::u32string out;
        std::u32string expected;
        const bool modified = SanitizeText(*engine, out, text, 1, false, false, max_words);
        ASSERT_EQ(modified,
                  reference::SanitizeText(*reference, expected, text, 1, false, false, max_words))
            << "seed " << seed << " text [" << Show(text) << "]";
        ASSERT_EQ(Show(out), Show(expected))
            << "seed " << seed << " text [" << Show(text) << "] max words " << max_words;
      }
      if (text.size() > 45) continue;
      ASSERT_EQ(ContainsSanitized(*engine, text, 1, true, false, false),
                reference::ContainsSanitized(*reference, text, 1, true, false, false))
          << "seed " << seed << " text [" << Show(text) << "]";
    }
  }
}

// The aggressive scan where lowering changes the length (U+0130 in most locales) or depends on
// the code points around (final sigma; Lithuanian dots; Turkish and Azeri dotted and dotless
// i): marks land on the source code points each match came from. The build runs this test
// again with Lithuanian, Turkish and Azeri as the process's default locale.
TEST(CrossCheckTest, AggressiveScanWhereLoweringChangesLengthOrDependsOnContext) {
  SCOPED_TRACE(std::string("default locale ") + icu::Locale::getDefault().getName());
  static const std::u32string_view kChars =
      U"iIxab \u0307\u0300\u0130\u00CC\u0131\u03A3\u00DF\u0345";
  const uint32_t first = FirstSeed(9000);
  for (uint32_t seed = first; seed < first + 30 * Rounds(); ++seed) {
    WideGenerator gen(seed);
    auto word = [&] {
      std::u32string w;
      for (std::size_t k = 1 + gen.Below(3); k > 0; --k) w.push_back(gen.PickOf(kChars));
      return w;
    };
    auto list = [&] {
      std::u32string text;
      for (std::size_t k = gen.Below(5); k > 0; --k) text += word() + U", ";
      return text;
    };
    BuildInputs in;
    in.whitelist_enabled = !gen.OneIn(4);
    in.includes[gen.Below(2)] = {list()};
    in.includes[2] = {list()};
    in.excludes[gen.Below(3)] = {list()};
    in.whitelist[gen.Below(3)] = {list()};
    const auto utils = testing::MakeUtils(in.assets);
    const auto engine = testing::Build(in, utils);
    const auto reference = testing::BuildReference(in, utils);
    for (int t = 0; t < 40; ++t) {
      std::u32string text;
      for (std::size_t k = gen.Below(12); k > 0; --k) text.push_back(gen.PickOf(kChars));
      const uint32_t level = static_cast<uint32_t>(gen.Below(4));
      std::u32string out;
      std::u32string expected;
      const bool modified = SanitizeText(*engine, out, text, level, false, true, 5);
      const bool expected_modified =
          reference::SanitizeText(*reference, expected, text, level, false, true, 5);
      ASSERT_EQ(Show(out), Show(expected))
          << "seed " << seed << " text [" << Show(text) << "] level " << level;
      ASSERT_EQ(modified, expected_modified) << "seed " << seed << " text [" << Show(text) << "]";
      ASSERT_EQ(ContainsSanitized(*engine, text, level, true, false, true),
                reference::ContainsSanitized(*reference, text, level, true, false, true))
          << "seed " << seed << " text [" << Show(text) << "]";
    }
  }
}

}  // namespace
}  // namespace sanitizer
