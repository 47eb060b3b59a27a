// Fuzz target: a request record from the host, through HandleRequest to a released response.
//
// The input is cut into fields at line feeds: a selector line (byte 0 picks the method code,
// byte 1 the endpoint, and the rest lists typed arguments, see below), the path with its query,
// the content type, the headers ("name:value" pairs separated by ";"), and the rest of the input
// is the body. The endpoints cover path placeholders of the three kinds, query and header
// parameters, index paths, struct bodies, typed results, a custom method and a request context.
// Properties: the entry never crashes, a response either carries an error text with its flag or
// a result, and releasing the response gives back every block it held.
//
// Typed arguments: the selector's bytes after the first two, split at ",". A piece "name=code"
// is named, any other piece positional with the whole piece as its code; the code's first byte
// picks the host value's tag (its value modulo 12, so tag 11 is one no reader knows) and the
// rest is its text: a number for the numeric tags, the bytes of a text or blob, the one element
// of a collection or the key of a one-member structure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
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
            InPath("id"), InPath("rest"), Anywhere("level"), InHeader("verbose"), InQuery("values"))
            .endpoint());
    endpoints.push_back(DeclareRoute(
                            table, HttpMethod::kPost, "/items",
                            [](const FuzzItem& request) -> HandlerResult<FuzzSummary> {
                              if (request.name == "missing")
                                return HttpError{404, "Item not found"};
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
    EndpointBuilder purge = DeclareEndpoint(
        table, "PurgeCacheByKey",
        [](const sdk::binding::BindingRequestContext* context, std::string key,
           std::optional<int64_t> depth) {
          return FuzzSummary{key + context->custom_method,
                             context->headers.size() + static_cast<uint64_t>(depth.value_or(0))};
        });
    purge.Path("/cache/{+key}").CustomMethod("PURGE");
    purge.Parameters()
        .Parameter("key", ArgumentLocation::kPath)
        .Parameter("depth", ArgumentLocation::kQuery);
    endpoints.push_back(purge.endpoint());
  }
};

// Cuts the next field, up to a line feed, off the front of `input`.
std::string NextField(std::string_view& input) {
  const size_t end = input.find('\n');
  std::string field(input.substr(0, end));
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return field;
}

// The typed arguments of one input and everything their host values point to.
class TypedArguments {
 public:
  explicit TypedArguments(std::string_view list) {
    while (!list.empty()) {
      const size_t comma = list.find(',');
      Add(list.substr(0, comma));
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  const PluginTypedArgument* data() const { return entries_.empty() ? nullptr : entries_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(entries_.size()); }

 private:
  void Add(std::string_view piece) {
    const size_t equals = piece.find('=');
    const char* name = nullptr;
    if (equals != std::string_view::npos) {
      name = Keep(piece.substr(0, equals)).c_str();
      piece.remove_prefix(equals + 1);
    }
    const uint32_t tag = piece.empty() ? 0 : static_cast<uint8_t>(piece[0]) % 12;
    const std::string& text = Keep(piece.empty() ? piece : piece.substr(1));
    entries_.push_back({name, Value(tag, text)});
  }

  const std::string& Keep(std::string_view text) { return texts_.emplace_back(text); }

  HostValue Value(uint32_t tag, const std::string& text) {
    HostValue value{};
    value.tag = tag;
    switch (tag) {
      case kHostValueBool:
        value.payload.boolean = text.empty() ? 0 : 1;
        break;
      case kHostValueSigned:
        value.payload.signed_value = std::strtoll(text.c_str(), nullptr, 0);
        break;
      case kHostValueUnsigned:
        value.payload.unsigned_value = std::strtoull(text.c_str(), nullptr, 0);
        break;
      case kHostValueFloat:
        value.payload.float_value = std::strtod(text.c_str(), nullptr);
        break;
      case kHostValueStringBorrowed:
      case kHostValueStringOwned:
      case kHostValueBlobBorrowed:
      case kHostValueBlobOwned:
        value.payload.span.data = text.c_str();
        value.payload.span.count = static_cast<uint32_t>(text.size());
        break;
      case kHostValueCollection: {
        HostValue& element = elements_.emplace_back(Value(kHostValueStringBorrowed, text));
        value.payload.span.data = &element;
        value.payload.span.count = 1;
        break;
      }
      case kHostValueStructure: {
        HostStructureEntry& entry = members_.emplace_back();
        entry.key = text.c_str();
        entry.value = Value(kHostValueSigned, text);
        entry.key_owned = 0;
        value.payload.span.data = &entry;
        value.payload.span.count = 1;
        break;
      }
      default:  // empty, and the unknown tag 11 with a zero payload
        break;
    }
    return value;
  }

  // Deques keep the addresses of their elements as they grow.
  std::deque<std::string> texts_;
  std::deque<HostValue> elements_;
  std::deque<HostStructureEntry> members_;
  std::vector<PluginTypedArgument> entries_;
};

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

  const TypedArguments typed(selector.size() > 2 ? std::string_view(selector).substr(2)
                                                 : std::string_view());

  PluginRequestRecord request{};
  request.method = selector.empty() ? 0 : static_cast<uint8_t>(selector[0]) % 10;
  const size_t endpoint =
      selector.size() < 2 ? 0 : static_cast<uint8_t>(selector[1]) % fixture->endpoints.size();
  request.endpoint_context = fixture->endpoints[endpoint]->context();
  request.path = path.c_str();
  request.arguments = typed.data();
  request.argument_count = typed.size();
  request.custom_method = "PURGE";
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
