// Loads nbx-be-testplugin.so as a host would: dlopen, the one export, the load block, the API
// description walked by its chains, Start with a call table that records every call, the
// endpoints called through their request entries with request records, events delivered
// through the subscription callbacks, MemoryStats and Stop. Only sdk/host/plugin_abi.h is
// included; nothing of the SDK is linked, so the library must stand on the ABI alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"

namespace {

// A compact rendering of a host value: null, true, 7, "text", b"bytes", [..], {"k":v,..}.
std::string Render(const HostValue& value) {
  switch (value.tag) {
    case kHostValueEmpty:
      return "null";
    case kHostValueBool:
      return value.payload.boolean ? "true" : "false";
    case kHostValueSigned:
      return std::to_string(value.payload.signed_value);
    case kHostValueUnsigned:
      return std::to_string(value.payload.unsigned_value);
    case kHostValueFloat: {
      char text[32];
      std::snprintf(text, sizeof text, "%g", value.payload.float_value);
      return text;
    }
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
      return "\"" + std::string(static_cast<const char*>(value.payload.span.data)) + "\"";
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      return "b\"" +
             std::string(static_cast<const char*>(value.payload.span.data),
                         value.payload.span.count) +
             "\"";
    case kHostValueCollection: {
      const auto* elements = static_cast<const HostValue*>(value.payload.span.data);
      std::string text = "[";
      for (uint32_t i = 0; i < value.payload.span.count; ++i) {
        if (i > 0) text += ",";
        text += Render(elements[i]);
      }
      return text + "]";
    }
    case kHostValueStructure: {
      const auto* entries = static_cast<const HostStructureEntry*>(value.payload.span.data);
      std::string text = "{";
      for (uint32_t i = 0; i < value.payload.span.count; ++i) {
        if (i > 0) text += ",";
        const HostValue member = entries[i].value;
        text += "\"" + std::string(entries[i].key) + "\":" + Render(member);
      }
      return text + "}";
    }
    default:
      return "?";
  }
}

// The test plug-in's stream bytes as Call renders them, read `read` bytes at a time.
std::string StreamChunks(uint32_t size, uint32_t read) {
  std::string text;
  for (uint32_t start = 0; start < size; start += read) {
    text += "[";
    for (uint32_t i = start; i < size && i < start + read; ++i)
      text += static_cast<char>('a' + i % 26);
    text += "]";
  }
  return text;
}

HostValue BorrowedText(const char* text) {
  HostValue value{};
  value.tag = kHostValueStringBorrowed;
  value.payload.span.data = text;
  value.payload.span.count = static_cast<uint32_t>(std::strlen(text));
  return value;
}

// A host stream of `remaining` bytes 'x', 1000 per read.
struct HostStreamState {
  uint32_t remaining = 0;
  bool closed = false;
};
uint8_t ReadHostStream(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* state = static_cast<HostStreamState*>(context);
  const uint32_t count = std::min<uint32_t>({*length, 1000u, state->remaining});
  std::memset(buffer, 'x', count);
  state->remaining -= count;
  *length = count;
  *more = state->remaining > 0 ? 1 : 0;
  return 1;
}
void CloseHostStream(void* context) { static_cast<HostStreamState*>(context)->closed = true; }

// The call table of a host that serves three resources and records everything.
struct RecordingHost {
  HostCallTable table{};  // first: the table pointer leads back to the host
  std::mutex mutex;
  std::vector<std::string> calls;
  struct Subscription {
    std::string name;
    HostEventCallback callback;
    void* context;
  };
  std::vector<Subscription> subscriptions;
  std::vector<std::string> events;  // "name payload"
  std::vector<std::string> logs;    // "level text"
  HostStructureEntry config_entry{};
  HostStreamState stream;

