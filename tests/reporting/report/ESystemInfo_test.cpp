// The parsers of the system values, on fixture texts and tables of cases.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "reporting/report/ESystemInfo.h"

namespace {

std::string Fixture(const std::string& name) {
  std::string text = ReadTextFile(std::string(LIVE_FIXTURES) + "/" + name);
  EXPECT_FALSE(text.empty()) << "fixture " << name;
  return text;
}

TEST(OsRelease, NameFromEachForm) {
  struct Case {
    const char* fixture;
    const char* name;
  } cases[] = {
      {"os-release.debian", "Debian GNU/Linux 12 (bookworm)"},
      {"os-release.quoted", "Zelk Linux 3.1 \"Tern\" \\ edge"},
      {"os-release.noprettyname", "Minimal 7 (small)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    EXPECT_EQ(ParseOsReleaseName(Fixture(c.fixture)), c.name);
  }
  EXPECT_EQ(ParseOsReleaseName("ID=x\n"), "");
  EXPECT_EQ(ParseOsReleaseName("PRETTY_NAME=''\nNAME=Fallback\n"), "Fallback");
}

TEST(MemInfo, TotalAndAvailableInBytes) {
  TMemInfo current = ParseMemInfo(Fixture("meminfo.current"));
  ASSERT_TRUE(current.Total && current.Available);
  EXPECT_GT(*current.Total, 0u);
  EXPECT_EQ(*current.Total % 1024, 0u);
  EXPECT_LE(*current.Available, *current.Total);

  // Before MemAvailable existed, free memory is what is left.
  TMemInfo old = ParseMemInfo(Fixture("meminfo.old"));
  EXPECT_EQ(old.Total, 2048000ull * 1024);
  EXPECT_EQ(old.Available, 512000ull * 1024);

  TMemInfo broken = ParseMemInfo("MemTotal: lots\nMemAvailableX: 5 kB\n");
  EXPECT_FALSE(broken.Total);
  EXPECT_FALSE(broken.Available);
}

TEST(RouteTable, DefaultGatewayPerInterface) {
  std::vector<TRouteEntry> routes = ParseRouteTable(Fixture("route"));
  ASSERT_EQ(routes.size(), 7u);
  EXPECT_EQ(routes[1].Iface, "wlan0");
  EXPECT_EQ(routes[1].Metric, 600u);
  struct Case {
    const char* iface;
    const char* gateway;
  } cases[] = {
      {"eth0", "192.0.2.1"},      // the first default route of eth0, though a network route comes first
      {"wlan0", "192.168.1.254"},
      {"tun0", ""},               // a default route without a gateway
      {"eth1", ""},               // a gateway route that is down
      {"lo", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iface);
    EXPECT_EQ(DefaultGatewayOf(routes, c.iface), c.gateway);
  }
  EXPECT_TRUE(ParseRouteTable("Iface\tDestination\n").empty());
  EXPECT_TRUE(ParseRouteTable("").empty());
}

TEST(ResolvConf, NameServersInOrder) {
  EXPECT_EQ(ParseNameServers(Fixture("resolv.conf")),
            (std::vector<std::string>{"192.0.2.53", "2001:db8::53", "198.51.100.7", "203.0.113.9"}));
  std::vector<std::string> stub = ParseNameServers(Fixture("resolv.stub.conf"));
  EXPECT_EQ(stub, std::vector<std::string>{"127.0.0.53"});
  EXPECT_TRUE(OnlyLocalStubResolver(stub));
  EXPECT_FALSE(OnlyLocalStubResolver({"127.0.0.53", "192.0.2.53"}));
  EXPECT_FALSE(OnlyLocalStubResolver({}));
}

TEST(Processor, NameFromBrandCpuInfoOrPlaceholder) {
  struct Case {
    const char* label;
    const char* brand;
    std::string cpuInfo;
    std::string name;
  } cases[] = {
      {"brand trimmed", "   Intel(R) Xeon(R) CPU @ 2.20GHz  \0\0", "", "Intel(R) Xeon(R) CPU @ 2.20GHz"},
      {"brand first", "AMD Ryzen 9", Fixture("cpuinfo.amd"), "AMD Ryzen 9"},
      {"model name", "", Fixture("cpuinfo.amd"), "AMD EPYC"},
      {"first processor's vendor, family and model", "  ", Fixture("cpuinfo.nomodelname"),
       "GenuineIntel - Family 6 Model 85"},
      {"nothing known", "", Fixture("cpuinfo.arm"), "Unknown processor"},
      {"empty", "", "", "Unknown processor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ProcessorName(c.brand, c.cpuInfo), c.name);
  }
}

TEST(ProcStatus, MemoryThreadsAndCapabilities) {
  TProcStatus root = ParseProcStatus(Fixture("status.root"));
  EXPECT_EQ(root.Name, "cat");
  ASSERT_TRUE(root.Resident);
  EXPECT_GT(*root.Resident, 0u);
  EXPECT_EQ(*root.Resident % 1024, 0u);
  EXPECT_EQ(root.Threads, 1);
  ASSERT_TRUE(root.CapPrm && root.CapEff);

  // A kernel thread has no VmRSS line.
  TProcStatus kernel = ParseProcStatus("Name:\tkworker/0:1\nThreads:\t1\nCapPrm:\t000001ffffffffff\n"
                                       "CapEff:\t000001ffffffffff\n");
  EXPECT_FALSE(kernel.Resident);
  EXPECT_EQ(kernel.CapPrm, 0x1ffffffffffull);
}

// A stat line of `fields` fields in all: pid, "(name)", state, then numbers; nice is field 19,
// the policy field 41.
std::string StatLine(const std::string& name, int nice, unsigned policy, int fields = 52) {
  std::string line = "4242 (" + name + ") S";
  for (int field = 4; field <= fields; ++field)
    line += " " + std::to_string(field == 19 ? nice : field == 41 ? static_cast<int>(policy) : field * 3);
  return line;
}

TEST(ProcStat, NiceAndPolicyPastAnAwkwardName) {
  struct Case {
    const char* label;
    std::string line;
    bool valid;
    int32_t nice;
    uint32_t policy;
  } cases[] = {
      {"plain", StatLine("bash", 0, SCHED_OTHER), true, 0, SCHED_OTHER},
      {"name with blanks and parentheses", StatLine("a) (b c", 19, SCHED_IDLE), true, 19, SCHED_IDLE},
      {"negative nice", StatLine("x", -5, SCHED_BATCH), true, -5, SCHED_BATCH},
      {"real-time", StatLine("irq/9-acpi", 0, SCHED_FIFO), true, 0, SCHED_FIFO},
      {"old kernel without a policy field", StatLine("old", 3, 9, 39), true, 3, SCHED_OTHER},
      {"truncated before nice", StatLine("x", 0, 0, 18), false, 0, 0},
      {"no name", "garbage", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TProcStat s = ParseProcStat(c.line);
    EXPECT_EQ(s.Valid, c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(s.Nice, c.nice);
    EXPECT_EQ(s.Policy, c.policy);
  }
}

TEST(ProcStat, PriorityClassOfPolicyAndNice) {
  struct Case {
    uint32_t policy;
    int32_t nice;
    const char* name;
  } cases[] = {
      {SCHED_FIFO, 0, "Real-Time"},     {SCHED_RR, 10, "Real-Time"},     {6, 0, "Real-Time"},
      {SCHED_IDLE, -20, "Low"},         {SCHED_OTHER, -20, "High"},      {SCHED_OTHER, -11, "High"},
      {SCHED_OTHER, -10, "Above-Normal"}, {SCHED_OTHER, -1, "Above-Normal"}, {SCHED_OTHER, 0, "Normal"},
      {SCHED_BATCH, 0, "Normal"},       {SCHED_OTHER, 1, "Below-Normal"}, {SCHED_OTHER, 10, "Below-Normal"},
      {SCHED_OTHER, 11, "Low"},         {SCHED_OTHER, 19, "Low"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.policy) + "/" + std::to_string(c.nice));
    EXPECT_EQ(PriorityClassName(c.policy, c.nice), c.name);
  }
}

TEST(Capabilities, PermittedListedEnabledWhenEffective) {
  EXPECT_EQ(CapabilityName(0), "CAP_CHOWN");
  EXPECT_EQ(CapabilityName(21), "CAP_SYS_ADMIN");
  EXPECT_EQ(CapabilityName(40), "CAP_CHECKPOINT_RESTORE");
  EXPECT_EQ(CapabilityName(41), "CAP_41");

  // Permitted: CAP_KILL, CAP_NET_BIND_SERVICE, CAP_SYS_TIME and an unknown bit; effective: the second.
  uint64_t permitted = (1ull << 5) | (1ull << 10) | (1ull << 25) | (1ull << 50);
  auto list = PrivilegesOf(permitted, 1ull << 10);
  EXPECT_EQ(list, (std::vector<std::pair<std::string, bool>>{
                      {"CAP_KILL", false}, {"CAP_NET_BIND_SERVICE", true}, {"CAP_SYS_TIME", false}, {"CAP_50", false}}));
  EXPECT_TRUE(PrivilegesOf(0, ~0ull).empty());
}

TEST(UserAndLocale, GecosAndLanguage) {
  EXPECT_EQ(GecosFullName("Ada Lovelace,Room 1,555-1,555-2,other"), "Ada Lovelace");
  EXPECT_EQ(GecosFullName("root"), "root");
  EXPECT_EQ(GecosFullName(",,,"), "");
  EXPECT_EQ(LanguageOfLocale("C"), "English");
  EXPECT_EQ(LanguageOfLocale("C.UTF-8"), "English");
  EXPECT_EQ(LanguageOfLocale("POSIX"), "English");
  EXPECT_EQ(LanguageOfLocale("xx_NOWHERE.UTF-8"), "");
  // Installed locales name their language in English.
  if (std::string german = LanguageOfLocale("de_DE.UTF-8"); !german.empty()) {
    EXPECT_EQ(german, "German");
  }
}

TEST(UserAndLocale, MessagesLocalePrecedence) {
  struct Case {
    const char *all, *messages, *lang, *expected;
  } cases[] = {
      {"de_DE.UTF-8", "en_US.UTF-8", "fr_FR.UTF-8", "de_DE.UTF-8"},
      {"", "en_US.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8"},
      {nullptr, nullptr, "fr_FR.UTF-8", "fr_FR.UTF-8"},
      {nullptr, nullptr, nullptr, "C"},
  };
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string saved[3];
  bool had[3];
  for (int i = 0; i < 3; ++i)
    if ((had[i] = std::getenv(names[i]) != nullptr)) saved[i] = std::getenv(names[i]);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const char* values[] = {c.all, c.messages, c.lang};
    for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    EXPECT_EQ(MessagesLocaleName(), c.expected);
  }
  for (int i = 0; i < 3; ++i) had[i] ? setenv(names[i], saved[i].c_str(), 1) : unsetenv(names[i]);
}

TEST(Texts, AddressesAndDisplay) {
  EXPECT_EQ(DottedIPv4(0x010200C0u), "192.0.2.1");
  EXPECT_EQ(DottedIPv4(0), "0.0.0.0");
  EXPECT_EQ(DottedIPv4(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(FormatDisplayMode(1920, 1080, 24), "1920 x 1080, 24 bit");
}

TEST(Texts, XftDpi) {
  struct Case {
    const char* resources;
    int dpi;
  } cases[] = {
      {"Xft.antialias:\t1\nXft.dpi:\t96\nXft.hinting:\t1\n", 96},
      {"Xft.dpi: 143.9\n", 144},
      {"Xcursor.size:\t24\n", 0},
      {"Xft.dpi:\tbig\n", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resources);
    EXPECT_EQ(ParseXftDpi(c.resources), c.dpi);
  }
}

TEST(Texts, OnlyLocalServersAreAsked) {
  struct Case {
    const char* name;
    bool display, cups;
  } cases[] = {
      {":0", true, false},
      {":1.0", true, false},
      {"unix:0", true, false},
      {"/tmp/.X11-unix/X0", true, true},
      {"localhost:10.0", true, true},
      {"127.0.0.1:0", true, true},
      {"remote.example.test:0", false, false},
      {"192.0.2.7:0", false, false},
      {"host::0", false, false},
      {"", false, true},
      {"localhost", false, true},
      {"[::1]:631", false, true},
      {"print.example.test:631", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsLocalDisplayName(c.name), c.display);
    EXPECT_EQ(IsLocalCupsServer(c.name), c.cups);
  }
  EXPECT_EQ(ParseCupsServerName("# comment\nEncryption Never\nServerName  print.example.test:631\n"),
            "print.example.test:631");
  EXPECT_EQ(ParseCupsServerName("ServerNameX foo\n"), "");
}

// A DRM class folder built in a temporary directory: cards, a connector, module versions.
class DrmTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zelk-drm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    drm_ = root_ + "/sys/class/drm";
    std::filesystem::create_directories(drm_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
  }
  void Card(int n, const char* vendor, const char* device, const char* driver, const char* bootVga) {
    std::string dev = drm_ + "/card" + std::to_string(n) + "/device";
    Write(dev + "/vendor", std::string(vendor) + "\n");
    Write(dev + "/device", std::string(device) + "\n");
    Write(dev + "/uevent", std::string("DRIVER=") + driver + "\nPCI_CLASS=30000\n");
    if (bootVga) Write(dev + "/boot_vga", std::string(bootVga) + "\n");
  }
  std::string root_, drm_;
};

TEST_F(DrmTree, BootCardWithDriverVersionAndMemory) {
  EXPECT_EQ(VideoCardFromDrm(drm_), "");
  Card(0, "0x10de", "0x1eb8", "nvidia", "0");
  Card(1, "0x1002", "0x73bf", "amdgpu", "1");
  Write(drm_ + "/card1-HDMI-A-1/status", "connected\n");
  Write(drm_ + "/card1/device/mem_info_vram_total", "17163091968\n");
  Write(root_ + "/sys/module/amdgpu/version", "6.1.2\n");
  EXPECT_EQ(VideoCardFromDrm(drm_), "PCI 1002:73bf (driver amdgpu 6.1.2 - RAM 16368 MB)");
}

TEST_F(DrmTree, FirstCardWhenNoneIsTheBootCard) {
  Card(0, "0x8086", "0x46a6", "i915", nullptr);
  EXPECT_EQ(VideoCardFromDrm(drm_), "PCI 8086:46a6 (driver i915)");
}

TEST(ReadTextFile, PseudoFilesAndMissingOnes) {
  EXPECT_NE(ReadTextFile("/proc/self/status").find("Name:"), std::string::npos);
  EXPECT_EQ(ReadTextFile("/nonexistent/zelk"), "");
}

}  // namespace
