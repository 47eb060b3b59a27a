// JSON to BindingValue through RapidJSON's event reader (see json_adapter.h).
//
// The builder fills the tree through a TreeBuilder, which keeps the open containers, innermost
// last, and closes each with its items when the reader ends it. Elements and members of a
// BindingValue never move once created, so the builder may hold plain pointers into the tree.
//
// The reader unescapes every string in place, and the stream's pass over each string takes its
// plain runs sixteen bytes at a time (where the compiler targets SSE2) and decodes its escapes
// itself, leaving the bytes where they are until an escape shortens the text. A text is hashed
// (the tree's intern hash) only when it is short enough to need the hash, once the reader hands
// it over. Only a "\u0000" puts a NUL inside a text, and the pass notes when it decodes one, so
// only then does the builder look for where the text ends.
#include "sdk/dispatch/json_adapter.h"

#include <rapidjson/allocators.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sdk/binding/nesting_limit.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::kMaxHashedTextSize;
using sdk::binding::kMaxNestingDepth;
using sdk::binding::TextHash;
using sdk::binding::TreeBuilder;
using sdk::binding::ValueKind;

constexpr std::string_view kErrorFormat = "Error: %s at offset %u.";
constexpr std::string_view kTooDeepFormat =
    "Error: Nesting deeper than %u levels is not supported. at offset %u.";

// What the stream shares with the builder for the whole document.
struct Document {
  const char* head = nullptr;  // the start of the text, from which offsets count
  const char* end = nullptr;   // the NUL at its end
  // Set when the string being decoded got a NUL (only a "\u0000" gives one), which ends its
  // text there; the builder clears it when it takes the string.
  bool nul_decoded = false;
};

// Bytes that a string holds as they are: not a quote, a backslash or a control byte.
struct PlainBytes {
  bool plain[256];
  constexpr PlainBytes() : plain() {
    for (int c = 0; c < 256; ++c) plain[c] = c >= 0x20 && c != '"' && c != '\\';
  }
  constexpr bool operator[](unsigned char c) const { return plain[c]; }
};
constexpr PlainBytes kPlain;

// What the escapes of one character stand for ("\n" for a line feed, say); 0 for the letters
// that start no such escape ("\u" among them, which has four hex digits).
struct ShortEscapes {
  char meaning[256];
  constexpr ShortEscapes() : meaning() {
    constexpr char kPairs[][2] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
                                  {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'}};
    for (const auto& pair : kPairs) meaning[static_cast<unsigned char>(pair[0])] = pair[1];
  }
};
constexpr ShortEscapes kShortEscapes;

// The value of each hex digit; -1 for the other bytes.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = 0; c < 10; ++c) value['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) {
      value['a' + c] = static_cast<int8_t>(10 + c);
      value['A' + c] = static_cast<int8_t>(10 + c);
    }
  }
};
constexpr HexDigits kHexDigits;

// The code point of the four hex digits at `digits`, or -1 when they are not four hex digits.
// Reads no further than a byte that is not one (the document's terminating NUL, at the latest).
int32_t HexCodePoint(const unsigned char* digits) {
  int32_t code_point = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = kHexDigits.value[digits[i]];
    if (digit < 0) return -1;
    code_point = code_point << 4 | digit;
  }
  return code_point;
}

// Stores the UTF-8 form of `code_point` (below 0x10000, not a surrogate) at `out`; returns its
// end.
unsigned char* PutUtf8(unsigned char* out, int32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<unsigned char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<unsigned char>(0xC0 | code_point >> 6);
    *out++ = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<unsigned char>(0xE0 | code_point >> 12);
    *out++ = static_cast<unsigned char>(0x80 | (code_point >> 6 & 0x3F));
    *out++ = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Moves the `count` bytes at `from` down to `to` (before `from`) a word at a time, in order, so
// that each word is read before a word written down overlaps it; nothing is written at or past
// from + count.
void MoveDown(unsigned char* to, const unsigned char* from, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word;
    std::memcpy(&word, from + i, sizeof word);
    std::memcpy(to + i, &word, sizeof word);
  }
  for (; i < count; ++i) to[i] = from[i];
}

