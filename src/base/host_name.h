// host_name - the shape checks for names that arrive as text from mail
// envelopes, administrators and network peers before they become file names
// or datagram destinations: DNS host names and dotted IPv4 quads.
#ifndef TORVANE_BASE_HOST_NAME_H_
#define TORVANE_BASE_HOST_NAME_H_

#include <string>
#include <string_view>

// A host name has at most this many bytes, and each of its dot-separated
// labels at most kMaxLabelBytes (the DNS wire limits).
constexpr size_t kMaxHostNameBytes = 253;
constexpr size_t kMaxLabelBytes = 63;

// True for a host name: labels of letters, digits, "-" and "_" (sites use
// "_" in internal names), none empty, none starting or ending with "-",
// within the limits above, the last label not all digits (so no broken
// dotted quad passes for a name). One trailing dot is not accepted: names here are
// keys and file names, written without it. So a name never holds "/", "..",
// NUL or a leading ".".
bool IsHostName(std::string_view name);

// True for four decimal octets 0..255 separated by dots ("127.0.0.1"), each
// of one to three digits.
bool IsDottedQuad(std::string_view text);

// `text` without leading and trailing blanks (space, tab, CR, LF).
std::string_view TrimmedText(std::string_view text);
// TrimmedText of `text`, lower-cased: the form addresses and domains are
// compared and stored in.
std::string NormalizedName(std::string_view text);

// Calls visit(address) with each space-separated word of `list` as
// NormalizedName gives it, empty words skipped, until visit returns false.
template <typename Visit>
void ForEachAddress(std::string_view list, Visit visit) {
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(' ', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string address = NormalizedName(list.substr(start, end - start));
    if (!address.empty() && !visit(address)) return;
    start = end + 1;
  }
}

#endif  // TORVANE_BASE_HOST_NAME_H_
