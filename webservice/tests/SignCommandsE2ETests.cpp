// Signing, verification and envelope commands end to end: the agent as a process with the
// software SKF token, HTTPS requests from a page origin, PIN answers from the scripted user
// interface. Every signature the token makes is checked from outside: `openssl pkeyutl`
// with the identity for raw and DER forms, sm-crypto under node for PKCS#7; envelopes that
// the token seals are opened by the openssl command line with the exchange key.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "webservice/tests/AgentHarness.h"

using namespace orva::testing;
using namespace orva::testing::agent;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kUserId = "1234567812345678";
constexpr const char* kPin = R"({"dialog":"pin","button":"ok","pin":"demo1234"})";
constexpr uint32_t kBadInput = 0x8100000E, kInvalidParam = 0x81000004, kInvalidCall = 0x8100000B;

Bytes FromB64(const std::string& b64) {
  Bytes out;
  CStringConvert::Base64StringToBinary(b64, out);
  return out;
}

std::string ToB64(const Bytes& bytes) {
  std::string out;
  CStringConvert::BinaryToBase64String(bytes, out);
  return out;
}

std::string ToB64(const std::string& text) { return ToB64(Bytes(text.begin(), text.end())); }

void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

Bytes ReadBytes(const std::string& path) {
  std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

// DER INTEGER of an unsigned big-endian value.
Bytes DerInteger(Bytes v) {
  while (v.size() > 1 && v[0] == 0 && !(v[1] & 0x80)) v.erase(v.begin());
  if (v[0] & 0x80) v.insert(v.begin(), 0);
  Bytes out = {0x02, static_cast<uint8_t>(v.size())};
  out.insert(out.end(), v.begin(), v.end());
  return out;
}

// The GM/T 0016 signature blob (r and s right-aligned in 64-byte fields) as DER.
Bytes RawToDer(const Bytes& raw) {
  Bytes r(raw.begin() + 32, raw.begin() + 64), s(raw.begin() + 96, raw.begin() + 128);
  Bytes body = DerInteger(r), si = DerInteger(s);
  body.insert(body.end(), si.begin(), si.end());
  Bytes out = {0x30, static_cast<uint8_t>(body.size())};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

class SignCommands : public AgentFixture {
 protected:
  static void SetUpTestSuite() {
    // Pages reach the files below "files" only.
    s_files = TestRoot() + "/sign-files";
    mkdir(s_files.c_str(), 0755);
    Json::Value extra(Json::objectValue);
    extra["FileAccessRoots"] = s_files;
    s_extraSettings = extra;
    AgentFixture::SetUpTestSuite();
  }

  // One command from the page origin.
  static Json::Value Page(const Json::Value& req) { return Cmd(req, kOrigin); }

  // openssl pkeyutl over the message with SM3, Z from the identity; the verdict line.
  static bool OpensslVerifies(const Bytes& message, const Bytes& derSig, const std::string& cert,
                              const std::string& userId = kUserId) {
    std::string dir = MakeTempDir("ossl");
    WriteBytes(dir + "/m", message);
    WriteBytes(dir + "/s", derSig);
    std::string out;
    int rc = RunProgram({"openssl", "pkeyutl", "-verify", "-rawin", "-digest", "sm3", "-certin", "-inkey",
                         TestPkiCertPath(cert, "pem"), "-in", dir + "/m", "-sigfile", dir + "/s", "-pkeyopt",
                         "distid:" + userId},
                        out, 20000);
    RemoveTree(dir);
    return rc == 0 && out.find("Signature Verified Successfully") != std::string::npos;
  }

  // sm-crypto's check of an SM2 PKCS#7 signature of sm2-sign (content given when detached).
  static std::string NodeVerifiesP7(const Bytes& p7, const Bytes& content) {
    std::string dir = MakeTempDir("p7");
    WriteBytes(dir + "/p7", p7);
    WriteBytes(dir + "/cert", TestPkiCertDer("sm2-sign"));
    std::vector<std::string> argv = {"node", SourceDir() + "/crypto/tests/sm2-p7-verify.js", dir + "/p7", "",
                                     dir + "/cert"};
    if (!content.empty()) {
      WriteBytes(dir + "/c", content);
      argv[3] = dir + "/c";
    }
    std::string out;
    // The token path's message-digest attribute is SM3 with Z over the content.
    int rc = RunProgram(argv, out, 20000, {"NODE_PATH=" + SourceDir() + "/testing/node_modules", "SM2_Z_DIGEST=1"});
    RemoveTree(dir);
    return std::to_string(rc) + " " + out;
  }

  static size_t PinPrompts(size_t from) {
    size_t n = 0;
    for (const auto& r : UiRecords(from)) n += r["dialog"].asString() == "pin";
    return n;
  }

  static inline std::string s_files;
};

// Every signature type and flag combination of the SM2 token: checked from outside, by
// "verify_message" in software and on the token, and described by the two inspection
// commands. Each signing asks for the PIN again.
TEST_F(SignCommands, SignMessageEveryFormVerifiesOutside) {
  const std::string text = "签名 the text, 1 KiB or so";
  const Bytes bytes(text.begin(), text.end());
  struct Row {
    int type, flags;
  } rows[] = {{3, 0}, {4, 0}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 7}};
  for (const Row& row : rows) {
    SCOPED_TRACE("type " + std::to_string(row.type) + " flags " + std::to_string(row.flags));
    size_t mark = Mark();
    Answer({kPin});
    Json::Value r = Page(Req("sign_message", {{"keyIndex", 0}, {"alg", 0}, {"type", row.type},
                                              {"flags", row.flags}, {"text", text}, {"userId", kUserId}}));
    ASSERT_EQ(Res(r), kOk) << Compact(r);
    EXPECT_EQ(r["respType"].asString(), "sign_message_resp");
    EXPECT_EQ(PinPrompts(mark), 1u) << Asked(mark);
    EXPECT_EQ(UiRecords(mark).at(0)["origin"].asString(), kOrigin);
    Bytes sig = FromB64(r["sign"].asString());

    if (row.type == 3) {
      ASSERT_EQ(sig.size(), 128u);
      EXPECT_TRUE(OpensslVerifies(bytes, RawToDer(sig), "sm2-sign"));
    } else if (row.type == 4) {
      EXPECT_TRUE(OpensslVerifies(bytes, sig, "sm2-sign"));
    } else {
      bool attached = row.flags & 2;
      std::string verdict = NodeVerifiesP7(sig, attached ? Bytes() : bytes);
      EXPECT_EQ(verdict.substr(0, 4), "0 OK") << verdict;
    }

    const std::string cert = (row.type == 2 && (row.flags & 1)) ? "" : CertB64("sm2-sign");
    for (int keyIndex : {-1, 0}) {
      Json::Value v = Page(Req("verify_message", {{"keyIndex", keyIndex}, {"text", text}, {"userId", kUserId},
                                                  {"sign", r["sign"]}, {"cert", cert}}));
      EXPECT_EQ(Res(v), kOk) << keyIndex << " " << Compact(v);
      v = Page(Req("verify_message", {{"keyIndex", keyIndex}, {"text", text + "."}, {"userId", kUserId},
                                      {"sign", r["sign"]}, {"cert", cert}}));
      EXPECT_NE(Res(v), kOk) << keyIndex << " a changed text verified";
    }

    Json::Value t = Page(Req("signature_type", {{"sign", r["sign"]}}));
    EXPECT_EQ(Res(t), kOk);
    EXPECT_EQ(t["alg"].asInt(), 2);
    EXPECT_EQ(t["type"].asInt(), row.type == 2 ? 2 : row.type);
    Json::Value a = Page(Req("signature_attached", {{"sign", r["sign"]}}));
    EXPECT_EQ(Res(a), kOk) << Compact(a);
    EXPECT_EQ(a["text"].asString(), (row.type == 2 && (row.flags & 2)) ? text : "");
    EXPECT_EQ(a["cert"].asString(), (row.type == 2 && (row.flags & 1)) ? CertB64("sm2-sign") : "");
    EXPECT_EQ(a["time"].asString().size(), (row.type == 2 && (row.flags & 4)) ? 19u : 0u) << Compact(a);
  }
  // The identity the page names is the one signed with.
  Answer({kPin});
  Json::Value r = Page(Req("sign_message", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"flags", 0},
                                            {"text", text}, {"userId", "alice@example"}}));
  ASSERT_EQ(Res(r), kOk) << Compact(r);
  EXPECT_TRUE(OpensslVerifies(bytes, FromB64(r["sign"].asString()), "sm2-sign", "alice@example"));
  EXPECT_FALSE(OpensslVerifies(bytes, FromB64(r["sign"].asString()), "sm2-sign"));
}