#if defined(__SSE2__)
// One bit per byte of the block, set for a quote, a backslash or a control byte.
unsigned StopsInBlock(__m128i bytes) {
  const __m128i highest_control = _mm_set1_epi8(0x1F);
  // A byte up to 0x1F is its own maximum with 0x1F, compared as unsigned bytes.
  const __m128i stops =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
                   _mm_cmpeq_epi8(_mm_max_epu8(bytes, highest_control), highest_control));
  return static_cast<unsigned>(_mm_movemask_epi8(stops));
}
#endif

// RapidJSON's in-place string stream (rapidjson::InsituStringStream), with a pass over strings
// that takes their plain runs sixteen bytes at a time and decodes most of their escapes itself
// (see PassPlainBytes).
//
// The reader works on a local copy of the stream in each of its steps (a string, a number, a
// run of white space) and assigns the copy back afterwards. A string is decoded whole on one
// copy, from PutBegin to PutEnd, so only the read position has to travel between copies: the
// copies carry it alone (and the shared record, which never changes), one register move each
// way. A block copy of the whole stream would also make the processor wait on the members just
// stored one by one (a failed store-to-load forwarding) at every step.
class InsituStream {
 public:
  using Ch = char;

  InsituStream(Ch* text, Document* document) : src_(text), document_(document) {}
  InsituStream(const InsituStream& other) : src_(other.src_), document_(other.document_) {}
  InsituStream& operator=(const InsituStream& other) {
    src_ = other.src_;
    return *this;
  }

  Ch Peek() const { return *src_; }
  Ch Take() { return *src_++; }
  size_t Tell() const { return static_cast<size_t>(src_ - document_->head); }

  Ch* PutBegin() { return dst_ = src_; }
  void Put(Ch c) { *dst_++ = c; }
  size_t PutEnd(Ch* begin) { return static_cast<size_t>(dst_ - begin); }
  void Flush() {}

  // Passes over a string up to its closing quote, a surrogate escape ("\ud83d", half of a pair
  // or alone), a bad escape or a byte that is not allowed there, which the reader's own loop
  // then takes: plain bytes go as they are, the other escapes become the UTF-8 form of what
  // they stand for, as the reader would write it. Until the first escape (in most strings, to
  // the end) every byte already is where it belongs and is only read; after it, the text is
  // shorter than its source and the bytes move down (no escape is shorter than what it stands
  // for).
  void PassPlainBytes() {
    auto* from = reinterpret_cast<unsigned char*>(src_);
    auto* to = reinterpret_cast<unsigned char*>(dst_);
    const auto* const end = reinterpret_cast<const unsigned char*>(document_->end);
    for (;;) {
#if defined(__SSE2__)
      // Whole blocks are read only before the document's terminating NUL, and stored only when
      // they are plain throughout: a stored block's bytes past a stop would land on bytes of
      // the source still to be read. The block is in a register when it is stored, so the
      // two places may overlap.
      while (end - from >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        if (const unsigned stops = StopsInBlock(bytes); stops != 0) {
          const auto run = static_cast<size_t>(std::countr_zero(stops));
          if (to != from) MoveDown(to, from, run);
          from += run;
          to += run;
          break;
        }
        if (to != from) _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes);
        from += 16;
        to += 16;
      }
#else
      static_cast<void>(end);
#endif
      // The last bytes before the document's end; the terminating NUL is not plain.
      while (kPlain[*from]) *to++ = *from++;
      if (*from != '\\') break;
      if (const char meaning = kShortEscapes.meaning[from[1]]; meaning != 0) {
        *to++ = static_cast<unsigned char>(meaning);
        from += 2;
        continue;
      }
      if (from[1] != 'u') break;
      const int32_t code_point = HexCodePoint(from + 2);
      if (code_point < 0 || (code_point >= 0xD800 && code_point <= 0xDFFF)) break;
      if (code_point == 0) document_->nul_decoded = true;
      to = PutUtf8(to, code_point);
      from += 6;
    }
    src_ = reinterpret_cast<Ch*>(from);
    dst_ = reinterpret_cast<Ch*>(to);
  }

 private:
  Ch* src_;
  Ch* dst_ = nullptr;
  Document* document_;
};

}  // namespace
}  // namespace sdk::dispatch

