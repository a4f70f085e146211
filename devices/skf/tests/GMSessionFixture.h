#pragma once
// The SKF session tests' token and helpers: the software token loaded through the settings as
// the program loads it, one application with an SM2 container (the test PKI's sign and
// exchange pairs) and an RSA container, the user PIN verified; sessions, handlers fed in
// pieces, the signer identity value, and envelopes opened in software.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/OpenSSLKey.h"
#include "crypto/OpenSSLMsgEncrypt.h"
#include "crypto/OpenSSLMsgHash.h"
#include "crypto/SM2CipherConvert.h"
#include "crypto/SignedData.h"
#include "devices/core/DeviceManager.h"
#include "devices/skf/GMDevice.h"
#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/HaiTaiKeyApi.h"
#include "devices/skf/tests/SoftSkfKit.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "foundation/Stream.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace skftest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline const char kGmId[] = "1234567812345678";

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Deterministic content with every byte value.
inline Bytes Content(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 3));
  return b;
}

inline Bytes CertDer(const std::string& name) {
  Bytes der = orva::testing::TestPkiCertDer(name);
  EXPECT_FALSE(der.empty()) << name;
  return der;
}

struct Cert {
  Bytes der;
  CX509Certificate obj;
  explicit Cert(const std::string& name) : der(CertDer(name)) {
    EXPECT_EQ(obj.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  }
};

// A software digest: SM3 with the Z value of the certificate's SM2 key and `id` when `id`
// is given, else the plain digest of `alg`.
inline Bytes SoftDigest(uint32_t alg, const Bytes& message, const Cert* pCert = nullptr, const char* id = kGmId) {
  COpenSSLMsgHash h;
  if (pCert) {
    ORVA_PUBLIC_KEY_RECORD rec{};
    EXPECT_EQ(pCert->obj.get_PublicKey(&rec), ORVA_OK);
    h.set_PublicKey(rec.u.sm2.x + 32, rec.u.sm2.y + 32);
  }
  EXPECT_EQ(h.Init(alg, reinterpret_cast<const uint8_t*>(id), static_cast<uint32_t>(std::strlen(id))), ORVA_OK);
  if (!message.empty()) {
    EXPECT_EQ(h.Update(message.data(), static_cast<uint32_t>(message.size())), ORVA_OK);
  }
  Bytes d(64);
  uint32_t len = 64;
  EXPECT_EQ(h.Final(d.data(), &len), ORVA_OK);
  d.resize(len);
  return d;
}

// The software verifier of the crypto engine.
inline uint32_t SoftVerify(const Bytes& digest, uint32_t alg, const Bytes& sig, const Cert& cert) {
  COpenSSLDigestVerify v;
  return v.verify(digest.data(), static_cast<uint32_t>(digest.size()), alg, sig.data(),
                  static_cast<uint32_t>(sig.size()), cert.der.data(), static_cast<uint32_t>(cert.der.size()));
}

inline Bytes SignatureOf(const CSignedData& sd) {
  uint32_t len = 0;
  EXPECT_EQ(sd.GetSignature(nullptr, &len), ORVA_OK);
  Bytes sig(len);
  EXPECT_EQ(sd.GetSignature(sig.data(), &len), ORVA_OK);
  sig.resize(len);
  return sig;
}

// Feeds `data` to a handler in pieces of `piece` bytes, the last one marked.
inline uint32_t Feed(CCryptoMsg& msg, const Bytes& data, size_t piece) {
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t n = std::min(piece, data.size() - at);
    uint32_t rv = msg.Update(data.data() + at, static_cast<uint32_t>(n), at + n == data.size());
    if (rv != ORVA_OK) return rv;
  }
  return ORVA_OK;
}

// A sign or hash handler's result by the length convention.
inline uint32_t FinalBytes(CCryptoMsg& msg, Bytes& out) {
  uint32_t len = 0;
  uint32_t rv = msg.Final(nullptr, 0, nullptr, &len);
  if (rv != ORVA_OK) return rv;
  out.assign(len, 0);
  rv = msg.Final(nullptr, 0, out.data(), &len);
  out.resize(rv == ORVA_OK ? len : 0);
  return rv;
}

