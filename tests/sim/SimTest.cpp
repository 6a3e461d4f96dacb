// The simulated board, driven through a real pty by a plain POSIX host.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "tests/sim/SimHarness.hpp"
#include "tests/support/TempDir.hpp"

namespace simtest {
namespace {

using vantro::test::TempDir;

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

Bytes tbFrame(int msgId, int timeoutTens, int nodeId, const Bytes& payload) {
  Bytes body = bytes({static_cast<int>(payload.size() + 4), msgId, timeoutTens, nodeId}) + payload;
  unsigned sum = 0;
  for (char c : body) sum += static_cast<unsigned char>(c);
  return "TB" + body + static_cast<char>(((sum & 0xFF) ^ 0xFF) + 1);
}

Bytes dataChunk(int addr, const Bytes& data) {
  return bytes({201, addr >> 8, addr & 0xFF}) + data;
}

struct Sim {
  TempDir dir;
  std::unique_ptr<SimProcess> process;
  std::unique_ptr<HostLine> line;

  explicit Sim(std::vector<std::string> args) {
    process = std::make_unique<SimProcess>(std::move(args), (dir / "stderr").string());
    line = std::make_unique<HostLine>(process->ptyPath());
  }
  std::string stderrText() const { return readFile((dir / "stderr").string()); }
};

TEST(SimStartUp, PromptsUntilAnsweredThenAnnouncesTheConfiguredIdentity) {
  Sim sim({"--protocol", "2", "--fw-revision", "77", "--uid", "256", "--board-type", "2",
           "--hw-rev", "3.4.5", "--build-date", "1.12.2025", "--radio-settings", "1",
           "--serial-number", "SN42"});
  // Two prompts, half a second apart, and nothing else until "r".
  EXPECT_EQ(sim.line->readUntil("\r\n"), "LGPress r to start\r\n");
  EXPECT_EQ(sim.line->readUntil("\r\n", 1500ms), "LGPress r to start\r\n");
  sim.line->write("r");
  sim.line->readUntil("LGGateway Module started up\r\n");  // a prompt may come first
  const Bytes hl = sim.line->read(33);
  ASSERT_EQ(hl.size(), 33u);
  EXPECT_EQ(hl.substr(0, 3), "HL\x02");
  const std::string_view id(hl.data() + 3, 30);
  EXPECT_EQ(u32(id, 0), 77u);
  EXPECT_EQ(u32(id, 4), 256u);
  EXPECT_EQ(id[8], 2);
  EXPECT_EQ(id.substr(9, 3), bytes({3, 4, 5}));
  EXPECT_EQ(id.substr(12, 2), bytes({1, 12}));
  EXPECT_EQ(id.substr(14, 2), bytes({2025 & 0xFF, 2025 >> 8}));  // the year is little-endian
  EXPECT_EQ(id[16], 1);
  EXPECT_EQ(id.substr(17, 12), "SN42        ");
  EXPECT_TRUE(sim.process->waitEvent("ANNOUNCED protocol 2"));
  // No more prompts once started.
  EXPECT_EQ(sim.line->readUntilQuiet(700ms), "");
}

TEST(SimStartUp, AlreadyRunningBoardIsSilentAndStillAnswers) {
  Sim sim({"--start", "running"});
  EXPECT_EQ(sim.line->readUntilQuiet(700ms), "");
  sim.line->write(bytes({'L', 'S', 1, 100, 0, 0, 0, 0}));
  EXPECT_EQ(sim.line->readUntil("\r\n"), "LGLocal node setup complete\r\n");
}

TEST(SimSetup, ConfirmsLocalAndPeerSetupAsLogLines) {
  Sim sim({"--no-prompt"});
  sim.line->readUntil("LGGateway Module started up\r\n");
  ASSERT_EQ(sim.line->read(33).size(), 33u);
  sim.line->write(bytes({'L', 'S', 1, 100, 0, 0, 0, 0}));
  EXPECT_EQ(sim.line->readUntil("\r\n"), "LGLocal node setup complete\r\n");
  Bytes ps = "PS" + bytes({0, 0, 0, 1, 0, 0, 0, 3, 0xE8, 0, 0, 0, 2, 0, 0, 0, 3});
  ps += Bytes(32, '\x5A');
  sim.line->write(ps);
  EXPECT_EQ(sim.line->readUntil("\r\n"), "LGPeer setup complete\r\n");
  // A set-up frame with the wrong size is reported, not confirmed.
  sim.line->write(bytes({'P', 'S', 0, 0, 0, 1, 7}));  // spare byte 7, then silence
  EXPECT_EQ(sim.line->readUntilQuiet(800ms), "");
  EXPECT_NE(sim.stderrText().find("incomplete frame"), std::string::npos) << sim.stderrText();
}

/// Checks one protocol 1 "SD" record against the simulated nodes.
void expectNodeMessage(const Record& r, std::map<std::uint32_t, int>& perUid) {
  ASSERT_EQ(r.marker, "SD");
  const std::string_view p(r.body.data() + 1, r.body.size() - 1);
  const std::uint32_t uid = u32(p, 0);
  ASSERT_GE(uid, 1000u);
  ASSERT_LT(uid, 1003u);
  EXPECT_EQ(static_cast<unsigned char>(p[4]), uid - 990) << "node id 10 + i for UID 1000 + i";
  const Bytes body(p.substr(7));
  static const std::map<int, std::size_t> kLength{{1, 7}, {2, 5}, {3, 5}, {4, 3}};
  ASSERT_FALSE(body.empty());
  const int type = static_cast<unsigned char>(body[0]);
  ASSERT_TRUE(kLength.count(type)) << "type " << type;
  EXPECT_EQ(body.size(), kLength.at(type));
  ++perUid[uid];
}

TEST(SimTraffic, TcStartsWellFormedNodeMessagesAndScStopsThem) {
  Sim sim({"--no-prompt", "--only-sd", "--rate", "200", "--nodes", "3"});
  sim.line->readUntil("LGGateway Module started up\r\n");
  ASSERT_EQ(sim.line->read(33).size(), 33u);
  EXPECT_EQ(sim.line->readUntilQuiet(300ms), "") << "no traffic before TC";
  sim.line->write("TC");
  std::map<std::uint32_t, int> perUid;
  for (int i = 0; i < 40; ++i) {
    const auto r = readRecord(*sim.line);
    ASSERT_TRUE(r) << "record " << i;
    expectNodeMessage(*r, perUid);
  }
  EXPECT_EQ(perUid.size(), 3u) << "every node speaks";
  sim.line->write("SC");
  ASSERT_TRUE(sim.process->waitEvent("RADIO OFF"));
  sim.line->readUntilQuiet(100ms);
  EXPECT_EQ(sim.line->readUntilQuiet(400ms), "") << "traffic stops after SC";
}

TEST(SimTraffic, MixedRecordsStayInStepAndCountersGrow) {
  Sim sim({"--start", "running", "--mix", "sd=3,si=1,sx=1,st=1,lg=1,sp=1", "--rate", "500"});
  sim.line->write("TC");
  std::map<std::string, int> kinds;
  std::uint32_t lastReceived = 0;
  for (int i = 0; i < 150; ++i) {
    const auto r = readRecord(*sim.line);
    ASSERT_TRUE(r) << "record " << i;
    ASSERT_TRUE(r->marker == "SD" || r->marker == "SI" || r->marker == "SX" || r->marker == "ST" ||
                r->marker == "LG" || r->marker == "SP")
        << "out of step at record " << i << ": " << r->marker;
    ++kinds[r->marker];
    if (r->marker == "ST") {
      EXPECT_GE(u32(r->body, 0), lastReceived);
      lastReceived = u32(r->body, 0);
    }
    if (r->marker == "SP") {
      EXPECT_GE(u32(r->body, 5), 1000u);
    }
    if (r->marker == "SX") {
      EXPECT_EQ(static_cast<unsigned char>(r->body[0]), 8);  // 4 fields + 32-bit counter
    }
  }
  EXPECT_EQ(kinds.size(), 6u);
  EXPECT_GT(lastReceived, 0u);
}

TEST(SimTraffic, ProtocolTwoDatesRecordsFromTheClockTheHostSet) {
  Sim sim({"--start", "running", "--protocol", "2", "--only-sd", "--rate", "100", "--rt-after-tc"});
  // Tuesday 2031-05-06 07:08:09, binary.
  sim.line->write(bytes({'S', 'T', 2, 6, 5, 31, 7, 8, 9}));
  ASSERT_TRUE(sim.process->waitEvent("CLOCK SET 2031-05-06 07:08:09"));
  sim.line->write("TC");
  const auto rt = readRecord(*sim.line);
  ASSERT_TRUE(rt);
  ASSERT_EQ(rt->marker, "RT");
  EXPECT_EQ(bcd(rt->body[0]), 31);
  EXPECT_EQ(bcd(rt->body[1]), 5);
  EXPECT_EQ(bcd(rt->body[2]), 6);
  EXPECT_EQ(bcd(rt->body[5]), 7);  // hour after second and minute
  EXPECT_EQ(bcd(rt->body[4]), 8);
  EXPECT_LE(bcd(rt->body[3]) - 9, 1);
  EXPECT_LT(u16(rt->body, 6), 1000);
  const auto sd = readRecord(*sim.line);
  ASSERT_TRUE(sd);
  ASSERT_EQ(sd->marker, "SD");
  const Bytes date = sd->body.substr(8, 8);  // after length, uid, node id, spare, rssi
  EXPECT_EQ(date.substr(0, 3), bytes({0x31, 0x05, 0x06}));
  EXPECT_EQ(static_cast<unsigned char>(date[5]), 0x07);
  const std::size_t bodyLen = sd->body.size() - 16;
  EXPECT_TRUE(bodyLen == 7 || bodyLen == 5 || bodyLen == 3) << bodyLen;
  // An impossible date is refused and leaves the clock alone.
  sim.line->write("SC");
  sim.line->write(bytes({'S', 'T', 6, 29, 2, 31, 7, 8, 9}));
  sim.line->readUntilQuiet(200ms);
  EXPECT_NE(sim.stderrText().find("ST day 29 not 1-28"), std::string::npos) << sim.stderrText();
}

TEST(SimCommands, PeerModeAnswersKnownNodesOnly) {
  Sim sim({"--start", "running", "--nodes", "2"});
  sim.line->write(bytes({'P', 'M', 11, 1}));
  EXPECT_EQ(sim.line->read(3), "PMS");
  sim.line->write(bytes({'P', 'M', 255, 0}));
  EXPECT_EQ(sim.line->read(3), "PME");
}

TEST(SimCommands, PeerModeSilentOption) {
  Sim sim({"--start", "running", "--pm-silent"});
  sim.line->write(bytes({'P', 'M', 10, 1}));
  EXPECT_EQ(sim.line->readUntilQuiet(400ms), "");
}

TEST(SimCommands, FirmwareChunksReassembleAndEveryByteIsLogged) {
  TempDir out;
  const std::string fw = (out / "fw.bin").string();
  const std::string rx = (out / "rx.log").string();
  Sim sim({"--no-prompt", "--fw-out", fw, "--rx-log", rx});
  sim.line->readUntil("LGGateway Module started up\r\n");
  Bytes image;
  for (int i = 0; i < 100; ++i) image.push_back(static_cast<char>(i * 7));
  Bytes sent;
  auto send = [&](const Bytes& b) {
    sim.line->write(b);
    sent += b;
  };
  send(tbFrame(7, 50, 10, dataChunk(0, image.substr(0, 42))));
  Bytes corrupt = tbFrame(7, 4, 10, dataChunk(42, Bytes(50, '\x01')));
  corrupt.back() = static_cast<char>(corrupt.back() + 1);  // wrong checksum: must be ignored
  send(corrupt);
  send(tbFrame(7, 4, 10, dataChunk(42, image.substr(42, 50))));
  send(tbFrame(7, 4, 10, dataChunk(92, image.substr(92))));
  send(bytes({'T', 'X', 9, 0, 5, 0, 0, 0, 7, 11, 1, 44}));
  send(tbFrame(7, 4, 10, bytes({202, 0xDE, 0xAD, 0xBE, 0xEF})));
  const auto done = sim.process->waitEvent("FIRMWARE ");
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, "FIRMWARE " + fw + " bytes 100 missing 0 token deadbeef");
  EXPECT_EQ(readFile(fw), image);
  EXPECT_EQ(readFile(fw + ".token"), bytes({0xDE, 0xAD, 0xBE, 0xEF}));
  // A chunk byte for byte as the gateway frames it: 0xAA 0xBB at 0x0100 for
  // node 3, transfer 7, time-out 40.
  send(bytes({'T', 'B', 0x09, 0x07, 0x04, 0x03, 0xC9, 0x01, 0x00, 0xAA, 0xBB, 0xBA}));
  send(tbFrame(7, 4, 3, bytes({202})));
  const auto second = sim.process->waitEvent("FIRMWARE ");
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, "FIRMWARE " + fw + " bytes 258 missing 256 token ");
  EXPECT_EQ(readFile(fw), Bytes(256, '\xFF') + bytes({0xAA, 0xBB}));
  EXPECT_EQ(readFile(rx), sent);
  const std::string err = sim.stderrText();
  EXPECT_NE(err.find("checksum"), std::string::npos) << err;
  EXPECT_NE(err.find("TX: channel 5 to node 7: output level 300"), std::string::npos) << err;
}

