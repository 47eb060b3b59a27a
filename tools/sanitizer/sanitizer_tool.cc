// The commands of the `sanitizer` tool: settings from the options, texts from the arguments or
// standard input, one answer line per text through the backend. See sanitizer_tool.h.
#include "tools/sanitizer/sanitizer_tool.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "sdk/text/code_conversion.h"
#include "tools/sanitizer/record_json.h"
#include "tools/sanitizer/tool_config.h"
#include "tools/sanitizer/tool_options.h"

namespace sanitizer::tool {
namespace {

void PrintError(std::FILE* err, std::string_view message) {
  std::fprintf(err, "sanitizer: %.*s\n", static_cast<int>(message.size()), message.data());
}

// Flushes the output; false, after saying so, when anything written to it was lost.
bool FinishOutput(const ToolStreams& streams) {
  // A write too large for the stream's buffer fails at once and leaves only the error flag.
  if (std::fflush(streams.out) == 0 && !std::ferror(streams.out)) return true;
  PrintError(streams.err, "cannot write the output");
  return false;
}

void WriteLine(std::FILE* out, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

// Shows "N texts, M MB" on a terminal once a batch has taken more than a second, refreshed a
// few times per second, and erases it at the end so that it never mixes with error lines.
class Progress {
 public:
  Progress(std::FILE* err, bool enabled, uint64_t total_bytes)
      : err_(err), enabled_(enabled), total_bytes_(total_bytes), start_(Clock::now()) {}

  void Update(uint64_t texts, uint64_t bytes) {
    if (!enabled_ || (texts & 63) != 0) return;  // the clock is read every 64 texts
    const Clock::time_point now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
      return;
    }
    last_ = now;
    shown_ = true;
    const double megabytes = static_cast<double>(bytes) / 1e6;
    if (total_bytes_ > 0) {
      std::fprintf(err_, "\rsanitizer: %llu texts, %.1f MB (%.0f%%)\x1b[K",
                   static_cast<unsigned long long>(texts), megabytes,
                   100.0 * static_cast<double>(bytes) / static_cast<double>(total_bytes_));
    } else {
      std::fprintf(err_, "\rsanitizer: %llu texts, %.1f MB\x1b[K",
                   static_cast<unsigned long long>(texts), megabytes);
    }
    std::fflush(err_);
  }

  // Erases the progress line before an error message or at the end.
  void Clear() {
    if (!shown_) return;
    std::fputs("\r\x1b[K", err_);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_;
  bool enabled_;
  uint64_t total_bytes_;
  Clock::time_point start_;
  Clock::time_point last_;
  bool shown_ = false;
};

// The bytes left in `in` when it is a regular file, else 0 (unknown).
uint64_t InputSize(std::FILE* in) {
  const int fd = fileno(in);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const long position = std::ftell(in);
  return info.st_size > position && position >= 0 ? static_cast<uint64_t>(info.st_size - position)
                                                  : 0;
}

// Reads standard input one line at a time, without the line feed, holding at most
// `max_bytes` of a line: the rest of a longer line is read and dropped. It reads no further
// than the line feed, so that a line typed on a terminal is answered at once.
class LineReader {
 public:
  LineReader(std::FILE* in, std::size_t max_bytes) : in_(in), max_bytes_(max_bytes) {}

  // False at the end of the input. *too_long tells that the line had more than max_bytes
  // bytes; `line` is then empty.
  bool Next(std::string& line, bool* too_long) {
    line.clear();
    *too_long = false;
    int c = getc_unlocked(in_);
    if (c == EOF) return false;
    // The bytes go through a small buffer so that the line grows in steps, not byte by byte.
    char chunk[4096];
    std::size_t size = 0;
    for (; c != EOF && c != '\n'; c = getc_unlocked(in_)) {
      chunk[size++] = static_cast<char>(c);
      if (size == sizeof chunk) Keep(line, chunk, size, too_long);
    }
    Keep(line, chunk, size, too_long);
    return true;
  }

 private:
  // Moves the `size` bytes of `chunk` to the line, or drops them once the line is too long.
  void Keep(std::string& line, const char* chunk, std::size_t& size, bool* too_long) const {
    if (!*too_long && line.size() + size > max_bytes_) {
      *too_long = true;
      std::string().swap(line);  // gives the memory back
    }
    if (!*too_long) line.append(chunk, size);
    size = 0;
  }

  std::FILE* in_;
  std::size_t max_bytes_;
};

constexpr char kInvalidUtf8Message[] = "Invalid UTF-8 string";
constexpr char kNulMessage[] = "the text holds a NUL byte";

// Why a text cannot be given to the sanitizer, or nothing. Its texts end at their first NUL,
// so a NUL inside a line would silently cut off the rest of the line (and hide whatever
// follows from the UTF-8 check): such a text is refused, and every byte is checked.
std::optional<std::string> TextProblem(std::string_view text) {
  bool has_nul = false;
  for (std::size_t start = 0;;) {
    const std::size_t nul = text.find('\0', start);
    if (!sdk::text::IsValidUtf8(text.substr(start, nul - start))) return kInvalidUtf8Message;
    if (nul == std::string_view::npos) break;
    has_nul = true;
    start = nul + 1;
  }
  if (has_nul) return kNulMessage;
  return std::nullopt;
}

class TextRunner {
 public:
  TextRunner(const ToolOptions& options, const ToolStreams& streams, SanitizerBackend& backend)
      : options_(options), streams_(streams), backend_(backend) {}

  // Answers one text; `where` and `index` name it in error messages ("line 3", "argument 2").
  void Answer(const std::string& text, const char* where, uint64_t index, Progress& progress) {
    std::optional<std::string> line;
    std::optional<BackendError> error;
    if (std::optional<std::string> problem = TextProblem(text)) {
      error = BackendError{400, std::move(*problem)};
    } else if (options_.command == Command::kContains) {
      ContainsSanitizedRequest request;
      request.text = text;
      request.level = options_.level;
      request.includeEmbedded = options_.embedded;
      request.removeDisallowedChars = options_.remove_disallowed;
      request.aggressiveScan = options_.aggressive;
      const BackendResult<ContainsSanitizedResponse> result = backend_.ContainsSanitized(request);
      if (result.ok()) {
        any_contains_ = any_contains_ || result.value().contains;
        line = options_.json ? ToJson(result.value()) : result.value().contains ? "true" : "false";
      } else {
        error = result.error();
      }
    } else {
      SanitizeRequest request;
      request.text = text;
      request.level = options_.level;
      request.removeDisallowedChars = options_.remove_disallowed;
      request.aggressiveScan = options_.aggressive;
      const BackendResult<SanitizeResponse> result = backend_.Sanitize(request);
      if (result.ok() && result.value().text) {
        line = options_.json ? ToJson(result.value()) : *result.value().text;
      } else {
        error = result.ok() ? BackendError{500, "the answer holds no text"} : result.error();
      }
    }
    if (error) {
      Fail(where, index, error->message, progress);
    } else {
      WriteLine(streams_.out, *line);
    }
  }

  // Answers a line of standard input that is too long to be taken as a text.
  void RefuseLongLine(uint64_t index, Progress& progress) {
    Fail("line", index,
         "the line is longer than " + std::to_string(streams_.max_line_bytes) + " bytes", progress);
  }

  bool failed() const { return failed_; }
  bool any_contains() const { return any_contains_; }

 private:
  // Reports `message` for the text named by `where` and `index` on the error stream and prints
  // an empty line in its place.
  void Fail(const char* where, uint64_t index, const std::string& message, Progress& progress) {
    failed_ = true;
    progress.Clear();
    std::fflush(streams_.out);  // keeps the error beside its line when both go to one place
    PrintError(streams_.err, std::string(where) + " " + std::to_string(index) + ": " + message);
    WriteLine(streams_.out, "");
  }

  const ToolOptions& options_;
  const ToolStreams& streams_;
  SanitizerBackend& backend_;
  bool failed_ = false;
  bool any_contains_ = false;
};

int Run(const std::vector<std::string>& args, const ToolStreams& streams, SanitizerBackend& backend,
        const std::filesystem::path& default_assets) {
  std::variant<ToolOptions, std::string> parsed = ParseToolOptions(args);
  if (const std::string* message = std::get_if<std::string>(&parsed)) {
    PrintError(streams.err, *message);
    std::fputs("Try 'sanitizer --help' for more information.\n", streams.err);
    return kExitError;
  }
  const ToolOptions& options = std::get<ToolOptions>(parsed);
  if (options.command == Command::kHelp) {
    const std::string_view help = HelpText();
    std::fwrite(help.data(), 1, help.size(), streams.out);
    return FinishOutput(streams) ? kExitSuccess : kExitError;
  }

  SanitizerSettings settings;
  settings.assets = options.assets.value_or(default_assets);
  std::error_code code;
  if (!std::filesystem::is_directory(settings.assets, code)) {
    PrintError(streams.err,
               "asset folder " + settings.assets.string() +
                   (std::filesystem::exists(settings.assets, code) ? " is not a folder"
                                                                   : " does not exist"));
    return kExitError;
  }
  settings.region = options.region;
  settings.locale = options.locale;
  if (options.config) {
    std::string error;
    if (!ReadConfigFile(*options.config, settings, &error)) {
      PrintError(streams.err, "--config: " + error);
      return kExitError;
    }
  }
  if (options.whitelist) settings.whitelistEnabled = true;
  if (const std::optional<BackendError> error = backend.Configure(settings)) {
    PrintError(streams.err, error->message);
    return kExitError;
  }

  if (options.command == Command::kStatus) {
    WriteLine(streams.out, ToJson(backend.Status(), /*pretty=*/!options.json));
    return FinishOutput(streams) ? kExitSuccess : kExitError;
  }
  if (!backend.Status().ready) {
    PrintError(streams.err, settings.locale.empty()
                                ? "Sanitizer is not ready or available (the locale is empty)"
                                : "Sanitizer is not ready or available");
    return kExitError;
  }

  TextRunner runner(options, streams, backend);
  bool read_failed = false;
  if (options.texts_given) {
    Progress progress(streams.err, false, 0);
    for (std::size_t i = 0; i < options.texts.size(); ++i) {
      runner.Answer(options.texts[i], "argument", i + 1, progress);
    }
  } else {
    Progress progress(streams.err, streams.err_is_terminal, InputSize(streams.in));
    LineReader reader(streams.in, streams.max_line_bytes);
    std::string text;
    bool too_long = false;
    uint64_t count = 0;
    uint64_t bytes = 0;
    while (reader.Next(text, &too_long)) {
      ++count;
      bytes += text.size() + 1;
      if (too_long) {
        runner.RefuseLongLine(count, progress);
      } else {
        runner.Answer(text, "line", count, progress);
      }
      progress.Update(count, bytes);
    }
    progress.Clear();
    read_failed = std::ferror(streams.in) != 0;
  }
  if (!FinishOutput(streams)) return kExitError;
  if (read_failed) {
    PrintError(streams.err, "cannot read standard input");
    return kExitError;
  }
  if (runner.failed()) return kExitError;
  if (options.command == Command::kContains) {
    return runner.any_contains() ? kExitSuccess : kExitNoMatch;
  }
  return kExitSuccess;
}

}  // namespace

int RunSanitizerTool(const std::vector<std::string>& args, const ToolStreams& streams,
                     SanitizerBackend& backend, const std::filesystem::path& default_assets) {
  try {
    return Run(args, streams, backend, default_assets);
  } catch (const std::exception& e) {
    PrintError(streams.err, e.what());
  } catch (...) {
    PrintError(streams.err, "unexpected failure");
  }
  return kExitError;
}

}  // namespace sanitizer::tool
