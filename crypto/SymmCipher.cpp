#include "crypto/SymmCipher.h"

#include "crypto/OpenSSLProvider.h"
#include "foundation/DeviceTypes.h"

namespace orva::crypto {

uint32_t SymmKeyLenOf(uint32_t ulAlg) {
  switch (ulAlg) {
    case SYMM_DES_CBC:
    case SYMM_DES_ECB:
      return 8;
    case SYMM_SM4_ECB:
    case SYMM_SM4_CBC:
    case SYMM_AES128_CBC:
    case SYMM_AES128_ECB:
      return 16;
    case SYMM_3DES_CBC:
    case SYMM_3DES_ECB:
    case SYMM_AES192_CBC:
    case SYMM_AES192_ECB:
      return 24;
    case SYMM_AES256_CBC:
    case SYMM_AES256_ECB:
      return 32;
    default:
      return 0;
  }
}

const EVP_CIPHER* SymmCipherOf(uint32_t ulAlg, uint32_t* pulKeyLen) {
  if (pulKeyLen) *pulKeyLen = 0;
  const EVP_CIPHER* c = nullptr;
  switch (ulAlg) {
    case SYMM_DES_CBC:
    case SYMM_DES_ECB: {
      if (OrvaLoadLegacyProvider() != 0) return nullptr;
      // Fetched once from the legacy provider; the fetched objects live as long as the process.
      static EVP_CIPHER* s_desCbc = EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr);
      static EVP_CIPHER* s_desEcb = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
      c = ulAlg == SYMM_DES_CBC ? s_desCbc : s_desEcb;
      break;
    }
    case SYMM_3DES_CBC: c = EVP_des_ede3_cbc(); break;
    case SYMM_3DES_ECB: c = EVP_des_ede3_ecb(); break;
    case SYMM_SM4_ECB: c = EVP_sm4_ecb(); break;
    case SYMM_SM4_CBC: c = EVP_sm4_cbc(); break;
    case SYMM_AES128_CBC: c = EVP_aes_128_cbc(); break;
    case SYMM_AES192_CBC: c = EVP_aes_192_cbc(); break;
    case SYMM_AES256_CBC: c = EVP_aes_256_cbc(); break;
    case SYMM_AES128_ECB: c = EVP_aes_128_ecb(); break;
    case SYMM_AES192_ECB: c = EVP_aes_192_ecb(); break;
    case SYMM_AES256_ECB: c = EVP_aes_256_ecb(); break;
    default: return nullptr;
  }
  if (c && pulKeyLen) *pulKeyLen = SymmKeyLenOf(ulAlg);
  return c;
}

}  // namespace orva::crypto
