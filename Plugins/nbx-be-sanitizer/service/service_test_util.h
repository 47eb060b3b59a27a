// Test helpers of the service tests: the service with its API registered the way the plug-in
// registers it, requests sent through the real request entry (HandleRequest) with JSON, YAML
// or MessagePack bodies, configuration documents written as JSON, and the lifecycle log lines.
// Test code only.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SERVICE_TEST_UTIL_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SERVICE_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"
#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/host_value.h"
#include "sdk/diagnostics/log_target.h"
#include "sdk/diagnostics/logger.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/dispatch/request_dispatch.h"
#include "sdk/host/plugin_abi.h"

namespace sanitizer::service::testing {

using sdk::binding::BindingValue;

// The plug-in's type-name prefix and API tags for the short name "sanitizer".
inline constexpr std::string_view kTypeNamePrefix = "Sanitizer";
inline const std::vector<std::string>& ApiTags() {
  static const std::vector<std::string> tags = {"Plugins", "Plugin sanitizer"};
  return tags;
}

// The bundled sample assets, as the host would serve them.
inline AssetLoader SampleAssets() { return MakeFolderAssetLoader(SANITIZER_SAMPLE_ASSETS); }

// A value parsed from JSON; fails the test when it does not parse.
inline BindingValue Json(const std::string& text) {
  sdk::binding::BindingResult result = sdk::dispatch::ParseJson(text);
  EXPECT_TRUE(result.ok()) << text << ": " << result.value().DebugString();
  return result.value();
}

// A MessagePack document written by hand: the few forms the request records need.
class MessagePack {
 public:
  MessagePack& Map(uint32_t members) { return Header(0x80, 0xDF, members); }
  MessagePack& Array(uint32_t elements) { return Header(0x90, 0xDD, elements); }
  MessagePack& Text(std::string_view text) {
    const auto size = static_cast<uint32_t>(text.size());
    if (size < 32) {
      bytes_ += static_cast<char>(0xA0 | size);
    } else {
      bytes_ += '\xDB';
      Word(size);
    }
    bytes_.append(text);
    return *this;
  }
  MessagePack& Unsigned(uint32_t number) {
    bytes_ += '\xCE';
    Word(number);
    return *this;
  }
  MessagePack& Bool(bool flag) {
    bytes_ += flag ? '\xC3' : '\xC2';
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  // The short form below 16 entries, else the 32-bit count.
  MessagePack& Header(uint8_t fix, uint8_t wide32, uint32_t count) {
    if (count < 16) {
      bytes_ += static_cast<char>(fix | count);
    } else {
      bytes_ += static_cast<char>(wide32);
      Word(count);
    }
    return *this;
  }
  void Word(uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_ += static_cast<char>(value >> shift);
  }
  std::string bytes_;
};

// What a response held, copied out before its release.
struct Answer {
  bool error = false;
  std::string error_text;
  uint32_t status = 0;
  BindingValue result;
};

// The service and the plug-in's registry and endpoint table, with the records and endpoints
// registered as the plug-in registers them.
class ServiceHarness {
 public:
  explicit ServiceHarness(AssetLoader loader = SampleAssets(), StatusPublisher publish = {})
      : service_(std::move(loader), std::move(publish)) {
    RegisterSanitizerApi(table_, kTypeNamePrefix, ApiTags(), service_);
  }

  SanitizerService& service() { return service_; }
  sdk::binding::BindingRegistry& registry() { return registry_; }
  sdk::dispatch::EndpointTable& table() { return table_; }

  // Loads the character tables and applies the configuration document and then the region
  // and locale, as the two subscriptions do when the plug-in starts.
  void Start(const std::string& configuration_json, std::string_view region,
             std::string_view locale) {
    service_.LoadCharTables();
    service_.OnConfigurationEvent(Json(configuration_json));
    service_.OnRegionLocaleEvent(Json(R"({"region":")" + std::string(region) + R"(","locale":")" +
                                      std::string(locale) + R"("})"),
                                 false);
  }

  // A request for the endpoint of `path` (the endpoint the host routes it to), sent through
  // HandleRequest; the response is read and released.
  Answer Send(uint32_t method, std::string_view path, const char* content_type,
              const std::string* body) const {
    const sdk::dispatch::Endpoint* endpoint = Find(path);
    EXPECT_NE(endpoint, nullptr) << path;
    const std::string path_text(path);
    // The body sits in a block of exactly its size (plus the NUL that text readers stop at).
    std::unique_ptr<char[]> bytes;
    if (body != nullptr) {
      bytes = std::make_unique<char[]>(body->size() + 1);
      std::memcpy(bytes.get(), body->data(), body->size());
    }
    PluginRequestRecord request{};
    request.method = method;
    request.path = path_text.c_str();
    request.endpoint_context = endpoint == nullptr ? nullptr : endpoint->context();
    request.content_type = content_type;
    request.body = bytes.get();
    request.body_size = body == nullptr ? 0 : static_cast<uint32_t>(body->size());
    PluginResponseRecord response{};
    sdk::dispatch::HandleRequest(&response, &request);
    Answer answer;
    answer.error = response.error_flag != 0;
    if (response.error_text != nullptr) answer.error_text = response.error_text;
    answer.status = response.status_code;
    sdk::binding::HostErrorRecord error;
    EXPECT_TRUE(sdk::binding::FromHostValue(error, answer.result, response.result, "result"));
    sdk::binding::ReleaseHostErrorRecord(error);
    if (response.release != nullptr) response.release(&response);
    return answer;
  }

  Answer GetStatus() const { return Send(kPluginMethodGet, kStatusPath, nullptr, nullptr); }
  Answer Post(std::string_view path, const char* content_type, const std::string& body) const {
    return Send(kPluginMethodPost, path, content_type, &body);
  }
  Answer PostJson(std::string_view path, const std::string& body) const {
    return Post(path, "application/json", body);
  }

 private:
  const sdk::dispatch::Endpoint* Find(std::string_view path) const {
    for (const sdk::dispatch::Endpoint* endpoint : table_.Endpoints()) {
      if (endpoint->path_template() == path) return endpoint;
    }
    return nullptr;
  }

  // The endpoints' handlers hold a pointer to the service and run only during Send.
  sdk::binding::BindingRegistry registry_;
  sdk::dispatch::EndpointTable table_{registry_};
  SanitizerService service_;
};

// Collects the messages of the plug-in's lifecycle lines (level always, category DBG) while it
// lives.
class LifecycleLines final : public sdk::diagnostics::LogTarget {
 public:
  LifecycleLines() : logger_(sdk::diagnostics::AcquireLogger()) {
    SetLevel(sdk::diagnostics::kLogAlways);
    SetCategories(sdk::diagnostics::kCategoryDbg, 0);
    logger_->Attach(sink());
  }
  ~LifecycleLines() override {
    Detach();
    sdk::diagnostics::ReleaseLogger();
  }

  bool Write(const sdk::diagnostics::LogRecord& record) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(record.message);
    return true;
  }

  std::vector<std::string> TakeLines() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  sdk::diagnostics::Logger* logger_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace sanitizer::service::testing

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SERVICE_TEST_UTIL_H_
