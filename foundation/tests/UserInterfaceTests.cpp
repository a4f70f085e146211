#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdlib>
#include <sys/stat.h>
#include <thread>

#include "foundation/ORVAResource.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"

namespace {

std::string EnglishFile() {
  return orva::testing::SourceDir() + "/app/resources/" + kOrvaEnglishResourceFile;
}

void MachineSettings(const std::string& json) {
  orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine), json);
}

class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = orva::testing::MakeTempDir("res");
    setenv("ORVADESK_MACHINE_DIR", (root + "/machine").c_str(), 1);
    m_folder = root + "/client";
    orva::platform::MakeDirs(m_folder);
  }
  void TearDown() override { CORVAResource::Instance().ReleaseResourceModule(); }
  std::string m_folder;
};

}  // namespace

TEST(PinRule, Table) {
  struct Row {
    const char* pin;
    uint32_t res;
    uint32_t msg;
  } rows[] = {
      {"", ORVA_E_INVALID_PARAM, IDS_PIN_EMPTY},
      {"abcdefgh", ORVA_E_BAD_INPUT, IDS_PIN_WEAK},        // eight letters
      {"12345678", ORVA_E_BAD_INPUT, IDS_PIN_WEAK},        // eight digits
      {"!@#$%^&*", ORVA_E_BAD_INPUT, IDS_PIN_WEAK},        // listed characters only
      {"abcd1234", ORVA_OK, 0},                            // letters and digits
      {"abcd!@#$", ORVA_OK, 0},                            // letters and punctuation
      {"1234.,/;", ORVA_OK, 0},                            // digits and punctuation
      {"~`!@#%$^&*()_-=+|{}[]:;<>,./", ORVA_E_PIN_LEN, IDS_PIN_LENGTH},  // all 28 pass the set
      {"ab12c", ORVA_E_PIN_LEN, IDS_PIN_LENGTH},           // five characters
      {"abcd1234abcd1234", ORVA_OK, 0},                    // sixteen
      {"abcd1234abcd12345", ORVA_E_PIN_LEN, IDS_PIN_LENGTH},  // seventeen
      {"abcd 1234", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR}, // blank
      {"abcd?1234", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR}, // question mark
      {"abc\"1234", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR}, // quote, not in the list
      {"abc'1234", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR},
      {"abc\\1234", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR},
      {"pässwort1", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR}, // non-ASCII letter
      {"ab?", ORVA_E_PIN_INVALID, IDS_PIN_BAD_CHAR},       // character check before length
      {"abc", ORVA_E_PIN_LEN, IDS_PIN_LENGTH},             // length before classes
  };
  for (const auto& r : rows) {
    EXPECT_EQ(CheckPinRule(r.pin), r.res) << r.pin;
    EXPECT_EQ(PinRuleMessageId(CheckPinRule(r.pin)), r.msg) << r.pin;
  }
  EXPECT_EQ(CheckPinRule(nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(PinRuleMessageId(ORVA_E_FAIL), IDS_PIN_RULE_FAILED);
}

TEST(PinRule, DialogInputChecksInOrder) {
  std::string empty, old = "old12345";
  struct Row {
    const std::string* oldPin;
    const char* newPin;
    const char* confirm;
    uint32_t msg;
  } rows[] = {
      {&empty, "abcd1234", "abcd1234", IDS_PIN_EMPTY},  // empty old PIN first
      {&old, "", "", IDS_PIN_EMPTY},
      {&old, "abcdefgh", "abcdefgh", IDS_PIN_WEAK},
      {&old, "abcd 1234", "abcd 1234", IDS_PIN_BAD_CHAR},
      {&old, "ab1", "xx", IDS_PIN_LENGTH},              // the rule comes before the confirmation
      {&old, "abcd1234", "abcd1235", IDS_PIN_MISMATCH},
      {&old, "abcd1234", "abcd1234", 0},
      {nullptr, "abcd1234", "abcd1234", 0},             // set/unlock: no old PIN
      {nullptr, "abcd1234", "", IDS_PIN_MISMATCH},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CheckNewPinInput(r.oldPin, r.newPin, r.confirm), r.msg) << r.newPin << "/" << r.confirm;
}

TEST(ResourceText, FormatsTypedArgumentsAndNeverTrustsTheFormat) {
  struct Row {
    const char* fmt;
    std::vector<OrvaTextArg> args;
    const char* out;
  } rows[] = {
      {"剩余次数：%d 次!", {5}, "剩余次数：5 次!"},
      {"0x%08X", {0x81000050u}, "0x81000050"},
      {"0x%x", {0x2Au}, "0x2a"},
      {"介质 %s 已接入！", {"OrvaDesk Demo"}, "介质 OrvaDesk Demo 已接入！"},
      {"%d%%", {50}, "50%"},
      {"[%5d][%-4s][%05d]", {42, "ab", -7}, "[   42][ab  ][-0007]"},
      {"%s and %s", {"one"}, "one and "},         // missing argument
      {"%d", {"text"}, "text"},                   // text meets a number conversion
      {"%s", {7}, "7"},
      {"%n%p%f", {1, 2}, "%n%p%f"},               // never interpreted
      {"%ld %lu", {-1, 3u}, "-1 3"},
      {"trailing %", {}, "trailing %"},
      {"%99999999999999d", {1}, nullptr},         // absurd width: bounded, no crash
  };
  for (const auto& r : rows) {
    std::string got = FormatResourceText(r.fmt, r.args);
    if (r.out) EXPECT_EQ(got, r.out) << r.fmt;
    else EXPECT_LT(got.size(), 200u) << r.fmt;
  }
}

TEST_F(ResourceTest, LanguageAndFolderChooseTheModule) {
  CORVAResource& res = CORVAResource::Instance();
  std::string english = orva::testing::ReadFile(EnglishFile());
  ASSERT_FALSE(english.empty());
  orva::testing::WriteFile(m_folder + "/" + kOrvaEnglishResourceFile, english);

  struct Row {
    const char* settings;
    bool english;
  } rows[] = {
      {"{}", false},  // LanguageID absent: 2052
      {R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LanguageID": 2052, "ClientAppPath": "@"}})", false},
      {R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LanguageID": 1033, "ClientAppPath": "@"}})", true},
      {R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LanguageID": 1033, "ClientAppPath": "@/none"}})", false},
      {R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LanguageID": "1033", "ClientAppPath": "@"}})", false},
      // ClientAppPath absent: the executable's folder, which has no English file.
      {R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LanguageID": 1033}})", false},
  };
  for (const auto& r : rows) {
    std::string s = r.settings;
    for (size_t at; (at = s.find('@')) != std::string::npos;) s.replace(at, 1, m_folder);
    MachineSettings(s);
    EXPECT_EQ(res.SelectResourceModule(), r.english) << s;
    EXPECT_EQ(res.IsEnglish(), r.english);
    EXPECT_EQ(res.LoadString(IDS_CAPTION_ERROR), r.english ? "Error" : "错误") << s;
    EXPECT_EQ(res.DialogText(IDD_PIN_INPUT, "1002"), r.english ? "UKey PIN:" : "UKey PIN码：");
    EXPECT_EQ(res.MenuText(IDR_TRAY_MENU, "40003"), r.english ? "Exit" : "退      出");
    // The seven labels exist only with the English file.
    const char* labels[] = {"Yes", "No", "OK", "Cancel", "Close", "Retry", "Continue"};
    for (int i = 0; i < 7; ++i)
      EXPECT_EQ(res.ButtonLabel(static_cast<OrvaButtonLabel>(i)), r.english ? labels[i] : "");
    EXPECT_EQ(res.LoadString(IDS_BTN_YES), r.english ? "Yes" : "");
  }
}

TEST_F(ResourceTest, BrokenOrPartialFilesFallBack) {
  CORVAResource& res = CORVAResource::Instance();
  std::string path = m_folder + "/part.json";
  // Not JSON, not an object, hostile members: the built-in texts stay.
  for (const char* bad : {"{", "[1,2]", "", "\xff\xfe"}) {
    orva::testing::WriteFile(path, bad);
    EXPECT_FALSE(res.LoadEnglishFile(path)) << bad;
    EXPECT_EQ(res.LoadString(IDS_CAPTION_ERROR), "错误");
  }
  orva::testing::WriteFile(path, R"({"strings": {"119": "Error", "150": 5, "x": "y", "99999999999": "z",
      "142": "A very long label that runs well past thirty-one characters"},
      "dialogs": {"101": {"caption": "Verify", "1002": 7}, "abc": {"1": "x"}}, "menus": []})");
  ASSERT_TRUE(res.LoadEnglishFile(path));
  EXPECT_EQ(res.ModulePath(), path);
  EXPECT_EQ(res.LoadString(IDS_CAPTION_ERROR), "Error");
  EXPECT_EQ(res.LoadString(IDS_PIN_WRONG_TRIES), "证书PIN码验证失败！PIN码错误，剩余次数：%d 次!");
  EXPECT_EQ(res.DialogText(IDD_PIN_INPUT, "caption"), "Verify");
  EXPECT_EQ(res.DialogText(IDD_PIN_INPUT, "1002"), "UKey PIN码：");
  EXPECT_EQ(res.ButtonLabel(OrvaButtonLabel::Yes), "A very long label that runs wel");
  EXPECT_EQ(res.ButtonLabel(OrvaButtonLabel::No), "");  // missing: the platform's text stays
  EXPECT_EQ(res.LoadString(1), "");
  res.ReleaseResourceModule();
  EXPECT_FALSE(res.IsEnglish());
  EXPECT_EQ(res.ModulePath(), "");
}

