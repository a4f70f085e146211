#include "app/ORVACertViewDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <openssl/sha.h>

#include "app/ORVADialogs.h"
#include "foundation/ORVAResource.h"
#include "platform/OpenSsl.h"

namespace {

using orva::ossl::BioPtr;
using orva::ossl::X509Ptr;

X509Ptr Parse(const std::vector<uint8_t>& der) {
  if (der.empty() || der.size() > (1u << 20)) return nullptr;
  const unsigned char* p = der.data();
  X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (x && p != der.data() + der.size()) x.reset();  // trailing bytes: not one certificate
  ERR_clear_error();
  return x;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string NameText(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !name) return {};
  X509_NAME_print_ex(bio.get(), name, 0,
                     XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | XN_FLAG_DUMP_UNKNOWN_FIELDS |
                         ASN1_STRFLGS_UTF8_CONVERT | ASN1_STRFLGS_ESC_CTRL);
  return BioText(bio.get());
}

std::string CommonName(const X509_NAME* name) {
  int at = name ? X509_NAME_get_index_by_NID(name, NID_commonName, -1) : -1;
  if (at < 0) return {};
  ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, s);
  if (n < 0) return {};
  std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  if (out.size() > 255) out.resize(255);
  return out;
}

bool TimeParts(const ASN1_TIME* t, struct tm& tm) {
  return t && ASN1_TIME_to_tm(t, &tm) == 1;
}

std::string Date(const ASN1_TIME* t) {
  struct tm tm {};
  if (!TimeParts(t, tm)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

std::string DateTime(const ASN1_TIME* t) {
  struct tm tm {};
  if (!TimeParts(t, tm)) return {};
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string Hex(const unsigned char* p, size_t n, const char* sep = "") {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i && *sep) s += sep;
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

}  // namespace

bool OrvaDescribeCertificate(const std::vector<uint8_t>& der, ORVA_CERT_TEXTS& out) {
  X509Ptr x = Parse(der);
  if (!x) return false;
  out = ORVA_CERT_TEXTS();
  out.version = X509_get_version(x.get()) + 1;
  out.subject = NameText(X509_get_subject_name(x.get()));
  out.issuer = NameText(X509_get_issuer_name(x.get()));
  out.subjectCN = CommonName(X509_get_subject_name(x.get()));
  out.issuerCN = CommonName(X509_get_issuer_name(x.get()));
  out.notBeforeDate = Date(X509_get0_notBefore(x.get()));
  out.notAfterDate = Date(X509_get0_notAfter(x.get()));
  out.notBefore = DateTime(X509_get0_notBefore(x.get()));
  out.notAfter = DateTime(X509_get0_notAfter(x.get()));
  const ASN1_INTEGER* sn = X509_get0_serialNumber(x.get());
  if (sn) out.serial = Hex(ASN1_STRING_get0_data(sn), static_cast<size_t>(ASN1_STRING_length(sn)));
  const X509_ALGOR* alg = nullptr;
  X509_get0_signature(nullptr, &alg, x.get());
  if (alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    char buf[128];
    int nid = OBJ_obj2nid(obj);
    if (nid != NID_undef)
      out.sigAlg = OBJ_nid2ln(nid);
    else if (OBJ_obj2txt(buf, sizeof buf, obj, 1) > 0)
      out.sigAlg = buf;
  }
  if (EVP_PKEY* key = X509_get0_pubkey(x.get())) {
    const char* kind = EVP_PKEY_is_a(key, "SM2") ? "SM2"
                       : EVP_PKEY_is_a(key, "RSA") ? "RSA"
                       : EVP_PKEY_is_a(key, "EC")  ? "EC"
                                                   : "?";
    out.publicKey = std::string(kind) + " (" + std::to_string(EVP_PKEY_get_bits(key)) + " bits)";
  }
  const ASN1_BIT_STRING* pub = X509_get0_pubkey_bitstr(x.get());
  if (pub) out.publicKeyHex = Hex(pub->data, static_cast<size_t>(pub->length), " ");
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), md);
  out.sha1 = Hex(md, sizeof md);
  for (int i = 0; i < X509_get_ext_count(x.get()); ++i) {
    X509_EXTENSION* ext = X509_get_ext(x.get(), i);
    ASN1_OBJECT* obj = X509_EXTENSION_get_object(ext);
    ORVA_CERT_TEXTS::Ext e;
    int nid = OBJ_obj2nid(obj);
    char buf[128];
    if (nid != NID_undef)
      e.name = OBJ_nid2ln(nid);
    else if (OBJ_obj2txt(buf, sizeof buf, obj, 1) > 0)
      e.name = buf;
    e.critical = X509_EXTENSION_get_critical(ext) != 0;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio && X509V3_EXT_print(bio.get(), ext, 0, 0) == 1) {
      e.value = BioText(bio.get());
    } else {
      const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
      e.value = Hex(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)), " ");
    }
    ERR_clear_error();
    out.extensions.push_back(std::move(e));
  }
  return true;
}

