#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/link/LinkTestSupport.hpp"

namespace vantro::test {
namespace {

// A command of one writer: its letter, a sequence number, then `size` - 3
// copies of the letter. Large enough that the kernel takes it in pieces.
Bytes makeCommand(char letter, int seq, std::size_t size) {
  Bytes c(size, static_cast<Byte>(letter));
  c[1] = static_cast<Byte>(seq >> 8);
  c[2] = static_cast<Byte>(seq);
  return c;
}

TEST(SerialLinkWrite, LargeWriteArrivesWhole) {
  LinkFixture f;
  Bytes big(100000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<Byte>(i * 7);
  std::thread writer([&] { f.link.writeCommand(big); });
  const Bytes got = f.pty.read(big.size(), 10s);
  writer.join();
  EXPECT_EQ(got, big);
}

TEST(SerialLinkWrite, CommandsFromTwoThreadsNeverInterleave) {
  LinkFixture f;
  constexpr int kCommands = 100;
  constexpr std::size_t kSize = 3000;
  auto writer = [&](char letter, bool split) {
    for (int i = 0; i < kCommands; ++i) {
      const Bytes c = makeCommand(letter, i, kSize);
      if (split) {
        // A command made of several writes, held together by lock().
        auto lock = f.link.lock();
        f.link.write(ByteView(c).first(3));
        f.link.write(ByteView(c).subspan(3));
        f.link.flush();
      } else {
        f.link.writeCommand(c);
      }
    }
  };
  std::thread a(writer, 'A', false);
  std::thread b(writer, 'B', true);
  const Bytes got = f.pty.read(2 * kCommands * kSize, 20s);
  a.join();
  b.join();

  ASSERT_EQ(got.size(), 2 * kCommands * kSize);
  std::map<char, int> nextSeq{{'A', 0}, {'B', 0}};
  for (std::size_t at = 0; at < got.size(); at += kSize) {
    const char letter = static_cast<char>(got[at]);
    ASSERT_TRUE(letter == 'A' || letter == 'B') << "at " << at;
    const Bytes expected = makeCommand(letter, nextSeq[letter]++, kSize);
    ASSERT_TRUE(
        std::equal(expected.begin(), expected.end(), got.begin() + static_cast<std::ptrdiff_t>(at)))
        << "command broken at offset " << at;
  }
  EXPECT_EQ(nextSeq['A'], kCommands);
  EXPECT_EQ(nextSeq['B'], kCommands);
}

TEST(SerialLinkWrite, WriteToDeviceThatWentAwayThrows) {
  LinkFixture f;
  f.pty.closeMaster();
  EXPECT_THROW(f.link.writeCommand(toBytes("TC")), std::system_error);
}

TEST(SerialLinkWrite, CloseFromAnotherThreadReleasesABlockedWriter) {
  LinkFixture f;
  // Nobody reads the master: the writer fills the device and has to wait.
  std::exception_ptr error;
  std::thread writer([&] {
    try {
      f.link.write(Bytes(1 << 20, 0x55));
    } catch (...) {
      error = std::current_exception();
    }
  });
  std::this_thread::sleep_for(200ms);
  const auto start = Clock::now();
  f.link.close();
  writer.join();
  EXPECT_LT(secondsSince(start), 2.0);
  ASSERT_TRUE(error);
  EXPECT_THROW(std::rethrow_exception(error), std::system_error);
}

}  // namespace
}  // namespace vantro::test
