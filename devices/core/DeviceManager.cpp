#include "devices/core/DeviceManager.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <shared_mutex>
#include <strings.h>
#include <system_error>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"

namespace {

constexpr uint32_t kErrInvalidData = 13;
constexpr uint32_t kErrMoreData = 234;

// Sizes of the kit values as the settings buffers hold them, in UTF-16 units.
constexpr size_t kMaxNameChars = 129;   // SDKName, Manufacturer: 260 bytes
constexpr size_t kMaxImageChars = 127;  // CSPName and the library paths: 256 bytes
constexpr size_t kMaxKeyChars = 255;    // sub-key names and paths

std::shared_mutex& InstanceLock() {
  static std::shared_mutex lock;
  return lock;
}

std::unique_ptr<CDeviceManager>& Instance() {
  static std::unique_ptr<CDeviceManager> s_pDeviceManager;
  return s_pDeviceManager;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool SameLibrary(const CDeviceFake* a, const CDeviceFake* b) {
  return a && b && EqualNoCase(a->GetDllName(), b->GetDllName());
}

// Text read through a view with the buffer convention ("" on failure).
template <class Reader>
uint32_t ReadText(Reader reader, size_t bufLen, std::string& out) {
  std::vector<char> buf(bufLen + 1, '\0');
  uint32_t ulLen = static_cast<uint32_t>(bufLen);
  uint32_t ulRes = reader(buf.data(), &ulLen);
  out.assign(buf.data(), strnlen(buf.data(), bufLen));
  if (ulRes != ORVA_OK) out.clear();
  return ulRes;
}

void CopyLabel(DEVICE_EVENT_INFO& info, const std::string& label) {
  std::memset(info.szLabel, 0, sizeof info.szLabel);
  std::memcpy(info.szLabel, label.data(), std::min(label.size(), sizeof info.szLabel - 1));
}

}  // namespace

struct CDeviceManager::LoadJob {
  CDeviceManager* pManager = nullptr;
  DeviceSdkPtr pSdk;
  std::thread thread;
  std::mutex lock;
  std::condition_variable cv;
  bool bDone = false;
  bool bInManager = false;  // listing devices: the manager must wait for it
  bool bAbandoned = false;  // left behind: it must not reach the manager
  uint32_t ulExitCode = 0;
};

// ---------------------------------------------------------------------------------------
// Instance and the kits' event sink.

CDeviceManager* CDeviceManager::GetInstance() {
  {
    std::shared_lock<std::shared_mutex> g(InstanceLock());
    if (Instance()) return Instance().get();
  }
  std::unique_lock<std::shared_mutex> g(InstanceLock());
  if (!Instance()) Instance().reset(new CDeviceManager());
  return Instance().get();
}

void CDeviceManager::ReleaseInstance() {
  std::unique_ptr<CDeviceManager> pMngr;
  {
    // Events that arrive from now on find no manager.
    std::unique_lock<std::shared_mutex> g(InstanceLock());
    pMngr = std::move(Instance());
  }
  pMngr.reset();
}

uint32_t NotifyDeviceEvent(CDeviceSDK* pSdk, DevicePtr pDevice, uint32_t ulEventType) {
  std::shared_lock<std::shared_mutex> g(InstanceLock());
  CDeviceManager* pMngr = Instance().get();
  if (pMngr == nullptr) {
    ORVA_LOG_ERROR("s_pDeviceManager is NULL!");
    if (pDevice) pDevice->_Release();
    return ORVA_E_CALL_FAILED;
  }
  return pMngr->OnNotifyDeviceEvent(pSdk, std::move(pDevice), ulEventType);
}

CDeviceManager::CDeviceManager() = default;

// Load threads first, then the event threads, then the devices, then the kits: no thread
// of the device layer runs when the devices are released.
CDeviceManager::~CDeviceManager() {
  ORVA_LOG_BEGIN();
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bClosing = true;
  }
  {
    std::lock_guard<std::mutex> g(m_enumLock);
    _WaitLoadThreads(ORVA_SDK_LOAD_WAIT_MS);
  }
  std::vector<DeviceSdkPtr> sdks;
  {
    std::lock_guard<std::mutex> g(m_sdkLock);
    sdks = m_sdkList;
  }
  for (auto& sdk : sdks) sdk->StopEventThreads();
  {
    std::lock_guard<std::mutex> g(m_lock);
    ReleaseDevices();
  }
  sdks.clear();
  {
    std::lock_guard<std::mutex> g(m_sdkLock);
    m_sdkList.clear();
  }
  std::lock_guard<std::mutex> g(m_handlerLock);
  m_eventHandlers.clear();
  ORVA_LOG_END();
}

