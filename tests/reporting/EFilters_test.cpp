#include <gtest/gtest.h>

#include <stdexcept>

#include "reporting/options/ECore.h"

namespace {

class EBaseFault : public Exception {
 public:
  using Exception::Exception;
};
class EDerivedFault : public EBaseFault {
 public:
  using EBaseFault::EBaseFault;
};

TTarvexExceptionFilter Filter(const char* cls, TFilterHandler handler, bool enabled = true,
                              TFilterScope scope = scAny) {
  TTarvexExceptionFilter f;
  f.Enabled = enabled;
  f.MatchClass = cls;
  f.Handler = handler;
  f.Scope = scope;
  return f;
}

}  // namespace

TEST(ExceptionFiltersTest, FirstEnabledMatchDecides) {
  struct Case {
    const char* name;
    std::vector<TTarvexExceptionFilter> filters;
    const std::type_info& cls;
    bool handled;
    int expected;  // index of the deciding filter, -1 for none
  } cases[] = {
      {"ancestor, lower case, blanks", {Filter("  ebasefault ", hkNone)}, typeid(EDerivedFault), false, 0},
      {"root class", {Filter("EXCEPTION", hkNone)}, typeid(EDerivedFault), false, 0},
      {"qualified library name", {Filter("std::logic_error", hkNone)}, typeid(std::out_of_range), false, 0},
      {"plain library name", {Filter("Out_Of_Range", hkNone)}, typeid(std::out_of_range), false, 0},
      {"unrelated class", {Filter("runtime_error", hkNone)}, typeid(std::out_of_range), false, -1},
      {"descendant does not match ancestor", {Filter("EDerivedFault", hkNone)}, typeid(EBaseFault), false, -1},
      {"empty class name", {Filter("", hkNone)}, typeid(EBaseFault), false, -1},
      {"disabled falls through",
       {Filter("EDerivedFault", hkNone, false), Filter("ebasefault", hkStandard)},
       typeid(EDerivedFault), false, 1},
      {"order wins", {Filter("EBaseFault", hkNone), Filter("EDerivedFault", hkStandard)}, typeid(EDerivedFault),
       false, 0},
      {"handled-only skips unhandled",
       {Filter("EBaseFault", hkNone, true, scHandled), Filter("EBaseFault", hkStandard, true, scUnhandled)},
       typeid(EBaseFault), false, 1},
      {"unhandled-only skips handled",
       {Filter("EBaseFault", hkNone, true, scUnhandled), Filter("EBaseFault", hkStandard, true, scHandled)},
       typeid(EBaseFault), true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTarvexModuleOptions o;
    for (const auto& f : c.filters) o.ExceptionFilters().Add(f);
    const TTarvexExceptionFilter* match = FindExceptionFilter(o.ExceptionFilters(), c.cls, c.handled);
    if (c.expected < 0) EXPECT_EQ(match, nullptr);
    else EXPECT_EQ(match, &o.ExceptionFilters()[static_cast<size_t>(c.expected)]);
  }
}

TEST(ExceptionFiltersTest, NoMatchActsAsReporterWithDefaultDialog) {
  TTarvexExceptionFilter implicit = DecidingFilter(nullptr);
  EXPECT_EQ(implicit.Handler, hkReporter);
  EXPECT_EQ(implicit.Dialog, fdDefault);
  EXPECT_EQ(implicit.Action, xaNone);
}

TEST(ExceptionFiltersTest, WrapperNamesMatchRegardlessOfScope) {
  TTarvexModuleOptions o;
  o.ExceptionFilters().Add(Filter("EOleSysError", hkNone, false));
  o.ExceptionFilters().Add(Filter(" eolesyserror", hkStandard, true, scHandled));
  const auto* match = FindExceptionFilter(o.ExceptionFilters(), std::vector<std::string>{"EOleException", "EOleSysError"});
  EXPECT_EQ(match, &o.ExceptionFilters()[1]);
  EXPECT_EQ(FindExceptionFilter(o.ExceptionFilters(), std::vector<std::string>{"EOther"}), nullptr);
}

TEST(ExceptionFiltersTest, ListOperations) {
  TTarvexModuleOptions o;
  auto& list = o.ExceptionFilters();
  EXPECT_EQ(list.Owner(), &o);
  list.Add(Filter("A", hkNone));
  list.Add(Filter("B", hkNone));
  list.Add(Filter("C", hkNone));
  list.Delete(1);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[1].MatchClass, "C");
  EXPECT_THROW(list.Delete(2), std::out_of_range);
  TTarvexModuleOptions other;
  other.ExceptionFilters().Add(Filter("X", hkNone));
  list.Assign(other.ExceptionFilters());
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0].MatchClass, "X");
  EXPECT_NE(&list[0], &other.ExceptionFilters()[0]);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}
