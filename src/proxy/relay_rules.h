// relay_rules - the byte rules of the session relay that need no socket:
// where a message ends inside the blocks read from the client (the
// dot-terminated DATA form and the counted BDAT chunk) and how long one
// relay pass may wait on its sockets. The session worker (session_worker)
// applies them to its buffers.
#ifndef TORVANE_PROXY_RELAY_RULES_H_
#define TORVANE_PROXY_RELAY_RULES_H_

#include <cstddef>
#include <string>
#include <string_view>

// Reads one message sent with DATA as it arrives and finds its end: exactly
// CR LF "." CR LF, where the first CR LF may be the one that ended the DATA
// command. A bare line end (a LF without CR before it, a CR without LF
// after it) never ends the message nor starts a line: the gateway and every
// MTA behind it must agree on where a message ends, and MTAs read bare line
// ends differently. Under kRefuse the message passes unchanged and the
// first bare line end is reported (the relay refuses the whole message);
// under kNormalise each becomes CR LF and a "." that then starts a line is
// doubled, so an MTA of any reading takes the same lines and the same end.
// Not thread-safe: one per session.
class DataScanner {
 public:
  enum class BareLineEnds { kRefuse, kNormalise };

  explicit DataScanner(BareLineEnds policy = BareLineEnds::kRefuse) : policy_(policy) {}

  // A new message, read from the start of a line.
  void Reset(BareLineEnds policy);
  // Reads `block`: appends the message bytes it holds (under kNormalise,
  // rewritten) to *out and returns how many bytes of `block` belong to the
  // message. Once the end is found the rest of the block is not read (the
  // client's next commands). A "." or "." CR at a line start is held back
  // until the next bytes tell whether it ends the message, so read
  // boundaries never change the result. REQUIRES: out not null.
  size_t Scan(std::string_view block, std::string* out);
  bool ended() const { return state_ == kEnded; }
  // The first bare line end read ('\n' or '\r'); 0 when none.
  char bare_line_end() const { return bare_line_end_; }

 private:
  enum State {
    kLineStart,       // after CR LF (or at the message start)
    kFreshLine,       // after a bare line end made CR LF: a "." here is data
    kDot,             // "." at a line start, held
    kDotCr,           // "." CR at a line start, held
    kText,            // inside a line
    kCr,              // after a CR inside a line
    kEnded,
  };

  // One byte in the current state; appends what it gives to *out.
  void Take(char c, std::string* out);
  // A bare line end: noted, and under kNormalise replaced by CR LF (the CR
  // of a bare CR is out already). Returns the state to go on in.
  State BareLineEnd(char which, std::string* out);

  BareLineEnds policy_;
  State state_ = kLineStart;
  char bare_line_end_ = 0;
};

// The message a DataScanner's output carries: one leading "." taken off
// every line that has one, and the "." end line, with anything after it,
// left out. `data` is that output from the message start, CR LF line ends,
// ended or cut anywhere.
std::string UnstuffedMessage(std::string_view data);

// BDAT: how many leading bytes of `block` belong to a chunk with
// `remaining` bytes still due (negative counts as 0); the chunk is complete
// once it has them all (at once for a chunk with nothing due).
size_t ChunkBytes(std::string_view block, int remaining);

// What a relay pass knows before it waits on its sockets.
struct RelayWaitState {
  bool client_open = false;        // the client socket is open
  bool client_may_read = false;    // reading the client is allowed now
  bool to_client_pending = false;  // bytes wait for the client
  bool client_send_blocked = false;  // the last send to the client was partial
  bool mta_open = false;           // an MTA socket is connected
  bool mta_may_read = false;       // reading the MTA is allowed now
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
