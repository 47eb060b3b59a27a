// Tests of native ↔ value conversion: the value → native rule of every type code with its exact
// messages (tables per native type), vectors, maps, optionals, objects and nested structs,
// required and omit-when-default members, unregistered structs, native → value, round trips,
// and random inputs that must end in a value or a message, never in a crash.
#include "sdk/binding/native_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sdk/binding/binding_registry.h"
#include "sdk/binding/builtin_types.h"
#include "sdk/binding/host_value.h"
#include "sdk/binding/record_builder.h"
#include "sdk/binding/registry_test_records.h"

namespace sdk::binding {
namespace {

using testing::Blob;
using testing::Bool;
using testing::Enum;
using testing::Int;
using testing::List;
using testing::Real;
using testing::Struct;
using testing::Text;
using testing::Uint;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A host value written out whole: each tag with its payload, texts and blobs by their bytes,
// arrays item by item, keys with their owned mark. Two host values are alike when this is.
std::string DescribeHost(const HostValue& host) {
  const auto bytes = [&host] {
    const auto* data = static_cast<const char*>(host.payload.span.data);
    return data == nullptr ? std::string("null")
                           : "'" + std::string(data, host.payload.span.count) + "'";
  };
  std::string out = std::to_string(host.tag) + ":";
  switch (host.tag) {
    case kHostValueBool:
      return out + std::to_string(host.payload.boolean);
    case kHostValueSigned:
      return out + std::to_string(host.payload.signed_value);
    case kHostValueUnsigned:
      return out + std::to_string(host.payload.unsigned_value);
    case kHostValueFloat: {
      uint64_t bits;
      std::memcpy(&bits, &host.payload.raw, sizeof bits);  // NaN and -0.0 by their bits
      return out + std::to_string(bits);
    }
    case kHostValueStringBorrowed:
    case kHostValueStringOwned:
    case kHostValueBlobBorrowed:
    case kHostValueBlobOwned: {
      std::string text = bytes();
      // An owned text carries a NUL after its bytes.
      if (host.tag == kHostValueStringOwned && host.payload.span.data != nullptr) {
        text += static_cast<const char*>(host.payload.span.data)[host.payload.span.count] == 0
                    ? ""
                    : "(no NUL)";
      }
      return out + text;
    }
    case kHostValueCollection: {
      const auto* items = static_cast<const HostValue*>(host.payload.span.data);
      out += items == nullptr ? "null[" : "[";
      for (uint32_t i = 0; i < host.payload.span.count; ++i) {
        out += (i == 0 ? "" : ", ") + DescribeHost(items[i]);
      }
      return out + "]";
    }
    case kHostValueStructure: {
      const auto* entries = static_cast<const HostStructureEntry*>(host.payload.span.data);
      out += entries == nullptr ? "null{" : "{";
      for (uint32_t i = 0; i < host.payload.span.count; ++i) {
        const HostStructureEntry& entry = entries[i];
        out += (i == 0 ? "" : ", ") +
               (entry.key == nullptr ? std::string("null") : "'" + std::string(entry.key) + "'") +
               (entry.key_owned != 0 ? "(owned)=" : "=") + DescribeHost(entry.value);
      }
      return out + "}";
    }
    default:
      return out;
  }
}

// The conversion straight to a host value against the plain path it stands for: native → value
// (with the value's refused growth as the failure, as a handler's result is checked), then
// value → host value. Same success, same message, same host value.
template <typename T>
void ExpectStraightAsThroughAValue(const BindingRegistry& registry, const T& native,
                                   const std::string& label) {
  const TypeBinding binding = BindNativeType<T>(registry);
  BindingResult through;
  binding.converter->ToValue(through, through.value(), &native, binding.converter_type, &registry);
  if (through.ok() && through.value().HasLengthError()) through.Fail(kLengthErrorMessage);
  HostValue via_value{};
  bool via_value_complete = true;
  if (through.ok()) via_value_complete = ToHostValue(via_value, through.value(), &registry);

  BindingResult straight_result;
  HostValue straight{};
  bool complete = false;
  const bool ok =
      ConvertToHostValue(straight_result, straight, &native, binding, &registry, &complete);
  EXPECT_EQ(ok, through.ok()) << label;
  EXPECT_EQ(straight_result.ErrorMessage(), through.ErrorMessage()) << label;
  if (ok) {
    EXPECT_EQ(complete, via_value_complete) << label;
    EXPECT_EQ(DescribeHost(straight), DescribeHost(via_value)) << label;
  } else {
    EXPECT_EQ(straight.tag, 0u) << label << ": a failed conversion leaves nothing";
  }
  ReleaseHostValue(via_value);
  ReleaseHostValue(straight);
}

class NativeConversionTest : public ::testing::Test {
 protected:
  NativeConversionTest() { testing::RegisterTestRecords(registry_); }

  uint32_t EventTypeId() const { return StaticTypeOf<testing::PluginResourceEventType>().id(); }

  // One case of a value → native table: the input, and either the expected native value
  // (message empty) or the expected message.
  template <typename T>
  struct Case {
    BindingValue input;
    T expected;
    std::string message;
  };

  template <typename T>
  void Run(const std::vector<Case<T>>& cases) {
    for (const Case<T>& c : cases) {
      T out{};
      BindingResult result;
      FromValue(result, out, c.input, "x", registry_);
      if (c.message.empty()) {
        EXPECT_TRUE(result.ok()) << "input: " << c.input.DebugString() << ": "
                                 << result.ErrorMessage();
        EXPECT_EQ(out, c.expected) << "input: " << c.input.DebugString();
      } else {
        EXPECT_FALSE(result.ok()) << "input: " << c.input.DebugString();
        EXPECT_EQ(result.ErrorMessage(), c.message) << "input: " << c.input.DebugString();
      }
    }
  }

