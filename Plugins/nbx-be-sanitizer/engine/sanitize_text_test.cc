// Tests of SanitizeText and ContainsSanitized: the normal and aggressive scans, removal of
// disallowed characters, levels, embedded matching, and the faults mended in the scans.
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"

#include <gtest/gtest.h>

#include <thread>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::BuildInputs;
using testing::U32;
using testing::U8;

constexpr uint32_t kAllLevels = 0xFFFFFFFFu;  // -1 read as unsigned

struct Case {
  std::string text;
  uint32_t level;
  std::string expected;  // the output; equal to text when nothing changes
  bool remove = false;
  bool aggressive = false;
  uint32_t max_words = kDefaultMaxWords;
};

// Runs the cases on the engine and on the reference engine built from the same inputs.
void RunCases(const BuildInputs& in, const std::vector<Case>& cases) {
  const auto utils = testing::MakeUtils(in.assets);
  const auto engine = testing::Build(in, utils);
  const auto reference = testing::BuildReference(in, utils);
  for (const Case& c : cases) {
    const std::u32string text = U32(c.text);
    std::u32string out;
    const bool modified =
        SanitizeText(*engine, out, text, c.level, c.remove, c.aggressive, c.max_words);
    EXPECT_EQ(U8(out), c.expected) << "text: " << c.text << " level " << c.level;
    const bool removed = c.remove && [&] {
      std::u32string plain;
      SanitizeText(*engine, plain, text, c.level, false, c.aggressive, c.max_words);
      return plain != out;
    }();
    EXPECT_EQ(modified, c.expected != c.text || removed) << "text: " << c.text;
    std::u32string reference_out;
    const bool reference_modified = reference::SanitizeText(
        *reference, reference_out, text, c.level, c.remove, c.aggressive, c.max_words);
    EXPECT_EQ(U8(reference_out), c.expected) << "reference, text: " << c.text;
    EXPECT_EQ(reference_modified, modified) << "reference, text: " << c.text;
  }
}

TEST(SanitizeTextTest, NormalScan) {
  BuildInputs in;
  in.assets = {
      {"projectedchars.txt", "@a $s \u00E4a"},
      {"projectedchars1337.txt", "0o 1i 3e"},
      {"1.filter.csv", "bad, baddy, fghij, abcdef, foo, ass"},
      {"2.filter.csv", "evil"},
      {"3.filter.csv", "worst"},
  };
  RunCases(in, {
                   {"very bad day", 1, "very *** day"},
                   {"very bad day", 0, "very bad day"},
                   {"very BAD day", 1, "very *** day"},
                   {"bad dy", 1, "******"},  // two words hashing as "baddy"
                   {"b a d", 1, "*****"},
                   {"b.a.d!", 1, "*****!"},
                   {"f g h i j", 1, "*********"},
                   {"a b c d e f", 1, "a b c d e f"},  // six words, max words 5
                   {"a b c d e f", 1, "***********", false, false, 6},
                   {"b@d", 1, "***"},
                   {"b@d", 1, "b@d", false, false, 1},  // the three code points are two words
                   {"b\u00E4d", 1, "***"},              // one mark per code point
                   {"f00", 1, "***"},
                   {"sc3n3 f0o", 1, "sc3n3 ***"},
                   {"badly", 1, "badly"},
                   {"a$$", 1, "***"},
                   {"$ass", 1, "$ass"},  // projected as "sass"
                   {"my evil plan", 1, "my evil plan"},
                   {"my evil plan", 2, "my **** plan"},
                   {"the worst", 3, "the *****"},
                   {"the worst", 4, "the *****"},
                   {"the worst", kAllLevels, "the *****"},
                   {"", 1, ""},
               });
}

TEST(SanitizeTextTest, ExemptionIsDecidedPerSpan) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "bad verybad"}, {"0.unfilter.csv", "bad"}};
  RunCases(in, {
                   {"bad", 0, "bad"},
                   {"bad", 1, "bad"},
                   {"bad", kAllLevels, "bad"},
                   {"very bad", 1, "********"},
               });
}

