// A literal, slow implementation of the sanitizer engine: every step done the plain way, for
// the tests to check the engine against (the engine's fast paths must give the same results)
// and for the benchmarks to measure it against. Not part of the product.
//
// It shares only the character tables (LoadCharTables) and the full lower-casing
// (SanitizerUtils::LowerText) with the engine. Everything else is its own: the predicates and
// the word key straight from the tables and ICU, its own word-span iterator, the alias file
// read with the regular expression, one WordHashSet per list text with every key computed
// from scratch for every span and looked up set by set, tries of std::map nodes, and texts
// copied for every step.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_REFERENCE_ENGINE_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_REFERENCE_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "Plugins/nbx-be-sanitizer/engine/word_set.h"
#include "Plugins/nbx-be-sanitizer/engine/word_span_iterator.h"

namespace sanitizer::reference {

bool IsSeparator(const CharTables& tables, char32_t c);
bool IsWordChar(const CharTables& tables, char32_t c);
uint64_t HashSpan(const CharTables& tables, std::u32string_view text, std::size_t first,
                  std::size_t last, bool project, bool use_leet, uint64_t seed = 0);

// The word-span iterator, step by step (the predicates are required).
std::vector<WordSpan> AllSpans(std::u32string_view text, std::size_t max_words,
                               const std::function<bool(char32_t)>& word_start,
                               const std::function<bool(char32_t)>& separator);

struct TrieNode {
  bool terminal = false;
  std::map<char32_t, std::unique_ptr<TrieNode>> children;
};

struct Engine {
  std::shared_ptr<const SanitizerUtils> utils;  // only its tables are used
  std::set<std::string> variant_names;
  std::vector<std::string> loaded_assets;  // every name passed to the loader, in order
  std::map<uint32_t, std::vector<std::unique_ptr<WordSet>>> filter_sets;
  std::map<uint32_t, std::vector<std::unique_ptr<WordSet>>> unfilter_sets;
  std::map<uint32_t, TrieNode> filter_tries;
  std::map<uint32_t, TrieNode> whitelist_tries;
  std::unordered_set<char32_t> allowed;
  LevelCounts filtered_counts;
  LevelCounts whitelisted_counts;
  std::vector<uint32_t> warned_levels;  // levels given unfilter lists but no filter list
};

std::unique_ptr<Engine> BuildEngine(std::shared_ptr<const SanitizerUtils> utils,
                                    bool whitelist_enabled, std::string_view region,
                                    std::string_view locale, const LevelTexts& includes,
                                    const LevelTexts& excludes, const LevelTexts& whitelist,
                                    const AssetLoader& loader);

// The spans of the normal scan that are to be masked, in the order the iterator yields them.
std::vector<WordSpan> ScanWords(const Engine& engine, std::u32string_view text, uint32_t level,
                                uint32_t max_words);
bool MarkMatches(const TrieNode& trie, std::u32string& target, std::u32string_view source,
                 char32_t mark);
bool SanitizeText(const Engine& engine, std::u32string& output, std::u32string_view text,
                  uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
                  uint32_t max_words);
bool ContainsSanitized(const Engine& engine, std::u32string_view text, uint32_t level,
                       bool include_embedded, bool remove_disallowed_chars, bool aggressive_scan);

}  // namespace sanitizer::reference

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_REFERENCE_ENGINE_H_
