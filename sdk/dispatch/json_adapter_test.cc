#include "sdk/dispatch/json_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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
    const bool ok = ParseJson(result, c->input.c_str());
    EXPECT_EQ(ok, c->ok) << "input: " << c->input;
    if (c->ok) {
      EXPECT_EQ(result.value().DebugString(), c->expected) << "input: " << c->input;
    } else {
      EXPECT_EQ(result.ErrorMessage(), c->expected) << "input: " << c->input;
    }
  }
}

TEST(JsonAdapterTest, Values) {
  const Case cases[] = {
      {"", "empty", true},
      {" \t\r\n ", "empty", true},
      {"null", "empty", true},
      {"true", "true", true},
      {"false", "false", true},
      {"1", "1u", true},
      {"0", "0u", true},
      {"-0", "0u", true},
      {"-1", "-1", true},
      {"-2147483649", "-2147483649", true},
      {"4294967296", "4294967296u", true},
      {"18446744073709551615", "18446744073709551615u", true},
      {"-9223372036854775808", "-9223372036854775808", true},
      {"18446744073709551616", "1.8446744073709552e+19", true},
      {"-9223372036854775809", "-9.2233720368547758e+18", true},
      {"1.0", "1", true},
      {"1e3", "1000", true},
      {"-0.5", "-0.5", true},
      {"\"abc\"", "\"abc\"", true},
      {"\"a\\u0000b\"", "\"a\"", true},
      // Each text that holds a NUL ends there; the ones after it are whole again.
      {"[\"a\\u0000b\", \"cd\", {\"e\\u0000f\": \"g\\u0000\", \"h\": \"i\\n\"}, \"j\\u0000\"]",
       "[\"a\", \"cd\", {\"e\": \"g\", \"h\": \"i\\x0A\"}, \"j\"]", true},
      {"\"\\u00e9\\n\"", "\"\xC3\xA9\\x0A\"", true},
      {"  [null, 1]  ", "[empty, 1u]", true},
      {"[]", "[]", true},
      {"{}", "{}", true},
      {"{\"b\":1,\"a\":[true,{}]}", "{\"a\": [true, {}], \"b\": 1u}", true},
      {"{\"a\":1,\"a\":2}", "{\"a\": 2u}", true},
      // The last occurrence of a key wins whole: containers are not merged.
      {"{\"a\":{\"x\":1},\"a\":{\"y\":2}}", "{\"a\": {\"y\": 2u}}", true},
      {"{\"a\":[1,2,3],\"a\":[9]}", "{\"a\": [9u]}", true},
      {"{\"a\":[1],\"a\":null}", "{\"a\": empty}", true},
      {"{\"k\\u0000x\":1}", "{\"k\": 1u}", true},
      // After an escape the rest of the text moves down in place.
      {"\"a\\tbcdefghijklmnopqrstuvwxyz0123456789\"",
       "\"a\\x09bcdefghijklmnopqrstuvwxyz0123456789\"", true},
      {"[\"\\\"q\\\\\", \"x\\/y\"]", "[\"\\\"q\\\\\", \"x/y\"]", true},
      // Keys out of order, one repeated: members in name order, the last value wins.
      {"{\"b\":1,\"c\":2,\"a\":3,\"b\":{\"z\":[]},\"a\":\"s\"}",
       "{\"a\": \"s\", \"b\": {\"z\": []}, \"c\": 2u}", true},
      {"[[[]]]", "[[[]]]", true},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(JsonAdapterTest, Errors) {
  const Case cases[] = {
      {"{} x", "Error: The document root must not be followed by other values. at offset 3.",
       false},
      {"tru", "Error: Invalid value. at offset 3.", false},
      {"  tru", "Error: Invalid value. at offset 5.", false},
      {"]", "Error: Invalid value. at offset 0.", false},
      {"  }", "Error: Invalid value. at offset 2.", false},
      {"[1,]", "Error: Invalid value. at offset 3.", false},
      {"{,}", "Error: Missing a name for object member. at offset 1.", false},
      {"{\"a\" 1}", "Error: Missing a colon after a name of object member. at offset 5.", false},
      {"{\"a\":1 \"b\":2}", "Error: Missing a comma or '}' after an object member. at offset 7.",
       false},
      {"[1 2]", "Error: Missing a comma or ']' after an array element. at offset 3.", false},
      {"\"\\u12\"", "Error: Incorrect hex digit after \\u escape in string. at offset 1.", false},
      {"\"\\uD800\"", "Error: The surrogate pair in string is invalid. at offset 1.", false},
      {"[\"\\x\"]", "Error: Invalid escape character in string. at offset 2.", false},
      {"\"abc", "Error: Missing a closing quotation mark in string. at offset 4.", false},
      {"[\"ab\x01c\"]", "Error: Invalid escape character in string. at offset 4.", false},
      {"{\"a\\u0041\x1F\":1}", "Error: Invalid escape character in string. at offset 9.", false},
      {"1e400", "Error: Number too big to be stored in double. at offset 0.", false},
      {"1.", "Error: Miss fraction part in number. at offset 2.", false},
      {"1e", "Error: Miss exponent in number. at offset 2.", false},
      {"1 2", "Error: The document root must not be followed by other values. at offset 2.", false},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST(JsonAdapterTest, FailureLeavesOnlyTheError) {
  BindingResult result;
  EXPECT_FALSE(ParseJson(result, "{\"a\":1,\"b\":tru}"));
  EXPECT_EQ(result.value().Size(), 1u);
  EXPECT_TRUE(result.value().FindMember("a").IsEmpty());
  // The next parse starts afresh.
  EXPECT_TRUE(ParseJson(result, "7"));
  EXPECT_EQ(result.value().GetUnsigned(), 7u);
}

// A counted text needs no NUL after it (the buffer here has none, so that ASan reports a read
// past its end), and stops at a NUL inside it.
TEST(JsonAdapterTest, CountedTextIsReadUpToItsEndOrItsFirstNul) {
  const std::string kText = R"({"texts": ["a\nb", "\u00e9"], "level": 2})";
  const std::vector<char> exact(kText.begin(), kText.end());
  BindingResult result;
  ASSERT_TRUE(ParseJson(result, std::string_view(exact.data(), exact.size())))
      << result.ErrorMessage();
  EXPECT_EQ(result.value().DebugString(),
            "{\"level\": 2u, \"texts\": [\"a\\x0Ab\", \"\xC3\xA9\"]}");
  const BindingValue whole = result.value();
  std::vector<char> cut(exact);
  for (const char c : std::string_view("\0 not JSON", 10)) cut.push_back(c);
  ASSERT_TRUE(ParseJson(result, std::string_view(cut.data(), cut.size()))) << result.ErrorMessage();
  EXPECT_EQ(result.value(), whole);
}

TEST(JsonAdapterTest, TextStopsAtTheFirstNul) {
  const std::string text("[1]\0garbage", 11);
  const BindingResult result = ParseJson(text);
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  EXPECT_EQ(result.value().DebugString(), "[1u]");
  EXPECT_TRUE(ParseJson(static_cast<const char*>(nullptr)).value().IsEmpty());
}

// A request-like document with more items than fit anywhere inline: texts that repeat, and
// objects whose keys repeat from one object to the next, equal the value built by hand.
TEST(JsonAdapterTest, LargeDocumentEqualsTheValueBuiltByHand) {
  std::string json = "{\"texts\": [";
  BindingValue expected;
  BindingValue& texts = expected.Member("texts");
  texts.MakeCollection();
  for (int i = 0; i < 500; ++i) {
    const std::string text = "text number " + std::to_string(i % 37) + " of the request";
    json += (i == 0 ? "\"" : ", \"") + text + "\"";
    texts.Element(static_cast<size_t>(i)).SetString(text);
  }
  json += "], \"meta\": [";
  BindingValue& meta = expected.Member("meta");
  for (int i = 0; i < 120; ++i) {
    json += (i == 0 ? "" : ", ") + std::string("{\"tag\": \"t") + std::to_string(i % 7) +
            "\", \"id\": " + std::to_string(i) + ", \"score\": -" + std::to_string(i + 1) + "}";
    BindingValue& item = meta.Element(static_cast<size_t>(i));
    item.Member("tag").SetString("t" + std::to_string(i % 7));
    item.Member("id").SetUnsigned(static_cast<uint64_t>(i));
    item.Member("score").SetSigned(-(i + 1));
  }
  json += "], \"level\": 1}";
  expected.Member("level").SetUnsigned(1);
  BindingResult result;
  ASSERT_TRUE(ParseJson(result, json)) << result.ErrorMessage();
  EXPECT_TRUE(result.value() == expected);
  EXPECT_EQ(result.value().InternedReferences("id"), 120u);
  EXPECT_EQ(result.value().InternedReferences("text number 3 of the request"), 14u);
  EXPECT_EQ(result.value().GetTreeStats().interned_texts, expected.GetTreeStats().interned_texts);
}

std::string Nested(size_t depth, const std::string& inner) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += (i % 2 == 0) ? "[" : "{\"k\":";
  text += inner;
  for (size_t i = depth; i-- > 0;) text += (i % 2 == 0) ? "]" : "}";
  return text;
}

// A text is hashed once it is decoded in place: a text written with escapes and the same text
// written plainly must meet in one interned entry.
TEST(JsonAdapterTest, EscapedAndPlainTextsShareOneEntry) {
  BindingResult result;
  ASSERT_TRUE(
      ParseJson(result,
                "[\"ab\", \"a\\u0062\", \"\\u0061b\", {\"a\\u0062\": \"ab\"}, "
                "\"\\u00e9\", \"\xC3\xA9\", \"a\\\"\", \"a\\u0022\", "
                "\"x\\u0041yyyyyyyyyyyyyyyyyyyyyyyyyy\", \"xAyyyyyyyyyyyyyyyyyyyyyyyyyy\"]"));
  const BindingValue& value = result.value();
  EXPECT_EQ(value.InternedReferences("ab"), 5u) << value.DebugString();
  EXPECT_EQ(value.InternedReferences("\xC3\xA9"), 2u);
  EXPECT_EQ(value.InternedReferences("a\""), 2u);
  EXPECT_EQ(value.InternedReferences("xAyyyyyyyyyyyyyyyyyyyyyyyyyy"), 2u);
  EXPECT_EQ(value.GetTreeStats().interned_texts, 4u);
}

// Strings pass sixteen bytes at a time, with their short escapes decoded on the way and the
// rest left to the reader. Each kind of piece is put at every offset of texts a few blocks long
// (and twice, once at the very end), as a value and as a key, against the text it stands for;
// a bad escape or a control byte must fail at its own offset.
TEST(JsonAdapterTest, StringsDecodeAtEveryOffset) {
  struct Piece {
    std::string json;
    std::string text;
  };
  const Piece kPieces[] = {
      {"\\n", "\n"},
      {"\\t", "\t"},
      {"\\\"", "\""},
      {"\\\\", "\\"},
      {"\\/", "/"},
      {"\\b", "\b"},
      {"\\f", "\f"},
      {"\\r", "\r"},
      {"\\u0041", "A"},
      {"\\u00e9", "\xC3\xA9"},
      {"\\n\\t\\\"", "\n\t\""},
      {"\\u20AC", "\xE2\x82\xAC"},
      {"\\udc00", "\xED\xB0\x80"},  // a lone low surrogate as the reader writes it
      {"\xC3\xA9", "\xC3\xA9"},
      {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
  };
  const std::string filler = "The quick brown fox jumps over the lazy dog, 0123456789 ~!";
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t offset = 0; offset <= length; ++offset) {
      for (const Piece& piece : kPieces) {
        const std::string before = filler.substr(0, offset);
        const std::string after = filler.substr(offset, length - offset);
        const std::string json = before + piece.json + after + piece.json;
        const std::string text = before + piece.text + after + piece.text;
        BindingResult result;
        ASSERT_TRUE(ParseJson(result, "[\"" + json + "\", {\"" + json + "\": 1}]"))
            << "input: " << json << ": " << result.ErrorMessage();
        EXPECT_EQ(result.value().At(0).GetString(), text) << "input: " << json;
        EXPECT_EQ(result.value().At(1).MemberNameAt(0), text) << "input: " << json;
        EXPECT_EQ(result.value().InternedReferences(text), 2u) << "input: " << json;
      }
      for (const std::string bad : {"\\x", "\x01", "\\u12x4"}) {
        const std::string json = "\"" + filler.substr(0, offset) + "\\n" + bad +
                                 filler.substr(offset, length - offset) + "\"";
        BindingResult result;
        EXPECT_FALSE(ParseJson(result, json)) << "input: " << json;
        const std::string reason = bad == "\\u12x4"
                                       ? "Incorrect hex digit after \\u escape in string."
                                       : "Invalid escape character in string.";
        EXPECT_EQ(result.ErrorMessage(),
                  "Error: " + reason + " at offset " + std::to_string(offset + 3) + ".")
            << "input: " << json;
      }
    }
  }
}

TEST(JsonAdapterTest, NestingAtTheLimitParses) {
  const BindingResult result = ParseJson(Nested(kMaxNestingDepth, "1"));
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  const BindingValue* value = &result.value();
  for (size_t i = 0; i < kMaxNestingDepth; ++i) {
    value = (i % 2 == 0) ? &value->At(0) : &value->FindMember("k");
  }
  EXPECT_EQ(value->GetUnsigned(), 1u);
  BindingValue copy = result.value();
  EXPECT_TRUE(copy == result.value());
}

TEST(JsonAdapterTest, NestingPastTheLimitFails) {
  struct DeepCase {
    std::string input;
    std::string message;
  };
  const DeepCase cases[] = {
      {Nested(kMaxNestingDepth + 1, "1"),
       // 256 "[" and 256 "{\"k\":" precede the refused bracket.
       "Error: Nesting deeper than 512 levels is not supported. at offset 1536."},
      {std::string(kMaxNestingDepth + 1, '['),
       "Error: Nesting deeper than 512 levels is not supported. at offset 512."},
      // A few hundred kilobytes of "[" are refused the same way, without deep recursion.
      {std::string(400000, '['),
       "Error: Nesting deeper than 512 levels is not supported. at offset 512."},
  };
  for (const DeepCase& c : cases) {
    const BindingResult result = ParseJson(c.input);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.ErrorMessage(), c.message) << "input size " << c.input.size();
  }
}

}  // namespace
}  // namespace sdk::dispatch
