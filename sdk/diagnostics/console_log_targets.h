// The built-in console targets: standard error, standard output and the debugger's output.
//
// The logger makes one of each when it is created and configures them (formats, categories,
// which are attached); see logger.h. Each formats a record with its own line format into a
// 4096-byte buffer and writes the line under its lock.
#ifndef SDK_DIAGNOSTICS_CONSOLE_LOG_TARGETS_H_
#define SDK_DIAGNOSTICS_CONSOLE_LOG_TARGETS_H_

#include "sdk/diagnostics/log_target.h"

namespace sdk::diagnostics {

// Base of the console targets; adds Flush.
class BaseConsoleLogTarget : public LogTarget {
 public:
  const char* Name() const override;
  virtual void Flush() = 0;
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
 public:
  ~StdErrLogTarget() override;
  const char* Name() const override;
  bool Write(const LogRecord& record) override;
  void Flush() override;
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
 public:
  ~StdOutLogTarget() override;
  const char* Name() const override;
  bool Write(const LogRecord& record) override;
  void Flush() override;

  // When true, every Write flushes standard output (false at first).
  void SetFlushEachLine(bool flush);
  bool FlushEachLine() const;

 private:
  bool flush_each_line_ = false;
};

// Writes to an attached debugger; silent when none listens.
class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
 public:
  ~DebuggerConsoleLogTarget() override;
  const char* Name() const override;
  bool Write(const LogRecord& record) override;
  void Flush() override;
};

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_CONSOLE_LOG_TARGETS_H_
