// Host values to and from JSON (see host_json.h). The reader is RapidJSON's SAX reader in its
// iterative mode (no recursion on deep input) feeding a stack of open containers; the writer is
// RapidJSON's Writer driven by a walk of the value.
#include "tools/plugin_host/host_json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace plugin_host {
namespace {

// ------------------------------------------------------------------------------------------
// Reading

// Builds the value as RapidJSON reports it. Each open array or object is a frame that collects
// its items; closing it turns them into one OwnedHostValue for the frame below.
class TreeHandler {
 public:
  explicit TreeHandler(uint32_t max_depth) : max_depth_(max_depth) {}

  bool Null() { return Add(OwnedHostValue()); }
  bool Bool(bool b) { return Add(OwnedHostValue::Bool(b)); }
  bool Int(int i) { return Add(OwnedHostValue::Signed(i)); }
  bool Uint(unsigned u) { return Add(OwnedHostValue::Unsigned(u)); }
  bool Int64(int64_t i) { return Add(OwnedHostValue::Signed(i)); }
  bool Uint64(uint64_t u) { return Add(OwnedHostValue::Unsigned(u)); }
  bool Double(double d) { return Add(OwnedHostValue::Float(d)); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not asked for
  bool String(const char* text, rapidjson::SizeType length, bool) {
    return Add(OwnedHostValue::String(std::string_view(text, length)));
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    frames_.back().key.assign(text, length);
    return true;
  }
  bool StartObject() { return Open(true); }
  bool EndObject(rapidjson::SizeType) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return Add(OwnedHostValue::Structure(std::move(frame.members)));
  }
  bool StartArray() { return Open(false); }
  bool EndArray(rapidjson::SizeType) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return Add(OwnedHostValue::Collection(std::move(frame.elements)));
  }

  bool too_deep() const { return too_deep_; }
  OwnedHostValue TakeRoot() { return std::move(root_); }

 private:
  struct Frame {
    bool object = false;
    std::string key;
    std::vector<OwnedHostValue> elements;
    std::vector<HostMember> members;
  };

  bool Open(bool object) {
    if (frames_.size() >= max_depth_) {
      too_deep_ = true;
      return false;
    }
    frames_.push_back(Frame{object, {}, {}, {}});
    return true;
  }

  bool Add(OwnedHostValue value) {
    if (frames_.empty()) {
      root_ = std::move(value);
    } else if (frames_.back().object) {
      Frame& frame = frames_.back();
      frame.members.push_back(HostMember{std::move(frame.key), std::move(value)});
      frame.key.clear();
    } else {
      frames_.back().elements.push_back(std::move(value));
    }
    return true;
  }

  uint32_t max_depth_;
  bool too_deep_ = false;
  std::vector<Frame> frames_;
  OwnedHostValue root_;
};

