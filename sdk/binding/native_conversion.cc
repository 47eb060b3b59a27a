// The conversion rules of native_conversion.h that do not depend on the native C++ type: one
// function per type code for value → native, the struct walks in all three directions, the
// host value parts of native → host, and the converter entry that keeps exceptions from
// leaving a conversion. All messages of the rules are here.
#include "sdk/binding/native_conversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/text_to_number.h"
#include "sdk/host/plugin_memory.h"

namespace sdk::binding {
namespace {

constexpr std::string_view kRequiredMessage = "A value for '%1' is required.";
constexpr std::string_view kBoolFormatMessage =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", \"false\", "
    "\"1\", \"0\".";
constexpr std::string_view kBoolInvalidTypeMessage =
    "Couldn't assign value to '%1' of type bool because the input is of an invalid type %2.";
constexpr std::string_view kInvalidTypeMessage =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid type %3.";
constexpr std::string_view kNotAnEnumeratorMessage =
    "%1 is not a valid enumeration value for '%2'.";
constexpr std::string_view kNotAStringMessage =
    "Couldn't assign value to '%1' because the input is not a string.";
constexpr std::string_view kNotAValidEnumeratorMessage =
    "%1 is not a valid %2 enumeration value for '%3'.";
constexpr std::string_view kEnumInvalidTypeMessage =
    "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.";
constexpr std::string_view kNotACollectionMessage =
    "Couldn't assign value to '%1' of type vector because the input not a collection.";
constexpr std::string_view kMapNotAStructureMessage =
    "Couldn't assign value to '%1' of type map because the input not a structure.";
constexpr std::string_view kUnregisteredInputMessage =
    "Couldn't assign value to '%1' because the input is an unregistered structure or not a "
    "structure at all.";
constexpr std::string_view kStructNotAStructureMessage =
    "Couldn't assign value to '%1' of type %2 because the input not a structure.";
constexpr std::string_view kRequiredFieldMessage =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't have required "
    "field '%3'.";
constexpr std::string_view kUnregisteredNativeMessage =
    "Couldn't convert native value because it's an unregistered structure.";
// Not a rule of the conversions: what a conversion reports when memory for the native object
// (a vector's elements, a text) cannot be had.
constexpr std::string_view kOutOfMemoryMessage = "Out of memory while converting '%1'.";
constexpr std::string_view kOutOfMemoryNativeMessage =
    "Out of memory while converting a native value.";

// 2^63 and 2^64 as doubles: the first values that no 64-bit integer of that signedness holds.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

bool Required(BindingResult& result, const BindingValue& value, std::string_view name) {
  if (!value.IsEmpty()) return true;
  result.Fail(kRequiredMessage, name);
  return false;
}

void FailInvalidType(BindingResult& result, const BindingValue& value, std::string_view name,
                     TypeCode code) {
  result.Fail(kInvalidTypeMessage, name, TypeCodeName(code), value.KindName());
}

}  // namespace

void ValueConverter::FromValue(BindingResult& result, void* native, const BindingValue& value,
                               std::string_view name, const TypeRecord* type,
                               const BindingRegistry* registry) const noexcept {
  if (!result.ok()) return;
  try {
    DoFromValue(result, native, value, name, type, registry);
  } catch (...) {
    // Only allocations throw here (std::bad_alloc, std::length_error).
    result.Fail(kOutOfMemoryMessage, name);
  }
}

void ValueConverter::ToValue(BindingResult& result, BindingValue& target, const void* native,
                             const TypeRecord* type,
                             const BindingRegistry* registry) const noexcept {
  if (!result.ok()) return;
  try {
    DoToValue(result, target, native, type, registry);
  } catch (...) {
    result.Fail(kOutOfMemoryNativeMessage);
  }
}

bool ValueConverter::ToHost(detail::HostConversion& conversion, HostValue& host, const void* native,
                            const TypeRecord* type) const noexcept {
  if (!conversion.result.ok()) return false;
  try {
    return DoToHost(conversion, host, native, type);
  } catch (...) {
    conversion.result.Fail(kOutOfMemoryNativeMessage);
    return false;
  }
}

bool ConvertToHostValue(BindingResult& result, HostValue& host, const void* native,
                        const TypeBinding& binding, const BindingRegistry* registry,
                        bool* complete) {
  ReleaseHostValue(host);
  *complete = true;
  if (!result.ok()) return false;
  detail::HostConversion conversion{result, registry};
  if (binding.converter != nullptr) {
    binding.converter->ToHost(conversion, host, native, binding.converter_type);
  }
  // What a value tree refused is the whole conversion's failure once it is done.
  if (result.ok() && conversion.length_error) result.Fail(kLengthErrorMessage);
  if (!result.ok()) {
    ReleaseHostValue(host);
    return false;
  }
  *complete = conversion.complete;
  return true;
}

bool IsDefaultValue(const BindingValue& value) {
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return true;
    case ValueKind::kBool:
      return !value.GetBool();
    case ValueKind::kSigned:
      return value.GetSigned() == 0;
    case ValueKind::kUnsigned:
      return value.GetUnsigned() == 0;
    case ValueKind::kFloat:
      return value.GetFloat() == 0.0;
    case ValueKind::kString:
    case ValueKind::kBlob:
    case ValueKind::kCollection:
    case ValueKind::kStructure:
      return value.Size() == 0;
    case ValueKind::kEnum:
      return value.GetEnum().value == 0;
  }
  return false;
}

