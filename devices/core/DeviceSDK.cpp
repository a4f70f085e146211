#include "devices/core/DeviceSDK.h"

#include <cstring>
#include <exception>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

std::string Bounded(const std::string& s, size_t n) { return s.size() > n ? s.substr(0, n) : s; }

}  // namespace

uint32_t NotifyDeviceEvent(DeviceFakePtr pDevice, uint32_t ulEventType, void* pDeviceSdk) {
  // The entry from a vendor library's event thread: nothing may escape into it.
  try {
    ORVA_LOG_BEGIN();
    ORVA_LOG_INFO("Event type:0x%x", ulEventType);
    auto* pSdk = static_cast<CDeviceSDK*>(pDeviceSdk);
    if (pSdk == nullptr) {
      ORVA_LOG_ERROR("pDeviceSdk is NULL!");
      return ORVA_E_CALL_FAILED;
    }
    uint32_t ulRes = pSdk->OnNotifyDeviceEvent(std::move(pDevice), ulEventType);
    ORVA_LOG_END();
    return ulRes;
  } catch (const std::exception& e) {
    ORVA_LOG_ERROR("Device event failed with an exception: %s", e.what());
  } catch (...) {
    ORVA_LOG_ERROR("Device event failed with an exception!");
  }
  return ORVA_E_FAIL;
}

bool CDeviceSDK::IsSameToken(const std::string& strP11SN, const std::string& strSkfSN) {
  if (strP11SN.empty() || strSkfSN.size() < strP11SN.size()) return false;
  return std::memcmp(strP11SN.data(), strSkfSN.data(), strP11SN.size()) == 0;
}

CDeviceSDK::CDeviceSDK(const std::string& csSdkName, const std::string& csManufacturer)
    : m_csSdkName(Bounded(csSdkName, 255)),
      m_csManufacturer(Bounded(csManufacturer, 255)),
      m_pfnEventSink(&NotifyDeviceEvent) {}

// Event threads end before the bindings go; the libraries are freed once the last device
// object of each binding is gone.
CDeviceSDK::~CDeviceSDK() {
  StopEventThreads();
  std::lock_guard<std::mutex> g(m_proxyLock);
  m_pP11Proxy.reset();
  m_pSkfProxy.reset();
}

std::shared_ptr<CDeviceProxy> CDeviceSDK::GetP11Proxy() const {
  std::lock_guard<std::mutex> g(m_proxyLock);
  return m_pP11Proxy;
}

std::shared_ptr<CDeviceProxy> CDeviceSDK::GetSkfProxy() const {
  std::lock_guard<std::mutex> g(m_proxyLock);
  return m_pSkfProxy;
}

void CDeviceSDK::StopEventThreads() {
  std::shared_ptr<CDeviceProxy> p11 = GetP11Proxy(), skf = GetSkfProxy();
  if (p11) p11->StopEventThread();
  if (skf) skf->StopEventThread();
}

