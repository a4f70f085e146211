// The SKF back end against the software token, loaded the way the program loads it: a kit
// in the machine-wide settings, the device manager, the binding and its event thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "certificates/X509Certificate.h"
#include "devices/core/DeviceManager.h"
#include "devices/core/tests/LogCapture.h"
#include "devices/skf/GMDevice.h"
#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/HaiTaiKeyApi.h"
#include "devices/skf/tests/SoftSkfKit.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using namespace skftest;
using namespace std::chrono_literals;

namespace {

const std::string kRoot = kOrvaSettingsKey;

// The usual token: one application with one SM2 container holding the test PKI's sign and
// exchange pairs, user PIN demo1234 and administrator PIN admin1234, three tries each.
Json::Value UserToken(const std::string& name = "SoftKey01", const std::string& label = "OrvaDesk Test") {
  return Device(name, label, "SOFT-0001",
                {App("ORVA_APP", {Container("ORVA_ECC_CON", "sm2-sign", "sm2-sign", "sm2-exch", "sm2-exch")})});
}

// Polls a condition that no posted task signals (bounded).
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::string Text(const std::function<uint32_t(char*, uint32_t*)>& read, uint32_t len = 128) {
  std::vector<char> buf(len + 1, '\0');
  uint32_t l = len;
  if (read(buf.data(), &l) != ORVA_OK) return "<error>";
  return std::string(buf.data(), strnlen(buf.data(), len));
}

class GMTokenTest : public ::testing::Test {
 protected:
  // The token keeps its state in memory here: a state file or control socket named in the
  // caller's environment (a demo run's) is never touched.
  static void SetUpTestSuite() {
    unsetenv("SOFTSKF_STATE");
    unsetenv("SOFTSKF_CONTROL");
  }

  void SetUp() override {
    OrvaRegisterSkfBinding();
    m_loop = std::make_shared<orva::platform::CMessageLoop>();
    m_queue = CDeviceEventQueue::Create(m_loop, [this](uintptr_t, const DEVICE_EVENT_INFO& e) {
      m_events.push_back(e);
    });
    m_lib = std::make_unique<SoftSkfLib>("libsoftskf.so");
    ASSERT_EQ(m_lib->Reset(State({UserToken()})), SAR_OK);
  }

  void TearDown() override {
    CDeviceManager::ReleaseInstance();
    m_queue->Close();
    std::remove(CSettingsStore::FilePath(SettingsScope::Machine).c_str());
    EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);
  }

  CDeviceManager* Start(const std::string& lib = "", const std::string& csp = "Soft CSP",
                        const std::string& aux = "") {
    WriteKit(lib.empty() ? m_lib->Path() : lib, csp, aux);
    CDeviceManager* m = CDeviceManager::GetInstance();
    m->AddEventHandler(m_queue, 1);
    EXPECT_EQ(m->EnumDevices(kRoot, 1), ORVA_OK);
    EXPECT_TRUE(m->WaitForLoad(10000));
    m_loop->RunPending();
    m_events.clear();
    return m;
  }

  DevicePtr First() {
    DevicePtr d = CDeviceManager::GetInstance()->GetDevice(0);
    EXPECT_TRUE(d);
    return d;
  }

  // Waits until `n` events arrived (bounded).
  bool WaitEvents(size_t n) {
    return m_loop->RunUntil([&] { return m_events.size() >= n; }, 10s);
  }

  static CGMDevice* View(const DevicePtr& d) { return dynamic_cast<CGMDevice*>(d->GetSkfDevObj()); }

  std::shared_ptr<orva::platform::CMessageLoop> m_loop;
  std::shared_ptr<CDeviceEventQueue> m_queue;
  std::vector<DEVICE_EVENT_INFO> m_events;
  std::unique_ptr<SoftSkfLib> m_lib;
};

}  // namespace

TEST_F(GMTokenTest, EnumerationListsThePresentTokensOfTheKit) {
  ASSERT_EQ(m_lib->Reset(State({UserToken(), Device("SoftKey02", "Absent", "SOFT-0002", {}, false),
                                Device("SoftKey03", "Blank", "SOFT-0003", {})})),
            SAR_OK);
  CDeviceManager* m = Start();
  ASSERT_EQ(m->GetDeviceCount(), 2u);
  DevicePtr user = m->GetDevice(0), blank = m->GetDevice(1);
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return user->GetLabel(b, l); }), "OrvaDesk Test");
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return user->GetSN(b, l); }), "SOFT-0001");
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return user->GetManufacturer(b, l); }), "OrvaDesk Soft Token");
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return blank->GetLabel(b, l); }), "Blank");
  EXPECT_EQ(user->GetDefaultDevType(), SDK_SKF);

  uint32_t status = 99;
  EXPECT_EQ(user->GetDevStatus(&status), ORVA_OK);
  EXPECT_EQ(status, DEV_STATUS_USER);
  EXPECT_EQ(blank->GetDevStatus(&status), ORVA_OK);
  EXPECT_EQ(status, DEV_STATUS_BLANK);

  uint32_t count = 0;
  ASSERT_EQ(user->GetCertCount(&count, true), ORVA_OK);
  ASSERT_EQ(count, 2u);
  CertObjPtr sign, exch;
  ASSERT_EQ(user->GetCertObj(0, sign), ORVA_OK);
  ASSERT_EQ(user->GetCertObj(1, exch), ORVA_OK);
  std::string sn, container;
  sign->get_SN(sn);
  EXPECT_EQ(sn, "1001");
  exch->get_SN(sn);
  EXPECT_EQ(sn, "1002");
  sign->get_Container(container);
  EXPECT_EQ(container, "ORVA_ECC_CON");
  EXPECT_EQ(sign->get_Provider(), "Soft CSP");
}

