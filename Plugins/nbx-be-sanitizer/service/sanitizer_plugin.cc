// The sanitizer's plug-in object (sanitizer_plugin.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_plugin.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Plugins/nbx-be-sanitizer/service/configuration_inputs.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/trace.h"
#include "sdk/dispatch/route.h"
#include "sdk/host/host_stream.h"
#include "sdk/host/platform_types.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::service {

using sdk::diagnostics::kCategoryDbg;
using sdk::diagnostics::kLogAlways;
using sdk::diagnostics::Log;
using sdk::host::PluginResourceEvent;
using sdk::host::PluginResourceEventType;

SanitizerPlugin::SanitizerPlugin()
    : service_([this](std::string_view name) { return OpenResource(name); },
               [this](const SanitizerStatus& status) { PublishStatus(status); }) {}

SanitizerPlugin::~SanitizerPlugin() {
  // A delivery that began before Finalize may still be inside the service.
  WaitForDeliveries();
}

void SanitizerPlugin::Finalize() {
  Log(kLogAlways, kCategoryDbg, "Finalize: shutting down...");
  // First, so that a configuration event whose delivery is already under way cannot build an
  // engine once the plug-in has been finalised; it waits for one that is building.
  service_.StopConfiguring();
  PluginBase::Finalize();
  Log(kLogAlways, kCategoryDbg, "Finalize: shutdown complete.");
}

void SanitizerPlugin::RegisterApi() {
  RegisterSanitizerApi(endpoints(), type_name_prefix(), api_tags(), service_);
}

bool SanitizerPlugin::Initialize() {
  Log(kLogAlways, kCategoryDbg,
      "SanitizerPlugin::Initialize: configuring and initializing the plugin...");
  service_.LoadCharTables();
  SubscribeResource(kConfigurationUri, [this](const PluginResourceEvent& event) {
    service_.OnConfigurationEvent(event.data);
  });
  SubscribeResource(kRegionLocaleUri, [this](const PluginResourceEvent& event) {
    service_.OnRegionLocaleEvent(event.data, event.eventType == PluginResourceEventType::Delete);
  });
  Log(kLogAlways, kCategoryDbg, "Initialize: initialization complete.");
  return true;
}

std::u32string SanitizerPlugin::OpenResource(std::string_view name) {
  std::string path(kAssetPathPrefix);
  path.append(name);
  sdk::host::HostOutcome<sdk::host::HostStream> stream =
      RequestStream(sdk::dispatch::HttpMethod::kGet, path);
  if (!stream.ok()) return {};
  sdk::diagnostics::Trace("OpenResource: Using resource=%s, length=%d", path.c_str(),
                          static_cast<int>(path.size()));
  const sdk::host::HostOutcome<std::vector<uint8_t>> bytes = ReadAll(stream.value());
  if (!bytes.ok()) return {};
  const std::vector<uint8_t>& content = bytes.value();
  return sdk::text::Utf8ToUtf32(
      std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

void SanitizerPlugin::PublishStatus(const SanitizerStatus& status) {
  sdk::binding::BindingResult converted;
  sdk::binding::ToValue(registry(), converted, status);
  if (!converted.ok()) {
    const sdk::binding::TypeBinding type =
        sdk::binding::BindNativeType<SanitizerStatus>(registry());
    const std::string type_name = type.converter_type != nullptr
                                      ? std::string(type.converter_type->name)
                                      : std::string(type.static_type->DisplayText());
    const std::string uri(kStatusPath);
    sdk::diagnostics::Trace("%s: Couldn't convert resource %s for event uri \"%s\"",
                            short_name().c_str(), type_name.c_str(), uri.c_str());
    return;
  }
  PluginResourceEvent event;
  event.uri = std::string(kStatusPath);
  event.eventType = PluginResourceEventType::Create;
  event.data = std::move(converted.value());
  // A send that fails (the event record does not convert) has nothing left to report to: the
  // base writes no log line for it, and neither does the publisher.
  (void)SendEvent(sdk::host::kOnJsonApiEvent, event);
}

}  // namespace sanitizer::service
