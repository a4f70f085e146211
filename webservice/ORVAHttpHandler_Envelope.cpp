// Digital envelope commands. Parameters have defaults rather than types: an integer member
// that is absent or not an integer takes its default, a text member that is not a string is
// empty. Every file of a browser request must pass the file access rule before anything is
// read or written; a reply naming an output file gives the path as the page sent it.
#include "devices/core/DeviceManager.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

constexpr uint32_t kDefaultPadding = 1;

int32_t IntOr(const Json::Value& jsonReq, const char* lpcsName, int32_t lDefault) {
  const Json::Value& v = jsonReq[lpcsName];
  return v.isInt() && !v.isBool() ? v.asInt() : lDefault;
}

std::string TextOr(const Json::Value& jsonReq, const char* lpcsName) {
  const Json::Value& v = jsonReq[lpcsName];
  return v.isString() ? v.asString() : std::string();
}

// An optional path: empty stays empty; otherwise checked for the caller.
uint32_t CheckOptionalPath(const std::optional<std::string>& origin, const std::string& strPath,
                           std::string& strUse) {
  strUse.clear();
  if (strPath.empty()) return ORVA_OK;
  return CORVAFileAccess::Instance().CheckPath(origin, strPath, OrvaPathUse::kTarget, strUse);
}

// The envelope parameters every command shares.
struct EnvelopeParams {
  int32_t lKeyIndex;
  uint32_t ulPadding;
  uint32_t ulCharset;
  explicit EnvelopeParams(const Json::Value& jsonReq)
      : lKeyIndex(IntOr(jsonReq, "keyIndex", -1)),
        ulPadding(static_cast<uint32_t>(IntOr(jsonReq, "padding", kDefaultPadding))),
        ulCharset(static_cast<uint32_t>(IntOr(jsonReq, "encode", 0))) {}
};

}  // namespace

