#include "vantro/mqtt/TlsCredentials.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace vantro {
namespace {

// Far above any certificate bundle; a larger file is a mistake.
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

// The file's bytes; wiped when they held a key.
class FileText {
 public:
  FileText(const std::string& path, std::string_view what) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      throw std::runtime_error(
          fmt::format("cannot read {} {}: {}", what, path, std::strerror(errno)));
    }
    char buf[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int err = errno;
        ::close(fd);
        throw std::runtime_error(
            fmt::format("cannot read {} {}: {}", what, path, std::strerror(err)));
      }
      if (n == 0) break;
      text_.append(buf, static_cast<std::size_t>(n));
      if (text_.size() > kMaxFileSize) {
        ::close(fd);
        throw std::runtime_error(
            fmt::format("{} {} is larger than {} bytes", what, path, kMaxFileSize));
      }
    }
    OPENSSL_cleanse(buf, sizeof buf);
    ::close(fd);
  }
  ~FileText() {
    if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
  }
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  // A memory BIO over the text; the caller frees it.
  BIO* bio() const {
    BIO* b = BIO_new_mem_buf(text_.data(), static_cast<int>(text_.size()));
    if (!b) throw std::runtime_error("out of memory reading a TLS file");
    return b;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The reason of OpenSSL's oldest queued error, and the queue emptied.
std::string opensslReason() {
  const unsigned long e = ERR_peek_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : "not understood";
}

// Every PEM certificate of `file`, in order. The end of the text ends the
// loop; anything else that stops it is an error.
std::vector<X509*> readCertificates(const FileText& file, const std::string& path,
                                    std::string_view what) {
  std::vector<X509*> certs;
  BIO* bio = file.bio();
  ERR_clear_error();
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.push_back(cert);
  const unsigned long e = ERR_peek_last_error();
  const bool atEnd =
      ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE && !certs.empty();
  BIO_free(bio);
  if (!atEnd) {
    const std::string reason = certs.empty() ? "holds no PEM certificate" : opensslReason();
    for (X509* c : certs) X509_free(c);
    throw std::runtime_error(fmt::format("{} {}: {}", what, path, reason));
  }
  ERR_clear_error();
  return certs;
}

// libcrypto asks for a passphrase only for an encrypted key: there is none.
int noPassphrase(char*, int, int, void*) {
  return -1;
}

}  // namespace

TlsCredentials::TlsCredentials(TlsSettings settings) : settings_(std::move(settings)) {}

TlsCredentials::~TlsCredentials() {
  X509_STORE_free(store_);
  X509_free(cert_);
  sk_X509_pop_free(chain_, X509_free);
  EVP_PKEY_free(key_);
}

std::shared_ptr<const TlsCredentials> TlsCredentials::load(const TlsSettings& settings) {
  // OpenSSL reads its own configuration file on first use: here, not later on
  // the event loop.
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  std::shared_ptr<TlsCredentials> c(new TlsCredentials(settings));
  if (settings.certFile.empty() != settings.keyFile.empty()) {
    throw std::runtime_error(
        "a TLS client certificate needs both a certificate file and a key file");
  }

  // The trusted certificates go into a store of our own, read here, so that
  // no handshake reads the file system (as a hashed directory would).
  std::string caPath = settings.caFile;
  std::string_view caWhat = "TLS CA file";
  if (caPath.empty()) {
    const char* env = std::getenv(X509_get_default_cert_file_env());
    caPath = env && *env ? env : X509_get_default_cert_file();
    caWhat = "the system's CA store (no CA file given)";
  }
  c->store_ = X509_STORE_new();
  if (!c->store_) throw std::runtime_error("out of memory creating the TLS CA store");
  const FileText caText(caPath, caWhat);
  for (X509* cert : readCertificates(caText, caPath, caWhat)) {
    // A certificate listed twice is no error.
    X509_STORE_add_cert(c->store_, cert);
    X509_free(cert);
    ++c->trustedCount_;
  }
  ERR_clear_error();

  if (!settings.certFile.empty()) {
    const FileText certText(settings.certFile, "TLS certificate file");
    std::vector<X509*> certs =
        readCertificates(certText, settings.certFile, "TLS certificate file");
    c->cert_ = certs.front();
    c->chain_ = sk_X509_new_null();
    for (std::size_t i = 1; i < certs.size(); ++i) sk_X509_push(c->chain_, certs[i]);

    const FileText keyText(settings.keyFile, "TLS key file");
    BIO* bio = keyText.bio();
    ERR_clear_error();
    c->key_ = PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    if (!c->key_) {
      const bool encrypted = keyText.text().find("ENCRYPTED") != std::string::npos;
      const std::string reason = opensslReason();
      throw std::runtime_error(fmt::format(
          "TLS key file {}: {}", settings.keyFile,
          encrypted ? "the key is encrypted; the gateway needs it unencrypted (protect the "
                      "file by its owner and mode instead)"
                    : "no private key in it (" + reason + ")"));
    }
    if (X509_check_private_key(c->cert_, c->key_) != 1) {
      ERR_clear_error();
      throw std::runtime_error(
          fmt::format("TLS key file {} does not belong to the certificate in {}", settings.keyFile,
                      settings.certFile));
    }
  }
  return c;
}

ssl_ctx_st* TlsCredentials::newClientContext() const {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) throw std::runtime_error("cannot create a TLS context: " + opensslReason());
  bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1;
  SSL_CTX_set1_cert_store(ctx, store_);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (ok && cert_) ok = SSL_CTX_use_cert_and_key(ctx, cert_, key_, chain_, 1) == 1;
  if (!ok) {
    const std::string reason = opensslReason();
    SSL_CTX_free(ctx);
    throw std::runtime_error("cannot set up the TLS context: " + reason);
  }
  return ctx;
}

}  // namespace vantro
