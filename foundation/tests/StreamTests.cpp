#include <gtest/gtest.h>

#include "foundation/ResultCodes.h"
#include "foundation/Stream.h"
#include "testing/TestEnv.h"

TEST(FileStream, ReadWriteSeekAndSize) {
  std::string dir = orva::testing::MakeTempDir("fs");
  std::string path = dir + "/a.bin";
  {
    CFileStream w;
    ASSERT_EQ(w.OpenFile(path, CFileStream::AccessWrite, true), 0u);
    uint32_t n = 0;
    ASSERT_EQ(w.Write("hello world", 11, &n), 0u);
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(w.Commit(0), 0u);
  }
  CFileStream r;
  ASSERT_EQ(r.OpenFile(path, CFileStream::AccessRead, false), 0u);
  uint64_t size = 0;
  ASSERT_EQ(GetStreamSize(&r, &size), 0u);
  EXPECT_EQ(size, 11u);
  char buf[32];
  uint32_t got = 0;
  ASSERT_EQ(r.Read(buf, 5, &got), 0u);
  EXPECT_EQ(std::string(buf, got), "hello");
  uint64_t pos = 0;
  // An unknown origin is refused and the position stays.
  EXPECT_EQ(r.Seek(0, 3, &pos), ORVA_E_INVALID_PARAM);
  ASSERT_EQ(r.Read(buf, sizeof buf, &got), 0u);
  EXPECT_EQ(std::string(buf, got), " world");
  ASSERT_EQ(r.Read(buf, sizeof buf, &got), 0u);
  EXPECT_EQ(got, 0u);  // end of file: success with 0 bytes
  EXPECT_EQ(r.Stat(nullptr, 0), ORVA_E_NOTIMPL);
  EXPECT_EQ(r.Read(buf, 0, &got), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(r.Read(nullptr, 1, &got), ORVA_E_INVALID_PARAM);
  r.CloseFile();
  EXPECT_EQ(r.Read(buf, 1, &got), ORVA_E_INVALID_CALL);
  EXPECT_EQ(r.Seek(0, 0, nullptr), ORVA_E_INVALID_CALL);
  EXPECT_EQ(r.Commit(0), ORVA_E_INVALID_CALL);
}

TEST(FileStream, OpenRulesAndSharing) {
  std::string dir = orva::testing::MakeTempDir("fs");
  std::string path = dir + "/b.bin";
  orva::testing::WriteFile(dir + "/empty", "");
  CFileStream s;
  EXPECT_EQ(s.OpenFile("", CFileStream::AccessRead, false), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(s.OpenFile(dir + "/missing", CFileStream::AccessRead, false), ORVA_E_CREATE_FILE);
  EXPECT_EQ(s.OpenFile(dir, CFileStream::AccessRead, false), ORVA_E_CREATE_FILE);
  ASSERT_EQ(s.OpenFile(dir + "/empty", CFileStream::AccessRead, false), 0u);
  char c;
  uint32_t got = 9;
  ASSERT_EQ(s.Read(&c, 1, &got), 0u);
  EXPECT_EQ(got, 0u);

  orva::testing::WriteFile(path, "old content");
  CFileStream w;
  ASSERT_EQ(w.OpenFile(path, CFileStream::AccessWrite, true), 0u);
  EXPECT_EQ(orva::testing::ReadFile(path), "");  // truncated
  CFileStream w2, r2;
  EXPECT_EQ(w2.OpenFile(path, CFileStream::AccessWrite, true), ORVA_E_CREATE_FILE);
  EXPECT_EQ(r2.OpenFile(path, CFileStream::AccessRead, false), ORVA_E_CREATE_FILE);
  w.CloseFile();
  orva::testing::WriteFile(path, "keep");
  CFileStream ra, rb;
  ASSERT_EQ(ra.OpenFile(path, CFileStream::AccessRead, false), 0u);
  EXPECT_EQ(rb.OpenFile(path, CFileStream::AccessRead, false), 0u);  // readers share
  EXPECT_EQ(w2.OpenFile(path, CFileStream::AccessWrite, true), ORVA_E_CREATE_FILE);
  EXPECT_EQ(orva::testing::ReadFile(path), "keep");  // a refused writer truncated nothing
}

TEST(MemoryStream, GrowsAndSeeks) {
  CMemoryStream m;
  uint32_t n = 0;
  ASSERT_EQ(m.Write("abcdef", 6, &n), 0u);
  ASSERT_EQ(m.Seek(2, STREAM_SEEK_SET, nullptr), 0u);
  ASSERT_EQ(m.Write("XY", 2, &n), 0u);
  ASSERT_EQ(m.Seek(10, STREAM_SEEK_SET, nullptr), 0u);
  ASSERT_EQ(m.Write("Z", 1, &n), 0u);
  EXPECT_EQ(m.Data().size(), 11u);
  EXPECT_EQ(std::string(m.Data().begin(), m.Data().begin() + 6), "abXYef");
  uint64_t size = 0;
  ASSERT_EQ(GetStreamSize(&m, &size), 0u);
  EXPECT_EQ(size, 11u);
  char buf[4];
  ASSERT_EQ(m.Read(buf, 4, &n), 0u);
  EXPECT_EQ(std::string(buf, n), "abXY");
  EXPECT_NE(m.Seek(-1, STREAM_SEEK_SET, nullptr), 0u);
  EXPECT_EQ(m.Seek(0, 5, nullptr), ORVA_E_INVALID_PARAM);
}
