#pragma once
// What a TLS connection to the broker needs, read from files once: the
// certificates the broker's certificate must chain up to, and optionally the
// client's own certificate and key.
//
// Everything is read by load(), in the calling thread, and kept in memory; a
// connection attempt reads no file. The daemon loads at start-up, before it
// drops its root privileges, so the key file may be readable by root alone.
#include <memory>
#include <string>

struct ssl_ctx_st;
struct x509_store_st;
struct x509_st;
struct evp_pkey_st;
struct stack_st_X509;

namespace vantro {

struct TlsSettings {
  /// PEM file of the certificates to trust; empty: the system's CA store
  /// (the bundle OpenSSL uses by default, on Debian
  /// /etc/ssl/certs/ca-certificates.crt).
  std::string caFile = {};
  /// PEM file of the client certificate (and the intermediates after it), and
  /// of its unencrypted private key. Both or neither.
  std::string certFile = {};
  std::string keyFile = {};
  /// Skips the check that the broker's certificate names the host connected
  /// to. The chain is still checked.
  bool insecure = false;
};

class TlsCredentials {
 public:
  /// Reads and checks every file of `settings`. Throws std::runtime_error
  /// naming the file and the reason: missing or unreadable (with the system's
  /// reason, e.g. "Permission denied"), no certificate in it, a key that is
  /// encrypted or not a key, a key that does not belong to the certificate,
  /// only one of certFile and keyFile.
  static std::shared_ptr<const TlsCredentials> load(const TlsSettings& settings);

  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  const TlsSettings& settings() const { return settings_; }
  /// How many certificates are trusted.
  int trustedCount() const { return trustedCount_; }
  bool hasClientCertificate() const { return cert_ != nullptr; }

  /// A new OpenSSL client context with these credentials: TLS 1.2 or later,
  /// the broker's certificate checked against the trusted ones, the client
  /// certificate offered when there is one. The caller owns it (SSL_CTX_free).
  ssl_ctx_st* newClientContext() const;

 private:
  explicit TlsCredentials(TlsSettings settings);

  TlsSettings settings_;
  x509_store_st* store_ = nullptr;
  int trustedCount_ = 0;
  x509_st* cert_ = nullptr;
  stack_st_X509* chain_ = nullptr;
  evp_pkey_st* key_ = nullptr;
};

}  // namespace vantro
