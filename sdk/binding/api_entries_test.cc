// Tests of the API description's function, type and event entries: each list walked as a host
// walks it, by the `next` chain, and every field of every entry compared with what the registry
// holds; the built-ins-only registry; the type references of vectors, scalars and enums; the
// second descriptor's precedence.
#include "sdk/binding/api_entries.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/native_conversion.h"
#include "sdk/binding/record_builder.h"

namespace api_entries_test_records {
struct Part {
  std::string label;
};
enum class Shade : int32_t { Light = 1, Dark = 2, Dim = -3 };
struct Widget {
  std::vector<Part> parts;
  uint32_t count = 0;
  Shade shade = Shade::Light;
  std::vector<std::string> names;
  std::optional<bool> flag;
};
}  // namespace api_entries_test_records

namespace sdk::binding {
namespace {

using api_entries_test_records::Part;
using api_entries_test_records::Shade;
using api_entries_test_records::Widget;

std::string Text(const char* text) { return text == nullptr ? "<null>" : text; }

// The registered name a reference must carry for a descriptor.
std::string ExpectedTypeName(const TypeBinding& binding) {
  const TypeDescriptor& type =
      binding.second_type.code != TypeCode::kNone ? binding.second_type : binding.type;
  switch (type.code) {
    case TypeCode::kVector:
    case TypeCode::kEnum:
    case TypeCode::kStruct:
    case TypeCode::kMap:
      return type.type != nullptr ? type.type->name : "";
    default:
      return "";
  }
}

uint32_t ExpectedCode(TypeCode code) {
  const auto value = static_cast<uint32_t>(code);
  return value >= 1 && value <= 19 ? value : 0;
}

void ExpectReference(const PluginTypeReference& reference, const TypeBinding& binding,
                     const std::string& where) {
  const TypeDescriptor& type =
      binding.second_type.code != TypeCode::kNone ? binding.second_type : binding.type;
  EXPECT_EQ(reference.type_code, ExpectedCode(type.code)) << where;
  EXPECT_EQ(reference.element_type_code, ExpectedCode(type.element_code)) << where;
  EXPECT_EQ(Text(reference.type_name), ExpectedTypeName(binding)) << where;
}

void ExpectTags(const char* const* tags, uint32_t count, const std::vector<std::string>& expected,
                const std::string& where) {
  ASSERT_EQ(count, expected.size()) << where;
  EXPECT_EQ(tags == nullptr, expected.empty()) << where;
  for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(Text(tags[i]), expected[i]) << where;
}

// Walks a chain from `first`, checking that it is the array in order and ends with null.
template <typename Entry>
std::vector<const Entry*> Walk(const Entry* first, uint32_t count, const std::string& where) {
  std::vector<const Entry*> walked;
  EXPECT_EQ(first == nullptr, count == 0) << where;
  for (const Entry* entry = first; entry != nullptr && walked.size() <= count;
       entry = entry->next) {
    if (!walked.empty()) {
      EXPECT_EQ(entry, walked.back() + 1) << where << ": entries are one array";
    }
    walked.push_back(entry);
  }
  EXPECT_EQ(walked.size(), count) << where;
  return walked;
}

// Compares every entry of `entries` with the registry, walking each list by its chain.
void ExpectEntriesMatchRegistry(const ApiEntries& entries, const BindingRegistry& registry) {
  const auto functions = registry.Functions();
  const auto walked_functions =
      Walk(entries.function_list(), static_cast<uint32_t>(entries.functions().size()), "functions");
  ASSERT_EQ(walked_functions.size(), functions.size());
  for (size_t i = 0; i < functions.size(); ++i) {
    const FunctionRecord& function = *functions[i];
    const PluginFunctionEntry& entry = *walked_functions[i];
    const std::string where = "function " + function.name;
    EXPECT_EQ(entry.reserved, 0u) << where;
    EXPECT_EQ(entry.endpoint_context, nullptr) << where;
    EXPECT_EQ(Text(entry.name), function.name) << where;
    EXPECT_EQ(Text(entry.name_space), function.name_space) << where;
    EXPECT_EQ(Text(entry.description), function.description) << where;
    EXPECT_EQ(Text(entry.help), function.help) << where;
    EXPECT_EQ(entry.thread_safe, function.thread_safe ? 1 : 0) << where;
    EXPECT_EQ(Text(entry.async_event_type), function.async && function.async_event_type != nullptr
                                                ? function.async_event_type->name
                                                : "")
        << where;
    ExpectTags(entry.tags, entry.tag_count, function.tags, where);
    const PluginTypeReference returns = entry.returns;
    ExpectReference(returns, function.returns, where + " returns");
    const auto arguments = Walk(entry.arguments, entry.argument_count, where + " arguments");
    ASSERT_EQ(arguments.size(), function.arguments.size()) << where;
    for (size_t a = 0; a < arguments.size(); ++a) {
      const FunctionArgument& argument = function.arguments[a];
      const std::string at = where + " argument " + argument.name;
      EXPECT_EQ(Text(arguments[a]->name), argument.name) << at;
      EXPECT_EQ(Text(arguments[a]->description), argument.description) << at;
      const PluginTypeReference type = arguments[a]->type;
      ExpectReference(type, argument, at);
      EXPECT_EQ(arguments[a]->optional, argument.optional ? 1 : 0) << at;
    }
  }

  const auto types = registry.Types();
  const auto walked_types =
      Walk(entries.type_list(), static_cast<uint32_t>(entries.types().size()), "types");
  ASSERT_EQ(walked_types.size(), types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    const TypeRecord& type = *types[i];
    const PluginTypeEntry& entry = *walked_types[i];
    const std::string where = "type " + type.name;
    EXPECT_EQ(Text(entry.name), type.name) << where;
    EXPECT_EQ(Text(entry.name_space), type.name_space) << where;
    EXPECT_EQ(entry.size, type.size) << where;
    EXPECT_EQ(Text(entry.description), type.description) << where;
    ExpectTags(entry.tags, entry.tag_count, type.tags, where);
    if (!type.members.empty()) {
      EXPECT_EQ(entry.enumerators, nullptr) << where;
      const auto members = Walk(entry.members, entry.count, where + " members");
      ASSERT_EQ(members.size(), type.members.size()) << where;
      for (size_t m = 0; m < members.size(); ++m) {
        const FieldRecord& field = type.members[m];
        const std::string at = where + " member " + field.name;
        EXPECT_EQ(Text(members[m]->name), field.name) << at;
        EXPECT_EQ(Text(members[m]->description), field.description) << at;
        EXPECT_EQ(members[m]->offset, field.offset) << at;
        const PluginTypeReference reference = members[m]->type;
        ExpectReference(reference, field, at);
        EXPECT_EQ(members[m]->optional, field.optional ? 1 : 0) << at;
      }
    } else {
      EXPECT_EQ(entry.members, nullptr) << where;
      const auto enumerators = Walk(entry.enumerators, entry.count, where + " enumerators");
      ASSERT_EQ(enumerators.size(), type.enumerators.size()) << where;
      size_t e = 0;
      for (const auto& [name, enumerator] : type.enumerators) {  // name order
        EXPECT_EQ(Text(enumerators[e]->name), name) << where;
        EXPECT_EQ(Text(enumerators[e]->description), enumerator.description) << where;
        EXPECT_EQ(enumerators[e]->value, enumerator.value) << where;
        ++e;
      }
    }
  }

  const auto events = registry.Events();
  const auto walked_events =
      Walk(entries.event_list(), static_cast<uint32_t>(entries.events().size()), "events");
  ASSERT_EQ(walked_events.size(), events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    const EventRecord& event = *events[i];
    const PluginEventEntry& entry = *walked_events[i];
    const std::string where = "event " + event.name;
    EXPECT_EQ(Text(entry.name), event.name) << where;
    EXPECT_EQ(Text(entry.name_space), event.name_space) << where;
    EXPECT_EQ(Text(entry.payload_type_name),
              event.type.type != nullptr ? event.type.type->name : "")
        << where;
    EXPECT_EQ(Text(entry.description), event.description) << where;
    ExpectTags(entry.tags, entry.tag_count, event.tags, where);
  }
}

TEST(ApiEntriesTest, ABuiltinsOnlyRegistry) {
  const BindingRegistry registry;
  const auto entries = ApiEntries::Build(registry);
  EXPECT_EQ(entries->function_list(), nullptr);
  EXPECT_EQ(entries->functions().size(), 0u);
  EXPECT_EQ(entries->types().size(), 15u);
  ASSERT_EQ(entries->events().size(), 1u);
  EXPECT_STREQ(entries->events()[0].name, "OnCallback");
  EXPECT_STREQ(entries->events()[0].payload_type_name, "BindingCallbackEvent");
  EXPECT_STREQ(entries->events()[0].description, "Fired when a callback is invoked.");
  EXPECT_EQ(entries->events()[0].next, nullptr);
  ExpectEntriesMatchRegistry(*entries, registry);
}

class RegisteredApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnumBuilder<Shade> shade(registry_, "Shade");
    shade.Enumerator("Light", Shade::Light, "bright")
        .Enumerator("Dark", Shade::Dark)
        .Enumerator("Dim", Shade::Dim)
        .Description("How dark.")
        .Tags({"test", "", "enum"});
    RecordBuilder<Part> part(registry_, "Part");
    SDK_BINDING_MEMBER(part, label, "The label");
    RecordBuilder<Widget> widget(registry_, "Widget");
    SDK_BINDING_MEMBER(widget, parts);
    SDK_BINDING_MEMBER(widget, count, "How many");
    SDK_BINDING_MEMBER(widget, shade);
    SDK_BINDING_MEMBER(widget, names);
    SDK_BINDING_MEMBER(widget, flag);
    widget.NameSpace("test.ns").Description("A widget.").Tags({"test"});

