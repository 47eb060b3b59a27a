// A fake plug-in for the host library's tests, written from sdk/host/plugin_abi.h alone.
//
// It exists to drive every entry of the host's call table from the plug-in's side and to make
// the mistakes a plug-in built on the plug-in base never makes. Its endpoints (all under
// "/fake/v1/", arguments as typed arguments) make it request resources from the host and read
// streams with wait steps after short reads, subscribe and unsubscribe, publish events, log,
// call the ignored entries, and answer with every kind of broken response (no result, an
// unknown tag, an error without a status, streams that fail, stall or overrun). Its exports
// other than `load_sanitizer` fill the load block wrongly, one fault each.
//
// Every block it hands the host is allocated through counting functions, so MemoryStats shows
// whether the host released each response exactly once. Events it receives are recorded under
// a lock (they may arrive on any thread) and read back through GET /fake/v1/events.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"

#define FAKE_EXPORT __attribute__((visibility("default")))

namespace {

// ------------------------------------------------------------------------------------------
// Counting allocation

std::atomic<uint64_t> g_bytes_allocated{0}, g_allocations{0}, g_bytes_freed{0}, g_frees{0},
    g_peak_bytes{0}, g_peak_live{0};

void RaisePeak(std::atomic<uint64_t>& peak, uint64_t value) {
  uint64_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

void* Allocate(size_t size) {
  auto* const block = static_cast<uint64_t*>(std::malloc(size + sizeof(uint64_t)));
  if (block == nullptr) throw std::bad_alloc();
  block[0] = size;
  const uint64_t bytes = g_bytes_allocated.fetch_add(size) + size;
  const uint64_t count = g_allocations.fetch_add(1) + 1;
  RaisePeak(g_peak_bytes, bytes - g_bytes_freed.load());
  RaisePeak(g_peak_live, count - g_frees.load());
  return block + 1;
}

void Free(const void* pointer) {
  if (pointer == nullptr) return;
  auto* const block = static_cast<uint64_t*>(const_cast<void*>(pointer)) - 1;
  g_bytes_freed.fetch_add(block[0]);
  g_frees.fetch_add(1);
  std::free(block);
}

char* Duplicate(std::string_view text) {
  auto* const copy = static_cast<char*>(Allocate(text.size() + 1));
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// ------------------------------------------------------------------------------------------
// Host values the fake makes; every buffer is the fake's own and FreeValue frees it.

HostValue Scalar(uint32_t tag) {
  HostValue v{};
  v.tag = tag;
  return v;
}
HostValue Bool(bool b) {
  HostValue v = Scalar(kHostValueBool);
  v.payload.boolean = b ? 1 : 0;
  return v;
}
HostValue Unsigned(uint64_t u) {
  HostValue v = Scalar(kHostValueUnsigned);
  v.payload.unsigned_value = u;
  return v;
}
HostValue Bytes(std::string_view bytes, uint32_t tag) {
  HostValue v = Scalar(tag);
  v.payload.span.data = Duplicate(bytes);
  v.payload.span.count = static_cast<uint32_t>(bytes.size());
  return v;
}
HostValue String(std::string_view text) { return Bytes(text, kHostValueStringOwned); }
HostValue Blob(std::string_view bytes) { return Bytes(bytes, kHostValueBlobOwned); }

HostValue Collection(const std::vector<HostValue>& elements) {
  HostValue v = Scalar(kHostValueCollection);
  auto* const array = static_cast<HostValue*>(Allocate(sizeof(HostValue) * elements.size()));
  for (size_t i = 0; i < elements.size(); ++i) array[i] = elements[i];
  v.payload.span.data = array;
  v.payload.span.count = static_cast<uint32_t>(elements.size());
  return v;
}

HostValue Structure(const std::vector<std::pair<std::string, HostValue>>& members) {
  HostValue v = Scalar(kHostValueStructure);
  auto* const entries =
      static_cast<HostStructureEntry*>(Allocate(sizeof(HostStructureEntry) * members.size()));
  for (size_t i = 0; i < members.size(); ++i) {
    entries[i].key = Duplicate(members[i].first);
    entries[i].value = members[i].second;
    entries[i].key_owned = 1;
  }
  v.payload.span.data = entries;
  v.payload.span.count = static_cast<uint32_t>(members.size());
  return v;
}

void FreeValue(const HostValue& value) {
  const HostValueSpan span = value.payload.span;
  switch (value.tag) {
    case kHostValueStringOwned:
    case kHostValueBlobOwned:
      Free(span.data);
      break;
    case kHostValueCollection:
      for (uint32_t i = 0; i < span.count; ++i)
        FreeValue(static_cast<const HostValue*>(span.data)[i]);
      Free(span.data);
      break;
    case kHostValueStructure: {
      const auto* const entries = static_cast<const HostStructureEntry*>(span.data);
      for (uint32_t i = 0; i < span.count; ++i) {
        if (entries[i].key_owned != 0) Free(entries[i].key);
        FreeValue(entries[i].value);
      }
      Free(span.data);
      break;
    }
    default:
      break;  // scalars, and the bad tags the fake makes on purpose, own nothing
  }
}

// A deep copy of a value the host lent; tags the fake does not know become empty.
HostValue CopyValue(const HostValue& value) {
  const HostValueSpan span = value.payload.span;
  switch (value.tag) {
    case kHostValueBool:
    case kHostValueSigned:
    case kHostValueUnsigned:
    case kHostValueFloat: {
      HostValue copy = Scalar(value.tag);
      copy.payload = value.payload;
      return copy;
    }
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
      return String(std::string_view(static_cast<const char*>(span.data), span.count));
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      return Blob(std::string_view(static_cast<const char*>(span.data), span.count));
    case kHostValueCollection: {
      std::vector<HostValue> elements;
      for (uint32_t i = 0; i < span.count; ++i) {
        elements.push_back(CopyValue(static_cast<const HostValue*>(span.data)[i]));
      }
      return Collection(elements);
    }
    case kHostValueStructure: {
      std::vector<std::pair<std::string, HostValue>> members;
      for (uint32_t i = 0; i < span.count; ++i) {
        const HostStructureEntry& entry = static_cast<const HostStructureEntry*>(span.data)[i];
        const HostValue member = entry.value;
        members.emplace_back(entry.key == nullptr ? "" : entry.key, CopyValue(member));
      }
      return Structure(members);
    }
    default:
      return Scalar(kHostValueEmpty);
  }
}

std::string_view TextOf(const HostValue& value) {
  if (value.tag < kHostValueStringBorrowed || value.tag > kHostValueBlobOwned) return {};
  if (value.payload.span.data == nullptr) return {};
  return std::string_view(static_cast<const char*>(value.payload.span.data),
                          value.payload.span.count);
}

// ------------------------------------------------------------------------------------------
// Typed arguments of a request

const HostValue* Argument(const PluginRequestRecord& request, std::string_view name) {
  const HostValue* found = nullptr;
  for (uint32_t i = 0; request.arguments != nullptr && i < request.argument_count; ++i) {
    if (request.arguments[i].name != nullptr && name == request.arguments[i].name) {
      found = &request.arguments[i].value;
    }
  }
  return found;
}

std::string TextArgument(const PluginRequestRecord& request, std::string_view name,
                         std::string_view fallback = {}) {
  const HostValue* value = Argument(request, name);
  return std::string(value == nullptr ? fallback : TextOf(*value));
}

uint64_t NumberArgument(const PluginRequestRecord& request, std::string_view name,
                        uint64_t fallback) {
  const HostValue* value = Argument(request, name);
  if (value == nullptr) return fallback;
  if (value->tag == kHostValueUnsigned) return value->payload.unsigned_value;
  if (value->tag == kHostValueSigned) return static_cast<uint64_t>(value->payload.signed_value);
  return fallback;
}

// ------------------------------------------------------------------------------------------
// The instance

constexpr uint64_t kInstanceMagic = 0x46414B45494E5354ull;

struct RecordedEvent {
  std::string name;
  HostValue payload;
  uint32_t flags;
  bool context_ok;
};

struct FakeInstance {
  uint64_t magic = kInstanceMagic;
  const HostContext* context = nullptr;
  bool started = false;
  std::mutex mutex;
  std::vector<RecordedEvent> events;
  std::vector<std::string> subscriptions;

  ~FakeInstance() {
    for (const RecordedEvent& event : events) FreeValue(event.payload);
    magic = 0;
  }
};

FakeInstance* g_instance = nullptr;
uint8_t g_start_result = 1;

const HostCallTable* Table() { return g_instance->context->call_table; }
uint32_t PluginId() { return g_instance->context->plugin_id; }

void EventCallback(const HostEventRecord* event) {
  // The instance must still exist: the host delivers nothing once Stop has begun.
  auto* const instance = static_cast<FakeInstance*>(event->context);
  if (instance->magic != kInstanceMagic) std::abort();
  RecordedEvent recorded{event->name, CopyValue(event->payload), event->flags,
                         event->context == g_instance};
  std::lock_guard lock(instance->mutex);
  instance->events.push_back(std::move(recorded));
}

// ------------------------------------------------------------------------------------------
// Responses

// A streamed answer's state, in the fake's counted memory.
struct FakeStream {
  enum class Mode { kBytes, kFail, kStall, kOverrun } mode;
  uint32_t size;
  uint32_t chunk;
  uint32_t position = 0;
};

uint8_t StreamRead(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* const stream = static_cast<FakeStream*>(context);
  switch (stream->mode) {
    case FakeStream::Mode::kStall:
      *length = 0;
      *more = 1;
      return 1;
    case FakeStream::Mode::kOverrun:
      *length = *length + 10;
      *more = 1;
      return 1;
    default:
      break;
  }
  if (stream->position >= stream->size && stream->mode == FakeStream::Mode::kFail) return 0;
  uint32_t count = std::min(*length, stream->chunk);
  count = std::min(count, stream->size - stream->position);
  auto* const bytes = static_cast<char*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<char>('a' + (stream->position + i) % 26);
  }
  stream->position += count;
  *length = count;
  // A failing stream promises more, then fails on the next read.
  *more = (stream->position < stream->size || stream->mode == FakeStream::Mode::kFail) ? 1 : 0;
  return 1;
}

std::atomic<uint64_t> g_stream_closes{0};

void StreamClose(void* context) {
  g_stream_closes.fetch_add(1);
  auto* const stream = static_cast<FakeStream*>(context);
  stream->position = stream->size;
}

void ReleaseResponse(PluginResponseRecord* response) {
  FreeValue(response->result);
  Free(response->error_text);
  Free(response->content_type);
  if (response->headers != nullptr) {
    for (uint32_t i = 0; i < response->header_count; ++i) {
      Free(response->headers[i].name);
      Free(response->headers[i].value);
    }
    Free(response->headers);
  }
  if (response->stream_read == &StreamRead) Free(response->stream_context);
  std::memset(static_cast<void*>(response), 0, sizeof *response);
}

void SetError(PluginResponseRecord& response, std::string_view text, uint32_t status) {
  response.error_text = Duplicate(text);
  response.error_flag = 1;
  response.status_code = status;
}

void SetResult(PluginResponseRecord& response, HostValue value) {
  response.result = value;
  response.status_code = 200;
}

// ------------------------------------------------------------------------------------------
// Endpoints

using Handler = void (*)(PluginResponseRecord& response, const PluginRequestRecord& request);

HostValue StatusValue() {
  uint64_t events = 0;
  {
    std::lock_guard lock(g_instance->mutex);
    events = g_instance->events.size();
  }
  return Structure({{"started", Bool(g_instance->started)}, {"events", Unsigned(events)}});
}

// Answers 1 without taking a lock or allocating: the cheapest endpoint there can be, for the
// benchmark of the host's side of a call.
void Ping(PluginResponseRecord& response, const PluginRequestRecord&) {
  SetResult(response, Unsigned(1));
}

void Status(PluginResponseRecord& response, const PluginRequestRecord&) {
  SetResult(response, StatusValue());
}

// Everything the host put into the request record.
void Echo(PluginResponseRecord& response, const PluginRequestRecord& request) {
  std::vector<std::pair<std::string, HostValue>> headers;
  for (uint32_t i = 0; request.headers != nullptr && i < request.header_count; ++i) {
    headers.emplace_back(request.headers[i].name, String(request.headers[i].value));
  }
  std::vector<std::pair<std::string, HostValue>> arguments;
  for (uint32_t i = 0; request.arguments != nullptr && i < request.argument_count; ++i) {
    const char* name = request.arguments[i].name;
    const HostValue value = request.arguments[i].value;
    arguments.emplace_back(name == nullptr ? "#" + std::to_string(i) : name, CopyValue(value));
  }
  const std::string_view body =
      request.body == nullptr
          ? std::string_view()
          : std::string_view(static_cast<const char*>(request.body), request.body_size);
  SetResult(response,
            Structure({
                {"method", Unsigned(request.method)},
                {"path", String(request.path == nullptr ? "" : request.path)},
                {"contentType", request.content_type == nullptr ? Scalar(kHostValueEmpty)
                                                                : String(request.content_type)},
                {"body", request.body == nullptr ? Scalar(kHostValueEmpty) : Blob(body)},
                {"headers", Structure(headers)},
                {"arguments", Structure(arguments)},
                {"customMethod", request.custom_method == nullptr ? Scalar(kHostValueEmpty)
                                                                  : String(request.custom_method)},
                {"callerContext", Unsigned(request.caller_context)},
            }));
}

void Answer(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string kind = TextArgument(request, "kind");
  const auto size = static_cast<uint32_t>(NumberArgument(request, "size", 0));
  const auto chunk = static_cast<uint32_t>(NumberArgument(request, "chunk", 1u << 30));
  const auto stream = [&](FakeStream::Mode mode) {
    auto* const state = new (Allocate(sizeof(FakeStream))) FakeStream{mode, size, chunk};
    response.stream_read = &StreamRead;
    response.stream_close = &StreamClose;
    response.stream_size = size;
    response.stream_context = state;
    response.status_code = 200;
    response.content_type = Duplicate("application/octet-stream");
  };
  if (kind == "value") {
    SetResult(response, StatusValue());
  } else if (kind == "empty") {
    response.status_code = 200;  // a success that declares a result and carries none
  } else if (kind == "nothing") {
    std::memset(static_cast<void*>(&response), 0, sizeof response);  // not even the release
  } else if (kind == "bad-tag") {
    HostValue bad = Scalar(11);
    SetResult(response, Collection({Unsigned(1), Unsigned(2), bad}));
  } else if (kind == "null-text") {
    HostValue text = Scalar(kHostValueStringOwned);
    text.payload.span.count = 3;
    SetResult(response, Structure({{"text", text}}));
  } else if (kind == "error") {
    SetError(response, "Teapot", 418);
  } else if (kind == "error-no-status") {
    SetError(response, "Bad argument", 0);
  } else if (kind == "flag-only") {
    response.error_flag = 1;
  } else if (kind == "headers") {
    SetResult(response, StatusValue());
    response.content_type = Duplicate("text/plain");
    auto* const headers = static_cast<PluginHeader*>(Allocate(2 * sizeof(PluginHeader)));
    headers[0] = {Duplicate("X-One"), Duplicate("1")};
    headers[1] = {Duplicate("X-Two"), Duplicate("2")};
    response.headers = headers;
    response.header_count = 2;
    response.flags = 1;
    response.code = 2;
    response.status_code = 201;
  } else if (kind == "stream") {
    stream(FakeStream::Mode::kBytes);
  } else if (kind == "stream-fail") {
    stream(FakeStream::Mode::kFail);
  } else if (kind == "stream-stall") {
    stream(FakeStream::Mode::kStall);
  } else if (kind == "stream-overrun") {
    stream(FakeStream::Mode::kOverrun);
  } else if (kind == "throw") {
    throw std::runtime_error("the fake's handler threw");
  } else {
    SetError(response, "Unknown kind " + kind, 400);
  }
}

// Sends a request to the host and reads its answer as the plug-in base would: the whole
// stream in reads of `buffer` bytes, a wait step (entries 7, 6, 8) after a short read that
// promises more.
void Request(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string path = TextArgument(request, "path");
  const std::string body = TextArgument(request, "body");
  const std::string content_type = TextArgument(request, "contentType");
  const std::string header = TextArgument(request, "header");  // "name:value"
  const auto buffer_size = static_cast<uint32_t>(NumberArgument(request, "buffer", 4096));

  PluginRequestRecord outgoing{};
  outgoing.method = static_cast<uint32_t>(NumberArgument(request, "method", kPluginMethodGet));
  outgoing.path = path.c_str();
  outgoing.caller_context = PluginId();
  std::vector<PluginTypedArgument> typed;
  if (const HostValue* args = Argument(request, "args");
      args != nullptr && args->tag == kHostValueStructure) {
    const auto* entries = static_cast<const HostStructureEntry*>(args->payload.span.data);
    for (uint32_t i = 0; i < args->payload.span.count; ++i) {
      typed.push_back(PluginTypedArgument{entries[i].key, entries[i].value});
    }
    outgoing.arguments = typed.data();
    outgoing.argument_count = static_cast<uint32_t>(typed.size());
  }
  std::string header_name, header_value;
  PluginHeader outgoing_header{};
  if (!header.empty()) {
    header_name = header.substr(0, header.find(':'));
    header_value = header.substr(header.find(':') + 1);
    outgoing_header = {header_name.c_str(), header_value.c_str()};
    outgoing.headers = &outgoing_header;
    outgoing.header_count = 1;
  }
  if (!body.empty()) {
    outgoing.body = body.data();
    outgoing.body_size = static_cast<uint32_t>(body.size());
    outgoing.content_type = content_type.c_str();
  }

  PluginResponseRecord answer{};
  Table()->HostRequest(Table(), &answer, &outgoing);

  std::vector<std::pair<std::string, HostValue>> out;
  const bool failed = answer.error_text != nullptr;
  out.emplace_back("failed", Bool(failed));
  out.emplace_back("error", String(failed ? answer.error_text : ""));
  out.emplace_back("status", Unsigned(answer.status_code));
  out.emplace_back("contentType",
                   String(answer.content_type == nullptr ? "" : answer.content_type));
  std::vector<std::pair<std::string, HostValue>> headers;
  for (uint32_t i = 0; answer.headers != nullptr && i < answer.header_count; ++i) {
    headers.emplace_back(answer.headers[i].name, String(answer.headers[i].value));
  }
  out.emplace_back("headers", Structure(headers));
  if (answer.stream_read != nullptr) {
    std::string bytes;
    std::vector<char> chunk(buffer_size);
    uint64_t reads = 0, waits = 0;
    bool read_failed = false;
    uint8_t more = 1;
    while (more != 0 && reads < 1000000) {
      uint32_t length = buffer_size;
      more = 0;
      ++reads;
      if (answer.stream_read(answer.stream_context, chunk.data(), &length, &more) == 0) {
        read_failed = true;
        break;
      }
      bytes.append(chunk.data(), length);
      if (length < buffer_size && more != 0) {
        Table()->HostCall7(Table(), "Wait: yield", 0);
        Table()->HostCall6(Table());
        Table()->HostCall8(Table());
        ++waits;
      }
    }
    if (answer.stream_close != nullptr) answer.stream_close(answer.stream_context);
    out.emplace_back("announced", Unsigned(answer.stream_size));
    out.emplace_back("bytes", Blob(bytes));
    out.emplace_back("reads", Unsigned(reads));
    out.emplace_back("waits", Unsigned(waits));
    out.emplace_back("readFailed", Bool(read_failed));
  } else {
    out.emplace_back("value", CopyValue(answer.result));
  }
  if (answer.release != nullptr) answer.release(&answer);
  SetResult(response, Structure(out));
}

void Subscribe(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string name = TextArgument(request, "name");
  const auto flags = static_cast<uint32_t>(NumberArgument(request, "flags", 0));
  Table()->HostSubscribe(Table(), name.c_str(), PluginId(), &EventCallback, g_instance, flags);
  g_instance->subscriptions.push_back(name);
  SetResult(response, StatusValue());
}

void Unsubscribe(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string name = TextArgument(request, "name");
  Table()->HostUnsubscribe(Table(), name.c_str(), PluginId());
  std::erase(g_instance->subscriptions, name);
  SetResult(response, StatusValue());
}

void Events(PluginResponseRecord& response, const PluginRequestRecord&) {
  std::vector<HostValue> events;
  std::lock_guard lock(g_instance->mutex);
  for (const RecordedEvent& event : g_instance->events) {
    events.push_back(Structure({{"name", String(event.name)},
                                {"payload", CopyValue(event.payload)},
                                {"flags", Unsigned(event.flags)},
                                {"contextOk", Bool(event.context_ok)}}));
  }
  SetResult(response, Collection(events));
}

void Send(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string name = TextArgument(request, "name");
  const HostValue* payload = Argument(request, "payload");
  HostEventRecord event{};
  event.name = name.c_str();
  if (payload != nullptr) event.payload = *payload;  // lent for the call, as the host lends
  event.flags = static_cast<uint32_t>(NumberArgument(request, "flags", 0));
  Table()->HostSendEvent(Table(), &event);
  SetResult(response, StatusValue());
}

void Log(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const std::string text = TextArgument(request, "text");
  const auto level = static_cast<int32_t>(NumberArgument(request, "level", 0));
  Table()->HostLog(Table(), level, text.c_str());
  SetResult(response, StatusValue());
}

void Ignored(PluginResponseRecord& response, const PluginRequestRecord&) {
  Table()->HostCall1(Table(), 1, 2);
  Table()->HostCall5(Table(), 1, 2, 3, 4, 5);
  SetResult(response, StatusValue());
}

void Wait(PluginResponseRecord& response, const PluginRequestRecord& request) {
  const uint64_t steps = NumberArgument(request, "steps", 1);
  uint64_t sum = 0;
  for (uint64_t i = 0; i < steps; ++i) {
    Table()->HostCall7(Table(), "Wait: yield", 0);
    Table()->HostCall6(Table());
    sum += Table()->HostCall8(Table());
  }
  SetResult(response, Unsigned(sum));
}

// ------------------------------------------------------------------------------------------
// The description record

struct ArgumentSpec {
  const char* name;
  uint32_t type;
  uint32_t location;
  bool optional;
};

struct EndpointSpec {
  uint32_t method;
  const char* custom;
  const char* path;
  const char* name;
  Handler handler;
  std::vector<ArgumentSpec> arguments;
  PluginTypeReference returns;
};

// What the host routes by: the endpoint context the request record carries leads here.
struct EndpointContext {
  uint64_t magic;
  Handler handler;
};

constexpr uint64_t kContextMagic = 0x46414B45434F4E54ull;
const char* const kTags[] = {"Plugins", "Plugin fake"};

struct Description {
  std::vector<EndpointSpec> specs;
  std::vector<EndpointContext> contexts;
  std::vector<std::vector<PluginArgumentEntry>> arguments;
  std::vector<std::vector<PluginParameterLocationEntry>> locations;
  std::vector<PluginEndpointRecord> endpoints;
  PluginMemberEntry members[2];
  PluginEnumeratorEntry enumerators[2];
  PluginTypeEntry types[2];
  PluginEventEntry events[1];
  PluginApiDescription record;
};

Description* g_description = nullptr;

// The description outlives every instance; it goes when the library is unloaded.
struct DescriptionOwner {
  ~DescriptionOwner() { delete g_description; }
} g_description_owner;

void RequestEntry(PluginResponseRecord* response, const PluginRequestRecord* request) {
  std::memset(static_cast<void*>(response), 0, sizeof *response);
  response->release = &ReleaseResponse;
  const auto* context = static_cast<const EndpointContext*>(request->endpoint_context);
  if (context == nullptr || context->magic != kContextMagic) {
    SetError(*response, "Invalid function", 404);
    return;
  }
  context->handler(*response, *request);
}

void BuildDescription() {
  delete g_description;
  g_description = new Description{};
  Description& d = *g_description;
  const PluginTypeReference none{kPluginTypeNone, 0, ""};
  const PluginTypeReference status{kPluginTypeStruct, 0, "FakeStatus"};
  const PluginTypeReference object{kPluginTypeObject, 0, ""};
  const ArgumentSpec id{"id", kPluginTypeString, kPluginArgumentPath, false};
  d.specs = {
      {kPluginMethodGet, "", "/fake/v1/status", "GetFakeV1Status", &Status, {}, status},
      {kPluginMethodPost,
       "",
       "/fake/v1/echo",
       "PostFakeV1Echo",
       &Echo,
       {{"request", kPluginTypeObject, kPluginArgumentBody, true}},
       object},
      {kPluginMethodGet, "", "/fake/v1/items/{id}", "GetFakeV1ItemsById", &Echo, {id}, object},
      {kPluginMethodDelete,
       "",
       "/fake/v1/items/{id}",
       "DeleteFakeV1ItemsById",
       &Echo,
       {id},
       object},
      {kPluginMethodGet,
       "",
       "/fake/v1/files/{+path}",
       "GetFakeV1FilesByPath",
       &Echo,
       {{"path", kPluginTypeString, kPluginArgumentPath, false}},
       object},
      {kPluginMethodCustom, "PURGE", "/fake/v1/items", "PurgeFakeV1Items", &Echo, {}, object},
      {kPluginMethodNone, "", "/fake/v1/any", "FakeV1Any", &Echo, {}, object},
      {kPluginMethodPost,
       "",
       "/fake/v1/answer",
       "PostFakeV1Answer",
       &Answer,
       {{"kind", kPluginTypeString, kPluginArgumentAnywhere, false},
        {"size", kPluginTypeUint32, kPluginArgumentAnywhere, true},
        {"chunk", kPluginTypeUint32, kPluginArgumentAnywhere, true}},
       status},
      {kPluginMethodPost,
       "",
       "/fake/v1/request",
       "PostFakeV1Request",
       &Request,
       {{"path", kPluginTypeString, kPluginArgumentAnywhere, false}},
       object},
      {kPluginMethodPost, "", "/fake/v1/subscribe", "PostFakeV1Subscribe", &Subscribe, {}, status},
      {kPluginMethodPost,
       "",
       "/fake/v1/unsubscribe",
       "PostFakeV1Unsubscribe",
       &Unsubscribe,
       {},
       status},
      {kPluginMethodGet,
       "",
       "/fake/v1/events",
       "GetFakeV1Events",
       &Events,
       {},
       {kPluginTypeVector, kPluginTypeObject, ""}},
      {kPluginMethodPost, "", "/fake/v1/send", "PostFakeV1Send", &Send, {}, status},
      {kPluginMethodPost, "", "/fake/v1/log", "PostFakeV1Log", &Log, {}, status},
      {kPluginMethodPost, "", "/fake/v1/ignored", "PostFakeV1Ignored", &Ignored, {}, status},
      {kPluginMethodPost,
       "",
       "/fake/v1/wait",
       "PostFakeV1Wait",
       &Wait,
       {},
       {kPluginTypeUint64, 0, ""}},
      {kPluginMethodPost, "", "/fake/v1/void", "PostFakeV1Void", &Status, {}, none},
      {kPluginMethodGet,
       "",
       "/fake/v1/ping",
       "GetFakeV1Ping",
       &Ping,
       {},
       {kPluginTypeUint64, 0, ""}},
  };
  const size_t n = d.specs.size();
  d.contexts.resize(n);
  d.arguments.resize(n);
  d.locations.resize(n);
  d.endpoints.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const EndpointSpec& spec = d.specs[i];
    d.contexts[i] = {kContextMagic, spec.handler};
    for (const ArgumentSpec& a : spec.arguments) {
      d.arguments[i].push_back(PluginArgumentEntry{
          nullptr, a.name, "", {a.type, 0, ""}, static_cast<uint8_t>(a.optional ? 1 : 0)});
      d.locations[i].push_back(PluginParameterLocationEntry{nullptr, a.location});
    }
    for (size_t k = 0; k + 1 < spec.arguments.size(); ++k) {
      d.arguments[i][k].next = &d.arguments[i][k + 1];
      d.locations[i][k].next = &d.locations[i][k + 1];
    }
    PluginEndpointRecord& e = d.endpoints[i];
    e.function.next = i + 1 < n ? &d.endpoints[i + 1].function : nullptr;
    e.function.endpoint_context = &d.contexts[i];
    e.function.name = spec.name;
    e.function.name_space = "fake";
    e.function.arguments = spec.arguments.empty() ? nullptr : d.arguments[i].data();
    e.function.argument_count = static_cast<uint32_t>(spec.arguments.size());
    e.function.returns = spec.returns;
    e.function.description = "";
    e.function.help = "";
    e.function.thread_safe = 1;
    e.function.async_event_type = "";
    e.function.tags = kTags;
    e.function.tag_count = 2;
    e.request_entry = &RequestEntry;
    e.locations = spec.arguments.empty() ? nullptr : d.locations[i].data();
    e.path_template = spec.path;
    e.method = spec.method;
    e.custom_method = spec.custom;
  }
  d.members[0] = {&d.members[1], "started", "", 0, {kPluginTypeBool, 0, ""}, 0};
  d.members[1] = {nullptr, "events", "", 4, {kPluginTypeUint32, 0, ""}, 0};
  d.enumerators[0] = {&d.enumerators[1], "First", "", 1};
  d.enumerators[1] = {nullptr, "Second", "", 2};
  d.types[0] = {&d.types[1], "FakeStatus", "fake",  8, "The fake's status", kTags,
                2,           d.members,    nullptr, 2};
  d.types[1] = {nullptr, "FakeKind", "fake", 4, "", nullptr, 0, nullptr, d.enumerators, 2};
  d.events[0] = {nullptr, "OnFakeEvent", "fake", "FakeStatus", "Fired by the fake", kTags, 2};
  d.record = {d.endpoints.data(), static_cast<uint32_t>(n), d.types, 2, d.events, 1};
}

// ------------------------------------------------------------------------------------------
// The entry table

uint8_t Start(void* instance, const HostContext* context) {
  auto* const fake = static_cast<FakeInstance*>(instance);
  fake->context = context;
  fake->started = g_start_result != 0;
  return g_start_result;
}

void Stop(void* instance) {
  auto* const fake = static_cast<FakeInstance*>(instance);
  if (fake->context != nullptr) {
    for (const std::string& name : fake->subscriptions) {
      fake->context->call_table->HostUnsubscribe(fake->context->call_table, name.c_str(),
                                                 fake->context->plugin_id);
    }
  }
  if (g_instance == fake) g_instance = nullptr;
  delete fake;
}

// Added to every counter MemoryStats reports, so a test can push them past 32 bits.
std::atomic<uint64_t> g_counter_offset{0};

void MemoryStats(void*, uint32_t* words) {
  const uint64_t offset = g_counter_offset.load();
  const uint64_t counters[6] = {g_peak_bytes.load(),      g_peak_live.load(),
                                g_bytes_allocated.load(), g_allocations.load(),
                                g_bytes_freed.load(),     g_frees.load()};
  for (int i = 0; i < 6; ++i) {
    const uint64_t value = counters[i] + offset * static_cast<uint64_t>(i + 1);
    words[2 * i] = static_cast<uint32_t>(value);
    words[2 * i + 1] = static_cast<uint32_t>(value >> 32);
  }
  words[12] = 0;
  words[13] = 0;
}

const PluginEntryTable kEntries = {&Start, &Stop, &MemoryStats};

// Fills the block as a correct plug-in does.
void Fill(PluginLoadBlock* block) {
  BuildDescription();
  g_start_result = 1;
  g_instance = new FakeInstance();
  block->api_major = 18;
  block->api_minor = 0;
  block->api_patch = 0;
  block->entry_table = &kEntries;
  block->instance = g_instance;
  block->short_name = "fake";
  block->api_description = &g_description->record;
}

}  // namespace

