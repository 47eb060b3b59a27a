// Tests of the sanitizer's state and configuration flow: the character tables, when a
// configuration builds an engine and when it does not, what is stored and logged and published,
// the status of each snapshot, and the lifetime of a replaced engine.
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/service/service_test_util.h"

namespace sanitizer::service {
namespace {

using testing::Json;
using testing::LifecycleLines;
using testing::SampleAssets;

// A service on the sample assets that records every status it publishes.
class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest()
      : service_(SampleAssets(),
                 [this](const SanitizerStatus& status) { published_.push_back(status); }) {}

  void SetRegionLocale(const std::string& region, const std::string& locale) {
    service_.OnRegionLocaleEvent(
        Json(R"({"region":")" + region + R"(","locale":")" + locale + R"("})"), false);
  }

  // Whether the current engine masks `text` at level 1.
  bool Masks(std::u32string_view text) {
    const std::shared_ptr<const SanitizerSnapshot> snapshot = service_.Snapshot();
    if (snapshot->engine == nullptr) return false;
    std::u32string output;
    return SanitizeText(*snapshot->engine, output, text, 1, false, false, 5);
  }

  LifecycleLines lines_;
  std::vector<SanitizerStatus> published_;
  SanitizerService service_;
};

TEST_F(ServiceTest, StartsNotReadyAndLoadingTheTablesSetsOnlyTheirCounts) {
  EXPECT_EQ(service_.Snapshot()->status, SanitizerStatus{});
  EXPECT_EQ(service_.Snapshot()->engine, nullptr);

  service_.LoadCharTables();
  const std::shared_ptr<const SanitizerUtils> tables = SanitizerUtils::Create(SampleAssets());
  SanitizerStatus expected;
  expected.breakingCharsCount = tables->breaking_chars_count();
  expected.projectedCharsCount = tables->projected_chars_count();
  EXPECT_GT(expected.breakingCharsCount, 0u);
  EXPECT_GT(expected.projectedCharsCount, 0u);
  EXPECT_EQ(service_.Snapshot()->status, expected);
  EXPECT_EQ(service_.Snapshot()->engine, nullptr);
  EXPECT_TRUE(published_.empty());
  EXPECT_TRUE(lines_.TakeLines().empty());
}

TEST(ServiceTablesTest, MissingCharacterAssetsGiveZeroCounts) {
  SanitizerService service([](std::string_view) { return std::u32string(); });
  service.LoadCharTables();
  EXPECT_EQ(service.Snapshot()->status, SanitizerStatus{});
}

TEST_F(ServiceTest, ConfigurationBeforeLocaleStoresItsListsAndBuildsNothing) {
  service_.LoadCharTables();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"zorblax","WhitelistEnabled":true})"));
  EXPECT_EQ(service_.Snapshot()->engine, nullptr);
  EXPECT_FALSE(service_.Snapshot()->status.ready);
  EXPECT_TRUE(published_.empty());
  EXPECT_TRUE(lines_.TakeLines().empty());
  EXPECT_EQ(service_.configuredLists().adhocIncludes, (LevelTexts{{1, {U"zorblax"}}}));

  // A region without a locale builds nothing either.
  SetRegionLocale("WEST", "");
  EXPECT_EQ(service_.Snapshot()->engine, nullptr);

  SetRegionLocale("WEST", "en_US");
  const std::shared_ptr<const SanitizerSnapshot> snapshot = service_.Snapshot();
  ASSERT_NE(snapshot->engine, nullptr);
  EXPECT_TRUE(snapshot->status.ready);
  EXPECT_EQ(snapshot->status.region, "WEST");
  EXPECT_EQ(snapshot->status.locale, "en_US");
  EXPECT_TRUE(Masks(U"a zorblax here"));
  EXPECT_EQ(lines_.TakeLines(),
            std::vector<std::string>{
                "Configure: region=WEST, locale=en_US, adhocIncludes.size=1, "
                "adhocExcludes.size=0, adhocWhitelist.size=0, whitelistEnabled=true"});
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0], snapshot->status);
}

TEST_F(ServiceTest, IdenticalInputsOnceReadyChangeNothing) {
  service_.LoadCharTables();
  const std::string document = R"({"Level2Filter":"zorblax","Level0Whitelist":"fizzle"})";
  service_.OnConfigurationEvent(Json(document));
  SetRegionLocale("", "en_US");
  const std::shared_ptr<const SanitizerSnapshot> built = service_.Snapshot();
  ASSERT_NE(built->engine, nullptr);
  EXPECT_EQ(lines_.TakeLines().size(), 1u);
  EXPECT_EQ(published_.size(), 1u);

  service_.OnConfigurationEvent(Json(document));
  SetRegionLocale("", "en_US");
  EXPECT_FALSE(service_.Configure(false, "", "en_US", {{2, {U"zorblax"}}}, {}, {{0, {U"fizzle"}}}));
  EXPECT_EQ(service_.Snapshot(), built);
  EXPECT_TRUE(lines_.TakeLines().empty());
  EXPECT_EQ(published_.size(), 1u);

  // Any one input that differs rebuilds.
  EXPECT_TRUE(service_.Configure(true, "", "en_US", {{2, {U"zorblax"}}}, {}, {{0, {U"fizzle"}}}));
  EXPECT_NE(service_.Snapshot(), built);
  EXPECT_EQ(published_.size(), 2u);
}

