// admin_envelope - the remote-admin wire format, written once for the
// server, the script client classes and torvane-admin: field scrambling
// (XOR with the key, then hex), tag lookup, the rows of a message,
// CServerTorvaneRequest (a request as the server parses it, the key checked
// before any row is read) and CServerTorvaneRespose (an answer under
// construction). The scrambling hides nothing from an observer and the key
// digest is a bearer token: the protocol belongs on loopback or a tunnel.
#ifndef TORVANE_ENGINES_ADMIN_ENVELOPE_H_
#define TORVANE_ENGINES_ADMIN_ENVELOPE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CSocketComm;

// The message end both directions look for.
inline constexpr std::string_view kEnvelopeEnd = "</torvane>";
// A field value is shorter than this, in bytes.
inline constexpr size_t kMaxFieldBytes = 11048577;
// Error codes of the short answer form.
inline constexpr int kEnvelopeServerFull = 300;
inline constexpr int kEnvelopeUnauthorized = 401;
inline constexpr int kEnvelopeBadCommand = 501;

// `value` XORed with the key sequence (the key's bytes and one zero byte,
// repeated) and written as lower-case hex.
std::string EncodeField(std::string_view key, std::string_view value);
// The reverse. False (and `out` empty) for an odd length, a character that
// is not hex, or a value of kMaxFieldBytes or more; an encoded text shorter
// than 2 characters gives "" and true.
bool DecodeField(std::string_view key, std::string_view hex, std::string* out);

// The text between the first "<tag>" of `message` and the first "</tag>"
// after it; "" when either is missing.
std::string_view EnvelopeTag(std::string_view message, std::string_view tag);
// EnvelopeTag read as a decimal number (atoi rules: 0 when not a number).
long EnvelopeNumber(std::string_view message, std::string_view tag);

// The 32 lower-case hex characters of the key's MD5 digest: the "<kmd5>"
// a client sends.
std::string KeyDigest(std::string_view key);
// Constant-time comparison of a received digest with the expected one
// (the length is not secret).
bool DigestMatches(std::string_view received, std::string_view expected);
// HMAC-SHA256 with `key` over the command text, time stamp, nonce and
// body of a request, as lower-case hex: the "<mac>" of signed requests.
std::string RequestMac(std::string_view key, std::string_view cmd, std::string_view ts, std::string_view nonce,
                       std::string_view body);

// Rows of fields as a message carries them: row i (from 1) is
// "<ri>" cells "</ri>", cell j (from 1) "<cj>" encoded value "</cj>".
// Builds the rows of a response or a request. Not thread-safe.
class EnvelopeRows {
 public:
  // Starts the next row.
  void AddNew() { ++row_count_; }
  // Stores `value` as column `column` (1 or more) of the current row. False
  // for a column below 1, no current row, or a value of kMaxFieldBytes or
  // more.
  bool SetFieldAt(int column, std::string_view key, std::string_view value);
  void Reset();
  int row_count() const { return row_count_; }
  // The highest column set; -1 after Reset.
  int col_count() const { return col_count_; }
  // The "<b>" contents: rows 1 to row_count, each with its cells 1, 2, ...
  // up to the first column not set. `last_row_cells` gets the number of
  // cells of the last row (-1 without rows).
  std::string Body(int* last_row_cells) const;

 private:
  int row_count_ = 0;
  int col_count_ = -1;
  std::map<std::pair<int, int>, std::string> cells_;  // (row, column) -> encoded
};

// Reads rows 1, 2, ... of `message`, each with cells 1, 2, ... up to
// `columns`, decoding with `key`. Rows and cells are looked for in order
// from where the previous one ended, and reading stops at the first one
// missing, so counts a sender forged cost nothing. False when a cell does
// not decode (DecodeField).
bool ReadEnvelopeRows(std::string_view message, std::string_view key, int columns, long rows,
                      std::vector<std::vector<std::string>>* out);

