#pragma once
// The program's result codes: 0 for success, failures with the top bit set so that each
// doubles as a failing HRESULT at the automation boundary. The numbers are fixed: pages and
// scripts compare them.
#include <cstdint>

using ORVA_RESULT = uint32_t;

inline constexpr uint32_t ORVA_OK = 0x00000000;

// General codes.
inline constexpr uint32_t ORVA_E_FAIL = 0x81000001;
inline constexpr uint32_t ORVA_E_NOT_INITIALIZED = 0x81000002;
inline constexpr uint32_t ORVA_E_ALREADY_INITIALIZED = 0x81000003;
inline constexpr uint32_t ORVA_E_INVALID_PARAM = 0x81000004;
inline constexpr uint32_t ORVA_E_NOT_SUPPORTED = 0x81000005;
inline constexpr uint32_t ORVA_E_CALL_FAILED = 0x81000006;
inline constexpr uint32_t ORVA_E_CANCELLED = 0x81000007;
inline constexpr uint32_t ORVA_E_PKCS11_FUNCTION = 0x81000008;
inline constexpr uint32_t ORVA_E_BUFFER_TOO_SMALL = 0x81000009;
inline constexpr uint32_t ORVA_E_DATA_TOO_LONG = 0x8100000A;
inline constexpr uint32_t ORVA_E_INVALID_CALL = 0x8100000B;
inline constexpr uint32_t ORVA_E_KEY_EXISTS = 0x8100000C;
inline constexpr uint32_t ORVA_E_KEY_NOT_FOUND = 0x8100000D;
inline constexpr uint32_t ORVA_E_BAD_INPUT = 0x8100000E;
inline constexpr uint32_t ORVA_E_BAD_INPUT_LENGTH = 0x8100000F;
inline constexpr uint32_t ORVA_E_BASE64 = 0x81000010;
inline constexpr uint32_t ORVA_E_ALG_NOT_SUPPORTED = 0x81000011;
inline constexpr uint32_t ORVA_E_CSR_FAILED = 0x81000012;
inline constexpr uint32_t ORVA_E_SESSION_EXISTS = 0x81000013;
inline constexpr uint32_t ORVA_E_NO_SESSION = 0x81000014;
inline constexpr uint32_t ORVA_E_NO_CONTAINER = 0x81000015;
inline constexpr uint32_t ORVA_E_NO_CERT = 0x81000016;
inline constexpr uint32_t ORVA_E_CERT_SIGNATURE = 0x81000017;
inline constexpr uint32_t ORVA_E_CERT_ISSUER = 0x81000018;
inline constexpr uint32_t ORVA_E_DOWNLOAD_MISSING = 0x81000019;
inline constexpr uint32_t ORVA_E_XML_LOAD = 0x8100001A;
inline constexpr uint32_t ORVA_E_XML_PARSE = 0x8100001C;
inline constexpr uint32_t ORVA_E_STREAM_WRITE = 0x8100001D;
inline constexpr uint32_t ORVA_E_STREAM_READ = 0x8100001E;
inline constexpr uint32_t ORVA_E_CREATE_FILE = 0x8100001F;

