// The snapshot of the running process and its system that a bug report is built from.
//
// The display and active-window values come from a provider that the Qt bridge registers (the
// core links neither Qt nor X11); without one, X11 is asked through dlopen when a local display
// is set and asking is allowed, the video card comes from DRM sysfs and the printer from libcups
// when it is installed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "reporting/report/EReportSnapshot.h"

// What the GUI knows: the primary screen and the active window. Numbers of 0 are unknown.
struct TDisplayValues {
  int Width = 0, Height = 0, Depth = 0;  // pixels; depth as the screen reports it (24 for true colour)
  int Dpi = 0;                           // vertical logical dots per inch
  std::string VideoCard;                 // when the provider knows better than DRM sysfs
  std::string FormClass, FormText;       // active window: class and title
  std::string ControlClass, ControlText; // focus widget: class and text (password fields as "*")
};

// Fills the values it knows and returns true; false when it has nothing (the fallbacks are then
// used). Called on the thread that builds the report: a provider reads the GUI's state on the
// GUI thread or from a copy it keeps current, and never blocks for long.
using TDisplayValuesProvider = std::function<bool(TDisplayValues&)>;
// Registers (or, with an empty function, removes) the provider.
void SetDisplayValuesProvider(TDisplayValuesProvider provider);

// The display values as the snapshot reads them: the provider's, else X11 (only when
// `askX11`, $DISPLAY names a display on this machine and it answers within a short deadline),
// with the video card from DRM sysfs when the provider has none.
TDisplayValues ReadDisplayValues(bool askX11);

struct TLiveSnapshotOptions {
  // Opening an X11 connection is skipped when false: a report after a fatal signal should not
  // depend on the display server.
  bool AskX11 = true;
};

// Now, with the local zone's offset in force (the process's TZ).
TReportTime NowReportTime();
// A point in time given in Unix seconds, with the offset in force then.
TReportTime ReportTimeOf(int64_t unixSeconds);

// The live snapshot. System values, modules and processes are read on first use and kept, so
// one report sees one state; the up time is read when the snapshot is made.
std::unique_ptr<IReportSnapshot> MakeLiveSnapshot(TReportTime start, TReportTime exceptionTime,
                                                  const TLiveSnapshotOptions& options = {});
