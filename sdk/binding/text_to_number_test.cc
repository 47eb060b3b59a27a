// Tests of the text-to-number conversion: the automatic base, white space, signs, bounds,
// overflow, leftover text, the exact messages, and counted texts that are not NUL-terminated.
// The accepted integer spellings are cross-checked against strtoll/strtoull on the same table.
#include "sdk/binding/text_to_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace sdk::binding {
namespace {

constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr uint64_t kUint64Max = std::numeric_limits<uint64_t>::max();

struct SignedCase {
  std::string text;
  int64_t min;
  int64_t max;
  TextNumberStatus status;
  int64_t value;  // when kOk
};

TEST(TextToNumberTest, SignedTable) {
  using S = TextNumberStatus;
  const SignedCase kCases[] = {
      {"0", kInt64Min, kInt64Max, S::kOk, 0},
      {"42", kInt64Min, kInt64Max, S::kOk, 42},
      {"-42", kInt64Min, kInt64Max, S::kOk, -42},
      {"+7", kInt64Min, kInt64Max, S::kOk, 7},
      {"0x10", kInt64Min, kInt64Max, S::kOk, 16},
      {"0XfF", kInt64Min, kInt64Max, S::kOk, 255},
      {"-0x10", kInt64Min, kInt64Max, S::kOk, -16},
      {"010", kInt64Min, kInt64Max, S::kOk, 8},
      {" \t\n\v\f\r42", kInt64Min, kInt64Max, S::kOk, 42},
      {"", kInt64Min, kInt64Max, S::kOk, 0},  // an empty parse leaves nothing over
      {"9223372036854775807", kInt64Min, kInt64Max, S::kOk, kInt64Max},
      {"-9223372036854775808", kInt64Min, kInt64Max, S::kOk, kInt64Min},
      {"9223372036854775808", kInt64Min, kInt64Max, S::kRangeError, 0},
      {"-9223372036854775809", kInt64Min, kInt64Max, S::kRangeError, 0},
      {"99999999999999999999999", kInt64Min, kInt64Max, S::kRangeError, 0},
      {"127", -128, 127, S::kOk, 127},
      {"128", -128, 127, S::kRangeError, 0},
      {"-129", -128, 127, S::kRangeError, 0},
      {"12abc", kInt64Min, kInt64Max, S::kFormatError, 0},
      {"42 ", kInt64Min, kInt64Max, S::kFormatError, 0},
      {" ", kInt64Min, kInt64Max, S::kFormatError, 0},
      {"-", kInt64Min, kInt64Max, S::kFormatError, 0},
      {"0x", kInt64Min, kInt64Max, S::kFormatError, 0},  // "0" parsed, "x" left over
      {"08", kInt64Min, kInt64Max, S::kFormatError, 0},  // octal has no 8
      {"1.5", kInt64Min, kInt64Max, S::kFormatError, 0},
      {"abc", kInt64Min, kInt64Max, S::kFormatError, 0},
      {std::string("5\0"
                   "1",
                   3),
       kInt64Min, kInt64Max, S::kFormatError, 0},
      {"99999999999999999999x", kInt64Min, kInt64Max, S::kFormatError, 0},
      {std::string(300, ' ') + "17", kInt64Min, kInt64Max, S::kOk, 17},
      {std::string(500, '0') + "17", kInt64Min, kInt64Max, S::kOk, 15},  // octal 17
      {std::string(500, '1'), kInt64Min, kInt64Max, S::kRangeError, 0},
  };
  for (const SignedCase& c : kCases) {
    int64_t value = -1;
    EXPECT_EQ(ParseSignedText(c.text, c.min, c.max, &value), c.status) << "input: " << c.text;
    if (c.status == S::kOk) {
      EXPECT_EQ(value, c.value) << "input: " << c.text;
      // The accepted spelling means what strtoll says it means.
      char* end = nullptr;
      EXPECT_EQ(std::strtoll(c.text.c_str(), &end, 0), c.value) << "input: " << c.text;
    } else {
      EXPECT_EQ(value, -1) << "input: " << c.text << ": output untouched on failure";
    }
  }
}

struct UnsignedCase {
  std::string text;
  uint64_t max;
  TextNumberStatus status;
  uint64_t value;
};

TEST(TextToNumberTest, UnsignedTable) {
  using S = TextNumberStatus;
  const UnsignedCase kCases[] = {
      {"0", kUint64Max, S::kOk, 0},
      {"255", 255, S::kOk, 255},
      {"256", 255, S::kRangeError, 0},
      {"0x10", 255, S::kOk, 16},
      {"0x100", 255, S::kRangeError, 0},
      {"+3", 255, S::kOk, 3},
      {"18446744073709551615", kUint64Max, S::kOk, kUint64Max},
      {"18446744073709551616", kUint64Max, S::kRangeError, 0},
      {"0xFFFFFFFFFFFFFFFF", kUint64Max, S::kOk, kUint64Max},
      // strtoull would give 2^64 - 1 and 2^64 - 5; a negative number fits no unsigned type.
      {"-1", kUint64Max, S::kRangeError, 0},
      {" -5", kUint64Max, S::kRangeError, 0},
      {"-0", kUint64Max, S::kOk, 0},
      {"-0x0", 255, S::kOk, 0},
      {"12abc", kUint64Max, S::kFormatError, 0},
      {"-x", kUint64Max, S::kFormatError, 0},
      {"", 255, S::kOk, 0},
      {std::string(400, '\t') + "0x2A", kUint64Max, S::kOk, 42},
  };
  for (const UnsignedCase& c : kCases) {
    uint64_t value = 7;
    EXPECT_EQ(ParseUnsignedText(c.text, c.max, &value), c.status) << "input: " << c.text;
    if (c.status == S::kOk) {
      EXPECT_EQ(value, c.value) << "input: " << c.text;
      char* end = nullptr;
      EXPECT_EQ(std::strtoull(c.text.c_str(), &end, 0), c.value) << "input: " << c.text;
    } else {
      EXPECT_EQ(value, 7u) << "input: " << c.text;
    }
  }
}

struct DoubleCase {
  std::string text;
  double min;
  double max;
  TextNumberStatus status;
  double value;
};

TEST(TextToNumberTest, DoubleTable) {
  using S = TextNumberStatus;
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  const DoubleCase kCases[] = {
      {"1.5", -kMax, kMax, S::kOk, 1.5},
      {"-2.25e2", -kMax, kMax, S::kOk, -225.0},
      {" 3", -kMax, kMax, S::kOk, 3.0},
      {"0x1p4", -kMax, kMax, S::kOk, 16.0},
      {".5", -kMax, kMax, S::kOk, 0.5},
      {"", -kMax, kMax, S::kOk, 0.0},
      {"1e308", -kMax, kMax, S::kOk, 1e308},
      {"1e-400", -kMax, kMax, S::kOk, 0.0},  // underflow keeps its result
      {"1e309", -kMax, kMax, S::kRangeError, 0},
      {"-1e309", -kMax, kMax, S::kRangeError, 0},
      {"inf", -kMax, kMax, S::kRangeError, 0},
      {"-Infinity", -kMax, kMax, S::kRangeError, 0},
      {"1e39", -kFloatMax, kFloatMax, S::kRangeError, 0},
      {"3e38", -kFloatMax, kFloatMax, S::kOk, 3e38},
      {"1.5x", -kMax, kMax, S::kFormatError, 0},
      {"1,5", -kMax, kMax, S::kFormatError, 0},
      {"x", -kMax, kMax, S::kFormatError, 0},
      {std::string(200, ' ') + "0." + std::string(300, '0') + "1", -kMax, kMax, S::kOk, 1e-301},
  };
  for (const DoubleCase& c : kCases) {
    double value = 99.0;
    EXPECT_EQ(ParseDoubleText(c.text, c.min, c.max, &value), c.status) << "input: " << c.text;
    if (c.status == S::kOk) {
      EXPECT_EQ(value, c.value) << "input: " << c.text;
    } else {
      EXPECT_EQ(value, 99.0) << "input: " << c.text;
    }
  }
  double value = 0;
  EXPECT_EQ(ParseDoubleText("nan", -kMax, kMax, &value), S::kOk);
  EXPECT_TRUE(std::isnan(value));
}

TEST(TextToNumberTest, CountedTextIsNeverReadPastItsEnd) {
  // A heap block holding exactly "123" without a NUL: reading one byte beyond is reported by
  // AddressSanitizer.
  auto block = std::make_unique<char[]>(3);
  std::memcpy(block.get(), "123", 3);
  int64_t signed_value = 0;
  EXPECT_EQ(ParseSignedText({block.get(), 3}, kInt64Min, kInt64Max, &signed_value),
            TextNumberStatus::kOk);
  EXPECT_EQ(signed_value, 123);
  uint64_t unsigned_value = 0;
  EXPECT_EQ(ParseUnsignedText({block.get(), 2}, kUint64Max, &unsigned_value),
            TextNumberStatus::kOk);
  EXPECT_EQ(unsigned_value, 12u);
  double double_value = 0;
  EXPECT_EQ(ParseDoubleText({block.get(), 1}, -1e9, 1e9, &double_value), TextNumberStatus::kOk);
  EXPECT_EQ(double_value, 1.0);

  const std::string long_text = std::string(1000, ' ') + "456";
  auto long_block = std::make_unique<char[]>(long_text.size());
  std::memcpy(long_block.get(), long_text.data(), long_text.size());
  EXPECT_EQ(
      ParseSignedText({long_block.get(), long_text.size()}, kInt64Min, kInt64Max, &signed_value),
      TextNumberStatus::kOk);
  EXPECT_EQ(signed_value, 456);
}

TEST(TextToNumberTest, FailuresCarryTheExactMessages) {
  struct Case {
    const char* kind;
    std::string text;
    std::string message;
  };
  const Case kCases[] = {
      {"signed", "12abc", "Value 12abc for 'x' of type int8 is in an incorrect format"},
      {"signed", "300", "Value 300 for 'x' of type int8 is out of range"},
      {"unsigned", "-1", "Value -1 for 'yaml' of type uint64_t is out of range"},
      {"unsigned", "0x1G", "Value 0x1G for 'yaml' of type uint64_t is in an incorrect format"},
      {"double", "1e999", "Value 1e999 for 'yaml' of type double is out of range"},
      {"double", "one", "Value one for 'yaml' of type double is in an incorrect format"},
  };
  for (const Case& c : kCases) {
    BindingResult result;
    const std::string kind = c.kind;
    bool ok = true;
    if (kind == "signed") {
      int64_t out = 0;
      ok = TextToSigned(result, c.text, "x", "int8", -128, 127, &out);
    } else if (kind == "unsigned") {
      uint64_t out = 0;
      ok = TextToUnsigned(result, c.text, "yaml", "uint64_t", kUint64Max, &out);
    } else {
      double out = 0;
      ok = TextToDouble(result, c.text, "yaml", "double", -1.7976931348623157e308,
                        1.7976931348623157e308, &out);
    }
    EXPECT_FALSE(ok) << "input: " << c.text;
    EXPECT_FALSE(result.ok()) << "input: " << c.text;
    EXPECT_EQ(result.ErrorMessage(), c.message) << "input: " << c.text;
  }
}

TEST(TextToNumberTest, SuccessStoresTheNumberAndKeepsTheResult) {
  BindingResult result;
  result.value().SetString("kept");
  int64_t signed_out = 0;
  uint64_t unsigned_out = 0;
  double double_out = 0;
  EXPECT_TRUE(TextToSigned(result, "-0x20", "n", "int32", -100, 100, &signed_out));
  EXPECT_TRUE(TextToUnsigned(result, "0777", "n", "uint32", 0xFFFFFFFF, &unsigned_out));
  EXPECT_TRUE(TextToDouble(result, "2.5e1", "n", "double", -1e300, 1e300, &double_out));
  EXPECT_EQ(signed_out, -32);
  EXPECT_EQ(unsigned_out, 0777u);
  EXPECT_EQ(double_out, 25.0);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.value().GetString(), "kept");
}

TEST(TextToNumberTest, AFailedResultIsLeftAsItIs) {
  BindingResult result;
  result.Fail("earlier");
  int64_t out = 5;
  EXPECT_FALSE(TextToSigned(result, "1", "n", "int32", -10, 10, &out));
  EXPECT_EQ(out, 5);
  uint64_t unsigned_out = 5;
  EXPECT_FALSE(TextToUnsigned(result, "zz", "n", "uint32", 10, &unsigned_out));
  double double_out = 5;
  EXPECT_FALSE(TextToDouble(result, "zz", "n", "double", -10, 10, &double_out));
  EXPECT_EQ(result.ErrorMessage(), "earlier");
}

}  // namespace
}  // namespace sdk::binding
