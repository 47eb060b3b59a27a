// TypeCode and TypeDescriptor: how the registry describes the native type of a member, an
// argument or a return value.
//
// The codes are part of the help records and of the API description handed to the host, and
// their names appear in conversion messages ("Value 256 for 'x' of type uint8 is out of
// range"). A descriptor covers one level of nesting: a vector or a map names its element only
// by a code and, for an enum or struct element, the element's registered type.
#ifndef SDK_BINDING_TYPE_DESCRIPTOR_H_
#define SDK_BINDING_TYPE_DESCRIPTOR_H_

#include <cstdint>
#include <string_view>

namespace sdk::binding {

struct TypeRecord;

enum class TypeCode : uint8_t {
  kNone = 0,
  kBool = 1,
  kInt8 = 2,
  kUint8 = 3,
  kInt16 = 4,
  kUint16 = 5,
  kInt32 = 6,
  kUint32 = 7,
  kInt64 = 8,
  kUint64 = 9,
  kFloat = 10,
  kDouble = 11,
  kString = 12,
  kObject = 13,    // an embedded BindingValue
  kBlob = 14,      // byte vector
  kVector = 15,    // vector of one element type
  kEnum = 16,      // registered enum (32-bit)
  kStruct = 17,    // registered struct
  kCallback = 18,  // callback
  kMap = 19,       // map from text to one element type
};

// "", "bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
// "float", "double", "string", "object", "blob", "vector", "enum", "struct", "callback",
// "map"; the empty text for a code outside 0-19.
std::string_view TypeCodeName(TypeCode code);

struct TypeDescriptor {
  TypeCode code = TypeCode::kNone;
  // The element's code for a vector or a map; kNone otherwise.
  TypeCode element_code = TypeCode::kNone;
  // The registered type of an enum or struct, or of a vector's or map's enum or struct
  // element; null otherwise (and for a type that was not registered).
  const TypeRecord* type = nullptr;

  friend bool operator==(const TypeDescriptor&, const TypeDescriptor&) = default;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_TYPE_DESCRIPTOR_H_
