// JSON to BindingValue through RapidJSON's event reader (see json_adapter.h).
//
// The builder fills the tree through a TreeBuilder, which keeps the open containers, innermost
// last, and closes each with its items when the reader ends it. Elements and members of a
// BindingValue never move once created, so the builder may hold plain pointers into the tree.
//
// The reader unescapes every string in place; the stream hashes the bytes on the way (the
// tree's intern hash), so that neither the tree nor the adapter reads each text a second time.
// The plain runs between escapes are taken a run at a time, and left where they are until an
// escape shortens the text. Only a document with a backslash can hold a NUL inside a text
// (written "\u0000"), so only there does the builder look for one.
#include "sdk/dispatch/json_adapter.h"

#include <rapidjson/allocators.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "sdk/binding/nesting_limit.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::kMaxNestingDepth;
using sdk::binding::TextHash;
using sdk::binding::TreeBuilder;
using sdk::binding::ValueKind;

constexpr std::string_view kErrorFormat = "Error: %s at offset %u.";
constexpr std::string_view kTooDeepFormat =
    "Error: Nesting deeper than %u levels is not supported. at offset %u.";

// What the stream learned about the last string it decoded, and what it shares with the
// builder for the whole document.
struct DecodedText {
  TextHash hash;
  const char* head = nullptr;  // the start of the text, from which offsets count
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

// RapidJSON's in-place string stream (rapidjson::InsituStringStream) that also hashes the bytes
// written through Put. Every string the reader decodes ends with a Put of its terminating NUL,
// which PutEnd takes back out of the hash, and leaves the hash of the text in *decoded, where
// the builder finds it when the reader hands it the string.
//
// The reader works on a local copy of the stream in each of its steps (a string, a number, a
// run of white space) and assigns the copy back afterwards. A string is decoded whole on one
// copy, from PutBegin to PutEnd, so only the read position has to travel between copies: the
// copies carry it alone (and the shared record, which never changes), one register move each
// way. A block copy of the whole stream would also make the processor wait on the members just
// stored one by one (a failed store-to-load forwarding) at every step.
class HashingInsituStream {
 public:
  using Ch = char;

  HashingInsituStream(Ch* text, DecodedText* decoded) : src_(text), decoded_(decoded) {
    decoded->head = text;
  }
  HashingInsituStream(const HashingInsituStream& other)
      : src_(other.src_), decoded_(other.decoded_) {}
  HashingInsituStream& operator=(const HashingInsituStream& other) {
    src_ = other.src_;
    return *this;
  }

  Ch Peek() const { return *src_; }
  Ch Take() { return *src_++; }
  size_t Tell() const { return static_cast<size_t>(src_ - decoded_->head); }

  Ch* PutBegin() {
    hash_ = TextHash();
    return dst_ = src_;
  }
  void Put(Ch c) {
    *dst_++ = c;
    hash_ = hash_.Add(static_cast<unsigned char>(c));
  }
  size_t PutEnd(Ch* begin) {
    decoded_->hash = hash_.WithoutTrailingNul();
    return static_cast<size_t>(dst_ - begin);
  }
  void Flush() {}

  // Passes over the plain bytes of a string up to the next quote, backslash or control byte,
  // which the reader's own loop then takes: hashes them and, once an escape has made the text
  // shorter than its source, moves them down. Until then (in most strings, to the end) each
  // byte already is where it belongs and is only read.
  void PassPlainBytes() {
    auto* from = reinterpret_cast<unsigned char*>(src_);
    TextHash hash = hash_;
    if (dst_ == src_) {
      for (; kPlain[*from]; ++from) hash = hash.Add(*from);
      dst_ = src_ = reinterpret_cast<Ch*>(from);
    } else {
      Ch* to = dst_;
      for (; kPlain[*from]; ++from) {
        hash = hash.Add(*from);
        *to++ = static_cast<Ch>(*from);
      }
      src_ = reinterpret_cast<Ch*>(from);
      dst_ = to;
    }
    hash_ = hash;
  }

