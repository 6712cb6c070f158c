// The dialog rules that need no window: the request, the result, the e-mail address, the
// settings file, the call-stack rows and the jump-to-source record.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "reporting/report/EReport.h"
#include "reporting/ui/EDialogRequest.h"
#include "reporting/ui/EDialogSettings.h"
#include "reporting/ui/EEmailAddress.h"
#include "reporting/ui/EIniFile.h"
#include "reporting/ui/EJumpToSource.h"

using namespace tarvex_dialog;

namespace {

TDialogContext Context(TDialogKind kind) {
  TDialogContext c;
  c.Kind = kind;
  c.Message = "boom";
  return c;
}

}  // namespace

TEST(DialogRequest, OfferedControlsFollowTheOptions) {
  struct TCase {
    const char* Name;
    TDialogKind Kind;
    std::function<void(TTarvexModuleOptions&, TDialogContext&)> Setup;
    uint32_t MustOffer, MustNotOffer;
  } cases[] = {
      {"classic: nothing to send", dkClassic, [](auto& o, auto&) { o.SetEmailMode(emNone); }, 0,
       dcSendBox | dcEmailBox},
      {"classic: smtp offers sending and the address box", dkClassic,
       [](auto& o, auto&) {
         o.SetEmailMode(emSmtpClient);
         o.SetDialogFlags(o.DialogFlags().Include(dfOfferSending));
       },
       dcSendBox | dcEmailBox, 0},
      {"classic: the mail client asks for no address", dkClassic,
       [](auto& o, auto&) {
         o.SetEmailMode(emClient);
         o.SetDialogFlags(o.DialogFlags().Include(dfOfferSending));
       },
       dcSendBox, dcEmailBox},
      {"a duplicate is not offered for sending", dkDetailed,
       [](auto& o, auto& c) {
         o.SetWebMode(wmHttp);
         o.SetDialogFlags(o.DialogFlags().Include(dfOfferSending));
         c.Duplicate = true;
       },
       0, dcSendBox | dcScreenshotBox},
      {"terminate shown after the error count passes the limit", dkDetailed,
       [](auto& o, auto& c) {
         o.SetTerminateButtonAction(xaTerminate);
         o.SetTerminateButtonAfter(2);
         c.ErrorCount = 3;
       },
       dcTerminate, 0},
      {"terminate hidden at the limit", dkDetailed,
       [](auto& o, auto& c) {
         o.SetTerminateButtonAction(xaTerminate);
         o.SetTerminateButtonAfter(2);
         c.ErrorCount = 2;
       },
       0, dcTerminate},
      {"forced detailed has no Details button", dkDetailed,
       [](auto& o, auto& c) {
         o.SetDialogFlags(o.DialogFlags().Include(dfShowDetailsButton));
         c.ForcedDetailed = true;
       },
       0, dcDetailsButton},
      {"a blank support address shows no link", dkDetailed, [](auto& o, auto&) { o.SetSupportAddress("  "); }, 0,
       dcSupportLink},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTarvexModuleOptions o;
    TDialogContext context = Context(c.Kind);
    c.Setup(o, context);
    const TDialogRequest q = BuildDialogRequest(o, TDialogState{}, context).Request;
    EXPECT_EQ(q.Offered & c.MustOffer, c.MustOffer);
    EXPECT_EQ(q.Offered & c.MustNotOffer, 0u);
  }
}

TEST(DialogRequest, DetailPageOfAnAbsentTabFallsBackToGeneral) {
  TTarvexModuleOptions o;
  o.SetLogFlags(o.LogFlags().Exclude(lfModulesAndProcesses).Include(lfAssemblerAndCpu));
  o.SetDetailPage(dpModules);
  EXPECT_EQ(BuildDialogRequest(o, {}, Context(dkDetailed)).Request.DetailPage, dpGeneral);
  o.SetDetailPage(dpCpu);
  EXPECT_EQ(BuildDialogRequest(o, {}, Context(dkDetailed)).Request.DetailPage, dpCpu);
  // Texts arrive resolved, by index.
  const TDialogRequest q = BuildDialogRequest(o, {}, Context(dkDetailed)).Request;
  ASSERT_NE(q.FindText(5), nullptr);
  EXPECT_EQ(*q.FindText(5), o.GetText(5));
  EXPECT_EQ(q.Message, "boom");
}

