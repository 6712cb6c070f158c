// "TarvexLog.ini": the dialogs' geometry, the list column widths and the user's e-mail address.
// Plain ini text of our own (no framework's settings format), so every copy of the layer and
// the helper agree on it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Sections of "Key=Value" lines. Sections and keys compare without case; lines that are neither
// are kept as they are, so a hand-edited file survives our writes.
class TIniData {
 public:
  static TIniData Parse(std::string_view text);
  std::string Text() const;

  // Values are read as through a 2048-byte buffer: at most 2047 bytes.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;
  std::string String(std::string_view section, std::string_view key, const std::string& fallback = {}) const;
  // A decimal number in [low, high]; missing, not a number or out of range: the fallback.
  int32_t Int(std::string_view section, std::string_view key, int32_t fallback, int32_t low, int32_t high) const;
  void Set(std::string_view section, std::string_view key, std::string_view value);

 private:
  struct TSection {
    std::string Name;
    std::vector<std::string> Lines;
  };
  TSection* FindSection(std::string_view name);
  const TSection* FindSection(std::string_view name) const;
  std::vector<TSection> sections_;  // the first one, unnamed, holds lines before any header
};

// $XDG_CONFIG_HOME/TarvexLog/TarvexLog.ini (the variable unset or relative: ~/.config).
std::string TarvexLogIniPath();
// Settings that cannot be read yield an empty set (the defaults).
TIniData ReadTarvexLogIni();
// Load, change and save under an exclusive lock of "TarvexLog.ini.lock" beside the file, the
// new text written to a new file that is renamed over the old one. False when it could not be
// written: the change is dropped.
bool UpdateTarvexLogIni(const std::function<void(TIniData&)>& change);
