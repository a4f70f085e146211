#pragma once
// Downloads over HTTP and HTTPS, shared by the revocation lists, the updater and the usage
// reports. libcurl is reached only here. Every transfer:
//   - goes direct (no proxy from the environment or anywhere else), http and https only,
//     without following redirects;
//   - is bounded: connecting within ulConnectTimeoutMs, the whole transfer within
//     ulTotalTimeoutMs, the body within ullMaxBytes;
//   - counts only with HTTP status 200 (libcurl itself calls a 404 a success).
// Safe to call from any thread; each call uses its own connection.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ORVA_HTTP_OPTIONS {
  uint32_t ulConnectTimeoutMs = 3000;
  uint32_t ulTotalTimeoutMs = 10000;
  uint64_t ullMaxBytes = 64ull << 20;
  // When set and true, the transfer stops (0x81000007) at the next progress tick.
  const std::atomic<bool>* pbCancel = nullptr;
};

// What happened, for log lines and callers that report progress.
struct ORVA_HTTP_RESULT {
  long lHttpStatus = 0;           // 0 when no answer came
  int iCurlCode = 0;              // libcurl's own code
  int64_t llContentLength = -1;   // as announced by the server, -1 when unknown
  uint64_t ullReceived = 0;       // body bytes delivered
  std::string strError;           // libcurl's text for a failure
};

class CORVAHttpDownload {
 public:
  // Receives the body piece by piece (only for status 200); false stops the transfer with
  // 0x81000007.
  using Sink = std::function<bool(const uint8_t* pbData, size_t ulLen)>;

  // GET into memory. Results: 0; 0x81000004 empty or malformed address, other scheme;
  // 0x81000066 a time-out; 0x8100000A a body over the limit; 0x81000007 cancelled;
  // 0x81000019 no connection, a status other than 200, or any other transfer failure.
  static uint32_t Get(const std::string& strUrl, std::vector<uint8_t>& body,
                      const ORVA_HTTP_OPTIONS& opts = {}, ORVA_HTTP_RESULT* pResult = nullptr);
  // GET into a sink (files, progress), with the same results.
  static uint32_t Get(const std::string& strUrl, const Sink& sink, const ORVA_HTTP_OPTIONS& opts = {},
                      ORVA_HTTP_RESULT* pResult = nullptr);

  // The one table from libcurl's codes to the program's.
  static uint32_t ConvertCurlCode(int iCurlCode);
};
