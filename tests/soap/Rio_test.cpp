#include "soap/Rio.h"

#include <gtest/gtest.h>

namespace {

class ICalc : public IInvokable {
  ZELK_INTERFACE(ICalc, "{3A0C5E10-7B2D-4C11-9E0F-1A2B3C4D5E01}")
 public:
  virtual int32_t Add(int32_t a, int32_t b) = 0;
  virtual void Rename(WideString& name) = 0;
};
class IOtherService : public IInvokable {
  ZELK_INTERFACE(IOtherService, "{3A0C5E10-7B2D-4C11-9E0F-1A2B3C4D5E02}")
};
class INotRegistered : public IInvokable {
  ZELK_INTERFACE(INotRegistered, "{3A0C5E10-7B2D-4C11-9E0F-1A2B3C4D5E03}")
};

class TCalcStub : public TRIOInterfaceStub, public ICalc {
 public:
  using TRIOInterfaceStub::TRIOInterfaceStub;
  IInterface* Interface() override { return static_cast<ICalc*>(this); }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override { return rio_->QueryInterface(iid, obj); }
  int32_t _AddRef() override { return rio_->_AddRef(); }
  int32_t _Release() override { return rio_->_Release(); }
  int32_t Add(int32_t a, int32_t b) override {
    void* const args[] = {&a, &b};
    int32_t r = -1;
    rio_->Generic(3, args, &r);
    return r;
  }
  void Rename(WideString& name) override {
    WideString* ref = &name;
    void* const args[] = {&ref};
    rio_->Generic(4, args, nullptr);
  }
};

class TOtherStub : public TRIOInterfaceStub, public IOtherService {
 public:
  using TRIOInterfaceStub::TRIOInterfaceStub;
  IInterface* Interface() override { return static_cast<IOtherService*>(this); }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override { return rio_->QueryInterface(iid, obj); }
  int32_t _AddRef() override { return rio_->_AddRef(); }
  int32_t _Release() override { return rio_->_Release(); }
};

class TProbeHeader : public TSOAPHeader {
  ZELK_CLASS(TProbeHeader, TSOAPHeader)
 public:
  ~TProbeHeader() override { ++destroyed; }
  static int destroyed;
};
int TProbeHeader::destroyed = 0;

}  // namespace

ZELK_INTERFACE_INFO(ICalc, IInvokable, "CalcUnit",
                    ZELK_METHOD("Add", ccStdCall, TypeInfo<int32_t>(), ZELK_PARAM(0, "a", int32_t),
                                ZELK_PARAM(0, "b", int32_t)),
                    ZELK_METHOD("Rename", ccStdCall, nullptr, ZELK_PARAM(pfVar, "name", WideString)))
ZELK_INTERFACE_INFO(IOtherService, IInvokable, "CalcUnit")
ZELK_INTERFACE_INFO(INotRegistered, IInvokable, "CalcUnit")
ZELK_CLASS_INFO(TProbeHeader, "CalcUnit")

namespace {

// A stream that tells when it is destroyed.
class TTrackedStream : public TMemoryStream {
 public:
  explicit TTrackedStream(int* live) : live_(live) { ++*live_; }
  ~TTrackedStream() override { --*live_; }