// The shipped English file translates every built-in entry (strings, dialogs, menu) and
// uses the same conversions in its format strings.
TEST(ShippedEnglishFile, TranslatesEveryEntry) {
  Json::Value root;
  ASSERT_TRUE(ParseUiAnswer(orva::testing::ReadFile(EnglishFile()), root));
  CORVAResource& res = CORVAResource::Instance();
  res.ReleaseResourceModule();
  auto conversions = [](const std::string& s) {
    std::string c;
    for (size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i] == '%') {
        size_t j = i + 1;
        while (j < s.size() && std::strchr("-0123456789lh", s[j])) ++j;
        if (j < s.size()) c.push_back(s[j]);
        i = j;
      }
    return c;
  };
  for (const std::string& name : CORVAResource::BuiltinEntryNames()) {
    const Json::Value* v = &root;
    size_t from = 0;
    std::vector<std::string> parts;
    for (size_t at; (at = name.find('/', from)) != std::string::npos; from = at + 1)
      parts.push_back(name.substr(from, at - from));
    parts.push_back(name.substr(from));
    for (const auto& p : parts) v = &(*v)[p];
    ASSERT_TRUE(v->isString()) << name;
    EXPECT_FALSE(v->asString().empty()) << name;
    if (parts[0] == "strings") {
      uint32_t id = static_cast<uint32_t>(std::stoul(parts[1]));
      EXPECT_EQ(conversions(v->asString()), conversions(res.LoadString(id))) << name;
    }
  }
  for (int id = 142; id <= 148; ++id) EXPECT_TRUE(root["strings"][std::to_string(id)].isString());
}

