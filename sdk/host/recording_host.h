// RecordingHost: a host call table for tests of the plug-in base that logs every call of its ten
// entries with its arguments, answers requests through a function the test sets, and keeps the
// subscriptions so that the test can deliver events through the plug-in's callback.
//
// Calls are logged as lines such as "request 2 /x caller 7", "send OnJsonApiEvent {..}",
// "subscribe OnJsonApiEvent_a 7 0", "unsubscribe OnJsonApiEvent_a 7", "call1 1 2",
// "call5 1 2 3 4 5", "call6", "call7 Wait: yield 0", "call8", "log 3 text". Host values are
// rendered by RenderHostValue. Every entry may be called from several threads.
#ifndef SDK_HOST_RECORDING_HOST_H_
#define SDK_HOST_RECORDING_HOST_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "sdk/host/plugin_base.h"

namespace sdk::host::testing {

// null, true, 7, 1.5, "text", b"bytes", [..], {"key":value,..}; tags beyond 10 as tag(N).
std::string RenderHostValue(const HostValue& value);

// A host value of tag 5 borrowing `text`.
HostValue BorrowedTextValue(const char* text);

class RecordingHost {
 public:
  using RequestFunction =
      std::function<void(PluginResponseRecord* response, const PluginRequestRecord* request)>;

  RecordingHost();
  RecordingHost(const RecordingHost&) = delete;
  RecordingHost& operator=(const RecordingHost&) = delete;

  const HostCallTable* table() const { return &holder_.table; }
  // A context with this table and `plugin_id`; valid as long as the host.
  const HostContext* context(uint32_t plugin_id = 7);

  // Answers every request; the default answers with the error text "Not found" and status 404.
  void SetRequestFunction(RequestFunction function);
  // The result of entry 8.
  void SetWaitResult(uint64_t result) { wait_result_ = result; }

  // The calls so far, and then forgets them.
  std::vector<std::string> TakeCalls();
  std::vector<std::string> Calls() const;
  // Calls whose line starts with `prefix`.
  std::vector<std::string> CallsStartingWith(std::string_view prefix) const;

  // Calls the callback of every subscription named `name` with a record of that name and
  // `payload`; returns the number of callbacks called.
  int Deliver(std::string_view name, const HostValue& payload);
  // Removes every entry of the table (all null), as a broken host might hand over.
  void ClearTable();

 private:
  struct Subscription {
    std::string name;
    HostEventCallback callback;
    void* context;
  };
  static RecordingHost& Of(const HostCallTable* table);
  void Record(std::string line);

  // The table with a way back to its host: a standard-layout pair whose first member's address
  // is the pair's.
  struct TableHolder {
    HostCallTable table;
    RecordingHost* host;
  };
  TableHolder holder_{};
  HostContext context_{};
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<Subscription> subscriptions_;
  RequestFunction request_;
  uint64_t wait_result_ = 0;
};

// A plug-in of type Plugin registered against a core of API 18.0.0 with a RecordingHost, and
// stopped (finalised and destroyed through the entry table) at the end of its scope.
template <typename Plugin>
class RegisteredPlugin {
 public:
  template <typename... Args>
  explicit RegisteredPlugin(Args&&... args) : plugin_(new Plugin(std::forward<Args>(args)...)) {
    block_.api_major = 18;
    PluginBase::Register(plugin_, &block_, "testing");
  }
  ~RegisteredPlugin() {
    if (!stopped_) Stop();
  }
  RegisteredPlugin(const RegisteredPlugin&) = delete;
  RegisteredPlugin& operator=(const RegisteredPlugin&) = delete;

  uint8_t Start(uint32_t plugin_id = 7) {
    return block_.entry_table->Start(block_.instance, host_.context(plugin_id));
  }
  void Stop() {
    block_.entry_table->Stop(block_.instance);
    stopped_ = true;
  }
  Plugin& plugin() { return *plugin_; }
  Plugin* operator->() { return plugin_; }
  RecordingHost& host() { return host_; }

 private:
  RecordingHost host_;
  PluginLoadBlock block_{};
  Plugin* plugin_;
  bool stopped_ = false;
};

}  // namespace sdk::host::testing

#endif  // SDK_HOST_RECORDING_HOST_H_
