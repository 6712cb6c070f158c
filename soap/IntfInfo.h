// Interface metadata as the proxy and the converter use it, and the invocation context that
// carries one call's arguments and result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/TypInfo.h"
#include "soap/InvokeRegistry.h"

struct TIntfParamEntry {
  TParamFlags Flags = 0;
  std::string Name;
  PTypeInfo Info = nullptr;
};
using TIntfParamEntryArray = std::vector<TIntfParamEntry>;

struct TIntfMethEntry {
  std::string Name;
  TCallConv CC = ccStdCall;
  int Pos = 0;            // index in the interface's method table
  int ParamCount = 0;     // without the implicit interface parameter
  PTypeInfo ResultInfo = nullptr;  // none for a procedure
  PTypeInfo SelfInfo = nullptr;    // the implicit interface parameter
  TIntfParamEntryArray Params;
  bool HasRTTI = false;
};
using TIntfMethEntryArray = std::vector<TIntfMethEntry>;

struct TIntfMetaData {
  std::string Name;
  std::string UnitName;
  TIntfMethEntryArray MDA;  // ancestors' methods first when read with all ancestors
  TGUID IID;
  PTypeInfo Info = nullptr;
  PTypeInfo AncInfo = nullptr;
  int NumAnc = 0;  // number of ancestor methods
};

// Reads the metadata of an interface type. Raises EInterfaceRTTIException
// "Interface %s has no RTTI" or "Parameter %s on Method %s of Interface %s has no RTTI".
void GetIntfMetaData(PTypeInfo info, TIntfMetaData& md, bool includeAllAncestors);

// Objects decoded in a call's context; empty on the client, which owns what it receives.
class TDataContext {
 public:
  virtual ~TDataContext() = default;
};

// One call's arguments: a slot per parameter (plus one) pointing at where each argument
// lives, and the pointer the result is written through.
class TInvContext : public TDataContext {
 public:
  void SetMethodInfo(const TIntfMethEntry& me);
  void* GetParamPointer(int i) const { return slots_.at(static_cast<size_t>(i)); }
  void SetParamPointer(int i, void* p) { slots_.at(static_cast<size_t>(i)) = p; }
  void* GetResultPointer() const { return result_; }
  void SetResultPointer(void* p) { result_ = p; }
  size_t SlotCount() const { return slots_.size(); }

 private:
  std::vector<void*> slots_;
  std::vector<uint8_t> scratch_;  // 20 bytes a slot, for servers that keep values here
  void* result_ = nullptr;
};

// Total bytes a stack-based method's arguments take, for the 252-byte limit.
int MethodArgumentSpace(const TIntfMethEntry& me);
