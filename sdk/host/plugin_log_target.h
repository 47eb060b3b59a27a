// PluginLogTarget: the log target that forwards the plug-in's log records to its host.
//
// Start attaches one to the process's logger (unless one is attached already); each record
// that passes the logger's and the target's filters reaches the host call table's log entry
// with its level and its message text (not the formatted line). The target is destroyed with
// the plug-in, or when Start replaces it, and detaches itself first; after that no write to the
// host's table is running or can start.
#ifndef SDK_HOST_PLUGIN_LOG_TARGET_H_
#define SDK_HOST_PLUGIN_LOG_TARGET_H_

#include "sdk/diagnostics/log_target.h"
#include "sdk/host/plugin_abi.h"

namespace sdk::host {

class PluginLogTarget final : public sdk::diagnostics::LogTarget {
 public:
  // The name by which the logger finds an attached target of this kind.
  static constexpr const char* kName = "PluginLogTarget";

  // `table` must stay valid until the target is destroyed.
  explicit PluginLogTarget(const HostCallTable* table);
  ~PluginLogTarget() override;

  const char* Name() const override;
  // Calls the host's log entry with the record's level and message; true (a host without a log
  // entry drops the record).
  bool Write(const sdk::diagnostics::LogRecord& record) override;

 private:
  const HostCallTable* table_;
};

}  // namespace sdk::host

#endif  // SDK_HOST_PLUGIN_LOG_TARGET_H_
