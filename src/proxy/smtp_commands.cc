// smtp_commands - the client command table, the line splitter and the MTA
// reply edits of the relay.
#include "proxy/smtp_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <vector>

#include "base/regex.h"

namespace {

using Groups = std::vector<std::string>;

// ---- Patterns ---------------------------------------------------------------
// Matched caselessly unless noted. The address patterns end in an
// alternative ("\s*>?") that matches the empty string, so they match every
// line, and a line that does not begin with the verb matches that empty
// alternative at its start: a line names an address only when group 1
// captured one.
constexpr char kHeloPattern[] = "^ *(helo|ehlo) .*?([^<>,;\\\"\\\'\\(\\)\\s]+)";
constexpr char kMailFromPattern[] =
    "mail from:\\s*<?(.+?\\@(?:\\w[\\w\\.\\-]*\\.\\w+|\\[[\\d\\.]*\\.\\d+\\]))|\\s*>?";
constexpr char kNullSenderPattern[] = "mail from:\\s*<>";
constexpr char kRcptToPattern[] = "rcpt to: *(.*)";
// Case-sensitive: a source route or percent hack ("@hop:user@host",
// "user%other@host", "a!b@host") that only a relay client may use.
constexpr char kSourceRoutePattern[] = "[\\!\\%\\@]\\S*\\@";
// The closing ">" is allowed: clients write the bang path in angle brackets
// like any other address, and without it only the bare form would match.
constexpr char kBangPathPattern[] = "([a-z\\-_\\.]+)!([a-z\\-_\\.]+)>?$";
constexpr char kRcptAddressPattern[] =
    "rcpt to:\\s*<?(.+?\\@(?:\\w[\\w\\.\\-]*\\.\\w+|\\[[\\d\\.]*\\.\\d+\\]))|\\s*>?";
constexpr char kNoopPattern[] = "^ *NOOP";
constexpr char kRsetPattern[] = "^ *RSET";
constexpr char kDataPattern[] = "^ *DATA";
constexpr char kBdatPattern[] = "^ *BDAT (\\d+)";

// The RCPT TO row's event for an address this client may not use.
constexpr char kRcptToErrorEvent[] = "OnRcptToError";

bool Match(const char* pattern, int options, std::string_view text, Groups* groups) {
  return RegexMatch(pattern, options, text.data(), text.size(), groups) == 1;
}

// Group k (from 1) of the last match, "" when it took no part.
std::string_view Group(const Groups& groups, size_t k) {
  return k <= groups.size() ? std::string_view(groups[k - 1]) : std::string_view();
}

// A line without the CR and LF that end it.
std::string_view LineText(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

void AddArg(SmtpClientCommand* out, std::string_view text) {
  if (out->arg_count >= SmtpClientCommand::kMaxEventArgs) return;
  out->args[out->arg_count++] = String(text);
}

// ---- Row handlers -----------------------------------------------------------
// Each runs after its row's pattern matched, with that match's groups; it
// fills the event's arguments (the row's event is already set and may be
// replaced) and returns false when the line is not this verb after all.

struct LineContext {
  std::string_view text;  // the line without its line end
  bool relay_client;
};

using Handler = bool (*)(const LineContext& line, const Groups& groups, SmtpClientCommand* out);

bool TakeHelo(const LineContext&, const Groups& groups, SmtpClientCommand* out) {
  AddArg(out, Group(groups, 2));  // the name the client gave
  AddArg(out, Group(groups, 1));  // the command word as typed
  return true;
}

bool TakeMailFrom(const LineContext& line, const Groups& groups, SmtpClientCommand* out) {
  if (!Group(groups, 1).empty()) {
    AddArg(out, Group(groups, 1));
    return true;
  }
  Groups unused;
  if (!Match(kNullSenderPattern, kRegexCaseless, line.text, &unused)) return false;
  AddArg(out, "");
  return true;
}

// Every RCPT TO line belongs to this row; what it raises depends on the
// address and on whether the client may relay.
bool TakeRcptTo(const LineContext& line, const Groups&, SmtpClientCommand* out) {
  Groups found;
  if (!line.relay_client && Match(kSourceRoutePattern, 0, line.text, &found)) {
    out->event = kRcptToErrorEvent;
    AddArg(out, line.text);
  } else if (Match(kBangPathPattern, kRegexCaseless, line.text, &found)) {
    std::string address(Group(found, 2));
    address += '@';
    address += Group(found, 1);
    AddArg(out, address);
  } else if (Match(kRcptAddressPattern, kRegexCaseless, line.text, &found) && !Group(found, 1).empty()) {
    AddArg(out, Group(found, 1));
  } else if (!line.relay_client) {
    out->event = kRcptToErrorEvent;
    AddArg(out, line.text);
  } else {
    out->event = nullptr;  // a relay client's odd address goes to the MTA as it is
  }
  return true;
}

bool TakeBdatSize(const LineContext&, const Groups& groups, SmtpClientCommand* out) {
  const std::string_view digits = Group(groups, 1);
  long long size = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
  // The pattern guarantees digits only; too many of them is a huge chunk.
  out->bdat_size = (error == std::errc() && end == digits.data() + digits.size() && size <= INT_MAX)
                       ? static_cast<int>(size)
                       : INT_MAX;
  return true;
}

// ---- The command table ----------------------------------------------------
// One row per verb. Ordered rows are tried in table order and the first
// that applies wins; a data row is checked on every line independently and
// enters data mode; the sentinel names lines no ordered row took.

enum RowKind { kOrdered, kDataEntry, kSentinel };

struct CommandRow {
  const char* verb;
  const char* event;    // raised when the row applies; null: none
  const char* pattern;  // matched caselessly; null for the sentinel
  Handler handler;      // null: the pattern alone decides, no arguments
  RowKind kind;
};

constexpr CommandRow kCommandTable[] = {
    // verb        event              pattern           handler        kind
    {"HELO/EHLO", "OnHelo",          kHeloPattern,     TakeHelo,      kOrdered},
    {"MAIL FROM", "OnMailFrom",      kMailFromPattern, TakeMailFrom,  kOrdered},
    {"RCPT TO",   "OnRcptTo",        kRcptToPattern,   TakeRcptTo,    kOrdered},
    {"NOOP",      "OnCommandNOOP",   kNoopPattern,     nullptr,       kOrdered},
    {"RSET",      "OnCommandRSET",   kRsetPattern,     nullptr,       kOrdered},
    {"DATA",      "OnCommandData",   kDataPattern,     nullptr,       kDataEntry},
    {"BDAT",      "OnCommandData",   kBdatPattern,     TakeBdatSize,  kDataEntry},
    {"other",     nullptr,           nullptr,          nullptr,       kSentinel},
};

// Runs one row on the line; true when it applies.
bool RowApplies(const CommandRow& row, const LineContext& line, SmtpClientCommand* out) {
  Groups groups;
  if (!Match(row.pattern, kRegexCaseless, line.text, &groups)) return false;
  return row.handler == nullptr || row.handler(line, groups, out);
}

void TakeVerb(const CommandRow& row, const LineContext& line, SmtpClientCommand* out) {
  SmtpClientCommand attempt;
  attempt.event = row.event;
  if (!RowApplies(row, line, &attempt)) return;
  out->verb = row.verb;
  out->event = attempt.event;
  out->arg_count = attempt.arg_count;
  for (int i = 0; i < attempt.arg_count; ++i) out->args[i] = attempt.args[i];
}

void TakeDataEntry(const CommandRow& row, const LineContext& line, SmtpClientCommand* out) {
  if (!RowApplies(row, line, out)) return;
  out->enters_data_mode = true;
  out->data_event = row.event;
}

// ---- Reply helpers ----------------------------------------------------------

// The first line of a block, when the block holds a line end at all.
bool FirstLine(std::string_view block, std::string_view* line) {
  const size_t end = block.find('\n');
  if (end == std::string_view::npos) return false;
  *line = block.substr(0, end);
  return true;
}

bool FirstLineMatches(std::string_view block, const char* pattern) {
  std::string_view line;
  return FirstLine(block, &line) && RegexMatch(pattern, kRegexCaseless, line.data(), line.size()) == 1;
}

constexpr std::string_view kEhloContinuation = "250-";

bool IsEhloAnswer(const String& block) { return block.View().find(kEhloContinuation) != std::string_view::npos; }

// "250-STARTTLS" or "250 STARTTLS", any case, blanks allowed at the end.
bool IsStartTlsLine(std::string_view line) {
  std::string_view text = LineText(line);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  constexpr std::string_view kKeyword = "STARTTLS";
  const size_t code = kEhloContinuation.size();  // "250-" or "250 "
  if (text.size() != code + kKeyword.size() || text.substr(0, code - 1) != "250" ||
      (text[code - 1] != '-' && text[code - 1] != ' '))
    return false;
  return std::equal(kKeyword.begin(), kKeyword.end(), text.begin() + code,
                    [](char upper, char c) { return upper == toupper(static_cast<unsigned char>(c)); });
}

// The block cut after each "\n"; a last piece without one is kept whole.
std::vector<std::string_view> ReplyLines(std::string_view block) {
  std::vector<std::string_view> lines;
  while (!block.empty()) {
    const size_t end = block.find('\n');
    const size_t length = end == std::string_view::npos ? block.size() : end + 1;
    lines.push_back(block.substr(0, length));
    block.remove_prefix(length);
  }
  return lines;
}

}  // namespace

// ---- Client commands --------------------------------------------------------

int SmtpClientCommand::DataLimitAfter(int data_limit) const {
  if (bdat_size < 0 || bdat_size >= data_limit) return data_limit;
  return std::max(bdat_size - 1, 0);
}

void StripLineEnds(std::string_view line, String* out) {
  std::string text;
  text.reserve(line.size());
  for (char c : line) {
    if (c != '\r' && c != '\n') text.push_back(c);
  }
  *out = String(std::string_view(text));
}

SmtpClientCommand ClassifyClientLine(std::string_view line, bool relay_client) {
  const LineContext context{LineText(line), relay_client};
  SmtpClientCommand result;
  for (const CommandRow& row : kCommandTable) {
    switch (row.kind) {
      case kOrdered:
        if (result.verb == nullptr) TakeVerb(row, context, &result);
        break;
      case kDataEntry:
        if (!result.enters_data_mode) TakeDataEntry(row, context, &result);
        break;
      case kSentinel:
        if (result.verb == nullptr) result.verb = row.verb;
        break;
    }
  }
  return result;
}

// ---- ClientLineSplitter -----------------------------------------------------

void ClientLineSplitter::AppendPartial(std::string_view run) {
  const size_t room = tail_length_ < kOverlongTail ? kOverlongTail - tail_length_ : 0;
  const size_t kept = std::min(room, run.size());
  pending_.append(run.data(), kept);
  tail_length_ += kept;
}

void ClientLineSplitter::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      if (!discarding_) AppendPartial(bytes);
      return;
    }
    if (!discarding_) {
      // A capped line keeps its "\n": Next sees it complete and too long.
      AppendPartial(bytes.substr(0, end));
      pending_.push_back('\n');
      tail_length_ = 0;
    }
    discarding_ = false;
    bytes.remove_prefix(end + 1);
  }
}

