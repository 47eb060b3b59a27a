// Tests of the API description handed to the host: endpoint records walked by their chain, each
// a copy of its function's entry with the endpoint's context, request entry, locations, path,
// method, flag, text lists and custom method; a function without an endpoint; a request made
// through a record's own request entry and context.
#include "sdk/dispatch/api_description.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/record_builder.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"
#include "sdk/dispatch/request_dispatch.h"

namespace api_description_test_records {
struct DescStatus {
  bool ready = false;
};
struct DescRequest {
  std::string text;
};
}  // namespace api_description_test_records

namespace sdk::dispatch {
namespace {

using api_description_test_records::DescRequest;
using api_description_test_records::DescStatus;

class ApiDescriptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sdk::binding::RecordBuilder<DescStatus> status(registry_, "DescStatus");
    SDK_BINDING_MEMBER(status, ready);
    sdk::binding::RecordBuilder<DescRequest> check(registry_, "DescRequest");
    SDK_BINDING_MEMBER(check, text);
    DeclareRoute(table_, HttpMethod::kGet, "/desc/v1/status", [] {
      return DescStatus{true};
    }).Tags({"Plugins", "Plugin desc"});
    DeclareRoute(
        table_, HttpMethod::kPost, "/desc/v1/check",
        [](const DescRequest& request) { return DescStatus{!request.text.empty()}; },
        InBody("request"));
    DeclareEndpoint(table_, "PurgeByKey",
                    [](std::string key, std::optional<int32_t> depth) {
                      return static_cast<int32_t>(key.size()) + depth.value_or(0);
                    })
        .Path("/desc/{key}")
        .CustomMethod("PURGE")
        .Flag(true)
        .TextList({"a", "b"})
        .TextList({})
        .Parameters()
        .Parameter("key", ArgumentLocation::kPath)
        .Parameter("depth", ArgumentLocation::kQuery);
    // A function of the registry that no endpoint offers.
    registry_.FindOrAddFunction("Lonely");
  }

  sdk::binding::BindingRegistry registry_;
  EndpointTable table_{registry_};
};

