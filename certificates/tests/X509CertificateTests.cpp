// The certificate object against the openssl command line on every certificate of the test
// PKI, and its own rules (names, node lookup, public key record, extension texts, status).
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>

#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "testing/ChildProcess.h"
#include "testing/TestPki.h"
#include "foundation/ORVAScriptedUI.h"

using orva::testing::TestPkiCertDer;
using orva::testing::TestPkiCertPath;
using orva::testing::TestPkiManifest;

namespace {

std::unique_ptr<CX509Certificate> Load(const std::string& name) {
  std::vector<uint8_t> der = TestPkiCertDer(name);
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK) << name;
  return cert;
}

std::string OpensslX509(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl", "x509", "-inform", "DER", "-in", TestPkiCertPath(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  EXPECT_EQ(orva::testing::RunProgram(argv, out), 0) << name << ": " << out;
  return out;
}

// "key=value" lines of `openssl x509 -noout -serial -subject ...`.
std::string LineValue(const std::string& out, const std::string& key) {
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  return "\x01missing";
}

// The line after an extension heading such as "X509v3 Key Usage:".
std::string ExtensionBody(const std::string& out, const std::string& heading) {
  size_t at = out.find(heading);
  if (at == std::string::npos) return {};
  size_t nl = out.find('\n', at);
  size_t end = out.find('\n', nl + 1);
  std::string body = out.substr(nl + 1, end - nl - 1);
  body.erase(0, body.find_first_not_of(' '));
  return body;
}

// openssl's numeric-OID name form -> the short names this program writes.
std::string ExpectedName(const std::string& oidForm) {
  static const std::map<std::string, std::string> kKeys = {
      {"2.5.4.3", "CN"},     {"2.5.4.11", "OU"}, {"2.5.4.10", "O"},  {"2.5.4.7", "L"},
      {"2.5.4.8", "S"},      {"2.5.4.6", "C"},   {"1.2.840.113549.1.9.1", "E"},
      {"2.5.4.12", "T"},     {"2.5.4.42", "G"},  {"2.5.4.4", "SN"},  {"2.5.4.9", "STREET"},
      {"0.9.2342.19200300.100.1.25", "DC"},      {"2.5.4.5", "SERIALNUMBER"},
      {"2.5.4.20", "Phone"},
  };
  static const std::regex kKey("(^|, )([0-9]+(\\.[0-9]+)+)=");
  std::string out;
  auto begin = std::sregex_iterator(oidForm.begin(), oidForm.end(), kKey);
  size_t last = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    out += oidForm.substr(last, static_cast<size_t>(it->position()) - last);
    auto k = kKeys.find((*it)[2]);
    out += std::string((*it)[1]) + (k != kKeys.end() ? k->second : "OID." + std::string((*it)[2])) + "=";
    last = static_cast<size_t>(it->position() + it->length());
  }
  return out + oidForm.substr(last);
}

int64_t ParseIsoUtc(const std::string& s) {  // "2024-01-01 00:00:00Z"
  struct tm t {};
  EXPECT_NE(strptime(s.c_str(), "%Y-%m-%d %H:%M:%SZ", &t), nullptr) << s;
  return static_cast<int64_t>(timegm(&t));
}

void ExpectLocal(const ORVA_CERT_TIME& ct) {
  time_t tt = static_cast<time_t>(ct.llUtcSeconds);
  struct tm lt {};
  localtime_r(&tt, &lt);
  EXPECT_EQ(ct.stLocal.wYear, lt.tm_year + 1900);
  EXPECT_EQ(ct.stLocal.wMonth, lt.tm_mon + 1);
  EXPECT_EQ(ct.stLocal.wDay, lt.tm_mday);
  EXPECT_EQ(ct.stLocal.wHour, lt.tm_hour);
  EXPECT_EQ(ct.stLocal.wMinute, lt.tm_min);
}

std::string NoColons(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), ':'), s.end());
  return s;
}

// "7F:0A:..." -> "7f a " style: each byte "%x " (lower case, no leading zero).
std::string LooseHex(const std::string& colonHex) {
  std::string out;
  std::istringstream in(colonHex);
  std::string byte;
  while (std::getline(in, byte, ':')) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%x ", static_cast<unsigned>(std::stoul(byte, nullptr, 16)));
    out += buf;
  }
  return out;
}

}  // namespace

