#include "sdk/dispatch/yaml_adapter.h"

#include <gtest/gtest.h>

#include <string>

#include "sdk/binding/nesting_limit.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::kMaxNestingDepth;

struct Case {
  std::string input;
  std::string expected;  // DebugString of the value, or the whole error text
  bool ok;
};

void RunCases(const Case* begin, const Case* end) {
  for (const Case* c = begin; c != end; ++c) {
    BindingResult result;
    const bool ok = ParseYaml(result, c->input);
    EXPECT_EQ(ok, c->ok) << "input: " << c->input << "\nerror: " << result.ErrorMessage();
    if (c->ok) {
      EXPECT_EQ(result.value().DebugString(), c->expected) << "input: " << c->input;
    } else {
      EXPECT_EQ(result.ErrorMessage(), c->expected) << "input: " << c->input;
    }
  }
}

TEST(YamlAdapterTest, ScalarResolution) {
  const Case cases[] = {
      {"", "empty", true},
      {"a: 1", "{\"a\": 1u}", true},
      {"a: -1", "{\"a\": -1}", true},
      {"a: 1.5", "{\"a\": 1.5}", true},
      {"a: \"1\"", "{\"a\": \"1\"}", true},
      {"a: '1'", "{\"a\": \"1\"}", true},
      {"a: yes", "{\"a\": true}", true},
      {"a: Off", "{\"a\": false}", true},
      {"a: \"yes\"", "{\"a\": \"yes\"}", true},
      {"a: YeS", "{\"a\": \"YeS\"}", true},
      {"a: ~", "{\"a\": empty}", true},
      {"a: NULL", "{\"a\": empty}", true},
      {"a:", "{\"a\": empty}", true},
      {"a: \"\"", "{\"a\": \"\"}", true},
      {"a: inf", "{\"a\": \"inf\"}", true},
      {"a: -inf", "{\"a\": -inf}", true},
      {"a: .5", "{\"a\": 0.5}", true},
      {"a: 0x1F", "{\"a\": 31u}", true},
      {"a: 1e3", "{\"a\": 1000u}", true},
      {"a: 1e20", "{\"a\": 1e+20}", true},
      {"a: 12345678901234567890", "{\"a\": 12345678901234567168u}", true},
      {"a: -9223372036854775808", "{\"a\": -9223372036854775808}", true},
      {"a: 1_000", "{\"a\": \"1_000\"}", true},
      {"a: |\n  12\n", "{\"a\": \"12\\x0A\"}", true},
      {"a: hello world", "{\"a\": \"hello world\"}", true},
      {"a: !!str 1", "{\"a\": \"1\"}", true},
      {"a: !!int 5", "{\"a\": 5u}", true},
      {"a: !!int -5", "{\"a\": -5}", true},
      {"a: !!int 0x10", "{\"a\": 16u}", true},
      {"a: !!float 2", "{\"a\": 2}", true},
      {"a: !!bool yes", "{\"a\": true}", true},
      {"a: !!bool maybe", "{\"a\": empty}", true},
      {"!!str 7", "\"7\"", true},
      {"- a\n- [1, 2]\n- {k: v}", "[\"a\", [1u, 2u], {\"k\": \"v\"}]", true},
      {"\"\": 1", "{\"\": 1u}", true},
      {"1: a", "{\"1\": \"a\"}", true},
      {"!!str k: v", "{\"k\": \"v\"}", true},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(YamlAdapterTest, RepeatedKeysKeepTheLastValue) {
  const Case cases[] = {
      {"a: 1\na: 2", "{\"a\": 2u}", true},
      {"a: {x: 1}\na: {y: 2}", "{\"a\": {\"y\": 2u}}", true},
      // The member already holds a mapping: a sequence for it is not "in key position".
      {"a: {x: 1}\na: [2]", "{\"a\": [2u]}", true},
      {"a: [1, 2]\na: 3", "{\"a\": 3u}", true},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(YamlAdapterTest, AnchorsAndAliases) {
  const Case cases[] = {
      {"a: &x 1\nb: *x", "{\"a\": 1u, \"b\": 1u}", true},
      {"a: &x [1, {k: v}]\nb: *x", "{\"a\": [1u, {\"k\": \"v\"}], \"b\": [1u, {\"k\": \"v\"}]}",
       true},
      {"- &x a\n- *x\n- *x", "[\"a\", \"a\", \"a\"]", true},
      // An anchored key is its text.
      {"&k a: 1\nb: *k", "{\"a\": 1u, \"b\": \"a\"}", true},
      // An alias as a key names the member by the anchored string.
      {"x: &n name\n*n : 2", "{\"name\": 2u, \"x\": \"name\"}", true},
      // An anchor follows its node's current value while the node lives.
      {"a: &x 1\na: 2\nb: *x", "{\"a\": 2u, \"b\": 2u}", true},
      {"a: &x [1]\na: *x", "{\"a\": [1u]}", true},
      // A node destroyed by a repeated key keeps its last value for later aliases.
      {"p:\n  a: &x [1]\np: 3\nq: *x", "{\"p\": 3u, \"q\": [1u]}", true},
      {"p:\n  a: &x [1]\n  a: &y [2]\np: 3\nq: *x\nr: *y", "{\"p\": 3u, \"q\": [2u], \"r\": [2u]}",
       true},
      {"a: &x {p: &y 1}\na: *y", "{\"a\": 1u}", true},
      // Anchors belong to their document.
      {"--- &x ~\n--- *x", "Undefined alias encountered: \"x\". At line: 2 col: 5", false},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(YamlAdapterTest, Errors) {
  const Case cases[] = {
      {"a: 1\n---\nb: 2", "Multi-document YAML is not supported.", false},
      {"--- ~\n---\nb: 2", "{\"b\": 2u}", true},
      {"? [1]\n: v", "Unexpected start of sequence. At line: 1 col: 3", false},
      {"? {a: 1}\n: v", "Unexpected start of mapping. At line: 1 col: 3", false},
      {"!!int 5: v", "Invalid mapping key. Only string scalar keys are allowed. At line: 1 col: 1",
       false},
      {"a: 1\n! b: 2",
       "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1", false},
      {"x: &n 1\n*n : 2",
       "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1", false},
      {"a: !!int x", "Value x for 'yaml' of type uint64_t is in an incorrect format", false},
      {"a: !!int -x", "Value -x for 'yaml' of type int64_t is in an incorrect format", false},
      {"a: !!int 18446744073709551616",
       "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range", false},
      {"a: !!float 1e400", "Value 1e400 for 'yaml' of type double is out of range", false},
      {"a: !!null ~", "Unsupported YAML tag 'tag:yaml.org,2002:null'.", false},
      {"a: !foo x", "Unsupported YAML tag '!foo'.", false},
      {"b: *y", "Undefined alias encountered: \"y\". At line: 1 col: 4", false},
      {"&x [ *x ]", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 1 col: 6", false},
      {"a: &x {b: [*x]}", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 1 col: 12",
       false},
      // The member carrying the anchor is being rebuilt: it is under construction.
      {"a: &x [1]\na: [*x]", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 5",
       false},
      {"a: &x 1\nb: &x 2", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4", false},
      {"&x a: &x 1", "Duplicate occurrence of anchor \"x\". At line: 1 col: 7", false},
      {"a: [1", "YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0", false},
      {"a: b: c",
       "YAML parser error: mapping values are not allowed in this context. At line: 0 "
       "col: 4",
       false},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(YamlAdapterTest, FailureLeavesOnlyTheError) {
  BindingResult result;
  EXPECT_FALSE(ParseYaml(result, "a: 1\nb: *nope"));
  EXPECT_EQ(result.value().Size(), 1u);
  EXPECT_TRUE(result.value().FindMember("a").IsEmpty());
  EXPECT_TRUE(ParseYaml(result, "x"));
  EXPECT_EQ(result.value().GetString(), "x");
  EXPECT_TRUE(ParseYaml(result, static_cast<const char*>(nullptr)));
  EXPECT_TRUE(result.value().IsEmpty());
}

std::string Brackets(size_t depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(YamlAdapterTest, NestingAtTheLimitParses) {
  BindingResult result;
  ASSERT_TRUE(ParseYaml(result, Brackets(kMaxNestingDepth, "1"))) << result.ErrorMessage();
  const BindingValue* value = &result.value();
  for (size_t i = 0; i < kMaxNestingDepth; ++i) value = &value->At(0);
  EXPECT_EQ(value->GetUnsigned(), 1u);

  // An alias that reaches exactly the limit: 1 mapping + 509 sequences + 2 from the anchor.
  ASSERT_TRUE(ParseYaml(result, "x: &x [[1]]\ny: " + Brackets(kMaxNestingDepth - 3, "*x")))
      << result.ErrorMessage();
}

TEST(YamlAdapterTest, NestingPastTheLimitFails) {
  struct DeepCase {
    std::string input;
    std::string message;
  };
  std::string block;  // block mappings, one level per line
  for (size_t i = 0; i <= kMaxNestingDepth; ++i) block += std::string(i, ' ') + "k:\n";
  const DeepCase cases[] = {
      {Brackets(kMaxNestingDepth + 1, "1"),
       "Nesting deeper than 512 levels is not supported. At line: 1 col: 513"},
      {block, "Nesting deeper than 512 levels is not supported. At line: 513 col: 513"},
      // An alias may not carry a document past the limit either.
      {"x: &x [[1]]\ny: " + Brackets(kMaxNestingDepth - 2, "*x"),
       "Nesting deeper than 512 levels is not supported. At line: 2 col: 514"},
      // A few hundred kilobytes of "[" end early and cleanly.
      {std::string(300000, '['),
       "Nesting deeper than 512 levels is not supported. At line: 1 col: 513"},
  };
  for (const DeepCase& c : cases) {
    BindingResult result;
    EXPECT_FALSE(ParseYaml(result, c.input));
    EXPECT_EQ(result.ErrorMessage(), c.message) << "input size " << c.input.size();
  }
}

// Regression: aliases of aliases grow a document exponentially ("billion laughs").
TEST(YamlAdapterTest, AliasExpansionIsBounded) {
  std::string text = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  const char* names = "abcdefghi";
  for (int level = 1; level < 9; ++level) {
    text += std::string(1, names[level]) + ": &" + names[level] + " [";
    for (int i = 0; i < 10; ++i) text += std::string(i ? ", *" : "*") + names[level - 1];
    text += "]\n";
  }
  BindingResult result;
  EXPECT_FALSE(ParseYaml(result, text));
  // Levels b to d copy 12330 values; each copy of d adds 11111 more, so the eighth alias in
  // level e would pass 100000.
  EXPECT_EQ(result.ErrorMessage(),
            "Cannot deserialize aliases that expand to more than 100000 values. Alias \"d\". At "
            "line: 5 col: 36");

  // Below the bound, the same shape expands fully.
  std::string small = "a: &a [x, x]\nb: &b [*a, *a]\nc: [*b, *b]";
  ASSERT_TRUE(ParseYaml(result, small)) << result.ErrorMessage();
  EXPECT_EQ(result.value().FindMember("c").DebugString(),
            "[[[\"x\", \"x\"], [\"x\", \"x\"]], [[\"x\", \"x\"], [\"x\", \"x\"]]]");
}

}  // namespace
}  // namespace sdk::dispatch