// ------------------------------------------------------------------------------------------
// Writing

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one.
size_t ValidSequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// `text` with every byte that does not start a valid sequence replaced by U+FFFD.
std::string RepairUtf8(std::string_view text) {
  std::string repaired;
  repaired.reserve(text.size() + 8);
  while (!text.empty()) {
    const size_t length = ValidSequenceLength(text);
    if (length == 0) {
      repaired.append(kReplacement);
      text.remove_prefix(1);
    } else {
      repaired.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return repaired;
}

template <typename Writer>
class JsonWalk {
 public:
  JsonWalk(Writer& writer, uint32_t max_depth) : writer_(writer), max_depth_(max_depth) {}

  bool Write(HostValueView value, uint32_t depth) {
    switch (value.kind()) {
      case HostValueKind::kEmpty:
        return writer_.Null();
      case HostValueKind::kBool:
        return writer_.Bool(value.AsBool());
      case HostValueKind::kSigned:
        return writer_.Int64(value.AsSigned());
      case HostValueKind::kUnsigned:
        return writer_.Uint64(value.AsUnsigned());
      case HostValueKind::kFloat: {
        const double d = value.AsFloat();
        return std::isfinite(d) ? writer_.Double(d) : writer_.Null();
      }
      case HostValueKind::kString:
        return Text(value.AsString());
      case HostValueKind::kBlob:
        return Text(Base64Encode(value.AsString()));
      case HostValueKind::kCollection: {
        if (!Enter(depth)) return false;
        writer_.StartArray();
        for (uint32_t i = 0; i < value.size(); ++i) {
          if (!Write(value[i], depth + 1)) {
            where_.insert(0, "[" + std::to_string(i) + "]");
            return false;
          }
        }
        return writer_.EndArray();
      }
      case HostValueKind::kStructure: {
        if (!Enter(depth)) return false;
        writer_.StartObject();
        for (uint32_t i = 0; i < value.size(); ++i) {
          const std::string_view key = value.key(i);
          if (IsValidUtf8(key)) {
            writer_.Key(key.empty() ? "" : key.data(),
                        static_cast<rapidjson::SizeType>(key.size()));
          } else {
            const std::string repaired = RepairUtf8(key);
            writer_.Key(repaired.data(), static_cast<rapidjson::SizeType>(repaired.size()));
          }
          if (!Write(value.value(i), depth + 1)) {
            where_.insert(0, "." + std::string(key));
            return false;
          }
        }
        return writer_.EndObject();
      }
      case HostValueKind::kUnknown:
        error_ = "unknown host value tag " + std::to_string(value.tag());
        return false;
    }
    return false;
  }

  std::string Error() const { return where_.empty() ? error_ : error_ + " at " + where_; }

 private:
  bool Enter(uint32_t depth) {
    if (depth < max_depth_) return true;
    error_ = "values nested deeper than " + std::to_string(max_depth_);
    return false;
  }

  bool Text(std::string_view text) {
    if (IsValidUtf8(text)) {
      // An empty view may have a null pointer, which RapidJSON does not take.
      return writer_.String(text.empty() ? "" : text.data(),
                            static_cast<rapidjson::SizeType>(text.size()));
    }
    const std::string repaired = RepairUtf8(text);
    return writer_.String(repaired.data(), static_cast<rapidjson::SizeType>(repaired.size()));
  }

  Writer& writer_;
  uint32_t max_depth_;
  std::string error_;
  std::string where_;
};

template <typename Writer>
Result<std::string> WriteJson(HostValueView value, const JsonLimits& limits) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  if constexpr (std::is_same_v<Writer, rapidjson::PrettyWriter<rapidjson::StringBuffer>>) {
    writer.SetIndent(' ', 2);
  }
  JsonWalk<Writer> walk(writer, limits.max_depth);
  if (!walk.Write(value, 0)) return HostError{walk.Error()};
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII are the common case.
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t length = ValidSequenceLength(text.substr(i));
    if (length == 0) return false;
    i += length;
  }
  return true;
}

Result<OwnedHostValue> JsonToHostValue(std::string_view json, const JsonLimits& limits) {
  // The reader takes a NUL for the end of the input; one inside the text would end it early.
  if (const void* nul = json.empty() ? nullptr : std::memchr(json.data(), '\0', json.size())) {
    const auto offset = static_cast<size_t>(static_cast<const char*>(nul) - json.data());
    return HostError{"The JSON text holds a NUL byte (at offset " + std::to_string(offset) + ")"};
  }
  rapidjson::MemoryStream stream(json.empty() ? "" : json.data(), json.size());
  TreeHandler handler(limits.max_depth);
  rapidjson::Reader reader;
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                              rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseFullPrecisionFlag;
  const rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, handler);
  if (parsed.IsError()) {
    if (handler.too_deep()) {
      return HostError{"The JSON text nests deeper than " + std::to_string(limits.max_depth) +
                       " (at offset " + std::to_string(parsed.Offset()) + ")"};
    }
    return HostError{std::string(rapidjson::GetParseError_En(parsed.Code())) + " (at offset " +
                     std::to_string(parsed.Offset()) + ")"};
  }
  return handler.TakeRoot();
}

Result<std::string> HostValueToJson(HostValueView value, JsonStyle style,
                                    const JsonLimits& limits) {
  if (style == JsonStyle::kPretty) {
    return WriteJson<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(value, limits);
  }
  return WriteJson<rapidjson::Writer<rapidjson::StringBuffer>>(value, limits);
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto byte = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out.push_back(kAlphabet[group >> 18]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(kAlphabet[(group >> 6) & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest != 0) {
    const uint32_t group = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out.push_back(kAlphabet[group >> 18]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace plugin_host