// Digests signed on the token verify with "verify_digest" in software and on the token; a
// changed digest byte does not.
TEST_F(SignCommands, SignDigestAndVerifyDigest) {
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 7 + 1);
  Bytes changed = digest;
  changed[31] ^= 1;
  for (int type : {3, 4, 2}) {
    SCOPED_TRACE(type);
    size_t mark = Mark();
    Answer({kPin});
    Json::Value r = Page(Req("sign_digest", {{"keyIndex", 0}, {"alg", 2}, {"type", type}, {"flags", 1},
                                             {"digestAlg", 0}, {"digest", ToB64(digest)}}));
    ASSERT_EQ(Res(r), kOk) << Compact(r);
    EXPECT_EQ(PinPrompts(mark), 1u);
    for (int keyIndex : {-1, 0}) {
      Json::Value v = Page(Req("verify_digest", {{"keyIndex", keyIndex}, {"digestAlg", 0x4000},
                                                 {"digest", ToB64(digest)}, {"sign", r["sign"]},
                                                 {"cert", CertB64("sm2-sign")}}));
      EXPECT_EQ(Res(v), kOk) << keyIndex << " " << Compact(v);
      v = Page(Req("verify_digest", {{"keyIndex", keyIndex}, {"digestAlg", 0x4000}, {"digest", ToB64(changed)},
                                     {"sign", r["sign"]}, {"cert", CertB64("sm2-sign")}}));
      EXPECT_NE(Res(v), kOk) << keyIndex;
    }
  }
  // A digest one byte too long is refused by the token's session.
  Answer({kPin});
  Bytes longDigest(33, 1);
  Json::Value r = Page(Req("sign_digest", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"flags", 0},
                                           {"digestAlg", 0x4000}, {"digest", ToB64(longDigest)}}));
  EXPECT_EQ(Res(r), 0x8100000Fu) << Compact(r);
}

