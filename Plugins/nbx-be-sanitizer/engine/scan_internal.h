// Internal: the scan primitives that ScanWords, MarkMatches, SanitizeText and
// ContainsSanitized share.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_INTERNAL_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/engine_data.h"
#include "Plugins/nbx-be-sanitizer/engine/lowering.h"
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/word_trie.h"

namespace sanitizer::detail {

// Receives the spans the normal scan masks; returns false to stop the scan.
class SpanSink {
 public:
  virtual bool OnSpan(std::size_t first, std::size_t last) = 0;

 protected:
  ~SpanSink() = default;
};

// The normal scan. For every word end it reports the widest span ending there that is to be
// masked, in increasing order of the end. The sink may write into the memory `text` views at
// positions up to the reported end: the scan never reads those positions again.
void NormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                uint32_t max_words, SpanSink& sink);
// NormalScan without the pass that looks for U+0000 first: with a window of up to 64 words,
// returns false, having maybe reported some spans already, when the text holds one;
// NormalScan must then be run on the text as it was before those spans were masked. True when
// the scan is complete (or the sink stopped it). `terminated`: text.data()[text.size()] can be
// read and is U+0000, as in a std::u32string (which lets the scan skip some checks).
bool TryNormalScan(const EngineData& data, std::u32string_view text, uint32_t level,
                   uint32_t max_words, SpanSink& sink, bool terminated);

// The marking step of MarkMatches on an already lowered source, with the trie's terminals of a
// level <= `level`. With a null `target` only
// reports whether anything matches; `stop_at_first` ends the pass at the first match.
bool MarkLowered(const WordTrie& trie, std::u32string* target, const LoweredText& lowered,
                 uint32_t level, char32_t mark, bool stop_at_first);

// SanitizeText; with a null `output`, only the modified flag is computed (and the work stops
// as soon as it is known).
bool Sanitize(const SanitizerEngine& engine, std::u32string* output, std::u32string_view text,
              uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
              uint32_t max_words);

}  // namespace sanitizer::detail

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_INTERNAL_H_
