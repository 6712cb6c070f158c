#include <gtest/gtest.h>

#include "reporting/ui/EDialogProtocol.h"

using namespace tarvex_dialog;

namespace {

TMessage Unframe(const std::string& frame) {
  const uint32_t length = FramePayloadLength(frame.data());
  EXPECT_EQ(frame.size(), kFrameHeaderBytes + length);
  return DecodePayload(std::string_view(frame).substr(kFrameHeaderBytes));
}

TDialogRequest FullRequest() {
  TDialogRequest q;
  q.Kind = 3;
  q.Style = dsTopMost | dsBeep;
  q.Offered = dcSendBox | dcCopyBox | dcModulesPages;
  q.Checked = dcSendBox;
  q.TerminateAction = 2;
  q.AutoCloseSeconds = 30;
  q.DetailPage = 4;
  q.Message = "Access violation at \xC3\xA9t\xC3\xA9";
  q.ReproduceText = "step 1\r\nstep 2";
  q.Email = "a@b.c";
  q.SupportAddress = "http://127.0.0.1/support";
  q.Texts = {{3, "Error occurred"}, {157, "Invalid email."}};
  q.Geometry.Width = 900;
  q.Geometry.Left = -5;
  q.Geometry.Top = 7;
  q.Geometry.WindowsState = 3;
  q.StackColumns = {1, 2, 3, 4, 5, 6};
  q.ModuleColumns = {7};
  q.GeneralRich = std::string("{\\rtf1 x}\0y", 11);  // a zero byte survives
  q.StackRows = {{{"", "", ""}, "Exception Thread: ID=5", true, 3, riNone, -1},
                 {{"00000000004011A0", "prog", "main.cpp", "", "main", "12[3]"}, "", false, 0, riSource, 0}};
  q.ProcessRows = {{{"1", "init"}, "", false, 0, riApplication, -1}};
  return q;
}

}  // namespace

TEST(DialogProtocol, RequestSurvivesTheRoundTrip) {
  const TDialogRequest q = FullRequest();
  const TMessage m = Unframe(q.Encode());
  ASSERT_EQ(m.Kind, mkDialogRequest);
  const TDialogRequest d = TDialogRequest::Decode(m.Reader());
  EXPECT_EQ(d.Kind, 3);
  EXPECT_EQ(d.Style, q.Style);
  EXPECT_EQ(d.Offered, q.Offered);
  EXPECT_EQ(d.Checked, q.Checked);
  EXPECT_EQ(d.TerminateAction, 2);
  EXPECT_EQ(d.AutoCloseSeconds, 30);
  EXPECT_EQ(d.DetailPage, 4);
  EXPECT_EQ(d.Message, q.Message);
  EXPECT_EQ(d.ReproduceText, q.ReproduceText);
  EXPECT_EQ(d.Email, q.Email);
  EXPECT_EQ(d.SupportAddress, q.SupportAddress);
  ASSERT_NE(d.FindText(157), nullptr);
  EXPECT_EQ(*d.FindText(157), "Invalid email.");
  EXPECT_EQ(d.FindText(4), nullptr);
  EXPECT_EQ(d.Geometry.Width, 900);
  EXPECT_EQ(d.Geometry.Height, 468);
  EXPECT_EQ(d.Geometry.Left, -5);
  EXPECT_EQ(d.Geometry.Top, 7);
  EXPECT_EQ(d.Geometry.WindowsState, 3);
  EXPECT_EQ(d.StackColumns, q.StackColumns);
  EXPECT_EQ(d.ModuleColumns, q.ModuleColumns);
  EXPECT_TRUE(d.ProcessColumns.empty());
  EXPECT_EQ(d.GeneralRich, q.GeneralRich);
  ASSERT_EQ(d.StackRows.size(), 2u);
  EXPECT_TRUE(d.StackRows[0].Group);
  EXPECT_EQ(d.StackRows[0].ColourClass, 3);
  EXPECT_EQ(d.StackRows[0].Header, "Exception Thread: ID=5");
  EXPECT_EQ(d.StackRows[0].JumpId, -1);
  EXPECT_EQ(d.StackRows[1].Cells, q.StackRows[1].Cells);
  EXPECT_EQ(d.StackRows[1].Image, riSource);
  EXPECT_EQ(d.StackRows[1].JumpId, 0);
  EXPECT_TRUE(d.ModuleRows.empty());
  ASSERT_EQ(d.ProcessRows.size(), 1u);
  EXPECT_EQ(d.ProcessRows[0].Cells, (std::vector<std::string>{"1", "init"}));
}

