#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"

using namespace orva::platform;

TEST(Paths, FoldersFollowTheEnvironment) {
  // The test main points every folder into the temporary tree.
  const std::string& root = orva::testing::TestRoot();
  EXPECT_EQ(HomeDir().rfind(root, 0), 0u);
  EXPECT_EQ(MachineSettingsDir().rfind(root, 0), 0u);
  EXPECT_EQ(UserSettingsDir().rfind(root, 0), 0u);
  EXPECT_EQ(AgentCacheDir(), XdgCacheHome() + "/orvadesk");
  std::string saved = std::getenv("ORVADESK_USER_DIR");
  unsetenv("ORVADESK_USER_DIR");
  EXPECT_EQ(UserSettingsDir(), XdgConfigHome() + "/orvadesk");
  setenv("ORVADESK_USER_DIR", saved.c_str(), 1);
  EXPECT_EQ(ExecutableDir().back(), '/');
  struct Row {
    std::string a, b, joined;
  } rows[] = {{"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a/", "/b", "a/b"}, {"", "b", "b"}};
  for (const auto& r : rows) EXPECT_EQ(JoinPath(r.a, r.b), r.joined);
  EXPECT_EQ(ParentPath("/x"), "/");
  EXPECT_EQ(ParentPath("x"), "");
  EXPECT_EQ(ParentPath("/a/b/c"), "/a/b");
}

TEST(Paths, MakeDirsCreatesEveryLevelAndRefusesFiles) {
  std::string dir = orva::testing::MakeTempDir("mk");
  EXPECT_EQ(MakeDirs(dir + "/a//b/c/"), 0);
  struct stat st {};
  EXPECT_EQ(stat((dir + "/a/b/c").c_str(), &st), 0);
  EXPECT_EQ(MakeDirs(dir + "/a/b/c"), 0);  // exists already
  orva::testing::WriteFile(dir + "/f", "x");
  EXPECT_EQ(MakeDirs(dir + "/f/g"), ENOTDIR);
}

TEST(AtomicFile, ReplacesWholeFilesAndLeavesNoTemporaries) {
  std::string dir = orva::testing::MakeTempDir("at");
  std::string path = dir + "/sub/settings.json";
  ASSERT_EQ(WriteFileAtomic(path, "one", 0600), 0);
  ASSERT_EQ(WriteFileAtomic(path, "two", 0600), 0);
  std::string out;
  ASSERT_EQ(ReadWholeFile(path, out), 0);
  EXPECT_EQ(out, "two");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadWholeFile(dir + "/missing", out), ENOENT);
  EXPECT_EQ(ReadWholeFile(dir, out), EISDIR);
  ASSERT_EQ(WriteFileAtomic(dir + "/big", std::string(100, 'x')), 0);
  EXPECT_EQ(ReadWholeFile(dir + "/big", out, 10), EFBIG);
}
