#include "devices/skf/tests/SoftSkfKit.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstring>

#include "crypto/OpenSSLASN1.h"
#include "foundation/SettingsStore.h"
#include "platform/OpenSsl.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace skftest {

std::string LibPath(const std::string& file) { return orva::testing::BinaryDir() + "/tools/softskf/" + file; }

SoftSkfLib::SoftSkfLib(const std::string& file) : m_path(LibPath(file)) {
  m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    ADD_FAILURE() << "cannot open " << m_path << ": " << dlerror();
    std::abort();
  }
  auto sym = [this](const char* name) {
    void* p = dlsym(m_handle, name);
    if (p == nullptr) {
      ADD_FAILURE() << name << " is not exported by " << m_path;
      std::abort();
    }
    return p;
  };
  m_plug = reinterpret_cast<PFN_SOFTSKF_Plug>(sym("SOFTSKF_Plug"));
  m_unplug = reinterpret_cast<PFN_SOFTSKF_Unplug>(sym("SOFTSKF_Unplug"));
  m_reset = reinterpret_cast<PFN_SOFTSKF_ResetJson>(sym("SOFTSKF_ResetJson"));
  m_fail = reinterpret_cast<PFN_SOFTSKF_FailNext>(sym("SOFTSKF_FailNext"));
  m_post = reinterpret_cast<PFN_SOFTSKF_PostEvent>(sym("SOFTSKF_PostEvent"));
  m_count = reinterpret_cast<PFN_SOFTSKF_CallCount>(sym("SOFTSKF_CallCount"));
  m_waiters = reinterpret_cast<PFN_SOFTSKF_Waiters>(sym("SOFTSKF_Waiters"));
}

SoftSkfLib::~SoftSkfLib() {
  if (m_handle) dlclose(m_handle);
}

ULONG SoftSkfLib::Reset(const Json::Value& state) const {
  Json::StreamWriterBuilder w;
  return m_reset(Json::writeString(w, state).c_str());
}

Json::Value Container(const std::string& name, const std::string& signKey, const std::string& signCert,
                      const std::string& exchKey, const std::string& exchCert) {
  Json::Value c(Json::objectValue);
  c["name"] = name;
  if (!signKey.empty()) c["signKeyFile"] = orva::testing::TestPkiKeyPath(signKey);
  if (!signCert.empty()) c["signCertFile"] = orva::testing::TestPkiCertPath(signCert);
  if (!exchKey.empty()) c["exchKeyFile"] = orva::testing::TestPkiKeyPath(exchKey);
  if (!exchCert.empty()) c["exchCertFile"] = orva::testing::TestPkiCertPath(exchCert);
  return c;
}

Json::Value App(const std::string& name, std::vector<Json::Value> containers, uint32_t retries,
                const std::string& adminPin, const std::string& userPin) {
  Json::Value a(Json::objectValue);
  a["name"] = name;
  a["adminPin"]["value"] = adminPin;
  a["adminPin"]["maxRetry"] = retries;
  a["userPin"]["value"] = userPin;
  a["userPin"]["maxRetry"] = retries;
  a["containers"] = Json::Value(Json::arrayValue);
  for (auto& c : containers) a["containers"].append(c);
  return a;
}

Json::Value Device(const std::string& name, const std::string& label, const std::string& serial,
                   std::vector<Json::Value> apps, bool present) {
  Json::Value d(Json::objectValue);
  d["name"] = name;
  d["label"] = label;
  d["serial"] = serial;
  d["present"] = present;
  d["applications"] = Json::Value(Json::arrayValue);
  for (auto& a : apps) d["applications"].append(a);
  return d;
}

Json::Value State(std::vector<Json::Value> devices) {
  Json::Value s(Json::objectValue);
  s["devices"] = Json::Value(Json::arrayValue);
  for (auto& d : devices) s["devices"].append(d);
  return s;
}

void WriteKit(const std::string& libPath, const std::string& csp, const std::string& aux) {
  const std::string root = kOrvaSettingsKey;
  Json::Value s(Json::objectValue);
  s[root]["LogEnabled"] = 1;
  Json::Value& kit = s[root + "\\SoftKit"];
  kit["SDKName"] = "SoftKit";
  kit["Manufacturer"] = "OrvaDesk";
  kit["DefaultSdkType"] = 3;
  kit["CSPName"] = csp;
  kit["SKFImage"] = libPath;
  if (!aux.empty()) kit["GEAImage"] = aux;
  ASSERT_TRUE(orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                                       Json::writeString(Json::StreamWriterBuilder(), s)));
}

namespace {

orva::ossl::EvpPkeyPtr ReadKey(const std::string& path, bool bPublic) {
  std::string pem = orva::testing::ReadFile(path);
  orva::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return orva::ossl::EvpPkeyPtr(bPublic ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)
                                        : PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace

std::vector<uint8_t> EnvelopedKeyBlob(const std::string& exchKey, const std::string& wrapKey) {
  std::vector<uint8_t> out;
  auto priv = ReadKey(orva::testing::TestPkiKeyPath(exchKey), false);
  auto wrapTo = ReadKey(orva::testing::TestPkiKeyPath(wrapKey, true), true);
  if (!priv || !wrapTo) {
    ADD_FAILURE() << "test PKI keys missing";
    return out;
  }
  BIGNUM* d = nullptr;
  uint8_t point[65];
  size_t pointLen = 0;
  if (EVP_PKEY_get_bn_param(priv.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
      EVP_PKEY_get_octet_string_param(priv.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLen) != 1) {
    ADD_FAILURE() << "cannot read the key";
    return out;
  }
  orva::ossl::BnPtr dOwn(d);
  uint8_t scalar[32];
  BN_bn2binpad(d, scalar, 32);
  uint8_t symm[16];
  RAND_bytes(symm, sizeof symm);

  ENVELOPEDKEYBLOB head{};
  head.Version = 1;
  head.ulSymmAlgID = SGD_SM4_ECB;
  head.ulBits = 256;
  int n1 = 0, n2 = 0;
  orva::ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, symm, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EVP_EncryptUpdate(ctx.get(), head.cbEncryptedPriKey + 32, &n1, scalar, 32);
  EVP_EncryptFinal_ex(ctx.get(), head.cbEncryptedPriKey + 32 + n1, &n2);
  head.PubKey.BitLen = 256;
  std::memcpy(head.PubKey.XCoordinate + 32, point + 1, 32);
  std::memcpy(head.PubKey.YCoordinate + 32, point + 33, 32);

  orva::ossl::EvpPkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, wrapTo.get(), nullptr));
  size_t derLen = 0;
  EVP_PKEY_encrypt_init(pctx.get());
  EVP_PKEY_encrypt(pctx.get(), nullptr, &derLen, symm, sizeof symm);
  std::vector<uint8_t> der(derLen);
  EVP_PKEY_encrypt(pctx.get(), der.data(), &derLen, symm, sizeof symm);
  uint32_t blobLen = 0;
  COpenSSLASN1::d2i_SM2Cipher(der.data(), static_cast<uint32_t>(derLen), nullptr, &blobLen);
  std::vector<uint8_t> cipher(blobLen);
  if (COpenSSLASN1::d2i_SM2Cipher(der.data(), static_cast<uint32_t>(derLen), cipher.data(), &blobLen) != 0) {
    ADD_FAILURE() << "cannot convert the wrapped key";
    return out;
  }
  out.assign(reinterpret_cast<uint8_t*>(&head), reinterpret_cast<uint8_t*>(&head) + offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob));
  out.insert(out.end(), cipher.begin(), cipher.begin() + blobLen);
  return out;
}

}  // namespace skftest
