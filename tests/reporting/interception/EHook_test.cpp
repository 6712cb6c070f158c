#include "reporting/interception/EHook.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <typeinfo>

#include "reporting/interception/EHookPlatform.h"
#include "reporting/options/EModules.h"

// Prologue fixtures: real procedures in the program's text, each starting with an instruction
// form that the trampoline must relocate. Each takes an int and returns an int.
asm(R"(
    .intel_syntax noprefix
    .text

    .p2align 4
    .globl ehook_fx_jcc
    .type ehook_fx_jcc, @function
ehook_fx_jcc:                       # x >= 0 ? 2x : -1; js leaves the copied bytes
    test edi, edi
    js 1f
    lea eax, [rdi + rdi]
    ret
1:  mov eax, -1
    ret
    .size ehook_fx_jcc, .-ehook_fx_jcc

    .p2align 4
    .globl ehook_fx_jrcxz
    .type ehook_fx_jrcxz, @function
ehook_fx_jrcxz:                     # x == 0 ? 0 : x + 100; jrcxz has no rel32 form
    mov ecx, edi
    jrcxz 1f
    lea eax, [rcx + 100]
    ret
1:  xor eax, eax
    ret
    .size ehook_fx_jrcxz, .-ehook_fx_jrcxz

    .p2align 4
    .globl ehook_fx_ripmov
    .type ehook_fx_ripmov, @function
ehook_fx_ripmov:                    # x + 1000, the 1000 read RIP-relative
    mov eax, dword ptr [rip + ehook_fx_const]
    add eax, edi
    ret
    .size ehook_fx_ripmov, .-ehook_fx_ripmov

    .p2align 4
    .globl ehook_fx_riplea
    .type ehook_fx_riplea, @function
ehook_fx_riplea:                    # table[x & 3], the table's address taken RIP-relative
    lea rax, [rip + ehook_fx_table]
    and edi, 3
    mov eax, dword ptr [rax + rdi * 4]
    ret
    .size ehook_fx_riplea, .-ehook_fx_riplea

    .p2align 4
    .globl ehook_fx_call
    .type ehook_fx_call, @function
ehook_fx_call:                      # x + 500; the first instruction is a rel32 call
    call ehook_fx_helper
    add eax, edi
    ret
    .size ehook_fx_call, .-ehook_fx_call

    .p2align 4
    .globl ehook_fx_helper
    .type ehook_fx_helper, @function
ehook_fx_helper:
    mov eax, 500
    ret
    .size ehook_fx_helper, .-ehook_fx_helper

    .p2align 4
    .globl ehook_fx_thunk
    .type ehook_fx_thunk, @function
ehook_fx_thunk:                     # 7x; nothing but a rel32 jump, exactly the 5 bytes patched
    .byte 0xE9                      # spelled out: the assembler would shorten the jump
    .long ehook_fx_seven - . - 4
    .size ehook_fx_thunk, .-ehook_fx_thunk

    .p2align 4
    .globl ehook_fx_seven
    .type ehook_fx_seven, @function
ehook_fx_seven:
    imul eax, edi, 7
    ret
    .size ehook_fx_seven, .-ehook_fx_seven

    .p2align 4
    .globl ehook_fx_endbr
    .type ehook_fx_endbr, @function
ehook_fx_endbr:                     # x * x, behind an endbr64
    endbr64
    mov eax, edi
    imul eax, edi
    ret
    .size ehook_fx_endbr, .-ehook_fx_endbr

    .p2align 4
    .globl ehook_fx_stub
    .type ehook_fx_stub, @function
ehook_fx_stub:                      # an import stub: jmp [rip + slot]
    jmp qword ptr [rip + ehook_fx_stub_slot]
    .size ehook_fx_stub, .-ehook_fx_stub

    .p2align 4
    .globl ehook_fx_stub_dest
    .type ehook_fx_stub_dest, @function
ehook_fx_stub_dest:                 # 8x
    lea eax, [rdi * 8]
    ret
    .size ehook_fx_stub_dest, .-ehook_fx_stub_dest

    .p2align 4
    .globl ehook_fx_pltsec
    .type ehook_fx_pltsec, @function
ehook_fx_pltsec:                    # the form of a PLT entry with branch tracking
    endbr64
    bnd jmp qword ptr [rip + ehook_fx_pltsec_slot]
    .size ehook_fx_pltsec, .-ehook_fx_pltsec

    .p2align 4
    .globl ehook_fx_pltsec_dest
    .type ehook_fx_pltsec_dest, @function
ehook_fx_pltsec_dest:               # 3x + 1
    lea eax, [rdi + rdi * 2]
    add eax, 1
    ret
    .size ehook_fx_pltsec_dest, .-ehook_fx_pltsec_dest

    .p2align 4
    .globl ehook_fx_short
    .type ehook_fx_short, @function
ehook_fx_short:                     # 3 bytes; a jump would overwrite its neighbour
    xor eax, eax
    ret
    .size ehook_fx_short, .-ehook_fx_short
    .globl ehook_fx_neighbour
    .type ehook_fx_neighbour, @function
ehook_fx_neighbour:
    mov eax, 42
    ret
    .size ehook_fx_neighbour, .-ehook_fx_neighbour

    .p2align 4
    .globl ehook_fx_endbr_short
    .type ehook_fx_endbr_short, @function
ehook_fx_endbr_short:               # endbr64; ret: the jump after the endbr64 would not fit
    endbr64
    ret
    .size ehook_fx_endbr_short, .-ehook_fx_endbr_short
    int3
    int3
    int3
    int3
    int3

    .p2align 4
    .globl ehook_fx_invalid
    .type ehook_fx_invalid, @function
ehook_fx_invalid:                   # push es: no such instruction in 64-bit mode
    .byte 0x06, 0x06, 0x06, 0x06, 0x06, 0xC3
    .size ehook_fx_invalid, .-ehook_fx_invalid

    .section .rodata
    .p2align 2
ehook_fx_const:
    .long 1000
ehook_fx_table:
    .long 10, 20, 30, 40

    .data
    .p2align 3
ehook_fx_stub_slot:
    .quad ehook_fx_stub_dest
ehook_fx_pltsec_slot:
    .quad ehook_fx_pltsec_dest

    .text
    .att_syntax prefix
)");

