#include "delivery/ELogStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "delivery/EDelivery.h"
#include "delivery/ELogManager.h"
#include "delivery/EScreenshot.h"

namespace {

constexpr const char* kIdField = "2.7";
constexpr const char* kCountField = "2.8";
constexpr const char* kVersionField = "1.3";

}  // namespace

std::string NextLogCount(const std::string& stored) {
  size_t b = stored.find_first_not_of(' ');
  size_t e = stored.find_last_not_of(' ');
  const std::string digits = b == std::string::npos ? std::string() : stored.substr(b, e - b + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return "2";
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  uint64_t n = 0;
  for (char c : digits) {
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n >= kMax) return std::to_string(kMax);  // a count that would overflow stays at the top
  }
  return std::to_string(n + 1);
}

bool TLogStore::IsDuplicate(const TTarvexModuleOptions& options, const std::string& identifier, bool count) {
  if (!options.LogFlags().Contains(lfSkipDuplicates) || identifier.empty()) return false;
  const std::string name = options.LogFileName();
  if (name.empty()) return false;
  bool found = false;
  try {
    TLogFile log(name, !count);
    const int index = log.FindEntry({kIdField}, {identifier});
    found = index >= 0;
    if (found && count) {
      log.SetField(kCountField, NextLogCount(log.GetField(kCountField, index)), index, "Count");
      log.Save();
    }
  } catch (...) {
    // A log that cannot be read or written only loses the count.
  }
  return found;
}

void TLogStore::ResetOnNewVersion(const TTarvexModuleOptions& options, const std::string& mainModuleVersion) {
  const std::string name = options.LogFileName();
  if (name.empty() || mainModuleVersion.empty()) return;
  try {
    TLogFile log(name, false);
    const std::string stored = log.GetField(kVersionField, log.Count() - 1);
    if (stored.empty() || stored == mainModuleVersion) return;
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0) ::chmod(name.c_str(), st.st_mode | S_IWUSR);
    ::unlink(name.c_str());
  } catch (...) {
  }
}

bool TLogStore::SaveReport(const TTarvexModuleOptions& options, const std::string& reportText, bool duplicate,
                           std::string& textToSend) {
  try {
    const std::string name = options.LogFileName();
    if (name.empty()) throw ELogFileError("No place for the log file.");
    TLogFile log(name, false);
    if (!duplicate) log.Add(reportText, options.MaxSavedReports());
    if (options.SendFlags().Contains(sfWholeLogText)) textToSend = log.GetAllText();
    log.Save();
    return true;
  } catch (...) {
    ReportSectionWarning(eeLogError, "Log");
    return false;
  }
}

namespace {

// The log, the delivery routes and the screenshot, all with the flow at once.
const bool g_registered = [] {
  SetLogStore(std::make_shared<TLogStore>());
  SetDelivery(std::make_shared<TDelivery>());
  SetScreenshot(MakeScreenshot());
  return true;
}();

}  // namespace

// Named by the link option of `zelk_delivery`, so the registration above is always linked.
extern "C" __attribute__((used)) const bool* TarvexLog_DeliveryAnchor() { return &g_registered; }
