// Reporting options: the option set of a module, its exception filters and customisable
// texts, and the options stream in which build steps and other modules hand them over.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "reporting/options/ETexts.h"
#include "runtime/Sets.h"
#include "runtime/SysUtils.h"
#include "runtime/TypInfo.h"

// Load base of an ELF object mapped in the process; 0 for none.
using TModuleHandle = uintptr_t;

enum TDialogKind : uint8_t { dkNone, dkMessageBox, dkClassic, dkDetailed };
enum TDetailPage : uint8_t { dpGeneral, dpCallStack, dpModules, dpProcesses, dpAssembler, dpCpu };
enum TExitAction : uint8_t { xaNone, xaTerminate, xaRestart };
enum TEmailMode : uint8_t { emNone, emClient, emSmtpClient, emSmtpDirect };
enum TWebMode : uint8_t { wmNone, wmHttp, wmHttps, wmFtp, wmBugzilla, wmFogBugz, wmMantis };
enum TFilterScope : uint8_t { scAny, scHandled, scUnhandled };
enum TFilterDialog : uint8_t { fdNone, fdDefault, fdMessageBox, fdClassic, fdDetailed };
enum TFilterHandler : uint8_t { hkNone, hkStandard, hkReporter };

enum TLogFlag : uint8_t {
  lfSkipDuplicates, lfLogReproduceText, lfResetLogOnNewVersion, lfComputerNameInLogName,
  lfModulesAndProcesses, lfAssemblerAndCpu
};
enum TSendFlag : uint8_t {
  sfShowSendProgress, sfReportSendResult, sfWholeLogText, sfAttachXmlCopy, sfAttachScreenshot,
  sfScreenshotForegroundOnly, sfAttachLastHtmlPage, sfSendInThread, sfDateInFileNames, sfComputerInFileNames
};
enum TDialogFlag : uint8_t {
  dfSendChecked, dfScreenshotChecked, dfShowCopyOption, dfShowDetailsButton, dfStartDetailed, dfTopMost,
  dfOwnLook, dfOfferSending, dfOfferScreenshot, dfShowCustomButton
};
enum TCallStackFlag : uint8_t { cfShowDllEntries, cfShowPackageEntries, cfOwnThreadStacks, cfOsThreadStacks };
enum TBehaviourFlag : uint8_t {
  bfPauseOwnThreads, bfKeepMainThreadRunning, bfPauseOsThreads, bfUseMainModuleOptions, bfClipboardOnSendFailure,
  bfKeepZipOnSendFailure, bfReportSafeCallExceptions, bfCallStandardHandler, bfReportHandledExceptions
};
// Memory-leak options; their effects belong to the leak tracker.
enum TLeakFlag : uint8_t { lkCatchLeaks, lkGroupChildLeaks, lkIgnoreKnownLeaks, lkFreeLeaksAtExit, lkCheckMemoryErrors };

// Stored bits without a member name survive a load and save unchanged.
using TLogFlags = TSet<TLogFlag>;
using TSendFlags = TSet<TSendFlag>;
using TDialogFlags = TSet<TDialogFlag>;
using TCallStackFlags = TSet<TCallStackFlag>;
using TBehaviourFlags = TSet<TBehaviourFlag>;
using TLeakFlags = TSet<TLeakFlag>;
// Bit i governs field i of the report's header sections (captions: ShowFieldCaptions()).
using TShowFields = std::bitset<kShowFieldCount>;
using TCustomizedTexts = std::array<std::string, kCustomizedTextCount>;

