// The one interface through which the `sanitizer` command-line tool reaches a sanitizer.
//
// The tool parses arguments, reads texts and prints answers; everything that decides an answer
// sits behind SanitizerBackend, shaped like the sanitizer's three resources: Configure feeds it
// the inputs that the plug-in takes from its host (asset folder, region and locale, the
// "Sanitizer" configuration namespace), and Status, ContainsSanitized and Sanitize take and
// return the records of the status, containsSanitized and sanitize resources with their wire
// member names. Today the backend links the engine directly (local_sanitizer_backend.h); a
// backend that loads the plug-in and answers through its resources can replace it without any
// change to argument parsing, input or output.
#ifndef TOOLS_SANITIZER_SANITIZER_BACKEND_H_
#define TOOLS_SANITIZER_SANITIZER_BACKEND_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace sanitizer::tool {

// What the plug-in reads from its host: the asset folder stands for the assets served under
// "/sanitizer/assets/", region and locale for "/pavoclient/region-locale", and the rest for the
// configuration namespace "Sanitizer" after its members were read (texts in their text form,
// WhitelistEnabled as its truth value). Ad-hoc texts are UTF-8, keyed by level (0 to 3).
struct SanitizerSettings {
  std::filesystem::path assets;
  std::string region;
  std::string locale;
  bool whitelistEnabled = false;
  std::map<uint32_t, std::string> adhocIncludes;
  std::map<uint32_t, std::string> adhocExcludes;
  std::map<uint32_t, std::string> adhocWhitelist;
};

struct SanitizerStatus {
  bool ready = false;
  std::string region;
  std::string locale;
  std::map<std::string, uint32_t> filteredWordCountsByLevel;
  std::map<std::string, uint32_t> whitelistedWordCountsByLevel;
  uint32_t allowedCharsCount = 0;
  uint32_t breakingCharsCount = 0;
  uint32_t projectedCharsCount = 0;
};

struct ContainsSanitizedRequest {
  std::string text;
  std::optional<uint32_t> level;
  std::optional<bool> includeEmbedded;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct ContainsSanitizedResponse {
  bool contains = false;
};

struct SanitizeRequest {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  std::optional<uint32_t> level;
  std::optional<bool> removeDisallowedChars;
  std::optional<bool> aggressiveScan;
};

struct SanitizeResponse {
  std::optional<std::vector<std::string>> texts;
  std::optional<std::string> text;
  bool modified = false;
};

// A resource's failure: an HTTP status and a message, as the plug-in answers its host.
struct BackendError {
  int status = 500;
  std::string message;
};

// Either a record or a BackendError; never throws.
template <typename T>
class BackendResult {
 public:
  BackendResult(T value) : content_(std::move(value)) {}             // NOLINT: implicit by design
  BackendResult(BackendError error) : content_(std::move(error)) {}  // NOLINT

  bool ok() const { return std::holds_alternative<T>(content_); }
  const T& value() const { return std::get<T>(content_); }
  const BackendError& error() const { return std::get<BackendError>(content_); }

 private:
  std::variant<T, BackendError> content_;
};

class SanitizerBackend {
 public:
  virtual ~SanitizerBackend() = default;

  // Applies the inputs, rebuilding the sanitizer when they changed and the locale is not
  // empty (with an empty locale the sanitizer stays not ready). Fails only when the backend
  // itself cannot start; missing assets are empty assets.
  virtual std::optional<BackendError> Configure(const SanitizerSettings& settings) = 0;
  // The status resource; never fails.
  virtual SanitizerStatus Status() = 0;
  // The containsSanitized resource: 404 before the sanitizer is ready.
  virtual BackendResult<ContainsSanitizedResponse> ContainsSanitized(
      const ContainsSanitizedRequest& request) = 0;
  // The sanitize resource: 404 before the sanitizer is ready, 400 "Invalid UTF-8 string"
  // when any text is not valid UTF-8 (no partial answer).
  virtual BackendResult<SanitizeResponse> Sanitize(const SanitizeRequest& request) = 0;
};

}  // namespace sanitizer::tool

#endif  // TOOLS_SANITIZER_SANITIZER_BACKEND_H_