 private:
  int* live_;
};

struct TCallLog {
  int liveStreams = 0;
  bool converterDestroyed = false;
  bool webNodeDestroyed = false;
  std::string posted;
  bool raiseFault = false;
  bool failExchange = false;
  int prepareIndex = -1;
  size_t outboundAtExchange = 0;
  TRIO* rio = nullptr;
};

class TFakeConverter : public TInterfacedObject, public IOPConvert {
 public:
  explicit TFakeConverter(TCallLog* log) : log_(log) {}
  ~TFakeConverter() override { log_->converterDestroyed = true; }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IOPConvert::IID) {
      *obj = static_cast<IOPConvert*>(this);
      _AddRef();
      return S_OK;
    }
    return TInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TInterfacedObject::_Release(); }

  TSOAPConvertOptions GetOptions() override { return options_; }
  void SetOptions(TSOAPConvertOptions o) override { options_ = o; }
  TSoapDataList& GetAttachments() override { return attachments_; }
  void SetAttachments(const TSoapDataList& a) override { attachments_ = a; }
  std::string GetTempDir() override { return {}; }
  void SetTempDir(const std::string&) override {}
  WideString GetEncoding() override { return {}; }
  void SetEncoding(const WideString&) override {}
  void ClearAttachments() override { attachments_.clear(); }

  std::unique_ptr<TStream> BuildRequest(const TIntfMetaData& md, int methNum, TInvContext& ctx,
                                        THeaderList*) override {
    auto s = std::make_unique<TTrackedStream>(&log_->liveStreams);
    std::string text = md.MDA[methNum].Name;
    if (md.MDA[methNum].Name == "Add")
      text += Format("(%d,%d)", {*static_cast<int32_t*>(ctx.GetParamPointer(0)),
                                 *static_cast<int32_t*>(ctx.GetParamPointer(1))});
    s->WriteString(text);
    return s;
  }
  void ReadResponse(TStream& response, const TIntfMetaData& md, const TIntfMethEntry& me, TInvContext& ctx,
                    THeaderList* headers) override {
    std::string body = response.ReadRest();
    if (log_->raiseFault) throw ERemotableException("Server was unable to process", u"SOAP-ENV:Server");
    headers->Add(new TProbeHeader);
    if (me.Name == "Add") *static_cast<int32_t*>(ctx.GetResultPointer()) = std::stoi(body);
    if (me.Name == "Rename") **static_cast<WideString**>(ctx.GetParamPointer(0)) = Utf8ToUtf16(body);
    (void)md;
  }
  void ReadResponse(const WideString&, const TIntfMetaData&, const TIntfMethEntry&, TInvContext&,
                    THeaderList*) override {}

 private:
  TCallLog* log_;
  TSOAPConvertOptions options_{soSendMultiRefObj, soTryAllSchema, soCacheMimeResponse, soDocument};
  TSoapDataList attachments_;
};

class TFakeWebNode : public TInterfacedObject, public IWebNode {
 public:
  explicit TFakeWebNode(TCallLog* log) : log_(log) {}
  ~TFakeWebNode() override { log_->webNodeDestroyed = true; }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IWebNode::IID) {
      *obj = static_cast<IWebNode*>(this);
      _AddRef();
      return S_OK;
    }
    return TInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TInterfacedObject::_Release(); }

  void ExchangeText(const std::string&, TStream&) override {}
  void PrepareCall(const TIntfMetaData&, const TIntfMethEntry&, int index, IMimeAttachmentHandler*) override {
    log_->prepareIndex = index;
  }
  void Exchange(TStream& request, TStream& response) override {
    log_->posted = request.ReadRest();
    log_->outboundAtExchange = log_->rio->OutboundHeaders().Count();
    if (log_->failExchange) throw Exception("connection refused");
    if (log_->posted == "Add(2,3)") response.WriteString("5");
    else response.WriteString("renamed");
  }
  std::unique_ptr<TStream> ExchangeToNewStream(TStream&) override { return nullptr; }
  std::string GetMimeBoundary() override { return {}; }
  void SetMimeBoundary(const std::string&) override {}

 private:
  TCallLog* log_;
};

class RioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GetInvokableRegistry()->AddInterface(TypeInfo<ICalc>(), u"urn:calc");
    GetInvokableRegistry()->AddInterface(TypeInfo<IOtherService>(), u"urn:other");
    RegisterInterfaceStub(ICalc::IID, [](TRIO* r) -> std::unique_ptr<TRIOInterfaceStub> {
      return std::make_unique<TCalcStub>(r);
    });
    RegisterInterfaceStub(IOtherService::IID, [](TRIO* r) -> std::unique_ptr<TRIOInterfaceStub> {
      return std::make_unique<TOtherStub>(r);
    });
  }
  void SetUp() override { TProbeHeader::destroyed = 0; }

  // An unowned proxy with fake collaborators; the returned reference keeps it alive.
  TIntfPtr<ICalc> MakeCalc(TCallLog& log) {
    auto* rio = new TRIO;
    log.rio = rio;
    rio->SetConverterIntf(TIntfPtr<IOPConvert>(new TFakeConverter(&log)));
    rio->SetWebNodeIntf(TIntfPtr<IWebNode>(new TFakeWebNode(&log)));
    return IntfCast<ICalc>(static_cast<IRIOAccess*>(rio));
  }
};

TEST_F(RioTest, BindsOnlyRegisteredInterfacesAndOnlyOne) {
  TCallLog log;
  TRIO* rio = new TRIO;
  TIntfPtr<IRIOAccess> keep(rio);
  EXPECT_EQ(GetInvokableRegistry()->FindInterfaceByGuid(TypeInfo<INotRegistered>()->Intf->Guid), nullptr);
  EXPECT_FALSE(Supports<INotRegistered>(keep.Get()));
  EXPECT_FALSE(rio->Bound());
  TIntfPtr<ICalc> calc = Supports<ICalc>(keep.Get());
  ASSERT_TRUE(calc);
  EXPECT_TRUE(rio->Bound());
  EXPECT_FALSE(Supports<IOtherService>(keep.Get()));
  EXPECT_TRUE(Supports<ICalc>(keep.Get()));
  // The proxy's own interfaces stay available through the bound one.
  TIntfPtr<IRIOAccess> access = Supports<IRIOAccess>(calc.Get());
  ASSERT_TRUE(access);
  EXPECT_EQ(access->GetRIO(), rio);
  EXPECT_TRUE(Supports<ISOAPHeaders>(calc.Get()));
  EXPECT_EQ(rio->IntfMD().MDA.size(), 5u);
  EXPECT_EQ(rio->IntfMD().MDA[3].Name, "Add");
}

TEST_F(RioTest, CallsGoThroughConverterAndTransport) {
  TCallLog log;
  TIntfPtr<ICalc> calc = MakeCalc(log);
  EXPECT_EQ(calc->Add(2, 3), 5);
  EXPECT_EQ(log.posted, "Add(2,3)");
  EXPECT_EQ(log.prepareIndex, 0);  // counted from the first method after the base three
  WideString name = u"old";
  calc->Rename(name);
  EXPECT_EQ(name, u"renamed");
  EXPECT_EQ(log.prepareIndex, 1);
  // The interface carries no document or literal option: the proxy cleared them.
  EXPECT_FALSE(log.rio->ConverterIntf()->GetOptions().Contains(soDocument));
}

TEST_F(RioTest, LastReleaseDestroysAnUnownedProxyWithItsCollaborators) {
  TCallLog log;
  {
    TIntfPtr<ICalc> calc = MakeCalc(log);
    TIntfPtr<ICalc> second = calc;
    EXPECT_EQ(log.rio->RefCount(), 2);
  }
  EXPECT_TRUE(log.converterDestroyed);
  EXPECT_TRUE(log.webNodeDestroyed);
}

TEST_F(RioTest, AnOwnedProxySurvivesItsLastRelease) {
  TCallLog log;
  TComponent owner;
  auto* rio = new TRIO(&owner);
  log.rio = rio;
  rio->SetConverterIntf(TIntfPtr<IOPConvert>(new TFakeConverter(&log)));
  { TIntfPtr<ICalc> calc = IntfCast<ICalc>(static_cast<IRIOAccess*>(rio)); }
  EXPECT_EQ(owner.Components().size(), 1u);
  EXPECT_FALSE(log.converterDestroyed);
}

