// Time-stamp commands: thin JSON front ends over CTimestamp. Each command decodes its inputs,
// builds a fresh CTimestamp, decodes the response into it, runs one operation and lets it go;
// nothing survives from one command to the next. No token is involved.
#include <cstdio>
#include <vector>

#include "crypto/Timestamp.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

constexpr uint32_t kImprintBufferLen = 64;

// The inputs every time-stamp command shares.
struct TimestampInputs {
  std::vector<uint8_t> timestamp;
  std::vector<uint8_t> serverCert;
  std::vector<uint8_t> userCert;
  std::string userId;
};

// A member taken only when it is a JSON string; anything else counts as empty.
std::string StringMember(const Json::Value& jsonReq, const char* lpcsName) {
  const Json::Value& v = jsonReq[lpcsName];
  return v.isString() ? v.asString() : std::string();
}

// A flag of "timestamp_attrs": read only when the member holds an integer.
int64_t FlagMember(const Json::Value& jsonReq, const char* lpcsName) {
  const Json::Value& v = jsonReq[lpcsName];
  if (v.isInt64()) return v.asInt64();
  if (v.isUInt64()) return 1;
  return 0;
}

// The response, required: a text that decodes to nothing is 0x81000010.
uint32_t DecodeTimestamp(const std::string& strTimestamp, TimestampInputs& in) {
  uint32_t ret = CStringConvert::Base64StringToBinary(strTimestamp, in.timestamp);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ret);
    return ret;
  }
  if (in.timestamp.empty()) {
    ORVA_LOG_ERROR("lpbtTimeStamp is NULL!");
    return ORVA_E_BASE64;
  }
  return ORVA_OK;
}

// The certificates that are present; an unreadable one is 0x81000010.
uint32_t DecodeCerts(const std::string& strServerCert, const std::string& strCert, TimestampInputs& in) {
  if (!strCert.empty() && CStringConvert::Base64StringToBinary(strCert, in.userCert) != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ORVA_E_BASE64);
    return ORVA_E_BASE64;
  }
  if (!strServerCert.empty() && CStringConvert::Base64StringToBinary(strServerCert, in.serverCert) != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ORVA_E_BASE64);
    return ORVA_E_BASE64;
  }
  return ORVA_OK;
}

uint32_t DecodeInputs(const std::string& strTimestamp, const std::string& strServerCert, const std::string& strCert,
                      TimestampInputs& in) {
  uint32_t ret = DecodeTimestamp(strTimestamp, in);
  return ret != ORVA_OK ? ret : DecodeCerts(strServerCert, strCert, in);
}

uint32_t DecodeToken(CTimestamp& ts, const TimestampInputs& in) {
  uint32_t ret = ts.decode(in.timestamp.data(), static_cast<uint32_t>(in.timestamp.size()));
  if (ret != ORVA_OK) ORVA_LOG_ERROR("pTs->decode() failed! ret = 0x%x", ret);
  return ret;
}

const uint8_t* DataOrNull(const std::vector<uint8_t>& v) { return v.empty() ? nullptr : v.data(); }

// A Base64 member, or "" when there is nothing; left out when the encoding fails.
void SetBase64Member(Json::Value& jsonResp, const char* lpcsName, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) {
    jsonResp[lpcsName] = Json::Value("");
    return;
  }
  std::string text;
  if (CStringConvert::BinaryToBase64String(bytes, text) == ORVA_OK) jsonResp[lpcsName] = Json::Value(text);
}

}  // namespace

uint32_t CORVAHttpHandler::OnGetTimestampAttrs(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strTimestamp = ParamText(jsonReq, "timestamp");
  int64_t bTime = FlagMember(jsonReq, "time");
  int64_t bCert = FlagMember(jsonReq, "cert");
  int64_t bSign = FlagMember(jsonReq, "sign");
  int64_t bDigest = FlagMember(jsonReq, "digest");
  int64_t bDigestAlg = FlagMember(jsonReq, "digest_alg");
  TimestampInputs in;
  uint32_t ret = DecodeInputs(strTimestamp, "", "", in);
  if (ret != ORVA_OK) return ret;
  CTimestamp ts;
  ret = DecodeToken(ts, in);
  if (ret != ORVA_OK) return ret;

  uint32_t ulResult = ORVA_OK;
  if (bTime != 0) {
    ORVA_SYSTEMTIME st;
    uint32_t r = ts.get_localTime(&st);
    if (r == ORVA_OK) {
      char text[256];
      std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                    st.wMinute, st.wSecond);
      jsonResp["time"] = Json::Value(text);
    } else {
      ORVA_LOG_ERROR("pTs->get_localTime() failed! ret = 0x%x", r);
      jsonResp["time"] = Json::Value("");
      ulResult = r;
    }
  }
  if (bCert != 0) {
    std::vector<uint8_t> der;
    uint32_t ulLen = 0;
    if (ts.get_cert(nullptr, &ulLen) == ORVA_OK && ulLen != 0) {
      der.resize(ulLen);
      if (ts.get_cert(der.data(), &ulLen) != ORVA_OK) ulLen = 0;
      der.resize(ulLen);
    }
    SetBase64Member(jsonResp, "cert", der);
  }
  if (bSign != 0) {
    std::vector<uint8_t> sig;
    uint32_t ulLen = 0;
    if (ts.get_signature(nullptr, &ulLen) == ORVA_OK && ulLen != 0) {
      sig.resize(ulLen);
      if (ts.get_signature(sig.data(), &ulLen) != ORVA_OK) ulLen = 0;
      sig.resize(ulLen);
    }
    SetBase64Member(jsonResp, "sign", sig);
  }
  if (bDigest != 0 || bDigestAlg != 0) {
    uint8_t imprint[kImprintBufferLen];
    uint32_t ulLen = sizeof imprint;
    uint32_t ulAlg = 0;
    if (ts.get_msgImprint(&ulAlg, imprint, &ulLen) != ORVA_OK) {
      ulAlg = 0;
      ulLen = 0;
    }
    jsonResp["digest_alg"] = Json::Value(ulAlg);
    SetBase64Member(jsonResp, "digest", std::vector<uint8_t>(imprint, imprint + ulLen));
  }
  if (ulResult == ORVA_OK) ORVA_LOG_END();
  return ulResult;
}

