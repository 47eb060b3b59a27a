// Fuzz target: requests for the real sanitizer plug-in's three endpoints.
//
// The plug-in object of nbx-be-sanitizer.so (SanitizerPlugin, linked here rather than loaded,
// so that its code is instrumented) is registered and started once on a small host written
// against the C ABI: it serves the bundled sample assets as streamed responses in chunks of
// 1000 bytes, the configuration {"Level1Filter":"zorblax"} and the region and locale
// {"region":"", "locale":"en_US"}, so the first engine is built during Start. Each input is one
// request through the request entry that the API description gives for the endpoint:
//   byte 0   the endpoint (status, containsSanitized, sanitize), by its value modulo 3;
//   byte 1   the method: below 200 the endpoint's own, otherwise the value modulo 10;
//   byte 2   the content type: below 200 one of the known ones (JSON, JSON API, YAML for bodies
//            and for arguments, MessagePack, octet stream, text, none), otherwise the bytes up to
//            the next line feed;
//   the rest the body (JSON, YAML and MessagePack documents, invalid UTF-8 and anything else).
// Properties: the entry never crashes; a response carries an error text exactly when its error
// flag is set, and its release function; releasing it gives back every block it held; an
// answer without error carries a structure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/service/sanitizer_plugin.h"
#include "fuzz/fuzz_check.h"
#include "sdk/host/plugin_abi.h"
#include "sdk/host/plugin_memory.h"

namespace {

constexpr uint32_t kChunk = 1000;

// The sample assets by name, read once.
std::map<std::string, std::string, std::less<>>& Assets() {
  static auto* const assets = [] {
    auto* const files = new std::map<std::string, std::string, std::less<>>();
    for (const auto& entry : std::filesystem::directory_iterator(SANITIZER_SAMPLE_ASSETS)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      (*files)[entry.path().filename().string()] =
          std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }
    return files;
  }();
  return *assets;
}

// One streamed asset being read.
struct AssetStream {
  const std::string* bytes;
  size_t position = 0;
};

uint8_t ReadAsset(void* context, void* buffer, uint32_t* length, uint8_t* more) {
  auto* const stream = static_cast<AssetStream*>(context);
  const size_t left = stream->bytes->size() - stream->position;
  const size_t count = std::min<size_t>({*length, kChunk, left});
  std::memcpy(buffer, stream->bytes->data() + stream->position, count);
  stream->position += count;
  *length = static_cast<uint32_t>(count);
  *more = stream->position < stream->bytes->size() ? 1 : 0;
  return 1;
}

void CloseAsset(void* context) { delete static_cast<AssetStream*>(context); }

// The two documents the host serves: structures of text members.
struct Documents {
  HostStructureEntry configuration_entries[1] = {};
  HostStructureEntry region_locale_entries[2] = {};
  HostValue configuration{};
  HostValue region_locale{};

  Documents() {
    configuration = TextStructure(configuration_entries, {{"Level1Filter", "zorblax"}});
    region_locale = TextStructure(region_locale_entries, {{"region", ""}, {"locale", "en_US"}});
  }

  static HostValue TextStructure(
      HostStructureEntry* entries,
      std::initializer_list<std::pair<const char*, const char*>> members) {
    size_t i = 0;
    for (const auto& [key, text] : members) {
      entries[i].key = key;
      entries[i].value.tag = kHostValueStringBorrowed;
      entries[i].value.payload.span.data = text;
      entries[i].value.payload.span.count = static_cast<uint32_t>(std::strlen(text));
      ++i;
    }
    HostValue value{};
    value.tag = kHostValueStructure;
    value.payload.span.data = entries;
    value.payload.span.count = static_cast<uint32_t>(members.size());
    return value;
  }
};

void ServeRequest(const HostCallTable* /*table*/, PluginResponseRecord* response,
                  const PluginRequestRecord* request) {
  static const Documents* const documents = new Documents();  // lives for the process
  const std::string_view path = request->path != nullptr ? request->path : "";
  constexpr std::string_view kAssets = sanitizer::service::kAssetPathPrefix;
  if (path == "/jat-platform-config/v1/namespaces/Sanitizer") {
    response->result = documents->configuration;
  } else if (path == "/pavoclient/region-locale") {
    response->result = documents->region_locale;
  } else if (path.substr(0, kAssets.size()) == kAssets &&
             Assets().count(path.substr(kAssets.size())) != 0) {
    const std::string& bytes = Assets().find(path.substr(kAssets.size()))->second;
    response->stream_read = &ReadAsset;
    response->stream_close = &CloseAsset;
    response->stream_context = new AssetStream{&bytes};
    response->stream_size = static_cast<uint32_t>(bytes.size());
  } else {
    response->error_text = "Not found";
    response->error_flag = 1;
    response->status_code = 404;
  }
}

struct Fixture {
  HostCallTable table{};
  HostContext context{&table, 1};
  PluginLoadBlock block{};
  const PluginEndpointRecord* endpoints = nullptr;
  uint32_t endpoint_count = 0;

