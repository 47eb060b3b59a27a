// BindingValue: the tagged value through which every request argument, request body, response
// and event payload of the plug-in passes.
//
// A value is one of ten kinds (ValueKind). Scalars live inside the value; strings, blobs,
// collections and structures keep their heap parts in a tree context that the root of a tree
// creates on first need and shares with every element and member below it. The context interns
// every text of the tree once (member names included) and hands out the heap parts from a
// small-object pool (value_pool.h), so building and throwing away a short-lived tree costs no
// general-heap allocation per node.
//
// Ownership and references:
//  - A value constructed standalone (a local, a field of a native record, a call argument) is a
//    root and owns its context. Elements and members are created by their container and are
//    never roots; moving a value into one of them copies it.
//  - Elements and members stay at the same address until they are removed (by clearing or
//    overwriting an ancestor): appending elements or inserting members never moves the others,
//    so a reader may keep references to the open containers it is filling.
//  - A tree belongs to one thread at a time; nothing in it is locked.
//
// Errors are values: readers of another kind give a neutral value, FindMember gives a shared
// empty value, and growth beyond the limits (kMaxCollectionSize, kMaxBlobSize) is refused
// without touching the tree and recorded as the tree's length error (HasLengthError).
#ifndef SDK_BINDING_BINDING_VALUE_H_
#define SDK_BINDING_BINDING_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sdk::binding {

// The kind of a value; the codes are part of the host and help formats.
enum class ValueKind : uint8_t {
  kEmpty = 0,
  kBool = 1,
  kSigned = 2,
  kUnsigned = 3,
  kFloat = 4,
  kString = 5,
  kBlob = 6,
  kEnum = 7,
  kCollection = 8,
  kStructure = 9,
};

// "empty", "bool", "signed", "unsigned", "float", "string", "blob", "enum", "collection",
// "structure"; the empty text for a code outside 0-9.
std::string_view ValueKindName(ValueKind kind);

// Payload of an enum value: the number and the identity (StaticType identifier) of its enum
// type, so that the registry can name the number later.
struct EnumValue {
  int32_t value = 0;
  uint32_t type = 0;
  friend bool operator==(const EnumValue&, const EnumValue&) = default;
};

// Largest number of elements of a collection (and of members of a structure).
inline constexpr size_t kMaxCollectionSize = 0x0FFFFFFF;
// Largest number of bytes of a blob (and of a string).
inline constexpr size_t kMaxBlobSize = 0x7FFFFFFF;
// Message for a tree whose growth was refused (see BindingValue::HasLengthError).
inline constexpr std::string_view kLengthErrorMessage =
    "Length error: a collection holds at most 268435455 elements and a blob at most 2147483647 "
    "bytes.";

// Texts of up to this many bytes are interned under their TextHash; longer ones under a hash
// that the tree computes itself (see TextHash).
inline constexpr size_t kMaxHashedTextSize = 16;

// The 32-bit FNV-1a hash of a text, under which a tree interns a text of up to
// kMaxHashedTextSize bytes (names, keys, enumerator names, short values). Of() hashes a whole
// text; a reader that passes over the bytes of a text anyway (to unescape it, say) may instead
// Add them one by one on the way and hand the result to SetString or Member, which then spare a
// second pass over the bytes.
//
// FNV-1a costs one multiplication per byte in a chain that nothing can shorten, which is more
// than everything else a request does with a long text. So a tree interns a longer text under a
// hash of its own that takes sixteen bytes per step, and ignores a TextHash handed over for it:
// a reader may stop adding bytes once a text is longer than kMaxHashedTextSize.
class TextHash {
 public:
  static constexpr uint32_t kOffsetBasis = 0x811C9DC5u;
  static constexpr uint32_t kPrime = 16777619u;
  static constexpr uint32_t kInversePrime = 0x359C449Bu;  // kPrime * kInversePrime == 1

  constexpr TextHash() = default;
  static TextHash Of(std::string_view text);
  // The hash of the bytes so far followed by `byte`.
  constexpr TextHash Add(unsigned char byte) const { return TextHash((value_ ^ byte) * kPrime); }
  // The hash of the bytes so far without the last one, which was a NUL byte: Add(0) undone
  // (the prime is odd, so it has an inverse modulo 2^32). A reader that hashes each text with
  // its terminator on the way takes the terminator back out with this.
  constexpr TextHash WithoutTrailingNul() const { return TextHash(value_ * kInversePrime); }
  constexpr uint32_t value() const { return value_; }
  friend constexpr bool operator==(TextHash, TextHash) = default;