// Serial, subject, issuer, validity, key type, key usage, digest algorithm and key identifier
// of every generated certificate agree with `openssl x509` on the same file.
TEST(X509CertificateOracle, EveryTestCertificateAgreesWithOpenssl) {
  // Certificates without a Subject Key Identifier, and a twin with the same key that has the
  // identifier openssl computes (SHA-1 of the key bits).
  const std::map<std::string, std::string> kTwins = {{"sm2-noski", "sm2-noski-twin"}};
  auto manifest = TestPkiManifest();
  ASSERT_GE(manifest.size(), 30u);
  for (const auto& e : manifest) {
    SCOPED_TRACE(e.name);
    auto cert = Load(e.name);
    std::string out = OpensslX509(
        e.name, {"-noout", "-serial", "-subject", "-issuer", "-nameopt", "sep_comma_plus_space,oid,utf8",
                 "-startdate", "-enddate", "-dateopt", "iso_8601", "-ext", "keyUsage,subjectKeyIdentifier",
                 "-text"});
    const std::string& text = out;

    std::string sn;
    ASSERT_EQ(cert->get_SN(sn), ORVA_OK);
    std::string cliSerial = LineValue(out, "serial");
    // openssl drops the zero byte that keeps a serial with its top bit set positive.
    if (!cliSerial.empty() && std::strchr("89ABCDEF", cliSerial[0])) cliSerial = "00" + cliSerial;
    EXPECT_EQ(sn, cliSerial);

    std::string subject, issuer;
    ASSERT_EQ(cert->get_SubjectName(nullptr, subject), ORVA_OK);
    ASSERT_EQ(cert->get_IssuerName("", issuer), ORVA_OK);
    EXPECT_EQ(subject, ExpectedName(LineValue(out, "subject")));
    EXPECT_EQ(issuer, ExpectedName(LineValue(out, "issuer")));

    ORVA_CERT_TIME nb, na;
    ASSERT_EQ(cert->get_ValidDate(&nb, &na), ORVA_OK);
    EXPECT_EQ(nb.llUtcSeconds, ParseIsoUtc(LineValue(out, "notBefore")));
    EXPECT_EQ(na.llUtcSeconds, ParseIsoUtc(LineValue(out, "notAfter")));
    ExpectLocal(nb);
    ExpectLocal(na);

    uint32_t keyType = 99;
    ASSERT_EQ(cert->get_KeyType(&keyType), ORVA_OK);
    std::string pkAlg = ExtensionBody(text, "Subject Public Key Info:");
    uint32_t wantType = pkAlg.find("rsaEncryption") != std::string::npos       ? 1u
                        : pkAlg.find("id-ecPublicKey") != std::string::npos ? 2u
                                                                               : 0u;
    EXPECT_EQ(keyType, wantType) << pkAlg;

    // Unset when the certificate has no key usage: the caller's value stays.
    uint32_t usage = 0xAA;
    ASSERT_EQ(cert->get_KeyUsage(&usage), ORVA_OK);
    std::string ku = ExtensionBody(out, "X509v3 Key Usage:");
    uint32_t wantUsage = ku.empty()                                            ? 0xAAu
                         : ku.find("Data Encipherment") != std::string::npos   ? 2u
                         : ku.find("Digital Signature") != std::string::npos ? 1u
                                                                                : 0u;
    EXPECT_EQ(usage, wantUsage) << ku;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("Signature Algorithm: (\\S+)")));
    static const std::map<std::string, uint32_t> kDigests = {
        {"md5WithRSAEncryption", 0x200},    {"sha1WithRSAEncryption", 0x400},
        {"sha256WithRSAEncryption", 0x800}, {"sha384WithRSAEncryption", 0x1000},
        {"sha512WithRSAEncryption", 0x2000}, {"SM2-with-SM3", 0x4000}};
    uint32_t digest = 0;
    auto want = kDigests.find(m[1]);
    if (want == kDigests.end()) {
      EXPECT_EQ(cert->get_DigestAlg(&digest), ORVA_E_NOT_SUPPORTED) << m[1];
    } else {
      EXPECT_EQ(cert->get_DigestAlg(&digest), ORVA_OK);
      EXPECT_EQ(digest, want->second) << m[1];
    }

    std::string keyId;
    ASSERT_EQ(cert->get_KeyIdentifier(keyId), ORVA_OK);
    std::string ski = ExtensionBody(out, "X509v3 Subject Key Identifier:");
    if (ski.empty()) {
      auto twin = kTwins.find(e.name);
      ASSERT_NE(twin, kTwins.end()) << "no Subject Key Identifier and no twin";
      ski = ExtensionBody(OpensslX509(twin->second, {"-noout", "-ext", "subjectKeyIdentifier"}),
                          "X509v3 Subject Key Identifier:");
    }
    EXPECT_EQ(keyId, NoColons(ski));
  }
}

