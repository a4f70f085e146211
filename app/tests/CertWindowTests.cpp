// The certificate window offscreen: its lists and status column, its commands and their
// messages, with the window's own requests answered by the scripted interface.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTableWidget>

#include <condition_variable>
#include <mutex>

#include "app/ORVACertViewDlg.h"
#include "app/ORVADialogs.h"
#include "app/ORVAShowCertDlg.h"
#include "app/tests/QtTestSupport.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"
#include "testing/TestEnv.h"

using namespace orva::testing;

namespace {

// Tokens made of certificates built here; the validity status is the period check done
// with OpenSSL's clock comparison. Device 0's checks can be held back to test stale results.
class FixtureSource : public CORVACertSource {
 public:
  std::vector<std::string> names;
  std::vector<std::vector<Cert>> certs;
  uint32_t changeResult = ORVA_OK;
  uint32_t changeRetries = 0;
  std::string lastOld, lastNew;
  int rescans = 0;
  std::mutex lock;
  std::condition_variable cv;
  bool holdDevice0 = false;
  int device0Checks = 0;

  std::vector<std::string> DeviceNames() override { return names; }
  bool Certificates(size_t d, std::vector<Cert>& out) override {
    if (d >= certs.size()) return false;
    out = certs[d];
    return true;
  }
  uint32_t ValidityStatus(size_t d, size_t c, uint32_t& st) override {
    if (d == 0) {
      std::unique_lock<std::mutex> l(lock);
      ++device0Checks;
      cv.wait(l, [&] { return !holdDevice0; });
    }
    const auto& der = certs[d][c].der;
    const unsigned char* p = der.data();
    orva::ossl::X509Ptr x(d2i_X509(nullptr, &p, long(der.size())));
    if (!x) return ORVA_E_X509_DECODE;
    if (X509_cmp_current_time(X509_get0_notBefore(x.get())) > 0) st = 1;
    else if (X509_cmp_current_time(X509_get0_notAfter(x.get())) < 0) st = 2;
    else st = 0;
    return ORVA_OK;
  }
  uint32_t ChangeUserPin(size_t, const std::string& o, const std::string& n, uint32_t& r) override {
    lastOld = o;
    lastNew = n;
    r = changeRetries;
    return changeResult;
  }
  void Rescan() override { ++rescans; }
  void Release() {
    {
      std::lock_guard<std::mutex> l(lock);
      holdDevice0 = false;
    }
    cv.notify_all();
  }
};

class CertWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    CORVAResource::Instance().ReleaseResourceModule();
    m_rec = std::make_shared<CORVAScriptedUI>();
    SetOrvaUserInterface(m_rec);
    m_ca = MakeCert("Orva Test CA", -100, 3650, nullptr, true);
    m_valid = MakeCert("李四", -5, 300, &m_ca);
    m_expired = MakeCert("王五", -400, -2, &m_ca);
    m_future = MakeCert("赵六", 10, 400, &m_ca);
    m_src = std::make_shared<FixtureSource>();
    m_src->names = {"OrvaDesk Demo(SN0001)", "Second(SN0002)"};
    m_src->certs = {{{1, m_valid.der}, {2, m_expired.der}, {1, m_future.der}}, {{2, m_valid.der}}};
  }
  void TearDown() override {
    m_src->Release();
    SetOrvaUserInterface(nullptr);
    for (auto* c : {&m_ca, &m_valid, &m_expired, &m_future}) FreeKey(*c);
  }
  static std::string Cell(QTableWidget* t, int r, int c) {
    auto* i = t->item(r, c);
    return i ? i->text().toStdString() : "<none>";
  }
  std::vector<ORVA_UI_REQUEST> Messages() {
    std::vector<ORVA_UI_REQUEST> out;
    for (auto& r : m_rec->Requests())
      if (r.strDialog == "message") out.push_back(r);
    return out;
  }

  std::shared_ptr<CORVAScriptedUI> m_rec;
  std::shared_ptr<FixtureSource> m_src;
  TestCert m_ca, m_valid, m_expired, m_future;
};

}  // namespace

