#include "reporting/options/ESharedBlock.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace {

// One shared object with its own copy of the layer.
struct TCopy {
  explicit TCopy(const char* path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    moduleHandle = reinterpret_cast<uintptr_t (*)()>(dlsym(handle, "tl_copy_handle"));
    load = reinterpret_cast<void (*)()>(dlsym(handle, "tl_copy_load"));
    setSubject = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "tl_copy_set_subject"));
    subjectOf = reinterpret_cast<int (*)(uintptr_t, int, char*, size_t)>(dlsym(handle, "tl_copy_subject_of"));
  }
  ~TCopy() { Close(); }
  void Close() {
    if (handle) dlclose(handle);
    handle = nullptr;
  }
  std::string SubjectOf(uintptr_t module, bool refresh) {
    char buf[256];
    return subjectOf(module, refresh, buf, sizeof buf) ? buf : "<no record>";
  }
  void* handle = nullptr;
  uintptr_t (*moduleHandle)() = nullptr;
  void (*load)() = nullptr;
  int (*setSubject)(const char*) = nullptr;
  int (*subjectOf)(uintptr_t, int, char*, size_t) = nullptr;
};

bool ShmExists(const std::string& name) { return access(("/dev/shm" + name).c_str(), F_OK) == 0; }

}  // namespace

TEST(SharedBlockTest, NameIsProcessAndModuleInHex) {
  EXPECT_EQ(SharedBlockName(0x7F12AB000ull),
            Format("/%.8X00000007F12AB000", {static_cast<unsigned>(getpid())}));
}

TEST(SharedBlockTest, CopiesInOneProcessSeeTheOwnersChanges) {
  TCopy a(TL_COPY_A), b(TL_COPY_B);
  ASSERT_TRUE(a.handle && b.handle) << dlerror();
  uintptr_t moduleA = a.moduleHandle();
  ASSERT_NE(moduleA, b.moduleHandle());

  a.load();
  ASSERT_TRUE(a.setSubject("published by A"));
  EXPECT_TRUE(ShmExists(SharedBlockName(moduleA)));
  // Loading at start-up: B's record of A takes A's published values over A's stored ones.
  b.load();
  EXPECT_EQ(b.SubjectOf(moduleA, false), "published by A");

  ASSERT_TRUE(a.setSubject("changed again"));
  EXPECT_EQ(b.SubjectOf(moduleA, false), "published by A");
  EXPECT_EQ(b.SubjectOf(moduleA, true), "changed again");

  // The owner removes its block when it is unloaded.
  a.Close();
  EXPECT_FALSE(ShmExists(SharedBlockName(moduleA)));
  EXPECT_EQ(b.SubjectOf(moduleA, true), "changed again");
}

TEST(SharedBlockTest, BlocksLeftByAnEarlierProcessAreIgnored) {
  const TModuleHandle handle = 0x1000;
  ASSERT_TRUE(WriteSharedBlock(handle, "\x01payload"));
  ASSERT_EQ(ReadSharedBlock(handle).value_or(""), "\x01payload");

  int fd = shm_open(SharedBlockName(handle).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  struct stat st {};
  fstat(fd, &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  futimens(fd, old);
  close(fd);
  EXPECT_FALSE(ReadSharedBlock(handle));

  RemoveSharedBlock(handle);
  EXPECT_FALSE(ReadSharedBlock(handle));
  EXPECT_FALSE(ShmExists(SharedBlockName(handle)));
}
