// The sink interface through which the logger reaches a log target: a table of plain functions,
// each taking the sink itself as its first argument.
//
// The logger knows sinks only through this table, so a target built elsewhere (the host-log
// forwarding target of the plug-in base, a test's capturing target) plugs in the same way as the
// built-in console targets. LogTarget (log_target.h) fills the table by forwarding to its
// members; code that needs no class can fill one by hand.
//
// The logger calls `attach` and `detach` to tell a sink that it was added to or removed from its
// list, under the logger's lock; they must only record that fact and never call back into the
// logger.
#ifndef SDK_DIAGNOSTICS_LOG_SINK_H_
#define SDK_DIAGNOSTICS_LOG_SINK_H_

#include <cstdint>

#include "sdk/diagnostics/log.h"

namespace sdk::diagnostics {

// The version the `version` entry of this table returns.
inline constexpr int32_t kLogSinkVersion = 1;

struct LogSink {
  int32_t (*version)(LogSink* sink);
  void (*set_level)(LogSink* sink, LogLevel level);
  LogLevel (*get_level)(LogSink* sink);
  // Stores included & ~excluded as the included mask, and the excluded mask as given.
  void (*set_categories)(LogSink* sink, uint64_t included, uint64_t excluded);
  uint64_t (*get_included_categories)(LogSink* sink);
  uint64_t (*get_excluded_categories)(LogSink* sink);
  const char* (*get_name)(LogSink* sink);
  const char* (*get_format)(LogSink* sink);
  void (*attach)(LogSink* sink);
  void (*detach)(LogSink* sink);
  bool (*is_attached)(LogSink* sink);
  // Writes one record; false when the sink failed (the logger ignores it).
  bool (*write)(LogSink* sink, const LogRecord* record);
};

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_LOG_SINK_H_
