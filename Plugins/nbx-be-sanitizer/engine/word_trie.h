// WordTrie: list entries as a trie over lower-cased code points, for the aggressive scan, which
// looks for the longest entry starting at every text position.
//
// Entries are inserted code point by code point, each through SanitizerUtils::LowerChar, all
// code points kept (punctuation and apostrophes included); the node where an entry ends is
// terminal. A terminal node carries a level, the lowest one its entry is listed at, so that one
// trie serves every level: a walk for level L takes only terminals of a level <= L, which is
// what walking the separate trie of each level <= L would find together. Unmark (or
// ClearTerminal) takes a terminal out again without removing nodes.
//
// Edges live in one open-addressed table keyed by (node, code point); the terminal mark and
// level of a node sit in the edge that leads to it, so a walk step reads one table slot. The
// ASCII children of the root are a direct array. Most positions of a text begin no entry: for
// three ASCII code points a table of pairs and the sets of third code points that continue
// each pair tell so exactly, and for other code points hashed bitmaps of the first two and
// three code points of the paths tell so mostly, without touching the table.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_TRIE_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_TRIE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sanitizer {

class WordTrie {
 public:
  static constexpr uint32_t kAllLevels = 0xFFFFFFFFu;

  WordTrie();

  // Makes room for about `edges` edges at once, sparing the rehashes of a large build.
  void Reserve(std::size_t edges);

  // Adds `entry` as a terminal of `level` (a terminal keeps the lowest of its levels). An
  // empty entry is ignored: the root never carries one.
  void Insert(std::u32string_view entry, uint32_t level = 0);
  // Takes `entry` out when its whole path exists and ends on a terminal; otherwise does
  // nothing.
  void Unmark(std::u32string_view entry);

  // The building blocks of Insert and Unmark. Nodes are numbered from 1 (0 is the root, and
  // stands for "none" in results).
  uint32_t AddPath(std::u32string_view entry);
  uint32_t FindPath(std::u32string_view entry) const;
  void MarkTerminal(uint32_t node, uint32_t level);
  void ClearTerminal(uint32_t node);

  // Terminal nodes of a level <= `level`.
  uint32_t word_count(uint32_t level = kAllLevels) const;
  // Number of nodes, the root included.
  std::size_t node_count() const { return incoming_.size(); }
  // Bytes held by the trie's containers.
  std::size_t memory_bytes() const;

  // Length of the longest path to a terminal of a level <= `level` that `text` (already
  // lower-cased) spells from `position` on; 0 when none.
  std::size_t LongestMatch(std::u32string_view text, std::size_t position,
                           uint32_t level = kAllLevels) const {
    if (position + 2 < text.size() &&
        !MayBeginEntry(text[position], text[position + 1], text[position + 2])) {
      return 0;
    }
    return LongestMatchFrom(text, position, level);
  }

  // Calls on_match(position, length) for every position of `text` (already lower-cased) where
  // a path to a terminal of a level <= `level` begins, with the length of the longest, in
  // increasing order of position, until on_match returns false. The same as LongestMatch at
  // every position, with the code points of each position's test carried to the next.
  template <typename OnMatch>
  void ForEachLongestMatch(std::u32string_view text, uint32_t level, OnMatch&& on_match) const {
    const char32_t* const chars = text.data();
    const std::size_t size = text.size();
    const uint16_t* const ascii_pairs = ascii_pairs_.data();
    const uint64_t* const thirds = ascii_thirds_.data();
    std::size_t i = 0;
    if (size >= 3) {
      char32_t first = chars[0];
      char32_t second = chars[1];
      for (; i + 2 < size; ++i) {
        const char32_t third = chars[i + 2];
        if (MayBeginEntry(ascii_pairs, thirds, first, second, third)) {
          const std::size_t length = LongestMatchFrom(text, i, level);
          if (length != 0 && !on_match(i, length)) return;
        }
        first = second;
        second = third;
      }
    }
    for (; i < size; ++i) {
      const std::size_t length = LongestMatchFrom(text, i, level);
      if (length != 0 && !on_match(i, length)) return;
    }
  }