// Runs of words that each begin a listed key ("to", "be", "bet"), where the span of two of
// them begins none or does ("be ast").
TEST(SanitizeTextTest, WordsThatEachBeginAListedKey) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "tobacco, beast, bet"}};
  RunCases(in, {
                   {"to be tobacco", 1, "to be *******"},
                   {"be tobacco be", 1, "be ******* be"},
                   {"to be to bet", 1, "to be to ***"},
                   {"to be ast", 1, "to ******"},
                   {"be ast to", 1, "****** to"},
                   {"be ast", 1, "be ast", false, false, 1},
                   {"to be to be to", 1, "to be to be to"},
               });
  // A word listed at a higher level only, or exempt, is not masked at this one.
  BuildInputs levels;
  levels.assets = {
      {"1.filter.csv", "tobacco, be"}, {"2.filter.csv", "to"}, {"1.unfilter.csv", "tob"}};
  RunCases(levels, {
                       {"to be", 1, "to **"},
                       {"to be", 2, "** **"},
                       {"to x", 1, "to x"},
                       {"to x", 2, "** x"},
                       {"tob x to b", 1, "tob x to b"},
                       {"tob x to b", 2, "tob x ** b"},
                   });
}

// The apostrophe and the hyphen join letters into one word and enter no key.
TEST(SanitizeTextTest, ApostrophesAndHyphensInsideWords) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "dont, tobacco, beast"}};
  RunCases(in, {
                   {"i don't know", 1, "i ***** know"},
                   {"it's to-bacco", 1, "it's ********"},
                   {"toba'cco'' x", 1, "********** x"},
                   {"be' ast", 1, "*******"},
                   {"a be'-ast b", 1, "a ******* b"},
                   {"won't, can't", 1, "won't, can't"},
                   {"to- be", 1, "to- be"},
                   {"x' -be", 1, "x' -be"},
               });
}

// A word of dashes alone adds nothing to the keys of the spans that run from it: they are
// those of the spans from the next word, and its own span has the empty key.
TEST(SanitizeTextTest, WordsOfDashesAlone) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "mark, twain"}};
  RunCases(in, {
                   {"-- Mark Twain", 1, "******* *****"},
                   {"-- Mark Twain", 1, "-- **** *****", false, false, 1},
                   {"-- Samuel Clemens", 1, "-- Samuel Clemens"},
                   {"life -- twain", 1, "life ********"},
                   {"life --", 1, "life --"},
                   {"-- -- mark", 1, "**********"},
               });
  BuildInputs empty_listed;
  empty_listed.assets = {{"1.filter.csv", "--, mark"}};
  RunCases(empty_listed, {
                             {"-- Samuel Clemens", 1, "** Samuel Clemens"},
                             {"life --", 1, "life **"},
                             {"-- Mark", 1, "*******"},
                         });
}

// Spans whose one key takes in more code points than the longest listed key can still match
// by their other key: "@" enters only the projected key, "r" (projected onto ".") only the
// raw one.
TEST(SanitizeTextTest, SpansWithOneKeyLongerThanAnyEntry) {
  BuildInputs in;
  in.assets = {{"projectedchars.txt", "@a r."}, {"1.filter.csv", "aa, b"}};
  RunCases(in, {
                   {"@ @ rrr", 1, "*******"},  // raw key too long, projected "aa"
                   {"rrr @ @", 1, "*******"},
                   {"@ x @ rrr", 1, "@ x @ rrr"},
                   {"b @ @ @", 1, "*******"},  // projected key too long, raw "b"
                   {"b @ @ @ x", 1, "******* x"},
               });
}

