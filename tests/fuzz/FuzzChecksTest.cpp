// The fuzz targets' own checks: they must refuse what breaks the gateway's
// promises, or a target would pass whatever the code under test makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "tests/support/SourceDir.hpp"

namespace {

using vantro::fuzz::checkSensorPublication;
using vantro::fuzz::Fault;
using Publication = vantro::fuzz::RecordingClient::Publication;

const std::string kGood =
    R"({"ts":1700000000123,"rssi":-70,"temperature":21.5,"humidity":45.2,"battery_mv":3010})";

TEST(FuzzChecks, SensorPublicationAsDocumentedPasses) {
  EXPECT_NO_THROW(checkSensorPublication({"sensor/258/climate", kGood, 1, true}));
  // Other topics are not sensor publications.
  EXPECT_NO_THROW(checkSensorPublication({"gw/258/status", "online", 1, true}));
}

TEST(FuzzChecks, SensorPublicationFaultsAreCaught) {
  const Publication bad[] = {
      {"sensor/258/climate/x", kGood, 1, true},                   // a level too many
      {"sensor//climate", kGood, 1, true},                        // no UID
      {"sensor/0258/climate", kGood, 1, true},                    // not a decimal number as printed
      {"sensor/258/climate", kGood, 0, true},                     // QoS 0
      {"sensor/258/climate", kGood, 1, false},                    // not retained
      {"sensor/258/climate", "[1,2]", 1, true},                   // no object
      {"sensor/258/climate", "{\"ts\":1", 1, true},               // cut short
      {"sensor/258/climate", R"({"rssi":-70,"ts":1})", 1, true},  // ts not first
      {"sensor/258/climate", R"({"ts":1.5,"rssi":-70})", 1, true},        // ts not an integer
      {"sensor/258/climate", R"({"ts":1,"rssi":3})", 1, true},            // a positive signal
      {"sensor/258/climate", R"({"ts":1,"rssi":-7,"t":"21"})", 1, true},  // text field
  };
  for (const Publication& p : bad) {
    SCOPED_TRACE(p.topic + " " + p.payload);
    EXPECT_THROW(checkSensorPublication(p), Fault);
  }
}

TEST(FuzzChecks, EveryTargetHasItsDictionaryAndIsFoundByName) {
  const std::filesystem::path source = vantro::test::sourceDir();
  for (const auto& t : vantro::fuzz::targets()) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(vantro::fuzz::findTarget(t.name), &t);
    EXPECT_TRUE(
        std::filesystem::exists(source / "fuzz" / "dict" / (std::string(t.name) + ".dict")));
    EXPECT_GT(t.maxLen, 0U);
  }
  EXPECT_EQ(vantro::fuzz::findTarget("nonesuch"), nullptr);
}

}  // namespace
