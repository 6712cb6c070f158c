#include "tools/tarvex-dialog/DialogLayout.h"

#include <algorithm>

namespace tarvex_dialog {

namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) return lines;
    start = end + 1;
  }
}

int MulDiv(int value, int numerator, int denominator) {
  return (value * numerator + denominator / 2) / denominator;
}

}  // namespace

const TControl* TWindowLayout::Find(int id) const {
  for (const TControl& c : Controls)
    if (c.Id == id) return &c;
  return nullptr;
}

TControl& TWindowLayout::Add(int id, TRect rect, std::string text, TFontRole font, bool visible) {
  Controls.push_back({id, rect, visible, std::move(text), font});
  return Controls.back();
}

std::string WithoutAccelerator(std::string_view caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&') {
      if (i + 1 < caption.size() && caption[i + 1] == '&') out += '&', ++i;
      continue;
    }
    out += caption[i];
  }
  return out;
}

std::string RequestText(const TDialogRequest& request, int index) {
  const std::string* text = request.FindText(index);
  return text ? *text : std::string();
}

TRect CentredIn(const TRect& workArea, int width, int height) {
  return {workArea.X + (workArea.W - width) / 2, workArea.Y + (workArea.H - height) / 2, width, height};
}

// ---- Classic dialog ---------------------------------------------------------------------------------

int ClassicButtonWidth(const IFontMetrics& m, const TFrameMetrics& f, std::string_view caption) {
  return std::max(m.TextWidth(frMessage, WithoutAccelerator(caption)) + 4 * f.Border + 16, 75);
}

TWindowLayout ClassicLayout(const TDialogRequest& q, const IFontMetrics& m, const TFrameMetrics& f) {
  constexpr int kLeft = 8, kRight = 405, kWidth = kRight - kLeft;
  TWindowLayout l;
  l.ClientWidth = kClassicClientWidth;
  l.Add(kBannerId, {0, 0, kClassicClientWidth, kClassicBannerHeight});
  l.Add(kIconId, {372, 9, 32, 32});
  const std::string heading = RequestText(q, 26);
  const int headingHeight = m.WrappedHeight(frBold, heading, 356);
  l.Add(102, {kLeft, (kClassicBannerHeight - headingHeight) / 2, 356, headingHeight}, heading, frBold);

  int y = 59;
  auto text = [&](int id, std::string t, TFontRole font) {
    const int h = m.WrappedHeight(font, t, kWidth);
    l.Add(id, {kLeft, y, kWidth, h}, std::move(t), font);
    y += h;
  };
  auto hidden = [&](int id) { l.Add(id, {kLeft, y, 0, 0}, {}, frMessage, false); };

  text(103, q.Message, frMessage);
  if (q.Offered & dcTerminate) {
    y += 10;
    text(104, RequestText(q, q.TerminateAction == 1 ? 28 : 27), frMessage);
  } else {
    hidden(104);
  }
  const bool sending = q.Offered & dcSendBox;
  if (sending) {
    y += 10;
    text(105, RequestText(q, 29), frBold);
    y += 2;
    text(106, RequestText(q, 30), frMessage);
  } else {
    hidden(105);
    hidden(106);
  }
  if (q.Offered & dcDetailsButton) {
    y += 12;
    const std::string before = RequestText(q, 31) + " ", link = RequestText(q, 32);
    const int h = m.LineHeight(frMessage);
    const int w = m.TextWidth(frMessage, before);
    l.Add(107, {kLeft, y, w, h}, before);
    l.Add(kClassicLinkId, {kLeft + w, y, m.TextWidth(frUnderlined, link), h}, link, frUnderlined);
    y += h;
  } else {
    hidden(107);
    hidden(kClassicLinkId);
  }
  if (q.Offered & dcReproduceBox) {
    y += 12;
    text(108, RequestText(q, 33), frMessage);
    y += 2;
    const int h = 4 * m.LineHeight(frFixed) + 8 * f.Border;
    l.Add(109, {kLeft, y, kWidth, h}, q.ReproduceText, frFixed);
    y += h - 4;
  } else {
    hidden(108);
    hidden(109);
  }
  if (q.Offered & dcEmailBox) {
    y += 12;
    const std::string label = RequestText(q, 34) + " ";
    const int lineHeight = m.LineHeight(frMessage);
    const int boxHeight = lineHeight + 4 * f.Border;
    const int w = m.TextWidth(frMessage, label);
    l.Add(110, {kLeft, y + (boxHeight - lineHeight) / 2, w, lineHeight}, label);
    l.Add(111, {kLeft + w, y, kRight - kLeft - w, boxHeight}, q.Email);
    y += boxHeight;
  } else {
    hidden(110);
    hidden(111);
  }

  y += 12;
  const int buttonHeight = m.LineHeight(frMessage) + 4 * f.Border + 6;
  const std::string custom = RequestText(q, 21);
  l.Add(1002, {kLeft, y, ClassicButtonWidth(m, f, custom), buttonHeight}, custom, frMessage,
        q.Offered & dcCustomButton);
  const std::string right = RequestText(q, (q.Checked & dcSendBox) && sending ? 36 : 17);
  const int rightWidth = ClassicButtonWidth(m, f, right);
  l.Add(1001, {kRight - rightWidth, y, rightWidth, buttonHeight}, right);
  const std::string send = RequestText(q, 35);
  const int sendWidth = ClassicButtonWidth(m, f, send);
  l.Add(1000, {kRight - 8 - rightWidth - sendWidth, y, sendWidth, buttonHeight}, send, frMessage, sending);
  l.ClientHeight = y + buttonHeight + 10;
  return l;
}

