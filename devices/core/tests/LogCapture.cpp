#include "devices/core/tests/LogCapture.h"

#include <sys/stat.h>

#include "foundation/LogFile.h"
#include "foundation/StringConvert.h"
#include "testing/TestEnv.h"

namespace devtest {

namespace {

const std::string& LogFileName() {
  static const std::string name = [] {
    CLogFile::Instance().Init(true, 0, orva::testing::MakeTempDir("log"));
    return CLogFile::Instance().GetFileName();
  }();
  return name;
}

}  // namespace

LogCapture::LogCapture() : m_file(LogFileName()) {
  struct stat st {};
  if (stat(m_file.c_str(), &st) == 0) m_offset = static_cast<size_t>(st.st_size);
}

std::vector<std::string> LogCapture::Lines() const {
  std::string raw = orva::testing::ReadFile(m_file);
  std::vector<std::string> lines;
  if (raw.size() <= m_offset) return lines;
  std::u16string w;
  for (size_t i = m_offset; i + 1 < raw.size(); i += 2)
    w += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) |
                               (static_cast<uint8_t>(raw[i + 1]) << 8));
  std::string text = CStringConvert::Utf16ToUtf8(w);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    std::string line = text.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    if (line.size() > 10 && line[0] == '[') line = line.substr(10);  // time stamp
    lines.push_back(line);
    if (e == std::string::npos) break;
    pos = e + 2;
  }
  return lines;
}

bool LogCapture::Contains(const std::string& text) const {
  for (const auto& l : Lines())
    if (l.find(text) != std::string::npos) return true;
  return false;
}

std::string LogCapture::Dump() const {
  std::string out;
  for (const auto& l : Lines()) out += l + "\n";
  return out;
}

}  // namespace devtest
