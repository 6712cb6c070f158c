#include "reporting/options/ECore.h"

#include <istream>
#include <mutex>
#include <ostream>
#include <sstream>

#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"
#include "reporting/options/EPaths.h"
#include "reporting/options/ESharedBlock.h"
#include "reporting/options/EStreams.h"
#include "reporting/options/ETextVars.h"
#include "runtime/ClassNames.h"
#include "runtime/Strings.h"
#include "runtime/NoDestroy.h"

ZELK_ENUM_INFO(TDialogKind, "ECore", "dkNone", "dkMessageBox", "dkClassic", "dkDetailed")
ZELK_ENUM_INFO(TDetailPage, "ECore", "dpGeneral", "dpCallStack", "dpModules", "dpProcesses", "dpAssembler", "dpCpu")
ZELK_ENUM_INFO(TExitAction, "ECore", "xaNone", "xaTerminate", "xaRestart")
ZELK_ENUM_INFO(TEmailMode, "ECore", "emNone", "emClient", "emSmtpClient", "emSmtpDirect")
ZELK_ENUM_INFO(TWebMode, "ECore", "wmNone", "wmHttp", "wmHttps", "wmFtp", "wmBugzilla", "wmFogBugz", "wmMantis")
ZELK_ENUM_INFO(TFilterScope, "ECore", "scAny", "scHandled", "scUnhandled")
ZELK_ENUM_INFO(TFilterDialog, "ECore", "fdNone", "fdDefault", "fdMessageBox", "fdClassic", "fdDetailed")
ZELK_ENUM_INFO(TFilterHandler, "ECore", "hkNone", "hkStandard", "hkReporter")
ZELK_ENUM_INFO(TLogFlag, "ECore", "lfSkipDuplicates", "lfLogReproduceText", "lfResetLogOnNewVersion",
               "lfComputerNameInLogName", "lfModulesAndProcesses", "lfAssemblerAndCpu")
ZELK_ENUM_INFO(TSendFlag, "ECore", "sfShowSendProgress", "sfReportSendResult", "sfWholeLogText", "sfAttachXmlCopy",
               "sfAttachScreenshot", "sfScreenshotForegroundOnly", "sfAttachLastHtmlPage", "sfSendInThread",
               "sfDateInFileNames", "sfComputerInFileNames")
ZELK_ENUM_INFO(TDialogFlag, "ECore", "dfSendChecked", "dfScreenshotChecked", "dfShowCopyOption", "dfShowDetailsButton",
               "dfStartDetailed", "dfTopMost", "dfOwnLook", "dfOfferSending", "dfOfferScreenshot", "dfShowCustomButton")
ZELK_ENUM_INFO(TCallStackFlag, "ECore", "cfShowDllEntries", "cfShowPackageEntries", "cfOwnThreadStacks",
               "cfOsThreadStacks")
ZELK_ENUM_INFO(TBehaviourFlag, "ECore", "bfPauseOwnThreads", "bfKeepMainThreadRunning", "bfPauseOsThreads",
               "bfUseMainModuleOptions", "bfClipboardOnSendFailure", "bfKeepZipOnSendFailure",
               "bfReportSafeCallExceptions", "bfCallStandardHandler", "bfReportHandledExceptions")
ZELK_ENUM_INFO(TLeakFlag, "ECore", "lkCatchLeaks", "lkGroupChildLeaks", "lkIgnoreKnownLeaks", "lkFreeLeaksAtExit",
               "lkCheckMemoryErrors")
ZELK_SET_INFO(TLogFlags, "ECore")
ZELK_SET_INFO(TSendFlags, "ECore")
ZELK_SET_INFO(TDialogFlags, "ECore")
ZELK_SET_INFO(TCallStackFlags, "ECore")
ZELK_SET_INFO(TBehaviourFlags, "ECore")
ZELK_SET_INFO(TLeakFlags, "ECore")

