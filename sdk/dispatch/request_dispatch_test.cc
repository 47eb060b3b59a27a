// Tests of the request entry, driven through real request and response records: argument
// sources and their order, body decoding, handler outcomes, request contexts, streams, hostile
// records, and the release of every response (checked with the counting allocator).
#include "sdk/dispatch/request_dispatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_request_context.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/host/plugin_memory.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingRegistry;
using sdk::binding::BindingRequestContext;
using sdk::binding::BindingValue;
using sdk::binding::EnumBuilder;
using sdk::binding::RecordBuilder;

}  // namespace

// Registered records live in a named namespace: their identities come from their names.
namespace dispatch_test_records {

struct DispatchItem {
  std::string name;
  uint32_t count = 0;
  std::optional<std::string> note;
};

struct DispatchSummary {
  std::string name;
  uint32_t count = 0;
  bool hasNote = false;
};

struct DispatchEcho {
  std::string id;
  std::optional<uint32_t> level;
  bool verbose = false;
  std::optional<std::vector<std::string>> items;
  std::optional<bool> flag;
};

enum class DispatchColor : int32_t { Red = 1, Green = 2 };

struct DispatchContextEcho {
  std::string path;
  uint32_t method = 0;
  std::string customMethod;
  std::string header;
  bool hasRegistry = false;
  uint64_t callerContext = 0;
  bool recentTime = false;
};

}  // namespace dispatch_test_records

namespace {

using dispatch_test_records::DispatchColor;
using dispatch_test_records::DispatchContextEcho;
using dispatch_test_records::DispatchEcho;
using dispatch_test_records::DispatchItem;
using dispatch_test_records::DispatchSummary;

void RegisterRecords(BindingRegistry& registry) {
  RecordBuilder<DispatchItem> item(registry, "DispatchItem");
  SDK_BINDING_MEMBER(item, name, sdk::binding::kRequired);
  SDK_BINDING_MEMBER(item, count);
  SDK_BINDING_MEMBER(item, note);
  RecordBuilder<DispatchSummary> summary(registry, "DispatchSummary");
  SDK_BINDING_MEMBER(summary, name);
  SDK_BINDING_MEMBER(summary, count);
  SDK_BINDING_MEMBER(summary, hasNote);
  RecordBuilder<DispatchEcho> echo(registry, "DispatchEcho");
  SDK_BINDING_MEMBER(echo, id);
  SDK_BINDING_MEMBER(echo, level);
  SDK_BINDING_MEMBER(echo, verbose);
  SDK_BINDING_MEMBER(echo, items);
  SDK_BINDING_MEMBER(echo, flag);
  EnumBuilder<DispatchColor> color(registry, "DispatchColor");
  color.Enumerator("Red", DispatchColor::Red).Enumerator("Green", DispatchColor::Green);
  RecordBuilder<DispatchContextEcho> context(registry, "DispatchContextEcho");
  SDK_BINDING_MEMBER(context, path);
  SDK_BINDING_MEMBER(context, method);
  SDK_BINDING_MEMBER(context, customMethod);
  SDK_BINDING_MEMBER(context, header);
  SDK_BINDING_MEMBER(context, hasRegistry);
  SDK_BINDING_MEMBER(context, callerContext);
  SDK_BINDING_MEMBER(context, recentTime);
}

DispatchContextEcho EchoContext(const BindingRequestContext& context) {
  DispatchContextEcho echo;
  echo.path = context.path;
  echo.method = context.method;
  echo.customMethod = context.custom_method;
  const auto header = context.headers.find("X-A");
  echo.header = header == context.headers.end() ? "<none>" : header->second;
  echo.hasRegistry = context.registry != nullptr;
  echo.callerContext = reinterpret_cast<uintptr_t>(context.caller_context);
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count() /
                      100;
  echo.recentTime = context.time <= now && now - context.time < 600'000'000;  // a minute
  return echo;
}

// A byte stream handed out in chunks; counts its destructions.
class TestStream final : public ResponseStream {
 public:
  TestStream(std::string bytes, uint32_t chunk, int* destroyed)
      : bytes_(std::move(bytes)), chunk_(chunk), destroyed_(destroyed) {}
  ~TestStream() override { ++*destroyed_; }
  bool Read(void* buffer, uint32_t* length, bool* more) override {
    const size_t count = std::min<size_t>({*length, chunk_, bytes_.size() - position_});
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    *length = static_cast<uint32_t>(count);
    *more = position_ < bytes_.size();
    return true;
  }
  uint32_t size() const override { return static_cast<uint32_t>(bytes_.size()); }

