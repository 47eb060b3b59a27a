// The handlers and endpoint declarations of the sanitizer's resources (sanitizer_resources.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::service {
namespace {

using sdk::dispatch::HandlerResult;
using sdk::dispatch::HttpError;

HttpError NotReady() { return HttpError{kStatusNotFound, std::string(kNotReadyMessage)}; }
HttpError InvalidUtf8() { return HttpError{kStatusBadRequest, std::string(kInvalidUtf8Message)}; }

// Masks the texts of one request with one engine and the request's settings, reusing its
// code-point buffers from text to text.
class TextMasker {
 public:
  TextMasker(const SanitizerEngine& engine, const SanitizeRequest& request)
      : engine_(engine),
        level_(request.level.value_or(kDefaultLevel)),
        remove_disallowed_chars_(request.removeDisallowedChars.value_or(false)),
        aggressive_scan_(request.aggressiveScan.value_or(false)) {}

  // The masked form of a valid UTF-8 text.
  std::string Mask(const std::string& text) {
    decoded_ = sdk::text::Utf8ToUtf32(text);
    output_.clear();
    if (SanitizeText(engine_, output_, decoded_, level_, remove_disallowed_chars_, aggressive_scan_,
                     kDefaultMaxWords)) {
      modified_ = true;
    }
    return sdk::text::Utf32ToUtf8(output_);
  }

  bool modified() const { return modified_; }

 private:
  const SanitizerEngine& engine_;
  const uint32_t level_;
  const bool remove_disallowed_chars_;
  const bool aggressive_scan_;
  bool modified_ = false;
  std::u32string decoded_;
  std::u32string output_;
};

}  // namespace

SanitizerStatus StatusResource(const SanitizerSnapshot& snapshot) { return snapshot.status; }

HandlerResult<ContainsSanitizedResponse> ContainsSanitizedResource(
    const SanitizerSnapshot& snapshot, const ContainsSanitizedRequest& request) {
  if (snapshot.engine == nullptr) return NotReady();
  if (!sdk::text::IsValidUtf8(request.text)) return InvalidUtf8();
  ContainsSanitizedResponse response;
  response.contains = ContainsSanitized(
      *snapshot.engine, sdk::text::Utf8ToUtf32(request.text), request.level.value_or(kDefaultLevel),
      request.includeEmbedded.value_or(false), request.removeDisallowedChars.value_or(false),
      request.aggressiveScan.value_or(false));
  return response;
}

HandlerResult<SanitizeResponse> SanitizeResource(const SanitizerSnapshot& snapshot,
                                                 const SanitizeRequest& request) {
  if (snapshot.engine == nullptr) return NotReady();
  // Every text is checked before any is masked: one invalid text fails the whole request.
  if (request.texts.has_value()) {
    for (const std::string& text : *request.texts) {
      if (!sdk::text::IsValidUtf8(text)) return InvalidUtf8();
    }
  }
  if (request.text.has_value() && !sdk::text::IsValidUtf8(*request.text)) return InvalidUtf8();

  TextMasker masker(*snapshot.engine, request);
  SanitizeResponse response;
  if (request.texts.has_value()) {
    std::vector<std::string> masked;
    masked.reserve(request.texts->size());
    for (const std::string& text : *request.texts) masked.push_back(masker.Mask(text));
    response.texts = std::move(masked);
  }
  if (request.text.has_value()) response.text = masker.Mask(*request.text);
  response.modified = masker.modified();
  return response;
}

void DeclareSanitizerEndpoints(sdk::dispatch::EndpointTable& table, const SanitizerService& service,
                               std::span<const std::string> api_tags) {
  using sdk::dispatch::DeclareRoute;
  using sdk::dispatch::HttpMethod;
  using sdk::dispatch::InBody;
  const SanitizerService* const owner = &service;
  DeclareRoute(table, HttpMethod::kGet, kStatusPath, [owner] {
    return StatusResource(*owner->Snapshot());
  }).Tags(api_tags);
  DeclareRoute(
      table, HttpMethod::kPost, kContainsSanitizedPath,
      [owner](const ContainsSanitizedRequest& request) {
        return ContainsSanitizedResource(*owner->Snapshot(), request);
      },
      InBody(kRequestParameter))
      .Tags(api_tags);
  DeclareRoute(
      table, HttpMethod::kPost, kSanitizePath,
      [owner](const SanitizeRequest& request) {
        return SanitizeResource(*owner->Snapshot(), request);
      },
      InBody(kRequestParameter))
      .Tags(api_tags);
}

void RegisterSanitizerApi(sdk::dispatch::EndpointTable& table, std::string_view type_name_prefix,
                          std::span<const std::string> api_tags, const SanitizerService& service) {
  RegisterSanitizerRecords(table.registry(), type_name_prefix, api_tags);
  DeclareSanitizerEndpoints(table, service, api_tags);
}

}  // namespace sanitizer::service