ZELK_CLASS_INFO(TTarvexModuleOptions, "ECore")
ZELK_CLASS_INFO(TTarvexModuleOptionsEx, "ECore")

// ---- filters ----

TTarvexExceptionFilter& TTarvexExceptionsFilters::Add(const TTarvexExceptionFilter& filter) {
  items_.push_back(std::make_unique<TTarvexExceptionFilter>(filter));
  TTarvexExceptionFilter& added = *items_.back();
  NotifyOwner();
  return added;
}

void TTarvexExceptionsFilters::Delete(size_t index) {
  items_.at(index);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  NotifyOwner();
}

void TTarvexExceptionsFilters::Clear() {
  items_.clear();
  NotifyOwner();
}

void TTarvexExceptionsFilters::Assign(const TTarvexExceptionsFilters& source) {
  if (&source == this) return;
  Clear();
  for (const auto& f : source.items_) Add(*f);
}

void TTarvexExceptionsFilters::NotifyOwner() {
  if (owner_) owner_->Changed();
}

const TTarvexExceptionFilter* FindExceptionFilter(const TTarvexExceptionsFilters& filters,
                                                  const std::type_info& exceptionClass, bool handled) {
  for (size_t i = 0; i < filters.Count(); ++i) {
    const auto& f = filters[i];
    if (!f.Enabled) continue;
    if (f.Scope == scHandled && !handled) continue;
    if (f.Scope == scUnhandled && handled) continue;
    if (ClassHasAncestorNamed(exceptionClass, f.MatchClass)) return &f;
  }
  return nullptr;
}

const TTarvexExceptionFilter* FindExceptionFilter(const TTarvexExceptionsFilters& filters,
                                                  const std::vector<std::string>& wrapperNames) {
  for (size_t i = 0; i < filters.Count(); ++i) {
    const auto& f = filters[i];
    if (!f.Enabled) continue;
    std::string wanted = Trim(f.MatchClass);
    for (const auto& name : wrapperNames)
      if (SameText(Trim(name), wanted)) return &f;
  }
  return nullptr;
}

TTarvexExceptionFilter DecidingFilter(const TTarvexExceptionFilter* match) {
  if (match) return *match;
  TTarvexExceptionFilter implicit;
  implicit.Handler = hkReporter;
  implicit.Dialog = fdDefault;
  implicit.Action = xaNone;
  return implicit;
}

// ---- freeze watch hooks ----

namespace {

std::mutex& HooksMutex() {
  static std::mutex m;
  return m;
}
TFreezeWatchHooks& Hooks() {
  static TNoDestroy<TFreezeWatchHooks> hooks;
  return *hooks;
}

// Undoes a BeginUpdate also when the operation fails half-way.
class TUpdateScope {
 public:
  explicit TUpdateScope(TTarvexModuleOptions& o) : o_(o) { o_.BeginUpdate(); }
  ~TUpdateScope() { o_.EndUpdate(); }
  TUpdateScope(const TUpdateScope&) = delete;
  TUpdateScope& operator=(const TUpdateScope&) = delete;

 private:
  TTarvexModuleOptions& o_;
};

constexpr TLogFlags kDefaultLogFlags{lfModulesAndProcesses, lfAssemblerAndCpu};
constexpr TSendFlags kDefaultSendFlags{sfShowSendProgress, sfAttachScreenshot, sfAttachLastHtmlPage};
constexpr TDialogFlags kDefaultDialogFlags{dfSendChecked,       dfScreenshotChecked, dfShowCopyOption,
                                           dfShowDetailsButton, dfOfferSending,      dfOfferScreenshot};
constexpr TCallStackFlags kDefaultCallStackFlags{cfShowDllEntries, cfShowPackageEntries, cfOwnThreadStacks,
                                                 cfOsThreadStacks};
constexpr TBehaviourFlags kDefaultBehaviourFlags{bfUseMainModuleOptions, bfClipboardOnSendFailure,
                                                 bfReportSafeCallExceptions};
constexpr TLeakFlags kDefaultLeakFlags{lkGroupChildLeaks, lkIgnoreKnownLeaks, lkFreeLeaksAtExit, lkCheckMemoryErrors};
static_assert(kDefaultDialogFlags.Bits() == 399 && kDefaultCallStackFlags.Bits() == 15 &&
              kDefaultBehaviourFlags.Bits() == 88 && kDefaultLeakFlags.Bits() == 30);

template <class E>
E ReadEnum(TFieldReader& r) {
  uint8_t v = r.U8();
  // A value outside the enumeration would index the name and dialog tables out of range.
  if (v > TypeInfo<E>()->MaxValue) throw EReadError("Stream read error");
  return static_cast<E>(v);
}

}  // namespace

