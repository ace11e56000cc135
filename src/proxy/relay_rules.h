// relay_rules - the byte rules of the session relay that need no socket:
// where a message ends inside a block read from the client (the
// dot-terminated DATA form and the counted BDAT chunk), the extension
// edits of an EHLO answer, and how long one relay pass may wait on its
// sockets. The session worker (session_worker) applies them to its buffers.
// Thread-safety: free functions, reentrant.
#ifndef TORVANE_PROXY_RELAY_RULES_H_
#define TORVANE_PROXY_RELAY_RULES_H_

#include <cstddef>
#include <string_view>

#include "base/string.h"

// How a block read in data mode divides: message data, then bytes held
// back until more arrive, then (once the message is complete) commands the
// client pipelined after it.
struct DataCut {
  size_t message_bytes = 0;  // leading bytes of the block that belong to the message
  size_t held_bytes = 0;     // bytes after them that cannot be judged yet
  bool end_of_data = false;  // the message (or the chunk) is complete with them
};

// DATA: the message ends with its first line that holds only "." and line
// ends ("." then any CRs, then "\n"); that line is the last of the
// message. `at_line_start` tells whether the block's first byte starts a
// line of the message (the previous block ended with "\n", or the message
// begins here). A "." line the block leaves unfinished at its end ("." or
// ".\r" at a line start) is held back: only the next bytes tell whether it
// ends the message or is a dot-stuffed line, so a read boundary never
// decides where a message ends.
DataCut CutDotMessage(std::string_view block, bool at_line_start);

// BDAT: `remaining` bytes of the chunk are still due (negative counts as 0).
// The chunk takes at most that many leading bytes and is complete when it
// has them all; a chunk with nothing due is complete on an empty block.
DataCut CutChunk(std::string_view block, int remaining);

// True when a drop-list entry names STARTTLS: "STARTTLS" in any case, after
// removing CR and a leading "250-" or "250 ".
bool IsStartTlsDropEntry(std::string_view entry);

// Applies a "\n"-separated drop list to an MTA block that holds an EHLO
// answer ("250-"): a STARTTLS entry removes the STARTTLS line keeping the
// answer well formed (RemoveStartTls), every other entry is removed
// upper-cased with its "\n" (DropExtensions). True when the block was an
// EHLO answer, so the caller clears its list; false and the block
// unchanged otherwise. REQUIRES: block not null.
bool ApplyExtensionDrops(String* block, std::string_view drop_list);

// What a relay pass knows before it waits on its sockets.
struct RelayWaitState {
  bool client_open = false;        // the client socket is open
  bool client_may_read = false;    // reading the client is allowed now
  bool to_client_pending = false;  // bytes wait for the client
  bool client_send_blocked = false;  // the last send to the client was partial
  bool mta_open = false;           // an MTA socket is connected
  bool mta_gone = false;           // an MTA socket object exists but is closed
  bool to_mta_pending = false;     // bytes wait for the MTA
  bool mta_send_blocked = false;   // the last send to the MTA was partial
  bool command_waiting = false;    // a client line may be handled now
  bool data_to_move = false;       // data-block bytes may go to the MTA queue now
  bool close_pending = false;      // the session ends once the client queue is sent
};

// The one wait of a pass: what to watch on each socket (poll event bits,
// 0 for none) and for how long.
struct RelayWait {
  short client_events = 0;
  short mta_events = 0;
  int timeout_ms = 0;
};

// The pass waits `max_wait_ms` for the first socket event, or not at all
// when it already has work: a line or data block to move, a queue whose
// last send was not refused, a closed MTA to report, or a close whose
// queue is sent. A queue whose last send was partial waits for room
// (POLLOUT) instead of retrying at once.
RelayWait PlanRelayWait(const RelayWaitState& state, int max_wait_ms);

#endif  // TORVANE_PROXY_RELAY_RULES_H_
