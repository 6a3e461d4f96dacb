#pragma once
// The options object of the embedding program. The radio protocol reads the
// gateway's node id and network id; the rest belongs to the daemon.
#include <cstdint>
#include <string>

namespace vantro {

struct Args {
  long long nodeId = 1;
  long long networkId = 100;
  int brokerPort = 1883;
  std::string firmwareDir;  // where "tx/flash" commands may read Intel HEX files
};

}  // namespace vantro
