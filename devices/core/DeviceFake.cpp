#include "devices/core/DeviceFake.h"

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

// The text fields of a view hold at most 255 bytes and their terminator.
std::string Bounded(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

}  // namespace

CDeviceFake::CDeviceFake(std::shared_ptr<CDeviceProxy> pProxy, const std::string& csName,
                         uint32_t ulSlotID)
    : m_csName(Bounded(csName)), m_ulSlotID(ulSlotID), m_pProxy(std::move(pProxy)) {
  if (m_pProxy) m_csCspName = Bounded(m_pProxy->GetCspName());
}

CDeviceFake::~CDeviceFake() = default;

std::string CDeviceFake::GetDllName() const { return m_pProxy ? m_pProxy->GetDllName() : std::string(); }

uint32_t CDeviceFake::GetCertObj(uint32_t ulIndex, CertObjPtr& pCert) {
  std::lock_guard<std::mutex> g(m_certLock);
  if (ulIndex >= m_certList.size()) {
    ORVA_LOG_ERROR("ulIndex is wrong! ulIndex=0x%x", ulIndex);
    return ORVA_E_INVALID_PARAM;
  }
  pCert = m_certList[ulIndex];
  return ORVA_OK;
}

size_t CDeviceFake::GetCertListSize() const {
  std::lock_guard<std::mutex> g(m_certLock);
  return m_certList.size();
}

std::vector<CertObjPtr> CDeviceFake::_GetCertList() const {
  std::lock_guard<std::mutex> g(m_certLock);
  return m_certList;
}

void CDeviceFake::_SetCertList(std::vector<CertObjPtr> list) {
  std::vector<CertObjPtr> old;
  {
    std::lock_guard<std::mutex> g(m_certLock);
    old.swap(m_certList);
    m_certList = std::move(list);
  }
  // The old entries are released outside the lock (holders may keep some of them).
}

void CDeviceFake::_ClearCertList() { _SetCertList({}); }
