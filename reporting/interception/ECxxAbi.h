// The parts of the C++ ABI's exception header (libstdc++, x86-64) that the layer reads: the
// thrown object's type, its handler count (negative while rethrown) and the thread's list of
// caught exceptions. The layout is fixed by the ABI.
#pragma once

#include <cxxabi.h>
#include <unwind.h>

#include <cstdint>
#include <exception>
#include <typeinfo>

namespace tarvex_abi {

struct CxaException {
  std::type_info* exceptionType;
  void (*exceptionDestructor)(void*);
  void (*unexpectedHandler)();
  std::terminate_handler terminateHandler;
  CxaException* nextException;
  int handlerCount;
  int handlerSwitchValue;
  const unsigned char* actionRecord;
  const unsigned char* languageSpecificData;
  _Unwind_Ptr catchTemp;
  void* adjustedPtr;
  _Unwind_Exception unwindHeader;
};

// A dependent exception (std::rethrow_exception) shares the header's layout up to the unwind
// header, with the primary object in place of the adjusted pointer's neighbour.
struct CxaDependentException {
  void* primaryException;
  void (*exceptionDestructor)(void*);
  void (*unexpectedHandler)();
  std::terminate_handler terminateHandler;
  CxaException* nextException;
  int handlerCount;
  int handlerSwitchValue;
  const unsigned char* actionRecord;
  const unsigned char* languageSpecificData;
  _Unwind_Ptr catchTemp;
  void* adjustedPtr;
  _Unwind_Exception unwindHeader;
};

struct CxaEhGlobals {
  CxaException* caughtExceptions;
  unsigned int uncaughtExceptions;
};

// "GNUCC++\0" and "GNUCC++\x01" (dependent).
constexpr uint64_t kGnuExceptionClass = 0x474e5543432b2b00ULL;
constexpr uint64_t kGnuDependentClass = 0x474e5543432b2b01ULL;

inline bool IsGnuException(const _Unwind_Exception* ue) {
  return (ue->exception_class & ~uint64_t{1}) == kGnuExceptionClass;
}
inline bool IsDependent(const _Unwind_Exception* ue) { return ue->exception_class == kGnuDependentClass; }

inline CxaException* HeaderOf(void* thrownObject) { return static_cast<CxaException*>(thrownObject) - 1; }
inline CxaException* HeaderOfUnwind(_Unwind_Exception* ue) {
  return reinterpret_cast<CxaException*>(ue + 1) - 1;
}
// The thrown object of a native (possibly dependent) exception header.
inline void* ObjectOf(CxaException* header) {
  if (IsDependent(&header->unwindHeader))
    return reinterpret_cast<CxaDependentException*>(header)->primaryException;
  return header + 1;
}

// The calling thread's exception globals (the ABI declares the struct opaque).
inline CxaEhGlobals* Globals() { return reinterpret_cast<CxaEhGlobals*>(abi::__cxa_get_globals()); }

}  // namespace tarvex_abi
