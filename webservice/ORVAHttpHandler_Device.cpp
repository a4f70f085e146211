// Device and certificate commands: tokens by their index in the device manager's list,
// their certificates by index, algorithm and usage or by serial number, and certificates
// the page supplies, parsed once into the certificate cache and named by handles.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "certificates/ORVACertHelper.h"
#include "certificates/X509Certificate.h"
#include "devices/core/DeviceManager.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

// Cuts a UTF-8 text to at most `max` bytes without splitting a character.
std::string CutUtf8(std::string s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  s.resize(n);
  return s;
}

// A device text: read with the size the back end asks for (a failing read gives ""), at
// most 47 bytes as the reply's fields hold.
std::string DeviceText(CDevice& dev, uint32_t (CDevice::*fn)(char*, uint32_t*)) {
  uint32_t ulLen = 0;
  if ((dev.*fn)(nullptr, &ulLen) != ORVA_OK || ulLen == 0 || ulLen > 4096) return {};
  std::vector<char> buf(ulLen + 1, '\0');
  if ((dev.*fn)(buf.data(), &ulLen) != ORVA_OK) return {};
  return CutUtf8(std::string(buf.data(), strnlen(buf.data(), buf.size())), 47);
}

std::string FormatDate(const ORVA_CERT_TIME& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.stLocal.wYear, t.stLocal.wMonth, t.stLocal.wDay);
  return buf;
}

// The certificate matches the filter: 0 means any algorithm or usage.
bool Matches(const CX509Certificate& cert, uint32_t ulAlg, uint32_t ulUsage) {
  uint32_t ulType = 0, ulCertUsage = 0;
  cert.get_KeyType(&ulType);
  cert.get_KeyUsage(&ulCertUsage);
  return (ulAlg == 0 || ulAlg == ulType) && (ulUsage == 0 || ulUsage == ulCertUsage);
}

// The "cert" member of a reply: Base64 of the DER encoding.
uint32_t CertToBase64(const CX509Certificate& cert, std::string& strB64) {
  std::vector<uint8_t> der;
  uint32_t ulRes = cert.ToBuffer(der);
  if (ulRes != ORVA_OK || der.empty()) {
    ORVA_LOG_ERROR("pCert->ToBuffer() failed! ret = 0x%x", ulRes);
    return ORVA_E_INVALID_CALL;
  }
  ulRes = CStringConvert::BinaryToBase64String(der, strB64);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CStringConvert::BinaryToBase64String() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  return ORVA_OK;
}

// Decodes a page's Base64 certificate into a new object ("decode_cert", "show_cert",
// "verify_cert").
uint32_t LoadCertificate(const std::string& strB64, std::unique_ptr<CX509Certificate>& pCert) {
  if (strB64.empty()) {
    ORVA_LOG_ERROR("lptsCertBase64 is NULL!");
    return ORVA_E_BAD_INPUT;
  }
  std::vector<uint8_t> der;
  uint32_t ulRes = CStringConvert::Base64StringToBinary(strB64, der);
  if (ulRes != ORVA_OK || der.empty()) {
    ORVA_LOG_ERROR("Base64StringToBinary() failed! ret = 0x%x", ulRes);
    return ulRes ? ulRes : ORVA_E_BASE64;
  }
  if (der.size() > UINT32_MAX) return ORVA_E_DATA_TOO_LONG;
  auto p = std::make_unique<CX509Certificate>();
  ulRes = p->FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("FromBuffer() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  pCert = std::move(p);
  return ORVA_OK;
}

}  // namespace

