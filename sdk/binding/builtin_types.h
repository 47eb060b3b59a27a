// The built-in vocabulary that every binding registry holds before the plug-in registers
// anything: the help format enum and the eight help records that describe functions,
// arguments, types, members, enumerators, events and a whole API; the states of an
// asynchronous operation and the payload records of generic, callback and asynchronous events;
// and the event "OnCallback".
//
// These are native records like any other (their members keep their wire names), registered
// by RegisterBuiltins in a fixed order whenever a registry is created or reset. Because type
// names register once, a plug-in type of one of these names cannot replace them.
//
// The event payloads have a fixed layout on the 32-bit target (sizes 16, 16, 24, 28 and 4);
// a 64-bit build registers the native sizes and offsets, and a 32-bit build checks the target's
// figures at compile time.
#ifndef SDK_BINDING_BUILTIN_TYPES_H_
#define SDK_BINDING_BUILTIN_TYPES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sdk/binding/binding_value.h"

namespace sdk::binding {

class BindingRegistry;

enum class BindingHelpFormat : int32_t {
  Full = 1,
  Epytext = 2,
};

struct BindingFullTypeIdentifier {
  std::string type;
  std::string elementType;
};

struct BindingFullArgumentHelp {
  std::string name;
  std::string description;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullFunctionHelp {
  std::string name;
  std::string nameSpace;
  std::vector<BindingFullArgumentHelp> arguments;
  BindingFullTypeIdentifier returns;
  std::string description;
  std::string help;
  bool threadSafe = false;
  std::string async;
  std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
  std::string name;
  std::string description;
  int32_t value = 0;
};

struct BindingFullFieldHelp {
  std::string name;
  std::string description;
  uint32_t offset = 0;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullTypeHelp {
  std::string name;
  std::string nameSpace;
  uint32_t size = 0;
  std::string description;
  std::vector<std::string> tags;
  std::vector<BindingFullFieldHelp> fields;
  std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
  std::string name;
  std::string nameSpace;
  BindingFullTypeIdentifier type;
  std::string description;
  std::vector<std::string> tags;
};

struct BindingFullApiHelp {
  std::vector<BindingFullFunctionHelp> functions;
  std::vector<BindingFullTypeHelp> types;
  std::vector<BindingFullEventHelp> events;
};

enum class BindingAsyncState : int32_t {
  None = 0,
  Running = 1,
  Cancelling = 2,
  Cancelled = 3,
  Succeeded = 4,
  Failed = 5,
};

struct BindingGenericEvent {
  BindingValue data;
};

struct BindingCallbackEvent {
  uint32_t id = 0;
  std::vector<BindingValue> parameters;
};

struct BindingGenericAsyncEvent {
  uint32_t asyncToken = 0;
  // 8-aligned as on the 32-bit target, where the value's 64-bit payload aligns it to 8.
  alignas(8) BindingValue data;
};

struct BindingAsyncFailureEvent {
  uint32_t asyncToken = 0;
  std::string error;
};

struct BindingAsyncCancelEvent {
  uint32_t asyncToken = 0;
};

// The name of the built-in callback event.
inline constexpr std::string_view kOnCallbackEventName = "OnCallback";

// register-builtins: the help types, the async types and the event "OnCallback", in that
// order. The event is created only when absent.
void RegisterBuiltins(BindingRegistry& registry);

}  // namespace sdk::binding

#endif  // SDK_BINDING_BUILTIN_TYPES_H_
