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
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// The network id of the node with unique ID `uid` (an integer or decimal
/// text), or 255 when `uid2id` does not know it.
int getNodeIdFromUID(const nlohmann::json& uid);

/// The node message of a "TX" frame for `msgMap`: type 11 with "outputLevel"
/// (16 bits), type 10 with "waterTemp" (8 bits), type 204 alone; empty for an
/// empty map or any other type.
Bytes txMsg2Bytes(const nlohmann::json& msgMap);

/// Two's complement of the 8-bit sum of `data`: the 8-bit sum of the data and
/// its checksum is 0.
Byte crcsum(ByteView data);

/// The configuration bytes of a "PP" frame for `config`: 4 bytes for sensor
/// type 3, 3 bytes for types 1 and 5; empty for an empty record or another type.
Bytes getSensorConfig(const nlohmann::json& config);

struct TxFrame {
  Bytes bytes;
  std::uint32_t toid = 0;
};
/// The "TX" frame of `valueMap` for the channel of `redisKeyName`; nothing for
/// an empty map or a message type without a node message.
std::optional<TxFrame> buildTxFrame(std::string_view redisKeyName, const nlohmann::json& valueMap);

/// The "PP" frame of `config` for the channel of `redisKeyName`; nothing for an
/// empty record. A sensor type without a layout is an error.
std::optional<Bytes> buildSensorConfigFrame(std::string_view redisKeyName,
                                            const nlohmann::json& config);

/// The "PM" frame; `keepPeerInRx` is an integer (or decimal text) 0 to 255.
Bytes buildPeerModeFrame(std::int64_t nodeId, std::int64_t keepPeerInRx);

/// Firmware transfer payloads: a data chunk (type 201, its 16-bit address,
/// at most 50 bytes of image) and the closing message (type 202, the token).
/// An address outside 0 to 65535 is an error.
Bytes dataChunkPayload(std::int64_t addr, ByteView data);
Bytes finalChunkPayload(ByteView authToken);

/// The "TB" frame carrying `payload` to `toNodeId`.
Bytes buildBigMessageFrame(std::int64_t toNodeId, std::int64_t msgId, ByteView payload,
                           std::int64_t ackTimeout);

}  // namespace vantro
