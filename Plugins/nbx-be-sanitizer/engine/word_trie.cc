// WordTrie (word_trie.h).
#include "Plugins/nbx-be-sanitizer/engine/word_trie.h"

#include <algorithm>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

namespace sanitizer {
namespace {

constexpr std::size_t kInitialEdgeSlots = 16;

uint64_t EdgeKey(uint32_t node, char32_t c) {
  return (static_cast<uint64_t>(node) << 32) | static_cast<uint64_t>(c);
}

// Fibonacci hashing: the top bits of the product depend on every bit of the key (node number
// and code point alike), so they index the table.
uint64_t EdgeSlot(uint64_t key, unsigned shift) { return (key * 0x9E3779B97F4A7C15ull) >> shift; }

unsigned ShiftFor(std::size_t slots) {
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < slots) ++bits;
  return 64 - bits;
}

}  // namespace

WordTrie::WordTrie() : terminal_(1, 0) {
  edges_.assign(kInitialEdgeSlots, Edge{kEmptyKey, kNone});
  edge_mask_ = kInitialEdgeSlots - 1;
  edge_shift_ = ShiftFor(kInitialEdgeSlots);
}

uint32_t WordTrie::Child(uint32_t node, char32_t c) const {
  if (node == 0 && c < root_ascii_.size()) return root_ascii_[c];
  const uint64_t key = EdgeKey(node, c);
  for (uint64_t slot = EdgeSlot(key, edge_shift_);; slot = (slot + 1) & edge_mask_) {
    const Edge& edge = edges_[slot];
    if (edge.key == key) return edge.child;
    if (edge.key == kEmptyKey) return kNone;
  }
}

void WordTrie::Grow() {
  std::vector<Edge> old;
  old.swap(edges_);
  edges_.assign(old.size() * 2, Edge{kEmptyKey, kNone});
  edge_mask_ = edges_.size() - 1;
  edge_shift_ = ShiftFor(edges_.size());
  for (const Edge& edge : old) {
    if (edge.key == kEmptyKey) continue;
    uint64_t slot = EdgeSlot(edge.key, edge_shift_);
    while (edges_[slot].key != kEmptyKey) slot = (slot + 1) & edge_mask_;
    edges_[slot] = edge;
  }
}

uint32_t WordTrie::AddChild(uint32_t node, char32_t c) {
  const uint32_t child = static_cast<uint32_t>(terminal_.size());
  terminal_.push_back(0);
  if (node == 0 && c < root_ascii_.size()) {
    root_ascii_[c] = child;
    return child;
  }
  if ((edge_count_ + 1) * 2 > edges_.size()) Grow();
  const uint64_t key = EdgeKey(node, c);
  uint64_t slot = EdgeSlot(key, edge_shift_);
  while (edges_[slot].key != kEmptyKey) slot = (slot + 1) & edge_mask_;
  edges_[slot] = Edge{key, child};
  ++edge_count_;
  return child;
}

void WordTrie::Insert(std::u32string_view entry) {
  if (entry.empty()) return;
  uint32_t node = 0;
  for (const char32_t raw : entry) {
    const char32_t c = SanitizerUtils::LowerChar(raw);
    const uint32_t child = Child(node, c);
    node = child != kNone ? child : AddChild(node, c);
  }
  terminal_[node] = 1;
}

void WordTrie::Unmark(std::u32string_view entry) {
  if (entry.empty()) return;
  uint32_t node = 0;
  for (const char32_t raw : entry) {
    node = Child(node, SanitizerUtils::LowerChar(raw));
    if (node == kNone) return;
  }
  terminal_[node] = 0;
}

uint32_t WordTrie::word_count() const {
  return static_cast<uint32_t>(std::count(terminal_.begin() + 1, terminal_.end(), uint8_t{1}));
}

std::size_t WordTrie::memory_bytes() const {
  return terminal_.capacity() + edges_.capacity() * sizeof(Edge) + sizeof(root_ascii_);
}

std::size_t WordTrie::LongestMatch(std::u32string_view text, std::size_t position) const {
  std::size_t longest = 0;
  uint32_t node = 0;
  for (std::size_t i = position; i < text.size(); ++i) {
    node = Child(node, text[i]);
    if (node == kNone) break;
    if (terminal_[node] != 0) longest = i - position + 1;
  }
  return longest;
}

}  // namespace sanitizer
