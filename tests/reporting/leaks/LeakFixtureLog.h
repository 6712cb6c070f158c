// The leak fixtures' log store: reports go to the log file the test names, whatever routes the
// delivery library has. Made before tracking starts, so that it is not one of the fixture's
// leaks; the name is filled in by main.
#pragma once

#include <string>

#include "delivery/ELogManager.h"
#include "reporting/flow/EFlow.h"

class TFixtureLog final : public ILogStore {
 public:
  bool IsDuplicate(const TTarvexModuleOptions&, const std::string&, bool) override { return false; }
  void ResetOnNewVersion(const TTarvexModuleOptions&, const std::string&) override {}
  bool SaveReport(const TTarvexModuleOptions&, const std::string& reportText, bool, std::string&) override {
    TLogFile log(FileName, false);
    log.Add(reportText);
    log.Save();
    return true;
  }
  char FileName[4096] = {};
};
