// The function, type and event entries of the API description, filled from the registry.
#include "sdk/binding/api_entries.h"

#include <cstring>
#include <string>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/function_record.h"
#include "sdk/binding/value_converter.h"

namespace sdk::binding {
namespace {

// The codes the host reads are the header's.
#define SDK_CHECK_TYPE_CODE(code, header) \
  static_assert(static_cast<uint32_t>(TypeCode::code) == header, #code " differs from " #header)
SDK_CHECK_TYPE_CODE(kNone, kPluginTypeNone);
SDK_CHECK_TYPE_CODE(kBool, kPluginTypeBool);
SDK_CHECK_TYPE_CODE(kInt8, kPluginTypeInt8);
SDK_CHECK_TYPE_CODE(kUint8, kPluginTypeUint8);
SDK_CHECK_TYPE_CODE(kInt16, kPluginTypeInt16);
SDK_CHECK_TYPE_CODE(kUint16, kPluginTypeUint16);
SDK_CHECK_TYPE_CODE(kInt32, kPluginTypeInt32);
SDK_CHECK_TYPE_CODE(kUint32, kPluginTypeUint32);
SDK_CHECK_TYPE_CODE(kInt64, kPluginTypeInt64);
SDK_CHECK_TYPE_CODE(kUint64, kPluginTypeUint64);
SDK_CHECK_TYPE_CODE(kFloat, kPluginTypeFloat);
SDK_CHECK_TYPE_CODE(kDouble, kPluginTypeDouble);
SDK_CHECK_TYPE_CODE(kString, kPluginTypeString);
SDK_CHECK_TYPE_CODE(kObject, kPluginTypeObject);
SDK_CHECK_TYPE_CODE(kBlob, kPluginTypeBlob);
SDK_CHECK_TYPE_CODE(kVector, kPluginTypeVector);
SDK_CHECK_TYPE_CODE(kEnum, kPluginTypeEnum);
SDK_CHECK_TYPE_CODE(kStruct, kPluginTypeStruct);
SDK_CHECK_TYPE_CODE(kCallback, kPluginTypeCallback);
SDK_CHECK_TYPE_CODE(kMap, kPluginTypeMap);
#undef SDK_CHECK_TYPE_CODE

// The empty text of type references and of absent names; static, so never freed.
constexpr char kEmptyText[] = "";

uint32_t HostTypeCode(TypeCode code) {
  const auto value = static_cast<uint32_t>(code);
  return value >= 1 && value <= 19 ? value : 0;
}

// The descriptor that describes a member, argument or return value to the host.
const TypeDescriptor& DescribedType(const TypeBinding& binding) {
  return binding.second_type.code != TypeCode::kNone ? binding.second_type : binding.type;
}

template <typename Entry>
std::unique_ptr<Entry[]> NewArray(size_t count) {
  // Value-initialised: every field zero, so each `next` is null until linked.
  return count == 0 ? nullptr : std::make_unique<Entry[]>(count);
}

// Links each entry of an array to the one after it; the last keeps its null `next`.
template <typename Entry>
void LinkArray(Entry* entries, size_t count) {
  for (size_t i = 0; i + 1 < count; ++i) entries[i].next = &entries[i + 1];
}

}  // namespace

PluginTypeReference MakeTypeReference(const TypeBinding& binding) {
  const TypeDescriptor& type = DescribedType(binding);
  PluginTypeReference reference{};
  reference.type_code = HostTypeCode(type.code);
  reference.element_type_code = HostTypeCode(type.element_code);
  reference.type_name = kEmptyText;
  switch (type.code) {
    case TypeCode::kVector:
    case TypeCode::kEnum:
    case TypeCode::kStruct:
    case TypeCode::kMap:
      if (type.type != nullptr) reference.type_name = type.type->name.c_str();
      break;
    default:
      break;
  }
  return reference;
}

namespace {

// The tag array of one entry: the registry's texts, borrowed.
const char* const* TagArray(const std::vector<std::string>& tags,
                            std::vector<std::unique_ptr<const char*[]>>& arrays) {
  if (tags.empty()) return nullptr;
  auto array = std::make_unique<const char*[]>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) array[i] = tags[i].c_str();
  arrays.push_back(std::move(array));
  return arrays.back().get();
}

}  // namespace

std::unique_ptr<ApiEntries> ApiEntries::Build(const BindingRegistry& registry) {
  std::unique_ptr<ApiEntries> entries(new ApiEntries());
  const std::vector<const FunctionRecord*> functions = registry.Functions();
  const std::vector<const TypeRecord*> types = registry.Types();
  const std::vector<const EventRecord*> events = registry.Events();

  entries->function_count_ = static_cast<uint32_t>(functions.size());
  entries->functions_ = NewArray<PluginFunctionEntry>(functions.size());
  for (size_t i = 0; i < functions.size(); ++i) {
    const FunctionRecord& function = *functions[i];
    PluginFunctionEntry& entry = entries->functions_[i];
    entry.name = function.name.c_str();
    entry.name_space = function.name_space.c_str();
    auto arguments = NewArray<PluginArgumentEntry>(function.arguments.size());
    for (size_t a = 0; a < function.arguments.size(); ++a) {
      const FunctionArgument& argument = function.arguments[a];
      arguments[a].name = argument.name.c_str();
      arguments[a].description = argument.description.c_str();
      arguments[a].type = MakeTypeReference(argument);
      arguments[a].optional = argument.optional ? 1 : 0;
    }
    LinkArray(arguments.get(), function.arguments.size());
    entry.arguments = arguments.get();
    entry.argument_count = static_cast<uint32_t>(function.arguments.size());
    if (arguments != nullptr) entries->argument_arrays_.push_back(std::move(arguments));
    entry.returns = MakeTypeReference(function.returns);
    entry.description = function.description.c_str();
    entry.help = function.help.c_str();
    entry.thread_safe = function.thread_safe ? 1 : 0;
    entry.async_event_type = function.async && function.async_event_type != nullptr
                                 ? function.async_event_type->name.c_str()
                                 : kEmptyText;
    entry.tags = TagArray(function.tags, entries->tag_arrays_);
    entry.tag_count = static_cast<uint32_t>(function.tags.size());
  }
  LinkArray(entries->functions_.get(), functions.size());

  entries->type_count_ = static_cast<uint32_t>(types.size());
  entries->types_ = NewArray<PluginTypeEntry>(types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    const TypeRecord& type = *types[i];
    PluginTypeEntry& entry = entries->types_[i];
    entry.name = type.name.c_str();
    entry.name_space = type.name_space.c_str();
    entry.size = type.size;
    entry.description = type.description.c_str();
    entry.tags = TagArray(type.tags, entries->tag_arrays_);
    entry.tag_count = static_cast<uint32_t>(type.tags.size());
    if (!type.members.empty()) {
      auto members = NewArray<PluginMemberEntry>(type.members.size());
      for (size_t m = 0; m < type.members.size(); ++m) {
        const FieldRecord& field = type.members[m];
        members[m].name = field.name.c_str();
        members[m].description = field.description.c_str();
        members[m].offset = field.offset;
        members[m].type = MakeTypeReference(field);
        members[m].optional = field.optional ? 1 : 0;
      }
      LinkArray(members.get(), type.members.size());
      entry.members = members.get();
      entry.count = static_cast<uint32_t>(type.members.size());
      entries->member_arrays_.push_back(std::move(members));
    } else if (!type.enumerators.empty()) {
      auto enumerators = NewArray<PluginEnumeratorEntry>(type.enumerators.size());
      size_t e = 0;
      for (const auto& [name, enumerator] : type.enumerators) {  // in name order
        enumerators[e].name = enumerator.name.c_str();
        enumerators[e].description = enumerator.description.c_str();
        enumerators[e].value = enumerator.value;
        ++e;
      }
      LinkArray(enumerators.get(), type.enumerators.size());
      entry.enumerators = enumerators.get();
      entry.count = static_cast<uint32_t>(type.enumerators.size());
      entries->enumerator_arrays_.push_back(std::move(enumerators));
    }
  }
  LinkArray(entries->types_.get(), types.size());

  entries->event_count_ = static_cast<uint32_t>(events.size());
  entries->events_ = NewArray<PluginEventEntry>(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    const EventRecord& event = *events[i];
    PluginEventEntry& entry = entries->events_[i];
    entry.name = event.name.c_str();
    entry.name_space = event.name_space.c_str();
    entry.payload_type_name =
        event.type.type != nullptr ? event.type.type->name.c_str() : kEmptyText;
    entry.description = event.description.c_str();
    entry.tags = TagArray(event.tags, entries->tag_arrays_);
    entry.tag_count = static_cast<uint32_t>(event.tags.size());
  }
  LinkArray(entries->events_.get(), events.size());
  return entries;
}

const PluginFunctionEntry* ApiEntries::FindFunction(std::string_view name) const {
  for (uint32_t i = 0; i < function_count_; ++i) {
    if (functions_[i].name != nullptr && name == functions_[i].name) return &functions_[i];
  }
  return nullptr;
}

}  // namespace sdk::binding
