// Tests of the three resources through the request entry, as the host calls them: request
// records with JSON, YAML and MessagePack bodies for the endpoints the plug-in declares, on an
// engine built from the sample assets. Answers are compared as their value's DebugString.
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Plugins/nbx-be-sanitizer/service/service_test_util.h"

namespace sanitizer::service {
namespace {

using testing::Answer;
using testing::MessagePack;
using testing::ServiceHarness;

constexpr char kNotReady[] = "Sanitizer is not ready or available";
constexpr char kInvalidUtf8[] = "Invalid UTF-8 string";

// One request and its expected answer: the result's DebugString, or the error with its status.
struct Case {
  std::string label;
  const char* content_type;
  std::string body;
  std::string expected;
  uint32_t status = 200;
};

Case Ok(std::string label, std::string json, std::string expected) {
  return {std::move(label), "application/json", std::move(json), std::move(expected), 200};
}
Case Fails(std::string label, std::string json, std::string error, uint32_t status) {
  return {std::move(label), "application/json", std::move(json), std::move(error), status};
}

void Check(const ServiceHarness& harness, std::string_view path, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Answer answer = harness.Post(path, c.content_type, c.body);
    EXPECT_EQ(answer.status, c.status) << c.label << ": " << answer.error_text;
    if (c.status == 200) {
      EXPECT_FALSE(answer.error) << c.label << ": " << answer.error_text;
      EXPECT_EQ(answer.result.DebugString(), c.expected) << c.label;
    } else {
      EXPECT_TRUE(answer.error) << c.label;
      EXPECT_EQ(answer.error_text, c.expected) << c.label;
      EXPECT_TRUE(answer.result.IsEmpty()) << c.label << ": " << answer.result.DebugString();
    }
  }
}

std::string StatusDebugString(const SanitizerStatus& status) {
  auto counts = [](const std::map<std::string, uint32_t>& map) {
    std::string text = "{";
    for (const auto& [key, count] : map) {
      if (text.size() > 1) text += ", ";
      text += "\"" + key + "\": " + std::to_string(count) + "u";
    }
    return text + "}";
  };
  return "{\"allowedCharsCount\": " + std::to_string(status.allowedCharsCount) +
         "u, \"breakingCharsCount\": " + std::to_string(status.breakingCharsCount) +
         "u, \"filteredWordCountsByLevel\": " + counts(status.filteredWordCountsByLevel) +
         ", \"locale\": \"" + status.locale +
         "\", \"projectedCharsCount\": " + std::to_string(status.projectedCharsCount) +
         "u, \"ready\": " + (status.ready ? "true" : "false") + ", \"region\": \"" + status.region +
         "\", \"whitelistedWordCountsByLevel\": " + counts(status.whitelistedWordCountsByLevel) +
         "}";
}

TEST(SanitizerResourcesTest, BeforeAnyConfigurationStatusIsNotReadyAndTextResourcesAre404) {
  ServiceHarness harness;
  harness.service().LoadCharTables();
  const SanitizerStatus& tables = harness.service().Snapshot()->status;
  ASSERT_GT(tables.breakingCharsCount, 0u);

  const Answer status = harness.GetStatus();
  EXPECT_EQ(status.status, 200u);
  EXPECT_EQ(status.result.DebugString(),
            "{\"allowedCharsCount\": 0u, \"breakingCharsCount\": " +
                std::to_string(tables.breakingCharsCount) +
                "u, \"filteredWordCountsByLevel\": {}, \"locale\": \"\", "
                "\"projectedCharsCount\": " +
                std::to_string(tables.projectedCharsCount) +
                "u, \"ready\": false, \"region\": \"\", \"whitelistedWordCountsByLevel\": {}}");

  const std::string msgpack = MessagePack().Map(1).Text("text").Text("shit").bytes();
  const std::vector<Case> contains = {
      Fails("JSON", R"({"text":"shit"})", kNotReady, 404),
      {"YAML", "application/x-yaml", "text: shit\n", kNotReady, 404},
      {"MessagePack", "application/x-msgpack", msgpack, kNotReady, 404},
  };
  Check(harness, kContainsSanitizedPath, contains);
  const std::vector<Case> sanitize = {
      Fails("texts", R"({"texts":["shit"]})", kNotReady, 404),
      Fails("neither texts nor text", "{}", kNotReady, 404),
      {"YAML", "application/x-yaml", "text: shit\n", kNotReady, 404},
  };
  Check(harness, kSanitizePath, sanitize);
}

// Started on the sample assets, locale en_US, with one word of our own at level 1.
class StartedTest : public ::testing::Test {
 protected:
  StartedTest() { harness_.Start(R"({"Level1Filter":"zorblax"})", "", "en_US"); }
  ServiceHarness harness_;
};

TEST_F(StartedTest, StatusReportsTheSnapshotsStatusWithCountsKeyedByLevel) {
  const SanitizerStatus& status = harness_.service().Snapshot()->status;
  ASSERT_TRUE(status.ready);
  const Answer answer = harness_.GetStatus();
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.result.DebugString(), StatusDebugString(status));
  EXPECT_NE(answer.result.DebugString().find("\"filteredWordCountsByLevel\": {\"0\": "),
            std::string::npos);
  EXPECT_NE(answer.result.DebugString().find(", \"3\": "), std::string::npos);
}

