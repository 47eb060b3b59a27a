// Level names and the category registry.
//
// Registration takes no lock: each slot from bit 8 on is claimed with a compare-and-swap, its
// name text written, and then published. Slots fill in order, so a search can stop at the first
// free one, and two threads registering the same name concurrently end up with the same bit.
#include "sdk/diagnostics/log.h"

#include <atomic>
#include <thread>

namespace sdk::diagnostics {
namespace {

constexpr int kFixedCategories = 8;
constexpr int kMaxCategories = 64;
constexpr const char* kFixedNames[kFixedCategories] = {"DBG", "GEN", "XTR", "PRF",
                                                       "MEM", "DSK", "NET", "TST"};

// Slot states: 0 free, kClaimed while its text is written, otherwise kPublished | name.
constexpr uint32_t kClaimed = 1;
constexpr uint32_t kPublished = 0x80000000u;

std::atomic<uint32_t> g_slots[kMaxCategories];
char g_names[kMaxCategories][4];

// The first three characters of a name (fewer when it is shorter), as a published slot value.
uint32_t PackName(const char* name) {
  uint32_t packed = kPublished;
  for (int i = 0; i < 3 && name[i] != '\0'; ++i) {
    packed |= static_cast<uint32_t>(static_cast<unsigned char>(name[i])) << (8 * i);
  }
  return packed;
}

bool SameName(const char* a, const char* b) {
  for (int i = 0; i < 3; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

}  // namespace

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case kLogOkay:
      return "  OKAY";
    case kLogWarning:
      return "  WARN";
    case kLogError:
      return " ERROR";
    case kLogAlways:
      return "ALWAYS";
  }
  return "??????";
}

uint64_t RegisterCategory(const char* name) {
  if (name == nullptr) return 0;
  for (int bit = 0; bit < kFixedCategories; ++bit) {
    if (SameName(name, kFixedNames[bit])) return 1ull << bit;
  }
  const uint32_t packed = PackName(name);
  for (int bit = kFixedCategories; bit < kMaxCategories; ++bit) {
    for (;;) {
      uint32_t slot = g_slots[bit].load(std::memory_order_acquire);
      if (slot == kClaimed) {  // another thread is writing this slot's name
        std::this_thread::yield();
        continue;
      }
      if (slot == 0) {
        if (!g_slots[bit].compare_exchange_weak(slot, kClaimed, std::memory_order_acq_rel)) {
          continue;
        }
        for (int i = 0; i < 4; ++i) {
          g_names[bit][i] = i < 3 ? static_cast<char>((packed >> (8 * i)) & 0xFF) : '\0';
        }
        g_slots[bit].store(packed, std::memory_order_release);
        return 1ull << bit;
      }
      if (slot == packed) return 1ull << bit;
      break;  // taken by another name: try the next bit
    }
  }
  return 0;
}

const char* CategoryName(int bit) {
  if (bit < 0 || bit >= kMaxCategories) return "???";
  if (bit < kFixedCategories) return kFixedNames[bit];
  const uint32_t slot = g_slots[bit].load(std::memory_order_acquire);
  return (slot & kPublished) != 0 ? g_names[bit] : "???";
}

namespace detail {
void ResetCategoriesForTesting() {
  for (int bit = kFixedCategories; bit < kMaxCategories; ++bit) {
    g_slots[bit].store(0, std::memory_order_release);
  }
}
}  // namespace detail

}  // namespace sdk::diagnostics
