// Fuzz target: host values from the host into a BindingValue, and back.
//
// The fuzz bytes describe a host value tree (a tag byte, then what the tag needs); texts and
// blobs point into a NUL-terminated copy of the input and arrays live in the harness, so the
// tree is as arbitrary as a host could make it while every pointer stays valid. The target
// checks that from-host either fails with a message or gives a value that leaves for the host
// and comes back unchanged, and that every block of the counting allocator is freed again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sdk/binding/host_value.h"
#include "sdk/host/plugin_memory.h"

namespace {

class TreeBuilder {
 public:
  TreeBuilder(const uint8_t* data, size_t size)
      : data_(data), size_(size), text_(reinterpret_cast<const char*>(data), size) {}

  // Builds one value; past this depth containers turn into scalars (the conversion's own limit
  // is 512, so both sides of it are reached).
  HostValue Build(int depth) {
    HostValue value{};
    uint8_t selector = Next();
    uint32_t tag = selector % 12;
    if (tag == 11) tag = 11 + Next();  // an unknown tag
    if ((tag == kHostValueCollection || tag == kHostValueStructure) && depth >= 600) {
      tag = kHostValueSigned;
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
        // The text runs to the next NUL of the input copy, which always ends with one.
        value.payload.span.data = text_.c_str() + Offset();
        value.payload.span.count = Next();
        break;
      case kHostValueBlobBorrowed:
      case kHostValueBlobOwned: {
        const size_t offset = Offset();
        value.payload.span.data = data_ + offset;
        value.payload.span.count = static_cast<uint32_t>(Next() % (size_ - offset + 1));
        break;
      }
      case kHostValueCollection: {
        const uint32_t count = Count(selector);
        auto& array = values_.emplace_back(count);
        for (uint32_t i = 0; i < count; ++i) array[i] = Build(depth + 1);
        value.payload.span.data = array.data();
        value.payload.span.count = count;
        break;
      }
      case kHostValueStructure: {
        const uint32_t count = Count(selector);
        auto& array = entries_.emplace_back(count);
        for (uint32_t i = 0; i < count; ++i) {
          array[i].key = (Next() & 1) ? nullptr : text_.c_str() + Offset();
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
  uint8_t Next() { return position_ < size_ ? data_[position_++] : 0; }
  size_t Offset() { return size_ == 0 ? 0 : Next() % (size_ + 1); }
  // Mostly one element, so that a short input can nest deep; otherwise up to seven.
  uint32_t Count(uint8_t selector) {
    if (position_ >= size_) return 0;
    return (selector & 0x80) ? Next() % 8 : 1;
  }

  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  std::string text_;
  std::deque<std::vector<HostValue>> values_;
  std::deque<std::vector<HostStructureEntry>> entries_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sdk::binding::BindingValue;
  using sdk::binding::HostErrorRecord;
  const sdk::host::PluginMemoryCounters before = sdk::host::GetPluginMemoryCounters();
  {
    TreeBuilder builder(data, size);
    const HostValue host = builder.Build(0);
    HostErrorRecord error;
    BindingValue value;
    if (!sdk::binding::FromHostValue(error, value, host, "fuzz")) {
      FUZZ_CHECK(error.error_text != nullptr && error.error_flag == 1);
      FUZZ_CHECK(std::strncmp(error.error_text, "Couldn't assign value to 'fuzz'", 31) == 0 ||
                 std::string_view(error.error_text) == sdk::binding::kLengthErrorMessage);
      sdk::binding::ReleaseHostErrorRecord(error);
    } else {
      FUZZ_CHECK(error.error_text == nullptr && error.error_flag == 0);
      HostValue out{};
      FUZZ_CHECK(sdk::binding::ToHostValue(out, value, nullptr));
      BindingValue again;
      FUZZ_CHECK(sdk::binding::FromHostValue(error, again, out, "fuzz"));
      FUZZ_CHECK(again.DebugString() == value.DebugString());  // a NaN equals itself
      sdk::binding::ReleaseHostValue(out);
      static const HostValue kZero{};
      FUZZ_CHECK(std::memcmp(&out, &kZero, sizeof out) == 0);
    }
  }
  const sdk::host::PluginMemoryCounters after = sdk::host::GetPluginMemoryCounters();
  FUZZ_CHECK(after.allocations - before.allocations == after.frees - before.frees);
  FUZZ_CHECK(after.bytes_allocated - before.bytes_allocated ==
             after.bytes_freed - before.bytes_freed);
  return 0;
}
