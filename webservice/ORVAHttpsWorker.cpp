#include "webservice/ORVAHttpsWorker.h"

#include <openssl/err.h>
#include <openssl/sha.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr const char* kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t kEventFrameBuffer = 2048;
constexpr size_t kReadChunk = 16384;  // one TLS record

// A header value echoed into a reply keeps only the characters header names are made of.
std::string EchoHeaderList(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (out.size() >= 1024) break;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == ',' || c == ' ')
      out += c;
  }
  return out;
}

std::string PackPreflight(const CORVAHttpRequest& req) {
  std::string origin = req.GetHeaderValue("Origin");
  std::string h = "HTTP/1.0 204 No Content\r\nDate: ";
  h += OrvaHttpDate();
  h += "\r\nAccess-Control-Allow-Origin: ";
  h += origin;
  h += "\r\nAccess-Control-Allow-Methods: POST, GET, OPTIONS\r\n";
  std::string headers = EchoHeaderList(req.GetHeaderValue("Access-Control-Request-Headers"));
  if (!headers.empty()) h += "Access-Control-Allow-Headers: " + headers + "\r\n";
  if (req.GetHeaderValue("Access-Control-Request-Private-Network") == "true")
    h += "Access-Control-Allow-Private-Network: true\r\n";
  h += "Access-Control-Max-Age: 600\r\nVary: Origin\r\nContent-Length:0\r\n"
       "Connection: keep-alive\r\n\r\n";
  return h;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CORVAWakeup

CORVAWakeup::CORVAWakeup() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CORVAWakeup::~CORVAWakeup() {
  if (m_fd >= 0) close(m_fd);
}

void CORVAWakeup::Signal() {
  uint64_t one = 1;
  ssize_t n = write(m_fd, &one, sizeof one);
  (void)n;  // a full counter is already a pending wake-up
}

void CORVAWakeup::Drain() {
  uint64_t v;
  ssize_t n = read(m_fd, &v, sizeof v);
  (void)n;
}

// ---------------------------------------------------------------------------------------
// CORVAHttpsWorker

CORVAHttpsWorker::CORVAHttpsWorker() = default;

CORVAHttpsWorker::~CORVAHttpsWorker() {
  if (m_thread.joinable()) {
    // The last reference can go on the connection's own thread (an abandoned worker).
    if (m_thread.get_id() == std::this_thread::get_id())
      m_thread.detach();
    else
      m_thread.join();
  }
  if (m_ssl != nullptr) SSL_free(m_ssl);
  if (m_cs >= 0) close(m_cs);
}

int32_t CORVAHttpsWorker::Start(const ORVA_WORKER_PARAM& param) {
  if (param.cs < 0) {
    std::printf("param.cs is error! param.cs = 0x%x\n", static_cast<unsigned>(param.cs));
    return -1;
  }
  if (param.ssl == nullptr) {
    std::printf("param.ssl is NULL!\n");
    return -1;
  }
  // From here the worker owns the socket and the TLS object.
  m_cs = param.cs;
  m_ssl = param.ssl;
  m_pDeviceMngr = param.pDeviceMngr;
  m_pCertCache = param.pCertCache;
  m_pListenerWakeup = param.pListenerWakeup;
  m_limits = param.limits;
  m_pStats = param.pStats;
  try {
    m_handler = std::make_unique<CORVAHttpHandler>(m_pDeviceMngr, m_pCertCache.get());
  } catch (const std::exception&) {
    std::printf("m_handler is NULL!\n");
    return -1;
  }
  m_bFinished = false;
  m_bStop = false;
  if (m_pStats) m_pStats->llLiveWorkers++;
  try {
    m_thread = std::thread(&CORVAHttpsWorker::WorkProc, shared_from_this());
  } catch (const std::system_error& e) {
    if (m_pStats) m_pStats->llLiveWorkers--;
    m_bFinished = true;
    std::printf("CreateThread() failed! ret = 0x%x\n", static_cast<unsigned>(e.code().value()));
    return e.code().value() ? e.code().value() : -1;
  }
  return 0;
}

void CORVAHttpsWorker::RequestStop() {
  m_bStop = true;
  m_wakeup.Signal();
}

uint32_t CORVAHttpsWorker::Stop() {
  bool bEnded = true;
  if (m_thread.joinable()) {
    m_bFinished = true;
    RequestStop();
    std::unique_lock<std::mutex> lk(m_exitLock);
    bEnded = m_exitCv.wait_for(lk, std::chrono::milliseconds(5000), [this] { return m_bExited; });
    lk.unlock();
    if (bEnded) {
      m_thread.join();
      if (m_ssl != nullptr) SSL_free(m_ssl);
      m_ssl = nullptr;
      if (m_cs >= 0) close(m_cs);
      m_cs = -1;
    } else {
      // A command that does not return (a token library that hangs): the thread is left
      // to itself and keeps this object alive; its socket is shut so the peer learns.
      ORVA_LOG_ERROR("The connection thread did not end within 5000 ms; it is abandoned.");
      shutdown(m_cs, SHUT_RDWR);
      m_thread.detach();
    }
  }
  if (bEnded) m_handler.reset();
  return 0;
}

uint32_t CORVAHttpsWorker::WorkProc(std::shared_ptr<CORVAHttpsWorker> self) {
  try {
    self->_Serve();
  } catch (const std::exception& e) {
    ORVA_LOG_ERROR("The connection ended on an exception: %s", e.what());
  } catch (...) {
    ORVA_LOG_ERROR("The connection ended on an exception!");
  }
  self->_Finish();
  return 0;
}

void CORVAHttpsWorker::_Finish() {
  m_bFinished = true;
  if (m_pStats) {
    if (m_bUpgraded) m_pStats->llOpenWebSockets--;
    m_pStats->llLiveWorkers--;
  }
  {
    std::lock_guard<std::mutex> g(m_exitLock);
    m_bExited = true;
  }
  m_exitCv.notify_all();
  // The listener reaps the worker as soon as it ends.
  if (m_pListenerWakeup) m_pListenerWakeup->Signal();
}

CORVAHttpsWorker::Io CORVAHttpsWorker::_Wait(short events, int64_t llDeadlineMs,
                                             bool bFlushFrames, bool bHonourStop) {
  for (;;) {
    if (bHonourStop && m_bStop) return Io::kStopped;
    int timeout = -1;
    if (llDeadlineMs >= 0) {
      int64_t left = llDeadlineMs - NowMs();
      if (left <= 0) return Io::kTimeout;
      timeout = static_cast<int>(std::min<int64_t>(left, 1 << 30));
    }
    pollfd fds[2] = {{m_cs, events, 0}, {m_wakeup.Fd(), POLLIN, 0}};
    int n = poll(fds, 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Io::kError;
    }
    if (n == 0) return Io::kTimeout;
    if (fds[1].revents) {
      m_wakeup.Drain();
      if (bHonourStop && m_bStop) return Io::kStopped;
      if (bFlushFrames) {
        Io f = _FlushFrames();
        if (f != Io::kOk) return f;
      }
    }
    if (fds[0].revents) return Io::kOk;
  }
}

CORVAHttpsWorker::Io CORVAHttpsWorker::_ReadMore(int64_t llDeadlineMs) {
  bool bWait = SSL_pending(m_ssl) == 0;
  for (;;) {
    if (bWait) {
      Io w = _Wait(POLLIN, llDeadlineMs, m_bUpgraded.load());
      if (w != Io::kOk) return w;
    }
    char buf[kReadChunk];
    ERR_clear_error();
    int r = SSL_read(m_ssl, buf, sizeof buf);
    if (r > 0) {
      m_in.append(buf, static_cast<size_t>(r));
      return Io::kOk;
    }
    int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ) {
      bWait = true;
      continue;
    }
    if (e == SSL_ERROR_WANT_WRITE) {
      Io w = _Wait(POLLOUT, llDeadlineMs);
      if (w != Io::kOk) return w;
      bWait = false;
      continue;
    }
    if (e != SSL_ERROR_ZERO_RETURN) m_bFatal = true;
    return Io::kClosed;  // reads that fail end the connection silently
  }
}

