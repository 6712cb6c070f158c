#include "runtime/Classes.h"

#include <gtest/gtest.h>

namespace {

// Records its own destruction and the notifications it receives.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::vector<std::string>* log, std::string name) : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~TProbe() override { log_->push_back("destroy " + Name()); }
  TComponent* watched = nullptr;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove && c == watched) {
      log_->push_back(Name() + " told of " + c->Name());
      watched = nullptr;
    }
  }

 private:
  std::vector<std::string>* log_;
};

class TCounted : public TInterfacedObject {
 public:
  explicit TCounted(bool* destroyed) : destroyed_(destroyed) {}
  ~TCounted() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

}  // namespace

TEST(ComponentTest, OwnerDestroysWhatItOwns) {
  std::vector<std::string> log;
  auto* owner = new TProbe(nullptr, &log, "owner");
  new TProbe(owner, &log, "a");
  auto* b = new TProbe(owner, &log, "b");
  EXPECT_EQ(owner->Components().size(), 2u);
  EXPECT_EQ(owner->FindComponent("B"), b);
  delete b;  // removes itself from its owner
  EXPECT_EQ(owner->Components().size(), 1u);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"destroy b", "destroy owner", "destroy a"}));
}

TEST(ComponentTest, FreeNotificationTellsTheWatcher) {
  std::vector<std::string> log;
  TProbe watcher(nullptr, &log, "watcher");
  auto* target = new TProbe(nullptr, &log, "target");
  watcher.watched = target;
  watcher.FreeNotification(target);
  delete target;
  EXPECT_EQ(watcher.watched, nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"destroy target", "watcher told of target"}));
}

TEST(InterfacedObjectTest, LastReleaseDestroys) {
  bool destroyed = false;
  {
    TIntfPtr<IInterface> ref(new TCounted(&destroyed));
    TIntfPtr<IInterface> second = ref;
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

struct IOther : IInterface {
  static constexpr TGUID IID = MakeGUID("{11111111-2222-3333-4444-555555555555}");
};

TEST(InterfacedObjectTest, CastToMissingInterfaceRaises) {
  bool destroyed = false;
  TIntfPtr<IInterface> ref(new TCounted(&destroyed));
  EXPECT_FALSE(Supports<IOther>(ref.Get()));
  try {
    IntfCast<IOther>(ref.Get());
    FAIL();
  } catch (const EIntfCastError& e) {
    EXPECT_EQ(e.Message(), "Interface not supported");
  }
}

TEST(GuidTest, TextForms) {
  constexpr TGUID g = MakeGUID("{ADDF0FF5-F8F6-6A64-F372-077F58D917BF}");
  EXPECT_EQ(GUIDToString(g), "{ADDF0FF5-F8F6-6A64-F372-077F58D917BF}");
  EXPECT_EQ(StringToGUID("{addf0ff5-f8f6-6a64-f372-077f58d917bf}"), g);
  EXPECT_THROW(StringToGUID("{ADDF0FF5-F8F6-6A64-F372-077F58D917B}"), EConvertError);
  EXPECT_THROW(StringToGUID("{ADDF0FF5-F8F6-6A64-F372-077F58D917BG}"), EConvertError);
}
