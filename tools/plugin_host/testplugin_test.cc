// PluginHost end to end with the test plug-in built on the plug-in base
// (tests/plugins/testplugin, nbx-be-testplugin.so): the description as the plug-in registered
// it, values, errors and streams both ways with the requested chunking and counted wait steps,
// subscriptions and events both ways, log lines, concurrent calls and flat memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/plugin_host/host_json.h"
#include "tools/plugin_host/message_pack_writer.h"
#include "tools/plugin_host/plugin_host.h"

namespace plugin_host {
namespace {

OwnedHostValue Str(std::string_view text) { return OwnedHostValue::String(text); }
OwnedHostValue Num(uint64_t n) { return OwnedHostValue::Unsigned(n); }

std::string Json(HostValueView value) {
  Result<std::string> json = HostValueToJson(value);
  return json.ok() ? json.value() : "<" + json.error() + ">";
}

class TestPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadOptions options;
    options.export_name = "load_testplugin";
    Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(TESTPLUGIN_PATH, options);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    host_ = std::move(loaded).value();
    host_->AddProvider("/testplugin/v1/config", [this](const ResourceRequest& request) {
      std::lock_guard lock(mutex_);
      config_requests_.push_back(std::string(MethodName(request.method())) + " " +
                                 std::string(request.path()));
      return ResourceAnswer::Value(OwnedHostValue::Structure({{"mode", Str("initial")}}));
    });
    host_->SetLogSink([this](int32_t level, std::string_view text) {
      std::lock_guard lock(mutex_);
      log_lines_.emplace_back(level, std::string(text));
    });
    host_->AddEventListener("", [this](const PluginEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    });
    ASSERT_TRUE(host_->Start().ok());
  }

  // POST with a JSON body.
  Response PostJson(std::string_view path, std::string_view json) {
    return host_->Call(kPluginMethodPost, path, "application/json", json);
  }

  // The plug-in's recorded resource events, as JSON.
  std::string RecordedEvents() {
    const Response response = host_->Call(kPluginMethodGet, "/testplugin/v1/events");
    EXPECT_TRUE(response.ok()) << response.error;
    return Json(*response.result.view().Find("events"));
  }

  std::mutex mutex_;
  std::vector<std::string> config_requests_;
  std::vector<std::pair<int32_t, std::string>> log_lines_;
  std::vector<PluginEvent> events_;
  std::unique_ptr<PluginHost> host_;
};

// ------------------------------------------------------------------------------------------
// The description

