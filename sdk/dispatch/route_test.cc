// Tests of method names, function names, percent-decoding, template compilation, the endpoint
// builders and route selection.
#include "sdk/dispatch/route.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"

namespace sdk::dispatch {
namespace {

using sdk::binding::BindingRegistry;

TEST(MethodNameTest, NamesAndHostCodes) {
  const std::vector<std::pair<uint32_t, std::string_view>> names = {
      {0, ""},      {1, "DELETE"}, {2, "GET"}, {3, "HEAD"}, {4, "OPTIONS"},
      {5, "PATCH"}, {6, "POST"},   {7, "PUT"}, {8, ""},     {9, ""}};
  for (const auto& [code, name] : names) {
    EXPECT_EQ(MethodName(static_cast<HttpMethod>(code)), name) << "code " << code;
  }
  EXPECT_EQ(MethodFromHostCode(0), HttpMethod::kNone);
  EXPECT_EQ(MethodFromHostCode(1), HttpMethod::kDelete);
  EXPECT_EQ(MethodFromHostCode(8), HttpMethod::kCustom);
  EXPECT_EQ(MethodFromHostCode(9), HttpMethod::kNone);
  EXPECT_EQ(MethodFromHostCode(0xFFFFFFFFu), HttpMethod::kNone);
}

TEST(FunctionNameForTest, Table) {
  struct Case {
    HttpMethod method;
    std::string_view path;
    std::string_view expected;
  };
  const Case cases[] = {
      {HttpMethod::kGet, "/sanitizer/v1/status", "GetSanitizerV1Status"},
      {HttpMethod::kPost, "/sanitizer/v1/containsSanitized", "PostSanitizerV1ContainsSanitized"},
      {HttpMethod::kPost, "/sanitizer/v1/sanitize", "PostSanitizerV1Sanitize"},
      {HttpMethod::kGet, "/v1/items/{id}", "GetV1ItemsById"},
      {HttpMethod::kNone, "/a-b_c", "ABC"},
      {HttpMethod::kNone, "sanitizer", "Sanitizer"},
      {HttpMethod::kCustom, "/cache", "Cache"},
      {HttpMethod::kDelete, "/a.b!c+d", "DeleteABCD"},
      {HttpMethod::kOptions, "", "Options"},
      // "}" is dropped and leaves the capitalise flag as it was.
      {HttpMethod::kGet, "/{id}x", "GetByIdx"},
      {HttpMethod::kGet, "/{+rest}", "GetByRest"},
      {HttpMethod::kPatch, "/x/{a}/{b}", "PatchXByAByB"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FunctionNameFor(c.method, c.path), c.expected)
        << "method " << static_cast<uint32_t>(c.method) << " path " << c.path;
  }
}

TEST(PercentDecodeTest, Table) {
  struct Case {
    std::string_view input;
    std::string expected;
  };
  const Case cases[] = {
      {"%41%62", "Ab"},
      {"a+b", "a b"},
      {"%4", "4"},  // the "%" is dropped, the digit copied
      {"%", ""},
      {"abc%", "abc"},
      {"%2F%2f", "//"},
      {"%e2%82%AC", "\xE2\x82\xAC"},
      {"%zz", std::string(1, '\0')},  // non-hexadecimal characters count as 0
      {"%4g", "@"},
      {"100%25", "100%"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PercentDecode(c.input), c.expected) << "input: " << c.input;
  }
}

// The pattern text that a list of pieces stands for.
std::string SpellPieces(const std::vector<PatternPiece>& pieces) {
  std::string text;
  for (const PatternPiece& piece : pieces) {
    switch (piece.kind) {
      case PatternPiece::Kind::kLiteral:
        for (const char c : piece.literal) {
          if (std::string_view("^$.*+?()[]|\\").find(c) != std::string_view::npos) {
            text.push_back('\\');
          }
          text.push_back(c);
        }
        break;
      case PatternPiece::Kind::kSegment:
        text.append("([^/]*)");
        break;
      case PatternPiece::Kind::kAny:
        text.append("(.*)");
        break;
    }
  }
  return text;
}

TEST(CompileTemplateTest, Table) {
  using K = PlaceholderKind;
  struct Case {
    std::string_view path_template;
    bool has_pattern;
    std::string_view literal_or_pattern;
    std::vector<PathPlaceholder> placeholders;
  };
  const Case cases[] = {
      {"/sanitizer/v1/status", false, "/sanitizer/v1/status", {}},
      {"/v1/items/{id}/{+rest}",
       true,
       "/v1/items/([^/]*)/(.*)",
       {{K::kSimple, "id"}, {K::kReserved, "rest"}}},
      {"/a/{#frag}", true, "/a/#(.*)", {{K::kFragment, "frag"}}},
      {"/a.b/(x)/{x}", true, "/a\\.b/\\(x\\)/([^/]*)", {{K::kSimple, "x"}}},
      {"^$*+?[]|\\{a}", true, "\\^\\$\\*\\+\\?\\[\\]\\|\\\\([^/]*)", {{K::kSimple, "a"}}},
      // A "{" inside a placeholder restarts it as simple and keeps the name read so far.
      {"{+a{b}", true, "([^/]*)", {{K::kSimple, "ab"}}},
      // "+" and "#" switch the kind only as the first character of the name.
      {"{a+b}", true, "([^/]*)", {{K::kSimple, "a+b"}}},
      {"{+}", true, "(.*)", {{K::kReserved, ""}}},
      // A "}" outside a placeholder is dropped; an open placeholder at the end adds nothing.
      {"/a}/{b", true, "/a/", {}},
      {"/x/{id", true, "/x/", {}},
  };
  for (const Case& c : cases) {
    const Route route = CompileTemplate(c.path_template);
    EXPECT_EQ(route.has_pattern, c.has_pattern) << "template: " << c.path_template;
    if (c.has_pattern) {
      EXPECT_EQ(route.pattern_text, c.literal_or_pattern) << "template: " << c.path_template;
      EXPECT_EQ(SpellPieces(route.pieces), c.literal_or_pattern) << "template: " << c.path_template;
      EXPECT_TRUE(route.literal_path.empty());
    } else {
      EXPECT_EQ(route.literal_path, c.literal_or_pattern) << "template: " << c.path_template;
      EXPECT_TRUE(route.pieces.empty());
    }
    EXPECT_EQ(route.placeholders, c.placeholders) << "template: " << c.path_template;
  }
}

// Endpoints without parameters, declared on a table of their own, to select among.
class RouteTest : public ::testing::Test {
 protected:
  const Endpoint& Declare(std::string_view name, std::string_view path, HttpMethod method) {
    EndpointBuilder builder = DeclareEndpoint(table_, name, [] {});
    builder.Path(path).Method(method);
    EXPECT_TRUE(builder.active()) << name;
    return *builder.endpoint();
  }

