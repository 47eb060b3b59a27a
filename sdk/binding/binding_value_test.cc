// Tests of BindingValue: kinds and sizes, interning counts, containers and member order, copy
// and move (between roots and into trees, aliasing included), text form and truth value,
// length errors, trees deeper than any reader allows, and filling a tree through a TreeBuilder.
#include "sdk/binding/binding_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace sdk::binding {
namespace {

using Setter = std::function<void(BindingValue&)>;

TEST(ValueKindTest, NamesByCode) {
  const char* const kNames[] = {"empty",  "bool", "signed", "unsigned",   "float",
                                "string", "blob", "enum",   "collection", "structure"};
  for (int code = 0; code < 10; ++code) {
    EXPECT_EQ(ValueKindName(static_cast<ValueKind>(code)), kNames[code]) << "code " << code;
  }
  EXPECT_EQ(ValueKindName(static_cast<ValueKind>(10)), "");
  EXPECT_EQ(ValueKindName(static_cast<ValueKind>(255)), "");
}

struct KindCase {
  const char* name;
  Setter set;
  ValueKind kind;
  size_t size;
};

TEST(BindingValueTest, KindAndSizeOfEachSetter) {
  const KindCase kCases[] = {
      {"fresh", [](BindingValue&) {}, ValueKind::kEmpty, 0},
      {"bool", [](BindingValue& v) { v.SetBool(false); }, ValueKind::kBool, 1},
      {"signed", [](BindingValue& v) { v.SetSigned(-7); }, ValueKind::kSigned, 1},
      {"unsigned", [](BindingValue& v) { v.SetUnsigned(7); }, ValueKind::kUnsigned, 1},
      {"float", [](BindingValue& v) { v.SetFloat(0.5); }, ValueKind::kFloat, 1},
      {"enum", [](BindingValue& v) { v.SetEnum(0, 0x1234); }, ValueKind::kEnum, 1},
      {"string", [](BindingValue& v) { v.SetString("hello"); }, ValueKind::kString, 5},
      {"empty string", [](BindingValue& v) { v.SetString(""); }, ValueKind::kString, 0},
      {"null text", [](BindingValue& v) { v.SetString(static_cast<const char*>(nullptr)); },
       ValueKind::kString, 0},
      {"NUL-terminated text", [](BindingValue& v) { v.SetString("ab\0c"); }, ValueKind::kString, 2},
      {"counted text", [](BindingValue& v) { v.SetString(std::string_view("ab\0c", 4)); },
       ValueKind::kString, 4},
      {"blob", [](BindingValue& v) { v.SetBlob("abc", 3); }, ValueKind::kBlob, 3},
      {"collection", [](BindingValue& v) { v.MakeCollection(); }, ValueKind::kCollection, 0},
      {"structure", [](BindingValue& v) { v.MakeStructure(); }, ValueKind::kStructure, 0},
      {"element(2)", [](BindingValue& v) { v.Element(2); }, ValueKind::kCollection, 3},
      {"two members",
       [](BindingValue& v) {
         v.Member("a");
         v.Member("b");
       },
       ValueKind::kStructure, 2},
      {"setter after container",
       [](BindingValue& v) {
         v.Element(5).SetString("x");
         v.SetSigned(1);
       },
       ValueKind::kSigned, 1},
      {"cleared",
       [](BindingValue& v) {
         v.Member("a").SetString("x");
         v.Clear();
       },
       ValueKind::kEmpty, 0},
  };
  for (const KindCase& c : kCases) {
    BindingValue value;
    c.set(value);
    EXPECT_EQ(value.kind(), c.kind) << c.name;
    EXPECT_EQ(value.Size(), c.size) << c.name;
    EXPECT_EQ(value.KindName(), ValueKindName(c.kind)) << c.name;
  }
}

TEST(BindingValueTest, ReadersOfAnotherKindGiveNeutralValues) {
  BindingValue value;
  value.Member("a").SetSigned(1);
  EXPECT_FALSE(value.GetBool());
  EXPECT_EQ(value.GetSigned(), 0);
  EXPECT_EQ(value.GetUnsigned(), 0u);
  EXPECT_EQ(value.GetFloat(), 0.0);
  EXPECT_EQ(value.GetString(), "");
  EXPECT_STREQ(value.GetCString(), "");
  EXPECT_TRUE(value.GetBlob().empty());
  EXPECT_EQ(value.GetEnum(), (EnumValue{0, 0}));
  EXPECT_TRUE(value.At(0).IsEmpty());

  BindingValue number;
  number.SetUnsigned(5);
  EXPECT_EQ(number.GetSigned(), 0) << "an unsigned value does not read as signed";
  number.SetEnum(-3, 0xABCDEF01u);
  EXPECT_EQ(number.GetEnum(), (EnumValue{-3, 0xABCDEF01u}));
  number.SetString(std::string_view("ab\0c", 4));
  EXPECT_EQ(number.GetString(), std::string_view("ab\0c", 4));
  EXPECT_STREQ(number.GetCString(), "ab");
}

TEST(BindingValueTest, BlobTakesOverVectorAndLeavesItEmpty) {
  std::vector<uint8_t> bytes = {1, 2, 3, 4};
  const uint8_t* storage = bytes.data();
  BindingValue value;
  value.SetBlob(std::move(bytes));
  EXPECT_TRUE(bytes.empty());
  ASSERT_EQ(value.Size(), 4u);
  EXPECT_EQ(value.GetBlob().data(), storage) << "the storage is taken over, not copied";
  // Setting a blob from its own bytes copies them before the old blob is released.
  value.SetBlob(value.GetBlob().subspan(1));
  EXPECT_EQ(std::vector<uint8_t>(value.GetBlob().begin(), value.GetBlob().end()),
            (std::vector<uint8_t>{2, 3, 4}));
}

// TextHash::Of against published FNV-1a values and against a plain byte loop, for every length
// around its eight-byte steps and for bytes of every value.
TEST(TextHashTest, IsFnv1aOfTheBytes) {
  struct Case {
    std::string_view text;
    uint32_t hash;
  };
  const Case kCases[] = {{"", 0x811C9DC5u}, {"a", 0xE40C292Cu}, {"foobar", 0xBF9CF968u}};
  for (const Case& c : kCases) EXPECT_EQ(TextHash::Of(c.text).value(), c.hash) << c.text;
  for (size_t length = 0; length <= 40; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
      text.push_back(static_cast<char>((i * 97 + length * 31) & 0xFF));
    uint32_t expected = 0x811C9DC5u;
    TextHash added;
    for (unsigned char c : text) {
      expected = (expected ^ c) * 16777619u;
      added = added.Add(c);
    }
    EXPECT_EQ(TextHash::Of(text).value(), expected) << "length " << length;
    EXPECT_EQ(added, TextHash::Of(text)) << "length " << length;
    EXPECT_EQ(added.Add(0).WithoutTrailingNul(), added) << "length " << length;
  }
}

// Texts with the same FNV-1a hash, of the same and of different lengths, are distinct entries.
TEST(InternTest, CollidingTextsStaySeparate) {
  ASSERT_EQ(TextHash::Of("declinate"), TextHash::Of("macallums"));
  ASSERT_EQ(TextHash::Of("costarring"), TextHash::Of("liquid"));
  BindingValue value;
  const char* const kTexts[] = {"declinate", "macallums", "costarring", "liquid", "macallums"};
  for (size_t i = 0; i < std::size(kTexts); ++i) value.Element(i).SetString(kTexts[i]);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 4u);
  EXPECT_EQ(value.InternedReferences("declinate"), 1u);
  EXPECT_EQ(value.InternedReferences("macallums"), 2u);
  EXPECT_EQ(value.InternedReferences("liquid"), 1u);
  for (size_t i = 0; i < std::size(kTexts); ++i) EXPECT_EQ(value.At(i).GetString(), kTexts[i]);
  value.Element(0).Clear();
  EXPECT_EQ(value.InternedReferences("declinate"), 0u);
  EXPECT_EQ(value.InternedReferences("macallums"), 2u);
}

