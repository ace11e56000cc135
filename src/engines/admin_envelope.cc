// admin_envelope - encoding, lookup and building of remote-admin messages
// (see admin_envelope.h).
#include "engines/admin_envelope.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "base/md5.h"
#include "base/socket.h"
#include "base/utility.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The key-sequence byte that meets value byte `i`: the key's bytes, then
// one zero byte, repeated.
unsigned char KeyByte(std::string_view key, size_t i) {
  const size_t at = i % (key.size() + 1);
  return at < key.size() ? static_cast<unsigned char>(key[at]) : 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Numbered(char letter, int n, bool closing) {
  char tag[24];
  snprintf(tag, sizeof tag, closing ? "</%c%d>" : "<%c%d>", letter, n);
  return tag;
}

// The content of element `letter``n` at or after `*from` in `text`; moves
// `*from` past its closing tag. False when it is missing.
bool NextNumbered(std::string_view text, char letter, int n, size_t* from, std::string_view* content) {
  const std::string open = Numbered(letter, n, false);
  const std::string close = Numbered(letter, n, true);
  const size_t open_at = text.find(open, *from);
  if (open_at == std::string_view::npos) return false;
  const size_t start = open_at + open.size();
  const size_t close_at = text.find(close, start);
  if (close_at == std::string_view::npos) return false;
  *content = text.substr(start, close_at - start);
  *from = close_at + close.size();
  return true;
}

std::string Hex(const unsigned char* bytes, size_t n) {
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 0xf];
  }
  return out;
}

}  // namespace

std::string EncodeField(std::string_view key, std::string_view value) {
  std::string out;
  out.reserve(2 * value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(value[i]) ^ KeyByte(key, i);
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xf];
  }
  return out;
}

bool DecodeField(std::string_view key, std::string_view hex, std::string* out) {
  out->clear();
  if (hex.size() < 2) return true;
  if (hex.size() % 2 != 0 || hex.size() / 2 >= kMaxFieldBytes) return false;
  out->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size() / 2; ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      out->clear();
      return false;
    }
    out->push_back(static_cast<char>((high << 4 | low) ^ KeyByte(key, i)));
  }
  return true;
}

std::string_view EnvelopeTag(std::string_view message, std::string_view tag) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  const size_t open_at = message.find(open);
  if (open_at == std::string_view::npos) return {};
  const size_t start = open_at + open.size();
  const size_t close_at = message.find(close, start);
  return close_at == std::string_view::npos ? std::string_view() : message.substr(start, close_at - start);
}

long EnvelopeNumber(std::string_view message, std::string_view tag) {
  // Bounded copy: a number never needs more, and atoi needs a terminator.
  const std::string text(EnvelopeTag(message, tag).substr(0, 32));
  return atol(text.c_str());
}

std::string KeyDigest(std::string_view key) { return MD5Hex(key.data(), key.size()).GetData(); }

bool DigestMatches(std::string_view received, std::string_view expected) {
  return received.size() == expected.size() && CRYPTO_memcmp(received.data(), expected.data(), expected.size()) == 0;
}

std::string RequestMac(std::string_view key, std::string_view cmd, std::string_view ts, std::string_view nonce,
                       std::string_view body) {
  std::string input;
  input.reserve(cmd.size() + ts.size() + nonce.size() + body.size() + 3);
  input.append(cmd).append("\n").append(ts).append("\n").append(nonce).append("\n").append(body);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(input.data()),
           input.size(), mac, &length) == nullptr) {
    return "";
  }
  return Hex(mac, length);
}

// {=========== EnvelopeRows

bool EnvelopeRows::SetFieldAt(int column, std::string_view key, std::string_view value) {
  if (column < 1 || row_count_ < 1 || value.size() >= kMaxFieldBytes) return false;
  cells_[{row_count_, column}] = EncodeField(key, value);
  if (column > col_count_) col_count_ = column;
  return true;
}

void EnvelopeRows::Reset() {
  row_count_ = 0;
  col_count_ = -1;
  cells_.clear();
}

std::string EnvelopeRows::Body(int* last_row_cells) const {
  std::string body;
  *last_row_cells = -1;
  for (int row = 1; row <= row_count_; ++row) {
    body += Numbered('r', row, false);
    int column = 1;
    for (auto it = cells_.find({row, column}); it != cells_.end(); it = cells_.find({row, ++column})) {
      body += Numbered('c', column, false) + it->second + Numbered('c', column, true);
    }
    body += Numbered('r', row, true);
    *last_row_cells = column - 1;
  }
  return body;
}

// }===========

bool ReadEnvelopeRows(std::string_view message, std::string_view key, int columns, long rows,
                      std::vector<std::vector<std::string>>* out) {
  out->clear();
  rows = std::min<long>(rows, INT32_MAX);
  size_t row_from = 0;
  std::string_view row_text;
  for (long row = 1; row <= rows && NextNumbered(message, 'r', static_cast<int>(row), &row_from, &row_text); ++row) {
    std::vector<std::string>& cells = out->emplace_back();
    size_t cell_from = 0;
    std::string_view cell;
    for (int column = 1; column <= columns && NextNumbered(row_text, 'c', column, &cell_from, &cell); ++column) {
      if (!DecodeField(key, cell, &cells.emplace_back())) {
        out->clear();
        return false;
      }
    }
  }
  return true;
}

// {=========== CServerTorvaneRequest

