// orvactl: sends one JSON command and prints the reply exactly as the agent wrote it.
//   orvactl --local '<json>'     run it through the dispatcher in this process
//   orvactl --local              the same, body read from standard input
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "foundation/LogFile.h"
#include "webservice/ORVAHttpHandler.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: orvactl --local ['<json>']\n"
               "       (without the JSON text the body is read from standard input)\n");
  return 2;
}

std::string ReadStdin() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

int RunLocal(const std::string& body) {
  InitLogFromMachineSettings();
  CORVAHttpHandler handler(nullptr, nullptr);
  handler.SetCallerOrigin(std::nullopt);  // a local program has no origin
  std::string reply;
  handler.ProcessHttpMsg(reply, body);
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--local") == 0) {
    if (argc == 2) return RunLocal(ReadStdin());
    if (argc == 3) return RunLocal(argv[2]);
    return Usage();
  }
  return Usage();
}
