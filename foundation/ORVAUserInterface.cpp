#include "foundation/ORVAUserInterface.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "foundation/LogFile.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/ResultCodes.h"

namespace {

std::mutex& UiLock() {
  static std::mutex m;
  return m;
}

OrvaUserInterfacePtr& UiSlot() {
  static OrvaUserInterfacePtr p;
  return p;
}

// The 28 characters a PIN may hold besides letters and digits.
constexpr const char kPinPunctuation[] = "~`!@#%$^&*()_-=+|{}[]:;<>,./";

}  // namespace

OrvaUserInterfacePtr GetOrvaUserInterface() {
  std::lock_guard<std::mutex> lock(UiLock());
  OrvaUserInterfacePtr& slot = UiSlot();
  if (!slot) slot = CORVAScriptedUI::FromEnvironment();
  return slot;
}

OrvaUserInterfacePtr SetOrvaUserInterface(OrvaUserInterfacePtr ui) {
  std::lock_guard<std::mutex> lock(UiLock());
  OrvaUserInterfacePtr old = std::move(UiSlot());
  UiSlot() = std::move(ui);
  return old;
}

uint32_t CheckPinRule(const char* lpcsPin) {
  if (lpcsPin == nullptr || *lpcsPin == '\0') return ORVA_E_INVALID_PARAM;
  bool bLetter = false, bDigit = false, bPunct = false;
  size_t n = 0;
  for (const char* p = lpcsPin; *p; ++p, ++n) {
    char c = *p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      bLetter = true;
    else if (c >= '0' && c <= '9')
      bDigit = true;
    else if (std::strchr(kPinPunctuation, c) != nullptr)
      bPunct = true;
    else
      return ORVA_E_PIN_INVALID;
  }
  if (n < 8 || n > 16) return ORVA_E_PIN_LEN;
  if (int(bLetter) + int(bDigit) + int(bPunct) < 2) return ORVA_E_BAD_INPUT;
  return ORVA_OK;
}

uint32_t PinRuleMessageId(uint32_t ulRuleResult) {
  switch (ulRuleResult) {
    case ORVA_OK:
      return 0;
    case ORVA_E_INVALID_PARAM:
      return IDS_PIN_EMPTY;
    case ORVA_E_BAD_INPUT:
      return IDS_PIN_WEAK;
    case ORVA_E_PIN_INVALID:
      return IDS_PIN_BAD_CHAR;
    case ORVA_E_PIN_LEN:
      return IDS_PIN_LENGTH;
    default:
      return IDS_PIN_RULE_FAILED;
  }
}

uint32_t CheckNewPinInput(const std::string* pOldPin, const std::string& strNewPin,
                          const std::string& strConfirm) {
  if (pOldPin != nullptr && pOldPin->empty()) return IDS_PIN_EMPTY;
  uint32_t ulId = PinRuleMessageId(CheckPinRule(strNewPin.c_str()));
  if (ulId != 0) return ulId;
  if (strConfirm != strNewPin) return IDS_PIN_MISMATCH;
  return 0;
}

int OrvaMessageBox(uint32_t ulTextId, uint32_t ulCaptionId, uint32_t ulType,
                   const std::vector<OrvaTextArg>& args) {
  CORVAResource& res = CORVAResource::Instance();
  ORVA_MESSAGE msg;
  msg.ulTextId = ulTextId;
  msg.strText = res.FormatString(ulTextId, args);
  msg.ulCaptionId = ulCaptionId;
  msg.strCaption = ulCaptionId ? res.LoadString(ulCaptionId) : std::string();
  msg.ulType = ulType;
  return GetOrvaUserInterface()->ShowMessageBox(msg);
}

bool OrvaIsWebAddress(const std::string& strUrl) {
  if (strUrl.size() > 2048) return false;
  std::string head;
  for (size_t i = 0; i < strUrl.size() && i < 8; ++i)
    head.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(strUrl[i]))));
  size_t hostAt;
  if (head.rfind("https://", 0) == 0)
    hostAt = 8;
  else if (head.rfind("http://", 0) == 0)
    hostAt = 7;
  else
    return false;
  if (hostAt >= strUrl.size() || strUrl[hostAt] == '/') return false;
  for (unsigned char c : strUrl)
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '\\' || c == '\'' || c == '`') return false;
  return true;
}
