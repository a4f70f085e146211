// A few seconds of hot-plug events, forced refreshes, receiver churn and device use at the
// same time. Run under scripts/test-sanitize address and thread as well.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "devices/core/DeviceManager.h"
#include "devices/core/tests/TestDevices.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"

using devtest::TestLibrary;
using devtest::TestToken;
using namespace std::chrono_literals;

namespace {

const std::string kRoot = "SOFTWARE\\ORVA\\OrvaDesk";

void WriteKit(Json::Value& root, const std::string& key, uint32_t kind, const std::string& p11,
              const std::string& skf) {
  Json::Value& k = root[kRoot + "\\" + key];
  k["SDKName"] = key;
  k["Manufacturer"] = "Test Maker";
  k["DefaultSdkType"] = kind;
  k["CSPName"] = "Test CSP";
  k["P11Image"] = p11;
  k["SKFImage"] = skf;
}

size_t StoreCount() {
  CCertificateStore store;
  std::vector<std::unique_ptr<CX509Certificate>> certs;
  if (store.Open(ORVA_CERT_STORE_READWRITE, "My") == ORVA_OK) store.EnumCertificates(certs);
  return certs.size();
}

struct Seen {
  uint32_t type, index;
};

}  // namespace

TEST(DeviceStress, EventsRefreshesAndUseAtOnce) {
  TestLibrary::RegisterFactories();
  devtest::CTestView::s_callsAfterDisconnect = 0;
  // Kit A watches its SKF library, kit B its PKCS#11 library; every token has both views.
  std::vector<TestToken> aP11, aSkf, bP11, bSkf;
  for (int i = 0; i < 4; ++i) {
    std::string n = std::to_string(i);
    // Certificates come from the default view: SKF for kit A, PKCS#11 for kit B.
    std::vector<std::string> aCerts, bCerts;
    if (i == 0) aCerts = {"sm2-sign", "sm2-exch"};
    if (i == 1) bCerts = {"rsa-sign"};
    aP11.push_back({"AP" + n, uint32_t(i + 1), "A" + n, "a" + n});
    aSkf.push_back({"AS" + n, 0, "A" + n + "X", "a" + n, true, true, aCerts});
    bP11.push_back({"BP" + n, uint32_t(i + 1), "B" + n, "b" + n, true, true, bCerts});
    bSkf.push_back({"BS" + n, 0, "B" + n + "Y", "b" + n});
  }
  auto libAP = TestLibrary::Add("/test/a-p11.so", SDK_PKCS11, aP11);
  auto libAS = TestLibrary::Add("/test/a-skf.so", SDK_SKF, aSkf);
  auto libBP = TestLibrary::Add("/test/b-p11.so", SDK_PKCS11, bP11);
  auto libBS = TestLibrary::Add("/test/b-skf.so", SDK_SKF, bSkf);
  Json::Value root(Json::objectValue);
  WriteKit(root, "KitA", SDK_SKF, "/test/a-p11.so", "/test/a-skf.so");
  WriteKit(root, "KitB", SDK_PKCS11, "/test/b-p11.so", "/test/b-skf.so");
  ASSERT_TRUE(orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                                       Json::writeString(Json::StreamWriterBuilder(), root)));

  // Two receivers on two loops, each drained by its own thread.
  auto loop1 = std::make_shared<orva::platform::CMessageLoop>();
  auto loop2 = std::make_shared<orva::platform::CMessageLoop>();
  std::vector<Seen> seen1, seen2;
  auto q1 = CDeviceEventQueue::Create(loop1, [&](uintptr_t, const DEVICE_EVENT_INFO& e) {
    seen1.push_back({e.ulEventType, e.ulIndex});
  });
  auto q2 = CDeviceEventQueue::Create(loop2, [&](uintptr_t, const DEVICE_EVENT_INFO& e) {
    seen2.push_back({e.ulEventType, e.ulIndex});
  });
  std::thread drain1([&] { loop1->Run(); });
  std::thread drain2([&] { loop2->Run(); });

  CDeviceManager* m = CDeviceManager::GetInstance();
  m->AddEventHandler(q1, 1);
  m->AddEventHandler(q2, 2);
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  ASSERT_TRUE(m->WaitForLoad(10000));
  ASSERT_EQ(m->GetDeviceCount(), 8u);

  std::atomic<bool> stop{false};
  std::mutex unexpectedLock;
  std::set<uint32_t> unexpected;
  std::atomic<long> sequences{0}, refreshes{0}, plugs{0};
  auto check = [&](uint32_t r) {
    if (r != ORVA_OK && r != ORVA_E_DEVICE_REMOVED && r != ORVA_E_TIMEOUT) {
      std::lock_guard<std::mutex> g(unexpectedLock);
      unexpected.insert(r);
    }
  };

  std::vector<std::thread> threads;
  // Hot-plug: a token leaves and comes back through both of its libraries.
  threads.emplace_back([&] {
    std::mt19937 rng(1);
    while (!stop) {
      int i = rng() % 4;
      std::string n = std::to_string(i);
      if (rng() % 2) {
        libAP->Unplug("AP" + n);
        libAS->Unplug("AS" + n);
        libAP->Plug(aP11[i]);
        libAS->Plug(aSkf[i]);
      } else {
        libBS->Unplug("BS" + n);
        libBP->Unplug("BP" + n);
        libBS->Plug(bSkf[i]);
        libBP->Plug(bP11[i]);
      }
      ++plugs;
      std::this_thread::sleep_for(2ms);
    }
  });
  // Forced refreshes.
  threads.emplace_back([&] {
    while (!stop) {
      check(m->EnumDevices(kRoot, 1));
      ++refreshes;
      std::this_thread::sleep_for(15ms);
    }
  });
  // Receivers coming and going.
  threads.emplace_back([&] {
    auto loop3 = std::make_shared<orva::platform::CMessageLoop>();
    while (!stop) {
      auto q3 = CDeviceEventQueue::Create(loop3, [](uintptr_t, const DEVICE_EVENT_INFO&) {});
      m->AddEventHandler(q3, 3);
      std::this_thread::sleep_for(1ms);
      loop3->RunPending();
      m->RemoveEventHandler(q3, 3);
      q3->Close();
    }
    loop3->RunPending();
  });
  // Users: enumeration, certificate reads and locked sequences on whatever device is there.
  for (int u = 0; u < 3; ++u) {
    threads.emplace_back([&, u] {
      std::mt19937 rng(100 + u);
      while (!stop) {
        uint32_t n = m->GetDeviceCount();
        DevicePtr d = m->GetDevice(n ? rng() % n : 0);
        if (!d) continue;
        char buf[128];
        uint32_t len = sizeof buf;
        check(d->GetLabel(buf, &len));
        uint32_t count = 0;
        check(d->GetCertCount(&count, rng() % 2 == 0));
        CertObjPtr cert;
        if (count > 0 && d->GetCertObj(0, cert) == ORVA_OK) {
          std::string sn;
          check(cert->get_SN(sn));
        }
        CDeviceLock lock(d, 50);
        if (!lock) {
          check(lock.Result());
          continue;
        }
        uint32_t left = 0;
        check(d->VerifyPIN(PIN_USER, "1234", &left));
        uint32_t alg = d->GetSkfDevObj() ? ALG_SM2 : ALG_RSA;
        SessionPtr s;
        uint32_t r = d->OpenSession(alg, KEY_USAGE_SIGN, s);
        check(r);
        if (r == ORVA_OK && s) {
          check(s->Login(PIN_USER, "1234", &left));
          CryptoMsgPtr msg;
          r = s->CreateMsgHandler(MSG_HASH | SIGN_TYPE_RAW, 0, nullptr, msg);
          check(r);
          if (r == ORVA_OK && msg) {
            uint8_t data[16] = {};
            check(msg->Update(data, sizeof data, true));
            uint8_t out[8];
            uint32_t outLen = sizeof out;
            check(msg->Final(nullptr, 0, out, &outLen));
          }
          check(d->CloseSession(alg, s.get()));
        }
        d->ResetLogin();
        ++sequences;
      }
    });
  }

  std::this_thread::sleep_for(3s);
  stop = true;
  for (auto& t : threads) t.join();
  for (auto& lib : {libAP, libAS, libBP, libBS}) EXPECT_TRUE(lib->WaitIdle());
  // One last refresh settles the list on the tokens present now.
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  EXPECT_EQ(m->GetDeviceCount(), 8u);
  EXPECT_EQ(StoreCount(), 3u);  // the certificates of the tokens present, once each
  CDeviceManager::ReleaseInstance();
  EXPECT_EQ(StoreCount(), 0u);
  loop1->Post([&] { loop1->Quit(); });
  loop2->Post([&] { loop2->Quit(); });
  drain1.join();
  drain2.join();

  EXPECT_TRUE(unexpected.empty()) << "unexpected result 0x" << std::hex << *unexpected.begin();
  EXPECT_EQ(devtest::CTestView::s_callsAfterDisconnect.load(), 0);
  EXPECT_GT(sequences.load(), 0);
  EXPECT_GT(refreshes.load(), 0);
  EXPECT_GT(plugs.load(), 0);
  // Both receivers saw the same events in the same order.
  ASSERT_EQ(seen1.size(), seen2.size());
  for (size_t i = 0; i < seen1.size(); ++i) {
    ASSERT_EQ(seen1[i].type, seen2[i].type) << i;
    ASSERT_EQ(seen1[i].index, seen2[i].index) << i;
    EXPECT_TRUE(seen1[i].type >= 1 && seen1[i].type <= 3);
  }
  EXPECT_EQ(seen1.back().type, DEVICE_EVENT_LIST_REBUILT);
  q1->Close();
  q2->Close();
  TestLibrary::ClearAll();
  std::printf("sequences %ld, refreshes %ld, replugs %ld, events %zu\n", sequences.load(),
              refreshes.load(), plugs.load(), seen1.size());
}
