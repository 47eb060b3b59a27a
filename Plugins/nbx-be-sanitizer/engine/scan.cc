// The normal and aggressive scans (scan.h, scan_internal.h).
//
// The normal scan walks the text once and never computes a key from scratch: the key of a
// span extends the key of a shorter span from the same start (h = h * M + c, M the key
// multiplier, in wrap-around arithmetic), or is the difference of two prefix keys (the prefix
// key at the span's end minus the one at its start times a power of M). What a word end
// decides rests on three facts:
// - a span taking in more code points than the longest listed key cannot be listed (but for a
//   64-bit collision), and spans only grow towards older starts and later ends;
// - a span whose key is no prefix of any listed key (a bitmap of all prefixes of all entries'
//   keys answers this) has no listed extension either: its start is dead for that key;
// - all spans of a word end end at the same position, so the widest masked one covers the
//   others and is the only one reported.
// Two loops apply them. For windows of up to 64 words (every caller but the embedded scan)
// each start still alive carries the keys of the text from it on, and a bit mask tells which
// starts are alive. For larger windows prefix keys are kept, the recorded starts are visited
// from the newest on until both keys are too long, and starts between which no code point
// enters a key (runs of apostrophes, projected-away symbols, the one-code-point words of the
// embedded scan) are decided as one run, which keeps the work linear in the text.
// A key stops at U+0000: the spans from a start before one all have the key of the text up to
// it. The large-window loop decides such a start once, when it passes the U+0000, and keeps
// the masked ones as runs of starts; with a window of up to 64 words a text holding U+0000
// takes the plain path (the word-span iterator and a key computed from scratch per span),
// whose work is bounded by the window.
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
  Decider(const KeyLevelTable& keys, uint32_t level) : keys_(keys.lookup()), level_(level) {}

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
  const KeyLookup keys_;
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

// The scan for windows of up to 64 words (every caller but the embedded scan).
//
// Each start of the window carries the raw and the projected key of the text from it to the
// current position (running keys), and the number of code points that entered each; a word
// end reads the keys of its spans directly. A run of plain letters is hashed once, from zero,
// and appended to every start's keys: key * M^k + run for a run of k letters (the key is a
// polynomial in the multiplier M, with wrap-around arithmetic).
struct SmallStart {
  std::size_t position;
  uint64_t raw_hash;
  uint64_t projected_hash;
  std::size_t raw_length;
  std::size_t projected_length;
  bool raw_dead;  // no later span from here can be listed by its raw key
  bool projected_dead;
};

// The newest start before its first word end, kept by the scan apart from the ring. Neither
// key is known dead yet (only a word end decides that), so it needs no flags.
struct FreshStart {
  std::size_t position = 0;
  uint64_t raw_hash = 0;
  uint64_t projected_hash = 0;
  std::size_t raw_length = 0;
  std::size_t projected_length = 0;
};

// The starts of the window that can still be listed, older than the fresh one, sit in a ring
// of 64 records with a bit mask of the live ones. The fresh start joins them if it survives
// its first word end (or when the next start comes first); most starts die there, because no
// listed key begins with their word.
class SmallWindowScanner {
 public:
  SmallWindowScanner(const EngineData& data, uint32_t level, std::size_t window)
      : decide_(data.keys, level),
        keys_(data.keys.lookup()),
        max_length_(data.max_key_length),
        powers_(data.powers.data()),
        window_(window),
        empty_masked_(decide_.Both(0, 0)) {}

  bool any_live() const { return live_ != 0; }

  // With no start live or fresh: whether a word of `length` plain letters whose key is `run`
  // (both keys) begins no listed key, and then counts its start, which dies at once.
  bool PassQuietWord(uint64_t run, std::size_t length) {
    if (length <= max_length_ && keys_.MayBePrefix(run)) return false;
    ++recorded_;  // no start is live, so none leaves the window
    return true;
  }

  // Whether the span whose keys are both empty is masked (a span of word characters that
  // enter no key, as a run of dashes).
  bool empty_masked() const { return empty_masked_; }

