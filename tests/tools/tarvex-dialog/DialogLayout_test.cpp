// The windows' layout rules with fixed metrics: which controls show, their texts and their
// rectangles, worked out by hand from the rules (6-pixel characters, 13-pixel lines).
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tests/tools/tarvex-dialog/FixedMetrics.h"
#include "tools/tarvex-dialog/DialogLayout.h"

using namespace tarvex_dialog;
using namespace tarvex_dialog::test;

namespace tarvex_dialog {
void PrintTo(const TRect& r, std::ostream* os) { *os << "(" << r.X << "," << r.Y << "," << r.W << "," << r.H << ")"; }
}  // namespace tarvex_dialog

namespace {

struct TExpected {
  TRect Rect;
  std::string Text;  // empty: not checked
};

void ExpectLayout(const TWindowLayout& l, const std::map<int, TExpected>& shown, const std::set<int>& hidden) {
  for (const auto& [id, e] : shown) {
    SCOPED_TRACE("control " + std::to_string(id));
    const TControl* c = l.Find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->Visible);
    EXPECT_EQ(c->Rect, e.Rect);
    if (!e.Text.empty()) {
      EXPECT_EQ(c->Text, e.Text);
    }
  }
  for (int id : hidden) {
    SCOPED_TRACE("hidden control " + std::to_string(id));
    const TControl* c = l.Find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->Visible);
  }
}

}  // namespace

TEST(ClassicLayout, ControlsFollowTheOfferedSet) {
  const TFixedMetrics m;
  const TFrameMetrics f;
  const uint32_t all = dcTerminate | dcSendBox | dcDetailsButton | dcReproduceBox | dcEmailBox | dcCustomButton;
  struct TCase {
    const char* Name;
    uint32_t Offered, Checked;
    int TerminateAction;
    std::map<int, TExpected> Shown;
    std::set<int> Hidden;
    int ClientHeight;
  } cases[] = {
      {"nothing offered: message and OK",
       0, 0, 0,
       {{103, {{8, 59, 397, 13}, "boom"}}, {1001, {{330, 84, 75, 27}, "&OK"}}},
       {104, 105, 106, 107, kClassicLinkId, 108, 109, 110, 111, 1000, 1002},
       121},
      {"everything offered, report to be sent",
       all, dcSendBox, 1,
       {{103, {{8, 59, 397, 13}, "boom"}},
        {104, {{8, 82, 397, 13}, "Terminate application."}},
        {105, {{8, 105, 397, 13}, "Please tell us about this problem."}},
        {106, {{8, 120, 397, 26}, ""}},
        {107, {{8, 158, 264, 13}, "To see what data the error report contains, "}},
        {kClassicLinkId, {{272, 158, 66, 13}, "click here."}},
        {108, {{8, 183, 397, 13}, ""}},
        {109, {{8, 198, 397, 64}, ""}},
        {110, {{8, 274, 156, 13}, "Email address (optional): "}},
        {111, {{164, 270, 241, 21}, ""}},
        {1002, {{8, 303, 75, 27}, "&Help"}},
        {1000, {{187, 303, 126, 27}, "&Send Error Report"}},
        {1001, {{321, 303, 84, 27}, "&Don't Send"}}},
       {},
       340},
      {"sending offered but the report is not to be sent: the right button reads OK",
       dcSendBox, 0, 0,
       {{105, {{8, 82, 397, 13}, ""}}, {1000, {{196, 135, 126, 27}, ""}}, {1001, {{330, 135, 75, 27}, "&OK"}}},
       {104, 107, 109, 111, 1002},
       172},
      {"restart action names the check box",
       dcTerminate, 0, 2,
       {{104, {{8, 82, 397, 13}, "Restart application."}}, {1001, {{330, 107, 75, 27}, ""}}},
       {105, 106, 1000},
       144},
      {"description box without sending",
       dcReproduceBox, 0, 0,
       {{108, {{8, 84, 397, 13}, ""}}, {109, {{8, 99, 397, 64}, ""}}, {1001, {{330, 171, 75, 27}, ""}}},
       {105, 110, 111, 1000},
       208},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(2, c.Offered, c.Checked);
    q.TerminateAction = c.TerminateAction;
    const TWindowLayout l = ClassicLayout(q, m, f);
    EXPECT_EQ(l.ClientWidth, 413);
    EXPECT_EQ(l.ClientHeight, c.ClientHeight);
    ExpectLayout(l, c.Shown, c.Hidden);
    // The banner's heading is centred in the 51-pixel band: 79 characters in two lines.
    ExpectLayout(l, {{102, {{8, 12, 356, 26}, ""}}, {kBannerId, {{0, 0, 413, 51}, ""}}, {kIconId, {{372, 9, 32, 32}, ""}}},
                 {});
  }
}

