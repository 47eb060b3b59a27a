// The normal and aggressive scans (scan.h, scan_internal.h).
//
// The normal scan walks the text once. It keeps running prefix keys (raw and projected) and
// the number of code points that entered each, and records, at every word start, the prefix
// state there; the key of a span is then the prefix key at its end minus the prefix key at
// its start times a power of the multiplier (the key is a polynomial in the multiplier, with
// wrap-around arithmetic on both sides). What a word end decides rests on three facts:
// - a span taking in more code points than the longest listed key cannot be listed (but for a
//   64-bit collision), and spans only grow towards older starts and later ends;
// - a span whose key is no prefix of any listed key (a bitmap of all prefixes of all entries'
//   keys answers this) has no listed extension either: its start is dead for that key;
// - all spans of a word end end at the same position, so the widest masked one covers the
//   others and is the only one reported.
// Two loops apply them. For windows of up to 64 words (every caller but the embedded scan) a
// bit mask holds the starts still alive, and a word end visits only those. For larger windows
// the recorded starts are visited from the newest on until both keys are too long, and starts
// between which no code point enters a key (runs of apostrophes, projected-away symbols, the
// one-code-point words of the embedded scan) are decided as one run, which keeps the work
// linear in the text.
// A text holding U+0000 (where a key stops) takes the plain path: the word-span iterator and
// a key computed from scratch per span.
#include "Plugins/nbx-be-sanitizer/engine/scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"
#include "Plugins/nbx-be-sanitizer/engine/scan_internal.h"
#include "Plugins/nbx-be-sanitizer/engine/word_span_iterator.h"

namespace sanitizer {
namespace detail {
namespace {

struct StartRecord {
  std::size_t position;
  uint64_t raw_hash;  // prefix keys and counts before `position`
  uint64_t projected_hash;
  std::size_t raw_count;
  std::size_t projected_count;
  // Oldest recorded start (absolute index) of the run of starts that share with this one
  // both counts, the raw count, and the projected count.
  std::size_t group;
  std::size_t raw_group;
  std::size_t projected_group;
  // Set once the raw (or projected) key of a span from here is no prefix of any listed key:
  // no later span from here can then be listed by that key.
  bool raw_dead;
  bool projected_dead;
};

class Decider {
 public:
  Decider(const KeyLevelTable& keys, uint32_t level) : keys_(keys), level_(level) {}

  // Masked when a key is filtered and neither key is exempt, both at a level <= L.
  bool Both(uint64_t raw, uint64_t projected) const {
    const KeyLevels a = keys_.Find(raw);
    const KeyLevels b = raw == projected ? a : keys_.Find(projected);
    return Decide(a, b);
  }
  bool Decide(const KeyLevels& a, const KeyLevels& b) const {
    if (a.unfilter_min <= level_ || b.unfilter_min <= level_) return false;
    return a.filter_min <= level_ || b.filter_min <= level_;
  }
  // The levels of `key`, or none when it is no prefix of a listed key (which then marks the
  // start dead for that key).
  KeyLevels Probe(uint64_t key, bool& dead) const {
    if (!keys_.MayBePrefix(key)) {
      dead = true;
      return KeyLevels{};
    }
    return keys_.Find(key);
  }

