#pragma once
// The serial frames of the node commands, built without any I/O.
//
// Every builder checks every field before it returns, so a frame is either
// complete and valid or not made at all: nothing half-built ever reaches the
// serial line. Multi-byte fields are big-endian.
//
//   "TX" len channel:2 toid:4 message         len = message + 6
//   "PP" len channel:4 config                 len = config + 4
//   "PM" nodeId mode
//   "TB" len msgId ackTimeout/10 nodeId payload crc
//                                             len = payload + 4, crc over len..payload
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// The node message of a "TX" frame for `msgMap`: type 11 with "outputLevel"
/// (16 bits), type 10 with "waterTemp" (8 bits), type 204 alone; empty for an
/// empty map or any other type.
Bytes txMsg2Bytes(const nlohmann::json& msgMap);

/// Two's complement of the 8-bit sum of `data`: the 8-bit sum of the data and
/// its checksum is 0.
Byte crcsum(ByteView data);

/// The configuration bytes of a "PP" frame for `config`: 4 bytes for sensor
/// type 3, 3 bytes for types 1 and 5; empty for an empty record or another type.
/// Every number is range-checked before any arithmetic is done with it.
Bytes getSensorConfig(const nlohmann::json& config);

/// The "TX" frame carrying the node message `message` to node `toid`.
Bytes buildTxFrame(std::uint16_t channel, std::uint32_t toid, ByteView message);

/// The "PP" frame carrying the configuration bytes `config`.
Bytes buildSensorConfigFrame(std::uint32_t channel, ByteView config);

/// The "PM" frame.
Bytes buildPeerModeFrame(Byte nodeId, Byte keepPeerInRx);

/// Firmware transfer payloads: a data chunk (type 201, its 16-bit address,
/// at most 50 bytes of image) and the closing message (type 202, the token).
Bytes dataChunkPayload(std::uint16_t addr, ByteView data);
Bytes finalChunkPayload(ByteView authToken);

/// The "TB" frame carrying `payload` to `toNodeId`; `ackTimeout` in
/// milliseconds travels divided by ten. A payload that does not fit one frame
/// or a time-out above 2550 ms is an error.
Bytes buildBigMessageFrame(Byte toNodeId, Byte msgId, ByteView payload, std::int64_t ackTimeout);

}  // namespace vantro
