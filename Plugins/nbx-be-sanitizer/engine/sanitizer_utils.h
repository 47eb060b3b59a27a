// SanitizerUtils: the character predicates, the word key and the two lower-case foldings that
// every part of the engine uses, built on the character tables (char_tables.h).
//
// One SanitizerUtils is built per plug-in and shared (std::shared_ptr) by every engine, trie
// and running scan; it is immutable, so any number of threads may use it at once. Besides the
// tables it keeps a precomputed class for each code point of the common range, so the scans
// need no ICU call or table lookup for ordinary text; the answers are the same either way.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_UTILS_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_UTILS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/engine/char_tables.h"

namespace sanitizer {

namespace detail {
class CharClassTable;
}  // namespace detail

class SanitizerUtils {
 public:
  // Takes the tables over; null gives empty tables.
  explicit SanitizerUtils(std::unique_ptr<CharTables> tables);
  ~SanitizerUtils();
  SanitizerUtils(const SanitizerUtils&) = delete;
  SanitizerUtils& operator=(const SanitizerUtils&) = delete;

  // Reads the tables through `loader` and wraps them.
  static std::shared_ptr<const SanitizerUtils> Create(const AssetLoader& loader);

  const CharTables& tables() const { return *tables_; }
  // Status counts: code points in `breaking`, entries in `projected` (1337 entries are not
  // counted).
  uint32_t breaking_chars_count() const;
  uint32_t projected_chars_count() const;

  // True for white space, for Unicode punctuation other than "'" and "-", for listed
  // punctuation other than those two, and for listed breaking characters.
  bool IsSeparator(char32_t c) const;
  // True for non-separators, for code points that `projected` (or, failing an entry there,
  // `projected1337`) maps to a different code point, and for "'" and "-".
  bool IsWordChar(char32_t c) const;

  // The 64-bit key of text[first..last] (both inclusive; `last` is clamped to the text):
  // upper-case letters (category Lu) are folded, code points are projected when `project`
  // is set (`projected`, else `projected1337` when `use_leet` is set), and white space and
  // Unicode punctuation contribute nothing. Stops at U+0000. An empty span gives `seed`.
  uint64_t HashSpan(std::u32string_view text, std::size_t first, std::size_t last, bool project,
                    bool use_leet, uint64_t seed = 0) const;

  // The separator of list texts: "," and white space.
  static bool IsListSeparator(char32_t c);
  // Simple lower-casing (u_tolower), used for trie entries.
  static char32_t LowerChar(char32_t c);
  // Full, context-sensitive lower-casing with the default locale of the process (read once
  // at load). The text may change length (U+0130 lowers to two code points); ill-formed code
  // points become U+FFFD.
  static void LowerText(std::u32string& text);

  // The per-code-point classes behind the fast scans (internal).
  const detail::CharClassTable& classes() const { return *classes_; }

 private:
  std::unique_ptr<CharTables> tables_;
  std::unique_ptr<detail::CharClassTable> classes_;
};

// The multiplier of the word key: h = h * kHashMultiplier + c.
inline constexpr uint64_t kHashMultiplier = 92821;

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_SANITIZER_UTILS_H_