TEST(SimFaults, CountEndsTheTrafficAfterExactlyNNodeMessages) {
  TempDir out;
  const std::string tx = (out / "tx.log").string();
  Sim sim({"--start", "running", "--only-sd", "--flood", "--count", "25", "--tx-log", tx});
  sim.line->write("TC");
  ASSERT_TRUE(sim.process->waitEvent("TRAFFIC DONE 25"));
  int n = 0;
  while (readRecord(*sim.line, 300ms)) ++n;
  EXPECT_EQ(n, 25);
  std::istringstream log(readFile(tx));
  std::uint64_t seq = 0, uid = 0, lastSeq = 0;
  std::int64_t ns = 0;
  while (log >> seq >> uid >> ns) EXPECT_EQ(seq, ++lastSeq);
  EXPECT_EQ(lastSeq, 25u);
}

TEST(SimFaults, RebootAnnouncesAgain) {
  Sim sim({"--no-prompt", "--reboot-after", "0.3"});
  sim.line->readUntil("LGGateway Module started up\r\n");
  ASSERT_EQ(sim.line->read(33).substr(0, 3), "HL\x01");
  ASSERT_TRUE(sim.process->waitEvent("REBOOT"));
  EXPECT_NE(sim.line->readUntil("LGGateway Module started up\r\n"), "");
  EXPECT_EQ(sim.line->read(3), "HL\x01");
}

