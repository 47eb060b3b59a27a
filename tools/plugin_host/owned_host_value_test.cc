#include "tools/plugin_host/owned_host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace plugin_host {
namespace {

// Host values laid out by hand, the way a plug-in hands them over (borrowed texts and blobs,
// arrays it owns).
HostValue Text(const char* text, uint32_t tag = kHostValueStringBorrowed) {
  HostValue v{};
  v.tag = tag;
  v.payload.span.data = text;
  v.payload.span.count = static_cast<uint32_t>(std::strlen(text));
  return v;
}
HostValue Unsigned(uint64_t u) {
  HostValue v{};
  v.tag = kHostValueUnsigned;
  v.payload.unsigned_value = u;
  return v;
}
HostValue Span(uint32_t tag, const void* data, uint32_t count) {
  HostValue v{};
  v.tag = tag;
  v.payload.span.data = data;
  v.payload.span.count = count;
  return v;
}

TEST(OwnedHostValueTest, BuildersMakeOwnedTagsAndKeepStructureOrder) {
  const OwnedHostValue value = OwnedHostValue::Structure({
      {"b", OwnedHostValue::String("text")},
      {"a",
       OwnedHostValue::Collection({OwnedHostValue::Bool(true), OwnedHostValue::Signed(-5),
                                   OwnedHostValue::Unsigned(7), OwnedHostValue::Float(0.5),
                                   OwnedHostValue::Blob(std::string("\0x", 2)), OwnedHostValue()})},
  });
  const HostValueView view = value.view();
  EXPECT_EQ(view.tag(), uint32_t{kHostValueStructure});
  ASSERT_EQ(view.size(), 2u);
  EXPECT_EQ(view.key(0), "b");
  EXPECT_EQ(view.key(1), "a");
  const auto* entries = static_cast<const HostStructureEntry*>(value.get().payload.span.data);
  EXPECT_EQ(entries[0].key_owned, 1);
  EXPECT_EQ(view.value(0).tag(), uint32_t{kHostValueStringOwned});
  EXPECT_EQ(view.value(0).AsString(), "text");
  // Owned texts carry their NUL after the counted bytes.
  EXPECT_EQ(static_cast<const char*>(view.value(0).get()->payload.span.data)[4], '\0');
  const HostValueView list = view.value(1);
  ASSERT_EQ(list.size(), 6u);
  EXPECT_TRUE(list[0].AsBool());
  EXPECT_EQ(list[1].AsSigned(), -5);
  EXPECT_EQ(list[2].AsUnsigned(), 7u);
  EXPECT_EQ(list[3].AsFloat(), 0.5);
  EXPECT_EQ(list[4].tag(), uint32_t{kHostValueBlobOwned});
  EXPECT_EQ(list[4].AsString(), std::string("\0x", 2));
  EXPECT_TRUE(list[5].IsEmpty());
}

TEST(OwnedHostValueTest, CopyOfABorrowedValueOwnsEverything) {
  const char* key = "name";
  std::vector<HostValue> elements = {Text("one"), Span(kHostValueBlobBorrowed, "\x01\x02", 2),
                                     Unsigned(1ull << 40)};
  HostStructureEntry entries[2] = {};
  entries[0].key = key;
  entries[0].value = Span(kHostValueCollection, elements.data(), 3);
  entries[1].key = nullptr;  // a null key reads as empty
  entries[1].value = Text("x", kHostValueStringOwned);
  const HostValue root = Span(kHostValueStructure, entries, 2);

  Result<OwnedHostValue> copy = OwnedHostValue::CopyOf(HostValueView(&root));
  ASSERT_TRUE(copy.ok()) << copy.error();
  const HostValueView view = copy->view();
  EXPECT_TRUE(view == HostValueView(&root));
  // Nothing of the copy points into the original.
  EXPECT_NE(view.value(0).get()->payload.span.data, elements.data());
  EXPECT_EQ(view.value(0)[0].tag(), uint32_t{kHostValueStringOwned});
  EXPECT_EQ(view.value(0)[1].tag(), uint32_t{kHostValueBlobOwned});
  EXPECT_NE(view.value(0)[0].AsString().data(), elements[0].payload.span.data);
  EXPECT_EQ(view.key(1), "");
  elements[0] = Text("changed");
  EXPECT_EQ(view.value(0)[0].AsString(), "one");
}

// A copy (with its checks) and the in-place check must agree on what is malformed.
TEST(OwnedHostValueTest, MalformedValuesAreRefusedWithTheirPlace) {
  HostValue bad_tag{};
  bad_tag.tag = 11;
  std::vector<HostValue> three = {Unsigned(1), Unsigned(2), bad_tag};
  HostStructureEntry member{};
  member.key = "items";
  member.value = Span(kHostValueCollection, three.data(), 3);
  HostStructureEntry null_text{};
  null_text.key = "t";
  null_text.value = Span(kHostValueStringBorrowed, nullptr, 5);

  // 600 collections, each holding the next.
  std::vector<HostValue> chain(600);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i] = Span(kHostValueCollection, &chain[i + 1], 1);
  }

  struct Case {
    const char* name;
    HostValue value;
    const char* message;
  };
  const Case cases[] = {
      {"unknown tag in a member's list", Span(kHostValueStructure, &member, 1),
       "unknown host value tag 11 at .items[2]"},
      {"unknown tag at the root", bad_tag, "unknown host value tag 11"},
      {"null text with a count", Span(kHostValueStructure, &null_text, 1),
       "a null pointer for a text of 5 bytes at .t"},
      {"null blob with a count", Span(kHostValueBlobOwned, nullptr, 1),
       "a null pointer for a blob of 1 bytes"},
      {"null collection with a count", Span(kHostValueCollection, nullptr, 2),
       "a null pointer for a collection of 2 items"},
      {"null structure with a count", Span(kHostValueStructure, nullptr, 2),
       "a null pointer for a structure of 2 items"},
      {"too deep", chain[0], "values nested deeper than 512 at "},
  };
  for (const Case& c : cases) {
    Result<OwnedHostValue> copy = OwnedHostValue::CopyOf(HostValueView(&c.value));
    ASSERT_FALSE(copy.ok()) << c.name;
    EXPECT_EQ(copy.error().rfind(c.message, 0), 0u) << c.name << ": " << copy.error();
    const Status checked = CheckHostValue(HostValueView(&c.value));
    ASSERT_FALSE(checked.ok()) << c.name;
    EXPECT_EQ(checked.message(), copy.error()) << c.name;
  }
  // Empty arrays and texts may have null pointers.
  const HostValue empty_list = Span(kHostValueCollection, nullptr, 0);
  const HostValue empty_text = Span(kHostValueStringBorrowed, nullptr, 0);
  EXPECT_TRUE(OwnedHostValue::CopyOf(HostValueView(&empty_list)).ok());
  EXPECT_TRUE(CheckHostValue(HostValueView(&empty_text)).ok());
  // 512 containers inside each other are accepted, 513 are not (chain[598] is the innermost).
  EXPECT_TRUE(CheckHostValue(HostValueView(&chain[599 - 512])).ok());
  EXPECT_TRUE(OwnedHostValue::CopyOf(HostValueView(&chain[599 - 512])).ok());
  EXPECT_FALSE(CheckHostValue(HostValueView(&chain[599 - 513])).ok());
}

