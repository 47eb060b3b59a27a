// UTF-8 <-> UTF-32 conversion. The lenient reader follows the classic facet pattern (lead
// byte gives the length, payload bits assembled without overlong or surrogate checks) so that
// old data keeps converting; the strict decoder is the one that guards request input.
#include "sdk/text/code_conversion.h"

#include <algorithm>
#include <cstddef>
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

// Facts about a code-point text gathered in one pass that vectorises: the bytes its UTF-8 form
// needs beyond one per code point, whether every value is at most 0x10FFFF, and whether it
// holds a U+0000. The loop works on signed 32-bit lanes (plain SSE2 has no unsigned compares):
// a value above 0x7FFFFFFF reads as negative, which marks it out of range like any value above
// 0x10FFFF, and then the byte count does not matter. The counters are 32-bit per block of 2^20
// code points, so they cannot overflow.
struct TextSummary {
  uint64_t extra_bytes = 0;
  bool in_range = true;
  bool has_nul = false;
};

TextSummary Summarize(const char32_t* text, size_t size) {
  TextSummary summary;
  constexpr size_t kBlock = size_t{1} << 20;
  for (size_t begin = 0; begin < size; begin += kBlock) {
    const size_t end = std::min(size, begin + kBlock);
    int32_t extra = 0;
    int32_t nuls = 0;
    int32_t out_of_range = 0;
    for (size_t i = begin; i < end; ++i) {
      const auto c = static_cast<int32_t>(text[i]);
      extra += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
      nuls += c == 0;
      out_of_range |= (c < 0) | (c > static_cast<int32_t>(kMaxCodePoint));
    }
    summary.extra_bytes += static_cast<uint32_t>(extra);
    summary.has_nul |= nuls != 0;
    summary.in_range &= out_of_range == 0;
  }
  return summary;
}

}  // namespace

std::u32string Utf8ToUtf32(std::string_view text, bool* ok) {
  std::u32string result;
  result.resize(text.size());  // never more code points than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  char32_t* out = result.data();
  while (p < end) {
    // ASCII runs are the common case in chat text: widen them eight bytes at a time.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      for (int i = 0; i < 8; ++i) out[i] = p[i];
      p += 8;
      out += 8;
    }
    while (p < end && *p < 0x80) *out++ = *p++;
    if (p == end) break;
    if (!ReadLenient(p, end, out)) {
      if (ok) *ok = false;
      return {};
    }
    ++out;
  }
  // The result ends at the first U+0000, or where the conversion ended.
  size_t size = static_cast<size_t>(out - result.data());
  if (Summarize(result.data(), size).has_nul) size = std::u32string_view(result).find(U'\0');
  result.resize(size);
  if (ok) *ok = true;
  return result;
}

std::string Utf32ToUtf8(std::u32string_view text, bool* ok) {
  TextSummary summary = Summarize(text.data(), text.size());
  if (summary.has_nul) {  // rare: the text ends at its first U+0000
    text = text.substr(0, text.find(U'\0'));
    summary = Summarize(text.data(), text.size());
  }
  if (!summary.in_range) {
    if (ok) *ok = false;
    return {};
  }
  const size_t size = text.size() + summary.extra_bytes;
  std::string result(size, '\0');
  char* out = result.data();
  if (size == text.size()) {
    for (const char32_t c : text) *out++ = static_cast<char>(c);  // all ASCII
  } else {
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
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
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
    while (end - p >= 8) {  // skip ASCII eight bytes at a time
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      p += 8;
    }
    while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
    if (p == end) break;
    // Two-byte sequences (Latin, Greek, Cyrillic, ...) are checked here; C0 and C1 only
    // start overlong forms. Everything else goes through the full decoder.
    const auto lead = static_cast<unsigned char>(p[0]);
    if (lead >= 0xC2 && lead <= 0xDF && end - p >= 2 &&
        IsContinuation(static_cast<unsigned char>(p[1]))) {
      p += 2;
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