// ---------------------------------------------------------------------------------------
// Receivers.

uint32_t CDeviceManager::AddEventHandler(const DeviceEventQueuePtr& hEventWnd, uintptr_t pArg) {
  ORVA_LOG_BEGIN();
  if (!hEventWnd) {
    ORVA_LOG_ERROR("hEventWnd is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::lock_guard<std::mutex> g(m_handlerLock);
  for (const auto& h : m_eventHandlers) {
    if (h.hEventWnd == hEventWnd && h.pArg == pArg) {
      ORVA_LOG_INFO("This window and arg are exist!");
      return ORVA_OK;
    }
  }
  m_eventHandlers.push_back({hEventWnd, pArg});
  ORVA_LOG_INFO("hEventWnd=0x%lx, pArg=0x%lx has been added!",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hEventWnd.get())),
                static_cast<unsigned long>(pArg));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDeviceManager::RemoveEventHandler(const DeviceEventQueuePtr& hEventWnd, uintptr_t pArg) {
  ORVA_LOG_BEGIN();
  std::lock_guard<std::mutex> g(m_handlerLock);
  for (auto it = m_eventHandlers.begin(); it != m_eventHandlers.end(); ++it) {
    if (it->hEventWnd == hEventWnd && it->pArg == pArg) {
      m_eventHandlers.erase(it);
      ORVA_LOG_INFO("hEventWnd=0x%lx, pArg=0x%lx has been removed!",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hEventWnd.get())),
                    static_cast<unsigned long>(pArg));
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  ORVA_LOG_INFO("This window and arg are not exist!");
  return ORVA_OK;
}

// Every receiver gets a copy of the record, in posting order (posting happens under m_lock).
void CDeviceManager::_PostEvent(const DEVICE_EVENT_INFO& info) {
  std::vector<EventHandler> handlers;
  {
    std::lock_guard<std::mutex> g(m_handlerLock);
    handlers = m_eventHandlers;
  }
  for (const auto& h : handlers) {
    h.hEventWnd->Post(h.pArg, info);
    auto wnd = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h.hEventWnd.get()));
    auto arg = static_cast<unsigned long>(h.pArg);
    if (info.ulEventType == DEVICE_EVENT_LIST_REBUILT)
      ORVA_LOG_INFO("Device updated event has been posted to Wnd:0x%lx and Arg:0x%lx!", wnd, arg);
    else
      ORVA_LOG_INFO("Event has been posted to Wnd:0x%lx and Arg:0x%lx!", wnd, arg);
  }
}

// ---------------------------------------------------------------------------------------
// The device list as callers see it.

uint32_t CDeviceManager::GetDeviceCount() {
  std::lock_guard<std::mutex> g(m_listLock);
  uint32_t ulCount = static_cast<uint32_t>(m_deviceList.size());
  ORVA_LOG_INFO("Device count:0x%x", ulCount);
  return ulCount;
}

DevicePtr CDeviceManager::GetDevice(uint32_t ulIndex) {
  std::lock_guard<std::mutex> g(m_listLock);
  if (ulIndex >= m_deviceList.size()) {
    ORVA_LOG_ERROR("Device ulIndex is incorrect! Device count is:0x%x",
                   static_cast<uint32_t>(m_deviceList.size()));
    return nullptr;
  }
  return m_deviceList[ulIndex];
}