TEST(OwnedHostValueTest, CopyOfStopsAtItsByteLimit) {
  std::string big(1000, 'x');
  const HostValue text = Span(kHostValueStringBorrowed, big.data(), 1000);
  std::vector<HostValue> many(10, text);
  const HostValue list = Span(kHostValueCollection, many.data(), 10);
  CopyLimits limits;
  limits.max_bytes = 5000;
  Result<OwnedHostValue> copy = OwnedHostValue::CopyOf(HostValueView(&list), limits);
  ASSERT_FALSE(copy.ok());
  EXPECT_EQ(copy.error(), "a value larger than the limit of 5000 bytes at [4]");
  limits.max_bytes = 20000;
  EXPECT_TRUE(OwnedHostValue::CopyOf(HostValueView(&list), limits).ok());
}

TEST(OwnedHostValueTest, CopiesAreDeepAndMovesLeaveEmpty) {
  OwnedHostValue original = OwnedHostValue::Collection(
      {OwnedHostValue::String("a"), OwnedHostValue::Structure({{"k", OwnedHostValue::Blob("b")}})});
  OwnedHostValue copy = original;
  EXPECT_TRUE(copy.view() == original.view());
  EXPECT_NE(copy.view()[0].AsString().data(), original.view()[0].AsString().data());
  OwnedHostValue moved = std::move(original);
  EXPECT_TRUE(original.view().IsEmpty());  // NOLINT: the moved-from state is specified
  EXPECT_TRUE(moved.view() == copy.view());
  copy = moved;  // assignment over a value that owns something
  EXPECT_TRUE(copy.view() == moved.view());
}

