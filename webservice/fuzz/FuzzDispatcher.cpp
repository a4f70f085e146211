// Fuzz entry point: any request body through the command dispatcher. The reply must always
// be one JSON object ending in a line feed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "webservice/ORVAHttpHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CORVAHttpHandler handler(nullptr, nullptr);
  std::string reply;
  handler.ProcessHttpMsg(reply, std::string(reinterpret_cast<const char*>(data), size));
  if (reply.size() < 3 || reply.front() != '{' || reply.back() != '\n') std::abort();
  return 0;
}
