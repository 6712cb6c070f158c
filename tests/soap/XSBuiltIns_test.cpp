#include "soap/XSBuiltIns.h"

#include <gtest/gtest.h>

#include "tests/support/ExpectMessage.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <memory>

#include "soap/TypeTrans.h"

namespace {

std::string U8(const WideString& w) { return Utf16ToUtf8(w); }



TEST(XSBuiltInsTest, ClassesDeriveFromTheirBases) {
  EXPECT_TRUE(TXSDateTime::StaticClass().InheritsFrom(&TXSCustomDateTime::StaticClass()));
  EXPECT_TRUE(TXSDuration::StaticClass().InheritsFrom(&TXSCustomDateTime::StaticClass()));
  for (TClass c : {&TXSDateTime::StaticClass(), &TXSTime::StaticClass(), &TXSDate::StaticClass(),
                   &TXSDuration::StaticClass(), &TXSHexBinary::StaticClass(), &TXSDecimal::StaticClass(),
                   &TXSString::StaticClass(), &TXSBoolean::StaticClass(), &TXSInteger::StaticClass(),
                   &TXSLong::StaticClass()}) {
    SCOPED_TRACE(c->Name);
    EXPECT_TRUE(c->InheritsFrom(&TRemotableXS::StaticClass()));
    ASSERT_TRUE(c->Create);
    std::unique_ptr<TObject> o(c->Create());
    EXPECT_EQ(o->ClassName(), c->Name);
  }
  EXPECT_TRUE(TXMLData::StaticClass().InheritsFrom(&TRemotable::StaticClass()));
}

TEST(XSBuiltInsTest, InitialTexts) {
  EXPECT_EQ(U8(TXSDateTime().ToXmlText()), "0001-01-01T00:00:00");
  EXPECT_EQ(U8(TXSTime().ToXmlText()), "00:00:00");
  EXPECT_EQ(U8(TXSDate().ToXmlText()), "0001-01-01");
  EXPECT_EQ(U8(TXSDuration().ToXmlText()), "P0Y0M0DT0H0M0S");
  EXPECT_EQ(U8(TXSBoolean().ToXmlText()), "0");
  EXPECT_EQ(U8(TXSInteger().ToXmlText()), "0");
  EXPECT_EQ(U8(TXSLong().ToXmlText()), "0");
  EXPECT_EQ(U8(TXSString().ToXmlText()), "");
  EXPECT_EQ(U8(TXSDecimal().ToXmlText()), "");
  EXPECT_EQ(U8(TXSHexBinary().ToXmlText()), "");
}

TEST(XSBuiltInsTest, DateTexts) {
  struct Case {
    const char* text;
    const char* written;  // or the error message
    bool ok;
  } cases[] = {
      {"2010-08-02", "2010-08-02", true},
      {"2010/08/02", "2010-08-02", true},  // separators are not examined
      {"2010-08-02+09:00", "2010-08-02", true},
      {"2010-13-45", "2010-13-45", true},  // nor are month and day ranges
      {"-0044-03-15", "-0044-03-15", true},
      {"2010-8-2", "Invalid date string: 2010-8-2", false},
      {"2010-08-0x", "Invalid date string: 2010-08-0x", false},
      {"-2010-8-02", "Invalid date string: 2010-8-02", false},
      {"", "Invalid date string: ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TXSBaseDate d;
    if (c.ok) {
      d.Read(c.text);
      EXPECT_EQ(d.Text(), c.written);
    } else {
      ExpectMessage([&] { d.Read(c.text); }, c.written);
    }
  }
  TXSBaseDate d;
  d.Read("-0044-03-15");
  EXPECT_EQ(d.SignedYear(), -44);
  d.SetYear(2011);
  EXPECT_EQ(d.Text(), "2011-03-15");

  TXSDate wrapper;
  wrapper.FromXmlText(u"2010/08/02Z");
  EXPECT_EQ(U8(wrapper.ToXmlText()), "2010/08/02Z");  // held as received
  EXPECT_THROW(wrapper.FromXmlText(u"2010-8-2"), EXSDateTimeException);
  EXPECT_EQ(U8(wrapper.ToXmlText()), "2010/08/02Z");
}

TEST(XSBuiltInsTest, TimeTexts) {
  TXSBaseTime t;
  t.Read("12:00:00.5+05:30");
  EXPECT_EQ(t.Fraction(), ".5");
  EXPECT_EQ(t.HourOffset(), 5);
  EXPECT_EQ(t.MinuteOffset(), 30);
  EXPECT_EQ(t.Text(), "12:00:00.5+05:30");
  t.Read("23:59:58-01:15");
  EXPECT_EQ(t.HourOffset(), -1);
  EXPECT_EQ(t.MinuteOffset(), -15);
  EXPECT_EQ(t.Text(), "23:59:58-01:15");
  t.Read("01:02:03");
  EXPECT_EQ(t.Text(), "01:02:03Z");
  t.Read("01.02.03.123456Z");
  EXPECT_EQ(t.Text(), "01:02:03.123456Z");
  t.Read("10:00:00+99:00");  // the hour offset is stored as read
  EXPECT_EQ(t.HourOffset(), 99);

  struct Bad {
    const char* text;
    const char* message;
  } bad[] = {
      {"12:00:00+05:60", "Invalid minute: 60"},
      {"12:0a:00", "Invalid time string: 12:0a:00"},
      {"12:00:00+5:00", "Hour Offset portion of time invalid"},
      {"12:00:00+05:3", "Hour Offset portion of time invalid"},
      {"12:00:00+05", "Invalid time string: 12:00:00+05"},
      {"12:00", "Invalid time string: 12:00"},
      {"12:00:00.", "Invalid time string: 12:00:00."},
      {"12:00:00.x", "Invalid time string: 12:00:00.x"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    TXSBaseTime x;
    ExpectMessage([&] { x.Read(c.text); }, c.message);
  }
  TXSBaseTime s;
  ExpectMessage([&] { s.SetMillisecond(1000); }, "Invalid millisecond: 1000");
  ExpectMessage([&] { s.SetHourOffset(15); }, "Invalid hour offset: 15");
  ExpectMessage([&] { s.SetHourOffset(-15); }, "Invalid hour offset: -15");
  ExpectMessage([&] { s.SetMinuteOffset(60); }, "Invalid minute: 60");
  s.SetMillisecond(7);
  EXPECT_EQ(s.Fraction(), ".007");

  TXSTime wrapper;
  wrapper.FromXmlText(u"not checked");
  EXPECT_EQ(U8(wrapper.ToXmlText()), "not checked");
}

TEST(XSBuiltInsTest, DateTimeWrapperAndSetters) {
  TXSDateTime dt;
  dt.FromXmlText(u"2010-08-02T12:00:00-03:00");
  EXPECT_EQ(U8(dt.ToXmlText()), "2010-08-02T12:00:00-03:00");
  dt.SetHourOffset(5);
  EXPECT_EQ(U8(dt.ToXmlText()), "2010-08-02T12:00:00+05:00");
  ExpectMessage([&] { dt.SetHourOffset(15); }, "Invalid hour offset: 15");
  EXPECT_EQ(U8(dt.ToXmlText()), "2010-08-02T12:00:00+05:00");
  dt.SetMillisecond(250);
  dt.SetYear(2011);
  dt.SetMonth(9);
  dt.SetDay(3);
  dt.SetHour(4);
  dt.SetMinute(5);
  dt.SetSecond(6);
  dt.SetMinuteOffset(-30);
  EXPECT_EQ(U8(dt.ToXmlText()), "2011-09-03T04:05:06.250+05:30");
  dt.SetHourOffset(0);
  dt.SetMinuteOffset(0);
  EXPECT_EQ(U8(dt.ToXmlText()), "2011-09-03T04:05:06.250Z");

  TXSDateTime d2;
  d2.SetDay(9);  // from the initial text: written in full
  EXPECT_EQ(U8(d2.ToXmlText()), "0001-01-09T00:00:00Z");
  d2.FromXmlText(u"");  // empty text keeps what is held
  EXPECT_EQ(U8(d2.ToXmlText()), "0001-01-09T00:00:00Z");
  EXPECT_THROW(d2.FromXmlText(u"2010-08-02T1:00:00"), EXSDateTimeException);
  EXPECT_EQ(U8(d2.ToXmlText()), "0001-01-09T00:00:00Z");
  d2.FromXmlText(u"2010-08-02");
  EXPECT_EQ(U8(d2.ToXmlText()), "2010-08-02");
  d2.SetSecond(1);
  EXPECT_EQ(U8(d2.ToXmlText()), "2010-08-02T00:00:01.000Z");
}

TEST(XSBuiltInsTest, LocalAndUtcValues) {
  ScopedTZ tz("JST-9");
  TXSDateTime dt;
  dt.FromXmlText(u"2010-08-02T12:00:00Z");
  TDateTimeParts local = DecodeDateTime(dt.ToLocalDateTime());
  EXPECT_EQ(local.Day, 2);
  EXPECT_EQ(local.Hour, 21);
  TDateTimeParts utc = DecodeDateTime(dt.ToUtcDateTime());
  EXPECT_EQ(utc.Hour, 12);
  dt.FromXmlText(u"2010-08-02T12:00:00+09:00");
  EXPECT_EQ(DecodeDateTime(dt.ToLocalDateTime()).Hour, 12);
  EXPECT_EQ(DecodeDateTime(dt.ToUtcDateTime()).Hour, 3);

  dt.FromXmlText(u"2010-13-02T00:00:00Z");  // read, but no calendar value
  ExpectMessage([&] { dt.ToUtcDateTime(); }, "''2010-13-2 0:0:0.0'' is not a valid date and time");
  dt.FromXmlText(u"2010-08-02T12:00:00+24:00");  // a shift of a day or more
  ExpectMessage([&] { dt.ToUtcDateTime(); }, "Invalid argument to time encode");
}

TEST(XSBuiltInsTest, Durations) {
  struct Case {
    const char16_t* text;
    const char* written;
  } cases[] = {
      {u"P1Y2M3DT4H5M6.5S", "P1Y2M3DT4H5M6.5S"},
      {u"-P1D", "-P0Y0M1DT0H0M0S"},
      {u"P1Y2MT6.5S", "P1Y2M0DT0H0M6.5S"},
      {u"PT36H", "P0Y0M0DT36H0M0S"},
      {u"P3D1Y", "P1Y0M3DT0H0M0S"},  // the order is not checked
      {u"PT", "P0Y0M0DT0H0M0S"},
      {u"PT.5S", "P0Y0M0DT0H0M0.5S"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.text));
    TXSDuration d;
    d.FromXmlText(c.text);
    EXPECT_EQ(U8(d.ToXmlText()), c.written);
  }
  TXSDuration d;
  d.FromXmlText(u"-P1Y2M3DT4H5M6.25S");
  EXPECT_TRUE(d.Negative());
  EXPECT_EQ(d.Years(), 1);
  EXPECT_EQ(d.Months(), 2);
  EXPECT_EQ(d.Days(), 3);
  EXPECT_EQ(d.Hours(), 4);
  EXPECT_EQ(d.Minutes(), 5);
  EXPECT_EQ(d.Seconds(), 6.25);
  for (const char16_t* bad : {u"1Y", u"P", u"", u"xP1D"}) {
    SCOPED_TRACE(U8(bad));
    TXSDuration x;
    ExpectMessage([&] { x.FromXmlText(bad); }, "Invalid duration string: " + U8(bad));
  }
  ExpectMessage([&] { d.FromXmlText(u"PT1.5.5S"); }, "'1.5.5' is not a valid floating point value");
  ExpectMessage([&] { d.FromXmlText(u"P99999999999D"); }, "'99999999999' is not a valid integer value");
  EXPECT_EQ(U8(d.ToXmlText()), "-P1Y2M3DT4H5M6.25S");  // unchanged by the failures
}

TEST(XSBuiltInsTest, ScalarWrappers) {
  TXSBoolean b;
  for (const char16_t* t : {u"1", u"true"}) {
    b.FromXmlText(t);
    EXPECT_TRUE(b.Value());
  }
  for (const char16_t* t : {u"TRUE", u"0", u"false", u" 1", u""}) {
    b.SetValue(true);
    b.FromXmlText(t);
    EXPECT_FALSE(b.Value()) << U8(t);
  }
  b.SetValue(true);
  EXPECT_EQ(U8(b.ToXmlText()), "1");

  TXSInteger i;
  i.FromXmlText(u"  $1F");
  EXPECT_EQ(i.Value(), 31);
  ExpectMessage([&] { i.FromXmlText(u"5 "); }, "'5 ' is not a valid integer value");
  EXPECT_EQ(i.Value(), 31);
  i.SetValue(-2147483647 - 1);
  EXPECT_EQ(U8(i.ToXmlText()), "-2147483648");

  TXSLong l;
  l.FromXmlText(u"-9223372036854775808");
  EXPECT_EQ(l.Value(), INT64_MIN);
  EXPECT_EQ(U8(l.ToXmlText()), "-9223372036854775808");

  TXSDecimal dec;
  dec.FromXmlText(u"  12.5000 junk");
  EXPECT_EQ(dec.Value(), "  12.5000 junk");
  EXPECT_EQ(U8(dec.ToXmlText()), "  12.5000 junk");

  TXSString s;
  s.FromXmlText(u" \u00e9 ");
  EXPECT_EQ(s.ToXmlText(), u" \u00e9 ");

  TXSHexBinary h;
  h.FromXmlText(u"0aFF");
  EXPECT_EQ(U8(h.ToXmlText()), "0aFF");
  h.FromXmlText(u"\n 00 \n");
  EXPECT_EQ(U8(h.ToXmlText()), "\n 00 \n");
  ExpectMessage([&] { h.FromXmlText(u"0g"); }, "0g is not a valid hex string");
  ExpectMessage([&] { h.FromXmlText(u"abc"); }, "abc is not a valid hex string");
  ExpectMessage([&] { h.FromXmlText(u"0a 0b"); }, "0a 0b is not a valid hex string");
  EXPECT_EQ(U8(h.ToXmlText()), "\n 00 \n");
}

// A converter that writes every object as an empty element named after the member.
class TElementWriter : public IObjConverter {
 public:
  HRESULT QueryInterface(const TGUID&, void** obj) override {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return 1; }
  int32_t _Release() override { return 1; }
  TIntfPtr<IXMLNode> ObjInstanceToSOAP(TRemotable*, IXMLNode*, IXMLNode* parent, const WideString& name,
                                       const WideString&, TObjectConvertOptions, WideString&) override {
    return parent->AddChild(name);
  }
  void InitObjectFromSOAP(TRemotable*, IXMLNode*, IXMLNode*) override { ++reads; }
  int reads = 0;
};

TEST(XSBuiltInsTest, XMLDataKeepsACopyOfItsFragment) {
  TElementWriter converter;
  auto response = LoadXMLDocumentBytes(
      "<r xmlns:p=\"urn:p\"><data><p:schema a=\"1\"><p:e>t</p:e></p:schema></data><two><a/><b/></two></r>");
  auto data = response->DocumentElement()->ChildNodes()->Get(0);
  TXMLData x;
  x.ReadFromMessage(response->DocumentElement().Get(), data.Get(), &converter);
  EXPECT_EQ(converter.reads, 0);
  ASSERT_TRUE(x.XMLNode());
  EXPECT_EQ(x.XMLNode()->OwnerDocument().Get(), x.XMLDocument().Get());
  response.Reset();
  data.Reset();
  EXPECT_EQ(U8(x.XMLNode()->XML()), "<p:schema xmlns:p=\"urn:p\" a=\"1\"><p:e>t</p:e></p:schema>");

  auto message = NewXMLDocument();
  auto body = message->AddChild(u"Body");
  WideString refId;
  auto element = x.WriteToMessage(body.Get(), body.Get(), &converter, u"schemaData", u"", {}, refId);
  ASSERT_TRUE(element);
  EXPECT_EQ(U8(message->SaveToXML()),
            "<?xml version=\"1.0\"?><Body><schemaData><p:schema xmlns:p=\"urn:p\" a=\"1\"><p:e>t</p:e></p:schema>"
            "</schemaData></Body>");

  // Several children, or none: nothing is held.
  auto other = LoadXMLDocumentBytes("<two><a/><b/></two>");
  x.ReadFromMessage(nullptr, other->DocumentElement().Get(), &converter);
  EXPECT_FALSE(x.XMLNode());
  auto element2 = x.WriteToMessage(body.Get(), body.Get(), &converter, u"empty", u"", {}, refId);
  EXPECT_EQ(U8(element2->XML()), "<empty/>");
}

}  // namespace
