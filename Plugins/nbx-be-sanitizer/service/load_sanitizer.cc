// The library's one export, load_sanitizer: the host calls it with its load block once the
// library is loaded. It creates the SanitizerPlugin and registers it, which fills the block
// (API version, entry table, instance, short name, API description) or, for an incompatible
// core, ends the process with the base's assertion report.
#include "Plugins/nbx-be-sanitizer/service/sanitizer_plugin.h"
#include "sdk/host/plugin_abi.h"
#include "sdk/host/plugin_base.h"

SDK_PLUGIN_EXPORT void load_sanitizer(PluginLoadBlock* block);

SDK_PLUGIN_EXPORT void load_sanitizer(PluginLoadBlock* block) {
  try {
    sdk::host::PluginBase::Register(new sanitizer::service::SanitizerPlugin(), block,
                                    sanitizer::service::kPluginShortName);
  } catch (...) {
    // Register reports its own failures in the block; only creating the instance can end here
    // (out of memory), and the block then stays as the host gave it, without an entry table.
  }
}
