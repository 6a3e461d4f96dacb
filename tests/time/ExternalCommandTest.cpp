#include "vantro/time/Pendulor/ExternalCommand.hpp"

#include <signal.h>

#include <cerrno>
#include <system_error>

#include <gtest/gtest.h>

#include "tests/time/StandIns.hpp"
#include "vantro/runtime/Errors.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
using test::StandIns;

TEST(ExternalCommand, CapturesOutputAndExitStatus) {
  StandIns s;
  s.install("talk", "printf 'to out\\n'\nprintf 'to err\\n' >&2\nexit 3");
  const CommandResult r = runCommand({"talk"}, 5s);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "to out\n");
  EXPECT_EQ(r.err, "to err\n");

  s.install("quiet", "exit 0");
  const CommandResult q = runCommand({"quiet"}, 5s);
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out, "");

  s.install("killed", "kill -TERM $$");
  EXPECT_EQ(runCommand({"killed"}, 5s).status, -SIGTERM);
}

TEST(ExternalCommand, PassesArgumentsWithoutAShell) {
  StandIns s;
  s.installRecorder("rec", 0);
  runCommand({"rec", "-s", "'2024-02-29T12:00:00'", "a b", "$HOME;*", ""}, 5s);
  EXPECT_EQ(s.read("rec.args"), "5\n-s\n'2024-02-29T12:00:00'\na b\n$HOME;*\n\n");
}

TEST(ExternalCommand, MissingCommandFailsToStart) {
  StandIns s;
  try {
    runCommand({"no-such-command"}, 5s);
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("no-such-command"), std::string::npos) << e.what();
  }
  EXPECT_THROW(runCommand({}, 5s), std::invalid_argument);
}

TEST(ExternalCommand, CommandPastItsTimeoutIsKilledAndReaped) {
  StandIns s;
  s.installHanging("hang");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(runCommand({"hang"}, 1s), TimeoutError);
  // Far below the 30 seconds the command would sleep.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  const pid_t pid = std::stoi(s.read("hang.pid"));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ExternalCommand, EndsWhenTheCommandEndsEvenIfItsChildKeepsTheOutputOpen) {
  StandIns s;
  s.install("detach", "/bin/sleep 10 &\necho $! > '" + s.file("child.pid") + "'\necho done");
  CommandResult r;
  EXPECT_NO_THROW(r = runCommand({"detach"}, 3s));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "done\n");
  const pid_t child = std::stoi(s.read("child.pid"));
  if (child > 0) ::kill(child, SIGKILL);
}

}  // namespace
}  // namespace vantro
