// mail_decoding - quoted-printable, RFC 2047 words and charset conversion
// (see mail_decoding.h).
#include "engines/mail_decoding.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "base/text_codecs.h"

namespace {

// Charsets are taken for granted when missing or unknown: most 8-bit mail
// without a declaration is written in this one, and every byte decodes.
constexpr char kFallbackCharset[] = "WINDOWS-1252";
// A charset name longer than this is no charset (and never reaches iconv).
constexpr size_t kMaxCharsetName = 40;
// Longest encoded word read (RFC 2047 allows 75 characters; some senders
// write longer ones). The bound keeps a header of many unterminated "=?"
// from being scanned to its end once per "=?".
constexpr size_t kMaxEncodedWordBytes = 4096;
// Converters kept open per thread; a message naming ever new charsets
// opens and closes the rest per call.
constexpr size_t kMaxCachedConverters = 32;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

// One open converter to UTF-8 from a charset; closed with its owner.
struct Converter {
  explicit Converter(iconv_t cd) : cd(cd) {}
  ~Converter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  iconv_t cd;
};

std::unique_ptr<Converter> OpenConverter(const std::string& charset) {
  auto converter = std::make_unique<Converter>(iconv_open("UTF-8", charset.c_str()));
  if (converter->cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return converter;
}

// The converters this thread opened, by upper-cased charset name. iconv
// descriptors are not thread-safe, so each thread keeps its own.
Converter* CachedConverter(const std::string& charset, std::unique_ptr<Converter>* uncached) {
  thread_local std::unordered_map<std::string, std::unique_ptr<Converter>> cache;
  auto found = cache.find(charset);
  if (found != cache.end()) return found->second.get();
  std::unique_ptr<Converter> opened = OpenConverter(charset);
  if (opened == nullptr) return nullptr;
  if (cache.size() >= kMaxCachedConverters) {
    *uncached = std::move(opened);
    return uncached->get();
  }
  return (cache[charset] = std::move(opened)).get();
}

// `bytes` converted by `cd`, skipping each byte the charset rejects and
// stopping at `max_bytes` of output.
std::string Convert(iconv_t cd, std::string_view bytes, size_t max_bytes) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  while (in_left > 0 && out.size() < max_bytes) {
    char* to = buffer;
    size_t to_left = sizeof(buffer);
    const size_t done = iconv(cd, &in, &in_left, &to, &to_left);
    out.append(buffer, static_cast<size_t>(to - buffer));
    if (done != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a sequence cut at the end): drop one byte and go on.
    ++in;
    --in_left;
  }
  if (out.size() > max_bytes) out.resize(max_bytes);
  return out;
}

// The longest prefix of `text` that ends on a whole UTF-8 sequence, for
// text valid but for a sequence cut at its end.
std::string_view WholeSequences(std::string_view text) {
  size_t lead = text.size();
  while (lead > 0 && text.size() - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return text.substr(0, 0);
  --lead;  // the byte that starts the last sequence
  const size_t length = Utf8SequenceLength(text.substr(lead));
  return length == text.size() - lead ? text : text.substr(0, lead);
}

// One RFC 2047 word at the start of `text`: "=?charset?X?payload?=".
struct EncodedWord {
  size_t length = 0;  // 0 when `text` does not start with a word
  std::string charset;
  char encoding = 0;  // 'B' or 'Q'
  std::string_view payload;
};

EncodedWord ReadEncodedWord(std::string_view text) {
  EncodedWord word;
  if (text.substr(0, 2) != "=?") return word;
  text = text.substr(0, kMaxEncodedWordBytes);
  const size_t charset_end = text.find('?', 2);
  if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() ||
      text[charset_end + 2] != '?' || charset_end - 2 > kMaxCharsetName) {
    return word;
  }
  const char encoding = static_cast<char>(toupper(static_cast<unsigned char>(text[charset_end + 1])));
  if (encoding != 'B' && encoding != 'Q') return word;
  const size_t payload_start = charset_end + 3;
  const size_t end = text.find("?=", payload_start);
  if (end == std::string_view::npos) return word;
  const std::string_view payload = text.substr(payload_start, end - payload_start);
  if (payload.find_first_of(" \t\r\n") != std::string_view::npos) return word;
  word.charset = std::string(text.substr(2, charset_end - 2));
  // "charset*language" (RFC 2231) names the charset before the '*'.
  word.charset = word.charset.substr(0, word.charset.find('*'));
  word.encoding = encoding;
  word.payload = payload;
  word.length = end + 2;
  return word;
}

std::string DecodeWordPayload(const EncodedWord& word, size_t max_bytes) {
  if (word.encoding == 'B') return Base64DecodeBytes(word.payload, max_bytes);
  std::string underscores_as_blanks(word.payload);
  std::replace(underscores_as_blanks.begin(), underscores_as_blanks.end(), '_', ' ');
  return QuotedPrintableDecode(underscores_as_blanks, max_bytes);
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8SequenceLength(text.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string QuotedPrintableDecode(std::string_view text, size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  for (size_t at = 0; at < text.size() && out.size() < max_bytes; ++at) {
    const char c = text[at];
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n') {
      at += 2;  // soft line break
    } else if (at + 1 < text.size() && text[at + 1] == '\n') {
      at += 1;
    } else if (at + 2 < text.size() && HexValue(text[at + 1]) >= 0 && HexValue(text[at + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[at + 1]) * 16 + HexValue(text[at + 2])));
      at += 2;
    } else {
      out.push_back(c);  // a bad escape stays as written
    }
  }
  return out;
}

std::string DecodeTransfer(std::string_view data, std::string_view encoding, size_t max_bytes) {
  if (encoding == "base64") return Base64DecodeBytes(data, max_bytes);
  if (encoding == "quoted-printable") return QuotedPrintableDecode(data, max_bytes);
  return std::string(data.substr(0, std::min(data.size(), max_bytes)));
}

std::string ToUtf8(std::string_view bytes, std::string_view charset, size_t max_bytes) {
  if (IsValidUtf8(bytes)) return std::string(WholeSequences(bytes.substr(0, std::min(bytes.size(), max_bytes))));
  std::string name = charset.size() <= kMaxCharsetName ? Lower(charset) : std::string();
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  // Declared ASCII or UTF-8 that is not: the bytes are most likely 1252.
  if (name.empty() || name == "US-ASCII" || name == "UTF-8" || name == "UTF8") name = kFallbackCharset;
  std::unique_ptr<Converter> uncached;
  Converter* converter = CachedConverter(name, &uncached);
  if (converter == nullptr) converter = CachedConverter(kFallbackCharset, &uncached);
  if (converter == nullptr) return "";
  std::string out = Convert(converter->cd, bytes, max_bytes);
  // A charset whose converter passes bytes through unchecked must not
  // leave invalid text behind.
  if (!IsValidUtf8(out)) {
    std::string clean;
    for (size_t at = 0; at < out.size();) {
      const size_t length = Utf8SequenceLength(std::string_view(out).substr(at));
      if (length > 0) clean.append(out, at, length);
      at += std::max<size_t>(length, 1);
    }
    out = std::move(clean);
  }
  return std::string(WholeSequences(out));
}

std::string DecodeHeaderValue(std::string_view value, size_t max_bytes) {
  std::string out;
  std::string pending_blanks;  // kept only if no encoded word follows
  bool after_word = false;
  for (size_t at = 0; at < value.size() && out.size() < max_bytes;) {
    const char c = value[at];
    if (c == '\r' || c == '\n') {  // an unfolded line break vanishes
      ++at;
      continue;
    }
    if (c == ' ' || c == '\t') {
      pending_blanks.push_back(c);
      ++at;
      continue;
    }
    const EncodedWord word = ReadEncodedWord(value.substr(at));
    if (word.length > 0) {
      if (!after_word) out += pending_blanks;
      out += ToUtf8(DecodeWordPayload(word, max_bytes), word.charset, max_bytes);
      at += word.length;
      after_word = true;
    } else {
      out += pending_blanks;
      const size_t next = value.find_first_of(" \t\r\n=", at + 1);
      const size_t end = next == std::string_view::npos ? value.size() : next;
      out += ToUtf8(value.substr(at, end - at), "", max_bytes);
      at = end;
      after_word = false;
    }
    pending_blanks.clear();
  }
  if (out.size() > max_bytes) out.resize(max_bytes);
  return std::string(WholeSequences(out));
}