std::vector<std::string> CDeviceManager::GetSdkNames() {
  std::lock_guard<std::mutex> g(m_sdkLock);
  std::vector<std::string> names;
  for (const auto& s : m_sdkList) names.push_back(s->GetSdkName());
  return names;
}

// ---------------------------------------------------------------------------------------
// Configuration.

uint32_t CDeviceManager::_ReadKitString(const std::string& csKey, const char* lpcsName,
                                        size_t maxChars, std::string& strValue) {
  SettingValue v;
  uint32_t ulRes = CSettingsStore::Instance().ReadValue(SettingsScope::Machine, csKey, lpcsName, v);
  if (ulRes != 0) return ulRes;
  if (v.type != ORVA_REG_SZ) {
    ORVA_LOG_ERROR("Value %s of %s is not a string!", lpcsName, csKey.c_str());
    return kErrInvalidData;
  }
  size_t units = CStringConvert::Utf8ToUtf16(v.text).size();
  if (units > maxChars) {
    ORVA_LOG_ERROR("Value %s of %s has 0x%x characters, more than its 0x%x! It is not read.",
                   lpcsName, csKey.c_str(), static_cast<uint32_t>(units),
                   static_cast<uint32_t>(maxChars));
    return kErrMoreData;
  }
  strValue = v.text;
  return ORVA_OK;
}

uint32_t CDeviceManager::_ReadKitDword(const std::string& csKey, const char* lpcsName,
                                       uint32_t& ulValue) {
  SettingValue v;
  uint32_t ulRes = CSettingsStore::Instance().ReadValue(SettingsScope::Machine, csKey, lpcsName, v);
  if (ulRes != 0) return ulRes;
  if (v.type != ORVA_REG_DWORD) return kErrInvalidData;
  ulValue = v.dword;
  return ORVA_OK;
}

uint32_t CDeviceManager::_ReadSdkConfig(const std::string& csRoot) {
  ORVA_LOG_INFO("Registry root:%s", csRoot.c_str());
  std::vector<std::string> names;
  uint32_t ulRes = CSettingsStore::Instance().EnumSubKeys(SettingsScope::Machine, csRoot, names);
  if (ulRes != 0) {
    ORVA_LOG_ERROR("RegOpenKeyEx() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (names.empty()) {
    ORVA_LOG_ERROR("RegQueryInfoKey() failed! cSubKeys = 0x%x", 0u);
    return ORVA_E_CALL_FAILED;
  }
  for (const auto& name : names) {
    if (name.size() > kMaxKeyChars || csRoot.size() + 1 + name.size() > kMaxKeyChars) {
      ORVA_LOG_ERROR("The sub key path is too long! Sub key:%s", name.c_str());
      continue;
    }
    std::string key = csRoot + "\\" + name;
    std::string sdkName, manufacturer;
    uint32_t ulDefaultType = 0;
    ulRes = _ReadKitString(key, "SDKName", kMaxNameChars, sdkName);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("RegQueryValueEx() with ORVA_REGKEY_SDKNAME failed! ulRes = 0x%x", ulRes);
      continue;
    }
    ulRes = _ReadKitString(key, "Manufacturer", kMaxNameChars, manufacturer);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("RegQueryValueEx() with ORVA_REGKEY_MANUNAME failed!! ulRes = 0x%x", ulRes);
      continue;
    }
    ulRes = _ReadKitDword(key, "DefaultSdkType", ulDefaultType);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("RegQueryValueEx() with ORVA_REGKEY_DEFAULTTYPE failed!! ulRes = 0x%x", ulRes);
      continue;
    }
    if (ulDefaultType != SDK_PKCS11 && ulDefaultType != SDK_SKF) {
      ORVA_LOG_ERROR("The default SDK type is wrong! dwDefaultType = 0x%x", ulDefaultType);
      continue;
    }
    // Optional values: missing reads as empty; unreadable (too long, wrong type) likewise,
    // with the reason logged above.
    std::string csp, p11, skf, aux;
    _ReadKitString(key, "CSPName", kMaxImageChars, csp);
    _ReadKitString(key, "P11Image", kMaxImageChars, p11);
    _ReadKitString(key, "SKFImage", kMaxImageChars, skf);
    _ReadKitString(key, "GEAImage", kMaxImageChars, aux);
    auto pSdk = std::make_shared<CDeviceSDK>(sdkName, manufacturer);
    ulRes = pSdk->SetSdkFiles(csp, p11, skf, aux, ulDefaultType);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("SetSdkFiles() failed! ulRes = 0x%x", ulRes);
      continue;
    }
    AddSdk(std::move(pSdk));
  }
  return ORVA_OK;
}

