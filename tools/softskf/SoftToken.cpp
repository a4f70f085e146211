// The software token's state: devices, handle table, event queue, controls and the JSON
// state file named by SOFTSKF_STATE.
//
// State file (also the text of "reset" and SOFTSKF_ResetJson):
//   {"devices": [{"name": "SoftKey01", "present": true, "label": "...", "serial": "...",
//     "manufacturer": "...", "issuer": "...", "devAuthKey": "1234567812345678",
//     "applications": [{"name": "ORVA_APP", "fileRights": 16,
//       "adminPin": {"value": "admin1234", "maxRetry": 10, "remain": 10, "default": false},
//       "userPin": {...},
//       "containers": [{"name": "ORVA_ECC_CON",
//         "signKey": "<PKCS#8 PEM>" or "signKeyFile": "<path>",
//         "exchKey" / "exchKeyFile", "signCert": "<Base64 DER>" or "signCertFile": "<DER or PEM>",
//         "exchCert" / "exchCertFile"}]}]}]}
// Relative file names are taken from the folder of the state file. The token writes the
// file back (keys and certificates inline, mode 0600) after every change.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <fstream>
#include <sstream>

#include "tools/softskf/SoftToken.h"

namespace softskf {

namespace {

Token* g_pToken = nullptr;
std::once_flag g_once;

std::string ReadWholeFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Base64(const Bytes& b) {
  if (b.empty()) return {};
  std::string out(4 * ((b.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(),
                          static_cast<int>(b.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool FromBase64(const std::string& text, Bytes& out) {
  std::string s;
  for (char c : text)
    if (c != '\n' && c != '\r' && c != ' ') s += c;
  if (s.size() % 4) return false;
  out.assign(s.size() / 4 * 3, 0);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s.data()),
                          static_cast<int>(s.size()));
  if (n < 0) return false;
  size_t pad = 0;
  if (!s.empty() && s.back() == '=') ++pad;
  if (s.size() > 1 && s[s.size() - 2] == '=') ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return true;
}

// A certificate file in DER or PEM.
bool CertFromFile(const std::string& path, Bytes& der) {
  bool ok = false;
  std::string data = ReadWholeFile(path, &ok);
  if (!ok) return false;
  if (data.rfind("-----BEGIN", 0) == 0) {
    BIO* bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    X509* x = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (x == nullptr) return false;
    unsigned char* p = nullptr;
    int n = i2d_X509(x, &p);
    X509_free(x);
    if (n <= 0) return false;
    der.assign(p, p + n);
    OPENSSL_free(p);
    return true;
  }
  der.assign(data.begin(), data.end());
  return !der.empty();
}

std::string Resolve(const std::string& baseDir, const std::string& path) {
  if (path.empty() || path[0] == '/' || baseDir.empty()) return path;
  return baseDir + "/" + path;
}

std::string DerivedSerial(const std::string& name) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(name.data(), name.size(), md, &n, EVP_sm3(), nullptr);
  static const char* hex = "0123456789ABCDEF";
  std::string s = "SOFT";
  for (int i = 0; i < 6; ++i) {
    s += hex[md[i] >> 4];
    s += hex[md[i] & 15];
  }
  return s;
}

struct Parser {
  std::string baseDir;
  std::string error;

  bool Fail(const std::string& what) {
    if (error.empty()) error = what;
    return false;
  }

  bool Pin(const Json::Value& v, softskf::Pin& pin) {
    if (!v.isObject()) return Fail("a PIN is not an object");
    pin.value = v.get("value", "").asString();
    pin.maxRetry = v.get("maxRetry", 10).asUInt();
    pin.remain = v.get("remain", pin.maxRetry).asUInt();
    pin.isDefault = v.get("default", false).asBool();
    if (pin.maxRetry == 0 || pin.maxRetry > kMaxRetry || pin.remain > pin.maxRetry)
      return Fail("a PIN retry count is out of range");
    return true;
  }

  bool Key(const Json::Value& c, const char* inl, const char* file, PkeyPtr& key) {
    std::string pem;
    if (c.isMember(inl)) {
      pem = c[inl].asString();
    } else if (c.isMember(file)) {
      bool ok = false;
      pem = ReadWholeFile(Resolve(baseDir, c[file].asString()), &ok);
      if (!ok) return Fail(std::string("cannot read ") + c[file].asString());
    } else {
      return true;
    }
    key = crypto::KeyFromPem(pem);
    return key ? true : Fail(std::string("unreadable key in ") + inl);
  }

  bool Cert(const Json::Value& c, const char* inl, const char* file, Bytes& cert) {
    if (c.isMember(inl)) {
      if (!FromBase64(c[inl].asString(), cert)) return Fail(std::string("bad Base64 in ") + inl);
    } else if (c.isMember(file)) {
      if (!CertFromFile(Resolve(baseDir, c[file].asString()), cert))
        return Fail(std::string("cannot read ") + c[file].asString());
    }
    return cert.size() <= kMaxCert ? true : Fail("a certificate is too long");
  }

  bool Device(Token& t, const Json::Value& d, softskf::Device& dev) {
    if (!d.isObject() || !d["name"].isString() || d["name"].asString().empty())
      return Fail("a device has no name");
    dev.name = d["name"].asString();
    dev.present = d.get("present", true).asBool();
    dev.label = d.get("label", dev.name).asString();
    dev.serial = d.get("serial", DerivedSerial(dev.name)).asString();
    dev.manufacturer = d.get("manufacturer", dev.manufacturer).asString();
    dev.issuer = d.get("issuer", dev.issuer).asString();
    std::string authKey = d.get("devAuthKey", kDefaultDevAuthKey).asString();
    dev.devAuthKey.assign(16, 0);
    std::memcpy(dev.devAuthKey.data(), authKey.data(), std::min<size_t>(16, authKey.size()));
    for (const auto& a : d["applications"]) {
      auto app = std::make_unique<Application>();
      app->id = t.NextId();
      app->name = a.get("name", "").asString();
      if (app->name.empty() || app->name.size() > kMaxAppName) return Fail("bad application name");
      app->createFileRights = a.get("fileRights", SECURE_USER_ACCOUNT).asUInt();
      if (!Pin(a["adminPin"], app->admin) || !Pin(a["userPin"], app->user)) return false;
      for (const auto& c : a["containers"]) {
        auto con = std::make_unique<Container>();
        con->id = t.NextId();
        con->name = c.get("name", "").asString();
        if (con->name.empty() || con->name.size() > kMaxContainerName)
          return Fail("bad container name");
        if (!Key(c, "signKey", "signKeyFile", con->signKey) ||
            !Key(c, "exchKey", "exchKeyFile", con->exchKey) ||
            !Cert(c, "signCert", "signCertFile", con->signCert) ||
            !Cert(c, "exchCert", "exchCertFile", con->exchCert))
          return false;
        ULONG st = crypto::KeyType(con->signKey.get()), et = crypto::KeyType(con->exchKey.get());
        if (st && et && st != et) return Fail("keys of two algorithms in one container");
        con->type = c.get("type", st ? st : et).asUInt();
        app->containers.push_back(std::move(con));
      }
      dev.apps.push_back(std::move(app));
    }
    return true;
  }
};

bool FindIn(const std::vector<std::unique_ptr<Device>>& list, const std::string& name) {
  for (const auto& d : list)
    if (d->name == name) return true;
  return false;
}

Json::Value PinJson(const Pin& p) {
  Json::Value v(Json::objectValue);
  v["value"] = p.value;
  v["maxRetry"] = p.maxRetry;
  v["remain"] = p.remain;
  v["default"] = p.isDefault;
  return v;
}

}  // namespace

Token& Token::Get() {
  std::call_once(g_once, [] {
    g_pToken = new Token();  // released by Shutdown when the library is unloaded
    g_pToken->_Init();
  });
  return *g_pToken;
}

void Token::Shutdown() {
  StopControlServer();
  if (g_pToken == nullptr) return;
  {
    std::lock_guard<std::mutex> g(g_pToken->m_eventLock);
    g_pToken->m_bShutdown = true;
    g_pToken->m_eventCv.notify_all();
    // A thread still inside the wait keeps the object (it must not find it freed).
    if (g_pToken->m_waiters > 0) return;
  }
  delete g_pToken;
  g_pToken = nullptr;
}

void Token::_Init() {
  const char* state = std::getenv("SOFTSKF_STATE");
  if (state && *state) {
    m_statePath = state;
    bool ok = false;
    std::string text = ReadWholeFile(m_statePath, &ok);
    size_t slash = m_statePath.find_last_of('/');
    std::string error;
    if (ok && !_Parse(text, slash == std::string::npos ? "" : m_statePath.substr(0, slash),
                      m_devices, error)) {
      // Never overwrite a file the token cannot read.
      std::fprintf(stderr, "softskf: %s is not a token state (%s); it is left alone\n",
                   m_statePath.c_str(), error.c_str());
      m_devices.clear();
      m_statePath.clear();
    }
  }
  const char* control = std::getenv("SOFTSKF_CONTROL");
  if (control && *control) StartControlServer(control);
}

bool Token::_Parse(const std::string& text, const std::string& baseDir,
                   std::vector<std::unique_ptr<Device>>& devices, std::string& error) {
  Json::Value root(Json::objectValue);
  if (!text.empty()) {
    Json::CharReaderBuilder b;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &root, &error)) return false;
    if (!root.isObject()) {
      error = "the state is not an object";
      return false;
    }
  }
  Parser p{baseDir, ""};
  std::vector<std::unique_ptr<Device>> parsed;
  for (const auto& d : root["devices"]) {
    auto dev = std::make_unique<Device>();
    if (!p.Device(*this, d, *dev)) {
      error = p.error;
      return false;
    }
    if (FindIn(parsed, dev->name)) {
      error = "two devices named " + dev->name;
      return false;
    }
    parsed.push_back(std::move(dev));
  }
  devices = std::move(parsed);
  return true;
}

Device* Token::FindDevice(const std::string& name) {
  for (auto& d : m_devices)
    if (d->name == name) return d.get();
  return nullptr;
}

Device* Token::AddDevice(const std::string& name) {
  auto dev = std::make_unique<Device>();
  dev->name = name;
  dev->label = name.substr(0, 32);
  dev->serial = DerivedSerial(name);
  dev->devAuthKey.assign(16, 0);
  std::memcpy(dev->devAuthKey.data(), kDefaultDevAuthKey, 16);
  m_devices.push_back(std::move(dev));
  return m_devices.back().get();
}

HANDLE Token::NewHandle(Handle h) {
  uintptr_t id = m_nextHandle;
  m_nextHandle += 0x10;
  m_handles.emplace(id, std::move(h));
  return reinterpret_cast<HANDLE>(id);
}

ULONG Token::Resolve(HANDLE h, HandleKind kind, Handle** ppHandle, Device** ppDev,
                     Application** ppApp, Container** ppCon) {
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == m_handles.end() || it->second.kind != kind) return SAR_INVALIDHANDLEERR;
  Handle& hd = it->second;
  Device* dev = FindDevice(hd.device);
  if (dev == nullptr || !dev->present || dev->generation != hd.generation) return SAR_DEVICE_REMOVED;
  Application* app = nullptr;
  Container* con = nullptr;
  if (hd.appId) {
    for (auto& a : dev->apps)
      if (a->id == hd.appId) app = a.get();
    if (app == nullptr) return SAR_INVALIDHANDLEERR;
  }
  if (hd.containerId) {
    for (auto& c : app->containers)
      if (c->id == hd.containerId) con = c.get();
    if (con == nullptr) return SAR_INVALIDHANDLEERR;
  }
  if (ppHandle) *ppHandle = &hd;
  if (ppDev) *ppDev = dev;
  if (ppApp) *ppApp = app;
  if (ppCon) *ppCon = con;
  return SAR_OK;
}

