// Release, to-host and from-host of host values (see host_value.h), each an explicit loop over
// a work stack of open arrays.
#include "sdk/binding/host_value.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/nesting_limit.h"
#include "sdk/host/plugin_memory.h"
#include "sdk/text/format_message.h"

namespace sdk::binding {
namespace {

using sdk::host::PluginAllocate;
using sdk::host::PluginDuplicateText;
using sdk::host::PluginFree;

constexpr std::string_view kIncompatibleType =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible type "
    "'%2'.";
constexpr std::string_view kTooDeep =
    "Couldn't assign value to '%1' of type object because the input is nested deeper than %2 "
    "levels.";

void SetSpan(HostValue& host, uint32_t tag, const void* data, uint32_t count) {
  host.tag = tag;
  host.payload.span.data = data;
  host.payload.span.count = count;
}

// Allocates a zero-filled array of `count` items of `size` bytes; null when it cannot be had.
void* AllocateZeroed(size_t count, size_t size) {
  if (count > SIZE_MAX / size) return nullptr;
  void* block = PluginAllocate(count * size);
  if (block != nullptr) std::memset(block, 0, count * size);
  return block;
}

void Fail(HostErrorRecord& error, const std::string& message) {
  ReleaseHostValue(error.value);
  PluginFree(error.error_text);
  error.error_text = PluginDuplicateText(message);
  error.error_flag = 1;
}

}  // namespace

std::string_view HostValueTagName(uint32_t tag) {
  switch (tag) {
    case kHostValueBool:
      return "bool";
    case kHostValueSigned:
      return "signed";
    case kHostValueUnsigned:
      return "unsigned";
    case kHostValueFloat:
      return "float";
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
      return "string";
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      return "blob";
    case kHostValueCollection:
      return "collection";
    case kHostValueStructure:
      return "structure";
    default:
      return "";
  }
}

void ReleaseHostValue(HostValue& value) {
  // An open array: the elements of a collection or the entries of a structure.
  struct Frame {
    HostValue* values;
    HostStructureEntry* entries;
    uint32_t count;
    uint32_t next;
  };
  std::vector<Frame> stack;
  // Frees a value's own buffer, or opens its array; leaves the value all zero either way.
  auto release = [&stack](HostValue& item) {
    void* data = const_cast<void*>(item.payload.span.data);
    const uint32_t count = item.payload.span.count;
    switch (item.tag) {
      case kHostValueStringOwned:
      case kHostValueBlobOwned:
        PluginFree(data);
        break;
      case kHostValueCollection:
        if (data != nullptr) stack.push_back({static_cast<HostValue*>(data), nullptr, count, 0});
        break;
      case kHostValueStructure:
        if (data != nullptr) {
          stack.push_back({nullptr, static_cast<HostStructureEntry*>(data), count, 0});
        }
        break;
      default:
        break;
    }
    std::memset(&item, 0, sizeof item);
  };
  release(value);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      PluginFree(frame.values != nullptr ? static_cast<void*>(frame.values)
                                         : static_cast<void*>(frame.entries));
      stack.pop_back();
      continue;
    }
    const uint32_t index = frame.next++;
    if (frame.values != nullptr) {
      release(frame.values[index]);  // may grow the stack: `frame` is not used afterwards
    } else {
      HostStructureEntry& entry = frame.entries[index];
      if (entry.key_owned) PluginFree(const_cast<char*>(entry.key));
      entry.key = nullptr;
      entry.key_owned = 0;
      release(entry.value);
    }
  }
}

void ReleaseHostErrorRecord(HostErrorRecord& record) {
  ReleaseHostValue(record.value);
  PluginFree(record.error_text);
  record.error_text = nullptr;
  record.error_flag = 0;
}

