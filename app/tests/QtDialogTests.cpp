// Offscreen tests of the Qt dialogs and message boxes, driven as a user would: typing into
// the template's controls (found by their identifiers) and pressing its buttons.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <future>
#include <thread>

#include "app/ORVACertViewDlg.h"
#include "app/ORVADialogs.h"
#include "app/ORVAGuiStart.h"
#include "app/ORVAMessageBox.h"
#include "app/ORVAQtUI.h"
#include "app/tests/QtTestSupport.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using namespace orva::testing;

namespace {

class QtDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    CORVAResource::Instance().ReleaseResourceModule();
    m_ui = std::make_shared<CORVAQtUI>();
    SetOrvaUserInterface(m_ui);
  }
  void TearDown() override {
    m_ui->Shutdown();
    SetOrvaUserInterface(nullptr);
    CORVAResource::Instance().ReleaseResourceModule();
    QApplication::processEvents();
  }
  void UseEnglish() {
    ASSERT_TRUE(CORVAResource::Instance().LoadEnglishFile(
        SourceDir() + "/app/resources/" + kOrvaEnglishResourceFile));
  }
  static void Type(QWidget* dlg, const char* id, const char* text) {
    auto* e = dlg->findChild<QLineEdit*>(id);
    ASSERT_NE(e, nullptr) << id;
    e->clear();
    QTest::keyClicks(e, text);
  }
  static void Press(QWidget* dlg, const char* id) {
    auto* b = dlg->findChild<QAbstractButton*>(id);
    ASSERT_NE(b, nullptr) << id;
    b->click();
  }
  static std::string Text(QWidget* dlg, const char* name) {
    auto* l = dlg->findChild<QLabel*>(name);
    return l ? l->text().toStdString() : "<none>";
  }
  // The control that has (or gets back, once its window is active again) the focus.
  static std::string FocusName(QWidget* dlg) {
    QWidget* f = dlg->focusWidget();
    return f ? f->objectName().toStdString() : "";
  }

  std::shared_ptr<CORVAQtUI> m_ui;
};

}  // namespace

