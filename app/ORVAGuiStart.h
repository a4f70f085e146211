#pragma once
// Start of the Qt user interface for the program's main: a QApplication and the Qt
// implementation installed as the process's user interface, only when a display can be
// reached. Without one nothing of Qt is touched (a QApplication without a display aborts
// the process) and the headless interface stays in force.
#include <QApplication>

#include <memory>

#include "app/ORVAQtUI.h"

// True when QT_QPA_PLATFORM names a platform, or the X display of DISPLAY accepts a
// connection, or the Wayland socket of WAYLAND_DISPLAY exists.
bool OrvaHasDisplay();

class CORVAGuiSession {
 public:
  CORVAGuiSession(int& argc, char** argv);
  ~CORVAGuiSession();  // answers waiting callers, restores the headless interface
  QApplication& App() { return m_app; }
  std::shared_ptr<CORVAQtUI> UI() const { return m_pUI; }

 private:
  QApplication m_app;
  std::shared_ptr<CORVAQtUI> m_pUI;
};

// The session, or null without a display.
std::unique_ptr<CORVAGuiSession> OrvaStartGui(int& argc, char** argv);
