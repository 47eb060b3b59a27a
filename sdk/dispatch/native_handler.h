// Endpoints for C++ functions: one line declares a function as an endpoint, and its handler
// converts the arguments and the result by the function's own signature.
//
//   HandlerResult<SanitizeResponse> Sanitize(const SanitizeRequest& request);
//   DeclareRoute(table, HttpMethod::kPost, "/sanitizer/v1/sanitize", &Sanitize,
//                InBody("request"));
//
// declares the function "PostSanitizerV1Sanitize" with one parameter "request" taken from the
// body, converted into a SanitizeRequest by the registry's value→native conversion, and a
// result converted straight to the response's host value (native→host, which gives what
// native→value and then value→host would, without the value in between). Parameters are named
// in order, one spec per parameter of the function (InBody, InQuery, InPath, InHeader, or
// Anywhere for an argument that may come from any source); the parameter's type comes from the
// signature (native_conversion.h lists the supported types: numbers, bool, std::string,
// BindingValue, registered enums and records, vectors, TextList, maps, and std::optional of
// these for a parameter that the caller may leave out). The records and enums that the
// signature uses must be registered before the declaration.
//
// The function may be a function pointer, a lambda (capturing the plug-in object, say) or any
// object with one non-template call operator. Its result is one of:
//   - a value of a supported type: the call succeeds with it (status 200);
//   - HandlerResult<T>: either a T (status 200) or an HttpError, whose status and message
//     become the response's;
//   - void or HandlerResult<void>: success without a value, or the error.
// A function whose first parameter is `const BindingRequestContext&` or
// `const BindingRequestContext*` receives the request context there; it is not a parameter of
// the declared function.
#ifndef SDK_DISPATCH_NATIVE_HANDLER_H_
#define SDK_DISPATCH_NATIVE_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/binding_request_context.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/function_record.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/static_type.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/handler.h"
#include "sdk/dispatch/route.h"

namespace sdk::dispatch {

// The status of a successful call.
inline constexpr uint32_t kStatusOk = 200;
// The status of a call whose result cannot be converted to a value.
inline constexpr uint32_t kStatusResultNotConvertible = 400;

// A handler's failure: an HTTP status and a message for the caller.
struct HttpError {
  uint32_t status = 500;
  std::string message;
};

// Either the result of a handler or its error.
template <typename T>
class HandlerResult {
 public:
  HandlerResult(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  HandlerResult(HttpError error) : outcome_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return outcome_.index() == 0; }
  // Only when ok().
  T& value() { return *std::get_if<0>(&outcome_); }
  const T& value() const { return *std::get_if<0>(&outcome_); }
  // Only when !ok().
  const HttpError& error() const { return *std::get_if<1>(&outcome_); }

 private:
  std::variant<T, HttpError> outcome_;
};

template <>
class HandlerResult<void> {
 public:
  HandlerResult() = default;
  HandlerResult(HttpError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  const HttpError& error() const { return *error_; }

 private:
  std::optional<HttpError> error_;
};

// The name and argument source of one parameter in a route declaration.
struct ParameterSpec {
  std::string_view name;
  ArgumentLocation location = ArgumentLocation::kUnspecified;
  std::string_view description;
};

constexpr ParameterSpec Anywhere(std::string_view name, std::string_view description = {}) {
  return {name, ArgumentLocation::kUnspecified, description};
}
constexpr ParameterSpec InQuery(std::string_view name, std::string_view description = {}) {
  return {name, ArgumentLocation::kQuery, description};
}
constexpr ParameterSpec InPath(std::string_view name, std::string_view description = {}) {
  return {name, ArgumentLocation::kPath, description};
}
constexpr ParameterSpec InHeader(std::string_view name, std::string_view description = {}) {
  return {name, ArgumentLocation::kHeader, description};
}
constexpr ParameterSpec InBody(std::string_view name, std::string_view description = {}) {
  return {name, ArgumentLocation::kBody, description};
}

namespace detail {

template <typename... T>
struct TypeList {};

// The return type and parameter types of a callable.
template <typename F>
struct CallableSignature : CallableSignature<decltype(&F::operator())> {};
template <typename R, typename... A>
struct CallableSignature<R (*)(A...)> {
  using Return = R;
  using Parameters = TypeList<A...>;
};
template <typename R, typename... A>
struct CallableSignature<R (*)(A...) noexcept> : CallableSignature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableSignature<R (C::*)(A...)> : CallableSignature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableSignature<R (C::*)(A...) const> : CallableSignature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableSignature<R (C::*)(A...) noexcept> : CallableSignature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableSignature<R (C::*)(A...) const noexcept> : CallableSignature<R (*)(A...)> {};

template <typename A>
inline constexpr bool kIsContextParameter =
    (std::is_reference_v<A> &&
     std::is_same_v<std::remove_cvref_t<A>, sdk::binding::BindingRequestContext>) ||
    (std::is_pointer_v<A> && std::is_same_v<std::remove_cv_t<std::remove_pointer_t<A>>,
                                            sdk::binding::BindingRequestContext>);

// What a handler's result means: the value type and whether it may carry an HttpError.
template <typename R>
struct ResultTraits {
  using Value = R;
  static constexpr bool kCanFail = false;
};
template <typename T>
struct ResultTraits<HandlerResult<T>> {
  using Value = T;
  static constexpr bool kCanFail = true;
};

template <typename Value>
sdk::binding::TypeBinding BindReturnType(const sdk::binding::BindingRegistry& registry) {
  if constexpr (std::is_void_v<Value>) {
    return sdk::binding::TypeBinding{};
  } else {
    return sdk::binding::BindNativeType<std::remove_cvref_t<Value>>(registry);
  }
}

// The handler of a function F returning R, with an optional request-context parameter
// (`ContextParameter` void when there is none) and the declared parameters P.
template <typename F, typename R, typename ContextParameter, typename... P>
class NativeHandler final : public Handler {
  using Result = ResultTraits<R>;
  using Stored = std::tuple<std::remove_cvref_t<P>...>;