TEST_F(CertWindowTest, ListsTokensCertificatesAndStatuses) {
  CORVAShowCertDlg win(m_src);
  win.ShowWindow(true);
  EXPECT_EQ(win.windowTitle().toStdString(), "Kestova");
  auto* combo = win.findChild<QComboBox*>("1002");
  auto* list = win.findChild<QTableWidget*>("1031");
  ASSERT_TRUE(combo && list);
  ASSERT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->itemText(0).toStdString(), "OrvaDesk Demo(SN0001)");
  EXPECT_EQ(combo->currentIndex(), 0);
  const char* headers[] = {"用途", "使用者", "颁发者", "生效日期", "失效日期", "状态"};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(list->horizontalHeaderItem(c)->text().toStdString(), headers[c]);
  EXPECT_FALSE(win.findChild<QPushButton*>("1005")->isEnabled());  // not opened from the tray

  ASSERT_EQ(list->rowCount(), 3);
  EXPECT_EQ(Cell(list, 0, 0), "签名");
  EXPECT_EQ(Cell(list, 1, 0), "加密");
  EXPECT_EQ(Cell(list, 0, 1), "李四");
  EXPECT_EQ(Cell(list, 0, 2), "Orva Test CA");
  ORVA_CERT_TEXTS t;
  ASSERT_TRUE(OrvaDescribeCertificate(m_expired.der, t));
  EXPECT_EQ(Cell(list, 1, 4), t.notAfterDate);
  EXPECT_EQ(Cell(list, 1, 4).size(), 10u);  // %04d-%02d-%02d
  ASSERT_TRUE(WaitFor([&] { return Cell(list, 2, 5) != "正在检查......"; }));
  EXPECT_EQ(Cell(list, 0, 5), "有效");
  EXPECT_EQ(Cell(list, 1, 5), "已失效");
  EXPECT_EQ(Cell(list, 2, 5), "未生效");

  // No token: the single entry [120], an empty list, a status thread that writes nothing.
  m_src->names.clear();
  win.RefreshTokenList();
  EXPECT_EQ(combo->count(), 1);
  EXPECT_EQ(combo->itemText(0).toStdString(), "未发现任何TavroCA证书介质！");
  EXPECT_EQ(list->rowCount(), 0);
  EXPECT_TRUE(win.WaitStatusThread(5000));

  // Close hides; opened from the tray the online button is enabled again on close.
  win.SetOpenedFromTray(true);
  win.findChild<QPushButton*>("2")->click();
  EXPECT_FALSE(win.isVisible());
  EXPECT_TRUE(win.findChild<QPushButton*>("1005")->isEnabled());
  win.ShowWindow(true);
  EXPECT_TRUE(win.isVisible());
}

// Choosing another token while the first one's checks run: the old status thread stops at
// its next certificate and its results never reach the new list.
TEST_F(CertWindowTest, StaleStatusResultsAreDropped) {
  m_src->holdDevice0 = true;
  CORVAShowCertDlg win(m_src);
  auto* combo = win.findChild<QComboBox*>("1002");
  auto* list = win.findChild<QTableWidget*>("1031");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> l(m_src->lock);
    return m_src->device0Checks == 1;
  }));
  uint64_t before = win.Generation();
  // Let the held check finish shortly after the switch has raised the stop flag.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_src->Release();
  });
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  releaser.join();
  EXPECT_GT(win.Generation(), before);
  ASSERT_EQ(list->rowCount(), 1);
  EXPECT_EQ(Cell(list, 0, 0), "加密");
  ASSERT_TRUE(WaitFor([&] { return Cell(list, 0, 5) == "有效"; }));
  WaitFor([] { return false; }, 200);  // let any late delivery arrive
  EXPECT_EQ(list->rowCount(), 1);
  EXPECT_EQ(Cell(list, 0, 5), "有效");
  std::lock_guard<std::mutex> l(m_src->lock);
  EXPECT_EQ(m_src->device0Checks, 1);
}

