// The device manager over test bindings: kit configuration, pairing at start-up and on
// hot-plug, events and their receivers, shared devices, load threads and shutdown order.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "devices/core/DeviceManager.h"
#include "devices/core/tests/LogCapture.h"
#include "devices/core/tests/TestDevices.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using devtest::TestLibrary;
using devtest::TestToken;
using namespace std::chrono_literals;

namespace {

const std::string kRoot = "SOFTWARE\\ORVA\\OrvaDesk";

struct Kit {
  std::string key;
  Json::Value values;
};

Kit MakeKit(const std::string& key, const std::string& sdkName, uint32_t kind,
            const std::string& p11, const std::string& skf) {
  Kit k{key, Json::Value(Json::objectValue)};
  k.values["SDKName"] = sdkName;
  k.values["Manufacturer"] = "Test Maker";
  k.values["DefaultSdkType"] = kind;
  k.values["CSPName"] = "Test CSP";
  if (!p11.empty()) k.values["P11Image"] = p11;
  if (!skf.empty()) k.values["SKFImage"] = skf;
  return k;
}

void WriteKits(const std::vector<Kit>& kits) {
  Json::Value root(Json::objectValue);
  root[kRoot]["LogEnabled"] = 1;
  for (const auto& k : kits) root[kRoot + "\\" + k.key] = k.values;
  ASSERT_TRUE(orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                                       Json::writeString(Json::StreamWriterBuilder(), root)));
}

std::string Label(const DevicePtr& d) {
  char buf[128] = {};
  uint32_t len = sizeof buf;
  if (!d || d->GetLabel(buf, &len) != ORVA_OK) return "<none>";
  return buf;
}

std::string ViewName(CDeviceFake* v) { return v ? v->GetName() : "-"; }

struct Event {
  uintptr_t arg;
  DEVICE_EVENT_INFO info;
};

class DeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibrary::RegisterFactories();
    devtest::ClearRecorded();
    devtest::CTestView::s_callsAfterDisconnect = 0;
    m_loop = std::make_shared<orva::platform::CMessageLoop>();
    m_queue = CDeviceEventQueue::Create(m_loop, [this](uintptr_t arg, const DEVICE_EVENT_INFO& e) {
      m_events.push_back({arg, e});
    });
  }
  void TearDown() override {
    CDeviceManager::ReleaseInstance();
    m_queue->Close();
    TestLibrary::ClearAll();
    std::remove(CSettingsStore::FilePath(SettingsScope::Machine).c_str());
    EXPECT_EQ(devtest::CTestView::s_callsAfterDisconnect.load(), 0);
  }

  // A manager with the queue registered, loaded and settled.
  CDeviceManager* Start() {
    CDeviceManager* m = CDeviceManager::GetInstance();
    m->AddEventHandler(m_queue, 7);
    EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
    EXPECT_TRUE(m->WaitForLoad(10000));
    m_loop->RunPending();
    return m;
  }

  std::vector<std::string> Labels(CDeviceManager* m) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < m->GetDeviceCount(); ++i) out.push_back(Label(m->GetDevice(i)));
    return out;
  }

  // Waits for the libraries' event threads and delivers what the manager posted.
  void Settle(std::initializer_list<std::shared_ptr<TestLibrary>> libs) {
    for (auto& l : libs) ASSERT_TRUE(l->WaitIdle());
    m_loop->RunPending();
  }

  std::shared_ptr<orva::platform::CMessageLoop> m_loop;
  std::shared_ptr<CDeviceEventQueue> m_queue;
  std::vector<Event> m_events;
};

}  // namespace

TEST_F(DeviceManagerTest, ForceZeroOnAFreshManagerLoadsNothing) {
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF, {{"K1", 0, "SN1", "L1"}});
  WriteKits({MakeKit("Kit", "Soft", SDK_SKF, "", "/test/skf.so")});
  devtest::LogCapture log;
  CDeviceManager* m = CDeviceManager::GetInstance();
  EXPECT_EQ(m->EnumDevices(kRoot, 0), ORVA_OK);
  EXPECT_TRUE(log.Contains("Device list is exist, return!"));
  EXPECT_TRUE(m->GetSdkNames().empty());
  EXPECT_EQ(lib->loads.load(), 0);
  EXPECT_EQ(m->GetDeviceCount(), 0u);
  devtest::LogCapture indexLog;
  EXPECT_EQ(m->GetDevice(0), nullptr);
  EXPECT_TRUE(indexLog.Contains("Device ulIndex is incorrect! Device count is:0x0"));
}

