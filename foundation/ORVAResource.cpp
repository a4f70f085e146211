#include "foundation/ORVAResource.h"

#include <json/json.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace {

// The program's own texts.
struct BuiltinString {
  uint32_t id;
  const char* text;
};

const BuiltinString kStrings[] = {
    {113, "请先选择一个KEY！"},
    {114, "提示"},
    {115, "修改证书PIN码失败!"},
    {117, "证书PIN码修改成功！"},
    {118, "成功"},
    {119, "错误"},
    {120, "未发现任何TavroCA证书介质！"},
    {121, "Kestova"},
    {122, "用途"},
    {123, "使用者"},
    {124, "颁发者"},
    {125, "生效日期"},
    {126, "失效日期"},
    {127, "签名"},
    {128, "加密"},
    {129, "请先选择一个证书！"},
    {130, "获取证书时出错！"},
    {131, "保存证书文件"},
    {132, "导出证书时失败！"},
    {133, "创建证书文件失败！"},
    {134, "文件保存成功！"},
    {135, "写证书失败！"},
    {136, "设置证书PIN码"},
    {137, "PIN码不能为空。"},
    {138, "两次输入的PIN码不一致。"},
    {139, "您设置的PIN码长度错误，要求不少于８个字符！"},
    {140, "状态"},
    {141, "您设置的PIN码强度不够，必须包含字母和数字！"},
    {149, "验证PIN码"},
    {150, "证书PIN码验证失败！PIN码错误，剩余次数：%d 次!"},
    {151, "证书PIN码验证失败！PIN码错误。"},
    {152, "证书PIN码被锁，请解锁后重试！"},
    {153, "有效"},
    {154, "未生效"},
    {155, "已失效"},
    {156, "已吊销"},
    {157, "未知"},
    {158, "正在检查......"},
    {159, "证书文件(*.cer)|*.cer|所有文件(*.*)|*.*||"},
    {160, "您设置的PIN码不符合要求，请重新设置！"},
    {161, "您设置的PIN码包含不支持的字符，请重新设置！"},
    {162, "设置PIN码"},
    {163, "解锁PIN码"},
    {164, "Kestova程序检测到配置数据被破坏，需要重现安装后才能正常使用！"},
    {165, "Kestova已自动更新完毕！"},
    {166, "介质 %s 已接入！"},
    {167, "介质 %s 已拔除！"},
    {168, "证书PIN码操作失败！错误码：0x%08X"},
    {170, "您的证书已过期。\n单击此消息可打开在线服务页面办理延期业务！"},
    {171, "您的证书即将到期。\n单击此消息可打开在线服务页面办理延期业务！"},
    {172, "您的证书PIN码过于简单（要求8至16个字符，且至少包含字母、数字和符号中的两类），"
          "存在被他人猜中的风险。是否立即修改PIN码？"},
    {173, "您的证书需要更新啦！"},
    {174, "网站访问授权"},
    {175, "网站 %s 请求使用 OrvaDesk 访问您的UKey和证书。\n\n是否允许该网站使用 OrvaDesk？"},
    {176, "允许本次"},
    {177, "始终允许"},
    {178, "拒绝"},
    {179, "请求来源：%s"},
    {180, "打开"},
    {181, "选择文件夹"},
    {182, "所有文件(*.*)|*.*||"},
};

struct BuiltinDialogText {
  uint32_t tmpl;
  const char* key;
  const char* text;
};

