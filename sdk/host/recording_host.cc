// The recording host call table of the plug-in base's tests.
#include "sdk/host/recording_host.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace sdk::host::testing {

std::string RenderHostValue(const HostValue& value) {
  const HostValueSpan span = value.payload.span;
  switch (value.tag) {
    case kHostValueEmpty:
      return "null";
    case kHostValueBool:
      return value.payload.boolean ? "true" : "false";
    case kHostValueSigned:
      return std::to_string(value.payload.signed_value);
    case kHostValueUnsigned:
      return std::to_string(value.payload.unsigned_value);
    case kHostValueFloat: {
      char text[40];
      std::snprintf(text, sizeof text, "%g", value.payload.float_value);
      return text;
    }
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
      return "\"" + std::string(span.data != nullptr ? static_cast<const char*>(span.data) : "") +
             "\"";
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      return "b\"" + std::string(static_cast<const char*>(span.data), span.count) + "\"";
    case kHostValueCollection: {
      const auto* elements = static_cast<const HostValue*>(span.data);
      std::string text = "[";
      for (uint32_t i = 0; i < span.count; ++i) {
        if (i > 0) text += ",";
        text += RenderHostValue(elements[i]);
      }
      return text + "]";
    }
    case kHostValueStructure: {
      const auto* entries = static_cast<const HostStructureEntry*>(span.data);
      std::string text = "{";
      for (uint32_t i = 0; i < span.count; ++i) {
        if (i > 0) text += ",";
        const HostValue member = entries[i].value;
        text += "\"" + std::string(entries[i].key) + "\":" + RenderHostValue(member);
      }
      return text + "}";
    }
    default:
      return "tag(" + std::to_string(value.tag) + ")";
  }
}

HostValue BorrowedTextValue(const char* text) {
  HostValue value{};
  value.tag = kHostValueStringBorrowed;
  value.payload.span.data = text;
  value.payload.span.count = static_cast<uint32_t>(std::strlen(text));
  return value;
}

RecordingHost::RecordingHost() {
  holder_.host = this;
  HostCallTable& entries = holder_.table;
  entries.HostRequest = [](const HostCallTable* table, PluginResponseRecord* response,
                           const PluginRequestRecord* request) {
    RecordingHost& host = Of(table);
    host.Record("request " + std::to_string(request->method) + " " +
                (request->path != nullptr ? request->path : "<null>") + " caller " +
                std::to_string(request->caller_context));
    RequestFunction function;
    {
      const std::lock_guard<std::mutex> lock(host.mutex_);
      function = host.request_;
    }
    if (function) {
      function(response, request);
    } else {
      response->error_text = "Not found";
      response->error_flag = 1;
      response->status_code = 404;
    }
  };
  entries.HostCall1 = [](const HostCallTable* table, uint32_t a, uint32_t b) {
    Of(table).Record("call1 " + std::to_string(a) + " " + std::to_string(b));
  };
  entries.HostSendEvent = [](const HostCallTable* table, const HostEventRecord* event) {
    const HostValue payload = event->payload;
    Of(table).Record("send " + std::string(event->name) + " " + RenderHostValue(payload) +
                     " flags " + std::to_string(event->flags));
  };
  entries.HostSubscribe = [](const HostCallTable* table, const char* name, uint32_t plugin_id,
                             HostEventCallback callback, void* context, uint32_t flags) {
    RecordingHost& host = Of(table);
    host.Record("subscribe " + std::string(name) + " " + std::to_string(plugin_id) + " " +
                std::to_string(flags));
    const std::lock_guard<std::mutex> lock(host.mutex_);
    host.subscriptions_.push_back({name, callback, context});
  };
  entries.HostUnsubscribe = [](const HostCallTable* table, const char* name, uint32_t plugin_id) {
    RecordingHost& host = Of(table);
    host.Record("unsubscribe " + std::string(name) + " " + std::to_string(plugin_id));
    const std::lock_guard<std::mutex> lock(host.mutex_);
    std::erase_if(host.subscriptions_, [&](const Subscription& s) { return s.name == name; });
  };
  entries.HostCall5 = [](const HostCallTable* table, uint32_t a, uint32_t b, uint32_t c, uint64_t d,
                         uint32_t e) {
    Of(table).Record("call5 " + std::to_string(a) + " " + std::to_string(b) + " " +
                     std::to_string(c) + " " + std::to_string(d) + " " + std::to_string(e));
  };
  entries.HostCall6 = [](const HostCallTable* table) { Of(table).Record("call6"); };
  entries.HostCall7 = [](const HostCallTable* table, const char* text, uint32_t word) {
    Of(table).Record("call7 " + std::string(text) + " " + std::to_string(word));
  };
  entries.HostCall8 = [](const HostCallTable* table) -> uint64_t {
    RecordingHost& host = Of(table);
    host.Record("call8");
    return host.wait_result_;
  };
  entries.HostLog = [](const HostCallTable* table, int32_t level, const char* text) {
    Of(table).Record("log " + std::to_string(level) + " " + text);
  };
}

const HostContext* RecordingHost::context(uint32_t plugin_id) {
  context_.call_table = &holder_.table;
  context_.plugin_id = plugin_id;
  return &context_;
}

void RecordingHost::SetRequestFunction(RequestFunction function) {
  const std::lock_guard<std::mutex> lock(mutex_);
  request_ = std::move(function);
}

std::vector<std::string> RecordingHost::TakeCalls() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(calls_, {});
}

std::vector<std::string> RecordingHost::Calls() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> RecordingHost::CallsStartingWith(std::string_view prefix) const {
  std::vector<std::string> found;
  for (const std::string& call : Calls()) {
    if (std::string_view(call).substr(0, prefix.size()) == prefix) found.push_back(call);
  }
  return found;
}

int RecordingHost::Deliver(std::string_view name, const HostValue& payload) {
  std::vector<Subscription> targets;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const Subscription& subscription : subscriptions_) {
      if (subscription.name == name) targets.push_back(subscription);
    }
  }
  const std::string name_text(name);
  for (const Subscription& target : targets) {
    HostEventRecord event{};
    event.name = name_text.c_str();
    event.payload = payload;
    event.context = target.context;
    target.callback(&event);
  }
  return static_cast<int>(targets.size());
}

void RecordingHost::ClearTable() { holder_.table = HostCallTable{}; }

RecordingHost& RecordingHost::Of(const HostCallTable* table) {
  return *reinterpret_cast<const TableHolder*>(table)->host;
}

void RecordingHost::Record(std::string line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(line));
}

}  // namespace sdk::host::testing
