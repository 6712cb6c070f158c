#include <cxxabi.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "reporting/debuginfo/EModuleImage.h"

std::string DemangledName(const char* name) {
  if (!name) return {};
  if (std::strncmp(name, "_Z", 2) != 0) return name;
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && text ? text : name;
  std::free(text);
  return result;
}

namespace {

bool EndsWithWord(const std::string& s, size_t end, const char* word) {
  size_t n = std::strlen(word);
  return end >= n && s.compare(end - n, n, word) == 0 && (end == n || !(std::isalnum(static_cast<unsigned char>(s[end - n - 1])) || s[end - n - 1] == '_'));
}

}  // namespace

std::string WithoutParameters(const std::string& name) {
  // The parameter list is the last balanced "(...)" once trailing qualifiers are skipped.
  size_t end = name.size();
  for (;;) {
    while (end > 0 && name[end - 1] == ' ') --end;
    bool skipped = false;
    for (const char* q : {"const", "volatile", "noexcept", "&&", "&"}) {
      size_t n = std::strlen(q);
      if (end >= n && name.compare(end - n, n, q) == 0 && (std::isalpha(static_cast<unsigned char>(q[0])) ? EndsWithWord(name, end, q) : true)) {
        end -= n;
        skipped = true;
        break;
      }
    }
    if (!skipped) break;
  }
  std::string result = name.substr(0, end);
  if (!result.empty() && result.back() == ')') {
    int depth = 0;
    for (size_t i = result.size(); i-- > 0;) {
      if (result[i] == ')') ++depth;
      else if (result[i] == '(' && --depth == 0) {
        result.resize(i);
        break;
      }
    }
  }
  // A return type stands before the name, separated by a blank outside any brackets.
  int depth = 0;
  for (size_t i = result.size(); i-- > 0;) {
    char c = result[i];
    if (c == ')' || c == '>' || c == ']' || c == '}') ++depth;
    else if (c == '(' || c == '<' || c == '[' || c == '{') --depth;
    // "operator new", "operator delete[]" and conversion operators keep their blank.
    else if (c == ' ' && depth == 0 && !EndsWithWord(result, i, "operator")) {
      return result.substr(i + 1);
    }
  }
  return result;
}
