#include "app/ORVADialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <mutex>

#include "app/ORVAMessageBox.h"
#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/RegOptions.h"

namespace {

std::mutex& UrlLock() {
  static std::mutex m;
  return m;
}
std::string& UrlSlot() {
  static std::string s;
  return s;
}

// Template sizes in dialog units, shown at the platform's 8-point base units.
QSize DialogUnits(int cx, int cy) { return QSize(cx * 3 / 2, cy * 13 / 8); }

// Reads a password edit as UTF-8 and empties it.
std::string TakeEdit(QLineEdit* e) {
  QByteArray b = e->text().toUtf8();
  std::string s(b.constData(), static_cast<size_t>(b.size()));
  OrvaSecureZero(b.data(), static_cast<size_t>(b.size()));
  e->clear();
  return s;
}

// A PIN edit holds up to 31 characters, as the dialogs' buffers do.
constexpr int kPinMaxChars = 31;

// The origin line of the PIN dialogs: "请求来源：https://a.example".
QLabel* OriginLabel(const std::string& strOrigin) {
  auto* l = new QLabel(QString::fromStdString(
      CORVAResource::Instance().FormatString(IDS_PIN_ORIGIN, {strOrigin})));
  l->setObjectName("origin");
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setVisible(!strOrigin.empty());
  QFont f = l->font();
  f.setBold(true);
  l->setFont(f);
  return l;
}

QLabel* IconLabel() {
  auto* l = new QLabel;
  l->setObjectName("icon104");
  l->setPixmap(OrvaAppIcon().pixmap(32, 32));
  l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  return l;
}

}  // namespace

QString OrvaText(uint32_t ulStringId) {
  return QString::fromStdString(CORVAResource::Instance().LoadString(ulStringId));
}

QString OrvaDlgText(uint32_t ulTemplate, const char* key) {
  return QString::fromStdString(CORVAResource::Instance().DialogText(ulTemplate, key));
}

QIcon OrvaAppIcon() {
  static QIcon icon = [] {
    QIcon i;
    for (int size : {16, 24, 32, 48, 64}) {
      QPixmap pm(size, size);
      pm.fill(Qt::transparent);
      QPainter p(&pm);
      p.setRenderHint(QPainter::Antialiasing);
      p.scale(size / 64.0, size / 64.0);
      // A shield with a key: the token that holds the certificates.
      QPainterPath shield;
      shield.moveTo(32, 3);
      shield.cubicTo(44, 9, 52, 10, 59, 10);
      shield.cubicTo(59, 36, 50, 52, 32, 61);
      shield.cubicTo(14, 52, 5, 36, 5, 10);
      shield.cubicTo(12, 10, 20, 9, 32, 3);
      QLinearGradient g(0, 0, 0, 64);
      g.setColorAt(0, QColor(0x2f, 0x7f, 0xd8));
      g.setColorAt(1, QColor(0x12, 0x3f, 0x8c));
      p.setPen(QPen(QColor(0x0c, 0x2a, 0x5e), 2));
      p.setBrush(g);
      p.drawPath(shield);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xf5, 0xc5, 0x42));
      p.drawEllipse(QPointF(24, 28), 9, 9);
      p.drawRect(QRectF(30, 25, 20, 6));
      p.drawRect(QRectF(42, 31, 4, 8));
      p.drawRect(QRectF(36, 31, 4, 6));
      p.setBrush(QColor(0x12, 0x3f, 0x8c));
      p.drawEllipse(QPointF(22, 28), 3.5, 3.5);
      p.end();
      i.addPixmap(pm);
    }
    return i;
  }();
  return icon;
}

QPixmap OrvaLogo(int size) { return OrvaAppIcon().pixmap(size, size); }

void SetOrvaOnlineServiceUrl(const std::string& url) {
  std::lock_guard<std::mutex> lock(UrlLock());
  UrlSlot() = url;
}

std::string OrvaOnlineServiceUrl() {
  std::lock_guard<std::mutex> lock(UrlLock());
  return UrlSlot();
}

std::string OrvaProductVersion() { return ORVA_VERSION_TEXT; }

