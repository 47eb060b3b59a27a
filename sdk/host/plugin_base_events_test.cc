// Tests of events and subscriptions: event names, uri patterns, reference-counted
// subscriptions, delivery through the host's callback (converted, dropped, malformed), resource
// dispatch to exact and pattern handlers, SubscribeResource's first read, publishing, the
// service-proxy messages and Finalize.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sdk/binding/record_builder.h"
#include "sdk/diagnostics/trace.h"
#include "sdk/host/plugin_base.h"
#include "sdk/host/plugin_events.h"
#include "sdk/host/recording_host.h"

namespace plugin_events_test_records {
struct EventStatus {
  std::string uri;
  bool ready = false;
};
struct Setting {
  std::string mode;
};
}  // namespace plugin_events_test_records

namespace sdk::host {
namespace {

using plugin_events_test_records::EventStatus;
using plugin_events_test_records::Setting;
using sdk::binding::BindingValue;
using testing::BorrowedTextValue;
using testing::RegisteredPlugin;

class EventPlugin final : public PluginBase {
 public:
  void RegisterApi() override {
    sdk::binding::RecordBuilder<EventStatus> status(registry(), "EventStatus");
    SDK_BINDING_MEMBER(status, uri);
    SDK_BINDING_MEMBER(status, ready);
    sdk::binding::RecordBuilder<Setting> setting(registry(), "Setting");
    SDK_BINDING_MEMBER(setting, mode, sdk::binding::kRequired);
  }
  bool Initialize() override { return true; }
};

// Keeps the trace lines while installed.
class TraceCapture {
 public:
  TraceCapture() { sdk::diagnostics::SetTraceSinkForTesting(&Sink, this); }
  ~TraceCapture() { sdk::diagnostics::SetTraceSinkForTesting(nullptr, nullptr); }
  std::vector<std::string> lines() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  static void Sink(const char* line, void* context) {
    auto* capture = static_cast<TraceCapture*>(context);
    const std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.emplace_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A resource event payload {"data": <text>, "eventType": <type>, "uri": <uri>}; the entries
// borrow the texts and live as long as the object.
class ResourcePayload {
 public:
  ResourcePayload(const char* uri, const char* type, const char* data) {
    entries_[0].key = "data";
    entries_[0].value = BorrowedTextValue(data);
    entries_[1].key = "eventType";
    entries_[1].value = BorrowedTextValue(type);
    entries_[2].key = "uri";
    entries_[2].value = BorrowedTextValue(uri);
    value_.tag = kHostValueStructure;
    value_.payload.span.data = entries_;
    value_.payload.span.count = 3;
  }
  const HostValue& value() const { return value_; }

 private:
  HostStructureEntry entries_[3] = {};
  HostValue value_{};
};

// Handlers that record what they receive, as "<tag> <uri> <type> <data>".
class Received {
 public:
  ResourceHandler Handler(std::string tag) {
    return [this, tag](const PluginResourceEvent& event) {
      const std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(tag + " " + event.uri + " " +
                       std::to_string(static_cast<int>(event.eventType)) + " " +
                       event.data.DebugString());
    };
  }
  std::vector<std::string> Take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(plugin_.Start(7), 1);
    plugin_.host().TakeCalls();
  }
  RegisteredPlugin<EventPlugin> plugin_;
  Received received_;
};

TEST(EventNameForTest, Table) {
  struct Case {
    const char* uri;
    const char* name;
  };
  const Case cases[] = {
      {"/jat-platform-config/v1/namespaces/Sanitizer",
       "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer"},
      {"/jat-platform-config/v1/namespaces/Sanitizer/extra/more",
       "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer_extra"},
      {"/pavoclient/region-locale", "OnJsonApiEvent_pavoclient_region-locale"},
      {"/sanitizer/v1/status", "OnJsonApiEvent_sanitizer_v1_status"},
      {"/a/b/c/d/e", "OnJsonApiEvent_a_b_c"},
      {"a//b", "OnJsonApiEvent_a_b"},
      {"/", "OnJsonApiEvent"},
      {"", "OnJsonApiEvent"},
  };
  for (const Case& c : cases) EXPECT_EQ(EventNameFor(c.uri), c.name) << "uri: " << c.uri;
}

TEST(UriPatternMatchesTest, Table) {
  struct Case {
    const char* pattern;
    const char* uri;
    bool matches;
  };
  const Case cases[] = {
      {"/a/*/c", "/a/b/c", true}, {"/a/*/c", "/a/bb/c", true},
      {"/a/*/c", "/a//c", true},  {"/a/*/c", "/a/b/d/c", false},
      {"/a/*", "/a/b", true},     {"/a/*", "/a/", false},
      {"/a/*", "/a/b/c", false},  {"/a/*", "/a", false},
      {"/A/*", "/a/b", false},    {"*", "abc", true},
      {"/a/*/*", "/a/b/c", true}, {"/a/b", "/a/b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UriPatternMatches(c.pattern, c.uri), c.matches)
        << "pattern " << c.pattern << " uri " << c.uri;
  }
}

TEST_F(EventTest, SubscriptionsAreCountedPerEventName) {
  TraceCapture trace;
  plugin_->Subscribe("/a/b");
  plugin_->Subscribe("/a/b");
  plugin_->Subscribe("/a/b/c/d");  // four items at most: OnJsonApiEvent_a_b_c
  EXPECT_EQ(plugin_.host().TakeCalls(),
            (std::vector<std::string>{"subscribe OnJsonApiEvent_a_b 7 0",
                                      "subscribe OnJsonApiEvent_a_b_c 7 0"}));
  plugin_->Unsubscribe("/a/b");
  EXPECT_TRUE(plugin_.host().TakeCalls().empty()) << "the second subscription keeps it";
  plugin_->Unsubscribe("/a/b");
  EXPECT_EQ(plugin_.host().TakeCalls(),
            std::vector<std::string>{"unsubscribe OnJsonApiEvent_a_b 7"});
  plugin_->Unsubscribe("/a/b");  // nothing left to end
  EXPECT_TRUE(plugin_.host().TakeCalls().empty());
  EXPECT_EQ(trace.lines(),
            (std::vector<std::string>{"testing: Subscribing to event: OnJsonApiEvent_a_b",
                                      "testing: Subscribing to event: OnJsonApiEvent_a_b_c",
                                      "testing: Unsubscribing to event: OnJsonApiEvent_a_b"}));
}

TEST_F(EventTest, ResourceEventsReachExactAndPatternHandlers) {
  plugin_->SubscribeResource("/a/b/c", received_.Handler("exact"));
  plugin_->SubscribeResource("/a/*/c", received_.Handler("pattern1"));
  plugin_->SubscribeResource("/a/b/*", received_.Handler("pattern2"));
  received_.Take();  // nothing: the host answered the exact uri's first read with 404
  const ResourcePayload event("a/b/c", "Update", "new");  // no leading "/": one is put in front
  EXPECT_EQ(plugin_.host().Deliver("OnJsonApiEvent_a_b_c", event.value()), 1);
  EXPECT_EQ(received_.Take(),
            (std::vector<std::string>{"exact /a/b/c 1 \"new\"", "pattern1 /a/b/c 1 \"new\"",
                                      "pattern2 /a/b/c 1 \"new\""}));
  const ResourcePayload other("/a/x/c", "Delete", "gone");
  plugin_.host().Deliver("OnJsonApiEvent_a_x_c", other.value());  // not subscribed: no callback
  plugin_->Subscribe("/a/x/c");
  plugin_.host().Deliver("OnJsonApiEvent_a_x_c", other.value());
  EXPECT_EQ(received_.Take(), std::vector<std::string>{"pattern1 /a/x/c 2 \"gone\""});
}

TEST_F(EventTest, SubscribeResourceReadsAnExactUriAtOnce) {
  HostStructureEntry entry{};
  entry.key = "mode";
  entry.value = BorrowedTextValue("on");
  plugin_.host().SetRequestFunction(
      [&](PluginResponseRecord* response, const PluginRequestRecord*) {
        response->result.tag = kHostValueStructure;
        response->result.payload.span.data = &entry;
        response->result.payload.span.count = 1;
      });
  plugin_->SubscribeResource("/config/v1/x", received_.Handler("first"));
  EXPECT_EQ(plugin_.host().TakeCalls(),
            (std::vector<std::string>{"subscribe OnJsonApiEvent_config_v1_x 7 0",
                                      "request 2 /config/v1/x caller 7"}));
  EXPECT_EQ(received_.Take(), std::vector<std::string>{"first /config/v1/x 0 {\"mode\": \"on\"}"});
  // A pattern is not read.
  plugin_->SubscribeResource("/config/*", received_.Handler("pattern"));
  EXPECT_TRUE(plugin_.host().CallsStartingWith("request").empty());
  EXPECT_TRUE(received_.Take().empty());
}

TEST_F(EventTest, TypedResourceHandlersConvertTheirData) {
  TraceCapture trace;
  std::vector<std::string> seen;
  plugin_->SubscribeResource<Setting>(
      "/settings", [&](PluginResourceEventType type, const Setting& setting) {
        seen.push_back(std::to_string(static_cast<int>(type)) + " " + setting.mode);
      });
  HostStructureEntry member{};
  member.key = "mode";
  member.value = BorrowedTextValue("fast");
  HostStructureEntry entries[3] = {};
  entries[0].key = "data";
  entries[0].value.tag = kHostValueStructure;
  entries[0].value.payload.span.data = &member;
  entries[0].value.payload.span.count = 1;
  entries[1].key = "eventType";
  entries[1].value = BorrowedTextValue("Update");
  entries[2].key = "uri";
  entries[2].value = BorrowedTextValue("/settings");
  HostValue payload{};
  payload.tag = kHostValueStructure;
  payload.payload.span.data = entries;
  payload.payload.span.count = 3;
  plugin_.host().Deliver("OnJsonApiEvent_settings", payload);
  // Data without the required member: skipped, with a trace line.
  entries[0].value = BorrowedTextValue("not a structure");
  plugin_.host().Deliver("OnJsonApiEvent_settings", payload);
  // A Delete converts nothing.
  entries[1].value = BorrowedTextValue("Delete");
  plugin_.host().Deliver("OnJsonApiEvent_settings", payload);
  EXPECT_EQ(seen, (std::vector<std::string>{"1 fast", "2 "}));
  const std::vector<std::string> lines = trace.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Couldn't convert resource Setting to C++ while handling update for URL: "
                      "/settings"),
            lines.end());
}

TEST_F(EventTest, UnconvertiblePayloadsAreDroppedWithATraceLine) {
  TraceCapture trace;
  std::vector<std::string> seen;
  plugin_->SetEventHandler<EventStatus>(
      "OnStatus", [&](const EventStatus& status) { seen.push_back(status.uri); }, 0);
  HostValue wrong_shape = BorrowedTextValue("a text, not a structure");
  HostValue unknown_tag{};
  unknown_tag.tag = 99;
  EXPECT_EQ(plugin_.host().Deliver("OnStatus", wrong_shape), 1);
  EXPECT_EQ(plugin_.host().Deliver("OnStatus", unknown_tag), 1);
  EXPECT_TRUE(seen.empty());
  const std::vector<std::string> lines = trace.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "testing: Couldn't convert payload EventStatus for event OnStatus: Couldn't "
                      "assign value to 'payload' of type EventStatus because the input not a "
                      "structure."),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "testing: Couldn't convert payload EventStatus for event OnStatus: Couldn't "
                      "assign value to 'payload' of type object because the input is of an "
                      "incompatible type ''."),
            lines.end());
}

