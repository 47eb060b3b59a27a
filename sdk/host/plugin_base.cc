// PluginBase: construction, registration, the entry table and its trampolines, Start and the
// forwarding slots. Requests are in plugin_base_requests.cc, events in plugin_base_events.cc.
#include "sdk/host/plugin_base.h"

#include <cstdlib>
#include <cstring>
#include <thread>

#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/log_line_format.h"
#include "sdk/diagnostics/log_target.h"
#include "sdk/diagnostics/logger.h"
#include "sdk/host/plugin_log_target.h"
#include "sdk/host/plugin_memory.h"
#include "sdk/host/telemetry_sender.h"

namespace sdk::host {

using sdk::diagnostics::Logger;

namespace {

// One 64-bit counter as the host reads it: low word, then high word.
void PutCounter(uint32_t* words, size_t index, uint64_t value) {
  words[2 * index] = static_cast<uint32_t>(value);
  words[2 * index + 1] = static_cast<uint32_t>(value >> 32);
}

}  // namespace

PluginBase::PluginBase() : logger_(sdk::diagnostics::AcquireLogger()) {}

PluginBase::~PluginBase() {
  // A host thread may still be inside a delivery that began before Finalize; it holds its own
  // reference to its handler, but the handler may use the instance.
  WaitForDeliveries();
  telemetry_.reset();
  log_target_.reset();  // detaches from the logger first
  sdk::diagnostics::ReleaseLogger();
}

void PluginBase::WaitForDeliveries() const {
  while (active_deliveries_.load(std::memory_order_acquire) > 0) std::this_thread::yield();
}

const PluginEntryTable& PluginBase::entry_table() {
  static const PluginEntryTable table = {&PluginBase::StartEntry, &PluginBase::StopEntry,
                                         &PluginBase::MemoryStatsEntry};
  return table;
}

void PluginBase::Register(PluginBase* instance, PluginLoadBlock* block, const char* short_name) {
  if (instance == nullptr) return;
  if (block == nullptr || short_name == nullptr) {
    delete instance;
    return;
  }
  const PluginApiVersion plugin_version = CurrentPluginApiVersion();
  const PluginApiVersion core_version{block->api_major, block->api_minor, block->api_patch, {}, {}};
  if (!IsCompatibleCore(core_version, plugin_version)) {
    const std::string plugin_text = plugin_version.ToText();
    const std::string core_text = core_version.ToText();
    const std::string description = sdk::text::FormatMessage(
        "%1 which supports plugin API %2 is not compatible with core's plugin API %3", short_name,
        plugin_text, core_text);
    sdk::diagnostics::LogAssertion("ALE-EECF0606", nullptr, 0, nullptr, description.c_str());
    std::abort();
  }
  try {
    instance->Describe(short_name);
  } catch (...) {
    // The host finds no entry table and treats the load as failed.
    delete instance;
    block->entry_table = nullptr;
    block->instance = nullptr;
    block->short_name = nullptr;
    block->api_description = nullptr;
    return;
  }
  block->api_major = plugin_version.major;
  block->api_minor = plugin_version.minor;
  block->api_patch = plugin_version.patch;
  block->entry_table = &entry_table();
  block->instance = instance;
  block->short_name = instance->naming_.short_name.c_str();
  block->api_description = instance->description_->record();
}

void PluginBase::Describe(const char* short_name) {
  naming_ = GetFullNameFromShortNameAndType(short_name, BackendPluginType());
  api_tags_ = {"Plugins", "Plugin " + naming_.short_name};
  type_name_prefix_ =
      sdk::dispatch::FunctionNameFor(sdk::dispatch::HttpMethod::kNone, naming_.short_name);
  RegisterPlatformTypes(registry_);
  RegisterApi();
  description_ = sdk::dispatch::BuildApiDescription(registry_, endpoints_);
}

uint8_t PluginBase::StartEntry(void* instance, const HostContext* context) noexcept {
  if (instance == nullptr) return 0;
  try {
    return static_cast<PluginBase*>(instance)->Start(context) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void PluginBase::StopEntry(void* instance) noexcept {
  if (instance == nullptr) return;
  auto* const plugin = static_cast<PluginBase*>(instance);
  try {
    plugin->Finalize();
  } catch (...) {
    // The instance goes all the same; the host makes no further call on it.
  }
  try {
    delete plugin;
  } catch (...) {
  }
}

void PluginBase::MemoryStatsEntry(void* /*instance*/, uint32_t* out_words) noexcept {
  if (out_words == nullptr) return;
  const PluginMemoryCounters counters = GetPluginMemoryCounters();
  PutCounter(out_words, 0, counters.peak_bytes_in_use);
  PutCounter(out_words, 1, counters.peak_live_allocations);
  PutCounter(out_words, 2, counters.bytes_allocated);
  PutCounter(out_words, 3, counters.allocations);
  PutCounter(out_words, 4, counters.bytes_freed);
  PutCounter(out_words, 5, counters.frees);
  out_words[12] = 0;
  out_words[13] = 0;
}

bool PluginBase::Start(const HostContext* context) {
  if (context == nullptr || context->call_table == nullptr) return false;
  context_ = context;
  ConnectLogging();
  plugin_id_ = context->plugin_id;
  telemetry_ = std::make_unique<TelemetrySender>(*this);
  SetEventHandler<PluginServiceProxyResponse>(
      kOnServiceProxyUuidEvent,
      [this](const PluginServiceProxyResponse& response) { OnServiceProxyUuidEvent(response); }, 1);
  SetEventHandler<PluginServiceProxyResponse>(
      kOnServiceProxyMethodEvent,
      [this](const PluginServiceProxyResponse& response) {
        OnServiceProxyMethodEvent(response, false);
      },
      1);
  SetEventHandler<PluginServiceProxyResponse>(
      kOnServiceProxyAsyncEvent,
      [this](const PluginServiceProxyResponse& response) {
        OnServiceProxyMethodEvent(response, true);
      },
      1);
  return Initialize();
}

void PluginBase::ConnectLogging() {
  Logger& logger = *logger_;
  if (logger.Find(PluginLogTarget::kName) != nullptr) return;
  logger.Detach(logger.StdErr().sink());
  logger.Detach(logger.StdOut().sink());
  logger.Detach(logger.DebuggerConsole().sink());
  logger.SetLevel(sdk::diagnostics::kLogOkay);
  logger.SetExcludedCategories(sdk::diagnostics::kCategoryXtr);
  auto target = std::make_unique<PluginLogTarget>(context_->call_table);
  target->SetLevel(logger.Level());
  target->SetCategories(0, 0);
  target->SetFormat(sdk::diagnostics::kDefaultLogLineFormat);
  log_target_ = std::move(target);  // the one owned before detaches as it goes
  logger.Attach(log_target_->sink());
}

void PluginBase::HostRequest(PluginResponseRecord* response, const PluginRequestRecord* request) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostRequest != nullptr)
    table->HostRequest(table, response, request);
}

void PluginBase::HostCall1(uint32_t a, uint32_t b) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostCall1 != nullptr) table->HostCall1(table, a, b);
}

