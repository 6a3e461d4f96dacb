#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"

#include "vantro/runtime/Print.hpp"

namespace vantro {

TelvariSpeakV1::TelvariSpeakV1(std::shared_ptr<SerialLink> serialDev,
                               std::shared_ptr<MqttClient> client,
                               std::shared_ptr<SensorMsgParser> parser, std::string dir,
                               std::shared_ptr<NodeIdTable> nodeIds)
    : ser(std::move(serialDev)),
      mqttClient(std::move(client)),
      msgParser(std::move(parser)),
      statusDir(std::move(dir)),
      uid2id(nodeIds ? std::move(nodeIds) : std::make_shared<NodeIdTable>()) {}

TelvariSpeakV1::~TelvariSpeakV1() = default;

void TelvariSpeakV1::setMqttConnected(bool connected) {
  mqttConnected = connected;
}

void TelvariSpeakV1::txQueuedMsgs() {
  TxQueue::Job job = txQueue.take();
  if (job) job();
}

void TelvariSpeakV1::scheduleTx(TxQueue::Job func) {
  if (EventLoop::running() != nullptr) {
    txQueue.push(std::move(func));
  } else {
    txQueue.put(std::move(func));
  }
}

void TelvariSpeakV1::writeCommand(ByteView command) {
  ser->writeCommand(command);
}

void TelvariSpeakV1::wakeupRadio() {
  print("Waking Duzediv Eri up\n");
  static constexpr Byte kWake[] = {'T', 'C'};
  writeCommand(kWake);
}

void TelvariSpeakV1::shutdown() {
  static constexpr Byte kShutdown[] = {'S', 'C'};
  writeCommand(kShutdown);
}

void TelvariSpeakV1::rebind(std::shared_ptr<SerialLink> serialDev,
                            std::shared_ptr<MqttClient> client,
                            std::shared_ptr<SensorMsgParser> parser) {
  ser = std::move(serialDev);
  mqttClient = std::move(client);
  msgParser = std::move(parser);
  // The new client is not connected yet; its on_connect sets the flag again.
  mqttConnected = false;
  if (encryptionSetup) resumeAfterRebind();
}

void TelvariSpeakV1::resumeAfterRebind() {
  // The receive loop of the new run has not started yet: a failed write must
  // not end it before it begins; the board is woken at its next set-up.
  try {
    wakeupRadio();
  } catch (const std::exception& e) {
    print("Could not wake the Duzediv Eri: {}", e.what());
  }
}

}  // namespace vantro