CORVAHttpsWorker::Io CORVAHttpsWorker::_WriteAll(const std::string& data, bool bFarewell) {
  size_t off = 0;
  int64_t deadline = NowMs() + (bFarewell ? 1000 : m_limits.nWriteTimeoutMs);
  while (off < data.size()) {
    size_t written = 0;
    ERR_clear_error();
    int r = SSL_write_ex(m_ssl, data.data() + off, data.size() - off, &written);
    if (r == 1) {
      off += written;
      continue;
    }
    int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
      Io w = _Wait(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline, false, !bFarewell);
      if (w != Io::kOk) return w;
      continue;
    }
    m_bFatal = true;
    return Io::kError;
  }
  return Io::kOk;
}

CORVAHttpsWorker::Io CORVAHttpsWorker::_FlushFrames() {
  for (;;) {
    std::string frame;
    {
      std::lock_guard<std::mutex> g(m_queueLock);
      if (m_bQueueOverflow) return Io::kError;  // a peer that reads no events is dropped
      if (m_frames.empty()) return Io::kOk;
      frame = std::move(m_frames.front());
      m_frames.pop_front();
    }
    Io w = _WriteAll(frame);
    if (w != Io::kOk) return w;
  }
}

bool CORVAHttpsWorker::_Handshake() {
  int64_t deadline = NowMs() + m_limits.nHandshakeTimeoutMs;
  for (;;) {
    ERR_clear_error();
    int r = SSL_accept(m_ssl);
    if (r == 1) return true;
    int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Io w = _Wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
      if (w == Io::kOk) continue;
      if (w == Io::kStopped) return false;
    }
    ORVA_LOG_ERROR("SSL_accept() failed! ret = 0x%x, err = 0x%x, Info:%s",
                   static_cast<unsigned>(r), static_cast<unsigned>(e),
                   SSL_state_string_long(m_ssl));
    if (m_pStats) m_pStats->ullHandshakeFailures++;
    m_bFatal = true;
    return false;
  }
}

