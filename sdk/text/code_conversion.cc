// UTF-8 <-> UTF-32 conversion. The lenient reader follows the classic facet pattern (lead
// byte gives the length, payload bits assembled without overlong or surrogate checks) so that
// old data keeps converting; the strict decoder is the one that guards request input.
//
// Chat text is mostly ASCII with an occasional multi-byte letter, so plain ASCII (0x01-0x7F)
// goes in blocks: sixteen units at a time with SSE2, where the compiler targets it, and eight
// bytes in a 64-bit word otherwise (32-bit x86 builds, other processors). NUL stops a block
// like a non-ASCII unit does, because it ends the text.
//
// Reading UTF-8, a run of ASCII takes whole blocks up to the one where it stops, whose mask
// gives the run's length; the sequences after it go one at a time up to the next ASCII byte.
// A run shorter than eight bytes (a short word between two letters) goes byte by byte: the
// step after a block has to wait for the block's mask, while a byte loop's branches are
// predicted and the processor runs ahead. For the same reason, writing UTF-8, a block of
// sixteen code points that is not all ASCII gives the ASCII run at its start, and the rest of
// it is encoded one code point at a time: the next block starts at a fixed place.
#include "sdk/text/code_conversion.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sdk::text {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// True for 0x01-0x7F, the units of an ASCII run: c - 1 is below 0x7F as an unsigned number.
bool IsAsciiNotNul(unsigned char byte) { return static_cast<unsigned char>(byte - 1) < 0x7F; }

// True when the eight bytes at p are there and all 0x01-0x7F. Taken as a word, a top bit is
// set in it for a byte from 0x80 up, and in `word - 0x01...01` for a 0x00 byte (its borrow
// turns it into 0xFF); when every byte is 0x01-0x7F nothing borrows and neither has one.
bool IsAsciiWordAt(const unsigned char* p, const unsigned char* end) {
  if (end - p < 8) return false;
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return ((word | (word - 0x0101010101010101ull)) & 0x8080808080808080ull) == 0;
}

#if defined(__SSE2__)
// One bit per byte of the block, set for the bytes that end an ASCII run: 0x00 and 0x80-0xFF.
// A NUL compares equal to zero, giving 0xFF; OR-ed in, it sets the top bit that a byte from
// 0x80 up has already.
unsigned RunStops(__m128i bytes) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(bytes, _mm_cmpeq_epi8(bytes, _mm_setzero_si128()))));
}

__m128i LoadBlock(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// Length of the run of bytes 0x01-0x7F at the start of [p, end).
size_t AsciiRunLength(const unsigned char* p, const unsigned char* end) {
  const unsigned char* const begin = p;
  if (IsAsciiWordAt(p, end)) {  // otherwise a short run, byte by byte
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
      if (const unsigned stops = RunStops(LoadBlock(p)); stops != 0) {
        return static_cast<size_t>(p - begin) + std::countr_zero(stops);
      }
    }
#endif
    while (IsAsciiWordAt(p, end)) p += 8;
  }
  while (p < end && IsAsciiNotNul(*p)) ++p;
  return static_cast<size_t>(p - begin);
}

