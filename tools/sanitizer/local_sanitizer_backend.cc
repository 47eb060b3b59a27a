// The engine-linked SanitizerBackend: the plug-in's configuration flow and resource handlers,
// without a host. See local_sanitizer_backend.h.
#include "tools/sanitizer/local_sanitizer_backend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "Plugins/nbx-be-sanitizer/engine/scan.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::tool {
namespace {

constexpr int kNotFound = 404;
constexpr int kBadRequest = 400;
constexpr char kNotReadyMessage[] = "Sanitizer is not ready or available";
constexpr char kInvalidUtf8Message[] = "Invalid UTF-8 string";

LevelTexts ToLevelTexts(const std::map<uint32_t, std::string>& texts) {
  LevelTexts result;
  for (const auto& [level, text] : texts) {
    result[level].push_back(sdk::text::Utf8ToUtf32(text));
  }
  return result;
}

bool SameInputs(const SanitizerSettings& a, const SanitizerSettings& b) {
  return a.whitelistEnabled == b.whitelistEnabled && a.region == b.region && a.locale == b.locale &&
         a.adhocIncludes == b.adhocIncludes && a.adhocExcludes == b.adhocExcludes &&
         a.adhocWhitelist == b.adhocWhitelist;
}

class LocalSanitizerBackend final : public SanitizerBackend {
 public:
  std::optional<BackendError> Configure(const SanitizerSettings& settings) override {
    // The character tables are read once per asset folder, as the plug-in reads them once
    // when it initialises.
    if (!utils_ || !assets_ || *assets_ != settings.assets) {
      loader_ = MakeFolderAssetLoader(settings.assets);
      utils_ = SanitizerUtils::Create(loader_);
      assets_ = settings.assets;
      status_.breakingCharsCount = utils_->breaking_chars_count();
      status_.projectedCharsCount = utils_->projected_chars_count();
      engine_.reset();
      status_.ready = false;
    }
    if (status_.ready && SameInputs(settings, inputs_)) return std::nullopt;
    inputs_ = settings;
    if (inputs_.locale.empty()) return std::nullopt;

    engine_ = BuildEngine(utils_, inputs_.whitelistEnabled, inputs_.region, inputs_.locale,
                          ToLevelTexts(inputs_.adhocIncludes), ToLevelTexts(inputs_.adhocExcludes),
                          ToLevelTexts(inputs_.adhocWhitelist), loader_);
    status_.ready = true;
    status_.region = inputs_.region;
    status_.locale = inputs_.locale;
    status_.allowedCharsCount = engine_->allowed_chars_count();
    for (const auto& [level, count] : engine_->filtered_word_counts()) {
      status_.filteredWordCountsByLevel[std::to_string(level)] = count;
    }
    for (const auto& [level, count] : engine_->whitelisted_word_counts()) {
      status_.whitelistedWordCountsByLevel[std::to_string(level)] = count;
    }
    return std::nullopt;
  }

  SanitizerStatus Status() override { return status_; }

  BackendResult<ContainsSanitizedResponse> ContainsSanitized(
      const ContainsSanitizedRequest& request) override {
    if (!engine_) return BackendError{kNotFound, kNotReadyMessage};
    // Like the resource, no validity check here: text that does not decode is empty.
    const std::u32string text = sdk::text::Utf8ToUtf32(request.text);
    ContainsSanitizedResponse response;
    response.contains = sanitizer::ContainsSanitized(
        *engine_, text, request.level.value_or(kDefaultLevel),
        request.includeEmbedded.value_or(false), request.removeDisallowedChars.value_or(false),
        request.aggressiveScan.value_or(false));
    return response;
  }

  BackendResult<SanitizeResponse> Sanitize(const SanitizeRequest& request) override {
    if (!engine_) return BackendError{kNotFound, kNotReadyMessage};
    const uint32_t level = request.level.value_or(kDefaultLevel);
    const bool remove = request.removeDisallowedChars.value_or(false);
    const bool aggressive = request.aggressiveScan.value_or(false);
    SanitizeResponse response;
    std::u32string output;
    auto sanitize_one = [&](const std::string& text, std::string& masked) {
      output.clear();
      const bool modified = SanitizeText(*engine_, output, sdk::text::Utf8ToUtf32(text), level,
                                         remove, aggressive, kDefaultMaxWords);
      response.modified = response.modified || modified;
      masked = sdk::text::Utf32ToUtf8(output);
    };
    if (request.texts) {
      for (const std::string& text : *request.texts) {
        if (!sdk::text::IsValidUtf8(text)) return BackendError{kBadRequest, kInvalidUtf8Message};
      }
      std::vector<std::string> masked(request.texts->size());
      for (std::size_t i = 0; i < masked.size(); ++i) sanitize_one((*request.texts)[i], masked[i]);
      response.texts = std::move(masked);
    }
    if (request.text) {
      if (!sdk::text::IsValidUtf8(*request.text)) {
        return BackendError{kBadRequest, kInvalidUtf8Message};
      }
      std::string masked;
      sanitize_one(*request.text, masked);
      response.text = std::move(masked);
    }
    return response;
  }

 private:
  std::optional<std::filesystem::path> assets_;
  AssetLoader loader_;
  std::shared_ptr<const SanitizerUtils> utils_;
  std::unique_ptr<SanitizerEngine> engine_;
  SanitizerSettings inputs_;
  SanitizerStatus status_;
};

}  // namespace

std::unique_ptr<SanitizerBackend> MakeLocalSanitizerBackend() {
  return std::make_unique<LocalSanitizerBackend>();
}

}  // namespace sanitizer::tool
