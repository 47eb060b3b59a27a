// Inputs shared by the engine benchmarks: the fortunes corpus, the word lists, and the engine
// and the literal reference engine built on them, found at run time.
//
// Every input is a file of the machine or of the source tree: the corpus comes from Debian's
// `fortunes` package, the large build list from `wamerican`, the English list from
// shared/data/wordlists/en beside the repository and the character tables and lists from the
// bundled sample assets (the repository root is SANITIZER_SOURCE_DIR). A benchmark whose input
// is missing skips itself with the message of MissingInput().
#ifndef BENCH_ENGINE_BENCH_INPUTS_H_
#define BENCH_ENGINE_BENCH_INPUTS_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

namespace sanitizer::bench {

inline constexpr char kFortunesFolder[] = "/usr/share/games/fortunes";
inline constexpr char kAmericanEnglish[] = "/usr/share/dict/american-english";

// The bundled sample assets of the source tree.
std::filesystem::path SampleAssets();
// shared/data/wordlists/en, looked for beside the source tree and above it.
std::optional<std::filesystem::path> EnglishWordList();

// The texts of the fortunes files (one text per block between lines holding "%"), as UTF-8,
// in file-name order; texts that are not UTF-8 are left out. Empty when the folder is missing.
std::vector<std::string> FortuneTexts();

// A list text with one entry per line: the lines of `path` with the blanks inside each entry
// removed ("blow job" becomes "blowjob"). Reads at most `max_entries` entries spread evenly
// over the file (all when 0). Empty when the file is missing.
std::string ListText(const std::filesystem::path& path, std::size_t max_entries = 0);

// The engine and the reference engine, built alike from the sample assets (locale en_US) plus
// `level1_filter` as the configuration's level-1 filter text.
struct Engines {
  std::shared_ptr<const SanitizerUtils> utils;
  std::unique_ptr<SanitizerEngine> engine;
  std::unique_ptr<reference::Engine> reference;
};
Engines BuildEngines(const std::string& level1_filter);

// The engines of the scan benchmarks: sample assets plus the English word list. Built once;
// null engines when an input is missing (see MissingInput).
const Engines& ScanEngines();

// A message naming the first missing input among the corpus, the English list and the sample
// assets, or empty when all are there.
std::string MissingInput();

}  // namespace sanitizer::bench

#endif  // BENCH_ENGINE_BENCH_INPUTS_H_
