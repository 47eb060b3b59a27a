// Native ↔ value conversion: the rules that turn a BindingValue into a native object and back,
// for every type code, and the templates that pick the rule from a native C++ type.
//
// The native type decides everything at compile time:
//   bool → bool; every integer width → int8 … uint64 (by size and signedness); float, double;
//   std::string → string; BindingValue → object (deep copy); an enum type (at most 32 bits) →
//   enum; std::vector<T> → vector; TextList → vector of string, converted exactly as
//   std::vector<std::string> (text_list.h); std::map<std::string, T> → map; std::optional<T>
//   → T with the optional mark; any other class → struct (a registered record).
// TypeCodeOf<T>() gives the code, BindNativeType<T>(registry) the descriptor, converter and
// registered type of a member or argument, ConverterFor<T>() the converter.
//
// Value → native, in brief (the exact messages are in native_conversion.cc): an empty input is
// "required" (except for an object, which copies it, and an optional, which is left without
// value); numbers accept numbers of any kind within the native bounds, enums by number, and
// texts by the text-to-number rules; bool accepts a bool or one of the texts "true", "false",
// "1", "0"; a string accepts a text or an enum (as its enumerator's name); an enum accepts an
// enumerator's name or number; a vector accepts a collection (empty elements keep their
// default), a map a structure (empty members are skipped), a struct a structure whose members
// are converted in registration order (an absent or empty member keeps the native value, or
// fails when it is required; undeclared members are ignored). Messages name the member or
// argument; inside a vector or map they name the vector or map.
//
// Native → value: numbers → signed, unsigned or float; string → string; enum → enum value with
// the enum's identity; vector → collection; map → structure; an optional without value leaves
// the value empty; a struct → structure with its members in registration order, leaving out
// members marked omit-when-default that hold their default.
//
// Native → host value (ConvertToHostValue): what native → value followed by ToHostValue
// (host_value.h) gives, written straight into the host value: numbers, texts (owned copies),
// enums (the enumerator's name, or the number), collections and structures (owned arrays,
// members in name order), with the same failures and messages. A native handler's result goes
// to the host this way, without a value tree in between.
//
// Every conversion stops at its first failure, which stays in the BindingResult; the native
// object is then partly filled and must not be used. Nothing is thrown for any input.
#ifndef SDK_BINDING_NATIVE_CONVERSION_H_
#define SDK_BINDING_NATIVE_CONVERSION_H_

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/static_type.h"
#include "sdk/binding/text_list.h"
#include "sdk/binding/type_descriptor.h"
#include "sdk/binding/value_converter.h"

