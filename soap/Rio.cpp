#include "soap/Rio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "runtime/Strings.h"
#include "soap/SOAPAttach.h"

ZELK_CLASS_INFO(TRIO, "Rio")

// ---- the table of compiled interface proxies ----

namespace {
struct TStubTable {
  std::mutex lock;
  std::vector<std::pair<TGUID, TRIOStubFactory>> entries;
};
TStubTable& Stubs() {
  static TStubTable table;
  return table;
}
}  // namespace

void RegisterInterfaceStub(const TGUID& iid, TRIOStubFactory factory) {
  TStubTable& t = Stubs();
  std::lock_guard<std::mutex> lock(t.lock);
  for (auto& e : t.entries)
    if (e.first == iid) return;
  t.entries.emplace_back(iid, factory);
}

TRIOStubFactory FindInterfaceStub(const TGUID& iid) {
  TStubTable& t = Stubs();
  std::lock_guard<std::mutex> lock(t.lock);
  for (auto& e : t.entries)
    if (e.first == iid) return e.second;
  return nullptr;
}

// ---- TTempFileStream ----

namespace {
std::string TempFolder() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  if (dir.empty()) throw Exception("Unable to generate temporary path");
  if (dir.back() != '/') dir += '/';
  return dir;
}

// Creates the first free "QuorandSoapMimeCache<n>" exclusively: a name that appears between
// looking and creating is skipped, never opened.
int CreateTempFile(std::string& name) {
  std::string base = TempFolder() + "QuorandSoapMimeCache";
  for (unsigned n = 0; n < 100000; ++n) {
    std::string candidate = base + std::to_string(n);
    int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      name = candidate;
      return fd;
    }
    if (errno != EEXIST) break;
  }
  throw Exception("No access to temporary file");
}
}  // namespace

TTempFileStream::TTempFileStream() : THandleStream(-1) { fd_ = CreateTempFile(fileName_); }

TTempFileStream::~TTempFileStream() {
  if (!fileName_.empty()) ::unlink(fileName_.c_str());
}

// ---- TSOAPHeaders: aggregated into the proxy ----

class TSOAPHeaders final : public ISOAPHeaders {
 public:
  TSOAPHeaders(TRIO* controller, THeaderList* in, THeaderList* out)
      : controller_(controller), in_(in), out_(out) {}

  HRESULT QueryInterface(const TGUID& iid, void** obj) override { return controller_->QueryInterface(iid, obj); }
  int32_t _AddRef() override { return controller_->_AddRef(); }
  int32_t _Release() override { return controller_->_Release(); }

  void Send(TSOAPHeader* header) override {
    if (header && !out_->Contains(header)) out_->Add(header);
  }
  TSOAPHeader* GetOutbound(size_t index) override { return index < out_->Count() ? (*out_)[index] : nullptr; }
  TSOAPHeader* Get(TClass cls) override {
    for (TSOAPHeader* h : in_->Items())
      if (h->InheritsFrom(cls)) {
        in_->Extract(h);
        return h;
      }
    return nullptr;
  }
  TSOAPHeader* Get(const WideString& nameSpace, const WideString& name) override {
    TClass cls = GetTypeRegistry()->FindClassByXmlName(nameSpace, name);
    return cls ? Get(cls) : nullptr;
  }

 private:
  TRIO* controller_;
  THeaderList* in_;
  THeaderList* out_;
};

// ---- TRIO ----

TRIO::TRIO(TComponent* owner) : TRIO(owner, TDeferLoaded{}) { Loaded(); }

TRIO::TRIO(TComponent* owner, TDeferLoaded)
    : TComponent(owner),
      context_(std::make_unique<TInvContext>()),
      inHeaders_(std::make_unique<THeaderList>(true)),
      outHeaders_(std::make_unique<THeaderList>(false)) {
  headers_ = std::make_unique<TSOAPHeaders>(this, inHeaders_.get(), outHeaders_.get());
}

TRIO::~TRIO() {
  BeginDestroy();
  converter_.Reset();
  webNode_.Reset();
  stub_.reset();
  context_.reset();
  headers_.reset();
  inHeaders_.reset();
  outHeaders_.reset();
}

int32_t TRIO::_AddRef() { return ++refCount_; }

int32_t TRIO::_Release() {
  int32_t r = --refCount_;
  if (r == 0 && !Owner() && !Destroying()) delete this;
  return r;
}

