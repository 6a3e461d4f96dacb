#include "vantro/parser/SensorKinds.hpp"

#include <array>

namespace vantro::parser {
namespace {

constexpr FieldSpec kTemperature{"temperature", true, 2};  // 0.01 °C
constexpr FieldSpec kHumidity{"humidity", false, 2};       // 0.01 %
constexpr FieldSpec kWaterTemperature{"water_temperature", true, 2};
constexpr FieldSpec kDistance{"distance_mm", false, 0};
constexpr FieldSpec kBattery{"battery_mv", false, 0};

constexpr std::array kClimateFields{kTemperature, kHumidity, kBattery};
constexpr std::array kDistanceFields{kDistance, kBattery};
constexpr std::array kWaterFields{kWaterTemperature, kBattery};
constexpr std::array kBatteryFields{kBattery};

constexpr std::array kKinds{
    SensorKind{0x01, "climate", kClimateFields},
    SensorKind{0x02, "distance", kDistanceFields},
    SensorKind{0x03, "water", kWaterFields},
    SensorKind{0x04, "battery", kBatteryFields},
};

}  // namespace

std::span<const SensorKind> sensorKinds() {
  return kKinds;
}

}  // namespace vantro::parser