TEST_F(TestPluginTest, TheDescriptionIsWhatThePluginRegistered) {
  EXPECT_EQ(host_->short_name(), "testplugin");
  EXPECT_EQ(host_->api_version(), (ApiVersion{18, 0, 0}));
  const ApiDescription& d = host_->description();

  struct Parameter {
    const char* name;
    uint32_t location;
    TypeReference type;
    bool optional;
  };
  struct Endpoint {
    uint32_t method;
    const char* path;
    const char* function;
    const char* returns;
    std::vector<Parameter> parameters;
  };
  const auto body = [](const char* type) {
    return Parameter{"request", kPluginArgumentBody, {kPluginTypeStruct, 0, type}, false};
  };
  const Endpoint expected[] = {
      {kPluginMethodGet, "/testplugin/v1/status", "GetTestpluginV1Status", "TestpluginStatus", {}},
      {kPluginMethodPost,
       "/testplugin/v1/echo",
       "PostTestpluginV1Echo",
       "TestpluginEchoResponse",
       {body("TestpluginEchoRequest")}},
      {kPluginMethodGet,
       "/testplugin/v1/items/{id}",
       "GetTestpluginV1ItemsById",
       "TestpluginItem",
       {{"id", kPluginArgumentPath, {kPluginTypeString, 0, ""}, false},
        {"count", kPluginArgumentQuery, {kPluginTypeUint32, 0, ""}, true}}},
      {kPluginMethodPost,
       "/testplugin/v1/fail",
       "PostTestpluginV1Fail",
       nullptr,
       {body("TestpluginFailRequest")}},
      {kPluginMethodGet,
       "/testplugin/v1/stream",
       "GetTestpluginV1Stream",
       nullptr,
       {{"size", kPluginArgumentQuery, {kPluginTypeUint32, 0, ""}, false},
        {"chunk", kPluginArgumentQuery, {kPluginTypeUint32, 0, ""}, true}}},
      {kPluginMethodPost,
       "/testplugin/v1/fetch",
       "PostTestpluginV1Fetch",
       "TestpluginFetchResponse",
       {body("TestpluginFetchRequest")}},
      {kPluginMethodPost,
       "/testplugin/v1/subscribe",
       "PostTestpluginV1Subscribe",
       "TestpluginStatus",
       {body("TestpluginUriRequest")}},
      {kPluginMethodPost,
       "/testplugin/v1/unsubscribe",
       "PostTestpluginV1Unsubscribe",
       "TestpluginStatus",
       {body("TestpluginUriRequest")}},
      {kPluginMethodGet, "/testplugin/v1/events", "GetTestpluginV1Events", "TestpluginEvents", {}},
      {kPluginMethodPost,
       "/testplugin/v1/publish",
       "PostTestpluginV1Publish",
       "TestpluginStatus",
       {body("PluginResourceEvent")}},
      {kPluginMethodPost,
       "/testplugin/v1/log",
       "PostTestpluginV1Log",
       "TestpluginStatus",
       {body("TestpluginLogRequest")}},
  };
  ASSERT_EQ(d.endpoints.size(), std::size(expected));
  for (const Endpoint& e : expected) {
    const EndpointDescription* found = d.FindEndpoint(e.function);
    ASSERT_NE(found, nullptr) << e.function;
    EXPECT_EQ(found->method, e.method) << e.function;
    EXPECT_EQ(found->path_template, e.path) << e.function;
    EXPECT_EQ(found->tags, (std::vector<std::string>{"Plugins", "Plugin testplugin"}))
        << e.function;
    if (e.returns != nullptr) {
      EXPECT_EQ(found->returns, (TypeReference{kPluginTypeStruct, 0, e.returns})) << e.function;
    }
    ASSERT_EQ(found->parameters.size(), e.parameters.size()) << e.function;
    for (size_t i = 0; i < e.parameters.size(); ++i) {
      const ParameterDescription& p = found->parameters[i];
      EXPECT_EQ(p.name, e.parameters[i].name) << e.function;
      EXPECT_EQ(p.location, e.parameters[i].location) << e.function << " " << p.name;
      EXPECT_EQ(p.type, e.parameters[i].type) << e.function << " " << p.name;
      EXPECT_EQ(p.optional, e.parameters[i].optional) << e.function << " " << p.name;
    }
  }

  struct Member {
    const char* name;
    TypeReference type;
    bool optional;
  };
  struct Record {
    const char* name;
    const char* tag;
    std::vector<Member> members;
  };
  const TypeReference text{kPluginTypeString, 0, ""}, number{kPluginTypeUint32, 0, ""},
      flag{kPluginTypeBool, 0, ""}, any{kPluginTypeObject, 0, ""};
  const Record records[] = {
      {"TestpluginStatus",
       "Plugin testplugin",
       {{"initialized", flag, false}, {"eventCount", number, false}}},
      {"TestpluginEchoRequest", "Plugin testplugin", {{"value", any, false}, {"note", text, true}}},
      {"TestpluginEchoResponse",
       "Plugin testplugin",
       {{"value", any, false}, {"note", text, true}}},
      {"TestpluginItem", "Plugin testplugin", {{"id", text, false}, {"count", number, false}}},
      {"TestpluginFailRequest",
       "Plugin testplugin",
       {{"status", number, false}, {"message", text, false}}},
      {"TestpluginFetchRequest",
       "Plugin testplugin",
       {{"path", text, false}, {"stream", flag, true}}},
      {"TestpluginFetchResponse",
       "Plugin testplugin",
       {{"ok", flag, false},
        {"status", number, false},
        {"error", text, false},
        {"value", any, false},
        {"size", number, false}}},
      {"TestpluginUriRequest", "Plugin testplugin", {{"uri", text, false}}},
      {"TestpluginEvents",
       "Plugin testplugin",
       {{"events", {kPluginTypeVector, kPluginTypeStruct, "PluginResourceEvent"}, false}}},
      {"TestpluginLogRequest",
       "Plugin testplugin",
       {{"level", number, false}, {"text", text, false}}},
      {"PluginResourceEvent",
       "pclient",
       {{"uri", text, false},
        {"eventType", {kPluginTypeEnum, 0, "PluginResourceEventType"}, false},
        {"data", any, false}}},
  };
  for (const Record& r : records) {
    const TypeDescription* type = d.FindType(r.name);
    ASSERT_NE(type, nullptr) << r.name;
    EXPECT_EQ(type->kind, TypeKind::kStruct) << r.name;
    EXPECT_NE(std::find(type->tags.begin(), type->tags.end(), r.tag), type->tags.end()) << r.name;
    ASSERT_EQ(type->members.size(), r.members.size()) << r.name;
    for (size_t i = 0; i < r.members.size(); ++i) {
      const MemberDescription& m = type->members[i];
      EXPECT_EQ(m.name, r.members[i].name) << r.name;
      EXPECT_EQ(m.type, r.members[i].type) << r.name << "." << m.name;
      EXPECT_EQ(m.optional, r.members[i].optional) << r.name << "." << m.name;
    }
  }
  const TypeDescription* event_type = d.FindType("PluginResourceEventType");
  ASSERT_NE(event_type, nullptr);
  EXPECT_EQ(event_type->kind, TypeKind::kEnum);
  ASSERT_EQ(event_type->enumerators.size(), 3u);
  for (const auto& [name, value] : {std::pair{"Create", 0}, {"Update", 1}, {"Delete", 2}}) {
    bool found = false;
    for (const EnumeratorDescription& e : event_type->enumerators) {
      found = found || (e.name == name && e.value == value);
    }
    EXPECT_TRUE(found) << name;
  }
  const std::pair<const char*, const char*> events[] = {
      {"OnJsonApiEvent", "PluginResourceEvent"},
      {"OnLcdsEvent", "PluginLcdsEvent"},
      {"OnServiceProxyUuidEvent", "PluginServiceProxyResponse"},
      {"OnServiceProxyMethodEvent", "PluginServiceProxyResponse"},
      {"OnServiceProxyAsyncEvent", "PluginServiceProxyResponse"}};
  for (const auto& [name, payload] : events) {
    const EventDescription* event = d.FindEvent(name);
    ASSERT_NE(event, nullptr) << name;
    EXPECT_EQ(event->payload_type, payload) << name;
    EXPECT_EQ(event->tags, std::vector<std::string>{"pclient"}) << name;
  }
}

