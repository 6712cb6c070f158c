#include "soap/XSBuiltIns.h"

#include <cmath>

#include "soap/TypeTrans.h"

ZELK_CLASS_INFO(TXSCustomDateTime, "XSBuiltIns")
ZELK_CLASS_INFO(TXSDateTime, "XSBuiltIns")
ZELK_CLASS_INFO(TXSTime, "XSBuiltIns")
ZELK_CLASS_INFO(TXSDate, "XSBuiltIns")
ZELK_CLASS_INFO(TXSDuration, "XSBuiltIns")
ZELK_CLASS_INFO(TXSHexBinary, "XSBuiltIns")
ZELK_CLASS_INFO(TXSDecimal, "XSBuiltIns")
ZELK_CLASS_INFO(TXSString, "XSBuiltIns")
ZELK_CLASS_INFO(TXSBoolean, "XSBuiltIns")
ZELK_CLASS_INFO(TXSInteger, "XSBuiltIns")
ZELK_CLASS_INFO(TXSLong, "XSBuiltIns")
ZELK_CLASS_INFO(TXMLData, "XSBuiltIns")

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Character `pos` (1-based) of `s`; NUL past the end, as the readers below expect.
char At(const std::string& s, size_t pos) { return pos >= 1 && pos <= s.size() ? s[pos - 1] : '\0'; }

int Two(char a, char b) { return (a - '0') * 10 + (b - '0'); }

[[noreturn]] void Fail(const char* fmt, std::initializer_list<TVarRec> args) {
  throw EXSDateTimeException(Format(fmt, args));
}

}  // namespace

// ---- TXSBaseDate ----

void TXSBaseDate::Read(const std::string& text) {
  std::string s = text;
  bool negative = !s.empty() && s[0] == '-';
  if (negative) s.erase(0, 1);
  if (s.size() < 10) Fail("Invalid date string: %s", {s});
  for (size_t pos : {1, 2, 3, 4, 6, 7, 9, 10})
    if (!IsDigit(At(s, pos))) Fail("Invalid date string: %s", {s});
  negativeYear_ = negative;
  year_ = static_cast<uint32_t>(Two(s[0], s[1]) * 100 + Two(s[2], s[3]));
  month_ = static_cast<uint16_t>(Two(s[5], s[6]));
  day_ = static_cast<uint16_t>(Two(s[8], s[9]));
}

std::string TXSBaseDate::Text() const {
  return Format("%s%.4d-%.2d-%.2d", {negativeYear_ ? "-" : "", static_cast<int64_t>(year_), int{month_}, int{day_}});
}

void TXSBaseDate::SetYear(int year) {
  negativeYear_ = year < 0;
  year_ = static_cast<uint32_t>(year < 0 ? -static_cast<int64_t>(year) : year);
}

// ---- TXSBaseTime ----

void TXSBaseTime::Read(const std::string& text) {
  const std::string& s = text;
  if (s.size() < 8) Fail("Invalid time string: %s", {s});
  for (size_t pos : {1, 2, 4, 5, 7, 8})
    if (!IsDigit(At(s, pos))) Fail("Invalid time string: %s", {s});
  uint16_t hour = static_cast<uint16_t>(Two(s[0], s[1]));
  uint16_t minute = static_cast<uint16_t>(Two(s[3], s[4]));
  uint16_t second = static_cast<uint16_t>(Two(s[6], s[7]));
  std::string fraction;
  size_t pos = 9;
  if (At(s, 9) == '.') {
    if (s.size() < 10 || !IsDigit(At(s, 10))) Fail("Invalid time string: %s", {s});
    size_t end = 10;
    while (IsDigit(At(s, end))) ++end;
    fraction = s.substr(8, end - 9);
    pos = end;
  }
  uint16_t hourOffset = 0, minuteOffset = 0;
  bool negativeOffset = false;
  char sign = At(s, pos);
  if (sign == '+' || sign == '-') {
    if (s.size() < 13 + fraction.size()) Fail("Invalid time string: %s", {s});
    char h1 = At(s, pos + 1), h2 = At(s, pos + 2), m1 = At(s, pos + 4), m2 = At(s, pos + 5);
    if (!IsDigit(h1) || !IsDigit(h2) || !IsDigit(m1) || !IsDigit(m2)) Fail("Hour Offset portion of time invalid", {});
    negativeOffset = sign == '-';
    hourOffset = static_cast<uint16_t>(Two(h1, h2));  // as read, no range check
    minuteOffset = static_cast<uint16_t>(Two(m1, m2));
    if (minuteOffset >= 60) Fail("Invalid minute: %d", {int{minuteOffset}});
  }
  hour_ = hour;
  minute_ = minute;
  second_ = second;
  fraction_ = fraction;
  hourOffset_ = hourOffset;
  minuteOffset_ = minuteOffset;
  negativeOffset_ = negativeOffset;
}

