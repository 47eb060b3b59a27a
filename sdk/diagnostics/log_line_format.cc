// FormatLogLine and the assertion report. The line is built with a bounded writer, so no
// directive can push it past the buffer, whatever the message or format holds.
#include "sdk/diagnostics/log_line_format.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "sdk/diagnostics/platform.h"

namespace sdk::diagnostics {
namespace {

// Appends to a buffer up to a fixed limit, silently dropping the rest.
class LineWriter {
 public:
  LineWriter(char* buffer, size_t limit) : buffer_(buffer), limit_(limit) {}

  void Put(char c) {
    if (length_ < limit_) buffer_[length_++] = c;
  }
  void Append(std::string_view text) {
    const size_t count = std::min(text.size(), limit_ - length_);
    std::memcpy(buffer_ + length_, text.data(), count);
    length_ += count;
  }
  size_t length() const { return length_; }

 private:
  char* buffer_;
  size_t limit_;
  size_t length_ = 0;
};

// Counter value of the first "#H" in the process; 0 until then.
std::atomic<uint64_t> g_first_elapsed_query{0};

void AppendElapsed(LineWriter& out) {
  const uint64_t now = platform::HighResolutionCounter();
  uint64_t first = 0;  // replaced by the first query's value when there was one
  if (g_first_elapsed_query.compare_exchange_strong(first, now)) first = now;
  const uint64_t frequency = platform::HighResolutionFrequency();
  const uint64_t elapsed = now >= first ? now - first : 0;
  const uint64_t seconds = elapsed / frequency;
  const uint64_t milliseconds = (elapsed % frequency) * 1000 / frequency;
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%06d.%03d", static_cast<int>(seconds),
                                   static_cast<int>(milliseconds));
  if (length > 0) out.Append(std::string_view(text, static_cast<size_t>(length)));
}

void AppendCategories(LineWriter& out, uint64_t categories) {
  bool first = true;
  for (int bit = 0; bit < 64; ++bit) {
    if ((categories & (1ull << bit)) == 0) continue;
    if (!first) out.Put(';');
    out.Append(CategoryName(bit));
    first = false;
  }
}

}  // namespace

size_t FormatLogLine(char* buffer, size_t size, std::string_view format, const LogRecord& record) {
  if (buffer == nullptr || size == 0) return 0;
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  LineWriter out(buffer, size - 2);
  char text[64];
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '#') {
      out.Put(format[i]);
      continue;
    }
    if (++i == format.size()) break;  // a "#" at the end ends the format
    switch (format[i]) {
      case 'D': {
        const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d",
                                         record.year, record.month, record.day, record.hour,
                                         record.minute, record.second, record.millisecond);
        if (length > 0)
          out.Append(
              std::string_view(text, std::min(static_cast<size_t>(length), sizeof text - 1)));
        break;
      }
      case 'E':
        out.Append(platform::ModuleName());
        break;
      case 'G':
        AppendCategories(out, record.categories);
        break;
      case 'H':
        AppendElapsed(out);
        break;
      case 'L':
        out.Append(LogLevelName(record.level));
        break;
      case 'M':
        if (record.message != nullptr) out.Append(record.message);
        break;
      case 'T': {
        const int length = std::snprintf(text, sizeof text, "%08X", platform::CurrentThreadId());
        if (length > 0) out.Append(std::string_view(text, static_cast<size_t>(length)));
        break;
      }
      default:
        out.Put(format[i]);
        break;
    }
  }
  size_t length = out.length();
  if (length == 0 || buffer[length - 1] != '\n') buffer[length++] = '\n';
  buffer[length] = '\0';
  return length;
}

std::string AssertionText(const char* expression, const char* file, int32_t line,
                          const char* function, const char* description) {
  std::string text = "Assertion failed!\n\n";
  if (file != nullptr && file[0] != '\0') {
    text += "File: ";
    text += file;
    text += "\n";
  }
  if (line != 0) {
    text += "Line: ";
    text += std::to_string(line);
    text += "\n\n";
  }
  if (function != nullptr) {
    text += "Function: ";
    text += function;
    text += "\n\n";
  }
  if (expression != nullptr) {
    text += "Expression: ";
    text += expression;
  }
  if (description != nullptr) {
    text += "\n\nDescription: ";
    text += description;
  }
  return text;
}

void LogAssertion(const char* expression, const char* file, int32_t line, const char* function,
                  const char* description) {
  const std::string text = AssertionText(expression, file, line, function, description);
  Log(kLogError, kCategoryDbg, "%s", text.c_str());
}

}  // namespace sdk::diagnostics