uint32_t CORVAHttpHandler::OnEncodeMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  EnvelopeParams p(jsonReq);
  uint32_t ulEnvelopType = static_cast<uint32_t>(IntOr(jsonReq, "type", 0));
  uint32_t ulSymmAlg = static_cast<uint32_t>(IntOr(jsonReq, "symmAlg", 0));
  std::string strCert = TextOr(jsonReq, "cert");
  std::string strText = TextOr(jsonReq, "text");
  std::string strDesFile = TextOr(jsonReq, "desFile");
  DevicePtr pDevice;
  uint32_t ret = _OptionalDevice(p.lKeyIndex, pDevice);
  if (ret != ORVA_OK) return ret;
  if (strCert.empty()) {
    ORVA_LOG_ERROR("Certificate data is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (strText.empty()) {
    ORVA_LOG_ERROR("Message data is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string strDesUse;
  ret = CheckOptionalPath(GetCallerOrigin(), strDesFile, strDesUse);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO(
      "Device Index = %d, ulEncodeType = 0x%x, ulEnvelopType = 0x%x, ulSymmAlg = 0x%x, ulPadding = 0x%x, "
      "ulEncode = 0x%x",
      p.lKeyIndex, 3u, ulEnvelopType, ulSymmAlg, p.ulPadding, p.ulCharset);
  std::string strOut;
  ret = CORVADeviceHelper::EncodeMessage(pDevice, ulEnvelopType, ulSymmAlg, p.ulPadding, p.ulCharset, strCert, strText,
                                         strDesUse, strOut, GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("EncodeMessage() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["cipher"] = Json::Value(toUtf8(strDesFile.empty() ? strOut : strDesFile));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnEncodeFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  EnvelopeParams p(jsonReq);
  uint32_t ulEnvelopType = static_cast<uint32_t>(IntOr(jsonReq, "type", 0));
  uint32_t ulSymmAlg = static_cast<uint32_t>(IntOr(jsonReq, "symmAlg", 0));
  std::string strCert = TextOr(jsonReq, "cert");
  std::string strSrc = TextOr(jsonReq, "src");
  std::string strDes = TextOr(jsonReq, "des");
  DevicePtr pDevice;
  uint32_t ret = _OptionalDevice(p.lKeyIndex, pDevice);
  if (ret != ORVA_OK) return ret;
  if (strCert.empty()) {
    ORVA_LOG_ERROR("Certificate data is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (strSrc.empty()) {
    ORVA_LOG_ERROR("Source file name is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string strSrcUse, strDesUse;
  ret = CheckOptionalPath(GetCallerOrigin(), strSrc, strSrcUse);
  if (ret == ORVA_OK) ret = CheckOptionalPath(GetCallerOrigin(), strDes, strDesUse);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO(
      "Device Index = %d, src = %s, des = %s, ulEnvelopType = 0x%x, ulSymmAlg = 0x%x, ulPadding = 0x%x, "
      "ulEncode = 0x%x",
      p.lKeyIndex, CStringConvert::AnsiToWide(strSrc).c_str(), CStringConvert::AnsiToWide(strDes).c_str(),
      ulEnvelopType, ulSymmAlg, p.ulPadding, p.ulCharset);
  std::string strOut;
  ret = CORVADeviceHelper::EncodeFile(pDevice, ulEnvelopType, ulSymmAlg, p.ulPadding, p.ulCharset, strCert, strSrcUse,
                                      strDesUse, strOut, GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("EncodeFile() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["cipher"] = Json::Value(toUtf8(strDes.empty() ? strOut : strDes));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnDecodeMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  EnvelopeParams p(jsonReq);
  uint32_t ulAlgs = static_cast<uint32_t>(IntOr(jsonReq, "algs", 0));
  std::string strCipher = TextOr(jsonReq, "cipher");
  std::string strDesFile = TextOr(jsonReq, "desFile");
  DevicePtr pSelDevice =
      p.lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(p.lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(p.lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strCipher.empty()) {
    ORVA_LOG_ERROR("Cipher data is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string strDesUse;
  uint32_t ret = CheckOptionalPath(GetCallerOrigin(), strDesFile, strDesUse);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO(
      "Device Index = %d, ulEncodeType = 0x%x, ulEnvelopType = 0x%x, ulSymmAlg = 0x%x, ulPadding = 0x%x, "
      "ulEncode = 0x%x",
      p.lKeyIndex, 3u, ulAlgs & SIGN_ALG_KEY_MASK, ulAlgs & ~SIGN_ALG_KEY_MASK, p.ulPadding, p.ulCharset);
  std::string strOut;
  ret = CORVADeviceHelper::DecodeMessage(pSelDevice, ulAlgs, p.ulPadding, p.ulCharset, strCipher, strDesUse, strOut,
                                         GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("DecodeMessage() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["text"] = Json::Value(toUtf8(strDesFile.empty() ? strOut : strDesFile));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnDecodeFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  EnvelopeParams p(jsonReq);
  uint32_t ulAlgs = static_cast<uint32_t>(IntOr(jsonReq, "algs", 0));
  std::string strCipherFile = TextOr(jsonReq, "cipherFile");
  std::string strDecryptedFile = TextOr(jsonReq, "decryptedFile");
  DevicePtr pSelDevice =
      p.lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(p.lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(p.lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strCipherFile.empty()) {
    ORVA_LOG_ERROR("Cipher file name is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string strSrcUse, strDesUse;
  uint32_t ret = CheckOptionalPath(GetCallerOrigin(), strCipherFile, strSrcUse);
  if (ret == ORVA_OK) ret = CheckOptionalPath(GetCallerOrigin(), strDecryptedFile, strDesUse);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO(
      "Device Index = %d, src = %s, des = %s, ulEnvelopType = 0x%x, ulSymmAlg = 0x%x, ulPadding = 0x%x, "
      "ulEncode = 0x%x",
      p.lKeyIndex, CStringConvert::AnsiToWide(strCipherFile).c_str(),
      CStringConvert::AnsiToWide(strDecryptedFile).c_str(), ulAlgs & SIGN_ALG_KEY_MASK, ulAlgs & ~SIGN_ALG_KEY_MASK,
      p.ulPadding, p.ulCharset);
  std::string strOut;
  ret = CORVADeviceHelper::DecodeFile(pSelDevice, ulAlgs, p.ulPadding, p.ulCharset, strSrcUse, strDesUse, strOut,
                                      GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("DecodeFile() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["text"] = Json::Value(toUtf8(strDecryptedFile.empty() ? strOut : strDecryptedFile));
  ORVA_LOG_END();
  return ORVA_OK;
}
