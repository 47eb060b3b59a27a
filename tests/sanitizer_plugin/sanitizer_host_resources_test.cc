// The host resources of the sanitizer (tools/sanitizer/sanitizer_host_resources.h) as a plug-in
// meets them: the plug-in base's test plug-in (nbx-be-testplugin.so) fetches any path from its
// host and records the events of any resource it subscribes to, so these tests ask for asset
// names the sanitizer itself would never send, and watch every event the resources publish.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tools/plugin_host/host_json.h"
#include "tools/plugin_host/plugin_host.h"
#include "tools/sanitizer/sanitizer_host_resources.h"

namespace sanitizer::tool {
namespace {

using plugin_host::HostValueView;
using plugin_host::OwnedHostValue;
using plugin_host::PluginHost;
using plugin_host::Response;

std::string Json(HostValueView value) {
  plugin_host::Result<std::string> json = plugin_host::HostValueToJson(value);
  return json.ok() ? json.value() : "<" + json.error() + ">";
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(SanitizerHostResourcesTest, SafeAssetNamesStayInsideTheFolder) {
  struct Case {
    std::string name;
    bool safe;
  };
  const Case cases[] = {
      {"1.filter.csv", true}, {"sub/x.txt", true}, {"..x", true},
      {"x..", true},          {"", false},         {"/etc/passwd", false},
      {"..", false},          {".", false},        {"../x", false},
      {"sub/../../x", false}, {"sub/./x", false},  {"sub//x", false},
      {"sub/", false},        {"x\\..\\y", false}, {std::string("x\0y", 3), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeAssetName(c.name), c.safe) << "name: " << c.name;
}

TEST(SanitizerHostResourcesTest, ConfigurationDocumentsAreJsonObjects) {
  EXPECT_TRUE(ConfigurationFromJson(R"({"Level1Filter":"a b"})").ok());
  EXPECT_EQ(ConfigurationFromJson("[1]").error(), "The configuration must be a JSON object");
  EXPECT_EQ(ConfigurationFromJson("\"text\"").error(), "The configuration must be a JSON object");
  EXPECT_FALSE(ConfigurationFromJson("{\"a\":").ok());
  EXPECT_EQ(Json(RegionLocaleValue("EU", "en_US").view()),
            "{\"region\":\"EU\",\"locale\":\"en_US\"}");
}

// The test plug-in started with the resources on a folder of its own.
class ServedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("sanitizer-host-resources-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    outside_ = folder_.string() + "-outside";
    std::filesystem::remove_all(folder_);
    std::filesystem::remove_all(outside_);
    std::filesystem::create_directories(folder_ / "sub");
    std::filesystem::create_directories(outside_);
    WriteFile(folder_ / "a.txt", "alpha");
    WriteFile(folder_ / "sub" / "b.txt", "beta");
    WriteFile(outside_ / "secret.txt", "secret");
    std::filesystem::create_symlink(outside_ / "secret.txt", folder_ / "escape.txt");
    std::filesystem::create_symlink(folder_ / "a.txt", folder_ / "inside.txt");
    large_.resize(10000);
    for (size_t i = 0; i < large_.size(); ++i) large_[i] = static_cast<char>('a' + i % 26);
    WriteFile(folder_ / "large.txt", large_);

    plugin_host::LoadOptions options;
    options.export_name = "load_testplugin";
    plugin_host::Result<std::unique_ptr<PluginHost>> loaded =
        PluginHost::Load(TESTPLUGIN_PATH, options);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    host_ = std::move(loaded).value();
    resources_ = std::make_unique<SanitizerHostResources>(
        *host_, HostResourceOptions{folder_, /*chunk_size=*/1000});
    ASSERT_TRUE(host_->Start().ok());
  }

  void TearDown() override {
    resources_.reset();
    host_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    std::filesystem::remove_all(outside_, ignored);
  }

  // The test plug-in's fetch of `path`: "ok <bytes or JSON>" or "<status> <error text>".
  std::string Fetch(std::string_view path, bool stream) {
    const std::string body =
        Json(OwnedHostValue::Structure(
                 {{"path", OwnedHostValue::String(path)}, {"stream", OwnedHostValue::Bool(stream)}})
                 .view());
    const Response fetched =
        host_->Call(kPluginMethodPost, "/testplugin/v1/fetch", "application/json", body);
    if (!fetched.ok()) return "call failed: " + fetched.error;
    const HostValueView v = fetched.result.view();
    if (!v.Find("ok")->AsBool()) {
      return std::to_string(v.Find("status")->AsUnsigned()) + " " +
             std::string(v.Find("error")->AsString());
    }
    return "ok " + (stream ? std::string(v.Find("value")->AsString()) : Json(*v.Find("value")));
  }
  std::string Asset(std::string_view name) {
    return Fetch(std::string(kAssetsPrefix) + std::string(name), true);
  }

  // The resource events the test plug-in recorded, as JSON.
  std::string RecordedEvents() {
    const Response response = host_->Call(kPluginMethodGet, "/testplugin/v1/events");
    EXPECT_TRUE(response.ok()) << response.error;
    return Json(*response.result.view().Find("events"));
  }
  void Subscribe(std::string_view uri) {
    const std::string body = "{\"uri\":\"" + std::string(uri) + "\"}";
    ASSERT_TRUE(
        host_->Call(kPluginMethodPost, "/testplugin/v1/subscribe", "application/json", body).ok());
  }

  std::filesystem::path folder_;
  std::filesystem::path outside_;
  std::string large_;
  std::unique_ptr<PluginHost> host_;
  std::unique_ptr<SanitizerHostResources> resources_;
};

TEST_F(ServedTest, AssetsAreTheFolderFilesAndNothingOutsideIt) {
  struct Case {
    std::string name;
    std::string expected;
  };
  const std::string prefix(kAssetsPrefix);
  const auto error = [&](uint32_t status, const std::string& name, const char* text) {
    return std::to_string(status) + " Error response for GET " + prefix + name + ": " + text;
  };
  const Case cases[] = {
      {"a.txt", "ok alpha"},
      {"sub/b.txt", "ok beta"},
      {"inside.txt", "ok alpha"},
      {"large.txt", "ok " + large_},
      {"missing.txt", error(404, "missing.txt", "Not found")},
      {"sub", error(404, "sub", "Not found")},
      {"escape.txt", error(400, "escape.txt", "Invalid asset name")},
      {"../" + outside_.filename().string() + "/secret.txt",
       error(400, "../" + outside_.filename().string() + "/secret.txt", "Invalid asset name")},
      {"sub/../a.txt", error(400, "sub/../a.txt", "Invalid asset name")},
      {folder_.string() + "/a.txt", error(400, folder_.string() + "/a.txt", "Invalid asset name")},
      {"", error(400, "", "Invalid asset name")},
  };
  for (const Case& c : cases) EXPECT_EQ(Asset(c.name), c.expected) << "name: " << c.name;
}

TEST_F(ServedTest, AssetsComeInChunksOfTheSetSize) {
  const plugin_host::HostCounters before = host_->counters();
  EXPECT_EQ(Asset("large.txt"), "ok " + large_);
  const plugin_host::HostCounters after = host_->counters();
  // Ten reads of at most 1000 bytes, each short read but the last followed by a wait step.
  EXPECT_EQ(after.wait_steps - before.wait_steps, 9u);
  EXPECT_EQ(after.open_responses, 0u);
}

TEST_F(ServedTest, DocumentsAreServedReplacedAndRemoved) {
  const std::string config(kConfigurationResource);
  const std::string region(kRegionLocaleResource);
  const std::string not_found = "404 Error response for GET ";
  EXPECT_EQ(Fetch(config, false), not_found + config + ": Not found");
  EXPECT_EQ(Fetch(region, false), not_found + region + ": Not found");

  ASSERT_TRUE(resources_->SetConfigurationJson(R"({"Level1Filter":"zorblax"})").ok());
  EXPECT_EQ(resources_->SetConfigurationJson("[]").message(),
            "The configuration must be a JSON object");
  resources_->SetRegionLocale("EU", "en_US");
  EXPECT_EQ(Fetch(config, false), "ok {\"Level1Filter\":\"zorblax\"}");
  // Back from the plug-in's value model, members come in name order.
  EXPECT_EQ(Fetch(region, false), "ok {\"locale\":\"en_US\",\"region\":\"EU\"}");
  ASSERT_TRUE(resources_->configuration().has_value());
  EXPECT_EQ(Json(resources_->configuration()->view()), "{\"Level1Filter\":\"zorblax\"}");

  resources_->ClearConfiguration();
  resources_->ClearRegionLocale();
  EXPECT_EQ(Fetch(config, false), not_found + config + ": Not found");
  EXPECT_EQ(Fetch(region, false), not_found + region + ": Not found");
  EXPECT_FALSE(resources_->region_locale().has_value());
}

TEST_F(ServedTest, UpdatesAndDeletionsAreSentToTheSubscribedPlugin) {
  // Nothing is subscribed yet: the document changes, but no event goes out.
  EXPECT_EQ(resources_->UpdateRegionLocale("EU", "en_US"), 0u);
  Subscribe(kRegionLocaleResource);   // reads the resource at once: a Create event
  Subscribe(kConfigurationResource);  // none yet: the read fails and records nothing
  EXPECT_EQ(resources_->UpdateConfigurationJson(R"({"WhitelistEnabled":true})").value(), 1u);
  EXPECT_FALSE(resources_->UpdateConfigurationJson("{").ok());
  EXPECT_EQ(resources_->UpdateRegionLocale("UK", "en_GB"), 1u);
  EXPECT_EQ(resources_->DeleteRegionLocale(), 1u);
  EXPECT_EQ(resources_->DeleteConfiguration(), 1u);
  EXPECT_EQ(RecordedEvents(),
            "[{\"data\":{\"locale\":\"en_US\",\"region\":\"EU\"},\"eventType\":\"Create\","
            "\"uri\":\"/pavoclient/region-locale\"},"
            "{\"data\":{\"WhitelistEnabled\":true},\"eventType\":\"Update\","
            "\"uri\":\"/jat-platform-config/v1/namespaces/Sanitizer\"},"
            "{\"data\":{\"locale\":\"en_GB\",\"region\":\"UK\"},\"eventType\":\"Update\","
            "\"uri\":\"/pavoclient/region-locale\"},"
            "{\"data\":null,\"eventType\":\"Delete\",\"uri\":\"/pavoclient/region-locale\"},"
            "{\"data\":null,\"eventType\":\"Delete\","
            "\"uri\":\"/jat-platform-config/v1/namespaces/Sanitizer\"}]");
  EXPECT_FALSE(resources_->configuration().has_value());
}

// Updates from two threads at once: whatever order they take, the last document sent to the
// plug-in is the one that a read of the resource answers with afterwards.
TEST_F(ServedTest, ConcurrentUpdatesReachThePluginInTheOrderTheyWereStored) {
  Subscribe(kRegionLocaleResource);
  constexpr int kUpdates = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kUpdates; ++i) {
        resources_->UpdateRegionLocale("thread" + std::to_string(t), "n" + std::to_string(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const Response events = host_->Call(kPluginMethodGet, "/testplugin/v1/events");
  ASSERT_TRUE(events.ok());
  const HostValueView list = *events.result.view().Find("events");
  ASSERT_EQ(list.size(), static_cast<uint32_t>(2 * kUpdates));
  const std::string last = Json(*list[list.size() - 1].Find("data"));
  EXPECT_EQ("ok " + last, Fetch(kRegionLocaleResource, false));
}

}  // namespace
}  // namespace sanitizer::tool
