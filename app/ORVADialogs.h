#pragma once
// The dialogs of the program, built from the resource module's templates (texts by control
// identifier). Every control that has an identifier in the template carries it as its Qt
// object name ("1001", "1" for OK, "2" for cancel); controls without one carry the name of
// their text in the resource module ("group", "reminder", ...).
//
// All dialogs live on the GUI thread. Show(true) runs one modally and returns its end value
// (1 OK, 2 cancel); Show(false) shows it and returns 0 at once, its end value arriving
// through the finished signal.
#include <QDialog>
#include <QIcon>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QCheckBox;
class QPushButton;

// UTF-8 text of the resource module as a QString.
QString OrvaText(uint32_t ulStringId);
QString OrvaDlgText(uint32_t ulTemplate, const char* key);

// The program's icon (104) and logo (117), drawn once.
QIcon OrvaAppIcon();
QPixmap OrvaLogo(int size);

// The address the "forgot PIN" links and the online-service button open (the tray sets
// it from its online-service check); "" opens nothing.
void SetOrvaOnlineServiceUrl(const std::string& url);
std::string OrvaOnlineServiceUrl();

// The program version shown by the about dialog.
std::string OrvaProductVersion();

class CORVABaseDlg : public QDialog {
  Q_OBJECT
 public:
  CORVABaseDlg(uint32_t ulTemplate, QWidget* parent = nullptr);
  uint32_t TemplateId() const { return m_ulTemplate; }

  // Modal: the end value (1 OK, 2 cancel). Modeless: 0 after showing the window.
  int Show(bool bModal);

 protected:
  virtual void OnInitDialog() {}
  virtual void OnOK() { done(1); }
  virtual void OnCancel() { done(2); }

  // Builders for the template's controls.
  QPushButton* _Button(const char* id);
  QLabel* _Static(const char* key);
  QLineEdit* _PasswordEdit(const char* id);
  QLabel* _Link(const char* id, const QString& text);
  // A message box of this dialog (through ShowMessageBox), modal on the GUI thread.
  int _Message(uint32_t ulTextId, uint32_t ulCaptionId, uint32_t ulType);

  void reject() override { OnCancel(); }
  void accept() override { OnOK(); }
  void showEvent(QShowEvent* e) override;

 private:
  uint32_t m_ulTemplate;
  bool m_bInitDone = false;
};

// 101: "此操作需要验证您的UKey PIN码：". Names the requesting web origin when there is one.
class CORVAPinInputDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  explicit CORVAPinInputDlg(const std::string& strOrigin, QWidget* parent = nullptr);
  // After end value 1: the PIN as typed (the edit is emptied when read).
  std::string TakePin();

 protected:
  void OnInitDialog() override;
  void OnOK() override;

 private:
  QLineEdit* m_pEdit;
  std::string m_strPin;
};

// 102: old, new and confirmed PIN.
class CORVAPinChangeDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  explicit CORVAPinChangeDlg(const std::string& strOrigin, QWidget* parent = nullptr);
  void TakePins(std::string& strOld, std::string& strNew);

 protected:
  void OnInitDialog() override;
  void OnOK() override;

 private:
  QLineEdit* m_pOld;
  QLineEdit* m_pNew;
  QLineEdit* m_pConfirm;
  std::string m_strOld, m_strNew;
};

// 103: set (mode 1) or unlock (mode 2) the user PIN.
class CORVAUnlockDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  CORVAUnlockDlg(uint32_t ulMode, const std::string& strOrigin, QWidget* parent = nullptr);
  std::string TakePin();

 protected:
  void OnInitDialog() override;
  void OnOK() override;

 private:
  uint32_t m_ulMode;
  QLineEdit* m_pNew;
  QLineEdit* m_pConfirm;
  std::string m_strPin;
};

// 113: the user options "AutoCheckUpdate" (1003) and "AutoShowOnline" (1005).
class CORVASettingDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  explicit CORVASettingDlg(QWidget* parent = nullptr);

 protected:
  void OnInitDialog() override;
  void OnOK() override;

 private:
  QCheckBox* m_pAutoRun;
  QCheckBox* m_pAutoUpdate;
  QCheckBox* m_pAutoShow;
};

// 112: product, version and the support organisation; its link opens the web address.
class CORVAAboutDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  explicit CORVAAboutDlg(const std::string& strVersion, QWidget* parent = nullptr);

 protected:
  void OnInitDialog() override;

 private:
  std::string m_strVersion;
};

// 115: "may this web site use OrvaDesk?" End values: 1 allow once, 3 always, 2 refuse.
class CORVAConsentDlg : public CORVABaseDlg {
  Q_OBJECT
 public:
  explicit CORVAConsentDlg(const std::string& strOrigin, QWidget* parent = nullptr);

 protected:
  void OnInitDialog() override;
  void OnOK() override { done(2); }  // only the two allow buttons approve
};
