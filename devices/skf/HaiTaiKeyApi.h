#pragma once
// CHaiTaiKeyApi: the binding to the HaiTai serial-number library (a kit's GEAImage), which
// supplies the device serial number that the SKF device information of HaiTai tokens lacks.
//
// One instance per library path (compared exactly) for the whole process, reference
// counted: kits that name the same library share it. Get and Release run on the load
// threads of several kits at once and on the thread that releases the kits; the list and
// the counts are kept under one lock.
#include <cstdint>
#include <memory>
#include <string>

#include "devices/skf/SkfApi.h"
#include "platform/DynamicLibrary.h"

class CHaiTaiKeyApi {
 public:
  // The shared instance for the path, its count raised by one; a new one loads the library
  // (null when the path is empty or the library cannot be loaded).
  static CHaiTaiKeyApi* Get(const std::string& csDllName);
  // Lowers the count; at zero the instance leaves the list and frees its library. The
  // caller's pointer is invalid afterwards.
  void Release();

  // The token's serial number: 0x8100000B without HSConnectDev or HSReadDSN, 0x81000004 for
  // an empty name or a null length; a null buffer sets the length to 32; 0x81000006 when
  // the library fails.
  uint32_t ReadDSN(const char* lpcsDevName, uint8_t* pbDSN, uint32_t* pulLen);

  const std::string& GetDllName() const { return m_csDllName; }

  // For tests: instances listed, and the count of the instance of a path (0 when none).
  static size_t ListSize();
  static uint32_t RefCount(const std::string& csDllName);

  ~CHaiTaiKeyApi();
  CHaiTaiKeyApi(const CHaiTaiKeyApi&) = delete;
  CHaiTaiKeyApi& operator=(const CHaiTaiKeyApi&) = delete;

 private:
  CHaiTaiKeyApi() = default;
  friend struct std::default_delete<CHaiTaiKeyApi>;

  std::unique_ptr<orva::platform::CDynamicLibrary> m_hModule;
  std::string m_csDllName;  // 260 bytes
  PFN_HSConnectDev m_pfnHSConnectDev = nullptr;
  PFN_HSDisconnectDev m_pfnHSDisconnectDev = nullptr;
  PFN_HSReadDSN m_pfnHSReadDSN = nullptr;
  uint32_t m_ulRefCount = 0;
};
