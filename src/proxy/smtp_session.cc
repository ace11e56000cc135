// smtp_session - resetting a relayed connection's state between connections
// and preparing its MTA socket (see smtp_session.h).
#include "proxy/smtp_session.h"

#include <sys/socket.h>

void SmtpSession::Reset() {
  id = 0;
  client = nullptr;  // the listener's slot: the listener closes and reuses it
  to_client.clear();
  from_mta.clear();
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
  helo_line.clear();
  extension_injection.clear();
  extension_drop.clear();
  data_block.clear();
  block_sending = false;
  end_of_data = 0;
  bdat_remaining = 0;
  close_after_queue = false;
  helo_name.clear();
  mail_from.clear();
  data_limit = kDefaultDataLimit;
  property = 0;
  analysed_message.clear();
  parser.Clear();
  script_replies = 0;
  registered_addresses.clear();
}

CSocketComm* SmtpSession::PrepareMta() {
  if (mta == nullptr) mta = std::make_unique<CSocketComm>();
  mta->CloseComm();
  mta->SetLibero(true);
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
