// WordSpanIterator (word_span_iterator.h).
#include "Plugins/nbx-be-sanitizer/engine/word_span_iterator.h"

#include <utility>

namespace sanitizer {

WordSpanIterator::WordSpanIterator(std::u32string_view text,
                                   std::shared_ptr<const SanitizerUtils> utils, uint32_t max_words,
                                   std::size_t start, CharPredicate word_start,
                                   CharPredicate separator)
    : text_(text),
      utils_(std::move(utils)),
      word_start_(std::move(word_start)),
      separator_(std::move(separator)),
      max_words_(max_words == 0 ? 1 : max_words),
      position_(start) {
  const SanitizerUtils* raw = utils_.get();
  if (!word_start_) word_start_ = [raw](char32_t c) { return raw->IsWordChar(c); };
  if (!separator_) separator_ = [raw](char32_t c) { return raw->IsSeparator(c); };
}

std::optional<WordSpan> WordSpanIterator::Next() {
  if (emitting_) {
    if (cursor_ < starts_.size()) return WordSpan{starts_[cursor_++], position_};
    emitting_ = false;
    ++position_;
  }
  if (position_ >= text_.size()) return std::nullopt;
  for (;;) {
    const char32_t c = text_[position_];
    if (word_start_(c)) {
      if (position_ == 0 || separator_(text_[position_ - 1])) {
        starts_.push_back(position_);
        if (starts_.size() > max_words_) starts_.pop_front();
      }
      const bool ends_word = position_ + 1 == text_.size() || separator_(text_[position_ + 1]);
      if (ends_word && !starts_.empty()) {
        emitting_ = true;
        cursor_ = 1;
        return WordSpan{starts_.front(), position_};
      }
    }
    ++position_;
    if (position_ >= text_.size()) return std::nullopt;
  }
}

}  // namespace sanitizer
