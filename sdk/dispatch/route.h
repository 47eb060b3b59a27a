// Routes: method codes, argument locations, path templates and the matcher that picks the
// endpoint of a request.
//
// Every function that the plug-in offers is bound to one endpoint: a method and a path template
// such as "/sanitizer/v1/status" or "/v1/items/{id}/{+rest}". CompileRoute turns a template into
// a Route (a literal path, or an ECMAScript pattern with one capture group per placeholder), and
// FindRoute tests a request's method and path against routes, filling a RouteMatch with the
// chosen function and endpoint and the percent-decoded values of the placeholders.
//
// Template syntax: "{name}" matches one path segment (no "/"), "{+name}" any text, "{#name}" a
// literal "#" followed by any text. Everything else is literal. A template without "{" matches
// only the identical path. The request path is matched as received: a query after "?" is part
// of the matched text, so a literal route does not match a path that carries a query.
//
// A template with placeholders compiles to an ECMAScript pattern ("/v1/items/([^/]*)/(.*)"),
// kept as text, and to the list of its pieces, which the matcher runs. The matcher gives the
// answer and the captures of an ECMAScript backtracking engine on that pattern (every group as
// long as the rest of the pattern allows, from left to right) without recursion, in time and
// memory linear in the path's length for a given template, so that no path the host sends can
// exhaust the stack of the thread it arrives on.
//
// FunctionNameFor derives the name of a declared function from its method and path
// (GET /sanitizer/v1/status → GetSanitizerV1Status).
#ifndef SDK_DISPATCH_ROUTE_H_
#define SDK_DISPATCH_ROUTE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sdk::binding {
struct FunctionRecord;
}  // namespace sdk::binding

namespace sdk::dispatch {

class Endpoint;

// Method codes, shared with the host.
enum class HttpMethod : uint32_t {
  kNone = 0,  // in an endpoint: any method
  kDelete = 1,
  kGet = 2,
  kHead = 3,
  kOptions = 4,
  kPatch = 5,
  kPost = 6,
  kPut = 7,
  kCustom = 8,  // named by a separate text, the custom method name
};

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"; the empty text for any other code
// (none and custom included).
std::string_view MethodName(HttpMethod method);

// A method code as received from the host: codes outside 1..8 count as none.
HttpMethod MethodFromHostCode(uint32_t code);

// Where an argument of an endpoint's parameter may come from.
enum class ArgumentLocation : uint32_t {
  kUnspecified = 0,  // anywhere
  kQuery = 1,
  kPath = 2,
  kOther = 3,  // a location that no argument source supplies
  kHeader = 4,
  kBody = 5,
};

// The name of the function that a route declaration creates: the method's name with its first
// letter kept and the rest lower-cased, then "/" and the path (or the path alone for a method
// without a name), in upper camel case: "!", "+", "-", ".", "/" and "_" are dropped and
// capitalise the next character, "{" becomes "By" and capitalises, "}" is dropped.
// (kPost, "/sanitizer/v1/sanitize") → "PostSanitizerV1Sanitize"; a placeholder "{id}" gives
// "ById".
std::string FunctionNameFor(HttpMethod method, std::string_view path);

// Decodes a captured path text or a query text: "+" becomes a space, "%" and the two characters
// after it become one byte (hexadecimal digits, either case; a character that is not a
// hexadecimal digit counts as 0), a "%" with fewer than two characters after it is dropped,
// everything else is copied.
std::string PercentDecode(std::string_view text);

enum class PlaceholderKind : uint8_t {
  kSimple = 1,    // "{name}": one segment
  kReserved = 2,  // "{+name}": any text
  kFragment = 3,  // "{#name}": "#" and any text
};

struct PathPlaceholder {
  PlaceholderKind kind = PlaceholderKind::kSimple;
  std::string name;
  friend bool operator==(const PathPlaceholder&, const PathPlaceholder&) = default;
};

// One piece of a compiled pattern: literal bytes or a capture group.
struct PatternPiece {
  enum class Kind : uint8_t {
    kLiteral,  // `literal`, byte for byte
    kSegment,  // "([^/]*)": any bytes but "/"
    kAny,      // "(.*)": any bytes but the line terminators "\n" and "\r", as ECMAScript's "."
  };
  Kind kind = Kind::kLiteral;
  std::string literal;
  friend bool operator==(const PatternPiece&, const PatternPiece&) = default;
};

// The compiled form of one endpoint's template.
struct Route {
  const sdk::binding::FunctionRecord* function = nullptr;
  const Endpoint* endpoint = nullptr;
  // The template itself when it holds no "{"; empty otherwise.
  std::string literal_path;
  // Present only when the template holds a "{": the ECMAScript pattern's text and its pieces,
  // one group piece per placeholder.
  bool has_pattern = false;
  std::string pattern_text;
  std::vector<PatternPiece> pieces;
  // In order of appearance; placeholder i belongs to capture group i + 1.
  std::vector<PathPlaceholder> placeholders;
};

// Compiles a path template (algorithm: one pass with a literal/placeholder state; see the file
// comment for the syntax). An unterminated placeholder at the end is dropped; a "}" outside a
// placeholder is dropped. The route's function and endpoint are left null.
Route CompileTemplate(std::string_view path_template);

// The route of an endpoint: its path template, or its function's name when no path was
// declared, compiled; function and endpoint set.
Route CompileRoute(const Endpoint& endpoint);

// The request side of a match and, after FindRoute, the choice.
struct RouteMatch {
  HttpMethod method = HttpMethod::kNone;
  // Compared only with endpoints declared with the custom method code.
  std::string_view custom_method;
  // The request path, query included; it must outlive the match.
  std::string_view path;
  // Filled by FindRoute.
  const sdk::binding::FunctionRecord* function = nullptr;
  const Endpoint* endpoint = nullptr;
  // Placeholder name → percent-decoded captured text.
  std::map<std::string, std::string, std::less<>> path_arguments;
};

// Tests the routes in order (path, then method unless `ignore_method`) and keeps as the choice
// the first route that passes, replaced by a later one whose decoded path arguments are shorter
// in total; a choice without path arguments ends the search. Fills the match's function,
// endpoint and path arguments from the choice and returns whether a route was chosen.
bool FindRoute(std::span<const Route> routes, RouteMatch& match, bool ignore_method = false);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_ROUTE_H_
