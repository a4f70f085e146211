#include "app/ORVAShowCertDlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <chrono>

#include "app/ORVACertViewDlg.h"
#include "app/ORVADialogs.h"
#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/ResultCodes.h"
#include "foundation/Stream.h"

namespace {

uint32_t StatusText(uint32_t ulStatus) {
  switch (ulStatus) {
    case 0: return IDS_STATUS_VALID;
    case 1: return IDS_STATUS_NOT_YET_VALID;
    case 2: return IDS_STATUS_EXPIRED;
    case 4: return IDS_STATUS_REVOKED;
    default: return IDS_STATUS_UNKNOWN;
  }
}

constexpr int kStatusColumn = 5;

}  // namespace

CORVAShowCertDlg::CORVAShowCertDlg(std::shared_ptr<CORVACertSource> source, QWidget* parent)
    : QDialog(parent), m_pSource(std::move(source)), m_pSink(std::make_shared<Sink>()) {
  m_pSink->pDlg = this;
  setObjectName("dialog108");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  setModal(false);
  auto T = [](const char* key) { return OrvaDlgText(IDD_SHOW_CERT, key); };
  auto button = [&](const char* id) {
    auto* b = new QPushButton(T(id));
    b->setObjectName(id);
    b->setAutoDefault(false);
    return b;
  };

  // Initialisation: icon, caption [121], columns, grid lines, full-row selection.
  setWindowIcon(OrvaAppIcon());
  setWindowTitle(OrvaText(IDS_PRODUCT_NAME));
  setMinimumSize(365 * 3 / 2 + 40, 189 * 13 / 8 + 40);

  auto* media = new QGroupBox(T("group_media"));
  media->setObjectName("group_media");
  auto* mh = new QHBoxLayout(media);
  m_pTokens = new QComboBox;
  m_pTokens->setObjectName("1002");
  QPushButton* detect = button("1010");
  mh->addWidget(m_pTokens, 1);
  mh->addWidget(detect);

  auto* certs = new QGroupBox(T("group_cert"));
  certs->setObjectName("group_cert");
  auto* cv = new QVBoxLayout(certs);
  m_pList = new QTableWidget(0, 6);
  m_pList->setObjectName("1031");
  m_pList->setHorizontalHeaderLabels({OrvaText(IDS_COL_USAGE), OrvaText(IDS_COL_SUBJECT),
                                      OrvaText(IDS_COL_ISSUER), OrvaText(IDS_COL_NOT_BEFORE),
                                      OrvaText(IDS_COL_NOT_AFTER), OrvaText(IDS_COL_STATUS)});
  const int widths[] = {50, 120, 80, 80, 80, 80};
  // Pixel widths of the report view, widened a fifth for this platform's larger font.
  for (int i = 0; i < 6; ++i) m_pList->setColumnWidth(i, widths[i] * 6 / 5);
  m_pList->setShowGrid(true);
  m_pList->setWordWrap(false);
  m_pList->setTextElideMode(Qt::ElideRight);
  m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pList->verticalHeader()->setVisible(false);
  m_pList->horizontalHeader()->setStretchLastSection(true);
  cv->addWidget(m_pList);

  QPushButton* changePin = button("1004");
  QPushButton* view = button("1032");
  QPushButton* save = button("1033");
  m_pOnline = button("1005");
  QPushButton* about = button("1006");
  QPushButton* close = button("2");
  auto* row = new QHBoxLayout;
  row->addWidget(changePin);
  row->addWidget(view);
  row->addWidget(save);
  row->addWidget(m_pOnline);
  row->addWidget(about);
  row->addStretch(1);
  row->addWidget(close);

  auto* v = new QVBoxLayout(this);
  v->addWidget(media);
  v->addWidget(certs, 1);
  v->addLayout(row);

  connect(m_pTokens, qOverload<int>(&QComboBox::activated), this, [this] { _FillCertList(); });
  connect(detect, &QPushButton::clicked, this, [this] { _OnDetect(); });
  connect(view, &QPushButton::clicked, this, [this] { _OnView(); });
  connect(m_pList, &QTableWidget::cellDoubleClicked, this, [this] { _OnView(); });
  connect(save, &QPushButton::clicked, this, [this] { _OnSave(); });
  connect(changePin, &QPushButton::clicked, this, [this] { _OnChangePin(); });
  connect(m_pOnline, &QPushButton::clicked, this, [this] { _OnOnline(); });
  connect(about, &QPushButton::clicked, this, [this] { _OnAbout(); });
  connect(close, &QPushButton::clicked, this, [this] { reject(); });

  m_pOnline->setEnabled(m_bFromTray);
  resize(660, 380);
  RefreshTokenList();
}

CORVAShowCertDlg::~CORVAShowCertDlg() {
  {
    std::lock_guard<std::mutex> lock(m_pSink->lock);
    m_pSink->pDlg = nullptr;
  }
  _StopStatusThread();
}

void CORVAShowCertDlg::ShowWindow(bool bShow) {
  if (bShow) {
    show();
    raise();
    activateWindow();
  } else {
    hide();
  }
}

