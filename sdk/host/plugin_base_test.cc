// Tests of the plug-in base's registration and entry table, driven through a recording host
// call table on a small plug-in declared here: versions and names, the load block, the platform
// vocabulary, the incompatible core's assertion, Start's log wiring and subscriptions, Stop,
// MemoryStats, the wait step and the forwarding slots.
#include "sdk/host/plugin_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/binding/record_builder.h"
#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/logger.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/host/plugin_memory.h"
#include "sdk/host/recording_host.h"

namespace plugin_base_test_records {
struct BaseStatus {
  std::string text;
  uint32_t count = 0;
};
}  // namespace plugin_base_test_records

namespace sdk::host {
namespace {

using plugin_base_test_records::BaseStatus;
using sdk::diagnostics::LogRecord;
using sdk::diagnostics::LogTarget;
using sdk::dispatch::HttpMethod;
using testing::RecordingHost;

class TestPlugin final : public PluginBase {
 public:
  explicit TestPlugin(bool initialize_result = true) : initialize_result_(initialize_result) {}

  void RegisterApi() override {
    ++register_api_calls;
    sdk::binding::RecordBuilder<BaseStatus> status(registry(), type_name_prefix() + "Status");
    SDK_BINDING_MEMBER(status, text);
    SDK_BINDING_MEMBER(status, count);
    status.Tags(api_tags());
    DeclareRoute(endpoints(), HttpMethod::kGet, "/basetest/v1/status", [] {
      return BaseStatus{"fine", 1};
    }).Tags(api_tags());
  }
  bool Initialize() override {
    ++initialize_calls;
    return initialize_result_;
  }
  void Finalize() override {
    ++finalize_calls;
    PluginBase::Finalize();
  }

  int register_api_calls = 0;
  int initialize_calls = 0;
  int finalize_calls = 0;

 private:
  bool initialize_result_;
};

// A log target that keeps the messages it receives.
class CaptureTarget final : public LogTarget {
 public:
  ~CaptureTarget() override { Detach(); }
  bool Write(const LogRecord& record) override {
    lines.push_back(std::to_string(record.level) + " " + record.message);
    return true;
  }
  std::vector<std::string> lines;
};

// A plug-in registered with a core of the given version, stopped at the end of the test.
class Registered {
 public:
  explicit Registered(bool initialize_result = true, uint32_t minor = 0, uint32_t patch = 0)
      : plugin_(new TestPlugin(initialize_result)) {
    block_.api_major = 18;
    block_.api_minor = minor;
    block_.api_patch = patch;
    PluginBase::Register(plugin_, &block_, "basetest");
  }
  ~Registered() {
    if (!stopped_) Stop();
  }
  uint8_t Start(uint32_t plugin_id = 7) {
    return block_.entry_table->Start(block_.instance, host_.context(plugin_id));
  }
  void Stop() {
    block_.entry_table->Stop(block_.instance);
    stopped_ = true;
  }

  TestPlugin& plugin() { return *plugin_; }
  RecordingHost& host() { return host_; }
  const PluginLoadBlock& block() const { return block_; }

