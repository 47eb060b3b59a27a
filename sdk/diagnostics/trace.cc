// The trace facility: discards lines unless a test installed a sink.
#include "sdk/diagnostics/trace.h"

#include <atomic>
#include <cstdio>

#include "sdk/diagnostics/log.h"

namespace sdk::diagnostics {
namespace {

std::atomic<TraceSink> g_sink{nullptr};
std::atomic<void*> g_context{nullptr};

}  // namespace

void Trace(const char* format, ...) {
  const TraceSink sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr || format == nullptr) return;
  char line[kLogBufferSize];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  sink(line, g_context.load(std::memory_order_acquire));
}

void SetTraceSinkForTesting(TraceSink sink, void* context) {
  g_context.store(context, std::memory_order_release);
  g_sink.store(sink, std::memory_order_release);
}

}  // namespace sdk::diagnostics