  struct Call final : HandlerCall {
    Stored arguments;
  };

 public:
  NativeHandler(F function, const sdk::binding::FunctionRecord& record,
                const sdk::binding::BindingRegistry& registry)
      : function_(std::move(function)), record_(&record), registry_(&registry) {}

  static FunctionSignature Signature(const sdk::binding::BindingRegistry& registry) {
    FunctionSignature signature;
    signature.parameters = {sdk::binding::BindNativeType<std::remove_cvref_t<P>>(registry)...};
    signature.returns = BindReturnType<typename Result::Value>(registry);
    return signature;
  }

  HandlerCall* Invoke(CallState& state, std::span<sdk::binding::BindingValue> arguments,
                      void* /*caller_context*/) override {
    if (arguments.size() < sizeof...(P) || record_->arguments.size() < sizeof...(P)) {
      state.result.Fail("Function '%1' was called with %2 of its %3 arguments.", record_->name,
                        static_cast<unsigned long long>(arguments.size()),
                        static_cast<unsigned long long>(sizeof...(P)));
      return nullptr;
    }
    auto call = std::make_unique<Call>();
    ConvertArguments(state, arguments, call->arguments, std::index_sequence_for<P...>{});
    return call.release();
  }

  void Complete(CallState& state, sdk::binding::BindingRequestContext* context, HandlerCall* call,
                void* /*caller_context*/) override {
    auto* const native = static_cast<Call*>(call);
    if (native == nullptr) return;
    if constexpr (std::is_void_v<R>) {
      CallFunction(context, *native);
      state.status_code = kStatusOk;
    } else {
      R outcome = CallFunction(context, *native);
      if constexpr (Result::kCanFail) {
        if (!outcome.ok()) {
          state.status_code = outcome.error().status;
          state.result.Fail(std::string_view(outcome.error().message));
          return;
        }
        if constexpr (!std::is_void_v<typename Result::Value>) {
          StoreResult(state, outcome.value());
        } else {
          state.status_code = kStatusOk;
        }
      } else {
        StoreResult(state, outcome);
      }
    }
  }

  void Release(HandlerCall* call) override { delete static_cast<Call*>(call); }

  const sdk::binding::StaticType& ContextType() const override {
    if constexpr (std::is_void_v<ContextParameter>) {
      return sdk::binding::StaticTypeOf<void>();
    } else if constexpr (std::is_pointer_v<ContextParameter>) {
      return sdk::binding::StaticTypeOf<sdk::binding::BindingRequestContext*>();
    } else {
      return sdk::binding::StaticTypeOf<sdk::binding::BindingRequestContext>();
    }
  }

 private:
  template <size_t... I>
  void ConvertArguments([[maybe_unused]] CallState& state,
                        [[maybe_unused]] std::span<sdk::binding::BindingValue> arguments,
                        [[maybe_unused]] Stored& stored, std::index_sequence<I...> /*indices*/) {
    // Each conversion does nothing once the state has failed, so the first failure stays.
    (ConvertArgument(state, arguments[I], &std::get<I>(stored), I), ...);
  }

