// The request entry: route match, argument gathering in a fixed order, the handler's three
// steps, and the response record with everything it owns.
#include "sdk/dispatch/request_dispatch.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_request_context.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/type_descriptor.h"
#include "sdk/dispatch/argument_binding.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/handler.h"
#include "sdk/dispatch/route.h"
#include "sdk/host/plugin_memory.h"

namespace sdk::dispatch {

using sdk::binding::BindingRegistry;
using sdk::binding::BindingRequestContext;
using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::FunctionRecord;
using sdk::binding::HostErrorRecord;
using sdk::binding::TypeCode;
using sdk::host::PluginAllocate;
using sdk::host::PluginDuplicateText;
using sdk::host::PluginFree;

namespace {

constexpr std::string_view kInvalidFunction = "Invalid function";
constexpr std::string_view kInternalError = "Internal error";
constexpr std::string_view kUnknownArgument = "Unknown argument '%1' for '%2'.";
constexpr uint32_t kStatusNotFound = 404;
constexpr uint32_t kStatusBadRequest = 400;
constexpr uint32_t kStatusInternalError = 500;

// The content type of a response whose handler set none: a static empty text, which
// ReleaseResponse recognises and does not free.
constexpr char kNoContentType[] = "";

std::string_view TextOrEmpty(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The argument values of one call: inline for the usual few parameters.
class ArgumentVector {
 public:
  explicit ArgumentVector(size_t count) {
    if (count <= kInline) {
      values_ = std::span<BindingValue>(inline_.data(), count);
    } else {
      heap_ = std::make_unique<BindingValue[]>(count);
      values_ = std::span<BindingValue>(heap_.get(), count);
    }
  }
  std::span<BindingValue> values() const { return values_; }

 private:
  static constexpr size_t kInline = 8;
  std::array<BindingValue, kInline> inline_;
  std::unique_ptr<BindingValue[]> heap_;
  std::span<BindingValue> values_;
};

// The stream of a response, owned by the record: closing destroys the stream, releasing the
// record destroys the holder (and the stream, if the host never closed it).
struct StreamHolder {
  std::unique_ptr<ResponseStream> stream;
};

uint8_t ReadResponseStream(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* const holder = static_cast<StreamHolder*>(context);
  if (holder == nullptr || holder->stream == nullptr || length == nullptr ||
      (buffer == nullptr && *length != 0)) {
    return 0;
  }
  bool more_bytes = false;
  bool ok = false;
  try {
    ok = holder->stream->Read(buffer, length, &more_bytes);
  } catch (...) {
    ok = false;
  }
  if (!ok) *length = 0;
  if (more != nullptr) *more = more_bytes ? 1 : 0;
  return ok ? 1 : 0;
}

void CloseResponseStream(void* context) {
  auto* const holder = static_cast<StreamHolder*>(context);
  if (holder != nullptr) holder->stream.reset();
}

void SetError(PluginResponseRecord& response, std::string_view message, uint32_t status) {
  PluginFree(const_cast<char*>(response.error_text));
  response.error_text = PluginDuplicateText(message);
  response.error_flag = 1;
  response.status_code = status;
}

// Releases the handler's call object however the dispatch ends.
class CallGuard {
 public:
  explicit CallGuard(Handler& handler) : handler_(handler) {}
  ~CallGuard() {
    if (call_ != nullptr) handler_.Release(call_);
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  void Set(HandlerCall* call) { call_ = call; }
  HandlerCall* get() const { return call_; }

 private:
  Handler& handler_;
  HandlerCall* call_ = nullptr;
};

int64_t NowIn100Nanoseconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
}

// The index of the parameter of that exact name, or the parameter count.
size_t FindParameter(const FunctionRecord& function, std::string_view name) {
  size_t index = 0;
  while (index < function.arguments.size() && function.arguments[index].name != name) ++index;
  return index;
}

// The value of the last request header named exactly `name`, or nothing.
std::optional<std::string_view> FindHeader(const PluginRequestRecord& request,
                                           std::string_view name) {
  std::optional<std::string_view> found;
  if (request.headers == nullptr) return found;
  for (uint32_t i = 0; i < request.header_count; ++i) {
    const PluginHeader& header = request.headers[i];
    if (header.name != nullptr && name == header.name) found = TextOrEmpty(header.value);
  }
  return found;
}

// Binds the header, path and query arguments in that order; false at the first failure.
bool BindSourceArguments(CallState& state, std::span<BindingValue> arguments,
                         const PluginRequestRecord& request, const RouteMatch& match,
                         const Endpoint& endpoint) {
  const FunctionRecord& function = *match.function;
  // Headers: a parameter that may come from a header takes the header named like it in lower
  // case (header names themselves are compared as sent).
  std::vector<std::pair<std::string_view, std::string_view>> header_arguments;
  std::string lower_name;
  for (size_t i = 0; i < function.arguments.size(); ++i) {
    const ArgumentLocation location = endpoint.location(i);
    if (location != ArgumentLocation::kUnspecified && location != ArgumentLocation::kHeader) {
      continue;
    }
    const std::string& name = function.arguments[i].name;
    lower_name.assign(name);
    for (char& c : lower_name) c = AsciiLower(c);
    if (const auto value = FindHeader(request, lower_name)) {
      header_arguments.emplace_back(name, *value);
    }
  }

  QueryArguments query;
  const size_t question = match.path.find('?');
  if (question != std::string_view::npos) query = ParseQuery(match.path.substr(question + 1));

  // Parameters of type bool that the caller may not leave out default to false.
  for (size_t i = 0; i < function.arguments.size() && i < arguments.size(); ++i) {
    const auto& parameter = function.arguments[i];
    if (parameter.type.code == TypeCode::kBool && !parameter.optional && arguments[i].IsEmpty()) {
      arguments[i].SetBool(false);
    }
  }

  for (const auto& [name, value] : header_arguments) {
    if (!BindNamedArgument(state, arguments, function, endpoint, name, value,
                           ArgumentLocation::kHeader)) {
      return false;
    }
  }
  for (const auto& [name, value] : match.path_arguments) {
    if (!BindNamedArgument(state, arguments, function, endpoint, name, value,
                           ArgumentLocation::kPath)) {
      return false;
    }
  }
  for (const auto& [name, value] : query) {
    if (!BindNamedArgument(state, arguments, function, endpoint, name, value,
                           ArgumentLocation::kQuery)) {
      return false;
    }
  }
  return true;
}

// Binds the typed arguments: by name, or by position after the path arguments.
void BindTypedArguments(CallState& state, std::span<BindingValue> arguments,
                        const PluginRequestRecord& request, const RouteMatch& match) {
  if (request.arguments == nullptr) return;
  const FunctionRecord& function = *match.function;
  for (uint32_t i = 0; i < request.argument_count; ++i) {
    const PluginTypedArgument& entry = request.arguments[i];
    size_t index = 0;
    if (entry.name != nullptr) {
      index = FindParameter(function, entry.name);
      if (index >= function.arguments.size() || index >= arguments.size()) {
        state.result.Fail(kUnknownArgument, entry.name, function.name);
        return;
      }
    } else {
      index = static_cast<size_t>(i) + match.path_arguments.size();
      if (index >= function.arguments.size() || index >= arguments.size()) {
        state.result.Fail(kUnknownArgument, static_cast<unsigned long long>(index), function.name);
        return;
      }
    }
    HostErrorRecord error;
    if (!sdk::binding::FromHostValue(error, arguments[index], entry.value,
                                     function.arguments[index].name)) {
      state.result.Fail(TextOrEmpty(error.error_text));
      sdk::binding::ReleaseHostErrorRecord(error);
      return;
    }
  }
}

// Gives the body to the first parameter located in the body; a failure replaces an earlier one.
void BindBody(CallState& state, std::span<BindingValue> arguments,
              const PluginRequestRecord& request, const Endpoint& endpoint) {
  if (request.body == nullptr) return;
  const std::span<const ArgumentLocation> locations = endpoint.locations();
  size_t index = 0;
  while (index < locations.size() && locations[index] != ArgumentLocation::kBody) ++index;
  if (index >= locations.size() || index >= arguments.size()) return;
  BindingResult decoded;
  if (DecodeBody(decoded, TextOrEmpty(request.content_type), request.body, request.body_size)) {
    arguments[index] = std::move(decoded.value());
  } else {
    state.result.Fail(decoded.ErrorMessage());
  }
}

BindingRequestContext MakeRequestContext(const PluginRequestRecord& request,
                                         const RouteMatch& match, const EndpointContext& context,
                                         void* caller_context) {
  BindingRequestContext request_context;
  request_context.caller_context = caller_context;
  request_context.time = NowIn100Nanoseconds();
  request_context.registry = context.registry;
  request_context.path = std::string(match.path);
  request_context.method = static_cast<uint32_t>(match.method);
  if (match.method == HttpMethod::kCustom) request_context.custom_method = match.custom_method;
  if (request.headers != nullptr) {
    for (uint32_t i = 0; i < request.header_count; ++i) {
      const PluginHeader& header = request.headers[i];
      if (header.name == nullptr) continue;
      request_context.headers.insert_or_assign(header.name, std::string(TextOrEmpty(header.value)));
    }
  }
  return request_context;
}

// Writes the call state into the response (the release function is already set).
void FillResponse(PluginResponseRecord& response, CallState& state,
                  const BindingRegistry* registry) {
  bool conversion_failed = false;
  if (!state.ok()) {
    response.error_text = PluginDuplicateText(state.result.ErrorMessage());
    response.error_flag = 1;
  } else if (state.host_result.has_value()) {
    conversion_failed = !state.host_result.complete();
    response.result = state.host_result.Take();
  } else {
    conversion_failed = !sdk::binding::ToHostValue(response.result, state.result.value(), registry);
  }
  response.flags = state.flags;
  response.code = (state.code >= 1 && state.code <= 3) ? state.code : 0;
  response.status_code = conversion_failed ? kStatusBadRequest : state.status_code;
  response.content_type = state.content_type.empty()
                              ? kNoContentType
                              : PluginDuplicateText(std::string_view(state.content_type));
  if (!state.headers.empty()) {
    auto* const headers =
        static_cast<PluginHeader*>(PluginAllocate(state.headers.size() * sizeof(PluginHeader)));
    if (headers != nullptr) {
      uint32_t count = 0;
      for (const auto& [name, value] : state.headers) {
        char* const name_copy = PluginDuplicateText(std::string_view(name));
        char* const value_copy = PluginDuplicateText(std::string_view(value));
        if (name_copy == nullptr || value_copy == nullptr) {
          PluginFree(name_copy);
          PluginFree(value_copy);
          break;
        }
        headers[count++] = PluginHeader{name_copy, value_copy};
      }
      response.headers = headers;
      response.header_count = count;
    }
  }
  if (state.stream != nullptr) {
    const uint32_t size = state.stream->size();
    auto holder = std::make_unique<StreamHolder>();
    holder->stream = std::move(state.stream);
    response.stream_read = &ReadResponseStream;
    response.stream_close = &CloseResponseStream;
    response.stream_size = size;
    response.stream_context = holder.release();
  }
}

void Dispatch(PluginResponseRecord& response, const PluginRequestRecord* request) {
  const auto* const context =
      request == nullptr ? nullptr : static_cast<const EndpointContext*>(request->endpoint_context);
  if (context == nullptr || context->endpoint == nullptr) {
    SetError(response, kInvalidFunction, kStatusNotFound);
    return;
  }
  const Endpoint& endpoint = *context->endpoint;

  RouteMatch match;
  match.method = MethodFromHostCode(request->method);
  if (match.method == HttpMethod::kCustom)
    match.custom_method = TextOrEmpty(request->custom_method);
  match.path = TextOrEmpty(request->path);
  if (!FindRoute(std::span<const Route>(&endpoint.route(), 1), match)) {
    SetError(response, kInvalidFunction, kStatusNotFound);
    return;
  }
  const FunctionRecord& function = *match.function;

  CallState state;
  ArgumentVector argument_vector(function.arguments.size());
  const std::span<BindingValue> arguments = argument_vector.values();
  if (BindSourceArguments(state, arguments, *request, match, endpoint)) {
    BindTypedArguments(state, arguments, *request, match);
  }
  BindBody(state, arguments, *request, endpoint);

  void* const caller_context = reinterpret_cast<void*>(request->caller_context);
  Handler& handler = endpoint.handler();
  CallGuard call(handler);
  if (state.ok()) {
    call.Set(handler.Invoke(state, arguments, caller_context));
    if (state.ok()) {
      if (sdk::binding::IsRequestContextType(handler.ContextType())) {
        BindingRequestContext request_context =
            MakeRequestContext(*request, match, *context, caller_context);
        handler.Complete(state, &request_context, call.get(), caller_context);
      } else {
        handler.Complete(state, nullptr, call.get(), caller_context);
      }
    }
  }
  FillResponse(response, state, context->registry);
}

}  // namespace

void ReleaseResponse(PluginResponseRecord* response) {
  if (response == nullptr) return;
  PluginFree(const_cast<char*>(response->error_text));
  if (response->content_type != kNoContentType) {
    PluginFree(const_cast<char*>(response->content_type));
  }
  if (response->headers != nullptr) {
    auto* const headers = const_cast<PluginHeader*>(response->headers);
    for (uint32_t i = 0; i < response->header_count; ++i) {
      PluginFree(const_cast<char*>(headers[i].name));
      PluginFree(const_cast<char*>(headers[i].value));
    }
    PluginFree(headers);
  }
  sdk::binding::ReleaseHostValue(response->result);
  if (response->stream_read == &ReadResponseStream) {
    delete static_cast<StreamHolder*>(response->stream_context);
  }
  std::memset(static_cast<void*>(response), 0, sizeof(*response));
}

void HandleRequest(PluginResponseRecord* response, const PluginRequestRecord* request) {
  if (response == nullptr) return;
  std::memset(static_cast<void*>(response), 0, sizeof(*response));
  response->release = &ReleaseResponse;
  try {
    Dispatch(*response, request);
  } catch (...) {
    // Whatever the response holds so far goes; the host gets an error it can report.
    ReleaseResponse(response);
    response->release = &ReleaseResponse;
    SetError(*response, kInternalError, kStatusInternalError);
  }
}

}  // namespace sdk::dispatch
