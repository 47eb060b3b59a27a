// Tests of the registry: static type identities, the built-in vocabulary of a fresh registry
// (types in order, their members, sizes, offsets, tags, the event "OnCallback"), first-wins
// registration, enumerator lookups, the function and event tables, reset, and registration from
// several threads.
#include "sdk/binding/binding_registry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sdk/binding/binding_request_context.h"
#include "sdk/binding/builtin_types.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"
#include "sdk/binding/registry_test_records.h"

namespace sdk::binding {
namespace {

using Tags = std::vector<std::string>;

TEST(StaticTypeTest, FixedIdentitiesAndDisplayTexts) {
  static_assert(StaticTypeOf<void>().id() == 0x1BE7EF8E);
  static_assert(StaticTypeOf<BindingRequestContext>().id() == 0x466F9860);
  static_assert(StaticTypeOf<BindingRequestContext*>().id() == 0x89462EBF);
  static_assert(StaticTypeOf<const BindingRequestContext*>().id() == 0x89462EBF);
  EXPECT_EQ(StaticTypeOf<void>().DisplayText(), "#1BE7EF8E");
  EXPECT_TRUE(StaticTypeOf<void>().IsNoType());
  EXPECT_EQ(StaticTypeOf<BindingRequestContext>().DisplayText(), "#466F9860");
  EXPECT_EQ(StaticTypeOf<BindingRequestContext*>().DisplayText(), "#89462EBF");
  EXPECT_TRUE(IsRequestContextType(StaticTypeOf<const BindingRequestContext&>()));
  EXPECT_FALSE(IsRequestContextType(StaticTypeOf<void>()));
  EXPECT_EQ(StaticTypeOf<BindingProperty>().DisplayText(),
            "const char *__cdecl StaticType::Name<class Pavo::BindingProperty>(void)");
}

TEST(StaticTypeTest, DisplayIsTheIdentifierInEightUppercaseHexDigits) {
  constexpr StaticType kSmall(0xA, "small");
  EXPECT_EQ(kSmall.DisplayText(), "#0000000A");
  constexpr StaticType kLarge(0xFEDCBA98, "large");
  EXPECT_EQ(kLarge.DisplayText(), "#FEDCBA98");
  const StaticType& type = StaticTypeOf<testing::SanitizeRequest>();
  char expected[16];
  std::snprintf(expected, sizeof expected, "#%08X", type.id());
  EXPECT_EQ(type.DisplayText(), expected);
}

TEST(StaticTypeTest, QualifiersDoNotCountAndTheObjectIsShared) {
  EXPECT_EQ(&StaticTypeOf<const testing::SanitizeRequest&>(),
            &StaticTypeOf<testing::SanitizeRequest>());
  EXPECT_EQ(StaticTypeOf<volatile int>().id(), StaticTypeOf<int>().id());
}

TEST(StaticTypeTest, IdentitiesOfDifferentTypesDiffer) {
  const std::vector<const StaticType*> types = {
      &StaticTypeOf<void>(),
      &StaticTypeOf<BindingRequestContext>(),
      &StaticTypeOf<BindingRequestContext*>(),
      &StaticTypeOf<BindingProperty>(),
      &StaticTypeOf<bool>(),
      &StaticTypeOf<int8_t>(),
      &StaticTypeOf<uint8_t>(),
      &StaticTypeOf<int16_t>(),
      &StaticTypeOf<uint16_t>(),
      &StaticTypeOf<int32_t>(),
      &StaticTypeOf<uint32_t>(),
      &StaticTypeOf<int64_t>(),
      &StaticTypeOf<uint64_t>(),
      &StaticTypeOf<float>(),
      &StaticTypeOf<double>(),
      &StaticTypeOf<std::string>(),
      &StaticTypeOf<BindingValue>(),
      &StaticTypeOf<std::vector<std::string>>(),
      &StaticTypeOf<std::optional<uint32_t>>(),
      &StaticTypeOf<BindingHelpFormat>(),
      &StaticTypeOf<BindingFullTypeIdentifier>(),
      &StaticTypeOf<BindingFullArgumentHelp>(),
      &StaticTypeOf<BindingFullFunctionHelp>(),
      &StaticTypeOf<BindingFullEnumValueHelp>(),
      &StaticTypeOf<BindingFullFieldHelp>(),
      &StaticTypeOf<BindingFullTypeHelp>(),
      &StaticTypeOf<BindingFullEventHelp>(),
      &StaticTypeOf<BindingFullApiHelp>(),
      &StaticTypeOf<BindingAsyncState>(),
      &StaticTypeOf<BindingGenericEvent>(),
      &StaticTypeOf<BindingCallbackEvent>(),
      &StaticTypeOf<BindingGenericAsyncEvent>(),
      &StaticTypeOf<BindingAsyncFailureEvent>(),
      &StaticTypeOf<BindingAsyncCancelEvent>(),
      &StaticTypeOf<testing::SanitizerStatus>(),
      &StaticTypeOf<testing::ContainsSanitizedRequest>(),
      &StaticTypeOf<testing::SanitizeRequest>(),
      &StaticTypeOf<testing::SanitizeResponse>(),
      &StaticTypeOf<testing::PluginResourceEventType>(),
      &StaticTypeOf<testing::PluginResourceEvent>(),
  };
  std::set<uint32_t> ids;
  for (const StaticType* type : types) {
    EXPECT_TRUE(ids.insert(type->id()).second)
        << "repeated identity " << type->DisplayText() << " of " << type->signature();
  }
}

struct BuiltinType {
  const char* name;
  bool is_enum;
  Tags tags;
  const char* description;
};

TEST(BindingRegistryTest, FreshRegistryListsTheBuiltinTypesInOrder) {
  const BuiltinType kExpected[] = {
      {"BindingHelpFormat",
       true,
       {"$builtin", "help"},
       "Help format for binding functions and types."},
      {"BindingFullTypeIdentifier", false, {"$builtin", "help"}, "Describes the type of a value."},
      {"BindingFullArgumentHelp", false, {"$builtin", "help"}, "Describes a function parameter."},
      {"BindingFullFunctionHelp", false, {"$builtin", "help"}, "Describes a function."},
      {"BindingFullEnumValueHelp", false, {"$builtin", "help"}, "Describes an enumerator."},
      {"BindingFullFieldHelp", false, {"$builtin", "help"}, "Describes a member of a struct."},
      {"BindingFullTypeHelp", false, {"$builtin", "help"}, "Describes a struct or enum type."},
      {"BindingFullEventHelp", false, {"$builtin", "help"}, "Describes an event."},
      {"BindingFullApiHelp", false, {"$builtin", "help"}, "Describes the exposed native API."},
      {"BindingAsyncState",
       true,
       {"$builtin", "async"},
       "Possible states of an asynchronous operation."},
      {"BindingGenericEvent", false, {"$builtin"}, "Represents generic data for an event."},
      {"BindingCallbackEvent",
       false,
       {"$builtin"},
       "Represents the parameters of a call to a provided callback."},
      {"BindingGenericAsyncEvent",
       false,
       {"$builtin", "async"},
       "Represents generic data for an asynchronous event."},
      {"BindingAsyncFailureEvent",
       false,
       {"$builtin", "async"},
       "Represents a failed asynchronous operation."},
      {"BindingAsyncCancelEvent",
       false,
       {"$builtin", "async"},
       "Represents a cancelled asynchronous operation."},
  };
  BindingRegistry registry;
  const std::vector<const TypeRecord*> types = registry.Types();
  ASSERT_EQ(types.size(), std::size(kExpected));
  for (size_t i = 0; i < types.size(); ++i) {
    const TypeRecord& type = *types[i];
    EXPECT_EQ(type.name, kExpected[i].name) << "type " << i;
    EXPECT_EQ(type.is_enum, kExpected[i].is_enum) << type.name;
    EXPECT_EQ(type.tags, kExpected[i].tags) << type.name;
    EXPECT_EQ(type.description, kExpected[i].description) << type.name;
    EXPECT_EQ(type.name_space, "") << type.name;
    EXPECT_EQ(type.registry, &registry) << type.name;
    EXPECT_EQ(registry.FindTypeByName(type.name), &type);
    EXPECT_EQ(registry.FindType(type.static_id), &type);
  }

  const std::vector<const EventRecord*> events = registry.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->name, "OnCallback");
  EXPECT_EQ(events[0]->description, "Fired when a callback is invoked.");
  EXPECT_EQ(events[0]->tags, Tags{"$builtin"});
  EXPECT_EQ(events[0]->type.code, TypeCode::kStruct);
  ASSERT_NE(events[0]->type.type, nullptr);
  EXPECT_EQ(events[0]->type.type->name, "BindingCallbackEvent");
  EXPECT_TRUE(registry.Functions().empty());
}

struct MemberRow {
  const char* name;
  TypeCode code;
  TypeCode element_code;
  const char* type_name;  // registered type of the descriptor, "" for none
};

void ExpectMembers(const BindingRegistry& registry, const char* type_name,
                   const std::vector<MemberRow>& rows) {
  const TypeRecord* type = registry.FindTypeByName(type_name);
  ASSERT_NE(type, nullptr) << type_name;
  ASSERT_EQ(type->members.size(), rows.size()) << type_name;
  for (size_t i = 0; i < rows.size(); ++i) {
    const FieldRecord& field = type->members[i];
    EXPECT_EQ(field.name, rows[i].name) << type_name << " member " << i;
    EXPECT_EQ(field.name_hash.value(), Fnv1a32(field.name)) << field.name;
    EXPECT_EQ(field.type.code, rows[i].code) << type_name << "." << field.name;
    EXPECT_EQ(field.type.element_code, rows[i].element_code) << type_name << "." << field.name;
    EXPECT_EQ(field.type.type != nullptr ? field.type.type->name : "", rows[i].type_name)
        << type_name << "." << field.name;
    EXPECT_EQ(field.second_type.code, TypeCode::kNone) << type_name << "." << field.name;
    EXPECT_EQ(field.flags, 0u) << type_name << "." << field.name;
    EXPECT_FALSE(field.optional) << type_name << "." << field.name;
    EXPECT_EQ(field.owner, type);
    EXPECT_NE(field.converter, nullptr);
  }
}

TEST(BindingRegistryTest, HelpRecordMembers) {
  using C = TypeCode;
  BindingRegistry registry;
  const char* const kId = "BindingFullTypeIdentifier";
  ExpectMembers(registry, "BindingFullTypeIdentifier",
                {{"type", C::kString, C::kNone, ""}, {"elementType", C::kString, C::kNone, ""}});
  ExpectMembers(registry, "BindingFullArgumentHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"description", C::kString, C::kNone, ""},
                 {"type", C::kStruct, C::kNone, kId},
                 {"optional", C::kBool, C::kNone, ""}});
  ExpectMembers(registry, "BindingFullFunctionHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"nameSpace", C::kString, C::kNone, ""},
                 {"arguments", C::kVector, C::kStruct, "BindingFullArgumentHelp"},
                 {"returns", C::kStruct, C::kNone, kId},
                 {"description", C::kString, C::kNone, ""},
                 {"help", C::kString, C::kNone, ""},
                 {"threadSafe", C::kBool, C::kNone, ""},
                 {"async", C::kString, C::kNone, ""},
                 {"tags", C::kVector, C::kString, ""}});
  ExpectMembers(registry, "BindingFullEnumValueHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"description", C::kString, C::kNone, ""},
                 {"value", C::kInt32, C::kNone, ""}});
  ExpectMembers(registry, "BindingFullFieldHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"description", C::kString, C::kNone, ""},
                 {"offset", C::kUint32, C::kNone, ""},
                 {"type", C::kStruct, C::kNone, kId},
                 {"optional", C::kBool, C::kNone, ""}});
  ExpectMembers(registry, "BindingFullTypeHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"nameSpace", C::kString, C::kNone, ""},
                 {"size", C::kUint32, C::kNone, ""},
                 {"description", C::kString, C::kNone, ""},
                 {"tags", C::kVector, C::kString, ""},
                 {"fields", C::kVector, C::kStruct, "BindingFullFieldHelp"},
                 {"values", C::kVector, C::kStruct, "BindingFullEnumValueHelp"}});
  ExpectMembers(registry, "BindingFullEventHelp",
                {{"name", C::kString, C::kNone, ""},
                 {"nameSpace", C::kString, C::kNone, ""},
                 {"type", C::kStruct, C::kNone, kId},
                 {"description", C::kString, C::kNone, ""},
                 {"tags", C::kVector, C::kString, ""}});
  ExpectMembers(registry, "BindingFullApiHelp",
                {{"functions", C::kVector, C::kStruct, "BindingFullFunctionHelp"},
                 {"types", C::kVector, C::kStruct, "BindingFullTypeHelp"},
                 {"events", C::kVector, C::kStruct, "BindingFullEventHelp"}});
  for (const TypeRecord* type : registry.Types()) {
    for (const FieldRecord& field : type->members) {
      if (type->tags.back() == "help") {
        EXPECT_EQ(field.description, "") << field.name;
      }
    }
  }
}