TEST(InternTest, HashedSettersShareEntriesWithPlainOnes) {
  BindingValue value;
  value.Element(0).SetString("text");
  value.Element(1).SetString("text", TextHash::Of("text"));
  value.Element(2).Member("text", TextHash::Of("text")).SetString("", TextHash::Of(""));
  EXPECT_EQ(&value.Element(2).Member("text"), &value.At(2).FindMember("text"));
  EXPECT_EQ(value.At(2).Size(), 1u);
  value.Element(3).Member("", TextHash::Of("")).SetBool(true);
  EXPECT_TRUE(value.At(3).FindMember("").GetBool());
  EXPECT_EQ(value.InternedReferences("text"), 3u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 1u) << "the empty text is never interned";
  EXPECT_EQ(value.At(0).GetCString(), value.At(1).GetCString());
}

TEST(InternTest, EmptyTextNeverTouchesTheTable) {
  BindingValue value;
  value.SetString("");
  EXPECT_EQ(value.GetTreeStats().intern_buckets, 0u) << "no context was needed";
  value.Element(0).SetString("");
  value.Element(1).SetString(static_cast<const char*>(nullptr));
  EXPECT_EQ(value.GetTreeStats().interned_texts, 0u);
  EXPECT_EQ(value.InternedReferences(""), 0u);
}

TEST(InternTest, SameTextIsStoredOnceAndCounted) {
  BindingValue value;
  value.Element(0).SetString("abc");
  value.Element(1).SetString("abc");
  EXPECT_EQ(value.GetTreeStats().interned_texts, 1u);
  EXPECT_EQ(value.InternedReferences("abc"), 2u);
  EXPECT_EQ(value.At(0).GetCString(), value.At(1).GetCString()) << "one shared entry";

  value.Element(0).Clear();
  EXPECT_EQ(value.InternedReferences("abc"), 1u);
  value.Element(1).SetSigned(1);
  EXPECT_EQ(value.InternedReferences("abc"), 0u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 0u);
}

TEST(InternTest, MemberNamesAndTextsShareEntries) {
  BindingValue value;
  value.Member("name").SetString("name");
  value.Member("other").Member("name").SetString("x");
  EXPECT_EQ(value.InternedReferences("name"), 3u);
  EXPECT_EQ(value.InternedReferences("other"), 1u);
  EXPECT_EQ(value.InternedReferences("x"), 1u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 3u);
  value.Member("other").Clear();  // the member stays, its structure goes
  EXPECT_EQ(value.InternedReferences("name"), 2u);
  EXPECT_EQ(value.InternedReferences("x"), 0u);
  value.Clear();
  EXPECT_EQ(value.GetTreeStats().interned_texts, 0u);
  EXPECT_EQ(value.GetTreeStats().pool_slots, 0u) << "every heap part went back to the pool";
}

