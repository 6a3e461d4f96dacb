#pragma once
// Certificates for TLS tests, made with the openssl command in a temporary
// directory that any user may read (the daemon under test runs as another
// user):
//
//   vantro::test::TestCa ca;                                  // "Test CA"
//   auto server = ca.issue("broker", {"DNS:localhost", "IP:127.0.0.1"});
//   auto expired = ca.issue("old", {"IP:127.0.0.1"}, 0);      // valid for 0 days
//
// Calls block while openssl runs; they throw std::runtime_error with its
// output when it fails.
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace vantro::test {

class TestCa {
 public:
  struct Issued {
    std::string certFile;
    std::string keyFile;
  };

  explicit TestCa(const std::string& name = "Test CA");

  /// The CA's certificate, to trust.
  std::string certFile() const;
  /// A certificate and key for `name` (its common name and file names) with
  /// the subjectAltName entries `altNames`, valid from now for `days` days
  /// (0: it expires within the second).
  Issued issue(const std::string& name, const std::vector<std::string>& altNames,
               int days = 2) const;
  std::string dir() const { return dir_.str(); }

 private:
  TempDir dir_;
};

}  // namespace vantro::test
