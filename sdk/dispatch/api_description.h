// ApiDescription: the record that the plug-in hands its host in the load block, describing
// every endpoint the host may call, every registered type and every declared event.
//
// BuildApiDescription reads the registry (ApiEntries, sdk/binding/api_entries.h) and the
// endpoint table and builds, per declared endpoint in declaration order, one PluginEndpointRecord
// (sdk/host/plugin_abi.h): a copy of its function's entry (all zero when the registry has no
// function of that name), then the request entry the host calls for it (HandleRequest), one
// parameter-location entry per entry of the endpoint's location list, the path template, the
// method (codes 1-8; anything else 0), the flag, one text-list entry per text list of the
// endpoint and the custom method name. Inside the copy, `next` links the endpoint records (null
// in the last) and `endpoint_context` is the address of the endpoint's context
// (dispatch::EndpointContext), which the host passes back in every request record for it.
//
// The record hands over the endpoint records (not the plain function entries, so a function
// without an endpoint is not callable) and the type and event lists of ApiEntries unchanged.
//
// Ownership and lifetime: the description owns every array it points to, each sized exactly
// (empty lists are null with a count of 0); the texts belong to the registry and the endpoints.
// It is valid while the registry, the endpoint table and their records are unchanged, which for
// a plug-in is from registration to the end of Stop. It is neither copied nor moved.
#ifndef SDK_DISPATCH_API_DESCRIPTION_H_
#define SDK_DISPATCH_API_DESCRIPTION_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sdk/binding/api_entries.h"
#include "sdk/host/plugin_abi.h"

namespace sdk::binding {
class BindingRegistry;
}  // namespace sdk::binding

namespace sdk::dispatch {

class EndpointTable;

class ApiDescription {
 public:
  ApiDescription(const ApiDescription&) = delete;
  ApiDescription& operator=(const ApiDescription&) = delete;

  // The record for the load block.
  const PluginApiDescription* record() const { return &record_; }
  std::span<const PluginEndpointRecord> endpoints() const {
    return {endpoints_.get(), record_.endpoint_count};
  }
  // The function, type and event entries the endpoint records were copied from.
  const sdk::binding::ApiEntries& entries() const { return *entries_; }

 private:
  friend std::unique_ptr<ApiDescription> BuildApiDescription(
      const sdk::binding::BindingRegistry& registry, const EndpointTable& endpoints);
  ApiDescription() = default;

  PluginApiDescription record_{};
  std::unique_ptr<sdk::binding::ApiEntries> entries_;
  std::unique_ptr<PluginEndpointRecord[]> endpoints_;
  std::vector<std::unique_ptr<PluginParameterLocationEntry[]>> location_arrays_;
  std::vector<std::unique_ptr<PluginTextListEntry[]>> text_list_arrays_;
  std::vector<std::unique_ptr<const char*[]>> text_arrays_;
};

// Builds the description of everything declared in `registry` and `endpoints` (the table that
// lives beside that registry). Called once registration is complete.
std::unique_ptr<ApiDescription> BuildApiDescription(const sdk::binding::BindingRegistry& registry,
                                                    const EndpointTable& endpoints);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_API_DESCRIPTION_H_