uint32_t CORVAHttpHandler::OnVerifyTimestamp(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strTimestamp = ParamText(jsonReq, "timestamp");
  std::string strServerCert = ParamText(jsonReq, "server_cert");
  TimestampInputs in;
  uint32_t ret = DecodeInputs(strTimestamp, strServerCert, "", in);
  if (ret != ORVA_OK) return ret;
  CTimestamp ts;
  ret = DecodeToken(ts, in);
  if (ret != ORVA_OK) return ret;
  ret = ts.verify(DataOrNull(in.serverCert), static_cast<uint32_t>(in.serverCert.size()));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pTs->verify() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyTimestampWithDigest(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strTimestamp = ParamText(jsonReq, "timestamp");
  std::string strDigest = ParamText(jsonReq, "digest");
  std::string strServerCert = ParamText(jsonReq, "server_cert");
  // Read for the record: the digest is compared with the imprint by length and bytes.
  (void)ParamInt(jsonReq, "digest_alg");
  TimestampInputs in;
  uint32_t ret = DecodeTimestamp(strTimestamp, in);
  if (ret != ORVA_OK) return ret;
  std::vector<uint8_t> digest;
  ret = CStringConvert::Base64StringToBinary(strDigest, digest);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ret);
    return ret;
  }
  ret = DecodeCerts(strServerCert, "", in);
  if (ret != ORVA_OK) return ret;
  CTimestamp ts;
  ret = DecodeToken(ts, in);
  if (ret != ORVA_OK) return ret;
  ret = ts.verify(digest.data(), static_cast<uint32_t>(digest.size()), DataOrNull(in.serverCert),
                  static_cast<uint32_t>(in.serverCert.size()));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pTs->verify() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyTimestampWithFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strTimestamp = ParamText(jsonReq, "timestamp");
  std::string strFile = ParamText(jsonReq, "file");
  uint32_t ulDigestAlg = static_cast<uint32_t>(ParamInt(jsonReq, "digest_alg"));
  std::string strServerCert = ParamText(jsonReq, "server_cert");
  std::string strUserId = StringMember(jsonReq, "user_id");
  std::string strCert = StringMember(jsonReq, "cert");
  TimestampInputs in;
  uint32_t ret = DecodeInputs(strTimestamp, strServerCert, strCert, in);
  if (ret != ORVA_OK) return ret;
  // A page reaches only the files its user chose (or FileAccessRoots); a local program any.
  std::string strUse;
  if (!strFile.empty()) {
    ret = CORVAFileAccess::Instance().CheckPath(GetCallerOrigin(), strFile, OrvaPathUse::kTarget, strUse);
    if (ret != ORVA_OK) return ret;
  }
  CTimestamp ts;
  ret = DecodeToken(ts, in);
  if (ret != ORVA_OK) return ret;
  ret = ts.verify(strUse, ulDigestAlg, DataOrNull(in.serverCert), static_cast<uint32_t>(in.serverCert.size()),
                  strUserId, DataOrNull(in.userCert), static_cast<uint32_t>(in.userCert.size()));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pTs->verify() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyTimestampWithMessage(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strTimestamp = ParamText(jsonReq, "timestamp");
  std::string strMsg = ParamText(jsonReq, "msg");
  uint32_t ulDigestAlg = static_cast<uint32_t>(ParamInt(jsonReq, "digest_alg"));
  // Read for the record: the message is always hashed as its UTF-8 bytes.
  (void)ParamInt(jsonReq, "charset");
  std::string strServerCert = ParamText(jsonReq, "server_cert");
  std::string strUserId = StringMember(jsonReq, "user_id");
  std::string strCert = StringMember(jsonReq, "cert");
  TimestampInputs in;
  uint32_t ret = DecodeInputs(strTimestamp, strServerCert, strCert, in);
  if (ret != ORVA_OK) return ret;
  CTimestamp ts;
  ret = DecodeToken(ts, in);
  if (ret != ORVA_OK) return ret;
  std::vector<uint8_t> msg;
  ret = CStringConvert::StringToBinaryInUTF8(strMsg, msg);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("StringToBinaryInUTF8() failed! ret = 0x%x", ret);
    return ret;
  }
  ret = ts.verify(msg.data(), static_cast<uint32_t>(msg.size()), ulDigestAlg, DataOrNull(in.serverCert),
                  static_cast<uint32_t>(in.serverCert.size()), strUserId, DataOrNull(in.userCert),
                  static_cast<uint32_t>(in.userCert.size()));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pTs->verify() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