extern "C" {
int ehook_fx_jcc(int);
int ehook_fx_jrcxz(int);
int ehook_fx_ripmov(int);
int ehook_fx_riplea(int);
int ehook_fx_call(int);
int ehook_fx_thunk(int);
int ehook_fx_seven(int);
int ehook_fx_endbr(int);
int ehook_fx_stub(int);
int ehook_fx_stub_dest(int);
int ehook_fx_pltsec(int);
int ehook_fx_pltsec_dest(int);
int ehook_fx_short(int);
int ehook_fx_neighbour(int);
int ehook_fx_endbr_short(int);
int ehook_fx_invalid(int);

int EHookLibScale(int);
int EHookLibScaleTwice(int);
int EHookLibLate(int);
}

namespace {

using TIntFn = int (*)(int);

void* Code(TIntFn fn) { return reinterpret_cast<void*>(fn); }

std::vector<uint8_t> BytesAt(const void* address, size_t size = 32) {
  const auto* p = static_cast<const uint8_t*>(address);
  return std::vector<uint8_t>(p, p + size);
}

// The permission field of the /proc/self/maps line that covers the address.
std::string Protection(const void* address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto a = reinterpret_cast<uintptr_t>(address);
  while (std::getline(maps, line)) {
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, perms) == 3 && a >= start && a < end) return perms;
  }
  return {};
}

