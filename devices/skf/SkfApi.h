#pragma once
/*
 * The GM/T 0016 token interface (SKF) as both sides of the binding see it: the types,
 * packed structures, constants and result codes of the standard, and one function-pointer
 * type per SKF function the program calls. The program's binding (devices/skf) and the
 * software token (tools/softskf) both include this header, so one definition holds for the
 * library and its caller.
 *
 * Integer widths: the standard's ULONG, DWORD and BOOL are 32-bit and stay 32-bit on 64-bit
 * Linux (a vendor library built with 64-bit `unsigned long` would need a different typedef
 * here, in this one place). Handles are pointers. Structures are packed to 1 byte.
 *
 * Also the three entry points of the HaiTai serial-number library (GEAImage), which the
 * binding loads next to the SKF library of HaiTai kits.
 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEVAPI

typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t FLAGS;
typedef CHAR* LPSTR;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Field sizes of the standard. */
#define MAX_IV_LEN 32
#define MAX_FILE_NAME_SIZE 32
#define MAX_FILE_CONTAINER_NAME_SIZE 64
#define MAX_RSA_MODULUS_LEN 256
#define MAX_RSA_EXPONENT_LEN 4
#define ECC_MAX_XCOORDINATE_BITS_LEN 512
#define ECC_MAX_YCOORDINATE_BITS_LEN 512
#define ECC_MAX_MODULUS_BITS_LEN 512

/* Algorithm identifiers (GM/T 0006); the AES values have no GM/T name. */
#define SGD_SM1_ECB 0x00000101
#define SGD_SM1_CBC 0x00000102
#define SGD_SSF33_ECB 0x00000201
#define SGD_SSF33_CBC 0x00000202
#define SGD_SM4_ECB 0x00000401
#define SGD_SM4_CBC 0x00000402
#define SGD_SM4_MAC 0x00000410
#define SGD_AES128_CBC 0x00000501
#define SGD_AES128_ECB 0x00000502
#define SGD_AES192_CBC 0x00000504
#define SGD_AES192_ECB 0x00000508
#define SGD_AES256_CBC 0x00000510
#define SGD_AES256_ECB 0x00000511
#define SGD_RSA 0x00010000
#define SGD_SM2_1 0x00020100 /* signature */
#define SGD_SM2_2 0x00020200 /* key exchange */
#define SGD_SM2_3 0x00020400 /* encryption */
#define SGD_SM3 0x00000001
#define SGD_SHA1 0x00000002
#define SGD_MD5 0x00000003 /* as the program passes it */
#define SGD_SHA256 0x00000004

/* Device events of SKF_WaitForDevEvent. */
#define SKF_DEV_EVENT_INSERTED 1
#define SKF_DEV_EVENT_REMOVED 2

/* PIN types. */
#define ADMIN_TYPE 0
#define USER_TYPE 1

/* Container types of SKF_GetContainerType. */
#define SKF_CONTAINER_EMPTY 0
#define SKF_CONTAINER_RSA 1
#define SKF_CONTAINER_ECC 2

/* Access rights of files and applications. */
#define SECURE_NEVER_ACCOUNT 0x00000000
#define SECURE_ADM_ACCOUNT 0x00000001
#define SECURE_USER_ACCOUNT 0x00000010
#define SECURE_ANYONE_ACCOUNT 0x000000FF

