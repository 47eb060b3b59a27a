// Fuzz target: JSON text into a BindingValue.
//
// Cross-checks the adapter against RapidJSON's own recursive reader with a handler that builds
// nothing: both must accept the same texts and report the same error at the same offset. The
// only intended differences are the nesting limit (the adapter refuses what the reader would
// recurse into) and a blank document (accepted as an empty value).
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/text/format_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sdk::binding::BindingResult result;
  const bool ok = sdk::dispatch::ParseJson(result, text);
  FUZZ_CHECK(ok == result.ok());
  if (!ok && result.ErrorMessage().find("Nesting deeper than") != std::string_view::npos) {
    return 0;
  }
  // The recursive reader needs one stack frame per level; the inputs that get here nest at
  // most 512 levels deep.
  rapidjson::BaseReaderHandler<> handler;
  rapidjson::Reader reader;
  rapidjson::StringStream stream(text.c_str());
  const rapidjson::ParseResult parsed = reader.Parse(stream, handler);
  if (!parsed.IsError()) {
    FUZZ_CHECK(ok);
    return 0;
  }
  if (parsed.Code() == rapidjson::kParseErrorDocumentEmpty) {
    FUZZ_CHECK(ok && result.value().IsEmpty());
    return 0;
  }
  FUZZ_CHECK(!ok);
  const std::string expected = sdk::text::FormatMessage("Error: %s at offset %u.",
                                                        rapidjson::GetParseError_En(parsed.Code()),
                                                        static_cast<unsigned>(parsed.Offset()));
  FUZZ_CHECK(result.ErrorMessage() == expected);
  return 0;
}
