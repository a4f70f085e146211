// The SKF binding's own rules, without a token: the result translation table, name lists
// from libraries, the ENVELOPEDKEYBLOB layout check, and the process-wide list of HaiTai
// serial-number bindings.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "devices/skf/GMDevice.h"
#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/HaiTaiKeyApi.h"
#include "foundation/ResultCodes.h"
#include "testing/TestEnv.h"

namespace {

std::string SoftDsnPath() { return orva::testing::BinaryDir() + "/tools/softskf/libsoftdsn.so"; }

}  // namespace

// Every row of the SKF table, with the values written out rather than taken from the code.
TEST(GMResultTranslation, EverySkfCodeMapsToItsProgramCode) {
  struct Row {
    uint32_t sar, res;
  } rows[] = {
      {0x00000000, 0x00000000}, {0x0A000001, 0x81000006}, {0x0A000003, 0x81000005},
      {0x0A000004, 0x8100005E}, {0x0A000005, 0x81000061}, {0x0A000006, 0x81000004},
      {0x0A000007, 0x8100005F}, {0x0A000008, 0x81000060}, {0x0A000009, 0x81000062},
      {0x0A00000A, 0x81000063}, {0x0A00000B, 0x81000044}, {0x0A00000C, 0x81000002},
      {0x0A00000D, 0x81000064}, {0x0A00000E, 0x81000065}, {0x0A00000F, 0x81000066},
      {0x0A000010, 0x8100000F}, {0x0A000011, 0x8100000E}, {0x0A000012, 0x81000040},
      {0x0A000013, 0x81000041}, {0x0A000014, 0x81000042}, {0x0A000015, 0x81000043},
      {0x0A000016, 0x81000044}, {0x0A000017, 0x81000045}, {0x0A000018, 0x81000046},
      {0x0A000019, 0x81000047}, {0x0A00001A, 0x81000048}, {0x0A00001B, 0x8100000D},
      {0x0A00001C, 0x81000016}, {0x0A00001D, 0x81000049}, {0x0A00001E, 0x8100004A},
      {0x0A00001F, 0x8100004B}, {0x0A000020, 0x81000009}, {0x0A000021, 0x8100004C},
      {0x0A000022, 0x8100004D}, {0x0A000023, 0x8100004E}, {0x0A000024, 0x8100004F},
      {0x0A000025, 0x81000050}, {0x0A000026, 0x81000051}, {0x0A000027, 0x81000052},
      {0x0A000028, 0x81000059}, {0x0A000029, 0x81000054}, {0x0A00002A, 0x81000055},
      {0x0A00002B, 0x81000056}, {0x0A00002C, 0x81000057}, {0x0A00002D, 0x8100005A},
      {0x0A00002E, 0x81000058}, {0x0A00002F, 0x8100005B}, {0x0A000030, 0x8100005D},
      {0x0A000031, 0x8100005C},
      // Not in the table: SAR_UNKNOWNERR, the next code after the table, vendor codes, and
      // program codes (which never go through the table).
      {0x0A000002, 0x81000001}, {0x0A000032, 0x81000001}, {0x0B000001, 0x81000001},
      {0xFFFFFFFF, 0x81000001}, {0x81000004, 0x81000001}, {0x00000001, 0x81000001},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CGMDeviceProxy::TranslateResult(r.sar), r.res) << std::hex << "SKF code 0x" << r.sar;
}

