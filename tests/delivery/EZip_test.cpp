// The zip packaging: archives read back by minizip's reader and by Python's zipfile, with and
// without a password; entry names, flags and times; the prepared files and the attachment list;
// keeping and pruning archives; the clean-up after delivery.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unzip.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "delivery/ELogManager.h"
#include "delivery/EZip.h"
#include "delivery/EZipKeep.h"
#include "tests/delivery/LogSamples.h"
#include "reporting/options/EPaths.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// ---- helpers ----

class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zip-test-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    // Read-only files and folders from the cases must not stop the clean-up.
    for (auto& e : fs::recursive_directory_iterator(path_, ec))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

void SetMtime(const std::string& path, int64_t seconds) {
  timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Runs Debian's Python with the arguments; its standard output.
std::string RunPython(const std::string& script, const std::vector<std::string>& args, int* status = nullptr) {
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<std::string> all = {"/usr/bin/python3", "-c", script};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (status) *status = st;
  return text;
}

// One line per entry: name, flag bits, date and time, method, version needed, extra length,
// and whether the content equals the file given for that name; then the testzip result.
// Arguments: archive, password ("-" for none), then name=path pairs.
const char* kPythonReader = R"PY(
import sys, zipfile
archive, pwd = sys.argv[1], sys.argv[2]
expected = dict(a.split('=', 1) for a in sys.argv[3:])
out = sys.stdout.buffer
with zipfile.ZipFile(archive) as z:
    if pwd != '-':
        z.setpassword(pwd.encode('utf-8', 'surrogateescape'))
    for i in z.infolist():
        try:
            data = z.read(i.filename)
            same = '1' if i.filename in expected and open(expected[i.filename], 'rb').read() == data else '0'
        except RuntimeError as e:
            same = 'bad-password' if 'password' in str(e).lower() else 'error'
        except Exception:
            same = 'error'
        line = '%s\t%d\t%04d-%02d-%02d %02d:%02d:%02d\t%d\t%d\t%d\t%s\n' % ((i.filename, i.flag_bits) + i.date_time +
               (i.compress_type, i.extract_version, len(i.extra), same))
        out.write(line.encode('utf-8', 'surrogateescape'))
    if pwd != '-' or not any(i.flag_bits & 1 for i in z.infolist()):
        try:
            out.write(('testzip %s\n' % z.testzip()).encode())
        except RuntimeError:
            out.write(b'testzip bad-password\n')
        except Exception:
            # A wrong password that passes the one-byte check inflates garbage.
            out.write(b'testzip error\n')
)PY";

struct TPyEntry {
  std::string Name;
  int Flags = 0;
  std::string Time;
  int Method = 0, Version = 0, ExtraLength = 0;
  std::string Same;
};

std::vector<TPyEntry> PythonEntries(const std::string& archive, const std::string& password,
                                    const std::map<std::string, std::string>& expected, std::string* testzip = nullptr) {
  std::vector<std::string> args = {archive, password.empty() ? "-" : password};
  for (auto& [name, path] : expected) args.push_back(name + "=" + path);
  ScopedEnv utf8("PYTHONIOENCODING", "utf-8");
  int status = 0;
  std::istringstream lines(RunPython(kPythonReader, args, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "python3 failed on " << archive;
  std::vector<TPyEntry> entries;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("testzip ", 0) == 0) {
      if (testzip) *testzip = line.substr(8);
      continue;
    }
    std::istringstream f(line);
    TPyEntry e;
    std::string flags, method, version, extra;
    std::getline(f, e.Name, '\t');
    std::getline(f, flags, '\t');
    std::getline(f, e.Time, '\t');
    std::getline(f, method, '\t');
    std::getline(f, version, '\t');
    std::getline(f, extra, '\t');
    std::getline(f, e.Same, '\t');
    e.Flags = std::atoi(flags.c_str()), e.Method = std::atoi(method.c_str());
    e.Version = std::atoi(version.c_str()), e.ExtraLength = std::atoi(extra.c_str());
    entries.push_back(e);
  }
  return entries;
}

