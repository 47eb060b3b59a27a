// The host's route table: which endpoint a request goes to, by method and path.
//
// Built once from the endpoints of the plug-in's API description. A path template is literal
// text with placeholders: "{name}" takes one path segment (no "/"), "{+name}" takes the rest
// of the path (any characters), "{#name}" takes a "#" and what follows it. The template syntax
// and the choice among several matching templates follow the plug-in's own routing, so that
// a request the host sends to an endpoint is one that endpoint accepts:
//  - the path is matched without its query (the text from the first "?" on);
//  - a route accepts the request's method when it declares no method (any method) or the same
//    one (and, for a custom method, the same name);
//  - among the routes that accept both path and method, one without placeholders wins at once;
//    otherwise the one whose captured texts are shortest in total (after percent-decoding)
//    wins, the earlier one on a tie.
// A path that no route matches is kNoPath (the host answers 404); a path that some routes match
// but none with the request's method is kNoMethod (405), with the methods that would do.
#ifndef TOOLS_PLUGIN_HOST_ROUTE_TABLE_H_
#define TOOLS_PLUGIN_HOST_ROUTE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/plugin_host/api_description.h"

namespace plugin_host {

class RouteTable {
 public:
  struct RouteSpec {
    uint32_t method = kPluginMethodNone;
    std::string custom_method;
    std::string path_template;
  };

  enum class Outcome { kFound, kNoPath, kNoMethod };

  struct Match {
    Outcome outcome = Outcome::kNoPath;
    size_t route = 0;   // index of the chosen route, for kFound
    std::string allow;  // for kNoMethod: the methods the path takes, "GET, POST"
  };

  RouteTable() = default;
  explicit RouteTable(const std::vector<RouteSpec>& routes);
  // One route per endpoint, in the same order.
  static RouteTable FromEndpoints(const std::vector<EndpointDescription>& endpoints);

  // `path` may carry a query, which is not matched. A method code outside 1..8 counts as none,
  // which only routes that take any method accept.
  Match Find(uint32_t method, std::string_view custom_method, std::string_view path) const;

  size_t size() const { return routes_.size(); }

 private:
  struct Piece {
    enum class Kind { kLiteral, kSegment, kRest } kind;
    std::string literal;
  };
  struct Route {
    uint32_t method;
    std::string custom_method;
    std::vector<Piece> pieces;
    size_t placeholders;
  };

  static Route Compile(const RouteSpec& spec);
  // True when `path` matches; `total` is then the decoded length of all captures.
  static bool Matches(const Route& route, std::string_view path, size_t& total);
  static bool Accepts(const Route& route, uint32_t method, std::string_view custom_method);

  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };

  std::vector<Route> routes_;
  // Routes without placeholders by their path, and the others in order.
  std::unordered_map<std::string, std::vector<size_t>, TextHash, std::equal_to<>> literal_routes_;
  std::vector<size_t> pattern_routes_;
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_ROUTE_TABLE_H_
