// Signing and verification commands. The handlers check the parameters and choose the
// token; CORVADeviceHelper does the work. Every parameter and device error is answered
// before the token is touched, and a file of a browser request must pass the file access
// rule first.
#include <cstdio>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/SignedData.h"
#include "devices/core/DeviceManager.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

// Messages from pages are signed and verified as UTF-8.
constexpr uint32_t kPageCharset = 3;

// The key class of the token's first signature certificate; 0 when there is none.
uint32_t FirstSignCertAlg(const DevicePtr& pDevice) {
  uint32_t ulCount = 0;
  if (pDevice->GetCertCount(&ulCount, false) != ORVA_OK) return 0;
  for (uint32_t i = 0; i < ulCount; ++i) {
    CertObjPtr pCert;
    if (pDevice->GetCertObj(i, pCert) != ORVA_OK || !pCert) continue;
    uint32_t ulUsage = 0;
    pCert->get_KeyUsage(&ulUsage);
    if (ulUsage != KEY_USAGE_SIGN) continue;
    uint32_t ulType = 0;
    pCert->get_KeyType(&ulType);
    return ulType;
  }
  return 0;
}

// The signing key class: "alg", or for 0 the one of the token's first signature certificate.
uint32_t ResolveSignAlg(const DevicePtr& pDevice, int32_t lAlg, uint32_t& ulAlg) {
  ulAlg = static_cast<uint32_t>(lAlg);
  if (ulAlg != 0) return ORVA_OK;
  ulAlg = FirstSignCertAlg(pDevice);
  if (ulAlg == 0) {
    ORVA_LOG_ERROR("Can't find a sign certificate! sign_alg = 0x%x", ulAlg);
    return ORVA_E_NO_CERT;
  }
  return ORVA_OK;
}

// A loaded signature for the two inspection commands.
uint32_t LoadSignature(const std::string& strSign, CSignedData& signedData) {
  if (strSign.empty()) {
    ORVA_LOG_ERROR("Signature is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  std::vector<uint8_t> sig;
  uint32_t ret = CStringConvert::Base64StringToBinary(strSign, sig);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("CStringConvert::Base64StringToBinary() failed! ret = 0x%x", ret);
    return ret;
  }
  ret = signedData.SetSignature(sig.data(), static_cast<uint32_t>(sig.size()));
  if (ret != ORVA_OK) ORVA_LOG_ERROR("SetSignature() failed! ret = 0x%x", ret);
  return ret;
}

}  // namespace