// ---- base ---------------------------------------------------------------------------

CORVABaseDlg::CORVABaseDlg(uint32_t ulTemplate, QWidget* parent)
    : QDialog(parent), m_ulTemplate(ulTemplate) {
  setObjectName(QString("dialog%1").arg(ulTemplate));
  setWindowTitle(OrvaDlgText(ulTemplate, "caption"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

int CORVABaseDlg::Show(bool bModal) {
  if (bModal) return exec();
  setModal(false);
  show();
  raise();
  activateWindow();
  return 0;
}

void CORVABaseDlg::showEvent(QShowEvent* e) {
  if (!m_bInitDone) {
    m_bInitDone = true;
    OnInitDialog();
  }
  QDialog::showEvent(e);
}

QPushButton* CORVABaseDlg::_Button(const char* id) {
  auto* b = new QPushButton(OrvaDlgText(m_ulTemplate, id));
  b->setObjectName(id);
  b->setAutoDefault(false);
  return b;
}

QLabel* CORVABaseDlg::_Static(const char* key) {
  auto* l = new QLabel(OrvaDlgText(m_ulTemplate, key));
  l->setObjectName(key);
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  return l;
}

QLineEdit* CORVABaseDlg::_PasswordEdit(const char* id) {
  auto* e = new QLineEdit;
  e->setObjectName(id);
  e->setEchoMode(QLineEdit::Password);
  e->setMaxLength(kPinMaxChars);
  e->setAttribute(Qt::WA_InputMethodEnabled, false);
  return e;
}

QLabel* CORVABaseDlg::_Link(const char* id, const QString& text) {
  auto* l = new QLabel(QString("<a href=\"#\">%1</a>").arg(text.toHtmlEscaped()));
  l->setObjectName(id);
  l->setTextFormat(Qt::RichText);
  l->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  l->setFocusPolicy(Qt::StrongFocus);
  l->setOpenExternalLinks(false);
  return l;
}

int CORVABaseDlg::_Message(uint32_t ulTextId, uint32_t ulCaptionId, uint32_t ulType) {
  CORVAResource& res = CORVAResource::Instance();
  ORVA_MESSAGE m{ulTextId, res.LoadString(ulTextId), ulCaptionId, res.LoadString(ulCaptionId), ulType};
  return ShowMessageBox(this, m);
}

namespace {

// The OK/cancel row of the PIN templates.
QHBoxLayout* ButtonRow(QPushButton* ok, QPushButton* cancel) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(ok);
  row->addWidget(cancel);
  ok->setDefault(true);
  return row;
}

// "忘记PIN码": opens the online service page, then cancels the dialog.
void WireForgotLink(CORVABaseDlg* dlg, QLabel* link) {
  QObject::connect(link, &QLabel::linkActivated, dlg, [dlg] {
    std::string url = OrvaOnlineServiceUrl();
    if (!url.empty()) GetOrvaUserInterface()->OpenUrl(url);
    dlg->done(2);
  });
}

}  // namespace

// ---- 101: PIN entry -------------------------------------------------------------------

CORVAPinInputDlg::CORVAPinInputDlg(const std::string& strOrigin, QWidget* parent)
    : CORVABaseDlg(IDD_PIN_INPUT, parent) {
  setMinimumSize(DialogUnits(203, 110));
  auto* top = new QHBoxLayout;
  top->addWidget(IconLabel());
  auto* texts = new QVBoxLayout;
  texts->addWidget(_Static("text"));
  texts->addWidget(OriginLabel(strOrigin));
  top->addLayout(texts, 1);

  auto* group = new QGroupBox(OrvaDlgText(IDD_PIN_INPUT, "group"));
  group->setObjectName("group");
  auto* g = new QHBoxLayout(group);
  QLabel* label = _Static("1002");
  label->setWordWrap(false);
  m_pEdit = _PasswordEdit("1001");
  label->setBuddy(m_pEdit);
  QLabel* link = _Link("1011", OrvaDlgText(IDD_PIN_INPUT, "1011"));
  g->addWidget(label);
  g->addWidget(m_pEdit, 1);
  g->addWidget(link);
  WireForgotLink(this, link);

  QPushButton* ok = _Button("1");
  QPushButton* cancel = _Button("2");
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });

  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(group);
  v->addLayout(ButtonRow(ok, cancel));
}