TEST(ClassicLayout, ButtonWidthCountsTheCaptionWithoutAccelerator) {
  const TFixedMetrics m;
  const TFrameMetrics f;
  struct {
    const char* Caption;
    int Width;
  } cases[] = {{"&OK", 75}, {"&Send Error Report", 126}, {"Fish && Chips Limited Edition", 28 * 6 + 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Caption);
    EXPECT_EQ(ClassicButtonWidth(m, f, c.Caption), c.Width);
  }
  EXPECT_EQ(WithoutAccelerator("Fish && &Chips"), "Fish & Chips");
}

TEST(DetailedLayout, CompactSizeFollowsTheMessage) {
  const TFixedMetrics m;
  const TFrameMetrics f;
  struct TCase {
    const char* Name;
    std::string Message;
    uint32_t Offered;
    int Width, Height;
    TRect Text;
  } cases[] = {
      // The extra line "&Send this error via Internet    &Copy to Clipboard" (51 characters) is the widest.
      {"short message, at least 340 wide", "boom", 0, 380, 86, {48, 8, 322, 26}},
      {"band below the buttons", "boom", dcSendBox | dcScreenshotBox, 380, 120, {48, 8, 322, 26}},
      {"three lines grow the window", "one\r\ntwo\nthree", 0, 380, 86 + 52 - 39, {48, 8, 322, 52}},
      {"a line past the cap wraps", std::string(120, 'x'), dcCopyBox, 634, 86 + 39 - 39 + 20, {48, 8, 576, 39}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TCompactSize s = DetailedCompactSize(Request(3, c.Offered, 0, c.Message), m, f);
    EXPECT_EQ(s.ClientWidth, c.Width);
    EXPECT_EQ(s.ClientHeight, c.Height);
    EXPECT_EQ(s.Message, c.Text);
  }
}

TEST(DetailedLayout, BandHeight) {
  struct {
    const char* Name;
    uint32_t Offered;
    int Band;
  } cases[] = {
      {"nothing", 0, 0},
      {"send only", dcSendBox, 20},
      {"screenshot without sending shows nothing", dcScreenshotBox, 0},
      {"send and screenshot", dcSendBox | dcScreenshotBox, 34},
      {"copy and support link", dcCopyBox | dcSupportLink, 34},
      {"send and copy share a line", dcSendBox | dcCopyBox, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(DetailedBandHeight(c.Offered), c.Band);
  }
}

TEST(DetailedLayout, ButtonRowBoxesAndTabs) {
  const TFixedMetrics m;
  const TFrameMetrics f;
  const uint32_t all = dcSendBox | dcScreenshotBox | dcCopyBox | dcSupportLink | dcTerminate | dcCustomButton |
                       dcDetailsButton;
  struct TCase {
    const char* Name;
    uint32_t Offered, Style;
    bool Detailed;
    int Width, Height;
    std::map<int, TExpected> Shown;
    std::set<int> Hidden;
  } cases[] = {
      {"compact, nothing offered: OK centred", 0, 0, false, 380, 86,
       {{102, {{152, 54, 75, 25}, "&OK"}}, {101, {{48, 8, 322, 26}, "boom"}}},
       {103, 104, 105, 1000, 3000, 4000, 5000, kSupportLinkId}},
      {"detailed, everything offered", all, 0, true, 600, 400,
       {{103, {{5, 334, 75, 25}, "&Restart"}},
        {105, {{85, 334, 75, 25}, "&Help"}},
        {102, {{262, 334, 75, 25}, ""}},
        {104, {{520, 334, 75, 25}, "<< &Details"}},
        {3000, {{5, 368, 295, 15}, "&Send this error via Internet"}},
        {5000, {{300, 368, 295, 15}, "&Copy to Clipboard"}},
        {4000, {{23, 384, 437, 15}, "&Attach a Screenshot image"}},  // up to the link
        {kSupportLinkId, {{464, 384, 132, 13}, "Go to the Support Page"}},
        {1000, {{4, 52, 592, 276}, ""}},
        {101, {{48, 8, 544, 42}, ""}}},
       {}},
      {"narrow window: the custom button pushes OK right", dcTerminate | dcCustomButton, 0, false, 340, 86,
       {{105, {{85, 54, 75, 25}, ""}}, {102, {{165, 54, 75, 25}, ""}}},
       {104}},
      {"support link without copy box sits on the first band line", dcSupportLink | dcSendBox, 0, true, 600, 400,
       {{kSupportLinkId, {{464, 382, 132, 13}, ""}}},
       {5000, 4000}},
      {"screenshot box without the link reaches the right edge", dcSendBox | dcScreenshotBox, 0, true, 600, 400,
       {{4000, {{23, 384, 572, 15}, ""}}},
       {5000, kSupportLinkId}},
      {"forced detailed has no Details button", dcDetailsButton, dsForcedDetailed, true, 600, 400, {}, {104}},
      {"compact Details button", dcDetailsButton, 0, false, 380, 86, {{104, {{300, 54, 75, 25}, "&Details >>"}}}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(3, c.Offered);
    q.Style = c.Style;
    ExpectLayout(DetailedLayout(q, m, f, c.Detailed, c.Width, c.Height), c.Shown, c.Hidden);
  }
}

TEST(DetailedLayout, SavedRectangleOutsideTheWorkAreaIsCentred) {
  const TRect work{0, 0, 1000, 800};
  struct TCase {
    const char* Name;
    std::optional<int> Left, Top;
    TRect Placed;
  } cases[] = {
      {"inside", 10, 20, {10, 20, 745, 488}},
      {"never saved", std::nullopt, std::nullopt, {127, 156, 745, 488}},
      {"past the right edge", 300, 20, {127, 156, 745, 488}},
      {"above the top", 10, -1, {127, 156, 745, 488}},
      {"past the bottom", 10, 313, {127, 156, 745, 488}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogGeometry g;
    g.Left = c.Left;
    g.Top = c.Top;
    EXPECT_EQ(DetailedPlacement(g, 20, work), c.Placed);
  }
}

TEST(DetailedLayout, TabsSkipAbsentPages) {
  struct TCase {
    const char* Name;
    uint32_t Offered;
    std::vector<int> Pages;
    int DetailPage, FirstTab;
  } cases[] = {
      {"general and call stack only", 0, {pgGeneral, pgCallStack}, pgModules, 0},
      {"assembler without modules: third tab is Assembler", dcAssemblerPages, {pgGeneral, pgCallStack, pgAssembler, pgCpu},
       pgCpu, 3},
      {"modules without assembler", dcModulesPages, {pgGeneral, pgCallStack, pgModules, pgProcesses}, pgProcesses, 3},
      {"all six", dcModulesPages | dcAssemblerPages, {0, 1, 2, 3, 4, 5}, pgAssembler, 4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TabPages(c.Offered), c.Pages);
    for (size_t tab = 0; tab < c.Pages.size(); ++tab) EXPECT_EQ(PageOfTab(static_cast<int>(tab), c.Offered), c.Pages[tab]);
    EXPECT_EQ(PageOfTab(static_cast<int>(c.Pages.size()), c.Offered), -1);
    EXPECT_EQ(TabOfPage(c.DetailPage, c.Offered), c.FirstTab);
  }
}

TEST(SmallWindows, ReproduceRequestAndProgress) {
  const TFixedMetrics m;
  TReproduceRequest q;
  q.Label = "Please describe the steps to reproduce the error:";
  q.Button = "&OK";
  q.Text = "clicked";
  // 316 x 153 dialog units with 6 x 13 base units: 474 x 249; the one-line label grows it by 3.
  const TWindowLayout r = ReproduceLayout(q, m, TFrameMetrics{});
  EXPECT_EQ(r.ClientWidth, 474);
  EXPECT_EQ(r.ClientHeight, 252);
  ExpectLayout(r,
               {{100, {{10, 10, 447, 13}, q.Label}}, {101, {{10, 27, 447, 181}, "clicked"}},
                {2, {{382, 214, 75, 23}, "&OK"}}},
               {});
  // A label of three lines pushes the box and the button down.
  q.Label = std::string(200, 'a');
  const TWindowLayout tall = ReproduceLayout(q, m, TFrameMetrics{});
  EXPECT_EQ(tall.ClientHeight, 249 + 39 - 10);
  EXPECT_EQ(tall.Find(101)->Rect, (TRect{10, 53, 447, 155}));
  EXPECT_EQ(tall.Find(2)->Rect, (TRect{382, 214, 75, 23}));  // the box gave up what the label took

  const TWindowLayout p = ProgressLayout(m);
  EXPECT_EQ(p.ClientWidth, 261);
  EXPECT_EQ(p.ClientHeight, 55);
  ExpectLayout(p, {{kIconId, {{8, 8, 32, 32}, ""}}, {100, {{47, 10, 204, 16}, "..."}}, {101, {{47, 26, 204, 16}, ""}}},
               {});
}