  // Finds among the routes of the endpoints, in order; returns the chosen function's name or
  // "" when none matched.
  std::string Find(const std::vector<const Endpoint*>& endpoints, std::string_view path,
                   HttpMethod method = HttpMethod::kGet, std::string_view custom = {},
                   bool ignore_method = false) {
    std::vector<Route> routes;
    for (const Endpoint* endpoint : endpoints) routes.push_back(CompileRoute(*endpoint));
    match_ = RouteMatch{};
    match_.method = method;
    match_.custom_method = custom;
    match_.path = path;
    const bool found = FindRoute(routes, match_, ignore_method);
    EXPECT_EQ(found, match_.function != nullptr);
    return found ? match_.function->name : std::string();
  }

  BindingRegistry registry_;
  EndpointTable table_{registry_};
  RouteMatch match_;
};

TEST_F(RouteTest, PathTrimsOneTrailingSlash) {
  EXPECT_EQ(Declare("A", "/", HttpMethod::kGet).path_template(), "/");
  EXPECT_EQ(Declare("B", "/a/", HttpMethod::kGet).path_template(), "/a");
  EXPECT_EQ(Declare("C", "/a//", HttpMethod::kGet).path_template(), "/a/");
  EXPECT_EQ(Declare("D", "", HttpMethod::kGet).path_template(), "");
}

TEST_F(RouteTest, LiteralTemplateMatchesOnlyTheIdenticalPath) {
  const Endpoint& status = Declare("Status", "/sanitizer/v1/status", HttpMethod::kGet);
  EXPECT_EQ(Find({&status}, "/sanitizer/v1/status"), "Status");
  for (const std::string_view path :
       {"/sanitizer/v1/status/", "/sanitizer/v1/status?x=1", "/sanitizer/v1/statu", "", "/"}) {
    EXPECT_EQ(Find({&status}, path), "") << "path: " << path;
  }
  // A literal route has no length limit.
  const std::string long_path = "/" + std::string(1 << 16, 'a');
  const Endpoint& long_route = Declare("Long", long_path, HttpMethod::kGet);
  EXPECT_EQ(Find({&long_route}, long_path), "Long");
}

TEST_F(RouteTest, WithoutPathTheFunctionNameIsTheTemplate) {
  EndpointBuilder builder = DeclareEndpoint(table_, "NoPath", [] {});
  EXPECT_EQ(Find({builder.endpoint()}, "NoPath"), "NoPath");
  EXPECT_EQ(Find({builder.endpoint()}, "/NoPath"), "");
}

TEST_F(RouteTest, PlaceholdersCaptureAndDecode) {
  struct Case {
    std::string_view path_template;
    std::string_view path;
    bool matches;
    std::map<std::string, std::string, std::less<>> arguments;
  };
  const Case cases[] = {
      {"/items/{id}", "/items/a", true, {{"id", "a"}}},
      {"/items/{id}", "/items/a/b", false, {}},
      {"/items/{id}", "/items/", true, {{"id", ""}}},
      {"/items/{+rest}", "/items/a/b", true, {{"rest", "a/b"}}},
      {"/items/{#frag}", "/items/a", false, {}},
      {"/items/{#frag}", "/items/#a/b", true, {{"frag", "a/b"}}},
      {"/items/{id}", "/items/%41%62", true, {{"id", "Ab"}}},
      {"/items/{id}", "/items/a+b%4", true, {{"id", "a b4"}}},
      // The query is part of the matched text: a simple placeholder at the end takes it along.
      {"/items/{id}", "/items/7?level=2", true, {{"id", "7?level=2"}}},
      {"/items/{id}/x", "/items/7/x?level=2", false, {}},
      // A later placeholder of the same name overwrites an earlier one.
      {"/{a}/{a}", "/x/y", true, {{"a", "y"}}},
      {"/a.b/{x}", "/aXb/1", false, {}},
      {"/a.b/{x}", "/a.b/1", true, {{"x", "1"}}},
  };
  int index = 0;
  for (const Case& c : cases) {
    const Endpoint& endpoint =
        Declare("F" + std::to_string(index++), c.path_template, HttpMethod::kGet);
    const std::string found = Find({&endpoint}, c.path);
    EXPECT_EQ(!found.empty(), c.matches) << c.path_template << " against " << c.path;
    if (c.matches) {
      EXPECT_EQ(match_.path_arguments, c.arguments) << c.path_template << " against " << c.path;
      EXPECT_EQ(match_.endpoint, &endpoint);
    }
  }
}

// The matcher against the regex library on the same pattern text: the same answer and the same
// captures, over fixed tricky cases and over random templates and paths.
TEST_F(RouteTest, PatternMatchingAgreesWithTheRegexLibrary) {
  const auto check = [&](std::string_view path_template, const std::vector<std::string>& paths) {
    const Endpoint& endpoint =
        Declare("R" + std::to_string(table_.Endpoints().size()), path_template, HttpMethod::kGet);
    const Route route = CompileRoute(endpoint);
    ASSERT_TRUE(route.has_pattern) << path_template;
    const std::regex reference(route.pattern_text, std::regex::ECMAScript);
    for (const std::string& path : paths) {
      std::match_results<std::string::const_iterator> groups;
      const bool expected = std::regex_match(path.begin(), path.end(), groups, reference);
      EXPECT_EQ(!Find({&endpoint}, path).empty(), expected) << path_template << " / " << path;
      if (!expected) continue;
      // With repeated names the last placeholder of a name holds the argument.
      std::map<std::string, std::string, std::less<>> arguments;
      for (size_t i = 0; i < route.placeholders.size(); ++i) {
        arguments[route.placeholders[i].name] = PercentDecode(groups[i + 1].str());
      }
      EXPECT_EQ(match_.path_arguments, arguments) << path_template << " / " << path;
    }
  };
  check("/v1/items/{id}/{+rest}", {"/v1/items/1/2/3", "/v1/items//", "/v1/items/1", "/v1/items/"});
  check("/{a}{b}", {"/ab", "/", "/a/b"});
  check("/x/{+a}/{+b}", {"/x/1/2/3/4", "/x//", "/x/1\n/2", "/x/1/2\r"});
  check("/f/{#frag}", {"/f/#", "/f/#a#b", "/f/a", "/f/#a\nb"});
  check("/s/{id}.json", {"/s/a.json", "/s/a.json.json", "/s/a/b.json", "/s/.json"});

  // Random templates over a few literals and the three placeholder kinds, against random
  // paths over the bytes that matter to them.
  std::mt19937 random(20240611);
  const std::string_view template_parts[] = {"/", "a", "#", ".", "ab", "{x}", "{+y}", "{#z}"};
  const std::string_view path_bytes = "/a#.b\n";
  for (int t = 0; t < 60; ++t) {
    std::string path_template = "/";
    const int parts = 1 + static_cast<int>(random() % 5);
    for (int i = 0; i < parts; ++i) path_template.append(template_parts[random() % 8]);
    if (path_template.find('{') == std::string::npos) path_template.append("{x}");
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
      std::string path = "/";
      const int length = static_cast<int>(random() % 9);
      for (int j = 0; j < length; ++j) path.push_back(path_bytes[random() % path_bytes.size()]);
      paths.push_back(std::move(path));
    }
    check(path_template, paths);
  }
}

// Runs `work` on a thread whose stack has only `stack_bytes`, as a host's worker thread may.
void RunOnSmallStack(size_t stack_bytes, const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, stack_bytes), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// Regression: the regex library matched by recursion, one level per character, so a path of a
// thousand bytes overflowed a small thread stack, and longer paths were refused outright.
TEST_F(RouteTest, LongPathsMatchOnASmallStack) {
  const Endpoint& rest = Declare("Rest", "/r/{+rest}", HttpMethod::kGet);
  const Endpoint& two = Declare("Two", "/t/{id}/{+rest}", HttpMethod::kGet);
  const Endpoint& fragment = Declare("Fragment", "/f/{id}{#frag}", HttpMethod::kGet);
  const std::string long_text(1 << 16, 'x');
  RunOnSmallStack(128 * 1024, [&] {
    EXPECT_EQ(Find({&rest}, "/r/" + long_text), "Rest");
    EXPECT_EQ(match_.path_arguments.at("rest"), long_text);
    EXPECT_EQ(Find({&two}, "/t/" + long_text + "/a/" + long_text), "Two");
    EXPECT_EQ(match_.path_arguments.at("id"), long_text);
    EXPECT_EQ(match_.path_arguments.at("rest"), "a/" + long_text);
    // The first group may not take a "/", so the whole path fails without a capture.
    EXPECT_EQ(Find({&fragment}, "/f/" + long_text + "/#" + long_text), "");
    // "{id}" takes "#" too, as long as a "#" is left for the fragment after it.
    EXPECT_EQ(Find({&fragment}, "/f/" + long_text + "#a#" + long_text), "Fragment");
    EXPECT_EQ(match_.path_arguments.at("id"), long_text + "#a");
    EXPECT_EQ(match_.path_arguments.at("frag"), long_text);
  });
}

TEST_F(RouteTest, SelectionPrefersShorterCaptures) {
  const Endpoint& long_capture = Declare("Long", "/a/{+rest}", HttpMethod::kGet);
  const Endpoint& short_capture = Declare("Short", "/a/b/{+rest}", HttpMethod::kGet);
  const Endpoint& same_length = Declare("Same", "/a/{x}/{+rest}", HttpMethod::kGet);
  const Endpoint& literal = Declare("Literal", "/a/b/c", HttpMethod::kGet);
  EXPECT_EQ(Find({&long_capture, &short_capture}, "/a/b/c"), "Short");
  EXPECT_EQ(match_.path_arguments.at("rest"), "c");
  EXPECT_EQ(Find({&short_capture, &long_capture}, "/a/b/c"), "Short");
  // "b" and "c" (2 bytes) lose against "c" (1 byte), whatever the order.
  EXPECT_EQ(Find({&same_length, &short_capture}, "/a/b/c"), "Short");
  // Equal totals keep the earlier route.
  const Endpoint& twin = Declare("Twin", "/a/b/{+other}", HttpMethod::kGet);
  EXPECT_EQ(Find({&short_capture, &twin}, "/a/b/c"), "Short");
  EXPECT_EQ(Find({&twin, &short_capture}, "/a/b/c"), "Twin");
  // A literal route has no captures and ends the search.
  EXPECT_EQ(Find({&long_capture, &literal, &short_capture}, "/a/b/c"), "Literal");
  EXPECT_TRUE(match_.path_arguments.empty());
  // A route that captured an empty text still has a path argument: the search goes on, and a
  // later literal route (total 0 as well) does not replace it.
  const Endpoint& empty_capture = Declare("Empty", "/e/{x}", HttpMethod::kGet);
  const Endpoint& empty_literal = Declare("EmptyLiteral", "/e//", HttpMethod::kGet);
  ASSERT_EQ(empty_literal.path_template(), "/e/");
  EXPECT_EQ(Find({&empty_capture, &empty_literal}, "/e/"), "Empty");
  EXPECT_EQ(match_.path_arguments.size(), 1u);
  EXPECT_EQ(Find({&empty_literal, &empty_capture}, "/e/"), "EmptyLiteral");
}

TEST_F(RouteTest, MethodTest) {
  const Endpoint& any = Declare("Any", "/any", HttpMethod::kNone);
  const Endpoint& post = Declare("Post", "/post", HttpMethod::kPost);
  for (uint32_t code = 0; code <= 8; ++code) {
    EXPECT_EQ(Find({&any}, "/any", static_cast<HttpMethod>(code)), "Any") << "code " << code;
  }
  EXPECT_EQ(Find({&post}, "/post", HttpMethod::kPost), "Post");
  EXPECT_EQ(Find({&post}, "/post", HttpMethod::kGet), "");
  EXPECT_EQ(Find({&post}, "/post", HttpMethod::kGet, {}, /*ignore_method=*/true), "Post");

  EndpointBuilder purge = DeclareEndpoint(table_, "Purge", [] {});
  purge.Path("/cache").CustomMethod("PURGE");
  EXPECT_EQ(purge.endpoint()->method(), HttpMethod::kCustom);
  EXPECT_EQ(Find({purge.endpoint()}, "/cache", HttpMethod::kCustom, "PURGE"), "Purge");
  EXPECT_EQ(Find({purge.endpoint()}, "/cache", HttpMethod::kCustom, "purge"), "");
  EXPECT_EQ(Find({purge.endpoint()}, "/cache", HttpMethod::kCustom, ""), "");
  // A standard method declared afterwards empties the custom name.
  purge.Method(HttpMethod::kDelete);
  EXPECT_EQ(purge.endpoint()->custom_method(), "");
  EXPECT_EQ(Find({purge.endpoint()}, "/cache", HttpMethod::kDelete), "Purge");
}

TEST_F(RouteTest, FirstDeclarationWins) {
  EndpointBuilder first = DeclareRoute(
      table_, HttpMethod::kGet, "/items/{id}", [](std::string id) { return id; }, InPath("id"));
  ASSERT_TRUE(first.active());
  EndpointBuilder second = DeclareRoute(
      table_, HttpMethod::kGet, "/items/{id}",
      [](uint32_t id, bool flag) { return id + (flag ? 1u : 0u); }, InQuery("id"), InQuery("flag"));
  EXPECT_FALSE(second.active());
  second.Path("/other").Method(HttpMethod::kPost).Tags({"x"});

  const Endpoint* endpoint = table_.FindByName("GetItemsById");
  ASSERT_EQ(endpoint, first.endpoint());
  EXPECT_EQ(endpoint->path_template(), "/items/{id}");
  EXPECT_EQ(endpoint->method(), HttpMethod::kGet);
  ASSERT_EQ(endpoint->function().arguments.size(), 1u);
  EXPECT_EQ(endpoint->function().arguments[0].name, "id");
  EXPECT_EQ(endpoint->function().arguments[0].type.code, sdk::binding::TypeCode::kString);
  EXPECT_EQ(endpoint->function().returns.type.code, sdk::binding::TypeCode::kString);
  EXPECT_TRUE(endpoint->function().tags.empty());
  ASSERT_EQ(endpoint->locations().size(), 1u);
  EXPECT_EQ(endpoint->location(0), ArgumentLocation::kPath);
  EXPECT_EQ(table_.Endpoints().size(), 1u);

  // A name that the registry knows already, from anywhere, is not declared again.
  registry_.FindOrAddFunction("Registered");
  EXPECT_FALSE(DeclareEndpoint(table_, "Registered", [] {}).active());
  EXPECT_EQ(table_.FindByName("Registered"), nullptr);
}

TEST_F(RouteTest, ParameterBuilderGrowsLocations) {
  EndpointBuilder builder = DeclareEndpoint(table_, "Two", [](int32_t, std::string) {});
  ASSERT_EQ(builder.endpoint()->locations().size(), 2u);
  EXPECT_EQ(builder.endpoint()->location(0), ArgumentLocation::kUnspecified);
  ParameterBuilder parameters = builder.Parameters();
  parameters.Parameter("a", ArgumentLocation::kHeader, "first")
      .BodyParameter("b")
      .BodyParameter("extra");
  EXPECT_EQ(parameters.next_index(), 3u);
  const Endpoint& endpoint = *builder.endpoint();
  ASSERT_EQ(endpoint.locations().size(), 3u);
  EXPECT_EQ(endpoint.location(0), ArgumentLocation::kHeader);
  EXPECT_EQ(endpoint.location(1), ArgumentLocation::kBody);
  EXPECT_EQ(endpoint.location(2), ArgumentLocation::kBody);
  EXPECT_EQ(endpoint.location(7), ArgumentLocation::kUnspecified);
  ASSERT_EQ(endpoint.function().arguments.size(), 2u);
  EXPECT_EQ(endpoint.function().arguments[0].name, "a");
  EXPECT_EQ(endpoint.function().arguments[0].description, "first");
  EXPECT_EQ(endpoint.function().arguments[1].name, "b");
  EXPECT_EQ(endpoint.function().arguments[0].type.code, sdk::binding::TypeCode::kInt32);
  EXPECT_EQ(endpoint.function().returns.type.code, sdk::binding::TypeCode::kNone);
}

TEST_F(RouteTest, EndpointContextNamesRegistryAndEndpoint) {
  const Endpoint& endpoint = Declare("Ctx", "/ctx", HttpMethod::kGet);
  EXPECT_EQ(endpoint.context()->registry, &registry_);
  EXPECT_EQ(endpoint.context()->endpoint, &endpoint);
  EXPECT_EQ(table_.Find(endpoint.function()), &endpoint);
  table_.Clear();
  EXPECT_TRUE(table_.Endpoints().empty());
}

}  // namespace
}  // namespace sdk::dispatch
