// text_codecs - Base64, HTML entities, character references, tags and URL
// coding. The repeated-replacement decoders are written as single passes
// whose results equal the round-by-round rule (see each one for why), so a
// hostile text costs linear time instead of one full scan per round.
#include "base/text_codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "base/string.h"

namespace {

// {=========== Base64

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotBase64 = -1;

// The 6-bit value of an alphabet character, or kNotBase64.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotBase64;
}

// Appends output characters and breaks the lines.
class Base64Writer {
 public:
  explicit Base64Writer(std::string* out) : out_(out) {}
  void Put(char c) {
    out_->push_back(c);
    if (++column_ == kBase64LineChars) {
      out_->append("\r\n");
      column_ = 0;
    }
  }

 private:
  std::string* out_;
  size_t column_ = 0;
};

// }===========

// {=========== HTML entities

struct HtmlEntity {
  const char* entity;
  unsigned char byte;
};

// Rows in matching order. The Windows-1252 names first, then the Latin-1
// names in byte order, then second spellings met in mail. Encoding uses the
// first row of a byte, decoding the first row of an entity.
constexpr HtmlEntity kHtmlEntities[] = {
    {"&euro;", 0x80}, {"&sbquo;", 0x82}, {"&fnof;", 0x83}, {"&bdquo;", 0x84},
    {"&hellip;", 0x85}, {"&dagger;", 0x86}, {"&Dagger;", 0x87}, {"&circ;", 0x88},
    {"&permil;", 0x89}, {"&Scaron;", 0x8A}, {"&lsaquo;", 0x8B}, {"&OElig;", 0x8C},
    {"&lsquo;", 0x91}, {"&rsquo;", 0x92}, {"&ldquo;", 0x93}, {"&rdquo;", 0x94},
    {"&bull;", 0x95}, {"&ndash;", 0x96}, {"&mdash;", 0x97}, {"&tilde;", 0x98},
    {"&trade;", 0x99}, {"&scaron;", 0x9A}, {"&rsaquo;", 0x9B}, {"&oelig;", 0x9C},
    {"&Yuml;", 0x9F},
    {"&nbsp;", 0xA0}, {"&iexcl;", 0xA1}, {"&cent;", 0xA2}, {"&pound;", 0xA3},
    {"&curren;", 0xA4}, {"&yen;", 0xA5}, {"&brvbar;", 0xA6}, {"&sect;", 0xA7},
    {"&uml;", 0xA8}, {"&copy;", 0xA9}, {"&ordf;", 0xAA}, {"&laquo;", 0xAB},
    {"&not;", 0xAC}, {"&shy;", 0xAD}, {"&reg;", 0xAE}, {"&macr;", 0xAF},
    {"&deg;", 0xB0}, {"&plusmn;", 0xB1}, {"&sup2;", 0xB2}, {"&sup3;", 0xB3},
    {"&acute;", 0xB4}, {"&micro;", 0xB5}, {"&para;", 0xB6}, {"&middot;", 0xB7},
    {"&cedil;", 0xB8}, {"&sup1;", 0xB9}, {"&ordm;", 0xBA}, {"&raquo;", 0xBB},
    {"&frac14;", 0xBC}, {"&frac12;", 0xBD}, {"&frac34;", 0xBE}, {"&iquest;", 0xBF},
    {"&Agrave;", 0xC0}, {"&Aacute;", 0xC1}, {"&Acirc;", 0xC2}, {"&Atilde;", 0xC3},
    {"&Auml;", 0xC4}, {"&Aring;", 0xC5}, {"&AElig;", 0xC6}, {"&Ccedil;", 0xC7},
    {"&Egrave;", 0xC8}, {"&Eacute;", 0xC9}, {"&Ecirc;", 0xCA}, {"&Euml;", 0xCB},
    {"&Igrave;", 0xCC}, {"&Iacute;", 0xCD}, {"&Icirc;", 0xCE}, {"&Iuml;", 0xCF},
    {"&ETH;", 0xD0}, {"&Ntilde;", 0xD1}, {"&Ograve;", 0xD2}, {"&Oacute;", 0xD3},
    {"&Ocirc;", 0xD4}, {"&Otilde;", 0xD5}, {"&Ouml;", 0xD6}, {"&times;", 0xD7},
    {"&Oslash;", 0xD8}, {"&Ugrave;", 0xD9}, {"&Uacute;", 0xDA}, {"&Ucirc;", 0xDB},
    {"&Uuml;", 0xDC}, {"&Yacute;", 0xDD}, {"&THORN;", 0xDE}, {"&szlig;", 0xDF},
    {"&agrave;", 0xE0}, {"&aacute;", 0xE1}, {"&acirc;", 0xE2}, {"&atilde;", 0xE3},
    {"&auml;", 0xE4}, {"&aring;", 0xE5}, {"&aelig;", 0xE6}, {"&ccedil;", 0xE7},
    {"&egrave;", 0xE8}, {"&eacute;", 0xE9}, {"&ecirc;", 0xEA}, {"&euml;", 0xEB},
    {"&igrave;", 0xEC}, {"&iacute;", 0xED}, {"&icirc;", 0xEE}, {"&iuml;", 0xEF},
    {"&eth;", 0xF0}, {"&ntilde;", 0xF1}, {"&ograve;", 0xF2}, {"&oacute;", 0xF3},
    {"&ocirc;", 0xF4}, {"&otilde;", 0xF5}, {"&ouml;", 0xF6}, {"&divide;", 0xF7},
    {"&oslash;", 0xF8}, {"&ugrave;", 0xF9}, {"&uacute;", 0xFA}, {"&ucirc;", 0xFB},
    {"&uuml;", 0xFC}, {"&yacute;", 0xFD}, {"&thorn;", 0xFE}, {"&yuml;", 0xFF},
    {"&mu;", 0xB5}, {"&nbsp;", ' '}, {"&frasl;", '/'}, {"&asymp;", 0x98},
    {"&equiv;", '='}, {"&#8218;", 0x82}, {"&#8222;", 0x84}, {"&#8249;", 0x8B},
    {"&#8216;", 0x91}, {"&#8217;", 0x92}, {"&#8220;", 0x93}, {"&#8250;", 0x9B},
    {"&#9566;", 0xA6}, {"&#9600;", 0xAF}, {"&#176;", 0xB0}, {"&#183;", 0xB7},
    {"&#164;", 0xA4}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'},
    {"&#730;", 0xB0},
};
// The table has exactly this many rows; encoding ignores the last one.
constexpr size_t kHtmlEntityCount = 142;
static_assert(std::size(kHtmlEntities) == kHtmlEntityCount, "HTML entity table changed size");