TEST(DialogProtocol, ResultAndSmallMessagesSurviveTheRoundTrip) {
  TDialogResult r;
  r.How = chDetailsLink;
  r.Checked = dcTerminate | dcCopyBox;
  r.Email = " x@y.z ";
  r.ReproduceText = "typed";
  r.GeometryRecorded = true;
  r.Geometry.WindowsState = 6;
  r.ProcessColumns = {48, 0, -1};
  const TDialogResult d = TDialogResult::Decode(Unframe(r.Encode()).Reader());
  EXPECT_EQ(d.How, chDetailsLink);
  EXPECT_EQ(d.Checked, r.Checked);
  EXPECT_EQ(d.Email, r.Email);
  EXPECT_EQ(d.ReproduceText, "typed");
  EXPECT_TRUE(d.GeometryRecorded);
  EXPECT_FALSE(d.Geometry.Left.has_value());
  EXPECT_EQ(d.Geometry.WindowsState, 6);
  EXPECT_EQ(d.ProcessColumns, r.ProcessColumns);

  EXPECT_EQ(Unframe(EncodeReady()).Reader().Int(smVersion), kProtocolVersion);
  EXPECT_TRUE(Unframe(EncodeCustomAnswer(true)).Reader().Bool(smClose));
  EXPECT_FALSE(Unframe(EncodeCustomAnswer(false)).Reader().Bool(smClose, true));
  EXPECT_EQ(Unframe(EncodeJumpToSource(17)).Reader().Int(smJumpId), 17);
  EXPECT_EQ(Unframe(EncodeProgressPosition(42)).Reader().Int(smPercent), 42);
  EXPECT_EQ(Unframe(EncodeClipboard("report")).Reader().Text(smText), "report");
  EXPECT_EQ(Unframe(EncodeShown()).Kind, mkShown);

  TReproduceRequest rp;
  rp.Caption = "Request";
  rp.Text = "before";
  rp.AutoCloseSeconds = 5;
  const TReproduceRequest drp = TReproduceRequest::Decode(Unframe(rp.Encode()).Reader());
  EXPECT_EQ(drp.Caption, "Request");
  EXPECT_EQ(drp.Text, "before");
  EXPECT_EQ(drp.AutoCloseSeconds, 5);
  TProgressOpen po;
  po.Modal = false;
  po.Caption = "Send.";
  const TProgressOpen dpo = TProgressOpen::Decode(Unframe(po.Encode()).Reader());
  EXPECT_FALSE(dpo.Modal);
  EXPECT_EQ(dpo.Caption, "Send.");
}

TEST(DialogProtocol, UnknownFieldsAreSkippedAndOutOfRangeValuesTakeTheDefault) {
  TFieldWriter w;
  w.Text(999, "from a later helper");
  w.Int(1, 99);   // How: out of range
  w.Int(2, 0x4);  // Checked
  const TDialogResult d = TDialogResult::Decode(TFieldReader(w.Bytes()));
  EXPECT_EQ(d.How, chCloseButton);
  EXPECT_EQ(d.Checked, 0x4u);
}

TEST(DialogProtocol, DamagedInputIsRefused) {
  auto field = [](uint16_t id, uint8_t type, uint32_t length, std::string value) {
    std::string f;
    f += static_cast<char>(id & 0xFF);
    f += static_cast<char>(id >> 8);
    f += static_cast<char>(type);
    for (int i = 0; i < 4; ++i) f += static_cast<char>((length >> (8 * i)) & 0xFF);
    return f + value;
  };
  const std::string fourItems("\x04\x00\x00\x00", 4);
  struct TCase {
    const char* Name;
    std::string Fields;
  } cases[] = {
      {"field header cut short", std::string("\x01\x00\x01", 3)},
      {"value past the end", field(1, ftText, 10, "abc")},
      {"integer of 4 bytes", field(1, ftInt, 4, "abcd")},
      {"integer list of odd size", field(1, ftInts, 3, "abc")},
      {"unknown type", field(1, 9, 0, "")},
      {"list items missing", field(1, ftTexts, 4, fourItems)},
      {"list count past the cap", field(1, ftTexts, 4, std::string("\x00\x00\x20\x00", 4))},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_THROW(
        {
          TFieldReader r(c.Fields);
          (void)r.Texts(1);
        },
        EDialogProtocolError);
  }
  // A known id with the wrong type.
  TFieldWriter w;
  w.Text(1, "not a number");
  EXPECT_THROW(TDialogResult::Decode(TFieldReader(w.Bytes())), EDialogProtocolError);
  // Nesting deeper than the cap.
  TFieldWriter inner;
  inner.Int(1, 1);
  for (int depth = 0; depth <= kMaxBlockDepth; ++depth) {
    TFieldWriter outer;
    outer.Block(1, inner);
    inner = outer;
  }
  TFieldReader deep(inner.Bytes());
  EXPECT_THROW(
      {
        TFieldReader r = deep;
        for (int depth = 0; depth <= kMaxBlockDepth + 1; ++depth) r = r.Block(1);
      },
      EDialogProtocolError);
}

TEST(DialogProtocol, FrameLengthsAreCapped) {
  const char tooLong[4] = {0x01, 0x00, 0x00, 0x10};  // 256 MiB
  EXPECT_THROW(FramePayloadLength(tooLong), EDialogProtocolError);
  const char tooShort[4] = {0x01, 0x00, 0x00, 0x00};  // no room for the kind
  EXPECT_THROW(FramePayloadLength(tooShort), EDialogProtocolError);
  // A text past the cap is cut, so the frame stays within it.
  TFieldWriter w;
  w.Text(1, std::string(kMaxTextBytes + 10, 'x'));
  EXPECT_EQ(TFieldReader(w.Bytes()).Text(1).size(), kMaxTextBytes);
}
