// Signing on the token and signature checks on the token or in software, for the
// "sign_*" and "verify_*" commands.
//
// A signing holds the device lock from its session's opening to its logout, so another
// connection can neither interleave its own login nor use this one; a second page signing
// on the same token waits (bounded) and then gets its own PIN prompt.
#include <cstring>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/OpenSSLMsgVerify.h"
#include "crypto/SignedData.h"
#include "devices/core/Device.h"
#include "devices/core/Session.h"
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

// What is signed or verified: message bytes, or a file read in pieces.
struct SignSource {
  const std::string* pText = nullptr;  // message
  uint32_t ulCharset = 3;
  const std::string* pFile = nullptr;  // file
};

const uint8_t* UserIdBytes(const std::string& strUserId) {
  return strUserId.empty() ? nullptr : reinterpret_cast<const uint8_t*>(strUserId.data());
}

// The message as bytes of its character set.
uint32_t MessageBytes(const SignSource& src, std::vector<uint8_t>& data) {
  uint32_t hr = CStringConvert::StringToBinaryByCharset(src.ulCharset, *src.pText, data);
  if (hr != ORVA_OK) {
    if (src.ulCharset > 3) {
      ORVA_LOG_ERROR("ulEncodingType is wrong! ulEncodingType=0x%x", src.ulCharset);
      return ORVA_E_INVALID_PARAM;
    }
    ORVA_LOG_ERROR("StringToBinary() failed! hr=0x%x", hr);
  }
  return hr;
}

// The size of an opened file; an empty file is refused.
uint32_t FileSize(CFileStream& file, uint64_t& ullSize) {
  uint32_t hr = GetStreamSize(&file, &ullSize);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("GetFileSize() failed! hr=0x%x", hr);
    return hr;
  }
  if (ullSize == 0) {
    ORVA_LOG_ERROR("The file size is wrong! size=0x%x", 0u);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  return ORVA_OK;
}

// Feeds the source to a started handler: a message in one piece marked last, a file in
// pieces of 1 MiB.
uint32_t FeedSource(CCryptoMsg* pMsg, const std::vector<uint8_t>& message, CFileStream* pFile, uint64_t ullSize,
                    const char* lpcsUpdateName) {
  if (pFile == nullptr) {
    uint32_t hr = pMsg->Update(message.data(), static_cast<uint32_t>(message.size()), true);
    if (hr != ORVA_OK) ORVA_LOG_ERROR("%s failed! hr=0x%x", lpcsUpdateName, hr);
    return hr;
  }
  return OrvaFeedPieces(pMsg, pFile, ullSize, OrvaLastPiece::kShortPiece, lpcsUpdateName);
}

// The digest algorithm of the session's signature certificate.
uint32_t SessionDigestAlg(CSessionHolder& session, uint32_t ulKeyAlg, uint32_t& ulDigestAlg, bool bNameKeyAlg) {
  std::unique_ptr<CX509Certificate> pCert;
  uint32_t hr = session->ExportCert(ulKeyAlg, true, pCert);
  if (hr == ORVA_OK && !pCert) hr = ORVA_E_NO_CERT;
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("ExportCert() failed! ulKeyAlg=0x%x, hr=0x%x", ulKeyAlg, hr);
    return hr;
  }
  hr = pCert->get_DigestAlg(&ulDigestAlg);
  if (hr != ORVA_OK) {
    if (bNameKeyAlg)
      ORVA_LOG_ERROR("get_DigestAlg() failed! ulKeyAlg=0x%x, hr=0x%x", ulKeyAlg, hr);
    else
      ORVA_LOG_ERROR("get_DigestAlg() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_INFO("Digest alg id: 0x%x", ulDigestAlg);
  return ORVA_OK;
}

// A signature out of a finished handler, in Base64.
uint32_t FinalSignature(CCryptoMsg* pMsg, std::string& strSign) {
  uint32_t ulLen = 0;
  uint32_t hr = pMsg->Final(nullptr, 0, nullptr, &ulLen);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Get signature length failed! hr=0x%x", hr);
    return hr;
  }
  std::vector<uint8_t> sig(ulLen);
  hr = pMsg->Final(nullptr, 0, sig.data(), &ulLen);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Get signature failed! hr=0x%x", hr);
    return hr;
  }
  sig.resize(ulLen);
  hr = CStringConvert::BinaryToBase64String(sig, strSign);
  if (hr != ORVA_OK) ORVA_LOG_ERROR("SetObj() failed! hr=0x%x", hr);
  return hr;
}

