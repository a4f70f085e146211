#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <utime.h>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/StringConvert.h"
#include "testing/TestEnv.h"

namespace {

// Decodes a UTF-16LE log file (after its BOM) into UTF-8 lines without CR LF.
std::vector<std::string> ReadLogLines(const std::string& path, bool* hasBom = nullptr) {
  std::string raw = orva::testing::ReadFile(path);
  if (hasBom) *hasBom = raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE';
  std::u16string w;
  for (size_t i = 2; i + 1 < raw.size(); i += 2)
    w += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
  std::string text = CStringConvert::Utf16ToUtf8(w);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    if (e == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, e - pos));
    pos = e + 2;
  }
  return lines;
}

bool IsStamp(const std::string& line) {
  return line.size() >= 10 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']';
}

struct Thing {
  void Method() { ORVA_LOG_INFO("Begin!"); }
  void Fail() { ORVA_LOG_ERROR("pVal is NULL!"); }
};

}  // namespace

TEST(LogFile, DisabledCreatesNothingAndWritesNothing) {
  std::string dir = orva::testing::MakeTempDir("log") + "/never";
  CLogFile::Instance().Init(false, 0, dir);
  ORVA_LOG_INFO("hello");
  struct stat st {};
  EXPECT_NE(stat(dir.c_str(), &st), 0);
  EXPECT_FALSE(CLogFile::Instance().IsEnabled());
}

TEST(LogFile, HeaderLinesAndLineFormsAreExact) {
  std::string dir = orva::testing::MakeTempDir("log") + "/a/b";  // forward slashes
  CLogFile::Instance().Init(true, 7, dir);
  ASSERT_TRUE(CLogFile::Instance().IsEnabled());
  std::string file = CLogFile::Instance().GetFileName();
  ASSERT_EQ(file.rfind(dir + "/", 0), 0u) << file;
  std::string name = file.substr(dir.size() + 1);
  ASSERT_EQ(name.size(), 18u);  // MMDDhhmmss + 4-digit milliseconds + ".log"
  EXPECT_EQ(name[10], '0');  // milliseconds 0000-0999
  EXPECT_EQ(name.substr(14), ".log");

  Thing t;
  t.Method();
  t.Fail();
  CLogFile::Instance().LogInfo("X::Y", 5, nullptr);  // a null format writes nothing
  CLogFile::Instance().Close();

  bool bom = false;
  auto lines = ReadLogLines(file, &bom);
  EXPECT_TRUE(bom);
  ASSERT_EQ(lines.size(), 6u);
  for (auto& l : lines) EXPECT_TRUE(IsStamp(l)) << l;
  EXPECT_EQ(lines[0].substr(10), "--------------------Start Log--------------------");
  EXPECT_EQ(lines[1].substr(10), "The module running under Admin mode.");
  EXPECT_EQ(lines[2].substr(10, 26), "The host application is: /");
  EXPECT_EQ(lines[2].back(), '.');
  EXPECT_EQ(lines[3].substr(10).rfind("[Thing::Method()][", 0), 0u) << lines[3];
  EXPECT_EQ(lines[3].substr(lines[3].size() - 8), "] Begin!");
  EXPECT_NE(lines[4].find("][") , std::string::npos);
  EXPECT_EQ(lines[4].substr(lines[4].find("] [ERROR]")), "] [ERROR]pVal is NULL!");
  EXPECT_EQ(lines[5].substr(10), "---------------------End Log---------------------");
  EXPECT_EQ(lines[0].substr(10).size(), 49u);
  // An outside decoder reads the same lines (the BOM becomes U+FEFF).
  std::string viaIconv;
  if (FILE* p = popen(("iconv -f UTF-16LE -t UTF-8 '" + file + "'").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) viaIconv.append(buf, n);
    pclose(p);
  }
  std::string joined = "\xEF\xBB\xBF";
  for (auto& l : lines) joined += l + "\r\n";
  EXPECT_EQ(viaIconv, joined);
  EXPECT_EQ(lines[5].substr(10).size(), 49u);
}

TEST(LogFile, OldLogsRemovedOthersKept) {
  std::string dir = orva::testing::MakeTempDir("log");
  const time_t now = time(nullptr);
  auto age = [&](const std::string& p, long days) {
    struct utimbuf tb {now - days * 86400, now - days * 86400};
    utime(p.c_str(), &tb);
  };
  orva::testing::WriteFile(dir + "/old.log", "x");
  orva::testing::WriteFile(dir + "/young.log", "x");
  orva::testing::WriteFile(dir + "/old.txt", "x");
  mkdir((dir + "/folder.log").c_str(), 0700);
  age(dir + "/old.log", 31);
  age(dir + "/young.log", 29);
  age(dir + "/old.txt", 90);
  age(dir + "/folder.log", 90);
  CLogFile::Instance().Init(true, 0, dir);
  CLogFile::Instance().Close();
  struct stat st {};
  EXPECT_NE(stat((dir + "/old.log").c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/young.log").c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/old.txt").c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/folder.log").c_str(), &st), 0);
}

TEST(LogFile, ConcurrentLinesStayWholeAndLongMessagesAreNotCut) {
  std::string dir = orva::testing::MakeTempDir("log");
  CLogFile::Instance().Init(true, 0, dir);
  std::string file = CLogFile::Instance().GetFileName();
  std::string big(100 * 1024, 'A');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) CLogFile::Instance().LogInfo("T::Run", t, "thread %d line %d 中文", t, i);
    });
  CLogFile::Instance().LogError("T::Big", 1, "%s", big.c_str());
  for (auto& th : threads) th.join();
  CLogFile::Instance().Close();
  auto lines = ReadLogLines(file);
  size_t counted = 0;
  bool sawBig = false;
  for (auto& l : lines) {
    ASSERT_TRUE(IsStamp(l)) << l.substr(0, 40);
    if (l.find("[T::Run()]") != std::string::npos) {
      ++counted;
      EXPECT_NE(l.find(" 中文"), std::string::npos);
    }
    if (l.find("[T::Big()][1] [ERROR]") != std::string::npos) {
      sawBig = true;
      EXPECT_EQ(l.size(), 10 + std::string("[T::Big()][1] [ERROR]").size() + big.size());
    }
  }
  EXPECT_EQ(counted, 800u);
  EXPECT_TRUE(sawBig);
}

TEST(LogFile, QualifiedFunctionNames) {
  struct Row {
    const char* pretty;
    const char* expected;
  } rows[] = {
      {"uint32_t CX509Certificate::get_SN(std::string&) const", "CX509Certificate::get_SN"},
      {"static CLogFile& CLogFile::Instance()", "CLogFile::Instance"},
      {"CORVAHttpHandler::CORVAHttpHandler(CDeviceManager*, CORVACertCache*)",
       "CORVAHttpHandler::CORVAHttpHandler"},
      {"virtual uint32_t CGMDevice::Connect()", "CGMDevice::Connect"},
      {"void orva::platform::Thing::Run(int)", "Thing::Run"},
      {"int main(int, char**)", "main"},
      {"std::vector<int> Foo<T>::Bar(std::map<int, int>) [with T = int]", "Foo::Bar"},
      {"CFoo::Method()::<lambda(int)>", "CFoo::Method"},
      {"bool CFoo::operator()(int) const", "CFoo::operator()"},
      {"bool CFoo::operator<(const CFoo&) const", "CFoo::operator<"},
  };
  for (const auto& r : rows) EXPECT_EQ(orva::QualifiedFunctionName(r.pretty), r.expected) << r.pretty;
}
