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
// ASCII children of the root are a direct array, and bitmaps of the first two and three code
// points of the paths let most walks end after the first step without touching the table.
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
    // Inline for the common case, two ASCII code points that begin no path of two.
    if (position + 1 < text.size()) {
      const char32_t first = text[position];
      const char32_t second = text[position + 1];
      if (first < 128 && second < 128 && ascii_pairs_[(first << 7) | second] == 0) {
        return Accepts(root_ascii_[first], level) ? 1 : 0;
      }
    }
    return LongestMatchFrom(text, position, level);
  }

 private:
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
  static uint64_t GramBit(char32_t first, char32_t second, char32_t third);
  // Notes that `first` `second` may be an entry of two code points.
  void NotePair(char32_t first, char32_t second);
  static constexpr uint8_t kPairPath = 1;      // in ascii_pairs_: a path begins with the pair
  static constexpr uint8_t kPairTerminal = 2;  // ... and the pair may be an entry itself
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
  std::vector<uint8_t> ascii_pairs_;  // 128 x 128 ASCII pairs: kPairPath | kPairTerminal
  std::vector<uint64_t> trigrams_;
  std::vector<uint64_t> pairs_;
};

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_TRIE_H_
