#pragma once
// The pseudo-terminal that stands for the board's serial line, and the
// symlink that gives it a stable name.
#include <string>

#include "sim/Fd.hpp"

namespace sim {

class Pty {
 public:
  /// Opens a pty pair. Both sides are raw (cfmakeraw), so every byte passes
  /// unchanged; the master is non-blocking. The simulator keeps the slave open
  /// itself, so the host may open and close it at will without the master
  /// seeing a hang-up.
  static Pty open();

  int master() const { return master_.get(); }
  const std::string& slavePath() const { return slavePath_; }
  bool isOpen() const { return master_.valid(); }
  /// Closes both sides, as an unplugged adapter: the host's reads see EOF and
  /// its writes fail.
  void hangUp();

 private:
  Fd master_;
  Fd slave_;
  std::string slavePath_;
};

/// A symlink at `linkPath` to the current pty, removed again on destruction
/// (if it still points where this object put it). An existing symlink at that
/// path is replaced; any other kind of file there is an error.
class Symlink {
 public:
  Symlink() = default;
  Symlink(std::string linkPath, const std::string& target);
  Symlink(const Symlink&) = delete;
  Symlink& operator=(const Symlink&) = delete;
  ~Symlink();
  void retarget(const std::string& target);
  void remove();

 private:
  std::string path_;
  std::string target_;
};

}  // namespace sim
