// Registration of the platform's records and events.
#include "sdk/host/platform_types.h"

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"

namespace sdk::host {
namespace {

using sdk::binding::BindingRegistry;
using sdk::binding::EnumBuilder;
using sdk::binding::RecordBuilder;

void RegisterTypes(BindingRegistry& registry) {
  {
    EnumBuilder<PluginManagerState> state(registry, "PluginManagerState");
    state.Enumerator("NotReady", PluginManagerState::NotReady)
        .Enumerator("PluginsInitialized", PluginManagerState::PluginsInitialized)
        .Tags({kPlatformTag});
  }
  {
    RecordBuilder<PluginManagerResource> record(registry, "PluginManagerResource");
    SDK_BINDING_MEMBER(record, state);
    record.Tags({kPlatformTag});
  }
  {
    EnumBuilder<PluginResourceEventType> type(registry, "PluginResourceEventType");
    type.Enumerator("Create", PluginResourceEventType::Create)
        .Enumerator("Update", PluginResourceEventType::Update)
        .Enumerator("Delete", PluginResourceEventType::Delete)
        .Tags({kPlatformTag});
  }
  {
    RecordBuilder<PluginResourceEvent> record(registry, "PluginResourceEvent");
    SDK_BINDING_MEMBER(record, uri);
    SDK_BINDING_MEMBER(record, eventType);
    SDK_BINDING_MEMBER(record, data);
    record.Tags({kPlatformTag});
  }
  {
    RecordBuilder<PluginLcdsEvent> record(registry, "PluginLcdsEvent");
    SDK_BINDING_MEMBER(record, clientId);
    SDK_BINDING_MEMBER(record, subtopic);
    SDK_BINDING_MEMBER(record, typeName);
    SDK_BINDING_MEMBER(record, body);
    record.Tags({kPlatformTag});
  }
  {
    RecordBuilder<PluginLcdsResponse> record(registry, "PluginLcdsResponse");
    SDK_BINDING_MEMBER(record, typeName);
    SDK_BINDING_MEMBER(record, body);
    record.Tags({kPlatformTag});
  }
  {
    RecordBuilder<PluginServiceProxyResponse> record(registry, "PluginServiceProxyResponse");
    SDK_BINDING_MEMBER(record, uuid);
    SDK_BINDING_MEMBER(record, serviceName);
    SDK_BINDING_MEMBER(record, methodName);
    SDK_BINDING_MEMBER(record, payload);
    SDK_BINDING_MEMBER(record, status);
    SDK_BINDING_MEMBER(record, error);
    record.Tags({kPlatformTag});
  }
}

template <typename Payload>
void RegisterEvent(BindingRegistry& registry, std::string_view name, std::string_view description) {
  const auto [event, created] = registry.FindOrAddEvent(name);
  if (!created) return;
  event->type = sdk::binding::BindNativeType<Payload>(registry).type;
  event->description = std::string(description);
  event->tags = {std::string(kPlatformTag)};
}

}  // namespace

void RegisterPlatformTypes(BindingRegistry& registry) {
  RegisterTypes(registry);
  RegisterEvent<PluginResourceEvent>(registry, kOnJsonApiEvent,
                                     "Fired when a resource is changed.");
  RegisterEvent<PluginLcdsEvent>(registry, kOnLcdsEvent,
                                 "Fired when a message is received over the LCDS connection.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, kOnServiceProxyUuidEvent,
      "Fired when a uuid-based service proxy message is received.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, kOnServiceProxyMethodEvent,
      "Fired when a method-based service proxy message is received.");
  RegisterEvent<PluginServiceProxyResponse>(
      registry, kOnServiceProxyAsyncEvent,
      "Fired when an async service proxy message is received.");
}

}  // namespace sdk::host
