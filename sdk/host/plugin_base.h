// PluginBase: the class from which every plug-in of the platform derives. It owns the
// connection to the host, the plug-in's names and API version, its binding registry with the
// endpoints declared on it, the API description handed to the host, its event subscriptions and
// its request and logging plumbing.
//
// A plug-in declares its records and routes in RegisterApi and does its start-up work in
// Initialize:
//
//   class TestPlugin final : public sdk::host::PluginBase {
//     void RegisterApi() override {
//       RecordBuilder<Status> status(registry(), type_name_prefix() + "Status");
//       SDK_BINDING_MEMBER(status, ready);
//       status.Tags(api_tags());
//       DeclareRoute(endpoints(), HttpMethod::kGet, "/test/v1/status",
//                    [this] { return Status{ready_}; }).Tags(api_tags());
//     }
//     bool Initialize() override {
//       SubscribeResource("/test/v1/config", [this](const PluginResourceEvent& e) { ... });
//       return true;
//     }
//   };
//
//   SDK_PLUGIN_EXPORT void load_test(PluginLoadBlock* block);
//   SDK_PLUGIN_EXPORT void load_test(PluginLoadBlock* block) {
//     sdk::host::PluginBase::Register(new TestPlugin(), block, "test");
//   }
//
// Life cycle. The export creates the instance and calls Register, which checks the core's
// plug-in API version (an incompatible core ends the process with an assertion report), names
// the plug-in, registers the platform's types and events, calls RegisterApi, builds the API
// description and writes the load block. The host then calls the entry table: Start (keeps the
// host context, forwards log records to the host, subscribes to the service-proxy events, calls
// Initialize and returns its result), MemoryStats, and finally Stop (Finalize, then the instance
// is destroyed). No exception leaves an entry: each catches everything and reports failure.
//
// Threads. The plug-in starts no thread. Entries, event deliveries and requests for endpoints
// arrive on host threads, possibly at the same time. The event tables (subscription counts,
// event handlers, resource handlers, service-proxy tables) are guarded by locks; a delivery
// copies its handler's reference-counted holder under the lock and calls it outside, so a
// delivery concurrent with Subscribe, Unsubscribe, replacement of a handler or Finalize never
// touches freed memory. Subscribe, Unsubscribe, SetEventHandler and Finalize call the host's
// subscribe and unsubscribe entries while holding the plug-in's subscription lock (so that the
// host sees them in the order of the counts); a host must not wait inside those entries for a
// callback of this plug-in that itself subscribes. The destructor waits for deliveries that
// are still running.
#ifndef SDK_HOST_PLUGIN_BASE_H_
#define SDK_HOST_PLUGIN_BASE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/dispatch/api_description.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/route.h"
#include "sdk/host/host_stream.h"
#include "sdk/host/platform_types.h"
#include "sdk/host/plugin_abi.h"
#include "sdk/host/plugin_events.h"
#include "sdk/host/plugin_naming.h"
#include "sdk/text/format_message.h"

// Declares the library's one export (project_plugin in cmake/PluginLibrary.cmake hides every
// other symbol).
#define SDK_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace sdk::diagnostics {
class Logger;
}  // namespace sdk::diagnostics

namespace sdk::host {

class PluginLogTarget;
class TelemetrySender;

namespace detail {
// Hash maps keyed by text that are looked up by string_view without building a string.
struct TextKeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextKeyHash, std::equal_to<>>;
}  // namespace detail

class PluginBase {
 public:
  PluginBase();
  PluginBase(const PluginBase&) = delete;
  PluginBase& operator=(const PluginBase&) = delete;

  // The virtual operations, in slot order.