// Token errors of the SKF interface (the SKF binding maps vendor codes onto these).
inline constexpr uint32_t ORVA_E_GEN_RANDOM = 0x81000040;
inline constexpr uint32_t ORVA_E_HASH_OBJECT = 0x81000041;
inline constexpr uint32_t ORVA_E_HASH_OPERATION = 0x81000042;
inline constexpr uint32_t ORVA_E_GEN_KEYPAIR = 0x81000043;
inline constexpr uint32_t ORVA_E_MODULUS_LEN = 0x81000044;
inline constexpr uint32_t ORVA_E_IMPORT_PUBKEY = 0x81000045;
inline constexpr uint32_t ORVA_E_PUBKEY_ENCRYPT = 0x81000046;
inline constexpr uint32_t ORVA_E_PRIVKEY_DECRYPT = 0x81000047;
inline constexpr uint32_t ORVA_E_HASH_MISMATCH = 0x81000048;
inline constexpr uint32_t ORVA_E_NOT_EXPORTABLE = 0x81000049;
inline constexpr uint32_t ORVA_E_DECRYPT_PADDING = 0x8100004A;
inline constexpr uint32_t ORVA_E_MAC_LEN = 0x8100004B;
inline constexpr uint32_t ORVA_E_KEY_INFO_NOT_FOUND = 0x8100004C;
inline constexpr uint32_t ORVA_E_NO_DEVICE_EVENT = 0x8100004D;
inline constexpr uint32_t ORVA_E_DEVICE_REMOVED = 0x8100004E;
inline constexpr uint32_t ORVA_E_PIN_INCORRECT = 0x8100004F;
inline constexpr uint32_t ORVA_E_PIN_LOCKED = 0x81000050;
inline constexpr uint32_t ORVA_E_PIN_INVALID = 0x81000051;
inline constexpr uint32_t ORVA_E_PIN_LEN = 0x81000052;
inline constexpr uint32_t ORVA_E_PIN_EXPIRED = 0x81000053;
inline constexpr uint32_t ORVA_E_PIN_DEFAULT = 0x81000054;
inline constexpr uint32_t ORVA_E_USER_TYPE = 0x81000055;
inline constexpr uint32_t ORVA_E_APP_NAME_INVALID = 0x81000056;
inline constexpr uint32_t ORVA_E_APP_EXISTS = 0x81000057;
inline constexpr uint32_t ORVA_E_APP_NOT_FOUND = 0x81000058;
inline constexpr uint32_t ORVA_E_USER_LOGGED_IN = 0x81000059;
inline constexpr uint32_t ORVA_E_USER_NOT_LOGGED_IN = 0x8100005A;
inline constexpr uint32_t ORVA_E_FILE_EXISTS = 0x8100005B;
inline constexpr uint32_t ORVA_E_FILE_NOT_FOUND = 0x8100005C;
inline constexpr uint32_t ORVA_E_NO_SPACE = 0x8100005D;
inline constexpr uint32_t ORVA_E_COS_FILE = 0x8100005E;
inline constexpr uint32_t ORVA_E_COS_READ = 0x8100005F;
inline constexpr uint32_t ORVA_E_COS_WRITE = 0x81000060;
inline constexpr uint32_t ORVA_E_INVALID_HANDLE = 0x81000061;
inline constexpr uint32_t ORVA_E_NAME_LEN = 0x81000062;
inline constexpr uint32_t ORVA_E_KEY_USAGE = 0x81000063;
inline constexpr uint32_t ORVA_E_OBJECT = 0x81000064;
inline constexpr uint32_t ORVA_E_MEMORY = 0x81000065;
inline constexpr uint32_t ORVA_E_TIMEOUT = 0x81000066;

