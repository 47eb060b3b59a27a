// Tests of the requests a plug-in sends to its host: the request record, every error text, the
// conversion of results, streamed responses read whole (chunks, wait steps, failures, a bogus
// announced size, a host that never ends), stream objects, typed arguments and telemetry. Every
// response record must be released exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "sdk/binding/record_builder.h"
#include "sdk/host/host_stream.h"
#include "sdk/host/plugin_base.h"
#include "sdk/host/recording_host.h"
#include "sdk/host/telemetry_sender.h"

namespace plugin_requests_test_records {
struct RequestItem {
  std::string name;
  uint32_t count = 0;
};
}  // namespace plugin_requests_test_records

namespace sdk::host {
namespace {

using plugin_requests_test_records::RequestItem;
using sdk::binding::BindingValue;
using sdk::dispatch::HttpMethod;
using testing::BorrowedTextValue;
using testing::RegisteredPlugin;

class RequestPlugin final : public PluginBase {
 public:
  void RegisterApi() override {
    sdk::binding::RecordBuilder<RequestItem> item(registry(), "RequestItem");
    SDK_BINDING_MEMBER(item, name, sdk::binding::kRequired);
    SDK_BINDING_MEMBER(item, count);
  }
  bool Initialize() override { return true; }
};

// A host stream that plays a script of reads and counts what happens to it.
struct ScriptedStream {
  struct Step {
    uint32_t length;
    bool more;
    bool ok = true;
  };
  std::vector<Step> steps;
  size_t next = 0;
  std::vector<uint32_t> asked;  // the length of each read call
  int closes = 0;
  int releases = 0;
  uint32_t announced = 0;

  static uint8_t Read(void* context, void* buffer, uint32_t* length, uint8_t* more) {
    auto* stream = static_cast<ScriptedStream*>(context);
    stream->asked.push_back(*length);
    if (stream->next >= stream->steps.size()) return 0;
    const Step step = stream->steps[stream->next++];
    if (step.length <= *length)
      std::memset(buffer, 'a' + static_cast<int>(stream->next % 26), step.length);
    *length = step.length;
    *more = step.more ? 1 : 0;
    return step.ok ? 1 : 0;
  }
  static void Close(void* context) { ++static_cast<ScriptedStream*>(context)->closes; }

  // Makes `response` this stream's response.
  void Answer(PluginResponseRecord* response) {
    response->stream_read = &Read;
    response->stream_close = &Close;
    response->stream_size = announced;
    response->stream_context = this;
  }
};

// Counts the calls of the release function that the fake host stores in its responses.
int g_releases = 0;
void CountRelease(PluginResponseRecord* /*response*/) { ++g_releases; }

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_releases = 0;
    ASSERT_EQ(plugin_.Start(7), 1);
    plugin_.host().TakeCalls();
  }
  RegisteredPlugin<RequestPlugin> plugin_;
};

TEST_F(RequestTest, ARequestWithoutArgumentsSetsOnlyMethodPathAndCaller) {
  PluginRequestRecord seen{};
  std::string path;
  plugin_.host().SetRequestFunction(
      [&](PluginResponseRecord* response, const PluginRequestRecord* request) {
        seen = *request;
        path = request->path;
        response->release = &CountRelease;
      });
  HostOutcome<HostResponse> response = plugin_->Request(HttpMethod::kGet, "/x?y=1");
  ASSERT_TRUE(response.ok());
  EXPECT_EQ(seen.method, 2u);
  EXPECT_EQ(path, "/x?y=1");
  EXPECT_EQ(seen.caller_context, 7u);
  PluginRequestRecord expected{};
  expected.method = seen.method;
  expected.path = seen.path;
  expected.caller_context = seen.caller_context;
  EXPECT_EQ(std::memcmp(&seen, &expected, sizeof seen), 0) << "other fields must be zero";
  EXPECT_EQ(g_releases, 0);
  response.value().Release();
  response.value().Release();
  EXPECT_EQ(g_releases, 1);
}

