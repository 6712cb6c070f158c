// The zip packaging of a report: the files prepared in the exception's private folder, the
// archive "BugReport.zip" that the routes send, the archive kept when delivery fails, and the
// removal of the temporary files afterwards.
//
// A zip password gives the traditional zip encryption, the only kind the zip writer offers. It
// is weak: known-plaintext attacks recover the content quickly. It keeps a casual reader out
// and nothing more; it is no protection for confidential data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "delivery/EDelivery.h"
#include "reporting/report/EReportSnapshot.h"
#include "runtime/SysUtils.h"

// An archive that cannot be created.
ZELK_DECLARE_EXCEPTION(EZipError, Exception);

struct TZipArchiveFile;

// One archive being written. Entries are streamed from their files in chunks; nothing is read
// whole.
class TZipWriter {
 public:
  // Creates `path` exclusively (never over an existing file, mode 0600); an empty password
  // means no encryption. EZipError when the file cannot be created.
  TZipWriter(const std::string& path, const std::string& password);
  ~TZipWriter();  // closes
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  // Adds the file under `nameInArchive`. False when it is no regular file or cannot be read
  // completely (the archive stays valid, without the entry), and after a write error of the
  // archive. A file that changes between the checksum pass and the packing pass keeps the
  // entry with what was read, and false is returned.
  bool AddFile(const std::string& source, const std::string& nameInArchive);
  // Writes the central directory; false when the archive is incomplete (a write failed).
  bool Close();

 private:
  bool WriteEntry(int fd, uint64_t size, uint32_t crc, const std::string& nameInArchive, int64_t mtime);

  std::unique_ptr<TZipArchiveFile> file_;
  void* zip_ = nullptr;
  std::string path_;
  std::string password_;
  bool failed_ = false;
};

// ---- What the writer decides per entry (exposed for tests) ----

struct TZipEntryTime {
  uint32_t DosDate = 0;  // the date in the high 16 bits, the time in the low ones
  int Year = 1980, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
};
// A file time as local time in the process's time zone, clamped to what the zip format holds
// (1980-01-01 00:00:00 to 2107-12-31 23:59:58), seconds rounded down to even.
TZipEntryTime ZipEntryTime(int64_t unixSeconds);
// True for a name with bytes past ASCII that form valid UTF-8: the entry then carries the
// UTF-8 flag (bit 11). Other bytes past ASCII are left to the reader's code page.
bool ZipNameNeedsUtf8Flag(const std::string& name);
// Zip64 records only for an entry whose data may reach 4 GiB (deflate can grow incompressible
// data slightly, the encryption header adds 12 bytes).
bool ZipEntryNeedsZip64(uint64_t size);

// ---- The steps of a delivery ----

inline constexpr const char* kZipArchiveName = "BugReport.zip";
inline constexpr const char* kLastHtmlPageName = "LastHTMLPage.html";

// The names of the prepared files in `folder`.
std::string LogCopyPath(const TDeliveryContext& context);   // the log file's name
std::string XmlCopyPath(const TDeliveryContext& context);   // the same with ".xml"
std::string ArchivePath(const TDeliveryContext& context);

// Step 1, before any route: the copy of the text to send (line breaks as CR LF, ending in three),
// the last HTML page of a CGI program with sfAttachLastHtmlPage, the XML export of the log with
// sfAttachXmlCopy. A file that cannot be written is left out silently.
void PrepareTextFiles(TDeliveryContext& context);

// Step 2: ExtraFiles, the log copy (not for e-mail with EmailReportInBody), the screenshot, the
// HTML page and the XML export; then the attached-files event, whose handlers may change the
// list; paths that do not exist are dropped; the rest is packed into "BugReport.zip".
// context.Attachments becomes {archive}, or empty when nothing was packed.
void PrepareAttachments(TDeliveryContext& context, bool forEmail);
// ExtraFiles split at ";", each path trimmed, empty ones dropped.
std::vector<std::string> SplitExtraFiles(const std::string& extraFiles);

// "BugReport" ["__" computer] ["__" yyyymmddhhnnss] ".zip", by sfComputerInFileNames and
// sfDateInFileNames; the time is shown in the zone it carries.
std::string KeptArchiveName(const TTarvexModuleOptions& options, const TReportTime& exceptionTime);
// Moves the archive into the log file's folder under its kept name, never over an existing
// file, then leaves the last ten of this layer's archives there (by name, without case). True
// when the archive was moved. Without a time, the time of the call is used.
bool KeepArchive(TDeliveryContext& context);
bool KeepArchive(TDeliveryContext& context, const TReportTime& exceptionTime);
// Deletes this layer's kept archives in `folder` except the last `keep` by name; other files,
// other zip files among them, are left alone.
void PruneKeptArchives(const std::string& folder, size_t keep = 10);

// Deletes the archive, the XML export, the HTML page (not in a CGI program) and the log copy.
void RemoveTemporaryFiles(TDeliveryContext& context);

// Step 5, after both routes: on failure the clipboard (bfClipboardOnSendFailure) and the kept
// archive (bfKeepZipOnSendFailure); the result message with sfReportSendResult unless the
// tracker has already told the user; then the temporary files go.
void AfterDelivery(TDeliveryContext& context, bool success);