void CORVAPinInputDlg::OnInitDialog() {
  setWindowTitle(OrvaText(IDS_VERIFY_PIN_CAPTION));
  m_pEdit->setFocus();
}

void CORVAPinInputDlg::OnOK() {
  if (m_pEdit->text().isEmpty()) {
    _Message(IDS_PIN_EMPTY, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    m_pEdit->setFocus();
    return;
  }
  OrvaSecureZero(m_strPin);
  m_strPin = TakeEdit(m_pEdit);
  done(1);
}

std::string CORVAPinInputDlg::TakePin() { return std::move(m_strPin); }

// ---- 102: PIN change ------------------------------------------------------------------

CORVAPinChangeDlg::CORVAPinChangeDlg(const std::string& strOrigin, QWidget* parent)
    : CORVABaseDlg(IDD_PIN_CHANGE, parent) {
  setMinimumSize(DialogUnits(201, 178));
  auto* top = new QHBoxLayout;
  top->addWidget(IconLabel());
  auto* texts = new QVBoxLayout;
  texts->addWidget(_Static("reminder"));
  texts->addWidget(OriginLabel(strOrigin));
  top->addLayout(texts, 1);

  auto* group = new QGroupBox(OrvaDlgText(IDD_PIN_CHANGE, "group"));
  group->setObjectName("group");
  auto* g = new QGridLayout(group);
  m_pOld = _PasswordEdit("1004");
  m_pNew = _PasswordEdit("1005");
  m_pConfirm = _PasswordEdit("1006");
  const char* labels[] = {"label_old", "label_new", "label_confirm"};
  QLineEdit* edits[] = {m_pOld, m_pNew, m_pConfirm};
  for (int i = 0; i < 3; ++i) {
    QLabel* l = _Static(labels[i]);
    l->setBuddy(edits[i]);
    g->addWidget(l, i * 2, 0);
    g->addWidget(edits[i], i * 2 + 1, 0);
  }
  QLabel* link = _Link("1011", OrvaDlgText(IDD_PIN_CHANGE, "1011"));
  WireForgotLink(this, link);

  QPushButton* ok = _Button("1");
  QPushButton* cancel = _Button("2");
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });
  auto* row = ButtonRow(ok, cancel);
  row->insertWidget(0, link);

  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(group);
  v->addLayout(row);
}

void CORVAPinChangeDlg::OnInitDialog() {
  setWindowTitle(OrvaText(IDS_CHANGE_PIN_CAPTION));
  m_pOld->setFocus();
}

