#include "certificates/CertificateStore.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <mutex>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/AtomicFile.h"
#include "platform/ErrnoMap.h"
#include "platform/OpenSsl.h"
#include "platform/Paths.h"

namespace {

constexpr uint64_t kMaxCertFileBytes = 1u << 20;
constexpr uint64_t kMaxSidecarBytes = 64u << 10;

std::string Sha1Hex(const std::vector<uint8_t>& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), md, &n, EVP_sha1(), nullptr);
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out.push_back(kDigits[md[i] >> 4]);
    out.push_back(kDigits[md[i] & 0xF]);
  }
  return out;
}

bool ValidStoreName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_';
  });
}

std::string SidecarPath(const std::string& derPath) {
  return derPath.substr(0, derPath.size() - 4) + ".json";
}

std::string SidecarText(const ORVA_KEY_PROV_INFO& info) {
  Json::Value v(Json::objectValue);
  v["provider"] = info.strProvName;
  v["container"] = info.strContainerName;
  v["providerType"] = info.dwProvType;
  v["keySpec"] = info.dwKeySpec;
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v) + "\n";
}

// Properties kept beside a certificate; anything malformed counts as none.
bool ReadSidecar(const std::string& path, ORVA_KEY_PROV_INFO& info) {
  std::string text;
  if (orva::platform::ReadWholeFile(path, text, kMaxSidecarBytes) != 0) return false;
  Json::CharReaderBuilder b;
  Json::Value v;
  std::string errs;
  std::istringstream in(text);
  if (!Json::parseFromStream(b, in, &v, &errs) || !v.isObject()) return false;
  const Json::Value& prov = v["provider"];
  const Json::Value& cont = v["container"];
  if (!prov.isString() || !cont.isString()) return false;
  info.strProvName = prov.asString();
  info.strContainerName = cont.asString();
  info.dwProvType = v["providerType"].isUInt() ? v["providerType"].asUInt() : ORVA_PROV_TYPE_RSA_FULL;
  info.dwKeySpec = v["keySpec"].isUInt() ? v["keySpec"].asUInt() : ORVA_AT_KEYEXCHANGE;
  return true;
}

// Serialises writers of one process; the lock file serialises processes.
std::mutex& WriteMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

struct CCertificateStore::StoreHandle {
  std::string name;
  std::string folder;
  bool bReadOnly = false;
};

struct CCertificateStore::Entry {
  std::string derPath;
  std::vector<uint8_t> der;
};

CCertificateStore::CCertificateStore() = default;
CCertificateStore::~CCertificateStore() { Close(); }

std::string CCertificateStore::StoreFolder(const std::string& strStoreName) {
  std::string upper = strStoreName;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return orva::platform::JoinPath(orva::platform::JoinPath(orva::platform::UserSettingsDir(), "certstore"),
                                  upper);
}

