// The software token's cryptography through its GM/T 0016 functions, checked against the
// openssl command line: SM2 signatures over the token's SM3 digest with the signer's Z value,
// the SM4 known answer, session keys wrapped with SM2 and RSA and the data they encrypt, RSA
// PKCS#1 signatures; and the access rules and handle rules of a real token.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/OpenSSLASN1.h"
#include "devices/skf/SkfApi.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "tools/softskf/SoftSkfControl.h"

using orva::testing::MakeTempDir;
using orva::testing::ReadFile;
using orva::testing::RunProgram;
using orva::testing::TestPkiCertPath;
using orva::testing::TestPkiKeyPath;
using orva::testing::WriteFile;

namespace {

struct Skf {
#define SKF_ENTRY(name, params) PFN_##name name = nullptr;
  SKF_FUNCTION_LIST(SKF_ENTRY)
#undef SKF_ENTRY
  PFN_SOFTSKF_ResetJson Reset = nullptr;
  void* handle = nullptr;

  Skf() {
    std::string path = orva::testing::BinaryDir() + "/tools/softskf/libsoftskf.so";
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::abort();
#define SKF_RESOLVE(name, params) name = reinterpret_cast<PFN_##name>(dlsym(handle, #name));
    SKF_FUNCTION_LIST(SKF_RESOLVE)
#undef SKF_RESOLVE
    Reset = reinterpret_cast<PFN_SOFTSKF_ResetJson>(dlsym(handle, "SOFTSKF_ResetJson"));
  }
  ~Skf() { dlclose(handle); }
};

std::string Hex(const uint8_t* p, size_t n) {
  static const char* h = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += h[p[i] >> 4];
    s += h[p[i] & 15];
  }
  return s;
}

std::string Openssl(const std::vector<std::string>& args, int* code = nullptr) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  int rc = RunProgram(argv, out, 20000);
  if (code) *code = rc;
  return out;
}

class SoftSkfCrypto : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("SOFTSKF_STATE");
    unsetenv("SOFTSKF_CONTROL");
  }

  void SetUp() override {
    Json::Value c1(Json::objectValue), c2(Json::objectValue);
    c1["name"] = "SM2";
    c1["signKeyFile"] = TestPkiKeyPath("sm2-sign");
    c1["signCertFile"] = TestPkiCertPath("sm2-sign");
    c1["exchKeyFile"] = TestPkiKeyPath("sm2-exch");
    c1["exchCertFile"] = TestPkiCertPath("sm2-exch");
    c2["name"] = "RSA";
    c2["signKeyFile"] = TestPkiKeyPath("rsa-sign");
    c2["exchKeyFile"] = TestPkiKeyPath("rsa-exch");
    Json::Value app(Json::objectValue);
    app["name"] = "APP";
    app["adminPin"]["value"] = "admin1234";
    app["userPin"]["value"] = "demo1234";
    app["containers"].append(c1);
    app["containers"].append(c2);
    Json::Value dev(Json::objectValue);
    dev["name"] = "K1";
    dev["applications"].append(app);
    Json::Value state(Json::objectValue);
    state["devices"].append(dev);
    ASSERT_EQ(skf.Reset(Json::writeString(Json::StreamWriterBuilder(), state).c_str()), SAR_OK);
    ASSERT_EQ(skf.SKF_ConnectDev(const_cast<char*>("K1"), &hDev), SAR_OK);
    ASSERT_EQ(skf.SKF_OpenApplication(hDev, const_cast<char*>("APP"), &hApp), SAR_OK);
    ASSERT_EQ(skf.SKF_OpenContainer(hApp, const_cast<char*>("SM2"), &hSm2), SAR_OK);
    ASSERT_EQ(skf.SKF_OpenContainer(hApp, const_cast<char*>("RSA"), &hRsa), SAR_OK);
    dir = MakeTempDir("skf");
  }
  void TearDown() override {
    if (hDev) skf.SKF_DisConnectDev(hDev);
  }

  void Login() {
    ULONG retry = 0;
    ASSERT_EQ(skf.SKF_VerifyPIN(hApp, USER_TYPE, const_cast<char*>("demo1234"), &retry), SAR_OK);
  }

  std::vector<uint8_t> Bytes(const std::string& file) {
    std::string s = ReadFile(file);
    return std::vector<uint8_t>(s.begin(), s.end());
  }
  void Put(const std::string& file, const uint8_t* p, size_t n) {
    ASSERT_TRUE(WriteFile(file, std::string(reinterpret_cast<const char*>(p), n)));
  }

  Skf skf;
  DEVHANDLE hDev = nullptr;
  HAPPLICATION hApp = nullptr;
  HCONTAINER hSm2 = nullptr, hRsa = nullptr;
  std::string dir;
};

}  // namespace