bool ToHostValue(HostValue& host, const BindingValue& value, const BindingRegistry* registry) {
  ReleaseHostValue(host);
  // An open container whose items are being converted into the array made for it.
  struct Frame {
    const BindingValue* source;
    HostValue* values;            // for a collection
    HostStructureEntry* entries;  // for a structure
    uint32_t next;
  };
  std::vector<Frame> stack;
  bool complete = true;
  // Converts one value; a non-empty container gets its zero-filled array and a frame.
  auto convert = [&](const BindingValue& source, HostValue& out) {
    switch (source.kind()) {
      case ValueKind::kEmpty:
        break;
      case ValueKind::kBool:
        out.tag = kHostValueBool;
        out.payload.boolean = source.GetBool() ? 1 : 0;
        break;
      case ValueKind::kSigned:
        out.tag = kHostValueSigned;
        out.payload.signed_value = source.GetSigned();
        break;
      case ValueKind::kUnsigned:
        out.tag = kHostValueUnsigned;
        out.payload.unsigned_value = source.GetUnsigned();
        break;
      case ValueKind::kFloat:
        out.tag = kHostValueFloat;
        out.payload.float_value = source.GetFloat();
        break;
      case ValueKind::kString: {
        const std::string_view text = source.GetString();
        char* copy = PluginDuplicateText(text);
        if (copy == nullptr) {
          complete = false;
          break;
        }
        SetSpan(out, kHostValueStringOwned, copy, static_cast<uint32_t>(text.size()));
        break;
      }
      case ValueKind::kBlob: {
        const std::span<const uint8_t> bytes = source.GetBlob();
        void* copy = PluginAllocate(bytes.size());
        if (copy == nullptr) {
          complete = false;
          break;
        }
        if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
        SetSpan(out, kHostValueBlobOwned, copy, static_cast<uint32_t>(bytes.size()));
        break;
      }
      case ValueKind::kEnum: {
        const EnumValue& number = source.GetEnum();
        const std::optional<std::string_view> name =
            registry != nullptr ? registry->EnumeratorName(number.type, number.value)
                                : std::nullopt;
        if (name.has_value()) {
          char* copy = PluginDuplicateText(*name);
          if (copy == nullptr) {
            complete = false;
            break;
          }
          SetSpan(out, kHostValueStringOwned, copy, static_cast<uint32_t>(name->size()));
        } else {
          out.tag = kHostValueSigned;
          out.payload.signed_value = number.value;
        }
        break;
      }
      case ValueKind::kCollection:
      case ValueKind::kStructure: {
        const bool structure = source.kind() == ValueKind::kStructure;
        const size_t count = source.Size();
        void* array =
            AllocateZeroed(count, structure ? sizeof(HostStructureEntry) : sizeof(HostValue));
        if (array == nullptr) {
          complete = false;
          break;
        }
        SetSpan(out, structure ? kHostValueStructure : kHostValueCollection, array,
                static_cast<uint32_t>(count));
        stack.push_back({&source, structure ? nullptr : static_cast<HostValue*>(array),
                         structure ? static_cast<HostStructureEntry*>(array) : nullptr, 0});
        break;
      }
    }
  };
  convert(value, host);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.source->Size()) {
      stack.pop_back();
      continue;
    }
    const uint32_t index = frame.next++;
    if (frame.values != nullptr) {
      convert(frame.source->At(index), frame.values[index]);  // `frame` may move
    } else {
      HostStructureEntry& entry = frame.entries[index];
      entry.key = PluginDuplicateText(frame.source->MemberNameAt(index));
      if (entry.key == nullptr) {
        complete = false;
      } else {
        entry.key_owned = 1;
      }
      convert(frame.source->MemberAt(index), entry.value);
    }
  }
  return complete;
}

bool FromHostValue(HostErrorRecord& error, BindingValue& value, const HostValue& host,
                   std::string_view name) {
  // An open host array whose items are being converted into `target`.
  struct Frame {
    const HostValue* values;
    const HostStructureEntry* entries;
    uint32_t count;
    uint32_t next;
    BindingValue* target;
  };
  std::vector<Frame> stack;
  std::string message;
  // Converts one host value into `target`; a non-empty array gets a frame. False on failure,
  // with `message` set.
  auto convert = [&](const HostValue& item, BindingValue& target) -> bool {
    const void* data = item.payload.span.data;
    const uint32_t count = item.payload.span.count;
    switch (item.tag) {
      case kHostValueEmpty:
        target.Clear();
        return true;
      case kHostValueBool:
        target.SetBool(item.payload.boolean != 0);
        return true;
      case kHostValueSigned:
        target.SetSigned(item.payload.signed_value);
        return true;
      case kHostValueUnsigned:
        target.SetUnsigned(item.payload.unsigned_value);
        return true;
      case kHostValueFloat:
        target.SetFloat(item.payload.float_value);
        return true;
      case kHostValueStringBorrowed:
      case kHostValueStringOwned: {
        // The text ends at its first NUL; the length word is not used.
        const char* text = static_cast<const char*>(data);
        if (text != nullptr && std::strlen(text) > kMaxBlobSize) {
          message = kLengthErrorMessage;
          return false;
        }
        target.SetString(text);
        return true;
      }
      case kHostValueBlobBorrowed:
      case kHostValueBlobOwned:
        if (count > kMaxBlobSize) {
          message = kLengthErrorMessage;
          return false;
        }
        target.SetBlob(data, data != nullptr ? count : 0);
        return true;
      case kHostValueCollection:
      case kHostValueStructure: {
        const bool structure = item.tag == kHostValueStructure;
        if (stack.size() >= kMaxNestingDepth) {
          message = sdk::text::FormatMessage(kTooDeep, name, kMaxNestingDepth);
          return false;
        }
        if (count > kMaxCollectionSize) {
          message = kLengthErrorMessage;
          return false;
        }
        target.Clear();
        if (structure) {
          target.MakeStructure();
        } else {
          target.MakeCollection();
          target.Reserve(data != nullptr ? count : 0);
        }
        if (data != nullptr && count != 0) {
          stack.push_back({structure ? nullptr : static_cast<const HostValue*>(data),
                           structure ? static_cast<const HostStructureEntry*>(data) : nullptr,
                           count, 0, &target});
        }
        return true;
      }
      default:
        message = sdk::text::FormatMessage(kIncompatibleType, name, HostValueTagName(item.tag));
        return false;
    }
  };
  bool ok = convert(host, value);
  while (ok && !stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      stack.pop_back();
      continue;
    }
    const uint32_t index = frame.next++;
    BindingValue& container = *frame.target;
    if (frame.values != nullptr) {
      ok = convert(frame.values[index], container.Element(index));  // `frame` may move
    } else {
      const HostStructureEntry& entry = frame.entries[index];
      const std::string_view key = entry.key != nullptr ? entry.key : "";
      ok = convert(entry.value, container.Member(key));
    }
  }
  if (!ok) Fail(error, message);
  return ok;
}

}  // namespace sdk::binding
