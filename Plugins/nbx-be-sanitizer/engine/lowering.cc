// Lower-casing with origins (lowering.h).
//
// The general path lowers through ICU's case mapping with an edit record, which says which
// stretch of the source each stretch of the result came from; it uses the same locale and
// the same mapping as SanitizerUtils::LowerText (UnicodeString::toLower), so the lowered text
// is identical. Texts whose every code point lowers on its own take a per-code-point path.
#include "Plugins/nbx-be-sanitizer/engine/lowering.h"

#include <unicode/casemap.h>
#include <unicode/edits.h>
#include <unicode/locid.h>
#include <unicode/utf16.h>

#include <algorithm>

namespace sanitizer::detail {
namespace {

const icu::Locale kLowerCaseLocale = icu::Locale::getDefault();

bool LowerPerCodePoint(std::u32string_view source, const CharClassTable& classes,
                       LoweredText& out) {
  if (!classes.simple_lowering()) return false;
  const char32_t* const lowers = classes.simple_lowers();
  out.text.resize(source.size());
  char32_t* const lowered = out.text.data();
  for (std::size_t i = 0; i < source.size(); ++i) {
    const char32_t c = source[i];
    const char32_t lower = c < CharClassTable::kSize ? lowers[c] : 0;
    if (lower == 0) return false;
    lowered[i] = lower;
  }
  out.identity = true;
  out.first.clear();
  out.last.clear();
  return true;
}

void LowerWithIcu(std::u32string_view source, LoweredText& out) {
  // UTF-16 copy of the source, as UnicodeString::fromUTF32 makes it (ill-formed code points
  // become U+FFFD), with the source position of every UTF-16 unit.
  std::u16string utf16;
  std::vector<uint32_t> unit_origin;
  utf16.reserve(source.size() + 8);
  unit_origin.reserve(source.size() + 8);
  for (std::size_t i = 0; i < source.size(); ++i) {
    char32_t c = source[i];
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x10000) {
      utf16.push_back(static_cast<char16_t>(c));
      unit_origin.push_back(static_cast<uint32_t>(i));
    } else {
      utf16.push_back(static_cast<char16_t>(U16_LEAD(c)));
      utf16.push_back(static_cast<char16_t>(U16_TRAIL(c)));
      unit_origin.push_back(static_cast<uint32_t>(i));
      unit_origin.push_back(static_cast<uint32_t>(i));
    }
  }

  icu::Edits edits;
  std::u16string lowered(utf16.size() + 16, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const char* locale = LowerCaseLocale().getBaseName();
  int32_t length =
      icu::CaseMap::toLower(locale, 0, utf16.data(), static_cast<int32_t>(utf16.size()),
                            lowered.data(), static_cast<int32_t>(lowered.size()), &edits, status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    edits.reset();
    lowered.assign(static_cast<std::size_t>(length), u'\0');
    length =
        icu::CaseMap::toLower(locale, 0, utf16.data(), static_cast<int32_t>(utf16.size()),
                              lowered.data(), static_cast<int32_t>(lowered.size()), &edits, status);
  }
  out.text.clear();
  out.first.clear();
  out.last.clear();
  out.identity = false;
  if (U_FAILURE(status)) {
    // Case mapping of a well-formed string does not fail; keep the text unchanged if it does.
    out.text.assign(source);
    out.identity = true;
    return;
  }
  lowered.resize(static_cast<std::size_t>(length));

  // Walk the fine edits: an unchanged stretch maps unit for unit; a changed stretch maps every
  // code point it produced to every source code point it consumed.
  const uint32_t source_size = static_cast<uint32_t>(source.size());
  auto origin_of_unit = [&](int32_t unit) -> uint32_t {
    return unit < static_cast<int32_t>(unit_origin.size())
               ? unit_origin[static_cast<std::size_t>(unit)]
               : source_size;
  };
  icu::Edits::Iterator it = edits.getFineIterator();
  int32_t dest = 0;
  while (it.next(status) && U_SUCCESS(status)) {
    const int32_t src_begin = it.sourceIndex();
    const int32_t src_end = src_begin + it.oldLength();
    const int32_t dest_end = it.destinationIndex() + it.newLength();
    uint32_t change_first = 0;
    uint32_t change_last = 0;
    if (it.hasChange()) {
      change_first = origin_of_unit(src_begin);
      change_last = src_end > src_begin ? origin_of_unit(src_end - 1) : change_first;
      if (change_first >= source_size)
        change_first = change_last = source_size ? source_size - 1 : 0;
      if (change_last >= source_size) change_last = change_first;
    }
    while (dest < dest_end) {
      UChar32 c;
      const int32_t unit = dest;
      U16_NEXT(lowered.data(), dest, dest_end, c);
      out.text.push_back(static_cast<char32_t>(c));
      if (it.hasChange()) {
        out.first.push_back(change_first);
        out.last.push_back(change_last);
      } else {
        const uint32_t origin = origin_of_unit(src_begin + (unit - it.destinationIndex()));
        out.first.push_back(std::min(origin, source_size ? source_size - 1 : 0));
        out.last.push_back(out.first.back());
      }
    }
  }
}

}  // namespace

const icu::Locale& LowerCaseLocale() { return kLowerCaseLocale; }

void LowerWithOrigins(std::u32string_view source, const CharClassTable* classes, LoweredText& out) {
  if (classes != nullptr && LowerPerCodePoint(source, *classes, out)) return;
  LowerWithIcu(source, out);
}

}  // namespace sanitizer::detail
