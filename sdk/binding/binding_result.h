// BindingResult: a BindingValue plus an ok flag, the carrier of every conversion, decoding and
// call of the binding and dispatch layers.
//
// While ok, the value is the result being built. Failing the result clears the value and makes
// it a structure with the single member "error" holding the message; a later failure replaces
// the message. Every layer reports its errors this way instead of throwing.
#ifndef SDK_BINDING_BINDING_RESULT_H_
#define SDK_BINDING_BINDING_RESULT_H_

#include <string_view>

#include "sdk/binding/binding_value.h"
#include "sdk/text/format_message.h"

namespace sdk::binding {

class BindingResult {
 public:
  BindingResult() = default;
  BindingResult(const BindingResult& other) = default;
  BindingResult(BindingResult&& other) noexcept = default;
  // Copies the ok flag, then the value.
  BindingResult& operator=(const BindingResult& other) = default;
  BindingResult& operator=(BindingResult&& other) noexcept = default;

  bool ok() const { return ok_; }
  BindingValue& value() { return value_; }
  const BindingValue& value() const { return value_; }

  // Fails the result with `message` taken as it stands (it may point into this result's own
  // value, e.g. the current error text).
  void Fail(std::string_view message);

  // Fails the result with a message filled from a "%1"-style template (sdk::text::
  // FormatMessage, at most 4095 bytes), e.g. Fail("A value for '%1' is required.", name).
  template <typename... Args>
  requires(sizeof...(Args) > 0) void Fail(std::string_view format, const Args&... args) {
    Fail(std::string_view(sdk::text::FormatMessage(format, args...)));
  }

  // The message of a failed result; the empty text while ok.
  std::string_view ErrorMessage() const {
    return ok_ ? std::string_view() : value_.FindMember("error").GetString();
  }

  // Clears the value and sets the ok flag again.
  void Reset() {
    value_.Clear();
    ok_ = true;
  }

 private:
  BindingValue value_;
  bool ok_ = true;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_BINDING_RESULT_H_