// ------------------------------------------------------------------------------------------
// Start: the plug-in logs, subscribes to its configuration and reads it at once

TEST_F(TestPluginTest, StartLogsSubscribesAndReadsTheConfiguration) {
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(config_requests_, std::vector<std::string>{"GET /testplugin/v1/config"});
    EXPECT_NE(std::find(log_lines_.begin(), log_lines_.end(),
                        std::pair<int32_t, std::string>{3, "TestPlugin::Initialize: starting"}),
              log_lines_.end());
  }
  bool subscribed = false;
  for (const SubscriptionInfo& s : host_->Subscriptions()) {
    subscribed = subscribed || s.name == "OnJsonApiEvent_testplugin_v1_config";
  }
  EXPECT_TRUE(subscribed);
  // Records reach the host with their members in name order.
  EXPECT_EQ(RecordedEvents(),
            "[{\"data\":{\"mode\":\"initial\"},\"eventType\":\"Create\","
            "\"uri\":\"/testplugin/v1/config\"}]");
  const Response status = host_->Call(kPluginMethodGet, "/testplugin/v1/status");
  ASSERT_TRUE(status.ok()) << status.error;
  EXPECT_EQ(Json(status.result.view()), "{\"eventCount\":1,\"initialized\":true}");
}

// ------------------------------------------------------------------------------------------
// Values and errors