TEST_F(StartedTest, Sanitize) {
  const std::string invalid = "cr\xC3(d";  // a lead byte without its continuation
  const std::vector<Case> cases = {
      Ok("one text", R"({"text":"well shit happens"})",
         R"({"modified": true, "text": "well **** happens", "texts": empty})"),
      Ok("clean text", R"({"text":"well said"})",
         R"({"modified": false, "text": "well said", "texts": empty})"),
      Ok("texts in order, one changed", R"({"texts":["good day","oh shit","fine"]})",
         R"({"modified": true, "text": empty, "texts": ["good day", "oh ****", "fine"]})"),
      Ok("texts and text", R"({"texts":["fine","good"],"text":"zorblax, yes"})",
         R"({"modified": true, "text": "*******, yes", "texts": ["fine", "good"]})"),
      Ok("only the texts changed", R"({"texts":["zorblax"],"text":"good"})",
         R"({"modified": true, "text": "good", "texts": ["*******"]})"),
      Ok("empty texts", R"({"texts":[]})", R"({"modified": false, "text": empty, "texts": []})"),
      Ok("empty text", R"({"text":""})", R"({"modified": false, "text": "", "texts": empty})"),
      Ok("neither texts nor text", R"({"level":3})",
         R"({"modified": false, "text": empty, "texts": empty})"),
      Ok("default level is 1", R"({"text":"oh shit"})",
         R"({"modified": true, "text": "oh ****", "texts": empty})"),
      Ok("level 0 leaves a level-1 word", R"({"text":"oh shit","level":0})",
         R"({"modified": false, "text": "oh shit", "texts": empty})"),
      Ok("level 1 leaves a level-2 word", R"({"text":"damn it"})",
         R"({"modified": false, "text": "damn it", "texts": empty})"),
      Ok("level 2", R"({"text":"damn it","level":2})",
         R"({"modified": true, "text": "**** it", "texts": empty})"),
      Ok("level above 3 applies all", R"({"text":"you idiot","level":7})",
         R"({"modified": true, "text": "you *****", "texts": empty})"),
      Ok("a masked letter of two bytes is one byte", R"({"text":"shït"})",
         R"({"modified": true, "text": "****", "texts": empty})"),
      Ok("aggressive scan finds words inside words", R"({"text":"bullshitter"})",
         R"({"modified": false, "text": "bullshitter", "texts": empty})"),
      Ok("aggressive", R"({"text":"bullshitter","aggressiveScan":true})",
         R"({"modified": true, "text": "********ter", "texts": empty})"),
      Ok("removal of disallowed characters",
         R"({"text":"hi 🙂 there","removeDisallowedChars":true})",
         R"({"modified": true, "text": "hi   there", "texts": empty})"),
      Ok("no removal unless asked", R"({"text":"hi 🙂 there"})",
         R"({"modified": false, "text": "hi 🙂 there", "texts": empty})"),
      Fails("invalid text", R"({"text":")" + invalid + R"("})", kInvalidUtf8, 400),
      Fails("valid then invalid element", R"({"texts":["oh shit",")" + invalid + R"("]})",
            kInvalidUtf8, 400),
      Fails("valid texts, invalid text", R"({"texts":["oh shit"],"text":")" + invalid + R"("})",
            kInvalidUtf8, 400),
      Fails("overlong form", "{\"text\":\"\xC0\xAF\"}", kInvalidUtf8, 400),
      Fails("surrogate", "{\"text\":\"\xED\xA0\x80\"}", kInvalidUtf8, 400),
      Fails("texts of the wrong type", R"({"texts":"shit"})",
            "Couldn't assign value to 'texts' of type vector because the input not a collection.",
            0),
      Fails("level of the wrong type", R"({"text":"x","level":"high"})",
            "Value high for 'level' of type uint32 is in an incorrect format", 0),
  };
  Check(harness_, kSanitizePath, cases);
}

