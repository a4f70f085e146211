#pragma once
// One TLS connection of the loopback service, served by a thread of its own: the TLS
// handshake (with a time-out), then HTTP requests one after another, each JSON body
// handed to the command dispatcher; or, after a WebSocket opening handshake, the event
// push and the frames the page sends. The thread is the only one that touches the
// connection's socket and TLS object: event frames from other threads are queued and the
// thread is woken to write them.
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "foundation/DeviceTypes.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVAWebSocket.h"

class CORVAHttpHandler;
class CORVACertCache;
class CORVAHttpsListener;

// Limits of one connection. The defaults are the service's; tests shorten them.
struct ORVA_SERVICE_LIMITS {
  size_t ulMaxConnections = 256;     // the accept thread waits while this many are open
  int nListenBacklog = 511;          // a burst of page loads does not lose SYNs
  int nHandshakeTimeoutMs = 10000;   // TCP accept to finished TLS handshake
  int nHeaderTimeoutMs = 10000;      // first byte of a request to its blank line
  int nBodyTimeoutMs = 30000;        // longest silence while a body arrives
  int nIdleTimeoutMs = 120000;       // keep-alive connection between requests
  int nWriteTimeoutMs = 30000;       // longest stall of a reply or frame write
  size_t ulMaxHeaderBytes = 64 * 1024;
  size_t ulMaxWsMessage = 1 << 20;
  size_t ulMaxQueuedFrames = 1024;   // events a WebSocket peer may leave unread
};

// Counters of the running service (read by tests and the benchmark).
struct ORVA_SERVICE_STATS {
  std::atomic<uint64_t> ullAccepted{0};
  std::atomic<uint64_t> ullHandshakeFailures{0};
  std::atomic<uint64_t> ullMessages{0};      // bodies handed to the dispatcher
  std::atomic<uint64_t> ullRefused{0};       // 403 answers
  std::atomic<uint64_t> ullUpgrades{0};      // WebSocket handshakes answered
  std::atomic<uint64_t> ullEventsQueued{0};  // event frames queued to upgraded connections
  std::atomic<int64_t> llOpenWebSockets{0};
  std::atomic<int64_t> llLiveWorkers{0};
};

// Wakes a sleeping thread through an eventfd; shared so that it outlives whichever of
// the listener and a late worker ends first.
class CORVAWakeup {
 public:
  CORVAWakeup();
  ~CORVAWakeup();
  CORVAWakeup(const CORVAWakeup&) = delete;
  CORVAWakeup& operator=(const CORVAWakeup&) = delete;
  void Signal();
  void Drain();
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

struct ORVA_WORKER_PARAM {
  int cs = -1;                 // the accepted socket, non-blocking; owned by the worker
  SSL* ssl = nullptr;          // on the listener's context, fd attached; owned by the worker
  CDeviceManager* pDeviceMngr = nullptr;
  // Shared, so that an abandoned connection never outlives the cache its handler uses.
  std::shared_ptr<CORVACertCache> pCertCache;
  std::shared_ptr<CORVAWakeup> pListenerWakeup;  // signalled when the connection ends
  ORVA_SERVICE_LIMITS limits;
  ORVA_SERVICE_STATS* pStats = nullptr;
};

class CORVAHttpsWorker : public std::enable_shared_from_this<CORVAHttpsWorker> {
 public:
  CORVAHttpsWorker();
  ~CORVAHttpsWorker();
  CORVAHttpsWorker(const CORVAHttpsWorker&) = delete;
  CORVAHttpsWorker& operator=(const CORVAHttpsWorker&) = delete;

  // 0, -1 on a bad parameter or missing handler, or the system error when the thread
  // cannot start. The worker must be owned by a shared_ptr.
  int32_t Start(const ORVA_WORKER_PARAM& param);
  // Ends the connection: wakes the thread, waits up to 5000 ms for it, and abandons it
  // (detached, its objects kept alive) when it does not end. 0.
  uint32_t Stop();
  // Tells the thread to end without waiting for it.
  void RequestStop();
  bool IsFinished() const { return m_bFinished.load(); }
  bool IsUpgraded() const { return m_bUpgraded.load(); }

  static uint32_t WorkProc(std::shared_ptr<CORVAHttpsWorker> self);

  // The opening handshake: the response to a request that is a WebSocket upgrade.
  static uint32_t DoWebsocketHandShake(std::string& strResponse, const CORVAHttpRequest& req);
  static std::string GetAcceptSecKey(const CORVAHttpRequest& req);
  static std::string CalcResponseSecKey(const std::string& strKey);
  static std::string PackHandShakeData(const std::string& strAccept);

  uint32_t ProcessMessage(std::string& strResult, const std::string& strMsg);
  static uint32_t PackResponse(std::string& strResponse, const std::string& strResult);
  // A server text frame of `strText` into `pbBuf` of `*pulSize` bytes; null buffer: the
  // size only. -1 when the buffer is too small; payloads of 65535 bytes or more are not
  // framed (size unchanged, result 0).
  static int32_t PackData(const std::string& strText, uint8_t* pbBuf, uint32_t* pulSize);
  // The error reply: {"msg":<text>,"res":<code>} packed as a 200 response.
  static std::string PackErrorResponse(uint32_t ulRes, const char* lpcsText);

  // Queues a "device_event_resp" frame for the connection's thread. Runs on the caller's
  // thread; never touches the socket. 0.
  uint32_t OnKeyEvent(uint32_t ulEventType, uint32_t ulIndex, const std::string& strLabel,
                      CDeviceManager* pDeviceMngr);

 private:
  enum class Io { kOk, kClosed, kTimeout, kStopped, kError };

  bool _Handshake();
  void _Serve();
  bool _ServeOneRequest();  // false: the connection ends
  void _ServeWebSocket();
  Io _ReadMore(int64_t llDeadlineMs);
  // Writes everything, waiting at most the write time-out for the peer to take it. A
  // farewell write (the close frame at a stop) goes out even though a stop is asked.
  Io _WriteAll(const std::string& data, bool bFarewell = false);
  Io _Wait(short events, int64_t llDeadlineMs, bool bFlushFrames = false,
           bool bHonourStop = true);
  Io _FlushFrames();
  void _Finish();
  void _LingeringClose();
  bool _Refuse();

  std::thread m_thread;
  std::atomic<bool> m_bFinished{false};
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bUpgraded{false};
  bool m_bFatal = false;  // the TLS session failed: no close notification
  bool m_bLinger = false; // closed after an error reply: drain before closing
  int m_cs = -1;
  SSL* m_ssl = nullptr;
  CDeviceManager* m_pDeviceMngr = nullptr;
  std::shared_ptr<CORVACertCache> m_pCertCache;
  std::unique_ptr<CORVAHttpHandler> m_handler;
  std::shared_ptr<CORVAWakeup> m_pListenerWakeup;
  ORVA_SERVICE_LIMITS m_limits;
  ORVA_SERVICE_STATS* m_pStats = nullptr;

  CORVAWakeup m_wakeup;
  std::mutex m_queueLock;
  std::deque<std::string> m_frames;
  bool m_bQueueOverflow = false;

  std::mutex m_exitLock;
  std::condition_variable m_exitCv;
  bool m_bExited = false;

  std::string m_in;  // bytes read and not yet consumed
  CORVAHttpRequest m_request;
};
