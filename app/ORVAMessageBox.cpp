#include "app/ORVAMessageBox.h"

#include <QAbstractButton>
#include <QPushButton>

#include "foundation/ORVAResource.h"

namespace {

struct ButtonDef {
  int id;
  QMessageBox::StandardButton std;
  int label;          // OrvaButtonLabel index, -1 when the module has none
  const char* native; // the platform's own text with the Chinese resources
};

const ButtonDef kButtons[] = {
    {ORVA_IDOK, QMessageBox::Ok, int(OrvaButtonLabel::Ok), "确定"},
    {ORVA_IDCANCEL, QMessageBox::Cancel, int(OrvaButtonLabel::Cancel), "取消"},
    {ORVA_IDABORT, QMessageBox::Abort, -1, "中止(&A)"},
    {ORVA_IDRETRY, QMessageBox::Retry, int(OrvaButtonLabel::Retry), "重试(&R)"},
    {ORVA_IDIGNORE, QMessageBox::Ignore, -1, "忽略(&I)"},
    {ORVA_IDYES, QMessageBox::Yes, int(OrvaButtonLabel::Yes), "是(&Y)"},
    {ORVA_IDNO, QMessageBox::No, int(OrvaButtonLabel::No), "否(&N)"},
    {ORVA_IDCLOSE, QMessageBox::Close, int(OrvaButtonLabel::Close), "关闭"},
};

std::vector<int> ButtonsOf(uint32_t ulType) {
  switch (ulType & ORVA_MB_TYPEMASK) {
    case ORVA_MB_OKCANCEL: return {ORVA_IDOK, ORVA_IDCANCEL};
    case ORVA_MB_ABORTRETRYIGNORE: return {ORVA_IDABORT, ORVA_IDRETRY, ORVA_IDIGNORE};
    case ORVA_MB_YESNOCANCEL: return {ORVA_IDYES, ORVA_IDNO, ORVA_IDCANCEL};
    case ORVA_MB_YESNO: return {ORVA_IDYES, ORVA_IDNO};
    case ORVA_MB_RETRYCANCEL: return {ORVA_IDRETRY, ORVA_IDCANCEL};
    case ORVA_MB_CANCELTRYCONTINUE: return {ORVA_IDCANCEL, ORVA_IDTRYAGAIN, ORVA_IDCONTINUE};
    default: return {ORVA_IDOK};
  }
}

}  // namespace

QMessageBox* CreateOrvaMessageBox(const ORVA_MESSAGE& msg, QWidget* pOwner) {
  CORVAResource& res = CORVAResource::Instance();
  auto* box = new QMessageBox(pOwner);
  box->setObjectName("messagebox");
  box->setWindowTitle(QString::fromStdString(msg.strCaption));
  box->setText(QString::fromStdString(msg.strText));
  box->setTextFormat(Qt::PlainText);
  switch (msg.ulType & ORVA_MB_ICONMASK) {
    case ORVA_MB_ICONERROR: box->setIcon(QMessageBox::Critical); break;
    case ORVA_MB_ICONQUESTION: box->setIcon(QMessageBox::Question); break;
    case ORVA_MB_ICONWARNING: box->setIcon(QMessageBox::Warning); break;
    case ORVA_MB_ICONINFORMATION: box->setIcon(QMessageBox::Information); break;
    default: box->setIcon(QMessageBox::NoIcon); break;
  }
  bool bEnglish = res.IsEnglish();
  for (int id : ButtonsOf(msg.ulType)) {
    QAbstractButton* b = nullptr;
    QString label;
    for (const auto& d : kButtons) {
      if (d.id != id) continue;
      b = box->addButton(d.std);
      if (d.label >= 0) label = QString::fromStdString(res.ButtonLabel(OrvaButtonLabel(d.label)));
      if (label.isEmpty() && !bEnglish) label = QString::fromUtf8(d.native);
    }
    if (!b) {
      // Try again and Continue are no standard buttons of Qt.
      bool tryAgain = id == ORVA_IDTRYAGAIN;
      label = tryAgain ? QString() : QString::fromStdString(res.ButtonLabel(OrvaButtonLabel::Continue));
      if (label.isEmpty())
        label = bEnglish ? (tryAgain ? "&Try Again" : "&Continue")
                         : QString::fromUtf8(tryAgain ? "重试(&T)" : "继续(&C)");
      b = box->addButton(label, tryAgain ? QMessageBox::AcceptRole : QMessageBox::YesRole);
    }
    if (!label.isEmpty()) b->setText(label);
    b->setObjectName(QString::number(id));
  }
  // Closing the box gives Cancel, else No, else Abort; a box with one button gives it.
  for (int id : {ORVA_IDCANCEL, ORVA_IDNO, ORVA_IDABORT}) {
    if (auto* b = box->findChild<QAbstractButton*>(QString::number(id))) {
      box->setEscapeButton(b);
      break;
    }
  }
  if (ButtonsOf(msg.ulType).size() == 1)
    box->setEscapeButton(box->findChild<QAbstractButton*>(QString::number(ButtonsOf(msg.ulType)[0])));
  return box;
}

int OrvaMessageBoxResult(QMessageBox* box) {
  QAbstractButton* b = box->clickedButton();
  if (!b) b = box->escapeButton();
  bool ok = false;
  int id = b ? b->objectName().toInt(&ok) : 0;
  return ok ? id : ORVA_IDCANCEL;
}

int ShowMessageBox(QWidget* pOwner, const ORVA_MESSAGE& msg) {
  QMessageBox* box = CreateOrvaMessageBox(msg, pOwner);
  box->exec();
  int id = OrvaMessageBoxResult(box);
  delete box;
  return id;
}

int ShowMessageBox(QWidget* pOwner, const QString& text, const QString& caption, uint32_t ulType) {
  ORVA_MESSAGE m;
  m.strText = text.toStdString();
  m.strCaption = caption.toStdString();
  m.ulType = ulType;
  return ShowMessageBox(pOwner, m);
}