TEST_F(TestPluginTest, BodiesInJsonAndMessagePackAreEchoed) {
  const Response json =
      PostJson("/testplugin/v1/echo", R"({"value": {"a": [1, "x", -2, 0.5, true]}, "note": "n"})");
  ASSERT_TRUE(json.ok()) << json.error;
  const std::string echoed = "{\"note\":\"n\",\"value\":{\"a\":[1,\"x\",-2,0.5,true]}}";
  EXPECT_EQ(Json(json.result.view()), echoed);

  MessagePackWriter writer;
  ASSERT_TRUE(
      writer
          .Write(OwnedHostValue::Structure(
                     {{"value",
                       OwnedHostValue::Structure(
                           {{"a", OwnedHostValue::Collection(
                                      {Num(1), Str("x"), OwnedHostValue::Signed(-2),
                                       OwnedHostValue::Float(0.5), OwnedHostValue::Bool(true)})}})},
                      {"note", Str("n")}})
                     .view())
          .ok());
  const Response packed = host_->Call(kPluginMethodPost, "/testplugin/v1/echo",
                                      "application/x-msgpack", writer.bytes());
  ASSERT_TRUE(packed.ok()) << packed.error;
  EXPECT_EQ(Json(packed.result.view()), echoed);
}

TEST_F(TestPluginTest, AnswersAndErrorsReachTheCaller) {
  struct Case {
    uint32_t method;
    std::string path;
    std::string body;  // JSON
    bool failed;
    uint32_t http_status;
    std::string result_or_error;  // the result as JSON, or the error text
  };
  const Case cases[] = {
      {kPluginMethodGet, "/testplugin/v1/items/abc?count=3", "", false, 200,
       "{\"count\":3,\"id\":\"abc\"}"},
      {kPluginMethodGet, "/testplugin/v1/items/x%2Fy", "", false, 200,
       "{\"count\":0,\"id\":\"x/y\"}"},
      {kPluginMethodPost, "/testplugin/v1/fail", R"({"status": 418, "message": "No tea"})", true,
       418, "No tea"},
      {kPluginMethodGet, "/testplugin/v1/status?stray=1", "", true, 400,
       "Unknown argument 'stray' for 'GetTestpluginV1Status'."},
      {kPluginMethodGet, "/testplugin/v1/nothing", "", true, 404,
       "No endpoint of the plug-in testplugin has the path /testplugin/v1/nothing"},
      {kPluginMethodPut, "/testplugin/v1/status", "", true, 405,
       "The path /testplugin/v1/status does not take the method PUT"},
  };
  for (const Case& c : cases) {
    const Response r = c.body.empty() ? host_->Call(c.method, c.path)
                                      : host_->Call(c.method, c.path, "application/json", c.body);
    EXPECT_EQ(r.failed, c.failed) << c.path;
    EXPECT_EQ(r.HttpStatus(), c.http_status) << c.path;
    EXPECT_EQ(r.failed ? r.error : Json(r.result.view()), c.result_or_error) << c.path;
  }
  // A body that is not what its content type says is the plug-in's binding error: no status.
  const Response bad = PostJson("/testplugin/v1/fail", "{not json");
  EXPECT_TRUE(bad.failed);
  EXPECT_EQ(bad.status, 0u);
  EXPECT_EQ(bad.HttpStatus(), 400u);
  EXPECT_FALSE(bad.answered_by_host);
}

// ------------------------------------------------------------------------------------------
// Streams, both ways

TEST_F(TestPluginTest, ThePluginsStreamsComeInItsChunks) {
  const Response whole =
      host_->Call(kPluginMethodGet, "/testplugin/v1/stream?size=10000&chunk=1000");
  ASSERT_TRUE(whole.ok()) << whole.error;
  EXPECT_TRUE(whole.streamed);
  EXPECT_EQ(whole.announced_size, 10000u);
  EXPECT_EQ(whole.content_type, "application/octet-stream");
  ASSERT_EQ(whole.stream_bytes.size(), 10000u);
  for (size_t i = 0; i < whole.stream_bytes.size(); ++i) {
    ASSERT_EQ(whole.stream_bytes[i], static_cast<char>('a' + i % 26)) << "at " << i;
  }
  CallRequest request;
  request.path = "/testplugin/v1/stream?size=5000&chunk=700";
  std::vector<uint32_t> reads;
  host_->CallInPlace(request, [&](const ResponseView& view) {
    ASSERT_TRUE(view.is_stream());
    char buffer[4096];
    bool more = true;
    while (more) {
      uint32_t delivered = 0;
      ASSERT_TRUE(view.ReadStream(buffer, sizeof buffer, &delivered, &more));
      reads.push_back(delivered);
      ASSERT_LT(reads.size(), 100u);
    }
  });
  uint32_t total = 0;
  for (const uint32_t n : reads) {
    EXPECT_LE(n, 700u);
    total += n;
  }
  EXPECT_EQ(total, 5000u);
}