 private:
  std::string bytes_;
  uint32_t chunk_;
  size_t position_ = 0;
  int* destroyed_;
};

// A hand-written handler that answers with a stream, a content type, headers and codes.
class StreamHandler final : public Handler {
 public:
  StreamHandler(uint32_t code, int* destroyed) : code_(code), destroyed_(destroyed) {}
  HandlerCall* Invoke(CallState&, std::span<BindingValue>, void*) override { return nullptr; }
  void Complete(CallState& state, BindingRequestContext*, HandlerCall*, void*) override {
    state.stream = std::make_unique<TestStream>("hello, streamed world", 4, destroyed_);
    state.content_type = "text/plain";
    state.headers = {{"X-Test", "1"}, {"A", "b"}};
    state.flags = 7;
    state.code = code_;
    state.status_code = 206;
  }
  void Release(HandlerCall*) override {}
  const sdk::binding::StaticType& ContextType() const override {
    return sdk::binding::StaticTypeOf<void>();
  }

 private:
  uint32_t code_;
  int* destroyed_;
};

HostValue UnsignedHost(uint64_t number) {
  HostValue value{};
  value.tag = kHostValueUnsigned;
  value.payload.unsigned_value = number;
  return value;
}

HostValue BoolHost(bool flag) {
  HostValue value{};
  value.tag = kHostValueBool;
  value.payload.boolean = flag ? 1 : 0;
  return value;
}

HostValue StringHost(const char* text) {
  HostValue value{};
  value.tag = kHostValueStringBorrowed;
  value.payload.span.data = text;
  value.payload.span.count = static_cast<uint32_t>(std::strlen(text));
  return value;
}

// A request as a test writes it; absent texts become null pointers in the record.
struct Request {
  uint32_t method = kPluginMethodGet;
  std::optional<std::string> path;
  std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> headers;
  std::optional<std::string> content_type;
  std::optional<std::string> body;
  std::vector<PluginTypedArgument> typed;
  uintptr_t caller_context = 0;
  std::optional<std::string> custom_method;
};

// What a response held, copied out before it was released.
struct Outcome {
  bool error = false;
  std::string error_text;
  uint32_t status = 0;
  std::string content_type;
  uint8_t flags = 0;
  uint32_t code = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  uint32_t result_tag = 0;
  BindingValue result;
  std::string streamed;
};

const char* TextOrNull(const std::optional<std::string>& text) {
  return text.has_value() ? text->c_str() : nullptr;
}

std::string Copy(const char* text) { return text == nullptr ? "<null>" : std::string(text); }

int64_t LiveBlocks() {
  const auto counters = sdk::host::GetPluginMemoryCounters();
  return static_cast<int64_t>(counters.allocations - counters.frees);
}

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() {
    RegisterRecords(registry_);
    echo_ =
        DeclareRoute(
            table_, HttpMethod::kGet, "/items/{id}",
            [this](std::string id, std::optional<uint32_t> level, bool verbose,
                   std::optional<std::vector<std::string>> items, std::optional<bool> flag) {
              ++invocations_;
              return DispatchEcho{std::move(id), level, verbose, std::move(items), flag};
            },
            InPath("id"), Anywhere("level"), Anywhere("verbose"), InQuery("items"), InQuery("flag"))
            .endpoint();
    lists_ = DeclareRoute(
                 table_, HttpMethod::kGet, "/lists/{items}",
                 [this](std::vector<std::string> items) {
                   ++invocations_;
                   return static_cast<uint32_t>(items.size());
                 },
                 InQuery("items"))
                 .endpoint();
    post_ = DeclareRoute(
                table_, HttpMethod::kPost, "/items",
                [this](const DispatchItem& item) -> HandlerResult<DispatchSummary> {
                  ++invocations_;
                  if (item.name == "missing") return HttpError{404, "Item not found"};
                  return DispatchSummary{item.name, item.count, item.note.has_value()};
                },
                InBody("request"))
                .endpoint();
    any_ = DeclareRoute(table_, HttpMethod::kNone, "/any", [this] { ++invocations_; }).endpoint();
    purge_ = DeclareEndpoint(table_, "PurgeCache",
                             [this](const BindingRequestContext* context) {
                               ++invocations_;
                               return EchoContext(*context);
                             })
                 .Path("/cache")
                 .CustomMethod("PURGE")
                 .endpoint();
    context_ = DeclareRoute(
                   table_, HttpMethod::kGet, "/context",
                   [this](const BindingRequestContext& context, uint32_t extra) {
                     ++invocations_;
                     DispatchContextEcho echo = EchoContext(context);
                     echo.method += extra * 100;
                     return echo;
                   },
                   Anywhere("extra"))
                   .endpoint();
    color_ =
        DeclareRoute(
            table_, HttpMethod::kGet, "/color",
            [](bool red) { return red ? DispatchColor::Red : DispatchColor{7}; }, InQuery("red"))
            .endpoint();
    throws_ = DeclareRoute(table_, HttpMethod::kGet, "/throw", []() -> HandlerResult<uint32_t> {
                throw std::runtime_error("boom");
              }).endpoint();
    fails_ = DeclareRoute(table_, HttpMethod::kGet, "/fails", []() -> HandlerResult<void> {
               return HttpError{409, "Conflict here"};
             }).endpoint();
  }

