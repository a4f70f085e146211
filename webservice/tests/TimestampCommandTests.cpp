// The five time-stamp commands through the dispatcher, with the test PKI's tokens: RSA ones
// from `openssl ts -reply` and SM2 ones from the generator in testing/. The expected digests
// and Base64 texts come from the openssl and base64 command lines.
#include <gtest/gtest.h>

#include <json/json.h>

#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAHttpHandler.h"

using orva::testing::ReadFile;
using orva::testing::TestPkiDir;

namespace {

std::string TsPath(const std::string& name) { return TestPkiDir() + "/ts/" + name; }

// `base64 -w0` of a file, or of the output of a shell pipeline.
std::string Base64Of(const std::string& shell) {
  std::string out;
  EXPECT_EQ(orva::testing::RunProgram({"sh", "-c", shell + " | base64 -w0"}, out), 0) << out;
  return out;
}
std::string B64File(const std::string& path) { return Base64Of("cat '" + path + "'"); }
std::string Token(const std::string& name) { return B64File(TsPath(name + ".tsr")); }
std::string CertB64(const std::string& name) { return B64File(orva::testing::TestPkiCertPath(name)); }

Json::Value Send(CORVAHttpHandler& h, const Json::Value& req) {
  std::string reply;
  h.ProcessHttpMsg(reply, CORVAHttpHandler::WriteCompact(req));
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errs;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(reply.data(), reply.data() + reply.size(), &v, &errs)) << reply;
  return v;
}

Json::Value Cmd(const char* type, std::initializer_list<std::pair<const char*, Json::Value>> members) {
  Json::Value v(Json::objectValue);
  v["msgType"] = type;
  for (const auto& m : members) v[m.first] = m.second;
  return v;
}

uint32_t Res(const Json::Value& reply) { return static_cast<uint32_t>(reply["res"].asInt()); }

std::string KeyHex(const std::string& name) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name), bits;
  CX509Certificate c;
  c.FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
  c.GetPublicKeyBits(bits);
  std::string hex;
  for (uint8_t b : bits) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  return hex;
}

void SetMachineString(const char* name, const std::string& value) {
  SettingValue v;
  v.type = ORVA_REG_SZ;
  v.text = value;
  ASSERT_EQ(CSettingsStore::Instance().WriteValue(SettingsScope::Machine, kOrvaSettingsKey, name, v), 0u);
}

class TimestampCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orva::testing::RemoveTree(orva::platform::JoinPath(orva::platform::UserSettingsDir(), "certstore"));
    for (auto [store, name] : {std::pair{"CA", "rsa-ca"}, {"CA", "sm2-ca"}, {"ROOT", "rsa-root"}, {"ROOT", "sm2-root"}}) {
      std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
      ASSERT_TRUE(orva::testing::WriteFile(CCertificateStore::StoreFolder(store) + "/" + name + ".der",
                                           std::string(der.begin(), der.end())));
    }
    SetMachineString("AuthorityKeys", KeyHex("rsa-ca") + ";" + KeyHex("rsa-root") + ";" + KeyHex("sm2-ca") + ";" +
                                          KeyHex("sm2-root"));
  }
  CORVAHttpHandler h{nullptr, nullptr};
};

TEST_F(TimestampCommandTest, Attributes) {
  const std::string sm3 = Base64Of("openssl dgst -sm3 -binary '" + TsPath("msg.txt") + "'");
  const std::string sha512 = Base64Of("openssl dgst -sha512 -binary '" + TsPath("msg.txt") + "'");
  struct Row {
    const char* what;
    std::string token;
    std::initializer_list<std::pair<const char*, Json::Value>> flags;
    std::map<std::string, Json::Value> want;  // every member besides respType, res and msg
  } rows[] = {
      {"time only", "rsa-sha256", {{"time", 1}}, {{"time", "2026-06-01 20:00:00"}}},
      {"a flag that is not an integer counts as 0", "rsa-sha256", {{"time", "yes"}, {"sign", true}, {"cert", 1.5}}, {}},
      {"SM3 imprint", "sm2-sm3", {{"digest", 1}}, {{"digest_alg", 16384}, {"digest", sm3}}},
      {"digest_alg alone writes both", "sm2-sm3", {{"digest_alg", 7}}, {{"digest_alg", 16384}, {"digest", sm3}}},
      {"SHA-512 imprint", "rsa-sha512", {{"digest", 1}}, {{"digest_alg", 8192}, {"digest", sha512}}},
      {"certificate", "rsa-sha256", {{"cert", 1}}, {{"cert", CertB64("tsa-rsa")}}},
      {"no certificate in the response", "rsa-nocert", {{"cert", 1}}, {{"cert", ""}}},
      {"signature", "sm2-sm3", {{"sign", 1}, {"time", 1}},
       {{"sign", B64File(TsPath("sm2-sm3.sig"))}, {"time", "2026-06-01 20:00:00"}}},
  };
  for (const Row& r : rows) {
    Json::Value req = Cmd("timestamp_attrs", r.flags);
    req["timestamp"] = Token(r.token);
    Json::Value reply = Send(h, req);
    EXPECT_EQ(Res(reply), ORVA_OK) << r.what;
    EXPECT_EQ(reply["respType"].asString(), "timestamp_attrs_resp") << r.what;
    for (const std::string& name : reply.getMemberNames()) {
      if (name == "respType" || name == "res" || name == "msg") continue;
      EXPECT_TRUE(r.want.count(name)) << r.what << ": unexpected member " << name;
    }
    for (const auto& [name, value] : r.want) EXPECT_EQ(reply[name], value) << r.what << ": " << name;
  }
  Json::Value sm3Reply = Send(h, Cmd("timestamp_attrs", {{"timestamp", Token("sm2-sm3")}, {"digest", 1}}));
  EXPECT_EQ(sm3Reply["digest"].asString().size(), 44u);
}