TEST(InternTest, TableGrowsAtLoadFactorOne) {
  BindingValue value;
  for (int i = 0; i < 8; ++i) value.Element(i).SetString("text" + std::to_string(i));
  EXPECT_EQ(value.GetTreeStats().intern_buckets, 8u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 8u);
  value.Element(8).SetString("text8");
  EXPECT_EQ(value.GetTreeStats().intern_buckets, 16u);
  for (int i = 9; i < 1000; ++i) value.Element(i).SetString("text" + std::to_string(i));
  EXPECT_EQ(value.GetTreeStats().interned_texts, 1000u);
  EXPECT_EQ(value.GetTreeStats().intern_buckets, 1024u);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(value.InternedReferences("text" + std::to_string(i)), 1u) << i;
    ASSERT_EQ(value.At(i).GetString(), "text" + std::to_string(i)) << i;
  }
}

// Texts longer than kMaxHashedTextSize are interned under the table's own hash, and a TextHash
// handed over for one is not used: every way of setting such a text, with the right hash, a
// wrong one or none, must meet in one entry, on either side of the limit and around the hash's
// sixteen-byte steps, while texts that differ in any one byte or in length stay apart.
TEST(InternTest, EveryWayOfSettingALongTextMeetsInOneEntry) {
  for (size_t length = kMaxHashedTextSize - 2; length <= 100; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + (i * 7) % 26));
    const bool long_text = length > kMaxHashedTextSize;
    const TextHash given = long_text ? TextHash() : TextHash::Of(text);
    BindingValue value;
    value.Element(0).SetString(text);
    value.Element(1).SetString(text, TextHash::Of(text));
    value.Element(2).SetString(text, given);
    value.Element(3).Member(text, given).SetBool(true);
    value.Element(4).Member(text).SetBool(true);
    BindingValue copied;
    copied.Element(0) = value;
    ASSERT_EQ(value.InternedReferences(text), 5u) << "length " << length;
    EXPECT_EQ(value.GetTreeStats().interned_texts, 1u) << "length " << length;
    EXPECT_EQ(copied.InternedReferences(text), 5u) << "length " << length;
    EXPECT_EQ(&value.At(3).FindMember(text), &value.Element(3).Member(text, given));

    // One byte changed at each position, and the text one byte shorter or longer.
    BindingValue others;
    for (size_t i = 0; i < length; ++i) {
      std::string other = text;
      other[i] = static_cast<char>(other[i] ^ 0x20);
      others.Element(i).SetString(other);
    }
    others.Element(length).SetString(text.substr(0, length - 1));
    others.Element(length + 1).SetString(text + "a");
    others.Element(length + 2).SetString(text);
    EXPECT_EQ(others.GetTreeStats().interned_texts, length + 3) << "length " << length;
    EXPECT_EQ(others.InternedReferences(text), 1u) << "length " << length;
  }
}

TEST(InternTest, LongTextsLeaveThePoolForTheHeapOneBlockEach) {
  BindingValue value;
  const std::string long_text(2000, 'x');
  value.Element(0).SetString(long_text);
  value.Element(1).SetString(long_text);
  EXPECT_EQ(value.GetTreeStats().heap_blocks, 1u) << "one entry, shared by both elements";
  EXPECT_EQ(value.At(1).GetString(), long_text);
  value.Clear();
  EXPECT_EQ(value.GetTreeStats().heap_blocks, 0u);
}

TEST(ContainerTest, ElementExtendsWithEmptyElements) {
  BindingValue value;
  BindingValue& fourth = value.Element(3);
  ASSERT_EQ(value.kind(), ValueKind::kCollection);
  ASSERT_EQ(value.Size(), 4u);
  EXPECT_EQ(&fourth, &value.At(3));
  for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(value.At(i).IsEmpty()) << i;
  EXPECT_FALSE(fourth.is_root());
  EXPECT_TRUE(value.is_root());
}

TEST(ContainerTest, ElementOnAnotherKindReplacesIt) {
  BindingValue value;
  value.Member("a").SetString("x");
  value.Element(0).SetBool(true);
  EXPECT_EQ(value.kind(), ValueKind::kCollection);
  EXPECT_EQ(value.Size(), 1u);
  EXPECT_EQ(value.InternedReferences("a"), 0u);
}

TEST(ContainerTest, ElementsKeepTheirAddressWhileTheCollectionGrows) {
  BindingValue value;
  BindingValue* first = &value.Element(0);
  first->SetString("first");
  for (size_t i = 1; i < 5000; ++i) value.Element(i).SetUnsigned(i);
  EXPECT_EQ(first, &value.At(0));
  EXPECT_EQ(first->GetString(), "first");
  size_t index = 0;
  for (const BindingValue& element : value.Elements()) {
    if (index != 0) {
      ASSERT_EQ(element.GetUnsigned(), index);
    }
    ++index;
  }
  EXPECT_EQ(index, 5000u);
}

TEST(ContainerTest, MakeCollectionAndStructureKeepExistingContent) {
  BindingValue value;
  value.Element(1);
  value.MakeCollection();
  EXPECT_EQ(value.Size(), 2u);
  value.MakeStructure();
  EXPECT_EQ(value.kind(), ValueKind::kStructure);
  EXPECT_EQ(value.Size(), 0u);
  value.Member("a");
  value.MakeStructure();
  EXPECT_EQ(value.Size(), 1u);
}

TEST(ContainerTest, ReserveOnlyForCollections) {
  BindingValue value;
  EXPECT_TRUE(value.Reserve(10));
  EXPECT_TRUE(value.IsEmpty()) << "reserve does not make a collection";
  value.MakeCollection();
  EXPECT_TRUE(value.Reserve(100));
  EXPECT_EQ(value.Size(), 0u);
  value.Element(99);
  EXPECT_EQ(value.Size(), 100u);
}

struct OrderCase {
  std::vector<std::string> inserted;
  std::vector<std::string> walked;
};