/* Result codes. */
#define SAR_OK 0x00000000
#define SAR_FAIL 0x0A000001
#define SAR_UNKNOWNERR 0x0A000002
#define SAR_NOTSUPPORTYETERR 0x0A000003
#define SAR_FILEERR 0x0A000004
#define SAR_INVALIDHANDLEERR 0x0A000005
#define SAR_INVALIDPARAMERR 0x0A000006
#define SAR_READFILEERR 0x0A000007
#define SAR_WRITEFILEERR 0x0A000008
#define SAR_NAMELENERR 0x0A000009
#define SAR_KEYUSAGEERR 0x0A00000A
#define SAR_MODULUSLENERR 0x0A00000B
#define SAR_NOTINITIALIZEERR 0x0A00000C
#define SAR_OBJERR 0x0A00000D
#define SAR_MEMORYERR 0x0A00000E
#define SAR_TIMEOUTERR 0x0A00000F
#define SAR_INDATALENERR 0x0A000010
#define SAR_INDATAERR 0x0A000011
#define SAR_GENRANDERR 0x0A000012
#define SAR_HASHOBJERR 0x0A000013
#define SAR_HASHERR 0x0A000014
#define SAR_GENRSAKEYERR 0x0A000015
#define SAR_RSAMODULUSLENERR 0x0A000016
#define SAR_CSPIMPRTPUBKEYERR 0x0A000017
#define SAR_RSAENCERR 0x0A000018
#define SAR_RSADECERR 0x0A000019
#define SAR_HASHNOTEQUALERR 0x0A00001A
#define SAR_KEYNOTFOUNTERR 0x0A00001B
#define SAR_CERTNOTFOUNTERR 0x0A00001C
#define SAR_NOTEXPORTERR 0x0A00001D
#define SAR_DECRYPTPADERR 0x0A00001E
#define SAR_MACLENERR 0x0A00001F
#define SAR_BUFFER_TOO_SMALL 0x0A000020
#define SAR_KEYINFOTYPEERR 0x0A000021
#define SAR_NOT_EVENTERR 0x0A000022
#define SAR_DEVICE_REMOVED 0x0A000023
#define SAR_PIN_INCORRECT 0x0A000024
#define SAR_PIN_LOCKED 0x0A000025
#define SAR_PIN_INVALID 0x0A000026
#define SAR_PIN_LEN_RANGE 0x0A000027
#define SAR_USER_ALREADY_LOGGED_IN 0x0A000028
#define SAR_USER_PIN_NOT_INITIALIZED 0x0A000029
#define SAR_USER_TYPE_INVALID 0x0A00002A
#define SAR_APPLICATION_NAME_INVALID 0x0A00002B
#define SAR_APPLICATION_EXISTS 0x0A00002C
#define SAR_USER_NOT_LOGGED_IN 0x0A00002D
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002E
#define SAR_FILE_ALREADY_EXIST 0x0A00002F
#define SAR_NO_ROOM 0x0A000030
#define SAR_FILE_NOT_EXIST 0x0A000031

#pragma pack(push, 1)

typedef struct Struct_Version {
  BYTE major;
  BYTE minor;
} VERSION;

typedef struct Struct_DEVINFO {
  VERSION Version;
  CHAR Manufacturer[64];
  CHAR Issuer[64];
  CHAR Label[32];
  CHAR SerialNumber[32];
  VERSION HWVersion;
  VERSION FirmwareVersion;
  ULONG AlgSymCap;
  ULONG AlgAsymCap;
  ULONG AlgHashCap;
  ULONG DevAuthAlgId;
  ULONG TotalSpace;
  ULONG FreeSpace;
  ULONG MaxECCBufferSize;
  ULONG MaxBufferSize;
  BYTE Reserved[64];
} DEVINFO, *PDEVINFO;

typedef struct Struct_RSAPUBLICKEYBLOB {
  ULONG AlgID;
  ULONG BitLen;
  BYTE Modulus[MAX_RSA_MODULUS_LEN];       /* big-endian, right-aligned */
  BYTE PublicExponent[MAX_RSA_EXPONENT_LEN]; /* big-endian */
} RSAPUBLICKEYBLOB, *PRSAPUBLICKEYBLOB;

