// The endpoint table and the declaration builders.
#include "sdk/dispatch/endpoint.h"

#include <mutex>
#include <utility>

namespace sdk::dispatch {

using sdk::binding::BindingRegistry;
using sdk::binding::FunctionArgument;
using sdk::binding::FunctionRecord;

Endpoint::Endpoint(const BindingRegistry& registry, FunctionRecord& function,
                   std::unique_ptr<Handler> handler)
    : function_(&function),
      handler_(std::move(handler)),
      locations_(function.arguments.size(), ArgumentLocation::kUnspecified),
      context_{&registry, this} {
  route_ = CompileRoute(*this);
}

void Endpoint::SetPath(std::string_view path_template) {
  if (path_template.size() > 1 && path_template.back() == '/') path_template.remove_suffix(1);
  path_template_ = std::string(path_template);
  route_ = CompileRoute(*this);
}

ParameterBuilder& ParameterBuilder::Parameter(std::string_view name, ArgumentLocation location,
                                              std::string_view description) {
  if (endpoint_ == nullptr) return *this;
  if (endpoint_->locations_.size() <= index_) {
    endpoint_->locations_.resize(index_ + 1, ArgumentLocation::kUnspecified);
  }
  endpoint_->locations_[index_] = location;
  std::vector<FunctionArgument>& arguments = endpoint_->function_->arguments;
  if (index_ < arguments.size()) {
    arguments[index_].name = std::string(name);
    arguments[index_].description = std::string(description);
  }
  ++index_;
  return *this;
}

EndpointBuilder& EndpointBuilder::Path(std::string_view path_template) {
  if (endpoint_ != nullptr) endpoint_->SetPath(path_template);
  return *this;
}

EndpointBuilder& EndpointBuilder::Method(HttpMethod method) {
  if (endpoint_ != nullptr) {
    endpoint_->method_ = method;
    endpoint_->custom_method_.clear();
  }
  return *this;
}

EndpointBuilder& EndpointBuilder::CustomMethod(std::string_view name) {
  if (endpoint_ != nullptr) {
    endpoint_->method_ = HttpMethod::kCustom;
    endpoint_->custom_method_ = std::string(name);
  }
  return *this;
}

EndpointBuilder& EndpointBuilder::Flag(bool flag) {
  if (endpoint_ != nullptr) endpoint_->flag_ = flag;
  return *this;
}

EndpointBuilder& EndpointBuilder::TextList(std::vector<std::string> texts) {
  if (endpoint_ != nullptr) endpoint_->text_lists_.push_back(std::move(texts));
  return *this;
}

EndpointBuilder& EndpointBuilder::Description(std::string_view description) {
  if (endpoint_ != nullptr) endpoint_->function_->description = std::string(description);
  return *this;
}

EndpointBuilder& EndpointBuilder::Help(std::string_view help) {
  if (endpoint_ != nullptr) endpoint_->function_->help = std::string(help);
  return *this;
}

EndpointBuilder& EndpointBuilder::NameSpace(std::string_view name_space) {
  if (endpoint_ != nullptr) endpoint_->function_->name_space = std::string(name_space);
  return *this;
}

EndpointBuilder& EndpointBuilder::ThreadSafe(bool thread_safe) {
  if (endpoint_ != nullptr) endpoint_->function_->thread_safe = thread_safe;
  return *this;
}

EndpointBuilder& EndpointBuilder::Tags(std::initializer_list<std::string_view> tags) {
  if (endpoint_ == nullptr) return *this;
  for (const std::string_view tag : tags) {
    if (!tag.empty()) endpoint_->function_->tags.emplace_back(tag);
  }
  return *this;
}

EndpointBuilder& EndpointBuilder::Tags(std::span<const std::string> tags) {
  if (endpoint_ == nullptr) return *this;
  endpoint_->function_->tags.insert(endpoint_->function_->tags.end(), tags.begin(), tags.end());
  return *this;
}

EndpointTable::EndpointTable(BindingRegistry& registry) : registry_(&registry) {}

EndpointTable::~EndpointTable() = default;

EndpointBuilder EndpointTable::Declare(std::string_view function_name,
                                       const FunctionSignature& signature,
                                       const HandlerFactory& make_handler) {
  const auto [function, created] = registry_->FindOrAddFunction(function_name);
  if (!created) return EndpointBuilder(nullptr);
  // The new record is ours to fill; nothing reads it before registration ends.
  function->arguments.clear();
  for (const sdk::binding::TypeBinding& parameter : signature.parameters) {
    FunctionArgument argument;
    static_cast<sdk::binding::TypeBinding&>(argument) = parameter;
    function->arguments.push_back(std::move(argument));
  }
  function->returns = signature.returns;

  std::unique_ptr<Handler> handler = make_handler ? make_handler(*function) : nullptr;
  if (handler == nullptr) return EndpointBuilder(nullptr);
  auto endpoint =
      std::unique_ptr<Endpoint>(new Endpoint(*registry_, *function, std::move(handler)));
  Endpoint* const created_endpoint = endpoint.get();
  {
    const std::lock_guard<std::mutex> lock(registry_->mutex());
    const auto [it, inserted] = endpoints_.emplace(function, std::move(endpoint));
    if (!inserted) return EndpointBuilder(nullptr);
    order_.push_back(created_endpoint);
  }
  return EndpointBuilder(created_endpoint);
}

const Endpoint* EndpointTable::Find(const FunctionRecord& function) const {
  const std::lock_guard<std::mutex> lock(registry_->mutex());
  const auto it = endpoints_.find(&function);
  return it == endpoints_.end() ? nullptr : it->second.get();
}

const Endpoint* EndpointTable::FindByName(std::string_view function_name) const {
  const FunctionRecord* const function = registry_->FindFunction(function_name);
  return function == nullptr ? nullptr : Find(*function);
}

std::vector<const Endpoint*> EndpointTable::Endpoints() const {
  const std::lock_guard<std::mutex> lock(registry_->mutex());
  return order_;
}

void EndpointTable::Clear() {
  std::unordered_map<const FunctionRecord*, std::unique_ptr<Endpoint>> endpoints;
  {
    const std::lock_guard<std::mutex> lock(registry_->mutex());
    endpoints.swap(endpoints_);
    order_.clear();
  }
}

}  // namespace sdk::dispatch