struct TUnzEntry {
  std::string Name;
  unsigned long Flags = 0, DosDate = 0, Method = 0, Version = 0, ExtraLength = 0;
  std::string Data;
  int CloseResult = 0;
  bool CanDecrypt = true;
  uint64_t CompressedSize = 0;
};

// The entries as minizip's reader sees them.
std::vector<TUnzEntry> MinizipEntries(const std::string& archive, const std::string& password) {
  std::vector<TUnzEntry> entries;
  unzFile z = unzOpen64(archive.c_str());
  if (!z) {
    ADD_FAILURE() << "minizip cannot open " << archive;
    return entries;
  }
  for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
    unz_file_info64 info{};
    char name[1024];
    if (unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    TUnzEntry e;
    e.Name = name;
    e.Flags = info.flag, e.DosDate = info.dosDate, e.Method = info.compression_method;
    e.Version = info.version_needed, e.ExtraLength = info.size_file_extra;
    const int opened = unzOpenCurrentFilePassword(z, password.empty() ? nullptr : password.c_str());
    // Debian builds minizip's reader without decryption: it refuses every password.
    e.CanDecrypt = password.empty() || opened != UNZ_PARAMERROR;
    e.CompressedSize = info.compressed_size;
    if (opened == UNZ_OK) {
      char buf[65536];
      int n;
      while ((n = unzReadCurrentFile(z, buf, sizeof buf)) > 0) e.Data.append(buf, static_cast<size_t>(n));
      e.CloseResult = unzCloseCurrentFile(z);
    } else {
      e.CloseResult = -1;
    }
    entries.push_back(e);
  }
  unzClose(z);
  return entries;
}

TTarvexModuleOptions& MakeOptions(TTarvexModuleOptions& o, const std::string& logFolder) {
  o.SetLogOutputPath(logFolder);
  o.SetSendFlags(TSendFlags{});
  o.SetBehaviourFlags(TBehaviourFlags{});
  o.SetExtraFiles("");
  o.SetZipArchivePassword("");
  o.SetEmailReportInBody(false);
  return o;
}

// ---- the writer: round trips ----

struct TRoundTripCase {
  const char* Label;
  std::string Password;
};

void PrintTo(const TRoundTripCase& c, std::ostream* os) { *os << c.Label; }

class ZipRoundTrip : public testing::TestWithParam<TRoundTripCase> {};

