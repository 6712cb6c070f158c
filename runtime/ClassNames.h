// Names of C++ classes at run time, read from the Itanium ABI's type_info records, so that
// any exception class (ours or the standard library's) has a plain name and known ancestors
// without per-class declarations.
#pragma once

#include <string>
#include <typeinfo>
#include <vector>

// "std::out_of_range", "ESOAPHTTPException", "ns::Outer::Inner".
std::string QualifiedClassName(const std::type_info& ti);
// The last component of the qualified name: "out_of_range", "Inner".
std::string PlainClassName(const std::type_info& ti);

// The class itself first, then its public and private bases breadth-first, each once.
std::vector<const std::type_info*> ClassAncestry(const std::type_info& ti);

// True when `ti` is `base` or derives from it.
bool ClassInheritsFrom(const std::type_info& ti, const std::type_info& base);

// True when `ti` or one of its ancestors has the name `name`, compared without regard to
// case against both the plain and the qualified name.
bool ClassHasAncestorNamed(const std::type_info& ti, std::string_view name);

// The type of the exception currently being handled (inside a catch block), or null.
const std::type_info* CurrentExceptionType();
