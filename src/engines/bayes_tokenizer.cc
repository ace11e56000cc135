// bayes_tokenizer - cutting a parsed message into the token table's tokens
// (see bayes_tokenizer.h).
#include "engines/bayes_tokenizer.h"

#include <cctype>
#include <string_view>
#include <unordered_set>

namespace {

// A tag longer than this is no tag: its '<' is kept as text, so a lone '<'
// cannot swallow the rest of a part.
constexpr size_t kMaxTagBytes = 2048;

// Header fields whose words are tokens, and the prefix each gets.
struct FieldPrefix {
  const char* field;
  const char* prefix;
};
constexpr FieldPrefix kWordFields[] = {
    {"subject", "subj:"}, {"from", "from:"},         {"to", "to:"},          {"cc", "to:"},
    {"reply-to", "reply:"}, {"return-path", "rpath:"}, {"x-mailer", "mailer:"}, {"user-agent", "mailer:"},
};

// The distinct tokens gathered so far, bounded.
class TokenSet {
 public:
  bool Full() const { return order_.size() >= kMaxMessageTokens; }
  void Add(std::string token) {
    if (Full() || token.size() < kMinTokenBytes || token.size() > kMaxTokenBytes) return;
    if (seen_.insert(token).second) order_.push_back(std::move(token));
  }
  std::vector<std::string> Take() { return std::move(order_); }

 private:
  std::unordered_set<std::string> seen_;
  std::vector<std::string> order_;
};

// ASCII only, whatever the locale: called for every byte of every message.
bool IsAsciiAlnum(unsigned char c) {
  const unsigned char folded = c | 0x20;
  return (c >= '0' && c <= '9') || (folded >= 'a' && folded <= 'z');
}
char LowerAsciiByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

bool IsWordByte(unsigned char c) { return IsAsciiAlnum(c) || c >= 0x80 || c == '\'' || c == '-' || c == '$' || c == '!'; }
bool IsHostByte(unsigned char c) { return IsAsciiAlnum(c) || c == '.' || c == '-'; }
// In address fields '@', '.' and '_' keep an address together.
bool IsAddressByte(unsigned char c) { return IsWordByte(c) || c == '@' || c == '.' || c == '_'; }

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAsciiByte(c);
  return out;
}

// Calls `visit(run)` for each maximal run of bytes `in_word` accepts, with
// edge punctuation ('-', '\'', '.') trimmed.
template <typename InWord, typename Visit>
void ForEachRun(std::string_view text, InWord in_word, Visit visit) {
  for (size_t at = 0; at < text.size();) {
    while (at < text.size() && !in_word(static_cast<unsigned char>(text[at]))) ++at;
    size_t end = at;
    while (end < text.size() && in_word(static_cast<unsigned char>(text[end]))) ++end;
    std::string_view run = text.substr(at, end - at);
    while (!run.empty() && (run.front() == '-' || run.front() == '\'' || run.front() == '.')) run.remove_prefix(1);
    while (!run.empty() && (run.back() == '-' || run.back() == '\'' || run.back() == '.')) run.remove_suffix(1);
    if (!run.empty()) visit(run);
    at = end;
  }
}

void AddWords(TokenSet* tokens, std::string_view prefix, std::string_view text, bool address) {
  auto add = [&](std::string_view run) { tokens->Add(std::string(prefix) + LowerAscii(run)); };
  if (address) {
    ForEachRun(text, IsAddressByte, add);
  } else {
    ForEachRun(text, IsWordByte, add);
  }
}

// Host names and addresses of a Received field: the runs holding a dot.
void AddReceivedHosts(TokenSet* tokens, std::string_view value) {
  ForEachRun(value, IsHostByte, [&](std::string_view run) {
    if (run.find('.') != std::string_view::npos && run.size() >= 4) tokens->Add("rcvd:" + LowerAscii(run));
  });
}

