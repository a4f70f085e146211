#pragma once
// The one door through which every part of the program talks to the user: PIN dialogs,
// the web-site consent question, message boxes, file and folder choosers, the certificate
// view, tray balloons, and opening folders and web pages on the desktop.
//
// Callers never see Qt. The process's main installs an implementation with
// SetOrvaUserInterface (the Qt one in app/ when a display exists); until then, and in every
// process without a display, the headless one answers: it takes answers from the JSON-lines
// file named by ORVADESK_UI_SCRIPT and otherwise cancels everything. Nothing here aborts or
// blocks for lack of a display.
//
// Every call may come from any thread (connection threads of the web service, the tray's
// worker, the main thread); an implementation that shows windows runs them on its GUI
// thread and makes the caller wait for the answer. Each call is modal for its caller only.
//
// Texts are UTF-8. PINs travel in std::string buffers that the caller wipes with
// OrvaSecureZero once used; implementations never log them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ORVAResource.h"

// Message-box types: one button set | one icon (the platform's numbers).
inline constexpr uint32_t ORVA_MB_OK = 0x0;
inline constexpr uint32_t ORVA_MB_OKCANCEL = 0x1;
inline constexpr uint32_t ORVA_MB_ABORTRETRYIGNORE = 0x2;
inline constexpr uint32_t ORVA_MB_YESNOCANCEL = 0x3;
inline constexpr uint32_t ORVA_MB_YESNO = 0x4;
inline constexpr uint32_t ORVA_MB_RETRYCANCEL = 0x5;
inline constexpr uint32_t ORVA_MB_CANCELTRYCONTINUE = 0x6;
inline constexpr uint32_t ORVA_MB_TYPEMASK = 0xF;
inline constexpr uint32_t ORVA_MB_ICONERROR = 0x10;
inline constexpr uint32_t ORVA_MB_ICONQUESTION = 0x20;
inline constexpr uint32_t ORVA_MB_ICONWARNING = 0x30;
inline constexpr uint32_t ORVA_MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t ORVA_MB_ICONMASK = 0xF0;

// Identifiers of the pressed button (the platform's numbers). Dialogs end with 1 (OK) or
// 2 (cancel); 3 means the dialog could not be shown.
inline constexpr int ORVA_IDOK = 1;
inline constexpr int ORVA_IDCANCEL = 2;
inline constexpr int ORVA_IDABORT = 3;
inline constexpr int ORVA_IDRETRY = 4;
inline constexpr int ORVA_IDIGNORE = 5;
inline constexpr int ORVA_IDYES = 6;
inline constexpr int ORVA_IDNO = 7;
inline constexpr int ORVA_IDCLOSE = 8;
inline constexpr int ORVA_IDTRYAGAIN = 10;
inline constexpr int ORVA_IDCONTINUE = 11;
inline constexpr int ORVA_DLG_FAILED = 3;

// Modes of the set/unlock dialog.
inline constexpr uint32_t ORVA_UNLOCK_MODE_SET = 1;
inline constexpr uint32_t ORVA_UNLOCK_MODE_UNLOCK = 2;

// Balloon icons (info flags of the notification area).
inline constexpr uint32_t ORVA_BALLOON_NONE = 0;
inline constexpr uint32_t ORVA_BALLOON_INFO = 1;
inline constexpr uint32_t ORVA_BALLOON_WARNING = 2;
inline constexpr uint32_t ORVA_BALLOON_ERROR = 3;

// The answer to "may this web site use the agent?".
enum class OrvaConsent { Refuse = 0, AllowOnce = 1, AlwaysAllow = 2 };

// A message box: `strText` is what is shown (already formatted); `ulTextId` names the
// string-table entry it came from (0 for a literal text), so scripted answers and tests can
// tell the boxes apart in either language.
struct ORVA_MESSAGE {
  uint32_t ulTextId = 0;
  std::string strText;
  uint32_t ulCaptionId = 0;
  std::string strCaption;
  uint32_t ulType = ORVA_MB_OK;  // buttons | icon
};

// A file chooser. `strFilter` is the platform's list "desc|pattern|desc|pattern" (patterns
// separated by ";"), as in string 159; an empty filter means every file.
struct ORVA_FILE_DIALOG {
  bool bSave = false;
  std::string strTitle;
  std::string strFilter;
  uint32_t ulFilterIndex = 1;   // 1-based; on return the filter the user chose
  std::string strInitialName;   // open: ignored; save: proposed file name
  bool bCreatePrompt = false;   // open: ask before naming a file that does not exist
  bool bOverwritePrompt = false;  // save: ask before replacing a file
};

