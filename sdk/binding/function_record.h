// The registry's records of declared functions and events.
//
// A function record describes one native function that the plug-in offers (its arguments with
// their types and converters, its return type, its flags); the dispatch layer creates one per
// declared endpoint through BindingRegistry::FindOrAddFunction and its handlers convert the
// call's arguments and result with the converters kept here. An event record describes one
// event the plug-in raises or receives, with the registered type of its payload. Both are read
// by the help and the API description handed to the host.
#ifndef SDK_BINDING_FUNCTION_RECORD_H_
#define SDK_BINDING_FUNCTION_RECORD_H_

#include <string>
#include <vector>

#include "sdk/binding/type_descriptor.h"
#include "sdk/binding/value_converter.h"

namespace sdk::binding {

struct TypeRecord;

// One parameter of a function: its name, description, type, optional mark and converter.
struct FunctionArgument : TypeBinding {
  std::string name;
  std::string description;
};

struct FunctionRecord {
  std::string name;
  std::string name_space;
  std::string description;
  std::string help;
  std::vector<std::string> tags;
  std::vector<FunctionArgument> arguments;
  // The return type; its code is kNone when the function returns nothing.
  TypeBinding returns;
  bool thread_safe = false;
  bool async = false;
  // The registered type of the function's asynchronous event, used when `async` is set.
  const TypeRecord* async_event_type = nullptr;
};

struct EventRecord {
  std::string name;
  std::string name_space;
  // The payload's type (a registered struct).
  TypeDescriptor type;
  std::string description;
  std::vector<std::string> tags;
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_FUNCTION_RECORD_H_
