// The deepest nesting of containers that any reader of the system accepts.
//
// Documents come from outside the process, and a value tree is walked by code that may keep
// one frame per level (the JSON and YAML parsers' own bookkeeping, conversions to native
// records and to host values). A fixed limit, far above what any real request needs, makes a
// few hundred kilobytes of "[" or of 0x91 bytes an ordinary error instead of a threat to the
// stack. The MessagePack, JSON and YAML readers and the conversion from host values all refuse
// a document whose containers nest deeper than this.
#ifndef SDK_BINDING_NESTING_LIMIT_H_
#define SDK_BINDING_NESTING_LIMIT_H_

#include <cstddef>

namespace sdk::binding {

// Containers (collections and structures) open at one time, the outermost counted as 1. A
// scalar inside kMaxNestingDepth containers is accepted; a container inside them is not.
inline constexpr size_t kMaxNestingDepth = 512;

}  // namespace sdk::binding

#endif  // SDK_BINDING_NESTING_LIMIT_H_
