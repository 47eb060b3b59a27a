// Tests of BindingResult: the ok flag, the failure form {"error": message}, repeated failures,
// reset and copy.
#include "sdk/binding/binding_result.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sdk::binding {
namespace {

TEST(BindingResultTest, FreshResultIsOkAndEmpty) {
  BindingResult result;
  EXPECT_TRUE(result.ok());
  EXPECT_TRUE(result.value().IsEmpty());
  EXPECT_EQ(result.ErrorMessage(), "");
}

TEST(BindingResultTest, FailReplacesAnyContentWithOneErrorMember) {
  const char* const kContents[] = {"empty", "scalar", "text", "structure", "collection"};
  for (const char* content : kContents) {
    BindingResult result;
    const std::string kind = content;
    if (kind == "scalar") result.value().SetSigned(3);
    if (kind == "text") result.value().SetString("partial");
    if (kind == "structure") result.value().Member("a").Member("error").SetBool(true);
    if (kind == "collection") result.value().Element(4).SetString("x");
    result.Fail("it broke");
    EXPECT_FALSE(result.ok()) << content;
    ASSERT_EQ(result.value().kind(), ValueKind::kStructure) << content;
    ASSERT_EQ(result.value().Size(), 1u) << content;
    EXPECT_EQ(result.value().MemberNameAt(0), "error") << content;
    EXPECT_EQ(result.value().FindMember("error").GetString(), "it broke") << content;
    EXPECT_EQ(result.ErrorMessage(), "it broke") << content;
    EXPECT_EQ(result.value().GetTreeStats().interned_texts, 2u)
        << content << ": only \"error\" and the message remain";
  }
}

TEST(BindingResultTest, LaterFailureReplacesTheMessage) {
  BindingResult result;
  result.Fail("first");
  result.Fail("second");
  EXPECT_EQ(result.ErrorMessage(), "second");
  EXPECT_EQ(result.value().Size(), 1u);
  EXPECT_EQ(result.value().InternedReferences("first"), 0u);
}

TEST(BindingResultTest, FailWithATextOfItsOwnTree) {
  BindingResult result;
  result.value().Member("detail").SetString("a message that lives in the tree");
  result.Fail(result.value().FindMember("detail").GetString());
  EXPECT_EQ(result.ErrorMessage(), "a message that lives in the tree");
  result.Fail(result.ErrorMessage());
  EXPECT_EQ(result.ErrorMessage(), "a message that lives in the tree");
  EXPECT_EQ(result.value().InternedReferences("a message that lives in the tree"), 1u);
}

struct TemplateCase {
  const char* expected;
  void (*fail)(BindingResult&);
};

TEST(BindingResultTest, FailFillsTemplates) {
  const TemplateCase kCases[] = {
      {"A value for 'level' is required.",
       [](BindingResult& r) { r.Fail("A value for '%1' is required.", "level"); }},
      {"Value 256 for 'x' of type uint8 is out of range",
       [](BindingResult& r) {
         r.Fail("Value %1 for '%2' of type %3 is out of range", uint64_t{256}, "x", "uint8");
       }},
      {"Value -1 for 'x' of type uint8 is out of range",
       [](BindingResult& r) {
         r.Fail("Value %1 for '%2' of type %3 is out of range", int64_t{-1}, "x", "uint8");
       }},
      {"100% sure", [](BindingResult& r) { r.Fail("100% sure"); }},  // no arguments: verbatim
      {"3 is not a valid enumeration value for 'e'.",
       [](BindingResult& r) {
         const std::string name = "e";
         r.Fail("%1 is not a valid enumeration value for '%2'.", 3, name);
       }},
  };
  for (const TemplateCase& c : kCases) {
    BindingResult result;
    c.fail(result);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.ErrorMessage(), c.expected);
  }
}

TEST(BindingResultTest, EmptyMessageStillFails) {
  BindingResult result;
  result.Fail("");
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.value().FindMember("error").kind(), ValueKind::kString);
}

TEST(BindingResultTest, ResetClearsAndSetsOk) {
  BindingResult result;
  result.Fail("broken");
  result.Reset();
  EXPECT_TRUE(result.ok());
  EXPECT_TRUE(result.value().IsEmpty());
  EXPECT_EQ(result.value().GetTreeStats().interned_texts, 0u);
}

TEST(BindingResultTest, CopyAssignCopiesFlagAndValue) {
  BindingResult failed;
  failed.Fail("broken");
  BindingResult target;
  target.value().SetSigned(1);
  target = failed;
  EXPECT_FALSE(target.ok());
  EXPECT_EQ(target.ErrorMessage(), "broken");
  EXPECT_FALSE(failed.ok()) << "the source is unchanged";

  BindingResult ok;
  ok.value().SetString("fine");
  target = ok;
  EXPECT_TRUE(target.ok());
  EXPECT_EQ(target.value().GetString(), "fine");
}

TEST(BindingResultTest, MoveCarriesTheTree) {
  BindingResult source;
  source.value().Member("a").SetString("x");
  const BindingValue* member = &source.value().FindMember("a");
  BindingResult target(std::move(source));
  EXPECT_EQ(&target.value().FindMember("a"), member);
}

}  // namespace
}  // namespace sdk::binding
