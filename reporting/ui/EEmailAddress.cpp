#include "reporting/ui/EEmailAddress.h"

#include <algorithm>

namespace {
bool BlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7F'; }
}  // namespace

std::string TrimmedText(std::string_view text) {
  size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return std::string(text.substr(first, last - first));
}

bool ValidEmailAddress(std::string_view address) {
  constexpr size_t kMaxAddressBytes = 254;
  if (address.empty() || address.size() > kMaxAddressBytes) return false;
  if (address.find('@') == std::string_view::npos || address.find('.') == std::string_view::npos) return false;
  return std::none_of(address.begin(), address.end(), BlankOrControl);
}
