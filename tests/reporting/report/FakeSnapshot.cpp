#include "tests/reporting/report/FakeSnapshot.h"

#include <algorithm>
#include <cstring>

#include "reporting/options/EStoredData.h"

void TFakeMemory::Add(uintptr_t address, std::vector<uint8_t> bytes) { blocks_[address] = std::move(bytes); }

const std::vector<uint8_t>* TFakeMemory::BlockFor(uintptr_t address, size_t size, uintptr_t& start) const {
  auto it = blocks_.upper_bound(address);
  if (it == blocks_.begin()) return nullptr;
  --it;
  start = it->first;
  uintptr_t end = start + it->second.size();
  if (address < start || size > end - start || address - start > end - start - size) return nullptr;
  return &it->second;
}

bool TFakeMemory::Read(uintptr_t address, void* dst, size_t size) {
  uintptr_t start = 0;
  const std::vector<uint8_t>* block = BlockFor(address, size, start);
  if (!block) return false;
  if (size) std::memcpy(dst, block->data() + (address - start), size);
  return true;
}

bool TFakeMemory::IsReadable(uintptr_t address, size_t size) {
  uintptr_t start = 0;
  return BlockFor(address, size, start) != nullptr;
}

const TTarvexModuleInfo* TFakeSnapshot::AddModule(TModuleRow row, uint64_t mappedSize) {
  auto info = std::make_unique<TTarvexModuleInfo>();
  info->ModuleHandle = row.Handle;
  info->LoadBias = row.Handle;
  info->FileName = row.FileName;
  info->FileDescription = row.Description;
  info->FileVersion = row.Version;
  info->FileSize = row.Size;
  info->LastModified = row.Modified.UnixSeconds * 1000000000;
  info->CodeRanges = {{row.Handle, row.Handle + mappedSize}};
  info->LoadRanges = info->CodeRanges;
  const TTarvexModuleInfo* result = info.get();
  modules_.push_back({std::move(row), mappedSize, std::move(info)});
  std::sort(modules_.begin(), modules_.end(),
            [](const TFakeModule& a, const TFakeModule& b) { return a.Row.Handle < b.Row.Handle; });
  return result;
}

const TTarvexModuleInfo* TFakeSnapshot::ModuleInfo(uintptr_t address) const {
  for (const TFakeModule& m : modules_)
    if (address >= m.Row.Handle && address - m.Row.Handle < m.MappedSize) return m.Info.get();
  return nullptr;
}

TTarvexStackEntry TFakeSnapshot::Entry(uintptr_t address, uint32_t threadId, uint8_t stackRole,
                                       bool firstEntry) const {
  TTarvexStackEntry e;
  e.Address = address;
  e.ThreadID = threadId;
  e.StackRole = stackRole;
  e.IsFirstEntry = firstEntry ? 1 : 0;
  e.Module = ModuleInfo(address);
  e.EntryKind = e.Module ? kEntryModule : kEntryHidden;
  for (const TFakeFunction& f : Functions) {
    if (address < f.Start || address >= f.End) continue;
    e.UnitName = f.Unit;
    e.ClassName = f.Class;
    e.ProcedureName = f.Procedure;
    e.LineNumber = f.FirstLine;
    for (const auto& [offset, line] : f.Lines)
      if (f.Start + offset <= address) e.LineNumber = line;
    e.LineOffset = e.LineNumber - f.FirstLine;
    e.EntryKind = kEntryLine;
    break;
  }
  return e;
}

int32_t TFakeSnapshot::UtcOffsetAt(int64_t unixSeconds) const {
  return ZoneAt ? ZoneAt(unixSeconds) : Now.UtcOffsetSeconds;
}

std::vector<TModuleRow> TFakeSnapshot::Modules() const {
  std::vector<TModuleRow> rows;
  for (const TFakeModule& m : modules_) rows.push_back(m.Row);
  return rows;
}

std::optional<TModuleRow> TFakeSnapshot::ModuleOf(uintptr_t address) const {
  for (const TFakeModule& m : modules_)
    if (address >= m.Row.Handle && address - m.Row.Handle < m.MappedSize) return m.Row;
  return std::nullopt;
}

