#include "vantro/commands/NodeFrames.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "vantro/bridge/State.hpp"
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

// Pre-range period - 11 in bits 5-7, final-range period - 7 in bits 2-4.
Byte rangeConfig(std::int64_t preRangePeriod, std::int64_t finalRangePeriod) {
  if (preRangePeriod < 11) {
    throw std::out_of_range(
        fmt::format("sensor config: vcselPeriodPreRange {} is below 11 (pre-range {})",
                    preRangePeriod, preRangePeriod - 11));
  }
  if (finalRangePeriod < 7) {
    throw std::out_of_range(
        fmt::format("sensor config: vcselPeriodFinalRange {} is below 7 (final range {})",
                    finalRangePeriod, finalRangePeriod - 7));
  }
  const std::int64_t pre = preRangePeriod - 11;
  const std::int64_t fin = finalRangePeriod - 7;
  if (pre > 0xFF || fin > 0xFF || ((pre << 5) | (fin << 2)) > 0xFF) {
    throw std::out_of_range(fmt::format(
        "sensor config: vcselPeriodPreRange {} and vcselPeriodFinalRange {} do not pack into "
        "one byte",
        preRangePeriod, finalRangePeriod));
  }
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

int getNodeIdFromUID(const json& uid) {
  const std::int64_t v = toInteger(uid, "node UID");
  if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return 255;
  return uid2id.get(static_cast<std::uint32_t>(v));
}

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

std::optional<TxFrame> buildTxFrame(std::string_view redisKeyName, const json& valueMap) {
  if (absentOrEmpty(valueMap)) return std::nullopt;
  const Bytes msgBytes = txMsg2Bytes(valueMap);
  if (msgBytes.empty()) return std::nullopt;
  const std::uint16_t channel =
      toU16(channelFromKey(redisKeyName), fmt::format("channel of \"{}\"", redisKeyName));
  const std::uint32_t toid = toU32(integerField(valueMap, "toid"), "value \"toid\"");
  TxFrame frame;
  frame.toid = toid;
  Bytes& out = frame.bytes;
  append(out, "TX");
  out.push_back(static_cast<Byte>(msgBytes.size() + 6));
  appendU16BE(out, channel);
  appendU32BE(out, toid);
  out.insert(out.end(), msgBytes.begin(), msgBytes.end());
  return frame;
}

std::optional<Bytes> buildSensorConfigFrame(std::string_view redisKeyName, const json& config) {
  if (absentOrEmpty(config)) return std::nullopt;
  const Bytes sensorConfigBytes = getSensorConfig(config);
  if (sensorConfigBytes.empty()) {
    throw std::invalid_argument(
        fmt::format("unknown sensor type {}", integerField(config, "sensorType")));
  }
  const std::uint32_t channel =
      toU32(channelFromKey(redisKeyName), fmt::format("channel of \"{}\"", redisKeyName));
  Bytes out;
  append(out, "PP");
  out.push_back(static_cast<Byte>(sensorConfigBytes.size() + 4));
  appendU32BE(out, channel);
  out.insert(out.end(), sensorConfigBytes.begin(), sensorConfigBytes.end());
  return out;
}

Bytes buildPeerModeFrame(std::int64_t nodeId, std::int64_t keepPeerInRx) {
  const Byte id = toByte(nodeId, "network ID of the node");
  const Byte mode = toByte(keepPeerInRx, "keep-peer-in-rx mode");
  Bytes out;
  append(out, "PM");
  out.push_back(id);
  out.push_back(mode);
  return out;
}

Bytes dataChunkPayload(std::int64_t addr, ByteView data) {
  const std::uint16_t address = toU16(addr, "firmware chunk address");
  Bytes out{201};
  appendU16BE(out, address);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes finalChunkPayload(ByteView authToken) {
  Bytes out{202};
  out.insert(out.end(), authToken.begin(), authToken.end());
  return out;
}

Bytes buildBigMessageFrame(std::int64_t toNodeId, std::int64_t msgId, ByteView payload,
                           std::int64_t ackTimeout) {
  if (payload.size() > 0xFF - 4) {
    throw std::length_error(
        fmt::format("firmware message of {} bytes does not fit into one frame (at most {})",
                    payload.size(), 0xFF - 4));
  }
  const Byte id = toByte(msgId, "transfer identifier");
  const Byte timeout = toByte(ackTimeout / 10, "acknowledgement timeout / 10");
  const Byte node = toByte(toNodeId, "network ID of the node");
  Bytes out;
  append(out, "TB");
  out.push_back(static_cast<Byte>(payload.size() + 4));
  out.push_back(id);
  out.push_back(timeout);
  out.push_back(node);
  out.insert(out.end(), payload.begin(), payload.end());
  out.push_back(crcsum(ByteView(out).subspan(2)));
  return out;
}

}  // namespace vantro
