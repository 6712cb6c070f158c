// Parsers of the Linux texts that the system values come from.
#include <sched.h>

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "reporting/report/ESystemInfo.h"

namespace {

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Calls `line` for every line of the text.
template <class F>
void ForEachLine(std::string_view text, F line) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// "Key<sep>value" lines: the value of the first line whose key is `key`.
std::optional<std::string_view> ValueOf(std::string_view text, std::string_view key, char sep) {
  std::optional<std::string_view> found;
  ForEachLine(text, [&](std::string_view line) {
    if (found) return;
    size_t at = line.find(sep);
    if (at != std::string_view::npos && TrimView(line.substr(0, at)) == key) found = TrimView(line.substr(at + 1));
  });
  return found;
}

template <class T>
std::optional<T> Number(std::string_view s, int base = 10) {
  T value{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end == s.data()) return std::nullopt;
  return value;
}

// "1234 kB" to bytes.
std::optional<uint64_t> KiloBytes(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  auto n = Number<uint64_t>(*value);
  if (!n) return std::nullopt;
  return *n * 1024;
}

// An os-release value: unquoted, or in double quotes with backslash escapes, or in single quotes.
std::string ShellValue(std::string_view v) {
  v = TrimView(v);
  if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') return std::string(v.substr(1, v.size() - 2));
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    v = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == '\\' && i + 1 < v.size()) ++i;
      out += v[i];
    }
    return out;
  }
  return std::string(v);
}

constexpr std::array<const char*, 41> kCapabilityNames = {
    "CAP_CHOWN",          "CAP_DAC_OVERRIDE",  "CAP_DAC_READ_SEARCH",   "CAP_FOWNER",
    "CAP_FSETID",         "CAP_KILL",          "CAP_SETGID",            "CAP_SETUID",
    "CAP_SETPCAP",        "CAP_LINUX_IMMUTABLE", "CAP_NET_BIND_SERVICE", "CAP_NET_BROADCAST",
    "CAP_NET_ADMIN",      "CAP_NET_RAW",       "CAP_IPC_LOCK",          "CAP_IPC_OWNER",
    "CAP_SYS_MODULE",     "CAP_SYS_RAWIO",     "CAP_SYS_CHROOT",        "CAP_SYS_PTRACE",
    "CAP_SYS_PACCT",      "CAP_SYS_ADMIN",     "CAP_SYS_BOOT",          "CAP_SYS_NICE",
    "CAP_SYS_RESOURCE",   "CAP_SYS_TIME",      "CAP_SYS_TTY_CONFIG",    "CAP_MKNOD",
    "CAP_LEASE",          "CAP_AUDIT_WRITE",   "CAP_AUDIT_CONTROL",     "CAP_SETFCAP",
    "CAP_MAC_OVERRIDE",   "CAP_MAC_ADMIN",     "CAP_SYSLOG",            "CAP_WAKE_ALARM",
    "CAP_BLOCK_SUSPEND",  "CAP_AUDIT_READ",    "CAP_PERFMON",           "CAP_BPF",
    "CAP_CHECKPOINT_RESTORE"};

bool IsIPv4(std::string_view s) {
  int parts = 0;
  while (true) {
    size_t dot = s.find('.');
    auto n = Number<unsigned>(s.substr(0, dot));
    if (!n || *n > 255 || s.substr(0, dot).size() > 3) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    s.remove_prefix(dot + 1);
  }
  return parts == 4;
}

std::string HostOf(std::string_view server) {
  server = TrimView(server);
  if (!server.empty() && server.front() == '[') {  // [::1]:631
    size_t close = server.find(']');
    return std::string(server.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  }
  if (std::count(server.begin(), server.end(), ':') > 1) return std::string(server);  // bare IPv6
  return std::string(server.substr(0, server.find(':')));
}

bool IsLoopbackHost(std::string_view host) {
  return host == "localhost" || host == "::1" || (host.starts_with("127.") && IsIPv4(host));
}

}  // namespace

std::string ParseOsReleaseName(std::string_view text) {
  if (auto pretty = ValueOf(text, "PRETTY_NAME", '=')) {
    std::string name = ShellValue(*pretty);
    if (!name.empty()) return name;
  }
  std::string name = ShellValue(ValueOf(text, "NAME", '=').value_or(""));
  std::string version = ShellValue(ValueOf(text, "VERSION", '=').value_or(""));
  if (!name.empty() && !version.empty()) name += " ";
  return name + version;
}

TMemInfo ParseMemInfo(std::string_view text) {
  TMemInfo info;
  info.Total = KiloBytes(ValueOf(text, "MemTotal", ':'));
  info.Available = KiloBytes(ValueOf(text, "MemAvailable", ':'));
  if (!info.Available) info.Available = KiloBytes(ValueOf(text, "MemFree", ':'));
  return info;
}

