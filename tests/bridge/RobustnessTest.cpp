// Bad input never stops the receive loop: megabytes of random bytes with
// valid node records among them go through a real pseudo-terminal into the
// real loop, for both protocol versions; the loop keeps going, and the valid
// records that follow the noise are all published.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "tests/support/Pty.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"

using namespace std::chrono_literals;
using vantro::Awaitable;
using vantro::Byte;
using vantro::Bytes;

namespace {

vantro::Session::Settings sessionIn(const std::string& dir) {
  vantro::Session::Settings s;
  s.statusDir = dir;
  return s;
}

constexpr std::size_t kNoiseBytes = 512 * 1024;
constexpr std::size_t kNoiseChunk = 4096;  // one valid record after each chunk
constexpr std::uint32_t kNoiseNodeUid = 5000;
constexpr std::uint32_t kTailNodeUid = 7777;
constexpr int kTailRecords = 50;
constexpr auto kLimit = 120s;  // typically 1 to 20 s; a slow sanitizer run gets more

// Keeps the (many) printed lines out of memory: only counts them.
class PrintCounter {
 public:
  PrintCounter() { vantro::setPrintSink(&PrintCounter::sink, this); }
  ~PrintCounter() { vantro::setPrintSink(nullptr, nullptr); }
  PrintCounter(const PrintCounter&) = delete;
  PrintCounter& operator=(const PrintCounter&) = delete;
  std::size_t lines() const { return lines_.load(); }

 private:
  static void sink(std::string_view, void* ctx) { ++static_cast<PrintCounter*>(ctx)->lines_; }
  std::atomic<std::size_t> lines_{0};
};

// Records the battery readings published per node (loop thread only).
class RecordingClient : public vantro::MqttClient {
 public:
  RecordingClient() : MqttClient(NoLibrary{}) {}
  using MqttClient::publish;
  void publish(const std::string& topic, vantro::ByteView payload, int, bool) override {
    const std::string text(payload.begin(), payload.end());
    const auto at = text.find("\"battery_mv\":");
    const int mv = at == std::string::npos ? -1 : std::stoi(text.substr(at + 13));
    if (topic == "sensor/" + std::to_string(kNoiseNodeUid) + "/battery") noise.push_back(mv);
    if (topic == "sensor/" + std::to_string(kTailNodeUid) + "/battery") tail.push_back(mv);
  }
  std::vector<int> noise;
  std::vector<int> tail;
};

void appendU32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<Byte>(v >> shift));
}

// An "SD" record of a battery node reporting `mv`; version 2 records carry
// the board's date (2024-06-10 12:00:00.000) after the header.
Bytes batteryRecord(int version, std::uint32_t uid, std::uint16_t mv) {
  const Byte length = version == 2 ? 18 : 10;
  Bytes out{'S', 'D', length};
  appendU32(out, uid);
  for (int b : {10, 0, 60}) out.push_back(static_cast<Byte>(b));  // node id, spare, RSSI -60
  if (version == 2) {
    for (int b : {0x24, 0x06, 0x10, 0x00, 0x00, 0x12, 0x00, 0x00})
      out.push_back(static_cast<Byte>(b));
  }
  for (int b : {0x04, mv >> 8, mv & 0xFF}) out.push_back(static_cast<Byte>(b));
  return out;
}