// A key stops at U+0000 (a word character): every span that runs over it has the key of the
// part before it. The scan meets it only after masking the spans before it, and must still
// give these results (also with the removal of disallowed characters, which takes it out).
// U+0000 reaches the engine only through the code-point interface (the UTF-8 conversions cut
// a text there), so these texts are code points.
TEST(SanitizeTextTest, KeysStopAtNul) {
  using namespace std::string_literals;
  struct NulCase {
    std::u32string text;
    uint32_t level;
    std::u32string expected;
    bool remove = false;
    uint32_t max_words = kDefaultMaxWords;
  };
  const std::vector<NulCase> cases = {
      {U"bad\0dy bad"s, 1, U"**********"},
      {U"very bad \0 day"s, 1, U"very *********"},
      {U"bad \0"s, 1, U"*****"},
      {U"\0bad"s, 1, U"\0bad"s},
      {U"bad\0"s, 0, U"bad\0"s},
      {U"very bad \0 day"s, 1, U"very ***   day", true},
      {U"very bad \0 day"s, 1, U"very *********", false, 100},
  };
  BuildInputs in;
  in.assets = {{"1.filter.csv", "bad"}, {"allowedchars.txt", "abdervy"}};
  const auto utils = testing::MakeUtils(in.assets);
  const auto engine = testing::Build(in, utils);
  const auto reference = testing::BuildReference(in, utils);
  auto show = [](std::u32string text) {
    for (char32_t& c : text) c = c == 0 ? U'\u2400' : c;  // the symbol for NUL
    return U8(text);
  };
  for (const NulCase& c : cases) {
    std::u32string out;
    const bool modified = SanitizeText(*engine, out, c.text, c.level, c.remove, false, c.max_words);
    EXPECT_EQ(show(out), show(c.expected)) << "text: " << show(c.text);
    EXPECT_EQ(modified, out != c.text) << "text: " << show(c.text);
    std::u32string reference_out;
    reference::SanitizeText(*reference, reference_out, c.text, c.level, c.remove, false,
                            c.max_words);
    EXPECT_EQ(show(reference_out), show(c.expected)) << "reference, text: " << show(c.text);
    EXPECT_EQ(ContainsSanitized(*engine, c.text, c.level, false, c.remove, false), modified)
        << "text: " << show(c.text);
  }
}

TEST(SanitizeTextTest, EmptyTextLeavesTheOutputAlone) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "bad"}};
  const auto engine = testing::Build(in);
  std::u32string out = U"untouched";
  EXPECT_FALSE(SanitizeText(*engine, out, U"", 1, true, false, kDefaultMaxWords));
  EXPECT_FALSE(SanitizeText(*engine, out, U"", 1, true, true, kDefaultMaxWords));
  EXPECT_EQ(out, U"untouched");
  EXPECT_FALSE(ContainsSanitized(*engine, U"", 1, true, true, true));
}

