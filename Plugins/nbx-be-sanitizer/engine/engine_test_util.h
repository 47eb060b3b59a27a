// Test helpers for the engine tests: inline asset sets, UTF-8 in and out, building the engine
// and the reference engine from the same inputs, and the engine's warnings.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_TEST_UTIL_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_TEST_UTIL_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "sdk/diagnostics/log_target.h"
#include "sdk/diagnostics/logger.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::testing {

using Assets = std::map<std::string, std::string, std::less<>>;

inline std::u32string U32(std::string_view utf8) { return sdk::text::Utf8ToUtf32(utf8); }
inline std::string U8(std::u32string_view text) { return sdk::text::Utf32ToUtf8(text); }

// Inputs of one engine build.
struct BuildInputs {
  Assets assets;
  std::string region;
  std::string locale = "en_US";
  bool whitelist_enabled = false;
  LevelTexts includes;
  LevelTexts excludes;
  LevelTexts whitelist;
};

// A loader over `assets` that also records every name it was asked for.
struct RecordingLoader {
  explicit RecordingLoader(Assets assets)
      : names(std::make_shared<std::vector<std::string>>()),
        loader(
            [inner = MakeMapAssetLoader(std::move(assets)), names = names](std::string_view name) {
              names->emplace_back(name);
              return inner(name);
            }) {}
  std::shared_ptr<std::vector<std::string>> names;
  AssetLoader loader;
};

inline std::shared_ptr<const SanitizerUtils> MakeUtils(const Assets& assets) {
  return SanitizerUtils::Create(MakeMapAssetLoader(assets));
}

inline std::unique_ptr<SanitizerEngine> Build(const BuildInputs& in,
                                              std::shared_ptr<const SanitizerUtils> utils) {
  return BuildEngine(std::move(utils), in.whitelist_enabled, in.region, in.locale, in.includes,
                     in.excludes, in.whitelist, MakeMapAssetLoader(in.assets));
}

inline std::unique_ptr<SanitizerEngine> Build(const BuildInputs& in) {
  return Build(in, MakeUtils(in.assets));
}

inline std::unique_ptr<reference::Engine> BuildReference(
    const BuildInputs& in, std::shared_ptr<const SanitizerUtils> utils) {
  return reference::BuildEngine(std::move(utils), in.whitelist_enabled, in.region, in.locale,
                                in.includes, in.excludes, in.whitelist,
                                MakeMapAssetLoader(in.assets));
}

// Collects the messages of DBG records at warning level and above while it lives.
class CapturedLog final : public sdk::diagnostics::LogTarget {
 public:
  CapturedLog() : logger_(sdk::diagnostics::AcquireLogger()) {
    SetLevel(sdk::diagnostics::kLogWarning);
    SetCategories(sdk::diagnostics::kCategoryDbg, 0);
    logger_->Attach(sink());
  }
  ~CapturedLog() override {
    Detach();
    sdk::diagnostics::ReleaseLogger();
  }
  bool Write(const sdk::diagnostics::LogRecord& record) override {
    if (record.level == sdk::diagnostics::kLogWarning) messages.emplace_back(record.message);
    return true;
  }
  std::vector<std::string> messages;

 private:
  sdk::diagnostics::Logger* logger_;
};

}  // namespace sanitizer::testing

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_TEST_UTIL_H_
