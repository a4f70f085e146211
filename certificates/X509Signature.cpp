// Signatures of certificates and revocation lists, checked over the bytes exactly as they
// were signed (never a re-encoding) with the issuer's key.
#include <cstring>

#include "certificates/CertUtil.h"

namespace orva::cert {

namespace {

const char kSm2Id[] = "1234567812345678";

// One DER header at p (of at most `avail` bytes): tag, class, constructed flag, content
// length and header length. Indefinite lengths are not DER and are refused.
bool Header(const unsigned char* p, size_t avail, int& tag, int& cls, bool& cons, size_t& contentLen,
            size_t& headerLen) {
  if (avail == 0 || avail > 0x7fffffff) return false;
  const unsigned char* q = p;
  long len = 0;
  int r = ASN1_get_object(&q, &len, &tag, &cls, static_cast<long>(avail));
  if (r & 0x80 || r == 0x21) {
    ERR_clear_error();
    return false;
  }
  cons = (r & V_ASN1_CONSTRUCTED) != 0;
  headerLen = static_cast<size_t>(q - p);
  contentLen = static_cast<size_t>(len);
  return headerLen + contentLen <= avail;
}

// The algorithm identifier inside a to-be-signed part: after an optional [0] (certificate
// version) and an optional INTEGER (certificate serial number, list version).
bool InnerAlgorithm(const unsigned char* tbs, size_t tbsLen, const unsigned char*& alg, size_t& algLen) {
  int tag, cls;
  bool cons;
  size_t cl, hl;
  if (!Header(tbs, tbsLen, tag, cls, cons, cl, hl) || tag != V_ASN1_SEQUENCE || !cons) return false;
  const unsigned char* p = tbs + hl;
  const unsigned char* end = p + cl;
  if (p < end && Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) && cls == V_ASN1_CONTEXT_SPECIFIC &&
      tag == 0)
    p += hl + cl;
  if (p < end && Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) && cls == V_ASN1_UNIVERSAL &&
      tag == V_ASN1_INTEGER)
    p += hl + cl;
  if (p >= end || !Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) || cls != V_ASN1_UNIVERSAL ||
      tag != V_ASN1_SEQUENCE || !cons)
    return false;
  alg = p;
  algLen = hl + cl;
  return true;
}

}  // namespace

bool SplitSigned(const uint8_t* pbDer, size_t ulLen, SignedParts& parts) {
  int tag, cls;
  bool cons;
  size_t cl, hl;
  if (pbDer == nullptr || !Header(pbDer, ulLen, tag, cls, cons, cl, hl) || tag != V_ASN1_SEQUENCE || !cons ||
      hl + cl != ulLen)
    return false;
  const unsigned char* p = pbDer + hl;
  const unsigned char* end = pbDer + ulLen;
  SignedParts out;
  // to-be-signed
  if (!Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) || tag != V_ASN1_SEQUENCE || !cons) return false;
  out.pbTbs = p;
  out.ulTbsLen = hl + cl;
  p += out.ulTbsLen;
  // algorithm
  if (!Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) || tag != V_ASN1_SEQUENCE || !cons) return false;
  out.pbAlg = p;
  out.ulAlgLen = hl + cl;
  p += out.ulAlgLen;
  // signature bits: a BIT STRING without unused bits
  if (!Header(p, static_cast<size_t>(end - p), tag, cls, cons, cl, hl) || tag != V_ASN1_BIT_STRING || cons ||
      cl < 2 || p[hl] != 0)
    return false;
  out.pbSig = p + hl + 1;
  out.ulSigLen = cl - 1;
  p += hl + cl;
  if (p != end) return false;
  const unsigned char* inner = nullptr;
  size_t innerLen = 0;
  if (!InnerAlgorithm(out.pbTbs, out.ulTbsLen, inner, innerLen) || innerLen != out.ulAlgLen ||
      std::memcmp(inner, out.pbAlg, innerLen) != 0)
    return false;
  parts = out;
  return true;
}

bool VerifySignedParts(const SignedParts& parts, EVP_PKEY* pIssuerKey) {
  if (pIssuerKey == nullptr || parts.pbAlg == nullptr) return false;
  const unsigned char* q = parts.pbAlg;
  orva::ossl::Ptr<X509_ALGOR, X509_ALGOR_free> alg(d2i_X509_ALGOR(nullptr, &q, static_cast<long>(parts.ulAlgLen)));
  if (!alg) {
    ERR_clear_error();
    return false;
  }
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg.get());
  int mdNid = NID_undef, pkNid = NID_undef;
  if (!OBJ_find_sigid_algs(OBJ_obj2nid(obj), &mdNid, &pkNid)) return false;
  const EVP_MD* md = nullptr;
  bool sm2 = false;
  switch (pkNid) {
    case NID_sm2:
      if (!EVP_PKEY_is_a(pIssuerKey, "SM2")) return false;
      sm2 = true;
      break;
    case NID_rsaEncryption:
      if (!EVP_PKEY_is_a(pIssuerKey, "RSA")) return false;
      break;
    case NID_X9_62_id_ecPublicKey:
      if (!EVP_PKEY_is_a(pIssuerKey, "EC")) return false;
      break;
    case NID_ED25519:
      if (!EVP_PKEY_is_a(pIssuerKey, "ED25519")) return false;
      break;
    default:
      return false;  // RSA-PSS and anything else: not used by the authority
  }
  if (mdNid != NID_undef) {
    md = EVP_get_digestbynid(mdNid);
    if (md == nullptr) return false;
  } else if (pkNid != NID_ED25519) {
    return false;
  }
  orva::ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, pIssuerKey) == 1 &&
            (!sm2 || EVP_PKEY_CTX_set1_id(pctx, kSm2Id, std::strlen(kSm2Id)) == 1) &&
            EVP_DigestVerify(ctx.get(), parts.pbSig, parts.ulSigLen, parts.pbTbs, parts.ulTbsLen) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace orva::cert
