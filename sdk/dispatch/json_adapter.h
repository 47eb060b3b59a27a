// ParseJson: turns a JSON text into a BindingValue.
//
// Serves request bodies and argument texts in JSON and the JSON answers of the host's
// resources. RapidJSON's event reader does the parsing (in its iterative mode, so that it keeps
// its own stack on the heap); the adapter builds the value from the events:
//  - objects become structures (a repeated key reuses its member, so the last one wins), arrays
//    collections, strings strings, true/false booleans, null an empty value;
//  - an integer below zero that fits 64 bits becomes signed, one of zero or above unsigned,
//    any other number a float;
//  - a text stops at its first NUL byte, so an escaped "\u0000" cuts a string or a key;
//  - an empty or blank document gives an empty value without error.
// Errors read "Error: <RapidJSON's English message> at offset <byte offset>.", the offset
// counted from the start of the text. Containers nested deeper than kMaxNestingDepth are an
// error of the same form.
#ifndef SDK_DISPATCH_JSON_ADAPTER_H_
#define SDK_DISPATCH_JSON_ADAPTER_H_

#include <string>
#include <string_view>

#include "sdk/binding/binding_result.h"

namespace sdk::dispatch {

// Parses the NUL-terminated `text` (null reads as the empty text) into `result`, which is reset
// first. Returns result.ok(); on failure the result carries the error text and no partial
// document.
bool ParseJson(sdk::binding::BindingResult& result, const char* text);
// The same over a string's characters; like the NUL-terminated form, it stops at the first NUL.
bool ParseJson(sdk::binding::BindingResult& result, const std::string& text);
// The same over counted bytes (a request body, say), which need no NUL after them.
bool ParseJson(sdk::binding::BindingResult& result, std::string_view text);

// Convenience forms returning the result.
sdk::binding::BindingResult ParseJson(const char* text);
sdk::binding::BindingResult ParseJson(const std::string& text);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_JSON_ADAPTER_H_
