// Envelopes for the "encode_*" and "decode_*" commands: sealed for a certificate's holder
// on the token or in software, opened with the token's exchange key. Data goes through in
// pieces of 1 MiB; only a result returned in the reply is held whole.
//
// An output file that a failed operation leaves behind is removed: a partly written
// envelope or plain text must not pass for a result.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/EnvelopedData.h"
#include "crypto/OpenSSLMsgEncrypt.h"
#include "devices/core/Device.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"
#include "foundation/Stream.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVADeviceHelper.h"
#include "webservice/ORVAPieceFeeder.h"
#include "webservice/ORVASessionHolder.h"

namespace {

// Where a result goes: the destination file, or memory for the reply.
class COutput {
 public:
  ~COutput() {
    if (m_pFile) m_pFile->CloseFile();
    if (!m_bKeep && m_bCreated) unlink(m_strPath.c_str());
  }
  uint32_t Open(const std::string& strDesFile) {
    if (strDesFile.empty()) {
      m_pMemory = std::make_shared<CMemoryStream>();
      m_pStream = m_pMemory;
      return ORVA_OK;
    }
    auto pFile = std::make_shared<CFileStream>();
    uint32_t hr = pFile->OpenFile(strDesFile, CFileStream::AccessWrite, true);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", hr);
      return hr;
    }
    m_pFile = pFile;
    m_pStream = pFile;
    m_strPath = strDesFile;
    m_bCreated = true;
    return ORVA_OK;
  }
  StreamPtr Stream() const { return m_pStream; }
  CMemoryStream* Memory() const { return m_pMemory.get(); }
  // The operation succeeded: the file stays.
  void Keep() { m_bKeep = true; }

 private:
  StreamPtr m_pStream;
  std::shared_ptr<CMemoryStream> m_pMemory;
  std::shared_ptr<CFileStream> m_pFile;
  std::string m_strPath;
  bool m_bCreated = false;
  bool m_bKeep = false;
};

}  // namespace

