#pragma once
// The resource module: every text the user sees, by id (the string table), by dialog
// template and control, and by menu and command. The program's own texts are Chinese and
// built in; when the machine-wide "LanguageID" is 1033 and the English resource file
// "OrvaDeskRes_enu.json" lies in the folder "ClientAppPath" (default: the executable's
// folder), its texts are used instead, and its strings 142-148 become the labels of the
// message boxes' standard buttons.
//
// The English file is one JSON object:
//   {"strings": {"113": "...", ...},
//    "dialogs": {"101": {"caption": "...", "1002": "...", "group": "...", ...}, ...},
//    "menus":   {"202": {"title": "...", "40001": "...", ...}}}
// Dialog and menu members are keyed by control or command identifier, or by the name of a
// control that has none. An entry the file lacks falls back to the built-in text.
//
// The choice is made once at start (SelectResourceModule) and read by any thread after.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// String-table ids.
inline constexpr uint32_t IDS_NO_DEVICE_SELECTED = 113;
inline constexpr uint32_t IDS_CAPTION_PROMPT = 114;
inline constexpr uint32_t IDS_CHANGE_PIN_FAILED = 115;
inline constexpr uint32_t IDS_CHANGE_PIN_OK = 117;
inline constexpr uint32_t IDS_CAPTION_SUCCESS = 118;
inline constexpr uint32_t IDS_CAPTION_ERROR = 119;
inline constexpr uint32_t IDS_NO_MEDIA = 120;
inline constexpr uint32_t IDS_PRODUCT_NAME = 121;
inline constexpr uint32_t IDS_COL_USAGE = 122;
inline constexpr uint32_t IDS_COL_SUBJECT = 123;
inline constexpr uint32_t IDS_COL_ISSUER = 124;
inline constexpr uint32_t IDS_COL_NOT_BEFORE = 125;
inline constexpr uint32_t IDS_COL_NOT_AFTER = 126;
inline constexpr uint32_t IDS_USAGE_SIGN = 127;
inline constexpr uint32_t IDS_USAGE_EXCH = 128;
inline constexpr uint32_t IDS_NO_CERT_SELECTED = 129;
inline constexpr uint32_t IDS_GET_CERT_FAILED = 130;
inline constexpr uint32_t IDS_SAVE_CERT_TITLE = 131;
inline constexpr uint32_t IDS_EXPORT_CERT_FAILED = 132;
inline constexpr uint32_t IDS_CREATE_FILE_FAILED = 133;
inline constexpr uint32_t IDS_SAVE_FILE_OK = 134;
inline constexpr uint32_t IDS_WRITE_CERT_FAILED = 135;
inline constexpr uint32_t IDS_CHANGE_PIN_CAPTION = 136;
inline constexpr uint32_t IDS_PIN_EMPTY = 137;
inline constexpr uint32_t IDS_PIN_MISMATCH = 138;
inline constexpr uint32_t IDS_PIN_LENGTH = 139;
inline constexpr uint32_t IDS_COL_STATUS = 140;
inline constexpr uint32_t IDS_PIN_WEAK = 141;
inline constexpr uint32_t IDS_BTN_YES = 142;  // 142-148: Yes, No, OK, Cancel, Close, Retry, Continue
inline constexpr uint32_t IDS_VERIFY_PIN_CAPTION = 149;
inline constexpr uint32_t IDS_PIN_WRONG_TRIES = 150;
inline constexpr uint32_t IDS_PIN_WRONG = 151;
inline constexpr uint32_t IDS_PIN_LOCKED = 152;
inline constexpr uint32_t IDS_STATUS_VALID = 153;
inline constexpr uint32_t IDS_STATUS_NOT_YET_VALID = 154;
inline constexpr uint32_t IDS_STATUS_EXPIRED = 155;
inline constexpr uint32_t IDS_STATUS_REVOKED = 156;
inline constexpr uint32_t IDS_STATUS_UNKNOWN = 157;
inline constexpr uint32_t IDS_STATUS_CHECKING = 158;
inline constexpr uint32_t IDS_CERT_FILE_FILTER = 159;
inline constexpr uint32_t IDS_PIN_RULE_FAILED = 160;
inline constexpr uint32_t IDS_PIN_BAD_CHAR = 161;
inline constexpr uint32_t IDS_SET_PIN_CAPTION = 162;
inline constexpr uint32_t IDS_UNLOCK_PIN_CAPTION = 163;
inline constexpr uint32_t IDS_CONFIG_CORRUPT = 164;
inline constexpr uint32_t IDS_UPDATE_DONE = 165;
inline constexpr uint32_t IDS_DEVICE_INSERTED = 166;
inline constexpr uint32_t IDS_DEVICE_REMOVED = 167;
inline constexpr uint32_t IDS_PIN_OP_FAILED_CODE = 168;  // "... 0x%x": any other failure
inline constexpr uint32_t IDS_CERT_EXPIRED = 170;
inline constexpr uint32_t IDS_CERT_EXPIRING = 171;
inline constexpr uint32_t IDS_PIN_ENHANCE_ASK = 172;     // weak PIN: change it now?
inline constexpr uint32_t IDS_CERT_RENEW_TITLE = 173;
inline constexpr uint32_t IDS_CONSENT_CAPTION = 174;
inline constexpr uint32_t IDS_CONSENT_TEXT = 175;        // "%s" = the origin
inline constexpr uint32_t IDS_CONSENT_ONCE = 176;
inline constexpr uint32_t IDS_CONSENT_ALWAYS = 177;
inline constexpr uint32_t IDS_CONSENT_REFUSE = 178;
inline constexpr uint32_t IDS_PIN_ORIGIN = 179;          // "%s" = the origin
inline constexpr uint32_t IDS_OPEN_FILE_TITLE = 180;
inline constexpr uint32_t IDS_CHOOSE_FOLDER_TITLE = 181;
inline constexpr uint32_t IDS_ALL_FILES_FILTER = 182;