TEST(ScriptedUI, PinDialogsFollowTheScriptAndCheckNewPins) {
  auto ui = std::make_shared<CORVAScriptedUI>();
  for (const char* line : {
           R"({"dialog":"pin","button":"ok","pin":"demo1234"})",
           R"({"dialog":"pin","button":"cancel"})",
           R"({"dialog":"pin","button":"ok","pin":""})",  // refused: [137], next try follows
           R"({"dialog":"pin","button":"ok","pin":"x1"})",
           R"({"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcdefgh"})",
           R"({"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcd1234","confirm":"abcd1235"})",
           R"({"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcd1234"})",
           R"({"dialog":"unlock","button":"ok","pin":"ab cd1234"})",
           R"({"dialog":"unlock","button":"cancel"})",
       })
    ASSERT_TRUE(ui->PushAnswer(line)) << line;
  EXPECT_FALSE(ui->PushAnswer("not json"));

  std::string pin, oldPin, newPin;
  EXPECT_EQ(ui->ShowPinInputDlg("https://a.example", pin), ORVA_IDOK);
  EXPECT_EQ(pin, "demo1234");
  EXPECT_EQ(ui->ShowPinInputDlg("", pin), ORVA_IDCANCEL);
  EXPECT_EQ(ui->ShowPinInputDlg("", pin), ORVA_IDOK);
  EXPECT_EQ(pin, "x1");  // no rule for an entered PIN
  EXPECT_EQ(ui->ShowPinChangeDlg("", oldPin, newPin), ORVA_IDOK);
  EXPECT_EQ(oldPin, "demo1234");
  EXPECT_EQ(newPin, "abcd1234");
  EXPECT_EQ(ui->ShowUnlockDlg(ORVA_UNLOCK_MODE_UNLOCK, "", newPin), ORVA_IDCANCEL);
  EXPECT_EQ(ui->PendingAnswers(), 0u);

  // What was asked, in order, with the dialogs' own messages.
  struct Want {
    const char* dialog;
    uint32_t id;
    const char* answer;
  } want[] = {{"pin", 0, "ok"},          {"pin", 0, "cancel"},
              {"pin", 0, "empty"},       {"message", IDS_PIN_EMPTY, "ok"},
              {"pin", 0, "ok"},          {"pin_change", 0, "refused"},
              {"message", IDS_PIN_WEAK, "ok"}, {"pin_change", 0, "refused"},
              {"message", IDS_PIN_MISMATCH, "ok"}, {"pin_change", 0, "ok"},
              {"unlock", 0, "refused"},  {"message", IDS_PIN_BAD_CHAR, "ok"},
              {"unlock", 0, "cancel"}};
  auto reqs = ui->Requests();
  ASSERT_EQ(reqs.size(), std::size(want));
  for (size_t i = 0; i < reqs.size(); ++i) {
    EXPECT_EQ(reqs[i].strDialog, want[i].dialog) << i;
    EXPECT_EQ(reqs[i].ulTextId, want[i].id) << i;
    EXPECT_EQ(reqs[i].strAnswer, want[i].answer) << i;
  }
  EXPECT_EQ(reqs[0].strOrigin, "https://a.example");
  EXPECT_EQ(reqs[3].strCaption, "错误");
  EXPECT_EQ(reqs[3].ulType, ORVA_MB_OK | ORVA_MB_ICONERROR);
  EXPECT_EQ(reqs[12].ulType, ORVA_UNLOCK_MODE_UNLOCK);
}

