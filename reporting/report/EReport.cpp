// The bug report: the general sections written with TLogItem, the tables, the sections drawn
// from memory, and the identifier that recognises a repeated error.
#include "reporting/report/EReport.h"

#include <cmath>
#include <cstdio>

#include "reporting/options/EStoredData.h"
#include "reporting/report/ELogItem.h"
#include "reporting/report/EReportFormats.h"
#include "reporting/report/EReportTables.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kProductLine = "TarvexLog 6.0.21";

std::string ModuleText(const std::string& fileName, const std::string& description) {
  std::string text = FileNameOf(fileName);
  if (!description.empty()) text += " - (" + description + ")";
  return text;
}

std::string MebibytesText(const std::optional<uint64_t>& bytes) {
  if (!bytes) return {};
  return std::to_string(std::llround(static_cast<double>(*bytes) / (1024.0 * 1024.0))) + " Mb";
}

std::string GibibytesText(const std::optional<uint64_t>& bytes) {
  if (!bytes) return {};
  return TwoDecimalsText(static_cast<double>(*bytes) / (1024.0 * 1024.0 * 1024.0)) + " Gb";
}

// "192.168.1.20" as "192.168.001.020"; none as "000.000.000.000".
std::string PaddedAddress(const std::string& address) {
  if (address.empty()) return "000.000.000.000";
  std::string out, part;
  auto flush = [&] {
    if (part.size() < 3) part.insert(0, 3 - part.size(), '0');
    out += part;
    part.clear();
  };
  for (char c : address) {
    if (c == '.') {
      flush();
      out += '.';
    } else {
      part += c;
    }
  }
  flush();
  return out;
}

// One value per adapter, each followed by " - ", the last one's removed.
template <class F>
std::string PerAdapter(const std::vector<TNetworkAdapter>& adapters, F value) {
  std::string text;
  for (const TNetworkAdapter& a : adapters) text += value(a) + " - ";
  if (text.size() >= 3 && text.compare(text.size() - 3, 3, " - ") == 0) text.resize(text.size() - 3);
  return text;
}

std::string PrivilegesText(const std::vector<std::pair<std::string, bool>>& privileges) {
  std::string text;
  for (const auto& [name, enabled] : privileges) {
    std::string line = name;
    if (line.size() < 31) line.append(31 - line.size(), ' ');
    text += line + (enabled ? " - ON" : " - OFF") + kCrLf;
  }
  return text;
}

std::string MessageText(const TReportException& exception, const IReportSnapshot& snapshot) {
  std::string message;
  if (!exception.IsException) {
    message = "Unknown error message.";
  } else if (exception.AccessViolation) {
    std::optional<TModuleRow> module = snapshot.ModuleOf(exception.Address);
    const char* access = exception.WriteFault ? "Write" : "Read";
    if (module)
      message = "Access violation at address " + HexText(exception.Address) + " in module '" +
                FileNameOf(module->FileName) + "'. " + access + " of address " + HexText(exception.FaultAddress);
    else
      message = "Access violation at address " + HexText(exception.Address) + ". " + access + " of address " +
                HexText(exception.FaultAddress);
  } else {
    message = exception.Message;
  }
  if (message.empty() || message.back() != '.') message += '.';
  return message;
}

std::string KeptMessage(const std::string& message) {
  std::string kept = message;
  for (char& c : kept)
    if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') c = ' ';
  return kept;
}

#ifndef ZELK_HAVE_REPORT_SECTIONS
// Until the sections drawn from memory are built in, both take their form without
// lfAssemblerAndCpu.
TAssemblerSection AssemblerSection(const TTarvexModuleOptions& options, const TReportException&,
                                   const IReportSnapshot&) {
  std::string heading = options.GetText(14);
  return {heading + ":" + kCrLf + std::string(heading.size() + 1, '-'), {}};
}
std::string CpuSection(const TTarvexModuleOptions& options, const TReportException&, const IReportSnapshot&) {
  std::string heading = options.GetText(141);
  return heading + ":" + kCrLf + std::string(heading.size() + 1, '-') + kCrLf + kCrLf;
}
#else
TAssemblerSection AssemblerSection(const TTarvexModuleOptions& options, const TReportException& exception,
                                   const IReportSnapshot& snapshot) {
  return BuildAssemblerSection(options, exception, snapshot);
}
std::string CpuSection(const TTarvexModuleOptions& options, const TReportException& exception,
                       const IReportSnapshot& snapshot) {
  return BuildCpuSection(options, exception, snapshot);
}
#endif

}  // namespace

