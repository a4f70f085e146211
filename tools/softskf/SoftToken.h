#pragma once
// The software SKF token's model: devices with applications, containers, key pairs,
// certificates and PINs, the handle table, the event queue and the persisted state. One
// process-wide object (Token::Get) under one lock, as a real token serialises its commands.
//
// Handles are numbers from a table, never addresses: a handle that is unknown, of the wrong
// kind or whose object was deleted answers SAR_INVALIDHANDLEERR; a handle of a device that
// was pulled out (or pulled and plugged again) answers SAR_DEVICE_REMOVED.
#include <openssl/evp.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/skf/SkfApi.h"

namespace softskf {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bytes = std::vector<uint8_t>;

// Limits of the token (a real token's file system is small).
inline constexpr size_t kMaxApps = 8;
inline constexpr size_t kMaxContainers = 16;
inline constexpr size_t kMaxAppName = 48;
inline constexpr size_t kMaxContainerName = 64;
inline constexpr size_t kMinPin = 6;
inline constexpr size_t kMaxPin = 16;
inline constexpr size_t kMaxCert = 16384;
inline constexpr size_t kMaxEvents = 64;
inline constexpr ULONG kMaxRetry = 16;
inline constexpr const char* kDefaultDevAuthKey = "1234567812345678";
// The GM/T 0009 signer identity, used when a digest of an SM2 key is started without one.
inline constexpr const char* kDefaultSm2Id = "1234567812345678";

struct Container {
  uint64_t id = 0;
  std::string name;
  ULONG type = SKF_CONTAINER_EMPTY;
  PkeyPtr signKey, exchKey;
  Bytes signCert, exchCert;
};

struct Pin {
  std::string value;
  ULONG maxRetry = 10;
  ULONG remain = 10;
  bool isDefault = false;
};

struct Application {
  uint64_t id = 0;
  std::string name;
  Pin admin, user;
  ULONG createFileRights = SECURE_USER_ACCOUNT;
  std::vector<std::unique_ptr<Container>> containers;
  // Security state: who is logged in, and how many handles hold the application open.
  bool userLoggedIn = false;
  bool adminLoggedIn = false;
  int openHandles = 0;
};

struct Device {
  std::string name;
  std::string label;
  std::string serial;
  std::string manufacturer = "OrvaDesk Soft Token";
  std::string issuer = "OrvaDesk";
  Bytes devAuthKey;  // 16 bytes, SM4
  bool present = true;
  uint64_t generation = 1;  // raised on every unplug
  std::vector<std::unique_ptr<Application>> apps;
};

enum class HandleKind { Device, Application, Container, Key, Hash };

struct Handle {
  HandleKind kind = HandleKind::Device;
  uintptr_t parent = 0;  // the handle it was opened through; closing that closes this
  std::string device;
  uint64_t generation = 0;
  uint64_t appId = 0;
  uint64_t containerId = 0;
  // Device: device authentication and the last random challenge.
  bool devAuthed = false;
  Bytes challenge;
  // Key: algorithm, key bytes and the running cipher operation.
  ULONG algId = 0;
  Bytes key;
  CipherCtxPtr cipher;
  bool encrypting = false;
  bool padding = false;
  size_t pending = 0;  // input bytes the cipher holds back (not yet a whole block)
  // Hash.
  MdCtxPtr md;
  ULONG hashLen = 0;
};

struct Event {
  std::string names;  // one or more zero-terminated names and an empty one
  ULONG type = 0;
};

class Token {
 public:
  // The process-wide token, created (and its state file read) on the first call.
  static Token& Get();
  // Ends the control thread and releases the token when no thread waits inside it (run
  // when the library is unloaded).
  static void Shutdown();

  std::mutex lock;  // every state change and lookup

  // Devices (lock held).
  const std::vector<std::unique_ptr<Device>>& Devices() const { return m_devices; }
  Device* FindDevice(const std::string& name);
  Device* AddDevice(const std::string& name);  // a blank token

  // Handles (lock held).
  HANDLE NewHandle(Handle h);
  // The handle of that kind and its device: SAR_OK, SAR_INVALIDHANDLEERR or
  // SAR_DEVICE_REMOVED. The application and container pointers are set when the handle
  // has them (SAR_INVALIDHANDLEERR when they were deleted).
  ULONG Resolve(HANDLE h, HandleKind kind, Handle** ppHandle, Device** ppDev,
                Application** ppApp = nullptr, Container** ppCon = nullptr);
  // Closes the handle and every handle opened through it.
  void CloseHandle(HANDLE h);
  bool HasHandle(HANDLE h, HandleKind kind) const;
  uint64_t NextId() { return ++m_lastId; }

