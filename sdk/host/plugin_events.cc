// Event names of resources and uri patterns.
#include "sdk/host/plugin_events.h"

#include <vector>

namespace sdk::host {

std::string EventNameFor(std::string_view uri) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= uri.size()) {
    const size_t slash = uri.find('/', start);
    const size_t end = slash == std::string_view::npos ? uri.size() : slash;
    if (end > start) pieces.push_back(uri.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  const size_t max_items = !pieces.empty() && pieces[0] == "jat-platform-config" ? 6 : 4;
  std::string name(kOnJsonApiEvent);
  for (size_t i = 0; i < pieces.size() && i + 1 < max_items; ++i) {
    name += '_';
    name += pieces[i];
  }
  return name;
}

bool UriPatternMatches(std::string_view pattern, std::string_view uri) {
  size_t p = 0;
  size_t u = 0;
  while (p < pattern.size() && u < uri.size()) {
    if (pattern[p] == '*') {
      if (uri[u] == '/') {
        ++p;  // the "*" ends at a "/", which the pattern's next character must match
      } else {
        ++u;
        if (u == uri.size()) ++p;  // the uri is used up inside the "*"
      }
    } else {
      if (pattern[p] != uri[u]) return false;
      ++p;
      ++u;
    }
  }
  return p == pattern.size() && u == uri.size();
}

}  // namespace sdk::host
