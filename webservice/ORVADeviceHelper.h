#pragma once
// The token operations behind the web-service commands: the handlers read and check the
// request, choose the device, and leave the work to these. Each returns a result code.
//
// PIN handling: the PIN dialogs and message boxes of the user interface, each naming the
// web origin that asked ("" for a local program). Every sequence that logs in and uses the
// login (verification with the weak-PIN question, PIN change, unlock, initialisation) runs
// under the device lock, so two connections never interleave on one token. A login stays
// with the origin that made it: _IsLoggedInFor tells a later operation whether the token's
// login belongs to its own caller, so no other web site can ride on it. Every login of the
// service therefore goes through _LoginToDevice or VerifyPin, which record the owner.
//
// New PINs that a page passes (change, unlock, initialisation) must pass CheckPinRule
// before the token sees them: a PIN outside the rule could never be used for a web login
// again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CDevice;
using DevicePtr = std::shared_ptr<CDevice>;

// "test_randrom" limits: 1 to 10,240 random bytes; line length of the bit and hex forms.
inline constexpr int32_t ORVA_RANDOM_MAX_SIZE = 10 * 1024;
inline constexpr size_t ORVA_RANDOM_LINE_CHARS = 64;

// Signing, verification and envelopes stream their data in pieces of 1 MiB.
inline constexpr uint32_t ORVA_STREAM_PIECE = 0x100000;
// Most bytes of an envelope taken as its wrapped session key.
inline constexpr uint32_t ORVA_MAX_WRAPPED_KEY = 1024;

// Authorisation types of requests and codes.
inline constexpr uint32_t ORVA_AUTH_TYPE_INIT = 1;
inline constexpr uint32_t ORVA_AUTH_TYPE_UNLOCK = 2;
inline constexpr uint32_t ORVA_AUTH_TYPE_IMPORT = 4;

// Initialisation of a token.
inline constexpr const char* ORVA_INIT_APP_NAME = "ORVA_RSASM2_APP";
inline constexpr const char* ORVA_INIT_DEFAULT_LABEL = "UKey";
inline constexpr uint32_t ORVA_INIT_PIN_RETRY = 15;
inline constexpr size_t ORVA_MAX_USER_PIN = 16;
inline constexpr size_t ORVA_MAX_LABEL = 32;

// Limits of the authorisation records.
inline constexpr size_t ORVA_AUTH_REQ_MAX_SN = 64;
inline constexpr size_t ORVA_AUTH_CODE_MAX_SN = 32;
inline constexpr size_t ORVA_AUTH_CODE_MAX_PLAIN = 256;
inline constexpr size_t ORVA_AUTH_SN_COMPARE = 16;  // unlock and import compare this many bytes

// The machine-wide setting that holds the authorisation service's certificate (Base64 DER).
inline constexpr const char* ORVA_AUTHORITY_CERT_VALUE = "AuthorityCert";

// A parsed authorisation code; the secrets are wiped when it goes.
struct ORVA_AUTH_CODE {
  uint32_t ulAuthType = 0;
  std::string strSN;
  std::string strAdminPIN;    // the token's administrator PIN (PKCS#12 import: the password)
  std::string strDevAuthKey;  // type 1 only
  ORVA_AUTH_CODE() = default;
  ORVA_AUTH_CODE(const ORVA_AUTH_CODE&) = delete;
  ORVA_AUTH_CODE& operator=(const ORVA_AUTH_CODE&) = delete;
  ~ORVA_AUTH_CODE();
};

class CORVADeviceHelper {
 public:
  // Draws `lSize` random bytes from the token and writes them to `strFile` (created anew)
  // in the form `ulFormat`: 0 the raw bytes; 1 eight "0"/"1" characters per byte, most
  // significant bit first; 2 two upper-case hex digits per byte; 3 Base64 without line
  // breaks. Forms 1 and 2 are cut into lines of 64 characters joined by "\r\n", with none
  // after the last. 0x8100000B without a device, for a size outside 1..10240 or an empty
  // path; 0x81000004 for another form (the bytes are drawn first, no file is made); the
  // token's code when it gives no random bytes; the stream's code when the file cannot be
  // created or written.
  static uint32_t TestRandrom(CDevice* pDevice, int32_t lSize, uint32_t ulFormat,
                              const std::string& strFile);

  // "verify_pin": an empty PIN asks through the PIN dialog, a given one is tried once. A
  // correct user PIN that breaks the PIN rule leads to the question [172] and the PIN
  // change. On success the remaining tries are 0 and the login belongs to `strOrigin`.
  static uint32_t VerifyPin(const DevicePtr& pDevice, uint32_t ulPinType, const std::string& strPin,
                            uint32_t* pulLeftTimes, const std::string& strOrigin);
  // "change_pin": user PIN only; both PINs empty: the PIN change dialog; one empty:
  // 0x81000004; a new PIN that breaks the rule: the rule's code.
  static uint32_t ChangePin(const DevicePtr& pDevice, uint32_t ulPinType, const std::string& strOldPin,
                            const std::string& strNewPin, uint32_t* pulLeftTimes,
                            const std::string& strOrigin);
  // "unlock_device": an authorisation code of type 2 for this token, then the new user PIN
  // (given, or from the unlock dialog).
  static uint32_t Unlock(const DevicePtr& pDevice, const std::string& strAuthCode,
                         const std::string& strNewPin, const std::string& strOrigin);
  // "initiliaze_device": an authorisation code of type 1 for this token; erases the token
  // and makes its application anew with the user PIN (given, or from the dialog).
  static uint32_t Initiliaze(const DevicePtr& pDevice, const std::string& strAuthCode,
                             const std::string& strUserPin, const std::string& strLabel,
                             const std::string& strOrigin);

