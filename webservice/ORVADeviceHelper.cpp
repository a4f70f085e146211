#include "webservice/ORVADeviceHelper.h"

#include <algorithm>
#include <vector>

#include "devices/core/Device.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/Stream.h"
#include "foundation/StringConvert.h"

uint32_t CORVADeviceHelper::TestRandrom(CDevice* pDevice, int32_t lSize, uint32_t ulFormat,
                                        const std::string& strFile) {
  ORVA_LOG_BEGIN();
  CDevice* m_pDevice = pDevice;
  if (m_pDevice == nullptr) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lSize < 1 || lSize > ORVA_RANDOM_MAX_SIZE) {
    ORVA_LOG_ERROR("ulSize is wrong! The size should be [1,10*1024]! ulSize = 0x%x",
                   static_cast<uint32_t>(lSize));
    return ORVA_E_INVALID_CALL;
  }
  if (strFile.empty()) {
    ORVA_LOG_ERROR("file is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  std::vector<uint8_t> random(static_cast<size_t>(lSize));
  uint32_t hr = m_pDevice->GenRandom(random.data(), static_cast<uint32_t>(random.size()));
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("GenRandom() failed! hr=0x%x", hr);
    return hr;
  }

  std::string text;
  switch (ulFormat) {
    case 0:
      text.assign(random.begin(), random.end());
      break;
    case 1:
      hr = CStringConvert::BinaryToBitString(random.data(), random.size(), text);
      if (hr != ORVA_OK) ORVA_LOG_ERROR("BytesToBinaryString() failed! hr=0x%x", hr);
      break;
    case 2:
      hr = CStringConvert::BinaryToHexString(random.data(), random.size(), text);
      if (hr != ORVA_OK) ORVA_LOG_ERROR("BinaryToHexString() failed! hr=0x%x", hr);
      break;
    case 3:
      hr = CStringConvert::BinaryToBase64String(random.data(), random.size(), text);
      if (hr != ORVA_OK) ORVA_LOG_ERROR("BinaryToBase64String() failed! hr=0x%x", hr);
      break;
    default:
      ORVA_LOG_ERROR("ulOutFormat is wrong! ulFormat = 0x%x", ulFormat);
      return ORVA_E_INVALID_PARAM;
  }
  if (hr != ORVA_OK) return hr;

  CFileStream stream;
  hr = stream.OpenFile(strFile, CFileStream::AccessWrite, true);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", hr);
    return hr;
  }
  // Bit and hex forms go out in lines of 64 characters, "\r\n" between them.
  const size_t piece = (ulFormat == 1 || ulFormat == 2) ? ORVA_RANDOM_LINE_CHARS : text.size();
  for (size_t at = 0; at < text.size(); at += piece) {
    uint32_t ulWritten = 0;
    if (at > 0) {
      hr = stream.Write("\r\n", 2, &ulWritten);
      if (hr != ORVA_OK) break;
    }
    size_t n = std::min(piece, text.size() - at);
    hr = stream.Write(text.data() + at, static_cast<uint32_t>(n), &ulWritten);
    if (hr != ORVA_OK) break;
  }
  stream.CloseFile();
  if (hr != ORVA_OK) {
    // A file the disk could not take is a failure, not a result.
    ORVA_LOG_ERROR("pOutputStream->Write() failed! hr = 0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
