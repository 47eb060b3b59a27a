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

WordTrie::WordTrie() : incoming_(1, 0) {
  edges_.assign(kInitialEdgeSlots, Edge{kEmptyKey, Link{}});
  edge_mask_ = kInitialEdgeSlots - 1;
  edge_shift_ = ShiftFor(kInitialEdgeSlots);
  bigrams_.assign((std::size_t{1} << kGramBits) / 64, 0);
  trigrams_.assign((std::size_t{1} << kGramBits) / 64, 0);
  pairs_.assign((std::size_t{1} << kGramBits) / 64, 0);
  ascii_pairs_.assign(128 * 128, 0);
  ascii_thirds_.assign(4, 0);  // the empty set and the full one
  ascii_thirds_[2] = ascii_thirds_[3] = ~uint64_t{0};
}

WordTrie::Link WordTrie::ProbeChild(uint32_t node, char32_t c) const {
  const uint64_t key = EdgeKey(node, c);
  for (uint64_t slot = EdgeSlot(key, edge_shift_);; slot = (slot + 1) & edge_mask_) {
    const Edge& edge = edges_[slot];
    if (edge.key == key) return edge.link;
    if (edge.key == kEmptyKey) return Link{};
  }
}

WordTrie::Link& WordTrie::LinkOf(uint32_t node) {
  const uint32_t where = incoming_[node];
  if ((where & kRootSlotBit) != 0) return root_ascii_[where & ~kRootSlotBit];
  return edges_[where].link;
}

const WordTrie::Link& WordTrie::LinkOf(uint32_t node) const {
  const uint32_t where = incoming_[node];
  if ((where & kRootSlotBit) != 0) return root_ascii_[where & ~kRootSlotBit];
  return edges_[where].link;
}

void WordTrie::Grow() {
  std::vector<Edge> old;
  old.swap(edges_);
  edges_.assign(old.size() * 2, Edge{kEmptyKey, Link{}});
  edge_mask_ = edges_.size() - 1;
  edge_shift_ = ShiftFor(edges_.size());
  for (const Edge& edge : old) {
    if (edge.key == kEmptyKey) continue;
    uint64_t slot = EdgeSlot(edge.key, edge_shift_);
    while (edges_[slot].key != kEmptyKey) slot = (slot + 1) & edge_mask_;
    edges_[slot] = edge;
    incoming_[edge.link.child & kIndexMask] = static_cast<uint32_t>(slot);
  }
}

void WordTrie::Reserve(std::size_t edges) {
  // A bound, not a promise: past a million slots the table grows as edges come.
  constexpr std::size_t kMaxReservedSlots = std::size_t{1} << 20;
  std::size_t slots = edges_.size();
  while (slots < edges && slots < kMaxReservedSlots) slots *= 2;
  if (slots == edges_.size()) return;
  // Grow doubles; going there in one step rehashes once.
  std::vector<Edge> old;
  old.swap(edges_);
  edges_.assign(slots, Edge{kEmptyKey, Link{}});
  edge_mask_ = slots - 1;
  edge_shift_ = ShiftFor(slots);
  for (const Edge& edge : old) {
    if (edge.key == kEmptyKey) continue;
    uint64_t slot = EdgeSlot(edge.key, edge_shift_);
    while (edges_[slot].key != kEmptyKey) slot = (slot + 1) & edge_mask_;
    edges_[slot] = edge;
    incoming_[edge.link.child & kIndexMask] = static_cast<uint32_t>(slot);
  }
  incoming_.reserve(std::min(edges, kMaxReservedSlots) + 1);
}

uint32_t WordTrie::AddChild(uint32_t node, char32_t c) {
  const uint32_t child = static_cast<uint32_t>(incoming_.size());
  if (node == 0 && c < root_ascii_.size()) {
    root_ascii_[c] = Link{child, 0};
    incoming_.push_back(kRootSlotBit | static_cast<uint32_t>(c));
    return child;
  }
  if ((edge_count_ + 1) * 2 > edges_.size()) Grow();
  const uint64_t key = EdgeKey(node, c);
  uint64_t slot = EdgeSlot(key, edge_shift_);
  while (edges_[slot].key != kEmptyKey) slot = (slot + 1) & edge_mask_;
  edges_[slot] = Edge{key, Link{child, 0}};
  ++edge_count_;
  incoming_.push_back(static_cast<uint32_t>(slot));
  return child;
}

uint32_t WordTrie::AddPath(std::u32string_view entry) {
  if (entry.empty()) return 0;
  uint32_t node = 0;
  char32_t lowered[3] = {0, 0, 0};
  for (std::size_t i = 0; i < entry.size(); ++i) {
    const char32_t c = SanitizerUtils::LowerChar(entry[i]);
    if (i < 3) lowered[i] = c;
    if (i == 1) {
      Set(bigrams_, GramBit(lowered[0], c, 0));
      if (lowered[0] < 128 && c < 128) ascii_pairs_[(lowered[0] << 7) | c] |= kPairPath;
    }
    if (i == 2) {
      Set(trigrams_, GramBit(lowered[0], lowered[1], c));
      NoteThird(lowered[0], lowered[1], c);
    }
    const uint32_t child = Child(node, c).child & kIndexMask;
    node = child != 0 ? child : AddChild(node, c);
  }
  if (entry.size() == 2) NotePair(lowered[0], lowered[1]);
  return node;
}

