// The ELF objects loaded in the process, known by their load base (the module handle).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "reporting/options/ECore.h"

struct dl_phdr_info;

struct TLoadedModule {
  TModuleHandle Handle = 0;
  std::string FileName;  // full path; the main module's from /proc/self/exe
};

// Every loaded object that has a file, the main module first.
std::vector<TLoadedModule> LoadedModules();
// The loaded module with that file name (a full path, or a bare name compared with the file
// part); 0 when not loaded or empty.
TModuleHandle ModuleHandleOf(std::string_view fileName);
std::string ModuleFileName(TModuleHandle handle);
// The module that contains the running reporting code: with several copies of the layer in
// one process, each copy answers its own module.
TModuleHandle ReportingModuleHandle();
TModuleHandle MainModuleHandle();
std::string MainModuleFileName();
// The handle of a module the loader reports.
TModuleHandle ModuleLoadBase(const dl_phdr_info* info);
