// SanitizerService: the state of the sanitizer plug-in and its configuration flow, without
// the host connection.
//
// It holds the published status and current engine (one SanitizerSnapshot), the configuration
// inputs last applied, and the shared character tables; it loads the tables, takes the two
// configuration resources' events, decides when the engine must be rebuilt and rebuilds it.
// The plug-in object owns one SanitizerService and supplies what needs the host:
//  - the asset loader, which reads "/sanitizer/assets/<name>" from the host (the tests read a
//    folder);
//  - the status publisher, called after every rebuild with the new status, which the plug-in
//    sends as its "OnJsonApiEvent" for "/sanitizer/v1/status";
//  - the subscriptions, whose handlers call OnConfigurationEvent and OnRegionLocaleEvent.
// The three resources (sanitizer_resources.h) answer from Snapshot().
//
// Threads. Requests may run on any number of host threads while a configuration event is
// handled: they read only published snapshots, never the fields that configuration changes.
// Loading the tables and configuring are serialised by a lock of their own, so events that
// arrive on different threads apply one after the other. That lock is recursive and stays held
// while the status publisher runs, so that status events leave in the order of the rebuilds
// and a host that delivers a configuration event from inside the send does not deadlock.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SERVICE_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SERVICE_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "Plugins/nbx-be-sanitizer/service/configuration_inputs.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_snapshot.h"
#include "sdk/binding/binding_value.h"

namespace sanitizer::service {

// Receives the status of each newly published snapshot, on the thread that configured it. It
// must not throw.
using StatusPublisher = std::function<void(const SanitizerStatus& status)>;

class SanitizerService {
 public:
  // `asset_loader` serves the character tables and every engine build; `publish_status` may
  // be empty (nothing is published).
  explicit SanitizerService(AssetLoader asset_loader, StatusPublisher publish_status = {});
  SanitizerService(const SanitizerService&) = delete;
  SanitizerService& operator=(const SanitizerService&) = delete;

  // Loads the four character tables through the asset loader, keeps them for every later
  // build (replacing earlier ones) and publishes a snapshot whose status carries their
  // breaking and projected counts; the current engine, if any, stays. A missing asset gives an
  // empty table; a loader that throws is logged as an error and changes nothing. Publishes no
  // status event.
  void LoadCharTables();

  // A change of the configuration resource: reads its lists and switch
  // (ReadConfigurationLists) and configures them with the stored region and locale.
  void OnConfigurationEvent(const sdk::binding::BindingValue& data);
  // A change of the region-and-locale resource: reads region and locale (both empty when the
  // resource was deleted) and configures them with the stored lists and switch.
  void OnRegionLocaleEvent(const sdk::binding::BindingValue& data, bool deleted);

  // Applies configuration inputs. Nothing happens when the sanitizer is ready and all six
  // equal the stored ones. Otherwise they are stored; then, unless the locale is empty (the
  // engine in use, if any, stays), it logs the "Configure: region=..." line, builds a new
  // engine from them, publishes it with its status and calls the status publisher. Returns
  // whether a new engine was published. A build that throws (the asset loader, memory) is
  // logged as an error and leaves the engine in use; the inputs stay stored.
  bool Configure(bool whitelistEnabled, std::string region, std::string locale, LevelTexts includes,
                 LevelTexts excludes, LevelTexts whitelist);

  // Ends configuration for good, once the configuration running on another thread (if any) has
  // finished: from then on Configure, the two event handlers and LoadCharTables change nothing,
  // while the snapshot in use keeps answering requests. The plug-in calls it when it is
  // finalised, since an event whose delivery began before the host ended the subscriptions may
  // still arrive.
  void StopConfiguring();

  // The current snapshot (never null); what every request works on.
  std::shared_ptr<const SanitizerSnapshot> Snapshot() const { return snapshot_.Load(); }

  // Copies of the stored configuration inputs (taken under the configuration lock).
  RegionLocale configuredRegionLocale() const;
  ConfigurationLists configuredLists() const;

 private:
  // A new engine built from the stored inputs, with `current`'s status updated to describe it.
  // May throw whatever the build throws.
  std::shared_ptr<const SanitizerSnapshot> BuildSnapshot(const SanitizerSnapshot& current);

  // The fields of the plug-in, in its order. The status and the engine live together in the
  // published snapshot, so that they are replaced together.
  SnapshotSlot snapshot_;
  std::string configuredRegion_;
  std::string configuredLocale_;
  LevelTexts adhocIncludes_;
  LevelTexts adhocExcludes_;
  LevelTexts adhocWhitelist_;
  bool whitelistEnabled_ = false;
  std::shared_ptr<const SanitizerUtils> utils_;
  bool stopped_ = false;

  AssetLoader asset_loader_;
  StatusPublisher publish_status_;
  mutable std::recursive_mutex configure_mutex_;
};

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SERVICE_H_
