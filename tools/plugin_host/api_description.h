// The plug-in's API description as plain C++ data: ReadApiDescription walks the pointer-linked
// record that a plug-in hands over in its load block (PluginApiDescription in
// sdk/host/plugin_abi.h) and copies everything into the structures below, which own their texts
// and stay valid after the plug-in is gone.
//
// The host knows a plug-in only from this record: the route table is built from its endpoints,
// `sanitizer describe`-style printing and the HTTP service's OpenAPI document from its endpoints
// and types. The record comes from outside, so the walk trusts nothing it can check: every
// chain must end, after exactly as many entries as its count says (which also rules out loops);
// a list with entries has a non-zero count and one with a count has entries; type codes,
// argument locations and method codes are in their ranges; required names are present; texts
// end within a bounded length; and the whole walk visits a bounded number of entries. (A
// pointer into unmapped memory cannot be detected, and is the plug-in's fault.)
#ifndef TOOLS_PLUGIN_HOST_API_DESCRIPTION_H_
#define TOOLS_PLUGIN_HOST_API_DESCRIPTION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/host_result.h"

namespace plugin_host {

// A type as the description names it: a PluginTypeCode, the element's code for a vector or map,
// and the registered struct or enum it names (empty otherwise).
struct TypeReference {
  uint32_t code = kPluginTypeNone;
  uint32_t element_code = kPluginTypeNone;
  std::string name;
  friend bool operator==(const TypeReference&, const TypeReference&) = default;
};

struct ParameterDescription {
  std::string name;
  std::string description;
  TypeReference type;
  bool optional = false;
  uint32_t location = kPluginArgumentAnywhere;  // from the endpoint's location list
  friend bool operator==(const ParameterDescription&, const ParameterDescription&) = default;
};

struct EndpointDescription {
  // The function behind the endpoint.
  std::string name;
  std::string name_space;
  std::string description;
  std::string help;
  std::vector<ParameterDescription> parameters;
  TypeReference returns;  // code kPluginTypeNone when nothing is returned
  bool thread_safe = false;
  std::string async_event_type;
  std::vector<std::string> tags;
  // Routing.
  uint32_t method = kPluginMethodNone;  // kPluginMethodNone: any method
  std::string custom_method;            // for kPluginMethodCustom
  std::string path_template;            // as the plug-in declared it (may be empty)
  bool flag = false;
  std::vector<uint32_t> locations;  // the location list as given, one per parameter
  std::vector<std::vector<std::string>> text_lists;
  // What a request for the endpoint is sent to: the request entry and the endpoint context
  // that goes into the request record. Valid while the plug-in is loaded.
  PluginRequestEntry request_entry = nullptr;
  const void* endpoint_context = nullptr;

  // The path template routes are built from: the declared one, or the function's name when
  // none was declared (as the plug-in itself routes it).
  std::string_view RouteTemplate() const {
    return path_template.empty() ? std::string_view(name) : std::string_view(path_template);
  }
  friend bool operator==(const EndpointDescription&, const EndpointDescription&) = default;
};

struct MemberDescription {
  std::string name;
  std::string description;
  uint32_t offset = 0;  // in the plug-in's native record
  TypeReference type;
  bool optional = false;
  friend bool operator==(const MemberDescription&, const MemberDescription&) = default;
};

struct EnumeratorDescription {
  std::string name;
  std::string description;
  int32_t value = 0;
  friend bool operator==(const EnumeratorDescription&, const EnumeratorDescription&) = default;
};

// A struct has members, an enum enumerators; an entry with neither (an empty struct, or an enum
// without enumerators: the record cannot tell them apart) is kEmpty.
enum class TypeKind { kStruct, kEnum, kEmpty };

struct TypeDescription {
  std::string name;
  std::string name_space;
  std::string description;
  uint32_t size = 0;  // of the plug-in's native record
  std::vector<std::string> tags;
  TypeKind kind = TypeKind::kEmpty;
  std::vector<MemberDescription> members;
  std::vector<EnumeratorDescription> enumerators;
  friend bool operator==(const TypeDescription&, const TypeDescription&) = default;
};

struct EventDescription {
  std::string name;
  std::string name_space;
  std::string payload_type;
  std::string description;
  std::vector<std::string> tags;
  friend bool operator==(const EventDescription&, const EventDescription&) = default;
};

struct ApiDescription {
  std::vector<EndpointDescription> endpoints;  // in the record's order
  std::vector<TypeDescription> types;
  std::vector<EventDescription> events;

  // By name; null when absent. The plug-in's lists have no fixed order, so look things up.
  const TypeDescription* FindType(std::string_view name) const;
  const EndpointDescription* FindEndpoint(std::string_view name) const;
  const EventDescription* FindEvent(std::string_view name) const;
};

struct DescriptionLimits {
  uint32_t max_list_entries = 1u << 16;  // entries of any one list
  uint32_t max_entries = 1u << 20;       // entries of all lists together
  uint32_t max_text_bytes = 1u << 20;    // of any one text, without its NUL
};

// Walks the record into an ApiDescription; a null record is an error. The message names the
// entry that was wrong ("endpoint 2 (GetV1Items): parameters: the chain ends after 1 entry, but
// its count is 3").
Result<ApiDescription> ReadApiDescription(const PluginApiDescription* record,
                                          const DescriptionLimits& limits = {});

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT" for codes 1 to 7; "" otherwise.
std::string_view MethodName(uint32_t method);
// The code of a standard method name (exact, upper case), or kPluginMethodNone.
uint32_t MethodCode(std::string_view name);

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_API_DESCRIPTION_H_
