// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "e2e/wrappers.hpp"

// Our own main instead of gtest_main: the same binary serves as the tool
// wrappers inside the sandboxes, recognised by the name it was started as.
int main(int argc, char** argv) {
  if (auto status = tdh_e2e::run_as_tool(argc, argv)) {
    return *status;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
