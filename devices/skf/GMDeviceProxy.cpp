#include "devices/skf/GMDeviceProxy.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "devices/skf/GMDevice.h"
#include "devices/skf/HaiTaiKeyApi.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

struct SarEntry {
  uint32_t ulSar;
  uint32_t ulRes;
};

// SKF result -> program result. Any code not listed (SAR_UNKNOWNERR among them) is
// 0x81000001.
constexpr SarEntry kSarTable[] = {
    {SAR_OK, ORVA_OK},
    {SAR_FAIL, ORVA_E_CALL_FAILED},
    {SAR_NOTSUPPORTYETERR, ORVA_E_NOT_SUPPORTED},
    {SAR_FILEERR, ORVA_E_COS_FILE},
    {SAR_INVALIDHANDLEERR, ORVA_E_INVALID_HANDLE},
    {SAR_INVALIDPARAMERR, ORVA_E_INVALID_PARAM},
    {SAR_READFILEERR, ORVA_E_COS_READ},
    {SAR_WRITEFILEERR, ORVA_E_COS_WRITE},
    {SAR_NAMELENERR, ORVA_E_NAME_LEN},
    {SAR_KEYUSAGEERR, ORVA_E_KEY_USAGE},
    {SAR_MODULUSLENERR, ORVA_E_MODULUS_LEN},
    {SAR_NOTINITIALIZEERR, ORVA_E_NOT_INITIALIZED},
    {SAR_OBJERR, ORVA_E_OBJECT},
    {SAR_MEMORYERR, ORVA_E_MEMORY},
    {SAR_TIMEOUTERR, ORVA_E_TIMEOUT},
    {SAR_INDATALENERR, ORVA_E_BAD_INPUT_LENGTH},
    {SAR_INDATAERR, ORVA_E_BAD_INPUT},
    {SAR_GENRANDERR, ORVA_E_GEN_RANDOM},
    {SAR_HASHOBJERR, ORVA_E_HASH_OBJECT},
    {SAR_HASHERR, ORVA_E_HASH_OPERATION},
    {SAR_GENRSAKEYERR, ORVA_E_GEN_KEYPAIR},
    {SAR_RSAMODULUSLENERR, ORVA_E_MODULUS_LEN},
    {SAR_CSPIMPRTPUBKEYERR, ORVA_E_IMPORT_PUBKEY},
    {SAR_RSAENCERR, ORVA_E_PUBKEY_ENCRYPT},
    {SAR_RSADECERR, ORVA_E_PRIVKEY_DECRYPT},
    {SAR_HASHNOTEQUALERR, ORVA_E_HASH_MISMATCH},
    {SAR_KEYNOTFOUNTERR, ORVA_E_KEY_NOT_FOUND},
    {SAR_CERTNOTFOUNTERR, ORVA_E_NO_CERT},
    {SAR_NOTEXPORTERR, ORVA_E_NOT_EXPORTABLE},
    {SAR_DECRYPTPADERR, ORVA_E_DECRYPT_PADDING},
    {SAR_MACLENERR, ORVA_E_MAC_LEN},
    {SAR_BUFFER_TOO_SMALL, ORVA_E_BUFFER_TOO_SMALL},
    {SAR_KEYINFOTYPEERR, ORVA_E_KEY_INFO_NOT_FOUND},
    {SAR_NOT_EVENTERR, ORVA_E_NO_DEVICE_EVENT},
    {SAR_DEVICE_REMOVED, ORVA_E_DEVICE_REMOVED},
    {SAR_PIN_INCORRECT, ORVA_E_PIN_INCORRECT},
    {SAR_PIN_LOCKED, ORVA_E_PIN_LOCKED},
    {SAR_PIN_INVALID, ORVA_E_PIN_INVALID},
    {SAR_PIN_LEN_RANGE, ORVA_E_PIN_LEN},
    {SAR_USER_ALREADY_LOGGED_IN, ORVA_E_USER_LOGGED_IN},
    {SAR_USER_PIN_NOT_INITIALIZED, ORVA_E_PIN_DEFAULT},
    {SAR_USER_TYPE_INVALID, ORVA_E_USER_TYPE},
    {SAR_APPLICATION_NAME_INVALID, ORVA_E_APP_NAME_INVALID},
    {SAR_APPLICATION_EXISTS, ORVA_E_APP_EXISTS},
    {SAR_USER_NOT_LOGGED_IN, ORVA_E_USER_NOT_LOGGED_IN},
    {SAR_APPLICATION_NOT_EXISTS, ORVA_E_APP_NOT_FOUND},
    {SAR_FILE_ALREADY_EXIST, ORVA_E_FILE_EXISTS},
    {SAR_NO_ROOM, ORVA_E_NO_SPACE},
    {SAR_FILE_NOT_EXIST, ORVA_E_FILE_NOT_FOUND},
};

