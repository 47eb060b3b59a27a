// SanitizerUtils (sanitizer_utils.h) and its per-code-point class table
// (char_class_table.h).
#include "Plugins/nbx-be-sanitizer/engine/sanitizer_utils.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstring>
#include <utility>

#include "Plugins/nbx-be-sanitizer/engine/char_class_table.h"
#include "Plugins/nbx-be-sanitizer/engine/lowering.h"

namespace sanitizer {
namespace {

constexpr char32_t kApostrophe = U'\'';
constexpr char32_t kHyphenMinus = U'-';

bool IsSpace(char32_t c) { return u_isspace(static_cast<UChar32>(c)) != 0; }
bool IsPunct(char32_t c) { return u_ispunct(static_cast<UChar32>(c)) != 0; }

}  // namespace

SanitizerUtils::SanitizerUtils(std::unique_ptr<CharTables> tables)
    : tables_(tables ? std::move(tables) : std::make_unique<CharTables>()) {
  classes_ = std::make_unique<detail::CharClassTable>(*this);
}

SanitizerUtils::~SanitizerUtils() = default;

std::shared_ptr<const SanitizerUtils> SanitizerUtils::Create(const AssetLoader& loader) {
  return std::make_shared<const SanitizerUtils>(LoadCharTables(loader));
}

uint32_t SanitizerUtils::breaking_chars_count() const {
  return static_cast<uint32_t>(tables_->breaking.size());
}

uint32_t SanitizerUtils::projected_chars_count() const {
  return static_cast<uint32_t>(tables_->projected.size());
}

bool SanitizerUtils::IsSeparator(char32_t c) const {
  // The class table holds the answer once built (it is built from this very function).
  if (classes_ && c < detail::CharClassTable::kSize) {
    return (classes_->Get(c).flags & detail::kSeparator) != 0;
  }
  if (IsSpace(c)) return true;
  const bool punct = IsPunct(c);
  if (punct && c != kApostrophe && c != kHyphenMinus) return true;
  if (!punct && tables_->punctuation.count(c) != 0 && c != kApostrophe && c != kHyphenMinus) {
    return true;
  }
  return tables_->breaking.count(c) != 0;
}

bool SanitizerUtils::IsWordChar(char32_t c) const {
  if (classes_ && c < detail::CharClassTable::kSize) {
    return (classes_->Get(c).flags & detail::kWordChar) != 0;
  }
  if (!IsSeparator(c)) return true;
  // Only the projection that applies counts: an entry of `projected` that maps c to itself
  // hides any entry of `projected1337`.
  if (const auto it = tables_->projected.find(c); it != tables_->projected.end()) {
    if (it->second != c) return true;
  } else if (const auto leet = tables_->projected1337.find(c);
             leet != tables_->projected1337.end() && leet->second != c) {
    return true;
  }
  return c == kApostrophe || c == kHyphenMinus;
}

uint64_t SanitizerUtils::HashSpan(std::u32string_view text, std::size_t first, std::size_t last,
                                  bool project, bool use_leet, uint64_t seed) const {
  if (text.empty()) return seed;
  if (last >= text.size()) last = text.size() - 1;
  if (first > last) return seed;
  uint64_t h = seed;
  if (!project || use_leet) {
    // The precomputed classes hold exactly the raw and the projected-with-1337 contribution.
    const uint8_t flag = project ? detail::kProjectedKey : detail::kRawKey;
    for (std::size_t i = first; i <= last; ++i) {
      const char32_t c = text[i];
      if (c == 0) break;
      const detail::CharClass cls = classes_->Get(c);
      if ((cls.flags & flag) != 0) h = h * kHashMultiplier + (project ? cls.projected : cls.raw);
    }
    return h;
  }
  // Projection without the 1337 table: not used by the engine, computed directly.
  for (std::size_t i = first; i <= last; ++i) {
    char32_t c = text[i];
    if (c == 0) break;
    if (u_isupper(static_cast<UChar32>(c)))
      c = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
    if (const auto it = tables_->projected.find(c); it != tables_->projected.end()) c = it->second;
    if (!IsSpace(c) && !IsPunct(c)) h = h * kHashMultiplier + static_cast<uint32_t>(c);
  }
  return h;
}

bool SanitizerUtils::IsListSeparator(char32_t c) { return c == U',' || IsSpace(c); }

char32_t SanitizerUtils::LowerChar(char32_t c) {
  return static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
}

void SanitizerUtils::LowerText(std::u32string& text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF32(
      reinterpret_cast<const UChar32*>(text.data()), static_cast<int32_t>(text.size()));
  unicode.toLower(detail::LowerCaseLocale());
  text.resize(static_cast<std::size_t>(unicode.countChar32()));
  UErrorCode status = U_ZERO_ERROR;
  unicode.toUTF32(reinterpret_cast<UChar32*>(text.data()), static_cast<int32_t>(text.size()),
                  status);
}

namespace detail {
namespace {

bool LowerCaseDependsOnContext() {
  const char* language = LowerCaseLocale().getLanguage();
  return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0 ||
         std::strcmp(language, "lt") == 0;
}

}  // namespace

CharClassTable::CharClassTable(const SanitizerUtils& utils)
    : utils_(utils), simple_lowering_(!LowerCaseDependsOnContext()) {
  table_.resize(kSize);
  std::u32string one;
  for (char32_t c = 0; c < kSize; ++c) {
    CharClass cls = Compute(c);
    if (simple_lowering_ && c != 0 && c != U'\u03A3') {
      // Capital sigma lowers by its context (final sigma); everything else in this range
      // lowers on its own in the locales allowed here.
      one.assign(1, c);
      SanitizerUtils::LowerText(one);
      if (one.size() == 1) {
        cls.lower = one[0];
        cls.flags |= kSimpleLower;
      }
    }
    table_[c] = cls;
  }
  simple_lowers_.assign(kSize, 0);
  for (char32_t c = 1; c < kSize; ++c) {
    if ((table_[c].flags & kSimpleLower) != 0) simple_lowers_[c] = table_[c].lower;
  }
  scan_codes_.assign(kSize, kScanOther);
  constexpr uint8_t kKindFlags = kSeparator | kWordChar | kRawKey | kProjectedKey;
  for (char32_t c = 1; c < kSize; ++c) {
    const CharClass& cls = table_[c];
    if ((cls.flags & kPlainLetter) != 0) {
      scan_codes_[c] = cls.raw;
    } else if ((cls.flags & kKindFlags) == kSeparator) {
      scan_codes_[c] = kScanBlank;
    } else if ((cls.flags & kKindFlags) == kWordChar) {
      scan_codes_[c] = kScanSilent;
    }
  }
}

CharClass CharClassTable::Compute(char32_t c) const {
  const CharTables& tables = utils_.tables();
  CharClass cls{c, c, c, 0};
  if (utils_.IsSeparator(c)) cls.flags |= kSeparator;
  if (utils_.IsWordChar(c)) cls.flags |= kWordChar;
  if (!IsPunct(c) && tables.punctuation.count(c) == 0 && (cls.flags & kWordChar) != 0) {
    cls.flags |= kRemovable;
  }
  char32_t raw = c;
  if (u_isupper(static_cast<UChar32>(raw))) {
    raw = static_cast<char32_t>(u_tolower(static_cast<UChar32>(raw)));
  }
  cls.raw = raw;
  if (!IsSpace(raw) && !IsPunct(raw)) cls.flags |= kRawKey;
  char32_t projected = raw;
  if (const auto it = tables.projected.find(raw); it != tables.projected.end()) {
    projected = it->second;
  } else if (const auto leet = tables.projected1337.find(raw); leet != tables.projected1337.end()) {
    projected = leet->second;
  }
  cls.projected = projected;
  if (!IsSpace(projected) && !IsPunct(projected)) cls.flags |= kProjectedKey;
  constexpr uint8_t kPlain = kWordChar | kRawKey | kProjectedKey;
  if ((cls.flags & (kPlain | kSeparator)) == kPlain && raw == projected) {
    cls.flags |= kPlainLetter;
  }
  return cls;
}

}  // namespace detail
}  // namespace sanitizer