// The exports: the good load, one fault per export, and two hooks for tests.
extern "C" {
FAKE_EXPORT void load_sanitizer(PluginLoadBlock* block);
FAKE_EXPORT void load_unfilled(PluginLoadBlock* block);
FAKE_EXPORT void load_no_entry_table(PluginLoadBlock* block);
FAKE_EXPORT void load_missing_entry(PluginLoadBlock* block);
FAKE_EXPORT void load_no_instance(PluginLoadBlock* block);
FAKE_EXPORT void load_no_short_name(PluginLoadBlock* block);
FAKE_EXPORT void load_no_description(PluginLoadBlock* block);
FAKE_EXPORT void load_api_18_1(PluginLoadBlock* block);
FAKE_EXPORT void load_api_19(PluginLoadBlock* block);
FAKE_EXPORT void load_endpoint_loop(PluginLoadBlock* block);
FAKE_EXPORT void load_endpoint_count(PluginLoadBlock* block);
FAKE_EXPORT void load_member_loop(PluginLoadBlock* block);
FAKE_EXPORT void load_bad_type_code(PluginLoadBlock* block);
FAKE_EXPORT void load_failing_start(PluginLoadBlock* block);
FAKE_EXPORT void load_throwing(PluginLoadBlock* block);
FAKE_EXPORT uint64_t fake_stream_closes();
FAKE_EXPORT void fake_offset_counters(uint64_t offset);
}

