// What every web route shares: the address grammar, the boundary, the encodings and the
// process-wide settings.
#include <openssl/evp.h>
#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "delivery/EWebTools.h"
#include "runtime/NoDestroy.h"

namespace {

std::mutex gSettingsLock;
TNoDestroy<TWebSettings> gSettings;  // the leak report at exit may deliver

bool HostChars(std::string_view text) {
  for (unsigned char c : text)
    if (!std::isalnum(c) && c != '-' && c != '.') return false;
  return true;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

void SetWebSettings(const TWebSettings& settings) {
  std::lock_guard<std::mutex> lock(gSettingsLock);
  *gSettings = settings;
}

TWebSettings WebSettings() {
  std::lock_guard<std::mutex> lock(gSettingsLock);
  return *gSettings;
}

TWebAddress ParseWebAddress(const std::string& input) {
  TWebAddress a;
  std::string text = Trimmed(input);
  if (text.empty() || text.back() != '/') text += '/';
  // Port: digits after ":" right before the final "/".
  size_t end = text.size() - 1;
  size_t digits = end;
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1]))) --digits;
  if (digits < end && digits > 0 && text[digits - 1] == ':') {
    std::string port = text.substr(digits, end - digits);
    a.Port = port.size() > 9 ? 0 : static_cast<uint32_t>(std::stoul(port));
    text = text.substr(0, digits - 1) + "/";
  }
  size_t sep = text.find("://");
  if (sep != std::string::npos && HostChars(std::string_view(text).substr(0, sep))) {
    a.Scheme = text.substr(0, sep);
    text.erase(0, sep + 3);
  }
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    a.User = text.substr(0, colon);
    text.erase(0, colon + 1);
  }
  size_t at = text.find('@');
  if (at != std::string::npos) {
    a.Password = text.substr(0, at);
    text.erase(0, at + 1);
  }
  size_t slash = text.find('/');
  if (slash != std::string::npos && HostChars(std::string_view(text).substr(0, slash))) {
    a.Host = text.substr(0, slash);
    text.erase(0, slash + 1);
  }
  if (!text.empty()) text.pop_back();
  a.Path = text;
  return a;
}

std::string NewMultipartBoundary() {
  uint16_t groups[3] = {0, 0, 0};
  size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(groups);
  while (got < sizeof groups) {
    ssize_t n = getrandom(bytes + got, sizeof groups - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  char text[64];
  snprintf(text, sizeof text, "---------------------------%04X%04X%04X", groups[0] % 65535u, groups[1] % 65535u,
           groups[2] % 65535u);
  return text;
}

std::string MultipartQuotedName(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

std::string WebUrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string WebBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string DecodeHtmlEntities(std::string_view text) {
  static const std::pair<std::string_view, char> kNamed[] = {
      {"&amp;", '&'}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&nbsp;", ' '}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    bool done = false;
    for (const auto& [name, c] : kNamed) {
      if (text.substr(i, name.size()) == name) {
        out += c;
        i += name.size();
        done = true;
        break;
      }
    }
    if (done) continue;
    if (text.substr(i, 2) == "&#") {
      size_t j = i + 2;
      unsigned value = 0;
      while (j < text.size() && j < i + 6 && std::isdigit(static_cast<unsigned char>(text[j])))
        value = value * 10 + static_cast<unsigned>(text[j++] - '0');
      if (j > i + 2 && j < text.size() && text[j] == ';' && value < 256) {
        out += static_cast<char>(value);
        i = j + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}