// Dialog templates and the menu.
inline constexpr uint32_t IDD_PIN_INPUT = 101;
inline constexpr uint32_t IDD_PIN_CHANGE = 102;
inline constexpr uint32_t IDD_UNLOCK = 103;
inline constexpr uint32_t IDD_SHOW_CERT = 108;
inline constexpr uint32_t IDD_ABOUT = 112;
inline constexpr uint32_t IDD_SETTING = 113;
inline constexpr uint32_t IDD_CONSENT = 115;
inline constexpr uint32_t IDD_CERT_VIEW = 116;
inline constexpr uint32_t IDR_TRAY_MENU = 202;

// The seven button labels, in the order of strings 142-148.
enum class OrvaButtonLabel { Yes = 0, No, Ok, Cancel, Close, Retry, Continue };

// Machine-wide language values.
inline constexpr uint32_t ORVA_LANG_ZH_CN = 2052;
inline constexpr uint32_t ORVA_LANG_EN_US = 1033;
inline constexpr const char* kOrvaEnglishResourceFile = "OrvaDeskRes_enu.json";

// One argument of a resource text: a number or a text.
struct OrvaTextArg {
  OrvaTextArg(int v) : bNumber(true), llValue(v) {}
  OrvaTextArg(unsigned v) : bNumber(true), llValue(v) {}
  OrvaTextArg(long v) : bNumber(true), llValue(v) {}
  OrvaTextArg(unsigned long v) : bNumber(true), llValue(static_cast<long long>(v)) {}
  OrvaTextArg(long long v) : bNumber(true), llValue(v) {}
  OrvaTextArg(const char* s) : strValue(s ? s : "") {}
  OrvaTextArg(std::string s) : strValue(std::move(s)) {}
  bool bNumber = false;
  long long llValue = 0;
  std::string strValue;
};

// printf-like formatting of a resource text with typed arguments: %d %i %u %x %X %s (with
// flags "-0", a width and l/h length letters, which are ignored), and %%. Resource texts
// come from a file, so nothing here trusts the format: a missing argument becomes "", a
// number meets %s as its decimal text, a text meets %d as itself, %n and unknown
// conversions are copied literally.
std::string FormatResourceText(std::string_view fmt, const std::vector<OrvaTextArg>& args);

class CORVAResource {
 public:
  static CORVAResource& Instance();

  // Chooses the module from "ClientAppPath" and "LanguageID" (machine-wide). Returns true
  // when the English file was loaded.
  bool SelectResourceModule();
  // Loads an English resource file directly; false (and the built-in texts) when it cannot
  // be read or parsed.
  bool LoadEnglishFile(const std::string& path);
  // Back to the built-in texts and empty labels.
  void ReleaseResourceModule();

  bool IsEnglish() const;
  // The path of the loaded English file, "" for the built-in texts.
  std::string ModulePath() const;

  // A string-table entry; "" when no table has it.
  std::string LoadString(uint32_t ulId) const;
  // LoadString formatted with `args`.
  std::string FormatString(uint32_t ulId, const std::vector<OrvaTextArg>& args) const;
  // A dialog template's text for a control id ("1002") or a named static ("caption",
  // "group", ...); "" when none.
  std::string DialogText(uint32_t ulTemplate, std::string_view key) const;
  // A menu's title ("title") or command text ("40001").
  std::string MenuText(uint32_t ulMenu, std::string_view key) const;
  // The label of a standard button: empty unless the English file was loaded.
  std::string ButtonLabel(OrvaButtonLabel which) const;

  // Every built-in entry as "strings/113", "dialogs/101/caption", "menus/202/40001": what a
  // complete English file translates.
  static std::vector<std::string> BuiltinEntryNames();

  struct Table;

 private:
  CORVAResource();
  std::shared_ptr<const Table> _Current() const;
  void _Install(std::shared_ptr<const Table> table);

  std::shared_ptr<const Table> m_pTable;  // null: built-in texts
};
