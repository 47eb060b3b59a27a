// Events between a plug-in and its host: event names derived from resource paths, uri
// patterns, and the handlers that the plug-in base keeps per event name and per resource.
//
// The host tells a plug-in about changes by named events with a payload (a host value). A
// plug-in subscribes by name; the base (plugin_base.h) keeps, per name, one EventHandler that
// converts the payload into its record type and calls the plug-in's function. Resource events
// ("OnJsonApiEvent_<path pieces>") carry a PluginResourceEvent and are dispatched further by uri
// to exact and pattern handlers.
//
// Handlers are held by shared pointers: a delivery takes its own reference under the base's lock
// and calls the handler outside it, so replacing or removing a handler (Finalize, say) while a
// host thread runs it never frees what that thread uses.
#ifndef SDK_HOST_PLUGIN_EVENTS_H_
#define SDK_HOST_PLUGIN_EVENTS_H_

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/host/platform_types.h"

namespace sdk::host {

// The event name of a resource: "OnJsonApiEvent" and the uri's pieces between "/" (empty pieces
// dropped), joined by "_", at most 6 items in all when the first piece is
// "jat-platform-config" and at most 4 otherwise. "/sanitizer/v1/status" gives
// "OnJsonApiEvent_sanitizer_v1_status".
std::string EventNameFor(std::string_view uri);

// Whether a resource pattern (a uri holding "*") matches a uri. Pattern and uri are walked
// together: at a "*" a "/" of the uri passes over the "*" without being taken, any other uri
// character is taken, and when the uri is used up the "*" is passed over too; every other
// pattern character must equal the uri character. They match when both are used up together:
// "/a/*/c" matches "/a/b/c" and "/a//c" but not "/a/b/d/c"; "/a/*" matches "/a/b" but not "/a/"
// or "/a/b/c".
bool UriPatternMatches(std::string_view pattern, std::string_view uri);

// The handler of one event name.
class EventHandler {
 public:
  virtual ~EventHandler() = default;
  // The registered name of the payload's record type, for trace lines.
  virtual std::string_view RecordTypeName() const = 0;
  // Converts the payload into the record and calls the function with it. When the conversion
  // fails, the function is not called and the conversion's message goes to `error`.
  virtual bool Handle(const sdk::binding::BindingValue& payload, std::string& error) = 0;
};

// A handler whose payload converts into a registered record (or any type the registry
// converts) by the registry's value-to-native rules.
template <typename Record>
class TypedEventHandler final : public EventHandler {
 public:
  TypedEventHandler(const sdk::binding::BindingRegistry& registry,
                    std::function<void(const Record&)> function)
      : registry_(&registry),
        binding_(sdk::binding::BindNativeType<Record>(registry)),
        function_(std::move(function)) {}

  std::string_view RecordTypeName() const override {
    return binding_.converter_type != nullptr ? std::string_view(binding_.converter_type->name)
                                              : binding_.static_type->DisplayText();
  }

  bool Handle(const sdk::binding::BindingValue& payload, std::string& error) override {
    Record record{};
    sdk::binding::BindingResult result;
    binding_.converter->FromValue(result, &record, payload, "payload", binding_.converter_type,
                                  registry_);
    if (!result.ok()) {
      error.assign(result.ErrorMessage());
      return false;
    }
    if (function_) function_(record);
    return true;
  }

 private:
  const sdk::binding::BindingRegistry* registry_;
  sdk::binding::TypeBinding binding_;
  std::function<void(const Record&)> function_;
};

// The handler of a resource's events.
using ResourceHandler = std::function<void(const PluginResourceEvent& event)>;

// The handler of a service-proxy message.
using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse& response)>;

}  // namespace sdk::host

#endif  // SDK_HOST_PLUGIN_EVENTS_H_
