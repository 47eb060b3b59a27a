// The sanitizer plug-in end to end: the built nbx-be-sanitizer.so loaded through PluginHost,
// reading its assets (streamed in short chunks), its configuration and its region and locale
// from the host resources of the tools, and answering its three resources. Checks the load
// block and description, the lifecycle log lines, the configuration flow through resource
// events, the published status events, Stop, flat memory, repeated loading, and that its
// answers are the engine's own (the engine is linked into this test to compute them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"
#include "sdk/text/code_conversion.h"
#include "tests/sanitizer_plugin/sanitizer_plugin_harness.h"

namespace sanitizer::plugin_testing {
namespace {

using plugin_host::HostCounters;
using plugin_host::HostValueView;

constexpr char kInitializeLine[] =
    "SanitizerPlugin::Initialize: configuring and initializing the plugin...";
constexpr char kInitializedLine[] = "Initialize: initialization complete.";
constexpr char kNotReady[] = "error 404: Sanitizer is not ready or available";
constexpr char kInvalidUtf8[] = "error 400: Invalid UTF-8 string";

std::filesystem::path SampleAssets() { return SANITIZER_SAMPLE_ASSETS; }

// A folder of its own for one test, removed afterwards.
class TempFolder {
 public:
  explicit TempFolder(std::string_view name)
      : path_(std::filesystem::temp_directory_path() /
              (std::string(name) + "-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class SanitizerPluginTest : public ::testing::Test {
 protected:
  // Loads the plug-in on `folder`, with the configuration (none when empty) and region and
  // locale (none when the locale is null) served before Start, and starts it.
  void Start(const std::filesystem::path& folder, std::string_view configuration_json,
             const char* region, const char* locale) {
    harness_ = std::make_unique<SanitizerHarness>(HostResourceOptions{folder, kShortChunk});
    ASSERT_TRUE(harness_->loaded());
    if (!configuration_json.empty()) {
      ASSERT_TRUE(harness_->resources().SetConfigurationJson(configuration_json).ok());
    }
    if (locale != nullptr) harness_->resources().SetRegionLocale(region, locale);
    const plugin_host::Status started = harness_->host().Start();
    ASSERT_TRUE(started.ok()) << started.message();
  }

  SanitizerHarness& h() { return *harness_; }

  std::string Contains(const std::string& json) {
    return Outcome(h().PostJson(kContainsPath, json));
  }
  std::string Sanitize(const std::string& json) {
    return Outcome(h().PostJson(kSanitizePath, json));
  }
  std::string Status() { return Outcome(h().Status()); }

  std::unique_ptr<SanitizerHarness> harness_;
};

// ------------------------------------------------------------------------------------------
// The load block and the description

TEST_F(SanitizerPluginTest, TheLoadBlockAndDescriptionNameTheThreeResourcesAndFiveRecords) {
  Start(SampleAssets(), "", nullptr, nullptr);
  PluginHost& host = h().host();
  EXPECT_EQ(host.short_name(), "sanitizer");
  EXPECT_EQ(host.api_version(), (plugin_host::ApiVersion{18, 0, 0}));
  const plugin_host::ApiDescription& d = host.description();
  const std::vector<std::string> tags = {"Plugins", "Plugin sanitizer"};

  struct Endpoint {
    uint32_t method;
    const char* path;
    const char* function;
    const char* returns;
    const char* body;  // the type of the body parameter "request"; null for none
  };
  const Endpoint endpoints[] = {
      {kPluginMethodGet, kStatusPath, "GetSanitizerV1Status", "SanitizerSanitizerStatus", nullptr},
      {kPluginMethodPost, kContainsPath, "PostSanitizerV1ContainsSanitized",
       "SanitizerContainsSanitizedResponse", "SanitizerContainsSanitizedRequest"},
      {kPluginMethodPost, kSanitizePath, "PostSanitizerV1Sanitize", "SanitizerSanitizeResponse",
       "SanitizerSanitizeRequest"},
  };
  ASSERT_EQ(d.endpoints.size(), std::size(endpoints));
  for (size_t i = 0; i < std::size(endpoints); ++i) {
    const Endpoint& e = endpoints[i];
    const plugin_host::EndpointDescription& found = d.endpoints[i];  // in declaration order
    EXPECT_EQ(found.name, e.function);
    EXPECT_EQ(found.method, e.method) << e.function;
    EXPECT_EQ(found.path_template, e.path) << e.function;
    EXPECT_EQ(found.tags, tags) << e.function;
    EXPECT_EQ(found.returns, (plugin_host::TypeReference{kPluginTypeStruct, 0, e.returns}))
        << e.function;
    if (e.body == nullptr) {
      EXPECT_TRUE(found.parameters.empty()) << e.function;
      continue;
    }
    ASSERT_EQ(found.parameters.size(), 1u) << e.function;
    const plugin_host::ParameterDescription& p = found.parameters[0];
    EXPECT_EQ(p.name, "request") << e.function;
    EXPECT_EQ(p.description, "") << e.function;
    EXPECT_EQ(p.location, static_cast<uint32_t>(kPluginArgumentBody)) << e.function;
    EXPECT_EQ(p.type, (plugin_host::TypeReference{kPluginTypeStruct, 0, e.body})) << e.function;
  }

  struct Member {
    const char* name;
    plugin_host::TypeReference type;
    bool optional;
  };
  const plugin_host::TypeReference text{kPluginTypeString, 0, ""}, u32{kPluginTypeUint32, 0, ""},
      flag{kPluginTypeBool, 0, ""}, counts{kPluginTypeMap, kPluginTypeUint32, ""},
      list{kPluginTypeVector, kPluginTypeString, ""};
  const std::pair<const char*, std::vector<Member>> records[] = {
      {"SanitizerSanitizerStatus",
       {{"ready", flag, false},
        {"region", text, false},
        {"locale", text, false},
        {"filteredWordCountsByLevel", counts, false},
        {"whitelistedWordCountsByLevel", counts, false},
        {"allowedCharsCount", u32, false},
        {"breakingCharsCount", u32, false},
        {"projectedCharsCount", u32, false}}},
      {"SanitizerContainsSanitizedRequest",
       {{"text", text, false},
        {"level", u32, true},
        {"includeEmbedded", flag, true},
        {"removeDisallowedChars", flag, true},
        {"aggressiveScan", flag, true}}},
      {"SanitizerContainsSanitizedResponse", {{"contains", flag, false}}},
      {"SanitizerSanitizeRequest",
       {{"texts", list, true},
        {"text", text, true},
        {"level", u32, true},
        {"removeDisallowedChars", flag, true},
        {"aggressiveScan", flag, true}}},
      {"SanitizerSanitizeResponse",
       {{"texts", list, true}, {"text", text, true}, {"modified", flag, false}}},
  };
  for (const auto& [name, members] : records) {
    const plugin_host::TypeDescription* type = d.FindType(name);
    ASSERT_NE(type, nullptr) << name;
    EXPECT_EQ(type->kind, plugin_host::TypeKind::kStruct) << name;
    EXPECT_EQ(type->tags, tags) << name;
    ASSERT_EQ(type->members.size(), members.size()) << name;
    for (size_t i = 0; i < members.size(); ++i) {
      EXPECT_EQ(type->members[i].name, members[i].name) << name;
      EXPECT_EQ(type->members[i].type, members[i].type) << name << "." << members[i].name;
      EXPECT_EQ(type->members[i].optional, members[i].optional) << name << "." << members[i].name;
    }
  }
  // The platform's resource event, which carries the published status.
  ASSERT_NE(d.FindEvent("OnJsonApiEvent"), nullptr);
  EXPECT_EQ(d.FindEvent("OnJsonApiEvent")->payload_type, "PluginResourceEvent");
}

// ------------------------------------------------------------------------------------------
// Start and the first engine

TEST_F(SanitizerPluginTest, BeforeAnyConfigurationStatusIsNotReadyAndTextResourcesAnswer404) {
  Start(SampleAssets(), "", nullptr, nullptr);
  const std::shared_ptr<const SanitizerUtils> tables =
      SanitizerUtils::Create(MakeFolderAssetLoader(SampleAssets()));
  ASSERT_GT(tables->breaking_chars_count(), 0u);
  EXPECT_EQ(Status(), "{\"allowedCharsCount\":0,\"breakingCharsCount\":" +
                          std::to_string(tables->breaking_chars_count()) +
                          ",\"filteredWordCountsByLevel\":{},\"locale\":\"\","
                          "\"projectedCharsCount\":" +
                          std::to_string(tables->projected_chars_count()) +
                          ",\"ready\":false,\"region\":\"\",\"whitelistedWordCountsByLevel\":{}}");
  EXPECT_EQ(Contains(R"({"text":"oh shit"})"), kNotReady);
  EXPECT_EQ(Sanitize(R"({"texts":["oh shit"]})"), kNotReady);
  EXPECT_EQ(h().TakeLifecycleLines(),
            (std::vector<std::string>{kInitializeLine, kInitializedLine}));
  EXPECT_TRUE(h().TakeEvents().empty());

  // The two subscriptions, in order, after the base's own service-proxy ones.
  std::vector<std::string> names;
  for (const plugin_host::SubscriptionInfo& s : h().host().Subscriptions()) names.push_back(s.name);
  const std::vector<std::string> resources = {
      "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer",
      "OnJsonApiEvent_pavoclient_region-locale"};
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), resources);

