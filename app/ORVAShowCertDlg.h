#pragma once
// The certificate window (template 108): the token list (1002), the certificates of the
// chosen token with their validity status (1031), and the commands view (1032), save
// (1033), change PIN (1004), online service (1005), about (1006), detect (1010) and close
// (2). It is modeless and closing only hides it.
//
// The status column is filled by one status thread at a time; its results are delivered
// to the GUI thread tagged with the fill they belong to, and results of an older fill (the
// user chose another token meanwhile) are dropped.
//
// The window reads tokens through CORVACertSource, so it needs nothing of the device layer
// but that interface.
#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QComboBox;
class QPushButton;
class QTableWidget;
class CORVAAboutDlg;

// Validity statuses of a certificate (check flag 0x1): 0 valid, 1 not yet valid, 2 expired,
// 4 revoked, 64 unknown.
class CORVACertSource {
 public:
  struct Cert {
    uint32_t ulUsage = 0;        // 1 signature, otherwise encryption
    std::vector<uint8_t> der;
    // The row's texts as the certificate object gives them; taken from `der` when empty.
    std::string subjectCN, issuerCN, notBefore, notAfter;
  };
  virtual ~CORVACertSource() = default;
  // One "label(serial)" entry per device, in the manager's order.
  virtual std::vector<std::string> DeviceNames() = 0;
  // The certificates of device `ulDevice` in index order; false when it cannot be read.
  virtual bool Certificates(size_t ulDevice, std::vector<Cert>& certs) = 0;
  // The validity-period status of one certificate; called on the status thread.
  virtual uint32_t ValidityStatus(size_t ulDevice, size_t ulCert, uint32_t& ulStatus) = 0;
  // Changes the user PIN; `ulRetries` receives the remaining tries the token reported.
  virtual uint32_t ChangeUserPin(size_t ulDevice, const std::string& strOld,
                                 const std::string& strNew, uint32_t& ulRetries) = 0;
  // Enumerates the devices again with refresh (events then refresh the window).
  virtual void Rescan() = 0;
};

class CORVAShowCertDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CORVAShowCertDlg(std::shared_ptr<CORVACertSource> source, QWidget* parent = nullptr);
  ~CORVAShowCertDlg() override;

  // Shows (true) or hides (false) the window.
  void ShowWindow(bool bShow);
  // Refills the token list (device events).
  void RefreshTokenList();
  // Opened from the tray: enables the online-service button.
  void SetOpenedFromTray(bool bFromTray);
  // The fill number of the certificate list now shown (tests wait on the status column).
  uint64_t Generation() const { return m_generation.load(); }
  // Waits up to `ms` for the status thread of the current fill to end.
  bool WaitStatusThread(int ms);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  void _FillCertList();
  void _StartStatusThread(size_t ulDevice, size_t ulCount);
  void _StopStatusThread();
  bool _CheckSelection(size_t& ulDevice, int& row, bool bNeedRow);
  void _OnView();
  void _OnSave();
  void _OnChangePin();
  void _OnOnline();
  void _OnAbout();
  void _OnDetect();

  std::shared_ptr<CORVACertSource> m_pSource;
  QComboBox* m_pTokens;
  QTableWidget* m_pList;
  QPushButton* m_pOnline;
  bool m_bFromTray = false;
  bool m_bAboutOpen = false;
  std::vector<bool> m_deviceValid;   // combo entry -> a real device (not [120])
  std::vector<CORVACertSource::Cert> m_certs;

  // Status thread.
  std::atomic<uint64_t> m_generation{0};
  struct StatusThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> stop;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  StatusThread m_status;
  // What status threads deliver to: cleared when the window goes, so a thread that
  // outlives it posts nothing.
  struct Sink {
    std::mutex lock;
    CORVAShowCertDlg* pDlg;
  };
  std::shared_ptr<Sink> m_pSink;
};
