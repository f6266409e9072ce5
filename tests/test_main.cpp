// Test entry point: every test program starts from the same process state.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // The option parser reads these; a developer's shell must not change results.
  unsetenv("POSIXLY_CORRECT");
  unsetenv("EF_DUMPCORE");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
