// Tests of the event-tracing providers through the in-process tracing session.
#include "sdk/diagnostics/event_tracing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace sdk::diagnostics {
namespace {

struct Event {
  platform::Guid provider;
  uint16_t id;
  std::vector<std::byte> payload;
};

class EventTracingTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::SetTraceConsumer(
        [](const platform::Guid& provider, const platform::EventDescriptor& descriptor,
           std::span<const std::byte> payload, void* context) {
          static_cast<std::vector<Event>*>(context)->push_back(
              Event{provider, descriptor.id, {payload.begin(), payload.end()}});
        },
        &events_);
  }
  void TearDown() override {
    UnregisterTraceProviders();
    for (const platform::Guid& guid : kTraceProviderGuids) platform::DisableTraceProvider(guid);
    platform::SetTraceConsumer(nullptr, nullptr);
  }

  std::vector<Event> events_;
};

TEST_F(EventTracingTest, MainThreadEventWhenTheSecondProviderIsEnabled) {
  platform::EnableTraceProvider(kTraceProviderGuids[1], 5, 0xF0, 0x10);
  RegisterTraceProviders();
  ASSERT_EQ(events_.size(), 1u);
  const Event& event = events_[0];
  EXPECT_TRUE(event.provider == kTraceProviderGuids[1]);
  EXPECT_EQ(event.id, kMainThreadEvent.id);
  ASSERT_EQ(event.payload.size(), 4u + sizeof "Main thread");
  uint32_t thread_id = 0;
  std::memcpy(&thread_id, event.payload.data(), 4);
  EXPECT_EQ(thread_id, platform::CurrentThreadId());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(event.payload.data()) + 4,
                        event.payload.size() - 4),
            std::string("Main thread", sizeof "Main thread"));  // with its NUL

  const TraceProviderState state = GetTraceProviderState(1);
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(state.level, 5);
  EXPECT_EQ(state.match_any_keyword, 0xF0u);
  EXPECT_EQ(state.match_all_keyword, 0x10u);
  EXPECT_FALSE(GetTraceProviderState(0).enabled);

  RegisterTraceProviders();  // already registered: no second event
  EXPECT_EQ(events_.size(), 1u);
}

TEST_F(EventTracingTest, NoEventWhenTheSecondProviderIsNotEnabled) {
  platform::EnableTraceProvider(kTraceProviderGuids[0], 4, 1, 0);
  platform::EnableTraceProvider(kTraceProviderGuids[2], 4, 1, 0);
  RegisterTraceProviders();
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(GetTraceProviderState(0).enabled);
  EXPECT_FALSE(GetTraceProviderState(1).enabled);
  EXPECT_TRUE(GetTraceProviderState(2).enabled);
  EXPECT_FALSE(GetTraceProviderState(3).enabled);
}

TEST_F(EventTracingTest, EnableCallbacksFollowTheSession) {
  RegisterTraceProviders();
  EXPECT_FALSE(GetTraceProviderState(3).enabled);
  platform::EnableTraceProvider(kTraceProviderGuids[3], 2, 0xAB, 0xCD);
  TraceProviderState state = GetTraceProviderState(3);
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(state.level, 2);
  EXPECT_EQ(state.match_any_keyword, 0xABu);
  EXPECT_EQ(state.match_all_keyword, 0xCDu);
  platform::DisableTraceProvider(kTraceProviderGuids[3]);
  EXPECT_FALSE(GetTraceProviderState(3).enabled);
  // Enabling the second provider later writes nothing: the event belongs to the load.
  platform::EnableTraceProvider(kTraceProviderGuids[1], 5, 0, 0);
  EXPECT_TRUE(events_.empty());
  UnregisterTraceProviders();
  EXPECT_FALSE(GetTraceProviderState(1).enabled);
  EXPECT_FALSE(GetTraceProviderState(-1).enabled);
  EXPECT_FALSE(GetTraceProviderState(4).enabled);
}

TEST_F(EventTracingTest, ProvidersHaveDistinctIdentities) {
  for (int i = 0; i < kTraceProviderCount; ++i) {
    for (int j = i + 1; j < kTraceProviderCount; ++j) {
      EXPECT_FALSE(kTraceProviderGuids[i] == kTraceProviderGuids[j]) << i << " " << j;
    }
  }
}

}  // namespace
}  // namespace sdk::diagnostics
