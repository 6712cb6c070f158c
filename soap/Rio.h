// The remote invocation proxy: an object that implements a registered service interface by
// turning each call into a request through its converter and an exchange through its
// transport.
//
// Each service interface has a proxy class compiled into its binding (a "stub"): its methods
// put the address of every argument into a slot array and call TRIO::Generic with the method's
// index. The stub is created when the proxy is bound and forwards reference counting to it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Classes.h"
#include "runtime/Streams.h"
#include "soap/IntfInfo.h"
#include "soap/OPConvert.h"
#include "soap/WebNode.h"

class TRIO;

// The proxy access interface: hands out the proxy object itself.
class IRIOAccess : public IInterface {
  ZELK_INTERFACE(IRIOAccess, "{FEF7C9CC-A477-40B7-ACBE-487EDA3E5DFE}")
 public:
  virtual TRIO* GetRIO() = 0;
};

// SOAP headers of the calls made through a proxy.
class ISOAPHeaders : public IInterface {
  ZELK_INTERFACE(ISOAPHeaders, "{E240BE0C-256F-D611-96FA-00C04FA06B45}")
 public:
  // Queues a header for the next call (once; the caller keeps ownership).
  virtual void Send(TSOAPHeader* header) = 0;
  virtual TSOAPHeader* GetOutbound(size_t index) = 0;
  // The first inbound header of the class (or a subclass), removed from the list; the caller
  // owns it. None when there is no such header.
  virtual TSOAPHeader* Get(TClass cls) = 0;
  virtual TSOAPHeader* Get(const WideString& nameSpace, const WideString& name) = 0;
};

// The compiled stand-in for one interface's method table.
class TRIOInterfaceStub {
 public:
  explicit TRIOInterfaceStub(TRIO* rio) : rio_(rio) {}
  virtual ~TRIOInterfaceStub() = default;
  // The interface pointer the proxy hands out for the bound GUID.
  virtual IInterface* Interface() = 0;

 protected:
  TRIO* rio_;
};
using TRIOStubFactory = std::unique_ptr<TRIOInterfaceStub> (*)(TRIO* rio);
// Bindings register the proxy class of each of their interfaces.
void RegisterInterfaceStub(const TGUID& iid, TRIOStubFactory factory);
TRIOStubFactory FindInterfaceStub(const TGUID& iid);

// The temporary file a cached MIME response goes to; deleted with the stream.
class TTempFileStream : public THandleStream {
 public:
  TTempFileStream();
  ~TTempFileStream() override;
  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
};

using TBeforeExecuteEvent = std::function<void(const std::string& methodName, WideString& request)>;
using TAfterExecuteEvent = std::function<void(const std::string& methodName, TStream& response)>;
using TOnSendAttachmentEvent = std::function<void(TStream& attachmentStream, TSOAPAttachment* attachment)>;
using TOnGetAttachmentEvent = std::function<void(TStream& attachmentStream, TSOAPAttachment* attachment)>;

class TSOAPHeaders;

class TRIO : public TComponent, public IRIOAccess {
  ZELK_CLASS(TRIO, TComponent)
 public:
  explicit TRIO(TComponent* owner = nullptr);
  ~TRIO() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override;
  int32_t _Release() override;
  TRIO* GetRIO() override { return this; }
  int32_t RefCount() const { return refCount_.load(); }

  // The generic invocation: method `methodIndex` of the bound interface, with a pointer per
  // parameter in `args` and the caller's result storage in `result` (ignored for procedures).
  void Generic(int methodIndex, void* const* args, void* result);

  // Collaborators, by interface (tests and other transports plug in here).
  IOPConvert* ConverterIntf() const { return converter_.Get(); }
  IWebNode* WebNodeIntf() const { return webNode_.Get(); }
  void SetConverterIntf(TIntfPtr<IOPConvert> c);
  void SetWebNodeIntf(TIntfPtr<IWebNode> w);

  bool Bound() const { return bound_; }
  const TIntfMetaData& IntfMD() const { return intfMD_; }
  THeaderList& InboundHeaders() { return *inHeaders_; }
  THeaderList& OutboundHeaders() { return *outHeaders_; }

  TBeforeExecuteEvent OnBeforeExecute;
  TAfterExecuteEvent OnAfterExecute;
  TOnSendAttachmentEvent OnSendAttachment;
  TOnGetAttachmentEvent OnGetAttachment;

 protected:
  // Called after every successful answer for the bound interface.
  virtual void AfterBind();
  // For subclasses: the reference count stays 1 until the subclass's constructor has
  // finished and calls Loaded(), so that nothing done while constructing releases the proxy.
  struct TDeferLoaded {};
  TRIO(TComponent* owner, TDeferLoaded);
  void Loaded() { refCount_ = 0; }

  std::atomic<int32_t> refCount_{1};  // 1 while constructing; back to 0 when done

 private:
  bool Bind(const TGUID& iid);
  void ApplyInvokeOptions();

  bool bound_ = false;
  bool intfRegistered_ = false;
  bool metadataRead_ = false;
  TGUID boundIID_;
  TIntfMetaData intfMD_;
  std::unique_ptr<TRIOInterfaceStub> stub_;
  std::unique_ptr<TInvContext> context_;
  std::unique_ptr<TSOAPHeaders> headers_;
  std::unique_ptr<THeaderList> inHeaders_;
  std::unique_ptr<THeaderList> outHeaders_;
  TIntfPtr<IOPConvert> converter_;
  TIntfPtr<IWebNode> webNode_;
};