// "url:host" for every http(s) link in `text`.
void AddLinkHosts(TokenSet* tokens, std::string_view text) {
  const std::string lower = LowerAscii(text);
  for (size_t at = lower.find("http"); at != std::string::npos && !tokens->Full(); at = lower.find("http", at + 4)) {
    size_t host = at + 4;
    if (host < lower.size() && lower[host] == 's') ++host;
    if (lower.compare(host, 3, "://") != 0) continue;
    host += 3;
    size_t end = host;
    while (end < lower.size() && IsHostByte(static_cast<unsigned char>(lower[end]))) ++end;
    if (end == host) continue;
    const std::string name = lower.substr(host, end - host);
    tokens->Add("url:" + name);
    // Spam moves between the hosts of one domain: its last two labels.
    const size_t last_dot = name.rfind('.');
    const size_t domain_dot = last_dot == std::string::npos || last_dot == 0 ? last_dot : name.rfind('.', last_dot - 1);
    if (domain_dot != std::string::npos) tokens->Add("url:" + name.substr(domain_dot + 1));
  }
}

// "tag:name" for the HTML tag whose text (between '<' and '>') is `tag`:
// which markup a message uses tells bulk mailers from people.
void AddTagName(TokenSet* tokens, std::string_view tag) {
  if (!tag.empty() && tag.front() == '/') tag.remove_prefix(1);
  size_t length = 0;
  while (length < tag.size() && IsAsciiAlnum(static_cast<unsigned char>(tag[length]))) ++length;
  if (length > 0) tokens->Add("tag:" + LowerAscii(tag.substr(0, length)));
}

// `html` with its tags replaced by blanks; their names go to `tokens`.
std::string DropTags(std::string_view html, TokenSet* tokens) {
  std::string out;
  out.reserve(html.size());
  for (size_t at = 0; at < html.size(); ++at) {
    if (html[at] == '<') {
      // Only a tag's length is searched: text of many '<' and no '>' stays linear.
      const size_t length = html.substr(at + 1, kMaxTagBytes).find('>');
      if (length != std::string_view::npos) {
        AddTagName(tokens, html.substr(at + 1, length));
        out.push_back(' ');
        at += length + 1;
        continue;
      }
    }
    out.push_back(html[at]);
  }
  return out;
}

void AddHeaderTokens(const CParseMail& mail, TokenSet* tokens) {
  mail.ForEachHeaderField([&](std::string_view name, std::string_view value) {
    const std::string field = LowerAscii(name);
    if (field == "received") {
      AddReceivedHosts(tokens, value);
    } else if (field == "content-type") {
      AddWords(tokens, "ct:", CParseMail::DecodedHeader(value.substr(0, value.find(';'))), true);
    } else if (field == "message-id") {
      const size_t at = value.rfind('@');
      if (at != std::string_view::npos) AddWords(tokens, "mid:", CParseMail::DecodedHeader(value.substr(at + 1)), true);
    } else {
      for (const FieldPrefix& wanted : kWordFields) {
        if (field != wanted.field) continue;
        const bool address = field != "subject";
        const std::string decoded = CParseMail::DecodedHeader(value);
        AddWords(tokens, wanted.prefix, decoded, address);
        // The subject is text like the body's: its words count as those too.
        if (!address) AddWords(tokens, "", decoded, false);
        break;
      }
    }
    return !tokens->Full();
  });
}

}  // namespace

std::vector<std::string> MessageTokens(const CParseMail& mail) {
  TokenSet tokens;
  AddHeaderTokens(mail, &tokens);
  for (int i = 0; i < mail.GetAttachmentCount(); ++i) {
    tokens.Add("part:" + std::string(mail.Attachment(i)->contentType.View()));
  }
  mail.ForEachText([&](std::string_view type, const std::string& text) {
    AddLinkHosts(&tokens, text);
    AddWords(&tokens, "", type == "text/html" ? DropTags(text, &tokens) : text, false);
  });
  return tokens.Take();
}
