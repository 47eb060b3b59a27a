// LogTarget's settings and its sink function table, whose entries forward to the target.
#include "sdk/diagnostics/log_target.h"

#include "sdk/diagnostics/log_line_format.h"
#include "sdk/diagnostics/logger.h"

namespace sdk::diagnostics {

using Guard = std::lock_guard<platform::Lock>;

const LogSink LogTarget::kSinkFunctions = {
    &LogTarget::SinkVersion,
    &LogTarget::SinkSetLevel,
    &LogTarget::SinkGetLevel,
    &LogTarget::SinkSetCategories,
    &LogTarget::SinkGetIncludedCategories,
    &LogTarget::SinkGetExcludedCategories,
    &LogTarget::SinkGetName,
    &LogTarget::SinkGetFormat,
    &LogTarget::SinkAttach,
    &LogTarget::SinkDetach,
    &LogTarget::SinkIsAttached,
    &LogTarget::SinkWrite,
};

LogTarget::LogTarget() : LogSink(kSinkFunctions) {}

LogTarget::~LogTarget() { LogTarget::Detach(); }

void LogTarget::Detach() {
  // Only the logger's lock is taken here (never the target's first), and the logger clears the
  // attached flag through the sink table while it holds it.
  DetachFromLogger(sink());
}

const char* LogTarget::Name() const { return "LogTarget"; }

const char* LogTarget::Format() const {
  Guard guard(lock_);
  return format_.c_str();
}

void LogTarget::SetLevel(LogLevel level) {
  Guard guard(lock_);
  level_ = level;
}

LogLevel LogTarget::Level() const {
  Guard guard(lock_);
  return level_;
}

void LogTarget::SetCategories(uint64_t included, uint64_t excluded) {
  Guard guard(lock_);
  included_ = included & ~excluded;
  excluded_ = excluded;
}

uint64_t LogTarget::IncludedCategories() const {
  Guard guard(lock_);
  return included_;
}

uint64_t LogTarget::ExcludedCategories() const {
  Guard guard(lock_);
  return excluded_;
}

void LogTarget::SetFormat(std::string_view format) {
  Guard guard(lock_);
  format_.assign(format);
}

bool LogTarget::IsAttached() const {
  Guard guard(lock_);
  return attached_;
}

size_t LogTarget::FormatLine(const LogRecord& record, char* buffer, size_t size) const {
  Guard guard(lock_);
  return FormatLogLine(buffer, size, Format(), record);
}

int32_t LogTarget::SinkVersion(LogSink*) { return kLogSinkVersion; }

void LogTarget::SinkSetLevel(LogSink* sink, LogLevel level) { FromSink(sink)->SetLevel(level); }

LogLevel LogTarget::SinkGetLevel(LogSink* sink) { return FromSink(sink)->Level(); }

void LogTarget::SinkSetCategories(LogSink* sink, uint64_t included, uint64_t excluded) {
  FromSink(sink)->SetCategories(included, excluded);
}

uint64_t LogTarget::SinkGetIncludedCategories(LogSink* sink) {
  return FromSink(sink)->IncludedCategories();
}

uint64_t LogTarget::SinkGetExcludedCategories(LogSink* sink) {
  return FromSink(sink)->ExcludedCategories();
}

const char* LogTarget::SinkGetName(LogSink* sink) { return FromSink(sink)->Name(); }

const char* LogTarget::SinkGetFormat(LogSink* sink) { return FromSink(sink)->Format(); }

void LogTarget::SinkAttach(LogSink* sink) {
  LogTarget* target = FromSink(sink);
  Guard guard(target->lock_);
  target->attached_ = true;
}

void LogTarget::SinkDetach(LogSink* sink) {
  LogTarget* target = FromSink(sink);
  Guard guard(target->lock_);
  target->attached_ = false;
}

bool LogTarget::SinkIsAttached(LogSink* sink) { return FromSink(sink)->IsAttached(); }

bool LogTarget::SinkWrite(LogSink* sink, const LogRecord* record) {
  LogTarget* target = FromSink(sink);
  Guard guard(target->lock_);
  return record != nullptr && target->Write(*record);
}

}  // namespace sdk::diagnostics
