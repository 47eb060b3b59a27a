// The trace facility: fine-grained lines about the plug-in's traffic with its host (events
// converted or dropped, subscriptions made and ended, resources fetched) that are not log lines.
//
// In the product the facility discards every line, so a trace point costs one relaxed atomic
// load and formats nothing. A test that wants to see the lines installs a sink; from then on each
// line is formatted (printf rules, cut at kLogBufferSize bytes) and handed to it on the thread
// that traced it. The sink may be called from several threads at once.
#ifndef SDK_DIAGNOSTICS_TRACE_H_
#define SDK_DIAGNOSTICS_TRACE_H_

#include <cstdarg>

namespace sdk::diagnostics {

// Writes one trace line (discarded unless a sink is installed).
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives every trace line while installed; `line` is valid during the call only.
using TraceSink = void (*)(const char* line, void* context);
// Installs `sink` (null removes it). Lines traced while the sink is being replaced may still
// reach the old one; install and remove sinks while no other thread traces.
void SetTraceSinkForTesting(TraceSink sink, void* context);

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_TRACE_H_