TEST_F(TimestampCommandTest, Verification) {
  const std::string msg = ReadFile(TsPath("msg.txt"));
  const std::string sha256 = Base64Of("openssl dgst -sha256 -binary '" + TsPath("msg.txt") + "'");
  // The same digest with its last byte changed.
  const std::string sha256Last = Base64Of("openssl dgst -sha256 -binary '" + TsPath("msg.txt") +
                                          "' | python3 -c 'import sys; b=bytearray(sys.stdin.buffer.read()); "
                                          "b[-1]^=1; sys.stdout.buffer.write(b)'");
  // A response whose imprint was changed after signing.
  const std::string tampered = Base64Of("python3 -c 'import sys,hashlib; d=open(sys.argv[1],\"rb\").read(); "
                                        "m=hashlib.sha256(open(sys.argv[2],\"rb\").read()).digest(); "
                                        "i=d.index(m); d=bytearray(d); d[i+31]^=1; sys.stdout.buffer.write(d)' '" +
                                        TsPath("rsa-sha256.tsr") + "' '" + TsPath("msg.txt") + "'");
  const std::string sm2Sign = CertB64("sm2-sign");
  struct Row {
    const char* what;
    Json::Value req;
    uint32_t res;
  } rows[] = {
      {"RSA token", Cmd("timestamp_verify", {{"timestamp", Token("rsa-sha256")}}), ORVA_OK},
      {"SM2 token", Cmd("timestamp_verify", {{"timestamp", Token("sm2-sm3")}}), ORVA_OK},
      {"no TSA certificate anywhere", Cmd("timestamp_verify", {{"timestamp", Token("rsa-nocert")}}),
       ORVA_E_INVALID_PARAM},
      {"TSA certificate given", Cmd("timestamp_verify", {{"timestamp", Token("rsa-nocert")}, {"server_cert", CertB64("tsa-rsa")}}),
       ORVA_OK},
      {"server_cert not Base64", Cmd("timestamp_verify", {{"timestamp", Token("rsa-nocert")}, {"server_cert", "!!!!"}}),
       ORVA_E_BASE64},
      {"made at the TSA certificate's not-after", Cmd("timestamp_verify", {{"timestamp", Token("rsa-at-notafter")}}),
       ORVA_E_VERIFY_TIME},
      {"made at its not-before", Cmd("timestamp_verify", {{"timestamp", Token("rsa-at-notbefore")}}), ORVA_E_VERIFY_TIME},
      {"one second inside", Cmd("timestamp_verify", {{"timestamp", Token("rsa-after-notbefore")}}), ORVA_OK},
      {"tampered imprint", Cmd("timestamp_verify", {{"timestamp", tampered}}), ORVA_E_VERIFY_SIGNATURE},
      {"empty timestamp", Cmd("timestamp_verify", {{"timestamp", ""}}), ORVA_E_BASE64},
      {"missing timestamp", Cmd("timestamp_verify", {}), ORVA_E_BASE64},
      {"timestamp not Base64", Cmd("timestamp_verify", {{"timestamp", "%%%%"}}), ORVA_E_BASE64},
      {"timestamp not a response", Cmd("timestamp_verify", {{"timestamp", "AAECAwQF"}}), ORVA_E_CALL_FAILED},
      {"timestamp as an object", Cmd("timestamp_verify", {{"timestamp", Json::Value(Json::objectValue)}}),
       ORVA_E_INVALID_PARAM},

      {"digest", Cmd("timestamp_verify_digest", {{"timestamp", Token("rsa-sha256")}, {"digest", sha256}}), ORVA_OK},
      {"digest differing in its last byte",
       Cmd("timestamp_verify_digest", {{"timestamp", Token("rsa-sha256")}, {"digest", sha256Last}}), ORVA_E_VERIFY_DIGEST},
      {"digest of the tampered imprint",
       Cmd("timestamp_verify_digest", {{"timestamp", tampered}, {"digest", sha256}}), ORVA_E_VERIFY_DIGEST},
      {"empty digest", Cmd("timestamp_verify_digest", {{"timestamp", Token("rsa-sha256")}, {"digest", ""}}), ORVA_E_BASE64},
      {"empty timestamp with a digest", Cmd("timestamp_verify_digest", {{"timestamp", ""}, {"digest", sha256}}),
       ORVA_E_BASE64},
      {"digest_alg not a number",
       Cmd("timestamp_verify_digest", {{"timestamp", Token("rsa-sha256")}, {"digest", sha256}, {"digest_alg", "x"}}),
       ORVA_E_INVALID_PARAM},

      {"message", Cmd("timestamp_verify_msg", {{"timestamp", Token("rsa-sha256")}, {"msg", msg}, {"digest_alg", 0x800}}),
       ORVA_OK},
      {"SM2 message", Cmd("timestamp_verify_msg", {{"timestamp", Token("sm2-sm3")}, {"msg", msg}, {"digest_alg", 0x4000}}),
       ORVA_OK},
      {"another message", Cmd("timestamp_verify_msg", {{"timestamp", Token("rsa-sha256")}, {"msg", msg + "!"}, {"digest_alg", 0x800}}),
       ORVA_E_VERIFY_DIGEST},
      {"empty message", Cmd("timestamp_verify_msg", {{"timestamp", Token("rsa-sha256")}, {"msg", ""}, {"digest_alg", 0x800}}),
       ORVA_E_INVALID_PARAM},
      {"message with the signer's Z value",
       Cmd("timestamp_verify_msg", {{"timestamp", Token("sm2-z")}, {"msg", msg}, {"digest_alg", 0x4000},
                                    {"user_id", "alice@orva.test"}, {"cert", sm2Sign}}),
       ORVA_OK},
      {"user_id that is not a string counts as empty",
       Cmd("timestamp_verify_msg", {{"timestamp", Token("sm2-z")}, {"msg", msg}, {"digest_alg", 0x4000},
                                    {"user_id", 5}, {"cert", sm2Sign}}),
       ORVA_E_INVALID_PARAM},
      {"cert that is not a string counts as empty",
       Cmd("timestamp_verify_msg", {{"timestamp", Token("sm2-z")}, {"msg", msg}, {"digest_alg", 0x4000},
                                    {"user_id", "alice@orva.test"}, {"cert", Json::Value(Json::arrayValue)}}),
       ORVA_E_VERIFY_DIGEST},
      {"cert not Base64",
       Cmd("timestamp_verify_msg", {{"timestamp", Token("sm2-z")}, {"msg", msg}, {"digest_alg", 0x4000},
                                    {"user_id", "alice@orva.test"}, {"cert", "!!!!"}}),
       ORVA_E_BASE64},

      {"file", Cmd("timestamp_verify_file", {{"timestamp", Token("sm2-big")}, {"file", TsPath("big.txt")}, {"digest_alg", 0x4000}}),
       ORVA_OK},
      {"another file", Cmd("timestamp_verify_file", {{"timestamp", Token("sm2-big")}, {"file", TsPath("msg.txt")}, {"digest_alg", 0x4000}}),
       ORVA_E_VERIFY_DIGEST},
      {"missing file", Cmd("timestamp_verify_file", {{"timestamp", Token("sm2-big")}, {"file", TsPath("none.txt")}, {"digest_alg", 0x4000}}),
       ORVA_E_FILE_NOT_FOUND},
      {"no file", Cmd("timestamp_verify_file", {{"timestamp", Token("sm2-big")}, {"digest_alg", 0x4000}}),
       ORVA_E_FILE_NOT_FOUND},
  };
  for (const Row& r : rows) {
    Json::Value reply = Send(h, r.req);
    EXPECT_EQ(Res(reply), r.res) << r.what << ": " << reply["msg"].asString();
    EXPECT_EQ(reply["respType"].asString(), r.req["msgType"].asString() + "_resp") << r.what;
  }
  Json::Value reply = Send(h, rows[5].req);
  EXPECT_EQ(reply["msg"].asString(), "签发时间不在证书有效期内");
}