// The RELRO area of the module that contains `address`: GOT entries of a module bound at load
// time and vtables lie there, and nothing else writes to it once the loader is done.
struct TRelro {
  uint8_t* Start = nullptr;
  size_t Size = 0;
};
TRelro RelroOf(const void* address) {
  struct TSearch {
    uintptr_t Address;
    TRelro Found;
  } search{reinterpret_cast<uintptr_t>(address), {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<TSearch*>(data);
        bool inside = false;
        TRelro relro;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& h = info->dlpi_phdr[i];
          uintptr_t start = info->dlpi_addr + h.p_vaddr;
          if (h.p_type == PT_LOAD && s->Address >= start && s->Address < start + h.p_memsz) inside = true;
          if (h.p_type == PT_GNU_RELRO) relro = {reinterpret_cast<uint8_t*>(start), h.p_memsz};
        }
        if (!inside) return 0;
        s->Found = relro;
        return 1;
      },
      &search);
  return search.Found;
}

// Read byte by byte past the sanitizer: the area holds the red zones of constant globals too.
__attribute__((no_sanitize_address)) std::vector<uint8_t> RelroBytes(const TRelro& r) {
  std::vector<uint8_t> bytes(r.Size);
  const volatile uint8_t* p = r.Start;
  for (size_t i = 0; i < r.Size; ++i) bytes[i] = p[i];
  return bytes;
}

TIntFn g_trampoline = nullptr;
int AddMillion(int x) { return g_trampoline(x) + 1000000; }
int Negate(int x) { return -x; }

class HookTest : public ::testing::Test {
 protected:
  void SetUp() override { RestoreAllPatches(); }
  void TearDown() override { RestoreAllPatches(); }
};

const int kInputs[] = {-3, 0, 1, 2, 7, 1234};

// ---------------------------------------------------------------------------------------------
// Code patches

const int kTable[] = {10, 20, 30, 40};

struct TPrologueCase {
  const char* Name;
  TIntFn Procedure;
  TIntFn PatchedCode;  // where the jump is expected: the procedure, or the destination of a stub (right after it)
  int (*Expected)(int);
};

const TPrologueCase kPrologues[] = {
    {"JccRel8LeavingTheCopy", ehook_fx_jcc, ehook_fx_jcc, [](int x) { return x >= 0 ? 2 * x : -1; }},
    {"Jrcxz", ehook_fx_jrcxz, ehook_fx_jrcxz, [](int x) { return x == 0 ? 0 : x + 100; }},
    {"RipRelativeMov", ehook_fx_ripmov, ehook_fx_ripmov, [](int x) { return x + 1000; }},
    {"RipRelativeLea", ehook_fx_riplea, ehook_fx_riplea, [](int x) { return kTable[x & 3]; }},
    {"Rel32Call", ehook_fx_call, ehook_fx_call, [](int x) { return x + 500; }},
    {"Rel32JumpOnly", ehook_fx_thunk, ehook_fx_thunk, [](int x) { return 7 * x; }},
    {"Endbr64", ehook_fx_endbr, ehook_fx_endbr, [](int x) { return x * x; }},
    {"IndirectJumpStub", ehook_fx_stub, ehook_fx_stub_dest, [](int x) { return 8 * x; }},
    {"BranchTrackingPltEntry", ehook_fx_pltsec, ehook_fx_pltsec_dest, [](int x) { return 3 * x + 1; }},
};

class PrologueTest : public HookTest, public ::testing::WithParamInterface<TPrologueCase> {};

