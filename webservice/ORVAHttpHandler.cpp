#include "webservice/ORVAHttpHandler.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVAErrorTexts.h"

namespace {

constexpr const char* kVersionFallback = "255.255.255.255";

struct Tables {
  std::unordered_map<std::string, const ORVA_COMMAND*> byName;
  std::unordered_map<uint32_t, std::string> respTypes;
  std::unordered_map<uint32_t, const char*> texts;
};

// Built once, before first use, never changed afterwards.
const Tables& GetTables() {
  static const Tables tables = [] {
    Tables t;
    size_t n = 0;
    const ORVA_COMMAND* cmds = OrvaCommandTable(&n);
    for (size_t i = 0; i < n; ++i) {
      t.byName.emplace(cmds[i].msgType, &cmds[i]);
      t.respTypes.emplace(cmds[i].respCode, cmds[i].respType);
    }
    t.respTypes.emplace(ORVA_RESP_DEVICE_EVENT, "device_event_resp");
    const ORVA_ERROR_TEXT* texts = OrvaErrorTexts(&n);
    for (size_t i = 0; i < n; ++i) t.texts.emplace(texts[i].code, texts[i].text);
    return t;
  }();
  return tables;
}

// The body reader: the library's lenient defaults (comments allowed, any value as the
// document), with its nesting limit.
bool ParseBody(const std::string& text, Json::Value& root) {
  static const Json::CharReaderBuilder builder = [] {
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    return b;
  }();
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errs;
  return reader->parse(text.data(), text.data() + text.size(), &root, &errs);
}

}  // namespace