// Signing of a message or a file on the token.
uint32_t SignSourceOnDevice(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                            const SignSource& src, const std::string& strUserId, std::string& strSign,
                            const std::string& strOrigin) {
  if (!pDevice) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (ulKeyAlg != ALG_SM2) ulKeyAlg = ALG_RSA;
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  // Whatever happens, the token is left logged out: every signing asks again.
  ScopeGuard logout([&] { CORVADeviceHelper::_LogoutDevice(pDevice); });
  CSessionHolder session(pDevice, ulKeyAlg);
  uint32_t hr = session.Open(KEY_USAGE_SIGN);
  if (hr != ORVA_OK) return hr;
  uint32_t ulDigestAlg = 0;
  hr = SessionDigestAlg(session, ulKeyAlg, ulDigestAlg, true);
  if (hr != ORVA_OK) return hr;

  CFileStream file;
  if (src.pFile != nullptr) {
    hr = file.OpenFile(*src.pFile, CFileStream::AccessRead, false);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", hr);
      return hr;
    }
  }
  if (ulKeyAlg == ALG_SM2) {
    uint32_t ulRetryTimes = 0;
    hr = OrvaEnsureLogin(pDevice, strOrigin, &ulRetryTimes);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("Login to session() failed! hr=0x%x, ulRetryTimes=0x%x", hr, ulRetryTimes);
      return hr;
    }
  }
  CryptoMsgPtr pSignMsg;
  hr = session->CreateMsgHandler(MSG_SIGN + ulSignType, ulSignFlags, nullptr, pSignMsg);
  if (hr == ORVA_OK && !pSignMsg) hr = ORVA_E_CALL_FAILED;
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("CreateMsgHandler() failed! hr=0x%x", hr);
    return hr;
  }
  std::vector<uint8_t> message;
  uint64_t ullSize = 0;
  hr = src.pFile != nullptr ? FileSize(file, ullSize) : MessageBytes(src, message);
  if (hr != ORVA_OK) return hr;
  if (src.pFile == nullptr) ullSize = message.size();

  hr = pSignMsg->Init(ulDigestAlg | ulKeyAlg, UserIdBytes(strUserId), static_cast<uint32_t>(strUserId.size()),
                      ullSize, nullptr);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Init() failed! hr=0x%x", hr);
    return hr;
  }
  hr = FeedSource(pSignMsg.get(), message, src.pFile != nullptr ? &file : nullptr, ullSize, "pSignMsg->Update()");
  if (hr != ORVA_OK) return hr;
  return FinalSignature(pSignMsg.get(), strSign);
}

// The signature and the certificate that checks it.
struct VerifyInputs {
  std::vector<uint8_t> signature;
  CSignedData signedData;
  uint32_t ulSignType = 0;
  CX509Certificate cert;
  std::vector<uint8_t> certDer;
  uint32_t ulKeyAlg = 0;
  uint32_t ulDigestAlg = 0;
  uint32_t ulContentLen = 0;
};

