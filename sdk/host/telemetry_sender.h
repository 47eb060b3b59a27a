// TelemetrySender: sends telemetry events to the host's telemetry resource.
//
// SendTelemetry(name, data) posts `data` as the typed arguments of a request to
// "/telemetry/v1/events/<name>" and gives back a future of the outcome. Requests to the host are
// synchronous and the plug-in starts no thread, so the future is ready when SendTelemetry
// returns; callers that wait on it never block. Start creates the sender; it lives as long as
// the plug-in.
#ifndef SDK_HOST_TELEMETRY_SENDER_H_
#define SDK_HOST_TELEMETRY_SENDER_H_

#include <future>
#include <string_view>

#include "sdk/binding/binding_value.h"
#include "sdk/host/host_stream.h"

namespace sdk::host {

class PluginBase;

class TelemetrySender {
 public:
  explicit TelemetrySender(PluginBase& plugin) : plugin_(&plugin) {}

  // The outcome is the response's result as a value, or the request's error.
  std::future<HostOutcome<sdk::binding::BindingValue>> SendTelemetry(
      std::string_view event_name, const sdk::binding::BindingValue& data);

 private:
  PluginBase* plugin_;
};

}  // namespace sdk::host

#endif  // SDK_HOST_TELEMETRY_SENDER_H_
