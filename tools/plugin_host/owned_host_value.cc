// Host values on the host's side: reading in place, deep copies with checks, and the host's own
// owned trees (see owned_host_value.h).
#include "tools/plugin_host/owned_host_value.h"

#include <cstring>
#include <limits>
#include <utility>

namespace plugin_host {
namespace {

const HostValue kEmptyValue{};

// Every buffer of an OwnedHostValue comes from new[] of one of these types.
char* NewText(std::string_view text) {
  char* buffer = new char[text.size() + 1];
  if (!text.empty()) std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return buffer;
}

void SetSpan(HostValue& value, uint32_t tag, const void* data, size_t count) {
  value.tag = tag;
  value.payload.span.data = data;
  value.payload.span.count = static_cast<uint32_t>(count);
}

// Frees what an owned tree holds and leaves the record empty. Only trees built by this file
// reach here, so every tag is one it makes.
void FreeOwned(HostValue& value) {
  const HostValueSpan span = value.payload.span;
  switch (value.tag) {
    case kHostValueStringOwned:
    case kHostValueBlobOwned:
      delete[] static_cast<const char*>(span.data);
      break;
    case kHostValueCollection: {
      auto* const elements = static_cast<HostValue*>(const_cast<void*>(span.data));
      for (uint32_t i = 0; elements != nullptr && i < span.count; ++i) FreeOwned(elements[i]);
      delete[] elements;
      break;
    }
    case kHostValueStructure: {
      auto* const entries = static_cast<HostStructureEntry*>(const_cast<void*>(span.data));
      for (uint32_t i = 0; entries != nullptr && i < span.count; ++i) {
        if (entries[i].key_owned != 0) delete[] entries[i].key;
        FreeOwned(entries[i].value);
      }
      delete[] entries;
      break;
    }
    default:
      break;
  }
  value = HostValue{};
}

// What a copy may still allocate.
struct Budget {
  uint64_t remaining;
  bool Take(uint64_t bytes) {
    if (bytes > remaining) return false;
    remaining -= bytes;
    return true;
  }
};

struct CopyState {
  uint32_t max_depth;
  Budget budget;
  std::string error;  // what went wrong
  std::string where;  // the path to it, built while the recursion unwinds
};

std::string TooLarge(const CopyLimits& limits) {
  return "a value larger than the limit of " + std::to_string(limits.max_bytes) + " bytes";
}

// Copies `in` into the empty `out`. On failure `out` holds a partial copy that FreeOwned can
// still free (arrays are zero-filled before their items are copied).
bool CopyInto(HostValue& out, const HostValue& in, uint32_t depth, CopyState& state,
              const CopyLimits& limits) {
  const HostValueSpan span = in.payload.span;
  switch (in.tag) {
    case kHostValueEmpty:
      return true;
    case kHostValueBool:
      out.tag = kHostValueBool;
      out.payload.boolean = in.payload.boolean != 0 ? 1 : 0;
      return true;
    case kHostValueSigned:
    case kHostValueUnsigned:
    case kHostValueFloat:
      out.tag = in.tag;
      out.payload = in.payload;
      return true;
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned: {
      const bool text = in.tag <= kHostValueStringOwned;
      if (span.data == nullptr && span.count != 0) {
        state.error = std::string("a null pointer for ") + (text ? "a text of " : "a blob of ") +
                      std::to_string(span.count) + " bytes";
        return false;
      }
      if (!state.budget.Take(uint64_t{span.count} + 1)) {
        state.error = TooLarge(limits);
        return false;
      }
      const std::string_view bytes(static_cast<const char*>(span.data), span.count);
      SetSpan(out, text ? kHostValueStringOwned : kHostValueBlobOwned, NewText(bytes), span.count);
      return true;
    }
    case kHostValueCollection:
    case kHostValueStructure: {
      const bool collection = in.tag == kHostValueCollection;
      if (span.data == nullptr && span.count != 0) {
        state.error = std::string("a null pointer for a ") +
                      (collection ? "collection of " : "structure of ") +
                      std::to_string(span.count) + " items";
        return false;
      }
      if (depth >= state.max_depth) {
        state.error = "values nested deeper than " + std::to_string(state.max_depth);
        return false;
      }
      const size_t item_size = collection ? sizeof(HostValue) : sizeof(HostStructureEntry);
      if (!state.budget.Take(uint64_t{span.count} * item_size)) {
        state.error = TooLarge(limits);
        return false;
      }
      if (collection) {
        auto* const elements = span.count == 0 ? nullptr : new HostValue[span.count]();
        SetSpan(out, kHostValueCollection, elements, span.count);
        const auto* const source = static_cast<const HostValue*>(span.data);
        for (uint32_t i = 0; i < span.count; ++i) {
          if (!CopyInto(elements[i], source[i], depth + 1, state, limits)) {
            state.where.insert(0, "[" + std::to_string(i) + "]");
            return false;
          }
        }
        return true;
      }
      auto* const entries = span.count == 0 ? nullptr : new HostStructureEntry[span.count]();
      SetSpan(out, kHostValueStructure, entries, span.count);
      const auto* const source = static_cast<const HostStructureEntry*>(span.data);
      for (uint32_t i = 0; i < span.count; ++i) {
        const char* const key = source[i].key;
        const std::string_view key_text = key == nullptr ? std::string_view() : key;
        if (!state.budget.Take(key_text.size() + 1)) {
          state.error = TooLarge(limits);
          return false;
        }
        entries[i].key = NewText(key_text);
        entries[i].key_owned = 1;
        const HostValue member = source[i].value;
        if (!CopyInto(entries[i].value, member, depth + 1, state, limits)) {
          state.where.insert(0, "." + std::string(key_text));
          return false;
        }
      }
      return true;
    }
    default:
      state.error = "unknown host value tag " + std::to_string(in.tag);
      return false;
  }
}

bool CheckAt(const HostValue& in, uint32_t depth, uint32_t max_depth, std::string& error,
             std::string& where) {
  const HostValueSpan span = in.payload.span;
  switch (in.tag) {
    case kHostValueEmpty:
    case kHostValueBool:
    case kHostValueSigned:
    case kHostValueUnsigned:
    case kHostValueFloat:
      return true;
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      if (span.data == nullptr && span.count != 0) {
        error = std::string("a null pointer for ") +
                (in.tag <= kHostValueStringOwned ? "a text of " : "a blob of ") +
                std::to_string(span.count) + " bytes";
        return false;
      }
      return true;
    case kHostValueCollection:
    case kHostValueStructure: {
      const bool collection = in.tag == kHostValueCollection;
      if (span.data == nullptr && span.count != 0) {
        error = std::string("a null pointer for a ") +
                (collection ? "collection of " : "structure of ") + std::to_string(span.count) +
                " items";
        return false;
      }
      if (depth >= max_depth) {
        error = "values nested deeper than " + std::to_string(max_depth);
        return false;
      }
      for (uint32_t i = 0; i < span.count; ++i) {
        if (collection) {
          if (!CheckAt(static_cast<const HostValue*>(span.data)[i], depth + 1, max_depth, error,
                       where)) {
            where.insert(0, "[" + std::to_string(i) + "]");
            return false;
          }
        } else {
          const HostStructureEntry& entry = static_cast<const HostStructureEntry*>(span.data)[i];
          const HostValue member = entry.value;
          if (!CheckAt(member, depth + 1, max_depth, error, where)) {
            where.insert(0, "." + std::string(entry.key == nullptr ? "" : entry.key));
            return false;
          }
        }
      }
      return true;
    }
    default:
      error = "unknown host value tag " + std::to_string(in.tag);
      return false;
  }
}

}  // namespace

Status CheckHostValue(HostValueView value, uint32_t max_depth) {
  std::string error;
  std::string where;
  if (CheckAt(*value.get(), 0, max_depth, error, where)) return Status::Ok();
  if (!where.empty()) error += " at " + where;
  return HostError{std::move(error)};
}

HostValueKind KindOfTag(uint32_t tag) {
  switch (tag) {
    case kHostValueEmpty:
      return HostValueKind::kEmpty;
    case kHostValueBool:
      return HostValueKind::kBool;
    case kHostValueSigned:
      return HostValueKind::kSigned;
    case kHostValueUnsigned:
      return HostValueKind::kUnsigned;
    case kHostValueFloat:
      return HostValueKind::kFloat;
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
      return HostValueKind::kString;
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned:
      return HostValueKind::kBlob;
    case kHostValueCollection:
      return HostValueKind::kCollection;
    case kHostValueStructure:
      return HostValueKind::kStructure;
    default:
      return HostValueKind::kUnknown;
  }
}

// ------------------------------------------------------------------------------------------
// HostValueView

HostValueView::HostValueView() : value_(&kEmptyValue) {}
HostValueView::HostValueView(const HostValue* value)
    : value_(value == nullptr ? &kEmptyValue : value) {}

bool HostValueView::AsBool() const {
  return kind() == HostValueKind::kBool && value_->payload.boolean != 0;
}

int64_t HostValueView::AsSigned() const {
  switch (kind()) {
    case HostValueKind::kSigned:
      return value_->payload.signed_value;
    case HostValueKind::kUnsigned:
      return static_cast<int64_t>(value_->payload.unsigned_value);
    default:
      return 0;
  }
}

uint64_t HostValueView::AsUnsigned() const {
  switch (kind()) {
    case HostValueKind::kSigned:
      return static_cast<uint64_t>(value_->payload.signed_value);
    case HostValueKind::kUnsigned:
      return value_->payload.unsigned_value;
    default:
      return 0;
  }
}

double HostValueView::AsFloat() const {
  return kind() == HostValueKind::kFloat ? value_->payload.float_value : 0.0;
}

std::string_view HostValueView::AsString() const {
  const HostValueKind k = kind();
  if (k != HostValueKind::kString && k != HostValueKind::kBlob) return {};
  const HostValueSpan span = value_->payload.span;
  if (span.data == nullptr) return {};
  return std::string_view(static_cast<const char*>(span.data), span.count);
}

uint32_t HostValueView::size() const {
  const HostValueKind k = kind();
  if (k != HostValueKind::kCollection && k != HostValueKind::kStructure) return 0;
  const HostValueSpan span = value_->payload.span;
  return span.data == nullptr ? 0 : span.count;
}

HostValueView HostValueView::operator[](uint32_t index) const {
  if (kind() != HostValueKind::kCollection || index >= size()) return HostValueView();
  return HostValueView(static_cast<const HostValue*>(value_->payload.span.data) + index);
}

std::string_view HostValueView::key(uint32_t index) const {
  if (kind() != HostValueKind::kStructure || index >= size()) return {};
  const char* const text =
      (static_cast<const HostStructureEntry*>(value_->payload.span.data) + index)->key;
  return text == nullptr ? std::string_view() : std::string_view(text);
}

HostValueView HostValueView::value(uint32_t index) const {
  if (kind() != HostValueKind::kStructure || index >= size()) return HostValueView();
  const auto* const entry =
      static_cast<const HostStructureEntry*>(value_->payload.span.data) + index;
  return HostValueView(&entry->value);
}

std::optional<HostValueView> HostValueView::Find(std::string_view wanted) const {
  std::optional<HostValueView> found;
  const uint32_t count = size();
  if (kind() != HostValueKind::kStructure) return found;
  for (uint32_t i = 0; i < count; ++i) {
    if (key(i) == wanted) found = value(i);
  }
  return found;
}

bool operator==(HostValueView a, HostValueView b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case HostValueKind::kEmpty:
      return true;
    case HostValueKind::kBool:
      return a.AsBool() == b.AsBool();
    case HostValueKind::kSigned:
    case HostValueKind::kUnsigned:
      return a.AsUnsigned() == b.AsUnsigned();
    case HostValueKind::kFloat:
      return a.AsFloat() == b.AsFloat();
    case HostValueKind::kString:
    case HostValueKind::kBlob:
      return a.AsString() == b.AsString();
    case HostValueKind::kCollection:
      if (a.size() != b.size()) return false;
      for (uint32_t i = 0; i < a.size(); ++i) {
        if (!(a[i] == b[i])) return false;
      }
      return true;
    case HostValueKind::kStructure:
      if (a.size() != b.size()) return false;
      for (uint32_t i = 0; i < a.size(); ++i) {
        if (a.key(i) != b.key(i) || !(a.value(i) == b.value(i))) return false;
      }
      return true;
    case HostValueKind::kUnknown:
      return a.tag() == b.tag();
  }
  return false;
}

