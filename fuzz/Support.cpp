#include "fuzz/Support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "fuzz/Targets.hpp"

namespace vantro::fuzz {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

BoardPty::BoardPty() {
  const int master = pty_.masterFd();
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
}

void BoardPty::feed(ByteView bytes) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  const std::size_t before = pendingForSlave();
  std::size_t done = 0;
  while (done < bytes.size() && Clock::now() < deadline) {
    const ssize_t r = ::write(pty_.masterFd(), bytes.data() + done, bytes.size() - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
    } else if (errno == EAGAIN) {
      pollfd p{pty_.masterFd(), POLLOUT, 0};
      ::poll(&p, 1, 10);
    } else if (errno != EINTR) {
      throwErrno("pty master write");
    }
  }
  // The terminal layer passes written bytes on to the slave side a moment later.
  while (pendingForSlave() < before + done && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

std::size_t BoardPty::pendingForSlave() const {
  int n = 0;
  if (::ioctl(pty_.slaveFd(), FIONREAD, &n) != 0) return 0;
  return static_cast<std::size_t>(n);
}

Bytes BoardPty::takeWritten() {
  Bytes out;
  Byte buf[4096];
  for (;;) {
    const ssize_t r = ::read(pty_.masterFd(), buf, sizeof buf);
    if (r > 0) {
      out.insert(out.end(), buf, buf + r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return out;
}

void ScratchDir::clear() const {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path(), ec)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

void writeFile(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void checkSensorPublication(const RecordingClient::Publication& p) {
  if (!p.topic.starts_with("sensor/")) return;
  const std::string rest = p.topic.substr(7);
  const auto slash = rest.find('/');
  check(slash != std::string::npos && slash > 0 && rest.find('/', slash + 1) == std::string::npos,
        "sensor topic is not sensor/{uid}/{kind}: " + p.topic);
  const std::string uid = rest.substr(0, slash);
  check(uid.find_first_not_of("0123456789") == std::string::npos &&
            (uid.size() == 1 || uid[0] != '0'),
        "sensor topic's uid is not decimal: " + p.topic);
  check(p.qos == 1 && p.retain, "sensor publication not QoS 1 retained: " + p.topic);
  const auto json = nlohmann::ordered_json::parse(p.payload, nullptr, false);
  check(json.is_object(), "sensor payload is no JSON object: " + p.payload);
  auto it = json.begin();
  check(it != json.end() && it.key() == "ts" && it->is_number_integer(),
        "sensor payload does not begin with an integer ts: " + p.payload);
  ++it;
  check(it != json.end() && it.key() == "rssi" && it->is_number_integer() && it->get<int>() <= 0,
        "sensor payload's second member is no rssi <= 0: " + p.payload);
  for (++it; it != json.end(); ++it) {
    check(it->is_number() && std::isfinite(it->get<double>()),
          "sensor field " + it.key() + " is no finite number: " + p.payload);
  }
}

}  // namespace vantro::fuzz

namespace vantro::fuzz {

void installClockStandIns(const std::filesystem::path& dir) {
  const std::filesystem::path bin = dir / "bin";
  std::filesystem::create_directories(bin);
  const std::pair<const char*, const char*> scripts[] = {{"ntpstat", "#!/bin/sh\nexit 1\n"},
                                                         {"date", "#!/bin/sh\nexit 0\n"}};
  for (const auto& [name, text] : scripts) {
    const std::string s(text);
    writeFile(bin / name, ByteView(reinterpret_cast<const Byte*>(s.data()), s.size()));
    std::filesystem::permissions(bin / name, std::filesystem::perms::owner_all);
  }
  ::setenv("PATH", bin.c_str(), 1);
}

}  // namespace vantro::fuzz
