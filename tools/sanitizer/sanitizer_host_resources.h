// SanitizerHostResources: the host resources that the sanitizer plug-in reads, served through a
// PluginHost (tools/plugin_host) for the programs that load nbx-be-sanitizer.so.
//
// The plug-in asks its host for three things, and this class answers all of them:
//  - its assets, "/sanitizer/assets/<name>": the files of one folder, each served as a streamed
//    response in chunks of a settable size. A file that is not there (or is not a regular file)
//    is answered 404; a name that could reach outside the folder (empty, absolute, with a "." or
//    ".." piece, an empty piece, a backslash or a NUL byte, or leading through a symbolic link to
//    a place outside the folder) is answered 400; another method than GET is answered 405;
//  - the platform configuration namespace "/jat-platform-config/v1/namespaces/Sanitizer": a JSON
//    object (the members Level0Filter ... Level3Whitelist and WhitelistEnabled), served as a
//    structure value; 404 while there is none;
//  - "/pavoclient/region-locale": the structure {"region", "locale"}; 404 while there is none.
//
// The configuration and the region and locale can be replaced at any time, also while requests
// run on other threads. Set... replaces what the next GET answers and tells the plug-in nothing
// (the plug-in reads both when it starts); Update... and Delete... replace it and then publish
// the resource event (Update with the new value, or Delete) to the plug-in's subscription, so the
// plug-in rebuilds its engine before the call returns. Updates are serialised: the documents the
// plug-in is sent arrive in the order in which they were stored, and the last one sent is the one
// a GET answers with. A request that the plug-in is running meanwhile keeps the engine it
// started with. Updates are meant for a started plug-in: an update published while Start runs
// may be overtaken by the plug-in's own first read of the resource.
//
// Usage (the `sanitizer` tool and `sanitizer serve`):
//
//   auto host = plugin_host::PluginHost::Load(library_path);
//   sanitizer::tool::SanitizerHostResources resources(*host.value(), {assets_folder});
//   resources.SetConfigurationJson(config_json);        // before Start; optional
//   resources.SetRegionLocale(region, locale);          // before Start; the locale builds
//   host.value()->Start();                              // reads assets and both resources
//   ... host.value()->Call(...) ...
//   resources.UpdateConfigurationJson(new_json);        // a live reload
//
// The providers installed on the host hold the served state themselves, so the host may outlive
// this object (it then keeps serving the last state); the Update and Delete calls publish through
// the host, which must outlive them. Every member may be called from any thread.
#ifndef TOOLS_SANITIZER_SANITIZER_HOST_RESOURCES_H_
#define TOOLS_SANITIZER_SANITIZER_HOST_RESOURCES_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/plugin_host/host_result.h"
#include "tools/plugin_host/owned_host_value.h"
#include "tools/plugin_host/plugin_host.h"

namespace sanitizer::tool {

inline constexpr std::string_view kAssetsPrefix = "/sanitizer/assets/";
inline constexpr std::string_view kConfigurationResource =
    "/jat-platform-config/v1/namespaces/Sanitizer";
inline constexpr std::string_view kRegionLocaleResource = "/pavoclient/region-locale";

struct HostResourceOptions {
  // The folder whose files are the assets.
  std::filesystem::path asset_folder;
  // At most this many bytes per read of an asset (0: as many as the plug-in asks for). The
  // plug-in reads 4096 bytes at a time and runs a wait step after every shorter read.
  uint32_t chunk_size = 0;
};

// A configuration document from JSON text: the whole text must be one JSON object. Fails with
// the JSON reader's message, or with "The configuration must be a JSON object" for any other
// JSON value.
plugin_host::Result<plugin_host::OwnedHostValue> ConfigurationFromJson(std::string_view json);

// The value served as the region-and-locale resource.
plugin_host::OwnedHostValue RegionLocaleValue(std::string_view region, std::string_view locale);

// Whether `name` (what follows kAssetsPrefix) may name a file of the asset folder: not empty,
// not absolute, no "", "." or ".." piece between its "/" separators, no backslash, no NUL.
bool IsSafeAssetName(std::string_view name);

class SanitizerHostResources {
 public:
  // Installs the providers of the three resources on `host` (replacing any there before). The
  // asset folder is looked up when each asset is requested; a missing folder has no assets.
  SanitizerHostResources(plugin_host::PluginHost& host, HostResourceOptions options);
  SanitizerHostResources(const SanitizerHostResources&) = delete;
  SanitizerHostResources& operator=(const SanitizerHostResources&) = delete;
  ~SanitizerHostResources();

  // The configuration document. Set* fail (changing nothing) when the text is not a JSON object,
  // and so do the Update* forms, which then send nothing. Update* and Delete* return how many of
  // the plug-in's callbacks the event reached (0 when the plug-in is not subscribed, for example
  // before Start or after Stop).
  plugin_host::Status SetConfigurationJson(std::string_view json);
  void SetConfiguration(plugin_host::OwnedHostValue document);
  void ClearConfiguration();
  plugin_host::Result<size_t> UpdateConfigurationJson(std::string_view json);
  size_t UpdateConfiguration(plugin_host::OwnedHostValue document);
  size_t DeleteConfiguration();

  // The region and locale, in the same way.
  void SetRegionLocale(std::string_view region, std::string_view locale);
  void ClearRegionLocale();
  size_t UpdateRegionLocale(std::string_view region, std::string_view locale);
  size_t DeleteRegionLocale();

  // Copies of what a GET answers with now; nothing while the resource is absent.
  std::optional<plugin_host::OwnedHostValue> configuration() const;
  std::optional<plugin_host::OwnedHostValue> region_locale() const;

  // The state the providers serve; defined in the .cc file.
  struct State;

 private:
  // Stores `value` (null: absent) in `slot`, then publishes the resource `uri`'s event when
  // asked.
  size_t Replace(std::shared_ptr<const plugin_host::OwnedHostValue> State::*slot,
                 std::string_view uri, std::shared_ptr<const plugin_host::OwnedHostValue> value,
                 bool publish);

  plugin_host::PluginHost& host_;
  std::shared_ptr<State> state_;
  // Held from storing a document to the end of its event, so that the plug-in is sent the
  // documents in the order in which they were stored.
  std::mutex update_mutex_;
};

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_SANITIZER_HOST_RESOURCES_H_
