#include "tools/plugin_host/host_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace plugin_host {
namespace {

std::string ToJson(const OwnedHostValue& value, JsonStyle style = JsonStyle::kCompact) {
  Result<std::string> json = HostValueToJson(value.view(), style);
  EXPECT_TRUE(json.ok()) << json.error();
  return json.ok() ? json.value() : std::string();
}

TEST(HostJsonTest, DocumentsRoundTrip) {
  struct Case {
    std::string input;
    std::string output;  // compact
  };
  const Case cases[] = {
      {"null", "null"},
      {" true ", "true"},
      {"-1", "-1"},
      {"0", "0"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"1.5", "1.5"},
      {"1e300", "1e300"},
      {"\"caf\\u00e9 \xC3\xA9 \\n \\\"q\\\"\"", "\"caf\xC3\xA9 \xC3\xA9 \\n \\\"q\\\"\""},
      {"\"a\\u0000b\"", "\"a\\u0000b\""},
      {"[]", "[]"},
      {"{}", "{}"},
      {"{\"b\": 1, \"a\": [1, -2, 3.25, \"x\", null, false]}",
       "{\"b\":1,\"a\":[1,-2,3.25,\"x\",null,false]}"},
      {"{\"a\": 1, \"a\": 2}", "{\"a\":1,\"a\":2}"},
      {"[[[{\"deep\": [[]]}]]]", "[[[{\"deep\":[[]]}]]]"},
  };
  for (const Case& c : cases) {
    Result<OwnedHostValue> value = JsonToHostValue(c.input);
    ASSERT_TRUE(value.ok()) << "input: " << c.input << ": " << value.error();
    EXPECT_EQ(ToJson(value.value()), c.output) << "input: " << c.input;
  }
}

TEST(HostJsonTest, NumbersTakeTheirKinds) {
  struct Case {
    const char* input;
    HostValueKind kind;
  };
  const Case cases[] = {{"-1", HostValueKind::kSigned},
                        {"-0", HostValueKind::kSigned},
                        {"1", HostValueKind::kUnsigned},
                        {"4294967296", HostValueKind::kUnsigned},
                        {"1.0", HostValueKind::kFloat},
                        {"1e2", HostValueKind::kFloat},
                        {"18446744073709551616", HostValueKind::kFloat}};
  for (const Case& c : cases) {
    Result<OwnedHostValue> value = JsonToHostValue(c.input);
    ASSERT_TRUE(value.ok()) << "input: " << c.input;
    EXPECT_EQ(value->kind(), c.kind) << "input: " << c.input;
  }
  Result<OwnedHostValue> text = JsonToHostValue("\"a\\u0000b\"");
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(text->view().AsString(), std::string("a\0b", 3));
}

TEST(HostJsonTest, BadDocumentsAreErrors) {
  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {"", "The document is empty. (at offset 0)"},
      {"{", "Missing a name for object member. (at offset 1)"},
      {"[1,]", "Invalid value. (at offset 3)"},
      {"{} x", "The document root must not be followed by other values. (at offset 3)"},
      {"\"\xFF\"", "Invalid encoding in string. (at offset 1)"},
      {std::string("{}\0", 3), "The JSON text holds a NUL byte (at offset 2)"},
      {std::string(513, '[') + std::string(513, ']'), "The JSON text nests deeper than 512"},
  };
  for (const Case& c : cases) {
    Result<OwnedHostValue> value = JsonToHostValue(c.input);
    ASSERT_FALSE(value.ok()) << "input: " << c.input;
    EXPECT_EQ(value.error().rfind(c.message, 0), 0u)
        << "input: " << c.input << ": " << value.error();
  }
  EXPECT_TRUE(JsonToHostValue(std::string(512, '[') + std::string(512, ']')).ok());
}

TEST(HostJsonTest, BlobsLeaveAsBase64) {
  // RFC 4648's test vectors.
  struct Case {
    const char* bytes;
    const char* base64;
  };
  const Case cases[] = {{"", ""},
                        {"f", "Zg=="},
                        {"fo", "Zm8="},
                        {"foo", "Zm9v"},
                        {"foob", "Zm9vYg=="},
                        {"fooba", "Zm9vYmE="},
                        {"foobar", "Zm9vYmFy"}};
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.base64) << "bytes: " << c.bytes;
    EXPECT_EQ(ToJson(OwnedHostValue::Blob(c.bytes)), "\"" + std::string(c.base64) + "\"");
  }
  EXPECT_EQ(Base64Encode(std::string("\xFF\x00\xFE", 3)), "/wD+");
}

TEST(HostJsonTest, NonFiniteFloatsLeaveAsNull) {
  const OwnedHostValue value =
      OwnedHostValue::Collection({OwnedHostValue::Float(std::numeric_limits<double>::quiet_NaN()),
                                  OwnedHostValue::Float(std::numeric_limits<double>::infinity()),
                                  OwnedHostValue::Float(-std::numeric_limits<double>::infinity()),
                                  OwnedHostValue::Float(-0.25)});
  EXPECT_EQ(ToJson(value), "[null,null,null,-0.25]");
}

TEST(HostJsonTest, InvalidUtf8IsReplacedSoTheOutputStaysJson) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC0\xAF", fffd + fffd},                        // overlong "/"
      {"\xED\xA0\x80", fffd + fffd + fffd},             // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"x\xE2\x82", "x" + fffd + fffd},                 // cut short at the end
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.text), c.text == c.written) << "text: " << c.text;
    EXPECT_EQ(ToJson(OwnedHostValue::String(c.text)), "\"" + c.written + "\"") << c.text;
    const OwnedHostValue keyed = OwnedHostValue::Structure({{c.text, OwnedHostValue()}});
    EXPECT_EQ(ToJson(keyed), "{\"" + c.written + "\":null}") << c.text;
  }
}

TEST(HostJsonTest, PrettyOutputIndentsByTwo) {
  const OwnedHostValue value =
      OwnedHostValue::Structure({{"a", OwnedHostValue::Collection({OwnedHostValue::Unsigned(1)})},
                                 {"b", OwnedHostValue::String("x")}});
  EXPECT_EQ(ToJson(value, JsonStyle::kPretty), "{\n  \"a\": [\n    1\n  ],\n  \"b\": \"x\"\n}");
}

TEST(HostJsonTest, MalformedValuesAreNotWritten) {
  HostValue unknown{};
  unknown.tag = 12;
  HostStructureEntry entry{};
  entry.key = "k";
  entry.value = unknown;
  HostValue root{};
  root.tag = kHostValueStructure;
  root.payload.span.data = &entry;
  root.payload.span.count = 1;
  Result<std::string> json = HostValueToJson(HostValueView(&root));
  ASSERT_FALSE(json.ok());
  EXPECT_EQ(json.error(), "unknown host value tag 12 at .k");

  OwnedHostValue deep;
  for (int i = 0; i < 3; ++i) deep = OwnedHostValue::Collection({std::move(deep)});
  JsonLimits limits;
  limits.max_depth = 2;
  EXPECT_FALSE(HostValueToJson(deep.view(), JsonStyle::kCompact, limits).ok());
  limits.max_depth = 3;
  EXPECT_TRUE(HostValueToJson(deep.view(), JsonStyle::kCompact, limits).ok());
}

}  // namespace
}  // namespace plugin_host