TEST(ContainerTest, MembersAreWalkedInByteOrder) {
  const OrderCase kCases[] = {
      {{"b", "a"}, {"a", "b"}},
      {{"ab", "a", "b", ""}, {"", "a", "ab", "b"}},
      {{"a", "Z", "_", "0"}, {"0", "Z", "_", "a"}},
      {{"\xC3\xA9", "z", "\x7F"}, {"z", "\x7F", "\xC3\xA9"}},  // bytes compare unsigned
      {{"m", "c", "x", "a", "q", "b", "c", "m"}, {"a", "b", "c", "m", "q", "x"}},
      {{std::string("a\0b", 3), "a", std::string("a\0", 2)},
       {"a", std::string("a\0", 2), std::string("a\0b", 3)}},
  };
  for (const OrderCase& c : kCases) {
    BindingValue value;
    for (const std::string& name : c.inserted) value.Member(name).SetString(name);
    std::vector<std::string> walked;
    for (ConstMemberView member : std::as_const(value).Members()) {
      walked.emplace_back(member.name);
      EXPECT_EQ(member.value.GetString(), member.name);
    }
    EXPECT_EQ(walked, c.walked) << "first inserted: " << c.inserted.front();
    for (size_t i = 0; i < c.walked.size(); ++i) {
      EXPECT_EQ(value.MemberNameAt(i), c.walked[i]);
      EXPECT_EQ(&value.MemberAt(i), &value.FindMember(c.walked[i]));
    }
  }
}

TEST(ContainerTest, MemberAgainReturnsTheSameMember) {
  BindingValue value;
  BindingValue& b = value.Member("b");
  BindingValue& a = value.Member("a");
  b.SetSigned(2);
  EXPECT_EQ(&value.Member("a"), &a);
  EXPECT_EQ(&value.Member("b"), &b) << "inserting a before b did not move b";
  EXPECT_EQ(value.Size(), 2u);
  EXPECT_EQ(value.FindMember("b").GetSigned(), 2);
}

TEST(ContainerTest, FindMemberNeverInserts) {
  BindingValue collection;
  collection.Element(0);
  EXPECT_TRUE(collection.FindMember("a").IsEmpty());
  EXPECT_EQ(collection.kind(), ValueKind::kCollection);

  BindingValue structure;
  structure.Member("a").SetSigned(1);
  const BindingValue& missing = structure.FindMember("b");
  EXPECT_TRUE(missing.IsEmpty());
  EXPECT_EQ(&missing, &BindingValue::EmptyValue());
  EXPECT_EQ(structure.Size(), 1u);
  EXPECT_EQ(structure.InternedReferences("b"), 0u);
}

// Member(name) on a value that is not a structure discards the value's content; a name that is
// a text of that very content must survive it (it was read after being freed).
TEST(ContainerTest, MemberNamedByATextOfTheContentItReplaces) {
  struct Case {
    const char* label;
    std::function<void(BindingValue&)> build;
    std::function<std::string_view(const BindingValue&)> name;
  };
  const std::string kName = "a member name longer than a word or two";
  const Case kCases[] = {
      {"the value's own string", [&](BindingValue& v) { v.SetString(kName); },
       [](const BindingValue& v) { return v.GetString(); }},
      {"a string inside the collection it was",
       [&](BindingValue& v) { v.Element(1).Element(0).SetString(kName); },
       [](const BindingValue& v) { return v.At(1).At(0).GetString(); }},
  };
  for (const Case& c : kCases) {
    for (const bool root : {true, false}) {
      BindingValue tree;
      BindingValue& value = root ? tree : tree.Member("inner");
      c.build(value);
      value.Member(c.name(value)).SetSigned(7);
      ASSERT_EQ(value.kind(), ValueKind::kStructure) << c.label;
      ASSERT_EQ(value.Size(), 1u) << c.label;
      EXPECT_EQ(value.MemberNameAt(0), kName) << c.label << (root ? " (root)" : " (member)");
      EXPECT_EQ(value.FindMember(kName).GetSigned(), 7) << c.label;
      EXPECT_EQ(tree.InternedReferences(kName), 1u) << c.label << ": only the member name";
    }
  }
  // With the name's hash given by the caller as well.
  BindingValue value;
  value.SetString(kName);
  value.Member(value.GetString(), TextHash::Of(kName)).SetBool(true);
  EXPECT_TRUE(value.FindMember(kName).GetBool());
  EXPECT_EQ(value.InternedReferences(kName), 1u);
}

// Builds {"name": "outer", "list": ["a", 2u, {"k": true}], "blob": b64"AQI=", "e": enum(3,#7)}.
void BuildSample(BindingValue& value) {
  value.Member("name").SetString("outer");
  BindingValue& list = value.Member("list");
  list.Element(0).SetString("a");
  list.Element(1).SetUnsigned(2);
  list.Element(2).Member("k").SetBool(true);
  value.Member("blob").SetBlob("\x01\x02", 2);
  value.Member("e").SetEnum(3, 7);
}

TEST(CopyTest, DeepCopyIsIndependentAndEqual) {
  BindingValue source;
  BuildSample(source);
  BindingValue copy(source);
  EXPECT_TRUE(copy.is_root());
  EXPECT_EQ(copy, source);
  EXPECT_EQ(copy.DebugString(), source.DebugString());
  EXPECT_NE(copy.FindMember("name").GetCString(), source.FindMember("name").GetCString())
      << "texts are re-interned in the copy's own tree";
  copy.Member("list").Element(2).Member("k").SetBool(false);
  EXPECT_NE(copy, source);
  EXPECT_TRUE(source.FindMember("list").At(2).FindMember("k").GetBool());
}

