// lib_admin_client - the remote-admin client classes (see
// lib_admin_client.h).
#include "scriptlib/lib_admin_client.h"

#include <sys/socket.h>

#include <ctime>
#include <mutex>

#include "script/externs.h"
#include "scriptlib/lib_binding.h"

namespace {

std::mutex endpoint_mutex;
std::string published_key;  // guarded by endpoint_mutex
int published_port = 0;     // guarded by endpoint_mutex

bool IsLocalHost(const std::string& host) {
  return host == "localhost" || host == "LOCALHOST" || host == "127.0.0.1";
}

}  // namespace

void SetAdminEndpoint(const std::string& key, int port) {
  std::lock_guard<std::mutex> hold(endpoint_mutex);
  published_key = key;
  published_port = port;
}

CS_Torvane_Connection::CS_Torvane_Connection(const char* host, const char* port, const char* key) {
  SetOptions(host, port, key);
}

void CS_Torvane_Connection::SetOptions(const char* host, const char* port, const char* key) {
  std::lock_guard<std::mutex> hold(endpoint_mutex);
  host_ = host != nullptr && *host != '\0' ? host : "127.0.0.1";
  port_ = port != nullptr && *port != '\0' ? port : (published_port > 0 ? std::to_string(published_port) : "");
  key_ = key != nullptr && *key != '\0' ? key : published_key;
  timeout_ = kDefaultTimeout;
}

int CS_Torvane_Connection::Connect() {
  if (host_.empty() || port_.empty() || key_.empty()) return 0;
  socket_.CloseComm();
  const char* local = IsLocalHost(host_) ? "127.0.0.1" : nullptr;
  return socket_.ConnectTo(host_.c_str(), port_.c_str(), AF_INET, SOCK_STREAM, local) ? 1 : 0;
}

int CS_Torvane_Recordset::SetFieldAt(int column, const char* text) {
  const std::string key = connection_ != nullptr ? connection_->key() : "";
  return text != nullptr && rows_.SetFieldAt(column, key, text) ? 1 : 0;
}

int CS_Torvane_Recordset::SetFieldBinaryAt(int column, Variable data, int length) {
  std::string_view bytes;
  if (connection_ == nullptr || !ScriptBytesPrefix(data, length, &bytes)) return 0;
  return rows_.SetFieldAt(column, connection_->key(), bytes) ? 1 : 0;
}

void CS_Torvane_Recordset::Reset() {
  rows_.Reset();
  answer_ = EnvelopeAnswer();
  next_row_ = 0;
}

int CS_Torvane_Recordset::Query(int cmd) {
  answer_ = EnvelopeAnswer();
  next_row_ = 0;
  if (connection_ == nullptr || !connection_->IsConnected()) return 0;
  const std::string request =
      BuildEnvelopeRequest(cmd, connection_->key(), rows_, static_cast<long>(time(nullptr)), NewNonce());
  // Each wait is the configured timeout; the whole exchange four of them.
  const int wait = connection_->timeout_ms();
  const ExchangeResult result = ExchangeEnvelope(connection_->socket(), request, connection_->key(), wait, 4 * wait,
                                                 CS_Torvane_Connection::kMaxAnswerBytes, &answer_);
  return result == ExchangeResult::kAnswered ? 1 : 0;
}

CS_Array* CS_Torvane_Recordset::GetRow() {
  if (next_row_ >= answer_.data.size()) return nullptr;
  const std::vector<std::string>& cells = answer_.data[next_row_++];
  row_.Reset();
  for (size_t i = 0; i < cells.size(); ++i) row_.AddBinary(("c" + std::to_string(i + 1)).c_str(), cells[i]);
  return &row_;
}

void RegisterAdminClientClasses(Interpreter* interpreter) {
  auto* connection = new ExternClass<CS_Torvane_Connection, const char*, const char*, const char*>(",,");
  connection->addMethod("SetOptions", &CS_Torvane_Connection::SetOptions);
  connection->addMethod("Connect", &CS_Torvane_Connection::Connect);
  connection->addMethod("IsConnected", &CS_Torvane_Connection::IsConnected);
  connection->addMethod("Disconnect", &CS_Torvane_Connection::Disconnect);
  connection->addMethod("SetTimeOut", &CS_Torvane_Connection::SetTimeOut);
  interpreter->addExternClass("TorvaneServerConn", connection);

  auto* set = new ExternClass<CS_Torvane_Recordset, CS_Torvane_Connection*>(nullptr);
  set->addMethod("AddNew", &CS_Torvane_Recordset::AddNew);
  set->addMethod("SetFieldAt", &CS_Torvane_Recordset::SetFieldAt);
  set->addMethod("SetFieldBinaryAt", &CS_Torvane_Recordset::SetFieldBinaryAt);
  set->addMethod("Reset", &CS_Torvane_Recordset::Reset);
  set->addMethod("Query", &CS_Torvane_Recordset::Query);
  set->addMethod("GetRow", &CS_Torvane_Recordset::GetRow);
  set->addMethod("GetLastError", &CS_Torvane_Recordset::GetLastError);
  set->addMethod("RecordCount", &CS_Torvane_Recordset::RecordCount);
  set->addMethod("ColCount", &CS_Torvane_Recordset::ColCount);
  interpreter->addExternClass("TorvaneRecordSet", set);
}
