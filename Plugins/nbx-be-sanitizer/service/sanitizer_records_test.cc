// Tests of what the sanitizer registers: the five records with their names, member tables
// (types, optional marks, flags) and tags, and the three endpoints in order with their function
// names, methods, paths, body parameters, result types and tags.
#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "Plugins/nbx-be-sanitizer/service/sanitizer_resources.h"
#include "Plugins/nbx-be-sanitizer/service/service_test_util.h"
#include "sdk/binding/binding_registry.h"
#include "sdk/binding/type_descriptor.h"

namespace sanitizer::service {
namespace {

using sdk::binding::TypeCode;
using testing::ApiTags;
using testing::ServiceHarness;

struct MemberRow {
  std::string_view name;
  TypeCode code;
  TypeCode element = TypeCode::kNone;
  bool optional = false;
  uint32_t flags = 0;
};

struct RecordRow {
  std::string_view name;
  std::vector<MemberRow> members;
};

TEST(SanitizerRecordsTest, RecordsAreRegisteredWithTheirMemberTablesAndTags) {
  const std::vector<RecordRow> records = {
      {"SanitizerSanitizerStatus",
       {{"ready", TypeCode::kBool},
        {"region", TypeCode::kString},
        {"locale", TypeCode::kString},
        {"filteredWordCountsByLevel", TypeCode::kMap, TypeCode::kUint32},
        {"whitelistedWordCountsByLevel", TypeCode::kMap, TypeCode::kUint32},
        {"allowedCharsCount", TypeCode::kUint32},
        {"breakingCharsCount", TypeCode::kUint32},
        {"projectedCharsCount", TypeCode::kUint32}}},
      {"SanitizerContainsSanitizedRequest",
       {{"text", TypeCode::kString, TypeCode::kNone, false, sdk::binding::kRequired},
        {"level", TypeCode::kUint32, TypeCode::kNone, true},
        {"includeEmbedded", TypeCode::kBool, TypeCode::kNone, true},
        {"removeDisallowedChars", TypeCode::kBool, TypeCode::kNone, true},
        {"aggressiveScan", TypeCode::kBool, TypeCode::kNone, true}}},
      {"SanitizerContainsSanitizedResponse", {{"contains", TypeCode::kBool}}},
      {"SanitizerSanitizeRequest",
       {{"texts", TypeCode::kVector, TypeCode::kString, true},
        {"text", TypeCode::kString, TypeCode::kNone, true},
        {"level", TypeCode::kUint32, TypeCode::kNone, true},
        {"removeDisallowedChars", TypeCode::kBool, TypeCode::kNone, true},
        {"aggressiveScan", TypeCode::kBool, TypeCode::kNone, true}}},
      {"SanitizerSanitizeResponse",
       {{"texts", TypeCode::kVector, TypeCode::kString, true},
        {"text", TypeCode::kString, TypeCode::kNone, true},
        {"modified", TypeCode::kBool}}},
  };
  ServiceHarness harness;
  for (const RecordRow& row : records) {
    const sdk::binding::TypeRecord* record = harness.registry().FindTypeByName(row.name);
    ASSERT_NE(record, nullptr) << row.name;
    EXPECT_FALSE(record->is_enum) << row.name;
    EXPECT_EQ(record->tags, ApiTags()) << row.name;
    EXPECT_EQ(record->description, "") << row.name;
    ASSERT_EQ(record->members.size(), row.members.size()) << row.name;
    for (size_t i = 0; i < row.members.size(); ++i) {
      const sdk::binding::FieldRecord& member = record->members[i];
      const MemberRow& expected = row.members[i];
      EXPECT_EQ(member.name, expected.name) << row.name << " member " << i;
      EXPECT_EQ(member.type.code, expected.code) << row.name << "." << expected.name;
      EXPECT_EQ(member.type.element_code, expected.element) << row.name << "." << expected.name;
      EXPECT_EQ(member.optional, expected.optional) << row.name << "." << expected.name;
      EXPECT_EQ(member.flags, expected.flags) << row.name << "." << expected.name;
      EXPECT_EQ(member.description, "") << row.name << "." << expected.name;
    }
  }
}

TEST(SanitizerRecordsTest, TheRecordsOfEachNativeTypeAreFoundByIdentity) {
  // The converters find a native record's registration by its identity, which is what lets
  // the handlers' arguments and results convert at all.
  ServiceHarness harness;
  const sdk::binding::BindingRegistry& registry = harness.registry();
  EXPECT_EQ(registry.FindType(sdk::binding::StaticTypeOf<SanitizerStatus>()),
            registry.FindTypeByName("SanitizerSanitizerStatus"));
  EXPECT_EQ(registry.FindType(sdk::binding::StaticTypeOf<ContainsSanitizedRequest>()),
            registry.FindTypeByName("SanitizerContainsSanitizedRequest"));
  EXPECT_EQ(registry.FindType(sdk::binding::StaticTypeOf<ContainsSanitizedResponse>()),
            registry.FindTypeByName("SanitizerContainsSanitizedResponse"));
  EXPECT_EQ(registry.FindType(sdk::binding::StaticTypeOf<SanitizeRequest>()),
            registry.FindTypeByName("SanitizerSanitizeRequest"));
  EXPECT_EQ(registry.FindType(sdk::binding::StaticTypeOf<SanitizeResponse>()),
            registry.FindTypeByName("SanitizerSanitizeResponse"));
}

struct EndpointRow {
  std::string_view function;
  sdk::dispatch::HttpMethod method;
  std::string_view path;
  std::string_view parameter;  // empty: the function takes no parameter
  std::string_view parameter_type;
  std::string_view result_type;
};

TEST(SanitizerRecordsTest, EndpointsAreDeclaredInOrderWithTheirBodyParameters) {
  using sdk::dispatch::HttpMethod;
  const std::vector<EndpointRow> rows = {
      {"GetSanitizerV1Status", HttpMethod::kGet, "/sanitizer/v1/status", "", "",
       "SanitizerSanitizerStatus"},
      {"PostSanitizerV1ContainsSanitized", HttpMethod::kPost, "/sanitizer/v1/containsSanitized",
       "request", "SanitizerContainsSanitizedRequest", "SanitizerContainsSanitizedResponse"},
      {"PostSanitizerV1Sanitize", HttpMethod::kPost, "/sanitizer/v1/sanitize", "request",
       "SanitizerSanitizeRequest", "SanitizerSanitizeResponse"},
  };
  ServiceHarness harness;
  const std::vector<const sdk::dispatch::Endpoint*> endpoints = harness.table().Endpoints();
  ASSERT_EQ(endpoints.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const EndpointRow& row = rows[i];
    const sdk::dispatch::Endpoint& endpoint = *endpoints[i];
    const sdk::binding::FunctionRecord& function = endpoint.function();
    EXPECT_EQ(function.name, row.function);
    EXPECT_EQ(endpoint.method(), row.method) << row.function;
    EXPECT_EQ(endpoint.path_template(), row.path) << row.function;
    EXPECT_EQ(endpoint.custom_method(), "") << row.function;
    EXPECT_EQ(function.tags, ApiTags()) << row.function;
    ASSERT_NE(function.returns.type.type, nullptr) << row.function;
    EXPECT_EQ(function.returns.type.code, TypeCode::kStruct) << row.function;
    EXPECT_EQ(function.returns.type.type->name, row.result_type) << row.function;
    if (row.parameter.empty()) {
      EXPECT_TRUE(function.arguments.empty()) << row.function;
      continue;
    }
    ASSERT_EQ(function.arguments.size(), 1u) << row.function;
    const sdk::binding::FunctionArgument& argument = function.arguments[0];
    EXPECT_EQ(argument.name, row.parameter) << row.function;
    EXPECT_EQ(argument.description, "") << row.function;
    EXPECT_FALSE(argument.optional) << row.function;
    EXPECT_EQ(argument.type.code, TypeCode::kStruct) << row.function;
    ASSERT_NE(argument.type.type, nullptr) << row.function;
    EXPECT_EQ(argument.type.type->name, row.parameter_type) << row.function;
    EXPECT_EQ(endpoint.location(0), sdk::dispatch::ArgumentLocation::kBody) << row.function;
  }
}

}  // namespace
}  // namespace sanitizer::service
