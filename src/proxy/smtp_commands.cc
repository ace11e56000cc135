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

constexpr std::string_view kEhloContinuation = "250-";
constexpr std::string_view kStartTls = "STARTTLS";
constexpr std::string_view kChunking = "CHUNKING";

bool EqualsNoCase(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(text.begin(), text.end(), upper.begin(),
                    [](char c, char u) { return toupper(static_cast<unsigned char>(c)) == u; });
}

// "250-" or "250 " followed by `keyword` in any case, then the end of the
// line or the keyword's parameters after a blank.
bool IsExtensionLine(std::string_view line, std::string_view keyword) {
  std::string_view text = LineText(line);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const size_t code = kEhloContinuation.size();
  if (text.size() < code || text.substr(0, code - 1) != "250" || (text[code - 1] != '-' && text[code - 1] != ' '))
    return false;
  const std::string_view extension = text.substr(code);
  return EqualsNoCase(extension.substr(0, extension.find(' ')), keyword);
}

// The reply cut after each "\n"; a last piece without one is kept whole.
std::vector<std::string_view> ReplyLines(std::string_view reply) {
  std::vector<std::string_view> lines;
  while (!reply.empty()) {
    const size_t end = reply.find('\n');
    const size_t length = end == std::string_view::npos ? reply.size() : end + 1;
    lines.push_back(reply.substr(0, length));
    reply.remove_prefix(length);
  }
  return lines;
}

// A line that another line of the same reply follows: "NNN-".
bool ContinuesReply(std::string_view line) {
  return line.size() >= 4 && isdigit(static_cast<unsigned char>(line[0])) &&
         isdigit(static_cast<unsigned char>(line[1])) && isdigit(static_cast<unsigned char>(line[2])) &&
         line[3] == '-';
}

}  // namespace

// ---- Client commands --------------------------------------------------------

int SmtpClientCommand::DataLimitAfter(int data_limit) const {
  if (bdat_size < 0 || bdat_size >= data_limit) return data_limit;
  return std::max(bdat_size - 1, 0);
}

bool HasVerb(std::string_view line, std::string_view verb, bool alone) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return false;
  const std::string_view rest = line.substr(start);
  const size_t end = std::min(rest.find_first_of(" \t\r\n"), rest.size());
  if (!EqualsNoCase(rest.substr(0, end), verb)) return false;
  return !alone || rest.find_first_not_of(" \t\r\n", end) == std::string_view::npos;
}

void StripLineEnds(std::string_view line, String* out) {
  std::string text;
  text.reserve(line.size());
  for (char c : line) {
    if (c != '\r' && c != '\n') text.push_back(c);
  }
  *out = String(std::string_view(text));
}

namespace {

// The text cut at its line breaks (CR LF, LF or CR), in order; `ended`
// tells whether the last piece was followed by a break.
std::vector<std::string_view> SplitAtBreaks(std::string_view text, bool* ended) {
  std::vector<std::string_view> lines;
  *ended = false;
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      lines.push_back(text);
      return lines;
    }
    lines.push_back(text.substr(0, end));
    const size_t width = text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
    text.remove_prefix(end + width);
    *ended = text.empty();
  }
  return lines;
}

}  // namespace

std::string SingleReply(std::string_view text) {
  bool ended = false;
  const std::vector<std::string_view> lines = SplitAtBreaks(text, &ended);
  std::string out;
  std::string_view last;  // the last line kept as a line of its own
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const bool continues = i > 0 && ContinuesReply(last) && line.size() >= 4 && line.compare(0, 3, last.substr(0, 3)) == 0 &&
                           (line[3] == '-' || line[3] == ' ');
    if (i == 0 || continues) {
      if (i > 0) out += "\r\n";
      last = line;
    } else {
      out += ' ';
    }
    out.append(line);
  }
  if (ended) out += "\r\n";
  return out;
}

std::string HeaderLine(std::string_view text) {
  bool ended = false;
  std::vector<std::string_view> lines = SplitAtBreaks(text, &ended);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (i > 0) out += (!line.empty() && (line[0] == ' ' || line[0] == '\t')) ? "\r\n" : " ";
    out.append(line);
  }
  return out;
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

