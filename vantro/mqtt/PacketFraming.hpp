#pragma once
// The framing of MQTT control packets on the wire: a fixed header byte, the
// remaining length as a variable byte integer (one to four bytes, seven bits
// each, least significant first), then that many bytes.
#include <cstddef>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::mqtt {

/// How many packets lie whole at the start of `bytes`: a packet cut short
/// or a malformed length ends the count.
std::size_t wholePackets(ByteView bytes);

}  // namespace vantro::mqtt
