// PluginBase: subscriptions, the delivery of host events, resource dispatch, publishing and
// the service-proxy messages.
#include <string>
#include <utility>
#include <vector>

#include "sdk/binding/host_value.h"
#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/trace.h"
#include "sdk/host/plugin_base.h"

namespace sdk::host {

using sdk::binding::BindingValue;
using sdk::diagnostics::Trace;

namespace {

// Counts a delivery in progress for as long as it runs.
class DeliveryScope {
 public:
  explicit DeliveryScope(std::atomic<int>& count) : count_(count) {
    count_.fetch_add(1, std::memory_order_acq_rel);
  }
  ~DeliveryScope() { count_.fetch_sub(1, std::memory_order_acq_rel); }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;

 private:
  std::atomic<int>& count_;
};

std::string_view TypeNameOf(const sdk::binding::TypeBinding& type) {
  return type.converter_type != nullptr ? std::string_view(type.converter_type->name)
                                        : type.static_type->DisplayText();
}

}  // namespace

void PluginBase::Subscribe(std::string_view uri) {
  const std::string name = EventNameFor(uri);
  const std::lock_guard<std::recursive_mutex> serial(subscription_mutex_);
  uint32_t count = 0;
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    if (finalized_) return;
    uint32_t& stored = subscription_counts_[name];
    if (stored != UINT32_MAX) ++stored;
    count = stored;
  }
  if (count != 1) return;
  Trace("%s: Subscribing to event: %s", short_name().c_str(), name.c_str());
  SetEventHandler<PluginResourceEvent>(
      name, [this](const PluginResourceEvent& event) { DispatchResourceEvent(event); }, 0);
}

void PluginBase::Unsubscribe(std::string_view uri) {
  const std::string name = EventNameFor(uri);
  const std::lock_guard<std::recursive_mutex> serial(subscription_mutex_);
  std::shared_ptr<EventHandler> removed;  // destroyed after the lock is released
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    const auto count = subscription_counts_.find(name);
    if (count == subscription_counts_.end()) return;
    if (--count->second > 0) return;
    subscription_counts_.erase(count);
    const auto handler = event_handlers_.find(name);
    if (handler != event_handlers_.end()) {
      removed = std::move(handler->second);
      event_handlers_.erase(handler);
    }
    host_subscriptions_.erase(name);
  }
  HostUnsubscribe(name.c_str(), plugin_id_);
  Trace("%s: Unsubscribing to event: %s", short_name().c_str(), name.c_str());
}

void PluginBase::SetEventHandlerHolder(std::string_view name, std::shared_ptr<EventHandler> handler,
                                       uint32_t flags) {
  const std::string name_text(name);
  const std::lock_guard<std::recursive_mutex> serial(subscription_mutex_);
  std::shared_ptr<EventHandler> replaced;  // destroyed after the lock is released
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    if (finalized_) return;
    std::shared_ptr<EventHandler>& slot = event_handlers_[name_text];
    replaced = std::exchange(slot, std::move(handler));
    host_subscriptions_.insert(name_text);
  }
  HostSubscribe(name_text.c_str(), plugin_id_, &PluginBase::DeliverEvent, this, flags);
}

void PluginBase::Finalize() {
  const std::lock_guard<std::recursive_mutex> serial(subscription_mutex_);
  // Everything leaves the tables under the lock and is destroyed after it is released.
  std::set<std::string, std::less<>> names;
  detail::TextMap<std::shared_ptr<EventHandler>> handlers;
  detail::TextMap<std::shared_ptr<ResourceHandler>> exact;
  std::vector<std::pair<std::string, std::shared_ptr<ResourceHandler>>> patterns;
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    finalized_ = true;
    names.swap(host_subscriptions_);
    subscription_counts_.clear();
    handlers.swap(event_handlers_);
    exact.swap(exact_resource_handlers_);
    patterns.swap(pattern_resource_handlers_);
  }
  detail::TextMap<std::shared_ptr<ServiceProxyHandler>> proxy_handlers;
  detail::TextMap<std::shared_ptr<ServiceProxyHandler>> pending;
  {
    const std::lock_guard<std::mutex> lock(service_proxy_mutex_);
    proxy_handlers.swap(service_proxy_handlers_);
    pending.swap(pending_service_proxy_);
  }
  for (const std::string& name : names) HostUnsubscribe(name.c_str(), plugin_id_);
}

