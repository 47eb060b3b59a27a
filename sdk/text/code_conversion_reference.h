// Plain UTF-8 <-> UTF-32 conversions, one byte or code point at a time, written straight from
// the rules of the lenient conversions in code_conversion.h: same results, same failures, no
// fast paths. The tests and the fuzz target check the real conversions against them. Not part
// of the product.
#ifndef SDK_TEXT_CODE_CONVERSION_REFERENCE_H_
#define SDK_TEXT_CODE_CONVERSION_REFERENCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sdk::text::reference {

// Lead byte 0x00-0x7F: one byte; 0xC0-0xDF, 0xE0-0xEF, 0xF0-0xF7: two to four; the old forms
// 0xF8-0xFB and 0xFC-0xFF: five and six. A continuation byte as lead, a byte that is not one
// where one belongs, a sequence cut off by the end or a value above 0x10FFFF fails the whole
// text. Overlong forms and surrogates decode by the same pattern. The result ends at its first
// U+0000.
inline std::u32string Utf8ToUtf32(std::string_view text, bool* ok) {
  std::u32string result;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xC0 ? 0  // continuation byte
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF8 ? 4
                          : lead < 0xFC ? 5
                                        : 6;
    *ok = length != 0 && text.size() - i >= length;
    uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);  // payload bits of the lead
    for (size_t k = 1; *ok && k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      *ok = (byte & 0xC0) == 0x80;
      value = value << 6 | (byte & 0x3F);
    }
    if (!*ok || value > 0x10FFFF) {
      *ok = false;
      return {};
    }
    result.push_back(value);
    i += length;
  }
  *ok = true;
  return result.substr(0, result.find(U'\0'));
}

// The text up to its first U+0000, each code point in one to four bytes by the usual pattern
// (surrogates too); a value above 0x10FFFF fails the whole text.
inline std::string Utf32ToUtf8(std::u32string_view text, bool* ok) {
  std::string result;
  for (const char32_t c : text.substr(0, text.find(U'\0'))) {
    if (c > 0x10FFFF) {
      *ok = false;
      return {};
    }
    const int length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (length == 1) {
      result.push_back(static_cast<char>(c));
      continue;
    }
    // Lead byte: `length` top bits set (0xC0, 0xE0, 0xF0), then the highest payload bits.
    result.push_back(static_cast<char>((0xF00u >> length) | (c >> (6 * (length - 1)))));
    for (int k = length - 2; k >= 0; --k) {
      result.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
    }
  }
  *ok = true;
  return result;
}

}  // namespace sdk::text::reference

#endif  // SDK_TEXT_CODE_CONVERSION_REFERENCE_H_
