#pragma once
// Text and binary conversions. Text inside the program is UTF-8 (std::string); UTF-16 is
// used only where it is on the wire (std::u16string). The character-set selector of the
// pages and scripts chooses the bytes a text becomes:
//   1 -> GB18030 (the code page of the deployment's Windows clients, both directions)
//   2 -> UTF-16LE without BOM or terminator
//   0, 3 -> UTF-8 without BOM or terminator
// Every function returns a result code; outputs are only written on success.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CStringConvert {
 public:
  // Standard Base64 (RFC 4648) without line breaks. Empty input: 0x81000004.
  static uint32_t BinaryToBase64String(const uint8_t* pbData, size_t ulLen, std::string& out);
  static uint32_t BinaryToBase64String(const std::vector<uint8_t>& data, std::string& out) {
    return BinaryToBase64String(data.data(), data.size(), out);
  }
  // Lenient decoding: CR and LF are skipped; "=" or any other foreign character ends the
  // input. Nothing decoded: 0x81000010.
  static uint32_t Base64StringToBinary(std::string_view text, std::vector<uint8_t>& out);

  // Two upper-case hex digits per byte.
  static uint32_t BinaryToHexString(const uint8_t* pbData, size_t ulLen, std::string& out);
  // Eight "0"/"1" characters per byte, most significant bit first.
  static uint32_t BinaryToBitString(const uint8_t* pbData, size_t ulLen, std::string& out);

  // Text -> bytes (selector 1, 2, 0/3). Empty text: 0x81000004.
  static uint32_t StringToBinary(std::string_view text, std::vector<uint8_t>& out);
  static uint32_t StringToBinaryInUnicode(std::string_view text, std::vector<uint8_t>& out);
  static uint32_t StringToBinaryInUTF8(std::string_view text, std::vector<uint8_t>& out);

  // Bytes -> text (selector 1, 2, 0/3). No bytes: 0x81000004.
  static uint32_t BinaryToString(const uint8_t* pbData, size_t ulLen, std::string& out);
  static uint32_t BinaryToStringInUnicode(const uint8_t* pbData, size_t ulLen, std::string& out);
  static uint32_t BinaryToStringInUTF8(const uint8_t* pbData, size_t ulLen, std::string& out);

  // Selector dispatch used by every entry point that takes `ulCharset`; a selector above 3
  // gives 0x81000004 (the caller logs "ulCharset is wrong! ulCharset=0x%x").
  static uint32_t StringToBinaryByCharset(uint32_t ulCharset, std::string_view text,
                                          std::vector<uint8_t>& out);
  static uint32_t BinaryToStringByCharset(uint32_t ulCharset, const uint8_t* pbData, size_t ulLen,
                                          std::string& out);

  // The program's code page is UTF-8, so these only repair invalid sequences.
  static std::string WideToAnsi(std::string_view text) { return SanitizeUtf8(text); }
  static std::string AnsiToWide(std::string_view text) { return SanitizeUtf8(text); }

  // UTF-8 with every invalid sequence replaced by U+FFFD (one per maximal invalid subpart).
  static std::string SanitizeUtf8(std::string_view text);
  static bool IsValidUtf8(std::string_view text);
  // UTF-8 <-> UTF-16; invalid input becomes U+FFFD.
  static std::u16string Utf8ToUtf16(std::string_view text);
  static std::string Utf16ToUtf8(std::u16string_view text);
};