void PluginBase::DeliverEvent(const HostEventRecord* event) noexcept {
  if (event == nullptr || event->context == nullptr) return;
  auto* const plugin = static_cast<PluginBase*>(event->context);
  try {
    plugin->Deliver(*event);
  } catch (...) {
    // A handler's exception ends its delivery; the host's thread goes on.
  }
}

void PluginBase::Deliver(const HostEventRecord& event) {
  const DeliveryScope scope(active_deliveries_);
  if (event.name == nullptr) return;
  const std::string_view name(event.name);
  std::shared_ptr<EventHandler> handler;
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    const auto found = event_handlers_.find(name);
    if (found == event_handlers_.end()) return;
    handler = found->second;
  }
  if (handler == nullptr) return;
  BindingValue payload;
  sdk::binding::HostErrorRecord error;
  if (!sdk::binding::FromHostValue(error, payload, event.payload, "payload")) {
    const std::string type_name(handler->RecordTypeName());
    Trace("%s: Couldn't convert payload %s for event %s: %s", short_name().c_str(),
          type_name.c_str(), event.name, error.error_text != nullptr ? error.error_text : "");
    sdk::binding::ReleaseHostErrorRecord(error);
    return;
  }
  Trace("%s: Handling event %s", short_name().c_str(), event.name);
  std::string message;
  if (!handler->Handle(payload, message)) {
    const std::string type_name(handler->RecordTypeName());
    Trace("%s: Couldn't convert payload %s for event %s: %s", short_name().c_str(),
          type_name.c_str(), event.name, message.c_str());
  }
}

void PluginBase::DispatchResourceEvent(const PluginResourceEvent& event) {
  const bool rooted = !event.uri.empty() && event.uri[0] == '/';
  const std::string uri = rooted ? event.uri : "/" + event.uri;
  std::vector<std::shared_ptr<ResourceHandler>> calls;
  {
    const std::lock_guard<std::mutex> lock(tables_mutex_);
    const auto exact = exact_resource_handlers_.find(uri);
    if (exact != exact_resource_handlers_.end()) calls.push_back(exact->second);
    for (const auto& [pattern, handler] : pattern_resource_handlers_) {
      if (UriPatternMatches(pattern, uri)) calls.push_back(handler);
    }
  }
  if (calls.empty()) return;
  if (rooted) {
    for (const auto& handler : calls) (*handler)(event);
    return;
  }
  PluginResourceEvent normalised;
  normalised.uri = uri;
  normalised.eventType = event.eventType;
  normalised.data = event.data;
  for (const auto& handler : calls) (*handler)(normalised);
}

bool PluginBase::AddResourceHandler(std::string_view uri,
                                    std::shared_ptr<ResourceHandler> handler) {
  std::shared_ptr<ResourceHandler> replaced;  // destroyed after the lock is released
  const std::lock_guard<std::mutex> lock(tables_mutex_);
  if (finalized_) return false;
  if (uri.find('*') != std::string_view::npos) {
    pattern_resource_handlers_.emplace_back(std::string(uri), std::move(handler));
  } else {
    replaced = std::exchange(exact_resource_handlers_[std::string(uri)], std::move(handler));
  }
  return true;
}

void PluginBase::SubscribeResource(std::string_view uri, ResourceHandler handler) {
  auto holder = std::make_shared<ResourceHandler>(std::move(handler));
  if (!AddResourceHandler(uri, holder)) return;  // finalised: nothing subscribes any more
  Subscribe(uri);
  if (uri.find('*') != std::string_view::npos) return;
  HostOutcome<BindingValue> value = RequestValue(sdk::dispatch::HttpMethod::kGet, uri);
  if (!value.ok() || !*holder) return;
  PluginResourceEvent event;
  event.uri = std::string(uri);
  event.eventType = PluginResourceEventType::Create;
  event.data = std::move(value.value());
  (*holder)(event);
}

