// The message converter's interface: builds request streams and reads responses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/Sets.h"
#include "runtime/Streams.h"
#include "soap/IntfInfo.h"

enum TSOAPConvertOption : uint8_t {
  soSendUntyped, soSendMultiRefObj, soSendMultiRefArray, soTryAllSchema, soRootRefNodesToBody, soDocument,
  soReturnSuccessForFault, soUTF8InHeader, soDontSendEmptyNodes, soCacheMimeResponse,
  soDontClearOutBoundHeaders, soCustomFaultAtDetailsNode, soLiteralParams, soUTF8EncodeXML, soXXXXHdr
};
using TSOAPConvertOptions = TSet<TSOAPConvertOption>;

// Attachments of a call: the converter's list.
using TSoapDataList = std::vector<TSOAPAttachment*>;

class IOPConvert : public IInterface {
  ZELK_INTERFACE(IOPConvert, "{1F955FE3-890B-474C-A3A4-5E072D30CC4F}")
 public:
  virtual TSOAPConvertOptions GetOptions() = 0;
  virtual void SetOptions(TSOAPConvertOptions options) = 0;
  virtual TSoapDataList& GetAttachments() = 0;
  virtual void SetAttachments(const TSoapDataList& attachments) = 0;
  virtual std::string GetTempDir() = 0;
  virtual void SetTempDir(const std::string& dir) = 0;
  virtual WideString GetEncoding() = 0;
  virtual void SetEncoding(const WideString& encoding) = 0;
  // A new request stream (the caller owns it), positioned at its end.
  virtual std::unique_ptr<TStream> BuildRequest(const TIntfMetaData& md, int methNum, TInvContext& context,
                                                THeaderList* headers) = 0;
  // Writes out-parameters and the result through the context, or raises the fault.
  virtual void ReadResponse(TStream& response, const TIntfMetaData& md, const TIntfMethEntry& me,
                            TInvContext& context, THeaderList* headers) = 0;
  virtual void ReadResponse(const WideString& response, const TIntfMetaData& md, const TIntfMethEntry& me,
                            TInvContext& context, THeaderList* headers) = 0;
  // Drops the attachments of the last call (the proxy's clean-up after every exchange).
  virtual void ClearAttachments() = 0;
};
