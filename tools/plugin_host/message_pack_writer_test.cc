#include "tools/plugin_host/message_pack_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace plugin_host {
namespace {

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

std::string Repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// Each item in its shortest form, at the edges where the form changes.
TEST(MessagePackWriterTest, ItemsTakeTheirShortestForm) {
  struct Case {
    const char* name;
    std::function<void(MessagePackWriter&)> write;
    std::string hex;
  };
  const Case cases[] = {
      {"nil", [](auto& w) { w.Nil(); }, "c0"},
      {"false", [](auto& w) { w.Bool(false); }, "c2"},
      {"true", [](auto& w) { w.Bool(true); }, "c3"},
      {"0", [](auto& w) { w.Unsigned(0); }, "00"},
      {"127", [](auto& w) { w.Unsigned(127); }, "7f"},
      {"128", [](auto& w) { w.Unsigned(128); }, "cc80"},
      {"256", [](auto& w) { w.Unsigned(256); }, "cd0100"},
      {"65536", [](auto& w) { w.Unsigned(65536); }, "ce00010000"},
      {"2^32", [](auto& w) { w.Unsigned(uint64_t{1} << 32); }, "cf0000000100000000"},
      {"signed 5", [](auto& w) { w.Signed(5); }, "05"},
      {"signed 200", [](auto& w) { w.Signed(200); }, "ccc8"},
      {"-1", [](auto& w) { w.Signed(-1); }, "ff"},
      {"-32", [](auto& w) { w.Signed(-32); }, "e0"},
      {"-33", [](auto& w) { w.Signed(-33); }, "d0df"},
      {"-129", [](auto& w) { w.Signed(-129); }, "d1ff7f"},
      {"-32769", [](auto& w) { w.Signed(-32769); }, "d2ffff7fff"},
      {"int64 min", [](auto& w) { w.Signed(std::numeric_limits<int64_t>::min()); },
       "d38000000000000000"},
      {"1.5", [](auto& w) { w.Float(1.5); }, "cb3ff8000000000000"},
      {"empty text", [](auto& w) { w.String(""); }, "a0"},
      {"abc", [](auto& w) { w.String("abc"); }, "a3616263"},
      {"31 bytes", [](auto& w) { w.String(std::string(31, 'a')); }, "bf" + Repeat("61", 31)},
      {"empty bytes", [](auto& w) { w.Binary(""); }, "c400"},
      {"array 15", [](auto& w) { w.ArrayHeader(15); }, "9f"},
      {"array 16", [](auto& w) { w.ArrayHeader(16); }, "dc0010"},
      {"array 65536", [](auto& w) { w.ArrayHeader(65536); }, "dd00010000"},
      {"map 1", [](auto& w) { w.MapHeader(1); }, "81"},
      {"map 16", [](auto& w) { w.MapHeader(16); }, "de0010"},
      {"map 65536", [](auto& w) { w.MapHeader(65536); }, "df00010000"},
  };
  for (const Case& c : cases) {
    MessagePackWriter writer;
    c.write(writer);
    EXPECT_EQ(Hex(writer.bytes()), c.hex) << c.name;
  }
}

TEST(MessagePackWriterTest, LengthPrefixesChangeAtTheirEdges) {
  struct Case {
    size_t size;
    bool text;
    std::string prefix_hex;
  };
  const Case cases[] = {{32, true, "d920"},          {255, true, "d9ff"},  {256, true, "da0100"},
                        {65536, true, "db00010000"}, {255, false, "c4ff"}, {256, false, "c50100"},
                        {65536, false, "c600010000"}};
  for (const Case& c : cases) {
    MessagePackWriter writer;
    const std::string data(c.size, 'z');
    ASSERT_TRUE(c.text ? writer.String(data) : writer.Binary(data));
    const std::string prefix = writer.bytes().substr(0, writer.bytes().size() - c.size);
    EXPECT_EQ(Hex(prefix), c.prefix_hex) << c.size << (c.text ? " text" : " bytes");
    EXPECT_EQ(writer.bytes().substr(prefix.size()), data);
  }
}

TEST(MessagePackWriterTest, HostValuesBecomeMapsArraysAndBin) {
  const OwnedHostValue value = OwnedHostValue::Structure(
      {{"texts", OwnedHostValue::Collection(
                     {OwnedHostValue::String("hi"), OwnedHostValue::Blob(std::string("\0", 1))})},
       {"level", OwnedHostValue::Unsigned(1)},
       {"n", OwnedHostValue::Signed(-2)},
       {"e", OwnedHostValue()}});
  MessagePackWriter writer;
  ASSERT_TRUE(writer.Write(value.view()).ok());
  EXPECT_EQ(Hex(writer.bytes()),
            "84"  // map of 4
            "a5"
            "7465787473"  // "texts"
            "92"
            "a2"
            "6869"
            "c401"
            "00"
            "a5"
            "6c6576656c"
            "01"  // "level": 1
            "a1"
            "6e"
            "fe"  // "n": -2
            "a1"
            "65"
            "c0");  // "e": nil
}

TEST(MessagePackWriterTest, MalformedHostValuesAreRefused) {
  HostValue unknown{};
  unknown.tag = 42;
  MessagePackWriter writer;
  const Status status = writer.Write(HostValueView(&unknown));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.message(), "unknown host value tag 42");

  OwnedHostValue deep;
  for (int i = 0; i < 4; ++i) deep = OwnedHostValue::Collection({std::move(deep)});
  EXPECT_FALSE(writer.Write(deep.view(), 3).ok());
  writer.Clear();
  EXPECT_TRUE(writer.Write(deep.view(), 4).ok());
  EXPECT_EQ(Hex(writer.bytes()), "91919191c0");
}

}  // namespace
}  // namespace plugin_host