TEST_F(TestPluginTest, TheHostsStreamsAreReadWithWaitStepsAfterShortReads) {
  std::string asset(10000, '\0');
  for (size_t i = 0; i < asset.size(); ++i) asset[i] = static_cast<char>('A' + i % 7);
  struct Case {
    uint32_t chunk;
    uint64_t waits;
  };
  // The plug-in reads 4096 bytes at a time and waits after a short read that promises more.
  const Case cases[] = {{0, 0}, {1000, 9}, {4096, 0}, {3000, 3}};
  for (const Case& c : cases) {
    host_->AddProvider("/assets/a.txt", [&](const ResourceRequest&) {
      ResourceAnswer answer = ResourceAnswer::Stream(MemoryStream(asset));
      answer.chunk_size = c.chunk;
      return answer;
    });
    const HostCounters before = host_->counters();
    const Response fetched =
        PostJson("/testplugin/v1/fetch", R"({"path": "/assets/a.txt", "stream": true})");
    const HostCounters after = host_->counters();
    ASSERT_TRUE(fetched.ok()) << fetched.error;
    const HostValueView v = fetched.result.view();
    EXPECT_TRUE(v.Find("ok")->AsBool()) << c.chunk;
    EXPECT_EQ(v.Find("size")->AsUnsigned(), 10000u) << c.chunk;
    EXPECT_EQ(v.Find("value")->AsString(), asset) << c.chunk;
    EXPECT_EQ(after.wait_starts - before.wait_starts, c.waits) << c.chunk;
    EXPECT_EQ(after.wait_yields - before.wait_yields, c.waits) << c.chunk;
    EXPECT_EQ(after.wait_steps - before.wait_steps, c.waits) << c.chunk;
  }
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

TEST_F(TestPluginTest, ValuesAndErrorsOfTheHostReachThePlugin) {
  host_->AddProvider("/value", [](const ResourceRequest&) {
    return ResourceAnswer::Value(OwnedHostValue::Structure(
        {{"k", Num(1)}, {"list", OwnedHostValue::Collection({Str("a")})}}));
  });
  host_->AddProvider("/forbidden",
                     [](const ResourceRequest&) { return ResourceAnswer::Error(403, "No entry"); });
  host_->AddProvider("/throws", [](const ResourceRequest&) -> ResourceAnswer {
    throw std::runtime_error("provider broke");
  });
  struct Case {
    std::string path;
    bool ok;
    uint32_t status;
    std::string error_or_value;
  };
  const Case cases[] = {
      {"/value", true, 200, "{\"k\":1,\"list\":[\"a\"]}"},
      {"/forbidden", false, 403, "Error response for GET /forbidden: No entry"},
      {"/throws", false, 500, "Error response for GET /throws: provider broke"},
      {"/nothing", false, 404, "Error response for GET /nothing: Not found"},
  };
  for (const Case& c : cases) {
    const Response fetched = PostJson("/testplugin/v1/fetch", "{\"path\": \"" + c.path + "\"}");
    ASSERT_TRUE(fetched.ok()) << fetched.error;
    const HostValueView v = fetched.result.view();
    EXPECT_EQ(v.Find("ok")->AsBool(), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(Json(*v.Find("value")), c.error_or_value) << c.path;
    } else {
      EXPECT_EQ(v.Find("status")->AsUnsigned(), c.status) << c.path;
      EXPECT_EQ(v.Find("error")->AsString(), c.error_or_value) << c.path;
    }
  }
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

// ------------------------------------------------------------------------------------------
// Events, both ways

TEST_F(TestPluginTest, PublishedEventsReachTheSubscribedPlugin) {
  host_->AddProvider("/a/b", [](const ResourceRequest&) {
    return ResourceAnswer::Value(OwnedHostValue::Structure({{"x", Num(0)}}));
  });
  ASSERT_TRUE(PostJson("/testplugin/v1/subscribe", R"({"uri": "/a/b"})").ok());
  bool subscribed = false;
  for (const SubscriptionInfo& s : host_->Subscriptions()) {
    subscribed = subscribed || s.name == "OnJsonApiEvent_a_b";
  }
  ASSERT_TRUE(subscribed);
  EXPECT_EQ(host_->PublishResourceEvent("/a/b", ResourceEventType::kUpdate,
                                        OwnedHostValue::Structure({{"x", Num(1)}})),
            1u);
  EXPECT_EQ(host_->PublishResourceEvent("/pavoclient/region-locale", ResourceEventType::kUpdate,
                                        OwnedHostValue()),
            0u);
  ASSERT_TRUE(PostJson("/testplugin/v1/unsubscribe", R"({"uri": "/a/b"})").ok());
  EXPECT_EQ(host_->PublishResourceEvent("/a/b", ResourceEventType::kDelete, OwnedHostValue()), 0u);
  EXPECT_EQ(RecordedEvents(),
            "[{\"data\":{\"mode\":\"initial\"},\"eventType\":\"Create\","
            "\"uri\":\"/testplugin/v1/config\"},"
            "{\"data\":{\"x\":0},\"eventType\":\"Create\",\"uri\":\"/a/b\"},"
            "{\"data\":{\"x\":1},\"eventType\":\"Update\",\"uri\":\"/a/b\"}]");
  // Stopping ends every subscription at the host.
  ASSERT_TRUE(host_->Stop().ok());
  EXPECT_TRUE(host_->Subscriptions().empty());
}

TEST_F(TestPluginTest, ThePluginsEventsReachListenersUnderBothNames) {
  ASSERT_TRUE(PostJson("/testplugin/v1/publish",
                       R"({"uri": "/testplugin/v1/thing", "eventType": "Delete",
                           "data": {"z": true}})")
                  .ok());
  std::lock_guard lock(mutex_);
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[0].name, "OnJsonApiEvent_testplugin_v1_thing");
  EXPECT_EQ(events_[1].name, "OnJsonApiEvent");
  for (const PluginEvent& event : events_) {
    EXPECT_EQ(Json(event.payload.view()),
              "{\"data\":{\"z\":true},\"eventType\":\"Delete\",\"uri\":\"/testplugin/v1/thing\"}");
  }
}

