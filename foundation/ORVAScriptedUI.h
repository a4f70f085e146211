#pragma once
// The user interface without windows: it records every request and answers from a queue
// of scripted answers, one JSON object each, for example
//   {"dialog":"pin","button":"ok","pin":"demo1234"}
//   {"dialog":"pin_change","button":"ok","old":"demo1234","new":"abcd1234"}
//   {"dialog":"unlock","button":"ok","pin":"abcd1234"}
//   {"dialog":"consent","button":"always"}          (or "once", "refuse")
//   {"dialog":"message","id":150,"button":"retry"}  ("id" optional: the box's text id)
//   {"dialog":"file","button":"ok","path":"/home/u/a.txt"}
//   {"dialog":"folder","button":"ok","path":"/home/u/docs"}
// Answers are taken in order. When the next answer is for another kind of request (or
// another "id"), it stays queued and the request is answered as if cancelled; with no
// answer left every request is cancelled (a PIN dialog ends with 2, consent is refused, a
// message box returns its cancelling button: Cancel, No, Abort, or OK for a box with OK
// only).
//
// The PIN change and set/unlock dialogs check a new PIN as the real dialogs do: a PIN that
// fails is recorded as the dialog's error message (which takes no answer) and the next
// answer is taken as the user's next try.
//
// The headless default (FromEnvironment) reads answers from the file named by
// ORVADESK_UI_SCRIPT, re-reading it at each request so a running test may append lines,
// and appends one JSON line per request to "$ORVADESK_UI_SCRIPT.log". PINs never appear in
// records or logs. Without the variable, nothing is read or written and everything is
// cancelled.
#include <json/json.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ORVAUserInterface.h"

// One recorded request.
struct ORVA_UI_REQUEST {
  std::string strDialog;   // pin, pin_change, unlock, consent, message, file, folder, cert,
                           // balloon, open_folder, open_url
  uint32_t ulTextId = 0;   // message: the text's string id
  std::string strText;     // message/balloon text; cert: title; file/folder: title
  uint32_t ulCaptionId = 0;
  std::string strCaption;  // message caption; balloon title
  uint32_t ulType = 0;     // message: buttons | icon; unlock: mode; balloon: info flags
  std::string strOrigin;   // pin dialogs and consent
  std::string strPath;     // file/folder: chosen path; open_folder/open_url: the target
  std::string strAnswer;   // ok, cancel, retry, ... once, always, refuse, shown
};

class CORVAScriptedUI : public CORVAUserInterface {
 public:
  CORVAScriptedUI() = default;
  // Headless: answers from $ORVADESK_UI_SCRIPT (when set), records to its ".log".
  static std::shared_ptr<CORVAScriptedUI> FromEnvironment();

  // Queues one answer (a JSON object text, as in a script line). False when it is not one.
  bool PushAnswer(const std::string& strJsonLine);
  std::vector<ORVA_UI_REQUEST> Requests() const;
  void ClearRequests();
  // Answers still queued (in memory; the script file's unread lines are not counted).
  size_t PendingAnswers() const;

  bool IsInteractive() const override { return false; }
  int ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) override;
  int ShowPinChangeDlg(const std::string& strOrigin, std::string& strOldPin,
                       std::string& strNewPin) override;
  int ShowUnlockDlg(uint32_t ulMode, const std::string& strOrigin,
                    std::string& strNewPin) override;
  OrvaConsent AskConsent(const std::string& strOrigin) override;
  int ShowMessageBox(const ORVA_MESSAGE& msg) override;
  bool ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) override;
  bool ChooseFolder(const std::string& strTitle, std::string& strPath) override;
  void ShowCertificate(const std::vector<uint8_t>& certDer,
                       const std::vector<std::vector<uint8_t>>& chainDer,
                       const std::string& strTitle) override;
  void ShowBalloon(uint32_t ulInfoFlags, const std::string& strTitle,
                   const std::string& strText) override;
  uint32_t OpenFolder(const std::string& strPath) override;
  uint32_t OpenUrl(const std::string& strUrl) override;

 private:
  // The next answer for `dialog` (and text id, for messages), consumed; none when the
  // queue is empty or its head is for something else.
  std::optional<Json::Value> _TakeAnswer(const char* dialog, uint32_t ulTextId);
  void _Record(ORVA_UI_REQUEST req);

  mutable std::mutex m_lock;
  std::vector<Json::Value> m_answers;  // in-memory queue
  size_t m_nextAnswer = 0;
  std::string m_scriptPath;            // headless: the answer file
  size_t m_scriptLinesUsed = 0;
  std::vector<ORVA_UI_REQUEST> m_requests;
};

// Parses one answer line; false when it is not a JSON object.
bool ParseUiAnswer(const std::string& strLine, Json::Value& out);
