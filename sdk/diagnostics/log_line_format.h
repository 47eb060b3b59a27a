// Log line formats and the assertion report.
//
// A line format is copied to the output with "#" directives replaced:
//   #D  local time, "2024-05-01T13:45:07.123"
//   #E  the running executable's file name
//   #G  the record's category names from the lowest bit up, joined by ";"
//   #H  time since the first "#H" in the process, "000012.345" (seconds, milliseconds)
//   #L  the level's six-character name ("  OKAY", "  WARN", " ERROR", "ALWAYS")
//   #M  the message
//   #T  the calling thread's id as eight upper-case hexadecimal digits
// "#" before any other character puts that character ("##" is one "#"); a "#" at the very end
// ends the format.
#ifndef SDK_DIAGNOSTICS_LOG_LINE_FORMAT_H_
#define SDK_DIAGNOSTICS_LOG_LINE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/diagnostics/log.h"

namespace sdk::diagnostics {

// Formats `record` with `format` into `buffer` of `size` bytes and returns the line's length.
// The text before the line end is cut at size - 2 characters; the line always ends with exactly
// one line feed (none is added when the text already ends with one) and a NUL. A buffer of
// fewer than 2 bytes receives only the NUL, when it has room for it.
size_t FormatLogLine(char* buffer, size_t size, std::string_view format, const LogRecord& record);

// The text of an assertion report:
//   "Assertion failed!\n\n"
//   "File: <file>\n"                  when file is given and not empty
//   "Line: <line>\n\n"                when line is not 0
//   "Function: <function>\n\n"        when function is given
//   "Expression: <expression>"        when expression is given
//   "\n\nDescription: <description>"  when description is given
// A null pointer means "not given".
std::string AssertionText(const char* expression, const char* file, int32_t line,
                          const char* function, const char* description);

// Logs the assertion report as an error in category DBG.
void LogAssertion(const char* expression, const char* file, int32_t line, const char* function,
                  const char* description);

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_LOG_LINE_FORMAT_H_