  BindingRegistry registry_;
};

TEST_F(NativeConversionTest, Bool) {
  Run<bool>({
      {Bool(true), true, ""},
      {Bool(false), false, ""},
      {Text("true"), true, ""},
      {Text("1"), true, ""},
      {Text("false"), false, ""},
      {Text("0"), false, ""},
      {Text("TRUE"), false,
       "Value TRUE for 'x' of type bool is in an incorrect format. Options are \"true\", "
       "\"false\", \"1\", \"0\"."},
      {Text(""), false,
       "Value  for 'x' of type bool is in an incorrect format. Options are \"true\", \"false\", "
       "\"1\", \"0\"."},
      {Int(1), false,
       "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
       "signed."},
      {Uint(0), false,
       "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
       "unsigned."},
      {Real(1), false,
       "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
       "float."},
      {List({}), false,
       "Couldn't assign value to 'x' of type bool because the input is of an invalid type "
       "collection."},
      {BindingValue(), false, "A value for 'x' is required."},
  });
}

TEST_F(NativeConversionTest, Uint8) {
  Run<uint8_t>({
      {Uint(255), 255, ""},
      {Uint(256), 0, "Value 256 for 'x' of type uint8 is out of range"},
      {Text("0x10"), 16, ""},
      {Text("010"), 8, ""},
      {Text("12abc"), 0, "Value 12abc for 'x' of type uint8 is in an incorrect format"},
      {Text("256"), 0, "Value 256 for 'x' of type uint8 is out of range"},
      {Text("-1"), 0, "Value -1 for 'x' of type uint8 is out of range"},
      {Int(-1), 0, "Value -1 for 'x' of type uint8 is out of range"},
      {Int(200), 200, ""},
      {Real(255.0), 255, ""},
      {Real(2.9), 2, ""},
      {Real(-0.5), 0, "Value -0.5 for 'x' of type uint8 is out of range"},
      {Real(255.5), 0, "Value 255.5 for 'x' of type uint8 is out of range"},
      {Enum(7, EventTypeId()), 7, ""},
      {Enum(-7, EventTypeId()), 0, "Value -7 for 'x' of type uint8 is out of range"},
      {Bool(true), 0,
       "Couldn't assign value to 'x' of type uint8 because the input is of an invalid type bool."},
      {Blob("ab"), 0,
       "Couldn't assign value to 'x' of type uint8 because the input is of an invalid type blob."},
      {Struct({}), 0,
       "Couldn't assign value to 'x' of type uint8 because the input is of an invalid type "
       "structure."},
      {BindingValue(), 0, "A value for 'x' is required."},
  });
}

TEST_F(NativeConversionTest, SignedWidths) {
  Run<int8_t>({
      {Int(-128), -128, ""},
      {Int(-129), 0, "Value -129 for 'x' of type int8 is out of range"},
      {Uint(128), 0, "Value 128 for 'x' of type int8 is out of range"},
      {Text("-0x80"), -128, ""},
  });
  Run<int16_t>({
      {Int(32767), 32767, ""},
      {Text("32768"), 0, "Value 32768 for 'x' of type int16 is out of range"},
  });
  Run<int32_t>({
      {Real(3.9), 3, ""},
      {Real(-3.9), -3, ""},
      {Text(""), 0, ""},
      {Text(" 42"), 42, ""},
      {Real(3e10), 0, "Value 3e+10 for 'x' of type int32 is out of range"},
      {Int(2147483648), 0, "Value 2147483648 for 'x' of type int32 is out of range"},
      {Uint(2147483647), 2147483647, ""},
      // A NaN has no integer to truncate to.
      {Real(kNaN), 0, "Value nan for 'x' of type int32 is out of range"},
      {Real(-kInf), 0, "Value -inf for 'x' of type int32 is out of range"},
      {Text("1.5"), 0, "Value 1.5 for 'x' of type int32 is in an incorrect format"},
  });
  Run<int64_t>({
      {Int(std::numeric_limits<int64_t>::min()), std::numeric_limits<int64_t>::min(), ""},
      {Uint(9223372036854775808u), 0,
       "Value 9223372036854775808 for 'x' of type int64 is out of range"},
      {Real(-9223372036854775808.0), std::numeric_limits<int64_t>::min(), ""},
      // 2^63 is the double nearest to the largest int64, and no int64 holds it.
      {Real(9223372036854775807.0), 0, "Value 9.22337e+18 for 'x' of type int64 is out of range"},
      {Text("9223372036854775808"), 0,
       "Value 9223372036854775808 for 'x' of type int64 is out of range"},
  });
}

TEST_F(NativeConversionTest, UnsignedWidths) {
  Run<uint16_t>({
      {Uint(65535), 65535, ""},
      {Int(65536), 0, "Value 65536 for 'x' of type uint16 is out of range"},
  });
  Run<uint32_t>({
      {Text("4294967295"), 4294967295u, ""},
      {Text("4294967296"), 0, "Value 4294967296 for 'x' of type uint32 is out of range"},
      {Text("0xFFFFFFFF"), 4294967295u, ""},
  });
  Run<uint64_t>({
      {Text("18446744073709551615"), std::numeric_limits<uint64_t>::max(), ""},
      // strtoull alone would read these as 2^64 - 1 and 2^64 - 5.
      {Text("-1"), 0, "Value -1 for 'x' of type uint64 is out of range"},
      {Text("-5"), 0, "Value -5 for 'x' of type uint64 is out of range"},
      {Int(-1), 0, "Value -1 for 'x' of type uint64 is out of range"},
      {Real(18446744073709551615.0), 0, "Value 1.84467e+19 for 'x' of type uint64 is out of range"},
      {Real(1e19), 10000000000000000000u, ""},
  });
}

TEST_F(NativeConversionTest, FloatingTypes) {
  Run<float>({
      {Real(1.5), 1.5f, ""},
      {Int(-5), -5.0f, ""},
      {Uint(5), 5.0f, ""},
      {Enum(2, EventTypeId()), 2.0f, ""},
      {Text("0x1p3"), 8.0f, ""},
      {Real(1e39), 0, "Value 1e+39 for 'x' of type float is out of range"},
      {Text("1e39"), 0, "Value 1e39 for 'x' of type float is out of range"},
      {Text("abc"), 0, "Value abc for 'x' of type float is in an incorrect format"},
      {Bool(false), 0,
       "Couldn't assign value to 'x' of type float because the input is of an invalid type bool."},
  });
  Run<double>({
      {Real(1e300), 1e300, ""},
      {Text("-2.5e-3"), -2.5e-3, ""},
      {Real(kInf), 0, "Value inf for 'x' of type double is out of range"},
      {Text("1e999"), 0, "Value 1e999 for 'x' of type double is out of range"},
      {Text("inf"), 0, "Value inf for 'x' of type double is out of range"},
      {List({}), 0,
       "Couldn't assign value to 'x' of type double because the input is of an invalid type "
       "collection."},
      {BindingValue(), 0, "A value for 'x' is required."},
  });
  // A NaN is a floating number within no bound and outside none: it passes.
  double out = 0;
  BindingResult result;
  FromValue(result, out, Real(kNaN), "x", registry_);
  EXPECT_TRUE(result.ok());
  EXPECT_TRUE(std::isnan(out));
}

TEST_F(NativeConversionTest, String) {
  Run<std::string>({
      {Text("hello"), "hello", ""},
      {Text(""), "", ""},
      {Text(std::string_view("a\0b", 3)), std::string("a\0b", 3), ""},
      {Enum(1, EventTypeId()), "Update", ""},
      {Enum(7, EventTypeId()), "", "7 is not a valid enumeration value for 'x'."},
      {Enum(1, 0x12345678), "", "1 is not a valid enumeration value for 'x'."},
      {Int(5), "", "Couldn't assign value to 'x' because the input is not a string."},
      {Blob("abc"), "", "Couldn't assign value to 'x' because the input is not a string."},
      {BindingValue(), "", "A value for 'x' is required."},
  });
}

TEST_F(NativeConversionTest, Enum) {
  using testing::PluginResourceEventType;
  const auto kUpdate = PluginResourceEventType::Update;
  const auto kDelete = PluginResourceEventType::Delete;
  const auto kCreate = PluginResourceEventType::Create;
  Run<PluginResourceEventType>({
      {Text("Update"), kUpdate, ""},
      {Text("2"), kDelete, ""},
      {Text("0x1"), kUpdate, ""},
      {Int(0), kCreate, ""},
      {Uint(2), kDelete, ""},
      // A 64-bit number is taken by its low 32 bits.
      {Int(0x100000001), kUpdate, ""},
      {Enum(2, 0x12345678), kDelete, ""},
      {Text("7"), kCreate, "7 is not a valid PluginResourceEventType enumeration value for 'x'."},
      {Text("update"), kCreate,
       "update is not a valid PluginResourceEventType enumeration value for 'x'."},
      // The empty text parses as the number 0, which Create has.
      {Text(""), kCreate, ""},
      {Int(-1), kCreate, "-1 is not a valid PluginResourceEventType enumeration value for 'x'."},
      {Uint(0xFFFFFFFFFFu), kCreate,
       "1099511627775 is not a valid PluginResourceEventType enumeration value for 'x'."},
      {Real(1.0), kCreate,
       "Couldn't assign value to 'x' of enum type because the input is of an invalid type "
       "float."},
      {Bool(true), kCreate,
       "Couldn't assign value to 'x' of enum type because the input is of an invalid type bool."},
      {BindingValue(), kCreate, "A value for 'x' is required."},
  });
}

enum class UnregisteredEnum : int32_t { kA = 1 };

TEST_F(NativeConversionTest, UnregisteredEnumHasNoEnumerators) {
  UnregisteredEnum out = UnregisteredEnum::kA;
  BindingResult result;
  FromValue(result, out, Int(1), "x", registry_);
  EXPECT_EQ(result.ErrorMessage(), std::string("1 is not a valid ") +
                                       std::string(StaticTypeOf<UnregisteredEnum>().DisplayText()) +
                                       " enumeration value for 'x'.");
}

TEST_F(NativeConversionTest, ObjectTakesACopyOfAnyValue) {
  const BindingValue inputs[] = {BindingValue(), Int(3), Text("t"), List({Int(1), Text("a")}),
                                 Struct({{"k", Struct({{"n", Bool(true)}})}})};
  for (const BindingValue& input : inputs) {
    BindingValue out = Text("previous");
    BindingResult result;
    FromValue(result, out, input, "x", registry_);
    EXPECT_TRUE(result.ok()) << "input: " << input.DebugString();
    EXPECT_EQ(out, input) << "input: " << input.DebugString();
  }
}

TEST_F(NativeConversionTest, Vector) {
  using Texts = std::vector<std::string>;
  Run<Texts>({
      {List({Text("a"), Text("b")}), Texts{"a", "b"}, ""},
      {List({}), Texts{}, ""},
      // An empty element keeps its default.
      {List({Text("a"), BindingValue(), Text("c")}), Texts{"a", "", "c"}, ""},
      {Text("a"), Texts{},
       "Couldn't assign value to 'x' of type vector because the input not a collection."},
      {Struct({}), Texts{},
       "Couldn't assign value to 'x' of type vector because the input not a collection."},
      // Element messages name the vector.
      {List({Text("a"), Int(1)}), Texts{},
       "Couldn't assign value to 'x' because the input is not a string."},
      {BindingValue(), Texts{}, "A value for 'x' is required."},
  });
  Run<std::vector<bool>>({
      {List({Bool(true), Text("0"), BindingValue()}), std::vector<bool>{true, false, false}, ""},
  });
  Run<std::vector<std::vector<int32_t>>>({
      {List({List({Int(1)}), List({Int(2), Text("3")})}),
       std::vector<std::vector<int32_t>>{{1}, {2, 3}}, ""},
      {List({List({Int(1), Text("z")})}),
       {},
       "Value z for 'x' of type int32 is in an incorrect format"},
  });
}

// A TextList converts as a vector of strings does, both ways and with the same messages, and is
// described as one.
TEST_F(NativeConversionTest, TextListConvertsAsAVectorOfStrings) {
  const BindingValue inputs[] = {
      List({Text("a"), Text("b")}),
      List({}),
      List({Text("a"), BindingValue(), Text("c"), BindingValue()}),
      List({Text(std::string_view("a\0b", 3)), Text("")}),
      List({Enum(1, EventTypeId()), Text("x")}),
      List({Text("a"), Enum(7, EventTypeId())}),
      List({Text("a"), Int(1)}),
      List({Blob("abc")}),
      Text("a"),
      Struct({}),
      BindingValue(),
  };
  for (const BindingValue& input : inputs) {
    std::vector<std::string> vector = {"left over"};
    BindingResult vector_result;
    FromValue(vector_result, vector, input, "x", registry_);
    TextList list = {"left over"};
    BindingResult list_result;
    FromValue(list_result, list, input, "x", registry_);
    ASSERT_EQ(list_result.ok(), vector_result.ok()) << "input: " << input.DebugString();
    EXPECT_EQ(list_result.ErrorMessage(), vector_result.ErrorMessage())
        << "input: " << input.DebugString();
    if (!vector_result.ok()) continue;
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), vector)
        << "input: " << input.DebugString();

