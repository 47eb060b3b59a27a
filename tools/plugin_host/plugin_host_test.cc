// PluginHost against the fake plug-in (testing/fake_plugin.cc): loading and its faults, the
// lifecycle, the endpoint client, and every entry of the call table driven from the plug-in's
// side.
#include "tools/plugin_host/plugin_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/plugin_host/host_json.h"

namespace plugin_host {
namespace {

using Args = std::vector<std::pair<std::string, OwnedHostValue>>;

OwnedHostValue Str(std::string_view text) { return OwnedHostValue::String(text); }
OwnedHostValue Num(uint64_t n) { return OwnedHostValue::Unsigned(n); }

std::string Json(HostValueView value) {
  Result<std::string> json = HostValueToJson(value);
  return json.ok() ? json.value() : "<" + json.error() + ">";
}

// A hook the fake exports for tests.
template <typename F>
F FakeHook(const char* name) {
  void* const library = dlopen(FAKE_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return nullptr;
  auto hook = reinterpret_cast<F>(dlsym(library, name));
  dlclose(library);
  return hook;
}

uint64_t FakeStreamCloses() {
  const auto hook = FakeHook<uint64_t (*)()>("fake_stream_closes");
  return hook == nullptr ? ~uint64_t{0} : hook();
}

class FakePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH, options_);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    host_ = std::move(loaded).value();
    ASSERT_TRUE(host_->Start().ok());
  }

  Response Send(uint32_t method, std::string_view path, const Args& args = {}) {
    std::vector<CallArgument> call_args;
    for (const auto& [name, value] : args) call_args.push_back({name, value.view()});
    CallRequest request;
    request.method = method;
    request.path = path;
    request.arguments = call_args;
    return host_->Call(request);
  }
  Response Post(std::string_view path, const Args& args = {}) {
    return Send(kPluginMethodPost, path, args);
  }

  // What the fake got back from a request it sent to the host (POST /fake/v1/request).
  OwnedHostValue FakeRequest(const Args& args) {
    Response response = Post("/fake/v1/request", args);
    EXPECT_TRUE(response.ok()) << response.error;
    return std::move(response.result);
  }

  uint64_t Live() {
    Result<MemoryCounters> counters = host_->MemoryStats();
    EXPECT_TRUE(counters.ok());
    return counters.ok() ? counters->live_allocations() : 0;
  }

  LoadOptions options_;
  std::unique_ptr<PluginHost> host_;
};

// ------------------------------------------------------------------------------------------
// Loading

TEST(PluginHostLoadTest, TheBlockAndDescriptionAreRead) {
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  const PluginHost& host = *loaded.value();
  EXPECT_EQ(host.short_name(), "fake");
  EXPECT_EQ(host.api_version(), (ApiVersion{18, 0, 0}));
  const ApiDescription& d = host.description();
  EXPECT_EQ(d.endpoints.size(), 18u);
  EXPECT_EQ(host.routes().size(), 18u);
  const EndpointDescription* items = d.FindEndpoint("GetFakeV1ItemsById");
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->path_template, "/fake/v1/items/{id}");
  ASSERT_EQ(items->parameters.size(), 1u);
  EXPECT_EQ(
      items->parameters[0],
      (ParameterDescription{"id", "", {kPluginTypeString, 0, ""}, false, kPluginArgumentPath}));
  EXPECT_EQ(items->tags, (std::vector<std::string>{"Plugins", "Plugin fake"}));
  ASSERT_NE(d.FindType("FakeStatus"), nullptr);
  EXPECT_EQ(d.FindType("FakeStatus")->members.size(), 2u);
  EXPECT_EQ(d.FindType("FakeKind")->kind, TypeKind::kEnum);
  ASSERT_EQ(d.events.size(), 1u);
  EXPECT_EQ(d.events[0].payload_type, "FakeStatus");
}

TEST(PluginHostLoadTest, BadPluginsAreClearErrors) {
  const std::string fake = FAKE_PLUGIN_PATH;
  const std::string not_a_library =
      (std::filesystem::temp_directory_path() / "plugin_host_not_a_library.so").string();
  std::ofstream(not_a_library) << "not an ELF file";
  struct Case {
    std::string path;
    std::string export_name;
    ApiVersion core;
    std::string message;  // the whole message, or its start when it ends in "..."
  };
  const ApiVersion v18{18, 0, 0};
  const std::string refused = "The plug-in " + fake + " ";
  const std::string walk = refused + "has an API description that does not walk: ";
  const Case cases[] = {
      {"/nonexistent/plugin.so", "load_sanitizer", v18,
       "Cannot load the plug-in /nonexistent/plugin.so: ..."},
      {not_a_library, "load_sanitizer", v18, "Cannot load the plug-in " + not_a_library + ": ..."},
      {fake, "load_nothing", v18, refused + "has no export 'load_nothing'"},
      {fake, "load_unfilled", v18, refused + "left the load block without an entry table"},
      {fake, "load_no_entry_table", v18, refused + "left the load block without an entry table"},
      {fake, "load_missing_entry", v18, refused + "has an entry table with an entry missing"},
      {fake, "load_no_instance", v18, refused + "left the load block without an instance"},
      {fake, "load_no_short_name", v18, refused + "left the load block without a short name"},
      {fake, "load_no_description", v18,
       refused + "left the load block without an API description"},
      {fake, "load_api_18_1", v18,
       refused + "uses plug-in API 18.1.0, which the core's 18.0.0 does not support"},
      {fake, "load_api_19", v18,
       refused + "uses plug-in API 19.0.0, which the core's 18.0.0 does not support"},
      {fake,
       "load_sanitizer",
       {17, 9, 9},
       refused + "uses plug-in API 18.0.0, which the core's 17.9.9 does not support"},
      {fake,
       "load_sanitizer",
       {19, 0, 0},
       refused + "uses plug-in API 18.0.0, which the core's 19.0.0 does not support"},
      {fake, "load_endpoint_loop", v18,
       walk + "endpoints: the chain goes on past its count of 18 (or loops)"},
      {fake, "load_endpoint_count", v18,
       walk + "endpoints: the chain ends after 18 entries, but its count is 19"},
      {fake, "load_member_loop", v18,
       walk + "type 0 (FakeStatus): members: the chain goes on past its count of 2 (or loops)"},
      {fake, "load_bad_type_code", v18,
       walk + "endpoint 1 (PostFakeV1Echo): return type: type code 42/0 is not one of 0-19"},
      {fake, "load_throwing", v18,
       "The plug-in " + fake + ": its export 'load_throwing' threw an exception"},
  };
  for (const Case& c : cases) {
    LoadOptions options;
    options.export_name = c.export_name;
    options.core_version = c.core;
    Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(c.path, options);
    ASSERT_FALSE(loaded.ok()) << c.export_name;
    if (c.message.ends_with("...")) {
      const std::string start = c.message.substr(0, c.message.size() - 3);
      EXPECT_EQ(loaded.error().substr(0, start.size()), start) << loaded.error();
      EXPECT_GT(loaded.error().size(), start.size()) << "the loader's own reason is missing";
    } else {
      EXPECT_EQ(loaded.error(), c.message) << c.export_name;
    }
  }
  std::filesystem::remove(not_a_library);
}