uint32_t CORVAHttpHandler::OnEnunDevice(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lRefresh = ParamInt(jsonReq, "refresh");
  uint32_t ulRes = m_pUsingDeviceMngr->EnumDevices(kOrvaSettingsKey, lRefresh != 0 ? 1 : 0);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("EnumDevices() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  Json::Value devices(Json::arrayValue);
  uint32_t ulCount = m_pUsingDeviceMngr->GetDeviceCount();
  for (uint32_t i = 0; i < ulCount; ++i) {
    DevicePtr pDevice = m_pUsingDeviceMngr->GetDevice(i);
    if (!pDevice) continue;
    Json::Value dev(Json::objectValue);
    dev["sn"] = toUtf8(DeviceText(*pDevice, &CDevice::GetSN));
    dev["label"] = toUtf8(DeviceText(*pDevice, &CDevice::GetLabel));
    dev["manufacturer"] = toUtf8(DeviceText(*pDevice, &CDevice::GetManufacturer));
    devices.append(dev);
  }
  jsonResp["devices"] = devices.empty() ? Json::Value() : devices;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnEnunCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulAlg = static_cast<uint32_t>(ParamInt(jsonReq, "alg"));
  uint32_t ulUsage = static_cast<uint32_t>(ParamInt(jsonReq, "usage"));
  // The result is that of the last certificate-list call, so a failing token is reported
  // even when others listed their certificates.
  uint32_t ulRes = ORVA_OK;
  Json::Value certs(Json::arrayValue);
  uint32_t ulCount = m_pUsingDeviceMngr->GetDeviceCount();
  for (uint32_t i = 0; i < ulCount; ++i) {
    if (lKeyIndex != -1 && static_cast<uint32_t>(lKeyIndex) != i) continue;
    DevicePtr pDevice = m_pUsingDeviceMngr->GetDevice(i);
    if (!pDevice) continue;
    uint32_t ulCerts = 0;
    ulRes = pDevice->GetCertCount(&ulCerts, false);
    if (ulRes != ORVA_OK) continue;
    for (uint32_t j = 0; j < ulCerts; ++j) {
      CertObjPtr pCert;
      ulRes = pDevice->GetCertObj(j, pCert);
      if (ulRes != ORVA_OK || !pCert) continue;
      if (!Matches(*pCert, ulAlg, ulUsage)) continue;
      std::string sn, dn, issuer;
      pCert->get_SN(sn);
      pCert->get_SubjectName(nullptr, dn);
      pCert->get_IssuerName(nullptr, issuer);
      ORVA_CERT_TIME nb, na;
      pCert->get_ValidDate(&nb, &na);
      uint32_t ulType = 0, ulCertUsage = 0;
      pCert->get_KeyType(&ulType);
      pCert->get_KeyUsage(&ulCertUsage);
      Json::Value c(Json::objectValue);
      c["sn"] = toUtf8(CutUtf8(sn, 63));
      c["dn"] = toUtf8(CutUtf8(dn, 255));
      c["issuer"] = toUtf8(CutUtf8(issuer, 255));
      c["start"] = FormatDate(nb);
      c["end"] = FormatDate(na);
      c["alg"] = Json::Value(static_cast<Json::Int>(ulType));
      c["usage"] = Json::Value(static_cast<Json::Int>(ulCertUsage));
      c["keyindex"] = Json::Value(static_cast<Json::Int>(i));
      certs.append(c);
    }
  }
  jsonResp["certs"] = certs.empty() ? Json::Value() : certs;
  if (ulRes == ORVA_OK) ORVA_LOG_END();
  return ulRes;
}

uint32_t CORVAHttpHandler::OnGetCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  uint32_t ulAlg = static_cast<uint32_t>(ParamInt(jsonReq, "alg"));
  uint32_t ulUsage = static_cast<uint32_t>(ParamInt(jsonReq, "usage"));
  DevicePtr pDevice = lKeyIndex < 0 ? nullptr : m_pUsingDeviceMngr->GetDevice(static_cast<uint32_t>(lKeyIndex));
  if (!pDevice) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr->GetDevice() failed! keyIndex = 0x%x", static_cast<uint32_t>(lKeyIndex));
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulCerts = 0;
  if (pDevice->GetCertCount(&ulCerts, false) != ORVA_OK) ulCerts = 0;
  for (uint32_t j = 0; j < ulCerts; ++j) {
    CertObjPtr pCert;
    if (pDevice->GetCertObj(j, pCert) != ORVA_OK || !pCert) continue;
    if (!Matches(*pCert, ulAlg, ulUsage)) continue;
    std::string strB64;
    uint32_t ulRes = CertToBase64(*pCert, strB64);
    if (ulRes != ORVA_OK) return ulRes;
    jsonResp["cert"] = strB64;
    ORVA_LOG_END();
    return ORVA_OK;
  }
  ORVA_LOG_ERROR("Can't find certificate! keyIndex = 0x%x, certAlg = 0x%x, certUsge = 0x%x",
                 static_cast<uint32_t>(lKeyIndex), ulAlg, ulUsage);
  return ORVA_E_NO_CERT;
}

