// orvactl: sends one JSON command and prints the reply exactly as the agent wrote it.
//   orvactl '<json>'             post it to the running agent (127.0.0.1, ServicePort)
//   orvactl --local '<json>'     run it through the dispatcher in this process
//   without the JSON text the body is read from standard input
// The agent is trusted through the local CA in $ORVADESK_USER_DIR/tls/ca.crt.b64 and must
// present a certificate for orvadesk.localhost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"
#include "foundation/ScopeGuard.h"
#include "foundation/StringConvert.h"
#include "platform/AtomicFile.h"
#include "platform/OpenSsl.h"
#include "platform/Paths.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVAHttpHandler.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVATlsIdentity.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: orvactl ['<json>']          post to the running agent\n"
               "       orvactl --local ['<json>']  run through the dispatcher in-process\n"
               "       (without the JSON text the body is read from standard input)\n");
  return 2;
}

int Fail(const char* what) {
  std::fprintf(stderr, "orvactl: %s\n", what);
  return 1;
}

uint16_t ServicePort() {
  uint32_t port = 0;
  if (CRegOptions::ReadDword(SettingsScope::Machine, "ServicePort", port) && port > 0 &&
      port <= 65535)
    return static_cast<uint16_t>(port);
  return ORVA_SERVICE_PORT;
}

// One POST over TLS to the agent; the reply body goes to standard output byte for byte.
int RunRemote(const std::string& body) {
  std::string caB64;
  std::string caPath = orva::platform::JoinPath(CORVATlsIdentity::Dir(), "ca.crt.b64");
  if (orva::platform::ReadWholeFile(caPath, caB64) != 0)
    return Fail(("cannot read " + caPath + " (has the agent run once?)").c_str());
  std::vector<uint8_t> caDer;
  if (CStringConvert::Base64StringToBinary(caB64, caDer) != 0) return Fail("bad local CA file");
  const unsigned char* p = caDer.data();
  orva::ossl::X509Ptr ca(d2i_X509(nullptr, &p, static_cast<long>(caDer.size())));
  if (!ca) return Fail("bad local CA file");

  orva::ossl::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return Fail("SSL_CTX_new failed");
  X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), ca.get());
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);

  uint16_t port = ServicePort();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("socket failed");
  ScopeGuard closeFd([&] { close(fd); });
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return Fail(("the agent is not listening on 127.0.0.1:" + std::to_string(port)).c_str());

  orva::ossl::SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) return Fail("SSL_new failed");
  SSL_set_fd(ssl.get(), fd);
  SSL_set_tlsext_host_name(ssl.get(), ORVA_SERVICE_HOST);
  SSL_set1_host(ssl.get(), ORVA_SERVICE_HOST);
  if (SSL_connect(ssl.get()) != 1) {
    std::string err = orva::ossl::TakeErrors();
    return Fail(("TLS handshake with the agent failed: " + err).c_str());
  }

  std::string request = "POST / HTTP/1.1\r\nHost: " + std::string(ORVA_SERVICE_HOST) + ":" +
                        std::to_string(port) +
                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  size_t written = 0;
  if (SSL_write_ex(ssl.get(), request.data(), request.size(), &written) != 1)
    return Fail("sending the command failed");

  std::string in;
  size_t headEnd = std::string::npos;
  CORVAHttpRequest head;  // the reply's header block parses like a request's
  uint64_t want = 0;
  bool bHasLength = false;
  char buf[16384];
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = CORVAHttpRequest::FindHeaderEnd(in);
      if (headEnd != std::string::npos) {
        if (head.parseReq(std::string_view(in).substr(0, headEnd)) != 0)
          return Fail("malformed reply");
        bHasLength = head.GetBodyLength(want, bHasLength) == 0 && bHasLength;
      }
    }
    if (headEnd != std::string::npos && bHasLength && in.size() - headEnd >= want) break;
    size_t got = 0;
    if (SSL_read_ex(ssl.get(), buf, sizeof buf, &got) != 1) break;
    in.append(buf, got);
  }
  if (headEnd == std::string::npos) return Fail("no reply");
  std::string reply = in.substr(headEnd, bHasLength ? want : std::string::npos);
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  std::fflush(stdout);
  return head.GetFirstLine().find(" 200 ") != std::string::npos ? 0 : 1;
}

std::string ReadStdin() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

int RunLocal(const std::string& body) {
  InitLogFromMachineSettings();
  CORVAHttpHandler handler(nullptr, nullptr);
  handler.SetCallerOrigin(std::nullopt);  // a local program has no origin
  std::string reply;
  handler.ProcessHttpMsg(reply, body);
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--local") == 0) {
    if (argc == 2) return RunLocal(ReadStdin());
    if (argc == 3) return RunLocal(argv[2]);
    return Usage();
  }
  if (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0') return Usage();
  if (argc == 1) return RunRemote(ReadStdin());
  if (argc == 2) return RunRemote(argv[1]);
  return Usage();
}
