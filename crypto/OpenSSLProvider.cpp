#include "crypto/OpenSSLProvider.h"

#include <openssl/provider.h>

#include <mutex>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"

uint32_t OrvaLoadLegacyProvider() {
  static std::once_flag once;
  static uint32_t s_ulRes = ORVA_E_CALL_FAILED;
  std::call_once(once, [] {
    // Kept loaded for the life of the process: the handles are never unloaded.
    OSSL_PROVIDER* pDefault = OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER* pLegacy = pDefault ? OSSL_PROVIDER_load(nullptr, "legacy") : nullptr;
    if (pDefault == nullptr || pLegacy == nullptr) {
      ORVA_LOG_ERROR("OSSL_PROVIDER_load() failed! %s", orva::ossl::TakeErrors().c_str());
      return;
    }
    s_ulRes = ORVA_OK;
  });
  return s_ulRes;
}