uint32_t CORVAHttpHandler::OnGetCertificateBySn(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  if (m_pUsingDeviceMngr == nullptr) {
    ORVA_LOG_ERROR("m_pUsingDeviceMngr is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lKeyIndex = ParamInt(jsonReq, "keyIndex");
  std::string strSN = ParamText(jsonReq, "cert_sn");
  if (strSN.empty()) {
    ORVA_LOG_ERROR("cert_sn is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulCount = m_pUsingDeviceMngr->GetDeviceCount();
  for (uint32_t i = 0; i < ulCount; ++i) {
    if (lKeyIndex != -1 && static_cast<uint32_t>(lKeyIndex) != i) continue;
    DevicePtr pDevice = m_pUsingDeviceMngr->GetDevice(i);
    if (!pDevice) continue;
    uint32_t ulCerts = 0;
    if (pDevice->GetCertCount(&ulCerts, false) != ORVA_OK) continue;
    for (uint32_t j = 0; j < ulCerts; ++j) {
      CertObjPtr pCert;
      if (pDevice->GetCertObj(j, pCert) != ORVA_OK || !pCert) continue;
      std::string sn;
      if (pCert->get_SN(sn) != ORVA_OK || sn != strSN) continue;
      std::string strB64;
      uint32_t ulRes = CertToBase64(*pCert, strB64);
      if (ulRes != ORVA_OK) return ulRes;
      jsonResp["cert"] = strB64;
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  ORVA_LOG_ERROR("Can't find certificate! keyIndex = 0x%x, sn = %s", static_cast<uint32_t>(lKeyIndex),
                 CutUtf8(strSN, 256).c_str());
  return ORVA_E_NO_CERT;
}

uint32_t CORVAHttpHandler::OnDecodeCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strB64 = ParamText(jsonReq, "cert");
  std::unique_ptr<CX509Certificate> pCert;
  uint32_t ulRes = LoadCertificate(strB64, pCert);
  if (ulRes != ORVA_OK) return ulRes;
  if (m_pCertCache == nullptr) {
    ORVA_LOG_ERROR("m_pCertCache is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int32_t lHandle = 0;
  ulRes = m_pCertCache->Add(std::move(pCert), &lHandle);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pCertCache->Add() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["obj"] = Json::Value(static_cast<Json::Int>(lHandle));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnCertAttributes(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lHandle = ParamInt(jsonReq, "obj");
  std::string strName = ParamText(jsonReq, "name");
  std::string strParam = ParamText(jsonReq, "param");
  uint32_t ulRes = ORVA_OK;
  std::string strValue;
  bool bFound = m_pCertCache != nullptr && m_pCertCache->Use(lHandle, [&](CX509Certificate& cert) {
    ulRes = CORVACertHelper::GetCertAttribute(strName.c_str(), strParam.c_str(), &cert, strValue);
  });
  if (!bFound) {
    ORVA_LOG_ERROR("Can't find the certificate object! Handle = 0x%x", static_cast<uint32_t>(lHandle));
    return ORVA_E_INVALID_PARAM;
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GetCertAttribute() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["value"] = toUtf8(strValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnCertExtension(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lHandle = ParamInt(jsonReq, "obj");
  std::string strName = ParamText(jsonReq, "name");
  uint32_t ulRes = ORVA_OK;
  std::string strValue;
  bool bFound = m_pCertCache != nullptr && m_pCertCache->Use(lHandle, [&](CX509Certificate& cert) {
    ulRes = CORVACertHelper::GetCertExtension(strName.c_str(), &cert, strValue);
  });
  if (!bFound) {
    ORVA_LOG_ERROR("Can't find the certificate object! Handle = 0x%x", static_cast<uint32_t>(lHandle));
    return ORVA_E_INVALID_PARAM;
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GetCertExtension() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["value"] = toUtf8(strValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnReleaseCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  int32_t lHandle = ParamInt(jsonReq, "obj");
  // An unknown or already released handle is no error.
  if (m_pCertCache != nullptr && !m_pCertCache->Remove(lHandle))
    ORVA_LOG_INFO("No certificate object has the handle 0x%x.", static_cast<uint32_t>(lHandle));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnShowCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strB64 = ParamText(jsonReq, "cert");
  int32_t lParentWnd = ParamInt(jsonReq, "parentWnd");
  std::unique_ptr<CX509Certificate> pCert;
  uint32_t ulRes = LoadCertificate(strB64, pCert);
  if (ulRes != ORVA_OK) return ulRes;
  // Blocks this connection only, until the user closes the view.
  pCert->OpenViewDialog(static_cast<uintptr_t>(static_cast<uint32_t>(lParentWnd)));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVAHttpHandler::OnVerifyCertificate(Json::Value jsonReq, Json::Value& jsonResp) {
  ORVA_LOG_BEGIN();
  std::string strB64 = ParamText(jsonReq, "cert");
  uint32_t ulFlags = static_cast<uint32_t>(ParamInt(jsonReq, "flags"));
  std::unique_ptr<CX509Certificate> pCert;
  uint32_t ulRes = LoadCertificate(strB64, pCert);
  if (ulRes != ORVA_OK) return ulRes;
  uint32_t ulStatus = 0;
  ulRes = pCert->get_ValidType(ulFlags, &ulStatus);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("get_ValidType() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  jsonResp["status"] = Json::Value(static_cast<Json::Int>(ulStatus));
  ORVA_LOG_END();
  return ORVA_OK;
}
