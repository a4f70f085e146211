// Key generation, import and authorisation commands.
// Not built yet, except "gen_auth_req": each answers 0x81000005 ("功能不支持") with its
// reply type.
#include "devices/core/DeviceManager.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAHttpHandler.h"

uint32_t CORVAHttpHandler::OnGenCertRequest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportDualCertAndKeyPair(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportDualCert(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportCert(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportPfxCert(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportKeyPair(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportDualCertAndKeyPairEnc(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnImportUpgradedCertAndKeyPair(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnGenAuthReq(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  int32_t lType = ParamInt(jsonReq, "type");
  DevicePtr pSelDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (lType != static_cast<int32_t>(ORVA_AUTH_TYPE_INIT) && lType != static_cast<int32_t>(ORVA_AUTH_TYPE_UNLOCK) &&
      lType != static_cast<int32_t>(ORVA_AUTH_TYPE_IMPORT)) {
    ORVA_LOG_ERROR("req_type is wrong! req_type = 0x%x", static_cast<uint32_t>(lType));
    return ORVA_E_INVALID_PARAM;
  }
  std::string strReqCode;
  uint32_t ulRes = CORVADeviceHelper::GenAuthReqCode(pSelDevice, static_cast<uint32_t>(lType), strReqCode);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GenAuthReqCode() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  jsonResp["reqCode"] = strReqCode;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnValidation(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

