// MessagePack writing (see message_pack_writer.h).
#include "tools/plugin_host/message_pack_writer.h"

#include <cstring>
#include <limits>

namespace plugin_host {

void MessagePackWriter::BigEndian(uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
    Byte(static_cast<uint8_t>(value >> shift));
  }
}

void MessagePackWriter::Nil() { Byte(0xC0); }

void MessagePackWriter::Bool(bool value) { Byte(value ? 0xC3 : 0xC2); }

void MessagePackWriter::Unsigned(uint64_t value) {
  if (value < 0x80) {
    Byte(static_cast<uint8_t>(value));
  } else if (value <= 0xFF) {
    Byte(0xCC);
    BigEndian(value, 1);
  } else if (value <= 0xFFFF) {
    Byte(0xCD);
    BigEndian(value, 2);
  } else if (value <= 0xFFFFFFFFu) {
    Byte(0xCE);
    BigEndian(value, 4);
  } else {
    Byte(0xCF);
    BigEndian(value, 8);
  }
}

void MessagePackWriter::Signed(int64_t value) {
  if (value >= 0) {
    Unsigned(static_cast<uint64_t>(value));
  } else if (value >= -32) {
    Byte(static_cast<uint8_t>(value));  // negative fixint: 0xE0..0xFF
  } else if (value >= std::numeric_limits<int8_t>::min()) {
    Byte(0xD0);
    BigEndian(static_cast<uint64_t>(value), 1);
  } else if (value >= std::numeric_limits<int16_t>::min()) {
    Byte(0xD1);
    BigEndian(static_cast<uint64_t>(value), 2);
  } else if (value >= std::numeric_limits<int32_t>::min()) {
    Byte(0xD2);
    BigEndian(static_cast<uint64_t>(value), 4);
  } else {
    Byte(0xD3);
    BigEndian(static_cast<uint64_t>(value), 8);
  }
}

void MessagePackWriter::Float(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  Byte(0xCB);
  BigEndian(bits, 8);
}

bool MessagePackWriter::Sized(std::string_view data, uint8_t fix_base, uint8_t code8,
                              uint8_t code16, uint8_t code32, bool has_fix) {
  const uint64_t size = data.size();
  if (size > 0xFFFFFFFFu) return false;
  if (has_fix && size < 32) {
    Byte(static_cast<uint8_t>(fix_base | size));
  } else if (size <= 0xFF) {
    Byte(code8);
    BigEndian(size, 1);
  } else if (size <= 0xFFFF) {
    Byte(code16);
    BigEndian(size, 2);
  } else {
    Byte(code32);
    BigEndian(size, 4);
  }
  bytes_.append(data);
  return true;
}

bool MessagePackWriter::String(std::string_view text) {
  return Sized(text, 0xA0, 0xD9, 0xDA, 0xDB, true);
}

bool MessagePackWriter::Binary(std::string_view bytes) {
  return Sized(bytes, 0, 0xC4, 0xC5, 0xC6, false);
}

void MessagePackWriter::ArrayHeader(uint32_t count) {
  if (count < 16) {
    Byte(static_cast<uint8_t>(0x90 | count));
  } else if (count <= 0xFFFF) {
    Byte(0xDC);
    BigEndian(count, 2);
  } else {
    Byte(0xDD);
    BigEndian(count, 4);
  }
}

void MessagePackWriter::MapHeader(uint32_t count) {
  if (count < 16) {
    Byte(static_cast<uint8_t>(0x80 | count));
  } else if (count <= 0xFFFF) {
    Byte(0xDE);
    BigEndian(count, 2);
  } else {
    Byte(0xDF);
    BigEndian(count, 4);
  }
}

bool MessagePackWriter::WriteAt(HostValueView value, uint32_t depth, uint32_t max_depth,
                                std::string& error) {
  switch (value.kind()) {
    case HostValueKind::kEmpty:
      Nil();
      return true;
    case HostValueKind::kBool:
      Bool(value.AsBool());
      return true;
    case HostValueKind::kSigned:
      Signed(value.AsSigned());
      return true;
    case HostValueKind::kUnsigned:
      Unsigned(value.AsUnsigned());
      return true;
    case HostValueKind::kFloat:
      Float(value.AsFloat());
      return true;
    case HostValueKind::kString:
      return String(value.AsString());  // the count is 32-bit, so always short enough
    case HostValueKind::kBlob:
      return Binary(value.AsString());
    case HostValueKind::kCollection:
    case HostValueKind::kStructure: {
      if (depth >= max_depth) {
        error = "values nested deeper than " + std::to_string(max_depth);
        return false;
      }
      const bool structure = value.kind() == HostValueKind::kStructure;
      if (structure) {
        MapHeader(value.size());
      } else {
        ArrayHeader(value.size());
      }
      for (uint32_t i = 0; i < value.size(); ++i) {
        if (structure) String(value.key(i));
        if (!WriteAt(structure ? value.value(i) : value[i], depth + 1, max_depth, error)) {
          return false;
        }
      }
      return true;
    }
    case HostValueKind::kUnknown:
      error = "unknown host value tag " + std::to_string(value.tag());
      return false;
  }
  return false;
}

Status MessagePackWriter::Write(HostValueView value, uint32_t max_depth) {
  std::string error;
  if (!WriteAt(value, 0, max_depth, error)) return HostError{std::move(error)};
  return Status::Ok();
}

}  // namespace plugin_host
