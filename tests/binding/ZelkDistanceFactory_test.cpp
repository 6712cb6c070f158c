#include <gtest/gtest.h>

#include "binding/ZelkDistance1.h"
#include "soap/SOAPHTTPClient.h"
#include "tests/support/TestSupport.h"

namespace {

// Watches one component and notes when it is destroyed.
class TWatcher : public TComponent {
 public:
  bool told = false;
  TComponent* target = nullptr;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove && c == target) told = true;
  }
};

THTTPRIO* ProxyOf(const TIntfPtr<ZelkDistance>& ref) {
  return static_cast<THTTPRIO*>(IntfCast<IRIOAccess>(ref.Get())->GetRIO());
}

TEST(ZelkDistanceFactoryTest, DefaultsInUrlMode) {
  InitializeZelkDistance1();
  ScopedEnv env("ZELK_DISTANCE_URL", nullptr);
  TIntfPtr<ZelkDistance> ref = GetZelkDistance();
  THTTPRIO* rio = ProxyOf(ref);
  EXPECT_EQ(rio->URL(), "http://localhost:8080/ZelkSystem/services/ZelkDistanceVersion3");
  EXPECT_EQ(rio->WSDLLocation(), "");
  EXPECT_EQ(rio->HTTPWebNode()->Name(), "HTTPWebNode1");
  EXPECT_EQ(rio->HTTPWebNode()->SoapAction(), "");
  EXPECT_EQ(rio->RefCount(), 1);
}

TEST(ZelkDistanceFactoryTest, DefaultsInDescriptionMode) {
  InitializeZelkDistance1();
  ScopedEnv env("ZELK_DISTANCE_URL", "http://127.0.0.1:9/ZelkSystem/services/ZelkDistanceVersion3");
  TIntfPtr<ZelkDistance> ref = GetZelkDistance(true);
  THTTPRIO* rio = ProxyOf(ref);
  EXPECT_EQ(rio->URL(), "");
  EXPECT_EQ(rio->WSDLLocation(), "http://127.0.0.1:9/ZelkSystem/services/ZelkDistanceVersion3?wsdl");
  EXPECT_EQ(rio->Service(), "ZelkDistanceService");
  EXPECT_EQ(rio->Port(), "ZelkDistance");
  // Switching to URL mode clears the description's location, and back.
  rio->SetURL("http://127.0.0.1:9/x");
  EXPECT_EQ(rio->WSDLLocation(), "");
  rio->SetWSDLLocation("http://127.0.0.1:9/x?wsdl");
  EXPECT_EQ(rio->URL(), "");
}

TEST(ZelkDistanceFactoryTest, AddressIsUsedUnchangedAndReleaseDestroys) {
  InitializeZelkDistance1();
  TWatcher watcher;
  {
    TIntfPtr<ZelkDistance> ref = GetZelkDistance(false, "https://127.0.0.1:8443/svc");
    THTTPRIO* rio = ProxyOf(ref);
    EXPECT_EQ(rio->URL(), "https://127.0.0.1:8443/svc");
    watcher.target = rio;
    watcher.FreeNotification(rio);
  }
  EXPECT_TRUE(watcher.told);
}

TEST(ZelkDistanceFactoryTest, AConstructedProxyHoldsNoReference) {
  std::unique_ptr<THTTPRIO> rio(new THTTPRIO);
  EXPECT_EQ(rio->RefCount(), 0);
  std::unique_ptr<TRIO> plain(new TRIO);
  EXPECT_EQ(plain->RefCount(), 0);
}

TEST(ZelkDistanceFactoryTest, ExistingProxyIsConfiguredNotCreated) {
  InitializeZelkDistance1();
  TComponent owner;
  auto* rio = new THTTPRIO(&owner);
  {
    TIntfPtr<ZelkDistance> ref = GetZelkDistance(false, "http://127.0.0.1:1/a", rio);
    EXPECT_EQ(ProxyOf(ref), rio);
    EXPECT_EQ(rio->URL(), "http://127.0.0.1:1/a");
  }
  EXPECT_EQ(owner.Components().size(), 1u);  // the owner's proxy outlives the reference
}

TEST(ZelkDistanceFactoryTest, SchemeErrorRaisesAndReleasesTheProxy) {
  InitializeZelkDistance1();
  try {
    GetZelkDistance(false, "ftp://127.0.0.1/file");
    FAIL() << "no exception";
  } catch (const ESOAPHTTPException& e) {
    EXPECT_EQ(e.Message(), "Invalid url 'ftp://127.0.0.1/file' - only supports 'http' and 'https' schemes");
    EXPECT_EQ(e.StatusCode(), 0);
  }
}

TEST(ZelkDistanceFactoryDeathTest, UnregisteredInterfaceIsNotSupported) {
  // In a fresh process, where the binding never registered itself.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        try {
          GetZelkDistance();
        } catch (const EIntfCastError& e) {
          std::exit(e.Message() == "Interface not supported" ? 0 : 1);
        }
        std::exit(2);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
