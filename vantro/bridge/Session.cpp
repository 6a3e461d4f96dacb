#include "vantro/bridge/Session.hpp"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "vantro/bridge/Bridge.hpp"

#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

Session::Session(Settings s)
    : statusDir(s.statusDir),
      settings(std::move(s)),
      txMsgQueue(settings.txMsgLimits),
      commander([this] { return ser; }, uid2id, counters),
      intake(settings.commandQueue),
      publications(std::make_shared<PublicationQueue>()) {}

std::string Session::commandFilter() const {
  if (settings.commandScope == CommandScope::All) return "tx/#";
  return gatewayUid.empty() ? std::string() : "gw/" + gatewayUid + "/tx/#";
}

std::optional<std::string> Session::commandTopic(const std::string& topic) const {
  std::string_view rest = topic;
  if (settings.commandScope == CommandScope::Own) {
    const std::string prefix = "gw/" + gatewayUid + "/";
    if (gatewayUid.empty() || !rest.starts_with(prefix)) return std::nullopt;
    rest.remove_prefix(prefix.size());
  }
  if (rest != "tx" && !rest.starts_with("tx/")) return std::nullopt;
  return std::string(rest);
}

void Session::takeMessage(const std::string& topic, const Bytes& payload,
                          const MessageProperties& properties) {
  // Outside the scope: left over from a subscription of another scope or UID
  // that the broker's session kept.
  const std::optional<std::string> command = commandTopic(topic);
  if (!command) {
    print("Ignoring message on {}: not under {}", escapeControls(topic), commandFilter());
    return;
  }
  txMsgQueue.store(*command, payload);
  if (!settings.dispatchCommands) return;
  // A retained command comes again at every (re)subscription: it must not
  // restart a firmware transfer, or send anything else, each time.
  if (properties.retain) {
    print("Ignoring retained command on {}", escapeControls(topic));
    return;
  }
  try {
    NodeCommand nodeCommand = parseCommand(*command, payload, settings.firmwareDir, *uid2id);
    nodeCommand.topic = topic;
    if (!intake.offer(std::move(nodeCommand))) {
      printRejectedCommand(topic, "command queue full");
      ++counters->commandsRefused;
    }
  } catch (const std::exception& e) {
    printRejectedCommand(topic, e.what());
    ++counters->commandsRefused;
  }
}

void Session::replaceProtocol(std::shared_ptr<TelvariSpeakV1> protocol) {
  const std::shared_ptr<TelvariSpeakV1> old = std::exchange(myProtocol, std::move(protocol));
  if (myProtocol) {
    myProtocol->counters = counters;
    myProtocol->beforePublish = [this](const ParsedMsg& msg) { operations.nodeReading(msg); };
  }
  if (old && old != myProtocol) {
    for (TxQueue::Job& job : old->txQueue.drain()) myProtocol->txQueue.push(std::move(job));
    old->txQueue.close(emptyFunc);
  }
  intake.wake();
}

void Session::dropQueuedCommands() {
  const std::size_t dropped = intake.dropQueued(myProtocol ? &myProtocol->txQueue : nullptr);
  if (dropped > 0) print("Dropped {} queued node commands", dropped);
}

void Session::openOutbox() {
  if (settings.outbox && !publications->usesOutbox()) publications->useOutbox(*settings.outbox);
}

void Session::releaseLoopBound() {
  myProtocol.reset();
  ser.reset();
  // Acknowledged rows leave it; the file is synced as it closes.
  publications = std::make_shared<PublicationQueue>();
  operations.saveNow();
}

namespace {
std::unique_ptr<Session>& processSlot() {
  static std::unique_ptr<Session> session;
  return session;
}
}  // namespace

Session& processSession() {
  std::unique_ptr<Session>& session = processSlot();
  if (!session) session = std::make_unique<Session>();
  return *session;
}

Session& configureProcessSession(Session::Settings settings) {
  std::unique_ptr<Session>& session = processSlot();
  if (session) throw std::logic_error("the process's session exists already");
  session = std::make_unique<Session>(std::move(settings));
  return *session;
}

}  // namespace vantro