  Outcome Send(const Endpoint* endpoint, const Request& request, bool read_stream = true) {
    std::vector<PluginHeader> headers;
    for (const auto& [name, value] : request.headers) {
      headers.push_back({TextOrNull(name), TextOrNull(value)});
    }
    // The body sits in a block of exactly its size, so that a read past it is caught.
    std::unique_ptr<char[]> body;
    if (request.body.has_value()) {
      body = std::make_unique<char[]>(request.body->size() + 1);
      std::memcpy(body.get(), request.body->data(), request.body->size());
    }
    PluginRequestRecord record{};
    record.method = request.method;
    record.path = TextOrNull(request.path);
    record.arguments = request.typed.empty() ? nullptr : request.typed.data();
    record.argument_count = static_cast<uint32_t>(request.typed.size());
    record.endpoint_context = endpoint == nullptr ? nullptr : endpoint->context();
    record.headers = headers.empty() ? nullptr : headers.data();
    record.header_count = static_cast<uint32_t>(headers.size());
    record.content_type = TextOrNull(request.content_type);
    record.body = body.get();
    record.body_size = request.body.has_value() ? static_cast<uint32_t>(request.body->size()) : 0;
    record.caller_context = request.caller_context;
    record.custom_method = TextOrNull(request.custom_method);
    return Deliver(record, read_stream);
  }

  Outcome Deliver(const PluginRequestRecord& record, bool read_stream = true) {
    const int64_t live_before = LiveBlocks();
    PluginResponseRecord response;
    std::memset(static_cast<void*>(&response), 0xAB, sizeof(response));
    HandleRequest(&response, &record);
    Outcome outcome = Read(response, read_stream);
    EXPECT_EQ(response.release, &ReleaseResponse);
    if (response.release != nullptr) response.release(&response);
    const PluginResponseRecord zero{};
    EXPECT_EQ(std::memcmp(&response, &zero, sizeof(response)), 0) << "released record not zero";
    EXPECT_EQ(LiveBlocks(), live_before) << "the response left blocks allocated";
    return outcome;
  }

  static Outcome Read(PluginResponseRecord& response, bool read_stream) {
    Outcome outcome;
    outcome.error = response.error_flag != 0;
    if (response.error_text != nullptr) outcome.error_text = response.error_text;
    EXPECT_EQ(outcome.error, response.error_text != nullptr);
    outcome.status = response.status_code;
    outcome.content_type = Copy(response.content_type);
    outcome.flags = response.flags;
    outcome.code = response.code;
    for (uint32_t i = 0; i < response.header_count; ++i) {
      outcome.headers.emplace_back(Copy(response.headers[i].name), Copy(response.headers[i].value));
    }
    outcome.result_tag = response.result.tag;
    sdk::binding::HostErrorRecord error;
    EXPECT_TRUE(sdk::binding::FromHostValue(error, outcome.result, response.result, "result"));
    sdk::binding::ReleaseHostErrorRecord(error);
    if (read_stream && response.stream_read != nullptr) {
      uint8_t more = 1;
      char buffer[64];
      while (more != 0) {
        uint32_t length = sizeof(buffer);
        EXPECT_EQ(response.stream_read(response.stream_context, buffer, &length, &more), 1);
        outcome.streamed.append(buffer, length);
      }
      response.stream_close(response.stream_context);
      uint32_t length = sizeof(buffer);
      EXPECT_EQ(response.stream_read(response.stream_context, buffer, &length, &more), 0)
          << "a closed stream reads nothing";
    }
    return outcome;
  }

