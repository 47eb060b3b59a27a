// WordSet: a set of 64-bit word keys (sanitizer_utils.h, HashSpan), and WordHashSet, its one
// implementation.
//
// The engine folds all of its sets into one table from key to the lowest levels that list it
// (sanitizer_engine.h), which answers the same questions with one lookup per key; WordSet is
// the plain form, one set per list text, that the reference engine and the tests use.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SET_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SET_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>

namespace sanitizer {

class WordSet {
 public:
  virtual ~WordSet() = default;
  virtual void Insert(uint64_t key) = 0;
  virtual void InsertAll(std::span<const uint64_t> keys) = 0;
  virtual bool Contains(uint64_t key) const = 0;
  virtual void Clear() = 0;
  virtual std::size_t Size() const = 0;
};

class WordHashSet final : public WordSet {
 public:
  void Insert(uint64_t key) override { keys_.insert(key); }
  void InsertAll(std::span<const uint64_t> keys) override {
    keys_.insert(keys.begin(), keys.end());
  }
  bool Contains(uint64_t key) const override { return keys_.count(key) != 0; }
  void Clear() override { keys_.clear(); }
  std::size_t Size() const override { return keys_.size(); }

 private:
  std::unordered_set<uint64_t> keys_;
};

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_WORD_SET_H_