TEST(PluginHostLoadTest, CompatibleCoresAreAccepted) {
  struct Case {
    const char* export_name;
    ApiVersion core;
  };
  // The plug-in's 18.0.0 with cores 18.0.0 and 18.2.0; the plug-in's 18.1.0 with 18.2.0 and
  // 18.1.0.
  const Case cases[] = {{"load_sanitizer", {18, 0, 0}},
                        {"load_sanitizer", {18, 2, 0}},
                        {"load_api_18_1", {18, 2, 0}},
                        {"load_api_18_1", {18, 1, 0}}};
  for (const Case& c : cases) {
    LoadOptions options;
    options.export_name = c.export_name;
    options.core_version = c.core;
    EXPECT_TRUE(PluginHost::Load(FAKE_PLUGIN_PATH, options).ok())
        << c.export_name << " with core " << c.core.Text();
  }
}

// ------------------------------------------------------------------------------------------
// Lifecycle

TEST(PluginHostLifecycleTest, CallsNeedARunningPlugin) {
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH);
  ASSERT_TRUE(loaded.ok());
  PluginHost& host = *loaded.value();
  Response before = host.Call(kPluginMethodGet, "/fake/v1/status");
  EXPECT_TRUE(before.failed);
  EXPECT_EQ(before.status, 503u);
  EXPECT_TRUE(before.answered_by_host);
  EXPECT_EQ(before.error, "The plug-in fake is not running");
  EXPECT_FALSE(host.running());

  ASSERT_TRUE(host.Start().ok());
  EXPECT_TRUE(host.running());
  const Status again = host.Start();
  EXPECT_FALSE(again.ok());
  EXPECT_EQ(again.message(), "The plug-in fake was started before");
  Response running = host.Call(kPluginMethodGet, "/fake/v1/status");
  ASSERT_TRUE(running.ok()) << running.error;
  EXPECT_EQ(Json(running.result.view()), "{\"started\":true,\"events\":0}");

  ASSERT_TRUE(host.Stop().ok());
  EXPECT_FALSE(host.running());
  EXPECT_EQ(host.Call(kPluginMethodGet, "/fake/v1/status").status, 503u);
  EXPECT_FALSE(host.MemoryStats().ok());
  EXPECT_EQ(host.Publish("OnAnything", OwnedHostValue()), 0u);
  EXPECT_TRUE(host.Stop().ok());  // stopping twice does nothing
}

TEST(PluginHostLifecycleTest, AFailedStartIsReportedAndStillStops) {
  LoadOptions options;
  options.export_name = "load_failing_start";
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH, options);
  ASSERT_TRUE(loaded.ok());
  const Status started = loaded.value()->Start();
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.message(), "The plug-in fake failed to start");
  EXPECT_EQ(loaded.value()->Call(kPluginMethodGet, "/fake/v1/status").status, 503u);
  EXPECT_TRUE(loaded.value()->Stop().ok());  // the instance is destroyed (ASan sees a leak if not)
}

TEST_F(FakePluginTest, MemoryStatsReadsSixCountersFromWordPairs) {
  const auto offset = FakeHook<void (*)(uint64_t)>("fake_offset_counters");
  ASSERT_NE(offset, nullptr);
  Result<MemoryCounters> plain = host_->MemoryStats();
  ASSERT_TRUE(plain.ok());
  const uint64_t big = uint64_t{3} << 32;
  offset(big);
  Result<MemoryCounters> shifted = host_->MemoryStats();
  offset(0);
  ASSERT_TRUE(shifted.ok());
  // Counter i carries offset * (i + 1) (nothing is allocated between the two reads).
  EXPECT_EQ(shifted->peak_bytes_in_use, plain->peak_bytes_in_use + big);
  EXPECT_EQ(shifted->peak_live_allocations, plain->peak_live_allocations + 2 * big);
  EXPECT_EQ(shifted->bytes_allocated, plain->bytes_allocated + 3 * big);
  EXPECT_EQ(shifted->allocations, plain->allocations + 4 * big);
  EXPECT_EQ(shifted->bytes_freed, plain->bytes_freed + 5 * big);
  EXPECT_EQ(shifted->frees, plain->frees + 6 * big);
}

// ------------------------------------------------------------------------------------------
// The endpoint client

TEST_F(FakePluginTest, CallsRouteByMethodAndPath) {
  struct Case {
    uint32_t method;
    std::string custom;
    std::string path;
    uint32_t status;
    bool by_host;
    std::string error_or_allow;  // the host's error text; for 405 the Allow header
  };
  const Case cases[] = {
      {kPluginMethodGet, "", "/fake/v1/items/abc", 200, false, ""},
      {kPluginMethodDelete, "", "/fake/v1/items/abc", 200, false, ""},
      {kPluginMethodGet, "", "/fake/v1/files/a/b/c", 200, false, ""},
      {kPluginMethodCustom, "PURGE", "/fake/v1/items", 200, false, ""},
      {kPluginMethodPatch, "", "/fake/v1/any", 200, false, ""},
      {kPluginMethodGet, "", "/fake/v1/nothing", 404, true,
       "No endpoint of the plug-in fake has the path /fake/v1/nothing"},
      {kPluginMethodGet, "", "/fake/v1/items/a/b", 404, true,
       "No endpoint of the plug-in fake has the path /fake/v1/items/a/b"},
      {kPluginMethodPut, "", "/fake/v1/items/abc", 405, true, "GET, DELETE"},
      {kPluginMethodGet, "", "/fake/v1/items", 405, true, "PURGE"},
      {kPluginMethodGet, "", "/fake/v1/echo", 405, true, "POST"},
  };
  for (const Case& c : cases) {
    CallRequest request;
    request.method = c.method;
    request.custom_method = c.custom;
    request.path = c.path;
    const Response response = host_->Call(request);
    EXPECT_EQ(response.status, c.status) << c.path;
    EXPECT_EQ(response.answered_by_host, c.by_host) << c.path;
    if (c.status == 200) {
      ASSERT_TRUE(response.ok()) << c.path << ": " << response.error;
      // The endpoint saw the path and the method as they were sent.
      EXPECT_EQ(response.result.view().Find("path")->AsString(), c.path);
      EXPECT_EQ(response.result.view().Find("method")->AsUnsigned(), c.method);
    } else if (c.status == 405) {
      ASSERT_EQ(response.headers.size(), 1u) << c.path;
      EXPECT_EQ(response.headers[0],
                (std::pair<std::string, std::string>{"Allow", c.error_or_allow}));
    } else {
      EXPECT_EQ(response.error, c.error_or_allow);
    }
  }
}

