// Fuzz target: event records from the host, delivered to the plug-in's subscription callback.
//
// A started plug-in (on a host that answers no request and drops what it is sent) subscribes to
// an exact resource, a resource pattern and a typed event. The input describes one event
// record: byte 0 picks its name (one of the subscribed names, an unknown one, none, or the
// bytes up to the next NUL), byte 1 its context (the plug-in, or null), and the rest a host
// value tree as arbitrary as a host could make it (tags, unknown tags included, nesting, keys,
// texts and blobs pointing into a NUL-terminated copy of the input). Properties: the callback
// never crashes, whatever it converts or drops; and every block of the counting allocator that
// the delivery took is given back.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sdk/binding/record_builder.h"
#include "sdk/host/plugin_base.h"
#include "sdk/host/plugin_memory.h"

namespace event_fuzz_records {
struct FuzzPing {
  std::string uri;
  uint32_t count = 0;
  std::vector<std::string> tags;
};
}  // namespace event_fuzz_records

namespace {

using event_fuzz_records::FuzzPing;

uint64_t g_deliveries = 0;

class FuzzPlugin final : public sdk::host::PluginBase {
 public:
  void RegisterApi() override {
    sdk::binding::RecordBuilder<FuzzPing> ping(registry(), "FuzzPing");
    SDK_BINDING_MEMBER(ping, uri, sdk::binding::kRequired);
    SDK_BINDING_MEMBER(ping, count);
    SDK_BINDING_MEMBER(ping, tags);
  }
  bool Initialize() override {
    SubscribeResource("/fuzz/v1/config", [](const sdk::host::PluginResourceEvent& event) {
      g_deliveries += event.data.Size() + 1;
    });
    SubscribeResource("/fuzz/*/items", [](const sdk::host::PluginResourceEvent& event) {
      g_deliveries += event.uri.size();
    });
    SubscribeResource<FuzzPing>("/fuzz/v1/typed",
                                [](sdk::host::PluginResourceEventType, const FuzzPing& ping) {
                                  g_deliveries += ping.tags.size();
                                });
    SetEventHandler<FuzzPing>(
        "OnFuzzPing", [](const FuzzPing& ping) { g_deliveries += ping.count; }, 0);
    return true;
  }
};

struct Fixture {
  HostCallTable table{};
  HostContext context{&table, 1};
  PluginLoadBlock block{};
  FuzzPlugin* plugin = new FuzzPlugin();
  Fixture() {
    table.HostRequest = [](const HostCallTable*, PluginResponseRecord* response,
                           const PluginRequestRecord*) {
      response->error_text = "Not found";
      response->status_code = 404;
    };
    block.api_major = 18;
    sdk::host::PluginBase::Register(plugin, &block, "fuzz");
    block.entry_table->Start(block.instance, &context);
  }
};

// Builds a host value tree from the input (as the host value target does).
class TreeBuilder {
 public:
  TreeBuilder(const uint8_t* data, size_t size)
      : data_(data), size_(size), text_(reinterpret_cast<const char*>(data), size) {}

  uint8_t Next() { return position_ < size_ ? data_[position_++] : 0; }
  const char* TextAt() { return text_.c_str() + (size_ == 0 ? 0 : Next() % (size_ + 1)); }

  HostValue Build(int depth) {
    HostValue value{};
    const uint8_t selector = Next();
    uint32_t tag = selector % 12;
    if (tag == 11) tag = 11 + Next();
    if ((tag == kHostValueCollection || tag == kHostValueStructure) && depth >= 40) {
      tag = kHostValueUnsigned;
    }
    value.tag = tag;
    switch (tag) {
      case kHostValueBool:
        value.payload.boolean = Next() & 1;
        break;
      case kHostValueSigned:
      case kHostValueUnsigned:
      case kHostValueFloat:
        for (uint8_t& byte : value.payload.raw) byte = Next();
        break;
      case kHostValueStringBorrowed:
      case kHostValueStringOwned:
        value.payload.span.data = TextAt();
        value.payload.span.count = Next();
        break;
      case kHostValueBlobBorrowed:
      case kHostValueBlobOwned: {
        const size_t offset = size_ == 0 ? 0 : Next() % (size_ + 1);
        value.payload.span.data = data_ + offset;
        value.payload.span.count = static_cast<uint32_t>(Next() % (size_ - offset + 1));
        break;
      }
      case kHostValueCollection: {
        const uint32_t count = position_ < size_ ? Next() % 6 : 0;
        auto& array = values_.emplace_back(count);
        for (uint32_t i = 0; i < count; ++i) array[i] = Build(depth + 1);
        value.payload.span.data = array.data();
        value.payload.span.count = count;
        break;
      }
      case kHostValueStructure: {
        const uint32_t count = position_ < size_ ? Next() % 6 : 0;
        auto& array = entries_.emplace_back(count);
        for (uint32_t i = 0; i < count; ++i) {
          // Mostly the keys a resource event has, so that conversions get far.
          const uint8_t key = Next();
          static const char* const kKeys[] = {"uri", "eventType", "data", "count", "tags"};
          array[i].key = key < 200 ? kKeys[key % 5] : (key & 1 ? nullptr : TextAt());
          array[i].value = Build(depth + 1);
        }
        value.payload.span.data = array.data();
        value.payload.span.count = count;
        break;
      }
      default:
        break;
    }
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  std::string text_;
  std::deque<std::vector<HostValue>> values_;
  std::deque<std::vector<HostStructureEntry>> entries_;
};

int64_t LiveBlocks() {
  const auto counters = sdk::host::GetPluginMemoryCounters();
  return static_cast<int64_t>(counters.allocations - counters.frees);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();  // lives for the process, as a loaded plug-in
  TreeBuilder builder(data, size);
  static const std::string kNames[] = {sdk::host::EventNameFor("/fuzz/v1/config"),
                                       sdk::host::EventNameFor("/fuzz/*/items"),
                                       sdk::host::EventNameFor("/fuzz/v1/typed"),
                                       "OnFuzzPing",
                                       "OnServiceProxyAsyncEvent",
                                       "OnServiceProxyUuidEvent",
                                       "OnNothing"};
  const uint8_t name_selector = builder.Next();
  const uint8_t context_selector = builder.Next();
  HostEventRecord event{};
  std::string own_name;
  if (name_selector < 7 * 30) {
    event.name = kNames[name_selector % 7].c_str();
  } else if (name_selector < 250) {
    own_name = builder.TextAt();
    event.name = own_name.c_str();
  }  // else: no name at all
  event.context = context_selector < 240 ? fixture->plugin : nullptr;
  event.flags = builder.Next();
  event.payload = builder.Build(0);

  const int64_t live_before = LiveBlocks();
  sdk::host::PluginBase::DeliverEvent(&event);
  FUZZ_CHECK(LiveBlocks() == live_before);
  return 0;
}
