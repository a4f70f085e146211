// Device and certificate commands.
// Not built yet: each answers 0x81000005 ("功能不支持") with its reply type.
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVAHttpHandler.h"

uint32_t CORVAHttpHandler::OnEnunDevice(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnEnunCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnGetCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnGetCertificateBySn(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnDecodeCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnCertAttributes(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnCertExtension(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnReleaseCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnShowCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnVerifyCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

