// smtp_commands - what the relay understands of the SMTP dialogue without a
// session: the client command table (which script event a command line
// raises, with its arguments, and whether it enters data mode), the bounded
// splitter that cuts client bytes into command lines, the assembly of the
// MTA's bytes into whole replies and the tests and edits the relay applies
// to them. The session worker
// drives these; it raises the events named here and owns every buffer.
// Thread-safety: free functions are reentrant; a ClientLineSplitter is used
// by one thread at a time.
#ifndef TORVANE_PROXY_SMTP_COMMANDS_H_
#define TORVANE_PROXY_SMTP_COMMANDS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/string.h"

// Raised with every client command line, before it is classified.
inline constexpr char kAllClientDataEvent[] = "OnAllClientData";
// The reply to a client whose command line passed the line limit.
inline constexpr char kLineTooLongReply[] = "500 5.5.2 Line too long\r\n";

// What one client command line means to the relay.
struct SmtpClientCommand {
  // No event takes more string arguments than this.
  static constexpr int kMaxEventArgs = 2;

  // Name of the verb's table row ("HELO/EHLO", "MAIL FROM", ...); the
  // sentinel row's "other" when no verb of the ordered rows applied.
  const char* verb = nullptr;
  // Script event to raise for the verb; null when there is none.
  const char* event = nullptr;
  String args[kMaxEventArgs];  // the event's string arguments, in order
  int arg_count = 0;

  // Set when the line is DATA or BDAT: the relay enters data mode and
  // raises data_event with the data limit.
  bool enters_data_mode = false;
  const char* data_event = nullptr;
  // Size announced by BDAT (clamped to INT_MAX); -1 for other lines.
  int bdat_size = -1;

  // The data limit once this line is taken: a BDAT chunk smaller than
  // `data_limit` lowers it to one byte less than the chunk (never below 0),
  // anything else leaves it.
  int DataLimitAfter(int data_limit) const;
};

// Classifies one client command line (with or without its line end, which
// is not part of what is matched). `relay_client` tells whether the
// client may relay (relay range or authenticated), which decides between
// "OnRcptTo" and "OnRcptToError" for source routes and percent hacks
// ("OnRcptToError" carries the line without its line end). Never fails: a
// line of no known verb gives the sentinel row.
SmtpClientCommand ClassifyClientLine(std::string_view line, bool relay_client);

// True when the line's first word (after blanks) is `verb` (upper case) in
// any case; with `alone`, only when nothing but blanks and the line end
// follows it.
bool HasVerb(std::string_view line, std::string_view verb, bool alone = false);

// `out` = `line` without any CR or LF: the text scripts see of a line.
void StripLineEnds(std::string_view line, String* out);

// ---- Text a script puts on the wire -------------------------------------------
// Script texts may carry line breaks from DNS answers or message text; these
// keep such a text to what the script means to send.

// At most one reply: the first line, then only lines that continue the
// reply (after a "NNN-" line, a line with the same code); any other line
// break becomes a blank, so no text can add a reply of its own. Breaks are
// written CR LF; a text without a final break gets none (a script may send
// one reply in pieces).
std::string SingleReply(std::string_view text);
// One logical header line: a break followed by a blank or tab is kept as
// folding (CR LF and the blank), any other break becomes a blank, breaks at
// the end are dropped.
std::string HeaderLine(std::string_view text);

// Cuts the bytes a client sends in command mode into lines. A command line
// is refused once it holds more than kMaxCommandLine bytes before its line
// end: no more than two bytes past that is ever held, the rest is dropped up to
// its "\n", and the refusal is reported once, in its place among the lines.
class ClientLineSplitter {
 public:
  // Bytes of one command line, line end ("\n" or "\r\n") not counted.
  static constexpr size_t kMaxCommandLine = 4096;
  // Command bytes the relay holds before it stops reading the client
  // (pipelined commands wait for the MTA one at a time).
  static constexpr size_t kMaxPendingBytes = 65536;

  enum Result {
    kNoLine,       // no complete line held yet
    kLine,         // *line holds the next line, its "\n" included
    kLineTooLong,  // the next line was refused and dropped
  };

