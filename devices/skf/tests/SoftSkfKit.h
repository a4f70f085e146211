#pragma once
// Test support for the SKF back end over the software token: the token library opened a
// second time (same path, same instance as the binding's) for its controls, state documents
// built from the test PKI, and the kit settings that point the device manager at it.
#include <json/json.h>

#include <string>
#include <vector>

#include "tools/softskf/SoftSkfControl.h"

namespace skftest {

// Path of a library built in tools/softskf ("libsoftskf.so", "libsoftskf_nocancel.so", ...).
std::string LibPath(const std::string& file);

class SoftSkfLib {
 public:
  explicit SoftSkfLib(const std::string& file);
  ~SoftSkfLib();
  SoftSkfLib(const SoftSkfLib&) = delete;
  SoftSkfLib& operator=(const SoftSkfLib&) = delete;

  const std::string& Path() const { return m_path; }
  ULONG Plug(const std::string& names) const { return m_plug(names.c_str()); }
  ULONG Unplug(const std::string& names) const { return m_unplug(names.c_str()); }
  ULONG Reset(const Json::Value& state) const;
  ULONG FailNext(const std::string& fn, ULONG code) const { return m_fail(fn.c_str(), code); }
  ULONG PostEvent(const std::string& names, ULONG type) const { return m_post(names.c_str(), type); }
  ULONG CallCount(const std::string& fn) const { return m_count(fn.c_str()); }
  ULONG Waiters() const { return m_waiters(); }

 private:
  std::string m_path;
  void* m_handle = nullptr;
  PFN_SOFTSKF_Plug m_plug = nullptr;
  PFN_SOFTSKF_Unplug m_unplug = nullptr;
  PFN_SOFTSKF_ResetJson m_reset = nullptr;
  PFN_SOFTSKF_FailNext m_fail = nullptr;
  PFN_SOFTSKF_PostEvent m_post = nullptr;
  PFN_SOFTSKF_CallCount m_count = nullptr;
  PFN_SOFTSKF_Waiters m_waiters = nullptr;
};

// A container holding keys and certificates of the test PKI ("" leaves a slot empty).
Json::Value Container(const std::string& name, const std::string& signKey, const std::string& signCert,
                      const std::string& exchKey = "", const std::string& exchCert = "");
Json::Value App(const std::string& name, std::vector<Json::Value> containers, uint32_t retries = 3,
                const std::string& adminPin = "admin1234", const std::string& userPin = "demo1234");
Json::Value Device(const std::string& name, const std::string& label, const std::string& serial,
                   std::vector<Json::Value> apps, bool present = true);
Json::Value State(std::vector<Json::Value> devices);

// The machine-wide settings with one SKF kit "SoftKit" on `libPath` (default kind SKF).
void WriteKit(const std::string& libPath, const std::string& csp = "Soft CSP", const std::string& aux = "");

// An ENVELOPEDKEYBLOB carrying the private key `exchKey` of the test PKI, encrypted with a
// fresh SM4 key that is wrapped to the public key of `wrapKey`.
std::vector<uint8_t> EnvelopedKeyBlob(const std::string& exchKey, const std::string& wrapKey);

}  // namespace skftest