std::vector<TRouteEntry> ParseRouteTable(std::string_view text) {
  std::vector<TRouteEntry> routes;
  bool header = true;
  ForEachLine(text, [&](std::string_view line) {
    if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
      header = false;
      return;
    }
    std::vector<std::string_view> f;
    while (true) {
      line = TrimView(line);
      if (line.empty()) break;
      size_t end = line.find_first_of(" \t");
      f.push_back(line.substr(0, end));
      if (end == std::string_view::npos) break;
      line.remove_prefix(end);
    }
    if (f.size() < 8) return;
    auto dest = Number<uint32_t>(f[1], 16), gateway = Number<uint32_t>(f[2], 16), flags = Number<uint32_t>(f[3], 16),
         metric = Number<uint32_t>(f[6]), mask = Number<uint32_t>(f[7], 16);
    if (!dest || !gateway || !flags || !mask) return;
    routes.push_back({std::string(f[0]), *dest, *gateway, *mask, *flags, metric.value_or(0)});
  });
  return routes;
}

std::string DefaultGatewayOf(const std::vector<TRouteEntry>& routes, std::string_view iface) {
  constexpr uint32_t kUp = 0x1, kGateway = 0x2;
  for (const TRouteEntry& r : routes)
    if (r.Iface == iface && r.Destination == 0 && r.Mask == 0 && (r.Flags & (kUp | kGateway)) == (kUp | kGateway))
      return DottedIPv4(r.Gateway);
  return {};
}

std::vector<std::string> ParseNameServers(std::string_view text) {
  std::vector<std::string> servers;
  ForEachLine(text, [&](std::string_view line) {
    line = TrimView(line);
    if (!line.starts_with("nameserver") || line.size() == 10 || !std::isspace(static_cast<unsigned char>(line[10])))
      return;
    std::string_view value = TrimView(line.substr(10));
    value = value.substr(0, value.find_first_of(" \t#;"));
    if (!value.empty()) servers.emplace_back(value);
  });
  return servers;
}

bool OnlyLocalStubResolver(const std::vector<std::string>& servers) {
  if (servers.empty()) return false;
  for (const std::string& s : servers)
    if (s != "127.0.0.53") return false;
  return true;
}

std::string ProcessorFromCpuInfo(std::string_view text) {
  // Only the first processor's block.
  size_t blank = text.find("\n\n");
  if (blank != std::string_view::npos) text = text.substr(0, blank);
  if (auto model = ValueOf(text, "model name", ':'); model && !model->empty()) return std::string(*model);
  std::string vendor(ValueOf(text, "vendor_id", ':').value_or(""));
  std::string family(ValueOf(text, "cpu family", ':').value_or(""));
  std::string model(ValueOf(text, "model", ':').value_or(""));
  std::string id;
  if (!family.empty()) id = "Family " + family;
  if (!model.empty()) id += (id.empty() ? "" : " ") + std::string("Model ") + model;
  if (vendor.empty() && id.empty()) return {};
  return vendor + " - " + id;
}

std::string ProcessorName(std::string_view brand, std::string_view cpuInfo) {
  brand = TrimView(brand);
  if (!brand.empty()) return std::string(brand);
  std::string name(TrimView(ProcessorFromCpuInfo(cpuInfo)));
  return name.empty() ? "Unknown processor" : name;
}

TProcStatus ParseProcStatus(std::string_view text) {
  TProcStatus s;
  s.Name = std::string(ValueOf(text, "Name", ':').value_or(""));
  s.Resident = KiloBytes(ValueOf(text, "VmRSS", ':'));
  if (auto threads = ValueOf(text, "Threads", ':')) s.Threads = Number<int32_t>(*threads).value_or(0);
  if (auto prm = ValueOf(text, "CapPrm", ':')) s.CapPrm = Number<uint64_t>(*prm, 16);
  if (auto eff = ValueOf(text, "CapEff", ':')) s.CapEff = Number<uint64_t>(*eff, 16);
  return s;
}

