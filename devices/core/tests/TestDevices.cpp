#include "devices/core/tests/TestDevices.h"

#include <chrono>
#include <cstring>

#include "certificates/X509Certificate.h"
#include "foundation/Buffer.h"
#include "foundation/ResultCodes.h"
#include "testing/TestPki.h"

namespace devtest {

namespace {

std::mutex g_recordLock;
std::vector<std::string> g_recorded;

std::mutex g_libLock;
std::map<std::string, std::shared_ptr<TestLibrary>> g_libs;

// A session of a test view: it closes its container through the view.
class CTestSession : public CSession {
 public:
  explicit CTestSession(std::shared_ptr<CDeviceFake> view) : m_view(std::move(view)) {}
  uint32_t Login(uint32_t, const char*, uint32_t* left) override {
    if (left) *left = 5;
    return Use();
  }
  uint32_t ExportPublicKey(uint32_t, bool, ORVA_PUBLIC_KEY_RECORD* rec) override {
    if (rec) std::memset(rec, 0, sizeof *rec);
    return Use();
  }
  uint32_t ExportCert(uint32_t, bool, std::unique_ptr<CX509Certificate>&) override {
    return ORVA_E_NO_CERT;
  }
  uint32_t CreateMsgHandler(uint32_t, uint32_t, CX509Certificate*, CryptoMsgPtr& msg) override;
  uint32_t SignDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t,
                      std::unique_ptr<CSignedData>&) override {
    return Use();
  }
  uint32_t VerifyDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, const uint8_t*, uint32_t,
                        uint32_t, CX509Certificate*) override {
    return Use();
  }
  uint32_t Use() {
    // The session's handles are those of its view: using them after the view was
    // disconnected is what the device's admission must prevent.
    auto* v = static_cast<CTestView*>(m_view.get());
    if (!v->Connected()) {
      ++CTestView::s_callsAfterDisconnect;
      return ORVA_E_INVALID_HANDLE;
    }
    return ORVA_OK;
  }

 private:
  std::shared_ptr<CDeviceFake> m_view;
};

class CTestHash : public CCryptoMsg {
 public:
  explicit CTestHash(CTestSession* s, std::shared_ptr<CDeviceFake> view)
      : m_session(s), m_view(std::move(view)) {}
  uint32_t Init(uint32_t, const uint8_t*, uint32_t, uint64_t, StreamPtr) override { return Use(); }
  uint32_t Update(const uint8_t*, uint32_t len, bool) override {
    m_total += len;
    return Use();
  }
  uint32_t Final(const uint8_t*, uint32_t, uint8_t* out, uint32_t* outLen) override {
    uint32_t r = Use();
    if (r) return r;
    uint8_t result[4] = {static_cast<uint8_t>(m_total), 0, 0, 0};
    return OrvaCopyOut(result, sizeof result, out, outLen);
  }

 private:
  uint32_t Use() {
    auto* v = static_cast<CTestView*>(m_view.get());
    if (!v->Connected()) {
      ++CTestView::s_callsAfterDisconnect;
      return ORVA_E_INVALID_HANDLE;
    }
    return ORVA_OK;
  }
  CTestSession* m_session;
  std::shared_ptr<CDeviceFake> m_view;
  uint64_t m_total = 0;
};

uint32_t CTestSession::CreateMsgHandler(uint32_t, uint32_t, CX509Certificate*, CryptoMsgPtr& msg) {
  uint32_t r = Use();
  if (r) return r;
  msg = std::make_unique<CTestHash>(this, m_view);
  return ORVA_OK;
}

}  // namespace

void Record(const std::string& what) {
  std::lock_guard<std::mutex> g(g_recordLock);
  g_recorded.push_back(what);
}

std::vector<std::string> Recorded() {
  std::lock_guard<std::mutex> g(g_recordLock);
  return g_recorded;
}

void ClearRecorded() {
  std::lock_guard<std::mutex> g(g_recordLock);
  g_recorded.clear();
}

// ---------------------------------------------------------------------------------------

