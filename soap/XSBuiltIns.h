// XML Schema wrapper classes: remotable scalars whose value is one XML Schema text, the
// date-time helper classes that read and write those texts, and TXMLData, an XML fragment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "soap/InvokeRegistry.h"
#include "soap/XMLDoc.h"

ZELK_DECLARE_EXCEPTION(EXSDateTimeException, Exception);
ZELK_DECLARE_EXCEPTION(EXSHexBinaryException, Exception);

// ---- date-time helpers (one per operation) ----

// "[-]yyyy-mm-dd": characters 5 and 8 are not examined, anything after the tenth is ignored,
// month and day are not range-checked.
class TXSBaseDate {
 public:
  void Read(const std::string& text);  // EXSDateTimeException "Invalid date string: %s"
  std::string Text() const;

  uint32_t YearMagnitude() const { return year_; }
  bool NegativeYear() const { return negativeYear_; }
  int SignedYear() const { return negativeYear_ ? -static_cast<int>(year_) : static_cast<int>(year_); }
  uint16_t Month() const { return month_; }
  uint16_t Day() const { return day_; }
  void SetYear(int year);
  void SetMonth(int month) { month_ = static_cast<uint16_t>(month); }
  void SetDay(int day) { day_ = static_cast<uint16_t>(day); }

 private:
  uint32_t year_ = 1;
  bool negativeYear_ = false;
  uint16_t month_ = 1;
  uint16_t day_ = 1;
};

// "hh:nn:ss[.fraction][Z|(+|-)hh:mm]".
class TXSBaseTime {
 public:
  // EXSDateTimeException "Invalid time string: %s", "Hour Offset portion of time invalid",
  // "Invalid minute: %d".
  void Read(const std::string& text);
  std::string Text() const;

  uint16_t Hour() const { return hour_; }
  uint16_t Minute() const { return minute_; }
  uint16_t Second() const { return second_; }
  const std::string& Fraction() const { return fraction_; }  // "." and the digits, or empty
  int HourOffset() const { return negativeOffset_ ? -hourOffset_ : hourOffset_; }
  int MinuteOffset() const { return negativeOffset_ ? -minuteOffset_ : minuteOffset_; }
  bool NegativeOffset() const { return negativeOffset_; }

  void SetHour(int v) { hour_ = static_cast<uint16_t>(v); }
  void SetMinute(int v) { minute_ = static_cast<uint16_t>(v); }
  void SetSecond(int v) { second_ = static_cast<uint16_t>(v); }
  void SetFraction(std::string fraction) { fraction_ = std::move(fraction); }
  void SetMillisecond(int ms);     // 0..999, else "Invalid millisecond: %d"
  void SetHourOffset(int offset);  // -14..14, else "Invalid hour offset: %d"
  void SetMinuteOffset(int offset);  // magnitude below 60, else "Invalid minute: %d"

 private:
  uint16_t hour_ = 0, minute_ = 0, second_ = 0;
  std::string fraction_;
  uint16_t hourOffset_ = 0, minuteOffset_ = 0;
  bool negativeOffset_ = false;
};

// A date and a time: "date" alone or "dateTtime".
class TXSBaseCustomDateTime {
 public:
  TXSBaseCustomDateTime();
  virtual ~TXSBaseCustomDateTime();
  TXSBaseCustomDateTime(const TXSBaseCustomDateTime&) = delete;
  TXSBaseCustomDateTime& operator=(const TXSBaseCustomDateTime&) = delete;

  void Read(const std::string& text);
  std::string Text() const;
  TXSBaseDate& Date() { return *date_; }
  TXSBaseTime& Time() { return *time_; }

  // The calendar value of the components (milliseconds 0), without any shift.
  TDateTime AsDateTime() const;
  TDateTime AsUtcDateTime() const;
  TDateTime AsLocalDateTime() const;