struct EnumeratorRow {
  const char* name;
  int32_t value;
  const char* description;
};

void ExpectEnumerators(const TypeRecord& type, const std::vector<EnumeratorRow>& rows) {
  EXPECT_EQ(type.enumerators.size(), rows.size()) << type.name;
  for (const EnumeratorRow& row : rows) {
    const EnumValueRecord* enumerator = type.FindEnumerator(row.name);
    ASSERT_NE(enumerator, nullptr) << type.name << "." << row.name;
    EXPECT_EQ(enumerator->value, row.value) << row.name;
    EXPECT_EQ(enumerator->description, row.description) << row.name;
    EXPECT_EQ(enumerator->owner, &type);
  }
}

TEST(BindingRegistryTest, BuiltinEnums) {
  BindingRegistry registry;
  const TypeRecord* format = registry.FindType(StaticTypeOf<BindingHelpFormat>());
  ASSERT_NE(format, nullptr);
  ExpectEnumerators(*format,
                    {{"Full", 1, "Native help format"}, {"Epytext", 2, "Python epytext format"}});
  const TypeRecord* state = registry.FindType(StaticTypeOf<BindingAsyncState>());
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->size, 4u);
  ExpectEnumerators(*state, {{"None", 0, "Invalid state"},
                             {"Running", 1, "The operation is in flight"},
                             {"Cancelling", 2, "A request to cancel the operation has been made"},
                             {"Cancelled", 3, "The operation was cancelled"},
                             {"Succeeded", 4, "The operation completed successfully"},
                             {"Failed", 5, "The operation encountered an error"}});
  EXPECT_TRUE(state->members.empty());
}