std::shared_ptr<TestLibrary> TestLibrary::Add(const std::string& path, uint32_t kind,
                                              std::vector<TestToken> tokens) {
  auto lib = std::make_shared<TestLibrary>(path, kind);
  lib->m_tokens = std::move(tokens);
  std::lock_guard<std::mutex> g(g_libLock);
  g_libs[path] = lib;
  return lib;
}

std::shared_ptr<TestLibrary> TestLibrary::Find(const std::string& path) {
  std::lock_guard<std::mutex> g(g_libLock);
  auto it = g_libs.find(path);
  return it == g_libs.end() ? nullptr : it->second;
}

void TestLibrary::ClearAll() {
  std::lock_guard<std::mutex> g(g_libLock);
  g_libs.clear();
}

void TestLibrary::RegisterFactories() {
  for (uint32_t kind : {SDK_PKCS11, SDK_SKF}) {
    CDeviceProxy::RegisterFactory(kind, [kind](const std::string& csp) {
      return std::make_shared<CTestProxy>(kind, csp);
    });
  }
}

void TestLibrary::Plug(const TestToken& token) {
  std::vector<std::shared_ptr<CTestProxy>> watchers;
  {
    std::lock_guard<std::mutex> g(m_lock);
    bool found = false;
    for (auto& t : m_tokens) {
      if (t.name == token.name) {
        t = token;
        t.present = true;
        found = true;
      }
    }
    if (!found) {
      m_tokens.push_back(token);
      m_tokens.back().present = true;
    }
    for (auto& w : m_watchers)
      if (auto p = w.lock()) watchers.push_back(p);
  }
  for (auto& p : watchers) p->_Report(token.name, 1);
}

void TestLibrary::Unplug(const std::string& name) {
  std::vector<std::shared_ptr<CTestProxy>> watchers;
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& t : m_tokens)
      if (t.name == name) t.present = false;
    for (auto& w : m_watchers)
      if (auto p = w.lock()) watchers.push_back(p);
  }
  for (auto& p : watchers) p->_Report(name, 2);
}

bool TestLibrary::WaitIdle(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool idle = true;
    {
      std::lock_guard<std::mutex> g(m_lock);
      for (auto& w : m_watchers)
        if (auto p = w.lock()) idle = idle && p->_Idle();
    }
    if (idle) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool TestLibrary::GetToken(const std::string& name, TestToken& out) const {
  std::lock_guard<std::mutex> g(m_lock);
  for (const auto& t : m_tokens) {
    if (t.name == name) {
      out = t;
      return true;
    }
  }
  return false;
}

std::vector<TestToken> TestLibrary::Present() const {
  std::lock_guard<std::mutex> g(m_lock);
  std::vector<TestToken> out;
  for (const auto& t : m_tokens)
    if (t.present) out.push_back(t);
  return out;
}

void TestLibrary::SetConnectable(const std::string& name, bool connectable) {
  std::lock_guard<std::mutex> g(m_lock);
  for (auto& t : m_tokens)
    if (t.name == name) t.connectable = connectable;
}

void TestLibrary::_Watch(const std::shared_ptr<CTestProxy>& proxy) {
  std::lock_guard<std::mutex> g(m_lock);
  m_watchers.push_back(proxy);
}

// ---------------------------------------------------------------------------------------

CTestProxy::~CTestProxy() { Unload(); }

uint32_t CTestProxy::Load(const std::string& csDllName, const std::string& csAuxDllName,
                          const ORVA_PROXY_START_ARGS* pInitArgs) {
  m_csDllName = csDllName;
  m_csAuxDllName = csAuxDllName;
  if (csDllName.empty() || pInitArgs == nullptr) return ORVA_E_INVALID_PARAM;
  m_lib = TestLibrary::Find(csDllName);
  if (!m_lib) return 126;  // the library cannot be loaded
  ++m_lib->loads;
  if (int ms = m_lib->loadDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (uint32_t r = m_lib->loadResult.load()) return r;
  if (pInitArgs->bWatchEvents) {
    m_pfnCallback = pInitArgs->pfnCallback;
    m_pCallbackArg = pInitArgs->pArg;
    m_bStop = false;
    m_thread = std::thread(&CTestProxy::_EventThread, this);
    m_lib->_Watch(std::static_pointer_cast<CTestProxy>(shared_from_this()));
  }
  return ORVA_OK;
}

uint32_t CTestProxy::StopEventThread() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bStop = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
    Record("stop:" + m_csDllName);
  }
  return ORVA_OK;
}

