#include <gtest/gtest.h>

#include <cerrno>

#include "foundation/ResultCodes.h"
#include "platform/ErrnoMap.h"
#include "testing/TestEnv.h"

TEST(ResultCodes, ConvertLastErrorTable) {
  struct Row {
    uint32_t win, res;
  } rows[] = {{0, 0},
              {2, ORVA_E_CALL_FAILED},
              {3, ORVA_E_PATH_NOT_FOUND},
              {5, ORVA_E_ACCESS_DENIED},
              {32, ORVA_E_SHARING_VIOLATION},
              {86, ORVA_E_PIN_INVALID},
              {87, ORVA_E_INVALID_PARAM},
              {145, ORVA_E_DIR_NOT_EMPTY},
              {183, ORVA_E_CALL_FAILED}};
  for (const auto& r : rows) EXPECT_EQ(ConvertLastError(r.win), r.res) << r.win;
}

TEST(ResultCodes, ErrnoToWindowsNumbers) {
  std::string dir = orva::testing::MakeTempDir("errno");
  struct Row {
    int err;
    std::string path;
    uint32_t win;
  } rows[] = {
      {ENOENT, dir + "/missing", 2},           // parent exists: file not found
      {ENOENT, dir + "/nofolder/missing", 3},  // parent missing: path not found
      {EACCES, "", 5},
      {EPERM, "", 5},
      {ENOTEMPTY, "", 145},
      {EINVAL, "", 87},
      {0, "", 0},
  };
  for (const auto& r : rows) EXPECT_EQ(orva::platform::WinErrorFromErrno(r.err, r.path), r.win) << r.err;
  EXPECT_EQ(ConvertErrno(ENOENT, (dir + "/missing").c_str()), ORVA_E_CALL_FAILED);
  EXPECT_EQ(ConvertErrno(ENOENT, (dir + "/x/y").c_str()), ORVA_E_PATH_NOT_FOUND);
}
