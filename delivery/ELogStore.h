// The processing flow's log: the duplicate check with its count, the reset on a new version and
// the saving step, each one load-modify-save of the log under its lock. Linking this library
// registers it with the flow.
#pragma once

#include <string>

#include "reporting/flow/EFlow.h"

class TLogStore final : public ILogStore {
 public:
  bool IsDuplicate(const TTarvexModuleOptions& options, const std::string& identifier, bool count) override;
  void ResetOnNewVersion(const TTarvexModuleOptions& options, const std::string& mainModuleVersion) override;
  bool SaveReport(const TTarvexModuleOptions& options, const std::string& reportText, bool duplicate,
                  std::string& textToSend) override;
};

// The stored count (field 2.8) raised by one: 1 when it is not a number, never past the largest
// count.
std::string NextLogCount(const std::string& stored);
