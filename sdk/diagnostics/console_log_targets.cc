// The console targets' Write and Flush. The target's lock is already held when Write runs (see
// LogTarget), so a line never mixes with another line of the same target.
#include "sdk/diagnostics/console_log_targets.h"

#include <cstdio>

namespace sdk::diagnostics {
namespace {

bool WriteLine(const char* line, size_t length, std::FILE* stream) {
  return std::fwrite(line, 1, length, stream) == length;
}

}  // namespace

const char* BaseConsoleLogTarget::Name() const { return "BaseConsoleLogTarget"; }

StdErrLogTarget::~StdErrLogTarget() { Detach(); }

const char* StdErrLogTarget::Name() const { return "StdErrLogTarget"; }

bool StdErrLogTarget::Write(const LogRecord& record) {
  char line[kLogBufferSize];
  const size_t length = FormatLine(record, line, sizeof line);
  return WriteLine(line, length, stderr);
}

void StdErrLogTarget::Flush() { std::fflush(stderr); }

StdOutLogTarget::~StdOutLogTarget() { Detach(); }

const char* StdOutLogTarget::Name() const { return "StdOutLogTarget"; }

bool StdOutLogTarget::Write(const LogRecord& record) {
  char line[kLogBufferSize];
  const size_t length = FormatLine(record, line, sizeof line);
  const bool written = WriteLine(line, length, stdout);
  if (flush_each_line_) std::fflush(stdout);
  return written;
}

void StdOutLogTarget::Flush() { std::fflush(stdout); }

void StdOutLogTarget::SetFlushEachLine(bool flush) {
  std::lock_guard<platform::Lock> guard(lock());
  flush_each_line_ = flush;
}

bool StdOutLogTarget::FlushEachLine() const {
  std::lock_guard<platform::Lock> guard(lock());
  return flush_each_line_;
}

DebuggerConsoleLogTarget::~DebuggerConsoleLogTarget() { Detach(); }

const char* DebuggerConsoleLogTarget::Name() const { return "DebuggerConsoleLogTarget"; }

bool DebuggerConsoleLogTarget::Write(const LogRecord& record) {
  char line[kLogBufferSize];
  FormatLine(record, line, sizeof line);
  platform::WriteDebuggerOutput(line);
  return true;
}

void DebuggerConsoleLogTarget::Flush() {}

}  // namespace sdk::diagnostics
