#include "devices/skf/GMSession.h"

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

CGMSession::CGMSession(CGMDeviceProxy* pGMProxy, const std::string& csDevName,
                       const std::string& csConName, DEVHANDLE hDev, HAPPLICATION hApplication,
                       HCONTAINER hContianer)
    : m_csDevName(csDevName.substr(0, 127)),
      m_csConName(csConName.substr(0, 127)),
      m_pGMProxy(pGMProxy),
      m_hDev(hDev),
      m_hApplication(hApplication),
      m_hContianer(hContianer) {}

CGMSession::~CGMSession() = default;

// Placeholders until the session operations are built (see the header).
#define ORVA_GM_SESSION_PLACEHOLDER()                              \
  do {                                                             \
    ORVA_LOG_ERROR("This session operation is not built yet!");    \
    return ORVA_E_NOT_SUPPORTED;                                   \
  } while (0)

uint32_t CGMSession::Login(uint32_t, const char*, uint32_t*) { ORVA_GM_SESSION_PLACEHOLDER(); }

uint32_t CGMSession::ExportPublicKey(uint32_t, bool, ORVA_PUBLIC_KEY_RECORD*) {
  ORVA_GM_SESSION_PLACEHOLDER();
}

uint32_t CGMSession::ExportCert(uint32_t, bool, std::unique_ptr<CX509Certificate>&) {
  ORVA_GM_SESSION_PLACEHOLDER();
}

uint32_t CGMSession::CreateMsgHandler(uint32_t, uint32_t, CX509Certificate*, CryptoMsgPtr&) {
  ORVA_GM_SESSION_PLACEHOLDER();
}

uint32_t CGMSession::SignDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t,
                                std::unique_ptr<CSignedData>&) {
  ORVA_GM_SESSION_PLACEHOLDER();
}

uint32_t CGMSession::VerifyDigest(uint32_t, const uint8_t*, uint32_t, uint32_t, const uint8_t*,
                                  uint32_t, uint32_t, CX509Certificate*) {
  ORVA_GM_SESSION_PLACEHOLDER();
}