// The reader may work on a local copy of the stream (see InsituStream).
template <>
struct rapidjson::StreamTraits<sdk::dispatch::InsituStream> {
  enum { copyOptimization = 1 };
};

namespace sdk::dispatch {
namespace {
using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>,
                                            rapidjson::MemoryPoolAllocator<>>;
}  // namespace
}  // namespace sdk::dispatch

// The reader's hook for passing over the plain run of a string before it looks at the byte that
// ends the run (a quote, an escape or an error) takes the run, and the escapes after it, at
// once here, instead of a byte at a time through Peek, Take and Put. It is also what notes a
// "\u0000", which the reader never decodes itself once the hook has passed over the escape.
template <>
template <>
inline void sdk::dispatch::JsonReader::ScanCopyUnescapedString<
    sdk::dispatch::InsituStream, sdk::dispatch::InsituStream>(sdk::dispatch::InsituStream& in,
                                                              sdk::dispatch::InsituStream& out) {
  // The reader decodes a string in place: the two are one stream.
  assert(&in == &out);
  static_cast<void>(out);
  in.PassPlainBytes();
}

namespace sdk::dispatch {
namespace {

class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  enum class Stop { kNone, kTooDeep, kTooLong };

  // `document` tells whether a string got a NUL on its way.
  Builder(TreeBuilder& tree, Document* document) : tree_(tree), document_(document) {}

  Stop stop() const { return stop_; }