uint32_t CORVAHttpHandler::_OptionalDevice(int32_t lKeyIndex, DevicePtr& pDevice) const {
  pDevice.reset();
  if (lKeyIndex < 0) return ORVA_OK;
  pDevice = m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (pDevice) return ORVA_OK;
  ORVA_LOG_ERROR("Device is NOT found! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
  return ORVA_E_INVALID_PARAM;
}

uint32_t CORVAHttpHandler::OnSignMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  int32_t lAlg = ParamInt(jsonReq, "alg");
  uint32_t ulSignType = static_cast<uint32_t>(ParamInt(jsonReq, "type"));
  uint32_t ulSignFlags = static_cast<uint32_t>(ParamInt(jsonReq, "flags"));
  std::string strText = ParamText(jsonReq, "text");
  std::string strUserId = ParamText(jsonReq, "userId");
  DevicePtr pDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pDevice) {
    ORVA_LOG_ERROR("ulDevIndex is wrong! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strText.empty()) {
    ORVA_LOG_ERROR("msg is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulAlg = 0;
  uint32_t ret = ResolveSignAlg(pDevice, lAlg, ulAlg);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO("DevIndex = 0x%x, ulAlgID = 0x%x, ulSignType = 0x%x, ulSignFlags = 0x%x, ulEncodeType = 0x%x",
                static_cast<uint32_t>(lKeyIndex), ulAlg, ulSignType, ulSignFlags, kPageCharset);
  std::string strSign;
  ret = CORVADeviceHelper::SignMessage(pDevice, ulAlg, ulSignType, ulSignFlags, strText, strUserId, kPageCharset,
                                       strSign, GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("SignMessage() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["sign"] = Json::Value(strSign);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnSignFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  int32_t lAlg = ParamInt(jsonReq, "alg");
  uint32_t ulSignType = static_cast<uint32_t>(ParamInt(jsonReq, "type"));
  uint32_t ulSignFlags = static_cast<uint32_t>(ParamInt(jsonReq, "flags"));
  std::string strFile = ParamText(jsonReq, "file");
  std::string strUserId = ParamText(jsonReq, "userId");
  DevicePtr pDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pDevice) {
    ORVA_LOG_ERROR("ulDevIndex is wrong! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strFile.empty()) {
    ORVA_LOG_ERROR("filename is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  std::string strUse;
  uint32_t ret = CORVAFileAccess::Instance().CheckPath(GetCallerOrigin(), strFile, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;
  if (ulSignFlags & ORVA_SIGNATTACH_MSG) {
    // A file's signature never carries the file.
    ulSignFlags &= ~ORVA_SIGNATTACH_MSG;
    ORVA_LOG_INFO("ORVA_SIGNATTACH_MSG is unuseful in this case!");
  }
  uint32_t ulAlg = 0;
  ret = ResolveSignAlg(pDevice, lAlg, ulAlg);
  if (ret != ORVA_OK) return ret;
  ORVA_LOG_INFO("Device Index = 0x%x, ulAlgID = 0x%x, ulSignType = 0x%x, ulSignFlags = 0x%x, filename = %s",
                static_cast<uint32_t>(lKeyIndex), ulAlg, ulSignType, ulSignFlags,
                CStringConvert::AnsiToWide(strFile).c_str());
  std::string strSign;
  ret = CORVADeviceHelper::SignFile(pDevice, ulAlg, ulSignType, ulSignFlags, strUse, strUserId, strSign,
                                    GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("SignFile() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["sign"] = Json::Value(strSign);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnSignDigest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulAlg = static_cast<uint32_t>(ParamInt(jsonReq, "alg"));
  uint32_t ulSignType = static_cast<uint32_t>(ParamInt(jsonReq, "type"));
  uint32_t ulSignFlags = static_cast<uint32_t>(ParamInt(jsonReq, "flags"));
  uint32_t ulDigestAlg = static_cast<uint32_t>(ParamInt(jsonReq, "digestAlg"));
  std::string strDigest = ParamText(jsonReq, "digest");
  DevicePtr pDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pDevice) {
    ORVA_LOG_ERROR("ulDevIndex is wrong! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strDigest.empty()) {
    ORVA_LOG_ERROR("digest is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  ORVA_LOG_INFO("DevIndex = 0x%x, ulAlgID = 0x%x, ulSignType = 0x%x, ulSignFlags = 0x%x, ulDigestID = 0x%x",
                static_cast<uint32_t>(lKeyIndex), ulAlg, ulSignType, ulSignFlags, ulDigestAlg);
  std::string strSign;
  uint32_t ret = CORVADeviceHelper::SignDigest(pDevice, ulAlg, ulSignType, ulSignFlags, ulDigestAlg, strDigest,
                                               strSign, GetCallerOrigin().value_or(""));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("SignDigest() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["sign"] = Json::Value(strSign);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  std::string strText = ParamText(jsonReq, "text");
  std::string strUserId = ParamText(jsonReq, "userId");
  std::string strSign = ParamText(jsonReq, "sign");
  std::string strCert = ParamText(jsonReq, "cert");
  DevicePtr pDevice;
  uint32_t ret = _OptionalDevice(lKeyIndex, pDevice);
  if (ret != ORVA_OK) return ret;
  if (strText.empty()) {
    ORVA_LOG_ERROR("plain_txt is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  if (strSign.empty()) {
    ORVA_LOG_ERROR("signature is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  ret = CORVADeviceHelper::VerifyMessage(pDevice, kPageCharset, strText, strUserId, strSign, strCert);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("VerifyMessage() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  std::string strFile = ParamText(jsonReq, "file");
  std::string strUserId = ParamText(jsonReq, "userId");
  std::string strSign = ParamText(jsonReq, "sign");
  std::string strCert = ParamText(jsonReq, "cert");
  DevicePtr pDevice;
  uint32_t ret = _OptionalDevice(lKeyIndex, pDevice);
  if (ret != ORVA_OK) return ret;
  if (strFile.empty()) {
    ORVA_LOG_ERROR("filename is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  if (strSign.empty()) {
    ORVA_LOG_ERROR("signature is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(GetCallerOrigin(), strFile, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;
  ret = CORVADeviceHelper::VerifyFile(pDevice, strUse, strUserId, strSign, strCert);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("VerifyMessage() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyDigest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulDigestAlg = static_cast<uint32_t>(ParamInt(jsonReq, "digestAlg"));
  std::string strDigest = ParamText(jsonReq, "digest");
  std::string strSign = ParamText(jsonReq, "sign");
  std::string strCert = ParamText(jsonReq, "cert");
  DevicePtr pDevice;
  uint32_t ret = _OptionalDevice(lKeyIndex, pDevice);
  if (ret != ORVA_OK) return ret;
  if (strDigest.empty()) {
    ORVA_LOG_ERROR("digest is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  if (strSign.empty()) {
    ORVA_LOG_ERROR("signature is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  ret = CORVADeviceHelper::VerifyDigest(pDevice, ulDigestAlg, strDigest, strSign, strCert);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("VerifyDigest() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnGetSignatureAttached(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  CSignedData signedData;
  uint32_t ret = LoadSignature(ParamText(jsonReq, "sign"), signedData);
  if (ret != ORVA_OK) return ret;

  std::string strText;
  uint32_t ulLen = 0;
  if (signedData.GetOrgData(nullptr, &ulLen) == ORVA_OK && ulLen > 0) {
    std::vector<uint8_t> content(ulLen);
    if (signedData.GetOrgData(content.data(), &ulLen) == ORVA_OK) {
      ret = CStringConvert::BinaryToStringInUTF8(content.data(), ulLen, strText);
      if (ret != ORVA_OK) {
        ORVA_LOG_ERROR("CStringConvert::BinaryToStringInUTF8() failed! ret = 0x%x", ret);
        return ret;
      }
    }
  }
  std::string strCert;
  ulLen = 0;
  if (signedData.GetCertificate(nullptr, &ulLen) == ORVA_OK && ulLen > 0) {
    std::vector<uint8_t> der(ulLen);
    if (signedData.GetCertificate(der.data(), &ulLen) == ORVA_OK) {
      ret = CStringConvert::BinaryToBase64String(der.data(), ulLen, strCert);
      if (ret != ORVA_OK) {
        ORVA_LOG_ERROR("CStringConvert::BinaryToBase64String() failed! ret = 0x%x", ret);
        return ret;
      }
    }
  }
  std::string strTime;
  ORVA_SYSTEMTIME st;
  if (signedData.GetLocalTime(&st) == ORVA_OK) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    strTime = text;
  }
  jsonResp["text"] = Json::Value(strText);
  jsonResp["cert"] = Json::Value(strCert);
  jsonResp["time"] = Json::Value(strTime);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnGetSignatureType(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  CSignedData signedData;
  uint32_t ret = LoadSignature(ParamText(jsonReq, "sign"), signedData);
  if (ret != ORVA_OK) return ret;
  uint32_t ulAlg = 0, ulType = 0;
  signedData.GetSignAlg(&ulAlg);
  signedData.GetSignType(&ulType);
  jsonResp["alg"] = Json::Value(static_cast<Json::UInt>(ulAlg));
  jsonResp["type"] = Json::Value(static_cast<Json::UInt>(ulType));
  ORVA_LOG_END();
  return ORVA_OK;
}
