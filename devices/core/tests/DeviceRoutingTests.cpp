// The routing of CDevice between its PKCS#11 and SKF views, row by row, with the failure
// lines; the logged-in flag; stale devices and their sessions; the device lock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "devices/core/Device.h"
#include "devices/core/tests/LogCapture.h"
#include "foundation/ResultCodes.h"

using namespace std::chrono_literals;

namespace {

class CRoutingSession : public CSession {
 public:
  explicit CRoutingSession(std::function<void(const std::string&)> rec) : m_rec(std::move(rec)) {}
  uint32_t Login(uint32_t, const char*, uint32_t*) override { return Rec("Login"); }
  uint32_t ExportPublicKey(uint32_t, bool, ORVA_PUBLIC_KEY_RECORD*) override {
    return Rec("ExportPublicKey");
  }
  uint32_t ExportCert(uint32_t, bool, std::unique_ptr<CX509Certificate>&) override {
    return Rec("ExportCert");
  }
  uint32_t CreateMsgHandler(uint32_t, uint32_t, CX509Certificate*, CryptoMsgPtr& msg) override;
  uint32_t SignDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t,
                      std::unique_ptr<CSignedData>&) override {
    return Rec("SignDigest");
  }
  uint32_t VerifyDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, const uint8_t*, uint32_t,
                        uint32_t, CX509Certificate*) override {
    return Rec("VerifyDigest");
  }
  uint32_t Rec(const std::string& op) {
    m_rec("session." + op);
    return ORVA_OK;
  }

 private:
  std::function<void(const std::string&)> m_rec;
};

class CRoutingMsg : public CCryptoMsg {
 public:
  explicit CRoutingMsg(CRoutingSession* s) : m_s(s) {}
  uint32_t Init(uint32_t, const uint8_t*, uint32_t, uint64_t, StreamPtr) override {
    return m_s->Rec("msg.Init");
  }
  uint32_t Update(const uint8_t*, uint32_t, bool) override { return m_s->Rec("msg.Update"); }
  uint32_t Final(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
    return m_s->Rec("msg.Final");
  }

 private:
  CRoutingSession* m_s;
};

uint32_t CRoutingSession::CreateMsgHandler(uint32_t, uint32_t, CX509Certificate*,
                                           CryptoMsgPtr& msg) {
  msg = std::make_unique<CRoutingMsg>(this);
  return Rec("CreateMsgHandler");
}

