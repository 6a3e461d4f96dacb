#pragma once
// One MQTT client's TLS context, handed to libmosquitto, which makes each
// connection's TLS session from it.
//
// The client connects to the broker's addresses, not its name (the name is
// looked up off the event loop), so libmosquitto would send the address as the
// server name and check the certificate against it. This context checks the
// certificate against the configured broker name instead and sends that name
// (SNI); a broker given as a numeric address is checked against the address
// and no name is sent.
//
// It also collects why an attempt's handshake failed: the certificate check's
// own finding (expired, host name mismatch, unknown issuer, ...) and OpenSSL's
// error as libmosquitto logs it. Loop thread only.
#include <memory>
#include <string>

#include "vantro/mqtt/TlsCredentials.hpp"

struct ssl_st;
struct x509_store_ctx_st;

namespace vantro {

class TlsContext {
 public:
  /// Throws std::runtime_error when OpenSSL cannot make the context.
  explicit TlsContext(std::shared_ptr<const TlsCredentials> credentials);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  /// The OpenSSL context (SSL_CTX*), for MOSQ_OPT_SSL_CTX.
  ssl_ctx_st* native() const { return ctx_; }
  bool hasClientCertificate() const { return credentials_->hasClientCertificate(); }

  /// The broker's name (or numeric address) as configured.
  void setServerName(const std::string& host);
  /// A new attempt begins: what the last one found is forgotten.
  void startAttempt();
  /// An error line libmosquitto logged during the attempt.
  void libraryError(const char* line);
  /// Whether the attempt's handshake has completed.
  bool handshakeDone() const { return handshakeDone_; }
  /// Why the attempt's TLS failed, e.g. "certificate verify failed: certificate
  /// has expired"; empty when nothing was recorded.
  std::string failure() const;

 private:
  static int onVerify(int ok, x509_store_ctx_st* store);
  static void onInfo(const ssl_st* ssl, int where, int ret);

  std::shared_ptr<const TlsCredentials> credentials_;
  ssl_ctx_st* ctx_ = nullptr;
  std::string host_;
  bool hostIsAddress_ = false;
  bool handshakeDone_ = false;
  std::string verifyError_;   // the certificate check's first finding
  std::string libraryError_;  // OpenSSL's first error reason
};

}  // namespace vantro
