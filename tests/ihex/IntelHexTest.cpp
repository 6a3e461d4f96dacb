// The reader against Debian's python3-intelhex, on files made by objcopy and
// srec_cat, and on hand-made malformed files.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "tests/support/TempDir.hpp"
#include "vantro/ihex/IntelHex.hpp"

namespace vantro {
namespace {

using test::TempDir;

// Runs `cmd` through the shell; returns its standard output, fails the test
// when it exits non-zero.
std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) throw std::system_error(errno, std::generic_category(), "popen");
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (rc != 0) throw std::runtime_error(fmt::format("command failed ({}): {}", rc, cmd));
  return out;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

void writeRandomBin(const std::filesystem::path& path, std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(rng() & 0xFF);
  writeFile(path, data);
}

std::string hex(const Bytes& b) {
  std::string s;
  for (Byte c : b) s += fmt::format("{:02x}", c);
  return s;
}

// What the Python reader says about `file`: minaddr, maxaddr, the bytes over
// the whole range, and 32 bytes from maxaddr - 7 on (mostly padding).
struct Reference {
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  std::string whole;
  std::string tail;
};

Reference pythonReads(const std::filesystem::path& file) {
  const std::string script =
      "import sys\n"
      "from intelhex import IntelHex\n"
      "ih = IntelHex(sys.argv[1])\n"
      "lo, hi = ih.minaddr(), ih.maxaddr()\n"
      "print(lo); print(hi)\n"
      "print(ih.tobinarray(start=lo, size=hi - lo + 1).tobytes().hex())\n"
      "print(ih.tobinarray(start=hi - 7, size=32).tobytes().hex())\n";
  const std::string out =
      run(fmt::format("/usr/bin/python3 -c '{}' '{}' 2>/dev/null", script, file.string()));
  std::istringstream in(out);
  Reference r;
  in >> r.min >> r.max >> r.whole >> r.tail;
  return r;
}

// The record types that occur in `file`.
std::set<int> recordTypes(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::set<int> types;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() >= 9) types.insert(std::stoi(line.substr(7, 2), nullptr, 16));
  }
  return types;
}

void expectSameAsPython(const std::filesystem::path& file) {
  SCOPED_TRACE(file.string());
  const Reference ref = pythonReads(file);
  const IntelHex ih(file.string());
  EXPECT_EQ(ih.minaddr(), ref.min);
  EXPECT_EQ(ih.maxaddr(), ref.max);
  EXPECT_EQ(hex(ih.tobinarray(ih.minaddr(), ih.maxaddr() - ih.minaddr() + 1)), ref.whole);
  EXPECT_EQ(hex(ih.tobinarray(ih.maxaddr() - 7, 32)), ref.tail);
}