// A view that records which operations reached it and answers `result`.
class CRoutingView : public CDeviceFake {
 public:
  CRoutingView(const char* tag, uint32_t kind) : CDeviceFake(nullptr, tag, 0), m_tag(tag), m_kind(kind) {}
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_calls;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_calls.clear();
  }
  std::atomic<uint32_t> result{0};
  // Makes GetSN block until released (for the release and lock tests).
  std::atomic<bool> blockGetSN{false}, inGetSN{false}, releaseGetSN{false};

  uint32_t GetDevType() const override { return m_kind; }
  uint32_t Connect() override { return R("Connect"); }
  uint32_t Disconnect() override {
    R("Disconnect");
    return ORVA_OK;
  }
  uint32_t GetDevStatus(uint32_t*) override { return R("GetDevStatus"); }
  uint32_t IsDefaultPIN(bool*) override { return R("IsDefaultPIN"); }
  uint32_t Initiliaze(const char*, const char*, const char*, const char*, uint32_t,
                      const char*) override {
    return R("Initiliaze");
  }
  uint32_t GetSN(char*, uint32_t*) override {
    if (blockGetSN) {
      inGetSN = true;
      while (!releaseGetSN) std::this_thread::sleep_for(1ms);
    }
    return R("GetSN");
  }
  uint32_t GetLabel(char*, uint32_t*) override { return R("GetLabel"); }
  uint32_t SetLabel(const char*) override { return R("SetLabel"); }
  uint32_t GetManufacturer(char*, uint32_t*) override { return R("GetManufacturer"); }
  uint32_t VerifyPIN(uint32_t, const char*, uint32_t* left) override {
    if (left) *left = 3;
    return R("VerifyPIN");
  }
  uint32_t ChangePIN(uint32_t, const char*, const char*, uint32_t*) override { return R("ChangePIN"); }
  uint32_t UnLockPIN(const char*, const char*, uint32_t*) override { return R("UnLockPIN"); }
  uint32_t OpenSession(uint32_t, uint32_t, SessionPtr& s) override {
    uint32_t r = R("OpenSession");
    if (r == ORVA_OK)
      s = std::make_unique<CRoutingSession>([this](const std::string& op) { R(op); });
    return r;
  }
  uint32_t CloseSession(CSession*) override { return R("CloseSession"); }
  uint32_t GenRandom(uint8_t*, uint32_t) override { return R("GenRandom"); }
  uint32_t GenCertRequest(bool, uint32_t, uint32_t, const char*, uint8_t*, uint32_t*) override {
    return R("GenCertRequest");
  }
  uint32_t ImportKeyPair(uint32_t, const uint8_t*, uint32_t) override { return R("ImportKeyPair"); }
  uint32_t ImportCert(uint32_t, bool, const uint8_t*, uint32_t) override { return R("ImportCert"); }
  uint32_t ImportPfx12(const uint8_t*, uint32_t, const char*) override { return R("ImportPfx12"); }
  uint32_t DecryptLra(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
    return R("DecryptLra");
  }
  uint32_t GetCertCount(uint32_t* n, bool) override {
    if (n) *n = 0;
    return R("GetCertCount");
  }
  uint32_t GetCertObj(uint32_t, CertObjPtr&) override { return R("GetCertObj"); }
  uint32_t GetEnvelopType(uint32_t, uint32_t*, uint32_t*) override { return R("GetEnvelopType"); }
  uint32_t ImportDualCertAndKeyPair(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t,
                                    const uint8_t*, uint32_t, const char*) override {
    return R("ImportDualCertAndKeyPair");
  }
  uint32_t ImportDualCert(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) override {
    return R("ImportDualCert");
  }
  uint32_t DeleteContainer(const char*, bool) override { return R("DeleteContainer"); }

 private:
  uint32_t R(const std::string& op) {
    std::lock_guard<std::mutex> g(m_lock);
    m_calls.push_back(op);
    return result.load();
  }
  std::string m_tag;
  uint32_t m_kind;
  std::mutex m_lock;
  std::vector<std::string> m_calls;
};

enum Config { kBoth2, kBoth3, kSkfOnly, kP11Only, kNoDefault };

struct Fixture {
  std::shared_ptr<CRoutingView> p11, skf;
  DevicePtr dev;
  explicit Fixture(Config c) {
    bool hasP11 = c != kSkfOnly, hasSkf = c == kBoth2 || c == kBoth3 || c == kSkfOnly;
    if (hasP11) p11 = std::make_shared<CRoutingView>("p11", SDK_PKCS11);
    if (hasSkf) skf = std::make_shared<CRoutingView>("skf", SDK_SKF);
    uint32_t kind = (c == kBoth2 || c == kP11Only) ? SDK_PKCS11 : SDK_SKF;
    dev = CDevice::Create(p11, skf, kind);
  }
  std::vector<std::string> Calls(const char* which) {
    auto& v = std::string(which) == "p11" ? p11 : skf;
    return v ? v->Calls() : std::vector<std::string>{};
  }
  void SetResult(uint32_t r) {
    if (p11) p11->result = r;
    if (skf) skf->result = r;
  }
};

using Call = std::function<uint32_t(CDevice&)>;

struct Op {
  const char* name;  // the view operation it reaches
  Call call;
};

// Operations routed to the default view.
std::vector<Op> DefaultOps() {
  static char buf[64];
  static uint32_t len;
  static uint8_t bytes[8];
  return {
      {"GetDevStatus", [](CDevice& d) { uint32_t s; return d.GetDevStatus(&s); }},
      {"IsDefaultPIN", [](CDevice& d) { bool b; return d.IsDefaultPIN(&b); }},
      {"Initiliaze", [](CDevice& d) { return d.Initiliaze("app", "key", "admin", "user", 5, "lbl"); }},
      {"GetSN", [](CDevice& d) { len = sizeof buf; return d.GetSN(buf, &len); }},
      {"GetLabel", [](CDevice& d) { len = sizeof buf; return d.GetLabel(buf, &len); }},
      {"SetLabel", [](CDevice& d) { return d.SetLabel("x"); }},
      {"GetManufacturer", [](CDevice& d) { len = sizeof buf; return d.GetManufacturer(buf, &len); }},
      {"ChangePIN", [](CDevice& d) { uint32_t l; return d.ChangePIN(PIN_USER, "a", "b", &l); }},
      {"UnLockPIN", [](CDevice& d) { uint32_t l; return d.UnLockPIN("a", "b", &l); }},
      {"GenRandom", [](CDevice& d) { return d.GenRandom(bytes, sizeof bytes); }},
      {"GetCertCount", [](CDevice& d) { uint32_t n; return d.GetCertCount(&n, false); }},
      {"GetCertObj", [](CDevice& d) { CertObjPtr c; return d.GetCertObj(0, c); }},
  };
}

