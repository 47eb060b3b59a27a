// The test plug-in: a small plug-in built on the plug-in base exactly as the sanitizer is (the
// same CMake helper, one export, counting allocation), on which the host library's end-to-end
// tests exercise everything a host meets: registration and the description record, requests
// with path, query and body arguments, handler errors, streamed responses, requests back to the
// host (values and streams), subscriptions and the events they deliver, published events and
// forwarded log lines.
//
// Short name "testplugin" (full name "nbx-be-testplugin", type-name prefix "Testplugin"), export
// load_testplugin. Initialize logs "TestPlugin::Initialize: starting" and subscribes to
// "/testplugin/v1/config"; every resource event that reaches the plug-in is recorded (host
// threads may deliver them concurrently, hence the lock) and served back by
// GET /testplugin/v1/events. The endpoints, in declaration order:
//   GET  /testplugin/v1/status        -> TestpluginStatus {initialized, eventCount}
//   POST /testplugin/v1/echo          body TestpluginEchoRequest -> TestpluginEchoResponse
//   GET  /testplugin/v1/items/{id}    ?count -> TestpluginItem {id, count}
//   POST /testplugin/v1/fail          body TestpluginFailRequest -> its status and message
//   GET  /testplugin/v1/stream        ?size&chunk -> size bytes 'a' + i % 26, chunk per read
//   POST /testplugin/v1/fetch         body TestpluginFetchRequest -> TestpluginFetchResponse
//   POST /testplugin/v1/subscribe     body TestpluginUriRequest -> TestpluginStatus
//   POST /testplugin/v1/unsubscribe   body TestpluginUriRequest -> TestpluginStatus
//   GET  /testplugin/v1/events        -> TestpluginEvents {events}
//   POST /testplugin/v1/publish       body PluginResourceEvent -> TestpluginStatus
//   POST /testplugin/v1/log           body TestpluginLogRequest -> TestpluginStatus
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sdk/binding/binding_value.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"
#include "sdk/diagnostics/log.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/handler.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/host/platform_types.h"
#include "sdk/host/plugin_base.h"

namespace testplugin {

using sdk::binding::BindingValue;
using sdk::dispatch::HandlerResult;
using sdk::dispatch::HttpError;
using sdk::dispatch::HttpMethod;
using sdk::dispatch::InBody;
using sdk::dispatch::InPath;
using sdk::dispatch::InQuery;
using sdk::host::PluginResourceEvent;

struct Status {
  bool initialized = false;
  uint32_t eventCount = 0;
};

struct EchoRequest {
  BindingValue value;
  std::optional<std::string> note;
};

struct EchoResponse {
  BindingValue value;
  std::optional<std::string> note;
};

struct Item {
  std::string id;
  uint32_t count = 0;
};

struct FailRequest {
  uint32_t status = 0;
  std::string message;
};

struct FetchRequest {
  std::string path;
  std::optional<bool> stream;
};

struct FetchResponse {
  bool ok = false;
  uint32_t status = 0;
  std::string error;
  BindingValue value;
  uint32_t size = 0;
};

struct UriRequest {
  std::string uri;
};

struct Events {
  std::vector<PluginResourceEvent> events;
};

struct LogRequest {
  uint32_t level = 0;
  std::string text;
};

// Bytes 'a' + i % 26, at most `chunk` per read.
class PatternStream final : public sdk::dispatch::ResponseStream {
 public:
  PatternStream(uint32_t size, uint32_t chunk) : size_(size), chunk_(chunk) {}

  bool Read(void* buffer, uint32_t* length, bool* more) override {
    const uint32_t count = std::min({*length, chunk_, size_ - position_});
    auto* const bytes = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<uint8_t>('a' + (position_ + i) % 26);
    }
    position_ += count;
    *length = count;
    *more = position_ < size_;
    return true;
  }
  uint32_t size() const override { return size_; }

 private:
  uint32_t size_;
  uint32_t chunk_;
  uint32_t position_ = 0;
};

constexpr uint32_t kDefaultChunk = 4096;

// The stream endpoint's handler: the dispatch layer's native handlers answer with values, this
// one with a stream.
class StreamHandler final : public sdk::dispatch::Handler {
 public:
  StreamHandler(const sdk::binding::FunctionRecord& function,
                const sdk::binding::BindingRegistry& registry)
      : function_(&function), registry_(&registry) {}

