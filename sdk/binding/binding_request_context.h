// The request context that the dispatch layer hands to a handler that asks for one, and the
// two identities by which a handler asks for it.
//
// A handler names the static type of the context it wants (StaticTypeOf<void>() for none). The
// host and the dispatch layer know the two request-context types only by their fixed
// identities: 0x466F9860 is BindingRequestContext itself (a handler that takes the context by
// reference) and 0x89462EBF is a pointer to it (a handler that takes it by pointer).
#ifndef SDK_BINDING_BINDING_REQUEST_CONTEXT_H_
#define SDK_BINDING_BINDING_REQUEST_CONTEXT_H_

#include <cstdint>
#include <map>
#include <string>

#include "sdk/binding/static_type.h"

namespace sdk::binding {

class BindingRegistry;

struct BindingRequestContext {
  // The host's opaque caller context of the request, passed through.
  void* caller_context = nullptr;
  // The system clock when the request was dispatched: 100-nanosecond units since 1970-01-01.
  int64_t time = 0;
  // The registry that owns the function.
  const BindingRegistry* registry = nullptr;
  std::string path;
  uint32_t method = 0;
  // Only for the custom method code (8).
  std::string custom_method;
  std::map<std::string, std::string> headers;
};

inline constexpr uint32_t kRequestContextTypeId = 0x466F9860;
inline constexpr uint32_t kRequestContextPointerTypeId = 0x89462EBF;

template <>
struct StaticTypeTraits<BindingRequestContext> {
  static constexpr std::string_view kSignature = "sdk::binding::BindingRequestContext";
  static constexpr uint32_t kId = kRequestContextTypeId;
  static constexpr std::string_view kDisplay = {};
};

template <>
struct StaticTypeTraits<BindingRequestContext*> {
  static constexpr std::string_view kSignature = "sdk::binding::BindingRequestContext*";
  static constexpr uint32_t kId = kRequestContextPointerTypeId;
  static constexpr std::string_view kDisplay = {};
};

template <>
struct StaticTypeTraits<const BindingRequestContext*> : StaticTypeTraits<BindingRequestContext*> {};

// Whether a handler that names `static_type` wants a request context.
constexpr bool IsRequestContextType(const StaticType& static_type) {
  return static_type.id() == kRequestContextTypeId ||
         static_type.id() == kRequestContextPointerTypeId;
}

}  // namespace sdk::binding

#endif  // SDK_BINDING_BINDING_REQUEST_CONTEXT_H_