// Token errors of the PKCS#11 interface (0x81000080 to 0x810000B7).
inline constexpr uint32_t ORVA_E_P11_SLOT_ID_INVALID = 0x81000080;
inline constexpr uint32_t ORVA_E_P11_NEED_CREATE_THREADS = 0x81000081;
inline constexpr uint32_t ORVA_E_P11_CANT_LOCK = 0x81000082;
inline constexpr uint32_t ORVA_E_P11_ATTRIBUTE_READ_ONLY = 0x81000083;
inline constexpr uint32_t ORVA_E_P11_ATTRIBUTE_SENSITIVE = 0x81000084;
inline constexpr uint32_t ORVA_E_P11_ATTRIBUTE_TYPE_INVALID = 0x81000085;
inline constexpr uint32_t ORVA_E_P11_ATTRIBUTE_VALUE_INVALID = 0x81000086;
inline constexpr uint32_t ORVA_E_P11_DEVICE_ERROR = 0x81000087;
inline constexpr uint32_t ORVA_E_P11_FUNCTION_NOT_PARALLEL = 0x81000088;
inline constexpr uint32_t ORVA_E_P11_KEY_SIZE_RANGE = 0x81000089;
inline constexpr uint32_t ORVA_E_P11_KEY_TYPE_INCONSISTENT = 0x8100008A;
inline constexpr uint32_t ORVA_E_P11_KEY_NOT_NEEDED = 0x8100008B;
inline constexpr uint32_t ORVA_E_P11_KEY_NEEDED = 0x8100008C;
inline constexpr uint32_t ORVA_E_P11_KEY_CHANGED = 0x8100008D;
inline constexpr uint32_t ORVA_E_P11_KEY_NOT_DIGESTIBLE = 0x8100008E;
inline constexpr uint32_t ORVA_E_P11_KEY_FUNCTION_NOT_PERMITTED = 0x8100008F;
inline constexpr uint32_t ORVA_E_P11_KEY_NOT_WRAPPABLE = 0x81000090;
inline constexpr uint32_t ORVA_E_P11_KEY_UNEXTRACTABLE = 0x81000091;
inline constexpr uint32_t ORVA_E_P11_MECHANISM_INVALID = 0x81000092;
inline constexpr uint32_t ORVA_E_P11_MECHANISM_PARAM_INVALID = 0x81000093;
inline constexpr uint32_t ORVA_E_P11_OPERATION_ACTIVE = 0x81000094;
inline constexpr uint32_t ORVA_E_P11_OPERATION_NOT_INITIALIZED = 0x81000095;
inline constexpr uint32_t ORVA_E_P11_SESSION_CLOSED = 0x81000096;
inline constexpr uint32_t ORVA_E_P11_SESSION_COUNT = 0x81000097;
inline constexpr uint32_t ORVA_E_P11_SESSION_HANDLE_INVALID = 0x81000098;
inline constexpr uint32_t ORVA_E_P11_SESSION_PARALLEL_NOT_SUPPORTED = 0x81000099;
inline constexpr uint32_t ORVA_E_P11_SESSION_READ_ONLY = 0x8100009A;
inline constexpr uint32_t ORVA_E_P11_SESSION_EXISTS = 0x8100009B;
inline constexpr uint32_t ORVA_E_P11_SESSION_READ_ONLY_EXISTS = 0x8100009C;
inline constexpr uint32_t ORVA_E_P11_SESSION_READ_WRITE_SO_EXISTS = 0x8100009D;
inline constexpr uint32_t ORVA_E_P11_SIGNATURE_INVALID = 0x8100009E;
inline constexpr uint32_t ORVA_E_P11_SIGNATURE_LEN_RANGE = 0x8100009F;
inline constexpr uint32_t ORVA_E_P11_TEMPLATE_INCOMPLETE = 0x810000A0;
inline constexpr uint32_t ORVA_E_P11_TEMPLATE_INCONSISTENT = 0x810000A1;
inline constexpr uint32_t ORVA_E_P11_TOKEN_NOT_PRESENT = 0x810000A2;
inline constexpr uint32_t ORVA_E_P11_TOKEN_NOT_RECOGNIZED = 0x810000A3;
inline constexpr uint32_t ORVA_E_P11_TOKEN_WRITE_PROTECTED = 0x810000A4;
inline constexpr uint32_t ORVA_E_P11_UNWRAPPING_KEY_HANDLE_INVALID = 0x810000A5;
inline constexpr uint32_t ORVA_E_P11_UNWRAPPING_KEY_SIZE_RANGE = 0x810000A6;
inline constexpr uint32_t ORVA_E_P11_UNWRAPPING_KEY_TYPE_INCONSISTENT = 0x810000A7;
inline constexpr uint32_t ORVA_E_P11_WRAPPED_KEY_INVALID = 0x810000A8;
inline constexpr uint32_t ORVA_E_P11_WRAPPED_KEY_LEN_RANGE = 0x810000A9;
inline constexpr uint32_t ORVA_E_P11_WRAPPING_KEY_HANDLE_INVALID = 0x810000AA;
inline constexpr uint32_t ORVA_E_P11_WRAPPING_KEY_SIZE_RANGE = 0x810000AB;
inline constexpr uint32_t ORVA_E_P11_WRAPPING_KEY_TYPE_INCONSISTENT = 0x810000AC;
inline constexpr uint32_t ORVA_E_P11_USER_ANOTHER_ALREADY_LOGGED_IN = 0x810000AD;
inline constexpr uint32_t ORVA_E_P11_USER_TOO_MANY_TYPES = 0x810000AE;
inline constexpr uint32_t ORVA_E_P11_RANDOM_SEED_NOT_SUPPORTED = 0x810000AF;
inline constexpr uint32_t ORVA_E_P11_RANDOM_NO_RNG = 0x810000B0;
inline constexpr uint32_t ORVA_E_P11_DOMAIN_PARAMS_INVALID = 0x810000B1;
inline constexpr uint32_t ORVA_E_P11_STATE_UNSAVEABLE = 0x810000B2;
inline constexpr uint32_t ORVA_E_P11_SAVED_STATE_INVALID = 0x810000B3;
inline constexpr uint32_t ORVA_E_P11_INFORMATION_SENSITIVE = 0x810000B4;
inline constexpr uint32_t ORVA_E_P11_MUTEX_BAD = 0x810000B5;
inline constexpr uint32_t ORVA_E_P11_MUTEX_NOT_LOCKED = 0x810000B6;
inline constexpr uint32_t ORVA_E_P11_VENDOR_DEFINED = 0x810000B7;

