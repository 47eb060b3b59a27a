// YAML to BindingValue through libyaml's event parser (see yaml_adapter.h).
//
// The frame stack holds one frame per node under construction, innermost last: open sequences
// and mappings, and on top the frame of the item that the next event fills. Whether the top
// frame is an open mapping (so that the next scalar is a key) is a property of the frame, not
// of its value's kind, because a repeated key hands out a member that may already hold a
// mapping from its earlier occurrence.
//
// Anchors point at the anchored node in the tree being built (elements and members never
// move), or hold the text of an anchored key. A node can be destroyed only when a repeated key
// overwrites the member that holds it; before that happens, the anchored nodes inside the
// member are copied aside, so that a later alias still finds the value its anchor last had.
#include "sdk/dispatch/yaml_adapter.h"

#include <locale.h>
#include <stdlib.h>
#include <yaml.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "sdk/binding/nesting_limit.h"
#include "sdk/binding/text_to_number.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingResult;
using sdk::binding::BindingValue;
using sdk::binding::kMaxCollectionSize;
using sdk::binding::kMaxNestingDepth;
using sdk::binding::ValueKind;

constexpr std::string_view kMultiDocument = "Multi-document YAML is not supported.";
constexpr std::string_view kInvalidKey =
    "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2";
constexpr std::string_view kUnexpectedSequence =
    "Unexpected start of sequence. At line: %1 col: %2";
constexpr std::string_view kUnexpectedMapping = "Unexpected start of mapping. At line: %1 col: %2";
constexpr std::string_view kDuplicateAnchor =
    "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3";
constexpr std::string_view kCyclicAlias =
    "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3";
constexpr std::string_view kUndefinedAlias =
    "Undefined alias encountered: \"%1\". At line: %2 col: %3";
constexpr std::string_view kUnsupportedTag = "Unsupported YAML tag '%1'.";
constexpr std::string_view kParserError = "YAML parser error: %1. At line: %2 col: %3";
constexpr std::string_view kTooDeep =
    "Nesting deeper than %1 levels is not supported. At line: %2 col: %3";
constexpr std::string_view kExpansionTooLarge =
    "Cannot deserialize aliases that expand to more than %1 values. Alias \"%2\". At line: %3 "
    "col: %4";

constexpr std::string_view kStrTag = YAML_STR_TAG;
constexpr std::string_view kIntTag = YAML_INT_TAG;
constexpr std::string_view kFloatTag = YAML_FLOAT_TAG;
constexpr std::string_view kBoolTag = YAML_BOOL_TAG;

