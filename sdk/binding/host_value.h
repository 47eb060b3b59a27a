// Host values: the flat, tagged records (sdk/host/plugin_abi.h) in which values cross the
// boundary between the plug-in and the host, and their conversion to and from BindingValue.
//
// Typed request arguments and event payloads arrive as host values; call results and request
// bodies leave as host values. Buffers that the plug-in hands out (texts of tag 6, bytes of
// tag 8, the arrays of tags 9 and 10, owned keys) come from the counting allocation functions
// of sdk/host/plugin_memory.h and are freed by ReleaseHostValue or by the release function of
// the response record that carries them.
//
// All three walks use explicit work stacks, so neither a deep value tree nor a deep host value
// can exhaust the thread's stack; FromHostValue also refuses host values nested deeper than
// kMaxNestingDepth.
#ifndef SDK_BINDING_HOST_VALUE_H_
#define SDK_BINDING_HOST_VALUE_H_

#include <cstdint>
#include <string_view>

#include "sdk/binding/binding_value.h"
#include "sdk/host/plugin_abi.h"

namespace sdk::binding {

class BindingRegistry;

// The part of a host response that carries a failure: a value, an owned error text (allocated
// with the counting allocation functions, or null) and an error flag.
struct HostErrorRecord {
  HostValue value{};
  char* error_text = nullptr;
  uint8_t error_flag = 0;
};

// The name printed for a host value tag in messages: "", "bool", "signed", "unsigned",
// "float", "string" (5, 6), "blob" (7, 8), "collection", "structure"; "" for any other tag.
std::string_view HostValueTagName(uint32_t tag);

// Frees what the value owns (tags 6 and 8 their buffer; 9 every element, then the array; 10
// every owned key and every value, then the array; 5 and 7 nothing) and leaves it all zero.
void ReleaseHostValue(HostValue& value);

// Frees the record's value and error text and leaves the record all zero.
void ReleaseHostErrorRecord(HostErrorRecord& record);

// A host value owned by a C++ object until it is taken (or released with the object): a
// result on its way to a response record, say.
class OwnedHostValue {
 public:
  OwnedHostValue() = default;
  ~OwnedHostValue() { ReleaseHostValue(value_); }
  OwnedHostValue(const OwnedHostValue&) = delete;
  OwnedHostValue& operator=(const OwnedHostValue&) = delete;
  OwnedHostValue(OwnedHostValue&& other) noexcept
      : has_value_(other.has_value_), complete_(other.complete_) {
    value_ = other.Take();
  }
  OwnedHostValue& operator=(OwnedHostValue&& other) noexcept {
    if (this != &other) {
      ReleaseHostValue(value_);
      has_value_ = other.has_value_;
      complete_ = other.complete_;
      value_ = other.Take();
    }
    return *this;
  }

  // Whether a value was set and not taken since.
  bool has_value() const { return has_value_; }
  // Whether all of it could be allocated (see ToHostValue).
  bool complete() const { return complete_; }
  // The value to fill, released first; it counts as set from now on.
  HostValue& Set(bool complete) {
    ReleaseHostValue(value_);
    has_value_ = true;
    complete_ = complete;
    return value_;
  }
  void Reset() {
    ReleaseHostValue(value_);
    has_value_ = false;
    complete_ = true;
  }
  void set_complete(bool complete) { complete_ = complete; }
  // Hands the value over; this object is empty afterwards.
  HostValue Take() {
    const HostValue value = value_;
    value_ = HostValue{};
    has_value_ = false;
    complete_ = true;
    return value;
  }

 private:
  HostValue value_{};
  bool has_value_ = false;
  bool complete_ = true;
};

// Fills `host` from `value`, first releasing what `host` held. Strings and blobs leave as owned
// copies (tags 6 and 8), collections and structures as owned arrays (structure entries in name
// order, each with an owned copy of its name), enums as the enumerator's name (tag 6) when a
// registry is given and the enum's type has an enumerator with that number, and otherwise as
// the number (tag 2). Returns true; false only when memory
// could not be had, in which case the parts that could not be allocated are left empty (tag 0)
// and the whole value can still be released.
bool ToHostValue(HostValue& host, const BindingValue& value, const BindingRegistry* registry);

// Fills `value` (overwritten) from `host`. Texts (tags 5, 6) are read up to their first NUL;
// the length word is not used. Blobs are copied; collections and structures are converted
// item by item in array order, a repeated key converting into the same member again.
//
// Fails, returning false, on an unknown tag, on a host value nested deeper than
// kMaxNestingDepth and on a collection, structure or blob beyond the value model's limits: the
// error record's value is released, its error text becomes an owned copy of the message (for
// an unknown tag "Couldn't assign value to '<name>' of type object because the input is of an
// incompatible type ''."), and its error flag is set to 1. What was converted before the
// failure stays in `value` for the caller to discard.
bool FromHostValue(HostErrorRecord& error, BindingValue& value, const HostValue& host,
                   std::string_view name);

}  // namespace sdk::binding

#endif  // SDK_BINDING_HOST_VALUE_H_