  // "gen_auth_req": a request of type 1, 2 or 4 for the token, encrypted to the
  // authorisation service's certificate (the machine-wide AuthorityCert; 0x81000005 when
  // it is not set), bytes reversed, Base64. The request's one-time key replaces the
  // token's earlier one once the request is made.
  static uint32_t GenAuthReqCode(const DevicePtr& pDevice, uint32_t ulAuthType, std::string& strReqCode);

  // Signing on the token with the signature key of class `ulKeyAlg` (2 SM2, anything else
  // RSA). Each call opens its own session, holds the device lock throughout, asks for the
  // PIN (SM2 keys; any key for a digest) unless the token is logged in for `strOrigin`, and
  // leaves the token logged out. The result is the Base64 signature. Messages are converted
  // with the character-set selector `ulCharset`; files are read in 1 MiB pieces from the
  // path as given (the caller has checked it).
  static uint32_t SignMessage(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType,
                              uint32_t ulSignFlags, const std::string& strText, const std::string& strUserId,
                              uint32_t ulCharset, std::string& strSign, const std::string& strOrigin);
  static uint32_t SignFile(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                           const std::string& strFile, const std::string& strUserId, std::string& strSign,
                           const std::string& strOrigin);
  static uint32_t SignDigest(const DevicePtr& pDevice, uint32_t ulKeyAlg, uint32_t ulSignType,
                             uint32_t ulSignFlags, uint32_t ulDigestAlg, const std::string& strDigest,
                             std::string& strSign, const std::string& strOrigin);

  // Verification: on the token when `pDevice` is set, in software otherwise. The certificate
  // is `strCert` (Base64 DER) when not empty, else the one the signature carries. 0 means the
  // signature is valid.
  static uint32_t VerifyMessage(const DevicePtr& pDevice, uint32_t ulCharset, const std::string& strText,
                                const std::string& strUserId, const std::string& strSign,
                                const std::string& strCert);
  static uint32_t VerifyFile(const DevicePtr& pDevice, const std::string& strFile, const std::string& strUserId,
                             const std::string& strSign, const std::string& strCert);
  static uint32_t VerifyDigest(const DevicePtr& pDevice, uint32_t ulDigestAlg, const std::string& strDigest,
                               const std::string& strSign, const std::string& strCert);

  // Envelopes in the program's layout (4-byte little-endian length, wrapped session key,
  // cipher text). Sealing runs on the token when `pDevice` is set, else in software; opening
  // always on the token. The source is the text (converted with `ulCharset`) or, when
  // `strSrcFile` is not empty, that file; the result goes to `strDesFile` when it is not
  // empty (the output is then that path), else it is returned: the Base64 envelope, or the
  // plain text. Every path has been checked by the caller.
  static uint32_t EncodeMessage(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                                uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                                const std::string& strText, const std::string& strDesFile, std::string& strOut,
                                const std::string& strOrigin);
  static uint32_t EncodeFile(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                             uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                             const std::string& strSrcFile, const std::string& strDesFile, std::string& strOut,
                             const std::string& strOrigin);
  static uint32_t DecodeMessage(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding, uint32_t ulCharset,
                                const std::string& strCipher, const std::string& strDesFile, std::string& strOut,
                                const std::string& strOrigin);
  static uint32_t DecodeFile(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding, uint32_t ulCharset,
                             const std::string& strCipherFile, const std::string& strDesFile, std::string& strOut,
                             const std::string& strOrigin);
  static uint32_t _Internal_Encode(const DevicePtr& pDevice, uint32_t ulEnvelopType, uint32_t ulSymmAlg,
                                   uint32_t ulPadding, uint32_t ulCharset, const std::string& strCert,
                                   const std::string& strText, const std::string& strSrcFile,
                                   const std::string& strDesFile, std::string& strOut, const std::string& strOrigin);
  static uint32_t _Internal_Decode(const DevicePtr& pDevice, uint32_t ulAlgs, uint32_t ulPadding, uint32_t ulCharset,
                                   const std::string& strCipher, const std::string& strCipherFile,
                                   const std::string& strDesFile, std::string& strOut, const std::string& strOrigin);

  // Interactive login: the PIN dialog until the PIN verifies, the user gives up or the PIN
  // locks. 0 when the token is logged in afterwards (for `strOrigin`); 0x81000007 when the
  // dialog was cancelled.
  static uint32_t _LoginToDevice(const DevicePtr& pDevice, uint32_t ulPinType, uint32_t* pulRetryTimes,
                                 const std::string& strOrigin);
  // The weak-PIN check after a user PIN verified: 0 for a PIN within the rule; 0x81000051
  // for one with a character outside it; otherwise the question [172] and the PIN change.
  static uint32_t _CheckAndEnhancePIN(const DevicePtr& pDevice, const std::string& strUserPin,
                                      const std::string& strOrigin);
  // Decrypts an authorisation code with the token's one-time key, which is forgotten
  // whatever the outcome.
  static uint32_t _ParserAuthCode(const DevicePtr& pDevice, const std::string& strAuthCode,
                                  ORVA_AUTH_CODE& code);

  // True when the token is logged in and the login was made for `strOrigin`.
  static bool _IsLoggedInFor(const DevicePtr& pDevice, const std::string& strOrigin);
  // Clears the token's login and its owner.
  static void _LogoutDevice(const DevicePtr& pDevice);

  // The authorisation service's certificate from the settings; 0x81000005 when none is set.
  static uint32_t _GetAuthorityCert(std::vector<uint8_t>& der);
};
