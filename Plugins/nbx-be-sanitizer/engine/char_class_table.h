// Internal: the precomputed class of each code point of the common range, so that the scans
// answer "separator?", "word character?", "what goes into the raw and the projected key?" and
// "what does it lower to?" with one array read. Code points beyond the range are classified
// on the fly with the same rules; both paths give the same answers as SanitizerUtils'
// IsSeparator, IsWordChar and HashSpan.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_CLASS_TABLE_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_CLASS_TABLE_H_

#include <cstdint>
#include <vector>

namespace sanitizer {
class SanitizerUtils;
}  // namespace sanitizer

namespace sanitizer::detail {

enum CharFlag : uint8_t {
  kSeparator = 1 << 0,
  kWordChar = 1 << 1,
  kRawKey = 1 << 2,        // contributes `raw` to the raw key
  kProjectedKey = 1 << 3,  // contributes `projected` to the projected key
  kRemovable = 1 << 4,     // removed as disallowed unless listed as allowed
  kSimpleLower = 1 << 5,   // full lower-casing maps it to `lower` alone, whatever the context
  // A plain word letter: a word character, no separator, entering both keys as the same code
  // point. Inside a run of these no word starts or ends.
  kPlainLetter = 1 << 6,
};

struct CharClass {
  char32_t raw;        // after folding Lu to lower case
  char32_t projected;  // after folding and projection (projected, else projected1337)
  char32_t lower;      // valid with kSimpleLower
  uint8_t flags;
};

class CharClassTable {
 public:
  static constexpr char32_t kSize = 0x2100;  // Latin, Greek, Cyrillic, ..., general punctuation

  explicit CharClassTable(const SanitizerUtils& utils);

  CharClass Get(char32_t c) const { return c < kSize ? table_[c] : Compute(c); }
  // The classes of the common range, for loops that keep the pointer in a register.
  const CharClass* common() const { return table_.data(); }
  // One 32-bit code per code point of the common range for the normal scan's hot loops, which
  // thus read 4 bytes instead of a whole class for the usual code points:
  // - a plain letter (kPlainLetter) has its key contribution, a code point (below 2^31);
  // - a blank (a separator that is no word character and enters neither key) has kScanBlank;
  // - a silent word character (a word character, no separator, entering neither key: the
  //   apostrophe, the hyphen) has kScanSilent: inside a word it only joins letters;
  // - every other code point, U+0000 included, has kScanOther: its class must be looked at.
  // The codes that are no plain letter's have the top bit set, so that telling a plain
  // letter is one test of the sign. Only the loop that passes over quiet words tells
  // kScanSilent from kScanOther.
  static constexpr uint32_t kScanOther = 0x80000000u;
  static constexpr uint32_t kScanSilent = 0xFFFFFFFEu;
  static constexpr uint32_t kScanBlank = 0xFFFFFFFFu;
  static bool IsPlainScanCode(uint32_t code) { return static_cast<int32_t>(code) >= 0; }
  const uint32_t* scan_codes() const { return scan_codes_.data(); }
  // Per code point of the common range: what it lowers to when that does not depend on its
  // context (kSimpleLower), else 0 (U+0000 is not given this mark).
  const char32_t* simple_lowers() const { return simple_lowers_.data(); }
  CharClass Compute(char32_t c) const;
  // Whether per-code-point lower-casing (kSimpleLower) may be used at all: false for the
  // default locales whose lower-casing depends on context (Turkish, Azeri, Lithuanian).
  bool simple_lowering() const { return simple_lowering_; }

 private:
  const SanitizerUtils& utils_;
  std::vector<CharClass> table_;
  std::vector<uint32_t> scan_codes_;
  std::vector<char32_t> simple_lowers_;
  bool simple_lowering_ = false;
};

}  // namespace sanitizer::detail

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_CHAR_CLASS_TABLE_H_
