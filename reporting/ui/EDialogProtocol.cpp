// Encoding and decoding of the dialog helper's messages.
#include "reporting/ui/EDialogProtocol.h"

#include <algorithm>

namespace tarvex_dialog {

namespace {

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLe(std::string_view in, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
  return value;
}

[[noreturn]] void Damaged(const char* what) { throw EDialogProtocolError(std::string("Damaged dialog message: ") + what); }

// Items of a list value: each a 32-bit length and its bytes.
std::vector<std::string_view> SplitItems(std::string_view value) {
  std::vector<std::string_view> items;
  if (value.size() < 4) Damaged("list");
  const uint64_t count = GetLe(value, 0, 4);
  if (count > kMaxListItems) Damaged("list too long");
  size_t at = 4;
  for (uint64_t i = 0; i < count; ++i) {
    if (value.size() - at < 4) Damaged("list item");
    const uint64_t length = GetLe(value, at, 4);
    at += 4;
    if (length > value.size() - at) Damaged("list item");
    items.push_back(value.substr(at, length));
    at += length;
  }
  if (at != value.size()) Damaged("list");
  return items;
}

std::string JoinItems(const std::vector<std::string_view>& items) {
  if (items.size() > kMaxListItems) throw EDialogProtocolError("Dialog message list too long.");
  std::string out;
  PutLe(out, items.size(), 4);
  for (std::string_view item : items) {
    PutLe(out, item.size(), 4);
    out.append(item);
  }
  return out;
}

uint32_t ClampToU32(int64_t value) { return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX)); }
int32_t ClampToI32(int64_t value) { return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX)); }

// ---- Field ids ------------------------------------------------------------------------------------

enum : uint16_t {
  // TDialogRequest
  rqKind = 1, rqStyle, rqOffered, rqChecked, rqTerminateAction, rqAutoClose, rqDetailPage, rqMessage,
  rqReproduceText, rqEmail, rqSupportAddress, rqTexts, rqGeometry, rqStackColumns, rqModuleColumns,
  rqProcessColumns, rqGeneralRich, rqAssemblerRich, rqCpuRich, rqStackRows, rqModuleRows, rqProcessRows,
};
enum : uint16_t { txIndex = 1, txText };
enum : uint16_t { geWidth = 1, geHeight, geLeft, geTop, geState };
enum : uint16_t { rwCells = 1, rwHeader, rwGroup, rwColour, rwImage, rwJumpId };
enum : uint16_t {
  rsHow = 1, rsChecked, rsReproduceText, rsEmail, rsGeometryRecorded, rsGeometry, rsStackColumns, rsModuleColumns,
  rsProcessColumns,
};
enum : uint16_t { rpStyle = 1, rpAutoClose, rpCaption, rpLabel, rpButton, rpText };
enum : uint16_t { poStyle = 1, poModal, poCaption };
enum : uint16_t { mbCaption = 1, mbText, mbBeep, mbInformation };

TFieldWriter GeometryFields(const TDialogGeometry& g) {
  TFieldWriter w;
  w.Int(geWidth, g.Width);
  w.Int(geHeight, g.Height);
  if (g.Left) w.Int(geLeft, *g.Left);
  if (g.Top) w.Int(geTop, *g.Top);
  w.Int(geState, g.WindowsState);
  return w;
}

TDialogGeometry GeometryOf(const TFieldReader& r) {
  TDialogGeometry g;
  g.Width = ClampToI32(r.Int(geWidth, g.Width));
  g.Height = ClampToI32(r.Int(geHeight, g.Height));
  if (r.Has(geLeft)) g.Left = ClampToI32(r.Int(geLeft));
  if (r.Has(geTop)) g.Top = ClampToI32(r.Int(geTop));
  g.WindowsState = ClampToI32(r.Int(geState, g.WindowsState));
  return g;
}

std::vector<TFieldWriter> RowFields(const std::vector<TListRow>& rows) {
  std::vector<TFieldWriter> blocks;
  blocks.reserve(rows.size());
  for (const TListRow& row : rows) {
    TFieldWriter w;
    w.Texts(rwCells, row.Cells);
    if (!row.Header.empty()) w.Text(rwHeader, row.Header);
    if (row.Group) w.Bool(rwGroup, true);
    if (row.ColourClass) w.Int(rwColour, row.ColourClass);
    w.Int(rwImage, row.Image);
    if (row.JumpId >= 0) w.Int(rwJumpId, row.JumpId);
    blocks.push_back(std::move(w));
  }
  return blocks;
}

