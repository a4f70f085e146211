#include "webservice/tests/TlsTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool TlsTestClient::ConnectTcp(uint16_t port) {
  Close();
  m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  // Short socket time-outs keep every later wait bounded (the connect itself may need a
  // SYN retry when the backlog is full).
  timeval tv{0, 200 * 1000};
  setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return true;
}

bool TlsTestClient::Connect(uint16_t port, const std::string& caPem, int timeoutMs) {
  if (!ConnectTcp(port)) return false;
  m_ctx = SSL_CTX_new(TLS_client_method());
  if (!caPem.empty()) {
    BIO* bio = BIO_new_mem_buf(caPem.data(), static_cast<int>(caPem.size()));
    X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (ca == nullptr) return false;
    X509_STORE_add_cert(SSL_CTX_get_cert_store(m_ctx), ca);
    X509_free(ca);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
  }
  m_ssl = SSL_new(m_ctx);
  SSL_set_fd(m_ssl, m_fd);
  SSL_set_tlsext_host_name(m_ssl, "orvadesk.localhost");
  if (!caPem.empty()) SSL_set1_host(m_ssl, "orvadesk.localhost");
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(m_ssl);
    if (r == 1) return true;
    int e = SSL_get_error(m_ssl, r);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && NowMs() < deadline) continue;
    return false;
  }
}

bool TlsTestClient::Send(std::string_view data) {
  size_t off = 0;
  int64_t deadline = NowMs() + 5000;
  while (off < data.size()) {
    size_t n = 0;
    ERR_clear_error();
    if (SSL_write_ex(m_ssl, data.data() + off, data.size() - off, &n) == 1) {
      off += n;
      continue;
    }
    int e = SSL_get_error(m_ssl, 0);
    if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && NowMs() < deadline) continue;
    return false;
  }
  return true;
}

bool TlsTestClient::SendRaw(std::string_view data) {
  return send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

TlsTestClient::Rd TlsTestClient::_ReadSome(int timeoutMs) {
  if (m_bClosed) return Rd::kClosed;
  if (m_ssl == nullptr || SSL_pending(m_ssl) == 0) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return Rd::kTimeout;
  }
  char buf[16384];
  if (m_ssl == nullptr) {
    ssize_t n = recv(m_fd, buf, sizeof buf, 0);
    if (n > 0) {
      m_buf.append(buf, static_cast<size_t>(n));
      return Rd::kData;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Rd::kTimeout;
    m_bClosed = true;
    return Rd::kClosed;
  }
  size_t n = 0;
  ERR_clear_error();
  if (SSL_read_ex(m_ssl, buf, sizeof buf, &n) == 1) {
    m_buf.append(buf, n);
    return Rd::kData;
  }
  int e = SSL_get_error(m_ssl, 0);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return Rd::kTimeout;
  m_bClosed = true;
  return Rd::kClosed;
}

bool TlsTestClient::ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (done(m_buf)) return true;
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    if (_ReadSome(static_cast<int>(std::min<int64_t>(left, 200))) == Rd::kClosed)
      return done(m_buf);
  }
}

bool TlsTestClient::ReadResponse(std::string& head, std::string& body, int timeoutMs) {
  size_t headEnd = std::string::npos;
  size_t want = 0;
  auto complete = [&](const std::string& b) {
    if (headEnd == std::string::npos) {
      size_t p = b.find("\r\n\r\n");
      if (p == std::string::npos) return false;
      headEnd = p + 4;
      std::string h = b.substr(0, headEnd);
      size_t cl = h.find("Content-Length:");
      want = cl == std::string::npos ? 0 : std::stoul(h.substr(cl + 15));
    }
    return b.size() >= headEnd + want;
  };
  if (!ReadUntil(complete, timeoutMs)) return false;
  head = m_buf.substr(0, headEnd);
  body = m_buf.substr(headEnd, want);
  m_buf.erase(0, headEnd + want);
  return true;
}

bool TlsTestClient::ReadFrame(uint8_t& opcode, std::string& payload, int timeoutMs) {
  size_t total = 0, head = 0;
  auto complete = [&](const std::string& b) {
    if (b.size() < 2) return false;
    uint64_t len = static_cast<uint8_t>(b[1]) & 0x7F;
    head = 2;
    if (len == 126) {
      if (b.size() < 4) return false;
      len = (uint64_t(uint8_t(b[2])) << 8) | uint8_t(b[3]);
      head = 4;
    } else if (len == 127) {
      if (b.size() < 10) return false;
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | uint8_t(b[2 + i]);
      head = 10;
    }
    total = head + len;
    return b.size() >= total;
  };
  if (!ReadUntil(complete, timeoutMs)) return false;
  opcode = static_cast<uint8_t>(m_buf[0]) & 0x0F;
  payload = m_buf.substr(head, total - head);
  m_buf.erase(0, total);
  return true;
}

bool TlsTestClient::WaitClosed(int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (NowMs() < deadline) {
    if (_ReadSome(100) == Rd::kClosed) return true;
  }
  return false;
}

void TlsTestClient::Abort() {
  if (m_fd >= 0) {
    linger l{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  if (m_ssl) SSL_free(m_ssl);
  m_ssl = nullptr;
  Close();
}

void TlsTestClient::Close() {
  if (m_ssl) SSL_free(m_ssl);
  m_ssl = nullptr;
  if (m_ctx) SSL_CTX_free(m_ctx);
  m_ctx = nullptr;
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_bClosed = false;
  m_buf.clear();
}

std::string HttpPost(const std::string& body, const std::string& extraHeaders) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extraHeaders + "\r\n" + body;
}
