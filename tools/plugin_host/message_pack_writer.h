// A small MessagePack writer for request bodies ("application/x-msgpack") and for answers sent
// to clients that ask for MessagePack.
//
// The plug-in reads MessagePack bodies far faster than JSON, so a host that sends many texts in
// one request (the command-line tool's batches) writes its bodies with this. Every item takes
// its shortest form: integers the smallest of the fixint, 8-, 16-, 32- and 64-bit forms (non-
// negative numbers always in the unsigned forms), texts fixstr/str8/str16/str32, bytes
// bin8/bin16/bin32; floats are always float64. Containers are written as a header with the
// item count followed by the items (a map's items alternate key and value).
#ifndef TOOLS_PLUGIN_HOST_MESSAGE_PACK_WRITER_H_
#define TOOLS_PLUGIN_HOST_MESSAGE_PACK_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tools/plugin_host/host_result.h"
#include "tools/plugin_host/owned_host_value.h"

namespace plugin_host {

class MessagePackWriter {
 public:
  void Nil();
  void Bool(bool value);
  void Signed(int64_t value);
  void Unsigned(uint64_t value);
  void Float(double value);
  // Texts and bytes of 2^32 bytes or more cannot be written: false, and nothing is written.
  bool String(std::string_view text);
  bool Binary(std::string_view bytes);
  void ArrayHeader(uint32_t count);
  void MapHeader(uint32_t count);

  // Writes a whole host value: empty as nil, structures as maps with text keys (in entry
  // order), collections as arrays, blobs as bin. Fails on a tag above 10 or nesting deeper than
  // `max_depth`; the bytes written before the failure stay.
  Status Write(HostValueView value, uint32_t max_depth = 512);

  const std::string& bytes() const { return bytes_; }
  std::string Take() { return std::move(bytes_); }
  void Clear() { bytes_.clear(); }
  void Reserve(size_t bytes) { bytes_.reserve(bytes); }

 private:
  void Byte(uint8_t b) { bytes_.push_back(static_cast<char>(b)); }
  void BigEndian(uint64_t value, int bytes);
  bool Sized(std::string_view data, uint8_t fix_base, uint8_t code8, uint8_t code16, uint8_t code32,
             bool has_fix);
  bool WriteAt(HostValueView value, uint32_t depth, uint32_t max_depth, std::string& error);

  std::string bytes_;
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_MESSAGE_PACK_WRITER_H_
