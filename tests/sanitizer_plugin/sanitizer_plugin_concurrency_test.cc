// The sanitizer plug-in under concurrent use through PluginHost: four threads send requests for
// the three resources while another thread publishes 200 configuration and region/locale
// events that switch between two word lists and two regions, and then stops the plug-in. Every
// answer must be the whole answer of one of the engines that the events build (never a mix of
// two), and once Stop has begun the host answers 503 itself. Run by the dev suite under ASan
// and by the tsan preset under ThreadSanitizer, which also reports any unsynchronised access.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/sanitizer_plugin/sanitizer_plugin_harness.h"

namespace sanitizer::plugin_testing {
namespace {

// The two configurations and the two regions that the publisher alternates. Events of the two
// kinds interleave, so four engines can be in use: every pairing of a configuration with a
// region and locale.
const char* const kConfigurations[] = {R"({"Level1Filter":"zorblax"})",
                                       R"({"Level1Filter":"quuxword fizzbang"})"};
struct Region {
  const char* region;
  const char* locale;
};
const Region kRegions[] = {{"EU", "en_US"}, {"UK", "en_GB"}};

constexpr char kContainsBody[] = R"({"text":"a zorblax"})";
constexpr char kSanitizeBody[] =
    R"({"texts":["zorblax quuxword","fizzbang","oh shit"],"text":"zorblax fizzbang"})";

// One engine's answers to the three requests the threads send.
struct Answers {
  std::string status;
  std::string contains;
  std::string sanitize;
};

Answers Collect(SanitizerHarness& harness) {
  return {Outcome(harness.Status()), Outcome(harness.PostJson(kContainsPath, kContainsBody)),
          Outcome(harness.PostJson(kSanitizePath, kSanitizeBody))};
}

TEST(SanitizerPluginConcurrencyTest, RequestsDuringConfigurationEventsSeeWholeEnginesUntilStop) {
  SanitizerHarness harness(HostResourceOptions{SANITIZER_SAMPLE_ASSETS, kShortChunk});
  ASSERT_TRUE(harness.loaded());
  ASSERT_TRUE(harness.resources().SetConfigurationJson(kConfigurations[0]).ok());
  harness.resources().SetRegionLocale(kRegions[0].region, kRegions[0].locale);
  ASSERT_TRUE(harness.host().Start().ok());

  // The answers of the four engines, each built once by the same events.
  std::set<std::string> statuses, contains, sanitizes;
  for (const char* configuration : kConfigurations) {
    for (const Region& region : kRegions) {
      ASSERT_TRUE(harness.resources().UpdateConfigurationJson(configuration).ok());
      harness.resources().UpdateRegionLocale(region.region, region.locale);
      const Answers answers = Collect(harness);
      statuses.insert(answers.status);
      contains.insert(answers.contains);
      sanitizes.insert(answers.sanitize);
    }
  }
  // The requests tell the engines apart, or a mixed answer would go unnoticed.
  ASSERT_EQ(statuses.size(), 4u);
  ASSERT_EQ(contains.size(), 2u);
  ASSERT_EQ(sanitizes.size(), 2u);
  const std::string stopped = "error 503";

  constexpr int kEvents = 200;
  constexpr int kRequestThreads = 4;
  std::atomic<bool> publishing_done{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kRequestThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t;; ++i) {
        std::string answer;
        const std::set<std::string>* allowed = nullptr;
        switch (i % 3) {
          case 0:
            answer = Outcome(harness.Status());
            allowed = &statuses;
            break;
          case 1:
            answer = Outcome(harness.PostJson(kContainsPath, kContainsBody));
            allowed = &contains;
            break;
          default:
            answer = Outcome(harness.PostJson(kSanitizePath, kSanitizeBody));
            allowed = &sanitizes;
            break;
        }
        if (answer.rfind(stopped, 0) == 0) break;  // Stop has begun: the host answers itself
        if (allowed->count(answer) == 0) {
          if (unexpected.fetch_add(1) < 5) ADD_FAILURE() << "unexpected answer: " << answer;
        }
        answered.fetch_add(1);
        if (publishing_done.load() && i > 1000) break;  // Stop did not come: do not spin on
      }
    });
  }
  std::thread publisher([&] {
    for (int i = 0; i < kEvents; ++i) {
      if (i % 2 == 0) {
        harness.resources().UpdateConfigurationJson(kConfigurations[(i / 2) % 2]).ok();
      } else {
        const Region& region = kRegions[(i / 2) % 2];
        harness.resources().UpdateRegionLocale(region.region, region.locale);
      }
    }
    publishing_done.store(true);
    EXPECT_TRUE(harness.host().Stop().ok());
  });
  publisher.join();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(answered.load(), kRequestThreads);
  EXPECT_TRUE(harness.host().Subscriptions().empty());
}

}  // namespace
}  // namespace sanitizer::plugin_testing
