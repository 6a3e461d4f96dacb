// The reading side of version 1: the records the Duzediv Eri sends after a
// two-letter marker, their decoding and publishing.
#include <chrono>
#include <stdexcept>

#include "vantro/protocol/TelvariSpeakV1/Records.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

std::int64_t wallClockMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Reads the length byte that starts a record of announced length.
Awaitable<std::size_t> readLength(SerialLink& ser) {
  Bytes b = co_await ser.read_async(1);
  if (b.empty()) throw std::out_of_range("no length byte arrived within the read time-out");
  co_return b[0];
}

// Drops the last `n` characters (code points) of UTF-8 text.
std::string dropLastChars(std::string s, std::size_t n) {
  while (n-- > 0 && !s.empty()) {
    std::size_t i = s.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    s.erase(i);
  }
  return s;
}

}  // namespace

Awaitable<bool> TelvariSpeakV1::processMsg(std::string msgStart) {
  if (msgStart == "SD" || msgStart == "SI") {
    co_await handleValidRx(msgStart == "SI");
  } else if (msgStart == "SX") {
    co_await handleInvalidRx();
    ++counters->decryptFailures;
  } else if (msgStart == "SP") {
    co_await handleStoreState();
  } else if (msgStart == "ST") {
    co_await handleStatistics();
  } else if (msgStart == "LG") {
    co_await handleLog();
  } else {
    co_return false;
  }
  co_return true;
}

Awaitable<void> TelvariSpeakV1::handleValidRx(bool isDuplicate) {
  auto link = ser;
  const std::size_t n = co_await readLength(*link);
  const Bytes payloadBytes = co_await link->read_async(n);
  const ValidRx rx = decodeValidRx(payloadBytes);
  if (!isDuplicate) uid2id->set(rx.senderUID, rx.msgsender);
  const std::int64_t tsMillis = wallClockMillis();
  const ByteView body = payloadBytes.size() > 7 ? ByteView(payloadBytes).subspan(7) : ByteView{};
  publishMsg(tsMillis, body, rx.msgsender, rx.senderUID, rx.rssi, isDuplicate);
}

void TelvariSpeakV1::publishMsg(std::int64_t tsMillis, ByteView payload, int msgsender,
                                std::uint32_t senderUID, int rssi, bool isDuplicate) {
  const SpecificMsgParser* specificMsgParser = msgParser->getParser(payload);
  if (!specificMsgParser) {
    ++counters->readingsUnparsed;
    print("Sender {}: Could not parse msg. RSSI: {}", msgsender, rssi);
    return;
  }
  if (isDuplicate) {
    print("Sender {}: Duplicate msg \t RSSI: {} ", msgsender, rssi);
    return;
  }
  const ParsedMsg parsedMsg = specificMsgParser->parse(senderUID, payload);
  const std::string mymsg = msgParser->toString(parsedMsg);
  auto publisher = specificMsgParser->getPublisher(*mqttClient);
  if (beforePublish) beforePublish(parsedMsg);
  publisher->publish(senderUID, tsMillis, parsedMsg, rssi);
  ++counters->readingsPublished;
  print("Sender {}: {} \t RSSI: {}", msgsender, mymsg, rssi);
}

Awaitable<void> TelvariSpeakV1::handleInvalidRx() {
  auto link = ser;
  const std::size_t n = co_await readLength(*link);
  const Bytes payloadBytes = co_await link->read_async(n);
  const InvalidRx rx = decodeInvalidRx(payloadBytes);
  print("TX {} -> RX {}: Decrypt Failed. {} Connection index: {} \t RSSI: {}", rx.msgsender,
        rx.recipient, bytesList(ByteView(payloadBytes).subspan(4)), rx.connIdx, rx.rssi);
}

Awaitable<void> TelvariSpeakV1::handleStoreState() {
  auto link = ser;
  const Bytes payloadBytes = co_await link->read_async(17);
  const std::uint32_t uid = readU32BE(payloadBytes, 5);
  print("Storing state for UID {}.", uid);
  const ByteView all(payloadBytes);
  ChachaSerialRFM69::storeState(statusDir, all.subspan(0, 4), all.subspan(5));
}

Awaitable<void> TelvariSpeakV1::handleStatistics() {
  auto link = ser;
  const Bytes payloadBytes = co_await link->read_async(8);
  const Statistics st = decodeStatistics(payloadBytes);
  print("Num RX: {}, Num Lost Packets: {}", st.numReceived, st.numMissed);
}

Awaitable<void> TelvariSpeakV1::handleLog() {
  auto link = ser;
  const Bytes line = co_await link->readline_async();
  const std::string text = dropLastChars(decodeText(line), 2);
  print("[GW Log] {}", escapeControls(text));
  // A board that restarted by itself asks to be started ("Press ..."), as at
  // power-up: it is answered here too, or it would never announce itself.
  answerStartupPrompt(*link, strip(text));
}

bool TelvariSpeakV1::answerStartupPrompt(SerialLink& ser, const std::string& logText) {
  if (!logText.starts_with("Press")) return false;
  static constexpr Byte kAnswer[] = {'r'};
  ser.writeCommand(kAnswer);
  return true;
}

Awaitable<std::string> TelvariSpeakV1::waitForRxMsg(SerialLink& ser,
                                                    std::optional<std::string> awaitedMsg) {
  for (;;) {
    const Bytes raw = co_await ser.readline_async();
    const std::string line = decodeText(raw);
    std::string text;
    if (!line.empty()) {
      const auto pos = line.find("LG");
      if (pos == std::string::npos) continue;
      text = strip(line.substr(pos + 2));
      print("[GW Log] {}", escapeControls(text));
    }
    if (!awaitedMsg) co_return text;
    if (text == *awaitedMsg) co_return text;
  }
}

}  // namespace vantro
