// The log file: bug reports one after another, newest last, each followed by three line breaks
// and separated by one more. Entries are found again by their tables; single fields of a stored
// report are read and rewritten in place, so the layout of the report writer (TLogItem) is the
// format of this file.
//
// Between processes the log is guarded by an flock of a lock file beside it ("<log>.lock"):
// exclusive for an open that may save, shared for a read-only one, held from loading until the
// object is destroyed. A save writes a new file and renames it over the log, so a reader or a
// crash never meets a half-written log.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

// A log that cannot be opened, locked, set aside or written.
ZELK_DECLARE_EXCEPTION(ELogFileError, Exception);

class TLogFile {
 public:
  // An empty name gives a log without a file (Save then fails). Otherwise the file is locked
  // and, when it exists, loaded; a damaged file (no entry, NUL bytes, larger than
  // kMaxLogFileSize) is renamed aside by a read-write open and the log starts empty.
  TLogFile(const std::string& fileName, bool readOnly);
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // Replaces the entries with the ones found in `text` (the file's bytes).
  void LoadText(const std::string& text);

  // Appends a report; with `maxCount` > 0 the oldest entries go so that `maxCount` remain.
  void Add(const std::string& reportText, int maxCount = -1);
  // Writes all entries back (atomically where the folder allows it).
  void Save();

  int Count() const { return static_cast<int>(entries_.size()); }
  // The entry with its three final line breaks; empty outside the list.
  std::string GetEntry(int index) const;
  // What Save writes.
  std::string GetAllText() const;

  // The decoded value of field `id` ("2.7"); empty when absent.
  std::string GetField(const std::string& id, int index) const;
  // Replaces the field's value, or adds the field at the end of its section under `name`; a
  // missing section is left alone.
  void SetField(const std::string& id, const std::string& value, int index, const std::string& name);
  // The last entry in which any id has exactly the given value; -1 when none has.
  int FindEntry(const std::vector<std::string>& ids, const std::vector<std::string>& values) const;
  // The layer's version on the entry's first line ("6.0.21").
  std::string GetVersion(int index) const;

  // The XML export of all entries.
  std::string GetXML() const;
  void SaveToXML(const std::string& fileName) const;

  const std::string& FileName() const { return fileName_; }
  // The name a damaged file was given when it was set aside on opening; empty otherwise.
  const std::string& SetAsideName() const { return setAside_; }

  std::string Password;  // decodes encoded names in the XML export

 private:
  void OpenAndLoad();
  bool FinalBreakDropped() const;
  // Writes what GetAllText gives, entry by entry; false on a write error.
  bool WriteEntries(int fd) const;
  size_t TextSize() const;

  std::string fileName_;
  bool readOnly_;
  int lockFd_ = -1;
  bool lockIsLog_ = false;  // the folder is not writable: the log itself is the lock
  std::string setAside_;
  std::vector<std::string> entries_;
};

// A log larger than this is taken as damaged.
inline constexpr long long kMaxLogFileSize = 128ll << 20;

// How long an open waits for another process's lock before failing.
void SetLogLockTimeoutMilliseconds(int milliseconds);

// Tests: called after the new file is written and synced, before it replaces the log.
void SetLogBeforeReplaceHook(std::function<void()> hook);

// Entry splitting and field access on one entry's text, shared with the XML export.
namespace LogText {
// Line breaks as CR LF (a lone CR or LF becomes CR LF).
std::string NormalizeLineBreaks(const std::string& text);
// The entries of a log text, each ending in three line breaks.
std::vector<std::string> SplitEntries(const std::string& text);
// True when the text holds a table: a line ending in "-" followed by one beginning with "|".
bool HasTable(const std::string& text);
// The value's raw bytes [start, end) of field `id`, and the column where the value begins;
// false when the field is absent.
bool FindFieldValue(const std::string& entry, const std::string& id, size_t& start, size_t& end, size_t& column);
// The stored form of a value whose first line begins at `column`.
std::string EncodeValue(const std::string& value, size_t column);
// The value as written, from its stored form.
std::string DecodeValue(const std::string& raw);
}  // namespace LogText