// ---- Detailed dialog -----------------------------------------------------------------------------------

int DetailedBandHeight(uint32_t offered) {
  const bool send = offered & dcSendBox, shot = send && (offered & dcScreenshotBox), copy = offered & dcCopyBox,
             link = offered & dcSupportLink;
  if ((send && shot) || (copy && link)) return 34;
  return send || shot || copy || link ? 20 : 0;
}

TCompactSize DetailedCompactSize(const TDialogRequest& q, const IFontMetrics& m, const TFrameMetrics& f) {
  std::vector<std::string_view> lines = Lines(q.Message);
  const std::string extra = RequestText(q, 22) + "    " + RequestText(q, 24);
  lines.push_back(extra);
  const int cap = 640 - (2 * f.FrameWidth + 58);
  int widest = 0;
  for (std::string_view line : lines) widest = std::max(widest, m.TextWidth(frMessage, line));
  const int textWidth = std::min(widest + 16, cap);
  int textHeight = 0;
  for (std::string_view line : lines)
    textHeight += m.TextWidth(frMessage, line) > cap ? m.WrappedHeight(frMessage, line, cap) : m.LineHeight(frMessage);
  TCompactSize s;
  s.ClientWidth = std::max(textWidth + 58, 340 - 2 * f.FrameWidth);
  // The band of check boxes lies below the button row, so it adds to the height.
  s.ClientHeight = std::max(textHeight - 39, 0) + 86 + DetailedBandHeight(q.Offered);
  s.Message = {48, 8, textWidth, textHeight};
  return s;
}

TWindowLayout DetailedLayout(const TDialogRequest& q, const IFontMetrics& m, const TFrameMetrics& f, bool detailed,
                             int cw, int ch) {
  TWindowLayout l;
  l.ClientWidth = cw;
  l.ClientHeight = ch;
  const int band = DetailedBandHeight(q.Offered);
  const int y = ch - band - 32, bh = 25;
  int bw = 75;
  for (int index : {17, 18, 19, 21})
    bw = std::max(bw, m.TextWidth(frMessage, WithoutAccelerator(RequestText(q, index)) + "O"));

  l.Add(kIconId, {8, 8, 32, 32});
  if (detailed) {
    l.Add(101, {48, 8, cw - 56, 42}, RequestText(q, 4));
  } else {
    l.Add(101, DetailedCompactSize(q, m, f).Message, q.Message);
  }
  l.Add(1000, {4, 52, cw - 8, ch - band - 38 - 52}, {}, frMessage, detailed);

  const bool terminate = q.Offered & dcTerminate, custom = q.Offered & dcCustomButton;
  const TRect terminateRect{5, y, bw, bh};
  const TRect customRect{terminate ? terminateRect.Right() + 5 : 5, y, bw, bh};
  TRect ok{(cw - bw) / 2, y, bw, bh};
  if (custom && customRect.Right() + 5 > ok.X) ok.X = customRect.Right() + 5;
  l.Add(102, ok, RequestText(q, 17));
  l.Add(103, terminateRect, RequestText(q, q.TerminateAction == 1 ? 18 : 19), frMessage, terminate);
  l.Add(105, customRect, RequestText(q, 21), frMessage, custom);
  const std::string details = detailed ? "<< " + RequestText(q, 20) : RequestText(q, 20) + " >>";
  l.Add(104, {cw - 5 - bw, y, bw, bh}, details, frMessage,
        (q.Offered & dcDetailsButton) && !(q.Style & dsForcedDetailed));

  const int boxHeight = m.LineHeight(frMessage) + 2;
  const bool send = q.Offered & dcSendBox, copy = q.Offered & dcCopyBox;
  l.Add(3000, {5, y + 34, cw / 2 - 5, boxHeight}, RequestText(q, 22), frMessage, send);
  l.Add(5000, {cw / 2, y + 34, cw - cw / 2 - 5, boxHeight}, RequestText(q, 24), frMessage, copy);
  const std::string link = RequestText(q, 25);
  const int linkWidth = m.TextWidth(frBoldUnderlined, link);
  const bool linkShown = q.Offered & dcSupportLink;
  const TRect linkRect{cw - 4 - linkWidth, y + (copy ? 50 : 34), linkWidth, m.LineHeight(frBoldUnderlined)};
  // The screenshot box reaches to the link when they share the line, else to the right edge.
  const int shotRight = linkShown && copy ? linkRect.X - 4 : cw - 5;
  l.Add(4000, {23, y + 50, std::max(shotRight - 23, 0), boxHeight}, RequestText(q, 23), frMessage,
        send && (q.Offered & dcScreenshotBox));
  l.Add(kSupportLinkId, linkRect, link, frBoldUnderlined, linkShown);
  return l;
}