bool Token::HasHandle(HANDLE h, HandleKind kind) const {
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
  return it != m_handles.end() && it->second.kind == kind;
}

void Token::CloseHandle(HANDLE h) {
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == m_handles.end()) return;
  Handle& hd = it->second;
  if (hd.kind == HandleKind::Application) {
    // The security state ends with the last handle that holds the application open.
    Device* dev = FindDevice(hd.device);
    if (dev && dev->generation == hd.generation) {
      for (auto& a : dev->apps) {
        if (a->id != hd.appId) continue;
        if (--a->openHandles <= 0) {
          a->openHandles = 0;
          a->userLoggedIn = a->adminLoggedIn = false;
        }
      }
    }
  }
  if (!hd.key.empty()) OPENSSL_cleanse(hd.key.data(), hd.key.size());
  uintptr_t id = it->first;
  m_handles.erase(it);
  std::vector<uintptr_t> children;
  for (const auto& [cid, c] : m_handles)
    if (c.parent == id) children.push_back(cid);
  for (uintptr_t c : children) CloseHandle(reinterpret_cast<HANDLE>(c));
}

void Token::_ClearHandles() {
  for (auto& [id, h] : m_handles)
    if (!h.key.empty()) OPENSSL_cleanse(h.key.data(), h.key.size());
  m_handles.clear();
}