TEST(SanitizeTextTest, RemovalOfDisallowedCharacters) {
  BuildInputs in;
  in.assets = {
      {"allowedchars.txt", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {"punctuationchars.txt", "\u00A4"},
      {"projectedchars.txt", "@a"},
  };
  RunCases(in, {
                   {"ab\U0001F600cd", 1, "ab cd", true},
                   {"ab\U0001F600cd", 1, "ab\U0001F600cd", false},
                   {"don't re-do", 1, "don't re-do", true},
                   {"b@d 42 \u00E9t\u00E9", 1, "b@d     t ", true},  // "@" is punctuation
                   {"a.b,c!d?e", 1, "a.b,c!d?e", true},
                   {"\u00A4 x", 1, "\u00A4 x", true},  // listed punctuation
                   {"x\u3000y", 1, "x\u3000y", true},
                   {"1+1=2", 1, "     ", true},
               });
  BuildInputs no_allowed;
  RunCases(no_allowed, {{"ab\U0001F600cd", 1, "ab\U0001F600cd", true}});
}

TEST(SanitizeTextTest, RemovedCharactersSeparateWords) {
  BuildInputs in;
  in.assets = {{"allowedchars.txt", "abcdefghijklmnopqrstuvwxyz"}, {"1.filter.csv", "bad"}};
  RunCases(in, {
                   {"b\U0001F600a\U0001F600d", 1, "*****", true},
                   {"x\U0001F600bad", 1, "x ***", true},
               });
}

TEST(SanitizeTextTest, AggressiveScan) {
  BuildInputs in;
  in.assets = {
      {"1.filter.csv", "crab, b'd, ab"},
      {"2.filter.csv", "crabbed"},
      {"2.whitelist.csv", "scrabbled"},
  };
  RunCases(in, {
                   {"scrabbled", 1, "s****bled", false, true},
                   {"SCRABBLED", 1, "S****BLED", false, true},
                   {"scrabbled", 1, "scrabbled"},  // the normal scan finds no embedded word
                   {"crabbed", 2, "*******", false, true},
                   {"b'd b d", 1, "*** b d", false, true},  // no match across a blank
                   {"cab", 1, "c**", false, true},
                   {"crab", 0, "crab", false, true},
               });
  in.whitelist_enabled = true;
  RunCases(in, {
                   {"scrabbled", 1, "s****bled", false, true},  // whitelist of level 2
                   {"scrabbled", 2, "scrabbled", false, true},
                   {"scrabbled crab", 2, "scrabbled ****", false, true},
                   {"crabbed", 2, "*******", false, true},
               });
}

// Every blank of the whitelisted copy is restored from the working text, the blanks that
// were there before included: a filter entry that spans a blank (the list text "q  .b" holds
// the entry "q  .b") is masked only outside the whitelisted stretch and its blanks.
TEST(SanitizeTextTest, WhitelistRestoresEveryBlank) {
  BuildInputs in;
  in.whitelist_enabled = true;
  in.assets = {{"0.filter.csv", "q  .b"}, {"0.whitelist.csv", "x"}};
  RunCases(in, {
                   {"q x.b", 0, "* x**", false, true},
                   {"q y.b", 0, "* y.b", false, true},
               });
}

TEST(ContainsSanitizedTest, Table) {
  BuildInputs in;
  in.whitelist_enabled = true;
  in.assets = {
      {"allowedchars.txt", "abcdefghijklmnopqrstuvwxyz "},
      {"1.filter.csv", "crab, x"},
      {"1.whitelist.csv", "scrabbled"},
  };
  const auto utils = testing::MakeUtils(in.assets);
  const auto engine = testing::Build(in, utils);
  const auto reference = testing::BuildReference(in, utils);
  struct ContainsCase {
    std::string text;
    uint32_t level;
    bool embedded;
    bool remove;
    bool aggressive;
    bool expected;
  };
  const ContainsCase cases[] = {
      {"", 1, false, false, false, false},
      {"a crab", 1, false, false, false, true},
      {"a crab", 0, false, false, false, false},
      {"scrabbled", 1, false, false, false, false},
      {"scrabbled", 1, true, false, false, true},
      {"scrabbled", 1, false, false, true, false},  // whitelisted
      {"scrubbed", 1, false, false, true, false},
      {"cr ab", 1, true, false, false, true},            // across the text's own word boundary
      {"crab", 1, true, false, true, false},             // the spaced text breaks longer entries
      {"axb", 1, true, false, true, true},               // one-code-point entries still match
      {"hello\U0001F600", 1, false, true, false, true},  // removal alone sets the flag
      {"hello\U0001F600", 1, false, false, false, false},
      {"hello\U0001F600", 1, true, true, true, true},
  };
  for (const ContainsCase& c : cases) {
    const std::u32string text = U32(c.text);
    EXPECT_EQ(ContainsSanitized(*engine, text, c.level, c.embedded, c.remove, c.aggressive),
              c.expected)
        << "text: " << c.text << " embedded " << c.embedded << " aggressive " << c.aggressive;
    EXPECT_EQ(
        reference::ContainsSanitized(*reference, text, c.level, c.embedded, c.remove, c.aggressive),
        c.expected)
        << "reference, text: " << c.text;
  }
}

TEST(ScanWordsTest, ReportsTheWidestMaskedSpanPerWordEnd) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "bad, verybad, badday"}};
  const auto engine = testing::Build(in);
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  ScanWords(*engine, U"very bad day", 1, kDefaultMaxWords,
            [&](std::size_t first, std::size_t last) { spans.emplace_back(first, last); });
  EXPECT_EQ(spans, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 7}, {5, 11}}));
}