TEST(DialogResult, ClassicChoices) {
  struct TCase {
    const char* Name;
    int32_t How;
    bool SendBefore;
    uint32_t Checked;
    bool Send, Cancelled, Terminate;
    TDialogKind Next;
  } cases[] = {
      {"send button", chSend, false, 0, true, false, false, dkNone},
      {"don't send", chOk, true, 0, false, false, false, dkNone},
      {"escape", chEscape, true, dcTerminate, false, true, false, dkNone},
      {"auto-close keeps the choice", chAutoClose, true, 0, true, false, false, dkNone},
      {"close button with the restart box", chCloseButton, true, dcTerminate, true, false, true, dkNone},
      {"details link", chDetailsLink, true, 0, true, false, false, dkDetailed},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q;
    q.Kind = 2;
    q.Offered = dcSendBox | dcTerminate | dcDetailsButton;
    TDialogResult r;
    r.How = c.How;
    r.Checked = c.Checked;
    TDialogState state;
    state.SendReport = c.SendBefore;
    TTarvexModuleOptions o;
    ApplyDialogResult(q, r, state, o);
    EXPECT_EQ(state.SendReport, c.Send);
    EXPECT_EQ(state.Cancelled, c.Cancelled);
    EXPECT_EQ(state.TerminateRequested, c.Terminate);
    EXPECT_EQ(state.Kind, c.Next);
  }
}

