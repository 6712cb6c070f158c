#include "soap/SOAPAttach.h"

#include <random>

#include "runtime/Strings.h"

namespace {

std::string NewBoundary() {
  static const char hex[] = "0123456789ABCDEF";
  std::random_device rd;
  std::string b = "MIME_boundary_";
  for (int i = 0; i < 24; ++i) b += hex[rd() % 16];
  return b;
}

class TMimeAttachmentHandler : public TInterfacedObject, public IMimeAttachmentHandler {
 public:
  TMimeAttachmentHandler(TOnSendAttachmentEvent onSend, TOnGetAttachmentEvent onGet)
      : onSend_(std::move(onSend)), onGet_(std::move(onGet)), boundary_(NewBoundary()) {}

  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IMimeAttachmentHandler::IID) {
      *obj = static_cast<IMimeAttachmentHandler*>(this);
      _AddRef();
      return S_OK;
    }
    return TInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TInterfacedObject::_Release(); }

  void CreateMimeStream(TStream& envelope, const TSoapDataList& attachments) override {
    envelope_ = envelope.ReadRest();
    attachments_ = attachments;
    built_ = false;
  }
  void AddSoapHeader(const std::string& line) override {
    soapHeaders_.push_back(line);
    built_ = false;
  }
  TStream& GetMIMEStream() override {
    if (!built_) Build();
    return stream_;
  }
  std::string GetMIMEBoundary() override { return boundary_; }
  void SetMIMEBoundary(const std::string& b) override {
    boundary_ = b;
    built_ = false;
  }

  void ProcessMultiPartForm(TStream& source, TStream& soapPart, const std::string& boundary,
                            TSoapDataList& attachments, const std::string&) override {
    std::string body = source.ReadRest();
    std::string delim = "--" + boundary;
    size_t pos = body.find(delim);
    bool first = true;
    while (pos != std::string::npos) {
      pos += delim.size();
      if (body.compare(pos, 2, "--") == 0) break;  // closing delimiter
      size_t next = body.find("\r\n" + delim, pos);
      if (next == std::string::npos) next = body.size();
      std::string part = body.substr(pos, next - pos);
      if (part.rfind("\r\n", 0) == 0) part.erase(0, 2);
      size_t split = part.find("\r\n\r\n");
      std::string headers = split == std::string::npos ? "" : part.substr(0, split);
      std::string content = split == std::string::npos ? part : part.substr(split + 4);
      if (first) {
        soapPart.WriteString(content);
        first = false;
      } else {
        auto* a = new TSOAPAttachment;
        a->Data = content;
        for (const std::string& h : SplitLines(headers)) {
          if (SameText(h.substr(0, 13), "Content-Type:")) a->ContentType = Trim(h.substr(13));
        }
        if (onGet_) {
          TMemoryStream s(content);
          onGet_(s, a);
        }
        attachments.push_back(a);
      }
      pos = next == body.size() ? std::string::npos : body.find(delim, next);
    }
    if (first) throw Exception("Invalid multipart response: no SOAP part");
  }

 private:
  static std::vector<std::string> SplitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t b = 0;
    while (b <= s.size()) {
      size_t e = s.find("\r\n", b);
      if (e == std::string::npos) e = s.size();
      if (e > b) out.push_back(s.substr(b, e - b));
      b = e + 2;
    }
    return out;
  }

  void Build() {
    stream_.Clear();
    std::string out = "--" + boundary_ + "\r\n";
    for (const std::string& h : soapHeaders_) out += h + "\r\n";
    out += "Content-ID: <envelope>\r\n\r\n" + envelope_ + "\r\n";
    int n = 0;
    for (TSOAPAttachment* a : attachments_) {
      std::string data = a->Data;
      if (onSend_) {
        TMemoryStream s(data);
        onSend_(s, a);
        data = s.DataString();
      }
      out += "--" + boundary_ + "\r\n";
      out += "Content-Type: " + (a->ContentType.empty() ? std::string("application/octet-stream") : a->ContentType) +
             "\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <attachment" + std::to_string(++n) + ">\r\n\r\n";
      out += data + "\r\n";
    }
    out += "--" + boundary_ + "--\r\n";
    stream_.WriteString(out);
    stream_.SetPosition(0);
    built_ = true;
  }

  TOnSendAttachmentEvent onSend_;
  TOnGetAttachmentEvent onGet_;
  std::string boundary_;
  std::string envelope_;
  TSoapDataList attachments_;
  std::vector<std::string> soapHeaders_;
  TMemoryStream stream_;
  bool built_ = false;
};

}  // namespace

TIntfPtr<IMimeAttachmentHandler> CreateMimeAttachmentHandler(TOnSendAttachmentEvent onSend,
                                                             TOnGetAttachmentEvent onGet) {
  return TIntfPtr<IMimeAttachmentHandler>(new TMimeAttachmentHandler(std::move(onSend), std::move(onGet)));
}
