#include "app/ORVADeviceCertSource.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "certificates/X509Certificate.h"
#include "devices/core/Device.h"
#include "devices/core/DeviceManager.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"

namespace {

// A device text read into 64 bytes, as the window shows it.
std::string Text64(uint32_t (CDevice::*get)(char*, uint32_t*), CDevice& dev) {
  char buf[64] = {};
  uint32_t len = sizeof buf - 1;
  if ((dev.*get)(buf, &len) != ORVA_OK) return {};
  return std::string(buf, strnlen(buf, sizeof buf - 1));
}

std::string UtcDate(int64_t llSeconds) {
  time_t t = static_cast<time_t>(llSeconds);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

}  // namespace

CORVADeviceCertSource::CORVADeviceCertSource(CDeviceManager* pDeviceMngr) : m_pDeviceMngr(pDeviceMngr) {}

std::vector<std::string> CORVADeviceCertSource::DeviceNames() {
  std::vector<std::string> names;
  if (!m_pDeviceMngr) return names;
  uint32_t n = m_pDeviceMngr->GetDeviceCount();
  for (uint32_t i = 0; i < n; ++i) {
    DevicePtr dev = m_pDeviceMngr->GetDevice(i);
    if (!dev) continue;
    names.push_back(Text64(&CDevice::GetLabel, *dev) + "(" + Text64(&CDevice::GetSN, *dev) + ")");
  }
  return names;
}

bool CORVADeviceCertSource::Certificates(size_t ulDevice, std::vector<Cert>& certs) {
  certs.clear();
  DevicePtr dev = m_pDeviceMngr ? m_pDeviceMngr->GetDevice(static_cast<uint32_t>(ulDevice)) : nullptr;
  if (!dev) return false;
  uint32_t count = 0;
  uint32_t res = dev->GetCertCount(&count, false);
  if (res != ORVA_OK) {
    ORVA_LOG_ERROR("GetCertCount() failed! ulRes=0x%x", res);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    CertObjPtr cert;
    Cert c;
    if (dev->GetCertObj(i, cert) == ORVA_OK && cert) {
      uint32_t usage = 0;
      cert->get_KeyUsage(&usage);
      c.ulUsage = usage;
      cert->ToBuffer(c.der);
      // The "CN=" values (up to 255 characters) and the validity dates in UTC.
      cert->get_SubjectName("CN", c.subjectCN);
      cert->get_IssuerName("CN", c.issuerCN);
      if (c.subjectCN.size() > 255) c.subjectCN.resize(255);
      if (c.issuerCN.size() > 255) c.issuerCN.resize(255);
      ORVA_CERT_TIME from, to;
      if (cert->get_ValidDate(&from, &to) == ORVA_OK) {
        c.notBefore = UtcDate(from.llUtcSeconds);
        c.notAfter = UtcDate(to.llUtcSeconds);
      }
    }
    certs.push_back(std::move(c));
  }
  return true;
}

uint32_t CORVADeviceCertSource::ValidityStatus(size_t ulDevice, size_t ulCert, uint32_t& ulStatus) {
  DevicePtr dev = m_pDeviceMngr ? m_pDeviceMngr->GetDevice(static_cast<uint32_t>(ulDevice)) : nullptr;
  if (!dev) return ORVA_E_INVALID_CALL;
  CertObjPtr cert;
  uint32_t res = dev->GetCertObj(static_cast<uint32_t>(ulCert), cert);
  if (res != ORVA_OK || !cert) return res ? res : ORVA_E_NO_CERT;
  return cert->get_ValidType(ORVA_CERT_CHECK_TIME, &ulStatus);
}

uint32_t CORVADeviceCertSource::ChangeUserPin(size_t ulDevice, const std::string& strOld,
                                              const std::string& strNew, uint32_t& ulRetries) {
  DevicePtr dev = m_pDeviceMngr ? m_pDeviceMngr->GetDevice(static_cast<uint32_t>(ulDevice)) : nullptr;
  if (!dev) return ORVA_E_INVALID_CALL;
  ulRetries = 0;
  return dev->ChangePIN(PIN_USER, strOld.c_str(), strNew.c_str(), &ulRetries);
}

void CORVADeviceCertSource::Rescan() {
  if (m_pDeviceMngr) m_pDeviceMngr->EnumDevices(kOrvaSettingsKey, 1);
}
