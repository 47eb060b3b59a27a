// Fuzz target: a request record from the host, through HandleRequest to a released response.
//
// The input is cut into fields at line feeds: a selector line (byte 0 picks the method code,
// byte 1 the endpoint), the path with its query, the content type, the headers ("name:value"
// pairs separated by ";"), and the rest of the input is the body. The endpoints cover path
// placeholders of the three kinds, query and header parameters, index paths, struct bodies and
// typed results. Properties: the entry never crashes, a response either carries an error text
// with its flag or a result, and releasing the response gives back every block it held.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sdk/binding/binding_registry.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/dispatch/request_dispatch.h"
#include "sdk/host/plugin_memory.h"

namespace request_fuzz_records {

struct FuzzItem {
  std::string name;
  uint32_t count = 0;
  std::optional<std::vector<std::string>> tags;
  std::optional<bool> flag;
};

struct FuzzSummary {
  std::string name;
  uint64_t total = 0;
};

}  // namespace request_fuzz_records

namespace {

using request_fuzz_records::FuzzItem;
using request_fuzz_records::FuzzSummary;
using namespace sdk::dispatch;  // NOLINT: a fuzz target of this layer

struct Fixture {
  sdk::binding::BindingRegistry registry;
  EndpointTable table{registry};
  std::vector<const Endpoint*> endpoints;

  Fixture() {
    sdk::binding::RecordBuilder<FuzzItem> item(registry, "FuzzItem");
    SDK_BINDING_MEMBER(item, name, sdk::binding::kRequired);
    SDK_BINDING_MEMBER(item, count);
    SDK_BINDING_MEMBER(item, tags);
    SDK_BINDING_MEMBER(item, flag);
    sdk::binding::RecordBuilder<FuzzSummary> summary(registry, "FuzzSummary");
    SDK_BINDING_MEMBER(summary, name);
    SDK_BINDING_MEMBER(summary, total);

    endpoints.push_back(
        DeclareRoute(
            table, HttpMethod::kGet, "/items/{id}/{+rest}",
            [](std::string id, std::string rest, std::optional<uint32_t> level, bool verbose,
               std::optional<std::vector<int32_t>> values) {
              return FuzzSummary{id + rest, level.value_or(1) + (verbose ? 1u : 0u) +
                                                (values ? values->size() : 0u)};
            },
            InPath("id"), InPath("rest"), Anywhere("level"), InHeader("verbose"),
            InQuery("values"))
            .endpoint());
    endpoints.push_back(
        DeclareRoute(
            table, HttpMethod::kPost, "/items",
            [](const FuzzItem& request) -> HandlerResult<FuzzSummary> {
              if (request.name == "missing") return HttpError{404, "Item not found"};
              return FuzzSummary{request.name, request.count};
            },
            InBody("request"))
            .endpoint());
    endpoints.push_back(DeclareRoute(
                            table, HttpMethod::kNone, "/any{#frag}",
                            [](std::string frag, sdk::binding::BindingValue extra) {
                              return static_cast<uint64_t>(frag.size() + extra.Size());
                            },
                            InPath("frag"), Anywhere("extra"))
                            .endpoint());
  }
};

// Cuts the next field, up to a line feed, off the front of `input`.
std::string NextField(std::string_view& input) {
  const size_t end = input.find('\n');
  std::string field(input.substr(0, end));
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return field;
}

int64_t LiveBlocks() {
  const auto counters = sdk::host::GetPluginMemoryCounters();
  return static_cast<int64_t>(counters.allocations - counters.frees);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();  // lives for the process, as a plug-in's registry
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string selector = NextField(input);
  const std::string path = NextField(input);
  const std::string content_type = NextField(input);
  const std::string header_text = NextField(input);

  std::vector<std::string> header_parts;
  for (size_t start = 0; start <= header_text.size() && !header_text.empty();) {
    const size_t end = std::min(header_text.find(';', start), header_text.size());
    const std::string pair = header_text.substr(start, end - start);
    const size_t colon = pair.find(':');
    header_parts.push_back(pair.substr(0, colon));
    header_parts.push_back(colon == std::string::npos ? std::string() : pair.substr(colon + 1));
    start = end + 1;
  }
  std::vector<PluginHeader> headers;
  for (size_t i = 0; i + 1 < header_parts.size(); i += 2) {
    headers.push_back({header_parts[i].c_str(), header_parts[i + 1].c_str()});
  }
  // The body sits in a block of exactly its size, so that a read past it is caught.
  std::unique_ptr<char[]> body(new char[input.size() + 1]);
  if (!input.empty()) std::memcpy(body.get(), input.data(), input.size());

  PluginRequestRecord request{};
  request.method = selector.empty() ? 0 : static_cast<uint8_t>(selector[0]) % 10;
  const size_t endpoint =
      selector.size() < 2 ? 0 : static_cast<uint8_t>(selector[1]) % fixture->endpoints.size();
  request.endpoint_context = fixture->endpoints[endpoint]->context();
  request.path = path.c_str();
  request.content_type = content_type.c_str();
  request.headers = headers.empty() ? nullptr : headers.data();
  request.header_count = static_cast<uint32_t>(headers.size());
  request.body = input.empty() ? nullptr : body.get();
  request.body_size = static_cast<uint32_t>(input.size());

  const int64_t live_before = LiveBlocks();
  PluginResponseRecord response;
  std::memset(static_cast<void*>(&response), 0xAB, sizeof(response));
  HandleRequest(&response, &request);
  FUZZ_CHECK((response.error_flag != 0) == (response.error_text != nullptr));
  FUZZ_CHECK(response.release != nullptr);
  response.release(&response);
  FUZZ_CHECK(LiveBlocks() == live_before);
  return 0;
}
