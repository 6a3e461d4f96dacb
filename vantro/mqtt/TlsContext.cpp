#include "vantro/mqtt/TlsContext.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace vantro {
namespace {

// Where each OpenSSL context keeps its TlsContext.
int contextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

TlsContext* ownerOf(const SSL* ssl) {
  return static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), contextIndex()));
}

bool isNumericAddress(const std::string& host) {
  in6_addr v6{};
  in_addr v4{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 ||
         ::inet_pton(AF_INET, host.c_str(), &v4) == 1;
}

std::string nameText(const X509_NAME* name) {
  char buf[256] = {};
  X509_NAME_oneline(name, buf, sizeof buf);
  return buf;
}

}  // namespace

TlsContext::TlsContext(std::shared_ptr<const TlsCredentials> credentials)
    : credentials_(std::move(credentials)), ctx_(credentials_->newClientContext()) {
  SSL_CTX_set_ex_data(ctx_, contextIndex(), this);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, &TlsContext::onVerify);
  SSL_CTX_set_info_callback(ctx_, &TlsContext::onInfo);
}

TlsContext::~TlsContext() {
  // libmosquitto holds a reference of its own and may still close a session
  // (its close alert runs the info callback): it must find no owner then.
  SSL_CTX_set_ex_data(ctx_, contextIndex(), nullptr);
  SSL_CTX_free(ctx_);
}

void TlsContext::setServerName(const std::string& host) {
  host_ = host;
  hostIsAddress_ = isNumericAddress(host);
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx_);
  X509_VERIFY_PARAM_set1_host(param, nullptr, 0);
  X509_VERIFY_PARAM_set1_ip(param, nullptr, 0);
  if (credentials_->settings().insecure) return;
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const int ok = hostIsAddress_ ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  if (ok != 1) {
    ERR_clear_error();
    throw std::runtime_error(fmt::format("cannot check TLS certificates against '{}'", host));
  }
}

void TlsContext::startAttempt() {
  handshakeDone_ = false;
  verifyError_.clear();
  libraryError_.clear();
}

void TlsContext::libraryError(const char* line) {
  // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed":
  // the reason follows the fourth colon of the error text.
  constexpr std::string_view kPrefix = "OpenSSL Error";
  const std::string_view text(line ? line : "");
  if (!libraryError_.empty() || !text.starts_with(kPrefix)) return;
  std::size_t pos = text.find("error:");
  for (int colons = 0; pos != std::string_view::npos && colons < 4; ++colons) {
    pos = text.find(':', pos);
    if (pos != std::string_view::npos) ++pos;
  }
  libraryError_ = std::string(pos == std::string_view::npos ? text : text.substr(pos));
}

std::string TlsContext::failure() const {
  if (verifyError_.empty()) return libraryError_;
  return fmt::format("{}: {}", libraryError_.empty() ? "certificate verify failed" : libraryError_,
                     verifyError_);
}

int TlsContext::onVerify(int ok, X509_STORE_CTX* store) {
  if (ok) return ok;
  const auto* ssl = static_cast<const SSL*>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TlsContext* self = ssl ? ownerOf(ssl) : nullptr;
  if (!self || !self->verifyError_.empty()) return ok;
  const int error = X509_STORE_CTX_get_error(store);
  std::string text = X509_verify_cert_error_string(error);
  const X509* cert = X509_STORE_CTX_get_current_cert(store);
  switch (error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      text += fmt::format(" (the broker's certificate is not made out to {})", self->host_);
      break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      if (cert) {
        text += fmt::format(" (issuer {} of {} is not trusted; check the CA file)",
                            nameText(X509_get_issuer_name(cert)),
                            nameText(X509_get_subject_name(cert)));
      }
      break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      if (cert) {
        text += fmt::format(" ({} is not trusted; check the CA file)",
                            nameText(X509_get_subject_name(cert)));
      }
      break;
    default:
      if (cert) text += fmt::format(" ({})", nameText(X509_get_subject_name(cert)));
      break;
  }
  self->verifyError_ = std::move(text);
  return ok;
}

void TlsContext::onInfo(const SSL* ssl, int where, int) {
  TlsContext* self = ownerOf(ssl);
  if (!self) return;
  if ((where & SSL_CB_HANDSHAKE_START) != 0) {
    // Before the ClientHello is made: it carries the configured name, never
    // the address libmosquitto connected to.
    const char* name = self->hostIsAddress_ ? nullptr : self->host_.c_str();
    SSL_set_tlsext_host_name(const_cast<SSL*>(ssl), name);
  }
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) self->handshakeDone_ = true;
}

}  // namespace vantro
