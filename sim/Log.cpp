#include "sim/Log.hpp"

namespace sim {

void writeLine(std::FILE* to, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), to);
  std::fputc('\n', to);
  std::fflush(to);
}

}  // namespace sim