TEST_F(RequestTest, AnErrorResponseCarriesTheTextAndStatus) {
  plugin_.host().SetRequestFunction([](PluginResponseRecord* response, const PluginRequestRecord*) {
    response->error_text = "Resource not found";
    response->error_flag = 1;
    response->status_code = 404;
    response->release = &CountRelease;
  });
  const HostOutcome<HostResponse> response = plugin_->Request(HttpMethod::kGet, "/x");
  ASSERT_FALSE(response.ok());
  EXPECT_EQ(response.error().message, "Error response for GET /x: Resource not found");
  EXPECT_EQ(response.error().status, 404u);
  EXPECT_EQ(g_releases, 1);
  const HostOutcome<BindingValue> value = plugin_->RequestValue(HttpMethod::kPost, "/y");
  ASSERT_FALSE(value.ok());
  EXPECT_EQ(value.error().message, "Error response for POST /y: Resource not found");
  EXPECT_EQ(g_releases, 2);
}

TEST_F(RequestTest, RequestValueConvertsTheResult) {
  HostStructureEntry entries[2] = {};
  entries[0].key = "count";
  entries[0].value.tag = kHostValueUnsigned;
  entries[0].value.payload.unsigned_value = 3;
  entries[1].key = "name";
  entries[1].value = BorrowedTextValue("pen");
  HostValue result{};
  result.tag = kHostValueStructure;
  result.payload.span.data = entries;
  result.payload.span.count = 2;
  plugin_.host().SetRequestFunction(
      [&](PluginResponseRecord* response, const PluginRequestRecord*) {
        response->result = result;
        response->release = &CountRelease;
      });
  const HostOutcome<BindingValue> value = plugin_->RequestValue(HttpMethod::kGet, "/item");
  ASSERT_TRUE(value.ok()) << value.error().message;
  EXPECT_EQ(value.value().DebugString(), "{\"count\": 3u, \"name\": \"pen\"}");
  const HostOutcome<RequestItem> item =
      plugin_->RequestValue<RequestItem>(HttpMethod::kGet, "/item");
  ASSERT_TRUE(item.ok()) << item.error().message;
  EXPECT_EQ(item.value().name, "pen");
  EXPECT_EQ(item.value().count, 3u);
  EXPECT_EQ(g_releases, 2);
}

TEST_F(RequestTest, ConversionFailuresOfTheResult) {
  struct Case {
    const char* label;
    HostValue result;
    const char* expected;
  };
  HostValue unknown_tag{};
  unknown_tag.tag = 11;
  HostValue text = BorrowedTextValue("just text");
  const Case cases[] = {
      {"unknown tag", unknown_tag,
       "Error converting response for GET /item: Couldn't assign value to '/item' of type object "
       "because the input is of an incompatible type ''."},
      {"not a structure", text,
       "Error converting response for GET /item: Couldn't assign value to '/item' of type "
       "RequestItem because the input not a structure."},
      // A response with no result and no stream.
      {"null result", HostValue{},
       "Error converting response for GET /item: A value for '/item' is required."},
  };
  for (const Case& c : cases) {
    plugin_.host().SetRequestFunction(
        [&](PluginResponseRecord* response, const PluginRequestRecord*) {
          response->result = c.result;
        });
    const HostOutcome<RequestItem> item =
        plugin_->RequestValue<RequestItem>(HttpMethod::kGet, "/item");
    ASSERT_FALSE(item.ok()) << c.label;
    EXPECT_EQ(item.error().message, c.expected) << c.label;
  }
  // As a plain value a null result is simply empty.
  const HostOutcome<BindingValue> empty = plugin_->RequestValue(HttpMethod::kGet, "/item");
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().IsEmpty());
}

TEST_F(RequestTest, StreamedResultsAreReadInWholeChunksWithWaitStepsAfterShortReads) {
  struct Case {
    const char* label;
    std::vector<ScriptedStream::Step> steps;
    size_t bytes;
    int wait_steps;
  };
  const Case cases[] = {
      {"10000 bytes in 4096, 4096, 1808", {{4096, true}, {4096, true}, {1808, false}}, 10000, 0},
      {"a short read while more follows", {{100, true}, {4096, true}, {5, false}}, 4201, 1},
      {"empty reads while more follows", {{0, true}, {0, true}, {7, false}}, 7, 2},
      {"an empty stream", {{0, false}}, 0, 0},
  };
  for (const Case& c : cases) {
    ScriptedStream stream;
    stream.steps = c.steps;
    stream.announced = 10000;
    plugin_.host().SetRequestFunction([&](PluginResponseRecord* response,
                                          const PluginRequestRecord*) { stream.Answer(response); });
    plugin_.host().TakeCalls();
    const HostOutcome<BindingValue> value = plugin_->RequestValue(HttpMethod::kGet, "/asset");
    ASSERT_TRUE(value.ok()) << c.label << ": " << value.error().message;
    EXPECT_EQ(value.value().kind(), sdk::binding::ValueKind::kBlob) << c.label;
    EXPECT_EQ(value.value().GetBlob().size(), c.bytes) << c.label;
    EXPECT_EQ(stream.asked, std::vector<uint32_t>(c.steps.size(), 4096u)) << c.label;
    EXPECT_EQ(static_cast<int>(plugin_.host().CallsStartingWith("call7 Wait: yield 0").size()),
              c.wait_steps)
        << c.label;
    EXPECT_EQ(stream.closes, 1) << c.label;
  }
}

