// The GM/T 0016 functions of the software token. Access rules as a real token: creating and
// deleting applications needs device authentication on the connection; key generation and
// import, signing, unwrapping session keys, certificate import and container changes need
// the user PIN verified on the application; everything else is open.
//
// Build variants: SOFTSKF_NO_CANCEL leaves out SKF_CancelWaitForDevEvent;
// SOFTSKF_CONPROP exports SKF_GetConProperty in place of SKF_GetContainerType.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "tools/softskf/SoftToken.h"

#define SOFTSKF_EXPORT extern "C" __attribute__((visibility("default")))

// The definitions below must have the shapes the binding calls: a definition that differs
// from its declaration here does not compile.
#define SOFTSKF_DECLARE(name, params) SOFTSKF_EXPORT ULONG name params;
SKF_FUNCTION_LIST(SOFTSKF_DECLARE)
#undef SOFTSKF_DECLARE

using namespace softskf;

namespace {

// Counts the call, applies an armed failure, then takes the token's lock.
#define SKF_ENTER(fn)                       \
  Token& t = Token::Get();                  \
  if (ULONG armed_ = t.Enter(#fn)) return armed_; \
  std::lock_guard<std::mutex> guard_(t.lock)

#define RESOLVE(...)                              \
  do {                                            \
    ULONG rv_ = t.Resolve(__VA_ARGS__);           \
    if (rv_ != SAR_OK) return rv_;                \
  } while (0)

// A zero-terminated name list with its final empty name, by the size-query convention.
ULONG PutList(const std::vector<std::string>& names, LPSTR out, ULONG* pulSize) {
  if (pulSize == nullptr) return SAR_INVALIDPARAMERR;
  std::string list;
  for (const auto& n : names) {
    list += n;
    list += '\0';
  }
  if (names.empty()) list += '\0';
  list += '\0';
  ULONG needed = static_cast<ULONG>(list.size());
  if (out == nullptr) {
    *pulSize = needed;
    return SAR_OK;
  }
  if (*pulSize < needed) {
    *pulSize = needed;
    return SAR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, list.data(), needed);
  *pulSize = needed;
  return SAR_OK;
}

ULONG PutBytes(const uint8_t* data, size_t n, BYTE* out, ULONG* pulLen) {
  if (pulLen == nullptr) return SAR_INVALIDPARAMERR;
  if (out == nullptr) {
    *pulLen = static_cast<ULONG>(n);
    return SAR_OK;
  }
  if (*pulLen < n) {
    *pulLen = static_cast<ULONG>(n);
    return SAR_BUFFER_TOO_SMALL;
  }
  if (n) std::memcpy(out, data, n);
  *pulLen = static_cast<ULONG>(n);
  return SAR_OK;
}

void PutField(CHAR* field, size_t size, const std::string& text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

bool PinLengthOk(const char* pin) {
  size_t n = strnlen(pin, kMaxPin + 1);
  return n >= kMinPin && n <= kMaxPin;
}

bool SamePin(const std::string& stored, const char* given) {
  size_t n = strnlen(given, kMaxPin + 1);
  return n == stored.size() && CRYPTO_memcmp(stored.data(), given, n) == 0;
}

// Checks a PIN against its counter: SAR_OK, SAR_PIN_INCORRECT or SAR_PIN_LOCKED.
ULONG CheckPin(Pin& pin, const char* given, ULONG* pulRetry) {
  if (pin.remain == 0) {
    *pulRetry = 0;
    return SAR_PIN_LOCKED;
  }
  if (SamePin(pin.value, given)) {
    pin.remain = pin.maxRetry;
    *pulRetry = pin.remain;
    return SAR_OK;
  }
  --pin.remain;
  *pulRetry = pin.remain;
  return pin.remain ? SAR_PIN_INCORRECT : SAR_PIN_LOCKED;
}

Container* FindContainer(Application* app, const std::string& name) {
  for (auto& c : app->containers)
    if (c->name == name) return c.get();
  return nullptr;
}

// Output length of a cipher update for block size 16.
size_t UpdateOutLen(const Handle& h, size_t len) {
  size_t total = h.pending + len;
  if (!h.encrypting && h.padding) return total == 0 ? 0 : ((total - 1) / 16) * 16;
  return (total / 16) * 16;
}

void AdvancePending(Handle& h, size_t len) {
  size_t total = h.pending + len;
  h.pending = (!h.encrypting && h.padding) ? (total == 0 ? 0 : total - ((total - 1) / 16) * 16)
                                           : total % 16;
}

ULONG CipherInit(Handle& h, const BLOCKCIPHERPARAM& param, bool encrypt) {
  size_t keyLen = 0;
  const EVP_CIPHER* c = crypto::CipherFor(h.algId, &keyLen);
  if (c == nullptr) return SAR_NOTSUPPORTYETERR;
  int ivLen = EVP_CIPHER_get_iv_length(c);
  uint8_t iv[MAX_IV_LEN] = {};
  if (ivLen > 0) {
    if (param.IVLen != 0 && param.IVLen != static_cast<ULONG>(ivLen)) return SAR_INVALIDPARAMERR;
    if (param.IVLen) std::memcpy(iv, param.IV, static_cast<size_t>(ivLen));
  }
  if (param.PaddingType > 1) return SAR_INVALIDPARAMERR;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), c, nullptr, h.key.data(), ivLen > 0 ? iv : nullptr,
                                encrypt ? 1 : 0) != 1)
    return SAR_FAIL;
  EVP_CIPHER_CTX_set_padding(ctx.get(), param.PaddingType == 1 ? 1 : 0);
  h.cipher = std::move(ctx);
  h.encrypting = encrypt;
  h.padding = param.PaddingType == 1;
  h.pending = 0;
  return SAR_OK;
}

ULONG CipherUpdate(Handle& h, const BYTE* in, ULONG len, BYTE* out, ULONG* pulOut) {
  if (pulOut == nullptr || (in == nullptr && len)) return SAR_INVALIDPARAMERR;
  size_t needed = UpdateOutLen(h, len);
  if (out == nullptr) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_OK;
  }
  if (*pulOut < needed) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_BUFFER_TOO_SMALL;
  }
  int n = 0;
  if (len && EVP_CipherUpdate(h.cipher.get(), out, &n, in, static_cast<int>(len)) != 1) return SAR_FAIL;
  AdvancePending(h, len);
  *pulOut = static_cast<ULONG>(n);
  return SAR_OK;
}