void CServerTorvaneRequest::ReadHeader(std::string_view message) {
  Reset();
  kmd5_ = EnvelopeTag(message, "kmd5").substr(0, 64);
  for (char& c : kmd5_) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  cmd_text_ = EnvelopeTag(message, "cmd").substr(0, 32);
  cmd_ = static_cast<int32_t>(EnvelopeNumber(message, "cmd"));
  col_count_ = static_cast<int16_t>(EnvelopeNumber(message, "c"));
  row_count_ = static_cast<int32_t>(EnvelopeNumber(message, "r"));
  error_ = EnvelopeTag(message, "e").substr(0, 256);
  ts_ = EnvelopeTag(message, "ts").substr(0, 32);
  nonce_ = EnvelopeTag(message, "nonce").substr(0, 128);
  mac_ = EnvelopeTag(message, "mac").substr(0, 128);
}

bool CServerTorvaneRequest::ReadRows(std::string_view message, std::string_view key) {
  rows_.clear();
  next_row_ = 0;
  return ReadEnvelopeRows(message, key, col_count_, row_count_, &rows_);
}

void CServerTorvaneRequest::Reset() {
  kmd5_.clear();
  col_count_ = 0;
  row_count_ = 0;
  cmd_ = 0;
  cmd_text_.clear();
  error_.clear();
  ts_.clear();
  nonce_.clear();
  mac_.clear();
  rows_.clear();
  next_row_ = 0;
}

const std::vector<std::string>* CServerTorvaneRequest::GetRow() {
  return next_row_ < rows_.size() ? &rows_[next_row_++] : nullptr;
}

// }===========

std::string ShortErrorAnswer(int code) {
  char text[96];
  snprintf(text, sizeof text, "<torvane><h><r>0</r><c>0</c><e>%d</e></h></torvane>\r\n", code);
  return text;
}

std::string CServerTorvaneRespose::Build(int cmd, int error) {
  if (error == kEnvelopeServerFull || error == kEnvelopeUnauthorized || error == kEnvelopeBadCommand) {
    rows_.Reset();
    return ShortErrorAnswer(error);
  }
  int cells = -1;
  const std::string body = rows_.Body(&cells);
  char header[160];
  snprintf(header, sizeof header, "<torvane><h><cmd>%04d</cmd><c>%d</c><r>%d</r><e>%04d</e></h><b>", cmd, cells,
           rows_.row_count(), error);
  rows_.Reset();
  return header + body + "</b></torvane>";
}

bool SendAnswer(CSocketComm* socket, std::string_view text) {
  if (socket == nullptr) return false;
  uint32_t deadline = GetMyTickCount() + kSendIdleMs;
  while (!text.empty()) {
    const int chunk = static_cast<int>(std::min<size_t>(text.size(), 1 << 20));
    const int sent = socket->Send(text.data(), chunk, kSendWaitMs);
    if (sent < 0) return false;
    if (sent > 0) {
      text.remove_prefix(static_cast<size_t>(sent));
      deadline = GetMyTickCount() + kSendIdleMs;
    } else if (static_cast<int32_t>(GetMyTickCount() - deadline) >= 0) {
      return false;
    }
  }
  return true;
}

bool ParseEnvelopeAnswer(std::string_view message, std::string_view key, EnvelopeAnswer* out) {
  out->cmd = static_cast<int>(EnvelopeNumber(message, "cmd"));
  out->cols = static_cast<int>(EnvelopeNumber(message, "c"));
  out->rows = EnvelopeNumber(message, "r");
  out->error = static_cast<int>(EnvelopeNumber(message, "e"));
  return ReadEnvelopeRows(EnvelopeTag(message, "b"), key, INT16_MAX, out->rows, &out->data);
}

std::string BuildEnvelopeRequest(int cmd, std::string_view key, const EnvelopeRows& rows, long ts,
                                 std::string_view nonce) {
  int cells = -1;
  const std::string body = rows.Body(&cells);
  char cmd_text[16];
  snprintf(cmd_text, sizeof cmd_text, "%04d", cmd);
  const std::string ts_text = std::to_string(ts);
  std::string out = "<torvane><h><cmd>" + std::string(cmd_text) + "</cmd><kmd5>" + KeyDigest(key) + "</kmd5>";
  out += "<c>" + std::to_string(cells < 0 ? 0 : cells) + "</c><r>" + std::to_string(rows.row_count()) + "</r>";
  out += "<ts>" + ts_text + "</ts><nonce>" + std::string(nonce) + "</nonce>";
  out += "<mac>" + RequestMac(key, cmd_text, ts_text, nonce, body) + "</mac></h>";
  return out + "<b>" + body + "</b></torvane>";
}

std::string NewNonce() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
  return Hex(bytes, sizeof bytes);
}

ExchangeResult ExchangeEnvelope(CSocketComm* socket, std::string_view request, std::string_view key, int wait_ms,
                                int total_ms, size_t max_answer, EnvelopeAnswer* answer) {
  if (!SendAnswer(socket, request)) return ExchangeResult::kClosed;
  const uint32_t deadline = GetMyTickCount() + static_cast<uint32_t>(total_ms);
  std::string inbox;
  char piece[4096];
  for (;;) {
    const size_t end = inbox.find(kEnvelopeEnd);
    if (end != std::string::npos) {
      return ParseEnvelopeAnswer(std::string_view(inbox).substr(0, end + kEnvelopeEnd.size()), key, answer)
                 ? ExchangeResult::kAnswered
                 : ExchangeResult::kBadAnswer;
    }
    if (inbox.size() > max_answer) return ExchangeResult::kBadAnswer;
    const int32_t left = static_cast<int32_t>(deadline - GetMyTickCount());
    if (left <= 0) return ExchangeResult::kTimedOut;
    const int got = socket->Riceve(piece, sizeof piece, std::min<int32_t>(left, wait_ms));
    if (got < 0) return ExchangeResult::kClosed;
    inbox.append(piece, static_cast<size_t>(got));
  }
}
