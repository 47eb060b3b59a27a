// Tests of the word trie: longest matches per level, unmarking, counts, and the shortcuts of
// the walk (the first-step array, the two- and three-code-point bitmaps).
#include "Plugins/nbx-be-sanitizer/engine/word_trie.h"

#include <gtest/gtest.h>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"

namespace sanitizer {
namespace {

TEST(WordTrieTest, LongestMatchTable) {
  WordTrie trie;
  trie.Insert(U"b", 3);
  trie.Insert(U"ba", 2);
  trie.Insert(U"bad", 1);
  trie.Insert(U"badly", 0);
  trie.Insert(U"Xy", 0);  // lower-cased on the way in
  trie.Insert(U"\u00E9t\u00E9", 1);
  trie.Insert(U"\u0436\u0443", 0);  // a non-ASCII first code point
  trie.Insert(U"q'-", 0);
  struct Case {
    std::u32string text;
    std::size_t position;
    uint32_t level;
    std::size_t expected;
  };
  const Case cases[] = {
      {U"badly", 0, WordTrie::kAllLevels, 5},
      {U"badly", 0, 0, 5},
      {U"badlx", 0, 0, 0},
      {U"badlx", 0, 1, 3},
      {U"badlx", 0, 2, 3},
      {U"bax", 0, 1, 0},
      {U"bax", 0, 2, 2},
      {U"bx", 0, 3, 1},
      {U"bx", 0, 2, 0},
      {U"bxy", 0, 3, 1},  // "bx" begins no path: only the first code point ends an entry
      {U"bxy", 0, 2, 0},
      {U"b", 0, 3, 1},
      {U"ba", 0, 3, 2},
      {U"xbad", 1, 1, 3},
      {U"xy", 0, 0, 2},
      {U"Xy", 0, 0, 0},  // the text must be lowered
      {U"\u00E9t\u00E9!", 0, 1, 3},
      {U"\u00E9t", 0, 1, 0},
      {U"\u0436\u0443", 0, 0, 2},
      {U"\u0436", 0, 0, 0},
      {U"q'-", 0, 0, 3},
      {U"bad", 7, 3, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trie.LongestMatch(c.text, c.position, c.level), c.expected)
        << "text: " << testing::U8(c.text) << " at " << c.position << " level " << c.level;
  }
  EXPECT_EQ(trie.word_count(), 8u);
  EXPECT_EQ(trie.word_count(0), 4u);
  EXPECT_EQ(trie.word_count(1), 6u);
}

TEST(WordTrieTest, TerminalsKeepTheirLowestLevelAndUnmarkTakesThemOut) {
  WordTrie trie;
  trie.Insert(U"crab", 2);
  trie.Insert(U"crab", 1);
  trie.Insert(U"crab", 3);
  EXPECT_EQ(trie.LongestMatch(U"crab", 0, 1), 4u);
  EXPECT_EQ(trie.LongestMatch(U"crab", 0, 0), 0u);
  trie.Unmark(U"CRAB");
  EXPECT_EQ(trie.LongestMatch(U"crab", 0), 0u);
  EXPECT_EQ(trie.word_count(), 0u);
  trie.Unmark(U"crabs");  // no such path: nothing happens
  trie.Unmark(U"");
  EXPECT_EQ(trie.node_count(), 5u);
}

// A path of two code points made by a longer entry, marked terminal afterwards, is found
// although no entry of two code points was ever inserted.
TEST(WordTrieTest, PairMarkedTerminalAfterALongerEntry) {
  for (const std::u32string& longer : {std::u32string(U"abc"), std::u32string(U"\u00E9bc")}) {
    WordTrie trie;
    trie.Insert(longer);
    const std::u32string pair = longer.substr(0, 2);
    EXPECT_EQ(trie.LongestMatch(pair + U"x", 0), 0u);
    trie.MarkTerminal(trie.FindPath(pair), 0);
    EXPECT_EQ(trie.LongestMatch(pair + U"x", 0), 2u) << testing::U8(longer);
    EXPECT_EQ(trie.LongestMatch(pair, 0), 2u) << testing::U8(longer);
    EXPECT_EQ(trie.LongestMatch(longer, 0), 3u) << testing::U8(longer);
  }
}

TEST(WordTrieTest, ManyEntriesGrowTheTable) {
  WordTrie trie;
  for (char32_t a = U'a'; a <= U'z'; ++a) {
    for (char32_t b = U'a'; b <= U'z'; ++b) trie.Insert(std::u32string{a, b, U'x', a});
  }
  EXPECT_EQ(trie.word_count(), 26u * 26u);
  EXPECT_EQ(trie.LongestMatch(U"qzxq", 0), 4u);
  EXPECT_EQ(trie.LongestMatch(U"qzxr", 0), 0u);
  EXPECT_EQ(trie.FindPath(U"mn"), trie.FindPath(U"MN"));
  EXPECT_NE(trie.FindPath(U"mn"), 0u);
  EXPECT_EQ(trie.FindPath(U"mnq"), 0u);
}

// The ASCII pairs that begin paths of three or more each get a set of the third code points
// that follow; past the number of sets available, a pair gets the set of all third code points
// (which only sends the walk to look). Entries of every pair must still be found, and only
// they.
TEST(WordTrieTest, MorePairsThanSetsOfThirds) {
  std::vector<char32_t> codes;
  for (char32_t c = 1; c < 128; ++c) {
    if (c < U'A' || c > U'Z') codes.push_back(c);  // upper case would be lowered onto others
  }
  ASSERT_GT(codes.size() * codes.size(), 8192u);
  WordTrie trie;
  for (const char32_t a : codes) {
    for (const char32_t b : codes) trie.Insert(std::u32string{a, b, U'x', U'y'});
  }
  for (const char32_t a : codes) {
    for (const char32_t b : codes) {
      const std::u32string entry{a, b, U'x', U'y'};
      ASSERT_EQ(trie.LongestMatch(entry, 0), 4u) << int(a) << " " << int(b);
      ASSERT_EQ(trie.LongestMatch(std::u32string{a, b, U'w', U'y'}, 0), 0u);
      ASSERT_EQ(trie.LongestMatch(std::u32string{a, b, U'x', U'z'}, 0), 0u);
    }
  }
}

}  // namespace
}  // namespace sanitizer