// Operations routed by algorithm class; `arg` is the argument's name in their messages and
// `failText` their failure line up to " failed!".
struct AlgOp {
  const char* name;
  const char* arg;
  const char* failText;
  bool logsWrongType;
  std::function<uint32_t(CDevice&, uint32_t)> call;
};

std::vector<AlgOp> AlgOps() {
  static uint8_t data[4] = {1, 2, 3, 4};
  return {
      {"OpenSession", "ulAlg", "pImplDevice->OpenSession()", true,
       [](CDevice& d, uint32_t a) { SessionPtr s; return d.OpenSession(a, KEY_USAGE_SIGN, s); }},
      {"CloseSession", "ulAlg", "pImplDevice->CloseSession()", true,
       [](CDevice& d, uint32_t a) { return d.CloseSession(a, nullptr); }},
      {"GenCertRequest", "ulType", "pImplDevice->GenCertRequest()", true,
       [](CDevice& d, uint32_t a) {
         uint32_t l = 0;
         return d.GenCertRequest(true, a, 2048, "CN=x", nullptr, &l);
       }},
      {"ImportKeyPair", "ulType", "[ERROR]ImportKeyPair()", true,
       [](CDevice& d, uint32_t a) { return d.ImportKeyPair(a, data, 4); }},
      {"ImportCert", "ulType", "[ERROR]ImportCert()", true,
       [](CDevice& d, uint32_t a) { return d.ImportCert(a, true, data, 4); }},
      {"ImportDualCertAndKeyPair", "ulType", "[ERROR]ImportDualCertAndKeyPair()", true,
       [](CDevice& d, uint32_t a) {
         return d.ImportDualCertAndKeyPair(a, data, 4, data, 4, data, 4, "pw");
       }},
      {"ImportDualCert", "ulType", "[ERROR]ImportDualCert()", false,
       [](CDevice& d, uint32_t a) { return d.ImportDualCert(a, data, 4, data, 4); }},
  };
}

struct Row {
  std::string what;
  Config cfg;
  Call call;
  const char* target;      // "p11", "skf", or nullptr: no view is reached
  const char* viewOp;      // the operation the target sees
  uint32_t missingCode;    // result when no view is reached
  std::string missingLog;  // the line logged then ("" when nothing may be logged)
  std::string failLog;     // the line logged when the target fails (before " ulRes=")
};

