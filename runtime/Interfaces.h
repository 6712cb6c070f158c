// Reference-counted interfaces identified by GUID, in the manner of COM: every interface
// derives from IInterface; an object answers QueryInterface for the GUIDs it implements.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "runtime/SysUtils.h"

struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};

  friend constexpr bool operator==(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.D4[i] != b.D4[i]) return false;
    return true;
  }
  bool IsEmpty() const { return *this == TGUID{}; }
};

namespace guid_detail {
constexpr uint32_t Hex(const char* s, int from, int count) {
  uint32_t v = 0;
  for (int i = from; i < from + count; ++i) {
    char c = s[i];
    uint32_t d = (c >= '0' && c <= '9') ? c - '0'
               : (c >= 'a' && c <= 'f') ? c - 'a' + 10
               : (c >= 'A' && c <= 'F') ? c - 'A' + 10
               : throw "invalid GUID digit";
    v = v * 16 + d;
  }
  return v;
}
}  // namespace guid_detail

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time.
constexpr TGUID MakeGUID(const char (&s)[39]) {
  using guid_detail::Hex;
  TGUID g;
  g.D1 = Hex(s, 1, 8);
  g.D2 = static_cast<uint16_t>(Hex(s, 10, 4));
  g.D3 = static_cast<uint16_t>(Hex(s, 15, 4));
  g.D4[0] = static_cast<uint8_t>(Hex(s, 20, 2));
  g.D4[1] = static_cast<uint8_t>(Hex(s, 22, 2));
  for (int i = 0; i < 6; ++i) g.D4[2 + i] = static_cast<uint8_t>(Hex(s, 25 + 2 * i, 2));
  return g;
}

// The registry text form: "{ADDF0FF5-F8F6-6A64-F372-077F58D917BF}".
std::string GUIDToString(const TGUID& g);
// Raises EConvertError "'%s' is not a valid GUID value" on malformed text.
TGUID StringToGUID(std::string_view s);

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

struct TTypeInfo;

class IInterface {
 public:
  static constexpr TGUID IID = MakeGUID("{00000000-0000-0000-C000-000000000046}");
  static const TTypeInfo& StaticTypeInfo();  // defined with the type information
  virtual HRESULT QueryInterface(const TGUID& iid, void** obj) = 0;
  virtual int32_t _AddRef() = 0;
  virtual int32_t _Release() = 0;

 protected:
  ~IInterface() = default;
};

// An owning interface reference: adds a reference when it takes a pointer, releases it when
// it lets go.
template <class T>
class TIntfPtr {
 public:
  TIntfPtr() = default;
  TIntfPtr(std::nullptr_t) {}
  explicit TIntfPtr(T* p) : p_(p) {
    if (p_) p_->_AddRef();
  }
  TIntfPtr(const TIntfPtr& o) : TIntfPtr(o.p_) {}
  TIntfPtr(TIntfPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~TIntfPtr() { Reset(); }
  TIntfPtr& operator=(TIntfPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  // Takes over a reference that was already added (the result of QueryInterface).
  static TIntfPtr Adopt(T* p) {
    TIntfPtr r;
    r.p_ = p;
    return r;
  }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->_Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const TIntfPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// Asks `obj` for the interface T; an empty reference when it has none.
template <class T>
TIntfPtr<T> Supports(IInterface* obj) {
  void* out = nullptr;
  if (obj && obj->QueryInterface(T::IID, &out) == S_OK && out) return TIntfPtr<T>::Adopt(static_cast<T*>(out));
  return {};
}

// The "as" cast: raises EIntfCastError "Interface not supported" when `obj` lacks T.
template <class T>
TIntfPtr<T> IntfCast(IInterface* obj) {
  TIntfPtr<T> r = Supports<T>(obj);
  if (!r) throw EIntfCastError("Interface not supported");
  return r;
}