 private:
  RecordingHost host_;
  PluginLoadBlock block_{};
  TestPlugin* plugin_;
  bool stopped_ = false;
};

TEST(PluginApiVersionTest, CompatibilityAndText) {
  struct Case {
    PluginApiVersion core, plugin;
    bool compatible;
  };
  const Case cases[] = {
      {{18, 0, 0, {}, {}}, {18, 0, 0, {}, {}}, true},
      {{18, 2, 0, {}, {}}, {18, 0, 0, {}, {}}, true},
      {{18, 0, 7, {}, {}}, {18, 0, 3, {}, {}}, true},
      {{18, 1, 0, {}, {}}, {18, 0, 9, {}, {}}, true},  // a higher minor needs no patch
      {{18, 0, 0, {}, {}}, {18, 1, 0, {}, {}}, false},
      {{18, 0, 2, {}, {}}, {18, 0, 3, {}, {}}, false},
      {{19, 0, 0, {}, {}}, {18, 0, 0, {}, {}}, false},
      {{17, 9, 9, {}, {}}, {18, 0, 0, {}, {}}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCompatibleCore(c.core, c.plugin), c.compatible)
        << "core " << c.core.ToText() << " plugin " << c.plugin.ToText();
  }
  EXPECT_EQ((PluginApiVersion{1, 2, 3, "rc1", "7"}.ToText()), "1.2.3-rc1+7");
  EXPECT_EQ((PluginApiVersion{1, 2, 3, {}, {}}.ToText()), "1.2.3");
  EXPECT_EQ((PluginApiVersion{1, 2, 3, {}, "7"}.ToText()), "1.2.3+7");
  EXPECT_EQ(CurrentPluginApiVersion().ToText(), "18.0.0");
}

TEST(PluginNamingTest, FullNamesAndTheUnknownTypeLine) {
  sdk::diagnostics::Logger* logger = sdk::diagnostics::AcquireLogger();
  CaptureTarget capture;
  logger->Attach(capture.sink());
  struct Case {
    PluginType type;
    const char* full_name;
    bool error_line;
  };
  const Case cases[] = {
      {BackendPluginType(), "nbx-be-sanitizer", false},
      {FrontendPluginType(), "nbx-fe-sanitizer", false},
      {PluginType{"Backend", {}}, "nbx-xx-sanitizer", true},
      {PluginType{"", "x"}, "nbx-xx-sanitizer", true},
  };
  for (const Case& c : cases) {
    capture.lines.clear();
    const PluginNaming naming = GetFullNameFromShortNameAndType("sanitizer", c.type);
    EXPECT_EQ(naming.full_name, c.full_name) << "type " << c.type.name;
    EXPECT_EQ(naming.short_name, "sanitizer");
    EXPECT_EQ(naming.type_name, c.type.name);
    EXPECT_EQ(naming.type_second, c.type.second);
    if (c.error_line) {
      ASSERT_EQ(capture.lines.size(), 1u) << "type " << c.type.name;
      EXPECT_EQ(capture.lines[0],
                "2             Plugin Manager| GetFullNameFromShortNameAndType(\"sanitizer\", \"" +
                    c.type.name + "\") called with an unknown type");
    } else {
      EXPECT_TRUE(capture.lines.empty()) << "type " << c.type.name;
    }
  }
  capture.Detach();
  sdk::diagnostics::ReleaseLogger();
}

TEST(PluginBaseTest, RegisterWritesTheLoadBlockForCompatibleCores) {
  const struct { uint32_t minor, patch; } cores[] = {{0, 0}, {2, 0}, {0, 5}};
  for (const auto& core : cores) {
    Registered registered(true, core.minor, core.patch);
    const PluginLoadBlock& block = registered.block();
    EXPECT_EQ(block.api_major, 18u);
    EXPECT_EQ(block.api_minor, 0u);
    EXPECT_EQ(block.api_patch, 0u);
    EXPECT_EQ(block.entry_table, &PluginBase::entry_table());
    EXPECT_EQ(block.entry_table->Start, PluginBase::entry_table().Start);
    EXPECT_EQ(block.instance, static_cast<void*>(&registered.plugin()));
    EXPECT_STREQ(block.short_name, "basetest");
    ASSERT_NE(registered.plugin().api_description(), nullptr);
    EXPECT_EQ(block.api_description, registered.plugin().api_description()->record());
    EXPECT_EQ(block.api_description->endpoint_count, 1u);
    EXPECT_STREQ(block.api_description->endpoints[0].function.name, "GetBasetestV1Status");
    EXPECT_EQ(registered.plugin().register_api_calls, 1);
    EXPECT_EQ(registered.plugin().initialize_calls, 0);
  }
}

TEST(PluginBaseTest, RegisterNamesTagsAndPrefix) {
  Registered registered;
  const TestPlugin& plugin = registered.plugin();
  EXPECT_EQ(plugin.naming().full_name, "nbx-be-basetest");
  EXPECT_EQ(plugin.naming().short_name, "basetest");
  EXPECT_EQ(plugin.naming().type_name, "backend");
  EXPECT_EQ(plugin.naming().type_second, "");
  EXPECT_EQ(plugin.type_name_prefix(), "Basetest");
  EXPECT_EQ(plugin.api_tags(), (std::vector<std::string>{"Plugins", "Plugin basetest"}));
  const sdk::binding::TypeRecord* status = plugin.registry().FindTypeByName("BasetestStatus");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->tags, plugin.api_tags());
}

TEST(PluginBaseTest, RegisterAddsThePlatformVocabularyInOrder) {
  Registered registered;
  const auto& registry = registered.plugin().registry();
  std::vector<std::string> platform_types;
  for (const sdk::binding::TypeRecord* type : registry.Types()) {
    if (type->tags == std::vector<std::string>{"pclient"}) platform_types.push_back(type->name);
  }
  EXPECT_EQ(platform_types, (std::vector<std::string>{
                                "PluginManagerState", "PluginManagerResource",
                                "PluginResourceEventType", "PluginResourceEvent", "PluginLcdsEvent",
                                "PluginLcdsResponse", "PluginServiceProxyResponse"}));
  // After the fifteen built-ins, before the plug-in's own.
  EXPECT_EQ(registry.Types()[15]->name, "PluginManagerState");
  EXPECT_EQ(registry.Types()[22]->name, "BasetestStatus");

  struct Event {
    std::string name, payload, description;
  };
  const Event expected[] = {
      {"OnJsonApiEvent", "PluginResourceEvent", "Fired when a resource is changed."},
      {"OnLcdsEvent", "PluginLcdsEvent",
       "Fired when a message is received over the LCDS connection."},
      {"OnServiceProxyUuidEvent", "PluginServiceProxyResponse",
       "Fired when a uuid-based service proxy message is received."},
      {"OnServiceProxyMethodEvent", "PluginServiceProxyResponse",
       "Fired when a method-based service proxy message is received."},
      {"OnServiceProxyAsyncEvent", "PluginServiceProxyResponse",
       "Fired when an async service proxy message is received."},
  };
  const auto events = registry.Events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0]->name, "OnCallback");
  for (size_t i = 0; i < 5; ++i) {
    const sdk::binding::EventRecord& event = *events[i + 1];
    EXPECT_EQ(event.name, expected[i].name);
    ASSERT_NE(event.type.type, nullptr) << event.name;
    EXPECT_EQ(event.type.type->name, expected[i].payload);
    EXPECT_EQ(event.description, expected[i].description);
    EXPECT_EQ(event.tags, std::vector<std::string>{"pclient"});
  }

  const sdk::binding::TypeRecord* event_type = registry.FindTypeByName("PluginResourceEventType");
  ASSERT_NE(event_type, nullptr);
  EXPECT_TRUE(event_type->is_enum);
  ASSERT_EQ(event_type->enumerators.size(), 3u);
  EXPECT_EQ(event_type->enumerators.at("Create").value, 0);
  EXPECT_EQ(event_type->enumerators.at("Update").value, 1);
  EXPECT_EQ(event_type->enumerators.at("Delete").value, 2);
}

