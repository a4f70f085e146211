// Key generation, import and authorisation commands.
// Not built yet: each answers 0x81000005 ("功能不支持") with its reply type.
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
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
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnValidation(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