TEST_F(RequestTest, StreamReadFailures) {
  struct Case {
    const char* label;
    std::vector<ScriptedStream::Step> steps;
    uint64_t offset;
  };
  const Case cases[] = {
      {"fails at once", {{0, true, false}}, 0},
      {"fails after a chunk", {{4096, true}, {10, true, false}}, 4096},
      {"claims more than asked", {{4096, true}, {5000, true}}, 4096},
      {"ends without saying so", {{4096, true}}, 4096},  // the script runs out: read fails
  };
  for (const Case& c : cases) {
    ScriptedStream stream;
    stream.steps = c.steps;
    plugin_.host().SetRequestFunction([&](PluginResponseRecord* response,
                                          const PluginRequestRecord*) { stream.Answer(response); });
    const HostOutcome<BindingValue> value = plugin_->RequestValue(HttpMethod::kGet, "/s");
    ASSERT_FALSE(value.ok()) << c.label;
    EXPECT_EQ(value.error().message,
              "Error reading streamed response for GET /s: Stream read error")
        << c.label;
    EXPECT_EQ(stream.closes, 1) << c.label;

    ScriptedStream again;
    again.steps = c.steps;
    plugin_.host().SetRequestFunction([&](PluginResponseRecord* response,
                                          const PluginRequestRecord*) { again.Answer(response); });
    HostOutcome<HostStream> object = plugin_->RequestStream(HttpMethod::kGet, "/s");
    ASSERT_TRUE(object.ok()) << c.label;
    const HostOutcome<std::vector<uint8_t>> bytes = plugin_->ReadAll(object.value());
    ASSERT_FALSE(bytes.ok()) << c.label;
    EXPECT_EQ(bytes.error().message, "Stream read error at offset " + std::to_string(c.offset))
        << c.label;
    EXPECT_EQ(again.closes, 1) << c.label;
  }
}

TEST(ReadWholeStreamTest, AnAnnouncedSizeIsOnlyAHint) {
  ScriptedStream stream;
  stream.steps = {{4096, true}, {3, false}};
  std::vector<uint8_t> bytes;
  // A host that announces 4 GiB gets at most the reserve limit up front.
  ASSERT_TRUE(ReadWholeStream(&ScriptedStream::Read, &stream, 0xFFFFFFFFu, {}, bytes));
  EXPECT_EQ(bytes.size(), 4099u);
  EXPECT_LE(bytes.capacity(), kStreamReserveLimit);
}

TEST(ReadWholeStreamTest, AHostThatNeverEndsIsCutOff) {
  // Empty reads that always promise more: the read fails after kMaxEmptyStreamReads of them.
  struct Endless {
    static uint8_t Read(void* context, void*, uint32_t* length, uint8_t* more) {
      ++*static_cast<uint32_t*>(context);
      *length = 0;
      *more = 1;
      return 1;
    }
  };
  uint32_t reads = 0;
  int waits = 0;
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(ReadWholeStream(
      &Endless::Read, &reads, 0, [&] { ++waits; }, bytes));
  EXPECT_EQ(reads, kMaxEmptyStreamReads);
  EXPECT_EQ(waits, static_cast<int>(kMaxEmptyStreamReads) - 1);
  EXPECT_FALSE(ReadWholeStream(nullptr, nullptr, 0, {}, bytes));
}