const BuiltinDialogText kDialogTexts[] = {
    // 108: the certificate window (caption set at run time from [121]).
    {108, "caption", "Kestova"},
    {108, "group_media", "选择介质"},
    {108, "group_cert", "证书信息"},
    {108, "1004", "修改PIN码"},
    {108, "1032", "查看"},
    {108, "1033", "保存文件"},
    {108, "1005", "在线服务"},
    {108, "1006", "关于..."},
    {108, "1010", "检测证书"},
    {108, "2", "关闭"},
    // 113: settings.
    {113, "caption", "设置"},
    {113, "group", "选项"},
    {113, "1000", "开机启动"},
    {113, "1003", "自动检查更新"},
    {113, "1005", "插KEY自动导航"},
    {113, "1", "确定"},
    {113, "2", "取消"},
    // 102: PIN change.
    {102, "caption", "设置证书PIN码"},
    {102, "reminder", "提醒：请牢记您修改后的PIN码，并确认您的PIN码只有您自己知道。"},
    {102, "group", "修改PIN码"},
    {102, "label_old", "旧PIN码："},
    {102, "label_new", "新PIN码(不少于8个字符，且包含字母和数字)："},
    {102, "label_confirm", "确认PIN码："},
    {102, "1011", "忘记PIN码"},
    {102, "1", "确认"},
    {102, "2", "取消"},
    // 103: set/unlock PIN.
    {103, "caption", "解锁PIN码"},
    {103, "reminder", "提醒：请牢记您设置后的PIN码，并确认您的证书PIN码只有您自己知道。"},
    {103, "group", "UKey PIN码"},
    {103, "label_new", "新PIN码(不少于8个字符，且包含字母和数字)："},
    {103, "label_confirm", "请再输一次："},
    {103, "1", "确认"},
    {103, "2", "取消"},
    // 101: PIN entry.
    {101, "caption", "验证PIN码"},
    {101, "text", "此操作需要验证您的UKey PIN码："},
    {101, "group", "输入PIN码"},
    {101, "1002", "UKey PIN码："},
    {101, "1011", "忘记PIN码"},
    {101, "1", "确认"},
    {101, "2", "取消"},
    // 112: about. The support organisation, telephone and address are deployment branding.
    {112, "caption", "关于"},
    {112, "1003", "Kestova"},
    {112, "label_support", "技术支持:"},
    {112, "label_phone", "电话:"},
    {112, "label_web", "网址:"},
    {112, "support_name", "TavroCA 客户服务中心"},
    {112, "support_phone", "400-000-0000"},
    {112, "1012", "https://www.tavroca.example/"},
    {112, "1", "关闭"},
    // 115: the web-site consent question.
    {115, "caption", "网站访问授权"},
    {115, "1", "允许本次"},
    {115, "3", "始终允许"},
    {115, "2", "拒绝"},
    // 116: the certificate view.
    {116, "caption", "证书属性查看"},
    {116, "tab_general", "常规"},
    {116, "tab_details", "详细信息"},
    {116, "tab_path", "证书路径"},
    {116, "col_field", "字段"},
    {116, "col_value", "值"},
    {116, "version", "版本"},
    {116, "serial", "序列号"},
    {116, "sig_alg", "签名算法"},
    {116, "issuer", "颁发者"},
    {116, "not_before", "有效期从"},
    {116, "not_after", "有效期到"},
    {116, "subject", "使用者"},
    {116, "public_key", "公钥"},
    {116, "thumbprint", "指纹(SHA1)"},
    {116, "critical", "关键"},
    {116, "info_title", "证书信息"},
    {116, "issued_to", "颁发给："},
    {116, "issued_by", "颁发者："},
    {116, "valid_range", "有效期从 %s 到 %s"},
    {116, "path_incomplete", "未找到颁发者证书，证书路径不完整。"},
    {116, "1", "确定"},
};

struct BuiltinMenuText {
  uint32_t menu;
  const char* key;
  const char* text;
};

const BuiltinMenuText kMenuTexts[] = {
    {202, "title", "右键菜单"},
    {202, "40001", "配      置"},
    {202, "40002", "在线升级"},
    {202, "40003", "退      出"},
};

const char* BuiltinString(uint32_t id) {
  for (const auto& s : kStrings)
    if (s.id == id) return s.text;
  return nullptr;
}

}  // namespace

// Texts of the English file.
struct CORVAResource::Table {
  std::string path;
  std::map<uint32_t, std::string> strings;
  std::map<std::pair<uint32_t, std::string>, std::string> dialogs;
  std::map<std::pair<uint32_t, std::string>, std::string> menus;
};

namespace {

std::mutex& TableLock() {
  static std::mutex m;
  return m;
}

bool ParseId(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 9) return false;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  out = v;
  return true;
}