  BindingRegistry registry_;
  EndpointTable table_{registry_};
  int invocations_ = 0;
  const Endpoint* echo_ = nullptr;
  const Endpoint* lists_ = nullptr;
  const Endpoint* post_ = nullptr;
  const Endpoint* any_ = nullptr;
  const Endpoint* purge_ = nullptr;
  const Endpoint* context_ = nullptr;
  const Endpoint* color_ = nullptr;
  const Endpoint* throws_ = nullptr;
  const Endpoint* fails_ = nullptr;
};

// One case of a table: a request for one endpoint, and either the result's DebugString or the
// error text with the status. Only a handler's own error follows an invocation.
struct Case {
  std::string_view label;
  Request request;
  std::string expected;
  bool ok = true;
  uint32_t status = 200;
  bool invoked = true;
};

Case Ok(std::string_view label, Request request, std::string expected) {
  return {label, std::move(request), std::move(expected), true, 200, true};
}
// A failure before the handler runs: the call state's status (0) or 404 for no route.
Case Fails(std::string_view label, Request request, std::string error, uint32_t status = 0) {
  return {label, std::move(request), std::move(error), false, status, false};
}
Case HandlerFails(std::string_view label, Request request, std::string error, uint32_t status) {
  return {label, std::move(request), std::move(error), false, status, true};
}

class DispatchCases : public DispatchTest {
 protected:
  void Run(const Endpoint* endpoint, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      const int before = invocations_;
      const Outcome outcome = Send(endpoint, c.request);
      EXPECT_EQ(!outcome.error, c.ok) << c.label << ": " << outcome.error_text;
      EXPECT_EQ(outcome.status, c.status) << c.label;
      EXPECT_EQ(invocations_, before + (c.invoked ? 1 : 0)) << c.label;
      if (c.ok) {
        EXPECT_EQ(outcome.result.DebugString(), c.expected) << c.label;
        EXPECT_EQ(outcome.content_type, "") << c.label;
      } else {
        EXPECT_EQ(outcome.error_text, c.expected) << c.label;
        EXPECT_EQ(outcome.result_tag, 0u) << c.label;
      }
    }
  }
};

Request Get(std::string path) {
  Request request;
  request.method = kPluginMethodGet;
  request.path = std::move(path);
  return request;
}

Request WithHeaders(
    Request request,
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> headers) {
  request.headers = std::move(headers);
  return request;
}

Request WithTyped(Request request, std::vector<PluginTypedArgument> typed) {
  request.typed = std::move(typed);
  return request;
}

Request Post(std::optional<std::string> content_type, std::optional<std::string> body,
             std::string path = "/items") {
  Request request;
  request.method = kPluginMethodPost;
  request.path = std::move(path);
  request.content_type = std::move(content_type);
  request.body = std::move(body);
  return request;
}

std::string EchoText(std::string_view id, std::string_view level = "empty",
                     std::string_view verbose = "false", std::string_view items = "empty",
                     std::string_view flag = "empty") {
  return "{\"flag\": " + std::string(flag) + ", \"id\": \"" + std::string(id) +
         "\", \"items\": " + std::string(items) + ", \"level\": " + std::string(level) +
         ", \"verbose\": " + std::string(verbose) + "}";
}