 private:
  Ch* src_;
  Ch* dst_ = nullptr;
  DecodedText* decoded_;
  TextHash hash_;
};

}  // namespace
}  // namespace sdk::dispatch

// The reader may work on a local copy of the stream (see HashingInsituStream).
template <>
struct rapidjson::StreamTraits<sdk::dispatch::HashingInsituStream> {
  enum { copyOptimization = 1 };
};

namespace sdk::dispatch {
namespace {
using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>,
                                            rapidjson::MemoryPoolAllocator<>>;
}  // namespace
}  // namespace sdk::dispatch

// The reader's hook for passing over the plain run of a string before it looks at the byte that
// ends the run (a quote, an escape or an error) takes the run at once here, instead of a byte at
// a time through Peek, Take and Put. (Without it the reader would still be right: Put hashes
// what it writes.)
template <>
template <>
inline void sdk::dispatch::JsonReader::ScanCopyUnescapedString<sdk::dispatch::HashingInsituStream,
                                                               sdk::dispatch::HashingInsituStream>(
    sdk::dispatch::HashingInsituStream& in, sdk::dispatch::HashingInsituStream& out) {
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

  // `decoded` is where the stream leaves what it learned about the string the reader hands
  // over. `escapes` tells whether the document holds a backslash at all: a text can hold a NUL
  // only through an escape ("\u0000"), so in most documents no text needs the check.
  Builder(TreeBuilder& tree, const DecodedText* decoded, bool escapes)
      : tree_(tree), decoded_(decoded), escapes_(escapes) {}

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
    // A text stops at its first NUL; nearly every text has none and keeps the stream's hash.
    if (HoldsNul(text, length)) {
      const std::string_view cut(text);
      tree_.SetString(*target, cut, TextHash::Of(cut));
    } else {
      tree_.SetString(*target, std::string_view(text, length), decoded_->hash);
    }
    return true;
  }
  bool StartObject() { return Open(ValueKind::kStructure); }
  bool StartArray() { return Open(ValueKind::kCollection); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (HoldsNul(text, length)) {
      const std::string_view cut(text);
      pending_ = tree_.Member(cut, TextHash::Of(cut));
    } else {
      pending_ = tree_.Member(std::string_view(text, length), decoded_->hash);
    }
    if (pending_ == nullptr) {
      stop_ = Stop::kTooLong;
      return false;
    }
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool EndArray(rapidjson::SizeType) { return Close(); }

 private:
  // Whether a decoded text holds a NUL before its end (and so stops there).
  bool HoldsNul(const char* text, size_t length) const {
    return escapes_ && std::strlen(text) != length;
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
  const DecodedText* const decoded_;
  const bool escapes_;
  BindingValue* pending_ = nullptr;  // the member named by the last key
  Stop stop_ = Stop::kNone;
};

bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

constexpr size_t kLocalTextSize = 1024;
constexpr size_t kLocalReaderStackSize = 512;

}  // namespace

bool ParseJson(BindingResult& result, const char* text) {
  result.Reset();
  if (text == nullptr) return true;
  const char* p = text;
  while (IsJsonSpace(*p)) ++p;
  if (*p == '\0') return true;  // an empty or blank document is an empty value

  // The reader decodes strings in place in a copy of the text, which saves it copying each
  // string to its own stack first. Offsets in the copy are offsets in the text. A short text
  // (most requests) is copied to the stack, and the reader's own stack starts there too.
  const size_t length = std::strlen(text);
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
  std::memcpy(copy, text, length + 1);
  DecodedText decoded;
  TreeBuilder tree(result.value());
  Builder builder(tree, &decoded, std::memchr(copy, '\\', length) != nullptr);
  alignas(16) char reader_stack[kLocalReaderStackSize];
  rapidjson::MemoryPoolAllocator<> reader_memory(reader_stack, sizeof reader_stack);
  JsonReader reader(&reader_memory);
  HashingInsituStream stream(copy, &decoded);
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