// View and save: the checks with their messages, the save-file flow with the first filter
// adding ".cer", file bytes equal to the certificate, and the failure messages.
TEST_F(CertWindowTest, ViewAndSaveCommands) {
  CORVAShowCertDlg win(m_src);
  auto* list = win.findChild<QTableWidget*>("1031");
  auto* view = win.findChild<QPushButton*>("1032");
  auto* save = win.findChild<QPushButton*>("1033");
  view->click();  // no row selected
  list->selectRow(0);
  view->click();
  std::string dir = MakeTempDir("save");
  struct Row {
    std::string path;
    int filterIndex;
    std::string written;  // "" when nothing may be written
    uint32_t msg;
  } rows[] = {
      {dir + "/a", 1, dir + "/a.cer", IDS_SAVE_FILE_OK},
      {dir + "/b.cer", 1, dir + "/b.cer.cer", IDS_SAVE_FILE_OK},
      {dir + "/c.der", 2, dir + "/c.der", IDS_SAVE_FILE_OK},
      {dir + "/missing/d", 2, "", IDS_CREATE_FILE_FAILED},
  };
  for (const auto& r : rows)
    m_rec->PushAnswer("{\"dialog\":\"file\",\"button\":\"ok\",\"path\":\"" + r.path +
                      "\",\"filterIndex\":" + std::to_string(r.filterIndex) + "}");
  m_rec->ClearRequests();
  for (size_t i = 0; i < std::size(rows); ++i) save->click();
  save->click();  // cancelled chooser: nothing at all
  auto reqs = m_rec->Requests();
  std::vector<uint32_t> msgs;
  for (auto& q : reqs)
    if (q.strDialog == "message") msgs.push_back(q.ulTextId);
  ASSERT_EQ(msgs.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(msgs[i], rows[i].msg) << i;
    if (!rows[i].written.empty()) {
      std::string bytes = ReadFile(rows[i].written);
      EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), m_valid.der) << rows[i].written;
    }
  }
  EXPECT_EQ(reqs.back().strDialog, "file");
  EXPECT_EQ(reqs.back().strAnswer, "cancel");
  EXPECT_EQ(reqs.front().strText, "保存证书文件");

  // The earlier view requests: [129] without a row, then the certificate view.
  // (recorded before ClearRequests; repeat to check them)
  m_rec->ClearRequests();
  list->clearSelection();
  view->click();
  list->selectRow(1);
  view->click();
  reqs = m_rec->Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].ulTextId, IDS_NO_CERT_SELECTED);
  EXPECT_EQ(reqs[0].strCaption, "提示");
  EXPECT_EQ(reqs[0].ulType, ORVA_MB_OK | ORVA_MB_ICONWARNING);
  EXPECT_EQ(reqs[1].strDialog, "cert");
  EXPECT_EQ(reqs[1].ulType, m_expired.der.size());

  // No token at all: [113].
  m_src->names.clear();
  win.RefreshTokenList();
  m_rec->ClearRequests();
  view->click();
  save->click();
  win.findChild<QPushButton*>("1004")->click();
  reqs = m_rec->Requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (auto& q : reqs) EXPECT_EQ(q.ulTextId, IDS_NO_DEVICE_SELECTED);
}

// Change PIN: the dialog's PINs go to the token and each result gets its message.
TEST_F(CertWindowTest, ChangePinResults) {
  CORVAShowCertDlg win(m_src);
  auto* change = win.findChild<QPushButton*>("1004");
  struct Row {
    uint32_t res;
    uint32_t retries;
    uint32_t msg;
    uint32_t caption;
    const char* text;
  } rows[] = {
      {ORVA_OK, 0, IDS_CHANGE_PIN_OK, IDS_CAPTION_PROMPT, "证书PIN码修改成功！"},
      {ORVA_E_PIN_INCORRECT, 4, IDS_PIN_WRONG_TRIES, IDS_CAPTION_ERROR, "证书PIN码验证失败！PIN码错误，剩余次数：4 次!"},
      {ORVA_E_PIN_LEN, 0, IDS_PIN_WRONG, IDS_CAPTION_ERROR, "证书PIN码验证失败！PIN码错误。"},
      {ORVA_E_PIN_LOCKED, 0, IDS_PIN_LOCKED, IDS_CAPTION_ERROR, "证书PIN码被锁，请解锁后重试！"},
      {ORVA_E_FAIL, 0, IDS_CHANGE_PIN_FAILED, IDS_CAPTION_ERROR, "修改证书PIN码失败!"},
  };
  for (const auto& r : rows) {
    m_src->changeResult = r.res;
    m_src->changeRetries = r.retries;
    m_rec->PushAnswer(R"({"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcd1234"})");
    m_rec->ClearRequests();
    change->click();
    auto msgs = Messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].ulTextId, r.msg);
    EXPECT_EQ(msgs[0].ulCaptionId, r.caption);
    EXPECT_EQ(msgs[0].strText, r.text);
    EXPECT_EQ(m_src->lastOld, "demo1234");
    EXPECT_EQ(m_src->lastNew, "abcd1234");
  }
  // Cancelled dialog: the token is not asked.
  m_src->lastOld.clear();
  m_rec->ClearRequests();
  change->click();
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(m_src->lastOld.empty());

  // Detect asks the source to enumerate again; online opens the configured address.
  win.findChild<QPushButton*>("1010")->click();
  EXPECT_EQ(m_src->rescans, 1);
  SetOrvaOnlineServiceUrl("https://127.0.0.1:9443/");
  win.SetOpenedFromTray(true);
  m_rec->ClearRequests();
  win.findChild<QPushButton*>("1005")->click();
  ASSERT_EQ(m_rec->Requests().size(), 1u);
  EXPECT_EQ(m_rec->Requests()[0].strDialog, "open_url");
  EXPECT_EQ(m_rec->Requests()[0].strPath, "https://127.0.0.1:9443/");
  SetOrvaOnlineServiceUrl("");
}
