// Tests of reading the two configuration resources: which members give which list entries,
// text forms and UTF-8 decoding, the whitelist switch's truth value, and region and locale with
// their deletion.
#include "Plugins/nbx-be-sanitizer/service/configuration_inputs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Plugins/nbx-be-sanitizer/service/service_test_util.h"

namespace sanitizer::service {
namespace {

using testing::Json;

struct ListsCase {
  std::string document;  // JSON
  LevelTexts includes;
  LevelTexts excludes;
  LevelTexts whitelist;
};

TEST(ConfigurationInputsTest, LevelMembersGiveOneTextForTheirLevelAndKind) {
  const std::vector<ListsCase> cases = {
      {"{}", {}, {}, {}},
      {R"({"Level2Filter":"crud, gunk","Level0Whitelist":"scrudge"})",
       {{2, {U"crud, gunk"}}},
       {},
       {{0, {U"scrudge"}}}},
      {R"({"Level0Filter":"a","Level1Filter":"b","Level2Filter":"c","Level3Filter":"d",
          "Level0Unfilter":"e","Level3Unfilter":"f","Level1Whitelist":"g"})",
       {{0, {U"a"}}, {1, {U"b"}}, {2, {U"c"}}, {3, {U"d"}}},
       {{0, {U"e"}}, {3, {U"f"}}},
       {{1, {U"g"}}}},
      // Only levels 0 to 3 are looked up, and names are matched exactly.
      {R"({"Level4Filter":"x","Level10Filter":"x","level1filter":"x","Level1":"x",
          "Level01Filter":"x","Level1Filter ":"x"})",
       {},
       {},
       {}},
      // Texts are decoded from UTF-8; an empty text and a null value still give an entry.
      {R"({"Level1Filter":"ñandú 🙂","Level2Filter":"","Level3Filter":null})",
       {{1, {U"ñandú 🙂"}}, {2, {U""}}, {3, {U""}}},
       {},
       {}},
      // Other kinds give their text form; containers give the empty text.
      {R"({"Level0Filter":5,"Level1Filter":-2,"Level2Filter":true,"Level3Filter":1.5,
          "Level0Unfilter":["a"],"Level1Unfilter":{"a":"b"}})",
       {{0, {U"5"}}, {1, {U"-2"}}, {2, {U"true"}}, {3, {U"1.500000"}}},
       {{0, {U""}}, {1, {U""}}},
       {}},
      // A document that is not a structure has no members.
      {R"(["Level1Filter"])", {}, {}, {}},
      {R"("Level1Filter")", {}, {}, {}},
  };
  for (const ListsCase& c : cases) {
    const ConfigurationLists lists = ReadConfigurationLists(Json(c.document));
    EXPECT_EQ(lists.adhocIncludes, c.includes) << "document: " << c.document;
    EXPECT_EQ(lists.adhocExcludes, c.excludes) << "document: " << c.document;
    EXPECT_EQ(lists.adhocWhitelist, c.whitelist) << "document: " << c.document;
  }
}

TEST(ConfigurationInputsTest, TextsThatDoNotDecodeGiveAnEmptyText) {
  sdk::binding::BindingValue document;
  document.Member("Level1Filter").SetString(std::string_view("crud\xFF", 5));
  EXPECT_EQ(ReadConfigurationLists(document).adhocIncludes, (LevelTexts{{1, {U""}}}));
}

TEST(ConfigurationInputsTest, WhitelistEnabledIsTheMembersTruthValue) {
  struct Case {
    std::string document;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {"{}", false},
      {R"({"WhitelistEnabled":true})", true},
      {R"({"WhitelistEnabled":false})", false},
      {R"({"WhitelistEnabled":"true"})", true},
      {R"({"WhitelistEnabled":"1"})", true},
      {R"({"WhitelistEnabled":"TRUE"})", false},
      {R"({"WhitelistEnabled":"yes"})", false},
      {R"({"WhitelistEnabled":0})", false},
      {R"({"WhitelistEnabled":2})", true},
      {R"({"WhitelistEnabled":null})", false},
      {R"({"WhitelistEnabled":[0]})", true},
      {R"({"whitelistEnabled":true})", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadConfigurationLists(Json(c.document)).whitelistEnabled, c.enabled)
        << "document: " << c.document;
  }
}

TEST(ConfigurationInputsTest, RegionAndLocaleAreReadAsTextsAndClearedByDeletion) {
  struct Case {
    std::string document;
    bool deleted;
    RegionLocale expected;
  };
  const std::vector<Case> cases = {
      {R"({"region":"WEST","locale":"en_US"})", false, {"WEST", "en_US"}},
      {R"({"locale":"de_DE"})", false, {"", "de_DE"}},
      {R"({"region":"EU"})", false, {"EU", ""}},
      {R"({"region":7,"locale":null})", false, {"7", ""}},
      {R"({"region":"WEST","locale":"en_US"})", true, {"", ""}},
      {"[]", false, {"", ""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadRegionLocale(Json(c.document), c.deleted), c.expected)
        << "document: " << c.document << " deleted: " << c.deleted;
  }
}

}  // namespace
}  // namespace sanitizer::service