std::vector<TListRow> RowsOf(const std::vector<TFieldReader>& blocks) {
  std::vector<TListRow> rows;
  rows.reserve(blocks.size());
  for (const TFieldReader& r : blocks) {
    TListRow row;
    row.Cells = r.Texts(rwCells);
    row.Header = r.Text(rwHeader);
    row.Group = r.Bool(rwGroup);
    row.ColourClass = ClampToI32(r.IntIn(rwColour, 0, 3, 0));
    row.Image = ClampToI32(r.IntIn(rwImage, riNone, riSource, riNone));
    row.JumpId = ClampToI32(r.IntIn(rwJumpId, -1, INT32_MAX, -1));
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

// ---- Writer ---------------------------------------------------------------------------------------

void TFieldWriter::Header(uint16_t id, TFieldType type, size_t length) {
  if (length > kMaxMessageBytes) throw EDialogProtocolError("Dialog message field too long.");
  PutLe(bytes_, id, 2);
  PutLe(bytes_, type, 1);
  PutLe(bytes_, length, 4);
}

void TFieldWriter::Int(uint16_t id, int64_t value) {
  Header(id, ftInt, 8);
  PutLe(bytes_, static_cast<uint64_t>(value), 8);
}

void TFieldWriter::Text(uint16_t id, std::string_view value) {
  // A text past the cap is cut: the dialog shows less rather than nothing.
  if (value.size() > kMaxTextBytes) value = value.substr(0, kMaxTextBytes);
  Header(id, ftText, value.size());
  bytes_.append(value);
}

void TFieldWriter::Texts(uint16_t id, const std::vector<std::string>& values) {
  std::vector<std::string_view> items;
  items.reserve(values.size());
  for (const std::string& v : values) items.push_back(std::string_view(v).substr(0, kMaxTextBytes));
  const std::string joined = JoinItems(items);
  Header(id, ftTexts, joined.size());
  bytes_ += joined;
}

void TFieldWriter::Ints(uint16_t id, const std::vector<int32_t>& values) {
  if (values.size() > kMaxListItems) throw EDialogProtocolError("Dialog message list too long.");
  Header(id, ftInts, values.size() * 4);
  for (int32_t v : values) PutLe(bytes_, static_cast<uint32_t>(v), 4);
}

void TFieldWriter::Block(uint16_t id, const TFieldWriter& block) {
  Header(id, ftBlock, block.bytes_.size());
  bytes_ += block.bytes_;
}

void TFieldWriter::Blocks(uint16_t id, const std::vector<TFieldWriter>& blocks) {
  std::vector<std::string_view> items;
  items.reserve(blocks.size());
  for (const TFieldWriter& b : blocks) items.push_back(b.bytes_);
  const std::string joined = JoinItems(items);
  Header(id, ftBlocks, joined.size());
  bytes_ += joined;
}

// ---- Reader ---------------------------------------------------------------------------------------

TFieldReader::TFieldReader(std::string_view bytes, int depth) : depth_(depth) {
  if (depth > kMaxBlockDepth) Damaged("nested too deep");
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 7) Damaged("field header");
    const auto id = static_cast<uint16_t>(GetLe(bytes, at, 2));
    const auto type = static_cast<TFieldType>(GetLe(bytes, at + 2, 1));
    const uint64_t length = GetLe(bytes, at + 3, 4);
    at += 7;
    if (length > bytes.size() - at) Damaged("field length");
    if (type == ftInt && length != 8) Damaged("integer field");
    if (type == ftInts && length % 4 != 0) Damaged("integer list");
    if (type < ftInt || type > ftBlocks) Damaged("field type");
    fields_.push_back({id, type, bytes.substr(at, length)});
    at += length;
  }
}

const TFieldReader::TField* TFieldReader::Find(uint16_t id, TFieldType type) const {
  for (const TField& f : fields_)
    if (f.Id == id) {
      if (f.Type != type) Damaged("field of the wrong type");
      return &f;
    }
  return nullptr;
}

