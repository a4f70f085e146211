// File, folder, option and random-test commands.
// Not built yet: each answers 0x81000005 ("功能不支持") with its reply type.
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVAHttpHandler.h"

uint32_t CORVAHttpHandler::OnGetUserOption(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnSetUserOption(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnOpenFileDialog(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnOpenPathDialog(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnReadFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnWriteFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnDestroyFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnCreateFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnOpenFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnDestroyFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CORVAHttpHandler::OnTestRandrom(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_ERROR("This command is not supported yet!");
  return ORVA_E_NOT_SUPPORTED;
}