TEST(ScriptedUI, MessageBoxesConsentChoosersAndShell) {
  auto ui = std::make_shared<CORVAScriptedUI>();
  // Answers for the wrong kind or the wrong text stay queued; the request is cancelled.
  ASSERT_TRUE(ui->PushAnswer(R"({"dialog":"message","id":150,"button":"retry"})"));
  std::string pin;
  EXPECT_EQ(ui->ShowPinInputDlg("", pin), ORVA_IDCANCEL);
  ORVA_MESSAGE other{IDS_PIN_LOCKED, "locked", IDS_CAPTION_ERROR, "错误", ORVA_MB_OK | ORVA_MB_ICONERROR};
  EXPECT_EQ(ui->ShowMessageBox(other), ORVA_IDOK);
  EXPECT_EQ(ui->PendingAnswers(), 1u);
  ORVA_MESSAGE wrong{IDS_PIN_WRONG_TRIES, "tries", IDS_CAPTION_ERROR, "错误",
                     ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR};
  EXPECT_EQ(ui->ShowMessageBox(wrong), ORVA_IDRETRY);

  // Buttons the box does not have are ignored; without an answer the cancelling one.
  struct Row {
    uint32_t type;
    const char* button;
    int id;
  } rows[] = {
      {ORVA_MB_OK, nullptr, ORVA_IDOK},           {ORVA_MB_OK, "retry", ORVA_IDOK},
      {ORVA_MB_OKCANCEL, nullptr, ORVA_IDCANCEL}, {ORVA_MB_OKCANCEL, "ok", ORVA_IDOK},
      {ORVA_MB_YESNO, nullptr, ORVA_IDNO},        {ORVA_MB_YESNO, "YES", ORVA_IDYES},
      {ORVA_MB_YESNOCANCEL, nullptr, ORVA_IDCANCEL}, {ORVA_MB_RETRYCANCEL, "retry", ORVA_IDRETRY},
      {ORVA_MB_ABORTRETRYIGNORE, nullptr, ORVA_IDABORT}, {ORVA_MB_ABORTRETRYIGNORE, "ignore", ORVA_IDIGNORE},
      {ORVA_MB_CANCELTRYCONTINUE, "continue", ORVA_IDCONTINUE}, {ORVA_MB_YESNO, "cancel", ORVA_IDNO},
  };
  for (const auto& r : rows) {
    if (r.button) ui->PushAnswer(std::string(R"({"dialog":"message","button":")") + r.button + "\"}");
    EXPECT_EQ(ui->ShowMessageBox({0, "t", 0, "c", r.type | ORVA_MB_ICONQUESTION}), r.id)
        << r.type << " " << (r.button ? r.button : "-");
  }

  for (const char* line : {R"({"dialog":"consent","button":"always"})",
                           R"({"dialog":"consent","button":"once"})",
                           R"({"dialog":"consent","button":"refuse"})"})
    ui->PushAnswer(line);
  EXPECT_EQ(ui->AskConsent("https://a.example"), OrvaConsent::AlwaysAllow);
  EXPECT_EQ(ui->AskConsent("https://b.example"), OrvaConsent::AllowOnce);
  EXPECT_EQ(ui->AskConsent("https://c.example"), OrvaConsent::Refuse);
  EXPECT_EQ(ui->AskConsent("https://d.example"), OrvaConsent::Refuse);  // none left

  ui->PushAnswer(R"({"dialog":"file","button":"ok","path":"/tmp/a.cer","filterIndex":2})");
  ui->PushAnswer(R"({"dialog":"folder","button":"ok","path":"/tmp"})");
  ORVA_FILE_DIALOG fd;
  fd.bSave = true;
  fd.strTitle = "保存证书文件";
  std::string path;
  EXPECT_TRUE(ui->ChooseFile(fd, path));
  EXPECT_EQ(path, "/tmp/a.cer");
  EXPECT_EQ(fd.ulFilterIndex, 2u);
  EXPECT_TRUE(ui->ChooseFolder("t", path));
  EXPECT_EQ(path, "/tmp");
  EXPECT_FALSE(ui->ChooseFile(fd, path));
  EXPECT_FALSE(ui->ChooseFolder("t", path));

  std::string dir = orva::testing::MakeTempDir("open");
  orva::testing::WriteFile(dir + "/f.txt", "x");
  EXPECT_EQ(ui->OpenFolder(dir), ORVA_OK);
  EXPECT_EQ(ui->OpenFolder(dir + "/f.txt"), ORVA_E_INVALID_PARAM);  // never a file
  EXPECT_EQ(ui->OpenFolder(dir + "/missing"), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(ui->OpenFolder(""), ORVA_E_INVALID_PARAM);
  struct UrlRow {
    const char* url;
    uint32_t res;
  } urls[] = {{"https://www.tavroca.example/", ORVA_OK}, {"HTTP://127.0.0.1:8080/home", ORVA_OK},
              {"file:///etc/passwd", ORVA_E_INVALID_PARAM}, {"javascript:alert(1)", ORVA_E_INVALID_PARAM},
              {"https://a.example/ --x", ORVA_E_INVALID_PARAM}, {"https://", ORVA_E_INVALID_PARAM},
              {"https:///x", ORVA_E_INVALID_PARAM}, {"/usr/bin/xterm", ORVA_E_INVALID_PARAM},
              {"https://a.example/\"x", ORVA_E_INVALID_PARAM}};
  for (const auto& u : urls) EXPECT_EQ(ui->OpenUrl(u.url), u.res) << u.url;
  ui->ShowBalloon(ORVA_BALLOON_INFO, "提示", "Kestova已自动更新完毕！");
  ui->ShowCertificate({1, 2, 3}, {}, "证书属性查看");
  auto reqs = ui->Requests();
  EXPECT_EQ(reqs[reqs.size() - 2].strDialog, "balloon");
  EXPECT_EQ(reqs[reqs.size() - 2].strCaption, "提示");
  EXPECT_EQ(reqs.back().strDialog, "cert");
  EXPECT_EQ(reqs.back().strText, "证书属性查看");
}

// The headless default: answers from $ORVADESK_UI_SCRIPT (lines appended while running are
// seen), one log line per request without any PIN; without the variable, all cancelled.
TEST(HeadlessUI, ScriptFileAndLog) {
  std::string dir = orva::testing::MakeTempDir("script");
  std::string script = dir + "/answers.jsonl";
  orva::testing::WriteFile(script, "{\"dialog\":\"consent\",\"button\":\"once\"}\n\nnot json\n"
                                   "{\"dialog\":\"pin\",\"button\":\"ok\",\"pin\":\"Secret99\"}\n");
  setenv("ORVADESK_UI_SCRIPT", script.c_str(), 1);
  SetOrvaUserInterface(nullptr);
  auto ui = GetOrvaUserInterface();
  EXPECT_FALSE(ui->IsInteractive());
  EXPECT_EQ(ui->AskConsent("https://a.example"), OrvaConsent::AllowOnce);
  std::string pin;
  EXPECT_EQ(ui->ShowPinInputDlg("https://a.example", pin), ORVA_IDOK);
  EXPECT_EQ(pin, "Secret99");
  EXPECT_EQ(ui->ShowPinInputDlg("", pin), ORVA_IDCANCEL);  // file used up
  {
    std::string more = orva::testing::ReadFile(script) +
                       "{\"dialog\":\"message\",\"id\":172,\"button\":\"ok\"}\n";
    orva::testing::WriteFile(script, more);
  }
  EXPECT_EQ(OrvaMessageBox(IDS_PIN_ENHANCE_ASK, IDS_CAPTION_PROMPT, ORVA_MB_OKCANCEL), ORVA_IDOK);
  EXPECT_EQ(OrvaMessageBox(IDS_PIN_WRONG_TRIES, IDS_CAPTION_ERROR,
                           ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR, {3}),
            ORVA_IDCANCEL);

  std::string log = orva::testing::ReadFile(script + ".log");
  EXPECT_EQ(log.find("Secret99"), std::string::npos);
  std::vector<Json::Value> lines;
  size_t from = 0;
  for (size_t at; (at = log.find('\n', from)) != std::string::npos; from = at + 1) {
    Json::Value v;
    ASSERT_TRUE(ParseUiAnswer(log.substr(from, at - from), v));
    lines.push_back(v);
  }
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0]["dialog"].asString(), "consent");
  EXPECT_EQ(lines[0]["origin"].asString(), "https://a.example");
  EXPECT_EQ(lines[0]["answer"].asString(), "once");
  EXPECT_EQ(lines[1]["answer"].asString(), "ok");
  EXPECT_EQ(lines[2]["answer"].asString(), "cancel");
  EXPECT_EQ(lines[3]["id"].asUInt(), IDS_PIN_ENHANCE_ASK);
  EXPECT_EQ(lines[3]["caption"].asString(), "提示");
  EXPECT_EQ(lines[4]["text"].asString(), "证书PIN码验证失败！PIN码错误，剩余次数：3 次!");
  EXPECT_EQ(lines[4]["type"].asUInt(), ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR);
  EXPECT_EQ(lines[4]["answer"].asString(), "cancel");

  unsetenv("ORVADESK_UI_SCRIPT");
  SetOrvaUserInterface(nullptr);
  ui = GetOrvaUserInterface();
  EXPECT_EQ(ui->ShowPinInputDlg("", pin), ORVA_IDCANCEL);
  EXPECT_EQ(ui->AskConsent("https://a.example"), OrvaConsent::Refuse);
  std::string a, b;
  EXPECT_EQ(ui->ShowPinChangeDlg("", a, b), ORVA_IDCANCEL);
  EXPECT_EQ(ui->ShowUnlockDlg(ORVA_UNLOCK_MODE_SET, "", a), ORVA_IDCANCEL);
}

// Many connection threads asking at once each get exactly one answer from the queue.
TEST(ScriptedUI, ConcurrentCallersShareTheQueue) {
  auto ui = std::make_shared<CORVAScriptedUI>();
  for (int i = 0; i < 40; ++i) ui->PushAnswer(R"({"dialog":"consent","button":"once"})");
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i)
        if (ui->AskConsent("https://a.example") == OrvaConsent::AllowOnce) ++allowed;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(allowed.load(), 40);
  EXPECT_EQ(ui->Requests().size(), 80u);
}