namespace sdk::binding {

// to-value: native struct at `native` → result's value (cleared first), by its type record.
// Fails with "Couldn't convert native value because it's an unregistered structure." when
// `type` is null. Does nothing when the result is already failed.
void StructToValue(const BindingRegistry& registry, BindingResult& result, const void* native,
                   const TypeRecord* type);
// from-value: value → native struct at `native`, by its type record; `name` names the value
// in messages. Does nothing when the result is already failed.
void StructFromValue(BindingResult& result, void* native, const BindingValue& value,
                     std::string_view name, const TypeRecord* type,
                     const BindingRegistry& registry);

// Whether a value holds what omit-when-default leaves out: empty; bool false; signed or
// unsigned 0; float exactly 0.0 (a NaN is not); a text, blob, collection or structure of size
// 0; an enum with number 0.
bool IsDefaultValue(const BindingValue& value);

// Native object at `native`, of the type that `binding` describes, → `host` (first released),
// as ToValue into an empty value and ToHostValue of that value would give it. Returns false
// when the conversion failed (the message is in `result`, and `host` is released); otherwise
// true, with *complete false where ToHostValue would have returned false (memory for part of
// the host value could not be had; the rest can still be released). Does nothing and returns
// false when `result` is already failed.
bool ConvertToHostValue(BindingResult& result, HostValue& host, const void* native,
                        const TypeBinding& binding, const BindingRegistry* registry,
                        bool* complete);

namespace detail {

template <typename T>
struct VectorTraits : std::false_type {};
template <typename E, typename A>
struct VectorTraits<std::vector<E, A>> : std::true_type {
  using Element = E;
};

template <typename T>
struct MapTraits : std::false_type {};
template <typename E, typename C, typename A>
struct MapTraits<std::map<std::string, E, C, A>> : std::true_type {
  using Element = E;
};

template <typename T>
struct OptionalTraits : std::false_type {
  using Inner = T;
};
template <typename I>
struct OptionalTraits<std::optional<I>> : std::true_type {
  using Inner = I;
};

// The element type of a vector or a map.
template <typename T>
struct ContainerElement;
template <typename E, typename A>
struct ContainerElement<std::vector<E, A>> {
  using Type = E;
};
template <typename E, typename C, typename A>
struct ContainerElement<std::map<std::string, E, C, A>> {
  using Type = E;
};
template <>
struct ContainerElement<TextList> {
  using Type = std::string;
};

template <typename T>
inline constexpr bool kIsRecord =
    std::is_class_v<T> && !VectorTraits<T>::value && !MapTraits<T>::value &&
    !OptionalTraits<T>::value && !std::is_same_v<T, std::string> &&
    !std::is_same_v<T, BindingValue> && !std::is_same_v<T, TextList>;

template <typename T>
inline constexpr bool kAlwaysFalse = false;

// The struct or enum at the bottom of vectors, maps and optionals (T itself otherwise).
template <typename T>
struct LeafType {
  using Type = T;
};
template <typename E, typename A>
struct LeafType<std::vector<E, A>> : LeafType<E> {};
template <typename E, typename C, typename A>
struct LeafType<std::map<std::string, E, C, A>> : LeafType<E> {};
template <typename I>
struct LeafType<std::optional<I>> : LeafType<I> {};

}  // namespace detail

template <typename T>
constexpr TypeCode TypeCodeOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return TypeCode::kBool;
  } else if constexpr (std::is_integral_v<U>) {
    constexpr bool kSigned = std::is_signed_v<U>;
    if constexpr (sizeof(U) == 1) return kSigned ? TypeCode::kInt8 : TypeCode::kUint8;
    if constexpr (sizeof(U) == 2) return kSigned ? TypeCode::kInt16 : TypeCode::kUint16;
    if constexpr (sizeof(U) == 4) return kSigned ? TypeCode::kInt32 : TypeCode::kUint32;
    if constexpr (sizeof(U) == 8) return kSigned ? TypeCode::kInt64 : TypeCode::kUint64;
    static_assert(sizeof(U) <= 8, "integers wider than 64 bits have no type code");
  } else if constexpr (std::is_same_v<U, float>) {
    return TypeCode::kFloat;
  } else if constexpr (std::is_same_v<U, double>) {
    return TypeCode::kDouble;
  } else if constexpr (std::is_same_v<U, std::string>) {
    return TypeCode::kString;
  } else if constexpr (std::is_same_v<U, BindingValue>) {
    return TypeCode::kObject;
  } else if constexpr (std::is_enum_v<U>) {
    static_assert(sizeof(U) <= 4, "registered enums are 32-bit");
    return TypeCode::kEnum;
  } else if constexpr (detail::VectorTraits<U>::value || std::is_same_v<U, TextList>) {
    return TypeCode::kVector;
  } else if constexpr (detail::MapTraits<U>::value) {
    return TypeCode::kMap;
  } else if constexpr (detail::OptionalTraits<U>::value) {
    return TypeCodeOf<typename detail::OptionalTraits<U>::Inner>();
  } else if constexpr (detail::kIsRecord<U>) {
    return TypeCode::kStruct;
  } else {
    static_assert(detail::kAlwaysFalse<U>, "this native type has no binding conversion");
  }
}