  // With no start live or fresh, for a word of word characters that enter no key alone (the
  // dashes before a name) and the next word, of plain letters (key `run`, `length` letters)
  // and followed by a blank or the end. The first word's own span has the empty key and its
  // longer spans the keys of the spans from the next word: when the empty key's span is
  // masked nowhere and the next word begins no listed key, both starts die at the next
  // word's end; they are counted.
  bool PassSilentWord(uint64_t run, std::size_t length) {
    if (empty_masked_ || !PassQuietWord(run, length)) return false;
    ++recorded_;
    return true;
  }

  // With no start live or fresh, for a word of plain letters that begins a listed key (key
  // `run`, `length` letters) and the next word, also plain letters (`next_run`, `next_length`)
  // and followed by a blank or the end. The first word's start dies at the second word's end
  // when the first word's span is not masked and the span of both words begins no listed
  // key: then it is counted, and the result is 1 (the scan goes on from the second word, with
  // nothing pending). When, moreover, no span ending at the second word's end begins a listed
  // key, the second word's start dies there too: it is counted as well, and the result is 2.
  // Otherwise 0, counting nothing.
  int PassQuietPair(uint64_t run, std::size_t length, uint64_t next_run, std::size_t next_length) {
    // Decided, not only looked up in the bitmap: a frequent short word that the bitmap lets
    // through ("in", "one" with the English list) would otherwise never pass.
    if (decide_.Both(run, run)) return 0;
    // The span of both words, unless the first start left the window at the second.
    if (window_ >= 2 && length + next_length <= max_length_ &&
        keys_.MayBePrefix(run * powers_[next_length] + next_run)) {
      return 0;
    }
    if (next_length <= max_length_ && keys_.MayBePrefix(next_run)) {
      ++recorded_;
      return 1;
    }
    recorded_ += 2;
    return 2;
  }

  // Records a new start; `fresh`, when present (`had_fresh`), becomes a live start.
  void Start(bool had_fresh, const FreshStart& fresh) {
    if (had_fresh) Keep(fresh, recorded_ - 1);
    // The start that leaves the window can no longer begin a span (with a window of 64 it is
    // the one whose slot is reused).
    if (recorded_ >= window_) live_ &= ~(uint64_t{1} << ((recorded_ - window_) & 63));
    ++recorded_;
  }

  // Decides the usual word ends, those whose only start is `fresh` (no live start), where no
  // key of the span from `fresh` is listed: nothing is masked, and the start dies when neither
  // key begins a listed key (every listed key is a prefix of itself), else lives on. Returns
  // false, deciding nothing, in every other case (End decides those). End would decide the
  // same, at a higher cost.
  bool EndsSimply(const FreshStart& fresh) {
    const bool raw_fits = fresh.raw_length <= max_length_;
    const bool projected_fits = fresh.projected_length <= max_length_;
    const bool raw_prefix = raw_fits && keys_.MayBePrefix(fresh.raw_hash);
    const bool same = raw_fits && projected_fits && fresh.projected_hash == fresh.raw_hash;
    const bool projected_prefix =
        same ? raw_prefix : projected_fits && keys_.MayBePrefix(fresh.projected_hash);
    if (!raw_prefix && !projected_prefix) return true;
    if ((raw_prefix && keys_.MayBeListed(fresh.raw_hash)) ||
        (projected_prefix && !same && keys_.MayBeListed(fresh.projected_hash))) {
      return false;
    }
    const unsigned slot = (recorded_ - 1) & 63;
    Fill(ring_[slot], fresh);
    ring_[slot].raw_dead = !raw_prefix;
    ring_[slot].projected_dead = !projected_prefix;
    live_ |= uint64_t{1} << slot;
    return true;
  }

