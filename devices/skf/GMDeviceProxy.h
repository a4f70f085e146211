#pragma once
// CGMDeviceProxy: the binding to one vendor library of the GM/T 0016 token interface (SKF).
// It loads the kit's SKFImage by absolute path, resolves the SKF functions by name into its
// function table, lists the library's tokens as CGMDevice objects and, when the kit's default
// kind is SKF, watches the library for insertion and removal on an event thread of its own.
// It also owns the translation of SKF result codes into the program's codes.
//
// Every call into the library goes through Invoke: a function the library does not export
// is never called; the call answers SAR_NOTSUPPORTYETERR, which translates to 0x81000005.
//
// Event thread and unloading: the thread keeps the library loaded for as long as it runs.
// StopEventThread sets the stop flag and, when the library has SKF_CancelWaitForDevEvent,
// cancels the wait (again and again, for a bounded time, as the thread may be between two
// waits). A library without the cancel call cannot be interrupted: the thread is left to end
// when its wait returns, and no event is delivered after the stop flag is set.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/core/DeviceProxy.h"
#include "devices/skf/SkfApi.h"

class CHaiTaiKeyApi;

// One entry point per SKF function, null when the library lacks it.
struct GMFunctionTable {
#define GM_TABLE_ENTRY(name, params) PFN_##name name = nullptr;
  SKF_FUNCTION_LIST(GM_TABLE_ENTRY)
#undef GM_TABLE_ENTRY
};

// How long StopEventThread keeps cancelling a wait before it leaves the thread behind.
inline constexpr uint32_t ORVA_SKF_CANCEL_WAIT_MS = 3000;

class CGMDeviceProxy : public CDeviceProxy {
 public:
  explicit CGMDeviceProxy(const std::string& csCspName);
  ~CGMDeviceProxy() override;

  uint32_t Load(const std::string& csDllName, const std::string& csAuxDllName,
                const ORVA_PROXY_START_ARGS* pInitArgs) override;
  uint32_t Unload() override;
  uint32_t StopEventThread() override;
  uint32_t GetDevices(std::vector<std::shared_ptr<CDeviceFake>>& devices) override;

  // An event of the library (called by the event thread). Always 0.
  uint32_t OnDeviceEvent(const std::string& csName, uint32_t ulEventType);

  // The SKF result translation: one table for every SKF-based operation.
  static uint32_t TranslateResult(uint32_t ulSkfRes);

  // Calls one SKF function of the table; SAR_NOTSUPPORTYETERR when the library lacks it.
  template <class Fn, class... Args>
  ULONG Invoke(Fn GMFunctionTable::*entry, const char* lpcsName, Args... args) const {
    Fn fn = m_functions.*entry;
    if (fn == nullptr) {
      _LogMissing(lpcsName);
      return SAR_NOTSUPPORTYETERR;
    }
    return fn(args...);
  }

  // True when the library exports the entry (the container-type entry holds
  // SKF_GetConProperty when SKF_GetContainerType is missing).
  template <class Fn>
  bool Has(Fn GMFunctionTable::*entry) const {
    return m_functions.*entry != nullptr;
  }

  // The HaiTai serial-number binding of a HaiTai kit, or null.
  CHaiTaiKeyApi* GetHaiTaiApi() const { return m_pHaiTaiApi; }

  // Splits a list of zero-terminated names that ends with an empty name. Only the first
  // min(ulLen, bufSize) bytes are read; a list without its final terminators is cut there.
  static std::vector<std::string> ParseNameList(const char* pBuf, size_t bufSize, ULONG ulLen);

  // Event threads of all bindings still running (ended threads are not counted).
  static int RunningEventThreads();

 private:
  struct EventState;
  static void GMDeviceEventThreadProc(std::shared_ptr<EventState> pState);
  void _LogMissing(const char* lpcsName) const;

  GMFunctionTable m_functions;
  std::shared_ptr<orva::platform::CDynamicLibrary> m_pLibrary;
  CHaiTaiKeyApi* m_pHaiTaiApi = nullptr;  // shared binding, released by Unload
  std::shared_ptr<EventState> m_pEventState;
  std::thread m_eventThread;
};

// Registers the SKF binding as the factory of SDK_SKF kits (at program start).
void OrvaRegisterSkfBinding();