ClientLineSplitter::Result ClientLineSplitter::Next(String* line) {
  const size_t end = pending_.find('\n');
  if (end == std::string::npos) {
    if (tail_length_ < kOverlongTail) return kNoLine;
    // The line is over the limit before its end arrived: refuse it now and
    // drop the rest of it as it comes.
    pending_.clear();
    tail_length_ = 0;
    discarding_ = true;
    return kLineTooLong;
  }
  const size_t content = (end > 0 && pending_[end - 1] == '\r') ? end - 1 : end;
  const bool too_long = content > kMaxCommandLine;
  if (!too_long) *line = String(std::string_view(pending_.data(), end + 1));
  pending_.erase(0, end + 1);
  return too_long ? kLineTooLong : kLine;
}

void ClientLineSplitter::TakePending(String* out) {
  *out = String(std::string_view(pending_));
  Clear();
}

void ClientLineSplitter::Clear() {
  pending_.clear();
  tail_length_ = 0;
  discarding_ = false;
}

// ---- MTA replies ------------------------------------------------------------

bool IsMtaErrorReply(std::string_view block) { return FirstLineMatches(block, "^50[0-9]"); }

bool IsMtaAuthenticatedReply(std::string_view block) { return FirstLineMatches(block, "^235"); }

bool InjectExtensions(String* block, std::string_view injection) {
  const std::string_view text = block->View();
  const size_t first_end = text.find('\n');
  if (injection.empty() || !IsEhloAnswer(*block) || first_end == std::string_view::npos || first_end == 0)
    return false;
  std::string edited(text.substr(0, first_end + 1));
  edited.append(injection);
  edited.append(text.substr(first_end + 1));
  *block = String(std::string_view(edited));
  return true;
}

