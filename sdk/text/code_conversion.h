// Conversion between UTF-8 byte strings and UTF-32 code-point texts, and a strict UTF-8 check.
//
// Requests, assets and configuration arrive as UTF-8 while the engine works on code points.
// The two conversions are lenient: they accept overlong forms and surrogate values, so that
// legacy data still converts, and they never fail loudly. A text that cannot be converted
// gives an empty result; callers that need to tell "invalid" from "empty" pass `ok` or check
// the input with IsValidUtf8 first, which is strict and is what request handlers use.
#ifndef SDK_TEXT_CODE_CONVERSION_H_
#define SDK_TEXT_CODE_CONVERSION_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace sdk::text {

// Outcome of decoding one code point with DecodeUtf8.
enum class DecodeStatus : uint32_t {
  kOk = 0,
  kTruncated = 1,            // the input ends before the sequence is complete (or is empty)
  kInvalidLead = 2,          // lead byte 0x80-0xBF or 0xF8-0xFF
  kInvalidContinuation = 3,  // a following byte is not 0x80-0xBF
  kOverlong = 4,             // the value fits a shorter sequence
  kOutOfRange = 5,           // above 0x10FFFF or a surrogate (0xD800-0xDFFF)
};

// Converts all bytes of `text` to code points. Overlong forms and surrogates are accepted; a
// stray continuation byte, a bad continuation byte, a sequence cut off by the end or a value
// above 0x10FFFF fails the whole conversion. The result is cut at its first U+0000.
// On failure the result is empty and *ok (when given) is false; otherwise *ok is true.
std::u32string Utf8ToUtf32(std::string_view text, bool* ok = nullptr);

// Converts `text`, up to its first U+0000, to UTF-8. Surrogates are encoded like any other
// value; a value above 0x10FFFF fails the whole conversion (empty result, *ok false).
std::string Utf32ToUtf8(std::u32string_view text, bool* ok = nullptr);

// Utf32ToUtf8 into the caller's buffer `out` (not null), which must have room for four bytes
// per code point of `text`: the end of the bytes written, or null where Utf32ToUtf8 fails.
char* WriteUtf8(std::u32string_view text, char* out);

// Decodes one code point strictly from [*position, end). On kOk advances *position past the
// sequence and stores the code point in *code_point when that is not null; on any other
// status leaves both untouched.
DecodeStatus DecodeUtf8(const char** position, const char* end, char32_t* code_point);

// True when the text up to its first NUL (or its end) decodes with kOk at every step.
// The empty text is valid.
bool IsValidUtf8(const char* text);
bool IsValidUtf8(std::string_view text);

// IsValidUtf8 and then Utf8ToUtf32 in one pass, into the caller's buffer, as request handlers
// need them: false when IsValidUtf8(text) is false (`out` then holds anything); otherwise the
// code points of Utf8ToUtf32(text) at `out`, their number in *size, and true. `out` must have
// room for text.size() code points.
bool DecodeValidUtf8(std::string_view text, char32_t* out, size_t* size);

}  // namespace sdk::text

#endif  // SDK_TEXT_CODE_CONVERSION_H_
