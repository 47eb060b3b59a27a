// Tests of the word-span iterator: the spans of texts and of list texts.
#include "Plugins/nbx-be-sanitizer/engine/word_span_iterator.h"

#include <gtest/gtest.h>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::MakeUtils;
using testing::U8;

std::vector<WordSpan> Collect(WordSpanIterator& spans) {
  std::vector<WordSpan> out;
  while (const auto span = spans.Next()) out.push_back(*span);
  return out;
}

std::string Show(const std::vector<WordSpan>& spans) {
  std::string out;
  for (const WordSpan& s : spans)
    out += std::to_string(s.first) + "-" + std::to_string(s.last) + " ";
  return out;
}

TEST(WordSpanIteratorTest, TextSpans) {
  const auto utils = MakeUtils(Assets{{"projectedchars.txt", "@a"}});
  struct Case {
    std::u32string text;
    uint32_t max_words;
    std::vector<WordSpan> expected;
  };
  const Case cases[] = {
      {U"", 5, {}},
      {U"   ", 5, {}},
      {U"a", 5, {{0, 0}}},
      {U"bad", 5, {{0, 2}}},
      {U"very bad day", 5, {{0, 3}, {0, 7}, {5, 7}, {0, 11}, {5, 11}, {9, 11}}},
      {U"very bad day", 2, {{0, 3}, {0, 7}, {5, 7}, {5, 11}, {9, 11}}},
      {U"very bad day", 1, {{0, 3}, {5, 7}, {9, 11}}},
      {U"very bad day", 0, {{0, 3}, {5, 7}, {9, 11}}},  // taken as 1
      {U"  a, b!", 5, {{2, 2}, {2, 5}, {5, 5}}},
      {U"don't", 5, {{0, 4}}},
      {U"b@d", 5, {{0, 0}, {0, 2}, {2, 2}}},  // "@" ends "b" but starts no word
      {U"b@d", 1, {{0, 0}, {2, 2}}},
      {U"@@", 5, {{0, 0}, {0, 1}, {1, 1}}},
      {U"a..b", 5, {{0, 0}, {0, 3}, {3, 3}}},
  };
  for (const Case& c : cases) {
    WordSpanIterator spans(c.text, utils, c.max_words);
    const auto got = Collect(spans);
    EXPECT_EQ(got, c.expected) << "text: " << U8(c.text) << " got " << Show(got);
    const CharTables& tables = utils->tables();
    EXPECT_EQ(reference::AllSpans(
                  c.text, c.max_words == 0 ? 1 : c.max_words,
                  [&](char32_t ch) { return reference::IsWordChar(tables, ch); },
                  [&](char32_t ch) { return reference::IsSeparator(tables, ch); }),
              c.expected)
        << "reference, text: " << U8(c.text);
  }
}

// List texts: one word per span, separated by commas and white space only. A token that
// starts with a non-word character starts nothing; its end joins the previous entry's start.
TEST(WordSpanIteratorTest, ListTextSpans) {
  const auto utils = MakeUtils(Assets{});
  struct Case {
    std::u32string text;
    std::vector<std::u32string> entries;
  };
  const Case cases[] = {
      {U"a, b c\nd", {U"a", U"b", U"c", U"d"}},
      {U",,a,,", {U"a"}},
      {U"b.a.d", {U"b.a.d"}},
      {U"bad .xyz", {U"bad", U"bad .xyz"}},    // ".xyz" closes a span from "bad"
      {U".xyz bad", {U"bad"}},                 // first token: nothing
      {U"bad xyz. abc", {U"bad", U"abc"}},     // "xyz." is never ended
      {U"bad xyz. .q", {U"bad", U"xyz. .q"}},  // ... but ".q" ends the span from "xyz."
      {U"don't, rock-n-roll", {U"don't", U"rock-n-roll"}},
      {U"'quoted'", {U"'quoted'"}},
      {U"#tag", {}},
  };
  for (const Case& c : cases) {
    WordSpanIterator spans(
        c.text, utils, 1, 0, [&](char32_t ch) { return utils->IsWordChar(ch); },
        [](char32_t ch) { return SanitizerUtils::IsListSeparator(ch); });
    std::vector<std::u32string> got;
    for (const WordSpan& s : Collect(spans))
      got.push_back(c.text.substr(s.first, s.last - s.first + 1));
    EXPECT_EQ(got, c.entries) << "text: " << U8(c.text);
  }
}

}  // namespace
}  // namespace sanitizer
