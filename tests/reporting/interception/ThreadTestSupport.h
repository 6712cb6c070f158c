// Helpers shared by the thread registry and thread context tests.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "reporting/interception/EContext.h"

// Whether addr lies inside the function that starts at fn, by the dynamic symbol table (the
// test program exports its symbols).
inline bool AddressInFunction(uintptr_t addr, const void* fn) {
  Dl_info info{};
  void* entry = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(addr), &info, &entry, RTLD_DL_SYMENT) || !entry) return false;
  const auto* sym = static_cast<const ElfW(Sym)*>(entry);
  auto start = reinterpret_cast<uintptr_t>(info.dli_saddr);
  return info.dli_saddr == fn && addr > start && addr < start + sym->st_size;
}

// Whether some aligned word of the stack copy is a return address inside fn.
inline bool StackHoldsAddressIn(const TStackCopyView& stack, const void* fn) {
  size_t first = (8 - stack.Start % 8) % 8;
  for (size_t at = first; at + 8 <= stack.Size; at += 8) {
    uintptr_t word;
    std::memcpy(&word, stack.Bytes + at, sizeof(word));
    if (AddressInFunction(word, fn)) return true;
  }
  return false;
}

// A pipe a thread blocks on in read() until a byte is written (or it is cancelled there).
class TPipeGate {
 public:
  TPipeGate() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~TPipeGate() {
    close(fds_[0]);
    close(fds_[1]);
  }
  TPipeGate(const TPipeGate&) = delete;
  TPipeGate& operator=(const TPipeGate&) = delete;
  // Returns what read() returned.
  ssize_t Wait() {
    char c;
    return read(fds_[0], &c, 1);
  }
  void Open() { (void)!write(fds_[1], "x", 1); }
  int ReadEnd() const { return fds_[0]; }

 private:
  int fds_[2];
};

// Waits until the thread sits in the read() system call (its /proc syscall entry starts with
// the number of read); false after about `ms` milliseconds.
inline bool WaitUntilBlockedInRead(pid_t tid, int ms = 10000) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (int i = 0; i < ms; ++i) {
    char buf[64] = {};
    FILE* f = fopen(path.c_str(), "r");
    if (f) {
      size_t n = fread(buf, 1, sizeof(buf) - 1, f);
      fclose(f);
      buf[n] = 0;
      if (std::strncmp(buf, "0 ", 2) == 0) return true;
    }
    usleep(1000);
  }
  return false;
}
