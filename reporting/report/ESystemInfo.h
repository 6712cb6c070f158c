// The system values of a bug report, read from Linux sources. Every file format is parsed by a
// function that takes the text, so each source is tested on fixtures; the readers that open the
// real files and ask the kernel sit beside them. Nothing here sends network traffic, and every
// reader yields an empty value (never an exception) when its source is missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reporting/report/EReportSnapshot.h"

// ---- Parsers -------------------------------------------------------------------------------

// PRETTY_NAME of an os-release text (quotes and escapes removed); else NAME and VERSION.
std::string ParseOsReleaseName(std::string_view text);

struct TMemInfo {
  std::optional<uint64_t> Total, Available;  // bytes
};
// MemTotal and MemAvailable (MemFree when the kernel is too old for it) of /proc/meminfo.
TMemInfo ParseMemInfo(std::string_view text);

struct TRouteEntry {
  std::string Iface;
  uint32_t Destination = 0, Gateway = 0, Mask = 0;  // as the kernel stores them (network order)
  uint32_t Flags = 0;
  uint32_t Metric = 0;
};
std::vector<TRouteEntry> ParseRouteTable(std::string_view text);
// The first default route's gateway of an interface, dotted; empty when it has none.
std::string DefaultGatewayOf(const std::vector<TRouteEntry>& routes, std::string_view iface);

// The "nameserver" addresses of a resolv.conf text, in order.
std::vector<std::string> ParseNameServers(std::string_view text);
// Whether the list names only the local stub resolver of systemd-resolved (127.0.0.53), whose
// upstream servers are then in its own file.
bool OnlyLocalStubResolver(const std::vector<std::string>& servers);

// The processor's name from /proc/cpuinfo: "model name" of the first processor; else
// vendor_id, " - " and "Family f Model m"; empty when none of them is there.
std::string ProcessorFromCpuInfo(std::string_view text);
// The processor name as reported: `brand` (the CPUID brand string) trimmed, else the cpuinfo
// name, else "Unknown processor".
std::string ProcessorName(std::string_view brand, std::string_view cpuInfo);

struct TProcStatus {
  std::string Name;                   // comm
  std::optional<uint64_t> Resident;   // VmRSS in bytes
  int32_t Threads = 0;
  std::optional<uint64_t> CapPrm, CapEff;
};
TProcStatus ParseProcStatus(std::string_view text);

struct TProcStat {
  int32_t Nice = 0;
  uint32_t Policy = 0;  // SCHED_*
  bool Valid = false;
};
// The nice value and scheduling policy of a /proc/<pid>/stat line (the name in parentheses
// may itself hold blanks and parentheses).
TProcStat ParseProcStat(std::string_view text);

// The priority class shown for a process: SCHED_FIFO, SCHED_RR and SCHED_DEADLINE are
// "Real-Time", SCHED_IDLE is "Low"; otherwise by nice value: below -10 "High", below 0
// "Above-Normal", 0 "Normal", up to 10 "Below-Normal", above 10 "Low".
std::string PriorityClassName(uint32_t policy, int32_t nice);

// "CAP_CHOWN" and so on by bit number; "CAP_<n>" for a bit this table does not know.
std::string CapabilityName(unsigned bit);
// One entry per permitted capability, in bit order, enabled when it is also effective.
std::vector<std::pair<std::string, bool>> PrivilegesOf(uint64_t permitted, uint64_t effective);

// The full name of a GECOS field: the text before its first comma.
std::string GecosFullName(std::string_view gecos);

// The English name of a locale's language as its identification names it; the C and POSIX
// locales (untranslated, English texts) give "English". Empty when the locale is unknown.
std::string LanguageOfLocale(const std::string& localeName);
// The locale that governs messages: LC_ALL, else LC_MESSAGES, else LANG; "C" when none is set.
std::string MessagesLocaleName();

// Dotted IPv4 of an address as the kernel stores it (network byte order in memory).
std::string DottedIPv4(uint32_t networkOrder);

// "%d x %d, %d bit".
std::string FormatDisplayMode(int width, int height, int depth);
// The "Xft.dpi" value of an X resource database text; 0 when absent.
int ParseXftDpi(std::string_view resources);
// Whether an X display name is on this machine (":0", "unix:0", "/tmp/.X11-unix/X0",
// "localhost:0"), so talking to it sends nothing over the network.
bool IsLocalDisplayName(std::string_view display);
// Whether a CUPS server name (empty: the default) is on this machine.
bool IsLocalCupsServer(std::string_view server);
// The "ServerName" of a CUPS client.conf text; empty when none.
std::string ParseCupsServerName(std::string_view text);

// The primary video card from a DRM sysfs class folder ("/sys/class/drm"): the card whose
// device has boot_vga 1 (else the first card), as "vendor:device" PCI ids (or the device's
// name from its uevent), then " (driver ", the driver name and its module version when the
// kernel has one, " - RAM n MB" when the VRAM size is known, and ")". Empty when there is no card.
std::string VideoCardFromDrm(const std::string& drmClassFolder);

// ---- Live readers --------------------------------------------------------------------------

// The contents of a small file (the kernel's pseudo files report size 0); empty when unreadable.
std::string ReadTextFile(const std::string& fileName);

// Milliseconds since the system started, suspended time included (CLOCK_BOOTTIME).
int64_t SystemUpTimeMilliseconds();
// The CPUID brand string (leaves 0x80000002 to 0x80000004); empty when the processor has none.
std::string CpuidBrandString();

// One adapter per interface with an IPv4 address, loopback excluded, in getifaddrs order: the
// first address and mask, the interface's default gateway, the first two IPv4 name servers,
// and DHCP when the address has a finite valid lifetime (the kernel's netlink answer).
std::vector<TNetworkAdapter> ReadNetworkAdapters();

// Every process of a /proc tree (the real one unless a test gives its own), sorted by id.
// A process that cannot be read completely still appears with what could be read.
std::vector<TProcessRow> ReadProcesses(const std::string& procRoot = "/proc");

// Every system value of the report; `askX11` as for the display values.
TSystemValues ReadSystemValues(bool askX11);

// The default printer (through libcups when present and its server is local); empty otherwise.
std::string DefaultPrinter();
