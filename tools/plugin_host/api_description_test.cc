#include "tools/plugin_host/api_description.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace plugin_host {
namespace {

void FakeEntry(PluginResponseRecord*, const PluginRequestRecord*) {}

// A small, valid description record laid out as a plug-in lays it out (arrays whose entries
// are chained in order), which each case then breaks in one place.
struct Fixture {
  const char* const tags[2] = {"Plugins", "Plugin fx"};
  const char* const texts[2] = {"a", "b"};
  int context_marker = 0;

  PluginArgumentEntry arguments[2] = {};
  PluginParameterLocationEntry locations[2] = {};
  PluginTextListEntry text_lists[1] = {};
  PluginEndpointRecord endpoints[2] = {};
  PluginMemberEntry members[3] = {};
  PluginEnumeratorEntry enumerators[2] = {};
  PluginTypeEntry types[2] = {};
  PluginEventEntry events[1] = {};
  PluginApiDescription record = {};

  Fixture() {
    arguments[0] = {&arguments[1], "id", "the item", {kPluginTypeString, 0, ""}, 0};
    arguments[1] = {nullptr, "count", "", {kPluginTypeUint32, 0, ""}, 1};
    locations[0] = {&locations[1], kPluginArgumentPath};
    locations[1] = {nullptr, kPluginArgumentQuery};
    text_lists[0] = {nullptr, texts, 2};

    PluginFunctionEntry& get = endpoints[0].function;
    get.next = &endpoints[1].function;
    get.endpoint_context = &context_marker;
    get.name = "GetFxV1ItemsById";
    get.name_space = "fx";
    get.arguments = arguments;
    get.argument_count = 2;
    get.returns = {kPluginTypeStruct, 0, "FxItem"};
    get.description = "An item";
    get.help = "Reads one item";
    get.thread_safe = 1;
    get.async_event_type = "";
    get.tags = tags;
    get.tag_count = 2;
    endpoints[0].request_entry = &FakeEntry;
    endpoints[0].locations = locations;
    endpoints[0].path_template = "/fx/v1/items/{id}";
    endpoints[0].method = kPluginMethodGet;
    endpoints[0].flag = 1;
    endpoints[0].text_lists = text_lists;
    endpoints[0].text_list_count = 1;
    endpoints[0].custom_method = "";

    PluginFunctionEntry& purge = endpoints[1].function;
    purge.name = "PurgeFxV1Items";
    purge.returns = {kPluginTypeNone, 0, ""};
    purge.description = "Purges";
    endpoints[1].request_entry = &FakeEntry;
    endpoints[1].path_template = "/fx/v1/items";
    endpoints[1].method = kPluginMethodCustom;
    endpoints[1].custom_method = "PURGE";

    members[0] = {&members[1], "id", "", 0, {kPluginTypeString, 0, ""}, 0};
    members[1] = {&members[2], "count", "how many", 8, {kPluginTypeUint32, 0, ""}, 1};
    members[2] = {nullptr, "kinds", "", 16, {kPluginTypeVector, kPluginTypeEnum, "FxKind"}, 0};
    enumerators[0] = {&enumerators[1], "A", "first", 1};
    enumerators[1] = {nullptr, "B", "", -2};
    types[0] = {&types[1], "FxItem", "fx", 40, "An item", tags, 1, members, nullptr, 3};
    types[1] = {nullptr, "FxKind", "fx", 4, "", nullptr, 0, nullptr, enumerators, 2};
    events[0] = {nullptr, "OnFxEvent", "fx", "FxItem", "Fired", tags + 1, 1};

    record = {endpoints, 2, types, 2, events, 1};
  }
};

TEST(ApiDescriptionTest, AValidRecordIsCopiedWhole) {
  const Fixture f;
  Result<ApiDescription> read = ReadApiDescription(&f.record);
  ASSERT_TRUE(read.ok()) << read.error();
  const ApiDescription& d = read.value();

  ASSERT_EQ(d.endpoints.size(), 2u);
  EndpointDescription get;
  get.name = "GetFxV1ItemsById";
  get.name_space = "fx";
  get.description = "An item";
  get.help = "Reads one item";
  get.parameters = {{"id", "the item", {kPluginTypeString, 0, ""}, false, kPluginArgumentPath},
                    {"count", "", {kPluginTypeUint32, 0, ""}, true, kPluginArgumentQuery}};
  get.returns = {kPluginTypeStruct, 0, "FxItem"};
  get.thread_safe = true;
  get.tags = {"Plugins", "Plugin fx"};
  get.method = kPluginMethodGet;
  get.path_template = "/fx/v1/items/{id}";
  get.flag = true;
  get.locations = {kPluginArgumentPath, kPluginArgumentQuery};
  get.text_lists = {{"a", "b"}};
  get.request_entry = &FakeEntry;
  get.endpoint_context = &f.context_marker;
  EXPECT_EQ(d.endpoints[0], get);
  EXPECT_EQ(d.endpoints[1].custom_method, "PURGE");
  EXPECT_EQ(d.endpoints[1].method, uint32_t{kPluginMethodCustom});
  EXPECT_TRUE(d.endpoints[1].parameters.empty());
  EXPECT_EQ(d.endpoints[1].endpoint_context, nullptr);

  TypeDescription item;
  item.name = "FxItem";
  item.name_space = "fx";
  item.description = "An item";
  item.size = 40;
  item.tags = {"Plugins"};
  item.kind = TypeKind::kStruct;
  item.members = {{"id", "", 0, {kPluginTypeString, 0, ""}, false},
                  {"count", "how many", 8, {kPluginTypeUint32, 0, ""}, true},
                  {"kinds", "", 16, {kPluginTypeVector, kPluginTypeEnum, "FxKind"}, false}};
  ASSERT_EQ(d.types.size(), 2u);
  EXPECT_EQ(d.types[0], item);
  EXPECT_EQ(d.types[1].kind, TypeKind::kEnum);
  ASSERT_EQ(d.types[1].enumerators.size(), 2u);
  EXPECT_EQ(d.types[1].enumerators[0], (EnumeratorDescription{"A", "first", 1}));
  EXPECT_EQ(d.types[1].enumerators[1], (EnumeratorDescription{"B", "", -2}));
  ASSERT_EQ(d.events.size(), 1u);
  EXPECT_EQ(d.events[0], (EventDescription{"OnFxEvent", "fx", "FxItem", "Fired", {"Plugin fx"}}));

  EXPECT_EQ(d.FindType("FxKind"), &d.types[1]);
  EXPECT_EQ(d.FindEndpoint("PurgeFxV1Items"), &d.endpoints[1]);
  EXPECT_EQ(d.FindEvent("OnFxEvent"), &d.events[0]);
  EXPECT_EQ(d.FindType("Missing"), nullptr);
}

TEST(ApiDescriptionTest, EmptyListsAreNullWithACountOfZero) {
  const PluginApiDescription empty{};
  Result<ApiDescription> read = ReadApiDescription(&empty);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_TRUE(read->endpoints.empty());
  EXPECT_TRUE(read->types.empty());
  EXPECT_TRUE(read->events.empty());
  EXPECT_FALSE(ReadApiDescription(nullptr).ok());
}

TEST(ApiDescriptionTest, RecordsThatDoNotWalkAreRefused) {
  struct Case {
    const char* name;
    std::function<void(Fixture&)> damage;
    std::string message;
  };
  const char* const no_tags[1] = {nullptr};
  const Case cases[] = {
      {"endpoint chain loops",
       [](Fixture& f) { f.endpoints[1].function.next = &f.endpoints[0].function; },
       "endpoints: the chain goes on past its count of 2 (or loops)"},
      {"endpoint count above the chain", [](Fixture& f) { f.record.endpoint_count = 3; },
       "endpoints: the chain ends after 2 entries, but its count is 3"},
      {"endpoint count below the chain", [](Fixture& f) { f.record.endpoint_count = 1; },
       "endpoints: the chain goes on past its count of 1 (or loops)"},
      {"endpoints missing", [](Fixture& f) { f.record.endpoints = nullptr; },
       "endpoints: a count of 2 but no entries"},
      {"endpoints without a count", [](Fixture& f) { f.record.endpoint_count = 0; },
       "endpoints: entries but a count of 0"},
      {"parameter chain short", [](Fixture& f) { f.endpoints[0].function.argument_count = 3; },
       "endpoint 0 (GetFxV1ItemsById): parameters: the chain ends after 2 entries, but its "
       "count is 3"},
      {"member chain loops", [](Fixture& f) { f.members[2].next = &f.members[0]; },
       "type 0 (FxItem): members: the chain goes on past its count of 3 (or loops)"},
      {"enumerator count", [](Fixture& f) { f.types[1].count = 1; },
       "type 1 (FxKind): enumerators: the chain goes on past its count of 1 (or loops)"},
      {"location chain loops", [](Fixture& f) { f.locations[1].next = &f.locations[0]; },
       "endpoint 0 (GetFxV1ItemsById): locations: the chain does not end within 65536 "
       "entries (it loops)"},
      {"event count", [](Fixture& f) { f.record.event_count = 2; },
       "events: the chain ends after 1 entry, but its count is 2"},
      {"type code out of range", [](Fixture& f) { f.arguments[1].type.type_code = 20; },
       "endpoint 0 (GetFxV1ItemsById): parameter 1: type code 20/0 is not one of 0-19"},
      {"element code out of range", [](Fixture& f) { f.members[2].type.element_type_code = 77; },
       "type 0 (FxItem): member 2: type code 15/77 is not one of 0-19"},
      {"location code out of range", [](Fixture& f) { f.locations[0].location = 6; },
       "endpoint 0 (GetFxV1ItemsById): location 0 has the code 6, not one of 0-5"},
      {"method code out of range", [](Fixture& f) { f.endpoints[0].method = 9; },
       "endpoint 0 (GetFxV1ItemsById): method code 9 is not one of 0-8"},
      {"custom method without a name", [](Fixture& f) { f.endpoints[1].custom_method = ""; },
       "endpoint 1 (PurgeFxV1Items): a custom method without a name"},
      {"no request entry", [](Fixture& f) { f.endpoints[1].request_entry = nullptr; },
       "endpoint 1 (PurgeFxV1Items): no request entry"},
      {"nothing to route by",
       [](Fixture& f) {
         f.endpoints[1].path_template = nullptr;
         f.endpoints[1].function.name = nullptr;
       },
       "endpoint 1: neither a path template nor a function name to route by"},
      {"members and enumerators", [](Fixture& f) { f.types[0].enumerators = f.enumerators; },
       "type 0 (FxItem): both members and enumerators"},
      {"a count without items", [](Fixture& f) { f.types[1].enumerators = nullptr; },
       "type 1 (FxKind): a count of 2 but neither members nor enumerators"},
      {"tags without an array", [](Fixture& f) { f.types[1].tag_count = 2; },
       "type 1 (FxKind): tag: a count of 2 but no array"},
      {"a null tag text is empty, a missing type name is not",
       [](Fixture& f) { f.types[1].name = nullptr; }, "type 1: no name"},
      {"an empty member name", [](Fixture& f) { f.members[1].name = ""; },
       "type 0 (FxItem): member 1: an empty name"},
      {"an empty event name", [](Fixture& f) { f.events[0].name = ""; }, "event 0: an empty name"},
  };
  for (const Case& c : cases) {
    Fixture f;
    c.damage(f);
    Result<ApiDescription> read = ReadApiDescription(&f.record);
    ASSERT_FALSE(read.ok()) << c.name;
    EXPECT_EQ(read.error(), c.message) << c.name;
  }
  // A null text inside a tag array reads as an empty tag.
  Fixture f;
  f.types[1].tags = no_tags;
  f.types[1].tag_count = 1;
  Result<ApiDescription> read = ReadApiDescription(&f.record);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read->types[1].tags, std::vector<std::string>{""});
}

