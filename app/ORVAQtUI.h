#pragma once
// The Qt implementation of the user interface. Construct it on the GUI thread once a
// QApplication exists (on a display or the offscreen platform) and install it with
// SetOrvaUserInterface.
//
// Every request runs on the GUI thread. A caller on another thread (a connection of the
// web service) waits until the user answers; its dialog is a window of its own, so several
// connections can each have a dialog open and answer in any order. A caller on the GUI
// thread gets an application-modal dialog and waits in a nested event loop. Shutdown()
// answers every waiting caller with cancel and closes the dialogs it opened.
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

#include "foundation/ORVAUserInterface.h"

class CORVAQtUI : public QObject, public CORVAUserInterface {
  Q_OBJECT
 public:
  explicit CORVAQtUI(QObject* parent = nullptr);
  ~CORVAQtUI() override;

  void Shutdown();
  // Where balloons go (the tray icon); without one a balloon is only logged.
  void SetBalloonSink(std::function<void(uint32_t, const QString&, const QString&)> sink);
  // The program xdg-open's role is played by (tests point it at a recorder).
  void SetOpenCommand(const std::string& strProgram);

  // Dialog windows this object has open now (for tests and for Shutdown).
  std::vector<QWidget*> OpenWindows() const;

  bool IsInteractive() const override { return true; }
  int ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) override;
  int ShowPinChangeDlg(const std::string& strOrigin, std::string& strOldPin,
                       std::string& strNewPin) override;
  int ShowUnlockDlg(uint32_t ulMode, const std::string& strOrigin,
                    std::string& strNewPin) override;
  OrvaConsent AskConsent(const std::string& strOrigin) override;
  int ShowMessageBox(const ORVA_MESSAGE& msg) override;
  bool ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) override;
  bool ChooseFolder(const std::string& strTitle, std::string& strPath) override;
  void ShowCertificate(const std::vector<uint8_t>& certDer,
                       const std::vector<std::vector<uint8_t>>& chainDer,
                       const std::string& strTitle) override;
  void ShowBalloon(uint32_t ulInfoFlags, const std::string& strTitle,
                   const std::string& strText) override;
  uint32_t OpenFolder(const std::string& strPath) override;
  uint32_t OpenUrl(const std::string& strUrl) override;

 private:
  // One request: `open` builds and shows its window on the GUI thread and arranges for
  // `finish` to be called once with the answer. Returns `cancelled` when shut down.
  template <class R>
  R _Run(std::function<QWidget*(bool bModal, std::function<void(R)> finish)> open, R cancelled);
  void _Track(QWidget* w);
  uint32_t _Launch(const std::string& strArg);

  std::atomic<bool> m_bClosing{false};
  std::mutex m_waitLock;
  std::condition_variable m_waitCv;
  std::list<QPointer<QWidget>> m_windows;  // GUI thread only
  std::function<void(uint32_t, const QString&, const QString&)> m_balloonSink;
  std::string m_strOpenCommand = "xdg-open";
};
