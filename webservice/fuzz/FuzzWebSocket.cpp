// Fuzz entry point: bytes a page sends after the opening handshake, cut into reads of
// varying size (the first byte chooses it), through the frame decoder. Every message it
// delivers must respect the limits and the RFC's rules.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/StringConvert.h"
#include "webservice/ORVAWebSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t kLimit = 4096;
  size_t step = (data[0] % 32) + 1;
  CORVAWsDecoder dec(kLimit);
  std::string buf;
  for (size_t off = 1; off < size; off += step) {
    buf.append(reinterpret_cast<const char*>(data + off), std::min(step, size - off));
    for (;;) {
      ORVA_WS_MESSAGE msg;
      uint16_t code = 0;
      CORVAWsDecoder::Result r = dec.Next(buf, msg, code);
      if (r == CORVAWsDecoder::kNeedMore) break;
      if (r == CORVAWsDecoder::kError) {
        if (code != ORVA_WS_CLOSE_PROTOCOL && code != ORVA_WS_CLOSE_BAD_DATA &&
            code != ORVA_WS_CLOSE_TOO_BIG)
          std::abort();
        return 0;  // the connection ends here
      }
      if (msg.payload.size() > kLimit) std::abort();
      if ((msg.opcode & 0x8) && msg.payload.size() > 125) std::abort();
      if (msg.opcode == ORVA_WS_OP_TEXT && !CStringConvert::IsValidUtf8(msg.payload)) std::abort();
      if (msg.opcode == ORVA_WS_OP_CONTINUATION) std::abort();
    }
  }
  return 0;
}