struct PayloadRow {
  const char* type;
  size_t size;  // native size
  std::vector<std::tuple<const char*, TypeCode, TypeCode, size_t, const char*>> members;
};

TEST(BindingRegistryTest, EventPayloadRecordsHaveNativeSizesAndOffsets) {
  using C = TypeCode;
  const PayloadRow kRows[] = {
      {"BindingGenericEvent",
       sizeof(BindingGenericEvent),
       {{"data", C::kObject, C::kNone, offsetof(BindingGenericEvent, data), "Event data"}}},
      {"BindingCallbackEvent",
       sizeof(BindingCallbackEvent),
       {{"id", C::kUint32, C::kNone, offsetof(BindingCallbackEvent, id),
         "ID of the callback being invoked"},
        {"parameters", C::kVector, C::kObject, offsetof(BindingCallbackEvent, parameters),
         "Callback parameters"}}},
      {"BindingGenericAsyncEvent",
       sizeof(BindingGenericAsyncEvent),
       {{"asyncToken", C::kUint32, C::kNone, offsetof(BindingGenericAsyncEvent, asyncToken),
         "Asynchronous operation token"},
        {"data", C::kObject, C::kNone, offsetof(BindingGenericAsyncEvent, data), "Event data"}}},
      {"BindingAsyncFailureEvent",
       sizeof(BindingAsyncFailureEvent),
       {{"asyncToken", C::kUint32, C::kNone, offsetof(BindingAsyncFailureEvent, asyncToken),
         "Asynchronous operation token"},
        {"error", C::kString, C::kNone, offsetof(BindingAsyncFailureEvent, error),
         "Error message"}}},
      {"BindingAsyncCancelEvent",
       sizeof(BindingAsyncCancelEvent),
       {{"asyncToken", C::kUint32, C::kNone, offsetof(BindingAsyncCancelEvent, asyncToken),
         "Asynchronous operation token"}}},
  };
  BindingRegistry registry;
  for (const PayloadRow& row : kRows) {
    const TypeRecord* type = registry.FindTypeByName(row.type);
    ASSERT_NE(type, nullptr) << row.type;
    EXPECT_EQ(type->size, row.size) << row.type;
    ASSERT_EQ(type->members.size(), row.members.size()) << row.type;
    for (size_t i = 0; i < row.members.size(); ++i) {
      const auto& [name, code, element_code, offset, description] = row.members[i];
      const FieldRecord& field = type->members[i];
      EXPECT_EQ(field.name, name) << row.type;
      EXPECT_EQ(field.type.code, code) << row.type << "." << name;
      EXPECT_EQ(field.type.element_code, element_code) << row.type << "." << name;
      EXPECT_EQ(field.offset, offset) << row.type << "." << name;
      EXPECT_EQ(field.description, description) << row.type << "." << name;
      EXPECT_EQ(field.flags, 0u);
      EXPECT_FALSE(field.optional);
    }
  }
  // The async payloads keep the 32-bit target's member alignment: data after an 8-byte slot.
  EXPECT_EQ(offsetof(BindingGenericAsyncEvent, data), 8u);
}