TEST_F(DeviceManagerTest, KitSettingsAreReadWithoutCuttingValues) {
  std::string name129(129, 'n'), name130(130, 'n');
  std::string path127 = "/test/" + std::string(121, 'p'), path128 = path127 + "q";
  auto noValue = [](Kit k, const char* v) {
    k.values.removeMember(v);
    return k;
  };
  auto setValue = [](Kit k, const char* v, Json::Value x) {
    k.values[v] = x;
    return k;
  };
  struct Row {
    const char* what;
    std::vector<Kit> kits;
    std::vector<std::string> sdks;
    std::vector<std::string> lines;
  } rows[] = {
      {"names differing only in case are one kit",
       {MakeKit("KitA", "SoftKit", SDK_SKF, "", "/test/a.so"),
        MakeKit("KitB", "SOFTKIT", SDK_PKCS11, "/test/b.so", "")},
       {"SoftKit"},
       {"SDK SoftKit has been added!", "SDK SOFTKIT is exist!"}},
      {"default kind 1 is skipped",
       {MakeKit("KitA", "One", 1, "", "/test/a.so"), MakeKit("KitB", "Two", SDK_SKF, "", "/test/a.so")},
       {"Two"},
       {"The default SDK type is wrong! dwDefaultType = 0x1"}},
      {"a kit without SDKName is skipped",
       {noValue(MakeKit("KitA", "X", SDK_SKF, "", "/test/a.so"), "SDKName")},
       {},
       {"RegQueryValueEx() with ORVA_REGKEY_SDKNAME failed! ulRes = 0x2"}},
      {"a kit without Manufacturer is skipped",
       {noValue(MakeKit("KitA", "X", SDK_SKF, "", "/test/a.so"), "Manufacturer")},
       {},
       {"RegQueryValueEx() with ORVA_REGKEY_MANUNAME failed!! ulRes = 0x2"}},
      {"a textual DefaultSdkType is unreadable",
       {setValue(MakeKit("KitA", "X", SDK_SKF, "", "/test/a.so"), "DefaultSdkType", "3")},
       {},
       {"RegQueryValueEx() with ORVA_REGKEY_DEFAULTTYPE failed!! ulRes = 0xd"}},
      {"a kit without CSPName is dropped",
       {noValue(MakeKit("KitA", "X", SDK_SKF, "", "/test/a.so"), "CSPName")},
       {},
       {"lpsCspName is NULL!"}},
      {"an SDKName of 129 characters fits",
       {MakeKit("KitA", name129, SDK_SKF, "", "/test/a.so")},
       {name129},
       {}},
      {"an SDKName of 130 characters is not read",
       {MakeKit("KitA", name130, SDK_SKF, "", "/test/a.so")},
       {},
       {"Value SDKName of SOFTWARE\\ORVA\\OrvaDesk\\KitA has 0x82 characters, more than its 0x81!",
        "RegQueryValueEx() with ORVA_REGKEY_SDKNAME failed! ulRes = 0xea"}},
      {"a library path of 128 characters is not read",
       {MakeKit("KitA", "Long", SDK_SKF, "", path128)},
       {"Long"},
       {"Value SKFImage of SOFTWARE\\ORVA\\OrvaDesk\\KitA has 0x80 characters, more than its 0x7f!",
        "Both m_pSkfProxy and m_pP11Proxy are NULL!"}},
      {"a library path of 127 characters is used",
       {MakeKit("KitA", "Long", SDK_SKF, "", path127)},
       {"Long"},
       {"m_pSkfProxy->Load() failed! ulRes = 0x7e"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteKits(row.kits);
    devtest::LogCapture log;
    CDeviceManager* m = CDeviceManager::GetInstance();
    EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
    EXPECT_TRUE(m->WaitForLoad(10000));
    EXPECT_EQ(m->GetSdkNames(), row.sdks);
    for (const auto& l : row.lines) EXPECT_TRUE(log.Contains(l)) << l << "\n" << log.Dump();
    CDeviceManager::ReleaseInstance();
  }

  // No kit at all, and no settings file.
  WriteKits({});
  devtest::LogCapture log;
  EXPECT_EQ(CDeviceManager::GetInstance()->EnumDevices(kRoot, 1), ORVA_E_CALL_FAILED);
  EXPECT_TRUE(log.Contains("RegQueryInfoKey() failed! cSubKeys = 0x0"));
  std::remove(CSettingsStore::FilePath(SettingsScope::Machine).c_str());
  EXPECT_EQ(CDeviceManager::GetInstance()->EnumDevices(kRoot, 1), 2u);
  EXPECT_TRUE(log.Contains("RegOpenKeyEx() failed! ulRes=0x2"));
}

TEST_F(DeviceManagerTest, ViewsOfOneTokenArePairedByTheSerialPrefix) {
  struct Expect {
    std::string label, p11, skf;
  };
  struct Row {
    const char* what;
    uint32_t kind;
    std::vector<TestToken> p11, skf;
    std::vector<Expect> devices;
  } rows[] = {
      {"P11 A1B2 with SKF A1B2C3, SKF default", SDK_SKF,
       {{"P", 1, "A1B2", "p11 label"}}, {{"S", 0, "A1B2C3", "skf label"}},
       {{"skf label", "P", "S"}}},
      {"P11 A1B2 with SKF A1B2C3, P11 default", SDK_PKCS11,
       {{"P", 1, "A1B2", "p11 label"}}, {{"S", 0, "A1B2C3", "skf label"}},
       {{"p11 label", "P", "S"}}},
      {"P11 A1B2C3 with SKF A1B2 do not pair; SKF default drops the lone P11 view", SDK_SKF,
       {{"P", 1, "A1B2C3", "p11 label"}}, {{"S", 0, "A1B2", "skf label"}},
       {{"skf label", "-", "S"}}},
      {"P11 A1B2C3 with SKF A1B2 do not pair; P11 default", SDK_PKCS11,
       {{"P", 1, "A1B2C3", "p11 label"}}, {{"S", 0, "A1B2", "skf label"}},
       {{"p11 label", "P", "-"}, {"skf label", "-", "S"}}},
      {"two SKF-only tokens after a paired one", SDK_SKF,
       {{"P", 1, "A1B2", "p"}}, {{"S", 0, "A1B2C3", "s"}, {"X", 0, "X1", "x"}, {"Y", 0, "Y1", "y"}},
       {{"s", "P", "S"}, {"x", "-", "X"}, {"y", "-", "Y"}}},
      {"an SKF view pairs with one PKCS#11 view only", SDK_PKCS11,
       {{"P1", 1, "A1B2", "p1"}, {"P2", 2, "A1", "p2"}}, {{"S", 0, "A1B2C3", "s"}},
       {{"p1", "P1", "S"}, {"p2", "P2", "-"}}},
      {"an empty serial never pairs", SDK_PKCS11,
       {{"P", 1, "", "p"}}, {{"S", 0, "Z9", "s"}},
       {{"p", "P", "-"}, {"s", "-", "S"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TestLibrary::Add("/test/p11.so", SDK_PKCS11, row.p11);
    TestLibrary::Add("/test/skf.so", SDK_SKF, row.skf);
    WriteKits({MakeKit("Kit", "Kit", row.kind, "/test/p11.so", "/test/skf.so")});
    CDeviceManager* m = Start();
    ASSERT_EQ(m->GetDeviceCount(), row.devices.size());
    for (uint32_t i = 0; i < row.devices.size(); ++i) {
      DevicePtr d = m->GetDevice(i);
      EXPECT_EQ(Label(d), row.devices[i].label) << i;
      EXPECT_EQ(ViewName(d->GetP11DevObj()), row.devices[i].p11) << i;
      EXPECT_EQ(ViewName(d->GetSkfDevObj()), row.devices[i].skf) << i;
    }
    CDeviceManager::ReleaseInstance();
  }
}

TEST_F(DeviceManagerTest, HotPlugPostsOneCopyPerReceiverInOrder) {
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF,
                              {{"K0", 0, "SN0", "L0"}, {"K1", 0, "SN1", "L1"}, {"K2", 0, "SN2", "L2"}});
  WriteKits({MakeKit("Kit", "Kit", SDK_SKF, "", "/test/skf.so")});
  std::vector<Event> second;
  auto queue2 = CDeviceEventQueue::Create(m_loop, [&](uintptr_t arg, const DEVICE_EVENT_INFO& e) {
    second.push_back({arg, e});
  });
  CDeviceManager* m = CDeviceManager::GetInstance();
  devtest::LogCapture regLog;
  m->AddEventHandler(queue2, 9);
  m->AddEventHandler(queue2, 9);
  EXPECT_TRUE(regLog.Contains("This window and arg are exist!"));
  m = Start();
  ASSERT_EQ(Labels(m), (std::vector<std::string>{"L0", "L1", "L2"}));
  ASSERT_EQ(m_events.size(), 1u);
  EXPECT_EQ(m_events[0].info.ulEventType, DEVICE_EVENT_LIST_REBUILT);

  // Removing index 0 of 3: type 2 with index 0; the others move down.
  lib->Unplug("K0");
  Settle({lib});
  ASSERT_EQ(m_events.size(), 2u);
  EXPECT_EQ(m_events[1].arg, 7u);
  EXPECT_EQ(m_events[1].info.ulEventType, DEVICE_EVENT_REMOVED);
  EXPECT_EQ(m_events[1].info.ulIndex, 0u);
  EXPECT_STREQ(m_events[1].info.szLabel, "L0");
  EXPECT_EQ(Labels(m), (std::vector<std::string>{"L1", "L2"}));

  // A token already listed (same library, same serial) is not inserted twice.
  devtest::LogCapture dupLog;
  lib->Plug({"K1", 0, "SN1", "L1"});
  Settle({lib});
  EXPECT_EQ(m_events.size(), 2u);
  EXPECT_TRUE(dupLog.Contains("Device SN1 is existed! return!"));
  EXPECT_EQ(m->GetDeviceCount(), 2u);

  // A new token is appended; its event carries its index and label.
  lib->Plug({"K9", 0, "SN9", std::string(127, 'z')});
  Settle({lib});
  ASSERT_EQ(m_events.size(), 3u);
  EXPECT_EQ(m_events[2].info.ulEventType, DEVICE_EVENT_INSERTED);
  EXPECT_EQ(m_events[2].info.ulIndex, 2u);
  EXPECT_EQ(std::string(m_events[2].info.szLabel), std::string(127, 'z'));

  // A token that does not connect is not reported; a removal of an unknown token posts nothing.
  lib->SetConnectable("K0", false);
  lib->Plug({"K0", 0, "SN0", "L0", true, false});
  lib->Unplug("nobody");
  Settle({lib});
  EXPECT_EQ(m_events.size(), 3u);

  // Every receiver saw the same events in the same order, each with its own argument.
  ASSERT_EQ(second.size(), m_events.size());
  for (size_t i = 0; i < second.size(); ++i) {
    EXPECT_EQ(second[i].arg, 9u);
    EXPECT_EQ(second[i].info.ulEventType, m_events[i].info.ulEventType);
    EXPECT_EQ(second[i].info.ulIndex, m_events[i].info.ulIndex);
  }

  // Removal keeps the other receivers; a second removal is refused.
  devtest::LogCapture rmLog;
  m->RemoveEventHandler(m_queue, 7);
  m->RemoveEventHandler(m_queue, 7);
  EXPECT_TRUE(rmLog.Contains("has been removed!"));
  EXPECT_TRUE(rmLog.Contains("This window and arg are not exist!"));
  queue2->Close();  // a closed receiver is skipped silently
  lib->Unplug("K1");
  Settle({lib});
  EXPECT_EQ(m_events.size(), 3u);
  EXPECT_EQ(second.size(), 3u);
  EXPECT_EQ(m->GetDeviceCount(), 2u);
}

TEST_F(DeviceManagerTest, ForcedEnumerationPostsARebuildEvenWithoutTokens) {
  TestLibrary::Add("/test/skf.so", SDK_SKF, {});
  WriteKits({MakeKit("Kit", "Kit", SDK_SKF, "", "/test/skf.so")});
  CDeviceManager* m = Start();
  EXPECT_TRUE(m_events.empty());  // the first load found nothing to announce
  EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  m_loop->RunPending();
  ASSERT_EQ(m_events.size(), 1u);
  EXPECT_EQ(m_events[0].info.ulEventType, DEVICE_EVENT_LIST_REBUILT);
  EXPECT_EQ(m_events[0].info.ulIndex, 0u);
  EXPECT_STREQ(m_events[0].info.szLabel, "");
}

TEST_F(DeviceManagerTest, ReplugPairsAsAtStartUp) {
  struct Row {
    const char* what;
    uint32_t kind;  // whose library reports the events
  } rows[] = {{"SKF events", SDK_SKF}, {"PKCS#11 events", SDK_PKCS11}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    m_events.clear();
    TestToken p{"P", 1, "A1B2", "p"}, s{"S", 0, "A1B2C3", "s"};
    auto p11 = TestLibrary::Add("/test/p11.so", SDK_PKCS11, {p});
    auto skf = TestLibrary::Add("/test/skf.so", SDK_SKF, {s});
    WriteKits({MakeKit("Kit", "Kit", row.kind, "/test/p11.so", "/test/skf.so")});
    CDeviceManager* m = Start();
    ASSERT_EQ(m->GetDeviceCount(), 1u);

    // The token leaves both libraries; it comes back to both, the watched one last.
    p11->Unplug("P");
    skf->Unplug("S");
    Settle({p11, skf});
    EXPECT_EQ(m->GetDeviceCount(), 0u);
    if (row.kind == SDK_SKF) {
      p11->Plug(p);
      skf->Plug(s);
    } else {
      skf->Plug(s);
      p11->Plug(p);
    }
    Settle({p11, skf});
    ASSERT_EQ(m->GetDeviceCount(), 1u);
    DevicePtr d = m->GetDevice(0);
    EXPECT_EQ(ViewName(d->GetP11DevObj()), "P");
    EXPECT_EQ(ViewName(d->GetSkfDevObj()), "S");
    ASSERT_FALSE(m_events.empty());
    EXPECT_EQ(m_events.back().info.ulEventType, DEVICE_EVENT_INSERTED);

    // A second token whose serial also matches the listed SKF view does not take it.
    TestToken other = row.kind == SDK_SKF ? TestToken{"S2", 0, "A1B2C3D4", "s2"}
                                          : TestToken{"P2", 2, "A1", "p2"};
    (row.kind == SDK_SKF ? skf : p11)->Plug(other);
    Settle({p11, skf});
    ASSERT_EQ(m->GetDeviceCount(), 2u);
    EXPECT_EQ(ViewName(m->GetDevice(0)->GetSkfDevObj()), "S");
    EXPECT_EQ(ViewName(m->GetDevice(0)->GetP11DevObj()), "P");
    DevicePtr d2 = m->GetDevice(1);
    if (row.kind == SDK_SKF) {
      EXPECT_EQ(ViewName(d2->GetSkfDevObj()), "S2");
      EXPECT_EQ(ViewName(d2->GetP11DevObj()), "-");  // P is the listed token's view
    } else {
      EXPECT_EQ(ViewName(d2->GetP11DevObj()), "P2");
      EXPECT_EQ(ViewName(d2->GetSkfDevObj()), "-");
    }
    CDeviceManager::ReleaseInstance();
  }
}

TEST_F(DeviceManagerTest, HoldersKeepDevicesAcrossRefreshAndRemoval) {
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF, {{"K0", 0, "SN0", "L0"}, {"K1", 0, "SN1", "L1"}});
  WriteKits({MakeKit("Kit", "Kit", SDK_SKF, "", "/test/skf.so")});
  CDeviceManager* m = Start();
  DevicePtr held = m->GetDevice(0);
  SessionPtr session;
  ASSERT_EQ(held->OpenSession(ALG_SM2, KEY_USAGE_SIGN, session), ORVA_OK);

  EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);  // rebuilds the list
  EXPECT_TRUE(held->IsStale());
  char sn[64];
  uint32_t len = sizeof sn;
  EXPECT_EQ(held->GetSN(sn, &len), ORVA_E_DEVICE_REMOVED);
  uint32_t left;
  EXPECT_EQ(session->Login(PIN_USER, "1234", &left), ORVA_E_DEVICE_REMOVED);
  DevicePtr fresh = m->GetDevice(0);
  ASSERT_NE(fresh, held);
  EXPECT_EQ(Label(fresh), "L0");

  // A removed token's device stays usable for its holder until the next rebuild.
  lib->Unplug("K0");
  Settle({lib});
  EXPECT_FALSE(fresh->IsStale());
  EXPECT_EQ(m->GetDeviceCount(), 1u);
  EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  EXPECT_TRUE(fresh->IsStale());
  session.reset();
  held.reset();
  fresh.reset();
}

TEST_F(DeviceManagerTest, LoadThreadsAreAwaitedAndEventThreadsEndBeforeDevicesGo) {
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF, {{"K0", 0, "SN0", "L0"}, {"K1", 0, "SN1", "L1"}});
  auto bad = TestLibrary::Add("/test/bad.so", SDK_SKF, {});
  bad->loadResult = ORVA_E_FAIL;
  lib->loadDelayMs = 300;
  WriteKits({MakeKit("KitA", "Kit", SDK_SKF, "", "/test/skf.so"),
             MakeKit("KitB", "Bad", SDK_SKF, "", "/test/bad.so")});
  CDeviceManager* m = CDeviceManager::GetInstance();
  m->AddEventHandler(m_queue, 7);
  devtest::LogCapture log;
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);  // starts the load threads
  // The second forced call waits for the first load and then rebuilds: the devices are
  // there when it returns, listed once, and the library was loaded once.
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  EXPECT_EQ(Labels(m), (std::vector<std::string>{"L0", "L1"}));
  EXPECT_EQ(lib->loads.load(), 1);
  EXPECT_TRUE(log.Contains("m_pSkfProxy->Load() failed! ulRes = 0x81000001"));
  EXPECT_TRUE(log.Contains("LoadSdkFiles() failed! dwRes = 0x81000006"));
  m_loop->RunPending();
  ASSERT_EQ(m_events.size(), 2u);  // one for the load, one for the rebuild
  EXPECT_EQ(m_events[1].info.ulEventType, DEVICE_EVENT_LIST_REBUILT);

  // Shutdown: the event threads end before any device is disconnected.
  devtest::ClearRecorded();
  CDeviceManager::ReleaseInstance();
  auto rec = devtest::Recorded();
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0], "stop:/test/skf.so");
  EXPECT_EQ(std::count(rec.begin(), rec.end(), "disconnect:K0"), 1);
  EXPECT_EQ(std::count(rec.begin(), rec.end(), "disconnect:K1"), 1);

  // Shutdown while a kit is still loading waits for the load, which lists nothing more.
  devtest::ClearRecorded();
  m = CDeviceManager::GetInstance();
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  CDeviceManager::ReleaseInstance();
  EXPECT_EQ(lib->loads.load(), 2);
  EXPECT_EQ(devtest::Recorded(), std::vector<std::string>{"stop:/test/skf.so"});
}

