// SanitizeText: the one operation behind both resources of the sanitizer.
//
// It replaces disallowed characters by a blank when asked, runs the normal or the aggressive
// scan (scan.h) and masks every matched position with "*". Each change replaces one code point
// by one code point, so the output has the input's length and position i of the output
// stands for position i of the input.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZE_TEXT_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZE_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"

namespace sanitizer {

inline constexpr uint32_t kDefaultLevel = 1;
inline constexpr uint32_t kDefaultMaxWords = 5;
inline constexpr char32_t kBlankMark = U' ';
inline constexpr char32_t kMaskMark = U'*';

// Writes the sanitized `text` to `output` and returns whether anything changed (a character
// removed or a position masked). An empty text returns false and leaves `output` as it was.
// `output` may not alias `text`. Levels compare as unsigned numbers, so a level above 3 (or
// -1 read as unsigned) applies every list.
bool SanitizeText(const SanitizerEngine& engine, std::u32string& output, std::u32string_view text,
                  uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
                  uint32_t max_words);

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZE_TEXT_H_