typedef struct Struct_RSAPRIVATEKEYBLOB {
  ULONG AlgID;
  ULONG BitLen;
  BYTE Modulus[MAX_RSA_MODULUS_LEN];
  BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
  BYTE PrivateExponent[MAX_RSA_MODULUS_LEN];
  BYTE Prime1[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime2[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime1Exponent[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime2Exponent[MAX_RSA_MODULUS_LEN / 2];
  BYTE Coefficient[MAX_RSA_MODULUS_LEN / 2];
} RSAPRIVATEKEYBLOB, *PRSAPRIVATEKEYBLOB;

/* Coordinates are 64-byte fields holding the 32-byte SM2 values right-aligned. */
typedef struct Struct_ECCPUBLICKEYBLOB {
  ULONG BitLen;
  BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
} ECCPUBLICKEYBLOB, *PECCPUBLICKEYBLOB;

typedef struct Struct_ECCPRIVATEKEYBLOB {
  ULONG BitLen;
  BYTE PrivateKey[ECC_MAX_MODULUS_BITS_LEN / 8];
} ECCPRIVATEKEYBLOB, *PECCPRIVATEKEYBLOB;

/* Variable length: 164 + CipherLen bytes. A caller that receives one (SKF_ECCExportSessionKey)
 * provides room for 164 bytes plus the wrapped key (at most 32 bytes for the ciphers here). */
typedef struct Struct_ECCCIPHERBLOB {
  BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE YCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE HASH[32];
  ULONG CipherLen;
  BYTE Cipher[1];
} ECCCIPHERBLOB, *PECCCIPHERBLOB;

typedef struct Struct_ECCSIGNATUREBLOB {
  BYTE r[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE s[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
} ECCSIGNATUREBLOB, *PECCSIGNATUREBLOB;

typedef struct Struct_BLOCKCIPHERPARAM {
  BYTE IV[MAX_IV_LEN];
  ULONG IVLen;
  ULONG PaddingType; /* 0 none, 1 PKCS#5 */
  ULONG FeedBitLen;
} BLOCKCIPHERPARAM, *PBLOCKCIPHERPARAM;

/* An exchange key pair protected for import: the private key encrypted with a symmetric key,
 * which is wrapped to the container's signature key. Variable length: 372 + CipherLen. */
typedef struct SKF_ENVELOPEDKEYBLOB {
  ULONG Version;
  ULONG ulSymmAlgID;
  ULONG ulBits;
  BYTE cbEncryptedPriKey[64];
  ECCPUBLICKEYBLOB PubKey;
  ECCCIPHERBLOB ECCCipherBlob;
} ENVELOPEDKEYBLOB, *PENVELOPEDKEYBLOB;

#pragma pack(pop)

/* Sizes the binding relies on (NOTES: measured against the standard's header). */
#define SKF_DEVINFO_SIZE 294
#define SKF_ECCPUBLICKEYBLOB_SIZE 132
#define SKF_ECCCIPHERBLOB_HEADER 164
#define SKF_ENVELOPEDKEYBLOB_HEADER 372
#define SKF_RSAPUBLICKEYBLOB_SIZE 268
#define SKF_BLOCKCIPHERPARAM_SIZE 44

#ifdef __cplusplus
static_assert(sizeof(DEVINFO) == SKF_DEVINFO_SIZE, "DEVINFO");
static_assert(sizeof(ECCPUBLICKEYBLOB) == SKF_ECCPUBLICKEYBLOB_SIZE, "ECCPUBLICKEYBLOB");
static_assert(offsetof(ECCCIPHERBLOB, Cipher) == SKF_ECCCIPHERBLOB_HEADER, "ECCCIPHERBLOB");
static_assert(offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob) + SKF_ECCCIPHERBLOB_HEADER ==
                  SKF_ENVELOPEDKEYBLOB_HEADER,
              "ENVELOPEDKEYBLOB");
static_assert(sizeof(RSAPUBLICKEYBLOB) == SKF_RSAPUBLICKEYBLOB_SIZE, "RSAPUBLICKEYBLOB");
static_assert(sizeof(BLOCKCIPHERPARAM) == SKF_BLOCKCIPHERPARAM_SIZE, "BLOCKCIPHERPARAM");
static_assert(sizeof(ECCSIGNATUREBLOB) == 128, "ECCSIGNATUREBLOB");
#endif

/*
 * The SKF functions the program calls, as exported by a vendor library, each listed once as
 * X(name, parameter list) (every one returns ULONG); the binding builds its function table
 * and the software token checks its definitions against the same list.
 */
#define SKF_FUNCTION_LIST(X)                                                                  \
  X(SKF_WaitForDevEvent, (LPSTR szDevName, ULONG * pulDevNameLen, ULONG * pulEvent))          \
  X(SKF_CancelWaitForDevEvent, (void))                                                        \
  X(SKF_EnumDev, (BOOL bPresent, LPSTR szNameList, ULONG * pulSize))                          \
  X(SKF_ConnectDev, (LPSTR szName, DEVHANDLE * phDev))                                        \
  X(SKF_DisConnectDev, (DEVHANDLE hDev))                                                      \
  X(SKF_GetDevInfo, (DEVHANDLE hDev, DEVINFO * pDevInfo))                                     \
  X(SKF_SetLabel, (DEVHANDLE hDev, LPSTR szLabel))                                            \
  X(SKF_DevAuth, (DEVHANDLE hDev, BYTE * pbAuthData, ULONG ulLen))                            \
  X(SKF_CreateApplication,                                                                    \
    (DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, DWORD dwAdminPinRetryCount,           \
     LPSTR szUserPin, DWORD dwUserPinRetryCount, DWORD dwCreateFileRights,                    \
     HAPPLICATION * phApplication))                                                           \
  X(SKF_EnumApplication, (DEVHANDLE hDev, LPSTR szAppName, ULONG * pulSize))                  \
  X(SKF_DeleteApplication, (DEVHANDLE hDev, LPSTR szAppName))                                 \
  X(SKF_OpenApplication, (DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION * phApplication))     \
  X(SKF_CloseApplication, (HAPPLICATION hApplication))                                        \
  X(SKF_GetPINInfo, (HAPPLICATION hApplication, ULONG ulPINType, ULONG * pulMaxRetryCount,    \
                     ULONG * pulRemainRetryCount, BOOL * pbDefaultPin))                       \
  X(SKF_VerifyPIN,                                                                            \
    (HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG * pulRetryCount))         \
  X(SKF_ChangePIN, (HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin,               \
                    LPSTR szNewPin, ULONG * pulRetryCount))                                   \
  X(SKF_UnblockPIN, (HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN,         \
                     ULONG * pulRetryCount))                                                  \
  X(SKF_ClearSecureState, (HAPPLICATION hApplication))                                        \
  X(SKF_CreateContainer,                                                                      \
    (HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER * phContainer))             \
  X(SKF_DeleteContainer, (HAPPLICATION hApplication, LPSTR szContainerName))                  \
  X(SKF_OpenContainer,                                                                        \
    (HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER * phContainer))             \
  X(SKF_CloseContainer, (HCONTAINER hContainer))                                              \
  X(SKF_EnumContainer, (HAPPLICATION hApplication, LPSTR szContainerName, ULONG * pulSize))   \
  X(SKF_GetContainerType, (HCONTAINER hContainer, ULONG * pulContainerType))                  \
  X(SKF_GetConProperty, (HCONTAINER hContainer, ULONG * pulConProperty))                      \
  X(SKF_ImportCertificate, (HCONTAINER hContainer, BOOL bSignFlag, BYTE * pbCert, ULONG ulCertLen)) \
  X(SKF_ExportCertificate,                                                                    \
    (HCONTAINER hContainer, BOOL bSignFlag, BYTE * pbCert, ULONG * pulCertLen))               \
  X(SKF_ExportPublicKey, (HCONTAINER hContainer, BOOL bSignFlag, BYTE * pbBlob, ULONG * pulBlobLen)) \
  X(SKF_GenECCKeyPair, (HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB * pBlob))      \
  X(SKF_ImportECCKeyPair, (HCONTAINER hContainer, PENVELOPEDKEYBLOB pEnvelopedKeyBlob))       \
  X(SKF_GenRSAKeyPair, (HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB * pBlob))    \
  X(SKF_ECCSignData,                                                                          \
    (HCONTAINER hContainer, BYTE * pbData, ULONG ulDataLen, PECCSIGNATUREBLOB pSignature))    \
  X(SKF_ECCVerify, (DEVHANDLE hDev, ECCPUBLICKEYBLOB * pECCPubKeyBlob, BYTE * pbData,         \
                    ULONG ulDataLen, PECCSIGNATUREBLOB pSignature))                           \
  X(SKF_RSASignData, (HCONTAINER hContainer, BYTE * pbData, ULONG ulDataLen,                  \
                      BYTE * pbSignature, ULONG * pulSignLen))                                \
  X(SKF_RSAVerify, (DEVHANDLE hDev, RSAPUBLICKEYBLOB * pRSAPubKeyBlob, BYTE * pbData,         \
                    ULONG ulDataLen, BYTE * pbSignature, ULONG ulSignLen))                    \
  X(SKF_ECCExportSessionKey, (HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB * pPubKey, \
                              PECCCIPHERBLOB pData, HANDLE * phSessionKey))                   \
  X(SKF_RSAExportSessionKey,                                                                  \
    (HCONTAINER hContainer, ULONG ulAlgId, RSAPUBLICKEYBLOB * pPubKey, BYTE * pbData,         \
     ULONG * pulDataLen, HANDLE * phSessionKey))                                              \
  X(SKF_ImportSessionKey, (HCONTAINER hContainer, ULONG ulAlgId, BYTE * pbWrapedData,         \
                           ULONG ulWrapedLen, HANDLE * phKey))                                \
  X(SKF_GenRandom, (DEVHANDLE hDev, BYTE * pbRandom, ULONG ulRandomLen))                      \
  X(SKF_SetSymmKey, (DEVHANDLE hDev, BYTE * pbKey, ULONG ulAlgID, HANDLE * phKey))            \
  X(SKF_EncryptInit, (HANDLE hKey, BLOCKCIPHERPARAM EncryptParam))                            \
  X(SKF_Encrypt, (HANDLE hKey, BYTE * pbData, ULONG ulDataLen, BYTE * pbEncryptedData,        \
                  ULONG * pulEncryptedLen))                                                   \
  X(SKF_EncryptUpdate, (HANDLE hKey, BYTE * pbData, ULONG ulDataLen, BYTE * pbEncryptedData,  \
                        ULONG * pulEncryptedLen))                                             \
  X(SKF_EncryptFinal, (HANDLE hKey, BYTE * pbEncryptedData, ULONG * pulEncryptedDataLen))     \
  X(SKF_DecryptInit, (HANDLE hKey, BLOCKCIPHERPARAM DecryptParam))                            \
  X(SKF_Decrypt, (HANDLE hKey, BYTE * pbEncryptedData, ULONG ulEncryptedLen, BYTE * pbData,   \
                  ULONG * pulDataLen))                                                        \
  X(SKF_DecryptUpdate, (HANDLE hKey, BYTE * pbEncryptedData, ULONG ulEncryptedLen,            \
                        BYTE * pbData, ULONG * pulDataLen))                                   \
  X(SKF_DecryptFinal, (HANDLE hKey, BYTE * pbDecryptedData, ULONG * pulDecryptedDataLen))     \
  X(SKF_CloseHandle, (HANDLE hHandle))                                                        \
  X(SKF_DigestInit, (DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB * pPubKey,               \
                     unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash))                    \
  X(SKF_DigestUpdate, (HANDLE hHash, BYTE * pbData, ULONG ulDataLen))                         \
  X(SKF_DigestFinal, (HANDLE hHash, BYTE * pHashData, ULONG * pulHashLen))

#define SKF_DECLARE_PFN(name, params) typedef ULONG(DEVAPI* PFN_##name) params;
SKF_FUNCTION_LIST(SKF_DECLARE_PFN)
#undef SKF_DECLARE_PFN

/* The HaiTai serial-number library (GEAImage): connect by SKF device name, read the
 * device serial number (DSN), disconnect. */
typedef ULONG(DEVAPI* PFN_HSConnectDev)(const char* szDevName, HANDLE* phCard);
typedef ULONG(DEVAPI* PFN_HSDisconnectDev)(HANDLE hCard);
typedef ULONG(DEVAPI* PFN_HSReadDSN)(HANDLE hCard, BYTE* pbDSN, ULONG* pulDSNLen);

#ifdef __cplusplus
}
#endif
