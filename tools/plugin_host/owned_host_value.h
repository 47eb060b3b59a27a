// Host values on the host's side: HostValueView reads one in place, OwnedHostValue owns one.
//
// A host value (sdk/host/plugin_abi.h) is the flat, tagged record in which values cross the
// boundary. The host meets two kinds:
//  - values the plug-in made (results of a request entry, event payloads). They live in the
//    plug-in's memory until the record that carries them is released, so the host either reads
//    them in place through a HostValueView before the release, or copies them first with
//    OwnedHostValue::CopyOf, which checks every tag and pointer on the way;
//  - values the host makes (answers of its resource providers, published event payloads, typed
//    arguments of a call). An OwnedHostValue holds such a value with every buffer allocated by
//    the host, so the plug-in can borrow it for the length of one call.
//
// An OwnedHostValue only ever holds the tags 0 to 4, 6 (text), 8 (bytes), 9 and 10 (with owned
// keys); a copy of a borrowed text or blob (tags 5, 7) becomes 6 or 8. Copies are deep.
#ifndef TOOLS_PLUGIN_HOST_OWNED_HOST_VALUE_H_
#define TOOLS_PLUGIN_HOST_OWNED_HOST_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/host_result.h"

namespace plugin_host {

enum class HostValueKind {
  kEmpty,
  kBool,
  kSigned,
  kUnsigned,
  kFloat,
  kString,      // tags 5 and 6
  kBlob,        // tags 7 and 8
  kCollection,  // tag 9
  kStructure,   // tag 10
  kUnknown,     // any other tag
};

// The kind of a tag; kUnknown for tags above 10.
HostValueKind KindOfTag(uint32_t tag);

// A read-only look at a host value that someone else owns. Cheap to copy. Reading never goes
// beyond what the value's own counts say, and a null pointer reads as empty, so a view of a
// malformed value gives wrong answers (kUnknown, empty texts) rather than a crash; a count
// larger than the array behind it cannot be detected and is the maker's fault.
class HostValueView {
 public:
  HostValueView();  // an empty value
  explicit HostValueView(const HostValue* value);

  const HostValue* get() const { return value_; }
  uint32_t tag() const { return value_->tag; }
  HostValueKind kind() const { return KindOfTag(value_->tag); }
  bool IsEmpty() const { return kind() == HostValueKind::kEmpty; }

  // Scalars; a value of another kind reads as false or 0.
  bool AsBool() const;
  int64_t AsSigned() const;     // a signed value, or an unsigned one cast
  uint64_t AsUnsigned() const;  // an unsigned value, or a signed one cast
  double AsFloat() const;
  // The bytes of a text or blob (the count says how many; a text's NUL is not included);
  // empty for other kinds.
  std::string_view AsString() const;

  // Elements of a collection or entries of a structure; 0 for other kinds.
  uint32_t size() const;
  // Element `index` of a collection; an empty value when out of range or not a collection.
  HostValueView operator[](uint32_t index) const;
  // Entry `index` of a structure: its key (empty when null) and value.
  std::string_view key(uint32_t index) const;
  HostValueView value(uint32_t index) const;
  // The value of the last structure entry with that key (a repeated key replaces an earlier
  // one, as the plug-in reads it); nothing when absent or not a structure.
  std::optional<HostValueView> Find(std::string_view key) const;

  // Deep equality of content: tags 5 and 6 (and 7 and 8) are the same kind; floats compare as
  // doubles; structures compare entry by entry in order.
  friend bool operator==(HostValueView a, HostValueView b);

 private:
  const HostValue* value_;
};

// Bounds on what OwnedHostValue::CopyOf accepts from outside, so that a wrong count cannot make
// the host allocate without bound or recurse too deep.
struct CopyLimits {
  uint32_t max_depth = 512;                // containers open at one time
  uint64_t max_bytes = uint64_t{1} << 30;  // texts, bytes and arrays together
};

// Checks a value made elsewhere without copying it: the same checks as OwnedHostValue::CopyOf
// except the byte limit. The message is CopyOf's.
Status CheckHostValue(HostValueView value, uint32_t max_depth = CopyLimits{}.max_depth);

struct HostMember;

class OwnedHostValue {
 public:
  OwnedHostValue();  // empty (tag 0)
  ~OwnedHostValue();
  OwnedHostValue(const OwnedHostValue& other);  // deep copy
  OwnedHostValue& operator=(const OwnedHostValue& other);
  OwnedHostValue(OwnedHostValue&& other) noexcept;
  OwnedHostValue& operator=(OwnedHostValue&& other) noexcept;

  // Texts, blobs and containers carry a 32-bit count: at most 2^32 - 1 bytes or items (more
  // are cut off).
  static OwnedHostValue Bool(bool value);
  static OwnedHostValue Signed(int64_t value);
  static OwnedHostValue Unsigned(uint64_t value);
  static OwnedHostValue Float(double value);
  static OwnedHostValue String(std::string_view text);
  static OwnedHostValue Blob(std::string_view bytes);
  static OwnedHostValue Collection(std::vector<OwnedHostValue> elements);
  // Entries keep the given order; repeated keys are kept as given.
  static OwnedHostValue Structure(std::vector<HostMember> members);

  // A deep copy of a value made elsewhere (typically by the plug-in). Fails on a tag above 10,
  // on a null pointer with a non-zero count, on nesting deeper than limits.max_depth and when
  // the copy would exceed limits.max_bytes; the message says what was wrong and where
  // ("unknown host value tag 11 at [2].name").
  static Result<OwnedHostValue> CopyOf(HostValueView value, const CopyLimits& limits = {});

  HostValueView view() const { return HostValueView(&value_); }
  // The root record, for handing to the plug-in as a borrowed value. Valid while this object
  // lives and is not changed.
  const HostValue& get() const { return value_; }

  HostValueKind kind() const { return view().kind(); }

 private:
  HostValue value_;
};

struct HostMember {
  std::string key;
  OwnedHostValue value;
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_OWNED_HOST_VALUE_H_