TEST_P(PrologueTest, TrampolineBehavesLikeTheOriginalAndRestoreBringsBackEveryByte) {
  const TPrologueCase& c = GetParam();
  const auto procedureBytes = BytesAt(Code(c.Procedure));
  const auto patchedBytes = BytesAt(Code(c.PatchedCode));
  const std::string protection = Protection(Code(c.PatchedCode));
  for (int x : kInputs) ASSERT_EQ(c.Procedure(x), c.Expected(x)) << x;

  void* trampoline = PatchProcedure(Code(c.Procedure), reinterpret_cast<void*>(&AddMillion), c.Name);
  ASSERT_NE(trampoline, nullptr);
  g_trampoline = reinterpret_cast<TIntFn>(trampoline);
  EXPECT_NE(BytesAt(Code(c.PatchedCode)), patchedBytes);
  if (c.PatchedCode != c.Procedure) {
    const size_t stubSize = reinterpret_cast<uintptr_t>(c.PatchedCode) - reinterpret_cast<uintptr_t>(c.Procedure);
    EXPECT_EQ(BytesAt(Code(c.Procedure), stubSize), BytesAt(procedureBytes.data(), stubSize)) << "the stub itself";
  }
  EXPECT_EQ(Protection(Code(c.PatchedCode)), protection);
  for (int x : kInputs) {
    EXPECT_EQ(c.Procedure(x), c.Expected(x) + 1000000) << x;
    EXPECT_EQ(g_trampoline(x), c.Expected(x)) << x;
  }

  EXPECT_EQ(PatchProcedure(Code(c.Procedure), reinterpret_cast<void*>(&Negate), c.Name), trampoline);
  EXPECT_EQ(CodePatchCount(), 1u);

  RestoreAllPatches();
  EXPECT_EQ(CodePatchCount(), 0u);
  EXPECT_EQ(BytesAt(Code(c.Procedure)), procedureBytes);
  EXPECT_EQ(BytesAt(Code(c.PatchedCode)), patchedBytes);
  EXPECT_EQ(Protection(Code(c.PatchedCode)), protection);
  for (int x : kInputs) {
    EXPECT_EQ(c.Procedure(x), c.Expected(x)) << x;
    EXPECT_EQ(g_trampoline(x), c.Expected(x)) << "a thread may still run in a restored trampoline";
  }
}

INSTANTIATE_TEST_SUITE_P(Prologues, PrologueTest, ::testing::ValuesIn(kPrologues),
                         [](const auto& info) { return std::string(info.param.Name); });

struct TRefusedCase {
  const char* Name;
  TIntFn Procedure;
  const char* Message;
};

const TRefusedCase kRefused[] = {
    {"TooShort", ehook_fx_short, "Cannot hook the procedure \"TooShort\"."},
    {"EndbrThenRet", ehook_fx_endbr_short, "Cannot hook the procedure \"EndbrThenRet\"."},
    {"Undecodable", ehook_fx_invalid, "Cannot hook the procedure \"Undecodable\"."},
    {"Null", nullptr, "Cannot hook a null procedure (\"Null\")."},
};

TEST_F(HookTest, ProceduresThatCannotBeRelocatedAreRefusedUntouched) {
  const auto neighbourBytes = BytesAt(Code(ehook_fx_neighbour), 8);
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> before = c.Procedure ? BytesAt(Code(c.Procedure), 8) : std::vector<uint8_t>{};
    try {
      PatchProcedure(Code(c.Procedure), reinterpret_cast<void*>(&Negate), c.Name);
      ADD_FAILURE() << "patched";
    } catch (const EProcNull& e) {
      EXPECT_EQ(c.Procedure, nullptr);
      EXPECT_STREQ(e.what(), c.Message);
    } catch (const EHookingError& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    if (c.Procedure) {
      EXPECT_EQ(BytesAt(Code(c.Procedure), 8), before);
    }
    EXPECT_EQ(CodePatchCount(), 0u);
  }
  EXPECT_EQ(BytesAt(Code(ehook_fx_neighbour), 8), neighbourBytes);
  EXPECT_EQ(ehook_fx_short(5), 0);
  EXPECT_EQ(ehook_fx_neighbour(5), 42);
}

TEST_F(HookTest, RestoreProcedureFindsThePatchByTargetStubOrTrampoline) {
  const auto destBytes = BytesAt(Code(ehook_fx_stub_dest));
  for (int by = 0; by < 3; ++by) {
    SCOPED_TRACE(by);
    void* trampoline = PatchProcedure(Code(ehook_fx_stub), reinterpret_cast<void*>(&Negate), "stub");
    EXPECT_EQ(ehook_fx_stub(3), -3);
    void* address = by == 0 ? Code(ehook_fx_stub) : by == 1 ? Code(ehook_fx_stub_dest) : trampoline;
    RestoreProcedure(address);
    EXPECT_EQ(CodePatchCount(), 0u);
    EXPECT_EQ(BytesAt(Code(ehook_fx_stub_dest)), destBytes);
    EXPECT_EQ(ehook_fx_stub(3), 24);
  }
  RestoreProcedure(Code(ehook_fx_jcc));  // never patched: nothing happens
  EXPECT_EQ(ehook_fx_jcc(4), 8);
}

