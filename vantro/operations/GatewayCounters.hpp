#pragma once
// What the gateway counted since it started, for its health report. Each
// figure is counted at the one place where its event happens: the receive
// loop (records, garbage, serial reopens), the protocol object (readings,
// decrypt failures), the MQTT callbacks (reconnects) and the command path
// (node commands). The session owns the one instance.
//
// Node commands are counted on the transmit worker, everything else on the
// loop thread: the figures are atomics, read without a lock by the report.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vantro {

struct GatewayCounters {
  using Counter = std::atomic<std::uint64_t>;

  /// Records the board sent after a known marker and that were read whole.
  Counter recordsRead{0};
  /// Node readings handed to MQTT (duplicates are not published).
  Counter readingsPublished{0};
  /// Node messages whose body no parser took (unknown type or length).
  Counter readingsUnparsed{0};
  /// Bytes that started no record and were skipped.
  Counter garbageBytes{0};
  /// Messages the board received but could not decrypt ("SX").
  Counter decryptFailures{0};
  /// Serial devices reopened after they went away.
  Counter serialReopens{0};
  /// Connections to the broker after the first one.
  Counter brokerReconnects{0};
  /// Node commands run to their end, and those refused (at intake or by the board).
  Counter commandsExecuted{0};
  Counter commandsRefused{0};
  /// When the last record was read (ms since the epoch), 0 before the first.
  std::atomic<std::int64_t> lastRecordMs{0};

  /// A record was read whole.
  void recordRead() {
    using namespace std::chrono;
    ++recordsRead;
    lastRecordMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
};

}  // namespace vantro