ULONG CipherFinal(Handle& h, BYTE* out, ULONG* pulOut) {
  if (pulOut == nullptr) return SAR_INVALIDPARAMERR;
  if (!h.padding && h.pending) {
    h.cipher.reset();
    return SAR_INDATALENERR;
  }
  size_t needed = h.padding ? 16 : 0;
  if (out == nullptr) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_OK;
  }
  if (*pulOut < needed) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_BUFFER_TOO_SMALL;
  }
  uint8_t tmp[32];
  int n = 0;
  int ok = EVP_CipherFinal_ex(h.cipher.get(), tmp, &n);
  h.cipher.reset();
  if (ok != 1) return h.encrypting ? SAR_FAIL : SAR_DECRYPTPADERR;
  std::memcpy(out, tmp, static_cast<size_t>(n));
  *pulOut = static_cast<ULONG>(n);
  return SAR_OK;
}

// Single-part operation: update and final into one output.
ULONG CipherAll(Handle& h, const BYTE* in, ULONG len, BYTE* out, ULONG* pulOut) {
  if (pulOut == nullptr || (in == nullptr && len)) return SAR_INVALIDPARAMERR;
  if (!h.padding && len % 16) return SAR_INDATALENERR;
  size_t needed = h.encrypting && h.padding ? (len / 16 + 1) * 16 : len;
  if (out == nullptr) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_OK;
  }
  if (*pulOut < needed) {
    *pulOut = static_cast<ULONG>(needed);
    return SAR_BUFFER_TOO_SMALL;
  }
  Bytes buf(needed + 32);
  int n1 = 0, n2 = 0;
  int ok = (len == 0 || EVP_CipherUpdate(h.cipher.get(), buf.data(), &n1, in, static_cast<int>(len)) == 1) &&
           EVP_CipherFinal_ex(h.cipher.get(), buf.data() + n1, &n2) == 1;
  bool encrypting = h.encrypting;
  h.cipher.reset();
  if (!ok) return encrypting ? SAR_FAIL : SAR_DECRYPTPADERR;
  size_t n = static_cast<size_t>(n1 + n2);
  std::memcpy(out, buf.data(), n);
  OPENSSL_cleanse(buf.data(), buf.size());
  *pulOut = static_cast<ULONG>(n);
  return SAR_OK;
}

// A new key handle with random key bytes of the algorithm.
ULONG NewSessionKey(ULONG algId, Bytes& key) {
  size_t keyLen = 0;
  if (crypto::CipherFor(algId, &keyLen) == nullptr) return SAR_NOTSUPPORTYETERR;
  key.assign(keyLen, 0);
  if (RAND_bytes(key.data(), static_cast<int>(keyLen)) != 1) return SAR_GENRANDERR;
  return SAR_OK;
}

HANDLE KeyHandle(Token& t, const Handle& owner, uintptr_t parent, ULONG algId, Bytes key) {
  Handle k;
  k.kind = HandleKind::Key;
  k.parent = parent;
  k.device = owner.device;
  k.generation = owner.generation;
  k.algId = algId;
  k.key = std::move(key);
  return t.NewHandle(std::move(k));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Devices and events.

SOFTSKF_EXPORT ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent) {
  Token& t = Token::Get();
  if (ULONG armed = t.Enter("SKF_WaitForDevEvent")) return armed;
  return t.WaitEvent(szDevName, pulDevNameLen, pulEvent);
}

#ifndef SOFTSKF_NO_CANCEL
SOFTSKF_EXPORT ULONG SKF_CancelWaitForDevEvent(void) {
  Token& t = Token::Get();
  if (ULONG armed = t.Enter("SKF_CancelWaitForDevEvent")) return armed;
  t.CancelWait();
  return SAR_OK;
}
#endif

SOFTSKF_EXPORT ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) {
  SKF_ENTER(SKF_EnumDev);
  std::vector<std::string> names;
  for (const auto& d : t.Devices())
    if (!bPresent || d->present) names.push_back(d->name);
  return PutList(names, szNameList, pulSize);
}

