#include "vantro/commands/NodeFrames.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "vantro/commands/ValueConversion.hpp"

namespace vantro {
namespace {

using nlohmann::json;

bool absentOrEmpty(const json& map) {
  return map.is_null() || (map.is_object() && map.empty());
}

void requireMap(const json& map, std::string_view what) {
  if (!map.is_object()) {
    throw std::invalid_argument(fmt::format(
        "{} is not a map: {}", what, map.dump(-1, ' ', false, json::error_handler_t::replace)));
  }
}

void append(Bytes& out, std::string_view letters) {
  out.insert(out.end(), letters.begin(), letters.end());
}

// The one framing of the length-prefixed commands: two letters, a length byte
// counting the fields and `trailing` bytes the caller appends, the fields.
Bytes lengthPrefixedFrame(std::string_view letters, ByteView fields, std::string_view what,
                          std::size_t trailing = 0) {
  const std::size_t length = fields.size() + trailing;
  if (length > 0xFF) {
    throw std::length_error(
        fmt::format("{} of {} bytes does not fit into one frame", what, length));
  }
  Bytes out;
  out.reserve(2 + 1 + length);
  append(out, letters);
  out.push_back(static_cast<Byte>(length));
  out.insert(out.end(), fields.begin(), fields.end());
  return out;
}

// sleepCycles in bits 0-3, txPower in bits 4-6, useLed in bit 7. A value wider
// than its bits spills into its neighbours; the sum must still be one byte.
Byte generalConfig(std::int64_t sleepCycles, std::int64_t useLed, std::int64_t txPower) {
  const auto fits = [](std::int64_t v) { return v >= 0 && v <= 0xFF; };
  std::uint32_t v = 0x100;  // anything outside one byte
  if (fits(sleepCycles) && fits(useLed) && fits(txPower)) {
    v = static_cast<std::uint32_t>(sleepCycles) | (static_cast<std::uint32_t>(useLed) << 7) |
        (static_cast<std::uint32_t>(txPower) << 4);
  }
  if (v > 0xFF) {
    throw std::out_of_range(fmt::format(
        "sensor config: sleepCycles {}, useLed {} and txPower {} do not pack into one byte",
        sleepCycles, useLed, txPower));
  }
  return static_cast<Byte>(v);
}

// Pre-range period - 11 in bits 5-7, final-range period - 7 in bits 2-4. The
// values come from outside: each is checked against its field before any
// arithmetic, so that no value can overflow the subtraction.
Byte rangeConfig(std::int64_t preRangePeriod, std::int64_t finalRangePeriod) {
  if (preRangePeriod < 11 || preRangePeriod > 11 + 7) {
    throw std::out_of_range(
        fmt::format("sensor config: vcselPeriodPreRange {} is outside 11 to 18", preRangePeriod));
  }
  // The final-range field may spill into the pre-range bits, as long as the
  // sum stays one byte.
  if (finalRangePeriod < 7 || finalRangePeriod > 7 + 63) {
    throw std::out_of_range(fmt::format(
        "sensor config: vcselPeriodFinalRange {} is outside 7 to 70", finalRangePeriod));
  }
  const auto pre = static_cast<unsigned>(preRangePeriod - 11);
  const auto fin = static_cast<unsigned>(finalRangePeriod - 7);
  return static_cast<Byte>((pre << 5) | (fin << 2));
}

Byte signalRateByte(const json& config) {
  const double limit = toFloat(requireKey(config, "signalRateLimit"), "value \"signalRateLimit\"");
  const double scaled = std::trunc(limit * 100.0);
  if (!(scaled >= 0.0 && scaled <= 255.0)) {
    throw std::out_of_range(
        fmt::format("value \"signalRateLimit\": {} times 100 is outside 0 to 255", limit));
  }
  return static_cast<Byte>(scaled);
}

}  // namespace

Bytes txMsg2Bytes(const json& msgMap) {
  Bytes out;
  if (absentOrEmpty(msgMap)) return out;
  requireMap(msgMap, "value map");
  const std::int64_t msgType = integerField(msgMap, "msgtype");
  if (msgType == 11) {
    const std::uint16_t voltage =
        toU16(integerField(msgMap, "outputLevel"), "value \"outputLevel\"");
    out.push_back(11);
    appendU16BE(out, voltage);
  } else if (msgType == 10) {
    const Byte waterTemp = toByte(integerField(msgMap, "waterTemp"), "value \"waterTemp\"");
    out.push_back(10);
    out.push_back(waterTemp);
  } else if (msgType == 204) {
    out.push_back(204);
  }
  return out;
}

Byte crcsum(ByteView data) {
  unsigned checksum = 0;
  for (Byte b : data) checksum += b;
  checksum &= 0xFF;
  return static_cast<Byte>(((checksum ^ 0xFF) + 1) & 0xFF);
}

Bytes getSensorConfig(const json& config) {
  Bytes out;
  if (absentOrEmpty(config)) return out;
  requireMap(config, "sensor config");
  const std::int64_t sensorType = integerField(config, "sensorType");
  const std::int64_t sleepCycles = integerField(config, "sleepCycles");
  const std::int64_t useLed = integerField(config, "useLed");
  const std::int64_t txPower = integerField(config, "txPower");
  if (sensorType == 3) {
    const std::int64_t pre = integerField(config, "vcselPeriodPreRange");
    const std::int64_t fin = integerField(config, "vcselPeriodFinalRange");
    const Byte general = generalConfig(sleepCycles, useLed, txPower);
    const Byte range = rangeConfig(pre, fin);
    const Byte signal = signalRateByte(config);
    const Byte budget = toByte(integerField(config, "measurementTimingBudget"),
                               "value \"measurementTimingBudget\"");
    out = {general, signal, range, budget};
  } else if (sensorType == 1 || sensorType == 5) {
    const Byte general = generalConfig(sleepCycles, useLed, txPower);
    const std::uint16_t sleepMinutesBeforeBattMeasure =
        toU16(integerField(config, "preBatteryMeasurementDelayMin"),
              "value \"preBatteryMeasurementDelayMin\"");
    out.push_back(general);
    appendU16BE(out, sleepMinutesBeforeBattMeasure);
  }
  return out;
}

Bytes buildTxFrame(std::uint16_t channel, std::uint32_t toid, ByteView message) {
  Bytes fields;
  appendU16BE(fields, channel);
  appendU32BE(fields, toid);
  fields.insert(fields.end(), message.begin(), message.end());
  return lengthPrefixedFrame("TX", fields, "node message");
}

Bytes buildSensorConfigFrame(std::uint32_t channel, ByteView config) {
  Bytes fields;
  appendU32BE(fields, channel);
  fields.insert(fields.end(), config.begin(), config.end());
  return lengthPrefixedFrame("PP", fields, "sensor config");
}

Bytes buildPeerModeFrame(Byte nodeId, Byte keepPeerInRx) {
  Bytes out;
  append(out, "PM");
  out.push_back(nodeId);
  out.push_back(keepPeerInRx);
  return out;
}

Bytes dataChunkPayload(std::uint16_t addr, ByteView data) {
  Bytes out{201};
  appendU16BE(out, addr);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes finalChunkPayload(ByteView authToken) {
  Bytes out{202};
  out.insert(out.end(), authToken.begin(), authToken.end());
  return out;
}

Bytes buildBigMessageFrame(Byte toNodeId, Byte msgId, ByteView payload, std::int64_t ackTimeout) {
  const Byte timeout = toByte(ackTimeout / 10, "acknowledgement timeout / 10");
  Bytes fields{msgId, timeout, toNodeId};
  fields.insert(fields.end(), payload.begin(), payload.end());
  // The length counts the checksum, which covers the length byte and the fields.
  Bytes out = lengthPrefixedFrame("TB", fields, "firmware message", 1);
  out.push_back(crcsum(ByteView(out).subspan(2)));
  return out;
}

}  // namespace vantro