TEST_F(DispatchCases, PathQueryAndHeaderArguments) {
  const std::vector<Case> cases = {
      Ok("path only", Get("/items/7"), EchoText("7")),
      Ok("decoded path", Get("/items/a%2Fb+c"), EchoText("a/b c")),
      // The query stays part of the matched path, so the last placeholder takes it along.
      Ok("duplicate query name", Get("/items/7?level=1&level=2"),
         EchoText("7?level=1&level=2", "2u")),
      Fails("trailing &", Get("/items/7?level=2&"), "Unknown argument '' for 'GetItemsById'."),
      Ok("bool without =", Get("/items/7?verbose"), EchoText("7?verbose", "empty", "true")),
      Ok("bool with text", Get("/items/7?verbose=0"), EchoText("7?verbose=0", "empty", "false")),
      Fails("integer without =", Get("/items/7?level"), "Expected value for argument 'level'."),
      Ok("integer text", Get("/items/7?level=0x10"), EchoText("7?level=0x10", "16u")),
      Fails("integer conversion fails", Get("/items/7?level=abc"),
            "Value abc for 'level' of type uint32 is in an incorrect format"),
      Ok("index 2", Get("/items/7?items.2=x"),
         EchoText("7?items.2=x", "empty", "false", "[\"\", \"\", \"x\"]")),
      Ok("hex index", Get("/items/7?items.0x1=x"),
         EchoText("7?items.0x1=x", "empty", "false", "[\"\", \"x\"]")),
      Fails("bad index", Get("/items/7?items.1a=x"), "Index 1a is in an incorrect format"),
      Ok("JSON list", Get("/items/7?items=%5B%22a%22,%22b%22%5D"),
         EchoText("7?items=[\\\"a\\\",\\\"b\\\"]", "empty", "false", "[\"a\", \"b\"]")),
      Ok("empty list", Get("/items/7?items"), EchoText("7?items", "empty", "false", "[]")),
      Fails("bool conversion fails", Get("/items/7?flag=maybe"),
            "Value maybe for 'flag' of type bool is in an incorrect format. Options are \"true\", "
            "\"false\", \"1\", \"0\"."),
      Fails("path parameter from the query", Get("/items/7?id=8"),
            "Argument 'id' for 'GetItemsById' was specified in an invalid location."),
      Ok("header Level does not bind level", WithHeaders(Get("/items/7"), {{"Level", "3"}}),
         EchoText("7")),
      Ok("header level binds level", WithHeaders(Get("/items/7"), {{"level", "3"}}),
         EchoText("7", "3u")),
      Ok("later duplicate header wins",
         WithHeaders(Get("/items/7"), {{"level", "3"}, {"level", "4"}}), EchoText("7", "4u")),
      Ok("header for a query parameter is not read",
         WithHeaders(Get("/items/7"), {{"items", "[\"a\"]"}}), EchoText("7")),
      Ok("query overrides header", WithHeaders(Get("/items/7?level=5"), {{"level", "3"}}),
         EchoText("7?level=5", "5u")),
      Ok("header with a null value", WithHeaders(Get("/items/7"), {{"verbose", std::nullopt}}),
         EchoText("7", "empty", "true")),
      Ok("header with a null name", WithHeaders(Get("/items/7"), {{std::nullopt, "x"}}),
         EchoText("7")),
      Fails("first header error stops", WithHeaders(Get("/items/7?level=abc"), {{"level", ""}}),
            "Expected value for argument 'level'."),
  };
  Run(echo_, cases);
}

TEST_F(DispatchCases, PathArgumentForAQueryParameter) {
  Run(lists_, {Fails("path argument for a query parameter", Get("/lists/a"),
                     "Argument 'items' for 'GetListsByItems' was specified in an invalid "
                     "location.")});
}

TEST_F(DispatchCases, TypedArguments) {
  HostValue unknown_tag{};
  unknown_tag.tag = 11;
  const std::vector<Case> cases = {
      // One path argument was captured, so position 0 is parameter 1.
      Ok("positional after a path argument",
         WithTyped(Get("/items/7"), {{nullptr, UnsignedHost(5)}}), EchoText("7", "5u")),
      Ok("two positional",
         WithTyped(Get("/items/7"), {{nullptr, UnsignedHost(5)}, {nullptr, BoolHost(true)}}),
         EchoText("7", "5u", "true")),
      Ok("named", WithTyped(Get("/items/7"), {{"verbose", BoolHost(true)}}),
         EchoText("7", "empty", "true")),
      Ok("typed after query", WithTyped(Get("/items/7?level=1"), {{"level", UnsignedHost(9)}}),
         EchoText("7?level=1", "9u")),
      Ok("named ignores locations", WithTyped(Get("/items/7"), {{"id", StringHost("typed")}}),
         EchoText("typed")),
      Ok("typed text converted by the handler",
         WithTyped(Get("/items/7"), {{"level", StringHost("12")}}), EchoText("7", "12u")),
      Fails("unknown name", WithTyped(Get("/items/7"), {{"nope", UnsignedHost(1)}}),
            "Unknown argument 'nope' for 'GetItemsById'."),
      Fails("position beyond the parameters",
            WithTyped(Get("/items/7"), {{nullptr, UnsignedHost(1)},
                                        {nullptr, UnsignedHost(1)},
                                        {nullptr, UnsignedHost(1)},
                                        {nullptr, UnsignedHost(1)},
                                        {nullptr, UnsignedHost(1)}}),
            "Unknown argument '5' for 'GetItemsById'."),
      Fails("unknown tag", WithTyped(Get("/items/7"), {{"level", unknown_tag}}),
            "Couldn't assign value to 'level' of type object because the input is of an "
            "incompatible type ''."),
      Fails("query error stops before typed arguments",
            WithTyped(Get("/items/7?level"), {{"nope", UnsignedHost(1)}}),
            "Expected value for argument 'level'."),
  };
  Run(echo_, cases);
}

