#pragma once
// Support of the offscreen Qt tests: one QApplication for the binary, waits that keep the
// event loop running, and certificates made on the spot.
#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace orva::testing {

// The application (offscreen unless a display is named).
QApplication* TestApp();

// Runs the event loop until `pred` holds or `ms` pass.
bool WaitFor(const std::function<bool()>& pred, int ms = 8000);

// A visible top-level window with this object name, waited for.
QWidget* WaitForWindow(const QString& objectName, int ms = 8000);
// Every visible top-level window with this object name.
std::vector<QWidget*> VisibleWindows(const QString& objectName);

// Runs `fn` on the GUI thread once the event loop runs next (to drive a modal call).
void Later(std::function<void()> fn, int ms = 0);

// Finds the message box that is up, returns its text, and presses the button with this
// identifier (ORVA_ID*).
std::string AnswerMessageBox(int id, std::string* caption = nullptr, std::vector<std::string>* buttons = nullptr);

// The same, armed ahead: a timer answers the next message box that comes up (for boxes
// that a click opens with a nested event loop). `text` receives its text.
void AnswerNextMessageBox(int id, std::string* text, std::string* caption = nullptr);

// A certificate with an EC P-256 key: valid from `fromDays` to `toDays` relative to now,
// signed by `issuerKey` (self-signed when null). `keyOut` receives the new key (PEM-free,
// an EVP_PKEY* owned by the caller through FreeKey).
struct TestCert {
  std::vector<uint8_t> der;
  void* key = nullptr;  // EVP_PKEY*
};
TestCert MakeCert(const std::string& cn, int fromDays, int toDays, const TestCert* issuer = nullptr,
                  bool ca = false);
void FreeKey(TestCert& c);

}  // namespace orva::testing
