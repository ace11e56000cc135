// smtp_session - resetting a relayed connection's state between connections
// and preparing its MTA socket (see smtp_session.h).
#include "proxy/smtp_session.h"

#include <sys/socket.h>

#include <algorithm>

void SmtpSession::Reset() {
  id = 0;
  client_tls.reset();
  hello_due = false;
  client = nullptr;  // the listener's slot: the listener closes and reuses it
  to_client.clear();
  from_mta.clear();
  mta_tls.reset();
  mta_tls_tried = false;
  mta.reset();  // closes the socket
  to_mta.clear();
  from_client.clear();
  state = kCommandMode;
  lines.Clear();
  current_line.clear();
  line_ready = true;
  error_count = 0;
  relay_client = false;
  last_activity = 0;
  reverse_name.clear();
  client_address.clear();
  mta_name.clear();
  mta_replace_name.clear();
  mta_peer = SockAddrIn();
  mta_adapter.clear();
  mta_chunking = false;
  mta_knows_client = false;
  helo_line.clear();
  extension_injection.clear();
  extension_drop.clear();
  data_block.clear();
  block_sending = false;
  end_of_data = 0;
  bdat_remaining = 0;
  close_after_queue = false;
  helo_name.clear();
  extended_hello = false;
  mail_from.clear();
  data_limit = kDefaultDataLimit;
  StartMessage(false);
  message_from_start = false;
  property = 0;
  analysed_message.clear();
  parser.Clear();
  script_replies = 0;
  registered_addresses.clear();
}

void SmtpSession::StartMessage(bool chunked) {
  message_from_start = true;
  chunked_message = chunked;
  received_start.clear();
  edited_start_bytes = 0;
  quarantine.Clear();
}

// The edited start only grows: an edit reaching past it takes the received
// bytes in between into received_start; a shorter one stays inside it.
void SmtpSession::EditDataStart(size_t old_bytes, std::string_view replacement) {
  const std::string_view data = data_block.View();
  old_bytes = std::min(old_bytes, data.size());
  const size_t covered = std::max(old_bytes, std::min(edited_start_bytes, data.size()));
  if (covered > edited_start_bytes) {
    received_start.append(data.substr(edited_start_bytes, covered - edited_start_bytes));
  }
  edited_start_bytes = covered - old_bytes + replacement.size();
  std::string edited(replacement);
  edited.append(data.substr(old_bytes));
  data_block = String(std::string_view(edited));
}

std::string SmtpSession::ReceivedData() const {
  const std::string_view data = data_block.View();
  return received_start + std::string(data.substr(std::min(edited_start_bytes, data.size())));
}

CSocketComm* SmtpSession::PrepareMta() {
  if (mta == nullptr) mta = std::make_unique<CSocketComm>();
  mta->CloseComm();
  mta->SetLibero(true);
  mta_knows_client = false;
  mta_tls.reset();
  mta_tls_tried = false;
  return mta.get();
}

void SmtpSession::MtaConnected(const char* adapter) {
  mta->GetPeerName(&mta_peer);
  mta_adapter = adapter != nullptr ? adapter : "";
  mta->SetNoDelay();
}

bool SmtpSession::ReconnectMta() {
  CSocketComm* socket = PrepareMta();
  if (mta_peer.IsNull()) return false;
  String host;
  CSocketComm::GetIPFromLong(&host, mta_peer.GetIPAddr());
  String port;
  port.Format("%u", static_cast<unsigned>(mta_peer.GetPort()));
  if (!socket->ConnectTo(host.GetData(), port.GetData(), AF_INET, SOCK_STREAM, mta_adapter.GetData())) return false;
  socket->SetNoDelay();
  return true;
}

namespace {

// One leg's read and write: through its TLS channel once it has one (a
// closed socket fails), else straight on the socket.
int LegReceive(CSocketComm* socket, TlsChannel* tls, void* buffer, int length) {
  if (socket == nullptr) return -1;
  if (tls != nullptr) return socket->IsOpen() ? tls->Read(buffer, length) : -1;
  return socket->ReceiveAvailable(buffer, length);
}

int LegSend(CSocketComm* socket, TlsChannel* tls, const void* buffer, int length) {
  if (socket == nullptr) return -1;
  if (tls != nullptr) return socket->IsOpen() ? tls->Write(buffer, length) : -1;
  return socket->SendAvailable(buffer, length);
}

}  // namespace

int SmtpSession::ClientReceive(void* buffer, int length) {
  return LegReceive(client, client_tls.get(), buffer, length);
}

int SmtpSession::ClientSend(const void* buffer, int length) {
  return LegSend(client, client_tls.get(), buffer, length);
}

int SmtpSession::MtaReceive(void* buffer, int length) { return LegReceive(mta.get(), mta_tls.get(), buffer, length); }

int SmtpSession::MtaSend(const void* buffer, int length) { return LegSend(mta.get(), mta_tls.get(), buffer, length); }
