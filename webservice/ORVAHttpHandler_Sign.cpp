// Signing and verification commands.
// Not built yet: each answers 0x81000005 ("功能不支持") with its reply type.
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVAHttpHandler.h"

uint32_t CORVAHttpHandler::OnSignMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnSignFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnSignDigest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnVerifyMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnVerifyFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnVerifyDigest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnGetSignatureAttached(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnGetSignatureType(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

