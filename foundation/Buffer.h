#pragma once
// The output-buffer convention shared by every operation that writes into a caller's
// buffer: a null buffer asks for the needed length (result 0); a buffer that is too small
// gives 0x81000009 and is left untouched; on success the length receives the bytes written.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

inline uint32_t OrvaCopyOut(const void* src, size_t n, void* pbOut, uint32_t* pulLen) {
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  if (n > UINT32_MAX) return ORVA_E_DATA_TOO_LONG;
  if (pbOut == nullptr) {
    *pulLen = static_cast<uint32_t>(n);
    return ORVA_OK;
  }
  if (*pulLen < n) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x, *pulLen = 0x%x",
                   static_cast<uint32_t>(n), *pulLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  if (n) std::memcpy(pbOut, src, n);
  *pulLen = static_cast<uint32_t>(n);
  return ORVA_OK;
}

inline uint32_t OrvaCopyOut(const std::vector<uint8_t>& v, void* pbOut, uint32_t* pulLen) {
  return OrvaCopyOut(v.data(), v.size(), pbOut, pulLen);
}

// Wipes secrets (PINs, keys) so the compiler cannot drop the stores.
inline void OrvaSecureZero(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}
inline void OrvaSecureZero(std::string& s) {
  OrvaSecureZero(s.data(), s.size());
  s.clear();
}
inline void OrvaSecureZero(std::vector<uint8_t>& v) {
  OrvaSecureZero(v.data(), v.size());
  v.clear();
}