 private:
  constexpr explicit TextHash(uint32_t value) : value_(value) {}
  uint32_t value_ = kOffsetBasis;
};
static_assert(TextHash::kPrime * TextHash::kInversePrime == 1u);

class BindingValue;
template <bool kConst>
class ElementRangeT;
template <bool kConst>
class MemberRangeT;
using ElementRange = ElementRangeT<false>;
using ConstElementRange = ElementRangeT<true>;
using MemberRange = MemberRangeT<false>;
using ConstMemberRange = MemberRangeT<true>;

namespace detail {

struct TreeContext;

// One interned text of a tree: the bytes follow the record and are NUL-terminated.
struct InternEntry {
  InternEntry* next;  // next entry of the same hash bucket
  uint32_t hash;      // the table's hash of the bytes (FNV-1a for a short text)
  uint32_t references;
  uint32_t length;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
  std::string_view view() const { return {text(), length}; }
};

// The shared entry of the empty text: outside every table, never counted, never freed. The
// terminating NUL follows the entry as it does in every other entry.
struct EmptyTextEntry {
  InternEntry entry;
  char terminator[8];
};
extern const EmptyTextEntry kEmptyText;

// Heap part of a blob: the bytes live on the general heap (so that a caller's vector can be
// taken over without copying); the records of a tree are linked so that the tree can be
// dropped whole without walking it.
struct BlobRecord {
  std::vector<uint8_t> bytes;
  BlobRecord* prev;
  BlobRecord* next;
};

// Heap part of a collection (items are BindingValue*) or a structure (items are MemberNode*,
// sorted by name). Every item is a separate pool slot, which keeps references stable.
struct ContainerRecord {
  void** items;
  uint32_t size;
  uint32_t capacity;
  ContainerRecord* next_pending;  // used while the container is being destroyed
};

struct MemberNode;

}  // namespace detail

class BindingValue {
 public:
  // An empty root value without context.
  BindingValue() noexcept = default;
  ~BindingValue();

  // Deep copy: the new value is a root with its own context.
  BindingValue(const BindingValue& other);
  // Deep copy into this value; this value keeps its context (texts are re-interned there).
  BindingValue& operator=(const BindingValue& other);
  // When both are roots the two exchange content and context and the source ends empty;
  // otherwise the source is deep-copied here and then cleared.
  BindingValue(BindingValue&& other) noexcept;
  BindingValue& operator=(BindingValue&& other) noexcept;

  ValueKind kind() const { return kind_; }
  std::string_view KindName() const { return ValueKindName(kind_); }
  bool is_root() const { return root_ != 0; }
  bool IsEmpty() const { return kind_ == ValueKind::kEmpty; }

  // Releases the heap part; the kind becomes empty. Clearing a root also resets the tree's
  // length error.
  void Clear() {
    if (kind_ >= ValueKind::kString || (root_ && context_ != nullptr)) {
      ClearSlow();
    } else {
      kind_ = ValueKind::kEmpty;
      payload_.bits = 0;
    }
  }

  // Setters: each first clears the value.
  void SetBool(bool value);
  void SetSigned(int64_t value);
  void SetUnsigned(uint64_t value);
  void SetFloat(double value);
  // The text up to its first NUL byte; a null pointer sets the empty text.
  void SetString(const char* text);
  // The counted text (it may hold NUL bytes). A text longer than kMaxBlobSize is refused.
  void SetString(std::string_view text);
  // The same with the text's hash computed by the caller: `hash` must be TextHash::Of(text)
  // (debug builds check it) unless the text is longer than kMaxHashedTextSize, whose hash is
  // not used.
  void SetString(std::string_view text, TextHash hash);
  // A copy of the bytes. More than kMaxBlobSize bytes are refused (the value is not changed).
  void SetBlob(std::span<const uint8_t> bytes);
  void SetBlob(const void* data, size_t size) {
    SetBlob(std::span<const uint8_t>(static_cast<const uint8_t*>(data), size));
  }
  // Takes over the vector's storage; the source is left empty (unless refused as too long).
  void SetBlob(std::vector<uint8_t>&& bytes);
  void SetEnum(int32_t value, uint32_t type);

  // Readers: a value of another kind reads as false, 0, 0.0, the empty text, no bytes or the
  // enum {0, 0}.
  bool GetBool() const { return kind_ == ValueKind::kBool && payload_.boolean; }
  int64_t GetSigned() const { return kind_ == ValueKind::kSigned ? payload_.signed_value : 0; }
  uint64_t GetUnsigned() const {
    return kind_ == ValueKind::kUnsigned ? payload_.unsigned_value : 0;
  }
  double GetFloat() const { return kind_ == ValueKind::kFloat ? payload_.float_value : 0.0; }
  std::string_view GetString() const {
    return kind_ == ValueKind::kString ? payload_.string->view() : std::string_view();
  }
  // NUL-terminated text; the empty text for a value of another kind.
  const char* GetCString() const {
    return kind_ == ValueKind::kString ? payload_.string->text() : "";
  }
  std::span<const uint8_t> GetBlob() const;
  const EnumValue& GetEnum() const;

