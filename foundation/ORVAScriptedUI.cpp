#include "foundation/ORVAScriptedUI.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/AtomicFile.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Member(const Json::Value& v, const char* name) {
  const Json::Value& m = v[name];
  return m.isString() ? m.asString() : std::string();
}

std::string Button(const std::optional<Json::Value>& a) {
  return a ? Lower(Member(*a, "button")) : std::string();
}

// The buttons of a box type, in their identifiers.
std::vector<int> ButtonsOf(uint32_t ulType) {
  switch (ulType & ORVA_MB_TYPEMASK) {
    case ORVA_MB_OKCANCEL:
      return {ORVA_IDOK, ORVA_IDCANCEL};
    case ORVA_MB_ABORTRETRYIGNORE:
      return {ORVA_IDABORT, ORVA_IDRETRY, ORVA_IDIGNORE};
    case ORVA_MB_YESNOCANCEL:
      return {ORVA_IDYES, ORVA_IDNO, ORVA_IDCANCEL};
    case ORVA_MB_YESNO:
      return {ORVA_IDYES, ORVA_IDNO};
    case ORVA_MB_RETRYCANCEL:
      return {ORVA_IDRETRY, ORVA_IDCANCEL};
    case ORVA_MB_CANCELTRYCONTINUE:
      return {ORVA_IDCANCEL, ORVA_IDTRYAGAIN, ORVA_IDCONTINUE};
    default:
      return {ORVA_IDOK};
  }
}

// What closing the box without a choice gives.
int CancellingButton(uint32_t ulType) {
  std::vector<int> b = ButtonsOf(ulType);
  for (int id : {ORVA_IDCANCEL, ORVA_IDNO, ORVA_IDABORT})
    for (int x : b)
      if (x == id) return id;
  return b.front();
}

int ButtonId(const std::string& name) {
  static const struct {
    const char* name;
    int id;
  } kNames[] = {{"ok", ORVA_IDOK},         {"cancel", ORVA_IDCANCEL}, {"abort", ORVA_IDABORT},
                {"retry", ORVA_IDRETRY},   {"ignore", ORVA_IDIGNORE}, {"yes", ORVA_IDYES},
                {"no", ORVA_IDNO},         {"close", ORVA_IDCLOSE},   {"tryagain", ORVA_IDTRYAGAIN},
                {"continue", ORVA_IDCONTINUE}};
  for (const auto& n : kNames)
    if (name == n.name) return n.id;
  return 0;
}

const char* ButtonName(int id) {
  switch (id) {
    case ORVA_IDOK: return "ok";
    case ORVA_IDCANCEL: return "cancel";
    case ORVA_IDABORT: return "abort";
    case ORVA_IDRETRY: return "retry";
    case ORVA_IDIGNORE: return "ignore";
    case ORVA_IDYES: return "yes";
    case ORVA_IDNO: return "no";
    case ORVA_IDCLOSE: return "close";
    case ORVA_IDTRYAGAIN: return "tryagain";
    case ORVA_IDCONTINUE: return "continue";
    default: return "none";
  }
}

std::string ToJsonLine(const ORVA_UI_REQUEST& r) {
  Json::Value v(Json::objectValue);
  v["dialog"] = r.strDialog;
  if (r.ulTextId) v["id"] = r.ulTextId;
  if (!r.strText.empty()) v["text"] = r.strText;
  if (r.ulCaptionId) v["captionId"] = r.ulCaptionId;
  if (!r.strCaption.empty()) v["caption"] = r.strCaption;
  if (r.ulType) v["type"] = r.ulType;
  if (!r.strOrigin.empty()) v["origin"] = r.strOrigin;
  if (!r.strPath.empty()) v["path"] = r.strPath;
  v["answer"] = r.strAnswer;
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return Json::writeString(w, v) + "\n";
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool ParseUiAnswer(const std::string& strLine, Json::Value& out) {
  Json::CharReaderBuilder b;
  std::string errs;
  std::istringstream in(strLine);
  try {
    return Json::parseFromStream(b, in, &out, &errs) && out.isObject();
  } catch (const std::exception&) {
    return false;
  }
}

std::shared_ptr<CORVAScriptedUI> CORVAScriptedUI::FromEnvironment() {
  auto ui = std::make_shared<CORVAScriptedUI>();
  const char* path = std::getenv("ORVADESK_UI_SCRIPT");
  if (path && *path) ui->m_scriptPath = path;
  return ui;
}

bool CORVAScriptedUI::PushAnswer(const std::string& strJsonLine) {
  Json::Value v;
  if (!ParseUiAnswer(strJsonLine, v)) return false;
  std::lock_guard<std::mutex> lock(m_lock);
  m_answers.push_back(std::move(v));
  return true;
}

std::vector<ORVA_UI_REQUEST> CORVAScriptedUI::Requests() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_requests;
}

void CORVAScriptedUI::ClearRequests() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_requests.clear();
}

size_t CORVAScriptedUI::PendingAnswers() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_answers.size() - m_nextAnswer;
}

