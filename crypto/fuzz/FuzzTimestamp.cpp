// Fuzz entry point: any bytes a page may send as a time-stamp response, through decoding,
// every attribute and the verification (with the bytes' own digest and a page's certificate).
// Nothing may crash, hang or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "crypto/Timestamp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Settings and stores of a fresh empty folder, never the user's own.
  char tmpl[] = "/tmp/orva-fuzz-ts-XXXXXX";
  if (const char* d = mkdtemp(tmpl)) {
    setenv("ORVADESK_USER_DIR", d, 1);
    setenv("ORVADESK_MACHINE_DIR", d, 1);
    setenv("XDG_CACHE_HOME", d, 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  CTimestamp ts;
  if (ts.decode(data, static_cast<uint32_t>(size)) != 0) return 0;
  ORVA_SYSTEMTIME t;
  ts.get_localTime(&t);
  uint8_t imprint[64];
  uint32_t alg = 0, len = sizeof imprint;
  if (ts.get_msgImprint(&alg, imprint, &len) == 0 && len > sizeof imprint) std::abort();
  for (auto get : {&CTimestamp::get_cert, &CTimestamp::get_signature, &CTimestamp::get_timestamp}) {
    len = 0;
    if ((ts.*get)(nullptr, &len) == 0 && len) {
      std::string buf(len, '\0');
      (ts.*get)(reinterpret_cast<uint8_t*>(buf.data()), &len);
    }
  }
  ts.verify(nullptr, 0);
  // The input doubles as the page's TSA certificate and as the digest to compare.
  ts.verify(data, static_cast<uint32_t>(size));
  ts.verify(data, size < 32 ? static_cast<uint32_t>(size) : 32u, data, static_cast<uint32_t>(size));
  return 0;
}
