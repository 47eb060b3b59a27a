// PluginHost (see plugin_host.h): loading, the plug-in's lifecycle, the host call table behind
// its C trampolines, and the endpoint client.
//
// The call table is the first member of a block that also points back to the Impl, so a
// trampoline turns the table pointer it receives into the host object with one cast (checked by
// a magic word, which catches a plug-in that passes some other pointer).
//
// The instance's lifetime is guarded by a gate: every call into the plug-in from a program
// thread (Call with its reader, Publish, MemoryStats) enters it, and Stop closes it and waits
// until the last one has left before calling the plug-in's Stop. Calls made by a thread that is
// already inside one (a provider or listener calling back) enter it too; Stop on such a thread
// would wait for itself, so it refuses.
#include "tools/plugin_host/plugin_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <unordered_set>
#include <utility>

namespace plugin_host {
namespace {

constexpr uint64_t kTableMagic = 0x48535442'4C414254ull;   // "HSTBLABT"
constexpr uint64_t kHolderMagic = 0x48525350'484C4452ull;  // "HRSPHLDR"
constexpr size_t kMaxShortName = 256;
constexpr size_t kStreamBuffer = 64 * 1024;
// Empty reads in a row (each followed by a yield) after which a stream counts as stalled.
constexpr int kMaxEmptyReads = 10000;

// How many calls into a plug-in, or reads of its answers, the current thread is in. Stop on
// such a thread would wait for the thread itself.
thread_local int t_busy = 0;

class InsidePlugin {
 public:
  InsidePlugin() { ++t_busy; }
  ~InsidePlugin() { --t_busy; }
  InsidePlugin(const InsidePlugin&) = delete;
  InsidePlugin& operator=(const InsidePlugin&) = delete;
};

// Lets calls into the instance through while it is open; Close waits for those in flight.
// Calls from many threads would all hit one counter, so each thread counts on a slot of its
// own (a cache line each), and Close, which is rare, adds up every slot. A slot counts entries
// and departures rather than the calls in flight, so that entering also counts the calls made
// (Call's entries are counted apart from the others) without a further atomic operation.
class Gate {
 public:
  enum class Kind { kCall, kOther };

