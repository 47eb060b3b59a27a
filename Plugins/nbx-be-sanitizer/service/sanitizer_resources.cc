// The handlers and endpoint declarations of the sanitizer's resources (sanitizer_resources.h).
#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::service {
namespace {

using sdk::dispatch::HandlerResult;
using sdk::dispatch::HttpError;

HttpError NotReady() { return HttpError{kStatusNotFound, std::string(kNotReadyMessage)}; }
HttpError InvalidUtf8() { return HttpError{kStatusBadRequest, std::string(kInvalidUtf8Message)}; }

// The code-point buffers of the text resources, kept per thread from text to text and from
// request to request, so that a request allocates none of them; the thread's own, so
// concurrent requests share nothing mutable. Trimmed after a request on a very long text, so
// that one such text does not pin its memory for the thread's life.
class CodePointBuffers {
 public:
  // `text` checked and decoded (sdk::text::DecodeValidUtf8) into the decoding buffer; false
  // when it is not valid UTF-8.
  bool Decode(std::string_view text, std::u32string_view* decoded) {
    if (text.size() > decoded_capacity_) {
      decoded_.reset();  // the old buffer goes before the new one comes
      decoded_ = std::make_unique_for_overwrite<char32_t[]>(text.size());
      decoded_capacity_ = text.size();
    }
    size_t size = 0;
    if (!sdk::text::DecodeValidUtf8(text, decoded_.get(), &size)) return false;
    *decoded = std::u32string_view(decoded_.get(), size);
    return true;
  }

  std::u32string& output() { return output_; }

  void Trim() {
    constexpr size_t kKeep = size_t{1} << 20;
    if (decoded_capacity_ > kKeep) {
      decoded_.reset();
      decoded_capacity_ = 0;
    }
    if (output_.capacity() > kKeep) std::u32string().swap(output_);
  }

 private:
  std::unique_ptr<char32_t[]> decoded_;
  size_t decoded_capacity_ = 0;
  std::u32string output_;
};

CodePointBuffers& ThreadBuffers() {
  thread_local CodePointBuffers buffers;
  return buffers;
}

// Masks the texts of one request with one engine and the request's settings, each checked and
// decoded in one pass into the thread's buffers.
class TextMasker {
 public:
  TextMasker(const SanitizerEngine& engine, const SanitizeRequest& request)
      : engine_(engine),
        level_(request.level.value_or(kDefaultLevel)),
        remove_disallowed_chars_(request.removeDisallowedChars.value_or(false)),
        aggressive_scan_(request.aggressiveScan.value_or(false)),
        buffers_(ThreadBuffers()) {}
  ~TextMasker() { buffers_.Trim(); }
  TextMasker(const TextMasker&) = delete;
  TextMasker& operator=(const TextMasker&) = delete;

  // The masked form of `text` appended to `masked`, or into `masked`; false when the text is
  // not valid UTF-8.
  bool Mask(std::string_view text, sdk::binding::TextList& masked) {
    if (!Scan(text)) return false;
    const std::u32string& output = buffers_.output();
    // A text that does not encode (no masked text does) becomes the empty text, as
    // sdk::text::Utf32ToUtf8 gives it.
    if (output.empty() || !masked.AppendWritten(4 * output.size(), [&output](char* out) {
          return sdk::text::WriteUtf8(output, out);
        })) {
      masked.Append({});
    }
    return true;
  }
  bool Mask(std::string_view text, std::string& masked) {
    if (!Scan(text)) return false;
    masked = sdk::text::Utf32ToUtf8(buffers_.output());
    return true;
  }

  bool modified() const { return modified_; }

 private:
  // Decodes `text` and leaves its masked code points in the output buffer.
  bool Scan(std::string_view text) {
    std::u32string_view decoded;
    if (!buffers_.Decode(text, &decoded)) return false;
    std::u32string& output = buffers_.output();
    output.clear();
    if (SanitizeText(engine_, output, decoded, level_, remove_disallowed_chars_, aggressive_scan_,
                     kDefaultMaxWords)) {
      modified_ = true;
    }
    return true;
  }

  const SanitizerEngine& engine_;
  const uint32_t level_;
  const bool remove_disallowed_chars_;
  const bool aggressive_scan_;
  bool modified_ = false;
  CodePointBuffers& buffers_;
};

}  // namespace

SanitizerStatus StatusResource(const SanitizerSnapshot& snapshot) { return snapshot.status; }

HandlerResult<ContainsSanitizedResponse> ContainsSanitizedResource(
    const SanitizerSnapshot& snapshot, const ContainsSanitizedRequest& request) {
  if (snapshot.engine == nullptr) return NotReady();
  CodePointBuffers& buffers = ThreadBuffers();
  std::u32string_view decoded;
  const bool valid = buffers.Decode(request.text, &decoded);
  ContainsSanitizedResponse response;
  if (valid) {
    response.contains = ContainsSanitized(
        *snapshot.engine, decoded, request.level.value_or(kDefaultLevel),
        request.includeEmbedded.value_or(false), request.removeDisallowedChars.value_or(false),
        request.aggressiveScan.value_or(false));
  }
  buffers.Trim();
  if (!valid) return InvalidUtf8();
  return response;
}

HandlerResult<SanitizeResponse> SanitizeResource(const SanitizerSnapshot& snapshot,
                                                 const SanitizeRequest& request) {
  if (snapshot.engine == nullptr) return NotReady();
  // Each text is checked as it is decoded; one invalid text fails the whole request, and what
  // was masked before it is dropped.
  TextMasker masker(*snapshot.engine, request);
  SanitizeResponse response;
  if (request.texts.has_value()) {
    const sdk::binding::TextList& texts = *request.texts;
    sdk::binding::TextList& masked = response.texts.emplace();
    // A masked text is no longer than its source, but each is written into room for its
    // longest form, four bytes per code point: with room for three more bytes per byte of the
    // longest text beside all of them, the list never grows.
    size_t longest = 0;
    for (const std::string_view text : texts) longest = std::max(longest, text.size());
    masked.Reserve(texts.size(), texts.bytes().size() + 3 * longest);
    for (const std::string_view text : texts) {
      if (!masker.Mask(text, masked)) return InvalidUtf8();
    }
  }
  if (request.text.has_value() && !masker.Mask(*request.text, response.text.emplace())) {
    return InvalidUtf8();
  }
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
