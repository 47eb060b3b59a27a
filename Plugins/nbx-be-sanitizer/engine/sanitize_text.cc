// SanitizeText (sanitize_text.h): removal of disallowed characters, then the normal or the
// aggressive scan, then the masks.
//
// The normal scan masks the output in place: it never reads a position again once it has
// reported a span ending there, so the working text and the output can be one buffer. The
// aggressive scan lowers the working text once, walks the whitelist trie over it, and walks
// the filter trie over the same lowered copy unless a whitelist entry blanked part of the text
// (then over the lowered blanked copy).
// Per-thread scratch buffers keep the hot path free of allocations; they are the calling
// thread's own, so concurrent calls share nothing mutable.
#include "Plugins/nbx-be-sanitizer/engine/sanitize_text.h"

#include <algorithm>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"
#include "Plugins/nbx-be-sanitizer/engine/lowering.h"
#include "Plugins/nbx-be-sanitizer/engine/scan_internal.h"

namespace sanitizer {
namespace detail {
namespace {

// Buffers of the aggressive scan, kept per thread between calls; trimmed after a call on a
// very long text so that one such text does not pin its memory for the thread's life.
struct Scratch {
  std::u32string working;
  std::u32string blanked;
  LoweredText lowered;
  LoweredText lowered_blanked;

  void Trim() {
    constexpr std::size_t kKeep = std::size_t{1} << 20;
    if (working.capacity() > kKeep) std::u32string().swap(working);
    if (blanked.capacity() > kKeep) std::u32string().swap(blanked);
    for (LoweredText* text : {&lowered, &lowered_blanked}) {
      if (text->text.capacity() > kKeep || text->first.capacity() > kKeep) *text = LoweredText();
    }
  }
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

class MaskSink final : public SpanSink {
 public:
  explicit MaskSink(std::u32string* output) : output_(output) {}
  bool OnSpan(std::size_t first, std::size_t last) override {
    matched_ = true;
    if (output_ == nullptr) return false;  // only the flag is wanted
    const std::size_t end = std::min(last + 1, output_->size());
    if (first >= end) return true;
    // Spans come in increasing order of their end. With a window of many words, each word end
    // may report a span from the same old start again; only the positions outside the masked
    // stretch that the previous spans left are written, so such a run costs its length once
    // rather than once per word end.
    if (masked_end_ == 0 || first > masked_end_) {
      Mask(first, end);
      masked_begin_ = first;
    } else {
      Mask(first, std::min(masked_begin_, end));
      Mask(std::max(masked_end_, first), end);
      masked_begin_ = std::min(masked_begin_, first);
    }
    masked_end_ = std::max(masked_end_, end);
    return true;
  }
  bool matched() const { return matched_; }

 private:
  void Mask(std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) (*output_)[k] = kMaskMark;
  }

  std::u32string* output_;
  bool matched_ = false;
  // Positions [masked_begin_, masked_end_) are masked; empty while masked_end_ is 0.
  std::size_t masked_begin_ = 0;
  std::size_t masked_end_ = 0;
};

// Replaces disallowed characters of `text` by a blank; returns whether any was replaced.
bool RemoveDisallowed(const EngineData& data, std::u32string& text) {
  const CharClassTable& classes = data.utils->classes();
  bool removed = false;
  for (char32_t& c : text) {
    if ((classes.Get(c).flags & kRemovable) != 0 && !data.IsAllowed(c)) {
      c = kBlankMark;
      removed = true;
    }
  }
  return removed;
}

bool HasDisallowed(const EngineData& data, std::u32string_view text) {
  const CharClassTable& classes = data.utils->classes();
  for (const char32_t c : text) {
    if ((classes.Get(c).flags & kRemovable) != 0 && !data.IsAllowed(c)) return true;
  }
  return false;
}

// The aggressive scan over `working`, marking `output` (null: flag only). Whitelisted
// stretches are blanked in a copy that the filter trie then reads; every blank of that copy
// is restored from `working` afterwards (a no-op where nothing was masked).
bool AggressiveScan(const EngineData& data, std::u32string_view working, std::u32string* output,
                    uint32_t level, Scratch& scratch) {
  if (data.lowest_filter_level > level) return false;
  const CharClassTable* classes = &data.utils->classes();
  const bool flag_only = output == nullptr;

  LowerWithOrigins(working, classes, scratch.lowered);
  bool whitelisted = false;
  if (data.lowest_whitelist_level <= level) {
    scratch.blanked.assign(working);
    whitelisted = MarkLowered(data.whitelist_trie, &scratch.blanked, scratch.lowered, level,
                              kBlankMark, false);
  }
  const LoweredText* source = &scratch.lowered;
  if (whitelisted) {
    LowerWithOrigins(scratch.blanked, classes, scratch.lowered_blanked);
    source = &scratch.lowered_blanked;
  }
  const bool matched = MarkLowered(data.filter_trie, output, *source, level, kMaskMark, flag_only);
  if (matched && whitelisted && output != nullptr) {
    for (std::size_t i = 0; i < scratch.blanked.size(); ++i) {
      if (scratch.blanked[i] == kBlankMark) (*output)[i] = working[i];
    }
  }
  return matched;
}

}  // namespace

bool Sanitize(const SanitizerEngine& engine, std::u32string* output, std::u32string_view text,
              uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
              uint32_t max_words) {
  if (text.empty()) return false;
  const EngineData& data = engine.data();
  const bool remove = remove_disallowed_chars && !data.allowed.empty();

  if (output == nullptr) {
    // Only the flag: a removed character already decides it.
    if (remove && HasDisallowed(data, text)) return true;
    if (aggressive_scan) {
      Scratch& scratch = ThreadScratch();
      const bool matched = AggressiveScan(data, text, nullptr, level, scratch);
      scratch.Trim();
      return matched;
    }
    MaskSink sink(nullptr);
    if (TryNormalScan(data, text, level, max_words, sink, false)) return sink.matched();
    MaskSink again(nullptr);
    NormalScan(data, text, level, max_words, again);
    return again.matched();
  }

  output->assign(text);
  const bool removed = remove && RemoveDisallowed(data, *output);
  if (!aggressive_scan) {
    // In place: the scan reads the working text from `output` as it masks it. Texts holding
    // U+0000 are rare, so the scan does not look for one first; when it meets one, the
    // working text is made again and scanned on the path that follows U+0000.
    MaskSink sink(output);
    if (TryNormalScan(data, *output, level, max_words, sink, true)) {
      return removed || sink.matched();
    }
    output->assign(text);
    if (remove) RemoveDisallowed(data, *output);
    MaskSink again(output);
    NormalScan(data, *output, level, max_words, again);
    return removed || again.matched();
  }
  Scratch& scratch = ThreadScratch();
  // The working text stays readable beside the output: the input itself unless removal
  // changed it.
  std::u32string_view working = text;
  if (removed) {
    scratch.working.assign(*output);
    working = scratch.working;
  }
  const bool matched = AggressiveScan(data, working, output, level, scratch);
  scratch.Trim();
  return removed || matched;
}

}  // namespace detail

bool SanitizeText(const SanitizerEngine& engine, std::u32string& output, std::u32string_view text,
                  uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
                  uint32_t max_words) {
  return detail::Sanitize(engine, &output, text, level, remove_disallowed_chars, aggressive_scan,
                          max_words);
}

}  // namespace sanitizer
