#pragma once
// CDeviceSDK: one configured token kit (a sub-key of the machine-wide settings key) with
// its PKCS#11 and SKF bindings. It lists the kit's tokens as CDevice objects, pairing the
// two views of one physical token, and turns the bindings' hot-plug reports into CDevice
// events for the manager.
//
// Pairing rule, at start-up and after hot-plug alike: a PKCS#11 view and an SKF view are
// one token when the PKCS#11 serial number is a prefix of the SKF serial number (compared
// over the PKCS#11 serial's length, case-sensitive); an empty serial never pairs, and an
// SKF view belongs to at most one PKCS#11 view.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/core/Device.h"
#include "devices/core/DeviceProxy.h"

class CDeviceSDK;

// Where the kit hands a finished CDevice event (the manager by default).
using ORVA_DEVICE_EVENT_SINK = uint32_t (*)(CDeviceSDK* pSdk, DevicePtr pDevice,
                                            uint32_t ulEventType);

// The binding's event callback: passes the event to the kit given as argument.
uint32_t NotifyDeviceEvent(DeviceFakePtr pDevice, uint32_t ulEventType, void* pDeviceSdk);
// The kit's event sink: passes the event to the manager.
uint32_t NotifyDeviceEvent(CDeviceSDK* pSdk, DevicePtr pDevice, uint32_t ulEventType);

class CDeviceSDK {
 public:
  // True when a PKCS#11 serial and an SKF serial belong to one token.
  static bool IsSameToken(const std::string& strP11SN, const std::string& strSkfSN);

  CDeviceSDK(const std::string& csSdkName, const std::string& csManufacturer);
  ~CDeviceSDK();
  CDeviceSDK(const CDeviceSDK&) = delete;
  CDeviceSDK& operator=(const CDeviceSDK&) = delete;

  // Provider name (required), library paths, default kind (2 or 3).
  uint32_t SetSdkFiles(const std::string& csCspName, const std::string& csP11Image,
                       const std::string& csSkfImage, const std::string& csAuxImage,
                       uint32_t ulDefaultType);
  // Creates and loads the bindings; only the default kind's binding watches events.
  uint32_t LoadSdkFiles();
  // The kit's present tokens, paired, with their views connected.
  uint32_t GetDevices(std::vector<DevicePtr>& devices);
  // A binding's hot-plug report (on its event thread).
  uint32_t OnNotifyDeviceEvent(DeviceFakePtr pEventFakeDev, uint32_t ulEventType);

  // Pairs an inserted device with the first view of the other binding that is not
  // `isListed` (already part of a listed device), connects and has a matching serial.
  // Called by the manager under its lock, before the device is listed.
  void _PairInsertedDevice(CDevice& device,
                           const std::function<bool(const CDeviceFake&)>& isListed);

  // Ends the event threads of both bindings and waits for them (never from one of them).
  void StopEventThreads();

  const std::string& GetSdkName() const { return m_csSdkName; }
  const std::string& GetManufacturer() const { return m_csManufacturer; }
  const std::string& GetCspName() const { return m_csCspName; }
  uint32_t GetDefaultType() const { return m_ulDefaultType; }
  std::shared_ptr<CDeviceProxy> GetP11Proxy() const;
  std::shared_ptr<CDeviceProxy> GetSkfProxy() const;

  // Replaces the event sink (tests of the kit alone).
  void SetEventSink(ORVA_DEVICE_EVENT_SINK pfnSink) { m_pfnEventSink = pfnSink; }

 private:
  // Serial number of a connected view ("" when it cannot be read).
  static std::string _ReadSN(CDeviceFake& view);

  std::string m_csSdkName;       // 256 bytes
  std::string m_csManufacturer;  // 256 bytes
  std::string m_csCspName;       // 512 bytes
  std::string m_csP11Image;      // 260 bytes
  std::string m_csSkfImage;      // 260 bytes
  std::string m_csAuxImage;      // 260 bytes
  uint32_t m_ulDefaultType = 0;

  mutable std::mutex m_proxyLock;
  std::shared_ptr<CDeviceProxy> m_pP11Proxy;
  std::shared_ptr<CDeviceProxy> m_pSkfProxy;

  ORVA_DEVICE_EVENT_SINK m_pfnEventSink;
};

using DeviceSdkPtr = std::shared_ptr<CDeviceSDK>;
