// Reading the four character tables (char_tables.h).
#include "Plugins/nbx-be-sanitizer/engine/char_tables.h"

#include <unicode/uchar.h>

namespace sanitizer {

void ParseCharSet(std::u32string_view text, std::unordered_set<char32_t>& set) {
  for (const char32_t c : text) {
    if (!u_isspace(static_cast<UChar32>(c))) set.insert(c);
  }
}

void ParseCharMap(std::u32string_view text, std::unordered_map<char32_t, char32_t>& map) {
  // Code points pair up in the order they come; U+0000 as a source is never recorded, since
  // it is the value that stands for "no source pending".
  bool have_source = false;
  char32_t source = 0;
  for (const char32_t c : text) {
    if (u_isspace(static_cast<UChar32>(c))) continue;
    if (!have_source) {
      source = c;
      have_source = true;
      continue;
    }
    if (source != 0) map[source] = c;
    have_source = false;
  }
}

std::unique_ptr<CharTables> LoadCharTables(const AssetLoader& loader) {
  auto tables = std::make_unique<CharTables>();
  if (!loader) return tables;
  ParseCharSet(loader(kPunctuationCharsAsset), tables->punctuation);
  ParseCharSet(loader(kBreakingCharsAsset), tables->breaking);
  ParseCharMap(loader(kProjectedChars1337Asset), tables->projected1337);
  ParseCharMap(loader(kProjectedCharsAsset), tables->projected);
  return tables;
}

}  // namespace sanitizer