uint32_t CCertificateStore::Open() {
  ORVA_LOG_BEGIN();
  // No browser sandbox exists here: the process is never in protected mode.
  uint32_t ulProtectMode = 0;
  ORVA_LOG_INFO("IE protect mode is: 0x%x, ulRes=0x%x", ulProtectMode, 0u);
  uint32_t ulRes = Open(ulProtectMode == 2 ? ORVA_CERT_STORE_READONLY : ORVA_CERT_STORE_READWRITE);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Open() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertificateStore::Open(uint32_t ulType, const char* pszStoreName) {
  ORVA_LOG_BEGIN();
  std::string name = pszStoreName ? pszStoreName : "";
  ORVA_LOG_INFO("Certificate store type is: 0x%x, pszStoreName=%s", ulType, name.c_str());
  if (!ValidStoreName(name)) {
    ORVA_LOG_ERROR("pszStoreName is wrong!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulType != ORVA_CERT_STORE_READONLY && ulType != ORVA_CERT_STORE_READWRITE &&
      ulType != ORVA_CERT_STORE_EXISTING) {
    ORVA_LOG_ERROR("Store type is wrong! ulType=0x%x", ulType);
    return ORVA_E_INVALID_PARAM;
  }
  Close();
  auto h = std::make_unique<StoreHandle>();
  h->name = name;
  h->folder = StoreFolder(name);
  h->bReadOnly = ulType == ORVA_CERT_STORE_READONLY;
  struct stat st {};
  bool exists = stat(h->folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (ulType == ORVA_CERT_STORE_EXISTING && !exists) {
    ORVA_LOG_ERROR("CertOpenStore() failed! ulRes=0x%x", orva::platform::kWinErrorFileNotFound);
    return orva::platform::kWinErrorFileNotFound;
  }
  if (ulType == ORVA_CERT_STORE_READWRITE && !exists) {
    int err = orva::platform::MakeDirs(h->folder, 0700);
    if (err != 0) {
      uint32_t ulRes = orva::platform::WinErrorFromErrno(err, h->folder);
      ORVA_LOG_ERROR("CertOpenStore() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
  }
  m_hStore = std::move(h);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertificateStore::Close() {
  m_hStore.reset();
  return ORVA_OK;
}

uint32_t CCertificateStore::_OpenIfNeeded() {
  if (m_hStore) return ORVA_OK;
  uint32_t ulRes = Open();
  if (ulRes != ORVA_OK) ORVA_LOG_ERROR("Open store failed! ulRes=0x%x", ulRes);
  return ulRes;
}

uint32_t CCertificateStore::_ListEntries(std::vector<Entry>& entries) const {
  entries.clear();
  DIR* d = opendir(m_hStore->folder.c_str());
  if (d == nullptr) {
    if (errno == ENOENT) return ORVA_OK;  // a read-only store that was never written
    return orva::platform::WinErrorFromErrno(errno, m_hStore->folder);
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n[0] != '.' && n.compare(n.size() - 4, 4, ".der") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    Entry entry;
    entry.derPath = orva::platform::JoinPath(m_hStore->folder, n);
    struct stat st {};
    if (stat(entry.derPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string bytes;
    if (orva::platform::ReadWholeFile(entry.derPath, bytes, kMaxCertFileBytes) != 0) continue;
    entry.der.assign(bytes.begin(), bytes.end());
    entries.push_back(std::move(entry));
  }
  return ORVA_OK;
}

uint32_t CCertificateStore::_DeleteEntry(const Entry& entry) const {
  if (unlink(entry.derPath.c_str()) != 0 && errno != ENOENT)
    return orva::platform::WinErrorFromErrno(errno, entry.derPath);
  std::string side = SidecarPath(entry.derPath);
  if (unlink(side.c_str()) != 0 && errno != ENOENT)
    return orva::platform::WinErrorFromErrno(errno, side);
  return ORVA_OK;
}

namespace {

std::unique_ptr<CX509Certificate> LoadEntry(const std::string& derPath, const std::vector<uint8_t>& der) {
  auto cert = std::make_unique<CX509Certificate>();
  if (cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())) != ORVA_OK) return nullptr;
  ORVA_KEY_PROV_INFO info;
  if (ReadSidecar(SidecarPath(derPath), info)) cert->SetKeyProvInfo(info);
  return cert;
}

}  // namespace

uint32_t CCertificateStore::AddCertificate(const CX509Certificate* pCert) {
  ORVA_LOG_BEGIN();
  if (pCert == nullptr) {
    ORVA_LOG_ERROR("pCert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> der;
  uint32_t ulRes = pCert->ToBuffer(der);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ToBuffer() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ulRes = _OpenIfNeeded();
  if (ulRes != ORVA_OK) return ulRes;
  if (m_hStore->bReadOnly) {
    ORVA_LOG_ERROR("CertAddCertificateContextToStore() failed! ulRes=0x%x",
                   orva::platform::kWinErrorAccessDenied);
    return orva::platform::kWinErrorAccessDenied;
  }

  std::lock_guard<std::mutex> guard(WriteMutex());
  orva::platform::FileLock lock(orva::platform::JoinPath(m_hStore->folder, ".lock"));
  std::string derPath = orva::platform::JoinPath(m_hStore->folder, Sha1Hex(der) + ".der");
  std::vector<Entry> entries;
  ulRes = _ListEntries(entries);
  // Copies of the same certificate under other names (dropped in by hand) are replaced too.
  for (const Entry& e : entries) {
    if (e.der == der && e.derPath != derPath && (ulRes = _DeleteEntry(e)) != ORVA_OK) break;
  }
  if (ulRes == ORVA_OK) {
    ORVA_KEY_PROV_INFO info;
    std::string side = SidecarPath(derPath);
    int err = 0;
    if (pCert->GetKeyProvInfo(info)) {
      err = orva::platform::WriteFileAtomic(side, SidecarText(info), 0600);
    } else if (unlink(side.c_str()) != 0 && errno != ENOENT) {
      err = errno;
    }
    if (err == 0)
      err = orva::platform::WriteFileAtomic(derPath, std::string(der.begin(), der.end()), 0600);
    if (err != 0) ulRes = orva::platform::WinErrorFromErrno(err, derPath);
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CertAddCertificateContextToStore() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CCertificateStore::RemoveCeriticate(const CX509Certificate* pCert) {
  ORVA_LOG_BEGIN();
  if (pCert == nullptr) {
    ORVA_LOG_ERROR("pCert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> der, spki;
  uint32_t ulRes = pCert->ToBuffer(der);
  if (ulRes == ORVA_OK) ulRes = pCert->GetPublicKeyInfo(spki);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ToBuffer() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ulRes = _OpenIfNeeded();
  if (ulRes != ORVA_OK) return ulRes;

  std::lock_guard<std::mutex> guard(WriteMutex());
  std::unique_ptr<orva::platform::FileLock> lock;
  if (!m_hStore->bReadOnly)
    lock = std::make_unique<orva::platform::FileLock>(orva::platform::JoinPath(m_hStore->folder, ".lock"));
  std::vector<Entry> entries;
  ulRes = _ListEntries(entries);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CertEnumCertificatesInStore() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  // The exact certificate first; only when it is absent the first one with the same key
  // (a renewed certificate whose old copy is still registered).
  const Entry* found = nullptr;
  for (const Entry& e : entries) {
    if (e.der == der) {
      found = &e;
      break;
    }
  }
  if (found == nullptr) {
    for (const Entry& e : entries) {
      CX509Certificate stored;
      std::vector<uint8_t> storedKey;
      if (stored.FromBuffer(e.der.data(), static_cast<uint32_t>(e.der.size())) == ORVA_OK &&
          stored.GetPublicKeyInfo(storedKey) == ORVA_OK && storedKey == spki) {
        found = &e;
        break;
      }
    }
  }
  if (found == nullptr) {
    ORVA_LOG_ERROR("Can't find this certificate in store!");
    return ORVA_E_NO_CERT;
  }
  ulRes = m_hStore->bReadOnly ? orva::platform::kWinErrorAccessDenied : _DeleteEntry(*found);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CertDeleteCertificateFromStore() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

std::unique_ptr<CX509Certificate> CCertificateStore::FindCertificateBySN(const char* lpszSerialNumer) {
  ORVA_LOG_BEGIN();
  if (lpszSerialNumer == nullptr || *lpszSerialNumer == '\0') {
    ORVA_LOG_ERROR("lpszSerialNumer is NULL!");
    return nullptr;
  }
  if (_OpenIfNeeded() != ORVA_OK) return nullptr;
  std::vector<Entry> entries;
  if (_ListEntries(entries) != ORVA_OK) return nullptr;
  for (const Entry& e : entries) {
    std::unique_ptr<CX509Certificate> cert = LoadEntry(e.derPath, e.der);
    std::string sn;
    if (!cert || cert->get_SN(sn) != ORVA_OK) continue;
    ORVA_LOG_INFO("Found cert: %s", sn.c_str());
    if (strcasecmp(sn.c_str(), lpszSerialNumer) == 0) {
      ORVA_LOG_END();
      return cert;
    }
  }
  ORVA_LOG_INFO("Can't find this certificate in store!");
  return nullptr;
}

uint32_t CCertificateStore::EnumCertificates(std::vector<std::unique_ptr<CX509Certificate>>& certs) {
  ORVA_LOG_BEGIN();
  certs.clear();
  uint32_t ulRes = _OpenIfNeeded();
  if (ulRes != ORVA_OK) return ulRes;
  std::vector<Entry> entries;
  ulRes = _ListEntries(entries);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CertEnumCertificatesInStore() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  for (const Entry& e : entries) {
    if (std::unique_ptr<CX509Certificate> cert = LoadEntry(e.derPath, e.der))
      certs.push_back(std::move(cert));
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