const ORVA_COMMAND* OrvaCommandTable(size_t* pCount) {
  static const ORVA_COMMAND kCommands[] = {
      {"init", 1000, "init_resp", 2000, &CORVAHttpHandler::OnInit},
      {"get_version", 1001, "get_version_resp", 2001, &CORVAHttpHandler::OnGetVersion},
      {"get_useroption", 1002, "get_useroption_resp", 2002, &CORVAHttpHandler::OnGetUserOption},
      {"set_useroption", 1003, "set_useroption_resp", 2003, &CORVAHttpHandler::OnSetUserOption},
      {"enum_dev", 1004, "enum_dev_resp", 2004, &CORVAHttpHandler::OnEnunDevice},
      {"enum_cert", 1005, "enum_cert_resp", 2005, &CORVAHttpHandler::OnEnunCertificate},
      {"get_cert", 1006, "get_cert_resp", 2006, &CORVAHttpHandler::OnGetCertificate},
      {"get_cert_bysn", 1007, "get_cert_bysn_resp", 2007, &CORVAHttpHandler::OnGetCertificateBySn},
      {"decode_cert", 1008, "decode_cert_resp", 2008, &CORVAHttpHandler::OnDecodeCertificate},
      {"get_cert_attr", 1009, "get_cert_attr_resp", 2009, &CORVAHttpHandler::OnCertAttributes},
      {"get_cert_ext", 1010, "get_cert_ext_resp", 2010, &CORVAHttpHandler::OnCertExtension},
      {"release_cert", 1011, "release_cert_resp", 2011, &CORVAHttpHandler::OnReleaseCertificate},
      {"show_cert", 1012, "show_cert_resp", 2012, &CORVAHttpHandler::OnShowCertificate},
      {"verify_cert", 1013, "verify_cert_resp", 2013, &CORVAHttpHandler::OnVerifyCertificate},
      {"sign_message", 1014, "sign_message_resp", 2014, &CORVAHttpHandler::OnSignMessage},
      {"sign_file", 1015, "sign_file_resp", 2015, &CORVAHttpHandler::OnSignFile},
      {"sign_digest", 1016, "", 2016, &CORVAHttpHandler::OnSignDigest},
      {"verify_message", 1017, "verify_message_resp", 2017, &CORVAHttpHandler::OnVerifyMessage},
      {"verify_file", 1018, "verify_file_resp", 2018, &CORVAHttpHandler::OnVerifyFile},
      {"verify_digest", 1019, "", 2019, &CORVAHttpHandler::OnVerifyDigest},
      {"signature_attached", 1020, "signature_attached_resp", 2020, &CORVAHttpHandler::OnGetSignatureAttached},
      {"signature_type", 1021, "signature_type_resp", 2021, &CORVAHttpHandler::OnGetSignatureType},
      {"encode_message", 1022, "encode_message_resp", 2022, &CORVAHttpHandler::OnEncodeMessage},
      {"encode_file", 1023, "encode_file_resp", 2023, &CORVAHttpHandler::OnEncodeFile},
      {"decode_message", 1024, "decode_message_resp", 2024, &CORVAHttpHandler::OnDecodeMessage},
      {"decode_file", 1025, "decode_file_resp", 2025, &CORVAHttpHandler::OnDecodeFile},
      {"get_filename", 1026, "get_filename_resp", 2031, &CORVAHttpHandler::OnOpenFileDialog},
      {"get_pathname", 1027, "get_pathname", 2032, &CORVAHttpHandler::OnOpenPathDialog},
      {"read_file", 1028, "read_file", 2033, &CORVAHttpHandler::OnReadFile},
      {"write_file", 1029, "write_file", 2034, &CORVAHttpHandler::OnWriteFile},
      {"delete_file", 1030, "delete_file", 2035, &CORVAHttpHandler::OnDestroyFile},
      {"create_folder", 1031, "create_folder_resp", 2036, &CORVAHttpHandler::OnCreateFolder},
      {"open_folder", 1032, "open_folder_resp", 2037, &CORVAHttpHandler::OnOpenFolder},
      {"delete_folder", 1033, "delete_folder_resp", 2038, &CORVAHttpHandler::OnDestroyFolder},
      {"timestamp_attrs", 1034, "timestamp_attrs_resp", 2026, &CORVAHttpHandler::OnGetTimestampAttrs},
      {"timestamp_verify", 1035, "timestamp_verify_resp", 2027, &CORVAHttpHandler::OnVerifyTimestamp},
      {"timestamp_verify_digest", 1036, "timestamp_verify_digest_resp", 2028, &CORVAHttpHandler::OnVerifyTimestampWithDigest},
      {"timestamp_verify_file", 1037, "timestamp_verify_file_resp", 2029, &CORVAHttpHandler::OnVerifyTimestampWithFile},
      {"timestamp_verify_msg", 1038, "timestamp_verify_msg_resp", 2030, &CORVAHttpHandler::OnVerifyTimestampWithMessage},
      {"gen_cert_csr", 1039, "gen_cert_csr_resp", 2039, &CORVAHttpHandler::OnGenCertRequest},
      {"import_dualcert_keypair", 1040, "import_dualcert_keypair_resp", 2040, &CORVAHttpHandler::OnImportDualCertAndKeyPair},
      {"import_dualcert", 1041, "import_dualcert_resp", 2041, &CORVAHttpHandler::OnImportDualCert},
      {"import_cert", 1042, "import_cert_resp", 2042, &CORVAHttpHandler::OnImportCert},
      {"import_pfxcert", 1043, "import_pfxcert_resp", 2043, &CORVAHttpHandler::OnImportPfxCert},
      {"import_keypair", 1044, "import_keypair_resp", 2044, &CORVAHttpHandler::OnImportKeyPair},
      {"import_dualcert_keypair_enc", 1045, "import_dualcert_keypair_enc_resp", 2045, &CORVAHttpHandler::OnImportDualCertAndKeyPairEnc},
      {"import_upgraded_certs_keypair", 1046, "import_upgraded_certs_keypair_resp", 2046, &CORVAHttpHandler::OnImportUpgradedCertAndKeyPair},
      {"initiliaze_device", 1047, "initiliaze_device_resp", 2047, &CORVAHttpHandler::OnInitiliaze},
      {"unlock_device", 1048, "unlock_device_resp", 2048, &CORVAHttpHandler::OnUnlock},
      {"change_pin", 1049, "change_pin_resp", 2050, &CORVAHttpHandler::OnChangePin},
      {"verify_pin", 1050, "verify_pin_resp", 2049, &CORVAHttpHandler::OnVerifyPin},
      {"gen_auth_req", 1051, "gen_auth_req_resp", 2051, &CORVAHttpHandler::OnGenAuthReq},
      {"validation", 1052, "validation_resp", 2052, &CORVAHttpHandler::OnValidation},
      {"test_randrom", 1053, "test_randrom_resp", 2053, &CORVAHttpHandler::OnTestRandrom},
  };
  *pCount = sizeof kCommands / sizeof kCommands[0];
  return kCommands;
}

CORVAHttpHandler::CORVAHttpHandler(CDeviceManager* pDeviceMngr, CORVACertCache* pCertCache)
    : m_pUsingDeviceMngr(pDeviceMngr), m_pCertCache(pCertCache) {
  GetTables();
}

CORVAHttpHandler::~CORVAHttpHandler() = default;

std::mutex& CORVAHttpHandler::SharedLock() {
  // One lock for the whole process, alive until exit, so that no handler can delete it
  // under another's feet.
  static std::mutex* lock = [] {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    return ::new (storage) std::mutex();
  }();
  return *lock;
}

uint32_t CORVAHttpHandler::MsgTypeToCode(const std::string& strName) {
  const Tables& t = GetTables();
  auto it = t.byName.find(strName);
  return it == t.byName.end() ? 0 : it->second->code;
}

std::string CORVAHttpHandler::CodeToRespType(uint32_t ulRespCode) {
  const Tables& t = GetTables();
  auto it = t.respTypes.find(ulRespCode);
  return it == t.respTypes.end() ? std::string() : it->second;
}

std::string CORVAHttpHandler::GetErrorText(uint32_t ulRes) {
  const Tables& t = GetTables();
  auto it = t.texts.find(ulRes);
  return it == t.texts.end() ? kOrvaUnknownErrorText : it->second;
}