void CORVAPinChangeDlg::OnOK() {
  std::string oldPin = TakeEdit(m_pOld), newPin = TakeEdit(m_pNew), confirm = TakeEdit(m_pConfirm);
  uint32_t ulMsg = CheckNewPinInput(&oldPin, newPin, confirm);
  // The edits keep what was typed while the message is up, as the platform's would.
  m_pOld->setText(QString::fromStdString(oldPin));
  m_pNew->setText(QString::fromStdString(newPin));
  m_pConfirm->setText(QString::fromStdString(confirm));
  OrvaSecureZero(confirm);
  if (ulMsg != 0) {
    OrvaSecureZero(oldPin);
    OrvaSecureZero(newPin);
    _Message(ulMsg, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    (ulMsg == IDS_PIN_EMPTY && m_pOld->text().isEmpty() ? m_pOld : m_pNew)->setFocus();
    return;
  }
  m_pOld->clear();
  m_pNew->clear();
  m_pConfirm->clear();
  m_strOld = std::move(oldPin);
  m_strNew = std::move(newPin);
  done(1);
}

void CORVAPinChangeDlg::TakePins(std::string& strOld, std::string& strNew) {
  strOld = std::move(m_strOld);
  strNew = std::move(m_strNew);
}

// ---- 103: set/unlock PIN --------------------------------------------------------------

CORVAUnlockDlg::CORVAUnlockDlg(uint32_t ulMode, const std::string& strOrigin, QWidget* parent)
    : CORVABaseDlg(IDD_UNLOCK, parent), m_ulMode(ulMode) {
  setMinimumSize(DialogUnits(203, 141));
  auto* top = new QHBoxLayout;
  top->addWidget(IconLabel());
  auto* texts = new QVBoxLayout;
  texts->addWidget(_Static("reminder"));
  texts->addWidget(OriginLabel(strOrigin));
  top->addLayout(texts, 1);

  auto* group = new QGroupBox(OrvaDlgText(IDD_UNLOCK, "group"));
  group->setObjectName("group");
  auto* g = new QGridLayout(group);
  m_pNew = _PasswordEdit("1010");
  m_pConfirm = _PasswordEdit("1011");
  QLabel* l1 = _Static("label_new");
  QLabel* l2 = _Static("label_confirm");
  l1->setBuddy(m_pNew);
  l2->setBuddy(m_pConfirm);
  g->addWidget(l1, 0, 0);
  g->addWidget(m_pNew, 1, 0);
  g->addWidget(l2, 2, 0);
  g->addWidget(m_pConfirm, 3, 0);

  QPushButton* ok = _Button("1");
  QPushButton* cancel = _Button("2");
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });

  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(group);
  v->addLayout(ButtonRow(ok, cancel));
}

void CORVAUnlockDlg::OnInitDialog() {
  setWindowTitle(OrvaText(m_ulMode == ORVA_UNLOCK_MODE_SET ? IDS_SET_PIN_CAPTION
                                                           : IDS_UNLOCK_PIN_CAPTION));
  m_pNew->setFocus();
}

void CORVAUnlockDlg::OnOK() {
  std::string newPin = TakeEdit(m_pNew), confirm = TakeEdit(m_pConfirm);
  uint32_t ulMsg = CheckNewPinInput(nullptr, newPin, confirm);
  if (ulMsg != 0) {
    m_pNew->setText(QString::fromStdString(newPin));
    m_pConfirm->setText(QString::fromStdString(confirm));
    OrvaSecureZero(newPin);
    OrvaSecureZero(confirm);
    _Message(ulMsg, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR);
    m_pNew->setFocus();
    return;
  }
  OrvaSecureZero(confirm);
  OrvaSecureZero(m_strPin);
  m_strPin = std::move(newPin);
  done(1);
}

std::string CORVAUnlockDlg::TakePin() { return std::move(m_strPin); }

// ---- 113: settings --------------------------------------------------------------------

CORVASettingDlg::CORVASettingDlg(QWidget* parent) : CORVABaseDlg(IDD_SETTING, parent) {
  setMinimumSize(DialogUnits(155, 93));
  auto* group = new QGroupBox(OrvaDlgText(IDD_SETTING, "group"));
  group->setObjectName("group");
  auto* g = new QVBoxLayout(group);
  auto box = [this](const char* id) {
    auto* c = new QCheckBox(OrvaDlgText(IDD_SETTING, id));
    c->setObjectName(id);
    return c;
  };
  m_pAutoRun = box("1000");
  m_pAutoUpdate = box("1003");
  m_pAutoShow = box("1005");
  // Start with the system: hidden and disabled, neither read nor written here.
  m_pAutoRun->setVisible(false);
  m_pAutoRun->setEnabled(false);
  m_pAutoShow->setEnabled(false);
  g->addWidget(m_pAutoRun);
  g->addWidget(m_pAutoUpdate);
  g->addWidget(m_pAutoShow);

  QPushButton* ok = _Button("1");
  QPushButton* cancel = _Button("2");
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });
  auto* v = new QVBoxLayout(this);
  v->addWidget(group);
  v->addLayout(ButtonRow(ok, cancel));
}

void CORVASettingDlg::OnInitDialog() {
  uint32_t v = 0;
  m_pAutoUpdate->setChecked(CRegOptions::GetUserOption(2, &v) == 0 && v == 1);
  v = 0;
  m_pAutoShow->setChecked(CRegOptions::GetUserOption(3, &v) == 0 && v == 1);
}