TEST_F(GMTokenTest, PlugAndUnplugReachTheReceivers) {
  ASSERT_EQ(m_lib->Reset(State({UserToken(), Device("SoftKey02", "Second", "SOFT-0002", {}, false)})), SAR_OK);
  CDeviceManager* m = Start();
  ASSERT_EQ(m->GetDeviceCount(), 1u);

  ASSERT_EQ(m_lib->Plug("SoftKey02"), SAR_OK);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(m_events[0].ulEventType, DEVICE_EVENT_INSERTED);
  EXPECT_EQ(m_events[0].ulIndex, 1u);
  EXPECT_STREQ(m_events[0].szLabel, "Second");

  ASSERT_EQ(m_lib->Unplug("SoftKey01"), SAR_OK);
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(m_events[1].ulEventType, DEVICE_EVENT_REMOVED);
  EXPECT_EQ(m_events[1].ulIndex, 0u);
  EXPECT_STREQ(m_events[1].szLabel, "OrvaDesk Test");
  EXPECT_EQ(m->GetDeviceCount(), 1u);

  // One library event that names two tokens gives two events, in the order of the names.
  ASSERT_EQ(m_lib->Plug("NewA,NewB"), SAR_OK);
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(m_events[2].ulEventType, DEVICE_EVENT_INSERTED);
  EXPECT_STREQ(m_events[2].szLabel, "NewA");
  EXPECT_EQ(m_events[2].ulIndex, 1u);
  EXPECT_EQ(m_events[3].ulEventType, DEVICE_EVENT_INSERTED);
  EXPECT_STREQ(m_events[3].szLabel, "NewB");
  EXPECT_EQ(m_events[3].ulIndex, 2u);

  // Event types other than insertion and removal are ignored.
  devtest::LogCapture log;
  ASSERT_EQ(m_lib->PostEvent("SoftKey02", 3), SAR_OK);
  ASSERT_EQ(m_lib->Unplug("NewA,NewB"), SAR_OK);
  ASSERT_TRUE(WaitEvents(6));
  EXPECT_TRUE(log.Contains("Event type 0x3 is ignored!")) << log.Dump();
  EXPECT_EQ(m_events[4].ulEventType, DEVICE_EVENT_REMOVED);
  EXPECT_STREQ(m_events[4].szLabel, "NewA");
  EXPECT_EQ(m_events[4].ulIndex, 1u);
  EXPECT_EQ(m_events[5].ulEventType, DEVICE_EVENT_REMOVED);
  EXPECT_STREQ(m_events[5].szLabel, "NewB");
  EXPECT_EQ(m_events[5].ulIndex, 1u);
  m_loop->RunFor(100ms);
  EXPECT_EQ(m_events.size(), 6u);
  EXPECT_EQ(m->GetDeviceCount(), 1u);
}

TEST_F(GMTokenTest, AnInsertedTokenThatCannotBeConnectedPostsNothing) {
  CDeviceManager* m = Start();
  devtest::LogCapture log;
  m_lib->FailNext("SKF_ConnectDev", SAR_FAIL);
  ASSERT_EQ(m_lib->Plug("Flaky"), SAR_OK);
  ASSERT_TRUE(WaitFor([&] { return log.Contains("pEventDev->Connect() failed! ulRes = 0x81000006"); }))
      << log.Dump();
  ASSERT_EQ(m_lib->Plug("Steady"), SAR_OK);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_STREQ(m_events[0].szLabel, "Steady");
  EXPECT_EQ(m->GetDeviceCount(), 2u);
}

