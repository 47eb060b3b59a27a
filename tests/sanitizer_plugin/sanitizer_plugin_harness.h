// Test harness of the sanitizer plug-in's end-to-end tests: the built nbx-be-sanitizer.so loaded
// through PluginHost, with the host resources of the tools (an asset folder served in short
// chunks, the configuration document, region and locale), and everything the plug-in sends
// back recorded: its log lines, its events. Test code only.
#ifndef TESTS_SANITIZER_PLUGIN_SANITIZER_PLUGIN_HARNESS_H_
#define TESTS_SANITIZER_PLUGIN_SANITIZER_PLUGIN_HARNESS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/plugin_host/host_json.h"
#include "tools/plugin_host/message_pack_writer.h"
#include "tools/plugin_host/plugin_host.h"
#include "tools/sanitizer/sanitizer_host_resources.h"

namespace sanitizer::plugin_testing {

using plugin_host::OwnedHostValue;
using plugin_host::PluginEvent;
using plugin_host::PluginHost;
using plugin_host::Response;
using tool::HostResourceOptions;
using tool::SanitizerHostResources;

inline constexpr char kStatusPath[] = "/sanitizer/v1/status";
inline constexpr char kContainsPath[] = "/sanitizer/v1/containsSanitized";
inline constexpr char kSanitizePath[] = "/sanitizer/v1/sanitize";

// Chunks shorter than the plug-in's 4096-byte reads, so that assets take several reads with
// wait steps between them.
inline constexpr uint32_t kShortChunk = 1000;

// A host value as compact JSON, or "<error>" when it does not print.
inline std::string Json(plugin_host::HostValueView value) {
  plugin_host::Result<std::string> json = plugin_host::HostValueToJson(value);
  return json.ok() ? json.value() : "<" + json.error() + ">";
}

// What a call answered: the result as JSON, or "error <status>: <text>".
inline std::string Outcome(const Response& response) {
  if (response.failed) {
    return "error " + std::to_string(response.HttpStatus()) + ": " + response.error;
  }
  return Json(response.result.view());
}

// One log line of the plug-in.
struct LogLine {
  int32_t level = 0;
  std::string text;
  friend bool operator==(const LogLine&, const LogLine&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << "[" << line.level << "] " << line.text;
}

class SanitizerHarness {
 public:
  // Loads the library (unstarted) with the resources installed on `options`.
  explicit SanitizerHarness(HostResourceOptions options) {
    plugin_host::Result<std::unique_ptr<PluginHost>> loaded =
        PluginHost::Load(SANITIZER_PLUGIN_PATH);
    if (!loaded.ok()) {
      ADD_FAILURE() << loaded.error();
      return;
    }
    host_ = std::move(loaded).value();
    resources_ = std::make_unique<SanitizerHostResources>(*host_, std::move(options));
    host_->SetLogSink([this](int32_t level, std::string_view text) {
      const std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, std::string(text)});
    });
    host_->AddEventListener("", [this](const PluginEvent& event) {
      const std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    });
  }

  bool loaded() const { return host_ != nullptr; }
  PluginHost& host() { return *host_; }
  SanitizerHostResources& resources() { return *resources_; }

  Response Status() { return host_->Call(kPluginMethodGet, kStatusPath); }
  Response PostJson(std::string_view path, std::string_view json) {
    return host_->Call(kPluginMethodPost, path, "application/json", json);
  }
  // The body written as MessagePack, which carries bytes that are not UTF-8 as they are.
  Response PostMessagePack(std::string_view path, const OwnedHostValue& body) {
    plugin_host::MessagePackWriter writer;
    EXPECT_TRUE(writer.Write(body.view()).ok());
    return host_->Call(kPluginMethodPost, path, "application/x-msgpack", writer.bytes());
  }

  // The lines and events received since the last call.
  std::vector<LogLine> TakeLines() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }
  // Only the lines at level 3 (always), where the plug-in's lifecycle lines go.
  std::vector<std::string> TakeLifecycleLines() {
    std::vector<std::string> texts;
    for (LogLine& line : TakeLines()) {
      if (line.level == 3) texts.push_back(std::move(line.text));
    }
    return texts;
  }
  std::vector<PluginEvent> TakeEvents() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<LogLine> lines_;
  std::vector<PluginEvent> events_;
  std::unique_ptr<PluginHost> host_;
  std::unique_ptr<SanitizerHostResources> resources_;
};

inline OwnedHostValue Text(std::string_view text) { return OwnedHostValue::String(text); }
inline OwnedHostValue Texts(const std::vector<std::string>& texts) {
  std::vector<OwnedHostValue> elements;
  for (const std::string& text : texts) elements.push_back(Text(text));
  return OwnedHostValue::Collection(std::move(elements));
}

}  // namespace sanitizer::plugin_testing

#endif  // TESTS_SANITIZER_PLUGIN_SANITIZER_PLUGIN_HARNESS_H_
