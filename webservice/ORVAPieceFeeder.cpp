#include "webservice/ORVAPieceFeeder.h"

#include <algorithm>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVADeviceHelper.h"

// One Read is one system call and may return less than asked: read until the piece is full.
uint32_t OrvaReadFull(IStream* pStream, uint8_t* pb, uint32_t cb) {
  uint32_t ulDone = 0;
  while (ulDone < cb) {
    uint32_t ulRead = 0;
    uint32_t r = pStream->Read(pb + ulDone, cb - ulDone, &ulRead);
    if (r != ORVA_OK) return r;
    if (ulRead == 0) return ORVA_E_STREAM_READ;
    ulDone += ulRead;
  }
  return ORVA_OK;
}

uint32_t OrvaFeedPieces(CCryptoMsg* pMsg, IStream* pStream, uint64_t ullSize, OrvaLastPiece rule,
                        const char* lpcsUpdateName) {
  if (pMsg == nullptr || pStream == nullptr) return ORVA_E_INVALID_PARAM;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(ullSize, ORVA_STREAM_PIECE)) + 1);
  uint64_t ullLeft = ullSize;
  for (;;) {
    uint32_t ulLen = static_cast<uint32_t>(std::min<uint64_t>(ullLeft, ORVA_STREAM_PIECE));
    uint32_t r = OrvaReadFull(pStream, piece.data(), ulLen);
    if (r != ORVA_OK) {
      ORVA_LOG_ERROR("ReadFile() failed! hr=0x%x", r);
      return r;
    }
    ullLeft -= ulLen;
    bool bLast = ulLen < ORVA_STREAM_PIECE || (rule == OrvaLastPiece::kCompletesData && ullLeft == 0);
    // The empty last piece after data of whole pieces carries nothing, and verifiers refuse
    // empty pieces: hashing handlers need no mark of the end.
    if (bLast && ulLen == 0 && ullSize > 0) return ORVA_OK;
    r = pMsg->Update(piece.data(), ulLen, bLast);
    if (r != ORVA_OK) {
      ORVA_LOG_ERROR("%s failed! hr=0x%x", lpcsUpdateName, r);
      return r;
    }
    if (bLast) return ORVA_OK;
  }
}
