// Registration of the built-in vocabulary (see builtin_types.h), and the compile-time check of
// the event payloads' 32-bit layout.
#include "sdk/binding/builtin_types.h"

#include <cstddef>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/record_builder.h"

namespace sdk::binding {

#if UINTPTR_MAX == 0xFFFFFFFFu
// The figures the host knows for the 32-bit target.
static_assert(sizeof(BindingValue) == 16);
static_assert(sizeof(BindingGenericEvent) == 16 && offsetof(BindingGenericEvent, data) == 0);
static_assert(sizeof(BindingCallbackEvent) == 16 && offsetof(BindingCallbackEvent, id) == 0 &&
              offsetof(BindingCallbackEvent, parameters) == 4);
static_assert(sizeof(BindingGenericAsyncEvent) == 24 &&
              offsetof(BindingGenericAsyncEvent, asyncToken) == 0 &&
              offsetof(BindingGenericAsyncEvent, data) == 8);
static_assert(sizeof(BindingAsyncFailureEvent) == 28 &&
              offsetof(BindingAsyncFailureEvent, asyncToken) == 0 &&
              offsetof(BindingAsyncFailureEvent, error) == 4);
static_assert(sizeof(BindingAsyncCancelEvent) == 4 &&
              offsetof(BindingAsyncCancelEvent, asyncToken) == 0);
static_assert(sizeof(BindingAsyncState) == 4);
#endif

namespace {

void RegisterHelpTypes(BindingRegistry& registry) {
  {
    EnumBuilder<BindingHelpFormat> format(registry, "BindingHelpFormat");
    format.Enumerator("Full", BindingHelpFormat::Full, "Native help format")
        .Enumerator("Epytext", BindingHelpFormat::Epytext, "Python epytext format")
        .Description("Help format for binding functions and types.")
        .Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullTypeIdentifier> record(registry, "BindingFullTypeIdentifier");
    SDK_BINDING_MEMBER(record, type);
    SDK_BINDING_MEMBER(record, elementType);
    record.Description("Describes the type of a value.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullArgumentHelp> record(registry, "BindingFullArgumentHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, type);
    SDK_BINDING_MEMBER(record, optional);
    record.Description("Describes a function parameter.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullFunctionHelp> record(registry, "BindingFullFunctionHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, nameSpace);
    SDK_BINDING_MEMBER(record, arguments);
    SDK_BINDING_MEMBER(record, returns);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, help);
    SDK_BINDING_MEMBER(record, threadSafe);
    SDK_BINDING_MEMBER(record, async);
    SDK_BINDING_MEMBER(record, tags);
    record.Description("Describes a function.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullEnumValueHelp> record(registry, "BindingFullEnumValueHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, value);
    record.Description("Describes an enumerator.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullFieldHelp> record(registry, "BindingFullFieldHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, offset);
    SDK_BINDING_MEMBER(record, type);
    SDK_BINDING_MEMBER(record, optional);
    record.Description("Describes a member of a struct.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullTypeHelp> record(registry, "BindingFullTypeHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, nameSpace);
    SDK_BINDING_MEMBER(record, size);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, tags);
    SDK_BINDING_MEMBER(record, fields);
    SDK_BINDING_MEMBER(record, values);
    record.Description("Describes a struct or enum type.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullEventHelp> record(registry, "BindingFullEventHelp");
    SDK_BINDING_MEMBER(record, name);
    SDK_BINDING_MEMBER(record, nameSpace);
    SDK_BINDING_MEMBER(record, type);
    SDK_BINDING_MEMBER(record, description);
    SDK_BINDING_MEMBER(record, tags);
    record.Description("Describes an event.").Tags({"$builtin", "help"});
  }
  {
    RecordBuilder<BindingFullApiHelp> record(registry, "BindingFullApiHelp");
    SDK_BINDING_MEMBER(record, functions);
    SDK_BINDING_MEMBER(record, types);
    SDK_BINDING_MEMBER(record, events);
    record.Description("Describes the exposed native API.").Tags({"$builtin", "help"});
  }
}

void RegisterAsyncTypes(BindingRegistry& registry) {
  {
    EnumBuilder<BindingAsyncState> state(registry, "BindingAsyncState");
    state.Enumerator("None", BindingAsyncState::None, "Invalid state")
        .Enumerator("Running", BindingAsyncState::Running, "The operation is in flight")
        .Enumerator("Cancelling", BindingAsyncState::Cancelling,
                    "A request to cancel the operation has been made")
        .Enumerator("Cancelled", BindingAsyncState::Cancelled, "The operation was cancelled")
        .Enumerator("Succeeded", BindingAsyncState::Succeeded,
                    "The operation completed successfully")
        .Enumerator("Failed", BindingAsyncState::Failed, "The operation encountered an error")
        .Description("Possible states of an asynchronous operation.")
        .Tags({"$builtin", "async"});
  }
  {
    RecordBuilder<BindingGenericEvent> record(registry, "BindingGenericEvent");
    SDK_BINDING_MEMBER(record, data, "Event data");
    record.Description("Represents generic data for an event.").Tags({"$builtin"});
  }
  {
    RecordBuilder<BindingCallbackEvent> record(registry, "BindingCallbackEvent");
    SDK_BINDING_MEMBER(record, id, "ID of the callback being invoked");
    SDK_BINDING_MEMBER(record, parameters, "Callback parameters");
    record.Description("Represents the parameters of a call to a provided callback.")
        .Tags({"$builtin"});
  }
  {
    RecordBuilder<BindingGenericAsyncEvent> record(registry, "BindingGenericAsyncEvent");
    SDK_BINDING_MEMBER(record, asyncToken, "Asynchronous operation token");
    SDK_BINDING_MEMBER(record, data, "Event data");
    record.Description("Represents generic data for an asynchronous event.")
        .Tags({"$builtin", "async"});
  }
  {
    RecordBuilder<BindingAsyncFailureEvent> record(registry, "BindingAsyncFailureEvent");
    SDK_BINDING_MEMBER(record, asyncToken, "Asynchronous operation token");
    SDK_BINDING_MEMBER(record, error, "Error message");
    record.Description("Represents a failed asynchronous operation.").Tags({"$builtin", "async"});
  }
  {
    RecordBuilder<BindingAsyncCancelEvent> record(registry, "BindingAsyncCancelEvent");
    SDK_BINDING_MEMBER(record, asyncToken, "Asynchronous operation token");
    record.Description("Represents a cancelled asynchronous operation.")
        .Tags({"$builtin", "async"});
  }
}

void RegisterBuiltinEvents(BindingRegistry& registry) {
  const auto [event, created] = registry.FindOrAddEvent(kOnCallbackEventName);
  if (!created) return;
  event->type = BindNativeType<BindingCallbackEvent>(registry).type;
  event->description = "Fired when a callback is invoked.";
  event->tags = {"$builtin"};
}

}  // namespace

void RegisterBuiltins(BindingRegistry& registry) {
  RegisterHelpTypes(registry);
  RegisterAsyncTypes(registry);
  RegisterBuiltinEvents(registry);
}

}  // namespace sdk::binding
