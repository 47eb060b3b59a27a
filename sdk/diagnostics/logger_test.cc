// Tests of the logger: its defaults and built-in targets, filtering by the logger and by each
// sink, the sink list, counts, lifetime, and logging from several threads at once. Lines are
// observed through a capturing target; every test acquires the logger and releases it, so each
// starts from a freshly created logger.
#include "sdk/diagnostics/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/diagnostics/log.h"
#include "sdk/diagnostics/log_line_format.h"
#include "sdk/diagnostics/log_target.h"
#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {
namespace {

// Records every line it is asked to write.
class CapturingTarget : public LogTarget {
 public:
  explicit CapturingTarget(std::string_view format = "#M") { SetFormat(format); }
  ~CapturingTarget() override { Detach(); }

  const char* Name() const override { return "CapturingTarget"; }
  bool Write(const LogRecord& record) override {
    char line[kLogBufferSize];
    lines_.emplace_back(line, FormatLine(record, line, sizeof line));
    return true;
  }

  // Call when no other thread logs.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::SetDebuggerCaptureForTesting(
        [](const char* text, void* context) {
          static_cast<std::vector<std::string>*>(context)->push_back(text);
        },
        &debugger_lines_);
    logger_ = AcquireLogger();
  }
  void TearDown() override {
    ReleaseLogger();
    platform::SetDebuggerCaptureForTesting(nullptr, nullptr);
  }

  // Leaves only `target` attached, with the logger letting everything through.
  void UseOnly(CapturingTarget& target) {
    for (LogSink* sink : logger_->Sinks()) logger_->Detach(sink);
    logger_->SetLevel(kLogOkay);
    logger_->SetExcludedCategories(0);
    target.SetLevel(kLogOkay);
    logger_->Attach(target.sink());
  }

  Logger* logger_ = nullptr;
  std::vector<std::string> debugger_lines_;
};

TEST_F(LoggerTest, DefaultsAndBuiltInTargets) {
  EXPECT_EQ(logger_->Level(), kLogWarning);
  EXPECT_EQ(logger_->ExcludedCategories(), kCategoryXtr);
  EXPECT_FALSE(logger_->IsDisabled());
  EXPECT_EQ(logger_->ModuleName(), "sdk_diagnostics_test");
  const std::vector<LogSink*> expected = {logger_->StdErr().sink(),
                                          logger_->DebuggerConsole().sink()};
  EXPECT_EQ(logger_->Sinks(), expected);

  struct TargetCase {
    LogTarget* target;
    const char* name;
    const char* format;
    uint64_t included;
    uint64_t excluded;
    bool attached;
  };
  const TargetCase cases[] = {
      {&logger_->StdErr(), "StdErrLogTarget", "#E(#T): #L| #M", kCategoryDbg, kCategoryGen, true},
      {&logger_->StdOut(), "StdOutLogTarget", "#M", kCategoryGen, kCategoryDbg, false},
      {&logger_->DebuggerConsole(), "DebuggerConsoleLogTarget", "#E(#T): #L| #M", kCategoryDbg, 0,
       true},
  };
  for (const TargetCase& c : cases) {
    LogSink* sink = c.target->sink();
    EXPECT_STREQ(c.target->Name(), c.name);
    EXPECT_STREQ(sink->get_name(sink), c.name);
    EXPECT_STREQ(sink->get_format(sink), c.format) << c.name;
    EXPECT_EQ(sink->get_level(sink), kLogWarning) << c.name;
    EXPECT_EQ(sink->get_included_categories(sink), c.included) << c.name;
    EXPECT_EQ(sink->get_excluded_categories(sink), c.excluded) << c.name;
    EXPECT_EQ(sink->is_attached(sink), c.attached) << c.name;
    EXPECT_EQ(sink->version(sink), 1) << c.name;
  }
  EXPECT_FALSE(logger_->StdOut().FlushEachLine());
}

