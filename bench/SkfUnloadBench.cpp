// How long CGMDeviceProxy::Unload takes with an event thread waiting in the library: with
// SKF_CancelWaitForDevEvent (the wait is cancelled and the thread joined) and without it
// (the thread is left waiting and keeps the library loaded).
//   build/bench/skf_unload_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "devices/skf/GMDeviceProxy.h"
#include "tools/softskf/SoftSkfControl.h"

namespace {

struct Lib {
  explicit Lib(const std::string& file) : path(std::string(ORVA_SOFTSKF_DIR) + "/" + file) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "cannot open %s\n", path.c_str());
      std::abort();
    }
    plug = reinterpret_cast<PFN_SOFTSKF_Plug>(dlsym(handle, "SOFTSKF_Plug"));
    unplug = reinterpret_cast<PFN_SOFTSKF_Unplug>(dlsym(handle, "SOFTSKF_Unplug"));
    waiters = reinterpret_cast<PFN_SOFTSKF_Waiters>(dlsym(handle, "SOFTSKF_Waiters"));
  }
  ~Lib() { dlclose(handle); }
  std::string path;
  void* handle;
  PFN_SOFTSKF_Plug plug;
  PFN_SOFTSKF_Unplug unplug;
  PFN_SOFTSKF_Waiters waiters;
};

// The token keeps its state in memory (never a demo's state file or socket).
const bool kEnvCleared = [] {
  unsetenv("SOFTSKF_STATE");
  unsetenv("SOFTSKF_CONTROL");
  return true;
}();

template <class Pred>
void Until(Pred pred) {
  while (!pred()) std::this_thread::yield();
}

void Unload(benchmark::State& state, const char* file) {
  Lib lib(file);
  bool plugged = false;
  for (auto _ : state) {
    auto proxy = std::make_shared<CGMDeviceProxy>("Bench CSP");
    ORVA_PROXY_START_ARGS args;
    args.bWatchEvents = true;
    proxy->Load(lib.path, "", &args);
    Until([&] { return lib.waiters() >= 1; });
    auto t0 = std::chrono::steady_clock::now();
    proxy->Unload();
    auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    // A thread left waiting ends with the next event (outside the measured time).
    if (lib.waiters() > 0) {
      plugged ? lib.unplug("BenchWake") : lib.plug("BenchWake");
      plugged = !plugged;
      Until([] { return CGMDeviceProxy::RunningEventThreads() == 0; });
    }
  }
}

}  // namespace

BENCHMARK_CAPTURE(Unload, with_cancel, "libsoftskf.so")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Unload, without_cancel, "libsoftskf_nocancel.so")->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
