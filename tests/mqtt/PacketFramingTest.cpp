// Counting the MQTT packets that lie whole in what a peek at the socket saw.
#include <gtest/gtest.h>

#include "vantro/mqtt/PacketFraming.hpp"

namespace vantro::mqtt {
namespace {

std::size_t count(const Bytes& bytes) {
  return wholePackets(ByteView(bytes));
}

TEST(PacketFraming, CountsWholePacketsAndStopsAtOneCutShort) {
  const Bytes puback{0x40, 0x02, 0x00, 0x07};
  const Bytes pingresp{0xD0, 0x00};
  EXPECT_EQ(count({}), 0u);
  EXPECT_EQ(count(puback), 1u);
  EXPECT_EQ(count(pingresp), 1u);

  Bytes several = puback;
  several.insert(several.end(), pingresp.begin(), pingresp.end());
  several.insert(several.end(), puback.begin(), puback.end());
  EXPECT_EQ(count(several), 3u);
  // Every cut inside the last packet leaves the two before it.
  for (std::size_t cut = 1; cut < puback.size(); ++cut) {
    EXPECT_EQ(count(Bytes(several.begin(), several.end() - static_cast<std::ptrdiff_t>(cut))), 2u)
        << "cut " << cut;
  }
}

TEST(PacketFraming, ReadsLengthsOfSeveralBytesAndRejectsAFifth) {
  // 200 bytes after a two-byte length (0xC8 0x01), then a PUBACK.
  Bytes publish{0x30, 0xC8, 0x01};
  publish.resize(3 + 200, 0x61);
  Bytes both = publish;
  both.insert(both.end(), {0x40, 0x02, 0x00, 0x01});
  EXPECT_EQ(count(both), 2u);
  EXPECT_EQ(count(Bytes(publish.begin(), publish.end() - 1)), 0u);
  // The length's own bytes cut short.
  EXPECT_EQ(count({0x30, 0xC8}), 0u);
  // Four length bytes is the most MQTT allows; a fifth is malformed.
  EXPECT_EQ(count({0x30, 0x80, 0x80, 0x80, 0x80, 0x01}), 0u);
}

}  // namespace
}  // namespace vantro::mqtt