  ClientLineSplitter() = default;
  ClientLineSplitter(const ClientLineSplitter&) = delete;
  ClientLineSplitter& operator=(const ClientLineSplitter&) = delete;

  // Takes bytes received from the client (NULs allowed).
  void Append(std::string_view bytes);
  // The next line, oldest first. REQUIRES: line is not null.
  Result Next(String* line);
  // Moves every held byte (lines and partial line) into *out and empties
  // the splitter: for data pipelined behind DATA. REQUIRES: out not null.
  void TakePending(String* out);
  // Forgets every held byte and any line being dropped: a new connection.
  void Clear();
  bool IsEmpty() const { return pending_.empty(); }
  // True when the bytes held end inside a line (or a refused line is
  // being dropped): the client owes the rest of a command.
  bool HasPartialLine() const { return tail_length_ > 0 || discarding_; }
  size_t PendingBytes() const { return pending_.size(); }

 private:
  // A partial line this long is certainly over the limit, whatever its end
  // turns out to be (one byte may be the CR of a "\r\n").
  static constexpr size_t kOverlongTail = kMaxCommandLine + 2;

  // Appends one run of bytes that holds no "\n", keeping the partial line
  // within kOverlongTail.
  void AppendPartial(std::string_view run);

  std::string pending_;      // complete lines, then the partial one
  size_t tail_length_ = 0;   // bytes of the partial line at the end
  bool discarding_ = false;  // dropping the rest of a refused line
};

// ---- MTA replies -------------------------------------------------------------

// Gathers the bytes an MTA sends into whole replies: a reply is its lines
// up to the first one that does not continue it (a continuation line is
// three digits and "-"), however the bytes were cut into reads. Holds at
// most kMaxReplyBytes: a longer unfinished reply is handed out as it is.
// Not thread-safe: one per session.
class ReplyAssembler {
 public:
  static constexpr size_t kMaxReplyBytes = 65536;

  void Append(std::string_view bytes);
  // The oldest whole reply, its line ends kept; false when none is whole.
  // REQUIRES: reply not null.
  bool Next(String* reply);
  void Clear();
  bool IsEmpty() const { return pending_.empty(); }

 private:
  std::string pending_;
  size_t checked_ = 0;  // bytes of pending_ known to be continuation lines
};

// The three-digit code a reply starts with; -1 when it starts otherwise.
int ReplyCode(std::string_view reply);
// True for a reply whose code is 500..509: the errors the relay counts
// (a multi-line reply whose later line says 550 is judged by its first).
bool IsMtaErrorReply(std::string_view reply);

// True for an EHLO answer: a reply holding "250-".
bool IsEhloAnswer(std::string_view reply);

// The EHLO answer's edits. Each applies to an EHLO answer and returns true when it did, so the caller clears what it had
// pending; any other reply is left alone and false is returned.
// REQUIRES: reply not null.
//
// Inserts `injection` right after the first line (nothing for an empty
// injection, or a reply whose first line end is its first byte).
bool InjectExtensions(String* reply, std::string_view injection);
// Applies a "\n"-separated drop list: an entry naming STARTTLS ("STARTTLS"
// in any case, CR and a leading "250-" or "250 " ignored) removes the
// STARTTLS line keeping the answer well formed - when it was the last
// line, the line before it becomes the last ("250-" turns "250 "), and the
// first line is never removed; every other non-empty entry removes each
// occurrence of itself upper-cased and followed by "\n".
bool ApplyExtensionDrops(String* reply, std::string_view drop_list);
// Removes the line offering the extension `keyword` (upper case) from an
// EHLO answer, keeping it well formed as ApplyExtensionDrops does for
// STARTTLS. False when there was none.
bool RemoveExtension(String* reply, std::string_view keyword);
// True when an EHLO answer offers the extension `keyword` (upper case),
// with or without parameters.
bool OffersExtension(std::string_view reply, std::string_view keyword);
// True when an EHLO answer offers CHUNKING (BDAT).
bool OffersChunking(std::string_view reply);

#endif  // TORVANE_PROXY_SMTP_COMMANDS_H_
