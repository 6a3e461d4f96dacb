#include "sim/Firmware.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "sim/Fd.hpp"
#include "sim/Log.hpp"

namespace sim {

std::optional<FirmwareImage> FirmwareAssembler::add(const FirmwareChunk& chunk) {
  if (msgId_ && *msgId_ != chunk.msgId && !bytes_.empty()) {
    note("TB transfer {} replaces unfinished transfer {} ({} bytes dropped)", chunk.msgId, *msgId_,
         bytes_.size());
    bytes_.clear();
  }
  msgId_ = chunk.msgId;
  if (chunk.type == FirmwareChunk::kData) {
    for (std::size_t i = 0; i < chunk.data.size(); ++i)
      bytes_[static_cast<std::uint32_t>(chunk.address + i)] = chunk.data[i];
    return std::nullopt;
  }
  FirmwareImage image{chunk.msgId, chunk.nodeId, {}, 0, chunk.data};
  if (!bytes_.empty()) {
    image.data.assign(bytes_.rbegin()->first + 1, kErasedByte);
    for (const auto& [addr, value] : bytes_) image.data[addr] = value;
    image.missing = image.data.size() - bytes_.size();
  }
  reset();
  return image;
}

void FirmwareAssembler::reset() {
  msgId_.reset();
  bytes_.clear();
}

namespace {

void writeFile(const std::string& path, ByteView data) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) throwErrno("cannot create firmware file " + path);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot write firmware file " + path);
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void writeFirmware(const std::string& path, const FirmwareImage& image) {
  writeFile(path, image.data);
  writeFile(path + ".token", image.token);
}

}  // namespace sim