std::atomic<int> s_runningEventThreads{0};

}  // namespace

// Shared by the binding and its event thread; the thread keeps the library loaded.
struct CGMDeviceProxy::EventState {
  std::shared_ptr<orva::platform::CDynamicLibrary> library;
  PFN_SKF_WaitForDevEvent pfnWait = nullptr;
  PFN_SKF_CancelWaitForDevEvent pfnCancel = nullptr;
  std::weak_ptr<CDeviceProxy> proxy;
  std::mutex lock;  // held while an event is delivered; the stop flag is set under it
  std::condition_variable cv;
  std::atomic<uint32_t> ulStop{0};
  bool bEnded = false;
};

uint32_t CGMDeviceProxy::TranslateResult(uint32_t ulSkfRes) {
  for (const auto& e : kSarTable)
    if (e.ulSar == ulSkfRes) return e.ulRes;
  return ORVA_E_FAIL;
}

std::vector<std::string> CGMDeviceProxy::ParseNameList(const char* pBuf, size_t bufSize, ULONG ulLen) {
  std::vector<std::string> names;
  if (pBuf == nullptr) return names;
  size_t limit = std::min<size_t>(bufSize, ulLen);
  size_t i = 0;
  while (i < limit) {
    const char* start = pBuf + i;
    const void* end = std::memchr(start, '\0', limit - i);
    size_t n = end ? static_cast<size_t>(static_cast<const char*>(end) - start) : limit - i;
    if (n == 0) break;
    names.emplace_back(start, n);
    i += n + 1;
  }
  return names;
}

int CGMDeviceProxy::RunningEventThreads() { return s_runningEventThreads.load(); }

CGMDeviceProxy::CGMDeviceProxy(const std::string& csCspName) : CDeviceProxy(csCspName) {}

CGMDeviceProxy::~CGMDeviceProxy() { Unload(); }

void CGMDeviceProxy::_LogMissing(const char* lpcsName) const {
  ORVA_LOG_ERROR("%s is not exported by %s!", lpcsName, m_csDllName.c_str());
}