 private:
  // False when no entry can begin with `first`, `second`, `third`: for three ASCII code
  // points, when the first ends no entry, the first two end none, and no path of three or more
  // begins with all three. Both questions are answered before a single branch on the two
  // answers; a branch on each would be mispredicted wherever a pair begins some path. True
  // (look) for anything else.
  bool MayBeginEntry(char32_t first, char32_t second, char32_t third) const {
    return MayBeginEntry(ascii_pairs_.data(), ascii_thirds_.data(), first, second, third);
  }
  // The same on the two tables' arrays, which a loop keeps in registers.
  static bool MayBeginEntry(const uint16_t* ascii_pairs, const uint64_t* ascii_thirds,
                            char32_t first, char32_t second, char32_t third) {
    if ((first | second | third) >= 128) return true;
    const uint16_t pair = ascii_pairs[(first << 7) | second];
    const bool short_entry = (pair & (kFirstTerminal | kPairTerminal)) != 0;
    const uint64_t thirds = ascii_thirds[(pair >> kThirdsShift) * 2 + (third >> 6)];
    const bool long_entry = ((thirds >> (third & 63)) & 1) != 0;
    return short_entry | long_entry;
  }

  static constexpr uint32_t kTerminalBit = 0x80000000u;
  static constexpr uint32_t kIndexMask = 0x7FFFFFFFu;
  static constexpr uint32_t kRootSlotBit = 0x80000000u;  // in incoming_: an ASCII root child
  static constexpr uint64_t kEmptyKey = ~uint64_t{0};

  // The edge into a node: the node's index with kTerminalBit when terminal, and its level.
  struct Link {
    uint32_t child = 0;
    uint32_t level = 0;
  };
  struct Edge {
    uint64_t key;  // (parent << 32) | code point; kEmptyKey when free
    Link link;
  };

  static bool Accepts(Link link, uint32_t level) {
    return (link.child & kTerminalBit) != 0 && link.level <= level;
  }
  Link Child(uint32_t node, char32_t c) const {
    if (node == 0 && c < root_ascii_.size()) return root_ascii_[c];
    return ProbeChild(node, c);
  }
  Link ProbeChild(uint32_t node, char32_t c) const;
  std::size_t LongestMatchFrom(std::u32string_view text, std::size_t position,
                               uint32_t level) const;
  uint32_t AddChild(uint32_t node, char32_t c);
  Link& LinkOf(uint32_t node);
  const Link& LinkOf(uint32_t node) const;
  void Grow();
  static constexpr unsigned kGramBits = 16;  // 8 KiB per bitmap
  static uint64_t GramBit(char32_t first, char32_t second, char32_t third) {
    // Code points take 21 bits; larger (ill-formed) values only make the bitmap less selective.
    const uint64_t key = (static_cast<uint64_t>(first) << 42) ^
                         (static_cast<uint64_t>(second) << 21) ^ static_cast<uint64_t>(third);
    return (key * 0x9E3779B97F4A7C15ull) >> (64 - kGramBits);
  }
  // Notes that `first` `second` may be an entry of two code points.
  void NotePair(char32_t first, char32_t second);
  // In ascii_pairs_: a path of two or more begins with the pair; the pair may be an entry
  // itself; its first code point may be an entry. The bits from kThirdsShift on number the
  // pair's set of ASCII third code points in ascii_thirds_ (two words of 64 bits each): the
  // code points that continue the pair on a path of three or more. Set 0 is empty (no such
  // path); set 1 is full, for the pairs beyond the numbers available.
  static constexpr uint16_t kPairPath = 1;
  static constexpr uint16_t kPairTerminal = 2;
  static constexpr uint16_t kFirstTerminal = 4;
  static constexpr unsigned kThirdsShift = 3;
  static constexpr uint16_t kEmptyThirds = 0;
  static constexpr uint16_t kAnyThird = 1;
  void NoteThird(char32_t first, char32_t second, char32_t third);
  static bool Test(const std::vector<uint64_t>& bits, uint64_t bit) {
    return (bits[bit >> 6] & (uint64_t{1} << (bit & 63))) != 0;
  }
  static void Set(std::vector<uint64_t>& bits, uint64_t bit) {
    bits[bit >> 6] |= uint64_t{1} << (bit & 63);
  }

  std::array<Link, 128> root_ascii_{};
  std::vector<Edge> edges_;
  std::size_t edge_count_ = 0;
  uint64_t edge_mask_ = 0;
  unsigned edge_shift_ = 64;
  // Per node, where its incoming link lives: a slot of edges_, or kRootSlotBit | code point.
  std::vector<uint32_t> incoming_;
  // Bitmaps (hashed, so they may say yes wrongly but never no wrongly) of the first two code
  // points of every path of two or more, of the first three of every path of three or more,
  // and of the two code points of every path of exactly two that may be terminal.
  std::vector<uint64_t> bigrams_;
  std::vector<uint16_t> ascii_pairs_;  // 128 x 128 ASCII pairs: flags and a set of thirds
  std::vector<uint64_t> ascii_thirds_;
  std::vector<uint64_t> trigrams_;
  std::vector<uint64_t> pairs_;
};

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_TRIE_H_
