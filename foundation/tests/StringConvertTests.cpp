#include <gtest/gtest.h>

#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"

namespace {
std::vector<uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }
std::string S(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }
}  // namespace

TEST(StringConvert, Base64EncodeTable) {
  struct Row {
    std::string in, out;
  } rows[] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
              {std::string("\x00\xFF\xFE", 3), "AP/+"}};
  for (const auto& r : rows) {
    std::string out;
    ASSERT_EQ(CStringConvert::BinaryToBase64String(B(r.in), out), 0u);
    EXPECT_EQ(out, r.out);
  }
  std::string big(3000, 'x'), out;
  ASSERT_EQ(CStringConvert::BinaryToBase64String(B(big), out), 0u);
  EXPECT_EQ(out.size(), 4000u);
  EXPECT_EQ(out.find('\n'), std::string::npos);
  EXPECT_EQ(CStringConvert::BinaryToBase64String(nullptr, 3, out), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CStringConvert::BinaryToBase64String(reinterpret_cast<const uint8_t*>("a"), 0, out),
            ORVA_E_INVALID_PARAM);
}

TEST(StringConvert, Base64DecodeTable) {
  struct Row {
    std::string in;
    uint32_t res;
    std::string out;
  } rows[] = {
      {"Zm9vYg==", 0, "foob"},
      {"Zm9v", 0, "foo"},
      {"Zm8", 0, "fo"},           // final partial group of 3 gives 2 bytes
      {"Zg", 0, "f"},             // of 2 gives 1 byte
      {"Zm9vY", 0, "foo"},        // a single leftover character gives nothing
      {"Zm 9v", 0, "f"},          // a blank ends the input after two characters
      {"Zm9v\r\nYmFy", 0, "foobar"},
      {"====", ORVA_E_BASE64, ""},
      {"", ORVA_E_BASE64, ""},
      {"!!!", ORVA_E_BASE64, ""},
      {"Z", ORVA_E_BASE64, ""},
  };
  for (const auto& r : rows) {
    std::vector<uint8_t> out = B("sentinel");
    EXPECT_EQ(CStringConvert::Base64StringToBinary(r.in, out), r.res) << r.in;
    if (r.res == 0) EXPECT_EQ(S(out), r.out) << r.in;
    else EXPECT_EQ(S(out), "sentinel") << "output untouched on failure";
  }
  // 64-character lines with CR LF decode like the unbroken text.
  std::string data(300, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string b64;
  ASSERT_EQ(CStringConvert::BinaryToBase64String(B(data), b64), 0u);
  std::string wrapped;
  for (size_t i = 0; i < b64.size(); i += 64) wrapped += b64.substr(i, 64) + "\r\n";
  std::vector<uint8_t> out;
  ASSERT_EQ(CStringConvert::Base64StringToBinary(wrapped, out), 0u);
  EXPECT_EQ(S(out), data);
}

TEST(StringConvert, HexAndBits) {
  std::string out;
  const uint8_t hex[] = {0x0A, 0xFF};
  ASSERT_EQ(CStringConvert::BinaryToHexString(hex, 2, out), 0u);
  EXPECT_EQ(out, "0AFF");
  const uint8_t bits[] = {0x05, 0x80};
  ASSERT_EQ(CStringConvert::BinaryToBitString(bits, 2, out), 0u);
  EXPECT_EQ(out, "0000010110000000");
  EXPECT_EQ(CStringConvert::BinaryToHexString(hex, 0, out), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CStringConvert::BinaryToBitString(nullptr, 1, out), ORVA_E_INVALID_PARAM);
}

TEST(StringConvert, CharsetSelectorTable) {
  // "中文A": UTF-8 E4 B8 AD E6 96 87 41, GB18030 D6 D0 CE C4 41, UTF-16LE 2D 4E 87 65 41 00.
  const std::string text = "中文A";
  struct Row {
    uint32_t charset;
    std::string bytes;
  } rows[] = {
      {0, "\xE4\xB8\xAD\xE6\x96\x87" "A"},
      {3, "\xE4\xB8\xAD\xE6\x96\x87" "A"},
      {1, "\xD6\xD0\xCE\xC4" "A"},
      {2, std::string("\x2D\x4E\x87\x65\x41\x00", 6)},
  };
  for (const auto& r : rows) {
    std::vector<uint8_t> out;
    ASSERT_EQ(CStringConvert::StringToBinaryByCharset(r.charset, text, out), 0u) << r.charset;
    EXPECT_EQ(S(out), r.bytes) << r.charset;
    std::string back;
    ASSERT_EQ(CStringConvert::BinaryToStringByCharset(r.charset, out.data(), out.size(), back), 0u);
    EXPECT_EQ(back, text) << r.charset;
  }
  std::vector<uint8_t> out;
  EXPECT_EQ(CStringConvert::StringToBinaryByCharset(4, text, out), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CStringConvert::StringToBinaryInUTF8("", out), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CStringConvert::StringToBinary("", out), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CStringConvert::StringToBinaryInUnicode("", out), ORVA_E_INVALID_PARAM);
  std::string s;
  EXPECT_EQ(CStringConvert::BinaryToString(nullptr, 0, s), ORVA_E_INVALID_PARAM);
  // Characters outside the BMP: GB18030 four-byte form and a UTF-16 surrogate pair.
  ASSERT_EQ(CStringConvert::StringToBinary("\xF0\x9F\x98\x80", out), 0u);
  EXPECT_EQ(S(out), "\x94\x39\xFC\x36");
  ASSERT_EQ(CStringConvert::StringToBinaryInUnicode("\xF0\x9F\x98\x80", out), 0u);
  EXPECT_EQ(S(out), std::string("\x3D\xD8\x00\xDE", 4));
}

TEST(StringConvert, UnicodeOddLengthAndInvalidUtf8) {
  std::string s;
  const uint8_t odd[] = {0x41, 0x00, 0x42};  // "A" and half of "B"
  ASSERT_EQ(CStringConvert::BinaryToStringInUnicode(odd, 3, s), 0u);
  EXPECT_EQ(s, "AB");
  struct Row {
    std::string in, out;
  } rows[] = {
      {"abc", "abc"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE4\xB8", "\xEF\xBF\xBD"},                            // truncated
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},                        // a real U+FFFD stays
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& r : rows) EXPECT_EQ(CStringConvert::SanitizeUtf8(r.in), r.out);
  // Invalid GB18030 bytes become U+FFFD instead of failing.
  const uint8_t badGb[] = {0x41, 0xFF, 0x42};
  ASSERT_EQ(CStringConvert::BinaryToString(badGb, 3, s), 0u);
  EXPECT_EQ(s, "A\xEF\xBF\xBD" "B");
}
