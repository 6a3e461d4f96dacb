#include "vantro/operations/NodeBook.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vantro {

std::string_view availabilityText(NodeAvailability a) {
  switch (a) {
    case NodeAvailability::Online:
      return "online";
    case NodeAvailability::Offline:
      return "offline";
    default:
      return "unknown";
  }
}

NodeBook::Change NodeBook::reading(std::uint32_t uid, const std::string& kind, std::int64_t nowMs) {
  NodeRecord& n = nodes_[uid];
  Change change;
  change.cameOnline = !n.heardSinceStart || n.availability != NodeAvailability::Online;
  n.heardSinceStart = true;
  n.availability = NodeAvailability::Online;
  n.lastSeenMs = nowMs;
  if (std::find(n.kinds.begin(), n.kinds.end(), kind) == n.kinds.end()) {
    n.kinds.push_back(kind);
    change.newKind = true;
  }
  return change;
}

std::vector<std::uint32_t> NodeBook::expire(std::int64_t nowMs, std::int64_t timeoutMs) {
  std::vector<std::uint32_t> expired;
  for (auto& [uid, n] : nodes_) {
    if (n.availability == NodeAvailability::Online && nowMs - n.lastSeenMs >= timeoutMs) {
      n.availability = NodeAvailability::Offline;
      expired.push_back(uid);
    }
  }
  return expired;
}

std::optional<std::int64_t> NodeBook::nextExpiry(std::int64_t timeoutMs) const {
  std::optional<std::int64_t> next;
  for (const auto& [uid, n] : nodes_) {
    if (n.availability != NodeAvailability::Online) continue;
    const std::int64_t at = n.lastSeenMs + timeoutMs;
    if (!next || at < *next) next = at;
  }
  return next;
}

const NodeRecord* NodeBook::find(std::uint32_t uid) const {
  const auto it = nodes_.find(uid);
  return it == nodes_.end() ? nullptr : &it->second;
}

std::string NodeBook::toJson() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& [uid, n] : nodes_) {
    nlohmann::ordered_json j;
    j["uid"] = uid;
    j["last_seen_ms"] = n.lastSeenMs;
    if (n.availability != NodeAvailability::Unknown) {
      j["availability"] = availabilityText(n.availability);
    }
    j["kinds"] = n.kinds;
    list.push_back(std::move(j));
  }
  nlohmann::ordered_json file;
  file["nodes"] = std::move(list);
  return file.dump() + "\n";
}

NodeBook NodeBook::fromJson(std::string_view text) {
  NodeBook book;
  try {
    const nlohmann::json file = nlohmann::json::parse(text);
    for (const nlohmann::json& j : file.at("nodes")) {
      const auto uid = j.at("uid").get<std::uint32_t>();
      NodeRecord n;
      n.lastSeenMs = j.at("last_seen_ms").get<std::int64_t>();
      const std::string availability = j.value("availability", std::string());
      if (availability == "online") n.availability = NodeAvailability::Online;
      if (availability == "offline") n.availability = NodeAvailability::Offline;
      n.kinds = j.at("kinds").get<std::vector<std::string>>();
      book.nodes_[uid] = std::move(n);
    }
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(fmt::format("not a node list: {}", e.what()));
  }
  return book;
}

}  // namespace vantro