void SetFreezeWatchHooks(TFreezeWatchHooks hooks) {
  std::lock_guard lock(HooksMutex());
  Hooks() = std::move(hooks);
}

void RunFreezeWatch(bool start) {
  std::function<void()> fn;
  {
    std::lock_guard lock(HooksMutex());
    fn = start ? Hooks().Start : Hooks().Stop;
  }
  if (fn) fn();
}

// ---- option set ----

TTarvexModuleOptions::TTarvexModuleOptions(std::string ownerModuleName)
    : ownerModuleName_(std::move(ownerModuleName)), ownerModuleHandle_(ModuleHandleOf(ownerModuleName_)) {
  SetDefaults();
}

TTarvexModuleOptions::~TTarvexModuleOptions() {
  ++updateLockCount_;
  filters_.Clear();
}

void TTarvexModuleOptions::EndUpdate() {
  --updateLockCount_;
  Changed();
}

void TTarvexModuleOptions::Changed() {
  if (updateLockCount_ > 0) return;
  if (ownerModuleHandle_ != 0 && ownerModuleHandle_ == ReportingModuleHandle()) PublishChanges();
}

void TTarvexModuleOptions::SetReportingActive(bool value) {
  reportingActive_ = value;
  Changed();
}

void TTarvexModuleOptions::SetFreezeDetection(bool value) {
  freezeDetection_ = value;
  Changed();
}

void TTarvexModuleOptions::SetMaxSavedReports(int32_t value) {
  maxSavedReports_ = value == 0 ? 1 : value;
  Changed();
}

void TTarvexModuleOptions::SetDefaults() {
  TUpdateScope update(*this);
  SetLegacyFlag(false);
  SetFiltersEnabled(true);
  SetEmailReportInBody(false);
  SetWriteLogFile(true);
  SetLogFlags(kDefaultLogFlags);
  SetDetailPage(dpGeneral);
  SetFreezeDetection(false);
  SetFreezeTimeoutSeconds(60);
  SetSmtpSender("bugreport@example.com");
  SetSmtpServer("");
  SetSmtpServerPort(25);
  SetSmtpAuthUser("");
  SetSmtpAuthPassword("");
  SetProxyAddress("");
  SetProxyAuthUser("");
  SetProxyAuthPassword("");
  SetProxyServerPort(8080);
  SetTrackerAuthUser("");
  SetTrackerAuthPassword("");
  SetTrackerAssignee("");
  SetTrackerProjectName("");
  SetTrackerCategoryName("");
  SetTrackerTrialCode("");
  SetZipArchivePassword("");
  SetTerminateButtonAction(xaRestart);
  SetMaxSavedReports(32);
  SetTerminateButtonAfter(3);
  SetLogOutputPath("");
  SetEmailRecipients("");
  SetEmailSubjectText("");
  SetEmailBodyText("");
  SetEmailMode(emNone);
  SetWebMode(wmNone);
  SetWebAddress("");
  SetWebAuthUser("");
  SetWebAuthPassword("");
  SetWebServerPort(0);
  SetExtraFiles("");
  SetSendFlags(kDefaultSendFlags);
  SetDialogFlags(kDefaultDialogFlags);
  SetAutoCloseSeconds(0);
  SetSupportAddress("");
  SetHtmlLayout(DefaultHtmlLayout());
  SetCallStackFlags(kDefaultCallStackFlags);
  SetBehaviourFlags(kDefaultBehaviourFlags);
  leakFlags_ = kDefaultLeakFlags;
  SetAutoCrashAction(xaRestart);
  SetAutoCrashCount(10);
  SetAutoCrashMinutes(1);
  SetBuildFlags(1);
  SetDialogKind(dkClassic);
  SetShowFields(TShowFields().set());
  SetTextsLanguage("English");
  for (int i = 0; i < kCustomizedTextCount; ++i) customizedTexts_[i] = DefaultCustomizedText(i);
  filters_.Clear();
  reproduceText_.clear();
  SetReportingActive(true);
}

