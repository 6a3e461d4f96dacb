#include "sim/Traffic.hpp"

#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace sim {

Mix parseMix(std::string_view text) {
  Mix m{0, 0, 0, 0, 0, 0};
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const auto eq = part.find('=');
    if (eq == std::string_view::npos)
      throw std::invalid_argument(fmt::format("mix part '{}' is not kind=weight", part));
    const std::string_view kind = part.substr(0, eq);
    const std::string value(part.substr(eq + 1));
    std::size_t used = 0;
    unsigned long w = 0;
    try {
      w = std::stoul(value, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != value.size() || w > 1'000'000)
      throw std::invalid_argument(
          fmt::format("mix weight '{}' of {} is not a number", value, kind));
    const auto weight = static_cast<unsigned>(w);
    if (kind == "sd")
      m.sd = weight;
    else if (kind == "si")
      m.si = weight;
    else if (kind == "sx")
      m.sx = weight;
    else if (kind == "st")
      m.st = weight;
    else if (kind == "lg")
      m.lg = weight;
    else if (kind == "sp")
      m.sp = weight;
    else
      throw std::invalid_argument(fmt::format("mix kind '{}' unknown (sd si sx st lg sp)", kind));
  }
  if (m.sd + m.si + m.sx + m.st + m.lg + m.sp == 0)
    throw std::invalid_argument("mix has no record kind with a weight above 0");
  return m;
}

Traffic::Traffic(const TrafficSettings& settings)
    : settings_(settings),
      rng_(settings.seed),
      kinds_({double(settings.mix.sd), double(settings.mix.si), double(settings.mix.sx),
              double(settings.mix.st), double(settings.mix.lg), double(settings.mix.sp)}) {
  for (unsigned i = 0; i < settings.nodes; ++i) {
    const std::uint32_t uid = kFirstNodeUid + i;
    nodes_.push_back({uid, static_cast<Byte>(kFirstNodeId + i), static_cast<Byte>(40 + i * 7 % 40),
                      PeerState{1, uid, 1, 0}});
  }
}

void Traffic::setPeer(const PeerState& state) {
  for (auto& n : nodes_)
    if (n.uid == state.uid) n.peer = state;
}

bool Traffic::knowsNodeId(Byte nodeId) const {
  for (const auto& n : nodes_)
    if (n.nodeId == nodeId) return true;
  return false;
}

Traffic::Node& Traffic::pickNode() {
  return nodes_[std::uniform_int_distribution<std::size_t>(0, nodes_.size() - 1)(rng_)];
}

Bytes Traffic::body(const Node& n) {
  // Slowly changing values: each node's readings follow its message counter.
  const std::uint32_t c = n.peer.messageCounter;
  const auto mv = static_cast<std::uint16_t>(3300 - c % 400);
  if (settings_.batteryEvery != 0 && c % settings_.batteryEvery == 0) return batteryBody(mv);
  switch ((n.uid - kFirstNodeUid) % 4) {
    case 0:
      return climateBody(static_cast<std::int16_t>(2000 + static_cast<int>(c * 37 % 600) - 300),
                         static_cast<std::uint16_t>(4500 + c * 13 % 1000), mv);
    case 1:
      return distanceBody(static_cast<std::uint16_t>(500 + c * 11 % 1500), mv);
    case 2:
      return waterBody(static_cast<std::int16_t>(1200 + static_cast<int>(c * 7 % 300)), mv);
    default:
      return batteryBody(mv);
  }
}

Traffic::Record Traffic::nodeMessage(const DateTime& date) {
  Node& n = pickNode();
  ++n.peer.messageCounter;
  const auto jitter = static_cast<Byte>(std::uniform_int_distribution<int>(0, 4)(rng_));
  ++sdCount_;
  const auto number = static_cast<std::uint32_t>(settings_.sequenceValues + sdCount_ - 1);
  const Bytes payload = settings_.sequenceValues != 0
                            ? distanceBody(static_cast<std::uint16_t>(number & 0xffff),
                                           static_cast<std::uint16_t>(number >> 16))
                            : body(n);
  lastNodeData_ = NodeData{false, n.uid, n.nodeId, static_cast<Byte>(n.rssi + jitter), payload};
  haveLast_ = true;
  return {nodeDataRecord(lastNodeData_, settings_.dated ? &date : nullptr), true, sdCount_, n.uid};
}

Traffic::Record Traffic::next(const DateTime& date, Byte gatewayNodeId) {
  const DateTime* dated = settings_.dated ? &date : nullptr;
  switch (kinds_(rng_)) {
    case 1: {  // duplicate
      if (!haveLast_) return nodeMessage(date);
      NodeData dup = lastNodeData_;
      dup.duplicate = true;
      return {nodeDataRecord(dup, dated)};
    }
    case 2: {  // decrypt failure
      Node& n = pickNode();
      ++sxCount_;
      DecryptFailure f{
          n.nodeId, gatewayNodeId, n.rssi, static_cast<Byte>(n.nodeId - kFirstNodeId), {}};
      appendU32(f.rest, n.peer.messageCounter);
      return {decryptFailureRecord(f, dated)};
    }
    case 3:
      return {statisticsRecord(static_cast<std::uint32_t>(sdCount_), sxCount_)};
    case 4:
      return {logRecord(fmt::format("Radio heartbeat {}", ++lgCount_))};
    case 5: {
      Node& n = pickNode();
      PeerState s = n.peer;
      s.localStartupCounter = localStartups_;
      return {storeStateRecord(s)};
    }
    default:
      return nodeMessage(date);
  }
}

}  // namespace sim
