#include "app/ORVAQtUI.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <cstdlib>
#include <thread>

#include "app/ORVACertViewDlg.h"
#include "app/ORVADialogs.h"
#include "app/ORVAMessageBox.h"
#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAResource.h"
#include "foundation/ResultCodes.h"

extern char** environ;

namespace {

struct PinAnswer {
  int end = ORVA_IDCANCEL;
  std::string first, second;
};

struct FileAnswer {
  bool ok = false;
  std::string path;
  uint32_t filterIndex = 1;
};

// "证书文件(*.cer)|*.cer|所有文件(*.*)|*.*||" -> Qt's "证书文件(*.cer) (*.cer);;...".
QStringList QtFilters(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty() && parts[i + 1].isEmpty()) break;
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    out << QString("%1 (%2)").arg(parts[i], patterns.simplified());
  }
  if (out.isEmpty()) {
    QStringList all = QString::fromStdString(CORVAResource::Instance().LoadString(IDS_ALL_FILES_FILTER)).split('|');
    out << QString("%1 (%2)").arg(all.value(0), all.value(1, "*"));
  }
  return out;
}

void ShowRequestWindow(QWidget* w, bool bModal) {
  w->setWindowModality(bModal ? Qt::ApplicationModal : Qt::NonModal);
  w->show();
  w->raise();
  w->activateWindow();
}

}  // namespace

CORVAQtUI::CORVAQtUI(QObject* parent) : QObject(parent) { setObjectName("OrvaQtUI"); }

CORVAQtUI::~CORVAQtUI() { Shutdown(); }

void CORVAQtUI::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(m_waitLock);
    m_bClosing = true;
  }
  m_waitCv.notify_all();
  if (QThread::currentThread() != thread()) return;
  for (auto& w : m_windows)
    if (w) w->close();
  m_windows.clear();
}

void CORVAQtUI::SetBalloonSink(std::function<void(uint32_t, const QString&, const QString&)> sink) {
  m_balloonSink = std::move(sink);
}

void CORVAQtUI::SetOpenCommand(const std::string& strProgram) { m_strOpenCommand = strProgram; }

std::vector<QWidget*> CORVAQtUI::OpenWindows() const {
  std::vector<QWidget*> out;
  for (const auto& w : m_windows)
    if (w && w->isVisible()) out.push_back(w.data());
  return out;
}

void CORVAQtUI::_Track(QWidget* w) {
  m_windows.remove_if([](const QPointer<QWidget>& p) { return p.isNull(); });
  m_windows.emplace_back(w);
}