TEST_F(EventTest, MalformedDeliveriesAreIgnored) {
  std::vector<std::string> seen;
  plugin_->SetEventHandler<EventStatus>(
      "OnStatus", [&](const EventStatus& status) { seen.push_back(status.uri); }, 0);
  PluginBase::DeliverEvent(nullptr);
  HostEventRecord no_context{};
  no_context.name = "OnStatus";
  PluginBase::DeliverEvent(&no_context);
  HostEventRecord no_name{};
  no_name.context = &plugin_.plugin();
  PluginBase::DeliverEvent(&no_name);
  HostEventRecord unknown{};
  unknown.name = "OnNothing";
  unknown.context = &plugin_.plugin();
  PluginBase::DeliverEvent(&unknown);
  // A handler that throws ends only its own delivery.
  plugin_->SetEventHandler<EventStatus>(
      "OnThrow", [](const EventStatus&) { throw std::runtime_error("handler failed"); }, 0);
  HostStructureEntry entry{};
  entry.key = "uri";
  entry.value = BorrowedTextValue("/u");
  HostValue payload{};
  payload.tag = kHostValueStructure;
  payload.payload.span.data = &entry;
  payload.payload.span.count = 1;
  EXPECT_EQ(plugin_.host().Deliver("OnThrow", payload), 1);
  EXPECT_EQ(plugin_.host().Deliver("OnStatus", payload), 1);
  EXPECT_EQ(seen, std::vector<std::string>{"/u"});
}