SOFTSKF_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  SKF_ENTER(SKF_ConnectDev);
  if (szName == nullptr || phDev == nullptr) return SAR_INVALIDPARAMERR;
  Device* dev = t.FindDevice(szName);
  if (dev == nullptr || !dev->present) return SAR_DEVICE_REMOVED;
  Handle h;
  h.kind = HandleKind::Device;
  h.device = dev->name;
  h.generation = dev->generation;
  *phDev = t.NewHandle(std::move(h));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
  SKF_ENTER(SKF_DisConnectDev);
  if (!t.HasHandle(hDev, HandleKind::Device)) return SAR_INVALIDHANDLEERR;
  t.CloseHandle(hDev);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  SKF_ENTER(SKF_GetDevInfo);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (pDevInfo == nullptr) return SAR_INVALIDPARAMERR;
  std::memset(pDevInfo, 0, sizeof *pDevInfo);
  pDevInfo->Version = {1, 0};
  // The texts fill their fields; a text as long as its field has no terminator.
  PutField(pDevInfo->Manufacturer, sizeof pDevInfo->Manufacturer, dev->manufacturer);
  PutField(pDevInfo->Issuer, sizeof pDevInfo->Issuer, dev->issuer);
  PutField(pDevInfo->Label, sizeof pDevInfo->Label, dev->label);
  PutField(pDevInfo->SerialNumber, sizeof pDevInfo->SerialNumber, dev->serial);
  pDevInfo->HWVersion = {1, 0};
  pDevInfo->FirmwareVersion = {1, 0};
  pDevInfo->AlgSymCap = SGD_SM4_ECB | SGD_SM4_CBC | SGD_AES128_CBC | SGD_AES128_ECB;
  pDevInfo->AlgAsymCap = SGD_RSA | SGD_SM2_1 | SGD_SM2_3;
  pDevInfo->AlgHashCap = SGD_SM3 | SGD_SHA1 | SGD_SHA256;
  pDevInfo->DevAuthAlgId = SGD_SM4_ECB;
  size_t used = 0;
  for (const auto& a : dev->apps)
    for (const auto& c : a->containers) used += 1024 + c->signCert.size() + c->exchCert.size();
  pDevInfo->TotalSpace = 256 * 1024;
  pDevInfo->FreeSpace = static_cast<ULONG>(used < pDevInfo->TotalSpace ? pDevInfo->TotalSpace - used : 0);
  pDevInfo->MaxECCBufferSize = 1024;
  pDevInfo->MaxBufferSize = 1024;
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel) {
  SKF_ENTER(SKF_SetLabel);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (szLabel == nullptr) return SAR_INVALIDPARAMERR;
  size_t n = strnlen(szLabel, 33);
  if (n == 0 || n > 32) return SAR_INVALIDPARAMERR;
  dev->label.assign(szLabel, n);
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_GenRandom(DEVHANDLE hDev, BYTE* pbRandom, ULONG ulRandomLen) {
  SKF_ENTER(SKF_GenRandom);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (pbRandom == nullptr || ulRandomLen == 0) return SAR_INVALIDPARAMERR;
  if (RAND_bytes(pbRandom, static_cast<int>(ulRandomLen)) != 1) return SAR_GENRANDERR;
  // The challenge of device authentication: the random bytes in a zeroed 16-byte block.
  h->challenge.assign(16, 0);
  std::memcpy(h->challenge.data(), pbRandom, std::min<size_t>(16, ulRandomLen));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_DevAuth(DEVHANDLE hDev, BYTE* pbAuthData, ULONG ulLen) {
  SKF_ENTER(SKF_DevAuth);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (pbAuthData == nullptr) return SAR_INVALIDPARAMERR;
  if (ulLen != 16) return SAR_INDATALENERR;
  if (h->challenge.size() != 16) return SAR_FAIL;  // no challenge asked for
  Bytes challenge;
  challenge.swap(h->challenge);
  uint8_t expected[32];
  int n1 = 0, n2 = 0;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, dev->devAuthKey.data(), nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
            EVP_EncryptUpdate(ctx.get(), expected, &n1, challenge.data(), 16) == 1 &&
            EVP_EncryptFinal_ex(ctx.get(), expected + n1, &n2) == 1 && n1 + n2 == 16;
  if (!ok) return SAR_FAIL;
  if (CRYPTO_memcmp(expected, pbAuthData, 16) != 0) {
    h->devAuthed = false;
    return SAR_FAIL;
  }
  h->devAuthed = true;
  return SAR_OK;
}

// ---------------------------------------------------------------------------------------
// Applications and PINs.

SOFTSKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin,
                                           DWORD dwAdminPinRetryCount, LPSTR szUserPin,
                                           DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,
                                           HAPPLICATION* phApplication) {
  SKF_ENTER(SKF_CreateApplication);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (!szAppName || !szAdminPin || !szUserPin || !phApplication) return SAR_INVALIDPARAMERR;
  if (!h->devAuthed) return SAR_USER_NOT_LOGGED_IN;
  size_t n = strnlen(szAppName, kMaxAppName + 1);
  if (n == 0 || n > kMaxAppName) return SAR_NAMELENERR;
  for (const auto& a : dev->apps)
    if (a->name == szAppName) return SAR_APPLICATION_EXISTS;
  if (dev->apps.size() >= kMaxApps) return SAR_NO_ROOM;
  if (!PinLengthOk(szAdminPin) || !PinLengthOk(szUserPin)) return SAR_PIN_LEN_RANGE;
  if (dwAdminPinRetryCount == 0 || dwAdminPinRetryCount > kMaxRetry || dwUserPinRetryCount == 0 ||
      dwUserPinRetryCount > kMaxRetry)
    return SAR_INVALIDPARAMERR;
  auto app = std::make_unique<Application>();
  app->id = t.NextId();
  app->name = szAppName;
  app->admin = {szAdminPin, dwAdminPinRetryCount, dwAdminPinRetryCount, false};
  app->user = {szUserPin, dwUserPinRetryCount, dwUserPinRetryCount, false};
  app->createFileRights = dwCreateFileRights;
  app->openHandles = 1;
  Handle ah;
  ah.kind = HandleKind::Application;
  ah.parent = reinterpret_cast<uintptr_t>(hDev);
  ah.device = dev->name;
  ah.generation = dev->generation;
  ah.appId = app->id;
  dev->apps.push_back(std::move(app));
  *phApplication = t.NewHandle(std::move(ah));
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
  SKF_ENTER(SKF_EnumApplication);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  std::vector<std::string> names;
  for (const auto& a : dev->apps) names.push_back(a->name);
  return PutList(names, szAppName, pulSize);
}

SOFTSKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName) {
  SKF_ENTER(SKF_DeleteApplication);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (szAppName == nullptr) return SAR_INVALIDPARAMERR;
  if (!h->devAuthed) return SAR_USER_NOT_LOGGED_IN;
  for (auto it = dev->apps.begin(); it != dev->apps.end(); ++it) {
    if ((*it)->name != szAppName) continue;
    dev->apps.erase(it);  // its handles now answer SAR_INVALIDHANDLEERR
    t.Save();
    return SAR_OK;
  }
  return SAR_APPLICATION_NOT_EXISTS;
}

SOFTSKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication) {
  SKF_ENTER(SKF_OpenApplication);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (szAppName == nullptr || phApplication == nullptr) return SAR_INVALIDPARAMERR;
  for (auto& a : dev->apps) {
    if (a->name != szAppName) continue;
    ++a->openHandles;
    Handle ah;
    ah.kind = HandleKind::Application;
    ah.parent = reinterpret_cast<uintptr_t>(hDev);
    ah.device = dev->name;
    ah.generation = dev->generation;
    ah.appId = a->id;
    *phApplication = t.NewHandle(std::move(ah));
    return SAR_OK;
  }
  return SAR_APPLICATION_NOT_EXISTS;
}

SOFTSKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
  SKF_ENTER(SKF_CloseApplication);
  if (!t.HasHandle(hApplication, HandleKind::Application)) return SAR_INVALIDHANDLEERR;
  t.CloseHandle(hApplication);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType, ULONG* pulMaxRetryCount,
                                    ULONG* pulRemainRetryCount, BOOL* pbDefaultPin) {
  SKF_ENTER(SKF_GetPINInfo);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (!pulMaxRetryCount || !pulRemainRetryCount || !pbDefaultPin) return SAR_INVALIDPARAMERR;
  if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
  const Pin& p = ulPINType == ADMIN_TYPE ? app->admin : app->user;
  *pulMaxRetryCount = p.maxRetry;
  *pulRemainRetryCount = p.remain;
  *pbDefaultPin = p.isDefault ? TRUE : FALSE;
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                                   ULONG* pulRetryCount) {
  SKF_ENTER(SKF_VerifyPIN);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (szPIN == nullptr || pulRetryCount == nullptr) return SAR_INVALIDPARAMERR;
  if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
  bool admin = ulPINType == ADMIN_TYPE;
  Pin& p = admin ? app->admin : app->user;
  ULONG before = p.remain;
  ULONG rv = CheckPin(p, szPIN, pulRetryCount);
  (admin ? app->adminLoggedIn : app->userLoggedIn) = rv == SAR_OK;
  if (p.remain != before) t.Save();
  return rv;
}

SOFTSKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin,
                                   LPSTR szNewPin, ULONG* pulRetryCount) {
  SKF_ENTER(SKF_ChangePIN);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (!szOldPin || !szNewPin || !pulRetryCount) return SAR_INVALIDPARAMERR;
  if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
  if (!PinLengthOk(szNewPin)) return SAR_PIN_LEN_RANGE;
  Pin& p = ulPINType == ADMIN_TYPE ? app->admin : app->user;
  ULONG rv = CheckPin(p, szOldPin, pulRetryCount);
  if (rv == SAR_OK) {
    OPENSSL_cleanse(p.value.data(), p.value.size());
    p.value = szNewPin;
    p.isDefault = false;
  }
  t.Save();
  return rv;
}

SOFTSKF_EXPORT ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN,
                                    ULONG* pulRetryCount) {
  SKF_ENTER(SKF_UnblockPIN);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (!szAdminPIN || !szNewUserPIN || !pulRetryCount) return SAR_INVALIDPARAMERR;
  if (!PinLengthOk(szNewUserPIN)) return SAR_PIN_LEN_RANGE;
  ULONG rv = CheckPin(app->admin, szAdminPIN, pulRetryCount);
  if (rv == SAR_OK) {
    OPENSSL_cleanse(app->user.value.data(), app->user.value.size());
    app->user.value = szNewUserPIN;
    app->user.remain = app->user.maxRetry;
    app->user.isDefault = false;
    app->userLoggedIn = false;
  }
  t.Save();
  return rv;
}

SOFTSKF_EXPORT ULONG SKF_ClearSecureState(HAPPLICATION hApplication) {
  SKF_ENTER(SKF_ClearSecureState);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  app->userLoggedIn = app->adminLoggedIn = false;
  return SAR_OK;
}

// ---------------------------------------------------------------------------------------
// Containers and certificates.

namespace {

HANDLE ContainerHandle(Token& t, HAPPLICATION hApp, const Handle& app, const Container& con) {
  Handle ch;
  ch.kind = HandleKind::Container;
  ch.parent = reinterpret_cast<uintptr_t>(hApp);
  ch.device = app.device;
  ch.generation = app.generation;
  ch.appId = app.appId;
  ch.containerId = con.id;
  return t.NewHandle(std::move(ch));
}

}  // namespace

SOFTSKF_EXPORT ULONG SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                         HCONTAINER* phContainer) {
  SKF_ENTER(SKF_CreateContainer);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (szContainerName == nullptr || phContainer == nullptr) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  size_t n = strnlen(szContainerName, kMaxContainerName + 1);
  if (n == 0 || n > kMaxContainerName) return SAR_NAMELENERR;
  if (FindContainer(app, szContainerName)) return SAR_FILE_ALREADY_EXIST;
  if (app->containers.size() >= kMaxContainers) return SAR_NO_ROOM;
  auto con = std::make_unique<Container>();
  con->id = t.NextId();
  con->name = szContainerName;
  *phContainer = ContainerHandle(t, hApplication, *h, *con);
  app->containers.push_back(std::move(con));
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName) {
  SKF_ENTER(SKF_DeleteContainer);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (szContainerName == nullptr) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  for (auto it = app->containers.begin(); it != app->containers.end(); ++it) {
    if ((*it)->name != szContainerName) continue;
    app->containers.erase(it);
    t.Save();
    return SAR_OK;
  }
  return SAR_FILE_NOT_EXIST;
}

SOFTSKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName,
                                       HCONTAINER* phContainer) {
  SKF_ENTER(SKF_OpenContainer);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  if (szContainerName == nullptr || phContainer == nullptr) return SAR_INVALIDPARAMERR;
  Container* con = FindContainer(app, szContainerName);
  if (con == nullptr) return SAR_FILE_NOT_EXIST;
  *phContainer = ContainerHandle(t, hApplication, *h, *con);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER hContainer) {
  SKF_ENTER(SKF_CloseContainer);
  if (!t.HasHandle(hContainer, HandleKind::Container)) return SAR_INVALIDHANDLEERR;
  t.CloseHandle(hContainer);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG* pulSize) {
  SKF_ENTER(SKF_EnumContainer);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  RESOLVE(hApplication, HandleKind::Application, &h, &dev, &app);
  std::vector<std::string> names;
  for (const auto& c : app->containers) names.push_back(c->name);
  return PutList(names, szContainerName, pulSize);
}

namespace {

ULONG ContainerType(HCONTAINER hContainer, ULONG* pulType) {
  Token& t = Token::Get();
  std::lock_guard<std::mutex> g(t.lock);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pulType == nullptr) return SAR_INVALIDPARAMERR;
  *pulType = con->type;
  return SAR_OK;
}

}  // namespace

#ifdef SOFTSKF_CONPROP
SOFTSKF_EXPORT ULONG SKF_GetConProperty(HCONTAINER hContainer, ULONG* pulConProperty) {
  if (ULONG armed = Token::Get().Enter("SKF_GetConProperty")) return armed;
  return ContainerType(hContainer, pulConProperty);
}
#else
SOFTSKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType) {
  if (ULONG armed = Token::Get().Enter("SKF_GetContainerType")) return armed;
  return ContainerType(hContainer, pulContainerType);
}
#endif

SOFTSKF_EXPORT ULONG SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                           ULONG ulCertLen) {
  SKF_ENTER(SKF_ImportCertificate);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pbCert == nullptr || ulCertLen == 0) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  if (ulCertLen > kMaxCert) return SAR_INDATALENERR;
  (bSignFlag ? con->signCert : con->exchCert).assign(pbCert, pbCert + ulCertLen);
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbCert,
                                           ULONG* pulCertLen) {
  SKF_ENTER(SKF_ExportCertificate);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  const Bytes& cert = bSignFlag ? con->signCert : con->exchCert;
  if (pulCertLen == nullptr) return SAR_INVALIDPARAMERR;
  if (cert.empty()) return SAR_CERTNOTFOUNTERR;
  return PutBytes(cert.data(), cert.size(), pbCert, pulCertLen);
}

SOFTSKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                                         ULONG* pulBlobLen) {
  SKF_ENTER(SKF_ExportPublicKey);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pulBlobLen == nullptr) return SAR_INVALIDPARAMERR;
  EVP_PKEY* k = bSignFlag ? con->signKey.get() : con->exchKey.get();
  if (k == nullptr) return SAR_KEYNOTFOUNTERR;
  if (crypto::KeyType(k) == SKF_CONTAINER_ECC) {
    ECCPUBLICKEYBLOB blob;
    if (!crypto::Sm2ToBlob(k, &blob)) return SAR_FAIL;
    return PutBytes(reinterpret_cast<const uint8_t*>(&blob), sizeof blob, pbBlob, pulBlobLen);
  }
  RSAPUBLICKEYBLOB blob;
  if (!crypto::RsaToBlob(k, &blob)) return SAR_FAIL;
  return PutBytes(reinterpret_cast<const uint8_t*>(&blob), sizeof blob, pbBlob, pulBlobLen);
}

// ---------------------------------------------------------------------------------------
// Key pairs and signatures.

namespace {

// A container takes keys of one algorithm: keys and certificates of another go.
void Retype(Container& con, ULONG type) {
  if (con.type == type) return;
  con.signKey.reset();
  con.exchKey.reset();
  con.signCert.clear();
  con.exchCert.clear();
  con.type = type;
}

}  // namespace