  // Containers.
  //
  // Element(i): a value that is not a collection is cleared and becomes an empty one; the
  // collection is then extended with empty elements up to i + 1 of them. Appending is
  // Element(Size()). An index at or beyond kMaxCollectionSize is refused: the value is not
  // touched, the tree records a length error, and the returned value is a detached scratch
  // value of the tree that nothing reads (valid, like the tree's own values, until the root is
  // cleared or destroyed).
  BindingValue& Element(size_t index);
  // Grows a collection's capacity to `count`; does nothing to a value of another kind.
  // Returns false (and records a length error) when the count exceeds kMaxCollectionSize or
  // the memory cannot be had; the collection is unchanged then.
  bool Reserve(size_t count);
  // Turn the value into an empty collection or structure unless it already is one.
  void MakeCollection();
  void MakeStructure();
  // A value that is not a structure is cleared and becomes an empty one; returns the member of
  // that name, inserting an empty one when absent. Refused like Element beyond
  // kMaxCollectionSize members.
  BindingValue& Member(std::string_view name);
  // The same with the name's hash computed by the caller: `hash` must be TextHash::Of(name)
  // (debug builds check it) unless the name is longer than kMaxHashedTextSize.
  BindingValue& Member(std::string_view name, TextHash hash);
  // The member of that name, or the shared empty value when this is not a structure or has no
  // such member. Never inserts.
  const BindingValue& FindMember(std::string_view name) const;
  // 0 for empty; bytes of a string or blob; elements or members of a container; 1 otherwise.
  size_t Size() const;

  // Read-only access by position: element `index` of a collection, or the shared empty value.
  const BindingValue& At(size_t index) const;
  // Members by position, in name order; the empty text and the shared empty value when out of
  // range or not a structure.
  std::string_view MemberNameAt(size_t index) const;
  const BindingValue& MemberAt(size_t index) const;
  // Range-for over the elements of a collection or the members ({name, value}) of a
  // structure, in order; empty for a value of another kind.
  ElementRange Elements();
  ConstElementRange Elements() const;
  MemberRange Members();
  ConstMemberRange Members() const;

  // Text form: bool "true"/"false"; signed and unsigned in decimal; float as printf "%f";
  // string its text; blob standard base64 with padding; enum its number in signed decimal;
  // empty, collection and structure the empty text.
  std::string ToText() const;
  // Truth value: bool its value; numbers and enums not 0 (a NaN is true); string exactly
  // "true" or "1"; blob, collection and structure not empty; empty false.
  bool ToBool() const;

  // True when some growth of this value's tree was refused since its root was last cleared.
  bool HasLengthError() const;

  // Structural equality: same kinds, payloads, texts, bytes, elements and members.
  friend bool operator==(const BindingValue& a, const BindingValue& b);

  // A compact JSON-like rendering for test failures and logs: strings quoted, blobs as
  // b64"...", enums as enum(value,#TYPE).
  std::string DebugString() const;

  // The shared empty value that readers return for something absent.
  static const BindingValue& EmptyValue();

  // Introspection of the tree's intern table, for tests and diagnostics.
  struct TreeStats {
    size_t interned_texts = 0;  // distinct non-empty texts (values and member names)
    size_t intern_buckets = 0;  // 0 while the tree has no context
    size_t pool_slots = 0;      // live pool slots of the tree
    size_t pool_pages = 0;      // pages held from the page store (besides the built-in ones)
    size_t heap_blocks = 0;     // blocks too large for the pool, held from the general heap
  };
  TreeStats GetTreeStats() const;
  // Reference count of `text` in this value's tree; 0 when not interned (always 0 for "").
  uint32_t InternedReferences(std::string_view text) const;

 private:
  friend struct detail::TreeContext;
  friend class ValueOps;
  friend class BindingResult;
  friend class TreeBuilder;

  union Payload {
    uint64_t bits;
    bool boolean;
    int64_t signed_value;
    uint64_t unsigned_value;
    double float_value;
    const detail::InternEntry* string;
    detail::BlobRecord* blob;
    EnumValue enum_value;
    detail::ContainerRecord* container;
  };

