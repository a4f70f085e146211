#include "app/tests/QtTestSupport.h"

#include <QAbstractButton>
#include <QTimer>

#include <cstdlib>

#include "platform/OpenSsl.h"

namespace orva::testing {

QApplication* TestApp() {
  static QApplication* app = [] {
    // Never without a display or the offscreen platform.
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "app_ui_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

bool WaitFor(const std::function<bool()>& pred, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<QWidget*> VisibleWindows(const QString& objectName) {
  std::vector<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == objectName) out.push_back(w);
  return out;
}

QWidget* WaitForWindow(const QString& objectName, int ms) {
  QWidget* found = nullptr;
  WaitFor([&] {
    auto v = VisibleWindows(objectName);
    found = v.empty() ? nullptr : v.front();
    return found != nullptr;
  }, ms);
  return found;
}

void Later(std::function<void()> fn, int ms) { QTimer::singleShot(ms, TestApp(), std::move(fn)); }

std::string AnswerMessageBox(int id, std::string* caption, std::vector<std::string>* buttons) {
  QWidget* w = WaitForWindow("messagebox");
  auto* box = qobject_cast<QMessageBox*>(w);
  if (!box) return "<no message box>";
  std::string text = box->text().toStdString();
  if (caption) *caption = box->windowTitle().toStdString();
  if (buttons) {
    buttons->clear();
    for (QAbstractButton* b : box->buttons())
      buttons->push_back(b->objectName().toStdString() + "=" + b->text().toStdString());
  }
  auto* b = box->findChild<QAbstractButton*>(QString::number(id));
  if (b)
    b->click();
  else
    box->reject();
  return text;
}

void AnswerNextMessageBox(int id, std::string* text, std::string* caption) {
  auto* timer = new QTimer(TestApp());
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, id, text, caption] {
    auto v = VisibleWindows("messagebox");
    if (v.empty()) return;
    auto* box = qobject_cast<QMessageBox*>(v.front());
    timer->stop();
    timer->deleteLater();
    *text = box->text().toStdString();
    if (caption) *caption = box->windowTitle().toStdString();
    if (auto* b = box->findChild<QAbstractButton*>(QString::number(id)))
      b->click();
    else
      box->reject();
  });
  timer->start();
}

TestCert MakeCert(const std::string& cn, int fromDays, int toDays, const TestCert* issuer, bool ca) {
  TestCert out;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  out.key = key;
  ossl::X509Ptr x(X509_new());
  X509_set_version(x.get(), 2);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), long(fromDays) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), long(toDays) * 86400);
  X509_set_pubkey(x.get(), key);
  X509_NAME* name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, (const unsigned char*)"CN", -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, (const unsigned char*)"测试机构", -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, (const unsigned char*)cn.c_str(), -1, -1, 0);
  EVP_PKEY* signKey = key;
  if (issuer) {
    const unsigned char* p = issuer->der.data();
    ossl::X509Ptr ix(d2i_X509(nullptr, &p, long(issuer->der.size())));
    X509_set_issuer_name(x.get(), X509_get_subject_name(ix.get()));
    signKey = static_cast<EVP_PKEY*>(issuer->key);
  } else {
    X509_set_issuer_name(x.get(), name);
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
  const char* exts[][2] = {{"basicConstraints", ca ? "critical,CA:TRUE" : "CA:FALSE"},
                           {"keyUsage", ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature"},
                           {"subjectKeyIdentifier", "hash"}};
  for (auto& e : exts) {
    ossl::X509ExtPtr ext(X509V3_EXT_conf(nullptr, &ctx, e[0], e[1]));
    if (ext) X509_add_ext(x.get(), ext.get(), -1);
  }
  X509_sign(x.get(), signKey, EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(x.get(), &der);
  out.der.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

void FreeKey(TestCert& c) {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(c.key));
  c.key = nullptr;
}

}  // namespace orva::testing