TEST_F(GMTokenTest, HandlesOfAPulledTokenAnswerDeviceRemoved) {
  Start();
  DevicePtr d = First();
  uint32_t left = 0;
  ASSERT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  ASSERT_EQ(m_lib->Unplug("SoftKey01"), SAR_OK);
  ASSERT_TRUE(WaitEvents(1));
  uint8_t random[8];
  EXPECT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(d->GenRandom(random, sizeof random), ORVA_E_DEVICE_REMOVED);
  // Plugged back in, the token is a new device; the old handles stay dead.
  ASSERT_EQ(m_lib->Plug("SoftKey01"), SAR_OK);
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(m_events[1].ulEventType, DEVICE_EVENT_INSERTED);
  EXPECT_EQ(d->GenRandom(random, sizeof random), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(First()->GenRandom(random, sizeof random), ORVA_OK);
}

TEST_F(GMTokenTest, PinsVerifyChangeLockAndUnblock) {
  Start();
  DevicePtr d = First();
  uint32_t left = 77;
  auto verify = [&](const char* pin) { return d->VerifyPIN(PIN_USER, pin, &left); };
  struct Step {
    const char* what;
    std::function<uint32_t()> op;
    uint32_t res;
    int left;  // -1: not checked
  } steps[] = {
      {"right PIN", [&] { return verify("demo1234"); }, ORVA_OK, 0},
      {"wrong PIN", [&] { return verify("wrong123"); }, ORVA_E_PIN_INCORRECT, 2},
      {"right PIN resets the count", [&] { return verify("demo1234"); }, ORVA_OK, 0},
      {"wrong 1", [&] { return verify("wrong123"); }, ORVA_E_PIN_INCORRECT, 2},
      {"wrong 2", [&] { return verify("wrong123"); }, ORVA_E_PIN_INCORRECT, 1},
      {"wrong 3 locks", [&] { return verify("wrong123"); }, ORVA_E_PIN_LOCKED, 0},
      {"right PIN while locked", [&] { return verify("demo1234"); }, ORVA_E_PIN_LOCKED, 0},
      {"change while locked", [&] { return d->ChangePIN(PIN_USER, "demo1234", "other123", &left); },
       ORVA_E_PIN_LOCKED, 0},
      {"unblock with a wrong admin PIN", [&] { return d->UnLockPIN("wrongadm", "fresh123", &left); },
       ORVA_E_PIN_INCORRECT, 2},
      {"unblock", [&] { return d->UnLockPIN("admin1234", "fresh123", &left); }, ORVA_OK, -1},
      {"the old PIN is gone", [&] { return verify("demo1234"); }, ORVA_E_PIN_INCORRECT, 2},
      {"the new PIN works", [&] { return verify("fresh123"); }, ORVA_OK, 0},
      {"change with a wrong old PIN", [&] { return d->ChangePIN(PIN_USER, "demo1234", "other123", &left); },
       ORVA_E_PIN_INCORRECT, 2},
      {"change to a PIN the token refuses", [&] { return d->ChangePIN(PIN_USER, "fresh123", "12", &left); },
       ORVA_E_PIN_LEN, -1},
      {"change", [&] { return d->ChangePIN(PIN_USER, "fresh123", "other123", &left); }, ORVA_OK, -1},
      {"the changed PIN works", [&] { return verify("other123"); }, ORVA_OK, 0},
      {"the administrator PIN", [&] { return d->VerifyPIN(PIN_ADMIN, "admin1234", &left); }, ORVA_OK, 0},
      {"an unknown PIN type", [&] { return d->VerifyPIN(5, "admin1234", &left); }, ORVA_E_USER_TYPE, -1},
      {"an empty PIN", [&] { return verify(""); }, ORVA_E_INVALID_PARAM, -1},
      {"no retry output", [&] { return d->VerifyPIN(PIN_USER, "other123", nullptr); }, ORVA_E_INVALID_PARAM, -1},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    left = 77;
    EXPECT_EQ(s.op(), s.res);
    if (s.left >= 0) {
      EXPECT_EQ(left, static_cast<uint32_t>(s.left));
    }
  }
  bool isDefault = true;
  EXPECT_EQ(d->IsDefaultPIN(&isDefault), ORVA_OK);
  EXPECT_FALSE(isDefault);
}

TEST_F(GMTokenTest, TheDefaultPinFlagComesFromTheToken) {
  Json::Value token = UserToken();
  token["applications"][0]["userPin"]["default"] = true;
  ASSERT_EQ(m_lib->Reset(State({token})), SAR_OK);
  Start();
  DevicePtr d = First();
  bool isDefault = false;
  EXPECT_EQ(d->IsDefaultPIN(&isDefault), ORVA_OK);
  EXPECT_TRUE(isDefault);
  uint32_t left = 0;
  ASSERT_EQ(d->ChangePIN(PIN_USER, "demo1234", "mine1234", &left), ORVA_OK);
  EXPECT_EQ(d->IsDefaultPIN(&isDefault), ORVA_OK);
  EXPECT_FALSE(isDefault);
}

TEST_F(GMTokenTest, InitialisationChecksItsArgumentsAndFormatsTheToken) {
  Start();
  DevicePtr d = First();
  const std::string key = "1234567812345678";
  std::string app48(48, 'a'), label32(32, 'l');
  struct Row {
    const char* what;
    std::string app, auth, admin, user;
    uint32_t retries;
    std::string label;
  } refused[] = {
      {"application name of 49", std::string(49, 'a'), key, "admin1234", "user1234", 5, "L"},
      {"empty application name", "", key, "admin1234", "user1234", 5, "L"},
      {"authentication key of 17", "APP", key + "9", "admin1234", "user1234", 5, "L"},
      {"empty administrator PIN", "APP", key, "", "user1234", 5, "L"},
      {"administrator PIN of 17", "APP", key, std::string(17, '1'), "user1234", 5, "L"},
      {"empty user PIN", "APP", key, "admin1234", "", 5, "L"},
      {"label of 33", "APP", key, "admin1234", "user1234", 5, std::string(33, 'l')},
      {"retry count 0", "APP", key, "admin1234", "user1234", 0, "L"},
      {"retry count 17", "APP", key, "admin1234", "user1234", 17, "L"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(d->Initiliaze(r.app.c_str(), r.auth.c_str(), r.admin.c_str(), r.user.c_str(), r.retries,
                            r.label.c_str()),
              ORVA_E_INVALID_PARAM);
  }
  EXPECT_EQ(m_lib->CallCount("SKF_DevAuth"), 0u);
  EXPECT_EQ(m_lib->CallCount("SKF_DeleteApplication"), 0u);

  // A wrong authentication key is refused by the token before anything is deleted.
  EXPECT_EQ(d->Initiliaze("NEWAPP", "8765432187654321", "admin1234", "user1234", 5, "New"), ORVA_E_CALL_FAILED);
  EXPECT_EQ(m_lib->CallCount("SKF_DeleteApplication"), 0u);

  // The longest values and 16 tries pass; the old application and its keys are gone, also
  // after the failed attempt above closed it.
  ASSERT_EQ(d->Initiliaze(app48.c_str(), key.c_str(), "admin9876", "user9876", 16, label32.c_str()), ORVA_OK);
  EXPECT_EQ(m_lib->CallCount("SKF_DeleteApplication"), 1u);
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return d->GetLabel(b, l); }), label32);
  uint32_t status = 0, count = 9, left = 0;
  EXPECT_EQ(d->GetDevStatus(&status), ORVA_OK);
  EXPECT_EQ(status, DEV_STATUS_INITIALIZED);
  EXPECT_EQ(d->GetCertCount(&count, true), ORVA_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_E_PIN_INCORRECT);
  EXPECT_EQ(left, 15u);
  EXPECT_EQ(d->VerifyPIN(PIN_USER, "user9876", &left), ORVA_OK);
}