TEST(ApiDescriptionTest, TheWalkIsBounded) {
  const Fixture f;
  DescriptionLimits limits;
  limits.max_text_bytes = 8;  // "GetFxV1ItemsById" is 16
  Result<ApiDescription> read = ReadApiDescription(&f.record, limits);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), "endpoint 0: the function name does not end within 8 bytes");

  limits = DescriptionLimits{};
  limits.max_list_entries = 2;
  read = ReadApiDescription(&f.record, limits);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), "type 0 (FxItem): members: a count of 3 is above the limit of 2");

  limits = DescriptionLimits{};
  limits.max_entries = 10;  // the first endpoint alone holds 10, with its tags and texts
  read = ReadApiDescription(&f.record, limits);
  ASSERT_FALSE(read.ok());
  EXPECT_NE(read.error().find("the description holds more than 10 entries"), std::string::npos)
      << read.error();
}

TEST(ApiDescriptionTest, MethodNamesAndCodes) {
  EXPECT_EQ(MethodName(kPluginMethodGet), "GET");
  EXPECT_EQ(MethodName(kPluginMethodPut), "PUT");
  EXPECT_EQ(MethodName(kPluginMethodNone), "");
  EXPECT_EQ(MethodName(kPluginMethodCustom), "");
  EXPECT_EQ(MethodCode("DELETE"), uint32_t{kPluginMethodDelete});
  EXPECT_EQ(MethodCode("get"), uint32_t{kPluginMethodNone});
}

}  // namespace
}  // namespace plugin_host
