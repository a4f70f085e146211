#include "webservice/ORVATlsIdentity.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "platform/AtomicFile.h"
#include "platform/OpenSsl.h"
#include "platform/Paths.h"
#include "webservice/ORVAAccessPolicy.h"

extern char** environ;

namespace {

using namespace orva;

constexpr long kTwentyYearsDays = 20 * 365 + 5;
constexpr const char* kNssNickname = "OrvaDesk local CA";

bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ossl::X509ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool SetRandomSerial(X509* cert) {
  unsigned char raw[16];
  if (RAND_bytes(raw, sizeof raw) != 1) return false;
  raw[0] &= 0x7F;  // positive
  if (raw[0] == 0) raw[0] = 1;  // and always 16 bytes long
  ossl::BnPtr bn(BN_bin2bn(raw, sizeof raw, nullptr));
  return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool SetName(X509_NAME* name, const char* cn, const char* o) {
  if (o && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(o), -1, -1, 0) != 1)
    return false;
  return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(cn), -1, -1, 0) == 1;
}

bool SetValidity(X509* cert) {
  // A day of slack before now covers clocks that disagree a little.
  return X509_time_adj_ex(X509_getm_notBefore(cert), -1, 0, nullptr) != nullptr &&
         X509_time_adj_ex(X509_getm_notAfter(cert), kTwentyYearsDays, 0, nullptr) != nullptr;
}

std::string DerB64(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) return {};
  ossl::OpenSslBytesPtr hold(der);
  std::string out;
  CStringConvert::BinaryToBase64String(der, static_cast<size_t>(n), out);
  return out;
}