  RecordingHost() {
    table.HostRequest = &Request;
    table.HostSendEvent = &SendEvent;
    table.HostSubscribe = &Subscribe;
    table.HostUnsubscribe = &Unsubscribe;
    table.HostCall6 = [](const HostCallTable* t) { Of(t).Record("wait6"); };
    table.HostCall7 = [](const HostCallTable* t, const char* text, uint32_t word) {
      Of(t).Record("wait7 " + std::string(text) + " " + std::to_string(word));
    };
    table.HostCall8 = [](const HostCallTable* t) -> uint64_t {
      Of(t).Record("wait8");
      return 0;
    };
    table.HostLog = [](const HostCallTable* t, int32_t level, const char* text) {
      RecordingHost& host = Of(t);
      const std::lock_guard<std::mutex> lock(host.mutex);
      host.logs.push_back(std::to_string(level) + " " + text);
    };
    config_entry.key = "mode";
    config_entry.value = BorrowedText("test");
  }

  static RecordingHost& Of(const HostCallTable* table) {
    return *reinterpret_cast<RecordingHost*>(const_cast<HostCallTable*>(table));
  }
  void Record(std::string call) {
    const std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(std::move(call));
  }
  bool Called(std::string_view call) {
    const std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& c : calls) {
      if (c == call) return true;
    }
    return false;
  }

  static void Request(const HostCallTable* t, PluginResponseRecord* response,
                      const PluginRequestRecord* request) {
    RecordingHost& host = Of(t);
    const std::string path = request->path;
    host.Record("request " + std::to_string(request->method) + " " + path + " caller " +
                std::to_string(request->caller_context));
    if (path == "/testplugin/v1/config") {
      response->result.tag = kHostValueStructure;
      response->result.payload.span.data = &host.config_entry;
      response->result.payload.span.count = 1;
    } else if (path == "/host/stream") {
      host.stream = HostStreamState{2500, false};
      response->stream_read = &ReadHostStream;
      response->stream_close = &CloseHostStream;
      response->stream_size = 2500;
      response->stream_context = &host.stream;
    } else {
      response->error_text = "Not found";
      response->error_flag = 1;
      response->status_code = 404;
    }
  }
  static void SendEvent(const HostCallTable* t, const HostEventRecord* event) {
    RecordingHost& host = Of(t);
    const HostValue payload = event->payload;
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.events.push_back(std::string(event->name) + " " + Render(payload));
  }
  static void Subscribe(const HostCallTable* t, const char* name, uint32_t plugin_id,
                        HostEventCallback callback, void* context, uint32_t flags) {
    RecordingHost& host = Of(t);
    host.Record("subscribe " + std::string(name) + " " + std::to_string(plugin_id) + " " +
                std::to_string(flags));
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.subscriptions.push_back({name, callback, context});
  }
  static void Unsubscribe(const HostCallTable* t, const char* name, uint32_t plugin_id) {
    Of(t).Record("unsubscribe " + std::string(name) + " " + std::to_string(plugin_id));
  }

  // Delivers a resource event to the subscription of `name`.
  void Deliver(const std::string& name, const char* uri, const char* event_type) {
    HostStructureEntry entries[3] = {};
    entries[0].key = "data";
    entries[0].value = BorrowedText("payload");
    entries[1].key = "eventType";
    entries[1].value = BorrowedText(event_type);
    entries[2].key = "uri";
    entries[2].value = BorrowedText(uri);
    HostEventRecord event{};
    event.name = name.c_str();
    event.payload.tag = kHostValueStructure;
    event.payload.payload.span.data = entries;
    event.payload.payload.span.count = 3;
    for (const Subscription& subscription : subscriptions) {
      if (subscription.name == name) {
        event.context = subscription.context;
        subscription.callback(&event);
      }
    }
  }
};

class LoadedPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(TESTPLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    load_ = reinterpret_cast<PluginLoadFunction>(dlsym(library_, "load_testplugin"));
    ASSERT_NE(load_, nullptr);
    block_.api_major = 18;
    block_.api_minor = 2;
    block_.api_patch = 0;
    load_(&block_);
    ASSERT_NE(block_.entry_table, nullptr);
    for (const PluginEndpointRecord* e = block_.api_description->endpoints; e != nullptr;
         e = reinterpret_cast<const PluginEndpointRecord*>(e->function.next)) {
      endpoints_[e->path_template] = e;
    }
  }
  void TearDown() override {
    if (block_.entry_table != nullptr && !stopped_) block_.entry_table->Stop(block_.instance);
    // The library is marked not to be unloaded, so this leaves it mapped with its state intact
    // (a leak check at exit would report the state of an unloaded library).
    if (library_ != nullptr) dlclose(library_);
  }

  void Stop() {
    block_.entry_table->Stop(block_.instance);
    stopped_ = true;
  }

  // Calls the endpoint of `path_template` and renders the outcome: "<status> <result>" or
  // "<status> error: <text>".
  // `arguments` are named typed arguments with text values.
  std::string Call(const std::string& path_template, uint32_t method, const std::string& path,
                   const std::string& json_body = {},
                   const std::vector<std::pair<const char*, const char*>>& arguments = {}) {
    const auto found = endpoints_.find(path_template);
    if (found == endpoints_.end()) return "no endpoint " + path_template;
    PluginRequestRecord request{};
    request.method = method;
    request.path = path.c_str();
    request.endpoint_context = found->second->function.endpoint_context;
    std::vector<PluginTypedArgument> typed;
    for (const auto& [name, text] : arguments) typed.push_back({name, BorrowedText(text)});
    request.arguments = typed.empty() ? nullptr : typed.data();
    request.argument_count = static_cast<uint32_t>(typed.size());
    if (!json_body.empty()) {
      request.content_type = "application/json";
      request.body = json_body.c_str();
      request.body_size = static_cast<uint32_t>(json_body.size());
    }
    PluginResponseRecord response;
    std::memset(static_cast<void*>(&response), 0xAB, sizeof response);
    found->second->request_entry(&response, &request);
    std::string text = std::to_string(response.status_code) + " ";
    if (response.error_text != nullptr) {
      text += std::string("error: ") + response.error_text;
    } else if (response.stream_read != nullptr) {
      text += std::string(response.content_type) + " ";
      for (;;) {
        char buffer[64];
        uint32_t length = sizeof buffer;
        uint8_t more = 0;
        if (!response.stream_read(response.stream_context, buffer, &length, &more)) break;
        text += "[" + std::string(buffer, length) + "]";
        if (!more) break;
      }
      response.stream_close(response.stream_context);
    } else {
      const HostValue result = response.result;
      text += Render(result);
    }
    response.release(&response);
    return text;
  }

  void* library_ = nullptr;
  PluginLoadFunction load_ = nullptr;
  PluginLoadBlock block_{};
  bool stopped_ = false;
  std::map<std::string, const PluginEndpointRecord*> endpoints_;
  RecordingHost host_;
  HostContext context_{&host_.table, 7};
};

TEST_F(LoadedPlugin, LoadBlockAndDescription) {
  EXPECT_EQ(block_.api_major, 18u);
  EXPECT_EQ(block_.api_minor, 0u);
  EXPECT_EQ(block_.api_patch, 0u);
  EXPECT_STREQ(block_.short_name, "testplugin");
  ASSERT_EQ(block_.api_description->endpoint_count, 11u);
  std::vector<std::string> names;
  for (const PluginEndpointRecord* e = block_.api_description->endpoints; e != nullptr;
       e = reinterpret_cast<const PluginEndpointRecord*>(e->function.next)) {
    names.push_back(e->function.name);
  }
  const std::vector<std::string> expected = {
      "GetTestpluginV1Status",     "PostTestpluginV1Echo",        "GetTestpluginV1ItemsById",
      "PostTestpluginV1Fail",      "GetTestpluginV1Stream",       "PostTestpluginV1Fetch",
      "PostTestpluginV1Subscribe", "PostTestpluginV1Unsubscribe", "GetTestpluginV1Events",
      "PostTestpluginV1Publish",   "PostTestpluginV1Log"};
  EXPECT_EQ(names, expected);
  bool found_status_type = false;
  for (const PluginTypeEntry* t = block_.api_description->types; t != nullptr; t = t->next) {
    if (std::string_view(t->name) == "TestpluginStatus") {
      found_status_type = true;
      ASSERT_EQ(t->tag_count, 2u);
      EXPECT_STREQ(t->tags[0], "Plugins");
      EXPECT_STREQ(t->tags[1], "Plugin testplugin");
    }
  }
  EXPECT_TRUE(found_status_type);

  // Registration allocates only through operator new (the registry, its records, the
  // description); the counters see it, so the library's operators are the counting ones.
  uint32_t words[14] = {};
  block_.entry_table->MemoryStats(block_.instance, words);
  const uint64_t allocations = words[6] | (uint64_t{words[7]} << 32);
  const uint64_t bytes_in_use =
      (words[4] | (uint64_t{words[5]} << 32)) - (words[8] | (uint64_t{words[9]} << 32));
  EXPECT_GT(allocations, 500u);
  EXPECT_GT(bytes_in_use, 20000u);
}