TEST_P(ZipRoundTrip, EntriesReadBackByMinizipAndPython) {
  const TRoundTripCase& c = GetParam();
  TempFolder dir;
  // Order of the list is the order of the entries; a file larger than one read chunk; an empty
  // one; names with bytes past ASCII.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"Program.tlf", "Report line\r\nsecond line\r\n\r\n\r\n"},
      {"Screenshot.png", RandomBytes(300 * 1024, 7)},
      {"empty.txt", ""},
      {"Bericht-\xc3\xbc\xc3\x9f.txt", std::string(20000, 'x')},
  };
  std::map<std::string, std::string> expected;
  const std::string archive = dir / "BugReport.zip";
  {
    TZipWriter zip(archive, c.Password);
    for (auto& [name, data] : files) {
      WriteFile(dir / name, data);
      expected[name] = dir / name;
      EXPECT_TRUE(zip.AddFile(dir / name, name)) << name;
    }
    EXPECT_TRUE(zip.Close());
  }
  const bool encrypted = !c.Password.empty();

  auto unz = MinizipEntries(archive, c.Password);
  ASSERT_EQ(unz.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_EQ(unz[i].Name, files[i].first);
    if (unz[i].CanDecrypt) {
      EXPECT_TRUE(unz[i].Data == files[i].second) << unz[i].Data.size() << " bytes read of " << files[i].second.size();
      EXPECT_EQ(unz[i].CloseResult, UNZ_OK);
    } else {
      EXPECT_GE(unz[i].CompressedSize, 12u + 2u);  // the encryption header and a deflate stream
    }
    EXPECT_EQ(unz[i].Method, 8u);
    EXPECT_EQ(unz[i].ExtraLength, 0u);
    EXPECT_EQ(unz[i].Version, 20u);  // no zip64 for small entries
    EXPECT_EQ((unz[i].Flags & 1) != 0, encrypted);
    EXPECT_EQ((unz[i].Flags & 0x800) != 0, files[i].first.find('\xc3') != std::string::npos);
  }

  std::string testzip;
  auto py = PythonEntries(archive, c.Password, expected, &testzip);
  ASSERT_EQ(py.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].first);
    EXPECT_EQ(py[i].Name, files[i].first);
    EXPECT_EQ(py[i].Same, "1");
    EXPECT_EQ(py[i].Method, 8);
    EXPECT_EQ(py[i].ExtraLength, 0);
  }
  EXPECT_EQ(testzip, "None");
  const std::string bytes = ReadFile(archive);
  EXPECT_EQ(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos) << "zip64 end record without need";

  if (encrypted) {
    // The check byte of each entry turns a wrong password away; the names stay readable. The
    // check is one byte, so 1 entry in 256 lets a wrong password through: then the data check
    // fails instead, except for an empty entry, which has nothing to give away.
    auto wrong = PythonEntries(archive, c.Password + "x", expected);
    ASSERT_EQ(wrong.size(), files.size());
    for (size_t i = 0; i < wrong.size(); ++i) {
      const std::string& same = wrong[i].Same;
      EXPECT_TRUE(same == "bad-password" || same == "error" || (files[i].second.empty() && same == "1"))
          << wrong[i].Name << ": " << same;
    }
    // And the plain bytes do not appear in the archive.
    EXPECT_EQ(bytes.find("Report line"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Passwords, ZipRoundTrip,
                         testing::Values(TRoundTripCase{"NoPassword", ""}, TRoundTripCase{"Password", "s3cret"},
                                         TRoundTripCase{"NonAsciiPassword", "p\xc3\xa4sswort"}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST(ZipWriter, CreatesTheArchiveExclusively) {
  TempFolder dir;
  const std::string archive = dir / "BugReport.zip";
  WriteFile(archive, "someone else's");
  EXPECT_THROW(TZipWriter(archive, ""), EZipError);
  EXPECT_EQ(ReadFile(archive), "someone else's");
  // A symbolic link planted under the name is not followed either.
  const std::string link = dir / "link.zip";
  ASSERT_EQ(::symlink((dir / "target.zip").c_str(), link.c_str()), 0);
  EXPECT_THROW(TZipWriter(link, ""), EZipError);
  EXPECT_FALSE(fs::exists(dir / "target.zip"));
  struct stat st {};
  {
    TZipWriter zip(dir / "new.zip", "");
  }
  ASSERT_EQ(::stat((dir / "new.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A file that cannot be read leaves no trace; the entries around it and the archive are fine.
TEST(ZipWriter, UnreadableInputsAreSkipped) {
  TempFolder dir;
  WriteFile(dir / "before.txt", "before");
  WriteFile(dir / "after.txt", "after");
  WriteFile(dir / "locked.txt", "locked");
  ::chmod((dir / "locked.txt").c_str(), 0);
  ::mkdir((dir / "folder").c_str(), 0700);
  ::mkfifo((dir / "fifo").c_str(), 0600);
  struct TCase {
    const char* Label;
    std::string Path;
  };
  std::vector<TCase> cases = {{"missing", dir / "missing.txt"}, {"folder", dir / "folder"}, {"fifo", dir / "fifo"}};
  // root reads files whatever their mode
  if (::geteuid() != 0) cases.push_back({"no permission", dir / "locked.txt"});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    const std::string archive = dir / (std::string(c.Label) + ".zip");
    {
      TZipWriter zip(archive, "pw");
      EXPECT_TRUE(zip.AddFile(dir / "before.txt", "before.txt"));
      EXPECT_FALSE(zip.AddFile(c.Path, "bad.txt"));
      EXPECT_TRUE(zip.AddFile(dir / "after.txt", "after.txt"));
      EXPECT_TRUE(zip.Close());
    }
    std::string testzip;
    auto py = PythonEntries(archive, "pw", {{"before.txt", dir / "before.txt"}, {"after.txt", dir / "after.txt"}}, &testzip);
    ASSERT_EQ(py.size(), 2u);
    EXPECT_EQ(py[0].Name, "before.txt");
    EXPECT_EQ(py[1].Name, "after.txt");
    EXPECT_EQ(py[0].Same + py[1].Same, "11");
    EXPECT_EQ(testzip, "None");
  }
}

// The stored time is the file's local modification time in the process's zone.
TEST(ZipWriter, EntryTimeIsTheLocalModificationTime) {
  struct TCase {
    const char* Zone;
    int64_t Mtime;
    const char* Expected;
  };
  const TCase cases[] = {
      {"UTC0", 1700000000, "2023-11-14 22:13:20"},
      {"IST-5:30", 1700000000, "2023-11-15 03:43:20"},  // half an hour
      {"NST3:30", 1700000000, "2023-11-14 18:43:20"},
      {"UTC0", 1700000001, "2023-11-14 22:13:20"},  // two-second steps: down
      {"UTC0", 0, "1980-01-01 00:00:00"},           // before the format's first day
      {"UTC0", 4354819199, "2107-12-31 23:59:58"},  // past its last
  };
  TempFolder dir;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Zone) + " " + std::to_string(c.Mtime));
    ScopedTZ zone(c.Zone);
    const std::string file = dir / "dated.txt", archive = dir / "dated.zip";
    fs::remove(archive);
    WriteFile(file, "dated");
    SetMtime(file, c.Mtime);
    {
      TZipWriter zip(archive, "");
      ASSERT_TRUE(zip.AddFile(file, "dated.txt"));
    }
    auto py = PythonEntries(archive, "", {});
    ASSERT_EQ(py.size(), 1u);
    EXPECT_EQ(py[0].Time, c.Expected);
  }
}

TEST(ZipWriter, Utf8FlagOnlyForValidNonAsciiNames) {
  struct TCase {
    const char* Label;
    std::string Name;
    bool Flag;
  };
  const TCase cases[] = {
      {"ascii", "report.txt", false},
      {"utf-8", "Bericht-\xc3\xbc.txt", true},
      {"cjk", "\xe6\x8a\xa5\xe5\x91\x8a.txt", true},
      {"latin-1 bytes", "Bericht-\xfc.txt", false},     // not UTF-8: left to the reader's code page
      {"overlong", "a\xc0\xaf.txt", false},
      {"surrogate", "a\xed\xa0\x80.txt", false},
      {"truncated", "a\xe6\x8a", false},
  };
  TempFolder dir;
  WriteFile(dir / "src", "x");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    EXPECT_EQ(ZipNameNeedsUtf8Flag(c.Name), c.Flag);
    const std::string archive = dir / (std::string(c.Label) + ".zip");
    {
      TZipWriter zip(archive, "");
      ASSERT_TRUE(zip.AddFile(dir / "src", c.Name));
    }
    auto unz = MinizipEntries(archive, "");
    ASSERT_EQ(unz.size(), 1u);
    EXPECT_EQ(unz[0].Name, c.Name);
    EXPECT_EQ((unz[0].Flags & 0x800) != 0, c.Flag);
    // Python reads every one of them (a flag on bytes that are not UTF-8 would make it fail).
    EXPECT_EQ(PythonEntries(archive, "", {}).size(), 1u);
  }
}

TEST(ZipWriter, Zip64OnlyWhenAnEntryMayReachFourGigabytes) {
  const std::pair<uint64_t, bool> cases[] = {
      {0, false}, {50ull << 20, false}, {3ull << 30, false}, {0xfff00000ull, true}, {0xffffffffull, true}, {5ull << 30, true}};
  for (auto [size, zip64] : cases) EXPECT_EQ(ZipEntryNeedsZip64(size), zip64) << size;
}

// Packing with a password leaves the host program's rand() sequence as it was.
TEST(ZipWriter, PasswordPackingLeavesRandAlone) {
  TempFolder dir;
  WriteFile(dir / "a.txt", "aaa");
  WriteFile(dir / "b.txt", RandomBytes(1000, 3));
  auto sequence = [] {
    std::vector<int> v;
    for (int i = 0; i < 16; ++i) v.push_back(std::rand());
    return v;
  };
  std::srand(4242);
  const auto plain = sequence();
  std::srand(4242);
  {
    TZipWriter zip(dir / "pw.zip", "secret");
    ASSERT_TRUE(zip.AddFile(dir / "a.txt", "a.txt"));
    ASSERT_TRUE(zip.AddFile(dir / "b.txt", "b.txt"));
  }
  EXPECT_EQ(sequence(), plain);
}

// ---- names and lists ----

TEST(ZipNames, ExtraFilesAreSplitAndTrimmed) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {" /a/b.txt ;  /c/d e.log ", {"/a/b.txt", "/c/d e.log"}},
      {"", {}},
      {" ; ;", {}},
      {";;/x;", {"/x"}},
      {"\t/tab.txt\t", {"/tab.txt"}},
  };
  for (auto& [value, paths] : cases) EXPECT_EQ(SplitExtraFiles(value), paths) << '"' << value << '"';
}

TEST(ZipNames, KeptArchiveNameDecorations) {
  struct TCase {
    const char* Label;
    TSendFlags Flags;
    TReportTime Time;
    std::string Expected;
  };
  const std::string host = ComputerName();
  const TCase cases[] = {
      {"none", {}, {1700000000, 0}, "BugReport.zip"},
      {"computer", {sfComputerInFileNames}, {1700000000, 0}, "BugReport__" + host + ".zip"},
      {"date", {sfDateInFileNames}, {1700000000, 0}, "BugReport__20231114221320.zip"},
      {"both, half-hour zone", {sfComputerInFileNames, sfDateInFileNames}, {1700000000, 19800},
       "BugReport__" + host + "__20231115034320.zip"},
  };
  TTarvexModuleOptions o("/opt/prog");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    o.SetSendFlags(c.Flags);
    EXPECT_EQ(KeptArchiveName(o, c.Time), c.Expected);
  }
}

