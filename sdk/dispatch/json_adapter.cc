// JSON to BindingValue through RapidJSON's event reader (see json_adapter.h).
//
// The builder keeps the open containers on a stack, innermost last. Elements and members of a
// BindingValue never move once created, so the stack may hold plain pointers into the tree.
#include "sdk/dispatch/json_adapter.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "sdk/binding/nesting_limit.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::kMaxCollectionSize;
using sdk::binding::kMaxNestingDepth;
using sdk::binding::ValueKind;

constexpr std::string_view kErrorFormat = "Error: %s at offset %u.";
constexpr std::string_view kTooDeepFormat =
    "Error: Nesting deeper than %u levels is not supported. at offset %u.";

// Texts stop at their first NUL, which only an escaped "\u0000" can put there; a document
// without that escape (nearly all of them) skips the search.
std::string_view CutAtNul(const char* text, rapidjson::SizeType length, bool may_hold_nul) {
  if (!may_hold_nul) return std::string_view(text, length);
  const void* nul = std::memchr(text, '\0', length);
  return std::string_view(text, nul ? static_cast<const char*>(nul) - text : length);
}

class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  enum class Stop { kNone, kTooDeep, kTooLong };

  Builder(BindingValue& root, bool may_hold_nul) : root_(root), may_hold_nul_(may_hold_nul) {
    open_.reserve(16);
  }

  Stop stop() const { return stop_; }

  bool Null() {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->Clear();
    return true;
  }
  bool Bool(bool value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetBool(value);
    return true;
  }
  bool Int(int value) { return Int64(value); }
  bool Uint(unsigned value) { return Uint64(value); }
  bool Int64(int64_t value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    // "-0" arrives here as 0: zero is not below zero, so it is unsigned like "0".
    if (value < 0) {
      target->SetSigned(value);
    } else {
      target->SetUnsigned(static_cast<uint64_t>(value));
    }
    return true;
  }
  bool Uint64(uint64_t value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetUnsigned(value);
    return true;
  }
  bool Double(double value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetFloat(value);
    return true;
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetString(CutAtNul(text, length, may_hold_nul_));
    return true;
  }
  bool StartObject() { return Open(ValueKind::kStructure); }
  bool StartArray() { return Open(ValueKind::kCollection); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    BindingValue& object = *open_.back();
    if (object.Size() >= kMaxCollectionSize) {
      stop_ = Stop::kTooLong;
      return false;
    }
    pending_ = &object.Member(CutAtNul(text, length, may_hold_nul_));
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }

 private:
  // The value that the next event fills: the root, a new element of the innermost array, or
  // the member named by the last key. Null when the array cannot grow.
  BindingValue* Target() {
    if (open_.empty()) return &root_;
    BindingValue& innermost = *open_.back();
    if (innermost.kind() == ValueKind::kCollection) {
      if (innermost.Size() >= kMaxCollectionSize) {
        stop_ = Stop::kTooLong;
        return nullptr;
      }
      return &innermost.Element(innermost.Size());
    }
    return pending_;
  }

  bool Open(ValueKind kind) {
    if (open_.size() >= kMaxNestingDepth) {
      stop_ = Stop::kTooDeep;
      return false;
    }
    BindingValue* target = Target();
    if (target == nullptr) return false;
    // A repeated key reuses its member, but its new value replaces the old one entirely.
    target->Clear();
    if (kind == ValueKind::kStructure) {
      target->MakeStructure();
    } else {
      target->MakeCollection();
    }
    open_.push_back(target);
    return true;
  }

  BindingValue& root_;
  const bool may_hold_nul_;
  std::vector<BindingValue*> open_;
  BindingValue* pending_ = nullptr;
  Stop stop_ = Stop::kNone;
};

bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

bool ParseJson(BindingResult& result, const char* text) {
  result.Reset();
  if (text == nullptr) return true;
  const char* p = text;
  while (IsJsonSpace(*p)) ++p;
  if (*p == '\0') return true;  // an empty or blank document is an empty value

  // The reader decodes strings in place in a copy of the text, which saves it copying each
  // string to its own stack first. Offsets in the copy are offsets in the text.
  const size_t length = std::strlen(text);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  if (copy == nullptr) {
    result.Fail(sdk::binding::kLengthErrorMessage);
    return false;
  }
  std::memcpy(copy.get(), text, length + 1);
  Builder builder(result.value(), std::strstr(p, "\\u0000") != nullptr);
  rapidjson::Reader reader;
  rapidjson::InsituStringStream stream(copy.get());
  const rapidjson::ParseResult parsed =
      reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag>(stream, builder);
  if (!parsed.IsError()) {
    if (result.value().HasLengthError()) result.Fail(sdk::binding::kLengthErrorMessage);
    return result.ok();
  }
  const unsigned offset = static_cast<unsigned>(parsed.Offset());
  switch (builder.stop()) {
    case Builder::Stop::kTooDeep:
      result.Fail(kTooDeepFormat, static_cast<unsigned>(kMaxNestingDepth), offset);
      break;
    case Builder::Stop::kTooLong:
      result.Fail(sdk::binding::kLengthErrorMessage);
      break;
    case Builder::Stop::kNone: {
      rapidjson::ParseErrorCode code = parsed.Code();
      // The iterative reader calls a lone "]" or "}" an empty document; the document is not
      // empty (blank ones never get here), and the reader's default mode calls it an invalid
      // value, which is what it is.
      if (code == rapidjson::kParseErrorDocumentEmpty) code = rapidjson::kParseErrorValueInvalid;
      result.Fail(kErrorFormat, rapidjson::GetParseError_En(code), offset);
      break;
    }
  }
  return false;
}

bool ParseJson(BindingResult& result, const std::string& text) {
  return ParseJson(result, text.c_str());
}

BindingResult ParseJson(const char* text) {
  BindingResult result;
  ParseJson(result, text);
  return result;
}

BindingResult ParseJson(const std::string& text) { return ParseJson(text.c_str()); }

}  // namespace sdk::dispatch