  // Every target is empty (a repeated key's member comes back emptied), so a null leaves it so.
  bool Null() { return Target() != nullptr; }
  bool Bool(bool value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetBool(value);
    return true;
  }
  bool Int(int value) { return Int64(value); }
  bool Uint(unsigned value) { return Uint64(value); }
  bool Int64(int64_t value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    // "-0" arrives here as 0: zero is not below zero, so it is unsigned like "0".
    if (value < 0) {
      target->SetSigned(value);
    } else {
      target->SetUnsigned(static_cast<uint64_t>(value));
    }
    return true;
  }
  bool Uint64(uint64_t value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetUnsigned(value);
    return true;
  }
  bool Double(double value) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    target->SetFloat(value);
    return true;
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    BindingValue* target = Target();
    if (target == nullptr) return false;
    const std::string_view decoded = Decoded(text, length);
    tree_.SetString(*target, decoded, HashOf(decoded));
    return true;
  }
  bool StartObject() { return Open(ValueKind::kStructure); }
  bool StartArray() { return Open(ValueKind::kCollection); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view decoded = Decoded(text, length);
    pending_ = tree_.Member(decoded, HashOf(decoded));
    if (pending_ == nullptr) {
      stop_ = Stop::kTooLong;
      return false;
    }
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool EndArray(rapidjson::SizeType) { return Close(); }

 private:
  // A decoded string as a text, which stops at its first NUL (rare: only a "\u0000" gives
  // one, so only then is it looked for).
  std::string_view Decoded(const char* text, size_t length) const {
    if (!document_->nul_decoded) return std::string_view(text, length);
    document_->nul_decoded = false;
    return std::string_view(text, strnlen(text, length));
  }

  // The hash the tree needs: of a short text only.
  static TextHash HashOf(std::string_view text) {
    return text.size() <= kMaxHashedTextSize ? TextHash::Of(text) : TextHash();
  }

  // The value that the next event fills: the root, a new element of the innermost array, or
  // the member named by the last key. Null when the array cannot grow.
  BindingValue* Target() {
    if (tree_.depth() == 0) return &tree_.root();
    if (!tree_.InCollection()) return pending_;
    BindingValue* element = tree_.Append();
    if (element == nullptr) stop_ = Stop::kTooLong;
    return element;
  }

  bool Open(ValueKind kind) {
    if (tree_.depth() >= kMaxNestingDepth) {
      stop_ = Stop::kTooDeep;
      return false;
    }
    BindingValue* target = Target();
    if (target == nullptr) return false;
    const bool opened = kind == ValueKind::kStructure ? tree_.OpenStructure(*target)
                                                      : tree_.OpenCollection(*target);
    if (!opened) stop_ = Stop::kTooLong;
    return opened;
  }

  bool Close() {
    if (tree_.Close()) return true;
    stop_ = Stop::kTooLong;
    return false;
  }

  TreeBuilder& tree_;
  Document* const document_;
  BindingValue* pending_ = nullptr;  // the member named by the last key
  Stop stop_ = Stop::kNone;
};

bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

constexpr size_t kLocalTextSize = 1024;
constexpr size_t kLocalReaderStackSize = 512;

// Both forms come here with the text's length up to its first NUL.
bool ParseJsonText(BindingResult& result, const char* text, size_t length) {
  result.Reset();
  size_t blank = 0;
  while (blank < length && IsJsonSpace(text[blank])) ++blank;
  if (blank == length) return true;  // an empty or blank document is an empty value

  // The reader decodes strings in place in a copy of the text, which saves it copying each
  // string to its own stack first. Offsets in the copy are offsets in the text. A short text
  // (most requests) is copied to the stack, and the reader's own stack starts there too.
  char local_copy[kLocalTextSize];
  std::unique_ptr<char[]> heap_copy;
  char* copy = local_copy;
  if (length >= kLocalTextSize) {
    heap_copy.reset(new (std::nothrow) char[length + 1]);
    if (heap_copy == nullptr) {
      result.Fail(sdk::binding::kLengthErrorMessage);
      return false;
    }
    copy = heap_copy.get();
  }
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  Document document{copy, copy + length};
  TreeBuilder tree(result.value());
  Builder builder(tree, &document);
  alignas(16) char reader_stack[kLocalReaderStackSize];
  rapidjson::MemoryPoolAllocator<> reader_memory(reader_stack, sizeof reader_stack);
  JsonReader reader(&reader_memory);
  InsituStream stream(copy, &document);
  const rapidjson::ParseResult parsed =
      reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag>(stream, builder);
  if (!parsed.IsError()) {
    if (result.value().HasLengthError()) result.Fail(sdk::binding::kLengthErrorMessage);
    return result.ok();
  }
  const unsigned offset = static_cast<unsigned>(parsed.Offset());
  switch (builder.stop()) {
    case Builder::Stop::kTooDeep:
      result.Fail(kTooDeepFormat, static_cast<unsigned>(kMaxNestingDepth), offset);
      break;
    case Builder::Stop::kTooLong:
      result.Fail(sdk::binding::kLengthErrorMessage);
      break;
    case Builder::Stop::kNone: {
      rapidjson::ParseErrorCode code = parsed.Code();
      // The iterative reader calls a lone "]" or "}" an empty document; the document is not
      // empty (blank ones never get here), and the reader's default mode calls it an invalid
      // value, which is what it is.
      if (code == rapidjson::kParseErrorDocumentEmpty) code = rapidjson::kParseErrorValueInvalid;
      result.Fail(kErrorFormat, rapidjson::GetParseError_En(code), offset);
      break;
    }
  }
  return false;
}

}  // namespace

bool ParseJson(BindingResult& result, const char* text) {
  if (text == nullptr) {
    result.Reset();
    return true;
  }
  return ParseJsonText(result, text, std::strlen(text));
}

bool ParseJson(BindingResult& result, std::string_view text) {
  const void* const nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size());
  const size_t length = nul == nullptr
                            ? text.size()
                            : static_cast<size_t>(static_cast<const char*>(nul) - text.data());
  return ParseJsonText(result, text.data(), length);
}

bool ParseJson(BindingResult& result, const std::string& text) {
  return ParseJson(result, text.c_str());
}

BindingResult ParseJson(const char* text) {
  BindingResult result;
  ParseJson(result, text);
  return result;
}

BindingResult ParseJson(const std::string& text) { return ParseJson(text.c_str()); }

}  // namespace sdk::dispatch
