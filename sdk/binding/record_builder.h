// Registration of native records and enums: the code that registers a type reads as a table of
// its members, one line per member, naming the member once.
//
//   RecordBuilder<SanitizeRequest> record(registry, prefix + "SanitizeRequest");
//   SDK_BINDING_MEMBER(record, texts);
//   SDK_BINDING_MEMBER(record, text);
//   SDK_BINDING_MEMBER(record, level);
//   SDK_BINDING_MEMBER(record, asyncToken, "Asynchronous operation token");
//   SDK_BINDING_MEMBER(record, error, "Error message", kRequired | kOmitWhenDefault);
//   record.Description("...").Tags(api_tags);
//
// SDK_BINDING_MEMBER takes the member's field name as its wire name, and then, in any order, an
// optional description text, MemberFlags (kRequired, kOmitWhenDefault) and kOptional (the
// optional mark for a member that is not a std::optional). Everything else comes from the
// member pointer's type (native_conversion.h): the type code and element code, the converter,
// the registered record of a struct or enum member, the optional mark of a std::optional
// member, the offset. A struct or enum used by a member must be registered first.
//
//   EnumBuilder<BindingAsyncState> state(registry, "BindingAsyncState");
//   state.Enumerator("None", BindingAsyncState::None, "Invalid state");
//
// Registration is first-wins: when the name is registered already, the builder is inactive and
// every call on it does nothing.
#ifndef SDK_BINDING_RECORD_BUILDER_H_
#define SDK_BINDING_RECORD_BUILDER_H_

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/static_type.h"

namespace sdk::binding {

// The optional mark, for a member that the caller may leave out although its native type is
// not a std::optional.
struct OptionalMark {};
inline constexpr OptionalMark kOptional{};

namespace detail {

struct MemberOptions {
  uint32_t flags = 0;
  bool optional = false;
  std::string_view description;
};
inline void ApplyMemberOption(MemberOptions& options, MemberFlags flags) { options.flags |= flags; }
// Flags combined with "|".
inline void ApplyMemberOption(MemberOptions& options, uint32_t flags) { options.flags |= flags; }
inline void ApplyMemberOption(MemberOptions& options, OptionalMark) { options.optional = true; }
inline void ApplyMemberOption(MemberOptions& options, std::string_view description) {
  options.description = description;
}

// Byte offset of a member, measured on a real object.
template <typename T, typename M>
uint32_t MemberOffset(M T::*field) {
  const T probe{};
  return static_cast<uint32_t>(reinterpret_cast<const char*>(&(probe.*field)) -
                               reinterpret_cast<const char*>(&probe));
}

}  // namespace detail

template <typename T>
class RecordBuilder {
 public:
  using Record = T;

  // begin-type with the native size and identity of T.
  RecordBuilder(BindingRegistry& registry, std::string_view name)
      : builder_(registry, static_cast<uint32_t>(sizeof(T)), name, StaticTypeOf<T>(), false) {}

  bool active() const { return builder_.active(); }
  const TypeRecord* record() const { return builder_.record(); }

  // Appends the member `field` under the wire name `name`; `options` as SDK_BINDING_MEMBER.
  template <typename M, typename... Options>
  RecordBuilder& Member(M T::*field, std::string_view name, const Options&... options) {
    if (!builder_.active()) return *this;
    detail::MemberOptions member_options;
    (detail::ApplyMemberOption(member_options, options), ...);
    TypeBinding binding = BindNativeType<M>(builder_.registry());
    binding.optional = binding.optional || member_options.optional;
    builder_.AddMember(name, member_options.description, detail::MemberOffset(field), binding,
                       member_options.flags);
    return *this;
  }

  RecordBuilder& Description(std::string_view description) {
    builder_.SetDescription(description);
    return *this;
  }
  RecordBuilder& NameSpace(std::string_view name_space) {
    builder_.SetNameSpace(name_space);
    return *this;
  }
  // Appends the tags in order; empty tags are ignored.
  RecordBuilder& Tags(std::initializer_list<std::string_view> tags) {
    for (const std::string_view tag : tags) builder_.AddTag(tag);
    return *this;
  }
  // Appends a whole list (empty entries included).
  RecordBuilder& Tags(std::span<const std::string> tags) {
    builder_.AddTags(tags);
    return *this;
  }

 private:
  TypeBuilder builder_;
};

template <typename E>
class EnumBuilder {
  static_assert(std::is_enum_v<E> && sizeof(E) <= 4, "registered enums are 32-bit");

 public:
  using Enum = E;

  EnumBuilder(BindingRegistry& registry, std::string_view name)
      : builder_(registry, static_cast<uint32_t>(sizeof(E)), name, StaticTypeOf<E>(), true) {}

  bool active() const { return builder_.active(); }
  const TypeRecord* record() const { return builder_.record(); }

  // Inserts or replaces the enumerator of that name.
  EnumBuilder& Enumerator(std::string_view name, E value, std::string_view description = {}) {
    builder_.AddEnumerator(name, static_cast<int32_t>(value), description);
    return *this;
  }
  EnumBuilder& Description(std::string_view description) {
    builder_.SetDescription(description);
    return *this;
  }
  EnumBuilder& NameSpace(std::string_view name_space) {
    builder_.SetNameSpace(name_space);
    return *this;
  }
  EnumBuilder& Tags(std::initializer_list<std::string_view> tags) {
    for (const std::string_view tag : tags) builder_.AddTag(tag);
    return *this;
  }
  EnumBuilder& Tags(std::span<const std::string> tags) {
    builder_.AddTags(tags);
    return *this;
  }

 private:
  TypeBuilder builder_;
};

}  // namespace sdk::binding

// One member of a RecordBuilder: SDK_BINDING_MEMBER(builder, field[, description][, flags]
// [, kOptional]). The field's name is its wire name.
#define SDK_BINDING_MEMBER(builder, field, ...)                                \
  (builder).Member(&std::remove_reference_t<decltype(builder)>::Record::field, \
                   #field __VA_OPT__(, ) __VA_ARGS__)

#endif  // SDK_BINDING_RECORD_BUILDER_H_
