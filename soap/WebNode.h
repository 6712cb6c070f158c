// The transport's interface, and the attachment handler of the MIME binding.
#pragma once

#include <memory>
#include <string>

#include "runtime/Streams.h"
#include "soap/IntfInfo.h"
#include "soap/OPConvert.h"

// Builds a multipart request around the envelope and splits a multipart answer.
class IMimeAttachmentHandler : public IInterface {
  ZELK_INTERFACE(IMimeAttachmentHandler, "{5C2D8E7A-41B6-4F3A-9D0E-7A1B2C3D4E5F}")
 public:
  // Prepares the combined request from the envelope and the attachments.
  virtual void CreateMimeStream(TStream& envelope, const TSoapDataList& attachments) = 0;
  // A header line (e.g. "Content-Type: ...") for the envelope's part.
  virtual void AddSoapHeader(const std::string& line) = 0;
  virtual TStream& GetMIMEStream() = 0;
  virtual std::string GetMIMEBoundary() = 0;
  virtual void SetMIMEBoundary(const std::string& boundary) = 0;
  // Splits a multipart answer: the envelope goes to `soapPart`, other parts become
  // attachments kept in `tempDir`.
  virtual void ProcessMultiPartForm(TStream& source, TStream& soapPart, const std::string& boundary,
                                    TSoapDataList& attachments, const std::string& tempDir) = 0;
};

class IWebNode : public IInterface {
  ZELK_INTERFACE(IWebNode, "{77DB2644-0C12-4C0A-920E-89579DB9CC16}")
 public:
  virtual void ExchangeText(const std::string& request, TStream& response) = 0;
  virtual void PrepareCall(const TIntfMetaData& md, const TIntfMethEntry& me, int methodIndex,
                           IMimeAttachmentHandler* handler) = 0;
  virtual void Exchange(TStream& request, TStream& response) = 0;
  virtual std::unique_ptr<TStream> ExchangeToNewStream(TStream& request) = 0;
  virtual std::string GetMimeBoundary() = 0;
  virtual void SetMimeBoundary(const std::string& boundary) = 0;
};