TEST_F(HookTest, CodePatchesAreUndoneInReverseOrder) {
  // The second patch relocates the first one's jump; undoing in creation order would leave
  // the second one's bytes behind.
  const auto bytes = BytesAt(Code(ehook_fx_ripmov));
  g_trampoline = reinterpret_cast<TIntFn>(
      PatchProcedure(Code(ehook_fx_ripmov), reinterpret_cast<void*>(&AddMillion), "first"));
  void* outer = PatchProcedure(Code(ehook_fx_stub), reinterpret_cast<void*>(&Negate), "second");
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(ehook_fx_ripmov(1), 1001001);
  RestoreAllPatches();
  EXPECT_EQ(BytesAt(Code(ehook_fx_ripmov)), bytes);
  EXPECT_EQ(ehook_fx_ripmov(1), 1001);
}

TEST_F(HookTest, CodeOnThePageBeingWrittenKeepsRunning) {
  // Rewrites bytes on the page of the very code that does the write, as the patches of the
  // runtime's text will: had execute access been taken away for the write, the writer could not
  // return into its own code. Other threads depend on the same.
  void* writer = reinterpret_cast<void*>(&ehook::WriteProtected);
  const auto bytes = BytesAt(writer, 8);
  const std::string protection = Protection(writer);
  PatchCode(writer, bytes.data(), bytes.size());
  EXPECT_EQ(BytesAt(writer, 8), bytes);
  EXPECT_EQ(Protection(writer), protection);
}

TEST_F(HookTest, AReplacementBeyondRel32ReachIsJumpedToThroughTheTrampolineBlock) {
  auto distance = reinterpret_cast<intptr_t>(Code(EHookLibScale)) - reinterpret_cast<intptr_t>(Code(ehook_fx_call));
  if (distance > -(intptr_t{1} << 31) && distance < (intptr_t{1} << 31))
    GTEST_SKIP() << "the shared object was mapped within 2 GiB of the program";
  const auto bytes = BytesAt(Code(ehook_fx_call));
  auto trampoline = reinterpret_cast<TIntFn>(
      PatchProcedure(Code(ehook_fx_call), Code(EHookLibScale), "far"));
  EXPECT_EQ(ehook_fx_call(5), 15);
  EXPECT_EQ(trampoline(5), 505);
  RestoreAllPatches();
  EXPECT_EQ(BytesAt(Code(ehook_fx_call)), bytes);
}

TEST_F(HookTest, WritesThatCannotBeMadeRaiseHookingErrors) {
  static uint8_t buffer[16];
  const void* far = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(buffer) + (uintptr_t{3} << 30));
  EXPECT_THROW(WriteRelativeJump(buffer, far), EHookingError);

  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  void* gone = ::mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(gone, MAP_FAILED);
  ::munmap(gone, page);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_THROW(PatchCode(gone, bytes, sizeof bytes), EHookingError);

  // A read-only page is written and read-only again afterwards.
  void* readOnly = ::mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(readOnly, MAP_FAILED);
  PatchCode(static_cast<uint8_t*>(readOnly) + 6, bytes, sizeof bytes);  // across an 8-byte boundary
  EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(readOnly) + 6, bytes, sizeof bytes), 0);
  EXPECT_EQ(Protection(readOnly), "r--p");
  WriteRelativeJump(readOnly, static_cast<uint8_t*>(readOnly) + 0x100);
  EXPECT_EQ(BytesAt(readOnly, 5), (std::vector<uint8_t>{0xE9, 0xFB, 0x00, 0x00, 0x00}));
  ::munmap(readOnly, page);
}