  // Decides a word end: visits every live start and the fresh one (when `has_fresh`), keeps
  // the fresh one if it survives, and returns the first position of the widest masked span,
  // or SIZE_MAX. Not inlined, to keep the scan's loop small.
  [[gnu::noinline]] std::size_t End(bool has_fresh, std::size_t position, uint64_t raw_hash,
                                    uint64_t projected_hash, std::size_t raw_length,
                                    std::size_t projected_length) {
    // Usually no key of any span ending here begins a listed key (the word after a word
    // that began one, say): then nothing is masked and every start dies, which the prefix
    // bitmap alone tells.
    bool any_prefix = has_fresh && (CouldBeListed(raw_hash, raw_length) ||
                                    CouldBeListed(projected_hash, projected_length));
    for (uint64_t remaining = live_; remaining != 0 && !any_prefix; remaining &= remaining - 1) {
      const SmallStart& start = ring_[std::countr_zero(remaining)];
      any_prefix =
          (!start.raw_dead && CouldBeListed(start.raw_hash, start.raw_length)) ||
          (!start.projected_dead && CouldBeListed(start.projected_hash, start.projected_length));
    }
    if (!any_prefix) {
      live_ = 0;
      return SIZE_MAX;
    }
    // The widest masked span is the one from the oldest start; every live start is visited
    // anyway, to find those that died. Live starts are older than the fresh one.
    std::size_t widest = SIZE_MAX;
    for (uint64_t remaining = live_; remaining != 0; remaining &= remaining - 1) {
      const unsigned slot = static_cast<unsigned>(std::countr_zero(remaining));
      SmallStart& start = ring_[slot];
      const bool masked = Visit(start);
      if (start.raw_dead && start.projected_dead) live_ &= ~(uint64_t{1} << slot);
      if (masked && start.position < widest) widest = start.position;
    }
    if (has_fresh) {
      // Decided in its ring slot, which counts only if it survives.
      const unsigned slot = (recorded_ - 1) & 63;
      SmallStart& start = ring_[slot];
      Fill(start, FreshStart{position, raw_hash, projected_hash, raw_length, projected_length});
      const bool masked = Visit(start);
      if (!start.raw_dead || !start.projected_dead) live_ |= uint64_t{1} << slot;
      if (masked && widest == SIZE_MAX) widest = position;
    }
    return widest;
  }

  // Appends a run of `count` plain letters whose key from zero is `run` to every live start.
  [[gnu::noinline]] void ExtendLive(uint64_t run, std::size_t count) {
    const uint64_t power = count <= max_length_ ? powers_[count] : 0;
    for (uint64_t remaining = live_; remaining != 0; remaining &= remaining - 1) {
      SmallStart& start = ring_[std::countr_zero(remaining)];
      // A key past the longest listed one is dead by its length; its value no longer matters.
      start.raw_hash = start.raw_hash * power + run;
      start.projected_hash = start.projected_hash * power + run;
      start.raw_length += count;
      start.projected_length += count;
    }
  }

  // Appends one code point of class `cls` to every live start.
  [[gnu::noinline]] void AddToLive(const CharClass& cls) {
    const bool raw_key = (cls.flags & kRawKey) != 0;
    const bool projected_key = (cls.flags & kProjectedKey) != 0;
    for (uint64_t remaining = live_; remaining != 0; remaining &= remaining - 1) {
      SmallStart& start = ring_[std::countr_zero(remaining)];
      AddCode(raw_key, cls.raw, start.raw_hash, start.raw_length);
      AddCode(projected_key, cls.projected, start.projected_hash, start.projected_length);
    }
  }

  // Appends `value` to a key when the code point enters it.
  static void AddCode(bool enters, char32_t value, uint64_t& hash, std::size_t& length) {
    hash = hash * (enters ? kHashMultiplier : 1) + (enters ? value : 0);
    length += enters;
  }

  // Appends a run of `count` plain letters whose key from zero is `run` to `fresh`.
  void ExtendFresh(FreshStart& fresh, uint64_t run, std::size_t count) const {
    if (fresh.raw_length == 0 && fresh.projected_length == 0) {
      // The usual case: the start is the run's first letter.
      fresh.raw_hash = run;
      fresh.projected_hash = run;
    } else {
      const uint64_t power = count <= max_length_ ? powers_[count] : 0;
      fresh.raw_hash = fresh.raw_hash * power + run;
      fresh.projected_hash = fresh.projected_hash * power + run;
    }
    fresh.raw_length += count;
    fresh.projected_length += count;
  }

