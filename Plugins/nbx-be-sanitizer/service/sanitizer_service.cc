// The sanitizer's state and configuration flow (sanitizer_service.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "sdk/diagnostics/log.h"

namespace sanitizer::service {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Writes the engine's per-level counts into a status map, keyed by the level in decimal.
// Levels the engine does not report keep the entry they had.
void StoreCounts(const LevelCounts& counts, std::map<std::string, uint32_t>& target) {
  for (const auto& [level, count] : counts) target[std::to_string(level)] = count;
}

}  // namespace

SanitizerService::SanitizerService(AssetLoader asset_loader, StatusPublisher publish_status)
    : asset_loader_(std::move(asset_loader)), publish_status_(std::move(publish_status)) {}

void SanitizerService::LoadCharTables() {
  const Lock lock(configure_mutex_);
  if (stopped_) return;
  std::shared_ptr<SanitizerSnapshot> next;
  std::shared_ptr<const SanitizerUtils> tables;
  try {
    tables = SanitizerUtils::Create(asset_loader_);
    next = std::make_shared<SanitizerSnapshot>(*snapshot_.Load());
  } catch (const std::exception& error) {
    sdk::diagnostics::Log(sdk::diagnostics::kLogError, sdk::diagnostics::kCategoryDbg,
                          "LoadCharTables: the character tables could not be loaded (%s)",
                          error.what());
    return;
  }
  utils_ = std::move(tables);
  next->status.breakingCharsCount = utils_->breaking_chars_count();
  next->status.projectedCharsCount = utils_->projected_chars_count();
  snapshot_.Publish(std::move(next));
}

void SanitizerService::OnConfigurationEvent(const sdk::binding::BindingValue& data) {
  ConfigurationLists lists = ReadConfigurationLists(data);
  const Lock lock(configure_mutex_);
  Configure(lists.whitelistEnabled, configuredRegion_, configuredLocale_,
            std::move(lists.adhocIncludes), std::move(lists.adhocExcludes),
            std::move(lists.adhocWhitelist));
}

void SanitizerService::OnRegionLocaleEvent(const sdk::binding::BindingValue& data, bool deleted) {
  RegionLocale region_locale = ReadRegionLocale(data, deleted);
  const Lock lock(configure_mutex_);
  Configure(whitelistEnabled_, std::move(region_locale.region), std::move(region_locale.locale),
            adhocIncludes_, adhocExcludes_, adhocWhitelist_);
}

bool SanitizerService::Configure(bool whitelistEnabled, std::string region, std::string locale,
                                 LevelTexts includes, LevelTexts excludes, LevelTexts whitelist) {
  const Lock lock(configure_mutex_);
  if (stopped_) return false;
  const std::shared_ptr<const SanitizerSnapshot> current = snapshot_.Load();
  if (current->status.ready && whitelistEnabled == whitelistEnabled_ &&
      region == configuredRegion_ && locale == configuredLocale_ && includes == adhocIncludes_ &&
      excludes == adhocExcludes_ && whitelist == adhocWhitelist_) {
    return false;
  }
  whitelistEnabled_ = whitelistEnabled;
  configuredRegion_ = std::move(region);
  configuredLocale_ = std::move(locale);
  adhocIncludes_ = std::move(includes);
  adhocExcludes_ = std::move(excludes);
  adhocWhitelist_ = std::move(whitelist);
  if (configuredLocale_.empty()) return false;

  sdk::diagnostics::Log(
      sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryDbg,
      "Configure: region=%s, locale=%s, adhocIncludes.size=%d, "
      "adhocExcludes.size=%d, adhocWhitelist.size=%d, whitelistEnabled=%s",
      configuredRegion_.c_str(), configuredLocale_.c_str(), static_cast<int>(adhocIncludes_.size()),
      static_cast<int>(adhocExcludes_.size()), static_cast<int>(adhocWhitelist_.size()),
      whitelistEnabled_ ? "true" : "false");
  std::shared_ptr<const SanitizerSnapshot> published;
  try {
    published = BuildSnapshot(*current);
  } catch (const std::exception& error) {
    // Nothing from a configuration event may end the process: the engine in use stays.
    sdk::diagnostics::Log(sdk::diagnostics::kLogError, sdk::diagnostics::kCategoryDbg,
                          "Configure: the engine could not be built (%s); the one in use stays",
                          error.what());
    return false;
  }
  snapshot_.Publish(published);
  if (publish_status_) publish_status_(published->status);
  return true;
}

std::shared_ptr<const SanitizerSnapshot> SanitizerService::BuildSnapshot(
    const SanitizerSnapshot& current) {
  // Engines share the character tables; before they are loaded an engine gets empty ones, as
  // if every character asset were missing.
  if (utils_ == nullptr) utils_ = std::make_shared<const SanitizerUtils>(nullptr);
  std::shared_ptr<const SanitizerEngine> engine =
      BuildEngine(utils_, whitelistEnabled_, configuredRegion_, configuredLocale_, adhocIncludes_,
                  adhocExcludes_, adhocWhitelist_, asset_loader_);
  auto next = std::make_shared<SanitizerSnapshot>();
  next->status = current.status;
  next->status.ready = true;
  next->status.region = configuredRegion_;
  next->status.locale = configuredLocale_;
  next->status.allowedCharsCount = engine->allowed_chars_count();
  StoreCounts(engine->filtered_word_counts(), next->status.filteredWordCountsByLevel);
  StoreCounts(engine->whitelisted_word_counts(), next->status.whitelistedWordCountsByLevel);
  next->engine = std::move(engine);
  return next;
}

void SanitizerService::StopConfiguring() {
  const Lock lock(configure_mutex_);
  stopped_ = true;
}

RegionLocale SanitizerService::configuredRegionLocale() const {
  const Lock lock(configure_mutex_);
  return RegionLocale{configuredRegion_, configuredLocale_};
}

ConfigurationLists SanitizerService::configuredLists() const {
  const Lock lock(configure_mutex_);
  return ConfigurationLists{adhocIncludes_, adhocExcludes_, adhocWhitelist_, whitelistEnabled_};
}

}  // namespace sanitizer::service
