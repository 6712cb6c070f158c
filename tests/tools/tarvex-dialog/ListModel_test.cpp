// The lists' groups: nesting, indentation, collapsing and expanding, the sign's click area.
#include <gtest/gtest.h>

#include "tools/tarvex-dialog/ListModel.h"

using namespace tarvex_dialog;

namespace {

TListRow Group(int colour) {
  TListRow r;
  r.Group = true;
  r.ColourClass = colour;
  r.Header = "thread " + std::to_string(colour);
  return r;
}
TListRow Entry(const std::string& address) { return {{address, "m", "", "", "p", ""}, "", false, 0, riSource, -1}; }
TListRow Empty() { return {{"", " ", "", "", "", ""}, "", false, 0, riNone, -1}; }

// The exception thread, an empty row, a running thread with a calling thread under it, an
// empty row and a loose entry.
std::vector<TListRow> Rows() {
  return {Group(3), Entry("A"), Entry("B"), Empty(), Group(1), Entry("C"), Group(0), Entry("D"), Entry("E"), Empty(),
          Entry("F")};
}

}  // namespace

TEST(ListModel, NestingIndentsRowsOfInnerGroups) {
  const TListModel model(Rows(), 4);
  EXPECT_EQ(model.Step(), 16);
  std::vector<bool> indented, empty;
  for (size_t i = 0; i < model.Size(); ++i) {
    indented.push_back(model.Item(i).Indented);
    empty.push_back(model.Item(i).Empty);
  }
  EXPECT_EQ(indented, (std::vector<bool>{false, false, false, false, false, false, false, true, true, false, false}));
  EXPECT_EQ(empty, (std::vector<bool>{false, false, false, true, false, false, false, false, false, true, false}));
  EXPECT_EQ(model.Item(7).Row.Cells[0], "    D");
  EXPECT_EQ(model.Item(5).Row.Cells[0], "C");
}

TEST(ListModel, IndentStepReaches14Pixels) {
  struct {
    int Space, Spaces, Step;
  } cases[] = {{4, 4, 16}, {5, 3, 15}, {14, 1, 14}, {20, 1, 20}, {0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Space);
    EXPECT_EQ(IndentSpaces(c.Space), c.Spaces);
    EXPECT_EQ(IndentStep(c.Space), c.Step);
  }
}

TEST(ListModel, TogglingShowsAndHidesUpToTheNextEmptyRow) {
  struct TCase {
    const char* Name;
    std::vector<size_t> Toggles;
    std::vector<size_t> Visible;
  } cases[] = {
      {"collapse the exception thread", {0}, {0, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"collapse and expand again: rows come back in order", {0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"collapsing the outer group hides the inner one too", {4}, {0, 1, 2, 3, 4, 9, 10}},
      {"a collapsed inner group keeps its rows hidden when the outer expands", {6, 4, 4},
       {0, 1, 2, 3, 4, 5, 6, 9, 10}},
      {"an entry row does not toggle", {1, 10}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TListModel model(Rows(), 4);
    for (size_t t : c.Toggles) model.Toggle(t);
    EXPECT_EQ(model.VisibleRows(), c.Visible);
  }
}

TEST(ListModel, SignClickArea) {
  struct {
    const char* Name;
    bool First;
    int X, Y;
    bool Hit;
  } cases[] = {
      {"first row, inside", true, 2, 2, true},       {"first row, far corner", true, 12, 12, true},
      {"first row, left of it", true, 1, 5, false},  {"first row, below it", true, 5, 13, false},
      {"later row, shifted by a step", false, 18, 5, true}, {"later row, unshifted spot", false, 5, 5, false},
      {"later row, right of it", false, 29, 5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(OnGroupSign(c.First, 16, c.X, c.Y), c.Hit);
  }
}