ZELK_DECLARE_ENUM(TDialogKind);
ZELK_DECLARE_ENUM(TDetailPage);
ZELK_DECLARE_ENUM(TExitAction);
ZELK_DECLARE_ENUM(TEmailMode);
ZELK_DECLARE_ENUM(TWebMode);
ZELK_DECLARE_ENUM(TFilterScope);
ZELK_DECLARE_ENUM(TFilterDialog);
ZELK_DECLARE_ENUM(TFilterHandler);
ZELK_DECLARE_ENUM(TLogFlag);
ZELK_DECLARE_ENUM(TSendFlag);
ZELK_DECLARE_ENUM(TDialogFlag);
ZELK_DECLARE_ENUM(TCallStackFlag);
ZELK_DECLARE_ENUM(TBehaviourFlag);
ZELK_DECLARE_ENUM(TLeakFlag);
ZELK_DECLARE_SET(TLogFlags);
ZELK_DECLARE_SET(TSendFlags);
ZELK_DECLARE_SET(TDialogFlags);
ZELK_DECLARE_SET(TCallStackFlags);
ZELK_DECLARE_SET(TBehaviourFlags);
ZELK_DECLARE_SET(TLeakFlags);

ZELK_DECLARE_EXCEPTION(EAssertionFailed, Exception);

class TTarvexModuleOptions;

struct TTarvexExceptionFilter {
  bool Enabled = true;
  std::string MatchClass;
  std::string ShownMessage;
  TFilterScope Scope = scAny;
  TFilterDialog Dialog = fdDefault;
  TFilterHandler Handler = hkReporter;
  TExitAction Action = xaNone;
  friend bool operator==(const TTarvexExceptionFilter&, const TTarvexExceptionFilter&) = default;
};

// The ordered filter list of one option set; every change tells the owner.
class TTarvexExceptionsFilters {
 public:
  explicit TTarvexExceptionsFilters(TTarvexModuleOptions* owner) : owner_(owner) {}
  TTarvexExceptionsFilters(const TTarvexExceptionsFilters&) = delete;
  TTarvexExceptionsFilters& operator=(const TTarvexExceptionsFilters&) = delete;

  TTarvexExceptionFilter& Add(const TTarvexExceptionFilter& filter);
  void Delete(size_t index);  // std::out_of_range for a bad index
  void Clear();
  size_t Count() const { return items_.size(); }
  TTarvexExceptionFilter& operator[](size_t index) { return *items_.at(index); }
  const TTarvexExceptionFilter& operator[](size_t index) const { return *items_.at(index); }
  // Clears, then appends a copy of each record of `source` in order.
  void Assign(const TTarvexExceptionsFilters& source);
  TTarvexModuleOptions* Owner() const { return owner_; }

 private:
  void NotifyOwner();
  TTarvexModuleOptions* owner_;
  std::vector<std::unique_ptr<TTarvexExceptionFilter>> items_;
};

// The first enabled filter that matches an exception of class `exceptionClass` (compared by
// plain and qualified name, without case and blanks, with the class and its ancestors), or
// null. `handled` tells whether the application handles the exception itself.
const TTarvexExceptionFilter* FindExceptionFilter(const TTarvexExceptionsFilters& filters,
                                                  const std::type_info& exceptionClass, bool handled);
// The same for the layer's wrapper of foreign errors, which carries its own class names.
const TTarvexExceptionFilter* FindExceptionFilter(const TTarvexExceptionsFilters& filters,
                                                  const std::vector<std::string>& wrapperNames);
// The filter that decides: the match, or when there is none the implicit one (hkReporter,
// fdDefault, xaNone).
TTarvexExceptionFilter DecidingFilter(const TTarvexExceptionFilter* match);

// Starting and stopping the freeze watch belongs to the processing flow, which registers here.
struct TFreezeWatchHooks {
  std::function<void()> Start;
  std::function<void()> Stop;
};
void SetFreezeWatchHooks(TFreezeWatchHooks hooks);
// Calls the registered Start (or Stop) hook, if any.
void RunFreezeWatch(bool start);

// Accessors of one stored option: the setter stores and then publishes (Changed).
#define TARVEX_OPTION(Type, Name)             \
 public:                                      \
  Type Name() const { return Name##_; }       \
  void Set##Name(Type value) {                \
    Name##_ = value;                          \
    Changed();                                \
  }                                           \
                                              \
 private:                                     \
  Type Name##_{};
