// The logger's lifetime, settings and dispatch, and Log itself.
//
// Log formats the message and reads the clock without any lock, then takes the logger's lock
// to count the record and walk the sinks, so lines from different threads never interleave and
// every sink sees records in one global order.
#include "sdk/diagnostics/logger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {

using Guard = std::lock_guard<platform::Lock>;

// Everything below that touches the logger's private parts.
struct LoggerAccess {
  // The logger's lock. Never destroyed, so that targets destroyed at exit can still detach.
  static platform::Lock& Lock() {
    static platform::Lock& lock = *new platform::Lock;
    return lock;
  }

  // Guarded by Lock().
  static inline Logger* logger = nullptr;
  static inline int64_t references = 0;

  // Returns the logger, creating it when none exists. Call with Lock() held.
  static Logger& Ensure() {
    if (logger == nullptr) logger = new Logger();
    return *logger;
  }

  // Destroys the logger, or marks it for destruction when records are being dispatched (a sink
  // released it from inside its Write). Call with Lock() held.
  static void Destroy() {
    Logger* current = logger;
    if (current == nullptr) return;
    current->DetachAll();
    if (current->dispatch_depth_ > 0) {
      current->release_pending_ = true;
      return;
    }
    logger = nullptr;
    delete current;
  }

  static Logger* Acquire() {
    Logger& current = Ensure();
    current.release_pending_ = false;  // a new reference cancels a release deferred by a sink
    ++references;
    return &current;
  }

  static bool Accepts(LogLevel level, uint64_t categories) {
    return Ensure().Accepts(level, categories);
  }

  static void Dispatch(const LogRecord& record) {
    Logger& current = Ensure();
    current.Dispatch(record);
    if (current.release_pending_ && current.dispatch_depth_ == 0 && references == 0) {
      Destroy();
    }
  }
};

namespace {

// Set while this thread walks the sinks; a Log from inside a sink's Write is dropped.
thread_local bool t_dispatching = false;

}  // namespace

Logger::Logger() : module_name_(platform::ModuleName()) {
  std_err_.SetFormat("#E(#T): #L| #M");
  std_err_.SetCategories(kCategoryDbg, kCategoryGen);
  std_out_.SetFormat("#M");
  std_out_.SetCategories(kCategoryGen, kCategoryDbg);
  debugger_.SetFormat("#E(#T): #L| #M");
  debugger_.SetCategories(kCategoryDbg, 0);
  Attach(std_err_.sink());
  Attach(debugger_.sink());
}

Logger::~Logger() = default;

void Logger::SetLevel(LogLevel level) {
  Guard guard(LoggerAccess::Lock());
  level_ = level;
}

LogLevel Logger::Level() const {
  Guard guard(LoggerAccess::Lock());
  return level_;
}

void Logger::SetExcludedCategories(uint64_t categories) {
  Guard guard(LoggerAccess::Lock());
  excluded_ = categories;
}

uint64_t Logger::ExcludedCategories() const {
  Guard guard(LoggerAccess::Lock());
  return excluded_;
}

void Logger::Disable() {
  Guard guard(LoggerAccess::Lock());
  disabled_ = true;
}

void Logger::Enable() {
  Guard guard(LoggerAccess::Lock());
  disabled_ = false;
}

bool Logger::IsDisabled() const {
  Guard guard(LoggerAccess::Lock());
  return disabled_;
}

void Logger::Attach(LogSink* sink) {
  if (sink == nullptr) return;
  Guard guard(LoggerAccess::Lock());
  if (std::find(sinks_.begin(), sinks_.end(), sink) != sinks_.end()) return;
  sinks_.push_back(sink);
  sink->attach(sink);
}

void Logger::Detach(LogSink* sink) {
  if (sink == nullptr) return;
  Guard guard(LoggerAccess::Lock());
  bool found = false;
  for (LogSink*& entry : sinks_) {
    if (entry == sink) {
      entry = nullptr;
      found = true;
    }
  }
  if (!found) return;
  if (dispatch_depth_ == 0) std::erase(sinks_, nullptr);
  sink->detach(sink);
}