inline uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Opens an envelope of the program's layout in software: the wrapped key by its SM2 format
// (1 C1C3C2, 3 blob, 4 DER) turned into DER, decrypted with the test PKI's private key, then
// the content decrypted with the session key.
inline Bytes OpenInSoftware(const Bytes& env, uint32_t format, const std::string& key, uint32_t symmAlg,
                            uint32_t pad) {
  if (env.size() < 4) return {};
  uint32_t L = Le32(env.data());
  if (4 + static_cast<size_t>(L) > env.size()) return {};
  Bytes wrapped(env.begin() + 4, env.begin() + 4 + L);
  Bytes der = wrapped;
  if (format != 4) {
    Bytes blob = wrapped;
    if (format == 1) {
      uint32_t n = 0;
      EXPECT_EQ(CSM2CipherConvert::Normal2Raw(wrapped.data(), L, nullptr, &n), ORVA_OK);
      blob.assign(n, 0);
      EXPECT_EQ(CSM2CipherConvert::Normal2Raw(wrapped.data(), L, blob.data(), &n), ORVA_OK);
    }
    uint32_t n = 0;
    EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), nullptr, &n), ORVA_OK);
    der.assign(n, 0);
    EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), der.data(), &n), ORVA_OK);
  }
  std::string pem = orva::testing::ReadFile(orva::testing::TestPkiKeyPath(key));
  orva::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  orva::ossl::EvpPkeyPtr k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  unsigned char* p = nullptr;
  int n = i2d_PrivateKey(k.get(), &p);
  Bytes priv(p, p + (n > 0 ? n : 0));
  OPENSSL_free(p);
  COpenSSLKey pk;
  EXPECT_EQ(pk.importKey(ALG_SM2, ORVA_KEY_TYPE_PRIVATE, priv.data(), static_cast<uint32_t>(priv.size())), ORVA_OK);
  uint8_t session[600];
  uint32_t sl = sizeof session;
  EXPECT_EQ(pk.decrypt(der.data(), static_cast<uint32_t>(der.size()), session, &sl), ORVA_OK);
  COpenSSLKey sk;
  EXPECT_EQ(sk.importKey(symmAlg, ORVA_KEY_TYPE_SYMM, session, sl), ORVA_OK);
  sk.set_Padding(pad);
  Bytes content(env.begin() + 4 + L, env.end());
  Bytes plain(content.size() + 16);
  uint32_t pl = static_cast<uint32_t>(plain.size());
  EXPECT_EQ(sk.decrypt(content.data(), static_cast<uint32_t>(content.size()), plain.data(), &pl), ORVA_OK);
  plain.resize(pl);
  return plain;
}

inline Bytes ZeroFilled(Bytes b) {
  b.resize((b.size() + 15) / 16 * 16, 0);
  return b;
}

inline Bytes Seal(CSession& s, Cert& cert, uint32_t format, uint32_t symm, uint32_t pad, const Bytes& plain,
                  size_t piece = 1000) {
  CryptoMsgPtr enc;
  EXPECT_EQ(s.CreateMsgHandler(MSG_ENCRYPT | format, pad, &cert.obj, enc), ORVA_OK);
  auto out = std::make_shared<CMemoryStream>();
  EXPECT_EQ(enc->Init(symm, nullptr, 0, 0, out), ORVA_OK);
  EXPECT_EQ(Feed(*enc, plain, piece), ORVA_OK);
  EXPECT_EQ(enc->Final(nullptr, 0, nullptr, nullptr), ORVA_OK);
  return out->Data();
}

// Opens an envelope with a decrypt handler, the body in pieces of `piece` bytes (a multiple
// of 16).
inline uint32_t Open(CSession& s, uint32_t format, uint32_t symm, uint32_t pad, const Bytes& env, Bytes& plain,
                     size_t piece = 1024) {
  if (env.size() < 4) return ORVA_E_BAD_INPUT;
  uint32_t L = Le32(env.data());
  CryptoMsgPtr dec;
  uint32_t rv = s.CreateMsgHandler(MSG_DECRYPT | format, pad, nullptr, dec);
  if (rv != ORVA_OK) return rv;
  auto out = std::make_shared<CMemoryStream>();
  rv = dec->Init(symm, env.data() + 4, L, 0, out);
  if (rv != ORVA_OK) return rv;
  Bytes body(env.begin() + 4 + L, env.end());
  for (size_t at = 0; at < body.size() && rv == ORVA_OK; at += piece)
    rv = dec->Update(body.data() + at, static_cast<uint32_t>(std::min(piece, body.size() - at)), false);
  if (rv == ORVA_OK) rv = dec->Final(nullptr, 0, nullptr, nullptr);
  plain = out->Data();
  return rv;
}