TEST_F(GMTokenTest, AShortAuthenticationKeyIsZeroFilledForTheToken) {
  Json::Value token = Device("SoftKey01", "Blank", "SOFT-0009", {});
  token["devAuthKey"] = "12345678";
  ASSERT_EQ(m_lib->Reset(State({token})), SAR_OK);
  Start();
  DevicePtr d = First();
  uint32_t status = 0;
  ASSERT_EQ(d->GetDevStatus(&status), ORVA_OK);
  EXPECT_EQ(status, DEV_STATUS_BLANK);
  ASSERT_EQ(d->Initiliaze("ORVA_APP", "12345678", "admin1234", "user1234", 3, "Fresh"), ORVA_OK);
  EXPECT_EQ(d->GetDevStatus(&status), ORVA_OK);
  EXPECT_EQ(status, DEV_STATUS_INITIALIZED);
}

TEST_F(GMTokenTest, SerialNumberLabelAndMakerAreBoundedByTheirFields) {
  const std::string serial32 = "S0123456789ABCDEFGHIJKLMNOPQRSTU", label32 = "L0123456789abcdefghijklmnopqrstu";
  Json::Value token = UserToken("SoftKey01", label32);
  token["serial"] = serial32;
  token["manufacturer"] = std::string(70, 'M');  // the token keeps the first 64 bytes
  ASSERT_EQ(m_lib->Reset(State({token})), SAR_OK);
  Start();
  DevicePtr d = First();
  char buf[80];
  struct Row {
    const char* what;
    std::function<uint32_t(char*, uint32_t*)> read;
    bool nullBuffer;
    uint32_t in;
    uint32_t res;
    uint32_t out;
    std::string text;
  } rows[] = {
      {"serial size", [&](char* b, uint32_t* l) { return d->GetSN(b, l); }, true, 0, ORVA_OK, 33, ""},
      {"serial in 32 bytes", [&](char* b, uint32_t* l) { return d->GetSN(b, l); }, false, 32,
       ORVA_E_BUFFER_TOO_SMALL, 32, ""},
      {"serial in 33 bytes", [&](char* b, uint32_t* l) { return d->GetSN(b, l); }, false, 33, ORVA_OK, 32, serial32},
      {"label size", [&](char* b, uint32_t* l) { return d->GetLabel(b, l); }, true, 0, ORVA_OK, 33, ""},
      {"label in 32 bytes", [&](char* b, uint32_t* l) { return d->GetLabel(b, l); }, false, 32,
       ORVA_E_BUFFER_TOO_SMALL, 32, ""},
      {"label in 33 bytes", [&](char* b, uint32_t* l) { return d->GetLabel(b, l); }, false, 33, ORVA_OK, 32, label32},
      {"maker size", [&](char* b, uint32_t* l) { return d->GetManufacturer(b, l); }, true, 0, ORVA_OK, 65, ""},
      {"maker in 64 bytes", [&](char* b, uint32_t* l) { return d->GetManufacturer(b, l); }, false, 64,
       ORVA_E_BUFFER_TOO_SMALL, 64, ""},
      {"maker in 65 bytes", [&](char* b, uint32_t* l) { return d->GetManufacturer(b, l); }, false, 65, ORVA_OK, 65,
       std::string(64, 'M')},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::memset(buf, 'X', sizeof buf);
    uint32_t len = r.in;
    EXPECT_EQ(r.read(r.nullBuffer ? nullptr : buf, &len), r.res);
    EXPECT_EQ(len, r.out);
    if (!r.text.empty()) {
      EXPECT_EQ(std::string(buf), r.text);
    }
  }
  // A label always reports 32 bytes; the token refuses one longer than its field.
  ASSERT_EQ(d->SetLabel("Short"), ORVA_OK);
  uint32_t len = 33;
  ASSERT_EQ(d->GetLabel(buf, &len), ORVA_OK);
  EXPECT_STREQ(buf, "Short");
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(d->SetLabel(std::string(33, 'x').c_str()), ORVA_E_INVALID_PARAM);
}