// A browser request reaches only files its user chose or that lie under FileAccessRoots.
TEST_F(TimestampCommandTest, FilesOfBrowserRequests) {
  const std::string dir = orva::testing::MakeTempDir("tsfiles");
  orva::testing::WriteFile(dir + "/big.txt", ReadFile(TsPath("big.txt")));
  Json::Value req = Cmd("timestamp_verify_file",
                        {{"timestamp", Token("sm2-big")}, {"file", dir + "/big.txt"}, {"digest_alg", 0x4000}});
  CORVAFileAccess::Instance().ResetRunGrants();
  h.SetCallerOrigin(std::string("https://ca.example"));
  EXPECT_EQ(Res(Send(h, req)), ORVA_E_INVALID_CALL);
  req["file"] = dir + "/none.txt";
  EXPECT_EQ(Res(Send(h, req)), ORVA_E_INVALID_CALL);
  SetMachineString("FileAccessRoots", dir);
  EXPECT_EQ(Res(Send(h, req)), ORVA_E_FILE_NOT_FOUND);
  req["file"] = dir + "/big.txt";
  EXPECT_EQ(Res(Send(h, req)), ORVA_OK);
  SetMachineString("FileAccessRoots", "");
  h.SetCallerOrigin(std::nullopt);
  EXPECT_EQ(Res(Send(h, req)), ORVA_OK);
}

}  // namespace
