#include "sdk/binding/message_pack_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdk/binding/nesting_limit.h"

namespace sdk::binding {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& bytes) {
  std::string out;
  char buffer[4];
  for (uint8_t b : bytes) {
    snprintf(buffer, sizeof buffer, "%02X ", b);
    out += buffer;
  }
  return out;
}

struct Case {
  Bytes input;
  std::string expected;  // DebugString of the value, or the error message
  bool ok;
  size_t consumed;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    BindingResult result;
    size_t consumed = 999;
    const bool ok = MessagePackReader::Decode(result, &consumed, c.input.data(), c.input.size());
    EXPECT_EQ(ok, c.ok) << "input: " << Hex(c.input);
    EXPECT_EQ(result.ok(), ok);
    if (c.ok) {
      EXPECT_EQ(result.value().DebugString(), c.expected) << "input: " << Hex(c.input);
    } else {
      EXPECT_EQ(result.ErrorMessage(), c.expected) << "input: " << Hex(c.input);
    }
    EXPECT_EQ(consumed, c.consumed) << "input: " << Hex(c.input);
  }
}

TEST(MessagePackReaderTest, Scalars) {
  RunCases({
      {{}, "empty", true, 0},
      {{0x00}, "0", true, 1},
      {{0x7F}, "127", true, 1},
      {{0xFF}, "-1", true, 1},
      {{0xE0}, "-32", true, 1},
      {{0xC0}, "empty", true, 1},
      {{0xC2}, "false", true, 1},
      {{0xC3}, "true", true, 1},
      {{0xCC, 0xFF}, "255u", true, 2},
      {{0xCD, 0x01, 0x02}, "258u", true, 3},
      {{0xCE, 0xFF, 0xFF, 0xFF, 0xFF}, "4294967295u", true, 5},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "18446744073709551615u", true, 9},
      {{0xCC, 0x01}, "1u", true, 2},  // the family decides the kind, not the value
      {{0xD0, 0xFF}, "-1", true, 2},
      {{0xD0, 0x05}, "5", true, 2},
      {{0xD1, 0xFF, 0xFE}, "-2", true, 3},
      {{0xD2, 0x80, 0x00, 0x00, 0x00}, "-2147483648", true, 5},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "-9223372036854775808", true, 9},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, "1.5", true, 5},
      {{0xCB, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, "1.5", true, 9},
      {{0xA0}, "\"\"", true, 1},
      {{0xA3, 'a', 'b', 'c'}, "\"abc\"", true, 4},
      {{0xA3, 'a', 0x00, 'c'}, "\"a\\x00c\"", true, 4},  // texts are bytes
      {{0xD9, 0x02, 'h', 'i'}, "\"hi\"", true, 4},
      {{0xDA, 0x00, 0x01, 'x'}, "\"x\"", true, 4},
      {{0xDB, 0x00, 0x00, 0x00, 0x01, 'y'}, "\"y\"", true, 6},
      {{0xC4, 0x03, 'a', 'b', 'c'}, "b64\"YWJj\"", true, 5},
      {{0xC5, 0x00, 0x00}, "b64\"\"", true, 3},
      {{0xC6, 0x00, 0x00, 0x00, 0x01, 0xFF}, "b64\"/w==\"", true, 6},
      // Only the first value is read.
      {{0x01, 0x02}, "1", true, 1},
  });
}

TEST(MessagePackReaderTest, Containers) {
  RunCases({
      {{0x90}, "[]", true, 1},
      {{0x80}, "{}", true, 1},
      {{0x92, 0x01, 0xA1, 'x'}, "[1, \"x\"]", true, 4},
      {{0x93, 0xC0, 0x91, 0x01, 0xC3}, "[empty, [1], true]", true, 5},
      {{0xDC, 0x00, 0x02, 0x01, 0x02}, "[1, 2]", true, 5},
      {{0xDD, 0x00, 0x00, 0x00, 0x01, 0x07}, "[7]", true, 6},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x02}, "{\"a\": 2, \"b\": 1}", true, 7},
      {{0xDE, 0x00, 0x01, 0xA1, 'k', 0x90}, "{\"k\": []}", true, 6},
      {{0xDF, 0x00, 0x00, 0x00, 0x01, 0xA1, 'k', 0xC0}, "{\"k\": empty}", true, 8},
      {{0x81, 0xD9, 0x01, 'k', 0x05}, "{\"k\": 5}", true, 5},
      // A finished root stops the decoding even with bytes left.
      {{0x90, 0x01}, "[]", true, 1},
      {{0x91, 0x01, 0x02}, "[1]", true, 2},
  });
}