TEST(DialogResult, DetailedChoicesAndRememberedBoxes) {
  struct TCase {
    const char* Name;
    int32_t How;
    uint32_t Offered, Checked, Boxes;
    bool Send, Screenshot, Copy, Terminate;
  } cases[] = {
      {"OK keeps the boxes", chOk, dcSendBox | dcScreenshotBox | dcCopyBox, 0,
       dcSendBox | dcScreenshotBox | dcCopyBox, true, true, true, false},
      {"escape clears send and copy", chEscape, dcSendBox | dcCopyBox, 0, dcSendBox | dcCopyBox, false, false, false,
       false},
      {"terminate button", chTerminate, dcTerminate | dcSendBox, 0, 0, false, false, false, true},
      {"a hidden box keeps its first state", chOk, 0, dcSendBox, 0, true, false, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q;
    q.Kind = 3;
    q.Offered = c.Offered;
    q.Checked = c.Checked;
    TDialogResult r;
    r.How = c.How;
    r.Checked = c.Boxes;
    TDialogState state;
    TTarvexModuleOptions o;
    ApplyDialogResult(q, r, state, o);
    EXPECT_EQ(state.SendReport, c.Send);
    EXPECT_EQ(state.AttachScreenshot, c.Screenshot);
    EXPECT_EQ(state.CopyToClipboard, c.Copy);
    EXPECT_EQ(state.TerminateRequested, c.Terminate);
    EXPECT_EQ(o.DialogFlags().Contains(dfSendChecked), c.Send);
    EXPECT_EQ(o.DialogFlags().Contains(dfScreenshotChecked), c.Screenshot);
  }
}

TEST(DialogResult, InvalidAddressIsDroppedWithoutBlockingAndTheReproduceTextIsTrimmed) {
  TDialogRequest q;
  q.Kind = 2;
  q.Offered = dcEmailBox | dcReproduceBox;
  TTarvexModuleOptions o;
  TDialogState state;
  TDialogResult r;
  r.How = chAutoClose;
  r.Email = "no address";
  r.ReproduceText = "  clicked twice \r\n";
  EXPECT_FALSE(ApplyDialogResult(q, r, state, o).AcceptedEmail.has_value());
  EXPECT_EQ(o.ReproduceText(), "clicked twice");
  r.Email = "  user@example.org ";
  const TDialogOutcome outcome = ApplyDialogResult(q, r, state, o);
  ASSERT_TRUE(outcome.AcceptedEmail.has_value());
  EXPECT_EQ(*outcome.AcceptedEmail, "user@example.org");
}

TEST(EmailAddress, Validity) {
  struct TCase {
    std::string Address;
    bool Valid;
  } cases[] = {
      {"a@b.c", true},
      {"", false},
      {"ab.c", false},
      {"a@bc", false},
      {"a b@c.d", false},
      {"a@c.d\r\nBcc: x@y.z", false},
      {std::string("a@c.d\0", 6), false},
      {"a\x7F@c.d", false},
      {std::string(251, 'a') + "@b.c", false},  // 255 bytes: one past the limit
      {std::string(250, 'a') + "@b.c", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Address.substr(0, 40));
    EXPECT_EQ(ValidEmailAddress(c.Address), c.Valid);
  }
  EXPECT_EQ(TrimmedText(" \t a@b.c\r\n"), "a@b.c");
}

TEST(EmailAddress, ReplacesTheUserEmailLineOfTheReport) {
  const std::string text = "1.1 x\r\n  3.3 Email              : old@x.y\r\n  3.4 next : v\r\n";
  EXPECT_EQ(ReportTextWithEmail(text, "new@a.b"), "1.1 x\r\n  3.3 Email              : new@a.b\r\n  3.4 next : v\r\n");
  EXPECT_EQ(ReportTextWithEmail("no such line", "new@a.b"), "no such line");
}

TEST(IniFile, NumbersTakeTheirDefaultWhenNotNumbersOrOutOfRange) {
  const TIniData ini = TIniData::Parse(
      "[Coordinates]\r\nWidth=abc\r\nHeight=0\r\nLeft=12\r\nTop= -40 \r\nWindowsState=4\r\nCol0=+150\r\n"
      "Col1=99999999999\r\nColMod5=111\r\nColMod6=222\r\n[user]\r\nemail=me@x.y\r\n");
  const TDialogSettings s = ReadDialogSettings(ini);
  EXPECT_EQ(s.Geometry.Width, 745);   // not a number
  EXPECT_EQ(s.Geometry.Height, 468);  // out of range
  EXPECT_EQ(s.Geometry.Left, 12);
  EXPECT_EQ(s.Geometry.Top, -40);
  EXPECT_EQ(s.Geometry.WindowsState, 1);  // only 1, 3 and 6 are states
  EXPECT_EQ(s.StackColumns[0], 150);
  EXPECT_EQ(s.StackColumns[1], 92);
  EXPECT_EQ(s.StackColumns[5], 61);
  // "Modified" (sixth) lives under ColMod6, "Path" (seventh) under ColMod5.
  EXPECT_EQ(s.ModuleColumns[5], 222);
  EXPECT_EQ(s.ModuleColumns[6], 111);
  EXPECT_EQ(s.ProcessColumns, (std::vector<int32_t>{48, 134, 232, 56, 57, 47, 52, 330}));
  EXPECT_EQ(s.Email, "me@x.y");  // sections and keys compare without case
  EXPECT_FALSE(ReadDialogSettings(TIniData::Parse("[Coordinates]\nLeft=5\n")).Geometry.Left.has_value());
  // Without keys, each column takes its own key's default: Modified 80, Path 712.
  const TDialogSettings none = ReadDialogSettings(TIniData::Parse(""));
  EXPECT_EQ(none.ModuleColumns, (std::vector<int32_t>{136, 96, 175, 50, 54, 80, 712}));
  EXPECT_EQ(none.StackColumns[0], 145);  // 16 address digits
}

TEST(IniFile, WritesKeepOtherLinesAndMapTheModuleColumns) {
  TIniData ini = TIniData::Parse("; note\n[Coordinates]\nWidth=700\nOther=keep\n\n[Mine]\nx=1\n");
  TDialogGeometry g;
  g.Width = 801;
  g.Height = 402;
  g.Left = 3;
  g.Top = 4;
  WriteDialogGeometry(ini, g);
  WriteDialogColumns(ini, {}, {1, 2, 3, 4, 5, 66, 77}, {});
  WriteDialogEmail(ini, "u@v.w");
  const TIniData back = TIniData::Parse(ini.Text());
  EXPECT_EQ(back.String("Coordinates", "Width"), "801");
  EXPECT_EQ(back.String("Coordinates", "Other"), "keep");
  EXPECT_EQ(back.String("Coordinates", "ColMod6"), "66");
  EXPECT_EQ(back.String("Coordinates", "ColMod5"), "77");
  EXPECT_FALSE(back.Value("Coordinates", "Col0").has_value());
  EXPECT_EQ(back.String("Mine", "x"), "1");
  EXPECT_EQ(back.String("User", "Email"), "u@v.w");
  EXPECT_EQ(ini.Text().rfind("; note\n", 0), 0u);
  const TDialogSettings s = ReadDialogSettings(back);
  EXPECT_EQ(s.ModuleColumns[5], 66);
  EXPECT_EQ(s.ModuleColumns[6], 77);
  // A maximised window writes its state only.
  TIniData maximised;
  g.WindowsState = 3;
  WriteDialogGeometry(maximised, g);
  EXPECT_FALSE(maximised.Value("Coordinates", "Width").has_value());
  EXPECT_EQ(maximised.String("Coordinates", "WindowsState"), "3");
  // Values are read as through a 2048-byte buffer, and a line break cannot start a new key.
  TIniData big;
  big.Set("User", "Email", std::string(3000, 'x') + "\nInjected=1");
  EXPECT_EQ(TIniData::Parse(big.Text()).String("User", "Email").size(), 2047u);
  EXPECT_FALSE(TIniData::Parse(big.Text()).Value("User", "Injected").has_value());
}

TEST(IniFile, ConcurrentUpdatesUnderTheLockLoseNothing) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tarvex-ini-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  EXPECT_EQ(TarvexLogIniPath(), (dir / "TarvexLog/TarvexLog.ini").string());
  EXPECT_EQ(ReadDialogSettings(ReadTarvexLogIni()).Geometry.Width, 745);  // no file: defaults
  // Separate processes, each adding its own keys: a lost update would drop some.
  constexpr int kWriters = 4, kKeys = 10;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      bool ok = true;
      for (int k = 0; k < kKeys; ++k)
        ok = UpdateTarvexLogIni([&](TIniData& ini) { ini.Set("T", "w" + std::to_string(w) + "k" + std::to_string(k), "1"); }) && ok;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const TIniData ini = ReadTarvexLogIni();
  for (int w = 0; w < kWriters; ++w)
    for (int k = 0; k < kKeys; ++k)
      EXPECT_TRUE(ini.Value("T", "w" + std::to_string(w) + "k" + std::to_string(k)).has_value());
  for (const auto& entry : std::filesystem::directory_iterator(dir / "TarvexLog"))
    EXPECT_EQ(entry.path().extension() == ".new", false) << entry.path();
  EXPECT_EQ(std::filesystem::status(dir / "TarvexLog/TarvexLog.ini").permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  // A folder that cannot be made: the change is dropped, nothing thrown.
  ::setenv("XDG_CONFIG_HOME", "/proc/no-such-place", 1);
  EXPECT_FALSE(UpdateTarvexLogIni([](TIniData& ini) { ini.Set("A", "b", "c"); }));
  ::unsetenv("XDG_CONFIG_HOME");
  std::filesystem::remove_all(dir);
}

TEST(CallStackRows, GroupsByThreadWithEmptyRowsAndJumpIds) {
  TTarvexModuleOptions o;
  TTarvexModuleInfo exe;
  exe.FileName = "/opt/app/prog";
  exe.ModuleKind = 1;
  auto entry = [&](uint32_t thread, uint8_t role, uint8_t kind, int32_t line, uint8_t first = 0) {
    TTarvexStackEntry e;
    e.ThreadID = thread;
    e.StackRole = role;
    e.EntryKind = kind;
    e.LineNumber = line;
    e.LineOffset = line ? 2 : 0;
    e.IsFirstEntry = first;
    e.Module = &exe;
    e.Address = 0x401000;
    e.ProcedureName = "f";
    return e;
  };
  const TTarvexStackList stack = {
      entry(7, 1, kEntryLine, 10, 1), entry(7, 1, kEntryLine, 20),   // the exception thread
      entry(7, 0, kEntryLine, 30),                                   // its creator's stack copy
      entry(7, 1, kEntryModule, 0),                                  // not listed
      entry(9, 1, kEntryLine, 0),                                    // another running thread
  };
  std::vector<TThreadRow> threads = {{7, 0, "", true}, {9, std::nullopt, "TWorker", false}};
  const TStackRows rows = CallStackRows(o, stack, threads, 7);
  ASSERT_EQ(rows.Rows.size(), 8u);
  EXPECT_TRUE(rows.Rows[0].Group);
  EXPECT_EQ(rows.Rows[0].ColourClass, 3);
  EXPECT_EQ(rows.Rows[0].Header, o.GetText(99) + ": " + o.GetText(102) + "=7; " + o.GetText(103) + "=0; [" +
                                     o.GetText(98) + "]");
  EXPECT_EQ(rows.Rows[1].Cells[0], "0000000000401000");
  EXPECT_EQ(rows.Rows[1].Cells[1], "prog");
  EXPECT_EQ(rows.Rows[1].Cells[5], "10[2]");
  EXPECT_EQ(rows.Rows[1].JumpId, 0);
  EXPECT_EQ(rows.Rows[2].JumpId, 1);
  EXPECT_TRUE(rows.Rows[3].Group);  // the creator's copy: a calling thread, no empty row before it
  EXPECT_EQ(rows.Rows[3].ColourClass, 0);
  EXPECT_EQ(rows.Rows[3].Header.rfind(o.GetText(101) + ": ", 0), 0u);
  EXPECT_FALSE(rows.Rows[4].Group);
  EXPECT_TRUE(rows.Rows[5].Cells[0].empty());  // empty row before a running thread
  EXPECT_TRUE(rows.Rows[6].Group);
  EXPECT_EQ(rows.Rows[6].ColourClass, 1);
  EXPECT_NE(rows.Rows[6].Header.find("=??; " + o.GetText(104) + "=TWorker"), std::string::npos);
  EXPECT_EQ(rows.Rows[7].Cells[5], "");
  EXPECT_EQ(rows.Rows[7].JumpId, -1);
  ASSERT_EQ(rows.JumpEntries.size(), 3u);
  EXPECT_EQ(rows.JumpEntries[2]->LineNumber, 30);
}

// A leak report's rows: a group row per leak, with the leak's text; the leaks are the
// exception thread's own stack, so each group is coloured as it is and a later one follows an
// empty row.
struct TLeakRowsCase {
  const char* Name;
  std::vector<std::pair<const char*, size_t>> Leaks;  // class (empty: none) and rows
  std::vector<std::string> Headers;
};

TEST(CallStackRows, AGroupPerLeak) {
  TTarvexModuleOptions o;
  o.SetText(106, "Daten");
  TTarvexModuleInfo exe;
  exe.FileName = "/opt/app/prog";
  exe.ModuleKind = 1;
  const TLeakRowsCase cases[] = {
      {"ClassAndData", {{"TOwner", 2}, {"", 1}},
       {"Memory Leak: Type=TOwner; Total size=5000000000; Count=3", "Memory Leak: Type=Daten; Total size=5000000000; Count=3"}},
      {"EqualLeaksStayApart", {{"", 1}, {"", 1}},
       {"Memory Leak: Type=Daten; Total size=5000000000; Count=3", "Memory Leak: Type=Daten; Total size=5000000000; Count=3"}},
  };
  for (const TLeakRowsCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTarvexStackList stack;
    for (size_t n = 0; n < c.Leaks.size(); ++n)
      for (size_t r = 0; r < c.Leaks[n].second; ++r) {
        TTarvexStackEntry& e = stack.emplace_back();
        e.EntryKind = kEntryLine;
        e.Module = &exe;
        e.ThreadID = 7;
        e.IsFirstEntry = stack.size() == 1;
        e.LineNumber = 10;
        e.IsLeak = true;
        e.LeakIndex = static_cast<uint32_t>(n);
        e.LeakClassName = c.Leaks[n].first;
        e.LeakSize = 5000000000ull;
        e.LeakCount = 3;
      }
    const TStackRows rows = CallStackRows(o, stack, {{7, 0, "", true}}, 7);
    std::vector<std::string> headers;
    size_t entries = 0, empty = 0;
    for (const auto& row : rows.Rows) {
      if (row.Group) {
        headers.push_back(row.Header);
        EXPECT_EQ(row.ColourClass, 3);
      } else if (row.Cells[0].empty()) {
        ++empty;
      } else {
        ++entries;
      }
    }
    EXPECT_EQ(headers, c.Headers);
    EXPECT_EQ(entries, stack.size());
    EXPECT_EQ(empty, c.Headers.size() - 1);
    EXPECT_TRUE(rows.Rows.front().Group);
  }
}

TEST(ModuleAndProcessRows, Cells) {
  TModuleRow m;
  m.Handle = 0x7F0000000000;
  m.FileName = "/usr/lib/libz.so.1";
  m.Version = "1.2.13.0";
  m.Size = 100 * 1024 + 600;
  m.Modified = {86400 + 3600, 3600};
  const auto rows = ModuleRows({m}, 0x400000);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Cells, (std::vector<std::string>{"00007F0000000000", "libz.so.1", "", "1.2.x", "101 Kb",
                                                     "1970-01-02 02:00:00", "/usr/lib"}));
  EXPECT_EQ(rows[0].Image, riLibrary);
  TProcessRow p;
  p.Id = 1;
  p.Name = "init";
  p.Path = "/init";
  const auto processes = ProcessRows({p});
  EXPECT_EQ(processes[0].Cells, (std::vector<std::string>{"1", "init", "", "", "", "", "??", "/"}));
}

