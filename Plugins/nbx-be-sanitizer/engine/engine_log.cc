// The engine's log message (engine_log.h).
#include "Plugins/nbx-be-sanitizer/engine/engine_log.h"

#include "sdk/diagnostics/log.h"

namespace sanitizer::detail {

void LogUnfilterWithoutFilter(uint32_t level) {
  sdk::diagnostics::Log(sdk::diagnostics::kLogWarning, sdk::diagnostics::kCategoryDbg,
                        "sanitizer: unfilter lists given for level %d, but no filtering lists",
                        static_cast<int>(level));
}

}  // namespace sanitizer::detail
