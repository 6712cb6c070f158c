#include "runtime/ClassNames.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/SysUtils.h"

namespace outer {
class EInner : public EConvertError {
 public:
  using EConvertError::EConvertError;
};
}  // namespace outer

TEST(ClassNamesTest, PlainAndQualifiedNames) {
  EXPECT_EQ(PlainClassName(typeid(EConvertError)), "EConvertError");
  EXPECT_EQ(QualifiedClassName(typeid(std::out_of_range)), "std::out_of_range");
  EXPECT_EQ(PlainClassName(typeid(std::out_of_range)), "out_of_range");
  EXPECT_EQ(QualifiedClassName(typeid(outer::EInner)), "outer::EInner");
}

TEST(ClassNamesTest, AncestryFollowsTheTypeInfoChain) {
  auto chain = ClassAncestry(typeid(outer::EInner));
  std::vector<std::string> names;
  for (auto* t : chain) names.push_back(PlainClassName(*t));
  EXPECT_EQ(names, (std::vector<std::string>{"EInner", "EConvertError", "Exception", "exception"}));
  EXPECT_TRUE(ClassHasAncestorNamed(typeid(std::out_of_range), "std::logic_error"));
  EXPECT_TRUE(ClassHasAncestorNamed(typeid(std::out_of_range), " LOGIC_ERROR "));
  EXPECT_FALSE(ClassHasAncestorNamed(typeid(std::out_of_range), "runtime_error"));
}

TEST(ClassNamesTest, CurrentExceptionType) {
  EXPECT_EQ(CurrentExceptionType(), nullptr);
  try {
    throw std::out_of_range("x");
  } catch (...) {
    ASSERT_NE(CurrentExceptionType(), nullptr);
    EXPECT_EQ(PlainClassName(*CurrentExceptionType()), "out_of_range");
  }
}