// A standalone value of each kind copied into a fresh root and into a tree that has texts
// already (an enum or a blob has no texts, a fresh root no context).
TEST(CopyTest, EveryKindCopiesIntoFreshAndUsedTrees) {
  const Setter kSetters[] = {
      [](BindingValue& v) { v.SetBool(true); },
      [](BindingValue& v) { v.SetSigned(-3); },
      [](BindingValue& v) { v.SetFloat(2.5); },
      [](BindingValue& v) { v.SetString("text"); },
      [](BindingValue& v) { v.SetBlob("\x01\x02", 2); },
      [](BindingValue& v) { v.SetEnum(4, 0x1234); },
      [](BindingValue& v) { v.Element(1).SetString("x"); },
      [](BindingValue& v) { BuildSample(v); },
  };
  for (const Setter& set : kSetters) {
    BindingValue source;
    set(source);
    BindingValue fresh(source);
    EXPECT_EQ(fresh, source) << source.DebugString();
    BindingValue used;
    used.Member("text").SetString("text");
    used = source;
    EXPECT_EQ(used, source) << source.DebugString();
  }
}

TEST(CopyTest, CopyAssignKeepsTheTargetsTree) {
  BindingValue target;
  target.Element(0).SetString("outer");
  BindingValue source;
  BuildSample(source);
  target.Element(1) = source;
  EXPECT_EQ(target.At(1), source);
  EXPECT_EQ(target.InternedReferences("outer"), 2u) << "the copy's texts live in the target tree";
  EXPECT_EQ(source.InternedReferences("outer"), 1u);
}

TEST(CopyTest, CopyWithinOneTreeSharesEntries) {
  BindingValue value;
  BuildSample(value.Member("a"));
  value.Member("b") = value.FindMember("a");
  EXPECT_EQ(value.FindMember("a"), value.FindMember("b"));
  EXPECT_EQ(value.InternedReferences("outer"), 2u);
  EXPECT_EQ(value.InternedReferences("k"), 2u);
}

TEST(CopyTest, SelfAndAncestorAssignmentsAreSafe) {
  BindingValue expected_sample;
  BuildSample(expected_sample);

  BindingValue value;
  BuildSample(value);
  value = value;
  EXPECT_EQ(value, expected_sample);

  // A member gets a copy of the tree around it, taken after the member was inserted.
  value.Member("self") = value;
  BindingValue expected_self(expected_sample);
  expected_self.Member("self");
  EXPECT_EQ(value.FindMember("self"), expected_self);

  // The tree becomes a copy of one of its own members.
  value = value.FindMember("list");
  EXPECT_EQ(value, expected_sample.FindMember("list"));
  EXPECT_EQ(value.GetTreeStats().interned_texts, 2u) << "a, k";
}

TEST(MoveTest, BetweenRootsSwapsWithoutCopying) {
  BindingValue source;
  BuildSample(source);
  const BindingValue* list = &source.FindMember("list");
  BindingValue target;
  target.SetString("old content");
  target = std::move(source);
  EXPECT_EQ(&target.FindMember("list"), list) << "the nodes moved with their tree";
  EXPECT_TRUE(source.IsEmpty());
  EXPECT_EQ(source.InternedReferences("old content"), 0u) << "the old content was cleared";
  source.SetString("reused");  // the source keeps working with the target's old tree
  EXPECT_EQ(source.GetString(), "reused");

  BindingValue constructed(std::move(target));
  EXPECT_EQ(&constructed.FindMember("list"), list);
  EXPECT_TRUE(target.IsEmpty());
}

TEST(MoveTest, IntoAMemberCopies) {
  BindingValue source;
  BuildSample(source);
  BindingValue expected(source);
  BindingValue target;
  target.Member("m") = std::move(source);
  EXPECT_EQ(target.FindMember("m"), expected);
  EXPECT_TRUE(source.IsEmpty()) << "the source is cleared after the copy";
  EXPECT_FALSE(target.FindMember("m").is_root());
  EXPECT_EQ(target.InternedReferences("outer"), 1u);
}

TEST(MoveTest, OutOfAMemberCopiesAndClearsTheMember) {
  BindingValue tree;
  BuildSample(tree.Member("inner"));
  BindingValue expected(tree.FindMember("inner"));
  BindingValue standalone;
  standalone = std::move(tree.Member("inner"));
  EXPECT_EQ(standalone, expected);
  EXPECT_TRUE(tree.FindMember("inner").IsEmpty());
  EXPECT_EQ(tree.Size(), 1u) << "the member stays, emptied";
  EXPECT_EQ(tree.InternedReferences("outer"), 0u);
}

TEST(MoveTest, AncestorAndDescendantMovesAreSafe) {
  BindingValue expected_sample;
  BuildSample(expected_sample);

  BindingValue value;
  BuildSample(value);
  value = std::move(value.Member("list"));  // a root takes the content of its own member
  EXPECT_EQ(value, expected_sample.FindMember("list"));

  // The target lies inside the source: clearing the source after the copy takes the target
  // with it, and nothing is used after it was freed.
  BindingValue other;
  BuildSample(other);
  other.Member("list").Element(0) = std::move(other.Member("list"));
  EXPECT_TRUE(other.FindMember("list").IsEmpty());
  EXPECT_EQ(other.InternedReferences("k"), 0u);
}

struct TextCase {
  const char* name;
  Setter set;
  std::string text;
  bool truth;
};

