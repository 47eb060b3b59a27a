// What loading a plug-in library runs before the host calls its export, and unloading it after:
// the library's logger is created with its built-in console and debugger targets, and its
// event-tracing providers are registered (event_tracing.h); at unload the providers are
// unregistered and the library's reference to the logger is dropped. Plug-in libraries are
// marked not to be unloaded (cmake/PluginLibrary.cmake), so for them the unload half runs when
// the process exits.
//
// This file is compiled only into plug-in shared libraries, like plugin_operator_new.cc. It
// starts no thread.
#include "sdk/diagnostics/event_tracing.h"
#include "sdk/diagnostics/logger.h"

namespace {

class LibraryLoad {
 public:
  LibraryLoad() {
    try {
      sdk::diagnostics::AcquireLogger();
      acquired_ = true;
      sdk::diagnostics::RegisterTraceProviders();
    } catch (...) {
      // Out of memory while the library loads: the instance acquires the logger again when the
      // export runs, and tracing stays off.
    }
  }
  ~LibraryLoad() {
    sdk::diagnostics::UnregisterTraceProviders();
    if (acquired_) sdk::diagnostics::ReleaseLogger();
  }
  LibraryLoad(const LibraryLoad&) = delete;
  LibraryLoad& operator=(const LibraryLoad&) = delete;

 private:
  bool acquired_ = false;
};

const LibraryLoad g_library_load;

}  // namespace
