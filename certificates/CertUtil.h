#pragma once
// Helpers shared by the certificate sources (not part of the public interface).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/OpenSsl.h"

namespace orva::cert {

enum class CopyResult { Query, TooSmall, Copied };

// Size-query copy of a text: a null buffer sets *pulLen to the bytes needed with the zero;
// a short buffer is left untouched; otherwise the text and its zero are written and *pulLen is
// the text's length without the zero.
CopyResult CopyTextOut(const std::string& text, char* pBuf, uint32_t* pulLen);

// Upper-case hexadecimal, two digits per byte.
std::string HexUpper(const uint8_t* p, size_t n);

// The first extension with that dotted identifier, or null.
const X509_EXTENSION* FindExtension(const X509* x, const char* lpcsOid);

// Decodes a whole DER value with an OpenSSL d2i function; null when the bytes do not decode
// or are followed by anything.
template <class T, void (*Free)(T*)>
orva::ossl::Ptr<T, Free> DecodeWhole(T* (*d2i)(T**, const unsigned char**, long),
                                     const unsigned char* p, size_t n) {
  if (p == nullptr || n == 0 || n > 0x7fffffff) return nullptr;
  const unsigned char* q = p;
  orva::ossl::Ptr<T, Free> v(d2i(nullptr, &q, static_cast<long>(n)));
  if (v && q != p + n) v.reset();
  return v;
}

// Text of an outside string: invalid UTF-8 and embedded zero bytes become U+FFFD.
std::string CleanText(const uint8_t* p, size_t n);

// Cuts a UTF-8 text to at most `maxBytes` without splitting a character.
std::string CutUtf8(const std::string& text, size_t maxBytes);

}  // namespace orva::cert