TEST_F(FakePluginTest, QueriesBecomeTypedArguments) {
  struct Case {
    std::string path;
    std::string plugin_path;  // as the endpoint saw it
    std::string arguments;    // as JSON; empty for a host answer
    uint32_t status;
  };
  const Case cases[] = {
      {"/fake/v1/items/abc?x=1", "/fake/v1/items/abc", "{\"x\":\"1\"}", 200},
      {"/fake/v1/files/a/b?", "/fake/v1/files/a/b", "{}", 200},
      {"/fake/v1/items/abc?a=1&a=2&&b=%41+c%2&=skipped&flag&p=%zz", "/fake/v1/items/abc",
       "{\"a\":\"1\",\"a\":\"2\",\"b\":\"A c2\",\"flag\":\"\",\"p\":\"%zz\"}", 200},
      {"/fake/v1/items/abc?q=a?b=c", "/fake/v1/items/abc", "{\"q\":\"a?b=c\"}", 200},
      // "id" is a path parameter of the endpoint: the host refuses it in the query.
      {"/fake/v1/items/abc?id=other", "", "", 400},
  };
  for (const Case& c : cases) {
    const Response response = host_->Call(kPluginMethodGet, c.path);
    EXPECT_EQ(response.status, c.status) << c.path;
    if (c.status != 200) {
      EXPECT_TRUE(response.answered_by_host) << c.path;
      EXPECT_EQ(response.error,
                "Argument 'id' for 'GetFakeV1ItemsById' was specified in an invalid location.");
      continue;
    }
    ASSERT_TRUE(response.ok()) << c.path << ": " << response.error;
    EXPECT_EQ(response.result.view().Find("path")->AsString(), c.plugin_path) << c.path;
    EXPECT_EQ(Json(*response.result.view().Find("arguments")), c.arguments) << c.path;
  }
  // The call's own typed arguments follow the query's.
  const OwnedHostValue own = Num(5);
  const CallArgument arguments[] = {{"x", own.view()}};
  CallRequest request;
  request.path = "/fake/v1/items/abc?x=1";
  request.arguments = arguments;
  EXPECT_EQ(Json(*host_->Call(request).result.view().Find("arguments")), "{\"x\":\"1\",\"x\":5}");
}

TEST(PluginHostQueryTest, WithoutSplittingThePathIsSentAsGiven) {
  LoadOptions options;
  options.query_as_arguments = false;
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH, options);
  ASSERT_TRUE(loaded.ok());
  ASSERT_TRUE(loaded.value()->Start().ok());
  const Response response = loaded.value()->Call(kPluginMethodGet, "/fake/v1/items/abc?id=x");
  ASSERT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.result.view().Find("path")->AsString(), "/fake/v1/items/abc?id=x");
  EXPECT_EQ(Json(*response.result.view().Find("arguments")), "{}");
}

TEST_F(FakePluginTest, TheRequestRecordCarriesEverythingAndNothingElse) {
  const std::string body("{\"a\":1}\0tail", 12);
  const CallHeader headers[] = {{"X-Trace", "abc"}, {"Accept", "application/json"}};
  const OwnedHostValue named = OwnedHostValue::Structure({{"k", Num(1)}});
  const OwnedHostValue positional = Str("p");
  const CallArgument arguments[] = {{"named", named.view()}, {"", positional.view()}};
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = "/fake/v1/echo";
  request.content_type = "application/json; charset=utf-8";
  request.body = body;
  request.headers = headers;
  request.arguments = arguments;
  request.caller_context = 77;
  const Response response = host_->Call(request);
  ASSERT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(Json(response.result.view()),
            "{\"method\":6,\"path\":\"/fake/v1/echo\",\"contentType\":\"application/json; "
            "charset=utf-8\",\"body\":\"" +
                Base64Encode(body) +
                "\",\"headers\":{\"X-Trace\":\"abc\",\"Accept\":\"application/json\"},"
                "\"arguments\":{\"named\":{\"k\":1},\"#1\":\"p\"},\"customMethod\":null,"
                "\"callerContext\":77}");

  // A bare GET sets the method and the path; every other field stays zero.
  const Response bare = host_->Call(kPluginMethodGet, "/fake/v1/items/x");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(Json(bare.result.view()),
            "{\"method\":2,\"path\":\"/fake/v1/items/x\",\"contentType\":null,\"body\":null,"
            "\"headers\":{},\"arguments\":{},\"customMethod\":null,\"callerContext\":0}");

  CallRequest purge;
  purge.method = kPluginMethodCustom;
  purge.custom_method = "PURGE";
  purge.path = "/fake/v1/items";
  EXPECT_EQ(host_->Call(purge).result.view().Find("customMethod")->AsString(), "PURGE");
}

TEST_F(FakePluginTest, LongRequestsLeaveTheInlineBuffers) {
  std::vector<std::string> names, values;
  for (int i = 0; i < 20; ++i) {
    names.push_back("X-Header-" + std::to_string(i));
    values.push_back(std::string(100, static_cast<char>('a' + i)));
  }
  std::vector<CallHeader> headers;
  for (int i = 0; i < 20; ++i) headers.push_back({names[i], values[i]});
  std::vector<OwnedHostValue> values_held;
  std::vector<CallArgument> arguments;
  for (int i = 0; i < 12; ++i) values_held.push_back(Num(i));
  for (int i = 0; i < 12; ++i) arguments.push_back({names[i], values_held[i].view()});
  const std::string path = "/fake/v1/items/" + std::string(600, 'z');
  CallRequest request;
  request.path = path;
  request.headers = headers;
  request.arguments = arguments;
  const Response response = host_->Call(request);
  ASSERT_TRUE(response.ok()) << response.error;
  const HostValueView echoed = response.result.view();
  EXPECT_EQ(echoed.Find("path")->AsString(), path);
  ASSERT_EQ(echoed.Find("headers")->size(), 20u);
  EXPECT_EQ(echoed.Find("headers")->value(19).AsString(), values[19]);
  ASSERT_EQ(echoed.Find("arguments")->size(), 12u);
  EXPECT_EQ(echoed.Find("arguments")->Find("X-Header-11")->AsUnsigned(), 11u);
}

