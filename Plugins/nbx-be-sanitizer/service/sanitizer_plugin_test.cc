// SanitizerPlugin inside the test process, on the plug-in base's recording host: what the
// end-to-end tests cannot see from outside the library (its trace lines), and a configuration
// event whose rebuild is still running when the host stops the plug-in.
#include "Plugins/nbx-be-sanitizer/service/sanitizer_plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sdk/diagnostics/trace.h"
#include "sdk/host/plugin_abi.h"
#include "sdk/host/recording_host.h"

namespace sanitizer::service {
namespace {

using sdk::host::testing::BorrowedTextValue;
using sdk::host::testing::RecordingHost;

// Keeps the trace lines while installed.
class TraceCapture {
 public:
  TraceCapture() { sdk::diagnostics::SetTraceSinkForTesting(&Sink, this); }
  ~TraceCapture() { sdk::diagnostics::SetTraceSinkForTesting(nullptr, nullptr); }
  std::vector<std::string> Take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  static void Sink(const char* line, void* context) {
    auto* capture = static_cast<TraceCapture*>(context);
    const std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.emplace_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// One asset served as a stream of the whole text in one read.
struct TextStream {
  std::string text;
  bool read = false;
};

uint8_t ReadText(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* const stream = static_cast<TextStream*>(context);
  const uint32_t count =
      stream->read ? 0 : std::min(*length, static_cast<uint32_t>(stream->text.size()));
  std::memcpy(buffer, stream->text.data(), count);
  stream->read = true;
  *length = count;
  *more = 0;
  return 1;
}

void CloseText(void* context) { delete static_cast<TextStream*>(context); }

// The payload of a region/locale event: {"data": {"locale", "region"}, "eventType", "uri"}.
class RegionLocalePayload {
 public:
  RegionLocalePayload(const char* region, const char* locale) {
    data_[0] = {"locale", BorrowedTextValue(locale), 0};
    data_[1] = {"region", BorrowedTextValue(region), 0};
    entries_[0].key = "data";
    entries_[0].value.tag = kHostValueStructure;
    entries_[0].value.payload.span.data = data_;
    entries_[0].value.payload.span.count = 2;
    entries_[1] = {"eventType", BorrowedTextValue("Update"), 0};
    entries_[2] = {"uri", BorrowedTextValue("/pavoclient/region-locale"), 0};
    value_.tag = kHostValueStructure;
    value_.payload.span.data = entries_;
    value_.payload.span.count = 3;
  }
  const HostValue& value() const { return value_; }

 private:
  HostStructureEntry data_[2] = {};
  HostStructureEntry entries_[3] = {};
  HostValue value_{};
};

constexpr char kRegionLocaleEvent[] = "OnJsonApiEvent_pavoclient_region-locale";

// The plug-in registered and started on a recording host that serves the asset
// "breakingchars.txt" and answers every other request 404.
class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.SetRequestFunction(
        [this](PluginResponseRecord* response, const PluginRequestRecord* request) {
          Serve(response, request);
        });
    block_.api_major = 18;
    sdk::host::PluginBase::Register(new SanitizerPlugin(), &block_, kPluginShortName);
    ASSERT_NE(block_.entry_table, nullptr);
    ASSERT_NE(block_.entry_table->Start(block_.instance, host_.context()), 0);
  }
  void TearDown() override {
    if (block_.instance != nullptr) block_.entry_table->Stop(block_.instance);
  }

  void Serve(PluginResponseRecord* response, const PluginRequestRecord* request) {
    const std::string_view path = request->path;
    if (path == "/sanitizer/assets/breakingchars.txt") {
      response->stream_read = &ReadText;
      response->stream_close = &CloseText;
      response->stream_context = new TextStream{"+ = < >"};
      response->stream_size = 7;
      return;
    }
    if (path.substr(0, kAssetPathPrefix.size()) == kAssetPathPrefix) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (hold_assets_) {
        asset_requested_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !hold_assets_; });
      }
    }
    response->error_text = "Not found";
    response->error_flag = 1;
    response->status_code = 404;
  }

  SanitizerPlugin& plugin() { return *static_cast<SanitizerPlugin*>(block_.instance); }

  // The index of the first recorded call that starts with `prefix`; the count when none does.
  static size_t IndexOf(const std::vector<std::string>& calls, std::string_view prefix) {
    for (size_t i = 0; i < calls.size(); ++i) {
      if (std::string_view(calls[i]).substr(0, prefix.size()) == prefix) return i;
    }
    return calls.size();
  }

  RecordingHost host_;
  PluginLoadBlock block_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_assets_ = false;
  bool asset_requested_ = false;
};

TEST_F(PluginTest, AssetsAreTracedWhenTheHostStreamsThemAndMissingOnesGiveEmptyTexts) {
  TraceCapture trace;
  EXPECT_EQ(plugin().OpenResource("breakingchars.txt"), U"+ = < >");
  EXPECT_EQ(trace.Take(), std::vector<std::string>{"OpenResource: Using "
                                                   "resource=/sanitizer/assets/breakingchars.txt, "
                                                   "length=35"});
  EXPECT_EQ(plugin().OpenResource("missing.txt"), U"");
  EXPECT_TRUE(trace.Take().empty());
  EXPECT_EQ(plugin().service().Snapshot()->status.breakingCharsCount, 4u);
}

// A rebuild that is still reading its assets when the host stops the plug-in: Finalize waits
// for it, its status goes out before Finalize is over, and nothing is sent afterwards.
TEST_F(PluginTest, FinalizeWaitsForARebuildUnderWayAndNothingChangesAfterIt) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    hold_assets_ = true;
  }
  const RegionLocalePayload payload("EU", "en_US");
  std::thread delivery([&] { EXPECT_EQ(host_.Deliver(kRegionLocaleEvent, payload.value()), 1); });
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return asset_requested_; });
  }
  host_.TakeCalls();
  std::atomic<bool> finalized{false};
  std::thread stop([&] {
    plugin().Finalize();
    finalized.store(true);
  });
  // Give Finalize every chance to return early, which it must not while the rebuild runs.
  while (IndexOf(host_.Calls(), "log 3 Finalize: shutting down...") == host_.Calls().size()) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(finalized.load());
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    hold_assets_ = false;
  }
  changed_.notify_all();
  delivery.join();
  stop.join();

  const std::vector<std::string> calls = host_.TakeCalls();
  const size_t sent = IndexOf(calls, "send OnJsonApiEvent_sanitizer_v1_status");
  const size_t complete = IndexOf(calls, "log 3 Finalize: shutdown complete.");
  ASSERT_LT(sent, calls.size());
  ASSERT_LT(complete, calls.size());
  EXPECT_LT(sent, complete);
  EXPECT_EQ(plugin().service().Snapshot()->status.region, "EU");

  // Nothing that arrives now changes the plug-in, not even an event delivered straight to it.
  const RegionLocalePayload later("UK", "en_GB");
  HostEventRecord event{};
  event.name = kRegionLocaleEvent;
  event.payload = later.value();
  event.context = block_.instance;
  sdk::host::PluginBase::DeliverEvent(&event);
  EXPECT_EQ(plugin().service().Snapshot()->status.region, "EU");
  EXPECT_TRUE(host_.CallsStartingWith("send").empty());
}

}  // namespace
}  // namespace sanitizer::service
