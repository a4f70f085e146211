// File, folder, option and random-test commands.
//
// Paths from a web page pass the access rule of CORVAFileAccess first (a page reaches only
// what its user chose for it, or FileAccessRoots) and the commands then work on the
// resolved path; a local program (no origin) is served as the command describes. Lengths
// above the fixed buffers of these commands are refused, never cut to another path, and a
// path with a zero byte inside is refused for the same reason.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "devices/core/DeviceManager.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "foundation/Stream.h"
#include "foundation/StringConvert.h"
#include "platform/ErrnoMap.h"
#include "platform/Paths.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAFileAccess.h"
#include "webservice/ORVAFileOps.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

// "read_file" reads at most 100 MiB.
constexpr uint64_t kMaxReadFileLen = 104857600;
// The fixed buffers: the file dialog's filter list (256 bytes) and path (259 characters and
// a terminator), the folder dialog's path (260 bytes), the folder commands' path (260
// characters; "create_folder" appends a separator to it).
constexpr size_t kMaxFilterBytes = 255;
constexpr size_t kMaxDialogPathChars = 259;
constexpr size_t kMinFolderPathChars = 4;
constexpr size_t kMaxCreateFolderChars = 258;
constexpr size_t kMaxFolderPathChars = 259;

constexpr const char* kAllFilesFilter = "All files(*.*)|*.*";
// The open-file dialog's filter index and flags (OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR |
// OFN_NONETWORKBUTTON): the index points past the one default entry, as it always has.
constexpr uint32_t kFileDialogFilterIndex = 2;

