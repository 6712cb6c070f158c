#include "soap/IntfInfo.h"

namespace {

// The three reference-counting methods every interface starts with; they carry no metadata.
void AddBaseMethods(TIntfMethEntryArray& mda, PTypeInfo self) {
  for (const char* name : {"QueryInterface", "_AddRef", "_Release"}) {
    TIntfMethEntry e;
    e.Name = name;
    e.Pos = static_cast<int>(mda.size());
    e.SelfInfo = self;
    e.HasRTTI = false;
    mda.push_back(std::move(e));
  }
}

std::string QualifiedName(PTypeInfo info) { return info->UnitName + "." + info->Name; }

void AddOwnMethods(PTypeInfo info, PTypeInfo self, TIntfMethEntryArray& mda) {
  for (const TIntfMethodInfo& m : info->Intf->Methods) {
    TIntfMethEntry e;
    e.Name = m.Name;
    e.CC = m.CallConv;
    e.Pos = static_cast<int>(mda.size());
    e.ParamCount = static_cast<int>(m.Params.size());
    e.ResultInfo = m.Result;
    e.SelfInfo = self;
    e.HasRTTI = true;
    for (const TIntfParamInfo& p : m.Params) {
      if (!p.Type)
        throw EInterfaceRTTIException("Parameter %s on Method %s of Interface %s has no RTTI",
                                      {p.Name, m.Name, QualifiedName(self)});
      e.Params.push_back({p.Flags, p.Name, p.Type});
    }
    mda.push_back(std::move(e));
  }
}

}  // namespace

void GetIntfMetaData(PTypeInfo info, TIntfMetaData& md, bool includeAllAncestors) {
  if (!info || info->Kind != tkInterface || !info->Intf || !info->Intf->HasMethodInfo)
    throw EInterfaceRTTIException("Interface %s has no RTTI", {info ? QualifiedName(info) : std::string("?")});
  md = TIntfMetaData{};
  md.Name = info->Name;
  md.UnitName = info->UnitName;
  md.IID = info->Intf->Guid;
  md.Info = info;
  md.AncInfo = info->Intf->Parent;

  // The chain from the root interface down to this one.
  std::vector<PTypeInfo> chain;
  for (PTypeInfo t = info; t; t = t->Intf ? t->Intf->Parent : nullptr) chain.insert(chain.begin(), t);

  TIntfMethEntryArray all;
  AddBaseMethods(all, info);
  for (PTypeInfo t : chain) {
    if (!t->Intf || !t->Intf->HasMethodInfo) continue;  // the root: its methods are the three above
    if (t == info) md.NumAnc = static_cast<int>(all.size());
    AddOwnMethods(t, info, all);
  }
  if (includeAllAncestors) {
    md.MDA = std::move(all);
  } else {
    md.MDA.assign(all.begin() + md.NumAnc, all.end());
  }
}

void TInvContext::SetMethodInfo(const TIntfMethEntry& me) {
  size_t n = static_cast<size_t>(me.ParamCount) + 1;
  slots_.assign(n, nullptr);
  scratch_.assign(n * 20, 0);
  result_ = nullptr;
}

namespace {
bool PassedByReference(const TIntfParamEntry& p) {
  return (p.Flags & (pfVar | pfOut)) != 0 || p.Info->Kind == tkString;
}
}  // namespace

int MethodArgumentSpace(const TIntfMethEntry& me) {
  int space = 4;  // the interface itself
  bool calleeRemoves = me.CC == ccStdCall || me.CC == ccSafeCall || me.CC == ccPascal;
  for (const TIntfParamEntry& p : me.Params) {
    if (PassedByReference(p)) {
      space += 4;
      continue;
    }
    PTypeInfo t = p.Info;
    if (t->Kind == tkInt64) space += 8;
    else if (t->Kind == tkFloat)
      space += t->FloatType == ftExtended ? 12 : t->FloatType == ftSingle ? 4 : 8;
    else if (t->Kind == tkVariant && calleeRemoves) space += 16;
    else space += 4;
  }
  if (me.CC == ccSafeCall) {
    space += 4;
  } else if (me.ResultInfo) {
    switch (me.ResultInfo->Kind) {
      case tkLString: case tkWString: case tkString: case tkVariant: case tkDynArray: space += 4; break;
      default: break;
    }
  }
  return space;
}
