// Components: named objects with an owner that destroys them, and notification when a
// component another one refers to is destroyed. Plus the reference-counted object base.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "runtime/Interfaces.h"
#include "runtime/TypInfo.h"

// An object whose lifetime is its interface references: the last release destroys it.
class TInterfacedObject : public TObject, public IInterface {
  ZELK_CLASS(TInterfacedObject, TObject)
 public:
  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return ++refCount_; }
  int32_t _Release() override;
  int32_t RefCount() const { return refCount_.load(); }

 protected:
  std::atomic<int32_t> refCount_{0};
};

enum TOperation { opInsert, opRemove };

class TComponent : public TObject, public IInterface {
  ZELK_CLASS(TComponent, TObject)
 public:
  explicit TComponent(TComponent* owner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  const std::vector<TComponent*>& Components() const { return components_; }
  TComponent* FindComponent(std::string_view name) const;

  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);
  // Asks to be told (Notification with opRemove) when `other` is destroyed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  // A sub-component is part of its owner's state rather than a free-standing child.
  void SetSubComponent(bool on) { subComponent_ = on; }
  bool IsSubComponent() const { return subComponent_; }
  bool Destroying() const { return destroying_; }

  // Components are not reference counted by default: references do not destroy them.
  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return -1; }
  int32_t _Release() override { return -1; }

 protected:
  virtual void Notification(TComponent* component, TOperation operation);
  // Call first thing in a subclass destructor that must not be notified any more.
  void BeginDestroy() { destroying_ = true; }

 private:
  void DestroyComponents();

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
  bool subComponent_ = false;
  bool destroying_ = false;
};