TEST(GMNameList, NamesAreBoundedByTheBufferAndTheLength) {
  struct Row {
    const char* what;
    std::string buf;  // the bytes the library wrote
    size_t bufSize;   // the buffer the caller gave
    ULONG len;        // the length the library reported
    std::vector<std::string> names;
  } rows[] = {
      {"two names", std::string("A1\0B22\0\0", 8), 8, 8, {"A1", "B22"}},
      {"the empty name ends the list", std::string("A\0\0B\0\0", 6), 6, 6, {"A"}},
      {"an empty list", std::string("\0\0", 2), 2, 2, {}},
      {"a length of zero", std::string("A\0\0", 3), 3, 0, {}},
      {"a length beyond the buffer is cut at the buffer", std::string("AB\0CD\0\0", 7), 5, 1000, {"AB", "CD"}},
      {"no final terminators: the last name is cut at the buffer", std::string("AB\0CDEF", 7), 7, 7,
       {"AB", "CDEF"}},
      {"a length inside a name cuts it", std::string("ABCDEF\0\0", 8), 8, 3, {"ABC"}},
      {"one unterminated name filling the buffer", std::string(8, 'X'), 8, 8, {"XXXXXXXX"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    // The buffer is exactly bufSize bytes, so reading past it shows under the sanitizer.
    std::vector<char> buf(r.bufSize);
    std::memcpy(buf.data(), r.buf.data(), std::min(r.bufSize, r.buf.size()));
    EXPECT_EQ(CGMDeviceProxy::ParseNameList(buf.data(), buf.size(), r.len), r.names);
  }
}

TEST(GMEnvelopedKeyBlob, TheLayoutIsCheckedBeforeTheLibrarySeesIt) {
  auto blob = [](uint32_t cipherLen, size_t total) {
    std::vector<uint8_t> b(total, 0);
    if (total >= 372) std::memcpy(b.data() + 368, &cipherLen, 4);
    return b;
  };
  struct Row {
    const char* what;
    std::vector<uint8_t> data;
    uint32_t res;
  } rows[] = {
      {"a 16-byte wrapped key", blob(16, 388), ORVA_OK},
      {"trailing bytes are allowed", blob(16, 500), ORVA_OK},
      {"one byte short of its wrapped key", blob(16, 387), ORVA_E_BAD_INPUT},
      {"shorter than the header", blob(16, 371), ORVA_E_BAD_INPUT},
      {"no wrapped key", blob(0, 372), ORVA_E_BAD_INPUT},
      {"a wrapped key of 64 bytes", blob(64, 436), ORVA_OK},
      {"a wrapped key longer than any symmetric key", blob(65, 437), ORVA_E_BAD_INPUT},
      {"a length that wraps around", blob(0xFFFFFF90u, 400), ORVA_E_BAD_INPUT},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(CGMDevice::CheckEnvelopedKeyBlob(r.data.data(), static_cast<uint32_t>(r.data.size())), r.res);
  }
  EXPECT_EQ(CGMDevice::CheckEnvelopedKeyBlob(nullptr, 400), ORVA_E_BAD_INPUT);
}

TEST(HaiTaiKeyApi, OneInstancePerPathWithReferenceCounts) {
  ASSERT_EQ(CHaiTaiKeyApi::ListSize(), 0u);
  EXPECT_EQ(CHaiTaiKeyApi::Get(""), nullptr);
  EXPECT_EQ(CHaiTaiKeyApi::Get("/nonexistent/libdsn.so"), nullptr);
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);

  CHaiTaiKeyApi* a = CHaiTaiKeyApi::Get(SoftDsnPath());
  ASSERT_NE(a, nullptr);
  CHaiTaiKeyApi* b = CHaiTaiKeyApi::Get(SoftDsnPath());
  EXPECT_EQ(a, b);
  EXPECT_EQ(CHaiTaiKeyApi::RefCount(SoftDsnPath()), 2u);

  uint32_t len = 0;
  EXPECT_EQ(a->ReadDSN("Key", nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 32u);
  uint8_t dsn[64] = {};
  len = sizeof dsn;
  EXPECT_EQ(a->ReadDSN("", dsn, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(a->ReadDSN("Key", dsn, nullptr), ORVA_E_INVALID_PARAM);
  ASSERT_EQ(a->ReadDSN("Key", dsn, &len), ORVA_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dsn), len), "HT4B6579");
  // A DSN longer than the caller's buffer is refused by the library, never overrun.
  uint8_t small[4] = {};
  len = sizeof small;
  EXPECT_EQ(a->ReadDSN("Key", small, &len), ORVA_E_CALL_FAILED);

  b->Release();
  EXPECT_EQ(CHaiTaiKeyApi::RefCount(SoftDsnPath()), 1u);
  a->Release();
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);
}

TEST(HaiTaiKeyApi, ConcurrentLoadsKeepTheListConsistent) {
  // Two paths of the same library, as two kits naming different files.
  std::string second = orva::testing::MakeTempDir("dsn") + "/libsoftdsn2.so";
  std::filesystem::copy_file(SoftDsnPath(), second);
  const std::string paths[] = {SoftDsnPath(), second};
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        CHaiTaiKeyApi* p = CHaiTaiKeyApi::Get(paths[(t + i) % 2]);
        if (p == nullptr || p->GetDllName() != paths[(t + i) % 2] || CHaiTaiKeyApi::ListSize() > 2) wrong = true;
        CHaiTaiKeyApi* q = CHaiTaiKeyApi::Get(paths[(t + i) % 2]);
        if (q != p) wrong = true;
        q->Release();
        p->Release();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(wrong.load());
  EXPECT_EQ(CHaiTaiKeyApi::ListSize(), 0u);
}
