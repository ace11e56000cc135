// tls - TLS contexts and channels over OpenSSL (see tls.h).
#include "base/tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <utility>

namespace {

// The library's first queued error as text, the queue emptied (it is per
// thread: a left-over error would be blamed on the next connection).
std::string TakeLibraryError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

// What both sides share: TLS 1.2 at least, no renegotiation, partial
// writes from a buffer that may move between retries (the relay's queues
// move their unsent rest to the front).
SSL_CTX* NewContext(const SSL_METHOD* method, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) {
    *error = TakeLibraryError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

bool IsAddressText(const std::string& name) {
  return name.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::ForServer(const std::string& cert_file, const std::string& key_file,
                                                  std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(TLS_server_method(), error);
  if (ctx == nullptr) return nullptr;
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    *error = TakeLibraryError();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return std::shared_ptr<TlsContext>(new TlsContext(ctx, false));
}

std::shared_ptr<TlsContext> TlsContext::ForClient(const std::string& ca_file, std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(TLS_client_method(), error);
  if (ctx == nullptr) return nullptr;
  const bool verifies = !ca_file.empty();
  if (verifies) {
    if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
      *error = TakeLibraryError();
      SSL_CTX_free(ctx);
      return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  return std::shared_ptr<TlsContext>(new TlsContext(ctx, verifies));
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsChannel::TlsChannel(std::shared_ptr<TlsContext> context, int fd, bool server, const std::string& server_name)
    : context_(std::move(context)) {
  ERR_clear_error();
  if (context_ == nullptr || fd < 0) return;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  ssl_ = SSL_new(context_->get());
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd) != 1) {
    error_ = TakeLibraryError();
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  if (server) {
    SSL_set_accept_state(ssl_);
    return;
  }
  SSL_set_connect_state(ssl_);
  if (!server_name.empty() && !IsAddressText(server_name)) SSL_set_tlsext_host_name(ssl_, server_name.c_str());
  if (!context_->verifies() || server_name.empty()) return;
  // The certificate must name the peer: its host name, or its address.
  if (IsAddressText(server_name)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), server_name.c_str());
  } else {
    SSL_set1_host(ssl_, server_name.c_str());
  }
}

TlsChannel::~TlsChannel() { SSL_free(ssl_); }

TlsChannel::Step TlsChannel::StepFor(int code) {
  switch (code) {
    case SSL_ERROR_WANT_READ:
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return Step::kWantWrite;
    default:
      error_ = TakeLibraryError();
      if (error_.empty()) error_ = code == SSL_ERROR_ZERO_RETURN ? "closed by the peer" : "connection lost";
      return Step::kFailed;
  }
}

TlsChannel::Step TlsChannel::Handshake() {
  if (ssl_ == nullptr) return Step::kFailed;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  return result == 1 ? Step::kDone : StepFor(SSL_get_error(ssl_, result));
}

int TlsChannel::Read(void* buffer, int length) {
  if (ssl_ == nullptr) return -1;
  if (buffer == nullptr || length < 1) return 0;
  ERR_clear_error();
  return Transferred(SSL_read(ssl_, buffer, length));
}

int TlsChannel::Write(const void* buffer, int length) {
  if (ssl_ == nullptr) return -1;
  if (buffer == nullptr || length < 1) return 0;
  ERR_clear_error();
  return Transferred(SSL_write(ssl_, buffer, length));
}

int TlsChannel::Transferred(int result) {
  if (result > 0) return result;
  return StepFor(SSL_get_error(ssl_, result)) == Step::kFailed ? -1 : 0;
}

bool TlsChannel::HasPending() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

std::string TlsChannel::Protocol() const {
  return ssl_ != nullptr && SSL_is_init_finished(ssl_) ? SSL_get_version(ssl_) : "";
}

std::string TlsChannel::Cipher() const {
  const SSL_CIPHER* cipher = ssl_ != nullptr && SSL_is_init_finished(ssl_) ? SSL_get_current_cipher(ssl_) : nullptr;
  return cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "";
}

void TlsChannel::Close() {
  if (ssl_ == nullptr || !SSL_is_init_finished(ssl_)) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);  // non-blocking socket: sends the alert if it fits
  ERR_clear_error();
}
