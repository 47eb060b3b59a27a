// Text-to-number conversion (see text_to_number.h). The C library does the parsing, so every
// spelling it accepts is accepted here; this file supplies what the C functions need and do not
// get from a std::string_view: a NUL-terminated copy (on the stack for the usual short texts),
// the "C" locale, and the end-of-text and errno checks.
#include "sdk/binding/text_to_number.h"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace sdk::binding {
namespace {

// Texts shorter than this are copied to the stack; longer ones (long runs of white space or
// leading zeros are still valid numbers) to a heap block of their own size.
constexpr size_t kStackTextSize = 128;

// A NUL-terminated copy of a counted text.
class TerminatedText {
 public:
  explicit TerminatedText(std::string_view text) : size_(text.size()) {
    if (text.size() < sizeof stack_) {
      data_ = stack_;
    } else {
      heap_.reset(new (std::nothrow) char[text.size() + 1]);
      data_ = heap_.get();
    }
    if (data_ != nullptr) {
      if (!text.empty()) std::memcpy(data_, text.data(), text.size());
      data_[text.size()] = '\0';
    }
  }
  TerminatedText(const TerminatedText&) = delete;
  TerminatedText& operator=(const TerminatedText&) = delete;

  // False when the copy of a long text could not be allocated.
  bool ok() const { return data_ != nullptr; }
  const char* c_str() const { return data_; }
  // Whether the parse ended exactly at the end of the text (an embedded NUL stops it earlier).
  bool ConsumedAll(const char* end) const { return end == data_ + size_; }

 private:
  size_t size_;
  char* data_ = nullptr;
  std::unique_ptr<char[]> heap_;
  char stack_[kStackTextSize];
};

// The "C" locale, so that a host process that sets another locale (with another decimal
// point) does not change what the plug-in accepts. Null when it cannot be created; the plain
// functions are used then.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// White space as strtoll skips it in the "C" locale.
bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool StartsNegative(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  return i < text.size() && text[i] == '-';
}

void FailWith(BindingResult& result, TextNumberStatus status, std::string_view text,
              std::string_view name, std::string_view type_name) {
  result.Fail(status == TextNumberStatus::kFormatError ? kNumberFormatMessage : kNumberRangeMessage,
              text, name, type_name);
}

}  // namespace

TextNumberStatus ParseSignedText(std::string_view text, int64_t min, int64_t max, int64_t* out) {
  const TerminatedText copy(text);
  if (!copy.ok()) return TextNumberStatus::kFormatError;
  char* end = nullptr;
  errno = 0;
  const locale_t locale = CLocale();
  const long long value =
      locale != nullptr ? strtoll_l(copy.c_str(), &end, 0, locale) : strtoll(copy.c_str(), &end, 0);
  const bool overflow = errno == ERANGE;
  if (!copy.ConsumedAll(end)) return TextNumberStatus::kFormatError;
  if (overflow || value < min || value > max) return TextNumberStatus::kRangeError;
  *out = value;
  return TextNumberStatus::kOk;
}

TextNumberStatus ParseUnsignedText(std::string_view text, uint64_t max, uint64_t* out) {
  const TerminatedText copy(text);
  if (!copy.ok()) return TextNumberStatus::kFormatError;
  char* end = nullptr;
  errno = 0;
  const locale_t locale = CLocale();
  const unsigned long long value = locale != nullptr ? strtoull_l(copy.c_str(), &end, 0, locale)
                                                     : strtoull(copy.c_str(), &end, 0);
  const bool overflow = errno == ERANGE;
  if (!copy.ConsumedAll(end)) return TextNumberStatus::kFormatError;
  // strtoull negates a "-" number in unsigned arithmetic ("-1" gives the largest value);
  // a negative number is outside every unsigned range ("-0" is still 0).
  const bool negative = value != 0 && StartsNegative(text);
  if (overflow || negative || value > max) return TextNumberStatus::kRangeError;
  *out = value;
  return TextNumberStatus::kOk;
}

TextNumberStatus ParseDoubleText(std::string_view text, double min, double max, double* out) {
  const TerminatedText copy(text);
  if (!copy.ok()) return TextNumberStatus::kFormatError;
  char* end = nullptr;
  errno = 0;
  const locale_t locale = CLocale();
  const double value =
      locale != nullptr ? strtod_l(copy.c_str(), &end, locale) : strtod(copy.c_str(), &end);
  // ERANGE also reports an underflow, whose result (zero or a subnormal number) is kept.
  const bool overflow = errno == ERANGE && std::isinf(value);
  if (!copy.ConsumedAll(end)) return TextNumberStatus::kFormatError;
  if (overflow || value < min || value > max) return TextNumberStatus::kRangeError;
  *out = value;
  return TextNumberStatus::kOk;
}

bool TextToSigned(BindingResult& result, std::string_view text, std::string_view name,
                  std::string_view type_name, int64_t min, int64_t max, int64_t* out) {
  if (!result.ok()) return false;
  const TextNumberStatus status = ParseSignedText(text, min, max, out);
  if (status == TextNumberStatus::kOk) return true;
  FailWith(result, status, text, name, type_name);
  return false;
}

bool TextToUnsigned(BindingResult& result, std::string_view text, std::string_view name,
                    std::string_view type_name, uint64_t max, uint64_t* out) {
  if (!result.ok()) return false;
  const TextNumberStatus status = ParseUnsignedText(text, max, out);
  if (status == TextNumberStatus::kOk) return true;
  FailWith(result, status, text, name, type_name);
  return false;
}

bool TextToDouble(BindingResult& result, std::string_view text, std::string_view name,
                  std::string_view type_name, double min, double max, double* out) {
  if (!result.ok()) return false;
  const TextNumberStatus status = ParseDoubleText(text, min, max, out);
  if (status == TextNumberStatus::kOk) return true;
  FailWith(result, status, text, name, type_name);
  return false;
}

}  // namespace sdk::binding
