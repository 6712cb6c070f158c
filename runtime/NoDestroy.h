// A static object that outlives the static destructors at exit.
//
// The leak report runs at exit after every static destructor of the program, and it still needs
// the registries, texts and locks it reports through. Statics it may touch are kept in a
// TNoDestroy: at exit their memory stays valid until the process ends, which is when it is
// reclaimed. A shared object that is unloaded before then destroys its own, after its ordinary
// static destructors, so that loading and unloading it leaves nothing behind.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds never track leaks (the tracker's hook is not linked there), so nothing runs
// after the static destructors; an ordinary static keeps the leak checker's view of a library
// that is unloaded exact.
template <class T>
class TNoDestroy {
 public:
  template <class... TArgs>
  explicit TNoDestroy(TArgs&&... args) : value_(std::forward<TArgs>(args)...) {}
  TNoDestroy(const TNoDestroy&) = delete;
  TNoDestroy& operator=(const TNoDestroy&) = delete;

  T& Get() { return value_; }
  const T& Get() const { return value_; }
  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

 private:
  T value_;
};
#else
namespace nodestroy {

struct TNode {
  TNode* Next = nullptr;
  void (*Destroy)(TNode*) = nullptr;
};

// Adds a made object to its module's list, destroyed if the module is unloaded. Hidden: each
// module (the program, every shared object with its own copy) keeps its own list.
__attribute__((visibility("hidden"))) void Register(TNode* node) noexcept;

}  // namespace nodestroy

template <class T>
class TNoDestroy : private nodestroy::TNode {
 public:
  template <class... TArgs>
  explicit TNoDestroy(TArgs&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<TArgs>(args)...);
    if constexpr (!std::is_trivially_destructible_v<T>) {
      Destroy = [](nodestroy::TNode* self) { static_cast<TNoDestroy*>(self)->Get().~T(); };
      nodestroy::Register(this);
    }
  }
  TNoDestroy(const TNoDestroy&) = delete;
  TNoDestroy& operator=(const TNoDestroy&) = delete;

  T& Get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  const T& Get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
  T& operator*() { return Get(); }
  const T& operator*() const { return Get(); }
  T* operator->() { return &Get(); }
  const T* operator->() const { return &Get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// No destructor is registered at exit for it.
static_assert(std::is_trivially_destructible_v<TNoDestroy<std::pair<int, int>>>);
#endif