uint32_t CORVADeviceHelper::_Internal_Encode(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                                             uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                                             const std::string& strText, const std::string& strSrcFile,
                                             const std::string& strDesFile, std::string& strOut,
                                             const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (strCert.empty()) {
    ORVA_LOG_ERROR("Certificate is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (strText.empty() && strSrcFile.empty()) {
    ORVA_LOG_ERROR("Both plain message and file are NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> certDer;
  uint32_t hr = CStringConvert::Base64StringToBinary(strCert, certDer);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! hr=0x%x", hr);
    return hr;
  }
  CX509Certificate cert;
  hr = cert.FromBuffer(certDer.data(), static_cast<uint32_t>(certDer.size()));
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Construct certificate object failed! hr = 0x%x", hr);
    return hr;
  }
  uint32_t ulKeyAlg = 0;
  cert.get_KeyType(&ulKeyAlg);
  ORVA_LOG_INFO("Certificate alg: 0x%x", ulKeyAlg);
  if (ulSymmAlg == 0) {
    ulSymmAlg = ulKeyAlg == ALG_RSA ? SYMM_3DES_CBC : SYMM_SM4_ECB;
    ORVA_LOG_INFO("Using symm alg: 0x%x", ulSymmAlg);
  }

  // The plain data as a stream: the source file, or the text's bytes.
  StreamPtr pPlain;
  uint64_t ullPlainLen = 0;
  if (!strSrcFile.empty()) {
    auto pFile = std::make_shared<CFileStream>();
    hr = pFile->OpenFile(strSrcFile, CFileStream::AccessRead, false);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", hr);
      return hr;
    }
    hr = GetStreamSize(pFile.get(), &ullPlainLen);
    if (hr != ORVA_OK || ullPlainLen == 0) {
      ORVA_LOG_ERROR("The file size is wrong! size=0x%x", static_cast<uint32_t>(ullPlainLen));
      return hr != ORVA_OK ? hr : ORVA_E_BAD_INPUT_LENGTH;
    }
    pPlain = pFile;
  } else {
    std::vector<uint8_t> plain;
    hr = CStringConvert::StringToBinaryByCharset(ulCharset, strText, plain);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("ulEncodingType is wrong! ulEncodingType=0x%x", ulCharset);
      return ORVA_E_INVALID_PARAM;
    }
    ullPlainLen = plain.size();
    pPlain = std::make_shared<CMemoryStream>(std::move(plain));
  }
  // An envelope is longer than its content: a reply that could not carry it is refused
  // before anything is encrypted into memory.
  if (strDesFile.empty() && ullPlainLen > CEnvelopedData::kMaxEnvelopedLen) {
    ORVA_LOG_ERROR("Enveloped data length is large! Length:0x%x", static_cast<uint32_t>(ullPlainLen));
    return ORVA_E_DATA_TOO_LONG;
  }

  COutput output;
  hr = output.Open(strDesFile);
  if (hr != ORVA_OK) {
    if (strDesFile.empty()) ORVA_LOG_ERROR("CreateStreamOnHGlobal() failed! ulRes=0x%x", hr);
    return hr;
  }

  std::unique_ptr<CDeviceLock> pLock;
  std::unique_ptr<CSessionHolder> pSession;
  CryptoMsgPtr pEncryptMsg;
  ScopeGuard logout([&] {
    if (pSession) _LogoutDevice(pDevice);
  });
  if (pDevice) {
    pLock = std::make_unique<CDeviceLock>(pDevice);
    if (!*pLock) {
      ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", pLock->Result());
      return pLock->Result();
    }
    pSession = std::make_unique<CSessionHolder>(pDevice, ulKeyAlg);
    hr = pSession->Open(KEY_USAGE_EXCH);
    if (hr != ORVA_OK) return hr;
    if (ulKeyAlg == ALG_SM2) {
      uint32_t ulRetryTimes = 0;
      hr = OrvaEnsureLogin(pDevice, strOrigin, &ulRetryTimes);
      if (hr != ORVA_OK) {
        ORVA_LOG_ERROR("Login to device failed! hr=0x%x, ulRetryTimes=0x%x", hr, ulRetryTimes);
        return hr;
      }
    }
    hr = (*pSession)->CreateMsgHandler(MSG_ENCRYPT + ulEnvelopType, ulPadding, &cert, pEncryptMsg);
    if (hr == ORVA_OK && !pEncryptMsg) hr = ORVA_E_CALL_FAILED;
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("CreateMsgHandler() failed! hr=0x%x", hr);
      return hr;
    }
  } else {
    auto pSoft = std::make_unique<COpenSSLMsgEncrypt>();
    pSoft->set_CryptoCert(&cert);
    pSoft->set_EnvelopType(ulEnvelopType);
    pSoft->set_Padding(ulPadding);
    pEncryptMsg = std::move(pSoft);
  }

  hr = pEncryptMsg->Init(ulSymmAlg, nullptr, 0, ullPlainLen, output.Stream());
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pEncryptMsg->Init() failed! hr=0x%x", hr);
    return hr;
  }
  hr = OrvaFeedPieces(pEncryptMsg.get(), pPlain.get(), ullPlainLen, OrvaLastPiece::kCompletesData,
                      "pEncryptMsg->Update()");
  if (hr != ORVA_OK) return hr;
  uint32_t ulUnused = 0;
  hr = pEncryptMsg->Final(nullptr, 0, nullptr, &ulUnused);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pEncryptMsg->Final() failed! hr=0x%x", hr);
    return hr;
  }

  if (CMemoryStream* pMemory = output.Memory()) {
    const std::vector<uint8_t>& envelope = pMemory->Data();
    if (envelope.size() > CEnvelopedData::kMaxEnvelopedLen) {
      ORVA_LOG_ERROR("Enveloped data length is large! Length:0x%x", static_cast<uint32_t>(envelope.size()));
      return ORVA_E_DATA_TOO_LONG;
    }
    hr = CStringConvert::BinaryToBase64String(envelope, strOut);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("BinaryToBase64String() failed! hr=0x%x", hr);
      return hr;
    }
  } else {
    strOut = strDesFile;
  }
  output.Keep();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::_Internal_Decode(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding,
                                             uint32_t ulCharset, const std::string& strCipher,
                                             const std::string& strCipherFile, const std::string& strDesFile,
                                             std::string& strOut, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (!pDevice) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulAsymmAlg = ulAlgs & SIGN_ALG_KEY_MASK;
  uint32_t ulSymmAlg = ulAlgs & ~SIGN_ALG_KEY_MASK;
  if (ulAsymmAlg == 0) ORVA_LOG_INFO("ulAsymmAlg is unknown!");
  if (ulSymmAlg == 0) ORVA_LOG_INFO("ulSymmAlg is unknown!");
  if (strCipher.empty() && strCipherFile.empty()) {
    ORVA_LOG_ERROR("Both cipher message and file are NULL!");
    return ORVA_E_INVALID_PARAM;
  }

  // The envelope as a stream: the file, or the decoded text.
  StreamPtr pEnvelope;
  uint64_t ullEnvelopeLen = 0;
  uint32_t hr = ORVA_OK;
  if (!strCipherFile.empty()) {
    auto pFile = std::make_shared<CFileStream>();
    hr = pFile->OpenFile(strCipherFile, CFileStream::AccessRead, false);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", hr);
      return hr;
    }
    hr = GetStreamSize(pFile.get(), &ullEnvelopeLen);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("GetFileSize() failed! hr=0x%x", hr);
      return hr;
    }
    pEnvelope = pFile;
  } else {
    std::vector<uint8_t> envelope;
    hr = CStringConvert::Base64StringToBinary(strCipher, envelope);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("Base64StringToBinary() failed! hr=0x%x", hr);
      return hr;
    }
    ullEnvelopeLen = envelope.size();
    pEnvelope = std::make_shared<CMemoryStream>(std::move(envelope));
  }

  // The length field and the wrapped key, checked against the bytes present.
  uint8_t lenField[4] = {};
  if (ullEnvelopeLen < sizeof lenField || OrvaReadFull(pEnvelope.get(), lenField, sizeof lenField) != ORVA_OK) {
    ORVA_LOG_ERROR("The enveloped data is too short! length=0x%x", static_cast<uint32_t>(ullEnvelopeLen));
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulWrappedLen = static_cast<uint32_t>(lenField[0]) | static_cast<uint32_t>(lenField[1]) << 8 |
                          static_cast<uint32_t>(lenField[2]) << 16 | static_cast<uint32_t>(lenField[3]) << 24;
  if (ulWrappedLen > ORVA_MAX_WRAPPED_KEY) ulWrappedLen = ORVA_MAX_WRAPPED_KEY;
  if (ulWrappedLen == 0 || ulWrappedLen > ullEnvelopeLen - sizeof lenField) {
    ORVA_LOG_ERROR("The wrapped key length is wrong! ulKeyLen=0x%x, length=0x%x", ulWrappedLen,
                   static_cast<uint32_t>(ullEnvelopeLen));
    return ORVA_E_BAD_INPUT;
  }
  std::vector<uint8_t> wrapped(ulWrappedLen);
  hr = OrvaReadFull(pEnvelope.get(), wrapped.data(), ulWrappedLen);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("ReadFile() failed! hr=0x%x", hr);
    return hr;
  }
  const uint64_t ullCipherLen = ullEnvelopeLen - sizeof lenField - ulWrappedLen;
  // Plain text is never longer than its cipher text: a result the reply could not carry is
  // refused before anything is decrypted into memory.
  if (strDesFile.empty() && ullCipherLen > CEnvelopedData::kMaxEnvelopedLen) {
    ORVA_LOG_ERROR("Plain data length is large! Length:0x%x", static_cast<uint32_t>(ullCipherLen));
    return ORVA_E_DATA_TOO_LONG;
  }

  uint32_t ulEnvelopType = 0;
  hr = CEnvelopedData::GetEnvelopType(wrapped.data(), ulWrappedLen, &ulEnvelopType);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("GetEnvelopType() falied! hr = 0x%x", hr);
    return hr;
  }
  if (ulAsymmAlg == 0) {
    hr = CEnvelopedData::GetEnvelopAlg(wrapped.data(), ulWrappedLen, &ulAsymmAlg);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("GetEnvelopAlg() falied! hr = 0x%x", hr);
      return hr;
    }
  }
  if (ulSymmAlg == 0) {
    if (ulAsymmAlg == ALG_SM2) {
      ulSymmAlg = SYMM_SM4_ECB;
    } else if (ulAsymmAlg == ALG_RSA) {
      ulSymmAlg = SYMM_3DES_CBC;
    } else {
      ORVA_LOG_ERROR("Asymm is NOT supported! ulDevType=0x%x", ulAsymmAlg);
      return ORVA_E_NOT_SUPPORTED;
    }
  }
  ORVA_LOG_INFO("Using algs, ulAsymmAlg: 0x%x, ulSymmAlg: 0x%x", ulAsymmAlg, ulSymmAlg);

  COutput output;
  hr = output.Open(strDesFile);
  if (hr != ORVA_OK) {
    if (strDesFile.empty()) ORVA_LOG_ERROR("CreateStreamOnHGlobal() failed! ulRes=0x%x", hr);
    return hr;
  }

  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  ScopeGuard logout([&] { _LogoutDevice(pDevice); });
  CSessionHolder session(pDevice, ulAsymmAlg);
  hr = session.Open(KEY_USAGE_EXCH);
  if (hr != ORVA_OK) return hr;
  if (ulAsymmAlg == ALG_SM2) {
    uint32_t ulRetryTimes = 0;
    hr = OrvaEnsureLogin(pDevice, strOrigin, &ulRetryTimes);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("Login to device failed! hr=0x%x, ulRetryTimes=0x%x", hr, ulRetryTimes);
      return hr;
    }
  }
  CryptoMsgPtr pDecryptMsg;
  hr = session->CreateMsgHandler(MSG_DECRYPT + ulEnvelopType, ulPadding, nullptr, pDecryptMsg);
  if (hr == ORVA_OK && !pDecryptMsg) hr = ORVA_E_CALL_FAILED;
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("CreateMsgHandler() failed! hr=0x%x", hr);
    return hr;
  }
  const bool bPkcs7 = ulEnvelopType == SIGN_TYPE_PKCS7;
  hr = pDecryptMsg->Init(ulSymmAlg, bPkcs7 ? nullptr : wrapped.data(), bPkcs7 ? 0 : ulWrappedLen, 0,
                         output.Stream());
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pDecryptMsg->Init() failed! hr=0x%x", hr);
    return hr;
  }
  hr = OrvaFeedPieces(pDecryptMsg.get(), pEnvelope.get(), ullCipherLen, OrvaLastPiece::kCompletesData,
                      "pDecryptMsg->Update()");
  if (hr != ORVA_OK) return hr;
  uint32_t ulUnused = 0;
  hr = pDecryptMsg->Final(nullptr, 0, nullptr, &ulUnused);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pDecryptMsg->Final() failed! hr=0x%x", hr);
    return hr;
  }

  if (CMemoryStream* pMemory = output.Memory()) {
    const std::vector<uint8_t>& plain = pMemory->Data();
    if (plain.empty()) {
      ORVA_LOG_ERROR("Out stream has no data!");
      return ORVA_E_BAD_INPUT;
    }
    hr = CStringConvert::BinaryToStringByCharset(ulCharset, plain.data(), plain.size(), strOut);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("ulEncodingType is wrong! ulEncodingType=0x%x", ulCharset);
      return hr;
    }
  } else {
    strOut = strDesFile;
  }
  output.Keep();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::EncodeMessage(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                                          uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                                          const std::string& strText, const std::string& strDesFile,
                                          std::string& strOut, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  uint32_t hr = _Internal_Encode(pDevice, ulEnvelopType, ulSymmAlg, ulPadding, ulCharset, strCert, strText, "",
                                 strDesFile, strOut, strOrigin);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("_Internal_Encode() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::EncodeFile(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                                       uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                                       const std::string& strSrcFile, const std::string& strDesFile,
                                       std::string& strOut, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  uint32_t hr = _Internal_Encode(pDevice, ulEnvelopType, ulSymmAlg, ulPadding, ulCharset, strCert, "", strSrcFile,
                                 strDesFile, strOut, strOrigin);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("_Internal_Encode() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::DecodeMessage(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding,
                                          uint32_t ulCharset, const std::string& strCipher,
                                          const std::string& strDesFile, std::string& strOut,
                                          const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  uint32_t hr = _Internal_Decode(pDevice, ulAlgs, ulPadding, ulCharset, strCipher, "", strDesFile, strOut, strOrigin);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("_Internal_Decode() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::DecodeFile(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding,
                                       uint32_t ulCharset, const std::string& strCipherFile,
                                       const std::string& strDesFile, std::string& strOut,
                                       const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  uint32_t hr =
      _Internal_Decode(pDevice, ulAlgs, ulPadding, ulCharset, "", strCipherFile, strDesFile, strOut, strOrigin);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("_Internal_Decode() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
