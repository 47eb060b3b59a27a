// Argument binding and body decoding: how the raw texts of a request (headers, path
// placeholders, query pairs) and its body become the BindingValues of a call's arguments.
//
// A named argument is a parameter name optionally followed by a dotted index path,
// "name.seg.seg…": a segment that starts with a decimal digit is a collection index (decimal,
// "0x" hexadecimal or "0" octal), any other segment names a structure member; the raw text lands
// at the end of the path. Without an index path an empty text makes a bool true and an object,
// struct or vector parameter empty, and any other text is decoded by DecodeArgumentText:
// MessagePack, JSON or YAML when the content type says so or, for object, struct and vector
// parameters, when the text looks like one of them; otherwise a string (which the handler's
// conversion reads as a number, a bool, … as the parameter's type wants).
//
// Failures fail the BindingResult with exact texts ("Unknown argument '%1' for '%2'.", …); the
// first failure stops the binding. Two bounds keep a request from exhausting the process: an
// index path may create at most CallState::index_elements_left collection elements in one call
// ("Index %1 is out of range" beyond), and it may have at most kMaxNestingDepth segments.
#ifndef SDK_DISPATCH_ARGUMENT_BINDING_H_
#define SDK_DISPATCH_ARGUMENT_BINDING_H_

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "sdk/binding/binding_result.h"
#include "sdk/binding/binding_value.h"
#include "sdk/binding/function_record.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/handler.h"
#include "sdk/dispatch/route.h"

namespace sdk::dispatch {

// Query pairs, by name in byte order.
using QueryArguments = std::map<std::string, std::string, std::less<>>;

// Splits a query text at every "&" (empty pieces included); a piece is "name=value" (split at
// its first "=") or a bare name with an empty value; names and values are percent-decoded. A
// later duplicate name overwrites an earlier one. The empty text gives no pairs.
QueryArguments ParseQuery(std::string_view text);

// Binds a header, path or query argument: `name` (a parameter name and an optional index path)
// must name a parameter of `function`, and the endpoint must allow `location` for it. Fails
// `state` and returns false with:
//   "Unknown argument '%1' for '%2'."                                (no such parameter)
//   "Argument '%1' for '%2' was specified in an invalid location."   (declared elsewhere)
//   "Expected value for argument '%1'."                              (empty text, no default)
//   "Index %1 is in an incorrect format" / "Index %1 is out of range" (index path)
// or the message of DecodeArgumentText.
bool BindNamedArgument(CallState& state, std::span<sdk::binding::BindingValue> arguments,
                       const sdk::binding::FunctionRecord& function, const Endpoint& endpoint,
                       std::string_view name, std::string_view raw, ArgumentLocation location);

// Decodes one argument text into `target`, by the first rule that applies:
//  1. content type starting with "application/x-msgpack" (any case), or `structured` with no
//     content type and a text whose first byte opens a MessagePack map or array (0x80–0x9F,
//     0xDC–0xDF): MessagePack;
//  2. "application/json", or structured and the first character after leading spaces is "{"
//     or "[": JSON;
//  3. "text/x-yaml", or structured and the text after leading spaces begins with "---": YAML;
//  4. "application/octet-stream": a blob of the text's bytes;
//  5. otherwise a string.
// A decoder's failure fails `result` with "Couldn't deserialize <MessagePack|JSON|YAML> value
// for parameter '%1' of '%2': %3" (%1 `name`, %2 the function's name, %3 the decoder's message)
// and returns false.
bool DecodeArgumentText(sdk::binding::BindingResult& result, sdk::binding::BindingValue& target,
                        const sdk::binding::FunctionRecord& function, std::string_view name,
                        std::string_view raw, std::string_view content_type, bool structured);

// Decodes a request body by its content type (compared by prefix, in any case):
// "application/x-msgpack" → MessagePack, which must use every byte ("Extra MessgePack data
// found in body" otherwise); "application/json" and "application/vnd.api+json" → JSON;
// "application/x-yaml" → YAML; anything else fails with "Unsupported body content type". JSON
// and YAML bodies are texts that end at their first NUL byte or after `size` bytes, whichever
// comes first. `result` is reset first and holds the value or the failure; returns result.ok().
bool DecodeBody(sdk::binding::BindingResult& result, std::string_view content_type,
                const void* body, size_t size);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_ARGUMENT_BINDING_H_
