// The steps of a delivery around the archive: the prepared files, the archive, what is kept or
// shown after delivery, and the clean-up.
#include "delivery/EZip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "delivery/ELogManager.h"
#include "delivery/EZipKeep.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EPaths.h"
#include "runtime/FileHandle_linux.h"

namespace {

std::string InFolder(const TDeliveryContext& context, const std::string& name) {
  return IncludeTrailingPathDelimiter(context.Folder) + name;
}

// The log file's name without folder; the owning module's name when the log has no place.
std::string LogBaseName(const TDeliveryContext& context) {
  if (!context.Options) return "BugReport.tlf";
  std::string name = ExtractFileName(context.Options->LogFileName());
  if (name.empty()) name = ExtractFileName(ChangeFileExt(context.Options->OwnerModuleName(), ".tlf"));
  return name.empty() || name == ".tlf" ? std::string("BugReport.tlf") : name;
}

// A prepared file: the folder is the exception's own, so a file left by an earlier attempt is
// ours and goes first; the new one is then created exclusively.
bool WriteTemporaryFile(const std::string& path, const std::string& data) {
  ::unlink(path.c_str());
  TFileHandle fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return false;
  if (WriteAll(fd.get(), data)) return true;
  ::unlink(path.c_str());
  return false;
}

void RemoveFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) ::chmod(path.c_str(), (st.st_mode | S_IWUSR) & 07777);
  ::unlink(path.c_str());  // a file that cannot be deleted is left
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

TReportTime LocalNow() {
  const time_t now = ::time(nullptr);
  struct tm tm {};
  ::localtime_r(&now, &tm);
  return {static_cast<int64_t>(now), static_cast<int32_t>(tm.tm_gmtoff)};
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

}  // namespace

std::string LogCopyPath(const TDeliveryContext& context) { return InFolder(context, LogBaseName(context)); }
std::string XmlCopyPath(const TDeliveryContext& context) {
  return InFolder(context, ChangeFileExt(LogBaseName(context), ".xml"));
}
std::string ArchivePath(const TDeliveryContext& context) { return InFolder(context, kZipArchiveName); }

void PrepareTextFiles(TDeliveryContext& context) {
  if (!context.Options || context.Folder.empty()) return;
  const TTarvexModuleOptions& o = *context.Options;
  static const std::string kThreeBreaks = "\r\n\r\n\r\n";
  std::string text = LogText::NormalizeLineBreaks(context.ReportText);
  if (text.size() < kThreeBreaks.size() || text.compare(text.size() - kThreeBreaks.size(), kThreeBreaks.size(), kThreeBreaks) != 0)
    text += kThreeBreaks;
  WriteTemporaryFile(LogCopyPath(context), text);
  // Only a CGI program has a last page: the interception records what it writes to its output.
  if (o.SendFlags().Contains(sfAttachLastHtmlPage)) {
    const std::string page = LastHtmlPage();
    if (!page.empty()) WriteTemporaryFile(InFolder(context, kLastHtmlPageName), page);
  }
  if (o.SendFlags().Contains(sfAttachXmlCopy)) {
    try {
      const std::string logName = o.LogFileName();
      if (!logName.empty()) {
        TLogFile log(logName, true);
        WriteTemporaryFile(XmlCopyPath(context), log.GetXML());
      }
    } catch (...) {
      // A log that cannot be read only loses its export.
    }
  }
}

std::vector<std::string> SplitExtraFiles(const std::string& extraFiles) {
  std::vector<std::string> paths;
  size_t start = 0;
  while (start <= extraFiles.size()) {
    size_t end = extraFiles.find(';', start);
    if (end == std::string::npos) end = extraFiles.size();
    std::string path = Trim(extraFiles.substr(start, end - start));
    if (!path.empty()) paths.push_back(std::move(path));
    start = end + 1;
  }
  return paths;
}