void PluginBase::TraceResourceConversionFailure(const sdk::binding::TypeBinding& type,
                                                std::string_view uri) {
  const std::string type_name(TypeNameOf(type));
  const std::string uri_text(uri);
  Trace("Couldn't convert resource %s to C++ while handling update for URL: %s", type_name.c_str(),
        uri_text.c_str());
}

HostOutcome<void> PluginBase::SendEventValue(std::string_view base_name, std::string_view uri,
                                             const BindingValue& payload, uint32_t flags) {
  const std::string full_name = EventNameFor(uri);
  Trace("%s: Sending event: %s", short_name().c_str(), full_name.c_str());
  HostEventRecord record{};
  if (!sdk::binding::ToHostValue(record.payload, payload, &registry_)) {
    sdk::binding::ReleaseHostValue(record.payload);
    return HostError{"Out of memory", 0};
  }
  record.name = full_name.c_str();
  record.flags = flags;
  HostSendEvent(&record);
  if (full_name != base_name) {
    const std::string base(base_name);
    record.name = base.c_str();
    HostSendEvent(&record);
  }
  sdk::binding::ReleaseHostValue(record.payload);
  return {};
}

void PluginBase::SetServiceProxyHandler(std::string_view service_name, std::string_view method_name,
                                        ServiceProxyHandler handler) {
  const std::string key = sdk::text::FormatMessage("%1.%2", service_name, method_name);
  auto holder = std::make_shared<ServiceProxyHandler>(std::move(handler));
  std::shared_ptr<ServiceProxyHandler> replaced;
  const std::lock_guard<std::mutex> lock(service_proxy_mutex_);
  replaced = std::exchange(service_proxy_handlers_[key], std::move(holder));
}

void PluginBase::AddPendingServiceProxyRequest(std::string_view uuid, ServiceProxyHandler handler) {
  auto holder = std::make_shared<ServiceProxyHandler>(std::move(handler));
  std::shared_ptr<ServiceProxyHandler> replaced;
  const std::lock_guard<std::mutex> lock(service_proxy_mutex_);
  replaced = std::exchange(pending_service_proxy_[std::string(uuid)], std::move(holder));
}

void PluginBase::OnServiceProxyMethodEvent(const PluginServiceProxyResponse& response, bool async) {
  const std::string key =
      sdk::text::FormatMessage("%1.%2", response.serviceName, response.methodName);
  std::shared_ptr<ServiceProxyHandler> handler;
  {
    const std::lock_guard<std::mutex> lock(service_proxy_mutex_);
    if (async) {
      const auto found = service_proxy_handlers_.find(key);
      if (found != service_proxy_handlers_.end()) handler = found->second;
    } else {
      // A response only fulfils a request the plug-in is waiting for; others are not kept, so
      // that unsolicited messages cannot pile up.
      const auto found = pending_service_proxy_.find(response.uuid);
      if (found != pending_service_proxy_.end()) {
        handler = std::move(found->second);
        pending_service_proxy_.erase(found);
      }
    }
  }
  if (async && handler == nullptr) {
    sdk::diagnostics::Log(sdk::diagnostics::kLogError, sdk::diagnostics::kCategoryDbg,
                          "%s: Could not find registered handler for async service proxy event %s",
                          short_name().c_str(), key.c_str());
    return;
  }
  if (handler == nullptr) return;
  if (*handler) (*handler)(response);
  if (!async) {
    sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryDbg,
                          "%s: Fulfilled service proxy request: %s", short_name().c_str(),
                          key.c_str());
  }
}

void PluginBase::OnServiceProxyUuidEvent(const PluginServiceProxyResponse& response) {
  std::shared_ptr<ServiceProxyHandler> handler;
  {
    const std::lock_guard<std::mutex> lock(service_proxy_mutex_);
    const auto found = pending_service_proxy_.find(response.uuid);
    if (found == pending_service_proxy_.end()) return;
    handler = std::move(found->second);
    pending_service_proxy_.erase(found);
  }
  if (*handler) (*handler)(response);
  sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryDbg,
                        "%s: Fulfilled service proxy request: %s", short_name().c_str(),
                        response.uuid.c_str());
}

}  // namespace sdk::host
