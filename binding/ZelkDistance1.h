// The sea-route distance service: its interface, result types and their registration.
#pragma once

#include "soap/IntfInfo.h"
#include "soap/InvokeRegistry.h"

// The service's namespace, shared by the operation and all its types.
extern const WideString SZelkDistanceNamespace;

class WayPoint;
class Section;
class GetDistReturn;

ZELK_DYNARRAY(ArrayOf_xsd_string, WideString);
ZELK_DYNARRAY(ArrayOfWayPoint, WayPoint*);
ZELK_DYNARRAY(ArrayOfSection, Section*);

// One point on a leg.
class WayPoint : public TRemotable {
  ZELK_CLASS(WayPoint, TRemotable)
 public:
  double lat = 0;
  double lon = 0;
  WideString name_;
  bool seca = false;
};

// One leg of the route, from one port to the next. Owns its way points.
class Section : public TRemotable {
  ZELK_CLASS(Section, TRemotable)
 public:
  ~Section() override;
  double distance = 0;
  double distanceSECA = 0;
  WideString fromPort;
  WideString toPort;
  ArrayOfWayPoint waypoints;
};

// The answer of getDistance. Owns its sections.
class GetDistReturn : public TRemotable {
  ZELK_CLASS(GetDistReturn, TRemotable)
 public:
  ~GetDistReturn() override;
  int32_t dayLimit = 0;
  int32_t retCode = 0;
  WideString retMessage;
  ArrayOfSection sections;
  int32_t todayUsed = 0;
  double totalDistance = 0;
  double totalDistanceSECA = 0;
};

class ZelkDistance : public IInvokable {
  ZELK_INTERFACE(ZelkDistance, "{ADDF0FF5-F8F6-6A64-F372-077F58D917BF}")
 public:
  // The caller owns the returned object.
  virtual GetDistReturn* getDistance(const WideString& pinCode, const WideString& accessCode,
                                     const ArrayOf_xsd_string& portNames, WideString PiracyCode) = 0;
};

class THTTPRIO;

// The endpoint used when none is given: $ZELK_DISTANCE_URL when set, else the built-in one.
std::string DefaultZelkDistanceURL();
// The service description's location: the endpoint with "?wsdl".
std::string DefaultZelkDistanceWSDL();

// A ZelkDistance reference backed by an HTTP proxy: bound to `address` (an endpoint URL, or
// with `useWSDL` a service description's location; empty for the defaults). A proxy passed
// in is configured instead of a new one and is never destroyed here. Raises EIntfCastError
// "Interface not supported" when the proxy cannot provide the interface.
TIntfPtr<ZelkDistance> GetZelkDistance(bool useWSDL = false, const std::string& address = {},
                                       THTTPRIO* existingProxy = nullptr);

// The registration sequence; the registries ignore a repeated run.
void RegisterZelkDistance();
// The unit's start-up: registers once; later calls do nothing.
void InitializeZelkDistance1();
// The interface's method table as the converter reads it, after the start-up; built once. For
// code that drives the converter without a proxy (tests, fuzzing, benchmarks).
const TIntfMetaData& ZelkDistanceMetaData();
