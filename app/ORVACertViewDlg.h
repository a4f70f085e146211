#pragma once
// The certificate view (template 116, "证书属性查看"): who it was issued to and by and its
// validity; every field and extension; the certification path built from the issuers the
// caller knows. Read-only: no property editing, no store import, no links.
#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QTreeWidget;

class CORVACertViewDlg : public QDialog {
  Q_OBJECT
 public:
  CORVACertViewDlg(const std::vector<uint8_t>& certDer,
                   const std::vector<std::vector<uint8_t>>& chainDer, const std::string& strTitle,
                   QWidget* parent = nullptr);
  // False when the bytes were not a certificate (the view then says so and shows nothing else).
  bool IsValid() const { return m_bValid; }

 private:
  bool m_bValid = false;
};

// Field texts of a DER certificate, shared with the certificate window's rows.
struct ORVA_CERT_TEXTS {
  std::string subject;      // the whole name, "C=CN, O=..., CN=..."
  std::string issuer;
  std::string subjectCN;    // the "CN=" value (up to 255 characters)
  std::string issuerCN;
  std::string notBeforeDate;  // "%04d-%02d-%02d", UTC
  std::string notAfterDate;
  std::string notBefore;    // "yyyy-MM-dd hh:mm:ss UTC"
  std::string notAfter;
  std::string serial;       // upper-case hex
  std::string sigAlg;
  std::string publicKey;    // "SM2 (256 bits)" or "RSA (2048 bits)"
  std::string publicKeyHex;
  std::string sha1;
  long version = 0;         // 1, 2 or 3
  struct Ext {
    std::string name;
    bool critical;
    std::string value;
  };
  std::vector<Ext> extensions;
};
bool OrvaDescribeCertificate(const std::vector<uint8_t>& der, ORVA_CERT_TEXTS& out);