// ---------------------------------------------------------------------------------------
// Events.

void Token::PostEvent(const std::vector<std::string>& names, ULONG type) {
  Event e;
  e.type = type;
  for (const auto& n : names) {
    e.names += n;
    e.names += '\0';
  }
  e.names += '\0';
  std::lock_guard<std::mutex> g(m_eventLock);
  if (m_events.size() >= kMaxEvents) m_events.pop_front();
  m_events.push_back(std::move(e));
  m_eventCv.notify_all();
}

ULONG Token::WaitEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent) {
  if (pulDevNameLen == nullptr || pulEvent == nullptr) return SAR_INVALIDPARAMERR;
  std::unique_lock<std::mutex> g(m_eventLock);
  uint64_t seq = m_cancelSeq;
  ++m_waiters;
  m_eventCv.wait(g, [&] { return !m_events.empty() || m_cancelSeq != seq || m_bShutdown; });
  --m_waiters;
  if (m_cancelSeq != seq || m_bShutdown) return SAR_NOT_EVENTERR;
  Event& e = m_events.front();
  ULONG needed = static_cast<ULONG>(e.names.size());
  if (szDevName == nullptr || *pulDevNameLen < needed) {
    *pulDevNameLen = needed;
    return SAR_BUFFER_TOO_SMALL;
  }
  std::memcpy(szDevName, e.names.data(), needed);
  *pulDevNameLen = needed;
  *pulEvent = e.type;
  m_events.pop_front();
  return SAR_OK;
}