std::string CORVAHttpHandler::toUtf8(const std::string& strText) {
  if (strText.empty()) return {};
  // The program's code page is UTF-8: the conversion only repairs invalid sequences.
  std::vector<uint8_t> bytes;
  uint32_t ret = CStringConvert::StringToBinaryInUTF8(strText, bytes);
  if (ret != 0) {
    ORVA_LOG_ERROR("StringToBinaryInUTF8() failed! ret = 0x%x", ret);
    return {};
  }
  return std::string(bytes.begin(), bytes.end());
}

void CORVAHttpHandler::SetResult(uint32_t ulRes, Json::Value& jsonResp) {
  jsonResp["res"] = Json::Value(static_cast<Json::Int>(static_cast<int32_t>(ulRes)));
  jsonResp["msg"] = Json::Value(toUtf8(GetErrorText(ulRes)));
}

std::string CORVAHttpHandler::WriteCompact(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return b;
  }();
  std::string out = Json::writeString(builder, value);
  out += '\n';
  return out;
}

std::string CORVAHttpHandler::ParamText(const Json::Value& jsonReq, const char* lpcsName) {
  const Json::Value& v = jsonReq[lpcsName];
  if (v.isNull()) return {};
  if (v.isString()) return v.asString();
  if (v.isBool() || v.isNumeric()) return v.asString();
  throw CORVAParamError(lpcsName);
}

int32_t CORVAHttpHandler::ParamInt(const Json::Value& jsonReq, const char* lpcsName) {
  const Json::Value& v = jsonReq[lpcsName];
  if (v.isNull()) return 0;
  if (v.isBool()) return v.asBool() ? 1 : 0;
  if (v.isInt()) return v.asInt();
  if (v.isDouble()) {
    double d = v.asDouble();
    if (d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max())
      return static_cast<int32_t>(d);
  }
  throw CORVAParamError(lpcsName);
}

uint32_t CORVAHttpHandler::ProcessHttpMsg(std::string& strReply, const std::string& strMsg) {
  ORVA_LOG_BEGIN();
  Json::Value jsonResp(Json::objectValue);
  try {
    Json::Value jsonReq;
    if (strMsg.empty()) {
      ORVA_LOG_ERROR("msg is NULL!");
      SetResult(ORVA_E_INVALID_PARAM, jsonResp);
    } else if (!ParseBody(CStringConvert::SanitizeUtf8(strMsg), jsonReq)) {
      ORVA_LOG_ERROR("JSON parse failed!");
      SetResult(ORVA_E_BAD_INPUT, jsonResp);
    } else if (!jsonReq.isObject()) {
      // An array, number or string as the whole document cannot carry a command.
      ORVA_LOG_ERROR("JSON parse failed!");
      SetResult(ORVA_E_BAD_INPUT, jsonResp);
    } else if (const Json::Value& type = jsonReq["msgType"]; type.isArray() || type.isObject()) {
      ORVA_LOG_ERROR("Message type is wrong! msgType is not a text");
      SetResult(ORVA_E_BAD_INPUT, jsonResp);
    } else {
      std::string name = type.isNull() ? std::string() : type.asString();
      const Tables& t = GetTables();
      auto it = t.byName.find(name);
      if (it == t.byName.end()) {
        ORVA_LOG_ERROR("Message type is wrong! msgType:%s", name.c_str());
        SetResult(ORVA_E_NOT_SUPPORTED, jsonResp);
      } else {
        const ORVA_COMMAND* cmd = it->second;
        jsonResp["respType"] = Json::Value(CodeToRespType(cmd->respCode));
        uint32_t ulRes;
        try {
          ulRes = (this->*(cmd->handler))(jsonReq, jsonResp);
        } catch (const CORVAParamError&) {
          ORVA_LOG_ERROR("Convert parameter type failed!");
          ulRes = ORVA_E_INVALID_PARAM;
        } catch (const Json::Exception& e) {
          ORVA_LOG_ERROR("Convert parameter type failed! %s", e.what());
          ulRes = ORVA_E_INVALID_PARAM;
        }
        SetResult(ulRes, jsonResp);
      }
    }
  } catch (const std::bad_alloc&) {
    jsonResp = Json::Value(Json::objectValue);
    ORVA_LOG_ERROR("Out of memory!");
    SetResult(ORVA_E_MEMORY, jsonResp);
  } catch (const std::exception& e) {
    // Anything else thrown below the dispatcher (nesting deeper than the reader allows,
    // a library error) is answered, never propagated to the connection.
    jsonResp = Json::Value(Json::objectValue);
    ORVA_LOG_ERROR("JSON parse failed! %s", e.what());
    SetResult(ORVA_E_BAD_INPUT, jsonResp);
  }
  strReply = WriteCompact(jsonResp);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnInit(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnGetVersion(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string version = kVersionFallback;
#ifdef ORVA_VERSION_TEXT
  if (std::strlen(ORVA_VERSION_TEXT) > 0) version = std::string(ORVA_VERSION_TEXT).substr(0, 31);
#endif
  jsonResp["version"] = Json::Value(toUtf8(version));
  ORVA_LOG_END();
  return ORVA_OK;
}
