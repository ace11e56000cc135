// encoding_functions - CS_InConde, the encoding functions every script kind offers:
// Base64, MD5 (of a text, of a file, and a running digest fed in pieces),
// HTML entities and references, tag stripping, URL coding and HextoInt.
// A mix-in of the script classes; the coding rules live in text_codecs.h.
#ifndef TORVANE_SCRIPTLIB_ENCODING_FUNCTIONS_H_
#define TORVANE_SCRIPTLIB_ENCODING_FUNCTIONS_H_

#include <cstddef>

#include "base/md5.h"
#include "base/string.h"
#include "scriptlib/script_results.h"

// Text arguments are C strings from scripts; null counts as "" unless a
// method says otherwise. Text results point into a buffer of this object
// that stays valid until the same method is called again on it; they are
// never null except where stated.
// Not thread-safe: each script object belongs to one interpreter thread.
class CS_InConde {
 public:
  // MD5File block sizes outside 1..kMaxMD5FileBlock become this.
  static constexpr int kDefaultMD5FileBlock = 4096;
  // Largest block MD5File reads at once: one buffer of this size is held
  // while it runs.
  static constexpr int kMaxMD5FileBlock = 1048576;
  // Most bytes one MD5UpdateStreamB call adds.
  static constexpr int kMaxMD5StreamBlock = 32768;

  CS_InConde() = default;
  CS_InConde(const CS_InConde&) = delete;
  CS_InConde& operator=(const CS_InConde&) = delete;

  // Base64 of the text's bytes, "\r\n" after every 76 output characters.
  const char* Encode64(const char* text);
  // The bytes a Base64 text holds, as text (ending at a decoded NUL).
  const char* Decode64(const char* text);

  // The 32 lower-case hex digits of the text's MD5; null for a null text.
  const char* MD5(const char* text);
  // The MD5 of the file at `path`, read `block` bytes at a time (a block
  // outside 1..kMaxMD5FileBlock reads kDefaultMD5FileBlock); "" when the
  // file cannot be opened or `path` is null.
  const char* MD5File(const char* path, int block);
  // Restarts this object's running digest.
  void MD5StartStream();
  // Adds the first `length` bytes of `buffer`'s contents (its binary bytes
  // when it holds any, else its text) to the running digest. Nothing happens
  // for a null buffer or a length outside 1..kMaxMD5StreamBlock, and never
  // more than the buffer holds is read: a longer length adds what there is.
  void MD5UpdateStreamB(const String* buffer, int length);
  // As MD5UpdateStreamB for native callers that hold raw bytes: `available`
  // is how many bytes `bytes` holds.
  void MD5UpdateStreamBytes(const void* bytes, size_t available, int length);
  // Adds the text's bytes (nothing for null).
  void MD5UpdateStream(const char* text);
  // The running digest's 32 hex digits; the digest then starts afresh.
  const char* MD5FinalStream();

  // Entities of the HTML table replaced by their bytes / bytes by entities
  // (text_codecs.h: DecodeHtmlEntities, EncodeHtmlEntities).
  const char* DecodeHtmlSpecialChar(const char* text);
  const char* EncodeHtmlSpecialChar(const char* text);
  // Entities decoded, then decimal references followed to the end.
  const char* DeOfuscate(const char* text);
  // Tags removed, then entities decoded.
  const char* HtmlToText(const char* text);
  // Percent-decoding with '+' as space, followed to the end ("%2541" gives
  // "A").
  const char* URLDecode(const char* text);
  // Every byte but letters, digits and '_' as "%HH"; null for a null text.
  const char* URLEncode(const char* text);
  // The value of up to four leading hexadecimal digits ("1F" gives 31).
  int HextoInt(const char* text) const;

 private:
  // One result buffer per text-returning method.
  enum class Text {
    kEncode64, kDecode64, kMD5, kMD5File, kMD5FinalStream, kDecodeHtmlSpecialChar,
    kEncodeHtmlSpecialChar, kDeOfuscate, kHtmlToText, kURLDecode, kURLEncode, kCount
  };
  ScriptTextResults<Text> results_;
  CMD5Stream stream_;  // the running digest of the MD5*Stream methods
};

#endif  // TORVANE_SCRIPTLIB_ENCODING_FUNCTIONS_H_