// Files: signed in 1 MiB pieces, verified over the same bytes; sizes around the piece size
// (a multiple of 1 MiB ends with an empty last piece).
TEST_F(SignCommands, SignFileAndVerifyFile) {
  for (size_t size : {size_t{1}, size_t{0x100000}, size_t{0x100000 * 2 + 17}}) {
    SCOPED_TRACE(size);
    Bytes content(size);
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
    std::string path = s_files + "/doc.bin";
    WriteBytes(path, content);
    Answer({kPin});
    // Flag 0x2 is dropped for files: the signature never carries the file.
    Json::Value r = Page(Req("sign_file", {{"keyIndex", 0}, {"alg", 0}, {"type", 2}, {"flags", 3},
                                           {"file", path}, {"userId", kUserId}}));
    ASSERT_EQ(Res(r), kOk) << Compact(r);
    EXPECT_EQ(r["respType"].asString(), "sign_file_resp");
    Bytes p7 = FromB64(r["sign"].asString());
    EXPECT_EQ(NodeVerifiesP7(p7, content).substr(0, 4), "0 OK");
    Json::Value a = Page(Req("signature_attached", {{"sign", r["sign"]}}));
    EXPECT_EQ(a["text"].asString(), "");
    EXPECT_FALSE(a["cert"].asString().empty());
    for (int keyIndex : {-1, 0}) {
      Json::Value v = Page(Req("verify_file", {{"keyIndex", keyIndex}, {"file", path}, {"userId", kUserId},
                                               {"sign", r["sign"]}, {"cert", ""}}));
      EXPECT_EQ(Res(v), kOk) << Compact(v);
    }
    content.back() ^= 0x80;
    WriteBytes(path, content);
    Json::Value v = Page(Req("verify_file", {{"keyIndex", -1}, {"file", path}, {"userId", kUserId},
                                             {"sign", r["sign"]}, {"cert", ""}}));
    EXPECT_NE(Res(v), kOk);
  }
}

