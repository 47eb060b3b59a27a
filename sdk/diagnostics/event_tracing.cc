// Registration of the four providers, their enable callbacks and the "Main thread" event.
#include "sdk/diagnostics/event_tracing.h"

#include <cstring>
#include <mutex>

namespace sdk::diagnostics {
namespace {

struct Providers {
  std::mutex mutex;
  bool registered = false;
  platform::TraceHandle handles[kTraceProviderCount] = {};
  TraceProviderState states[kTraceProviderCount];
};

Providers& State() {
  static Providers& providers = *new Providers;
  return providers;
}

// The enable callback of every provider; `context` carries the provider's index.
void OnEnable(const platform::Guid&, uint32_t is_enabled, uint8_t level, uint64_t match_any_keyword,
              uint64_t match_all_keyword, void* context) {
  const auto index = reinterpret_cast<uintptr_t>(context);
  if (index >= kTraceProviderCount) return;
  Providers& providers = State();
  std::lock_guard<std::mutex> guard(providers.mutex);
  TraceProviderState& state = providers.states[index];
  state.enabled = is_enabled != 0;
  state.level = level;
  state.match_any_keyword = match_any_keyword;
  state.match_all_keyword = match_all_keyword;
}

// Writes a thread-name event: the thread id, then the name with its NUL ("NULL" when missing).
void WriteThreadName(platform::TraceHandle handle, uint32_t thread_id, const char* name) {
  if (name == nullptr) name = "NULL";
  const platform::EventData data[] = {
      {&thread_id, sizeof thread_id},
      {name, static_cast<uint32_t>(std::strlen(name) + 1)},
  };
  platform::WriteTraceEvent(handle, kMainThreadEvent, data);
}

}  // namespace

void RegisterTraceProviders() {
  Providers& providers = State();
  {
    std::lock_guard<std::mutex> guard(providers.mutex);
    if (providers.registered) return;
    providers.registered = true;
  }
  // Registration may call OnEnable at once, which takes the mutex: register outside it.
  platform::TraceHandle handles[kTraceProviderCount];
  for (int i = 0; i < kTraceProviderCount; ++i) {
    handles[i] = platform::RegisterTraceProvider(kTraceProviderGuids[i], &OnEnable,
                                                 reinterpret_cast<void*>(uintptr_t{0} + i));
  }
  bool second_enabled;
  {
    std::lock_guard<std::mutex> guard(providers.mutex);
    std::memcpy(providers.handles, handles, sizeof handles);
    second_enabled = providers.states[1].enabled;
  }
  if (second_enabled && handles[1] != 0) {
    WriteThreadName(handles[1], platform::CurrentThreadId(), "Main thread");
  }
}

void UnregisterTraceProviders() {
  Providers& providers = State();
  platform::TraceHandle handles[kTraceProviderCount];
  {
    std::lock_guard<std::mutex> guard(providers.mutex);
    if (!providers.registered) return;
    std::memcpy(handles, providers.handles, sizeof handles);
    for (int i = 0; i < kTraceProviderCount; ++i) {
      providers.handles[i] = 0;
      providers.states[i] = TraceProviderState{};
    }
    providers.registered = false;
  }
  for (platform::TraceHandle handle : handles) {
    if (handle != 0) platform::UnregisterTraceProvider(handle);
  }
}

TraceProviderState GetTraceProviderState(int index) {
  if (index < 0 || index >= kTraceProviderCount) return TraceProviderState{};
  Providers& providers = State();
  std::lock_guard<std::mutex> guard(providers.mutex);
  return providers.states[index];
}

}  // namespace sdk::diagnostics
