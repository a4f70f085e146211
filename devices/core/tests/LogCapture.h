#pragma once
// Reads the lines the program's log wrote since a mark, so that tests can check the
// failure messages. The log is turned on once per test binary, in a folder of its own.
#include <string>
#include <vector>

namespace devtest {

class LogCapture {
 public:
  LogCapture();  // marks the end of the log as it stands
  // Lines written since the mark, without time stamps.
  std::vector<std::string> Lines() const;
  // True when a line written since the mark contains `text`.
  bool Contains(const std::string& text) const;
  // The lines since the mark, one per line, for failure output.
  std::string Dump() const;

 private:
  std::string m_file;
  size_t m_offset = 0;
};

}  // namespace devtest
