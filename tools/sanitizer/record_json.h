// The JSON form of the sanitizer's response records, as the `sanitizer` tool prints them with
// `--json` (and `status` always): member names and order as the records declare them, absent
// optional members left out, strings as UTF-8.
#ifndef TOOLS_SANITIZER_RECORD_JSON_H_
#define TOOLS_SANITIZER_RECORD_JSON_H_

#include <string>

#include "tools/sanitizer/sanitizer_backend.h"

namespace sanitizer::tool {

// One line of JSON each, without a line feed; `pretty` indents the status over several lines.
std::string ToJson(const SanitizerStatus& status, bool pretty);
std::string ToJson(const ContainsSanitizedResponse& response);
std::string ToJson(const SanitizeResponse& response);

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_RECORD_JSON_H_
