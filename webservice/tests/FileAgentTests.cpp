// The file, folder, option and random-test commands over HTTPS against the running agent:
// one orvadesk process for the whole set, with the software SKF token as its token kit,
// scripted dialogs (ORVADESK_UI_SCRIPT) and curl as the caller, with and without a web
// origin.
#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <memory>
#include <thread>

#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"

using namespace orva::testing;

namespace {

constexpr int kBadParam = -2130706428;    // 0x81000004
constexpr int kCallFailed = -2130706426;  // 0x81000006
constexpr int kTooLong = -2130706422;     // 0x8100000A
constexpr int kRefused = -2130706421;     // 0x8100000B
constexpr int kNoFile = -2130706401;      // 0x8100001F
constexpr int kFileMissing = -2130706340; // 0x8100005C
constexpr int kGenRandom = -2130706368;   // 0x81000040

const std::string kA = "https://a.example", kB = "https://b.example";

std::string Real(const std::string& p) {
  char buf[PATH_MAX];
  return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

bool Exists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

class FileAgent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = Real(MakeTempDir("fileagent"));
    port = FreeLoopbackPort();
    script = dir + "/answers.jsonl";
    WriteFile(script, "");
    const std::string softskf = BinaryDir() + "/tools/softskf/";
    WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
              "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) +
                  ",\"AllowedOrigins\":\"" + kA + ";" + kB + "\",\"FileAccessRoots\":\"" + dir +
                  "/roots\"},\"SOFTWARE\\\\ORVA\\\\OrvaDesk\\\\Demo\":{\"SDKName\":\"Demo Kit\","
                  "\"Manufacturer\":\"OrvaDesk\",\"DefaultSdkType\":3,\"CSPName\":\"Soft CSP\","
                  "\"SKFImage\":\"" + softskf + "libsoftskf.so\"}}");
    ::mkdir((dir + "/roots").c_str(), 0700);
    const std::string state = dir + "/state.json";
    WriteFile(state,
              "{\"devices\":[{\"name\":\"Demo01\",\"label\":\"OrvaDesk Demo\",\"applications\":[{"
              "\"name\":\"APP\",\"adminPin\":{\"value\":\"admin1234\"},\"userPin\":{\"value\":\"demo1234\"},"
              "\"containers\":[]}]}]}");
    agent = new ChildProcess();
    bool started = agent->Start({BinaryDir() + "/app/orvadesk"},
                                {"ORVADESK_UI_SCRIPT=" + script, "DISPLAY=", "WAYLAND_DISPLAY=",
                                 "QT_QPA_PLATFORM=", "SOFTSKF_STATE=" + state,
                                 "SOFTSKF_CONTROL=" + dir + "/ctl.sock"},
                                dir + "/agent.out");
    ASSERT_TRUE(started && WaitForPort(port, 10000)) << ReadFile(dir + "/agent.out");
  }
  static void TearDownTestSuite() {
    if (agent == nullptr) return;
    agent->Signal(SIGTERM);
    int code = -1;
    EXPECT_TRUE(agent->Wait(10000, &code));
    EXPECT_EQ(code, 0);
    delete agent;
    agent = nullptr;
  }

  // One command; the parsed reply (null when the reply is not JSON).
  static Json::Value Post(const Json::Value& req, const std::string& origin = "") {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    std::vector<std::string> argv = {"curl", "-sk", "--max-time", "20", "--data-binary", Json::writeString(w, req)};
    if (!origin.empty()) argv.insert(argv.end(), {"-H", "Origin: " + origin});
    argv.push_back("https://127.0.0.1:" + std::to_string(port) + "/");
    std::string out;
    RunProgram(argv, out, 30000);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(out.data(), out.data() + out.size(), &v, &errs)) ADD_FAILURE() << out;
    return v;
  }
  static Json::Value Cmd(const char* type,
                         std::initializer_list<std::pair<const char*, Json::Value>> members) {
    Json::Value v(Json::objectValue);
    v["msgType"] = type;
    for (const auto& m : members) v[m.first] = m.second;
    return v;
  }
  static int Res(const Json::Value& reply) { return reply["res"].asInt(); }
  // The next scripted dialog answer.
  static void Answer(const std::string& line) {
    std::string s = ReadFile(script);
    WriteFile(script, s + line + "\n");
  }

  static std::string dir, script;
  static int port;
  static ChildProcess* agent;
};