LogSink* Logger::Find(std::string_view name) const {
  Guard guard(LoggerAccess::Lock());
  for (LogSink* sink : sinks_) {
    if (sink == nullptr) continue;
    const char* sink_name = sink->get_name(sink);
    if (sink_name != nullptr && name == sink_name) return sink;
  }
  return nullptr;
}

std::vector<LogSink*> Logger::Sinks() const {
  Guard guard(LoggerAccess::Lock());
  std::vector<LogSink*> sinks;
  for (LogSink* sink : sinks_) {
    if (sink != nullptr) sinks.push_back(sink);
  }
  return sinks;
}

uint32_t Logger::WarningCount() const {
  Guard guard(LoggerAccess::Lock());
  return warning_count_;
}

uint64_t Logger::ErrorCount() const {
  Guard guard(LoggerAccess::Lock());
  return error_count_;
}

bool Logger::Accepts(LogLevel level, uint64_t categories) const {
  return !disabled_ && level >= level_ && (categories & excluded_) == 0;
}

void Logger::Dispatch(const LogRecord& record) {
  if (record.level == kLogWarning) ++warning_count_;
  if (record.level == kLogError) ++error_count_;
  ++dispatch_depth_;
  // Indexing (not iterators): a sink may attach or detach sinks from inside its Write.
  for (size_t i = 0; i < sinks_.size(); ++i) {
    LogSink* sink = sinks_[i];
    if (sink == nullptr || record.level < sink->get_level(sink)) continue;
    if (record.categories != 0) {
      if ((record.categories & sink->get_excluded_categories(sink)) != 0) continue;
      const uint64_t included = sink->get_included_categories(sink);
      if (included != 0 && (record.categories & included) == 0) continue;
    }
    sink->write(sink, &record);  // a failing sink is ignored
  }
  if (--dispatch_depth_ == 0) std::erase(sinks_, nullptr);
}

void Logger::DetachAll() {
  for (size_t i = sinks_.size(); i-- > 0;) {
    LogSink* sink = sinks_[i];
    if (sink == nullptr) continue;
    sinks_[i] = nullptr;
    sink->detach(sink);
  }
  if (dispatch_depth_ == 0) sinks_.clear();
}

Logger* AcquireLogger() {
  Guard guard(LoggerAccess::Lock());
  return LoggerAccess::Acquire();
}

void ReleaseLogger() {
  Guard guard(LoggerAccess::Lock());
  if (LoggerAccess::references == 0) return;
  if (--LoggerAccess::references == 0) LoggerAccess::Destroy();
}

void DetachFromLogger(LogSink* sink) {
  Guard guard(LoggerAccess::Lock());
  if (LoggerAccess::logger != nullptr) LoggerAccess::logger->Detach(sink);
}

void LogV(LogLevel level, uint64_t categories, const char* format, va_list arguments) {
  if (t_dispatching) return;
  {
    Guard guard(LoggerAccess::Lock());
    if (!LoggerAccess::Accepts(level, categories)) return;
  }
  char message[kLogBufferSize];
  message[0] = '\0';
  if (format != nullptr && std::vsnprintf(message, sizeof message, format, arguments) < 0) {
    message[0] = '\0';
  }
  const platform::LocalTime time = platform::CurrentLocalTime();
  const LogRecord record{time.year,   time.month,       time.day, time.hour,  time.minute,
                         time.second, time.millisecond, level,    categories, message};
  Guard guard(LoggerAccess::Lock());
  t_dispatching = true;
  LoggerAccess::Dispatch(record);
  t_dispatching = false;
}

void Log(LogLevel level, uint64_t categories, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  LogV(level, categories, format, arguments);
  va_end(arguments);
}

}  // namespace sdk::diagnostics
