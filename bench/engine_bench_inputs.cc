// Finding and reading the benchmark inputs. See engine_bench_inputs.h.
#include "bench/engine_bench_inputs.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"
#include "sdk/text/code_conversion.h"

namespace sanitizer::bench {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

std::filesystem::path SampleAssets() {
  return std::filesystem::path(SANITIZER_SOURCE_DIR) / "assets";
}

std::optional<std::filesystem::path> EnglishWordList() {
  std::error_code code;
  for (std::filesystem::path dir = std::filesystem::absolute(SANITIZER_SOURCE_DIR, code);
       !dir.empty(); dir = dir.parent_path()) {
    const std::filesystem::path candidate = dir / "shared" / "data" / "wordlists" / "en";
    if (std::filesystem::is_regular_file(candidate, code)) return candidate;
    if (dir == dir.parent_path()) break;
  }
  return std::nullopt;
}

std::vector<std::string> FortuneTexts() {
  std::vector<std::filesystem::path> files;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(kFortunesFolder, code)) {
    // The data files are the names without extension; ".dat" are indexes, ".u8" links.
    if (entry.is_regular_file(code) && !entry.is_symlink(code) && !entry.path().has_extension()) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> texts;
  for (const std::filesystem::path& file : files) {
    std::istringstream lines(ReadFile(file));
    std::string line;
    std::string text;
    auto flush = [&] {
      if (!text.empty() && sdk::text::IsValidUtf8(text)) texts.push_back(text);
      text.clear();
    };
    while (std::getline(lines, line)) {
      if (line == "%") {
        flush();
        continue;
      }
      if (!text.empty()) text += '\n';
      text += line;
    }
    flush();
  }
  return texts;
}

std::string ListText(const std::filesystem::path& path, std::size_t max_entries) {
  std::istringstream lines(ReadFile(path));
  std::vector<std::string> entries;
  for (std::string line; std::getline(lines, line);) {
    line.erase(std::remove_if(line.begin(), line.end(),
                              [](char c) { return c == ' ' || c == '\t' || c == '\r'; }),
               line.end());
    if (!line.empty()) entries.push_back(line);
  }
  std::string text;
  const std::size_t count =
      max_entries == 0 ? entries.size() : std::min(max_entries, entries.size());
  for (std::size_t i = 0; i < count; ++i) {
    text += entries[i * entries.size() / count];
    text += '\n';
  }
  return text;
}

Engines BuildEngines(const std::string& level1_filter) {
  const AssetLoader loader = MakeFolderAssetLoader(SampleAssets());
  Engines engines;
  engines.utils = SanitizerUtils::Create(loader);
  LevelTexts includes;
  includes[1].push_back(sdk::text::Utf8ToUtf32(level1_filter));
  engines.engine = BuildEngine(engines.utils, false, "", "en_US", includes, {}, {}, loader);
  engines.reference =
      reference::BuildEngine(engines.utils, false, "", "en_US", includes, {}, {}, loader);
  return engines;
}

const Engines& ScanEngines() {
  static const Engines* const engines = [] {
    if (!MissingInput().empty()) return new Engines();
    return new Engines(BuildEngines(ListText(*EnglishWordList())));
  }();
  return *engines;
}

std::string MissingInput() {
  std::error_code code;
  if (!std::filesystem::is_directory(kFortunesFolder, code)) {
    return std::string("missing ") + kFortunesFolder + " (install Debian's fortunes package)";
  }
  if (!EnglishWordList()) {
    return "missing shared/data/wordlists/en beside or above " + std::string(SANITIZER_SOURCE_DIR);
  }
  if (!std::filesystem::is_regular_file(SampleAssets() / "projectedchars.txt", code)) {
    return "missing the sample assets in " + SampleAssets().string();
  }
  return std::string();
}

}  // namespace sanitizer::bench