  // Events (their own lock: waiters block outside the state lock).
  void PostEvent(const std::vector<std::string>& names, ULONG type);
  ULONG WaitEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent);
  void CancelWait();
  int Waiters();

  // Persistence (lock held). Save writes SOFTSKF_STATE when it is set.
  void Save();
  std::string ToJson();

  // Controls.
  ULONG Plug(const std::vector<std::string>& names, bool present);
  // Replace the state by a JSON document (a file, or text with relative file names taken
  // from `baseDir`); SAR_INDATAERR when it does not parse, and the old state stays.
  ULONG Reset(const std::string& path);
  ULONG ResetText(const std::string& text, const std::string& baseDir = "");
  void FailNext(const std::string& function, ULONG code);
  // Counts the call and returns the failure armed for it (SAR_OK when none).
  ULONG Enter(const char* function);
  ULONG CallCount(const std::string& function);

 private:
  Token() = default;
  void _Init();
  void _ClearHandles();
  bool _Parse(const std::string& text, const std::string& baseDir,
              std::vector<std::unique_ptr<Device>>& devices, std::string& error);

  std::vector<std::unique_ptr<Device>> m_devices;
  std::map<uintptr_t, Handle> m_handles;
  uintptr_t m_nextHandle = 0x1000;
  uint64_t m_lastId = 0;
  std::string m_statePath;

  std::mutex m_eventLock;
  std::condition_variable m_eventCv;
  std::deque<Event> m_events;
  uint64_t m_cancelSeq = 0;
  int m_waiters = 0;
  bool m_bShutdown = false;

  std::mutex m_controlLock;
  // Transparent comparison: the per-call bookkeeping looks names up without a copy.
  std::map<std::string, ULONG, std::less<>> m_failNext;
  std::map<std::string, ULONG, std::less<>> m_calls;

  friend struct TokenAccess;
};

// Crypto helpers over OpenSSL (SM2 with the identity "1234567812345678", SM3, SM4, RSA).
namespace crypto {
PkeyPtr GenSm2();
PkeyPtr GenRsa(ULONG bits);
bool Sm2ToBlob(EVP_PKEY* k, ECCPUBLICKEYBLOB* blob);
PkeyPtr Sm2FromBlob(const ECCPUBLICKEYBLOB* blob);
PkeyPtr Sm2FromPrivate(const uint8_t* d32);
bool RsaToBlob(EVP_PKEY* k, RSAPUBLICKEYBLOB* blob);
PkeyPtr RsaFromBlob(const RSAPUBLICKEYBLOB* blob);
bool Sm2SignDigest(EVP_PKEY* k, const uint8_t* dgst, size_t len, ECCSIGNATUREBLOB* sig);
bool Sm2VerifyDigest(EVP_PKEY* k, const uint8_t* dgst, size_t len, const ECCSIGNATUREBLOB* sig);
// Cipher blob written as 164 + plain length bytes.
bool Sm2Encrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& blob);
bool Sm2Decrypt(EVP_PKEY* k, const ECCCIPHERBLOB* blob, size_t blobLen, Bytes& out);
bool RsaSignRaw(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& sig);
bool RsaVerifyRaw(EVP_PKEY* k, const uint8_t* in, size_t len, const uint8_t* sig, size_t sigLen);
bool RsaEncrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& out);
bool RsaDecrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& out);
// The cipher of an SKF algorithm identifier and its key length; null when unknown.
const EVP_CIPHER* CipherFor(ULONG algId, size_t* keyLen);
// SM3 Z value of a public key and user ID.
bool Sm3Z(const ECCPUBLICKEYBLOB* pub, const uint8_t* id, size_t idLen, uint8_t z[32]);
std::string KeyToPem(EVP_PKEY* k);
PkeyPtr KeyFromPem(const std::string& pem);
ULONG KeyType(EVP_PKEY* k);  // SKF_CONTAINER_RSA, SKF_CONTAINER_ECC or 0
bool SameKey(EVP_PKEY* a, EVP_PKEY* b);
}  // namespace crypto

// Starts and stops the control socket named by SOFTSKF_CONTROL.
void StartControlServer(const std::string& path);
void StopControlServer();
// Runs one control line ("plug NAME", ...) and returns the reply line.
std::string RunControlLine(const std::string& line);

}  // namespace softskf