void TTarvexModuleOptions::Assign(const TTarvexModuleOptions* source) {
  if (!source) throw EConvertError("Impossible to assign nil as TTarvexModuleOptions.");
  if (source == this) return;
  const TTarvexModuleOptions& s = *source;
  TUpdateScope update(*this);
  filters_.Assign(s.filters_);
  customizedTexts_ = s.customizedTexts_;
  SetTextsLanguage(s.TextsLanguage());
  SetReportingActive(s.ReportingActive());
  SetLegacyFlag(s.LegacyFlag());
  SetFiltersEnabled(s.FiltersEnabled());
  SetEmailReportInBody(s.EmailReportInBody());
  SetWriteLogFile(s.WriteLogFile());
  SetLogFlags(s.LogFlags());
  SetDetailPage(s.DetailPage());
  SetFreezeDetection(s.FreezeDetection());
  SetFreezeTimeoutSeconds(s.FreezeTimeoutSeconds());
  SetSmtpSender(s.SmtpSender());
  SetSmtpServer(s.SmtpServer());
  SetSmtpServerPort(s.SmtpServerPort());
  SetSmtpAuthUser(s.SmtpAuthUser());
  SetSmtpAuthPassword(s.SmtpAuthPassword());
  SetProxyAddress(s.ProxyAddress());
  SetProxyAuthUser(s.ProxyAuthUser());
  SetProxyAuthPassword(s.ProxyAuthPassword());
  SetProxyServerPort(s.ProxyServerPort());
  SetTrackerAuthUser(s.TrackerAuthUser());
  SetTrackerAuthPassword(s.TrackerAuthPassword());
  SetTrackerAssignee(s.TrackerAssignee());
  SetTrackerProjectName(s.TrackerProjectName());
  SetTrackerCategoryName(s.TrackerCategoryName());
  SetTrackerTrialCode(s.TrackerTrialCode());
  SetZipArchivePassword(s.ZipArchivePassword());
  SetTerminateButtonAction(s.TerminateButtonAction());
  SetMaxSavedReports(s.MaxSavedReports());
  SetTerminateButtonAfter(s.TerminateButtonAfter());
  SetLogOutputPath(s.LogOutputPath());
  SetEmailRecipients(s.EmailRecipients());
  SetEmailSubjectText(s.EmailSubjectText());
  SetEmailBodyText(s.EmailBodyText());
  SetEmailMode(s.EmailMode());
  SetWebMode(s.WebMode());
  SetWebAddress(s.WebAddress());
  SetWebAuthUser(s.WebAuthUser());
  SetWebAuthPassword(s.WebAuthPassword());
  SetWebServerPort(s.WebServerPort());
  SetExtraFiles(s.ExtraFiles());
  SetSendFlags(s.SendFlags());
  SetDialogFlags(s.DialogFlags());
  SetAutoCloseSeconds(s.AutoCloseSeconds());
  SetSupportAddress(s.SupportAddress());
  SetHtmlLayout(s.HtmlLayout());
  SetCallStackFlags(s.CallStackFlags());
  SetBehaviourFlags(s.BehaviourFlags());
  SetAutoCrashAction(s.AutoCrashAction());
  SetAutoCrashCount(s.AutoCrashCount());
  SetAutoCrashMinutes(s.AutoCrashMinutes());
  SetBuildFlags(s.BuildFlags());
  SetDialogKind(s.DialogKind());
  SetShowFields(s.ShowFields());
  leakFlags_ = s.leakFlags_;
  reproduceText_ = s.reproduceText_;
}