std::vector<Row> RoutingTable() {
  std::vector<Row> rows;
  for (const auto& op : DefaultOps()) {
    std::string fail = std::string("m_pDefaultObj->") + op.name + "() failed!";
    rows.push_back({op.name + std::string(" default P11"), kBoth2, op.call, "p11", op.name, 0, "", fail});
    rows.push_back({op.name + std::string(" default SKF"), kBoth3, op.call, "skf", op.name, 0, "", fail});
    rows.push_back({op.name + std::string(" no default"), kNoDefault, op.call, nullptr, op.name,
                    ORVA_E_INVALID_CALL, "[ERROR]m_pDefaultObj is NULL!", ""});
  }

  Call verify = [](CDevice& d) { uint32_t l = 9; return d.VerifyPIN(PIN_USER, "1234", &l); };
  rows.push_back({"VerifyPIN paired, default P11", kBoth2, verify, "skf", "VerifyPIN", 0, "",
                  "m_pSkfDevObj->VerifyPIN() failed!"});
  rows.push_back({"VerifyPIN P11 only", kP11Only, verify, "p11", "VerifyPIN", 0, "",
                  "m_pDefaultObj->VerifyPIN() failed!"});
  rows.push_back({"VerifyPIN no view", kNoDefault, verify, nullptr, "VerifyPIN", ORVA_E_INVALID_CALL,
                  "[ERROR]m_pDefaultObj is NULL!", ""});

  for (const auto& op : AlgOps()) {
    auto with = [&](uint32_t alg) { return [c = op.call, alg](CDevice& d) { return c(d, alg); }; };
    std::string fail = std::string(op.failText) + " failed!";
    std::string n = op.name;
    // Keys follow their algorithm, whatever the default view.
    rows.push_back({n + " RSA, default SKF", kBoth3, with(ALG_RSA), "p11", op.name, 0, "", fail});
    rows.push_back({n + " SM2, default P11", kBoth2, with(ALG_SM2), "skf", op.name, 0, "", fail});
    rows.push_back({n + " class 3", kBoth2, with(3), nullptr, op.name, ORVA_E_INVALID_PARAM,
                    op.logsWrongType ? std::string("[ERROR]") + op.arg + " is wrong! ulType=0x3" : "",
                    ""});
    rows.push_back({n + " RSA without P11 view", kSkfOnly, with(ALG_RSA), nullptr, op.name,
                    ORVA_E_INVALID_CALL,
                    std::string("[ERROR]The interface is not found! ") + op.arg + "=0x1", ""});
    rows.push_back({n + " SM2 without SKF view", kP11Only, with(ALG_SM2), nullptr, op.name,
                    ORVA_E_INVALID_CALL,
                    std::string("[ERROR]The interface is not found! ") + op.arg + "=0x2", ""});
  }

  static uint8_t data[4] = {1, 2, 3, 4};
  Call pfx = [](CDevice& d) { return d.ImportPfx12(data, 4, "pw"); };
  Call lra = [](CDevice& d) {
    uint32_t l = 0;
    return d.DecryptLra(data, 4, nullptr, &l);
  };
  rows.push_back({"ImportPfx12 paired, default SKF", kBoth3, pfx, "p11", "ImportPfx12", 0, "",
                  "m_pP11DevObj->ImportPfx12() failed!"});
  rows.push_back({"ImportPfx12 SKF only", kSkfOnly, pfx, nullptr, "ImportPfx12", ORVA_E_INVALID_CALL,
                  "[ERROR]m_pP11DevObj is NULL!", ""});
  rows.push_back({"DecryptLra paired, default SKF", kBoth3, lra, "p11", "DecryptLra", 0, "",
                  "m_pP11DevObj->DecryptLra() failed!"});
  rows.push_back({"DecryptLra SKF only", kSkfOnly, lra, nullptr, "DecryptLra", ORVA_E_INVALID_CALL,
                  "[ERROR]m_pP11DevObj is NULL!", ""});

  auto del = [](uint32_t kind) {
    return [kind](CDevice& d) { return d.DeleteContainer(kind, "ORVA_ECC_CON", false); };
  };
  const std::string delFail = "pImplDevice->DeleteContainer() failed!";
  rows.push_back({"DeleteContainer kind 2", kBoth3, del(SDK_PKCS11), "p11", "DeleteContainer", 0, "", delFail});
  rows.push_back({"DeleteContainer kind 3", kBoth2, del(SDK_SKF), "skf", "DeleteContainer", 0, "", delFail});
  rows.push_back({"DeleteContainer kind 1, default SKF", kBoth3, del(1), "skf", "DeleteContainer", 0, "", delFail});
  rows.push_back({"DeleteContainer kind 1, default P11", kBoth2, del(1), "p11", "DeleteContainer", 0, "", delFail});
  rows.push_back({"DeleteContainer kind 3 without SKF view", kP11Only, del(SDK_SKF), nullptr,
                  "DeleteContainer", ORVA_E_INVALID_PARAM,
                  "[ERROR]The SDK interface object is NOT found! ulSDKType=0x3", ""});
  return rows;
}

}  // namespace

TEST(DeviceRouting, EveryRowReachesItsViewOrReportsTheMissingOne) {
  for (const auto& row : RoutingTable()) {
    SCOPED_TRACE(row.what);
    Fixture f(row.cfg);
    devtest::LogCapture log;
    uint32_t res = row.call(*f.dev);
    if (row.target == nullptr) {
      EXPECT_EQ(res, row.missingCode);
      EXPECT_TRUE(f.Calls("p11").empty());
      EXPECT_TRUE(f.Calls("skf").empty());
      if (!row.missingLog.empty()) EXPECT_TRUE(log.Contains(row.missingLog)) << log.Dump();
      else EXPECT_FALSE(log.Contains("[ERROR]")) << log.Dump();
      continue;
    }
    EXPECT_EQ(res, ORVA_OK);
    const char* other = std::string(row.target) == "p11" ? "skf" : "p11";
    auto calls = f.Calls(row.target);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), row.viewOp);
    EXPECT_TRUE(f.Calls(other).empty());
    EXPECT_FALSE(log.Contains("[ERROR]")) << log.Dump();

    // The view's failure comes back unchanged, with the member and operation named.
    f.SetResult(ORVA_E_PIN_LOCKED);
    devtest::LogCapture failLog;
    EXPECT_EQ(row.call(*f.dev), ORVA_E_PIN_LOCKED);
    EXPECT_TRUE(failLog.Contains(row.failLog + " ulRes=0x81000050")) << failLog.Dump();
  }
}