// The plug-in's answers that a caller must not take as a success, each with the text and
// status the caller gets; read both copied out and in place.
TEST_F(FakePluginTest, BrokenAnswersBecomeClearErrors) {
  const std::string prefix = "The plug-in's answer to POST /fake/v1/answer ";
  struct Case {
    std::string kind;
    uint32_t size;
    uint32_t chunk;
    bool failed;
    uint32_t status;
    uint32_t http_status;
    bool by_host;
    std::string error;
  };
  const Case cases[] = {
      {"value", 0, 0, false, 200, 200, false, ""},
      {"empty", 0, 0, true, 500, 500, true, prefix + "has no result"},
      {"nothing", 0, 0, true, 500, 500, true, prefix + "has no result"},
      {"bad-tag", 0, 0, true, 500, 500, true,
       prefix + "holds a malformed value: unknown host value tag 11 at [2]"},
      {"null-text", 0, 0, true, 500, 500, true,
       prefix + "holds a malformed value: a null pointer for a text of 3 bytes at .text"},
      {"error", 0, 0, true, 418, 418, false, "Teapot"},
      {"error-no-status", 0, 0, true, 0, 400, false, "Bad argument"},
      {"flag-only", 0, 0, true, 0, 400, false,
       "The plug-in reported a failure without an error text"},
      {"throw", 0, 0, true, 500, 500, true,
       "The plug-in's request entry for /fake/v1/answer threw an exception"},
      {"stream-fail", 10000, 4096, true, 500, 500, true, "Stream read error at offset 10000"},
      {"stream-stall", 10, 10, true, 500, 500, true,
       "The stream stopped delivering bytes at offset 0"},
      {"stream-overrun", 10, 10, true, 500, 500, true, "Stream read error at offset 0"},
  };
  const uint64_t live = Live();
  for (const Case& c : cases) {
    const Args args = {{"kind", Str(c.kind)}, {"size", Num(c.size)}, {"chunk", Num(c.chunk)}};
    const Response copied = Post("/fake/v1/answer", args);
    EXPECT_EQ(copied.failed, c.failed) << c.kind;
    EXPECT_EQ(copied.status, c.status) << c.kind;
    EXPECT_EQ(copied.HttpStatus(), c.http_status) << c.kind;
    EXPECT_EQ(copied.answered_by_host, c.by_host) << c.kind;
    EXPECT_EQ(copied.error, c.error) << c.kind;
    if (c.kind.starts_with("stream")) continue;  // in place, the reader reads the stream
    std::vector<CallArgument> call_args;
    for (const auto& [name, value] : args) call_args.push_back({name, value.view()});
    CallRequest request;
    request.method = kPluginMethodPost;
    request.path = "/fake/v1/answer";
    request.arguments = call_args;
    bool read = false;
    host_->CallInPlace(request, [&](const ResponseView& view) {
      read = true;
      EXPECT_EQ(view.failed(), c.failed) << c.kind;
      EXPECT_EQ(view.status(), c.status) << c.kind;
      EXPECT_EQ(view.HttpStatus(), c.http_status) << c.kind;
      EXPECT_EQ(view.error(), c.error) << c.kind;
      EXPECT_EQ(view.result().IsEmpty(), c.failed) << c.kind;
    });
    EXPECT_TRUE(read);
  }
  // Every answer was released once: the fake holds nothing more than before.
  EXPECT_EQ(Live(), live);
}

TEST_F(FakePluginTest, AnswerMetadataIsCopied) {
  const Response response = Post("/fake/v1/answer", {{"kind", Str("headers")}});
  ASSERT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.status, 201u);
  EXPECT_EQ(response.content_type, "text/plain");
  EXPECT_EQ(response.flags, 1);
  EXPECT_EQ(response.code, 2u);
  EXPECT_EQ(response.headers,
            (std::vector<std::pair<std::string, std::string>>{{"X-One", "1"}, {"X-Two", "2"}}));
  EXPECT_EQ(Post("/fake/v1/void").status, 200u);  // an endpoint that returns nothing
}

TEST_F(FakePluginTest, StreamedAnswersAreReadWholeAndClosedOnce) {
  const uint64_t live = Live();
  const uint64_t closes = FakeStreamCloses();
  const Response response = Post(
      "/fake/v1/answer", {{"kind", Str("stream")}, {"size", Num(100000)}, {"chunk", Num(777)}});
  ASSERT_TRUE(response.ok()) << response.error;
  EXPECT_TRUE(response.streamed);
  EXPECT_EQ(response.announced_size, 100000u);
  EXPECT_EQ(response.content_type, "application/octet-stream");
  ASSERT_EQ(response.stream_bytes.size(), 100000u);
  for (size_t i = 0; i < response.stream_bytes.size(); ++i) {
    ASSERT_EQ(response.stream_bytes[i], static_cast<char>('a' + i % 26)) << "at " << i;
  }
  EXPECT_TRUE(response.result.view().IsEmpty());
  EXPECT_EQ(FakeStreamCloses(), closes + 1);

  // A reader that reads only part of the stream: the host still closes and releases it.
  const OwnedHostValue kind = Str("stream"), size = Num(5000);
  const CallArgument arguments[] = {{"kind", kind.view()}, {"size", size.view()}};
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = "/fake/v1/answer";
  request.arguments = arguments;
  host_->CallInPlace(request, [&](const ResponseView& view) {
    ASSERT_TRUE(view.is_stream());
    char buffer[10];
    uint32_t delivered = 0;
    bool more = false;
    ASSERT_TRUE(view.ReadStream(buffer, sizeof buffer, &delivered, &more));
    EXPECT_EQ(std::string(buffer, delivered), "abcdefghij");
    EXPECT_TRUE(more);
  });
  EXPECT_EQ(FakeStreamCloses(), closes + 2);
  EXPECT_EQ(Live(), live);
}