SOFTSKF_EXPORT ULONG SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB* pBlob) {
  SKF_ENTER(SKF_GenECCKeyPair);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pBlob == nullptr || ulAlgId != SGD_SM2_1) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  PkeyPtr k = crypto::GenSm2();
  if (!k || !crypto::Sm2ToBlob(k.get(), pBlob)) return SAR_FAIL;
  Retype(*con, SKF_CONTAINER_ECC);
  con->signKey = std::move(k);
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB* pBlob) {
  SKF_ENTER(SKF_GenRSAKeyPair);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pBlob == nullptr) return SAR_INVALIDPARAMERR;
  if (ulBitsLen != 1024 && ulBitsLen != 2048) return SAR_MODULUSLENERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  PkeyPtr k = crypto::GenRsa(ulBitsLen);
  if (!k || !crypto::RsaToBlob(k.get(), pBlob)) return SAR_GENRSAKEYERR;
  Retype(*con, SKF_CONTAINER_RSA);
  con->signKey = std::move(k);
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_ImportECCKeyPair(HCONTAINER hContainer, PENVELOPEDKEYBLOB pEnvelopedKeyBlob) {
  SKF_ENTER(SKF_ImportECCKeyPair);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pEnvelopedKeyBlob == nullptr) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  if (con->type != SKF_CONTAINER_ECC || !con->signKey) return SAR_KEYNOTFOUNTERR;
  const ENVELOPEDKEYBLOB& b = *pEnvelopedKeyBlob;
  if (b.ulBits != 256) return SAR_INVALIDPARAMERR;
  size_t keyLen = 0;
  const EVP_CIPHER* cipher = crypto::CipherFor(b.ulSymmAlgID, &keyLen);
  if (cipher == nullptr || EVP_CIPHER_get_iv_length(cipher) > 0) return SAR_NOTSUPPORTYETERR;
  if (b.ECCCipherBlob.CipherLen != keyLen) return SAR_INDATAERR;
  // The symmetric key is wrapped to the signature key of the container.
  Bytes symm;
  if (!crypto::Sm2Decrypt(con->signKey.get(), &b.ECCCipherBlob, SKF_ECCCIPHERBLOB_HEADER + keyLen, symm) ||
      symm.size() != keyLen)
    return SAR_INDATAERR;
  // The private key's 32-byte value sits in the last 32 bytes of its 64-byte field.
  uint8_t d[32];
  int n1 = 0, n2 = 0;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, symm.data(), nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
            EVP_DecryptUpdate(ctx.get(), d, &n1, b.cbEncryptedPriKey + 32, 32) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), d + n1, &n2) == 1 && n1 + n2 == 32;
  OPENSSL_cleanse(symm.data(), symm.size());
  PkeyPtr k = ok ? crypto::Sm2FromPrivate(d) : nullptr;
  OPENSSL_cleanse(d, sizeof d);
  if (!k) return SAR_INDATAERR;
  ECCPUBLICKEYBLOB pub;
  if (!crypto::Sm2ToBlob(k.get(), &pub) || std::memcmp(pub.XCoordinate, b.PubKey.XCoordinate, 64) != 0 ||
      std::memcmp(pub.YCoordinate, b.PubKey.YCoordinate, 64) != 0)
    return SAR_INDATAERR;
  con->exchKey = std::move(k);
  t.Save();
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                     PECCSIGNATUREBLOB pSignature) {
  SKF_ENTER(SKF_ECCSignData);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pbData == nullptr || pSignature == nullptr) return SAR_INVALIDPARAMERR;
  if (ulDataLen == 0 || ulDataLen > 32) return SAR_INDATALENERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  if (con->type != SKF_CONTAINER_ECC || !con->signKey) return SAR_KEYNOTFOUNTERR;
  return crypto::Sm2SignDigest(con->signKey.get(), pbData, ulDataLen, pSignature) ? SAR_OK : SAR_FAIL;
}

SOFTSKF_EXPORT ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob, BYTE* pbData,
                                   ULONG ulDataLen, PECCSIGNATUREBLOB pSignature) {
  SKF_ENTER(SKF_ECCVerify);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (!pECCPubKeyBlob || !pbData || !pSignature) return SAR_INVALIDPARAMERR;
  if (ulDataLen == 0 || ulDataLen > 32) return SAR_INDATALENERR;
  PkeyPtr k = crypto::Sm2FromBlob(pECCPubKeyBlob);
  if (!k) return SAR_INVALIDPARAMERR;
  return crypto::Sm2VerifyDigest(k.get(), pbData, ulDataLen, pSignature) ? SAR_OK : SAR_FAIL;
}

SOFTSKF_EXPORT ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                                     BYTE* pbSignature, ULONG* pulSignLen) {
  SKF_ENTER(SKF_RSASignData);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (pbData == nullptr || pulSignLen == nullptr) return SAR_INVALIDPARAMERR;
  if (con->type != SKF_CONTAINER_RSA || !con->signKey) return SAR_KEYNOTFOUNTERR;
  size_t modBytes = static_cast<size_t>(EVP_PKEY_get_size(con->signKey.get()));
  if (ulDataLen == 0 || ulDataLen > modBytes - 11) return SAR_INDATALENERR;
  if (pbSignature == nullptr) {
    *pulSignLen = static_cast<ULONG>(modBytes);
    return SAR_OK;
  }
  if (*pulSignLen < modBytes) {
    *pulSignLen = static_cast<ULONG>(modBytes);
    return SAR_BUFFER_TOO_SMALL;
  }
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  Bytes sig;
  if (!crypto::RsaSignRaw(con->signKey.get(), pbData, ulDataLen, sig)) return SAR_FAIL;
  return PutBytes(sig.data(), sig.size(), pbSignature, pulSignLen);
}

SOFTSKF_EXPORT ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB* pRSAPubKeyBlob, BYTE* pbData,
                                   ULONG ulDataLen, BYTE* pbSignature, ULONG ulSignLen) {
  SKF_ENTER(SKF_RSAVerify);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (!pRSAPubKeyBlob || !pbData || !pbSignature || ulDataLen == 0) return SAR_INVALIDPARAMERR;
  PkeyPtr k = crypto::RsaFromBlob(pRSAPubKeyBlob);
  if (!k) return SAR_INVALIDPARAMERR;
  if (ulSignLen != static_cast<ULONG>(EVP_PKEY_get_size(k.get()))) return SAR_INDATALENERR;
  return crypto::RsaVerifyRaw(k.get(), pbData, ulDataLen, pbSignature, ulSignLen) ? SAR_OK : SAR_FAIL;
}

// ---------------------------------------------------------------------------------------
// Session keys and symmetric ciphers.