uint32_t CTestProxy::Unload() {
  StopEventThread();
  return ORVA_OK;
}

uint32_t CTestProxy::GetDevices(std::vector<std::shared_ptr<CDeviceFake>>& devices) {
  devices.clear();
  if (!m_lib) return ORVA_E_INVALID_CALL;
  if (uint32_t r = m_lib->getDevicesResult.load()) return r;
  auto self = std::static_pointer_cast<CTestProxy>(shared_from_this());
  for (const auto& t : m_lib->Present()) devices.push_back(std::make_shared<CTestView>(self, m_kind, t));
  return ORVA_OK;
}

void CTestProxy::_Report(const std::string& name, uint32_t type) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_bStop) return;
    m_events.emplace_back(name, type);
  }
  m_cv.notify_all();
}

bool CTestProxy::_Idle() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_events.empty() && !m_bBusy;
}

void CTestProxy::_EventThread() {
  for (;;) {
    std::pair<std::string, uint32_t> ev;
    {
      std::unique_lock<std::mutex> g(m_lock);
      m_cv.wait(g, [&] { return m_bStop || !m_events.empty(); });
      if (m_bStop) break;
      ev = m_events.front();
      m_events.pop_front();
      m_bBusy = true;
    }
    TestToken t;
    if (!m_lib->GetToken(ev.first, t)) t.name = ev.first;
    // The kit stops this thread before it lets go of the binding, so the binding is alive.
    auto self = std::static_pointer_cast<CTestProxy>(weak_from_this().lock());
    if (!self) break;
    auto view = std::make_shared<CTestView>(self, m_kind, t);
    self.reset();
    // As a vendor binding does: an inserted token is connected first; one that does not
    // connect is not reported.
    if (ev.second != 1 || view->Connect() == ORVA_OK) m_pfnCallback(view, ev.second, m_pCallbackArg);
    std::lock_guard<std::mutex> g(m_lock);
    m_bBusy = false;
  }
  std::lock_guard<std::mutex> g(m_lock);
  m_bBusy = false;
}

// ---------------------------------------------------------------------------------------

std::atomic<int> CTestView::s_callsAfterDisconnect{0};

CTestView::CTestView(std::shared_ptr<CTestProxy> proxy, uint32_t kind, const TestToken& token)
    : CDeviceFake(proxy, token.name, kind == SDK_PKCS11 ? token.slot : 0),
      m_kind(kind),
      m_token(token),
      m_lib(proxy ? proxy->Library() : nullptr) {}

CTestView::~CTestView() = default;

uint32_t CTestView::Connect() {
  auto lib = m_lib.lock();
  TestToken t;
  if (!lib || !lib->GetToken(m_token.name, t) || !t.present) return ORVA_E_CALL_FAILED;
  if (!t.connectable) return ORVA_E_DEVICE_REMOVED;
  m_token = t;
  m_bConnected = true;
  m_bEverConnected = true;
  return ORVA_OK;
}

uint32_t CTestView::Disconnect() {
  if (m_bConnected.exchange(false)) Record("disconnect:" + m_token.name);
  return ORVA_OK;
}

uint32_t CTestView::_Use() {
  if (!m_bConnected) {
    if (m_bEverConnected) ++s_callsAfterDisconnect;
    return ORVA_E_INVALID_CALL;
  }
  return ORVA_OK;
}

uint32_t CTestView::_Text(const std::string& text, char* buf, uint32_t* len) {
  if (uint32_t r = _Use()) return r;
  if (len == nullptr) return ORVA_E_INVALID_PARAM;
  uint32_t need = static_cast<uint32_t>(text.size() + 1);
  if (buf == nullptr) {
    *len = need;
    return ORVA_OK;
  }
  if (*len < need) return ORVA_E_BUFFER_TOO_SMALL;
  std::memcpy(buf, text.c_str(), need);
  *len = need - 1;
  return ORVA_OK;
}