// A request as the server parses it. Not thread-safe.
class CServerTorvaneRequest {
 public:
  // Reads the header tags of `message` (one request, up to and including
  // its end). Rows are not touched.
  void ReadHeader(std::string_view message);
  // Reads the rows the header announces, present ones only. False when a
  // cell does not decode; `rows` then stays empty.
  bool ReadRows(std::string_view message, std::string_view key);
  void Reset();

  int GetCmd() const { return cmd_; }
  int GetRecordCount() const { return row_count_; }
  int GetColCount() const { return col_count_; }
  // The next row, in order, each once; null after the last.
  const std::vector<std::string>* GetRow();
  const std::string& kmd5() const { return kmd5_; }
  const std::string& error() const { return error_; }
  // The text of the command tag as sent, for signatures.
  const std::string& cmd_text() const { return cmd_text_; }
  const std::string& ts() const { return ts_; }
  const std::string& nonce() const { return nonce_; }
  const std::string& mac() const { return mac_; }

 private:
  std::string kmd5_;
  int16_t col_count_ = 0;  // a header above 32767 wraps, as senders expect
  int32_t row_count_ = 0;
  int32_t cmd_ = 0;
  std::string cmd_text_, error_, ts_, nonce_, mac_;
  std::vector<std::vector<std::string>> rows_;
  size_t next_row_ = 0;
};

// An answer under construction: rows and the text of the normal or the
// short error form. Not thread-safe.
class CServerTorvaneRespose {
 public:
  explicit CServerTorvaneRespose(std::string key = "") : key_(std::move(key)) {}

  void AddNew() { rows_.AddNew(); }
  bool SetFieldAt(int column, std::string_view value) { return rows_.SetFieldAt(column, key_, value); }
  int GetRecordCount() const { return rows_.row_count(); }
  int GetColCount() const { return rows_.col_count(); }
  void Reset() { rows_.Reset(); }
  void SetKey(std::string key) { key_ = std::move(key); }
  const std::string& key() const { return key_; }
  // The answer text for (cmd, error): the short form for 300, 401 and 501,
  // the normal form with the rows otherwise. Clears the rows.
  std::string Build(int cmd, int error);

 private:
  std::string key_;
  EnvelopeRows rows_;
};

// The short error form for `code`.
std::string ShortErrorAnswer(int code);

// Writes all of `text` to `socket`: each write waits up to kSendWaitMs,
// and the attempt ends when kSendIdleMs pass without progress. False when
// bytes remain (the peer stopped reading) or on a socket error.
bool SendAnswer(CSocketComm* socket, std::string_view text);
inline constexpr int kSendWaitMs = 300;
inline constexpr int kSendIdleMs = 1000;

// An answer as a client reads it.
struct EnvelopeAnswer {
  int cmd = 0;
  int cols = 0;
  long rows = 0;
  int error = 0;
  std::vector<std::vector<std::string>> data;
};
// Parses one answer (up to its end). False when a cell does not decode.
bool ParseEnvelopeAnswer(std::string_view message, std::string_view key, EnvelopeAnswer* out);

// A request as a client sends it, signed with the time stamp and nonce
// given (a server not asking for signatures ignores them).
std::string BuildEnvelopeRequest(int cmd, std::string_view key, const EnvelopeRows& rows, long ts,
                                 std::string_view nonce);

// 32 random hex characters: the nonce of a signed request.
std::string NewNonce();

// How a client's exchange ended.
enum class ExchangeResult { kAnswered, kBadAnswer, kClosed, kTimedOut };
// Sends `request` and reads one answer: each receive waits up to
// `wait_ms`, the whole exchange at most `total_ms`, and an answer longer
// than `max_answer` bytes ends it as kBadAnswer, like one that does not
// parse. kClosed when the server closed without a whole answer.
ExchangeResult ExchangeEnvelope(CSocketComm* socket, std::string_view request, std::string_view key, int wait_ms,
                                int total_ms, size_t max_answer, EnvelopeAnswer* answer);

#endif  // TORVANE_ENGINES_ADMIN_ENVELOPE_H_