namespace detail {

// The non-template parts of the rules (native_conversion.cc). Each expects an ok result and
// returns whether the conversion succeeded (the functions without a return value tell it by
// the result's ok flag).
bool BoolFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                   bool* out);
bool SignedFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                     TypeCode code, int64_t min, int64_t max, int64_t* out);
bool UnsignedFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                       TypeCode code, uint64_t max, uint64_t* out);
bool FloatingFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                       TypeCode code, double min, double max, double* out);
void StringFromValue(BindingResult& result, std::string& out, const BindingValue& value,
                     std::string_view name, const BindingRegistry* registry);
void ObjectFromValue(BindingResult& result, BindingValue& out, const BindingValue& value);
bool EnumFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                   const TypeRecord* type, const StaticType& static_type, int32_t* out);
// The checks before a vector or map is filled: a value is given, and it is a collection
// (vector) or a structure (map).
bool CheckVectorInput(BindingResult& result, const BindingValue& value, std::string_view name);
bool CheckMapInput(BindingResult& result, const BindingValue& value, std::string_view name);
// The element loop of a TextList, after CheckVectorInput.
void TextListFromValue(BindingResult& result, TextList& out, const BindingValue& value,
                       std::string_view name, const BindingRegistry* registry);
void TextListToValue(BindingResult& result, BindingValue& target, const TextList& in);

// The non-template parts of the conversion straight to a host value. Each writes into a host
// value that is all zero.
void BoolToHost(HostValue& out, bool in);
void SignedToHost(HostValue& out, int64_t in);
void UnsignedToHost(HostValue& out, uint64_t in);
void FloatToHost(HostValue& out, double in);
void StringToHost(HostConversion& conversion, HostValue& out, std::string_view in);
void EnumToHost(HostConversion& conversion, HostValue& out, int32_t number, uint32_t type);
// A copy of the value, converted; returns IsDefaultValue(in).
bool ObjectToHost(HostConversion& conversion, HostValue& out, const BindingValue& in);
// The zero-filled array of a collection of `count` elements (at most kMaxCollectionSize) made
// `out`'s; null when memory cannot be had (the elements are then converted into a scratch
// value and dropped, so that their failures still count).
HostValue* OpenHostCollection(HostConversion& conversion, HostValue& out, size_t count);
void TextListToHost(HostConversion& conversion, HostValue& out, const TextList& in);
// A map's structure of `count` members: the zero-filled entry array made `out`'s, or null as
// for a collection. Key sets the owned copy of one entry's key.
HostStructureEntry* OpenHostStructure(HostConversion& conversion, HostValue& out, size_t count);
void SetHostKey(HostConversion& conversion, HostStructureEntry& entry, std::string_view key);
// A registered struct; returns whether its value would be an empty structure.
bool StructToHost(HostConversion& conversion, HostValue& out, const void* native,
                  const TypeRecord* type);
void StructFromValue(BindingResult& result, void* native, const BindingValue& value,
                     std::string_view name, const TypeRecord* type,
                     const BindingRegistry* registry);
void StructToValue(BindingResult& result, BindingValue& target, const void* native,
                   const TypeRecord* type, const BindingRegistry* registry);

