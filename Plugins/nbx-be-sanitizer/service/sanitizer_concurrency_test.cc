// Concurrency tests of the service: requests for the three resources on four threads while
// another thread swaps in new engines, and configuration events arriving on two threads at
// once. Every answer must be one that the old or the new engine gives on its own, never a mix
// of the two; run under the address and the thread sanitizer, they also catch any engine used
// after its destruction and any unsynchronised access.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Plugins/nbx-be-sanitizer/service/service_test_util.h"

namespace sanitizer::service {
namespace {

using testing::Answer;
using testing::Json;
using testing::ServiceHarness;

// The two configurations that the swapping thread alternates: other words, region and locale.
struct Variant {
  std::string region;
  std::string locale;
  LevelTexts includes;
};

const Variant& VariantA() {
  static const Variant variant{"ra", "en_US", {{1, {U"zorblax"}}}};
  return variant;
}
const Variant& VariantB() {
  static const Variant variant{"rb", "de_DE", {{1, {U"quuxword fizzbang"}}}};
  return variant;
}

bool Apply(SanitizerService& service, const Variant& variant) {
  return service.Configure(false, variant.region, variant.locale, variant.includes, {}, {});
}

// The answers of one engine to the requests the threads send.
struct Answers {
  std::string status;
  std::string contains;
  std::string sanitize;
};

constexpr char kContainsBody[] = R"({"text":"a zorblax"})";
constexpr char kSanitizeBody[] =
    R"({"texts":["zorblax quuxword","fizzbang","schon gut"],"text":"zorblax fizzbang"})";

Answers Collect(const ServiceHarness& harness) {
  Answers answers;
  answers.status = harness.GetStatus().result.DebugString();
  answers.contains = harness.PostJson(kContainsSanitizedPath, kContainsBody).result.DebugString();
  answers.sanitize = harness.PostJson(kSanitizePath, kSanitizeBody).result.DebugString();
  return answers;
}

TEST(SanitizerConcurrencyTest, RequestsWhileEnginesAreSwappedSeeOneWholeEngine) {
  ServiceHarness harness;
  SanitizerService& service = harness.service();
  service.LoadCharTables();
  ASSERT_TRUE(Apply(service, VariantB()));
  const Answers b = Collect(harness);
  ASSERT_TRUE(Apply(service, VariantA()));
  const Answers a = Collect(harness);
  // The variants must be told apart by every resource, or a mix would go unnoticed.
  ASSERT_NE(a.status, b.status);
  ASSERT_NE(a.contains, b.contains);
  ASSERT_NE(a.sanitize, b.sanitize);

  constexpr int kSwaps = 200;
  constexpr int kRequestThreads = 4;
  constexpr int kMinimumRounds = 20;
  std::atomic<bool> swapping_done{false};
  std::atomic<int> mixed{0};
  std::atomic<int> rounds{0};
  std::atomic<int> answers_of_b{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kRequestThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kMinimumRounds || !swapping_done.load(); ++round) {
        const Answer status = harness.GetStatus();
        const Answer contains = harness.PostJson(kContainsSanitizedPath, kContainsBody);
        const Answer sanitize = harness.PostJson(kSanitizePath, kSanitizeBody);
        for (const auto& [answer, of_a, of_b] : {std::tuple{&status, &a.status, &b.status},
                                                 std::tuple{&contains, &a.contains, &b.contains},
                                                 std::tuple{&sanitize, &a.sanitize, &b.sanitize}}) {
          const std::string text = answer->result.DebugString();
          if (answer->status != 200 || (text != *of_a && text != *of_b)) {
            ADD_FAILURE() << "an answer of neither engine: " << answer->status << " "
                          << answer->error_text << " " << text;
            mixed.fetch_add(1);
          }
          if (text == *of_b) answers_of_b.fetch_add(1);
        }
        rounds.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    for (int swap = 0; swap < kSwaps; ++swap) {
      EXPECT_TRUE(Apply(service, swap % 2 == 0 ? VariantB() : VariantA()));
    }
    swapping_done.store(true);
  });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GE(rounds.load(), kRequestThreads * kMinimumRounds);
  // 200 swaps end on variant A.
  EXPECT_EQ(Collect(harness).sanitize, a.sanitize);
  RecordProperty("request_rounds", rounds.load());
  RecordProperty("answers_of_variant_b", answers_of_b.load());
}

TEST(SanitizerConcurrencyTest, EventsOnTwoThreadsApplyOneAfterTheOther) {
  ServiceHarness harness;
  SanitizerService& service = harness.service();
  service.LoadCharTables();
  constexpr int kEvents = 40;
  std::thread configurations([&] {
    for (int i = 0; i < kEvents; ++i) {
      service.OnConfigurationEvent(
          Json(i % 2 == 0 ? R"({"Level1Filter":"zorblax"})" : R"({"Level1Filter":"quuxword"})"));
    }
  });
  std::thread regions([&] {
    for (int i = 0; i < kEvents; ++i) {
      service.OnRegionLocaleEvent(Json(i % 2 == 0 ? R"({"region":"ra","locale":"en_US"})"
                                                  : R"({"region":"rb","locale":"en_GB"})"),
                                  false);
    }
  });
  configurations.join();
  regions.join();

  // Both threads end on their second document, and the last published engine is the one of
  // the stored inputs.
  EXPECT_EQ(service.configuredRegionLocale(), (RegionLocale{"rb", "en_GB"}));
  EXPECT_EQ(service.configuredLists().adhocIncludes, (LevelTexts{{1, {U"quuxword"}}}));
  const std::shared_ptr<const SanitizerSnapshot> snapshot = service.Snapshot();
  EXPECT_EQ(snapshot->status.region, "rb");
  EXPECT_EQ(snapshot->status.locale, "en_GB");
  EXPECT_EQ(harness.PostJson(kSanitizePath, R"({"text":"zorblax quuxword"})").result.DebugString(),
            R"({"modified": true, "text": "zorblax ********", "texts": empty})");
  EXPECT_FALSE(service.Configure(false, "rb", "en_GB", {{1, {U"quuxword"}}}, {}, {}));
}

}  // namespace
}  // namespace sanitizer::service
