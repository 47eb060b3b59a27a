// The host resources of the sanitizer plug-in (sanitizer_host_resources.h).
#include "tools/sanitizer/sanitizer_host_resources.h"

#include <system_error>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/host_json.h"
#include "tools/plugin_host/host_services.h"

namespace sanitizer::tool {

using plugin_host::HostError;
using plugin_host::OwnedHostValue;
using plugin_host::ResourceAnswer;
using plugin_host::ResourceEventType;
using plugin_host::ResourceRequest;
using plugin_host::Result;
using plugin_host::Status;

using SharedValue = std::shared_ptr<const OwnedHostValue>;

struct SanitizerHostResources::State {
  // The asset folder in its canonical form (empty when it could not be resolved), against which
  // every requested file is checked once its own symbolic links are resolved.
  std::filesystem::path canonical_folder;
  uint32_t chunk_size = 0;

  // Guards the two documents; held only to copy or swap a pointer.
  mutable std::mutex mutex;
  SharedValue configuration;
  SharedValue region_locale;

  SharedValue Load(const SharedValue& slot) const {
    const std::lock_guard<std::mutex> lock(mutex);
    return slot;
  }
};

namespace {

using State = SanitizerHostResources::State;

ResourceAnswer NotFound() { return ResourceAnswer::Error(404, "Not found"); }

// Answers GET with the document, 404 while there is none.
ResourceAnswer ServeDocument(const SharedValue& document, const ResourceRequest& request) {
  if (request.method() != kPluginMethodGet) {
    return ResourceAnswer::Error(405, "Method not allowed");
  }
  if (document == nullptr) return NotFound();
  return ResourceAnswer::Value(*document);
}

// The file an asset name stands for, or nothing when it would leave the folder. Symbolic links
// inside the folder are followed as long as they end inside it.
std::optional<std::filesystem::path> AssetPath(const State& state, std::string_view name) {
  if (!IsSafeAssetName(name) || state.canonical_folder.empty()) return std::nullopt;
  std::error_code error;
  const std::filesystem::path resolved =
      std::filesystem::weakly_canonical(state.canonical_folder / std::string(name), error);
  if (error) return std::nullopt;
  const std::filesystem::path relative = resolved.lexically_relative(state.canonical_folder);
  if (relative.empty() || *relative.begin() == "..") return std::nullopt;
  return resolved;
}

ResourceAnswer ServeAsset(const State& state, const ResourceRequest& request) {
  if (request.method() != kPluginMethodGet) {
    return ResourceAnswer::Error(405, "Method not allowed");
  }
  std::string_view name = request.path();
  if (name.substr(0, kAssetsPrefix.size()) != kAssetsPrefix) return NotFound();
  name.remove_prefix(kAssetsPrefix.size());
  const std::optional<std::filesystem::path> path = AssetPath(state, name);
  if (!path.has_value()) return ResourceAnswer::Error(400, "Invalid asset name");
  Result<std::unique_ptr<plugin_host::StreamSource>> stream = plugin_host::FileStream(*path);
  if (!stream.ok()) return NotFound();
  ResourceAnswer answer = ResourceAnswer::Stream(std::move(stream).value());
  answer.chunk_size = state.chunk_size;
  return answer;
}

std::filesystem::path CanonicalFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, error);
  if (error) return {};
  return canonical;
}

}  // namespace

Result<OwnedHostValue> ConfigurationFromJson(std::string_view json) {
  Result<OwnedHostValue> parsed = plugin_host::JsonToHostValue(json);
  if (!parsed.ok()) return parsed;
  if (parsed.value().kind() != plugin_host::HostValueKind::kStructure) {
    return HostError{"The configuration must be a JSON object"};
  }
  return parsed;
}

OwnedHostValue RegionLocaleValue(std::string_view region, std::string_view locale) {
  std::vector<plugin_host::HostMember> members;
  members.push_back({"region", OwnedHostValue::String(region)});
  members.push_back({"locale", OwnedHostValue::String(locale)});
  return OwnedHostValue::Structure(std::move(members));
}

bool IsSafeAssetName(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  if (name.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) return false;
  while (true) {
    const size_t slash = name.find('/');
    const std::string_view piece = name.substr(0, slash);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (slash == std::string_view::npos) return true;
    name.remove_prefix(slash + 1);
  }
}

