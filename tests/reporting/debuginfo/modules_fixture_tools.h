// Copies of the fixture object for the module tests: loaded, stripped or split, in a
// temporary folder of their own.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/reporting/debuginfo/modules_fixture.h"

namespace modules_test {

namespace fs = std::filesystem;

inline fs::path TempFolder(const std::string& tag) {
  fs::path base = fs::temp_directory_path() / ("zelk-modules-" + tag + "-XXXXXX");
  std::string pattern = base.string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  return fs::path(made);
}

// Runs a command given as arguments (no shell); true when it exits with 0.
inline bool RunTool(std::initializer_list<std::string> args) {
  std::string line;
  for (const auto& a : args) line += "'" + a + "' ";
  return std::system((line + "> /dev/null 2>&1").c_str()) == 0;
}

struct TLoaded {
  void* handle = nullptr;
  TFixtureRun run = nullptr;
  std::string path;
  TFixtureProbe probes[fcCount];

  explicit TLoaded(const std::string& file) : path(file) {
    handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    run = reinterpret_cast<TFixtureRun>(::dlsym(handle, "FixtureRun"));
    if (run) run(probes);
  }
  ~TLoaded() { Close(); }
  void Close() {
    if (handle) ::dlclose(handle);
    handle = nullptr;
  }
  TLoaded(const TLoaded&) = delete;
  TLoaded& operator=(const TLoaded&) = delete;
};

}  // namespace modules_test
