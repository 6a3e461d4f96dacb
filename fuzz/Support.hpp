#pragma once
// What the fuzz entries share: a pseudo-terminal that plays the board, a
// scratch folder, an MQTT client that records publications, and the checks of
// a sensor publication.
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/Pty.hpp"
#include "tests/support/RecordingMqttClient.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/runtime/Bytes.hpp"

namespace vantro::fuzz {

/// A raw pseudo-terminal pair (the tests' Pty, its master non-blocking). The
/// code under test opens the slave by its path; the entry writes the board's
/// bytes to the master and throws away what the code under test wrote.
class BoardPty {
 public:
  BoardPty();

  const std::string& slavePath() const { return pty_.slavePath(); }
  /// Writes `bytes` (at most a few kilobytes: nobody reads while it writes)
  /// and returns once the slave side holds all of them, so that a reader
  /// finds them without waiting; gives up waiting after a second.
  void feed(ByteView bytes);
  /// Bytes waiting on the slave side, not yet read by anybody.
  std::size_t pendingForSlave() const;
  /// What the code under test wrote since the last call.
  Bytes takeWritten();

 private:
  test::Pty pty_;
};

/// The tests' temporary folder, which an entry empties between inputs.
class ScratchDir : public test::TempDir {
 public:
  /// Removes everything inside, keeping the folder.
  void clear() const;
};

/// Writes `bytes` to the file `path` (replacing it).
void writeFile(const std::filesystem::path& path, ByteView bytes);

/// An MQTT client without a broker: keeps what is published.
using RecordingClient = test::RecordingMqttClient;

/// Throws Fault unless a publication on "sensor/..." is what the sensor
/// message parser promises: topic "sensor/{uid}/{kind}", QoS 1, retained, a
/// JSON object led by an integer "ts" and a negative or zero "rssi", every
/// other member a finite number. Other topics are not looked at.
void checkSensorPublication(const RecordingClient::Publication& p);

}  // namespace vantro::fuzz

namespace vantro::fuzz {

/// Puts stand-ins for the external commands of the time syncer first and
/// alone on PATH, for the whole process: "ntpstat" (the host clock is not
/// NTP-synchronised, so a board date is taken further) and "date", which
/// does nothing. A fuzz input must never set the machine's clock.
void installClockStandIns(const std::filesystem::path& dir);

}  // namespace vantro::fuzz
