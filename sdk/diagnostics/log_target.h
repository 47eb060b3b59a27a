// LogTarget: the base of every log target, which keeps a target's level, category filters and
// line format and presents it to the logger through the LogSink function table.
//
// Locking. Each target has its own lock, held while a line is written and while a setting
// changes; the logger holds its own lock while it walks its targets, so the order is always
// logger, then target. Nothing a target does on its own side takes the logger's lock while
// holding the target's: settings change under the target's lock alone, and Detach asks the
// logger (under the logger's lock alone) to drop the target. Once Detach returns, no write to the
// target is running or can start, which is what makes destroying a target safe while other
// threads log.
//
// A derived target whose Write uses its own members must call Detach() first in its destructor:
// by the time ~LogTarget runs, the derived part is gone.
#ifndef SDK_DIAGNOSTICS_LOG_TARGET_H_
#define SDK_DIAGNOSTICS_LOG_TARGET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/log_sink.h"
#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {

// The line format a new target starts with.
inline constexpr std::string_view kDefaultLogLineFormat = "#D| #L| #G| #M";

class LogTarget : private LogSink {
 public:
  LogTarget();
  LogTarget(const LogTarget&) = delete;
  LogTarget& operator=(const LogTarget&) = delete;
  virtual ~LogTarget();  // detaches first

  // Removes the target from the logger's list (every occurrence); nothing when it is not
  // attached. Must not be called while this thread holds the target's lock outside of Write.
  virtual void Detach();
  // The class name ("LogTarget", "StdErrLogTarget", ...), also what Logger::Find matches.
  virtual const char* Name() const;
  // The line format. The text stays valid until the next SetFormat.
  virtual const char* Format() const;
  // Writes one record; called with the target's lock held. Returns false when writing failed.
  virtual bool Write(const LogRecord& record) = 0;

  void SetLevel(LogLevel level);
  LogLevel Level() const;
  // Keeps included & ~excluded as the included mask, and the excluded mask as given.
  void SetCategories(uint64_t included, uint64_t excluded);
  uint64_t IncludedCategories() const;
  uint64_t ExcludedCategories() const;
  void SetFormat(std::string_view format);
  bool IsAttached() const;

  // The sink through which the logger reaches this target (for Logger::Attach and Detach).
  LogSink* sink() { return this; }

 protected:
  // The target's lock, for settings that derived targets add.
  platform::Lock& lock() const { return lock_; }
  // Formats `record` with Format() into `buffer`, as one line ending in a line feed; returns the
  // line's length. Called from Write, that is with the lock held.
  size_t FormatLine(const LogRecord& record, char* buffer, size_t size) const;

 private:
  static LogTarget* FromSink(LogSink* sink) { return static_cast<LogTarget*>(sink); }
  static const LogSink kSinkFunctions;

  static int32_t SinkVersion(LogSink* sink);
  static void SinkSetLevel(LogSink* sink, LogLevel level);
  static LogLevel SinkGetLevel(LogSink* sink);
  static void SinkSetCategories(LogSink* sink, uint64_t included, uint64_t excluded);
  static uint64_t SinkGetIncludedCategories(LogSink* sink);
  static uint64_t SinkGetExcludedCategories(LogSink* sink);
  static const char* SinkGetName(LogSink* sink);
  static const char* SinkGetFormat(LogSink* sink);
  static void SinkAttach(LogSink* sink);
  static void SinkDetach(LogSink* sink);
  static bool SinkIsAttached(LogSink* sink);
  static bool SinkWrite(LogSink* sink, const LogRecord* record);

  mutable platform::Lock lock_;
  bool attached_ = false;
  LogLevel level_ = kLogWarning;
  uint64_t included_ = 0;
  uint64_t excluded_ = 0;
  std::string format_{kDefaultLogLineFormat};
};

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_LOG_TARGET_H_