struct First {
  int32_t a = 0;
};
struct Second {
  std::string b;
  std::string c;
};

TEST(BindingRegistryTest, FirstRegistrationOfANameWins) {
  BindingRegistry registry;
  {
    RecordBuilder<First> record(registry, "Thing");
    EXPECT_TRUE(record.active());
    SDK_BINDING_MEMBER(record, a, "first");
    record.Description("the first").Tags({"one"});
  }
  {
    RecordBuilder<Second> record(registry, "Thing");
    EXPECT_FALSE(record.active());
    EXPECT_EQ(record.record(), nullptr);
    SDK_BINDING_MEMBER(record, b);
    SDK_BINDING_MEMBER(record, c, kRequired);
    record.Description("the second").Tags({"two"});
  }
  const TypeRecord* thing = registry.FindTypeByName("Thing");
  ASSERT_NE(thing, nullptr);
  EXPECT_EQ(thing->description, "the first");
  EXPECT_EQ(thing->tags, Tags{"one"});
  ASSERT_EQ(thing->members.size(), 1u);
  EXPECT_EQ(thing->members[0].name, "a");
  EXPECT_EQ(thing->members[0].description, "first");
  EXPECT_EQ(thing->size, sizeof(First));
  EXPECT_EQ(registry.FindType(StaticTypeOf<First>()), thing);
  EXPECT_EQ(registry.FindType(StaticTypeOf<Second>()), nullptr);

  // A built-in name cannot be taken over either.
  RecordBuilder<First> builtin(registry, "BindingAsyncCancelEvent");
  EXPECT_FALSE(builtin.active());
  EXPECT_EQ(registry.FindTypeByName("BindingAsyncCancelEvent")->members[0].name, "asyncToken");
  EXPECT_EQ(registry.Types().size(), 16u);
}