TEST_F(GMTokenTest, CertificateRequestsMakeOrReuseTheSignKey) {
  ASSERT_EQ(m_lib->Reset(State({Device("SoftKey01", "Empty", "SOFT-0001", {App("ORVA_APP", {})})})), SAR_OK);
  Start();
  DevicePtr d = First();
  CGMDevice* view = View(d);
  ASSERT_NE(view, nullptr);
  uint32_t len = 0;
  EXPECT_EQ(view->GenCertRequest(true, ALG_RSA, 2048, "CN=x", nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 4096u);
  EXPECT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 132u);
  uint8_t req[132];
  len = 131;
  EXPECT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", req, &len), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 131u);

  // Neither container exists and no key pair is asked for.
  len = sizeof req;
  EXPECT_EQ(d->GenCertRequest(false, ALG_SM2, 256, "CN=x", req, &len), ORVA_E_NO_CONTAINER);
  EXPECT_EQ(view->GetUsingContainer(), "");
  // Creating the container needs the user PIN.
  EXPECT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", req, &len), ORVA_E_USER_NOT_LOGGED_IN);

  uint32_t left = 0;
  ASSERT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  ASSERT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", req, &len), ORVA_OK);
  EXPECT_EQ(len, 132u);
  EXPECT_EQ(view->GetUsingContainer(), "ORVA_ECC_CON");
  ECCPUBLICKEYBLOB first;
  std::memcpy(&first, req, sizeof first);
  EXPECT_EQ(first.BitLen, 256u);
  // Without the generate flag the same key comes back; with it a new one.
  ASSERT_EQ(d->GenCertRequest(false, ALG_SM2, 256, "CN=x", req, &len), ORVA_OK);
  EXPECT_EQ(std::memcmp(&first, req, sizeof first), 0);
  ASSERT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", req, &len), ORVA_OK);
  EXPECT_NE(std::memcmp(&first, req, sizeof first), 0);
}

