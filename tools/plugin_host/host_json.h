// Host values to and from JSON text, on RapidJSON.
//
// The host serves configuration documents to the plug-in as host values read from JSON, and
// prints or sends the plug-in's answers as JSON. The mapping:
//   JSON null <-> empty, true/false <-> bool, a negative integer <-> signed, a non-negative
//   integer <-> unsigned, any other number <-> float, a string <-> text, an array <->
//   collection, an object <-> structure (members in document order).
// Going out, blobs become base64 texts (RFC 4648, with padding), floats that are not finite
// become null, texts are written as UTF-8 with each invalid byte replaced by U+FFFD (so the
// output is always valid JSON), and a structure's entries keep their order, repeated keys
// included.
#ifndef TOOLS_PLUGIN_HOST_HOST_JSON_H_
#define TOOLS_PLUGIN_HOST_HOST_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/plugin_host/host_result.h"
#include "tools/plugin_host/owned_host_value.h"

namespace plugin_host {

struct JsonLimits {
  uint32_t max_depth = 512;  // arrays and objects open at one time
};

// Parses one JSON document (UTF-8, nothing but white space after it). Fails with RapidJSON's
// message and the byte offset ("Invalid value. (at offset 3)"), on invalid UTF-8, on a NUL byte
// and on nesting deeper than limits.max_depth.
Result<OwnedHostValue> JsonToHostValue(std::string_view json, const JsonLimits& limits = {});

enum class JsonStyle { kCompact, kPretty };

// Writes a host value as JSON. Fails only for a value that is malformed (a tag above 10, or
// nesting deeper than limits.max_depth), which only a view of someone else's value can be.
Result<std::string> HostValueToJson(HostValueView value, JsonStyle style = JsonStyle::kCompact,
                                    const JsonLimits& limits = {});

// Base64 with the standard alphabet and "=" padding.
std::string Base64Encode(std::string_view bytes);

// True when `text` is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_HOST_JSON_H_
