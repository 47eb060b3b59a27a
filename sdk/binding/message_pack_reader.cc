// MessagePack decoding with an explicit frame stack (see message_pack_reader.h).
//
// The stack holds one frame per open container plus, on top, the frame of the item being read.
// A container frame counts the items it declared and the items read so far (a map counts keys
// and values separately, so it declares twice its pair count) and keeps the last key read as a
// view into the input, which outlives the decoding. Every read checks the remaining length
// before it touches a byte.
#include "sdk/binding/message_pack_reader.h"

#include <bit>
#include <string_view>
#include <vector>

#include "sdk/binding/nesting_limit.h"

namespace sdk::binding {
namespace {

constexpr std::string_view kInvalidData = "Invalid MessagePack data at position %1.";
constexpr std::string_view kKeyNotString =
    "Invalid MessagePack data at position %1. Map keys must be strings.";
constexpr std::string_view kTooDeep =
    "Invalid MessagePack data at position %1. Nesting deeper than %2 levels is not supported.";
constexpr std::string_view kTruncated8 =
    "Invalid MessagePack data. 8-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated16 =
    "Invalid MessagePack data. 16-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated32 =
    "Invalid MessagePack data. 32-bit integer value at position %1 is truncated.";
constexpr std::string_view kTruncated64 =
    "Invalid MessagePack data. 64-bit integer value at position %1 is truncated.";
constexpr std::string_view kStringTruncated =
    "Invalid MessagePack data. String of size %1 at position %2 is truncated.";
constexpr std::string_view kRawTruncated =
    "Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.";

struct Frame {
  BindingValue* target;
  uint64_t count;     // items declared (keys and values for a map)
  uint64_t consumed;  // items started so far
  std::string_view key;
  bool open;  // an open container; otherwise the frame of an item still to be read
};

class Decoder {
 public:
  Decoder(BindingResult& result, std::span<const uint8_t> bytes)
      : result_(result), data_(bytes.data()), size_(bytes.size()) {}

  void Run();
  size_t position() const { return position_; }

 private:
  // Reads of big-endian integers; each fails the result (and reads nothing) when short.
  bool Read8(uint8_t* out);
  bool Read16(uint16_t* out);
  bool Read32(uint32_t* out);
  bool Read64(uint64_t* out);
  // A length in the following 1, 2 or 4 bytes.
  bool ReadLength(int bytes, uint32_t* out);
  bool ReadText(uint32_t length, std::string_view* out);
  bool ReadRaw(uint32_t length, std::span<const uint8_t>* out);

  void ReadKey(Frame& frame);
  // Reads the item of the top frame; pops it unless it opened a container.
  void ReadItem();
  void OpenContainer(bool structure, uint64_t count);

