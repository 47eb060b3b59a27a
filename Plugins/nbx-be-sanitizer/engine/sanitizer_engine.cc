// BuildEngine and SanitizerEngine (sanitizer_engine.h), and the key table of engine_data.h.
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"

#include <unicode/uchar.h>

#include <map>
#include <set>
#include <utility>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"
#include "Plugins/nbx-be-sanitizer/engine/engine_data.h"
#include "Plugins/nbx-be-sanitizer/engine/engine_log.h"
#include "Plugins/nbx-be-sanitizer/engine/word_span_iterator.h"

namespace sanitizer {
namespace detail {

KeyLevelTable::KeyLevelTable() {
  entries_.assign(16, KeyEntry{0, KeyLevels{}});
  mask_ = 15;
  shift_ = 60;
  // Until Seal, every key passes both bitmaps.
  filter_.assign(64, ~uint64_t{0});
  filter_shift_ = 64 - 12;
  prefixes_.assign(64, ~uint64_t{0});
  prefix_shift_ = 64 - 12;
}

void KeyLevelTable::Grow() {
  std::vector<KeyEntry> old;
  old.swap(entries_);
  entries_.assign(old.size() * 2, KeyEntry{0, KeyLevels{}});
  mask_ = entries_.size() - 1;
  --shift_;
  for (const KeyEntry& entry : old) {
    if (entry.key == 0) continue;
    uint64_t slot = Slot(entry.key);
    while (entries_[slot].key != 0) slot = (slot + 1) & mask_;
    entries_[slot] = entry;
  }
}

KeyLevels& KeyLevelTable::Upsert(uint64_t key) {
  if (key == 0) {
    zero_used_ = true;
    return zero_;
  }
  for (uint64_t slot = Slot(key);; slot = (slot + 1) & mask_) {
    if (entries_[slot].key == key) return entries_[slot].levels;
    if (entries_[slot].key == 0) break;
  }
  if ((count_ + 1) * 2 > entries_.size()) Grow();
  uint64_t slot = Slot(key);
  while (entries_[slot].key != 0) slot = (slot + 1) & mask_;
  entries_[slot].key = key;
  ++count_;
  return entries_[slot].levels;
}

void KeyLevelTable::AddFilter(uint64_t key, uint32_t level) {
  KeyLevels& levels = Upsert(key);
  if (level < levels.filter_min) levels.filter_min = level;
}

void KeyLevelTable::AddUnfilter(uint64_t key, uint32_t level) {
  KeyLevels& levels = Upsert(key);
  if (level < levels.unfilter_min) levels.unfilter_min = level;
}

namespace {

// A bitmap of about 16 bits per member, at least 4096 bits.
unsigned BitmapBits(std::size_t members) {
  unsigned bits = 12;
  while ((std::size_t{1} << bits) < members * 16) ++bits;
  return bits;
}

}  // namespace

void KeyLevelTable::Seal() {
  unsigned bits = BitmapBits(count_);
  filter_.assign((std::size_t{1} << bits) / 64, 0);
  filter_shift_ = 64 - bits;
  for (const KeyEntry& entry : entries_) {
    if (entry.key == 0) continue;
    const uint64_t bit = (entry.key * 0xC2B2AE3D27D4EB4Full) >> filter_shift_;
    filter_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  bits = BitmapBits(prefix_keys_.size());
  prefixes_.assign((std::size_t{1} << bits) / 64, 0);
  prefix_shift_ = 64 - bits;
  for (const uint64_t key : prefix_keys_) {
    const uint64_t bit = (key * 0x9E3779B97F4A7C15ull) >> prefix_shift_;
    prefixes_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  std::vector<uint64_t>().swap(prefix_keys_);
}

bool EngineData::IsAllowed(char32_t c) const {
  if (c < allowed_common.size()) return allowed_common[c] != 0;
  return allowed.count(c) != 0;
}

}  // namespace detail

namespace {

using detail::EngineData;
using TextsByLevel = std::map<uint32_t, std::vector<std::u32string>>;
using VariantAliases = std::map<std::string, std::vector<std::string>, std::less<>>;

constexpr uint32_t kListLevels = 4;  // lists are named for levels 0 to 3

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// "variantaliases.txt": white-space separated tokens taken two by two, name then alias. This
// is what repeatedly searching "([^\s]+)\s+([^\s]+)" finds, without a regular expression
// engine whose recursion grows with the length of a token.
VariantAliases LoadVariantAliases(const AssetLoader& loader) {
  const std::u32string content = loader(kVariantAliasesAsset);
  std::string bytes;
  bytes.reserve(content.size());
  for (const char32_t c : content) bytes.push_back(static_cast<char>(c & 0xFF));
  VariantAliases aliases;
  std::size_t position = 0;
  std::string name;
  bool have_name = false;
  while (position < bytes.size()) {
    while (position < bytes.size() && IsAsciiSpace(bytes[position])) ++position;
    if (position >= bytes.size()) break;
    const std::size_t begin = position;
    while (position < bytes.size() && !IsAsciiSpace(bytes[position])) ++position;
    std::string token = bytes.substr(begin, position - begin);
    if (!have_name) {
      name = std::move(token);
      have_name = true;
    } else {
      aliases[name].push_back(std::move(token));
      have_name = false;
    }
  }
  return aliases;
}

const std::vector<std::string>* AliasesOf(const VariantAliases& aliases, std::string_view name) {
  const auto it = aliases.find(name);
  return it == aliases.end() ? nullptr : &it->second;
}

// The language and country parts of a locale such as "en_US" or "pt-BR".
std::string LanguageName(std::string_view locale) {
  const std::size_t separator = locale.find_first_of("_-");
  if (separator == std::string_view::npos) return "language";
  return AsciiLower("language." + std::string(locale.substr(0, separator)));
}

std::string CountryName(std::string_view locale) {
  const std::size_t separator = locale.find_first_of("_-");
  if (separator == std::string_view::npos || separator + 1 == locale.size()) return "country";
  return AsciiLower("country." + std::string(locale.substr(separator + 1)));
}

std::set<std::string> VariantNames(std::string_view region, std::string_view locale,
                                   const VariantAliases& aliases) {
  std::set<std::string> names{""};
  if (!region.empty()) names.insert(AsciiLower("region." + std::string(region)));
  if (!locale.empty()) {
    names.insert(CountryName(locale));
    names.insert(LanguageName(locale));
  }
  std::set<std::string> with_aliases = names;
  for (const std::string& name : names) {
    if (const auto* list = AliasesOf(aliases, name))
      with_aliases.insert(list->begin(), list->end());
  }
  return with_aliases;
}

std::string ListAssetName(uint32_t level, std::string_view kind, const std::string& variant) {
  std::string name = std::to_string(level) + "." + std::string(kind);
  if (!variant.empty()) name += "." + variant;
  name += ".csv";
  return AsciiLower(std::move(name));
}

void LoadLevelTexts(const AssetLoader& loader, std::string_view kind,
                    const std::set<std::string>& variants, const LevelTexts& adhoc,
                    TextsByLevel& texts) {
  for (uint32_t level = 0; level < kListLevels; ++level) {
    for (const std::string& variant : variants) {
      std::u32string text = loader(ListAssetName(level, kind, variant));
      if (!text.empty()) texts[level].push_back(std::move(text));
    }
  }
  for (const auto& [level, list] : adhoc) {
    auto& level_texts = texts[level];
    level_texts.insert(level_texts.end(), list.begin(), list.end());
  }
}

std::unordered_set<char32_t> LoadAllowedChars(const AssetLoader& loader, std::string_view locale,
                                              const VariantAliases& aliases) {
  std::vector<std::string> candidates;
  auto add = [&](std::string candidate) {
    const auto* list = AliasesOf(aliases, candidate);
    candidates.push_back(std::move(candidate));
    if (list != nullptr) candidates.insert(candidates.end(), list->begin(), list->end());
  };
  if (!locale.empty()) {
    add("locale." + std::string(locale));
    add(LanguageName(locale));
  }
  add("");
  std::unordered_set<char32_t> allowed;
  for (const std::string& candidate : candidates) {
    const std::string name =
        candidate.empty() ? "allowedchars.txt" : AsciiLower("allowedchars." + candidate + ".txt");
    ParseCharSet(loader(name), allowed);
    if (!allowed.empty()) break;
  }
  return allowed;
}

// Calls `on_entry` for every entry of a list text: spans of one word, a word starting at a
// word character that is first or follows a list separator.
template <typename OnEntry>
void ForEachEntry(const std::shared_ptr<const SanitizerUtils>& utils, std::u32string_view text,
                  OnEntry&& on_entry) {
  const SanitizerUtils* raw = utils.get();
  WordSpanIterator entries(
      text, utils, 1, 0, [raw](char32_t c) { return raw->IsWordChar(c); },
      [](char32_t c) { return SanitizerUtils::IsListSeparator(c); });
  while (const auto span = entries.Next()) {
    on_entry(text.substr(span->first, span->last - span->first + 1));
  }
}

// The raw key of an entry and the number of code points that enter it.
struct EntryKey {
  uint64_t key = 0;
  uint32_t length = 0;
};

// Also records the keys of all of the entry's prefixes in `keys`.
EntryKey RawKey(const detail::CharClassTable& classes, std::u32string_view entry,
                detail::KeyLevelTable& keys) {
  EntryKey result;
  keys.AddPrefix(0);
  for (const char32_t c : entry) {
    if (c == 0) break;
    const detail::CharClass cls = classes.Get(c);
    if ((cls.flags & detail::kRawKey) != 0) {
      result.key = result.key * kHashMultiplier + cls.raw;
      ++result.length;
      keys.AddPrefix(result.key);
    }
  }
  return result;
}

}  // namespace

SanitizerEngine::SanitizerEngine(std::unique_ptr<detail::EngineData> data)
    : data_(std::move(data)) {}

SanitizerEngine::~SanitizerEngine() = default;

const std::shared_ptr<const SanitizerUtils>& SanitizerEngine::utils() const { return data_->utils; }
const LevelCounts& SanitizerEngine::filtered_word_counts() const { return data_->filtered_counts; }
const LevelCounts& SanitizerEngine::whitelisted_word_counts() const {
  return data_->whitelisted_counts;
}
const std::unordered_set<char32_t>& SanitizerEngine::allowed_chars() const {
  return data_->allowed;
}
uint32_t SanitizerEngine::allowed_chars_count() const {
  return static_cast<uint32_t>(data_->allowed.size());
}

std::size_t SanitizerEngine::memory_bytes() const {
  std::size_t bytes = sizeof(EngineData) + data_->keys.memory_bytes() +
                      data_->powers.capacity() * sizeof(uint64_t) +
                      data_->allowed_common.capacity() +
                      data_->allowed.bucket_count() * sizeof(void*) +
                      data_->allowed.size() * (sizeof(char32_t) + 2 * sizeof(void*));
  bytes += data_->filter_trie.memory_bytes() + data_->whitelist_trie.memory_bytes();
  return bytes;
}

std::unique_ptr<SanitizerEngine> BuildEngine(std::shared_ptr<const SanitizerUtils> utils,
                                             bool whitelist_enabled, std::string_view region,
                                             std::string_view locale, const LevelTexts& includes,
                                             const LevelTexts& excludes,
                                             const LevelTexts& whitelist,
                                             const AssetLoader& loader_in) {
  if (!utils) utils = std::make_shared<const SanitizerUtils>(nullptr);
  const AssetLoader loader =
      loader_in ? loader_in : AssetLoader([](std::string_view) { return std::u32string(); });

  const VariantAliases aliases = LoadVariantAliases(loader);
  const std::set<std::string> variants = VariantNames(region, locale, aliases);

  TextsByLevel filter_texts;
  TextsByLevel unfilter_texts;
  TextsByLevel whitelist_texts;
  LoadLevelTexts(loader, "filter", variants, includes, filter_texts);
  LoadLevelTexts(loader, "unfilter", variants, excludes, unfilter_texts);
  if (whitelist_enabled) LoadLevelTexts(loader, "whitelist", variants, whitelist, whitelist_texts);

  auto data = std::make_unique<EngineData>();
  data->utils = utils;
  data->allowed = LoadAllowedChars(loader, locale, aliases);
  data->allowed_common.assign(detail::CharClassTable::kSize, 0);
  for (const char32_t c : data->allowed) {
    if (c < data->allowed_common.size()) data->allowed_common[c] = 1;
  }

  for (uint32_t level = 0; level < kListLevels; ++level) {
    data->filtered_counts[level] = 0;
    data->whitelisted_counts[level] = 0;
  }

  const detail::CharClassTable& classes = utils->classes();
  auto note_key = [&](const EntryKey& key) {
    if (key.length > data->max_key_length) data->max_key_length = key.length;
  };

  // One trie per kind; the levels are added in ascending order. Each node first reached as
  // an entry's end at the current level gets that level's stamp; an unfilter entry of the
  // level whose path ends on a stamped node takes the stamp away (the entry is out of this
  // level's list, though a lower level may still list it); the nodes still stamped become
  // terminals of the level and are the level's word count.
  std::vector<uint32_t> stamps;
  uint32_t stamp = 0;
  auto stamp_entry = [&](WordTrie& trie, std::u32string_view entry, std::vector<uint32_t>& nodes) {
    const uint32_t node = trie.AddPath(entry);
    if (node == 0) return;
    if (node >= stamps.size()) stamps.resize(node + 1, 0);
    if (stamps[node] != stamp) {
      stamps[node] = stamp;
      nodes.push_back(node);
    }
  };
  auto finish_level = [&](WordTrie& trie, uint32_t level, const std::vector<uint32_t>& nodes) {
    uint32_t count = 0;
    for (const uint32_t node : nodes) {
      if (stamps[node] != stamp) continue;
      trie.MarkTerminal(node, level);
      ++count;
    }
    return count;
  };

  // Every code point of an entry adds at most one edge: the texts' length bounds the tries.
  auto total_length = [](const TextsByLevel& texts) {
    std::size_t length = 0;
    for (const auto& [level, list] : texts) {
      for (const std::u32string& text : list) length += text.size();
    }
    return length;
  };
  data->filter_trie.Reserve(total_length(filter_texts));
  data->whitelist_trie.Reserve(total_length(whitelist_texts));

  std::vector<uint32_t> nodes;
  // Plain names instead of structured bindings: the lambdas below capture the level, which
  // clang (the fuzzing compiler) does not allow for a structured binding.
  for (const auto& level_texts : filter_texts) {
    const uint32_t level = level_texts.first;
    const std::vector<std::u32string>& texts = level_texts.second;
    ++stamp;
    nodes.clear();
    for (const std::u32string& text : texts) {
      ForEachEntry(utils, text, [&](std::u32string_view entry) {
        stamp_entry(data->filter_trie, entry, nodes);
        const EntryKey key = RawKey(classes, entry, data->keys);
        data->keys.AddFilter(key.key, level);
        note_key(key);
      });
    }
    if (const auto unfilter = unfilter_texts.find(level); unfilter != unfilter_texts.end()) {
      for (const std::u32string& text : unfilter->second) {
        ForEachEntry(utils, text, [&](std::u32string_view entry) {
          const uint32_t node = data->filter_trie.FindPath(entry);
          if (node != 0 && node < stamps.size() && stamps[node] == stamp) stamps[node] = 0;
        });
      }
    }
    data->filtered_counts[level] = finish_level(data->filter_trie, level, nodes);
    if (level < data->lowest_filter_level) data->lowest_filter_level = level;
  }

  for (const auto& level_texts : unfilter_texts) {
    const uint32_t level = level_texts.first;
    const std::vector<std::u32string>& texts = level_texts.second;
    if (filter_texts.count(level) == 0) detail::LogUnfilterWithoutFilter(level);
    for (const std::u32string& text : texts) {
      ForEachEntry(utils, text, [&](std::u32string_view entry) {
        const EntryKey key = RawKey(classes, entry, data->keys);
        data->keys.AddUnfilter(key.key, level);
        note_key(key);
      });
    }
  }

  stamps.clear();
  for (const auto& [level, texts] : whitelist_texts) {
    ++stamp;
    nodes.clear();
    for (const std::u32string& text : texts) {
      ForEachEntry(utils, text, [&](std::u32string_view entry) {
        stamp_entry(data->whitelist_trie, entry, nodes);
      });
    }
    data->whitelisted_counts[level] = finish_level(data->whitelist_trie, level, nodes);
    if (level < data->lowest_whitelist_level) data->lowest_whitelist_level = level;
  }

  data->keys.Seal();
  data->powers.resize(static_cast<std::size_t>(data->max_key_length) + 1);
  data->powers[0] = 1;
  for (std::size_t k = 1; k < data->powers.size(); ++k) {
    data->powers[k] = data->powers[k - 1] * kHashMultiplier;
  }

  return std::make_unique<SanitizerEngine>(std::move(data));
}

}  // namespace sanitizer