TEST(PluginHostStreamLimitTest, AStreamBeyondTheLimitFails) {
  LoadOptions options;
  options.max_stream_bytes = 4096;
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH, options);
  ASSERT_TRUE(loaded.ok());
  PluginHost& host = *loaded.value();
  ASSERT_TRUE(host.Start().ok());
  const OwnedHostValue kind = Str("stream"), size = Num(5000);
  const CallArgument arguments[] = {{"kind", kind.view()}, {"size", size.view()}};
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = "/fake/v1/answer";
  request.arguments = arguments;
  const Response response = host.Call(request);
  EXPECT_TRUE(response.failed);
  EXPECT_EQ(response.error, "The streamed answer is larger than the limit of 4096 bytes");
  EXPECT_TRUE(response.stream_bytes.empty());
}

TEST_F(FakePluginTest, AReaderThatThrowsStillReleasesTheAnswer) {
  const uint64_t live = Live();
  CallRequest request;
  request.path = "/fake/v1/status";
  EXPECT_THROW(host_->CallInPlace(request,
                                  [](const ResponseView& view) {
                                    EXPECT_TRUE(view.result().Find("started")->AsBool());
                                    throw std::runtime_error("reader");
                                  }),
               std::runtime_error);
  EXPECT_EQ(Live(), live);
}

TEST_F(FakePluginTest, EightThreadsGetIdenticalAnswers) {
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    const Response r = host_->Call(kPluginMethodGet, "/fake/v1/items/" + std::to_string(i));
    ASSERT_TRUE(r.ok());
    expected.push_back(Json(r.result.view()));
  }
  const uint64_t live = Live();
  const uint64_t calls = host_->counters().calls;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int item = (i + t) % 10;
        const Response r = host_->Call(kPluginMethodGet, "/fake/v1/items/" + std::to_string(item));
        if (!r.ok() || Json(r.result.view()) != expected[item]) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(host_->counters().calls, calls + 4000);
  EXPECT_EQ(Live(), live);
}

// ------------------------------------------------------------------------------------------
// Entry 0: the plug-in's requests, answered by providers

TEST_F(FakePluginTest, ProvidersSeeTheRequestAndAnswerWithAValue) {
  std::mutex mutex;
  std::vector<std::string> seen;
  host_->AddProvider("/config", [&](const ResourceRequest& request) {
    std::lock_guard lock(mutex);
    seen.push_back(
        std::string(MethodName(request.method())) + " " + std::string(request.path()) +
        " resource=" + std::string(request.resource()) + " query=" + std::string(request.query()) +
        " body=" + std::string(request.body()) + " type=" + std::string(request.content_type()) +
        " header=" + std::string(request.FindHeader("X-A").value_or("-")) +
        " arg=" + std::to_string(request.FindArgument("n")->AsUnsigned()) +
        " caller=" + std::to_string(request.caller_context()));
    return ResourceAnswer::Value(
        OwnedHostValue::Structure({{"level", Num(2)}, {"words", Str("a,b")}}));
  });
  const OwnedHostValue got = FakeRequest({{"path", Str("/config?x=1")},
                                          {"method", Num(kPluginMethodPut)},
                                          {"body", Str("data")},
                                          {"contentType", Str("text/plain")},
                                          {"header", Str("X-A:yes")},
                                          {"args", OwnedHostValue::Structure({{"n", Num(5)}})}});
  EXPECT_EQ(Json(got.view()),
            "{\"failed\":false,\"error\":\"\",\"status\":200,\"contentType\":\"\",\"headers\":{},"
            "\"value\":{\"level\":2,\"words\":\"a,b\"}}");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0],
            "PUT /config?x=1 resource=/config query=x=1 body=data type=text/plain header=yes "
            "arg=5 caller=1");
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

TEST_F(FakePluginTest, RequestsGoToTheExactPathOrTheLongestPrefix) {
  const auto answer_with = [](std::string name) {
    return [name](const ResourceRequest&) { return ResourceAnswer::Value(Str(name)); };
  };
  host_->AddPrefixProvider("/a/", answer_with("prefix /a/"));
  host_->AddPrefixProvider("/a/b/", answer_with("prefix /a/b/"));
  host_->AddProvider("/a/b", answer_with("exact /a/b"));
  struct Case {
    std::string path;
    std::string answer;  // empty: not found
  };
  const Case cases[] = {{"/a/b", "exact /a/b"},  {"/a/b?q", "exact /a/b"},
                        {"/a/c", "prefix /a/"},  {"/a/b/c", "prefix /a/b/"},
                        {"/a/bc", "prefix /a/"}, {"/a", ""},
                        {"/other", ""}};
  for (const Case& c : cases) {
    const OwnedHostValue got = FakeRequest({{"path", Str(c.path)}});
    if (c.answer.empty()) {
      EXPECT_TRUE(got.view().Find("failed")->AsBool()) << c.path;
      EXPECT_EQ(got.view().Find("status")->AsUnsigned(), 404u) << c.path;
      EXPECT_EQ(got.view().Find("error")->AsString(), "Not found") << c.path;
    } else {
      EXPECT_EQ(got.view().Find("value")->AsString(), c.answer) << c.path;
    }
  }
  EXPECT_TRUE(host_->RemoveProvider("/a/b"));
  EXPECT_FALSE(host_->RemoveProvider("/a/b"));
  EXPECT_EQ(FakeRequest({{"path", Str("/a/b")}}).view().Find("value")->AsString(), "prefix /a/");
  EXPECT_TRUE(host_->RemovePrefixProvider("/a/"));
  EXPECT_EQ(FakeRequest({{"path", Str("/a/c")}}).view().Find("status")->AsUnsigned(), 404u);
}