void PrepareAttachments(TDeliveryContext& context, bool forEmail) {
  context.Attachments.clear();
  if (!context.Options || context.Folder.empty()) return;
  const TTarvexModuleOptions& o = *context.Options;
  std::vector<std::string> files = SplitExtraFiles(o.ExtraFiles());
  if (!(forEmail && o.EmailReportInBody())) files.push_back(LogCopyPath(context));
  if (o.SendFlags().Contains(sfAttachScreenshot)) files.push_back(InFolder(context, "Screenshot.png"));
  if (o.SendFlags().Contains(sfAttachLastHtmlPage)) files.push_back(InFolder(context, kLastHtmlPageName));
  if (o.SendFlags().Contains(sfAttachXmlCopy)) files.push_back(XmlCopyPath(context));
  RaiseAttachedFilesRequest(files);
  const std::string archive = ArchivePath(context);
  std::erase_if(files, [&](const std::string& path) { return path == archive || !FileExists(path); });
  RemoveFile(archive);
  if (files.empty()) return;
  try {
    TZipWriter writer(archive, o.ZipArchivePassword());
    for (const std::string& path : files) writer.AddFile(path, ExtractFileName(path));
    if (writer.Close()) {
      context.Attachments = {archive};
      return;
    }
  } catch (...) {
  }
  RemoveFile(archive);  // an incomplete archive is worse than none
}

std::string KeptArchiveName(const TTarvexModuleOptions& options, const TReportTime& exceptionTime) {
  std::string name = "BugReport";
  if (options.SendFlags().Contains(sfComputerInFileNames)) name += "__" + ComputerName();
  if (options.SendFlags().Contains(sfDateInFileNames)) {
    const time_t local = static_cast<time_t>(exceptionTime.UnixSeconds + exceptionTime.UtcOffsetSeconds);
    struct tm tm {};
    char digits[32];
    if (::gmtime_r(&local, &tm) && ::strftime(digits, sizeof digits, "%Y%m%d%H%M%S", &tm) == 14)
      name += std::string("__") + digits;
  }
  return name + ".zip";
}

bool KeepArchive(TDeliveryContext& context) {
  return KeepArchive(context, context.ExceptionTime.UnixSeconds != 0 ? context.ExceptionTime : LocalNow());
}

bool KeepArchive(TDeliveryContext& context, const TReportTime& exceptionTime) {
  if (!context.Options || context.Folder.empty()) return false;
  const std::string source = ArchivePath(context);
  struct stat st {};
  if (::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string logName = context.Options->LogFileName();
  if (logName.empty()) return false;
  const std::string folder = ExtractFilePath(logName);
  const bool moved =
      MoveWithoutReplacing(source, (folder.empty() ? std::string("./") : folder) + KeptArchiveName(*context.Options, exceptionTime));
  PruneKeptArchives(folder, 10);
  return moved;
}

void RemoveTemporaryFiles(TDeliveryContext& context) {
  if (context.Folder.empty()) return;
  RemoveFile(ArchivePath(context));
  if (context.Options) RemoveFile(XmlCopyPath(context));
  // In a CGI program the page stays where it is.
  if (!FlowCgiProgram()) RemoveFile(InFolder(context, kLastHtmlPageName));
  if (context.Options) RemoveFile(LogCopyPath(context));
  context.Attachments.clear();
}

void AfterDelivery(TDeliveryContext& context, bool success) {
  if (context.Options) {
    const TTarvexModuleOptions& o = *context.Options;
    auto ui = ExceptionUi();
    // Each part is tried on its own: a clipboard that fails must not cost the kept archive.
    try {
      if (!success && o.BehaviourFlags().Contains(bfClipboardOnSendFailure) && ui) ui->CopyToClipboard(context.ReportText);
    } catch (...) {
    }
    try {
      if (!success && o.BehaviourFlags().Contains(bfKeepZipOnSendFailure)) KeepArchive(context);
    } catch (...) {
    }
    try {
      if (o.SendFlags().Contains(sfReportSendResult) && !context.TrackerSaidClosed && ui)
        ui->ShowMessageBox(o.GetText(0), o.GetText(success ? 144 : 145),
                           success ? IExceptionUi::mbInformation : IExceptionUi::mbError);
    } catch (...) {
    }
  }
  RemoveTemporaryFiles(context);
}