TProcStat ParseProcStat(std::string_view text) {
  TProcStat stat;
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return stat;
  // Fields after the name start with field 3 (state); nice is field 19, policy field 41.
  std::string_view rest = text.substr(close + 1);
  std::vector<std::string_view> f;
  while (true) {
    rest = TrimView(rest);
    if (rest.empty()) break;
    size_t end = rest.find(' ');
    f.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  if (f.size() < 17) return stat;
  auto nice = Number<int32_t>(f[19 - 3]);
  if (!nice) return stat;
  stat.Nice = *nice;
  if (f.size() > 41 - 3) stat.Policy = Number<uint32_t>(f[41 - 3]).value_or(SCHED_OTHER);
  stat.Valid = true;
  return stat;
}

std::string PriorityClassName(uint32_t policy, int32_t nice) {
  constexpr uint32_t kDeadline = 6;  // SCHED_DEADLINE, not in every libc header
  if (policy == SCHED_FIFO || policy == SCHED_RR || policy == kDeadline) return "Real-Time";
  if (policy == SCHED_IDLE) return "Low";
  if (nice < -10) return "High";
  if (nice < 0) return "Above-Normal";
  if (nice == 0) return "Normal";
  if (nice <= 10) return "Below-Normal";
  return "Low";
}

std::string CapabilityName(unsigned bit) {
  if (bit < kCapabilityNames.size()) return kCapabilityNames[bit];
  return "CAP_" + std::to_string(bit);
}

std::vector<std::pair<std::string, bool>> PrivilegesOf(uint64_t permitted, uint64_t effective) {
  std::vector<std::pair<std::string, bool>> list;
  for (unsigned bit = 0; bit < 64; ++bit)
    if (permitted & (uint64_t{1} << bit)) list.emplace_back(CapabilityName(bit), (effective >> bit) & 1);
  return list;
}

std::string GecosFullName(std::string_view gecos) { return std::string(TrimView(gecos.substr(0, gecos.find(',')))); }

std::string DottedIPv4(uint32_t networkOrder) {
  const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string FormatDisplayMode(int width, int height, int depth) {
  char text[64];
  std::snprintf(text, sizeof text, "%d x %d, %d bit", width, height, depth);
  return text;
}

int ParseXftDpi(std::string_view resources) {
  auto value = ValueOf(resources, "Xft.dpi", ':');
  if (!value) return 0;
  // The value may be fractional ("96.5"): whole dots, rounded.
  std::string v(*value);
  double dpi = 0;
  if (std::sscanf(v.c_str(), "%lf", &dpi) != 1 || dpi <= 0 || dpi > 10000) return 0;
  return static_cast<int>(dpi + 0.5);
}

bool IsLocalDisplayName(std::string_view display) {
  display = TrimView(display);
  if (display.empty()) return false;
  if (display.front() == '/') return true;  // a socket path
  size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = display.substr(0, colon);
  if (host.ends_with(":")) return false;  // "host::0" is DECnet
  return host.empty() || host == "unix" || IsLoopbackHost(host);
}

bool IsLocalCupsServer(std::string_view server) {
  server = TrimView(server);
  if (server.empty() || server.front() == '/') return true;
  return IsLoopbackHost(HostOf(server));
}

std::string ParseCupsServerName(std::string_view text) {
  std::string server;
  ForEachLine(text, [&](std::string_view line) {
    line = TrimView(line);
    if (!server.empty() || !line.starts_with("ServerName") || line.size() == 10 ||
        !std::isspace(static_cast<unsigned char>(line[10])))
      return;
    server = std::string(TrimView(line.substr(10)));
  });
  return server;
}

std::string VideoCardFromDrm(const std::string& drmClassFolder) {
  // Cards are "cardN"; connectors ("card0-HDMI-A-1") and render nodes are skipped.
  std::vector<std::string> cards;
  for (int n = 0; n < 64; ++n) {
    std::string card = drmClassFolder + "/card" + std::to_string(n);
    if (!ReadTextFile(card + "/device/uevent").empty() || !ReadTextFile(card + "/device/vendor").empty())
      cards.push_back(card);
  }
  if (cards.empty()) return {};
  std::string chosen = cards.front();
  for (const std::string& card : cards)
    if (TrimView(ReadTextFile(card + "/device/boot_vga")) == "1") {
      chosen = card;
      break;
    }
  std::string device = chosen + "/device";
  std::string uevent = ReadTextFile(device + "/uevent");
  std::string driver(ValueOf(uevent, "DRIVER", '=').value_or(""));
  std::string vendorId(TrimView(ReadTextFile(device + "/vendor"))), deviceId(TrimView(ReadTextFile(device + "/device")));
  auto bare = [](std::string id) { return id.starts_with("0x") ? id.substr(2) : id; };
  std::string name;
  if (!vendorId.empty() && !deviceId.empty())
    name = "PCI " + bare(vendorId) + ":" + bare(deviceId);
  else
    name = std::string(ValueOf(uevent, "OF_NAME", '=').value_or(ValueOf(uevent, "MODALIAS", '=').value_or("")));
  if (name.empty()) name = driver;
  if (name.empty()) return {};
  std::string version;
  if (!driver.empty()) version = std::string(TrimView(ReadTextFile(drmClassFolder + "/../../module/" + driver + "/version")));
  std::string vram(TrimView(ReadTextFile(device + "/mem_info_vram_total")));
  std::string details = driver;
  if (!version.empty()) details += (details.empty() ? "" : " ") + version;
  if (auto bytes = Number<uint64_t>(vram); bytes && *bytes) details += " - RAM " + std::to_string(*bytes >> 20) + " MB";
  if (details.empty()) return name;
  return name + " (driver " + details + ")";
}

std::string ReadTextFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return std::move(out).str();
}