namespace {

// 2026-12-10 13:04:23 at +0100, when the exception happens.
constexpr int64_t kNow = 1796904263;
constexpr int32_t kWinter = 3600, kSummer = 7200;
// 2026-07-01 08:00:00 UTC, when the program was compiled (summer time then).
constexpr int64_t kCompiled = 1782892800;

// TDistanceQuery::Run as the compiler left it (x86-64).
const std::vector<uint8_t> kRunCode = {
    0x55,                                      // push rbp
    0x48, 0x89, 0xE5,                          // mov rbp, rsp
    0x53,                                      // push rbx
    0x48, 0x83, 0xEC, 0x18,                    // sub rsp, 0x18
    0x48, 0x89, 0xFB,                          // mov rbx, rdi
    0xBF, 0x20, 0x00, 0x00, 0x00,              // mov edi, 0x20
    0xE8, 0xEA, 0xFF, 0xFF, 0xFF,              // call Run (rel32)
    0x48, 0x8B, 0x43, 0x08,                    // mov rax, qword ptr [rbx + 8]
    0xC7, 0x00, 0x2A, 0x00, 0x00, 0x00,        // mov dword ptr [rax], 0x2a   <- the fault
    0x8B, 0x43, 0x10,                          // mov eax, dword ptr [rbx + 0x10]
    0x48, 0x83, 0xC4, 0x18,                    // add rsp, 0x18
    0x5B,                                      // pop rbx
    0x5D,                                      // pop rbp
    0xC3,                                      // ret
};

uint64_t GiB(double n) { return static_cast<uint64_t>(n * 1024 * 1024 * 1024); }

}  // namespace

