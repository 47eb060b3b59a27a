// Endpoints: the binding of each declared function to its handler, method, path template and
// per-parameter argument locations, and the table that owns them.
//
// An EndpointTable lives beside a BindingRegistry (the plug-in owns both) and uses the
// registry's mutex for its map, so that types, functions and endpoints are guarded by one lock.
// Declaring an endpoint registers its function in the registry's function table (name,
// parameter types, return type) and creates the endpoint; the builders that the declaration
// returns then set the path, the method and the parameters' names and locations:
//
//   DeclareEndpoint(table, "PostItems", signature, make_handler)
//       .Path("/v1/items").Method(HttpMethod::kPost)
//       .Parameters().BodyParameter("request");
//
// (native_handler.h does all of this from a C++ function in one line, DeclareRoute.)
//
// Declarations are first-wins: when the registry already has a function of the name, the
// declaration changes nothing and its builders are inactive (every setter does nothing).
// Declarations happen at start-up, before requests are served: the builders write the endpoint
// and the function record without a lock, and requests read them without one. Endpoints live
// as long as the table; a registry Reset invalidates their function records, so the table must
// be cleared (Clear) before the registry is reset.
#ifndef SDK_DISPATCH_ENDPOINT_H_
#define SDK_DISPATCH_ENDPOINT_H_

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/function_record.h"
#include "sdk/binding/value_converter.h"
#include "sdk/dispatch/handler.h"
#include "sdk/dispatch/route.h"

namespace sdk::dispatch {

class Endpoint;

// What the host passes back in every request for an endpoint (the request record's endpoint
// context): the registry that owns the function and the endpoint.
struct EndpointContext {
  const sdk::binding::BindingRegistry* registry = nullptr;
  const Endpoint* endpoint = nullptr;
};

class Endpoint {
 public:
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  const sdk::binding::FunctionRecord& function() const { return *function_; }
  Handler& handler() const { return *handler_; }
  // Empty until a path is declared (the route then uses the function's name).
  const std::string& path_template() const { return path_template_; }
  // kNone (any method) until declared.
  HttpMethod method() const { return method_; }
  // Only for kCustom; empty otherwise.
  const std::string& custom_method() const { return custom_method_; }
  // A flag and text lists that the endpoint only keeps; the API description passes them to the
  // host with the endpoint.
  bool flag() const { return flag_; }
  const std::vector<std::vector<std::string>>& text_lists() const { return text_lists_; }
  // One entry per declared parameter (at least one per parameter of the function).
  std::span<const ArgumentLocation> locations() const { return locations_; }
  // The location of parameter `index`; kUnspecified beyond the list.
  ArgumentLocation location(size_t index) const {
    return index < locations_.size() ? locations_[index] : ArgumentLocation::kUnspecified;
  }
  // The compiled route, kept up to date with the path template.
  const Route& route() const { return route_; }
  // The address that the host passes back as the request record's endpoint context.
  const EndpointContext* context() const { return &context_; }

 private:
  friend class EndpointTable;
  friend class EndpointBuilder;
  friend class ParameterBuilder;

  Endpoint(const sdk::binding::BindingRegistry& registry, sdk::binding::FunctionRecord& function,
           std::unique_ptr<Handler> handler);
  void SetPath(std::string_view path_template);

  sdk::binding::FunctionRecord* function_;
  std::unique_ptr<Handler> handler_;
  std::string path_template_;
  HttpMethod method_ = HttpMethod::kNone;
  std::string custom_method_;
  bool flag_ = false;
  std::vector<std::vector<std::string>> text_lists_;
  std::vector<ArgumentLocation> locations_;
  Route route_;
  EndpointContext context_;
};

// Names and locates the parameters of a declared function, in order.
class ParameterBuilder {
 public:
  bool active() const { return endpoint_ != nullptr; }
  // The index of the next parameter to describe.
  size_t next_index() const { return index_; }

  // Describes the next parameter: its name and description (through the function record) and
  // where its argument may come from. A parameter beyond the function's arguments gets a
  // location entry only.
  ParameterBuilder& Parameter(std::string_view name, ArgumentLocation location,
                              std::string_view description = {});
  // Parameter(name, kBody, description): the request body goes to the first such parameter.
  ParameterBuilder& BodyParameter(std::string_view name, std::string_view description = {}) {
    return Parameter(name, ArgumentLocation::kBody, description);
  }

