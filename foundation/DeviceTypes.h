#pragma once
// Identifiers and records that the device layer exchanges with both doors (the web
// service and the automation objects) and with the crypto engine. Both doors pass these
// numbers through unchanged.
#include <cstddef>
#include <cstdint>

// Asymmetric algorithm classes (also GM/T 0016 container types 1 and 2).
inline constexpr uint32_t ALG_RSA = 1;
inline constexpr uint32_t ALG_SM2 = 2;

// Digest values; a signing algorithm is one asymmetric bit (0x1 RSA, 0x2 SM2) | one digest.
inline constexpr uint32_t HASH_MD5 = 0x200;
inline constexpr uint32_t HASH_SHA1 = 0x400;
inline constexpr uint32_t HASH_SHA256 = 0x800;
inline constexpr uint32_t HASH_SHA384 = 0x1000;  // reported for certificates only
inline constexpr uint32_t HASH_SHA512 = 0x2000;  // reported for certificates only
inline constexpr uint32_t HASH_SM3 = 0x4000;
inline constexpr uint32_t SIGN_ALG_KEY_MASK = 0x3;
inline constexpr uint32_t SIGN_ALG_HASH_MASK = 0x7E00;

// Key usage.
inline constexpr uint32_t KEY_USAGE_SIGN = 1;
inline constexpr uint32_t KEY_USAGE_EXCH = 2;

// PIN types.
inline constexpr uint32_t PIN_ADMIN = 0;
inline constexpr uint32_t PIN_USER = 1;

// Device / SDK kinds.
inline constexpr uint32_t SDK_PKCS11 = 2;
inline constexpr uint32_t SDK_SKF = 3;

// Symmetric algorithms of envelope encryption (one bit each).
inline constexpr uint32_t SYMM_DES_CBC = 0x4;
inline constexpr uint32_t SYMM_3DES_CBC = 0x8;
inline constexpr uint32_t SYMM_SM1_ECB = 0x10;  // tokens only
inline constexpr uint32_t SYMM_SM4_ECB = 0x20;
inline constexpr uint32_t SYMM_AES128_CBC = 0x40;
inline constexpr uint32_t SYMM_AES192_CBC = 0x80;
inline constexpr uint32_t SYMM_AES256_CBC = 0x100;
inline constexpr uint32_t SYMM_DES_ECB = 0x200;
inline constexpr uint32_t SYMM_3DES_ECB = 0x400;
inline constexpr uint32_t SYMM_AES128_ECB = 0x800;
inline constexpr uint32_t SYMM_AES192_ECB = 0x1000;
inline constexpr uint32_t SYMM_AES256_ECB = 0x2000;
inline constexpr uint32_t SYMM_SM1_CBC = 0x4000;  // tokens only
inline constexpr uint32_t SYMM_SM4_CBC = 0x8000;

// Signature types (ulSignType) and the data formats of the streaming handlers.
inline constexpr uint32_t SIGN_TYPE_PKCS1 = 1;
inline constexpr uint32_t SIGN_TYPE_PKCS7 = 2;
inline constexpr uint32_t SIGN_TYPE_RAW = 3;
inline constexpr uint32_t SIGN_TYPE_DER = 4;

// Signature flags (PKCS#7 only).
inline constexpr uint32_t ORVA_SIGN_INCLUDE_CERT = 0x1;
inline constexpr uint32_t ORVA_SIGNATTACH_MSG = 0x2;
inline constexpr uint32_t ORVA_SIGN_AUTH_ATTRS = 0x4;

// Message type identifiers of CSession::CreateMsgHandler: high byte the operation, low
// byte the data format (a signature type, or an envelope format).
inline constexpr uint32_t MSG_SIGN = 0x1000;
inline constexpr uint32_t MSG_VERIFY = 0x2000;
inline constexpr uint32_t MSG_ENCRYPT = 0x3000;
inline constexpr uint32_t MSG_DECRYPT = 0x4000;
inline constexpr uint32_t MSG_HASH = 0x5000;
inline constexpr uint32_t MSG_OP_MASK = 0xFF00;
inline constexpr uint32_t MSG_FORMAT_MASK = 0x00FF;

// Envelope types reported by GetEnvelopType.
inline constexpr uint32_t ENVELOPE_TYPE_LAYOUT = 1;  // 4-byte length, wrapped key, cipher text
inline constexpr uint32_t ENVELOPE_TYPE_PKCS7 = 2;   // PKCS#7 enveloped data

// Device status (GetDevStatus).
inline constexpr uint32_t DEV_STATUS_APP_FAILED = 0;
inline constexpr uint32_t DEV_STATUS_BLANK = 1;
inline constexpr uint32_t DEV_STATUS_INITIALIZED = 2;
inline constexpr uint32_t DEV_STATUS_USER = 3;

// The program's own SM2 container.
inline constexpr const char* ORVA_ECC_CONTAINER = "ORVA_ECC_CON";

// Public key record filled by CSession::ExportPublicKey and built from certificates:
// packed, little-endian 32-bit fields; 274 bytes for RSA, 138 for SM2 (callers reserve 274).
inline constexpr uint32_t PUBKEY_ALG_RSA = 0x00010000;
inline constexpr uint32_t PUBKEY_ALG_SM2 = 0x00020000;
inline constexpr uint32_t PUBKEY_RSA_ORDER_LE = 1;        // modulus little-endian from offset 18
inline constexpr uint32_t PUBKEY_RSA_ORDER_BE = 2;        // big-endian from offset 18
inline constexpr uint32_t PUBKEY_RSA_ORDER_BE_RIGHT = 3;  // big-endian, right-aligned in 256 bytes
inline constexpr size_t PUBKEY_RECORD_RSA_LEN = 274;
inline constexpr size_t PUBKEY_RECORD_SM2_LEN = 138;

#pragma pack(push, 1)
struct ORVA_PUBLIC_KEY_RECORD {
  uint8_t usage;      // 1 signature key, 2 exchange key
  uint8_t version;    // always 1
  uint32_t algorithm; // PUBKEY_ALG_RSA or PUBKEY_ALG_SM2
  uint32_t order;     // RSA: modulus byte order; SM2 from a certificate: bit length (256)
  union {
    struct {
      uint32_t bits;          // modulus length in bits
      uint32_t exponent;      // public exponent
      uint8_t modulus[256];   // bits / 8 significant bytes
    } rsa;
    struct {
      uint8_t x[64];          // as in a GM/T 0016 ECC public key blob
      uint8_t y[64];
    } sm2;
  } u;
};
#pragma pack(pop)
static_assert(sizeof(ORVA_PUBLIC_KEY_RECORD) == PUBKEY_RECORD_RSA_LEN);
static_assert(offsetof(ORVA_PUBLIC_KEY_RECORD, u) == 10);

// Objects shared across the levels, defined above foundation.
class CX509Certificate;
class CSignedData;
class CEnvelopedData;
class CDevice;
class CDeviceFake;
class CSession;
class CDeviceManager;

// Token events delivered by the device manager to its receivers (a copy per receiver).
inline constexpr uint32_t DEVICE_EVENT_INSERTED = 1;
inline constexpr uint32_t DEVICE_EVENT_REMOVED = 2;
inline constexpr uint32_t DEVICE_EVENT_LIST_REBUILT = 3;

struct DEVICE_EVENT_INFO {
  uint32_t ulEventType;  // 1 inserted, 2 removed, 3 device list rebuilt
  uint32_t ulIndex;      // the device's index; for removal its index before removal; 0 for 3
  char szLabel[128];     // zero-terminated token label (UTF-8); empty for type 3
};
