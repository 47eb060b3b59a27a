// ParseYaml: turns a YAML text into a BindingValue.
//
// Serves request bodies in YAML and argument texts that begin with "---". libyaml's event
// parser tokenises and parses; the adapter consumes its events, resolves scalars to typed
// values, handles anchors and aliases and reports errors with line and column:
//  - one document only, and only string scalars as mapping keys;
//  - a scalar with a tag is resolved by the tag (!!str, !!int, !!float, !!bool; any other tag
//    is an error); a quoted scalar is a string; a plain one is null for "", "~", "null",
//    "Null" and "NULL", a number when strtod reads all of it (except positive infinity), a
//    boolean for the YAML 1.1 words (yes/no/on/off/y/n/true/false in three casings), and
//    otherwise a string;
//  - a repeated key reuses its member, so the last value wins;
//  - an alias receives a copy of its anchor's node; an alias to a node still being built is
//    refused as cyclic.
// Two bounds keep a hostile document from exhausting the process: containers may nest at most
// kMaxNestingDepth deep (aliases included), and the copies made for aliases may add at most
// kMaxAliasExpansion values to a document, which stops "billion laughs" documents whose
// aliases of aliases grow exponentially.
#ifndef SDK_DISPATCH_YAML_ADAPTER_H_
#define SDK_DISPATCH_YAML_ADAPTER_H_

#include <cstddef>
#include <string_view>

#include "sdk/binding/binding_result.h"

namespace sdk::dispatch {

// Values that alias copies may add to one document, scalars and containers counted alike.
inline constexpr size_t kMaxAliasExpansion = 100000;

// Parses `text` (its whole length; libyaml stops at a NUL byte with an error) into `result`,
// which is reset first. Returns result.ok(); on failure the result carries only the error text.
bool ParseYaml(sdk::binding::BindingResult& result, std::string_view text);
// The NUL-terminated form; null reads as the empty text.
bool ParseYaml(sdk::binding::BindingResult& result, const char* text);

sdk::binding::BindingResult ParseYaml(std::string_view text);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_YAML_ADAPTER_H_