  sdk::dispatch::HandlerCall* Invoke(sdk::dispatch::CallState& state,
                                     std::span<BindingValue> arguments,
                                     void* /*caller_context*/) override {
    const auto& parameters = function_->arguments;
    if (arguments.size() < 2 || parameters.size() < 2) {
      state.result.Fail(std::string_view("The stream endpoint takes two arguments."));
      return nullptr;
    }
    auto call = std::make_unique<Call>();
    parameters[0].converter->FromValue(state.result, &call->size, arguments[0], parameters[0].name,
                                       parameters[0].converter_type, registry_);
    parameters[1].converter->FromValue(state.result, &call->chunk, arguments[1], parameters[1].name,
                                       parameters[1].converter_type, registry_);
    return call.release();
  }

  void Complete(sdk::dispatch::CallState& state, sdk::binding::BindingRequestContext* /*context*/,
                sdk::dispatch::HandlerCall* call, void* /*caller_context*/) override {
    const auto* const arguments = static_cast<const Call*>(call);
    if (arguments == nullptr) return;
    const uint32_t chunk = arguments->chunk.value_or(0) == 0 ? kDefaultChunk : *arguments->chunk;
    state.stream = std::make_unique<PatternStream>(arguments->size, chunk);
    state.content_type = "application/octet-stream";
    state.status_code = sdk::dispatch::kStatusOk;
  }

  void Release(sdk::dispatch::HandlerCall* call) override { delete static_cast<Call*>(call); }

  const sdk::binding::StaticType& ContextType() const override {
    return sdk::binding::StaticTypeOf<void>();
  }

 private:
  struct Call final : sdk::dispatch::HandlerCall {
    uint32_t size = 0;
    std::optional<uint32_t> chunk;
  };

  const sdk::binding::FunctionRecord* function_;
  const sdk::binding::BindingRegistry* registry_;
};