TEST_F(LoggerTest, BuiltInTargetsRouteByCategory) {
  char thread[16];
  std::snprintf(thread, sizeof thread, "%08X", platform::CurrentThreadId());
  const std::string prefix = "sdk_diagnostics_test(" + std::string(thread) + "): ";

  testing::internal::CaptureStderr();
  Log(kLogWarning, kCategoryDbg, "debug %d", 1);
  Log(kLogWarning, kCategoryGen, "general");  // standard error excludes GEN; stdout is detached
  Log(kLogError, 0, "no category");           // passes every category test
  Log(kLogWarning, kCategoryXtr | kCategoryDbg, "extra");  // the logger excludes XTR
  Log(kLogOkay, kCategoryDbg, "okay");                     // below the threshold
  Log(kLogAlways, kCategoryNet, "network");                // included DBG shares no bit with NET
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(err, prefix + "  WARN| debug 1\n" + prefix + " ERROR| no category\n");
  const std::vector<std::string> expected = {prefix + "  WARN| debug 1\n",
                                             prefix + " ERROR| no category\n"};
  EXPECT_EQ(debugger_lines_, expected);

  logger_->Attach(logger_->StdOut().sink());
  logger_->StdOut().SetFlushEachLine(true);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Log(kLogWarning, kCategoryGen, "general %s", "again");
  Log(kLogWarning, kCategoryDbg, "debug");  // standard output excludes DBG
  EXPECT_EQ(testing::internal::GetCapturedStderr(), prefix + "  WARN| debug\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "general again\n");
}

struct SinkFilterCase {
  LogLevel sink_level;
  uint64_t included;
  uint64_t excluded;
  LogLevel level;
  uint64_t categories;
  bool written;
};

TEST_F(LoggerTest, SinkLevelAndCategoryFilters) {
  constexpr uint64_t kDbg = kCategoryDbg, kGen = kCategoryGen, kNet = kCategoryNet;
  const SinkFilterCase cases[] = {
      {kLogWarning, 0, 0, kLogOkay, 0, false},
      {kLogWarning, 0, 0, kLogWarning, 0, true},
      {kLogWarning, 0, 0, kLogAlways, kNet, true},
      {kLogOkay, kDbg, 0, kLogOkay, kDbg, true},
      {kLogOkay, kDbg, 0, kLogOkay, kGen, false},         // included set, no shared bit
      {kLogOkay, kDbg, 0, kLogOkay, kDbg | kGen, true},   // one shared bit is enough
      {kLogOkay, kDbg, 0, kLogOkay, 0, true},             // no category passes
      {kLogOkay, 0, kGen, kLogOkay, kGen | kNet, false},  // excluded wins
      {kLogOkay, 0, kGen, kLogOkay, kNet, true},
      {kLogOkay, 0, kGen, kLogOkay, 0, true},
      {kLogOkay, kDbg | kGen, kGen, kLogOkay, kGen, false},  // included keeps only DBG
      {kLogError, kDbg, kGen, kLogError, kDbg, true},
      {kLogAlways, 0, 0, kLogError, 0, false},
  };
  for (const SinkFilterCase& c : cases) {
    CapturingTarget target;
    UseOnly(target);
    target.SetLevel(c.sink_level);
    target.SetCategories(c.included, c.excluded);
    Log(c.level, c.categories, "m");
    EXPECT_EQ(target.lines().size(), c.written ? 1u : 0u)
        << "sink level " << c.sink_level << " included " << c.included << " excluded " << c.excluded
        << " record level " << c.level << " categories " << c.categories;
  }
}

TEST_F(LoggerTest, SetCategoriesRemovesExcludedBitsFromIncluded) {
  CapturingTarget target;
  LogSink* sink = target.sink();
  sink->set_categories(sink, kCategoryDbg | kCategoryGen | kCategoryNet, kCategoryGen);
  EXPECT_EQ(sink->get_included_categories(sink), kCategoryDbg | kCategoryNet);
  EXPECT_EQ(sink->get_excluded_categories(sink), kCategoryGen);
  sink->set_level(sink, kLogError);
  EXPECT_EQ(target.Level(), kLogError);
}

TEST_F(LoggerTest, LoggerFilters) {
  CapturingTarget target;
  UseOnly(target);
  logger_->SetLevel(kLogWarning);
  logger_->SetExcludedCategories(kCategoryXtr | kCategoryMem);
  Log(kLogOkay, 0, "below");
  Log(kLogWarning, kCategoryXtr, "excluded");
  Log(kLogWarning, kCategoryMem | kCategoryDbg, "partly excluded");
  Log(kLogWarning, kCategoryDbg, "kept");
  logger_->Disable();
  EXPECT_TRUE(logger_->IsDisabled());
  Log(kLogAlways, 0, "disabled");
  logger_->Enable();
  Log(kLogAlways, 0, "enabled");
  const std::vector<std::string> expected = {"kept\n", "enabled\n"};
  EXPECT_EQ(target.lines(), expected);
}

TEST_F(LoggerTest, WarningsAndErrorsAreCountedWhenAccepted) {
  for (LogSink* sink : logger_->Sinks()) logger_->Detach(sink);  // counted without any sink
  Log(kLogWarning, 0, "w");
  Log(kLogWarning, kCategoryGen, "w");
  Log(kLogError, 0, "e");
  Log(kLogAlways, 0, "a");
  Log(kLogOkay, 0, "dropped by the threshold");
  Log(kLogError, kCategoryXtr, "dropped by category");
  logger_->Disable();
  Log(kLogError, 0, "dropped while disabled");
  EXPECT_EQ(logger_->WarningCount(), 2u);
  EXPECT_EQ(logger_->ErrorCount(), 1u);
}

TEST_F(LoggerTest, MessagesAreFormattedAndCut) {
  CapturingTarget target;
  UseOnly(target);
  Log(kLogAlways, 0, "%s=%d %5.2f %%", "x", 42, 3.14159);
  Log(kLogAlways, 0, "%s", std::string(6000, 'm').c_str());
  Log(kLogAlways, 0, nullptr);
  ASSERT_EQ(target.lines().size(), 3u);
  EXPECT_EQ(target.lines()[0], "x=42  3.14 %\n");
  EXPECT_EQ(target.lines()[1], std::string(4094, 'm') + "\n");  // line buffer less its end
  EXPECT_EQ(target.lines()[2], "\n");
}

TEST_F(LoggerTest, AssertionReportIsLoggedAsAnErrorInDbg) {
  CapturingTarget target("#L|#G|#M");
  UseOnly(target);
  LogAssertion("x > 0", "main.cc", 12, "Run", "100% %s");  // the report is data, not a format
  ASSERT_EQ(target.lines().size(), 1u);
  EXPECT_EQ(target.lines()[0],
            " ERROR|DBG|Assertion failed!\n\nFile: main.cc\nLine: 12\n\nFunction: Run\n\n"
            "Expression: x > 0\n\nDescription: 100% %s\n");
  EXPECT_EQ(logger_->ErrorCount(), 1u);
}

TEST_F(LoggerTest, AttachDetachAndFind) {
  CapturingTarget first;
  CapturingTarget second;
  LogSink* stderr_sink = logger_->StdErr().sink();
  LogSink* debugger_sink = logger_->DebuggerConsole().sink();
  logger_->Attach(first.sink());
  logger_->Attach(first.sink());  // already attached: nothing changes
  logger_->Attach(second.sink());
  logger_->Attach(nullptr);
  std::vector<LogSink*> expected = {stderr_sink, debugger_sink, first.sink(), second.sink()};
  EXPECT_EQ(logger_->Sinks(), expected);
  EXPECT_TRUE(first.IsAttached());

  EXPECT_EQ(logger_->Find("CapturingTarget"), first.sink());  // the first of that name
  EXPECT_EQ(logger_->Find("StdErrLogTarget"), stderr_sink);
  EXPECT_EQ(logger_->Find("StdErr"), nullptr);           // names match exactly
  EXPECT_EQ(logger_->Find("StdOutLogTarget"), nullptr);  // not attached
  EXPECT_EQ(logger_->Find("PluginLogTarget"), nullptr);

  logger_->Detach(first.sink());
  EXPECT_FALSE(first.IsAttached());
  EXPECT_EQ(logger_->Find("CapturingTarget"), second.sink());
  logger_->Detach(first.sink());  // not attached: nothing happens
  second.Detach();                // a target can detach itself
  EXPECT_FALSE(second.IsAttached());
  expected = {stderr_sink, debugger_sink};
  EXPECT_EQ(logger_->Sinks(), expected);
  {
    CapturingTarget scoped;
    logger_->Attach(scoped.sink());
    EXPECT_EQ(logger_->Sinks().size(), 3u);
  }  // destroying a target detaches it
  EXPECT_EQ(logger_->Sinks(), expected);
}

// A sink written against the plain function table, recording the calls it receives.
struct RecordingSink {
  LogSink table;  // first, so that the sink's address is the record's
  const char* name;
  std::vector<std::string>* calls;
  bool attached = false;
};

RecordingSink* AsRecording(LogSink* sink) { return reinterpret_cast<RecordingSink*>(sink); }

const LogSink kRecordingFunctions = {
    [](LogSink*) { return 1; },
    [](LogSink*, LogLevel) {},
    [](LogSink*) { return kLogOkay; },
    [](LogSink*, uint64_t, uint64_t) {},
    [](LogSink*) { return uint64_t{0}; },
    [](LogSink*) { return uint64_t{0}; },
    [](LogSink* sink) { return AsRecording(sink)->name; },
    [](LogSink*) { return "#M"; },
    [](LogSink* sink) {
      AsRecording(sink)->attached = true;
      AsRecording(sink)->calls->push_back(std::string("attach ") + AsRecording(sink)->name);
    },
    [](LogSink* sink) {
      AsRecording(sink)->attached = false;
      AsRecording(sink)->calls->push_back(std::string("detach ") + AsRecording(sink)->name);
    },
    [](LogSink* sink) { return AsRecording(sink)->attached; },
    [](LogSink* sink, const LogRecord* record) {
      AsRecording(sink)->calls->push_back(std::string(AsRecording(sink)->name) + " " +
                                          record->message);
      return false;  // a failing sink does not stop the others
    },
};

TEST_F(LoggerTest, PlainSinksAndReleaseDetachingFromLastToFirst) {
  std::vector<std::string> calls;
  RecordingSink a{kRecordingFunctions, "a", &calls};
  RecordingSink b{kRecordingFunctions, "b", &calls};
  for (LogSink* sink : logger_->Sinks()) logger_->Detach(sink);
  logger_->Attach(&a.table);
  logger_->Attach(&b.table);
  Log(kLogAlways, 0, "m");
  EXPECT_EQ(logger_->Find("b"), &b.table);

  ReleaseLogger();  // the last reference
  logger_ = AcquireLogger();
  const std::vector<std::string> expected = {"attach a", "attach b", "a m",
                                             "b m",      "detach b", "detach a"};
  EXPECT_EQ(calls, expected);
  EXPECT_FALSE(a.attached);
  // The new logger starts from its defaults.
  EXPECT_EQ(logger_->Sinks().size(), 2u);
  EXPECT_EQ(logger_->Level(), kLogWarning);
}

TEST_F(LoggerTest, ReferencesKeepTheLoggerAlive) {
  logger_->SetLevel(kLogError);
  Logger* second = AcquireLogger();
  EXPECT_EQ(second, logger_);
  ReleaseLogger();
  EXPECT_EQ(logger_->Level(), kLogError);  // still the same logger
  CapturingTarget target;
  logger_->Attach(target.sink());
  ReleaseLogger();
  EXPECT_FALSE(target.IsAttached());  // released with the logger
  ReleaseLogger();                    // unbalanced: ignored
  logger_ = AcquireLogger();
  EXPECT_EQ(logger_->Level(), kLogWarning);
}

TEST_F(LoggerTest, LogCreatesTheLoggerWhenNoneExists) {
  ReleaseLogger();
  platform::SetDebuggerCaptureForTesting(nullptr, nullptr);
  testing::internal::CaptureStderr();
  Log(kLogError, kCategoryDbg, "first");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex("sdk_diagnostics_test\\([0-9A-F]{8}\\):  ERROR\\| "
                                               "first\n")))
      << err;
  logger_ = AcquireLogger();
  EXPECT_EQ(logger_->ErrorCount(), 1u);  // the logger that Log created
}