inline Bytes SealInSoftware(Cert& cert, uint32_t type, uint32_t symm, uint32_t pad, const Bytes& plain) {
  COpenSSLMsgEncrypt enc;
  enc.set_CryptoCert(&cert.obj);
  enc.set_EnvelopType(type);
  enc.set_Padding(pad);
  auto out = std::make_shared<CMemoryStream>();
  EXPECT_EQ(enc.Init(symm, nullptr, 0, plain.size(), out), ORVA_OK);
  EXPECT_EQ(Feed(enc, plain, 512), ORVA_OK);
  EXPECT_EQ(enc.Final(nullptr, 0, nullptr, nullptr), ORVA_OK);
  return out->Data();
}

class GMSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("SOFTSKF_STATE");
    unsetenv("SOFTSKF_CONTROL");
  }

  static Json::Value UserToken() {
    return Device("SoftKey01", "OrvaDesk Test", "SOFT-0001",
                  {App("ORVA_APP", {Container("ORVA_ECC_CON", "sm2-sign", "sm2-sign", "sm2-exch", "sm2-exch"),
                                    Container("RSA_CON", "rsa-sign", "rsa-sign", "rsa-exch", "rsa-exch")})});
  }

  void SetUp() override {
    OrvaRegisterSkfBinding();
    m_loop = std::make_shared<orva::platform::CMessageLoop>();
    m_queue = CDeviceEventQueue::Create(m_loop, [this](uintptr_t, const DEVICE_EVENT_INFO& e) {
      m_events.push_back(e);
    });
    m_lib = std::make_unique<SoftSkfLib>("libsoftskf.so");
    ASSERT_EQ(m_lib->Reset(State({UserToken()})), SAR_OK);
    WriteKit(m_lib->Path());
    CDeviceManager* m = CDeviceManager::GetInstance();
    m->AddEventHandler(m_queue, 1);
    ASSERT_EQ(m->EnumDevices(kOrvaSettingsKey, 1), ORVA_OK);
    ASSERT_TRUE(m->WaitForLoad(10000));
    m_loop->RunPending();
    m_events.clear();
    ASSERT_EQ(m->GetDeviceCount(), 1u);
    m_dev = m->GetDevice(0);
    uint32_t left = 0;
    ASSERT_EQ(m_dev->VerifyPIN(PIN_USER, "demo1234", &left), ORVA_OK);
  }

  void TearDown() override {
    m_dev.reset();
    CDeviceManager::ReleaseInstance();
    m_queue->Close();
    std::remove(CSettingsStore::FilePath(SettingsScope::Machine).c_str());
  }

  // A session of the device (through its admission, as callers get it).
  SessionPtr Sm2(uint32_t usage = KEY_USAGE_SIGN) {
    SessionPtr s;
    EXPECT_EQ(m_dev->OpenSession(ALG_SM2, usage, s), ORVA_OK);
    return s;
  }
  // An RSA session of the SKF view itself (the device routes RSA to the PKCS#11 view).
  SessionPtr Rsa(uint32_t usage = KEY_USAGE_SIGN) {
    SessionPtr s;
    EXPECT_EQ(View()->OpenSession(ALG_RSA, usage, s), ORVA_OK);
    return s;
  }
  CGMDevice* View() const { return dynamic_cast<CGMDevice*>(m_dev->GetSkfDevObj()); }

  CryptoMsgPtr Handler(CSession& s, uint32_t msgId, uint32_t flags = 0, CX509Certificate* cert = nullptr) {
    CryptoMsgPtr msg;
    EXPECT_EQ(s.CreateMsgHandler(msgId, flags, cert, msg), ORVA_OK) << std::hex << msgId;
    return msg;
  }

  bool WaitEvents(size_t n) { return m_loop->RunUntil([&] { return m_events.size() >= n; }, 10s); }

  std::shared_ptr<orva::platform::CMessageLoop> m_loop;
  std::shared_ptr<CDeviceEventQueue> m_queue;
  std::vector<DEVICE_EVENT_INFO> m_events;
  std::unique_ptr<SoftSkfLib> m_lib;
  DevicePtr m_dev;
};

}  // namespace skftest