TEST_F(EventTest, ReplacingAHandlerSubscribesAgainAndTheNewOneServes) {
  std::vector<std::string> seen;
  plugin_->SetEventHandler<EventStatus>(
      "OnStatus", [&](const EventStatus&) { seen.push_back("old"); }, 2);
  plugin_->SetEventHandler<EventStatus>(
      "OnStatus", [&](const EventStatus&) { seen.push_back("new"); }, 2);
  EXPECT_EQ(plugin_.host().CallsStartingWith("subscribe"),
            (std::vector<std::string>{"subscribe OnStatus 7 2", "subscribe OnStatus 7 2"}));
  HostValue payload{};
  payload.tag = kHostValueStructure;
  plugin_.host().Deliver("OnStatus", payload);  // the host keeps both subscriptions
  EXPECT_EQ(seen, (std::vector<std::string>{"new", "new"}));
}

TEST_F(EventTest, SendEventPublishesUnderTheFullNameThenTheBaseName) {
  TraceCapture trace;
  plugin_->SendEvent("OnJsonApiEvent", EventStatus{"/sanitizer/v1/status", true}, 0);
  EXPECT_EQ(plugin_.host().TakeCalls(),
            (std::vector<std::string>{
                "send OnJsonApiEvent_sanitizer_v1_status "
                "{\"ready\":true,\"uri\":\"/sanitizer/v1/status\"} flags 0",
                "send OnJsonApiEvent {\"ready\":true,\"uri\":\"/sanitizer/v1/status\"} flags 0"}));
  EXPECT_EQ(trace.lines(),
            std::vector<std::string>{"testing: Sending event: OnJsonApiEvent_sanitizer_v1_status"});
  // A uri whose event name is the base name is sent once.
  plugin_->SendEvent("OnJsonApiEvent", EventStatus{"/", false}, 3);
  EXPECT_EQ(
      plugin_.host().TakeCalls(),
      std::vector<std::string>{"send OnJsonApiEvent {\"ready\":false,\"uri\":\"/\"} flags 3"});
  // A resource event names its enumerator.
  PluginResourceEvent event;
  event.uri = "/x/y";
  event.eventType = PluginResourceEventType::Update;
  event.data.SetSigned(-1);
  ASSERT_TRUE(plugin_->SendEvent("OnJsonApiEvent", event).ok());
  EXPECT_EQ(
      plugin_.host().TakeCalls().front(),
      "send OnJsonApiEvent_x_y {\"data\":-1,\"eventType\":\"Update\",\"uri\":\"/x/y\"} flags 0");
}

