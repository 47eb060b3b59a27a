// Binding of named argument texts (with index paths), decoding of argument texts and of
// request bodies.
#include "sdk/dispatch/argument_binding.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "sdk/binding/message_pack_reader.h"
#include "sdk/binding/nesting_limit.h"
#include "sdk/binding/type_descriptor.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/dispatch/yaml_adapter.h"

namespace sdk::dispatch {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::FunctionRecord;
using sdk::binding::MessagePackReader;
using sdk::binding::TypeCode;
using sdk::binding::ValueKind;

namespace {

constexpr std::string_view kUnknownArgument = "Unknown argument '%1' for '%2'.";
constexpr std::string_view kInvalidLocation =
    "Argument '%1' for '%2' was specified in an invalid location.";
constexpr std::string_view kExpectedValue = "Expected value for argument '%1'.";
constexpr std::string_view kIndexFormat = "Index %1 is in an incorrect format";
constexpr std::string_view kIndexRange = "Index %1 is out of range";
constexpr std::string_view kIndexPathTooDeep =
    "Argument '%1' for '%2' is nested deeper than %3 levels.";
constexpr std::string_view kMessagePackArgument =
    "Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3";
constexpr std::string_view kJsonArgument =
    "Couldn't deserialize JSON value for parameter '%1' of '%2': %3";
constexpr std::string_view kYamlArgument =
    "Couldn't deserialize YAML value for parameter '%1' of '%2': %3";
constexpr std::string_view kUnsupportedBody = "Unsupported body content type";
constexpr std::string_view kExtraMessagePack = "Extra MessgePack data found in body";

// Largest index an index path may name (exclusive).
constexpr uint64_t kIndexLimit = 0x80000000u;

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` starts with `prefix`, comparing ASCII letters in any case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

std::string_view SkipSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

bool LooksLikeMessagePack(std::string_view text) {
  if (text.empty()) return false;
  const auto lead = static_cast<uint8_t>(text.front());
  return (lead >= 0x80 && lead <= 0x9F) || (lead >= 0xDC && lead <= 0xDF);
}

// Moves a decoded value into its target (a swap when both are roots).
void Store(BindingValue& target, BindingResult& decoded) { target = std::move(decoded.value()); }

enum class IndexStatus : uint8_t { kOk, kFormat, kRange };

// Reads an index segment (it starts with a digit) as strtoull with base 0 reads it: "0x" or "0X"
// followed by a hexadecimal digit is hexadecimal, another leading "0" octal, else decimal.
// Characters after the number are a format error, checked before the range.
IndexStatus ParseIndex(std::string_view segment, uint64_t* out) {
  unsigned base = 10;
  size_t i = 0;
  if (segment.size() > 2 && segment[0] == '0' && (segment[1] == 'x' || segment[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(segment[2])) != 0) {
    base = 16;
    i = 2;
  } else if (segment[0] == '0') {
    base = 8;
  }
  uint64_t value = 0;
  bool overflow = false;
  for (; i < segment.size(); ++i) {
    const char c = segment[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    if (value > (UINT64_MAX - digit) / base) overflow = true;
    value = value * base + digit;
  }
  if (i != segment.size()) return IndexStatus::kFormat;
  if (overflow || value >= kIndexLimit) return IndexStatus::kRange;
  *out = value;
  return IndexStatus::kOk;
}

// Descends from the parameter's value along the index path and decodes `raw` at its end.
bool BindIndexPath(CallState& state, BindingValue& parameter, const FunctionRecord& function,
                   std::string_view base_name, std::string_view path, std::string_view raw) {
  BindingResult& result = state.result;
  BindingValue* current = &parameter;
  size_t depth = 0;
  while (true) {
    const size_t dot = path.find('.');
    const std::string_view segment = path.substr(0, dot);
    if (++depth > sdk::binding::kMaxNestingDepth) {
      result.Fail(kIndexPathTooDeep, base_name, function.name, sdk::binding::kMaxNestingDepth);
      return false;
    }
    if (!segment.empty() && segment.front() >= '0' && segment.front() <= '9') {
      uint64_t index = 0;
      const IndexStatus status = ParseIndex(segment, &index);
      if (status == IndexStatus::kFormat) {
        result.Fail(kIndexFormat, segment);
        return false;
      }
      // Elements up to the index are created; the call's budget bounds how many.
      const size_t existing =
          current->kind() == ValueKind::kCollection ? current->Size() : size_t{0};
      const uint64_t added = index >= existing ? index + 1 - existing : 0;
      if (status == IndexStatus::kRange || added > state.index_elements_left) {
        result.Fail(kIndexRange, segment);
        return false;
      }
      state.index_elements_left -= static_cast<uint32_t>(added);
      current = &current->Element(static_cast<size_t>(index));
    } else {
      current = &current->Member(segment);
    }
    if (dot == std::string_view::npos) {
      return DecodeArgumentText(result, *current, function, segment, raw, {}, false);
    }
    path.remove_prefix(dot + 1);
  }
}

}  // namespace

QueryArguments ParseQuery(std::string_view text) {
  QueryArguments pairs;
  if (text.empty()) return pairs;
  while (true) {
    const size_t amp = text.find('&');
    const std::string_view piece = text.substr(0, amp);
    const size_t equals = piece.find('=');
    std::string name = PercentDecode(piece.substr(0, equals));
    std::string value =
        equals == std::string_view::npos ? std::string() : PercentDecode(piece.substr(equals + 1));
    pairs.insert_or_assign(std::move(name), std::move(value));
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return pairs;
}

bool BindNamedArgument(CallState& state, std::span<BindingValue> arguments,
                       const FunctionRecord& function, const Endpoint& endpoint,
                       std::string_view name, std::string_view raw, ArgumentLocation location) {
  BindingResult& result = state.result;
  const size_t dot = name.find('.');
  const std::string_view base_name = name.substr(0, dot);
  size_t index = 0;
  while (index < function.arguments.size() && function.arguments[index].name != base_name) {
    ++index;
  }
  if (index >= function.arguments.size() || index >= arguments.size()) {
    result.Fail(kUnknownArgument, base_name, function.name);
    return false;
  }
  const ArgumentLocation declared = endpoint.location(index);
  if (declared != ArgumentLocation::kUnspecified && declared != location) {
    result.Fail(kInvalidLocation, base_name, function.name);
    return false;
  }
  BindingValue& argument = arguments[index];
  if (dot != std::string_view::npos) {
    return BindIndexPath(state, argument, function, base_name, name.substr(dot + 1), raw);
  }
  const TypeCode code = function.arguments[index].type.code;
  if (raw.empty()) {
    switch (code) {
      case TypeCode::kBool:
        argument.SetBool(true);
        return true;
      case TypeCode::kObject:
      case TypeCode::kStruct:
        argument.Clear();
        argument.MakeStructure();
        return true;
      case TypeCode::kVector:
        argument.Clear();
        argument.MakeCollection();
        return true;
      default:
        result.Fail(kExpectedValue, function.arguments[index].name);
        return false;
    }
  }
  const bool structured =
      code == TypeCode::kObject || code == TypeCode::kVector || code == TypeCode::kStruct;
  return DecodeArgumentText(result, argument, function, base_name, raw, {}, structured);
}

bool DecodeArgumentText(BindingResult& result, BindingValue& target, const FunctionRecord& function,
                        std::string_view name, std::string_view raw, std::string_view content_type,
                        bool structured) {
  const bool sniff = structured && content_type.empty();
  const std::string_view trimmed = SkipSpaces(raw);
  BindingResult decoded;
  if (StartsWithIgnoringCase(content_type, "application/x-msgpack") ||
      (sniff && LooksLikeMessagePack(raw))) {
    if (!MessagePackReader::Decode(decoded, nullptr, raw.data(), raw.size())) {
      result.Fail(kMessagePackArgument, name, function.name, decoded.ErrorMessage());
      return false;
    }
  } else if (content_type.starts_with("application/json") ||
             (sniff && !trimmed.empty() && (trimmed.front() == '{' || trimmed.front() == '['))) {
    ParseJson(decoded, raw);
    if (!decoded.ok()) {
      result.Fail(kJsonArgument, name, function.name, decoded.ErrorMessage());
      return false;
    }
  } else if (content_type.starts_with("text/x-yaml") || (sniff && trimmed.starts_with("---"))) {
    if (!ParseYaml(decoded, raw)) {
      result.Fail(kYamlArgument, name, function.name, decoded.ErrorMessage());
      return false;
    }
  } else if (content_type.starts_with("application/octet-stream")) {
    target.SetBlob(raw.data(), raw.size());
    return true;
  } else {
    target.SetString(raw);
    return true;
  }
  Store(target, decoded);
  return true;
}

bool DecodeBody(BindingResult& result, std::string_view content_type, const void* body,
                size_t size) {
  result.Reset();
  if (body == nullptr) size = 0;
  const char* const text = static_cast<const char*>(body);
  if (StartsWithIgnoringCase(content_type, "application/x-msgpack")) {
    size_t consumed = 0;
    if (MessagePackReader::Decode(result, &consumed, body, size) && consumed < size) {
      result.Fail(kExtraMessagePack);
    }
  } else if (StartsWithIgnoringCase(content_type, "application/json") ||
             StartsWithIgnoringCase(content_type, "application/vnd.api+json")) {
    ParseJson(result, std::string_view(size == 0 ? "" : text, size));
  } else if (StartsWithIgnoringCase(content_type, "application/x-yaml")) {
    const void* const nul = size == 0 ? nullptr : std::memchr(text, '\0', size);
    const size_t length =
        nul == nullptr ? size : static_cast<size_t>(static_cast<const char*>(nul) - text);
    ParseYaml(result, std::string_view(length == 0 ? "" : text, length));
  } else {
    result.Fail(kUnsupportedBody);
  }
  return result.ok();
}

}  // namespace sdk::dispatch