TEST(JumpToSource, RecordLayoutAndUtf8Cut) {
  TJumpRequest r;
  r.UnitName = "main.cpp";
  r.ClassName = std::string(88, 'c') + "\xC3\xA9";  // the two-byte letter would end at byte 90
  r.ProcedureName = "run";
  r.LineNumber = 42;
  r.LineOffset = -1;
  r.ModuleId1 = 0x11223344;
  r.ModuleId2 = 0xAABBCCDD;
  const TJumpRecord record = BuildJumpRecord(r);
  EXPECT_EQ(record.size(), 376u);
  EXPECT_TRUE(std::all_of(record.begin(), record.begin() + 90, [](char c) { return c == 0; }));
  EXPECT_STREQ(record.data() + 90, "main.cpp");
  EXPECT_EQ(std::string(record.data() + 180), std::string(88, 'c'));
  EXPECT_STREQ(record.data() + 270, "run");
  auto le32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, record.data() + at, 4);
    return v;
  };
  EXPECT_EQ(le32(360), 42u);
  EXPECT_EQ(le32(364), 0xFFFFFFFFu);
  EXPECT_EQ(le32(368), 0x11223344u);
  EXPECT_EQ(le32(372), 0xAABBCCDDu);
  EXPECT_EQ(JumpSocketName(1234), "\\\\.\\mailslot\\TarvexLog1234");
}

TEST(JumpToSource, DatagramArrivesAndAFullReceiverNeverBlocks) {
  const std::string name = JumpSocketName(::getpid()) + "-test";
  const int receiver = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(receiver, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
  TJumpRequest r;
  r.UnitName = "u.cpp";
  ASSERT_TRUE(SendJumpRecord(BuildJumpRecord(r), name));
  char buffer[512];
  EXPECT_EQ(::recv(receiver, buffer, sizeof buffer, 0), 376);
  EXPECT_STREQ(buffer + 90, "u.cpp");
  // Nobody reads: the queue fills and further requests are dropped at once.
  ::alarm(60);  // a blocking send would hang here
  bool dropped = false;
  for (int i = 0; i < 10000 && !dropped; ++i) dropped = !SendJumpRecord(BuildJumpRecord(r), name);
  ::alarm(0);
  EXPECT_TRUE(dropped);
  ::close(receiver);
  EXPECT_FALSE(SendJumpRecord(BuildJumpRecord(r), name));  // no receiver
}