SOFTSKF_EXPORT ULONG SKF_ECCExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId,
                                             ECCPUBLICKEYBLOB* pPubKey, PECCCIPHERBLOB pData,
                                             HANDLE* phSessionKey) {
  SKF_ENTER(SKF_ECCExportSessionKey);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (!pPubKey || !pData || !phSessionKey) return SAR_INVALIDPARAMERR;
  PkeyPtr pub = crypto::Sm2FromBlob(pPubKey);
  if (!pub) return SAR_INVALIDPARAMERR;
  Bytes key;
  if (ULONG rv = NewSessionKey(ulAlgId, key)) return rv;
  Bytes blob;
  if (!crypto::Sm2Encrypt(pub.get(), key.data(), key.size(), blob)) return SAR_FAIL;
  // The caller's blob has room for the header and the wrapped key (164 + key length).
  std::memcpy(pData, blob.data(), blob.size());
  *phSessionKey = KeyHandle(t, *h, reinterpret_cast<uintptr_t>(hContainer), ulAlgId, std::move(key));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_RSAExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, RSAPUBLICKEYBLOB* pPubKey,
                                             BYTE* pbData, ULONG* pulDataLen, HANDLE* phSessionKey) {
  SKF_ENTER(SKF_RSAExportSessionKey);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (!pPubKey || !pulDataLen) return SAR_INVALIDPARAMERR;
  PkeyPtr pub = crypto::RsaFromBlob(pPubKey);
  if (!pub) return SAR_INVALIDPARAMERR;
  size_t modBytes = static_cast<size_t>(EVP_PKEY_get_size(pub.get()));
  if (pbData == nullptr) {
    *pulDataLen = static_cast<ULONG>(modBytes);
    return SAR_OK;
  }
  if (*pulDataLen < modBytes) {
    *pulDataLen = static_cast<ULONG>(modBytes);
    return SAR_BUFFER_TOO_SMALL;
  }
  if (phSessionKey == nullptr) return SAR_INVALIDPARAMERR;
  Bytes key;
  if (ULONG rv = NewSessionKey(ulAlgId, key)) return rv;
  Bytes wrapped;
  if (!crypto::RsaEncrypt(pub.get(), key.data(), key.size(), wrapped)) return SAR_RSAENCERR;
  std::memcpy(pbData, wrapped.data(), wrapped.size());
  *pulDataLen = static_cast<ULONG>(wrapped.size());
  *phSessionKey = KeyHandle(t, *h, reinterpret_cast<uintptr_t>(hContainer), ulAlgId, std::move(key));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_ImportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, BYTE* pbWrapedData,
                                          ULONG ulWrapedLen, HANDLE* phKey) {
  SKF_ENTER(SKF_ImportSessionKey);
  Handle* h = nullptr;
  Device* dev = nullptr;
  Application* app = nullptr;
  Container* con = nullptr;
  RESOLVE(hContainer, HandleKind::Container, &h, &dev, &app, &con);
  if (!pbWrapedData || !phKey || ulWrapedLen == 0) return SAR_INVALIDPARAMERR;
  if (!app->userLoggedIn) return SAR_USER_NOT_LOGGED_IN;
  size_t keyLen = 0;
  if (crypto::CipherFor(ulAlgId, &keyLen) == nullptr) return SAR_NOTSUPPORTYETERR;
  if (!con->exchKey) return SAR_KEYNOTFOUNTERR;
  Bytes key;
  if (con->type == SKF_CONTAINER_ECC) {
    if (ulWrapedLen < SKF_ECCCIPHERBLOB_HEADER) return SAR_INDATALENERR;
    if (!crypto::Sm2Decrypt(con->exchKey.get(), reinterpret_cast<const ECCCIPHERBLOB*>(pbWrapedData),
                            ulWrapedLen, key))
      return SAR_INDATAERR;
  } else if (!crypto::RsaDecrypt(con->exchKey.get(), pbWrapedData, ulWrapedLen, key)) {
    return SAR_RSADECERR;
  }
  if (key.size() != keyLen) {
    OPENSSL_cleanse(key.data(), key.size());
    return SAR_INDATAERR;
  }
  *phKey = KeyHandle(t, *h, reinterpret_cast<uintptr_t>(hContainer), ulAlgId, std::move(key));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_SetSymmKey(DEVHANDLE hDev, BYTE* pbKey, ULONG ulAlgID, HANDLE* phKey) {
  SKF_ENTER(SKF_SetSymmKey);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (pbKey == nullptr || phKey == nullptr) return SAR_INVALIDPARAMERR;
  size_t keyLen = 0;
  if (crypto::CipherFor(ulAlgID, &keyLen) == nullptr) return SAR_NOTSUPPORTYETERR;
  *phKey = KeyHandle(t, *h, reinterpret_cast<uintptr_t>(hDev), ulAlgID, Bytes(pbKey, pbKey + keyLen));
  return SAR_OK;
}

#define KEY_OP_BEGIN(fn)                        \
  SKF_ENTER(fn);                                \
  Handle* h = nullptr;                          \
  Device* dev = nullptr;                        \
  RESOLVE(hKey, HandleKind::Key, &h, &dev)

SOFTSKF_EXPORT ULONG SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam) {
  KEY_OP_BEGIN(SKF_EncryptInit);
  return CipherInit(*h, EncryptParam, true);
}

