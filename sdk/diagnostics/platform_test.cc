// Tests of the Linux platform layer: module name, clock, counter, thread ids and the debugger
// channel.
#include "sdk/diagnostics/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace sdk::diagnostics::platform {
namespace {

TEST(PlatformTest, ModuleNameIsTheFilePartOfThePath) {
  struct Case {
    std::string_view path;
    std::string_view expected;
  };
  const Case cases[] = {
      {"/usr/bin/host", "host"},
      {"host", "host"},
      {"/a/b/", ""},
      {"", ""},
      {"relative/dir/tool.bin", "tool.bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ModuleNameFromPath(c.path), c.expected) << "path: " << c.path;
  }
  EXPECT_EQ(ModuleName(), "sdk_diagnostics_test");
}

TEST(PlatformTest, TracerPidIsReadFromStatus) {
  struct Case {
    std::string_view status;
    int32_t expected;
  };
  const Case cases[] = {
      {"Name:\tx\nTracerPid:\t0\nUid:\t0\n", 0},
      {"Name:\tx\nTracerPid:\t4321\nUid:\t0\n", 4321},
      {"TracerPid:  17", 17},
      {"Name:\tx\n", 0},
      {"", 0},
      {"XTracerPid:\t5\n", 0},
      {"TracerPid:\tgarbage\n", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TracerPidFromStatus(c.status), c.expected) << "status: " << c.status;
  }
}

TEST(PlatformTest, LocalTimeFieldsAreInRange) {
  const LocalTime t = CurrentLocalTime();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
  EXPECT_TRUE(t.second >= 0 && t.second <= 60);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

TEST(PlatformTest, CounterIsMonotonic) {
  uint64_t previous = HighResolutionCounter();
  for (int i = 0; i < 1000; ++i) {
    const uint64_t now = HighResolutionCounter();
    ASSERT_GE(now, previous);
    previous = now;
  }
  EXPECT_GT(HighResolutionFrequency(), 0u);
}

TEST(PlatformTest, ThreadIdsDifferBetweenThreads) {
  const uint32_t main_id = CurrentThreadId();
  EXPECT_EQ(CurrentThreadId(), main_id);
  uint32_t other_id = main_id;
  std::thread([&other_id] { other_id = CurrentThreadId(); }).join();
  EXPECT_NE(other_id, main_id);
  EXPECT_NE(main_id, 0u);
}

TEST(PlatformTest, DebuggerOutputGoesToTheCaptureWhenSet) {
  std::vector<std::string> texts;
  SetDebuggerCaptureForTesting(
      [](const char* text, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(text);
      },
      &texts);
  WriteDebuggerOutput("one\n");
  WriteDebuggerOutput(nullptr);
  SetDebuggerCaptureForTesting(nullptr, nullptr);
  WriteDebuggerOutput("after\n");
  EXPECT_EQ(texts, std::vector<std::string>{"one\n"});
}

TEST(PlatformTest, DebuggerOutputIsSilentWithoutADebugger) {
  if (DebuggerAttached()) GTEST_SKIP() << "running under a tracer";
  testing::internal::CaptureStderr();
  WriteDebuggerOutput("nobody listens\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace sdk::diagnostics::platform