// Logs from inside its Write: the nested message must be dropped instead of recursing.
class LoggingTarget : public CapturingTarget {
 public:
  bool Write(const LogRecord& record) override {
    Log(kLogAlways, 0, "nested");
    return CapturingTarget::Write(record);
  }
};

TEST_F(LoggerTest, LogFromInsideWriteIsDropped) {
  LoggingTarget target;
  UseOnly(target);
  Log(kLogAlways, 0, "outer");
  EXPECT_EQ(target.lines(), std::vector<std::string>{"outer\n"});
  Log(kLogAlways, 0, "again");  // the guard is lifted after the walk
  EXPECT_EQ(target.lines().size(), 2u);
}

// Detaches itself from inside its first Write.
class SelfDetachingTarget : public CapturingTarget {
 public:
  bool Write(const LogRecord& record) override {
    Detach();
    return CapturingTarget::Write(record);
  }
};

TEST_F(LoggerTest, TargetCanDetachItselfWhileWriting) {
  SelfDetachingTarget detaching;
  CapturingTarget after;
  UseOnly(detaching);
  after.SetLevel(kLogOkay);
  logger_->Attach(after.sink());
  Log(kLogAlways, 0, "one");
  Log(kLogAlways, 0, "two");
  EXPECT_EQ(detaching.lines(), std::vector<std::string>{"one\n"});
  const std::vector<std::string> expected = {"one\n", "two\n"};
  EXPECT_EQ(after.lines(), expected);  // the target after it still got every record
  EXPECT_EQ(logger_->Sinks(), std::vector<LogSink*>{after.sink()});
}

