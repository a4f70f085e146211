// Fuzz entry point: any request body through the command dispatcher. The reply must always
// be one JSON object ending in a line feed.
//
// The commands are real: the file commands write and delete, the option commands write
// settings. So the requests come from a web origin that was granted nothing (every path is
// refused before it is touched), and home, settings and XDG folders point into a private
// temporary folder, removed at exit. The device manager has no kits: token commands end at
// "no such token", while the software paths (keyIndex -1: verification, sealing, signature
// properties) run in full.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "devices/core/DeviceManager.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

void IsolateOnce() {
  static bool done = [] {
    char tmpl[] = "/tmp/orva-fuzz-XXXXXX";
    const char* root = ::mkdtemp(tmpl);
    if (root == nullptr) std::abort();
    static std::string rootDir = root;
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                            "XDG_RUNTIME_DIR", "ORVADESK_MACHINE_DIR", "ORVADESK_USER_DIR"}) {
      std::string dir = rootDir + "/" + var;
      std::filesystem::create_directories(dir);
      ::setenv(var, dir.c_str(), 1);
    }
    ::unsetenv("ORVADESK_UI_SCRIPT");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(rootDir, ec);
    });
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IsolateOnce();
  static CORVACertCache cache;
  static CORVAHttpHandler handler(CDeviceManager::GetInstance(), &cache);
  handler.SetCallerOrigin(std::string("https://fuzz.invalid"));
  std::string reply;
  handler.ProcessHttpMsg(reply, std::string(reinterpret_cast<const char*>(data), size));
  if (reply.size() < 3 || reply.front() != '{' || reply.back() != '\n') std::abort();
  return 0;
}
