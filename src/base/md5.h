// md5 - RFC 1321 MD5 digests written as 32 lower-case hex
// characters: the form in which addresses, triples and messages become
// record-store keys, and in which the admin server checks its shared key.
#ifndef TORVANE_BASE_MD5_H_
#define TORVANE_BASE_MD5_H_

#include <cstddef>
#include <memory>

#include "base/string.h"

// Digest of `len` bytes at `data` (null data with len 0 is the empty input).
// Returns an empty-text String only if the crypto library fails.
String MD5Hex(const void* data, size_t len);
// Digest of the strlen(text) bytes of `text`; null gives the digest of "".
String MD5Hex(const char* text);

// A digest fed in pieces. Start (also done by the constructor) begins a new
// digest; FinalHex ends it, and a following Update starts a fresh one.
// Owns its crypto context; not copyable; one thread at a time.
class CMD5Stream {
 public:
  CMD5Stream();
  ~CMD5Stream();
  CMD5Stream(const CMD5Stream&) = delete;
  CMD5Stream& operator=(const CMD5Stream&) = delete;

  void Start();
  // Adds `len` bytes (null data with len 0 adds nothing).
  void Update(const void* data, size_t len);
  // The digest of everything fed since Start; an empty-text String if the
  // crypto library fails.
  String FinalHex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  bool started_ = false;  // between Start and FinalHex
};

#endif  // TORVANE_BASE_MD5_H_
