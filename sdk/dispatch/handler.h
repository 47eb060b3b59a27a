// Handler: the callable object stored in an endpoint, and CallState, what one call of it
// produces for the host's response.
//
// The dispatcher (request_dispatch.h) gathers a call's arguments as BindingValues and drives the
// handler in three steps: Invoke turns the values into the function's native arguments (or
// fails the call state with the conversion's message), Complete calls the function and writes
// its outcome into the call state, and Release destroys what Invoke made. ContextType names the
// request context the function wants (binding_request_context.h), or void for none.
//
// Handlers for C++ functions are made by the templates of native_handler.h; a hand-written
// handler derives from Handler directly.
#ifndef SDK_DISPATCH_HANDLER_H_
#define SDK_DISPATCH_HANDLER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "sdk/binding/binding_request_context.h"
#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/static_type.h"

namespace sdk::dispatch {

// A response delivered as a byte stream instead of a value. Ownership moves to the host's
// response record, which reads it through the record's stream hooks; the stream is destroyed
// when the host closes it or, at the latest, releases the record.
class ResponseStream {
 public:
  virtual ~ResponseStream() = default;
  // Delivers up to `*length` bytes into `buffer`, sets `*length` to the number delivered and
  // `*more` to whether further bytes follow. Returns false on failure.
  virtual bool Read(void* buffer, uint32_t* length, bool* more) = 0;
  // The size announced to the host, in bytes.
  virtual uint32_t size() const = 0;
};

// The index-path elements (argument_binding.h) that binding may create for one call, so that a
// request cannot make the dispatcher build arbitrarily large collections.
inline constexpr uint32_t kMaxIndexedElementsPerCall = 65536;

// The outcome of one call, from which the dispatcher fills the host's response record.
struct CallState {
  // The result value, or the failure (the structure {"error": message}).
  sdk::binding::BindingResult result;
  // The result already converted to a host value, which the dispatcher then hands to the
  // response as it is instead of converting `result`'s value: native handlers convert their
  // native result straight to one. Only while `result` is ok; incomplete when memory for part
  // of it could not be had, which answers 400 as when the dispatcher's own conversion fails.
  sdk::binding::OwnedHostValue host_result;
  // Copied into the response unchanged; codes other than 1, 2 and 3 reach it as 0.
  uint8_t flags = 0;
  uint32_t code = 0;
  // The HTTP status; 0 until the handler (or a failure of the dispatcher) sets one.
  uint32_t status_code = 0;
  std::string content_type;
  std::map<std::string, std::string> headers;
  std::unique_ptr<ResponseStream> stream;

  // Index-path elements that binding may still create for this call.
  uint32_t index_elements_left = kMaxIndexedElementsPerCall;

  bool ok() const { return result.ok(); }
};

// What Invoke makes for one call (the native arguments) and Release destroys.
class HandlerCall {
 public:
  virtual ~HandlerCall() = default;
};

class Handler {
 public:
  Handler() = default;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Converts the argument values (one per parameter of the function, in parameter order) into
  // the function's native arguments. Fails `state` with the conversion's message when one
  // does not convert. May return null; whatever it returns is later passed to Release.
  virtual HandlerCall* Invoke(CallState& state, std::span<sdk::binding::BindingValue> arguments,
                              void* caller_context) = 0;
  // Calls the function with the arguments that Invoke made and writes its outcome into `state`:
  // on success the returned record as a value and a status; on a handler error the status and
  // the message that the function gave. `context` is the request context when ContextType names
  // one of the two request-context types, else null.
  virtual void Complete(CallState& state, sdk::binding::BindingRequestContext* context,
                        HandlerCall* call, void* caller_context) = 0;
  // Destroys what Invoke returned.
  virtual void Release(HandlerCall* call) = 0;
  // Two slots that the dispatcher does not call; kept so that a handler has the same six
  // operations everywhere it is described.
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  // The static type of the request context the function wants; StaticTypeOf<void>() for none.
  virtual const sdk::binding::StaticType& ContextType() const = 0;

  virtual ~Handler() = default;
};

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_HANDLER_H_