std::string TTarvexModuleOptions::GetText(int index) const {
  return ExpandTextVariables(customizedTexts_.at(static_cast<size_t>(index)));
}

void TTarvexModuleOptions::SetText(int index, std::string text) {
  customizedTexts_.at(static_cast<size_t>(index)) = std::move(text);
  Changed();
}

void TTarvexModuleOptions::SaveToStream(std::ostream& stream) const {
  std::string out;
  TFieldWriter w(out);
  w.U8(LegacyFlag());
  w.U8(FiltersEnabled());
  w.U8(static_cast<uint8_t>(LogFlags().Bits()));
  w.U8(EmailReportInBody());
  w.U8(WriteLogFile());
  w.U8(DetailPage());
  w.U8(FreezeDetection());
  w.I32(FreezeTimeoutSeconds());
  w.ScrambledString(SmtpSender());
  w.ScrambledString(SmtpServer());
  w.U16(SmtpServerPort());
  w.ScrambledString(SmtpAuthUser());
  w.ScrambledString(SmtpAuthPassword());
  w.U8(TerminateButtonAction());
  w.I32(MaxSavedReports());
  w.I32(TerminateButtonAfter());
  w.ScrambledString(EmailRecipients());
  w.ScrambledString(EmailSubjectText());
  w.U8(EmailMode());
  for (int byte = 0; byte < kShowFieldCount / 8; ++byte) {
    uint8_t b = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (ShowFields().test(static_cast<size_t>(byte * 8 + bit))) b |= static_cast<uint8_t>(1u << bit);
    w.U8(b);
  }
  w.ScrambledString(LogOutputPath());
  w.U8(WebMode());
  w.ScrambledString(WebAddress());
  w.ScrambledString(WebAuthUser());
  w.ScrambledString(WebAuthPassword());
  w.U32(WebServerPort());
  w.ScrambledString(ExtraFiles());
  w.U16(static_cast<uint16_t>(SendFlags().Bits()));
  w.U16(static_cast<uint16_t>(DialogFlags().Bits()));
  w.I32(AutoCloseSeconds());
  w.ScrambledString(SupportAddress());
  w.ScrambledString(HtmlLayout());
  w.U8(static_cast<uint8_t>(CallStackFlags().Bits()));
  w.U16(static_cast<uint16_t>(BehaviourFlags().Bits()));
  w.U8(static_cast<uint8_t>(LeakFlags().Bits()));
  w.U8(AutoCrashAction());
  w.I32(AutoCrashCount());
  w.I32(AutoCrashMinutes());
  w.U8(BuildFlags());
  w.U8(DialogKind());
  w.ScrambledString(ProxyAddress());
  w.ScrambledString(ProxyAuthUser());
  w.ScrambledString(ProxyAuthPassword());
  w.U16(ProxyServerPort());
  w.ScrambledString(TrackerAuthUser());
  w.ScrambledString(TrackerAuthPassword());
  w.ScrambledString(TrackerAssignee());
  w.ScrambledString(TrackerProjectName());
  w.ScrambledString(TrackerCategoryName());
  w.ScrambledString(TrackerTrialCode());
  w.ScrambledString(ZipArchivePassword());
  w.I32(static_cast<int32_t>(filters_.Count()));
  for (size_t i = 0; i < filters_.Count(); ++i) {
    const auto& f = filters_[i];
    w.U8(f.Enabled);
    w.ScrambledString(f.MatchClass);
    w.ScrambledString(f.ShownMessage);
    w.U8(f.Scope);
    w.U8(f.Dialog);
    w.U8(f.Handler);
    w.U8(f.Action);
  }
  w.ScrambledString(EmailBodyText());
  for (const auto& text : customizedTexts_) w.ScrambledString(text);
  w.ScrambledString(TextsLanguage());
  stream.write(out.data(), static_cast<std::streamsize>(out.size()));
  if (!stream) throw EWriteError("Stream write error");
}

