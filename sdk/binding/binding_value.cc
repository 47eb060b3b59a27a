// BindingValue: tree context, string interning, containers, copy, move, clear and the single
// value conversions (see binding_value.h).
//
// Layout of the heap parts, all taken from the tree's ValuePool:
//  - string: an InternEntry of the context's intern table (hash set, load factor at most 1.0,
//    8 buckets at the start), reference counted; short texts hashed with FNV-1a (TextHash),
//    longer ones with the table's own hash (LongTextHash);
//  - blob: a BlobRecord in a slot, on the context's list of blobs (its bytes on the general
//    heap, so that a caller's vector can be taken over without copying);
//  - enum: kept inside the value's payload, no heap part;
//  - collection and structure: a ContainerRecord whose item array holds pointers to separately
//    allocated elements (BindingValue) or members (MemberNode, sorted by name).
//
// A root that clears its tree drops the whole context at once (the blobs' bytes, then the
// pool's slots and heap blocks) instead of walking the tree; every other clear walks what it
// releases. Clear, copy, comparison and printing walk trees with explicit work lists instead
// of recursion, so that the depth of a tree is limited by memory, not by the thread's stack.
#include "sdk/binding/binding_value.h"

#include <bit>
#include <cassert>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <utility>

#include "sdk/binding/value_pool.h"

namespace sdk::binding {

using detail::PoolStats;
namespace {

constexpr uint32_t kInitialBuckets = 8;

template <typename Word>
Word LoadWord(const char* bytes) {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The high and low halves of the 128-bit product of a and b, folded into one word by XOR.
uint64_t MultiplyFold(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
  __extension__ using Product = unsigned __int128;
  const Product product = static_cast<Product>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
#else
  // Targets without 128-bit arithmetic (32-bit x86) build the product from 32-bit halves.
  const uint64_t a_low = a & 0xFFFFFFFFu;
  const uint64_t a_high = a >> 32;
  const uint64_t b_low = b & 0xFFFFFFFFu;
  const uint64_t b_high = b >> 32;
  const uint64_t low_low = a_low * b_low;
  const uint64_t high_low = a_high * b_low;
  const uint64_t low_high = a_low * b_high;
  const uint64_t high_high = a_high * b_high;
  const uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + low_high;
  const uint64_t low = (middle << 32) | (low_low & 0xFFFFFFFFu);
  const uint64_t high = high_high + (high_low >> 32) + (middle >> 32);
  return low ^ high;
#endif
}

// Odd constants with about half their bits set, as multiply-fold hashes use them.
constexpr uint64_t kHashKey0 = 0xA0761D6478BD642Full;
constexpr uint64_t kHashKey1 = 0xE7037ED1A0B428DBull;
constexpr uint64_t kHashKey2 = 0x8EBC6AF09C88C6E3ull;

// A key that differs from one process to the next wherever the system places libraries at
// random addresses, so that a caller cannot prepare texts that fall into one bucket.
uint64_t ProcessHashKey() {
  static const char kAnchor = 0;
  return MultiplyFold(reinterpret_cast<uintptr_t>(&kAnchor) ^ kHashKey2, kHashKey1);
}

// The table's hash of a text longer than kMaxHashedTextSize: sixteen bytes per step, each step
// one multiplication of the two words with a state mixed into one of them. Two states take
// turns, so that two chains of multiplications run side by side; the last step takes the
// final sixteen bytes (overlapping the step before), and two more mix the states and the
// length. Its latency is about one multiplication per 32 bytes, where FNV-1a has one per byte.
[[gnu::noinline]] uint32_t LongTextHash(std::string_view text) {
  assert(text.size() >= 16);
  const char* p = text.data();
  const char* const end = p + text.size();
  const uint64_t key = ProcessHashKey();
  uint64_t first = key ^ kHashKey0;
  uint64_t second = key ^ kHashKey1;
  for (; end - p > 32; p += 32) {
    first = MultiplyFold(LoadWord<uint64_t>(p) ^ key, LoadWord<uint64_t>(p + 8) ^ first);
    second = MultiplyFold(LoadWord<uint64_t>(p + 16) ^ key, LoadWord<uint64_t>(p + 24) ^ second);
  }
  if (end - p > 16) {
    first = MultiplyFold(LoadWord<uint64_t>(p) ^ key, LoadWord<uint64_t>(p + 8) ^ first);
  }
  second =
      MultiplyFold(LoadWord<uint64_t>(end - 16) ^ kHashKey2, LoadWord<uint64_t>(end - 8) ^ second);
  const uint64_t mixed = MultiplyFold(first ^ kHashKey2, second ^ text.size());
  return static_cast<uint32_t>(mixed ^ (mixed >> 32));
}

// The hash under which the table keeps a text.
uint32_t TableHash(std::string_view text) {
  return text.size() <= kMaxHashedTextSize ? TextHash::Of(text).value() : LongTextHash(text);
}

// The same, with the FNV-1a hash known (from a reader or a member's record).
uint32_t TableHash(std::string_view text, TextHash hash) {
  return text.size() <= kMaxHashedTextSize ? hash.value() : LongTextHash(text);
}

const detail::InternEntry* EmptyEntry() { return &detail::kEmptyText.entry; }

// Whether the `size` bytes at `a` and `b` are the same: what every repeated text costs, so the
// short texts of requests are compared a word at a time without a call (the last word may
// overlap the one before it).
bool SameBytes(const char* a, const char* b, size_t size) {
  if (size >= 8) {
    for (size_t i = 0; i + 8 < size; i += 8) {
      if (LoadWord<uint64_t>(a + i) != LoadWord<uint64_t>(b + i)) return false;
    }
    return LoadWord<uint64_t>(a + size - 8) == LoadWord<uint64_t>(b + size - 8);
  }
  if (size >= 4) {
    return LoadWord<uint32_t>(a) == LoadWord<uint32_t>(b) &&
           LoadWord<uint32_t>(a + size - 4) == LoadWord<uint32_t>(b + size - 4);
  }
  for (size_t i = 0; i < size; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Texts up to this long are copied inline by CopyShortText.
constexpr size_t kShortText = 64;

// Copies a text of 1 to kShortText bytes and a terminating NUL after it, a word at a time and
// without a call (the last word may overlap the one before it).
void CopyShortText(char* to, std::string_view text) {
  const char* from = text.data();
  const size_t size = text.size();
  if (size >= 8) {
    for (size_t i = 0; i + 8 < size; i += 8) {
      const auto word = LoadWord<uint64_t>(from + i);
      std::memcpy(to + i, &word, sizeof word);
    }
    const auto last = LoadWord<uint64_t>(from + size - 8);
    std::memcpy(to + size - 8, &last, sizeof last);
  } else if (size >= 4) {
    const auto head = LoadWord<uint32_t>(from);
    const auto tail = LoadWord<uint32_t>(from + size - 4);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + size - 4, &tail, sizeof tail);
  } else {
    for (size_t i = 0; i < size; ++i) to[i] = from[i];
  }
  to[size] = '\0';
}

// A stack with room for `kInline` items inside itself; deeper walks spill to the heap.
template <typename T, size_t kInline>
class WorkStack {
 public:
  WorkStack() = default;
  WorkStack(const WorkStack&) = delete;
  WorkStack& operator=(const WorkStack&) = delete;
  ~WorkStack() {
    if (items_ != inline_) delete[] items_;
  }
  bool empty() const { return size_ == 0; }
  T& top() { return items_[size_ - 1]; }
  void pop() { --size_; }
  void push(const T& item) {
    if (size_ == capacity_) {
      T* grown = new T[capacity_ * 2];
      for (size_t i = 0; i < size_; ++i) grown[i] = items_[i];
      if (items_ != inline_) delete[] items_;
      items_ = grown;
      capacity_ *= 2;
    }
    items_[size_++] = item;
  }

 private:
  T inline_[kInline];
  T* items_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInline;
};

}  // namespace

// Each byte costs one multiplication in a chain that nothing can shorten; loading eight bytes
// at a time at least shares the loads and the loop control among them (the bytes are taken
// lowest first, which is their order in memory on a little-endian machine).
TextHash TextHash::Of(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t size = text.size();
  uint32_t hash = kOffsetBasis;
  if constexpr (std::endian::native == std::endian::little) {
    for (; size >= 8; size -= 8, bytes += 8) {
      uint64_t word;
      std::memcpy(&word, bytes, sizeof word);
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i, word >>= 8) {
        hash = (hash ^ static_cast<uint32_t>(word & 0xFF)) * kPrime;
      }
    }
  }
  for (; size != 0; --size, ++bytes) hash = (hash ^ *bytes) * kPrime;
  return TextHash(hash);
}

namespace detail {

static_assert(offsetof(EmptyTextEntry, terminator) == sizeof(InternEntry));
const EmptyTextEntry kEmptyText = {{nullptr, TextHash::kOffsetBasis, 0, 0}, {}};

// A detached value handed out in place of an element or member whose growth was refused.
struct ScratchNode {
  ScratchNode* next;
  BindingValue value;
};

struct TreeContext {
  TreeContext() : buckets(inline_buckets) {}
  // The pool frees its pages and heap blocks itself; only the blobs' bytes are elsewhere.
  ~TreeContext() { DestroyBlobs(); }
  TreeContext(const TreeContext&) = delete;
  TreeContext& operator=(const TreeContext&) = delete;

