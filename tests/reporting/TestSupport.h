// Helpers shared by the reporting tests.
#pragma once

#include <string>
#include <vector>

#include "reporting/options/ECore.h"
#include "tests/support/TestSupport.h"  // ScopedEnv

// Gives every stored option a value that differs from its default, two filters included.
void FillWithNonDefaults(TTarvexModuleOptions& o);

// A fresh folder under $TMPDIR, removed with its contents at the end of the test.
class TTempFolder {
 public:
  TTempFolder();
  ~TTempFolder();
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};


// Runs a program with arguments (no shell); returns its exit code and what it wrote to
// stdout and stderr.
struct TRunResult {
  int ExitCode = -1;
  std::string Output;
};
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args);