TEST(DeviceRouting, VerifyPinSetsTheLoggedInFlagOnlyOnSuccess) {
  Fixture f(kBoth2);
  bool logged = true;
  EXPECT_EQ(f.dev->IsLoginned(&logged), ORVA_OK);
  EXPECT_FALSE(logged);
  uint32_t left = 9;
  ASSERT_EQ(f.dev->VerifyPIN(PIN_USER, "1234", &left), ORVA_OK);
  EXPECT_EQ(left, 0u);  // the view said 3; success reports 0
  f.dev->IsLoginned(&logged);
  EXPECT_TRUE(logged);

  f.skf->result = ORVA_E_PIN_INCORRECT;
  EXPECT_EQ(f.dev->VerifyPIN(PIN_USER, "0000", &left), ORVA_E_PIN_INCORRECT);
  EXPECT_EQ(left, 3u);
  f.dev->IsLoginned(&logged);
  EXPECT_FALSE(logged);  // a failed verification clears an earlier success

  f.skf->result = ORVA_OK;
  EXPECT_EQ(f.dev->VerifyPIN(PIN_USER, "1234", nullptr), ORVA_OK);
  f.dev->ResetLogin();
  f.dev->IsLoginned(&logged);
  EXPECT_FALSE(logged);

  // A paired token whose default view is PKCS#11 lists the PKCS#11 view's certificates.
  f.p11->Clear();
  f.skf->Clear();
  uint32_t n;
  EXPECT_EQ(f.dev->GetCertCount(&n, true), ORVA_OK);
  EXPECT_EQ(f.p11->Calls(), std::vector<std::string>{"GetCertCount"});
  EXPECT_TRUE(f.skf->Calls().empty());
}

TEST(DeviceRouting, SessionsAndHandlersPassThroughTheirDevice) {
  Fixture f(kBoth2);
  SessionPtr s;
  ASSERT_EQ(f.dev->OpenSession(ALG_SM2, KEY_USAGE_SIGN, s), ORVA_OK);
  ASSERT_NE(s, nullptr);
  uint32_t left;
  EXPECT_EQ(s->Login(PIN_USER, "1234", &left), ORVA_OK);
  CryptoMsgPtr msg;
  ASSERT_EQ(s->CreateMsgHandler(MSG_HASH | SIGN_TYPE_RAW, 0, nullptr, msg), ORVA_OK);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->Update(nullptr, 0, true), ORVA_OK);
  EXPECT_EQ(f.skf->Calls(), (std::vector<std::string>{"OpenSession", "session.Login",
                                                      "session.CreateMsgHandler",
                                                      "session.msg.Update"}));

  // Only this device's own sessions can be closed through it.
  Fixture other(kBoth2);
  EXPECT_EQ(other.dev->CloseSession(ALG_SM2, s.get()), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(f.dev->CloseSession(ALG_SM2, s.get()), ORVA_OK);
  devtest::LogCapture log;
  EXPECT_EQ(s->Login(PIN_USER, "1234", &left), ORVA_E_INVALID_CALL);
  EXPECT_TRUE(log.Contains("The session has been closed!"));
  EXPECT_EQ(f.skf->Calls().back(), "CloseSession");
}

