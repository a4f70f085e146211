// orva_pki_tool: the pieces of the test PKI that the openssl command line cannot make.
//
//   orva_pki_tool ts-token --tsa-cert DER --tsa-key PEM --out FILE [options]
//     An RFC 3161 TimeStampResp (status granted) signed with an SM2 key (GM/T 0010 style:
//     SM3 over Z and the signed attributes, DER signature), which `openssl ts -reply` refuses.
//       --data FILE | --digest-hex HEX   what the imprint covers (the file is hashed)
//       --imprint-alg sm3|sha256|sha1    imprint digest (default sm3)
//       --z-cert DER --user-id TEXT      SM3 imprint over Z(key of DER, TEXT) and the data
//       --time YYYYMMDDHHMMSSZ           genTime (default now)
//       --serial N                       token serial number (default 1)
//       --sigalg sm2|sm2-sm3             signature algorithm 1.2.156.10197.1.301 or .501
//       --no-cert                        leave the TSA certificate out
//       --no-attrs                       sign the TSTInfo itself, without signed attributes
//       --content-type-data              content-type attribute id-data instead of TSTInfo
//       --bad-message-digest             messageDigest of other bytes than the TSTInfo
//       --signed-out FILE --sig-out FILE the bytes signed and the signature, for outside checks
//
//   orva_pki_tool crl --issuer-cert DER --issuer-key PEM --out FILE [options]
//     A v2 revocation list signed by the issuer (SM2 with the GM identity, or RSA-SHA256).
//       --last-update T --next-update T|none --revoke HEXSERIAL (repeatable)
//
// Plain OpenSSL only: the program's own code is what these files test.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kSm2Id[] = "1234567812345678";

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "orva_pki_tool: %s\n", what.c_str());
  ERR_print_errors_fp(stderr);
  std::exit(1);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) Die("cannot read " + path);
  std::ostringstream ss;
  ss << f.rdbuf();
  std::string s = ss.str();
  return std::vector<unsigned char>(s.begin(), s.end());
}

void WriteAll(const std::string& path, const unsigned char* p, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
  if (!f) Die("cannot write " + path);
}

X509* LoadCertDer(const std::string& path) {
  std::vector<unsigned char> der = ReadAll(path);
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (x == nullptr) Die("not a certificate: " + path);
  return x;
}

EVP_PKEY* LoadKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) Die("cannot read " + path);
  EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (k == nullptr) Die("not a key: " + path);
  return k;
}

bool IsSm2(const EVP_PKEY* k) { return EVP_PKEY_is_a(k, "SM2"); }

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  if (hex.size() % 2) Die("odd hex " + hex);
  for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Signs `data` with the key: SM2 with SM3 and the GM identity (DER signature), else SHA-256.
std::vector<unsigned char> Sign(EVP_PKEY* key, const unsigned char* data, size_t n) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  bool sm2 = IsSm2(key);
  if (EVP_DigestSignInit(ctx, &pctx, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key) != 1) Die("sign init");
  if (sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2Id, std::strlen(kSm2Id)) != 1) Die("sm2 id");
  size_t len = 0;
  if (EVP_DigestSign(ctx, nullptr, &len, data, n) != 1) Die("sign size");
  std::vector<unsigned char> sig(len);
  if (EVP_DigestSign(ctx, sig.data(), &len, data, n) != 1) Die("sign");
  sig.resize(len);
  EVP_MD_CTX_free(ctx);
  return sig;
}

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) of an SM2 certificate's key.
std::vector<unsigned char> Sm2Z(X509* cert, const std::string& id) {
  static const char* kA = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
  static const char* kB = "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
  static const char* kGx = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
  static const char* kGy = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
  unsigned char* pt = nullptr;
  int n = i2d_PublicKey(X509_get0_pubkey(cert), &pt);
  if (n != 65) Die("not an SM2 point");
  std::vector<unsigned char> in;
  unsigned bits = static_cast<unsigned>(id.size() * 8);
  in.push_back(static_cast<unsigned char>(bits >> 8));
  in.push_back(static_cast<unsigned char>(bits));
  in.insert(in.end(), id.begin(), id.end());
  for (const char* h : {kA, kB, kGx, kGy}) {
    std::vector<unsigned char> v = FromHex(h);
    in.insert(in.end(), v.begin(), v.end());
  }
  in.insert(in.end(), pt + 1, pt + 65);
  OPENSSL_free(pt);
  std::vector<unsigned char> z(32);
  unsigned int zl = 0;
  EVP_Digest(in.data(), in.size(), z.data(), &zl, EVP_sm3(), nullptr);
  return z;
}

std::vector<unsigned char> Digest(const EVP_MD* md, const std::vector<unsigned char>& prefix,
                                  const std::vector<unsigned char>& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, md, nullptr);
  EVP_DigestUpdate(ctx, prefix.data(), prefix.size());
  EVP_DigestUpdate(ctx, data.data(), data.size());
  std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx, out.data(), &n);
  EVP_MD_CTX_free(ctx);
  out.resize(n);
  return out;
}