// Releases the last reference from inside its Write.
class ReleasingTarget : public CapturingTarget {
 public:
  bool Write(const LogRecord& record) override {
    ReleaseLogger();
    return CapturingTarget::Write(record);
  }
};

TEST_F(LoggerTest, ReleaseFromInsideWriteWaitsForTheWalk) {
  ReleasingTarget releasing;
  CapturingTarget after;
  UseOnly(releasing);
  after.SetLevel(kLogOkay);
  logger_->Attach(after.sink());
  Log(kLogAlways, 0, "last");
  EXPECT_FALSE(releasing.IsAttached());
  EXPECT_FALSE(after.IsAttached());
  logger_ = AcquireLogger();  // a fresh logger for TearDown to release
  EXPECT_EQ(logger_->Level(), kLogWarning);
}

// Appends each line character by character with pauses to an output it may share with other
// targets, so lines that were not serialised across targets would interleave.
class SlowTarget : public LogTarget {
 public:
  explicit SlowTarget(std::string* output) : output_(output) { SetFormat("#M"); }
  ~SlowTarget() override { Detach(); }
  bool Write(const LogRecord& record) override {
    char line[kLogBufferSize];
    const size_t length = FormatLine(record, line, sizeof line);
    for (size_t i = 0; i < length; ++i) {
      output_->push_back(line[i]);
      if (i % 4 == 0) std::this_thread::yield();
    }
    return true;
  }