TEST_F(EventTest, ServiceProxyMessages) {
  std::vector<std::string> seen;
  plugin_->SetServiceProxyHandler("store", "buy", [&](const PluginServiceProxyResponse& r) {
    seen.push_back("async " + r.payload);
  });
  plugin_->AddPendingServiceProxyRequest(
      "u-1", [&](const PluginServiceProxyResponse& r) { seen.push_back("pending " + r.payload); });
  auto payload = [](const char* uuid, const char* service, const char* method, const char* text) {
    static thread_local HostStructureEntry entries[4];
    entries[0] = {"methodName", BorrowedTextValue(method), 0};
    entries[1] = {"payload", BorrowedTextValue(text), 0};
    entries[2] = {"serviceName", BorrowedTextValue(service), 0};
    entries[3] = {"uuid", BorrowedTextValue(uuid), 0};
    HostValue value{};
    value.tag = kHostValueStructure;
    value.payload.span.data = entries;
    value.payload.span.count = 4;
    return value;
  };
  plugin_.host().TakeCalls();
  plugin_.host().Deliver("OnServiceProxyAsyncEvent", payload("", "store", "buy", "a"));
  plugin_.host().Deliver("OnServiceProxyAsyncEvent", payload("", "store", "sell", "b"));
  plugin_.host().Deliver("OnServiceProxyUuidEvent", payload("u-2", "", "", "unknown uuid"));
  plugin_.host().Deliver("OnServiceProxyUuidEvent", payload("u-1", "", "", "c"));
  plugin_.host().Deliver("OnServiceProxyUuidEvent", payload("u-1", "", "", "again"));
  EXPECT_EQ(seen, (std::vector<std::string>{"async a", "pending c"}));
  EXPECT_EQ(plugin_.host().CallsStartingWith("log"),
            (std::vector<std::string>{
                "log 2 testing: Could not find registered handler for async service proxy event "
                "store.sell",
                "log 3 testing: Fulfilled service proxy request: u-1"}));
  // A method message fulfils by uuid too, logged with its service and method.
  plugin_->AddPendingServiceProxyRequest(
      "u-3", [&](const PluginServiceProxyResponse& r) { seen.push_back("method " + r.payload); });
  plugin_.host().Deliver("OnServiceProxyMethodEvent", payload("u-3", "store", "list", "d"));
  EXPECT_EQ(seen.back(), "method d");
  EXPECT_EQ(plugin_.host().CallsStartingWith("log").back(),
            "log 3 testing: Fulfilled service proxy request: store.list");
}

