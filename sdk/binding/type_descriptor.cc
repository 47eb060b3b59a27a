// Names of the type codes (see type_descriptor.h).
#include "sdk/binding/type_descriptor.h"

#include <iterator>

namespace sdk::binding {

std::string_view TypeCodeName(TypeCode code) {
  static constexpr std::string_view kNames[] = {"",       "bool",   "int8",   "uint8",    "int16",
                                                "uint16", "int32",  "uint32", "int64",    "uint64",
                                                "float",  "double", "string", "object",   "blob",
                                                "vector", "enum",   "struct", "callback", "map"};
  const auto index = static_cast<size_t>(code);
  return index < std::size(kNames) ? kNames[index] : std::string_view();
}

}  // namespace sdk::binding