uint32_t CGMDeviceProxy::Load(const std::string& csDllName, const std::string& csAuxDllName,
                              const ORVA_PROXY_START_ARGS* pInitArgs) {
  ORVA_LOG_BEGIN();
  m_csDllName = csDllName.substr(0, 259);
  if (m_csDllName.empty()) {
    ORVA_LOG_ERROR("m_csDllName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pInitArgs == nullptr) {
    ORVA_LOG_ERROR("pInitArgs is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pLibrary) {
    std::string keep = m_csDllName;
    Unload();
    m_csDllName = keep;
  }
  ORVA_LOG_INFO("DLl file name:%s", m_csDllName.c_str());
  uint32_t ulErr = 0;
  std::string text;
  std::shared_ptr<orva::platform::CDynamicLibrary> lib =
      orva::platform::CDynamicLibrary::Open(m_csDllName, ulErr, &text);
  if (!lib) {
    ORVA_LOG_ERROR("LoadLibraryA() failed! ulRes=0x%x", ulErr);
    ORVA_LOG_ERROR("%s", text.c_str());
    return ulErr;
  }
  GMFunctionTable table;
#define GM_RESOLVE(name, params) table.name = lib->Function<PFN_##name>(#name);
  SKF_FUNCTION_LIST(GM_RESOLVE)
#undef GM_RESOLVE
  if (table.SKF_GetContainerType == nullptr) table.SKF_GetContainerType = table.SKF_GetConProperty;
  m_functions = table;
  m_pLibrary = std::move(lib);

  if (m_csCspName.find("HaiTai") != std::string::npos && !csAuxDllName.empty()) {
    m_csAuxDllName = csAuxDllName.substr(0, 259);
    m_pHaiTaiApi = CHaiTaiKeyApi::Get(m_csAuxDllName);
    if (m_pHaiTaiApi == nullptr) ORVA_LOG_ERROR("CHaiTaiKeyApi::Get() failed! %s", m_csAuxDllName.c_str());
  }

  if (pInitArgs->bWatchEvents) {
    m_pfnCallback = pInitArgs->pfnCallback;
    m_pCallbackArg = pInitArgs->pArg;
    if (m_functions.SKF_WaitForDevEvent == nullptr) {
      ORVA_LOG_ERROR("SKF_WaitForDevEvent is not exported! No device events from %s.",
                     m_csDllName.c_str());
    } else {
      auto state = std::make_shared<EventState>();
      state->library = m_pLibrary;
      state->pfnWait = m_functions.SKF_WaitForDevEvent;
      state->pfnCancel = m_functions.SKF_CancelWaitForDevEvent;
      state->proxy = weak_from_this();
      try {
        m_eventThread = std::thread(&CGMDeviceProxy::GMDeviceEventThreadProc, state);
        m_pEventState = std::move(state);
      } catch (const std::system_error& e) {
        ORVA_LOG_ERROR("CreateThread() failed! rv=0x%x", static_cast<uint32_t>(e.code().value()));
      }
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

void CGMDeviceProxy::GMDeviceEventThreadProc(std::shared_ptr<EventState> pState) {
  ++s_runningEventThreads;
  try {
    ORVA_LOG_BEGIN();
    for (;;) {
      {
        std::lock_guard<std::mutex> g(pState->lock);
        if (pState->ulStop) break;
      }
      char szName[256] = {};
      ULONG ulLen = sizeof szName;
      ULONG ulEventType = 0;
      ULONG rv = pState->pfnWait(szName, &ulLen, &ulEventType);
      if (rv != SAR_OK) {
        ORVA_LOG_INFO("SKF_WaitForDevEvent() returned! ulRes=0x%x", rv);
        break;
      }
      // Delivery holds the lock: once the stop flag is set no event reaches the kit. The
      // binding is let go after the lock (its destructor stops this thread).
      std::shared_ptr<CDeviceProxy> proxy;
      {
        std::lock_guard<std::mutex> g(pState->lock);
        if (pState->ulStop) break;
        if (ulEventType != SKF_DEV_EVENT_INSERTED && ulEventType != SKF_DEV_EVENT_REMOVED) {
          ORVA_LOG_INFO("Event type 0x%x is ignored!", ulEventType);
          continue;
        }
        proxy = pState->proxy.lock();
        if (!proxy) break;
        for (const auto& name : ParseNameList(szName, sizeof szName, ulLen)) {
          ORVA_LOG_INFO("Key %s has an event! ulEventType=0x%x", name.c_str(), ulEventType);
          static_cast<CGMDeviceProxy*>(proxy.get())->OnDeviceEvent(name, ulEventType);
        }
      }
    }
    ORVA_LOG_END();
  } catch (const std::exception& e) {
    ORVA_LOG_ERROR("The device event thread failed with an exception: %s", e.what());
  } catch (...) {
    ORVA_LOG_ERROR("The device event thread failed with an exception!");
  }
  {
    std::lock_guard<std::mutex> g(pState->lock);
    pState->bEnded = true;
    pState->cv.notify_all();
  }
  --s_runningEventThreads;
}

uint32_t CGMDeviceProxy::StopEventThread() {
  std::shared_ptr<EventState> state = std::move(m_pEventState);
  if (!state) return ORVA_OK;
  ORVA_LOG_BEGIN();
  if (m_eventThread.get_id() == std::this_thread::get_id()) {
    // On the event thread itself (the binding released by its own delivery): it ends
    // after this delivery.
    state->ulStop = 1;
    m_eventThread.detach();
    return ORVA_OK;
  }
  {
    std::lock_guard<std::mutex> g(state->lock);
    state->ulStop = 1;
  }
  bool bEnded = false;
  if (state->pfnCancel) {
    // The thread may be between two waits when the first cancel comes: cancel again until
    // it has ended, for a bounded time.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ORVA_SKF_CANCEL_WAIT_MS);
    std::unique_lock<std::mutex> g(state->lock);
    while (!state->bEnded && std::chrono::steady_clock::now() < deadline) {
      g.unlock();
      state->pfnCancel();
      g.lock();
      state->cv.wait_for(g, std::chrono::milliseconds(50), [&] { return state->bEnded; });
    }
    bEnded = state->bEnded;
  } else {
    std::lock_guard<std::mutex> g(state->lock);
    bEnded = state->bEnded;
  }
  if (m_eventThread.joinable()) {
    if (bEnded) {
      m_eventThread.join();
    } else {
      // It ends when its wait returns; it holds the library until then and delivers nothing.
      ORVA_LOG_INFO("The event thread of %s is still waiting in the library; it is left to end by itself.",
                    m_csDllName.c_str());
      m_eventThread.detach();
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDeviceProxy::Unload() {
  ORVA_LOG_BEGIN();
  StopEventThread();
  if (m_pHaiTaiApi) {
    m_pHaiTaiApi->Release();
    m_pHaiTaiApi = nullptr;
  }
  m_functions = GMFunctionTable();
  m_pLibrary.reset();
  m_pfnCallback = nullptr;
  m_pCallbackArg = nullptr;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDeviceProxy::GetDevices(std::vector<std::shared_ptr<CDeviceFake>>& devices) {
  ORVA_LOG_BEGIN();
  devices.clear();
  std::shared_ptr<CDeviceProxy> self = weak_from_this().lock();
  if (!self) {
    ORVA_LOG_ERROR("The binding is not shared!");
    return ORVA_E_INVALID_CALL;
  }
  char szList[1024] = {};
  ULONG ulLen = sizeof szList;
  ULONG rv = Invoke(&GMFunctionTable::SKF_EnumDev, "SKF_EnumDev", static_cast<BOOL>(TRUE), szList, &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EnumDev() failed! ulRes=0x%x", rv);
    return TranslateResult(rv);
  }
  if (ulLen > 2) {
    for (const auto& name : ParseNameList(szList, sizeof szList, ulLen)) {
      devices.push_back(std::make_shared<CGMDevice>(self, name));
      ORVA_LOG_INFO("Add Key:%s", name.c_str());
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDeviceProxy::OnDeviceEvent(const std::string& csName, uint32_t ulEventType) {
  ORVA_LOG_BEGIN();
  if (m_pfnCallback == nullptr) return ORVA_OK;
  std::shared_ptr<CDeviceProxy> self = weak_from_this().lock();
  if (!self) return ORVA_OK;
  auto pEventDev = std::make_shared<CGMDevice>(self, csName);
  if (ulEventType == SKF_DEV_EVENT_INSERTED) {
    uint32_t ulRes = pEventDev->Connect();
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pEventDev->Connect() failed! ulRes = 0x%x", ulRes);
      return ORVA_OK;
    }
  }
  m_pfnCallback(std::move(pEventDev), ulEventType, m_pCallbackArg);
  ORVA_LOG_END();
  return ORVA_OK;
}

void OrvaRegisterSkfBinding() {
  CDeviceProxy::RegisterFactory(SDK_SKF, [](const std::string& csCspName) -> std::shared_ptr<CDeviceProxy> {
    return std::make_shared<CGMDeviceProxy>(csCspName);
  });
}