uint32_t CDeviceManager::AddSdk(DeviceSdkPtr pSdk) {
  std::lock_guard<std::mutex> g(m_sdkLock);
  for (const auto& s : m_sdkList) {
    if (EqualNoCase(s->GetSdkName(), pSdk->GetSdkName())) {
      ORVA_LOG_INFO("SDK %s is exist!", pSdk->GetSdkName().c_str());
      return ORVA_OK;
    }
  }
  ORVA_LOG_INFO("SDK %s has been added!", pSdk->GetSdkName().c_str());
  m_sdkList.push_back(std::move(pSdk));
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// Loading.

uint32_t CDeviceManager::EnumDevices(const std::string& csRoot, uint32_t ulForce) {
  ORVA_LOG_BEGIN();
  if (ulForce == 0) {
    ORVA_LOG_INFO("Device list is exist, return!");
    return ORVA_OK;
  }
  std::lock_guard<std::mutex> g(m_enumLock);
  bool bNoSdk;
  {
    std::lock_guard<std::mutex> s(m_sdkLock);
    bNoSdk = m_sdkList.empty();
  }
  if (bNoSdk) {
    uint32_t ulRes = _ReadSdkConfig(csRoot);
    if (ulRes != ORVA_OK) return ulRes;
  }
  bool bStarted;
  {
    std::lock_guard<std::mutex> t(m_threadLock);
    bStarted = !m_loadThreads.empty();
  }
  if (bStarted) {
    // A kit still loading would list its devices into the rebuilt list a second time.
    _WaitLoadThreads(ORVA_SDK_LOAD_WAIT_MS);
    RefreshDeviceList();
  } else {
    LoadSdkFiles();
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

void CDeviceManager::_WaitLoadThreads(uint32_t ulWaitMs) {
  std::vector<std::shared_ptr<LoadJob>> jobs;
  {
    std::lock_guard<std::mutex> g(m_threadLock);
    jobs = m_loadThreads;
  }
  for (auto& job : jobs) {
    std::unique_lock<std::mutex> g(job->lock);
    if (!job->thread.joinable()) continue;  // joined or left behind before
    if (!job->cv.wait_for(g, std::chrono::milliseconds(ulWaitMs), [&] { return job->bDone; })) {
      if (!job->bInManager) {
        job->bAbandoned = true;
        g.unlock();
        job->thread.detach();
        ORVA_LOG_ERROR("The load thread of SDK %s does not end! It is left behind.",
                       job->pSdk ? job->pSdk->GetSdkName().c_str() : "");
        continue;
      }
      job->cv.wait(g, [&] { return job->bDone; });
    }
    g.unlock();
    job->thread.join();
  }
}

bool CDeviceManager::WaitForLoad(uint32_t ulTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
  std::vector<std::shared_ptr<LoadJob>> jobs;
  {
    std::lock_guard<std::mutex> g(m_threadLock);
    jobs = m_loadThreads;
  }
  for (auto& job : jobs) {
    std::unique_lock<std::mutex> g(job->lock);
    if (job->bAbandoned) continue;
    if (!job->cv.wait_until(g, deadline, [&] { return job->bDone; })) return false;
  }
  return true;
}

uint32_t CDeviceManager::LoadSdkFiles() {
  ORVA_LOG_BEGIN();
  _WaitLoadThreads(ORVA_SDK_LOAD_WAIT_MS);
  {
    std::lock_guard<std::mutex> g(m_threadLock);
    m_loadThreads.clear();
  }
  {
    std::lock_guard<std::mutex> g(m_lock);
    ReleaseDevices();
  }
  std::vector<DeviceSdkPtr> sdks;
  {
    std::lock_guard<std::mutex> g(m_sdkLock);
    sdks = m_sdkList;
  }
  for (auto& sdk : sdks) {
    auto job = std::make_shared<LoadJob>();
    job->pManager = this;
    job->pSdk = sdk;
    std::lock_guard<std::mutex> g(m_threadLock);
    try {
      job->thread = std::thread(&CDeviceManager::SDKLoadThreadProc, job);
    } catch (const std::system_error& e) {
      ORVA_LOG_ERROR("CreateThread() failed! rv=0x%x", static_cast<uint32_t>(e.code().value()));
      continue;
    }
    m_loadThreads.push_back(std::move(job));
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

void CDeviceManager::SDKLoadThreadProc(std::shared_ptr<LoadJob> pJob) {
  uint32_t ulRes = ORVA_OK;
  try {
    ORVA_LOG_BEGIN();
    CDeviceSDK* pDeviceSDK = pJob->pSdk.get();
    if (pDeviceSDK == nullptr) {
      ORVA_LOG_ERROR("pDeviceSDK is NULL!");
      ulRes = ORVA_E_INVALID_CALL;
    } else if ((ulRes = pDeviceSDK->LoadSdkFiles()) != ORVA_OK) {
      ORVA_LOG_ERROR("LoadSdkFiles() failed! dwRes = 0x%x", ulRes);
    } else {
      CDeviceManager* pMngr = nullptr;
      {
        std::lock_guard<std::mutex> g(pJob->lock);
        if (!pJob->bAbandoned) {
          pJob->bInManager = true;
          pMngr = pJob->pManager;
        }
      }
      if (pMngr == nullptr) {
        ORVA_LOG_ERROR("pMngr is NULL!");
        ulRes = ORVA_E_CALL_FAILED;
      } else if ((ulRes = pMngr->AddSdkDevices(pDeviceSDK)) != ORVA_OK) {
        ORVA_LOG_ERROR("AddSdkDevices() failed! dwRes = 0x%x", ulRes);
      } else {
        ORVA_LOG_END();
      }
    }
  } catch (const std::exception& e) {
    ORVA_LOG_ERROR("SDK load failed with an exception: %s", e.what());
    ulRes = ORVA_E_FAIL;
  } catch (...) {
    ORVA_LOG_ERROR("SDK load failed with an exception!");
    ulRes = ORVA_E_FAIL;
  }
  std::lock_guard<std::mutex> g(pJob->lock);
  pJob->ulExitCode = ulRes;
  pJob->bDone = true;
  pJob->cv.notify_all();
}

// ---------------------------------------------------------------------------------------
// Building and releasing the list (m_lock held by the callers of the underscore helpers).

uint32_t CDeviceManager::AddSdkDevices(CDeviceSDK* pSdk) {
  ORVA_LOG_BEGIN();
  std::lock_guard<std::mutex> g(m_lock);
  if (m_bClosing) return ORVA_OK;
  uint32_t ulAdded = 0;
  uint32_t ulRes = _AddSdkDevices(pSdk, &ulAdded);
  if (ulRes != ORVA_OK) return ulRes;
  if (ulAdded > 0) {
    std::memset(&m_eventInfo, 0, sizeof m_eventInfo);
    m_eventInfo.ulEventType = DEVICE_EVENT_LIST_REBUILT;
    _PostEvent(m_eventInfo);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDeviceManager::_AddSdkDevices(CDeviceSDK* pSdk, uint32_t* pulAdded) {
  *pulAdded = 0;
  std::vector<DevicePtr> devices;
  uint32_t ulRes = pSdk->GetDevices(devices);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSdk->GetDevices() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  for (auto& pDevice : devices) {
    std::string label;
    ulRes = ReadText([&](char* b, uint32_t* l) { return pDevice->GetLabel(b, l); }, 128, label);
    if (ulRes != ORVA_OK) {
      if (CDeviceFake* pDefault = pDevice->GetDefaultObj())
        ORVA_LOG_ERROR("Device (Solt ID:%d, Name:%s) connect or get label failed!",
                       static_cast<int>(pDefault->GetSlotID()), pDefault->GetName().c_str());
      else
        ORVA_LOG_ERROR("The default device object is NULL!");
      pDevice->_Release();
      continue;
    }
    // A token whose insertion event came first is already listed.
    std::string sn;
    ReadText([&](char* b, uint32_t* l) { return pDevice->GetSN(b, l); }, 64, sn);
    if (!sn.empty() && _FindListedDevice(*pDevice, sn)) {
      ORVA_LOG_INFO("Device %s is existed! return!", sn.c_str());
      pDevice->_Release();
      continue;
    }
    {
      std::lock_guard<std::mutex> g(m_listLock);
      m_deviceList.push_back(pDevice);
    }
    RegistDeviceCert(pDevice.get());
    ORVA_LOG_INFO("Add device %s", label.c_str());
    ++*pulAdded;
  }
  return ORVA_OK;
}

uint32_t CDeviceManager::RefreshDeviceList() {
  ORVA_LOG_BEGIN();
  std::lock_guard<std::mutex> g(m_lock);
  if (m_bClosing) return ORVA_OK;
  ReleaseDevices();
  std::vector<DeviceSdkPtr> sdks;
  {
    std::lock_guard<std::mutex> s(m_sdkLock);
    sdks = m_sdkList;
  }
  for (auto& sdk : sdks) {
    uint32_t ulAdded = 0;
    _AddSdkDevices(sdk.get(), &ulAdded);  // a kit that fails is skipped
  }
  std::memset(&m_eventInfo, 0, sizeof m_eventInfo);
  m_eventInfo.ulEventType = DEVICE_EVENT_LIST_REBUILT;
  _PostEvent(m_eventInfo);
  ORVA_LOG_END();
  return ORVA_OK;
}

void CDeviceManager::ReleaseDevices() {
  std::vector<DevicePtr> present, removed;
  {
    std::lock_guard<std::mutex> g(m_listLock);
    present.swap(m_deviceList);
    removed.swap(m_removedList);
  }
  for (auto& d : present) _ReleaseDevice(d);
  for (auto& d : removed) _ReleaseDevice(d);
}

void CDeviceManager::_ReleaseDevice(const DevicePtr& pDevice) {
  pDevice->UnregistAllCert();
  pDevice->_Release();
}

DevicePtr CDeviceManager::_FindListedDevice(const CDevice& device, const std::string& strSN) {
  std::vector<DevicePtr> listed;
  {
    std::lock_guard<std::mutex> g(m_listLock);
    listed = m_deviceList;
  }
  for (auto& pListed : listed) {
    if (!SameLibrary(pListed->GetDefaultObj(), device.GetDefaultObj())) continue;
    std::string sn;
    if (ReadText([&](char* b, uint32_t* l) { return pListed->GetSN(b, l); }, 64, sn) != ORVA_OK)
      continue;
    if (EqualNoCase(sn, strSN)) return pListed;
  }
  return nullptr;
}

bool CDeviceManager::_IsViewListed(const CDeviceFake& view) {
  uint32_t ulType = view.GetDevType();
  std::lock_guard<std::mutex> g(m_listLock);
  for (const auto& pListed : m_deviceList) {
    CDeviceFake* pSame = ulType == SDK_PKCS11 ? pListed->GetP11DevObj() : pListed->GetSkfDevObj();
    if (!SameLibrary(pSame, &view)) continue;
    if (ulType == SDK_PKCS11 ? pSame->GetSlotID() == view.GetSlotID()
                             : EqualNoCase(pSame->GetName(), view.GetName()))
      return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Hot-plug.

uint32_t CDeviceManager::OnNotifyDeviceEvent(CDeviceSDK* pSdk, DevicePtr pEventDev,
                                             uint32_t ulEventType) {
  ORVA_LOG_BEGIN();
  if (!pEventDev) {
    ORVA_LOG_ERROR("pEventDev is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::lock_guard<std::mutex> g(m_lock);
  if (m_bClosing) {
    pEventDev->_Release();
    return ORVA_OK;
  }

  if (ulEventType == DEVICE_EVENT_INSERTED) {
    if (pSdk)
      pSdk->_PairInsertedDevice(*pEventDev, [this](const CDeviceFake& v) { return _IsViewListed(v); });
    std::string sn;
    uint32_t ulRes =
        ReadText([&](char* b, uint32_t* l) { return pEventDev->GetSN(b, l); }, 64, sn);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pEventDev->GetSN() failed! ulRes=0x%x", ulRes);
      pEventDev->_Release();
      return ulRes;
    }
    if (_FindListedDevice(*pEventDev, sn)) {
      ORVA_LOG_INFO("Device %s is existed! return!", sn.c_str());
      pEventDev->_Release();
      return ORVA_OK;
    }
    std::string label;
    ulRes = ReadText([&](char* b, uint32_t* l) { return pEventDev->GetLabel(b, l); }, 128, label);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("Connect to new device failed! ulRes=0x%x.", ulRes);
      pEventDev->_Release();
      return ulRes;
    }
    uint32_t ulIndex;
    {
      std::lock_guard<std::mutex> l(m_listLock);
      m_deviceList.push_back(pEventDev);
      ulIndex = static_cast<uint32_t>(m_deviceList.size() - 1);
    }
    RegistDeviceCert(pEventDev.get());
    ORVA_LOG_INFO("Device %s is inserted! It's index is:0x%x.", label.c_str(), ulIndex);
    std::memset(&m_eventInfo, 0, sizeof m_eventInfo);
    m_eventInfo.ulEventType = DEVICE_EVENT_INSERTED;
    m_eventInfo.ulIndex = ulIndex;
    CopyLabel(m_eventInfo, label);
    _PostEvent(m_eventInfo);
    ORVA_LOG_END();
    return ORVA_OK;
  }

  // Removal: the first listed device of the same library with the same slot (both have
  // PKCS#11 views) or else the same SKF device name.
  DevicePtr pMatch;
  uint32_t ulIndex = 0;
  {
    std::lock_guard<std::mutex> l(m_listLock);
    for (uint32_t i = 0; i < m_deviceList.size(); ++i) {
      const DevicePtr& d = m_deviceList[i];
      if (!SameLibrary(d->GetDefaultObj(), pEventDev->GetDefaultObj())) continue;
      bool bSame = false;
      if (d->GetP11DevObj() && pEventDev->GetP11DevObj())
        bSame = d->GetP11DevObj()->GetSlotID() == pEventDev->GetP11DevObj()->GetSlotID();
      else if (d->GetSkfDevObj() && pEventDev->GetSkfDevObj())
        bSame = EqualNoCase(d->GetSkfDevObj()->GetName(), pEventDev->GetSkfDevObj()->GetName());
      if (bSame) {
        pMatch = d;
        ulIndex = i;
        break;
      }
    }
  }
  std::string label;
  if (pMatch) {
    ReadText([&](char* b, uint32_t* l) { return pMatch->GetLabel(b, l); }, 128, label);
    UnregistDeviceCert(pMatch.get());
    {
      std::lock_guard<std::mutex> l(m_listLock);
      m_deviceList.erase(m_deviceList.begin() + ulIndex);
      m_removedList.push_back(pMatch);
    }
    ORVA_LOG_INFO("Device %s is removed! It's index is:0x%x.", label.c_str(), ulIndex);
  }
  pEventDev->_Release();
  if (pMatch) {
    std::memset(&m_eventInfo, 0, sizeof m_eventInfo);
    m_eventInfo.ulEventType = ulEventType;
    m_eventInfo.ulIndex = ulIndex;
    CopyLabel(m_eventInfo, label);
    _PostEvent(m_eventInfo);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
