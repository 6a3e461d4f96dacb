#pragma once
// The project's source tree, for tests that read files kept in it (shipped
// configuration, fuzz inputs): $VANTRO_SOURCE_DIR when set, else the tree the
// test was built from.
#include <cstdlib>
#include <filesystem>

namespace vantro::test {

inline std::filesystem::path sourceDir() {
  if (const char* dir = std::getenv("VANTRO_SOURCE_DIR")) return dir;
  return VANTRO_TEST_SOURCE_DIR;
}

}  // namespace vantro::test
