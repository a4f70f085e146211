#pragma once
// CDeviceManager: the one place that knows which tokens are present. It reads the token
// kits from the machine-wide settings, loads each kit on a thread of its own, keeps the
// list of present devices up to date on hot-plug, registers the tokens' certificates in
// the user's store and posts every change to the registered receivers.
//
// Receivers are event queues (the stand-in for windows): each registered (queue, argument)
// pair gets its own copy of the event record, in posting order, on the queue's loop.
//
// Locks: m_lock serialises loading, refreshing and event handling (vendor calls included);
// the device lists and the handler list each have a short lock of their own, so that
// GetDevice, GetDeviceCount and handler registration never wait for a vendor call.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/core/Device.h"
#include "devices/core/DeviceSDK.h"
#include "foundation/DeviceTypes.h"
#include "platform/EventQueue.h"

using CDeviceEventQueue = orva::platform::CEventQueue<DEVICE_EVENT_INFO>;
using DeviceEventQueuePtr = std::shared_ptr<CDeviceEventQueue>;

// How long a forced enumeration, a new load and shutdown wait for a kit that is still
// loading its libraries before they leave it behind.
inline constexpr uint32_t ORVA_SDK_LOAD_WAIT_MS = 5000;

class CDeviceManager {
 public:
  // The manager, created on the first call (thread-safe).
  static CDeviceManager* GetInstance();
  // Destroys it: load threads are awaited, event threads stopped, then the devices
  // released. Devices still held elsewhere stay alive, stale.
  static void ReleaseInstance();

  uint32_t AddEventHandler(const DeviceEventQueuePtr& hEventWnd, uintptr_t pArg);
  uint32_t RemoveEventHandler(const DeviceEventQueuePtr& hEventWnd, uintptr_t pArg);

  // Force 0 returns at once. Otherwise reads the kits when none is known, then starts the
  // load threads the first time, or waits for them and rebuilds the device list.
  uint32_t EnumDevices(const std::string& csRoot, uint32_t ulForce);

  uint32_t GetDeviceCount();
  // The device at the index (the caller shares it), or null.
  DevicePtr GetDevice(uint32_t ulIndex);

  // Adds every certificate of the device to the user's store, or removes it.
  uint32_t RegistDeviceCert(CDevice* pDevice);
  uint32_t UnregistDeviceCert(CDevice* pDevice);

  // Waits until no load thread runs; false when the time ran out.
  bool WaitForLoad(uint32_t ulTimeoutMs);

  // Names of the known kits, in settings order.
  std::vector<std::string> GetSdkNames();

  // A kit's finished event (the kit's event sink ends here).
  uint32_t OnNotifyDeviceEvent(CDeviceSDK* pSdk, DevicePtr pEventDev, uint32_t ulEventType);
  // Lists a loaded kit's devices (the kit's load thread).
  uint32_t AddSdkDevices(CDeviceSDK* pSdk);

 private:
  struct LoadJob;
  struct EventHandler {
    DeviceEventQueuePtr hEventWnd;
    uintptr_t pArg;
  };

  friend struct std::default_delete<CDeviceManager>;
  CDeviceManager();
  ~CDeviceManager();

  // One string value of a kit's sub-key: 0, or 2 missing, 13 not a string, 234 longer than
  // `maxChars` UTF-16 units (logged; a value is never cut).
  static uint32_t _ReadKitString(const std::string& csKey, const char* lpcsName, size_t maxChars,
                                 std::string& strValue);
  static uint32_t _ReadKitDword(const std::string& csKey, const char* lpcsName, uint32_t& ulValue);

  uint32_t _ReadSdkConfig(const std::string& csRoot);
  uint32_t AddSdk(DeviceSdkPtr pSdk);
  uint32_t LoadSdkFiles();
  uint32_t RefreshDeviceList();
  static void SDKLoadThreadProc(std::shared_ptr<LoadJob> pJob);

  // With m_lock held.
  uint32_t _AddSdkDevices(CDeviceSDK* pSdk, uint32_t* pulAdded);
  void ReleaseDevices();
  void _ReleaseDevice(const DevicePtr& pDevice);
  DevicePtr _FindListedDevice(const CDevice& device, const std::string& strSN);
  bool _IsViewListed(const CDeviceFake& view);
  void _PostEvent(const DEVICE_EVENT_INFO& info);

  // Waits up to `ulWaitMs` for each load thread; one still in its kit's libraries is left
  // behind (it never reaches the manager afterwards); one already listing devices is
  // awaited to its end.
  void _WaitLoadThreads(uint32_t ulWaitMs);

  std::mutex m_enumLock;  // one EnumDevices at a time
  std::mutex m_lock;      // loading, refreshing, events
  bool m_bClosing = false;

  std::mutex m_sdkLock;
  std::vector<DeviceSdkPtr> m_sdkList;

  std::mutex m_threadLock;
  std::vector<std::shared_ptr<LoadJob>> m_loadThreads;

  std::mutex m_listLock;
  std::vector<DevicePtr> m_deviceList;
  std::vector<DevicePtr> m_removedList;

  std::mutex m_handlerLock;
  std::vector<EventHandler> m_eventHandlers;

  DEVICE_EVENT_INFO m_eventInfo{};
};