// Crypto library failures.
inline constexpr uint32_t ORVA_E_X509_DECODE = 0x81000100;
inline constexpr uint32_t ORVA_E_X509_PUBKEY = 0x81000101;
inline constexpr uint32_t ORVA_E_X509_PUBKEY_TYPE = 0x81000102;
inline constexpr uint32_t ORVA_E_PKCS7_NEW = 0x81000103;
inline constexpr uint32_t ORVA_E_PKCS7_SET_TYPE = 0x81000104;
inline constexpr uint32_t ORVA_E_PKCS7_DECODE = 0x81000105;
inline constexpr uint32_t ORVA_E_PKCS7_NO_SIGNER = 0x81000106;
inline constexpr uint32_t ORVA_E_SET_OCTET_STRING = 0x81000107;
inline constexpr uint32_t ORVA_E_SET_INTEGER = 0x81000108;
inline constexpr uint32_t ORVA_E_X509_SERIAL = 0x81000109;
inline constexpr uint32_t ORVA_E_DIGEST_INIT = 0x8100010A;
inline constexpr uint32_t ORVA_E_DIGEST_UPDATE = 0x8100010B;
inline constexpr uint32_t ORVA_E_SIGNATURE_VERIFY = 0x8100010C;

// Verification outcomes of time stamps and certificates.
inline constexpr uint32_t ORVA_E_VERIFY_DIGEST = 0x82000001;
inline constexpr uint32_t ORVA_E_VERIFY_TIME = 0x82000002;
inline constexpr uint32_t ORVA_E_VERIFY_SIGNATURE = 0x82000003;
inline constexpr uint32_t ORVA_E_VERIFY_CERT_SIGNATURE = 0x82000004;
inline constexpr uint32_t ORVA_E_VERIFY_CERT_ISSUER = 0x82000005;
inline constexpr uint32_t ORVA_E_VERIFY_CERT_CHAIN = 0x82000006;
inline constexpr uint32_t ORVA_E_VERIFY_CERT = 0x82000007;

// File-system errors (from ConvertLastError).
inline constexpr uint32_t ORVA_E_PATH_NOT_FOUND = 0x83000001;
inline constexpr uint32_t ORVA_E_ACCESS_DENIED = 0x83000002;
inline constexpr uint32_t ORVA_E_SHARING_VIOLATION = 0x83000003;
inline constexpr uint32_t ORVA_E_DIR_NOT_EMPTY = 0x83000004;

// HRESULTs that cross the stream and automation interfaces.
inline constexpr uint32_t ORVA_E_NOTIMPL = 0x80004001;
inline constexpr uint32_t ORVA_E_NOINTERFACE = 0x80004002;

// Platform error number (a Windows error number, see platform/ErrnoMap.h) -> result code.
uint32_t ConvertLastError(uint32_t ulWinError);

// errno of a failed call on `path` -> result code, through the Windows number.
uint32_t ConvertErrno(int err, const char* path = nullptr);
