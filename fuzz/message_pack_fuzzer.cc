// Fuzz target: MessagePack bytes into a BindingValue.
//
// Beyond "no crash, no leak", checks that a decoding reports its position consistently, that a
// failure carries a MessagePack message, and that decoding exactly the consumed prefix of a
// successful input gives the same value (the reader never looks past the value it returns).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "sdk/binding/message_pack_reader.h"

using sdk::binding::BindingResult;
using sdk::binding::MessagePackReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BindingResult result;
  size_t consumed = 0;
  const bool ok = MessagePackReader::Decode(result, &consumed, data, size);
  FUZZ_CHECK(ok == result.ok());
  FUZZ_CHECK(consumed <= size);
  if (!ok) {
    const std::string_view message = result.ErrorMessage();
    FUZZ_CHECK(message.starts_with("Invalid MessagePack data") ||
               message == sdk::binding::kLengthErrorMessage);
    return 0;
  }
  FUZZ_CHECK(size == 0 || consumed > 0);
  BindingResult prefix;
  size_t prefix_consumed = 0;
  FUZZ_CHECK(MessagePackReader::Decode(prefix, &prefix_consumed, data, consumed));
  FUZZ_CHECK(prefix_consumed == consumed);
  // Compared as printed, so that a NaN equals itself.
  FUZZ_CHECK(prefix.value().DebugString() == result.value().DebugString());
  return 0;
}
