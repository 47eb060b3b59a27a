// The two detectors of the sanitizer and the containsSanitized operation.
//
// The normal scan (ScanWords) cuts the text into runs of up to N words (WordSpanIterator),
// turns each run into its raw and its projected key (SanitizerUtils::HashSpan) and masks the
// run when a key is listed in a filter list of a level <= L and neither key is listed in an
// unfilter list of a level <= L. The aggressive scan (MarkMatches) lower-cases the text and
// marks, at every position, the longest trie entry starting there.
//
// Both only read the engine; any number may run at once on one engine. Neither allocates per
// span; work grows linearly with the text for a given engine, also with N as large as the
// text (spans longer than the longest listed key are never looked up, since no key of a list
// can equal theirs but by a 64-bit collision).
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_engine.h"
#include "Plugins/nbx-be-sanitizer/engine/word_trie.h"

namespace sanitizer {

// Receives a span first..last (both inclusive) to be masked.
using SpanCallback = std::function<void(std::size_t first, std::size_t last)>;

// The normal scan of `text` at `level` with runs of up to `max_words` words (0 is taken as
// 1). For each word end it reports the widest span ending there that is to be masked, which
// covers every narrower one, so masking the reported spans masks exactly the positions of all
// spans that the scan decides to mask. Spans come in increasing order of their last position.
void ScanWords(const SanitizerEngine& engine, std::u32string_view text, uint32_t level,
               uint32_t max_words, const SpanCallback& on_span);

// One pass of the aggressive scan: lowers `source` (SanitizerUtils::LowerText) and, at every
// position, marks with `mark` the positions of `target` that the longest trie entry starting
// there was matched on. Where lowering changed the text's length, positions are carried back
// to the source code points that the matched lowered code points came from. Positions at or
// beyond the end of `target` are not written. Returns whether anything matched.
bool MarkMatches(const WordTrie& trie, std::u32string& target, std::u32string_view source,
                 char32_t mark);

// Whether `text` holds a filtered word at `level`: the modified flag of SanitizeText with max
// words 5, or, with `include_embedded`, of SanitizeText on the text with a blank after every
// code point and max words equal to the text's length (so listed words are found inside
// other words too). An empty text gives false.
bool ContainsSanitized(const SanitizerEngine& engine, std::u32string_view text, uint32_t level,
                       bool include_embedded, bool remove_disallowed_chars, bool aggressive_scan);

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_SCAN_H_