TEST(ConversionTest, TextFormAndTruthValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const TextCase kCases[] = {
      {"empty", [](BindingValue&) {}, "", false},
      {"true", [](BindingValue& v) { v.SetBool(true); }, "true", true},
      {"false", [](BindingValue& v) { v.SetBool(false); }, "false", false},
      {"signed -5", [](BindingValue& v) { v.SetSigned(-5); }, "-5", true},
      {"signed 0", [](BindingValue& v) { v.SetSigned(0); }, "0", false},
      {"signed min", [](BindingValue& v) { v.SetSigned(INT64_MIN); }, "-9223372036854775808", true},
      {"unsigned 5", [](BindingValue& v) { v.SetUnsigned(5); }, "5", true},
      {"unsigned max", [](BindingValue& v) { v.SetUnsigned(UINT64_MAX); }, "18446744073709551615",
       true},
      {"float 1.5", [](BindingValue& v) { v.SetFloat(1.5); }, "1.500000", true},
      {"float 0.0", [](BindingValue& v) { v.SetFloat(0.0); }, "0.000000", false},
      {"float -0.0", [](BindingValue& v) { v.SetFloat(-0.0); }, "-0.000000", false},
      {"float 1e20", [](BindingValue& v) { v.SetFloat(1e20); }, "100000000000000000000.000000",
       true},
      {"float NaN", [nan](BindingValue& v) { v.SetFloat(nan); }, "nan", true},
      {"string yes", [](BindingValue& v) { v.SetString("yes"); }, "yes", false},
      {"string 1", [](BindingValue& v) { v.SetString("1"); }, "1", true},
      {"string true", [](BindingValue& v) { v.SetString("true"); }, "true", true},
      {"string TRUE", [](BindingValue& v) { v.SetString("TRUE"); }, "TRUE", false},
      {"string 0", [](BindingValue& v) { v.SetString("0"); }, "0", false},
      {"string empty", [](BindingValue& v) { v.SetString(""); }, "", false},
      {"blob abc", [](BindingValue& v) { v.SetBlob("abc", 3); }, "YWJj", true},
      {"blob ab", [](BindingValue& v) { v.SetBlob("ab", 2); }, "YWI=", true},
      {"blob a", [](BindingValue& v) { v.SetBlob("a", 1); }, "YQ==", true},
      {"blob high bytes", [](BindingValue& v) { v.SetBlob("\xFB\xFF\xBF", 3); }, "+/+/", true},
      {"blob empty", [](BindingValue& v) { v.SetBlob("", 0); }, "", false},
      {"enum 2", [](BindingValue& v) { v.SetEnum(2, 0x1234); }, "2", true},
      {"enum -1", [](BindingValue& v) { v.SetEnum(-1, 0x1234); }, "-1", true},
      {"enum 0", [](BindingValue& v) { v.SetEnum(0, 0x1234); }, "0", false},
      {"collection", [](BindingValue& v) { v.Element(0).SetString("x"); }, "", true},
      {"empty collection", [](BindingValue& v) { v.MakeCollection(); }, "", false},
      {"structure", [](BindingValue& v) { v.Member("a"); }, "", true},
      {"empty structure", [](BindingValue& v) { v.MakeStructure(); }, "", false},
  };
  for (const TextCase& c : kCases) {
    BindingValue value;
    c.set(value);
    EXPECT_EQ(value.ToText(), c.text) << c.name;
    EXPECT_EQ(value.ToBool(), c.truth) << c.name;
  }
}

TEST(ConversionTest, DebugStringShowsKindsAndOrder) {
  BindingValue value;
  BuildSample(value);
  value.Member("f").SetFloat(0.25);
  value.Member("q").SetString("a\"b\n");
  value.Member("z");
  EXPECT_EQ(value.DebugString(),
            "{\"blob\": b64\"AQI=\", \"e\": enum(3,#00000007), \"f\": 0.25, "
            "\"list\": [\"a\", 2u, {\"k\": true}], \"name\": \"outer\", "
            "\"q\": \"a\\\"b\\x0A\", \"z\": empty}");
}

TEST(EqualityTest, ComparesStructure) {
  BindingValue a;
  BuildSample(a);
  BindingValue b;
  BuildSample(b);
  EXPECT_EQ(a, b);
  b.Member("list").Element(1).SetSigned(2);  // same number, other kind
  EXPECT_NE(a, b);
  BuildSample(b);
  EXPECT_EQ(a, b);
  b.Member("extra");
  EXPECT_NE(a, b);
}

TEST(LengthErrorTest, ElementBeyondTheLimitIsRefusedWithoutTouchingTheTree) {
  BindingValue value;
  value.Element(0).SetString("kept");
  const std::string before = value.DebugString();
  BindingValue& scratch = value.Element(kMaxCollectionSize);
  EXPECT_TRUE(value.HasLengthError());
  EXPECT_EQ(value.DebugString(), before);
  scratch.Member("written").SetString("anyway");  // writes land in a detached value
  scratch.Element(kMaxCollectionSize).SetBool(true);
  EXPECT_EQ(value.DebugString(), before);
  EXPECT_EQ(value.Size(), 1u);

  BindingValue fresh;
  fresh.Element(kMaxCollectionSize);
  EXPECT_TRUE(fresh.HasLengthError());
  EXPECT_TRUE(fresh.IsEmpty()) << "not even turned into a collection";

  value.Clear();
  EXPECT_FALSE(value.HasLengthError()) << "clearing the root starts over";
}

TEST(LengthErrorTest, ReserveBeyondTheLimitIsRefused) {
  BindingValue value;
  value.Element(2);
  EXPECT_FALSE(value.Reserve(kMaxCollectionSize + 1));
  EXPECT_TRUE(value.HasLengthError());
  EXPECT_EQ(value.Size(), 3u);
  value.Element(3).SetBool(true);
  EXPECT_TRUE(value.At(3).GetBool());
}