TEST(OwnedHostValueTest, ViewsReadMalformedValuesSafely) {
  const HostValue null_list = Span(kHostValueCollection, nullptr, 3);
  EXPECT_EQ(HostValueView(&null_list).size(), 0u);
  EXPECT_TRUE(HostValueView(&null_list)[0].IsEmpty());
  const HostValue null_text = Span(kHostValueStringOwned, nullptr, 3);
  EXPECT_EQ(HostValueView(&null_text).AsString(), "");
  HostValue unknown{};
  unknown.tag = 99;
  EXPECT_EQ(HostValueView(&unknown).kind(), HostValueKind::kUnknown);
  EXPECT_EQ(HostValueView(&unknown).size(), 0u);
  EXPECT_TRUE(HostValueView(nullptr).IsEmpty());
  // Reading a scalar of another kind gives 0 or false.
  const OwnedHostValue text = OwnedHostValue::String("7");
  EXPECT_EQ(text.view().AsUnsigned(), 0u);
  EXPECT_FALSE(text.view().AsBool());
  EXPECT_EQ(text.view().size(), 0u);
}

TEST(OwnedHostValueTest, FindTakesTheLastOfARepeatedKey) {
  const OwnedHostValue value = OwnedHostValue::Structure({{"a", OwnedHostValue::Unsigned(1)},
                                                          {"b", OwnedHostValue::Unsigned(2)},
                                                          {"a", OwnedHostValue::Unsigned(3)}});
  ASSERT_TRUE(value.view().Find("a").has_value());
  EXPECT_EQ(value.view().Find("a")->AsUnsigned(), 3u);
  EXPECT_FALSE(value.view().Find("c").has_value());
  EXPECT_FALSE(OwnedHostValue::Unsigned(1).view().Find("a").has_value());
}

TEST(OwnedHostValueTest, EqualityComparesContentNotOwnership) {
  const HostValue borrowed = Text("ab");
  EXPECT_TRUE(HostValueView(&borrowed) == OwnedHostValue::String("ab").view());
  EXPECT_FALSE(OwnedHostValue::String("ab").view() == OwnedHostValue::Blob("ab").view());
  EXPECT_FALSE(OwnedHostValue::Signed(1).view() == OwnedHostValue::Unsigned(1).view());
  const OwnedHostValue ab =
      OwnedHostValue::Structure({{"a", OwnedHostValue::Bool(true)}, {"b", OwnedHostValue()}});
  const OwnedHostValue ba =
      OwnedHostValue::Structure({{"b", OwnedHostValue()}, {"a", OwnedHostValue::Bool(true)}});
  EXPECT_FALSE(ab.view() == ba.view());
  EXPECT_TRUE(ab.view() == OwnedHostValue(ab).view());
}

}  // namespace
}  // namespace plugin_host
