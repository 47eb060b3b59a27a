// The library's event-tracing providers.
//
// At load the library registers four providers, each with a fixed identity and an enable
// callback that records the level and keyword masks a tracing consumer asked for. If the second
// provider is enabled at that moment, one event is written to it: the current thread's id
// (32-bit) followed by the text "Main thread" with its terminating NUL. Nothing else is written
// to these providers; at unload they are unregistered. Without tracing support on the platform
// all of this is silently absent.
#ifndef SDK_DIAGNOSTICS_EVENT_TRACING_H_
#define SDK_DIAGNOSTICS_EVENT_TRACING_H_

#include <cstdint>

#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {

inline constexpr int kTraceProviderCount = 4;

// The providers' identities, in registration order.
inline constexpr platform::Guid kTraceProviderGuids[kTraceProviderCount] = {
    {0x6A1F0C21, 0x4E5B, 0x4C0D, {0x9B, 0x31, 0x52, 0x7E, 0x0A, 0x64, 0xC1, 0x10}},
    {0x6A1F0C22, 0x4E5B, 0x4C0D, {0x9B, 0x31, 0x52, 0x7E, 0x0A, 0x64, 0xC1, 0x11}},
    {0x6A1F0C23, 0x4E5B, 0x4C0D, {0x9B, 0x31, 0x52, 0x7E, 0x0A, 0x64, 0xC1, 0x12}},
    {0x6A1F0C24, 0x4E5B, 0x4C0D, {0x9B, 0x31, 0x52, 0x7E, 0x0A, 0x64, 0xC1, 0x13}},
};

// The descriptor of the "Main thread" event.
inline constexpr platform::EventDescriptor kMainThreadEvent = {1, 0, 0, 4, 0, 0, 0};

// What a provider's enable callback last recorded.
struct TraceProviderState {
  bool enabled = false;
  uint8_t level = 0;
  uint64_t match_any_keyword = 0;
  uint64_t match_all_keyword = 0;
};

// Registers the four providers (nothing when they are registered already) and writes the
// "Main thread" event when the second one is enabled.
void RegisterTraceProviders();
// Unregisters them; their recorded states are cleared.
void UnregisterTraceProviders();
// The state of provider `index` (0-3); a default state for any other index.
TraceProviderState GetTraceProviderState(int index);

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_EVENT_TRACING_H_