std::optional<Json::Value> CORVAScriptedUI::_TakeAnswer(const char* dialog, uint32_t ulTextId) {
  std::lock_guard<std::mutex> lock(m_lock);
  Json::Value head;
  bool bFromFile = false;
  if (m_nextAnswer < m_answers.size()) {
    head = m_answers[m_nextAnswer];
  } else if (!m_scriptPath.empty()) {
    // Re-read the file: lines may have been appended since the last request. Blank lines
    // and lines that are not objects are skipped, and counted as used.
    std::string text;
    if (orva::platform::ReadWholeFile(m_scriptPath, text, 16u << 20) != 0) return std::nullopt;
    std::istringstream in(text);
    std::string line;
    size_t n = 0;
    bool found = false;
    while (std::getline(in, line)) {
      if (n++ < m_scriptLinesUsed) continue;
      if (line.find_first_not_of(" \t\r") == std::string::npos) {
        ++m_scriptLinesUsed;
        continue;
      }
      if (!ParseUiAnswer(line, head)) {
        ORVA_LOG_ERROR("Script line %u is not a JSON object; skipped.",
                       static_cast<unsigned>(m_scriptLinesUsed + 1));
        ++m_scriptLinesUsed;
        continue;
      }
      found = true;
      break;
    }
    OrvaSecureZero(text);
    if (!found) return std::nullopt;
    bFromFile = true;
  } else {
    return std::nullopt;
  }
  if (Lower(Member(head, "dialog")) != dialog) return std::nullopt;
  const Json::Value& id = head["id"];
  if (ulTextId != 0 && id.isUInt() && id.asUInt() != ulTextId) return std::nullopt;
  if (bFromFile)
    ++m_scriptLinesUsed;
  else
    ++m_nextAnswer;
  return head;
}

void CORVAScriptedUI::_Record(ORVA_UI_REQUEST req) {
  std::string line = ToJsonLine(req);
  std::lock_guard<std::mutex> lock(m_lock);
  m_requests.push_back(std::move(req));
  if (!m_scriptPath.empty()) {
    std::string logPath = m_scriptPath + ".log";
    int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ssize_t w = ::write(fd, line.data(), line.size());
      (void)w;
      ::close(fd);
    }
  }
}

int CORVAScriptedUI::ShowPinInputDlg(const std::string& strOrigin, std::string& strPin) {
  for (;;) {
    auto a = _TakeAnswer("pin", 0);
    ORVA_UI_REQUEST r;
    r.strDialog = "pin";
    r.strOrigin = strOrigin;
    if (Button(a) != "ok") {
      r.strAnswer = "cancel";
      _Record(std::move(r));
      return ORVA_IDCANCEL;
    }
    std::string pin = Member(*a, "pin");
    if (!pin.empty()) {
      strPin = std::move(pin);
      r.strAnswer = "ok";
      _Record(std::move(r));
      return ORVA_IDOK;
    }
    // The dialog refuses an empty PIN with [137] and stays open: the next answer is the
    // user's next try.
    r.strAnswer = "empty";
    _Record(std::move(r));
    CORVAResource& res = CORVAResource::Instance();
    _Record({"message", IDS_PIN_EMPTY, res.LoadString(IDS_PIN_EMPTY), IDS_CAPTION_ERROR,
             res.LoadString(IDS_CAPTION_ERROR), ORVA_MB_OK | ORVA_MB_ICONERROR, {}, {}, "ok"});
  }
}

int CORVAScriptedUI::ShowPinChangeDlg(const std::string& strOrigin, std::string& strOldPin,
                                      std::string& strNewPin) {
  for (;;) {
    auto a = _TakeAnswer("pin_change", 0);
    ORVA_UI_REQUEST r;
    r.strDialog = "pin_change";
    r.strOrigin = strOrigin;
    if (Button(a) != "ok") {
      r.strAnswer = "cancel";
      _Record(std::move(r));
      return ORVA_IDCANCEL;
    }
    std::string oldPin = Member(*a, "old"), newPin = Member(*a, "new");
    std::string confirm = (*a).isMember("confirm") ? Member(*a, "confirm") : newPin;
    uint32_t ulMsg = CheckNewPinInput(&oldPin, newPin, confirm);
    OrvaSecureZero(confirm);
    if (ulMsg == 0) {
      strOldPin = std::move(oldPin);
      strNewPin = std::move(newPin);
      r.strAnswer = "ok";
      _Record(std::move(r));
      return ORVA_IDOK;
    }
    OrvaSecureZero(oldPin);
    OrvaSecureZero(newPin);
    r.strAnswer = "refused";
    _Record(std::move(r));
    CORVAResource& res = CORVAResource::Instance();
    _Record({"message", ulMsg, res.LoadString(ulMsg), IDS_CAPTION_ERROR,
             res.LoadString(IDS_CAPTION_ERROR), ORVA_MB_OK | ORVA_MB_ICONERROR, {}, {}, "ok"});
  }
}