uint32_t CDeviceSDK::SetSdkFiles(const std::string& csCspName, const std::string& csP11Image,
                                 const std::string& csSkfImage, const std::string& csAuxImage,
                                 uint32_t ulDefaultType) {
  ORVA_LOG_BEGIN();
  if (csCspName.empty()) {
    ORVA_LOG_ERROR("lpsCspName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulDefaultType != SDK_PKCS11 && ulDefaultType != SDK_SKF) {
    ORVA_LOG_ERROR("ulDefaultType is wrong! ulDefaultType = 0x%x", ulDefaultType);
    return ORVA_E_INVALID_PARAM;
  }
  m_csCspName = Bounded(csCspName, 511);
  m_csP11Image = Bounded(csP11Image, 259);
  m_csSkfImage = Bounded(csSkfImage, 259);
  if (!csAuxImage.empty()) m_csAuxImage = Bounded(csAuxImage, 259);
  m_ulDefaultType = ulDefaultType;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDeviceSDK::LoadSdkFiles() {
  ORVA_LOG_BEGIN();
  // Any earlier binding ends its event thread before it is dropped.
  auto loadOne = [this](uint32_t ulKind, const std::string& path,
                        std::shared_ptr<CDeviceProxy>& slot) {
    std::shared_ptr<CDeviceProxy> old;
    {
      std::lock_guard<std::mutex> g(m_proxyLock);
      old.swap(slot);
    }
    if (old) old->StopEventThread();
    old.reset();
    if (path.empty()) return;
    std::shared_ptr<CDeviceProxy> proxy = CDeviceProxy::Create(ulKind, m_csCspName);
    const char* lpcsName = ulKind == SDK_PKCS11 ? "m_pP11Proxy" : "m_pSkfProxy";
    if (!proxy) {
      ORVA_LOG_ERROR("No binding of SDK type 0x%x is available for %s!", ulKind, lpcsName);
      return;
    }
    ORVA_PROXY_START_ARGS args;
    args.bWatchEvents = m_ulDefaultType == ulKind;
    args.pfnCallback = &NotifyDeviceEvent;
    args.pArg = this;
    uint32_t ulRes = proxy->Load(path, m_csAuxImage, &args);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("%s->Load() failed! ulRes = 0x%x", lpcsName, ulRes);
      proxy->StopEventThread();
      return;
    }
    std::lock_guard<std::mutex> g(m_proxyLock);
    slot = std::move(proxy);
  };
  loadOne(SDK_PKCS11, m_csP11Image, m_pP11Proxy);
  loadOne(SDK_SKF, m_csSkfImage, m_pSkfProxy);
  if (!GetP11Proxy() && !GetSkfProxy()) {
    ORVA_LOG_ERROR("Both m_pSkfProxy and m_pP11Proxy are NULL!");
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

std::string CDeviceSDK::_ReadSN(CDeviceFake& view) {
  char sn[64] = {};
  uint32_t ulLen = sizeof sn;
  if (view.GetSN(sn, &ulLen) != ORVA_OK) return {};
  return std::string(sn, strnlen(sn, sizeof sn));
}

uint32_t CDeviceSDK::GetDevices(std::vector<DevicePtr>& devices) {
  ORVA_LOG_BEGIN();
  devices.clear();
  std::shared_ptr<CDeviceProxy> p11 = GetP11Proxy(), skf = GetSkfProxy();
  std::vector<DeviceFakePtr> p11Objs, skfObjs;
  if (p11) {
    uint32_t ulRes = p11->GetDevices(p11Objs);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("m_pP11Proxy->GetDevices() failed! ulRes = 0x%x", ulRes);
      return ORVA_E_INVALID_PARAM;
    }
  }
  if (skf) {
    uint32_t ulRes = skf->GetDevices(skfObjs);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("m_pSkfProxy->GetDevices() failed! ulRes = 0x%x", ulRes);
      return ORVA_E_INVALID_PARAM;
    }
  }

  // Each SKF object is connected once; one that pairs is taken out of the running.
  struct Candidate {
    DeviceFakePtr view;
    std::string sn;
    bool used = false;
  };
  std::vector<Candidate> skfViews;
  for (auto& b : skfObjs) {
    if (!b) continue;
    uint32_t ulRes = b->Connect();
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSkfDev->Connect() failed! ulRes = 0x%x", ulRes);
      continue;
    }
    Candidate c;
    c.sn = _ReadSN(*b);
    c.view = b;
    skfViews.push_back(std::move(c));
  }

  for (auto& a : p11Objs) {
    if (!a) continue;
    uint32_t ulRes = a->Connect();
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pP11Dev->Connect() failed! ulRes = 0x%x", ulRes);
      continue;
    }
    std::string sn = _ReadSN(*a);
    DeviceFakePtr partner;
    for (auto& c : skfViews) {
      if (!c.used && IsSameToken(sn, c.sn)) {
        c.used = true;
        partner = c.view;
        break;
      }
    }
    devices.push_back(CDevice::Create(a, partner, m_ulDefaultType));
  }
  for (auto& c : skfViews) {
    if (!c.used) devices.push_back(CDevice::Create(nullptr, c.view, SDK_SKF));
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDeviceSDK::OnNotifyDeviceEvent(DeviceFakePtr pEventFakeDev, uint32_t ulEventType) {
  ORVA_LOG_BEGIN();
  if (!pEventFakeDev) {
    ORVA_LOG_ERROR("pEventFakeDev is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulDevType = pEventFakeDev->GetDevType();
  if (ulDevType != SDK_PKCS11 && ulDevType != SDK_SKF) {
    ORVA_LOG_ERROR("Event device type is wrong! ulDevType=0x%x", ulDevType);
    return ORVA_E_INVALID_PARAM;
  }
  DevicePtr pDevice = ulDevType == SDK_PKCS11 ? CDevice::Create(pEventFakeDev, nullptr, SDK_PKCS11)
                                              : CDevice::Create(nullptr, pEventFakeDev, SDK_SKF);
  // The partner of an inserted token is found by the manager under its lock
  // (_PairInsertedDevice), so that a view already listed is never taken twice.
  uint32_t ulRes = m_pfnEventSink ? m_pfnEventSink(this, std::move(pDevice), ulEventType)
                                  : ORVA_E_CALL_FAILED;
  ORVA_LOG_END();
  return ulRes;
}

void CDeviceSDK::_PairInsertedDevice(CDevice& device,
                                     const std::function<bool(const CDeviceFake&)>& isListed) {
  CDeviceFake* pNew = device.GetP11DevObj() ? device.GetP11DevObj() : device.GetSkfDevObj();
  if (pNew == nullptr || (device.GetP11DevObj() && device.GetSkfDevObj())) return;
  bool bNewIsP11 = pNew == device.GetP11DevObj();
  std::shared_ptr<CDeviceProxy> other = bNewIsP11 ? GetSkfProxy() : GetP11Proxy();
  if (!other) return;
  std::string sn = _ReadSN(*pNew);
  if (sn.empty()) return;
  std::vector<DeviceFakePtr> objs;
  uint32_t ulRes = other->GetDevices(objs);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GetDevices() failed! ulRes = 0x%x", ulRes);
    return;
  }
  for (auto& o : objs) {
    if (!o || (isListed && isListed(*o))) continue;
    if (o->Connect() != ORVA_OK) continue;
    std::string osn = _ReadSN(*o);
    bool bSame = bNewIsP11 ? IsSameToken(sn, osn) : IsSameToken(osn, sn);
    if (bSame && device._AttachPartnerView(o)) {
      ORVA_LOG_INFO("Device %s is paired with %s!", sn.c_str(), osn.c_str());
      return;
    }
    o->Disconnect();
  }
}