  // Slot 0: raises the subscription count of the uri's event (EventNameFor); on the first
  // subscription the event's handler becomes the resource dispatch and the host is asked to
  // subscribe.
  virtual void Subscribe(std::string_view uri);
  // Slot 1: lowers the count; at 0 the host subscription ends and the event's handler goes.
  virtual void Unsubscribe(std::string_view uri);
  // Slot 2. Waits for deliveries that are still running.
  virtual ~PluginBase();
  // Slot 3: ends every subscription at the host and empties every handler table. Events
  // delivered afterwards are dropped.
  virtual void Finalize();
  // Slots 4-12 forward to the host call table's entries 0-8 with the table first; each does
  // nothing (and HostCall8 returns 0) before Start or when the host left the entry null.
  virtual void HostRequest(PluginResponseRecord* response, const PluginRequestRecord* request);
  virtual void HostCall1(uint32_t a, uint32_t b);
  virtual void HostSendEvent(const HostEventRecord* event);
  virtual void HostSubscribe(const char* name, uint32_t plugin_id, HostEventCallback callback,
                             void* context, uint32_t flags);
  virtual void HostUnsubscribe(const char* name, uint32_t plugin_id);
  virtual void HostCall5(uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e);
  virtual void HostCall6();
  virtual void HostCall7(const char* text, uint32_t word);
  virtual uint64_t HostCall8();
  // Slot 13: the plug-in declares its records and endpoints. The base declares nothing.
  virtual void RegisterApi();
  // Slot 14: the plug-in's start-up work, run by Start; its result is Start's.
  virtual bool Initialize() = 0;

  // Registration, called by the library's export with a new instance, which it takes over: on
  // return the load block holds the plug-in's API version 18.0.0, the entry table, the instance,
  // the short name and the API description. An incompatible core (see IsCompatibleCore) logs
  // the assertion report "ALE-EECF0606" at level error and ends the process. A null block or
  // short name destroys the instance and writes nothing.
  static void Register(PluginBase* instance, PluginLoadBlock* block, const char* short_name);

  // The entry table that Register hands the host (Start, Stop, MemoryStats).
  static const PluginEntryTable& entry_table();

  // Names, filled by Register.
  const PluginNaming& naming() const { return naming_; }
  const std::string& short_name() const { return naming_.short_name; }
  // The prefix of every type name the plug-in registers: "Sanitizer" for "sanitizer".
  const std::string& type_name_prefix() const { return type_name_prefix_; }
  // "Plugins" and "Plugin <short name>".
  const std::vector<std::string>& api_tags() const { return api_tags_; }
  // The host's id for this plug-in, from Start; 0 before.
  uint32_t plugin_id() const { return plugin_id_; }
  const HostContext* host_context() const { return context_; }

  sdk::binding::BindingRegistry& registry() { return registry_; }
  const sdk::binding::BindingRegistry& registry() const { return registry_; }
  sdk::dispatch::EndpointTable& endpoints() { return endpoints_; }
  // Null until Register has built it.
  const sdk::dispatch::ApiDescription* api_description() const { return description_.get(); }
  // Null until Start.
  TelemetrySender* telemetry() { return telemetry_.get(); }

  // Requests to the host. All are synchronous and return their result or an error text (the
  // texts are those listed with each); none logs. Every response record is released once.

  // Sends a request without arguments. Fails with "Error response for {method} {url}: {error}"
  // and the host's status when the response carries an error text.
  HostOutcome<HostResponse> Request(sdk::dispatch::HttpMethod method, std::string_view path);
  // Request, then the result as a value: the response's host value, or a streamed response read
  // whole into a blob; then converted into T by the registry (BindingValue: as it is). Fails
  // also with "Error converting response for {method} {url}: {error}" and "Error reading
  // streamed response for {method} {url}: Stream read error".
  template <typename T = sdk::binding::BindingValue>
  HostOutcome<T> RequestValue(sdk::dispatch::HttpMethod method, std::string_view path);
  // Request, then the streamed response; fails also with "Stream response was requested but the
  // response wasn't a stream for {url}".
  HostOutcome<HostStream> RequestStream(sdk::dispatch::HttpMethod method, std::string_view path);
  // A request with typed arguments: the members of a structure become named arguments, the
  // elements of a collection positional ones, an empty value none. Any other value fails with
  // "Request not sent: Error converting parameters for {method} {url}: {error}" and status 400
  // without calling the host.
  HostOutcome<HostResponse> RequestWithArguments(sdk::dispatch::HttpMethod method,
                                                 std::string_view path,
                                                 const sdk::binding::BindingValue& arguments);
  // Reads the rest of the stream as ReadWholeStream does, then closes it. Fails with "Stream read
  // error at offset {offset}" (the bytes read before the failure).
  HostOutcome<std::vector<uint8_t>> ReadAll(HostStream& stream);
  // A wait step: HostCall7("Wait: yield", 0), HostCall6(), then HostCall8's result.
  uint64_t Wait();

