// A SanitizerBackend that runs the sanitizer engine in the tool's own process, reading its
// assets from a folder.
//
// It answers as the plug-in's resources do: the character tables are read once per asset
// folder, an engine is built when the settings change and the locale is not empty, and the
// status, containsSanitized and sanitize answers follow the plug-in's handlers (404 before the
// first build, 400 "Invalid UTF-8 string" for a sanitize text that is not UTF-8).
#ifndef TOOLS_SANITIZER_LOCAL_SANITIZER_BACKEND_H_
#define TOOLS_SANITIZER_LOCAL_SANITIZER_BACKEND_H_

#include <memory>

#include "tools/sanitizer/sanitizer_backend.h"

namespace sanitizer::tool {

std::unique_ptr<SanitizerBackend> MakeLocalSanitizerBackend();

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_LOCAL_SANITIZER_BACKEND_H_