 private:
  const KeyLevelTable& keys_;
  const uint64_t level_;
};

// Whether the text holds U+0000; a reduction without early exit, which the compiler
// vectorises.
bool HasNul(std::u32string_view text) {
  unsigned found = 0;
  for (const char32_t c : text) found |= c == 0 ? 1u : 0u;
  return found != 0;
}

void PlainNormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                     uint32_t max_words, SpanSink& sink) {
  // Spans come oldest start first for each end; the sink may write into the text, so the
  // spans of the whole text are decided before any is reported.
  const Decider decide(data.keys, level);
  const SanitizerUtils& utils = *data.utils;
  std::vector<WordSpan> masked;
  WordSpanIterator spans(text, data.utils, max_words);
  while (const auto span = spans.Next()) {
    const uint64_t raw = utils.HashSpan(text, span->first, span->last, false, false);
    const uint64_t projected = utils.HashSpan(text, span->first, span->last, true, true);
    if (decide.Both(raw, projected)) masked.push_back(*span);
  }
  for (const WordSpan& span : masked) {
    if (!sink.OnSpan(span.first, span.last)) return;
  }
}

// The scan for windows of up to 64 words (every caller but the embedded scan). The starts of
// the window sit in a ring of 64 records, and a bit mask tells which of them can still be
// listed by either key; at a word end only those are visited, usually just the newest.
struct SmallStart {
  std::size_t position;
  uint64_t raw_hash;
  uint64_t projected_hash;
  std::size_t raw_count;
  std::size_t projected_count;
  bool raw_dead;
  bool projected_dead;
};

void SmallWindowScan(const EngineData& data, std::u32string_view text, uint32_t level,
                     std::size_t window, SpanSink& sink) {
  std::array<SmallStart, 64> ring;
  uint64_t live = 0;  // bit k: ring[k] may still be listed
  const CharClassTable& classes = data.utils->classes();
  const CharClass* const common = classes.common();
  auto classify = [&](char32_t c) {
    return c < CharClassTable::kSize ? common[c] : classes.Compute(c);
  };
  const Decider decide(data.keys, level);
  const std::size_t max_length = data.max_key_length;
  const uint64_t* powers = data.powers.data();

  uint64_t raw_hash = 0;
  uint64_t projected_hash = 0;
  std::size_t raw_count = 0;
  std::size_t projected_count = 0;
  std::size_t recorded = 0;
  bool previous_separator = true;
  const std::size_t size = text.size();
  CharClass current = classify(text[0]);

  for (std::size_t i = 0; i < size; ++i) {
    CharClass next{0, 0, 0, kSeparator};
    if (i + 1 < size) next = classify(text[i + 1]);
    const bool word_char = (current.flags & kWordChar) != 0;

    if (word_char && previous_separator) {
      // The start that leaves the window can no longer begin a span (with a window of 64 it
      // is the one whose slot is reused).
      if (recorded >= window) live &= ~(uint64_t{1} << ((recorded - window) & 63));
      const unsigned slot = recorded & 63;
      ring[slot] =
          SmallStart{i, raw_hash, projected_hash, raw_count, projected_count, false, false};
      live |= uint64_t{1} << slot;
      ++recorded;
    }

    const bool raw_key = (current.flags & kRawKey) != 0;
    const bool projected_key = (current.flags & kProjectedKey) != 0;
    raw_hash = raw_hash * (raw_key ? kHashMultiplier : 1) + (raw_key ? current.raw : 0);
    raw_count += raw_key;
    projected_hash = projected_hash * (projected_key ? kHashMultiplier : 1) +
                     (projected_key ? current.projected : 0);
    projected_count += projected_key;

    // A run of plain letters after a non-separator starts no word and ends none before its
    // last letter: only the keys advance.
    if ((current.flags & kSeparator) == 0 && (next.flags & kPlainLetter) != 0) {
      do {
        ++i;
        raw_hash = raw_hash * kHashMultiplier + next.raw;
        projected_hash = projected_hash * kHashMultiplier + next.raw;
        ++raw_count;
        ++projected_count;
        current = next;
        next = i + 1 < size ? classify(text[i + 1]) : CharClass{0, 0, 0, kSeparator};
      } while ((next.flags & kPlainLetter) != 0);
    }

    if ((current.flags & kWordChar) != 0 && live != 0 && (next.flags & kSeparator) != 0) {
      // The widest masked span is the one from the oldest start; every live start is visited
      // anyway, to find those that died.
      std::size_t widest = SIZE_MAX;
      for (uint64_t pending = live; pending != 0; pending &= pending - 1) {
        const unsigned slot = static_cast<unsigned>(std::countr_zero(pending));
        SmallStart& start = ring[slot];
        const std::size_t raw_length = raw_count - start.raw_count;
        const std::size_t projected_length = projected_count - start.projected_count;
        if (raw_length > max_length) start.raw_dead = true;
        if (projected_length > max_length) start.projected_dead = true;
        KeyLevels raw_levels;
        KeyLevels projected_levels;
        uint64_t raw = 0;
        const bool raw_probed = !start.raw_dead;
        if (raw_probed) {
          raw = raw_hash - start.raw_hash * powers[raw_length];
          raw_levels = decide.Probe(raw, start.raw_dead);
        }
        if (!start.projected_dead) {
          const uint64_t projected =
              projected_hash - start.projected_hash * powers[projected_length];
          if (raw_probed && projected == raw) {
            projected_levels = raw_levels;
            start.projected_dead = start.raw_dead;
          } else {
            projected_levels = decide.Probe(projected, start.projected_dead);
          }
        }
        if (start.raw_dead && start.projected_dead) live &= ~(uint64_t{1} << slot);
        if (start.position < widest && decide.Decide(raw_levels, projected_levels)) {
          widest = start.position;
        }
      }
      if (widest != SIZE_MAX && !sink.OnSpan(widest, i)) return;
    }

    previous_separator = (current.flags & kSeparator) != 0;
    current = next;
  }
}

}  // namespace

void NormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                uint32_t max_words, SpanSink& sink) {
  if (text.empty() || data.keys.empty()) return;
  if (HasNul(text)) {
    PlainNormalScan(data, text, level, max_words, sink);
    return;
  }
  const std::size_t window = std::min<std::size_t>(max_words == 0 ? 1 : max_words, text.size());
  if (window <= 64) {
    SmallWindowScan(data, text, level, window, sink);
    return;
  }
  std::size_t capacity = 1;
  while (capacity < window) capacity <<= 1;
  const std::size_t ring_mask = capacity - 1;
  std::array<StartRecord, 8> inline_ring;
  std::vector<StartRecord> heap_ring;
  StartRecord* ring = inline_ring.data();
  if (capacity > inline_ring.size()) {
    heap_ring.resize(capacity);
    ring = heap_ring.data();
  }

  const CharClassTable& classes = data.utils->classes();
  const Decider decide(data.keys, level);
  const std::size_t max_length = data.max_key_length;
  const uint64_t* powers = data.powers.data();

  uint64_t raw_hash = 0;
  uint64_t projected_hash = 0;
  std::size_t raw_count = 0;
  std::size_t projected_count = 0;
  std::size_t recorded = 0;  // starts recorded so far
  bool previous_separator = true;
  const std::size_t size = text.size();
  CharClass current = classes.Get(text[0]);

  for (std::size_t i = 0; i < size; ++i) {
    CharClass next{0, 0, 0, kSeparator};
    if (i + 1 < size) next = classes.Get(text[i + 1]);
    const bool word_char = (current.flags & kWordChar) != 0;

    if (word_char && previous_separator) {
      StartRecord record{i,        raw_hash, projected_hash, raw_count, projected_count,
                         recorded, recorded, recorded,       false,     false};
      if (recorded > 0) {
        const StartRecord& before = ring[(recorded - 1) & ring_mask];
        const bool same_raw = before.raw_count == raw_count;
        const bool same_projected = before.projected_count == projected_count;
        if (same_raw && same_projected) record.group = before.group;
        if (same_raw) record.raw_group = before.raw_group;
        if (same_projected) record.projected_group = before.projected_group;
      }
      ring[recorded & ring_mask] = record;
      ++recorded;
    }

    // Branch-free: code points that enter no key multiply by 1 and add 0.
    const bool raw_key = (current.flags & kRawKey) != 0;
    const bool projected_key = (current.flags & kProjectedKey) != 0;
    raw_hash = raw_hash * (raw_key ? kHashMultiplier : 1) + (raw_key ? current.raw : 0);
    raw_count += raw_key;
    projected_hash = projected_hash * (projected_key ? kHashMultiplier : 1) +
                     (projected_key ? current.projected : 0);
    projected_count += projected_key;

    if (word_char && recorded > 0 && (next.flags & kSeparator) != 0) {
      const std::size_t oldest = recorded > window ? recorded - window : 0;
      std::size_t widest = recorded;  // none yet
      std::size_t j = recorded - 1;
      for (;;) {
        StartRecord& start = ring[j & ring_mask];
        const std::size_t raw_length = raw_count - start.raw_count;
        const std::size_t projected_length = projected_count - start.projected_count;
        const bool raw_fits = raw_length <= max_length;
        const bool projected_fits = projected_length <= max_length;
        if (!raw_fits && !projected_fits) break;
        // Starts whose spans share both keys (or, once the other key is too long, the one
        // that still fits) are decided together.
        std::size_t run_start = raw_fits && projected_fits ? start.group
                                : raw_fits                 ? start.raw_group
                                                           : start.projected_group;
        if (run_start < oldest) run_start = oldest;
        const bool raw_live = raw_fits && !start.raw_dead;
        const bool projected_live = projected_fits && !start.projected_dead;
        if (raw_live || projected_live) {
          KeyLevels raw_levels;
          KeyLevels projected_levels;
          uint64_t raw = 0;
          if (raw_live) {
            raw = raw_hash - start.raw_hash * powers[raw_length];
            raw_levels = decide.Probe(raw, start.raw_dead);
          }
          if (projected_live) {
            const uint64_t projected =
                projected_hash - start.projected_hash * powers[projected_length];
            if (raw_live && projected == raw) {
              projected_levels = raw_levels;
              start.projected_dead = start.raw_dead;
            } else {
              projected_levels = decide.Probe(projected, start.projected_dead);
            }
          }
          if (decide.Decide(raw_levels, projected_levels)) widest = run_start;
        }
        if (run_start == oldest) break;
        j = run_start - 1;
      }
      if (widest != recorded && !sink.OnSpan(ring[widest & ring_mask].position, i)) return;
    }

    previous_separator = (current.flags & kSeparator) != 0;
    current = next;
  }
}

