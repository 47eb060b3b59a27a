// WordTrie: the list entries of one level as a trie over lower-cased code points, for the
// aggressive scan, which looks for the longest entry starting at every text position.
//
// Entries are inserted code point by code point, each through SanitizerUtils::LowerChar, all
// code points kept (punctuation and apostrophes included); the node where an entry ends is
// terminal. Unmark clears that flag again (an unfilter entry) without removing nodes. Edges
// live in one open-addressed table keyed by (node, code point), with a direct array for the
// ASCII children of the root, so a walk step is one array read or one probe.
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
  WordTrie();

  // Adds `entry`; an empty entry is ignored (the root never carries one).
  void Insert(std::u32string_view entry);
  // Clears the terminal flag of `entry`'s last node when the whole path exists; otherwise
  // does nothing.
  void Unmark(std::u32string_view entry);

  // Number of terminal nodes below the root.
  uint32_t word_count() const;
  // Number of nodes, the root included.
  std::size_t node_count() const { return terminal_.size(); }
  // Bytes held by the trie's containers.
  std::size_t memory_bytes() const;

  // Length of the longest terminal path that `text` (already lower-cased) spells from
  // `position` on; 0 when none.
  std::size_t LongestMatch(std::u32string_view text, std::size_t position) const;

 private:
  static constexpr uint32_t kNone = 0;  // the root is never a child
  struct Edge {
    uint64_t key;  // (parent << 32) | code point; kEmptyKey when free
    uint32_t child;
  };
  static constexpr uint64_t kEmptyKey = ~uint64_t{0};

  uint32_t Child(uint32_t node, char32_t c) const;
  uint32_t AddChild(uint32_t node, char32_t c);
  void Grow();

  std::vector<uint8_t> terminal_;
  std::array<uint32_t, 128> root_ascii_{};
  std::vector<Edge> edges_;
  std::size_t edge_count_ = 0;
  uint64_t edge_mask_ = 0;
  unsigned edge_shift_ = 64;
};

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_TRIE_H_
