#include "foundation/StringConvert.h"

#include <cerrno>
#include <iconv.h>

#include "foundation/ResultCodes.h"

namespace {

constexpr char kB64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// -1: ends the input, -2: skipped (CR, LF), 0..63: value.
struct B64Table {
  int8_t v[256];
  constexpr B64Table() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kB64Alphabet[i])] = static_cast<int8_t>(i);
    v[static_cast<unsigned char>('\r')] = -2;
    v[static_cast<unsigned char>('\n')] = -2;
  }
};
constexpr B64Table kB64;

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `i`, advancing it; invalid sequences give U+FFFD and advance
// past the maximal invalid subpart (as the Unicode standard recommends).
char32_t DecodeUtf8(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (int k = 0; k < need; ++k) {
    if (i >= s.size()) return kReplacement;
    unsigned char t = b(i);
    if (t < lo || t > hi) return kReplacement;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (t & 0x3F);
    ++i;
  }
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One iconv pass between UTF-8 and GB18030. GB18030 covers all of Unicode, so only
// invalid input can fail; the input is valid UTF-8 or the conversion stops with EILSEQ.
bool IconvConvert(const char* to, const char* from, std::string_view in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  bool ok = true;
  while (srcLeft > 0) {
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      size_t used = out.size() - dstLeft;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
      continue;
    }
    if (errno == EILSEQ || errno == EINVAL) {
      // An undecodable GB18030 byte: emit U+FFFD (when writing UTF-8) and skip it.
      if (std::string_view(to) == "UTF-8") {
        if (dstLeft < 3) {
          size_t used = out.size() - dstLeft;
          out.resize(out.size() * 2 + 3);
          dst = out.data() + used;
          dstLeft = out.size() - used;
        }
        *dst++ = '\xEF';
        *dst++ = '\xBF';
        *dst++ = '\xBD';
        dstLeft -= 3;
        ++src;
        --srcLeft;
        continue;
      }
      ok = false;
      break;
    }
    ok = false;
    break;
  }
  iconv_close(cd);
  if (!ok) return false;
  out.resize(out.size() - dstLeft);
  return true;
}

}  // namespace