// Lowering U+0130 gives two code points; marks found in the lowered copy must land on the
// source positions the match came from, never past the target and never on code points the
// match did not cover.
TEST(RegressionTest, LowerTextLengthChangeMarksSourcePositions) {
  BuildInputs in;
  in.assets = {{"1.filter.csv", "bad, i"}};
  RunCases(in, {
                   {"\u0130 bad", 1, "* ***", false, true},
                   {"\u0130\u0130\u0130bad", 1, "******", false, true},
                   {"\u0130\u0130\u0130xbad", 1, "***x***", false, true},
                   {"bad \u0130", 1, "*** *", false, true},
               });
  BuildInputs only_bad;
  only_bad.assets = {{"1.filter.csv", "bad"}};
  RunCases(only_bad, {
                         {"\u0130 bad", 1, "\u0130 ***", false, true},
                         {"\u0130\u0130\u0130bad", 1, "\u0130\u0130\u0130***", false, true},
                         {"\u0130\u0130\u0130bax", 1, "\u0130\u0130\u0130bax", false, true},
                     });

  // MarkMatches on its own, with a target shorter than the lowered source.
  WordTrie trie;
  trie.Insert(U"bad");
  std::u32string target = U"\u0130\u0130\u0130\u0130bad";
  EXPECT_TRUE(MarkMatches(trie, target, std::u32string(target), U'#'));
  EXPECT_EQ(target, U"\u0130\u0130\u0130\u0130###");
  std::u32string short_target = U"....";
  EXPECT_TRUE(MarkMatches(trie, short_target, U"xxxbad", U'#'));
  EXPECT_EQ(short_target, U"...#");
}

// The embedded scan runs over a text with a blank after every code point and as many words
// per span as the text has code points; bounded spans and running keys keep it linear. A
// cubic scan would not finish these in any reasonable time.
TEST(RegressionTest, EmbeddedScanOfLongTextStaysLinear) {
  BuildInputs in;
  in.assets = {{"projectedchars.txt", "@a"}, {"1.filter.csv", "needle, '"}};
  const auto engine = testing::Build(in);
  std::u32string hay(40000, U'h');
  EXPECT_FALSE(ContainsSanitized(*engine, hay, 1, true, false, false));
  EXPECT_TRUE(ContainsSanitized(*engine, hay + U"needle", 1, true, false, false));
  // Runs of code points that enter no key, or only one of the two keys.
  std::u32string quotes(20000, U'\'');
  EXPECT_TRUE(ContainsSanitized(*engine, quotes, 1, true, false, false));
  std::u32string ats(20000, U'@');
  EXPECT_TRUE(ContainsSanitized(*engine, ats, 1, true, false, false));
  std::u32string out;
  std::u32string mixed;
  for (int i = 0; i < 5000; ++i) mixed += U"' @ ";
  EXPECT_TRUE(SanitizeText(*engine, out, mixed, 1, false, false, 100000));
}