TEST_F(EventTest, FinalizeEndsEverythingAndLaterEventsAreDropped) {
  plugin_->SubscribeResource("/a/b", received_.Handler("exact"));
  plugin_->Subscribe("/c");
  plugin_.host().TakeCalls();
  plugin_->Finalize();
  std::vector<std::string> ended = plugin_.host().TakeCalls();
  std::sort(ended.begin(), ended.end());
  EXPECT_EQ(ended,
            (std::vector<std::string>{
                "unsubscribe OnJsonApiEvent_a_b 7", "unsubscribe OnJsonApiEvent_c 7",
                "unsubscribe OnServiceProxyAsyncEvent 7", "unsubscribe OnServiceProxyMethodEvent 7",
                "unsubscribe OnServiceProxyUuidEvent 7"}));
  const ResourcePayload event("/a/b", "Update", "late");
  HostEventRecord record{};
  record.name = "OnJsonApiEvent_a_b";
  record.payload = event.value();
  record.context = &plugin_.plugin();
  PluginBase::DeliverEvent(&record);  // a host that still delivers: dropped
  EXPECT_TRUE(received_.Take().empty());
  plugin_->Subscribe("/d");
  plugin_->SetEventHandler<EventStatus>(
      "OnLate", [](const EventStatus&) {}, 0);
  plugin_->SubscribeResource("/e", received_.Handler("late"));
  EXPECT_TRUE(plugin_.host().TakeCalls().empty()) << "nothing subscribes or reads after Finalize";
  EXPECT_TRUE(received_.Take().empty());
}

}  // namespace
}  // namespace sdk::host
