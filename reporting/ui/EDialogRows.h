// The rows of the detailed dialog's three lists, built here so the helper only draws them.
#pragma once

#include <cstdint>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/report/EReportSnapshot.h"
#include "reporting/ui/EDialogProtocol.h"

class TTarvexModuleOptions;

struct TStackRows {
  std::vector<tarvex_dialog::TListRow> Rows;
  std::vector<const TTarvexStackEntry*> JumpEntries;  // by the rows' JumpId
};

// Entries listed: kind 4, kind 2 with cfShowDllEntries, kind 3 with cfShowPackageEntries except
// those of the main executable; a group row before the first entry of each thread (the
// exception thread's first entry always opens a group) and of each leak of a leak report, an
// empty row before a group of the exception thread or of a running thread.
TStackRows CallStackRows(const TTarvexModuleOptions& options, const TTarvexStackList& stack,
                         const std::vector<TThreadRow>& threads, uint32_t exceptionThread);
std::vector<tarvex_dialog::TListRow> ModuleRows(const std::vector<TModuleRow>& modules, TModuleHandle mainModule);
std::vector<tarvex_dialog::TListRow> ProcessRows(const std::vector<TProcessRow>& processes);

// "1.2.x" from "1.2.3.4"; empty stays empty.
std::string ShortVersion(const std::string& version);
// The folder of a path without its trailing slash ("/" stays).
std::string FolderOf(const std::string& path);
