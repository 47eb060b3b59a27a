// SanitizerSnapshot: the engine together with the status that describes it, published as one
// immutable object, and SnapshotSlot, the place where the current snapshot is published.
//
// Requests and configuration changes may run at the same time on different host threads. A
// request takes the current snapshot once (SnapshotSlot::Load) and uses that snapshot alone
// for its whole duration, so every answer comes from one engine and every status read sees the
// region, locale and counts of the engine they describe. A configuration change builds a new
// engine beside the old one and publishes a new snapshot; the old snapshot, and with it the old
// engine, is destroyed when the last request that holds it lets go. Nothing in a published
// snapshot is ever written again.
//
// The slot is a shared pointer guarded by a mutex that is held only to copy or swap the
// pointer (never while an engine is built, used or destroyed), which keeps a request's cost to
// one uncontended lock and one reference-count increment and decrement (bench/
// sanitizer_request_bench.cc measures it).
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SNAPSHOT_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SNAPSHOT_H_

#include <memory>
#include <mutex>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"

namespace sanitizer::service {

struct SanitizerSnapshot {
  // Null until the first configuration with a non-empty locale has been applied; the
  // containsSanitized and sanitize resources answer 404 until then.
  std::shared_ptr<const SanitizerEngine> engine;
  // What the status resource returns. `ready`, `region`, `locale`, the word counts and
  // `allowedCharsCount` describe `engine`; the two character counts describe the character
  // tables that the engine shares.
  SanitizerStatus status;
};

class SnapshotSlot {
 public:
  // Starts with a snapshot without engine and with the initial status (not ready, all empty
  // or zero).
  SnapshotSlot();
  SnapshotSlot(const SnapshotSlot&) = delete;
  SnapshotSlot& operator=(const SnapshotSlot&) = delete;

  // The current snapshot; never null. The caller's reference keeps it (and its engine) alive.
  std::shared_ptr<const SanitizerSnapshot> Load() const;
  // Makes `snapshot` the current one. The previous snapshot is released after the lock is
  // let go, so that destroying it (when no request holds it) never blocks a Load. A null
  // snapshot is ignored.
  void Publish(std::shared_ptr<const SanitizerSnapshot> snapshot);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const SanitizerSnapshot> current_;
};

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_SNAPSHOT_H_
