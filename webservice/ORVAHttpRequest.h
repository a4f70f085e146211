#pragma once
// One HTTP request as the connection worker reads it: the header block is collected up to
// its blank line (with a cap), then parsed line by line. Header names compare without
// regard to case; no regular expression ever touches request text.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Largest body a request may announce (104857600 itself is accepted).
inline constexpr uint64_t ORVA_MAX_BODY_LENGTH = 104857600;

class CORVAHttpRequest {
 public:
  // Parses a header block: the request line, header lines, and the blank line that ends
  // them. Bytes after the blank line become the body. 0x81000004 for an empty text or a
  // missing request line, 0x8100000F for a header block without its final line break.
  uint32_t parseReq(std::string_view text);
  void Clear();

  // The request line ("POST / HTTP/1.1") and its first word.
  const std::string& GetFirstLine() const { return m_firstLine; }
  std::string GetMethod() const;

  // The value stored under a header name (any case), or null. Values keep their leading
  // blanks as sent; GetHeaderValue trims blanks and tabs on both sides.
  const std::string* GetHeader(std::string_view name) const;
  std::string GetHeaderValue(std::string_view name) const;
  // True when the comma-separated header holds `token` (any case).
  bool HeaderHasToken(std::string_view name, std::string_view token) const;

  // The announced length read leniently: blanks skipped, an optional sign, then digits
  // up to the first non-digit; 0 when missing or without digits.
  int64_t GetContentLength() const;

  // The length the body really has. ORVA_OK with `ulLen` (and `bPresent` false when no
  // Content-Length was sent); 0x8100000A above ORVA_MAX_BODY_LENGTH; 0x8100000F for a
  // negative, malformed, overflowing or conflicting length, or any Transfer-Encoding.
  uint32_t GetBodyLength(uint64_t& ulLen, bool& bPresent) const;

  std::string& Body() { return m_body; }
  const std::string& GetBody() const { return m_body; }

  // Position just after the CR LF CR LF that ends a header block in `buf`, searching from
  // `from`; npos when it has not arrived yet.
  static size_t FindHeaderEnd(std::string_view buf, size_t from = 0);

 private:
  std::string m_firstLine;
  // Lower-cased name -> value as sent; a later header of the same name replaces an
  // earlier one.
  std::map<std::string, std::string> m_headers;
  std::string m_body;
  bool m_bLengthConflict = false;
};

// "+" becomes a blank; "%" and two hex digits (either case) become that byte; any other
// "%" stays.
std::string OrvaUrlDecode(std::string_view text);

// The header block of every reply to a command: status 200, the date, CORS for any origin,
// the body length, keep-alive and the JSON content type, then the blank line.
std::string packRespHeader(size_t ulLength);

// The same block with another status line and without the CORS line (403 refusals).
std::string packRefusalHeader(size_t ulLength);

// "Date" value: the current time in UTC as "Sun, 06 Nov 1994 08:49:37 GMT", independent of
// the process locale.
std::string OrvaHttpDate();
