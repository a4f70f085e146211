#include <gtest/gtest.h>

#include "testing/TestEnv.h"

int main(int argc, char** argv) {
  orva::testing::SetUpIsolatedEnvironment();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