HRESULT TRIO::QueryInterface(const TGUID& iid, void** obj) {
  *obj = nullptr;
  if (iid == IInterface::IID || iid == IRIOAccess::IID) {
    *obj = static_cast<IRIOAccess*>(this);
  } else if (iid == ISOAPHeaders::IID) {
    *obj = static_cast<ISOAPHeaders*>(headers_.get());
  } else if (bound_) {
    if (!(iid == boundIID_)) return E_NOINTERFACE;
    *obj = stub_->Interface();
  } else {
    if (!Bind(iid)) return E_NOINTERFACE;
    *obj = stub_->Interface();
  }
  _AddRef();
  if (bound_ && iid == boundIID_) {
    ApplyInvokeOptions();
    AfterBind();
  }
  return S_OK;
}

bool TRIO::Bind(const TGUID& iid) {
  boundIID_ = iid;
  PTypeInfo info = GetInvokableRegistry()->FindInterfaceByGuid(iid);
  intfRegistered_ = info != nullptr;
  if (!info) return false;
  TIntfMetaData md;
  GetIntfMetaData(info, md, true);
  for (const TIntfMethEntry& me : md.MDA) {
    if (!me.HasRTTI) continue;
    // The compiled proxies serve only stack-based conventions.
    if (me.CC == ccReg) return false;
  }
  for (const TIntfMethEntry& me : md.MDA) {
    if (me.HasRTTI && me.CC != ccCdecl && MethodArgumentSpace(me) > 252)
      throw Exception("Too many parameters in method %s", {me.Name});
  }
  TRIOStubFactory factory = FindInterfaceStub(iid);
  if (!factory) return false;
  intfMD_ = std::move(md);
  metadataRead_ = true;
  stub_ = factory(this);
  bound_ = true;
  return true;
}

void TRIO::ApplyInvokeOptions() {
  if (!converter_) return;
  TIntfInvokeOptions io = GetInvokableRegistry()->GetInvokeOptions(boundIID_);
  TSOAPConvertOptions opts = converter_->GetOptions();
  opts.Set(soDocument, (io & kDocumentStyle) != 0);
  opts.Set(soLiteralParams, (io & kLiteralParams) != 0);
  converter_->SetOptions(opts);
}

void TRIO::AfterBind() {}

void TRIO::SetConverterIntf(TIntfPtr<IOPConvert> c) { converter_ = std::move(c); }
void TRIO::SetWebNodeIntf(TIntfPtr<IWebNode> w) { webNode_ = std::move(w); }

namespace {

bool IsAttachmentClass(PTypeInfo t) {
  return t && t->Kind == tkClass && t->ClassType->InheritsFrom(&TSOAPAttachment::StaticClass());
}

// An 8-byte cell for results that are returned by value.
union TResultCell {
  int64_t i;
  double d;
  long double e;
  void* p;
  unsigned char raw[16];
};

}  // namespace

