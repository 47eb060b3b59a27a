// Route compilation and matching: templates into literal paths or ECMAScript patterns, percent-
// decoding of captured texts, and the selection among matching routes.
#include "sdk/dispatch/route.h"

#include <array>
#include <cstdint>
#include <utility>

#include "sdk/binding/function_record.h"
#include "sdk/dispatch/endpoint.h"

namespace sdk::dispatch {

namespace {

constexpr std::array<std::string_view, 8> kMethodNames = {"",        "DELETE", "GET",  "HEAD",
                                                          "OPTIONS", "PATCH",  "POST", "PUT"};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The value of a hexadecimal digit; any other character counts as 0.
uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

bool IsPatternSpecial(char c) {
  switch (c) {
    case '^':
    case '$':
    case '.':
    case '*':
    case '+':
    case '?':
    case '(':
    case ')':
    case '[':
    case ']':
    case '|':
    case '\\':
      return true;
    default:
      return false;
  }
}

// Whether the endpoint accepts the request's method: an endpoint without a method accepts any;
// otherwise code and custom name must both be equal (the names are empty for standard methods).
bool MethodAccepted(const Endpoint* endpoint, const RouteMatch& match) {
  if (endpoint == nullptr || endpoint->method() == HttpMethod::kNone) return true;
  return endpoint->method() == match.method && endpoint->custom_method() == match.custom_method;
}

// Whether a capture group may take the byte.
bool GroupTakes(PatternPiece::Kind kind, char c) {
  return kind == PatternPiece::Kind::kSegment ? c != '/' : (c != '\n' && c != '\r');
}

// A table of bits, one per (piece, path position); inline for short paths.
class ReachTable {
 public:
  ReachTable(size_t rows, size_t columns) : columns_(columns) {
    const size_t words = (rows * columns + 63) / 64;
    if (words <= inline_.size()) {
      inline_.fill(0);
      bits_ = inline_.data();
    } else {
      heap_.assign(words, 0);
      bits_ = heap_.data();
    }
  }
  bool Get(size_t row, size_t column) const {
    const size_t bit = row * columns_ + column;
    return ((bits_[bit / 64] >> (bit % 64)) & 1u) != 0;
  }
  void Set(size_t row, size_t column) {
    const size_t bit = row * columns_ + column;
    bits_[bit / 64] |= uint64_t{1} << (bit % 64);
  }

 private:
  size_t columns_;
  std::array<uint64_t, 16> inline_;
  std::vector<uint64_t> heap_;
  uint64_t* bits_ = nullptr;
};

// Matches the whole path against the pieces and calls `on_group(index, text)` for each group, in
// order. The captures are those of a backtracking engine (each group takes the longest text
// after which the rest of the pattern can still match), found in two passes instead of by
// recursion: the first, from the end, marks for each piece i and position p whether pieces i…
// match the path from p to its end; the second, from the start, gives each group the longest
// text that ends at a marked position of the next piece.
template <typename OnGroup>
bool MatchPieces(const std::vector<PatternPiece>& pieces, std::string_view path,
                 OnGroup&& on_group) {
  using Kind = PatternPiece::Kind;
  const size_t size = path.size();
  const size_t count = pieces.size();
  // The table's bit count must not wrap around (only a path of gigabytes comes near).
  if (size + 1 > (SIZE_MAX - 64) / (count + 1)) return false;
  ReachTable reach(count + 1, size + 1);
  reach.Set(count, size);
  for (size_t i = count; i-- > 0;) {
    const PatternPiece& piece = pieces[i];
    if (piece.kind == Kind::kLiteral) {
      const size_t length = piece.literal.size();
      for (size_t p = 0; p + length <= size; ++p) {
        if (reach.Get(i + 1, p + length) && path.substr(p, length) == piece.literal) {
          reach.Set(i, p);
        }
      }
    } else {
      // The group may end anywhere from p up to the end of its run of bytes that it takes.
      bool reachable = false;
      for (size_t p = size + 1; p-- > 0;) {
        reachable =
            reach.Get(i + 1, p) || (p < size && GroupTakes(piece.kind, path[p]) && reachable);
        if (reachable) reach.Set(i, p);
      }
    }
  }
  if (!reach.Get(0, 0)) return false;
  size_t position = 0;
  size_t group = 0;
  for (size_t i = 0; i < count; ++i) {
    const PatternPiece& piece = pieces[i];
    if (piece.kind == Kind::kLiteral) {
      position += piece.literal.size();
      continue;
    }
    size_t end = position;
    while (end < size && GroupTakes(piece.kind, path[end])) ++end;
    while (!reach.Get(i + 1, end)) --end;  // some end in [position, end] is marked
    on_group(group++, path.substr(position, end - position));
    position = end;
  }
  return true;
}

// Matches the path against one route; fills `arguments` (cleared first) on success.
bool PathMatches(const Route& route, std::string_view path,
                 std::map<std::string, std::string, std::less<>>& arguments) {
  arguments.clear();
  if (!route.has_pattern) return path == route.literal_path;
  // Every group of a compiled pattern takes part in a match, one per placeholder.
  return MatchPieces(route.pieces, path, [&](size_t group, std::string_view captured) {
    if (group < route.placeholders.size()) {
      arguments[route.placeholders[group].name] = PercentDecode(captured);
    }
  });
}

size_t TotalLength(const std::map<std::string, std::string, std::less<>>& arguments) {
  size_t total = 0;
  for (const auto& [name, value] : arguments) total += value.size();
  return total;
}

}  // namespace

std::string_view MethodName(HttpMethod method) {
  const auto code = static_cast<uint32_t>(method);
  return code < kMethodNames.size() ? kMethodNames[code] : std::string_view();
}

HttpMethod MethodFromHostCode(uint32_t code) {
  return (code >= 1 && code <= 8) ? static_cast<HttpMethod>(code) : HttpMethod::kNone;
}

std::string FunctionNameFor(HttpMethod method, std::string_view path) {
  std::string source;
  const std::string_view name = MethodName(method);
  if (!name.empty()) {
    source.push_back(name.front());
    for (const char c : name.substr(1)) source.push_back(AsciiLower(c));
    source.push_back('/');
  }
  source.append(path);

  std::string result;
  result.reserve(source.size() + 8);
  bool capitalise = true;
  for (const char c : source) {
    switch (c) {
      case '!':
      case '+':
      case '-':
      case '.':
      case '/':
      case '_':
        capitalise = true;
        break;
      case '{':
        result.append("By");
        capitalise = true;
        break;
      case '}':
        break;
      default:
        result.push_back(capitalise ? AsciiUpper(c) : c);
        capitalise = false;
        break;
    }
  }
  return result;
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      decoded.push_back(' ');
    } else if (c == '%') {
      if (text.size() - i > 2) {
        decoded.push_back(static_cast<char>((HexValue(text[i + 1]) << 4) | HexValue(text[i + 2])));
        i += 2;
      }
      // A "%" with fewer than two characters after it is dropped; they are copied as they come.
    } else {
      decoded.push_back(c);
    }
  }
  return decoded;
}