TBugReport BuildBugReport(const TTarvexModuleOptions& options, const TReportException& exception,
                          const IReportSnapshot& snapshot) {
  TBugReport report;
  const TShowFields shown = options.ShowFields();
  auto text = [&](int index) { return options.GetText(index); };

  TReportTime start = snapshot.StartTime();
  TReportTime now = snapshot.ExceptionTime();
  TSystemValues system = snapshot.System();
  std::optional<TModuleRow> exceptModule =
      exception.Address ? snapshot.ModuleOf(exception.Address) : std::optional<TModuleRow>();

  report.MainModuleName = FileNameOf(exception.MainModuleFile);
  report.MainModuleDescription = exception.MainModuleDescription;
  report.MainModuleVersion = exception.MainModuleVersion;
  if (exceptModule) {
    report.ExceptModuleName = FileNameOf(exceptModule->FileName);
    report.ExceptModuleDescription = exceptModule->Description;
    report.ExceptModuleVersion = exceptModule->Version;
  }
  std::string nameDescription = ModuleText(exception.MainModuleFile, exception.MainModuleDescription);
  std::string moduleName = exceptModule ? ModuleText(exceptModule->FileName, exceptModule->Description) : "";
  report.Type = exception.ClassName.empty() || !exception.IsException ? "Unknown exception type" : exception.ClassName;
  report.Message = MessageText(exception, snapshot);
  report.LastMessage = exception.ShownMessage.empty() ? KeptMessage(report.Message) : exception.ShownMessage;
  report.Identifier =
      ReportIdentifier(ReportIdentifierText(nameDescription, moduleName, report.Type, exception.CallStack));

  TLogItem item(0);
  item.AddHeader(text(37));
  item.AddItem(text(38), ReportDateText(start), shown[0]);
  item.AddItem(text(39), nameDescription, shown[1]);
  item.AddItem(text(40), exception.MainModuleVersion, shown[2]);
  item.AddItem(text(41), TrimText(system.CommandLine), shown[3]);
  std::string compiled;
  if (exception.CompileTime != 0) {
    int64_t utc = DayCountToUnixTime(exception.CompileTime);
    compiled = ReportDateText({utc, snapshot.UtcOffsetAt(utc)});
  }
  item.AddItem(text(42), compiled, shown[4]);
  item.AddItem(text(43), DurationText(now.UnixSeconds - start.UnixSeconds), shown[5]);

  item.AddHeader(text(44));
  item.AddItem(text(45), ReportDateText(now), shown[6]);
  item.AddItem(text(46), exception.Address ? HexText(exception.Address) : std::string(), shown[7]);
  item.AddItem(text(47), moduleName, shown[8]);
  item.AddItem(text(48), report.ExceptModuleVersion, shown[9]);
  item.AddItem(text(49), report.Type, shown[10]);
  item.AddItem(text(50), report.Message, shown[11]);
  item.AddItem(text(51), report.Identifier, shown[12]);
  item.AddItem(text(52), "1", shown[13]);
  item.AddItem(text(53), "New", shown[14]);
  item.AddItem(text(54), "", shown[15]);

  item.AddHeader(text(55));
  item.AddItem(text(56), system.UserId, shown[16]);
  item.AddItem(text(57), system.UserName, shown[17]);
  item.AddItem(text(58), system.UserEmail, shown[18]);
  item.AddItem(text(59), system.Company, shown[20]);
  item.AddItem(text(60), PrivilegesText(system.Privileges), shown[19]);

  // Console and web programs have no foreground window of their own: the section is left out.
  bool controls = !exception.ConsoleOrWeb;
  item.AddHeader(text(61));
  item.AddItem(text(62), system.FormClass, controls && shown[21]);
  item.AddItem(text(63), FoldControlCharacters(system.FormText.substr(0, 256)), controls && shown[22]);
  item.AddItem(text(64), exception.ActiveControlClass, controls && shown[23]);
  item.AddItem(text(65), FoldControlCharacters(exception.ActiveControlText), controls && shown[24]);

  item.AddHeader(text(66));
  item.AddItem(text(67), system.ComputerName, shown[25]);
  item.AddItem(text(68), MebibytesText(system.TotalMemory), shown[26]);
  item.AddItem(text(69), MebibytesText(system.FreeMemory), shown[27]);
  item.AddItem(text(70), GibibytesText(system.TotalDisk), shown[28]);
  item.AddItem(text(71), GibibytesText(system.FreeDisk), shown[29]);
  int64_t upMs = snapshot.SystemUpTimeMilliseconds();
  item.AddItem(text(72), upMs >= 0 ? DurationText(upMs / 1000) : std::string(), shown[30]);
  std::string processor = TrimText(system.Processor);
  item.AddItem(text(73), processor.empty() ? "Unknown processor" : processor, shown[31]);
  item.AddItem(text(74), system.DisplayMode, shown[32]);
  item.AddItem(text(75), system.DisplayDpi, shown[33]);
  item.AddItem(text(76), system.VideoCard, shown[34]);
  item.AddItem(text(77), system.Printer, shown[35]);

  item.AddHeader(text(78));
  item.AddItem(text(79), system.OsType, shown[36]);
  item.AddItem(text(80), system.OsBuild, shown[37]);
  item.AddItem(text(81), TrimText(system.OsUpdate), shown[38]);
  item.AddItem(text(82), system.Language, shown[39]);
  item.AddItem(text(83), system.Charset, shown[40]);

  const auto& net = system.Network;
  item.AddHeader(text(84));
  item.AddItem(text(85), PerAdapter(net, [](const TNetworkAdapter& a) { return PaddedAddress(a.Address); }), shown[41]);
  item.AddItem(text(86), PerAdapter(net, [](const TNetworkAdapter& a) { return PaddedAddress(a.Mask); }), shown[42]);
  item.AddItem(text(87), PerAdapter(net, [](const TNetworkAdapter& a) { return PaddedAddress(a.Gateway); }), shown[43]);
  item.AddItem(text(88), PerAdapter(net, [](const TNetworkAdapter& a) { return PaddedAddress(a.Dns1); }), shown[44]);
  item.AddItem(text(89), PerAdapter(net, [](const TNetworkAdapter& a) { return PaddedAddress(a.Dns2); }), shown[45]);
  item.AddItem(text(90), PerAdapter(net, [](const TNetworkAdapter& a) {
                 // With the separator after it: the word padded to 16, then "- ".
                 std::string word = a.Dhcp ? "ON" : "OFF";
                 return word + std::string(15 - word.size(), ' ');
               }),
               shown[46]);

  report.GeneralPart = std::string(kProductLine) + kCrLf + kCrLf + item.GetText() + kCrLf;
  report.CallStackPart = CallStackTable(options, exception.CallStack, snapshot) + ModulesTable(options, snapshot) +
                         ProcessesTable(options, snapshot);
  TAssemblerSection assembler = AssemblerSection(options, exception, snapshot);
  report.AssemblerHeader = std::move(assembler.Header);
  report.AssemblerPart = std::move(assembler.Part);
  report.CpuPart = CpuSection(options, exception, snapshot);
  report.Text = report.GeneralPart + kCrLf + report.CallStackPart + report.AssemblerHeader + kCrLf +
                report.AssemblerPart + kCrLf + report.CpuPart;
  return report;
}

std::vector<std::pair<std::string, std::string>> ReportVariables(const TBugReport& report) {
  return {
      {"_MainModuleName", report.MainModuleName},     {"_MainModuleDesc", report.MainModuleDescription},
      {"_MainModuleVer", report.MainModuleVersion},   {"_ExceptModuleName", report.ExceptModuleName},
      {"_ExceptModuleDesc", report.ExceptModuleDescription}, {"_ExceptModuleVer", report.ExceptModuleVersion},
      {"_ExceptMsg", report.Message},                 {"_BugReport", report.Text},
      {"_LineBreak", kCrLf},
  };
}

std::string ReportTextWithEmail(const std::string& text, const std::string& email) {
  const size_t line = text.find("\r\n  3.3 ");
  if (line == std::string::npos) return text;
  const size_t colon = text.find(": ", line + 2);
  const size_t end = text.find("\r\n", line + 2);
  if (colon == std::string::npos || (end != std::string::npos && colon > end)) return text;
  return text.substr(0, colon + 2) + email + (end == std::string::npos ? std::string() : text.substr(end));
}