void CORVAShowCertDlg::SetOpenedFromTray(bool bFromTray) {
  m_bFromTray = bFromTray;
  m_pOnline->setEnabled(bFromTray);
}

void CORVAShowCertDlg::closeEvent(QCloseEvent* e) {
  e->ignore();
  reject();
}

void CORVAShowCertDlg::reject() {
  // Close: only hidden, with the online-service button set again from the flag.
  m_pOnline->setEnabled(m_bFromTray);
  hide();
}

void CORVAShowCertDlg::RefreshTokenList() {
  m_pTokens->clear();
  m_deviceValid.clear();
  std::vector<std::string> names = m_pSource ? m_pSource->DeviceNames() : std::vector<std::string>();
  if (names.empty()) {
    m_pTokens->addItem(OrvaText(IDS_NO_MEDIA));
    m_deviceValid.push_back(false);
  }
  for (const auto& n : names) {
    m_pTokens->addItem(QString::fromStdString(n));
    m_deviceValid.push_back(true);
  }
  m_pTokens->setCurrentIndex(0);
  _FillCertList();
}

void CORVAShowCertDlg::_FillCertList() {
  m_pList->setRowCount(0);
  m_certs.clear();
  int sel = m_pTokens->currentIndex();
  size_t dev = sel < 0 ? 0 : static_cast<size_t>(sel);
  bool valid = sel >= 0 && dev < m_deviceValid.size() && m_deviceValid[dev];
  if (valid && !m_pSource->Certificates(dev, m_certs)) m_certs.clear();
  for (size_t i = 0; i < m_certs.size(); ++i) {
    ORVA_CERT_TEXTS t;
    OrvaDescribeCertificate(m_certs[i].der, t);
    const CORVACertSource::Cert& c = m_certs[i];
    if (!c.subjectCN.empty()) t.subjectCN = c.subjectCN;
    if (!c.issuerCN.empty()) t.issuerCN = c.issuerCN;
    if (!c.notBefore.empty()) t.notBeforeDate = c.notBefore;
    if (!c.notAfter.empty()) t.notAfterDate = c.notAfter;
    int r = m_pList->rowCount();
    m_pList->insertRow(r);
    const QString cells[] = {OrvaText(m_certs[i].ulUsage == 1 ? IDS_USAGE_SIGN : IDS_USAGE_EXCH),
                             QString::fromStdString(t.subjectCN),
                             QString::fromStdString(t.issuerCN),
                             QString::fromStdString(t.notBeforeDate),
                             QString::fromStdString(t.notAfterDate),
                             OrvaText(IDS_STATUS_CHECKING)};
    for (int c = 0; c < 6; ++c) m_pList->setItem(r, c, new QTableWidgetItem(cells[c]));
  }
  _StartStatusThread(dev, valid ? m_certs.size() : 0);
}

