#include "webservice/ORVAHttpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVATlsIdentity.h"

namespace {

// Guards s_pListenThread against Start, Stop and event delivery on different threads.
std::mutex& ServerLock() {
  static std::mutex m;
  return m;
}

ORVA_SERVICE_LIMITS& Limits() {
  static ORVA_SERVICE_LIMITS limits;
  return limits;
}

std::string& HostsPath() {
  static std::string path = "/etc/hosts";
  return path;
}

}  // namespace

std::unique_ptr<CORVAHttpsListener> CORVAHttpServer::s_pListenThread;

// ---------------------------------------------------------------------------------------
// CORVAHttpsListener

CORVAHttpsListener::CORVAHttpsListener(const ORVA_SERVICE_LIMITS& limits,
                                       ORVA_SERVICE_STATS* pStats)
    : m_limits(limits), m_pStats(pStats) {}

CORVAHttpsListener::~CORVAHttpsListener() {
  if (m_acceptThread.joinable() || !m_workers.empty()) Stop();
  if (m_listenSocket >= 0) close(m_listenSocket);
  m_listenSocket = -1;
}

uint32_t CORVAHttpsListener::Start(uint16_t usPort, CDeviceManager* pDeviceMngr) {
  ORVA_LOG_BEGIN();
  // Until the device manager is wired in, the agent runs without one and the device
  // commands answer that no manager is there.
  this->pDeviceMngr = pDeviceMngr;

  ORVA_SERVICE_IDENTITY id;
  uint32_t res = CORVATlsIdentity::Load(id);
  if (res != 0) {
    ORVA_LOG_ERROR("CORVATlsIdentity::Load() failed! ulRes = 0x%x", res);
    return ORVA_E_CALL_FAILED;
  }
  std::vector<uint8_t> certDer, keyDer;
  res = CStringConvert::Base64StringToBinary(id.strCertB64, certDer);
  if (res != 0 || certDer.empty()) {
    ORVA_LOG_ERROR("Base64Decode() failed! ret = 0x%x", res);
    OrvaSecureZero(id.strKeyB64);
    return res ? res : ORVA_E_BASE64;
  }
  res = CStringConvert::Base64StringToBinary(id.strKeyB64, keyDer);
  OrvaSecureZero(id.strKeyB64);
  ScopeGuard wipeKey([&] { OrvaSecureZero(keyDer); });
  const unsigned char* pKey = keyDer.data();
  orva::ossl::EvpPkeyPtr key(
      res == 0 ? d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &pKey, static_cast<long>(keyDer.size()))
               : nullptr);
  if (!key) {
    ORVA_LOG_ERROR("d2i_PrivateKey() failed!");
    return ORVA_E_CALL_FAILED;
  }

  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  m_sslctx.reset(SSL_CTX_new(TLS_server_method()));
  if (!m_sslctx) {
    ORVA_LOG_ERROR("SSL_CTX_new() failed!");
    return ORVA_E_CALL_FAILED;
  }
  if (SSL_CTX_use_certificate_ASN1(m_sslctx.get(), static_cast<int>(certDer.size()),
                                   certDer.data()) != 1) {
    ORVA_LOG_ERROR("SSL_CTX_use_certificate_ASN1() failed!");
    return ORVA_E_CALL_FAILED;
  }
  if (SSL_CTX_use_PrivateKey(m_sslctx.get(), key.get()) != 1) {
    ORVA_LOG_ERROR("SSL_CTX_use_PrivateKey() failed!");
    return ORVA_E_CALL_FAILED;
  }
  if (SSL_CTX_check_private_key(m_sslctx.get()) != 1) {
    ORVA_LOG_ERROR("SSL_CTX_check_private_key() failed!");
    return ORVA_E_CALL_FAILED;
  }
  // Idle keep-alive connections give their read and write buffers back.
  SSL_CTX_set_mode(m_sslctx.get(), SSL_MODE_RELEASE_BUFFERS);

  // A peer that has gone away must not end the process when a reply is written to it.
  signal(SIGPIPE, SIG_IGN);

  m_listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenSocket < 0) {
    uint32_t e = static_cast<uint32_t>(errno);
    ORVA_LOG_ERROR("socket() failed! ret = 0x%x", e);
    return e;
  }
  // A restart binds at once even while old connections linger in TIME_WAIT; a second
  // live listener on the port is still refused.
  int one = 1;
  setsockopt(m_listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(usPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(m_listenSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    uint32_t e = static_cast<uint32_t>(errno);
    ORVA_LOG_ERROR("bind() failed! ret = 0x%x", e);
    return e;
  }
  if (listen(m_listenSocket, m_limits.nListenBacklog) != 0) {
    uint32_t e = static_cast<uint32_t>(errno);
    ORVA_LOG_ERROR("listen() failed! ret = 0x%x", e);
    return e;
  }
  socklen_t alen = sizeof addr;
  getsockname(m_listenSocket, reinterpret_cast<sockaddr*>(&addr), &alen);
  m_usPort = ntohs(addr.sin_port);

  m_bStop = false;
  try {
    m_pCertCache = std::make_shared<CORVACertCache>();
    m_pWakeup = std::make_shared<CORVAWakeup>();
    m_acceptThread = std::thread(&CORVAHttpsListener::AcceptProc, this);
  } catch (const std::system_error& e) {
    ORVA_LOG_ERROR("CreateThread() failed! ret = 0x%x", static_cast<uint32_t>(e.code().value()));
    return static_cast<uint32_t>(e.code().value());
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

void CORVAHttpsListener::_ReapFinished() {
  std::list<std::shared_ptr<CORVAHttpsWorker>> done;
  {
    std::lock_guard<std::mutex> g(m_workersLock);
    for (auto it = m_workers.begin(); it != m_workers.end();) {
      if ((*it)->IsFinished()) {
        done.push_back(std::move(*it));
        it = m_workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Joined outside the lock: event delivery never waits for a thread's last breath.
  for (auto& w : done) w->Stop();
}

size_t CORVAHttpsListener::WorkerCount() {
  std::lock_guard<std::mutex> g(m_workersLock);
  return m_workers.size();
}

uint32_t CORVAHttpsListener::AcceptProc(CORVAHttpsListener* pThis) {
  try {
    while (!pThis->m_bStop) {
      pThis->_ReapFinished();
      // At the cap the listening socket is left alone: new peers wait in the backlog until
      // a connection ends.
      bool bAtCap = pThis->WorkerCount() >= pThis->m_limits.ulMaxConnections;
      pollfd fds[2] = {{pThis->m_listenSocket, static_cast<short>(bAtCap ? 0 : POLLIN), 0},
                       {pThis->m_pWakeup->Fd(), POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n < 0) {
        if (errno != EINTR) usleep(200 * 1000);
        continue;
      }
      if (fds[1].revents) pThis->m_pWakeup->Drain();
      if (pThis->m_bStop) break;
      if (!(fds[0].revents & POLLIN)) continue;
      int client = accept4(pThis->m_listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0) {
        // Out of descriptors, or the peer left before it was accepted.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          usleep(200 * 1000);
        continue;
      }
      if (pThis->m_pStats) pThis->m_pStats->ullAccepted++;
      pThis->DoAcceptClientSocket(client);
    }
  } catch (const std::exception& e) {
    ORVA_LOG_ERROR("The accept thread ended on an exception: %s", e.what());
  } catch (...) {
    ORVA_LOG_ERROR("The accept thread ended on an exception!");
  }
  return 0;
}

uint32_t CORVAHttpsListener::DoAcceptClientSocket(int client) {
  ORVA_LOG_BEGIN();
  if (!m_sslctx) {
    ORVA_LOG_ERROR("m_sslctx is NULL!");
    if (client >= 0) close(client);
    return ORVA_E_INVALID_CALL;
  }
  if (client < 0) {
    ORVA_LOG_ERROR("client is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  SSL* ssl = SSL_new(m_sslctx.get());
  if (ssl == nullptr) {
    ORVA_LOG_ERROR("SSL_new() failed!");
    close(client);
    return ORVA_E_CALL_FAILED;
  }
  int ret = SSL_set_fd(ssl, client);
  if (ret != 1) {
    ORVA_LOG_ERROR("SSL_set_fd() failed! ret = 0x%x, err = 0x%x", ret, SSL_get_error(ssl, ret));
    SSL_free(ssl);
    close(client);
    return ORVA_E_CALL_FAILED;
  }
  // The TLS handshake runs on the connection's own thread, with a time-out, so that a
  // silent or slow peer never holds up the next one.
  std::shared_ptr<CORVAHttpsWorker> worker;
  try {
    worker = std::make_shared<CORVAHttpsWorker>();
  } catch (const std::bad_alloc&) {
    SSL_free(ssl);
    close(client);
    return ORVA_E_MEMORY;
  }
  ORVA_WORKER_PARAM param;
  param.cs = client;
  param.ssl = ssl;
  param.pDeviceMngr = pDeviceMngr;
  param.pCertCache = m_pCertCache;
  param.pListenerWakeup = m_pWakeup;
  param.limits = m_limits;
  param.pStats = m_pStats;
  int32_t wres = worker->Start(param);
  if (wres != 0) {
    ORVA_LOG_ERROR("pNewWorkThread->Start() failed! ret = 0x%x", static_cast<uint32_t>(wres));
    worker->Stop();
    return static_cast<uint32_t>(wres);
  }
  {
    std::lock_guard<std::mutex> g(m_workersLock);
    m_workers.push_back(std::move(worker));
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpsListener::Stop() {
  if (!m_acceptThread.joinable() && m_workers.empty()) return 0;
  // The accept thread ends first, so that no new worker appears while the others stop.
  m_bStop = true;
  if (m_pWakeup) m_pWakeup->Signal();
  if (m_acceptThread.joinable()) m_acceptThread.join();

  std::list<std::shared_ptr<CORVAHttpsWorker>> workers;
  {
    std::lock_guard<std::mutex> g(m_workersLock);
    workers.swap(m_workers);
  }
  // Every connection is told at once, then each is waited for: a stop takes at most one
  // 5 s wait for the slowest, not 5 s per connection.
  for (auto& w : workers) w->RequestStop();
  for (auto& w : workers) w->Stop();
  workers.clear();

  // Connections still running (abandoned) keep their own reference to the context.
  m_sslctx.reset();
  if (m_listenSocket >= 0) {
    close(m_listenSocket);
    m_listenSocket = -1;
  }
  pDeviceMngr = nullptr;
  m_pCertCache.reset();  // the cached certificates end with the service
  m_usPort = 0;
  return 0;
}

void CORVAHttpsListener::OnKeyEvent(const DEVICE_EVENT_INFO& evt, CDeviceManager* pDeviceMngr) {
  std::string label(evt.szLabel, strnlen(evt.szLabel, sizeof evt.szLabel));
  std::lock_guard<std::mutex> g(m_workersLock);
  for (auto& w : m_workers) w->OnKeyEvent(evt.ulEventType, evt.ulIndex, label, pDeviceMngr);
}

// ---------------------------------------------------------------------------------------
// CORVAHttpServer

bool CORVAHttpServer::Start(uint16_t usPort, CDeviceManager* pDeviceMngr) {
  ORVA_LOG_BEGIN();
  _ConfigHosts();
  std::lock_guard<std::mutex> g(ServerLock());
  if (!s_pListenThread) {
    auto listener = std::make_unique<CORVAHttpsListener>(Limits(), &Stats());
    uint32_t res = listener->Start(usPort, pDeviceMngr);
    if (res != 0) {
      // Destroying the listener closes the socket and frees the context it left behind.
      ORVA_LOG_ERROR("s_pListenThread->Start() failed! ulRes = 0x%x", res);
      return false;
    }
    s_pListenThread = std::move(listener);
    CORVAAccessPolicy::Instance().ResetRunAnswers();
  }
  ORVA_LOG_END();
  return true;
}

void CORVAHttpServer::Stop() {
  ORVA_LOG_BEGIN();
  std::unique_ptr<CORVAHttpsListener> listener;
  {
    std::lock_guard<std::mutex> g(ServerLock());
    listener = std::move(s_pListenThread);
  }
  // Outside the lock: events arriving meanwhile find no listener and are dropped.
  if (listener) listener->Stop();
  ORVA_LOG_END();
}

void CORVAHttpServer::HandleKeyEvent(const DEVICE_EVENT_INFO& evt, CDeviceManager* pDeviceMngr) {
  ORVA_LOG_BEGIN();
  std::lock_guard<std::mutex> g(ServerLock());
  if (s_pListenThread != nullptr) s_pListenThread->OnKeyEvent(evt, pDeviceMngr);
  ORVA_LOG_END();
}

void CORVAHttpServer::SetLimits(const ORVA_SERVICE_LIMITS& limits) {
  std::lock_guard<std::mutex> g(ServerLock());
  Limits() = limits;
}

ORVA_SERVICE_LIMITS CORVAHttpServer::GetLimits() {
  std::lock_guard<std::mutex> g(ServerLock());
  return Limits();
}

ORVA_SERVICE_STATS& CORVAHttpServer::Stats() {
  static ORVA_SERVICE_STATS stats;
  return stats;
}

uint16_t CORVAHttpServer::GetPort() {
  std::lock_guard<std::mutex> g(ServerLock());
  return s_pListenThread ? s_pListenThread->GetPort() : 0;
}

size_t CORVAHttpServer::WorkerCount() {
  std::lock_guard<std::mutex> g(ServerLock());
  return s_pListenThread ? s_pListenThread->WorkerCount() : 0;
}

bool CORVAHttpServer::HostsFileHasEntry(const std::string& strPath) {
  std::ifstream f(strPath, std::ios::binary);
  if (!f) return false;
  const std::string want = std::string("127.0.0.1 ") + ORVA_SERVICE_HOST;
  std::string line;
  while (std::getline(f, line))
    if (line == want) return true;
  return false;
}

void CORVAHttpServer::SetHostsPath(const std::string& strPath) {
  std::lock_guard<std::mutex> g(ServerLock());
  HostsPath() = strPath;
}

uint32_t CORVAHttpServer::_ConfigHosts() {
  ORVA_LOG_BEGIN();
  std::string path;
  {
    std::lock_guard<std::mutex> g(ServerLock());
    path = HostsPath();
  }
  // There is no hosts configuration tool on this platform: browsers resolve *.localhost
  // themselves, and the missing line only matters to other programs.
  if (!HostsFileHasEntry(path))
    ORVA_LOG_INFO("%s has no line \"127.0.0.1 %s\"; programs that use the system resolver "
                  "cannot reach the service by name.",
                  path.c_str(), ORVA_SERVICE_HOST);
  ORVA_LOG_END();
  return 0;
}