    BindingResult from_vector;
    ToValue(registry_, from_vector, vector);
    BindingResult from_list;
    ToValue(registry_, from_list, list);
    ASSERT_TRUE(from_list.ok()) << from_list.ErrorMessage();
    EXPECT_EQ(from_list.value(), from_vector.value()) << "input: " << input.DebugString();
  }
  EXPECT_EQ(BindNativeType<TextList>(registry_).type,
            BindNativeType<std::vector<std::string>>(registry_).type);
  EXPECT_EQ(BindNativeType<std::optional<TextList>>(registry_).type,
            BindNativeType<std::optional<std::vector<std::string>>>(registry_).type);
  EXPECT_TRUE(BindNativeType<std::optional<TextList>>(registry_).optional);
}

TEST_F(NativeConversionTest, VectorIsEmptiedFirst) {
  std::vector<uint32_t> out = {9, 9, 9, 9};
  BindingResult result;
  FromValue(result, out, List({BindingValue(), Uint(5)}), "x", registry_);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(out, (std::vector<uint32_t>{0, 5}));
}

TEST_F(NativeConversionTest, Map) {
  using Counts = std::map<std::string, uint32_t>;
  Run<Counts>({
      {Struct({{"b", Uint(2)}, {"a", Text("1")}}), Counts{{"a", 1}, {"b", 2}}, ""},
      // Empty members are skipped.
      {Struct({{"a", Uint(1)}, {"b", BindingValue()}}), Counts{{"a", 1}}, ""},
      {List({}), Counts{},
       "Couldn't assign value to 'x' of type map because the input not a structure."},
      {Struct({{"a", Text("z")}}), Counts{},
       "Value z for 'x' of type uint32 is in an incorrect format"},
      {BindingValue(), Counts{}, "A value for 'x' is required."},
  });
}

