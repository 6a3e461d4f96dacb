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
  // The syncer decides whether the date may set the host clock; `date` runs
  // on its worker, so only this record's reader waits for it.
  if (timeSyncer) co_await timeSyncer->setSystemTime(dt);
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
  if (timeSyncer) {
    wakeupRadio();
    return;
  }
  timeSyncer = std::make_unique<Pendulor>(*this);
  // The first cycle sets the board's clock (or asks for its date) before the
  // wake-up, so that its first records carry a good date; the wake-up follows
  // whatever the cycle's outcome.
  timeSyncer->sync(false, [this] { wakeAfterCycle(); });
}

void TelvariSpeakV2::wakeAfterCycle() {
  try {
    wakeupRadio();
  } catch (const std::exception& e) {
    print("Could not wake the Duzediv Eri: {}", e.what());
  }
}

void TelvariSpeakV2::shutdown() {
  TelvariSpeakV1::shutdown();
  if (timeSyncer) timeSyncer->shutdown();
}

void TelvariSpeakV2::resumeAfterRebind() {
  // The syncer's timer was cancelled with the earlier run's tasks: its cycle
  // starts afresh, and the wake-up follows the first cycle as at the set-up.
  if (!timeSyncer) {
    TelvariSpeakV1::resumeAfterRebind();
    return;
  }
  timeSyncer->restart(false, [this] { wakeAfterCycle(); });
}

}  // namespace vantro
