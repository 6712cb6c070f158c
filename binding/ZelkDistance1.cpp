#include "binding/ZelkDistance1.h"

#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "soap/SOAPHTTPClient.h"

const WideString SZelkDistanceNamespace = u"http://ws.zelk.example";

ZELK_DYNARRAY_INFO(ArrayOf_xsd_string, "ZelkDistance1")
ZELK_DYNARRAY_INFO(ArrayOfWayPoint, "ZelkDistance1")
ZELK_DYNARRAY_INFO(ArrayOfSection, "ZelkDistance1")

ZELK_CLASS_INFO(WayPoint, "ZelkDistance1", ZELK_PROP(lat), ZELK_PROP(lon), ZELK_PROP(name_), ZELK_PROP(seca))
ZELK_CLASS_INFO(Section, "ZelkDistance1", ZELK_PROP(distance), ZELK_PROP(distanceSECA), ZELK_PROP(fromPort),
                ZELK_PROP(toPort), ZELK_PROP(waypoints))
ZELK_CLASS_INFO(GetDistReturn, "ZelkDistance1", ZELK_PROP(dayLimit), ZELK_PROP(retCode), ZELK_PROP(retMessage),
                ZELK_PROP(sections), ZELK_PROP(todayUsed), ZELK_PROP(totalDistance), ZELK_PROP(totalDistanceSECA))

ZELK_INTERFACE_INFO(ZelkDistance, IInvokable, "ZelkDistance1",
                    ZELK_METHOD("getDistance", ccStdCall, TypeInfo<GetDistReturn*>(),
                                ZELK_PARAM(pfConst, "pinCode", WideString),
                                ZELK_PARAM(pfConst, "accessCode", WideString),
                                ZELK_PARAM(pfConst, "portNames", ArrayOf_xsd_string),
                                ZELK_PARAM(0, "PiracyCode", WideString)))

// A decoded answer may name one object in several slots (a shared multi-reference element);
// each object is destroyed once, at its first slot.
namespace {
template <class T>
void DestroyOnce(std::vector<T*>& items, std::unordered_set<const void*>& done) {
  for (T*& item : items) {
    if (item && done.insert(item).second) delete item;
    item = nullptr;
  }
  items.clear();
}
}  // namespace

Section::~Section() {
  std::unordered_set<const void*> done;
  DestroyOnce(waypoints, done);
}

GetDistReturn::~GetDistReturn() {
  // Way points shared between sections go first, once, before their sections.
  std::unordered_set<const void*> sectionsSeen, pointsDone;
  for (Section* s : sections)
    if (s && sectionsSeen.insert(s).second) DestroyOnce(s->waypoints, pointsDone);
  std::unordered_set<const void*> done;
  DestroyOnce(sections, done);
}

namespace {

// The proxy class of ZelkDistance: packs the arguments for the proxy's generic invocation.
class TZelkDistanceStub : public TRIOInterfaceStub, public ZelkDistance {
 public:
  using TRIOInterfaceStub::TRIOInterfaceStub;
  IInterface* Interface() override { return static_cast<ZelkDistance*>(this); }

  HRESULT QueryInterface(const TGUID& iid, void** obj) override { return rio_->QueryInterface(iid, obj); }
  int32_t _AddRef() override { return rio_->_AddRef(); }
  int32_t _Release() override { return rio_->_Release(); }

  GetDistReturn* getDistance(const WideString& pinCode, const WideString& accessCode,
                             const ArrayOf_xsd_string& portNames, WideString PiracyCode) override {
    void* const args[] = {const_cast<WideString*>(&pinCode), const_cast<WideString*>(&accessCode),
                          const_cast<ArrayOf_xsd_string*>(&portNames), &PiracyCode};
    GetDistReturn* result = nullptr;
    rio_->Generic(3, args, &result);
    return result;
  }
};

std::unique_ptr<TRIOInterfaceStub> MakeZelkDistanceStub(TRIO* rio) { return std::make_unique<TZelkDistanceStub>(rio); }

}  // namespace

void RegisterZelkDistance() {
  TInvokableClassRegistry* inv = GetInvokableRegistry();
  TRemotableTypeRegistry* types = GetTypeRegistry();
  const WideString& ns = SZelkDistanceNamespace;
  inv->AddInterface(TypeInfo<ZelkDistance>(), ns, u"UTF-8", "", u"");
  inv->SetDefaultSoapAction(TypeInfo<ZelkDistance>(), "");
  types->AddType(TypeInfo<ArrayOf_xsd_string>(), ns, u"ArrayOf_xsd_string", u"");
  types->AddClass(&WayPoint::StaticClass(), ns, u"WayPoint", u"", false, ocDefault);
  types->AddExternalPropertyName(TypeInfo<WayPoint*>(), "name_", u"name");
  types->AddType(TypeInfo<ArrayOfWayPoint>(), ns, u"ArrayOfWayPoint", u"");
  types->AddClass(&Section::StaticClass(), ns, u"Section", u"", false, ocDefault);
  types->AddType(TypeInfo<ArrayOfSection>(), ns, u"ArrayOfSection", u"");
  types->AddClass(&GetDistReturn::StaticClass(), ns, u"GetDistReturn", u"", false, ocDefault);
}

void InitializeZelkDistance1() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterZelkDistance();
    RegisterInterfaceStub(ZelkDistance::IID, MakeZelkDistanceStub);
  });
}

const TIntfMetaData& ZelkDistanceMetaData() {
  static const TIntfMetaData md = [] {
    InitializeZelkDistance1();
    TIntfMetaData m;
    GetIntfMetaData(TypeInfo<ZelkDistance>(), m, true);
    return m;
  }();
  return md;
}

std::string DefaultZelkDistanceURL() {
  const char* env = std::getenv("ZELK_DISTANCE_URL");
  if (env && *env) return env;
  return ZELK_DEFAULT_DISTANCE_URL;
}

std::string DefaultZelkDistanceWSDL() { return DefaultZelkDistanceURL() + "?wsdl"; }

TIntfPtr<ZelkDistance> GetZelkDistance(bool useWSDL, const std::string& address, THTTPRIO* existingProxy) {
  TIntfPtr<ZelkDistance> result;
  std::string addr = address;
  if (addr.empty()) addr = useWSDL ? DefaultZelkDistanceWSDL() : DefaultZelkDistanceURL();
  THTTPRIO* rio = existingProxy ? existingProxy : new THTTPRIO(nullptr);
  // A proxy made here that never got bound has no reference yet: it is ours to destroy.
  try {
    result = IntfCast<ZelkDistance>(static_cast<IRIOAccess*>(rio));
  } catch (...) {
    if (!existingProxy) delete rio;
    throw;
  }
  // The interface is bound before the endpoint is set; from here on the reference owns it.
  if (!useWSDL) {
    rio->SetURL(addr);
  } else {
    rio->SetWSDLLocation(addr);
    rio->SetService("ZelkDistanceService");
    rio->SetPort("ZelkDistance");
  }
  return result;
}