TEST(BindingRegistryTest, SameNativeTypeUnderTwoNamesKeepsTheFirstIdentity) {
  BindingRegistry registry;
  RecordBuilder<First> one(registry, "One");
  RecordBuilder<First> two(registry, "Two");
  EXPECT_TRUE(two.active());
  EXPECT_EQ(registry.FindType(StaticTypeOf<First>()), one.record());
  EXPECT_EQ(registry.FindTypeByName("Two"), two.record());
}

TEST(BindingRegistryTest, NoTypeIdentityIsEnteredByNameOnly) {
  BindingRegistry registry;
  TypeBuilder builder(registry, 12, "Untyped", StaticTypeOf<void>(), false);
  ASSERT_TRUE(builder.active());
  EXPECT_EQ(registry.FindTypeByName("Untyped"), builder.record());
  EXPECT_EQ(registry.FindType(StaticTypeOf<void>()), nullptr);
  EXPECT_EQ(registry.FindType(kNoTypeId), nullptr);
}

TEST(BindingRegistryTest, MemberFlagsOptionalMarksAndOffsets) {
  BindingRegistry registry;
  testing::RegisterTestRecords(registry);
  const TypeRecord* request = registry.FindTypeByName("SanitizerSanitizeRequest");
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->size, sizeof(testing::SanitizeRequest));
  const size_t kOffsets[] = {offsetof(testing::SanitizeRequest, texts),
                             offsetof(testing::SanitizeRequest, text),
                             offsetof(testing::SanitizeRequest, level),
                             offsetof(testing::SanitizeRequest, removeDisallowedChars),
                             offsetof(testing::SanitizeRequest, aggressiveScan)};
  ASSERT_EQ(request->members.size(), std::size(kOffsets));
  for (size_t i = 0; i < std::size(kOffsets); ++i) {
    EXPECT_EQ(request->members[i].offset, kOffsets[i]) << request->members[i].name;
    EXPECT_TRUE(request->members[i].optional) << request->members[i].name;
  }
  EXPECT_EQ(request->members[0].type,
            (TypeDescriptor{TypeCode::kVector, TypeCode::kString, nullptr}));
  EXPECT_EQ(request->members[2].type.code, TypeCode::kUint32);

  const TypeRecord* contains = registry.FindTypeByName("SanitizerContainsSanitizedRequest");
  ASSERT_NE(contains, nullptr);
  EXPECT_EQ(contains->members[0].flags, static_cast<uint32_t>(kRequired));
  EXPECT_FALSE(contains->members[0].optional);

  const TypeRecord* event = registry.FindTypeByName("PluginResourceEvent");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->members[1].type.code, TypeCode::kEnum);
  EXPECT_EQ(event->members[1].type.type, registry.FindTypeByName("PluginResourceEventType"));
  EXPECT_EQ(event->members[2].type.code, TypeCode::kObject);

  struct Marked {
    int32_t plain = 0;
    int32_t marked = 0;
  };
  RecordBuilder<Marked> marked(registry, "Marked");
  SDK_BINDING_MEMBER(marked, plain, kRequired | kOmitWhenDefault);
  SDK_BINDING_MEMBER(marked, marked, kOptional, "described");
  EXPECT_EQ(marked.record()->members[0].flags, 3u);
  EXPECT_FALSE(marked.record()->members[0].optional);
  EXPECT_TRUE(marked.record()->members[1].optional);
  EXPECT_EQ(marked.record()->members[1].description, "described");
  EXPECT_EQ(marked.record()->members[1].offset, offsetof(Marked, marked));
}

