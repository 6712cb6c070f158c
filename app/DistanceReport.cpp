#include "app/DistanceReport.h"

#include "soap/SOAPHTTPClient.h"

namespace {
const WideString kPinCode = u"QXVJ";
const WideString kAccessCode = u"QXVJ";
}  // namespace

WideString PiracyCodeFor(int itemIndex) {
  switch (itemIndex) {
    case 0: return u"001";
    case 1: return u"002";
    case 2: return u"003";
    case 3: return u"004";
    case 4: return u"005";
    default: return u"";
  }
}

std::unique_ptr<GetDistReturn> QueryDistance(int itemIndex, const std::string& address) {
  TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, address, nullptr);
  WideString code = PiracyCodeFor(itemIndex);
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  // The proxy keeps nothing of the answer; from here on it is ours.
  return std::unique_ptr<GetDistReturn>(proxy->getDistance(kPinCode, kAccessCode, ports, code));
}

void WriteReport(const GetDistReturn& r, const std::function<void(const std::string&)>& emit) {
  emit(Format("Return Code : %d", {r.retCode}));
  emit(Format("Return Message : %s", {r.retMessage}));
  emit(Format("Day Limit : %d", {r.dayLimit}));
  emit(Format("Day Used : %d", {r.todayUsed}));
  emit(Format("Total Distance %n", {r.totalDistance}));
  emit(Format("Total DistanceSECA %n", {r.totalDistanceSECA}));
  for (const Section* s : r.sections) {
    if (!s) continue;  // an absent entry of the answer has nothing to print
    emit(Format("    >%s -> %s [%n] [%n]", {s->fromPort, s->toPort, s->distance, s->distanceSECA}));
    for (const WayPoint* w : s->waypoints) {
      if (!w) continue;
      emit(Format("        >>%s, [%n, %n] [%s]", {w->name_, w->lat, w->lon, w->seca ? "True" : "False"}));
    }
  }
}
