// orvadesk: the agent. Until the tray application arrives it runs in the
// foreground: the log as the machine-wide settings say, the loopback service on
// ServicePort (6368 by default) with the token events pushed to its WebSockets, and a
// clean stop on SIGINT or SIGTERM.
//   orvadesk                    run the service
//   orvadesk --trust-browsers   add the local CA to the user's NSS database and exit
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>

#include <thread>

#include "devices/core/DeviceManager.h"
#include "devices/skf/GMDeviceProxy.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAOriginConsent.h"
#include "foundation/ORVAResource.h"
#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"
#include "platform/EventQueue.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVATlsIdentity.h"
#ifdef ORVA_HAVE_GUI
#include "app/ORVAGuiStart.h"
#endif

namespace {

uint16_t ServicePort() {
  uint32_t port = 0;
  if (CRegOptions::ReadDword(SettingsScope::Machine, "ServicePort", port) && port > 0 &&
      port <= 65535)
    return static_cast<uint16_t>(port);
  return ORVA_SERVICE_PORT;
}

int TrustBrowsers() {
  ORVA_SERVICE_IDENTITY id;
  uint32_t res = CORVATlsIdentity::Load(id);
  if (res != 0) {
    std::fprintf(stderr, "orvadesk: no service identity (0x%x)\n", res);
    return 1;
  }
  std::string report;
  res = CORVATlsIdentity::TrustInBrowsers(id, report);
  std::fprintf(res == 0 ? stdout : stderr, "orvadesk: %s\n", report.c_str());
  return res == 0 ? 0 : 1;
}

// The access policy's question about an unknown web origin, asked through the user
// interface in force (the Qt dialog, or the headless answers).
CORVAAccessPolicy::Decision AskConsent(const std::string& origin) {
  switch (OrvaAskOriginConsent(origin)) {
    case OrvaConsent::AlwaysAllow:
      return CORVAAccessPolicy::kAllowAlways;
    case OrvaConsent::AllowOnce:
      return CORVAAccessPolicy::kAllowOnce;
    default:
      return CORVAAccessPolicy::kRefuse;
  }
}

int RunService(int& argc, char** argv) {
  // The signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  CORVAResource::Instance().SelectResourceModule();
  CORVAAccessPolicy::Instance().SetConsentProvider(AskConsent);
#ifdef ORVA_HAVE_GUI
  // With a display the dialogs are Qt windows and the main thread runs their loop.
  std::unique_ptr<CORVAGuiSession> gui = OrvaStartGui(argc, argv);
#endif

  // The token kits of the machine-wide settings load on threads of their own (which
  // inherit the blocked signals).
  OrvaRegisterSkfBinding();
  CDeviceManager* pDeviceMngr = CDeviceManager::GetInstance();
  // Token insertion and removal reach every open WebSocket from the main thread's loop.
  const auto& mainLoop = orva::platform::CMessageLoop::Main();
  DeviceEventQueuePtr events = CDeviceEventQueue::Create(
      mainLoop, [pDeviceMngr](uintptr_t, const DEVICE_EVENT_INFO& e) { CORVAHttpServer::HandleKeyEvent(e, pDeviceMngr); });
  pDeviceMngr->AddEventHandler(events, 0);
  auto stopEvents = [&] {
    pDeviceMngr->RemoveEventHandler(events, 0);
    events->Close();
  };
  pDeviceMngr->EnumDevices(kOrvaSettingsKey, 1);

  uint16_t port = ServicePort();
  if (!CORVAHttpServer::Start(port, pDeviceMngr)) {
    ORVA_LOG_INFO("CORVAHttpServer::Start() failed! Can't use a none-IE brower!");
    std::fprintf(stderr, "orvadesk: the service cannot listen on 127.0.0.1:%u\n", port);
    stopEvents();
    CDeviceManager::ReleaseInstance();
    return 1;
  }
  std::printf("orvadesk: serving https://%s:%u/ on 127.0.0.1\n", ORVA_SERVICE_HOST,
              CORVAHttpServer::GetPort());
  std::fflush(stdout);

  int sig = 0;
#ifdef ORVA_HAVE_GUI
  if (gui) {
    // The Qt loop drains the main loop whenever work lands in it.
    QApplication* app = &gui->App();
    auto drain = [app] {
      QMetaObject::invokeMethod(app, [] { orva::platform::CMessageLoop::Main()->RunPending(); },
                                Qt::QueuedConnection);
    };
    mainLoop->SetWakeup(drain);
    drain();
    std::thread waiter([&] {
      while (sigwait(&stopSignals, &sig) != 0) {
      }
      QMetaObject::invokeMethod(&gui->App(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    gui->App().exec();
    waiter.join();
    ORVA_LOG_INFO("Signal %d: stopping.", sig);
    mainLoop->SetWakeup(nullptr);
    stopEvents();
    gui->UI()->Shutdown();  // callers waiting on a dialog get cancel before the service stops
    CORVAHttpServer::Stop();
    CDeviceManager::ReleaseInstance();
    return 0;
  }
#endif
  // Headless: the main thread runs the loop until a stop signal arrives.
  std::thread waiter([&] {
    while (sigwait(&stopSignals, &sig) != 0) {
    }
    mainLoop->Quit();
  });
  mainLoop->Run();
  waiter.join();
  ORVA_LOG_INFO("Signal %d: stopping.", sig);
  stopEvents();
  CORVAHttpServer::Stop();
  CDeviceManager::ReleaseInstance();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  InitLogFromMachineSettings();
  if (argc == 2 && std::strcmp(argv[1], "--trust-browsers") == 0) return TrustBrowsers();
  if (argc > 1) {
    std::fprintf(stderr, "usage: orvadesk [--trust-browsers]\n");
    return 2;
  }
  return RunService(argc, argv);
}
