#pragma once
// A raw TLS client for the service tests: exact bytes out, exact bytes in, every wait
// bounded.
#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TlsTestClient {
 public:
  TlsTestClient() = default;
  ~TlsTestClient() { Close(); }
  TlsTestClient(const TlsTestClient&) = delete;
  TlsTestClient& operator=(const TlsTestClient&) = delete;

  bool ConnectTcp(uint16_t port);
  // TCP, then the TLS handshake with SNI orvadesk.localhost; with `caPem` the server's
  // certificate must chain to it and name orvadesk.localhost.
  bool Connect(uint16_t port, const std::string& caPem = "", int timeoutMs = 5000);
  bool Send(std::string_view data);
  bool SendRaw(std::string_view data);  // plain TCP bytes (no TLS)

  // Reads until `done(buffer)` holds, the peer closes, or the time runs out; returns
  // whether `done` held. The buffer keeps what is not consumed by the caller.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs = 5000);
  // One HTTP reply: the header block and a Content-Length body, taken out of the buffer.
  bool ReadResponse(std::string& head, std::string& body, int timeoutMs = 5000);
  // One server WebSocket frame (unmasked), taken out of the buffer.
  bool ReadFrame(uint8_t& opcode, std::string& payload, int timeoutMs = 5000);
  // True when the peer ends the connection within the time.
  bool WaitClosed(int timeoutMs = 5000);
  std::string& Buffer() { return m_buf; }

  void Abort();  // reset, no close notification
  void Close();
  int Fd() const { return m_fd; }

 private:
  enum class Rd { kData, kTimeout, kClosed };
  Rd _ReadSome(int timeoutMs);

  int m_fd = -1;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  bool m_bClosed = false;
  std::string m_buf;
};

// "POST / HTTP/1.1" with Host and Content-Length, plus any extra header lines.
std::string HttpPost(const std::string& body, const std::string& extraHeaders = "");
