// Linux implementation of the diagnostics platform layer.
#include "sdk/diagnostics/platform.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace sdk::diagnostics::platform {
namespace {

constexpr char kPathSeparator = '/';

std::string ReadExecutablePath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  return std::string(path, static_cast<size_t>(length));
}

// Reads a small /proc file whole; empty on failure.
std::string ReadProcFile(const char* name) {
  std::string text;
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[1024];
  ssize_t length;
  while ((length = read(fd, chunk, sizeof chunk)) > 0 && text.size() < 65536) {
    text.append(chunk, static_cast<size_t>(length));
  }
  close(fd);
  return text;
}

struct DebuggerCaptureState {
  std::mutex mutex;
  DebuggerCapture capture = nullptr;
  void* context = nullptr;
};

DebuggerCaptureState& CaptureState() {
  static DebuggerCaptureState& state = *new DebuggerCaptureState;  // outlives every target
  return state;
}

// Event tracing: registered providers and the one in-process session.
struct Provider {
  TraceHandle handle;
  Guid guid;
  EnableCallback callback;
  void* context;
};

struct Session {
  Guid guid;
  uint8_t level;
  uint64_t match_any;
  uint64_t match_all;
};

struct TraceState {
  std::mutex mutex;
  std::vector<Provider> providers;
  std::vector<Session> sessions;
  TraceHandle next_handle = 1;
  TraceConsumer consumer = nullptr;
  void* consumer_context = nullptr;
};

TraceState& Trace() {
  static TraceState& state = *new TraceState;
  return state;
}

}  // namespace

std::string_view ModuleNameFromPath(std::string_view path) {
  const size_t separator = path.rfind(kPathSeparator);
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string_view ModuleName() {
  static const std::string& name = *new std::string(ModuleNameFromPath(ReadExecutablePath()));
  return name;
}

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int32_t>(now.tv_nsec / 1000000)};
}

uint64_t HighResolutionCounter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t HighResolutionFrequency() { return 1000000000ull; }

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

int32_t TracerPidFromStatus(std::string_view status) {
  constexpr std::string_view kKey = "TracerPid:";
  size_t at = 0;
  while (at < status.size()) {
    const size_t end = std::min(status.find('\n', at), status.size());
    const std::string_view line = status.substr(at, end - at);
    if (line.substr(0, kKey.size()) == kKey) {
      std::string_view value = line.substr(kKey.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      int32_t pid = 0;
      const auto result = std::from_chars(value.data(), value.data() + value.size(), pid);
      return result.ec == std::errc() && pid > 0 ? pid : 0;
    }
    at = end + 1;
  }
  return 0;
}

bool DebuggerAttached() {
  // Reading /proc costs a few system calls, so the answer is kept for about a second.
  static std::atomic<uint64_t> checked_at{0};
  static std::atomic<bool> attached{false};
  const uint64_t now = HighResolutionCounter();
  const uint64_t last = checked_at.load(std::memory_order_relaxed);
  if (last == 0 || now - last >= HighResolutionFrequency()) {
    attached.store(TracerPidFromStatus(ReadProcFile("/proc/self/status")) != 0,
                   std::memory_order_relaxed);
    checked_at.store(now == 0 ? 1 : now, std::memory_order_relaxed);
  }
  return attached.load(std::memory_order_relaxed);
}

void SetDebuggerCaptureForTesting(DebuggerCapture capture, void* context) {
  DebuggerCaptureState& state = CaptureState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.capture = capture;
  state.context = context;
}

void WriteDebuggerOutput(const char* text) {
  if (text == nullptr) return;
  {
    DebuggerCaptureState& state = CaptureState();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.capture != nullptr) {
      state.capture(text, state.context);
      return;
    }
  }
  // A debugger on Linux shows the program's standard error in its console; that is where its
  // user looks for this output.
  if (DebuggerAttached()) {
    const size_t length = std::strlen(text);
    if (write(STDERR_FILENO, text, length) < 0) return;  // nobody to report a failure to
  }
}

TraceHandle RegisterTraceProvider(const Guid& provider, EnableCallback callback, void* context) {
  TraceState& state = Trace();
  TraceHandle handle;
  Session session{};
  bool enabled = false;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    handle = state.next_handle++;
    state.providers.push_back(Provider{handle, provider, callback, context});
    for (const Session& s : state.sessions) {
      if (s.guid == provider) {
        session = s;
        enabled = true;
      }
    }
  }
  // Callbacks run outside the lock so that they may write events.
  if (enabled && callback != nullptr) {
    callback(provider, 1, session.level, session.match_any, session.match_all, context);
  }
  return handle;
}

void UnregisterTraceProvider(TraceHandle handle) {
  TraceState& state = Trace();
  std::lock_guard<std::mutex> guard(state.mutex);
  std::erase_if(state.providers, [handle](const Provider& p) { return p.handle == handle; });
}

bool WriteTraceEvent(TraceHandle handle, const EventDescriptor& descriptor,
                     std::span<const EventData> data) {
  TraceState& state = Trace();
  TraceConsumer consumer = nullptr;
  void* consumer_context = nullptr;
  Guid guid{};
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    const auto provider = std::find_if(state.providers.begin(), state.providers.end(),
                                       [handle](const Provider& p) { return p.handle == handle; });
    if (provider == state.providers.end()) return false;
    guid = provider->guid;
    const bool enabled = std::any_of(state.sessions.begin(), state.sessions.end(),
                                     [&guid](const Session& s) { return s.guid == guid; });
    if (!enabled) return false;
    consumer = state.consumer;
    consumer_context = state.consumer_context;
  }
  std::vector<std::byte> payload;
  for (const EventData& piece : data) {
    const auto* bytes = static_cast<const std::byte*>(piece.data);
    if (bytes != nullptr) payload.insert(payload.end(), bytes, bytes + piece.size);
  }
  if (consumer != nullptr) consumer(guid, descriptor, payload, consumer_context);
  return true;
}

void SetTraceConsumer(TraceConsumer consumer, void* context) {
  TraceState& state = Trace();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.consumer = consumer;
  state.consumer_context = context;
}

void EnableTraceProvider(const Guid& provider, uint8_t level, uint64_t match_any_keyword,
                         uint64_t match_all_keyword) {
  TraceState& state = Trace();
  std::vector<Provider> to_notify;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    std::erase_if(state.sessions, [&provider](const Session& s) { return s.guid == provider; });
    state.sessions.push_back(Session{provider, level, match_any_keyword, match_all_keyword});
    for (const Provider& p : state.providers) {
      if (p.guid == provider) to_notify.push_back(p);
    }
  }
  for (const Provider& p : to_notify) {
    if (p.callback) p.callback(provider, 1, level, match_any_keyword, match_all_keyword, p.context);
  }
}

void DisableTraceProvider(const Guid& provider) {
  TraceState& state = Trace();
  std::vector<Provider> to_notify;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    const size_t removed =
        std::erase_if(state.sessions, [&provider](const Session& s) { return s.guid == provider; });
    if (removed == 0) return;
    for (const Provider& p : state.providers) {
      if (p.guid == provider) to_notify.push_back(p);
    }
  }
  for (const Provider& p : to_notify) {
    if (p.callback) p.callback(provider, 0, 0, 0, 0, p.context);
  }
}

}  // namespace sdk::diagnostics::platform