TEST_F(DispatchCases, Bodies) {
  const std::string msgpack_item(
      "\x82\xA4name\xA1"
      "c\xA5"
      "count\x03",
      15);
  const std::string required =
      "Couldn't assign value to 'request' of type DispatchItem because the input structure "
      "doesn't have required field 'name'.";
  const std::vector<Case> cases = {
      Ok("JSON with charset", Post("application/json; charset=utf-8", R"({"name":"a","count":2})"),
         "{\"count\": 2u, \"hasNote\": false, \"name\": \"a\"}"),
      Ok("vnd.api+json", Post("application/vnd.api+json", R"({"name":"a","note":"n"})"),
         "{\"count\": 0u, \"hasNote\": true, \"name\": \"a\"}"),
      Ok("YAML", Post("application/x-yaml", "name: b\ncount: 4\n"),
         "{\"count\": 4u, \"hasNote\": false, \"name\": \"b\"}"),
      Ok("MessagePack", Post("application/x-msgpack", msgpack_item),
         "{\"count\": 3u, \"hasNote\": false, \"name\": \"c\"}"),
      Fails("MessagePack with a trailing byte",
            Post("application/x-msgpack", msgpack_item + "\x01"),
            "Extra MessgePack data found in body"),
      Fails("text/plain", Post("text/plain", "name"), "Unsupported body content type"),
      Fails("null content type", Post(std::nullopt, "{}"), "Unsupported body content type"),
      Fails("JSON error", Post("application/json", "{\"name\":"),
            "Error: Invalid value. at offset 8."),
      Fails("required member absent", Post("application/json", R"({"count":1})"), required),
      Fails("required member null", Post("application/json", R"({"name":null})"), required),
      Fails("member conversion", Post("application/json", R"({"name":"a","count":"x"})"),
            "Value x for 'count' of type uint32 is in an incorrect format"),
      Fails("not a structure", Post("application/json", "[1]"),
            "Couldn't assign value to 'request' of type DispatchItem because the input not a "
            "structure."),
      Fails("no body", Post("application/json", std::nullopt),
            "A value for 'request' is required."),
      HandlerFails("handler error", Post("application/json", R"({"name":"missing"})"),
                   "Item not found", 404),
      Fails("query on a literal route", Post("application/json", "{}", "/items?x=1"),
            "Invalid function", 404),
  };
  Run(post_, cases);
}

TEST_F(DispatchTest, BodyFailureReplacesAnEarlierError) {
  Request request = Post("text/plain", "x");
  request.typed = {{"nope", UnsignedHost(1)}};
  Outcome outcome = Send(post_, request);
  EXPECT_EQ(outcome.error_text, "Unsupported body content type");
  // A body that decodes leaves the earlier error in place.
  request.content_type = "application/json";
  request.body = R"({"name":"a"})";
  outcome = Send(post_, request);
  EXPECT_EQ(outcome.error_text, "Unknown argument 'nope' for 'PostItems'.");
  EXPECT_EQ(invocations_, 0);
}

TEST_F(DispatchTest, BodyPointerNullWithSizeIsNoBody) {
  PluginRequestRecord record{};
  record.method = kPluginMethodPost;
  record.path = "/items";
  record.endpoint_context = post_->context();
  record.content_type = "application/json";
  record.body = nullptr;
  record.body_size = 100;
  const Outcome outcome = Deliver(record);
  EXPECT_EQ(outcome.error_text, "A value for 'request' is required.");
}

TEST_F(DispatchTest, BodyWithoutBodyParameterIsIgnored) {
  Request request = Get("/items/7");
  request.content_type = "text/plain";
  request.body = "whatever";
  const Outcome outcome = Send(echo_, request);
  EXPECT_FALSE(outcome.error) << outcome.error_text;
  EXPECT_EQ(outcome.result.DebugString(), EchoText("7"));
}