  Fixture() {
    table.HostRequest = &ServeRequest;
    block.api_major = 18;
    sdk::host::PluginBase::Register(new sanitizer::service::SanitizerPlugin(), &block,
                                    sanitizer::service::kPluginShortName);
    FUZZ_CHECK(block.entry_table != nullptr);
    FUZZ_CHECK(block.entry_table->Start(block.instance, &context) != 0);
    endpoints = block.api_description->endpoints;
    endpoint_count = block.api_description->endpoint_count;
    FUZZ_CHECK(endpoint_count == 3);
    FUZZ_CHECK(Ready());
  }

  // Whether the status resource reports an engine: the assets and both documents were read.
  bool Ready() const {
    PluginRequestRecord request{};
    request.method = kPluginMethodGet;
    request.path = endpoints[0].path_template;
    request.endpoint_context = endpoints[0].function.endpoint_context;
    PluginResponseRecord response{};
    endpoints[0].request_entry(&response, &request);
    bool ready = false;
    if (response.error_text == nullptr && response.result.tag == kHostValueStructure) {
      const auto* entries =
          static_cast<const HostStructureEntry*>(response.result.payload.span.data);
      for (uint32_t i = 0; i < response.result.payload.span.count; ++i) {
        const HostValue value = entries[i].value;
        if (std::string_view(entries[i].key) == "ready") ready = value.payload.boolean != 0;
      }
    }
    response.release(&response);
    return ready;
  }
};

int64_t LiveBlocks() {
  const auto counters = sdk::host::GetPluginMemoryCounters();
  return static_cast<int64_t>(counters.allocations - counters.frees);
}

const char* const kContentTypes[] = {
    "application/json",
    "application/vnd.api+json",
    "application/x-yaml",
    "text/x-yaml",
    "application/x-msgpack",
    "application/octet-stream",
    "text/plain",
    "",
    nullptr,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();  // lives for the process, as a started plug-in
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto next = [&input]() -> uint8_t {
    if (input.empty()) return 0;
    const auto byte = static_cast<uint8_t>(input.front());
    input.remove_prefix(1);
    return byte;
  };
  const PluginEndpointRecord& endpoint = fixture->endpoints[next() % fixture->endpoint_count];
  const uint8_t method = next();
  const uint8_t content_selector = next();
  std::string own_content_type;
  const char* content_type = nullptr;
  if (content_selector < 200) {
    content_type = kContentTypes[content_selector % std::size(kContentTypes)];
  } else {
    const size_t end = input.find('\n');
    own_content_type = std::string(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    content_type = own_content_type.c_str();
  }
  // The body sits in a block of exactly its size, so that a read past it is caught.
  std::unique_ptr<char[]> body(new char[input.size() + 1]);
  if (!input.empty()) std::memcpy(body.get(), input.data(), input.size());

  PluginRequestRecord request{};
  request.method = method < 200 ? endpoint.method : method % 10u;
  request.path = endpoint.path_template;
  request.endpoint_context = endpoint.function.endpoint_context;
  request.content_type = content_type;
  request.body = input.empty() ? nullptr : body.get();
  request.body_size = static_cast<uint32_t>(input.size());

  const int64_t live_before = LiveBlocks();
  PluginResponseRecord response;
  std::memset(static_cast<void*>(&response), 0xAB, sizeof(response));
  endpoint.request_entry(&response, &request);
  FUZZ_CHECK((response.error_flag != 0) == (response.error_text != nullptr));
  FUZZ_CHECK(response.error_flag != 0 || response.result.tag == kHostValueStructure);
  FUZZ_CHECK(response.release != nullptr);
  response.release(&response);
  FUZZ_CHECK(LiveBlocks() == live_before);
  return 0;
}