  // The component setters, in slot order.
  void SetDay(int v) { date_->SetDay(v); }
  void SetHour(int v) { time_->SetHour(v); }
  void SetHourOffset(int v) { time_->SetHourOffset(v); }
  void SetMillisecond(int v) { time_->SetMillisecond(v); }
  void SetMinute(int v) { time_->SetMinute(v); }
  void SetMinuteOffset(int v) { time_->SetMinuteOffset(v); }
  void SetMonth(int v) { date_->SetMonth(v); }
  void SetSecond(int v) { time_->SetSecond(v); }
  void SetYear(int v) { date_->SetYear(v); }

 private:
  std::unique_ptr<TXSBaseDate> date_;
  std::unique_ptr<TXSBaseTime> time_;
};

class TXSBaseDateTime : public TXSBaseCustomDateTime {};

// "[-]PnYnMnDTnHnMnS": each component is the run of digits (for seconds also '.') right
// before the first occurrence of its letter in its part; missing ones are 0.
class TXSDurationParts {
 public:
  void ReadDuration(const std::string& text);  // "Invalid duration string: %s"
  std::string DurationText() const;            // written in full ("P0Y0M0DT0H0M0S" for none)

  bool Negative() const { return negative_; }
  int32_t Years() const { return years_; }
  int32_t Months() const { return months_; }
  int32_t Days() const { return days_; }
  int32_t Hours() const { return hours_; }
  int32_t Minutes() const { return minutes_; }
  double Seconds() const { return seconds_; }
  void Set(bool negative, int32_t years, int32_t months, int32_t days, int32_t hours, int32_t minutes,
           double seconds);

 private:
  bool negative_ = false;
  int32_t years_ = 0, months_ = 0, days_ = 0, hours_ = 0, minutes_ = 0;
  double seconds_ = 0;
};

class TXSBaseDuration : public TXSBaseCustomDateTime, public TXSDurationParts {};

// ---- wrapper classes ----

// A date-time text: "0001-01-01T00:00:00" until set.
class TXSCustomDateTime : public TRemotableXS {
  ZELK_CLASS(TXSCustomDateTime, TRemotableXS)
 public:
  WideString ToXmlText() const override { return text_; }
  // Validates the text as a date-time and holds it as received; empty text changes nothing.
  void FromXmlText(const WideString& text) override;

  TDateTime ToLocalDateTime() const;
  TDateTime ToUtcDateTime() const;

  // Each rewrites the held text in full ("T", the time and the zone always present).
  void SetDay(int v);
  void SetHour(int v);
  void SetHourOffset(int v);
  void SetMillisecond(int v);
  void SetMinute(int v);
  void SetMinuteOffset(int v);
  void SetMonth(int v);
  void SetSecond(int v);
  void SetYear(int v);

 protected:
  template <class F>
  void Change(F&& f);
  WideString text_ = u"0001-01-01T00:00:00";
};

class TXSDateTime : public TXSCustomDateTime {
  ZELK_CLASS(TXSDateTime, TXSCustomDateTime)
};

// The time text as received, unchecked; "00:00:00" when empty.
class TXSTime : public TRemotableXS {
  ZELK_CLASS(TXSTime, TRemotableXS)
 public:
  WideString ToXmlText() const override { return text_.empty() ? WideString(u"00:00:00") : text_; }
  void FromXmlText(const WideString& text) override { text_ = text; }

 private:
  WideString text_;
};

// The date text as received (validated); "0001-01-01" when empty.
class TXSDate : public TRemotableXS {
  ZELK_CLASS(TXSDate, TRemotableXS)
 public:
  WideString ToXmlText() const override { return text_.empty() ? WideString(u"0001-01-01") : text_; }
  void FromXmlText(const WideString& text) override;

 private:
  WideString text_;
};

