// The legacy provider, in a binary of its own so that nothing has loaded it before the test:
// without it OpenSSL 3 can neither run single DES nor open a PKCS#12 file made with the old
// algorithms; after OrvaLoadLegacyProvider (called from several threads at once) both work and
// the default algorithms still do.
#include <gtest/gtest.h>

#include <openssl/pkcs12.h>

#include <thread>
#include <vector>

#include "crypto/OpenSSLKey.h"
#include "crypto/OpenSSLProvider.h"
#include "crypto/tests/CryptoTestUtil.h"

using namespace cryptotest;

namespace {

bool OpensPkcs12(const std::string& name) {
  Bytes der = ReadBytes(orva::testing::TestPkiDir() + "/p12/" + name + ".p12");
  const unsigned char* p = der.data();
  orva::ossl::Ptr<PKCS12, PKCS12_free> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  bool ok = p12 && PKCS12_parse(p12.get(), "p12 pass", &key, &cert, nullptr) == 1 && key && cert;
  EVP_PKEY_free(key);
  X509_free(cert);
  ERR_clear_error();
  return ok;
}

bool DesWorks() {
  uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, data[8] = {}, out[16];
  COpenSSLKey k;
  k.importKey(SYMM_DES_ECB, ORVA_KEY_TYPE_SYMM, key, 8);
  k.set_Padding(0);
  uint32_t len = sizeof out;
  return k.encrypt(data, 8, out, &len) == ORVA_OK && len == 8;
}

}  // namespace

TEST(LegacyProvider, LoadedOnceForDesAndOldPkcs12) {
  EXPECT_FALSE(OpensPkcs12("rsa-sign-legacy"));
  EXPECT_TRUE(OpensPkcs12("rsa-sign-aes"));
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
  EXPECT_EQ(des, nullptr);
  EVP_CIPHER_free(des);
  ERR_clear_error();

  std::vector<std::thread> threads;
  std::vector<uint32_t> results(8, 1);
  for (size_t i = 0; i < results.size(); ++i) threads.emplace_back([&, i] { results[i] = OrvaLoadLegacyProvider(); });
  for (auto& t : threads) t.join();
  for (uint32_t r : results) EXPECT_EQ(r, ORVA_OK);

  EXPECT_TRUE(OpensPkcs12("rsa-sign-legacy"));
  EXPECT_TRUE(OpensPkcs12("rsa-sign-aes"));
  EXPECT_TRUE(DesWorks());
  EXPECT_EQ(Hex(Digest(HASH_SHA256, ToBytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