  bool Enter(Kind kind) {
    Slot& slot = slots_[ThreadSlot()];
    (kind == Kind::kCall ? slot.calls_entered : slot.others_entered).fetch_add(1);
    if (open_.load()) return true;
    slot.left.fetch_add(1);
    return false;
  }
  void Leave() { slots_[ThreadSlot()].left.fetch_add(1); }
  void Open() { open_.store(true); }
  void Close() {
    open_.store(false);
    for (int round = 0;; ++round) {
      // A thread leaves on the slot it entered on, so a slot's departures never pass its
      // entries; reading the departures first never misses a call still inside.
      uint64_t active = 0;
      for (const Slot& slot : slots_) {
        const uint64_t left = slot.left.load();
        active += slot.calls_entered.load() + slot.others_entered.load() - left;
      }
      if (active == 0) return;
      if (round < 1000) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
  }
  // Every Call, let in or not.
  uint64_t calls() const {
    uint64_t total = 0;
    for (const Slot& slot : slots_) total += slot.calls_entered.load(std::memory_order_relaxed);
    return total;
  }

 private:
  static constexpr size_t kSlots = 16;
  struct alignas(64) Slot {
    std::atomic<uint64_t> calls_entered{0};
    std::atomic<uint64_t> others_entered{0};
    std::atomic<uint64_t> left{0};
  };
  // A thread enters and leaves on the same slot.
  static size_t ThreadSlot() {
    static std::atomic<size_t> next{0};
    thread_local const size_t slot = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return slot;
  }

  std::array<Slot, kSlots> slots_{};
  std::atomic<bool> open_{false};
};

class GateGuard {
 public:
  explicit GateGuard(Gate& gate, Gate::Kind kind = Gate::Kind::kOther)
      : gate_(gate), entered_(gate.Enter(kind)) {
    if (entered_) ++t_busy;
  }
  ~GateGuard() {
    if (entered_) {
      --t_busy;
      gate_.Leave();
    }
  }
  GateGuard(const GateGuard&) = delete;
  GateGuard& operator=(const GateGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  Gate& gate_;
  bool entered_;
};

std::string_view TextOf(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

std::string MethodText(uint32_t method, std::string_view custom_method) {
  if (method == kPluginMethodCustom) return std::string(custom_method);
  const std::string_view name = MethodName(method);
  return name.empty() ? "(no method)" : std::string(name);
}

bool Compatible(const ApiVersion& core, const ApiVersion& plugin) {
  return core.major == plugin.major &&
         (core.minor > plugin.minor || (core.minor == plugin.minor && core.patch >= plugin.patch));
}

// The parameters of a query, percent-decoded: "+" is a space, "%" and two hexadecimal digits
// are one byte, a "%" with fewer than two characters after it is dropped and one followed by
// other characters is kept as it is. Pieces with an empty name ("a=1&", "&&") are skipped.
struct QueryArguments {
  std::vector<std::string> names;
  std::vector<std::string> values;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c != '%') {
      out.push_back(c);
    } else if (text.size() - i < 3) {
      // Dropped.
    } else if (HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

QueryArguments ParseQuery(std::string_view query) {
  QueryArguments parsed;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view piece = query.substr(start, end - start);
    const size_t equals = piece.find('=');
    std::string name = PercentDecode(piece.substr(0, equals));
    if (!name.empty()) {
      parsed.names.push_back(std::move(name));
      parsed.values.push_back(equals == std::string_view::npos
                                  ? std::string()
                                  : PercentDecode(piece.substr(equals + 1)));
    }
    start = end + 1;
  }
  return parsed;
}

// The request record of one call, with NUL-terminated copies of the caller's texts. Small
// requests need no heap: the texts, headers and arguments of a typical call fit inline. The
// parameters of a query, when given, go first among the typed arguments, as borrowed texts.
class RequestScratch {
 public:
  RequestScratch(const CallRequest& request, std::string_view path, const QueryArguments* query) {
    const size_t query_count = query == nullptr ? 0 : query->names.size();
    size_t text_bytes =
        path.size() + 1 + request.content_type.size() + 1 + request.custom_method.size() + 1;
    for (const CallHeader& header : request.headers) {
      text_bytes += header.name.size() + header.value.size() + 2;
    }
    for (const CallArgument& argument : request.arguments) text_bytes += argument.name.size() + 1;
    if (text_bytes > sizeof inline_text_) {
      heap_text_ = std::make_unique<char[]>(text_bytes);
      next_ = heap_text_.get();
    }

    record_.method = request.method;
    record_.path = Copy(path);
    if (!request.content_type.empty()) record_.content_type = Copy(request.content_type);
    if (request.method == kPluginMethodCustom) record_.custom_method = Copy(request.custom_method);
    if (!request.body.empty()) {
      record_.body = request.body.data();
      record_.body_size = static_cast<uint32_t>(request.body.size());
    }
    record_.caller_context = request.caller_context;

    if (!request.headers.empty()) {
      PluginHeader* headers = inline_headers_.data();
      if (request.headers.size() > inline_headers_.size()) {
        heap_headers_ = std::make_unique<PluginHeader[]>(request.headers.size());
        headers = heap_headers_.get();
      }
      for (size_t i = 0; i < request.headers.size(); ++i) {
        headers[i].name = Copy(request.headers[i].name);
        headers[i].value = Copy(request.headers[i].value);
      }
      record_.headers = headers;
      record_.header_count = static_cast<uint32_t>(request.headers.size());
    }
    const size_t argument_count = query_count + request.arguments.size();
    if (argument_count != 0) {
      PluginTypedArgument* arguments = inline_arguments_.data();
      if (argument_count > inline_arguments_.size()) {
        heap_arguments_ = std::make_unique<PluginTypedArgument[]>(argument_count);
        arguments = heap_arguments_.get();
      }
      for (size_t i = 0; i < query_count; ++i) {
        const std::string& value = query->values[i];
        arguments[i].name = query->names[i].c_str();
        arguments[i].value = HostValue{};
        arguments[i].value.tag = kHostValueStringBorrowed;
        arguments[i].value.payload.span.data = value.c_str();
        arguments[i].value.payload.span.count = static_cast<uint32_t>(value.size());
      }
      for (size_t i = 0; i < request.arguments.size(); ++i) {
        const CallArgument& argument = request.arguments[i];
        PluginTypedArgument& entry = arguments[query_count + i];
        entry.name = argument.name.empty() ? nullptr : Copy(argument.name);
        entry.value = *argument.value.get();
      }
      record_.arguments = arguments;
      record_.argument_count = static_cast<uint32_t>(argument_count);
    }
  }

  void set_endpoint_context(const void* context) { record_.endpoint_context = context; }
  const PluginRequestRecord& record() const { return record_; }

 private:
  const char* Copy(std::string_view text) {
    char* const start = next_;
    if (!text.empty()) std::memcpy(start, text.data(), text.size());
    start[text.size()] = '\0';
    next_ += text.size() + 1;
    return start;
  }

  char inline_text_[512];
  std::unique_ptr<char[]> heap_text_;
  char* next_ = inline_text_;
  // Filled before they are read; left uninitialised, which saves clearing them on every call.
  std::array<PluginHeader, 8> inline_headers_;
  std::unique_ptr<PluginHeader[]> heap_headers_;
  std::array<PluginTypedArgument, 8> inline_arguments_;
  std::unique_ptr<PluginTypedArgument[]> heap_arguments_;
  PluginRequestRecord record_{};
};

// Everything a response record handed to the plug-in points to. The record's stream context
// always holds the holder's address, for the release and stream functions to find it (a
// record without a stream has no stream function, so no one reads the context as a stream).
struct ResponseHolder {
  uint64_t magic = kHolderMagic;
  PluginHost::Impl* host = nullptr;
  ResourceAnswer answer;
  std::vector<PluginHeader> headers;
  uint32_t chunk_size = 0;
};

// Holders the plug-in has not released yet, of every host in the process. Releasing one that
// is not here (released twice, or never made by a host) does nothing.
std::mutex g_holders_mutex;
std::unordered_set<ResponseHolder*>* g_open_holders = nullptr;

void RegisterHolder(ResponseHolder* holder) {
  std::lock_guard lock(g_holders_mutex);
  if (g_open_holders == nullptr) g_open_holders = new std::unordered_set<ResponseHolder*>();
  g_open_holders->insert(holder);
}

bool ClaimHolder(ResponseHolder* holder) {
  std::lock_guard lock(g_holders_mutex);
  return g_open_holders != nullptr && g_open_holders->erase(holder) == 1;
}

}  // namespace

std::string ApiVersion::Text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

class PluginHost::Impl {
 public:
  Impl(std::filesystem::path path, LoadOptions options)
      : path_(std::move(path)), options_(std::move(options)) {
    block_.host = this;
    HostCallTable& table = block_.table;
    table.HostRequest = &EntryRequest;
    table.HostCall1 = &EntryCall1;
    table.HostSendEvent = &EntrySendEvent;
    table.HostSubscribe = &EntrySubscribe;
    table.HostUnsubscribe = &EntryUnsubscribe;
    table.HostCall5 = &EntryCall5;
    table.HostCall6 = &EntryCall6;
    table.HostCall7 = &EntryCall7;
    table.HostCall8 = &EntryCall8;
    table.HostLog = &EntryLog;
    context_.call_table = &block_.table;
    context_.plugin_id = options_.plugin_id;
  }

