#pragma once
// Helpers shared by the peer link tests.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::test {

inline Bytes readFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline unsigned fileMode(const std::filesystem::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777U;
}

/// The two "SP" blocks for the given counters.
struct SpBlocks {
  Bytes first;
  Bytes second;
};

inline SpBlocks spBlocks(std::uint32_t localStartup, std::uint32_t uid, std::uint32_t peerStartup,
                         std::uint32_t peerMessages) {
  SpBlocks b;
  appendU32BE(b.first, localStartup);
  appendU32BE(b.second, uid);
  appendU32BE(b.second, peerStartup);
  appendU32BE(b.second, peerMessages);
  return b;
}

}  // namespace vantro::test
