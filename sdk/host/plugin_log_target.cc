// Forwarding of log records to the host's log entry.
#include "sdk/host/plugin_log_target.h"

namespace sdk::host {

PluginLogTarget::PluginLogTarget(const HostCallTable* table) : table_(table) {}

PluginLogTarget::~PluginLogTarget() { Detach(); }

const char* PluginLogTarget::Name() const { return kName; }

bool PluginLogTarget::Write(const sdk::diagnostics::LogRecord& record) {
  if (table_ != nullptr && table_->HostLog != nullptr) {
    table_->HostLog(table_, static_cast<int32_t>(record.level), record.message);
  }
  return true;
}

}  // namespace sdk::host
