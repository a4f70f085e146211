#pragma once
// The certificate window's tokens: the device manager's devices in its order, their
// certificates, the validity-period check of each certificate and the user-PIN change.
#include "app/ORVAShowCertDlg.h"

class CDeviceManager;

class CORVADeviceCertSource : public CORVACertSource {
 public:
  explicit CORVADeviceCertSource(CDeviceManager* pDeviceMngr);

  std::vector<std::string> DeviceNames() override;
  bool Certificates(size_t ulDevice, std::vector<Cert>& certs) override;
  uint32_t ValidityStatus(size_t ulDevice, size_t ulCert, uint32_t& ulStatus) override;
  uint32_t ChangeUserPin(size_t ulDevice, const std::string& strOld, const std::string& strNew,
                         uint32_t& ulRetries) override;
  void Rescan() override;

 private:
  CDeviceManager* m_pDeviceMngr;
};
