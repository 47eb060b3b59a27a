// Tests of query parsing, named-argument binding with index paths, argument text decoding and
// body decoding.
#include "sdk/dispatch/argument_binding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/nesting_limit.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/native_handler.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingRegistry;
using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::RecordBuilder;
using sdk::binding::ValueKind;

TEST(ParseQueryTest, Table) {
  struct Case {
    std::string_view text;
    QueryArguments expected;
  };
  const Case cases[] = {
      {"", {}},
      {"a=1", {{"a", "1"}}},
      {"a=1&a=2", {{"a", "2"}}},
      {"a=1&", {{"a", "1"}, {"", ""}}},
      {"&&", {{"", ""}}},
      {"flag", {{"flag", ""}}},
      {"a==b", {{"a", "=b"}}},
      {"=x", {{"", "x"}}},
      {"n%61me=v%20a+b", {{"name", "v a b"}}},
      {"b=2&a=1", {{"a", "1"}, {"b", "2"}}},
      {"items.2=x&items.0=y", {{"items.0", "y"}, {"items.2", "x"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseQuery(c.text), c.expected) << "query: " << c.text;
  }
}

}  // namespace

// Registered records live in a named namespace: their identities come from their names.
namespace binding_test_records {

struct BindItem {
  std::string name;
  uint32_t count = 0;
};

}  // namespace binding_test_records

namespace {

using binding_test_records::BindItem;

// One function with parameters of every kind that binding treats differently.
class BindingTest : public ::testing::Test {
 protected:
  BindingTest() {
    RecordBuilder<BindItem> item(registry_, "BindItem");
    SDK_BINDING_MEMBER(item, name);
    SDK_BINDING_MEMBER(item, count);
    EndpointBuilder builder = DeclareRoute(
        table_, HttpMethod::kGet, "/bind/{level}",
        [](uint32_t, bool, std::vector<std::string>, BindItem, BindingValue, std::string,
           std::optional<bool>, std::map<std::string, std::string>) {},
        Anywhere("level"), Anywhere("verbose"), InQuery("items"), Anywhere("item"),
        Anywhere("object"), InHeader("name"), InPath("flag"), Anywhere("table"));
    endpoint_ = builder.endpoint();
    for (BindingValue& argument : arguments_) argument.Clear();
  }

  size_t Index(std::string_view name) const {
    const auto& parameters = endpoint_->function().arguments;
    for (size_t i = 0; i < parameters.size(); ++i) {
      if (parameters[i].name == name) return i;
    }
    return parameters.size();
  }

  bool Bind(std::string_view name, std::string_view raw,
            ArgumentLocation location = ArgumentLocation::kQuery) {
    return BindNamedArgument(state_, arguments_, endpoint_->function(), *endpoint_, name, raw,
                             location);
  }

  BindingRegistry registry_;
  EndpointTable table_{registry_};
  const Endpoint* endpoint_ = nullptr;
  CallState state_;
  BindingValue arguments_[8];
};

TEST_F(BindingTest, NamedArguments) {
  struct Case {
    std::string_view name;
    std::string_view raw;
    ArgumentLocation location;
    std::string_view parameter;  // whose value to check
    std::string_view expected;   // its DebugString, or the error text
    bool ok;
  };
  using L = ArgumentLocation;
  const Case cases[] = {
      {"level", "2", L::kQuery, "level", "\"2\"", true},
      {"level", "2", L::kHeader, "level", "\"2\"", true},
      {"level", "", L::kQuery, "level", "Expected value for argument 'level'.", false},
      {"verbose", "", L::kQuery, "verbose", "true", true},
      {"verbose", "false", L::kQuery, "verbose", "\"false\"", true},
      {"flag", "", L::kPath, "flag", "true", true},
      {"item", "", L::kQuery, "item", "{}", true},
      {"object", "", L::kQuery, "object", "{}", true},
      {"items", "", L::kQuery, "items", "[]", true},
      {"table", "", L::kQuery, "table", "Expected value for argument 'table'.", false},
      {"name", "", L::kHeader, "name", "Expected value for argument 'name'.", false},
      {"nothing", "1", L::kQuery, "", "Unknown argument 'nothing' for 'GetBindByLevel'.", false},
      {"", "1", L::kQuery, "", "Unknown argument '' for 'GetBindByLevel'.", false},
      {"nothing.0", "1", L::kQuery, "", "Unknown argument 'nothing' for 'GetBindByLevel'.", false},
      {"Level", "1", L::kQuery, "", "Unknown argument 'Level' for 'GetBindByLevel'.", false},
      {"items", "[]", L::kPath, "",
       "Argument 'items' for 'GetBindByLevel' was specified in an invalid location.", false},
      {"name", "x", L::kQuery, "",
       "Argument 'name' for 'GetBindByLevel' was specified in an invalid location.", false},
      {"items.0", "x", L::kHeader, "",
       "Argument 'items' for 'GetBindByLevel' was specified in an invalid location.", false},
      // Structured parameters sniff their texts; others keep them as strings.
      {"item", "{\"name\":\"a\"}", L::kQuery, "item", "{\"name\": \"a\"}", true},
      {"item", "  [1]", L::kQuery, "item", "[1u]", true},
      {"items", "---\n- a\n- b", L::kQuery, "items", "[\"a\", \"b\"]", true},
      {"object", std::string_view("\x92\x01\x02", 3), L::kQuery, "object", "[1, 2]", true},
      {"object", "plain", L::kQuery, "object", "\"plain\"", true},
      {"level", "{\"a\":1}", L::kQuery, "level", "\"{\\\"a\\\":1}\"", true},
      {"table", "{\"a\":\"1\"}", L::kQuery, "table", "\"{\\\"a\\\":\\\"1\\\"}\"", true},
      {"item", "{\"name\":", L::kQuery, "",
       "Couldn't deserialize JSON value for parameter 'item' of 'GetBindByLevel': Error: Invalid "
       "value. at offset 8.",
       false},
      {"item", "---\na: [", L::kQuery, "", "", false},  // YAML message checked below
      {"object", std::string_view("\x81\x01\x02", 3), L::kQuery, "",
       "Couldn't deserialize MessagePack value for parameter 'object' of 'GetBindByLevel': "
       "Invalid MessagePack data at position 2. Map keys must be strings.",
       false},
      // Index paths.
      {"items.2", "x", L::kQuery, "items", "[empty, empty, \"x\"]", true},
      {"items.0x1", "x", L::kQuery, "items", "[empty, \"x\"]", true},
      {"items.010", "x", L::kQuery, "items",
       "[empty, empty, empty, empty, empty, empty, empty, empty, \"x\"]", true},
      {"items.1a", "x", L::kQuery, "", "Index 1a is in an incorrect format", false},
      {"items.0x", "x", L::kQuery, "", "Index 0x is in an incorrect format", false},
      {"items.08", "x", L::kQuery, "", "Index 08 is in an incorrect format", false},
      {"items.2147483648", "x", L::kQuery, "", "Index 2147483648 is out of range", false},
      {"items.0x80000000", "x", L::kQuery, "", "Index 0x80000000 is out of range", false},
      {"items.99999999999999999999", "x", L::kQuery, "",
       "Index 99999999999999999999 is out of range", false},
      {"items.99999999999999999999z", "x", L::kQuery, "",
       "Index 99999999999999999999z is in an incorrect format", false},
      {"item.name", "a", L::kQuery, "item", "{\"name\": \"a\"}", true},
      {"object.a.1.b", "", L::kQuery, "object", "{\"a\": [empty, {\"b\": \"\"}]}", true},
      {"object.", "v", L::kQuery, "object", "{\"\": \"v\"}", true},
      // A leaf is always a string, whatever it looks like.
      {"object.a", "{\"x\":1}", L::kQuery, "object", "{\"a\": \"{\\\"x\\\":1}\"}", true},
      {"level.0", "1", L::kQuery, "level", "[\"1\"]", true},
  };
  for (const Case& c : cases) {
    state_ = CallState{};
    for (BindingValue& argument : arguments_) argument.Clear();
    const bool ok = Bind(c.name, c.raw, c.location);
    EXPECT_EQ(ok, c.ok) << "name: " << c.name << " raw: " << c.raw;
    EXPECT_EQ(state_.ok(), c.ok) << "name: " << c.name;
    if (!c.ok) {
      if (!c.expected.empty()) {
        EXPECT_EQ(state_.result.ErrorMessage(), c.expected) << "name: " << c.name;
      }
      continue;
    }
    const size_t index = Index(c.parameter);
    ASSERT_LT(index, 8u);
    EXPECT_EQ(arguments_[index].DebugString(), c.expected) << "name: " << c.name;
  }
}

TEST_F(BindingTest, YamlArgumentFailureNamesParameterAndFunction) {
  EXPECT_FALSE(Bind("item", "---\na: [", ArgumentLocation::kQuery));
  const std::string_view message = state_.result.ErrorMessage();
  EXPECT_TRUE(message.starts_with(
      "Couldn't deserialize YAML value for parameter 'item' of 'GetBindByLevel': YAML parser "
      "error: "))
      << message;
}

TEST_F(BindingTest, IndexPathsMergeIntoTheArgument) {
  ASSERT_TRUE(Bind("items", "[\"a\",\"b\",\"c\"]"));
  ASSERT_TRUE(Bind("items.1", "x"));
  EXPECT_EQ(arguments_[Index("items")].DebugString(), "[\"a\", \"x\", \"c\"]");
  // A member segment turns a collection into a structure, discarding it.
  ASSERT_TRUE(Bind("items.k", "v"));
  EXPECT_EQ(arguments_[Index("items")].DebugString(), "{\"k\": \"v\"}");
  // A scalar becomes a collection under an index.
  ASSERT_TRUE(Bind("verbose", "true"));
  ASSERT_TRUE(Bind("verbose.1", "x"));
  EXPECT_EQ(arguments_[Index("verbose")].DebugString(), "[empty, \"x\"]");
}

TEST_F(BindingTest, IndexPathsCannotBuildUnboundedCollections) {
  // The elements that index paths create in one call are bounded; reaching an existing element
  // costs nothing.
  const std::string last = "items." + std::to_string(kMaxIndexedElementsPerCall - 1);
  ASSERT_TRUE(Bind(last, "x"));
  EXPECT_EQ(arguments_[Index("items")].Size(), kMaxIndexedElementsPerCall);
  ASSERT_TRUE(Bind("items.5", "y"));
  EXPECT_FALSE(Bind("object.0", "z"));
  EXPECT_EQ(state_.result.ErrorMessage(), "Index 0 is out of range");

  state_ = CallState{};
  for (BindingValue& argument : arguments_) argument.Clear();
  EXPECT_FALSE(Bind("items.268435454", "x"));
  EXPECT_EQ(state_.result.ErrorMessage(), "Index 268435454 is out of range");
  EXPECT_EQ(arguments_[Index("items")].Size(), 0u);

  // Nesting is bounded too.
  state_ = CallState{};
  std::string deep = "object";
  for (size_t i = 0; i <= sdk::binding::kMaxNestingDepth; ++i) deep += ".a";
  EXPECT_FALSE(Bind(deep, "x"));
  EXPECT_EQ(state_.result.ErrorMessage(),
            "Argument 'object' for 'GetBindByLevel' is nested deeper than 512 levels.");
  state_ = CallState{};
  deep.resize(deep.size() - 2);
  EXPECT_TRUE(Bind(deep, "x"));
}

TEST(DecodeArgumentTextTest, ContentTypes) {
  sdk::binding::FunctionRecord function;
  function.name = "F";
  struct Case {
    std::string_view raw;
    std::string_view content_type;
    bool structured;
    std::string_view expected;  // DebugString, or the error text
    bool ok;
  };
  const Case cases[] = {
      {"{\"a\":1}", "application/json", false, "{\"a\": 1u}", true},
      {"{\"a\":1}", "application/json; charset=utf-8", false, "{\"a\": 1u}", true},
      {"1", "application/json", false, "1u", true},
      {"{\"a\":1}", "", false, "\"{\\\"a\\\":1}\"", true},
      {"{\"a\":1}", "text/plain", true, "\"{\\\"a\\\":1}\"", true},
      {"   {\"a\":1}", "", true, "{\"a\": 1u}", true},
      {"\t{\"a\":1}", "", true, "\"\\x09{\\\"a\\\":1}\"", true},  // only spaces are skipped
      {"a: 1", "text/x-yaml", false, "{\"a\": 1u}", true},
      {"---\na: 1", "", true, "{\"a\": 1u}", true},
      {"--- 5", "", false, "\"--- 5\"", true},
      {std::string_view("\x01", 1), "application/x-msgpack", false, "1", true},
      {std::string_view("\x01", 1), "APPLICATION/X-MSGPACK-EXT", false, "1", true},
      {std::string_view("\x90", 1), "", true, "[]", true},
      {std::string_view("\xDC\x00\x01\x01", 4), "", true, "[1]", true},
      {std::string_view("\xA1x", 2), "", true, "\"\xA1x\"", true},
      {"abc", "application/octet-stream", false, "b64\"YWJj\"", true},
      {"abc", "application/json", false,
       "Couldn't deserialize JSON value for parameter 'p' of 'F': Error: Invalid value. at offset "
       "0.",
       false},
      {std::string_view("\xC1", 1), "application/x-msgpack", false,
       "Couldn't deserialize MessagePack value for parameter 'p' of 'F': Invalid MessagePack data "
       "at position 1.",
       false},
  };
  for (const Case& c : cases) {
    BindingResult result;
    BindingValue target;
    const bool ok =
        DecodeArgumentText(result, target, function, "p", c.raw, c.content_type, c.structured);
    EXPECT_EQ(ok, c.ok) << "raw: " << c.raw << " type: " << c.content_type;
    if (ok) {
      EXPECT_TRUE(result.ok());
      EXPECT_EQ(target.DebugString(), c.expected) << "raw: " << c.raw;
    } else {
      EXPECT_EQ(result.ErrorMessage(), c.expected) << "raw: " << c.raw;
    }
  }
}

// Copies a body into a heap block of exactly its size, so that a read past it is caught.
std::unique_ptr<char[]> ExactCopy(std::string_view body) {
  auto copy = std::make_unique<char[]>(body.size() == 0 ? 1 : body.size());
  std::memcpy(copy.get(), body.data(), body.size());
  return copy;
}

TEST(DecodeBodyTest, ContentTypes) {
  struct Case {
    std::string_view content_type;
    std::string_view body;
    std::string_view expected;  // DebugString, or the error text
    bool ok;
  };
  const Case cases[] = {
      {"application/json", "{\"a\":[1,2]}", "{\"a\": [1u, 2u]}", true},
      {"application/json; charset=utf-8", "{\"a\":1}", "{\"a\": 1u}", true},
      {"Application/JSON", "true", "true", true},
      {"application/vnd.api+json", "{\"data\":null}", "{\"data\": empty}", true},
      {"application/json", "", "empty", true},
      // A JSON body ends at its size or at its first NUL, whichever comes first.
      {"application/json", std::string_view("[1]\0garbage", 11), "[1u]", true},
      {"application/json", "[1",
       "Error: Missing a comma or ']' after an array element. at offset 2.", false},
      {"application/x-yaml", "a: 1\nb: [x]", "{\"a\": 1u, \"b\": [\"x\"]}", true},
      {"application/x-yaml", std::string_view("a: 1\0b: 2", 9), "{\"a\": 1u}", true},
      {"text/x-yaml", "a: 1", "Unsupported body content type", false},
      {"application/x-msgpack",
       std::string_view("\x81\xA1"
                        "a\x01",
                        4),
       "{\"a\": 1}", true},
      {"application/x-msgpack",
       std::string_view("\x81\xA1"
                        "a\x01\x02",
                        5),
       "Extra MessgePack data found in body", false},
      {"application/x-msgpack", std::string_view("\xC1\x00", 2),
       "Invalid MessagePack data at position 1.", false},
      {"application/x-msgpack", "", "empty", true},
      {"text/plain", "{}", "Unsupported body content type", false},
      {"", "{}", "Unsupported body content type", false},
      {"application/jso", "{}", "Unsupported body content type", false},
  };
  for (const Case& c : cases) {
    const auto body = ExactCopy(c.body);
    BindingResult result;
    result.value().SetString("stale");
    const bool ok = DecodeBody(result, c.content_type, body.get(), c.body.size());
    EXPECT_EQ(ok, c.ok) << "type: " << c.content_type << " body: " << c.body.substr(0, 40);
    if (!ok) {
      EXPECT_EQ(result.ErrorMessage(), c.expected) << "type: " << c.content_type;
    } else if (!c.expected.empty()) {
      EXPECT_EQ(result.value().DebugString(), c.expected) << "type: " << c.content_type;
    }
  }
}

TEST(DecodeBodyTest, LongJsonBodyWithoutTerminator) {
  const std::string text = "[\"" + std::string(5000, 'x') + "\"]";
  const auto body = ExactCopy(text);
  BindingResult result;
  ASSERT_TRUE(DecodeBody(result, "application/json", body.get(), text.size()));
  EXPECT_EQ(result.value().At(0).GetString().size(), 5000u);
}

TEST(DecodeBodyTest, NullBodyReadsAsEmpty) {
  BindingResult result;
  EXPECT_TRUE(DecodeBody(result, "application/json", nullptr, 100));
  EXPECT_EQ(result.value().kind(), ValueKind::kEmpty);
  EXPECT_TRUE(DecodeBody(result, "application/x-msgpack", nullptr, 100));
  EXPECT_TRUE(DecodeBody(result, "application/x-yaml", nullptr, 100));
}

}  // namespace
}  // namespace sdk::dispatch
