#pragma once
// The loopback HTTPS and WebSocket service: a TLS listener on 127.0.0.1, one accept
// thread, and one CORVAHttpsWorker per connection. CORVAHttpServer is the facade the
// application starts, stops and hands device events to.
#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/DeviceTypes.h"
#include "platform/OpenSsl.h"
#include "webservice/ORVAHttpsWorker.h"

inline constexpr uint16_t ORVA_SERVICE_PORT = 6368;

class CORVACertCache;

class CORVAHttpsListener {
 public:
  explicit CORVAHttpsListener(const ORVA_SERVICE_LIMITS& limits, ORVA_SERVICE_STATS* pStats);
  ~CORVAHttpsListener();
  CORVAHttpsListener(const CORVAHttpsListener&) = delete;
  CORVAHttpsListener& operator=(const CORVAHttpsListener&) = delete;

  // Port 0 binds any free port (tests); GetPort tells which.
  uint32_t Start(uint16_t usPort, CDeviceManager* pDeviceMngr);
  uint32_t Stop();
  static uint32_t AcceptProc(CORVAHttpsListener* pThis);
  uint32_t DoAcceptClientSocket(int client);

  void OnKeyEvent(const DEVICE_EVENT_INFO& evt, CDeviceManager* pDeviceMngr);
  uint16_t GetPort() const { return m_usPort; }
  size_t WorkerCount();

 private:
  void _ReapFinished();

  int m_listenSocket = -1;
  orva::ossl::SslCtxPtr m_sslctx;
  std::thread m_acceptThread;
  std::atomic<bool> m_bStop{false};
  CDeviceManager* pDeviceMngr = nullptr;
  std::mutex m_workersLock;
  std::list<std::shared_ptr<CORVAHttpsWorker>> m_workers;
  // Certificates of "decode_cert", shared by every connection; made at Start, gone at Stop.
  std::shared_ptr<CORVACertCache> m_pCertCache;
  std::shared_ptr<CORVAWakeup> m_pWakeup;
  ORVA_SERVICE_LIMITS m_limits;
  ORVA_SERVICE_STATS* m_pStats;
  uint16_t m_usPort = 0;
};

class CORVAHttpServer {
 public:
  // True when the service runs (also when it already ran).
  static bool Start(uint16_t usPort, CDeviceManager* pDeviceMngr);
  static void Stop();
  // Pushes the event to every open WebSocket of that device manager.
  static void HandleKeyEvent(const DEVICE_EVENT_INFO& evt, CDeviceManager* pDeviceMngr);

  // Limits used by the next Start (tests shorten the time-outs).
  static void SetLimits(const ORVA_SERVICE_LIMITS& limits);
  static ORVA_SERVICE_LIMITS GetLimits();
  static ORVA_SERVICE_STATS& Stats();
  // The bound port while running, else 0.
  static uint16_t GetPort();
  static size_t WorkerCount();

  // The hosts file holds the line "127.0.0.1 orvadesk.localhost" exactly.
  static bool HostsFileHasEntry(const std::string& strPath);
  static void SetHostsPath(const std::string& strPath);  // tests

 private:
  static uint32_t _ConfigHosts();
  static std::unique_ptr<CORVAHttpsListener> s_pListenThread;
};
