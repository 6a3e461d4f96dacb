#include "sim/Board.hpp"

#include <poll.h>

#include <algorithm>

#include "sim/Log.hpp"

namespace sim {

namespace {

/// The start-up prompt; the host answers any log line starting "Press" with "r".
constexpr const char* kPrompt = "Press r to start";
constexpr std::chrono::milliseconds kPromptInterval{500};
/// Traffic is only generated while less than this is waiting for the host, so
/// a host that does not read holds the board back instead of filling memory.
constexpr std::size_t kHighWater = 4096;
/// After a stall longer than this, the rate schedule starts afresh rather than
/// catching up in a burst.
constexpr std::chrono::seconds kMaxLag{1};
/// Bytes sent between records by --garbage-every: none of them starts a record.
constexpr Byte kGarbage[] = {0x00, 'q', 0xFF, 'z'};

std::chrono::steady_clock::duration seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(s));
}

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

}  // namespace

Board::Board(const Options& options)
    : o_(options), clock_(options.clockOffset), traffic_(options.traffic) {
  if (!o_.rxLog.empty()) rxLog_ = std::make_unique<RxLog>(o_.rxLog);
  if (!o_.txLog.empty()) txLog_ = std::make_unique<TxLog>(o_.txLog);
  clock_.now();  // fails at once if the board's clock cannot be put in a record
  openLine();
  const auto now = Clock::now();
  if (o_.rebootAfter > 0) rebootAt_ = now + seconds(o_.rebootAfter);
  if (o_.hangupAfter > 0) hangupAt_ = now + seconds(o_.hangupAfter);
  boot(now);
}

void Board::openLine() {
  pty_ = Pty::open();
  line_ = std::make_unique<Line>(pty_.master(), rxLog_.get(), txLog_.get());
  if (!o_.linkPath.empty()) {
    if (link_)
      link_->retarget(pty_.slavePath());
    else
      link_ = std::make_unique<Symlink>(o_.linkPath, pty_.slavePath());
  }
  event("PTY {}", pty_.slavePath());
}

void Board::boot(Clock::time_point now) {
  splitter_.reset();
  firmware_.reset();
  radioOn_ = false;
  prompting_ = false;
  nextRt_.reset();
  const bool firstBoot = boots_++ == 0;
  if (o_.start == StartMode::Prompt) {
    prompting_ = true;
    nextPrompt_ = now;
    return;
  }
  // A board that was already running is silent; after a reboot it announces
  // itself like any board that has just started.
  if (o_.start == StartMode::Announce || !firstBoot) announce();
  if (o_.rtEvery > 0) nextRt_ = now + seconds(o_.rtEvery);
}

void Board::announce() {
  sendRecord(logRecord("Gateway Module started up"));
  sendRecord(announcement(o_.protocol, o_.identity));
  event("ANNOUNCED protocol {}", o_.protocol);
}

void Board::sendRecord(ByteView record, std::uint64_t seq, std::uint32_t uid, bool cut) {
  line_->send(record, seq, uid, cut);
}

void Board::sendTraffic(Clock::time_point now) {
  if (!radioOn_ || countDone_ || !line_->attached()) return;
  const auto period = seconds(1.0 / o_.rate);
  if (!o_.flood && now - nextRecord_ > kMaxLag) nextRecord_ = now;
  while (line_->pending() < kHighWater && (o_.flood || now >= nextRecord_)) {
    Traffic::Record r = traffic_.next(clock_.now(), gatewayNodeId_);
    ++recordsSent_;
    const bool cut = o_.truncateEvery && recordsSent_ % o_.truncateEvery == 0;
    if (cut) {
      r.bytes.resize(r.bytes.size() / 2);
      r.seq = 0;  // never arrives whole, so it is not logged as sent
    }
    sendRecord(r.bytes, r.seq, r.uid, cut);
    if (o_.garbageEvery && recordsSent_ % o_.garbageEvery == 0) sendRecord(kGarbage);
    if (!o_.flood) nextRecord_ += period;
    if (o_.count && r.nodeData && traffic_.nodeDataSent() >= o_.count) {
      countDone_ = true;
      break;
    }
  }
}

