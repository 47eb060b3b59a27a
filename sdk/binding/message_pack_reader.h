// MessagePackReader: decodes one MessagePack value from a byte buffer into a BindingValue tree.
//
// Request bodies and arguments may arrive as MessagePack ("application/x-msgpack"); the
// dispatch layer hands the bytes here. Decoding is iterative, with an explicit stack of open
// containers, and allocates nothing ahead of the bytes: a declared array or map count only
// bounds how many items are read, so a huge count in a short input costs nothing.
//
// Rules worth knowing:
//  - positive fixints and the int families decode to the signed kind, the uint families to the
//    unsigned kind, whatever the value;
//  - map keys must be strings; a repeated key decodes into the same member again (a scalar
//    replaces, a map merges, an array overwrites the first elements);
//  - input that ends while containers are open is not an error: they keep what was read;
//  - ext, fixext and 0xC1 are errors, and so is nesting deeper than kMaxNestingDepth;
//  - texts are taken as bytes, without UTF-8 checks.
// Every message names the zero-based byte position at which the problem was found.
#ifndef SDK_BINDING_MESSAGE_PACK_READER_H_
#define SDK_BINDING_MESSAGE_PACK_READER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "sdk/binding/binding_result.h"

namespace sdk::binding {

class MessagePackReader {
 public:
  // Decodes one value starting at byte 0 into `result` (which is reset first). On return the
  // result holds the value, or is failed with the error message, and `*consumed` (when not
  // null) holds the position reached. Bytes after the first complete value are not read.
  // Zero bytes decode to an empty value with nothing consumed. Returns result.ok().
  static bool Decode(BindingResult& result, size_t* consumed, std::span<const uint8_t> bytes);
  static bool Decode(BindingResult& result, size_t* consumed, const void* bytes, size_t count) {
    return Decode(result, consumed,
                  std::span<const uint8_t>(static_cast<const uint8_t*>(bytes), count));
  }
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_MESSAGE_PACK_READER_H_
