#pragma once
// One key held in memory that encrypts or decrypts a buffer in software: a symmetric key of
// one of the block-cipher bits (SYMM_* of foundation/DeviceTypes.h; SM1 is token-only), or an
// RSA or SM2 public or private key. Used for the authorisation-code exchange with the
// certification authority (a fresh 3DES key sent under the authority's public key).
//
// Key data by type:
//   symmetric (1)      the raw key bytes
//   public (2)         RSA: DER RSAPublicKey; SM2: the point 04 || X || Y (65 bytes)
//   private (3)        RSA: DER RSAPrivateKey; SM2: DER ECPrivateKey on the SM2 curve
// CBC modes always start from a zero vector. Symmetric output follows the program's padding
// rule: with padding on (the default) PKCS#7 padding; off, the input must be whole blocks.
// Public-key encryption is PKCS#1 v1.5 for RSA and OpenSSL's SM2 encryption (DER ciphertext of
// GM/T 0009, with SM3) for SM2.
//
// Outputs follow the size-query convention: a null buffer asks for the length (0 returned), a
// short buffer gives 0x81000009 and is left untouched. The requested length is an upper bound;
// on success the length is set to the bytes produced. Key bytes are wiped when replaced or
// destroyed. One object is used by one thread at a time.
#include <cstdint>
#include <vector>

inline constexpr uint32_t ORVA_KEY_TYPE_SYMM = 1;
inline constexpr uint32_t ORVA_KEY_TYPE_PUBLIC = 2;
inline constexpr uint32_t ORVA_KEY_TYPE_PRIVATE = 3;

class COpenSSLKey {
 public:
  COpenSSLKey() = default;
  ~COpenSSLKey();
  COpenSSLKey(const COpenSSLKey&) = delete;
  COpenSSLKey& operator=(const COpenSSLKey&) = delete;

  // A fresh random key for a symmetric algorithm bit, from RAND_bytes (0x81000006 when the
  // generator fails). Unknown algorithms and SM1: 0x81000004.
  static uint32_t generateSymmKey(uint32_t alg, uint8_t* key, uint32_t* key_len);

  // Copies the key (replacing any held one). alg: a symmetric bit for type 1, 1 RSA / 2 SM2
  // for types 2 and 3.
  uint32_t importKey(uint32_t alg, uint32_t type, const uint8_t* key_data, uint32_t key_len);
  // The public key of a DER certificate (type must be 2).
  uint32_t importKeyFromCert(uint32_t type, const uint8_t* key_data, uint32_t key_len);

  uint32_t encrypt(const uint8_t* data, uint32_t data_len, uint8_t* cipher, uint32_t* cipher_len);
  uint32_t decrypt(const uint8_t* cipher, uint32_t cipher_len, uint8_t* decrypted,
                   uint32_t* decrypted_len);

  // 1 PKCS#7 padding (the default), 0 none.
  void set_Padding(uint32_t ulPadding) { m_ulPadding = ulPadding; }
  uint32_t get_Padding() const { return m_ulPadding; }
  uint32_t get_KeyAlg() const { return m_ulKeyAlg; }
  uint32_t get_KeyType() const { return m_ulKeyType; }
  const std::vector<uint8_t>& get_KeyData() const { return m_key; }

 private:
  uint32_t _symm_enc_dec(bool bEncrypt, const uint8_t* in, uint32_t in_len, uint8_t* out,
                         uint32_t* out_len);
  uint32_t _asymm_enc_dec(bool bEncrypt, const uint8_t* in, uint32_t in_len, uint8_t* out,
                          uint32_t* out_len);
  void _ClearKey();

  uint32_t m_ulPadding = 1;
  uint32_t m_ulKeyAlg = 0;
  uint32_t m_ulKeyType = 0;
  uint32_t m_ulKeyLen = 0;
  uint8_t m_iv[64] = {};  // never set: CBC starts from a zero vector
  std::vector<uint8_t> m_key;
};
