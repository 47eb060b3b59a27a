// Tests of the character-table formats and their loading.
#include "Plugins/nbx-be-sanitizer/engine/char_tables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "Plugins/nbx-be-sanitizer/engine/engine_test_util.h"

namespace sanitizer {
namespace {

using testing::Assets;
using testing::RecordingLoader;
using testing::U32;

TEST(CharTablesTest, SetFileTakesEveryNonSpaceCodePoint) {
  struct Case {
    std::string content;
    std::u32string members;
  };
  const Case cases[] = {
      {"", U""},
      {" \t\r\n\u3000\u0085", U""},
      {"ab", U"ab"},
      {"a b\nc", U"abc"},
      {"a,b", U"a,b"},  // a comma is not white space
      {"aaa a", U"a"},
      {"\u00A0x", U"x"},  // no-break space is white space
      {"\u20AC\U0001F600", U"\u20AC\U0001F600"},
  };
  for (const Case& c : cases) {
    std::unordered_set<char32_t> set;
    ParseCharSet(U32(c.content), set);
    EXPECT_EQ(set, std::unordered_set<char32_t>(c.members.begin(), c.members.end()))
        << "content: " << c.content;
  }
}

TEST(CharTablesTest, MapFilePairsNonSpaceCodePoints) {
  struct Case {
    std::u32string content;
    std::map<char32_t, char32_t> expected;
  };
  const Case cases[] = {
      {U"@a", {{U'@', U'a'}}},
      {U"@ a", {{U'@', U'a'}}},
      {U"@\na", {{U'@', U'a'}}},
      {U"@a$s", {{U'@', U'a'}, {U'$', U's'}}},
      {U"@a\n$s\n!", {{U'@', U'a'}, {U'$', U's'}}},  // unpaired last code point ignored
      {U"@a @o", {{U'@', U'o'}}},                    // a later pair wins
      {U"aa", {{U'a', U'a'}}},
      {U"a", {}},
      {U"", {}},
      {std::u32string(U"\0a", 2) + U"bc", {{U'b', U'c'}}},  // source U+0000 not recorded
      {std::u32string(U"x\0", 2), {{U'x', U'\0'}}},
  };
  for (const Case& c : cases) {
    std::unordered_map<char32_t, char32_t> map;
    ParseCharMap(c.content, map);
    const std::map<char32_t, char32_t> got(map.begin(), map.end());
    EXPECT_EQ(got, c.expected) << "content: " << testing::U8(c.content);
  }
}

TEST(CharTablesTest, LoadsTheFourAssetsInOrder) {
  RecordingLoader loader(Assets{
      {"punctuationchars.txt", "$ %"},
      {"breakingchars.txt", "|"},
      {"projectedchars1337.txt", "0o 1i"},
      {"projectedchars.txt", "@a"},
  });
  const auto tables = LoadCharTables(loader.loader);
  EXPECT_EQ(*loader.names,
            (std::vector<std::string>{"punctuationchars.txt", "breakingchars.txt",
                                      "projectedchars1337.txt", "projectedchars.txt"}));
  EXPECT_EQ(tables->punctuation, (std::unordered_set<char32_t>{U'$', U'%'}));
  EXPECT_EQ(tables->breaking, (std::unordered_set<char32_t>{U'|'}));
  EXPECT_EQ(tables->projected1337.size(), 2u);
  EXPECT_EQ(tables->projected.at(U'@'), U'a');
}

TEST(CharTablesTest, MissingAssetsGiveEmptyTables) {
  const auto tables = LoadCharTables(MakeMapAssetLoader({}));
  EXPECT_TRUE(tables->punctuation.empty());
  EXPECT_TRUE(tables->breaking.empty());
  EXPECT_TRUE(tables->projected.empty());
  EXPECT_TRUE(tables->projected1337.empty());
  EXPECT_TRUE(LoadCharTables(nullptr)->projected.empty());
}

TEST(CharTablesTest, StatusCountsLeaveOutThe1337Table) {
  const auto utils = testing::MakeUtils(Assets{
      {"breakingchars.txt", "| / |"},
      {"projectedchars.txt", "@a $s"},
      {"projectedchars1337.txt", "0o 1i 3e"},
  });
  EXPECT_EQ(utils->breaking_chars_count(), 2u);
  EXPECT_EQ(utils->projected_chars_count(), 2u);
}

TEST(AssetLoaderTest, FolderLoaderReadsFilesAndRefusesNamesLeavingTheFolder) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("sanitizer_assets_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "sub");
  {
    std::ofstream(folder / "1.filter.csv", std::ios::binary) << "b\xC3\xA4"
                                                                "d";
    std::ofstream(folder / "bad.txt", std::ios::binary) << "\xFF";
    std::ofstream(folder / "sub" / "x.txt", std::ios::binary) << "x";
  }
  const AssetLoader loader = MakeFolderAssetLoader(folder);
  EXPECT_EQ(loader("1.filter.csv"), U"b\u00E4d");
  EXPECT_EQ(loader("missing.csv"), U"");
  EXPECT_EQ(loader("bad.txt"), U"");  // not UTF-8
  EXPECT_EQ(loader("sub"), U"");      // a folder
  EXPECT_EQ(loader("sub/x.txt"), U"");
  EXPECT_EQ(loader("../" + folder.filename().string() + "/1.filter.csv"), U"");
  EXPECT_EQ(loader(".."), U"");
  EXPECT_EQ(loader(""), U"");
  std::filesystem::remove_all(folder);
  EXPECT_EQ(MakeFolderAssetLoader(folder)("1.filter.csv"), U"");
}

}  // namespace
}  // namespace sanitizer
