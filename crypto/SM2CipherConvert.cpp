#include "crypto/SM2CipherConvert.h"

#include <cstring>
#include <string>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "platform/OpenSsl.h"

namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

bool CSM2CipherConvert::IsPointOnCurve(const uint8_t* pbX, const uint8_t* pbY) {
  orva::ossl::EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
  orva::ossl::BnCtxPtr bnCtx(BN_CTX_new());
  orva::ossl::BnPtr x(BN_bin2bn(pbX, SM2_COORD_LEN, nullptr));
  orva::ossl::BnPtr y(BN_bin2bn(pbY, SM2_COORD_LEN, nullptr));
  if (!group || !bnCtx || !x || !y) return false;
  orva::ossl::EcPointPtr pt(EC_POINT_new(group.get()));
  bool on = pt && EC_POINT_set_affine_coordinates(group.get(), pt.get(), x.get(), y.get(), bnCtx.get()) == 1 &&
            EC_POINT_is_on_curve(group.get(), pt.get(), bnCtx.get()) == 1;
  ERR_clear_error();  // a point off the curve leaves an error behind
  return on;
}

uint32_t CSM2CipherConvert::Raw2Normal(const uint8_t* lpRawCipher, uint32_t ulRawLen, uint8_t* lpOut,
                                       uint32_t* lpulOutLen) {
  ORVA_LOG_BEGIN();
  if (lpRawCipher == nullptr || ulRawLen == 0) {
    ORVA_LOG_ERROR("lpRawCipher is NULL or ulRawLen = 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (lpulOutLen == nullptr) {
    ORVA_LOG_ERROR("lpulOutLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulRawLen < SM2_CIPHER_BLOB_HEADER) {
    ORVA_LOG_ERROR("ulRawLen is wrong! ulRawLen=0x%x", ulRawLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  uint32_t ulCipherLen = ReadLe32(lpRawCipher + SM2_BLOB_CIPHERLEN);
  if (ulCipherLen != ulRawLen - SM2_CIPHER_BLOB_HEADER) {
    ORVA_LOG_ERROR("CipherLen is wrong! CipherLen=0x%x, ulRawLen=0x%x", ulCipherLen, ulRawLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  uint32_t ulNeed = static_cast<uint32_t>(SM2_PLAIN_HEADER + ulCipherLen);
  if (lpOut == nullptr) {
    *lpulOutLen = ulNeed;
    ORVA_LOG_INFO("Return the requested buffer length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*lpulOutLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! The requested buffer length: 0x%x, but input buffer length:0x%x",
                   ulNeed, *lpulOutLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  lpOut[0] = 0x04;
  std::memcpy(lpOut + 1, lpRawCipher + SM2_BLOB_X + 32, SM2_COORD_LEN);
  std::memcpy(lpOut + 33, lpRawCipher + SM2_BLOB_Y + 32, SM2_COORD_LEN);
  std::memcpy(lpOut + 65, lpRawCipher + SM2_BLOB_HASH, SM2_HASH_LEN);
  std::memcpy(lpOut + SM2_PLAIN_HEADER, lpRawCipher + SM2_BLOB_CIPHER, ulCipherLen);
  *lpulOutLen = ulNeed;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSM2CipherConvert::Normal2Raw(const uint8_t* lpCipher, uint32_t ulLen, uint8_t* lpRawCipher,
                                       uint32_t* pulRawLen) {
  ORVA_LOG_BEGIN();
  if (lpCipher == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("lpCipher is NULL or ulLen = 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulRawLen == nullptr) {
    ORVA_LOG_ERROR("pulRawLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulLen < SM2_PLAIN_HEADER) {
    ORVA_LOG_ERROR("ulLen is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  if (lpCipher[0] != 0x04) {
    ORVA_LOG_ERROR("The cipher does not begin with 0x04! first byte=0x%x", lpCipher[0]);
    return ORVA_E_BAD_INPUT;
  }

  // Standard split: X from byte 1, Y from byte 33, the hash from byte 65.
  size_t xAt = 1, yAt = 33, hashAt = 65;
  bool bRepair = (ulLen == 114 || ulLen == 115) && !IsPointOnCurve(lpCipher + 1, lpCipher + 33);
  if (bRepair) {
    std::string hex;
    CStringConvert::BinaryToHexString(lpCipher, ulLen, hex);
    ORVA_LOG_INFO("This is wrong cipher! ulLen = 0x%x", ulLen);
    ORVA_LOG_INFO("Cipher:%s", hex.c_str());
    if (ulLen == 115) {
      ORVA_LOG_INFO("Deal with it as CASE1!");
      xAt = 2, yAt = 35, hashAt = 67;
    } else if (lpCipher[1] != 0) {
      ORVA_LOG_INFO("Deal with it as CASE2!");
      xAt = 1, yAt = 34, hashAt = 66;
    } else if (lpCipher[33] != 0) {
      ORVA_LOG_INFO("Deal with it as CASE3!");
      xAt = 2, yAt = 34, hashAt = 66;
    } else if ((lpCipher[2] & 0x80) == 0) {
      ORVA_LOG_INFO("Deal with it as CASE4!");
      xAt = 1, yAt = 34, hashAt = 66;
    } else {
      if (lpCipher[34] & 0x80)
        ORVA_LOG_INFO("Deal with it as CASE6!");
      else
        ORVA_LOG_INFO("Deal with it as CASE5!");
      xAt = 2, yAt = 34, hashAt = 66;
    }
    if (!IsPointOnCurve(lpCipher + xAt, lpCipher + yAt))
      ORVA_LOG_ERROR("The repaired point is not on the curve!");
  }
  uint32_t ulCipherLen = static_cast<uint32_t>(ulLen - hashAt - SM2_HASH_LEN);
  uint32_t ulNeed = static_cast<uint32_t>(SM2_CIPHER_BLOB_HEADER + ulCipherLen);
  if (lpRawCipher == nullptr) {
    *pulRawLen = ulNeed;
    ORVA_LOG_INFO("Return the requested buffer length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*pulRawLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! The requested buffer length: 0x%x, but input buffer length:0x%x",
                   ulNeed, *pulRawLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memset(lpRawCipher, 0, SM2_CIPHER_BLOB_HEADER);
  std::memcpy(lpRawCipher + SM2_BLOB_X + 32, lpCipher + xAt, SM2_COORD_LEN);
  std::memcpy(lpRawCipher + SM2_BLOB_Y + 32, lpCipher + yAt, SM2_COORD_LEN);
  std::memcpy(lpRawCipher + SM2_BLOB_HASH, lpCipher + hashAt, SM2_HASH_LEN);
  WriteLe32(lpRawCipher + SM2_BLOB_CIPHERLEN, ulCipherLen);
  std::memcpy(lpRawCipher + SM2_BLOB_CIPHER, lpCipher + hashAt + SM2_HASH_LEN, ulCipherLen);
  *pulRawLen = ulNeed;
  ORVA_LOG_END();
  return ORVA_OK;
}
