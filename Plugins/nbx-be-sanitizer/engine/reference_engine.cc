// The literal reference engine (reference_engine.h).
#include "Plugins/nbx-be-sanitizer/engine/reference_engine.h"

#include <unicode/casemap.h>
#include <unicode/edits.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <deque>
#include <regex>
#include <utility>

namespace sanitizer::reference {
namespace {

bool Space(char32_t c) { return u_isspace(static_cast<UChar32>(c)) != 0; }
bool Punct(char32_t c) { return u_ispunct(static_cast<UChar32>(c)) != 0; }

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

}  // namespace

bool IsSeparator(const CharTables& tables, char32_t c) {
  if (Space(c)) return true;
  if (Punct(c) && c != U'\'' && c != U'-') return true;
  if (!Punct(c) && tables.punctuation.count(c) && c != U'\'' && c != U'-') return true;
  if (tables.breaking.count(c)) return true;
  return false;
}

bool IsWordChar(const CharTables& tables, char32_t c) {
  if (!IsSeparator(tables, c)) return true;
  auto p = tables.projected.find(c);
  if (p != tables.projected.end()) {
    if (p->second != c) return true;
  } else {
    auto l = tables.projected1337.find(c);
    if (l != tables.projected1337.end() && l->second != c) return true;
  }
  if (c == U'\'' || c == U'-') return true;
  return false;
}

uint64_t HashSpan(const CharTables& tables, std::u32string_view text, std::size_t first,
                  std::size_t last, bool project, bool use_leet, uint64_t seed) {
  // Signed positions, so that "length - 1" of an empty text is -1.
  long long f = static_cast<long long>(first);
  long long l = static_cast<long long>(last);
  const long long length = static_cast<long long>(text.size());
  if (l >= length) l = length - 1;
  if (f > l) return seed;
  uint64_t h = seed;
  for (long long i = f; i <= l && i < length; ++i) {
    char32_t c = text[static_cast<std::size_t>(i)];
    if (c == 0) break;
    if (u_isupper(static_cast<UChar32>(c)))
      c = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
    if (project) {
      auto p = tables.projected.find(c);
      if (p != tables.projected.end()) {
        c = p->second;
      } else if (use_leet) {
        auto q = tables.projected1337.find(c);
        if (q != tables.projected1337.end()) c = q->second;
      }
    }
    if (!Space(c) && !Punct(c)) h = h * 92821u + static_cast<uint32_t>(c);
  }
  return h;
}

std::vector<WordSpan> AllSpans(std::u32string_view text, std::size_t max_words,
                               const std::function<bool(char32_t)>& word_start,
                               const std::function<bool(char32_t)>& separator) {
  std::vector<WordSpan> spans;
  std::deque<std::size_t> starts;
  bool emitting = false;
  std::size_t cursor = 0;
  std::size_t position = 0;
  for (;;) {
    // One call of Next.
    std::optional<WordSpan> next;
    bool done = false;
    if (emitting) {
      if (cursor < starts.size()) {
        next = WordSpan{starts[cursor], position};
        ++cursor;
      } else {
        emitting = false;
        ++position;
      }
    }
    if (!next) {
      if (position >= text.size()) {
        done = true;
      } else {
        for (;;) {
          char32_t c = text[position];
          if (word_start(c)) {
            if (position == 0 || separator(text[position - 1])) {
              starts.push_back(position);
              if (starts.size() > max_words) starts.pop_front();
            }
            if (position == text.size() - 1 || separator(text[position + 1])) {
              if (!starts.empty()) {
                emitting = true;
                cursor = 0;
                next = WordSpan{starts[cursor], position};
                ++cursor;
                break;
              }
            }
          }
          ++position;
          if (position >= text.size()) {
            done = true;
            break;
          }
        }
      }
    }
    if (done) break;
    spans.push_back(*next);
  }
  return spans;
}

namespace {

std::vector<std::u32string> Entries(const CharTables& tables, const std::u32string& text) {
  std::vector<std::u32string> entries;
  auto spans = AllSpans(
      text, 1, [&](char32_t c) { return IsWordChar(tables, c); },
      [](char32_t c) { return c == U',' || Space(c); });
  for (const WordSpan& span : spans) {
    entries.push_back(text.substr(span.first, span.last - span.first + 1));
  }
  return entries;
}

void InsertTrie(TrieNode& root, const std::u32string& entry) {
  TrieNode* node = &root;
  for (char32_t c : entry) {
    char32_t lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
    auto& child = node->children[lower];
    if (!child) child = std::make_unique<TrieNode>();
    node = child.get();
  }
  if (node != &root) node->terminal = true;
}

uint32_t CountWords(const TrieNode& node) {
  uint32_t count = 0;
  for (const auto& [c, child] : node.children) {
    count += (child->terminal ? 1 : 0) + CountWords(*child);
  }
  return count;
}

}  // namespace

std::unique_ptr<Engine> BuildEngine(std::shared_ptr<const SanitizerUtils> utils,
                                    bool whitelist_enabled, std::string_view region,
                                    std::string_view locale, const LevelTexts& includes,
                                    const LevelTexts& excludes, const LevelTexts& whitelist,
                                    const AssetLoader& loader) {
  auto engine = std::make_unique<Engine>();
  engine->utils = utils;
  const CharTables& tables = utils->tables();
  auto load = [&](const std::string& name) {
    engine->loaded_assets.push_back(name);
    return loader(name);
  };

  // Variant aliases.
  std::u32string alias_text = load("variantaliases.txt");
  std::string narrow;
  for (char32_t c : alias_text) narrow.push_back(static_cast<char>(c & 0xFF));
  std::map<std::string, std::vector<std::string>> aliases;
  const std::regex pattern("([^\\s]+)\\s+([^\\s]+)", std::regex::ECMAScript);
  auto begin = narrow.cbegin();
  std::smatch match;
  while (std::regex_search(begin, narrow.cend(), match, pattern)) {
    aliases[match[1].str()].push_back(match[2].str());
    begin = match[0].second;
  }

  // Variant names.
  std::set<std::string> names;
  names.insert("");
  if (!region.empty()) names.insert(AsciiLower("region." + std::string(region)));
  std::string language_name;
  if (!locale.empty()) {
    std::string loc(locale);
    std::size_t sep = loc.find_first_of("_-");
    if (sep == std::string::npos || sep + 1 >= loc.size()) {
      names.insert("country");
    } else {
      names.insert(AsciiLower("country." + loc.substr(sep + 1)));
    }
    if (sep == std::string::npos) {
      language_name = "language";
    } else {
      language_name = AsciiLower("language." + loc.substr(0, sep));
    }
    names.insert(language_name);
  }
  std::set<std::string> gathered = names;
  for (const std::string& name : gathered) {
    auto it = aliases.find(name);
    if (it != aliases.end()) {
      for (const std::string& alias : it->second) names.insert(alias);
    }
  }
  engine->variant_names = names;

  // Texts per level.
  auto load_kind = [&](const std::string& kind, const LevelTexts& adhoc) {
    std::map<uint32_t, std::vector<std::u32string>> texts;
    for (uint32_t level = 0; level <= 3; ++level) {
      for (const std::string& variant : names) {
        std::string name = std::to_string(level) + "." + kind;
        if (!variant.empty()) name += "." + variant;
        name += ".csv";
        std::u32string text = load(AsciiLower(name));
        if (!text.empty()) texts[level].push_back(text);
      }
    }
    for (const auto& [level, list] : adhoc) {
      for (const std::u32string& text : list) texts[level].push_back(text);
    }
    return texts;
  };
  auto filter_texts = load_kind("filter", includes);
  auto unfilter_texts = load_kind("unfilter", excludes);
  std::map<uint32_t, std::vector<std::u32string>> whitelist_texts;
  if (whitelist_enabled) whitelist_texts = load_kind("whitelist", whitelist);

  // Allowed characters.
  std::vector<std::string> candidates;
  auto add_candidate = [&](const std::string& candidate) {
    candidates.push_back(candidate);
    auto it = aliases.find(candidate);
    if (it != aliases.end()) {
      for (const std::string& alias : it->second) candidates.push_back(alias);
    }
  };
  if (!locale.empty()) {
    add_candidate("locale." + std::string(locale));
    add_candidate(language_name);
  }
  add_candidate("");
  for (const std::string& candidate : candidates) {
    std::string name =
        candidate.empty() ? "allowedchars.txt" : "allowedchars." + candidate + ".txt";
    std::u32string text = load(AsciiLower(name));
    std::unordered_set<char32_t> set;
    for (char32_t c : text) {
      if (!Space(c)) set.insert(c);
    }
    if (!set.empty()) {
      engine->allowed = set;
      break;
    }
  }

  // Per-level structures.
  for (const auto& [level, texts] : filter_texts) {
    TrieNode& trie = engine->filter_tries[level];
    for (const std::u32string& text : texts) {
      for (const std::u32string& entry : Entries(tables, text)) InsertTrie(trie, entry);
    }
    for (const std::u32string& text : texts) {
      auto set = std::make_unique<WordHashSet>();
      for (const std::u32string& entry : Entries(tables, text)) {
        set->Insert(HashSpan(tables, entry, 0, entry.size() - 1, false, false));
      }
      engine->filter_sets[level].push_back(std::move(set));
    }
  }
  for (const auto& [level, texts] : unfilter_texts) {
    auto trie = engine->filter_tries.find(level);
    if (trie != engine->filter_tries.end()) {
      for (const std::u32string& text : texts) {
        for (const std::u32string& entry : Entries(tables, text)) {
          TrieNode* node = &trie->second;
          for (char32_t c : entry) {
            auto child =
                node->children.find(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))));
            if (child == node->children.end()) {
              node = nullptr;
              break;
            }
            node = child->second.get();
          }
          if (node != nullptr) node->terminal = false;
        }
      }
    } else {
      engine->warned_levels.push_back(level);
    }
    for (const std::u32string& text : texts) {
      auto set = std::make_unique<WordHashSet>();
      for (const std::u32string& entry : Entries(tables, text)) {
        set->Insert(HashSpan(tables, entry, 0, entry.size() - 1, false, false));
      }
      engine->unfilter_sets[level].push_back(std::move(set));
    }
  }
  for (const auto& [level, texts] : whitelist_texts) {
    TrieNode& trie = engine->whitelist_tries[level];
    for (const std::u32string& text : texts) {
      for (const std::u32string& entry : Entries(tables, text)) InsertTrie(trie, entry);
    }
  }
  for (uint32_t level = 0; level <= 3; ++level) {
    engine->filtered_counts[level] = 0;
    engine->whitelisted_counts[level] = 0;
  }
  for (const auto& [level, trie] : engine->filter_tries) {
    engine->filtered_counts[level] = CountWords(trie);
  }
  for (const auto& [level, trie] : engine->whitelist_tries) {
    engine->whitelisted_counts[level] = CountWords(trie);
  }
  return engine;
}