TRect DetailedPlacement(const TDialogGeometry& saved, int band, const TRect& workArea) {
  const int w = saved.Width, h = saved.Height + band;
  if (saved.Left && saved.Top) {
    const TRect r{*saved.Left, *saved.Top, w, h};
    if (workArea.Contains(r)) return r;
  }
  return CentredIn(workArea, w, h);
}

std::vector<int> TabPages(uint32_t offered) {
  std::vector<int> pages{pgGeneral, pgCallStack};
  if (offered & dcModulesPages) pages.insert(pages.end(), {pgModules, pgProcesses});
  if (offered & dcAssemblerPages) pages.insert(pages.end(), {pgAssembler, pgCpu});
  return pages;
}

int PageOfTab(int tab, uint32_t offered) {
  if (tab < 0 || tab >= static_cast<int>(TabPages(offered).size())) return -1;
  int page = tab;
  if ((page == 2 || page == 3) && !(offered & dcModulesPages)) page += 2;
  if ((page == 4 || page == 5) && !(offered & dcAssemblerPages)) page += 2;
  return page;
}

int TabOfPage(int page, uint32_t offered) {
  const std::vector<int> pages = TabPages(offered);
  const auto it = std::find(pages.begin(), pages.end(), page);
  return it == pages.end() ? 0 : static_cast<int>(it - pages.begin());
}

TPageLayout PageLayout(int pageWidth, int pageHeight, const IFontMetrics& m) {
  return {{3, 2, pageWidth - 6, m.LineHeight(frMessage)}, {3, 20, pageWidth - 8, pageHeight - 24}};
}

// ---- Reproduce request and progress window ---------------------------------------------------------

TRect DialogUnits(const IFontMetrics& m, int x, int y, int w, int h) {
  const int bx = m.AverageCharWidth(frMessage), by = m.LineHeight(frMessage);
  return {MulDiv(x, bx, 4), MulDiv(y, by, 8), MulDiv(w, bx, 4), MulDiv(h, by, 8)};
}

TWindowLayout ReproduceLayout(const TReproduceRequest& q, const IFontMetrics& m, const TFrameMetrics& f) {
  const TRect base = DialogUnits(m, 0, 0, 316, 153);
  TWindowLayout l;
  l.ClientWidth = base.W;
  const int labelHeight = m.WrappedHeight(frMessage, q.Label, base.W - 27);
  l.ClientHeight = base.H + labelHeight - 10;
  // The box's height counts the whole window before it grew, frame and caption included.
  const int windowHeight = base.H + 2 * f.FrameHeight + f.CaptionHeight;
  const TRect box{10, labelHeight + 14, base.W - 27, windowHeight - labelHeight - 83};
  l.Add(100, {10, 10, base.W - 27, labelHeight}, q.Label);
  l.Add(101, box, q.Text, frFixed);
  // Right-aligned with the box above it, so that the button stays inside the window.
  l.Add(2, {box.Right() - 75, labelHeight + box.H + 20, 75, 23}, q.Button);
  return l;
}

TWindowLayout ProgressLayout(const IFontMetrics& m) {
  const TRect base = DialogUnits(m, 0, 0, 174, 34);
  TWindowLayout l;
  l.ClientWidth = base.W;
  l.ClientHeight = base.H;
  l.Add(kIconId, {8, 8, 32, 32});
  l.Add(100, DialogUnits(m, 31, 6, 136, 10), "...");
  l.Add(101, DialogUnits(m, 31, 16, 136, 10));
  return l;
}

}  // namespace tarvex_dialog