std::string TXSBaseTime::Text() const {
  std::string s = Format("%.2d:%.2d:%.2d", {int{hour_}, int{minute_}, int{second_}}) + fraction_;
  if (hourOffset_ == 0 && minuteOffset_ == 0) return s + "Z";
  return s + Format("%s%.2d:%.2d", {negativeOffset_ ? "-" : "+", int{hourOffset_}, int{minuteOffset_}});
}

void TXSBaseTime::SetMillisecond(int ms) {
  if (ms < 0 || ms >= 1000) Fail("Invalid millisecond: %d", {ms});
  fraction_ = Format(".%.3d", {ms});
}

void TXSBaseTime::SetHourOffset(int offset) {
  if (offset < -14 || offset > 14) Fail("Invalid hour offset: %d", {offset});
  negativeOffset_ = offset < 0;
  hourOffset_ = static_cast<uint16_t>(offset < 0 ? -offset : offset);
}

void TXSBaseTime::SetMinuteOffset(int offset) {
  int magnitude = offset < 0 ? -offset : offset;
  if (magnitude >= 60) Fail("Invalid minute: %d", {offset});
  minuteOffset_ = static_cast<uint16_t>(magnitude);
}

// ---- TXSBaseCustomDateTime ----

TXSBaseCustomDateTime::TXSBaseCustomDateTime()
    : date_(std::make_unique<TXSBaseDate>()), time_(std::make_unique<TXSBaseTime>()) {}

TXSBaseCustomDateTime::~TXSBaseCustomDateTime() = default;

void TXSBaseCustomDateTime::Read(const std::string& text) {
  size_t t = text.find('T');
  if (t == std::string::npos) {
    date_->Read(text);
    *time_ = TXSBaseTime();
    time_->SetFraction(".000");
  } else {
    date_->Read(text.substr(0, t));
    time_->Read(text.substr(t + 1));
  }
}

std::string TXSBaseCustomDateTime::Text() const { return date_->Text() + "T" + time_->Text(); }

TDateTime TXSBaseCustomDateTime::AsDateTime() const {
  return EncodeDateTime(date_->SignedYear(), date_->Month(), date_->Day(), time_->Hour(), time_->Minute(),
                        time_->Second(), 0);
}

namespace {
// `value` minus `minutes` minutes; the shift must stay below a day. Before 1899-12-30 the
// time of day counts forward from the (negative) day, so the shift is applied on a linear
// time line and converted back.
TDateTime Shift(TDateTime value, int minutes) {
  if (minutes == 0) return value;
  int magnitude = minutes < 0 ? -minutes : minutes;
  double shift = EncodeTime(magnitude / 60, magnitude % 60, 0, 0).value;
  double v = value.value;
  double day = std::trunc(v);
  double linear = v >= 0 ? v : day + (day - v);
  linear = minutes > 0 ? linear - shift : linear + shift;
  double newDay = std::floor(linear);
  double time = linear - newDay;
  return TDateTime(newDay >= 0 ? newDay + time : newDay - time);
}
}  // namespace

TDateTime TXSBaseCustomDateTime::AsUtcDateTime() const {
  TDateTime v = AsDateTime();
  return Shift(v, time_->HourOffset() * 60 + time_->MinuteOffset());
}

TDateTime TXSBaseCustomDateTime::AsLocalDateTime() const {
  TDateTime v = AsDateTime();
  return Shift(v, SystemTimeZoneBias() + time_->HourOffset() * 60 + time_->MinuteOffset());
}

// ---- TXSBaseDuration ----

namespace {

// The run of characters accepted by `ok` right before the first `letter` in `part`.
std::string RunBefore(const std::string& part, char letter, bool withPoint) {
  size_t p = part.find(letter);
  if (p == std::string::npos) return {};
  size_t b = p;
  while (b > 0 && (IsDigit(part[b - 1]) || (withPoint && part[b - 1] == '.'))) --b;
  return part.substr(b, p - b);
}

int32_t IntComponent(const std::string& part, char letter) {
  std::string run = RunBefore(part, letter, false);
  return run.empty() ? 0 : ParseXmlInt32(run);
}

}  // namespace

void TXSDurationParts::ReadDuration(const std::string& text) {
  if (text.size() < 2 || !(text[0] == 'P' || (text[0] == '-' && text[1] == 'P')))
    Fail("Invalid duration string: %s", {text});
  size_t t = text.find('T');
  std::string datePart = t == std::string::npos ? text : text.substr(0, t);
  std::string timePart = t == std::string::npos ? std::string() : text.substr(t + 1);
  int32_t years = IntComponent(datePart, 'Y');
  int32_t months = IntComponent(datePart, 'M');
  int32_t days = IntComponent(datePart, 'D');
  int32_t hours = IntComponent(timePart, 'H');
  int32_t minutes = IntComponent(timePart, 'M');
  std::string secondsRun = RunBefore(timePart, 'S', true);
  double seconds = secondsRun.empty() ? 0.0 : static_cast<double>(ParseXmlDecimal(secondsRun));
  Set(text[0] == '-', years, months, days, hours, minutes, seconds);
}

