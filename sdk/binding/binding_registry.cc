// BindingRegistry, TypeRecord and TypeBuilder (see binding_registry.h): the type maps, the
// function and event tables, and first-wins registration under the registry's mutex.
#include "sdk/binding/binding_registry.h"

#include "sdk/binding/builtin_types.h"

namespace sdk::binding {
namespace {

template <typename Record, typename Map>
std::pair<Record*, bool> FindOrAdd(std::vector<std::unique_ptr<Record>>& list, Map& by_name,
                                   std::string_view name) {
  if (const auto it = by_name.find(name); it != by_name.end()) {
    return {it->second, false};
  }
  auto record = std::make_unique<Record>();
  record->name = std::string(name);
  Record* const raw = record.get();
  list.push_back(std::move(record));
  by_name.emplace(raw->name, raw);
  return {raw, true};
}

template <typename Record, typename Map>
const Record* Find(const Map& by_name, std::string_view name) {
  const auto it = by_name.find(name);
  return it == by_name.end() ? nullptr : it->second;
}

template <typename Record>
std::vector<const Record*> Snapshot(const std::vector<std::unique_ptr<Record>>& list) {
  std::vector<const Record*> out;
  out.reserve(list.size());
  for (const auto& record : list) out.push_back(record.get());
  return out;
}

}  // namespace

bool TypeRecord::HasEnumerator(int32_t value) const {
  for (const auto& entry : enumerators) {
    if (entry.second.value == value) return true;
  }
  return false;
}

const EnumValueRecord* TypeRecord::FindEnumerator(std::string_view enumerator_name) const {
  const auto it = enumerators.find(enumerator_name);
  return it == enumerators.end() ? nullptr : &it->second;
}

TypeBuilder::TypeBuilder(BindingRegistry& registry, uint32_t size, std::string_view name,
                         const StaticType& static_type, bool is_enum)
    : registry_(&registry) {
  const std::lock_guard<std::mutex> lock(registry.mutex_);
  if (registry.types_by_name_.find(name) != registry.types_by_name_.end()) return;
  auto record = std::make_unique<TypeRecord>();
  record->size = size;
  record->is_enum = is_enum;
  record->name = std::string(name);
  record->static_id = static_type.id();
  record->static_type = &static_type;
  record->registry = &registry;
  record_ = record.get();
  registry.types_.push_back(std::move(record));
  registry.types_by_name_.emplace(record_->name, record_);
  if (!static_type.IsNoType()) {
    // A second name registered for the same native type does not take the identity over.
    registry.types_by_id_.emplace(record_->static_id, record_);
  }
}

TypeBuilder& TypeBuilder::AddMember(std::string_view name, std::string_view description,
                                    uint32_t offset, const TypeBinding& binding, uint32_t flags) {
  if (record_ == nullptr) return *this;
  FieldRecord field;
  static_cast<TypeBinding&>(field) = binding;
  field.name = std::string(name);
  field.name_hash = TextHash::Of(name);
  field.description = std::string(description);
  field.offset = offset;
  field.flags = flags;
  field.owner = record_;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  record_->members.push_back(std::move(field));
  return *this;
}

TypeBuilder& TypeBuilder::AddEnumerator(std::string_view name, int32_t value,
                                        std::string_view description) {
  if (record_ == nullptr) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  EnumValueRecord& enumerator = record_->enumerators[std::string(name)];
  enumerator.value = value;
  enumerator.name = std::string(name);
  enumerator.description = std::string(description);
  enumerator.owner = record_;
  return *this;
}

TypeBuilder& TypeBuilder::SetDescription(std::string_view description) {
  if (record_ == nullptr) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  record_->description = std::string(description);
  return *this;
}

TypeBuilder& TypeBuilder::SetNameSpace(std::string_view name_space) {
  if (record_ == nullptr) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  record_->name_space = std::string(name_space);
  return *this;
}

TypeBuilder& TypeBuilder::AddTag(std::string_view tag) {
  if (record_ == nullptr || tag.empty()) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  record_->tags.emplace_back(tag);
  return *this;
}

TypeBuilder& TypeBuilder::AddTags(std::span<const std::string> tags) {
  if (record_ == nullptr) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  record_->tags.insert(record_->tags.end(), tags.begin(), tags.end());
  return *this;
}

TypeBuilder& TypeBuilder::AddTags(std::initializer_list<std::string_view> tags) {
  if (record_ == nullptr) return *this;
  const std::lock_guard<std::mutex> lock(registry_->mutex_);
  for (const std::string_view tag : tags) record_->tags.emplace_back(tag);
  return *this;
}

BindingRegistry::BindingRegistry() { RegisterBuiltins(*this); }

BindingRegistry::~BindingRegistry() = default;

const TypeRecord* BindingRegistry::FindType(uint32_t static_id) const {
  if (static_id == kNoTypeId) return nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = types_by_id_.find(static_id);
  return it == types_by_id_.end() ? nullptr : it->second;
}

const TypeRecord* BindingRegistry::FindTypeByName(std::string_view name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Find<TypeRecord>(types_by_name_, name);
}

std::optional<std::string_view> BindingRegistry::EnumeratorName(uint32_t static_id,
                                                                int32_t value) const {
  const TypeRecord* const type = FindType(static_id);
  if (type == nullptr) return std::nullopt;
  // Enumerators are added at registration only; the record is read as the conversions read it.
  for (const auto& [name, enumerator] : type->enumerators) {
    if (enumerator.value == value) return std::string_view(enumerator.name);
  }
  return std::nullopt;
}

std::vector<const TypeRecord*> BindingRegistry::Types() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Snapshot(types_);
}

std::pair<FunctionRecord*, bool> BindingRegistry::FindOrAddFunction(std::string_view name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return FindOrAdd(functions_, functions_by_name_, name);
}

const FunctionRecord* BindingRegistry::FindFunction(std::string_view name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Find<FunctionRecord>(functions_by_name_, name);
}

std::vector<const FunctionRecord*> BindingRegistry::Functions() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Snapshot(functions_);
}

std::pair<EventRecord*, bool> BindingRegistry::FindOrAddEvent(std::string_view name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return FindOrAdd(events_, events_by_name_, name);
}

const EventRecord* BindingRegistry::FindEvent(std::string_view name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Find<EventRecord>(events_by_name_, name);
}

std::vector<const EventRecord*> BindingRegistry::Events() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Snapshot(events_);
}

void BindingRegistry::ClearTables() {
  // The records are destroyed outside the lock.
  std::vector<std::unique_ptr<TypeRecord>> types;
  std::vector<std::unique_ptr<FunctionRecord>> functions;
  std::vector<std::unique_ptr<EventRecord>> events;
  const std::lock_guard<std::mutex> lock(mutex_);
  types_by_name_.clear();
  types_by_id_.clear();
  functions_by_name_.clear();
  events_by_name_.clear();
  types.swap(types_);
  functions.swap(functions_);
  events.swap(events_);
}

void BindingRegistry::Reset() {
  ClearTables();
  RegisterBuiltins(*this);
}

}  // namespace sdk::binding
