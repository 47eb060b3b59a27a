// Telemetry events as requests with typed arguments.
#include "sdk/host/telemetry_sender.h"

#include <string>
#include <utility>

#include "sdk/binding/host_value.h"
#include "sdk/host/plugin_base.h"

namespace sdk::host {

std::future<HostOutcome<sdk::binding::BindingValue>> TelemetrySender::SendTelemetry(
    std::string_view event_name, const sdk::binding::BindingValue& data) {
  std::promise<HostOutcome<sdk::binding::BindingValue>> promise;
  std::future<HostOutcome<sdk::binding::BindingValue>> future = promise.get_future();
  const std::string path = "/telemetry/v1/events/" + std::string(event_name);
  HostOutcome<HostResponse> response =
      plugin_->RequestWithArguments(sdk::dispatch::HttpMethod::kPost, path, data);
  if (!response.ok()) {
    promise.set_value(response.error());
    return future;
  }
  sdk::binding::HostErrorRecord error;
  sdk::binding::BindingValue value;
  if (!sdk::binding::FromHostValue(error, value, response.value().record().result, "result")) {
    std::string message =
        sdk::text::FormatMessage("Error converting response for %1 %2: %3", "POST", path,
                                 error.error_text != nullptr ? error.error_text : "");
    sdk::binding::ReleaseHostErrorRecord(error);
    promise.set_value(HostError{std::move(message), 0});
    return future;
  }
  promise.set_value(std::move(value));
  return future;
}

}  // namespace sdk::host
