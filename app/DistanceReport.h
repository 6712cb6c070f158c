// The distance query of the main window's button and the lines of its report; the console
// companion runs the same code.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "binding/ZelkDistance1.h"

// The route-option code for a radio-group index: "001" to "005"; empty for anything else.
WideString PiracyCodeFor(int itemIndex);

// Asks the service for Busan -> London -> Mobile under the route option of `itemIndex`.
// `address` empty means the built-in endpoint. The caller owns the result.
std::unique_ptr<GetDistReturn> QueryDistance(int itemIndex, const std::string& address = {});

// Emits the report lines of an answer one at a time, so that a failure part-way leaves the
// lines already emitted in place.
void WriteReport(const GetDistReturn& result, const std::function<void(const std::string&)>& emit);
