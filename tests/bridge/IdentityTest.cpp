// Decoding of the board's identity block.
#include <gtest/gtest.h>

#include "vantro/bridge/GatewayIdentity.hpp"

using vantro::Bytes;
using vantro::decodeGatewayIdentity;

namespace {

Bytes block(vantro::Byte boardType, vantro::Byte radio, std::string serial = "SN-000000042") {
  Bytes b{0x00,      0x00, 0x01, 0x02,  // firmware revision 258
          0x00,      0x00, 0x01, 0x00,  // unique ID 256
          boardType, 1,    2,    3,     // hardware revision 1.2.3
          7,         11,   0xE7, 0x07,  // build date 7.11.2023 (year little-endian)
          radio};
  b.resize(30, 0);
  for (std::size_t i = 0; i < serial.size() && 17 + i < b.size(); ++i) {
    b[17 + i] = static_cast<vantro::Byte>(serial[i]);
  }
  return b;
}

TEST(GatewayIdentity, DecodesEveryField) {
  const auto id = decodeGatewayIdentity(block(3, 0x03));
  EXPECT_EQ(id.fwRevision, 258u);
  EXPECT_EQ(id.uniqueId, 256u);
  EXPECT_EQ(id.uniqueIdBytes, (Bytes{0, 0, 1, 0}));
  EXPECT_EQ(id.hatType(), "Telvari Duzediv Eri for Orange Pi");
  EXPECT_EQ(id.hwRev, "1.2.3");
  EXPECT_EQ(id.buildDate, "7.11.2023");
  EXPECT_EQ(id.radioDesc, "868 MHz, H/W ");
  EXPECT_EQ(id.serialNum, "SN-000000042");
  EXPECT_EQ(id.info(),
            "Gateway Info: \n\tFirmware Revision: 258\n\tUnique ID: 256\n\tHat Type: Telvari "
            "Duzediv Eri for Orange Pi\n\tHardware Revision: 1.2.3\n\tBuild Date: "
            "7.11.2023\n\tS/N: SN-000000042\n\tRadio: 868 MHz, H/W ");
}

TEST(GatewayIdentity, OtherBoardTypesAndRadioBitsShowPlainly) {
  const auto id = decodeGatewayIdentity(block(2, 0xFC));  // only the two low bits count
  EXPECT_EQ(id.hatType(), "2");
  EXPECT_EQ(id.radioDesc, "433 MHz, W ");
}

TEST(GatewayIdentity, ShortBlocksDecodeWhatArrivedOrFail) {
  Bytes b = block(3, 0);
  b.resize(17);
  EXPECT_EQ(decodeGatewayIdentity(b).serialNum, "");
  b.resize(16);
  EXPECT_THROW(decodeGatewayIdentity(b), std::out_of_range);
  EXPECT_THROW(decodeGatewayIdentity(Bytes{}), std::out_of_range);
}

TEST(GatewayIdentity, ControlCharactersOfTheSerialNumberAreShownEscaped) {
  const auto id = decodeGatewayIdentity(block(3, 0,
                                              "SN\x1b[2J\x07"
                                              "ABCDE"));
  EXPECT_EQ(id.serialNum,
            "SN\x1b[2J\x07"
            "ABCDE");
  EXPECT_NE(id.info().find("\tS/N: SN\\x1b[2J\\x07ABCDE\n"), std::string::npos) << id.info();
}

TEST(GatewayIdentity, NonAsciiSerialNumberIsAnError) {
  Bytes b = block(3, 0);
  b[20] = 0xC3;
  EXPECT_THROW(decodeGatewayIdentity(b), std::invalid_argument);
}

}  // namespace