  // The character tables came in chunks of 1000 bytes: the plug-in waited between them.
  const HostCounters counters = h().host().counters();
  EXPECT_GT(counters.wait_steps, 0u);
  EXPECT_EQ(counters.wait_steps, counters.wait_starts);
  EXPECT_EQ(counters.open_responses, 0u);
}

TEST_F(SanitizerPluginTest, StartBuildsTheFirstEngineAndPublishesItsStatusUnderBothNames) {
  Start(SampleAssets(), R"({"Level1Filter":"zorblax","WhitelistEnabled":true})", "EU", "en_US");
  EXPECT_EQ(h().TakeLifecycleLines(),
            (std::vector<std::string>{
                kInitializeLine,
                "Configure: region=EU, locale=en_US, adhocIncludes.size=1, adhocExcludes.size=0, "
                "adhocWhitelist.size=0, whitelistEnabled=true",
                kInitializedLine}));
  const plugin_host::Response status = h().Status();
  ASSERT_TRUE(status.ok()) << status.error;
  const HostValueView view = status.result.view();
  EXPECT_TRUE(view.Find("ready")->AsBool());
  EXPECT_EQ(view.Find("region")->AsString(), "EU");
  EXPECT_EQ(view.Find("locale")->AsString(), "en_US");
  for (const char* map : {"filteredWordCountsByLevel", "whitelistedWordCountsByLevel"}) {
    const HostValueView counts = *view.Find(map);
    ASSERT_EQ(counts.size(), 4u) << map;
    for (uint32_t level = 0; level < 4; ++level) {
      EXPECT_EQ(counts.key(level), std::to_string(level)) << map;
    }
  }
  EXPECT_GT(view.Find("filteredWordCountsByLevel")->Find("1")->AsUnsigned(), 1u);
  EXPECT_GT(view.Find("allowedCharsCount")->AsUnsigned(), 0u);

  // The status went out once, as two host events with the same payload.
  const std::vector<PluginEvent> events = h().TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "OnJsonApiEvent_sanitizer_v1_status");
  EXPECT_EQ(events[1].name, "OnJsonApiEvent");
  for (const PluginEvent& event : events) {
    EXPECT_EQ(event.flags, 0u);
    EXPECT_EQ(
        Json(event.payload.view()),
        "{\"data\":" + Json(view) + ",\"eventType\":\"Create\",\"uri\":\"/sanitizer/v1/status\"}");
  }
  EXPECT_EQ(Contains(R"({"text":"a zorblax"})"), "{\"contains\":true}");
}

TEST_F(SanitizerPluginTest, MissingAssetsGiveEmptyTablesAndListsWithoutALogLine) {
  const TempFolder empty("sanitizer-plugin-no-assets");
  Start(empty.path(), R"({"Level1Filter":"zorblax"})", "", "en_US");
  // Every line of every level: the missing assets add none.
  EXPECT_EQ(h().TakeLines(),
            (std::vector<LogLine>{
                {3, kInitializeLine},
                {3,
                 "Configure: region=, locale=en_US, adhocIncludes.size=1, adhocExcludes.size=0, "
                 "adhocWhitelist.size=0, whitelistEnabled=false"},
                {3, kInitializedLine}}));
  EXPECT_EQ(Status(),
            "{\"allowedCharsCount\":0,\"breakingCharsCount\":0,"
            "\"filteredWordCountsByLevel\":{\"0\":0,\"1\":1,\"2\":0,\"3\":0},\"locale\":\"en_US\","
            "\"projectedCharsCount\":0,\"ready\":true,\"region\":\"\","
            "\"whitelistedWordCountsByLevel\":{\"0\":0,\"1\":0,\"2\":0,\"3\":0}}");
  EXPECT_EQ(Sanitize(R"({"text":"zorblax shit"})"),
            "{\"modified\":true,\"text\":\"******* shit\",\"texts\":null}");
  EXPECT_GT(h().host().counters().request_errors, 0u);  // the host did answer 404s
}

// ------------------------------------------------------------------------------------------
// The resources

TEST_F(SanitizerPluginTest, SanitizeAndContainsAnswerTheirEdgeCases) {
  Start(SampleAssets(), "", "", "en_US");
  const std::string invalid = "cr\xC3(d";
  struct Case {
    const char* name;
    const char* path;
    OwnedHostValue body;  // sent as MessagePack, which carries invalid UTF-8 as it is
    std::string expected;
  };
  const auto request = [](std::vector<plugin_host::HostMember> members) {
    return OwnedHostValue::Structure(std::move(members));
  };
  const Case cases[] = {
      {"empty texts", kSanitizePath, request({{"texts", Texts({})}}),
       "{\"modified\":false,\"text\":null,\"texts\":[]}"},
      {"valid then invalid element", kSanitizePath,
       request({{"texts", Texts({"oh shit", invalid})}}), kInvalidUtf8},
      {"texts and text, only text changed", kSanitizePath,
       request({{"texts", Texts({"fine", "good"})}, {"text", Text("oh shit")}}),
       "{\"modified\":true,\"text\":\"oh ****\",\"texts\":[\"fine\",\"good\"]}"},
      {"texts and text, only texts changed", kSanitizePath,
       request({{"texts", Texts({"oh shit"})}, {"text", Text("fine")}}),
       "{\"modified\":true,\"text\":\"fine\",\"texts\":[\"oh ****\"]}"},
      {"neither", kSanitizePath, request({{"level", OwnedHostValue::Unsigned(3)}}),
       "{\"modified\":false,\"text\":null,\"texts\":null}"},
      {"contains without level is level 1", kContainsPath, request({{"text", Text("shit")}}),
       "{\"contains\":true}"},
      {"contains at level 0", kContainsPath,
       request({{"text", Text("shit")}, {"level", OwnedHostValue::Unsigned(0)}}),
       "{\"contains\":false}"},
      {"contains rejects invalid UTF-8", kContainsPath, request({{"text", Text("oh shit \xFF")}}),
       kInvalidUtf8},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(h().PostMessagePack(c.path, c.body)), c.expected) << c.name;
  }
}