TEST(X509Certificate, SubjectStringUsesShortNamesInEncodingOrder) {
  auto cert = Load("sm2-names");
  std::string subject;
  ASSERT_EQ(cert->get_SubjectName(nullptr, subject), ORVA_OK);
  EXPECT_EQ(subject,
            "DC=test, DC=orva, C=CN, S=北京, L=海淀, STREET=中关村大街 1 号, O=Org, Inc, OU=Unit, "
            "T=Engineer, G=San, SN=Zhang, SERIALNUMBER=S123, CN=张三 Names, E=names@example.test, "
            "Phone=+86 10 1234 5678, OID.2.5.4.1=110101199001011234, "
            "OID.2.5.4.97=NTRCN-91110108MA01ABCD2X");
  std::string sn;
  ASSERT_EQ(cert->get_SN(sn), ORVA_OK);
  EXPECT_EQ(sn, "008F3A0001");  // the zero byte of the encoding is kept
}

TEST(X509Certificate, NodeLookupMatchesWholeAttributeKeys) {
  auto cert = Load("sm2-names");
  struct Row {
    const char* node;
    uint32_t res;
    const char* value;
  } rows[] = {
      {"C", ORVA_OK, "CN"},  // DC=... comes first but is another attribute
      {"DC", ORVA_OK, "test"},
      {"CN", ORVA_OK, "张三 Names"},
      {"CN=", ORVA_OK, "张三 Names"},
      {"O", ORVA_OK, "Org"},  // the value ends at the first comma
      {"S", ORVA_OK, "北京"},
      {"SN", ORVA_OK, "Zhang"},
      {"E", ORVA_OK, "names@example.test"},
      {"Phone", ORVA_OK, "+86 10 1234 5678"},
      {"2.5.4.1", ORVA_OK, "110101199001011234"},
      {"2.5.4.1=", ORVA_OK, "110101199001011234"},
      {"OID.2.5.4.1", ORVA_OK, "110101199001011234"},
      {"2.5.4.97", ORVA_OK, "NTRCN-91110108MA01ABCD2X"},
      {"2.5.4.3", ORVA_E_INVALID_PARAM, ""},  // written as CN, not as an identifier
      {"N", ORVA_E_INVALID_PARAM, ""},        // no match inside "CN="
      {"cn", ORVA_E_INVALID_PARAM, ""},
      {"GIVENNAME", ORVA_E_INVALID_PARAM, ""},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE", ORVA_E_INVALID_PARAM, ""},  // 31 characters
  };
  for (const Row& r : rows) {
    std::string value = "unchanged";
    EXPECT_EQ(cert->get_SubjectName(r.node, value), r.res) << r.node;
    if (r.res == ORVA_OK) {
      EXPECT_EQ(value, r.value) << r.node;
    }
  }

  // The issuer answers a missing node with success and length 0.
  char buf[64];
  uint32_t len = sizeof buf;
  EXPECT_EQ(cert->get_IssuerName("Phone", buf, &len), ORVA_OK);
  EXPECT_EQ(len, 0u);
  len = sizeof buf;
  EXPECT_EQ(cert->get_SubjectName("OU", buf, &len), ORVA_OK);
  EXPECT_STREQ(buf, "Unit");
  EXPECT_EQ(len, 4u);
  auto sign = Load("sm2-sign");
  len = sizeof buf;
  EXPECT_EQ(sign->get_SubjectName("T", buf, &len), ORVA_E_INVALID_PARAM);
}