 private:
  // Decides the span from `start` to the current word end: whether it is masked. Marks the
  // start dead for each key that no span from it can be listed by any more.
  bool Visit(SmallStart& start) const {
    bool raw_dead = start.raw_dead || start.raw_length > max_length_;
    bool projected_dead = start.projected_dead || start.projected_length > max_length_;
    KeyLevels raw_levels;
    KeyLevels projected_levels;
    const bool raw_probed = !raw_dead;
    if (raw_probed) raw_levels = decide_.Probe(start.raw_hash, raw_dead);
    if (!projected_dead) {
      if (raw_probed && start.projected_hash == start.raw_hash) {
        projected_levels = raw_levels;
        projected_dead = raw_dead;
      } else {
        projected_levels = decide_.Probe(start.projected_hash, projected_dead);
      }
    }
    start.raw_dead = raw_dead;
    start.projected_dead = projected_dead;
    return decide_.Decide(raw_levels, projected_levels);
  }

  // Whether a key of `length` code points may still be or begin a listed key.
  bool CouldBeListed(uint64_t key, std::size_t length) const {
    return length <= max_length_ && keys_.MayBePrefix(key);
  }

  void Keep(const FreshStart& fresh, std::size_t index) {
    const unsigned slot = index & 63;
    Fill(ring_[slot], fresh);
    live_ |= uint64_t{1} << slot;
  }

  // Field by field: a copy of a whole record is made with wide moves that read back fields
  // just stored one by one, which stalls.
  static void Fill(SmallStart& start, const FreshStart& fresh) {
    start.position = fresh.position;
    start.raw_hash = fresh.raw_hash;
    start.projected_hash = fresh.projected_hash;
    start.raw_length = fresh.raw_length;
    start.projected_length = fresh.projected_length;
    start.raw_dead = false;
    start.projected_dead = false;
  }

  const Decider decide_;
  const KeyLookup keys_;
  const std::size_t max_length_;
  const uint64_t* const powers_;
  const std::size_t window_;
  const bool empty_masked_;
  std::array<SmallStart, 64> ring_;
  uint64_t live_ = 0;         // bit k: ring_[k] may still be listed
  std::size_t recorded_ = 0;  // starts recorded so far; start k goes to slot k % 64
};

