#pragma once
// One session with a directory server through the OpenLDAP client library, which is reached
// only here. The session is closed (unbound) when the object goes, on every path.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef struct ldap LDAP;

class CORVALdapSession {
 public:
  CORVALdapSession() = default;
  ~CORVALdapSession() { Close(); }
  CORVALdapSession(const CORVALdapSession&) = delete;
  CORVALdapSession& operator=(const CORVALdapSession&) = delete;

  // Opens a session to ldap://host:port (protocol 3, no referrals followed) and connects
  // within ulConnectTimeoutSec; every later operation waits at most ulOpTimeoutSec. The host
  // must be a plain name or address (letters, digits, ".", "-").
  uint32_t Connect(const std::string& strHost, uint32_t ulPort, uint32_t ulConnectTimeoutSec,
                   uint32_t ulOpTimeoutSec);
  // Anonymous simple bind.
  uint32_t BindAnonymous();
  // Searches the base object `strBase` with `strFilter` for all attributes and takes the
  // first attribute, over the entries and their attributes in order, whose name `fnWanted`
  // accepts: its first value (at most ulMaxValueBytes) and its name. Found or not, the search
  // ends at that attribute; *pbFound says whether there was one.
  uint32_t FindFirstValue(const std::string& strBase, const std::string& strFilter,
                          const std::function<bool(const std::string&)>& fnWanted, size_t ulMaxValueBytes,
                          std::vector<uint8_t>& value, std::string& strAttr, bool* pbFound);
  void Close();

  // The library's code of the last failure (for log lines).
  int LastLdapCode() const { return m_iLastCode; }
  // The one table from the library's codes to the program's.
  static uint32_t ConvertLdapCode(int iCode);

 private:
  LDAP* m_ld = nullptr;
  uint32_t m_ulOpTimeoutSec = 10;
  int m_iLastCode = 0;
};
