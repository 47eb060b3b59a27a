// The operating-system services that logging and event tracing stand on, gathered in one place
// so that a port replaces this header's implementation and nothing else.
//
// On the product's Windows host these are the module file name, the local clock, the
// performance counter, the thread id, critical sections, the debugger output channel and Event
// Tracing for Windows. This implementation serves Linux: it reads /proc for the executable
// and for an attached tracer, and keeps event tracing as a small in-process layer with the same
// shape (providers register with an enable callback, a consumer enables them and receives what
// they write), which is also how tests observe it.
#ifndef SDK_DIAGNOSTICS_PLATFORM_H_
#define SDK_DIAGNOSTICS_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

namespace sdk::diagnostics::platform {

// The lock of the logger and of each log target. Recursive, as a critical section is, so that a
// target may change its own settings from inside its Write.
using Lock = std::recursive_mutex;

// The file name part of the running executable's path, read once and kept.
std::string_view ModuleName();
// The part of `path` after its last separator, or the whole path when it has none.
std::string_view ModuleNameFromPath(std::string_view path);

struct LocalTime {
  int32_t year;
  int32_t month;  // 1-12
  int32_t day;    // 1-31
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t millisecond;
};
LocalTime CurrentLocalTime();

// A monotonic high-resolution counter and its ticks per second.
uint64_t HighResolutionCounter();
uint64_t HighResolutionFrequency();

// The calling thread's identifier.
uint32_t CurrentThreadId();

// Sends a text to an attached debugger; does nothing when none listens. Whether one is attached
// is looked up at most about once a second, so calling this for every line stays cheap.
void WriteDebuggerOutput(const char* text);
bool DebuggerAttached();
// The tracer's process id from the text of /proc/<pid>/status, 0 when there is none.
int32_t TracerPidFromStatus(std::string_view status);

// Tests see what would go to the debugger: while a capture is set, every text is handed to it
// (as if a debugger were attached) instead of going out. Pass nullptr to end the capture.
using DebuggerCapture = void (*)(const char* text, void* context);
void SetDebuggerCaptureForTesting(DebuggerCapture capture, void* context);

// Event tracing.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
  friend bool operator==(const Guid&, const Guid&) = default;
};

struct EventDescriptor {
  uint16_t id;
  uint8_t version;
  uint8_t channel;
  uint8_t level;
  uint8_t opcode;
  uint16_t task;
  uint64_t keyword;
};

// One piece of an event's payload; the pieces are concatenated.
struct EventData {
  const void* data;
  uint32_t size;
};

using TraceHandle = uint64_t;  // 0 is no provider

// Called when a consumer enables (is_enabled 1) or disables (0) the provider.
using EnableCallback = void (*)(const Guid& provider, uint32_t is_enabled, uint8_t level,
                                uint64_t match_any_keyword, uint64_t match_all_keyword,
                                void* context);

// Provider side. Registration fails (returns 0) only when tracing is unavailable. A provider
// that a consumer already enabled has its callback called during registration.
TraceHandle RegisterTraceProvider(const Guid& provider, EnableCallback callback, void* context);
void UnregisterTraceProvider(TraceHandle handle);
// Delivers the event to the consumer when the provider is enabled; false otherwise.
bool WriteTraceEvent(TraceHandle handle, const EventDescriptor& descriptor,
                     std::span<const EventData> data);

// Consumer side: a tracing session inside this process.
using TraceConsumer = void (*)(const Guid& provider, const EventDescriptor& descriptor,
                               std::span<const std::byte> payload, void* context);
void SetTraceConsumer(TraceConsumer consumer, void* context);
void EnableTraceProvider(const Guid& provider, uint8_t level, uint64_t match_any_keyword,
                         uint64_t match_all_keyword);
void DisableTraceProvider(const Guid& provider);

}  // namespace sdk::diagnostics::platform

#endif  // SDK_DIAGNOSTICS_PLATFORM_H_