#define TARVEX_STRING_OPTION(Name)                              \
 public:                                                        \
  const std::string& Name() const { return Name##_; }           \
  void Set##Name(std::string value) {                           \
    Name##_ = std::move(value);                                 \
    Changed();                                                  \
  }                                                             \
                                                                \
 private:                                                       \
  std::string Name##_;

class TTarvexModuleOptions : public TObject {
  ZELK_CLASS(TTarvexModuleOptions, TObject)
 public:
  explicit TTarvexModuleOptions(std::string ownerModuleName = {});
  ~TTarvexModuleOptions() override;
  TTarvexModuleOptions(const TTarvexModuleOptions&) = delete;
  TTarvexModuleOptions& operator=(const TTarvexModuleOptions&) = delete;

  virtual void SetReportingActive(bool value);
  virtual void SetFreezeDetection(bool value);
  // EConvertError "Impossible to assign nil as TTarvexModuleOptions." for a null source.
  virtual void Assign(const TTarvexModuleOptions* source);
  virtual void SetDefaults();
  virtual void SaveToStream(std::ostream& stream) const;
  virtual void SaveToFile(const std::string& fileName) const;
  // A truncated or damaged stream raises EReadError; fields read before it keep their values.
  virtual void LoadFromStream(std::istream& stream);
  virtual void LoadFromFile(const std::string& fileName);
  virtual void PublishChanges() {}
  virtual void RefreshFromShared() {}

  void BeginUpdate() { ++updateLockCount_; }
  void EndUpdate();
  // Publishes unless an update is running, for the module's own options only.
  void Changed();

  // Text `index` with its %NAME% references expanded; std::out_of_range outside 0..157.
  std::string GetText(int index) const;
  void SetText(int index, std::string text);
  const TCustomizedTexts& CustomizedTexts() const { return customizedTexts_; }

  // The log file for `baseName` (empty: the owning module): empty when neither the configured
  // place nor the per-user fallback folder can be written.
  std::string LogFileName(const std::string& baseName = {}) const;

  const std::string& OwnerModuleName() const { return ownerModuleName_; }
  TModuleHandle OwnerModuleHandle() const { return ownerModuleHandle_; }
  int32_t UpdateLockCount() const { return updateLockCount_; }
  TTarvexExceptionsFilters& ExceptionFilters() { return filters_; }
  const TTarvexExceptionsFilters& ExceptionFilters() const { return filters_; }

  bool ReportingActive() const { return reportingActive_; }
  bool FreezeDetection() const { return freezeDetection_; }
  int32_t MaxSavedReports() const { return maxSavedReports_; }
  void SetMaxSavedReports(int32_t value);  // 0 is stored as 1
  // Typed into the reproduce box at run time; never stored.
  const std::string& ReproduceText() const { return reproduceText_; }
  void SetReproduceText(std::string value) { reproduceText_ = std::move(value); }
  TLeakFlags LeakFlags() const { return leakFlags_; }
  void SetLeakFlags(TLeakFlags value) { leakFlags_ = value; }

