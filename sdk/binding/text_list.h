// TextList: a list of texts kept one after the other in one buffer, for records that carry many
// texts at once (a batch of texts to sanitize and its answer, say).
//
// As a member, argument or result it converts exactly as std::vector<std::string> does, and is
// described the same way (a vector of string): a collection of strings in index order, an
// empty element read as the empty text, an enum element as its enumerator's name. Only the
// native side differs: a vector of a thousand strings costs a thousand allocations (and as
// many releases), a TextList two, however many texts it holds. A text may be written straight
// into the list (AppendWritten), so that the text of an answer needs no buffer of its own.
//
//   TextList masked;
//   masked.Reserve(texts.size(), total_bytes);
//   for (std::string_view text : texts) masked.Append(Mask(text));
//   for (std::string_view text : masked) ...;
//
// Texts are counted byte strings (they may hold NUL bytes). Growth that cannot be had throws
// std::bad_alloc or std::length_error as the standard containers do; the converters turn that
// into a failed result.
#ifndef SDK_BINDING_TEXT_LIST_H_
#define SDK_BINDING_TEXT_LIST_H_

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace sdk::binding {

class TextList {
 public:
  class iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    iterator() = default;
    iterator(const TextList* list, size_t index) : list_(list), index_(index) {}
    std::string_view operator*() const { return (*list_)[index_]; }
    std::string_view operator[](difference_type offset) const {
      return (*list_)[index_ + static_cast<size_t>(offset)];
    }
    iterator& operator++() {
      ++index_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++index_;
      return old;
    }
    iterator& operator--() {
      --index_;
      return *this;
    }
    iterator operator--(int) {
      iterator old = *this;
      --index_;
      return old;
    }
    iterator& operator+=(difference_type offset) {
      index_ += static_cast<size_t>(offset);
      return *this;
    }
    iterator& operator-=(difference_type offset) {
      index_ -= static_cast<size_t>(offset);
      return *this;
    }
    friend iterator operator+(iterator it, difference_type offset) { return it += offset; }
    friend iterator operator+(difference_type offset, iterator it) { return it += offset; }
    friend iterator operator-(iterator it, difference_type offset) { return it -= offset; }
    friend difference_type operator-(const iterator& a, const iterator& b) {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.index_ == b.index_; }
    friend auto operator<=>(const iterator& a, const iterator& b) { return a.index_ <=> b.index_; }

   private:
    const TextList* list_ = nullptr;
    size_t index_ = 0;
  };

  TextList() = default;
  TextList(std::initializer_list<std::string_view> texts) {
    size_t bytes = 0;
    for (const std::string_view text : texts) bytes += text.size();
    Reserve(texts.size(), bytes);
    for (const std::string_view text : texts) Append(text);
  }
  TextList(const TextList& other) { *this = other; }
  TextList& operator=(const TextList& other) {
    if (this != &other) {
      Clear();
      Reserve(other.size(), other.size_);
      if (other.size_ != 0) std::memcpy(bytes_.get(), other.bytes_.get(), other.size_);
      size_ = other.size_;
      ends_ = other.ends_;
    }
    return *this;
  }
  TextList(TextList&& other) noexcept { *this = std::move(other); }
  TextList& operator=(TextList&& other) noexcept {
    if (this != &other) {
      bytes_ = std::move(other.bytes_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      ends_ = std::move(other.ends_);
      other.size_ = 0;
      other.capacity_ = 0;
      other.ends_.clear();
    }
    return *this;
  }

  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // Text `index` (below size()).
  std::string_view operator[](size_t index) const {
    const size_t begin = index == 0 ? 0 : ends_[index - 1];
    return {bytes_.get() + begin, ends_[index] - begin};
  }
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size()}; }
  // The bytes of all texts, one after the other.
  std::string_view bytes() const { return {bytes_.get(), size_}; }

  // Room for `texts` more texts of `bytes` more bytes in all, so that appending them allocates
  // nothing.
  void Reserve(size_t texts, size_t bytes) {
    ends_.reserve(ends_.size() + texts);
    if (bytes > capacity_ - size_) Grow(bytes);
  }
  // Drops every text; the buffers are kept.
  void Clear() {
    size_ = 0;
    ends_.clear();
  }

  void Append(std::string_view text) {
    if (text.size() > capacity_ - size_) Grow(text.size());
    if (!text.empty()) std::memcpy(bytes_.get() + size_, text.data(), text.size());
    size_ += text.size();
    ends_.push_back(size_);
  }

  // Appends the text of at most `max_size` bytes that `write(char* out)` stores at `out`,
  // returning the end of what it stored; when it returns null instead, the list is left as it
  // was and AppendWritten returns false.
  template <typename Write>
  bool AppendWritten(size_t max_size, Write write) {
    if (max_size > capacity_ - size_) Grow(max_size);
    char* const out = bytes_.get() + size_;
    const char* const written_end = write(out);
    if (written_end == nullptr) return false;
    ends_.reserve(ends_.size() + 1);  // may throw: before the bytes count as the list's
    size_ += static_cast<size_t>(written_end - out);
    ends_.push_back(size_);
    return true;
  }

  friend bool operator==(const TextList& a, const TextList& b) {
    return a.ends_ == b.ends_ && a.bytes() == b.bytes();
  }

 private:
  // Room for `more` bytes beyond size_: at least doubles the capacity, so that appending one
  // text after the other copies each byte a bounded number of times.
  void Grow(size_t more) {
    if (more > static_cast<size_t>(-1) / 2 - size_) throw std::length_error("TextList");
    size_t capacity = capacity_ * 2;
    if (capacity < size_ + more) capacity = size_ + more;
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ != 0) std::memcpy(grown.get(), bytes_.get(), size_);
    bytes_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;           // bytes in use
  size_t capacity_ = 0;       // bytes allocated
  std::vector<size_t> ends_;  // the end of each text in bytes_
};

}  // namespace sdk::binding

#endif  // SDK_BINDING_TEXT_LIST_H_