TEST(SimFaults, HangupClosesTheLineAndRemovesTheLink) {
  TempDir out;
  const std::string link = (out / "ttyHAT").string();
  Sim sim({"--start", "running", "--link", link, "--hangup-after", "0.3"});
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  HostLine viaLink(link);
  EXPECT_TRUE(viaLink.hungUp(2000ms));
  ASSERT_TRUE(sim.process->waitEvent("HANGUP"));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimFaults, SigtermRemovesTheLinkAndExitsCleanly) {
  TempDir out;
  const std::string link = (out / "ttyHAT").string();
  Sim sim({"--link", link});
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  const int status = sim.process->stop();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimFaults, GarbageBytesFollowEveryNthRecord) {
  Sim sim({"--start", "running", "--only-sd", "--rate", "500", "--garbage-every", "2"});
  sim.line->write("TC");
  const auto first = readRecord(*sim.line);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->marker, "SD");
  const auto second = readRecord(*sim.line);
  ASSERT_TRUE(second);
  EXPECT_EQ(sim.line->read(4), bytes({0x00, 'q', 0xFF, 'z'}));
  EXPECT_EQ(readRecord(*sim.line)->marker, "SD");
}

TEST(SimFaults, EveryNthRecordIsCutShortAndLoggedAsSuch) {
  // One climate node: every node message is 17 bytes, cut to 8.
  TempDir out;
  const std::string tx = (out / "tx.log").string();
  Sim sim({"--start", "running", "--only-sd", "--nodes", "1", "--rate", "500", "--truncate-every",
           "2", "--count", "4", "--tx-log", tx});
  sim.line->write("TC");
  const Bytes whole = sim.line->read(17);
  EXPECT_EQ(whole.substr(0, 3), bytes({'S', 'D', 14}));
  const Bytes cut = sim.line->read(8);
  EXPECT_EQ(cut.substr(0, 3), bytes({'S', 'D', 14}));
  EXPECT_EQ(sim.line->read(3), bytes({'S', 'D', 14})) << "the next record follows the cut one";
  // The log has the whole ones by their number and each cut one as 0, in order.
  ASSERT_TRUE(sim.process->waitEvent("TRAFFIC DONE 4"));
  std::istringstream log(readFile(tx));
  std::vector<std::uint64_t> seqs;
  std::uint64_t seq = 0, uid = 0;
  std::int64_t ns = 0;
  while (log >> seq >> uid >> ns) seqs.push_back(seq);
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 0, 3, 0}));
}

}  // namespace
}  // namespace simtest
