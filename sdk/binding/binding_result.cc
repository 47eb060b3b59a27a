// BindingResult: failing a result (see binding_result.h).
#include "sdk/binding/binding_result.h"

namespace sdk::binding {

void BindingResult::Fail(std::string_view message) {
  value_.BecomeError(message);
  ok_ = false;
}

}  // namespace sdk::binding