int CORVAScriptedUI::ShowUnlockDlg(uint32_t ulMode, const std::string& strOrigin,
                                   std::string& strNewPin) {
  for (;;) {
    auto a = _TakeAnswer("unlock", 0);
    ORVA_UI_REQUEST r;
    r.strDialog = "unlock";
    r.strOrigin = strOrigin;
    r.ulType = ulMode;
    if (Button(a) != "ok") {
      r.strAnswer = "cancel";
      _Record(std::move(r));
      return ORVA_IDCANCEL;
    }
    std::string newPin = Member(*a, "pin");
    std::string confirm = (*a).isMember("confirm") ? Member(*a, "confirm") : newPin;
    uint32_t ulMsg = CheckNewPinInput(nullptr, newPin, confirm);
    OrvaSecureZero(confirm);
    if (ulMsg == 0) {
      strNewPin = std::move(newPin);
      r.strAnswer = "ok";
      _Record(std::move(r));
      return ORVA_IDOK;
    }
    OrvaSecureZero(newPin);
    r.strAnswer = "refused";
    _Record(std::move(r));
    CORVAResource& res = CORVAResource::Instance();
    _Record({"message", ulMsg, res.LoadString(ulMsg), IDS_CAPTION_ERROR,
             res.LoadString(IDS_CAPTION_ERROR), ORVA_MB_OK | ORVA_MB_ICONERROR, {}, {}, "ok"});
  }
}

OrvaConsent CORVAScriptedUI::AskConsent(const std::string& strOrigin) {
  auto a = _TakeAnswer("consent", 0);
  std::string b = Button(a);
  OrvaConsent c = b == "always" ? OrvaConsent::AlwaysAllow
                  : b == "once" ? OrvaConsent::AllowOnce
                                : OrvaConsent::Refuse;
  ORVA_UI_REQUEST r;
  r.strDialog = "consent";
  r.strOrigin = strOrigin;
  r.strAnswer = c == OrvaConsent::AlwaysAllow ? "always" : c == OrvaConsent::AllowOnce ? "once" : "refuse";
  _Record(std::move(r));
  return c;
}

int CORVAScriptedUI::ShowMessageBox(const ORVA_MESSAGE& msg) {
  auto a = _TakeAnswer("message", msg.ulTextId);
  int id = CancellingButton(msg.ulType);
  if (a) {
    int wanted = ButtonId(Button(a));
    for (int b : ButtonsOf(msg.ulType))
      if (b == wanted) id = wanted;
  }
  _Record({"message", msg.ulTextId, msg.strText, msg.ulCaptionId, msg.strCaption, msg.ulType,
           {}, {}, ButtonName(id)});
  return id;
}

bool CORVAScriptedUI::ChooseFile(ORVA_FILE_DIALOG& req, std::string& strPath) {
  auto a = _TakeAnswer("file", 0);
  ORVA_UI_REQUEST r;
  r.strDialog = "file";
  r.strText = req.strTitle;
  r.ulType = req.bSave ? 1 : 0;
  bool ok = Button(a) == "ok" && !Member(*a, "path").empty();
  if (ok) {
    strPath = Member(*a, "path");
    const Json::Value& fi = (*a)["filterIndex"];
    if (fi.isUInt() && fi.asUInt() > 0) req.ulFilterIndex = fi.asUInt();
    r.strPath = strPath;
  }
  r.strAnswer = ok ? "ok" : "cancel";
  _Record(std::move(r));
  return ok;
}

bool CORVAScriptedUI::ChooseFolder(const std::string& strTitle, std::string& strPath) {
  auto a = _TakeAnswer("folder", 0);
  ORVA_UI_REQUEST r;
  r.strDialog = "folder";
  r.strText = strTitle;
  bool ok = Button(a) == "ok" && !Member(*a, "path").empty();
  if (ok) {
    strPath = Member(*a, "path");
    r.strPath = strPath;
  }
  r.strAnswer = ok ? "ok" : "cancel";
  _Record(std::move(r));
  return ok;
}

void CORVAScriptedUI::ShowCertificate(const std::vector<uint8_t>& certDer,
                                      const std::vector<std::vector<uint8_t>>& chainDer,
                                      const std::string& strTitle) {
  ORVA_UI_REQUEST r;
  r.strDialog = "cert";
  r.strText = strTitle;
  r.ulType = static_cast<uint32_t>(certDer.size());
  r.strAnswer = "shown";
  _Record(std::move(r));
}

void CORVAScriptedUI::ShowBalloon(uint32_t ulInfoFlags, const std::string& strTitle,
                                  const std::string& strText) {
  _Record({"balloon", 0, strText, 0, strTitle, ulInfoFlags, {}, {}, "shown"});
}

uint32_t CORVAScriptedUI::OpenFolder(const std::string& strPath) {
  bool ok = IsDirectory(strPath);
  _Record({"open_folder", 0, {}, 0, {}, 0, {}, strPath, ok ? "shown" : "refused"});
  return ok ? ORVA_OK : ORVA_E_INVALID_PARAM;
}

uint32_t CORVAScriptedUI::OpenUrl(const std::string& strUrl) {
  bool ok = OrvaIsWebAddress(strUrl);
  _Record({"open_url", 0, {}, 0, {}, 0, {}, strUrl, ok ? "shown" : "refused"});
  return ok ? ORVA_OK : ORVA_E_INVALID_PARAM;
}
