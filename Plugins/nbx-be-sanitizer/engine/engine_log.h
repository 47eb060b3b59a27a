// Internal: the one message the engine logs, behind a function of its own so that the build
// does not depend on how logging is wired.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_LOG_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_LOG_H_

#include <cstdint>

namespace sanitizer::detail {

// Warns that unfilter lists were given for `level` while the level has no filter list.
void LogUnfilterWithoutFilter(uint32_t level);

}  // namespace sanitizer::detail

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_LOG_H_
