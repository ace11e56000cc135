// mta_handover - the Received trace header and the XCLIENT command (see
// mta_handover.h).
#include "proxy/mta_handover.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>

#include "base/host_name.h"

namespace {

constexpr char kUnavailable[] = "[UNAVAILABLE]";
// Longest XCLIENT attribute value the MTA is sure to take.
constexpr size_t kMaxXclientValue = 255;

// A client's name as a header comment shows it: nothing that could end the
// comment, fold the header or start another field.
std::string HeaderSafe(std::string_view text) {
  if (text.empty()) return "unknown";
  std::string shown(text.substr(0, kMaxHostNameBytes));
  for (char& c : shown) {
    const bool kept = isalnum(static_cast<unsigned char>(c)) != 0 || std::string_view("-._:[]@").find(c) != std::string_view::npos;
    if (!kept) c = '?';
  }
  return shown;
}

// RFC 5322 date in UTC; the names are spelled out, not taken from the
// locale.
std::string MailDate(time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm utc{};
  gmtime_r(&when, &utc);
  char text[40];
  snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday], utc.tm_mday,
           kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

// xtext: printable ASCII but "+" and "=" as is, every other byte "+HH".
std::string Xtext(std::string_view value) {
  std::string encoded;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= '!' && byte <= '~' && byte != '+' && byte != '=') {
      encoded += c;
    } else {
      char hex[4];
      snprintf(hex, sizeof(hex), "+%02X", byte);
      encoded += hex;
    }
  }
  return encoded;
}

std::string XclientValue(std::string_view value) {
  const std::string encoded = Xtext(value);
  return encoded.empty() || encoded.size() > kMaxXclientValue ? kUnavailable : encoded;
}

}  // namespace

std::string HopProtocol(bool extended, bool encrypted, bool authenticated) {
  if (!extended) return "SMTP";
  std::string protocol = "ESMTP";
  if (encrypted) protocol += 'S';
  if (authenticated) protocol += 'A';
  return protocol;
}

std::string TraceHeader(const ClientHop& hop) {
  std::string header = "Received: from " + HeaderSafe(hop.helo) + " (" + HeaderSafe(hop.reverse_name) + " [" +
                       HeaderSafe(hop.address) + "])\r\n";
  header += "\tby " + std::string(hop.by) + " (Torvane Antispam) with " + std::string(hop.protocol) + " id " +
            std::string(hop.id) + ";\r\n";
  header += "\t" + MailDate(hop.when) + "\r\n";
  return header;
}

std::string XclientCommand(const ClientHop& hop, bool extended) {
  return "XCLIENT ADDR=" + XclientValue(hop.address) + " NAME=" + XclientValue(hop.reverse_name) +
         " HELO=" + XclientValue(hop.helo) + " PROTO=" + (extended ? "ESMTP" : "SMTP") + "\r\n";
}

std::string GrownBdatLine(std::string_view bdat_line, int64_t extra) {
  while (!bdat_line.empty() && (bdat_line.back() == '\n' || bdat_line.back() == '\r')) bdat_line.remove_suffix(1);
  constexpr std::string_view kVerb = "BDAT ";
  if (bdat_line.size() <= kVerb.size()) return "";
  for (size_t i = 0; i < kVerb.size(); ++i) {
    if (toupper(static_cast<unsigned char>(bdat_line[i])) != kVerb[i]) return "";
  }
  std::string_view rest = bdat_line.substr(kVerb.size());
  const size_t digits = rest.find_first_not_of("0123456789");
  int64_t size = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + std::min(digits, rest.size()), size);
  if (error != std::errc() || end == rest.data() || size > INT_MAX - extra) return "";
  const std::string_view tail = rest.substr(static_cast<size_t>(end - rest.data()));
  return "BDAT " + std::to_string(size + extra) + std::string(tail) + "\r\n";
}