  ~Impl() {
    // Answers the plug-in never released: nothing of the plug-in can reach them any more.
    std::lock_guard lock(g_holders_mutex);
    if (g_open_holders == nullptr) return;
    for (auto it = g_open_holders->begin(); it != g_open_holders->end();) {
      if ((*it)->host == this) {
        delete *it;
        it = g_open_holders->erase(it);
      } else {
        ++it;
      }
    }
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  Status Open();
  void Close();
  Status Start();
  Status Stop();
  Result<MemoryCounters> MemoryStats();
  size_t Publish(std::string_view name, const OwnedHostValue& payload, uint32_t flags);
  std::vector<SubscriptionInfo> Subscriptions() const;
  void Call(const CallRequest& request, ReaderRef reader);
  void CopyOut(const ResponseView& view, Response& out) const;
  HostCounters Counters() const;

  void AddProvider(std::string key, ResourceProvider provider, bool prefix);
  bool RemoveProvider(std::string_view key, bool prefix);
  uint64_t AddEventListener(std::string name, EventListener listener);
  void RemoveEventListener(uint64_t id);
  void SetLogSink(LogSink sink);

  const std::filesystem::path& path() const { return path_; }
  const std::string& short_name() const { return short_name_; }
  const ApiVersion& api_version() const { return api_version_; }
  const ApiDescription& description() const { return description_; }
  const RouteTable& routes() const { return routes_; }
  bool running() const { return state_.load() == kRunning; }

 private:
  enum State { kLoaded, kStarting, kRunning, kStartFailed, kStopping, kStopped };

  struct TableBlock {
    HostCallTable table;  // first: the plug-in hands back its address
    uint64_t magic = kTableMagic;
    Impl* host = nullptr;
  };

  struct Subscription {
    std::string name;
    uint32_t plugin_id;
    HostEventCallback callback;
    void* context;
    uint32_t flags;
  };

  struct Listener {
    uint64_t id;
    std::string name;
    std::shared_ptr<const EventListener> listener;
  };

  // Counters updated from many threads; relaxed, since each is read on its own.
  struct AtomicCounters {
    std::atomic<uint64_t> host_answers{0}, requests{0}, request_errors{0}, open_responses{0},
        events_received{0}, events_dropped{0}, events_delivered{0}, subscriptions{0},
        unsubscriptions{0}, wait_starts{0}, wait_yields{0}, wait_steps{0}, log_lines{0},
        ignored_calls{0}, callback_errors{0};
  };
  static void Count(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }

  static Impl* FromTable(const HostCallTable* table) {
    if (table == nullptr) return nullptr;
    const auto* const block = reinterpret_cast<const TableBlock*>(table);
    return block->magic == kTableMagic ? block->host : nullptr;
  }

  // The trampolines of the call table. Each catches everything.
  static void EntryRequest(const HostCallTable* table, PluginResponseRecord* response,
                           const PluginRequestRecord* request);
  static void EntryCall1(const HostCallTable* table, uint32_t, uint32_t);
  static void EntrySendEvent(const HostCallTable* table, const HostEventRecord* event);
  static void EntrySubscribe(const HostCallTable* table, const char* name, uint32_t plugin_id,
                             HostEventCallback callback, void* context, uint32_t flags);
  static void EntryUnsubscribe(const HostCallTable* table, const char* name, uint32_t plugin_id);
  static void EntryCall5(const HostCallTable* table, uint32_t, uint32_t, uint32_t, uint64_t,
                         uint32_t);
  static void EntryCall6(const HostCallTable* table);
  static void EntryCall7(const HostCallTable* table, const char* text, uint32_t word);
  static uint64_t EntryCall8(const HostCallTable* table);
  static void EntryLog(const HostCallTable* table, int32_t level, const char* text);
  // The functions of the response records the host hands out.
  static uint8_t StreamRead(void* context, void* buffer, uint32_t* length, uint8_t* more);
  static void StreamClose(void* context);
  static void ReleaseResponse(PluginResponseRecord* response);

  void ServeRequest(PluginResponseRecord& response, const PluginRequestRecord* request);
  void FillResponse(PluginResponseRecord& response, ResourceAnswer answer);
  std::shared_ptr<const ResourceProvider> FindProvider(std::string_view resource) const;
  void ReceiveEvent(const HostEventRecord* event);
  void AnswerByHost(uint32_t status, const std::string& text, std::string_view allow,
                    ReaderRef reader);
  void ReadWholeStream(const ResponseView& view, Response& out) const;

  std::filesystem::path path_;
  LoadOptions options_;
  void* library_ = nullptr;
  PluginEntryTable entries_{};
  void* instance_ = nullptr;
  std::string short_name_;
  ApiVersion api_version_;
  ApiDescription description_;
  RouteTable routes_;

  TableBlock block_;
  HostContext context_{};
  std::atomic<int> state_{kLoaded};
  std::mutex lifecycle_mutex_;
  Gate gate_;

  mutable std::shared_mutex providers_mutex_;
  std::map<std::string, std::shared_ptr<const ResourceProvider>, std::less<>> exact_providers_;
  std::map<std::string, std::shared_ptr<const ResourceProvider>, std::less<>> prefix_providers_;

  mutable std::mutex subscriptions_mutex_;
  std::vector<Subscription> subscriptions_;

  mutable std::mutex listeners_mutex_;
  std::vector<Listener> listeners_;
  uint64_t next_listener_id_ = 1;

  mutable std::mutex log_mutex_;
  std::shared_ptr<const LogSink> log_sink_;

  mutable AtomicCounters counters_;
};

// ------------------------------------------------------------------------------------------
// Loading

Status PluginHost::Impl::Open() {
  const std::string where = "The plug-in " + path_.string();
  library_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* const error = dlerror();
    return HostError{"Cannot load the plug-in " + path_.string() + ": " +
                     std::string(error == nullptr ? "unknown error" : error)};
  }
  dlerror();
  void* const symbol = dlsym(library_, options_.export_name.c_str());
  if (symbol == nullptr) {
    return HostError{where + " has no export '" + options_.export_name + "'"};
  }
  const auto load = reinterpret_cast<PluginLoadFunction>(symbol);