bool TFieldReader::Has(uint16_t id) const {
  return std::any_of(fields_.begin(), fields_.end(), [id](const TField& f) { return f.Id == id; });
}

int64_t TFieldReader::Int(uint16_t id, int64_t fallback) const {
  const TField* f = Find(id, ftInt);
  return f ? static_cast<int64_t>(GetLe(f->Value, 0, 8)) : fallback;
}

int64_t TFieldReader::IntIn(uint16_t id, int64_t low, int64_t high, int64_t fallback) const {
  const int64_t v = Int(id, fallback);
  return v < low || v > high ? fallback : v;
}

std::string TFieldReader::Text(uint16_t id) const {
  const TField* f = Find(id, ftText);
  if (!f) return {};
  if (f->Value.size() > kMaxTextBytes) Damaged("text too long");
  return std::string(f->Value);
}

std::vector<std::string> TFieldReader::Texts(uint16_t id) const {
  const TField* f = Find(id, ftTexts);
  std::vector<std::string> out;
  if (!f) return out;
  for (std::string_view item : SplitItems(f->Value)) {
    if (item.size() > kMaxTextBytes) Damaged("text too long");
    out.emplace_back(item);
  }
  return out;
}

std::vector<int32_t> TFieldReader::Ints(uint16_t id) const {
  const TField* f = Find(id, ftInts);
  std::vector<int32_t> out;
  if (!f) return out;
  if (f->Value.size() / 4 > kMaxListItems) Damaged("list too long");
  for (size_t at = 0; at < f->Value.size(); at += 4) out.push_back(static_cast<int32_t>(GetLe(f->Value, at, 4)));
  return out;
}

TFieldReader TFieldReader::Block(uint16_t id) const {
  const TField* f = Find(id, ftBlock);
  return TFieldReader(f ? f->Value : std::string_view(), depth_ + 1);
}

std::vector<TFieldReader> TFieldReader::Blocks(uint16_t id) const {
  const TField* f = Find(id, ftBlocks);
  std::vector<TFieldReader> out;
  if (!f) return out;
  for (std::string_view item : SplitItems(f->Value)) out.emplace_back(item, depth_ + 1);
  return out;
}

// ---- Frames ---------------------------------------------------------------------------------------

std::string EncodeFrame(TMessageKind kind, const TFieldWriter& fields) {
  const size_t payload = 2 + fields.Bytes().size();
  if (payload > kMaxMessageBytes) throw EDialogProtocolError("Dialog message too long.");
  std::string out;
  out.reserve(kFrameHeaderBytes + payload);
  PutLe(out, payload, 4);
  PutLe(out, kind, 2);
  out += fields.Bytes();
  return out;
}

uint32_t FramePayloadLength(const char header[kFrameHeaderBytes]) {
  const auto length = static_cast<uint32_t>(GetLe(std::string_view(header, kFrameHeaderBytes), 0, 4));
  if (length < 2 || length > kMaxMessageBytes) Damaged("frame length");
  return length;
}

TMessage DecodePayload(std::string_view payload) {
  if (payload.size() < 2) Damaged("frame");
  TMessage m;
  m.Kind = static_cast<TMessageKind>(GetLe(payload, 0, 2));
  m.Fields.assign(payload.substr(2));
  TFieldReader check(m.Fields);  // the field structure is sound before anyone reads it
  (void)check;
  return m;
}

// ---- Dialog request and result ------------------------------------------------------------------

