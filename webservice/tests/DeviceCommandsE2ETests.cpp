// The device, certificate, PIN and authorisation commands end to end: the agent as a
// process with the software SKF token (libsoftskf.so) as its kit, HTTPS requests from this
// test, dialog answers from ORVADESK_UI_SCRIPT, authorisation codes made from the agent's
// requests by the test authority (testing/authority, over the openssl command line), and
// the token's insertion and removal on a python3-websockets peer and a Chromium page.
//
// The agent and its two tokens: AgentHarness.h.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "certificates/ORVACertHelper.h"
#include "certificates/X509Certificate.h"
#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVATlsIdentity.h"
#include "webservice/tests/AgentHarness.h"
#include "webservice/tests/TlsTestClient.h"

using namespace orva::testing;
using namespace orva::testing::agent;

namespace {

class DeviceCommands : public AgentFixture {
 protected:
  // The test authority: an authorisation code for a request.
  static std::string Issue(const std::string& reqCode, const std::vector<std::string>& extra,
                           const std::string& key = "authority-rsa") {
    std::vector<std::string> argv = {"/usr/bin/python3", SourceDir() + "/testing/authority/issue-auth-code.py",
                                     "--key", TestPkiKeyPath(key), "--req", reqCode};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string out;
    EXPECT_EQ(RunProgram(argv, out, 20000), 0) << out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  static std::string AuthRequest(int keyIndex, int type) {
    Json::Value r = Cmd(Req("gen_auth_req", {{"keyIndex", keyIndex}, {"type", type}}));
    EXPECT_EQ(Res(r), kOk) << Compact(r);
    EXPECT_EQ(r["respType"].asString(), "gen_auth_req_resp");
    return r["reqCode"].asString();
  }

};


}  // namespace

// "enum_dev", "enum_cert" with each filter, "get_cert", "get_cert_bysn".
TEST_F(DeviceCommands, TokensAndTheirCertificates) {
  Json::Value r = Cmd(Req("enum_dev"));
  EXPECT_EQ(Compact(r),
            "{\"devices\":[{\"label\":\"OrvaDesk Demo\",\"manufacturer\":\"OrvaDesk Soft Token\",\"sn\":\"ORVATESTA0000001\"},"
            "{\"label\":\"\",\"manufacturer\":\"OrvaDesk Soft Token\",\"sn\":\"ORVATESTB0000002\"}],"
            "\"msg\":\"执行成功\",\"res\":0,\"respType\":\"enum_dev_resp\"}");

  // One entry in full: dates are local days (the agent runs in this test's time zone).
  r = Cmd(Req("enum_cert", {{"keyIndex", 0}, {"alg", 2}, {"usage", 1}}));
  ASSERT_EQ(r["certs"].size(), 1u) << Compact(r);
  EXPECT_EQ(Compact(r["certs"][0]),
            "{\"alg\":2,\"dn\":\"C=CN, S=Beijing, L=Haidian, O=OrvaDesk Test, OU=Users, CN=张三, "
            "E=zhangsan@example.test\",\"end\":\"2050-01-01\",\"issuer\":\"C=CN, O=OrvaDesk Test, OU=Test CA, "
            "CN=OrvaDesk Test SM2 CA\",\"keyindex\":0,\"sn\":\"1001\",\"start\":\"2024-01-01\",\"usage\":1}");

  struct Row {
    int keyIndex, alg, usage;
    const char* sns;  // "sn@keyindex" of each certificate listed, in order; "" for null
  } rows[] = {
      {-1, 0, 0, "1001@0 1002@0 3001@1 1006@1 008F3A0001@1"},
      {-1, 2, 1, "1001@0 1006@1 008F3A0001@1"},  // SM2 signature certificates of all tokens
      {-1, 1, 0, "3001@1"},
      {-1, 0, 2, "1002@0"},
      {0, 0, 0, "1001@0 1002@0"},
      {1, 2, 2, ""},
      {2, 0, 0, ""},  // past the last token: nothing, and no failure
      {-2, 0, 0, ""},
  };
  for (const auto& row : rows) {
    r = Cmd(Req("enum_cert", {{"keyIndex", row.keyIndex}, {"alg", row.alg}, {"usage", row.usage}}));
    SCOPED_TRACE(Compact(r));
    EXPECT_EQ(Res(r), kOk);
    std::string got;
    for (const auto& c : r["certs"]) got += (got.empty() ? "" : " ") + c["sn"].asString() + "@" + c["keyindex"].asString();
    EXPECT_EQ(got, row.sns);
    if (*row.sns == '\0') {
      EXPECT_TRUE(r.isMember("certs") && r["certs"].isNull());
    }
  }

  struct CertRow {
    Json::Value req;
    uint32_t res;
    const char* cert;  // expected certificate, "" for none
  } certRows[] = {
      {Req("get_cert", {{"keyIndex", 0}, {"alg", 2}, {"usage", 1}}), kOk, "sm2-sign"},
      {Req("get_cert", {{"keyIndex", 0}, {"alg", 0}, {"usage", 2}}), kOk, "sm2-exch"},
      {Req("get_cert", {{"keyIndex", 1}, {"alg", 1}, {"usage", 0}}), kOk, "rsa-sign"},
      {Req("get_cert", {{"keyIndex", 1}, {"alg", 1}, {"usage", 2}}), 0x81000016, ""},
      {Req("get_cert", {{"keyIndex", 2}}), 0x8100000E, ""},  // index == number of tokens
      {Req("get_cert", {{"keyIndex", -1}}), 0x8100000E, ""},
      {Req("get_cert", {{"keyIndex", "0"}}), 0x81000004, ""},  // wrong type
      {Req("get_cert_bysn", {{"keyIndex", -1}, {"cert_sn", "3001"}}), kOk, "rsa-sign"},
      {Req("get_cert_bysn", {{"keyIndex", 0}, {"cert_sn", "1002"}}), kOk, "sm2-exch"},
      {Req("get_cert_bysn", {{"keyIndex", 1}, {"cert_sn", "008F3A0001"}}), kOk, "sm2-names"},
      {Req("get_cert_bysn", {{"keyIndex", -1}, {"cert_sn", "008f3a0001"}}), 0x81000016, ""},
      {Req("get_cert_bysn", {{"keyIndex", 0}, {"cert_sn", "3001"}}), 0x81000016, ""},
      {Req("get_cert_bysn", {{"keyIndex", 5}, {"cert_sn", "1001"}}), 0x81000016, ""},
      {Req("get_cert_bysn", {{"keyIndex", -1}, {"cert_sn", ""}}), 0x81000004, ""},
  };
  for (const auto& row : certRows) {
    r = Cmd(row.req);
    SCOPED_TRACE(Compact(row.req) + " -> " + Compact(r));
    EXPECT_EQ(Res(r), row.res);
    EXPECT_EQ(r["respType"].asString(), row.req["msgType"].asString() + "_resp");
    if (*row.cert) {
      EXPECT_EQ(r["cert"].asString(), CertB64(row.cert));
    } else {
      EXPECT_FALSE(r.isMember("cert"));
    }
  }

  // With no token present.
  std::string out;
  ASSERT_EQ(SoftSkfCtl({"unplug", "TokenA,TokenB"}, out), 0) << out;
  EXPECT_TRUE(WaitFor([] { return Cmd(Req("enum_dev"))["devices"].isNull(); }));
  EXPECT_EQ(Compact(Cmd(Req("enum_dev"))), "{\"devices\":null,\"msg\":\"执行成功\",\"res\":0,\"respType\":\"enum_dev_resp\"}");
  EXPECT_EQ(Compact(Cmd(Req("enum_cert", {{"keyIndex", -1}}))),
            "{\"certs\":null,\"msg\":\"执行成功\",\"res\":0,\"respType\":\"enum_cert_resp\"}");
  EXPECT_EQ(Res(Cmd(Req("get_cert", {{"keyIndex", 0}}))), 0x8100000Eu);
}

// "decode_cert", every attribute of "get_cert_attr", "get_cert_ext", "release_cert" twice,
// "verify_cert" and "show_cert".
TEST_F(DeviceCommands, CertificatesThePageSupplies) {
  Json::Value r = Cmd(Req("decode_cert", {{"cert", CertB64("sm2-names")}}));
  ASSERT_EQ(Res(r), kOk) << Compact(r);
  const int obj = r["obj"].asInt();
  EXPECT_NE(obj, 0);

  // The values the certificate helper gives for the same certificate in this process (the
  // user's store is shared with the agent, so "cert_registed" agrees too: the agent put
  // the certificates of its tokens there).
  CX509Certificate local;
  std::vector<uint8_t> der = TestPkiCertDer("sm2-names");
  ASSERT_EQ(local.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), 0u);
  struct Attr {
    const char* name;
    const char* param;
  } attrs[] = {{"cert_sn", ""},         {"cert_type", ""},         {"cert_keyalg", ""},  {"cert_digestalg", ""},
               {"cert_usage", ""},      {"cert_subject", ""},      {"cert_subject", "CN"}, {"cert_issuer", ""},
               {"cert_issuer", "O"},    {"cert_registed", ""},     {"cert_validdate", ""}, {"cert_keyid", ""},
               {"cert_idcard", ""},     {"cert_iccode", ""},       {"cert_orgcode", ""}, {"cert_sscode", ""},
               {"cert_usccode", ""}};
  for (const auto& a : attrs) {
    r = Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", a.name}, {"param", a.param}}));
    SCOPED_TRACE(std::string(a.name) + " " + a.param + " -> " + Compact(r));
    std::string want;
    ASSERT_EQ(CORVACertHelper::GetCertAttribute(a.name, a.param, &local, want), 0u);
    EXPECT_EQ(Res(r), kOk);
    EXPECT_EQ(r["value"].asString(), want);
  }
  // Spot checks that the comparison above is not empty-against-empty.
  EXPECT_EQ(Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", "cert_sn"}}))["value"].asString(), "008F3A0001");
  EXPECT_EQ(Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", "cert_registed"}}))["value"].asString(), "1");
  EXPECT_EQ(Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", "cert_subject"}, {"param", "CN"}}))["value"].asString(),
            "张三 Names");
  EXPECT_EQ(Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", "cert_idcard"}}))["value"].asString(),
            "110101199001011234");
  r = Cmd(Req("get_cert_attr", {{"obj", obj}, {"name", "cert_colour"}}));
  EXPECT_EQ(Res(r), 0x81000004u) << Compact(r);

  struct Ext {
    const char* oid;
    uint32_t res;
  } exts[] = {{"2.5.29.14", kOk}, {"2.5.29.15", kOk}, {"2.5.29.35", kOk}, {"1.2.156.10260.4.1.1", 0x80092004}};
  for (const auto& e : exts) {
    r = Cmd(Req("get_cert_ext", {{"obj", obj}, {"name", e.oid}}));
    SCOPED_TRACE(std::string(e.oid) + " -> " + Compact(r));
    EXPECT_EQ(Res(r), e.res);
    if (e.res == kOk) {
      std::string want;
      ASSERT_EQ(CORVACertHelper::GetCertExtension(e.oid, &local, want), 0u);
      EXPECT_EQ(r["value"].asString(), want);
      EXPECT_FALSE(want.empty());
    }
  }

  // A second object gets a handle of its own; the first survives its release.
  r = Cmd(Req("decode_cert", {{"cert", CertB64("rsa-sign")}}));
  ASSERT_EQ(Res(r), kOk);
  const int obj2 = r["obj"].asInt();
  EXPECT_NE(obj2, obj);
  for (int i = 0; i < 2; ++i) {
    r = Cmd(Req("release_cert", {{"obj", obj}}));
    EXPECT_EQ(Compact(r), "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"release_cert_resp\"}");
  }
  for (const char* type : {"get_cert_attr", "get_cert_ext"}) {
    r = Cmd(Req(type, {{"obj", obj}, {"name", "cert_sn"}}));
    EXPECT_EQ(Res(r), 0x81000004u) << Compact(r);
  }
  EXPECT_EQ(Cmd(Req("get_cert_attr", {{"obj", obj2}, {"name", "cert_sn"}}))["value"].asString(), "3001");
  EXPECT_EQ(Res(Cmd(Req("release_cert", {{"obj", obj2}}))), kOk);
  EXPECT_EQ(Res(Cmd(Req("release_cert", {{"obj", 0x7FFFFFFF}}))), kOk);

  struct Bad {
    Json::Value req;
    uint32_t res;
  } bad[] = {
      {Req("decode_cert", {{"cert", ""}}), 0x8100000E},
      {Req("decode_cert"), 0x8100000E},
      {Req("decode_cert", {{"cert", "aGVsbG8gd29ybGQ="}}), 0x8009310B},  // Base64, not a certificate
      {Req("decode_cert", {{"cert", "!!!"}}), 0x81000010},
      {Req("decode_cert", {{"cert", Json::Value(Json::arrayValue)}}), 0x81000004},
      {Req("verify_cert", {{"cert", ""}, {"flags", 1}}), 0x8100000E},
      {Req("show_cert", {{"cert", ""}}), 0x8100000E},
      {Req("get_cert_attr", {{"obj", "x"}, {"name", "cert_sn"}}), 0x81000004},
  };
  for (const auto& b : bad) {
    r = Cmd(b.req);
    EXPECT_EQ(Res(r), b.res) << Compact(b.req).substr(0, 80) << " -> " << Compact(r);
  }

  // Validity period checks.
  struct Valid {
    const char* cert;
    uint32_t status;
  } valid[] = {{"sm2-sign", 0}, {"rsa-sign", 0}, {"sm2-expired", 2}, {"sm2-notyet", 1}};
  for (const auto& v : valid) {
    r = Cmd(Req("verify_cert", {{"cert", CertB64(v.cert)}, {"flags", 1}}));
    EXPECT_EQ(Res(r), kOk) << v.cert << " " << Compact(r);
    EXPECT_EQ(r["status"].asUInt(), v.status) << v.cert;
  }

  // The certificate view, shown through the user interface (headless: recorded).
  size_t mark = Mark();
  r = Cmd(Req("show_cert", {{"cert", CertB64("sm2-sign")}, {"parentWnd", 0}}));
  EXPECT_EQ(Compact(r), "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"show_cert_resp\"}");
  EXPECT_EQ(Asked(mark), "cert=shown");
}

// Logins through the PIN dialog, with the page's own PINs, and the weak-PIN question.
TEST_F(DeviceCommands, PinVerification) {
  auto verify = [](int keyIndex, const std::string& pin = "", const std::string& origin = kOrigin) {
    Json::Value req = Req("verify_pin", {{"keyIndex", keyIndex}});
    if (!pin.empty()) req["pin"] = pin;
    return Cmd(req, origin);
  };
  // The page's PIN: no dialog.
  size_t mark = Mark();
  Json::Value r = verify(0, "demo1234");
  EXPECT_EQ(Compact(r), "{\"leftTimes\":0,\"msg\":\"执行成功\",\"res\":0,\"respType\":\"verify_pin_resp\"}");
  r = verify(0, "wrong1234");
  EXPECT_EQ(Compact(r), "{\"msg\":\"PIN码不正确\",\"res\":-2130706353,\"respType\":\"verify_pin_resp\"}");
  EXPECT_EQ(Asked(mark), "");

  struct Flow {
    const char* what;
    std::vector<std::string> answers;
    uint32_t res;
    const char* asked;
  } flows[] = {
      {"correct PIN", {R"({"dialog":"pin","button":"ok","pin":"demo1234"})"}, kOk, "pin=ok"},
      {"cancel", {R"({"dialog":"pin","button":"cancel"})"}, 0x81000007, "pin=cancel"},
      {"wrong, retry, correct",
       {R"({"dialog":"pin","button":"ok","pin":"nope1234"})", R"({"dialog":"message","id":150,"button":"retry"})",
        R"({"dialog":"pin","button":"ok","pin":"demo1234"})"},
       kOk, "pin=ok message:150=retry pin=ok"},
      {"wrong, cancel",
       {R"({"dialog":"pin","button":"ok","pin":"nope1234"})", R"({"dialog":"message","id":150,"button":"cancel"})"},
       0x8100004F, "pin=ok message:150=cancel"},
  };
  for (const auto& f : flows) {
    SCOPED_TRACE(f.what);
    mark = Mark();
    Answer(f.answers);
    r = verify(0);
    EXPECT_EQ(Res(r), f.res) << Compact(r);
    EXPECT_EQ(r.isMember("leftTimes"), f.res == kOk);
    EXPECT_EQ(Asked(mark), f.asked);
    for (const auto& rec : UiRecords(mark))
      if (rec["dialog"] == "pin") {
        EXPECT_EQ(rec["origin"].asString(), kOrigin);  // the dialog names the page
      }
  }
  // The message of a wrong PIN tells the remaining tries (one wrong try above, then the
  // right one reset the count; the last flow left 9).
  std::vector<Json::Value> recs = UiRecords(mark);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1]["text"].asString(), "证书PIN码验证失败！PIN码错误，剩余次数：9 次!");
  EXPECT_EQ(recs[1]["type"].asUInt(), 0x15u);  // Retry/Cancel, error icon
  EXPECT_EQ(recs[1]["captionId"].asUInt(), 119u);
  // A local program's dialog names no origin.
  mark = Mark();
  Answer({R"({"dialog":"pin","button":"ok","pin":"demo1234"})"});
  EXPECT_EQ(Res(verify(0, "", "")), kOk);
  recs = UiRecords(mark);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_FALSE(recs[0].isMember("origin"));