TEST_F(FakePluginTest, ProviderErrorsAndExceptionsReachThePluginAsErrors) {
  host_->AddProvider("/error", [](const ResourceRequest&) {
    ResourceAnswer answer = ResourceAnswer::Error(403, "Forbidden here");
    answer.headers.emplace_back("X-Why", "test");
    return answer;
  });
  host_->AddProvider("/throws", [](const ResourceRequest&) -> ResourceAnswer {
    throw std::runtime_error("provider broke");
  });
  host_->AddProvider("/throws-other", [](const ResourceRequest&) -> ResourceAnswer { throw 42; });
  struct Case {
    std::string path;
    uint32_t status;
    std::string error;
  };
  const Case cases[] = {{"/error", 403, "Forbidden here"},
                        {"/throws", 500, "provider broke"},
                        {"/throws-other", 500, "The resource provider failed"}};
  for (const Case& c : cases) {
    const OwnedHostValue got = FakeRequest({{"path", Str(c.path)}});
    EXPECT_TRUE(got.view().Find("failed")->AsBool()) << c.path;
    EXPECT_EQ(got.view().Find("status")->AsUnsigned(), c.status) << c.path;
    EXPECT_EQ(got.view().Find("error")->AsString(), c.error) << c.path;
  }
  EXPECT_EQ(Json(*FakeRequest({{"path", Str("/error")}}).view().Find("headers")),
            "{\"X-Why\":\"test\"}");
  EXPECT_EQ(host_->counters().request_errors, 4u);
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

// The plug-in reads with a buffer of 4096 bytes and runs a wait step after every short read
// that promises more.
TEST_F(FakePluginTest, StreamsAreServedInTheRequestedChunks) {
  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  struct Case {
    uint32_t chunk;
    uint64_t reads;
    uint64_t waits;
  };
  const Case cases[] = {
      {0, 3, 0},      // 4096, 4096, 1808: no short read before the last
      {4096, 3, 0},   // the same
      {1000, 10, 9},  // ten short reads, the last one ends the stream
      {3000, 4, 3},   // 3000, 3000, 3000, 1000
      {10000, 3, 0},  // the plug-in's buffer is the smaller
  };
  for (const Case& c : cases) {
    host_->AddProvider("/asset", [&](const ResourceRequest&) {
      ResourceAnswer answer = ResourceAnswer::Stream(MemoryStream(bytes), "text/plain");
      answer.chunk_size = c.chunk;
      return answer;
    });
    const HostCounters before = host_->counters();
    const OwnedHostValue got = FakeRequest({{"path", Str("/asset")}});
    const HostCounters after = host_->counters();
    const HostValueView v = got.view();
    ASSERT_FALSE(v.Find("failed")->AsBool()) << c.chunk;
    EXPECT_EQ(v.Find("bytes")->AsString(), bytes) << c.chunk;
    EXPECT_EQ(v.Find("announced")->AsUnsigned(), 10000u) << c.chunk;
    EXPECT_EQ(v.Find("contentType")->AsString(), "text/plain") << c.chunk;
    EXPECT_EQ(v.Find("reads")->AsUnsigned(), c.reads) << c.chunk;
    EXPECT_EQ(v.Find("waits")->AsUnsigned(), c.waits) << c.chunk;
    EXPECT_FALSE(v.Find("readFailed")->AsBool()) << c.chunk;
    // Each wait step reached the host as entries 7, 6 and 8.
    EXPECT_EQ(after.wait_starts - before.wait_starts, c.waits) << c.chunk;
    EXPECT_EQ(after.wait_yields - before.wait_yields, c.waits) << c.chunk;
    EXPECT_EQ(after.wait_steps - before.wait_steps, c.waits) << c.chunk;
  }
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

TEST(PluginHostStreamChunkTest, TheHostsChunkSizeCapsEveryStream) {
  LoadOptions options;
  options.stream_chunk_size = 100;
  Result<std::unique_ptr<PluginHost>> loaded = PluginHost::Load(FAKE_PLUGIN_PATH, options);
  ASSERT_TRUE(loaded.ok());
  PluginHost& host = *loaded.value();
  host.AddProvider("/asset", [](const ResourceRequest&) {
    ResourceAnswer answer = ResourceAnswer::Stream(MemoryStream(std::string(1000, 'x')));
    answer.chunk_size = 500;  // larger than the host's: the host's wins
    return answer;
  });
  ASSERT_TRUE(host.Start().ok());
  const OwnedHostValue path = Str("/asset");
  const CallArgument arguments[] = {{"path", path.view()}};
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = "/fake/v1/request";
  request.arguments = arguments;
  const Response response = host.Call(request);
  ASSERT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.result.view().Find("reads")->AsUnsigned(), 10u);
  EXPECT_EQ(response.result.view().Find("waits")->AsUnsigned(), 9u);
}

class FailingSource final : public StreamSource {
 public:
  uint64_t Size() const override { return 100; }
  bool Read(char* buffer, size_t capacity, size_t* delivered, bool* more) override {
    if (reads_++ > 0) return false;
    const size_t count = std::min<size_t>(capacity, 10);
    std::memset(buffer, 'f', count);
    *delivered = count;
    *more = true;
    return true;
  }

 private:
  int reads_ = 0;
};

class ThrowingSource final : public StreamSource {
 public:
  uint64_t Size() const override { return 1; }
  bool Read(char*, size_t, size_t*, bool*) override { throw std::runtime_error("read"); }
};

TEST_F(FakePluginTest, AFailingStreamSourceIsAFailedRead) {
  host_->AddProvider("/fails", [](const ResourceRequest&) {
    return ResourceAnswer::Stream(std::make_unique<FailingSource>());
  });
  host_->AddProvider("/throws", [](const ResourceRequest&) {
    return ResourceAnswer::Stream(std::make_unique<ThrowingSource>());
  });
  const OwnedHostValue fails = FakeRequest({{"path", Str("/fails")}});
  EXPECT_TRUE(fails.view().Find("readFailed")->AsBool());
  EXPECT_EQ(fails.view().Find("bytes")->AsString(), "ffffffffff");
  const OwnedHostValue throws = FakeRequest({{"path", Str("/throws")}});
  EXPECT_TRUE(throws.view().Find("readFailed")->AsBool());
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

TEST_F(FakePluginTest, FilesAreStreamedFromDisk) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "plugin_host_test_asset.txt";
  std::string content;
  for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + "\n";
  std::ofstream(file, std::ios::binary) << content;
  host_->AddPrefixProvider("/assets/", [&](const ResourceRequest& request) {
    const std::filesystem::path wanted =
        std::filesystem::temp_directory_path() / std::string(request.resource().substr(8));
    Result<std::unique_ptr<StreamSource>> stream = FileStream(wanted);
    if (!stream.ok()) return ResourceAnswer::Error(404, stream.error());
    return ResourceAnswer::Stream(std::move(stream).value());
  });
  const OwnedHostValue got = FakeRequest({{"path", Str("/assets/plugin_host_test_asset.txt")}});
  EXPECT_EQ(got.view().Find("bytes")->AsString(), content);
  EXPECT_EQ(got.view().Find("announced")->AsUnsigned(), content.size());
  const OwnedHostValue missing = FakeRequest({{"path", Str("/assets/no_such_file.txt")}});
  EXPECT_EQ(missing.view().Find("status")->AsUnsigned(), 404u);
  EXPECT_TRUE(missing.view().Find("error")->AsString().starts_with("Not a readable file: "));
  std::filesystem::remove(file);
}

TEST_F(FakePluginTest, AProviderMayCallThePluginBack) {
  host_->AddProvider("/nested", [&](const ResourceRequest&) {
    const Response status = host_->Call(kPluginMethodGet, "/fake/v1/status");
    return ResourceAnswer::Value(Str(status.ok() ? "nested ok" : status.error));
  });
  EXPECT_EQ(FakeRequest({{"path", Str("/nested")}}).view().Find("value")->AsString(), "nested ok");
}

// ------------------------------------------------------------------------------------------
// Entries 3 and 4 with Publish; entry 2 with listeners

TEST_F(FakePluginTest, SubscriptionsReceivePublishedEvents) {
  ASSERT_TRUE(Post("/fake/v1/subscribe", {{"name", Str("OnX")}, {"flags", Num(3)}}).ok());
  ASSERT_TRUE(Post("/fake/v1/subscribe", {{"name", Str("OnX")}, {"flags", Num(5)}}).ok());
  ASSERT_TRUE(Post("/fake/v1/subscribe", {{"name", Str("OnY")}}).ok());
  const std::vector<SubscriptionInfo> subscriptions = host_->Subscriptions();
  ASSERT_EQ(subscriptions.size(), 2u);  // the second OnX replaced the first
  EXPECT_EQ(subscriptions[0].name, "OnX");
  EXPECT_EQ(subscriptions[0].plugin_id, 1u);
  EXPECT_EQ(subscriptions[0].flags, 5u);

  const OwnedHostValue payload =
      OwnedHostValue::Structure({{"uri", Str("/x")}, {"data", OwnedHostValue::Blob("\x01")}});
  EXPECT_EQ(host_->Publish("OnX", payload, 7), 1u);
  EXPECT_EQ(host_->Publish("OnZ", payload), 0u);
  EXPECT_EQ(host_->PublishResourceEvent("/a/b/c/d/e", ResourceEventType::kUpdate, Num(9)), 0u);
  ASSERT_TRUE(Post("/fake/v1/subscribe", {{"name", Str("OnJsonApiEvent_a_b_c")}}).ok());
  EXPECT_EQ(host_->PublishResourceEvent("/a/b/c/d/e", ResourceEventType::kUpdate, Num(9)), 1u);
  ASSERT_TRUE(Post("/fake/v1/unsubscribe", {{"name", Str("OnX")}}).ok());
  EXPECT_EQ(host_->Publish("OnX", payload), 0u);

  const Response events = host_->Call(kPluginMethodGet, "/fake/v1/events");
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(Json(events.result.view()),
            "[{\"name\":\"OnX\",\"payload\":{\"uri\":\"/x\",\"data\":\"AQ==\"},\"flags\":7,"
            "\"contextOk\":true},"
            "{\"name\":\"OnJsonApiEvent_a_b_c\",\"payload\":{\"uri\":\"/a/b/c/d/e\","
            "\"eventType\":\"Update\",\"data\":9},\"flags\":0,\"contextOk\":true}]");
  EXPECT_EQ(host_->counters().events_delivered, 2u);

  // Stopping ends the plug-in's subscriptions.
  ASSERT_TRUE(host_->Stop().ok());
  EXPECT_TRUE(host_->Subscriptions().empty());
}

TEST(ResourceEventNameTest, NamesFollowTheUri) {
  struct Case {
    const char* uri;
    const char* name;
  };
  const Case cases[] = {
      {"/jat-platform-config/v1/namespaces/Sanitizer",
       "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer"},
      {"/jat-platform-config/v1/namespaces/Sanitizer/more/parts",
       "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer_more"},
      {"/pavoclient/region-locale", "OnJsonApiEvent_pavoclient_region-locale"},
      {"/sanitizer/v1/status", "OnJsonApiEvent_sanitizer_v1_status"},
      {"/a/b/c/d/e", "OnJsonApiEvent_a_b_c"},
      {"a//b/", "OnJsonApiEvent_a_b"},
      {"", "OnJsonApiEvent"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResourceEventName(c.uri), c.name) << c.uri;
}

TEST_F(FakePluginTest, PluginEventsReachListenersWithACopiedPayload) {
  std::mutex mutex;
  std::vector<PluginEvent> named, all;
  const uint64_t named_id = host_->AddEventListener("OnFakeEvent", [&](const PluginEvent& e) {
    std::lock_guard lock(mutex);
    named.push_back(e);
  });
  host_->AddEventListener("", [&](const PluginEvent& e) {
    std::lock_guard lock(mutex);
    all.push_back(e);
  });
  host_->AddEventListener("OnFakeEvent", [](const PluginEvent&) { throw std::runtime_error("x"); });

  const OwnedHostValue payload = OwnedHostValue::Structure(
      {{"started", OwnedHostValue::Bool(true)}, {"list", OwnedHostValue::Collection({Str("a")})}});
  ASSERT_TRUE(
      Post("/fake/v1/send", {{"name", Str("OnFakeEvent")}, {"payload", payload}, {"flags", Num(4)}})
          .ok());
  ASSERT_TRUE(Post("/fake/v1/send", {{"name", Str("OnOther")}, {"payload", Num(1)}}).ok());
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].name, "OnFakeEvent");
  EXPECT_EQ(named[0].flags, 4u);
  // The copies outlived the plug-in's call that lent the payload.
  EXPECT_TRUE(named[0].payload.view() == payload.view());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].name, "OnOther");
  EXPECT_EQ(host_->counters().callback_errors, 1u);

  host_->RemoveEventListener(named_id);
  ASSERT_TRUE(Post("/fake/v1/send", {{"name", Str("OnFakeEvent")}}).ok());
  EXPECT_EQ(named.size(), 1u);
  EXPECT_EQ(all.size(), 3u);
  EXPECT_EQ(host_->counters().events_received, 3u);
}

