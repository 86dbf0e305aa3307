// Test main: a guarded Qt application on the offscreen platform, then the tests.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/application.h"

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  testing::InitGoogleTest(&argc, argv);
  qb::GuardedApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
