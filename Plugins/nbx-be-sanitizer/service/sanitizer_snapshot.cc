// The slot of the current snapshot (sanitizer_snapshot.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_snapshot.h"

#include <utility>

namespace sanitizer::service {

SnapshotSlot::SnapshotSlot() : current_(std::make_shared<const SanitizerSnapshot>()) {}

std::shared_ptr<const SanitizerSnapshot> SnapshotSlot::Load() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

void SnapshotSlot::Publish(std::shared_ptr<const SanitizerSnapshot> snapshot) {
  if (snapshot == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    current_.swap(snapshot);
  }
  // `snapshot` now holds the previous one; it dies here unless a request still holds it.
}

}  // namespace sanitizer::service
