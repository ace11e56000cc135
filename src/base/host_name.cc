// host_name - host-name and dotted-quad shape checks.
#include "base/host_name.h"

#include <cctype>

namespace {

bool IsLabelChar(unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '_'; }

bool IsLabel(std::string_view label) {
  if (label.empty() || label.size() > kMaxLabelBytes) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  for (unsigned char c : label) {
    if (!IsLabelChar(c)) return false;
  }
  return true;
}

}  // namespace

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > kMaxHostNameBytes) return false;
  // No top-level domain is all digits: "1.2.3.999" is a broken address.
  const std::string_view last = name.substr(name.rfind('.') + 1);
  if (last.find_first_not_of("0123456789") == std::string_view::npos) return false;
  for (size_t start = 0;;) {
    const size_t dot = name.find('.', start);
    if (!IsLabel(name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start))) {
      return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool IsDottedQuad(std::string_view text) {
  int octets = 0;
  size_t at = 0;
  while (octets < 4) {
    size_t digits = 0;
    int value = 0;
    while (at < text.size() && digits < 4 && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
      value = value * 10 + (text[at] - '0');
      ++digits;
      ++at;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++octets;
    if (octets == 4) break;
    if (at >= text.size() || text[at] != '.') return false;
    ++at;
  }
  return at == text.size();
}

std::string_view TrimmedText(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string NormalizedName(std::string_view text) {
  std::string name(TrimmedText(text));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}
