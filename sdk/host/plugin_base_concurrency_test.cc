// Events delivered on several host threads while another thread subscribes, unsubscribes,
// replaces handlers and finally finalises the plug-in. Built in the ASan build of the suite and
// in the TSan preset (label "tsan"): a delivery that touched a handler table without its lock,
// or a handler freed while a delivery ran it, is reported by the sanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sdk/binding/record_builder.h"
#include "sdk/host/plugin_base.h"
#include "sdk/host/recording_host.h"

namespace plugin_concurrency_test_records {
struct Ping {
  std::string uri;
  uint32_t round = 0;
};
}  // namespace plugin_concurrency_test_records

namespace sdk::host {
namespace {

using plugin_concurrency_test_records::Ping;
using testing::BorrowedTextValue;
using testing::RegisteredPlugin;

class ConcurrentPlugin final : public PluginBase {
 public:
  void RegisterApi() override {
    sdk::binding::RecordBuilder<Ping> ping(registry(), "Ping");
    SDK_BINDING_MEMBER(ping, uri);
    SDK_BINDING_MEMBER(ping, round);
  }
  bool Initialize() override { return true; }
};

// A handler whose state lives in its own heap object: if the holder were freed while a delivery
// ran it, the sanitizer would see the read of `label` after its free.
ResourceHandler CountingHandler(std::atomic<uint64_t>& calls, std::string label) {
  auto owned = std::make_shared<std::string>(std::move(label));
  return [&calls, owned](const PluginResourceEvent& event) {
    if (!owned->empty() && !event.uri.empty()) calls.fetch_add(1, std::memory_order_relaxed);
  };
}

TEST(PluginBaseConcurrencyTest, DeliveriesRaceSubscriptionsReplacementAndFinalize) {
  RegisteredPlugin<ConcurrentPlugin> plugin;
  ASSERT_EQ(plugin.Start(7), 1);
  ConcurrentPlugin& base = plugin.plugin();

  const char* const uris[] = {"/race/a", "/race/b", "/race/c"};
  const std::string names[] = {EventNameFor(uris[0]), EventNameFor(uris[1]), EventNameFor(uris[2])};
  std::atomic<uint64_t> resource_calls{0};
  std::atomic<uint64_t> ping_calls{0};
  std::atomic<bool> stop{false};
  // Deliveries each thread has finished, so that the test can tell when every thread has run
  // deliveries that began after a given moment.
  std::atomic<uint64_t> finished[3] = {};
  auto wait_for_fresh_deliveries = [&] {
    uint64_t seen[3];
    for (int t = 0; t < 3; ++t) seen[t] = finished[t].load();
    for (int t = 0; t < 3; ++t) {
      // Two more: the one running now may have begun before, the next began after.
      while (finished[t].load() < seen[t] + 2) std::this_thread::yield();
    }
  };

  // Payloads: a resource event per uri and a ping.
  HostStructureEntry entries[3][3] = {};
  HostValue payloads[3] = {};
  for (int i = 0; i < 3; ++i) {
    entries[i][0] = {"data", BorrowedTextValue("x"), 0};
    entries[i][1] = {"eventType", BorrowedTextValue("Update"), 0};
    entries[i][2] = {"uri", BorrowedTextValue(uris[i]), 0};
    payloads[i].tag = kHostValueStructure;
    payloads[i].payload.span.data = entries[i];
    payloads[i].payload.span.count = 3;
  }

  std::vector<std::thread> deliverers;
  for (int t = 0; t < 3; ++t) {
    deliverers.emplace_back([&, t] {
      uint64_t round = 0;
      while (!stop.load(std::memory_order_acquire)) {
        const int i = static_cast<int>((round + t) % 3);
        HostEventRecord event{};
        event.context = &base;
        event.name = names[i].c_str();
        event.payload = payloads[i];
        PluginBase::DeliverEvent(&event);
        HostEventRecord ping{};
        ping.context = &base;
        ping.name = "OnPing";
        ping.payload = payloads[i];
        PluginBase::DeliverEvent(&ping);
        finished[t].fetch_add(1);
        ++round;
      }
    });
  }

  // The plug-in's own thread changes the tables under the deliveries.
  for (int round = 0; round < 300; ++round) {
    const char* uri = uris[round % 3];
    base.SubscribeResource(uri, CountingHandler(resource_calls, "exact"));
    // Pattern handlers are kept in a list: each subscription adds one.
    if (round % 25 == 0)
      base.SubscribeResource("/race/*", CountingHandler(resource_calls, "pattern"));
    base.SetEventHandler<Ping>(
        "OnPing",
        [&ping_calls](const Ping&) { ping_calls.fetch_add(1, std::memory_order_relaxed); }, 0);
    base.Unsubscribe(uri);
    if (round % 7 == 0) base.Subscribe(uris[(round + 1) % 3]);
    if (round % 11 == 0) base.Unsubscribe(uris[(round + 1) % 3]);
  }
  base.Finalize();
  // Deliveries that began before Finalize may still be finishing; those that begin after it
  // find nothing.
  wait_for_fresh_deliveries();
  const uint64_t resource_after_finalize = resource_calls.load();
  const uint64_t ping_after_finalize = ping_calls.load();
  wait_for_fresh_deliveries();
  wait_for_fresh_deliveries();
  stop.store(true, std::memory_order_release);
  for (std::thread& thread : deliverers) thread.join();

  EXPECT_EQ(resource_calls.load(), resource_after_finalize);
  EXPECT_EQ(ping_calls.load(), ping_after_finalize);
  EXPECT_GT(resource_after_finalize, 0u) << "the resource deliveries ran";
  EXPECT_GT(ping_after_finalize, 0u) << "the ping deliveries ran";

  // Every name the plug-in subscribed at the host was ended again, once per subscription.
  int balance = 0;
  for (const std::string& call : plugin.host().Calls()) {
    if (call.rfind("subscribe OnJsonApiEvent_race", 0) == 0) ++balance;
    if (call.rfind("unsubscribe OnJsonApiEvent_race", 0) == 0) --balance;
  }
  EXPECT_EQ(balance, 0);
}

}  // namespace
}  // namespace sdk::host