std::unique_ptr<TFakeScene> MakeFakeScene() {
  auto scene = std::make_unique<TFakeScene>();
  TFakeSnapshot& s = scene->Snapshot;
  TReportException& x = scene->Exception;

  s.Now = {kNow, kWinter};
  s.Start = {kNow - 86400 - 5, kWinter};
  s.ZoneAt = [](int64_t t) { return t < 1792890000 ? kSummer : kWinter; };  // summer time ends 2026-10-25
  s.UpTimeMilliseconds = (3 * 86400 + 4 * 3600 + 60 + 7) * 1000LL + 250;

  const TTarvexModuleInfo* mainModule =
      s.AddModule({kFakeMainBase, "/opt/zelk/bin/zelk-distance", "Distance client", "1.2.3.4", 482304,
                   {1782892860, kSummer}},
                  0x40000);
  const TTarvexModuleInfo* soap =
      s.AddModule({kFakeSoapBase, "/opt/zelk/lib/libzelk_soap.so.1", "", "", 1204816, {1782892870, kSummer}}, 0x80000);
  s.AddModule({kFakeLibcBase, "/usr/lib/x86_64-linux-gnu/libc.so.6", "", "", 1922136, {1706000000, kWinter}},
              0x1D0000);

  s.Functions = {
      {kFakeRunAddress, kFakeRunAddress + kRunCode.size(), "DistanceQuery.cpp", "TDistanceQuery", "Run", 118,
       {{0x00, 118}, {0x09, 120}, {0x0C, 121}, {0x16, 122}, {0x1A, 122}, {0x20, 123}, {0x23, 124}}},
      {kFakeMainBase + 0x1B00, kFakeMainBase + 0x1B80, "MainWindow.cpp", "TMainWindow", "OnGetDistanceClicked", 82,
       {{0x00, 82}, {0x18, 86}, {0x30, 88}}},
      {kFakeMainBase + 0x1100, kFakeMainBase + 0x1180, "main.cpp", "", "main", 9, {{0x00, 9}, {0x40, 12}}},
      {kFakeMainBase + 0x1200, kFakeMainBase + 0x1240, "main.cpp", "", "StartSending", 29, {{0x00, 29}, {0x10, 30}}},
      {kFakeMainBase + 0x2200, kFakeMainBase + 0x2280, "SendThread.cpp", "TSendThread", "Execute", 38,
       {{0x00, 38}, {0x20, 40}}},
  };

  // Code around the fault: the procedure in int3 padding, readable 256 bytes either side.
  std::vector<uint8_t> code(0x300, 0xCC);
  std::copy(kRunCode.begin(), kRunCode.end(), code.begin() + 0x100);
  s.Bytes.Add(kFakeRunAddress - 0x100, code);
  // The stack at the fault: return addresses among saved registers and locals.
  std::vector<uint8_t> stack(0x100);
  for (size_t i = 0; i < stack.size(); ++i) stack[i] = static_cast<uint8_t>(i * 7 + 3);
  auto put = [&](size_t offset, uint64_t word) { std::memcpy(stack.data() + offset, &word, 8); };
  put(0x00, 0x000055555576A2C0);
  put(0x08, 0);
  put(0x18, 0x00007FFD5E6F0E70);
  put(0x20, kFakeMainBase + 0x1B31);
  std::memcpy(stack.data() + 0x40, "Busan\0London\0Mobile\0", 20);
  s.Bytes.Add(kFakeStackPointer, stack);

  s.SystemValues.CommandLine = "  --route 001 --verbose ";
  s.SystemValues.UserId = "mara";
  s.SystemValues.UserName = "Mara Lind";
  s.SystemValues.UserEmail = "mara@example.org";
  s.SystemValues.Privileges = {{"CAP_NET_BIND_SERVICE", true}, {"CAP_SYS_PTRACE", false}};
  s.SystemValues.ComputerName = "chart-room";
  s.SystemValues.TotalMemory = GiB(15.5);
  s.SystemValues.FreeMemory = 3 * 1024 * 1024 * 1024ULL + 700 * 1024 * 1024ULL;
  s.SystemValues.TotalDisk = GiB(467.25);
  s.SystemValues.FreeDisk = GiB(120);
  s.SystemValues.Processor = " Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz  ";
  s.SystemValues.DisplayMode = "1920 x 1080, 24 bit";
  s.SystemValues.DisplayDpi = "96";
  s.SystemValues.VideoCard = "Intel UHD Graphics 630 (driver i915)";
  s.SystemValues.OsType = "Debian GNU/Linux 12 (bookworm)";
  s.SystemValues.OsBuild = "6.1.0-18-amd64";
  s.SystemValues.OsUpdate = " #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 ";
  s.SystemValues.Language = "English";
  s.SystemValues.Network = {{"192.168.1.20", "255.255.255.0", "192.168.1.1", "192.168.1.1", "", true},
                            {"10.0.0.5", "255.0.0.0", "", "9.9.9.9", "149.112.112.112", false}};
  s.SystemValues.FormClass = "TMainForm";
  s.SystemValues.FormText = "Zelk\tDistance";

  s.ProcessRows = {
      {1, "systemd", "", "", 12582912, "Normal", 1, "/usr/lib/systemd/systemd"},
      {4242, "zelk-distance", "Distance client", "1.2.3.4", 48234496, "Normal", 3, "/opt/zelk/bin/zelk-distance"},
      {5120, "bash", "", "", 0, "", 0, "/usr/bin/bash"},
  };
  s.ThreadRows = {{kFakeMainThread, 0, "", true}, {kFakeSendThread, -2, "TSendThread", false}};

  x.ClassName = "EAccessViolation";
  x.Message = "Segmentation fault";
  x.Address = kFakeExceptionAddress;
  x.AccessViolation = true;
  x.FaultAddress = 0;
  x.WriteFault = true;
  TCpuRegisters r;
  r.Rax = 0;
  r.Rbx = 0x000055555576A2C0;
  r.Rcx = 0x0000000000000020;
  r.Rdx = 0x00007FFD5E6F0F48;
  r.Rsi = 0x00007FFD5E6F0F38;
  r.Rdi = 0x0000000000000020;
  r.Rbp = 0x00007FFD5E6F0E50;
  r.Rsp = kFakeStackPointer;
  r.R8 = 0x00007F3A12A1B2C0;
  r.R12 = 0x0000555555555100;
  r.Rip = kFakeExceptionAddress;
  r.EFlags = 0x10246;
  r.Cs = 0x33;
  r.Ss = 0x2B;
  r.Valid = r.Full = true;
  x.Context = r;
  x.ActiveControlClass = "QPushButton";
  x.ActiveControlText = "Get Distance\r\n(Busan -> London -> Mobile)";
  x.CompileTime = UnixTimeToDayCount(kCompiled);
  x.MainModuleFile = mainModule->FileName;
  x.MainModuleDescription = mainModule->FileDescription;
  x.MainModuleVersion = mainModule->FileVersion;

  // The main thread (the exception's), a frame of the SOAP library known by its export, one of
  // libc known by its module only; the sending thread with its creator's stack; a thread the
  // registry does not know, resolved without lines.
  TTarvexStackList& list = x.CallStack;
  list.push_back(s.Entry(kFakeExceptionAddress, kFakeMainThread, 1, true));
  list.push_back(s.Entry(kFakeMainBase + 0x1B30, kFakeMainThread));
  TTarvexStackEntry exported;
  exported.EntryKind = kEntryProcedure;
  exported.Module = soap;
  exported.ThreadID = kFakeMainThread;
  exported.Address = kFakeSoapBase + 0x3410;
  exported.ProcedureName = "soap_invoke";
  list.push_back(exported);
  list.push_back(s.Entry(kFakeMainBase + 0x1140, kFakeMainThread));
  list.push_back(s.Entry(kFakeLibcBase + 0x29D8F, kFakeMainThread));
  list.push_back(s.Entry(kFakeMainBase + 0x2220, kFakeSendThread));
  list.push_back(s.Entry(kFakeMainBase + 0x1210, kFakeMainThread, 0));
  TTarvexStackEntry pool;
  pool.EntryKind = kEntryUnit;
  pool.Module = soap;
  pool.ThreadID = kFakeUnknownThread;
  pool.Address = kFakeSoapBase + 0x5A00;
  pool.UnitName = "ThreadPool.cpp";
  pool.ClassName = "TThreadPool";
  pool.ProcedureName = "Worker";
  list.push_back(pool);
  return scene;
}