// ------------------------------------------------------------------------------------------
// OwnedHostValue

OwnedHostValue::OwnedHostValue() : value_{} {}
OwnedHostValue::~OwnedHostValue() { FreeOwned(value_); }

OwnedHostValue::OwnedHostValue(const OwnedHostValue& other) : value_{} {
  CopyState state{
      std::numeric_limits<uint32_t>::max(), Budget{std::numeric_limits<uint64_t>::max()}, {}, {}};
  // Our own trees hold only tags that copy, so this cannot fail.
  CopyInto(value_, other.value_, 0, state, CopyLimits{});
}

OwnedHostValue& OwnedHostValue::operator=(const OwnedHostValue& other) {
  if (this != &other) *this = OwnedHostValue(other);
  return *this;
}

OwnedHostValue::OwnedHostValue(OwnedHostValue&& other) noexcept : value_(other.value_) {
  other.value_ = HostValue{};
}

OwnedHostValue& OwnedHostValue::operator=(OwnedHostValue&& other) noexcept {
  if (this != &other) {
    FreeOwned(value_);
    value_ = other.value_;
    other.value_ = HostValue{};
  }
  return *this;
}

OwnedHostValue OwnedHostValue::Bool(bool value) {
  OwnedHostValue result;
  result.value_.tag = kHostValueBool;
  result.value_.payload.boolean = value ? 1 : 0;
  return result;
}