// The plug-in's answers against the engine built in this test from the same assets and
// configuration, for a table of texts under every combination of level and switches.
TEST_F(SanitizerPluginTest, AnswersAreTheEnginesOwn) {
  const char* const configuration =
      R"({"Level1Filter":"zorblax","Level2Unfilter":"dammit","Level1Whitelist":"zorblaxian",)"
      R"("WhitelistEnabled":true})";
  Start(SampleAssets(), configuration, "", "en_US");
  const AssetLoader loader = MakeFolderAssetLoader(SampleAssets());
  const std::unique_ptr<SanitizerEngine> engine =
      BuildEngine(SanitizerUtils::Create(loader), true, "", "en_US", {{1, {U"zorblax"}}},
                  {{2, {U"dammit"}}}, {{1, {U"zorblaxian"}}}, loader);

  const std::vector<std::string> texts = {
      "",
      "hello there",
      "oh shit",
      "S H I T happens",
      "$h1t and fvck",
      "bullshitter",
      "a zorblaxian zorblax",
      "damn, dammit, hell",
      "you idiot",
      "cocktail cock",
      "shït ｓｈｉｔ",
      "hi 🙂 there, мир",
      "fuckfuckfuck",
      "the document was accumulated",
      "son of a bitch",
  };
  struct Options {
    uint32_t level;
    bool aggressive;
    bool remove;
    bool embedded;
  };
  std::vector<Options> options;
  for (const uint32_t level : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
    for (int bits = 0; bits < 8; ++bits) {
      options.push_back({level, (bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0});
    }
  }
  for (const Options& o : options) {
    const std::string settings = "level " + std::to_string(o.level) +
                                 (o.aggressive ? ", aggressive" : "") +
                                 (o.remove ? ", remove" : "") + (o.embedded ? ", embedded" : "");
    // sanitize: all texts in one request, and the masked texts as the engine makes them.
    std::vector<std::string> masked;
    bool modified = false;
    for (const std::string& text : texts) {
      std::u32string output;
      modified |= SanitizeText(*engine, output, sdk::text::Utf8ToUtf32(text), o.level, o.remove,
                               o.aggressive, kDefaultMaxWords);
      masked.push_back(sdk::text::Utf32ToUtf8(output));
    }
    const OwnedHostValue sanitize =
        OwnedHostValue::Structure({{"texts", Texts(texts)},
                                   {"level", OwnedHostValue::Unsigned(o.level)},
                                   {"removeDisallowedChars", OwnedHostValue::Bool(o.remove)},
                                   {"aggressiveScan", OwnedHostValue::Bool(o.aggressive)}});
    const plugin_host::Response answer = h().PostMessagePack(kSanitizePath, sanitize);
    ASSERT_TRUE(answer.ok()) << settings << ": " << answer.error;
    EXPECT_EQ(Json(*answer.result.view().Find("texts")), Json(Texts(masked).view())) << settings;
    EXPECT_EQ(answer.result.view().Find("modified")->AsBool(), modified) << settings;

    for (const std::string& text : texts) {
      const bool expected = ContainsSanitized(*engine, sdk::text::Utf8ToUtf32(text), o.level,
                                              o.embedded, o.remove, o.aggressive);
      const OwnedHostValue contains =
          OwnedHostValue::Structure({{"text", Text(text)},
                                     {"level", OwnedHostValue::Unsigned(o.level)},
                                     {"includeEmbedded", OwnedHostValue::Bool(o.embedded)},
                                     {"removeDisallowedChars", OwnedHostValue::Bool(o.remove)},
                                     {"aggressiveScan", OwnedHostValue::Bool(o.aggressive)}});
      EXPECT_EQ(Outcome(h().PostMessagePack(kContainsPath, contains)),
                expected ? "{\"contains\":true}" : "{\"contains\":false}")
          << settings << ", text: " << text;
    }
  }
}

// ------------------------------------------------------------------------------------------
// Configuration through resource events

TEST_F(SanitizerPluginTest, OnlyTheLevelMembersUpToThreeReachTheEngine) {
  Start(SampleAssets(), "", "", "en_US");
  h().TakeLines();
  h().TakeEvents();
  ASSERT_EQ(
      h().resources()
          .UpdateConfigurationJson(
              R"({"Level2Filter":"zorblax","Level0Whitelist":"zorb","Level4Filter":"quuxword"})")
          .value(),
      1u);
  EXPECT_EQ(h().TakeLifecycleLines(),
            std::vector<std::string>{
                "Configure: region=, locale=en_US, adhocIncludes.size=1, adhocExcludes.size=0, "
                "adhocWhitelist.size=1, whitelistEnabled=false"});
  EXPECT_EQ(h().TakeEvents().size(), 2u);
  EXPECT_EQ(Contains(R"({"text":"zorblax","level":2})"), "{\"contains\":true}");
  EXPECT_EQ(Contains(R"({"text":"zorblax","level":1})"), "{\"contains\":false}");
  EXPECT_EQ(Contains(R"({"text":"quuxword","level":3})"), "{\"contains\":false}");
}

TEST_F(SanitizerPluginTest, AnIdenticalEventRebuildsNothingLogsNothingAndSendsNothing) {
  const char* const configuration = R"({"Level1Filter":"zorblax"})";
  Start(SampleAssets(), configuration, "EU", "en_US");
  const std::string status = Status();
  h().TakeLines();
  h().TakeEvents();
  EXPECT_EQ(h().resources().UpdateConfigurationJson(configuration).value(), 1u);
  EXPECT_EQ(h().resources().UpdateRegionLocale("EU", "en_US"), 1u);
  EXPECT_TRUE(h().TakeLines().empty());
  EXPECT_TRUE(h().TakeEvents().empty());
  EXPECT_EQ(Status(), status);
}

TEST_F(SanitizerPluginTest, ConfigurationBeforeTheLocaleIsKeptAndBuildsNothing) {
  Start(SampleAssets(), R"({"Level1Filter":"zorblax"})", nullptr, nullptr);
  EXPECT_EQ(h().resources().UpdateConfigurationJson(R"({"Level1Filter":"quuxword"})").value(), 1u);
  EXPECT_EQ(Contains(R"({"text":"quuxword"})"), kNotReady);
  EXPECT_EQ(h().TakeLifecycleLines(),
            (std::vector<std::string>{kInitializeLine, kInitializedLine}));
  EXPECT_TRUE(h().TakeEvents().empty());

  // An empty locale builds nothing either.
  EXPECT_EQ(h().resources().UpdateRegionLocale("EU", ""), 1u);
  EXPECT_EQ(Contains(R"({"text":"quuxword"})"), kNotReady);

  EXPECT_EQ(h().resources().UpdateRegionLocale("EU", "en_US"), 1u);
  EXPECT_EQ(Contains(R"({"text":"quuxword"})"), "{\"contains\":true}");
  EXPECT_EQ(Contains(R"({"text":"zorblax"})"), "{\"contains\":false}");
  EXPECT_EQ(h().TakeEvents().size(), 2u);
}

TEST_F(SanitizerPluginTest, RegionAndLocaleChangesKeepTheListsAndDeletionKeepsTheEngine) {
  Start(SampleAssets(), R"({"Level1Filter":"zorblax","WhitelistEnabled":"1"})", "EU", "en_US");
  h().TakeLines();
  h().TakeEvents();
  EXPECT_EQ(h().resources().UpdateRegionLocale("UK", "en_GB"), 1u);
  EXPECT_EQ(h().TakeLifecycleLines(),
            std::vector<std::string>{
                "Configure: region=UK, locale=en_GB, adhocIncludes.size=1, adhocExcludes.size=0, "
                "adhocWhitelist.size=0, whitelistEnabled=true"});
  EXPECT_EQ(Contains(R"({"text":"zorblax"})"), "{\"contains\":true}");
  const std::string status = Status();
  EXPECT_NE(status.find("\"region\":\"UK\""), std::string::npos) << status;
  EXPECT_EQ(h().TakeEvents().size(), 2u);

  EXPECT_EQ(h().resources().DeleteRegionLocale(), 1u);
  EXPECT_EQ(Status(), status);
  EXPECT_EQ(Contains(R"({"text":"zorblax"})"), "{\"contains\":true}");
  EXPECT_TRUE(h().TakeLines().empty());
  EXPECT_TRUE(h().TakeEvents().empty());
}

// ------------------------------------------------------------------------------------------
// Stop, memory, loading again

TEST_F(SanitizerPluginTest, StopLogsFinalizeAndEndsEverySubscription) {
  Start(SampleAssets(), "", "", "en_US");
  ASSERT_FALSE(h().host().Subscriptions().empty());
  h().TakeLines();
  ASSERT_TRUE(h().host().Stop().ok());
  EXPECT_TRUE(h().host().Subscriptions().empty());
  EXPECT_EQ(h().TakeLifecycleLines(), (std::vector<std::string>{"Finalize: shutting down...",
                                                                "Finalize: shutdown complete."}));
  EXPECT_EQ(h().host().counters().open_responses, 0u);
  // Nothing reaches the stopped plug-in any more.
  EXPECT_EQ(h().resources().UpdateRegionLocale("UK", "en_GB"), 0u);
}

TEST_F(SanitizerPluginTest, LiveAllocationsStayFlatOver10000Requests) {
  Start(SampleAssets(), R"({"Level1Filter":"zorblax"})", "", "en_US");
  const OwnedHostValue packed =
      OwnedHostValue::Structure({{"texts", Texts({"oh shit", "fine", "zorblax!"})},
                                 {"aggressiveScan", OwnedHostValue::Bool(true)}});
  const auto call = [&](int i) {
    switch (i % 5) {
      case 0:
        return h().Status().ok();
      case 1:
        return h().PostJson(kContainsPath, R"({"text":"a zorblax","includeEmbedded":true})").ok();
      case 2:
        return h().PostJson(kSanitizePath, R"({"texts":["oh shit","fine"],"text":"x"})").ok();
      case 3:
        return h().PostMessagePack(kSanitizePath, packed).ok();
      default:  // an error answer: a text that is not UTF-8
        return h().PostJson(kSanitizePath, "{\"text\":\"\xFF\"}").HttpStatus() == 400;
    }
  };
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(call(i)) << i;
  const plugin_host::Result<plugin_host::MemoryCounters> before = h().host().MemoryStats();
  ASSERT_TRUE(before.ok());
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(call(i)) << i;
  const plugin_host::Result<plugin_host::MemoryCounters> after = h().host().MemoryStats();
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->live_allocations(), before->live_allocations());
  EXPECT_EQ(after->bytes_in_use(), before->bytes_in_use());
  EXPECT_GT(after->allocations, before->allocations + 10000);  // the counters do count
}

TEST_F(SanitizerPluginTest, LoadsStartsAndStopsAgainInOneProcess) {
  std::string first_status;
  for (int round = 0; round < 3; ++round) {
    Start(SampleAssets(), R"({"Level1Filter":"zorblax"})", "", "en_US");
    EXPECT_EQ(Sanitize(R"({"texts":["oh shit","zorblax"]})"),
              "{\"modified\":true,\"text\":null,\"texts\":[\"oh ****\",\"*******\"]}")
        << "round " << round;
    const std::string status = Status();
    if (round == 0) first_status = status;
    EXPECT_EQ(status, first_status) << "round " << round;
    EXPECT_EQ(h().TakeEvents().size(), 2u) << "round " << round;
    ASSERT_TRUE(h().host().Stop().ok());
    harness_.reset();  // closes the library
  }
}

}  // namespace
}  // namespace sanitizer::plugin_testing
