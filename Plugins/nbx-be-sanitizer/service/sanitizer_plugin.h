// SanitizerPlugin: the library's one plug-in object, a PluginBase with the short name
// "sanitizer" and the backend type (full name "nbx-be-sanitizer").
//
// It owns the SanitizerService (status, configuration inputs, character tables and the engine
// snapshot) and supplies what the service needs of the host:
//  - the asset loader, OpenResource, which reads "/sanitizer/assets/<name>" as a streamed GET
//    request and decodes it from UTF-8; any failure gives an empty text and no log line;
//  - the two subscriptions made by Initialize, in this order: the configuration namespace
//    "/jat-platform-config/v1/namespaces/Sanitizer" and "/pavoclient/region-locale"; each reads
//    its resource at once, so the first engine is normally built before Initialize returns;
//  - the status publisher: after every rebuild the status goes out as "OnJsonApiEvent" with a
//    PluginResourceEvent (uri "/sanitizer/v1/status", Create, the status record as data), which
//    the base sends as OnJsonApiEvent_sanitizer_v1_status and then as OnJsonApiEvent.
// RegisterApi declares the five records and the three endpoints (sanitizer_resources.h).
//
// Life cycle: created by load_sanitizer, registered, started (Initialize), finalised and
// destroyed by Stop. Finalize ends configuration before the base ends the subscriptions, so no
// configuration event changes anything afterwards, not even one whose delivery began earlier;
// requests that the host still sends are served by the last engine. The destructor waits for
// deliveries still running before the service goes.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_PLUGIN_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_PLUGIN_H_

#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"
#include "sdk/host/plugin_base.h"

namespace sanitizer::service {

// The short name handed to Register, and the path under which the host serves the assets.
inline constexpr char kPluginShortName[] = "sanitizer";
inline constexpr std::string_view kAssetPathPrefix = "/sanitizer/assets/";

class SanitizerPlugin final : public sdk::host::PluginBase {
 public:
  SanitizerPlugin();
  // Waits for deliveries still running, then releases the engine and the character tables
  // (with the service) before the base goes.
  ~SanitizerPlugin() override;

  // Logs "Finalize: shutting down...", stops configuration, runs the base's Finalize (every
  // subscription ends at the host) and logs "Finalize: shutdown complete.".
  void Finalize() override;
  // The five records under the type-name prefix and the three endpoints, with the API tags.
  void RegisterApi() override;
  // Logs "SanitizerPlugin::Initialize: configuring and initializing the plugin...", loads the
  // character tables through OpenResource, subscribes to the two configuration resources and
  // logs "Initialize: initialization complete.". Always true: a missing asset gives an empty
  // table.
  bool Initialize() override;

  // The content of the asset `name` as served by the host, decoded from UTF-8; empty when the
  // request fails, the answer is not a stream, reading it fails or it is not UTF-8.
  std::u32string OpenResource(std::string_view name);

  const SanitizerService& service() const { return service_; }

 private:
  void PublishStatus(const SanitizerStatus& status);

  SanitizerService service_;
};

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_PLUGIN_H_
