// Tests of TextList as a container: appending (plain and written in place), growth past a
// reservation, texts with NUL bytes and empty texts, copies, moves and equality. Its
// conversions are checked against std::vector<std::string> in native_conversion_test.cc.
#include "sdk/binding/text_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sdk::binding {
namespace {

std::vector<std::string> Texts(const TextList& list) {
  return std::vector<std::string>(list.begin(), list.end());
}

TEST(TextListTest, KeepsEachTextWhateverItHolds) {
  using namespace std::string_view_literals;
  const std::vector<std::string> texts = {"", "one", std::string("a\0b", 3), "", "last"};
  TextList list;
  for (const std::string& text : texts) list.Append(text);
  ASSERT_EQ(list.size(), texts.size());
  EXPECT_EQ(Texts(list), texts);
  EXPECT_EQ(list.bytes(), "onea\0blast"sv);
  EXPECT_EQ(list[2], "a\0b"sv);
  EXPECT_EQ(list.end() - list.begin(), 5);
}

// A text written in place may be shorter than the room asked for; a writer that gives up
// leaves the list as it was. Both keep working past the reservation, where the buffer grows
// and the texts written before move with it.
TEST(TextListTest, AppendWrittenTakesWhatWasWritten) {
  TextList list;
  list.Reserve(2, 4);
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    const std::string text = "text " + std::to_string(i);
    ASSERT_TRUE(list.AppendWritten(4 * text.size(), [&text](char* out) {
      std::memcpy(out, text.data(), text.size());
      return out + text.size();
    }));
    expected.push_back(text);
    EXPECT_FALSE(list.AppendWritten(64, [](char* out) {
      std::memset(out, 'x', 64);  // scribbles on the room, then gives up
      return static_cast<char*>(nullptr);
    }));
  }
  EXPECT_EQ(Texts(list), expected);
}

TEST(TextListTest, CopiesAreDeepAndMovesEmptyTheSource) {
  TextList list = {"first", "", "third"};
  TextList copy = list;
  EXPECT_EQ(copy, list);
  EXPECT_NE(copy.bytes().data(), list.bytes().data());
  copy.Append("more");
  EXPECT_NE(copy, list);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"first", "", "third"}));

  TextList moved = std::move(copy);
  EXPECT_EQ(Texts(moved), (std::vector<std::string>{"first", "", "third", "more"}));
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  copy.Append("again");
  EXPECT_EQ(Texts(copy), std::vector<std::string>{"again"});

  list = moved;
  EXPECT_EQ(list, moved);
  list.Clear();
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.bytes().empty());
}

// Lists with the same bytes cut differently are different lists.
TEST(TextListTest, EqualityComparesTheTextsNotJustTheBytes) {
  EXPECT_EQ((TextList{"ab", "c"}), (TextList{"ab", "c"}));
  EXPECT_NE((TextList{"ab", "c"}), (TextList{"a", "bc"}));
  EXPECT_NE((TextList{"abc"}), (TextList{"abc", ""}));
  EXPECT_EQ(TextList{}, TextList{});
}

}  // namespace
}  // namespace sdk::binding