TEST_F(ApiDescriptionTest, EndpointRecordsCopyTheirFunctionsAndAddTheRouting) {
  const auto description = BuildApiDescription(registry_, table_);
  const PluginApiDescription& record = *description->record();
  ASSERT_EQ(record.endpoint_count, 3u);
  std::vector<const PluginEndpointRecord*> walked;
  for (const PluginFunctionEntry* entry = &record.endpoints->function; entry != nullptr;
       entry = entry->next) {
    walked.push_back(reinterpret_cast<const PluginEndpointRecord*>(entry));
  }
  ASSERT_EQ(walked.size(), 3u);
  const std::vector<const Endpoint*> endpoints = table_.Endpoints();
  for (size_t i = 0; i < walked.size(); ++i) {
    const PluginEndpointRecord& endpoint_record = *walked[i];
    EXPECT_EQ(&endpoint_record, &record.endpoints[i]);
    const Endpoint& endpoint = *endpoints[i];
    const std::string where = endpoint.function().name;
    // The copy of the function entry, but for the link and the context.
    const PluginFunctionEntry* function = description->entries().FindFunction(where);
    ASSERT_NE(function, nullptr) << where;
    PluginFunctionEntry copy = endpoint_record.function;
    copy.next = function->next;
    copy.endpoint_context = function->endpoint_context;
    EXPECT_EQ(std::memcmp(&copy, function, sizeof copy), 0) << where;
    EXPECT_EQ(endpoint_record.function.endpoint_context, endpoint.context()) << where;
    EXPECT_EQ(endpoint_record.request_entry, &HandleRequest) << where;
    EXPECT_STREQ(endpoint_record.path_template, endpoint.path_template().c_str()) << where;
    EXPECT_EQ(endpoint_record.method, static_cast<uint32_t>(endpoint.method())) << where;
  }
  EXPECT_STREQ(walked[0]->function.name, "GetDescV1Status");
  EXPECT_EQ(walked[0]->locations, nullptr);
  EXPECT_EQ(walked[0]->function.tag_count, 2u);
  EXPECT_STREQ(walked[0]->custom_method, "");
  EXPECT_EQ(walked[0]->flag, 0);
  EXPECT_EQ(walked[0]->text_lists, nullptr);
  EXPECT_EQ(walked[0]->text_list_count, 0u);

  EXPECT_STREQ(walked[1]->function.name, "PostDescV1Check");
  ASSERT_NE(walked[1]->locations, nullptr);
  EXPECT_EQ(walked[1]->locations->location, 5u);
  EXPECT_EQ(walked[1]->locations->next, nullptr);
  EXPECT_EQ(walked[1]->method, 6u);

  const PluginEndpointRecord& purge = *walked[2];
  EXPECT_STREQ(purge.function.name, "PurgeByKey");
  EXPECT_EQ(purge.method, 8u);
  EXPECT_STREQ(purge.custom_method, "PURGE");
  EXPECT_STREQ(purge.path_template, "/desc/{key}");
  EXPECT_EQ(purge.flag, 1);
  ASSERT_NE(purge.locations, nullptr);
  EXPECT_EQ(purge.locations[0].location, 2u);
  EXPECT_EQ(purge.locations[0].next, &purge.locations[1]);
  EXPECT_EQ(purge.locations[1].location, 1u);
  EXPECT_EQ(purge.locations[1].next, nullptr);
  ASSERT_EQ(purge.text_list_count, 2u);
  EXPECT_EQ(purge.text_lists[0].next, &purge.text_lists[1]);
  ASSERT_EQ(purge.text_lists[0].text_count, 2u);
  EXPECT_STREQ(purge.text_lists[0].texts[0], "a");
  EXPECT_STREQ(purge.text_lists[0].texts[1], "b");
  EXPECT_EQ(purge.text_lists[1].next, nullptr);
  EXPECT_EQ(purge.text_lists[1].texts, nullptr);
  EXPECT_EQ(purge.text_lists[1].text_count, 0u);
  EXPECT_EQ(purge.function.next, nullptr);

  // The lonely function is described among the entries but offered by no endpoint record.
  EXPECT_NE(description->entries().FindFunction("Lonely"), nullptr);
  for (const PluginEndpointRecord* e : walked) EXPECT_STRNE(e->function.name, "Lonely");

  // The type and event lists are the entries' own.
  EXPECT_EQ(record.types, description->entries().type_list());
  EXPECT_EQ(record.type_count, description->entries().types().size());
  EXPECT_EQ(record.types[record.type_count - 1].next, nullptr);
  EXPECT_EQ(record.events, description->entries().event_list());
  EXPECT_EQ(record.event_count, 1u);
}

TEST_F(ApiDescriptionTest, TheHostCallsAnEndpointThroughItsRecord) {
  const auto description = BuildApiDescription(registry_, table_);
  const PluginEndpointRecord& check = description->record()->endpoints[1];
  const std::string body = R"({"text": "x"})";
  PluginRequestRecord request{};
  request.method = kPluginMethodPost;
  request.path = "/desc/v1/check";
  request.endpoint_context = check.function.endpoint_context;
  request.content_type = "application/json";
  request.body = body.c_str();
  request.body_size = static_cast<uint32_t>(body.size());
  PluginResponseRecord response;
  check.request_entry(&response, &request);
  EXPECT_EQ(response.error_text, nullptr);
  EXPECT_EQ(response.status_code, 200u);
  EXPECT_EQ(response.result.tag, static_cast<uint32_t>(kHostValueStructure));
  response.release(&response);
}

TEST(ApiDescriptionEmptyTest, NoEndpointsGiveANullList) {
  sdk::binding::BindingRegistry registry;
  EndpointTable table(registry);
  const auto description = BuildApiDescription(registry, table);
  EXPECT_EQ(description->record()->endpoints, nullptr);
  EXPECT_EQ(description->record()->endpoint_count, 0u);
  EXPECT_EQ(description->record()->type_count, 15u);
}

}  // namespace
}  // namespace sdk::dispatch
