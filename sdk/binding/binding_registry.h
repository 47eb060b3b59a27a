// BindingRegistry: the per-plug-in registry of native types, declared functions and events.
//
// Every native record or enum that crosses the plug-in boundary is registered here once, at
// start-up, as a TypeRecord: its size, name, identity (StaticType), description, tags, and its
// members (FieldRecord: name, offset, type, flags, converter) or its enumerators
// (EnumValueRecord). The converters of native_conversion.h walk these records to turn a native
// record into a BindingValue and back; the help and the API description read them. Beside the
// types the registry keeps the function table that the dispatch layer fills and the event table.
//
// Registration is first-wins: a type, function or event name registers once, and a second
// registration of the name changes nothing. A fresh (or reset) registry already holds the
// built-in vocabulary of builtin_types.h.
//
// Locking: one mutex guards the type maps and the function and event tables; registration and
// every lookup by name or identity take it. Conversions take no lock: they use the records that
// registration resolved. Records are never removed except by Reset, so pointers to them stay
// valid until then (and until the registry is destroyed). Native records are normally
// registered with the templates of record_builder.h rather than with TypeBuilder directly.
#ifndef SDK_BINDING_BINDING_REGISTRY_H_
#define SDK_BINDING_BINDING_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sdk/binding/binding_value.h"
#include "sdk/binding/function_record.h"
#include "sdk/binding/static_type.h"
#include "sdk/binding/type_descriptor.h"
#include "sdk/binding/value_converter.h"

namespace sdk::binding {

class BindingRegistry;
struct TypeRecord;

// Flags of a struct member.
enum MemberFlags : uint32_t {
  // On output the member is left out when its value holds the default (empty; false; 0; 0.0;
  // an empty text, blob, collection or structure; enum 0).
  kOmitWhenDefault = 1,
  // On input a member that is absent or empty is an error.
  kRequired = 2,
};

struct EnumValueRecord {
  int32_t value = 0;
  std::string name;
  std::string description;
  const TypeRecord* owner = nullptr;
};

// One member of a registered struct. The TypeBinding part gives its native type's identity,
// its descriptors, its converter and its optional mark.
struct FieldRecord : TypeBinding {
  std::string name;
  TextHash name_hash;  // FNV-1a of the name, as the value trees intern it
  std::string description;
  uint32_t offset = 0;  // byte offset inside the native record
  uint32_t flags = 0;   // MemberFlags
  const TypeRecord* owner = nullptr;
};

// One registered struct or enum.
struct TypeRecord {
  uint32_t size = 0;  // the native record's size as registered
  bool is_enum = false;
  std::string name;
  uint32_t static_id = 0;
  const StaticType* static_type = nullptr;
  std::string name_space;
  std::string description;
  std::vector<std::string> tags;
  std::vector<FieldRecord> members;  // struct types, in registration order
  std::map<std::string, EnumValueRecord, std::less<>> enumerators;  // enum types, by name
  const BindingRegistry* registry = nullptr;

  // is-valid-enumerator: whether some enumerator has the number.
  bool HasEnumerator(int32_t value) const;
  // The enumerator of that exact name, or null.
  const EnumValueRecord* FindEnumerator(std::string_view name) const;
};

// Builds one TypeRecord (begin-type and the calls that follow it). When a type of the same name
// exists already the builder is inactive and every call on it does nothing, so the first
// registration of a name wins.
class TypeBuilder {
 public:
  // begin-type. A type whose identity is the no-type identity is entered by name only.
  TypeBuilder(BindingRegistry& registry, uint32_t size, std::string_view name,
              const StaticType& static_type, bool is_enum);

  bool active() const { return record_ != nullptr; }
  // The record being built; null when inactive.
  const TypeRecord* record() const { return record_; }
  BindingRegistry& registry() const { return *registry_; }