// The raise entry of the C++ runtime, as the interception will patch it: code in a shared
// object's file-backed pages, far from this program's replacement.
using TCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));
TCxaThrow g_cxaThrow = nullptr;
const std::type_info* g_thrownType = nullptr;

[[noreturn]] void RecordingThrow(void* object, std::type_info* type, void (*destroy)(void*)) {
  g_thrownType = type;
  g_cxaThrow(object, type, destroy);
  __builtin_unreachable();
}

TEST_F(HookTest, TheRuntimesThrowEntryCanBePatchedAndRestored) {
  void* cxaThrow = dlsym(RTLD_DEFAULT, "__cxa_throw");
  ASSERT_NE(cxaThrow, nullptr);
  const auto bytes = BytesAt(cxaThrow);
  g_cxaThrow = reinterpret_cast<TCxaThrow>(
      PatchProcedure(cxaThrow, reinterpret_cast<void*>(&RecordingThrow), "__cxa_throw"));
  g_thrownType = nullptr;
  try {
    throw std::runtime_error("through the trampoline");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "through the trampoline");
  }
  EXPECT_EQ(g_thrownType, &typeid(std::runtime_error));

  RestoreAllPatches();
  EXPECT_EQ(BytesAt(cxaThrow), bytes);
  g_thrownType = nullptr;
  EXPECT_THROW(throw std::logic_error("unpatched"), std::logic_error);
  EXPECT_EQ(g_thrownType, nullptr);
}

// ---------------------------------------------------------------------------------------------
// GOT entries

__attribute__((noinline)) TIntFn ScaleAsTheProgramSeesIt() {
  // Loaded from the program's GOT (a GLOB_DAT entry) on every call.
  TIntFn volatile fn = &EHookLibScale;
  return fn;
}

TEST_F(HookTest, ImportsOfProgramAndLibraryFollowTheReplacementUntilRestored) {
  const TModuleHandle lib = ModuleHandleOf(HOOK_TESTLIB_NAME);
  ASSERT_NE(lib, 0u);
  const TRelro programRelro = RelroOf(Code(ehook_fx_jcc));
  ASSERT_GT(programRelro.Size, 0u);
  const auto relroBefore = RelroBytes(programRelro);
  const std::string relroProtection = Protection(programRelro.Start);
  void* original = dlsym(RTLD_DEFAULT, "EHookLibScale");

  // The library has not called EHookLibScale yet: its PLT slot still leads to the lazy stub.
  auto result = PatchImports(HOOK_TESTLIB_NAME, "EHookLibScale", {0, lib}, reinterpret_cast<void*>(&Negate));
  EXPECT_TRUE(result.Changed);
  EXPECT_EQ(result.Original, original);
  EXPECT_GE(ImportPatchCount(), 2u) << "the program's entries and the library's PLT entry";
  EXPECT_EQ(EHookLibScale(4), -4);
  EXPECT_EQ(ScaleAsTheProgramSeesIt(), &Negate);
  EXPECT_EQ(EHookLibScaleTwice(4), 4);
  EXPECT_EQ(Protection(programRelro.Start), relroProtection);

  RestoreAllPatches();
  EXPECT_EQ(ImportPatchCount(), 0u);
  EXPECT_EQ(EHookLibScale(4), 12);
  EXPECT_EQ(reinterpret_cast<void*>(ScaleAsTheProgramSeesIt()), original);
  EXPECT_EQ(EHookLibScaleTwice(4), 36);
  EXPECT_TRUE(RelroBytes(programRelro) == relroBefore) << "the program's GOT, compared byte for byte";
}

TEST_F(HookTest, APltSlotNotBoundYetIsPatchedToo) {
  // Nothing has called EHookLibLate before: the program's slot still leads to its lazy stub.
  auto result = PatchImports(HOOK_TESTLIB_NAME, "EHookLibLate", {0}, reinterpret_cast<void*>(&Negate));
  EXPECT_TRUE(result.Changed);
  EXPECT_EQ(EHookLibLate(1), -1);
  RestoreAllPatches();
  EXPECT_EQ(EHookLibLate(1), 11);
}

