// Fuzz entry point: any bytes a page may send as a certificate, through every accessor of the
// certificate object and the attribute helper. Nothing may crash, hang or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "certificates/ORVACertHelper.h"
#include "certificates/X509Certificate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CX509Certificate cert;
  if (size > UINT32_MAX || cert.FromBuffer(data, static_cast<uint32_t>(size)) != 0) return 0;
  std::string s;
  uint32_t n = 0;
  cert.get_SN(s);
  cert.get_KeyType(&n);
  cert.get_KeyUsage(&n);
  cert.get_DigestAlg(&n);
  cert.get_ValidDate(nullptr, nullptr);
  cert.get_KeyIdentifier(s);
  cert.get_SubjectName(nullptr, s);
  cert.get_IssuerName(nullptr, s);
  for (const char* node : {"CN", "C", "DC", "2.5.4.1", "Phone", "OID.2.5.4.97"}) {
    cert.get_SubjectName(node, s);
    cert.get_IssuerName(node, s);
  }
  for (uint32_t order : {1u, 2u, 3u}) {
    ORVA_PUBLIC_KEY_RECORD rec{};
    rec.order = order;
    cert.get_PublicKey(&rec);
  }
  for (const char* oid : {"2.5.29.19", "2.5.29.10", "2.5.29.15", "2.5.29.37", "2.5.29.35", "2.5.29.14",
                          "2.5.29.31", "1.3.6.1.5.5.7.1.1", "2.16.840.1.113730.1.1", "1.2.156.10260.4.1.1"}) {
    ORVA_EXT_VALUE v;
    if (cert.get_ExtensionByOid(oid, &v) == 0 && v.vt == ORVA_VT_BSTR &&
        v.strVal.size() > CX509Certificate::kMaxExtensionText * 3)
      std::abort();
  }
  uint32_t status = 0;
  cert.get_ValidType(1, &status);
  for (const char* attr : {"cert_type", "cert_validdate", "cert_idcard", "cert_iccode", "cert_orgcode",
                           "cert_sscode", "cert_usccode"})
    CORVACertHelper::GetCertAttribute(attr, "", &cert, s);
  return 0;
}