std::string TXSDurationParts::DurationText() const {
  return Format("%sP%dY%dM%dDT%dH%dM", {negative_ ? "-" : "", years_, months_, days_, hours_, minutes_}) +
         Utf16ToUtf8(FormatXmlFloat(seconds_)) + "S";
}

void TXSDurationParts::Set(bool negative, int32_t years, int32_t months, int32_t days, int32_t hours,
                           int32_t minutes, double seconds) {
  negative_ = negative;
  years_ = years;
  months_ = months;
  days_ = days;
  hours_ = hours;
  minutes_ = minutes;
  seconds_ = seconds;
}

// ---- TXSCustomDateTime ----

void TXSCustomDateTime::FromXmlText(const WideString& text) {
  if (text.empty()) return;
  TXSBaseDateTime dt;
  dt.Read(Utf16ToUtf8(text));
  text_ = text;
}

TDateTime TXSCustomDateTime::ToLocalDateTime() const {
  TXSBaseDateTime dt;
  dt.Read(Utf16ToUtf8(text_));
  return dt.AsLocalDateTime();
}

TDateTime TXSCustomDateTime::ToUtcDateTime() const {
  TXSBaseDateTime dt;
  dt.Read(Utf16ToUtf8(text_));
  return dt.AsUtcDateTime();
}

template <class F>
void TXSCustomDateTime::Change(F&& f) {
  TXSBaseCustomDateTime dt;
  dt.Read(Utf16ToUtf8(text_));
  f(dt);
  text_ = Utf8ToUtf16(dt.Text());
}

void TXSCustomDateTime::SetDay(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetDay(v); }); }
void TXSCustomDateTime::SetHour(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetHour(v); }); }
void TXSCustomDateTime::SetHourOffset(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetHourOffset(v); }); }
void TXSCustomDateTime::SetMillisecond(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetMillisecond(v); }); }
void TXSCustomDateTime::SetMinute(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetMinute(v); }); }
void TXSCustomDateTime::SetMinuteOffset(int v) {
  Change([&](TXSBaseCustomDateTime& dt) { dt.SetMinuteOffset(v); });
}
void TXSCustomDateTime::SetMonth(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetMonth(v); }); }
void TXSCustomDateTime::SetSecond(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetSecond(v); }); }
void TXSCustomDateTime::SetYear(int v) { Change([&](TXSBaseCustomDateTime& dt) { dt.SetYear(v); }); }

// ---- the other wrappers ----

void TXSDate::FromXmlText(const WideString& text) {
  TXSBaseDate d;
  d.Read(Utf16ToUtf8(text));
  text_ = text;
}

WideString TXSDuration::ToXmlText() const { return Utf8ToUtf16(DurationText()); }

void TXSDuration::FromXmlText(const WideString& text) {
  TXSDurationParts d;  // a malformed text leaves the value as it was
  d.ReadDuration(Utf16ToUtf8(text));
  static_cast<TXSDurationParts&>(*this) = d;
}

void TXSHexBinary::FromXmlText(const WideString& text) {
  std::string s = Utf16ToUtf8(text);
  // XML white space may surround the digits (the schema type collapses it).
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  std::string digits = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  bool ok = digits.size() % 2 == 0;
  for (char c : digits)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) ok = false;
  if (!ok) throw EXSHexBinaryException(Format("%s is not a valid hex string", {s}));
  value_ = s;
}

WideString TXSInteger::ToXmlText() const { return Utf8ToUtf16(std::to_string(value_)); }
void TXSInteger::FromXmlText(const WideString& text) { value_ = ParseXmlInt32(text); }
WideString TXSLong::ToXmlText() const { return Utf8ToUtf16(std::to_string(value_)); }
void TXSLong::FromXmlText(const WideString& text) { value_ = ParseXmlInt64(text); }

// ---- TXMLData ----

TXMLData::TXMLData() : doc_(NewXMLDocument(u"1.0")) {}

TIntfPtr<IXMLNode> TXMLData::WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                            const WideString& name, const WideString& nameSpace,
                                            TObjectConvertOptions options, WideString& refId) {
  TIntfPtr<IXMLNode> element = TRemotable::WriteToMessage(root, parent, converter, name, nameSpace, options, refId);
  if (element && node_) {
    TIntfPtr<IXMLDocument> message = element->OwnerDocument();
    if (!message) throw EXMLDocError("The message document is no longer there");
    if (TIntfPtr<IXMLNode> copy = message->ImportNode(node_.Get(), true)) element->AppendChild(copy.Get());
  }
  return element;
}

void TXMLData::ReadFromMessage(IXMLNode*, IXMLNode* node, IObjConverter*) {
  TIntfPtr<IXMLNodeList> children = node ? node->ChildNodes() : TIntfPtr<IXMLNodeList>();
  if (children && children->Count() == 1) SetXMLNode(children->Get(0).Get());
  else node_.Reset();
}

void TXMLData::SetXMLNode(IXMLNode* node) {
  node_ = node ? doc_->ImportNode(node, true) : TIntfPtr<IXMLNode>();
}
