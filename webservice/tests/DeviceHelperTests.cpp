// In-process checks of what the end-to-end tests cannot reach cheaply: the certificate
// cache's limits and handle table under eight threads, hostile authorisation codes, and
// whose login a token's login is.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLKey.h"
#include "devices/core/Device.h"
#include "devices/core/tests/TestDevices.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "testing/TestPki.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVADeviceHelper.h"

using orva::testing::TestPkiCertDer;

namespace {

std::unique_ptr<CX509Certificate> Cert(const std::string& name) {
  auto c = std::make_unique<CX509Certificate>();
  std::vector<uint8_t> der = TestPkiCertDer(name);
  EXPECT_EQ(c->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), 0u) << name;
  return c;
}

std::string SnOf(CX509Certificate& c) {
  std::string sn;
  c.get_SN(sn);
  return sn;
}

}  // namespace

TEST(CertCache, HandlesComeFromATableWithLimits) {
  const size_t certBytes = TestPkiCertDer("sm2-sign").size();
  CORVACertCache cache(3, 64u << 20);
  std::set<int32_t> live;
  for (int i = 0; i < 3; ++i) {
    int32_t h = 0;
    ASSERT_EQ(cache.Add(Cert("sm2-sign"), &h), 0u);
    EXPECT_GT(h, 0);
    EXPECT_TRUE(live.insert(h).second);
  }
  int32_t h = -5;
  EXPECT_EQ(cache.Add(Cert("sm2-sign"), &h), ORVA_E_DATA_TOO_LONG);  // full
  EXPECT_EQ(h, -5);
  EXPECT_EQ(cache.Count(), 3u);
  EXPECT_EQ(cache.Bytes(), 3 * certBytes);

  // A released handle names nothing, twice over; its room is free again, and the new
  // object gets a handle no live object has.
  int32_t first = *live.begin();
  EXPECT_TRUE(cache.Remove(first));
  EXPECT_FALSE(cache.Remove(first));
  bool ran = false;
  EXPECT_FALSE(cache.Use(first, [&](CX509Certificate&) { ran = true; }));
  EXPECT_FALSE(ran);
  live.erase(first);
  ASSERT_EQ(cache.Add(Cert("rsa-sign"), &h), 0u);
  EXPECT_EQ(live.count(h), 0u);
  EXPECT_NE(h, first);
  std::string sn;
  EXPECT_TRUE(cache.Use(h, [&](CX509Certificate& c) { sn = SnOf(c); }));
  EXPECT_EQ(sn, "3001");
  for (int32_t bad : {0, -1, 0x7FFFFFFF, h + 1000}) EXPECT_FALSE(cache.Use(bad, [](CX509Certificate&) {})) << bad;

  // Empty and missing objects are refused.
  EXPECT_EQ(cache.Add(nullptr, &h), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(cache.Add(std::make_unique<CX509Certificate>(), &h), ORVA_E_INVALID_PARAM);

  // The byte bound holds as well as the count.
  CORVACertCache small(100, certBytes * 2);
  EXPECT_EQ(small.Add(Cert("sm2-sign"), &h), 0u);
  EXPECT_EQ(small.Add(Cert("sm2-sign"), &h), 0u);
  EXPECT_EQ(small.Add(Cert("sm2-sign"), &h), ORVA_E_DATA_TOO_LONG);
}

TEST(CertCache, EightThreadsNeverShareAHandle) {
  CORVACertCache cache;
  std::atomic<int> wrong{0};
  std::mutex lock;
  std::set<int32_t> seen;
  std::vector<std::thread> threads;
  const char* names[] = {"sm2-sign", "sm2-exch", "rsa-sign", "rsa-exch"};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const char* name = names[t % 4];
      std::string want = SnOf(*Cert(name));
      for (int i = 0; i < 200; ++i) {
        int32_t h = 0;
        if (cache.Add(Cert(name), &h) != 0) {
          ++wrong;
          continue;
        }
        {
          std::lock_guard<std::mutex> g(lock);
          if (!seen.insert(h).second) ++wrong;
        }
        std::string got;
        if (!cache.Use(h, [&](CX509Certificate& c) { got = SnOf(c); }) || got != want) ++wrong;
        if (!cache.Remove(h)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(seen.size(), 1600u);
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_EQ(cache.Bytes(), 0u);
}

namespace {

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void PutText(std::vector<uint8_t>& v, const std::string& s, uint32_t len) {
  PutU32(v, len);
  v.insert(v.end(), s.begin(), s.end());
}

// A code record encrypted with `key` as the authority does (triple DES, CBC, zero IV).
std::string Encrypt(const std::vector<uint8_t>& key, const std::vector<uint8_t>& record) {
  COpenSSLKey k;
  EXPECT_EQ(k.importKey(SYMM_3DES_CBC, ORVA_KEY_TYPE_SYMM, key.data(), static_cast<uint32_t>(key.size())), 0u);
  uint32_t n = 0;
  EXPECT_EQ(k.encrypt(record.data(), static_cast<uint32_t>(record.size()), nullptr, &n), 0u);
  std::vector<uint8_t> out(n);
  EXPECT_EQ(k.encrypt(record.data(), static_cast<uint32_t>(record.size()), out.data(), &n), 0u);
  out.resize(n);
  std::string b64;
  CStringConvert::BinaryToBase64String(out, b64);
  return b64;
}

}  // namespace

// Codes whose lengths lie are refused without reading past the decrypted record; the
// one-time key goes with the first attempt whatever it brings.
TEST(AuthCode, HostileRecordsAreRefusedAndTheKeyIsUsedOnce) {
  DevicePtr dev = CDevice::Create(nullptr, nullptr, SDK_SKF);
  const std::vector<uint8_t> key(24, 0x5A);
  auto record = [](uint32_t type, const std::string& sn, uint32_t snLen, const std::string& pin, uint32_t pinLen) {
    std::vector<uint8_t> r;
    PutU32(r, 4);
    PutU32(r, type);
    PutText(r, sn, snLen);
    PutText(r, pin, pinLen);
    return r;
  };
  std::vector<uint8_t> withDevKey = record(1, "SN1", 3, "admin1234", 9);
  PutText(withDevKey, "1234567812345678", 16);
  std::vector<uint8_t> devKeyTooLong = record(1, "SN1", 3, "admin1234", 9);
  PutText(devKeyTooLong, "1234", 400);
  struct Row {
    const char* what;
    std::string code;
    uint32_t res;
    uint32_t type;
    const char* sn;
    const char* admin;
    const char* devKey;
  } rows[] = {
      {"unlock", Encrypt(key, record(2, "ORVATESTA0000001", 16, "admin1234", 9)), 0, 2, "ORVATESTA0000001",
       "admin1234", ""},
      {"initialise", Encrypt(key, withDevKey), 0, 1, "SN1", "admin1234", "1234567812345678"},
      {"serial number over 32", Encrypt(key, record(2, std::string(33, 'A'), 33, "a", 1)), ORVA_E_BAD_INPUT},
      {"PIN length past the end", Encrypt(key, record(2, "SN", 2, "admin", 200)), ORVA_E_BAD_INPUT},
      {"length 0xFFFFFFFF", Encrypt(key, record(2, "SN", 0xFFFFFFFFu, "", 0)), ORVA_E_BAD_INPUT},
      {"device key past the end", Encrypt(key, devKeyTooLong), ORVA_E_BAD_INPUT},
      {"cut short", Encrypt(key, std::vector<uint8_t>{4, 0, 0, 0, 2, 0}), ORVA_E_BAD_INPUT},
      {"longer than 256 bytes", Encrypt(key, record(2, "SN", 2, std::string(300, 'p'), 300)),
       ORVA_E_BUFFER_TOO_SMALL},
      {"another key", Encrypt(std::vector<uint8_t>(24, 0x11), record(2, "SN", 2, "a", 1)), 0xFFFFFFFF},
      {"not Base64", "!!!!", ORVA_E_BASE64},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    dev->SetOneTimeKey(key);
    ORVA_AUTH_CODE code;
    uint32_t res = CORVADeviceHelper::_ParserAuthCode(dev, row.code, code);
    if (row.res == 0xFFFFFFFF) {
      EXPECT_NE(res, 0u);
    } else {
      EXPECT_EQ(res, row.res);
    }
    if (res == 0) {
      EXPECT_EQ(code.ulAuthType, row.type);
      EXPECT_EQ(code.strSN, row.sn);
      EXPECT_EQ(code.strAdminPIN, row.admin);
      EXPECT_EQ(code.strDevAuthKey, row.devKey);
    }
    // Used up, whatever the outcome: the same code again meets no key.
    std::vector<uint8_t> left;
    EXPECT_FALSE(dev->TakeOneTimeKey(left));
    if (res == 0) {
      ORVA_AUTH_CODE again;
      EXPECT_EQ(CORVADeviceHelper::_ParserAuthCode(dev, row.code, again), ORVA_E_INVALID_CALL);
    }
  }
  // An empty code also uses the key up.
  dev->SetOneTimeKey(key);
  ORVA_AUTH_CODE code;
  EXPECT_EQ(CORVADeviceHelper::_ParserAuthCode(dev, "", code), ORVA_E_INVALID_PARAM);
  std::vector<uint8_t> left;
  EXPECT_FALSE(dev->TakeOneTimeKey(left));
}

namespace {

DevicePtr TestDevice(const std::string& path) {
  devtest::TestLibrary::Add(path, SDK_SKF, {{"T1", 0, "SN-" + path, "Owner", true, true, {}}});
  auto proxy = std::make_shared<devtest::CTestProxy>(SDK_SKF, "Test CSP");
  ORVA_PROXY_START_ARGS args;
  EXPECT_EQ(proxy->Load(path, "", &args), 0u);
  std::vector<std::shared_ptr<CDeviceFake>> views;
  EXPECT_EQ(proxy->GetDevices(views), 0u);
  if (views.size() != 1 || views[0]->Connect() != 0) return nullptr;
  return CDevice::Create(nullptr, views[0], SDK_SKF);
}

// A PIN dialog that stays open until the test lets it answer.
class CHeldPinDialog : public CORVAScriptedUI {
 public:
  int ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) override {
    std::unique_lock<std::mutex> g(m_lock);
    m_bOpen = true;
    m_cv.notify_all();
    m_cv.wait(g, [&] { return m_bRelease; });
    strPin = "1234";
    return ORVA_IDOK;
  }
  void WaitOpen() {
    std::unique_lock<std::mutex> g(m_lock);
    m_cv.wait(g, [&] { return m_bOpen; });
  }
  void Release() {
    std::lock_guard<std::mutex> g(m_lock);
    m_bRelease = true;
    m_cv.notify_all();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bOpen = false, m_bRelease = false;
};

}  // namespace

// While one caller's login sequence runs (here: its PIN dialog is open), another caller of
// the same token waits for it instead of slipping in between.
TEST(LoginOwner, ASecondCallerWaitsForTheFirstSequence) {
  DevicePtr dev = TestDevice("/test/held-skf");
  ASSERT_TRUE(dev);
  auto ui = std::make_shared<CHeldPinDialog>();
  OrvaUserInterfacePtr old = SetOrvaUserInterface(ui);
  std::atomic<int> done{0};
  uint32_t r1 = 1, r2 = 1;
  std::thread first([&] {
    uint32_t left = 0;
    r1 = CORVADeviceHelper::VerifyPin(dev, PIN_ADMIN, "", &left, "https://a.example");
    ++done;
  });
  ui->WaitOpen();
  std::thread second([&] {
    uint32_t left = 0;
    r2 = CORVADeviceHelper::VerifyPin(dev, PIN_ADMIN, "1234", &left, "https://b.example");
    ++done;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(done.load(), 0);  // the second is held while the first's dialog is open
  ui->Release();
  first.join();
  second.join();
  SetOrvaUserInterface(old);
  EXPECT_EQ(r1, 0u);
  EXPECT_EQ(r2, 0u);
  // The second caller came after the first's whole sequence: the last login is its own.
  EXPECT_TRUE(CORVADeviceHelper::_IsLoggedInFor(dev, "https://b.example"));
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, "https://a.example"));
  devtest::TestLibrary::ClearAll();
}

// A login belongs to the origin that made it: another site, or a local program, does not
// find the token logged in for itself.
TEST(LoginOwner, TheLoginIsTheCallersOwn) {
  DevicePtr dev = TestDevice("/test/owner-skf");
  ASSERT_TRUE(dev);

  const std::string a = "https://a.example", b = "https://b.example";
  uint32_t left = 99;
  // The administrator PIN: no weak-PIN question in the way.
  ASSERT_EQ(CORVADeviceHelper::VerifyPin(dev, PIN_ADMIN, "1234", &left, a), 0u);
  EXPECT_EQ(left, 0u);
  EXPECT_TRUE(CORVADeviceHelper::_IsLoggedInFor(dev, a));
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, b));
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, ""));
  // A failed try by another site ends the login.
  EXPECT_EQ(CORVADeviceHelper::VerifyPin(dev, PIN_ADMIN, "9999", &left, b), ORVA_E_PIN_INCORRECT);
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, a));
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, b));
  ASSERT_EQ(CORVADeviceHelper::VerifyPin(dev, PIN_ADMIN, "1234", &left, b), 0u);
  EXPECT_TRUE(CORVADeviceHelper::_IsLoggedInFor(dev, b));
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, a));
  CORVADeviceHelper::_LogoutDevice(dev);
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, b));
  // The weak user PIN "1234" with nobody to answer the question: refused, logged out.
  EXPECT_EQ(CORVADeviceHelper::VerifyPin(dev, PIN_USER, "1234", &left, a), ORVA_E_CANCELLED);
  EXPECT_FALSE(CORVADeviceHelper::_IsLoggedInFor(dev, a));
  bool logged = true;
  dev->IsLoginned(&logged);
  EXPECT_FALSE(logged);
  devtest::TestLibrary::ClearAll();
}
