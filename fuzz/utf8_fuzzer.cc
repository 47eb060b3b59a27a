// Fuzz target: UTF-8/UTF-32 conversion and validation.
//
// Properties checked on every input:
//  - IsValidUtf8 agrees with a loop of DecodeUtf8 over the text up to its first NUL;
//  - a valid text (up to its first NUL) converts leniently without failure and converts back
//    to exactly itself;
//  - the input read as 32-bit code units converts to UTF-8 exactly when every unit up to the
//    first 0 is at most 0x10FFFF, and that UTF-8 converts back to the same units;
//  - both lenient conversions give what the plain one-unit-at-a-time conversions give (same
//    result, same success), whatever the input;
//  - the one-pass check and conversion (DecodeValidUtf8) gives what IsValidUtf8 and then
//    Utf8ToUtf32 give, and WriteUtf8 what Utf32ToUtf8 gives.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sdk/text/code_conversion.h"
#include "sdk/text/code_conversion_reference.h"

using sdk::text::DecodeStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view until_nul = text.substr(0, text.find('\0'));

  bool decodes = true;
  const char* p = until_nul.data();
  const char* end = p + until_nul.size();
  while (p < end) {
    const char* before = p;
    char32_t code_point = 0;
    if (sdk::text::DecodeUtf8(&p, end, &code_point) != DecodeStatus::kOk) {
      FUZZ_CHECK(p == before);
      decodes = false;
      break;
    }
    FUZZ_CHECK(p > before && p - before <= 4);
    FUZZ_CHECK(code_point <= 0x10FFFF && (code_point < 0xD800 || code_point > 0xDFFF));
  }
  const bool valid = sdk::text::IsValidUtf8(text);
  FUZZ_CHECK(valid == decodes);
  FUZZ_CHECK(sdk::text::IsValidUtf8(std::string(text).c_str()) == valid);

  // The lenient conversion reads every byte, the check stops at the first NUL: the property
  // holds for the text up to that NUL.
  bool ok = false;
  const std::u32string wide = sdk::text::Utf8ToUtf32(until_nul, &ok);
  if (valid) {
    FUZZ_CHECK(ok);
    bool back_ok = false;
    FUZZ_CHECK(sdk::text::Utf32ToUtf8(wide, &back_ok) == until_nul);
    FUZZ_CHECK(back_ok);
  }
  if (!ok) FUZZ_CHECK(wide.empty());
  bool plain_ok = !ok;
  FUZZ_CHECK(sdk::text::reference::Utf8ToUtf32(until_nul, &plain_ok) == wide);
  FUZZ_CHECK(plain_ok == ok);
  bool whole_ok = false;
  plain_ok = false;
  FUZZ_CHECK(sdk::text::Utf8ToUtf32(text, &whole_ok) ==
             sdk::text::reference::Utf8ToUtf32(text, &plain_ok));
  FUZZ_CHECK(whole_ok == plain_ok);

  // The input copied to a buffer of its exact size, so that a read past its end is reported.
  const std::vector<char> exact(text.begin(), text.end());
  std::vector<char32_t> decoded(size);
  size_t decoded_size = 0;
  const bool decoded_valid = sdk::text::DecodeValidUtf8(std::string_view(exact.data(), size),
                                                        decoded.data(), &decoded_size);
  FUZZ_CHECK(decoded_valid == valid);
  if (decoded_valid) {
    FUZZ_CHECK(std::u32string_view(decoded.data(), decoded_size) == sdk::text::Utf8ToUtf32(text));
  }

  std::u32string units(size / 4, U'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 4);
  const std::u32string_view units_until_nul =
      std::u32string_view(units).substr(0, std::u32string_view(units).find(U'\0'));
  bool in_range = true;
  for (char32_t unit : units_until_nul) in_range = in_range && unit <= 0x10FFFF;
  bool narrow_ok = false;
  const std::string narrow = sdk::text::Utf32ToUtf8(units, &narrow_ok);
  FUZZ_CHECK(narrow_ok == in_range);
  std::vector<char> written(4 * units.size() + 1);
  const char* const written_end = sdk::text::WriteUtf8(units, written.data());
  FUZZ_CHECK((written_end != nullptr) == narrow_ok);
  if (written_end != nullptr) {
    FUZZ_CHECK(std::string_view(written.data(),
                                static_cast<size_t>(written_end - written.data())) == narrow);
  }
  bool plain_narrow_ok = !narrow_ok;
  FUZZ_CHECK(sdk::text::reference::Utf32ToUtf8(units, &plain_narrow_ok) == narrow);
  FUZZ_CHECK(plain_narrow_ok == narrow_ok);
  if (narrow_ok) {
    bool wide_ok = false;
    FUZZ_CHECK(sdk::text::Utf8ToUtf32(narrow, &wide_ok) == units_until_nul);
    FUZZ_CHECK(wide_ok);
  } else {
    FUZZ_CHECK(narrow.empty());
  }
  return 0;
}