void StructToValue(const BindingRegistry& registry, BindingResult& result, const void* native,
                   const TypeRecord* type) {
  if (!result.ok()) return;
  result.value().Clear();
  detail::StructToValue(result, result.value(), native, type, &registry);
  if (result.ok() && result.value().HasLengthError()) result.Fail(kLengthErrorMessage);
}

void StructFromValue(BindingResult& result, void* native, const BindingValue& value,
                     std::string_view name, const TypeRecord* type,
                     const BindingRegistry& registry) {
  if (!result.ok()) return;
  try {
    detail::StructFromValue(result, native, value, name, type, &registry);
  } catch (...) {
    result.Fail(kOutOfMemoryMessage, name);
  }
}

namespace detail {

bool BoolFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                   bool* out) {
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return Required(result, value, name);
    case ValueKind::kBool:
      *out = value.GetBool();
      return true;
    case ValueKind::kString: {
      const std::string_view text = value.GetString();
      if (text == "true" || text == "1") {
        *out = true;
        return true;
      }
      if (text == "false" || text == "0") {
        *out = false;
        return true;
      }
      result.Fail(kBoolFormatMessage, text, name);
      return false;
    }
    default:
      result.Fail(kBoolInvalidTypeMessage, name, value.KindName());
      return false;
  }
}

bool SignedFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                     TypeCode code, int64_t min, int64_t max, int64_t* out) {
  const std::string_view type_name = TypeCodeName(code);
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return Required(result, value, name);
    case ValueKind::kSigned: {
      const int64_t number = value.GetSigned();
      if (number < min || number > max) break;
      *out = number;
      return true;
    }
    case ValueKind::kUnsigned: {
      const uint64_t number = value.GetUnsigned();
      if (number > static_cast<uint64_t>(max)) break;
      *out = static_cast<int64_t>(number);
      return true;
    }
    case ValueKind::kFloat: {
      const double number = value.GetFloat();
      // A NaN, and a number that no int64 holds, cannot be truncated to an integer.
      if (std::isnan(number) || number < static_cast<double>(min) ||
          number > static_cast<double>(max) || number >= kTwoPow63) {
        break;
      }
      *out = static_cast<int64_t>(number);
      return true;
    }
    case ValueKind::kString:
      return TextToSigned(result, value.GetString(), name, type_name, min, max, out);
    case ValueKind::kEnum: {
      const int32_t number = value.GetEnum().value;
      if (number < min || number > max) break;
      *out = number;
      return true;
    }
    default:
      FailInvalidType(result, value, name, code);
      return false;
  }
  // Out of range: %1 is the input as a number of its own kind.
  switch (value.kind()) {
    case ValueKind::kSigned:
      result.Fail(kNumberRangeMessage, value.GetSigned(), name, type_name);
      break;
    case ValueKind::kUnsigned:
      result.Fail(kNumberRangeMessage, value.GetUnsigned(), name, type_name);
      break;
    case ValueKind::kFloat:
      result.Fail(kNumberRangeMessage, value.GetFloat(), name, type_name);
      break;
    default:
      result.Fail(kNumberRangeMessage, value.GetEnum().value, name, type_name);
      break;
  }
  return false;
}