  static size_t EntrySize(size_t length) {
    return (sizeof(InternEntry) + length + 1 + alignof(InternEntry) - 1) &
           ~(alignof(InternEntry) - 1);
  }

  // The entry of `text` with its count raised; null when memory for a new entry cannot be had.
  const InternEntry* Intern(std::string_view text) {
    return text.empty() ? EmptyEntry() : Intern(text, TableHash(text));
  }

  // The same, for an entry of another tree whose hash is already known (deep copies).
  const InternEntry* Intern(const InternEntry* other) {
    return other->length == 0 ? EmptyEntry() : Intern(other->view(), other->hash);
  }

  // The same with the table's hash of the text (TableHash).
  const InternEntry* Intern(std::string_view text, uint32_t hash) {
    if (InternEntry* entry = Find(text, hash)) {
      ++entry->references;
      return entry;
    }
    return Insert(text, hash);
  }

  // The entry of `text` in the table, or null.
  InternEntry* Find(std::string_view text, uint32_t hash) const {
    for (InternEntry* entry = buckets[hash & (bucket_count - 1)]; entry != nullptr;
         entry = entry->next) {
      if (entry->hash == hash && entry->length == text.size() &&
          SameBytes(entry->text(), text.data(), text.size())) {
        return entry;
      }
    }
    return nullptr;
  }

  // Intern's work for a reader building a tree, with no call on its common path: the entry of
  // a text that is in the table, or a new one for a short text when the table has room and the
  // pool a slot at hand. Null only for a text that is not in the table, which Intern then
  // inserts out of line. (Intern itself keeps the insertion out of line: most of its callers
  // copy trees, whose texts are mostly in the table already.)
  const InternEntry* InternWithoutCall(std::string_view text, uint32_t hash) {
    if (InternEntry* entry = Find(text, hash)) {
      ++entry->references;
      return entry;
    }
    void* slot;
    if (entry_count == bucket_count || text.size() > kShortText ||
        (slot = pool.TryAllocate(EntrySize(text.size()))) == nullptr) {
      return nullptr;
    }
    auto* entry = static_cast<InternEntry*>(slot);
    InternEntry** bucket = &buckets[hash & (bucket_count - 1)];
    entry->next = *bucket;
    entry->hash = hash;
    entry->references = 1;
    entry->length = static_cast<uint32_t>(text.size());
    CopyShortText(reinterpret_cast<char*>(entry + 1), text);
    *bucket = entry;
    ++entry_count;
    return entry;
  }

  // Intern for a reader building a tree: the insertion of a short text is inline too.
  const InternEntry* InternBuilding(std::string_view text, uint32_t hash) {
    const InternEntry* entry = InternWithoutCall(text, hash);
    return entry != nullptr ? entry : Insert(text, hash);
  }

  // A new entry for a text that is not in the table (kept out of line: the lookup is what every
  // repeated text costs).
  [[gnu::noinline]] const InternEntry* Insert(std::string_view text, uint32_t hash) {
    if (entry_count == bucket_count) Rehash();
    auto* entry = static_cast<InternEntry*>(pool.Allocate(EntrySize(text.size())));
    if (entry == nullptr) return nullptr;
    InternEntry** bucket = &buckets[hash & (bucket_count - 1)];
    entry->next = *bucket;
    entry->hash = hash;
    entry->references = 1;
    entry->length = static_cast<uint32_t>(text.size());
    char* bytes = reinterpret_cast<char*>(entry + 1);
    std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    *bucket = entry;
    ++entry_count;
    return entry;
  }

  const InternEntry* Find(std::string_view text) const {
    if (text.empty()) return nullptr;
    const uint32_t hash = TableHash(text);
    for (const InternEntry* entry = buckets[hash & (bucket_count - 1)]; entry != nullptr;
         entry = entry->next) {
      if (entry->hash == hash && entry->view() == text) return entry;
    }
    return nullptr;
  }

  static void AddReference(const InternEntry* entry) {
    if (entry != EmptyEntry()) ++const_cast<InternEntry*>(entry)->references;
  }

  void Release(const InternEntry* entry) {
    if (entry == EmptyEntry()) return;
    auto* mutable_entry = const_cast<InternEntry*>(entry);
    if (--mutable_entry->references != 0) return;
    InternEntry** link = &buckets[entry->hash & (bucket_count - 1)];
    while (*link != entry) link = &(*link)->next;
    *link = entry->next;
    --entry_count;
    pool.Free(mutable_entry, EntrySize(entry->length));
  }

  // Grows the bucket array so that `count` entries keep the load factor at most 1.
  void ReserveEntries(uint32_t count) {
    if (count > bucket_count) Rehash(count);
  }

