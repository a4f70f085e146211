#pragma once
// Pieces shared by the SKF device, its session, the signature helpers and the message
// handlers: the call macro over the binding's table, writable texts for the library, the
// algorithm identifiers passed to the library, key blobs built from certificate keys, the
// certificate and public-key exports, and complete writes to an output stream.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/Stream.h"

class CX509Certificate;

// One SKF call through the binding's table (SAR_NOTSUPPORTYETERR when the library lacks it).
#define GM_CALL_WITH(pProxy, fn, ...) (pProxy)->Invoke(&GMFunctionTable::fn, #fn, __VA_ARGS__)
#define GM_CALL(fn, ...) GM_CALL_WITH(m_pGMProxy, fn, __VA_ARGS__)

namespace orva::skf {

// The GM/T 0009 default signer identity.
inline constexpr char kDefaultUserId[] = "1234567812345678";
inline constexpr uint32_t kDefaultUserIdLen = 16;
// Longest user ID: its bit length must fit the two bytes of ENTL in the Z value.
inline constexpr uint32_t kMaxUserIdLen = 8191;
// Data goes to the token in chunks of at most this many bytes.
inline constexpr uint32_t kTokenChunk = 1024;
// Room for one chunk's output (a chunk plus what the cipher held back).
inline constexpr uint32_t kTokenChunkOut = 1280;
// Room for a wrapped session key (and the cipher blob imported from one).
inline constexpr uint32_t kWrappedKeyMax = 512;

// A writable, zero-terminated copy of a text for the library's LPSTR parameters (the
// standard's prototypes are not const); wiped when it goes, as it may be a PIN.
class CSkfText {
 public:
  explicit CSkfText(const char* lpcs) {
    size_t n = lpcs ? std::strlen(lpcs) : 0;
    m_buf.assign(n + 1, '\0');
    if (n) std::memcpy(m_buf.data(), lpcs, n);
  }
  explicit CSkfText(const std::string& s) : CSkfText(s.c_str()) {}
  ~CSkfText() { OrvaSecureZero(m_buf.data(), m_buf.size()); }
  CSkfText(const CSkfText&) = delete;
  CSkfText& operator=(const CSkfText&) = delete;
  LPSTR get() { return m_buf.data(); }

 private:
  std::vector<char> m_buf;
};

// Digest value (0x4000, 0x400, 0x200, 0x800) -> GM/T 0006 identifier; anything else:
// "Hash alg is not supported!", 0x81000011.
uint32_t HashAlgId(uint32_t ulHashAlg, ULONG* pulAlgId);
// The digest of a signing-algorithm bit set, by the first bit present in the order SHA-1,
// SHA-256, MD5, SM3; 0 when none.
uint32_t HashOfSignAlg(uint32_t ulAlg);
// Symmetric bit (SYMM_*) -> identifier passed to the library; anything else: "ulAlg is wrong!
// ulAlg=0x%x", 0x81000004.
uint32_t SymmAlgId(uint32_t ulSymmAlg, ULONG* pulAlgId);

// Key blobs of the token interface from a public key record (RSA in byte order 3).
void EccBlobOf(const ORVA_PUBLIC_KEY_RECORD& key, ECCPUBLICKEYBLOB& blob);
void RsaBlobOf(const ORVA_PUBLIC_KEY_RECORD& key, RSAPUBLICKEYBLOB& blob);
// The certificate's public key record, RSA modulus big-endian and right-aligned (order 3).
uint32_t CertPublicKey(const CX509Certificate* pCert, ORVA_PUBLIC_KEY_RECORD& key);

// The container's certificate of one usage (size, then data; at most 64 KiB; empty counts as
// missing: 0x81000016).
uint32_t ExportCertificate(CGMDeviceProxy* pProxy, HCONTAINER hCon, bool bSign, std::vector<uint8_t>& der);
// The container's SM2 public key of one usage; a blob other than 132 bytes: 0x8100000E.
uint32_t ExportEccPublicKey(CGMDeviceProxy* pProxy, HCONTAINER hCon, bool bSign, ECCPUBLICKEYBLOB& blob);

// Writes all bytes; an error or a short write: "Write data to stream failed! ulRes=0x%x",
// 0x8100001D.
uint32_t WriteAll(IStream* pStream, const uint8_t* pb, uint32_t cb);

}  // namespace orva::skf
