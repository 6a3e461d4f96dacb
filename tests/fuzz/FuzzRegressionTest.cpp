// Replays, through each fuzz target's entry, every input that once made it
// fail (fuzz/regressions/TARGET/) and its seeds (fuzz/seeds/TARGET/): the
// faults that fuzzing found stay fixed, and the entries keep working on
// real inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/Targets.hpp"
#include "tests/support/SourceDir.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsIn(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file() && !e.path().filename().string().starts_with(".")) {
      files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzInputs : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() { vantro::fuzz::silencePrinting(); }

  // Runs every file of `kind` (regressions or seeds); returns how many.
  std::size_t replay(const char* kind) {
    const vantro::fuzz::Target* target = vantro::fuzz::findTarget(GetParam());
    EXPECT_NE(target, nullptr);
    if (!target) return 0;
    const auto files = inputsIn(vantro::test::sourceDir() / "fuzz" / kind / target->name);
    for (const fs::path& file : files) {
      SCOPED_TRACE(file.string());
      const std::string input = readAll(file);
      try {
        target->entry(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
      } catch (const std::exception& e) {
        ADD_FAILURE() << "input " << file << " made the entry throw: " << e.what();
      }
    }
    return files.size();
  }
};

TEST_P(FuzzInputs, RegressionsPass) {
  replay("regressions");
}

TEST_P(FuzzInputs, SeedsPass) {
  EXPECT_GT(replay("seeds"), 0U) << "no seeds for " << GetParam();
}

std::vector<const char*> targetNames() {
  std::vector<const char*> names;
  for (const auto& t : vantro::fuzz::targets()) names.push_back(t.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs, ::testing::ValuesIn(targetNames()),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