// Characters of a UTF-8 text (the dispatcher has repaired any invalid sequence).
size_t CharCount(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

bool HasZero(const std::string& s) { return s.find('\0') != std::string::npos; }

// The checks every folder command makes on "path": 0 or 0x81000004.
uint32_t CheckFolderPath(const std::string& strPath, size_t maxChars) {
  size_t n = CharCount(strPath);
  if (n < kMinFolderPathChars) {
    ORVA_LOG_ERROR("pathName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (n > maxChars || HasZero(strPath)) {
    ORVA_LOG_ERROR("pathName is wrong! ulLen = 0x%x", static_cast<uint32_t>(n));
    return ORVA_E_INVALID_PARAM;
  }
  return ORVA_OK;
}

// The checks of "file" before any use: 0 or 0x81000004.
uint32_t CheckFileName(const std::string& strFile) {
  if (strFile.empty()) {
    ORVA_LOG_ERROR("fileName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (HasZero(strFile)) {
    ORVA_LOG_ERROR("fileName is wrong!");
    return ORVA_E_INVALID_PARAM;
  }
  return ORVA_OK;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A path the user chose in a dialog: kept when it fits the dialog's buffer, else dropped
// as the dialog would have failed (never cut).
std::string ChosenPath(const std::string& strPath) {
  if (strPath.empty()) return {};
  if (CharCount(strPath) > kMaxDialogPathChars || HasZero(strPath)) {
    ORVA_LOG_ERROR("The chosen path is too long! ulLen = 0x%x",
                   static_cast<uint32_t>(CharCount(strPath)));
    return {};
  }
  return strPath;
}

}  // namespace

uint32_t CORVAHttpHandler::OnGetUserOption(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lType = ParamInt(jsonReq, "type");
  uint32_t ulValue = 0;
  uint32_t ret = CRegOptions::GetUserOption(static_cast<uint32_t>(lType), &ulValue);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("GetUserOption() failed! ret = 0x%x", ret);
    return ORVA_E_CALL_FAILED;
  }
  jsonResp["val"] = Json::Value(static_cast<Json::Int>(static_cast<int32_t>(ulValue)));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnSetUserOption(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lType = ParamInt(jsonReq, "type");
  int32_t lValue = ParamInt(jsonReq, "value");
  uint32_t ret = CRegOptions::SetUserOption(static_cast<uint32_t>(lType), static_cast<uint32_t>(lValue));
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("SetUserOption() failed! ret = 0x%x", ret);
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnOpenFileDialog(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strCaption = ParamText(jsonReq, "caption");
  std::string strFilter = ParamText(jsonReq, "filter");
  if (strFilter.size() > kMaxFilterBytes) {
    ORVA_LOG_ERROR("filter is too long! ulLen = 0x%x", static_cast<uint32_t>(strFilter.size()));
    return ORVA_E_INVALID_PARAM;
  }
  ORVA_FILE_DIALOG req;
  req.bSave = false;
  req.strTitle = strCaption;
  // A page's filter goes to the dialog as it came ("desc|pattern|..." in the chooser's form).
  req.strFilter = strFilter.empty() ? kAllFilesFilter : strFilter;
  req.ulFilterIndex = kFileDialogFilterIndex;
  req.bOverwritePrompt = true;
  std::string strPath;
  if (!GetOrvaUserInterface()->ChooseFile(req, strPath)) strPath.clear();
  strPath = ChosenPath(strPath);
  if (!strPath.empty() && m_callerOrigin)
    CORVAFileAccess::Instance().GrantChosen(*m_callerOrigin, strPath, false);
  jsonResp["file"] = Json::Value(toUtf8(strPath));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnOpenPathDialog(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strCaption = ParamText(jsonReq, "caption");
  std::string strPath;
  if (!GetOrvaUserInterface()->ChooseFolder(strCaption, strPath)) strPath.clear();
  strPath = ChosenPath(strPath);
  if (!strPath.empty() && m_callerOrigin)
    CORVAFileAccess::Instance().GrantChosen(*m_callerOrigin, strPath, true);
  jsonResp["path"] = Json::Value(toUtf8(strPath));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnReadFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strFile = ParamText(jsonReq, "file");
  uint32_t ret = CheckFileName(strFile);
  if (ret != ORVA_OK) return ret;
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strFile, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;

  CFileStream inStream;
  IStream* pInStream = &inStream;
  ret = inStream.OpenFile(strUse, CFileStream::AccessRead, false);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("OpenFile() failed! ret=0x%x", ret);
    return ret;
  }
  uint64_t ullSize = 0;
  ret = pInStream->Seek(0, STREAM_SEEK_END, &ullSize);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pInStream->Seek() failed! ret = 0x%x", ret);
    return ret;
  }
  if (ullSize > kMaxReadFileLen) {
    ORVA_LOG_ERROR("In stream data length is wrong! newPosition.LowPart = 0x%x",
                   static_cast<uint32_t>(ullSize));
    return ORVA_E_DATA_TOO_LONG;
  }
  ORVA_LOG_INFO("In stream data length: 0x%x", static_cast<uint32_t>(ullSize));
  ret = pInStream->Seek(0, STREAM_SEEK_SET, nullptr);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pInStream->Seek() failed! ret = 0x%x", ret);
    return ret;
  }
  // One read of the whole size; an empty file asks for 0 bytes, which the stream refuses.
  // The buffer is not zero-filled first: the read overwrites it.
  auto data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(ullSize) + 1);
  uint32_t ulReadedLen = 0;
  ret = pInStream->Read(data.get(), static_cast<uint32_t>(ullSize), &ulReadedLen);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pInStream->Read() failed! ret = 0x%x", ret);
    return ret;
  }
  if (ulReadedLen != ullSize) {
    ORVA_LOG_ERROR("Readed length is wrong! ulReadedLen = 0x%x", ulReadedLen);
    return ORVA_E_CALL_FAILED;
  }
  inStream.CloseFile();
  std::string strContent;
  ret = CStringConvert::BinaryToBase64String(data.get(), ulReadedLen, strContent);
  data.reset();
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("BinaryToBase64String() failed! ret = 0x%x", ret);
    return ret;
  }
  jsonResp["content"] = Json::Value(strContent);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnWriteFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strFile = ParamText(jsonReq, "file");
  std::string strContent = ParamText(jsonReq, "content");
  int32_t lIsBinary = ParamInt(jsonReq, "isBinary");
  uint32_t ret = CheckFileName(strFile);
  if (ret != ORVA_OK) return ret;
  if (strContent.empty()) {
    ORVA_LOG_ERROR("content is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strFile, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;

  // Base64 is decoded before the file is opened, so that a content that is not Base64
  // leaves an existing file as it was instead of truncated.
  std::vector<uint8_t> bytes;
  if (lIsBinary != 0) {
    ret = CStringConvert::Base64StringToBinary(strContent, bytes);
    if (ret != ORVA_OK) {
      ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ret);
      return ret;
    }
  }
  const void* pv = lIsBinary != 0 ? static_cast<const void*>(bytes.data()) : strContent.data();
  size_t len = lIsBinary != 0 ? bytes.size() : strContent.size();
  if (len > UINT32_MAX) {
    ORVA_LOG_ERROR("content is too long!");
    return ORVA_E_DATA_TOO_LONG;
  }

  CFileStream outStream;
  IStream* pOutputStream = &outStream;
  ret = outStream.OpenFile(strUse, CFileStream::AccessWrite, true);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("OpenFile() failed! ret=0x%x", ret);
    return ret;
  }
  uint32_t ulWritten = 0;
  ret = pOutputStream->Write(pv, static_cast<uint32_t>(len), &ulWritten);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("pOutputStream->Write() failed! ret = 0x%x", ret);
    return ret;
  }
  outStream.CloseFile();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnDestroyFile(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strFile = ParamText(jsonReq, "file");
  uint32_t ret = CheckFileName(strFile);
  if (ret != ORVA_OK) return ret;
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strFile, OrvaPathUse::kDelete, strUse);
  if (ret != ORVA_OK) return ret;
  if (::unlink(strUse.c_str()) != 0) {
    uint32_t ulErr = orva::platform::WinErrorFromErrno(errno, strUse);
    ORVA_LOG_ERROR("DeleteFile() failed! ret = 0x%x", ulErr);
    return ulErr == orva::platform::kWinErrorFileNotFound ? ORVA_E_FILE_NOT_FOUND : ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnCreateFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strPath = ParamText(jsonReq, "path");
  uint32_t ret = CheckFolderPath(strPath, kMaxCreateFolderChars);
  if (ret != ORVA_OK) return ret;
  // One separator for the platform: a page's "C:\a\b" style becomes "C:/a/b", never one
  // folder with backslashes in its name.
  for (char& c : strPath)
    if (c == '\\') c = '/';
  if (strPath.back() != '/') strPath += '/';
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strPath, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;
  int err = orva::platform::MakeDirs(strUse, 0777);
  if (err != 0) {
    uint32_t ulErr = orva::platform::WinErrorFromErrno(err, strUse);
    ORVA_LOG_ERROR("MakeSureDirectoryPathExists() failed! ret = 0x%x", ulErr);
    return ConvertLastError(ulErr);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnOpenFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strPath = ParamText(jsonReq, "path");
  uint32_t ret = CheckFolderPath(strPath, kMaxFolderPathChars);
  if (ret != ORVA_OK) return ret;
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strPath, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;
  // Only folders are opened: a file or a program named here is never started.
  if (!IsDirectory(strUse)) {
    ORVA_LOG_ERROR("pathName is not a folder!");
    return ORVA_E_INVALID_PARAM;
  }
  ret = GetOrvaUserInterface()->OpenFolder(strUse);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("OpenFolder() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnDestroyFolder(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strPath = ParamText(jsonReq, "path");
  uint32_t ret = CheckFolderPath(strPath, kMaxFolderPathChars);
  if (ret != ORVA_OK) return ret;
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strPath, OrvaPathUse::kDelete, strUse);
  if (ret != ORVA_OK) return ret;
  // The root, the home folder and the top-level folders stay, whoever asks.
  std::string strEntry;
  if (CORVAFileAccess::ResolvePath(strUse, OrvaPathUse::kEntry, strEntry) &&
      CORVAFileAccess::IsProtectedFolder(strEntry)) {
    ORVA_LOG_ERROR("The folder is protected! path: %s", strEntry.c_str());
    return ORVA_E_INVALID_CALL;
  }
  ret = DeleteDirectory(strUse, true);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("DeleteDirectory() failed! ret = 0x%x", ret);
    return ConvertLastError(ret);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnTestRandrom(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  int32_t lSize = ParamInt(jsonReq, "size");
  int32_t lFormat = ParamInt(jsonReq, "format");
  std::string strFile = ParamText(jsonReq, "file");
  uint32_t ret = CheckFileName(strFile);
  if (ret != ORVA_OK) return ret;
  std::string strUse;
  ret = CORVAFileAccess::Instance().CheckPath(m_callerOrigin, strFile, OrvaPathUse::kTarget, strUse);
  if (ret != ORVA_OK) return ret;
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  DevicePtr pSelDevice = m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (pSelDevice == nullptr) {
    ORVA_LOG_ERROR("pSelDevice is NULL! dev_index = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_INVALID_PARAM;
  }
  ret = CORVADeviceHelper::TestRandrom(pSelDevice.get(), lSize, static_cast<uint32_t>(lFormat), strUse);
  if (ret != ORVA_OK) {
    ORVA_LOG_ERROR("TestRandrom() failed! ret = 0x%x", ret);
    return ret;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