TEST_F(StartedTest, SanitizeBodiesInEveryFormat) {
  const std::string expected = R"({"modified": true, "text": "x", "texts": ["oh ****", "fine"]})";
  const std::string msgpack = MessagePack()
                                  .Map(3)
                                  .Text("texts")
                                  .Array(2)
                                  .Text("oh shit")
                                  .Text("fine")
                                  .Text("text")
                                  .Text("x")
                                  .Text("level")
                                  .Unsigned(1)
                                  .bytes();
  const std::string invalid_msgpack =
      MessagePack().Map(1).Text("texts").Array(2).Text("oh shit").Text("cr\xFF").bytes();
  const std::vector<Case> cases = {
      {"JSON", "application/json", R"({"texts":["oh shit","fine"],"text":"x"})", expected},
      {"vnd.api+json", "application/vnd.api+json", R"({"texts":["oh shit","fine"],"text":"x"})",
       expected},
      {"YAML", "application/x-yaml", "texts:\n  - oh shit\n  - fine\ntext: x\n", expected},
      {"MessagePack", "application/x-msgpack", msgpack, expected},
      {"MessagePack, invalid second element", "application/x-msgpack", invalid_msgpack,
       kInvalidUtf8, 400},
      {"unsupported content type", "text/plain", "oh shit", "Unsupported body content type", 0},
  };
  Check(harness_, kSanitizePath, cases);
}

// A batch of texts answers each of them as the same text sent alone does: the batch is read
// into one list and written into another, the lone text into a string of its own. Texts of
// every length up to a few thousand bytes, listed words, letters of two to four bytes, a text
// that a NUL cuts and one that a bad byte after its NUL empties, under each switch.
TEST_F(StartedTest, ABatchAnswersEachTextAsItsTextAloneDoes) {
  using namespace std::string_literals;
  const std::string pieces[] = {"oh",   "shit", "zorblax",      "sh\xC3\xAFt", "\xF0\x9F\x99\x82",
                                "fine", "damn", "\xE2\x82\xAC", "bullshitter", " ",
                                "\n"};
  std::vector<std::string> texts = {"", "ab\0cd"s, "shit\0\xFF"s, std::string(3000, 'x') + " shit"};
  for (size_t i = 0; texts.size() < 300; ++i) {
    std::string text;
    for (size_t j = 0; j < i % 40; ++j) text += pieces[(i * 7 + j * 3) % std::size(pieces)] + " ";
    texts.push_back(text);
  }
  for (const char* options : {"", "aggressiveScan", "removeDisallowedChars", "level"}) {
    const auto request = [&](MessagePack& body, uint32_t members) -> MessagePack& {
      body.Map(members + (*options != 0 ? 1 : 0));
      if (std::string_view(options) == "level") {
        body.Text("level").Unsigned(3);
      } else if (*options != 0) {
        body.Text(options).Bool(true);
      }
      return body;
    };
    MessagePack batch;
    request(batch, 1).Text("texts").Array(static_cast<uint32_t>(texts.size()));
    for (const std::string& text : texts) batch.Text(text);
    const Answer answer = harness_.Post(kSanitizePath, "application/x-msgpack", batch.bytes());
    ASSERT_EQ(answer.status, 200u) << options << ": " << answer.error_text;
    const sdk::binding::BindingValue& masked = answer.result.FindMember("texts");
    ASSERT_EQ(masked.Size(), texts.size()) << options;
    bool any_modified = false;
    for (size_t i = 0; i < texts.size(); ++i) {
      MessagePack single;
      request(single, 1).Text("text").Text(texts[i]);
      const Answer alone = harness_.Post(kSanitizePath, "application/x-msgpack", single.bytes());
      ASSERT_EQ(alone.status, 200u) << options << ", text " << i << ": " << alone.error_text;
      EXPECT_EQ(masked.At(i), alone.result.FindMember("text")) << options << ", text " << i;
      any_modified = any_modified || alone.result.FindMember("modified").GetBool();
    }
    EXPECT_EQ(answer.result.FindMember("modified").GetBool(), any_modified) << options;
  }
}