void ReplyAssembler::Append(std::string_view bytes) { pending_.append(bytes.data(), bytes.size()); }

bool ReplyAssembler::Next(String* reply) {
  size_t at = checked_;
  for (;;) {
    const size_t end = pending_.find('\n', at);
    if (end == std::string::npos) break;
    if (!ContinuesReply(std::string_view(pending_).substr(at, end + 1 - at))) {
      *reply = String(std::string_view(pending_.data(), end + 1));
      pending_.erase(0, end + 1);
      checked_ = 0;
      return true;
    }
    at = end + 1;
  }
  checked_ = at;
  if (pending_.size() < kMaxReplyBytes) return false;
  // No sane reply is this long: hand it out rather than hold more.
  *reply = String(std::string_view(pending_));
  Clear();
  return true;
}

void ReplyAssembler::Clear() {
  pending_.clear();
  checked_ = 0;
}

int ReplyCode(std::string_view reply) {
  if (reply.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (!isdigit(static_cast<unsigned char>(reply[i]))) return -1;
    code = code * 10 + (reply[i] - '0');
  }
  return code;
}

bool IsEhloAnswer(std::string_view reply) { return reply.find(kEhloContinuation) != std::string_view::npos; }

bool IsMtaErrorReply(std::string_view reply) {
  const int code = ReplyCode(reply);
  return code >= 500 && code <= 509;
}

bool InjectExtensions(String* reply, std::string_view injection) {
  const std::string_view text = reply->View();
  const size_t first_end = text.find('\n');
  if (injection.empty() || !IsEhloAnswer(text) || first_end == std::string_view::npos || first_end == 0)
    return false;
  std::string edited(text.substr(0, first_end + 1));
  edited.append(injection);
  edited.append(text.substr(first_end + 1));
  *reply = String(std::string_view(edited));
  return true;
}

bool ApplyExtensionDrops(String* reply, std::string_view drop_list) {
  if (!IsEhloAnswer(reply->View())) return false;
  bool drop_starttls = false;
  while (!drop_list.empty()) {
    const size_t end = drop_list.find('\n');
    const std::string_view entry = drop_list.substr(0, end);
    drop_list.remove_prefix(end == std::string_view::npos ? drop_list.size() : end + 1);
    std::string text;
    for (char c : entry) {
      if (c != '\r') text.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
    }
    std::string_view name = text;
    if (name.substr(0, 4) == "250-" || name.substr(0, 4) == "250 ") name.remove_prefix(4);
    if (name == kStartTls) {
      drop_starttls = true;
    } else if (!entry.empty()) {  // an empty entry would strip every line end
      std::string upper(entry);
      std::transform(upper.begin(), upper.end(), upper.begin(),
                     [](unsigned char c) { return static_cast<char>(toupper(c)); });
      reply->Replace((upper + "\n").c_str(), "");
    }
  }
  if (drop_starttls) RemoveExtension(reply, kStartTls);
  return true;
}

bool RemoveExtension(String* reply, std::string_view keyword) {
  if (!IsEhloAnswer(reply->View())) return false;
  const std::vector<std::string_view> lines = ReplyLines(reply->View());
  std::vector<std::string> kept;
  bool removed_last = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0 && IsExtensionLine(lines[i], keyword)) {
      removed_last = i + 1 == lines.size();
      continue;
    }
    kept.emplace_back(lines[i]);
  }
  if (kept.size() == lines.size()) return false;
  // Only the last line of a multi-line reply says "250 "; when that was
  // the one removed, the line now last must take its place.
  std::string& last = kept.back();
  if (removed_last && last.compare(0, kEhloContinuation.size(), kEhloContinuation) == 0)
    last[kEhloContinuation.size() - 1] = ' ';
  std::string edited;
  for (const std::string& line : kept) edited += line;
  *reply = String(std::string_view(edited));
  return true;
}

bool OffersExtension(std::string_view reply, std::string_view keyword) {
  if (!IsEhloAnswer(reply)) return false;
  for (std::string_view line : ReplyLines(reply)) {
    if (IsExtensionLine(line, keyword)) return true;
  }
  return false;
}

bool OffersChunking(std::string_view reply) { return OffersExtension(reply, kChunking); }