// ---- the steps of a delivery ----

class ZipDelivery : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    ::mkdir(Folder().c_str(), 0700);
    ::mkdir(LogFolder().c_str(), 0700);
    MakeOptions(options, LogFolder());
    context.Options = &options;
    context.Folder = Folder();
    context.ReportText = "Report\nline two\n";
  }
  std::string Folder() const { return dir / "private"; }
  std::string LogFolder() const { return dir / "logs"; }
  std::vector<std::string> ArchiveNames() {
    std::vector<std::string> names;
    if (context.Attachments.size() != 1) return names;
    for (auto& e : MinizipEntries(context.Attachments[0], options.ZipArchivePassword())) names.push_back(e.Name);
    return names;
  }
  std::vector<std::string> LogFolderListing() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(LogFolder())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder dir;
  TTarvexModuleOptions options{"/opt/app/prog"};
  TDeliveryContext context;
};

TEST_F(ZipDelivery, TextCopyEndsInThreeCrLfBreaks) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb", "a\r\nb\r\n\r\n\r\n"},
      {"a\r\nb\r\n\r\n\r\n", "a\r\nb\r\n\r\n\r\n"},
      {"a\rb\n", "a\r\nb\r\n\r\n\r\n\r\n"},
      {"", "\r\n\r\n\r\n"},
  };
  for (auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    context.ReportText = text;
    PrepareTextFiles(context);
    EXPECT_EQ(LogCopyPath(context), Folder() + "/prog.tlf");
    EXPECT_EQ(ReadFile(LogCopyPath(context)), expected);
  }
  // No CGI program here: there is no last page to attach.
  options.SetSendFlags(TSendFlags{sfAttachLastHtmlPage});
  PrepareTextFiles(context);
  EXPECT_FALSE(fs::exists(Folder() + "/LastHTMLPage.html"));
}