TEST_F(GMTokenTest, AnotherIssuersContainerIsReusedWithoutANewKey) {
  ASSERT_EQ(m_lib->Reset(State({Device("SoftKey01", "Koal", "SOFT-0001",
                                       {App("ORVA_APP", {Container("KOAL_ECC", "sm2-sign", "")})})})),
            SAR_OK);
  Start();
  DevicePtr d = First();
  uint8_t req[132];
  uint32_t len = sizeof req;
  ASSERT_EQ(d->GenCertRequest(false, ALG_SM2, 256, "CN=x", req, &len), ORVA_OK);
  EXPECT_EQ(View(d)->GetUsingContainer(), "KOAL_ECC");
  // The key is the one the certificate of that pair carries.
  CX509Certificate cert;
  auto der = orva::testing::TestPkiCertDer("sm2-sign");
  ASSERT_EQ(cert.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  ORVA_PUBLIC_KEY_RECORD key{};
  ASSERT_EQ(cert.get_PublicKey(&key), ORVA_OK);
  EXPECT_EQ(std::memcmp(key.u.sm2.x, req + 4, 64), 0);
  EXPECT_EQ(std::memcmp(key.u.sm2.y, req + 68, 64), 0);
}

TEST_F(GMTokenTest, CertificatesAreImportedOnlyNextToTheirKeys) {
  ASSERT_EQ(m_lib->Reset(State({Device("SoftKey01", "Imports", "SOFT-0001",
                                       {App("ORVA_APP", {Container("C1", "sm2-sign", ""),
                                                         Container("OLD", "sm2-leaf", "sm2-both")})})})),
            SAR_OK);
  Start();
  DevicePtr d = First();
  auto sign = orva::testing::TestPkiCertDer("sm2-sign");
  auto exch = orva::testing::TestPkiCertDer("sm2-exch");
  auto rsa = orva::testing::TestPkiCertDer("rsa-sign");
  auto len = [](const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); };

  EXPECT_EQ(d->ImportCert(ALG_SM2, true, nullptr, 10), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(View(d)->ImportCert(ALG_RSA, true, rsa.data(), len(rsa)), ORVA_E_NOT_SUPPORTED);
  // The container of the key is found, but the token wants the user PIN.
  EXPECT_EQ(d->ImportCert(ALG_SM2, true, sign.data(), len(sign)), ORVA_E_USER_NOT_LOGGED_IN);
  uint32_t left = 0;
  ASSERT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  // A certificate whose key is in no container: nowhere to go.
  CGMDevice fresh(First()->GetSkfDevObj()->GetProxy(), "SoftKey01");
  ASSERT_EQ(fresh.Connect(), ORVA_OK);
  EXPECT_EQ(fresh.ImportCert(ALG_SM2, false, exch.data(), len(exch)), ORVA_E_NO_CONTAINER);
  EXPECT_EQ(fresh.GetUsingContainer(), "");
  // The matching container takes it; the other SM2 container goes.
  ASSERT_EQ(fresh.ImportCert(ALG_SM2, true, sign.data(), len(sign)), ORVA_OK);
  EXPECT_EQ(fresh.GetUsingContainer(), "C1");
  uint32_t count = 0;
  ASSERT_EQ(fresh.GetCertCount(&count, true), ORVA_OK);
  ASSERT_EQ(count, 1u);
  CertObjPtr cert;
  std::string container;
  ASSERT_EQ(fresh.GetCertObj(0, cert), ORVA_OK);
  cert->get_Container(container);
  EXPECT_EQ(container, "C1");
  EXPECT_EQ(m_lib->CallCount("SKF_DeleteContainer"), 1u);

  // A container chosen by a request whose new key the certificate does not carry.
  uint8_t req[132];
  uint32_t reqLen = sizeof req;
  ASSERT_EQ(d->GenCertRequest(true, ALG_SM2, 256, "CN=x", req, &reqLen), ORVA_OK);
  EXPECT_EQ(d->ImportCert(ALG_SM2, true, sign.data(), len(sign)), ORVA_E_BAD_INPUT);
  EXPECT_EQ(d->ImportPfx12(sign.data(), len(sign), "pw"), ORVA_E_INVALID_CALL);  // no PKCS#11 view
  EXPECT_EQ(View(d)->ImportPfx12(sign.data(), len(sign), "pw"), ORVA_E_NOT_SUPPORTED);
}

TEST_F(GMTokenTest, AnEnvelopedExchangeKeyPairIsImportedWithBothCertificates) {
  ASSERT_EQ(m_lib->Reset(State({Device("SoftKey01", "Dual", "SOFT-0001",
                                       {App("ORVA_APP", {Container("ORVA_ECC_CON", "sm2-sign", "")})})})),
            SAR_OK);
  Start();
  DevicePtr d = First();
  auto sign = orva::testing::TestPkiCertDer("sm2-sign");
  auto exch = orva::testing::TestPkiCertDer("sm2-exch");
  auto len = [](const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); };
  uint32_t left = 0;
  ASSERT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  uint8_t req[132];
  uint32_t reqLen = sizeof req;
  ASSERT_EQ(d->GenCertRequest(false, ALG_SM2, 256, "CN=x", req, &reqLen), ORVA_OK);

  std::vector<uint8_t> blob = EnvelopedKeyBlob("sm2-exch", "sm2-sign");
  ASSERT_EQ(blob.size(), 372u + 16u);
  // Blobs that do not hold their own wrapped key never reach the token.
  std::vector<uint8_t> shortBlob(blob.begin(), blob.end() - 1), badLen = blob;
  uint32_t huge = 0x7FFFFFFF;
  std::memcpy(badLen.data() + 368, &huge, 4);
  EXPECT_EQ(d->ImportKeyPair(ALG_SM2, shortBlob.data(), len(shortBlob)), ORVA_E_BAD_INPUT);
  EXPECT_EQ(d->ImportDualCertAndKeyPair(ALG_SM2, sign.data(), len(sign), exch.data(), len(exch), badLen.data(),
                                        len(badLen), ""),
            ORVA_E_BAD_INPUT);
  EXPECT_EQ(m_lib->CallCount("SKF_ImportECCKeyPair"), 0u);

  // A key pair whose public key is not the encryption certificate's: imported, then refused.
  std::vector<uint8_t> other = EnvelopedKeyBlob("sm2-leaf", "sm2-sign");
  EXPECT_EQ(d->ImportDualCertAndKeyPair(ALG_SM2, sign.data(), len(sign), exch.data(), len(exch), other.data(),
                                        len(other), ""),
            ORVA_E_BAD_INPUT);

  ASSERT_EQ(d->ImportDualCertAndKeyPair(ALG_SM2, sign.data(), len(sign), exch.data(), len(exch), blob.data(),
                                        len(blob), ""),
            ORVA_OK);
  uint32_t count = 0;
  ASSERT_EQ(d->GetCertCount(&count, true), ORVA_OK);
  ASSERT_EQ(count, 2u);
  uint32_t usage[2] = {};
  for (uint32_t i = 0; i < 2; ++i) {
    CertObjPtr c;
    ASSERT_EQ(d->GetCertObj(i, c), ORVA_OK);
    c->get_KeyUsage(&usage[i]);
  }
  EXPECT_EQ(usage[0], KEY_USAGE_SIGN);
  EXPECT_EQ(usage[1], KEY_USAGE_EXCH);

  // The same pair once more through the two-step import.
  ASSERT_EQ(d->ImportKeyPair(ALG_SM2, blob.data(), len(blob)), ORVA_OK);
  EXPECT_EQ(d->ImportCert(ALG_SM2, false, exch.data(), len(exch)), ORVA_OK);
  EXPECT_EQ(d->ImportDualCert(ALG_SM2, sign.data(), len(sign), exch.data(), len(exch)), ORVA_OK);
}