TEST_F(FakePluginTest, AnEventWithAMalformedPayloadIsDropped) {
  int calls = 0;
  host_->AddEventListener("", [&](const PluginEvent&) { ++calls; });
  // The fake sends what the host lends it; a structure holding a collection with a bad tag is
  // the one thing the host cannot build, so lend it a hand-made one.
  HostValue bad{};
  bad.tag = 13;
  HostStructureEntry entry{};
  entry.key = "x";
  entry.value = bad;
  HostValue payload{};
  payload.tag = kHostValueStructure;
  payload.payload.span.data = &entry;
  payload.payload.span.count = 1;
  const OwnedHostValue name = Str("OnBad");
  const CallArgument arguments[] = {{"name", name.view()}, {"payload", HostValueView(&payload)}};
  CallRequest request;
  request.method = kPluginMethodPost;
  request.path = "/fake/v1/send";
  request.arguments = arguments;
  ASSERT_TRUE(host_->Call(request).ok());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(host_->counters().events_dropped, 1u);
}

// ------------------------------------------------------------------------------------------
// Entries 9, 6/7/8, 1 and 5

TEST_F(FakePluginTest, LogLinesGoToTheSink) {
  std::vector<std::pair<int32_t, std::string>> lines;
  ASSERT_TRUE(Post("/fake/v1/log", {{"level", Num(1)}, {"text", Str("before a sink")}}).ok());
  host_->SetLogSink(
      [&](int32_t level, std::string_view text) { lines.emplace_back(level, std::string(text)); });
  ASSERT_TRUE(Post("/fake/v1/log", {{"level", Num(2)}, {"text", Str("an error")}}).ok());
  ASSERT_TRUE(Post("/fake/v1/log", {{"level", Num(3)}, {"text", Str("")}}).ok());
  EXPECT_EQ(lines, (std::vector<std::pair<int32_t, std::string>>{{2, "an error"}, {3, ""}}));
  host_->SetLogSink([](int32_t, std::string_view) { throw std::runtime_error("sink"); });
  ASSERT_TRUE(Post("/fake/v1/log", {{"text", Str("x")}}).ok());
  host_->SetLogSink(nullptr);
  ASSERT_TRUE(Post("/fake/v1/log", {{"text", Str("y")}}).ok());
  EXPECT_EQ(host_->counters().log_lines, 5u);
  EXPECT_EQ(host_->counters().callback_errors, 1u);
}