  // Grows the bucket array to at least `count` buckets (a power of two); keeps the old one
  // when memory cannot be had (chains just grow).
  [[gnu::noinline]] void Rehash(uint32_t count = 0) {
    uint32_t grown_count = bucket_count * 2;
    while (grown_count < count) grown_count *= 2;
    auto** grown = static_cast<InternEntry**>(pool.Allocate(grown_count * sizeof(InternEntry*)));
    if (grown == nullptr) return;
    std::memset(grown, 0, grown_count * sizeof(InternEntry*));
    for (uint32_t i = 0; i < bucket_count; ++i) {
      InternEntry* entry = buckets[i];
      while (entry != nullptr) {
        InternEntry* next = entry->next;
        InternEntry*& bucket = grown[entry->hash & (grown_count - 1)];
        entry->next = bucket;
        bucket = entry;
        entry = next;
      }
    }
    if (buckets != inline_buckets) pool.Free(buckets, bucket_count * sizeof(InternEntry*));
    buckets = grown;
    bucket_count = grown_count;
  }

  BlobRecord* NewBlob() {
    auto* record = static_cast<BlobRecord*>(pool.Allocate(sizeof(BlobRecord)));
    new (record) BlobRecord{{}, nullptr, blobs};
    if (blobs != nullptr) blobs->prev = record;
    blobs = record;
    return record;
  }

  void FreeBlob(BlobRecord* record) {
    if (record->prev != nullptr) {
      record->prev->next = record->next;
    } else {
      blobs = record->next;
    }
    if (record->next != nullptr) record->next->prev = record->prev;
    std::destroy_at(record);
    pool.Free(record, sizeof(BlobRecord));
  }

  void DestroyBlobs() {
    for (BlobRecord* record = blobs; record != nullptr;) {
      BlobRecord* next = record->next;
      std::destroy_at(record);
      record = next;
    }
    blobs = nullptr;
  }

  // Drops every value of the context at once, scratch values included: only for the root,
  // when it clears its whole tree. Every heap part is a pool slot or a pool heap block except
  // the bytes of blobs, which are on their own list.
  void ResetWhole() {
    DestroyBlobs();
    pool.Reset();
    scratch = nullptr;
    buckets = inline_buckets;
    bucket_count = kInitialBuckets;
    entry_count = 0;
    std::memset(inline_buckets, 0, sizeof inline_buckets);
    length_error = false;
  }

  // After the root cleared a tree that held no heap part: the scratch values go one by one
  // (the caller may hold a new heap part of the tree, so the pool cannot be dropped whole).
  void ForgetScratch() {
    while (scratch != nullptr) {
      ScratchNode* next = scratch->next;
      scratch->value.Clear();
      pool.Free(scratch, sizeof(ScratchNode));
      scratch = next;
    }
    length_error = false;
  }

  // True when nothing of a tree is left, so that the context may serve the next tree.
  bool IsClean() const {
    return entry_count == 0 && blobs == nullptr && scratch == nullptr && pool.live_slots() == 0 &&
           pool.heap_blocks() == 0;
  }

  // Records a refused growth and returns a fresh detached value of this tree.
  BindingValue& Refuse() {
    length_error = true;
    auto* node = static_cast<ScratchNode*>(pool.Allocate(sizeof(ScratchNode)));
    new (node) ScratchNode{scratch, BindingValue(this)};
    scratch = node;
    return node->value;
  }

  ValuePool pool{/*thread_cache=*/true};
  InternEntry** buckets;
  uint32_t bucket_count = kInitialBuckets;
  uint32_t entry_count = 0;
  ScratchNode* scratch = nullptr;
  BlobRecord* blobs = nullptr;
  bool length_error = false;
  InternEntry* inline_buckets[kInitialBuckets] = {};
};

}  // namespace detail

using detail::BlobRecord;
using detail::ContainerRecord;
using detail::InternEntry;
using detail::MemberNode;
using detail::TreeContext;

namespace {

// Each thread keeps the context of its last destroyed tree, with the pool pages it still
// holds in reserve, for its next tree: a thread that builds and drops one tree after another
// (a request, a conversion, a scratch result) then neither allocates a context nor takes pages
// from the shared store each time.
class ParkedContext {
 public:
  ParkedContext() = default;
  ParkedContext(const ParkedContext&) = delete;
  ParkedContext& operator=(const ParkedContext&) = delete;
  ~ParkedContext() {
    delete context_;
    context_ = nullptr;
    closed_ = true;
  }
  TreeContext* Take() { return std::exchange(context_, nullptr); }
  // False when the thread is exiting or a context is parked already.
  bool Park(TreeContext* context) {
    if (closed_ || context_ != nullptr) return false;
    context_ = context;
    return true;
  }

 private:
  TreeContext* context_ = nullptr;
  bool closed_ = false;
};

thread_local ParkedContext t_parked_context;

TreeContext* AcquireContext() {
  TreeContext* context = t_parked_context.Take();
  return context != nullptr ? context : new TreeContext();
}

void DropContext(TreeContext* context) {
  if (!context->IsClean() || !t_parked_context.Park(context)) delete context;
}

}  // namespace

// The operations on the private parts of values, kept out of the public header.
class ValueOps {
 public:
  static TreeContext* EnsureContext(BindingValue& value) {
    if (value.context_ == nullptr) value.context_ = AcquireContext();
    return value.context_;
  }

  static BindingValue* NewElement(TreeContext* context) {
    void* slot = context->pool.Allocate(sizeof(BindingValue));
    return new (slot) BindingValue(context);
  }

  static MemberNode* NewMember(TreeContext* context, const InternEntry* name) {
    void* slot = context->pool.Allocate(sizeof(MemberNode));
    return new (slot) MemberNode{name, BindingValue(context)};
  }

  static ContainerRecord* NewRecord(TreeContext* context) {
    auto* record = static_cast<ContainerRecord*>(context->pool.Allocate(sizeof(ContainerRecord)));
    *record = ContainerRecord{nullptr, 0, 0, nullptr};
    return record;
  }

  // Grows the item array to hold at least `needed` items: to exactly `needed` when `exact`,
  // else geometrically. False when over the limit or out of memory; the record is unchanged.
  static bool Grow(TreeContext* context, ContainerRecord* record, size_t needed, bool exact) {
    if (needed <= record->capacity) return true;
    if (needed > kMaxCollectionSize) return false;
    size_t capacity = needed;
    if (!exact) {
      const size_t doubled = record->capacity < 4 ? 4 : size_t{record->capacity} * 2;
      if (doubled > capacity)
        capacity = doubled < kMaxCollectionSize ? doubled : kMaxCollectionSize;
    }
    auto** items = static_cast<void**>(context->pool.Allocate(capacity * sizeof(void*)));
    if (items == nullptr) return false;
    if (record->size != 0) std::memcpy(items, record->items, record->size * sizeof(void*));
    if (record->items != nullptr) {
      context->pool.Free(record->items, record->capacity * sizeof(void*));
    }
    record->items = items;
    record->capacity = static_cast<uint32_t>(capacity);
    return true;
  }

