// StaticType: the identity of a native type, fixed at build time.
//
// The binding layer needs to name native types without RTTI: an enum value carries the identity
// of its enum type so that the registry can later print its enumerator's name, the registry
// finds the record of a native struct by identity, and a handler names the request-context
// type it wants by identity. An identity is a 32-bit FNV-1a hash of the type's signature as the
// compiler spells it in a template's __PRETTY_FUNCTION__, computed at compile time; it is
// stable for a given compiler and differs between types (the tests check the identities of the
// system's types against each other). Two types of the same name in unnamed namespaces of
// different files have the same signature, and so the same identity: registered types belong
// in named namespaces.
//
// A few identities are fixed values that the host and the dispatch layer rely on:
//  - 0x1BE7EF8E, the no-type identity, is `void`'s: a handler that wants no request context
//    names it, and a type registered with it is entered in the registry by name only;
//  - 0x466F9860 and 0x89462EBF are the two request-context types (binding_request_context.h);
//  - `BindingProperty` is displayed by its full signature text instead of "#%08X".
// A type gets a fixed identity by specialising StaticTypeTraits.
#ifndef SDK_BINDING_STATIC_TYPE_H_
#define SDK_BINDING_STATIC_TYPE_H_

#include <cstdint>
#include <string_view>
#include <type_traits>

namespace sdk::binding {

// 32-bit FNV-1a over the bytes of a text.
inline constexpr uint32_t kFnv1aOffsetBasis = 0x811C9DC5u;
inline constexpr uint32_t kFnv1aPrime = 16777619u;
constexpr uint32_t Fnv1a32(std::string_view bytes, uint32_t hash = kFnv1aOffsetBasis) {
  for (const char c : bytes) {
    hash ^= static_cast<uint8_t>(c);
    hash *= kFnv1aPrime;
  }
  return hash;
}

// The identity of `void`: what a handler names when it wants no request context.
inline constexpr uint32_t kNoTypeId = 0x1BE7EF8E;

class StaticType {
 public:
  // `display` replaces the "#%08X" text when it is not empty.
  constexpr StaticType(uint32_t id, std::string_view signature, std::string_view display = {})
      : id_(id), signature_(signature), display_(display) {
    constexpr char kHex[] = "0123456789ABCDEF";
    hex_[0] = '#';
    for (int i = 0; i < 8; ++i) {
      hex_[1 + i] = kHex[(id >> (28 - 4 * i)) & 0xF];
    }
    hex_[9] = '\0';
  }
  StaticType(const StaticType&) = delete;
  StaticType& operator=(const StaticType&) = delete;

  constexpr uint32_t id() const { return id_; }
  // "#" and the identifier in eight uppercase hexadecimal digits, or the fixed display text of
  // the few types that have one.
  constexpr std::string_view DisplayText() const {
    return display_.empty() ? std::string_view(hex_, 9) : display_;
  }
  // The compiler's spelling of the type, for diagnostics.
  constexpr std::string_view signature() const { return signature_; }
  constexpr bool IsNoType() const { return id_ == kNoTypeId; }

 private:
  uint32_t id_;
  std::string_view signature_;
  std::string_view display_;
  char hex_[10] = {};
};

// A type shown by its full signature text in help output.
struct BindingProperty;

namespace detail {
template <typename T>
constexpr std::string_view TypeSignature() {
  return __PRETTY_FUNCTION__;
}
}  // namespace detail

// Identity of a type: by default the hash of its signature. Specialise for a fixed identity.
template <typename T>
struct StaticTypeTraits {
  static constexpr std::string_view kSignature = detail::TypeSignature<T>();
  static constexpr uint32_t kId = Fnv1a32(kSignature);
  static constexpr std::string_view kDisplay = {};
};

template <>
struct StaticTypeTraits<void> {
  static constexpr std::string_view kSignature = "void";
  static constexpr uint32_t kId = kNoTypeId;
  static constexpr std::string_view kDisplay = {};
};

template <>
struct StaticTypeTraits<BindingProperty> {
  static constexpr std::string_view kSignature =
      "const char *__cdecl StaticType::Name<class Pavo::BindingProperty>(void)";
  static constexpr uint32_t kId = Fnv1a32(kSignature);
  static constexpr std::string_view kDisplay = kSignature;
};

namespace detail {
template <typename T>
inline constexpr StaticType kStaticTypeOf{StaticTypeTraits<T>::kId, StaticTypeTraits<T>::kSignature,
                                          StaticTypeTraits<T>::kDisplay};
}  // namespace detail

// The one StaticType object of T (const and reference qualifiers do not count); its address
// is the same everywhere in the program.
template <typename T>
constexpr const StaticType& StaticTypeOf() {
  return detail::kStaticTypeOf<std::remove_cvref_t<T>>;
}

}  // namespace sdk::binding

#endif  // SDK_BINDING_STATIC_TYPE_H_