// A key stops at U+0000, so every span from a start before one has the key of the text up to
// it, however far it reaches. With the embedded scan's window (as many words as the text has
// code points) that once sent such texts down the literal path, whose work grows with the cube
// of the length; these would not finish. Each start before a U+0000 is now decided once.
TEST(RegressionTest, EmbeddedScanOfLongTextWithNulStaysLinear) {
  using namespace std::string_literals;
  BuildInputs in;
  in.assets = {{"1.filter.csv", "needle, bad"}, {"1.unfilter.csv", "badx"}};
  const auto utils = testing::MakeUtils(in.assets);
  const auto engine = testing::Build(in, utils);
  std::u32string hay(40000, U'h');
  hay[20000] = U'\0';
  EXPECT_FALSE(ContainsSanitized(*engine, hay, 1, true, false, false));
  std::u32string with_needle = hay;
  with_needle.replace(30000, 6, U"needle");
  EXPECT_TRUE(ContainsSanitized(*engine, with_needle, 1, true, false, false));
  // "needle" cut by U+0000: the spans over it have the key of "nee" or of what follows.
  std::u32string cut = hay;
  cut.replace(19997, 6, U"nee\0dle"s);
  EXPECT_FALSE(ContainsSanitized(*engine, cut, 1, true, false, false));

  // Spans from a start before U+0000 keep the key of "bad" up to the end of the window; the
  // exempt key "badx" is never reached, since the key stops first.
  const auto reference = testing::BuildReference(in, utils);
  std::u32string tail;
  for (int i = 0; i < 40; ++i) tail += U" x";
  const std::vector<std::u32string> texts = {U"bad\0"s + tail, U"a bad\0x"s + tail,
                                             tail + U" bad\0"s + tail, U"\0bad"s + tail};
  for (const std::u32string& text : texts) {
    for (const uint32_t max_words : {65u, 1000u}) {
      std::u32string out;
      std::u32string expected;
      EXPECT_EQ(SanitizeText(*engine, out, text, 1, false, false, max_words),
                reference::SanitizeText(*reference, expected, text, 1, false, false, max_words));
      EXPECT_EQ(out, expected) << "max words " << max_words << " text " << U8(text);
    }
  }
  std::u32string out;
  EXPECT_TRUE(SanitizeText(*engine, out, U"bad\0"s + tail, 1, false, false, 1000));
  EXPECT_EQ(out, std::u32string(4 + tail.size(), U'*'));
  std::u32string long_tail;
  for (int i = 0; i < 20000; ++i) long_tail += U" x";
  EXPECT_TRUE(SanitizeText(*engine, out, U"bad\0"s + long_tail, 1, false, false, 100000));
  EXPECT_EQ(out.find_first_not_of(U'*'), std::u32string::npos);
}

// The same engine, texts and options give the same outputs on several threads at once as on
// one thread.
TEST(RegressionTest, ConcurrentScansGiveTheSameResults) {
  BuildInputs in;
  in.whitelist_enabled = true;
  in.assets = {
      {"projectedchars.txt", "@a $s"},
      {"allowedchars.txt", "abcdefghijklmnopqrstuvwxyz"},
      {"1.filter.csv", "bad, crab, ass"},
      {"1.whitelist.csv", "scrabble, class"},
  };
  const auto engine = testing::Build(in);
  const std::vector<std::u32string> texts = {
      U"a b@d crab in a scrabble class",
      U"\u0130 bad \U0001F600 b a d",
      U"no match here",
      std::u32string(3000, U'x') + U" bad",
      U"$$ a$$ cl@ss",
  };
  struct Result {
    std::vector<std::u32string> outputs;
    std::vector<bool> flags;
    bool operator==(const Result&) const = default;
  };
  auto run = [&] {
    Result result;
    for (const std::u32string& text : texts) {
      for (const bool aggressive : {false, true}) {
        for (const bool remove : {false, true}) {
          std::u32string out;
          result.flags.push_back(SanitizeText(*engine, out, text, 1, remove, aggressive, 5));
          result.outputs.push_back(out);
          result.flags.push_back(
              ContainsSanitized(*engine, text.substr(0, 200), 1, true, remove, aggressive));
        }
      }
    }
    return result;
  };
  const Result expected = run();
  constexpr int kThreads = 4;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        if (!(run() == expected)) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace sanitizer
