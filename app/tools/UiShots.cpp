// Shows each window of the user interface on the display and saves what the X server shows
// of it as a PNG: the PIN entry, PIN change, unlock, settings, about, consent and
// certificate windows, the certificate view, and a message box with the English labels.
//   orva_ui_shots <folder>        (needs DISPLAY; scripts/ui-screenshots runs it under Xvfb)
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "app/ORVACertViewDlg.h"
#include "app/ORVADialogs.h"
#include "app/ORVAMessageBox.h"
#include "app/ORVAShowCertDlg.h"
#include "app/tests/QtTestSupport.h"
#include "foundation/ORVAResource.h"
#include "foundation/ResultCodes.h"

namespace {

// Two tokens of certificates made here (the window's lists need some).
class ShotSource : public CORVACertSource {
 public:
  std::vector<std::vector<Cert>> certs;
  std::vector<uint32_t> statuses = {0, 2, 1};
  std::vector<std::string> DeviceNames() override { return {"OrvaDesk Demo(SN20240001)", "UKey(SN20240002)"}; }
  bool Certificates(size_t d, std::vector<Cert>& out) override {
    if (d >= certs.size()) return false;
    out = certs[d];
    return true;
  }
  uint32_t ValidityStatus(size_t, size_t c, uint32_t& st) override {
    st = c < statuses.size() ? statuses[c] : 64;
    return ORVA_OK;
  }
  uint32_t ChangeUserPin(size_t, const std::string&, const std::string&, uint32_t&) override { return ORVA_OK; }
  void Rescan() override {}
};

bool Shoot(QWidget* w, const QString& path) {
  w->move(16, 16);
  w->show();
  w->raise();
  orva::testing::WaitFor([] { return false; }, 600);  // painted and mapped
  QScreen* screen = QApplication::primaryScreen();
  QRect r = w->frameGeometry().adjusted(-6, -6, 6, 6);
  QPixmap pm = screen->grabWindow(0, r.x(), r.y(), r.width(), r.height());
  bool ok = pm.save(path);
  std::printf("%s %s %dx%d\n", ok ? "saved" : "FAILED", path.toUtf8().constData(), r.width(), r.height());
  w->hide();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::getenv("DISPLAY")) {
    std::fprintf(stderr, "usage: DISPLAY=:N orva_ui_shots <folder>\n");
    return 2;
  }
  QApplication app(argc, argv);
  QString dir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(dir);
  int failures = 0;
  auto shot = [&](QWidget* w, const char* name) { failures += Shoot(w, dir + "/" + name + ".png") ? 0 : 1; };

  CORVAPinInputDlg pin("https://bank.example");
  shot(&pin, "pin_entry");
  CORVAPinChangeDlg change("");
  shot(&change, "pin_change");
  CORVAUnlockDlg unlock(ORVA_UNLOCK_MODE_UNLOCK, "https://ra.example");
  shot(&unlock, "unlock");
  CORVASettingDlg settings;
  shot(&settings, "settings");
  CORVAAboutDlg about(OrvaProductVersion());
  shot(&about, "about");
  CORVAConsentDlg consent("https://sign.example:8443");
  shot(&consent, "consent");

  using orva::testing::MakeCert;
  auto ca = MakeCert("Orva Test CA", -100, 3650, nullptr, true);
  auto sign = MakeCert("张三", -30, 700, &ca);
  auto exch = MakeCert("张三", -800, -3, &ca);
  auto next = MakeCert("张三", 5, 900, &ca);
  auto source = std::make_shared<ShotSource>();
  source->certs = {{{1, sign.der}, {2, exch.der}, {1, next.der}}, {}};
  CORVAShowCertDlg window(source);
  window.SetOpenedFromTray(true);
  window.findChild<QTableWidget*>("1031")->selectRow(0);
  window.WaitStatusThread(5000);
  shot(&window, "cert_window");

  CORVACertViewDlg view(sign.der, {ca.der}, "");
  shot(&view, "cert_view");
  if (auto* tabs = view.findChild<QTabWidget*>("tabs")) {
    tabs->setCurrentIndex(1);
    shot(&view, "cert_view_details");
    tabs->setCurrentIndex(2);
    shot(&view, "cert_view_path");
  }

  CORVAResource::Instance().LoadEnglishFile(QCoreApplication::applicationDirPath().toStdString() +
                                            "/" + kOrvaEnglishResourceFile);
  CORVAResource& res = CORVAResource::Instance();
  ORVA_MESSAGE m{IDS_PIN_WRONG_TRIES, res.FormatString(IDS_PIN_WRONG_TRIES, {4}), IDS_CAPTION_ERROR,
                 res.LoadString(IDS_CAPTION_ERROR), ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR};
  QMessageBox* box = CreateOrvaMessageBox(m, nullptr);
  shot(box, "message_english");
  delete box;
  ORVA_MESSAGE ask{IDS_PIN_ENHANCE_ASK, res.LoadString(IDS_PIN_ENHANCE_ASK), IDS_CAPTION_PROMPT,
                   res.LoadString(IDS_CAPTION_PROMPT), ORVA_MB_OKCANCEL | ORVA_MB_ICONINFORMATION};
  box = CreateOrvaMessageBox(ask, nullptr);
  shot(box, "message_english_weak_pin");
  delete box;
  CORVAPinInputDlg pinEn("https://bank.example");
  shot(&pinEn, "pin_entry_english");
  for (auto* c : {&ca, &sign, &exch, &next}) orva::testing::FreeKey(*c);
  return failures == 0 ? 0 : 1;
}