  // A non-root value of the given tree (an element, a member or a scratch value).
  explicit BindingValue(detail::TreeContext* context) noexcept : context_(context), root_(0) {}

  void ClearSlow();
  // `hash` is the intern table's hash of the text (binding_value.cc).
  void SetInterned(std::string_view text, uint32_t hash);
  // Member(name) with the name's hash when the caller has it, else null (hashed on insertion).
  BindingValue& FindOrInsertMember(std::string_view name, const TextHash* hash);
  // Clear without the whole-tree shortcut: for setters that hold a new heap part of the tree
  // (an interned text, a blob) while the old content goes.
  void ClearKeepingHeldParts();
  // Clears the value and makes it the structure {"error": message}; `message` may point into
  // this value's own tree.
  void BecomeError(std::string_view message);

  Payload payload_{.bits = 0};
  detail::TreeContext* context_ = nullptr;
  ValueKind kind_ = ValueKind::kEmpty;
  uint8_t root_ = 1;
};

// Prints DebugString(), so that test frameworks show values readably.
void PrintTo(const BindingValue& value, std::ostream* out);

// Fills one tree from a reader's events (a JSON document, say) with the few operations such a
// reader needs. Every value it works on is one it handed out itself (the root, or an element or
// member it created), and those are empty until the reader fills them, so it spares the care
// that the general setters take of values that hold content; otherwise the tree follows the
// same rules: texts and member names interned, members in name order, growth beyond
// kMaxCollectionSize refused and recorded as the tree's length error.
//
// Containers are filled from the inside out, as a reader meets them: one is opened, gets its
// elements or members, and is closed, and the one around it is the innermost open one again.
// While a container is open its items wait on the builder's own stack; closing it gives it an
// item array of exactly their number, so that filling a container never copies a growing array.
// An open container reads as empty. A tree whose containers were not all closed (a reader that
// stopped on an error) must be cleared or failed, which drops what waited.
class TreeBuilder {
 public:
  // Clears `root` and builds into it. The root must outlive the builder.
  explicit TreeBuilder(BindingValue& root);
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  BindingValue& root() { return root_; }

  // Containers open; 0 while the root is not an open container.
  size_t depth() const { return frame_count_; }
  // Whether the innermost open container is a collection (rather than a structure).
  bool InCollection() const { return frames_[frame_count_ - 1].collection; }

  // Turn an empty value of this builder into an empty collection or structure and open it.
  // False, with the tree's length error recorded, when the builder has no memory to follow it
  // (the value is then an empty container that is not open).
  bool OpenCollection(BindingValue& value) { return Open(value, ValueKind::kCollection); }
  bool OpenStructure(BindingValue& value) { return Open(value, ValueKind::kStructure); }
  // Closes the innermost open container. False, with the tree's length error recorded, when
  // its item array cannot be had (the container stays empty).
  bool Close();
  // A new empty element at the end of the innermost open container, a collection; null when
  // it cannot grow (kMaxCollectionSize elements, or no memory), which is recorded as the
  // tree's length error.
  BindingValue* Append();
  // The member `name` of the innermost open container, a structure, empty: a new one, or the
  // existing one with its content dropped (a repeated key replaces the whole value). `hash`
  // must be TextHash::Of(name) for a name of up to kMaxHashedTextSize bytes (any value for a
  // longer one). Null, and recorded, when the structure cannot grow.
  BindingValue* Member(std::string_view name, TextHash hash);
  // Sets an empty value of this builder to the text, whose hash is `hash` (TextHash::Of(text),
  // as for Member).
  // A text that cannot be stored (longer than kMaxBlobSize, or no memory) leaves the value
  // empty and is recorded as the tree's length error.
  void SetString(BindingValue& value, std::string_view text, TextHash hash);

 private:
  struct Frame {
    detail::ContainerRecord* record;
    size_t first;     // its first item on the stack
    bool collection;  // else a structure
  };
  static constexpr size_t kInlineItems = 64;
  static constexpr size_t kInlineFrames = 16;

  bool Open(BindingValue& value, ValueKind kind);
  // Makes room for one more item of the innermost open container: false, with the tree's
  // length error recorded, when it holds kMaxCollectionSize items or memory runs out.
  bool MakeRoom();
  bool GrowFrames();
  // Sets item_limit_ and item_end_ for the innermost open container.
  void LimitItems();
  BindingValue* AppendSlow();
  void SetStringSlow(BindingValue& value, std::string_view text, TextHash hash);

