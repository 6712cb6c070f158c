#include "runtime/ClassNames.h"

#include <cxxabi.h>

#include <cstdlib>
#include <deque>
#include <memory>

#include "runtime/Strings.h"

std::string QualifiedClassName(const std::type_info& ti) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(ti.name(), nullptr, nullptr, &status),
                                            std::free);
  std::string name = (status == 0 && d) ? d.get() : ti.name();
  // libstdc++ puts its classes in an inline namespace; users know them as std::X.
  const std::string cxx11 = "std::__cxx11::";
  if (name.rfind(cxx11, 0) == 0) name = "std::" + name.substr(cxx11.size());
  return name;
}

std::string PlainClassName(const std::type_info& ti) {
  std::string q = QualifiedClassName(ti);
  // Find the last "::" outside template brackets.
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < q.size(); ++i) {
    if (q[i] == '<') ++depth;
    else if (q[i] == '>') --depth;
    else if (depth == 0 && q[i] == ':' && i + 1 < q.size() && q[i + 1] == ':') start = i + 2;
  }
  return q.substr(start);
}

std::vector<const std::type_info*> ClassAncestry(const std::type_info& ti) {
  std::vector<const std::type_info*> out;
  std::deque<const std::type_info*> queue{&ti};
  while (!queue.empty()) {
    const std::type_info* t = queue.front();
    queue.pop_front();
    bool seen = false;
    for (auto* o : out) seen = seen || *o == *t;
    if (seen) continue;
    out.push_back(t);
    if (auto* si = dynamic_cast<const abi::__si_class_type_info*>(t)) {
      queue.push_back(si->__base_type);
    } else if (auto* vmi = dynamic_cast<const abi::__vmi_class_type_info*>(t)) {
      for (unsigned i = 0; i < vmi->__base_count; ++i) queue.push_back(vmi->__base_info[i].__base_type);
    }
  }
  return out;
}

bool ClassInheritsFrom(const std::type_info& ti, const std::type_info& base) {
  for (auto* t : ClassAncestry(ti))
    if (*t == base) return true;
  return false;
}

bool ClassHasAncestorNamed(const std::type_info& ti, std::string_view name) {
  std::string wanted = Trim(name);
  for (auto* t : ClassAncestry(ti)) {
    if (SameText(PlainClassName(*t), wanted) || SameText(QualifiedClassName(*t), wanted)) return true;
  }
  return false;
}

const std::type_info* CurrentExceptionType() { return abi::__cxa_current_exception_type(); }