// A 100 MiB file is streamed: the agent's peak memory grows by far less than the file, and
// the DER signature verifies with the command line over the same bytes.
TEST_F(SignCommands, HundredMiBFileStreams) {
  std::string path = s_files + "/big.bin";
  {
    std::ofstream out(path, std::ios::binary);
    Bytes block(0x100000);
    for (int i = 0; i < 100; ++i) {
      for (size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<uint8_t>(i + j);
      out.write(reinterpret_cast<const char*>(block.data()), block.size());
    }
  }
  auto peakKiB = [] {
    std::string status = ReadFile("/proc/" + std::to_string(s_agent->Pid()) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0L : std::stol(status.substr(at + 6));
  };
  long before = peakKiB();
  ASSERT_GT(before, 0);
  Answer({kPin});
  Json::Value r = Page(Req("sign_file", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"flags", 0},
                                         {"file", path}, {"userId", kUserId}}));
  ASSERT_EQ(Res(r), kOk) << Compact(r);
  long after = peakKiB();
  EXPECT_LT(after - before, 32 * 1024) << "peak grew from " << before << " KiB to " << after << " KiB";
  EXPECT_TRUE(OpensslVerifies(ReadBytes(path), FromB64(r["sign"].asString()), "sm2-sign"));
  unlink(path.c_str());
}

// Parameter, device and file errors are answered before the token is touched: no PIN prompt.
TEST_F(SignCommands, ErrorsBeforeTheToken) {
  std::string empty = s_files + "/empty.bin";
  WriteFile(empty, "");
  std::string outside = TestRoot() + "/outside.bin";
  WriteFile(outside, "secret");
  Json::Value sig = "MEUCIQ==";
  struct Row {
    const char* what;
    Json::Value req;
    uint32_t res;
  } rows[] = {
      {"empty text", Req("sign_message", {{"keyIndex", 0}, {"type", 4}, {"text", ""}}), kBadInput},
      {"no such token", Req("sign_message", {{"keyIndex", 7}, {"type", 4}, {"text", "x"}}), kInvalidParam},
      {"negative index", Req("sign_message", {{"keyIndex", -1}, {"type", 4}, {"text", "x"}}), kInvalidParam},
      {"index as text", Req("sign_message", {{"keyIndex", "0"}, {"type", 4}, {"text", "x"}}), kInvalidParam},
      {"empty file name", Req("sign_file", {{"keyIndex", 0}, {"type", 4}, {"file", ""}}), kBadInput},
      {"file outside the roots", Req("sign_file", {{"keyIndex", 0}, {"type", 4}, {"file", outside}}), kInvalidCall},
      {"empty digest", Req("sign_digest", {{"keyIndex", 0}, {"type", 4}, {"digest", ""}}), kBadInput},
      {"verify: empty text", Req("verify_message", {{"keyIndex", -1}, {"text", ""}, {"sign", sig}}), kBadInput},
      {"verify: empty signature", Req("verify_message", {{"keyIndex", -1}, {"text", "x"}, {"sign", ""}}), kBadInput},
      {"verify: no such token", Req("verify_message", {{"keyIndex", 3}, {"text", "x"}, {"sign", sig}}), kInvalidParam},
      {"verify: file outside", Req("verify_file", {{"keyIndex", -1}, {"file", outside}, {"sign", sig}}), kInvalidCall},
      {"verify: empty digest", Req("verify_digest", {{"keyIndex", -1}, {"digest", ""}, {"sign", sig}}), kBadInput},
      {"attached: empty", Req("signature_attached", {{"sign", ""}}), kBadInput},
      {"type: not Base64", Req("signature_type", {{"sign", "***"}}), 0x81000010},
  };
  size_t mark = Mark();
  for (const Row& row : rows) {
    Json::Value r = Page(row.req);
    EXPECT_EQ(Res(r), row.res) << row.what << " " << Compact(r);
  }
  EXPECT_EQ(PinPrompts(mark), 0u) << Asked(mark);

  // An empty file is refused after the session opened; the PIN is asked first.
  Answer({kPin});
  Json::Value r = Page(Req("sign_file", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"file", empty}}));
  EXPECT_EQ(Res(r), 0x8100000Fu) << Compact(r);
  // A cancelled PIN dialog ends the signing with the dialog's code.
  Answer({R"({"dialog":"pin","button":"cancel"})"});
  r = Page(Req("sign_message", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"text", "x"}, {"userId", kUserId}}));
  EXPECT_EQ(Res(r), 0x81000007u) << Compact(r);
  // A signature without a certificate needs "cert".
  Answer({kPin});
  r = Page(Req("sign_message", {{"keyIndex", 0}, {"alg", 2}, {"type", 4}, {"text", "x"}, {"userId", kUserId}}));
  ASSERT_EQ(Res(r), kOk);
  r = Page(Req("verify_message", {{"keyIndex", -1}, {"text", "x"}, {"userId", kUserId}, {"sign", r["sign"]}}));
  EXPECT_EQ(Res(r), kInvalidParam) << Compact(r);
}