FAKE_EXPORT void load_sanitizer(PluginLoadBlock* block) { Fill(block); }

FAKE_EXPORT void load_unfilled(PluginLoadBlock*) {}

FAKE_EXPORT void load_no_entry_table(PluginLoadBlock* block) {
  Fill(block);
  delete g_instance;
  g_instance = nullptr;
  block->entry_table = nullptr;
}

FAKE_EXPORT void load_missing_entry(PluginLoadBlock* block) {
  static const PluginEntryTable partial = {&Start, &Stop, nullptr};
  Fill(block);
  delete g_instance;
  g_instance = nullptr;
  block->entry_table = &partial;
}

FAKE_EXPORT void load_no_instance(PluginLoadBlock* block) {
  Fill(block);
  delete g_instance;
  g_instance = nullptr;
  block->instance = nullptr;
}

FAKE_EXPORT void load_no_short_name(PluginLoadBlock* block) {
  Fill(block);
  block->short_name = nullptr;
}

FAKE_EXPORT void load_no_description(PluginLoadBlock* block) {
  Fill(block);
  block->api_description = nullptr;
}

FAKE_EXPORT void load_api_18_1(PluginLoadBlock* block) {
  Fill(block);
  block->api_minor = 1;
}

FAKE_EXPORT void load_api_19(PluginLoadBlock* block) {
  Fill(block);
  block->api_major = 19;
}

