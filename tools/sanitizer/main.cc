// Entry point of the `sanitizer` command-line tool: wires the process's streams, the bundled
// sample assets and the engine-linked backend into RunSanitizerTool (sanitizer_tool.h).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/sanitizer/local_sanitizer_backend.h"
#include "tools/sanitizer/sanitizer_tool.h"

namespace {

// An "assets" folder beside the executable wins (a copied or installed tool carries its own);
// otherwise the sample assets of the source tree the tool was built from.
std::filesystem::path DefaultAssets() {
  std::error_code code;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", code);
  if (!code) {
    const std::filesystem::path beside = executable.parent_path() / "assets";
    if (std::filesystem::is_directory(beside, code)) return beside;
  }
  return std::filesystem::path(SANITIZER_DEFAULT_ASSETS);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  sanitizer::tool::ToolStreams streams;
  streams.in = stdin;
  streams.out = stdout;
  streams.err = stderr;
  streams.err_is_terminal = isatty(STDERR_FILENO) == 1;
  const auto backend = sanitizer::tool::MakeLocalSanitizerBackend();
  return sanitizer::tool::RunSanitizerTool(args, streams, *backend, DefaultAssets());
}