// Two pages sign on the one token at the same time: each gets its own PIN prompt (naming
// its origin) and a valid signature.
TEST_F(SignCommands, TwoPagesSignAtOnce) {
  const char* origins[] = {kOrigin, "http://127.0.0.1"};
  size_t mark = Mark();
  Answer({kPin, kPin});
  std::string sigs[2];
  uint32_t results[2] = {1, 1};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      Connection conn(s_port, s_caPem);
      std::string origin = i == 0 ? origins[0] : "http://127.0.0.1:" + std::to_string(s_pagePort);
      Json::Value r = conn.Post(Req("sign_message", {{"keyIndex", 0}, {"alg", 2}, {"type", 4},
                                                     {"text", "page " + std::to_string(i)}, {"userId", kUserId}}),
                                origin);
      results[i] = Res(r);
      sigs[i] = r["sign"].asString();
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> prompted;
  for (const auto& rec : UiRecords(mark))
    if (rec["dialog"].asString() == "pin") prompted.insert(rec["origin"].asString());
  EXPECT_EQ(prompted.size(), 2u) << Asked(mark);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(results[i], kOk) << i;
    std::string text = "page " + std::to_string(i);
    EXPECT_TRUE(OpensslVerifies(Bytes(text.begin(), text.end()), FromB64(sigs[i]), "sm2-sign")) << i;
  }
}

// Envelopes sealed in software open on the token and the reverse, for each symmetric
// algorithm and padding; every envelope also opens with the command line.
TEST_F(SignCommands, EnvelopesBothWays) {
  struct Row {
    uint32_t symm;
    int padding;
    const char* openssl;  // the command line's cipher
    bool bToken;          // the token has the cipher (triple DES is sealed in software only)
  } rows[] = {
      {0x20, 1, "-sm4-ecb", true},          {0x20, 0, "-sm4-ecb", true},          {0x8000, 1, "-sm4-cbc", true},
      {0x8000, 0, "-sm4-cbc", true},        {0, 1, "-sm4-ecb", true},             {0x40, 1, "-aes-128-cbc", true},
      {0x80, 0, "-aes-192-cbc", true},      {0x100, 1, "-aes-256-cbc", true},     {0x800, 1, "-aes-128-ecb", true},
      {0x1000, 1, "-aes-192-ecb", true},    {0x2000, 0, "-aes-256-ecb", true},    {0x8, 1, "-des-ede3-cbc", false},
  };
  const std::string cert = CertB64("sm2-exch");
  for (const Row& row : rows) {
    for (int sealer : {-1, 0}) {
      if (sealer >= 0 && !row.bToken) continue;
      SCOPED_TRACE("symm " + std::to_string(row.symm) + " padding " + std::to_string(row.padding) + " sealer " +
                   std::to_string(sealer));
      // Padding 0 fills with zero bytes: a text of whole blocks comes back unchanged.
      std::string text = row.padding ? "信封 contents of any length." : "0123456789abcdef信封 contents!";
      ASSERT_EQ(text.size() % 16 == 0, row.padding == 0);
      Json::Value req = Req("encode_message", {{"keyIndex", sealer}, {"type", 4}, {"padding", row.padding},
                                               {"cert", cert}, {"text", text}});
      if (row.symm) req["symmAlg"] = row.symm;
      if (sealer >= 0) Answer({kPin});
      Json::Value e = Page(req);
      ASSERT_EQ(Res(e), kOk) << Compact(e);
      EXPECT_EQ(e["respType"].asString(), "encode_message_resp");
      if (row.bToken) {
        Answer({kPin});
        // The envelope names its key's algorithm, not the symmetric one: a page that did not
        // seal with the default says which it used.
        int algs = row.symm && row.symm != 0x20 ? static_cast<int>(2 | row.symm) : 0;
        Json::Value d = Page(Req("decode_message", {{"keyIndex", 0}, {"algs", algs}, {"padding", row.padding},
                                                    {"cipher", e["cipher"]}}));
        EXPECT_EQ(Res(d), kOk) << Compact(d);
        EXPECT_EQ(d["text"].asString(), text);
      }

      {
        // Outside: unwrap the session key with the exchange key, decrypt with openssl enc.
        SCOPED_TRACE("openssl");
        Bytes env = FromB64(e["cipher"].asString());
        uint32_t len = env[0] | env[1] << 8 | env[2] << 16 | static_cast<uint32_t>(env[3]) << 24;
        ASSERT_LT(4 + len, env.size());
        std::string dir = MakeTempDir("env");
        WriteBytes(dir + "/wrapped", Bytes(env.begin() + 4, env.begin() + 4 + len));
        WriteBytes(dir + "/body", Bytes(env.begin() + 4 + len, env.end()));
        std::string out;
        ASSERT_EQ(RunProgram({"openssl", "pkeyutl", "-decrypt", "-inkey", TestPkiKeyPath("sm2-exch"), "-in",
                              dir + "/wrapped", "-out", dir + "/key"},
                             out, 20000),
                  0)
            << out;
        std::string keyHex;
        for (uint8_t b : ReadBytes(dir + "/key")) {
          char h[3];
          snprintf(h, sizeof h, "%02x", b);
          keyHex += h;
        }
        std::vector<std::string> argv = {"openssl", "enc", "-d", row.openssl, "-K", keyHex,
                                         "-in", dir + "/body", "-out", dir + "/plain"};
        // The envelope's IV is zero bytes, one block long.
        if (std::string(row.openssl).ends_with("cbc"))
          argv.insert(argv.end(), {"-iv", std::string(row.symm == 0x8 ? 16 : 32, '0')});
        if (!row.padding) argv.push_back("-nopad");
        ASSERT_EQ(RunProgram(argv, out, 20000), 0) << out;
        EXPECT_EQ(ReadFile(dir + "/plain"), text);
        RemoveTree(dir);
      }
    }
  }
}