SanitizerHostResources::SanitizerHostResources(plugin_host::PluginHost& host,
                                               HostResourceOptions options)
    : host_(host), state_(std::make_shared<State>()) {
  state_->canonical_folder = CanonicalFolder(options.asset_folder);
  state_->chunk_size = options.chunk_size;
  // Each provider holds the state, so it stays valid for as long as the host keeps it.
  const std::shared_ptr<const State> state = state_;
  host_.AddPrefixProvider(std::string(kAssetsPrefix), [state](const ResourceRequest& request) {
    return ServeAsset(*state, request);
  });
  host_.AddProvider(std::string(kConfigurationResource), [state](const ResourceRequest& request) {
    return ServeDocument(state->Load(state->configuration), request);
  });
  host_.AddProvider(std::string(kRegionLocaleResource), [state](const ResourceRequest& request) {
    return ServeDocument(state->Load(state->region_locale), request);
  });
}

SanitizerHostResources::~SanitizerHostResources() = default;

Status SanitizerHostResources::SetConfigurationJson(std::string_view json) {
  Result<OwnedHostValue> document = ConfigurationFromJson(json);
  if (!document.ok()) return HostError{document.error()};
  SetConfiguration(std::move(document).value());
  return Status::Ok();
}

void SanitizerHostResources::SetConfiguration(OwnedHostValue document) {
  Replace(&State::configuration, kConfigurationResource,
          std::make_shared<const OwnedHostValue>(std::move(document)), false);
}

void SanitizerHostResources::ClearConfiguration() {
  Replace(&State::configuration, kConfigurationResource, nullptr, false);
}

Result<size_t> SanitizerHostResources::UpdateConfigurationJson(std::string_view json) {
  Result<OwnedHostValue> document = ConfigurationFromJson(json);
  if (!document.ok()) return HostError{document.error()};
  return UpdateConfiguration(std::move(document).value());
}

size_t SanitizerHostResources::UpdateConfiguration(OwnedHostValue document) {
  return Replace(&State::configuration, kConfigurationResource,
                 std::make_shared<const OwnedHostValue>(std::move(document)), true);
}

size_t SanitizerHostResources::DeleteConfiguration() {
  return Replace(&State::configuration, kConfigurationResource, nullptr, true);
}

void SanitizerHostResources::SetRegionLocale(std::string_view region, std::string_view locale) {
  Replace(&State::region_locale, kRegionLocaleResource,
          std::make_shared<const OwnedHostValue>(RegionLocaleValue(region, locale)), false);
}

void SanitizerHostResources::ClearRegionLocale() {
  Replace(&State::region_locale, kRegionLocaleResource, nullptr, false);
}

size_t SanitizerHostResources::UpdateRegionLocale(std::string_view region,
                                                  std::string_view locale) {
  return Replace(&State::region_locale, kRegionLocaleResource,
                 std::make_shared<const OwnedHostValue>(RegionLocaleValue(region, locale)), true);
}

size_t SanitizerHostResources::DeleteRegionLocale() {
  return Replace(&State::region_locale, kRegionLocaleResource, nullptr, true);
}

std::optional<OwnedHostValue> SanitizerHostResources::configuration() const {
  const SharedValue document = state_->Load(state_->configuration);
  if (document == nullptr) return std::nullopt;
  return *document;
}

std::optional<OwnedHostValue> SanitizerHostResources::region_locale() const {
  const SharedValue document = state_->Load(state_->region_locale);
  if (document == nullptr) return std::nullopt;
  return *document;
}

size_t SanitizerHostResources::Replace(SharedValue State::*slot, std::string_view uri,
                                       SharedValue value, bool publish) {
  const std::lock_guard<std::mutex> serial(update_mutex_);
  const SharedValue current = value;
  {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    (state_.get()->*slot).swap(value);
  }
  // The previous document (now in `value`) is released here, outside the state's lock.
  value.reset();
  if (!publish) return 0;
  if (current == nullptr) {
    return host_.PublishResourceEvent(uri, ResourceEventType::kDelete, OwnedHostValue());
  }
  return host_.PublishResourceEvent(uri, ResourceEventType::kUpdate, *current);
}

}  // namespace sanitizer::tool
