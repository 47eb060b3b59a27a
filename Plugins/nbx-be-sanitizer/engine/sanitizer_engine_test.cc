// Tests of BuildEngine: which assets are read, how list texts become entries, and the counts.
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"

#include <gtest/gtest.h>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::BuildInputs;
using testing::RecordingLoader;
using testing::U32;
using testing::U8;

std::vector<std::string> LoadedNames(const BuildInputs& in) {
  RecordingLoader loader(in.assets);
  BuildEngine(testing::MakeUtils({}), in.whitelist_enabled, in.region, in.locale, in.includes,
              in.excludes, in.whitelist, loader.loader);
  return *loader.names;
}

std::vector<std::string> Only(const std::vector<std::string>& names, std::string_view prefix) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    if (name.rfind(prefix, 0) == 0) out.push_back(name);
  }
  return out;
}

TEST(BuildEngineTest, ListAssetNamesFollowRegionAndLocale) {
  BuildInputs in;
  in.region = "WEST";
  in.locale = "en_US";
  const auto names = LoadedNames(in);
  EXPECT_EQ(names.front(), "variantaliases.txt");
  EXPECT_EQ(Only(names, "1.filter"),
            (std::vector<std::string>{"1.filter.csv", "1.filter.country.us.csv",
                                      "1.filter.language.en.csv", "1.filter.region.west.csv"}));
  EXPECT_EQ(Only(names, "3.unfilter").size(), 4u);
  EXPECT_TRUE(Only(names, "0.whitelist").empty());  // whitelisting disabled
  EXPECT_EQ(Only(names, "allowedchars"),
            (std::vector<std::string>{"allowedchars.locale.en_us.txt",
                                      "allowedchars.language.en.txt", "allowedchars.txt"}));
  in.whitelist_enabled = true;
  EXPECT_EQ(
      Only(LoadedNames(in), "2.whitelist"),
      (std::vector<std::string>{"2.whitelist.csv", "2.whitelist.country.us.csv",
                                "2.whitelist.language.en.csv", "2.whitelist.region.west.csv"}));
}

TEST(BuildEngineTest, VariantNamesTable) {
  struct Case {
    std::string region;
    std::string locale;
    std::string aliases;
    std::vector<std::string> level0_filters;
  };
  const Case cases[] = {
      {"", "", "", {"0.filter.csv"}},
      {"", "en", "", {"0.filter.csv", "0.filter.country.csv", "0.filter.language.csv"}},
      {"", "en_", "", {"0.filter.csv", "0.filter.country.csv", "0.filter.language.en.csv"}},
      {"", "_US", "", {"0.filter.csv", "0.filter.country.us.csv", "0.filter.language..csv"}},
      {"", "pt-BR", "", {"0.filter.csv", "0.filter.country.br.csv", "0.filter.language.pt.csv"}},
      {"",
       "zh_Hant_TW",
       "",
       {"0.filter.csv", "0.filter.country.hant_tw.csv", "0.filter.language.zh.csv"}},
      {"EU", "", "", {"0.filter.csv", "0.filter.region.eu.csv"}},
      // Aliases of the gathered names are added, but aliases of aliases are not.
      {"",
       "pt_BR",
       "language.pt language.es\nlanguage.es language.fr",
       {"0.filter.csv", "0.filter.country.br.csv", "0.filter.language.es.csv",
        "0.filter.language.pt.csv"}},
      // Tokens pair up across lines; aliases are looked up by the lower-cased names, kept as
      // written in the (byte-wise sorted) names and lower-cased in the asset names; a name
      // without alias at the end is ignored.
      {"",
       "en_GB",
       "country.gb\nUK country.gb   Europe dangling",
       {"0.filter.csv", "0.filter.europe.csv", "0.filter.uk.csv", "0.filter.country.gb.csv",
        "0.filter.language.en.csv"}},
      {"",
       "en_GB",
       "Country.GB uk",
       {"0.filter.csv", "0.filter.country.gb.csv", "0.filter.language.en.csv"}},
      // The empty name has no aliases; region names are lower-cased.
      {"NA",
       "en",
       "region.na north",
       {"0.filter.csv", "0.filter.country.csv", "0.filter.language.csv", "0.filter.north.csv",
        "0.filter.region.na.csv"}},
  };
  for (const Case& c : cases) {
    BuildInputs in;
    in.region = c.region;
    in.locale = c.locale;
    if (!c.aliases.empty()) in.assets["variantaliases.txt"] = c.aliases;
    EXPECT_EQ(Only(LoadedNames(in), "0.filter"), c.level0_filters)
        << "region " << c.region << " locale " << c.locale;
    const auto reference = testing::BuildReference(in, testing::MakeUtils({}));
    std::vector<std::string> reference_names;
    for (const auto& name : reference->loaded_assets) {
      if (name.rfind("0.filter", 0) == 0) reference_names.push_back(name);
    }
    EXPECT_EQ(reference_names, c.level0_filters) << "reference, locale " << c.locale;
  }
}