TEST_F(DeviceManagerTest, TheEventPathRefusesWhatItCannotPlace) {
  auto lib = TestLibrary::Add("/test/skf.so", SDK_SKF, {{"K0", 0, "SN0", "L0"}});
  auto proxy = std::make_shared<devtest::CTestProxy>(SDK_SKF, "Test CSP");
  ORVA_PROXY_START_ARGS args;
  ASSERT_EQ(proxy->Load("/test/skf.so", "", &args), ORVA_OK);
  auto view = std::make_shared<devtest::CTestView>(proxy, SDK_SKF, TestToken{"K0", 0, "SN0", "L0"});
  auto oddView = std::make_shared<devtest::CTestView>(proxy, 5, TestToken{"K0", 0, "SN0", "L0"});
  CDeviceSDK sdk("Kit", "Maker");
  ASSERT_EQ(sdk.SetSdkFiles("Test CSP", "", "/test/skf.so", "", SDK_SKF), ORVA_OK);

  devtest::LogCapture log;
  EXPECT_EQ(NotifyDeviceEvent(view, DEVICE_EVENT_INSERTED, nullptr), ORVA_E_CALL_FAILED);
  EXPECT_TRUE(log.Contains("[ERROR]pDeviceSdk is NULL!"));
  EXPECT_EQ(NotifyDeviceEvent(nullptr, DEVICE_EVENT_INSERTED, &sdk), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("[ERROR]pEventFakeDev is NULL!"));
  EXPECT_EQ(NotifyDeviceEvent(oddView, DEVICE_EVENT_INSERTED, &sdk), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("[ERROR]Event device type is wrong! ulDevType=0x5"));
  // Without a manager the finished device has nowhere to go.
  ASSERT_EQ(view->Connect(), ORVA_OK);
  EXPECT_EQ(NotifyDeviceEvent(view, DEVICE_EVENT_INSERTED, &sdk), ORVA_E_CALL_FAILED);
  EXPECT_TRUE(log.Contains("[ERROR]s_pDeviceManager is NULL!"));
  EXPECT_FALSE(view->Connected());
  EXPECT_EQ(CDeviceManager::GetInstance()->OnNotifyDeviceEvent(&sdk, nullptr, 1), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("[ERROR]pEventDev is NULL!"));

  // The kit's own argument checks.
  CDeviceSDK bad("Bad", "Maker");
  EXPECT_EQ(bad.SetSdkFiles("", "", "/test/skf.so", "", SDK_SKF), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("[ERROR]lpsCspName is NULL!"));
  EXPECT_EQ(bad.SetSdkFiles("CSP", "", "/test/skf.so", "", 1), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("[ERROR]ulDefaultType is wrong! ulDefaultType = 0x1"));
  proxy->Unload();
}