  PluginLoadBlock block{};
  block.api_major = options_.core_version.major;
  block.api_minor = options_.core_version.minor;
  block.api_patch = options_.core_version.patch;
  try {
    InsidePlugin inside;
    load(&block);
  } catch (...) {
    return HostError{where + ": its export '" + options_.export_name + "' threw an exception"};
  }

  const auto refuse = [&](const std::string& what) -> Status {
    return HostError{where + " " + what};
  };
  if (block.entry_table == nullptr) return refuse("left the load block without an entry table");
  entries_ = *block.entry_table;
  if (entries_.Start == nullptr || entries_.Stop == nullptr || entries_.MemoryStats == nullptr) {
    entries_ = {};
    return refuse("has an entry table with an entry missing");
  }
  if (block.instance == nullptr) {
    entries_ = {};
    return refuse("left the load block without an instance");
  }
  instance_ = block.instance;
  // From here on a refusal stops the instance (see Close).
  if (block.short_name == nullptr) return refuse("left the load block without a short name");
  const void* const nul = std::memchr(block.short_name, '\0', kMaxShortName + 1);
  if (nul == nullptr) return refuse("has a short name longer than 256 bytes");
  short_name_.assign(block.short_name, static_cast<const char*>(nul));
  if (short_name_.empty()) return refuse("has an empty short name");
  api_version_ = ApiVersion{block.api_major, block.api_minor, block.api_patch};
  if (!Compatible(options_.core_version, api_version_)) {
    return refuse("uses plug-in API " + api_version_.Text() + ", which the core's " +
                  options_.core_version.Text() + " does not support");
  }
  if (block.api_description == nullptr) {
    return refuse("left the load block without an API description");
  }
  Result<ApiDescription> description =
      ReadApiDescription(block.api_description, options_.description_limits);
  if (!description.ok())
    return refuse("has an API description that does not walk: " + description.error());
  description_ = std::move(description).value();
  routes_ = RouteTable::FromEndpoints(description_.endpoints);
  gate_.Open();
  return Status::Ok();
}

void PluginHost::Impl::Close() {
  if (instance_ != nullptr && state_.load() != kStopped) {
    // A refused plug-in never started; stopping it still destroys its instance.
    const Status stopped = Stop();
    (void)stopped;
  }
  if (library_ != nullptr) dlclose(library_);
  library_ = nullptr;
}

// ------------------------------------------------------------------------------------------
// Lifecycle

Status PluginHost::Impl::Start() {
  if (t_busy > 0) {
    return HostError{"Start was called from inside a call into a plug-in"};
  }
  std::lock_guard lock(lifecycle_mutex_);
  if (state_.load() != kLoaded)
    return HostError{"The plug-in " + short_name_ + " was started before"};
  state_.store(kStarting);
  uint8_t started = 0;
  try {
    InsidePlugin inside;
    started = entries_.Start(instance_, &context_);
  } catch (...) {
    started = 0;
  }
  state_.store(started != 0 ? kRunning : kStartFailed);
  if (started == 0) return HostError{"The plug-in " + short_name_ + " failed to start"};
  return Status::Ok();
}

Status PluginHost::Impl::Stop() {
  if (t_busy > 0) {
    return HostError{
        "Stop was called from inside a call into a plug-in (by a provider, a "
        "listener, a log sink or a reader of an answer)"};
  }
  std::lock_guard lock(lifecycle_mutex_);
  const int state = state_.load();
  if (state == kStopped) return Status::Ok();
  state_.store(kStopping);
  gate_.Close();
  if (instance_ != nullptr) {
    try {
      InsidePlugin inside;
      entries_.Stop(instance_);
    } catch (...) {
      // The instance is gone or broken either way; nothing more is called on it.
    }
  }
  state_.store(kStopped);
  {
    std::lock_guard subscriptions_lock(subscriptions_mutex_);
    subscriptions_.clear();
  }
  return Status::Ok();
}

Result<MemoryCounters> PluginHost::Impl::MemoryStats() {
  GateGuard guard(gate_);
  if (!guard.entered()) return HostError{"The plug-in " + short_name_ + " is stopped"};
  std::array<uint32_t, 14> words{};
  try {
    InsidePlugin inside;
    entries_.MemoryStats(instance_, words.data());
  } catch (...) {
    return HostError{"The plug-in " + short_name_ + " failed to report its memory counters"};
  }
  const auto word_pair = [&](size_t i) {
    return uint64_t{words[2 * i]} | uint64_t{words[2 * i + 1]} << 32;
  };
  return MemoryCounters{word_pair(0), word_pair(1), word_pair(2),
                        word_pair(3), word_pair(4), word_pair(5)};
}

// ------------------------------------------------------------------------------------------
// Providers, listeners, the log sink

void PluginHost::Impl::AddProvider(std::string key, ResourceProvider provider, bool prefix) {
  auto shared = std::make_shared<const ResourceProvider>(std::move(provider));
  std::unique_lock lock(providers_mutex_);
  (prefix ? prefix_providers_ : exact_providers_)[std::move(key)] = std::move(shared);
}

bool PluginHost::Impl::RemoveProvider(std::string_view key, bool prefix) {
  std::unique_lock lock(providers_mutex_);
  auto& providers = prefix ? prefix_providers_ : exact_providers_;
  const auto it = providers.find(key);
  if (it == providers.end()) return false;
  providers.erase(it);
  return true;
}

std::shared_ptr<const ResourceProvider> PluginHost::Impl::FindProvider(
    std::string_view resource) const {
  std::shared_lock lock(providers_mutex_);
  if (const auto it = exact_providers_.find(resource); it != exact_providers_.end()) {
    return it->second;
  }
  const std::shared_ptr<const ResourceProvider>* best = nullptr;
  size_t best_length = 0;
  for (const auto& [prefix, provider] : prefix_providers_) {
    if (resource.substr(0, prefix.size()) == prefix &&
        (best == nullptr || prefix.size() > best_length)) {
      best = &provider;
      best_length = prefix.size();
    }
  }
  return best == nullptr ? nullptr : *best;
}

uint64_t PluginHost::Impl::AddEventListener(std::string name, EventListener listener) {
  std::lock_guard lock(listeners_mutex_);
  const uint64_t id = next_listener_id_++;
  listeners_.push_back(
      Listener{id, std::move(name), std::make_shared<const EventListener>(std::move(listener))});
  return id;
}

void PluginHost::Impl::RemoveEventListener(uint64_t id) {
  std::lock_guard lock(listeners_mutex_);
  std::erase_if(listeners_, [&](const Listener& l) { return l.id == id; });
}

void PluginHost::Impl::SetLogSink(LogSink sink) {
  auto shared = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(log_mutex_);
  log_sink_ = std::move(shared);
}

HostCounters PluginHost::Impl::Counters() const {
  const auto get = [](const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  HostCounters c;
  c.calls = gate_.calls();
  c.host_answers = get(counters_.host_answers);
  c.requests = get(counters_.requests);
  c.request_errors = get(counters_.request_errors);
  c.open_responses = get(counters_.open_responses);
  c.events_received = get(counters_.events_received);
  c.events_dropped = get(counters_.events_dropped);
  c.events_delivered = get(counters_.events_delivered);
  c.subscriptions = get(counters_.subscriptions);
  c.unsubscriptions = get(counters_.unsubscriptions);
  c.wait_starts = get(counters_.wait_starts);
  c.wait_yields = get(counters_.wait_yields);
  c.wait_steps = get(counters_.wait_steps);
  c.log_lines = get(counters_.log_lines);
  c.ignored_calls = get(counters_.ignored_calls);
  c.callback_errors = get(counters_.callback_errors);
  return c;
}

// ------------------------------------------------------------------------------------------
// Entry 0: requests of the plug-in

void PluginHost::Impl::EntryRequest(const HostCallTable* table, PluginResponseRecord* response,
                                    const PluginRequestRecord* request) {
  Impl* const host = FromTable(table);
  if (host == nullptr || response == nullptr) return;
  try {
    host->ServeRequest(*response, request);
  } catch (...) {
    // Only memory can run out here; answer with texts that need none.
    *response = PluginResponseRecord{};
    response->error_text = "The host could not answer the request";
    response->error_flag = 1;
    response->status_code = 500;
    Count(host->counters_.request_errors);
  }
}

void PluginHost::Impl::ServeRequest(PluginResponseRecord& response,
                                    const PluginRequestRecord* request) {
  Count(counters_.requests);
  response = PluginResponseRecord{};
  if (request == nullptr) {
    FillResponse(response, ResourceAnswer::Error(400, "No request record"));
    return;
  }
  const ResourceRequest view(*request);
  const std::shared_ptr<const ResourceProvider> provider = FindProvider(view.resource());
  ResourceAnswer answer;
  if (provider == nullptr) {
    answer = ResourceAnswer::Error(404, "Not found");
  } else {
    try {
      answer = (*provider)(view);
    } catch (const std::exception& e) {
      answer = ResourceAnswer::Error(500, e.what());
    } catch (...) {
      answer = ResourceAnswer::Error(500, "The resource provider failed");
    }
  }
  FillResponse(response, std::move(answer));
}

void PluginHost::Impl::FillResponse(PluginResponseRecord& response, ResourceAnswer answer) {
  auto holder = std::make_unique<ResponseHolder>();
  holder->host = this;
  holder->answer = std::move(answer);
  ResourceAnswer& kept = holder->answer;
  holder->chunk_size = kept.chunk_size != 0 ? kept.chunk_size : options_.stream_chunk_size;
  if (options_.stream_chunk_size != 0) {
    holder->chunk_size = std::min(holder->chunk_size, options_.stream_chunk_size);
  }
  holder->headers.reserve(kept.headers.size());
  for (const auto& [name, value] : kept.headers) {
    holder->headers.push_back(PluginHeader{name.c_str(), value.c_str()});
  }

  response.status_code = kept.status;
  response.content_type = kept.content_type.c_str();
  if (!holder->headers.empty()) {
    response.headers = holder->headers.data();
    response.header_count = static_cast<uint32_t>(holder->headers.size());
  }
  if (kept.failed) {
    response.error_text = kept.error_text.c_str();
    response.error_flag = 1;
    Count(counters_.request_errors);
  } else if (kept.stream != nullptr) {
    response.stream_read = &StreamRead;
    response.stream_close = &StreamClose;
    response.stream_size = static_cast<uint32_t>(
        std::min<uint64_t>(kept.stream->Size(), std::numeric_limits<uint32_t>::max()));
  } else {
    response.result = kept.value.get();  // borrowed: the holder keeps the tree
  }
  response.stream_context = holder.get();
  response.release = &ReleaseResponse;
  RegisterHolder(holder.get());
  Count(counters_.open_responses);
  holder.release();
}

uint8_t PluginHost::Impl::StreamRead(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* const holder = static_cast<ResponseHolder*>(context);
  if (holder == nullptr || holder->magic != kHolderMagic || length == nullptr || more == nullptr) {
    return 0;
  }
  const uint32_t capacity = *length;
  *length = 0;
  *more = 0;
  StreamSource* const source = holder->answer.stream.get();
  if (source == nullptr || buffer == nullptr) return 0;  // closed, or nowhere to put bytes
  if (capacity == 0) {
    *more = 1;
    return 1;
  }
  const size_t allowed =
      holder->chunk_size != 0 ? std::min(capacity, holder->chunk_size) : capacity;
  size_t delivered = 0;
  bool more_bytes = false;
  bool ok = false;
  try {
    ok = source->Read(static_cast<char*>(buffer), allowed, &delivered, &more_bytes);
  } catch (...) {
    ok = false;
  }
  if (!ok || delivered > allowed) return 0;
  *length = static_cast<uint32_t>(delivered);
  *more = more_bytes ? 1 : 0;
  return 1;
}

void PluginHost::Impl::StreamClose(void* context) {
  auto* const holder = static_cast<ResponseHolder*>(context);
  if (holder == nullptr || holder->magic != kHolderMagic) return;
  try {
    holder->answer.stream.reset();
  } catch (...) {
    // A source whose destructor throws has closed as far as it ever will.
  }
}

void PluginHost::Impl::ReleaseResponse(PluginResponseRecord* response) {
  if (response == nullptr) return;
  auto* const holder = static_cast<ResponseHolder*>(response->stream_context);
  if (holder == nullptr || !ClaimHolder(holder)) return;
  Impl* const host = holder->host;
  host->counters_.open_responses.fetch_sub(1, std::memory_order_relaxed);
  try {
    delete holder;
  } catch (...) {
    // Destructors of the answer's parts do not throw; a stream source's might.
  }
  *response = PluginResponseRecord{};
}

// ------------------------------------------------------------------------------------------
// Entries 2, 3, 4: events and subscriptions

void PluginHost::Impl::EntrySendEvent(const HostCallTable* table, const HostEventRecord* event) {
  Impl* const host = FromTable(table);
  if (host == nullptr) return;
  try {
    host->ReceiveEvent(event);
  } catch (...) {
    Count(host->counters_.events_dropped);
  }
}

void PluginHost::Impl::ReceiveEvent(const HostEventRecord* event) {
  Count(counters_.events_received);
  if (event == nullptr || event->name == nullptr) {
    Count(counters_.events_dropped);
    return;
  }
  const std::string_view name = event->name;
  std::vector<std::shared_ptr<const EventListener>> matching;
  {
    std::lock_guard lock(listeners_mutex_);
    for (const Listener& listener : listeners_) {
      if (listener.name.empty() || listener.name == name) matching.push_back(listener.listener);
    }
  }
  if (matching.empty()) return;
  Result<OwnedHostValue> payload =
      OwnedHostValue::CopyOf(HostValueView(&event->payload), options_.copy_limits);
  if (!payload.ok()) {
    Count(counters_.events_dropped);
    return;
  }
  const PluginEvent copied{std::string(name), std::move(payload).value(), event->flags};
  for (const auto& listener : matching) {
    try {
      (*listener)(copied);
    } catch (...) {
      Count(counters_.callback_errors);
    }
  }
}

void PluginHost::Impl::EntrySubscribe(const HostCallTable* table, const char* name,
                                      uint32_t plugin_id, HostEventCallback callback, void* context,
                                      uint32_t flags) {
  Impl* const host = FromTable(table);
  if (host == nullptr) return;
  Count(host->counters_.subscriptions);
  if (name == nullptr || callback == nullptr) return;
  try {
    std::lock_guard lock(host->subscriptions_mutex_);
    for (Subscription& subscription : host->subscriptions_) {
      if (subscription.plugin_id == plugin_id && subscription.name == name) {
        subscription.callback = callback;
        subscription.context = context;
        subscription.flags = flags;
        return;
      }
    }
    host->subscriptions_.push_back(Subscription{name, plugin_id, callback, context, flags});
  } catch (...) {
    // Out of memory: the subscription is not kept.
  }
}

void PluginHost::Impl::EntryUnsubscribe(const HostCallTable* table, const char* name,
                                        uint32_t plugin_id) {
  Impl* const host = FromTable(table);
  if (host == nullptr) return;
  Count(host->counters_.unsubscriptions);
  if (name == nullptr) return;
  std::lock_guard lock(host->subscriptions_mutex_);
  std::erase_if(host->subscriptions_,
                [&](const Subscription& s) { return s.plugin_id == plugin_id && s.name == name; });
}

std::vector<SubscriptionInfo> PluginHost::Impl::Subscriptions() const {
  std::lock_guard lock(subscriptions_mutex_);
  std::vector<SubscriptionInfo> result;
  for (const Subscription& s : subscriptions_) result.push_back({s.name, s.plugin_id, s.flags});
  return result;
}

size_t PluginHost::Impl::Publish(std::string_view name, const OwnedHostValue& payload,
                                 uint32_t flags) {
  GateGuard guard(gate_);
  if (!guard.entered()) return 0;
  const std::string name_text(name);
  std::vector<Subscription> matching;
  {
    std::lock_guard lock(subscriptions_mutex_);
    for (const Subscription& s : subscriptions_) {
      if (s.name == name_text) matching.push_back(s);
    }
  }
  for (const Subscription& s : matching) {
    const HostEventRecord record{name_text.c_str(), payload.get(), flags, s.context};
    try {
      InsidePlugin inside;
      s.callback(&record);
    } catch (...) {
      Count(counters_.callback_errors);
    }
  }
  Count(counters_.events_delivered, matching.size());
  return matching.size();
}

// ------------------------------------------------------------------------------------------
// Entries 1, 5, 6, 7, 8, 9

void PluginHost::Impl::EntryCall1(const HostCallTable* table, uint32_t, uint32_t) {
  if (Impl* const host = FromTable(table)) Count(host->counters_.ignored_calls);
}

void PluginHost::Impl::EntryCall5(const HostCallTable* table, uint32_t, uint32_t, uint32_t,
                                  uint64_t, uint32_t) {
  if (Impl* const host = FromTable(table)) Count(host->counters_.ignored_calls);
}

void PluginHost::Impl::EntryCall6(const HostCallTable* table) {
  if (Impl* const host = FromTable(table)) Count(host->counters_.wait_yields);
  std::this_thread::yield();
}

void PluginHost::Impl::EntryCall7(const HostCallTable* table, const char*, uint32_t) {
  if (Impl* const host = FromTable(table)) Count(host->counters_.wait_starts);
}

uint64_t PluginHost::Impl::EntryCall8(const HostCallTable* table) {
  if (Impl* const host = FromTable(table)) Count(host->counters_.wait_steps);
  return 0;
}

void PluginHost::Impl::EntryLog(const HostCallTable* table, int32_t level, const char* text) {
  Impl* const host = FromTable(table);
  if (host == nullptr) return;
  Count(host->counters_.log_lines);
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard lock(host->log_mutex_);
    sink = host->log_sink_;
  }
  if (sink == nullptr) return;
  try {
    (*sink)(level, TextOf(text));
  } catch (...) {
    Count(host->counters_.callback_errors);
  }
}

// ------------------------------------------------------------------------------------------
// The endpoint client

void PluginHost::Impl::AnswerByHost(uint32_t status, const std::string& text,
                                    std::string_view allow, ReaderRef reader) {
  Count(counters_.host_answers);
  const std::string allow_text(allow);
  const PluginHeader allow_header{"Allow", allow_text.c_str()};
  PluginResponseRecord record{};
  record.error_text = text.c_str();
  record.error_flag = 1;
  record.status_code = status;
  record.content_type = "";
  if (!allow.empty()) {
    record.headers = &allow_header;
    record.header_count = 1;
  }
  reader.call(reader.object, ResponseView(record, true));
}

void PluginHost::Impl::Call(const CallRequest& request, ReaderRef reader) {
  GateGuard guard(gate_, Gate::Kind::kCall);
  if (!guard.entered() || state_.load() != kRunning) {
    AnswerByHost(503, "The plug-in " + short_name_ + " is not running", {}, reader);
    return;
  }
  const RouteTable::Match match = routes_.Find(request.method, request.custom_method, request.path);
  if (match.outcome == RouteTable::Outcome::kNoPath) {
    AnswerByHost(
        404,
        "No endpoint of the plug-in " + short_name_ + " has the path " + std::string(request.path),
        {}, reader);
    return;
  }
  if (match.outcome == RouteTable::Outcome::kNoMethod) {
    AnswerByHost(405,
                 "The path " + std::string(request.path) + " does not take the method " +
                     MethodText(request.method, request.custom_method),
                 match.allow, reader);
    return;
  }
  // The record's sizes and counts are 32-bit.
  if (request.body.size() > std::numeric_limits<uint32_t>::max() ||
      request.headers.size() > std::numeric_limits<uint32_t>::max() ||
      request.arguments.size() > std::numeric_limits<uint32_t>::max()) {
    AnswerByHost(413, "The request is too large for a request record", {}, reader);
    return;
  }
  const EndpointDescription& endpoint = description_.endpoints[match.route];
  std::string_view path = request.path;
  std::optional<QueryArguments> query;
  if (const size_t question = path.find('?');
      question != std::string_view::npos && options_.query_as_arguments) {
    query = ParseQuery(path.substr(question + 1));
    path = path.substr(0, question);
    // The location check the plug-in makes for the query parameters it reads itself.
    for (const std::string& name : query->names) {
      for (const ParameterDescription& parameter : endpoint.parameters) {
        if (parameter.name == name && parameter.location != kPluginArgumentAnywhere &&
            parameter.location != kPluginArgumentQuery) {
          AnswerByHost(400,
                       "Argument '" + name + "' for '" + endpoint.name +
                           "' was specified in an invalid location.",
                       {}, reader);
          return;
        }
      }
    }
  }
  RequestScratch scratch(request, path, query ? &*query : nullptr);
  scratch.set_endpoint_context(endpoint.endpoint_context);

  PluginResponseRecord response{};
  bool threw = false;
  try {
    InsidePlugin inside;
    endpoint.request_entry(&response, &scratch.record());
  } catch (...) {
    threw = true;
  }

  // Closes the stream and releases the record once, however the reader ends.
  struct Release {
    PluginResponseRecord& record;
    ~Release() {
      try {
        InsidePlugin inside;
        if (record.stream_read != nullptr && record.stream_close != nullptr) {
          record.stream_close(record.stream_context);
        }
        if (record.release != nullptr) record.release(&record);
      } catch (...) {
        // Nothing is left to do with a record whose release fails.
      }
    }
  } release{response};

  const auto failure = [&](std::string_view what) {
    return "The plug-in's answer to " + MethodText(request.method, request.custom_method) + " " +
           std::string(request.path) + " " + std::string(what);
  };
  std::string host_error;
  bool host_verdict = false;
  const bool failed = response.error_text != nullptr || response.error_flag != 0;
  if (threw) {
    host_error =
        "The plug-in's request entry for " + std::string(request.path) + " threw an exception";
    host_verdict = true;
  } else if (!failed && response.stream_read == nullptr) {
    const Status checked =
        CheckHostValue(HostValueView(&response.result), options_.copy_limits.max_depth);
    if (!checked.ok()) {
      host_error = failure("holds a malformed value: " + checked.message());
      host_verdict = true;
    } else if (response.result.tag == kHostValueEmpty && endpoint.returns.code != kPluginTypeNone &&
               endpoint.returns.code != kPluginTypeObject) {
      host_error = failure("has no result");
      host_verdict = true;
    }
  }
  if (host_verdict) Count(counters_.host_answers);
  const ResponseView view(response, false, host_verdict ? &host_error : nullptr, 500);
  reader.call(reader.object, view);
}

void PluginHost::Impl::ReadWholeStream(const ResponseView& view, Response& out) const {
  out.streamed = true;
  out.announced_size = view.stream_size();
  // The announcement is only a hint: reserve at most one buffer's worth more than the limit
  // allows, and grow as bytes actually arrive.
  out.stream_bytes.reserve(static_cast<size_t>(
      std::min<uint64_t>({view.stream_size(), options_.max_stream_bytes, 64u << 20})));
  std::vector<char> buffer(kStreamBuffer);
  int empty_reads = 0;
  for (;;) {
    uint32_t delivered = 0;
    bool more = false;
    if (!view.ReadStream(buffer.data(), static_cast<uint32_t>(buffer.size()), &delivered, &more)) {
      out.failed = true;
      out.answered_by_host = true;
      out.status = 500;
      out.error = "Stream read error at offset " + std::to_string(out.stream_bytes.size());
      out.stream_bytes.clear();
      return;
    }
    if (out.stream_bytes.size() + delivered > options_.max_stream_bytes) {
      out.failed = true;
      out.answered_by_host = true;
      out.status = 500;
      out.error = "The streamed answer is larger than the limit of " +
                  std::to_string(options_.max_stream_bytes) + " bytes";
      out.stream_bytes.clear();
      return;
    }
    out.stream_bytes.append(buffer.data(), delivered);
    if (!more) return;
    if (delivered != 0) {
      empty_reads = 0;
      continue;
    }
    if (++empty_reads >= kMaxEmptyReads) {
      out.failed = true;
      out.answered_by_host = true;
      out.status = 500;
      out.error = "The stream stopped delivering bytes at offset " +
                  std::to_string(out.stream_bytes.size());
      out.stream_bytes.clear();
      return;
    }
    std::this_thread::yield();
  }
}

void PluginHost::Impl::CopyOut(const ResponseView& view, Response& out) const {
  out.failed = view.failed();
  out.status = view.status();
  out.answered_by_host = view.answered_by_host();
  out.flags = view.flags();
  out.code = view.code();
  out.content_type = view.content_type();
  for (uint32_t i = 0; i < view.header_count(); ++i) {
    out.headers.emplace_back(view.header_name(i), view.header_value(i));
  }
  if (out.failed) {
    out.error = view.error();
    return;
  }
  if (view.is_stream()) {
    ReadWholeStream(view, out);
    return;
  }
  Result<OwnedHostValue> copy = OwnedHostValue::CopyOf(view.result(), options_.copy_limits);
  if (!copy.ok()) {
    out.failed = true;
    out.answered_by_host = true;
    out.status = 500;
    out.error = "The plug-in's answer could not be copied: " + copy.error();
    return;
  }
  out.result = std::move(copy).value();
}

// ------------------------------------------------------------------------------------------
// PluginHost

PluginHost::PluginHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PluginHost::~PluginHost() {
  if (impl_ != nullptr) impl_->Close();
}

Result<std::unique_ptr<PluginHost>> PluginHost::Load(const std::filesystem::path& path,
                                                     const LoadOptions& options) {
  auto impl = std::make_unique<Impl>(path, options);
  const Status opened = impl->Open();
  if (!opened.ok()) {
    impl->Close();
    return HostError{opened.message()};
  }
  return std::unique_ptr<PluginHost>(new PluginHost(std::move(impl)));
}

const std::filesystem::path& PluginHost::path() const { return impl_->path(); }
const std::string& PluginHost::short_name() const { return impl_->short_name(); }
const ApiVersion& PluginHost::api_version() const { return impl_->api_version(); }
const ApiDescription& PluginHost::description() const { return impl_->description(); }
const RouteTable& PluginHost::routes() const { return impl_->routes(); }

void PluginHost::AddProvider(std::string path, ResourceProvider provider) {
  impl_->AddProvider(std::move(path), std::move(provider), false);
}
void PluginHost::AddPrefixProvider(std::string prefix, ResourceProvider provider) {
  impl_->AddProvider(std::move(prefix), std::move(provider), true);
}
bool PluginHost::RemoveProvider(std::string_view path) {
  return impl_->RemoveProvider(path, false);
}
bool PluginHost::RemovePrefixProvider(std::string_view prefix) {
  return impl_->RemoveProvider(prefix, true);
}
uint64_t PluginHost::AddEventListener(std::string name, EventListener listener) {
  return impl_->AddEventListener(std::move(name), std::move(listener));
}
void PluginHost::RemoveEventListener(uint64_t id) { impl_->RemoveEventListener(id); }
void PluginHost::SetLogSink(LogSink sink) { impl_->SetLogSink(std::move(sink)); }

Status PluginHost::Start() { return impl_->Start(); }
Status PluginHost::Stop() { return impl_->Stop(); }
bool PluginHost::running() const { return impl_->running(); }
Result<MemoryCounters> PluginHost::MemoryStats() { return impl_->MemoryStats(); }

size_t PluginHost::Publish(std::string_view name, const OwnedHostValue& payload, uint32_t flags) {
  return impl_->Publish(name, payload, flags);
}

size_t PluginHost::PublishResourceEvent(std::string_view uri, ResourceEventType type,
                                        OwnedHostValue data) {
  return impl_->Publish(ResourceEventName(uri), ResourceEventPayload(uri, type, std::move(data)),
                        0);
}

std::vector<SubscriptionInfo> PluginHost::Subscriptions() const { return impl_->Subscriptions(); }

void PluginHost::CallWithReader(const CallRequest& request, ReaderRef reader) {
  impl_->Call(request, reader);
}

Response PluginHost::Call(const CallRequest& request) {
  Response response;
  CallInPlace(request, [&](const ResponseView& view) { impl_->CopyOut(view, response); });
  return response;
}

Response PluginHost::Call(uint32_t method, std::string_view path, std::string_view content_type,
                          std::string_view body, std::span<const CallHeader> headers) {
  CallRequest request;
  request.method = method;
  request.path = path;
  request.content_type = content_type;
  request.body = body;
  request.headers = headers;
  return Call(request);
}

HostCounters PluginHost::counters() const { return impl_->Counters(); }

}  // namespace plugin_host
