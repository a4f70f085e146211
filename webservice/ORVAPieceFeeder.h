#pragma once
// Feeds a stream to a streaming handler in pieces of 1 MiB, never holding more than one
// piece. Exactly `ullSize` bytes are fed (the size found when the stream was opened): a
// stream that ends sooner, because the file shrank under us, is a read failure rather than a
// shorter message.
#include <cstdint>

#include "foundation/CryptoMsg.h"
#include "foundation/Stream.h"

enum class OrvaLastPiece {
  // Signing and verification: a piece is the last when it is shorter than 1 MiB. Data of a
  // multiple of 1 MiB would end with an empty piece: it is not fed (hashing handlers read
  // no end mark, and the software verifier refuses empty pieces).
  kShortPiece,
  // Envelopes: the piece that is shorter than 1 MiB or completes the data.
  kCompletesData,
};

// Reads exactly `cb` bytes (one Read may return fewer): 0, the stream's code, or 0x8100001E
// when the stream ends first.
uint32_t OrvaReadFull(IStream* pStream, uint8_t* pb, uint32_t cb);

// 0, the handler's code of the failing Update (logged as "<lpcsUpdateName> failed!"), or the
// stream's code (0x8100001E when the stream ends early; logged as a read failure).
uint32_t OrvaFeedPieces(CCryptoMsg* pMsg, IStream* pStream, uint64_t ullSize, OrvaLastPiece rule,
                        const char* lpcsUpdateName);
