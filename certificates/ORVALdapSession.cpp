#include "certificates/ORVALdapSession.h"

#include <ldap.h>
#include <sys/time.h>

#include <cctype>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"

namespace {

bool PlainHost(const std::string& host) {
  if (host.empty() || host.size() > 127) return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
  return true;
}

}  // namespace

uint32_t CORVALdapSession::ConvertLdapCode(int iCode) {
  static const struct {
    int ldap;
    uint32_t orva;
  } kTable[] = {
      {LDAP_SUCCESS, ORVA_OK},
      {LDAP_TIMEOUT, ORVA_E_TIMEOUT},
      {LDAP_TIMELIMIT_EXCEEDED, ORVA_E_TIMEOUT},
      {LDAP_NO_MEMORY, ORVA_E_MEMORY},
      {LDAP_PARAM_ERROR, ORVA_E_INVALID_PARAM},
      {LDAP_INVALID_DN_SYNTAX, ORVA_E_INVALID_PARAM},
      {LDAP_FILTER_ERROR, ORVA_E_INVALID_PARAM},
      {LDAP_NO_SUCH_OBJECT, ORVA_E_DOWNLOAD_MISSING},
      {LDAP_SERVER_DOWN, ORVA_E_DOWNLOAD_MISSING},
      {LDAP_CONNECT_ERROR, ORVA_E_DOWNLOAD_MISSING},
  };
  for (const auto& row : kTable)
    if (row.ldap == iCode) return row.orva;
  return ORVA_E_CALL_FAILED;
}

uint32_t CORVALdapSession::Connect(const std::string& strHost, uint32_t ulPort, uint32_t ulConnectTimeoutSec,
                                   uint32_t ulOpTimeoutSec) {
  ORVA_LOG_BEGIN();
  Close();
  if (!PlainHost(strHost) || ulPort == 0 || ulPort > 65535) {
    ORVA_LOG_ERROR("ldap_init() failed! ulRes = 0x%x", static_cast<uint32_t>(LDAP_PARAM_ERROR));
    m_iLastCode = LDAP_PARAM_ERROR;
    return ORVA_E_INVALID_PARAM;
  }
  std::string uri = "ldap://" + strHost + ":" + std::to_string(ulPort);
  LDAP* ld = nullptr;
  int rc = ldap_initialize(&ld, uri.c_str());
  if (rc != LDAP_SUCCESS || ld == nullptr) {
    m_iLastCode = rc;
    ORVA_LOG_ERROR("ldap_init() failed! ulRes = 0x%x", static_cast<uint32_t>(rc));
    return ConvertLdapCode(rc);
  }
  m_ld = ld;
  m_ulOpTimeoutSec = ulOpTimeoutSec;
  int version = LDAP_VERSION3;
  struct timeval connectTv = {static_cast<time_t>(ulConnectTimeoutSec), 0};
  struct timeval opTv = {static_cast<time_t>(ulOpTimeoutSec), 0};
  // A directory answer may name other servers; none of them is asked.
  if ((rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version)) != LDAP_OPT_SUCCESS ||
      (rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF)) != LDAP_OPT_SUCCESS ||
      (rc = ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connectTv)) != LDAP_OPT_SUCCESS ||
      (rc = ldap_set_option(ld, LDAP_OPT_TIMEOUT, &opTv)) != LDAP_OPT_SUCCESS) {
    m_iLastCode = rc;
    ORVA_LOG_ERROR("ldap_set_option() failed! ulRes = 0x%x", static_cast<uint32_t>(rc));
    Close();
    return ORVA_E_CALL_FAILED;
  }
  rc = ldap_connect(ld);
  if (rc != LDAP_SUCCESS) {
    m_iLastCode = rc;
    ORVA_LOG_ERROR("ldap_connect() failed! ulRes = 0x%x", static_cast<uint32_t>(rc));
    Close();
    return ConvertLdapCode(rc);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVALdapSession::BindAnonymous() {
  ORVA_LOG_BEGIN();
  if (m_ld == nullptr) {
    ORVA_LOG_ERROR("m_ld is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  struct berval cred = {0, nullptr};
  int rc = ldap_sasl_bind_s(m_ld, "", LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    m_iLastCode = rc;
    ORVA_LOG_ERROR("ldap_simple_bind_s() failed! ulRes = 0x%x", static_cast<uint32_t>(rc));
    return ConvertLdapCode(rc);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVALdapSession::FindFirstValue(const std::string& strBase, const std::string& strFilter,
                                          const std::function<bool(const std::string&)>& fnWanted,
                                          size_t ulMaxValueBytes, std::vector<uint8_t>& value, std::string& strAttr,
                                          bool* pbFound) {
  ORVA_LOG_BEGIN();
  *pbFound = false;
  if (m_ld == nullptr) {
    ORVA_LOG_ERROR("m_ld is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  struct timeval tv = {static_cast<time_t>(m_ulOpTimeoutSec), 0};
  LDAPMessage* res = nullptr;
  int rc = ldap_search_ext_s(m_ld, strBase.c_str(), LDAP_SCOPE_BASE, strFilter.c_str(), nullptr, 0, nullptr, nullptr,
                             &tv, 1, &res);
  ScopeGuard freeRes([&res] {
    if (res) ldap_msgfree(res);
  });
  if (rc != LDAP_SUCCESS) {
    m_iLastCode = rc;
    ORVA_LOG_ERROR("ldap_search_s() failed! ulRes = 0x%x", static_cast<uint32_t>(rc));
    return ConvertLdapCode(rc);
  }
  for (LDAPMessage* e = ldap_first_entry(m_ld, res); e != nullptr; e = ldap_next_entry(m_ld, e)) {
    BerElement* ber = nullptr;
    ScopeGuard freeBer([&ber] {
      if (ber) ber_free(ber, 0);
    });
    for (char* a = ldap_first_attribute(m_ld, e, &ber); a != nullptr; a = ldap_next_attribute(m_ld, e, ber)) {
      std::string name = a;
      ldap_memfree(a);
      if (!fnWanted(name)) continue;
      *pbFound = true;
      strAttr = name;
      struct berval** vals = ldap_get_values_len(m_ld, e, name.c_str());
      ScopeGuard freeVals([vals] {
        if (vals) ldap_value_free_len(vals);
      });
      if (vals == nullptr || vals[0] == nullptr) {
        m_iLastCode = LDAP_NO_RESULTS_RETURNED;
        ORVA_LOG_ERROR("ldap_get_values_len() failed! ulRes = 0x%x", static_cast<uint32_t>(LDAP_NO_RESULTS_RETURNED));
        return ORVA_E_CALL_FAILED;
      }
      if (vals[0]->bv_len > ulMaxValueBytes) {
        ORVA_LOG_ERROR("The value is too large! ulLen = 0x%lx", static_cast<unsigned long>(vals[0]->bv_len));
        return ORVA_E_DATA_TOO_LONG;
      }
      const uint8_t* p = reinterpret_cast<const uint8_t*>(vals[0]->bv_val);
      value.assign(p, p + vals[0]->bv_len);
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

void CORVALdapSession::Close() {
  if (m_ld) ldap_unbind_ext_s(m_ld, nullptr, nullptr);
  m_ld = nullptr;
}