  // Token 1's PIN is right but weak: the question [172]. Cancelled: 0x81000007.
  mark = Mark();
  Answer({R"({"dialog":"message","id":172,"button":"cancel"})"});
  r = verify(1, "abcdef");
  EXPECT_EQ(Res(r), 0x81000007u) << Compact(r);
  EXPECT_EQ(Asked(mark), "message:172=cancel");
  EXPECT_EQ(UiRecords(mark)[0]["captionId"].asUInt(), 114u);
  // Accepted: the PIN change dialog; a wrong old PIN there is told and may be retried.
  mark = Mark();
  Answer({R"({"dialog":"message","id":172,"button":"ok"})",
          R"({"dialog":"pin_change","button":"ok","old":"xyzxyz","new":"abcd1234"})",
          R"({"dialog":"message","id":150,"button":"retry"})",
          R"({"dialog":"pin_change","button":"ok","old":"abcdef","new":"abcd1234"})"});
  r = verify(1, "abcdef");
  EXPECT_EQ(Res(r), kOk) << Compact(r);
  EXPECT_EQ(Asked(mark), "message:172=ok pin_change=ok message:150=retry pin_change=ok");
  // The new PIN is in force and within the rule: no question any more.
  mark = Mark();
  EXPECT_EQ(Res(verify(1, "abcd1234")), kOk);
  EXPECT_EQ(Res(verify(1, "abcdef")), 0x8100004Fu);
  EXPECT_EQ(Asked(mark), "");