// Longest entity text in the table: a ';' farther than this from its '&'
// closes no entity, so decoding looks no further.
constexpr size_t kMaxEntityChars = 8;
constexpr size_t LongestEntity() {
  size_t longest = 0;
  for (const HtmlEntity& row : kHtmlEntities) {
    longest = std::max(longest, std::char_traits<char>::length(row.entity));
  }
  return longest;
}
static_assert(LongestEntity() == kMaxEntityChars, "kMaxEntityChars must be the longest entity");

// Entity text -> byte of its first row.
const std::unordered_map<std::string_view, unsigned char>& EntityBytes() {
  static const auto* const kBytes = [] {
    auto* bytes = new std::unordered_map<std::string_view, unsigned char>();
    for (const HtmlEntity& row : kHtmlEntities) bytes->emplace(row.entity, row.byte);
    return bytes;
  }();
  return *kBytes;
}

// Byte -> entity of its first row among all rows but the last (null: none).
const std::array<const char*, 256>& ByteEntities() {
  static const std::array<const char*, 256> kEntities = [] {
    std::array<const char*, 256> entities{};
    for (size_t i = 0; i + 1 < kHtmlEntityCount; ++i) {
      const HtmlEntity& row = kHtmlEntities[i];
      if (entities[row.byte] == nullptr) entities[row.byte] = row.entity;
    }
    return entities;
  }();
  return kEntities;
}