  TARVEX_STRING_OPTION(TextsLanguage)
  TARVEX_OPTION(bool, LegacyFlag)
  TARVEX_OPTION(bool, FiltersEnabled)
  TARVEX_OPTION(bool, EmailReportInBody)
  TARVEX_OPTION(bool, WriteLogFile)
  TARVEX_OPTION(TLogFlags, LogFlags)
  TARVEX_OPTION(TDetailPage, DetailPage)
  TARVEX_OPTION(int32_t, FreezeTimeoutSeconds)
  TARVEX_STRING_OPTION(SmtpSender)
  TARVEX_STRING_OPTION(SmtpServer)
  TARVEX_OPTION(uint16_t, SmtpServerPort)
  TARVEX_STRING_OPTION(SmtpAuthUser)
  TARVEX_STRING_OPTION(SmtpAuthPassword)
  TARVEX_STRING_OPTION(ProxyAddress)
  TARVEX_STRING_OPTION(ProxyAuthUser)
  TARVEX_STRING_OPTION(ProxyAuthPassword)
  TARVEX_OPTION(uint16_t, ProxyServerPort)
  TARVEX_STRING_OPTION(TrackerAuthUser)
  TARVEX_STRING_OPTION(TrackerAuthPassword)
  TARVEX_STRING_OPTION(TrackerAssignee)
  TARVEX_STRING_OPTION(TrackerProjectName)
  TARVEX_STRING_OPTION(TrackerCategoryName)
  TARVEX_STRING_OPTION(TrackerTrialCode)
  TARVEX_STRING_OPTION(ZipArchivePassword)
  TARVEX_OPTION(TExitAction, TerminateButtonAction)
  TARVEX_OPTION(int32_t, TerminateButtonAfter)
  TARVEX_STRING_OPTION(LogOutputPath)
  TARVEX_STRING_OPTION(EmailRecipients)
  TARVEX_STRING_OPTION(EmailSubjectText)
  TARVEX_STRING_OPTION(EmailBodyText)
  TARVEX_OPTION(TEmailMode, EmailMode)
  TARVEX_OPTION(TWebMode, WebMode)
  TARVEX_STRING_OPTION(WebAddress)
  TARVEX_STRING_OPTION(WebAuthUser)
  TARVEX_STRING_OPTION(WebAuthPassword)
  TARVEX_OPTION(uint32_t, WebServerPort)
  TARVEX_STRING_OPTION(ExtraFiles)
  TARVEX_OPTION(TSendFlags, SendFlags)
  TARVEX_OPTION(TDialogFlags, DialogFlags)
  TARVEX_OPTION(int32_t, AutoCloseSeconds)
  TARVEX_STRING_OPTION(SupportAddress)
  TARVEX_STRING_OPTION(HtmlLayout)
  TARVEX_OPTION(TCallStackFlags, CallStackFlags)
  TARVEX_OPTION(TBehaviourFlags, BehaviourFlags)
  TARVEX_OPTION(TExitAction, AutoCrashAction)
  TARVEX_OPTION(int32_t, AutoCrashCount)
  TARVEX_OPTION(int32_t, AutoCrashMinutes)
  TARVEX_OPTION(uint8_t, BuildFlags)
  TARVEX_OPTION(TDialogKind, DialogKind)
  TARVEX_OPTION(TShowFields, ShowFields)

 private:
  std::string ownerModuleName_;
  TModuleHandle ownerModuleHandle_ = 0;
  int32_t updateLockCount_ = 0;
  TTarvexExceptionsFilters filters_{this};
  TCustomizedTexts customizedTexts_;
  bool reportingActive_ = true;
  bool freezeDetection_ = false;
  int32_t maxSavedReports_ = 32;
  TLeakFlags leakFlags_;
  std::string reproduceText_;
};

#undef TARVEX_OPTION
#undef TARVEX_STRING_OPTION

// The concrete option set of a module record: publishes to and refreshes from the shared
// block, and runs the freeze watch for the module's own set.
class TTarvexModuleOptionsEx : public TTarvexModuleOptions {
  ZELK_CLASS(TTarvexModuleOptionsEx, TTarvexModuleOptions)
 public:
  explicit TTarvexModuleOptionsEx(std::string ownerModuleName = {});
  ~TTarvexModuleOptionsEx() override;

  void SetReportingActive(bool value) override;
  void SetFreezeDetection(bool value) override;
  void PublishChanges() override;
  void RefreshFromShared() override;
};

// The option set of the module that contains the running reporting code (its module record's
// set). EAssertionFailed when that module has no reporting data.
TTarvexModuleOptionsEx& CurrentTarvexLogOptions();