TEST_F(FakePluginTest, WaitStepsAreCountedAndIgnoredEntriesAccepted) {
  const Response waited = Post("/fake/v1/wait", {{"steps", Num(3)}});
  ASSERT_TRUE(waited.ok());
  EXPECT_EQ(waited.result.view().AsUnsigned(), 0u);  // the sum of entry 8's results
  ASSERT_TRUE(Post("/fake/v1/ignored").ok());
  const HostCounters counters = host_->counters();
  EXPECT_EQ(counters.wait_starts, 3u);
  EXPECT_EQ(counters.wait_yields, 3u);
  EXPECT_EQ(counters.wait_steps, 3u);
  EXPECT_EQ(counters.ignored_calls, 2u);
}

// ------------------------------------------------------------------------------------------
// Stop while the program calls and publishes

TEST_F(FakePluginTest, NothingReachesThePluginAfterStopReturns) {
  ASSERT_TRUE(Post("/fake/v1/subscribe", {{"name", Str("OnTick")}}).ok());
  std::atomic<bool> stopped{false};
  std::atomic<int> late_deliveries{0}, late_answers{0}, delivered{0};
  std::vector<std::thread> threads;
  const OwnedHostValue payload = Num(1);
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stopped.load()) {
        const bool after = stopped.load();
        const size_t n = host_->Publish("OnTick", payload);
        delivered += static_cast<int>(n);
        if (after && n != 0) ++late_deliveries;
      }
      // Once Stop has returned, nothing is delivered.
      for (int i = 0; i < 100; ++i)
        late_deliveries += static_cast<int>(host_->Publish("OnTick", payload));
    });
    threads.emplace_back([&] {
      while (!stopped.load()) {
        const Response r = host_->Call(kPluginMethodGet, "/fake/v1/status");
        if (!r.ok() && r.status != 503) ++late_answers;  // only a success or "not running"
      }
      for (int i = 0; i < 100; ++i) {
        if (host_->Call(kPluginMethodGet, "/fake/v1/status").status != 503) ++late_answers;
      }
    });
  }
  while (delivered.load() < 100) std::this_thread::yield();
  ASSERT_TRUE(host_->Stop().ok());
  stopped.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(late_deliveries.load(), 0);
  EXPECT_EQ(late_answers.load(), 0);
}

TEST_F(FakePluginTest, StopAndStartFromInsideACallAreRefused) {
  std::string from_provider, start_from_provider;
  host_->AddProvider("/stop", [&](const ResourceRequest&) {
    from_provider = host_->Stop().message();
    start_from_provider = host_->Start().message();
    return ResourceAnswer::Value(Str("still here"));
  });
  EXPECT_EQ(FakeRequest({{"path", Str("/stop")}}).view().Find("value")->AsString(), "still here");
  EXPECT_EQ(from_provider,
            "Stop was called from inside a call into a plug-in (by a provider, a listener, a log "
            "sink or a reader of an answer)");
  EXPECT_EQ(start_from_provider, "Start was called from inside a call into a plug-in");
  std::string from_reader;
  CallRequest request;
  request.path = "/fake/v1/status";
  host_->CallInPlace(request, [&](const ResponseView&) { from_reader = host_->Stop().message(); });
  EXPECT_EQ(from_reader, from_provider);
  EXPECT_TRUE(host_->running());
  EXPECT_TRUE(host_->Stop().ok());
}

TEST_F(FakePluginTest, LiveAllocationsStayFlatOverManyCalls) {
  host_->AddProvider("/v", [](const ResourceRequest&) { return ResourceAnswer::Value(Num(1)); });
  // One round of every kind first, so that anything allocated once is counted in the baseline.
  const auto round = [&] {
    EXPECT_TRUE(host_->Call(kPluginMethodGet, "/fake/v1/status").ok());
    EXPECT_TRUE(Post("/fake/v1/echo").ok());
    EXPECT_TRUE(Post("/fake/v1/answer", {{"kind", Str("bad-tag")}}).failed);
    EXPECT_TRUE(Post("/fake/v1/answer", {{"kind", Str("stream")}, {"size", Num(100)}}).ok());
    EXPECT_TRUE(Post("/fake/v1/request", {{"path", Str("/v")}}).ok());
  };
  round();
  const uint64_t live = Live();
  for (int i = 0; i < 2000; ++i) round();
  EXPECT_EQ(Live(), live);
  EXPECT_EQ(host_->counters().open_responses, 0u);
}

}  // namespace
}  // namespace plugin_host
