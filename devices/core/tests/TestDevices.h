#pragma once
// Test bindings for the device manager: a "library" is a list of tokens kept in memory under
// a path; a test proxy bound to that path lists its present tokens as test views and, when
// it watches events, reports plug and unplug on an event thread of its own, as a vendor
// library's binding does.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/core/DeviceFake.h"
#include "devices/core/DeviceProxy.h"

namespace devtest {

struct TestToken {
  std::string name;  // SKF device name or PKCS#11 slot description
  uint32_t slot = 0;
  std::string sn;
  std::string label;
  bool present = true;
  bool connectable = true;
  std::vector<std::string> certs;  // certificates of the test PKI the token holds
};

class CTestProxy;

// Process-wide record of what the bindings and views did, in order ("stop:<path>",
// "disconnect:<token>").
void Record(const std::string& what);
std::vector<std::string> Recorded();
void ClearRecorded();

class TestLibrary {
 public:
  // A library of one kind (SDK_PKCS11 or SDK_SKF) at a path; replaces an earlier one.
  static std::shared_ptr<TestLibrary> Add(const std::string& path, uint32_t kind,
                                          std::vector<TestToken> tokens);
  static std::shared_ptr<TestLibrary> Find(const std::string& path);
  static void ClearAll();

  // Registers the factories of both kinds (idempotent).
  static void RegisterFactories();

  TestLibrary(std::string path, uint32_t kind) : m_path(std::move(path)), m_kind(kind) {}

  // Insertion and removal: change the token list and report to every watching proxy.
  void Plug(const TestToken& token);
  void Unplug(const std::string& name);
  // Waits until every watching proxy has handed its reports to the callback.
  bool WaitIdle(int timeoutMs = 10000);

  bool GetToken(const std::string& name, TestToken& out) const;
  std::vector<TestToken> Present() const;
  void SetConnectable(const std::string& name, bool connectable);

  const std::string& Path() const { return m_path; }
  uint32_t Kind() const { return m_kind; }

  std::atomic<int> loadDelayMs{0};
  std::atomic<uint32_t> loadResult{0};
  std::atomic<uint32_t> getDevicesResult{0};
  std::atomic<int> loads{0};

  void _Watch(const std::shared_ptr<CTestProxy>& proxy);

 private:
  std::string m_path;
  uint32_t m_kind;
  mutable std::mutex m_lock;
  std::vector<TestToken> m_tokens;
  std::vector<std::weak_ptr<CTestProxy>> m_watchers;
};

class CTestProxy : public CDeviceProxy {
 public:
  CTestProxy(uint32_t kind, const std::string& csp) : CDeviceProxy(csp), m_kind(kind) {}
  ~CTestProxy() override;

  uint32_t Load(const std::string& csDllName, const std::string& csAuxDllName,
                const ORVA_PROXY_START_ARGS* pInitArgs) override;
  uint32_t Unload() override;
  uint32_t StopEventThread() override;
  uint32_t GetDevices(std::vector<std::shared_ptr<CDeviceFake>>& devices) override;

  void _Report(const std::string& name, uint32_t type);
  bool _Idle();
  std::shared_ptr<TestLibrary> Library() const { return m_lib; }
  uint32_t Kind() const { return m_kind; }

 private:
  void _EventThread();

  uint32_t m_kind;
  std::shared_ptr<TestLibrary> m_lib;
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<std::pair<std::string, uint32_t>> m_events;
  bool m_bBusy = false;
  bool m_bStop = false;
  std::thread m_thread;
};

// A view over one test token. Every operation counts its calls; key operations answer 0
// with a test session so that the stress test can run sequences.
class CTestView : public CDeviceFake {
 public:
  CTestView(std::shared_ptr<CTestProxy> proxy, uint32_t kind, const TestToken& token);
  ~CTestView() override;

  uint32_t GetDevType() const override { return m_kind; }
  uint32_t Connect() override;
  uint32_t Disconnect() override;
  uint32_t GetDevStatus(uint32_t* pulStatus) override;
  uint32_t IsDefaultPIN(bool* pbDefault) override;
  uint32_t Initiliaze(const char*, const char*, const char*, const char*, uint32_t,
                      const char*) override;
  uint32_t GetSN(char* lpsSN, uint32_t* pulLen) override;
  uint32_t GetLabel(char* lpsLabel, uint32_t* pulLen) override;
  uint32_t SetLabel(const char* lpcsLabel) override;
  uint32_t GetManufacturer(char* lpsManufacturer, uint32_t* pulLen) override;
  uint32_t VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) override;
  uint32_t ChangePIN(uint32_t, const char*, const char*, uint32_t*) override;
  uint32_t UnLockPIN(const char*, const char*, uint32_t*) override;
  uint32_t OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession) override;
  uint32_t CloseSession(CSession* pSession) override;
  uint32_t GenRandom(uint8_t* pbData, uint32_t ulLen) override;
  uint32_t GenCertRequest(bool, uint32_t, uint32_t, const char*, uint8_t*, uint32_t*) override;
  uint32_t ImportKeyPair(uint32_t, const uint8_t*, uint32_t) override;
  uint32_t ImportCert(uint32_t, bool, const uint8_t*, uint32_t) override;
  uint32_t ImportPfx12(const uint8_t*, uint32_t, const char*) override;
  uint32_t DecryptLra(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;
  uint32_t GetCertCount(uint32_t* pulCount, bool bRefresh) override;
  uint32_t GetEnvelopType(uint32_t, uint32_t*, uint32_t*) override;
  uint32_t ImportDualCertAndKeyPair(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t,
                                    const uint8_t*, uint32_t, const char*) override;
  uint32_t ImportDualCert(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) override;
  uint32_t DeleteContainer(const char*, bool) override;

  bool Connected() const { return m_bConnected.load(); }
  // Sessions of this view still open (their container handle not closed).
  int OpenSessions() const { return m_openSessions.load(); }
  // Calls that reached the view after it was disconnected (must stay 0).
  static std::atomic<int> s_callsAfterDisconnect;

 private:
  uint32_t _Use();  // a call that needs the connection
  uint32_t _Text(const std::string& text, char* buf, uint32_t* len);

  uint32_t m_kind;
  TestToken m_token;
  std::weak_ptr<TestLibrary> m_lib;
  std::atomic<bool> m_bConnected{false};
  std::atomic<bool> m_bEverConnected{false};
  std::atomic<int> m_openSessions{0};
};

}  // namespace devtest