TEST_F(DispatchTest, MethodsAndMissingRoutes) {
  struct MethodCase {
    const Endpoint* endpoint;
    uint32_t method;
    std::optional<std::string> custom;
    std::optional<std::string> path;
    bool found;
  };
  const MethodCase cases[] = {
      {post_, kPluginMethodPost, {}, "/items", true},
      {post_, kPluginMethodGet, {}, "/items", false},
      {post_, 99, {}, "/items", false},  // an unknown code counts as none
      {any_, kPluginMethodNone, {}, "/any", true},
      {any_, kPluginMethodHead, {}, "/any", true},
      {any_, 99, {}, "/any", true},
      {any_, kPluginMethodCustom, "X", "/any", true},
      {any_, kPluginMethodGet, {}, "/any/", false},
      {any_, kPluginMethodGet, {}, std::nullopt, false},
      {purge_, kPluginMethodCustom, "PURGE", "/cache", true},
      {purge_, kPluginMethodCustom, std::nullopt, "/cache", false},
      {purge_, kPluginMethodCustom, "GET", "/cache", false},
      {purge_, kPluginMethodGet, "PURGE", "/cache", false},
  };
  for (const MethodCase& c : cases) {
    Request request;
    request.method = c.method;
    request.custom_method = c.custom;
    request.path = c.path;
    request.content_type = "application/json";
    request.body = R"({"name":"a"})";
    const int before = invocations_;
    const Outcome outcome = Send(c.endpoint, request);
    const std::string label = c.endpoint->function().name + " " + std::to_string(c.method) + " " +
                              c.path.value_or("<null>");
    if (c.found) {
      EXPECT_FALSE(outcome.error) << label << ": " << outcome.error_text;
      EXPECT_EQ(outcome.status, 200u) << label;
      EXPECT_EQ(invocations_, before + 1) << label;
    } else {
      EXPECT_EQ(outcome.error_text, "Invalid function") << label;
      EXPECT_EQ(outcome.status, 404u) << label;
      EXPECT_EQ(invocations_, before) << label;
      EXPECT_EQ(outcome.content_type, "<null>") << label;
    }
  }
}

TEST_F(DispatchTest, VoidFunctionAnswersWithoutValue) {
  const Outcome outcome = Send(any_, Get("/any"));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.status, 200u);
  EXPECT_EQ(outcome.result_tag, static_cast<uint32_t>(kHostValueEmpty));
  EXPECT_EQ(outcome.content_type, "");
  EXPECT_TRUE(outcome.headers.empty());
}

TEST_F(DispatchTest, HandlerErrorWithoutValue) {
  const Outcome outcome = Send(fails_, Get("/fails"));
  EXPECT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error_text, "Conflict here");
  EXPECT_EQ(outcome.status, 409u);
}

TEST_F(DispatchTest, RequestContexts) {
  Request request = WithHeaders(Get("/context?extra=1"), {{"X-A", "1"}, {"X-A", "2"}});
  request.caller_context = 42;
  // "/context" is a literal route, so the query keeps it from matching.
  EXPECT_EQ(Send(context_, request).error_text, "Invalid function");
  request.path = "/context";
  request.typed = {{"extra", UnsignedHost(1)}};
  Outcome outcome = Send(context_, request);
  ASSERT_FALSE(outcome.error) << outcome.error_text;
  EXPECT_EQ(outcome.result.DebugString(),
            "{\"callerContext\": 42u, \"customMethod\": \"\", \"hasRegistry\": true, \"header\": "
            "\"2\", \"method\": 102u, \"path\": \"/context\", \"recentTime\": true}");
  EXPECT_EQ(context_->function().arguments.size(), 1u);

  Request purge;
  purge.method = kPluginMethodCustom;
  purge.custom_method = "PURGE";
  purge.path = "/cache";
  outcome = Send(purge_, purge);
  ASSERT_FALSE(outcome.error) << outcome.error_text;
  EXPECT_EQ(outcome.result.DebugString(),
            "{\"callerContext\": 0u, \"customMethod\": \"PURGE\", \"hasRegistry\": true, "
            "\"header\": \"<none>\", \"method\": 8u, \"path\": \"/cache\", \"recentTime\": "
            "true}");
}

TEST_F(DispatchTest, EnumResultsLeaveByName) {
  Outcome outcome = Send(color_, Get("/color"));  // red defaults to false
  EXPECT_EQ(outcome.result_tag, static_cast<uint32_t>(kHostValueSigned));
  EXPECT_EQ(outcome.result.DebugString(), "7");
  // "/color" is literal: "red" can come only as a typed argument.
  Request request = WithTyped(Get("/color"), {{"red", BoolHost(true)}});
  outcome = Send(color_, request);
  EXPECT_EQ(outcome.result_tag, static_cast<uint32_t>(kHostValueStringOwned));
  EXPECT_EQ(outcome.result.DebugString(), "\"Red\"");
}

TEST_F(DispatchTest, ExceptionsBecomeInternalErrors) {
  const Outcome outcome = Send(throws_, Get("/throw"));
  EXPECT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error_text, "Internal error");
  EXPECT_EQ(outcome.status, 500u);
  EXPECT_EQ(outcome.result_tag, 0u);
}