TEST(MessagePackReaderTest, EndOfInputClosesOpenContainers) {
  RunCases({
      {{0x92, 0x01}, "[1]", true, 2},
      {{0x95, 0x01, 0x02}, "[1, 2]", true, 3},
      {{0x93, 0x91}, "[[]]", true, 2},
      // A key without its value adds no member.
      {{0x82, 0xA1, 'a', 0x01, 0xA1, 'b'}, "{\"a\": 1}", true, 6},
      // A huge declared count costs nothing.
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "[1]", true, 6},
      {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF}, "{}", true, 5},
  });
}

// A declared count within the value model's limits must not be taken as a size hint: the
// tree of a short input holds only what its bytes describe, with nothing from the general heap.
TEST(MessagePackReaderTest, HugeDeclaredCountsAllocateNothingAhead) {
  const Bytes inputs[] = {
      {0xDD, 0x0F, 0xFF, 0xFF, 0xFF, 0x01},
      {0xDF, 0x0F, 0xFF, 0xFF, 0xFF, 0xA1, 'k', 0x01},
      {0x91, 0xDD, 0x0F, 0xFF, 0xFF, 0xFF, 0xDC, 0xFF, 0xFF, 0x01},
  };
  for (const Bytes& input : inputs) {
    BindingResult result;
    ASSERT_TRUE(MessagePackReader::Decode(result, nullptr, input.data(), input.size()))
        << "input: " << Hex(input) << result.ErrorMessage();
    const BindingValue::TreeStats stats = result.value().GetTreeStats();
    EXPECT_EQ(stats.heap_blocks, 0u) << "input: " << Hex(input);
  }
}

TEST(MessagePackReaderTest, RepeatedKeysDecodeIntoTheSameMember) {
  RunCases({
      // A scalar replaces the earlier value, whatever its kind.
      {{0x82, 0xA1, 'a', 0x01, 0xA1, 'a', 0x02}, "{\"a\": 2}", true, 7},
      {{0x82, 0xA1, 'a', 0x91, 0x01, 0xA1, 'a', 0x05}, "{\"a\": 5}", true, 8},
      {{0x82, 0xA1, 'a', 0x91, 0x01, 0xA1, 'a', 0xC0}, "{\"a\": empty}", true, 8},
      // A map merges its pairs into the earlier map.
      {{0x82, 0xA1, 'a', 0x81, 0xA1, 'x', 0x01, 0xA1, 'a', 0x81, 0xA1, 'y', 0x02},
       "{\"a\": {\"x\": 1, \"y\": 2}}",
       true,
       13},
      // An array overwrites the first elements and keeps the further ones.
      {{0x82, 0xA1, 'a', 0x93, 0x01, 0x02, 0x03, 0xA1, 'a', 0x91, 0x09},
       "{\"a\": [9, 2, 3]}",
       true,
       11},
      // An element that was a container is replaced by a scalar.
      {{0x82, 0xA1, 'a', 0x91, 0x91, 0x01, 0xA1, 'a', 0x91, 0x07}, "{\"a\": [7]}", true, 10},
  });
}

TEST(MessagePackReaderTest, Errors) {
  RunCases({
      {{0xC1}, "Invalid MessagePack data at position 1.", false, 1},
      {{0xD4, 0x00, 0x00}, "Invalid MessagePack data at position 1.", false, 1},
      {{0xC7, 0x00, 0x00}, "Invalid MessagePack data at position 1.", false, 1},
      {{0xC8}, "Invalid MessagePack data at position 1.", false, 1},
      {{0xC9}, "Invalid MessagePack data at position 1.", false, 1},
      {{0xD8}, "Invalid MessagePack data at position 1.", false, 1},
      {{0x92, 0x01, 0xC1}, "Invalid MessagePack data at position 3.", false, 3},
      {{0x81, 0x01, 0x02},
       "Invalid MessagePack data at position 2. Map keys must be strings.",
       false,
       2},
      {{0x81, 0xC4, 0x01, 'a', 0x02},
       "Invalid MessagePack data at position 2. Map keys must be strings.",
       false,
       2},
      {{0x81, 0x80}, "Invalid MessagePack data at position 2. Map keys must be strings.", false, 2},
      {{0xCC},
       "Invalid MessagePack data. 8-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xD9},
       "Invalid MessagePack data. 8-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xCD, 0x01},
       "Invalid MessagePack data. 16-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xDC, 0x00},
       "Invalid MessagePack data. 16-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xCA, 0, 0, 0},
       "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xDF, 0, 0, 0},
       "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xCF, 0, 0, 0, 0, 0, 0, 0},
       "Invalid MessagePack data. 64-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xCB},
       "Invalid MessagePack data. 64-bit integer value at position 1 is truncated.",
       false,
       1},
      {{0xA3, 0x61, 0x62},
       "Invalid MessagePack data. String of size 3 at position 1 is truncated.",
       false,
       1},
      {{0xDB, 0xFF, 0xFF, 0xFF, 0xFF, 'a'},
       "Invalid MessagePack data. String of size 4294967295 at position 5 is truncated.",
       false,
       5},
      {{0x81, 0xA2, 'k'},
       "Invalid MessagePack data. String of size 2 at position 2 is truncated.",
       false,
       2},
      {{0xC4, 0x02, 0x00},
       "Invalid MessagePack data. Raw bytes of size 2 at position 2 are truncated.",
       false,
       2},
      {{0xC6, 0x7F, 0xFF, 0xFF, 0xFF},
       "Invalid MessagePack data. Raw bytes of size 2147483647 at position 5 are truncated.",
       false,
       5},
  });
}

