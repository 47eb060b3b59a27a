// SanitizerEngine and BuildEngine: from region, locale, configuration and asset loader to the
// immutable per-configuration structures that the scans read.
//
// BuildEngine picks the list assets that apply (variant names from region and locale plus
// their aliases in "variantaliases.txt"), loads them and the ad-hoc texts of the
// configuration per level and kind (filter, unfilter, whitelist), cuts them into entries with
// the list-text syntax (WordSpanIterator with the list separator, one word per span) and
// builds the structures of the two scans. The keys of all filter and unfilter lists are held
// in one table from key to the lowest filter level and the lowest unfilter level that list
// it, which answers "is this key in a list of a level <= L" with one lookup. The tries of the
// aggressive scan are one per kind (filter, whitelist), each entry terminal at the lowest level
// whose list holds it (for filter entries: after that level's unfilter entries were taken
// out), which finds what the separate tries of the levels <= L find together. The word counts
// are those of the separate per-level tries. Building never fails: missing assets are empty
// lists.
//
// An engine is immutable once built; any number of scans may read it at once.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_ENGINE_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_ENGINE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

namespace sanitizer {

namespace detail {
struct EngineData;
}  // namespace detail

// Ad-hoc list texts per level, as read from the configuration (one text per present level).
using LevelTexts = std::unordered_map<uint32_t, std::vector<std::u32string>>;

// Word counts per level; levels 0 to 3 are always present.
using LevelCounts = std::map<uint32_t, uint32_t>;

inline constexpr std::string_view kVariantAliasesAsset = "variantaliases.txt";

class SanitizerEngine {
 public:
  explicit SanitizerEngine(std::unique_ptr<detail::EngineData> data);
  ~SanitizerEngine();
  SanitizerEngine(const SanitizerEngine&) = delete;
  SanitizerEngine& operator=(const SanitizerEngine&) = delete;

  const std::shared_ptr<const SanitizerUtils>& utils() const;
  // Per level, the number of words in the level's filter trie (after its unfilter entries
  // were taken out) and in its whitelist trie.
  const LevelCounts& filtered_word_counts() const;
  const LevelCounts& whitelisted_word_counts() const;
  // The allowed characters; empty switches off the removal of disallowed characters.
  const std::unordered_set<char32_t>& allowed_chars() const;
  uint32_t allowed_chars_count() const;
  // Approximate bytes held by the engine's own structures (not the shared utilities).
  std::size_t memory_bytes() const;

  // Internal structures read by the scans.
  const detail::EngineData& data() const { return *data_; }

 private:
  std::unique_ptr<const detail::EngineData> data_;
};

// Builds the engine for one configuration. `utils` must not be null. The loader is called
// only during the build.
std::unique_ptr<SanitizerEngine> BuildEngine(std::shared_ptr<const SanitizerUtils> utils,
                                             bool whitelist_enabled, std::string_view region,
                                             std::string_view locale, const LevelTexts& includes,
                                             const LevelTexts& excludes,
                                             const LevelTexts& whitelist,
                                             const AssetLoader& loader);

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_ENGINE_H_