  static void FreeItems(TreeContext* context, ContainerRecord* record) {
    if (record->items != nullptr) {
      context->pool.Free(record->items, record->capacity * sizeof(void*));
    }
    context->pool.Free(record, sizeof(ContainerRecord));
  }

  // Releases the heap part of `value` except containers, which are queued on the pending
  // lists; the value is left empty.
  static void ReleaseShallow(TreeContext* context, BindingValue& value,
                             ContainerRecord** collections, ContainerRecord** structures) {
    switch (value.kind_) {
      case ValueKind::kString:
        context->Release(value.payload_.string);
        break;
      case ValueKind::kBlob:
        context->FreeBlob(value.payload_.blob);
        break;
      case ValueKind::kCollection:
        value.payload_.container->next_pending = *collections;
        *collections = value.payload_.container;
        break;
      case ValueKind::kStructure:
        value.payload_.container->next_pending = *structures;
        *structures = value.payload_.container;
        break;
      default:
        break;
    }
    value.kind_ = ValueKind::kEmpty;
    value.payload_.bits = 0;
  }

  // Releases the heap part of `value`, whole trees included, without recursion: containers
  // wait on two lists threaded through their records.
  static void Release(BindingValue& value) {
    TreeContext* context = value.context_;
    if (value.kind_ == ValueKind::kString) {
      if (value.payload_.string != EmptyEntry()) context->Release(value.payload_.string);
      return;
    }
    ContainerRecord* collections = nullptr;
    ContainerRecord* structures = nullptr;
    ReleaseShallow(context, value, &collections, &structures);
    while (collections != nullptr || structures != nullptr) {
      if (collections != nullptr) {
        ContainerRecord* record = collections;
        collections = record->next_pending;
        for (uint32_t i = 0; i < record->size; ++i) {
          auto* element = static_cast<BindingValue*>(record->items[i]);
          ReleaseShallow(context, *element, &collections, &structures);
          context->pool.Free(element, sizeof(BindingValue));
        }
        FreeItems(context, record);
      } else {
        ContainerRecord* record = structures;
        structures = record->next_pending;
        for (uint32_t i = 0; i < record->size; ++i) {
          auto* member = static_cast<MemberNode*>(record->items[i]);
          context->Release(member->name);
          ReleaseShallow(context, member->value, &collections, &structures);
          context->pool.Free(member, sizeof(MemberNode));
        }
        FreeItems(context, record);
      }
    }
  }

  // Moves the content of `from` into the empty `to` of the same tree, leaving `from` empty.
  static void Relocate(BindingValue& to, BindingValue& from) {
    to.payload_ = from.payload_;
    to.kind_ = from.kind_;
    from.payload_.bits = 0;
    from.kind_ = ValueKind::kEmpty;
  }

  struct CopyFrame {
    const ContainerRecord* source;
    ContainerRecord* target;
    uint32_t next;
    bool structure;
  };

  // Gives the empty `target` the kind and payload of `source`; for a container, an empty one
  // with room for the source's items, returned so that the caller fills it.
  static ContainerRecord* CopyShallow(TreeContext* context, BindingValue& target,
                                      const BindingValue& source) {
    switch (source.kind_) {
      case ValueKind::kString: {
        const InternEntry* entry = source.payload_.string;
        if (source.context_ == context) {
          TreeContext::AddReference(entry);
        } else {
          entry = context->Intern(entry);
          if (entry == nullptr) {
            context->length_error = true;
            return nullptr;
          }
        }
        target.payload_.string = entry;
        target.kind_ = ValueKind::kString;
        return nullptr;
      }
      case ValueKind::kBlob: {
        BlobRecord* blob = NewBlob(context, source.payload_.blob->bytes);
        if (blob == nullptr) return nullptr;
        target.payload_.blob = blob;
        target.kind_ = ValueKind::kBlob;
        return nullptr;
      }
      case ValueKind::kCollection:
      case ValueKind::kStructure: {
        ContainerRecord* record = NewRecord(context);
        target.payload_.container = record;
        target.kind_ = source.kind_;
        if (!Grow(context, record, source.payload_.container->size, true)) {
          context->length_error = true;
        }
        return source.payload_.container->size == 0 ? nullptr : record;
      }
      default:
        target.payload_ = source.payload_;
        target.kind_ = source.kind_;
        return nullptr;
    }
  }

  // Deep copy of `source` into the empty `target` of tree `context` (`target` need not be
  // part of a container yet). `source` is only read, so it may lie anywhere, even in the tree
  // being filled.
  static void CopyTree(TreeContext* context, BindingValue& target, const BindingValue& source) {
    ContainerRecord* first = CopyShallow(context, target, source);
    if (first == nullptr) return;
    const TreeContext* source_context = source.context_;
    WorkStack<CopyFrame, 32> stack;
    stack.push({source.payload_.container, first, 0, source.kind_ == ValueKind::kStructure});
    while (!stack.empty()) {
      CopyFrame& frame = stack.top();
      if (frame.next == frame.source->size) {
        stack.pop();
        continue;
      }
      if (frame.target->size == frame.target->capacity &&
          !Grow(context, frame.target, frame.target->size + 1, false)) {
        context->length_error = true;
        stack.pop();
        continue;
      }
      void* item = frame.source->items[frame.next++];
      BindingValue* target_value;
      const BindingValue* source_value;
      if (frame.structure) {
        auto* member = static_cast<const MemberNode*>(item);
        const InternEntry* name = member->name;
        if (source_context == context) {
          TreeContext::AddReference(name);
        } else if ((name = context->Intern(name)) == nullptr) {
          context->length_error = true;
          continue;
        }
        MemberNode* node = NewMember(context, name);
        frame.target->items[frame.target->size++] = node;
        target_value = &node->value;
        source_value = &member->value;
      } else {
        BindingValue* element = NewElement(context);
        frame.target->items[frame.target->size++] = element;
        target_value = element;
        source_value = static_cast<const BindingValue*>(item);
      }
      // `frame` may dangle once the stack grows, so it is not used below.
      if (ContainerRecord* record = CopyShallow(context, *target_value, *source_value)) {
        stack.push({source_value->payload_.container, record, 0,
                    source_value->kind_ == ValueKind::kStructure});
      }
    }
  }

  static BlobRecord* NewBlob(TreeContext* context, std::span<const uint8_t> bytes) {
    BlobRecord* blob = context->NewBlob();
    try {
      blob->bytes.assign(bytes.begin(), bytes.end());
      return blob;
    } catch (...) {  // bad_alloc: reported as the tree's length error
      context->FreeBlob(blob);
      context->length_error = true;
      return nullptr;
    }
  }

