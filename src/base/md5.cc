// md5 - MD5 digests through OpenSSL's EVP interface.
#include "base/md5.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

// Bytes in an MD5 digest; its hex form is twice as long.
constexpr unsigned kDigestBytes = 16;

String HexOf(const unsigned char* digest, unsigned n) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  String hex;
  hex.Allocate(static_cast<int>(2 * n));
  for (unsigned i = 0; i < n; ++i) {
    hex.append(kHexDigits[digest[i] >> 4]);
    hex.append(kHexDigits[digest[i] & 0x0f]);
  }
  return hex;
}

}  // namespace

String MD5Hex(const void* data, size_t len) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (data == nullptr) {
    data = "";
    len = 0;
  }
  if (EVP_Digest(data, len, digest, &n, EVP_md5(), nullptr) != 1 || n != kDigestBytes) return String("");
  return HexOf(digest, n);
}

String MD5Hex(const char* text) {
  if (text == nullptr) text = "";
  return MD5Hex(text, strlen(text));
}

struct CMD5Stream::Context {
  struct Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> md{EVP_MD_CTX_new()};
  bool ok = false;  // false once any step failed, until the next Start
};

CMD5Stream::CMD5Stream() : context_(std::make_unique<Context>()) { Start(); }

CMD5Stream::~CMD5Stream() = default;

void CMD5Stream::Start() {
  started_ = true;
  context_->ok = context_->md && EVP_DigestInit_ex(context_->md.get(), EVP_md5(), nullptr) == 1;
}

void CMD5Stream::Update(const void* data, size_t len) {
  if (!started_) Start();
  if (data == nullptr || len == 0 || !context_->ok) return;
  context_->ok = EVP_DigestUpdate(context_->md.get(), data, len) == 1;
}

String CMD5Stream::FinalHex() {
  if (!started_) Start();
  started_ = false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (!context_->ok || EVP_DigestFinal_ex(context_->md.get(), digest, &n) != 1 || n != kDigestBytes) {
    return String("");
  }
  return HexOf(digest, n);
}