// A connection thread asks for a PIN: the dialog shows on the GUI thread naming the origin,
// the caller waits, and gets what was typed (OK) or the cancel end (Cancel); an empty PIN
// is refused with [137] and the dialog stays.
TEST_F(QtDialogTest, PinEntryFromAnotherThread) {
  std::string pin;
  auto caller = std::async(std::launch::async, [&] {
    return GetOrvaUserInterface()->ShowPinInputDlg("https://bank.example", pin);
  });
  QWidget* dlg = WaitForWindow("dialog101");
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(dlg->windowTitle().toStdString(), "验证PIN码");
  EXPECT_EQ(Text(dlg, "text"), "此操作需要验证您的UKey PIN码：");
  EXPECT_EQ(Text(dlg, "origin"), "请求来源：https://bank.example");
  EXPECT_EQ(Text(dlg, "1002"), "UKey PIN码：");
  EXPECT_EQ(dlg->findChild<QLineEdit*>("1001")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dlg->findChild<QLineEdit*>("1001")->maxLength(), 31);
  EXPECT_NE(dlg->findChild<QLabel*>("1011"), nullptr);
  EXPECT_NE(dlg->findChild<QLabel*>("icon104"), nullptr);

  std::string text, caption;
  AnswerNextMessageBox(ORVA_IDOK, &text, &caption);
  Press(dlg, "1");  // empty PIN
  EXPECT_EQ(text, "PIN码不能为空。");
  EXPECT_EQ(caption, "错误");
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  Type(dlg, "1001", "demo1234");
  Press(dlg, "1");
  ASSERT_TRUE(WaitFor([&] { return caller.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(caller.get(), ORVA_IDOK);
  EXPECT_EQ(pin, "demo1234");

  // Cancel, and a local caller: no origin line.
  auto second = std::async(std::launch::async, [&] {
    std::string p;
    return GetOrvaUserInterface()->ShowPinInputDlg("", p);
  });
  dlg = WaitForWindow("dialog101");
  ASSERT_NE(dlg, nullptr);
  EXPECT_FALSE(dlg->findChild<QLabel*>("origin")->isVisible());
  Type(dlg, "1001", "typed");
  Press(dlg, "2");
  ASSERT_TRUE(WaitFor([&] { return second.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(second.get(), ORVA_IDCANCEL);
}

// Two connections each with a dialog open: answered in the opposite order, each caller gets
// its own answer.
TEST_F(QtDialogTest, ConcurrentDialogsAnswerIndependently) {
  std::string pinA, pinB;
  auto a = std::async(std::launch::async, [&] { return GetOrvaUserInterface()->ShowPinInputDlg("https://a.example", pinA); });
  ASSERT_TRUE(WaitFor([] { return VisibleWindows("dialog101").size() == 1; }));
  auto b = std::async(std::launch::async, [&] { return GetOrvaUserInterface()->ShowPinInputDlg("https://b.example", pinB); });
  ASSERT_TRUE(WaitFor([] { return VisibleWindows("dialog101").size() == 2; }));
  for (QWidget* d : VisibleWindows("dialog101")) {
    if (Text(d, "origin").find("b.example") != std::string::npos) {
      Type(d, "1001", "bbbb1111");
      Press(d, "1");
    }
  }
  ASSERT_TRUE(WaitFor([&] { return b.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(b.get(), ORVA_IDOK);
  EXPECT_EQ(pinB, "bbbb1111");
  EXPECT_EQ(a.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  QWidget* d = WaitForWindow("dialog101");
  ASSERT_NE(d, nullptr);
  Press(d, "2");
  ASSERT_TRUE(WaitFor([&] { return a.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(a.get(), ORVA_IDCANCEL);

  // Shut-down answers a waiting caller with cancel and closes its dialog.
  auto c = std::async(std::launch::async, [&] {
    std::string p;
    return GetOrvaUserInterface()->ShowPinInputDlg("https://c.example", p);
  });
  ASSERT_NE(WaitForWindow("dialog101"), nullptr);
  m_ui->Shutdown();
  ASSERT_TRUE(WaitFor([&] { return c.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(c.get(), ORVA_IDCANCEL);
  EXPECT_TRUE(WaitFor([] { return VisibleWindows("dialog101").empty(); }));
  std::string p;
  EXPECT_EQ(m_ui->ShowPinInputDlg("", p), ORVA_IDCANCEL);  // closed for good
}

// The PIN change dialog, called on the GUI thread (modal): each check of its OK button with
// its message and focus, then the accepted PINs.
TEST_F(QtDialogTest, PinChangeChecksAndMessages) {
  struct Step {
    const char* oldPin;
    const char* newPin;
    const char* confirm;
    const char* message;  // nullptr: accepted
    const char* focus;
  } steps[] = {
      {"", "abcd1234", "abcd1234", "PIN码不能为空。", "1004"},
      {"old12345", "", "", "PIN码不能为空。", "1005"},
      {"old12345", "abcdefgh", "abcdefgh", "您设置的PIN码强度不够，必须包含字母和数字！", "1005"},
      {"old12345", "abc?1234", "abc?1234", "您设置的PIN码包含不支持的字符，请重新设置！", "1005"},
      {"old12345", "ab12c", "ab12c", "您设置的PIN码长度错误，要求不少于８个字符！", "1005"},
      {"old12345", "abcd1234abcd12345", "x", "您设置的PIN码长度错误，要求不少于８个字符！", "1005"},
      {"old12345", "abcd1234", "abcd1235", "两次输入的PIN码不一致。", "1005"},
      {"old12345", "abcd1234", "abcd1234", nullptr, nullptr},
  };
  std::vector<std::string> seen, focus;
  Later([&] {
    QWidget* dlg = WaitForWindow("dialog102");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->windowTitle().toStdString(), "设置证书PIN码");
    EXPECT_EQ(FocusName(dlg), "1004");
    EXPECT_EQ(Text(dlg, "reminder"), "提醒：请牢记您修改后的PIN码，并确认您的PIN码只有您自己知道。");
    EXPECT_EQ(Text(dlg, "label_new"), "新PIN码(不少于8个字符，且包含字母和数字)：");
    for (const auto& s : steps) {
      Type(dlg, "1004", s.oldPin);
      Type(dlg, "1005", s.newPin);
      Type(dlg, "1006", s.confirm);
      if (!s.message) {
        Press(dlg, "1");
        break;
      }
      std::string text, caption;
      AnswerNextMessageBox(ORVA_IDOK, &text, &caption);
      Press(dlg, "1");
      seen.push_back(text);
      EXPECT_EQ(caption, "错误");
      WaitFor([] { return VisibleWindows("messagebox").empty(); });
      focus.push_back(FocusName(dlg));
    }
  });
  std::string oldPin, newPin;
  EXPECT_EQ(GetOrvaUserInterface()->ShowPinChangeDlg("", oldPin, newPin), ORVA_IDOK);
  EXPECT_EQ(oldPin, "old12345");
  EXPECT_EQ(newPin, "abcd1234");
  ASSERT_EQ(seen.size(), std::size(steps) - 1);
  for (size_t i = 0; i + 1 < std::size(steps); ++i) {
    EXPECT_EQ(seen[i], steps[i].message) << i;
    EXPECT_EQ(focus[i], steps[i].focus) << i;
  }

  // Cancel ends with 2 and hands out nothing.
  Later([] {
    QWidget* dlg = WaitForWindow("dialog102");
    Type(dlg, "1004", "old12345");
    Press(dlg, "2");
  });
  oldPin.clear();
  EXPECT_EQ(GetOrvaUserInterface()->ShowPinChangeDlg("", oldPin, newPin), ORVA_IDCANCEL);
  EXPECT_TRUE(oldPin.empty());
}

// Set and unlock: the caption by mode, the same rule, focus on 1010; the forgotten-PIN link
// of the change dialog opens the online service page and cancels.
TEST_F(QtDialogTest, SetUnlockModesAndForgotLink) {
  for (uint32_t mode : {ORVA_UNLOCK_MODE_SET, ORVA_UNLOCK_MODE_UNLOCK}) {
    std::string title, msg, focus;
    Later([&] {
      QWidget* dlg = WaitForWindow("dialog103");
      ASSERT_NE(dlg, nullptr);
      title = dlg->windowTitle().toStdString();
      Type(dlg, "1010", "abcd 1234");
      Type(dlg, "1011", "abcd 1234");
      AnswerNextMessageBox(ORVA_IDOK, &msg);
      Press(dlg, "1");
      WaitFor([] { return VisibleWindows("messagebox").empty(); });
      focus = FocusName(dlg);
      Type(dlg, "1010", "Abcd_1234");
      Type(dlg, "1011", "Abcd_1234");
      Press(dlg, "1");
    });
    std::string pin;
    EXPECT_EQ(GetOrvaUserInterface()->ShowUnlockDlg(mode, "https://a.example", pin), ORVA_IDOK);
    EXPECT_EQ(pin, "Abcd_1234");
    EXPECT_EQ(title, mode == ORVA_UNLOCK_MODE_SET ? "设置PIN码" : "解锁PIN码");
    EXPECT_EQ(msg, "您设置的PIN码包含不支持的字符，请重新设置！");
    EXPECT_EQ(focus, "1010");
  }

  // The link: shell requests recorded by a scripted interface installed for the dialog's
  // own calls, while the dialog itself is shown directly.
  auto rec = std::make_shared<CORVAScriptedUI>();
  SetOrvaUserInterface(rec);
  SetOrvaOnlineServiceUrl("https://127.0.0.1:8443/home");
  CORVAPinChangeDlg dlg("");
  Later([&] {
    WaitForWindow("dialog102");
    emit dlg.findChild<QLabel*>("1011")->linkActivated("#");
  });
  EXPECT_EQ(dlg.Show(true), 2);
  auto reqs = rec->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].strDialog, "open_url");
  EXPECT_EQ(reqs[0].strPath, "https://127.0.0.1:8443/home");
  SetOrvaOnlineServiceUrl("");
}

// Consent: three answers, Enter and Escape refuse, the origin shown as plain text.
TEST_F(QtDialogTest, ConsentAnswers) {
  struct Row {
    const char* press;  // button id, or "esc"/"enter"
    OrvaConsent want;
  } rows[] = {{"1", OrvaConsent::AllowOnce}, {"3", OrvaConsent::AlwaysAllow},
              {"2", OrvaConsent::Refuse},    {"esc", OrvaConsent::Refuse},
              {"enter", OrvaConsent::Refuse}};
  for (const auto& r : rows) {
    auto caller = std::async(std::launch::async, [] {
      return GetOrvaUserInterface()->AskConsent("https://<b>evil</b>.example");
    });
    QWidget* dlg = WaitForWindow("dialog115");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->windowTitle().toStdString(), "网站访问授权");
    EXPECT_NE(Text(dlg, "text").find("https://<b>evil</b>.example"), std::string::npos);
    EXPECT_EQ(dlg->findChild<QLabel*>("text")->textFormat(), Qt::PlainText);
    EXPECT_EQ(dlg->findChild<QPushButton*>("1")->text().toStdString(), "允许本次");
    EXPECT_EQ(dlg->findChild<QPushButton*>("3")->text().toStdString(), "始终允许");
    EXPECT_EQ(dlg->findChild<QPushButton*>("2")->text().toStdString(), "拒绝");
    std::string p = r.press;
    if (p == "esc")
      QTest::keyClick(dlg, Qt::Key_Escape);
    else if (p == "enter")
      QTest::keyClick(dlg, Qt::Key_Return);
    else
      Press(dlg, r.press);
    ASSERT_TRUE(WaitFor([&] { return caller.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(caller.get(), r.want) << r.press;
  }
}

// Message boxes: the buttons of each type, the English labels 142-148 when the English file
// is loaded, the platform's own texts otherwise, and the identifiers returned.
TEST_F(QtDialogTest, MessageBoxLabelsAndResults) {
  struct Row {
    bool english;
    uint32_t type;
    int press;
    std::vector<std::string> buttons;
  } rows[] = {
      {true, ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR, ORVA_IDRETRY, {"4=Retry", "2=Cancel"}},
      {true, ORVA_MB_YESNO | ORVA_MB_ICONQUESTION, ORVA_IDNO, {"6=Yes", "7=No"}},
      {true, ORVA_MB_OKCANCEL, ORVA_IDOK, {"1=OK", "2=Cancel"}},
      {true, ORVA_MB_YESNOCANCEL, ORVA_IDYES, {"6=Yes", "7=No", "2=Cancel"}},
      {true, ORVA_MB_CANCELTRYCONTINUE, ORVA_IDCONTINUE, {"2=Cancel", "10=&Try Again", "11=Continue"}},
      {false, ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR, ORVA_IDCANCEL, {"4=重试(&R)", "2=取消"}},
      {false, ORVA_MB_OK | ORVA_MB_ICONINFORMATION, ORVA_IDOK, {"1=确定"}},
  };
  for (const auto& r : rows) {
    if (r.english) UseEnglish();
    else CORVAResource::Instance().ReleaseResourceModule();
    std::vector<std::string> buttons;
    auto caller = std::async(std::launch::async, [&] {
      return OrvaMessageBox(IDS_PIN_WRONG_TRIES, IDS_CAPTION_ERROR, r.type, {3});
    });
    std::string caption;
    std::string text = AnswerMessageBox(r.press, &caption, &buttons);
    ASSERT_TRUE(WaitFor([&] { return caller.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(caller.get(), r.press);
    std::sort(buttons.begin(), buttons.end());
    std::vector<std::string> want = r.buttons;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(buttons, want) << r.type;
    EXPECT_EQ(text, r.english ? "PIN verification failed! Wrong PIN, 3 tries left!"
                              : "证书PIN码验证失败！PIN码错误，剩余次数：3 次!");
    EXPECT_EQ(caption, r.english ? "Error" : "错误");
  }

  // Closing a box: Cancel, else No; an OK box gives OK.
  struct Esc {
    uint32_t type;
    int id;
  } escs[] = {{ORVA_MB_OKCANCEL, ORVA_IDCANCEL}, {ORVA_MB_YESNO, ORVA_IDNO}, {ORVA_MB_OK, ORVA_IDOK},
              {ORVA_MB_ABORTRETRYIGNORE, ORVA_IDABORT}};
  for (const auto& e : escs) {
    Later([] {
      QWidget* box = WaitForWindow("messagebox");
      QTest::keyClick(box, Qt::Key_Escape);
    });
    EXPECT_EQ(ShowMessageBox(nullptr, "t", "c", e.type), e.id) << e.type;
  }
}

// Settings: the two user options shown and written back; the start-up box stays hidden.
TEST_F(QtDialogTest, SettingsReadAndWriteOptions) {
  std::string root = MakeTempDir("settings");
  setenv("ORVADESK_USER_DIR", (root + "/user").c_str(), 1);
  setenv("ORVADESK_MACHINE_DIR", (root + "/machine").c_str(), 1);
  ASSERT_EQ(CRegOptions::SetUserOption(2, 1), 0u);
  ASSERT_EQ(CRegOptions::SetUserOption(3, 0), 0u);
  CORVASettingDlg dlg;
  bool autoUpdate = false, autoShow = true, runVisible = true, showEnabled = true;
  Later([&] {
    WaitForWindow("dialog113");
    autoUpdate = dlg.findChild<QCheckBox*>("1003")->isChecked();
    autoShow = dlg.findChild<QCheckBox*>("1005")->isChecked();
    runVisible = dlg.findChild<QCheckBox*>("1000")->isVisible();
    showEnabled = dlg.findChild<QCheckBox*>("1005")->isEnabled();
    dlg.findChild<QCheckBox*>("1003")->setChecked(false);
    Press(&dlg, "1");
  });
  EXPECT_EQ(dlg.Show(true), 1);
  EXPECT_TRUE(autoUpdate);
  EXPECT_FALSE(autoShow);
  EXPECT_FALSE(runVisible);
  EXPECT_FALSE(showEnabled);
  uint32_t v = 9;
  EXPECT_EQ(CRegOptions::GetUserOption(2, &v), 0u);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(CRegOptions::GetUserOption(3, &v), 0u);
  EXPECT_EQ(v, 0u);

  // Cancel writes nothing.
  CORVASettingDlg again;
  Later([&] {
    WaitForWindow("dialog113");
    again.findChild<QCheckBox*>("1003")->setChecked(true);
    Press(&again, "2");
  });
  EXPECT_EQ(again.Show(true), 2);
  EXPECT_EQ(CRegOptions::GetUserOption(2, &v), 0u);
  EXPECT_EQ(v, 0u);
}

// About: "V" and the version; the web link opens the support address and ends with 1.
TEST_F(QtDialogTest, AboutShowsVersionAndOpensSupportSite) {
  auto rec = std::make_shared<CORVAScriptedUI>();
  SetOrvaUserInterface(rec);
  CORVAAboutDlg dlg(OrvaProductVersion());
  std::string version, product;
  Later([&] {
    WaitForWindow("dialog112");
    version = Text(&dlg, "1004");
    product = Text(&dlg, "1003");
    emit dlg.findChild<QLabel*>("1012")->linkActivated("#");
  });
  EXPECT_EQ(dlg.Show(true), 1);
  EXPECT_EQ(version, "V" ORVA_VERSION_TEXT);
  EXPECT_EQ(product, "Kestova");
  ASSERT_EQ(rec->Requests().size(), 1u);
  EXPECT_EQ(rec->Requests()[0].strPath, "https://www.tavroca.example/");
}

// The certificate view from another thread (as "show_cert" does): fields, extensions and
// the path; with the issuer the path is complete, without it the view says so.
TEST_F(QtDialogTest, CertificateViewFieldsAndPath) {
  TestCert ca = MakeCert("Test Root CA", -10, 3650, nullptr, true);
  TestCert leaf = MakeCert("张三", -1, 365, &ca);
  for (bool withIssuer : {true, false}) {
    std::vector<std::vector<uint8_t>> chain;
    if (withIssuer) chain.push_back(ca.der);
    auto caller = std::async(std::launch::async, [&] {
      GetOrvaUserInterface()->ShowCertificate(leaf.der, chain, "证书属性查看");
      return 0;
    });
    QWidget* dlg = WaitForWindow("dialog116");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->windowTitle().toStdString(), "证书属性查看");
    EXPECT_EQ(Text(dlg, "issued_to"), "张三");
    EXPECT_EQ(Text(dlg, "issued_by"), "Test Root CA");
    auto* fields = dlg->findChild<QTreeWidget*>("fields");
    ASSERT_NE(fields, nullptr);
    std::map<std::string, std::string> byName;
    for (int i = 0; i < fields->topLevelItemCount(); ++i)
      byName[fields->topLevelItem(i)->text(0).toStdString()] =
          fields->topLevelItem(i)->data(1, Qt::UserRole).toString().toStdString();
    EXPECT_EQ(byName["版本"], "V3");
    EXPECT_NE(byName["使用者"].find("CN=张三"), std::string::npos);
    EXPECT_NE(byName["使用者"].find("O=测试机构"), std::string::npos);
    EXPECT_EQ(byName["签名算法"], "ecdsa-with-SHA256");
    EXPECT_NE(byName["公钥"].find("EC (256 bits)"), std::string::npos);
    EXPECT_NE(byName["X509v3 Key Usage (关键)"].find("Digital Signature"), std::string::npos);
    EXPECT_NE(byName["X509v3 Basic Constraints"].find("CA:FALSE"), std::string::npos);
    EXPECT_EQ(byName["指纹(SHA1)"].size(), 40u);
    auto* path = dlg->findChild<QTreeWidget*>("chain");
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(path->topLevelItemCount(), 1);
    EXPECT_EQ(path->topLevelItem(0)->text(0).toStdString(), withIssuer ? "Test Root CA" : "张三");
    EXPECT_EQ(dlg->findChild<QLabel*>("path_incomplete") != nullptr, !withIssuer);
    Press(dlg, "1");
    ASSERT_TRUE(WaitFor([&] { return caller.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  }
  // Not a certificate: the view says so instead of failing.
  CORVACertViewDlg bad({0x30, 0x03, 0x02, 0x01, 0x01}, {}, "");
  EXPECT_FALSE(bad.IsValid());
  EXPECT_NE(bad.findChild<QLabel*>("invalid"), nullptr);
  FreeKey(ca);
  FreeKey(leaf);
}

// The shell operations refuse what is not a folder or a web address and start the opener
// with the target as its one argument (here a recorder instead of xdg-open).
TEST_F(QtDialogTest, OpenFolderAndUrlStartTheOpener) {
  std::string dir = MakeTempDir("opener");
  std::string script = dir + "/opener.sh", out = dir + "/out.txt";
  WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$#:$1\" >> " + out + "\n");
  chmod(script.c_str(), 0755);
  m_ui->SetOpenCommand(script);
  EXPECT_EQ(m_ui->OpenFolder(dir + "/../" + dir.substr(dir.rfind('/') + 1)), ORVA_OK);
  EXPECT_EQ(m_ui->OpenFolder(script), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(m_ui->OpenUrl("https://127.0.0.1:8443/home?a=1&b=2"), ORVA_OK);
  EXPECT_EQ(m_ui->OpenUrl("file:///etc/passwd"), ORVA_E_INVALID_PARAM);
  ASSERT_TRUE(WaitFor([&] {
    std::string s = ReadFile(out);
    return std::count(s.begin(), s.end(), '\n') == 2;
  }));
  std::string got = ReadFile(out);
  EXPECT_NE(got.find("1:" + dir + "\n"), std::string::npos) << got;
  EXPECT_NE(got.find("1:https://127.0.0.1:8443/home?a=1&b=2\n"), std::string::npos) << got;
}

// The GUI starts only where a display answers; otherwise Qt is never touched.
TEST(GuiStart, DisplayDetection) {
  std::string savedPlatform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  const char* d = std::getenv("DISPLAY");
  std::string savedDisplay = d ? d : "";
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("WAYLAND_DISPLAY");
  struct Row {
    const char* display;
    bool has;
  } rows[] = {{nullptr, false}, {":987", false}, {":abc", false}, {"", false}};
  for (const auto& r : rows) {
    if (r.display) setenv("DISPLAY", r.display, 1);
    else unsetenv("DISPLAY");
    EXPECT_EQ(OrvaHasDisplay(), r.has) << (r.display ? r.display : "(none)");
    int argc = 1;
    char name[] = "x";
    char* argv[] = {name, nullptr};
    if (!r.has) {
      EXPECT_EQ(OrvaStartGui(argc, argv), nullptr);
    }
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_TRUE(OrvaHasDisplay());
  if (!savedDisplay.empty()) setenv("DISPLAY", savedDisplay.c_str(), 1);
  else unsetenv("DISPLAY");
  if (!savedPlatform.empty()) setenv("QT_QPA_PLATFORM", savedPlatform.c_str(), 1);
}

// The file and folder choosers: the platform's filter list becomes Qt's, the chosen filter
// comes back as a 1-based index, and cancel hands out nothing.
TEST_F(QtDialogTest, FileAndFolderChoosers) {
  std::string dir = MakeTempDir("choose");
  ORVA_FILE_DIALOG fd;
  fd.bSave = true;
  fd.strTitle = "保存证书文件";
  fd.strFilter = CORVAResource::Instance().LoadString(IDS_CERT_FILE_FILTER);
  std::string path;
  auto caller = std::async(std::launch::async, [&] { return GetOrvaUserInterface()->ChooseFile(fd, path); });
  auto* dlg = qobject_cast<QFileDialog*>(WaitForWindow("filedialog"));
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(dlg->windowTitle().toStdString(), "保存证书文件");
  QStringList filters = dlg->nameFilters();
  ASSERT_EQ(filters.size(), 2);
  EXPECT_EQ(filters[0].toStdString(), "证书文件(*.cer) (*.cer)");
  EXPECT_EQ(filters[1].toStdString(), "所有文件(*.*) (*.*)");
  EXPECT_EQ(dlg->selectedNameFilter(), filters[0]);
  dlg->setDirectory(QString::fromStdString(dir));
  dlg->selectNameFilter(filters[1]);
  // Typed into the dialog's name field, as a user does.
  auto* name = dlg->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(name, nullptr);
  name->setText("out.der");
  static_cast<QDialog*>(dlg)->accept();  // the dialog's own accept, as its button does
  ASSERT_TRUE(WaitFor([&] { return caller.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_TRUE(caller.get());
  EXPECT_EQ(path, dir + "/out.der");
  EXPECT_EQ(fd.ulFilterIndex, 2u);

  // Open with a page's filter of one description and no pattern; then cancel.
  ORVA_FILE_DIALOG open;
  open.strFilter = "just text";
  path.clear();
  auto opener = std::async(std::launch::async, [&] { return GetOrvaUserInterface()->ChooseFile(open, path); });
  dlg = qobject_cast<QFileDialog*>(WaitForWindow("filedialog"));
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(dlg->windowTitle().toStdString(), "打开");
  EXPECT_EQ(dlg->nameFilters().size(), 1);
  dlg->reject();
  ASSERT_TRUE(WaitFor([&] { return opener.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_FALSE(opener.get());
  EXPECT_TRUE(path.empty());

  auto folder = std::async(std::launch::async, [&] { return GetOrvaUserInterface()->ChooseFolder("", path); });
  dlg = qobject_cast<QFileDialog*>(WaitForWindow("folderdialog"));
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(dlg->windowTitle().toStdString(), "选择文件夹");
  dlg->setDirectory(QString::fromStdString(dir));  // the folder shown, nothing typed
  if (auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit")) edit->clear();
  static_cast<QDialog*>(dlg)->accept();  // the dialog's own accept, as its button does
  ASSERT_TRUE(WaitFor([&] { return folder.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_TRUE(folder.get());
  EXPECT_EQ(path, dir);
}

// An SM2 certificate of the test PKI with its CA and root: the key and signature are
// named, and the path runs root, CA, certificate.
TEST_F(QtDialogTest, Sm2CertificateViewWithItsPath) {
  std::vector<uint8_t> leaf = TestPkiCertDer("sm2-sign");
  ORVA_CERT_TEXTS t;
  ASSERT_TRUE(OrvaDescribeCertificate(leaf, t));
  EXPECT_EQ(t.publicKey, "SM2 (256 bits)");
  EXPECT_NE(t.sigAlg.find("SM2"), std::string::npos) << t.sigAlg;
  EXPECT_EQ(t.version, 3);
  CORVACertViewDlg view(leaf, {TestPkiCertDer("sm2-root"), TestPkiCertDer("sm2-ca")}, "");
  auto* chain = view.findChild<QTreeWidget*>("chain");
  ASSERT_NE(chain, nullptr);
  int depth = 0;
  for (QTreeWidgetItem* item = chain->topLevelItem(0); item; item = item->child(0)) ++depth;
  EXPECT_EQ(depth, 3);
  EXPECT_EQ(view.findChild<QLabel*>("path_incomplete"), nullptr);
}
