// ValueConverter: converts one native type to and from a BindingValue, and TypeBinding, what the
// registry keeps about a native type wherever one is converted (a struct member, a function
// argument, a return value).
//
// There is one converter per native type, created by the templates of native_conversion.h and
// shared by every member and argument of that type; a converter keeps no state, so the
// registered type it works with (the record of a struct or enum, or of a vector's or map's
// struct or enum element) is passed to each call. Converters report every failure by failing
// the BindingResult with the exact message of the rule that failed; they do nothing when the
// result is already failed, and no exception leaves them.
//
// A converter also writes its native type straight into a host value (ToHost), as converting it
// to a value and that value to a host value would, without the value in between: that is how a
// native handler's result reaches the host (native_conversion.h, ConvertToHostValue).
#ifndef SDK_BINDING_VALUE_CONVERTER_H_
#define SDK_BINDING_VALUE_CONVERTER_H_

#include <string_view>

#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/static_type.h"
#include "sdk/binding/type_descriptor.h"
#include "sdk/host/plugin_abi.h"

namespace sdk::binding {

class BindingRegistry;
struct TypeRecord;

namespace detail {
// What one conversion straight to a host value carries from member to member.
struct HostConversion {
  BindingResult& result;  // failures, with the messages of ToValue
  const BindingRegistry* registry;
  // Something that a value tree would refuse as too long (a text beyond kMaxBlobSize, a map
  // beyond kMaxCollectionSize members): the conversion's failure once it is done, as a value
  // tree's length error is.
  bool length_error = false;
  // False once memory for a host buffer could not be had, where ToHostValue returns false.
  bool complete = true;
};
}  // namespace detail

class ValueConverter {
 public:
  // Value → native object at `native` (an object of the converter's native type). `name`
  // names the member or argument in messages; `type` is the registered type the conversion
  // needs (see TypeBinding::converter_type); `registry` names enumerators of enum inputs
  // converted to text and may be null. Does nothing when `result` is already failed.
  void FromValue(BindingResult& result, void* native, const BindingValue& value,
                 std::string_view name, const TypeRecord* type,
                 const BindingRegistry* registry) const noexcept;
  // Native object at `native` → `target`, which is a value of `result`'s tree or a separate
  // one (it is written in place; the caller clears it first when it may hold something).
  // Failures go to `result`; after a failure `target` may have been destroyed with the
  // result's tree and must not be used. Does nothing when `result` is already failed.
  void ToValue(BindingResult& result, BindingValue& target, const void* native,
               const TypeRecord* type, const BindingRegistry* registry) const noexcept;
  // Native object at `native` → `host` (all zero), as ToValue into an empty value followed by
  // ToHostValue of that value would give it. Returns whether that value would hold what
  // omit-when-default leaves out (IsDefaultValue). Failures go to the conversion's result, and
  // `host` must then be released. Does nothing (and returns false) when the result is already
  // failed.
  bool ToHost(detail::HostConversion& conversion, HostValue& host, const void* native,
              const TypeRecord* type) const noexcept;

  virtual ~ValueConverter() = default;

 protected:
  constexpr ValueConverter() = default;

 private:
  virtual void DoFromValue(BindingResult& result, void* native, const BindingValue& value,
                           std::string_view name, const TypeRecord* type,
                           const BindingRegistry* registry) const = 0;
  virtual void DoToValue(BindingResult& result, BindingValue& target, const void* native,
                         const TypeRecord* type, const BindingRegistry* registry) const = 0;
  virtual bool DoToHost(detail::HostConversion& conversion, HostValue& host, const void* native,
                        const TypeRecord* type) const = 0;
};

// Everything the registry keeps to convert one native type and to describe it.
struct TypeBinding {
  const StaticType* static_type = &StaticTypeOf<void>();
  TypeDescriptor type;
  // A second description kept for the API description, which prefers it when its code is
  // not kNone; conversions use `type` only.
  TypeDescriptor second_type;
  const ValueConverter* converter = nullptr;
  // The registered type the converter works with: the record of a struct or enum, or of the
  // struct or enum at the bottom of vectors, maps and optionals. Null for the other types, and
  // for a struct or enum that was not registered when the binding was made.
  const TypeRecord* converter_type = nullptr;
  // The caller may leave the member or argument out (a std::optional native type).
  bool optional = false;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_VALUE_CONVERTER_H_