TEST_F(DispatchTest, StreamsHeadersAndCodes) {
  int destroyed = 0;
  const FunctionSignature signature;
  for (const uint32_t code : {2u, 5u}) {
    const std::string name = "Stream" + std::to_string(code);
    const Endpoint* stream =
        table_
            .Declare(name, signature,
                     [&](const sdk::binding::FunctionRecord&) {
                       return std::make_unique<StreamHandler>(code, &destroyed);
                     })
            .Path("/" + name)
            .endpoint();
    ASSERT_NE(stream, nullptr);
    const Outcome outcome = Send(stream, Get("/" + name));
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.streamed, "hello, streamed world");
    EXPECT_EQ(outcome.content_type, "text/plain");
    EXPECT_EQ(outcome.headers,
              (std::vector<std::pair<std::string, std::string>>{{"A", "b"}, {"X-Test", "1"}}));
    EXPECT_EQ(outcome.flags, 7);
    EXPECT_EQ(outcome.code, code == 2 ? 2u : 0u);
    EXPECT_EQ(outcome.status, 206u);

    // Released without being read or closed: the release destroys the stream.
    const int destroyed_before = destroyed;
    Send(stream, Get("/" + name), /*read_stream=*/false);
    EXPECT_EQ(destroyed, destroyed_before + 1);
  }
  EXPECT_EQ(destroyed, 4);
}

TEST_F(DispatchTest, HostileRecords) {
  // No response record: nothing to do, nothing to crash.
  PluginRequestRecord record{};
  HandleRequest(nullptr, &record);

  // No request, no endpoint context, a context without endpoint.
  PluginResponseRecord response{};
  HandleRequest(&response, nullptr);
  EXPECT_EQ(Copy(response.error_text), "Invalid function");
  EXPECT_EQ(response.status_code, 404u);
  response.release(&response);
  EXPECT_EQ(Deliver(record).error_text, "Invalid function");
  const EndpointContext empty_context{&registry_, nullptr};
  record.endpoint_context = &empty_context;
  EXPECT_EQ(Deliver(record).error_text, "Invalid function");

  // Arrays announced without pointers.
  record = PluginRequestRecord{};
  record.method = kPluginMethodGet;
  record.path = "/items/7";
  record.endpoint_context = echo_->context();
  record.header_count = 0xFFFFFFFFu;
  record.argument_count = 0xFFFFFFFFu;
  Outcome outcome = Deliver(record);
  EXPECT_FALSE(outcome.error) << outcome.error_text;
  EXPECT_EQ(outcome.result.DebugString(), EchoText("7"));

  // A typed argument whose text pointer is null reads as the empty text.
  HostValue null_text{};
  null_text.tag = kHostValueStringBorrowed;
  const PluginTypedArgument typed[] = {{"id", null_text}};
  record.arguments = typed;
  record.argument_count = 1;
  outcome = Deliver(record);
  EXPECT_FALSE(outcome.error) << outcome.error_text;
  EXPECT_EQ(outcome.result.DebugString(), EchoText(""));

  // A JSON body that is not NUL-terminated is read up to its size only (the test's body block
  // has exactly that size, so a read past it would be caught).
  const std::string json = R"({"name":"exact"})";
  const auto body = std::make_unique<char[]>(json.size());
  std::memcpy(body.get(), json.data(), json.size());
  record = PluginRequestRecord{};
  record.method = kPluginMethodPost;
  record.path = "/items";
  record.endpoint_context = post_->context();
  record.content_type = "application/json";
  record.body = body.get();
  record.body_size = static_cast<uint32_t>(json.size());
  outcome = Deliver(record);
  EXPECT_EQ(outcome.result.DebugString(),
            "{\"count\": 0u, \"hasNote\": false, \"name\": \"exact\"}");
}

TEST_F(DispatchTest, LargeResultsAreReleasedWhole) {
  const Endpoint* big = DeclareRoute(
                            table_, HttpMethod::kGet, "/big",
                            [](uint32_t count) {
                              std::vector<DispatchSummary> items(count);
                              for (uint32_t i = 0; i < count; ++i)
                                items[i] = {"item " + std::to_string(i), i, i % 2 == 0};
                              return items;
                            },
                            InQuery("count"))
                            .endpoint();
  const Outcome outcome = Send(big, WithTyped(Get("/big"), {{"count", UnsignedHost(1000)}}));
  ASSERT_FALSE(outcome.error) << outcome.error_text;
  ASSERT_EQ(outcome.result.Size(), 1000u);
  EXPECT_EQ(outcome.result.At(999).DebugString(),
            "{\"count\": 999u, \"hasNote\": false, \"name\": \"item 999\"}");
}

}  // namespace
}  // namespace sdk::dispatch
