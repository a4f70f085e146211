// Authorisation requests and codes: the request that asks the authorisation service for a
// code for this very token, and the decryption of the code it answers with. The request
// carries a fresh triple-DES key under the service's public key; the code comes back
// encrypted with that key, which lives in the token's CDevice until the next code is read.
//
// Request record (integers 32-bit little-endian): 4, type, n, serial number (n <= 64),
// 36, key blob header 08 02 00 00 | 0x6603 | 0x18, the 24-byte key.
// Code record: 4, type, n, serial number (n <= 32), m, administrator PIN, and for type 1
// k, device authentication key.
#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/OpenSSLKey.h"
#include "devices/core/Device.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVADeviceHelper.h"

namespace {

constexpr uint32_t kTripleDesKeyLen = 24;
// A DER certificate of the service is a few KiB; its Base64 setting is bounded well above.
constexpr size_t kMaxAuthorityCertText = 64 * 1024;

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads the fields of a code record, every length checked against what is left.
class CRecordReader {
 public:
  CRecordReader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
  bool U32(uint32_t& v) {
    if (m_n - m_at < 4) return false;
    v = static_cast<uint32_t>(m_p[m_at]) | static_cast<uint32_t>(m_p[m_at + 1]) << 8 |
        static_cast<uint32_t>(m_p[m_at + 2]) << 16 | static_cast<uint32_t>(m_p[m_at + 3]) << 24;
    m_at += 4;
    return true;
  }
  // A length-prefixed text of at most `max` bytes; the text stops at a zero byte inside it.
  bool Text(std::string& s, size_t max) {
    uint32_t len = 0;
    if (!U32(len) || len > max || len > m_n - m_at) return false;
    const char* b = reinterpret_cast<const char*>(m_p + m_at);
    s.assign(b, strnlen(b, len));
    m_at += len;
    return true;
  }
  bool AtEnd() const { return m_at == m_n; }

 private:
  const uint8_t* m_p;
  size_t m_n;
  size_t m_at = 0;
};

}  // namespace