 private:
  friend class EndpointBuilder;
  explicit ParameterBuilder(Endpoint* endpoint) : endpoint_(endpoint) {}

  Endpoint* endpoint_;
  size_t index_ = 0;
};

// Sets the fields of a newly declared endpoint and its function record.
class EndpointBuilder {
 public:
  bool active() const { return endpoint_ != nullptr; }
  // The endpoint being built; null when inactive.
  const Endpoint* endpoint() const { return endpoint_; }

  // Stores the template; one trailing "/" is removed from a template longer than one
  // character ("/a/" → "/a", "/" stays).
  EndpointBuilder& Path(std::string_view path_template);
  // A standard method (or kNone for any); empties the custom method name.
  EndpointBuilder& Method(HttpMethod method);
  // The custom method code with its name.
  EndpointBuilder& CustomMethod(std::string_view name);
  EndpointBuilder& Flag(bool flag);
  EndpointBuilder& TextList(std::vector<std::string> texts);
  // Fields of the function record.
  EndpointBuilder& Description(std::string_view description);
  EndpointBuilder& Help(std::string_view help);
  EndpointBuilder& NameSpace(std::string_view name_space);
  EndpointBuilder& ThreadSafe(bool thread_safe);
  // Appends the tags in order; empty tags are ignored.
  EndpointBuilder& Tags(std::initializer_list<std::string_view> tags);
  // Appends a whole list, empty entries included.
  EndpointBuilder& Tags(std::span<const std::string> tags);

  // A builder for the parameters, starting with the first.
  ParameterBuilder Parameters() const { return ParameterBuilder(endpoint_); }

 private:
  friend class EndpointTable;
  explicit EndpointBuilder(Endpoint* endpoint) : endpoint_(endpoint) {}

  Endpoint* endpoint_;
};

// The parameter types and return type of a function, as the registry describes them.
struct FunctionSignature {
  std::vector<sdk::binding::TypeBinding> parameters;
  // code kNone when the function returns nothing.
  sdk::binding::TypeBinding returns;
};

// Makes the handler of a newly declared function; called only when the declaration is active.
using HandlerFactory =
    std::function<std::unique_ptr<Handler>(const sdk::binding::FunctionRecord& function)>;

class EndpointTable {
 public:
  explicit EndpointTable(sdk::binding::BindingRegistry& registry);
  ~EndpointTable();
  EndpointTable(const EndpointTable&) = delete;
  EndpointTable& operator=(const EndpointTable&) = delete;

  sdk::binding::BindingRegistry& registry() const { return *registry_; }

  // Declares a function: when the registry has no function of that name, registers one with
  // the signature's parameters (unnamed until the parameter builder names them) and return
  // type, creates its endpoint with the handler that `make_handler` returns and all parameter
  // locations unspecified, and returns an active builder. Otherwise nothing changes and the
  // builder is inactive.
  EndpointBuilder Declare(std::string_view function_name, const FunctionSignature& signature,
                          const HandlerFactory& make_handler);

  // The endpoint of a function, or null.
  const Endpoint* Find(const sdk::binding::FunctionRecord& function) const;
  // The endpoint of the function of that name, or null.
  const Endpoint* FindByName(std::string_view function_name) const;
  // The endpoints in the order of their declaration.
  std::vector<const Endpoint*> Endpoints() const;

  // Destroys every endpoint; their contexts must no longer be used.
  void Clear();

 private:
  sdk::binding::BindingRegistry* registry_;
  std::unordered_map<const sdk::binding::FunctionRecord*, std::unique_ptr<Endpoint>> endpoints_;
  std::vector<const Endpoint*> order_;
};

// EndpointTable::Declare as a free function, the form that declarations read best in.
inline EndpointBuilder DeclareEndpoint(EndpointTable& table, std::string_view function_name,
                                       const FunctionSignature& signature,
                                       const HandlerFactory& make_handler) {
  return table.Declare(function_name, signature, make_handler);
}

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_ENDPOINT_H_
