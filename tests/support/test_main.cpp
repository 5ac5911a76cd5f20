// Entry point of the test executables. On Linux it first selects the registry store: the prefix
// named by OAREPAIR_TEST_PREFIX, or a fresh in-memory registry.
#include <cstdlib>

#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/registry_control.h"
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifndef _WIN32
  const char* pszPrefix = std::getenv("OAREPAIR_TEST_PREFIX");
  if (pszPrefix != nullptr && pszPrefix[0] != '\0') {
    oarepair::platform::UsePrefixRegistry(pszPrefix);
  } else {
    oarepair::platform::UseMemoryRegistry();
  }
#endif
  return RUN_ALL_TESTS();
}