uint32_t CORVADeviceHelper::_GetAuthorityCert(std::vector<uint8_t>& der) {
  std::string text;
  if (!CRegOptions::ReadString(SettingsScope::Machine, ORVA_AUTHORITY_CERT_VALUE, text,
                               kMaxAuthorityCertText) ||
      text.empty()) {
    ORVA_LOG_ERROR("AuthorityCert is not set! No authorisation request can be made.");
    return ORVA_E_NOT_SUPPORTED;
  }
  uint32_t ulRes = CStringConvert::Base64StringToBinary(text, der);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("AuthorityCert is not Base64! ulRes=0x%x", ulRes);
    return ORVA_E_NOT_SUPPORTED;
  }
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::GenAuthReqCode(const DevicePtr& pDevice, uint32_t ulAuthType,
                                           std::string& strReqCode) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (ulAuthType != ORVA_AUTH_TYPE_INIT && ulAuthType != ORVA_AUTH_TYPE_UNLOCK &&
      ulAuthType != ORVA_AUTH_TYPE_IMPORT) {
    ORVA_LOG_ERROR("ulAuthType is incorrect! ulAuthType=0x%x", ulAuthType);
    return ORVA_E_INVALID_PARAM;
  }
  // The service's key first: without it no request can be made, and the token keeps the
  // key of an earlier request.
  std::vector<uint8_t> certDer;
  uint32_t ulRes = _GetAuthorityCert(certDer);
  if (ulRes != ORVA_OK) return ulRes;
  COpenSSLKey pubKey;
  ulRes = pubKey.importKeyFromCert(ORVA_KEY_TYPE_PUBLIC, certDer.data(), static_cast<uint32_t>(certDer.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("importKeyFromCert() failed! hr=0x%x", ulRes);
    return ulRes;
  }

  std::vector<uint8_t> key(kTripleDesKeyLen);
  ScopeGuard wipeKey([&] { OrvaSecureZero(key); });
  uint32_t ulKeyLen = kTripleDesKeyLen;
  ulRes = COpenSSLKey::generateSymmKey(SYMM_3DES_CBC, key.data(), &ulKeyLen);
  if (ulRes != ORVA_OK || ulKeyLen != kTripleDesKeyLen) {
    ORVA_LOG_ERROR("COpenSSLKey::generateSymmKey() failed! ret=0x%x", ulRes);
    return ulRes ? ulRes : ORVA_E_CALL_FAILED;
  }

  char szSN[ORVA_AUTH_REQ_MAX_SN + 1] = {};
  uint32_t ulSNLen = 0;
  ulRes = pDevice->GetSN(nullptr, &ulSNLen);
  if (ulRes == ORVA_OK) {
    std::vector<char> buf(std::max<uint32_t>(ulSNLen, 1) + 1, '\0');
    ulRes = pDevice->GetSN(buf.data(), &ulSNLen);
    if (ulRes == ORVA_OK) std::strncpy(szSN, buf.data(), ORVA_AUTH_REQ_MAX_SN);
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GetSN() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  const uint32_t n = static_cast<uint32_t>(strnlen(szSN, ORVA_AUTH_REQ_MAX_SN));

  std::vector<uint8_t> record;
  ScopeGuard wipeRecord([&] { OrvaSecureZero(record); });
  record.reserve(56 + n);
  PutU32(record, 4);
  PutU32(record, ulAuthType);
  PutU32(record, n);
  record.insert(record.end(), szSN, szSN + n);
  PutU32(record, 12 + kTripleDesKeyLen);
  for (uint8_t b : {0x08, 0x02, 0x00, 0x00}) record.push_back(b);
  PutU32(record, 0x6603);
  PutU32(record, kTripleDesKeyLen);
  record.insert(record.end(), key.begin(), key.end());

  uint32_t ulCipherLen = 0;
  ulRes = pubKey.encrypt(record.data(), static_cast<uint32_t>(record.size()), nullptr, &ulCipherLen);
  std::vector<uint8_t> cipher(ulCipherLen);
  if (ulRes == ORVA_OK)
    ulRes = pubKey.encrypt(record.data(), static_cast<uint32_t>(record.size()), cipher.data(), &ulCipherLen);
  if (ulRes != ORVA_OK || ulCipherLen == 0) {
    ORVA_LOG_ERROR("pubKey->encrypt() failed! hr=0x%x", ulRes);
    return ulRes ? ulRes : ORVA_E_CALL_FAILED;
  }
  cipher.resize(ulCipherLen);
  std::reverse(cipher.begin(), cipher.end());
  ulRes = CStringConvert::BinaryToBase64String(cipher, strReqCode);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CStringConvert::BinaryToBase64String() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  pDevice->SetOneTimeKey(key);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::_ParserAuthCode(const DevicePtr& pDevice, const std::string& strAuthCode,
                                            ORVA_AUTH_CODE& code) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  // Taken out of the device first: whatever happens below, a second code needs a new
  // request.
  std::vector<uint8_t> key;
  ScopeGuard wipeKey([&] { OrvaSecureZero(key); });
  pDevice->TakeOneTimeKey(key);
  if (strAuthCode.empty()) {
    ORVA_LOG_ERROR("authCode is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> cipher;
  uint32_t ulRes = CStringConvert::Base64StringToBinary(strAuthCode, cipher);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CStringConvert::Base64StringToBinary() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  COpenSSLKey symmKey;
  ulRes = symmKey.importKey(SYMM_3DES_CBC, ORVA_KEY_TYPE_SYMM, key.data(), static_cast<uint32_t>(key.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("symm_key->importKey() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  uint8_t plain[ORVA_AUTH_CODE_MAX_PLAIN] = {};
  ScopeGuard wipePlain([&] { OrvaSecureZero(plain, sizeof plain); });
  uint32_t ulPlainLen = sizeof plain;
  ulRes = symmKey.decrypt(cipher.data(), static_cast<uint32_t>(cipher.size()), plain, &ulPlainLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("symm_key->decrypt() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  CRecordReader rd(plain, std::min<size_t>(ulPlainLen, sizeof plain));
  uint32_t ulHead = 0;
  bool ok = rd.U32(ulHead) && rd.U32(code.ulAuthType) && rd.Text(code.strSN, ORVA_AUTH_CODE_MAX_SN) &&
            rd.Text(code.strAdminPIN, ORVA_AUTH_CODE_MAX_PLAIN);
  if (ok && code.ulAuthType == ORVA_AUTH_TYPE_INIT) {
    ok = rd.Text(code.strDevAuthKey, ORVA_AUTH_CODE_MAX_PLAIN);
    if (ok && code.strDevAuthKey.empty()) ORVA_LOG_ERROR("Has no device author key!!!");
  }
  if (!ok) {
    ORVA_LOG_ERROR("The authorisation code is malformed! ulPlainLen=0x%x", ulPlainLen);
    return ORVA_E_BAD_INPUT;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