TEST_F(ServiceTest, TheFirstConfigurationBuildsEvenWhenItsInputsAreTheInitialOnes) {
  // Not ready yet: inputs equal to the initial (empty) ones apart from the locale still build.
  service_.LoadCharTables();
  EXPECT_TRUE(service_.Configure(false, "", "en_US", {}, {}, {}));
  EXPECT_NE(service_.Snapshot()->engine, nullptr);
}

TEST_F(ServiceTest, RegionAndLocaleUpdatesKeepTheListsAndTheSwitch) {
  service_.LoadCharTables();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"zorblax","WhitelistEnabled":"1"})"));
  SetRegionLocale("WEST", "en_US");
  SetRegionLocale("EAST", "en_GB");
  EXPECT_EQ(service_.Snapshot()->status.region, "EAST");
  EXPECT_EQ(service_.Snapshot()->status.locale, "en_GB");
  EXPECT_TRUE(Masks(U"zorblax"));
  const ConfigurationLists lists = service_.configuredLists();
  EXPECT_EQ(lists.adhocIncludes, (LevelTexts{{1, {U"zorblax"}}}));
  EXPECT_TRUE(lists.whitelistEnabled);
  EXPECT_EQ(lines_.TakeLines().back(),
            "Configure: region=EAST, locale=en_GB, adhocIncludes.size=1, adhocExcludes.size=0, "
            "adhocWhitelist.size=0, whitelistEnabled=true");

  // And a configuration update keeps region and locale.
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"quuxword"})"));
  EXPECT_EQ(service_.Snapshot()->status.region, "EAST");
  EXPECT_FALSE(Masks(U"zorblax"));
  EXPECT_TRUE(Masks(U"quuxword"));
}

TEST_F(ServiceTest, DeletingRegionAndLocaleKeepsTheEngineInUse) {
  service_.LoadCharTables();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"zorblax"})"));
  SetRegionLocale("WEST", "en_US");
  const std::shared_ptr<const SanitizerSnapshot> built = service_.Snapshot();
  lines_.TakeLines();

  service_.OnRegionLocaleEvent(Json(R"({"region":"EAST","locale":"fr_FR"})"), /*deleted=*/true);
  EXPECT_EQ(service_.configuredRegionLocale(), (RegionLocale{"", ""}));
  EXPECT_EQ(service_.Snapshot(), built);
  EXPECT_TRUE(Masks(U"zorblax"));
  EXPECT_TRUE(lines_.TakeLines().empty());
  EXPECT_EQ(published_.size(), 1u);

  // The same region and locale as before now differ from the stored (empty) ones.
  SetRegionLocale("WEST", "en_US");
  EXPECT_NE(service_.Snapshot(), built);
  EXPECT_EQ(published_.size(), 2u);
}

TEST_F(ServiceTest, OnceConfigurationIsStoppedNothingChangesAndTheEngineStillAnswers) {
  service_.LoadCharTables();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"zorblax"})"));
  SetRegionLocale("WEST", "en_US");
  const std::shared_ptr<const SanitizerSnapshot> built = service_.Snapshot();
  ASSERT_NE(built->engine, nullptr);
  lines_.TakeLines();

  service_.StopConfiguring();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"quuxword"})"));
  SetRegionLocale("EAST", "en_GB");
  EXPECT_FALSE(service_.Configure(true, "NORTH", "de_DE", {}, {}, {}));
  service_.LoadCharTables();
  EXPECT_EQ(service_.Snapshot(), built);
  EXPECT_EQ(service_.configuredRegionLocale(), (RegionLocale{"WEST", "en_US"}));
  EXPECT_EQ(service_.configuredLists().adhocIncludes, (LevelTexts{{1, {U"zorblax"}}}));
  EXPECT_TRUE(Masks(U"zorblax"));
  EXPECT_TRUE(lines_.TakeLines().empty());
  EXPECT_EQ(published_.size(), 1u);
}