// One well-formed record.
std::string record(int type, unsigned address, const Bytes& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) +
                 static_cast<unsigned>(type);
  std::string s = fmt::format(":{:02X}{:04X}{:02X}", data.size(), address, type);
  for (Byte b : data) {
    s += fmt::format("{:02X}", b);
    sum += b;
  }
  return s + fmt::format("{:02X}\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

const std::string kEof = ":00000001FF\n";

TEST(IntelHexGenerated, ObjcopyBelowOneMegabyteUsesSegmentRecords) {
  TempDir dir;
  writeRandomBin(dir / "a.bin", 70000, 1);
  run(fmt::format("cd '{}' && objcopy -I binary -O ihex a.bin a.hex", dir.str()));
  EXPECT_TRUE(recordTypes(dir / "a.hex").count(2));
  expectSameAsPython(dir / "a.hex");
  EXPECT_EQ(IntelHex((dir / "a.hex").string()).maxaddr(), 69999u);
}

TEST(IntelHexGenerated, ObjcopyAtFlashBaseUsesLinearAndStartRecords) {
  TempDir dir;
  writeRandomBin(dir / "a.bin", 70000, 2);
  run(fmt::format("cd '{}' && objcopy -I binary -O ihex --change-addresses 0x08000000 a.bin a.hex",
                  dir.str()));
  const auto types = recordTypes(dir / "a.hex");
  EXPECT_TRUE(types.count(4));
  EXPECT_TRUE(types.count(5));
  expectSameAsPython(dir / "a.hex");
  EXPECT_EQ(IntelHex((dir / "a.hex").string()).minaddr(), 0x08000000u);
}

TEST(IntelHexGenerated, ObjcopySmallImageAboveSixtyFourKilobytesUsesSegmentStart) {
  TempDir dir;
  writeRandomBin(dir / "a.bin", 300, 3);
  run(fmt::format("cd '{}' && objcopy -I binary -O ihex --change-addresses 0x1F000 a.bin a.hex",
                  dir.str()));
  const auto types = recordTypes(dir / "a.hex");
  EXPECT_TRUE(types.count(2));
  EXPECT_TRUE(types.count(3));
  expectSameAsPython(dir / "a.hex");
}

TEST(IntelHexGenerated, SrecCatUsesLinearRecords) {
  TempDir dir;
  writeRandomBin(dir / "a.bin", 70000, 4);
  run(
      fmt::format("cd '{}' && srec_cat a.bin -binary -o a.hex -intel && "
                  "srec_cat a.bin -binary -offset 0x08000000 -o b.hex -intel",
                  dir.str()));
  EXPECT_TRUE(recordTypes(dir / "a.hex").count(4));
  EXPECT_TRUE(recordTypes(dir / "b.hex").count(4));
  expectSameAsPython(dir / "a.hex");
  expectSameAsPython(dir / "b.hex");
}

TEST(IntelHexGenerated, GapBetweenPiecesIsPaddedWithFF) {
  TempDir dir;
  writeRandomBin(dir / "a.bin", 1000, 5);
  writeRandomBin(dir / "b.bin", 500, 6);
  run(
      fmt::format("cd '{}' && srec_cat a.bin -binary b.bin -binary -offset 0x3000 "
                  "-o g.hex -intel",
                  dir.str()));
  expectSameAsPython(dir / "g.hex");
  const IntelHex ih((dir / "g.hex").string());
  EXPECT_EQ(ih.size(), 1500u);
  EXPECT_EQ(ih.tobinarray(1000, 0x3000 - 1000), Bytes(0x3000 - 1000, 0xFF));
  EXPECT_EQ(ih.tobinarray(990, 20).back(), 0xFF);
  EXPECT_NE(ih.tobinarray(990, 20), Bytes(20, 0xFF));
}

TEST(IntelHexRecords, RecordsInAnyOrderMergeAndReadAcrossRuns) {
  TempDir dir;
  writeFile(dir / "r.hex", record(0, 0x10, {0x10, 0x11}) + record(0, 0x00, {0x00, 0x01}) +
                               record(0, 0x02, {0x02}) + record(0, 0x03, {0x03}) + kEof);
  const IntelHex ih((dir / "r.hex").string());
  EXPECT_EQ(ih.minaddr(), 0u);
  EXPECT_EQ(ih.maxaddr(), 0x11u);
  EXPECT_EQ(hex(ih.tobinarray(0, 0x12)), "00010203" + std::string(24, 'f') + "1011");
  expectSameAsPython(dir / "r.hex");
}

TEST(IntelHexRecords, MissingEndRecordBlankLinesAndCrLfAreAccepted) {
  TempDir dir;
  auto crlf = [](std::string r) { return r.insert(r.size() - 1, "\r"); };
  writeFile(dir / "t.hex",
            crlf(record(4, 0, {0x01, 0x00})) + "\r\n" + crlf(record(0, 0, {0xAA, 0xBB, 0xCC})));
  expectSameAsPython(dir / "t.hex");
  const IntelHex ih((dir / "t.hex").string());
  EXPECT_EQ(ih.minaddr(), 0x01000000u);
  EXPECT_EQ(hex(ih.tobinarray(0x01000000, 3)), "aabbcc");
}

TEST(IntelHexRecords, LinesAfterEndRecordAreIgnored) {
  TempDir dir;
  writeFile(dir / "e.hex", record(0, 0, {1, 2}) + kEof + "garbage\n");
  EXPECT_EQ(IntelHex((dir / "e.hex").string()).maxaddr(), 1u);
}

TEST(IntelHexRecords, EmptyImageHasNoAddresses) {
  TempDir dir;
  writeFile(dir / "empty.hex", kEof);
  const IntelHex ih((dir / "empty.hex").string());
  EXPECT_TRUE(ih.empty());
  EXPECT_THROW(ih.maxaddr(), std::runtime_error);
  EXPECT_THROW(ih.minaddr(), std::runtime_error);
  EXPECT_EQ(ih.tobinarray(0, 4), Bytes(4, 0xFF));
}

TEST(IntelHexRecords, MissingFileIsASystemError) {
  TempDir dir;
  try {
    IntelHex((dir / "none.hex").string());
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("none.hex"), std::string::npos);
    EXPECT_EQ(e.code().value(), ENOENT);
  }
}

struct Malformed {
  const char* name;
  std::string content;
  int line;
  const char* fault;
};

TEST(IntelHexMalformed, EachFaultNamesFileLineAndReason) {
  const std::string good = record(0, 0, {1, 2, 3});
  const Malformed cases[] = {
      {"checksum", good + ":0300030001020300\n" + kEof, 2, "bad checksum 0x00 (should be 0xF4)"},
      {"digit", good + ":03000300010G03F4\n", 2, "bad hex digit 'G' in column 13"},
      {"odd", good + record(0, 3, {4}) + ":0300040001020304F\n", 3, "odd number of hex digits"},
      {"colon", "0300000001020304F2\n", 1, "does not start with ':'"},
      {"indent", good + " " + good, 2, "does not start with ':'"},
      {"type", good + record(6, 0, {}), 2, "unknown record type 0x06"},
      {"length", ":0400000001020304\n", 1, "length field says 4 data bytes, the record holds 3"},
      {"short", ":00000001\n", 1, "too short"},
      {"overlap", good + record(0, 2, {9}), 2, "overlaps earlier data at address 0x2"},
      {"eofdata", good + record(1, 0, {1}), 2, "end-of-file record carries data"},
      {"segment", record(2, 0, {1}) + kEof, 1, "extended segment address record"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = dir / (std::string(c.name) + ".hex");
    writeFile(file, c.content);
    try {
      IntelHex ih(file.string());
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      const std::string msg = e.what();
      EXPECT_NE(msg.find(fmt::format("{}, line {}: ", file.string(), c.line)), std::string::npos)
          << msg;
      EXPECT_NE(msg.find(c.fault), std::string::npos) << msg;
    }
    EXPECT_THROW(pythonReads(file), std::runtime_error) << "the Python reader accepts it";
  }
}

}  // namespace
}  // namespace vantro