bool IsNullWord(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

bool IsTrueWord(std::string_view text) {
  static constexpr std::string_view kWords[] = {"true", "True", "TRUE", "y",  "Y", "yes",
                                                "Yes",  "YES",  "on",   "On", "ON"};
  for (std::string_view word : kWords) {
    if (text == word) return true;
  }
  return false;
}

bool IsFalseWord(std::string_view text) {
  static constexpr std::string_view kWords[] = {"false", "False", "FALSE", "n",   "N",  "no",
                                                "No",    "NO",    "off",   "Off", "OFF"};
  for (std::string_view word : kWords) {
    if (text == word) return true;
  }
  return false;
}

// strtod in the "C" locale, whatever locale the host process has set.
double StrtodC(const char* text, char** end) {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale != nullptr ? strtod_l(text, end, locale) : strtod(text, end);
}

// Text, line and column of libyaml's data, as the messages print them.
std::string_view View(const yaml_char_t* text) {
  return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : "";
}
size_t Line(const yaml_event_t& event) { return event.start_mark.line + 1; }
size_t Column(const yaml_event_t& event) { return event.start_mark.column + 1; }

// Size of a subtree: its values, and how many containers deep it reaches.
struct TreeSize {
  size_t values = 0;
  size_t height = 0;
};

// Measures `root`, giving up (with values > limit) as soon as it holds more than `limit`.
TreeSize Measure(const BindingValue& root, size_t limit) {
  struct Frame {
    const BindingValue* value;
    size_t depth;
  };
  TreeSize size;
  std::vector<Frame> stack{{&root, 0}};
  while (!stack.empty() && size.values <= limit) {
    const Frame frame = stack.back();
    stack.pop_back();
    ++size.values;
    const BindingValue& value = *frame.value;
    if (value.kind() == ValueKind::kCollection) {
      size.height = std::max(size.height, frame.depth + 1);
      for (const BindingValue& element : value.Elements())
        stack.push_back({&element, frame.depth + 1});
    } else if (value.kind() == ValueKind::kStructure) {
      size.height = std::max(size.height, frame.depth + 1);
      for (const auto& member : value.Members()) stack.push_back({&member.value, frame.depth + 1});
    }
  }
  return size;
}

class Builder {
 public:
  explicit Builder(BindingResult& result) : result_(result) {}

  // Handles one event; the result is failed on an error.
  void Handle(const yaml_event_t& event);

 private:
  enum class FrameKind : uint8_t { kItem, kSequence, kMapping };
  struct Frame {
    BindingValue* target;
    FrameKind kind;
    std::string anchor;  // empty for none (libyaml never reports an empty anchor)
  };
  struct Anchor {
    const BindingValue* node = nullptr;   // the anchored node while it lives in the tree
    std::unique_ptr<BindingValue> saved;  // its last value, once the node was destroyed
    std::string key;                      // the text of an anchored key (no node then)
    bool is_key() const { return node == nullptr && !saved; }
    const BindingValue& value() const { return saved ? *saved : *node; }
  };

  bool InKeyPosition() const {
    return !frames_.empty() && frames_.back().kind == FrameKind::kMapping && !key_pending_;
  }
  // Open containers, the outermost counted as 1.
  size_t Depth() const { return frames_.empty() ? 0 : frames_.size() - 1; }

  void StartDocument();
  // Pushes the frame of the next item: a new element of the innermost sequence, or the member
  // of the pending key of the innermost mapping. Returns false on failure.
  bool PrepareTarget(const yaml_event_t& event);
  void Scalar(const yaml_event_t& event);
  void Resolve(BindingValue& target, std::string_view tag, std::string_view text, bool quoted);
  void StartContainer(const yaml_event_t& event, FrameKind kind);
  void Alias(const yaml_event_t& event);
  bool RecordAnchor(const yaml_event_t& event, std::string_view name, const BindingValue* node,
                    std::string_view key);
  // Copies aside the anchored nodes inside `member`, which is about to be overwritten.
  bool SaveAnchoredNodes(const BindingValue& member, const yaml_event_t& event);
  // Charges `values` to the document's alias budget; fails naming `alias` when exhausted.
  bool Charge(size_t values, std::string_view alias, const yaml_event_t& event);

  BindingResult& result_;
  std::vector<Frame> frames_;
  bool key_pending_ = false;
  std::string pending_key_;
  std::unordered_map<std::string, Anchor> anchors_;
  // Anchored nodes of the tree and their anchor names (a member reused by a repeated key may
  // carry several), for SaveAnchoredNodes.
  std::unordered_map<const BindingValue*, std::vector<std::string>> anchored_nodes_;
  size_t expansion_ = 0;
};

void Builder::Handle(const yaml_event_t& event) {
  switch (event.type) {
    case YAML_STREAM_START_EVENT:
    case YAML_STREAM_END_EVENT:
    case YAML_DOCUMENT_END_EVENT:
    case YAML_NO_EVENT:
      return;
    case YAML_DOCUMENT_START_EVENT:
      StartDocument();
      return;
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT:
      if (!frames_.empty()) frames_.pop_back();
      key_pending_ = false;
      return;
    case YAML_SCALAR_EVENT:
      if (PrepareTarget(event)) Scalar(event);
      return;
    case YAML_SEQUENCE_START_EVENT:
      if (PrepareTarget(event)) StartContainer(event, FrameKind::kSequence);
      return;
    case YAML_MAPPING_START_EVENT:
      if (PrepareTarget(event)) StartContainer(event, FrameKind::kMapping);
      return;
    case YAML_ALIAS_EVENT:
      if (PrepareTarget(event)) Alias(event);
      return;
  }
}

void Builder::StartDocument() {
  if (!result_.value().IsEmpty()) {
    result_.Fail(kMultiDocument);
    return;
  }
  // Anchors belong to their document; the next one starts with none.
  frames_.clear();
  frames_.push_back({&result_.value(), FrameKind::kItem, {}});
  key_pending_ = false;
  anchors_.clear();
  anchored_nodes_.clear();
}

bool Builder::PrepareTarget(const yaml_event_t& event) {
  if (frames_.empty()) {
    // libyaml reports every node inside a document; this is only a safety net.
    result_.Fail(kParserError, "node outside a document", event.start_mark.line,
                 event.start_mark.column);
    return false;
  }
  Frame& top = frames_.back();
  if (top.kind == FrameKind::kSequence) {
    if (top.target->Size() >= kMaxCollectionSize) {
      result_.Fail(sdk::binding::kLengthErrorMessage);
      return false;
    }
    BindingValue& element = top.target->Element(top.target->Size());
    frames_.push_back({&element, FrameKind::kItem, {}});
  } else if (top.kind == FrameKind::kMapping && key_pending_) {
    BindingValue& mapping = *top.target;
    const BindingValue& existing = mapping.FindMember(pending_key_);
    // FindMember gives the shared empty value for an absent key; only a present one is
    // overwritten, and only one that may hold anchored nodes needs saving.
    if (!existing.IsEmpty() && !anchored_nodes_.empty() && !SaveAnchoredNodes(existing, event)) {
      return false;
    }
    if (mapping.Size() >= kMaxCollectionSize) {
      result_.Fail(sdk::binding::kLengthErrorMessage);
      return false;
    }
    BindingValue& member = mapping.Member(pending_key_);
    key_pending_ = false;
    frames_.push_back({&member, FrameKind::kItem, {}});
  }
  return true;
}

bool Builder::SaveAnchoredNodes(const BindingValue& member, const yaml_event_t& event) {
  // The member's node itself stays in the tree (only its content is replaced), so an anchor on
  // it keeps following its current value; the nodes below it are destroyed.
  std::vector<const BindingValue*> stack;
  for (const BindingValue& element : member.Elements()) stack.push_back(&element);
  for (const auto& item : member.Members()) stack.push_back(&item.value);
  while (!stack.empty()) {
    const BindingValue* value = stack.back();
    stack.pop_back();
    if (auto it = anchored_nodes_.find(value); it != anchored_nodes_.end()) {
      for (const std::string& name : it->second) {
        Anchor& anchor = anchors_[name];
        const TreeSize size = Measure(*value, kMaxAliasExpansion - expansion_);
        if (!Charge(size.values, name, event)) return false;
        anchor.saved = std::make_unique<BindingValue>(*value);
        anchor.node = nullptr;
      }
      anchored_nodes_.erase(it);
    }
    for (const BindingValue& element : value->Elements()) stack.push_back(&element);
    for (const auto& item : value->Members()) stack.push_back(&item.value);
  }
  return true;
}

bool Builder::Charge(size_t values, std::string_view alias, const yaml_event_t& event) {
  if (values > kMaxAliasExpansion - expansion_) {
    result_.Fail(kExpansionTooLarge, kMaxAliasExpansion, alias, Line(event), Column(event));
    return false;
  }
  expansion_ += values;
  return true;
}

bool Builder::RecordAnchor(const yaml_event_t& event, std::string_view name,
                           const BindingValue* node, std::string_view key) {
  auto [it, inserted] = anchors_.try_emplace(std::string(name));
  if (!inserted) {
    result_.Fail(kDuplicateAnchor, name, Line(event), Column(event));
    return false;
  }
  it->second.node = node;
  if (node != nullptr) {
    anchored_nodes_[node].push_back(it->first);
  } else {
    it->second.key = key;
  }
  return true;
}

void Builder::Scalar(const yaml_event_t& event) {
  const auto& scalar = event.data.scalar;
  const std::string_view text(reinterpret_cast<const char*>(scalar.value), scalar.length);
  const std::string_view tag = View(scalar.tag);
  const std::string_view anchor = View(scalar.anchor);
  if (InKeyPosition()) {
    if (scalar.tag != nullptr && tag != kStrTag) {
      result_.Fail(kInvalidKey, Line(event), Column(event));
      return;
    }
    pending_key_.assign(text);
    key_pending_ = true;
    if (!anchor.empty()) RecordAnchor(event, anchor, nullptr, text);
    return;
  }
  BindingValue& target = *frames_.back().target;
  const bool quoted = scalar.style == YAML_SINGLE_QUOTED_SCALAR_STYLE ||
                      scalar.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE;
  Resolve(target, scalar.tag != nullptr ? tag : std::string_view(), text, quoted);
  if (!result_.ok()) return;
  if (!anchor.empty() && !RecordAnchor(event, anchor, &target, {})) return;
  frames_.pop_back();
}

void Builder::Resolve(BindingValue& target, std::string_view tag, std::string_view text,
                      bool quoted) {
  if (tag == kStrTag) {
    target.SetString(text);
  } else if (tag == kIntTag) {
    if (!text.empty() && text.front() == '-') {
      int64_t number;
      if (sdk::binding::TextToSigned(result_, text, "yaml", "int64_t", INT64_MIN, INT64_MAX,
                                     &number)) {
        target.SetSigned(number);
      }
    } else {
      uint64_t number;
      if (sdk::binding::TextToUnsigned(result_, text, "yaml", "uint64_t", UINT64_MAX, &number)) {
        target.SetUnsigned(number);
      }
    }
  } else if (tag == kFloatTag) {
    double number;
    if (sdk::binding::TextToDouble(result_, text, "yaml", "double", -1.7976931348623157e308,
                                   1.7976931348623157e308, &number)) {
      target.SetFloat(number);
    }
  } else if (tag == kBoolTag) {
    if (IsTrueWord(text)) {
      target.SetBool(true);
    } else if (IsFalseWord(text)) {
      target.SetBool(false);
    } else {
      target.Clear();  // a word of neither set leaves the value empty, without error
    }
  } else if (!tag.empty()) {
    result_.Fail(kUnsupportedTag, tag);
  } else if (quoted) {
    target.SetString(text);
  } else if (IsNullWord(text)) {
    target.Clear();
  } else {
    // libyaml's scalar texts are NUL-terminated; a text that holds a NUL is not all read.
    char* end = nullptr;
    const double number = StrtodC(text.data(), &end);
    if (end == text.data() + text.size() && number != HUGE_VAL) {
      // A whole number within 64 bits becomes an integer (truncated from the double); a
      // fraction, NaN, -inf or a number beyond 64 bits stays a float.
      if (std::isfinite(number) && std::trunc(number) == number && number >= -0x1p63 &&
          number < 0x1p64) {
        if (number < 0) {
          target.SetSigned(static_cast<int64_t>(number));
        } else {
          target.SetUnsigned(static_cast<uint64_t>(number));
        }
      } else {
        target.SetFloat(number);
      }
    } else if (IsTrueWord(text)) {
      target.SetBool(true);
    } else if (IsFalseWord(text)) {
      target.SetBool(false);
    } else {
      target.SetString(text);
    }
  }
}

void Builder::StartContainer(const yaml_event_t& event, FrameKind kind) {
  if (InKeyPosition()) {
    result_.Fail(kind == FrameKind::kSequence ? kUnexpectedSequence : kUnexpectedMapping,
                 Line(event), Column(event));
    return;
  }
  if (Depth() >= kMaxNestingDepth) {
    result_.Fail(kTooDeep, kMaxNestingDepth, Line(event), Column(event));
    return;
  }
  Frame& top = frames_.back();
  top.target->Clear();  // a repeated key's earlier value is replaced whole
  if (kind == FrameKind::kSequence) {
    top.target->MakeCollection();
  } else {
    top.target->MakeStructure();
  }
  top.kind = kind;
  const std::string_view anchor = kind == FrameKind::kSequence
                                      ? View(event.data.sequence_start.anchor)
                                      : View(event.data.mapping_start.anchor);
  if (!anchor.empty() && RecordAnchor(event, anchor, top.target, {})) top.anchor = anchor;
}

void Builder::Alias(const yaml_event_t& event) {
  const std::string_view name = View(event.data.alias.anchor);
  const auto it = anchors_.find(std::string(name));
  const Anchor* anchor = it != anchors_.end() ? &it->second : nullptr;
  // A node under construction is an open container: one that carries this anchor, or (after a
  // repeated key reused an anchored member for a new container) one that is the anchored node.
  const size_t open = InKeyPosition() ? frames_.size() : frames_.size() - 1;
  for (size_t i = 0; i < open; ++i) {
    if (frames_[i].anchor == name || (anchor != nullptr && anchor->node == frames_[i].target)) {
      result_.Fail(kCyclicAlias, name, Line(event), Column(event));
      return;
    }
  }
  if (anchor == nullptr) {
    result_.Fail(kUndefinedAlias, name, Line(event), Column(event));
    return;
  }
  if (InKeyPosition()) {
    // An alias as a key names the member by the anchored key's text or string value.
    if (anchor->is_key()) {
      pending_key_ = anchor->key;
    } else if (anchor->value().kind() == ValueKind::kString) {
      pending_key_.assign(anchor->value().GetString());
    } else {
      result_.Fail(kInvalidKey, Line(event), Column(event));
      return;
    }
    key_pending_ = true;
    return;
  }
  BindingValue& target = *frames_.back().target;
  if (anchor->is_key()) {
    if (!Charge(1, name, event)) return;
    target.SetString(anchor->key);
  } else if (const BindingValue& source = anchor->value(); &source != &target) {
    // (A repeated key whose member carries the anchor receives its own value: nothing to do.)
    const TreeSize size = Measure(source, kMaxAliasExpansion - expansion_);
    if (!Charge(size.values, name, event)) return;
    if (Depth() + size.height > kMaxNestingDepth) {
      result_.Fail(kTooDeep, kMaxNestingDepth, Line(event), Column(event));
      return;
    }
    target = source;
  }
  frames_.pop_back();
}

// Owns a libyaml parser and deletes it on every path.
class Parser {
 public:
  Parser() : ok_(yaml_parser_initialize(&parser_) != 0) {}
  ~Parser() {
    if (ok_) yaml_parser_delete(&parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  bool ok() const { return ok_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_;
  bool ok_;
};

}  // namespace

bool ParseYaml(BindingResult& result, std::string_view text) {
  result.Reset();
  Parser parser;
  if (!parser.ok()) {
    result.Fail(kParserError, "cannot initialize the parser", 0, 0);
    return false;
  }
  yaml_parser_set_encoding(parser.get(), YAML_UTF8_ENCODING);
  // libyaml refuses a null input pointer, which an empty view may carry.
  const char* input = text.data() != nullptr ? text.data() : "";
  yaml_parser_set_input_string(parser.get(), reinterpret_cast<const unsigned char*>(input),
                               text.size());
  Builder builder(result);
  bool parser_failed = false;
  while (result.ok()) {
    yaml_event_t event;
    if (!yaml_parser_parse(parser.get(), &event)) {
      parser_failed = true;
      break;
    }
    const bool end = event.type == YAML_STREAM_END_EVENT;
    builder.Handle(event);
    yaml_event_delete(&event);
    if (end) break;
  }
  if (result.ok() && parser_failed) {
    const yaml_parser_t& state = *parser.get();
    result.Fail(kParserError, state.problem != nullptr ? state.problem : "unknown problem",
                state.problem_mark.line, state.problem_mark.column);
  }
  if (result.ok() && result.value().HasLengthError()) {
    result.Fail(sdk::binding::kLengthErrorMessage);
  }
  return result.ok();
}

bool ParseYaml(BindingResult& result, const char* text) {
  return ParseYaml(result, text != nullptr ? std::string_view(text) : std::string_view());
}

BindingResult ParseYaml(std::string_view text) {
  BindingResult result;
  ParseYaml(result, text);
  return result;
}

}  // namespace sdk::dispatch