  // Locking: two wrong tries left one; the dialog's wrong PIN locks the PIN: [152].
  EXPECT_EQ(Res(verify(1, "wrong1")), 0x8100004Fu);
  mark = Mark();
  Answer({R"({"dialog":"pin","button":"ok","pin":"wrong2"})"});
  r = verify(1);
  EXPECT_EQ(Res(r), 0x81000050u) << Compact(r);
  EXPECT_EQ(Asked(mark), "pin=ok message:152=ok");
  EXPECT_EQ(Res(verify(1, "abcd1234")), 0x81000050u);

  // Parameters: a missing token, a PIN that is not text.
  EXPECT_EQ(Res(verify(2, "demo1234")), 0x81000004u);
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", Json::Value(Json::objectValue)}}))), 0x81000004u);
}

// "change_pin" with the page's PINs and through the dialog; new PINs keep to the PIN rule
// before the token sees them.
TEST_F(DeviceCommands, PinChange) {
  auto change = [](Json::Value req) {
    req["msgType"] = "change_pin";
    req["keyIndex"] = 0;
    return Cmd(req, kOrigin);
  };
  struct Row {
    const char* what;
    Json::Value req;
    uint32_t res;
  } rows[] = {
      {"only the new PIN", Req("", {{"newPIN", "demo5678"}}), 0x81000004},
      {"only the old PIN", Req("", {{"oldPIN", "demo1234"}}), 0x81000004},
      {"administrator PIN", Req("", {{"pinType", 0}, {"oldPIN", "admin1234"}, {"newPIN", "admin5678"}}), 0x81000004},
      {"letters only", Req("", {{"oldPIN", "demo1234"}, {"newPIN", "abcdefgh"}}), 0x8100000E},
      {"too short", Req("", {{"oldPIN", "demo1234"}, {"newPIN", "ab12"}}), 0x81000052},
      {"17 characters", Req("", {{"oldPIN", "demo1234"}, {"newPIN", "abcdefgh123456789"}}), 0x81000052},
      // A blank is outside the rule: such a PIN could never log in through a page again.
      {"a blank", Req("", {{"oldPIN", "demo1234"}, {"newPIN", "demo 1234"}}), 0x81000051},
      {"a question mark", Req("", {{"oldPIN", "demo1234"}, {"newPIN", "demo?1234"}}), 0x81000051},
      {"wrong old PIN", Req("", {{"oldPIN", "demo9999"}, {"newPIN", "demo5678"}}), 0x8100004F},
  };
  size_t mark = Mark();
  for (const auto& row : rows) {
    Json::Value r = change(row.req);
    EXPECT_EQ(Res(r), row.res) << row.what << " " << Compact(r);
    EXPECT_FALSE(r.isMember("leftTimes")) << row.what;
  }
  EXPECT_EQ(Asked(mark), "");
  // The refused changes left the PIN alone (the wrong old PIN cost one try).
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "demo1234"}}))), kOk);

  Json::Value r = change(Req("", {{"pinType", "1"}, {"oldPIN", "demo1234"}, {"newPIN", "demo5678"}}));
  EXPECT_EQ(Res(r), kOk) << Compact(r);  // "pinType" that is not an integer means the user PIN
  EXPECT_TRUE(r.isMember("leftTimes"));
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "demo5678"}}))), kOk);

  // Through the dialog: cancelled, then done.
  mark = Mark();
  Answer({R"({"dialog":"pin_change","button":"cancel"})",
          R"({"dialog":"pin_change","button":"ok","old":"demo5678","new":"demo_9012"})"});
  EXPECT_EQ(Res(change(Req(""))), 0x81000007u);
  EXPECT_EQ(Res(change(Req(""))), kOk);
  EXPECT_EQ(Asked(mark), "pin_change=cancel pin_change=ok");
  EXPECT_EQ(UiRecords(mark)[0]["origin"].asString(), kOrigin);
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "demo_9012"}}))), kOk);
}