void TRIO::Generic(int methodIndex, void* const* args, void* result) {
  // 1. Collaborators and metadata.
  if (!converter_) throw Exception("No Native to Message converter set");
  if (!webNode_) throw Exception("No Message processing node set");
  if (!intfRegistered_) throw Exception("Interface not registered, UUID = %s", {GUIDToString(boundIID_)});
  if (!metadataRead_) throw Exception("Interface has no RTTI, UUID = %s", {GUIDToString(boundIID_)});

  // 2. The method and the context's slots.
  if (methodIndex < 0 || methodIndex >= static_cast<int>(intfMD_.MDA.size())) throw Exception("Method has no RTTI");
  const TIntfMethEntry& me = intfMD_.MDA[static_cast<size_t>(methodIndex)];
  if (!me.HasRTTI) throw Exception("Method has no RTTI");
  context_->SetMethodInfo(me);

  // 3. Results of managed types go straight to the caller's variable; the rest through a
  //    local cell, so a failed call leaves the caller's result untouched.
  TResultCell cell{};
  bool direct = false;
  if (me.ResultInfo) {
    switch (me.ResultInfo->Kind) {
      case tkLString: case tkWString: case tkString: case tkVariant: case tkDynArray: direct = true; break;
      default: break;
    }
    context_->SetResultPointer(direct ? result : static_cast<void*>(&cell));
  }

  // 4. The argument slots, in declaration order.
  for (int k = 0; k < me.ParamCount; ++k) context_->SetParamPointer(k, args[k]);

  // 5. The previous call's inbound headers go now.
  inHeaders_->Clear();

  // 6. The request.
  std::unique_ptr<TStream> request = converter_->BuildRequest(intfMD_, methodIndex, *context_, outHeaders_.get());

  // 7. Plain SOAP, or MIME when attachments travel.
  bool mimeRequest = false, mimeResponse = IsAttachmentClass(me.ResultInfo);
  for (const TIntfParamEntry& p : me.Params) {
    if (!IsAttachmentClass(p.Info)) continue;
    if (!(p.Flags & pfOut)) mimeRequest = true;
    if (p.Flags & (pfVar | pfOut)) mimeResponse = true;
  }
  TIntfPtr<IMimeAttachmentHandler> handler;
  if (mimeRequest || mimeResponse) {
    handler = CreateMimeAttachmentHandler(OnSendAttachment, OnGetAttachment);
  }

  std::unique_ptr<TStream> response;
  std::unique_ptr<TStream> soapPart;
  // 15. Whatever happens from here on, the streams go and the attachments are dropped.
  struct Cleanup {
    IOPConvert* converter;
    ~Cleanup() {
      if (converter) converter->ClearAttachments();
    }
  } cleanup{converter_.Get()};

  // 8. Prepare the transport.
  if (mimeRequest) {
    request->SetPosition(0);
    handler->CreateMimeStream(*request, converter_->GetAttachments());
    webNode_->SetMimeBoundary(handler->GetMIMEBoundary());
    webNode_->PrepareCall(intfMD_, me, methodIndex - 3, handler.Get());
  } else {
    webNode_->PrepareCall(intfMD_, me, methodIndex - 3, nullptr);
  }

  // 9. A handler may rewrite the request text.
  if (OnBeforeExecute) {
    request->SetPosition(0);
    WideString text = Utf8ToUtf16(request->ReadRest());
    WideString changed = text;
    OnBeforeExecute(me.Name, changed);
    if (changed != text) {
      std::string bytes = Utf16ToUtf8(changed);
      request->SetSize(0);
      request->SetPosition(0);
      request->WriteString(bytes);
    }
    request->SetPosition(0);
  }

  // 10. The response stream.
  if (mimeResponse && converter_->GetOptions().Contains(soCacheMimeResponse))
    response = std::make_unique<TTempFileStream>();
  else
    response = std::make_unique<TMemoryStream>();

  // 11. The exchange; the outbound headers are spent either way.
  try {
    request->SetPosition(0);
    if (mimeRequest) {
      handler->GetMIMEStream().SetPosition(0);
      webNode_->Exchange(handler->GetMIMEStream(), *response);
    } else {
      webNode_->Exchange(*request, *response);
    }
  } catch (...) {
    outHeaders_->Clear();
    if (mimeRequest) converter_->ClearAttachments();
    throw;
  }
  outHeaders_->Clear();
  if (mimeRequest) converter_->ClearAttachments();

  // 12.
  if (OnAfterExecute) {
    response->SetPosition(0);
    OnAfterExecute(me.Name, *response);
  }
  response->SetPosition(0);

  // 13. A multipart answer: the envelope is decoded, the rest become attachments.
  TStream* toDecode = response.get();
  std::string boundary = webNode_->GetMimeBoundary();
  if (!boundary.empty()) {
    if (!handler) handler = CreateMimeAttachmentHandler(OnSendAttachment, OnGetAttachment);
    soapPart = std::make_unique<TMemoryStream>();
    handler->ProcessMultiPartForm(*response, *soapPart, boundary, converter_->GetAttachments(),
                                  converter_->GetTempDir());
    soapPart->SetPosition(0);
    toDecode = soapPart.get();
  }

  // 14. Decode into the slots and the result.
  converter_->ReadResponse(*toDecode, intfMD_, me, *context_, inHeaders_.get());

  // 16. Hand the result over.
  if (me.ResultInfo && !direct) {
    PTypeInfo t = me.ResultInfo;
    size_t size = t->Kind == tkClass || t->Kind == tkInterface ? sizeof(void*) : t->Size;
    std::memcpy(result, cell.raw, std::min(size, sizeof cell.raw));
  }
}