void Token::CancelWait() {
  std::lock_guard<std::mutex> g(m_eventLock);
  ++m_cancelSeq;
  m_eventCv.notify_all();
}

int Token::Waiters() {
  std::lock_guard<std::mutex> g(m_eventLock);
  return m_waiters;
}

// ---------------------------------------------------------------------------------------
// Persistence.

std::string Token::ToJson() {
  Json::Value root(Json::objectValue);
  root["devices"] = Json::Value(Json::arrayValue);
  for (const auto& d : m_devices) {
    Json::Value dv(Json::objectValue);
    dv["name"] = d->name;
    dv["present"] = d->present;
    dv["label"] = d->label;
    dv["serial"] = d->serial;
    dv["manufacturer"] = d->manufacturer;
    dv["issuer"] = d->issuer;
    dv["devAuthKey"] = std::string(reinterpret_cast<const char*>(d->devAuthKey.data()),
                                   strnlen(reinterpret_cast<const char*>(d->devAuthKey.data()), 16));
    dv["applications"] = Json::Value(Json::arrayValue);
    for (const auto& a : d->apps) {
      Json::Value av(Json::objectValue);
      av["name"] = a->name;
      av["fileRights"] = a->createFileRights;
      av["adminPin"] = PinJson(a->admin);
      av["userPin"] = PinJson(a->user);
      av["containers"] = Json::Value(Json::arrayValue);
      for (const auto& c : a->containers) {
        Json::Value cv(Json::objectValue);
        cv["name"] = c->name;
        cv["type"] = c->type;
        if (c->signKey) cv["signKey"] = crypto::KeyToPem(c->signKey.get());
        if (c->exchKey) cv["exchKey"] = crypto::KeyToPem(c->exchKey.get());
        if (!c->signCert.empty()) cv["signCert"] = Base64(c->signCert);
        if (!c->exchCert.empty()) cv["exchCert"] = Base64(c->exchCert);
        av["containers"].append(cv);
      }
      dv["applications"].append(av);
    }
    root["devices"].append(dv);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  return Json::writeString(w, root) + "\n";
}

void Token::Save() {
  if (m_statePath.empty()) return;
  std::string text = ToJson();
  std::string tmp = m_statePath + ".tmp." + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "softskf: cannot write %s\n", tmp.c_str());
    return;
  }
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(fd);
  if (off != text.size() || ::rename(tmp.c_str(), m_statePath.c_str()) != 0) {
    ::unlink(tmp.c_str());
    std::fprintf(stderr, "softskf: cannot write %s\n", m_statePath.c_str());
  }
  OPENSSL_cleanse(text.data(), text.size());
}

