// The logging entry most code needs: levels, categories, the log record and Log itself.
//
// Log(level, categories, format, ...) formats a printf-style message and hands it to the
// process-wide logger (logger.h), which filters it by its threshold and excluded categories and
// passes it to every attached target (log_target.h) whose own level and categories accept it.
// Logging never fails towards its caller: long messages are cut, failing targets are ignored.
#ifndef SDK_DIAGNOSTICS_LOG_H_
#define SDK_DIAGNOSTICS_LOG_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace sdk::diagnostics {

enum LogLevel : int32_t { kLogOkay = 0, kLogWarning = 1, kLogError = 2, kLogAlways = 3 };

// Categories: one bit each of a 64-bit mask. The first eight are fixed; RegisterCategory adds
// more from bit 8 on.
inline constexpr uint64_t kCategoryDbg = 1ull << 0, kCategoryGen = 1ull << 1,
                          kCategoryXtr = 1ull << 2, kCategoryPrf = 1ull << 3,
                          kCategoryMem = 1ull << 4, kCategoryDsk = 1ull << 5,
                          kCategoryNet = 1ull << 6, kCategoryTst = 1ull << 7;

// Size of the message and line buffers.
inline constexpr size_t kLogBufferSize = 4096;

// One accepted message as the targets receive it: local time, level, categories and text.
struct LogRecord {
  int32_t year;
  int32_t month;
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t millisecond;
  LogLevel level;
  uint64_t categories;
  const char* message;  // never null; valid only during the Write call
};

// Formats and logs a message. Creates the logger when none exists. A message logged from inside
// a target's Write on the same thread is dropped, so a target that logs cannot recurse.
void Log(LogLevel level, uint64_t categories, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogV(LogLevel level, uint64_t categories, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// The six-character name of a level: "  OKAY", "  WARN", " ERROR", "ALWAYS" ("??????" for any
// other value).
const char* LogLevelName(LogLevel level);

// Returns the bit of the category whose name shares the first three characters of `name`,
// registering a new one from bit 8 on when none does. Returns 0 when `name` is null or all 64
// bits are taken. Safe to call from any thread without a lock.
uint64_t RegisterCategory(const char* name);

// The name of category bit `bit` (0-63): up to three characters, "???" when unregistered or out
// of range. The returned text stays valid for the life of the process.
const char* CategoryName(int bit);

namespace detail {
// Forgets every registered category above bit 7, so that tests start from the fixed eight.
void ResetCategoriesForTesting();
}  // namespace detail

}  // namespace sdk::diagnostics

#endif  // SDK_DIAGNOSTICS_LOG_H_