bool MarkLowered(const WordTrie& trie, std::u32string* target, const LoweredText& lowered,
                 uint32_t level, char32_t mark, bool stop_at_first) {
  const std::u32string_view text = lowered.text;
  bool matched = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t length = trie.LongestMatch(text, i, level);
    if (length == 0) continue;
    matched = true;
    if (target != nullptr) {
      std::size_t first = i;
      std::size_t last = i + length - 1;
      if (!lowered.identity) {
        first = lowered.first[first];
        last = lowered.last[last];
      }
      const std::size_t end = std::min(last + 1, target->size());
      for (std::size_t k = first; k < end; ++k) (*target)[k] = mark;
    }
    if (stop_at_first) break;
  }
  return matched;
}

}  // namespace detail

void ScanWords(const SanitizerEngine& engine, std::u32string_view text, uint32_t level,
               uint32_t max_words, const SpanCallback& on_span) {
  class CallbackSink final : public detail::SpanSink {
   public:
    explicit CallbackSink(const SpanCallback& callback) : callback_(callback) {}
    bool OnSpan(std::size_t first, std::size_t last) override {
      if (callback_) callback_(first, last);
      return true;
    }

   private:
    const SpanCallback& callback_;
  } sink(on_span);
  detail::NormalScan(engine.data(), text, level, max_words, sink);
}

bool MarkMatches(const WordTrie& trie, std::u32string& target, std::u32string_view source,
                 char32_t mark) {
  detail::LoweredText lowered;
  detail::LowerWithOrigins(source, nullptr, lowered);
  return detail::MarkLowered(trie, &target, lowered, WordTrie::kAllLevels, mark, false);
}

bool ContainsSanitized(const SanitizerEngine& engine, std::u32string_view text, uint32_t level,
                       bool include_embedded, bool remove_disallowed_chars, bool aggressive_scan) {
  if (text.empty()) return false;
  if (!include_embedded) {
    return detail::Sanitize(engine, nullptr, text, level, remove_disallowed_chars, aggressive_scan,
                            kDefaultMaxWords);
  }
  // Every code point becomes a word of its own, so runs of up to n words are all the
  // stretches of the text.
  std::u32string spaced(text.size() * 2 - 1, U' ');
  for (std::size_t i = 0; i < text.size(); ++i) spaced[i * 2] = text[i];
  return detail::Sanitize(engine, nullptr, spaced, level, remove_disallowed_chars, aggressive_scan,
                          static_cast<uint32_t>(std::min<std::size_t>(text.size(), UINT32_MAX)));
}

}  // namespace sanitizer
