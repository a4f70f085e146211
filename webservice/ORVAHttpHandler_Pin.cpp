// PIN entry and token administration commands. The work is CORVADeviceHelper's; the PIN
// dialogs it shows name the origin of the calling page.
#include "devices/core/DeviceManager.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

// "pinType": the user PIN unless an integer says otherwise.
uint32_t PinTypeParam(const Json::Value& jsonReq) {
  const Json::Value& v = jsonReq["pinType"];
  if (!v.isBool() && v.isInt()) return static_cast<uint32_t>(v.asInt());
  return PIN_USER;
}

}  // namespace

uint32_t CORVAHttpHandler::OnVerifyPin(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulPinType = PinTypeParam(jsonReq);
  std::string strPin = ParamText(jsonReq, "pin");
  ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
  DevicePtr pSelDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulLeftTimes = 0;
  uint32_t ulRes = CORVADeviceHelper::VerifyPin(pSelDevice, ulPinType, strPin, &ulLeftTimes,
                                                GetCallerOrigin().value_or(""));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CORVADeviceHelper::VerifyPin() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["leftTimes"] = Json::Value(static_cast<Json::UInt>(ulLeftTimes));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnChangePin(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulPinType = PinTypeParam(jsonReq);
  std::string strOld = ParamText(jsonReq, "oldPIN"), strNew = ParamText(jsonReq, "newPIN");
  ScopeGuard wipe([&] {
    OrvaSecureZero(strOld);
    OrvaSecureZero(strNew);
  });
  DevicePtr pSelDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulLeftTimes = 0;
  uint32_t ulRes = CORVADeviceHelper::ChangePin(pSelDevice, ulPinType, strOld, strNew, &ulLeftTimes,
                                                GetCallerOrigin().value_or(""));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CORVADeviceHelper::ChangePin() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["leftTimes"] = Json::Value(static_cast<Json::UInt>(ulLeftTimes));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnUnlock(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  std::string strAuthCode = ParamText(jsonReq, "authCode");
  std::string strPin = ParamText(jsonReq, "pin");
  ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
  DevicePtr pSelDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strAuthCode.empty()) {
    ORVA_LOG_ERROR("authCode is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = CORVADeviceHelper::Unlock(pSelDevice, strAuthCode, strPin, GetCallerOrigin().value_or(""));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CORVADeviceHelper::Unlock() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnInitiliaze(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  std::string strAuthCode = ParamText(jsonReq, "authCode");
  std::string strPin = ParamText(jsonReq, "pin");
  std::string strLabel = ParamText(jsonReq, "label");
  ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
  DevicePtr pSelDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pSelDevice) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  if (strAuthCode.empty()) {
    ORVA_LOG_ERROR("authCode is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = CORVADeviceHelper::Initiliaze(pSelDevice, strAuthCode, strPin, strLabel,
                                                 GetCallerOrigin().value_or(""));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CORVADeviceHelper::Initiliaze() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