template <typename T>
void FromValueNative(BindingResult& result, T& out, const BindingValue& value,
                     std::string_view name, const TypeRecord* type,
                     const BindingRegistry* registry) {
  if constexpr (std::is_same_v<T, bool>) {
    if (value.kind() == ValueKind::kBool) {
      out = value.GetBool();
    } else {
      BoolFromValue(result, value, name, &out);
    }
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    int64_t number = 0;
    if (SignedFromValue(result, value, name, TypeCodeOf<T>(), std::numeric_limits<T>::min(),
                        std::numeric_limits<T>::max(), &number)) {
      out = static_cast<T>(number);
    }
  } else if constexpr (std::is_integral_v<T>) {
    uint64_t number = 0;
    if (UnsignedFromValue(result, value, name, TypeCodeOf<T>(), std::numeric_limits<T>::max(),
                          &number)) {
      out = static_cast<T>(number);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    double number = 0;
    if (FloatingFromValue(result, value, name, TypeCodeOf<T>(), -std::numeric_limits<T>::max(),
                          std::numeric_limits<T>::max(), &number)) {
      out = static_cast<T>(number);
    }
  } else if constexpr (std::is_same_v<T, std::string>) {
    // The common case inline; enums, errors and the rest out of line.
    if (value.kind() == ValueKind::kString) {
      out.assign(value.GetString());
    } else {
      StringFromValue(result, out, value, name, registry);
    }
  } else if constexpr (std::is_same_v<T, BindingValue>) {
    ObjectFromValue(result, out, value);
  } else if constexpr (std::is_enum_v<T>) {
    int32_t number = 0;
    if (EnumFromValue(result, value, name, type, StaticTypeOf<T>(), &number)) {
      out = static_cast<T>(number);
    }
  } else if constexpr (VectorTraits<T>::value) {
    using Element = typename VectorTraits<T>::Element;
    out.clear();
    if (!CheckVectorInput(result, value, name)) return;
    out.resize(value.Size());
    size_t index = 0;
    for (const BindingValue& element : value.Elements()) {
      if (!element.IsEmpty()) {
        if constexpr (std::is_same_v<Element, bool>) {
          bool flag = false;  // std::vector<bool> has no bool& to convert into
          FromValueNative(result, flag, element, name, type, registry);
          out[index] = flag;
        } else {
          FromValueNative(result, out[index], element, name, type, registry);
        }
        if (!result.ok()) return;
      }
      ++index;
    }
  } else if constexpr (std::is_same_v<T, TextList>) {
    out.Clear();
    if (!CheckVectorInput(result, value, name)) return;
    TextListFromValue(result, out, value, name, registry);
  } else if constexpr (MapTraits<T>::value) {
    out.clear();
    if (!CheckMapInput(result, value, name)) return;
    for (const ConstMemberView member : value.Members()) {
      if (member.value.IsEmpty()) continue;
      auto& slot = out[std::string(member.name)];
      FromValueNative(result, slot, member.value, name, type, registry);
      if (!result.ok()) return;
    }
  } else if constexpr (OptionalTraits<T>::value) {
    if (value.IsEmpty()) {
      out.reset();
      return;
    }
    FromValueNative(result, out.emplace(), value, name, type, registry);
    if (!result.ok()) out.reset();
  } else if constexpr (kIsRecord<T>) {
    StructFromValue(result, &out, value, name, type, registry);
  } else {
    static_assert(kAlwaysFalse<T>, "this native type has no binding conversion");
  }
}

template <typename T>
void ToValueNative(BindingResult& result, BindingValue& target, const T& in, const TypeRecord* type,
                   const BindingRegistry* registry) {
  if constexpr (std::is_same_v<T, bool>) {
    target.SetBool(in);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    target.SetSigned(in);
  } else if constexpr (std::is_integral_v<T>) {
    target.SetUnsigned(in);
  } else if constexpr (std::is_floating_point_v<T>) {
    target.SetFloat(in);
  } else if constexpr (std::is_same_v<T, std::string>) {
    target.SetString(std::string_view(in));
  } else if constexpr (std::is_same_v<T, BindingValue>) {
    target = in;
  } else if constexpr (std::is_enum_v<T>) {
    target.SetEnum(static_cast<int32_t>(in), StaticTypeOf<T>().id());
  } else if constexpr (VectorTraits<T>::value) {
    target.MakeCollection();
    // A vector longer than a collection may be is refused before any element is built.
    if (!target.Reserve(in.size())) {
      result.Fail(kLengthErrorMessage);
      return;
    }
    size_t index = 0;
    for (const auto& element : in) {
      if constexpr (std::is_same_v<typename VectorTraits<T>::Element, bool>) {
        ToValueNative(result, target.Element(index), static_cast<bool>(element), type, registry);
      } else {
        ToValueNative(result, target.Element(index), element, type, registry);
      }
      if (!result.ok()) return;
      ++index;
    }
  } else if constexpr (std::is_same_v<T, TextList>) {
    TextListToValue(result, target, in);
  } else if constexpr (MapTraits<T>::value) {
    target.MakeStructure();
    for (const auto& [key, element] : in) {
      ToValueNative(result, target.Member(key), element, type, registry);
      if (!result.ok()) return;
    }
  } else if constexpr (OptionalTraits<T>::value) {
    if (in.has_value()) ToValueNative(result, target, *in, type, registry);
  } else if constexpr (kIsRecord<T>) {
    StructToValue(result, target, &in, type, registry);
  } else {
    static_assert(kAlwaysFalse<T>, "this native type has no binding conversion");
  }
}

// Native → host value, as ToValueNative into an empty value followed by ToHostValue; returns
// what IsDefaultValue would say of that value.
template <typename T>
bool ToHostNative(HostConversion& conversion, HostValue& out, const T& in, const TypeRecord* type) {
  if constexpr (std::is_same_v<T, bool>) {
    BoolToHost(out, in);
    return !in;
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    SignedToHost(out, in);
    return in == 0;
  } else if constexpr (std::is_integral_v<T>) {
    UnsignedToHost(out, in);
    return in == 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    FloatToHost(out, in);
    return in == 0.0;
  } else if constexpr (std::is_same_v<T, std::string>) {
    StringToHost(conversion, out, in);
    return in.empty();
  } else if constexpr (std::is_same_v<T, BindingValue>) {
    return ObjectToHost(conversion, out, in);
  } else if constexpr (std::is_enum_v<T>) {
    EnumToHost(conversion, out, static_cast<int32_t>(in), StaticTypeOf<T>().id());
    return static_cast<int32_t>(in) == 0;
  } else if constexpr (VectorTraits<T>::value) {
    // A vector longer than a collection may be is refused before any element is converted.
    if (in.size() > kMaxCollectionSize) {
      conversion.result.Fail(kLengthErrorMessage);
      return false;
    }
    HostValue* const items = OpenHostCollection(conversion, out, in.size());
    size_t index = 0;
    for (const auto& element : in) {
      HostValue scratch{};
      HostValue& item = items != nullptr ? items[index] : scratch;
      if constexpr (std::is_same_v<typename VectorTraits<T>::Element, bool>) {
        ToHostNative(conversion, item, static_cast<bool>(element), type);
      } else {
        ToHostNative(conversion, item, element, type);
      }
      if (items == nullptr) ReleaseHostValue(scratch);
      if (!conversion.result.ok()) return false;
      ++index;
    }
    return in.empty();
  } else if constexpr (std::is_same_v<T, TextList>) {
    TextListToHost(conversion, out, in);
    return in.empty();
  } else if constexpr (MapTraits<T>::value) {
    // A structure takes at most kMaxCollectionSize members; the further ones are refused as a
    // value tree refuses them, converted but not kept.
    const size_t kept = in.size() < kMaxCollectionSize ? in.size() : kMaxCollectionSize;
    HostStructureEntry* const entries = OpenHostStructure(conversion, out, kept);
    size_t index = 0;
    for (const auto& [key, element] : in) {
      HostStructureEntry scratch{};
      const bool keep = entries != nullptr && index < kept;
      HostStructureEntry& entry = keep ? entries[index] : scratch;
      if (index >= kept) conversion.length_error = true;
      if (keep) SetHostKey(conversion, entry, key);
      ToHostNative(conversion, entry.value, element, type);
      if (!keep) ReleaseHostValue(scratch.value);
      if (!conversion.result.ok()) return false;
      ++index;
    }
    return in.empty();
  } else if constexpr (OptionalTraits<T>::value) {
    if (!in.has_value()) return true;
    return ToHostNative(conversion, out, *in, type);
  } else if constexpr (kIsRecord<T>) {
    return StructToHost(conversion, out, &in, type);
  } else {
    static_assert(kAlwaysFalse<T>, "this native type has no binding conversion");
  }
}

template <typename T>
class NativeConverter final : public ValueConverter {
 public:
  constexpr NativeConverter() = default;

 private:
  void DoFromValue(BindingResult& result, void* native, const BindingValue& value,
                   std::string_view name, const TypeRecord* type,
                   const BindingRegistry* registry) const override {
    FromValueNative(result, *static_cast<T*>(native), value, name, type, registry);
  }
  bool DoToHost(HostConversion& conversion, HostValue& host, const void* native,
                const TypeRecord* type) const override {
    return ToHostNative(conversion, host, *static_cast<const T*>(native), type);
  }
  void DoToValue(BindingResult& result, BindingValue& target, const void* native,
                 const TypeRecord* type, const BindingRegistry* registry) const override {
    ToValueNative(result, target, *static_cast<const T*>(native), type, registry);
  }
};

// Constant-initialised, so a converter is usable during the static initialisation of other files.
template <typename T>
inline constinit const NativeConverter<T> kNativeConverter{};

}  // namespace detail