TEST(PluginBaseDeathTest, AnIncompatibleCoreEndsTheProcessWithTheAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    uint32_t major, minor, patch;
    const char* text;
  } cores[] = {{19, 0, 0, "19\\.0\\.0"}, {17, 9, 9, "17\\.9\\.9"}};
  for (const auto& core : cores) {
    EXPECT_DEATH(
        {
          PluginLoadBlock block{};
          block.api_major = core.major;
          block.api_minor = core.minor;
          block.api_patch = core.patch;
          PluginBase::Register(new TestPlugin(), &block, "basetest");
        },
        std::string("ERROR\\| Assertion failed!\n\nExpression: ALE-EECF0606\n\nDescription: "
                    "basetest which supports plugin API 18\\.0\\.0 is not compatible with core's "
                    "plugin API ") +
            core.text);
  }
}

TEST(PluginBaseTest, StartConnectsLoggingToTheHost) {
  Registered registered;
  ASSERT_EQ(registered.Start(), 1);
  sdk::diagnostics::Logger* logger = sdk::diagnostics::AcquireLogger();
  sdk::diagnostics::LogSink* sink = logger->Find("PluginLogTarget");
  ASSERT_NE(sink, nullptr);
  EXPECT_FALSE(logger->StdErr().IsAttached());
  EXPECT_FALSE(logger->StdOut().IsAttached());
  EXPECT_FALSE(logger->DebuggerConsole().IsAttached());
  EXPECT_EQ(logger->Level(), sdk::diagnostics::kLogOkay);
  EXPECT_EQ(logger->ExcludedCategories(), sdk::diagnostics::kCategoryXtr);
  EXPECT_EQ(sink->get_level(sink), sdk::diagnostics::kLogOkay);
  EXPECT_EQ(sink->get_included_categories(sink), 0u);
  EXPECT_EQ(sink->get_excluded_categories(sink), 0u);
  EXPECT_STREQ(sink->get_format(sink), "#D| #L| #G| #M");

  registered.host().TakeCalls();
  sdk::diagnostics::Log(sdk::diagnostics::kLogOkay, sdk::diagnostics::kCategoryDbg, "hello %d", 5);
  sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryXtr, "dropped");
  sdk::diagnostics::Log(sdk::diagnostics::kLogError, 0, "no category");
  EXPECT_EQ(registered.host().TakeCalls(),
            (std::vector<std::string>{"log 0 hello 5", "log 2 no category"}));

  // A second plug-in finds the target attached and adds none: each line reaches one host once.
  Registered second;
  ASSERT_EQ(second.Start(8), 1);
  EXPECT_EQ(logger->Find("PluginLogTarget"), sink);
  second.host().TakeCalls();
  sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryDbg, "once");
  EXPECT_EQ(registered.host().CallsStartingWith("log"), std::vector<std::string>{"log 3 once"});
  EXPECT_TRUE(second.host().CallsStartingWith("log").empty());
  second.Stop();
  registered.Stop();
  // The target went with its plug-in.
  EXPECT_EQ(logger->Find("PluginLogTarget"), nullptr);
  sdk::diagnostics::ReleaseLogger();
}