uint32_t WordTrie::FindPath(std::u32string_view entry) const {
  uint32_t node = 0;
  for (const char32_t raw : entry) {
    node = Child(node, SanitizerUtils::LowerChar(raw)).child & kIndexMask;
    if (node == 0) return 0;
  }
  return node;
}

void WordTrie::MarkTerminal(uint32_t node, uint32_t level) {
  if (node == 0 || node >= incoming_.size()) return;
  // A node two steps below the root may end a path that a longer entry made: note its pair.
  // An ASCII child of the root that ends an entry is noted in every pair it begins.
  if (const uint32_t where = incoming_[node]; (where & kRootSlotBit) != 0) {
    const uint32_t first = where & ~kRootSlotBit;
    for (uint32_t second = 0; second < 128; ++second) {
      ascii_pairs_[(first << 7) | second] |= kFirstTerminal;
    }
  } else {
    const uint64_t key = edges_[where].key;
    const uint32_t parent = static_cast<uint32_t>(key >> 32);
    const uint32_t parent_where = incoming_[parent];
    const char32_t second = static_cast<char32_t>(key & 0xFFFFFFFFu);
    if ((parent_where & kRootSlotBit) != 0) {
      NotePair(parent_where & ~kRootSlotBit, second);
    } else if ((edges_[parent_where].key >> 32) == 0) {
      NotePair(static_cast<char32_t>(edges_[parent_where].key & 0xFFFFFFFFu), second);
    }
  }
  Link& link = LinkOf(node);
  if ((link.child & kTerminalBit) == 0 || level < link.level) {
    link.child |= kTerminalBit;
    link.level = level;
  }
}

void WordTrie::ClearTerminal(uint32_t node) {
  if (node == 0 || node >= incoming_.size()) return;
  Link& link = LinkOf(node);
  link.child &= kIndexMask;
  link.level = 0;
}

void WordTrie::Insert(std::u32string_view entry, uint32_t level) {
  MarkTerminal(AddPath(entry), level);
}

void WordTrie::Unmark(std::u32string_view entry) { ClearTerminal(FindPath(entry)); }

uint32_t WordTrie::word_count(uint32_t level) const {
  uint32_t count = 0;
  for (uint32_t node = 1; node < incoming_.size(); ++node) count += Accepts(LinkOf(node), level);
  return count;
}

std::size_t WordTrie::memory_bytes() const {
  return edges_.capacity() * sizeof(Edge) + incoming_.capacity() * sizeof(uint32_t) +
         (bigrams_.capacity() + trigrams_.capacity() + pairs_.capacity()) * sizeof(uint64_t) +
         ascii_pairs_.capacity() * sizeof(uint16_t) + ascii_thirds_.capacity() * sizeof(uint64_t) +
         sizeof(root_ascii_);
}

void WordTrie::NoteThird(char32_t first, char32_t second, char32_t third) {
  // Only all-ASCII triples are looked up in the sets; the others take the general path.
  if ((first | second | third) >= 128) return;
  uint16_t& pair = ascii_pairs_[(first << 7) | second];
  uint32_t set = pair >> kThirdsShift;
  if (set == kEmptyThirds) {
    constexpr uint32_t kMaxSets = 0xFFFFu >> kThirdsShift;
    set = static_cast<uint32_t>(ascii_thirds_.size() / 2);
    if (set > kMaxSets) {
      set = kAnyThird;
    } else {
      ascii_thirds_.push_back(0);
      ascii_thirds_.push_back(0);
    }
    pair = static_cast<uint16_t>((pair & ((1u << kThirdsShift) - 1)) | (set << kThirdsShift));
  }
  if (set != kAnyThird) ascii_thirds_[set * 2 + (third >> 6)] |= uint64_t{1} << (third & 63);
}

void WordTrie::NotePair(char32_t first, char32_t second) {
  Set(pairs_, GramBit(first, second, 0));
  if (first < 128 && second < 128) ascii_pairs_[(first << 7) | second] |= kPairTerminal;
}

std::size_t WordTrie::LongestMatchFrom(std::u32string_view text, std::size_t position,
                                       uint32_t level) const {
  if (position >= text.size()) return 0;
  const char32_t first = text[position];
  Link link = Child(0, first);
  if (link.child == 0) return 0;
  std::size_t longest = Accepts(link, level) ? 1 : 0;
  if (position + 1 >= text.size()) return longest;
  // Most positions of a text begin no path of two code points, or none of three: the tables
  // say so without a probe.
  const char32_t second = text[position + 1];
  const bool ascii = first < 128 && second < 128;
  const uint16_t pair = ascii ? ascii_pairs_[(first << 7) | second] : 0;
  if (ascii ? (pair & kPairPath) == 0 : !Test(bigrams_, GramBit(first, second, 0))) {
    return longest;
  }
  if (position + 2 >= text.size() || !Test(trigrams_, GramBit(first, second, text[position + 2]))) {
    if (ascii ? (pair & kPairTerminal) != 0 : Test(pairs_, GramBit(first, second, 0))) {
      link = ProbeChild(link.child & kIndexMask, second);
      if (link.child != 0 && Accepts(link, level)) longest = 2;
    }
    return longest;
  }
  for (std::size_t i = position + 1; i < text.size(); ++i) {
    link = ProbeChild(link.child & kIndexMask, text[i]);
    if (link.child == 0) break;
    if (Accepts(link, level)) longest = i - position + 1;
  }
  return longest;
}

}  // namespace sanitizer
