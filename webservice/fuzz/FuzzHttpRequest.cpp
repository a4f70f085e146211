// Fuzz entry point: bytes as a connection delivers them, through the request reader the
// worker uses: header blocks found with the cap, parsed, framed by their length, the
// WebSocket key and the access rules read. Invariants that must hold are checked.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/ResultCodes.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVAHttpsWorker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  const size_t kCap = 64 * 1024;
  CORVAHttpRequest req;
  for (int round = 0; round < 64 && !in.empty(); ++round) {
    size_t end = CORVAHttpRequest::FindHeaderEnd(in);
    if (end == std::string::npos || end > kCap) break;
    std::string head = in.substr(0, end);
    in.erase(0, end);
    uint32_t r = req.parseReq(head);
    // A block that ends with its blank line never lacks a line break.
    if (r == ORVA_E_BAD_INPUT_LENGTH) std::abort();
    if (r != ORVA_OK) break;
    CORVAAccessPolicy::IsHostAllowed(req.GetHeader("Host"));
    req.HeaderHasToken("Connection", "close");
    req.GetContentLength();
    if (req.HeaderHasToken("Upgrade", "websocket")) {
      std::string resp;
      if (CORVAHttpsWorker::DoWebsocketHandShake(resp, req) == ORVA_OK &&
          resp.compare(resp.size() - 4, 4, "\r\n\r\n") != 0)
        std::abort();
    }
    uint64_t len = 0;
    bool present = false;
    uint32_t lr = req.GetBodyLength(len, present);
    if (lr == ORVA_OK && len > ORVA_MAX_BODY_LENGTH) std::abort();
    if (lr != ORVA_OK) break;
    size_t take = static_cast<size_t>(std::min<uint64_t>(len, in.size()));
    std::string body = in.substr(0, take);
    in.erase(0, take);
    if (req.GetMethod() == "GET" && OrvaUrlDecode(body).size() > body.size()) std::abort();
  }
  return 0;
}