ossl::X509Ptr CertFromB64(const std::string& b64) {
  std::vector<uint8_t> der;
  if (CStringConvert::Base64StringToBinary(b64, der) != 0) return nullptr;
  const unsigned char* p = der.data();
  return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

ossl::EvpPkeyPtr KeyFromB64(const std::string& b64) {
  std::vector<uint8_t> der;
  if (CStringConvert::Base64StringToBinary(b64, der) != 0) return nullptr;
  const unsigned char* p = der.data();
  ossl::EvpPkeyPtr key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
  OrvaSecureZero(der);
  return key;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The three files hold a matching, issued pair.
bool IsUsable(const ORVA_SERVICE_IDENTITY& id) {
  ossl::X509Ptr cert = CertFromB64(id.strCertB64);
  ossl::X509Ptr ca = CertFromB64(id.strCaB64);
  ossl::EvpPkeyPtr key = KeyFromB64(id.strKeyB64);
  if (!cert || !ca || !key) return false;
  if (X509_check_private_key(cert.get(), key.get()) != 1) return false;
  EVP_PKEY* caKey = X509_get0_pubkey(ca.get());
  if (caKey == nullptr || X509_verify(cert.get(), caKey) != 1) return false;
  return X509_check_host(cert.get(), ORVA_SERVICE_HOST, 0, 0, nullptr) == 1;
}

// Runs a program with an argument vector (no shell), output collected; the exit code, or
// -1 when it could not start.
int RunTool(const std::vector<std::string>& args, std::string& output) {
  int pipeFd[2];
  if (pipe2(pipeFd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 2);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipeFd[1]);
  if (rc != 0) {
    close(pipeFd[0]);
    output = std::string(args[0]) + ": " + std::strerror(rc);
    return -1;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(pipeFd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) output.append(buf, static_cast<size_t>(n));
  close(pipeFd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string CORVATlsIdentity::Dir() {
  return platform::JoinPath(platform::UserSettingsDir(), "tls");
}

std::string CORVATlsIdentity::CertPem(const std::string& certB64) {
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  for (size_t i = 0; i < certB64.size(); i += 64) pem += certB64.substr(i, 64) + "\n";
  pem += "-----END CERTIFICATE-----\n";
  return pem;
}

uint32_t CORVATlsIdentity::Create(const std::string& dir, ORVA_SERVICE_IDENTITY& out) {
  ORVA_LOG_BEGIN();
  ossl::EvpPkeyPtr caKey(EVP_RSA_gen(2048));
  ossl::EvpPkeyPtr svcKey(EVP_RSA_gen(2048));
  if (!caKey || !svcKey) {
    ORVA_LOG_ERROR("EVP_RSA_gen() failed! %s", ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }

  // The CA: per installation, named with a random tag so that two installations' CAs
  // never share a name, and constrained to the loopback names.
  unsigned char tag[4];
  RAND_bytes(tag, sizeof tag);
  std::string tagHex;
  CStringConvert::BinaryToHexString(tag, sizeof tag, tagHex);
  std::string caName = "OrvaDesk Local CA " + tagHex;
  ossl::X509Ptr ca(X509_new());
  bool ok = ca && X509_set_version(ca.get(), 2) == 1 && SetRandomSerial(ca.get()) &&
            SetName(X509_get_subject_name(ca.get()), caName.c_str(), "OrvaDesk") &&
            X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1 &&
            SetValidity(ca.get()) && X509_set_pubkey(ca.get(), caKey.get()) == 1 &&
            AddExt(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
            AddExt(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
            AddExt(ca.get(), ca.get(), NID_subject_key_identifier, "hash") &&
            AddExt(ca.get(), ca.get(), NID_name_constraints,
                   "critical,permitted;DNS:orvadesk.localhost,permitted;DNS:localhost,"
                   "permitted;IP:127.0.0.1/255.255.255.255") &&
            X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0;

  ossl::X509Ptr svc(X509_new());
  ok = ok && svc && X509_set_version(svc.get(), 2) == 1 && SetRandomSerial(svc.get()) &&
       SetName(X509_get_subject_name(svc.get()), ORVA_SERVICE_HOST, nullptr) &&
       X509_set_issuer_name(svc.get(), X509_get_subject_name(ca.get())) == 1 &&
       SetValidity(svc.get()) && X509_set_pubkey(svc.get(), svcKey.get()) == 1 &&
       AddExt(svc.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       AddExt(svc.get(), ca.get(), NID_key_usage,
              "critical,digitalSignature,nonRepudiation,keyAgreement") &&
       AddExt(svc.get(), ca.get(), NID_ext_key_usage, "serverAuth") &&
       AddExt(svc.get(), ca.get(), NID_subject_alt_name, "DNS:orvadesk.localhost") &&
       AddExt(svc.get(), ca.get(), NID_subject_key_identifier, "hash") &&
       AddExt(svc.get(), ca.get(), NID_authority_key_identifier, "keyid:always") &&
       X509_sign(svc.get(), caKey.get(), EVP_sha256()) > 0;
  // The CA key is of no further use: freeing it clears its numbers (OpenSSL wipes private
  // key material on free).
  caKey.reset();
  if (!ok) {
    ORVA_LOG_ERROR("X509_sign() failed! %s", ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }

  // PKCS#8, as the key file holds it (i2d_PrivateKey would write PKCS#1 for RSA).
  unsigned char* keyDer = nullptr;
  int keyLen = -1;
  if (PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(svcKey.get())) {
    keyLen = i2d_PKCS8_PRIV_KEY_INFO(p8, &keyDer);
    PKCS8_PRIV_KEY_INFO_free(p8);
  }
  if (keyLen <= 0) {
    ORVA_LOG_ERROR("i2d_PKCS8_PRIV_KEY_INFO() failed!");
    return ORVA_E_CALL_FAILED;
  }
  ORVA_SERVICE_IDENTITY id;
  CStringConvert::BinaryToBase64String(keyDer, static_cast<size_t>(keyLen), id.strKeyB64);
  OrvaSecureZero(keyDer, static_cast<size_t>(keyLen));
  OPENSSL_free(keyDer);
  id.strCertB64 = DerB64(svc.get());
  id.strCaB64 = DerB64(ca.get());

  if (int e = platform::MakeDirs(dir, 0700); e != 0) {
    ORVA_LOG_ERROR("MakeDirs() failed! errno = %d", e);
    OrvaSecureZero(id.strKeyB64);
    return ConvertErrno(e, dir.c_str());
  }
  struct {
    const char* name;
    const std::string* text;
  } files[] = {{"service.key.b64", &id.strKeyB64},
               {"service.crt.b64", &id.strCertB64},
               {"ca.crt.b64", &id.strCaB64}};
  for (const auto& f : files) {
    std::string path = platform::JoinPath(dir, f.name);
    if (int e = platform::WriteFileAtomic(path, *f.text, 0600); e != 0) {
      ORVA_LOG_ERROR("WriteFileAtomic() failed! errno = %d", e);
      OrvaSecureZero(id.strKeyB64);
      return ConvertErrno(e, path.c_str());
    }
  }
  ORVA_LOG_INFO("Created the service identity, CA \"%s\".", caName.c_str());
  out = std::move(id);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVATlsIdentity::Load(ORVA_SERVICE_IDENTITY& out) {
  ORVA_LOG_BEGIN();
  std::string dir = Dir();
  platform::MakeDirs(dir, 0700);
  // Two agents starting at once must not both create a CA.
  platform::FileLock lock(platform::JoinPath(dir, ".lock"));

  ORVA_SERVICE_IDENTITY id;
  bool present = platform::ReadWholeFile(platform::JoinPath(dir, "service.crt.b64"), id.strCertB64) == 0 &&
                 platform::ReadWholeFile(platform::JoinPath(dir, "service.key.b64"), id.strKeyB64) == 0 &&
                 platform::ReadWholeFile(platform::JoinPath(dir, "ca.crt.b64"), id.strCaB64) == 0;
  id.strCertB64 = Trimmed(std::move(id.strCertB64));
  id.strKeyB64 = Trimmed(std::move(id.strKeyB64));
  id.strCaB64 = Trimmed(std::move(id.strCaB64));
  if (present && IsUsable(id)) {
    out = std::move(id);
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (present) ORVA_LOG_ERROR("The service identity in %s is unusable; making a new one.", dir.c_str());
  OrvaSecureZero(id.strKeyB64);
  uint32_t res = Create(dir, out);
  if (res != 0) {
    ORVA_LOG_ERROR("Create() failed! ulRes = 0x%x", res);
    return res;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVATlsIdentity::TrustInBrowsers(const ORVA_SERVICE_IDENTITY& id,
                                           std::string& strReport) {
  ORVA_LOG_BEGIN();
  std::string nssDir = platform::JoinPath(platform::HomeDir(), ".pki/nssdb");
  std::string db = "sql:" + nssDir;
  std::string pemPath = platform::JoinPath(Dir(), "ca.pem");
  if (int e = platform::WriteFileAtomic(pemPath, CertPem(id.strCaB64), 0644); e != 0) {
    strReport = "cannot write " + pemPath + ": " + std::strerror(e);
    return ConvertErrno(e, pemPath.c_str());
  }
  std::string out;
  struct stat st {};
  if (::stat(platform::JoinPath(nssDir, "cert9.db").c_str(), &st) != 0) {
    platform::MakeDirs(nssDir, 0700);
    int rc = RunTool({"certutil", "-d", db, "-N", "--empty-password"}, out);
    if (rc != 0) {
      strReport = "certutil -N failed: " + out;
      ORVA_LOG_ERROR("certutil -N failed! rc = %d", rc);
      return ORVA_E_CALL_FAILED;
    }
  }
  // An older CA of this installation under the same nickname is replaced.
  for (int i = 0; i < 8; ++i) {
    std::string ignored;
    if (RunTool({"certutil", "-d", db, "-D", "-n", kNssNickname}, ignored) != 0) break;
  }
  out.clear();
  int rc = RunTool({"certutil", "-d", db, "-A", "-n", kNssNickname, "-t", "C,,", "-i", pemPath}, out);
  if (rc != 0) {
    strReport = "certutil -A failed: " + out;
    ORVA_LOG_ERROR("certutil -A failed! rc = %d", rc);
    return ORVA_E_CALL_FAILED;
  }
  strReport = "added \"" + std::string(kNssNickname) + "\" to " + db;
  ORVA_LOG_END();
  return ORVA_OK;
}
