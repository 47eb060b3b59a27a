// Internal: full lower-casing of a code-point text that also records, for every lowered code
// point, the source code points it came from, so that matches found in the lowered copy can be
// marked on the source even where lowering changed the length (U+0130 lowers to two code
// points). The lowered text is always the one SanitizerUtils::LowerText gives.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_LOWERING_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_LOWERING_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/locid.h>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"

namespace sanitizer::detail {

// The locale of all lower-casing: the process's default locale as it was when the program
// was loaded, so that later changes of the default do not change results half-way.
const icu::Locale& LowerCaseLocale();

struct LoweredText {
  std::u32string text;
  // When `identity` is false: lowered position k came from source positions
  // first[k]..last[k]. When true, position k came from source position k alone.
  bool identity = true;
  std::vector<uint32_t> first;
  std::vector<uint32_t> last;
};

// Lowers `source` into `out`, reusing its buffers. `classes` (may be null) enables the
// per-code-point path for texts whose every code point lowers on its own.
void LowerWithOrigins(std::u32string_view source, const CharClassTable* classes, LoweredText& out);

}  // namespace sanitizer::detail

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_LOWERING_H_