ULONG Token::ResetText(const std::string& text, const std::string& baseDir) {
  std::vector<std::unique_ptr<Device>> devices;
  std::string error;
  if (!_Parse(text, baseDir, devices, error)) {
    std::fprintf(stderr, "softskf: reset: %s\n", error.c_str());
    return SAR_INDATAERR;
  }
  // Every earlier handle and security state ends with the old devices.
  for (auto& d : m_devices) ++d->generation;
  _ClearHandles();
  m_devices = std::move(devices);
  {
    std::lock_guard<std::mutex> g(m_eventLock);
    m_events.clear();
  }
  {
    std::lock_guard<std::mutex> g(m_controlLock);
    m_failNext.clear();
    m_calls.clear();
  }
  Save();
  return SAR_OK;
}

ULONG Token::Reset(const std::string& path) {
  bool ok = false;
  std::string text = ReadWholeFile(path, &ok);
  if (!ok) return SAR_FILEERR;
  size_t slash = path.find_last_of('/');
  return ResetText(text, slash == std::string::npos ? "" : path.substr(0, slash));
}

ULONG Token::Plug(const std::vector<std::string>& names, bool present) {
  std::vector<std::string> changed;
  for (const auto& n : names) {
    if (n.empty() || n.size() > 255) return SAR_NAMELENERR;
  }
  for (const auto& n : names) {
    Device* d = FindDevice(n);
    if (d == nullptr) {
      if (!present) continue;
      d = AddDevice(n);
      d->present = false;
    }
    if (d->present == present) continue;
    d->present = present;
    if (!present) {
      // Pulling the token out ends its handles and security states.
      ++d->generation;
      for (auto& a : d->apps) {
        a->userLoggedIn = a->adminLoggedIn = false;
        a->openHandles = 0;
      }
    }
    changed.push_back(n);
  }
  if (changed.empty()) return SAR_OK;
  Save();
  PostEvent(changed, present ? SKF_DEV_EVENT_INSERTED : SKF_DEV_EVENT_REMOVED);
  return SAR_OK;
}

void Token::FailNext(const std::string& function, ULONG code) {
  std::lock_guard<std::mutex> g(m_controlLock);
  if (code == SAR_OK) m_failNext.erase(function);
  else m_failNext[function] = code;
}

ULONG Token::Enter(const char* function) {
  std::lock_guard<std::mutex> g(m_controlLock);
  // Every call of the library passes here (a digest of 256 MiB is 262,144 of them): no
  // allocation once a name has been seen.
  std::string_view name(function);
  auto count = m_calls.find(name);
  if (count == m_calls.end()) count = m_calls.emplace(std::string(name), 0).first;
  ++count->second;
  if (m_failNext.empty()) return SAR_OK;
  auto it = m_failNext.find(name);
  if (it == m_failNext.end()) return SAR_OK;
  ULONG code = it->second;
  m_failNext.erase(it);
  return code;
}

ULONG Token::CallCount(const std::string& function) {
  std::lock_guard<std::mutex> g(m_controlLock);
  auto it = m_calls.find(function);
  return it == m_calls.end() ? 0 : it->second;
}

}  // namespace softskf