  BindingResult& result_;
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  std::vector<Frame> frames_;
};

bool Decoder::Read8(uint8_t* out) {
  if (size_ - position_ < 1) {
    result_.Fail(kTruncated8, position_);
    return false;
  }
  *out = data_[position_++];
  return true;
}

bool Decoder::Read16(uint16_t* out) {
  if (size_ - position_ < 2) {
    result_.Fail(kTruncated16, position_);
    return false;
  }
  const uint8_t* p = data_ + position_;
  *out = static_cast<uint16_t>(p[0] << 8 | p[1]);
  position_ += 2;
  return true;
}

bool Decoder::Read32(uint32_t* out) {
  if (size_ - position_ < 4) {
    result_.Fail(kTruncated32, position_);
    return false;
  }
  const uint8_t* p = data_ + position_;
  *out = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
  position_ += 4;
  return true;
}

bool Decoder::Read64(uint64_t* out) {
  if (size_ - position_ < 8) {
    result_.Fail(kTruncated64, position_);
    return false;
  }
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = value << 8 | data_[position_ + i];
  *out = value;
  position_ += 8;
  return true;
}

bool Decoder::ReadLength(int bytes, uint32_t* out) {
  if (bytes == 1) {
    uint8_t length;
    if (!Read8(&length)) return false;
    *out = length;
    return true;
  }
  if (bytes == 2) {
    uint16_t length;
    if (!Read16(&length)) return false;
    *out = length;
    return true;
  }
  return Read32(out);
}

bool Decoder::ReadText(uint32_t length, std::string_view* out) {
  if (size_ - position_ < length) {
    result_.Fail(kStringTruncated, length, position_);
    return false;
  }
  *out = std::string_view(reinterpret_cast<const char*>(data_ + position_), length);
  position_ += length;
  return true;
}

bool Decoder::ReadRaw(uint32_t length, std::span<const uint8_t>* out) {
  if (size_ - position_ < length) {
    result_.Fail(kRawTruncated, length, position_);
    return false;
  }
  *out = std::span<const uint8_t>(data_ + position_, length);
  position_ += length;
  return true;
}

// Width of the length that follows a str 8/16/32 lead byte, or 0 for a fixstr.
int StringLengthWidth(uint8_t lead) {
  switch (lead) {
    case 0xD9:
      return 1;
    case 0xDA:
      return 2;
    case 0xDB:
      return 4;
    default:
      return 0;
  }
}

bool IsStringLead(uint8_t lead) {
  return (lead >= 0xA0 && lead <= 0xBF) || StringLengthWidth(lead);
}

void Decoder::ReadKey(Frame& frame) {
  const uint8_t lead = data_[position_++];
  if (!IsStringLead(lead)) {
    result_.Fail(kKeyNotString, position_);
    return;
  }
  uint32_t length = lead & 0x1F;
  if (const int width = StringLengthWidth(lead); width != 0 && !ReadLength(width, &length)) {
    return;
  }
  ReadText(length, &frame.key);
}

void Decoder::OpenContainer(bool structure, uint64_t count) {
  // The frames below the top one are all open containers; the top one becomes one now.
  if (frames_.size() > kMaxNestingDepth) {
    result_.Fail(kTooDeep, position_, kMaxNestingDepth);
    return;
  }
  Frame& frame = frames_.back();
  if (structure) {
    frame.target->MakeStructure();
  } else {
    frame.target->MakeCollection();
  }
  frame.count = count;
  frame.consumed = 0;
  frame.open = true;
}

void Decoder::ReadItem() {
  BindingValue& target = *frames_.back().target;
  const uint8_t lead = data_[position_++];
  if (lead <= 0x7F) {
    target.SetSigned(lead);
  } else if (lead <= 0x8F) {
    OpenContainer(true, uint64_t{lead & 0x0Fu} * 2);
    return;
  } else if (lead <= 0x9F) {
    OpenContainer(false, lead & 0x0Fu);
    return;
  } else if (lead <= 0xBF || StringLengthWidth(lead)) {
    uint32_t length = lead & 0x1F;
    if (const int width = StringLengthWidth(lead); width != 0 && !ReadLength(width, &length)) {
      return;
    }
    std::string_view text;
    if (!ReadText(length, &text)) return;
    if (text.size() > kMaxBlobSize) {
      result_.Fail(kLengthErrorMessage);
      return;
    }
    target.SetString(text);
  } else if (lead >= 0xE0) {
    target.SetSigned(static_cast<int8_t>(lead));
  } else {
    switch (lead) {
      case 0xC0:
        target.Clear();
        break;
      case 0xC2:
      case 0xC3:
        target.SetBool(lead == 0xC3);
        break;
      case 0xC4:
      case 0xC5:
      case 0xC6: {
        uint32_t length;
        std::span<const uint8_t> bytes;
        if (!ReadLength(lead == 0xC4   ? 1
                        : lead == 0xC5 ? 2
                                       : 4,
                        &length) ||
            !ReadRaw(length, &bytes)) {
          return;
        }
        if (bytes.size() > kMaxBlobSize) {
          result_.Fail(kLengthErrorMessage);
          return;
        }
        target.SetBlob(bytes);
        break;
      }
      case 0xCA: {
        uint32_t bits;
        if (!Read32(&bits)) return;
        target.SetFloat(std::bit_cast<float>(bits));
        break;
      }
      case 0xCB: {
        uint64_t bits;
        if (!Read64(&bits)) return;
        target.SetFloat(std::bit_cast<double>(bits));
        break;
      }
      case 0xCC: {
        uint8_t value;
        if (!Read8(&value)) return;
        target.SetUnsigned(value);
        break;
      }
      case 0xCD: {
        uint16_t value;
        if (!Read16(&value)) return;
        target.SetUnsigned(value);
        break;
      }
      case 0xCE: {
        uint32_t value;
        if (!Read32(&value)) return;
        target.SetUnsigned(value);
        break;
      }
      case 0xCF: {
        uint64_t value;
        if (!Read64(&value)) return;
        target.SetUnsigned(value);
        break;
      }
      case 0xD0: {
        uint8_t value;
        if (!Read8(&value)) return;
        target.SetSigned(static_cast<int8_t>(value));
        break;
      }
      case 0xD1: {
        uint16_t value;
        if (!Read16(&value)) return;
        target.SetSigned(static_cast<int16_t>(value));
        break;
      }
      case 0xD2: {
        uint32_t value;
        if (!Read32(&value)) return;
        target.SetSigned(static_cast<int32_t>(value));
        break;
      }
      case 0xD3: {
        uint64_t value;
        if (!Read64(&value)) return;
        target.SetSigned(static_cast<int64_t>(value));
        break;
      }
      case 0xDC:
      case 0xDD:
      case 0xDE:
      case 0xDF: {
        uint32_t count;
        const bool structure = lead >= 0xDE;
        // The depth is checked before the count is read, so that a too-deep document reports
        // its depth even when it is also cut off.
        if (frames_.size() > kMaxNestingDepth) {
          result_.Fail(kTooDeep, position_, kMaxNestingDepth);
          return;
        }
        if (!ReadLength((lead & 1) ? 4 : 2, &count)) return;
        OpenContainer(structure, structure ? uint64_t{count} * 2 : count);
        return;
      }
      default:  // 0xC1, ext 8/16/32, fixext 1-16
        result_.Fail(kInvalidData, position_);
        return;
    }
  }
  frames_.pop_back();
}

void Decoder::Run() {
  frames_.push_back(Frame{&result_.value(), 0, 0, {}, false});
  while (result_.ok() && position_ < size_ && !frames_.empty()) {
    // Find the item to read next: the top frame when it waits for its value, else the next
    // item of the innermost open container that still declares one.
    Frame* top = &frames_.back();
    bool key_read = false;
    while (top->open) {
      if (top->consumed == top->count) {
        frames_.pop_back();
        if (frames_.empty()) return;
        top = &frames_.back();
        continue;
      }
      BindingValue* item;
      if (top->target->kind() == ValueKind::kCollection) {
        if (top->consumed >= kMaxCollectionSize) {
          result_.Fail(kLengthErrorMessage);
          return;
        }
        item = &top->target->Element(top->consumed++);
      } else if (top->consumed % 2 == 0) {
        ++top->consumed;
        ReadKey(*top);
        key_read = true;
        break;
      } else {
        if (top->target->Size() >= kMaxCollectionSize) {
          result_.Fail(kLengthErrorMessage);
          return;
        }
        item = &top->target->Member(top->key);
        ++top->consumed;
      }
      frames_.push_back(Frame{item, 0, 0, {}, false});
      top = &frames_.back();
    }
    if (!key_read) ReadItem();
  }
}

}  // namespace

bool MessagePackReader::Decode(BindingResult& result, size_t* consumed,
                               std::span<const uint8_t> bytes) {
  result.Reset();
  Decoder decoder(result, bytes);
  decoder.Run();
  if (result.ok() && result.value().HasLengthError()) {
    result.Fail(kLengthErrorMessage);
  }
  if (consumed != nullptr) *consumed = decoder.position();
  return result.ok();
}

}  // namespace sdk::binding