  // Events.

  // Stores the handler of event `name` (replacing an earlier one), then asks the host to
  // subscribe with the delivery callback, this instance as context and `flags`. Does nothing
  // once Finalize has run.
  template <typename Record>
  void SetEventHandler(std::string_view name, std::function<void(const Record&)> handler,
                       uint32_t flags) {
    SetEventHandlerHolder(
        name, std::make_shared<TypedEventHandler<Record>>(registry_, std::move(handler)), flags);
  }
  // Keeps `handler` for the resource `uri` (a pattern when it holds "*", replacing an earlier
  // handler of the same exact uri otherwise) and subscribes to the uri's event. For an exact uri
  // the resource is read at once with a GET; when that succeeds the handler is called with a
  // Create event of the value.
  void SubscribeResource(std::string_view uri, ResourceHandler handler);
  // The same with the event's data converted into T first; for a Delete event nothing is
  // converted and T is default-constructed. An event whose data does not convert is skipped.
  template <typename T>
  void SubscribeResource(std::string_view uri,
                         std::function<void(PluginResourceEventType type, const T& data)> handler);
  // Publishes `record` (any registered record with a `uri` text member) as the event named
  // EventNameFor(record.uri) and then, when that differs, as `base_name`. Fails with the
  // conversion's message, sending nothing, when the record does not convert.
  template <typename Record>
  HostOutcome<void> SendEvent(std::string_view base_name, const Record& record, uint32_t flags = 0);

  // Service-proxy messages: a handler for the async messages of one service method, and a
  // handler for the one response (by uuid) to a request the plug-in made.
  void SetServiceProxyHandler(std::string_view service_name, std::string_view method_name,
                              ServiceProxyHandler handler);
  void AddPendingServiceProxyRequest(std::string_view uuid, ServiceProxyHandler handler);

  // The callback the host calls with each event of a subscription; the record's context is the
  // instance. Converts the payload and calls the event's handler; an event without a handler,
  // or whose payload does not convert, is dropped with a trace line. Never throws; null records
  // and records without a context or name are ignored.
  static void DeliverEvent(const HostEventRecord* event) noexcept;

 protected:
  // Waits until no event delivery is running in this instance. A plug-in whose handlers use
  // members of its own calls this first in its destructor: the base's destructor waits too, but
  // only once the derived members are gone.
  void WaitForDeliveries() const;

 private:
  // The entry table's functions; each catches everything.
  static uint8_t StartEntry(void* instance, const HostContext* context) noexcept;
  static void StopEntry(void* instance) noexcept;
  static void MemoryStatsEntry(void* instance, uint32_t* out_words) noexcept;
  static void TraceResourceConversionFailure(const sdk::binding::TypeBinding& type,
                                             std::string_view uri);

  // Register's steps after the version check: names, tags, prefix, the platform's types,
  // RegisterApi, the API description.
  void Describe(const char* short_name);
  bool Start(const HostContext* context);
  void ConnectLogging();
  void SetEventHandlerHolder(std::string_view name, std::shared_ptr<EventHandler> handler,
                             uint32_t flags);
  void Deliver(const HostEventRecord& event);
  void DispatchResourceEvent(const PluginResourceEvent& event);
  // False, keeping nothing, once Finalize has run.
  bool AddResourceHandler(std::string_view uri, std::shared_ptr<ResourceHandler> handler);
  void OnServiceProxyMethodEvent(const PluginServiceProxyResponse& response, bool async);
  void OnServiceProxyUuidEvent(const PluginServiceProxyResponse& response);
  HostOutcome<sdk::binding::BindingValue> RequestBindingValue(sdk::dispatch::HttpMethod method,
                                                              std::string_view path);
  HostOutcome<HostResponse> SendRequest(sdk::dispatch::HttpMethod method, std::string_view path,
                                        const PluginTypedArgument* arguments, uint32_t count);
  HostOutcome<void> SendEventValue(std::string_view base_name, std::string_view uri,
                                   const sdk::binding::BindingValue& payload, uint32_t flags);
  const HostCallTable* CallTable() const {
    return context_ != nullptr ? context_->call_table : nullptr;
  }