std::vector<WordSpan> ScanWords(const Engine& engine, std::u32string_view text, uint32_t level,
                                uint32_t max_words) {
  const CharTables& tables = engine.utils->tables();
  std::vector<WordSpan> masked;
  auto spans = AllSpans(
      text, max_words, [&](char32_t c) { return IsWordChar(tables, c); },
      [&](char32_t c) { return IsSeparator(tables, c); });
  for (const WordSpan& span : spans) {
    uint64_t raw = HashSpan(tables, text, span.first, span.last, false, false);
    uint64_t projected = HashSpan(tables, text, span.first, span.last, true, true);
    bool exempt = false;
    for (const auto& [set_level, sets] : engine.unfilter_sets) {
      if (set_level > level) continue;
      for (const auto& set : sets) {
        if (set->Contains(raw) || set->Contains(projected)) exempt = true;
      }
    }
    if (exempt) continue;
    bool filtered = false;
    for (const auto& [set_level, sets] : engine.filter_sets) {
      if (set_level > level) continue;
      for (const auto& set : sets) {
        if (set->Contains(raw) || set->Contains(projected)) filtered = true;
      }
    }
    if (filtered) masked.push_back(span);
  }
  return masked;
}

namespace {

// For each code point of LowerText(source), the first and the last source code point it came
// from, read from ICU's record of the edits of the same lowering (same mapping, same locale).
// A lowering may depend on the code points that follow (in Lithuanian, "I" before a grave
// accent gains a dot above), so lowering prefixes of the source would not tell.
struct Origins {
  std::vector<std::size_t> first;
  std::vector<std::size_t> last;
};

Origins LoweringOrigins(std::u32string_view source) {
  const icu::UnicodeString utf16 = icu::UnicodeString::fromUTF32(
      reinterpret_cast<const UChar32*>(source.data()), static_cast<int32_t>(source.size()));
  std::vector<std::size_t> unit_source;  // source code point of every UTF-16 unit
  std::size_t code_point = 0;
  for (int32_t unit = 0; unit < utf16.length(); ++code_point) {
    const int32_t next = utf16.moveIndex32(unit, 1);
    for (; unit < next; ++unit) unit_source.push_back(code_point);
  }

  const char* locale = icu::Locale::getDefault().getBaseName();
  icu::Edits edits;
  std::u16string lowered(static_cast<std::size_t>(utf16.length()) * 3 + 16, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length =
      icu::CaseMap::toLower(locale, 0, utf16.getBuffer(), utf16.length(), lowered.data(),
                            static_cast<int32_t>(lowered.size()), &edits, status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    edits.reset();
    lowered.assign(static_cast<std::size_t>(length), u'\0');
    length = icu::CaseMap::toLower(locale, 0, utf16.getBuffer(), utf16.length(), lowered.data(),
                                   static_cast<int32_t>(lowered.size()), &edits, status);
  }
  lowered.resize(static_cast<std::size_t>(length));

  // Origins per UTF-16 unit of the lowered text, then per code point (its first unit).
  std::vector<std::size_t> unit_first(lowered.size(), 0);
  std::vector<std::size_t> unit_last(lowered.size(), 0);
  icu::Edits::Iterator it = edits.getFineIterator();
  while (it.next(status)) {
    for (int32_t k = 0; k < it.newLength(); ++k) {
      const std::size_t dest = static_cast<std::size_t>(it.destinationIndex() + k);
      if (it.hasChange()) {
        unit_first[dest] = unit_source[static_cast<std::size_t>(it.sourceIndex())];
        unit_last[dest] =
            unit_source[static_cast<std::size_t>(it.sourceIndex() + it.oldLength() - 1)];
      } else {
        unit_first[dest] = unit_last[dest] =
            unit_source[static_cast<std::size_t>(it.sourceIndex() + k)];
      }
    }
  }
  Origins origins;
  for (std::size_t unit = 0; unit < lowered.size(); ++unit) {
    if (U16_IS_TRAIL(lowered[unit]) && unit > 0 && U16_IS_LEAD(lowered[unit - 1])) continue;
    origins.first.push_back(unit_first[unit]);
    origins.last.push_back(unit_last[unit]);
  }
  return origins;
}

}  // namespace

bool MarkMatches(const TrieNode& trie, std::u32string& target, std::u32string_view source,
                 char32_t mark) {
  std::u32string lowered(source);
  SanitizerUtils::LowerText(lowered);
  // A match on lowered positions [i, i + n) marks the source code points from the first that
  // produced position i to the last that produced position i + n - 1.
  const Origins origins = LoweringOrigins(source);
  bool matched = false;
  for (std::size_t i = 0; i < lowered.size(); ++i) {
    const TrieNode* node = &trie;
    std::size_t n = 0;
    for (std::size_t j = i; j < lowered.size(); ++j) {
      auto child = node->children.find(lowered[j]);
      if (child == node->children.end()) break;
      node = child->second.get();
      if (node->terminal) n = j - i + 1;
    }
    if (n == 0) continue;
    matched = true;
    for (std::size_t k = origins.first.at(i); k <= origins.last.at(i + n - 1); ++k) {
      if (k < target.size()) target[k] = mark;
    }
  }
  return matched;
}

bool SanitizeText(const Engine& engine, std::u32string& output, std::u32string_view text,
                  uint32_t level, bool remove_disallowed_chars, bool aggressive_scan,
                  uint32_t max_words) {
  if (text.empty()) return false;
  const CharTables& tables = engine.utils->tables();
  std::u32string w(text);
  std::u32string b(text);
  bool modified = false;
  if (remove_disallowed_chars && !engine.allowed.empty()) {
    for (std::size_t i = 0; i < w.size(); ++i) {
      char32_t c = w[i];
      if (!Punct(c) && !tables.punctuation.count(c) && IsWordChar(tables, c) &&
          !engine.allowed.count(c)) {
        w[i] = U' ';
        modified = true;
      }
    }
  }
  std::u32string o = w;
  b = w;
  if (!aggressive_scan) {
    for (const WordSpan& span : ScanWords(engine, w, level, max_words)) {
      for (std::size_t k = span.first; k <= span.last; ++k) {
        if (k < o.size()) o[k] = U'*';
      }
      modified = true;
    }
  } else {
    bool whitelisted = false;
    for (const auto& [trie_level, trie] : engine.whitelist_tries) {
      if (trie_level <= level && MarkMatches(trie, b, w, U' ')) whitelisted = true;
    }
    for (const auto& [trie_level, trie] : engine.filter_tries) {
      if (trie_level <= level && MarkMatches(trie, o, b, U'*')) modified = true;
    }
    if (whitelisted) {
      for (std::size_t i = 0; i < b.size(); ++i) {
        if (b[i] == U' ') o[i] = w[i];
      }
    }
  }
  output = o;
  return modified;
}

bool ContainsSanitized(const Engine& engine, std::u32string_view text, uint32_t level,
                       bool include_embedded, bool remove_disallowed_chars, bool aggressive_scan) {
  if (text.empty()) return false;
  std::u32string output;
  if (!include_embedded) {
    return SanitizeText(engine, output, text, level, remove_disallowed_chars, aggressive_scan, 5);
  }
  std::u32string spaced;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i > 0) spaced.push_back(U' ');
    spaced.push_back(text[i]);
  }
  return SanitizeText(engine, output, spaced, level, remove_disallowed_chars, aggressive_scan,
                      static_cast<uint32_t>(text.size()));
}

}  // namespace sanitizer::reference