bool UnsignedFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                       TypeCode code, uint64_t max, uint64_t* out) {
  const std::string_view type_name = TypeCodeName(code);
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return Required(result, value, name);
    case ValueKind::kSigned: {
      const int64_t number = value.GetSigned();
      if (number < 0 || static_cast<uint64_t>(number) > max) break;
      *out = static_cast<uint64_t>(number);
      return true;
    }
    case ValueKind::kUnsigned: {
      const uint64_t number = value.GetUnsigned();
      if (number > max) break;
      *out = number;
      return true;
    }
    case ValueKind::kFloat: {
      const double number = value.GetFloat();
      if (std::isnan(number) || number < 0 || number > static_cast<double>(max) ||
          number >= kTwoPow64) {
        break;
      }
      *out = static_cast<uint64_t>(number);
      return true;
    }
    case ValueKind::kString:
      return TextToUnsigned(result, value.GetString(), name, type_name, max, out);
    case ValueKind::kEnum: {
      const int32_t number = value.GetEnum().value;
      if (number < 0 || static_cast<uint64_t>(number) > max) break;
      *out = static_cast<uint64_t>(number);
      return true;
    }
    default:
      FailInvalidType(result, value, name, code);
      return false;
  }
  switch (value.kind()) {
    case ValueKind::kSigned:
      result.Fail(kNumberRangeMessage, value.GetSigned(), name, type_name);
      break;
    case ValueKind::kUnsigned:
      result.Fail(kNumberRangeMessage, value.GetUnsigned(), name, type_name);
      break;
    case ValueKind::kFloat:
      result.Fail(kNumberRangeMessage, value.GetFloat(), name, type_name);
      break;
    default:
      result.Fail(kNumberRangeMessage, value.GetEnum().value, name, type_name);
      break;
  }
  return false;
}

bool FloatingFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                       TypeCode code, double min, double max, double* out) {
  const std::string_view type_name = TypeCodeName(code);
  double number = 0;
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return Required(result, value, name);
    case ValueKind::kSigned:
      number = static_cast<double>(value.GetSigned());
      break;
    case ValueKind::kUnsigned:
      number = static_cast<double>(value.GetUnsigned());
      break;
    case ValueKind::kFloat:
      number = value.GetFloat();
      break;
    case ValueKind::kEnum:
      number = value.GetEnum().value;
      break;
    case ValueKind::kString:
      return TextToDouble(result, value.GetString(), name, type_name, min, max, out);
    default:
      FailInvalidType(result, value, name, code);
      return false;
  }
  // A NaN passes: it is a floating value, and compares false with both bounds.
  if (number < min || number > max) {
    result.Fail(kNumberRangeMessage, number, name, type_name);
    return false;
  }
  *out = number;
  return true;
}

void StringFromValue(BindingResult& result, std::string& out, const BindingValue& value,
                     std::string_view name, const BindingRegistry* registry) {
  switch (value.kind()) {
    case ValueKind::kEmpty:
      Required(result, value, name);
      return;
    case ValueKind::kString:
      out.assign(value.GetString());
      return;
    case ValueKind::kEnum: {
      const EnumValue& enum_value = value.GetEnum();
      const std::optional<std::string_view> enumerator =
          registry != nullptr ? registry->EnumeratorName(enum_value.type, enum_value.value)
                              : std::nullopt;
      if (!enumerator.has_value()) {
        result.Fail(kNotAnEnumeratorMessage, enum_value.value, name);
        return;
      }
      out.assign(*enumerator);
      return;
    }
    default:
      result.Fail(kNotAStringMessage, name);
      return;
  }
}

void ObjectFromValue(BindingResult& result, BindingValue& out, const BindingValue& value) {
  out.Clear();
  if (!result.ok()) return;
  out = value;
}