TEST_F(RioTest, FailuresStillClearOutboundHeadersAndReleaseStreams) {
  struct Row {
    const char* name;
    bool fault;
    bool exchangeFails;
  };
  for (const Row& row : {Row{"fault", true, false}, Row{"transport", false, true}}) {
    SCOPED_TRACE(row.name);
    TProbeHeader::destroyed = 0;
    TCallLog log;
    log.raiseFault = row.fault;
    log.failExchange = row.exchangeFails;
    TIntfPtr<ICalc> calc = MakeCalc(log);
    TProbeHeader header;
    TIntfPtr<ISOAPHeaders> headers = Supports<ISOAPHeaders>(calc.Get());
    headers->Send(&header);
    headers->Send(&header);  // once only
    EXPECT_EQ(log.rio->OutboundHeaders().Count(), 1u);
    int32_t r = 0;
    try {
      r = calc->Add(2, 3);
      ADD_FAILURE() << "no exception";
    } catch (const ERemotableException& e) {
      EXPECT_TRUE(row.fault);
      EXPECT_EQ(e.FaultCode(), u"SOAP-ENV:Server");
    } catch (const Exception& e) {
      EXPECT_TRUE(row.exchangeFails);
      EXPECT_EQ(e.Message(), "connection refused");
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(log.outboundAtExchange, 1u);
    EXPECT_EQ(log.rio->OutboundHeaders().Count(), 0u);
    EXPECT_EQ(log.liveStreams, 0);
    EXPECT_EQ(TProbeHeader::destroyed, 0);  // outbound headers stay the caller's
  }
}

TEST_F(RioTest, InboundHeadersLiveUntilTheNextCall) {
  TCallLog log;
  TIntfPtr<ICalc> calc = MakeCalc(log);
  calc->Add(2, 3);
  EXPECT_EQ(log.rio->InboundHeaders().Count(), 1u);
  EXPECT_EQ(TProbeHeader::destroyed, 0);
  calc->Add(2, 3);
  EXPECT_EQ(TProbeHeader::destroyed, 1);
  TIntfPtr<ISOAPHeaders> headers = Supports<ISOAPHeaders>(calc.Get());
  std::unique_ptr<TSOAPHeader> taken(headers->Get(&TProbeHeader::StaticClass()));
  EXPECT_NE(taken, nullptr);
  EXPECT_EQ(log.rio->InboundHeaders().Count(), 0u);
}

TEST_F(RioTest, RefusesCallsWithoutCollaborators) {
  TCallLog log;
  TIntfPtr<ICalc> calc = MakeCalc(log);
  log.rio->SetConverterIntf(nullptr);
  try {
    calc->Add(1, 1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "No Native to Message converter set");
  }
  log.rio->SetConverterIntf(TIntfPtr<IOPConvert>(new TFakeConverter(&log)));
  log.rio->SetWebNodeIntf(nullptr);
  try {
    calc->Add(1, 1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "No Message processing node set");
  }
}

TEST(TempFileStreamTest, SkipsTakenNamesAndRemovesItsFile) {
  char dir[] = "/tmp/rio-temp-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("TMPDIR", dir, 1);
  std::string taken = std::string(dir) + "/QuorandSoapMimeCache0";
  FILE* f = fopen(taken.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  std::string name;
  {
    TTempFileStream s;
    name = s.FileName();
    EXPECT_EQ(name, std::string(dir) + "/QuorandSoapMimeCache1");
    s.WriteString("part");
    EXPECT_EQ(access(name.c_str(), F_OK), 0);
  }
  EXPECT_NE(access(name.c_str(), F_OK), 0);
  EXPECT_EQ(access(taken.c_str(), F_OK), 0);  // the stranger's file is left alone
  unlink(taken.c_str());
  rmdir(dir);
  unsetenv("TMPDIR");
}

}  // namespace
