#pragma once
// WebSocket frames (RFC 6455 section 5) after the opening handshake: the decoder for what
// a page sends, and the server's control frames. Event frames are built by
// CORVAHttpsWorker::PackData.
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint8_t ORVA_WS_OP_CONTINUATION = 0x0;
inline constexpr uint8_t ORVA_WS_OP_TEXT = 0x1;
inline constexpr uint8_t ORVA_WS_OP_BINARY = 0x2;
inline constexpr uint8_t ORVA_WS_OP_CLOSE = 0x8;
inline constexpr uint8_t ORVA_WS_OP_PING = 0x9;
inline constexpr uint8_t ORVA_WS_OP_PONG = 0xA;

// Close codes the server sends.
inline constexpr uint16_t ORVA_WS_CLOSE_NORMAL = 1000;
inline constexpr uint16_t ORVA_WS_CLOSE_GOING_AWAY = 1001;
inline constexpr uint16_t ORVA_WS_CLOSE_PROTOCOL = 1002;
inline constexpr uint16_t ORVA_WS_CLOSE_BAD_DATA = 1007;
inline constexpr uint16_t ORVA_WS_CLOSE_TOO_BIG = 1009;

// One message (text or binary, reassembled from its fragments) or one control frame.
struct ORVA_WS_MESSAGE {
  uint8_t opcode = 0;  // text, binary, close, ping or pong
  std::string payload;
  uint16_t closeCode = 0;  // close frames: the code sent, 0 when none
};

class CORVAWsDecoder {
 public:
  enum Result { kNeedMore, kMessage, kError };

  // `ulMaxMessage` bounds a data message after reassembly.
  explicit CORVAWsDecoder(size_t ulMaxMessage = 1 << 20) : m_ulMaxMessage(ulMaxMessage) {}

  // Takes the next message out of `buf` (whole frames are consumed from its front).
  // kError sets `usCloseCode` to the code the connection is to be closed with: 1002 for an
  // unmasked, reserved, unknown or misplaced frame, 1007 for text that is not UTF-8 or a
  // bad close payload, 1009 for a message over the limit.
  Result Next(std::string& buf, ORVA_WS_MESSAGE& msg, uint16_t& usCloseCode);

 private:
  size_t m_ulMaxMessage;
  bool m_bInMessage = false;  // a fragmented data message is open
  uint8_t m_messageOpcode = 0;
  std::string m_message;
};

// An unmasked, final server frame of any opcode with a payload of at most 125 bytes
// (control frames) or any length (the 16- and 64-bit length forms).
std::string OrvaWsFrame(uint8_t opcode, std::string_view payload);
// A close frame carrying `usCode` (no reason text); 0 gives an empty close frame.
std::string OrvaWsCloseFrame(uint16_t usCode);
// Builds a client frame, masked with `mask` (tests and the fuzz corpus).
std::string OrvaWsClientFrame(uint8_t opcode, std::string_view payload, bool bFin = true,
                              uint32_t mask = 0x37FA213D);
