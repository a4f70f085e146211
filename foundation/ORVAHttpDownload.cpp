#include "foundation/ORVAHttpDownload.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

struct EasyDeleter {
  void operator()(CURL* h) const {
    if (h) curl_easy_cleanup(h);
  }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;

// libcurl's global state must be set up once, before any handle exists.
void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  CURL* handle = nullptr;
  const CORVAHttpDownload::Sink* sink = nullptr;
  const ORVA_HTTP_OPTIONS* opts = nullptr;
  uint64_t received = 0;
  bool tooLarge = false;
  bool notOk = false;
  bool sinkStopped = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
  // An error page is never handed on as a document.
  if (status != 200) {
    t->notOk = true;
    return CURL_WRITEFUNC_ERROR;
  }
  if (n > t->opts->ullMaxBytes - t->received) {
    t->tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  if (n == 0) return 0;
  if (!(*t->sink)(reinterpret_cast<const uint8_t*>(data), n)) {
    t->sinkStopped = true;
    return CURL_WRITEFUNC_ERROR;
  }
  t->received += n;
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->opts->pbCancel && t->opts->pbCancel->load() ? 1 : 0;
}

}  // namespace

uint32_t CORVAHttpDownload::ConvertCurlCode(int iCurlCode) {
  static const struct {
    int curl;
    uint32_t orva;
  } kTable[] = {
      {CURLE_OK, ORVA_OK},
      {CURLE_UNSUPPORTED_PROTOCOL, ORVA_E_INVALID_PARAM},
      {CURLE_URL_MALFORMAT, ORVA_E_INVALID_PARAM},
      {CURLE_OPERATION_TIMEDOUT, ORVA_E_TIMEOUT},
      {CURLE_FILESIZE_EXCEEDED, ORVA_E_DATA_TOO_LONG},
      {CURLE_OUT_OF_MEMORY, ORVA_E_MEMORY},
      {CURLE_ABORTED_BY_CALLBACK, ORVA_E_CANCELLED},
      {CURLE_COULDNT_RESOLVE_HOST, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_COULDNT_CONNECT, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_HTTP_RETURNED_ERROR, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_GOT_NOTHING, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_RECV_ERROR, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_SEND_ERROR, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_PEER_FAILED_VERIFICATION, ORVA_E_DOWNLOAD_MISSING},
      {CURLE_SSL_CONNECT_ERROR, ORVA_E_DOWNLOAD_MISSING},
  };
  for (const auto& row : kTable)
    if (row.curl == iCurlCode) return row.orva;
  return ORVA_E_DOWNLOAD_MISSING;
}

uint32_t CORVAHttpDownload::Get(const std::string& strUrl, std::vector<uint8_t>& body,
                                const ORVA_HTTP_OPTIONS& opts, ORVA_HTTP_RESULT* pResult) {
  std::vector<uint8_t> got;
  Sink sink = [&got](const uint8_t* p, size_t n) {
    got.insert(got.end(), p, p + n);
    return true;
  };
  uint32_t ulRes = Get(strUrl, sink, opts, pResult);
  if (ulRes == ORVA_OK) body.swap(got);
  return ulRes;
}

uint32_t CORVAHttpDownload::Get(const std::string& strUrl, const Sink& sink, const ORVA_HTTP_OPTIONS& opts,
                                ORVA_HTTP_RESULT* pResult) {
  ORVA_LOG_BEGIN();
  ORVA_HTTP_RESULT local;
  ORVA_HTTP_RESULT& r = pResult ? *pResult : local;
  r = ORVA_HTTP_RESULT();
  if (strUrl.empty()) {
    ORVA_LOG_ERROR("lpcsURL is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  GlobalInit();
  EasyPtr h(curl_easy_init());
  if (!h) {
    ORVA_LOG_ERROR("curl_easy_init() failed!");
    return ORVA_E_MEMORY;
  }
  Transfer t;
  t.handle = h.get();
  t.sink = &sink;
  t.opts = &opts;
  char errbuf[CURL_ERROR_SIZE] = {};
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_URL, strUrl.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  // Direct connections only: neither the environment's proxy variables nor a default proxy.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  // No signals from the resolver: transfers run on worker threads.
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(opts.ulConnectTimeoutMs));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(opts.ulTotalTimeoutMs));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(opts.ullMaxBytes));
  curl_easy_setopt(c, CURLOPT_USERAGENT, "OrvaDesk/" ORVA_VERSION_TEXT);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

  CURLcode rc = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.lHttpStatus);
  curl_off_t cl = -1;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &cl) == CURLE_OK) r.llContentLength = cl;
  r.iCurlCode = rc;
  r.ullReceived = t.received;
  r.strError = errbuf[0] ? errbuf : curl_easy_strerror(rc);

  uint32_t ulRes;
  if (t.notOk || (rc == CURLE_OK && r.lHttpStatus != 200)) {
    ORVA_LOG_ERROR("HTTP status is not OK! dwHttpStatus=%ld, url=%s", r.lHttpStatus, strUrl.c_str());
    return ORVA_E_DOWNLOAD_MISSING;
  } else if (t.tooLarge) {
    ulRes = ORVA_E_DATA_TOO_LONG;
  } else if (t.sinkStopped) {
    ulRes = ORVA_E_CANCELLED;
  } else {
    ulRes = ConvertCurlCode(rc);
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("curl_easy_perform() failed! ulRes=0x%x, code=%d (%s), url=%s", ulRes, static_cast<int>(rc),
                   r.strError.c_str(), strUrl.c_str());
    return ulRes;
  }
  ORVA_LOG_INFO("Download size:0x%llx", static_cast<unsigned long long>(t.received));
  ORVA_LOG_END();
  return ORVA_OK;
}