TEST_F(GMTokenTest, TheCertificateListIsUniqueBySerialNumber) {
  ASSERT_EQ(m_lib->Reset(State({Device(
                "SoftKey01", "Many", "SOFT-0001",
                {App("ORVA_APP", {Container("C1", "sm2-sign", "sm2-sign", "sm2-exch", "sm2-sign"),
                                  Container("C2", "", "sm2-sign"), Container("C3", "sm2-leaf", "sm2-both"),
                                  Container("C4", "", "", "", "sm2-exch")})})})),
            SAR_OK);
  Start();
  DevicePtr d = First();
  uint32_t count = 0;
  ASSERT_EQ(d->GetCertCount(&count, true), ORVA_OK);
  ASSERT_EQ(count, 3u);
  std::vector<std::string> seen;
  for (uint32_t i = 0; i < count; ++i) {
    CertObjPtr c;
    ASSERT_EQ(d->GetCertObj(i, c), ORVA_OK);
    std::string sn, con;
    c->get_SN(sn);
    c->get_Container(con);
    seen.push_back(sn + "@" + con);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1001@C1", "1003@C3", "1002@C4"}));
  // Without refresh the list is not rebuilt.
  ULONG before = m_lib->CallCount("SKF_EnumContainer");
  ASSERT_EQ(d->GetCertCount(&count, false), ORVA_OK);
  EXPECT_EQ(m_lib->CallCount("SKF_EnumContainer"), before);
}

TEST_F(GMTokenTest, SessionsFindTheContainerOfTheKeyAndUsage) {
  ASSERT_EQ(m_lib->Reset(State({UserToken(), Device("SoftKey02", "Blank", "SOFT-0002", {})})), SAR_OK);
  CDeviceManager* m = Start();
  DevicePtr d = m->GetDevice(0);
  SessionPtr s;
  ASSERT_EQ(d->OpenSession(ALG_SM2, KEY_USAGE_SIGN, s), ORVA_OK);
  ASSERT_TRUE(s);
  EXPECT_EQ(d->CloseSession(ALG_SM2, s.get()), ORVA_OK);
  s.reset();
  EXPECT_EQ(View(d)->OpenSession(ALG_RSA, KEY_USAGE_SIGN, s), ORVA_E_NO_SESSION);
  EXPECT_EQ(View(d)->OpenSession(3, KEY_USAGE_SIGN, s), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(m->GetDevice(1)->OpenSession(ALG_SM2, KEY_USAGE_SIGN, s), ORVA_E_APP_NOT_FOUND);
  EXPECT_EQ(m_lib->CallCount("SKF_OpenContainer"), m_lib->CallCount("SKF_CloseContainer"));
}

TEST_F(GMTokenTest, ALibraryWithGetConPropertyTypesContainersThroughIt) {
  SoftSkfLib conprop("libsoftskf_conprop.so");
  ASSERT_EQ(conprop.Reset(State({Device("SoftKey01", "ConProp", "SOFT-0001",
                                        {App("ORVA_APP", {Container("C1", "sm2-sign", ""),
                                                          Container("C2", "sm2-exch", "sm2-exch")})})})),
            SAR_OK);
  CDeviceManager* m = Start(conprop.Path());
  ASSERT_EQ(m->GetDeviceCount(), 1u);
  DevicePtr d = First();
  SessionPtr s;
  ASSERT_EQ(d->OpenSession(ALG_SM2, KEY_USAGE_SIGN, s), ORVA_OK);
  EXPECT_EQ(d->CloseSession(ALG_SM2, s.get()), ORVA_OK);
  EXPECT_GE(conprop.CallCount("SKF_GetConProperty"), 1u);
  // Finding the container of a certificate's key reads the types the same way.
  uint32_t left = 0;
  ASSERT_EQ(d->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  auto sign = orva::testing::TestPkiCertDer("sm2-sign");
  ASSERT_EQ(d->ImportCert(ALG_SM2, true, sign.data(), static_cast<uint32_t>(sign.size())), ORVA_OK);
  EXPECT_EQ(View(d)->GetUsingContainer(), "C1");
}

TEST_F(GMTokenTest, FunctionsTheLibraryLacksAnswerNotSupported) {
  // The serial-number library exports no SKF function at all.
  const std::string path = LibPath("libsoftdsn.so");
  auto proxy = std::make_shared<CGMDeviceProxy>("Soft CSP");
  ORVA_PROXY_START_ARGS args;
  args.bWatchEvents = true;
  devtest::LogCapture log;
  ASSERT_EQ(proxy->Load(path, "", &args), ORVA_OK);
  EXPECT_TRUE(log.Contains("SKF_WaitForDevEvent is not exported!"));
  EXPECT_EQ(CGMDeviceProxy::RunningEventThreads(), 0);
  std::vector<DeviceFakePtr> devices;
  EXPECT_EQ(proxy->GetDevices(devices), ORVA_E_NOT_SUPPORTED);
  EXPECT_TRUE(log.Contains("SKF_EnumDev is not exported by"));
  auto dev = std::make_shared<CGMDevice>(proxy, "SoftKey01");
  EXPECT_EQ(dev->Connect(), ORVA_E_NOT_SUPPORTED);
  uint32_t status = 0;
  EXPECT_EQ(dev->GetDevStatus(&status), ORVA_E_INVALID_CALL);
  EXPECT_EQ(proxy->Unload(), ORVA_OK);
  // Through the settings the kit simply lists nothing.
  CDeviceManager* m = Start(path);
  EXPECT_EQ(m->GetDeviceCount(), 0u);
}

TEST_F(GMTokenTest, AHaiTaiKitTakesTheSerialNumberFromItsSerialLibrary) {
  const std::string name = "HaiTaiKeyWithALongName";  // its DSN is longer than 32 bytes
  ASSERT_EQ(m_lib->Reset(State({UserToken(name)})), SAR_OK);
  CDeviceManager* m = Start("", "HaiTai Soft CSP", LibPath("libsoftdsn.so"));
  ASSERT_EQ(m->GetDeviceCount(), 1u);
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 1u);
  std::string dsn = "HT";
  for (unsigned char c : name) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", c);
    dsn += hex;
  }
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return First()->GetSN(b, l); }), dsn.substr(0, 32));
  CDeviceManager::ReleaseInstance();
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);

  // "HaiTai" inside the provider name without a serial library: the token's own serial.
  m = Start("", "Soft HaiTai CSP", "");
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);
  EXPECT_EQ(Text([&](char* b, uint32_t* l) { return First()->GetSN(b, l); }), "SOFT-0001");
}