Route CompileTemplate(std::string_view path_template) {
  Route route;
  if (path_template.find('{') == std::string_view::npos) {
    route.literal_path = std::string(path_template);
    return route;
  }
  route.has_pattern = true;
  enum State : uint8_t { kLiteral = 0, kSimple = 1, kReserved = 2, kFragment = 3 };
  State state = kLiteral;
  std::string name;
  std::string& pattern = route.pattern_text;
  std::string literal;  // the literal bytes since the last group
  const auto add_piece = [&](PatternPiece::Kind kind, std::string text) {
    route.pieces.push_back({kind, std::move(text)});
  };
  for (const char c : path_template) {
    if (c == '{') {
      state = kSimple;  // also inside a placeholder: the name read so far stays
    } else if (c == '}') {
      if (state == kLiteral) continue;
      pattern.append(state == kSimple ? "([^/]*)" : state == kReserved ? "(.*)" : "#(.*)");
      if (state == kFragment) literal.push_back('#');
      if (!literal.empty()) add_piece(PatternPiece::Kind::kLiteral, std::move(literal));
      literal.clear();
      add_piece(state == kSimple ? PatternPiece::Kind::kSegment : PatternPiece::Kind::kAny, {});
      route.placeholders.push_back({static_cast<PlaceholderKind>(state), std::move(name)});
      name.clear();
      state = kLiteral;
    } else if (state != kLiteral) {
      if (state == kSimple && name.empty() && c == '+') {
        state = kReserved;
      } else if (state == kSimple && name.empty() && c == '#') {
        state = kFragment;
      } else {
        name.push_back(c);
      }
    } else {
      if (IsPatternSpecial(c)) pattern.push_back('\\');
      pattern.push_back(c);
      literal.push_back(c);
    }
  }
  // A placeholder still open at the end adds nothing.
  if (!literal.empty()) add_piece(PatternPiece::Kind::kLiteral, std::move(literal));
  return route;
}

Route CompileRoute(const Endpoint& endpoint) {
  const std::string_view path_template = endpoint.path_template().empty()
                                             ? std::string_view(endpoint.function().name)
                                             : endpoint.path_template();
  Route route = CompileTemplate(path_template);
  route.function = &endpoint.function();
  route.endpoint = &endpoint;
  return route;
}

bool FindRoute(std::span<const Route> routes, RouteMatch& match, bool ignore_method) {
  match.function = nullptr;
  match.endpoint = nullptr;
  match.path_arguments.clear();
  bool chosen = false;
  size_t chosen_length = 0;
  std::map<std::string, std::string, std::less<>> candidate;
  for (const Route& route : routes) {
    if (!PathMatches(route, match.path, candidate)) continue;
    if (!ignore_method && !MethodAccepted(route.endpoint, match)) continue;
    const size_t length = TotalLength(candidate);
    if (!chosen || length < chosen_length) {
      chosen = true;
      chosen_length = length;
      match.function = route.function;
      match.endpoint = route.endpoint;
      match.path_arguments.swap(candidate);
      if (match.path_arguments.empty()) break;
    }
  }
  return chosen && match.function != nullptr;
}

}  // namespace sdk::dispatch