FAKE_EXPORT void load_endpoint_loop(PluginLoadBlock* block) {
  Fill(block);
  g_description->endpoints.back().function.next = &g_description->endpoints.front().function;
}

FAKE_EXPORT void load_endpoint_count(PluginLoadBlock* block) {
  Fill(block);
  g_description->record.endpoint_count += 1;
}

FAKE_EXPORT void load_member_loop(PluginLoadBlock* block) {
  Fill(block);
  g_description->members[1].next = &g_description->members[0];
}

FAKE_EXPORT void load_bad_type_code(PluginLoadBlock* block) {
  Fill(block);
  g_description->endpoints[1].function.returns.type_code = 42;
}

FAKE_EXPORT void load_failing_start(PluginLoadBlock* block) {
  Fill(block);
  g_start_result = 0;
}

FAKE_EXPORT void load_throwing(PluginLoadBlock*) {
  throw std::runtime_error("the fake's export threw");
}

// Test hooks, found with dlsym: how often the host closed one of the fake's streams, and the
// offset MemoryStats adds (counter i gets offset * (i + 1)).
FAKE_EXPORT uint64_t fake_stream_closes() { return g_stream_closes.load(); }
FAKE_EXPORT void fake_offset_counters(uint64_t offset) { g_counter_offset.store(offset); }
