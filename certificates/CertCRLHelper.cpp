#include "certificates/CertCRLHelper.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "certificates/CertUtil.h"
#include "certificates/ORVALdapSession.h"
#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAHttpDownload.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace {

constexpr size_t kMaxUrlChars = 1023;
constexpr size_t kMaxNameChars = 127;
constexpr uint32_t kDefaultLdapPort = 389;
constexpr const char* kCrlFilter = "(objectclass=cRLDistributionPoint)";

// Names that may become a folder or file name of the cache.
bool SafeName(const std::string& s) {
  if (s.empty() || s.size() > kMaxNameChars || s[0] == '.') return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

bool PlainText(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

// %XX escapes of an LDAP URL decoded; false on a broken escape or a control character.
bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out.push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
      return false;
    out.push_back(static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16)));
    i += 2;
  }
  return PlainText(out);
}

// Seconds since 1970 of an ASN.1 time, or false.
bool TimeOf(const ASN1_TIME* t, int64_t& secs) {
  struct tm tmv {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tmv) != 1) {
    ERR_clear_error();
    return false;
  }
  secs = static_cast<int64_t>(timegm(&tmv));
  return true;
}

// Text from a certificate as it may go into a log line: valid UTF-8, no control characters.
std::string LogSafe(const std::string& s) {
  std::string out = CStringConvert::SanitizeUtf8(s.substr(0, 256));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

bool ContainsNoCase(const std::string& hay, const std::string& needle) {
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (strncasecmp(hay.c_str() + i, needle.c_str(), needle.size()) == 0) return true;
  return false;
}

std::string MachineString(const char* name) {
  std::string v;
  if (!CRegOptions::ReadString(SettingsScope::Machine, name, v, kMaxUrlChars)) v.clear();
  return v;
}

}  // namespace

std::string CCertCRLHelper::CacheFolder(const std::string& strHost) {
  return orva::platform::JoinPath(orva::platform::JoinPath(orva::platform::AgentCacheDir(), "CRLCache"), strHost) +
         "/";
}