// The converter of a native type (one shared object per type).
template <typename T>
const ValueConverter& ConverterFor() {
  (void)TypeCodeOf<T>();  // refuses a type without a conversion at compile time
  return detail::kNativeConverter<std::remove_cv_t<T>>;
}

// The descriptor of a native type, given the record of its struct or enum leaf (see
// TypeBinding::converter_type).
template <typename T>
TypeDescriptor DescribeNativeType(const TypeRecord* leaf_record) {
  using U = typename detail::OptionalTraits<std::remove_cv_t<T>>::Inner;
  TypeDescriptor descriptor;
  descriptor.code = TypeCodeOf<U>();
  if constexpr (detail::VectorTraits<U>::value || detail::MapTraits<U>::value ||
                std::is_same_v<U, TextList>) {
    descriptor.element_code = TypeCodeOf<typename detail::ContainerElement<U>::Type>();
    if (descriptor.element_code == TypeCode::kEnum ||
        descriptor.element_code == TypeCode::kStruct) {
      descriptor.type = leaf_record;
    }
  } else if (descriptor.code == TypeCode::kEnum || descriptor.code == TypeCode::kStruct) {
    descriptor.type = leaf_record;
  }
  return descriptor;
}

// Everything needed to convert and describe a member, argument or return value of native type
// T. The struct or enum that T is or contains must be registered before (its record is looked
// up now, under the registry's mutex, so that conversions need no lookup); otherwise its
// conversions fail as unregistered.
template <typename T>
TypeBinding BindNativeType(const BindingRegistry& registry) {
  using U = std::remove_cv_t<T>;
  using Leaf = typename detail::LeafType<U>::Type;
  TypeBinding binding;
  binding.static_type = &StaticTypeOf<U>();
  if constexpr (std::is_enum_v<Leaf> || detail::kIsRecord<Leaf>) {
    binding.converter_type = registry.FindType(StaticTypeOf<Leaf>());
  }
  binding.type = DescribeNativeType<U>(binding.converter_type);
  binding.converter = &ConverterFor<U>();
  binding.optional = detail::OptionalTraits<U>::value;
  return binding;
}

// Typed conversions of a whole native object (looking its registered type up in `registry`).
// ToValue writes into the result's value, cleared first; FromValue names the value `name` in
// messages. Both do nothing when the result is already failed.
template <typename T>
void ToValue(const BindingRegistry& registry, BindingResult& result, const T& native) {
  if (!result.ok()) return;
  const TypeBinding binding = BindNativeType<T>(registry);
  result.value().Clear();
  binding.converter->ToValue(result, result.value(), &native, binding.converter_type, &registry);
  if (result.ok() && result.value().HasLengthError()) result.Fail(kLengthErrorMessage);
}

template <typename T>
void FromValue(BindingResult& result, T& native, const BindingValue& value, std::string_view name,
               const BindingRegistry& registry) {
  if (!result.ok()) return;
  const TypeBinding binding = BindNativeType<T>(registry);
  binding.converter->FromValue(result, &native, value, name, binding.converter_type, &registry);
}

}  // namespace sdk::binding

#endif  // SDK_BINDING_NATIVE_CONVERSION_H_