TEST(BuildEngineTest, AllowedCharactersTakeTheFirstNonEmptyCandidate) {
  struct Case {
    std::string locale;
    Assets assets;
    std::vector<std::string> tried;
    uint32_t count;
  };
  const Case cases[] = {
      {"en",
       {},
       {"allowedchars.locale.en.txt", "allowedchars.language.txt", "allowedchars.txt"},
       0},
      {"en_US",
       {{"allowedchars.language.en.txt", "abc"}, {"allowedchars.txt", "xyz0"}},
       {"allowedchars.locale.en_us.txt", "allowedchars.language.en.txt"},
       3},
      {"en_US",
       {{"allowedchars.language.en.txt", " \n "}, {"allowedchars.txt", "xyz0"}},
       {"allowedchars.locale.en_us.txt", "allowedchars.language.en.txt", "allowedchars.txt"},
       4},
      {"", {{"allowedchars.txt", "a b\nc"}}, {"allowedchars.txt"}, 3},
      // Each candidate is followed by its aliases; the locale candidate is looked up as
      // written.
      {"de_AT",
       {{"variantaliases.txt", "locale.de_AT Locale.DE language.de alpine"},
        {"allowedchars.alpine.txt", "\u00E4\u00F6\u00FC\u00DF"}},
       {"allowedchars.locale.de_at.txt", "allowedchars.locale.de.txt",
        "allowedchars.language.de.txt", "allowedchars.alpine.txt"},
       4},
  };
  for (const Case& c : cases) {
    BuildInputs in;
    in.locale = c.locale;
    in.assets = c.assets;
    RecordingLoader loader(in.assets);
    const auto engine =
        BuildEngine(testing::MakeUtils({}), false, "", in.locale, {}, {}, {}, loader.loader);
    EXPECT_EQ(Only(*loader.names, "allowedchars"), c.tried) << "locale " << c.locale;
    EXPECT_EQ(engine->allowed_chars_count(), c.count) << "locale " << c.locale;
    EXPECT_EQ(testing::BuildReference(in, testing::MakeUtils({}))->allowed.size(), c.count);
  }
}

