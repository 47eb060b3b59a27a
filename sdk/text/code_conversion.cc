// UTF-8 <-> UTF-32 conversion. The lenient reader follows the classic facet pattern (lead
// byte gives the length, payload bits assembled without overlong or surrogate checks) so that
// old data keeps converting; the strict decoder is the one that guards request input.
#include "sdk/text/code_conversion.h"

#include <cstring>

namespace sdk::text {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Reads one lenient sequence at `p` (p < end). Returns false when the conversion must fail.
bool ReadLenient(const unsigned char*& p, const unsigned char* end, char32_t* out) {
  const unsigned char lead = *p;
  int extra;
  uint32_t value;
  if (lead < 0x80) {
    *out = lead;
    ++p;
    return true;
  } else if (lead < 0xC0) {
    return false;  // a continuation byte cannot start a sequence
  } else if (lead < 0xE0) {
    extra = 1;
    value = lead & 0x1F;
  } else if (lead < 0xF0) {
    extra = 2;
    value = lead & 0x0F;
  } else if (lead < 0xF8) {
    extra = 3;
    value = lead & 0x07;
  } else if (lead < 0xFC) {
    extra = 4;  // obsolete five-byte form
    value = lead & 0x03;
  } else {
    extra = 5;  // obsolete six-byte form
    value = lead & 0x01;
  }
  if (end - p <= extra) return false;
  for (int i = 1; i <= extra; ++i) {
    const unsigned char byte = p[i];
    if (!IsContinuation(byte)) return false;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value > kMaxCodePoint) return false;
  p += extra + 1;
  *out = value;
  return true;
}

}  // namespace

std::u32string Utf8ToUtf32(std::string_view text, bool* ok) {
  std::u32string result;
  result.resize(text.size());  // never more code points than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  char32_t* out = result.data();
  while (p < end) {
    // ASCII runs are the common case in chat text: copy them without classification.
    while (p < end && *p < 0x80) *out++ = *p++;
    if (p == end) break;
    if (!ReadLenient(p, end, out)) {
      if (ok) *ok = false;
      return {};
    }
    ++out;
  }
  result.resize(static_cast<size_t>(out - result.data()));
  const size_t nul = result.find(U'\0');
  if (nul != std::u32string::npos) result.resize(nul);
  if (ok) *ok = true;
  return result;
}

std::string Utf32ToUtf8(std::u32string_view text, bool* ok) {
  const size_t nul = text.find(U'\0');
  if (nul != std::u32string_view::npos) text = text.substr(0, nul);
  std::string result;
  result.resize(text.size() * 4);
  char* out = result.data();
  for (const char32_t c : text) {
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (c >> 12));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= kMaxCodePoint) {
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      if (ok) *ok = false;
      return {};
    }
  }
  result.resize(static_cast<size_t>(out - result.data()));
  if (ok) *ok = true;
  return result;
}

DecodeStatus DecodeUtf8(const char** position, const char* end, char32_t* code_point) {
  const auto* p = reinterpret_cast<const unsigned char*>(*position);
  const auto* e = reinterpret_cast<const unsigned char*>(end);
  if (p >= e) return DecodeStatus::kTruncated;
  const unsigned char lead = *p;
  int length;
  uint32_t value;
  if (lead < 0x80) {
    length = 1;
    value = lead;
  } else if (lead >= 0xC0 && lead < 0xE0) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    length = 4;
    value = lead & 0x07;
  } else {
    return DecodeStatus::kInvalidLead;
  }
  for (int i = 1; i < length; ++i) {
    if (p + i >= e) return DecodeStatus::kTruncated;
    if (!IsContinuation(p[i])) return DecodeStatus::kInvalidContinuation;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) {
    return DecodeStatus::kOutOfRange;
  }
  if ((value < 0x80 && length > 1) || (value < 0x800 && length > 2) ||
      (value >= 0x800 && value < 0x10000 && length != 3)) {
    return DecodeStatus::kOverlong;
  }
  *position += length;
  if (code_point) *code_point = value;
  return DecodeStatus::kOk;
}

bool IsValidUtf8(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    if (DecodeUtf8(&p, end, nullptr) != DecodeStatus::kOk) return false;
  }
  return true;
}

bool IsValidUtf8(const char* text) {
  return text == nullptr || IsValidUtf8(std::string_view(text, std::strlen(text)));
}

}  // namespace sdk::text
