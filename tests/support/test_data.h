// The shared test data (../shared/testdata/ beside the project) is there on every developer's
// machine and in CI, but not in a clone taken elsewhere. A test that needs it skips with the
// reason there; under CI=true it fails instead, so that a lost data folder cannot turn a whole
// conformance suite green.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#define VERBAT_REQUIRE_TEST_DATA(present, where)                   \
  do {                                                             \
    if (!(present)) {                                              \
      const char* verbat_ci_ = std::getenv("CI");                  \
      if (verbat_ci_ && std::strcmp(verbat_ci_, "true") == 0) {    \
        FAIL() << "shared test data not found in CI: " << (where); \
      } else {                                                     \
        GTEST_SKIP() << "shared test data not found: " << (where); \
      }                                                            \
    }                                                              \
  } while (0)