// "gen_auth_req" answered by the test authority; "unlock_device" and "initiliaze_device"
// with its codes; codes used twice, for another token or of the wrong type fail.
TEST_F(DeviceCommands, AuthorisationCodes) {
  // The request carries the type and the token's serial number (read back by the
  // authority with the openssl command line).
  std::string req = AuthRequest(0, 2);
  EXPECT_EQ(Issue(req, {"--show"}), std::string("type=2 sn=") + kSnA);
  struct Bad {
    Json::Value req;
    uint32_t res;
  } badReqs[] = {
      {Req("gen_auth_req", {{"keyIndex", 0}, {"type", 3}}), 0x81000004},
      {Req("gen_auth_req", {{"keyIndex", 0}, {"type", 0}}), 0x81000004},
      {Req("gen_auth_req", {{"keyIndex", 7}, {"type", 2}}), 0x81000004},
      {Req("gen_auth_req", {{"keyIndex", 0}, {"type", "2"}}), 0x81000004},
  };
  for (const auto& b : badReqs) EXPECT_EQ(Res(Cmd(b.req)), b.res) << Compact(b.req);

  // Lock token 0's user PIN with ten wrong tries.
  for (int i = 0; i < 10; ++i) Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "wrong123"}}));
  ASSERT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "demo1234"}}))), 0x81000050u);

  auto unlock = [](const std::string& code, const std::string& pin) {
    Json::Value r = Req("unlock_device", {{"keyIndex", 0}, {"authCode", code}});
    if (!pin.empty()) r["pin"] = pin;
    return Cmd(r, kOrigin);
  };
  // Refused codes; each parse uses the request up, so every row asks anew.
  struct Refused {
    const char* what;
    std::vector<std::string> issue;
    bool bNewRequest;
    uint32_t res;
  } refused[] = {
      {"type 4", {"--type", "4", "--admin-pin", "admin1234"}, true, 0x8100000E},
      {"another token's serial number", {"--sn", kSnB, "--admin-pin", "admin1234"}, true, 0x8100000E},
      {"wrong administrator PIN", {"--admin-pin", "admin0000"}, true, 0x8100004F},
      {"no request pending", {"--admin-pin", "admin1234"}, false, 0x8100000B},
  };
  for (const auto& f : refused) {
    std::string code = Issue(f.bNewRequest ? AuthRequest(0, 2) : req, f.issue);
    Json::Value r = unlock(code, "unlock123");
    EXPECT_EQ(Res(r), f.res) << f.what << " " << Compact(r);
  }
  // A code made from token 1's request does not open token 0 (token 0's key is another).
  AuthRequest(0, 2);
  std::string other = Issue(AuthRequest(1, 2), {"--sn", kSnA, "--admin-pin", "admin1234"});
  EXPECT_NE(Res(unlock(other, "unlock123")), kOk);
  EXPECT_EQ(Res(unlock("", "unlock123")), 0x81000004u);

  // A new user PIN from the page must keep to the rule.
  EXPECT_EQ(Res(unlock(Issue(AuthRequest(0, 2), {"--admin-pin", "admin1234"}), "bad pin1")), 0x81000051u);

  // The right code: unlocked with the page's PIN; the same code a second time fails.
  std::string code = Issue(AuthRequest(0, 2), {"--admin-pin", "admin1234"});
  EXPECT_EQ(Res(unlock(code, "unlock123")), kOk);
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "unlock123"}}))), kOk);
  EXPECT_NE(Res(unlock(code, "unlock456")), kOk);
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "unlock123"}}))), kOk);
  // Unlocked with the dialog's PIN.
  size_t mark = Mark();
  Answer({R"({"dialog":"unlock","button":"ok","pin":"unlock789"})"});
  EXPECT_EQ(Res(unlock(Issue(AuthRequest(0, 2), {"--admin-pin", "admin1234"}), "")), kOk);
  EXPECT_EQ(Asked(mark), "unlock=ok");
  EXPECT_EQ(UiRecords(mark)[0]["origin"].asString(), kOrigin);
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 0}, {"pin", "unlock789"}}))), kOk);

  // Initialisation of token 1 (no label: it becomes "UKey"), with codes of type 1.
  auto init = [](const std::string& code, const std::string& pin) {
    Json::Value r = Req("initiliaze_device", {{"keyIndex", 1}, {"authCode", code}});
    if (!pin.empty()) r["pin"] = pin;
    return Cmd(r, kOrigin);
  };
  const std::vector<std::string> devKey = {"--admin-pin", "admin9999", "--device-key", "1234567812345678"};
  EXPECT_EQ(Res(init(Issue(AuthRequest(1, 2), {"--admin-pin", "admin5678"}), "init1234")), 0x8100000Eu);
  EXPECT_EQ(Res(init(Issue(AuthRequest(1, 1), devKey), "init 1234")), 0x81000051u);
  EXPECT_EQ(Res(init(Issue(AuthRequest(1, 1), devKey), "init12345678901234")), 0x81000004u);
  std::vector<std::string> wrongKey = {"--admin-pin", "admin9999", "--device-key", "8765432187654321"};
  EXPECT_NE(Res(init(Issue(AuthRequest(1, 1), wrongKey), "init1234")), kOk);
  // Not erased by the refusals (the list read from the token again).
  ASSERT_EQ(Res(Cmd(Req("enum_dev", {{"refresh", 1}}))), kOk);
  EXPECT_EQ(Cmd(Req("enum_cert", {{"keyIndex", 1}}))["certs"].size(), 3u);

  Json::Value r = init(Issue(AuthRequest(1, 1), devKey), "init1234");
  EXPECT_EQ(Compact(r), "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"initiliaze_device_resp\"}");
  r = Cmd(Req("enum_dev", {{"refresh", 1}}));
  EXPECT_EQ(r["devices"][1]["label"].asString(), "UKey") << Compact(r);
  EXPECT_TRUE(Cmd(Req("enum_cert", {{"keyIndex", 1}}))["certs"].isNull());
  EXPECT_EQ(Res(Cmd(Req("verify_pin", {{"keyIndex", 1}, {"pin", "init1234"}}))), kOk);
  // The new administrator PIN came from the code: an unlock with it works.
  EXPECT_EQ(Res(Cmd(Req("unlock_device", {{"keyIndex", 1},
                                          {"authCode", Issue(AuthRequest(1, 2), {"--admin-pin", "admin9999"})},
                                          {"pin", "again1234"}}))),
            kOk);
}