uint32_t CCertCRLHelper::_GetServerNameFromLDAP(const std::string& strUrl, std::string& strHost, uint32_t& ulPort) {
  ORVA_LOG_BEGIN();
  size_t at = strUrl.find("ldap://");
  if (at == std::string::npos) at = strUrl.find("http://");
  if (at == std::string::npos) {
    ORVA_LOG_ERROR("_GetServerNameFromLDAP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  size_t start = at + 7;
  size_t end = strUrl.find('/', start);
  std::string host = strUrl.substr(start, end == std::string::npos ? std::string::npos : end - start);
  uint32_t port = 0;
  size_t colon = host.find(':');
  if (colon != std::string::npos) {
    std::string digits = host.substr(colon + 1);
    host.resize(colon);
    bool ok = !digits.empty() && digits.size() <= 5;
    for (char c : digits) ok = ok && std::isdigit(static_cast<unsigned char>(c));
    port = ok ? static_cast<uint32_t>(std::stoul(digits)) : 0;
    if (!ok || port < 1 || port > 65535) {
      ORVA_LOG_ERROR("The port is wrong! port=%.16s", digits.c_str());
      ORVA_LOG_ERROR("_GetServerNameFromLDAP() failed!");
      return ORVA_E_CALL_FAILED;
    }
  }
  if (!SafeName(host)) {
    ORVA_LOG_ERROR("The server name is not a plain host name! host=%.64s", LogSafe(host).c_str());
    ORVA_LOG_ERROR("_GetServerNameFromLDAP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  strHost = host;
  ulPort = port;
  ORVA_LOG_INFO("LDAP Server: %s, Port: %d", strHost.c_str(), static_cast<int>(ulPort));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertCRLHelper::_GetCNNameFromLDAP(const std::string& strUrl, std::string& strName) {
  ORVA_LOG_BEGIN();
  size_t at = strUrl.find("CN=");
  std::string name;
  if (at != std::string::npos) {
    size_t start = at + 3;
    size_t end = strUrl.find_first_of(",?", start);
    name = strUrl.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  if (!SafeName(name)) {
    ORVA_LOG_ERROR("The CRL name is empty or not a plain name! name=%s", LogSafe(name).c_str());
    ORVA_LOG_ERROR("_GetCNNameFromLDAP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  strName = name;
  ORVA_LOG_INFO("LDAP CN: %s", strName.c_str());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertCRLHelper::_GetBaseNameFromLDAP(const std::string& strUrl, std::string& strBase) {
  ORVA_LOG_BEGIN();
  size_t at = strUrl.find("CN=");
  std::string base;
  if (at != std::string::npos) {
    size_t end = strUrl.find('?', at);
    std::string raw = strUrl.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!PercentDecode(raw, base)) base.clear();
  }
  if (base.size() <= 3) {
    ORVA_LOG_ERROR("_GetBaseNameFromLDAP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  strBase = base;
  ORVA_LOG_INFO("LDAP BaseName: %s", LogSafe(strBase).c_str());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertCRLHelper::_GetCRLDistPointLDAP(std::string& strUrl) const {
  ORVA_LOG_BEGIN();
  const X509* x = m_pCert->get_CertInfo();
  int crit = 0;
  orva::ossl::CrlDistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(x, NID_crl_distribution_points, &crit, nullptr)));
  ERR_clear_error();
  std::string found;
  for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
    const DIST_POINT* dp = sk_DIST_POINT_value(points.get(), i);
    if (dp == nullptr || dp->distpoint == nullptr || dp->distpoint->type != 0) continue;
    const GENERAL_NAMES* names = dp->distpoint->name.fullname;
    // The point's first address; the last point that has one wins.
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, j);
      if (gn->type != GEN_URI) continue;
      const ASN1_IA5STRING* uri = gn->d.uniformResourceIdentifier;
      std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                       static_cast<size_t>(ASN1_STRING_length(uri)));
      if (!text.empty() && text.size() <= kMaxUrlChars && PlainText(text)) found = text;
      break;
    }
  }
  if (found.empty()) {
    ORVA_LOG_ERROR("_GetCRLDistPointLDAP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  strUrl = found;
  ORVA_LOG_INFO("LDAP URL: %s", LogSafe(strUrl).c_str());
  ORVA_LOG_END();
  return ORVA_OK;
}

CCertCRLHelper::List CCertCRLHelper::_DecodeCRL(const std::vector<uint8_t>& der, const char* lpcsOrigin) const {
  List out;
  orva::ossl::X509CrlPtr crl =
      orva::cert::DecodeWhole<X509_CRL, X509_CRL_free>(d2i_X509_CRL, der.data(), der.size());
  if (!crl) {
    ERR_clear_error();
    ORVA_LOG_ERROR("CertCreateCRLContext() failed! ulRes = 0x%x (%s)", ORVA_CRYPT_E_ASN1_BADTAG, lpcsOrigin);
    return out;
  }
  if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_issuer_name(m_pCert->get_CertInfo())) != 0) {
    ORVA_LOG_ERROR("The CRL is not issued by the certificate's issuer! (%s)", lpcsOrigin);
    return out;
  }
  orva::cert::SignedParts parts;
  bool verified = false;
  if (orva::cert::SplitSigned(der.data(), der.size(), parts)) {
    for (const CX509Certificate* issuer : m_issuers) {
      if (issuer != nullptr && issuer->get_CertInfo() != nullptr &&
          orva::cert::VerifySignedParts(parts, X509_get0_pubkey(issuer->get_CertInfo()))) {
        verified = true;
        break;
      }
    }
  }
  ERR_clear_error();
  if (!verified) {
    ORVA_LOG_ERROR("The CRL has an invalid signature! (%s)", lpcsOrigin);
    return out;
  }
  out.crl = std::move(crl);
  out.der = der;
  return out;
}

CCertCRLHelper::List CCertCRLHelper::_LoadCRLFromCache(const std::string& strFile) const {
  ORVA_LOG_BEGIN();
  std::string bytes;
  int err = orva::platform::ReadWholeFile(strFile, bytes, kMaxCrlBytes);
  if (err != 0) {
    ORVA_LOG_ERROR("CreateFile() failed! ulRes = 0x%x", ConvertErrno(err, strFile.c_str()));
    return {};
  }
  if (bytes.empty()) {
    ORVA_LOG_ERROR("GetFileSize() failed! ulFileSize = 0x%x, ulRes = 0x%x", 0u, 0u);
    return {};
  }
  List list = _DecodeCRL(std::vector<uint8_t>(bytes.begin(), bytes.end()), "cache");
  if (!list.crl) return {};
  // A list without a next-update time is never current.
  int64_t next = 0;
  if (!TimeOf(X509_CRL_get0_nextUpdate(list.crl.get()), next) ||
      next < static_cast<int64_t>(std::time(nullptr))) {
    ORVA_LOG_INFO("The cache CRL need to update!");
    return {};
  }
  ORVA_LOG_END();
  return list;
}

CCertCRLHelper::List CCertCRLHelper::_DownloadCRLFromLDAP(const std::string& strUrl, const char* lpcsAttr) const {
  ORVA_LOG_BEGIN();
  std::string base, host;
  uint32_t port = 0;
  if (_GetBaseNameFromLDAP(strUrl, base) != ORVA_OK) return {};
  if (_GetServerNameFromLDAP(strUrl, host, port) != ORVA_OK) return {};
  if (port == 0) port = kDefaultLdapPort;

  if (m_bDirectoryFailed) {
    ORVA_LOG_INFO("The directory server did not answer in this check, %s is not asked for!", lpcsAttr);
    return {};
  }
  // Until the search has answered, a return means the directory failed.
  m_bDirectoryFailed = true;
  CORVALdapSession session;
  if (session.Connect(host, port, kLdapConnectTimeoutSec, kLdapOperationTimeoutSec) != ORVA_OK) {
    ORVA_LOG_ERROR("_ConnectLdapServer() failed with %s!", host.c_str());
    std::string fallback = MachineString("CrlFallbackLdap");
    if (fallback.empty()) {
      ORVA_LOG_ERROR("_ConnectLdapServer() failed with %s, return!", host.c_str());
      return {};
    }
    ORVA_LOG_INFO("Try to connect ldap server: %s ...", LogSafe(fallback).c_str());
    if (session.Connect(fallback, port, kLdapConnectTimeoutSec, kLdapOperationTimeoutSec) != ORVA_OK) {
      ORVA_LOG_ERROR("_ConnectLdapServer() failed with %s, return!", LogSafe(fallback).c_str());
      return {};
    }
  }
  if (session.BindAnonymous() != ORVA_OK) return {};
  std::vector<uint8_t> value;
  std::string attr;
  bool found = false;
  uint32_t ulRes = session.FindFirstValue(
      base, kCrlFilter, [lpcsAttr](const std::string& name) { return ContainsNoCase(name, lpcsAttr); }, kMaxCrlBytes,
      value, attr, &found);
  if (ulRes == ORVA_OK) m_bDirectoryFailed = false;
  if (ulRes != ORVA_OK || !found) {
    if (ulRes == ORVA_OK) ORVA_LOG_INFO("No %s in %s!", lpcsAttr, LogSafe(base).c_str());
    return {};
  }
  List list = _DecodeCRL(value, LogSafe(attr).c_str());
  if (list.crl) ORVA_LOG_END();
  return list;
}

CCertCRLHelper::List CCertCRLHelper::_DownloadCRLFromHTTP(const std::string& strAddress) const {
  ORVA_LOG_BEGIN();
  if (strAddress.empty()) {
    ORVA_LOG_ERROR("OpenURLToBuffer() failed with %s!", "(no fallback address)");
    return {};
  }
  std::vector<uint8_t> body;
  ORVA_HTTP_OPTIONS opts;
  opts.ullMaxBytes = kMaxCrlBytes;
  uint32_t ulRes = CORVAHttpDownload::Get(strAddress, body, opts);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("OpenURLToBuffer() failed with %s!", LogSafe(strAddress).c_str());
    return {};
  }
  if (body.empty()) {
    ORVA_LOG_ERROR("CRL data length is 0!");
    return {};
  }
  List list = _DecodeCRL(body, "http");
  if (list.crl) ORVA_LOG_END();
  return list;
}

uint32_t CCertCRLHelper::_SaveCRLToFile(const List& list, const std::string& strFile) const {
  ORVA_LOG_BEGIN();
  if (!list.crl || list.der.empty()) {
    ORVA_LOG_ERROR("pCRLContext is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (strFile.empty()) {
    ORVA_LOG_ERROR("lpcsFileName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  int err = orva::platform::WriteFileAtomic(strFile, std::string(list.der.begin(), list.der.end()), 0600);
  if (err != 0) {
    uint32_t ulRes = ConvertErrno(err, strFile.c_str());
    ORVA_LOG_ERROR("WriteFile() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertCRLHelper::Initialize(const CX509Certificate* pCert) {
  ORVA_LOG_BEGIN();
  m_pBaseCRL.reset();
  m_pDeltaCRL.reset();
  m_bDirectoryFailed = false;
  if (pCert == nullptr || pCert->get_CertInfo() == nullptr) {
    ORVA_LOG_ERROR("pCert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_pCert = pCert;
  std::string url, host, name;
  uint32_t port = 0;
  uint32_t ulRes = _GetCRLDistPointLDAP(url);
  if (ulRes != ORVA_OK) return ulRes;
  ulRes = _GetServerNameFromLDAP(url, host, port);
  if (ulRes != ORVA_OK) return ulRes;
  std::string folder = CacheFolder(host);
  int err = orva::platform::MakeDirs(folder, 0700);
  if (err != 0) {
    ulRes = ConvertErrno(err, folder.c_str());
    ORVA_LOG_ERROR("MakeSureDirectoryPathExists() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ulRes = _GetCNNameFromLDAP(url, name);
  if (ulRes != ORVA_OK) return ulRes;
  const std::string baseFile = folder + name + ".crl";
  const std::string deltaFile = folder + name + "_Delta.crl";

  List base = _LoadCRLFromCache(baseFile);
  if (!base.crl) {
    base = _DownloadCRLFromLDAP(url, "certificateRevocationList");
    if (!base.crl) {
      std::string fallback = MachineString("CrlFallbackUrl");
      ORVA_LOG_ERROR("_DownloadCRLFromLDAP() with certificateRevocationList failed! Try to down it from %s",
                     LogSafe(fallback).c_str());
      base = _DownloadCRLFromHTTP(fallback);
      if (!base.crl) {
        ORVA_LOG_ERROR("_DownloadCRLFromHTTP() failed with %s", LogSafe(fallback).c_str());
        return ORVA_E_CALL_FAILED;
      }
    }
    _SaveCRLToFile(base, baseFile);
  }
  List delta = _LoadCRLFromCache(deltaFile);
  if (!delta.crl) {
    delta = _DownloadCRLFromLDAP(url, "deltaRevocationList");
    if (delta.crl) _SaveCRLToFile(delta, deltaFile);
  }
  m_pBaseCRL = std::move(base.crl);
  m_pDeltaCRL = std::move(delta.crl);
  ORVA_LOG_END();
  return ORVA_OK;
}