std::string TDialogRequest::Encode() const {
  TFieldWriter w;
  w.Int(rqKind, Kind);
  w.Int(rqStyle, Style);
  w.Int(rqOffered, Offered);
  w.Int(rqChecked, Checked);
  w.Int(rqTerminateAction, TerminateAction);
  w.Int(rqAutoClose, AutoCloseSeconds);
  w.Int(rqDetailPage, DetailPage);
  w.Text(rqMessage, Message);
  w.Text(rqReproduceText, ReproduceText);
  w.Text(rqEmail, Email);
  w.Text(rqSupportAddress, SupportAddress);
  std::vector<TFieldWriter> texts;
  for (const TIndexedText& t : Texts) {
    TFieldWriter tw;
    tw.Int(txIndex, t.Index);
    tw.Text(txText, t.Text);
    texts.push_back(std::move(tw));
  }
  w.Blocks(rqTexts, texts);
  w.Block(rqGeometry, GeometryFields(Geometry));
  w.Ints(rqStackColumns, StackColumns);
  w.Ints(rqModuleColumns, ModuleColumns);
  w.Ints(rqProcessColumns, ProcessColumns);
  w.Text(rqGeneralRich, GeneralRich);
  w.Text(rqAssemblerRich, AssemblerRich);
  w.Text(rqCpuRich, CpuRich);
  w.Blocks(rqStackRows, RowFields(StackRows));
  w.Blocks(rqModuleRows, RowFields(ModuleRows));
  w.Blocks(rqProcessRows, RowFields(ProcessRows));
  return EncodeFrame(mkDialogRequest, w);
}

TDialogRequest TDialogRequest::Decode(const TFieldReader& r) {
  TDialogRequest q;
  q.Kind = ClampToI32(r.IntIn(rqKind, 2, 3, 2));
  q.Style = ClampToU32(r.Int(rqStyle));
  q.Offered = ClampToU32(r.Int(rqOffered));
  q.Checked = ClampToU32(r.Int(rqChecked));
  q.TerminateAction = ClampToI32(r.IntIn(rqTerminateAction, 0, 2, 0));
  q.AutoCloseSeconds = ClampToI32(r.IntIn(rqAutoClose, 0, INT32_MAX, 0));
  q.DetailPage = ClampToI32(r.IntIn(rqDetailPage, 0, 5, 0));
  q.Message = r.Text(rqMessage);
  q.ReproduceText = r.Text(rqReproduceText);
  q.Email = r.Text(rqEmail);
  q.SupportAddress = r.Text(rqSupportAddress);
  for (const TFieldReader& t : r.Blocks(rqTexts)) q.Texts.push_back({ClampToI32(t.Int(txIndex)), t.Text(txText)});
  if (r.Has(rqGeometry)) q.Geometry = GeometryOf(r.Block(rqGeometry));
  q.StackColumns = r.Ints(rqStackColumns);
  q.ModuleColumns = r.Ints(rqModuleColumns);
  q.ProcessColumns = r.Ints(rqProcessColumns);
  q.GeneralRich = r.Text(rqGeneralRich);
  q.AssemblerRich = r.Text(rqAssemblerRich);
  q.CpuRich = r.Text(rqCpuRich);
  q.StackRows = RowsOf(r.Blocks(rqStackRows));
  q.ModuleRows = RowsOf(r.Blocks(rqModuleRows));
  q.ProcessRows = RowsOf(r.Blocks(rqProcessRows));
  return q;
}

const std::string* TDialogRequest::FindText(int32_t index) const {
  for (const TIndexedText& t : Texts)
    if (t.Index == index) return &t.Text;
  return nullptr;
}

std::string TDialogResult::Encode() const {
  TFieldWriter w;
  w.Int(rsHow, How);
  w.Int(rsChecked, Checked);
  w.Text(rsReproduceText, ReproduceText);
  w.Text(rsEmail, Email);
  w.Bool(rsGeometryRecorded, GeometryRecorded);
  w.Block(rsGeometry, GeometryFields(Geometry));
  w.Ints(rsStackColumns, StackColumns);
  w.Ints(rsModuleColumns, ModuleColumns);
  w.Ints(rsProcessColumns, ProcessColumns);
  return EncodeFrame(mkDialogResult, w);
}

TDialogResult TDialogResult::Decode(const TFieldReader& r) {
  TDialogResult s;
  s.How = ClampToI32(r.IntIn(rsHow, chOk, chDetailsLink, chCloseButton));
  s.Checked = ClampToU32(r.Int(rsChecked));
  s.ReproduceText = r.Text(rsReproduceText);
  s.Email = r.Text(rsEmail);
  s.GeometryRecorded = r.Bool(rsGeometryRecorded);
  if (r.Has(rsGeometry)) s.Geometry = GeometryOf(r.Block(rsGeometry));
  s.StackColumns = r.Ints(rsStackColumns);
  s.ModuleColumns = r.Ints(rsModuleColumns);
  s.ProcessColumns = r.Ints(rsProcessColumns);
  return s;
}

