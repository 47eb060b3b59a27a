#include "sdk/binding/host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/nesting_limit.h"
#include "sdk/binding/record_builder.h"
#include "sdk/host/plugin_memory.h"

namespace sdk::binding {
namespace {

using sdk::host::GetPluginMemoryCounters;
using sdk::host::PluginMemoryCounters;

// Checks that every block allocated while it lived was freed again.
class BalanceCheck {
 public:
  BalanceCheck() : before_(GetPluginMemoryCounters()) {}
  ~BalanceCheck() {
    const PluginMemoryCounters after = GetPluginMemoryCounters();
    EXPECT_EQ(after.allocations - before_.allocations, after.frees - before_.frees);
    EXPECT_EQ(after.bytes_allocated - before_.bytes_allocated,
              after.bytes_freed - before_.bytes_freed);
  }
  uint64_t allocations() const {
    return GetPluginMemoryCounters().allocations - before_.allocations;
  }
  uint64_t frees() const { return GetPluginMemoryCounters().frees - before_.frees; }

 private:
  PluginMemoryCounters before_;
};

bool IsAllZero(const HostValue& value) {
  static const HostValue kZero{};
  return std::memcmp(&value, &kZero, sizeof value) == 0;
}

HostValue Span(uint32_t tag, const void* data, uint32_t count) {
  HostValue value{};
  value.tag = tag;
  value.payload.span.data = data;
  value.payload.span.count = count;
  return value;
}

enum class Shade : int32_t { kLight = 1, kDark = 2, kPale = 2 };

TEST(HostValueTest, ScalarsLeaveWithTheirTags) {
  struct Case {
    void (*build)(BindingValue&);
    uint32_t tag;
    uint64_t bits;  // the payload's first 8 bytes
  };
  const Case cases[] = {
      {[](BindingValue&) {}, kHostValueEmpty, 0},
      {[](BindingValue& v) { v.SetBool(true); }, kHostValueBool, 1},
      {[](BindingValue& v) { v.SetSigned(-5); }, kHostValueSigned, static_cast<uint64_t>(-5)},
      {[](BindingValue& v) { v.SetUnsigned(5); }, kHostValueUnsigned, 5},
      {[](BindingValue& v) { v.SetFloat(1.5); }, kHostValueFloat, 0x3FF8000000000000},
      {[](BindingValue& v) { v.SetEnum(-3, 99); }, kHostValueSigned, static_cast<uint64_t>(-3)},
  };
  BalanceCheck balance;
  for (const Case& c : cases) {
    BindingValue value;
    c.build(value);
    HostValue host{};
    EXPECT_TRUE(ToHostValue(host, value, nullptr));
    EXPECT_EQ(host.tag, c.tag) << value.DebugString();
    uint64_t bits;
    std::memcpy(&bits, host.payload.raw, 8);
    EXPECT_EQ(bits, c.bits) << value.DebugString();

    // And back: enums come back as their number.
    HostErrorRecord error;
    BindingValue back;
    ASSERT_TRUE(FromHostValue(error, back, host, "x"));
    if (value.kind() == ValueKind::kEnum) {
      EXPECT_EQ(back.GetSigned(), -3);
    } else {
      EXPECT_TRUE(back == value) << value.DebugString();
    }
    ReleaseHostValue(host);
  }
}

TEST(HostValueTest, TextsAndBlobsLeaveAsOwnedCopies) {
  BalanceCheck balance;
  BindingValue text;
  text.SetString(std::string_view("ab\0c", 4));
  HostValue host{};
  ToHostValue(host, text, nullptr);
  EXPECT_EQ(host.tag, kHostValueStringOwned);
  EXPECT_EQ(host.payload.span.count, 4u);
  EXPECT_EQ(std::memcmp(host.payload.span.data, "ab\0c\0", 5), 0);
  EXPECT_EQ(sdk::host::PluginBlockSize(host.payload.span.data), 5u);

  BindingValue blob;
  const uint8_t bytes[] = {1, 2, 3};
  blob.SetBlob(bytes, 3);
  // Converting into a host value that holds something releases it first.
  ToHostValue(host, blob, nullptr);
  EXPECT_EQ(host.tag, kHostValueBlobOwned);
  EXPECT_EQ(host.payload.span.count, 3u);
  EXPECT_EQ(std::memcmp(host.payload.span.data, bytes, 3), 0);
  ReleaseHostValue(host);
  EXPECT_TRUE(IsAllZero(host));
}

TEST(HostValueTest, StructureEntriesInNameOrderWithOwnedKeys) {
  BalanceCheck balance;
  BindingValue value;
  value.Member("b").SetSigned(2);
  value.Member("a").Element(1).SetString("x");
  HostValue host{};
  ToHostValue(host, value, nullptr);
  ASSERT_EQ(host.tag, kHostValueStructure);
  ASSERT_EQ(host.payload.span.count, 2u);
  const auto* entries = static_cast<const HostStructureEntry*>(host.payload.span.data);
  EXPECT_STREQ(entries[0].key, "a");
  EXPECT_STREQ(entries[1].key, "b");
  EXPECT_EQ(entries[0].key_owned, 1);
  EXPECT_EQ(entries[1].key_owned, 1);
  EXPECT_EQ(entries[1].value.tag, kHostValueSigned);
  ASSERT_EQ(entries[0].value.tag, kHostValueCollection);
  ASSERT_EQ(entries[0].value.payload.span.count, 2u);
  const auto* elements = static_cast<const HostValue*>(entries[0].value.payload.span.data);
  EXPECT_TRUE(IsAllZero(elements[0]));
  EXPECT_EQ(elements[1].tag, kHostValueStringOwned);

  HostErrorRecord error;
  BindingValue back;
  ASSERT_TRUE(FromHostValue(error, back, host, "x"));
  EXPECT_TRUE(back == value) << back.DebugString();
  ReleaseHostValue(host);
  EXPECT_TRUE(IsAllZero(host));
}

TEST(HostValueTest, EnumsLeaveByName) {
  BindingRegistry registry;
  EnumBuilder<Shade>(registry, "Shade")
      .Enumerator("Light", Shade::kLight)
      .Enumerator("Pale", Shade::kPale)
      .Enumerator("Dark", Shade::kDark);
  const uint32_t shade = StaticTypeOf<Shade>().id();
  BalanceCheck balance;
  struct Case {
    int32_t number;
    uint32_t type;
    const BindingRegistry* registry;
    uint32_t tag;
    std::string text;
  };
  const Case cases[] = {
      {1, shade, &registry, kHostValueStringOwned, "Light"},
      // The first enumerator in name order with that number.
      {2, shade, &registry, kHostValueStringOwned, "Dark"},
      {3, shade, &registry, kHostValueSigned, ""},
      {-7, shade, &registry, kHostValueSigned, ""},
      {1, 0x12345678, &registry, kHostValueSigned, ""},
      {1, shade, nullptr, kHostValueSigned, ""},
  };
  for (const Case& c : cases) {
    BindingValue value;
    value.SetEnum(c.number, c.type);
    HostValue host{};
    ToHostValue(host, value, c.registry);
    EXPECT_EQ(host.tag, c.tag) << "enum " << c.number;
    if (c.tag == kHostValueStringOwned) {
      EXPECT_EQ(std::string(static_cast<const char*>(host.payload.span.data)), c.text);
      EXPECT_EQ(host.payload.span.count, c.text.size());
    } else {
      EXPECT_EQ(host.payload.signed_value, c.number);  // sign-extended to 64 bits
    }
    ReleaseHostValue(host);
  }
}

TEST(HostValueTest, FromHostReadsTextsUpToTheirFirstNul) {
  HostErrorRecord error;
  BindingValue value;
  const HostValue host = Span(kHostValueStringBorrowed, "ab\0c", 4);
  ASSERT_TRUE(FromHostValue(error, value, host, "x"));
  EXPECT_EQ(value.GetString(), "ab");

  const uint8_t bytes[] = {0, 1};
  ASSERT_TRUE(FromHostValue(error, value, Span(kHostValueBlobBorrowed, bytes, 2), "x"));
  EXPECT_EQ(value.DebugString(), "b64\"AAE=\"");
}

TEST(HostValueTest, RepeatedKeysConvertIntoTheSameMember) {
  HostValue one{};
  one.tag = kHostValueSigned;
  one.payload.signed_value = 1;
  HostValue inner[] = {one};
  HostStructureEntry entries[] = {
      {"k", Span(kHostValueCollection, inner, 1), 0},
      {"k", Span(kHostValueStringBorrowed, "s", 1), 0},
      {nullptr, one, 0},
  };
  HostErrorRecord error;
  BindingValue value;
  ASSERT_TRUE(FromHostValue(error, value, Span(kHostValueStructure, entries, 3), "x"));
  EXPECT_EQ(value.DebugString(), "{\"\": 1, \"k\": \"s\"}");
}

TEST(HostValueTest, UnknownTagFailsWithTheIncompatibleTypeMessage) {
  BalanceCheck balance;
  HostValue elements[3] = {};
  elements[0].tag = kHostValueSigned;
  elements[0].payload.signed_value = 4;
  elements[1] = Span(kHostValueStringBorrowed, "t", 1);
  elements[2].tag = 11;
  HostErrorRecord error;
  // Whatever the record held is released.
  error.value.tag = kHostValueStringOwned;
  error.value.payload.span.data = sdk::host::PluginDuplicateText("old");
  error.error_text = sdk::host::PluginDuplicateText("older");
  BindingValue value;
  EXPECT_FALSE(FromHostValue(error, value, Span(kHostValueCollection, elements, 3), "items"));
  EXPECT_EQ(value.DebugString(), "[4, \"t\", empty]");
  ASSERT_NE(error.error_text, nullptr);
  EXPECT_STREQ(error.error_text,
               "Couldn't assign value to 'items' of type object because the input is of an "
               "incompatible type ''.");
  EXPECT_EQ(error.error_flag, 1);
  EXPECT_TRUE(IsAllZero(error.value));
  ReleaseHostErrorRecord(error);
  EXPECT_EQ(error.error_text, nullptr);
  EXPECT_EQ(error.error_flag, 0);

  HostValue bad{};
  bad.tag = 0xFFFFFFFF;
  EXPECT_FALSE(FromHostValue(error, value, bad, "v"));
  EXPECT_STREQ(error.error_text,
               "Couldn't assign value to 'v' of type object because the input is of an "
               "incompatible type ''.");
  ReleaseHostErrorRecord(error);
}

TEST(HostValueTest, ReleaseFreesOnlyOwnedBuffers) {
  BalanceCheck balance;
  HostValue borrowed_text = Span(kHostValueStringBorrowed, "abc", 3);
  HostValue borrowed_blob = Span(kHostValueBlobBorrowed, "abc", 3);
  ReleaseHostValue(borrowed_text);
  ReleaseHostValue(borrowed_blob);
  EXPECT_EQ(balance.frees(), 0u);
  EXPECT_TRUE(IsAllZero(borrowed_text));
  EXPECT_TRUE(IsAllZero(borrowed_blob));

  // A structure with one owned and one borrowed key, holding an owned text.
  auto* entries =
      static_cast<HostStructureEntry*>(sdk::host::PluginAllocate(2 * sizeof(HostStructureEntry)));
  entries[0] = {sdk::host::PluginDuplicateText("owned"),
                Span(kHostValueStringOwned, sdk::host::PluginDuplicateText("v"), 1), 1};
  entries[1] = {"borrowed", Span(kHostValueStringBorrowed, "w", 1), 0};
  HostValue structure = Span(kHostValueStructure, entries, 2);
  ReleaseHostValue(structure);
  EXPECT_EQ(balance.frees(), 3u);
  EXPECT_TRUE(IsAllZero(structure));
}

// A chain of `depth` one-element host collections around a signed 1, in `storage`.
HostValue HostChain(size_t depth, std::vector<HostValue>& storage) {
  storage.assign(depth + 1, HostValue{});
  storage[depth].tag = kHostValueSigned;
  storage[depth].payload.signed_value = 1;
  for (size_t i = depth; i-- > 0;) storage[i] = Span(kHostValueCollection, &storage[i + 1], 1);
  return storage[0];
}

TEST(HostValueTest, FromHostAcceptsNestingAtTheLimit) {
  std::vector<HostValue> storage;
  const HostValue host = HostChain(kMaxNestingDepth, storage);
  HostErrorRecord error;
  BindingValue value;
  ASSERT_TRUE(FromHostValue(error, value, host, "deep"));
  const BindingValue* item = &value;
  for (size_t i = 0; i < kMaxNestingDepth; ++i) item = &item->At(0);
  EXPECT_EQ(item->GetSigned(), 1);

  // The same tree leaves again and is released without recursion.
  BalanceCheck balance;
  HostValue back{};
  ASSERT_TRUE(ToHostValue(back, value, nullptr));
  BindingValue again;
  ASSERT_TRUE(FromHostValue(error, again, back, "deep"));
  EXPECT_TRUE(again == value);
  ReleaseHostValue(back);
}

TEST(HostValueTest, FromHostRefusesNestingPastTheLimit) {
  for (size_t depth : {kMaxNestingDepth + 1, size_t{200000}}) {
    std::vector<HostValue> storage;
    const HostValue host = HostChain(depth, storage);
    HostErrorRecord error;
    BindingValue value;
    EXPECT_FALSE(FromHostValue(error, value, host, "deep"));
    EXPECT_STREQ(error.error_text,
                 "Couldn't assign value to 'deep' of type object because the input is nested "
                 "deeper than 512 levels.");
    ReleaseHostErrorRecord(error);
  }
}

TEST(HostValueTest, DeepValueTreesLeaveWithoutRecursion) {
  // A tree built by code is not bound by the readers' limit; leaving for the host must not
  // depend on the thread's stack either.
  BalanceCheck balance;
  BindingValue value;
  BindingValue* item = &value;
  for (int i = 0; i < 100000; ++i) item = &item->Member("k");
  item->SetString("leaf");
  HostValue host{};
  ASSERT_TRUE(ToHostValue(host, value, nullptr));
  ReleaseHostValue(host);
  EXPECT_TRUE(IsAllZero(host));
}

TEST(HostValueTest, TagNames) {
  const std::pair<uint32_t, std::string_view> cases[] = {
      {0, ""},      {1, "bool"},       {2, "signed"},     {3, "unsigned"},
      {4, "float"}, {5, "string"},     {6, "string"},     {7, "blob"},
      {8, "blob"},  {9, "collection"}, {10, "structure"}, {11, ""},
  };
  for (const auto& [tag, name] : cases) EXPECT_EQ(HostValueTagName(tag), name) << tag;
}

}  // namespace
}  // namespace sdk::binding
