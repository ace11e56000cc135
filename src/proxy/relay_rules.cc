// relay_rules - message-end cutting, EHLO extension edits and the pass wait
// of the session relay (see relay_rules.h).
#include "proxy/relay_rules.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "proxy/smtp_commands.h"

namespace {

// The position after the first "\n" at or after `from`; the block's size
// when there is none.
size_t NextLineStart(std::string_view block, size_t from) {
  const size_t end = block.find('\n', from);
  return end == std::string_view::npos ? block.size() : end + 1;
}

// The entry's text without CR, and without a reply code prefix.
std::string DropEntryText(std::string_view entry) {
  std::string text;
  for (char c : entry) {
    if (c != '\r') text.push_back(c);
  }
  if (text.compare(0, 4, "250-") == 0 || text.compare(0, 4, "250 ") == 0) text.erase(0, 4);
  return text;
}

}  // namespace

DataCut CutDotMessage(std::string_view block, bool at_line_start) {
  DataCut cut;
  cut.message_bytes = block.size();
  size_t line = at_line_start ? 0 : NextLineStart(block, 0);
  while (line < block.size()) {
    if (block[line] == '.') {
      size_t end = line + 1;
      while (end < block.size() && block[end] == '\r') ++end;
      if (end == block.size()) {  // "." or ".\r" not finished yet
        cut.message_bytes = line;
        cut.held_bytes = block.size() - line;
        return cut;
      }
      if (block[end] == '\n') {
        cut.message_bytes = end + 1;
        cut.end_of_data = true;
        return cut;
      }
    }
    line = NextLineStart(block, line);
  }
  return cut;
}

DataCut CutChunk(std::string_view block, int remaining) {
  const size_t due = remaining > 0 ? static_cast<size_t>(remaining) : 0;
  DataCut cut;
  cut.message_bytes = std::min(block.size(), due);
  cut.end_of_data = cut.message_bytes == due;
  return cut;
}

bool IsStartTlsDropEntry(std::string_view entry) {
  const std::string text = DropEntryText(entry);
  constexpr std::string_view kStartTls = "STARTTLS";
  return text.size() == kStartTls.size() &&
         std::equal(text.begin(), text.end(), kStartTls.begin(),
                    [](char c, char upper) { return toupper(static_cast<unsigned char>(c)) == upper; });
}

bool ApplyExtensionDrops(String* block, std::string_view drop_list) {
  std::string plain_entries;
  bool drop_starttls = false;
  while (!drop_list.empty()) {
    const size_t end = drop_list.find('\n');
    const std::string_view entry = drop_list.substr(0, end);
    drop_list.remove_prefix(end == std::string_view::npos ? drop_list.size() : end + 1);
    if (IsStartTlsDropEntry(entry)) {
      drop_starttls = true;
    } else {
      plain_entries.append(entry);
      plain_entries.push_back('\n');
    }
  }
  // DropExtensions decides whether this is an EHLO answer at all.
  if (!DropExtensions(block, plain_entries)) return false;
  if (drop_starttls) RemoveStartTls(block);
  return true;
}

RelayWait PlanRelayWait(const RelayWaitState& state, int max_wait_ms) {
  RelayWait wait;
  if (state.client_open) {
    if (state.client_may_read) wait.client_events |= POLLIN;
    if (state.to_client_pending && state.client_send_blocked) wait.client_events |= POLLOUT;
  }
  if (state.mta_open) {
    wait.mta_events |= POLLIN;
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