// }===========

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes URL encoding keeps: ASCII letters, digits and '_', whatever the
// locale says.
bool IsWordChar(char c) {
  return IsDecimalDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// {=========== Repeated-replacement rules
//
// DecodeCharacterReferences and URLDecodeText stand for "while the pattern
// matches, replace every copy of the first match by its byte". Each copy
// replaced is a rewrite of one "redex" ("&#dd;", "&#ddd;" or "%hh") into one
// byte or nothing. Two redexes never overlap (a redex holds its opening
// '&' or '%' only at its start and digits inside), so rewrites at different
// places commute, and every rewrite shortens the text, so rewriting ends.
// Hence every order of rewrites reaches the same text without redexes: the
// one the rounds produce. The passes below rewrite as soon as a redex ends
// at the last byte written: the written text never holds a redex, because a
// new one can only end at the byte just written. Each input byte is written
// once and each rewrite removes at least two bytes, so a pass is linear.

// After a ';' was written: while `out` ends with "&#" and two or three
// digits and ';', replaces that by its byte (a code above 255, or 0, by
// nothing). A written byte may be ';' (code 59), which is checked again.
void ReduceCharacterReference(std::string* out) {
  // Digits a reference holds; a longer run before the ';' is no reference.
  constexpr size_t kMinDigits = 2;
  constexpr size_t kMaxDigits = 3;
  constexpr int kMaxCode = 255;  // references to larger codes are dropped
  while (!out->empty() && out->back() == ';') {
    size_t digits = 0;
    const size_t semicolon = out->size() - 1;
    while (digits <= kMaxDigits && digits < semicolon &&
           IsDecimalDigit((*out)[semicolon - 1 - digits])) {
      ++digits;
    }
    if (digits < kMinDigits || digits > kMaxDigits || semicolon < digits + 2) return;
    const size_t amp = semicolon - digits - 2;
    if ((*out)[amp] != '&' || (*out)[amp + 1] != '#') return;
    int code = 0;
    for (size_t i = amp + 2; i < semicolon; ++i) code = code * 10 + ((*out)[i] - '0');
    out->resize(amp);
    if (code > 0 && code <= kMaxCode) out->push_back(static_cast<char>(code));
  }
}

// After a byte was written: while `out` ends with '%' and two hexadecimal
// digits, replaces them by their byte ("%00" by nothing). The byte written
// may be a digit that completes another "%h" before it.
void ReducePercentEscape(std::string* out) {
  constexpr size_t kEscapeChars = 3;  // '%' and two hexadecimal digits
  while (out->size() >= kEscapeChars) {
    const size_t at = out->size() - kEscapeChars;
    if ((*out)[at] != '%' || !IsHexDigit((*out)[at + 1]) || !IsHexDigit((*out)[at + 2])) return;
    const int byte = HexValue((*out)[at + 1]) * 16 + HexValue((*out)[at + 2]);
    out->resize(at);
    if (byte == 0) return;
    out->push_back(static_cast<char>(byte));
  }
}

// }===========

// {=========== Tags
//
// A tag is what "(<.+?>)" matches: '<', then at least one character, up to
// the first '>' after that, all on one line.

// Bytes StripTags may rescan, round after round, before it finishes with one
// linear pass. Each round rescans the text from the tag it removes, so a
// text of many different tags would otherwise cost its length times the
// tag count; ordinary mail never comes near this.
constexpr size_t kMaxTagRoundBytes = 32u << 20;

// The leftmost tag starting at or after `from`: true with [*start, *end).
// A '<' whose line ends before a '>' at two or more characters from it
// starts no tag, and neither does any '<' before that line end, so the
// search resumes after it: the scan is linear.
bool FindTag(std::string_view text, size_t from, size_t* start, size_t* end) {
  size_t open = text.find('<', from);
  while (open != std::string_view::npos) {
    if (open + 1 < text.size() && text[open + 1] == '\n') {
      open = text.find('<', open + 2);
      continue;
    }
    const size_t stop = text.find_first_of(">\n", open + 2);
    if (stop == std::string_view::npos) return false;
    if (text[stop] == '>') {
      *start = open;
      *end = stop + 1;
      return true;
    }
    open = text.find('<', stop + 1);
  }
  return false;
}

// Removes the leftmost tag at or after `from`, then the leftmost after
// that, and so on, in one pass. No '<' before a removed tag can start a tag
// later (its line ends before the tag), so what is kept before a removal is
// final. Unlike the rounds, a copy of a removed tag that lies inside a
// longer tag is not removed on its own.
std::string RemoveEachTag(std::string_view text, size_t from) {
  std::string out(text.substr(0, from));
  size_t start = 0;
  size_t end = 0;
  while (FindTag(text, from, &start, &end)) {
    out.append(text.substr(from, start - from));
    from = end;
  }
  out.append(text.substr(from));
  return out;
}

// }===========

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 3 * 4 + bytes.size() / 57 * 2 + 8);
  Base64Writer writer(&out);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      writer.Put(k <= n ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

std::string Base64DecodeBytes(std::string_view text, size_t max_bytes) {
  std::string out;
  uint32_t group = 0;
  int sextets = 0;
  for (const char c : text) {
    if (c == '=' || out.size() + 3 > max_bytes) break;
    const int value = Base64Value(static_cast<unsigned char>(c));
    if (value == kNotBase64) continue;
    group = (group << 6) | static_cast<uint32_t>(value);
    if (++sextets == 4) {
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8));
      out.push_back(static_cast<char>(group));
      group = 0;
      sextets = 0;
    }
  }
  // Two sextets carry one whole byte, three carry two.
  if (sextets >= 2) out.push_back(static_cast<char>(group >> (6 * sextets - 8)));
  if (sextets == 3) out.push_back(static_cast<char>(group >> 2));
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out = Base64DecodeBytes(text);
  return out.substr(0, out.find('\0'));
}

