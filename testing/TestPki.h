#pragma once
// The test PKI generated at build time by testing/pki/make-test-pki.sh: authorities, leaves
// and keys made with the openssl command line. Names are those of the generator's calls
// ("sm2-root", "sm2-sign", "rsa-4096", ...).
#include <cstdint>
#include <string>
#include <vector>

namespace orva::testing {

// Folder of the generated PKI ($ORVA_BINARY_DIR/testing/pki when ctest runs the test, else
// the build tree it was configured for). Aborts the test binary when the folder is not
// complete, so a missing PKI never passes as "no certificates".
std::string TestPkiDir();

// certs/<name>.der and .pem; keys/<key>.pem (private) and keys/<key>.pub.pem.
std::string TestPkiCertPath(const std::string& name, const std::string& ext = "der");
std::string TestPkiKeyPath(const std::string& key, bool bPublic = false);

// The DER bytes of one certificate (empty when missing).
std::vector<uint8_t> TestPkiCertDer(const std::string& name);

struct TestPkiEntry {
  std::string name;    // certificate
  std::string key;     // key it certifies
  std::string issuer;  // issuing certificate (itself when self-signed)
  std::string alg;     // sm2, rsa2048, rsa4096, p256, ed25519
};

// Every certificate of the PKI, in generation order.
std::vector<TestPkiEntry> TestPkiManifest();

}  // namespace orva::testing