bool DropExtensions(String* block, std::string_view drop_list) {
  if (!IsEhloAnswer(*block)) return false;
  while (!drop_list.empty()) {
    const size_t end = drop_list.find('\n');
    std::string entry(drop_list.substr(0, end));
    drop_list.remove_prefix(end == std::string_view::npos ? drop_list.size() : end + 1);
    if (entry.empty()) continue;  // an empty entry would strip every line end
    std::transform(entry.begin(), entry.end(), entry.begin(),
                   [](unsigned char c) { return static_cast<char>(toupper(c)); });
    entry.push_back('\n');
    block->Replace(entry.c_str(), "");
  }
  return true;
}

bool RemoveStartTls(String* block) {
  const std::vector<std::string_view> lines = ReplyLines(block->View());
  std::vector<std::string> kept;
  bool removed = false;
  bool removed_last = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0 && IsStartTlsLine(lines[i])) {
      removed = true;
      removed_last = i + 1 == lines.size();
      continue;
    }
    kept.emplace_back(lines[i]);
  }
  if (!removed) return false;
  // Only the last line of a multi-line reply says "250 "; when that was
  // STARTTLS, the line now last must take its place.
  std::string& last = kept.back();
  if (removed_last && last.compare(0, kEhloContinuation.size(), kEhloContinuation) == 0)
    last[kEhloContinuation.size() - 1] = ' ';
  std::string edited;
  for (const std::string& line : kept) edited += line;
  *block = String(std::string_view(edited));
  return true;
}