void TTarvexModuleOptions::LoadFromStream(std::istream& stream) {
  TUpdateScope update(*this);
  filters_.Clear();
  TFieldReader r(stream);
  SetLegacyFlag(r.U8() != 0);
  SetFiltersEnabled(r.U8() != 0);
  SetLogFlags(TLogFlags::FromBits(r.U8()));
  SetEmailReportInBody(r.U8() != 0);
  SetWriteLogFile(r.U8() != 0);
  SetDetailPage(ReadEnum<TDetailPage>(r));
  SetFreezeDetection(r.U8() != 0);
  SetFreezeTimeoutSeconds(r.I32());
  SetSmtpSender(r.ScrambledString());
  SetSmtpServer(r.ScrambledString());
  SetSmtpServerPort(r.U16());
  SetSmtpAuthUser(r.ScrambledString());
  SetSmtpAuthPassword(r.ScrambledString());
  SetTerminateButtonAction(ReadEnum<TExitAction>(r));
  SetMaxSavedReports(r.I32());
  SetTerminateButtonAfter(r.I32());
  SetEmailRecipients(r.ScrambledString());
  SetEmailSubjectText(r.ScrambledString());
  SetEmailMode(ReadEnum<TEmailMode>(r));
  TShowFields fields;
  for (int byte = 0; byte < kShowFieldCount / 8; ++byte) {
    uint8_t b = r.U8();
    for (int bit = 0; bit < 8; ++bit) fields.set(static_cast<size_t>(byte * 8 + bit), (b >> bit) & 1u);
  }
  SetShowFields(fields);
  SetLogOutputPath(r.ScrambledString());
  SetWebMode(ReadEnum<TWebMode>(r));
  SetWebAddress(r.ScrambledString());
  SetWebAuthUser(r.ScrambledString());
  SetWebAuthPassword(r.ScrambledString());
  SetWebServerPort(r.U32());
  SetExtraFiles(r.ScrambledString());
  SetSendFlags(TSendFlags::FromBits(r.U16()));
  SetDialogFlags(TDialogFlags::FromBits(r.U16()));
  SetAutoCloseSeconds(r.I32());
  SetSupportAddress(r.ScrambledString());
  SetHtmlLayout(r.ScrambledString());
  SetCallStackFlags(TCallStackFlags::FromBits(r.U8()));
  SetBehaviourFlags(TBehaviourFlags::FromBits(r.U16()));
  SetLeakFlags(TLeakFlags::FromBits(r.U8()));
  SetAutoCrashAction(ReadEnum<TExitAction>(r));
  SetAutoCrashCount(r.I32());
  SetAutoCrashMinutes(r.I32());
  SetBuildFlags(r.U8());
  SetDialogKind(ReadEnum<TDialogKind>(r));
  SetProxyAddress(r.ScrambledString());
  SetProxyAuthUser(r.ScrambledString());
  SetProxyAuthPassword(r.ScrambledString());
  SetProxyServerPort(r.U16());
  SetTrackerAuthUser(r.ScrambledString());
  SetTrackerAuthPassword(r.ScrambledString());
  SetTrackerAssignee(r.ScrambledString());
  SetTrackerProjectName(r.ScrambledString());
  SetTrackerCategoryName(r.ScrambledString());
  SetTrackerTrialCode(r.ScrambledString());
  SetZipArchivePassword(r.ScrambledString());
  int32_t count = r.I32();
  if (count < 0) throw EReadError("Stream read error");
  for (int32_t i = 0; i < count; ++i) {
    TTarvexExceptionFilter f;
    f.Enabled = r.U8() != 0;
    f.MatchClass = r.ScrambledString();
    f.ShownMessage = r.ScrambledString();
    f.Scope = ReadEnum<TFilterScope>(r);
    f.Dialog = ReadEnum<TFilterDialog>(r);
    f.Handler = ReadEnum<TFilterHandler>(r);
    f.Action = ReadEnum<TExitAction>(r);
    filters_.Add(f);
  }
  SetEmailBodyText(r.ScrambledString());
  for (int i = 0; i < kCustomizedTextCount; ++i) SetText(i, r.ScrambledString());
  SetTextsLanguage(r.ScrambledString());
}

