// File-name helpers and the per-user folders of the reporting layer.
#pragma once

#include <string>
#include <string_view>

// "/a/b/" of "/a/b/c.x"; "" without a folder.
std::string ExtractFilePath(std::string_view name);
// "c.x" of "/a/b/c.x".
std::string ExtractFileName(std::string_view name);
// ".x" of "/a/b/c.x"; "" without an extension.
std::string ExtractFileExt(std::string_view name);
// Replaces (or adds) the extension; an empty `ext` removes it.
std::string ChangeFileExt(std::string_view name, std::string_view ext);
std::string IncludeTrailingPathDelimiter(std::string_view folder);

// Creates the folder and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& folder);
// True when the file can be opened for reading and writing, or, when it does not exist, can be
// created in its folder. Nothing is created by the test.
bool CanOpenForReadWrite(const std::string& fileName);

// The host name, with the characters that file names cannot hold replaced by "_".
std::string ComputerName();
// $XDG_STATE_HOME, else ~/.local/state; $XDG_CONFIG_HOME, else ~/.config. No trailing "/".
std::string UserStateFolder();
std::string UserConfigFolder();
// "TarvexLog.ini" in the user's configuration folder ("<config>/TarvexLog/", created when
// missing).
std::string TarvexLogSettingsFileName();
