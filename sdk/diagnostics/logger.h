// The process-wide logger: its lifetime, its settings and its list of attached sinks.
//
// One logger exists at a time. AcquireLogger creates it on the first reference and
// ReleaseLogger destroys it at the last; Log creates it too when none exists. When created it
// makes the three console targets: standard error (format "#E(#T): #L| #M", DBG only, GEN
// excluded, attached first), standard output ("#M", GEN only, DBG excluded, not attached) and the
// debugger ("#E(#T): #L| #M", DBG only, attached second), all at level warning. Its own threshold
// starts at warning and XTR is excluded.
//
// The logger's lock lives in static storage rather than in the logger, so that it also guards
// the logger's creation and destruction: every Logger call and every Log takes it, and a pointer
// from AcquireLogger stays valid until the matching ReleaseLogger.
#ifndef SDK_DIAGNOSTICS_LOGGER_H_
#define SDK_DIAGNOSTICS_LOGGER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "sdk/diagnostics/console_log_targets.h"
#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/log_sink.h"

namespace sdk::diagnostics {

class Logger {
 public:
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Messages below the threshold are dropped before they are formatted.
  void SetLevel(LogLevel level);
  LogLevel Level() const;
  // Messages sharing a bit with these categories are dropped.
  void SetExcludedCategories(uint64_t categories);
  uint64_t ExcludedCategories() const;
  // A disabled logger drops every message.
  void Disable();
  void Enable();
  bool IsDisabled() const;

  // Appends a sink; a sink already attached stays where it is. Null is ignored.
  void Attach(LogSink* sink);
  // Removes every occurrence of the sink and tells it so; nothing when it is not attached.
  void Detach(LogSink* sink);
  // The first attached sink whose name equals `name` exactly, or null.
  LogSink* Find(std::string_view name) const;
  // The attached sinks in list order.
  std::vector<LogSink*> Sinks() const;

  StdErrLogTarget& StdErr() { return std_err_; }
  StdOutLogTarget& StdOut() { return std_out_; }
  DebuggerConsoleLogTarget& DebuggerConsole() { return debugger_; }

  // Accepted records of level warning and of level error; they only grow.
  uint32_t WarningCount() const;
  uint64_t ErrorCount() const;

  // The running executable's file name, printed by "#E".
  std::string_view ModuleName() const { return module_name_; }

 private:
  friend struct LoggerAccess;  // creation, destruction and dispatch, in logger.cc

  Logger();
  ~Logger();

  bool Accepts(LogLevel level, uint64_t categories) const;
  // Counts the record and hands it to every sink whose level and categories accept it.
  void Dispatch(const LogRecord& record);
  // Tells every sink, from the last to the first, that it is detached, and empties the list.
  void DetachAll();

  bool disabled_ = false;
  LogLevel level_ = kLogWarning;
  uint64_t excluded_ = kCategoryXtr;
  // While records are being dispatched, detached sinks are replaced by null and removed once the
  // walk is over, so that a sink may detach itself (or another) from inside its Write.
  std::vector<LogSink*> sinks_;
  int dispatch_depth_ = 0;
  bool release_pending_ = false;
  uint32_t warning_count_ = 0;
  uint64_t error_count_ = 0;
  std::string_view module_name_;
  StdErrLogTarget std_err_;
  StdOutLogTarget std_out_;
  DebuggerConsoleLogTarget debugger_;
};

// Counts a reference to the logger, creating it on the first. Never returns null.
Logger* AcquireLogger();
// Drops a reference; at the last one detaches every sink (last first), and destroys the logger
// with its console targets. A release without a matching acquire does nothing.
void ReleaseLogger();
// Detaches `sink` from the logger when one exists; never creates it. LogTarget::Detach uses it.
void DetachFromLogger(LogSink* sink);

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_LOGGER_H_