TEST_F(HookTest, ImportsThatCannotBePatchedRaiseWithTheModuleAndProcedureName) {
  const std::string lib = HOOK_TESTLIB_NAME;
  try {
    PatchImports(lib, "NoSuchProcedure", {0}, reinterpret_cast<void*>(&Negate));
    ADD_FAILURE() << "patched";
  } catch (const EProcNull& e) {
    EXPECT_EQ(e.Message(), "Cannot hook a null procedure (\"" + lib + ".NoSuchProcedure\").");
  }
  // Found through the library's dependencies, but not defined by the library.
  EXPECT_THROW(PatchImports(lib, "free", {0}, reinterpret_cast<void*>(&Negate)), EProcNull);
  try {
    PatchImports(lib, "EHookLibUnused", {0}, reinterpret_cast<void*>(&Negate));
    ADD_FAILURE() << "patched";
  } catch (const EHookingError& e) {
    EXPECT_EQ(e.Message(), "Cannot hook the procedure \"" + lib + ".EHookLibUnused\".");
  }
  auto quiet = PatchImports(lib, "EHookLibUnused", {0, 12345}, reinterpret_cast<void*>(&Negate), true, true);
  EXPECT_FALSE(quiet.Changed);
  EXPECT_NE(quiet.Original, nullptr);
  EXPECT_EQ(ImportPatchCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Virtual slots

}  // namespace

// Outside the anonymous namespace, so that the compiler cannot know every override and turn
// the virtual calls below into direct ones.
struct EHookTestShape {
  virtual ~EHookTestShape() = default;
  virtual int Sides() const { return 0; }
};
struct EHookTestSquare : EHookTestShape {
  int Sides() const override { return 4; }
};

namespace {

using TShape = EHookTestShape;

__attribute__((noinline)) const TShape* OpaqueSquare() {
  static EHookTestSquare square;
  const TShape* volatile shape = &square;
  return shape;
}

int ManySides(const TShape*) { return 99; }
int FewSides(const TShape*) { return 1; }

TEST_F(HookTest, VirtualSlotsAreReplacedRecordedOnceAndRestored) {
  const TShape* shape = OpaqueSquare();
  void* vtable = *reinterpret_cast<void* const*>(shape);
  const size_t slot = 2;  // after the two destructors
  const TRelro relro = RelroOf(vtable);
  ASSERT_GT(relro.Size, 0u);
  const auto relroBefore = RelroBytes(relro);

  void* previous = PatchVirtualSlot(vtable, slot, reinterpret_cast<void*>(&ManySides));
  EXPECT_EQ(shape->Sides(), 99);
  EXPECT_EQ(reinterpret_cast<int (*)(const TShape*)>(previous)(shape), 4);
  EXPECT_EQ(PatchVirtualSlot(vtable, slot, reinterpret_cast<void*>(&ManySides)), previous);
  EXPECT_EQ(PatchVirtualSlot(vtable, slot, reinterpret_cast<void*>(&FewSides)), reinterpret_cast<void*>(&ManySides));
  EXPECT_EQ(shape->Sides(), 1);
  EXPECT_EQ(VirtualSlotPatchCount(), 1u);

  RestoreVirtualSlot(vtable, slot);
  EXPECT_EQ(VirtualSlotPatchCount(), 0u);
  EXPECT_EQ(shape->Sides(), 4);

  PatchVirtualSlot(vtable, slot, reinterpret_cast<void*>(&ManySides));
  RestoreAllPatches();
  EXPECT_EQ(shape->Sides(), 4);
  EXPECT_TRUE(RelroBytes(relro) == relroBefore) << "the vtable, compared byte for byte";

  std::vector<void*> heapTable(4);
  EXPECT_THROW(PatchVirtualSlot(heapTable.data(), 0, reinterpret_cast<void*>(&ManySides)), EHookingError);
}

}  // namespace