std::string FileAgent::dir, FileAgent::script;
int FileAgent::port = 0;
ChildProcess* FileAgent::agent = nullptr;

}  // namespace

TEST_F(FileAgent, FilesFoldersAndOptionsOfALocalProgram) {
  const std::string d = dir + "/local";
  ::mkdir(d.c_str(), 0700);
  const std::string abc = d + "/abc.bin";
  Json::Value v = Post(Cmd("write_file", {{"file", abc}, {"content", "YWJj"}, {"isBinary", 1}}));
  EXPECT_EQ(Res(v), 0);
  EXPECT_EQ(v["respType"].asString(), "write_file");
  EXPECT_EQ(ReadFile(abc), "abc");
  v = Post(Cmd("read_file", {{"file", abc}}));
  EXPECT_EQ(Res(v), 0);
  EXPECT_EQ(v["respType"].asString(), "read_file");
  EXPECT_EQ(v["content"].asString(), "YWJj");
  EXPECT_EQ(Res(Post(Cmd("write_file", {{"file", abc}, {"content", "YWJj"}, {"isBinary", 0}}))), 0);
  EXPECT_EQ(ReadFile(abc), "YWJj");  // the text itself

  WriteFile(d + "/empty", "");
  ASSERT_EQ(::truncate((d + "/empty").c_str(), 0), 0);
  WriteFile(d + "/big", "");
  ASSERT_EQ(::truncate((d + "/big").c_str(), 104857601), 0);
  struct Row {
    Json::Value req;
    int res;
    const char* respType;
  } rows[] = {
      {Cmd("write_file", {{"file", d + "/none"}, {"content", ""}, {"isBinary", 0}}), kBadParam, "write_file"},
      {Cmd("read_file", {{"file", d + "/empty"}}), kBadParam, "read_file"},
      {Cmd("read_file", {{"file", d + "/big"}}), kTooLong, "read_file"},
      {Cmd("read_file", {{"file", d + "/missing"}}), kNoFile, "read_file"},
      {Cmd("delete_file", {{"file", d + "/missing"}}), kFileMissing, "delete_file"},
      {Cmd("delete_file", {{"file", abc}}), 0, "delete_file"},
      {Cmd("create_folder", {{"path", d + "\\n1\\n2"}}), 0, "create_folder_resp"},
      {Cmd("create_folder", {{"path", "/ab"}}), kBadParam, "create_folder_resp"},
      {Cmd("delete_folder", {{"path", d + "/n1"}}), 0, "delete_folder_resp"},
      {Cmd("get_useroption", {{"type", 4}}), kCallFailed, "get_useroption_resp"},
      {Cmd("set_useroption", {{"type", 4}, {"value", 1}}), kCallFailed, "set_useroption_resp"},
      {Cmd("set_useroption", {{"type", 2}, {"value", 1}}), 0, "set_useroption_resp"},
      {Cmd("get_filename", {{"caption", "x"}}), 0, "get_filename_resp"},  // no answer: cancelled
  };
  for (const auto& r : rows) {
    v = Post(r.req);
    EXPECT_EQ(Res(v), r.res) << r.req.toStyledString();
    EXPECT_EQ(v["respType"].asString(), r.respType);
    if (r.res == kFileMissing) {
      EXPECT_EQ(v["msg"].asString(), "文件不存在");
    }
  }
  EXPECT_FALSE(Exists(d + "/none"));
  EXPECT_FALSE(Exists(abc));
  EXPECT_FALSE(Exists(d + "/n1"));
  v = Post(Cmd("get_useroption", {{"type", 2}}));
  EXPECT_EQ(Res(v), 0);
  EXPECT_EQ(v["val"].asInt(), 1);
  v = Post(Cmd("get_filename", {}));
  EXPECT_EQ(v["file"].asString(), "");

  // Nested creation, then an existing folder is success too.
  EXPECT_EQ(Res(Post(Cmd("create_folder", {{"path", d + "/c1/c2/c3"}}))), 0);
  struct stat st {};
  ASSERT_EQ(::stat((d + "/c1/c2/c3").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(Res(Post(Cmd("create_folder", {{"path", d + "/c1/c2"}}))), 0);
}

TEST_F(FileAgent, RandomBytesOfTheSoftTokenInEachForm) {
  const std::string d = dir + "/rand";
  ::mkdir(d.c_str(), 0700);
  // The kit loads on a thread of its own: wait for the token.
  Json::Value v;
  for (int i = 0; i < 100; ++i) {
    v = Post(Cmd("test_randrom", {{"keyIndex", 0}, {"size", 1}, {"format", 0}, {"file", d + "/probe"}}));
    if (Res(v) != kBadParam) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(Res(v), 0) << ReadFile(dir + "/agent.out");
  EXPECT_EQ(v["respType"].asString(), "test_randrom_resp");

  auto onlyOf = [](const std::string& s, const char* set) {
    return s.find_first_not_of(set) == std::string::npos;
  };
  auto joined = [](std::string s) {  // the lines of 64 without their separators
    std::string out;
    for (size_t at = 0; at < s.size(); at += 66) {
      out += s.substr(at, 64);
      if (at + 64 < s.size()) {
        EXPECT_EQ(s.substr(at + 64, 2), "\r\n");
      }
    }
    return out;
  };
  for (int size : {16, 40}) {
    for (int format : {0, 1, 2, 3}) {
      const std::string f = d + "/r" + std::to_string(size) + "_" + std::to_string(format);
      ASSERT_EQ(Res(Post(Cmd("test_randrom", {{"keyIndex", 0}, {"size", size}, {"format", format}, {"file", f}}))), 0);
      std::string got = ReadFile(f);
      std::vector<uint8_t> decoded;
      switch (format) {
        case 0:
          EXPECT_EQ(got.size(), size_t(size));
          break;
        case 1: {
          std::string bits = joined(got);
          EXPECT_EQ(bits.size(), size_t(size) * 8);
          EXPECT_TRUE(onlyOf(bits, "01")) << got;
          EXPECT_EQ(got.size(), bits.size() + (bits.size() - 1) / 64 * 2);
          break;
        }
        case 2: {
          std::string hex = joined(got);
          EXPECT_EQ(hex.size(), size_t(size) * 2);
          EXPECT_TRUE(onlyOf(hex, "0123456789ABCDEF")) << got;
          if (size == 16) {  // one line
            EXPECT_EQ(got.size(), 32u);
          }
          if (size == 40) {  // 64, CRLF, 16
            EXPECT_EQ(got.size(), 82u);
          }
          break;
        }
        case 3:
          EXPECT_EQ(got.find('\n'), std::string::npos);
          ASSERT_EQ(CStringConvert::Base64StringToBinary(got, decoded), 0u) << got;
          EXPECT_EQ(decoded.size(), size_t(size));
          break;
      }
    }
  }
  EXPECT_NE(ReadFile(d + "/r16_0"), ReadFile(d + "/r40_0").substr(0, 16));  // fresh bytes each time

  struct Row {
    int keyIndex, size, format;
    int res;
  } rows[] = {
      {0, 0, 2, kRefused}, {0, 10241, 2, kRefused}, {0, -1, 2, kRefused},
      {0, 16, 4, kBadParam}, {1, 16, 2, kBadParam}, {-1, 16, 2, kBadParam},
  };
  for (const auto& r : rows) {
    const std::string f = d + "/bad";
    EXPECT_EQ(Res(Post(Cmd("test_randrom", {{"keyIndex", r.keyIndex}, {"size", r.size}, {"format", r.format},
                                             {"file", f}}))),
              r.res)
        << r.keyIndex << " " << r.size << " " << r.format;
    EXPECT_FALSE(Exists(f));
  }
  // The token's own failure reaches the page.
  std::string out;
  ASSERT_EQ(RunProgram({BinaryDir() + "/tools/softskf/softskfctl", "-s", dir + "/ctl.sock", "fail",
                        "SKF_GenRandom", "0x0A000012"},
                       out),
            0)
      << out;
  EXPECT_EQ(Res(Post(Cmd("test_randrom", {{"keyIndex", 0}, {"size", 16}, {"format", 2}, {"file", d + "/bad"}}))),
            kGenRandom);
  EXPECT_FALSE(Exists(d + "/bad"));
}

TEST_F(FileAgent, PagesReachOnlyWhatTheirUserChoseForThem) {
  const std::string page = dir + "/page", outside = dir + "/outside";
  WriteFile(page + "/existing.txt", "mine");
  WriteFile(outside + "/secret.txt", "secret");
  WriteFile(dir + "/chosen.txt", "chosen");
  WriteFile(dir + "/other.txt", "other");
  ASSERT_EQ(::symlink(outside.c_str(), (page + "/link").c_str()), 0);

  // Nothing chosen yet: every path of page A is refused and nothing is touched.
  auto refusedRows = [&](const std::string& base) {
    return std::vector<Json::Value>{
        Cmd("read_file", {{"file", base + "/existing.txt"}}),
        Cmd("write_file", {{"file", base + "/new.txt"}, {"content", "YWJj"}, {"isBinary", 1}}),
        Cmd("delete_file", {{"file", base + "/existing.txt"}}),
        Cmd("create_folder", {{"path", base + "/newdir"}}),
        Cmd("delete_folder", {{"path", base}}),
        Cmd("open_folder", {{"path", base}}),
        Cmd("test_randrom", {{"keyIndex", 0}, {"size", 16}, {"format", 2}, {"file", base + "/r.txt"}}),
    };
  };
  for (const Json::Value& req : refusedRows(page))
    EXPECT_EQ(Res(Post(req, kA)), kRefused) << req.toStyledString();
  EXPECT_EQ(ReadFile(page + "/existing.txt"), "mine");
  for (const char* name : {"/new.txt", "/newdir", "/r.txt"}) EXPECT_FALSE(Exists(page + name)) << name;

  // Page A's user chooses the folder.
  Answer("{\"dialog\":\"folder\",\"button\":\"ok\",\"path\":\"" + page + "\"}");
  Json::Value v = Post(Cmd("get_pathname", {{"caption", "Save where?"}}), kA);
  EXPECT_EQ(Res(v), 0);
  EXPECT_EQ(v["path"].asString(), page);

  struct Row {
    Json::Value req;
    const std::string& origin;
    int res;
  } rows[] = {
      // Inside the chosen folder.
      {Cmd("write_file", {{"file", page + "/new.txt"}, {"content", "YWJj"}, {"isBinary", 1}}), kA, 0},
      {Cmd("read_file", {{"file", page + "/new.txt"}}), kA, 0},
      {Cmd("create_folder", {{"path", page + "/sub/deeper"}}), kA, 0},
      {Cmd("test_randrom", {{"keyIndex", 0}, {"size", 16}, {"format", 2}, {"file", page + "/sub/r.txt"}}), kA, 0},
      {Cmd("open_folder", {{"path", page + "/sub"}}), kA, 0},
      {Cmd("delete_file", {{"file", page + "/existing.txt"}}), kA, 0},
      {Cmd("delete_folder", {{"path", page + "/sub"}}), kA, 0},
      {Cmd("delete_folder", {{"path", page}}), kA, kRefused},  // the chosen folder itself
      // Out of it, by name, by "..", through a link.
      {Cmd("read_file", {{"file", outside + "/secret.txt"}}), kA, kRefused},
      {Cmd("read_file", {{"file", page + "/../outside/secret.txt"}}), kA, kRefused},
      {Cmd("read_file", {{"file", page + "/link/secret.txt"}}), kA, kRefused},
      {Cmd("write_file", {{"file", page + "/link/new.txt"}, {"content", "eA=="}, {"isBinary", 1}}), kA, kRefused},
      {Cmd("write_file", {{"file", page + "/../outside/new.txt"}, {"content", "x"}, {"isBinary", 0}}), kA, kRefused},
      {Cmd("create_folder", {{"path", page + "/nope/../../outside/made"}}), kA, kRefused},
      {Cmd("delete_file", {{"file", page + "/link/secret.txt"}}), kA, kRefused},
      {Cmd("delete_folder", {{"path", page + "/.."}}), kA, kRefused},
      // Page B inherits nothing.
      {Cmd("read_file", {{"file", page + "/new.txt"}}), kB, kRefused},
      {Cmd("write_file", {{"file", page + "/b.txt"}, {"content", "x"}, {"isBinary", 0}}), kB, kRefused},
      // The machine-wide roots serve every page.
      {Cmd("write_file", {{"file", dir + "/roots/b.txt"}, {"content", "eA=="}, {"isBinary", 1}}), kB, 0},
  };
  for (const auto& r : rows) {
    v = Post(r.req, r.origin);
    EXPECT_EQ(Res(v), r.res) << r.origin << " " << r.req.toStyledString();
    if (r.req["msgType"] == "read_file" && r.res == 0) {
      EXPECT_EQ(v["content"].asString(), "YWJj");
    }
  }
  EXPECT_EQ(ReadFile(page + "/new.txt"), "abc");
  EXPECT_FALSE(Exists(page + "/sub"));
  EXPECT_FALSE(Exists(page + "/existing.txt"));
  EXPECT_TRUE(Exists(page));
  EXPECT_FALSE(Exists(outside + "/new.txt"));
  EXPECT_FALSE(Exists(outside + "/made"));
  EXPECT_FALSE(Exists(page + "/b.txt"));
  EXPECT_EQ(ReadFile(outside + "/secret.txt"), "secret");
  EXPECT_EQ(ReadFile(dir + "/roots/b.txt"), "x");

  // The link inside the grant is removed as a link; what it points to stays.
  EXPECT_EQ(Res(Post(Cmd("delete_folder", {{"path", page + "/link"}}), kA)), 0);
  EXPECT_FALSE(Exists(page + "/link"));
  EXPECT_EQ(ReadFile(outside + "/secret.txt"), "secret");

  // A chosen file: that file, not its neighbours.
  Answer("{\"dialog\":\"file\",\"button\":\"ok\",\"path\":\"" + dir + "/chosen.txt\"}");
  v = Post(Cmd("get_filename", {{"filter", "Text(*.txt)|*.txt"}}), kB);
  EXPECT_EQ(v["file"].asString(), dir + "/chosen.txt");
  v = Post(Cmd("read_file", {{"file", dir + "/chosen.txt"}}), kB);
  EXPECT_EQ(Res(v), 0);
  EXPECT_EQ(v["content"].asString(), "Y2hvc2Vu");
  EXPECT_EQ(Res(Post(Cmd("read_file", {{"file", dir + "/other.txt"}}), kB)), kRefused);
  EXPECT_EQ(Res(Post(Cmd("read_file", {{"file", dir + "/chosen.txt"}}), kA)), kRefused);

  // What the desktop was asked to open: only the folder inside the grant.
  std::string log = ReadFile(script + ".log");
  EXPECT_NE(log.find("\"dialog\":\"open_folder\",\"path\":\"" + page + "/sub\""), std::string::npos) << log;
  EXPECT_EQ(log.find("\"dialog\":\"open_folder\",\"path\":\"" + page + "\""), std::string::npos) << log;
}
