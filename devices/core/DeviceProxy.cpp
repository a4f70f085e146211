#include "devices/core/DeviceProxy.h"

#include <map>
#include <mutex>

namespace {

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

std::map<uint32_t, CDeviceProxy::Factory>& Factories() {
  static std::map<uint32_t, CDeviceProxy::Factory> factories;
  return factories;
}

}  // namespace

CDeviceProxy::CDeviceProxy(const std::string& csCspName) : m_csCspName(csCspName.substr(0, 255)) {}

CDeviceProxy::~CDeviceProxy() = default;

void CDeviceProxy::RegisterFactory(uint32_t ulSdkType, Factory factory) {
  std::lock_guard<std::mutex> g(FactoryLock());
  if (factory) Factories()[ulSdkType] = std::move(factory);
  else Factories().erase(ulSdkType);
}

std::shared_ptr<CDeviceProxy> CDeviceProxy::Create(uint32_t ulSdkType, const std::string& csCspName) {
  Factory factory;
  {
    std::lock_guard<std::mutex> g(FactoryLock());
    auto it = Factories().find(ulSdkType);
    if (it == Factories().end()) return nullptr;
    factory = it->second;
  }
  return factory(csCspName);
}