bool EnumFromValue(BindingResult& result, const BindingValue& value, std::string_view name,
                   const TypeRecord* type, const StaticType& static_type, int32_t* out) {
  // Without a registered record no number or name is an enumerator; the message names the
  // native type by its identity.
  const std::string_view enum_name =
      type != nullptr ? std::string_view(type->name) : static_type.DisplayText();
  const auto accept = [&](int64_t number) {
    // A 64-bit number is taken by its low 32 bits, for the test and for the result.
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(number));
    if (type == nullptr || !type->HasEnumerator(low)) return false;
    *out = low;
    return true;
  };
  switch (value.kind()) {
    case ValueKind::kEmpty:
      return Required(result, value, name);
    case ValueKind::kSigned:
      if (accept(value.GetSigned())) return true;
      result.Fail(kNotAValidEnumeratorMessage, value.GetSigned(), enum_name, name);
      return false;
    case ValueKind::kUnsigned:
      if (accept(static_cast<int64_t>(value.GetUnsigned()))) return true;
      result.Fail(kNotAValidEnumeratorMessage, value.GetUnsigned(), enum_name, name);
      return false;
    case ValueKind::kEnum:
      if (accept(value.GetEnum().value)) return true;
      result.Fail(kNotAValidEnumeratorMessage, value.GetEnum().value, enum_name, name);
      return false;
    case ValueKind::kString: {
      const std::string_view text = value.GetString();
      if (type != nullptr) {
        if (const EnumValueRecord* enumerator = type->FindEnumerator(text)) {
          *out = enumerator->value;
          return true;
        }
      }
      int64_t number = 0;
      if (ParseSignedText(text, std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max(), &number) == TextNumberStatus::kOk &&
          accept(number)) {
        return true;
      }
      result.Fail(kNotAValidEnumeratorMessage, text, enum_name, name);
      return false;
    }
    default:
      result.Fail(kEnumInvalidTypeMessage, name, value.KindName());
      return false;
  }
}

bool CheckVectorInput(BindingResult& result, const BindingValue& value, std::string_view name) {
  if (!Required(result, value, name)) return false;
  if (value.kind() == ValueKind::kCollection) return true;
  result.Fail(kNotACollectionMessage, name);
  return false;
}

void TextListFromValue(BindingResult& result, TextList& out, const BindingValue& value,
                       std::string_view name, const BindingRegistry* registry) {
  // Each element as a std::string element of a vector is converted: a text as it is, an empty
  // element as the empty text, anything else by StringFromValue. The texts' bytes are counted
  // first, so that the list allocates once.
  size_t bytes = 0;
  for (const BindingValue& element : value.Elements()) {
    if (element.kind() == ValueKind::kString) bytes += element.Size();
  }
  out.Reserve(value.Size(), bytes);
  std::string converted;
  for (const BindingValue& element : value.Elements()) {
    if (element.kind() == ValueKind::kString) {
      out.Append(element.GetString());
    } else if (element.IsEmpty()) {
      out.Append({});
    } else {
      converted.clear();
      StringFromValue(result, converted, element, name, registry);
      if (!result.ok()) return;
      out.Append(converted);
    }
  }
}

void TextListToValue(BindingResult& result, BindingValue& target, const TextList& in) {
  target.MakeCollection();
  // A list longer than a collection may be is refused before any element is built.
  if (!target.Reserve(in.size())) {
    result.Fail(kLengthErrorMessage);
    return;
  }
  for (size_t i = 0; i < in.size(); ++i) target.Element(i).SetString(in[i]);
}

namespace {

void SetHostSpan(HostValue& host, uint32_t tag, const void* data, size_t count) {
  host.tag = tag;
  host.payload.span.data = data;
  host.payload.span.count = static_cast<uint32_t>(count);
}

// A zero-filled block of `count` items of `size` bytes from the counting allocation functions,
// as ToHostValue makes its arrays (a block even for no items); null when it cannot be had.
void* AllocateHostArray(size_t count, size_t size) {
  if (count > SIZE_MAX / size) return nullptr;
  void* block = sdk::host::PluginAllocate(count * size);
  if (block != nullptr) std::memset(block, 0, count * size);
  return block;
}

}  // namespace

void BoolToHost(HostValue& out, bool in) {
  out.tag = kHostValueBool;
  out.payload.boolean = in ? 1 : 0;
}

void SignedToHost(HostValue& out, int64_t in) {
  out.tag = kHostValueSigned;
  out.payload.signed_value = in;
}

void UnsignedToHost(HostValue& out, uint64_t in) {
  out.tag = kHostValueUnsigned;
  out.payload.unsigned_value = in;
}

void FloatToHost(HostValue& out, double in) {
  out.tag = kHostValueFloat;
  out.payload.float_value = in;
}

