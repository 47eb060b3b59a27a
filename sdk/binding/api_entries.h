// ApiEntries: the registry's functions, types and events as the flat, pointer-linked entries of
// the API description that the plug-in hands its host (the layouts are those of
// sdk/host/plugin_abi.h: PluginFunctionEntry, PluginTypeEntry, PluginEventEntry and the argument,
// member and enumerator entries below them).
//
// The entries are built once, after the plug-in has declared everything, and describe:
//  - every function in the order of the registry's function table, with its arguments in
//    declaration order; a type reference takes an argument's (or the return value's) second
//    descriptor when that one's code is not kNone, else the first;
//  - every registered type in registration order, a struct with its members in registration
//    order (chosen descriptor as for arguments), an enum with its enumerators in name order;
//  - every declared event with the name of its payload type.
// A type reference carries codes 1-19 unchanged (any other code becomes 0) and, for a vector,
// enum, struct or map whose descriptor names a registered type, that type's name; otherwise the
// empty text.
//
// Ownership. Texts are borrowed from the registry (its records' strings), so the entries are
// valid only while the registry and its records stay unchanged. Every array (the three lists,
// argument, member and enumerator arrays, tag arrays) belongs to the ApiEntries object and holds
// exactly its entries; an empty list is a null pointer with a count of 0. Each entry's `next`
// points to the entry after it in the same array and is null in the last one, so the host may
// walk a list as a chain or by index. The object is neither copied nor moved once built, since
// the entries point at each other.
#ifndef SDK_BINDING_API_ENTRIES_H_
#define SDK_BINDING_API_ENTRIES_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "sdk/binding/type_descriptor.h"
#include "sdk/host/plugin_abi.h"

namespace sdk::binding {

class BindingRegistry;
struct TypeBinding;

// The type reference of a member, argument or return value (see the file comment).
PluginTypeReference MakeTypeReference(const TypeBinding& binding);

class ApiEntries {
 public:
  // Reads the registry's tables (each under the registry's mutex) and builds every entry.
  static std::unique_ptr<ApiEntries> Build(const BindingRegistry& registry);

  ApiEntries(const ApiEntries&) = delete;
  ApiEntries& operator=(const ApiEntries&) = delete;

  std::span<const PluginFunctionEntry> functions() const {
    return {functions_.get(), function_count_};
  }
  std::span<const PluginTypeEntry> types() const { return {types_.get(), type_count_}; }
  std::span<const PluginEventEntry> events() const { return {events_.get(), event_count_}; }
  // Null for an empty list, as the description hands them over.
  const PluginFunctionEntry* function_list() const { return functions_.get(); }
  const PluginTypeEntry* type_list() const { return types_.get(); }
  const PluginEventEntry* event_list() const { return events_.get(); }

  // The function entry of that name, or null.
  const PluginFunctionEntry* FindFunction(std::string_view name) const;

 private:
  ApiEntries() = default;

  std::unique_ptr<PluginFunctionEntry[]> functions_;
  uint32_t function_count_ = 0;
  std::unique_ptr<PluginTypeEntry[]> types_;
  uint32_t type_count_ = 0;
  std::unique_ptr<PluginEventEntry[]> events_;
  uint32_t event_count_ = 0;
  // The arrays below the entries, each allocated to its exact size.
  std::vector<std::unique_ptr<PluginArgumentEntry[]>> argument_arrays_;
  std::vector<std::unique_ptr<PluginMemberEntry[]>> member_arrays_;
  std::vector<std::unique_ptr<PluginEnumeratorEntry[]>> enumerator_arrays_;
  std::vector<std::unique_ptr<const char*[]>> tag_arrays_;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_API_ENTRIES_H_