uint32_t CStringConvert::BinaryToBase64String(const uint8_t* pbData, size_t ulLen,
                                              std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  std::string r;
  r.resize(4 * ((ulLen + 2) / 3));
  size_t o = 0, i = 0;
  for (; i + 3 <= ulLen; i += 3) {
    uint32_t v = (uint32_t(pbData[i]) << 16) | (uint32_t(pbData[i + 1]) << 8) | pbData[i + 2];
    r[o++] = kB64Alphabet[(v >> 18) & 63];
    r[o++] = kB64Alphabet[(v >> 12) & 63];
    r[o++] = kB64Alphabet[(v >> 6) & 63];
    r[o++] = kB64Alphabet[v & 63];
  }
  size_t rest = ulLen - i;
  if (rest == 1) {
    uint32_t v = uint32_t(pbData[i]) << 16;
    r[o++] = kB64Alphabet[(v >> 18) & 63];
    r[o++] = kB64Alphabet[(v >> 12) & 63];
    r[o++] = '=';
    r[o++] = '=';
  } else if (rest == 2) {
    uint32_t v = (uint32_t(pbData[i]) << 16) | (uint32_t(pbData[i + 1]) << 8);
    r[o++] = kB64Alphabet[(v >> 18) & 63];
    r[o++] = kB64Alphabet[(v >> 12) & 63];
    r[o++] = kB64Alphabet[(v >> 6) & 63];
    r[o++] = '=';
  }
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::Base64StringToBinary(std::string_view text, std::vector<uint8_t>& out) {
  std::vector<uint8_t> r;
  r.reserve(text.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int n = 0;
  for (char ch : text) {
    int8_t v = kB64.v[static_cast<unsigned char>(ch)];
    if (v == -2) continue;
    if (v < 0) break;  // "=" or a foreign character ends the input
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++n == 4) {
      r.push_back(static_cast<uint8_t>(acc >> 16));
      r.push_back(static_cast<uint8_t>(acc >> 8));
      r.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      n = 0;
    }
  }
  if (n == 2) {
    r.push_back(static_cast<uint8_t>(acc >> 4));
  } else if (n == 3) {
    r.push_back(static_cast<uint8_t>(acc >> 10));
    r.push_back(static_cast<uint8_t>(acc >> 2));
  }
  if (r.empty()) return ORVA_E_BASE64;
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::BinaryToHexString(const uint8_t* pbData, size_t ulLen, std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string r(ulLen * 2, '\0');
  for (size_t i = 0; i < ulLen; ++i) {
    r[2 * i] = kHex[pbData[i] >> 4];
    r[2 * i + 1] = kHex[pbData[i] & 15];
  }
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::BinaryToBitString(const uint8_t* pbData, size_t ulLen, std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  std::string r(ulLen * 8, '0');
  for (size_t i = 0; i < ulLen; ++i)
    for (int b = 0; b < 8; ++b)
      if (pbData[i] & (0x80 >> b)) r[i * 8 + b] = '1';
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::StringToBinary(std::string_view text, std::vector<uint8_t>& out) {
  if (text.empty()) return ORVA_E_INVALID_PARAM;
  std::string clean = SanitizeUtf8(text);
  std::string gb;
  if (!IconvConvert("GB18030", "UTF-8", clean, gb)) return ORVA_E_CALL_FAILED;
  out.assign(gb.begin(), gb.end());
  return ORVA_OK;
}

uint32_t CStringConvert::StringToBinaryInUnicode(std::string_view text, std::vector<uint8_t>& out) {
  if (text.empty()) return ORVA_E_INVALID_PARAM;
  std::u16string w = Utf8ToUtf16(text);
  std::vector<uint8_t> r(w.size() * 2);
  for (size_t i = 0; i < w.size(); ++i) {
    r[2 * i] = static_cast<uint8_t>(w[i] & 0xFF);
    r[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
  }
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::StringToBinaryInUTF8(std::string_view text, std::vector<uint8_t>& out) {
  if (text.empty()) return ORVA_E_INVALID_PARAM;
  if (IsValidUtf8(text)) {
    out.assign(text.begin(), text.end());
  } else {
    std::string clean = SanitizeUtf8(text);
    out.assign(clean.begin(), clean.end());
  }
  return ORVA_OK;
}

uint32_t CStringConvert::BinaryToString(const uint8_t* pbData, size_t ulLen, std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  std::string r;
  if (!IconvConvert("UTF-8", "GB18030",
                    std::string_view(reinterpret_cast<const char*>(pbData), ulLen), r))
    return ORVA_E_CALL_FAILED;
  out = std::move(r);
  return ORVA_OK;
}

uint32_t CStringConvert::BinaryToStringInUnicode(const uint8_t* pbData, size_t ulLen,
                                                 std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  // An odd length leaves half a character, completed by a zero byte.
  std::u16string w((ulLen + 1) / 2, u'\0');
  for (size_t i = 0; i < ulLen; ++i) {
    if (i % 2 == 0) w[i / 2] = pbData[i];
    else w[i / 2] = static_cast<char16_t>(w[i / 2] | (pbData[i] << 8));
  }
  out = Utf16ToUtf8(w);
  return ORVA_OK;
}

uint32_t CStringConvert::BinaryToStringInUTF8(const uint8_t* pbData, size_t ulLen,
                                              std::string& out) {
  if (pbData == nullptr || ulLen == 0) return ORVA_E_INVALID_PARAM;
  out = SanitizeUtf8(std::string_view(reinterpret_cast<const char*>(pbData), ulLen));
  return ORVA_OK;
}

uint32_t CStringConvert::StringToBinaryByCharset(uint32_t ulCharset, std::string_view text,
                                                 std::vector<uint8_t>& out) {
  switch (ulCharset) {
    case 0:
    case 3:
      return StringToBinaryInUTF8(text, out);
    case 1:
      return StringToBinary(text, out);
    case 2:
      return StringToBinaryInUnicode(text, out);
    default:
      return ORVA_E_INVALID_PARAM;
  }
}

uint32_t CStringConvert::BinaryToStringByCharset(uint32_t ulCharset, const uint8_t* pbData,
                                                 size_t ulLen, std::string& out) {
  switch (ulCharset) {
    case 0:
    case 3:
      return BinaryToStringInUTF8(pbData, ulLen, out);
    case 1:
      return BinaryToString(pbData, ulLen, out);
    case 2:
      return BinaryToStringInUnicode(pbData, ulLen, out);
    default:
      return ORVA_E_INVALID_PARAM;
  }
}

bool CStringConvert::IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t before = i;
    char32_t cp = DecodeUtf8(text, i);
    if (cp == kReplacement) {
      // A genuine U+FFFD is EF BF BD.
      if (!(i - before == 3 && static_cast<unsigned char>(text[before]) == 0xEF)) return false;
    }
  }
  return true;
}

std::string CStringConvert::SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) AppendUtf8(out, DecodeUtf8(text, i));
  return out;
}

std::u16string CStringConvert::Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
      ++i;
      continue;
    }
    char32_t cp = DecodeUtf8(text, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string CStringConvert::Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}
