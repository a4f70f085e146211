#pragma once
// The user's system certificate stores, kept as folders of files:
//   $ORVADESK_USER_DIR/certstore/<STORE>/<sha1 of DER, lower-case hex>.der
//   $ORVADESK_USER_DIR/certstore/<STORE>/<same>.json   properties (provider, container, ...)
// The store name is upper-cased ("My" and "MY" are one store). Every ".der" file of the
// folder is a certificate of the store, whatever its name, so one dropped in by hand counts.
// Writers of one store serialise through a lock file in its folder; files are replaced
// atomically, so readers in other processes see whole files only.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CX509Certificate;

// Store kinds of the typed Open.
inline constexpr uint32_t ORVA_CERT_STORE_READONLY = 1;   // read-only
inline constexpr uint32_t ORVA_CERT_STORE_READWRITE = 2;  // read and write (created if missing)
inline constexpr uint32_t ORVA_CERT_STORE_EXISTING = 4;   // read and write, only if it exists

class CCertificateStore {
 public:
  CCertificateStore();
  ~CCertificateStore();
  CCertificateStore(const CCertificateStore&) = delete;
  CCertificateStore& operator=(const CCertificateStore&) = delete;

  // Opens the personal store "My": read-only inside a browser sandbox, else read and write.
  uint32_t Open();
  // Opens "My" (or another system store: "MY", "CA", "ROOT", "SPC") of the given kind.
  // Failures are Windows error numbers (2 missing, 5 access denied, ...).
  uint32_t Open(uint32_t ulType, const char* pszStoreName = "My");
  uint32_t Close();
  bool IsOpen() const { return m_hStore != nullptr; }

  // Adds the certificate with its key-provider information, replacing any copy of the same
  // certificate (whatever its file name).
  uint32_t AddCertificate(const CX509Certificate* pCert);
  // Removes the certificate: the exact one when present, else the first whose public key is
  // the certificate's. None: 0x81000016.
  uint32_t RemoveCeriticate(const CX509Certificate* pCert);
  // The first certificate whose serial number text equals the given one, ignoring case; the
  // caller owns it. Null when none.
  std::unique_ptr<CX509Certificate> FindCertificateBySN(const char* lpszSerialNumer);
  // Every certificate of the store, in store order (file name order).
  uint32_t EnumCertificates(std::vector<std::unique_ptr<CX509Certificate>>& certs);

  // Folder of a system store.
  static std::string StoreFolder(const std::string& strStoreName);

 private:
  struct StoreHandle;
  struct Entry;
  uint32_t _OpenIfNeeded();
  uint32_t _ListEntries(std::vector<Entry>& entries) const;
  uint32_t _DeleteEntry(const Entry& entry) const;

  std::unique_ptr<StoreHandle> m_hStore;
};