TEST_F(RequestTest, StreamObjects) {
  ScriptedStream stream;
  stream.steps = {{10, true}, {5, false}};
  stream.announced = 15;
  plugin_.host().SetRequestFunction(
      [&](PluginResponseRecord* response, const PluginRequestRecord*) {
        stream.Answer(response);
        response->release = &CountRelease;
      });
  {
    HostOutcome<HostStream> object = plugin_->RequestStream(HttpMethod::kGet, "/s");
    ASSERT_TRUE(object.ok());
    EXPECT_EQ(object.value().announced_size(), 15u);
    char buffer[4];
    uint32_t length = sizeof buffer;
    bool more = false;
    // The host delivers 10 bytes into a 4-byte buffer: refused.
    EXPECT_FALSE(object.value().Read(buffer, &length, &more));
    EXPECT_EQ(length, 0u);
    HostStream moved = std::move(object.value());
    EXPECT_EQ(stream.closes, 0);
    EXPECT_EQ(g_releases, 0);
  }
  // Destroyed: closed once and released once, though it was moved.
  EXPECT_EQ(stream.closes, 1);
  EXPECT_EQ(g_releases, 1);

  plugin_.host().SetRequestFunction([](PluginResponseRecord* response, const PluginRequestRecord*) {
    response->release = &CountRelease;
  });
  const HostOutcome<HostStream> not_stream = plugin_->RequestStream(HttpMethod::kGet, "/v");
  ASSERT_FALSE(not_stream.ok());
  EXPECT_EQ(not_stream.error().message,
            "Stream response was requested but the response wasn't a stream for /v");
  EXPECT_EQ(g_releases, 2);
}

TEST_F(RequestTest, TypedArguments) {
  std::vector<std::string> seen;
  plugin_.host().SetRequestFunction([&](PluginResponseRecord*, const PluginRequestRecord* request) {
    for (uint32_t i = 0; i < request->argument_count; ++i) {
      const PluginTypedArgument& argument = request->arguments[i];
      const HostValue value = argument.value;
      seen.push_back(std::string(argument.name != nullptr ? argument.name : "<positional>") + "=" +
                     testing::RenderHostValue(value));
    }
  });
  BindingValue arguments;
  arguments.Member("b").SetString("x");
  arguments.Member("a").SetUnsigned(1);
  ASSERT_TRUE(plugin_->RequestWithArguments(HttpMethod::kPost, "/t", arguments).ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "b=\"x\""}));

  seen.clear();
  BindingValue list;
  list.Element(0).SetBool(true);
  list.Element(1).SetSigned(-2);
  ASSERT_TRUE(plugin_->RequestWithArguments(HttpMethod::kPost, "/t", list).ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"<positional>=true", "<positional>=-2"}));

  plugin_.host().TakeCalls();
  BindingValue scalar;
  scalar.SetString("lonely");
  const HostOutcome<HostResponse> refused =
      plugin_->RequestWithArguments(HttpMethod::kPost, "/t", scalar);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message,
            "Request not sent: Error converting parameters for POST /t: Arguments must be a "
            "structure or a collection, not string");
  EXPECT_EQ(refused.error().status, 400u);
  EXPECT_TRUE(plugin_.host().Calls().empty()) << "the host must not be called";
}

TEST_F(RequestTest, TelemetryIsAReadyFutureOfAPost) {
  std::string path;
  uint32_t method = 0;
  plugin_.host().SetRequestFunction(
      [&](PluginResponseRecord* response, const PluginRequestRecord* request) {
        path = request->path;
        method = request->method;
        response->result.tag = kHostValueBool;
        response->result.payload.boolean = 1;
      });
  BindingValue data;
  data.Member("clicks").SetUnsigned(2);
  auto future = plugin_->telemetry()->SendTelemetry("startup", data);
  ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  const HostOutcome<BindingValue> outcome = future.get();
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(outcome.value().GetBool());
  EXPECT_EQ(path, "/telemetry/v1/events/startup");
  EXPECT_EQ(method, 6u);
}

TEST(RequestBeforeStartTest, FailsWithoutCallingAnything) {
  RegisteredPlugin<RequestPlugin> plugin;
  const HostOutcome<BindingValue> value = plugin->RequestValue(HttpMethod::kGet, "/x");
  ASSERT_FALSE(value.ok());
  EXPECT_EQ(value.error().message,
            "Error response for GET /x: The plug-in is not connected to a host");
}

}  // namespace
}  // namespace sdk::host