// Returns false, having maybe reported some spans already, when it meets U+0000 (where a key
// stops, which this loop does not follow); true when it read the whole text or the sink
// stopped it. With kTerminated, text.data()[text.size()] is U+0000 (as in a std::u32string),
// which no plain letter is: the loops over letters then need not check for the end.
template <bool kTerminated>
bool SmallWindowScan(const EngineData& data, std::u32string_view text, uint32_t level,
                     std::size_t window, SpanSink& sink) {
  SmallWindowScanner starts(data, level, window);
  const CharClassTable& classes = data.utils->classes();
  const CharClass* const common = classes.common();
  const uint32_t* const scan_codes = classes.scan_codes();
  const char32_t* const chars = text.data();
  const std::size_t size = text.size();
  auto code_at = [&](std::size_t position) {
    const char32_t c = chars[position];
    if (c < CharClassTable::kSize) [[likely]] {
      return scan_codes[c];
    }
    return CharClassTable::kScanOther;
  };
  // Moves `position` on by one; false at the end of the text, unless the text is terminated
  // (a loop over plain letters then stops at the terminator).
  auto step = [&](std::size_t& position) { return ++position < size || kTerminated; };
  auto class_at = [&](std::size_t position) {
    const char32_t c = chars[position];
    return c < CharClassTable::kSize ? common[c] : classes.Compute(c);
  };

  // Goes on with a word of plain letters whose letters up to `end` are in `run` and `length`
  // when the scan code `next` at `end` is that of a silent word character (an apostrophe, a
  // hyphen), which neither ends a word nor enters a key: reads on over such characters and
  // plain letters, moving `end` past them and leaving the scan code there in `next` (when not
  // at the end of the text).
  auto read_on = [&](std::size_t& end, uint64_t& run, std::size_t& length, uint32_t& next) {
    while (next == CharClassTable::kScanSilent) {
      while (++end < size && (next = code_at(end)) == CharClassTable::kScanSilent) {
      }
      while (end < size && CharClassTable::IsPlainScanCode(next)) {
        run = run * kHashMultiplier + next;
        ++length;
        if (++end < size) next = code_at(end);
      }
      if (end == size) return;
    }
  };

  // Reads the word at `end`, whose scan code `next` holds: plain letters, maybe joined by
  // silent word characters. Adds the letters to `run` and their number to `length`, moves
  // `end` past the word and returns whether a blank or the end of the text follows it.
  auto read_word = [&](std::size_t& end, uint64_t& run, std::size_t& length, uint32_t& next) {
    if (!CharClassTable::IsPlainScanCode(next)) return false;
    const std::size_t from = end;
    do {
      run = run * kHashMultiplier + next;
    } while (step(end) && CharClassTable::IsPlainScanCode(next = code_at(end)));
    length += end - from;
    if (end < size && next != CharClassTable::kScanBlank) {
      read_on(end, run, length, next);
      return end == size || next == CharClassTable::kScanBlank;
    }
    return true;
  };

  FreshStart fresh;
  bool has_fresh = false;
  bool previous_separator = true;
  std::size_t i = 0;
  // The scan code of chars[i] whenever i < size, carried from wherever it was read first.
  uint32_t code = size > 0 ? code_at(0) : CharClassTable::kScanBlank;
  while (i < size) {
    if (!has_fresh && !starts.any_live() && previous_separator) {
      // Nothing is pending: pass over the blanks and the words that the loop below would
      // forget without masking anything. Such a word is plain letters (maybe joined by
      // silent word characters) followed by a blank or the end of the text, and neither of
      // its keys (both the key of its letters) begins a listed key; its span is the only one
      // ending there. A word that begins a listed key is passed over with the next word as a
      // pair, and a word of silent word characters alone with the quiet word after it, when
      // their spans are decided at the next word's end (see PassQuietPair and
      // PassSilentWord). Anything else is left, from its first code point, to the loop below.
      for (;;) {
        if (code == CharClassTable::kScanBlank) {
          if (++i == size) return true;
          code = code_at(i);
          continue;
        }
        uint32_t next = code;
        if (!CharClassTable::IsPlainScanCode(code)) {
          if (code != CharClassTable::kScanSilent) break;
          // A word of word characters that enter no key alone (the dashes before a name).
          std::size_t end = i;
          while (++end < size && (next = code_at(end)) == CharClassTable::kScanSilent) {
          }
          if (end < size && next != CharClassTable::kScanBlank) break;
          while (end < size && (next = code_at(end)) == CharClassTable::kScanBlank) ++end;
          if (end == size) {
            if (starts.empty_masked()) break;
            return true;
          }
          std::size_t second_end = end;
          uint64_t second_run = 0;
          std::size_t second_length = 0;
          if (!read_word(second_end, second_run, second_length, next) ||
              !starts.PassSilentWord(second_run, second_length)) {
            break;
          }
          if (second_end + 1 >= size) return true;
          i = second_end + 1;
          code = code_at(i);
          continue;
        }
        std::size_t end = i;
        uint64_t run = 0;
        do {
          run = run * kHashMultiplier + next;
        } while (step(end) && CharClassTable::IsPlainScanCode(next = code_at(end)));
        std::size_t length = end - i;
        if (end < size && next != CharClassTable::kScanBlank) {
          read_on(end, run, length, next);
          if (end < size && next != CharClassTable::kScanBlank) break;
        }
        if (!starts.PassQuietWord(run, length)) {
          // The word begins a listed key; usually the next word ends that: then both spans
          // ending at the next word's end begin no listed key either.
          std::size_t second = end;
          while (second < size && (next = code_at(second)) == CharClassTable::kScanBlank) {
            ++second;
          }
          if (second == size) break;
          std::size_t second_end = second;
          uint64_t second_run = 0;
          std::size_t second_length = 0;
          if (!read_word(second_end, second_run, second_length, next)) break;
          const int passed = starts.PassQuietPair(run, length, second_run, second_length);
          if (passed == 0) break;
          if (passed == 1) {
            // The second word begins a listed key in turn: it is the first word of the next
            // pair.
            i = second;
            code = code_at(i);
            continue;
          }
          end = second_end;
        }
        if (end + 1 >= size) return true;
        i = end + 1;
        code = code_at(i);
      }
    }
    // A blank starts, ends and adds to nothing; it only makes the next code point follow a
    // separator.
    if (code == CharClassTable::kScanBlank) {
      previous_separator = true;
      if (++i < size) code = code_at(i);
      continue;
    }
    bool word_char = true;
    bool plain_run = CharClassTable::IsPlainScanCode(code);
    if (plain_run && previous_separator) {
      // The usual word start: a plain letter after a separator.
      starts.Start(has_fresh, fresh);
      fresh = FreshStart{i};
      has_fresh = true;
      previous_separator = false;
    } else {
      if (chars[i] == 0) return false;
      const CharClass current = class_at(i);
      const uint8_t flags = current.flags;
      word_char = (flags & kWordChar) != 0;
      if (word_char && previous_separator) {
        starts.Start(has_fresh, fresh);
        fresh = FreshStart{i};
        has_fresh = true;
      }
      if (has_fresh) {
        SmallWindowScanner::AddCode((flags & kRawKey) != 0, current.raw, fresh.raw_hash,
                                    fresh.raw_length);
        SmallWindowScanner::AddCode((flags & kProjectedKey) != 0, current.projected,
                                    fresh.projected_hash, fresh.projected_length);
      }
      if (starts.any_live()) starts.AddToLive(current);
      previous_separator = (flags & kSeparator) != 0;
      if (++i < size) code = code_at(i);
      // The plain letters that follow a non-separator start no word and end none before
      // the last of them.
      plain_run = !previous_separator && i < size && CharClassTable::IsPlainScanCode(code);
    }
    if (plain_run) {
      // The run's key from zero, appended to every start's keys afterwards.
      const std::size_t from = i;
      uint64_t run = 0;
      do {
        run = run * kHashMultiplier + code;
      } while (step(i) && CharClassTable::IsPlainScanCode(code = code_at(i)));
      if (has_fresh) starts.ExtendFresh(fresh, run, i - from);
      if (starts.any_live()) starts.ExtendLive(run, i - from);
    }

    // A word ends at i - 1 (a word character, as every plain letter is) when a separator or
    // the end of the text follows.
    if (!word_char || (!has_fresh && !starts.any_live())) continue;
    const bool blank_next = i < size && code == CharClassTable::kScanBlank;
    if (i < size && !blank_next &&
        (CharClassTable::IsPlainScanCode(code) || (class_at(i).flags & kSeparator) == 0)) {
      continue;
    }
    if (!has_fresh || starts.any_live() || !starts.EndsSimply(fresh)) {
      const std::size_t widest =
          starts.End(has_fresh, fresh.position, fresh.raw_hash, fresh.projected_hash,
                     fresh.raw_length, fresh.projected_length);
      if (widest != SIZE_MAX && !sink.OnSpan(widest, i - 1)) return true;
    }
    has_fresh = false;
    if (blank_next) {
      // The blank after the word, passed over here rather than at the top of the loop.
      previous_separator = true;
      if (++i < size) code = code_at(i);
    }
  }
  return true;
}

}  // namespace

