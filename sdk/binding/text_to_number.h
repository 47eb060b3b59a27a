// Text-to-number conversion of the binding layer: how a text becomes an integer or a floating
// number when a value is converted into a native number, when a YAML scalar carries an !!int or
// !!float tag, and wherever else a number is read from a text without a registered type.
//
// The rules are those of the C library's conversions in the "C" locale, whatever locale the
// host process has set: integers as strtoll/strtoull with base 0 (optional leading white space,
// an optional sign, then decimal, "0x"/"0X" hexadecimal or "0" octal digits), floating numbers
// as strtod (decimal or hexadecimal, exponent, "inf"/"infinity"/"nan" spellings). An empty text
// parses as 0. Text left over after the number (a NUL byte included) is a format error; a number
// outside the caller's bounds, or one that does not fit in 64 bits, is a range error. An
// unsigned conversion refuses a negative number (strtoull would wrap "-1" around to the largest
// value) as a range error.
//
// The texts are counted (std::string_view) and need no terminating NUL; they may be of any
// length.
#ifndef SDK_BINDING_TEXT_TO_NUMBER_H_
#define SDK_BINDING_TEXT_TO_NUMBER_H_

#include <cstdint>
#include <string_view>

#include "sdk/binding/binding_result.h"

namespace sdk::binding {

// Message templates of the conversions: %1 the text (or the number) given, %2 the name of the
// member, argument or context, %3 the type name.
inline constexpr std::string_view kNumberFormatMessage =
    "Value %1 for '%2' of type %3 is in an incorrect format";
inline constexpr std::string_view kNumberRangeMessage =
    "Value %1 for '%2' of type %3 is out of range";

// Each returns true and stores *out on success. On failure it fails `result` with the format
// or range message (%1 the text, %2 `name`, %3 `type_name`), leaves *out unchanged and returns
// false. A result that is already failed is left as it is and false is returned.
bool TextToSigned(BindingResult& result, std::string_view text, std::string_view name,
                  std::string_view type_name, int64_t min, int64_t max, int64_t* out);
bool TextToUnsigned(BindingResult& result, std::string_view text, std::string_view name,
                    std::string_view type_name, uint64_t max, uint64_t* out);
// NaN passes the bounds (it compares false with both); an infinity is outside any finite
// bounds.
bool TextToDouble(BindingResult& result, std::string_view text, std::string_view name,
                  std::string_view type_name, double min, double max, double* out);

// The parsing step alone, for callers that report failures their own way.
enum class TextNumberStatus : uint8_t { kOk, kFormatError, kRangeError };
TextNumberStatus ParseSignedText(std::string_view text, int64_t min, int64_t max, int64_t* out);
TextNumberStatus ParseUnsignedText(std::string_view text, uint64_t max, uint64_t* out);
TextNumberStatus ParseDoubleText(std::string_view text, double min, double max, double* out);

}  // namespace sdk::binding

#endif  // SDK_BINDING_TEXT_TO_NUMBER_H_
