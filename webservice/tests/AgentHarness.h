#pragma once
// The agent as a process for end-to-end tests: the software SKF token (libsoftskf.so) as its
// kit with two tokens, HTTPS requests from the test over one kept-alive connection, dialog
// answers from ORVADESK_UI_SCRIPT. One agent serves every test of a suite; each test starts
// from the same two tokens (the token's control socket resets them and "enum_dev" with
// "refresh" 1 lists them again):
//   index 0 "OrvaDesk Demo", ORVATESTA0000001: SM2 sign and exchange certificates; user PIN
//     demo1234 (10 tries), administrator PIN admin1234;
//   index 1 (no label), ORVATESTB0000002: an RSA container (rsa-sign) and an SM2 one with
//     the expired certificate as sign and sm2-names as exchange certificate; the weak user
//     PIN abcdef (3 tries), administrator PIN admin5678.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "webservice/ORVATlsIdentity.h"
#include "webservice/tests/TlsTestClient.h"

namespace orva::testing::agent {

using namespace orva::testing;


inline constexpr const char* kOrigin = "https://portal.example";
inline constexpr const char* kSnA = "ORVATESTA0000001";
inline constexpr const char* kSnB = "ORVATESTB0000002";
inline constexpr uint32_t kOk = 0;

inline std::string CertB64(const std::string& name) {
  std::string b64;
  CStringConvert::BinaryToBase64String(TestPkiCertDer(name), b64);
  return b64;
}

inline Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errs;
  std::istringstream in(text);
  if (!Json::parseFromStream(b, in, &v, &errs)) return Json::Value();
  return v;
}

inline std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return Json::writeString(w, v);
}

inline uint32_t Res(const Json::Value& reply) { return static_cast<uint32_t>(reply["res"].asInt()); }

inline std::string Container(const std::string& name, const std::string& signKey, const std::string& signCert,
                      const std::string& exchKey, const std::string& exchCert) {
  std::string s = "{\"name\":\"" + name + "\",\"signKeyFile\":\"" + TestPkiKeyPath(signKey) +
                  "\",\"signCertFile\":\"" + TestPkiCertPath(signCert) + "\"";
  if (!exchKey.empty())
    s += ",\"exchKeyFile\":\"" + TestPkiKeyPath(exchKey) + "\",\"exchCertFile\":\"" + TestPkiCertPath(exchCert) + "\"";
  return s + "}";
}

inline std::string PristineState() {
  auto device = [](const std::string& name, const std::string& label, const std::string& sn,
                   const std::string& admin, const std::string& user, int tries, const std::string& containers) {
    return "{\"name\":\"" + name + "\",\"label\":\"" + label + "\",\"serial\":\"" + sn +
           "\",\"devAuthKey\":\"1234567812345678\",\"applications\":[{\"name\":\"ORVA_APP\",\"adminPin\":{\"value\":\"" +
           admin + "\",\"maxRetry\":10,\"remain\":10},\"userPin\":{\"value\":\"" + user +
           "\",\"maxRetry\":" + std::to_string(tries) + ",\"remain\":" + std::to_string(tries) +
           "},\"containers\":[" + containers + "]}]}";
  };
  return "{\"devices\":[" +
         device("TokenA", "OrvaDesk Demo", kSnA, "admin1234", "demo1234", 10,
                Container("ORVA_ECC_CON", "sm2-sign", "sm2-sign", "sm2-exch", "sm2-exch")) +
         "," +
         device("TokenB", "", kSnB, "admin5678", "abcdef", 3,
                Container("RSA_CON", "rsa-sign", "rsa-sign", "", "") + "," +
                    Container("ECC_OLD", "sm2-leaf", "sm2-expired", "sm2-leaf", "sm2-names")) +
         "]}";
}

// One HTTPS connection to the agent, kept alive across commands (never retried: a command
// sent is a command run).
class Connection {
 public:
  Connection(uint16_t port, std::string caPem) : m_port(port), m_ca(std::move(caPem)) {}
  // The reply object, or null when no reply came within 5 s.
  Json::Value Post(const std::string& body, const std::string& origin = "") {
    if (!m_client) {
      m_client = std::make_unique<TlsTestClient>();
      if (!m_client->Connect(m_port, m_ca)) {
        m_client.reset();
        return Json::Value();
      }
    }
    std::string extra = origin.empty() ? "" : "Origin: " + origin + "\r\n";
    std::string head, reply;
    if (m_client->Send(HttpPost(body, extra)) && m_client->ReadResponse(head, reply, 5000)) return ParseJson(reply);
    m_client.reset();
    return Json::Value();
  }
  Json::Value Post(const Json::Value& req, const std::string& origin = "") { return Post(Compact(req), origin); }

 private:
  uint16_t m_port;
  std::string m_ca;
  std::unique_ptr<TlsTestClient> m_client;
};

inline Json::Value Req(const char* type, std::initializer_list<std::pair<const char*, Json::Value>> members = {}) {
  Json::Value v(Json::objectValue);
  v["msgType"] = type;
  for (const auto& [k, val] : members) v[k] = val;
  return v;
}

inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
  for (int i = 0; i < ms / 20; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

class AgentFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = MakeTempDir("e2e");
    s_port = static_cast<uint16_t>(FreeLoopbackPort());
    s_pagePort = static_cast<uint16_t>(FreeLoopbackPort());
    ORVA_SERVICE_IDENTITY id;
    ASSERT_EQ(CORVATlsIdentity::Load(id), 0u);  // the agent finds and uses the same pair
    s_caPem = CORVATlsIdentity::CertPem(id.strCaB64);
    WriteFile(s_dir + "/ca.pem", s_caPem);
    WriteFile(s_dir + "/pristine.json", PristineState());
    WriteFile(s_dir + "/state.json", PristineState());
    WriteFile(s_dir + "/ui.jsonl", "");
    WriteSettings(true, "authority-rsa", s_extraSettings);

    s_agent = std::make_unique<ChildProcess>();
    ASSERT_TRUE(s_agent->Start({BinaryDir() + "/app/orvadesk"},
                               {"SOFTSKF_STATE=" + s_dir + "/state.json", "SOFTSKF_CONTROL=" + s_dir + "/ctl.sock",
                                "ORVADESK_UI_SCRIPT=" + s_dir + "/ui.jsonl", "DISPLAY=", "WAYLAND_DISPLAY=",
                                "QT_QPA_PLATFORM="},
                               s_dir + "/agent.out"));
    ASSERT_TRUE(WaitForPort(s_port, 10000)) << ReadFile(s_dir + "/agent.out");
    s_conn = std::make_unique<Connection>(s_port, s_caPem);
    ASSERT_TRUE(WaitFor([] { return Cmd(Req("enum_dev"))["devices"].size() == 2; }, 10000));
  }

  static void TearDownTestSuite() {
    s_conn.reset();
    if (!s_agent) return;
    s_agent->Signal(SIGTERM);
    int code = -1;
    EXPECT_TRUE(s_agent->Wait(10000, &code));
    EXPECT_EQ(code, 0) << ReadFile(s_dir + "/agent.out");
    s_agent.reset();
  }

  // Both tokens as at the start, listed again.
  void SetUp() override {
    ASSERT_TRUE(s_agent);
    std::string out;
    ASSERT_EQ(SoftSkfCtl({"reset", s_dir + "/pristine.json"}, out), 0) << out;
    Json::Value r = Cmd(Req("enum_dev", {{"refresh", 1}}));
    ASSERT_EQ(Res(r), kOk) << Compact(r);
    ASSERT_EQ(r["devices"].size(), 2u) << Compact(r);
  }

  // The machine-wide settings of the agent; `extra` members are added to the main key.
  static void WriteSettings(bool bAuthority, const std::string& authorityCert = "authority-rsa",
                            const Json::Value& extra = Json::Value()) {
    Json::Value root(Json::objectValue);
    Json::Value& main = root["SOFTWARE\\ORVA\\OrvaDesk"];
    main["ServicePort"] = s_port;
    main["LogEnabled"] = 1;
    main["LogFolder"] = s_dir + "/logs";
    main["AllowedOrigins"] = std::string(kOrigin) + ";http://127.0.0.1:" + std::to_string(s_pagePort);
    if (bAuthority) main["AuthorityCert"] = CertB64(authorityCert);
    if (extra.isObject())
      for (const auto& name : extra.getMemberNames()) main[name] = extra[name];
    Json::Value& kit = root["SOFTWARE\\ORVA\\OrvaDesk\\SoftKit"];
    kit["SDKName"] = "Soft Kit";
    kit["Manufacturer"] = "OrvaDesk";
    kit["DefaultSdkType"] = 3;
    kit["CSPName"] = "Soft CSP";
    kit["SKFImage"] = BinaryDir() + "/tools/softskf/libsoftskf.so";
    WriteFile(CSettingsStore::FilePath(SettingsScope::Machine), Compact(root));
  }

  static Json::Value Cmd(const Json::Value& req, const std::string& origin = "") { return s_conn->Post(req, origin); }

  static int SoftSkfCtl(const std::vector<std::string>& args, std::string& out) {
    std::vector<std::string> argv = {BinaryDir() + "/tools/softskf/softskfctl", "-s", s_dir + "/ctl.sock"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, 10000);
  }

  // Dialog answers for the agent's user interface, and what it was asked since a mark.
  static void Answer(const std::vector<std::string>& lines) {
    std::string text = ReadFile(s_dir + "/ui.jsonl");
    for (const auto& l : lines) text += l + "\n";
    WriteFile(s_dir + "/ui.jsonl", text);
  }
  static size_t Mark() { return UiRecords().size(); }
  static std::vector<Json::Value> UiRecords(size_t from = 0) {
    std::vector<Json::Value> out;
    std::istringstream in(ReadFile(s_dir + "/ui.jsonl.log"));
    std::string line;
    size_t n = 0;
    while (std::getline(in, line))
      if (!line.empty() && n++ >= from) out.push_back(ParseJson(line));
    return out;
  }
  // "dialog[:id]=answer" of each record, for compact comparisons.
  static std::string Asked(size_t from) {
    std::string s;
    for (const auto& r : UiRecords(from)) {
      if (!s.empty()) s += " ";
      s += r["dialog"].asString();
      if (r.isMember("id")) s += ":" + std::to_string(r["id"].asUInt());
      s += "=" + r["answer"].asString();
    }
    return s;
  }

  static inline std::string s_dir, s_caPem;
  static inline uint16_t s_port = 0, s_pagePort = 0;
  static inline std::unique_ptr<ChildProcess> s_agent;
  static inline std::unique_ptr<Connection> s_conn;
  // Settings a suite adds before the agent starts.
  static inline Json::Value s_extraSettings;
};

}  // namespace orva::testing::agent