template <class R>
R CORVAQtUI::_Run(std::function<QWidget*(bool, std::function<void(R)>)> open, R cancelled) {
  if (m_bClosing) return cancelled;
  struct State {
    bool done = false;
    std::optional<R> value;
  };
  auto st = std::make_shared<State>();
  auto finish = [this, st](R r) {
    {
      std::lock_guard<std::mutex> lock(m_waitLock);
      if (st->done) return;
      st->value = std::move(r);
      st->done = true;
    }
    m_waitCv.notify_all();
  };

  if (QThread::currentThread() == thread()) {
    // The GUI thread's own request: modal, answered inside a nested loop.
    QEventLoop loop;
    QPointer<QEventLoop> pLoop(&loop);
    QWidget* w = open(true, [finish, pLoop](R r) {
      finish(std::move(r));
      if (pLoop) pLoop->quit();
    });
    if (!w) return cancelled;
    _Track(w);
    bool done;
    {
      std::lock_guard<std::mutex> lock(m_waitLock);
      done = st->done;
    }
    if (!done) loop.exec();
  } else {
    // Another thread: the window is built on the GUI thread; this caller waits. The
    // context object drops the call if this object is gone before it runs.
    QMetaObject::invokeMethod(
        this,
        [this, open, finish, cancelled] {
          if (m_bClosing) return finish(cancelled);
          QWidget* w = open(false, finish);
          if (w)
            _Track(w);
          else
            finish(cancelled);
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(m_waitLock);
    m_waitCv.wait(lock, [&] { return st->done || m_bClosing.load(); });
  }
  std::lock_guard<std::mutex> lock(m_waitLock);
  if (!st->done) return cancelled;
  return std::move(*st->value);
}

int CORVAQtUI::ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) {
  PinAnswer a = _Run<PinAnswer>(
      [strOrigin](bool bModal, std::function<void(PinAnswer)> finish) -> QWidget* {
        auto* dlg = new CORVAPinInputDlg(strOrigin);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int r) {
          PinAnswer a;
          a.end = r == 1 ? ORVA_IDOK : ORVA_IDCANCEL;
          if (r == 1) a.first = dlg->TakePin();
          finish(std::move(a));
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      PinAnswer{});
  if (a.end == ORVA_IDOK) strPin = std::move(a.first);
  OrvaSecureZero(a.first);
  return a.end;
}

int CORVAQtUI::ShowPinChangeDlg(const std::string& strOrigin, std::string& strOldPin,
                                std::string& strNewPin) {
  PinAnswer a = _Run<PinAnswer>(
      [strOrigin](bool bModal, std::function<void(PinAnswer)> finish) -> QWidget* {
        auto* dlg = new CORVAPinChangeDlg(strOrigin);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int r) {
          PinAnswer a;
          a.end = r == 1 ? ORVA_IDOK : ORVA_IDCANCEL;
          if (r == 1) dlg->TakePins(a.first, a.second);
          finish(std::move(a));
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      PinAnswer{});
  if (a.end == ORVA_IDOK) {
    strOldPin = std::move(a.first);
    strNewPin = std::move(a.second);
  }
  OrvaSecureZero(a.first);
  OrvaSecureZero(a.second);
  return a.end;
}

int CORVAQtUI::ShowUnlockDlg(uint32_t ulMode, const std::string& strOrigin, std::string& strNewPin) {
  PinAnswer a = _Run<PinAnswer>(
      [ulMode, strOrigin](bool bModal, std::function<void(PinAnswer)> finish) -> QWidget* {
        auto* dlg = new CORVAUnlockDlg(ulMode, strOrigin);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int r) {
          PinAnswer a;
          a.end = r == 1 ? ORVA_IDOK : ORVA_IDCANCEL;
          if (r == 1) a.first = dlg->TakePin();
          finish(std::move(a));
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      PinAnswer{});
  if (a.end == ORVA_IDOK) strNewPin = std::move(a.first);
  OrvaSecureZero(a.first);
  return a.end;
}

OrvaConsent CORVAQtUI::AskConsent(const std::string& strOrigin) {
  int end = _Run<int>(
      [strOrigin](bool bModal, std::function<void(int)> finish) -> QWidget* {
        auto* dlg = new CORVAConsentDlg(strOrigin);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int r) {
          finish(r);
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      2);
  ORVA_LOG_INFO("Consent for %s: %d", strOrigin.c_str(), end);
  return end == 3 ? OrvaConsent::AlwaysAllow : end == 1 ? OrvaConsent::AllowOnce : OrvaConsent::Refuse;
}

int CORVAQtUI::ShowMessageBox(const ORVA_MESSAGE& msg) {
  // What closing the box answers, for a caller cancelled by shut-down.
  int cancelled = (msg.ulType & ORVA_MB_TYPEMASK) == ORVA_MB_OK      ? ORVA_IDOK
                  : (msg.ulType & ORVA_MB_TYPEMASK) == ORVA_MB_YESNO ? ORVA_IDNO
                  : (msg.ulType & ORVA_MB_TYPEMASK) == ORVA_MB_ABORTRETRYIGNORE ? ORVA_IDABORT
                                                                                : ORVA_IDCANCEL;
  return _Run<int>(
      [msg](bool bModal, std::function<void(int)> finish) -> QWidget* {
        QMessageBox* box = CreateOrvaMessageBox(msg, nullptr);
        QObject::connect(box, &QDialog::finished, box, [box, finish](int) {
          finish(OrvaMessageBoxResult(box));
          box->deleteLater();
        });
        ShowRequestWindow(box, bModal);
        return box;
      },
      cancelled);
}

bool CORVAQtUI::ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) {
  ORVA_FILE_DIALOG r = req;
  FileAnswer a = _Run<FileAnswer>(
      [r](bool bModal, std::function<void(FileAnswer)> finish) -> QWidget* {
        auto* dlg = new QFileDialog;
        dlg->setObjectName("filedialog");
        dlg->setOption(QFileDialog::DontUseNativeDialog, true);
        dlg->setWindowTitle(QString::fromStdString(
            !r.strTitle.empty() ? r.strTitle
                                : CORVAResource::Instance().LoadString(IDS_OPEN_FILE_TITLE)));
        QStringList filters = QtFilters(r.strFilter);
        dlg->setNameFilters(filters);
        if (r.ulFilterIndex >= 1 && int(r.ulFilterIndex) <= filters.size())
          dlg->selectNameFilter(filters[int(r.ulFilterIndex) - 1]);
        if (r.bSave) {
          dlg->setAcceptMode(QFileDialog::AcceptSave);
          dlg->setFileMode(QFileDialog::AnyFile);
          dlg->setOption(QFileDialog::DontConfirmOverwrite, !r.bOverwritePrompt);
          if (!r.strInitialName.empty()) dlg->selectFile(QString::fromStdString(r.strInitialName));
        } else {
          dlg->setAcceptMode(QFileDialog::AcceptOpen);
          dlg->setFileMode(QFileDialog::ExistingFile);
        }
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish, filters](int res) {
          FileAnswer a;
          QStringList files = dlg->selectedFiles();
          if (res == QDialog::Accepted && !files.isEmpty() && !files[0].isEmpty()) {
            a.ok = true;
            a.path = files[0].toStdString();
            a.filterIndex = static_cast<uint32_t>(filters.indexOf(dlg->selectedNameFilter()) + 1);
            if (a.filterIndex == 0) a.filterIndex = 1;
          }
          finish(std::move(a));
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      FileAnswer{});
  if (!a.ok) return false;
  strPath = a.path;
  req.ulFilterIndex = a.filterIndex;
  return true;
}

bool CORVAQtUI::ChooseFolder(const std::string& strTitle, std::string& strPath) {
  FileAnswer a = _Run<FileAnswer>(
      [strTitle](bool bModal, std::function<void(FileAnswer)> finish) -> QWidget* {
        auto* dlg = new QFileDialog;
        dlg->setObjectName("folderdialog");
        dlg->setOption(QFileDialog::DontUseNativeDialog, true);
        dlg->setOption(QFileDialog::ShowDirsOnly, true);
        dlg->setFileMode(QFileDialog::Directory);
        dlg->setWindowTitle(QString::fromStdString(
            !strTitle.empty() ? strTitle
                              : CORVAResource::Instance().LoadString(IDS_CHOOSE_FOLDER_TITLE)));
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int res) {
          FileAnswer a;
          QStringList files = dlg->selectedFiles();
          if (res == QDialog::Accepted && !files.isEmpty() && !files[0].isEmpty()) {
            a.ok = true;
            a.path = files[0].toStdString();
          }
          finish(std::move(a));
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      FileAnswer{});
  if (!a.ok) return false;
  strPath = a.path;
  return true;
}

void CORVAQtUI::ShowCertificate(const std::vector<uint8_t>& certDer,
                                const std::vector<std::vector<uint8_t>>& chainDer,
                                const std::string& strTitle) {
  _Run<int>(
      [certDer, chainDer, strTitle](bool bModal, std::function<void(int)> finish) -> QWidget* {
        auto* dlg = new CORVACertViewDlg(certDer, chainDer, strTitle);
        QObject::connect(dlg, &QDialog::finished, dlg, [dlg, finish](int r) {
          finish(r);
          dlg->deleteLater();
        });
        ShowRequestWindow(dlg, bModal);
        return dlg;
      },
      0);
}

void CORVAQtUI::ShowBalloon(uint32_t ulInfoFlags, const std::string& strTitle,
                            const std::string& strText) {
  QString title = QString::fromStdString(strTitle), text = QString::fromStdString(strText);
  QMetaObject::invokeMethod(
      this,
      [this, ulInfoFlags, title, text] {
        if (m_balloonSink)
          m_balloonSink(ulInfoFlags, title, text);
        else
          ORVA_LOG_INFO("Balloon without a tray icon: %s", text.toStdString().c_str());
      },
      Qt::QueuedConnection);
}

uint32_t CORVAQtUI::OpenFolder(const std::string& strPath) {
  // Resolved first, so the launcher always gets an absolute path (never an option).
  char resolved[PATH_MAX];
  struct stat st;
  if (strPath.empty() || ::realpath(strPath.c_str(), resolved) == nullptr ||
      ::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    ORVA_LOG_ERROR("Not a folder, not opened: %s", strPath.c_str());
    return ORVA_E_INVALID_PARAM;
  }
  return _Launch(resolved);
}

uint32_t CORVAQtUI::OpenUrl(const std::string& strUrl) {
  if (!OrvaIsWebAddress(strUrl)) {
    ORVA_LOG_ERROR("Not a web address, not opened: %s", strUrl.c_str());
    return ORVA_E_INVALID_PARAM;
  }
  return _Launch(strUrl);
}

uint32_t CORVAQtUI::_Launch(const std::string& strArg) {
  // An argument vector, never a shell.
  std::string prog = m_strOpenCommand;
  std::vector<char*> argv = {prog.data(), const_cast<char*>(strArg.c_str()), nullptr};
  pid_t pid = 0;
  int err = posix_spawnp(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ);
  if (err != 0) {
    ORVA_LOG_ERROR("posix_spawnp(%s) failed! errno=%d", prog.c_str(), err);
    return ConvertErrno(err);
  }
  // Reap it without blocking anyone.
  std::thread([pid] {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return ORVA_OK;
}