// Replacing each row's entity in table order, as the rule reads, gives the
// same text as this single pass: an entity runs from '&' to the first ';'
// with neither inside, so two copies of entities never overlap, and no
// byte a row produces is '&', ';', '#', a letter or a digit, so a
// replacement never makes or breaks a later row's match.
std::string DecodeHtmlEntities(std::string_view text) {
  const auto& bytes = EntityBytes();
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t amp = text.find('&', at);
    out.append(text.substr(at, amp - at));
    if (amp == std::string_view::npos) break;
    const size_t semicolon = text.substr(amp, kMaxEntityChars).find(';');
    if (semicolon != std::string_view::npos) {
      const auto row = bytes.find(text.substr(amp, semicolon + 1));
      if (row != bytes.end()) {
        out.push_back(static_cast<char>(row->second));
        at = amp + semicolon + 1;
        continue;
      }
    }
    out.push_back('&');
    at = amp + 1;
  }
  return out;
}

// The rule sets every '&' aside, replaces each row's byte in table order and
// turns the set-aside bytes into "&amp;". Entity texts hold none of the
// table's bytes, so per byte only the first row of that byte ever applies:
// one pass does the same, and a byte 0x01 in the text (the rule's marker
// for a set-aside '&') stays what it is.
std::string EncodeHtmlEntities(std::string_view text) {
  const auto& entities = ByteEntities();
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const char* entity = entities[static_cast<unsigned char>(c)];
    if (c == '&') {
      out.append("&amp;");
    } else if (entity != nullptr) {
      out.append(entity);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string DecodeCharacterReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out.push_back(c);
    if (c == ';') ReduceCharacterReference(&out);
  }
  return out;
}

// Rounds as the rule reads, until the rescanning budget is spent: each
// round removes every copy of the leftmost tag (at least three bytes), so
// the rounds end. Copies lie at or after the leftmost tag, and no tag can
// start before it later, so the next round searches from there.
std::string StripTags(std::string_view text) {
  String value{text};
  size_t budget = kMaxTagRoundBytes;
  size_t from = 0;
  size_t start = 0;
  size_t end = 0;
  while (FindTag(value.View(), from, &start, &end)) {
    const size_t cost = value.View().size() - from;
    if (cost > budget) return RemoveEachTag(value.View(), start);
    budget -= cost;
    const std::string tag(value.View().substr(start, end - start));
    value.Replace(tag.c_str(), "");
    from = start;
  }
  return value.ToStdString();
}

std::string URLDecodeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out.push_back(c == '+' ? ' ' : c);
    ReducePercentEscape(&out);
  }
  return out;
}

std::string URLEncodeText(std::string_view text) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsWordChar(c)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 15]);
    }
  }
  return out;
}