OwnedHostValue OwnedHostValue::Signed(int64_t value) {
  OwnedHostValue result;
  result.value_.tag = kHostValueSigned;
  result.value_.payload.signed_value = value;
  return result;
}

OwnedHostValue OwnedHostValue::Unsigned(uint64_t value) {
  OwnedHostValue result;
  result.value_.tag = kHostValueUnsigned;
  result.value_.payload.unsigned_value = value;
  return result;
}

OwnedHostValue OwnedHostValue::Float(double value) {
  OwnedHostValue result;
  result.value_.tag = kHostValueFloat;
  result.value_.payload.float_value = value;
  return result;
}

OwnedHostValue OwnedHostValue::String(std::string_view text) {
  OwnedHostValue result;
  SetSpan(result.value_, kHostValueStringOwned, NewText(text), text.size());
  return result;
}

OwnedHostValue OwnedHostValue::Blob(std::string_view bytes) {
  OwnedHostValue result;
  SetSpan(result.value_, kHostValueBlobOwned, NewText(bytes), bytes.size());
  return result;
}

OwnedHostValue OwnedHostValue::Collection(std::vector<OwnedHostValue> elements) {
  OwnedHostValue result;
  auto* const array = elements.empty() ? nullptr : new HostValue[elements.size()]();
  for (size_t i = 0; i < elements.size(); ++i) {
    array[i] = elements[i].value_;
    elements[i].value_ = HostValue{};
  }
  SetSpan(result.value_, kHostValueCollection, array, elements.size());
  return result;
}

OwnedHostValue OwnedHostValue::Structure(std::vector<HostMember> members) {
  OwnedHostValue result;
  auto* const entries = members.empty() ? nullptr : new HostStructureEntry[members.size()]();
  for (size_t i = 0; i < members.size(); ++i) {
    entries[i].key = NewText(members[i].key);
    entries[i].key_owned = 1;
    entries[i].value = members[i].value.value_;
    members[i].value.value_ = HostValue{};
  }
  SetSpan(result.value_, kHostValueStructure, entries, members.size());
  return result;
}

Result<OwnedHostValue> OwnedHostValue::CopyOf(HostValueView value, const CopyLimits& limits) {
  OwnedHostValue result;
  CopyState state{limits.max_depth, Budget{limits.max_bytes}, {}, {}};
  if (!CopyInto(result.value_, *value.get(), 0, state, limits)) {
    std::string message = std::move(state.error);
    if (!state.where.empty()) message += " at " + state.where;
    return HostError{std::move(message)};
  }
  return result;
}

}  // namespace plugin_host