void Board::receive(Clock::time_point now) {
  Bytes in = line_->receive();
  if (in.empty()) return;
  auto from = in.begin();
  if (prompting_) {
    from = std::find(in.begin(), in.end(), Byte{'r'});
    if (from != in.begin())
      note("ignored while waiting for \"r\": {}", hex(Bytes(in.begin(), from)));
    if (from == in.end()) return;
    ++from;
    prompting_ = false;
    announce();
    if (o_.rtEvery > 0) nextRt_ = now + seconds(o_.rtEvery);
  }
  for (const Piece& p : splitter_.feed(Bytes(from, in.end()), now)) handle(p, now);
}

void Board::handle(const Piece& piece, Clock::time_point now) {
  switch (piece.kind) {
    case Piece::Kind::Garbage:
      problem("unexpected bytes {}", hex(piece.bytes));
      return;
    case Piece::Kind::Incomplete:
      problem("incomplete frame dropped after {} ms of silence: {}", kFrameGap.count(),
              hex(piece.bytes));
      return;
    case Piece::Kind::Frame:
      break;
  }
  const std::string marker = piece.marker();
  try {
    handleFrame(marker, piece.bytes, now);
  } catch (const std::exception& e) {
    problem("{} frame {} rejected: {}", marker, hex(piece.bytes), e.what());
  }
}

void Board::handleFrame(const std::string& marker, ByteView frame, Clock::time_point now) {
  if (marker == "TC") {
    note("TC: radio on");
    if (!radioOn_) nextRecord_ = now;
    radioOn_ = true;
    event("RADIO ON");
    if (o_.rtAfterTc) sendRecord(timeRecord(clock_.now()));
  } else if (marker == "SC") {
    note("SC: radio off");
    radioOn_ = false;
    event("RADIO OFF");
  } else if (marker == "LS") {
    const LocalSetup s = decodeLocalSetup(frame);
    if (!s.spareBytesZero) problem("LS spare bytes are not zero: {}", hex(frame.subspan(4)));
    gatewayNodeId_ = s.nodeId;
    note("LS: node {} network {}", s.nodeId, s.networkId);
    sendRecord(logRecord("Local node setup complete"));
  } else if (marker == "PS") {
    const PeerSetup s = decodePeerSetup(frame);
    traffic_.setPeer(s.state);
    note("PS: peer {} local start-ups {} peer start-ups {} messages {} key {}", s.state.uid,
         s.state.localStartupCounter, s.state.peerStartupCounter, s.state.messageCounter,
         hex(s.key));
    sendRecord(logRecord("Peer setup complete"));
  } else if (marker == "TX") {
    const NodeMessage m = decodeNodeMessage(frame);
    note("TX: channel {} to node {}: {}", m.channel, m.target, m.describe());
  } else if (marker == "PP") {
    const SensorConfig c = decodeSensorConfig(frame);
    note("PP: channel {} configuration {}", c.channel, hex(c.config));
  } else if (marker == "PM") {
    const PeerMode m = decodePeerMode(frame);
    const bool known = traffic_.knowsNodeId(m.nodeId);
    note("PM: node id {} mode {} ({})", m.nodeId, m.mode,
         o_.pmSilent ? "not answered"
         : known     ? "PMS"
                     : "node unknown, PME");
    if (!o_.pmSilent) sendRecord(text(known ? "PMS" : "PME"));
  } else if (marker == "TB") {
    firmware(decodeFirmwareChunk(frame));
  } else if (marker == "ST") {
    if (o_.protocol != 2) {
      problem("ST (set time) is not a protocol 1 command; ignored");
      return;
    }
    setClock(decodeSetTime(frame));
  }
}

