#include "testing/TestPki.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

#include "testing/TestEnv.h"

namespace orva::testing {

std::string TestPkiDir() {
  std::string bin = BinaryDir();
  std::string dir = bin.empty() ? std::string(ORVA_TEST_PKI_DIR) : bin + "/testing/pki";
  struct stat st {};
  if (stat((dir + "/.complete").c_str(), &st) != 0) {
    std::fprintf(stderr, "the test PKI is missing in %s (build the orva_test_pki target)\n",
                 dir.c_str());
    std::abort();
  }
  return dir;
}

std::string TestPkiCertPath(const std::string& name, const std::string& ext) {
  return TestPkiDir() + "/certs/" + name + "." + ext;
}

std::string TestPkiKeyPath(const std::string& key, bool bPublic) {
  return TestPkiDir() + "/keys/" + key + (bPublic ? ".pub.pem" : ".pem");
}

std::vector<uint8_t> TestPkiCertDer(const std::string& name) {
  std::string bytes = ReadFile(TestPkiCertPath(name));
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<TestPkiEntry> TestPkiManifest() {
  std::vector<TestPkiEntry> out;
  std::istringstream in(ReadFile(TestPkiDir() + "/manifest.tsv"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    TestPkiEntry e;
    if (std::getline(fields, e.name, '\t') && std::getline(fields, e.key, '\t') &&
        std::getline(fields, e.issuer, '\t') && std::getline(fields, e.alg, '\t'))
      out.push_back(e);
  }
  return out;
}

}  // namespace orva::testing
