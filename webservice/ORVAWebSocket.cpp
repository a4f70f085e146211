#include "webservice/ORVAWebSocket.h"

#include "foundation/StringConvert.h"

namespace {

bool IsControl(uint8_t op) { return (op & 0x8) != 0; }

// Close codes a peer may send (RFC 6455 section 7.4).
bool IsValidCloseCode(uint16_t code) {
  if (code >= 3000 && code <= 4999) return true;
  return code >= 1000 && code <= 1014 && code != 1004 && code != 1005 && code != 1006;
}

}  // namespace

CORVAWsDecoder::Result CORVAWsDecoder::Next(std::string& buf, ORVA_WS_MESSAGE& msg,
                                            uint16_t& usCloseCode) {
  for (;;) {
    if (buf.size() < 2) return kNeedMore;
    const auto* p = reinterpret_cast<const uint8_t*>(buf.data());
    bool fin = (p[0] & 0x80) != 0;
    uint8_t rsv = p[0] & 0x70;
    uint8_t op = p[0] & 0x0F;
    bool masked = (p[1] & 0x80) != 0;
    uint64_t len = p[1] & 0x7F;
    size_t head = 2;

    // Checks that need only the first two bytes come first, so that a bad frame is refused
    // before its payload is waited for.
    if (rsv != 0 || !masked) {
      usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
      return kError;
    }
    if (op != ORVA_WS_OP_CONTINUATION && op != ORVA_WS_OP_TEXT && op != ORVA_WS_OP_BINARY &&
        op != ORVA_WS_OP_CLOSE && op != ORVA_WS_OP_PING && op != ORVA_WS_OP_PONG) {
      usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
      return kError;
    }
    if (IsControl(op) && (!fin || len > 125)) {
      usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
      return kError;
    }
    if (op == ORVA_WS_OP_CONTINUATION && !m_bInMessage) {
      usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
      return kError;
    }
    if ((op == ORVA_WS_OP_TEXT || op == ORVA_WS_OP_BINARY) && m_bInMessage) {
      usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
      return kError;
    }

    if (len == 126) {
      if (buf.size() < 4) return kNeedMore;
      len = (uint64_t(p[2]) << 8) | p[3];
      head = 4;
    } else if (len == 127) {
      if (buf.size() < 10) return kNeedMore;
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
      head = 10;
      if (len >> 63) {
        usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
        return kError;
      }
    }
    size_t already = IsControl(op) ? 0 : m_message.size();
    if (len > m_ulMaxMessage || already + len > m_ulMaxMessage) {
      usCloseCode = ORVA_WS_CLOSE_TOO_BIG;
      return kError;
    }
    head += 4;  // the mask
    if (buf.size() < head + len) return kNeedMore;

    const uint8_t* mask = p + head - 4;
    std::string payload(static_cast<size_t>(len), '\0');
    for (size_t i = 0; i < len; ++i) payload[i] = static_cast<char>(p[head + i] ^ mask[i & 3]);
    buf.erase(0, head + static_cast<size_t>(len));

    if (IsControl(op)) {
      msg.opcode = op;
      msg.closeCode = 0;
      if (op == ORVA_WS_OP_CLOSE) {
        if (payload.size() == 1) {
          usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
          return kError;
        }
        if (payload.size() >= 2) {
          uint16_t code = static_cast<uint16_t>((uint8_t(payload[0]) << 8) | uint8_t(payload[1]));
          if (!IsValidCloseCode(code)) {
            usCloseCode = ORVA_WS_CLOSE_PROTOCOL;
            return kError;
          }
          if (!CStringConvert::IsValidUtf8(std::string_view(payload).substr(2))) {
            usCloseCode = ORVA_WS_CLOSE_BAD_DATA;
            return kError;
          }
          msg.closeCode = code;
        }
      }
      msg.payload = std::move(payload);
      return kMessage;
    }

    if (op != ORVA_WS_OP_CONTINUATION) {
      m_bInMessage = true;
      m_messageOpcode = op;
      m_message.clear();
    }
    m_message += payload;
    if (!fin) continue;

    m_bInMessage = false;
    if (m_messageOpcode == ORVA_WS_OP_TEXT && !CStringConvert::IsValidUtf8(m_message)) {
      usCloseCode = ORVA_WS_CLOSE_BAD_DATA;
      return kError;
    }
    msg.opcode = m_messageOpcode;
    msg.closeCode = 0;
    msg.payload = std::move(m_message);
    m_message.clear();
    return kMessage;
  }
}

std::string OrvaWsFrame(uint8_t opcode, std::string_view payload) {
  std::string f;
  f += static_cast<char>(0x80 | (opcode & 0x0F));
  size_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(n);
  } else if (n <= 0xFFFF) {
    f += static_cast<char>(126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xFF);
  } else {
    f += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>((uint64_t(n) >> (8 * i)) & 0xFF);
  }
  f.append(payload);
  return f;
}

std::string OrvaWsCloseFrame(uint16_t usCode) {
  if (usCode == 0) return OrvaWsFrame(ORVA_WS_OP_CLOSE, {});
  char code[2] = {static_cast<char>(usCode >> 8), static_cast<char>(usCode & 0xFF)};
  return OrvaWsFrame(ORVA_WS_OP_CLOSE, std::string_view(code, 2));
}

std::string OrvaWsClientFrame(uint8_t opcode, std::string_view payload, bool bFin,
                              uint32_t mask) {
  std::string f;
  f += static_cast<char>((bFin ? 0x80 : 0) | (opcode & 0x0F));
  size_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xFF);
  } else {
    f += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>((uint64_t(n) >> (8 * i)) & 0xFF);
  }
  uint8_t m[4] = {uint8_t(mask >> 24), uint8_t(mask >> 16), uint8_t(mask >> 8), uint8_t(mask)};
  f.append(reinterpret_cast<const char*>(m), 4);
  for (size_t i = 0; i < n; ++i) f += static_cast<char>(payload[i] ^ m[i & 3]);
  return f;
}
