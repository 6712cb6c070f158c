// The conversation between the reporting core and its dialog helper program (`tarvex-dialog`),
// shared by both sides. Pure C++: the helper links it beside Qt, the core without.
//
// Framing on the stream socket: a 32-bit little-endian length, then that many bytes: the
// message kind (16-bit little-endian) followed by typed fields. A field is its id (16 bits),
// its type (8 bits), the value's length (32 bits) and the value. Fields may come in any order;
// unknown ids are skipped, so either side may add fields later. A length past the caps below,
// a field that runs past its message, or a known id with the wrong type is a protocol error.
//
// Order of a conversation. The helper starts with `Ready`. The core sends one request (dialog,
// reproduce request, progress window, message box or clipboard); the helper answers `Shown`
// once its window is on screen, then its events and finally the result for that request. A
// custom-button press is answered by `CustomAnswer` before the helper takes input again.
// While a window is up, the helper's GUI thread sends `Alive` about once a second (from a
// timer, written without blocking): a helper whose GUI thread hangs falls silent, and the core
// gives it up. A helper that cannot show windows (no display; Qt's offscreen platform outside
// tests) ends instead of answering `Ready`. On `Clipboard` the helper answers `Done` once the
// text is handed to the clipboard (and to a clipboard manager, which keeps it after the helper
// ends). Closing the socket ends the helper.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/SysUtils.h"

ZELK_DECLARE_EXCEPTION(EDialogProtocolError, Exception);

namespace tarvex_dialog {

constexpr uint32_t kProtocolVersion = 1;
// Caps: a whole message, one text, the items of one list and the nesting of blocks.
constexpr uint32_t kMaxMessageBytes = 64u * 1024 * 1024;
constexpr uint32_t kMaxTextBytes = 32u * 1024 * 1024;
constexpr uint32_t kMaxListItems = 1u << 20;
constexpr int kMaxBlockDepth = 4;
constexpr size_t kFrameHeaderBytes = 4;

enum TMessageKind : uint16_t {
  // core -> helper
  mkDialogRequest = 1,
  mkReproduceRequest = 2,
  mkProgressOpen = 3,
  mkProgressStep = 4,
  mkProgressPosition = 5,
  mkProgressClose = 6,
  mkClipboard = 7,
  mkMessageBox = 8,
  mkCustomAnswer = 9,
  // helper -> core
  mkReady = 100,
  mkShown = 101,
  mkCustomPressed = 102,
  mkJumpToSource = 103,
  mkDialogResult = 104,
  mkReproduceResult = 105,
  mkDone = 106,  // a message box was closed, the clipboard was filled, the progress window closed
  mkAlive = 107,
  mkProgressCancel = 108,  // the user closed the send progress window: stop the delivery
};

// ---- Field writer and reader ---------------------------------------------------------------------

enum TFieldType : uint8_t { ftInt = 1, ftText = 2, ftTexts = 3, ftInts = 4, ftBlock = 5, ftBlocks = 6 };

class TFieldWriter {
 public:
  void Int(uint16_t id, int64_t value);
  void Bool(uint16_t id, bool value) { Int(id, value ? 1 : 0); }
  void Text(uint16_t id, std::string_view value);
  void Texts(uint16_t id, const std::vector<std::string>& values);
  void Ints(uint16_t id, const std::vector<int32_t>& values);
  void Block(uint16_t id, const TFieldWriter& block);
  void Blocks(uint16_t id, const std::vector<TFieldWriter>& blocks);
  const std::string& Bytes() const { return bytes_; }