TEST(PluginBaseTest, StartSubscribesTheServiceProxyEventsAndReturnsInitialize) {
  for (const bool result : {true, false}) {
    Registered registered(result);
    EXPECT_EQ(registered.Start(42), result ? 1 : 0);
    EXPECT_EQ(registered.plugin().initialize_calls, 1);
    EXPECT_EQ(registered.plugin().plugin_id(), 42u);
    EXPECT_NE(registered.plugin().telemetry(), nullptr);
    EXPECT_EQ(registered.host().CallsStartingWith("subscribe"),
              (std::vector<std::string>{"subscribe OnServiceProxyUuidEvent 42 1",
                                        "subscribe OnServiceProxyMethodEvent 42 1",
                                        "subscribe OnServiceProxyAsyncEvent 42 1"}));
  }
}

TEST(PluginBaseTest, StartRefusesAMissingContextOrTable) {
  Registered registered;
  EXPECT_EQ(registered.block().entry_table->Start(registered.block().instance, nullptr), 0);
  const HostContext no_table{nullptr, 3};
  EXPECT_EQ(registered.block().entry_table->Start(registered.block().instance, &no_table), 0);
  EXPECT_EQ(registered.block().entry_table->Start(nullptr, registered.host().context()), 0);
  EXPECT_EQ(registered.plugin().initialize_calls, 0);
}