TEST_F(NativeConversionTest, Optional) {
  Run<std::optional<uint32_t>>({
      {BindingValue(), std::nullopt, ""},
      {Uint(5), 5u, ""},
      {Text("7"), 7u, ""},
      {Text("bad"), std::nullopt, "Value bad for 'x' of type uint32 is in an incorrect format"},
  });
  // An empty input leaves the optional without value, whatever it held.
  std::optional<std::string> text = "held";
  BindingResult result;
  FromValue(result, text, BindingValue(), "x", registry_);
  EXPECT_TRUE(result.ok());
  EXPECT_FALSE(text.has_value());
}

TEST_F(NativeConversionTest, ConversionOnAFailedResultDoesNothing) {
  BindingResult result;
  result.Fail("earlier");
  uint32_t number = 4;
  FromValue(result, number, Uint(5), "x", registry_);
  testing::SanitizeRequest request;
  FromValue(result, request, Struct({{"text", Text("t")}}), "request", registry_);
  ToValue(registry_, result, request);
  EXPECT_EQ(number, 4u);
  EXPECT_FALSE(request.text.has_value());
  EXPECT_EQ(result.ErrorMessage(), "earlier");
}

TEST_F(NativeConversionTest, StructRequiredMembers) {
  struct StructCase {
    const char* label;
    BindingValue input;
    std::string message;
  };
  const StructCase kCases[] = {
      {"absent", Struct({{"level", Uint(2)}}),
       "Couldn't assign value to 'request' of type SanitizerContainsSanitizedRequest because the "
       "input structure doesn't have required field 'text'."},
      {"null", Struct({{"text", BindingValue()}}),
       "Couldn't assign value to 'request' of type SanitizerContainsSanitizedRequest because the "
       "input structure doesn't have required field 'text'."},
      {"not a structure", List({}),
       "Couldn't assign value to 'request' of type SanitizerContainsSanitizedRequest because the "
       "input not a structure."},
      {"empty", BindingValue(), "A value for 'request' is required."},
      {"member error names the member", Struct({{"text", Text("t")}, {"level", Int(-1)}}),
       "Value -1 for 'level' of type uint32 is out of range"},
  };
  for (const StructCase& c : kCases) {
    testing::ContainsSanitizedRequest request;
    BindingResult result;
    FromValue(result, request, c.input, "request", registry_);
    EXPECT_FALSE(result.ok()) << c.label;
    EXPECT_EQ(result.ErrorMessage(), c.message) << c.label;
  }
}

TEST_F(NativeConversionTest, StructMembersPresentAbsentAndUndeclared) {
  testing::ContainsSanitizedRequest request;
  request.level = 3;  // an absent member keeps what the native record held
  BindingResult result;
  FromValue(result, request,
            Struct({{"text", Text("hello")},
                    {"includeEmbedded", Text("true")},
                    {"aggressiveScan", BindingValue()},
                    {"undeclared", Int(1)}}),
            "request", registry_);
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  EXPECT_EQ(request.text, "hello");
  EXPECT_EQ(request.level, 3u);
  EXPECT_EQ(request.includeEmbedded, true);
  EXPECT_FALSE(request.aggressiveScan.has_value());
  EXPECT_FALSE(request.removeDisallowedChars.has_value());
}

struct Unregistered {
  int32_t a = 0;
};