// The members of "dialogs" or "menus": {"101": {"key": "text", ...}, ...}.
void ReadKeyedTexts(const Json::Value& section,
                    std::map<std::pair<uint32_t, std::string>, std::string>& out) {
  if (!section.isObject()) return;
  for (const auto& name : section.getMemberNames()) {
    uint32_t id;
    const Json::Value& entries = section[name];
    if (!ParseId(name, id) || !entries.isObject()) continue;
    for (const auto& key : entries.getMemberNames()) {
      const Json::Value& v = entries[key];
      if (v.isString()) out[{id, key}] = v.asString();
    }
  }
}

}  // namespace

CORVAResource& CORVAResource::Instance() {
  static CORVAResource instance;
  return instance;
}

CORVAResource::CORVAResource() = default;

std::shared_ptr<const CORVAResource::Table> CORVAResource::_Current() const {
  std::lock_guard<std::mutex> lock(TableLock());
  return m_pTable;
}

void CORVAResource::_Install(std::shared_ptr<const Table> table) {
  std::lock_guard<std::mutex> lock(TableLock());
  m_pTable = std::move(table);
}

bool CORVAResource::SelectResourceModule() {
  ORVA_LOG_BEGIN();
  std::string folder;
  if (!CRegOptions::ReadString(SettingsScope::Machine, "ClientAppPath", folder, 259) ||
      folder.empty())
    folder = orva::platform::ExecutableDir();
  uint32_t ulLanguage = ORVA_LANG_ZH_CN;
  if (!CRegOptions::ReadDword(SettingsScope::Machine, "LanguageID", ulLanguage))
    ulLanguage = ORVA_LANG_ZH_CN;
  if (ulLanguage != ORVA_LANG_EN_US) {
    // Any other language: the program's own Chinese texts.
    ReleaseResourceModule();
    ORVA_LOG_INFO("LanguageID=%u, the built-in resources are used.", ulLanguage);
    return false;
  }
  bool bLoaded = LoadEnglishFile(orva::platform::JoinPath(folder, kOrvaEnglishResourceFile));
  ORVA_LOG_END();
  return bLoaded;
}

bool CORVAResource::LoadEnglishFile(const std::string& path) {
  std::string text;
  int err = orva::platform::ReadWholeFile(path, text, 4u << 20);
  if (err != 0) {
    ORVA_LOG_INFO("The English resource file %s cannot be read (errno %d); the built-in "
                  "resources are used.", path.c_str(), err);
    ReleaseResourceModule();
    return false;
  }
  Json::Value root;
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::string errs;
  std::istringstream in(text);
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, in, &root, &errs) && root.isObject();
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) {
    ORVA_LOG_ERROR("The English resource file %s is not a JSON object; the built-in "
                   "resources are used.", path.c_str());
    ReleaseResourceModule();
    return false;
  }
  auto table = std::make_shared<Table>();
  table->path = path;
  const Json::Value& strings = root["strings"];
  if (strings.isObject()) {
    for (const auto& name : strings.getMemberNames()) {
      uint32_t id;
      if (ParseId(name, id) && strings[name].isString()) table->strings[id] = strings[name].asString();
    }
  }
  ReadKeyedTexts(root["dialogs"], table->dialogs);
  ReadKeyedTexts(root["menus"], table->menus);
  _Install(std::move(table));
  ORVA_LOG_INFO("English resources loaded from %s.", path.c_str());
  return true;
}

void CORVAResource::ReleaseResourceModule() { _Install(nullptr); }

bool CORVAResource::IsEnglish() const { return _Current() != nullptr; }

std::string CORVAResource::ModulePath() const {
  auto t = _Current();
  return t ? t->path : std::string();
}

std::string CORVAResource::LoadString(uint32_t ulId) const {
  if (auto t = _Current()) {
    auto it = t->strings.find(ulId);
    if (it != t->strings.end()) return it->second;
    // The labels exist only in the English file.
    if (ulId >= 142 && ulId <= 148) return std::string();
  }
  const char* s = BuiltinString(ulId);
  return s ? std::string(s) : std::string();
}