TEST(BindingRegistryTest, EnumeratorNamesAndValidity) {
  enum class Colour : int32_t { kRed = 1, kCrimson = 1, kBlue = 2 };
  BindingRegistry registry;
  EnumBuilder<Colour> colour(registry, "Colour");
  colour.Enumerator("Red", Colour::kRed, "first")
      .Enumerator("Crimson", Colour::kCrimson)
      .Enumerator("Blue", Colour::kBlue)
      .Enumerator("Red", Colour::kRed, "replaced");
  const uint32_t id = StaticTypeOf<Colour>().id();
  // The first enumerator in name order with that number.
  EXPECT_EQ(registry.EnumeratorName(id, 1), "Crimson");
  EXPECT_EQ(registry.EnumeratorName(id, 2), "Blue");
  EXPECT_EQ(registry.EnumeratorName(id, 3), std::nullopt);
  EXPECT_EQ(registry.EnumeratorName(0x12345678, 1), std::nullopt);
  const TypeRecord& record = *colour.record();
  EXPECT_TRUE(record.HasEnumerator(1));
  EXPECT_FALSE(record.HasEnumerator(0));
  EXPECT_EQ(record.enumerators.size(), 3u);
  EXPECT_EQ(record.FindEnumerator("Red")->description, "replaced");
  EXPECT_EQ(record.size, sizeof(Colour));
}