  // Copy-assignment and move-assignment through a detached copy, so that the source may be
  // anywhere, even inside the target or around it.
  static void Assign(BindingValue& target, BindingValue& source, bool move) {
    if (source.kind_ < ValueKind::kString ||
        (source.kind_ == ValueKind::kString && source.payload_.string == EmptyEntry())) {
      const BindingValue::Payload payload = source.payload_;
      const ValueKind kind = source.kind_;
      if (move) source.Clear();
      target.Clear();
      target.payload_ = payload;
      target.kind_ = kind;
      return;
    }
    TreeContext* context = EnsureContext(target);
    if (source.root_ && source.context_ != nullptr && source.context_ != context &&
        context->entry_count == 0) {
      // A whole tree comes into an empty one: size the table for its texts at once instead of
      // doubling it on the way.
      context->ReserveEntries(source.context_->entry_count);
    }
    BindingValue copy(context);
    CopyTree(context, copy, source);
    BindingValue old_source(source.context_);
    if (move) Relocate(old_source, source);
    BindingValue old_target(context);
    Relocate(old_target, target);
    Relocate(target, copy);
    old_source.Clear();
    old_target.Clear();
  }

  static bool IsContainer(ValueKind kind) {
    return kind == ValueKind::kCollection || kind == ValueKind::kStructure;
  }

  static bool ShallowEqual(const BindingValue& a, const BindingValue& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
      case ValueKind::kEmpty:
        return true;
      case ValueKind::kBool:
        return a.payload_.boolean == b.payload_.boolean;
      case ValueKind::kSigned:
        return a.payload_.signed_value == b.payload_.signed_value;
      case ValueKind::kUnsigned:
        return a.payload_.unsigned_value == b.payload_.unsigned_value;
      case ValueKind::kFloat:
        return a.payload_.float_value == b.payload_.float_value;
      case ValueKind::kString:
        return a.payload_.string == b.payload_.string ||
               a.payload_.string->view() == b.payload_.string->view();
      case ValueKind::kBlob:
        return a.payload_.blob->bytes == b.payload_.blob->bytes;
      case ValueKind::kEnum:
        return a.payload_.enum_value == b.payload_.enum_value;
      case ValueKind::kCollection:
      case ValueKind::kStructure:
        return a.payload_.container->size == b.payload_.container->size;
    }
    return false;
  }

  struct CompareFrame {
    const ContainerRecord* a;
    const ContainerRecord* b;
    uint32_t next;
    bool structure;
  };

  static bool Equal(const BindingValue& a, const BindingValue& b) {
    if (!ShallowEqual(a, b)) return false;
    if (!IsContainer(a.kind_)) return true;
    WorkStack<CompareFrame, 32> stack;
    stack.push({a.payload_.container, b.payload_.container, 0, a.kind_ == ValueKind::kStructure});
    while (!stack.empty()) {
      CompareFrame& frame = stack.top();
      if (frame.next == frame.a->size) {
        stack.pop();
        continue;
      }
      const uint32_t i = frame.next++;
      const BindingValue* item_a;
      const BindingValue* item_b;
      if (frame.structure) {
        auto* member_a = static_cast<const MemberNode*>(frame.a->items[i]);
        auto* member_b = static_cast<const MemberNode*>(frame.b->items[i]);
        if (member_a->name->view() != member_b->name->view()) return false;
        item_a = &member_a->value;
        item_b = &member_b->value;
      } else {
        item_a = static_cast<const BindingValue*>(frame.a->items[i]);
        item_b = static_cast<const BindingValue*>(frame.b->items[i]);
      }
      if (!ShallowEqual(*item_a, *item_b)) return false;
      if (IsContainer(item_a->kind_)) {
        stack.push({item_a->payload_.container, item_b->payload_.container, 0,
                    item_a->kind_ == ValueKind::kStructure});
      }
    }
    return true;
  }

  static const ContainerRecord* Record(const BindingValue& value) {
    return value.payload_.container;
  }
  static const InternEntry* StringEntry(const BindingValue& value) { return value.payload_.string; }
  static TreeContext* Context(const BindingValue& value) { return value.context_; }
};

namespace {

// The order of names whose first bytes are the same (see CompareNames), compared a word at a
// time without a call (a word loaded as a big-endian number orders like its bytes).
[[gnu::noinline]] int CompareNamesAfterFirstByte(const InternEntry* entry, std::string_view name) {
  const char* a = entry->text();
  const char* b = name.data();
  const size_t common = entry->length < name.size() ? entry->length : name.size();
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= common; i += 8) {
      const auto x = LoadWord<uint64_t>(a + i);
      const auto y = LoadWord<uint64_t>(b + i);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
    }
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
  }
  if (entry->length == name.size()) return 0;
  return entry->length < name.size() ? -1 : 1;
}

// The order of member names: bytes compared as unsigned values, a prefix first. The first
// bytes settle most comparisons without a call.
int CompareNames(const InternEntry* entry, std::string_view name) {
  if (entry->length != 0 && !name.empty() && entry->text()[0] != name[0]) {
    return static_cast<unsigned char>(entry->text()[0]) < static_cast<unsigned char>(name[0]) ? -1
                                                                                              : 1;
  }
  return CompareNamesAfterFirstByte(entry, name);
}