std::string CORVAResource::FormatString(uint32_t ulId, const std::vector<OrvaTextArg>& args) const {
  return FormatResourceText(LoadString(ulId), args);
}

std::string CORVAResource::DialogText(uint32_t ulTemplate, std::string_view key) const {
  if (auto t = _Current()) {
    auto it = t->dialogs.find({ulTemplate, std::string(key)});
    if (it != t->dialogs.end()) return it->second;
  }
  for (const auto& d : kDialogTexts)
    if (d.tmpl == ulTemplate && key == d.key) return d.text;
  return std::string();
}

std::string CORVAResource::MenuText(uint32_t ulMenu, std::string_view key) const {
  if (auto t = _Current()) {
    auto it = t->menus.find({ulMenu, std::string(key)});
    if (it != t->menus.end()) return it->second;
  }
  for (const auto& m : kMenuTexts)
    if (m.menu == ulMenu && key == m.key) return m.text;
  return std::string();
}

std::string CORVAResource::ButtonLabel(OrvaButtonLabel which) const {
  auto t = _Current();
  if (!t) return std::string();
  auto it = t->strings.find(IDS_BTN_YES + static_cast<uint32_t>(which));
  if (it == t->strings.end()) return std::string();
  // A label holds up to 31 UTF-16 units; cut on a character boundary.
  const std::string& s = it->second;
  size_t i = 0, units = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    size_t need = len == 4 ? 2 : 1;
    if (units + need > 31 || i + len > s.size()) break;
    units += need;
    i += len;
  }
  return s.substr(0, i);
}

std::vector<std::string> CORVAResource::BuiltinEntryNames() {
  std::vector<std::string> names;
  for (const auto& s : kStrings) names.push_back("strings/" + std::to_string(s.id));
  for (const auto& d : kDialogTexts)
    names.push_back("dialogs/" + std::to_string(d.tmpl) + "/" + d.key);
  for (const auto& m : kMenuTexts) names.push_back("menus/" + std::to_string(m.menu) + "/" + m.key);
  return names;
}

std::string FormatResourceText(std::string_view fmt, const std::vector<OrvaTextArg>& args) {
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    bool left = false, zero = false;
    while (i < fmt.size() && (fmt[i] == '-' || fmt[i] == '0')) {
      if (fmt[i] == '-') left = true;
      else zero = true;
      ++i;
    }
    size_t width = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9' && width < 64) {
      width = width * 10 + static_cast<size_t>(fmt[i] - '0');
      ++i;
    }
    while (i < fmt.size() && (fmt[i] == 'l' || fmt[i] == 'h')) ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conv = fmt[i++];
    std::string piece;
    bool numeric = false;
    const OrvaTextArg* arg = next < args.size() ? &args[next] : nullptr;
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        ++next;
        if (!arg) break;
        if (!arg->bNumber) {
          piece = arg->strValue;
          break;
        }
        numeric = true;
        char buf[32];
        long long v = arg->llValue;
        if (conv == 'd' || conv == 'i')
          std::snprintf(buf, sizeof buf, "%lld", v);
        else if (conv == 'u')
          std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v) & 0xFFFFFFFFull);
        else
          std::snprintf(buf, sizeof buf, conv == 'x' ? "%llx" : "%llX",
                        static_cast<unsigned long long>(v) & 0xFFFFFFFFull);
        piece = buf;
        break;
      }
      case 's':
      case 'S':
        ++next;
        if (arg) piece = arg->bNumber ? std::to_string(arg->llValue) : arg->strValue;
        break;
      default:
        // %n, %p, %f ...: copied as they stand, no argument used.
        out.append(fmt.substr(start, i - start));
        continue;
    }
    if (piece.size() < width) {
      size_t pad = width - piece.size();
      if (left)
        piece.append(pad, ' ');
      else if (zero && numeric && !piece.empty() && piece[0] == '-')
        piece.insert(1, pad, '0');
      else
        piece.insert(0, pad, zero && numeric ? '0' : ' ');
    }
    out += piece;
  }
  return out;
}
