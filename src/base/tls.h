// tls - TLS over a connected socket with OpenSSL: TlsContext, the settings
// and keys every connection of one side shares (a server's certificate, a
// client's trust anchors), and TlsChannel, one connection's TLS state that
// CSocketComm reads and writes through once it is attached. TLS 1.2 and
// 1.3 only, the library's default ciphers, no renegotiation. Every step
// is non-blocking: a step that needs the peer says which way it waits, and
// the caller polls the descriptor.
#ifndef TORVANE_BASE_TLS_H_
#define TORVANE_BASE_TLS_H_

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// Thread-safety: a loaded context is shared by many channels on many
// threads (OpenSSL locks it); reloading makes a new context, and channels
// keep the one they began with.
class TlsContext {
 public:
  // A server's context with the certificate chain and private key of two
  // PEM files. Null, with `error` saying why, when either cannot be read
  // or the key does not match the certificate.
  static std::shared_ptr<TlsContext> ForServer(const std::string& cert_file, const std::string& key_file,
                                               std::string* error);
  // A client's context: with `ca_file` ("" for none) the server's
  // certificate must chain to it and name the host the channel is made
  // for; without, any certificate is taken (the link is encrypted, not
  // authenticated). Null, with `error`, when the CA file cannot be read.
  static std::shared_ptr<TlsContext> ForClient(const std::string& ca_file, std::string* error);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool verifies() const { return verifies_; }
  SSL_CTX* get() const { return ctx_; }

 private:
  explicit TlsContext(SSL_CTX* ctx, bool verifies) : ctx_(ctx), verifies_(verifies) {}

  SSL_CTX* ctx_;
  bool verifies_;
};

// Not thread-safe: one connection, used by one thread at a time.
class TlsChannel {
 public:
  enum class Step { kDone, kWantRead, kWantWrite, kFailed };

  // A channel over `fd` (made non-blocking here). `server_name` is the
  // name a client asks for and checks (SNI); ignored on a server. Check
  // ok() before use.
  TlsChannel(std::shared_ptr<TlsContext> context, int fd, bool server, const std::string& server_name);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  bool ok() const { return ssl_ != nullptr; }
  // One handshake step; kDone once it is complete.
  Step Handshake();
  // Decrypted bytes into `buffer`: the count, 0 when none can be had now,
  // -1 once the peer closed or the channel failed.
  int Read(void* buffer, int length);
  // Encrypts up to `length` bytes: the count taken, 0 when the socket
  // takes nothing now, -1 on failure. A call after 0 must offer at least
  // the bytes offered before, from the start (the buffer may move).
  int Write(const void* buffer, int length);
  // Decrypted bytes held inside the channel, not in the socket.
  bool HasPending() const;
  // "TLSv1.3", and the cipher's standard name; "" before the handshake.
  std::string Protocol() const;
  std::string Cipher() const;
  // Why the last step failed: the library's first error, "" when none.
  const std::string& error() const { return error_; }
  // Sends the closing alert, best effort (never waits).
  void Close();

 private:
  // The Step for an SSL_get_error code; notes the error of a failure.
  Step StepFor(int code);
  // What Read and Write answer for the library's `result`: the bytes
  // moved, 0 when the step must wait, -1 on failure.
  int Transferred(int result);

  std::shared_ptr<TlsContext> context_;
  SSL* ssl_ = nullptr;
  std::string error_;
};

#endif  // TORVANE_BASE_TLS_H_
