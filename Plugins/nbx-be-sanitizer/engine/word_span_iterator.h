// WordSpanIterator: cuts a code-point text into spans of up to N consecutive words.
//
// A word starts at a word-start code point that is first in the text or follows a separator,
// and ends at a word-start code point that is last in the text or is followed by a separator.
// At every word end the iterator yields, oldest first, one span from each of the last N word
// starts to that end (the run of N words, then N - 1, ..., then the word alone). Separators
// inside a run stay inside the span. The same iterator, with the list separator and N = 1,
// cuts list texts into entries. An iterator makes one pass and is not restartable.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SPAN_ITERATOR_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SPAN_ITERATOR_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

namespace sanitizer {

// Positions first..last of a text, both inclusive, first <= last.
struct WordSpan {
  std::size_t first = 0;
  std::size_t last = 0;
  friend bool operator==(const WordSpan&, const WordSpan&) = default;
};

using CharPredicate = std::function<bool(char32_t)>;

class WordSpanIterator {
 public:
  // `text` is not copied and must outlive the iterator. A max of 0 words is taken as 1.
  // Missing predicates default to utils->IsWordChar (word start) and utils->IsSeparator.
  WordSpanIterator(std::u32string_view text, std::shared_ptr<const SanitizerUtils> utils,
                   uint32_t max_words, std::size_t start = 0, CharPredicate word_start = nullptr,
                   CharPredicate separator = nullptr);

  // The next span, or nullopt at the end of the text.
  std::optional<WordSpan> Next();

 private:
  std::u32string_view text_;
  std::shared_ptr<const SanitizerUtils> utils_;
  CharPredicate word_start_;
  CharPredicate separator_;
  std::size_t max_words_;
  std::size_t position_;
  std::deque<std::size_t> starts_;
  bool emitting_ = false;
  std::size_t cursor_ = 0;
};

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SPAN_ITERATOR_H_