struct Args {
  std::map<std::string, std::string> values;
  std::vector<std::string> revoked;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k, const std::string& def = "") const {
    auto it = values.find(k);
    return it == values.end() ? def : it->second;
  }
};

Args Parse(int argc, char** argv) {
  static const char* kFlags[] = {"--no-cert", "--no-attrs", "--content-type-data", "--bad-message-digest"};
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string k = argv[i];
    bool flag = false;
    for (const char* f : kFlags) flag = flag || k == f;
    if (flag) {
      a.values[k] = "1";
    } else if (i + 1 < argc) {
      if (k == "--revoke")
        a.revoked.push_back(argv[++i]);
      else
        a.values[k] = argv[++i];
    } else {
      Die("missing value of " + k);
    }
  }
  return a;
}

X509_ALGOR* Algor(ASN1_OBJECT* obj) {
  X509_ALGOR* a = X509_ALGOR_new();
  X509_ALGOR_set0(a, obj, V_ASN1_NULL, nullptr);
  return a;
}

int TsToken(const Args& a) {
  X509* tsa = LoadCertDer(a.Get("--tsa-cert"));
  EVP_PKEY* key = LoadKey(a.Get("--tsa-key"));
  if (!IsSm2(key)) Die("the generator makes SM2 tokens; use openssl ts -reply for RSA");

  // Imprint.
  std::string alg = a.Get("--imprint-alg", "sm3");
  const EVP_MD* imd = alg == "sm3" ? EVP_sm3() : alg == "sha256" ? EVP_sha256() : alg == "sha1" ? EVP_sha1() : nullptr;
  if (imd == nullptr) Die("unknown imprint digest " + alg);
  std::vector<unsigned char> imprint;
  if (a.Has("--digest-hex")) {
    imprint = FromHex(a.Get("--digest-hex"));
  } else {
    std::vector<unsigned char> data = ReadAll(a.Get("--data"));
    std::vector<unsigned char> z;
    if (a.Has("--z-cert")) {
      X509* zc = LoadCertDer(a.Get("--z-cert"));
      z = Sm2Z(zc, a.Get("--user-id", kSm2Id));
      X509_free(zc);
    }
    imprint = Digest(imd, z, data);
  }

  // TSTInfo.
  TS_TST_INFO* tst = TS_TST_INFO_new();
  TS_TST_INFO_set_version(tst, 1);
  ASN1_OBJECT* policy = OBJ_txt2obj("1.2.156.1.8888.1", 1);
  TS_TST_INFO_set_policy_id(tst, policy);
  ASN1_OBJECT_free(policy);
  TS_MSG_IMPRINT* mi = TS_MSG_IMPRINT_new();
  X509_ALGOR* ia = Algor(OBJ_nid2obj(EVP_MD_get_type(imd)));
  TS_MSG_IMPRINT_set_algo(mi, ia);
  X509_ALGOR_free(ia);
  TS_MSG_IMPRINT_set_msg(mi, imprint.data(), static_cast<int>(imprint.size()));
  TS_TST_INFO_set_msg_imprint(tst, mi);
  TS_MSG_IMPRINT_free(mi);
  ASN1_INTEGER* serial = ASN1_INTEGER_new();
  ASN1_INTEGER_set(serial, std::stol(a.Get("--serial", "1")));
  TS_TST_INFO_set_serial(tst, serial);
  ASN1_INTEGER_free(serial);
  ASN1_GENERALIZEDTIME* gt = ASN1_GENERALIZEDTIME_new();
  if (a.Has("--time")) {
    if (!ASN1_GENERALIZEDTIME_set_string(gt, a.Get("--time").c_str())) Die("bad --time");
  } else {
    ASN1_GENERALIZEDTIME_set(gt, std::time(nullptr));
  }
  TS_TST_INFO_set_time(tst, gt);
  unsigned char* tstDer = nullptr;
  int tstLen = i2d_TS_TST_INFO(tst, &tstDer);
  if (tstLen <= 0) Die("TSTInfo");

  // SignedData with the TSTInfo as id-ct-TSTInfo content.
  PKCS7* p7 = PKCS7_new();
  PKCS7_set_type(p7, NID_pkcs7_signed);
  ASN1_INTEGER_set(p7->d.sign->version, 3);
  PKCS7* inner = PKCS7_new();
  inner->type = OBJ_nid2obj(NID_id_smime_ct_TSTInfo);
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(os, tstDer, tstLen);
  inner->d.other = ASN1_TYPE_new();
  ASN1_TYPE_set(inner->d.other, V_ASN1_OCTET_STRING, os);
  PKCS7_set_content(p7, inner);
  sk_X509_ALGOR_push(p7->d.sign->md_algs, Algor(OBJ_nid2obj(NID_sm3)));
  if (!a.Has("--no-cert")) PKCS7_add_certificate(p7, tsa);

  PKCS7_SIGNER_INFO* si = PKCS7_SIGNER_INFO_new();
  ASN1_INTEGER_set(si->version, 1);
  X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(tsa));
  ASN1_INTEGER_free(si->issuer_and_serial->serial);
  si->issuer_and_serial->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(tsa));
  X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(NID_sm3), V_ASN1_NULL, nullptr);
  const char* sigOid = a.Get("--sigalg", "sm2") == "sm2-sm3" ? "1.2.156.10197.1.501" : "1.2.156.10197.1.301";
  X509_ALGOR_set0(si->digest_enc_alg, OBJ_txt2obj(sigOid, 1), V_ASN1_NULL, nullptr);

  std::vector<unsigned char> signedBytes;
  if (a.Has("--no-attrs")) {
    signedBytes.assign(tstDer, tstDer + tstLen);
  } else {
    int ct = a.Has("--content-type-data") ? NID_pkcs7_data : NID_id_smime_ct_TSTInfo;
    PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(ct));
    ASN1_UTCTIME* st = ASN1_UTCTIME_new();
    ASN1_UTCTIME_set(st, std::time(nullptr));
    PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, st);
    std::vector<unsigned char> content(tstDer, tstDer + tstLen);
    if (a.Has("--bad-message-digest")) content.back() ^= 0x01;
    std::vector<unsigned char> md = Digest(EVP_sm3(), {}, content);
    PKCS7_add1_attrib_digest(si, md.data(), static_cast<int>(md.size()));
    unsigned char* attrs = nullptr;
    int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    if (n <= 0) Die("attributes");
    signedBytes.assign(attrs, attrs + n);
    OPENSSL_free(attrs);
  }
  std::vector<unsigned char> sig = Sign(key, signedBytes.data(), signedBytes.size());
  ASN1_STRING_set(si->enc_digest, sig.data(), static_cast<int>(sig.size()));
  sk_PKCS7_SIGNER_INFO_push(p7->d.sign->signer_info, si);

  TS_RESP* resp = TS_RESP_new();
  TS_STATUS_INFO* status = TS_STATUS_INFO_new();
  TS_STATUS_INFO_set_status(status, TS_STATUS_GRANTED);
  TS_RESP_set_status_info(resp, status);
  TS_STATUS_INFO_free(status);
  TS_RESP_set_tst_info(resp, p7, tst);
  unsigned char* out = nullptr;
  int outLen = i2d_TS_RESP(resp, &out);
  if (outLen <= 0) Die("response");
  WriteAll(a.Get("--out"), out, static_cast<size_t>(outLen));
  if (a.Has("--signed-out")) WriteAll(a.Get("--signed-out"), signedBytes.data(), signedBytes.size());
  if (a.Has("--sig-out")) WriteAll(a.Get("--sig-out"), sig.data(), sig.size());
  OPENSSL_free(out);
  OPENSSL_free(tstDer);
  TS_RESP_free(resp);
  ASN1_GENERALIZEDTIME_free(gt);
  EVP_PKEY_free(key);
  X509_free(tsa);
  return 0;
}