TEST(LengthErrorTest, ReportedOnTheWholeTree) {
  BindingValue value;
  BindingValue& inner = value.Member("a").Member("b");
  inner.Element(kMaxCollectionSize);
  EXPECT_TRUE(inner.HasLengthError());
  EXPECT_TRUE(value.HasLengthError());
}

TEST(LengthErrorTest, BlobBeyondTheLimitIsRefused) {
  static const uint8_t kByte = 0;
  BindingValue value;
  value.SetString("kept");
  // The size is checked before any byte is read.
  value.SetBlob(&kByte, kMaxBlobSize + 1);
  EXPECT_TRUE(value.HasLengthError());
  EXPECT_EQ(value.GetString(), "kept");
  value.Clear();
  value.SetBlob(std::span<const uint8_t>(&kByte, 1));
  EXPECT_FALSE(value.HasLengthError());
  EXPECT_EQ(value.Size(), 1u);
}

// Nests collections and structures alternately, `depth` levels below the root.
void BuildDeep(BindingValue& root, size_t depth) {
  BindingValue* current = &root;
  for (size_t level = 0; level < depth; ++level) {
    if (level % 2 == 0) {
      current->Element(0).SetUnsigned(level);
      current = &current->Element(1);
    } else {
      current->Member("level").SetUnsigned(level);
      current = &current->Member("next");
    }
  }
  current->SetString("bottom");
}

TEST(DeepTreeTest, ClearCopyCompareAndPrintAt600Levels) {
  BindingValue value;
  BuildDeep(value, 600);
  BindingValue copy(value);
  EXPECT_EQ(copy, value);
  BindingValue moved_into_member;
  moved_into_member.Member("deep") = value;
  EXPECT_EQ(moved_into_member.FindMember("deep"), value);
  const std::string printed = value.DebugString();
  EXPECT_EQ(printed.substr(printed.size() - 4), "}]}]");
  EXPECT_NE(printed.find("\"bottom\""), std::string::npos);
  value.Clear();
  EXPECT_EQ(value.GetTreeStats().pool_slots, 0u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 0u);
}

TEST(DeepTreeTest, DepthIsNotLimitedByTheStack) {
  // Far deeper than a recursive walk could go on a default thread stack under ASan.
  BindingValue value;
  BuildDeep(value, 200000);
  BindingValue copy(value);
  EXPECT_EQ(copy, value);
  copy.Member("x");  // the copy's root is a collection, so this replaces all of it
  EXPECT_EQ(copy.Size(), 1u);
}

TEST(TreeStatsTest, HeapPartsComeFromThePoolAndGoBack) {
  BindingValue value;
  for (int i = 0; i < 16; ++i) value.Member("texts").Element(i).SetString("short text");
  value.Member("level").SetUnsigned(1);
  const BindingValue::TreeStats stats = value.GetTreeStats();
  EXPECT_EQ(stats.heap_blocks, 0u) << "a request-sized tree stays in the pool";
  EXPECT_GT(stats.pool_slots, 16u);
  value.Clear();
  EXPECT_EQ(value.GetTreeStats().pool_slots, 0u);
}

TEST(TreeStatsTest, ClearingARootDropsItsWholeTreeAtOnce) {
  BindingValue value;
  for (int i = 0; i < 3000; ++i) value.Element(i).Member("k").SetString(std::to_string(i));
  value.Element(kMaxCollectionSize).SetString("scratch");
  EXPECT_GT(value.GetTreeStats().pool_pages, 10u);
  value.Clear();
  const BindingValue::TreeStats stats = value.GetTreeStats();
  EXPECT_EQ(stats.pool_slots, 0u);
  EXPECT_EQ(stats.interned_texts, 0u);
  EXPECT_EQ(stats.intern_buckets, 8u);
  EXPECT_LE(stats.pool_pages, 21u) << "one reserve page per size class at most";
  EXPECT_FALSE(value.HasLengthError());
  // The tree is usable again.
  value.Member("k").SetString("0");
  EXPECT_EQ(value.InternedReferences("0"), 1u);
  EXPECT_EQ(value.InternedReferences("k"), 1u);
}

TEST(TreeStatsTest, ClearingARootWithBlobsFreesTheirBytes) {
  // Blob bytes live on the general heap: a tree holding one is walked, not dropped whole (the
  // leak checker reports the bytes otherwise).
  BindingValue value;
  for (int i = 0; i < 100; ++i) value.Element(i).SetString("text");
  value.Element(50).SetBlob(std::vector<uint8_t>(1000, 7));
  value.Clear();
  EXPECT_EQ(value.GetTreeStats().pool_slots, 0u);
  value.Element(0).SetBlob("xy", 2);
}

