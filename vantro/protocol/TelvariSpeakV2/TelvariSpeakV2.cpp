#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"

#include "vantro/protocol/TelvariSpeakV1/Records.hpp"

#include <stdexcept>

#include "vantro/runtime/Print.hpp"
#include "vantro/time/date/DateRecord.hpp"

namespace vantro {
namespace {

Awaitable<std::size_t> readLength(SerialLink& link) {
  Bytes b = co_await link.read_async(1);
  if (b.empty()) throw std::out_of_range("no length byte arrived within the read time-out");
  co_return b[0];
}

ByteView from(const Bytes& b, std::size_t offset) {
  return b.size() > offset ? ByteView(b).subspan(offset) : ByteView{};
}

}  // namespace

TelvariSpeakV2::TelvariSpeakV2(std::shared_ptr<SerialLink> serialDev,
                               std::shared_ptr<MqttClient> client,
                               std::shared_ptr<SensorMsgParser> parser, std::string dir,
                               std::shared_ptr<NodeIdTable> nodeIds)
    : TelvariSpeakV1(std::move(serialDev), std::move(client), std::move(parser), std::move(dir),
                     std::move(nodeIds)) {}

TelvariSpeakV2::~TelvariSpeakV2() = default;

void TelvariSpeakV2::txDate() {
  writeCommand(buildSetTimeCommand(localNow()));
}

void TelvariSpeakV2::rxDate() {
  print("Empty RX date (Request Date) implementation");
}

DateTime TelvariSpeakV2::parseDate(ByteView payload) {
  return vantro::parseDate(payload);
}

Awaitable<bool> TelvariSpeakV2::processMsg(std::string msgStart) {
  const bool handled = co_await TelvariSpeakV1::processMsg(msgStart);
  if (handled) co_return true;
  if (msgStart == "RT") {
    co_await handleTime();
    co_return true;
  }
  co_return false;
}

Awaitable<void> TelvariSpeakV2::handleTime() {
  auto link = ser;
  const Bytes record = co_await link->read_async(kDateRecordSize);
  const DateTime dt = parseDate(record);
  if (timeSyncer) timeSyncer->setSystemTime(dt);
}

Awaitable<void> TelvariSpeakV2::handleValidRx(bool isDuplicate) {
  auto link = ser;
  const std::size_t numBytesToRead = co_await readLength(*link);
  const Bytes payloadBytes = co_await link->read_async(numBytesToRead);
  // The version 1 layout, with the board's reception date after the signal.
  const ValidRx rx = decodeValidRx(payloadBytes);
  const DateTime msgDate = parseDate(from(payloadBytes, 7));
  if (!isDuplicate) uid2id->set(rx.senderUID, rx.msgsender);
  publishMsg(toUnixMillis(msgDate), from(payloadBytes, 15), rx.msgsender, rx.senderUID, rx.rssi,
             isDuplicate);
}

Awaitable<void> TelvariSpeakV2::handleInvalidRx() {
  auto link = ser;
  const std::size_t numBytesToRead = co_await readLength(*link);
  const Bytes payloadBytes = co_await link->read_async(numBytesToRead);
  const InvalidRx rx = decodeInvalidRx(payloadBytes);
  const DateTime msgDate = parseDate(from(payloadBytes, 4));
  print("TX {} -> RX {}: Decrypt Failed. {} Connection index: {} \t RSSI: {}\t {}", rx.msgsender,
        rx.recipient, bytesList(from(payloadBytes, 12)), rx.connIdx, rx.rssi, toString(msgDate));
}

void TelvariSpeakV2::postEncryption() {
  if (!timeSyncer) {
    timeSyncer = std::make_unique<Pendulor>(*this);
    timeSyncer->sync(false);
  }
  TelvariSpeakV1::postEncryption();
}

void TelvariSpeakV2::shutdown() {
  TelvariSpeakV1::shutdown();
  if (timeSyncer) timeSyncer->shutdown();
}

void TelvariSpeakV2::rebind(std::shared_ptr<SerialLink> serialDev,
                            std::shared_ptr<MqttClient> client,
                            std::shared_ptr<SensorMsgParser> parser) {
  TelvariSpeakV1::rebind(std::move(serialDev), std::move(client), std::move(parser));
  if (timeSyncer) timeSyncer->restart(false);
}

}  // namespace vantro