// ---- Other requests -----------------------------------------------------------------------------------

std::string TReproduceRequest::Encode() const {
  TFieldWriter w;
  w.Int(rpStyle, Style);
  w.Int(rpAutoClose, AutoCloseSeconds);
  w.Text(rpCaption, Caption);
  w.Text(rpLabel, Label);
  w.Text(rpButton, Button);
  w.Text(rpText, Text);
  return EncodeFrame(mkReproduceRequest, w);
}

TReproduceRequest TReproduceRequest::Decode(const TFieldReader& r) {
  TReproduceRequest q;
  q.Style = ClampToU32(r.Int(rpStyle));
  q.AutoCloseSeconds = ClampToI32(r.IntIn(rpAutoClose, 0, INT32_MAX, 0));
  q.Caption = r.Text(rpCaption);
  q.Label = r.Text(rpLabel);
  q.Button = r.Text(rpButton);
  q.Text = r.Text(rpText);
  return q;
}

std::string TProgressOpen::Encode() const {
  TFieldWriter w;
  w.Int(poStyle, Style);
  w.Bool(poModal, Modal);
  w.Text(poCaption, Caption);
  return EncodeFrame(mkProgressOpen, w);
}

TProgressOpen TProgressOpen::Decode(const TFieldReader& r) {
  TProgressOpen q;
  q.Style = ClampToU32(r.Int(poStyle));
  q.Modal = r.Bool(poModal, true);
  q.Caption = r.Text(poCaption);
  return q;
}

std::string TMessageBoxRequest::Encode() const {
  TFieldWriter w;
  w.Text(mbCaption, Caption);
  w.Text(mbText, Text);
  w.Bool(mbBeep, Beep);
  w.Bool(mbInformation, Information);
  return EncodeFrame(mkMessageBox, w);
}

TMessageBoxRequest TMessageBoxRequest::Decode(const TFieldReader& r) {
  TMessageBoxRequest q;
  q.Caption = r.Text(mbCaption);
  q.Text = r.Text(mbText);
  q.Beep = r.Bool(mbBeep);
  q.Information = r.Has(mbInformation) && r.Bool(mbInformation);
  return q;
}

std::string EncodeReady() {
  TFieldWriter w;
  w.Int(smVersion, kProtocolVersion);
  return EncodeFrame(mkReady, w);
}
std::string EncodeShown() { return EncodeFrame(mkShown, TFieldWriter{}); }
std::string EncodeCustomPressed() { return EncodeFrame(mkCustomPressed, TFieldWriter{}); }
std::string EncodeDone() { return EncodeFrame(mkDone, TFieldWriter{}); }
std::string EncodeAlive() { return EncodeFrame(mkAlive, TFieldWriter{}); }
std::string EncodeProgressClose() { return EncodeFrame(mkProgressClose, TFieldWriter{}); }
std::string EncodeProgressCancel() { return EncodeFrame(mkProgressCancel, TFieldWriter{}); }

std::string EncodeCustomAnswer(bool close) {
  TFieldWriter w;
  w.Bool(smClose, close);
  return EncodeFrame(mkCustomAnswer, w);
}

std::string EncodeJumpToSource(int32_t jumpId) {
  TFieldWriter w;
  w.Int(smJumpId, jumpId);
  return EncodeFrame(mkJumpToSource, w);
}

std::string EncodeReproduceResult(const std::string& text) {
  TFieldWriter w;
  w.Text(smText, text);
  return EncodeFrame(mkReproduceResult, w);
}

std::string EncodeProgressStep(const std::string& text) {
  TFieldWriter w;
  w.Text(smText, text);
  return EncodeFrame(mkProgressStep, w);
}

std::string EncodeProgressPosition(int32_t percent) {
  TFieldWriter w;
  w.Int(smPercent, percent);
  return EncodeFrame(mkProgressPosition, w);
}

std::string EncodeClipboard(const std::string& text) {
  TFieldWriter w;
  w.Text(smText, text);
  return EncodeFrame(mkClipboard, w);
}

}  // namespace tarvex_dialog
