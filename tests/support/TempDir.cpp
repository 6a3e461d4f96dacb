#include "tests/support/TempDir.hpp"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace vantro::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vantro-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace vantro::test
