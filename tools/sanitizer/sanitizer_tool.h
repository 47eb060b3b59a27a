// The `sanitizer` command-line tool as a function: arguments and streams in, exit status out.
//
// main() only wires the process's streams, the default asset folder and the engine-linked
// backend into RunSanitizerTool; the tests call it with in-memory streams and a backend of
// their choice. The contract (commands, options, output lines, exit statuses) is the one that
// `sanitizer --help` prints.
#ifndef TOOLS_SANITIZER_SANITIZER_TOOL_H_
#define TOOLS_SANITIZER_SANITIZER_TOOL_H_

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/sanitizer/sanitizer_backend.h"

namespace sanitizer::tool {

// Exit statuses, as grep's.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitNoMatch = 1;
inline constexpr int kExitError = 2;

// The longest line of standard input taken as a text, in bytes without its line feed. A
// longer line is read through without being held and answered with an error, so that one
// huge line cannot take the memory that its answer would need (several times its size).
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

struct ToolStreams {
  std::FILE* in = nullptr;
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;
  // Progress is shown on `err` only when it is a terminal.
  bool err_is_terminal = false;
  std::size_t max_line_bytes = kMaxLineBytes;
};

// Runs one command. `args` are the arguments after the program name; `default_assets` is the
// folder used without --assets. Never throws.
int RunSanitizerTool(const std::vector<std::string>& args, const ToolStreams& streams,
                     SanitizerBackend& backend, const std::filesystem::path& default_assets);

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_SANITIZER_TOOL_H_