TEST_F(ServiceTest, StatusCountsAreKeyedByLevelAndDescribeTheEngine) {
  service_.LoadCharTables();
  SetRegionLocale("", "en_US");
  const SanitizerStatus plain = service_.Snapshot()->status;
  const std::vector<std::string> levels = {"0", "1", "2", "3"};
  std::vector<std::string> keys;
  for (const auto& [key, count] : plain.filteredWordCountsByLevel) keys.push_back(key);
  EXPECT_EQ(keys, levels);
  keys.clear();
  for (const auto& [key, count] : plain.whitelistedWordCountsByLevel) {
    keys.push_back(key);
    EXPECT_EQ(count, 0u) << "whitelists are off, level " << key;
  }
  EXPECT_EQ(keys, levels);
  for (const std::string& level : levels) {
    EXPECT_GT(plain.filteredWordCountsByLevel.at(level), 0u) << "level " << level;
  }
  EXPECT_GT(plain.allowedCharsCount, 0u);
  EXPECT_GT(plain.breakingCharsCount, 0u);

  // One more word at level 2 and whitelists on.
  service_.OnConfigurationEvent(Json(R"({"Level2Filter":"zorblax","WhitelistEnabled":true})"));
  const SanitizerStatus extended = service_.Snapshot()->status;
  std::map<std::string, uint32_t> expected = plain.filteredWordCountsByLevel;
  ++expected["2"];
  EXPECT_EQ(extended.filteredWordCountsByLevel, expected);
  for (const std::string& level : levels) {
    EXPECT_GT(extended.whitelistedWordCountsByLevel.at(level), 0u) << "level " << level;
  }
  EXPECT_EQ(extended.breakingCharsCount, plain.breakingCharsCount);
  EXPECT_EQ(extended.projectedCharsCount, plain.projectedCharsCount);
  EXPECT_EQ(published_.back(), extended);
}

TEST_F(ServiceTest, AllowedCharactersFollowTheLocale) {
  service_.LoadCharTables();
  SetRegionLocale("", "ru_RU");
  const uint32_t russian = service_.Snapshot()->status.allowedCharsCount;
  SetRegionLocale("", "en_US");
  const uint32_t english = service_.Snapshot()->status.allowedCharsCount;
  EXPECT_GT(english, 0u);
  EXPECT_GT(russian, english);  // the Cyrillic letters besides the ASCII ones
}

// The engine used to be destroyed as soon as a new one was built, under any request still
// using it. A request's snapshot now keeps its engine until the request lets go.
TEST_F(ServiceTest, ReplacedEngineLivesUntilTheLastRequestHoldingItEnds) {
  service_.LoadCharTables();
  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"zorblax"})"));
  SetRegionLocale("", "en_US");
  std::shared_ptr<const SanitizerSnapshot> held = service_.Snapshot();
  const std::weak_ptr<const SanitizerEngine> old_engine = held->engine;

  service_.OnConfigurationEvent(Json(R"({"Level1Filter":"quuxword"})"));
  ASSERT_NE(service_.Snapshot(), held);
  ASSERT_FALSE(old_engine.expired());
  std::u32string output;
  EXPECT_TRUE(SanitizeText(*held->engine, output, U"zorblax", 1, false, false, 5));
  EXPECT_FALSE(SanitizeText(*held->engine, output, U"quuxword", 1, false, false, 5));
  EXPECT_EQ(held->status.region, "");
  EXPECT_EQ(held->status.filteredWordCountsByLevel, published_[0].filteredWordCountsByLevel);

  held.reset();
  EXPECT_TRUE(old_engine.expired());
}

TEST(ServiceFailuresTest, ALoaderThatThrowsLeavesTheEngineInUse) {
  auto failing = std::make_shared<bool>(false);
  SanitizerService service([inner = SampleAssets(), failing](std::string_view name) {
    if (*failing) throw std::runtime_error("the host went away");
    return inner(name);
  });
  service.LoadCharTables();
  ASSERT_TRUE(service.Configure(false, "", "en_US", {{1, {U"zorblax"}}}, {}, {}));
  const std::shared_ptr<const SanitizerSnapshot> built = service.Snapshot();

  *failing = true;
  service.LoadCharTables();
  EXPECT_FALSE(service.Configure(false, "", "en_GB", {{1, {U"quuxword"}}}, {}, {}));
  EXPECT_EQ(service.Snapshot(), built);
  EXPECT_EQ(service.configuredRegionLocale().locale, "en_GB");

  // Once the loader works again, the next change builds.
  *failing = false;
  EXPECT_TRUE(service.Configure(false, "", "en_US", {{1, {U"quuxword"}}}, {}, {}));
  EXPECT_NE(service.Snapshot()->engine, built->engine);
  EXPECT_EQ(service.Snapshot()->status.breakingCharsCount, built->status.breakingCharsCount);
}

TEST(ServiceWithoutTablesTest, ConfigureBeforeTheTablesBuildsOnEmptyTables) {
  SanitizerService service(SampleAssets());
  EXPECT_TRUE(service.Configure(false, "", "en_US", {{1, {U"zorblax"}}}, {}, {}));
  const std::shared_ptr<const SanitizerSnapshot> snapshot = service.Snapshot();
  ASSERT_NE(snapshot->engine, nullptr);
  EXPECT_EQ(snapshot->status.breakingCharsCount, 0u);
  std::u32string output;
  EXPECT_TRUE(SanitizeText(*snapshot->engine, output, U"zorblax", 1, false, false, 5));
}

}  // namespace
}  // namespace sanitizer::service
