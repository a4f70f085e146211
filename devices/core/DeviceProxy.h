#pragma once
// CDeviceProxy: the binding to one vendor library of a token kit (an SKF library or a
// PKCS#11 module). The back ends implement it (CGMDeviceProxy, CPKCS11Proxy); the kit
// object (CDeviceSDK) creates them through the factory registered for each kind.
//
// Lifetime: the kit holds its bindings; every device object a binding hands out holds it
// too (CDeviceFake::m_pProxy), so the library stays loaded while any device or session of
// it is alive. When a kit is released it first stops the binding's event thread
// (StopEventThread); the library is freed by Unload, which the binding's destructor runs.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/DeviceTypes.h"
#include "platform/DynamicLibrary.h"

// Called on a binding's event thread as (new device object, event type, argument):
// type 1 inserted (the object is already connected), 2 removed (the object only carries the
// token's name or slot identifier). The callee takes the object.
using ORVA_DEVICE_EVENT_CALLBACK = uint32_t (*)(std::shared_ptr<CDeviceFake> pDevice,
                                                uint32_t ulEventType, void* pArg);

// Start arguments of Load.
struct ORVA_PROXY_START_ARGS {
  bool bWatchEvents = false;  // start the event thread
  ORVA_DEVICE_EVENT_CALLBACK pfnCallback = nullptr;
  void* pArg = nullptr;
};

class CDeviceProxy : public std::enable_shared_from_this<CDeviceProxy> {
 public:
  // Creates the binding of one kind for a kit's provider name.
  using Factory = std::function<std::shared_ptr<CDeviceProxy>(const std::string& csCspName)>;

  explicit CDeviceProxy(const std::string& csCspName);
  virtual ~CDeviceProxy();
  CDeviceProxy(const CDeviceProxy&) = delete;
  CDeviceProxy& operator=(const CDeviceProxy&) = delete;

  // Loads the library at `csDllName` (absolute path), binds its functions and, when
  // `pInitArgs->bWatchEvents`, starts the event thread that reports through the callback.
  virtual uint32_t Load(const std::string& csDllName, const std::string& csAuxDllName,
                        const ORVA_PROXY_START_ARGS* pInitArgs) = 0;
  // Stops the event thread and frees the library. Never called from the event thread.
  virtual uint32_t Unload() = 0;
  // Ends the event thread and waits for it; the library stays loaded for the devices that
  // still use it. Safe to call when no thread runs. Never called from the event thread.
  virtual uint32_t StopEventThread() = 0;
  // One new, unconnected device object per token the library reports.
  virtual uint32_t GetDevices(std::vector<std::shared_ptr<CDeviceFake>>& devices) = 0;
  // The library path; the manager compares bindings by it (without regard to case).
  virtual std::string GetDllName() const { return m_csDllName; }

  const std::string& GetCspName() const { return m_csCspName; }

  // The factories of the back ends, one per kind (SDK_PKCS11, SDK_SKF). The program
  // registers them at start-up; tests register their own. An empty factory removes one.
  static void RegisterFactory(uint32_t ulSdkType, Factory factory);
  // A new binding of that kind, or null when no factory is registered for it.
  static std::shared_ptr<CDeviceProxy> Create(uint32_t ulSdkType, const std::string& csCspName);

 protected:
  std::string m_csDllName;     // library path (260 bytes)
  std::string m_csAuxDllName;  // auxiliary library path (260 bytes)
  std::string m_csCspName;     // provider name, the kit's CSPName (256 bytes)
  std::unique_ptr<orva::platform::CDynamicLibrary> m_hModule;
  ORVA_DEVICE_EVENT_CALLBACK m_pfnCallback = nullptr;
  void* m_pCallbackArg = nullptr;
};