// Files in and out, the reply naming the output path; the plain text returned when no
// output file is named.
TEST_F(SignCommands, EnvelopeFiles) {
  Bytes content(0x100000 + 100);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>('a' + i % 26);
  std::string src = s_files + "/plain.txt", env = s_files + "/plain.env", back = s_files + "/plain.back";
  WriteBytes(src, content);
  Json::Value e = Page(Req("encode_file", {{"keyIndex", -1}, {"type", 4}, {"cert", CertB64("sm2-exch")},
                                           {"src", src}, {"des", env}}));
  ASSERT_EQ(Res(e), kOk) << Compact(e);
  EXPECT_EQ(e["cipher"].asString(), env);
  Answer({kPin});
  Json::Value d = Page(Req("decode_file", {{"keyIndex", 0}, {"algs", 0}, {"cipherFile", env},
                                           {"decryptedFile", back}}));
  ASSERT_EQ(Res(d), kOk) << Compact(d);
  EXPECT_EQ(d["text"].asString(), back);
  EXPECT_TRUE(ReadBytes(back) == content);
  Answer({kPin});
  d = Page(Req("decode_file", {{"keyIndex", 0}, {"algs", 0}, {"cipherFile", env}}));
  ASSERT_EQ(Res(d), kOk);
  EXPECT_EQ(d["text"].asString().size(), content.size());
  // Sealed on the token: two pieces of many chunks each, opened back byte for byte.
  Answer({kPin});
  e = Page(Req("encode_file", {{"keyIndex", 0}, {"type", 4}, {"cert", CertB64("sm2-exch")}, {"src", src},
                               {"des", env}}));
  ASSERT_EQ(Res(e), kOk) << Compact(e);
  unlink(back.c_str());
  Answer({kPin});
  d = Page(Req("decode_file", {{"keyIndex", 0}, {"algs", 0}, {"cipherFile", env}, {"decryptedFile", back}}));
  ASSERT_EQ(Res(d), kOk) << Compact(d);
  EXPECT_TRUE(ReadBytes(back) == content);
  // Output outside the roots: refused, nothing created.
  std::string outside = TestRoot() + "/leak.env";
  e = Page(Req("encode_file", {{"keyIndex", -1}, {"type", 4}, {"cert", CertB64("sm2-exch")}, {"src", src},
                               {"des", outside}}));
  EXPECT_EQ(Res(e), kInvalidCall);
  EXPECT_NE(access(outside.c_str(), F_OK), 0);
  // The source as its own destination: refused, the source intact.
  e = Page(Req("encode_file", {{"keyIndex", -1}, {"type", 4}, {"cert", CertB64("sm2-exch")}, {"src", src},
                               {"des", src}}));
  EXPECT_NE(Res(e), kOk);
  EXPECT_TRUE(ReadBytes(src) == content);
}