TEST_F(TestPluginTest, LogLinesReachTheSink) {
  ASSERT_TRUE(
      PostJson("/testplugin/v1/log", R"({"level": 2, "text": "hello from the test"})").ok());
  std::lock_guard lock(mutex_);
  EXPECT_EQ(log_lines_.back(), (std::pair<int32_t, std::string>{2, "hello from the test"}));
}

// ------------------------------------------------------------------------------------------
// Threads and memory

TEST_F(TestPluginTest, EightThreadsGetIdenticalAnswers) {
  const std::string echo_body = R"({"value": {"list": [1, 2, 3]}, "note": "same"})";
  const auto ask = [&](int i) {
    const Response r = i % 3 == 0   ? host_->Call(kPluginMethodGet, "/testplugin/v1/status")
                       : i % 3 == 1 ? host_->Call(kPluginMethodGet,
                                                  "/testplugin/v1/items/i" + std::to_string(i % 5))
                                    : PostJson("/testplugin/v1/echo", echo_body);
    return r.ok() ? Json(r.result.view()) : "failed: " + r.error;
  };
  std::vector<std::string> expected;
  for (int i = 0; i < 15; ++i) expected.push_back(ask(i));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const int k = (i + t) % 15;
        if (ask(k) != expected[k]) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(TestPluginTest, LiveAllocationsStayFlatOver10000Calls) {
  const std::string echo_body = R"({"value": {"a": "b"}, "note": "n"})";
  const auto call = [&](int i) {
    switch (i % 4) {
      case 0:
        return host_->Call(kPluginMethodGet, "/testplugin/v1/status").ok();
      case 1:
        return PostJson("/testplugin/v1/echo", echo_body).ok();
      case 2:
        return host_->Call(kPluginMethodGet, "/testplugin/v1/items/x?count=2").ok();
      default:
        return host_->Call(kPluginMethodGet, "/testplugin/v1/stream?size=100").ok();
    }
  };
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(call(i));
  Result<MemoryCounters> before = host_->MemoryStats();
  ASSERT_TRUE(before.ok());
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(call(i)) << i;
  Result<MemoryCounters> after = host_->MemoryStats();
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->live_allocations(), before->live_allocations());
  EXPECT_GT(after->allocations, before->allocations);  // the counters do count
}

}  // namespace
}  // namespace plugin_host
