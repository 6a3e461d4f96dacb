#include "tests/support/TestCa.hpp"

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

#include "tests/support/Process.hpp"

namespace vantro::test {
namespace {

using namespace std::chrono_literals;

void openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  Process p(args);
  if (p.wait(30s) != 0) throw std::runtime_error("openssl failed:\n" + p.output());
}

}  // namespace

TestCa::TestCa(const std::string& name) {
  ::chmod(dir().c_str(), 0755);
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", (dir_ / "ca.key").string(), "-out", certFile(), "-days", "2", "-subj",
           "/CN=" + name});
}

std::string TestCa::certFile() const {
  return (dir_ / "ca.crt").string();
}

TestCa::Issued TestCa::issue(const std::string& name, const std::vector<std::string>& altNames,
                             int days) const {
  const std::string base = (dir_ / name).string();
  Issued out{base + ".crt", base + ".key"};
  openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", out.keyFile, "-out", base + ".csr", "-subj", "/CN=" + name});
  std::string san = "subjectAltName=";
  for (const std::string& alt : altNames) san += (&alt == &altNames.front() ? "" : ",") + alt;
  std::ofstream(base + ".ext") << (altNames.empty() ? "" : san + "\n");
  openssl({"x509", "-req", "-in", base + ".csr", "-CA", certFile(), "-CAkey",
           (dir_ / "ca.key").string(), "-CAcreateserial", "-out", out.certFile, "-days",
           std::to_string(days), "-extfile", base + ".ext"});
  ::chmod(out.keyFile.c_str(), 0644);
  return out;
}

}  // namespace vantro::test