// Broken envelopes fail with an error, never a crash, and leave no output file behind.
TEST_F(SignCommands, BrokenEnvelopes) {
  Json::Value e = Page(Req("encode_message", {{"keyIndex", -1}, {"type", 4}, {"cert", CertB64("sm2-exch")},
                                              {"text", "a message of a few blocks, sealed"}}));
  ASSERT_EQ(Res(e), kOk);
  Bytes env = FromB64(e["cipher"].asString());
  auto withLen = [&](uint32_t len) {
    Bytes b = env;
    b[0] = len & 0xFF;
    b[1] = len >> 8 & 0xFF;
    b[2] = len >> 16 & 0xFF;
    b[3] = len >> 24;
    return b;
  };
  struct Row {
    const char* what;
    Bytes bytes;
  } rows[] = {
      {"three bytes", Bytes(env.begin(), env.begin() + 3)},
      {"length only", Bytes(env.begin(), env.begin() + 4)},
      {"cut in the wrapped key", Bytes(env.begin(), env.begin() + 40)},
      {"cut in the cipher text", Bytes(env.begin(), env.end() - 5)},
      {"length 0", withLen(0)},
      {"length past the end", withLen(static_cast<uint32_t>(env.size()))},
      {"length 0xFFFFFFFF", withLen(0xFFFFFFFF)},
      {"length 97", withLen(97)},
  };
  std::string out = s_files + "/broken.out";
  for (const Row& row : rows) {
    Answer({kPin});
    Json::Value d = Page(Req("decode_message", {{"keyIndex", 0}, {"algs", 0}, {"cipher", ToB64(row.bytes)},
                                                {"desFile", out}}));
    EXPECT_NE(Res(d), kOk) << row.what;
    EXPECT_NE(access(out.c_str(), F_OK), 0) << row.what << ": output left behind";
  }
  // The agent still answers.
  EXPECT_EQ(Res(Page(Req("get_version"))), kOk);
}

// Parameter rules of the envelope commands.
TEST_F(SignCommands, EnvelopeParameters) {
  const std::string cert = CertB64("sm2-exch");
  // "symmAlg" as a string counts as absent: the SM2 default, SM4-ECB.
  Json::Value e = Page(Req("encode_message", {{"keyIndex", -1}, {"type", 4}, {"symmAlg", "32768"},
                                              {"cert", cert}, {"text", "default"}}));
  ASSERT_EQ(Res(e), kOk) << Compact(e);
  Answer({kPin});
  Json::Value d = Page(Req("decode_message", {{"keyIndex", 0}, {"algs", 2 | 0x20}, {"cipher", e["cipher"]}}));
  EXPECT_EQ(Res(d), kOk) << Compact(d);
  EXPECT_EQ(d["text"].asString(), "default");
  struct Row {
    const char* what;
    Json::Value req;
    uint32_t res;
  } rows[] = {
      {"decode without a token", Req("decode_message", {{"keyIndex", -1}, {"cipher", e["cipher"]}}), kInvalidParam},
      {"decode: no cipher", Req("decode_message", {{"keyIndex", 0}, {"cipher", ""}}), kInvalidParam},
      {"encode: no certificate", Req("encode_message", {{"keyIndex", -1}, {"text", "x"}}), kInvalidParam},
      {"encode: no text", Req("encode_message", {{"keyIndex", -1}, {"cert", cert}}), kInvalidParam},
      {"encode: no such token", Req("encode_message", {{"keyIndex", 9}, {"cert", cert}, {"text", "x"}}),
       kInvalidParam},
      {"encode_file: no source", Req("encode_file", {{"keyIndex", -1}, {"cert", cert}}), kInvalidParam},
      {"decode_file: no file", Req("decode_file", {{"keyIndex", 0}}), kInvalidParam},
  };
  for (const Row& row : rows) {
    Json::Value r = Page(row.req);
    EXPECT_EQ(Res(r), row.res) << row.what << " " << Compact(r);
  }
}

}  // namespace
