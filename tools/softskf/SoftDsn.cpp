// A stand-in for the HaiTai serial-number library (a kit's GEAImage): it answers the
// device serial number (DSN) of an SKF device name. The DSN is "HT" followed by the name's
// bytes in upper-case hexadecimal, so a test knows what to expect and a long name gives a
// DSN longer than the 32 bytes of the SKF serial number field.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "devices/skf/SkfApi.h"

#define SOFTDSN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_lock;
std::map<uintptr_t, std::string> g_open;
uintptr_t g_next = 0x100;

}  // namespace

SOFTDSN_EXPORT ULONG HSConnectDev(const char* szDevName, HANDLE* phCard) {
  if (szDevName == nullptr || phCard == nullptr || *szDevName == '\0') return SAR_INVALIDPARAMERR;
  std::lock_guard<std::mutex> g(g_lock);
  uintptr_t h = g_next++;
  g_open[h] = std::string(szDevName, strnlen(szDevName, 256));
  *phCard = reinterpret_cast<HANDLE>(h);
  return SAR_OK;
}

SOFTDSN_EXPORT ULONG HSDisconnectDev(HANDLE hCard) {
  std::lock_guard<std::mutex> g(g_lock);
  return g_open.erase(reinterpret_cast<uintptr_t>(hCard)) ? SAR_OK : SAR_INVALIDHANDLEERR;
}

SOFTDSN_EXPORT ULONG HSReadDSN(HANDLE hCard, BYTE* pbDSN, ULONG* pulDSNLen) {
  if (pbDSN == nullptr || pulDSNLen == nullptr) return SAR_INVALIDPARAMERR;
  std::string dsn = "HT";
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_open.find(reinterpret_cast<uintptr_t>(hCard));
    if (it == g_open.end()) return SAR_INVALIDHANDLEERR;
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : it->second) {
      dsn += hex[c >> 4];
      dsn += hex[c & 15];
    }
  }
  if (*pulDSNLen < dsn.size()) {
    *pulDSNLen = static_cast<ULONG>(dsn.size());
    return SAR_BUFFER_TOO_SMALL;
  }
  std::memcpy(pbDSN, dsn.data(), dsn.size());
  *pulDSNLen = static_cast<ULONG>(dsn.size());
  return SAR_OK;
}