  // add-member: appends a member (struct types).
  TypeBuilder& AddMember(std::string_view name, std::string_view description, uint32_t offset,
                         const TypeBinding& binding, uint32_t flags);
  // add-enumerator: inserts or replaces the enumerator of that name.
  TypeBuilder& AddEnumerator(std::string_view name, int32_t value, std::string_view description);
  TypeBuilder& SetDescription(std::string_view description);
  TypeBuilder& SetNameSpace(std::string_view name_space);
  // add-tag: appends the tag; an empty tag is ignored.
  TypeBuilder& AddTag(std::string_view tag);
  // add-tags: appends every tag in order, empty ones included.
  TypeBuilder& AddTags(std::span<const std::string> tags);
  TypeBuilder& AddTags(std::initializer_list<std::string_view> tags);

 private:
  BindingRegistry* registry_;
  TypeRecord* record_ = nullptr;
};

class BindingRegistry {
 public:
  // A registry holding the built-in vocabulary.
  BindingRegistry();
  ~BindingRegistry();
  BindingRegistry(const BindingRegistry&) = delete;
  BindingRegistry& operator=(const BindingRegistry&) = delete;

  // find-type: the record registered for the identity, or null (always null for the no-type
  // identity).
  const TypeRecord* FindType(const StaticType& static_type) const {
    return FindType(static_type.id());
  }
  const TypeRecord* FindType(uint32_t static_id) const;
  const TypeRecord* FindTypeByName(std::string_view name) const;
  // enumerator-name: the name of the first enumerator, in name order, of the enum type with
  // that identity whose number is `value`; nothing when the type or the number is unknown.
  // The text belongs to the registry.
  std::optional<std::string_view> EnumeratorName(uint32_t static_id, int32_t value) const;
  // The registered types in registration order.
  std::vector<const TypeRecord*> Types() const;

  // The function table. FindOrAddFunction returns the record of that name and whether this
  // call created it; a new record holds only its name, and its creator (the declaration of an
  // endpoint, during registration) fills the rest before any request is served. A second
  // declaration of a name gets created == false and must leave the record as it is.
  std::pair<FunctionRecord*, bool> FindOrAddFunction(std::string_view name);
  const FunctionRecord* FindFunction(std::string_view name) const;
  // The functions in the order of their first declaration.
  std::vector<const FunctionRecord*> Functions() const;

  // The event table, first-wins like the functions.
  std::pair<EventRecord*, bool> FindOrAddEvent(std::string_view name);
  const EventRecord* FindEvent(std::string_view name) const;
  std::vector<const EventRecord*> Events() const;

  // Clears the types, functions and events and registers the built-in vocabulary again. Every
  // record pointer taken before is invalid afterwards; no conversion or lookup may run
  // meanwhile.
  void Reset();

  // The registry's mutex, for tables that live beside the registry (the dispatch layer's
  // endpoints). It is not recursive: do not call the registry's own functions while holding it.
  std::mutex& mutex() const { return mutex_; }

 private:
  friend class TypeBuilder;

  // Hash of the identity map: FNV-1a over the identifier's four bytes, low byte first.
  struct IdentityHash {
    size_t operator()(uint32_t id) const {
      const char bytes[4] = {static_cast<char>(id), static_cast<char>(id >> 8),
                             static_cast<char>(id >> 16), static_cast<char>(id >> 24)};
      return Fnv1a32(std::string_view(bytes, 4));
    }
  };
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  template <typename Record>
  using ByName = std::unordered_map<std::string, Record*, TextHash, std::equal_to<>>;

  void ClearTables();

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TypeRecord>> types_;
  ByName<TypeRecord> types_by_name_;
  std::unordered_map<uint32_t, TypeRecord*, IdentityHash> types_by_id_;
  std::vector<std::unique_ptr<FunctionRecord>> functions_;
  ByName<FunctionRecord> functions_by_name_;
  std::vector<std::unique_ptr<EventRecord>> events_;
  ByName<EventRecord> events_by_name_;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_BINDING_REGISTRY_H_