TEST(MessagePackReaderTest, FailureDiscardsThePartialValue) {
  BindingResult result;
  const Bytes input = {0x82, 0xA1, 'a', 0x01, 0xA1, 'b', 0xC1};
  EXPECT_FALSE(MessagePackReader::Decode(result, nullptr, input.data(), input.size()));
  EXPECT_EQ(result.value().Size(), 1u);
  EXPECT_TRUE(result.value().FindMember("a").IsEmpty());
  // A result used before is reset by the next decoding.
  const Bytes good = {0x05};
  EXPECT_TRUE(MessagePackReader::Decode(result, nullptr, good.data(), good.size()));
  EXPECT_EQ(result.value().GetSigned(), 5);
}

// Builds `depth` nested one-element arrays around a 1 (a nesting of `depth` containers).
Bytes NestedArrays(size_t depth) {
  Bytes bytes(depth, 0x91);
  bytes.push_back(0x01);
  return bytes;
}

TEST(MessagePackReaderTest, NestingAtTheLimitDecodes) {
  const Bytes input = NestedArrays(kMaxNestingDepth);
  BindingResult result;
  size_t consumed = 0;
  ASSERT_TRUE(MessagePackReader::Decode(result, &consumed, input.data(), input.size()))
      << result.ErrorMessage();
  EXPECT_EQ(consumed, input.size());
  const BindingValue* value = &result.value();
  for (size_t i = 0; i < kMaxNestingDepth; ++i) {
    ASSERT_EQ(value->kind(), ValueKind::kCollection) << "level " << i;
    value = &value->At(0);
  }
  EXPECT_EQ(value->GetSigned(), 1);
  // The deepest allowed tree can be copied, compared and cleared.
  BindingValue copy = result.value();
  EXPECT_TRUE(copy == result.value());
  copy.Clear();
}

TEST(MessagePackReaderTest, NestingPastTheLimitFails) {
  struct DeepCase {
    Bytes input;
    std::string message;
  };
  Bytes maps;
  for (size_t i = 0; i <= kMaxNestingDepth; ++i) {
    maps.insert(maps.end(), {0x81, 0xA1, 'k'});
  }
  Bytes array16(kMaxNestingDepth, 0x91);
  array16.insert(array16.end(), {0xDC, 0x00});  // too deep and cut off: the depth is reported
  const DeepCase cases[] = {
      {NestedArrays(kMaxNestingDepth + 1),
       "Invalid MessagePack data at position 513. Nesting deeper than 512 levels is not "
       "supported."},
      {maps,
       "Invalid MessagePack data at position 1537. Nesting deeper than 512 levels is not "
       "supported."},
      {array16,
       "Invalid MessagePack data at position 513. Nesting deeper than 512 levels is not "
       "supported."},
      // A few hundred kilobytes of 0x91 are refused the same way.
      {Bytes(300000, 0x91),
       "Invalid MessagePack data at position 513. Nesting deeper than 512 levels is not "
       "supported."},
  };
  for (const DeepCase& c : cases) {
    BindingResult result;
    EXPECT_FALSE(MessagePackReader::Decode(result, nullptr, c.input.data(), c.input.size()));
    EXPECT_EQ(result.ErrorMessage(), c.message) << "input size " << c.input.size();
  }
}

TEST(MessagePackReaderTest, MembersAreWalkedInNameOrder) {
  const Bytes input = {0x83, 0xA1, 'c', 0x03, 0xA2, 'a', 'b', 0x02, 0xA1, 'a', 0x01};
  BindingResult result;
  ASSERT_TRUE(MessagePackReader::Decode(result, nullptr, input.data(), input.size()));
  std::vector<std::string> names;
  for (const auto& member : result.value().Members()) names.emplace_back(member.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "ab", "c"}));
}

}  // namespace
}  // namespace sdk::binding
