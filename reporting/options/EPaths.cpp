#include "reporting/options/EPaths.h"

std::string ExtractFilePath(std::string_view name) {
  size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash + 1));
}

std::string ExtractFileName(std::string_view name) {
  size_t slash = name.rfind('/');
  return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

namespace {
size_t ExtensionStart(std::string_view name) {
  size_t dot = name.rfind('.');
  size_t slash = name.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return name.size();
  return dot;
}
}  // namespace

std::string ExtractFileExt(std::string_view name) { return std::string(name.substr(ExtensionStart(name))); }

std::string ChangeFileExt(std::string_view name, std::string_view ext) {
  return std::string(name.substr(0, ExtensionStart(name))) + std::string(ext);
}

std::string IncludeTrailingPathDelimiter(std::string_view folder) {
  std::string f(folder);
  if (f.empty() || f.back() != '/') f.push_back('/');
  return f;
}