// A tree filled through a TreeBuilder, keys out of order and repeated, equals the one built
// through the general setters, with the same interned texts.
TEST(TreeBuilderTest, BuildsWhatTheGeneralSettersBuild) {
  BindingValue built;
  built.SetString("old content");
  {
    TreeBuilder builder(built);
    EXPECT_TRUE(built.IsEmpty()) << "the root is cleared first";
    ASSERT_TRUE(builder.OpenStructure(builder.root()));
    BindingValue* b = builder.Member("b", TextHash::Of("b"));
    ASSERT_TRUE(builder.OpenCollection(*b));
    EXPECT_TRUE(builder.InCollection());
    builder.SetString(*builder.Append(), "x", TextHash::Of("x"));
    builder.SetString(*builder.Append(), "", TextHash::Of(""));
    ASSERT_TRUE(builder.OpenStructure(*builder.Append()));
    EXPECT_EQ(builder.depth(), 3u);
    ASSERT_TRUE(builder.Close());
    ASSERT_TRUE(builder.Close());
    builder.Member("c", TextHash::Of("c"))->SetUnsigned(1);
    builder.SetString(*builder.Member("a", TextHash::Of("a")), "x", TextHash::Of("x"));
    builder.Member("", TextHash::Of(""))->SetBool(true);
    builder.Member("c", TextHash::Of("c"))->SetSigned(-2);
    ASSERT_TRUE(builder.Close());
    EXPECT_EQ(builder.depth(), 0u);
  }
  BindingValue expected;
  expected.Member("b").Element(0).SetString("x");
  expected.Member("b").Element(1).SetString("");
  expected.Member("b").Element(2).MakeStructure();
  expected.Member("c").SetSigned(-2);
  expected.Member("a").SetString("x");
  expected.Member("").SetBool(true);
  EXPECT_EQ(built, expected) << built.DebugString();
  EXPECT_EQ(built.DebugString(), "{\"\": true, \"a\": \"x\", \"b\": [\"x\", \"\", {}], \"c\": -2}");
  EXPECT_EQ(built.InternedReferences("x"), 2u);
  EXPECT_EQ(built.InternedReferences("old content"), 0u);
  EXPECT_EQ(built.GetTreeStats().interned_texts, 4u) << "a, b, c, x";
  EXPECT_FALSE(built.HasLengthError());
}

TEST(TreeBuilderTest, RepeatedKeyEmptiesTheMemberItReturns) {
  BindingValue built;
  TreeBuilder builder(built);
  ASSERT_TRUE(builder.OpenStructure(built));
  BindingValue* first = builder.Member("k", TextHash::Of("k"));
  ASSERT_TRUE(builder.OpenCollection(*first));
  builder.SetString(*builder.Append(), "gone", TextHash::Of("gone"));
  ASSERT_TRUE(builder.Close());
  builder.Member("z", TextHash::Of("z"))->SetUnsigned(9);
  BindingValue* again = builder.Member("k", TextHash::Of("k"));
  EXPECT_EQ(again, first) << "the member stays where it was";
  EXPECT_TRUE(again->IsEmpty());
  EXPECT_EQ(built.InternedReferences("gone"), 0u) << "the old content went with its texts";
  builder.SetString(*again, "kept", TextHash::Of("kept"));
  ASSERT_TRUE(builder.Close());
  EXPECT_EQ(built.DebugString(), "{\"k\": \"kept\", \"z\": 9u}");
}

// More items than the builder keeps inline, in containers open at the same time and nested
// deeper than its inline frames, members arriving in reverse order.
TEST(TreeBuilderTest, ManyItemsAndDeepNestingKeepTheirOrder) {
  BindingValue built;
  TreeBuilder builder(built);
  ASSERT_TRUE(builder.OpenCollection(built));
  for (uint64_t i = 0; i < 100; ++i) builder.Append()->SetUnsigned(i);
  ASSERT_TRUE(builder.OpenStructure(*builder.Append()));
  for (int i = 199; i >= 0; --i) {
    const std::string name = "k" + std::to_string(1000 + i);
    builder.Member(name, TextHash::Of(name))->SetSigned(-i);
  }
  BindingValue* inner = builder.Member("deep", TextHash::Of("deep"));
  for (int level = 0; level < 40; ++level) {
    ASSERT_TRUE(builder.OpenCollection(*inner));
    builder.Append()->SetUnsigned(static_cast<uint64_t>(level));
    inner = builder.Append();
  }
  for (int level = 0; level < 40; ++level) ASSERT_TRUE(builder.Close());
  ASSERT_TRUE(builder.Close());
  builder.Append()->SetBool(true);
  ASSERT_TRUE(builder.Close());

  ASSERT_EQ(built.Size(), 102u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(built.At(i).GetUnsigned(), i);
  EXPECT_TRUE(built.At(101).GetBool());
  const BindingValue& object = built.At(100);
  ASSERT_EQ(object.Size(), 201u);
  EXPECT_EQ(object.MemberNameAt(0), "deep");
  for (size_t i = 0; i < 200; ++i) {
    EXPECT_EQ(object.MemberNameAt(i + 1), "k" + std::to_string(1000 + i));
    EXPECT_EQ(object.MemberAt(i + 1).GetSigned(), -static_cast<int64_t>(i));
  }
  const BindingValue* level = &object.FindMember("deep");
  for (uint64_t depth = 0; depth < 40; ++depth) {
    ASSERT_EQ(level->Size(), 2u) << "depth " << depth;
    EXPECT_EQ(level->At(0).GetUnsigned(), depth);
    level = &level->At(1);
  }
  EXPECT_TRUE(level->IsEmpty());
}

// A reader that stops on an error leaves containers open; clearing the root drops all of it.
TEST(TreeBuilderTest, OpenContainersGoWithTheClearedTree) {
  BindingValue built;
  {
    TreeBuilder builder(built);
    ASSERT_TRUE(builder.OpenCollection(built));
    for (int i = 0; i < 100; ++i) {
      const std::string text = "text " + std::to_string(i);
      builder.SetString(*builder.Append(), text, TextHash::Of(text));
    }
    ASSERT_TRUE(builder.OpenStructure(*builder.Append()));
    builder.Member("k", TextHash::Of("k"))->SetUnsigned(1);
  }
  EXPECT_EQ(built.Size(), 0u) << "an open container reads as empty";
  built.Clear();
  EXPECT_EQ(built.GetTreeStats().pool_slots, 0u);
  EXPECT_EQ(built.GetTreeStats().interned_texts, 0u);
}

}  // namespace
}  // namespace sdk::binding