namespace {

// The scan for windows of more than 64 words (the embedded scan).
void LargeWindowScan(const EngineData& data, std::u32string_view text, uint32_t level,
                     std::size_t window, SpanSink& sink) {
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
  // Starts [0, frozen) lie before a U+0000 already passed, so the keys of their spans no
  // longer change: each was decided when the scan passed it. The masked ones are kept as
  // runs of start indices (first, last), in increasing order; those before `frozen_head` have
  // left the window.
  std::size_t frozen = 0;
  std::vector<std::pair<std::size_t, std::size_t>> frozen_masked;
  std::size_t frozen_head = 0;
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

    if (text[i] == 0) [[unlikely]] {
      // Every span from a start up to here runs over this U+0000 from now on, so its keys are
      // those of the text before it, whatever the span's end: decide each such start once.
      // Starts that have left the window are never asked about again.
      std::size_t j = std::max(frozen, recorded > window ? recorded - window : 0);
      for (; j < recorded; ++j) {
        StartRecord& start = ring[j & ring_mask];
        const std::size_t raw_length = raw_count - start.raw_count;
        const std::size_t projected_length = projected_count - start.projected_count;
        KeyLevels raw_levels;
        KeyLevels projected_levels;
        bool dead = false;  // the start is decided for good; nothing to remember
        if (raw_length <= max_length && !start.raw_dead) {
          raw_levels = decide.Probe(raw_hash - start.raw_hash * powers[raw_length], dead);
        }
        if (projected_length <= max_length && !start.projected_dead) {
          projected_levels =
              decide.Probe(projected_hash - start.projected_hash * powers[projected_length], dead);
        }
        if (!decide.Decide(raw_levels, projected_levels)) continue;
        if (frozen_masked.size() > frozen_head && frozen_masked.back().second + 1 == j) {
          frozen_masked.back().second = j;
        } else {
          frozen_masked.emplace_back(j, j);
        }
      }
      frozen = recorded;
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
      if (frozen_head < frozen_masked.size()) [[unlikely]] {
        while (frozen_head < frozen_masked.size() && frozen_masked[frozen_head].second < oldest) {
          ++frozen_head;
        }
        // A masked frozen start in the window is older than every start still live.
        if (frozen_head < frozen_masked.size()) {
          widest = std::max(frozen_masked[frozen_head].first, oldest);
        }
      }
      const std::size_t live_oldest = std::max(oldest, frozen);
      std::size_t j = recorded - 1;
      for (bool more = widest == recorded && recorded > live_oldest; more;) {
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
        if (run_start < live_oldest) run_start = live_oldest;
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
        more = run_start != live_oldest;
        j = run_start - 1;
      }
      if (widest != recorded && !sink.OnSpan(ring[widest & ring_mask].position, i)) return;
    }

    previous_separator = (current.flags & kSeparator) != 0;
    current = next;
  }
}

}  // namespace

bool TryNormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                   uint32_t max_words, SpanSink& sink, bool terminated) {
  if (text.empty() || data.keys.empty()) return true;
  const std::size_t window = std::min<std::size_t>(max_words == 0 ? 1 : max_words, text.size());
  if (window <= 64) {
    return terminated ? SmallWindowScan<true>(data, text, level, window, sink)
                      : SmallWindowScan<false>(data, text, level, window, sink);
  }
  LargeWindowScan(data, text, level, window, sink);
  return true;
}

void NormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                uint32_t max_words, SpanSink& sink) {
  const std::size_t window = std::min<std::size_t>(max_words == 0 ? 1 : max_words, text.size());
  if (window <= 64 && HasNul(text)) {
    if (!data.keys.empty()) PlainNormalScan(data, text, level, max_words, sink);
    return;
  }
  TryNormalScan(data, text, level, max_words, sink, false);
}

bool MarkLowered(const WordTrie& trie, std::u32string* target, const LoweredText& lowered,
                 uint32_t level, char32_t mark, bool stop_at_first) {
  bool matched = false;
  trie.ForEachLongestMatch(lowered.text, level, [&](std::size_t i, std::size_t length) {
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
    return !stop_at_first;
  });
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