uint32_t CTestView::GetDevStatus(uint32_t* s) {
  if (uint32_t r = _Use()) return r;
  if (s) *s = DEV_STATUS_USER;
  return ORVA_OK;
}
uint32_t CTestView::IsDefaultPIN(bool* b) {
  if (uint32_t r = _Use()) return r;
  if (b) *b = false;
  return ORVA_OK;
}
uint32_t CTestView::Initiliaze(const char*, const char*, const char*, const char*, uint32_t,
                               const char*) {
  return _Use();
}
uint32_t CTestView::GetSN(char* b, uint32_t* l) { return _Text(m_token.sn, b, l); }
uint32_t CTestView::GetLabel(char* b, uint32_t* l) { return _Text(m_token.label, b, l); }
uint32_t CTestView::SetLabel(const char*) { return _Use(); }
uint32_t CTestView::GetManufacturer(char* b, uint32_t* l) { return _Text("Test", b, l); }
uint32_t CTestView::VerifyPIN(uint32_t, const char* pin, uint32_t* left) {
  if (uint32_t r = _Use()) return r;
  if (pin == nullptr || std::strcmp(pin, "1234") != 0) {
    if (left) *left = 4;
    return ORVA_E_PIN_INCORRECT;
  }
  return ORVA_OK;
}
uint32_t CTestView::ChangePIN(uint32_t, const char*, const char*, uint32_t*) { return _Use(); }
uint32_t CTestView::UnLockPIN(const char*, const char*, uint32_t*) { return _Use(); }
uint32_t CTestView::OpenSession(uint32_t, uint32_t, SessionPtr& s) {
  if (uint32_t r = _Use()) return r;
  s = std::make_unique<CTestSession>(shared_from_this());
  ++m_openSessions;
  return ORVA_OK;
}
uint32_t CTestView::CloseSession(CSession* s) {
  if (uint32_t r = _Use()) return r;
  if (s == nullptr) return ORVA_E_INVALID_PARAM;
  --m_openSessions;
  return ORVA_OK;
}
uint32_t CTestView::GenRandom(uint8_t* p, uint32_t n) {
  if (uint32_t r = _Use()) return r;
  if (p) std::memset(p, 0x5A, n);
  return ORVA_OK;
}
uint32_t CTestView::GenCertRequest(bool, uint32_t, uint32_t, const char*, uint8_t*, uint32_t*) {
  return _Use();
}
uint32_t CTestView::ImportKeyPair(uint32_t, const uint8_t*, uint32_t) { return _Use(); }
uint32_t CTestView::ImportCert(uint32_t, bool, const uint8_t*, uint32_t) { return _Use(); }
uint32_t CTestView::ImportPfx12(const uint8_t*, uint32_t, const char*) { return _Use(); }
uint32_t CTestView::DecryptLra(const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return _Use(); }
uint32_t CTestView::GetEnvelopType(uint32_t, uint32_t*, uint32_t*) { return _Use(); }
uint32_t CTestView::ImportDualCertAndKeyPair(uint32_t, const uint8_t*, uint32_t, const uint8_t*,
                                             uint32_t, const uint8_t*, uint32_t, const char*) {
  return _Use();
}
uint32_t CTestView::ImportDualCert(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) {
  return _Use();
}
uint32_t CTestView::DeleteContainer(const char*, bool) { return _Use(); }

// The token's certificates from the test PKI, each bound to a container named after it;
// duplicates (by serial number) are listed once.
uint32_t CTestView::GetCertCount(uint32_t* pulCount, bool bRefresh) {
  if (uint32_t r = _Use()) return r;
  if (pulCount == nullptr) return ORVA_E_INVALID_PARAM;
  if (bRefresh || GetCertListSize() == 0) {
    std::vector<CertObjPtr> list;
    for (const auto& name : m_token.certs) {
      std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
      auto cert = std::make_shared<CX509Certificate>();
      if (der.empty() || cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())) != ORVA_OK)
        continue;
      cert->set_ProviderInfo(GetCspName().c_str(), ("CON-" + name).c_str());
      _AppendCertObj(list, std::move(cert));
    }
    _SetCertList(std::move(list));
  }
  *pulCount = static_cast<uint32_t>(GetCertListSize());
  return ORVA_OK;
}

}  // namespace devtest
