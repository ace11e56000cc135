// smtp_commands - what the relay understands of the SMTP dialogue without a
// session: the client command table (which script event a command line
// raises, with its arguments, and whether it enters data mode), the bounded
// splitter that cuts client bytes into command lines, and the edits and
// tests the relay applies to the MTA's reply blocks. The session worker
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

// `out` = `line` without any CR or LF: the text scripts see of a line.
void StripLineEnds(std::string_view line, String* out);

// Cuts the bytes a client sends in command mode into lines. A command line
// is refused once it holds more than kMaxCommandLine bytes before its line
// end: no more than two bytes past that is ever held, the rest is dropped up to
// its "\n", and the refusal is reported once, in its place among the lines.
class ClientLineSplitter {
 public:
  // Bytes of one command line, line end ("\n" or "\r\n") not counted.
  static constexpr size_t kMaxCommandLine = 4096;
  // Complete lines held before the relay should stop reading the client
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
  // True when the relay should read no more until lines are taken.
  bool IsFull() const { return pending_.size() >= kMaxPendingBytes; }
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

// ---- MTA reply blocks ------------------------------------------------------
// A block is what one read from the MTA gave. Only its first line is tested
// (the relay cuts a block at each "\n" and tests each piece with an anchored
// pattern, and every piece after the first starts with its "\n"), and a
// block holding no "\n" is not tested at all.

// True when the first line is a 50x error ("^50[0-9]"); a multi-line reply
// whose later line is 5xx is not one.
bool IsMtaErrorReply(std::string_view block);
// True when the first line says the client authenticated ("^235").
bool IsMtaAuthenticatedReply(std::string_view block);

// Inserts `injection` right after the first "\n" of an EHLO answer (a block
// holding "250-" whose first "\n" is not its first byte). True when done
// (the caller then clears its pending injection); false, block unchanged,
// otherwise or for an empty injection. REQUIRES: block not null.
bool InjectExtensions(String* block, std::string_view injection);
// For an EHLO answer (a block holding "250-"): removes every occurrence of
// each "\n"-separated entry of `drop_list`, upper-cased and followed by "\n".
// Empty entries are skipped. True when the block was an EHLO answer (the
// caller then clears its drop list). REQUIRES: block not null.
bool DropExtensions(String* block, std::string_view drop_list);
// Removes the STARTTLS line ("250-STARTTLS" or "250 STARTTLS", any case)
// from an EHLO answer, keeping it well formed: when STARTTLS was the last
// line, the line before it becomes the last ("250-" turns "250 "). The first
// line (the greeting) is never removed. True when a line was removed.
// REQUIRES: block not null and holding whole lines.
bool RemoveStartTls(String* block);

#endif  // TORVANE_PROXY_SMTP_COMMANDS_H_
