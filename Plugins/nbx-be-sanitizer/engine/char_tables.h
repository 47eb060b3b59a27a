// The four character tables of the sanitizer and the function that reads them from assets.
//
// "punctuationchars.txt" and "breakingchars.txt" are sets: every code point of the file that
// is not white space (u_isspace) is a member. "projectedchars.txt" and
// "projectedchars1337.txt" are maps: the non-white-space code points are taken two by two,
// source then replacement; a later pair for the same source wins and an unpaired last code
// point is ignored. The tables are built once per plug-in and shared read-only through
// SanitizerUtils (sanitizer_utils.h).
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_TABLES_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_TABLES_H_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"

namespace sanitizer {

struct CharTables {
  // Extra word separators ("breakingchars.txt").
  std::unordered_set<char32_t> breaking;
  // Primary look-alike projection ("projectedchars.txt").
  std::unordered_map<char32_t, char32_t> projected;
  // Digit-and-symbol projection ("projectedchars1337.txt"), consulted only when `projected`
  // has no entry for a code point.
  std::unordered_map<char32_t, char32_t> projected1337;
  // Punctuation beyond Unicode's own ("punctuationchars.txt").
  std::unordered_set<char32_t> punctuation;
};

// Asset names of the four tables.
inline constexpr std::string_view kPunctuationCharsAsset = "punctuationchars.txt";
inline constexpr std::string_view kBreakingCharsAsset = "breakingchars.txt";
inline constexpr std::string_view kProjectedChars1337Asset = "projectedchars1337.txt";
inline constexpr std::string_view kProjectedCharsAsset = "projectedchars.txt";

// Reads the four assets, in the order punctuation, breaking, 1337 projections, projections,
// and builds the tables. Never fails: a missing or empty asset gives an empty table.
std::unique_ptr<CharTables> LoadCharTables(const AssetLoader& loader);

// The two parsers, for callers that read a table-format text from elsewhere (the allowed
// characters use the set format).
void ParseCharSet(std::u32string_view text, std::unordered_set<char32_t>& set);
void ParseCharMap(std::u32string_view text, std::unordered_map<char32_t, char32_t>& map);

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_TABLES_H_