namespace {

std::set<std::string> StoreSerials() {
  CCertificateStore store;
  std::set<std::string> out;
  if (store.Open(ORVA_CERT_STORE_READWRITE, "My") != ORVA_OK) return out;
  std::vector<std::unique_ptr<CX509Certificate>> certs;
  store.EnumCertificates(certs);
  for (auto& c : certs) {
    std::string sn;
    c->get_SN(sn);
    out.insert(sn);
  }
  return out;
}

std::string PkiSerial(const std::string& name) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
  CX509Certificate cert;
  std::string sn;
  if (cert.FromBuffer(der.data(), static_cast<uint32_t>(der.size())) == ORVA_OK) cert.get_SN(sn);
  return sn;
}

}  // namespace

TEST_F(DeviceManagerTest, TokenCertificatesFollowTheTokenInTheUserStore) {
  const std::string sign = PkiSerial("sm2-sign"), exch = PkiSerial("sm2-exch"),
                    rsa = PkiSerial("rsa-sign");
  ASSERT_FALSE(sign.empty());
  auto lib = TestLibrary::Add(
      "/test/skf.so", SDK_SKF,
      {{"K0", 0, "SN0", "L0", true, true, {"sm2-sign", "sm2-exch", "sm2-sign"}},
       {"K1", 0, "SN1", "L1", true, true, {"rsa-sign"}}});
  WriteKits({MakeKit("Kit", "Kit", SDK_SKF, "", "/test/skf.so")});
  ASSERT_TRUE(StoreSerials().empty());
  CDeviceManager* m = Start();
  EXPECT_EQ(StoreSerials(), (std::set<std::string>{sign, exch, rsa}));

  // The stored copy carries the token's provider and container.
  CCertificateStore store;
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_READWRITE, "My"), ORVA_OK);
  auto stored = store.FindCertificateBySN(exch.c_str());
  ASSERT_NE(stored, nullptr);
  std::string container;
  EXPECT_EQ(stored->get_Container(container), ORVA_OK);
  EXPECT_EQ(container, "CON-sm2-exch");
  store.Close();

  // One entry per serial number; a holder keeps its certificate across a rebuilt list.
  DevicePtr d0 = m->GetDevice(0);
  uint32_t n = 0;
  ASSERT_EQ(d0->GetCertCount(&n, false), ORVA_OK);
  EXPECT_EQ(n, 2u);
  CertObjPtr held, rebuilt;
  ASSERT_EQ(d0->GetCertObj(0, held), ORVA_OK);
  ASSERT_EQ(d0->GetCertCount(&n, true), ORVA_OK);
  ASSERT_EQ(d0->GetCertObj(0, rebuilt), ORVA_OK);
  EXPECT_NE(held, rebuilt);
  std::string sn;
  EXPECT_EQ(held->get_SN(sn), ORVA_OK);
  EXPECT_EQ(sn, sign);
  devtest::LogCapture log;
  EXPECT_EQ(d0->GetCertObj(2, rebuilt), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(log.Contains("ulIndex is wrong! ulIndex=0x2"));

  // Pulled out: its certificates leave the store; a rebuild keeps the present ones.
  lib->Unplug("K0");
  Settle({lib});
  EXPECT_EQ(StoreSerials(), (std::set<std::string>{rsa}));
  lib->Plug({"K0", 0, "SN0", "L0", true, true, {"sm2-sign"}});
  Settle({lib});
  EXPECT_EQ(StoreSerials(), (std::set<std::string>{sign, rsa}));
  ASSERT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
  EXPECT_EQ(StoreSerials(), (std::set<std::string>{sign, rsa}));

  // Shutdown releases every device, and with them their certificates.
  d0.reset();
  CDeviceManager::ReleaseInstance();
  EXPECT_TRUE(StoreSerials().empty());
}
