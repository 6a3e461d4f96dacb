// libFuzzer's entry for one target, chosen at build time (VANTRO_FUZZ_TARGET).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/Targets.hpp"

namespace {

const vantro::fuzz::Target& target() {
  static const vantro::fuzz::Target* t = [] {
    const vantro::fuzz::Target* found = vantro::fuzz::findTarget(VANTRO_FUZZ_TARGET);
    if (!found) {
      std::fprintf(stderr, "no fuzz target named %s\n", VANTRO_FUZZ_TARGET);
      std::abort();
    }
    return found;
  }();
  return *t;
}

}  // namespace

// Adds the target's -max_len unless the command line gives one (libFuzzer
// reads its options after this returns).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vantro::fuzz::silencePrinting();
  bool given = false;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], "-max_len=", 9) == 0) given = true;
  }
  if (!given) {
    static std::string option = "-max_len=" + std::to_string(target().maxLen);
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, option.data());
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return target().entry(data, size);
}
