// Test entry point: every test program starts from the same process state.
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
  // The option parser reads these; a developer's shell must not change results.
  quillon::platform::set_env("POSIXLY_CORRECT", nullptr);
  quillon::platform::set_env("EF_DUMPCORE", nullptr);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