TEST(BindingRegistryTest, TagsAndNameSpace) {
  BindingRegistry registry;
  TypeBuilder builder(registry, 4, "Tagged", StaticTypeOf<First>(), false);
  builder.AddTag("a").AddTag("").AddTag("b");
  const std::vector<std::string> list = {"c", "", "d"};
  builder.AddTags(list);
  builder.SetNameSpace("ns");
  EXPECT_EQ(builder.record()->tags, (Tags{"a", "b", "c", "", "d"}));
  EXPECT_EQ(builder.record()->name_space, "ns");
}

TEST(BindingRegistryTest, FunctionAndEventTablesAreFirstWins) {
  BindingRegistry registry;
  auto [status, created] = registry.FindOrAddFunction("GetSanitizerV1Status");
  ASSERT_TRUE(created);
  EXPECT_EQ(status->name, "GetSanitizerV1Status");
  status->description = "status";
  status->returns = BindNativeType<BindingAsyncFailureEvent>(registry);
  auto [sanitize, sanitize_created] = registry.FindOrAddFunction("PostSanitizerV1Sanitize");
  EXPECT_TRUE(sanitize_created);
  FunctionArgument argument;
  static_cast<TypeBinding&>(argument) = BindNativeType<std::optional<uint32_t>>(registry);
  argument.name = "level";
  sanitize->arguments.push_back(argument);

  auto [again, created_again] = registry.FindOrAddFunction("GetSanitizerV1Status");
  EXPECT_FALSE(created_again);
  EXPECT_EQ(again, status);
  EXPECT_EQ(again->description, "status");
  EXPECT_EQ(registry.FindFunction("PostSanitizerV1Sanitize"), sanitize);
  EXPECT_EQ(registry.FindFunction("Missing"), nullptr);
  const std::vector<const FunctionRecord*> functions = registry.Functions();
  ASSERT_EQ(functions.size(), 2u);
  EXPECT_EQ(functions[0], status);
  EXPECT_EQ(functions[1], sanitize);
  EXPECT_EQ(functions[0]->returns.type.type, registry.FindTypeByName("BindingAsyncFailureEvent"));
  EXPECT_TRUE(functions[1]->arguments[0].optional);
  EXPECT_EQ(functions[1]->arguments[0].type.code, TypeCode::kUint32);

  auto [event, event_created] = registry.FindOrAddEvent("OnJsonApiEvent");
  EXPECT_TRUE(event_created);
  EXPECT_FALSE(registry.FindOrAddEvent("OnCallback").second);
  EXPECT_EQ(registry.FindEvent("OnJsonApiEvent"), event);
  EXPECT_EQ(registry.Events().size(), 2u);
}

TEST(BindingRegistryTest, ResetClearsTablesAndRegistersTheBuiltinsAgain) {
  BindingRegistry registry;
  testing::RegisterTestRecords(registry);
  registry.FindOrAddFunction("F");
  registry.FindOrAddEvent("OnJsonApiEvent");
  ASSERT_GT(registry.Types().size(), 15u);
  registry.Reset();
  const std::vector<const TypeRecord*> types = registry.Types();
  ASSERT_EQ(types.size(), 15u);
  EXPECT_EQ(types.front()->name, "BindingHelpFormat");
  EXPECT_EQ(types.back()->name, "BindingAsyncCancelEvent");
  EXPECT_EQ(registry.FindTypeByName("SanitizerSanitizeRequest"), nullptr);
  EXPECT_EQ(registry.FindType(StaticTypeOf<testing::SanitizeRequest>()), nullptr);
  EXPECT_TRUE(registry.Functions().empty());
  ASSERT_EQ(registry.Events().size(), 1u);
  EXPECT_EQ(registry.Events()[0]->name, "OnCallback");
  EXPECT_EQ(registry.Events()[0]->type.type, registry.FindTypeByName("BindingCallbackEvent"));

  // The re-registered built-ins convert as before.
  BindingAsyncCancelEvent cancel;
  cancel.asyncToken = 9;
  BindingResult result;
  ToValue(registry, result, cancel);
  EXPECT_EQ(result.value(), testing::Struct({{"asyncToken", testing::Uint(9)}}));
}