  sdk::diagnostics::Logger* logger_;
  sdk::binding::BindingRegistry registry_;
  sdk::dispatch::EndpointTable endpoints_{registry_};
  std::unique_ptr<sdk::dispatch::ApiDescription> description_;
  PluginNaming naming_;
  std::string type_name_prefix_;
  std::vector<std::string> api_tags_;
  const HostContext* context_ = nullptr;
  uint32_t plugin_id_ = 0;
  std::unique_ptr<PluginLogTarget> log_target_;
  std::unique_ptr<TelemetrySender> telemetry_;

  // Serialises Subscribe, Unsubscribe, SetEventHandler and Finalize with their host calls.
  std::recursive_mutex subscription_mutex_;
  // Guards the tables below; held only for map operations, never while calling out.
  mutable std::mutex tables_mutex_;
  bool finalized_ = false;
  detail::TextMap<uint32_t> subscription_counts_;
  detail::TextMap<std::shared_ptr<EventHandler>> event_handlers_;
  // Names subscribed at the host, which Finalize ends.
  std::set<std::string, std::less<>> host_subscriptions_;
  detail::TextMap<std::shared_ptr<ResourceHandler>> exact_resource_handlers_;
  std::vector<std::pair<std::string, std::shared_ptr<ResourceHandler>>> pattern_resource_handlers_;

  std::mutex service_proxy_mutex_;
  detail::TextMap<std::shared_ptr<ServiceProxyHandler>> service_proxy_handlers_;
  detail::TextMap<std::shared_ptr<ServiceProxyHandler>> pending_service_proxy_;

  std::atomic<int> active_deliveries_{0};
};

template <typename T>
HostOutcome<T> PluginBase::RequestValue(sdk::dispatch::HttpMethod method, std::string_view path) {
  HostOutcome<sdk::binding::BindingValue> value = RequestBindingValue(method, path);
  if constexpr (std::is_same_v<T, sdk::binding::BindingValue>) {
    return value;
  } else {
    if (!value.ok()) return value.error();
    T record{};
    sdk::binding::BindingResult result;
    sdk::binding::FromValue(result, record, value.value(), path, registry_);
    if (!result.ok()) {
      return HostError{
          sdk::text::FormatMessage("Error converting response for %1 %2: %3",
                                   sdk::dispatch::MethodName(method), path, result.ErrorMessage()),
          0};
    }
    return record;
  }
}

template <typename T>
void PluginBase::SubscribeResource(
    std::string_view uri,
    std::function<void(PluginResourceEventType type, const T& data)> handler) {
  SubscribeResource(uri, [this, handler = std::move(handler)](const PluginResourceEvent& event) {
    T data{};
    if (event.eventType != PluginResourceEventType::Delete) {
      sdk::binding::BindingResult result;
      sdk::binding::FromValue(result, data, event.data, "data", registry_);
      if (!result.ok()) {
        TraceResourceConversionFailure(sdk::binding::BindNativeType<T>(registry_), event.uri);
        return;
      }
    }
    if (handler) handler(event.eventType, data);
  });
}

template <typename Record>
HostOutcome<void> PluginBase::SendEvent(std::string_view base_name, const Record& record,
                                        uint32_t flags) {
  sdk::binding::BindingResult result;
  sdk::binding::ToValue(registry_, result, record);
  if (!result.ok()) return HostError{std::string(result.ErrorMessage()), 0};
  return SendEventValue(base_name, record.uri, result.value(), flags);
}

}  // namespace sdk::host

#endif  // SDK_HOST_PLUGIN_BASE_H_