CORVACertViewDlg::CORVACertViewDlg(const std::vector<uint8_t>& certDer,
                                   const std::vector<std::vector<uint8_t>>& chainDer,
                                   const std::string& strTitle, QWidget* parent)
    : QDialog(parent) {
  setObjectName("dialog116");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowIcon(OrvaAppIcon());
  setWindowTitle(strTitle.empty() ? OrvaDlgText(IDD_CERT_VIEW, "caption")
                                  : QString::fromStdString(strTitle));
  auto T = [](const char* key) { return OrvaDlgText(IDD_CERT_VIEW, key); };
  auto* v = new QVBoxLayout(this);
  ORVA_CERT_TEXTS info;
  m_bValid = OrvaDescribeCertificate(certDer, info);
  if (!m_bValid) {
    auto* l = new QLabel(OrvaText(IDS_GET_CERT_FAILED));
    l->setObjectName("invalid");
    v->addWidget(l);
  } else {
    auto* tabs = new QTabWidget;
    tabs->setObjectName("tabs");
    // General.
    auto* general = new QWidget;
    general->setObjectName("general");
    auto* g = new QVBoxLayout(general);
    auto* head = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(OrvaAppIcon().pixmap(32, 32));
    head->addWidget(icon);
    auto* title = new QLabel(T("info_title"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    head->addWidget(title, 1);
    g->addLayout(head);
    auto* grid = new QGridLayout;
    auto row = [&](int r, const QString& name, const std::string& value, const char* objName) {
      auto* n = new QLabel(name);
      n->setFont(bold);
      auto* val = new QLabel(QString::fromStdString(value));
      val->setObjectName(objName);
      val->setTextFormat(Qt::PlainText);
      val->setWordWrap(true);
      val->setTextInteractionFlags(Qt::TextSelectableByMouse);
      grid->addWidget(n, r, 0, Qt::AlignTop);
      grid->addWidget(val, r, 1);
    };
    row(0, T("issued_to"), info.subjectCN.empty() ? info.subject : info.subjectCN, "issued_to");
    row(1, T("issued_by"), info.issuerCN.empty() ? info.issuer : info.issuerCN, "issued_by");
    grid->setColumnStretch(1, 1);
    g->addLayout(grid);
    auto* validity = new QLabel(QString::fromStdString(FormatResourceText(
        CORVAResource::Instance().DialogText(IDD_CERT_VIEW, "valid_range"),
        {info.notBeforeDate, info.notAfterDate})));
    validity->setObjectName("validity");
    g->addWidget(validity);
    g->addStretch(1);
    tabs->addTab(general, T("tab_general"));

    // Details: every field and extension; the selected one shown in full below.
    auto* details = new QWidget;
    auto* d = new QVBoxLayout(details);
    auto* tree = new QTreeWidget;
    tree->setObjectName("fields");
    tree->setColumnCount(2);
    tree->setHeaderLabels({T("col_field"), T("col_value")});
    tree->setRootIsDecorated(false);
    auto* full = new QPlainTextEdit;
    full->setObjectName("field_value");
    full->setReadOnly(true);
    auto add = [&](const QString& name, const std::string& value) {
      auto* item = new QTreeWidgetItem(tree);
      item->setText(0, name);
      QString text = QString::fromStdString(value);
      item->setText(1, text.simplified().left(80));
      item->setData(1, Qt::UserRole, text);
    };
    add(T("version"), "V" + std::to_string(info.version));
    add(T("serial"), info.serial);
    add(T("sig_alg"), info.sigAlg);
    add(T("issuer"), info.issuer);
    add(T("not_before"), info.notBefore);
    add(T("not_after"), info.notAfter);
    add(T("subject"), info.subject);
    add(T("public_key"), info.publicKey + "\n" + info.publicKeyHex);
    for (const auto& e : info.extensions)
      add(QString::fromStdString(e.name) + (e.critical ? " (" + T("critical") + ")" : QString()),
          e.value);
    add(T("thumbprint"), info.sha1);
    tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(tree, &QTreeWidget::currentItemChanged, full, [full](QTreeWidgetItem* cur) {
      full->setPlainText(cur ? cur->data(1, Qt::UserRole).toString() : QString());
    });
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(tree);
    split->addWidget(full);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    d->addWidget(split);
    tabs->addTab(details, T("tab_details"));

    // Certification path: from the top issuer found down to this certificate.
    auto* path = new QWidget;
    auto* pv = new QVBoxLayout(path);
    auto* chainTree = new QTreeWidget;
    chainTree->setObjectName("chain");
    chainTree->setHeaderHidden(true);
    std::vector<X509Ptr> pool;
    for (const auto& c : chainDer)
      if (auto p = Parse(c)) pool.push_back(std::move(p));
    std::vector<X509*> chain;
    X509Ptr leaf = Parse(certDer);
    chain.push_back(leaf.get());
    bool complete = false;
    while (chain.size() < 10) {
      X509* top = chain.back();
      if (X509_check_issued(top, top) == X509_V_OK) {
        complete = true;
        break;
      }
      X509* next = nullptr;
      for (auto& p : pool)
        if (p.get() != top && X509_check_issued(p.get(), top) == X509_V_OK) next = p.get();
      if (!next) break;
      chain.push_back(next);
    }
    ERR_clear_error();
    QTreeWidgetItem* parentItem = nullptr;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      std::string cn = CommonName(X509_get_subject_name(*it));
      QString text = QString::fromStdString(cn.empty() ? NameText(X509_get_subject_name(*it)) : cn);
      auto* item = parentItem ? new QTreeWidgetItem(parentItem) : new QTreeWidgetItem(chainTree);
      item->setText(0, text);
      item->setIcon(0, OrvaAppIcon());
      parentItem = item;
    }
    chainTree->expandAll();
    if (parentItem) chainTree->setCurrentItem(parentItem);
    pv->addWidget(chainTree);
    if (!complete) {
      auto* warn = new QLabel(T("path_incomplete"));
      warn->setObjectName("path_incomplete");
      warn->setWordWrap(true);
      pv->addWidget(warn);
    }
    tabs->addTab(path, T("tab_path"));
    v->addWidget(tabs);
  }
  auto* ok = new QPushButton(OrvaDlgText(IDD_CERT_VIEW, "1"));
  ok->setObjectName("1");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { done(1); });
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(ok);
  v->addLayout(row);
  resize(520, 560);
}
