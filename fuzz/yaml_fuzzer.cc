// Fuzz target: YAML text into a BindingValue.
//
// Cross-checks the adapter against libyaml's bare event loop over the same text: a text that
// libyaml cannot parse must fail, and a text that it parses must not fail with a parser error
// (the adapter may still refuse it for its own reasons: tags, keys, anchors, limits).
#include <yaml.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "sdk/binding/binding_value.h"
#include "sdk/dispatch/yaml_adapter.h"

namespace {

// True when libyaml parses the whole stream without error.
bool LibyamlAccepts(const uint8_t* data, size_t size) {
  yaml_parser_t parser;
  if (!yaml_parser_initialize(&parser)) return false;
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  static const unsigned char kEmpty[] = "";
  yaml_parser_set_input_string(&parser, size ? data : kEmpty, size);
  bool ok = true;
  for (;;) {
    yaml_event_t event;
    if (!yaml_parser_parse(&parser, &event)) {
      ok = false;
      break;
    }
    const bool end = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    if (end) break;
  }
  yaml_parser_delete(&parser);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sdk::binding::BindingResult result;
  const bool ok = sdk::dispatch::ParseYaml(result, text);
  FUZZ_CHECK(ok == result.ok());
  const bool parser_error = !ok && result.ErrorMessage().starts_with("YAML parser error: ");
  const bool accepted = LibyamlAccepts(data, size);
  if (!accepted) {
    FUZZ_CHECK(!ok);
  } else {
    FUZZ_CHECK(!parser_error);
  }
  if (ok) {
    // The tree is sound enough to copy and compare.
    const sdk::binding::BindingValue copy = result.value();
    FUZZ_CHECK(copy.DebugString() == result.value().DebugString());  // a NaN equals itself
  }
  return 0;
}
