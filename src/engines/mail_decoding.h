// mail_decoding - turning the encoded pieces of a message into UTF-8 text
// for the classifiers: quoted-printable and base64 bodies, RFC 2047 words in
// header values, and charsets through iconv. Pure functions over untrusted
// bytes: every result is bounded by its `max_bytes` and is valid UTF-8
// where the name says so. Thread-safe.
#ifndef TORVANE_ENGINES_MAIL_DECODING_H_
#define TORVANE_ENGINES_MAIL_DECODING_H_

#include <cstddef>
#include <string>
#include <string_view>

// Largest decoded text one call produces: far above the analysed prefix of
// a message, small enough that a script's huge message cannot exhaust
// memory through the decoded views.
constexpr size_t kMaxDecodedBytes = 1 << 20;

// "=XX" (hexadecimal, either case) becomes its byte, "=" before a line end
// (a soft break) joins the lines; an "=" followed by anything else is kept
// as it is. Stops before the output passes `max_bytes`.
std::string QuotedPrintableDecode(std::string_view text, size_t max_bytes = kMaxDecodedBytes);

// The body bytes under a Content-Transfer-Encoding (lower-cased name):
// "base64" and "quoted-printable" decoded, anything else as it is; at most
// `max_bytes`.
std::string DecodeTransfer(std::string_view data, std::string_view encoding,
                           size_t max_bytes = kMaxDecodedBytes);

// `bytes` in `charset` (any spelling iconv knows; empty for undeclared) as
// valid UTF-8, at most `max_bytes`. Text that already is valid UTF-8 is
// kept; otherwise it is converted from the charset (windows-1252 when it is
// undeclared or unknown), skipping bytes the charset does not define.
std::string ToUtf8(std::string_view bytes, std::string_view charset, size_t max_bytes = kMaxDecodedBytes);

// A header value with its RFC 2047 encoded words ("=?charset?B?...?=",
// "=?charset?Q?...?=") decoded, blanks between two adjacent encoded words
// dropped, line folds unfolded, and the whole as valid UTF-8 (bare 8-bit
// bytes taken as windows-1252). At most `max_bytes`.
std::string DecodeHeaderValue(std::string_view value, size_t max_bytes = kMaxDecodedBytes);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text);

#endif  // TORVANE_ENGINES_MAIL_DECODING_H_