void CORVAShowCertDlg::_StopStatusThread() {
  if (!m_status.thread.joinable()) return;
  m_status.stop->store(true);
  // Wait up to 3 s; a check that will not end is left to finish on its own (its results
  // carry an old fill number and are dropped).
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
  while (!m_status.finished->load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (m_status.finished->load())
    m_status.thread.join();
  else
    m_status.thread.detach();
}

bool CORVAShowCertDlg::WaitStatusThread(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (m_status.finished && !m_status.finished->load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return !m_status.finished || m_status.finished->load();
}

void CORVAShowCertDlg::_StartStatusThread(size_t ulDevice, size_t ulCount) {
  _StopStatusThread();
  uint64_t gen = ++m_generation;
  m_status.stop = std::make_shared<std::atomic<bool>>(false);
  m_status.finished = std::make_shared<std::atomic<bool>>(false);
  auto stop = m_status.stop;
  auto finished = m_status.finished;
  std::shared_ptr<CORVACertSource> source = m_pSource;
  std::shared_ptr<Sink> sink = m_pSink;
  m_status.thread = std::thread([=] {
    try {
      for (size_t i = 0; i < ulCount && !stop->load(); ++i) {
        uint32_t ulStatus = 64;
        if (source->ValidityStatus(ulDevice, i, ulStatus) != ORVA_OK) ulStatus = 64;
        if (stop->load()) break;
        // Delivered to the GUI thread; dropped there when another fill has begun.
        std::lock_guard<std::mutex> lock(sink->lock);
        CORVAShowCertDlg* dlg = sink->pDlg;
        if (!dlg) break;
        QMetaObject::invokeMethod(
            dlg,
            [dlg, gen, i, ulStatus] {
              if (dlg->m_generation.load() != gen || int(i) >= dlg->m_pList->rowCount()) return;
              dlg->m_pList->item(int(i), kStatusColumn)->setText(OrvaText(StatusText(ulStatus)));
            },
            Qt::QueuedConnection);
      }
    } catch (...) {
      ORVA_LOG_ERROR("The status thread caught an exception.");
    }
    finished->store(true);
  });
}

bool CORVAShowCertDlg::_CheckSelection(size_t& ulDevice, int& row, bool bNeedRow) {
  int sel = m_pTokens->currentIndex();
  if (sel < 0 || size_t(sel) >= m_deviceValid.size() || !m_deviceValid[size_t(sel)]) {
    OrvaMessageBox(IDS_NO_DEVICE_SELECTED, IDS_CAPTION_PROMPT, ORVA_MB_OK | ORVA_MB_ICONWARNING);
    return false;
  }
  ulDevice = size_t(sel);
  if (!bNeedRow) return true;
  auto rows = m_pList->selectionModel()->selectedRows();
  if (rows.isEmpty()) {
    OrvaMessageBox(IDS_NO_CERT_SELECTED, IDS_CAPTION_PROMPT, ORVA_MB_OK | ORVA_MB_ICONWARNING);
    return false;
  }
  row = rows.first().row();
  if (row < 0 || size_t(row) >= m_certs.size() || m_certs[size_t(row)].der.empty()) {
    OrvaMessageBox(IDS_GET_CERT_FAILED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    return false;
  }
  return true;
}

void CORVAShowCertDlg::_OnView() {
  size_t dev;
  int row;
  if (!_CheckSelection(dev, row, true)) return;
  GetOrvaUserInterface()->ShowCertificate(m_certs[size_t(row)].der, {},
                                          OrvaDlgText(IDD_CERT_VIEW, "caption").toStdString());
}

void CORVAShowCertDlg::_OnSave() {
  size_t dev;
  int row;
  if (!_CheckSelection(dev, row, true)) return;
  ORVA_FILE_DIALOG fd;
  fd.bSave = true;
  fd.strTitle = CORVAResource::Instance().LoadString(IDS_SAVE_CERT_TITLE);
  fd.strFilter = CORVAResource::Instance().LoadString(IDS_CERT_FILE_FILTER);
  fd.ulFilterIndex = 1;
  fd.bCreatePrompt = true;
  std::string path;
  if (!GetOrvaUserInterface()->ChooseFile(fd, path)) return;  // cancelled: silently
  if (path.size() > 259) path.resize(259);
  if (fd.ulFilterIndex == 1) path += ".cer";
  const std::vector<uint8_t>& der = m_certs[size_t(row)].der;
  if (der.empty()) {
    OrvaMessageBox(IDS_EXPORT_CERT_FAILED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    return;
  }
  CFileStream file;
  if (file.OpenFile(path, CFileStream::AccessWrite, true) != ORVA_OK) {
    OrvaMessageBox(IDS_CREATE_FILE_FAILED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    return;
  }
  uint32_t written = 0;
  uint32_t res = file.Write(der.data(), static_cast<uint32_t>(der.size()), &written);
  file.CloseFile();
  if (res != ORVA_OK || written != der.size()) {
    OrvaMessageBox(IDS_WRITE_CERT_FAILED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    return;
  }
  OrvaMessageBox(IDS_SAVE_FILE_OK, IDS_CAPTION_SUCCESS, ORVA_MB_OK | ORVA_MB_ICONINFORMATION);
}

void CORVAShowCertDlg::_OnChangePin() {
  size_t dev;
  int row;
  if (!_CheckSelection(dev, row, false)) return;
  std::string oldPin, newPin;
  if (GetOrvaUserInterface()->ShowPinChangeDlg("", oldPin, newPin) != ORVA_IDOK) return;
  uint32_t ulRetries = 0;
  uint32_t res = m_pSource->ChangeUserPin(dev, oldPin, newPin, ulRetries);
  OrvaSecureZero(oldPin);
  OrvaSecureZero(newPin);
  if (res == ORVA_OK) {
    OrvaMessageBox(IDS_CHANGE_PIN_OK, IDS_CAPTION_PROMPT, ORVA_MB_OK | ORVA_MB_ICONINFORMATION);
  } else if (res == ORVA_E_PIN_INCORRECT || (res >= ORVA_E_PIN_INVALID && res <= ORVA_E_PIN_EXPIRED)) {
    if (ulRetries > 0)
      OrvaMessageBox(IDS_PIN_WRONG_TRIES, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR,
                     {ulRetries});
    else
      OrvaMessageBox(IDS_PIN_WRONG, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
  } else if (res == ORVA_E_PIN_LOCKED) {
    OrvaMessageBox(IDS_PIN_LOCKED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
  } else {
    OrvaMessageBox(IDS_CHANGE_PIN_FAILED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
  }
}

void CORVAShowCertDlg::_OnOnline() {
  std::string url = OrvaOnlineServiceUrl();
  if (!url.empty()) GetOrvaUserInterface()->OpenUrl(url);
}

void CORVAShowCertDlg::_OnAbout() {
  if (m_bAboutOpen) return;
  m_bAboutOpen = true;
  CORVAAboutDlg dlg(OrvaProductVersion(), this);
  dlg.Show(true);
  m_bAboutOpen = false;
}

void CORVAShowCertDlg::_OnDetect() {
  auto* b = findChild<QPushButton*>("1010");
  b->setEnabled(false);
  if (m_pSource) m_pSource->Rescan();
  b->setEnabled(true);
}
