// The bug report: its sections built from an exception and a snapshot, the report identifier,
// and the forms shown elsewhere (rich text for the detailed dialog, the HTML page).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "reporting/options/ECore.h"
#include "reporting/report/EReportSnapshot.h"

struct TBugReport {
  std::string GeneralPart;      // header line and the general sections
  std::string CallStackPart;    // call-stack table, modules table, processes table
  std::string AssemblerHeader;
  std::string AssemblerPart;
  std::string CpuPart;
  std::string Text;             // all of the above joined
  std::string Identifier;       // 4 upper-case hexadecimal digits
  std::string LastMessage;      // the message field's text, control characters as blanks
  std::string Type;             // the type field's text
  std::string Message;          // the message field's text as written
  // The modules named by the report (file name without folder, description, version).
  std::string MainModuleName, MainModuleDescription, MainModuleVersion;
  std::string ExceptModuleName, ExceptModuleDescription, ExceptModuleVersion;
};

// Builds every part. Never throws for missing values: they stay empty or take their placeholder.
TBugReport BuildBugReport(const TTarvexModuleOptions& options, const TReportException& exception,
                          const IReportSnapshot& snapshot);

// The report text with the value of the user e-mail line ("\r\n  3.3 ...: value") replaced.
std::string ReportTextWithEmail(const std::string& reportText, const std::string& email);

// Formats used by the report.
std::string ReportDateText(TReportTime time);      // "Thu, 10 Dec 2026 13:04:23 +0100"
std::string TimeZoneText(int32_t utcOffsetSeconds);  // "+0530", "-0500", "+0000"
std::string DurationText(int64_t seconds);          // "1 day, 5 seconds"
std::string ReportIdentifier(const std::string& text);  // CRC-16/XMODEM as 4 hex digits
// The text the identifier is taken of: the three values, then unit, class, procedure and line
// offset of every entry with a line (kind 4) of the first entry's thread.
std::string ReportIdentifierText(const std::string& nameDescription, const std::string& moduleName,
                                 const std::string& type, const TTarvexStackList& callStack);

// The report's values as %NAME% variables ("_MainModuleName", "_ExceptMsg", "_BugReport",
// "_LineBreak", ...), in a fixed order.
std::vector<std::pair<std::string, std::string>> ReportVariables(const TBugReport& report);

// Sections built from the snapshot's memory and symbols (with lfAssemblerAndCpu).
struct TAssemblerSection {
  std::string Header;
  std::string Part;
};
TAssemblerSection BuildAssemblerSection(const TTarvexModuleOptions& options, const TReportException& exception,
                                        const IReportSnapshot& snapshot);
std::string BuildCpuSection(const TTarvexModuleOptions& options, const TReportException& exception,
                            const IReportSnapshot& snapshot);

// Rich-text renderings for the detailed dialog, in the layer's own subset (colours, bold,
// paragraphs, tab stops).
struct TRichTextFont {
  std::string Name = "Lucida Console";
  int PointSize = 8;
  int Charset = 0;
  int TabStopTwips = 0;  // width of the stack column (37 "-") in the font: the dump column
};
std::string GeneralRichText(const std::string& generalPart, const TRichTextFont& font);
std::string AssemblerRichText(const std::string& assembler, const TRichTextFont& font);
std::string CpuRichText(const std::string& cpu, const TRichTextFont& font);

// The HTML page for a text (web-server and CGI programs); `marker` receives the page marker.
std::string BuildHtmlPage(const TTarvexModuleOptions& options, const std::string& text, bool okButton,
                          std::string* marker = nullptr);