class CORVAUserInterface {
 public:
  virtual ~CORVAUserInterface() = default;

  // True when windows can really be shown (the Qt implementation on a display).
  virtual bool IsInteractive() const = 0;

  // PIN entry (template 101). `strOrigin` is the web origin that caused the request, ""
  // for the local program; the dialog names it. Returns the end value; on 1 `strPin`
  // holds the PIN as typed (no rule is applied).
  virtual int ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) = 0;
  // PIN change (template 102). On 1 both PINs are set; the new one has passed
  // CheckPinRule and its confirmation.
  virtual int ShowPinChangeDlg(const std::string& strOrigin, std::string& strOldPin,
                               std::string& strNewPin) = 0;
  // Set (mode 1) or unlock (mode 2) PIN (template 103). On 1 `strNewPin` has passed the
  // rule and its confirmation.
  virtual int ShowUnlockDlg(uint32_t ulMode, const std::string& strOrigin,
                            std::string& strNewPin) = 0;
  // "May this web site use the agent?" for `strOrigin`.
  virtual OrvaConsent AskConsent(const std::string& strOrigin) = 0;

  // A modal message box; returns the ORVA_ID* of the pressed button. Its buttons carry the
  // resource module's labels (strings 142-148) where it has them.
  virtual int ShowMessageBox(const ORVA_MESSAGE& msg) = 0;

  // File and folder choosers. true with the chosen path; false when cancelled.
  virtual bool ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) = 0;
  virtual bool ChooseFolder(const std::string& strTitle, std::string& strPath) = 0;

  // The certificate view (fields, extensions, chain) of a DER certificate; returns when
  // the user closes it. `chainDer` may hold issuers the caller knows (nearest first).
  virtual void ShowCertificate(const std::vector<uint8_t>& certDer,
                               const std::vector<std::vector<uint8_t>>& chainDer,
                               const std::string& strTitle) = 0;

  // A tray balloon; does not wait.
  virtual void ShowBalloon(uint32_t ulInfoFlags, const std::string& strTitle,
                           const std::string& strText) = 0;

  // Opens an existing directory in the desktop's file manager: 0, or 0x81000004 when the
  // path is not a directory. Files and programs are never opened.
  virtual uint32_t OpenFolder(const std::string& strPath) = 0;
  // Opens an http or https address of the program's own configuration in the browser:
  // 0, or 0x81000004 for any other kind of address.
  virtual uint32_t OpenUrl(const std::string& strUrl) = 0;
};

using OrvaUserInterfacePtr = std::shared_ptr<CORVAUserInterface>;

// The implementation in force; never null (the headless one until main installs another).
OrvaUserInterfacePtr GetOrvaUserInterface();
// Installs `ui` (null restores the headless default). Returns the previous one.
OrvaUserInterfacePtr SetOrvaUserInterface(OrvaUserInterfacePtr ui);

// The PIN rule: 0; 0x81000004 empty; 0x81000051 a character outside letters, digits and
// "~`!@#%$^&*()_-=+|{}[]:;<>,./"; 0x81000052 not 8 to 16 characters; 0x8100000E fewer
// than two of the classes letters, digits and listed characters.
uint32_t CheckPinRule(const char* lpcsPin);

// The message the PIN dialogs show for a new PIN that fails the rule: [137], [141], [161],
// [139] or [160]; 0 when `ulRuleResult` is 0.
uint32_t PinRuleMessageId(uint32_t ulRuleResult);

// The checks the PIN change and set/unlock dialogs make on OK, in their order: the string
// id of the message to show, or 0 when the input is accepted. `pOldPin` null means the
// dialog has no old-PIN field.
uint32_t CheckNewPinInput(const std::string* pOldPin, const std::string& strNewPin,
                          const std::string& strConfirm);

// Shows a message box whose text and caption come from the string table: `ulTextId`
// formatted with `args` (see FormatResourceText), caption `ulCaptionId`, through the
// implementation in force. Returns the pressed button.
int OrvaMessageBox(uint32_t ulTextId, uint32_t ulCaptionId, uint32_t ulType,
                   const std::vector<OrvaTextArg>& args = {});

// The addresses OpenUrl opens: "http://" or "https://" (any case) followed by a host, with
// no blank, control character or quote anywhere, at most 2048 bytes.
bool OrvaIsWebAddress(const std::string& strUrl);