// Widens the run of bytes 0x01-0x7F at p to code points at out and advances both past it.
// The caller guarantees room at out for as many code points as there are bytes left in
// [p, end), so whole blocks are stored even when the run stops inside one; the code points
// stored past the run are overwritten by the next ones or cut off at the end.
void WidenAscii(const unsigned char*& p, const unsigned char* end, char32_t*& out) {
  if (IsAsciiWordAt(p, end)) {  // otherwise a short run, byte by byte
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
      const __m128i bytes = LoadBlock(p);
      const __m128i low = _mm_unpacklo_epi8(bytes, zero);  // bytes 0-7 as 16-bit lanes
      const __m128i high = _mm_unpackhi_epi8(bytes, zero);
      auto* wide = reinterpret_cast<__m128i*>(out);
      _mm_storeu_si128(wide, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(wide + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(wide + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(wide + 3, _mm_unpackhi_epi16(high, zero));
      if (const unsigned stops = RunStops(bytes); stops != 0) {
        const int run = std::countr_zero(stops);
        p += run;
        out += run;
        return;
      }
      p += 16;
      out += 16;
    }
#endif
    for (; IsAsciiWordAt(p, end); p += 8, out += 8) {
      for (int i = 0; i < 8; ++i) out[i] = p[i];
    }
  }
  while (p < end && IsAsciiNotNul(*p)) *out++ = *p++;
}

// Reads one lenient sequence at `p` (p < end). Returns false when the conversion must fail.
bool ReadLenient(const unsigned char*& p, const unsigned char* end, char32_t* out) {
  const unsigned char lead = *p;
  if (lead < 0x80) {
    *out = lead;
    ++p;
    return true;
  }
  // Two-byte sequences (accented Latin, Greek, Cyrillic, Hebrew, Arabic) are the usual
  // non-ASCII letters; they cannot exceed 0x10FFFF.
  if (lead >= 0xC0 && lead < 0xE0 && end - p >= 2 && IsContinuation(p[1])) {
    *out = static_cast<char32_t>((lead & 0x1F) << 6 | (p[1] & 0x3F));
    p += 2;
    return true;
  }
  int extra;
  uint32_t value;
  if (lead < 0xC0) {
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

// Encodes [p, end) up to its first U+0000 at out and returns the end of the bytes written;
// returns null when a code point before the first U+0000 is above 0x10FFFF. The caller
// guarantees room at out for the whole encoding, or for four bytes per code point: either
// way at least one byte per code point left, so a whole packed block is stored even when only
// its first bytes are ASCII; the bytes past them are overwritten by the next ones.
char* EncodeUtf8(const char32_t* p, const char32_t* end, char* out) {
  while (p < end) {
    const char32_t* block_end = end;  // the last code points go one at a time
#if defined(__SSE2__)
    if (end - p >= 16) {
      // The saturating packs (32 to 16 bits signed, then 16 to 8 bits unsigned) keep
      // 0x00-0x7F as they are, turn 0x80-0x7FFFFFFF into a byte from 0x80 up and values from
      // 0x80000000 up, negative in a signed lane, into 0x00. So the packed block is free of
      // run stops exactly when every code point is 0x01-0x7F, and is then their UTF-8 form.
      const auto* lanes = reinterpret_cast<const __m128i*>(p);
      const __m128i bytes =
          _mm_packus_epi16(_mm_packs_epi32(_mm_loadu_si128(lanes), _mm_loadu_si128(lanes + 1)),
                           _mm_packs_epi32(_mm_loadu_si128(lanes + 2), _mm_loadu_si128(lanes + 3)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      const unsigned stops = RunStops(bytes);
      if (stops == 0) {
        p += 16;
        out += 16;
        continue;
      }
      block_end = p + 16;
      const int run = std::countr_zero(stops);  // the rest of the block one at a time
      p += run;
      out += run;
    }
#endif
    do {
      const char32_t c = *p++;
      if (c < 0x80) {
        if (c == 0) return out;
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
        return nullptr;
      }
    } while (p < block_end);
  }
  return out;
}

}  // namespace

std::u32string Utf8ToUtf32(std::string_view text, bool* ok) {
  std::u32string result(text.size(), U'\0');  // never more code points than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  char32_t* const begin = result.data();
  char32_t* out = begin;
  // The result ends at its first U+0000, which a NUL byte or an overlong sequence gives. The
  // bytes after it must still convert, so the loop goes on and only notes where it was.
  size_t size = text.size();
  for (;;) {
    // Each code point takes at least one byte, so the room WidenAscii needs is there.
    WidenAscii(p, end, out);
    if (p == end) break;
    // Sequences and NULs, up to the next ASCII byte.
    do {
      char32_t c;
      if (!ReadLenient(p, end, &c)) {
        if (ok) *ok = false;
        return {};
      }
      if (c == 0) size = std::min(size, static_cast<size_t>(out - begin));
      *out++ = c;
    } while (p < end && !IsAsciiNotNul(*p));
  }
  result.resize(std::min(size, static_cast<size_t>(out - begin)));
  if (ok) *ok = true;
  return result;
}

std::string Utf32ToUtf8(std::u32string_view text, bool* ok) {
  // The result is allocated once, at its exact size. A chat-sized text is encoded into a
  // buffer on the stack that holds its longest possible form and then copied; a longer one
  // is measured first (cut at its first U+0000 before its values count) and encoded in place.
  constexpr size_t kBufferSize = 4096;
  std::string result;
  char* out;
  if (text.size() <= kBufferSize / 4) {
    char buffer[kBufferSize];
    out = EncodeUtf8(text.data(), text.data() + text.size(), buffer);
    if (out != nullptr) result.assign(buffer, out);
  } else {
    TextSummary summary = Summarize(text.data(), text.size());
    if (summary.has_nul) {  // rare: the text ends at its first U+0000
      text = text.substr(0, text.find(U'\0'));
      summary = Summarize(text.data(), text.size());
    }
    out = nullptr;
    if (summary.in_range) {
      result.resize(text.size() + summary.extra_bytes);
      out = EncodeUtf8(text.data(), text.data() + text.size(), result.data());
    }
  }
  if (ok) *ok = out != nullptr;
  return result;
}

char* WriteUtf8(std::u32string_view text, char* out) {
  return EncodeUtf8(text.data(), text.data() + text.size(), out);
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
  // The text ends at its first NUL. A NUL inside a sequence fails that sequence as a bad
  // continuation byte instead of a cut-off one, which is invalid all the same, so no
  // separate pass has to look for the NUL first.
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  for (;;) {
    p += AsciiRunLength(p, end);
    if (p == end) return true;
    // Sequences, up to the next ASCII byte or the NUL that ends the text.
    do {
      if (*p == 0) return true;
      // Two-byte sequences (Latin, Greek, Cyrillic, ...) are checked here; C0 and C1 only
      // start overlong forms. Everything else goes through the full decoder.
      if (*p >= 0xC2 && *p <= 0xDF && end - p >= 2 && IsContinuation(p[1])) {
        p += 2;
        continue;
      }
      const char* position = reinterpret_cast<const char*>(p);
      if (DecodeUtf8(&position, reinterpret_cast<const char*>(end), nullptr) != DecodeStatus::kOk) {
        return false;
      }
      p = reinterpret_cast<const unsigned char*>(position);
    } while (p < end && !IsAsciiNotNul(*p));
  }
}

bool DecodeValidUtf8(std::string_view text, char32_t* out, size_t* size) {
  // The same steps as IsValidUtf8, storing what they read: ASCII runs widened in blocks, the
  // sequences after each run one at a time up to the next ASCII byte.
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  char32_t* const begin = out;
  for (;;) {
    // Each code point takes at least one byte, so the room WidenAscii needs is there.
    WidenAscii(p, end, out);
    if (p == end) break;
    do {
      if (*p == 0) {
        // The check ends at the NUL, and so does the text; but the lenient conversion reads on
        // and gives the empty text when a byte after it does not convert (rare: only a
        // counted text can hold a NUL at all).
        bool rest_converts = false;
        Utf8ToUtf32(std::string_view(reinterpret_cast<const char*>(p + 1),
                                     static_cast<size_t>(end - p - 1)),
                    &rest_converts);
        *size = rest_converts ? static_cast<size_t>(out - begin) : 0;
        return true;
      }
      if (*p >= 0xC2 && *p <= 0xDF && end - p >= 2 && IsContinuation(p[1])) {
        *out++ = static_cast<char32_t>((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
        p += 2;
        continue;
      }
      const char* position = reinterpret_cast<const char*>(p);
      if (DecodeUtf8(&position, reinterpret_cast<const char*>(end), out) != DecodeStatus::kOk) {
        return false;
      }
      ++out;
      p = reinterpret_cast<const unsigned char*>(position);
    } while (p < end && !IsAsciiNotNul(*p));
  }
  *size = static_cast<size_t>(out - begin);
  return true;
}

bool IsValidUtf8(const char* text) {
  return text == nullptr || IsValidUtf8(std::string_view(text, std::strlen(text)));
}

}  // namespace sdk::text