// The components of one duration; written in full ("P0Y0M0DT0H0M0S" for none).
class TXSDuration : public TXSCustomDateTime, public TXSDurationParts {
  ZELK_CLASS(TXSDuration, TXSCustomDateTime)
 public:
  WideString ToXmlText() const override;
  void FromXmlText(const WideString& text) override;
};

// The text as received; FromXmlText accepts an even number of hexadecimal digits (with XML
// white space around them) and raises EXSHexBinaryException "%s is not a valid hex string".
class TXSHexBinary : public TRemotableXS {
  ZELK_CLASS(TXSHexBinary, TRemotableXS)
 public:
  WideString ToXmlText() const override { return Utf8ToUtf16(value_); }
  void FromXmlText(const WideString& text) override;
  const std::string& Value() const { return value_; }
  void SetValue(std::string v) { value_ = std::move(v); }

 private:
  std::string value_;
};

// The text as received, unchecked.
class TXSDecimal : public TRemotableXS {
  ZELK_CLASS(TXSDecimal, TRemotableXS)
 public:
  WideString ToXmlText() const override { return Utf8ToUtf16(value_); }
  void FromXmlText(const WideString& text) override { value_ = Utf16ToUtf8(text); }
  const std::string& Value() const { return value_; }
  void SetValue(std::string v) { value_ = std::move(v); }

 private:
  std::string value_;
};

class TXSString : public TRemotableXS {
  ZELK_CLASS(TXSString, TRemotableXS)
 public:
  WideString ToXmlText() const override { return value_; }
  void FromXmlText(const WideString& text) override { value_ = text; }
  const WideString& Value() const { return value_; }
  void SetValue(WideString v) { value_ = std::move(v); }

 private:
  WideString value_;
};

// Reads true only from exactly "1" or "true"; writes "1" or "0".
class TXSBoolean : public TRemotableXS {
  ZELK_CLASS(TXSBoolean, TRemotableXS)
 public:
  WideString ToXmlText() const override { return value_ ? u"1" : u"0"; }
  void FromXmlText(const WideString& text) override { value_ = text == u"1" || text == u"true"; }
  bool Value() const { return value_; }
  void SetValue(bool v) { value_ = v; }

 private:
  bool value_ = false;
};

class TXSInteger : public TRemotableXS {
  ZELK_CLASS(TXSInteger, TRemotableXS)
 public:
  WideString ToXmlText() const override;
  void FromXmlText(const WideString& text) override;  // the 32-bit parser, untrimmed
  int32_t Value() const { return value_; }
  void SetValue(int32_t v) { value_ = v; }

 private:
  int32_t value_ = 0;
};

class TXSLong : public TRemotableXS {
  ZELK_CLASS(TXSLong, TRemotableXS)
 public:
  WideString ToXmlText() const override;
  void FromXmlText(const WideString& text) override;  // the 64-bit parser, untrimmed
  int64_t Value() const { return value_; }
  void SetValue(int64_t v) { value_ = v; }

 private:
  int64_t value_ = 0;
};

// An XML fragment: one node held in a document of the object's own. Reading keeps a deep
// copy of the element's only child (nothing when it has none or several); writing appends a
// deep copy of the held node to the object's element.
class TXMLData : public TRemotable {
  ZELK_CLASS(TXMLData, TRemotable)
 public:
  TXMLData();

  TIntfPtr<IXMLNode> WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                    const WideString& name, const WideString& nameSpace,
                                    TObjectConvertOptions options, WideString& refId) override;
  void ReadFromMessage(IXMLNode* root, IXMLNode* node, IObjConverter* converter) override;

  const TIntfPtr<IXMLDocument>& XMLDocument() const { return doc_; }
  const TIntfPtr<IXMLNode>& XMLNode() const { return node_; }
  // Holds a deep copy of `node` (of any document); none for null or a type that is not copied.
  void SetXMLNode(IXMLNode* node);

 private:
  TIntfPtr<IXMLDocument> doc_;
  TIntfPtr<IXMLNode> node_;
};
