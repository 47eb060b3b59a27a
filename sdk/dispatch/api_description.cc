// The endpoint records of the API description and the record handed to the host.
#include "sdk/dispatch/api_description.h"

#include <cstring>
#include <string>
#include <utility>

#include "sdk/binding/binding_registry.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/request_dispatch.h"
#include "sdk/dispatch/route.h"

namespace sdk::dispatch {
namespace {

// The codes the host reads are the header's.
#define SDK_CHECK_CODE(value, header) \
  static_assert(static_cast<uint32_t>(value) == header, #value " differs from " #header)
SDK_CHECK_CODE(HttpMethod::kNone, kPluginMethodNone);
SDK_CHECK_CODE(HttpMethod::kDelete, kPluginMethodDelete);
SDK_CHECK_CODE(HttpMethod::kGet, kPluginMethodGet);
SDK_CHECK_CODE(HttpMethod::kHead, kPluginMethodHead);
SDK_CHECK_CODE(HttpMethod::kOptions, kPluginMethodOptions);
SDK_CHECK_CODE(HttpMethod::kPatch, kPluginMethodPatch);
SDK_CHECK_CODE(HttpMethod::kPost, kPluginMethodPost);
SDK_CHECK_CODE(HttpMethod::kPut, kPluginMethodPut);
SDK_CHECK_CODE(HttpMethod::kCustom, kPluginMethodCustom);
SDK_CHECK_CODE(ArgumentLocation::kUnspecified, kPluginArgumentAnywhere);
SDK_CHECK_CODE(ArgumentLocation::kQuery, kPluginArgumentQuery);
SDK_CHECK_CODE(ArgumentLocation::kPath, kPluginArgumentPath);
SDK_CHECK_CODE(ArgumentLocation::kOther, kPluginArgumentOther);
SDK_CHECK_CODE(ArgumentLocation::kHeader, kPluginArgumentHeader);
SDK_CHECK_CODE(ArgumentLocation::kBody, kPluginArgumentBody);
#undef SDK_CHECK_CODE

uint32_t HostMethodCode(HttpMethod method) {
  const auto code = static_cast<uint32_t>(method);
  return code >= 1 && code <= 8 ? code : 0;
}

uint32_t HostLocationCode(ArgumentLocation location) {
  const auto code = static_cast<uint32_t>(location);
  return code >= 1 && code <= 5 ? code : 0;
}

}  // namespace

std::unique_ptr<ApiDescription> BuildApiDescription(const sdk::binding::BindingRegistry& registry,
                                                    const EndpointTable& endpoint_table) {
  std::unique_ptr<ApiDescription> description(new ApiDescription());
  // A copy of the table's list, taken under the registry's mutex.
  const std::vector<const Endpoint*> endpoints = endpoint_table.Endpoints();
  description->entries_ = sdk::binding::ApiEntries::Build(registry);
  const sdk::binding::ApiEntries& entries = *description->entries_;

  const size_t count = endpoints.size();
  if (count > 0) description->endpoints_ = std::make_unique<PluginEndpointRecord[]>(count);
  for (size_t i = 0; i < count; ++i) {
    const Endpoint& endpoint = *endpoints[i];
    PluginEndpointRecord& record = description->endpoints_[i];
    if (const PluginFunctionEntry* function = entries.FindFunction(endpoint.function().name)) {
      std::memcpy(static_cast<void*>(&record.function), function, sizeof(PluginFunctionEntry));
    }
    record.function.next = i + 1 < count ? &description->endpoints_[i + 1].function : nullptr;
    record.function.endpoint_context = endpoint.context();
    record.request_entry = &HandleRequest;

    const std::span<const ArgumentLocation> locations = endpoint.locations();
    if (!locations.empty()) {
      auto array = std::make_unique<PluginParameterLocationEntry[]>(locations.size());
      for (size_t p = 0; p < locations.size(); ++p) {
        array[p].next = p + 1 < locations.size() ? &array[p + 1] : nullptr;
        array[p].location = HostLocationCode(locations[p]);
      }
      record.locations = array.get();
      description->location_arrays_.push_back(std::move(array));
    }
    record.path_template = endpoint.path_template().c_str();
    record.method = HostMethodCode(endpoint.method());
    record.flag = endpoint.flag() ? 1 : 0;

    const auto& text_lists = endpoint.text_lists();
    if (!text_lists.empty()) {
      auto array = std::make_unique<PluginTextListEntry[]>(text_lists.size());
      for (size_t l = 0; l < text_lists.size(); ++l) {
        const std::vector<std::string>& texts = text_lists[l];
        array[l].next = l + 1 < text_lists.size() ? &array[l + 1] : nullptr;
        if (!texts.empty()) {
          auto pointers = std::make_unique<const char*[]>(texts.size());
          for (size_t t = 0; t < texts.size(); ++t) pointers[t] = texts[t].c_str();
          array[l].texts = pointers.get();
          description->text_arrays_.push_back(std::move(pointers));
        }
        array[l].text_count = static_cast<uint32_t>(texts.size());
      }
      record.text_lists = array.get();
      record.text_list_count = static_cast<uint32_t>(text_lists.size());
      description->text_list_arrays_.push_back(std::move(array));
    }
    record.custom_method = endpoint.custom_method().c_str();
  }

  PluginApiDescription& out = description->record_;
  out.endpoints = description->endpoints_.get();
  out.endpoint_count = static_cast<uint32_t>(count);
  out.types = entries.type_list();
  out.type_count = static_cast<uint32_t>(entries.types().size());
  out.events = entries.event_list();
  out.event_count = static_cast<uint32_t>(entries.events().size());
  return description;
}

}  // namespace sdk::dispatch
