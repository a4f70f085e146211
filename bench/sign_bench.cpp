// Benchmark of signing and envelopes with the software SKF token:
//   1. "sign_message" of 1 KiB: the dispatcher called in this process (the device manager
//      with the soft kit, scripted PIN answers) against the agent over HTTPS keep-alive; the
//      difference is the service's share per request.
//   2. "sign_file" and "encode_file" of a 256 MiB file over HTTPS against raw OpenSSL SM3
//      hashing and SM4-ECB encryption of the same file, read and written in 1 MiB pieces.
// Usage: build/bench/sign_bench [requests] [MiB] [rounds]   (defaults 300, 256 and 3; writes
// build/bench-sign/)
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "devices/core/DeviceManager.h"
#include "devices/skf/GMDeviceProxy.h"
#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "webservice/ORVACertCache.h"
#include "webservice/ORVAHttpHandler.h"
#include "webservice/ORVATlsIdentity.h"
#include "webservice/tests/TlsTestClient.h"

using namespace orva::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPinLine = R"({"dialog":"pin","button":"ok","pin":"demo1234"})";

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void Die(const std::string& why) {
  std::fprintf(stderr, "sign_bench: %s\n", why.c_str());
  std::exit(1);
}

std::string State() {
  return "{\"devices\":[{\"name\":\"Bench01\",\"label\":\"Bench\",\"serial\":\"BENCH0000000001\","
         "\"applications\":[{\"name\":\"ORVA_APP\",\"adminPin\":{\"value\":\"admin1234\"},"
         "\"userPin\":{\"value\":\"demo1234\",\"maxRetry\":10,\"remain\":10},\"containers\":[{\"name\":\"ORVA_ECC_CON\","
         "\"signKeyFile\":\"" + TestPkiKeyPath("sm2-sign") + "\",\"signCertFile\":\"" + TestPkiCertPath("sm2-sign") +
         "\",\"exchKeyFile\":\"" + TestPkiKeyPath("sm2-exch") + "\",\"exchCertFile\":\"" +
         TestPkiCertPath("sm2-exch") + "\"}]}]}]}";
}

void PinAnswers(const std::string& path, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += std::string(kPinLine) + "\n";
  WriteFile(path, text);
  unlink((path + ".log").c_str());
}

std::string Body(const std::string& type, const std::string& members) {
  return "{\"msgType\":\"" + type + "\"," + members + "}";
}

bool IsOk(const std::string& reply) { return reply.find("\"res\":0,") != std::string::npos; }