// Noise chunks with a valid record after each, then a run of plain ASCII that
// ends any record the noise had begun (records are at most 258 bytes, a log
// line ends at its line feed), then the tail records.
Bytes stream(int version, std::size_t& noiseRecords) {
  std::mt19937 rng(20240610);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out;
  out.reserve(kNoiseBytes + kNoiseBytes / kNoiseChunk * 32 + 4096);
  noiseRecords = 0;
  for (std::size_t i = 0; i < kNoiseBytes; ++i) {
    out.push_back(static_cast<Byte>(byte(rng)));
    if ((i + 1) % kNoiseChunk == 0) {
      const Bytes r =
          batteryRecord(version, kNoiseNodeUid, static_cast<std::uint16_t>(++noiseRecords));
      out.insert(out.end(), r.begin(), r.end());
    }
  }
  out.insert(out.end(), 300, Byte{'x'});
  out.push_back('\n');
  out.insert(out.end(), 300, Byte{'x'});
  for (int k = 1; k <= kTailRecords; ++k) {
    const Bytes r = batteryRecord(version, kTailNodeUid, static_cast<std::uint16_t>(k));
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

class RxLoopRobustness : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    session.myProtocol.reset();
    session.ser = std::make_shared<vantro::SerialLink>(loop.context(), pty.slavePath(), 115200);
    auto parser = std::make_shared<vantro::SensorMsgParser>();
    if (GetParam() == 1) {
      session.myProtocol =
          std::make_shared<vantro::TelvariSpeakV1>(session.ser, client, parser, dir.str());
    } else {
      session.myProtocol =
          std::make_shared<vantro::TelvariSpeakV2>(session.ser, client, parser, dir.str());
    }
  }
  void TearDown() override {
    session.myProtocol.reset();
    session.ser.reset();
  }

  vantro::test::TempDir dir;
  vantro::Session session{sessionIn(dir.str())};
  vantro::test::Pty pty;
  PrintCounter printed;
  vantro::EventLoop loop;
  std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
};

TEST_P(RxLoopRobustness, RandomBytesNeverStopTheLoopAndLaterRecordsArrive) {
  std::size_t noiseRecords = 0;
  const Bytes bytes = stream(GetParam(), noiseRecords);
  std::atomic<bool> written{false};
  std::atomic<bool> stopWriting{false};
  std::atomic<int> writeError{0};
  // Polls before each write, so that it can give up when the loop stopped reading.
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < bytes.size() && !stopWriting) {
      pollfd p{pty.masterFd(), POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n =
          ::write(pty.masterFd(), bytes.data() + at, std::min(kNoiseChunk, bytes.size() - at));
      if (n > 0) {
        at += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        writeError = errno;
        break;
      }
    }
    written = at == bytes.size();
  });

  bool loopEndedEarly = false;
  loop.runUntilComplete([&]() -> Awaitable<void> {
    auto rx = loop.spawn(vantro::processRxMsgs(session, client, "127.0.0.1", vantro::Args{}));
    const auto end = std::chrono::steady_clock::now() + kLimit;
    while (std::chrono::steady_clock::now() < end) {
      if (written && client->tail.size() >= static_cast<std::size_t>(kTailRecords)) break;
      if (rx->done()) {
        loopEndedEarly = true;
        break;
      }
      co_await vantro::sleep(50ms);
    }
    rx->cancel();
    co_await rx->wait();
  }());
  stopWriting = true;
  writer.join();

  EXPECT_FALSE(loopEndedEarly) << "the receive loop ended by itself";
  EXPECT_EQ(writeError, 0) << "writing to the pty failed";
  EXPECT_TRUE(written) << "the loop stopped reading: the writer could not write everything";
  std::vector<int> expected(kTailRecords);
  for (int k = 0; k < kTailRecords; ++k) expected[static_cast<std::size_t>(k)] = k + 1;
  EXPECT_EQ(client->tail, expected);
  // A record right after noise may be swallowed by a record the noise began,
  // but most of them arrive.
  EXPECT_GT(client->noise.size(), noiseRecords / 2)
      << client->noise.size() << " of " << noiseRecords << " records among the noise";
  EXPECT_GT(printed.lines(), kNoiseBytes / 100);  // the noise was reported, not skipped
}

INSTANTIATE_TEST_SUITE_P(BothVersions, RxLoopRobustness, ::testing::Values(1, 2),
                         [](const auto& p) { return "V" + std::to_string(p.param); });

}  // namespace