    auto [function, created] = registry_.FindOrAddFunction("MakeWidget");
    ASSERT_TRUE(created);
    function->name_space = "widgets";
    function->description = "Makes one.";
    function->help = "Call it.";
    function->tags = {"Plugins", "Plugin test"};
    function->thread_safe = true;
    function->async = true;
    function->async_event_type = registry_.FindTypeByName("BindingGenericAsyncEvent");
    FunctionArgument count;
    static_cast<TypeBinding&>(count) = BindNativeType<uint32_t>(registry_);
    count.name = "count";
    count.description = "How many";
    FunctionArgument shape;
    static_cast<TypeBinding&>(shape) = BindNativeType<std::optional<std::string>>(registry_);
    shape.name = "shape";
    // The description prefers a second descriptor: a vector of Part.
    shape.second_type = BindNativeType<std::vector<Part>>(registry_).type;
    FunctionArgument odd;
    odd.name = "odd";
    odd.type.code = static_cast<TypeCode>(42);
    odd.type.element_code = static_cast<TypeCode>(20);
    function->arguments = {count, shape, odd};
    function->returns = BindNativeType<Widget>(registry_);
    registry_.FindOrAddFunction("Nothing");  // no arguments, no return value
  }
  BindingRegistry registry_;
};

TEST_F(RegisteredApiTest, EveryEntryMatchesTheRegistry) {
  const auto entries = ApiEntries::Build(registry_);
  ASSERT_EQ(entries->functions().size(), 2u);
  EXPECT_EQ(entries->types().size(), 18u);
  ExpectEntriesMatchRegistry(*entries, registry_);
}

