#pragma once
// The JSON command dispatcher: one request body in, one compact JSON reply out. A handler
// object lives as long as the connection (or local caller) that owns it; handlers of
// different connections run at the same time.
#include <json/json.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "foundation/DeviceTypes.h"

class CDevice;
class CORVACertCache;
using DevicePtr = std::shared_ptr<CDevice>;

// Thrown by the parameter readers when a member cannot be converted; the dispatcher turns
// it into "Convert parameter type failed!" and 0x81000004.
class CORVAParamError : public std::runtime_error {
 public:
  explicit CORVAParamError(const std::string& name) : std::runtime_error(name) {}
};

class CORVAHttpHandler {
 public:
  CORVAHttpHandler(CDeviceManager* pDeviceMngr, CORVACertCache* pCertCache);
  ~CORVAHttpHandler();
  CORVAHttpHandler(const CORVAHttpHandler&) = delete;
  CORVAHttpHandler& operator=(const CORVAHttpHandler&) = delete;

  // Parses `strMsg`, runs its command and writes the reply (with its final line feed) to
  // `strReply`. Always 0: every failure is an error reply.
  uint32_t ProcessHttpMsg(std::string& strReply, const std::string& strMsg);

  // The calling web origin ("https://a.example"), or none for a local program. Set by the
  // owner of the handler before every message.
  void SetCallerOrigin(std::optional<std::string> origin) { m_callerOrigin = std::move(origin); }
  const std::optional<std::string>& GetCallerOrigin() const { return m_callerOrigin; }

  static uint32_t MsgTypeToCode(const std::string& strName);
  static std::string CodeToRespType(uint32_t ulRespCode);
  static void SetResult(uint32_t ulRes, Json::Value& jsonResp);
  static std::string GetErrorText(uint32_t ulRes);
  static std::string toUtf8(const std::string& strText);
  // Compact writer: no blanks, members in byte order, UTF-8 unescaped, one line feed.
  static std::string WriteCompact(const Json::Value& value);

  // Parameter readers. Text: missing or null gives "", numbers and booleans their text,
  // arrays and objects throw. Integer: missing or null gives 0, booleans 0/1, numbers
  // inside the signed 32-bit range; anything else throws.
  static std::string ParamText(const Json::Value& jsonReq, const char* lpcsName);
  static int32_t ParamInt(const Json::Value& jsonReq, const char* lpcsName);

  // The lock shared by all handlers of the process (the certificate cache uses it).
  static std::mutex& SharedLock();

  CDeviceManager* GetDeviceManager() const { return m_pUsingDeviceMngr; }
  CORVACertCache* GetCertCache() const { return m_pCertCache; }

  // Command handlers: a copy of the request object, the reply object; the result code.
  uint32_t OnInit(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGetVersion(Json::Value jsonReq, Json::Value& jsonResp);
  // Device and certificate commands.
  uint32_t OnEnunDevice(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnEnunCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGetCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGetCertificateBySn(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnDecodeCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnCertAttributes(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnCertExtension(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnReleaseCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnShowCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyCertificate(Json::Value jsonReq, Json::Value& jsonResp);
  // Signing and verification.
  uint32_t OnSignMessage(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnSignFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnSignDigest(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyMessage(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyDigest(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGetSignatureAttached(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGetSignatureType(Json::Value jsonReq, Json::Value& jsonResp);
  // Digital envelopes.
  uint32_t OnEncodeMessage(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnEncodeFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnDecodeMessage(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnDecodeFile(Json::Value jsonReq, Json::Value& jsonResp);
  // Files, folders, options and the random test.
  uint32_t OnGetUserOption(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnSetUserOption(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnOpenFileDialog(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnOpenPathDialog(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnReadFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnWriteFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnDestroyFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnCreateFolder(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnOpenFolder(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnDestroyFolder(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnTestRandrom(Json::Value jsonReq, Json::Value& jsonResp);
  // Time stamps.
  uint32_t OnGetTimestampAttrs(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyTimestamp(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyTimestampWithDigest(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyTimestampWithFile(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyTimestampWithMessage(Json::Value jsonReq, Json::Value& jsonResp);
  // Key generation, imports and authorisation.
  uint32_t OnGenCertRequest(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportDualCertAndKeyPair(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportDualCert(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportCert(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportPfxCert(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportKeyPair(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportDualCertAndKeyPairEnc(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnImportUpgradedCertAndKeyPair(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnGenAuthReq(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnValidation(Json::Value jsonReq, Json::Value& jsonResp);
  // PIN entry and token administration.
  uint32_t OnInitiliaze(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnUnlock(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnChangePin(Json::Value jsonReq, Json::Value& jsonResp);
  uint32_t OnVerifyPin(Json::Value jsonReq, Json::Value& jsonResp);

 private:
  // The token of a command that may also run without one: none for a negative index, else
  // the token at it ("Device is NOT found!" and 0x81000004 when there is none).
  uint32_t _OptionalDevice(int32_t lKeyIndex, DevicePtr& pDevice) const;

  CDeviceManager* m_pUsingDeviceMngr;
  CORVACertCache* m_pCertCache;
  std::optional<std::string> m_callerOrigin;
};

// One row of the command table.
struct ORVA_COMMAND {
  const char* msgType;
  uint32_t code;
  const char* respType;
  uint32_t respCode;
  uint32_t (CORVAHttpHandler::*handler)(Json::Value, Json::Value&);
};

// The 54 commands in table order, and the event reply type.
const ORVA_COMMAND* OrvaCommandTable(size_t* pCount);
inline constexpr uint32_t ORVA_RESP_DEVICE_EVENT = 2054;