std::string Base64(std::span<const uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group =
        (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(kAlphabet[(group >> 6) & 63]);
    text.push_back(kAlphabet[group & 63]);
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const uint32_t group = (uint32_t{bytes[i]} << 16) | (two ? uint32_t{bytes[i + 1]} << 8 : 0);
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(two ? kAlphabet[(group >> 6) & 63] : '=');
    text.push_back('=');
  }
  return text;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  // Large enough for "%f" of the largest double (309 integer digits).
  char buffer[400];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return std::string(buffer, length < 0 ? 0 : static_cast<size_t>(length));
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      out += Printf("\\x%02X", c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

}  // namespace

std::string_view ValueKindName(ValueKind kind) {
  static constexpr std::string_view kNames[] = {"empty",      "bool",     "signed", "unsigned",
                                                "float",      "string",   "blob",   "enum",
                                                "collection", "structure"};
  const auto code = static_cast<size_t>(kind);
  return code < std::size(kNames) ? kNames[code] : std::string_view();
}

BindingValue::~BindingValue() {
  Clear();
  if (root_ && context_ != nullptr) DropContext(context_);
}

BindingValue::BindingValue(const BindingValue& other) {
  ValueOps::Assign(*this, const_cast<BindingValue&>(other), false);
}

BindingValue& BindingValue::operator=(const BindingValue& other) {
  if (this != &other) ValueOps::Assign(*this, const_cast<BindingValue&>(other), false);
  return *this;
}

BindingValue::BindingValue(BindingValue&& other) noexcept { *this = std::move(other); }

BindingValue& BindingValue::operator=(BindingValue&& other) noexcept {
  if (this == &other) return *this;
  if (root_ && other.root_) {
    std::swap(payload_, other.payload_);
    std::swap(context_, other.context_);
    std::swap(kind_, other.kind_);
    other.Clear();
    return *this;
  }
  ValueOps::Assign(*this, other, true);
  return *this;
}

void BindingValue::ClearSlow() {
  if (root_ && context_ != nullptr) {
    if (kind_ >= ValueKind::kString) {
      // Everything in the context belongs to this root's tree: drop it all at once instead of
      // walking it.
      context_->ResetWhole();
    } else {
      context_->ForgetScratch();
    }
  } else if (kind_ >= ValueKind::kString) {
    ValueOps::Release(*this);
  }
  kind_ = ValueKind::kEmpty;
  payload_.bits = 0;
}

void BindingValue::ClearKeepingHeldParts() {
  if (kind_ >= ValueKind::kString) ValueOps::Release(*this);
  kind_ = ValueKind::kEmpty;
  payload_.bits = 0;
  if (root_ && context_ != nullptr) context_->length_error = false;
}

void BindingValue::SetBool(bool value) {
  Clear();
  payload_.boolean = value;
  kind_ = ValueKind::kBool;
}

void BindingValue::SetSigned(int64_t value) {
  Clear();
  payload_.signed_value = value;
  kind_ = ValueKind::kSigned;
}

void BindingValue::SetUnsigned(uint64_t value) {
  Clear();
  payload_.unsigned_value = value;
  kind_ = ValueKind::kUnsigned;
}

void BindingValue::SetFloat(double value) {
  Clear();
  payload_.float_value = value;
  kind_ = ValueKind::kFloat;
}

// Inlined into both SetString forms, which a repeated text would otherwise pay a call for.
[[gnu::always_inline]] inline void BindingValue::SetInterned(std::string_view text, uint32_t hash) {
  TreeContext* context = ValueOps::EnsureContext(*this);
  // Interned before clearing: `text` may be this value's own text.
  const InternEntry* entry = context->Intern(text, hash);
  if (entry == nullptr) {
    context->length_error = true;
    return;
  }
  ClearKeepingHeldParts();
  payload_.string = entry;
  kind_ = ValueKind::kString;
}

void BindingValue::SetString(const char* text) {
  SetString(text == nullptr ? std::string_view() : std::string_view(text));
}

void BindingValue::SetString(std::string_view text) {
  if (text.empty()) {
    ClearKeepingHeldParts();
    payload_.string = EmptyEntry();
    kind_ = ValueKind::kString;
  } else if (text.size() > kMaxBlobSize) {
    ValueOps::EnsureContext(*this)->length_error = true;
  } else {
    SetInterned(text, TableHash(text));
  }
}

void BindingValue::SetString(std::string_view text, TextHash hash) {
  assert(text.size() > kMaxHashedTextSize || hash == TextHash::Of(text));
  if (text.empty() || text.size() > kMaxBlobSize) {
    SetString(text);
  } else {
    SetInterned(text, TableHash(text, hash));
  }
}

void BindingValue::SetBlob(std::span<const uint8_t> bytes) {
  TreeContext* context = ValueOps::EnsureContext(*this);
  if (bytes.size() > kMaxBlobSize) {
    context->length_error = true;
    return;
  }
  BlobRecord* blob = ValueOps::NewBlob(context, bytes);
  if (blob == nullptr) return;
  ClearKeepingHeldParts();
  payload_.blob = blob;
  kind_ = ValueKind::kBlob;
}

void BindingValue::SetBlob(std::vector<uint8_t>&& bytes) {
  TreeContext* context = ValueOps::EnsureContext(*this);
  if (bytes.size() > kMaxBlobSize) {
    context->length_error = true;
    return;
  }
  BlobRecord* blob = context->NewBlob();
  blob->bytes = std::move(bytes);
  bytes.clear();
  ClearKeepingHeldParts();
  payload_.blob = blob;
  kind_ = ValueKind::kBlob;
}

void BindingValue::SetEnum(int32_t value, uint32_t type) {
  Clear();
  payload_.enum_value = EnumValue{value, type};
  kind_ = ValueKind::kEnum;
}

std::span<const uint8_t> BindingValue::GetBlob() const {
  if (kind_ != ValueKind::kBlob) return {};
  return {payload_.blob->bytes.data(), payload_.blob->bytes.size()};
}

const EnumValue& BindingValue::GetEnum() const {
  static constexpr EnumValue kNoEnum{};
  return kind_ == ValueKind::kEnum ? payload_.enum_value : kNoEnum;
}

void BindingValue::MakeCollection() {
  if (kind_ == ValueKind::kCollection) return;
  Clear();
  payload_.container = ValueOps::NewRecord(ValueOps::EnsureContext(*this));
  kind_ = ValueKind::kCollection;
}

void BindingValue::MakeStructure() {
  if (kind_ == ValueKind::kStructure) return;
  Clear();
  payload_.container = ValueOps::NewRecord(ValueOps::EnsureContext(*this));
  kind_ = ValueKind::kStructure;
}

BindingValue& BindingValue::Element(size_t index) {
  if (kind_ == ValueKind::kCollection) {
    // Reading an element, or appending one where the item array has room (the readers' case).
    ContainerRecord* record = payload_.container;
    if (index < record->size) return *static_cast<BindingValue*>(record->items[index]);
    if (index == record->size && record->size < record->capacity) {
      BindingValue* element = ValueOps::NewElement(context_);
      record->items[record->size++] = element;
      return *element;
    }
  }
  if (index >= kMaxCollectionSize) return ValueOps::EnsureContext(*this)->Refuse();
  MakeCollection();
  ContainerRecord* record = payload_.container;
  if (index < record->size) return *static_cast<BindingValue*>(record->items[index]);
  if (!ValueOps::Grow(context_, record, index + 1, false)) return context_->Refuse();
  while (record->size <= index) {
    record->items[record->size++] = ValueOps::NewElement(context_);
  }
  return *static_cast<BindingValue*>(record->items[index]);
}

bool BindingValue::Reserve(size_t count) {
  if (kind_ != ValueKind::kCollection) return true;
  if (ValueOps::Grow(context_, payload_.container, count, true)) return true;
  context_->length_error = true;
  return false;
}

BindingValue& BindingValue::Member(std::string_view name) {
  return FindOrInsertMember(name, nullptr);
}

BindingValue& BindingValue::Member(std::string_view name, TextHash hash) {
  assert(name.size() > kMaxHashedTextSize || hash == TextHash::Of(name));
  return FindOrInsertMember(name, &hash);
}

BindingValue& BindingValue::FindOrInsertMember(std::string_view name, const TextHash* hash) {
  if (kind_ != ValueKind::kStructure) {
    if (kind_ < ValueKind::kString) {
      MakeStructure();
    } else {
      // The name may be a text of the content about to be discarded (the value's own string,
      // or one deep inside the collection it was): it is interned before that content goes,
      // and looked up again through the entry held meanwhile.
      TreeContext* context = ValueOps::EnsureContext(*this);
      const InternEntry* held = hash == nullptr || name.empty()
                                    ? context->Intern(name)
                                    : context->Intern(name, TableHash(name, *hash));
      if (held == nullptr) return context->Refuse();
      ClearKeepingHeldParts();
      payload_.container = ValueOps::NewRecord(context);
      kind_ = ValueKind::kStructure;
      BindingValue& member = FindOrInsertMember(held->view(), nullptr);
      context->Release(held);
      return member;
    }
  }
  ContainerRecord* record = payload_.container;
  // Members often arrive in name order (copies, sorted encoders): try the end first.
  size_t position = record->size;
  if (position != 0) {
    auto* last = static_cast<MemberNode*>(record->items[position - 1]);
    const int order = CompareNames(last->name, name);
    if (order == 0) return last->value;
    if (order > 0) {
      size_t low = 0;
      size_t high = position - 1;
      while (low < high) {
        const size_t middle = low + (high - low) / 2;
        auto* node = static_cast<MemberNode*>(record->items[middle]);
        const int compared = CompareNames(node->name, name);
        if (compared == 0) return node->value;
        if (compared < 0) {
          low = middle + 1;
        } else {
          high = middle;
        }
      }
      position = low;
    }
  }
  if (record->size >= kMaxCollectionSize ||
      !ValueOps::Grow(context_, record, record->size + 1, false)) {
    return context_->Refuse();
  }
  const InternEntry* entry = hash == nullptr || name.empty()
                                 ? context_->Intern(name)
                                 : context_->Intern(name, TableHash(name, *hash));
  if (entry == nullptr) return context_->Refuse();
  MemberNode* node = ValueOps::NewMember(context_, entry);
  if (position != record->size) {
    std::memmove(record->items + position + 1, record->items + position,
                 (record->size - position) * sizeof(void*));
  }
  record->items[position] = node;
  ++record->size;
  return node->value;
}

const BindingValue& BindingValue::FindMember(std::string_view name) const {
  if (kind_ != ValueKind::kStructure) return EmptyValue();
  const ContainerRecord* record = payload_.container;
  size_t low = 0;
  size_t high = record->size;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    auto* node = static_cast<const MemberNode*>(record->items[middle]);
    const int compared = CompareNames(node->name, name);
    if (compared == 0) return node->value;
    if (compared < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return EmptyValue();
}

const BindingValue& BindingValue::EmptyValue() {
  static const BindingValue kEmpty;
  return kEmpty;
}

std::string BindingValue::ToText() const {
  switch (kind_) {
    case ValueKind::kBool:
      return payload_.boolean ? "true" : "false";
    case ValueKind::kSigned:
      return Printf("%" PRId64, payload_.signed_value);
    case ValueKind::kUnsigned:
      return Printf("%" PRIu64, payload_.unsigned_value);
    case ValueKind::kFloat:
      return Printf("%f", payload_.float_value);
    case ValueKind::kString:
      return std::string(payload_.string->view());
    case ValueKind::kBlob:
      return Base64(GetBlob());
    case ValueKind::kEnum:
      return Printf("%" PRId32, payload_.enum_value.value);
    default:
      return std::string();
  }
}

bool BindingValue::ToBool() const {
  switch (kind_) {
    case ValueKind::kBool:
      return payload_.boolean;
    case ValueKind::kSigned:
      return payload_.signed_value != 0;
    case ValueKind::kUnsigned:
      return payload_.unsigned_value != 0;
    case ValueKind::kFloat:
      return !(payload_.float_value == 0.0);  // a NaN is true
    case ValueKind::kString: {
      const std::string_view text = payload_.string->view();
      return text == "true" || text == "1";
    }
    case ValueKind::kBlob:
      return !payload_.blob->bytes.empty();
    case ValueKind::kEnum:
      return payload_.enum_value.value != 0;
    case ValueKind::kCollection:
    case ValueKind::kStructure:
      return payload_.container->size != 0;
    default:
      return false;
  }
}

bool BindingValue::HasLengthError() const { return context_ != nullptr && context_->length_error; }

bool operator==(const BindingValue& a, const BindingValue& b) { return ValueOps::Equal(a, b); }

std::string BindingValue::DebugString() const {
  struct Frame {
    const ContainerRecord* record;
    uint32_t next;
    bool structure;
  };
  std::string out;
  WorkStack<Frame, 32> stack;
  // Prints a value, or opens it and returns its frame when it is a non-empty container.
  auto print = [&out](const BindingValue& value) -> bool {
    switch (value.kind()) {
      case ValueKind::kEmpty:
        out += "empty";
        return false;
      case ValueKind::kBool:
      case ValueKind::kSigned:
        out += value.ToText();
        return false;
      case ValueKind::kUnsigned:
        out += value.ToText();
        out += 'u';
        return false;
      case ValueKind::kFloat:
        out += Printf("%.17g", value.GetFloat());
        return false;
      case ValueKind::kString:
        AppendQuoted(out, value.GetString());
        return false;
      case ValueKind::kBlob:
        out += "b64\"" + value.ToText() + "\"";
        return false;
      case ValueKind::kEnum:
        out +=
            Printf("enum(%" PRId32 ",#%08" PRIX32 ")", value.GetEnum().value, value.GetEnum().type);
        return false;
      case ValueKind::kCollection:
        out += '[';
        if (value.Size() != 0) return true;
        out += ']';
        return false;
      case ValueKind::kStructure:
        out += '{';
        if (value.Size() != 0) return true;
        out += '}';
        return false;
    }
    return false;
  };
  if (print(*this)) {
    stack.push({ValueOps::Record(*this), 0, kind_ == ValueKind::kStructure});
  }
  while (!stack.empty()) {
    Frame& frame = stack.top();
    if (frame.next == frame.record->size) {
      out += frame.structure ? '}' : ']';
      stack.pop();
      continue;
    }
    if (frame.next != 0) out += ", ";
    const BindingValue* item;
    if (frame.structure) {
      auto* member = static_cast<const MemberNode*>(frame.record->items[frame.next]);
      AppendQuoted(out, member->name->view());
      out += ": ";
      item = &member->value;
    } else {
      item = static_cast<const BindingValue*>(frame.record->items[frame.next]);
    }
    ++frame.next;
    if (print(*item)) {
      stack.push({ValueOps::Record(*item), 0, item->kind() == ValueKind::kStructure});
    }
  }
  return out;
}

void PrintTo(const BindingValue& value, std::ostream* out) { *out << value.DebugString(); }

BindingValue::TreeStats BindingValue::GetTreeStats() const {
  TreeStats stats;
  if (context_ == nullptr) return stats;
  stats.interned_texts = context_->entry_count;
  stats.intern_buckets = context_->bucket_count;
  const detail::PoolStats pool = context_->pool.Stats();
  stats.pool_slots = pool.live_slots;
  stats.pool_pages = pool.store_pages;
  stats.heap_blocks = pool.heap_blocks;
  return stats;
}

uint32_t BindingValue::InternedReferences(std::string_view text) const {
  if (context_ == nullptr) return 0;
  const InternEntry* entry = context_->Find(text);
  return entry == nullptr ? 0 : entry->references;
}

void BindingValue::BecomeError(std::string_view message) {
  TreeContext* context = ValueOps::EnsureContext(*this);
  // Interned before clearing: the message may be a text of this very tree.
  const InternEntry* entry = message.size() > kMaxBlobSize ? nullptr : context->Intern(message);
  if (entry == nullptr) entry = context->Intern(kLengthErrorMessage);
  if (entry == nullptr) entry = EmptyEntry();
  ClearKeepingHeldParts();
  BindingValue& error = Member("error");
  error.payload_.string = entry;
  error.kind_ = ValueKind::kString;
}

TreeBuilder::TreeBuilder(BindingValue& root)
    : root_(root), items_(inline_items_), frames_(inline_frames_) {
  root.Clear();
  context_ = root.context_;
}

TreeBuilder::~TreeBuilder() {
  if (items_ != inline_items_) delete[] items_;
  if (frames_ != inline_frames_) delete[] frames_;
}

bool TreeBuilder::Open(BindingValue& value, ValueKind kind) {
  if (context_ == nullptr) context_ = ValueOps::EnsureContext(root_);
  ContainerRecord* record = ValueOps::NewRecord(context_);
  value.payload_.container = record;
  value.kind_ = kind;
  if (frame_count_ == frame_capacity_ && !GrowFrames()) {
    context_->length_error = true;
    return false;
  }
  frames_[frame_count_++] = Frame{record, item_count_, kind == ValueKind::kCollection};
  LimitItems();
  return true;
}

bool TreeBuilder::Close() {
  const Frame frame = frames_[--frame_count_];
  const size_t count = item_count_ - frame.first;
  item_count_ = frame.first;
  if (frame_count_ != 0) LimitItems();
  if (count == 0) return true;
  auto** items = static_cast<void**>(context_->pool.Allocate(count * sizeof(void*)));
  if (items == nullptr) {
    context_->length_error = true;
    return false;
  }
  std::memcpy(items, items_ + frame.first, count * sizeof(void*));
  frame.record->items = items;
  frame.record->size = static_cast<uint32_t>(count);
  frame.record->capacity = static_cast<uint32_t>(count);
  return true;
}

void TreeBuilder::LimitItems() {
  item_limit_ = frames_[frame_count_ - 1].first + kMaxCollectionSize;
  item_end_ = item_limit_ < item_capacity_ ? item_limit_ : item_capacity_;
}

[[gnu::noinline]] bool TreeBuilder::MakeRoom() {
  if (item_count_ < item_end_) return true;
  if (item_count_ < item_limit_) {
    const size_t capacity = item_capacity_ * 2;
    auto** grown = new (std::nothrow) void*[capacity];
    if (grown != nullptr) {
      std::memcpy(grown, items_, item_count_ * sizeof(void*));
      if (items_ != inline_items_) delete[] items_;
      items_ = grown;
      item_capacity_ = capacity;
      item_end_ = item_limit_ < item_capacity_ ? item_limit_ : item_capacity_;
      return true;
    }
  }
  context_->length_error = true;
  return false;
}

bool TreeBuilder::GrowFrames() {
  const size_t capacity = frame_capacity_ * 2;
  auto* grown = new (std::nothrow) Frame[capacity];
  if (grown == nullptr) return false;
  std::memcpy(grown, frames_, frame_count_ * sizeof(Frame));
  if (frames_ != inline_frames_) delete[] frames_;
  frames_ = grown;
  frame_capacity_ = capacity;
  return true;
}

BindingValue* TreeBuilder::Append() {
  void* slot;
  if (item_count_ == item_end_ ||
      (slot = context_->pool.TryAllocate(sizeof(BindingValue))) == nullptr) {
    return AppendSlow();
  }
  auto* element = new (slot) BindingValue(context_);
  items_[item_count_++] = element;
  return element;
}

[[gnu::noinline]] BindingValue* TreeBuilder::AppendSlow() {
  if (!MakeRoom()) return nullptr;
  BindingValue* element = ValueOps::NewElement(context_);
  items_[item_count_++] = element;
  return element;
}

BindingValue* TreeBuilder::Member(std::string_view name, TextHash hash) {
  assert(name.size() > kMaxHashedTextSize || hash == TextHash::Of(name));
  // The members of the innermost structure wait in name order at the top of the stack. Keys
  // mostly arrive in name order, or into a new structure: the end is tried first.
  size_t position = item_count_;
  const size_t first = frames_[frame_count_ - 1].first;
  if (position != first) {
    auto* last = static_cast<MemberNode*>(items_[position - 1]);
    const int order = CompareNames(last->name, name);
    if (order >= 0) {
      MemberNode* found = order == 0 ? last : nullptr;
      if (found == nullptr) {
        size_t low = first;
        size_t high = position - 1;
        while (low < high) {
          const size_t middle = low + (high - low) / 2;
          auto* node = static_cast<MemberNode*>(items_[middle]);
          const int compared = CompareNames(node->name, name);
          if (compared == 0) {
            found = node;
            break;
          }
          if (compared < 0) {
            low = middle + 1;
          } else {
            high = middle;
          }
        }
        position = low;
      }
      if (found != nullptr) {
        found->value.Clear();
        return &found->value;
      }
    }
  }
  if (item_count_ == item_end_ && !MakeRoom()) return nullptr;
  const InternEntry* entry =
      name.empty() ? EmptyEntry() : context_->InternBuilding(name, TableHash(name, hash));
  if (entry == nullptr) {
    context_->length_error = true;
    return nullptr;
  }
  void* slot = context_->pool.TryAllocate(sizeof(MemberNode));
  if (slot == nullptr) slot = context_->pool.Allocate(sizeof(MemberNode));
  auto* node = new (slot) MemberNode{entry, BindingValue(context_)};
  const size_t later = item_count_ - position;
  if (later > 8) {
    std::memmove(items_ + position + 1, items_ + position, later * sizeof(void*));
  } else {
    for (size_t i = item_count_; i > position; --i) items_[i] = items_[i - 1];
  }
  items_[position] = node;
  ++item_count_;
  return &node->value;
}

void TreeBuilder::SetString(BindingValue& value, std::string_view text, TextHash hash) {
  assert(text.size() > kMaxHashedTextSize || hash == TextHash::Of(text));
  // The common case, a short text, makes no call; anything else goes to SetStringSlow.
  if (context_ != nullptr && !text.empty() && text.size() <= kMaxHashedTextSize) {
    if (const InternEntry* entry = context_->InternWithoutCall(text, hash.value())) {
      value.payload_.string = entry;
      value.kind_ = ValueKind::kString;
      return;
    }
  }
  SetStringSlow(value, text, hash);
}

[[gnu::noinline]] void TreeBuilder::SetStringSlow(BindingValue& value, std::string_view text,
                                                  TextHash hash) {
  const InternEntry* entry = EmptyEntry();
  if (!text.empty()) {
    if (context_ == nullptr) context_ = ValueOps::EnsureContext(root_);
    entry = text.size() > kMaxBlobSize ? nullptr : context_->Intern(text, TableHash(text, hash));
    if (entry == nullptr) {
      context_->length_error = true;
      return;
    }
  }
  value.payload_.string = entry;
  value.kind_ = ValueKind::kString;
}

}  // namespace sdk::binding