TEST(X509Certificate, TextOutputsFollowTheSizeQuery) {
  auto cert = Load("sm2-names");
  uint32_t len = 0;
  ASSERT_EQ(cert->get_SN(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 11u);  // "008F3A0001" and its zero
  std::vector<char> buf(len, 'x');
  uint32_t shortLen = len - 1;
  EXPECT_EQ(cert->get_SN(buf.data(), &shortLen), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(buf[0], 'x');
  ASSERT_EQ(cert->get_SN(buf.data(), &len), ORVA_OK);
  EXPECT_STREQ(buf.data(), "008F3A0001");
  EXPECT_EQ(len, 10u);

  ASSERT_EQ(cert->get_SubjectName("CN", nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, std::strlen("张三 Names") + 1);
  ASSERT_EQ(cert->get_KeyIdentifier(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 41u);
  EXPECT_EQ(cert->get_SN(nullptr, nullptr), ORVA_E_INVALID_PARAM);

  std::vector<uint8_t> der = TestPkiCertDer("sm2-names");
  ASSERT_EQ(cert->ToBuffer(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, der.size());
  std::vector<uint8_t> out(len);
  ASSERT_EQ(cert->ToBuffer(out.data(), &len), ORVA_OK);
  EXPECT_EQ(out, der);
}

TEST(X509Certificate, ParsingAndTheEmptyObject) {
  CX509Certificate empty;
  uint32_t n = 0;
  std::string s;
  ORVA_PUBLIC_KEY_RECORD rec{};
  ORVA_EXT_VALUE v;
  EXPECT_EQ(empty.get_SN(s), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_KeyType(&n), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_KeyUsage(&n), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_DigestAlg(&n), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_ValidDate(nullptr, nullptr), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_SubjectName(nullptr, s), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_PublicKey(&rec), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_ExtensionByOid("2.5.29.15", &v), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_ValidType(1, &n), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.ToBuffer(nullptr, &n), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.set_ProviderInfo("Prov", "Con"), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.get_CertInfo(), nullptr);

  EXPECT_EQ(empty.FromBuffer(nullptr, 10), ORVA_E_INVALID_PARAM);
  std::vector<uint8_t> der = TestPkiCertDer("sm2-sign");
  EXPECT_EQ(empty.FromBuffer(der.data(), 0), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(empty.FromBuffer(der.data(), static_cast<uint32_t>(der.size() - 1)), ORVA_CRYPT_E_ASN1_BADTAG);
  const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(empty.FromBuffer(junk, sizeof junk), ORVA_CRYPT_E_ASN1_BADTAG);

  // Tokens hand out certificate files padded with zero bytes: the certificate is kept alone.
  std::vector<uint8_t> padded = der;
  padded.resize(der.size() + 300, 0);
  ASSERT_EQ(empty.FromBuffer(padded.data(), static_cast<uint32_t>(padded.size())), ORVA_OK);
  std::vector<uint8_t> back;
  ASSERT_EQ(empty.ToBuffer(back), ORVA_OK);
  EXPECT_EQ(back, der);

  // A second FromBuffer replaces the held certificate.
  std::vector<uint8_t> other = TestPkiCertDer("rsa-sign");
  ASSERT_EQ(empty.FromBuffer(other.data(), static_cast<uint32_t>(other.size())), ORVA_OK);
  ASSERT_EQ(empty.get_KeyType(&n), ORVA_OK);
  EXPECT_EQ(n, 1u);
}

namespace {

// The uncompressed point of a certificate's key, as OpenSSL reads it from `openssl x509
// -pubkey`.
std::vector<uint8_t> CliPublicPoint(const std::string& name) {
  std::string pem = OpensslX509(name, {"-noout", "-pubkey"});
  orva::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  orva::ossl::EvpPkeyPtr pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(pkey);
  std::vector<uint8_t> point(65);
  size_t n = 0;
  EXPECT_EQ(EVP_PKEY_get_octet_string_param(pkey.get(), "pub", point.data(), point.size(), &n), 1);
  point.resize(n);
  return point;
}

std::vector<uint8_t> CliModulus(const std::string& name) {
  std::string out = OpensslX509(name, {"-noout", "-modulus"});
  std::string hex = LineValue(out, "Modulus");
  hex.erase(hex.find_last_not_of("\r\n") + 1);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace

TEST(X509Certificate, PublicKeyRecordOfSm2Certificates) {
  struct Row {
    const char* name;
    uint8_t usage;
  } rows[] = {{"sm2-sign", 1}, {"sm2-exch", 2}, {"p256-self", 1}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto cert = Load(r.name);
    ORVA_PUBLIC_KEY_RECORD rec;
    std::memset(&rec, 0xEE, sizeof rec);
    ASSERT_EQ(cert->get_PublicKey(&rec), ORVA_OK);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&rec);
    EXPECT_EQ(raw[0], r.usage);
    EXPECT_EQ(raw[1], 1);
    EXPECT_EQ(raw[2], 0);
    EXPECT_EQ(raw[3], 0);
    EXPECT_EQ(raw[4], 2);  // key type SM2
    EXPECT_EQ(raw[5], 0);
    EXPECT_EQ(uint32_t{rec.order}, 256u);  // the blob's bit length
    std::vector<uint8_t> point = CliPublicPoint(r.name);
    ASSERT_EQ(point.size(), 65u);
    EXPECT_EQ(std::vector<uint8_t>(rec.u.sm2.x, rec.u.sm2.x + 32), std::vector<uint8_t>(32, 0));
    EXPECT_EQ(std::vector<uint8_t>(rec.u.sm2.y, rec.u.sm2.y + 32), std::vector<uint8_t>(32, 0));
    EXPECT_EQ(std::vector<uint8_t>(rec.u.sm2.x + 32, rec.u.sm2.x + 64),
              std::vector<uint8_t>(point.begin() + 1, point.begin() + 33));
    EXPECT_EQ(std::vector<uint8_t>(rec.u.sm2.y + 32, rec.u.sm2.y + 64),
              std::vector<uint8_t>(point.begin() + 33, point.end()));
  }
}

TEST(X509Certificate, PublicKeyRecordOfRsaCertificatesInEachOrder) {
  auto cert = Load("rsa-exch");
  std::vector<uint8_t> modulus = CliModulus("rsa-exch");
  ASSERT_EQ(modulus.size(), 256u);
  std::vector<uint8_t> reversed(modulus.rbegin(), modulus.rend());
  struct Row {
    uint32_t order;
    uint32_t orderAfter;
    std::vector<uint8_t> expected;
  } rows[] = {{PUBKEY_RSA_ORDER_BE, 2, modulus},
              {PUBKEY_RSA_ORDER_BE_RIGHT, 3, modulus},
              {0, 1, reversed},
              {7, 1, reversed}};
  for (const Row& r : rows) {
    ORVA_PUBLIC_KEY_RECORD rec;
    std::memset(&rec, 0xEE, sizeof rec);
    rec.order = r.order;
    ASSERT_EQ(cert->get_PublicKey(&rec), ORVA_OK);
    EXPECT_EQ(rec.usage, 2);
    EXPECT_EQ(rec.version, 1);
    EXPECT_EQ(uint32_t{rec.algorithm}, PUBKEY_ALG_RSA);
    EXPECT_EQ(uint32_t{rec.order}, r.orderAfter);
    EXPECT_EQ(uint32_t{rec.u.rsa.bits}, 2048u);
    EXPECT_EQ(uint32_t{rec.u.rsa.exponent}, 65537u);
    EXPECT_EQ(std::vector<uint8_t>(rec.u.rsa.modulus, rec.u.rsa.modulus + 256), r.expected);
  }

  // A 4096-bit modulus does not fit the record's 256 bytes.
  ORVA_PUBLIC_KEY_RECORD rec;
  std::memset(&rec, 0xEE, sizeof rec);
  rec.order = PUBKEY_RSA_ORDER_BE_RIGHT;
  ORVA_PUBLIC_KEY_RECORD before = rec;
  EXPECT_EQ(Load("rsa-4096")->get_PublicKey(&rec), ORVA_E_BAD_INPUT);
  EXPECT_EQ(std::memcmp(&rec, &before, sizeof rec), 0);
  EXPECT_EQ(Load("ed25519-self")->get_PublicKey(&rec), ORVA_E_NOT_SUPPORTED);
  EXPECT_EQ(cert->get_PublicKey(nullptr), ORVA_E_INVALID_PARAM);
}

TEST(X509Certificate, ExtensionsInReadableForm) {
  auto keyIds = [](const std::string& name, const char* ext) {
    return ExtensionBody(OpensslX509(name, {"-noout", "-ext", ext}), ":");
  };
  std::string signSki = LooseHex(keyIds("sm2-sign", "subjectKeyIdentifier"));
  std::string signAki = LooseHex(keyIds("sm2-sign", "authorityKeyIdentifier"));
  ASSERT_FALSE(signSki.empty());
  ASSERT_FALSE(signAki.empty());

  struct Row {
    const char* cert;
    const char* oid;
    uint32_t res;
    uint32_t vt;
    uint32_t number;
    std::string text;
  } rows[] = {
      {"sm2-sign", "2.5.29.15", ORVA_OK, ORVA_VT_UI4, 0xC0, ""},  // digitalSignature, nonRepudiation
      {"sm2-exch", "2.5.29.15", ORVA_OK, ORVA_VT_UI4, 0x38, ""},
      {"rsa-kudec", "2.5.29.15", ORVA_OK, ORVA_VT_UI4, 0x108, ""},  // keyAgreement + decipherOnly
      {"sm2-sign", "2.5.29.37", ORVA_OK, ORVA_VT_UI4, 0xA, ""},     // unknown usage skipped
      {"sm2-exch", "2.5.29.37", ORVA_OK, ORVA_VT_UI4, 0x1FF, ""},
      {"sm2-sign", "2.16.840.1.113730.1.1", ORVA_OK, ORVA_VT_UI4, 0xA0, ""},
      {"sm2-sign", "2.5.29.19", ORVA_OK, ORVA_VT_BSTR, 0, "Subject Type=End Entity; Path Length Constraint=None"},
      {"sm2-ca", "2.5.29.19", ORVA_OK, ORVA_VT_BSTR, 0, "Subject Type=CA; Path Length Constraint=0"},
      {"sm2-root", "2.5.29.19", ORVA_OK, ORVA_VT_BSTR, 0, "Subject Type=CA; Path Length Constraint=None"},
      {"rsa-oldbc", "2.5.29.19", ORVA_OK, ORVA_VT_BSTR, 0, "Subject Type=CA; Path Length Constraint=3"},
      {"rsa-oldbc", "2.5.29.10", ORVA_OK, ORVA_VT_BSTR, 0, "Subject Type=CA; Path Length Constraint=3"},
      {"sm2-sign", "2.5.29.14", ORVA_OK, ORVA_VT_BSTR, 0, signSki},
      {"sm2-sign", "2.5.29.35", ORVA_OK, ORVA_VT_BSTR, 0, "KeyID=" + signAki},
      {"sm2-sign", "2.5.29.31", ORVA_OK, ORVA_VT_BSTR, 0,
       "[1]ldap://127.0.0.1:389/CN=crl1,OU=x,C=CN?certificateRevocationList?base "},
      {"rsa-crldp", "2.5.29.31", ORVA_OK, ORVA_VT_BSTR, 0,
       "[2]http://127.0.0.1:10008/crl/first.crl CN=crl2, O=OrvaDesk Test unknown ldap://127.0.0.1/CN=crl2 "},
      {"sm2-sign", "1.3.6.1.5.5.7.1.1", ORVA_OK, ORVA_VT_BSTR, 0,
       "[2]Authority Info Access: \r\n"
       "Access Method=证书颁发机构颁发者 (1.3.6.1.5.5.7.48.2), \r\nhttp://127.0.0.1:10008/ca/issuer.cer"
       "Access Method=证书颁发机构颁发者 (1.3.6.1.5.5.7.48.1), \r\nhttp://127.0.0.1:10009/ocsp"},
      // Other extensions: the raw value text (tag and length included) up to its first zero.
      {"id-org-ext", "1.2.156.10260.4.1.4", ORVA_OK, ORVA_VT_BSTR, 0, "12345678-X"},
      {"id-person-asn1", "1.2.156.10260.4.1.1", ORVA_OK, ORVA_VT_BSTR, 0, "\x13\x12" "110101199001011234"},
      {"sm2-sign", "2.5.29.32", ORVA_CRYPT_E_NOT_FOUND, ORVA_VT_EMPTY, 0, ""},
      {"sm2-noski", "2.5.29.14", ORVA_CRYPT_E_NOT_FOUND, ORVA_VT_EMPTY, 0, ""},
      {"sm2-sign", "not an oid", ORVA_CRYPT_E_NOT_FOUND, ORVA_VT_EMPTY, 0, ""},
      // Six long addresses: past the limit of one text the answer is 0x81000009.
      {"rsa-longext", "2.5.29.31", ORVA_E_BUFFER_TOO_SMALL, ORVA_VT_EMPTY, 0, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.cert) + " " + r.oid);
    ORVA_EXT_VALUE v;
    ASSERT_EQ(Load(r.cert)->get_ExtensionByOid(r.oid, &v), r.res);
    EXPECT_EQ(v.vt, r.vt);
    if (r.vt == ORVA_VT_UI4) {
      EXPECT_EQ(v.ulVal, r.number);
    } else if (r.vt == ORVA_VT_BSTR) {
      EXPECT_EQ(v.strVal, r.text);
    }
  }
  ORVA_EXT_VALUE v;
  EXPECT_EQ(Load("sm2-sign")->get_ExtensionByOid(nullptr, &v), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(Load("sm2-sign")->get_ExtensionByOid("2.5.29.15", nullptr), ORVA_E_INVALID_PARAM);
}

TEST(X509Certificate, ValidityPeriodStatus) {
  struct Row {
    const char* name;
    uint32_t flags;
    uint32_t status;
  } rows[] = {
      {"sm2-sign", ORVA_CERT_CHECK_TIME, 0},
      {"rsa-sign", ORVA_CERT_CHECK_TIME, 0},
      {"sm2-expired", ORVA_CERT_CHECK_TIME, ORVA_CERT_STATUS_EXPIRED},
      {"sm2-dates", ORVA_CERT_CHECK_TIME, ORVA_CERT_STATUS_EXPIRED},
      {"sm2-notyet", ORVA_CERT_CHECK_TIME, ORVA_CERT_STATUS_NOT_YET_VALID},
      // A certificate out of its period stops before the chain and revocation checks.
      {"sm2-expired", 0x7, ORVA_CERT_STATUS_EXPIRED},
      {"sm2-notyet", 0x7, ORVA_CERT_STATUS_NOT_YET_VALID},
      {"sm2-expired", 0, 0},
  };
  for (const Row& r : rows) {
    uint32_t status = 0xFFFF;
    EXPECT_EQ(Load(r.name)->get_ValidType(r.flags, &status), ORVA_OK) << r.name;
    EXPECT_EQ(status, r.status) << r.name << " flags " << r.flags;
  }
  EXPECT_EQ(Load("sm2-sign")->get_ValidType(1, nullptr), ORVA_E_INVALID_PARAM);
}

TEST(X509Certificate, ProviderInformation) {
  auto sign = Load("sm2-sign");
  std::string container = "x";
  ASSERT_EQ(sign->get_Container(container), ORVA_OK);
  EXPECT_EQ(container, "");
  EXPECT_EQ(sign->set_ProviderInfo(nullptr, "Con"), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(sign->set_ProviderInfo("", "Con"), ORVA_E_INVALID_PARAM);
  ASSERT_EQ(sign->set_ProviderInfo("Soft CSP", "容器 1"), ORVA_OK);
  ASSERT_EQ(sign->get_Container(container), ORVA_OK);
  EXPECT_EQ(container, "容器 1");
  EXPECT_EQ(sign->get_Provider(), "Soft CSP");
  ORVA_KEY_PROV_INFO info;
  ASSERT_TRUE(sign->GetKeyProvInfo(info));
  EXPECT_EQ(info.dwKeySpec, ORVA_AT_SIGNATURE);
  EXPECT_EQ(info.dwProvType, 1u);

  auto exch = Load("sm2-exch");
  // Names longer than the 127-byte fields are cut without splitting a character.
  std::string longName(125, 'a');
  longName += "容";
  ASSERT_EQ(exch->set_ProviderInfo(longName.c_str(), longName.c_str()), ORVA_OK);
  ASSERT_TRUE(exch->GetKeyProvInfo(info));
  EXPECT_EQ(info.dwKeySpec, ORVA_AT_KEYEXCHANGE);
  EXPECT_EQ(exch->get_Provider(), std::string(125, 'a'));
  uint32_t len = 0;
  ASSERT_EQ(exch->get_Container(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 126u);
}

// The view goes to the user interface in force with the certificate's bytes and the title
// "证书属性查看"; an empty object shows nothing; both answer 0.
TEST(X509Certificate, OpenViewDialogShowsTheCertificateView) {
  auto ui = std::make_shared<CORVAScriptedUI>();
  SetOrvaUserInterface(ui);
  std::vector<uint8_t> der = TestPkiCertDer("sm2-names");
  CX509Certificate cert;
  ASSERT_EQ(cert.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  EXPECT_EQ(cert.OpenViewDialog(0), ORVA_OK);
  CX509Certificate empty;
  EXPECT_EQ(empty.OpenViewDialog(0), ORVA_OK);
  auto reqs = ui->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].strDialog, "cert");
  EXPECT_EQ(reqs[0].strText, "证书属性查看");
  EXPECT_EQ(reqs[0].ulType, der.size());
  SetOrvaUserInterface(nullptr);
}