  void ConvertArgument(CallState& state, const sdk::binding::BindingValue& value, void* native,
                       size_t index) {
    const sdk::binding::FunctionArgument& parameter = record_->arguments[index];
    parameter.converter->FromValue(state.result, native, value, parameter.name,
                                   parameter.converter_type, registry_);
  }

  decltype(auto) CallFunction(sdk::binding::BindingRequestContext* context, Call& call) {
    return std::apply(
        [&](auto&... arguments) -> R {
          if constexpr (std::is_void_v<ContextParameter>) {
            return std::invoke(function_, static_cast<P&&>(arguments)...);
          } else if constexpr (std::is_pointer_v<ContextParameter>) {
            return std::invoke(function_, context, static_cast<P&&>(arguments)...);
          } else {
            sdk::binding::BindingRequestContext empty;
            return std::invoke(function_, context != nullptr ? *context : empty,
                               static_cast<P&&>(arguments)...);
          }
        },
        call.arguments);
  }

  // The result goes straight to a host value for the response, as converting it to a value and
  // that value to a host value would give it, without the value in between.
  template <typename Value>
  void StoreResult(CallState& state, const Value& value) {
    state.result.value().Clear();
    bool complete = true;
    HostValue& host = state.host_result.Set(true);
    if (sdk::binding::ConvertToHostValue(state.result, host, &value, record_->returns, registry_,
                                         &complete)) {
      state.host_result.set_complete(complete);
    } else {
      state.host_result.Reset();
    }
    state.status_code = state.result.ok() ? kStatusOk : kStatusResultNotConvertible;
  }

  F function_;
  const sdk::binding::FunctionRecord* record_;
  const sdk::binding::BindingRegistry* registry_;
};

template <typename F, typename R, typename List>
struct HandlerFor;
template <typename F, typename R>
struct HandlerFor<F, R, TypeList<>> {
  using Type = NativeHandler<F, R, void>;
  static constexpr size_t kParameterCount = 0;
};
template <typename F, typename R, typename First, typename... Rest>
struct HandlerFor<F, R, TypeList<First, Rest...>> {
  using Type = std::conditional_t<kIsContextParameter<First>, NativeHandler<F, R, First, Rest...>,
                                  NativeHandler<F, R, void, First, Rest...>>;
  static constexpr size_t kParameterCount =
      kIsContextParameter<First> ? sizeof...(Rest) : sizeof...(Rest) + 1;
};

template <typename F>
using HandlerTraits =
    HandlerFor<F, typename CallableSignature<F>::Return, typename CallableSignature<F>::Parameters>;

}  // namespace detail

// Declares `function` under `function_name` (EndpointTable::Declare) with the signature and
// handler derived from its type. The parameters are unnamed until the parameter builder names
// them.
template <typename F>
EndpointBuilder DeclareEndpoint(EndpointTable& table, std::string_view function_name, F function) {
  using Traits = detail::HandlerTraits<std::decay_t<F>>;
  using NativeHandler = typename Traits::Type;
  return table.Declare(function_name, NativeHandler::Signature(table.registry()),
                       [&](const sdk::binding::FunctionRecord& record) -> std::unique_ptr<Handler> {
                         return std::make_unique<NativeHandler>(std::move(function), record,
                                                                table.registry());
                       });
}

// Declares `function` as the endpoint of `method` and `path`: the function is named
// FunctionNameFor(method, path), and each spec names one parameter, in order, with its
// location. Returns the endpoint's builder for tags and descriptions; inactive when the
// function was declared before.
template <typename F, typename... Specs>
EndpointBuilder DeclareRoute(EndpointTable& table, HttpMethod method, std::string_view path,
                             F function, const Specs&... parameters) {
  using Traits = detail::HandlerTraits<std::decay_t<F>>;
  static_assert((std::is_same_v<Specs, ParameterSpec> && ...),
                "parameters are declared with Anywhere, InQuery, InPath, InHeader or InBody");
  static_assert(sizeof...(Specs) == Traits::kParameterCount,
                "declare one parameter for each parameter of the function, in order");
  EndpointBuilder builder =
      DeclareEndpoint(table, FunctionNameFor(method, path), std::move(function));
  builder.Path(path).Method(method);
  [[maybe_unused]] ParameterBuilder parameter_builder = builder.Parameters();
  (parameter_builder.Parameter(parameters.name, parameters.location, parameters.description), ...);
  return builder;
}

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_NATIVE_HANDLER_H_
