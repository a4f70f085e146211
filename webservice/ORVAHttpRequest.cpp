#include "webservice/ORVAHttpRequest.h"

#include <cstring>
#include <ctime>
#include <limits>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The request text shown in the log is cut, so a hostile header block cannot flood it.
constexpr size_t kLoggedRequestBytes = 512;

}  // namespace

void CORVAHttpRequest::Clear() {
  m_firstLine.clear();
  m_headers.clear();
  m_body.clear();
  m_bLengthConflict = false;
}

size_t CORVAHttpRequest::FindHeaderEnd(std::string_view buf, size_t from) {
  if (buf.size() < 4) return std::string_view::npos;
  size_t start = from >= 3 ? from - 3 : 0;
  size_t pos = buf.find("\r\n\r\n", start);
  return pos == std::string_view::npos ? pos : pos + 4;
}

uint32_t CORVAHttpRequest::parseReq(std::string_view text) {
  Clear();
  if (text.empty()) return ORVA_E_INVALID_PARAM;

  size_t eol = text.find("\r\n");
  if (eol == std::string_view::npos) {
    ORVA_LOG_ERROR("HTTP Request error! Content:%.*s",
                   static_cast<int>(std::min(text.size(), kLoggedRequestBytes)), text.data());
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  if (eol == 0) return ORVA_E_INVALID_PARAM;
  m_firstLine.assign(text.substr(0, eol));
  std::string_view rest = text.substr(eol + 2);

  while (!rest.empty() && !rest.starts_with("\r\n")) {
    size_t end = rest.find("\r\n");
    if (end == std::string_view::npos) {
      ORVA_LOG_ERROR("HTTP Request error! Content:%.*s",
                     static_cast<int>(std::min(text.size(), kLoggedRequestBytes)), text.data());
      return ORVA_E_BAD_INPUT_LENGTH;
    }
    std::string_view line = rest.substr(0, end);
    rest = rest.substr(end + 2);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0) {
      std::string name = Lower(line.substr(0, colon));
      std::string value(line.substr(colon + 1));
      if (name == "content-length") {
        auto it = m_headers.find(name);
        if (it != m_headers.end() && TrimBlanks(it->second) != TrimBlanks(value))
          m_bLengthConflict = true;
      }
      m_headers[std::move(name)] = std::move(value);
    }
    if (rest.starts_with("\r\n")) {
      m_body.assign(rest.substr(2));
      return ORVA_OK;
    }
  }
  if (rest.starts_with("\r\n")) m_body.assign(rest.substr(2));
  return ORVA_OK;
}

std::string CORVAHttpRequest::GetMethod() const {
  size_t sp = m_firstLine.find(' ');
  return m_firstLine.substr(0, sp);
}

const std::string* CORVAHttpRequest::GetHeader(std::string_view name) const {
  auto it = m_headers.find(Lower(name));
  return it == m_headers.end() ? nullptr : &it->second;
}

std::string CORVAHttpRequest::GetHeaderValue(std::string_view name) const {
  const std::string* v = GetHeader(name);
  return v ? std::string(TrimBlanks(*v)) : std::string();
}

bool CORVAHttpRequest::HeaderHasToken(std::string_view name, std::string_view token) const {
  const std::string* v = GetHeader(name);
  if (v == nullptr) return false;
  std::string_view rest = *v;
  std::string want = Lower(token);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = TrimBlanks(rest.substr(0, comma));
    if (Lower(item) == want) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

int64_t CORVAHttpRequest::GetContentLength() const {
  const std::string* v = GetHeader("Content-Length");
  if (v == nullptr) return 0;
  std::string_view s = *v;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    if (n > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) {
      n = std::numeric_limits<int64_t>::max();
      break;
    }
    n = n * 10 + (c - '0');
  }
  return neg ? -n : n;
}

uint32_t CORVAHttpRequest::GetBodyLength(uint64_t& ulLen, bool& bPresent) const {
  ulLen = 0;
  bPresent = false;
  if (GetHeader("Transfer-Encoding") != nullptr) return ORVA_E_BAD_INPUT_LENGTH;
  const std::string* v = GetHeader("Content-Length");
  if (v == nullptr) return ORVA_OK;
  if (m_bLengthConflict) return ORVA_E_BAD_INPUT_LENGTH;
  std::string_view s = TrimBlanks(*v);
  if (s.empty()) return ORVA_E_BAD_INPUT_LENGTH;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return ORVA_E_BAD_INPUT_LENGTH;
    if (n > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(c - '0')) / 10)
      return ORVA_E_BAD_INPUT_LENGTH;  // does not fit 64 bits
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return ORVA_E_BAD_INPUT_LENGTH;
  bPresent = true;
  ulLen = n;
  if (n > ORVA_MAX_BODY_LENGTH) return ORVA_E_DATA_TOO_LONG;
  return ORVA_OK;
}

std::string OrvaUrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string OrvaHttpDate() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t now = time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  char buf[128];
  snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
           tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
           tm.tm_sec);
  return buf;
}

namespace {

std::string PackHeader(const char* statusLine, bool bCors, const char* connection,
                       size_t ulLength) {
  std::string h;
  h.reserve(256);
  h += statusLine;
  h += "\r\nDate: ";
  h += OrvaHttpDate();
  h += "\r\nAccept-Ranges: bytes\r\n";
  if (bCors) h += "Access-Control-Allow-Origin:*\r\n";
  h += "Content-Length:";
  h += std::to_string(ulLength);
  h += "\r\nConnection: ";
  h += connection;
  h += "\r\nContent-Type: application/json\r\n\r\n";
  return h;
}

}  // namespace

std::string packRespHeader(size_t ulLength) {
  return PackHeader("HTTP/1.0 200 OK", true, "keep-alive", ulLength);
}

std::string packRefusalHeader(size_t ulLength) {
  return PackHeader("HTTP/1.0 403 Forbidden", false, "close", ulLength);
}