void PluginBase::HostSendEvent(const HostEventRecord* event) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostSendEvent != nullptr) table->HostSendEvent(table, event);
}

void PluginBase::HostSubscribe(const char* name, uint32_t plugin_id, HostEventCallback callback,
                               void* context, uint32_t flags) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostSubscribe != nullptr) {
    table->HostSubscribe(table, name, plugin_id, callback, context, flags);
  }
}

void PluginBase::HostUnsubscribe(const char* name, uint32_t plugin_id) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostUnsubscribe != nullptr) {
    table->HostUnsubscribe(table, name, plugin_id);
  }
}

void PluginBase::HostCall5(uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostCall5 != nullptr) table->HostCall5(table, a, b, c, d, e);
}

void PluginBase::HostCall6() {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostCall6 != nullptr) table->HostCall6(table);
}

void PluginBase::HostCall7(const char* text, uint32_t word) {
  const HostCallTable* const table = CallTable();
  if (table != nullptr && table->HostCall7 != nullptr) table->HostCall7(table, text, word);
}

uint64_t PluginBase::HostCall8() {
  const HostCallTable* const table = CallTable();
  return table != nullptr && table->HostCall8 != nullptr ? table->HostCall8(table) : 0;
}

void PluginBase::RegisterApi() {}

uint64_t PluginBase::Wait() {
  HostCall7("Wait: yield", 0);
  HostCall6();
  return HostCall8();
}

}  // namespace sdk::host