namespace {

std::atomic<int> s_delivered{0};

uint32_t CountingCallback(std::shared_ptr<CDeviceFake>, uint32_t, void*) {
  ++s_delivered;
  return 0;
}

}  // namespace

// Unload must return for a library that can cancel the wait and for one that cannot; the
// time it takes is measured in bench/, here it is only bounded.
TEST_F(GMTokenTest, UnloadReturnsWithAndWithoutCancel) {
  for (const char* file : {"libsoftskf.so", "libsoftskf_nocancel.so"}) {
    SCOPED_TRACE(file);
    const bool canCancel = std::string(file) == "libsoftskf.so";
    SoftSkfLib lib(file);
    ASSERT_EQ(lib.Reset(State({UserToken()})), SAR_OK);
    s_delivered = 0;
    auto proxy = std::make_shared<CGMDeviceProxy>("Soft CSP");
    ORVA_PROXY_START_ARGS args;
    args.bWatchEvents = true;
    args.pfnCallback = &CountingCallback;
    ASSERT_EQ(proxy->Load(lib.Path(), "", &args), ORVA_OK);
    ASSERT_TRUE(WaitFor([&] { return lib.Waiters() == 1; }));
    ASSERT_EQ(lib.Plug("Other"), SAR_OK);
    ASSERT_TRUE(WaitFor([&] { return s_delivered == 1 && lib.Waiters() == 1; }));

    auto unload = std::async(std::launch::async, [&] { return proxy->Unload(); });
    ASSERT_EQ(unload.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(unload.get(), ORVA_OK);
    if (canCancel) {
      EXPECT_EQ(CGMDeviceProxy::RunningEventThreads(), 0);
      EXPECT_EQ(lib.Waiters(), 0u);
    } else {
      // The thread still waits inside the library, which stays loaded for it; once the
      // wait returns it ends without delivering anything.
      EXPECT_EQ(CGMDeviceProxy::RunningEventThreads(), 1);
      EXPECT_EQ(lib.Waiters(), 1u);
      ASSERT_EQ(lib.Unplug("Other"), SAR_OK);
      EXPECT_TRUE(WaitFor([] { return CGMDeviceProxy::RunningEventThreads() == 0; }));
      EXPECT_EQ(lib.Waiters(), 0u);
    }
    EXPECT_EQ(s_delivered.load(), 1);
    proxy.reset();
  }
}

namespace {

std::shared_ptr<CGMDeviceProxy> s_lastProxy;

uint32_t DroppingCallback(std::shared_ptr<CDeviceFake>, uint32_t, void*) {
  s_lastProxy.reset();  // the event thread now holds the last references
  ++s_delivered;
  return 0;
}

}  // namespace

TEST_F(GMTokenTest, ABindingReleasedByItsOwnEventEndsItsThread) {
  s_delivered = 0;
  s_lastProxy = std::make_shared<CGMDeviceProxy>("Soft CSP");
  ORVA_PROXY_START_ARGS args;
  args.bWatchEvents = true;
  args.pfnCallback = &DroppingCallback;
  ASSERT_EQ(s_lastProxy->Load(m_lib->Path(), "", &args), ORVA_OK);
  ASSERT_TRUE(WaitFor([&] { return m_lib->Waiters() == 1; }));
  ASSERT_EQ(m_lib->Plug("Other"), SAR_OK);
  EXPECT_TRUE(WaitFor([] { return s_delivered == 1 && CGMDeviceProxy::RunningEventThreads() == 0; }));
  EXPECT_EQ(m_lib->Waiters(), 0u);
}