TEST(DeviceRouting, AStaleDeviceAnswersWithoutReachingItsViews) {
  Fixture f(kBoth2);
  SessionPtr s;
  ASSERT_EQ(f.dev->OpenSession(ALG_RSA, KEY_USAGE_SIGN, s), ORVA_OK);
  CryptoMsgPtr msg;
  ASSERT_EQ(s->CreateMsgHandler(MSG_SIGN | SIGN_TYPE_PKCS7, 0, nullptr, msg), ORVA_OK);
  std::weak_ptr<CDevice> weak = f.dev;
  DevicePtr held = f.dev;  // a connection still holding the device
  f.dev->_Release();
  f.dev.reset();
  ASSERT_FALSE(weak.expired());
  EXPECT_TRUE(held->IsStale());
  EXPECT_EQ(f.p11->Calls().back(), "Disconnect");
  EXPECT_EQ(f.skf->Calls().back(), "Disconnect");
  f.p11->Clear();
  f.skf->Clear();

  for (const auto& row : RoutingTable()) {
    if (row.target == nullptr) continue;
    Fixture g(row.cfg);
    g.dev->_Release();
    g.p11 ? g.p11->Clear() : void();
    g.skf ? g.skf->Clear() : void();
    EXPECT_EQ(row.call(*g.dev), ORVA_E_DEVICE_REMOVED) << row.what;
    EXPECT_TRUE(g.Calls("p11").empty() && g.Calls("skf").empty()) << row.what;
  }
  // What the device handed out before is stale too.
  uint32_t left;
  EXPECT_EQ(s->Login(PIN_USER, "1234", &left), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(msg->Update(nullptr, 0, true), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(held->LockDevice(10), ORVA_E_DEVICE_REMOVED);
  msg.reset();
  s.reset();
  EXPECT_TRUE(f.p11->Calls().empty());
  held.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(DeviceRouting, ReleaseWaitsForARunningCallOrLeavesTheDisconnectToIt) {
  for (uint32_t waitMs : {5000u, 20u}) {
    SCOPED_TRACE(waitMs);
    Fixture f(kBoth3);
    f.skf->blockGetSN = true;
    std::thread user([&] {
      char sn[64];
      uint32_t l = sizeof sn;
      EXPECT_EQ(f.dev->GetSN(sn, &l), ORVA_OK);
    });
    while (!f.skf->inGetSN) std::this_thread::sleep_for(1ms);
    std::thread releaser([&] { f.dev->_Release(waitMs); });
    if (waitMs == 20u) {
      releaser.join();  // returns while the call still runs; nothing disconnected yet
      EXPECT_EQ(f.skf->Calls(), std::vector<std::string>{});
    } else {
      std::this_thread::sleep_for(30ms);
    }
    f.skf->releaseGetSN = true;
    user.join();
    if (releaser.joinable()) releaser.join();
    // The view is disconnected after the running call, never under it.
    EXPECT_EQ(f.skf->Calls(), (std::vector<std::string>{"GetSN", "Disconnect"}));
    EXPECT_EQ(f.p11->Calls(), std::vector<std::string>{"Disconnect"});
  }
}

TEST(DeviceRouting, TheDeviceLockKeepsOtherSequencesOutButNotEnumeration) {
  Fixture f(kBoth3);
  ASSERT_EQ(f.dev->LockDevice(100), ORVA_OK);
  ASSERT_EQ(f.dev->LockDevice(100), ORVA_OK);  // the holder may take it again
  std::thread other([&] {
    devtest::LogCapture log;
    EXPECT_EQ(f.dev->LockDevice(50), ORVA_E_TIMEOUT);
    EXPECT_TRUE(log.Contains("The device is busy!"));
    char sn[64];
    uint32_t l = sizeof sn;
    EXPECT_EQ(f.dev->GetSN(sn, &l), ORVA_OK);  // enumeration does not wait
    CDeviceLock scoped(f.dev, 50);
    EXPECT_EQ(scoped.Result(), ORVA_E_TIMEOUT);
  });
  other.join();
  f.dev->UnlockDevice();
  f.dev->UnlockDevice();
  std::thread after([&] {
    CDeviceLock scoped(f.dev, 1000);
    EXPECT_TRUE(scoped);
  });
  after.join();
}

TEST(DeviceRouting, TheOneTimeKeyIsConsumedOnce) {
  Fixture f(kSkfOnly);
  std::vector<uint8_t> key;
  EXPECT_FALSE(f.dev->TakeOneTimeKey(key));
  f.dev->SetOneTimeKey({1, 2, 3});
  f.dev->SetOneTimeKey({4, 5, 6, 7});  // the next request replaces it
  ASSERT_TRUE(f.dev->TakeOneTimeKey(key));
  EXPECT_EQ(key, (std::vector<uint8_t>{4, 5, 6, 7}));
  EXPECT_FALSE(f.dev->TakeOneTimeKey(key));
}