TEST_F(StartedTest, ContainsSanitized) {
  const std::string required =
      "Couldn't assign value to 'request' of type SanitizerContainsSanitizedRequest because the "
      "input structure doesn't have required field 'text'.";
  const std::vector<Case> cases = {
      Ok("listed word", R"({"text":"oh shit"})", R"({"contains": true})"),
      Ok("clean", R"({"text":"oh well"})", R"({"contains": false})"),
      Ok("empty text", R"({"text":""})", R"({"contains": false})"),
      Ok("default level is 1", R"({"text":"zorblax"})", R"({"contains": true})"),
      Ok("level 0", R"({"text":"zorblax","level":0})", R"({"contains": false})"),
      Ok("level-2 word at the default level", R"({"text":"damn"})", R"({"contains": false})"),
      Ok("level-2 word at level 2", R"({"text":"damn","level":2})", R"({"contains": true})"),
      Ok("a word inside a word", R"({"text":"bullshitter"})", R"({"contains": false})"),
      Ok("embedded", R"({"text":"bullshitter","includeEmbedded":true})", R"({"contains": true})"),
      Ok("aggressive", R"({"text":"bullshitter","aggressiveScan":true})", R"({"contains": true})"),
      Ok("removal counts as a change", R"({"text":"hi 🙂","removeDisallowedChars":true})",
         R"({"contains": true})"),
      {"YAML", "application/x-yaml", "text: oh shit\nlevel: 1\n", R"({"contains": true})"},
      {"MessagePack", "application/x-msgpack",
       MessagePack()
           .Map(2)
           .Text("text")
           .Text("oh shit")
           .Text("includeEmbedded")
           .Bool(false)
           .bytes(),
       R"({"contains": true})"},
      Fails("text missing", R"({"level":1})", required, 0),
      Fails("text null", R"({"text":null})", required, 0),
      Fails("switch of the wrong type", R"({"text":"x","aggressiveScan":"maybe"})",
            "Value maybe for 'aggressiveScan' of type bool is in an incorrect format. Options are "
            "\"true\", \"false\", \"1\", \"0\".",
            0),
  };
  Check(harness_, kContainsSanitizedPath, cases);
}

// Text that did not decode used to reach the engine as an empty text and be reported clean,
// whatever listed words it held: one invalid byte let any text through the filter.
TEST_F(StartedTest, ContainsSanitizedRejectsInvalidUtf8InsteadOfReportingItClean) {
  const std::vector<Case> cases = {
      Fails("listed word and an invalid byte", "{\"text\":\"oh shit \xFF\"}", kInvalidUtf8, 400),
      Fails("truncated sequence", "{\"text\":\"shit \xE2\x82\"}", kInvalidUtf8, 400),
      Fails("overlong form", "{\"text\":\"shit \xC0\xAF\"}", kInvalidUtf8, 400),
      {"MessagePack", "application/x-msgpack",
       MessagePack().Map(1).Text("text").Text("shit\xFF").bytes(), kInvalidUtf8, 400},
  };
  Check(harness_, kContainsSanitizedPath, cases);
}

}  // namespace
}  // namespace sanitizer::service