void StringToHost(HostConversion& conversion, HostValue& out, std::string_view in) {
  // A value refuses a text beyond kMaxBlobSize and stays empty.
  if (in.size() > kMaxBlobSize) {
    conversion.length_error = true;
    return;
  }
  char* const copy = sdk::host::PluginDuplicateText(in);
  if (copy == nullptr) {
    conversion.complete = false;
    return;
  }
  SetHostSpan(out, kHostValueStringOwned, copy, in.size());
}

void EnumToHost(HostConversion& conversion, HostValue& out, int32_t number, uint32_t type) {
  const std::optional<std::string_view> name =
      conversion.registry != nullptr ? conversion.registry->EnumeratorName(type, number)
                                     : std::nullopt;
  if (!name.has_value()) {
    SignedToHost(out, number);
    return;
  }
  char* const copy = sdk::host::PluginDuplicateText(*name);
  if (copy == nullptr) {
    conversion.complete = false;
    return;
  }
  SetHostSpan(out, kHostValueStringOwned, copy, name->size());
}

bool ObjectToHost(HostConversion& conversion, HostValue& out, const BindingValue& in) {
  if (!ToHostValue(out, in, conversion.registry)) conversion.complete = false;
  return IsDefaultValue(in);
}

HostValue* OpenHostCollection(HostConversion& conversion, HostValue& out, size_t count) {
  auto* const items = static_cast<HostValue*>(AllocateHostArray(count, sizeof(HostValue)));
  if (items == nullptr) {
    conversion.complete = false;
    return nullptr;
  }
  SetHostSpan(out, kHostValueCollection, items, count);
  return items;
}

void TextListToHost(HostConversion& conversion, HostValue& out, const TextList& in) {
  if (in.size() > kMaxCollectionSize) {
    conversion.result.Fail(kLengthErrorMessage);
    return;
  }
  HostValue* const items = OpenHostCollection(conversion, out, in.size());
  if (items == nullptr) return;
  for (size_t i = 0; i < in.size(); ++i) StringToHost(conversion, items[i], in[i]);
}

HostStructureEntry* OpenHostStructure(HostConversion& conversion, HostValue& out, size_t count) {
  auto* const entries =
      static_cast<HostStructureEntry*>(AllocateHostArray(count, sizeof(HostStructureEntry)));
  if (entries == nullptr) {
    conversion.complete = false;
    return nullptr;
  }
  SetHostSpan(out, kHostValueStructure, entries, count);
  return entries;
}

void SetHostKey(HostConversion& conversion, HostStructureEntry& entry, std::string_view key) {
  entry.key = sdk::host::PluginDuplicateText(key);
  if (entry.key == nullptr) {
    conversion.complete = false;
  } else {
    entry.key_owned = 1;
  }
}