void CORVASettingDlg::OnOK() {
  uint32_t r1 = CRegOptions::SetUserOption(2, m_pAutoUpdate->isChecked() ? 1 : 0);
  uint32_t r2 = CRegOptions::SetUserOption(3, m_pAutoShow->isChecked() ? 1 : 0);
  if (r1 || r2) ORVA_LOG_ERROR("SetUserOption() failed! ulRes=0x%x", r1 ? r1 : r2);
  done(1);
}

// ---- 112: about -----------------------------------------------------------------------

CORVAAboutDlg::CORVAAboutDlg(const std::string& strVersion, QWidget* parent)
    : CORVABaseDlg(IDD_ABOUT, parent), m_strVersion(strVersion) {
  setMinimumSize(DialogUnits(215, 125));
  auto* logo = new QLabel;
  logo->setObjectName("117");
  logo->setPixmap(OrvaLogo(64));
  logo->setAlignment(Qt::AlignTop);

  QLabel* product = _Static("1003");
  QFont f = product->font();
  f.setPointSizeF(f.pointSizeF() * 1.5);
  f.setBold(true);
  product->setFont(f);
  auto* version = new QLabel;
  version->setObjectName("1004");

  auto* grid = new QGridLayout;
  grid->addWidget(_Static("label_support"), 0, 0);
  grid->addWidget(_Static("support_name"), 0, 1);
  grid->addWidget(_Static("label_phone"), 1, 0);
  grid->addWidget(_Static("support_phone"), 1, 1);
  grid->addWidget(_Static("label_web"), 2, 0);
  QString web = OrvaDlgText(IDD_ABOUT, "1012");
  QLabel* link = _Link("1012", web);
  grid->addWidget(link, 2, 1);
  grid->setColumnStretch(1, 1);
  connect(link, &QLabel::linkActivated, this, [this, web] {
    GetOrvaUserInterface()->OpenUrl(web.toStdString());
    done(1);
  });

  auto* texts = new QVBoxLayout;
  texts->addWidget(product);
  texts->addWidget(version);
  texts->addSpacing(8);
  texts->addLayout(grid);
  auto* top = new QHBoxLayout;
  top->addWidget(logo);
  top->addLayout(texts, 1);

  QPushButton* close = _Button("1");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, [this] { done(1); });
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(close);
  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addLayout(row);
}

void CORVAAboutDlg::OnInitDialog() {
  if (auto* version = findChild<QLabel*>("1004"))
    version->setText("V" + QString::fromStdString(m_strVersion));
}

// ---- 115: web-site consent ------------------------------------------------------------

CORVAConsentDlg::CORVAConsentDlg(const std::string& strOrigin, QWidget* parent)
    : CORVABaseDlg(IDD_CONSENT, parent) {
  setWindowTitle(OrvaText(IDS_CONSENT_CAPTION));
  auto* text = new QLabel(QString::fromStdString(
      CORVAResource::Instance().FormatString(IDS_CONSENT_TEXT, {strOrigin})));
  text->setObjectName("text");
  text->setTextFormat(Qt::PlainText);  // the origin is page-controlled text
  text->setWordWrap(true);
  text->setMinimumWidth(360);
  auto* top = new QHBoxLayout;
  top->addWidget(IconLabel());
  top->addWidget(text, 1);

  QPushButton* once = _Button("1");
  QPushButton* always = _Button("3");
  QPushButton* refuse = _Button("2");
  refuse->setDefault(true);  // Enter never approves by accident
  connect(once, &QPushButton::clicked, this, [this] { done(1); });
  connect(always, &QPushButton::clicked, this, [this] { done(3); });
  connect(refuse, &QPushButton::clicked, this, [this] { done(2); });
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(once);
  row->addWidget(always);
  row->addWidget(refuse);
  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addLayout(row);
}

void CORVAConsentDlg::OnInitDialog() {
  // The focus starts on "refuse": a stray key press never approves a site.
  if (auto* refuse = findChild<QPushButton*>("2")) refuse->setFocus();
}