TEST(BindingRegistryTest, ConcurrentDeclarationsCreateEachNameOnce) {
  BindingRegistry registry;
  constexpr int kThreads = 4;
  constexpr int kNames = 50;
  std::vector<int> created(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&registry, &created, t] {
      for (int i = 0; i < kNames; ++i) {
        const std::string name = "F" + std::to_string(i);
        if (registry.FindOrAddFunction(name).second) ++created[t];
        if (registry.FindOrAddEvent("On" + name).second) ++created[t];
        TypeBuilder builder(registry, 4, "T" + name, StaticTypeOf<void>(), false);
        if (builder.active()) ++created[t];
        EXPECT_NE(registry.FindTypeByName("BindingFullApiHelp"), nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int total = 0;
  for (const int count : created) total += count;
  EXPECT_EQ(total, 3 * kNames);
  EXPECT_EQ(registry.Functions().size(), static_cast<size_t>(kNames));
  EXPECT_EQ(registry.Types().size(), static_cast<size_t>(15 + kNames));
}

TEST(TypeCodeTest, Names) {
  const char* const kNames[] = {"",       "bool",   "int8",   "uint8",    "int16",
                                "uint16", "int32",  "uint32", "int64",    "uint64",
                                "float",  "double", "string", "object",   "blob",
                                "vector", "enum",   "struct", "callback", "map"};
  for (int code = 0; code < 20; ++code) {
    EXPECT_EQ(TypeCodeName(static_cast<TypeCode>(code)), kNames[code]) << "code " << code;
  }
  EXPECT_EQ(TypeCodeName(static_cast<TypeCode>(20)), "");
  EXPECT_EQ(TypeCodeName(static_cast<TypeCode>(255)), "");
}

TEST(TypeCodeTest, NativeTypesMapToTheirCodes) {
  static_assert(TypeCodeOf<bool>() == TypeCode::kBool);
  static_assert(TypeCodeOf<signed char>() == TypeCode::kInt8);
  static_assert(TypeCodeOf<unsigned char>() == TypeCode::kUint8);
  static_assert(TypeCodeOf<short>() == TypeCode::kInt16);
  static_assert(TypeCodeOf<unsigned short>() == TypeCode::kUint16);
  static_assert(TypeCodeOf<int>() == TypeCode::kInt32);
  static_assert(TypeCodeOf<unsigned>() == TypeCode::kUint32);
  static_assert(TypeCodeOf<long long>() == TypeCode::kInt64);
  static_assert(TypeCodeOf<unsigned long long>() == TypeCode::kUint64);
  static_assert(TypeCodeOf<float>() == TypeCode::kFloat);
  static_assert(TypeCodeOf<double>() == TypeCode::kDouble);
  static_assert(TypeCodeOf<std::string>() == TypeCode::kString);
  static_assert(TypeCodeOf<BindingValue>() == TypeCode::kObject);
  static_assert(TypeCodeOf<std::vector<int>>() == TypeCode::kVector);
  static_assert(TypeCodeOf<BindingAsyncState>() == TypeCode::kEnum);
  static_assert(TypeCodeOf<BindingAsyncCancelEvent>() == TypeCode::kStruct);
  static_assert(TypeCodeOf<std::map<std::string, int>>() == TypeCode::kMap);
  static_assert(TypeCodeOf<std::optional<double>>() == TypeCode::kDouble);
  BindingRegistry registry;
  using StateLists = std::map<std::string, std::vector<BindingAsyncState>>;
  EXPECT_EQ(BindNativeType<StateLists>(registry).type,
            (TypeDescriptor{TypeCode::kMap, TypeCode::kVector, nullptr}));
  const TypeBinding nested = BindNativeType<std::vector<std::vector<BindingAsyncState>>>(registry);
  EXPECT_EQ(nested.converter_type, registry.FindTypeByName("BindingAsyncState"));
  const TypeBinding optional = BindNativeType<std::optional<BindingAsyncState>>(registry);
  EXPECT_TRUE(optional.optional);
  const TypeDescriptor expected{TypeCode::kEnum, TypeCode::kNone,
                                registry.FindTypeByName("BindingAsyncState")};
  EXPECT_EQ(optional.type, expected);
  EXPECT_EQ(BindNativeType<int>(registry).converter, &ConverterFor<int>());
}

}  // namespace
}  // namespace sdk::binding