// Decodes and loads the signature, takes the certificate (given, or carried by the
// signature) and settles the key and digest algorithms.
uint32_t LoadVerifyInputs(const std::string& strSign, const std::string& strCert, uint32_t ulDigestAlg,
                          VerifyInputs& in, bool bDigestForm) {
  uint32_t hr = CStringConvert::Base64StringToBinary(strSign, in.signature);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR(bDigestForm ? "Base64StringToBinary() failed! hr=0x%x"
                               : "CStringConvert::Base64StringToBinary() failed! hr=0x%x",
                   hr);
    return hr;
  }
  hr = in.signedData.SetSignature(in.signature.data(), static_cast<uint32_t>(in.signature.size()));
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("SetSignature() failed! hr=0x%x", hr);
    return hr;
  }
  in.signedData.GetSignType(&in.ulSignType);
  if (in.signedData.GetOrgData(nullptr, &in.ulContentLen) != ORVA_OK) in.ulContentLen = 0;
  if (in.ulContentLen > 0) ORVA_LOG_INFO("Has plain text! length=0x%x", in.ulContentLen);

  if (!strCert.empty()) {
    if (bDigestForm) ORVA_LOG_INFO("Using the inputing certificate!");
    hr = CStringConvert::Base64StringToBinary(strCert, in.certDer);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("Base64StringToBinary() failed! hr=0x%x", hr);
      return hr;
    }
  } else {
    if (bDigestForm) ORVA_LOG_INFO("Try to get the certificate from signature!");
    uint32_t ulLen = 0;
    hr = in.signedData.GetCertificate(nullptr, &ulLen);
    if (hr == ORVA_OK && ulLen == 0) {
      ORVA_LOG_ERROR("Signature has not certificate data, please set pICertificate!");
      return ORVA_E_INVALID_PARAM;
    }
    if (hr == ORVA_OK) {
      in.certDer.resize(ulLen);
      hr = in.signedData.GetCertificate(in.certDer.data(), &ulLen);
      in.certDer.resize(ulLen);
    }
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("GetCertificate() failed! hr = 0x%x", hr);
      return hr == ORVA_E_INVALID_CALL ? ORVA_E_INVALID_PARAM : hr;
    }
  }
  hr = in.cert.FromBuffer(in.certDer.data(), static_cast<uint32_t>(in.certDer.size()));
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pCertObj->FromBuffer() failed! hr=0x%x", hr);
    return hr;
  }
  hr = in.cert.get_KeyType(&in.ulKeyAlg);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_KeyType() failed! hr = 0x%x", hr);
    return hr;
  }
  in.ulDigestAlg = ulDigestAlg;
  if (in.ulDigestAlg == 0) in.signedData.GetDigestAlg(&in.ulDigestAlg);
  if (in.ulDigestAlg == 0) {
    hr = in.cert.get_DigestAlg(&in.ulDigestAlg);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("get_DigestAlg() failed! hr=0x%x", hr);
      return hr;
    }
  }
  ORVA_LOG_INFO("Digest alg id: 0x%x", in.ulDigestAlg);
  if (in.ulKeyAlg != ALG_RSA && in.ulKeyAlg != ALG_SM2) {
    ORVA_LOG_ERROR("ulAsymmAlg is wrong! ulAsymmAlg=0x%x", in.ulKeyAlg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  return ORVA_OK;
}

uint32_t VerifySource(const DevicePtr& pDevice, const SignSource& src, const std::string& strUserId,
                      const std::string& strSign, const std::string& strCert) {
  VerifyInputs in;
  uint32_t hr = LoadVerifyInputs(strSign, strCert, 0, in, false);
  if (hr != ORVA_OK) return hr;

  CFileStream file;
  std::vector<uint8_t> message;
  uint64_t ullSize = 0;
  auto prepareData = [&]() -> uint32_t {
    if (src.pFile == nullptr) {
      uint32_t r = MessageBytes(src, message);
      ullSize = message.size();
      return r;
    }
    uint32_t r = file.OpenFile(*src.pFile, CFileStream::AccessRead, false);
    if (r != ORVA_OK) {
      ORVA_LOG_ERROR("OpenFile() failed! hr=0x%x", r);
      return r;
    }
    return FileSize(file, ullSize);
  };
  const uint32_t ulAlgBits = in.ulKeyAlg | in.ulDigestAlg;
  uint32_t ulVerdict = 0, ulVerdictLen = sizeof ulVerdict;

  if (!pDevice) {
    COpenSSLMsgVerify verifier;
    verifier.set_VerifyCert(&in.cert);
    hr = verifier.Init(ulAlgBits, UserIdBytes(strUserId), static_cast<uint32_t>(strUserId.size()), 0, nullptr);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("pVerifyMsg->Init() failed! hr=0x%x", hr);
      return hr;
    }
    hr = prepareData();
    if (hr != ORVA_OK) return hr;
    hr = FeedSource(&verifier, message, src.pFile != nullptr ? &file : nullptr, ullSize, "pVerifyMsg->Update()");
    if (hr != ORVA_OK) return hr;
    hr = verifier.Final(in.signature.data(), static_cast<uint32_t>(in.signature.size()),
                        reinterpret_cast<uint8_t*>(&ulVerdict), &ulVerdictLen);
    if (hr != ORVA_OK) ORVA_LOG_ERROR("pVerifyMsg->Final() failed! hr=0x%x", hr);
    return hr;
  }

  CSessionHolder session(pDevice, in.ulKeyAlg);
  hr = session.Open(KEY_USAGE_SIGN);
  if (hr != ORVA_OK) return hr;
  CryptoMsgPtr pVerifyMsg;
  hr = session->CreateMsgHandler(MSG_VERIFY + in.ulSignType, 0, &in.cert, pVerifyMsg);
  if (hr == ORVA_OK && !pVerifyMsg) hr = ORVA_E_CALL_FAILED;
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("CreateMsgHandler() failed! hr=0x%x", hr);
    return hr;
  }
  hr = pVerifyMsg->Init(ulAlgBits, UserIdBytes(strUserId), static_cast<uint32_t>(strUserId.size()), 0, nullptr);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pVerifyMsg->Init() failed! hr=0x%x", hr);
    return hr;
  }
  bool bFeedData = true;
  if (in.ulKeyAlg == ALG_RSA && in.ulSignType == SIGN_TYPE_PKCS7) {
    // The RSA back ends read a PKCS#7 signature as data first; one that carries its content
    // needs nothing else.
    hr = pVerifyMsg->Update(in.signature.data(), static_cast<uint32_t>(in.signature.size()), false);
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("pVerifyMsg->Update() failed! hr=0x%x", hr);
      return hr;
    }
    bFeedData = in.ulContentLen == 0;
  }
  if (bFeedData) {
    hr = prepareData();
    if (hr != ORVA_OK) return hr;
    hr = FeedSource(pVerifyMsg.get(), message, src.pFile != nullptr ? &file : nullptr, ullSize,
                    "pVerifyMsg->Update()");
    if (hr != ORVA_OK) return hr;
  }
  hr = pVerifyMsg->Final(in.signature.data(), static_cast<uint32_t>(in.signature.size()),
                         reinterpret_cast<uint8_t*>(&ulVerdict), &ulVerdictLen);
  if (hr != ORVA_OK) ORVA_LOG_ERROR("pVerifyMsg->Final() failed! hr=0x%x", hr);
  return hr;
}

}  // namespace

