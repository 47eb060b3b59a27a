#include "tools/plugin_host/route_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plugin_host {
namespace {

using Outcome = RouteTable::Outcome;

const std::vector<RouteTable::RouteSpec>& Routes() {
  static const std::vector<RouteTable::RouteSpec> routes = {
      {kPluginMethodGet, "", "/a/status"},            // 0
      {kPluginMethodGet, "", "/items/{id}"},          // 1
      {kPluginMethodGet, "", "/items/{id}/{+rest}"},  // 2
      {kPluginMethodDelete, "", "/items/{id}"},       // 3
      {kPluginMethodPost, "", "/a/status"},           // 4
      {kPluginMethodNone, "", "/any"},                // 5
      {kPluginMethodCustom, "PURGE", "/items"},       // 6
      {kPluginMethodGet, "", "/frag/{#f}"},           // 7
      {kPluginMethodGet, "", "/files/{+path}"},       // 8
      {kPluginMethodGet, "", "/v/{a}x{b}"},           // 9
      {kPluginMethodGet, "", "/p/{a}"},               // 10
      {kPluginMethodGet, "", "/p/{+b}"},              // 11
      {kPluginMethodGet, "", "/q/{a}"},               // 12
      {kPluginMethodGet, "", "/q/x{b}"},              // 13
      {kPluginMethodGet, "", "/r/{a}"},               // 14
      {kPluginMethodGet, "", "/r/%41{b}"},            // 15
      {kPluginMethodGet, "", "/open/{x"},             // 16: an unclosed placeholder adds nothing
      {kPluginMethodGet, "", "/odd}/{+r}"},           // 17: a "}" outside a placeholder is dropped
  };
  return routes;
}

TEST(RouteTableTest, RequestsFindTheirRoute) {
  struct Case {
    uint32_t method;
    std::string custom;
    std::string path;
    Outcome outcome;
    size_t route;       // for kFound
    std::string allow;  // for kNoMethod
  };
  const Case cases[] = {
      {kPluginMethodGet, "", "/a/status", Outcome::kFound, 0, ""},
      {kPluginMethodPost, "", "/a/status", Outcome::kFound, 4, ""},
      {kPluginMethodGet, "", "/a/status?x=1&y", Outcome::kFound, 0, ""},
      {kPluginMethodGet, "", "/a/status/", Outcome::kNoPath, 0, ""},
      {kPluginMethodGet, "", "/A/status", Outcome::kNoPath, 0, ""},
      {kPluginMethodPut, "", "/a/status", Outcome::kNoMethod, 0, "GET, POST"},
      {kPluginMethodGet, "", "/items/abc", Outcome::kFound, 1, ""},
      {kPluginMethodGet, "", "/items/abc?count=3", Outcome::kFound, 1, ""},
      {kPluginMethodGet, "", "/items/", Outcome::kFound, 1, ""},  // an empty segment
      {kPluginMethodGet, "", "/items/a/b/c", Outcome::kFound, 2, ""},
      {kPluginMethodDelete, "", "/items/abc", Outcome::kFound, 3, ""},
      {kPluginMethodPost, "", "/items/abc", Outcome::kNoMethod, 0, "GET, DELETE"},
      {kPluginMethodPatch, "", "/any", Outcome::kFound, 5, ""},
      {kPluginMethodCustom, "ANY", "/any", Outcome::kFound, 5, ""},
      {99, "", "/any", Outcome::kFound, 5, ""},  // an unknown code counts as none
      {99, "", "/a/status", Outcome::kNoMethod, 0, "GET, POST"},
      {kPluginMethodCustom, "PURGE", "/items", Outcome::kFound, 6, ""},
      {kPluginMethodCustom, "purge", "/items", Outcome::kNoMethod, 0, "PURGE"},
      {kPluginMethodGet, "", "/items", Outcome::kNoMethod, 0, "PURGE"},
      {kPluginMethodGet, "PURGE", "/items", Outcome::kNoMethod, 0, "PURGE"},  // name ignored
      {kPluginMethodGet, "", "/frag/#part", Outcome::kFound, 7, ""},
      {kPluginMethodGet, "", "/frag/part", Outcome::kNoPath, 0, ""},
      {kPluginMethodGet, "", "/files/", Outcome::kFound, 8, ""},
      {kPluginMethodGet, "", "/files/a/b.txt", Outcome::kFound, 8, ""},
      {kPluginMethodGet, "", "/files/a\nb", Outcome::kNoPath, 0, ""},  // "+" stops at a line end
      {kPluginMethodGet, "", "/v/1x2x3", Outcome::kFound, 9, ""},      // needs a step back
      {kPluginMethodGet, "", "/v/123", Outcome::kNoPath, 0, ""},
      // Equal capture lengths keep the earlier route; a shorter capture wins.
      {kPluginMethodGet, "", "/p/xy", Outcome::kFound, 10, ""},
      {kPluginMethodGet, "", "/q/xyz", Outcome::kFound, 13, ""},
      // Lengths are compared after percent-decoding: "%41%42" is 2, "%42" is 1.
      {kPluginMethodGet, "", "/r/%41%42", Outcome::kFound, 15, ""},
      {kPluginMethodGet, "", "/open/", Outcome::kFound, 16, ""},
      {kPluginMethodGet, "", "/open/y", Outcome::kNoPath, 0, ""},
      {kPluginMethodGet, "", "/odd/z", Outcome::kFound, 17, ""},
      {kPluginMethodGet, "", "", Outcome::kNoPath, 0, ""},
  };
  const RouteTable table(Routes());
  for (const Case& c : cases) {
    const RouteTable::Match match = table.Find(c.method, c.custom, c.path);
    EXPECT_EQ(match.outcome, c.outcome) << "path: " << c.path << " method " << c.method;
    if (c.outcome == Outcome::kFound && match.outcome == Outcome::kFound) {
      EXPECT_EQ(match.route, c.route) << "path: " << c.path;
    }
    EXPECT_EQ(match.allow, c.allow) << "path: " << c.path;
  }
}

TEST(RouteTableTest, ALiteralRouteWinsAtOnce) {
  // The placeholder routes come first, one capturing nothing at all; the literal one still wins.
  const RouteTable table({{kPluginMethodGet, "", "/x/{a}"},
                          {kPluginMethodGet, "", "/x/{+b}"},
                          {kPluginMethodGet, "", "/x/y"},
                          {kPluginMethodGet, "", "/x/"}});
  EXPECT_EQ(table.Find(kPluginMethodGet, "", "/x/y").route, 2u);
  EXPECT_EQ(table.Find(kPluginMethodGet, "", "/x/").route, 3u);
  EXPECT_EQ(table.Find(kPluginMethodGet, "", "/x/z").route, 0u);
  // A literal route with another method leaves the choice to the placeholders.
  const RouteTable mixed({{kPluginMethodGet, "", "/x/{a}"}, {kPluginMethodPost, "", "/x/y"}});
  EXPECT_EQ(mixed.Find(kPluginMethodGet, "", "/x/y").route, 0u);
  EXPECT_EQ(mixed.Find(kPluginMethodPost, "", "/x/y").route, 1u);
  EXPECT_EQ(mixed.Find(kPluginMethodPut, "", "/x/y").allow, "GET, POST");
}

TEST(RouteTableTest, ManyRestPlaceholdersStayBounded) {
  // Backtracking over five "{+...}" on a long path that never matches: the step budget ends it
  // as a miss instead of a search of billions of splits.
  const RouteTable table({{kPluginMethodGet, "", "/{+a}/{+b}/{+c}/{+d}/{+e}!"}});
  const std::string path = "/" + std::string(2000, '/');
  EXPECT_EQ(table.Find(kPluginMethodGet, "", path).outcome, Outcome::kNoPath);
}

TEST(RouteTableTest, EndpointsWithoutATemplateRouteByTheirName) {
  std::vector<EndpointDescription> endpoints(2);
  endpoints[0].name = "GetThing";
  endpoints[0].method = kPluginMethodGet;
  endpoints[1].name = "PostThing";
  endpoints[1].method = kPluginMethodPost;
  endpoints[1].path_template = "/thing";
  const RouteTable table = RouteTable::FromEndpoints(endpoints);
  EXPECT_EQ(table.Find(kPluginMethodGet, "", "GetThing").outcome, Outcome::kFound);
  EXPECT_EQ(table.Find(kPluginMethodPost, "", "/thing").route, 1u);
}

}  // namespace
}  // namespace plugin_host