TEST_F(RegisteredApiTest, TypeReferencesOfTheEdgeCases) {
  const auto entries = ApiEntries::Build(registry_);
  const PluginTypeEntry* widget = nullptr;
  const PluginTypeEntry* shade = nullptr;
  for (const PluginTypeEntry& type : entries->types()) {
    if (std::string_view(type.name) == "Widget") widget = &type;
    if (std::string_view(type.name) == "Shade") shade = &type;
  }
  ASSERT_NE(widget, nullptr);
  ASSERT_NE(shade, nullptr);
  struct Case {
    uint32_t index, code, element;
    const char* name;
  };
  const Case cases[] = {
      {0, 15, 17, "Part"},  // vector of a registered struct
      {1, 7, 0, ""},        // uint32
      {2, 16, 0, "Shade"},  // enum
      {3, 15, 12, ""},      // vector of strings
      {4, 1, 0, ""},        // optional bool
  };
  for (const Case& c : cases) {
    const PluginMemberEntry& member = widget->members[c.index];
    const PluginTypeReference type = member.type;
    EXPECT_EQ(type.type_code, c.code) << member.name;
    EXPECT_EQ(type.element_type_code, c.element) << member.name;
    EXPECT_STREQ(type.type_name, c.name) << member.name;
  }
  EXPECT_EQ(widget->members[4].optional, 1);
  EXPECT_EQ(widget->members[4].next, nullptr);

  EXPECT_EQ(shade->members, nullptr);
  ASSERT_NE(shade->enumerators, nullptr);
  EXPECT_EQ(shade->count, 3u);
  EXPECT_STREQ(shade->enumerators[0].name, "Dark");  // name order
  EXPECT_EQ(shade->enumerators[1].value, -3);
  EXPECT_STREQ(shade->enumerators[2].description, "bright");
  EXPECT_EQ(shade->tag_count, 2u);  // the empty tag is not kept

  const PluginFunctionEntry* make = entries->FindFunction("MakeWidget");
  ASSERT_NE(make, nullptr);
  const PluginTypeReference shape = make->arguments[1].type;
  EXPECT_EQ(shape.type_code, 15u);
  EXPECT_STREQ(shape.type_name, "Part");
  const PluginTypeReference odd = make->arguments[2].type;
  EXPECT_EQ(odd.type_code, 0u);  // outside 1-19
  EXPECT_EQ(odd.element_type_code, 0u);
  EXPECT_STREQ(make->async_event_type, "BindingGenericAsyncEvent");
  const PluginFunctionEntry* nothing = entries->FindFunction("Nothing");
  ASSERT_NE(nothing, nullptr);
  EXPECT_EQ(nothing->arguments, nullptr);
  EXPECT_EQ(nothing->tags, nullptr);
  const PluginTypeReference returns = nothing->returns;
  EXPECT_EQ(returns.type_code, 0u);
  EXPECT_STREQ(returns.type_name, "");
  EXPECT_STREQ(nothing->async_event_type, "");
  EXPECT_EQ(entries->FindFunction("Missing"), nullptr);
}

}  // namespace
}  // namespace sdk::binding
