// The distance service's answer in the layouts its Axis server writes, of any size; plain C++
// so that the peer benchmarks, built apart from this tree, decode exactly the same bytes.
#pragma once

#include <string>

namespace bench {

// An answer with `sections` legs of `points` way points each, every complex value and
// number a separate multiRef element, as the distance service writes it.
inline std::string AxisAnswer(int sections, int points) {
  const std::string mr =
      "<multiRef soapenc:root=\"0\" soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
      "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:ns2=\"http://ws.zelk.example\" ";
  int next = 1;
  std::string refs;
  auto number = [&](const char* type, const std::string& text) {
    int id = next++;
    refs += mr + "id=\"id" + std::to_string(id) + "\" xsi:type=\"xsd:" + type + "\">" + text + "</multiRef>";
    return "href=\"#id" + std::to_string(id) + "\"";
  };
  std::string top = mr + "id=\"id0\" xsi:type=\"ns2:GetDistReturn\">";
  top += "<dayLimit " + number("int", "100") + "/><retCode " + number("int", "0") + "/>";
  top += "<retMessage xsi:type=\"soapenc:string\">OK</retMessage>";
  top += "<sections soapenc:arrayType=\"ns2:Section[" + std::to_string(sections) + "]\" xsi:type=\"soapenc:Array\">";
  std::string sectionElems;
  for (int s = 0; s < sections; ++s) {
    int sid = next++;
    top += "<sections href=\"#id" + std::to_string(sid) + "\"/>";
    std::string sec = mr + "id=\"id" + std::to_string(sid) + "\" xsi:type=\"ns2:Section\">";
    sec += "<distance " + number("double", "10824.1") + "/><distanceSECA " + number("double", "348.6") + "/>";
    sec += "<fromPort xsi:type=\"soapenc:string\">Busan</fromPort><toPort xsi:type=\"soapenc:string\">London</toPort>";
    sec += "<waypoints soapenc:arrayType=\"ns2:WayPoint[" + std::to_string(points) + "]\" xsi:type=\"soapenc:Array\">";
    for (int p = 0; p < points; ++p) {
      int wid = next++;
      sec += "<waypoints href=\"#id" + std::to_string(wid) + "\"/>";
      std::string wp = mr + "id=\"id" + std::to_string(wid) + "\" xsi:type=\"ns2:WayPoint\">";
      wp += "<lat " + number("double", "34.5") + "/><lon " + number("double", "128.9") + "/>";
      wp += "<name xsi:type=\"soapenc:string\">Korea Strait</name><seca " + number("boolean", "false") + "/>";
      refs += wp + "</multiRef>";
    }
    sectionElems += sec + "</waypoints></multiRef>";
  }
  top += "</sections><todayUsed " + number("int", "1") + "/><totalDistance " + number("double", "15572.3") +
         "/><totalDistanceSECA " + number("double", "1368.6") + "/></multiRef>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soapenv:Envelope "
         "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<soapenv:Body><ns1:getDistanceResponse soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
         "xmlns:ns1=\"http://ws.zelk.example\"><getDistanceReturn href=\"#id0\"/></ns1:getDistanceResponse>" +
         top + sectionElems + refs + "</soapenv:Body></soapenv:Envelope>";
}

// The same answer with every value written in place, as Axis writes it with multi-references
// off: for clients that do not follow href references.
inline std::string InlineAnswer(int sections, int points) {
  auto value = [](const char* name, const char* type, const std::string& text) {
    return "<" + std::string(name) + " xsi:type=\"" + type + "\">" + text + "</" + name + ">";
  };
  std::string r = "<getDistanceReturn xsi:type=\"ns1:GetDistReturn\">";
  r += value("dayLimit", "xsd:int", "100") + value("retCode", "xsd:int", "0") +
       value("retMessage", "soapenc:string", "OK");
  r += "<sections soapenc:arrayType=\"ns1:Section[" + std::to_string(sections) + "]\" xsi:type=\"soapenc:Array\">";
  for (int s = 0; s < sections; ++s) {
    r += "<sections xsi:type=\"ns1:Section\">";
    r += value("distance", "xsd:double", "10824.1") + value("distanceSECA", "xsd:double", "348.6");
    r += value("fromPort", "soapenc:string", "Busan") + value("toPort", "soapenc:string", "London");
    r += "<waypoints soapenc:arrayType=\"ns1:WayPoint[" + std::to_string(points) + "]\" xsi:type=\"soapenc:Array\">";
    for (int p = 0; p < points; ++p) {
      r += "<waypoints xsi:type=\"ns1:WayPoint\">";
      r += value("lat", "xsd:double", "34.5") + value("lon", "xsd:double", "128.9");
      r += value("name", "soapenc:string", "Korea Strait") + value("seca", "xsd:boolean", "false");
      r += "</waypoints>";
    }
    r += "</waypoints></sections>";
  }
  r += "</sections>" + value("todayUsed", "xsd:int", "1") + value("totalDistance", "xsd:double", "15572.3") +
       value("totalDistanceSECA", "xsd:double", "1368.6") + "</getDistanceReturn>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soapenv:Envelope "
         "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<soapenv:Body><ns1:getDistanceResponse soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
         "xmlns:ns1=\"http://ws.zelk.example\" xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
         r + "</ns1:getDistanceResponse></soapenv:Body></soapenv:Envelope>";
}

}  // namespace bench