class TestPlugin final : public sdk::host::PluginBase {
 public:
  void RegisterApi() override {
    RegisterRecords();
    auto& table = endpoints();
    DeclareRoute(table, HttpMethod::kGet, "/testplugin/v1/status", [this] {
      return CurrentStatus();
    }).Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/echo",
        [](const EchoRequest& request) {
          return EchoResponse{request.value, request.note};
        },
        InBody("request"))
        .Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kGet, "/testplugin/v1/items/{id}",
        [](std::string id, std::optional<uint32_t> count) {
          return Item{std::move(id), count.value_or(0)};
        },
        InPath("id"), InQuery("count"))
        .Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/fail",
        [](const FailRequest& request) -> HandlerResult<void> {
          return HttpError{request.status, request.message};
        },
        InBody("request"))
        .Tags(api_tags());
    DeclareStream();
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/fetch",
        [this](const FetchRequest& request) { return Fetch(request); }, InBody("request"))
        .Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/subscribe",
        [this](const UriRequest& request) {
          SubscribeResource(request.uri, Recorder());
          return CurrentStatus();
        },
        InBody("request"))
        .Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/unsubscribe",
        [this](const UriRequest& request) {
          Unsubscribe(request.uri);
          return CurrentStatus();
        },
        InBody("request"))
        .Tags(api_tags());
    DeclareRoute(table, HttpMethod::kGet, "/testplugin/v1/events", [this] {
      return Recorded();
    }).Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/publish",
        [this](const PluginResourceEvent& event) -> HandlerResult<Status> {
          const sdk::host::HostOutcome<void> sent = SendEvent(sdk::host::kOnJsonApiEvent, event, 0);
          if (!sent.ok()) return HttpError{500, sent.error().message};
          return CurrentStatus();
        },
        InBody("request"))
        .Tags(api_tags());
    DeclareRoute(
        table, HttpMethod::kPost, "/testplugin/v1/log",
        [this](const LogRequest& request) {
          sdk::diagnostics::Log(static_cast<sdk::diagnostics::LogLevel>(request.level),
                                sdk::diagnostics::kCategoryDbg, "%s", request.text.c_str());
          return CurrentStatus();
        },
        InBody("request"))
        .Tags(api_tags());
  }

  bool Initialize() override {
    sdk::diagnostics::Log(sdk::diagnostics::kLogAlways, sdk::diagnostics::kCategoryDbg,
                          "TestPlugin::Initialize: starting");
    SubscribeResource("/testplugin/v1/config", Recorder());
    initialized_.store(true);
    return true;
  }

 private:
  void RegisterRecords() {
    auto& registry = this->registry();
    const std::string& prefix = type_name_prefix();
    using sdk::binding::RecordBuilder;
    {
      RecordBuilder<Status> record(registry, prefix + "Status");
      SDK_BINDING_MEMBER(record, initialized);
      SDK_BINDING_MEMBER(record, eventCount);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<EchoRequest> record(registry, prefix + "EchoRequest");
      SDK_BINDING_MEMBER(record, value);
      SDK_BINDING_MEMBER(record, note);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<EchoResponse> record(registry, prefix + "EchoResponse");
      SDK_BINDING_MEMBER(record, value);
      SDK_BINDING_MEMBER(record, note);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<Item> record(registry, prefix + "Item");
      SDK_BINDING_MEMBER(record, id);
      SDK_BINDING_MEMBER(record, count);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<FailRequest> record(registry, prefix + "FailRequest");
      SDK_BINDING_MEMBER(record, status);
      SDK_BINDING_MEMBER(record, message);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<FetchRequest> record(registry, prefix + "FetchRequest");
      SDK_BINDING_MEMBER(record, path);
      SDK_BINDING_MEMBER(record, stream);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<FetchResponse> record(registry, prefix + "FetchResponse");
      SDK_BINDING_MEMBER(record, ok);
      SDK_BINDING_MEMBER(record, status);
      SDK_BINDING_MEMBER(record, error);
      SDK_BINDING_MEMBER(record, value);
      SDK_BINDING_MEMBER(record, size);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<UriRequest> record(registry, prefix + "UriRequest");
      SDK_BINDING_MEMBER(record, uri);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<Events> record(registry, prefix + "Events");
      SDK_BINDING_MEMBER(record, events);
      record.Tags(api_tags());
    }
    {
      RecordBuilder<LogRequest> record(registry, prefix + "LogRequest");
      SDK_BINDING_MEMBER(record, level);
      SDK_BINDING_MEMBER(record, text);
      record.Tags(api_tags());
    }
  }

  void DeclareStream() {
    sdk::dispatch::FunctionSignature signature;
    signature.parameters = {sdk::binding::BindNativeType<uint32_t>(registry()),
                            sdk::binding::BindNativeType<std::optional<uint32_t>>(registry())};
    signature.returns.type.code = sdk::binding::TypeCode::kBlob;
    const std::string path = "/testplugin/v1/stream";
    sdk::dispatch::EndpointBuilder builder = sdk::dispatch::DeclareEndpoint(
        endpoints(), sdk::dispatch::FunctionNameFor(HttpMethod::kGet, path), signature,
        [this](const sdk::binding::FunctionRecord& function) {
          return std::make_unique<StreamHandler>(function, registry());
        });
    builder.Path(path).Method(HttpMethod::kGet).Tags(api_tags());
    builder.Parameters()
        .Parameter("size", sdk::dispatch::ArgumentLocation::kQuery)
        .Parameter("chunk", sdk::dispatch::ArgumentLocation::kQuery);
  }

  FetchResponse Fetch(const FetchRequest& request) {
    FetchResponse response;
    if (request.stream.value_or(false)) {
      sdk::host::HostOutcome<sdk::host::HostStream> stream =
          RequestStream(HttpMethod::kGet, request.path);
      if (!stream.ok()) return Failed(stream.error());
      sdk::host::HostOutcome<std::vector<uint8_t>> bytes = ReadAll(stream.value());
      if (!bytes.ok()) return Failed(bytes.error());
      response.size = static_cast<uint32_t>(bytes.value().size());
      response.value.SetBlob(std::move(bytes.value()));
    } else {
      sdk::host::HostOutcome<BindingValue> value = RequestValue(HttpMethod::kGet, request.path);
      if (!value.ok()) return Failed(value.error());
      response.value = std::move(value.value());
    }
    response.ok = true;
    return response;
  }

  static FetchResponse Failed(const sdk::host::HostError& error) {
    FetchResponse response;
    response.status = error.status;
    response.error = error.message;
    return response;
  }

  sdk::host::ResourceHandler Recorder() {
    return [this](const PluginResourceEvent& event) {
      const std::lock_guard<std::mutex> lock(events_mutex_);
      events_.push_back(event);
    };
  }

  Status CurrentStatus() const {
    const std::lock_guard<std::mutex> lock(events_mutex_);
    return Status{initialized_.load(), static_cast<uint32_t>(events_.size())};
  }

  Events Recorded() const {
    const std::lock_guard<std::mutex> lock(events_mutex_);
    return Events{events_};
  }

  std::atomic<bool> initialized_{false};
  mutable std::mutex events_mutex_;
  std::vector<PluginResourceEvent> events_;
};

}  // namespace testplugin

SDK_PLUGIN_EXPORT void load_testplugin(PluginLoadBlock* block);

SDK_PLUGIN_EXPORT void load_testplugin(PluginLoadBlock* block) {
  try {
    sdk::host::PluginBase::Register(new testplugin::TestPlugin(), block, "testplugin");
  } catch (...) {
    // Register reports its own failures in the block; only the allocation can end here, and the
    // host then finds no entry table.
  }
}
