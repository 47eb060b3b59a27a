// Route compilation and matching: templates into literal paths or ECMAScript patterns, percent-
// decoding of captured texts, and the selection among matching routes.
#include "sdk/dispatch/route.h"

#include <array>
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

// Matches the path against one route; fills `arguments` (cleared first) on success.
bool PathMatches(const Route& route, std::string_view path,
                 std::map<std::string, std::string, std::less<>>& arguments) {
  arguments.clear();
  if (!route.has_pattern) return path == route.literal_path;
  if (!route.pattern.has_value() || path.size() > kMaxPatternPathLength) return false;
  std::match_results<std::string_view::const_iterator> groups;
  if (!std::regex_match(path.begin(), path.end(), groups, *route.pattern)) return false;
  for (size_t i = 0; i < route.placeholders.size(); ++i) {
    const size_t group = i + 1;
    if (group >= groups.size() || !groups[group].matched) return false;
    const auto& captured = groups[group];
    const auto offset = static_cast<size_t>(captured.first - path.begin());
    arguments[route.placeholders[i].name] =
        PercentDecode(path.substr(offset, static_cast<size_t>(captured.length())));
  }
  return true;
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
  for (const char c : path_template) {
    if (c == '{') {
      state = kSimple;  // also inside a placeholder: the name read so far stays
    } else if (c == '}') {
      if (state == kLiteral) continue;
      pattern.append(state == kSimple ? "([^/]*)" : state == kReserved ? "(.*)" : "#(.*)");
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
    }
  }
  // A placeholder still open at the end adds nothing.
  try {
    route.pattern.emplace(pattern, std::regex::ECMAScript | std::regex::optimize);
  } catch (const std::exception&) {
    route.pattern.reset();
  }
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