void CORVAHttpsWorker::_Serve() {
  if (!_Handshake()) return;
  while (!m_bStop && _ServeOneRequest()) {
  }
  // A polite end where the TLS session is still sound.
  if (!m_bFatal) {
    ERR_clear_error();
    SSL_shutdown(m_ssl);
  }
  if (m_bLinger) _LingeringClose();
}

// After an error reply the peer may still be sending what we will not read (a 200 KB
// header, a refused body). Closing at once would answer that with a reset, and the reset
// can destroy our reply before the peer has read it: so our side is shut first and the
// rest is read and dropped for a short while.
void CORVAHttpsWorker::_LingeringClose() {
  shutdown(m_cs, SHUT_WR);
  int64_t deadline = NowMs() + 2000;
  size_t drained = 0;
  char buf[kReadChunk];
  while (drained < (8u << 20) && !m_bStop) {
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd fds[2] = {{m_cs, POLLIN, 0}, {m_wakeup.Fd(), POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) <= 0) break;
    if (fds[1].revents) m_wakeup.Drain();
    if (!fds[0].revents) continue;
    ssize_t n = recv(m_cs, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (n > 0) drained += static_cast<size_t>(n);
  }
}

bool CORVAHttpsWorker::_Refuse() {
  if (m_pStats) m_pStats->ullRefused++;
  ORVA_LOG_ERROR("Request refused! Origin:%.256s Host:%.256s", m_request.GetHeaderValue("Origin").c_str(),
                 m_request.GetHeaderValue("Host").c_str());
  Json::Value v(Json::objectValue);
  CORVAHttpHandler::SetResult(ORVA_E_INVALID_CALL, v);
  std::string body = CORVAHttpHandler::WriteCompact(v);
  _WriteAll(packRefusalHeader(body.size()) + body);
  m_bLinger = true;
  return false;
}

bool CORVAHttpsWorker::_ServeOneRequest() {
  m_request.Clear();
  // Between requests the connection may idle; a command or a dialog never counts here,
  // as nothing is read while one runs.
  if (m_in.empty()) {
    if (_ReadMore(NowMs() + m_limits.nIdleTimeoutMs) != Io::kOk) return false;
  }
  int64_t headerDeadline = NowMs() + m_limits.nHeaderTimeoutMs;
  size_t searched = 0;
  size_t headEnd;
  for (;;) {
    headEnd = CORVAHttpRequest::FindHeaderEnd(m_in, searched);
    if (headEnd != std::string::npos && headEnd <= m_limits.ulMaxHeaderBytes) break;
    if (headEnd != std::string::npos || m_in.size() > m_limits.ulMaxHeaderBytes) {
      ORVA_LOG_ERROR("HTTP Request error! Content:%.*s", 512, m_in.c_str());
      _WriteAll(PackErrorResponse(ORVA_E_BAD_INPUT_LENGTH, "Unkonw HTTP request!"));
      m_bLinger = true;
      return false;
    }
    searched = m_in.size();
    if (_ReadMore(headerDeadline) != Io::kOk) return false;
  }
  std::string head = m_in.substr(0, headEnd);
  m_in.erase(0, headEnd);

  uint32_t pr = m_request.parseReq(head);
  if (pr != ORVA_OK) {
    _WriteAll(PackErrorResponse(pr, "Unkonw HTTP request!"));
    m_bLinger = true;
    return false;
  }

  // Who may call: checked before anything of the request is acted on.
  const std::string* pOrigin = m_request.GetHeader("Origin");
  if (!CORVAAccessPolicy::IsHostAllowed(m_request.GetHeader("Host"))) return _Refuse();
  if (pOrigin != nullptr && !CORVAAccessPolicy::Instance().IsOriginAllowed(*pOrigin))
    return _Refuse();

  uint64_t ulLen = 0;
  bool bHasLength = false;
  uint32_t lr = m_request.GetBodyLength(ulLen, bHasLength);
  if (lr == ORVA_E_DATA_TOO_LONG) {
    _WriteAll(PackErrorResponse(ORVA_E_DATA_TOO_LONG, "Data length is too large!"));
    m_bLinger = true;
    return false;
  }
  if (lr != ORVA_OK) {
    _WriteAll(PackErrorResponse(lr, "Unkonw HTTP request!"));
    m_bLinger = true;
    return false;
  }

  std::string method = m_request.GetMethod();
  std::string& body = m_request.Body();
  body.clear();
  bool bPeerClosed = false;
  if (bHasLength) {
    if (ulLen > m_in.size() && m_request.HeaderHasToken("Expect", "100-continue")) {
      if (_WriteAll("HTTP/1.1 100 Continue\r\n\r\n") != Io::kOk) return false;
    }
    while (m_in.size() < ulLen) {
      Io r = _ReadMore(NowMs() + m_limits.nBodyTimeoutMs);
      if (r == Io::kClosed) {
        bPeerClosed = true;  // the partial body is still answered
        break;
      }
      if (r != Io::kOk) return false;
    }
    size_t take = static_cast<size_t>(std::min<uint64_t>(ulLen, m_in.size()));
    body.assign(m_in, 0, take);
    m_in.erase(0, take);
  } else if (method == "POST") {
    body.swap(m_in);  // no length: what came with the header
    m_in.clear();
  }
  bool bClose = bPeerClosed || m_request.HeaderHasToken("Connection", "close");

  if (method == "GET" && m_request.HeaderHasToken("Upgrade", "websocket") &&
      !GetAcceptSecKey(m_request).empty()) {
    std::string response;
    if (DoWebsocketHandShake(response, m_request) != ORVA_OK) return false;
    if (_WriteAll(response) != Io::kOk) return false;
    if (m_pStats) {
      m_pStats->ullUpgrades++;
      m_pStats->llOpenWebSockets++;
    }
    m_bUpgraded = true;
    _ServeWebSocket();
    return false;
  }

  if (method == "OPTIONS" && pOrigin != nullptr &&
      m_request.GetHeader("Access-Control-Request-Method") != nullptr) {
    return _WriteAll(PackPreflight(m_request)) == Io::kOk && !bClose;
  }

  std::string response;
  if (method == "GET" || method == "POST") {
    std::string msg = method == "GET" ? OrvaUrlDecode(body) : body;
    // The caller travels with every message: none for a local program.
    std::optional<std::string> caller;
    if (pOrigin != nullptr) caller.emplace(CORVAAccessPolicy::NormaliseOrigin(*pOrigin));
    m_handler->SetCallerOrigin(std::move(caller));
    std::string result;
    uint32_t r = ProcessMessage(result, msg);
    if (m_pStats) m_pStats->ullMessages++;
    if (r != ORVA_OK)
      response = PackErrorResponse(r, "Unkonw HTTP request!");
    else
      PackResponse(response, result);
  } else {
    response = PackErrorResponse(ORVA_E_INVALID_PARAM, "Unkonw HTTP request!");
  }
  if (!response.empty() && _WriteAll(response) != Io::kOk) return false;
  return !bClose;
}

void CORVAHttpsWorker::_ServeWebSocket() {
  CORVAWsDecoder decoder(m_limits.ulMaxWsMessage);
  for (;;) {
    for (;;) {
      ORVA_WS_MESSAGE msg;
      uint16_t usCode = 0;
      CORVAWsDecoder::Result r = decoder.Next(m_in, msg, usCode);
      if (r == CORVAWsDecoder::kNeedMore) break;
      if (r == CORVAWsDecoder::kError) {
        ORVA_LOG_ERROR("Bad WebSocket frame! Closing with 0x%x", usCode);
        _WriteAll(OrvaWsCloseFrame(usCode));
        return;
      }
      if (msg.opcode == ORVA_WS_OP_PING) {
        if (_WriteAll(OrvaWsFrame(ORVA_WS_OP_PONG, msg.payload)) != Io::kOk) return;
      } else if (msg.opcode == ORVA_WS_OP_CLOSE) {
        _WriteAll(OrvaWsCloseFrame(msg.closeCode));
        return;
      }
      // Data messages carry no command (commands travel as POST bodies): they are read
      // and let go, so the socket stays open.
    }
    Io r = _ReadMore(-1);  // never an idle time-out on a WebSocket
    if (r == Io::kStopped) {
      _WriteAll(OrvaWsCloseFrame(ORVA_WS_CLOSE_GOING_AWAY), true);
      return;
    }
    if (r != Io::kOk) return;
  }
}

// ---------------------------------------------------------------------------------------
// Handshake and framing

std::string CORVAHttpsWorker::GetAcceptSecKey(const CORVAHttpRequest& req) {
  const std::string* v = req.GetHeader("Sec-WebSocket-Key");
  if (v == nullptr) return {};
  std::string key = *v;
  size_t b = key.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = key.find_last_not_of(' ');
  return key.substr(b, e - b + 1);
}

std::string CORVAHttpsWorker::CalcResponseSecKey(const std::string& strKey) {
  if (strKey.empty()) {
    ORVA_LOG_ERROR("lpsSecKey is NULL!");
    return {};
  }
  std::string text = strKey + kWebSocketGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  std::string out;
  CStringConvert::BinaryToBase64String(digest, sizeof digest, out);
  return out;
}

std::string CORVAHttpsWorker::PackHandShakeData(const std::string& strAccept) {
  if (strAccept.empty()) return {};
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         strAccept + "\r\n\r\n";
}

uint32_t CORVAHttpsWorker::DoWebsocketHandShake(std::string& strResponse,
                                                const CORVAHttpRequest& req) {
  std::string key = GetAcceptSecKey(req);
  if (key.empty()) {
    ORVA_LOG_ERROR("Get Sec-WebSocket-Key data from shake hand data failed!");
    return ORVA_E_CALL_FAILED;
  }
  std::string accept = CalcResponseSecKey(key);
  if (accept.empty()) {
    ORVA_LOG_ERROR("Calc response Sec-WebSocket-Key data failed!");
    return ORVA_E_CALL_FAILED;
  }
  strResponse = PackHandShakeData(accept);
  if (strResponse.empty()) {
    ORVA_LOG_ERROR("Pack response shake hand data failed!");
    return ORVA_E_CALL_FAILED;
  }
  return ORVA_OK;
}

uint32_t CORVAHttpsWorker::ProcessMessage(std::string& strResult, const std::string& strMsg) {
  ORVA_LOG_BEGIN();
  if (!m_handler) {
    ORVA_LOG_ERROR("m_handler is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_handler->ProcessHttpMsg(strResult, strMsg) != ORVA_OK) {
    ORVA_LOG_ERROR("ProcessHttpMsg() failed!");
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpsWorker::PackResponse(std::string& strResponse, const std::string& strResult) {
  if (strResult.empty()) {
    ORVA_LOG_ERROR("result is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string header = packRespHeader(strResult.size());
  if (header.empty()) {
    ORVA_LOG_ERROR("packRespHeader() failed!");
    return ORVA_E_CALL_FAILED;
  }
  strResponse = header + strResult;
  return ORVA_OK;
}

std::string CORVAHttpsWorker::PackErrorResponse(uint32_t ulRes, const char* lpcsText) {
  Json::Value v(Json::objectValue);
  v["res"] = Json::Value(static_cast<Json::Int>(static_cast<int32_t>(ulRes)));
  v["msg"] = Json::Value(lpcsText);
  std::string response;
  PackResponse(response, CORVAHttpHandler::WriteCompact(v));
  return response;
}

int32_t CORVAHttpsWorker::PackData(const std::string& strText, uint8_t* pbBuf, uint32_t* pulSize) {
  if (pulSize == nullptr) return -1;
  std::vector<uint8_t> utf8;
  uint32_t res = CStringConvert::StringToBinaryInUTF8(strText, utf8);
  if (res != ORVA_OK) {
    ORVA_LOG_ERROR("StringToBinaryInUTF8() failed! res = 0x%x", res);
    return static_cast<int32_t>(res);
  }
  size_t n = utf8.size();
  ORVA_LOG_INFO("payload_len = 0x%x !", static_cast<unsigned>(n));
  size_t frame;
  if (n < 126)
    frame = 2 + n;
  else if (n < 65535)
    frame = 4 + n;
  else
    return 0;  // never produced by the event push
  if (pbBuf == nullptr) {
    *pulSize = static_cast<uint32_t>(frame);
    return 0;
  }
  if (*pulSize < frame) return -1;
  pbBuf[0] = 0x81;
  size_t off = 2;
  if (n < 126) {
    pbBuf[1] = static_cast<uint8_t>(n);
  } else {
    pbBuf[1] = 126;
    pbBuf[2] = static_cast<uint8_t>(n >> 8);
    pbBuf[3] = static_cast<uint8_t>(n & 0xFF);
    off = 4;
  }
  std::memcpy(pbBuf + off, utf8.data(), n);
  *pulSize = static_cast<uint32_t>(frame);
  return 0;
}

uint32_t CORVAHttpsWorker::OnKeyEvent(uint32_t ulEventType, uint32_t ulIndex,
                                      const std::string& strLabel, CDeviceManager* pDeviceMngr) {
  ORVA_LOG_BEGIN();
  if (!m_handler) {
    ORVA_LOG_ERROR("This working thread is not started!");
    return 0;
  }
  if (m_bFinished) {
    ORVA_LOG_ERROR("This working thread is stopped!");
    return 0;
  }
  if (pDeviceMngr != m_pDeviceMngr) {
    ORVA_LOG_ERROR("This event is not for using device mananger!");
    return 0;
  }
  // Only a WebSocket peer expects frames; one pushed onto a plain HTTP connection would
  // corrupt its next reply.
  if (!m_bUpgraded) {
    ORVA_LOG_END();
    return 0;
  }
  Json::Value v(Json::objectValue);
  v["respType"] = Json::Value(CORVAHttpHandler::CodeToRespType(ORVA_RESP_DEVICE_EVENT));
  v["eventType"] = Json::Value(static_cast<Json::Int>(ulEventType));
  v["keyIndex"] = Json::Value(static_cast<Json::Int>(ulIndex));
  v["keyName"] = Json::Value(CStringConvert::SanitizeUtf8(strLabel));
  std::string text = CORVAHttpHandler::WriteCompact(v);

  uint32_t ulNeed = 0;
  uint8_t frame[kEventFrameBuffer];
  uint32_t ulSize = sizeof frame;
  if (PackData(text, nullptr, &ulNeed) == 0 && ulNeed > 0 &&
      PackData(text, frame, &ulSize) == 0) {
    {
      std::lock_guard<std::mutex> g(m_queueLock);
      if (m_frames.size() >= m_limits.ulMaxQueuedFrames)
        m_bQueueOverflow = true;
      else
        m_frames.emplace_back(reinterpret_cast<const char*>(frame), ulSize);
    }
    if (m_pStats) m_pStats->ullEventsQueued++;
    m_wakeup.Signal();
  }
  ORVA_LOG_END();
  return 0;
}
