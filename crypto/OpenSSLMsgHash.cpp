#include "crypto/OpenSSLMsgHash.h"

#include <cstring>
#include <vector>

#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

// Parameters of the SM2 recommended curve (GM/T 0003.5): a, b, xG, yG.
constexpr uint8_t kSm2A[32] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr uint8_t kSm2B[32] = {
    0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
    0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93};
constexpr uint8_t kSm2Gx[32] = {
    0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
    0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7};
constexpr uint8_t kSm2Gy[32] = {
    0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
    0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0};

const EVP_MD* DigestOf(uint32_t ulAlg) {
  switch (ulAlg) {
    case HASH_MD5:
      return EVP_md5();
    case HASH_SHA1:
      return EVP_sha1();
    case HASH_SHA256:
      return EVP_sha256();
    case HASH_SM3:
      return EVP_sm3();
    default:
      return nullptr;
  }
}

}  // namespace

COpenSSLMsgHash::COpenSSLMsgHash() = default;
COpenSSLMsgHash::~COpenSSLMsgHash() = default;

void COpenSSLMsgHash::set_PublicKey(const uint8_t* pbX, const uint8_t* pbY) {
  if (pbX == nullptr || pbY == nullptr) return;
  std::memcpy(m_pubKeyX, pbX, sizeof m_pubKeyX);
  std::memcpy(m_pubKeyY, pbY, sizeof m_pubKeyY);
  m_bUseZ = true;
}

uint32_t COpenSSLMsgHash::_gm_sm3_getZ(const uint8_t* pbUserId, uint32_t ulUserIdLen, uint8_t* pbZ) const {
  ORVA_LOG_BEGIN();
  if (pbUserId == nullptr || ulUserIdLen == 0 || ulUserIdLen > kMaxUserIdLen) {
    ORVA_LOG_ERROR("userId is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  // Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA)
  std::vector<uint8_t> in;
  in.reserve(2 + ulUserIdLen + 6 * 32);
  uint32_t bits = ulUserIdLen * 8;
  in.push_back(static_cast<uint8_t>(bits >> 8));
  in.push_back(static_cast<uint8_t>(bits));
  in.insert(in.end(), pbUserId, pbUserId + ulUserIdLen);
  for (const uint8_t* part : {kSm2A, kSm2B, kSm2Gx, kSm2Gy})
    in.insert(in.end(), part, part + 32);
  in.insert(in.end(), m_pubKeyX, m_pubKeyX + 32);
  in.insert(in.end(), m_pubKeyY, m_pubKeyY + 32);
  unsigned int n = 0;
  if (EVP_Digest(in.data(), in.size(), pbZ, &n, EVP_sm3(), nullptr) != 1 || n != 32) {
    ORVA_LOG_ERROR("EVP_Digest() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgHash::Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen) {
  ORVA_LOG_BEGIN();
  if (m_ctx) {
    ORVA_LOG_ERROR("m_ctx is NOT NULL!");
    return ORVA_E_ALREADY_INITIALIZED;
  }
  const EVP_MD* md = DigestOf(ulAlg);
  if (md == nullptr) {
    ORVA_LOG_ERROR("Hash alg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  bool bZ = ulAlg == HASH_SM3 && m_bUseZ;
  if (bZ && (pbUserId == nullptr || ulUserIdLen == 0 || ulUserIdLen > kMaxUserIdLen)) {
    ORVA_LOG_ERROR("user_id is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  orva::ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) {
    ORVA_LOG_ERROR("EVP_MD_CTX_new() failed!");
    return ORVA_E_CALL_FAILED;
  }
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
    ORVA_LOG_ERROR("EVP_DigestInit_ex() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  if (bZ) {
    uint8_t z[32];
    uint32_t ulRes = _gm_sm3_getZ(pbUserId, ulUserIdLen, z);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_gm_sm3_getZ() failed!");
      return ulRes;
    }
    if (EVP_DigestUpdate(ctx.get(), z, sizeof z) != 1) {
      ORVA_LOG_ERROR("EVP_DigestUpdate() failed!");
      orva::ossl::TakeErrors();
      return ORVA_E_CALL_FAILED;
    }
  }
  m_ulDigestLen = static_cast<uint32_t>(EVP_MD_get_size(md));
  m_ctx = std::move(ctx);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgHash::Update(const uint8_t* lpInData, uint32_t ulInLen) {
  ORVA_LOG_BEGIN();
  if (!m_ctx) {
    ORVA_LOG_ERROR("m_ctx is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (lpInData == nullptr || ulInLen == 0) {
    ORVA_LOG_ERROR("lpInData is NULL or ulInLen is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (EVP_DigestUpdate(m_ctx.get(), lpInData, ulInLen) != 1) {
    ORVA_LOG_ERROR("EVP_DigestUpdate() failed!");
    orva::ossl::TakeErrors();
    m_ctx.reset();
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgHash::Final(uint8_t* pbRes, uint32_t* pulResLen) {
  ORVA_LOG_BEGIN();
  if (pulResLen == nullptr) {
    ORVA_LOG_ERROR("pulResLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_ctx) {
    ORVA_LOG_ERROR("m_ctx is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbRes == nullptr) {
    *pulResLen = m_ulDigestLen;
    ORVA_LOG_INFO("Return the requested buffer length: 0x%x!", m_ulDigestLen);
    return ORVA_OK;
  }
  if (*pulResLen < m_ulDigestLen) {
    ORVA_LOG_ERROR("Buffer is too small, the requested length: 0x%x", m_ulDigestLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  unsigned int n = 0;
  int ok = EVP_DigestFinal_ex(m_ctx.get(), pbRes, &n);
  m_ctx.reset();
  if (ok != 1) {
    ORVA_LOG_ERROR("EVP_DigestFinal_ex() failed! res=0x%x", static_cast<uint32_t>(ok));
    orva::ossl::TakeErrors();
    return ORVA_E_DIGEST_UPDATE;
  }
  *pulResLen = n;
  ORVA_LOG_END();
  return ORVA_OK;
}