SOFTSKF_EXPORT ULONG SKF_Encrypt(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData,
                                 ULONG* pulEncryptedLen) {
  KEY_OP_BEGIN(SKF_Encrypt);
  if (!h->cipher || !h->encrypting) return SAR_NOTINITIALIZEERR;
  return CipherAll(*h, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

SOFTSKF_EXPORT ULONG SKF_EncryptUpdate(HANDLE hKey, BYTE* pbData, ULONG ulDataLen, BYTE* pbEncryptedData,
                                       ULONG* pulEncryptedLen) {
  KEY_OP_BEGIN(SKF_EncryptUpdate);
  if (!h->cipher || !h->encrypting) return SAR_NOTINITIALIZEERR;
  return CipherUpdate(*h, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

SOFTSKF_EXPORT ULONG SKF_EncryptFinal(HANDLE hKey, BYTE* pbEncryptedData, ULONG* pulEncryptedDataLen) {
  KEY_OP_BEGIN(SKF_EncryptFinal);
  if (!h->cipher || !h->encrypting) return SAR_NOTINITIALIZEERR;
  return CipherFinal(*h, pbEncryptedData, pulEncryptedDataLen);
}

SOFTSKF_EXPORT ULONG SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam) {
  KEY_OP_BEGIN(SKF_DecryptInit);
  return CipherInit(*h, DecryptParam, false);
}

SOFTSKF_EXPORT ULONG SKF_Decrypt(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen, BYTE* pbData,
                                 ULONG* pulDataLen) {
  KEY_OP_BEGIN(SKF_Decrypt);
  if (!h->cipher || h->encrypting) return SAR_NOTINITIALIZEERR;
  if (ulEncryptedLen % 16) return SAR_INDATALENERR;
  return CipherAll(*h, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

SOFTSKF_EXPORT ULONG SKF_DecryptUpdate(HANDLE hKey, BYTE* pbEncryptedData, ULONG ulEncryptedLen,
                                       BYTE* pbData, ULONG* pulDataLen) {
  KEY_OP_BEGIN(SKF_DecryptUpdate);
  if (!h->cipher || h->encrypting) return SAR_NOTINITIALIZEERR;
  return CipherUpdate(*h, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

SOFTSKF_EXPORT ULONG SKF_DecryptFinal(HANDLE hKey, BYTE* pbDecryptedData, ULONG* pulDecryptedDataLen) {
  KEY_OP_BEGIN(SKF_DecryptFinal);
  if (!h->cipher || h->encrypting) return SAR_NOTINITIALIZEERR;
  return CipherFinal(*h, pbDecryptedData, pulDecryptedDataLen);
}

SOFTSKF_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle) {
  SKF_ENTER(SKF_CloseHandle);
  if (!t.HasHandle(hHandle, HandleKind::Key) && !t.HasHandle(hHandle, HandleKind::Hash))
    return SAR_INVALIDHANDLEERR;
  t.CloseHandle(hHandle);
  return SAR_OK;
}

// ---------------------------------------------------------------------------------------
// Digests.

SOFTSKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey,
                                    unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash) {
  SKF_ENTER(SKF_DigestInit);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hDev, HandleKind::Device, &h, &dev);
  if (phHash == nullptr) return SAR_INVALIDPARAMERR;
  const EVP_MD* md = nullptr;
  switch (ulAlgID) {
    case SGD_SM3: md = EVP_sm3(); break;
    case SGD_SHA1: md = EVP_sha1(); break;
    case SGD_SHA256: md = EVP_sha256(); break;
    case SGD_MD5: md = EVP_md5(); break;
    default: return SAR_NOTSUPPORTYETERR;
  }
  Handle hh;
  hh.kind = HandleKind::Hash;
  hh.parent = reinterpret_cast<uintptr_t>(hDev);
  hh.device = h->device;
  hh.generation = h->generation;
  hh.md.reset(EVP_MD_CTX_new());
  hh.hashLen = static_cast<ULONG>(EVP_MD_get_size(md));
  if (!hh.md || EVP_DigestInit_ex(hh.md.get(), md, nullptr) != 1) return SAR_HASHOBJERR;
  if (ulAlgID == SGD_SM3 && pPubKey != nullptr) {
    // SM3 with a signer's key starts from its Z value (the default identity without one).
    if (pucID == nullptr && ulIDLen) return SAR_INVALIDPARAMERR;
    const uint8_t* id = pucID;
    size_t idLen = ulIDLen;
    if (id == nullptr || idLen == 0) {
      id = reinterpret_cast<const uint8_t*>(kDefaultSm2Id);
      idLen = 16;
    }
    uint8_t z[32];
    if (!crypto::Sm3Z(pPubKey, id, idLen, z)) return SAR_INVALIDPARAMERR;
    if (EVP_DigestUpdate(hh.md.get(), z, sizeof z) != 1) return SAR_HASHERR;
  }
  *phHash = t.NewHandle(std::move(hh));
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen) {
  SKF_ENTER(SKF_DigestUpdate);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hHash, HandleKind::Hash, &h, &dev);
  if (pbData == nullptr && ulDataLen) return SAR_INVALIDPARAMERR;
  if (!h->md) return SAR_HASHOBJERR;
  if (ulDataLen && EVP_DigestUpdate(h->md.get(), pbData, ulDataLen) != 1) return SAR_HASHERR;
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen) {
  SKF_ENTER(SKF_DigestFinal);
  Handle* h = nullptr;
  Device* dev = nullptr;
  RESOLVE(hHash, HandleKind::Hash, &h, &dev);
  if (pulHashLen == nullptr) return SAR_INVALIDPARAMERR;
  if (!h->md) return SAR_HASHOBJERR;
  if (pHashData == nullptr) {
    *pulHashLen = h->hashLen;
    return SAR_OK;
  }
  if (*pulHashLen < h->hashLen) {
    *pulHashLen = h->hashLen;
    return SAR_BUFFER_TOO_SMALL;
  }
  unsigned int n = 0;
  int ok = EVP_DigestFinal_ex(h->md.get(), pHashData, &n);
  h->md.reset();
  if (ok != 1) return SAR_HASHERR;
  *pulHashLen = n;
  return SAR_OK;
}