TEST(BuildEngineTest, CountsPerLevel) {
  BuildInputs in;
  in.assets = {
      {"0.filter.csv", "bad, worse\nworst"},
      {"0.filter.language.en.csv", "bad evil"},  // "bad" counted once
      {"0.unfilter.csv", "worse, unknown"},      // unlisted entries are ignored
      {"2.filter.csv", "Bad"},                   // trie entries are lower-cased, so
      {"2.unfilter.csv", "bad"},                 // this takes it out
      {"1.whitelist.csv", "badge badger"},
  };
  in.includes[3] = {U"foo, bar baz"};
  in.includes[1] = {U""};  // present but empty: the level has a trie without words
  auto engine = testing::Build(in);
  EXPECT_EQ(engine->filtered_word_counts(), (LevelCounts{{0, 3}, {1, 0}, {2, 0}, {3, 3}}));
  EXPECT_EQ(engine->whitelisted_word_counts(), (LevelCounts{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
  in.whitelist_enabled = true;
  in.whitelist[0] = {U"scrabble"};
  engine = testing::Build(in);
  EXPECT_EQ(engine->whitelisted_word_counts(), (LevelCounts{{0, 1}, {1, 2}, {2, 0}, {3, 0}}));
  const auto reference = testing::BuildReference(in, testing::MakeUtils(in.assets));
  EXPECT_EQ(reference->filtered_counts, engine->filtered_word_counts());
  EXPECT_EQ(reference->whitelisted_counts, engine->whitelisted_word_counts());
}

TEST(BuildEngineTest, AdhocTextsAddEntriesAfterAssets) {
  BuildInputs in;
  in.includes[0] = {U"alpha, beta gamma"};
  const auto engine = testing::Build(in);
  EXPECT_EQ(engine->filtered_word_counts().at(0), 3u);
  std::u32string out;
  EXPECT_TRUE(SanitizeText(*engine, out, U"beta", 0, false, false, kDefaultMaxWords));
  EXPECT_EQ(out, U"****");
  EXPECT_TRUE(SanitizeText(*engine, out, U"x gamma", 0, false, false, kDefaultMaxWords));
  EXPECT_EQ(out, U"x *****");
}

TEST(BuildEngineTest, UnfilterWithoutFilterListLogsOncePerLevel) {
  testing::CapturedLog log;
  BuildInputs in;
  in.assets = {{"0.filter.csv", "bad"},
               {"0.unfilter.csv", "good"},
               {"2.unfilter.csv", "bad"},
               {"2.unfilter.language.en.csv", "worse"}};
  in.excludes[3] = {U"x"};
  testing::Build(in);
  EXPECT_EQ(log.messages,
            (std::vector<std::string>{
                "sanitizer: unfilter lists given for level 2, but no filtering lists",
                "sanitizer: unfilter lists given for level 3, but no filtering lists"}));
}

TEST(BuildEngineTest, UnfilterLevelsWithoutFilterListsStillExempt) {
  BuildInputs in;
  in.assets = {{"0.filter.csv", "bad"}, {"2.unfilter.csv", "bad"}};
  const auto engine = testing::Build(in);
  const auto reference = testing::BuildReference(in, testing::MakeUtils(in.assets));
  EXPECT_EQ(reference->warned_levels, std::vector<uint32_t>{2});
  std::u32string out;
  EXPECT_TRUE(SanitizeText(*engine, out, U"so bad", 1, false, false, kDefaultMaxWords));
  EXPECT_FALSE(SanitizeText(*engine, out, U"so bad", 2, false, false, kDefaultMaxWords));
  EXPECT_FALSE(SanitizeText(*engine, out, U"so bad", 7, false, false, kDefaultMaxWords));
  // The aggressive scan ignores unfilter entries of other levels.
  EXPECT_TRUE(SanitizeText(*engine, out, U"so bad", 2, false, true, kDefaultMaxWords));

  in.includes[2] = {U""};  // an empty filter text gives level 2 a trie: no warning
  EXPECT_TRUE(testing::BuildReference(in, testing::MakeUtils(in.assets))->warned_levels.empty());
}

TEST(BuildEngineTest, UnfilterRemovesTheEntryFromItsOwnLevelTrieOnly) {
  BuildInputs in;
  in.assets = {
      {"0.filter.csv", "crab"}, {"1.filter.csv", "crab, crabs"}, {"1.unfilter.csv", "CRAB"}};
  const auto engine = testing::Build(in);
  EXPECT_EQ(engine->filtered_word_counts().at(1), 1u);
  std::u32string out;
  // Level 1 alone would no longer find "crab" aggressively, but level 0's trie does.
  EXPECT_TRUE(SanitizeText(*engine, out, U"scrabbled", 1, false, true, kDefaultMaxWords));
  EXPECT_EQ(out, U"s****bled");
}

}  // namespace
}  // namespace sanitizer