  BindingValue& root_;
  detail::TreeContext* context_;
  void** items_;  // items of the open containers, the innermost's last
  size_t item_count_ = 0;
  size_t item_capacity_ = kInlineItems;
  size_t item_limit_ = 0;  // where the innermost open container is full
  size_t item_end_ = 0;    // the lower of item_capacity_ and item_limit_
  Frame* frames_;          // the open containers, innermost last
  size_t frame_count_ = 0;
  size_t frame_capacity_ = kInlineFrames;
  void* inline_items_[kInlineItems];
  Frame inline_frames_[kInlineFrames];
};

namespace detail {
struct MemberNode {
  const InternEntry* name;
  BindingValue value;
};
}  // namespace detail

// {name, value} of one member of a structure.
template <bool kConst>
struct MemberViewT {
  std::string_view name;
  std::conditional_t<kConst, const BindingValue&, BindingValue&> value;
};
using MemberView = MemberViewT<false>;
using ConstMemberView = MemberViewT<true>;

template <bool kConst>
class ElementRangeT {
 public:
  using Value = std::conditional_t<kConst, const BindingValue, BindingValue>;
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = BindingValue;
    using difference_type = std::ptrdiff_t;
    using pointer = Value*;
    using reference = Value&;
    iterator() = default;
    explicit iterator(void* const* item) : item_(item) {}
    Value& operator*() const { return *static_cast<Value*>(*item_); }
    Value* operator->() const { return static_cast<Value*>(*item_); }
    iterator& operator++() {
      ++item_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++item_;
      return old;
    }
    friend bool operator==(const iterator&, const iterator&) = default;

   private:
    void* const* item_ = nullptr;
  };
  ElementRangeT(void* const* begin, size_t size) : begin_(begin), size_(size) {}
  iterator begin() const { return iterator(begin_); }
  iterator end() const { return iterator(begin_ + size_); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  void* const* begin_;
  size_t size_;
};

template <bool kConst>
class MemberRangeT {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = MemberViewT<kConst>;
    using difference_type = std::ptrdiff_t;
    using reference = MemberViewT<kConst>;
    iterator() = default;
    explicit iterator(void* const* item) : item_(item) {}
    MemberViewT<kConst> operator*() const {
      auto* node = static_cast<detail::MemberNode*>(*item_);
      return {node->name->view(), node->value};
    }
    iterator& operator++() {
      ++item_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++item_;
      return old;
    }
    friend bool operator==(const iterator&, const iterator&) = default;

   private:
    void* const* item_ = nullptr;
  };
  MemberRangeT(void* const* begin, size_t size) : begin_(begin), size_(size) {}
  iterator begin() const { return iterator(begin_); }
  iterator end() const { return iterator(begin_ + size_); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  void* const* begin_;
  size_t size_;
};

inline size_t BindingValue::Size() const {
  switch (kind_) {
    case ValueKind::kEmpty:
      return 0;
    case ValueKind::kString:
      return payload_.string->length;
    case ValueKind::kBlob:
      return payload_.blob->bytes.size();
    case ValueKind::kCollection:
    case ValueKind::kStructure:
      return payload_.container->size;
    default:
      return 1;
  }
}

inline const BindingValue& BindingValue::At(size_t index) const {
  if (kind_ != ValueKind::kCollection || index >= payload_.container->size) {
    return EmptyValue();
  }
  return *static_cast<const BindingValue*>(payload_.container->items[index]);
}

inline std::string_view BindingValue::MemberNameAt(size_t index) const {
  if (kind_ != ValueKind::kStructure || index >= payload_.container->size) {
    return {};
  }
  return static_cast<const detail::MemberNode*>(payload_.container->items[index])->name->view();
}

inline const BindingValue& BindingValue::MemberAt(size_t index) const {
  if (kind_ != ValueKind::kStructure || index >= payload_.container->size) {
    return EmptyValue();
  }
  return static_cast<const detail::MemberNode*>(payload_.container->items[index])->value;
}

inline ElementRange BindingValue::Elements() {
  if (kind_ != ValueKind::kCollection) return {nullptr, 0};
  return {payload_.container->items, payload_.container->size};
}
inline ConstElementRange BindingValue::Elements() const {
  if (kind_ != ValueKind::kCollection) return {nullptr, 0};
  return {payload_.container->items, payload_.container->size};
}
inline MemberRange BindingValue::Members() {
  if (kind_ != ValueKind::kStructure) return {nullptr, 0};
  return {payload_.container->items, payload_.container->size};
}
inline ConstMemberRange BindingValue::Members() const {
  if (kind_ != ValueKind::kStructure) return {nullptr, 0};
  return {payload_.container->items, payload_.container->size};
}

}  // namespace sdk::binding

#endif  // SDK_BINDING_BINDING_VALUE_H_