uint32_t CORVADeviceHelper::SignMessage(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType,
                                        uint32_t ulSignFlags, const std::string& strText,
                                        const std::string& strUserId, uint32_t ulCharset, std::string& strSign,
                                        const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  SignSource src;
  src.pText = &strText;
  src.ulCharset = ulCharset;
  uint32_t hr = SignSourceOnDevice(pDevice, ulKeyAlg, ulSignType, ulSignFlags, src, strUserId, strSign, strOrigin);
  if (hr != ORVA_OK) return hr;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::SignFile(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType,
                                     uint32_t ulSignFlags, const std::string& strFile, const std::string& strUserId,
                                     std::string& strSign, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  SignSource src;
  src.pFile = &strFile;
  uint32_t hr = SignSourceOnDevice(pDevice, ulKeyAlg, ulSignType, ulSignFlags, src, strUserId, strSign, strOrigin);
  if (hr != ORVA_OK) return hr;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::SignDigest(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType,
                                       uint32_t ulSignFlags, uint32_t ulDigestAlg, const std::string& strDigest,
                                       std::string& strSign, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (!pDevice) {
    ORVA_LOG_ERROR("m_pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  std::vector<uint8_t> digest;
  uint32_t hr = CStringConvert::Base64StringToBinary(strDigest, digest);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! hr=0x%x", hr);
    return hr;
  }
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  ScopeGuard logout([&] { _LogoutDevice(pDevice); });
  CSessionHolder session(pDevice, ulKeyAlg);
  hr = session.Open(KEY_USAGE_SIGN);
  if (hr != ORVA_OK) return hr;
  if (ulDigestAlg == 0) {
    hr = SessionDigestAlg(session, ulKeyAlg, ulDigestAlg, false);
    if (hr != ORVA_OK) return hr;
  } else {
    ORVA_LOG_INFO("Digest alg id: 0x%x", ulDigestAlg);
  }
  uint32_t ulRetryTimes = 0;
  hr = OrvaEnsureLogin(pDevice, strOrigin, &ulRetryTimes);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Login to session() failed! hr=0x%x, ulRetryTimes=0x%x", hr, ulRetryTimes);
    return hr;
  }
  std::unique_ptr<CSignedData> pSignedData;
  hr = session->SignDigest(ulKeyAlg | ulDigestAlg, digest.data(), static_cast<uint32_t>(digest.size()), ulDigestAlg,
                           ulSignType, ulSignFlags, pSignedData);
  if (hr == ORVA_OK && !pSignedData) hr = ORVA_E_CALL_FAILED;
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("SignHash() failed! ulKeyAlg=0x%x, ulHashAlg=0x%x, hr=0x%x", ulKeyAlg, ulDigestAlg, hr);
    return hr;
  }
  uint32_t ulLen = 0;
  hr = pSignedData->GetSignature(nullptr, &ulLen);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("GetSignature() failed! hr=0x%x", hr);
    return hr;
  }
  std::vector<uint8_t> sig(ulLen);
  hr = pSignedData->GetSignature(sig.data(), &ulLen);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Get signature failed! hr=0x%x", hr);
    return hr;
  }
  sig.resize(ulLen);
  hr = CStringConvert::BinaryToBase64String(sig, strSign);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("BinaryToBase64String() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::VerifyMessage(const DevicePtr& pDevice, uint32_t ulCharset, const std::string& strText,
                                          const std::string& strUserId, const std::string& strSign,
                                          const std::string& strCert) {
  ORVA_LOG_BEGIN();
  SignSource src;
  src.pText = &strText;
  src.ulCharset = ulCharset;
  uint32_t hr = VerifySource(pDevice, src, strUserId, strSign, strCert);
  if (hr != ORVA_OK) return hr;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::VerifyFile(const DevicePtr& pDevice, const std::string& strFile,
                                       const std::string& strUserId, const std::string& strSign,
                                       const std::string& strCert) {
  ORVA_LOG_BEGIN();
  SignSource src;
  src.pFile = &strFile;
  uint32_t hr = VerifySource(pDevice, src, strUserId, strSign, strCert);
  if (hr != ORVA_OK) return hr;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::VerifyDigest(const DevicePtr& pDevice, uint32_t ulDigestAlg, const std::string& strDigest,
                                         const std::string& strSign, const std::string& strCert) {
  ORVA_LOG_BEGIN();
  std::vector<uint8_t> digest;
  uint32_t hr = CStringConvert::Base64StringToBinary(strDigest, digest);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! hr=0x%x", hr);
    return hr;
  }
  VerifyInputs in;
  hr = LoadVerifyInputs(strSign, strCert, ulDigestAlg, in, true);
  if (hr != ORVA_OK) return hr;
  if (!pDevice) {
    COpenSSLDigestVerify verifier;
    hr = verifier.verify(digest.data(), static_cast<uint32_t>(digest.size()), in.ulDigestAlg, in.signature.data(),
                         static_cast<uint32_t>(in.signature.size()), in.certDer.data(),
                         static_cast<uint32_t>(in.certDer.size()));
    if (hr != ORVA_OK) {
      ORVA_LOG_ERROR("COpenSSLDigestVerify::verify() failed! hr=0x%x", hr);
      return hr;
    }
    ORVA_LOG_END();
    return ORVA_OK;
  }
  CSessionHolder session(pDevice, in.ulKeyAlg);
  hr = session.Open(KEY_USAGE_SIGN);
  if (hr != ORVA_OK) return hr;
  hr = session->VerifyDigest(in.ulKeyAlg | in.ulDigestAlg, digest.data(), static_cast<uint32_t>(digest.size()),
                             in.ulDigestAlg, in.signature.data(), static_cast<uint32_t>(in.signature.size()),
                             in.ulSignType, &in.cert);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("pVerifyMsg->Final() failed! hr=0x%x", hr);
    return hr;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
