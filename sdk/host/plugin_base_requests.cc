// PluginBase: requests to the host, their conversions and the reading of streamed responses.
#include <string>
#include <utility>
#include <vector>

#include "sdk/binding/host_value.h"
#include "sdk/host/plugin_base.h"

namespace sdk::host {

using sdk::binding::BindingValue;
using sdk::binding::HostErrorRecord;
using sdk::dispatch::HttpMethod;
using sdk::dispatch::MethodName;
using sdk::text::FormatMessage;

namespace {

constexpr std::string_view kErrorResponse = "Error response for %1 %2: %3";
constexpr std::string_view kNotSent = "Request not sent: Error converting parameters for %1 %2: %3";
constexpr std::string_view kConvertingResponse = "Error converting response for %1 %2: %3";
constexpr std::string_view kReadingStream = "Error reading streamed response for %1 %2: %3";
constexpr std::string_view kNotAStream =
    "Stream response was requested but the response wasn't a stream for %1";
constexpr std::string_view kStreamReadError = "Stream read error";
constexpr std::string_view kStreamReadErrorAt = "Stream read error at offset %1";
constexpr uint32_t kStatusBadRequest = 400;

// Host values of typed arguments, released however the request ends.
class TypedArguments {
 public:
  TypedArguments() = default;
  TypedArguments(const TypedArguments&) = delete;
  TypedArguments& operator=(const TypedArguments&) = delete;
  ~TypedArguments() {
    for (PluginTypedArgument& entry : entries_) sdk::binding::ReleaseHostValue(entry.value);
  }

  // Adds one entry; false when the value could not be converted (no memory).
  bool Add(const char* name, const BindingValue& value,
           const sdk::binding::BindingRegistry& registry) {
    entries_.push_back(PluginTypedArgument{name, HostValue{}});
    return sdk::binding::ToHostValue(entries_.back().value, value, &registry);
  }
  const PluginTypedArgument* data() const { return entries_.empty() ? nullptr : entries_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(entries_.size()); }

 private:
  std::vector<PluginTypedArgument> entries_;
};

}  // namespace

HostOutcome<HostResponse> PluginBase::SendRequest(HttpMethod method, std::string_view path,
                                                  const PluginTypedArgument* arguments,
                                                  uint32_t count) {
  const std::string path_text(path);
  if (CallTable() == nullptr || CallTable()->HostRequest == nullptr) {
    return HostError{FormatMessage(kErrorResponse, MethodName(method), path_text,
                                   "The plug-in is not connected to a host"),
                     0};
  }
  PluginRequestRecord request{};
  request.method = static_cast<uint32_t>(method);
  request.path = path_text.c_str();
  request.arguments = arguments;
  request.argument_count = count;
  request.caller_context = plugin_id_;
  HostResponse response;
  HostRequest(&response.record(), &request);
  const PluginResponseRecord& record = response.record();
  if (record.error_text != nullptr) {
    return HostError{
        FormatMessage(kErrorResponse, MethodName(method), path_text, record.error_text),
        record.status_code};
  }
  return response;
}

HostOutcome<HostResponse> PluginBase::Request(HttpMethod method, std::string_view path) {
  return SendRequest(method, path, nullptr, 0);
}

HostOutcome<BindingValue> PluginBase::RequestBindingValue(HttpMethod method,
                                                          std::string_view path) {
  HostOutcome<HostResponse> response = Request(method, path);
  if (!response.ok()) return response.error();
  const PluginResponseRecord& record = response.value().record();
  BindingValue value;
  if (record.stream_read == nullptr) {
    HostErrorRecord error;
    if (!sdk::binding::FromHostValue(error, value, record.result, path)) {
      std::string message = FormatMessage(kConvertingResponse, MethodName(method), path,
                                          error.error_text != nullptr ? error.error_text : "");
      sdk::binding::ReleaseHostErrorRecord(error);
      return HostError{std::move(message), 0};
    }
    return value;
  }
  std::vector<uint8_t> bytes;
  const bool read = ReadWholeStream(
      record.stream_read, record.stream_context, record.stream_size, [this] { Wait(); }, bytes);
  if (record.stream_close != nullptr) record.stream_close(record.stream_context);
  if (!read) {
    return HostError{FormatMessage(kReadingStream, MethodName(method), path, kStreamReadError), 0};
  }
  value.SetBlob(std::move(bytes));
  if (value.HasLengthError()) {
    return HostError{FormatMessage(kReadingStream, MethodName(method), path, kStreamReadError), 0};
  }
  return value;
}

HostOutcome<HostStream> PluginBase::RequestStream(HttpMethod method, std::string_view path) {
  HostOutcome<HostResponse> response = Request(method, path);
  if (!response.ok()) return response.error();
  if (response.value().record().stream_read == nullptr) {
    return HostError{FormatMessage(kNotAStream, path), 0};
  }
  return HostStream(std::move(response.value()));
}

HostOutcome<HostResponse> PluginBase::RequestWithArguments(HttpMethod method, std::string_view path,
                                                           const BindingValue& arguments) {
  TypedArguments typed;
  bool converted = true;
  switch (arguments.kind()) {
    case sdk::binding::ValueKind::kEmpty:
      break;
    case sdk::binding::ValueKind::kStructure:
      for (size_t i = 0; i < arguments.Size() && converted; ++i) {
        // The member names are NUL-terminated interned texts of `arguments`, which outlives the
        // request.
        converted = typed.Add(arguments.MemberNameAt(i).data(), arguments.MemberAt(i), registry_);
      }
      break;
    case sdk::binding::ValueKind::kCollection:
      for (const BindingValue& element : arguments.Elements()) {
        if (!(converted = typed.Add(nullptr, element, registry_))) break;
      }
      break;
    default: {
      const std::string reason = FormatMessage(
          "Arguments must be a structure or a collection, not %1", arguments.KindName());
      return HostError{FormatMessage(kNotSent, MethodName(method), path, reason),
                       kStatusBadRequest};
    }
  }
  if (!converted) {
    return HostError{FormatMessage(kNotSent, MethodName(method), path, "Out of memory"),
                     kStatusBadRequest};
  }
  return SendRequest(method, path, typed.data(), typed.size());
}

HostOutcome<std::vector<uint8_t>> PluginBase::ReadAll(HostStream& stream) {
  std::vector<uint8_t> bytes;
  const bool read = !stream.closed() && ReadWholeStream(
                                            stream.read_function(), stream.context(),
                                            stream.announced_size(), [this] { Wait(); }, bytes);
  stream.Close();
  if (!read) {
    return HostError{
        FormatMessage(kStreamReadErrorAt, static_cast<unsigned long long>(bytes.size())), 0};
  }
  return bytes;
}

}  // namespace sdk::host
