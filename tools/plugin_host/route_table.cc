// The host's route table (see route_table.h). Templates compile to a list of literal pieces and
// placeholder pieces, matched by a small backtracking matcher with the greedy choices of an
// ECMAScript regular expression: a placeholder first takes as much as it may and gives back one
// character at a time. A step budget bounds the work on templates with several "{+rest}"
// placeholders, which could otherwise backtrack for a very long time on a long path.
#include "tools/plugin_host/route_table.h"

#include <utility>

namespace plugin_host {
namespace {

constexpr int kStepBudget = 1 << 20;

// The length of a captured text after percent-decoding: "%" and two more characters become one
// byte; a "%" with fewer than two characters after it is dropped.
size_t DecodedLength(std::string_view text) {
  size_t length = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '%') {
      if (text.size() - i >= 3) {
        ++length;
        i += 3;
      } else {
        ++i;
      }
    } else {
      ++length;
      ++i;
    }
  }
  return length;
}

}  // namespace

RouteTable::Route RouteTable::Compile(const RouteSpec& spec) {
  Route route{spec.method, spec.custom_method, {}, 0};
  const auto add_literal = [&](std::string_view text) {
    if (text.empty()) return;
    if (!route.pieces.empty() && route.pieces.back().kind == Piece::Kind::kLiteral) {
      route.pieces.back().literal.append(text);
    } else {
      route.pieces.push_back(Piece{Piece::Kind::kLiteral, std::string(text)});
    }
  };
  enum State { kLiteral, kSimple, kReserved, kFragment };
  State state = kLiteral;
  std::string name;  // only its emptiness matters here
  for (const char c : spec.path_template) {
    if (c == '{') {
      state = kSimple;
      continue;
    }
    if (state == kLiteral) {
      if (c != '}') add_literal(std::string_view(&c, 1));
      continue;
    }
    if (c != '}') {
      if (state == kSimple && name.empty() && c == '+') {
        state = kReserved;
      } else if (state == kSimple && name.empty() && c == '#') {
        state = kFragment;
      } else {
        name.push_back(c);
      }
      continue;
    }
    if (state == kFragment) add_literal("#");
    route.pieces.push_back(
        Piece{state == kSimple ? Piece::Kind::kSegment : Piece::Kind::kRest, std::string()});
    ++route.placeholders;
    name.clear();
    state = kLiteral;
  }
  // A placeholder still open at the end adds nothing.
  return route;
}

RouteTable::RouteTable(const std::vector<RouteSpec>& routes) {
  routes_.reserve(routes.size());
  for (const RouteSpec& spec : routes) {
    routes_.push_back(Compile(spec));
    const Route& route = routes_.back();
    if (route.placeholders == 0) {
      literal_routes_[route.pieces.empty() ? std::string() : route.pieces.front().literal]
          .push_back(routes_.size() - 1);
    } else {
      pattern_routes_.push_back(routes_.size() - 1);
    }
  }
}

RouteTable RouteTable::FromEndpoints(const std::vector<EndpointDescription>& endpoints) {
  std::vector<RouteSpec> specs;
  specs.reserve(endpoints.size());
  for (const EndpointDescription& endpoint : endpoints) {
    specs.push_back(
        RouteSpec{endpoint.method, endpoint.custom_method, std::string(endpoint.RouteTemplate())});
  }
  return RouteTable(specs);
}

bool RouteTable::Matches(const Route& route, std::string_view path, size_t& total) {
  if (route.placeholders == 0) {
    total = 0;
    return route.pieces.empty() ? path.empty() : path == route.pieces.front().literal;
  }
  int budget = kStepBudget;
  // Returns the decoded length of the captures of pieces[index...] when they match path[pos...].
  const auto match = [&](auto& self, size_t index, size_t pos, size_t captured) -> bool {
    if (--budget < 0) return false;
    if (index == route.pieces.size()) {
      if (pos != path.size()) return false;
      total = captured;
      return true;
    }
    const Piece& piece = route.pieces[index];
    if (piece.kind == Piece::Kind::kLiteral) {
      if (path.substr(pos).substr(0, piece.literal.size()) != piece.literal) return false;
      return self(self, index + 1, pos + piece.literal.size(), captured);
    }
    size_t end = pos;
    if (piece.kind == Piece::Kind::kSegment) {
      while (end < path.size() && path[end] != '/') ++end;
    } else {
      while (end < path.size() && path[end] != '\n' && path[end] != '\r') ++end;
    }
    for (size_t stop = end + 1; stop-- > pos;) {
      const size_t length = DecodedLength(path.substr(pos, stop - pos));
      if (self(self, index + 1, stop, captured + length)) return true;
      if (budget < 0) return false;
    }
    return false;
  };
  return match(match, 0, 0, 0);
}

bool RouteTable::Accepts(const Route& route, uint32_t method, std::string_view custom_method) {
  if (route.method == kPluginMethodNone) return true;
  if (route.method != method) return false;
  return method != kPluginMethodCustom || route.custom_method == custom_method;
}

RouteTable::Match RouteTable::Find(uint32_t method, std::string_view custom_method,
                                   std::string_view path) const {
  if (method > kPluginMethodCustom) method = kPluginMethodNone;
  if (method != kPluginMethodCustom) custom_method = {};
  const size_t question = path.find('?');
  if (question != std::string_view::npos) path = path.substr(0, question);

  Match match;
  bool path_matched = false;
  const auto literal = literal_routes_.find(path);
  if (literal != literal_routes_.end()) {
    path_matched = true;
    for (const size_t i : literal->second) {
      if (Accepts(routes_[i], method, custom_method)) {
        match.outcome = Outcome::kFound;
        match.route = i;
        return match;
      }
    }
  }
  bool chosen = false;
  size_t chosen_total = 0;
  for (const size_t i : pattern_routes_) {
    const Route& route = routes_[i];
    size_t total = 0;
    if (!Matches(route, path, total)) continue;
    path_matched = true;
    if (!Accepts(route, method, custom_method)) continue;
    if (!chosen || total < chosen_total) {
      chosen = true;
      chosen_total = total;
      match.route = i;
    }
  }
  if (chosen) {
    match.outcome = Outcome::kFound;
    return match;
  }
  match.outcome = path_matched ? Outcome::kNoMethod : Outcome::kNoPath;
  if (path_matched) {
    // Every route that matched the path declares a method (one that takes any would have been
    // chosen); list each once, in route order.
    std::vector<std::string_view> methods;
    for (const Route& route : routes_) {
      size_t total = 0;
      if (!Matches(route, path, total)) continue;
      const std::string_view name = route.method == kPluginMethodCustom
                                        ? std::string_view(route.custom_method)
                                        : MethodName(route.method);
      bool seen = false;
      for (const std::string_view m : methods) seen = seen || m == name;
      if (!seen) methods.push_back(name);
    }
    for (const std::string_view name : methods) {
      if (!match.allow.empty()) match.allow += ", ";
      match.allow += name;
    }
  }
  return match;
}

}  // namespace plugin_host
