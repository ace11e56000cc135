// relay_rules - the end of a DATA message and of a BDAT chunk, and the wait
// of one relay pass (see relay_rules.h).
#include "proxy/relay_rules.h"

#include <poll.h>

#include <algorithm>
#include <cstring>

namespace {

// Where the first CR or LF at or after `from` is; the block's size when
// there is none. Two memchr passes: find_first_of would call memchr once
// per byte.
size_t NextLineEndByte(std::string_view block, size_t from) {
  const char* start = block.data() + from;
  size_t span = block.size() - from;
  if (const void* lf = memchr(start, '\n', span)) span = static_cast<const char*>(lf) - start;
  if (const void* cr = memchr(start, '\r', span)) span = static_cast<const char*>(cr) - start;
  return from + span;
}

}  // namespace

// {=========== DataScanner

void DataScanner::Reset(BareLineEnds policy) {
  policy_ = policy;
  state_ = kLineStart;
  bare_line_end_ = 0;
}

size_t DataScanner::Scan(std::string_view block, std::string* out) {
  size_t at = 0;
  while (at < block.size() && state_ != kEnded) {
    if (state_ == kText) {
      // Most bytes are inside lines: copy up to the next line end at once.
      const size_t run = NextLineEndByte(block, at) - at;
      out->append(block.data() + at, run);
      at += run;
      if (at == block.size()) break;
    }
    Take(block[at++], out);
  }
  return at;
}

DataScanner::State DataScanner::BareLineEnd(char which, std::string* out) {
  if (bare_line_end_ == 0) bare_line_end_ = which;
  if (policy_ == BareLineEnds::kRefuse) {
    if (which == '\n') out->push_back('\n');
    return kText;
  }
  out->append(which == '\n' ? "\r\n" : "\n");  // a bare CR is out already
  return kFreshLine;
}

void DataScanner::Take(char c, std::string* out) {
  const bool normalise = policy_ == BareLineEnds::kNormalise;
  switch (state_) {
    case kLineStart:
    case kFreshLine:
      if (c == '.' && state_ == kLineStart) {
        state_ = kDot;
        return;
      }
      if (c == '.') {
        out->append("..");  // a literal dot now starting a line
        state_ = kText;
        return;
      }
      state_ = kText;  // any other first byte is taken as inside a line
      Take(c, out);
      return;
    case kDot:
      if (c == '\r') {
        state_ = kDotCr;
      } else if (c == '\n') {
        // The dot was the line's stuffing: a rewritten line keeps none.
        if (!normalise) out->push_back('.');
        state_ = BareLineEnd(c, out);
      } else {
        out->push_back('.');
        out->push_back(c);
        state_ = kText;
      }
      return;
    case kDotCr:
      if (c == '\n') {
        out->append(".\r\n");
        state_ = kEnded;
        return;
      }
      out->append(normalise ? "\r" : ".\r");
      state_ = BareLineEnd('\r', out);
      Take(c, out);
      return;
    case kText:
      if (c == '\r') {
        out->push_back(c);
        state_ = kCr;
      } else if (c == '\n') {
        state_ = BareLineEnd(c, out);
      } else {
        out->push_back(c);
      }
      return;
    case kCr:
      if (c == '\n') {
        out->push_back(c);
        state_ = kLineStart;
        return;
      }
      state_ = BareLineEnd('\r', out);
      Take(c, out);
      return;
    case kEnded:
      return;
  }
}

std::string UnstuffedMessage(std::string_view data) {
  std::string message;
  message.reserve(data.size());
  size_t at = 0;
  while (at < data.size()) {
    const size_t line_end = data.find("\r\n", at);
    const std::string_view line = data.substr(at, line_end == std::string_view::npos ? line_end : line_end + 2 - at);
    if (line == ".\r\n") break;
    message.append(line.substr(line.front() == '.' ? 1 : 0));
    at += line.size();
  }
  return message;
}

// }===========

size_t ChunkBytes(std::string_view block, int remaining) {
  return std::min(block.size(), remaining > 0 ? static_cast<size_t>(remaining) : size_t{0});
}

RelayWait PlanRelayWait(const RelayWaitState& state, int max_wait_ms) {
  RelayWait wait;
  if (state.client_open) {
    if (state.client_may_read) wait.client_events |= POLLIN;
    if (state.to_client_pending && state.client_send_blocked) wait.client_events |= POLLOUT;
  }
  if (state.mta_open) {
    if (state.mta_may_read) wait.mta_events |= POLLIN;
    if (state.to_mta_pending && state.mta_send_blocked) wait.mta_events |= POLLOUT;
  }
  const bool client_send_due = state.to_client_pending && !state.client_send_blocked;
  const bool mta_send_due = state.to_mta_pending && state.mta_open && !state.mta_send_blocked;
  // A closed MTA is reported once the client has had what was queued for
  // it, or at once when the client takes nothing more.
  const bool mta_end_due = state.mta_gone && (!state.to_client_pending || state.client_send_blocked);
  const bool close_due = state.close_pending && !state.to_client_pending;
  const bool work = state.command_waiting || state.data_to_move || client_send_due || mta_send_due ||
                    mta_end_due || close_due;
  wait.timeout_ms = work ? 0 : std::max(max_wait_ms, 0);
  return wait;
}