TEST_F(ZipDelivery, XmlExportOfTheLog) {
  {
    TLogFile log(LogFolder() + "/prog.tlf", false);
    log.Add(SampleReport("ABCD"));
    log.Save();
  }
  options.SetSendFlags(TSendFlags{sfAttachXmlCopy});
  PrepareTextFiles(context);
  const std::string xml = ReadFile(Folder() + "/prog.xml");
  EXPECT_EQ(xml.rfind("<Doc>", 0), 0u) << xml.substr(0, 200);
  EXPECT_NE(xml.find("<Log"), std::string::npos);
  PrepareAttachments(context, false);
  EXPECT_EQ(ArchiveNames(), (std::vector<std::string>{"prog.tlf", "prog.xml"}));
}

TEST_F(ZipDelivery, AttachmentListByRouteAndOptions) {
  WriteFile(dir / "extra one.txt", "1");
  WriteFile(dir / "extra2.log", "2");
  struct TCase {
    const char* Label;
    std::string Extra;
    bool ForEmail, InBody;
    TSendFlags Flags;
    bool Screenshot;
    std::vector<std::string> Expected;  // empty: no archive
  };
  const std::string extras = "  " + (dir / "extra one.txt") + " ; " + (dir / "extra2.log") + " ";
  const TCase cases[] = {
      {"web", extras, false, false, {}, false, {"extra one.txt", "extra2.log", "prog.tlf"}},
      {"email", extras, true, false, {}, false, {"extra one.txt", "extra2.log", "prog.tlf"}},
      {"email, text in the body", extras, true, true, {}, false, {"extra one.txt", "extra2.log"}},
      {"web ignores the body option", "", false, true, {}, false, {"prog.tlf"}},
      {"email, body, nothing else", "", true, true, {}, false, {}},
      {"missing extra dropped", dir / "missing.txt;" + (dir / "extra2.log"), false, false, {}, false,
       {"extra2.log", "prog.tlf"}},
      {"screenshot", "", false, false, {sfAttachScreenshot}, true, {"prog.tlf", "Screenshot.png"}},
      {"screenshot not taken", "", false, false, {sfAttachScreenshot}, false, {"prog.tlf"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    options.SetExtraFiles(c.Extra);
    options.SetEmailReportInBody(c.InBody);
    options.SetSendFlags(c.Flags);
    fs::remove(Folder() + "/Screenshot.png");
    if (c.Screenshot) WriteFile(Folder() + "/Screenshot.png", RandomBytes(5000, 1));
    PrepareTextFiles(context);
    PrepareAttachments(context, c.ForEmail);
    if (c.Expected.empty()) {
      EXPECT_TRUE(context.Attachments.empty());
      EXPECT_FALSE(fs::exists(ArchivePath(context)));
    } else {
      EXPECT_EQ(context.Attachments, std::vector<std::string>{Folder() + "/BugReport.zip"});
      EXPECT_EQ(ArchiveNames(), c.Expected);
    }
  }
}

TEST_F(ZipDelivery, PasswordAppliesToEveryEntryWithTheSameNames) {
  WriteFile(dir / "extra.txt", "extra");
  options.SetExtraFiles(dir / "extra.txt");
  PrepareTextFiles(context);
  PrepareAttachments(context, false);
  const auto plainNames = ArchiveNames();
  options.SetZipArchivePassword("zip-pw");
  PrepareAttachments(context, false);
  EXPECT_EQ(ArchiveNames(), plainNames);
  auto py = PythonEntries(context.Attachments.at(0), "zip-pw", {{"extra.txt", dir / "extra.txt"}});
  ASSERT_EQ(py.size(), 2u);
  for (auto& e : py) EXPECT_EQ(e.Flags & 1, 1) << e.Name;
  EXPECT_EQ(py[0].Same, "1");
}

// Handlers of the attached-files event may change the list; paths that do not exist go.
TEST_F(ZipDelivery, AttachedFilesEventChangesTheList) {
  WriteFile(dir / "added.bin", "added");
  WriteFile(dir / "extra.txt", "extra");
  options.SetExtraFiles(dir / "extra.txt");
  std::vector<std::string> seen;
  TTarvexEventHandlers handlers;
  handlers.AttachedFilesRequest = [&](const TTarvexExceptionRecord&, std::vector<std::string>& files) {
    seen = files;
    files.erase(files.begin());                  // drops the extra file
    files.push_back(dir / "added.bin");          // adds one
    files.push_back(dir / "does-not-exist.txt");  // dropped afterwards
  };
  const int id = RegisterEventHandlers(handlers);
  PrepareTextFiles(context);
  PrepareAttachments(context, false);
  UnregisterEventHandlers(id);
  EXPECT_EQ(seen, (std::vector<std::string>{dir / "extra.txt", Folder() + "/prog.tlf"}));
  EXPECT_EQ(ArchiveNames(), (std::vector<std::string>{"prog.tlf", "added.bin"}));
}

TEST_F(ZipDelivery, EleventhKeptArchiveEvictsTheOldest) {
  options.SetSendFlags(TSendFlags{sfComputerInFileNames, sfDateInFileNames});
  const std::string prefix = LogFolder() + "/BugReport__" + ComputerName() + "__";
  for (int i = 0; i < 10; ++i) WriteFile(prefix + "2020010100000" + std::to_string(i) + ".zip", "old");
  // Zip files that are not this layer's archives stay, however many there are.
  const std::vector<std::string> unrelated = {"other.zip", "bugreport-notes.zip", "BugReport.zip.bak", "BugReportX.zip"};
  for (auto& name : unrelated) WriteFile(LogFolder() + "/" + name, "mine");
  PrepareTextFiles(context);
  PrepareAttachments(context, false);
  ASSERT_EQ(context.Attachments.size(), 1u);
  const std::string packed = ReadFile(context.Attachments[0]);
  ASSERT_TRUE(KeepArchive(context, TReportTime{1700000000, 0}));
  EXPECT_FALSE(fs::exists(ArchivePath(context)));

  std::vector<std::string> expected = unrelated;
  for (int i = 1; i < 10; ++i) expected.push_back(ExtractFileName(prefix + "2020010100000" + std::to_string(i) + ".zip"));
  expected.push_back(ExtractFileName(prefix) + "20231114221320.zip");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(LogFolderListing(), expected);
  EXPECT_EQ(ReadFile(prefix + "20231114221320.zip"), packed);
}

TEST_F(ZipDelivery, KeepingNeverReplacesAFile) {
  options.SetSendFlags(TSendFlags{sfDateInFileNames});
  const std::string taken = LogFolder() + "/BugReport__20231114221320.zip";
  WriteFile(taken, "earlier archive");
  PrepareTextFiles(context);
  PrepareAttachments(context, false);
  EXPECT_FALSE(KeepArchive(context, TReportTime{1700000000, 0}));
  EXPECT_EQ(ReadFile(taken), "earlier archive");
  EXPECT_TRUE(fs::exists(ArchivePath(context)));  // left for the clean-up
  RemoveTemporaryFiles(context);
  EXPECT_FALSE(fs::exists(ArchivePath(context)));
}

// Another file system: copied, then linked under the final name, which is never replaced.
TEST(ZipKeep, MoveAcrossFileSystems) {
  TempFolder here;
  const char* shm = "/dev/shm";
  struct stat a {}, b {};
  if (::stat(shm, &a) != 0 || ::stat(here.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system next to " << here.path();
  std::string pattern = std::string(shm) + "/zip-keep-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string source = pattern + "/BugReport.zip";
  const std::string data = RandomBytes(600 * 1024, 11);
  WriteFile(source, data);
  EXPECT_TRUE(MoveWithoutReplacing(source, here / "kept.zip"));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(ReadFile(here / "kept.zip"), data);
  WriteFile(source, "second");
  EXPECT_FALSE(MoveWithoutReplacing(source, here / "kept.zip"));
  EXPECT_EQ(ReadFile(here / "kept.zip"), data);
  EXPECT_TRUE(fs::exists(source));
  for (auto& e : fs::directory_iterator(here.path()))  // no temporary copy left behind
    EXPECT_EQ(e.path().filename(), "kept.zip");
  fs::remove_all(pattern);
}

TEST(ZipKeep, OnlyThisLayersArchiveNamesArePruned) {
  const std::pair<const char*, bool> cases[] = {
      {"BugReport.zip", true},          {"BugReport__host.zip", true},
      {"BugReport__host__20231114221320.zip", true}, {"BugReport__.zip", false},
      {"BugReport_x.zip", false},       {"bugreport.zip", false},
      {"BugReport.zip.bak", false},     {"Other.zip", false},
      {"BugReportX.zip", false},
  };
  for (auto [name, ours] : cases) EXPECT_EQ(IsKeptArchiveName(name), ours) << name;
}

TEST_F(ZipDelivery, RemoveTemporaryFilesClearsReadOnlyFiles) {
  options.SetSendFlags(TSendFlags{sfAttachXmlCopy});
  PrepareTextFiles(context);
  PrepareAttachments(context, false);
  WriteFile(Folder() + "/LastHTMLPage.html", "<html/>");
  WriteFile(Folder() + "/prog.xml", "<Doc/>");
  ::chmod(LogCopyPath(context).c_str(), 0400);
  ::chmod(Folder().c_str(), 0700);
  RemoveTemporaryFiles(context);
  EXPECT_TRUE(fs::is_empty(Folder()));
  EXPECT_TRUE(context.Attachments.empty());
}

class TRecordingUi final : public IExceptionUi {
 public:
  void ShowExceptionDialog(const TTarvexExceptionRecord&, TDialogKind, bool, bool, TDialogState&) override {}
  void ShowReproduceRequest(TTarvexModuleOptions&) override {}
  bool DialogOnScreen() const override { return false; }
  bool ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) override {
    Boxes.push_back(caption + "|" + text + (icon == mbInformation ? "|information" : "|error"));
    return true;
  }
  bool CopyToClipboard(const std::string& text) override {
    Clipboard.push_back(text);
    return true;
  }
  std::vector<std::string> Boxes, Clipboard;
};

TEST_F(ZipDelivery, AfterDelivery) {
  struct TCase {
    const char* Label;
    bool Success;
    TBehaviourFlags Behaviour;
    bool ReportResult, TrackerSaidClosed;
    bool Clipboard, Kept;
    std::string Box;
  };
  const std::string ok = "Information.|The message was sent successfully.|information";
  const std::string failed = "Information.|Sorry, sending the message didn't work.|error";
  const TCase cases[] = {
      {"success, result shown", true, {bfClipboardOnSendFailure, bfKeepZipOnSendFailure}, true, false, false, false, ok},
      {"failure, everything", false, {bfClipboardOnSendFailure, bfKeepZipOnSendFailure}, true, false, true, true, failed},
      {"failure, nothing asked", false, {}, false, false, false, false, ""},
      {"failure, tracker told the user", false, {bfKeepZipOnSendFailure}, true, true, false, true, ""},
      {"success, no result message", true, {}, false, false, false, false, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    for (auto& e : fs::directory_iterator(LogFolder())) fs::remove(e.path());
    auto ui = std::make_shared<TRecordingUi>();
    SetExceptionUi(ui);
    options.SetBehaviourFlags(c.Behaviour);
    options.SetSendFlags(c.ReportResult ? TSendFlags{sfReportSendResult} : TSendFlags{});
    context.TrackerSaidClosed = c.TrackerSaidClosed;
    PrepareTextFiles(context);
    PrepareAttachments(context, false);
    AfterDelivery(context, c.Success);
    SetExceptionUi(nullptr);
    EXPECT_EQ(ui->Clipboard, c.Clipboard ? std::vector<std::string>{context.ReportText} : std::vector<std::string>{});
    EXPECT_EQ(ui->Boxes, c.Box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Box});
    EXPECT_EQ(fs::exists(LogFolder() + "/BugReport.zip"), c.Kept);
    EXPECT_TRUE(fs::is_empty(Folder()));
  }
}

}  // namespace