 private:
  void Header(uint16_t id, TFieldType type, size_t length);
  std::string bytes_;
};

// Reads the fields of one message or block; throws EDialogProtocolError on damaged input.
class TFieldReader {
 public:
  explicit TFieldReader(std::string_view bytes, int depth = 0);
  bool Has(uint16_t id) const;
  int64_t Int(uint16_t id, int64_t fallback = 0) const;
  // An integer that must lie in [low, high]; outside it the fallback.
  int64_t IntIn(uint16_t id, int64_t low, int64_t high, int64_t fallback) const;
  bool Bool(uint16_t id, bool fallback = false) const { return Int(id, fallback ? 1 : 0) != 0; }
  std::string Text(uint16_t id) const;
  std::vector<std::string> Texts(uint16_t id) const;
  std::vector<int32_t> Ints(uint16_t id) const;
  TFieldReader Block(uint16_t id) const;  // empty when absent
  std::vector<TFieldReader> Blocks(uint16_t id) const;

 private:
  struct TField {
    uint16_t Id;
    TFieldType Type;
    std::string_view Value;
  };
  const TField* Find(uint16_t id, TFieldType type) const;
  std::vector<TField> fields_;
  int depth_ = 0;
};

// ---- Frames -----------------------------------------------------------------------------------------

// A whole frame: header, kind and fields.
std::string EncodeFrame(TMessageKind kind, const TFieldWriter& fields);
// The payload length a frame header announces; throws past the cap.
uint32_t FramePayloadLength(const char header[kFrameHeaderBytes]);

struct TMessage {
  TMessageKind Kind{};
  std::string Fields;  // the field bytes after the kind
  TFieldReader Reader() const { return TFieldReader(Fields); }
};
// A payload (kind and fields) as read after its header.
TMessage DecodePayload(std::string_view payload);

// ---- Messages ------------------------------------------------------------------------------------

// Texts of the message table that the windows use, by their index.
struct TIndexedText {
  int32_t Index = 0;
  std::string Text;
};

// Controls that a dialog offers (checked: the box starts checked) and shows.
enum TDialogControl : uint32_t {
  // Detailed: box 3000. Classic: the send button; "checked" means the report is to be sent,
  // which makes the right button read "Don't Send" rather than "OK".
  dcSendBox = 1u << 0,
  dcScreenshotBox = 1u << 1,   // attach a screenshot (detailed 4000)
  dcCopyBox = 1u << 2,         // copy to the clipboard (detailed 5000)
  dcSupportLink = 1u << 3,
  dcTerminate = 1u << 4,       // detailed: the terminate/restart button; classic: check box 104
  dcCustomButton = 1u << 5,
  dcDetailsButton = 1u << 6,   // detailed: the Details button; classic: the "click here." link
  dcReproduceBox = 1u << 7,    // classic: the description box
  dcEmailBox = 1u << 8,        // classic: the e-mail address box
  dcModulesPages = 1u << 9,    // detailed: the Modules and Processes tabs
  dcAssemblerPages = 1u << 10, // detailed: the Assembler and CPU tabs
};

enum TDialogStyle : uint32_t {
  dsTopMost = 1u << 0,
  dsOwnLook = 1u << 1,
  dsStartDetailed = 1u << 2,
  dsForcedDetailed = 1u << 3,  // reached from the classic dialog: detailed, no Details button
  dsBeep = 1u << 4,
};

// Images of list rows.
enum TRowImage : int32_t { riNone = -1, riLibrary = 0, riPackage = 1, riApplication = 2, riSource = 3 };

struct TListRow {
  std::vector<std::string> Cells;
  std::string Header;        // group rows: their text
  bool Group = false;
  int32_t ColourClass = 0;   // group rows: 0 calling thread, 1 running thread, 3 exception thread
  int32_t Image = riNone;
  int32_t JumpId = -1;       // call-stack rows with a line: what a double click sends back
};

// "Coordinates" of the settings file as the detailed dialog uses them.
struct TDialogGeometry {
  int32_t Width = 745;
  int32_t Height = 468;
  std::optional<int32_t> Left, Top;  // none: centred
  int32_t WindowsState = 1;          // 1 normal, 3 maximised, 6 minimised
};

// One exception dialog. The helper applies only what needs the window: the auto-close count,
// the layout, the pages. The rules of the choices are the core's (it reads the result). The
// classic Send button refuses an address that is not empty and not valid (ValidEmailAddress
// of the trimmed text, EEmailAddress.h) with a message box of text 157, caption text 2, and
// stays open; every other way of closing goes through, so an unattended program cannot hang.
struct TDialogRequest {
  int32_t Kind = 2;                   // 2 classic, 3 detailed
  uint32_t Style = 0;                 // TDialogStyle bits
  uint32_t Offered = 0;               // TDialogControl bits shown
  uint32_t Checked = 0;               // TDialogControl bits whose box starts checked
  int32_t TerminateAction = 0;        // 1 terminate, 2 restart
  int32_t AutoCloseSeconds = 0;       // 0: no auto-close
  int32_t DetailPage = 0;             // page shown first, in page order 0 to 5
  std::string Message;                // the exception message shown
  std::string ReproduceText;
  std::string Email;
  std::string SupportAddress;
  std::vector<TIndexedText> Texts;
  TDialogGeometry Geometry;
  std::vector<int32_t> StackColumns, ModuleColumns, ProcessColumns;  // widths in column order
  std::string GeneralRich, AssemblerRich, CpuRich;
  std::vector<TListRow> StackRows, ModuleRows, ProcessRows;

