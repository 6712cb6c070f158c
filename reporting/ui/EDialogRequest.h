// What the core tells the helper about a dialog, and what it makes of the helper's result: the
// rules of both dialogs that need no window.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "reporting/flow/EFlow.h"
#include "reporting/ui/EDialogProtocol.h"
#include "reporting/ui/EDialogRows.h"
#include "reporting/ui/EDialogSettings.h"

// What the detail pages show, as the processing flow has it.
struct TDialogDetails {
  std::string GeneralPart, AssemblerPart, CpuPart;  // report texts, rendered to rich text here
  const TTarvexStackList* Stack = nullptr;
  std::vector<TThreadRow> Threads;
  std::vector<TModuleRow> Modules;
  std::vector<TProcessRow> Processes;
  TModuleHandle MainModule = 0;
};

// What the request depends on besides the options.
struct TDialogContext {
  TDialogKind Kind = dkClassic;
  bool Beep = false;
  bool ForcedDetailed = false;
  int ErrorCount = 0;
  bool Duplicate = false;
  uint32_t ExceptionThread = 0;
  std::string Message;  // the custom error message, else the last exception message
  TDialogSettings Settings;
  const TDialogDetails* Details = nullptr;
};

struct TBuiltRequest {
  tarvex_dialog::TDialogRequest Request;
  std::vector<const TTarvexStackEntry*> JumpEntries;
};

// Sending is offered: an e-mail or web mode, not a duplicate, dfOfferSending.
bool SendingOffered(const TTarvexModuleOptions& options, bool duplicate);
TBuiltRequest BuildDialogRequest(const TTarvexModuleOptions& options, const TDialogState& state,
                                 const TDialogContext& context);

// What a closed dialog leaves besides the dialog state.
struct TDialogOutcome {
  std::optional<std::string> AcceptedEmail;  // a valid address typed into the classic dialog
  bool SaveGeometry = false;
  tarvex_dialog::TDialogGeometry Geometry;
  std::vector<int32_t> StackColumns, ModuleColumns, ProcessColumns;  // empty: unchanged
};

// Applies the result to the dialog state and to the options (reproduce text, dfSendChecked,
// dfScreenshotChecked). An invalid e-mail address is dropped; it never blocks the close.
TDialogOutcome ApplyDialogResult(const tarvex_dialog::TDialogRequest& request,
                                 const tarvex_dialog::TDialogResult& result, TDialogState& state,
                                 TTarvexModuleOptions& options);
