// Internal: the structures of a built SanitizerEngine, read by the scans.
//
// The filter and unfilter word sets of every level are folded into one KeyLevelTable: for
// each key, the lowest level of a filter list and the lowest level of an unfilter list that
// hold it. "Is the key in a filter set of a level <= L" is then `filter_min <= L`, one lookup
// instead of one per set.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_DATA_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"
#include "Plugins/nbx-be-sanitizer/engine/word_trie.h"

namespace sanitizer::detail {

// Above every 32-bit level, so `min <= level` never holds for a kind that has no list.
inline constexpr uint64_t kNoLevel = uint64_t{1} << 32;

struct KeyLevels {
  uint64_t filter_min = kNoLevel;
  uint64_t unfilter_min = kNoLevel;
};

struct KeyEntry {
  uint64_t key;  // 0 marks a free slot; key 0 itself is kept apart
  KeyLevels levels;
};

// The lookups of a sealed KeyLevelTable, on plain pointers and shifts: cheap to copy, so that a
// scan keeps them in registers rather than reloading them through the table at every lookup.
class KeyLookup {
 public:
  // The levels of `key`; both kNoLevel when no list holds it.
  KeyLevels Find(uint64_t key) const {
    if (key == 0) return zero_;
    // Nearly every key a scan looks up is listed nowhere: a bitmap with one bit per listed key
    // (and about 1/16 of its bits set), small enough to stay in the first-level cache,
    // answers most lookups without touching the table.
    if (!MayBeListed(key)) return KeyLevels{};
    return FindInTable(key);
  }
  // False when Find(key) finds nothing; true may be a false positive.
  bool MayBeListed(uint64_t key) const {
    const uint64_t bit = (key * 0xC2B2AE3D27D4EB4Full) >> filter_shift_;
    return key == 0 || (filter_[bit >> 6] & (uint64_t{1} << (bit & 63))) != 0;
  }
  // False when no filter or unfilter entry's key sequence starts with the sequence `key`
  // stands for (but for a 64-bit collision): then no longer span from the same start can be
  // listed either. True may be a false positive.
  bool MayBePrefix(uint64_t key) const {
    const uint64_t bit = (key * 0x9E3779B97F4A7C15ull) >> prefix_shift_;
    return (prefixes_[bit >> 6] & (uint64_t{1} << (bit & 63))) != 0;
  }

 private:
  friend class KeyLevelTable;
  // Out of line: reached only for the few keys the bitmap lets through.
  [[gnu::noinline]] KeyLevels FindInTable(uint64_t key) const {
    for (uint64_t slot = (key * 0x9E3779B97F4A7C15ull) >> shift_;; slot = (slot + 1) & mask_) {
      const KeyEntry& entry = entries_[slot];
      if (entry.key == key) return entry.levels;
      if (entry.key == 0) return KeyLevels{};
    }
  }

  const KeyEntry* entries_ = nullptr;
  uint64_t mask_ = 0;
  unsigned shift_ = 64;
  const uint64_t* filter_ = nullptr;
  unsigned filter_shift_ = 64;
  const uint64_t* prefixes_ = nullptr;
  unsigned prefix_shift_ = 64;
  KeyLevels zero_;
};

class KeyLevelTable {
 public:
  KeyLevelTable();
  void AddFilter(uint64_t key, uint32_t level);
  void AddUnfilter(uint64_t key, uint32_t level);
  // Records the key of one prefix of an entry (the empty one included).
  void AddPrefix(uint64_t key) { prefix_keys_.push_back(key); }
  // Builds the two bitmaps; called once, after the last Add and AddPrefix.
  void Seal();

  // Valid while the table lives and is not changed.
  KeyLookup lookup() const;
  KeyLevels Find(uint64_t key) const { return lookup().Find(key); }
  bool MayBePrefix(uint64_t key) const { return lookup().MayBePrefix(key); }

  std::size_t size() const { return count_ + (zero_used_ ? 1 : 0); }
  bool empty() const { return size() == 0; }
  std::size_t memory_bytes() const {
    return entries_.capacity() * sizeof(KeyEntry) +
           (filter_.capacity() + prefixes_.capacity()) * sizeof(uint64_t);
  }

 private:
  uint64_t Slot(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }
  KeyLevels& Upsert(uint64_t key);
  void Grow();

  std::vector<KeyEntry> entries_;
  uint64_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t count_ = 0;
  KeyLevels zero_;
  bool zero_used_ = false;
  std::vector<uint64_t> filter_;
  unsigned filter_shift_ = 64;
  std::vector<uint64_t> prefix_keys_;  // until Seal
  std::vector<uint64_t> prefixes_;
  unsigned prefix_shift_ = 64;
};

inline KeyLookup KeyLevelTable::lookup() const {
  KeyLookup view;
  view.entries_ = entries_.data();
  view.mask_ = mask_;
  view.shift_ = shift_;
  view.filter_ = filter_.data();
  view.filter_shift_ = filter_shift_;
  view.prefixes_ = prefixes_.data();
  view.prefix_shift_ = prefix_shift_;
  view.zero_ = zero_;
  return view;
}

struct EngineData {
  std::shared_ptr<const SanitizerUtils> utils;
  KeyLevelTable keys;
  // Longest key (in code points that enter it) of any filter or unfilter entry, and the
  // powers of the key multiplier up to it: a span whose key takes in more code points can
  // equal no listed key but by a 64-bit collision, so the scans never look it up.
  uint32_t max_key_length = 0;
  std::vector<uint64_t> powers;
  // All filter entries (minus each level's unfilter entries) and all whitelist entries, each
  // terminal at the lowest level that lists it; the lowest level of each kind (kNoLevel when
  // there is none), which says whether a scan at level L has a trie of that kind at all.
  WordTrie filter_trie;
  WordTrie whitelist_trie;
  uint64_t lowest_filter_level = kNoLevel;
  uint64_t lowest_whitelist_level = kNoLevel;
  std::unordered_set<char32_t> allowed;
  std::vector<uint8_t> allowed_common;  // allowed flag per code point below CharClassTable::kSize
  LevelCounts filtered_counts;
  LevelCounts whitelisted_counts;

  bool IsAllowed(char32_t c) const;
};

}  // namespace sanitizer::detail

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_ENGINE_DATA_H_
