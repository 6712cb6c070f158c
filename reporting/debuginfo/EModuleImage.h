// What the loader and the file say about one loaded module: the facts a module record is
// made of, kept apart from the record logic so that it reads no platform interface itself.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reporting/debuginfo/EDebug.h"

struct TModuleImage {
  TModuleHandle Handle = 0;
  uintptr_t LoadBias = 0;
  std::string FileName;
  bool Main = false;
  std::string BuildId;  // from the loaded notes
  std::vector<std::pair<uintptr_t, uintptr_t>> CodeRanges, LoadRanges;
};

// Changes whenever the loader maps or unmaps an object.
uint64_t LoaderGeneration();
// Every loaded object that has a file, the main module first.
std::vector<TModuleImage> LoadedModuleImages();
// The loaded object with that handle, or whose segments hold the address.
bool ModuleImageOf(TModuleHandle handle, TModuleImage& image);
bool ModuleImageAt(uintptr_t address, TModuleImage& image);

struct TModuleFileFacts {
  bool Exists = false;
  uint64_t Size = 0;
  int64_t LastModified = 0;  // nanoseconds
};
TModuleFileFacts StatModuleFile(const std::string& fileName);

struct TModuleFileInfo {
  std::string BuildId;
  std::string FileDescription, FileVersion;  // from the version note
  TTarvexFunctionsList Exports;              // with run-time addresses, sorted
};
// Reads the file's build-id, version note and (when `exports`) its exported functions, at
// `loadBias`. Never throws; what cannot be read stays empty.
TModuleFileInfo ReadModuleFile(const std::string& fileName, uintptr_t loadBias, bool exports);
// The build-id of an ELF file; empty when it has none or is not readable.
std::string FileBuildId(const std::string& fileName);

// Demangled C++ name, or the name itself when it is not a mangled one.
std::string DemangledName(const char* name);
// A demangled function name without its parameter list, qualifiers and return type:
// "int ns::TFoo::Method(int) const" -> "ns::TFoo::Method".
std::string WithoutParameters(const std::string& name);