TEST(PluginBaseTest, StopFinalisesAndEndsEverySubscriptionAtTheHost) {
  Registered registered;
  ASSERT_EQ(registered.Start(), 1);
  registered.plugin().Subscribe("/basetest/v1/things");
  registered.plugin().Subscribe("/other/x");
  registered.host().TakeCalls();
  EXPECT_EQ(registered.plugin().finalize_calls, 0);
  registered.Stop();
  std::vector<std::string> unsubscribed = registered.host().CallsStartingWith("unsubscribe");
  std::sort(unsubscribed.begin(), unsubscribed.end());
  EXPECT_EQ(
      unsubscribed,
      (std::vector<std::string>{
          "unsubscribe OnJsonApiEvent_basetest_v1_things 7", "unsubscribe OnJsonApiEvent_other_x 7",
          "unsubscribe OnServiceProxyAsyncEvent 7", "unsubscribe OnServiceProxyMethodEvent 7",
          "unsubscribe OnServiceProxyUuidEvent 7"}));
}

TEST(PluginBaseTest, MemoryStatsGivesTheSixCountersAsWordPairs) {
  Registered registered;
  void* held = PluginAllocate(1000);  // something in use, so no counter is trivially 0
  uint32_t words[14];
  std::memset(words, 0xEE, sizeof words);
  const PluginMemoryCounters before = GetPluginMemoryCounters();
  registered.block().entry_table->MemoryStats(registered.block().instance, words);
  const PluginMemoryCounters after = GetPluginMemoryCounters();
  PluginFree(held);
  const uint64_t expected[6][2] = {{before.peak_bytes_in_use, after.peak_bytes_in_use},
                                   {before.peak_live_allocations, after.peak_live_allocations},
                                   {before.bytes_allocated, after.bytes_allocated},
                                   {before.allocations, after.allocations},
                                   {before.bytes_freed, after.bytes_freed},
                                   {before.frees, after.frees}};
  for (int i = 0; i < 6; ++i) {
    const uint64_t value = words[2 * i] | (uint64_t{words[2 * i + 1]} << 32);
    EXPECT_GE(value, expected[i][0]) << "counter " << i;
    EXPECT_LE(value, expected[i][1]) << "counter " << i;
  }
  EXPECT_GE(words[6] | (uint64_t{words[7]} << 32), 1u);
  EXPECT_EQ(words[12], 0u);
  EXPECT_EQ(words[13], 0u);
  registered.block().entry_table->MemoryStats(registered.block().instance, nullptr);  // ignored
}

TEST(PluginBaseTest, WaitIsTheThreeCallWaitStep) {
  Registered registered;
  ASSERT_EQ(registered.Start(), 1);
  registered.host().SetWaitResult(0x123456789ull);
  registered.host().TakeCalls();
  EXPECT_EQ(registered.plugin().Wait(), 0x123456789ull);
  EXPECT_EQ(registered.host().TakeCalls(),
            (std::vector<std::string>{"call7 Wait: yield 0", "call6", "call8"}));
}

TEST(PluginBaseTest, ForwardingSlotsPassTheirArgumentsAndToleratePartialTables) {
  Registered registered;
  TestPlugin& plugin = registered.plugin();
  plugin.HostCall1(1, 2);  // before Start: no table, nothing happens
  EXPECT_EQ(plugin.HostCall8(), 0u);
  EXPECT_TRUE(registered.host().Calls().empty());
  ASSERT_EQ(registered.Start(), 1);
  registered.host().TakeCalls();
  plugin.HostCall1(1, 2);
  plugin.HostCall5(3, 4, 5, 0x100000000ull, 6);
  plugin.HostCall7("text", 9);
  EXPECT_EQ(registered.host().TakeCalls(),
            (std::vector<std::string>{"call1 1 2", "call5 3 4 5 4294967296 6", "call7 text 9"}));
  // A host whose table has no entries at all: every slot does nothing.
  registered.host().ClearTable();
  plugin.HostCall1(1, 2);
  plugin.HostCall6();
  EXPECT_EQ(plugin.HostCall8(), 0u);
  plugin.HostSendEvent(nullptr);
  sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, 0, "to no one");
  EXPECT_TRUE(registered.host().Calls().empty());
}

}  // namespace
}  // namespace sdk::host