 private:
  std::string* output_;
};

TEST_F(LoggerTest, ConcurrentLinesStayWholeAndInOneOrderWhileSettingsChange) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::string output;  // shared by both targets, as standard error and the debugger share a console
  SlowTarget first(&output);
  SlowTarget second(&output);
  for (LogSink* sink : logger_->Sinks()) logger_->Detach(sink);
  logger_->SetLevel(kLogOkay);
  for (SlowTarget* target : {&first, &second}) {
    target->SetLevel(kLogOkay);
    logger_->Attach(target->sink());
  }

  std::atomic<bool> done{false};
  // Meanwhile: settings change on a target and another target comes and goes, which takes the
  // target's and the logger's locks from the other side.
  std::thread changer([&] {
    int round = 0;
    while (!done.load()) {
      first.SetFormat(round % 2 ? "#M" : "#M#");  // a "#" at the end changes nothing
      first.SetCategories(0, kCategoryXtr);
      first.SetLevel(kLogOkay);
      CapturingTarget passing;
      passing.SetLevel(kLogOkay);
      logger_->Attach(passing.sink());
      if (round % 3 == 0) passing.Detach();
      ++round;
    }  // `passing` detaches in its destructor while other threads may be writing to it
  });
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) Log(kLogAlways, 0, "thread %d line %04d", t, i);
    });
  }
  for (std::thread& thread : loggers) thread.join();
  done.store(true);
  changer.join();

  // Every record appears as two whole lines in a row (first target, then second), and each
  // thread's records appear in the order it logged them.
  const std::regex line_pattern("thread ([0-9]) line ([0-9]{4})");
  std::vector<int> next(kThreads, 0);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated line at " << start;
    lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 2u * kThreads * kLines);
  for (size_t i = 0; i < lines.size(); i += 2) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, line_pattern)) << "mixed line: " << lines[i];
    ASSERT_EQ(lines[i + 1], lines[i]) << "records reached the two targets in different orders";
    const int thread = std::stoi(match[1]);
    EXPECT_EQ(std::stoi(match[2]), next[thread]++) << "out of order: " << lines[i];
  }
}

}  // namespace
}  // namespace sdk::diagnostics