struct HoldsUnregistered {
  Unregistered inner;
  std::vector<Unregistered> list;
};

TEST_F(NativeConversionTest, UnregisteredStruct) {
  Unregistered native;
  BindingResult to_value;
  ToValue(registry_, to_value, native);
  EXPECT_EQ(to_value.ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");

  BindingResult from_value;
  FromValue(from_value, native, Struct({{"a", Int(1)}}), "arg", registry_);
  EXPECT_EQ(from_value.ErrorMessage(),
            "Couldn't assign value to 'arg' because the input is an unregistered structure or not "
            "a structure at all.");

  // Members of an unregistered struct type fail the same way, naming the member.
  RecordBuilder<HoldsUnregistered> record(registry_, "HoldsUnregistered");
  SDK_BINDING_MEMBER(record, inner);
  SDK_BINDING_MEMBER(record, list);
  HoldsUnregistered holder;
  BindingResult nested;
  FromValue(nested, holder, Struct({{"list", List({Struct({})})}}), "arg", registry_);
  EXPECT_EQ(nested.ErrorMessage(),
            "Couldn't assign value to 'list' because the input is an unregistered structure or "
            "not a structure at all.");
  BindingResult nested_out;
  ToValue(registry_, nested_out, holder);
  EXPECT_EQ(nested_out.ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");
}

struct Defaults {
  bool flag = false;
  int32_t number = 0;
  uint64_t count = 0;
  double real = 0.0;
  std::string text;
  std::vector<int32_t> list;
  std::map<std::string, int32_t> table;
  testing::PluginResourceEventType kind = testing::PluginResourceEventType::Create;
  std::optional<int32_t> maybe;
  BindingValue object;
};

void RegisterDefaults(BindingRegistry& registry, std::string_view name, uint32_t flags) {
  RecordBuilder<Defaults> record(registry, name);
  SDK_BINDING_MEMBER(record, flag, flags);
  SDK_BINDING_MEMBER(record, number, flags);
  SDK_BINDING_MEMBER(record, count, flags);
  SDK_BINDING_MEMBER(record, real, flags);
  SDK_BINDING_MEMBER(record, text, flags);
  SDK_BINDING_MEMBER(record, list, flags);
  SDK_BINDING_MEMBER(record, table, flags);
  SDK_BINDING_MEMBER(record, kind, flags);
  SDK_BINDING_MEMBER(record, maybe, flags);
  SDK_BINDING_MEMBER(record, object, flags);
}

TEST_F(NativeConversionTest, OmitWhenDefault) {
  RegisterDefaults(registry_, "Omitting", kOmitWhenDefault);
  const TypeRecord* omitting = registry_.FindTypeByName("Omitting");
  ASSERT_NE(omitting, nullptr);

  Defaults defaults;
  BindingResult omitted;
  StructToValue(registry_, omitted, &defaults, omitting);
  ASSERT_TRUE(omitted.ok()) << omitted.ErrorMessage();
  EXPECT_EQ(omitted.value(), Struct({}));

  Defaults set;
  set.flag = true;
  set.number = -1;
  set.count = 2;
  set.real = kNaN;  // a NaN is not the default 0.0
  set.text = "t";
  set.list = {0};
  set.table = {{"k", 0}};
  set.kind = testing::PluginResourceEventType::Delete;
  set.maybe = 0;        // left out: the optional holds a value, but 0 is a default
  set.object = Int(0);  // left out likewise
  BindingResult written;
  StructToValue(registry_, written, &set, omitting);
  ASSERT_TRUE(written.ok()) << written.ErrorMessage();
  EXPECT_EQ(written.value().Size(), 8u) << written.value().DebugString();
  EXPECT_TRUE(written.value().FindMember("maybe").IsEmpty());
  EXPECT_TRUE(written.value().FindMember("object").IsEmpty());
  EXPECT_TRUE(std::isnan(written.value().FindMember("real").GetFloat()));
  EXPECT_EQ(written.value().FindMember("kind").GetEnum().value, 2);
}

TEST_F(NativeConversionTest, WithoutOmitEveryMemberIsWritten) {
  RegisterDefaults(registry_, "Writing", 0);
  Defaults defaults;
  BindingResult result;
  StructToValue(registry_, result, &defaults, registry_.FindTypeByName("Writing"));
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  const BindingValue expected =
      Struct({{"count", Uint(0)},
              {"flag", Bool(false)},
              {"kind", Enum(0, StaticTypeOf<testing::PluginResourceEventType>().id())},
              {"list", List({})},
              {"maybe", BindingValue()},
              {"number", Int(0)},
              {"object", BindingValue()},
              {"real", Real(0.0)},
              {"table", Struct({})},
              {"text", Text("")}});
  EXPECT_EQ(result.value(), expected) << result.value().DebugString();
}

struct Bits {
  std::vector<bool> bits;
};

// A native vector longer than a collection may be fails with the length error before any
// element is built (not after building the largest collection there can be), wherever it
// stands: alone, as a member, or as a member converted aside to test omit-when-default.
TEST_F(NativeConversionTest, VectorLongerThanACollectionIsALengthError) {
  {
    RecordBuilder<Bits> record(registry_, "Bits");
    SDK_BINDING_MEMBER(record, bits);
  }
  {
    RecordBuilder<Bits> record(registry_, "OmittedBits");
    SDK_BINDING_MEMBER(record, bits, kOmitWhenDefault);
  }
  Bits native;
  native.bits.resize(kMaxCollectionSize + 1);  // one bit each: 32 MiB
  native.bits.back() = true;
  struct ConversionCase {
    const char* label;
    std::function<void(BindingResult&)> convert;
  };
  const ConversionCase kCases[] = {
      {"vector", [&](BindingResult& r) { ToValue(registry_, r, native.bits); }},
      {"member", [&](BindingResult& r) { ToValue(registry_, r, native); }},
      {"omit-when-default member",
       [&](BindingResult& r) {
         StructToValue(registry_, r, &native, registry_.FindTypeByName("OmittedBits"));
       }},
  };
  for (const ConversionCase& c : kCases) {
    BindingResult result;
    c.convert(result);
    EXPECT_FALSE(result.ok()) << c.label;
    EXPECT_EQ(result.ErrorMessage(), kLengthErrorMessage) << c.label;
    EXPECT_EQ(result.value().Size(), 1u) << c.label << ": only the error member";
  }
}

struct Twice {
  int32_t first = 1;
  std::vector<int32_t> second = {1, 2, 3};
  std::vector<int32_t> third = {4};
};

struct Empty {};

struct WithNested {
  std::optional<Defaults> single;
  std::vector<Defaults> many;
  std::map<std::string, std::optional<Defaults>> named;
  std::vector<std::vector<bool>> bits;
};

// Every native kind, alone and inside records, goes straight to a host value as it goes through
// a value and then to one: numbers at their bounds, floats by their bits, texts with NUL bytes,
// enums with and without a name, values of every kind, vectors, lists, maps, optionals, nested
// records with and without omit-when-default, an empty record, a record whose two members share
// a name, and the failure of an unregistered record.
TEST_F(NativeConversionTest, StraightToAHostValueAsThroughAValue) {
  using testing::PluginResourceEventType;
  const BindingRegistry& registry = registry_;
  ExpectStraightAsThroughAValue(registry, true, "bool");
  ExpectStraightAsThroughAValue(registry, std::numeric_limits<int8_t>::min(), "int8");
  ExpectStraightAsThroughAValue(registry, std::numeric_limits<int64_t>::min(), "int64");
  ExpectStraightAsThroughAValue(registry, std::numeric_limits<uint64_t>::max(), "uint64");
  ExpectStraightAsThroughAValue(registry, uint16_t{7}, "uint16");
  ExpectStraightAsThroughAValue(registry, -0.0f, "float -0");
  ExpectStraightAsThroughAValue(registry, kNaN, "NaN");
  ExpectStraightAsThroughAValue(registry, -kInf, "-inf");
  ExpectStraightAsThroughAValue(registry, std::string("a\0b", 3), "text with a NUL");
  ExpectStraightAsThroughAValue(registry, std::string(), "empty text");
  ExpectStraightAsThroughAValue(registry, PluginResourceEventType::Delete, "enum with a name");
  ExpectStraightAsThroughAValue(registry, static_cast<PluginResourceEventType>(9),
                                "enum without one");
  ExpectStraightAsThroughAValue(
      registry,
      Struct({{"b", List({Int(-1), Real(0.5), Blob("x\0y"), BindingValue(), Enum(1, EventTypeId()),
                          Enum(4, 77)})},
              {"a", Text("t")},
              {"", Bool(false)}}),
      "object");
  ExpectStraightAsThroughAValue(registry, BindingValue(), "empty object");
  ExpectStraightAsThroughAValue(registry, std::vector<int32_t>{}, "empty vector");
  ExpectStraightAsThroughAValue(registry, std::vector<bool>{true, false}, "vector of bool");
  ExpectStraightAsThroughAValue(
      registry, std::vector<std::vector<std::string>>{{"a", ""}, {}, {"b"}}, "nested vectors");
  ExpectStraightAsThroughAValue(registry, TextList{"one", "", std::string_view("t\0w", 3)},
                                "text list");
  ExpectStraightAsThroughAValue(
      registry,
      std::map<std::string, std::optional<uint32_t>>{
          {"b", 2}, {"a", std::nullopt}, {std::string("a\0", 2), 1}, {"", 0}},
      "map");
  ExpectStraightAsThroughAValue(registry, std::optional<std::string>(), "optional without value");
  ExpectStraightAsThroughAValue(registry, std::optional<std::string>("x"), "optional with one");

  testing::SanitizerStatus status;
  status.ready = true;
  status.filteredWordCountsByLevel = {{"0", 10}, {"3", 4}};
  ExpectStraightAsThroughAValue(registry, status, "status");
  testing::SanitizeResponse response;
  ExpectStraightAsThroughAValue(registry, response, "response without texts");
  response.texts = std::vector<std::string>{"a*c", ""};
  response.text = "x";
  ExpectStraightAsThroughAValue(registry, response, "response");
  testing::PluginResourceEvent event;
  event.data = Struct({{"k", List({Int(-1)})}});
  ExpectStraightAsThroughAValue(registry, event, "event");
  BindingFullTypeHelp help;
  help.name = "T";
  help.fields.push_back({"f", "d", 4, {"vector", "struct"}, true});
  help.values.push_back({"E", "", -3});
  ExpectStraightAsThroughAValue(registry, help, "help records");

  RegisterDefaults(registry_, "Omitting", kOmitWhenDefault);
  RegisterDefaults(registry_, "Writing", 0);
  {
    RecordBuilder<WithNested> record(registry_, "WithNested");
    SDK_BINDING_MEMBER(record, single);
    SDK_BINDING_MEMBER(record, many, kOmitWhenDefault);
    SDK_BINDING_MEMBER(record, named);
    SDK_BINDING_MEMBER(record, bits, kOmitWhenDefault);
  }
  Defaults set;
  set.flag = true;
  set.real = kNaN;
  set.text = "t";
  set.table = {{"k", 0}};
  set.kind = PluginResourceEventType::Delete;
  set.maybe = 0;
  set.object = Int(0);
  WithNested nested;
  ExpectStraightAsThroughAValue(registry, nested, "nested, all empty");
  nested.single = Defaults();
  nested.many = {Defaults(), set};
  nested.named = {{"x", set}, {"y", std::nullopt}, {"z", Defaults()}};
  nested.bits = {{}, {true}};
  // The records of Defaults are the first registered for it, the omitting one.
  ExpectStraightAsThroughAValue(registry, nested, "nested");
  for (const char* name : {"Omitting", "Writing"}) {
    const TypeRecord* record = registry_.FindTypeByName(name);
    ASSERT_NE(record, nullptr);
    TypeBinding binding = BindNativeType<Defaults>(registry);
    binding.converter_type = record;
    for (const Defaults* native : {&set, &nested.many[0]}) {
      BindingResult through;
      StructToValue(registry, through, native, record);
      ASSERT_TRUE(through.ok()) << name;
      HostValue via_value{};
      ASSERT_TRUE(ToHostValue(via_value, through.value(), &registry));
      BindingResult straight_result;
      HostValue straight{};
      bool complete = false;
      ASSERT_TRUE(
          ConvertToHostValue(straight_result, straight, native, binding, &registry, &complete));
      EXPECT_TRUE(complete);
      EXPECT_EQ(DescribeHost(straight), DescribeHost(via_value)) << name;
      ReleaseHostValue(via_value);
      ReleaseHostValue(straight);
    }
  }

  {
    RecordBuilder<Twice> record(registry_, "Twice");
    SDK_BINDING_MEMBER(record, first);
    SDK_BINDING_MEMBER(record, second);
    record.Member(&Twice::third, "second");
  }
  ExpectStraightAsThroughAValue(registry, Twice(), "two members of one name");
  { RecordBuilder<Empty> record(registry_, "Empty"); }
  ExpectStraightAsThroughAValue(registry, Empty(), "empty record");
  ExpectStraightAsThroughAValue(registry, std::vector<Empty>(2), "empty records");

  // Failures: an unregistered record, alone and inside another.
  ExpectStraightAsThroughAValue(registry, Unregistered(), "unregistered");
  {
    RecordBuilder<HoldsUnregistered> record(registry_, "HoldsUnregistered");
    SDK_BINDING_MEMBER(record, inner);
    SDK_BINDING_MEMBER(record, list);
  }
  ExpectStraightAsThroughAValue(registry, HoldsUnregistered(), "holds unregistered");
}

TEST_F(NativeConversionTest, AsyncFailureEventToValue) {
  BindingAsyncFailureEvent event;
  event.asyncToken = 7;
  event.error = "x";
  BindingResult result;
  ToValue(registry_, result, event);
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  ASSERT_EQ(result.value().kind(), ValueKind::kStructure);
  ASSERT_EQ(result.value().Size(), 2u);
  EXPECT_EQ(result.value().MemberNameAt(0), "asyncToken");
  EXPECT_EQ(result.value().MemberAt(0), Uint(7));
  EXPECT_EQ(result.value().MemberNameAt(1), "error");
  EXPECT_EQ(result.value().MemberAt(1), Text("x"));
}

TEST_F(NativeConversionTest, ToValueOfEachNativeKind) {
  testing::SanitizerStatus status;
  status.ready = true;
  status.region = "NA";
  status.locale = "en_US";
  status.filteredWordCountsByLevel = {{"0", 10}, {"3", 4}};
  status.allowedCharsCount = 5;
  BindingResult result;
  result.value().SetString("replaced");
  ToValue(registry_, result, status);
  ASSERT_TRUE(result.ok()) << result.ErrorMessage();
  EXPECT_EQ(result.value(),
            Struct({{"ready", Bool(true)},
                    {"region", Text("NA")},
                    {"locale", Text("en_US")},
                    {"filteredWordCountsByLevel", Struct({{"0", Uint(10)}, {"3", Uint(4)}})},
                    {"whitelistedWordCountsByLevel", Struct({})},
                    {"allowedCharsCount", Uint(5)},
                    {"breakingCharsCount", Uint(0)},
                    {"projectedCharsCount", Uint(0)}}))
      << result.value().DebugString();

  testing::PluginResourceEvent event;
  event.uri = "/a";
  event.eventType = testing::PluginResourceEventType::Update;
  event.data = Struct({{"k", List({Int(-1), Real(0.5)})}});
  BindingResult event_result;
  ToValue(registry_, event_result, event);
  ASSERT_TRUE(event_result.ok()) << event_result.ErrorMessage();
  EXPECT_EQ(
      event_result.value(),
      Struct({{"uri", Text("/a")}, {"eventType", Enum(1, EventTypeId())}, {"data", event.data}}));

  BindingCallbackEvent callback;
  callback.id = 3;
  callback.parameters = {Text("p"), BindingValue(), Int(2)};
  BindingResult callback_result;
  ToValue(registry_, callback_result, callback);
  EXPECT_EQ(callback_result.value(),
            Struct({{"id", Uint(3)}, {"parameters", List({Text("p"), BindingValue(), Int(2)})}}));
}

// The response answers `texts` exactly when the request had them, an empty list included; an
// optional without value becomes an empty member, never a default of its own.
TEST_F(NativeConversionTest, SanitizeResponseKeepsAnEmptyTextsList) {
  struct ResponseCase {
    const char* label;
    std::optional<std::vector<std::string>> texts;
    std::optional<std::string> text;
    bool modified;
    BindingValue expected;
  };
  const ResponseCase kCases[] = {
      {"neither", std::nullopt, std::nullopt, false,
       Struct({{"texts", BindingValue()}, {"text", BindingValue()}, {"modified", Bool(false)}})},
      {"empty texts", std::vector<std::string>{}, std::nullopt, false,
       Struct({{"texts", List({})}, {"text", BindingValue()}, {"modified", Bool(false)}})},
      {"empty text", std::nullopt, "", false,
       Struct({{"texts", BindingValue()}, {"text", Text("")}, {"modified", Bool(false)}})},
      {"both", std::vector<std::string>{"a*c"}, "x", true,
       Struct({{"texts", List({Text("a*c")})}, {"text", Text("x")}, {"modified", Bool(true)}})},
  };
  for (const ResponseCase& c : kCases) {
    testing::SanitizeResponse response;
    response.texts = c.texts;
    response.text = c.text;
    response.modified = c.modified;
    BindingResult result;
    ToValue(registry_, result, response);
    ASSERT_TRUE(result.ok()) << c.label << ": " << result.ErrorMessage();
    EXPECT_EQ(result.value(), c.expected) << c.label << ": " << result.value().DebugString();
  }
}

TEST_F(NativeConversionTest, RoundTripThroughNative) {
  const BindingValue inputs[] = {
      Struct({{"texts", List({Text("one"), Text("two"), Text("")})},
              {"text", Text("three")},
              {"level", Uint(2)},
              {"removeDisallowedChars", Bool(true)},
              {"aggressiveScan", Bool(false)}}),
      Struct({{"text", Text("only")}}),
      Struct({}),
  };
  for (const BindingValue& input : inputs) {
    testing::SanitizeRequest request;
    BindingResult in;
    FromValue(in, request, input, "request", registry_);
    ASSERT_TRUE(in.ok()) << in.ErrorMessage();
    BindingResult out;
    ToValue(registry_, out, request);
    ASSERT_TRUE(out.ok()) << out.ErrorMessage();
    // Absent optionals come back as empty members.
    for (const ConstMemberView member : std::as_const(out.value()).Members()) {
      EXPECT_EQ(member.value, input.FindMember(member.name))
          << "member " << member.name << " of " << input.DebugString();
    }
    EXPECT_EQ(out.value().Size(), 5u);
  }
}

TEST_F(NativeConversionTest, NestedStructsAndHelpRecords) {
  BindingFullTypeHelp help;
  help.name = "T";
  help.size = 8;
  help.tags = {"a", "b"};
  help.fields.push_back({"f", "d", 4, {"vector", "struct"}, true});
  help.values.push_back({"E", "", -3});
  BindingResult out;
  ToValue(registry_, out, help);
  ASSERT_TRUE(out.ok()) << out.ErrorMessage();

  BindingFullTypeHelp back;
  BindingResult in;
  FromValue(in, back, out.value(), "help", registry_);
  ASSERT_TRUE(in.ok()) << in.ErrorMessage();
  EXPECT_EQ(back.name, "T");
  EXPECT_EQ(back.size, 8u);
  EXPECT_EQ(back.tags, help.tags);
  ASSERT_EQ(back.fields.size(), 1u);
  EXPECT_EQ(back.fields[0].offset, 4u);
  EXPECT_EQ(back.fields[0].type.elementType, "struct");
  EXPECT_TRUE(back.fields[0].optional);
  ASSERT_EQ(back.values.size(), 1u);
  EXPECT_EQ(back.values[0].value, -3);

  // A failure deep inside names the innermost member.
  BindingValue broken = out.value();
  broken.Member("fields").Element(0).Member("type").Member("elementType").SetSigned(1);
  BindingFullTypeHelp target;
  BindingResult failed;
  FromValue(failed, target, broken, "help", registry_);
  EXPECT_EQ(failed.ErrorMessage(),
            "Couldn't assign value to 'elementType' because the input is not a string.");
}

// A random tree of values of every kind, up to `depth` levels of containers.
BindingValue RandomValue(std::mt19937& random, int depth) {
  static const char* const kNames[] = {"texts",
                                       "text",
                                       "level",
                                       "removeDisallowedChars",
                                       "aggressiveScan",
                                       "uri",
                                       "eventType",
                                       "data",
                                       "ready",
                                       "filteredWordCountsByLevel",
                                       "x"};
  static const char* const kTexts[] = {"",
                                       "1",
                                       "0",
                                       "true",
                                       "false",
                                       "0x10",
                                       "-1",
                                       "Update",
                                       "1e999",
                                       "nan",
                                       "12abc",
                                       " 7",
                                       "18446744073709551616"};
  BindingValue value;
  switch (random() % (depth > 0 ? 10 : 8)) {
    case 0:
      break;
    case 1:
      value.SetBool(random() % 2 != 0);
      break;
    case 2:
      value.SetSigned(static_cast<int64_t>(random()) - (1ll << 31) +
                      (random() % 2 ? 0 : -(1ll << 62)));
      break;
    case 3:
      value.SetUnsigned(static_cast<uint64_t>(random()) << (random() % 40));
      break;
    case 4: {
      static const double kReals[] = {0.0, -0.5, 3.9, 1e10, 1e39, kNaN, kInf, -kInf, 255.5};
      value.SetFloat(kReals[random() % std::size(kReals)]);
      break;
    }
    case 5:
      value.SetString(kTexts[random() % std::size(kTexts)]);
      break;
    case 6:
      value.SetEnum(static_cast<int32_t>(random() % 5) - 1,
                    random() % 2 ? StaticTypeOf<testing::PluginResourceEventType>().id() : 0);
      break;
    case 7:
      value.SetBlob("xy", 2);
      break;
    case 8: {
      value.MakeCollection();
      const int count = static_cast<int>(random() % 4);
      for (int i = 0; i < count; ++i) value.Element(i) = RandomValue(random, depth - 1);
      break;
    }
    default: {
      value.MakeStructure();
      const int count = static_cast<int>(random() % 6);
      for (int i = 0; i < count; ++i) {
        value.Member(kNames[random() % std::size(kNames)]) = RandomValue(random, depth - 1);
      }
      break;
    }
  }
  return value;
}

template <typename T>
void ConvertRandomInput(const BindingRegistry& registry, const BindingValue& input) {
  T native{};
  BindingResult result;
  FromValue(result, native, input, "input", registry);
  if (!result.ok()) {
    EXPECT_FALSE(result.ErrorMessage().empty()) << input.DebugString();
    return;
  }
  BindingResult back;
  ToValue(registry, back, native);
  EXPECT_TRUE(back.ok()) << input.DebugString() << ": " << back.ErrorMessage();
  ExpectStraightAsThroughAValue(registry, native, input.DebugString());
}

TEST_F(NativeConversionTest, RandomInputsEndInAValueOrAMessage) {
  std::mt19937 random(12345);
  for (int i = 0; i < 3000; ++i) {
    const BindingValue input = RandomValue(random, 3);
    ConvertRandomInput<testing::SanitizeRequest>(registry_, input);
    ConvertRandomInput<testing::SanitizerStatus>(registry_, input);
    ConvertRandomInput<testing::PluginResourceEvent>(registry_, input);
    ConvertRandomInput<BindingFullApiHelp>(registry_, input);
    ConvertRandomInput<std::map<std::string, std::vector<testing::PluginResourceEventType>>>(
        registry_, input);
  }
}

}  // namespace
}  // namespace sdk::binding