TEST_F(SoftSkfCrypto, Sm2SignatureOverTheTokensDigestVerifiesWithOpenssl) {
  ECCPUBLICKEYBLOB pub;
  ULONG len = sizeof pub;
  ASSERT_EQ(skf.SKF_ExportPublicKey(hSm2, TRUE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
  ASSERT_EQ(len, 132u);
  const std::string msg = "message signed on the software token";
  for (bool defaultId : {false, true}) {
    SCOPED_TRACE(defaultId ? "no identity given: the default one" : "identity given");
    HANDLE hHash = nullptr;
    unsigned char id[] = "1234567812345678";
    ASSERT_EQ(skf.SKF_DigestInit(hDev, SGD_SM3, &pub, defaultId ? nullptr : id, defaultId ? 0 : 16, &hHash), SAR_OK);
    ASSERT_EQ(skf.SKF_DigestUpdate(hHash, reinterpret_cast<BYTE*>(const_cast<char*>(msg.data())),
                                   static_cast<ULONG>(msg.size())),
              SAR_OK);
    uint8_t digest[32];
    ULONG dlen = 0;
    ASSERT_EQ(skf.SKF_DigestFinal(hHash, nullptr, &dlen), SAR_OK);
    EXPECT_EQ(dlen, 32u);
    dlen = 16;
    EXPECT_EQ(skf.SKF_DigestFinal(hHash, digest, &dlen), SAR_BUFFER_TOO_SMALL);
    dlen = sizeof digest;
    ASSERT_EQ(skf.SKF_DigestFinal(hHash, digest, &dlen), SAR_OK);
    EXPECT_EQ(skf.SKF_DigestUpdate(hHash, digest, 1), SAR_HASHOBJERR);  // finished
    EXPECT_EQ(skf.SKF_CloseHandle(hHash), SAR_OK);

    ECCSIGNATUREBLOB sig;
    if (!defaultId) {
      EXPECT_EQ(skf.SKF_ECCSignData(hSm2, digest, 32, &sig), SAR_USER_NOT_LOGGED_IN);
      Login();
    }
    ASSERT_EQ(skf.SKF_ECCSignData(hSm2, digest, 32, &sig), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCVerify(hDev, &pub, digest, 32, &sig), SAR_OK);
    digest[0] ^= 1;
    EXPECT_EQ(skf.SKF_ECCVerify(hDev, &pub, digest, 32, &sig), SAR_FAIL);

    // The signature as DER, checked by openssl over the message with the GM identity.
    ORVA_SM2_SIGNATURE rec{};
    rec.ulBits = 256;
    std::memcpy(rec.r, sig.r, 64);
    std::memcpy(rec.s, sig.s, 64);
    uint8_t der[80];
    uint32_t derLen = sizeof der;
    ASSERT_EQ(COpenSSLASN1::i2d_SM2Signature(&rec, der, &derLen), 0u);
    Put(dir + "/sig.der", der, derLen);
    ASSERT_TRUE(WriteFile(dir + "/msg", msg));
    int rc = -1;
    std::string out = Openssl({"pkeyutl", "-verify", "-rawin", "-digest", "sm3", "-pubin", "-inkey",
                               TestPkiKeyPath("sm2-sign", true), "-pkeyopt", "distid:1234567812345678", "-in",
                               dir + "/msg", "-sigfile", dir + "/sig.der"},
                              &rc);
    EXPECT_EQ(rc, 0) << out;
  }
}

TEST_F(SoftSkfCrypto, Sm4MatchesTheStandardsVector) {
  uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  HANDLE hKey = nullptr;
  ASSERT_EQ(skf.SKF_SetSymmKey(hDev, key, SGD_SM4_ECB, &hKey), SAR_OK);
  BLOCKCIPHERPARAM p{};
  uint8_t out[32];
  ULONG len = sizeof out;
  EXPECT_EQ(skf.SKF_Encrypt(hKey, key, 16, out, &len), SAR_NOTINITIALIZEERR);
  ASSERT_EQ(skf.SKF_EncryptInit(hKey, p), SAR_OK);
  EXPECT_EQ(skf.SKF_Encrypt(hKey, key, 15, out, &len), SAR_INDATALENERR);  // no padding
  ASSERT_EQ(skf.SKF_Encrypt(hKey, key, 16, out, &len), SAR_OK);
  EXPECT_EQ(Hex(out, len), "681edf34d206965e86b3e94f536e4246");
  ASSERT_EQ(skf.SKF_DecryptInit(hKey, p), SAR_OK);
  uint8_t back[16];
  len = sizeof back;
  ASSERT_EQ(skf.SKF_DecryptUpdate(hKey, out, 16, back, &len), SAR_OK);
  ULONG fin = 0;
  ASSERT_EQ(skf.SKF_DecryptFinal(hKey, back + len, &fin), SAR_OK);
  EXPECT_EQ(std::memcmp(back, key, 16), 0);
  EXPECT_EQ(skf.SKF_CloseHandle(hKey), SAR_OK);
  EXPECT_EQ(skf.SKF_EncryptInit(hKey, p), SAR_INVALIDHANDLEERR);
}

TEST_F(SoftSkfCrypto, SessionKeysWrappedWithSm2AndRsaOpenWithOpenssl) {
  // SM2: a key wrapped to the exchange key of the container, data in SM4-CBC with padding.
  ECCPUBLICKEYBLOB pub;
  ULONG len = sizeof pub;
  ASSERT_EQ(skf.SKF_ExportPublicKey(hSm2, FALSE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
  std::vector<uint8_t> blob(SKF_ECCCIPHERBLOB_HEADER + 32);
  HANDLE hKey = nullptr;
  ASSERT_EQ(skf.SKF_ECCExportSessionKey(hSm2, SGD_SM4_CBC, &pub, reinterpret_cast<PECCCIPHERBLOB>(blob.data()), &hKey),
            SAR_OK);
  ULONG cipherLen = 0;
  std::memcpy(&cipherLen, blob.data() + 160, 4);
  ASSERT_EQ(cipherLen, 16u);
  BLOCKCIPHERPARAM p{};
  p.IVLen = 16;
  p.PaddingType = 1;
  const std::string plain(100, 'p');
  std::vector<uint8_t> cipher(256);
  ASSERT_EQ(skf.SKF_EncryptInit(hKey, p), SAR_OK);
  ULONG a = static_cast<ULONG>(cipher.size()), b = 0;
  ASSERT_EQ(skf.SKF_EncryptUpdate(hKey, reinterpret_cast<BYTE*>(const_cast<char*>(plain.data())), 100, cipher.data(), &a),
            SAR_OK);
  EXPECT_EQ(a, 96u);
  b = static_cast<ULONG>(cipher.size()) - a;
  ASSERT_EQ(skf.SKF_EncryptFinal(hKey, cipher.data() + a, &b), SAR_OK);
  cipher.resize(a + b);
  ASSERT_EQ(cipher.size(), 112u);

  uint8_t der[200];
  uint32_t derLen = sizeof der;
  ASSERT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), SKF_ECCCIPHERBLOB_HEADER + 16, der, &derLen), 0u);
  Put(dir + "/wrapped.der", der, derLen);
  int rc = -1;
  Openssl({"pkeyutl", "-decrypt", "-inkey", TestPkiKeyPath("sm2-exch"), "-in", dir + "/wrapped.der", "-out",
           dir + "/key"},
          &rc);
  ASSERT_EQ(rc, 0);
  std::vector<uint8_t> key = Bytes(dir + "/key");
  ASSERT_EQ(key.size(), 16u);
  Put(dir + "/cipher", cipher.data(), cipher.size());
  Openssl({"enc", "-d", "-sm4-cbc", "-K", Hex(key.data(), 16), "-iv", std::string(32, '0'), "-in", dir + "/cipher",
           "-out", dir + "/plain"},
          &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(dir + "/plain"), plain);

  // The token opens its own wrapping once the user is logged in.
  HANDLE hIn = nullptr;
  EXPECT_EQ(skf.SKF_ImportSessionKey(hSm2, SGD_SM4_CBC, blob.data(), SKF_ECCCIPHERBLOB_HEADER + 16, &hIn),
            SAR_USER_NOT_LOGGED_IN);
  Login();
  ASSERT_EQ(skf.SKF_ImportSessionKey(hSm2, SGD_SM4_CBC, blob.data(), SKF_ECCCIPHERBLOB_HEADER + 16, &hIn), SAR_OK);
  ASSERT_EQ(skf.SKF_DecryptInit(hIn, p), SAR_OK);
  std::vector<uint8_t> back(cipher.size());
  ULONG n = static_cast<ULONG>(back.size());
  ASSERT_EQ(skf.SKF_Decrypt(hIn, cipher.data(), static_cast<ULONG>(cipher.size()), back.data(), &n), SAR_OK);
  EXPECT_EQ(std::string(back.begin(), back.begin() + n), plain);

  // RSA: PKCS#1 v1.5 wrapping to the exchange key, opened by openssl.
  RSAPUBLICKEYBLOB rsaPub;
  len = sizeof rsaPub;
  ASSERT_EQ(skf.SKF_ExportPublicKey(hRsa, FALSE, reinterpret_cast<BYTE*>(&rsaPub), &len), SAR_OK);
  EXPECT_EQ(rsaPub.BitLen, 2048u);
  uint8_t wrapped[512];
  ULONG wlen = 0;
  HANDLE hRsaKey = nullptr;
  ASSERT_EQ(skf.SKF_RSAExportSessionKey(hRsa, SGD_SM4_ECB, &rsaPub, nullptr, &wlen, &hRsaKey), SAR_OK);
  EXPECT_EQ(wlen, 256u);
  ASSERT_EQ(skf.SKF_RSAExportSessionKey(hRsa, SGD_SM4_ECB, &rsaPub, wrapped, &wlen, &hRsaKey), SAR_OK);
  Put(dir + "/rsa-wrapped", wrapped, wlen);
  Openssl({"pkeyutl", "-decrypt", "-inkey", TestPkiKeyPath("rsa-exch"), "-in", dir + "/rsa-wrapped", "-out",
           dir + "/rsa-key"},
          &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(Bytes(dir + "/rsa-key").size(), 16u);
}

TEST_F(SoftSkfCrypto, RsaSignaturesOverADigestInfoVerifyWithOpenssl) {
  const std::string msg = "rsa message";
  ASSERT_TRUE(WriteFile(dir + "/msg", msg));
  // SHA-256 DigestInfo of the message, as the program builds it for PKCS#1.
  HANDLE hHash = nullptr;
  ASSERT_EQ(skf.SKF_DigestInit(hDev, SGD_SHA256, nullptr, nullptr, 0, &hHash), SAR_OK);
  ASSERT_EQ(skf.SKF_DigestUpdate(hHash, reinterpret_cast<BYTE*>(const_cast<char*>(msg.data())),
                                 static_cast<ULONG>(msg.size())),
            SAR_OK);
  std::vector<uint8_t> info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                               0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  info.resize(19 + 32);
  ULONG dlen = 32;
  ASSERT_EQ(skf.SKF_DigestFinal(hHash, info.data() + 19, &dlen), SAR_OK);
  skf.SKF_CloseHandle(hHash);
  uint8_t sig[256];
  ULONG slen = sizeof sig;
  EXPECT_EQ(skf.SKF_RSASignData(hRsa, info.data(), static_cast<ULONG>(info.size()), sig, &slen),
            SAR_USER_NOT_LOGGED_IN);
  Login();
  ASSERT_EQ(skf.SKF_RSASignData(hRsa, info.data(), static_cast<ULONG>(info.size()), sig, &slen), SAR_OK);
  ASSERT_EQ(slen, 256u);
  Put(dir + "/sig", sig, slen);
  int rc = -1;
  std::string out = Openssl({"dgst", "-sha256", "-verify", TestPkiKeyPath("rsa-sign", true), "-signature",
                             dir + "/sig", dir + "/msg"},
                            &rc);
  EXPECT_EQ(rc, 0) << out;
  RSAPUBLICKEYBLOB pub;
  ULONG len = sizeof pub;
  ASSERT_EQ(skf.SKF_ExportPublicKey(hRsa, TRUE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
  EXPECT_EQ(skf.SKF_RSAVerify(hDev, &pub, info.data(), static_cast<ULONG>(info.size()), sig, slen), SAR_OK);
  sig[10] ^= 1;
  EXPECT_EQ(skf.SKF_RSAVerify(hDev, &pub, info.data(), static_cast<ULONG>(info.size()), sig, slen), SAR_FAIL);
}

TEST_F(SoftSkfCrypto, AccessAndHandleRulesOfARealToken) {
  HCONTAINER hCon = nullptr;
  HAPPLICATION hNew = nullptr;
  ECCPUBLICKEYBLOB pub;
  uint8_t cert[4] = {1, 2, 3, 4};
  struct Row {
    const char* what;
    ULONG rv, expected;
  } before[] = {
      {"create a container", skf.SKF_CreateContainer(hApp, const_cast<char*>("X"), &hCon), SAR_USER_NOT_LOGGED_IN},
      {"delete a container", skf.SKF_DeleteContainer(hApp, const_cast<char*>("SM2")), SAR_USER_NOT_LOGGED_IN},
      {"generate a key pair", skf.SKF_GenECCKeyPair(hSm2, SGD_SM2_1, &pub), SAR_USER_NOT_LOGGED_IN},
      {"import a certificate", skf.SKF_ImportCertificate(hSm2, TRUE, cert, 4), SAR_USER_NOT_LOGGED_IN},
      {"create an application", skf.SKF_CreateApplication(hDev, const_cast<char*>("NEW"), const_cast<char*>("admin1234"),
                                                          5, const_cast<char*>("user1234"), 5, 0x10, &hNew),
       SAR_USER_NOT_LOGGED_IN},
      {"delete an application", skf.SKF_DeleteApplication(hDev, const_cast<char*>("APP")), SAR_USER_NOT_LOGGED_IN},
      {"an unknown handle", skf.SKF_ExportPublicKey(reinterpret_cast<HCONTAINER>(0x12345), TRUE, nullptr, nullptr),
       SAR_INVALIDHANDLEERR},
      {"a device handle where a container is wanted",
       skf.SKF_GetContainerType(reinterpret_cast<HCONTAINER>(hDev), nullptr), SAR_INVALIDHANDLEERR},
  };
  for (const auto& r : before) EXPECT_EQ(r.rv, r.expected) << r.what;

  // The user PIN opens the container operations, not the application ones.
  Login();
  EXPECT_EQ(skf.SKF_CreateContainer(hApp, const_cast<char*>("X"), &hCon), SAR_OK);
  EXPECT_EQ(skf.SKF_CreateContainer(hApp, const_cast<char*>("X"), &hCon), SAR_FILE_ALREADY_EXIST);
  EXPECT_EQ(skf.SKF_DeleteApplication(hDev, const_cast<char*>("APP")), SAR_USER_NOT_LOGGED_IN);
  // Closing the last handle of the application ends the login.
  ASSERT_EQ(skf.SKF_CloseApplication(hApp), SAR_OK);
  EXPECT_EQ(skf.SKF_GenECCKeyPair(hSm2, SGD_SM2_1, &pub), SAR_INVALIDHANDLEERR);  // closed with it
  ASSERT_EQ(skf.SKF_OpenApplication(hDev, const_cast<char*>("APP"), &hApp), SAR_OK);
  ASSERT_EQ(skf.SKF_OpenContainer(hApp, const_cast<char*>("SM2"), &hSm2), SAR_OK);
  EXPECT_EQ(skf.SKF_GenECCKeyPair(hSm2, SGD_SM2_1, &pub), SAR_USER_NOT_LOGGED_IN);
  // Disconnecting closes everything opened through the connection.
  ASSERT_EQ(skf.SKF_DisConnectDev(hDev), SAR_OK);
  ULONG type = 0;
  EXPECT_EQ(skf.SKF_GetContainerType(hSm2, &type), SAR_INVALIDHANDLEERR);
  hDev = nullptr;
}