  std::string Encode() const;
  static TDialogRequest Decode(const TFieldReader& fields);
  const std::string* FindText(int32_t index) const;
};

// How a dialog was closed.
enum TCloseHow : int32_t {
  chOk = 1,           // detailed OK, classic "Don't Send"/OK
  chSend = 2,         // classic "Send Error Report"
  chTerminate = 3,    // detailed terminate/restart button
  chCustom = 4,       // the custom button, after the core answered close
  chEscape = 5,
  chCloseButton = 6,  // the window's close command
  chAutoClose = 7,
  chDetailsLink = 8,  // classic "click here.": the detailed dialog next
};

struct TDialogResult {
  int32_t How = chCloseButton;
  uint32_t Checked = 0;               // TDialogControl bits of the boxes checked at the end
  std::string ReproduceText, Email;   // as typed
  bool GeometryRecorded = false;      // the detailed mode recorded a size or a state
  TDialogGeometry Geometry;
  std::vector<int32_t> StackColumns, ModuleColumns, ProcessColumns;  // empty: page never shown

  std::string Encode() const;
  static TDialogResult Decode(const TFieldReader& fields);
};

struct TReproduceRequest {
  uint32_t Style = 0;  // dsTopMost, dsOwnLook
  int32_t AutoCloseSeconds = 0;
  std::string Caption, Label, Button, Text;

  std::string Encode() const;
  static TReproduceRequest Decode(const TFieldReader& fields);
};

struct TProgressOpen {
  uint32_t Style = 0;  // dsTopMost, dsOwnLook
  bool Modal = true;   // modal: centred; else at the work area's bottom right
  std::string Caption;

  std::string Encode() const;
  static TProgressOpen Decode(const TFieldReader& fields);
};

struct TMessageBoxRequest {
  std::string Caption, Text;
  bool Beep = false;
  bool Information = false;  // the information icon instead of the error icon

  std::string Encode() const;
  static TMessageBoxRequest Decode(const TFieldReader& fields);
};

// One-field messages.
std::string EncodeReady();                        // helper: its protocol version
std::string EncodeShown();
std::string EncodeCustomPressed();
std::string EncodeCustomAnswer(bool close);
std::string EncodeJumpToSource(int32_t jumpId);
std::string EncodeReproduceResult(const std::string& text);
std::string EncodeDone();
std::string EncodeAlive();
std::string EncodeProgressStep(const std::string& text);
std::string EncodeProgressPosition(int32_t percent);
std::string EncodeProgressClose();
std::string EncodeProgressCancel();
std::string EncodeClipboard(const std::string& text);

// Field ids of the one-field messages.
enum TSimpleField : uint16_t { smVersion = 1, smClose = 2, smJumpId = 3, smText = 4, smPercent = 5 };

}  // namespace tarvex_dialog
