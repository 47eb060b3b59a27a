// Fuzz target: JSON text into a BindingValue.
//
// Cross-checks the adapter against RapidJSON's own recursive reader with a handler that builds
// nothing: both must accept the same texts and report the same error at the same offset. The
// only intended differences are the nesting limit (the adapter refuses what the reader would
// recurse into) and a blank document (accepted as an empty value).
//
// The input is also read as the body of a string, ["<input>"]: both must accept that alike, and
// where it is one string the adapter's text must be RapidJSON's up to its first NUL (the
// adapter decodes plain runs and escapes itself).
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/text/format_message.h"

namespace {

void CheckStringBody(const std::string& text) {
  const std::string document = "[\"" + text + "\"]";
  rapidjson::Document reference;
  reference.Parse(document.c_str());
  sdk::binding::BindingResult result;
  const bool ok = sdk::dispatch::ParseJson(result, document);
  if (!ok && result.ErrorMessage().find("Nesting deeper than") != std::string_view::npos) return;
  FUZZ_CHECK(ok == !reference.HasParseError());
  // An input with quotes of its own may make a document of another shape.
  if (!ok || !reference.IsArray() || reference.Size() != 1 || !reference[0].IsString()) return;
  const std::string_view expected(reference[0].GetString(), reference[0].GetStringLength());
  FUZZ_CHECK(result.value().At(0).GetString() == expected.substr(0, expected.find('\0')));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckStringBody(text.substr(0, text.find('\0')));
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