void TTarvexModuleOptions::SaveToFile(const std::string& fileName) const {
  std::ostringstream out;
  SaveToStream(out);
  WriteFileBytes(fileName, out.str());
}

void TTarvexModuleOptions::LoadFromFile(const std::string& fileName) {
  std::istringstream in(ReadFileBytes(fileName));
  LoadFromStream(in);
}

std::string TTarvexModuleOptions::LogFileName(const std::string& baseName) const {
  std::string base = baseName.empty() ? ownerModuleName_ : baseName;
  base = StringReplace(base, ".vshost", "", true);
  base = ChangeFileExt(base, ".tlf");
  std::string fileName;
  if (LowerCase(ExtractFileExt(LogOutputPath())) == ".tlf") {
    fileName = LogOutputPath();
  } else {
    std::string folder = LogOutputPath().empty() ? ExtractFilePath(base) : LogOutputPath();
    // A module name without a folder keeps the log in the current folder, not in "/".
    if (!folder.empty()) folder = IncludeTrailingPathDelimiter(folder);
    fileName = folder + ExtractFileName(base);
  }
  fileName = ExpandTextVariables(fileName);
  // The name tested is the name used.
  if (LogFlags().Contains(lfComputerNameInLogName))
    fileName = ChangeFileExt(fileName, "") + "_" + ComputerName() + ExtractFileExt(fileName);
  std::string folder = ExtractFilePath(fileName);
  if (!(ForceDirectories(folder) && CanOpenForReadWrite(fileName))) {
    std::string fallback = IncludeTrailingPathDelimiter(UserStateFolder()) + "TarvexLog/" +
                           ChangeFileExt(ExtractFileName(MainModuleFileName()), "");
    fileName = fallback + "/" + ExtractFileName(fileName);
    if (!ForceDirectories(fallback) || !CanOpenForReadWrite(fileName)) return {};
  }
  return fileName;
}

// ---- the concrete option set ----

TTarvexModuleOptionsEx::TTarvexModuleOptionsEx(std::string ownerModuleName)
    : TTarvexModuleOptions(std::move(ownerModuleName)) {}

TTarvexModuleOptionsEx::~TTarvexModuleOptionsEx() = default;

void TTarvexModuleOptionsEx::SetReportingActive(bool value) {
  bool changed = value != ReportingActive();
  TTarvexModuleOptions::SetReportingActive(value);
  if (changed && IsOwnModuleOptions(this)) RunFreezeWatch(ReportingActive() && FreezeDetection());
}

void TTarvexModuleOptionsEx::SetFreezeDetection(bool value) {
  bool changed = value != FreezeDetection();
  TTarvexModuleOptions::SetFreezeDetection(value);
  if (changed && IsOwnModuleOptions(this)) RunFreezeWatch(ReportingActive() && FreezeDetection());
}

void TTarvexModuleOptionsEx::PublishChanges() {
  std::ostringstream out;
  out.put(1);
  SaveToStream(out);
  WriteSharedBlock(OwnerModuleHandle(), out.str());
}

void TTarvexModuleOptionsEx::RefreshFromShared() {
  auto data = ReadSharedBlock(OwnerModuleHandle());
  if (!data || data->empty() || (*data)[0] == 0) return;
  std::istringstream in(data->substr(1));
  LoadFromStream(in);
}