void Board::firmware(const FirmwareChunk& c) {
  if (!traffic_.knowsNodeId(c.nodeId))
    problem("TB for node id {}, which is not a known node", c.nodeId);
  if (o_.verbose || c.type == FirmwareChunk::kFinal)
    note("TB: transfer {} node {} timeout {}0 {}", c.msgId, c.nodeId, c.ackTimeoutTens,
         c.type == FirmwareChunk::kData
             ? fmt::format("data at 0x{:04x}, {} bytes", c.address, c.data.size())
             : fmt::format("final, token {}", hex(c.data)));
  const auto image = firmware_.add(c);
  if (!image) return;
  if (!o_.fwOut.empty()) {
    try {
      writeFirmware(o_.fwOut, *image);
    } catch (const std::exception& e) {
      problem("{}", e.what());
    }
  }
  event("FIRMWARE {} bytes {} missing {} token {}", o_.fwOut.empty() ? "-" : o_.fwOut,
        image->data.size(), image->missing, hex(image->token));
}

void Board::setClock(const SetTime& t) {
  const int wd = weekdayOf(t.year, t.month, t.day);
  if (wd != t.weekday)
    problem("ST weekday {} but {}-{:02}-{:02} is weekday {}", t.weekday, t.year, t.month, t.day,
            wd);
  clock_.set(t);
  event("CLOCK SET {}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
        t.second);
}

void Board::hangUp(Clock::time_point now) {
  hangupAt_.reset();
  line_->detach();
  pty_.hangUp();
  splitter_.reset();
  if (link_) link_->remove();
  event("HANGUP");
  if (o_.replugAfter > 0) replugAt_ = now + seconds(o_.replugAfter);
}

void Board::runTimers(Clock::time_point now) {
  if (prompting_ && now >= nextPrompt_) {
    if (line_->pending() < kHighWater) sendRecord(logRecord(kPrompt));
    nextPrompt_ = std::max(nextPrompt_ + kPromptInterval, now);
  }
  if (nextRt_ && now >= *nextRt_) {
    sendRecord(timeRecord(clock_.now()));
    nextRt_ = now + seconds(o_.rtEvery);
  }
  if (rebootAt_ && now >= *rebootAt_) {
    rebootAt_.reset();
    event("REBOOT");
    traffic_.rebooted();
    boot(now);
  }
  if (hangupAt_ && now >= *hangupAt_) hangUp(now);
  if (replugAt_ && now >= *replugAt_) {
    replugAt_.reset();
    openLine();  // the board kept running meanwhile
  }
  if (auto p = splitter_.expire(now)) handle(*p, now);
  sendTraffic(now);
  if (countDone_ && !countReported_ && line_->pending() == 0) {
    countReported_ = true;
    event("TRAFFIC DONE {}", traffic_.nodeDataSent());
  }
}

std::optional<Board::Clock::time_point> Board::nextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](std::optional<Clock::time_point> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (prompting_) consider(nextPrompt_);
  consider(nextRt_);
  consider(rebootAt_);
  consider(hangupAt_);
  consider(replugAt_);
  consider(splitter_.deadline());
  if (radioOn_ && !countDone_ && line_->attached() && line_->pending() < kHighWater)
    consider(o_.flood ? Clock::now() : nextRecord_);
  return next;
}

void Board::run(int stopFd) {
  while (true) {
    const auto now = Clock::now();
    runTimers(now);
    int timeout = -1;
    if (const auto next = nextDeadline()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
      timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {pty_.master(), POLLIN, 0}};
    if (line_->pending() > 0) fds[1].events |= POLLOUT;
    const nfds_t count = line_->attached() ? 2 : 1;
    if (::poll(fds, count, timeout) < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    if (fds[0].revents) return;
    if (count == 2 && (fds[1].revents & POLLOUT)) line_->flush();
    if (count == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) receive(Clock::now());
  }
}

}  // namespace sim