// The authority's certificate is the machine-wide AuthorityCert: without it no request can
// be made; with an SM2 certificate the request is SM2-encrypted.
TEST_F(DeviceCommands, AuthorityCertificateFromTheSettings) {
  WriteSettings(false);
  Json::Value r = Cmd(Req("gen_auth_req", {{"keyIndex", 0}, {"type", 2}}));
  EXPECT_EQ(Compact(r), "{\"msg\":\"功能不支持\",\"res\":-2130706427,\"respType\":\"gen_auth_req_resp\"}");
  WriteSettings(true, "authority-sm2");
  std::string req = AuthRequest(0, 4);
  EXPECT_EQ(Issue(req, {"--show"}, "authority-sm2"), std::string("type=4 sn=") + kSnA);
  std::string code = Issue(req, {"--admin-pin", "admin1234"}, "authority-sm2");
  // A type-4 code opens nothing here, but it decrypts: the refusal is its type.
  r = Cmd(Req("unlock_device", {{"keyIndex", 0}, {"authCode", code}, {"pin", "unlock123"}}));
  EXPECT_EQ(Res(r), 0x8100000Eu) << Compact(r);
  WriteSettings(true);
}

// Eight connections at once: decoded certificates never share a handle, logins on one
// token take turns, nothing hangs.
TEST_F(DeviceCommands, EightConnectionsAtOnce) {
  constexpr int kThreads = 8, kRounds = 12;
  std::mutex lock;
  std::set<int> handles;
  std::atomic<int> failures{0}, timeouts{0};
  std::vector<std::thread> threads;
  const std::vector<std::string> certs = {"sm2-sign", "sm2-exch", "rsa-sign", "sm2-names"};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Connection c(s_port, s_caPem);
      for (int i = 0; i < kRounds; ++i) {
        const std::string& name = certs[static_cast<size_t>(t + i) % certs.size()];
        Json::Value r = c.Post(Req("decode_cert", {{"cert", CertB64(name)}}));
        if (r.isNull()) {
          ++timeouts;
          continue;
        }
        int h = r["obj"].asInt();
        {
          std::lock_guard<std::mutex> g(lock);
          if (Res(r) != kOk || !handles.insert(h).second) ++failures;
        }
        r = c.Post(Req("get_cert_attr", {{"obj", h}, {"name", "cert_sn"}}));
        std::string want;
        CX509Certificate local;
        std::vector<uint8_t> der = TestPkiCertDer(name);
        local.FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
        local.get_SN(want);
        if (r.isNull()) ++timeouts;
        else if (r["value"].asString() != want) ++failures;
        Json::Value v = c.Post(Req("verify_pin", {{"keyIndex", 0}, {"pin", "demo1234"}}), kOrigin);
        if (v.isNull()) ++timeouts;
        else if (Res(v) != kOk) ++failures;
        Json::Value e = c.Post(Req("enum_cert", {{"keyIndex", -1}}));
        if (e.isNull()) ++timeouts;
        else if (e["certs"].size() != 5) ++failures;
        if (c.Post(Req("release_cert", {{"obj", h}})).isNull()) ++timeouts;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(handles.size(), static_cast<size_t>(kThreads * kRounds));
}

// Pulling the token out and plugging it in again reaches a python3-websockets peer and a
// Chromium page as "device_event_resp" frames.
TEST_F(DeviceCommands, TokenEventsReachWebSockets) {
  const std::string dir = MakeTempDir("events");
  // The page, served from the allowed loopback origin; it reports through requests that
  // the page server logs.
  WriteFile(dir + "/events.html", "<!doctype html><meta charset=\"utf-8\"><script>\n"
                                  "const report = (k, v) => fetch('/report?' + k + '=' + encodeURIComponent(v));\n"
                                  "const ws = new WebSocket('wss://orvadesk.localhost:" +
                                      std::to_string(s_port) +
                                      "/');\n"
                                      "ws.onopen = () => report('open', '1');\n"
                                      "ws.onmessage = (e) => report('event', e.data);\n"
                                      "ws.onclose = (e) => report('close', e.code);\n"
                                      "</script>\n");
  ChildProcess pages;
  ASSERT_TRUE(pages.Start({"/usr/bin/python3", "-m", "http.server", std::to_string(s_pagePort), "--bind",
                           "127.0.0.1", "--directory", dir},
                          {}, dir + "/pages.log"));
  ASSERT_TRUE(WaitForPort(s_pagePort, 10000));
  auto pageReports = [&](const std::string& key) {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(dir + "/pages.log"));
    std::string line, needle = "GET /report?" + key + "=";
    while (std::getline(in, line)) {
      size_t at = line.find(needle);
      if (at == std::string::npos) continue;
      size_t end = line.find(' ', at + 4);
      out.push_back(OrvaUrlDecode(line.substr(at + needle.size(), end - at - needle.size())));
    }
    return out;
  };

  ORVA_SERVICE_IDENTITY id;
  ASSERT_EQ(CORVATlsIdentity::Load(id), 0u);
  std::string report;
  ASSERT_EQ(CORVATlsIdentity::TrustInBrowsers(id, report), 0u) << report;
  ChildProcess browser;
  ASSERT_TRUE(browser.Start(
      {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + dir + "/profile",
       "--host-resolver-rules=MAP orvadesk.localhost 127.0.0.1,MAP * ~NOTFOUND,EXCLUDE 127.0.0.1",
       "http://127.0.0.1:" + std::to_string(s_pagePort) + "/events.html"},
      {}, dir + "/chromium.log"));
  ChildProcess py;
  ASSERT_TRUE(py.Start({"/usr/bin/python3", SourceDir() + "/webservice/tests/peers/ws_events.py",
                        std::to_string(s_port), s_dir + "/ca.pem", "2"},
                       {}, dir + "/py.out"));
  // Start-up of the peers is not what is measured: generous.
  ASSERT_TRUE(WaitFor([&] { return ReadFile(dir + "/py.out").find("READY\n") != std::string::npos; }, 15000))
      << ReadFile(dir + "/py.out");
  ASSERT_TRUE(WaitFor([&] { return !pageReports("open").empty(); }, 30000)) << ReadFile(dir + "/pages.log");

  const std::string removed =
      "{\"eventType\":2,\"keyIndex\":0,\"keyName\":\"OrvaDesk Demo\",\"respType\":\"device_event_resp\"}";
  const std::string inserted =
      "{\"eventType\":1,\"keyIndex\":1,\"keyName\":\"OrvaDesk Demo\",\"respType\":\"device_event_resp\"}";
  std::string out;
  ASSERT_EQ(SoftSkfCtl({"unplug", "TokenA"}, out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return pageReports("event").size() >= 1; })) << ReadFile(dir + "/pages.log");
  EXPECT_TRUE(WaitFor([&] { return ReadFile(dir + "/py.out").find(removed) != std::string::npos; }));
  // The remaining token moved to index 0; the one plugged in again comes after it.
  EXPECT_EQ(Cmd(Req("enum_dev"))["devices"].size(), 1u);
  ASSERT_EQ(SoftSkfCtl({"plug", "TokenA"}, out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return pageReports("event").size() >= 2; })) << ReadFile(dir + "/pages.log");
  int code = -1;
  EXPECT_TRUE(py.Wait(5000, &code));
  EXPECT_EQ(code, 0) << ReadFile(dir + "/py.out");
  browser.KillGroup();
  pages.KillGroup();

  std::vector<std::string> events = pageReports("event");
  ASSERT_EQ(events.size(), 2u) << ReadFile(dir + "/pages.log");
  EXPECT_EQ(events[0], removed + "\n");
  EXPECT_EQ(events[1], inserted + "\n");
  std::string py_out = ReadFile(dir + "/py.out");
  size_t at1 = py_out.find(removed), at2 = py_out.find(inserted);
  EXPECT_NE(at1, std::string::npos) << py_out;
  EXPECT_NE(at2, std::string::npos) << py_out;
  EXPECT_LT(at1, at2);
  EXPECT_NE(py_out.find("CLOSED 1000"), std::string::npos) << py_out;
  Json::Value r = Cmd(Req("enum_dev"));
  ASSERT_EQ(r["devices"].size(), 2u);
  EXPECT_EQ(r["devices"][1]["sn"].asString(), kSnA);
}
