// mta_selection - choosing and connecting the downstream MTA.
#include "proxy/mta_selection.h"

#include <sys/socket.h>

namespace {

// Source module and routine of the connect loop's log lines: the loop runs
// on behalf of the core's session workers and is reported as theirs.
constexpr char kLogSource[] = "torvanecore";
constexpr char kLogRoutine[] = "CTorvaneCore::Run";
// Statistics group of the MTA connection counters.
constexpr int kCooperativeGroup = 2;

void Count(CStatitiche_Day* stats, const char* format, const String& host) {
  if (stats == nullptr) return;
  String key;
  key.Format(format, host.GetData());
  stats->AddItem(key, kCooperativeGroup, 0, 1, CStatitiche_Day::kIncrement);
}

void LogAttempt(CLogSimple* log, const char* format, const CSmtpBilancimento::SereverSMTP& server,
                int connection_id) {
  if (log == nullptr) return;
  String entry;
  entry.Format(format, server.host.GetData(), server.port.GetData());
  log->LogS(kLogError, entry, kLogSource, kLogRoutine, log_type::kSys, connection_id);
}

}  // namespace

void CSmtpBilancimento::AddSmtpServer(const char* host, int port, const char* replace_name) {
  if (host == nullptr) return;
  SereverSMTP server;
  server.host = host;
  server.port.Format("%d", port);
  server.replace_name = replace_name != nullptr ? replace_name : "";
  for (const SereverSMTP& listed : servers_) {
    if (listed.host.View() == server.host.View() && listed.port.View() == server.port.View()) return;
  }
  servers_.Add(server);
}

void CSmtpBilancimento::RemoveAllSmtpServer() { servers_.RemoveAll(); }

void CSmtpBilancimento::SetType(unsigned int type) { type_ = type; }

void CSmtpBilancimento::ReplaceServers(const CConfig& config) {
  const String* hosts[kConfiguredServers] = {&config.smtp_server1, &config.smtp_server2,
                                             &config.smtp_server3, &config.smtp_server4};
  const int ports[kConfiguredServers] = {config.smtp_port1, config.smtp_port2, config.smtp_port3,
                                         config.smtp_port4};
  const String* names[kConfiguredServers] = {&config.trasp_1, &config.trasp_2, &config.trasp_3,
                                             &config.trasp_4};
  CriticalScope hold(*this);
  RemoveAllSmtpServer();
  SetType(static_cast<unsigned int>(config.smtp_type));
  for (int n = 0; n < kConfiguredServers; ++n) {
    if (hosts[n]->IsEmpty() || ports[n] <= 0) continue;
    AddSmtpServer(hosts[n]->GetData(), ports[n], names[n]->GetData());
  }
}

int CSmtpBilancimento::GetServerCount() {
  CriticalScope hold(*this);
  return servers_.GetCount();
}

bool CSmtpBilancimento::GetSmtpServer(SereverSMTP* out, int connection_id, int* last_id, int* attempt) {
  CriticalScope hold(*this);
  if (servers_.GetCount() == 0) return false;
  switch (type_) {
    case kFirstServerOnly: return NextFirstOnly(out, connection_id, last_id);
    case kOrderedFailover: return NextInOrder(out, connection_id, last_id, attempt);
    case kRoundRobin: return NextRoundRobin(out, connection_id, last_id, attempt);
    default: return false;
  }
}

bool CSmtpBilancimento::NextFirstOnly(SereverSMTP* out, int connection_id, int* last_id) {
  if (*last_id == connection_id) return false;
  *last_id = connection_id;
  *out = servers_[0];
  return true;
}

bool CSmtpBilancimento::NextInOrder(SereverSMTP* out, int connection_id, int* last_id, int* attempt) {
  if (*last_id == connection_id) ++*attempt;
  // A reload may have shortened the list since the previous call, so the
  // index is checked against the list as it is now.
  if (*attempt < 0 || *attempt > servers_.GetUpperBound()) {
    *attempt = 0;
    return false;
  }
  *last_id = connection_id;
  *out = servers_[*attempt];
  return true;
}

bool CSmtpBilancimento::NextRoundRobin(SereverSMTP* out, int connection_id, int* last_id, int* attempt) {
  const bool same_operation = *last_id == connection_id;
  // One operation may take one server more than the list holds: the first
  // server it was given comes round once more before it gives up.
  if (same_operation && *attempt > servers_.GetUpperBound()) {
    *attempt = 0;
    return false;
  }
  if (same_operation) ++*attempt;
  if (cursor_ < 0 || cursor_ > servers_.GetUpperBound()) cursor_ = 0;
  *last_id = connection_id;
  *out = servers_[cursor_];
  ++cursor_;
  return true;
}

bool CSmtpBilancimento::TryServer(CSocketComm* mta, const SereverSMTP& server, const ConnectRequest& request) {
  mta->CloseComm();
  mta->SetLibero(true);
  const bool connected = mta->ConnectTo(server.host, server.port, AF_INET, SOCK_STREAM, request.adapter_ip);
  if (connected && (request.greeting_timeout_ms <= 0 || mta->AwaitBytes(request.greeting_timeout_ms))) {
    LogAttempt(request.log, "O.K. Connect To: %s port: %s", server, request.connection_id);
    Count(request.stats, "f2cooperative_[%s]", server.host);
    return true;
  }
  mta->CloseComm();  // a server that accepted but did not greet is left too
  LogAttempt(request.log, "FAILED to Connect a: %s port: %s", server, request.connection_id);
  Count(request.stats, "f2cooperative_fail_[%s]", server.host);
  return false;
}

bool CSmtpBilancimento::ConnectToDefaultMTA(CSocketComm* mta, const ConnectRequest& request,
                                            SereverSMTP* connected) {
  // No server given yet in this operation: any id but this connection's.
  int last_id = request.connection_id == 0 ? -1 : 0;
  int attempt = 0;
  SereverSMTP server;
  while (GetSmtpServer(&server, request.connection_id, &last_id, &attempt)) {
    if (TryServer(mta, server, request)) {
      if (connected != nullptr) *connected = server;
      return true;
    }
  }
  return false;
}