int Crl(const Args& a) {
  X509* ca = LoadCertDer(a.Get("--issuer-cert"));
  EVP_PKEY* key = LoadKey(a.Get("--issuer-key"));
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, X509_CRL_VERSION_2);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca));
  ASN1_TIME* last = ASN1_TIME_new();
  if (!ASN1_TIME_set_string_X509(last, a.Get("--last-update").c_str())) Die("bad --last-update");
  X509_CRL_set1_lastUpdate(crl, last);
  std::string next = a.Get("--next-update", "none");
  if (next != "none") {
    ASN1_TIME* t = ASN1_TIME_new();
    if (!ASN1_TIME_set_string_X509(t, next.c_str())) Die("bad --next-update");
    X509_CRL_set1_nextUpdate(crl, t);
    ASN1_TIME_free(t);
  }
  for (const std::string& hex : a.revoked) {
    BIGNUM* bn = nullptr;
    BN_hex2bn(&bn, hex.c_str());
    ASN1_INTEGER* s = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_REVOKED* r = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(r, s);
    X509_REVOKED_set_revocationDate(r, last);
    X509_CRL_add0_revoked(crl, r);
    ASN1_INTEGER_free(s);
    BN_free(bn);
  }
  X509_CRL_sort(crl);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  bool sm2 = IsSm2(key);
  if (EVP_DigestSignInit(ctx, &pctx, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key) != 1) Die("crl sign init");
  if (sm2 && EVP_PKEY_CTX_set1_id(pctx, kSm2Id, std::strlen(kSm2Id)) != 1) Die("sm2 id");
  if (X509_CRL_sign_ctx(crl, ctx) <= 0) Die("crl sign");
  unsigned char* out = nullptr;
  int n = i2d_X509_CRL(crl, &out);
  if (n <= 0) Die("crl encode");
  WriteAll(a.Get("--out"), out, static_cast<size_t>(n));
  OPENSSL_free(out);
  EVP_MD_CTX_free(ctx);
  ASN1_TIME_free(last);
  X509_CRL_free(crl);
  EVP_PKEY_free(key);
  X509_free(ca);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: orva_pki_tool ts-token|crl --option value ...");
  std::string cmd = argv[1];
  Args a = Parse(argc, argv);
  if (cmd == "ts-token") return TsToken(a);
  if (cmd == "crl") return Crl(a);
  Die("unknown command " + cmd);
}
