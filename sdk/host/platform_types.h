// The platform's own records and events, which every plug-in registers in its binding registry
// before anything of its own: the resource-change event through which the host reports changes
// of resources (PluginResourceEvent, delivered as OnJsonApiEvent), the messages of the
// platform's LCDS connection and the service-proxy messages. All carry the tag "pclient".
//
// These are native records like any other; their members keep their wire names.
#ifndef SDK_HOST_PLATFORM_TYPES_H_
#define SDK_HOST_PLATFORM_TYPES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/binding/binding_value.h"

namespace sdk::binding {
class BindingRegistry;
}  // namespace sdk::binding

namespace sdk::host {

enum class PluginManagerState : int32_t {
  NotReady = 0,
  PluginsInitialized = 1,
};

struct PluginManagerResource {
  PluginManagerState state = PluginManagerState::NotReady;
};

enum class PluginResourceEventType : int32_t {
  Create = 0,
  Update = 1,
  Delete = 2,
};

struct PluginResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  sdk::binding::BindingValue data;
};

struct PluginLcdsEvent {
  std::string clientId;
  std::string subtopic;
  std::string typeName;
  sdk::binding::BindingValue body;
};

struct PluginLcdsResponse {
  std::string typeName;
  sdk::binding::BindingValue body;
};

struct PluginServiceProxyResponse {
  std::string uuid;
  std::string serviceName;
  std::string methodName;
  std::string payload;
  std::string status;
  std::string error;
};

// The platform's event names.
inline constexpr std::string_view kOnJsonApiEvent = "OnJsonApiEvent";
inline constexpr std::string_view kOnLcdsEvent = "OnLcdsEvent";
inline constexpr std::string_view kOnServiceProxyUuidEvent = "OnServiceProxyUuidEvent";
inline constexpr std::string_view kOnServiceProxyMethodEvent = "OnServiceProxyMethodEvent";
inline constexpr std::string_view kOnServiceProxyAsyncEvent = "OnServiceProxyAsyncEvent";

// The tag of every platform type and event.
inline constexpr std::string_view kPlatformTag = "pclient";

// Registers the seven types (PluginManagerState, PluginManagerResource,
// PluginResourceEventType, PluginResourceEvent, PluginLcdsEvent, PluginLcdsResponse,
// PluginServiceProxyResponse), then the five events, in that order. First-wins like every
// registration: names registered before keep their first definition.
void RegisterPlatformTypes(sdk::binding::BindingRegistry& registry);

}  // namespace sdk::host

#endif  // SDK_HOST_PLATFORM_TYPES_H_
