// The engine's log message (engine_log.h).
#include "Plugins/nbx-be-sanitizer/engine/engine_log.h"

#include <cstdio>

namespace sanitizer::detail {

void LogUnfilterWithoutFilter(uint32_t level) {
  std::fprintf(stderr, "sanitizer: unfilter lists given for level %d, but no filtering lists\n",
               static_cast<int>(level));
}

}  // namespace sanitizer::detail