TEST_F(LoadedPlugin, StartServesEndpointsEventsAndStops) {
  ASSERT_EQ(block_.entry_table->Start(block_.instance, &context_), 1);
  EXPECT_TRUE(host_.Called("subscribe OnJsonApiEvent_testplugin_v1_config 7 0"));
  EXPECT_TRUE(host_.Called("request 2 /testplugin/v1/config caller 7"));
  EXPECT_TRUE(host_.Called("subscribe OnServiceProxyAsyncEvent 7 1"));
  {
    const std::lock_guard<std::mutex> lock(host_.mutex);
    ASSERT_FALSE(host_.logs.empty());
    EXPECT_EQ(host_.logs.front(), "3 TestPlugin::Initialize: starting");
  }

  EXPECT_EQ(Call("/testplugin/v1/status", 2, "/testplugin/v1/status"),
            "200 {\"eventCount\":1,\"initialized\":true}");
  EXPECT_EQ(Call("/testplugin/v1/echo", 6, "/testplugin/v1/echo",
                 R"({"value": {"a": [1, "b"]}, "note": "hi"})"),
            "200 {\"note\":\"hi\",\"value\":{\"a\":[1,\"b\"]}}");
  // The path is matched with its query, so the last placeholder takes the query along.
  EXPECT_EQ(Call("/testplugin/v1/items/{id}", 2, "/testplugin/v1/items/abc?count=3"),
            "200 {\"count\":3,\"id\":\"abc?count=3\"}");
  EXPECT_EQ(Call("/testplugin/v1/items/{id}", 2, "/testplugin/v1/items/abc"),
            "200 {\"count\":0,\"id\":\"abc\"}");
  EXPECT_EQ(Call("/testplugin/v1/fail", 6, "/testplugin/v1/fail",
                 R"({"status": 418, "message": "teapot"})"),
            "418 error: teapot");
  // A literal template matches only the identical path, so a host hands query pairs over as
  // named typed arguments there.
  EXPECT_EQ(Call("/testplugin/v1/stream", 2, "/testplugin/v1/stream?size=30"),
            "404 error: Invalid function");
  EXPECT_EQ(Call("/testplugin/v1/stream", 2, "/testplugin/v1/stream", {},
                 {{"size", "30"}, {"chunk", "12"}}),
            "200 application/octet-stream [abcdefghijkl][mnopqrstuvwx][yzabcd]");
  EXPECT_EQ(Call("/testplugin/v1/stream", 2, "/testplugin/v1/stream", {}, {{"size", "5000"}}),
            "200 application/octet-stream " + StreamChunks(5000, 64));
  EXPECT_EQ(Call("/testplugin/v1/stream", 2, "/testplugin/v1/stream"),
            "0 error: A value for 'size' is required.");
  EXPECT_EQ(Call("/testplugin/v1/fetch", 6, "/testplugin/v1/fetch", R"({"path": "/host/x"})"),
            "200 {\"error\":\"Error response for GET /host/x: Not found\",\"ok\":false,"
            "\"size\":0,\"status\":404,\"value\":null}");
  const std::string fetched = Call("/testplugin/v1/fetch", 6, "/testplugin/v1/fetch",
                                   R"({"path": "/host/stream", "stream": true})");
  EXPECT_EQ(fetched, "200 {\"error\":\"\",\"ok\":true,\"size\":2500,\"status\":0,\"value\":b\"" +
                         std::string(2500, 'x') + "\"}");
  EXPECT_TRUE(host_.stream.closed);
  // 1000-byte reads are short: a wait step after each while more follows.
  EXPECT_TRUE(host_.Called("wait7 Wait: yield 0"));

  host_.Deliver("OnJsonApiEvent_testplugin_v1_config", "/testplugin/v1/config", "Update");
  EXPECT_EQ(Call("/testplugin/v1/events", 2, "/testplugin/v1/events"),
            "200 {\"events\":[{\"data\":{\"mode\":\"test\"},\"eventType\":\"Create\","
            "\"uri\":\"/testplugin/v1/config\"},{\"data\":\"payload\",\"eventType\":\"Update\","
            "\"uri\":\"/testplugin/v1/config\"}]}");

  EXPECT_EQ(Call("/testplugin/v1/publish", 6, "/testplugin/v1/publish",
                 R"({"uri": "/testplugin/v1/thing", "eventType": "Delete", "data": 5})"),
            "200 {\"eventCount\":2,\"initialized\":true}");
  {
    const std::lock_guard<std::mutex> lock(host_.mutex);
    const std::vector<std::string> expected = {
        "OnJsonApiEvent_testplugin_v1_thing {\"data\":5,\"eventType\":\"Delete\","
        "\"uri\":\"/testplugin/v1/thing\"}",
        "OnJsonApiEvent {\"data\":5,\"eventType\":\"Delete\",\"uri\":\"/testplugin/v1/thing\"}"};
    EXPECT_EQ(host_.events, expected);
  }
  EXPECT_EQ(Call("/testplugin/v1/log", 6, "/testplugin/v1/log", R"({"level": 1, "text": "hello"})"),
            "200 {\"eventCount\":2,\"initialized\":true}");
  {
    const std::lock_guard<std::mutex> lock(host_.mutex);
    EXPECT_EQ(host_.logs.back(), "1 hello");
  }

  uint32_t words[14];
  std::memset(words, 0xFF, sizeof words);
  block_.entry_table->MemoryStats(block_.instance, words);
  const uint64_t allocations = words[6] | (uint64_t{words[7]} << 32);
  const uint64_t frees = words[10] | (uint64_t{words[11]} << 32);
  const uint64_t peak_bytes = words[0] | (uint64_t{words[1]} << 32);
  // The registry, the description and every request went through the counting operators.
  EXPECT_GT(allocations, 100u);
  EXPECT_GT(allocations, frees);
  EXPECT_GT(peak_bytes, 0u);
  EXPECT_EQ(words[12], 0u);
  EXPECT_EQ(words[13], 0u);

  Stop();
  EXPECT_TRUE(host_.Called("unsubscribe OnJsonApiEvent_testplugin_v1_config 7"));
  EXPECT_TRUE(host_.Called("unsubscribe OnServiceProxyUuidEvent 7"));
}

TEST_F(LoadedPlugin, StaysMappedAfterDlcloseAndLoadsAgain) {
  Stop();
  ASSERT_EQ(dlclose(library_), 0);
  library_ = dlopen(TESTPLUGIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library_, nullptr) << "unloaded: " << dlerror();
  EXPECT_EQ(reinterpret_cast<PluginLoadFunction>(dlsym(library_, "load_testplugin")), load_);
  PluginLoadBlock again{};
  again.api_major = 18;
  load_(&again);
  ASSERT_NE(again.entry_table, nullptr);
  ASSERT_EQ(again.entry_table->Start(again.instance, &context_), 1);
  again.entry_table->Stop(again.instance);
}

}  // namespace