// Raw OpenSSL over the file in 1 MiB pieces: SM3, or SM4-ECB written to `out`.
double RawSeconds(const std::string& path, bool bEncrypt, const std::string& out) {
  std::ifstream in(path, std::ios::binary);
  std::ofstream dst;
  if (bEncrypt) dst.open(out, std::ios::binary);
  std::vector<unsigned char> buf(1 << 20), enc((1 << 20) + 32);
  unsigned char key[16] = {1, 2, 3};
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  auto t0 = Clock::now();
  if (bEncrypt)
    EVP_EncryptInit_ex(c, EVP_sm4_ecb(), nullptr, key, nullptr);
  else
    EVP_DigestInit_ex(md, EVP_sm3(), nullptr);
  while (in.read(reinterpret_cast<char*>(buf.data()), buf.size()) || in.gcount() > 0) {
    int n = static_cast<int>(in.gcount()), m = 0;
    if (bEncrypt) {
      EVP_EncryptUpdate(c, enc.data(), &m, buf.data(), n);
      dst.write(reinterpret_cast<char*>(enc.data()), m);
    } else {
      EVP_DigestUpdate(md, buf.data(), static_cast<size_t>(n));
    }
  }
  unsigned char tail[64];
  unsigned int tl = 0;
  int el = 0;
  if (bEncrypt) {
    EVP_EncryptFinal_ex(c, tail, &el);
    dst.write(reinterpret_cast<char*>(tail), el);
    dst.close();
  } else {
    EVP_DigestFinal_ex(md, tail, &tl);
  }
  auto t1 = Clock::now();
  EVP_MD_CTX_free(md);
  EVP_CIPHER_CTX_free(c);
  return Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 300;
  const int mib = argc > 2 ? std::atoi(argv[2]) : 256;
  const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);
  // The test PKI and the built programs are found as the tests find them.
  setenv("ORVA_SOURCE_DIR", ORVA_BENCH_SOURCE_DIR, 0);
  setenv("ORVA_BINARY_DIR", ORVA_BENCH_BINARY_DIR, 0);
  const std::string work = BinaryDir() + "/bench-sign";
  RemoveTree(work);
  mkdir(work.c_str(), 0755);
  for (const char* d : {"/machine", "/user", "/files"}) mkdir((work + d).c_str(), 0755);
  const int port = FreeLoopbackPort();
  setenv("ORVADESK_MACHINE_DIR", (work + "/machine").c_str(), 1);
  setenv("ORVADESK_USER_DIR", (work + "/user").c_str(), 1);
  setenv("SOFTSKF_STATE", (work + "/state-local.json").c_str(), 1);
  setenv("ORVADESK_UI_SCRIPT", (work + "/ui-local.jsonl").c_str(), 1);
  WriteFile(work + "/state-local.json", State());
  WriteFile(work + "/state-agent.json", State());
  WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
            "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) +
                ",\"LogEnabled\":0},\"SOFTWARE\\\\ORVA\\\\OrvaDesk\\\\Bench\":{\"SDKName\":\"Bench Kit\","
                "\"Manufacturer\":\"OrvaDesk\",\"DefaultSdkType\":3,\"CSPName\":\"Bench CSP\",\"SKFImage\":\"" +
                BinaryDir() + "/tools/softskf/libsoftskf.so\"}}");

  std::string text(1024, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const std::string signBody = Body("sign_message", "\"keyIndex\":0,\"alg\":2,\"type\":4,\"flags\":0,\"userId\":"
                                                    "\"1234567812345678\",\"text\":\"" + text + "\"");

  // 1a. In this process.
  OrvaRegisterSkfBinding();
  CDeviceManager* pMgr = CDeviceManager::GetInstance();
  uint32_t ulEnum = pMgr->EnumDevices(kOrvaSettingsKey, 1);
  // The kit loads on a thread of its own.
  pMgr->WaitForLoad(10000);
  if (pMgr->GetDevice(0) == nullptr)
    Die("the soft token is not listed in-process: EnumDevices 0x" + std::to_string(ulEnum) + ", " +
        std::to_string(pMgr->GetDeviceCount()) + " devices");
  CORVACertCache cache;
  CORVAHttpHandler handler(pMgr, &cache);
  PinAnswers(work + "/ui-local.jsonl", requests + 5);
  std::string reply;
  for (int i = 0; i < 3; ++i) handler.ProcessHttpMsg(reply, signBody);
  if (!IsOk(reply)) Die("in-process signing failed: " + reply);
  PinAnswers(work + "/ui-local.jsonl", requests + 5);
  auto t0 = Clock::now();
  for (int i = 0; i < requests; ++i) {
    handler.ProcessHttpMsg(reply, signBody);
    if (!IsOk(reply)) Die("in-process signing failed: " + reply);
  }
  double local = Seconds(t0, Clock::now()) / requests;
  CDeviceManager::ReleaseInstance();

  // 1b. The agent over HTTPS keep-alive.
  ChildProcess agent;
  PinAnswers(work + "/ui-agent.jsonl", 2 * requests + 10);
  if (!agent.Start({BinaryDir() + "/app/orvadesk"},
                   {"SOFTSKF_STATE=" + work + "/state-agent.json", "ORVADESK_UI_SCRIPT=" + work + "/ui-agent.jsonl",
                    "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="},
                   work + "/agent.out"))
    Die("the agent did not start");
  if (!WaitForPort(port, 10000)) Die("the agent does not listen: " + ReadFile(work + "/agent.out"));
  ORVA_SERVICE_IDENTITY id;
  if (CORVATlsIdentity::Load(id) != 0) Die("no service identity");
  TlsTestClient client;
  if (!client.Connect(static_cast<uint16_t>(port), CORVATlsIdentity::CertPem(id.strCaB64))) Die("no TLS connection");
  auto post = [&](const std::string& body, int timeoutMs = 5000) {
    std::string head, out;
    if (!client.Send(HttpPost(body)) || !client.ReadResponse(head, out, timeoutMs)) Die("no reply over HTTPS");
    return out;
  };
  for (int i = 0; i < 50 && post(Body("enum_dev", "\"refresh\":0")).find("BENCH") == std::string::npos; ++i)
    usleep(100000);
  for (int i = 0; i < 3; ++i) reply = post(signBody);
  if (!IsOk(reply)) Die("signing over HTTPS failed: " + reply);
  t0 = Clock::now();
  for (int i = 0; i < requests; ++i) {
    reply = post(signBody);
    if (!IsOk(reply)) Die("signing over HTTPS failed: " + reply);
  }
  double https = Seconds(t0, Clock::now()) / requests;
  std::printf("sign_message 1 KiB SM2/SM3 DER, %d requests\n", requests);
  std::printf("  in-process dispatcher   %8.3f ms per request\n", local * 1e3);
  std::printf("  HTTPS keep-alive        %8.3f ms per request\n", https * 1e3);
  std::printf("  service's share         %8.3f ms per request (target <= 1 ms)\n", (https - local) * 1e3);

  // 2. Large files.
  const std::string big = work + "/files/big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (int i = 0; i < mib; ++i) {
      for (size_t j = 0; j < block.size(); j += 64) block[j] = static_cast<char>(i + j);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const double size = static_cast<double>(mib) * (1 << 20);
  std::string cert;
  CStringConvert::BinaryToBase64String(TestPkiCertDer("sm2-exch"), cert);
  // Each row is timed once per round, the rounds interleaved, and its best round is kept: on a
  // shared machine a single pass measures the neighbours as much as the code.
  struct Row {
    const char* name;
    std::string body;  // empty: raw OpenSSL
    int raw;           // the raw row it is compared with, or -1
    double best = 0;
  } rows[] = {
      {"raw SM3", "", -1},
      {"raw SM4-ECB", "", -1},
      {"sign_file (token SM3 + SM2)", Body("sign_file", "\"keyIndex\":0,\"alg\":2,\"type\":4,\"flags\":0,\"userId\":"
                                                        "\"1234567812345678\",\"file\":\"" + big + "\""),
       0},
      {"encode_file (software SM4-ECB)", Body("encode_file", "\"keyIndex\":-1,\"type\":4,\"cert\":\"" + cert +
                                                                 "\",\"src\":\"" + big + "\",\"des\":\"" + work +
                                                                 "/files/big.env\""),
       1},
      {"encode_file (token SM4-ECB)", Body("encode_file", "\"keyIndex\":0,\"type\":4,\"cert\":\"" + cert +
                                                              "\",\"src\":\"" + big + "\",\"des\":\"" + work +
                                                              "/files/big.env\""),
       1},
  };
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < std::size(rows); ++i) {
      Row& row = rows[i];
      double s = 0;
      if (row.body.empty()) {
        s = RawSeconds(big, i == 1, work + "/files/raw.sm4");
      } else {
        t0 = Clock::now();
        reply = post(row.body, 600000);
        s = Seconds(t0, Clock::now());
        if (!IsOk(reply)) Die(std::string(row.name) + " failed: " + reply);
      }
      if (round == 0 || s < row.best) row.best = s;
    }
  }
  unlink((work + "/files/raw.sm4").c_str());
  std::printf("%d MiB file, MiB/s, best of %d rounds (ratio to raw OpenSSL; target >= 0.8)\n", mib, rounds);
  for (const Row& row : rows) {
    std::printf("  %-30s %8.1f", row.name, size / (1 << 20) / row.best);
    if (row.raw >= 0) std::printf("  (%.2f)", rows[row.raw].best / row.best);
    std::printf("\n");
  }
  agent.Signal(SIGTERM);
  agent.Wait(10000, nullptr);
  RemoveTree(work + "/files");
  return 0;
}