bool StructToHost(HostConversion& conversion, HostValue& out, const void* native,
                  const TypeRecord* type) {
  BindingResult& result = conversion.result;
  if (type == nullptr) {
    result.Fail(kUnregisteredNativeMessage);
    return false;
  }
  const std::vector<FieldRecord>& members = type->members;
  const size_t count = members.size();
  // The members leave in name order, as a structure keeps them; they are converted in
  // registration order, so that the first failure is the one a value tree would meet.
  constexpr size_t kInlineMembers = 16;
  uint32_t inline_order[kInlineMembers];
  std::unique_ptr<uint32_t[]> heap_order;
  uint32_t* order = inline_order;
  if (count > kInlineMembers) {
    heap_order = std::make_unique<uint32_t[]>(count);
    order = heap_order.get();
  }
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order, order + count,
            [&members](uint32_t a, uint32_t b) { return members[a].name < members[b].name; });
  for (size_t i = 1; i < count; ++i) {
    if (members[order[i - 1]].name == members[order[i]].name) {
      // Two members of one name write into one member of the value, each over what the other
      // left: that is left to the value tree itself.
      BindingValue value;
      StructToValue(result, value, native, type, conversion.registry);
      if (!result.ok()) return false;
      if (value.HasLengthError()) conversion.length_error = true;
      if (!ToHostValue(out, value, conversion.registry)) conversion.complete = false;
      return IsDefaultValue(value);
    }
  }

  // Each member's host value, and whether it stays (omit-when-default may leave it out).
  struct Converted {
    HostValue value;
    bool kept;
  };
  Converted inline_converted[kInlineMembers] = {};
  std::unique_ptr<Converted[]> heap_converted;
  Converted* converted = inline_converted;
  if (count > kInlineMembers) {
    heap_converted = std::make_unique<Converted[]>(count);
    converted = heap_converted.get();
  }
  const auto release_all = [&] {
    for (size_t i = 0; i < count; ++i) ReleaseHostValue(converted[i].value);
  };
  const auto* const base = static_cast<const char*>(native);
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    const FieldRecord& field = members[i];
    Converted& member = converted[i];
    if ((field.flags & kOmitWhenDefault) != 0) {
      // Converted on its own, as into a value of its own whose refused growth is this
      // conversion's failure at once.
      HostConversion own{result, conversion.registry};
      const bool is_default =
          field.converter->ToHost(own, member.value, base + field.offset, field.converter_type);
      if (result.ok() && own.length_error) result.Fail(kLengthErrorMessage);
      if (!result.ok()) {
        release_all();
        return false;
      }
      if (!own.complete) conversion.complete = false;
      member.kept = !is_default;
      if (!member.kept) ReleaseHostValue(member.value);
    } else {
      field.converter->ToHost(conversion, member.value, base + field.offset, field.converter_type);
      if (!result.ok()) {
        release_all();
        return false;
      }
      member.kept = true;
    }
    if (member.kept) ++kept;
  }
  HostStructureEntry* const entries = OpenHostStructure(conversion, out, kept);
  if (entries == nullptr) {
    release_all();
    return kept == 0;
  }
  size_t next = 0;
  for (size_t i = 0; i < count; ++i) {
    Converted& member = converted[order[i]];
    if (!member.kept) continue;
    HostStructureEntry& entry = entries[next++];
    SetHostKey(conversion, entry, members[order[i]].name);
    entry.value = member.value;
    member.value = HostValue{};
  }
  return kept == 0;
}

bool CheckMapInput(BindingResult& result, const BindingValue& value, std::string_view name) {
  if (!Required(result, value, name)) return false;
  if (value.kind() == ValueKind::kStructure) return true;
  result.Fail(kMapNotAStructureMessage, name);
  return false;
}

void StructFromValue(BindingResult& result, void* native, const BindingValue& value,
                     std::string_view name, const TypeRecord* type,
                     const BindingRegistry* registry) {
  if (!Required(result, value, name)) return;
  if (type == nullptr) {
    result.Fail(kUnregisteredInputMessage, name);
    return;
  }
  if (value.kind() != ValueKind::kStructure) {
    result.Fail(kStructNotAStructureMessage, name, type->name);
    return;
  }
  auto* const base = static_cast<char*>(native);
  for (const FieldRecord& field : type->members) {
    const BindingValue& member = value.FindMember(field.name);
    if (member.IsEmpty()) {
      if ((field.flags & kRequired) != 0) {
        result.Fail(kRequiredFieldMessage, name, type->name, field.name);
        return;
      }
      continue;
    }
    field.converter->FromValue(result, base + field.offset, member, field.name,
                               field.converter_type, registry);
    if (!result.ok()) return;
  }
}

void StructToValue(BindingResult& result, BindingValue& target, const void* native,
                   const TypeRecord* type, const BindingRegistry* registry) {
  if (type == nullptr) {
    result.Fail(kUnregisteredNativeMessage);
    return;
  }
  target.MakeStructure();
  const auto* const base = static_cast<const char*>(native);
  for (const FieldRecord& field : type->members) {
    if ((field.flags & kOmitWhenDefault) != 0) {
      // Whether the member is left out is known only once it is converted.
      BindingValue converted;
      field.converter->ToValue(result, converted, base + field.offset, field.converter_type,
                               registry);
      if (!result.ok()) return;
      // The temporary is a tree of its own: a growth it refused is this conversion's failure.
      if (converted.HasLengthError()) {
        result.Fail(kLengthErrorMessage);
        return;
      }
      if (!IsDefaultValue(converted))
        target.Member(field.name, field.name_hash) = std::move(converted);
    } else {
      field.converter->ToValue(result, target.Member(field.name, field.name_hash),
                               base + field.offset, field.converter_type, registry);
      if (!result.ok()) return;
    }
  }
}

}  // namespace detail
}  // namespace sdk::binding
