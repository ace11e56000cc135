// lib_admin_client - the script classes that make any script a client of
// the remote admin server: "TorvaneServerConn" (CS_Torvane_Connection, a
// connection with host, port and key) and "TorvaneRecordSet"
// (CS_Torvane_Recordset, one request's rows and its answer). The admin
// server publishes its key and port here, which empty arguments stand for.
#ifndef TORVANE_SCRIPTLIB_LIB_ADMIN_CLIENT_H_
#define TORVANE_SCRIPTLIB_LIB_ADMIN_CLIENT_H_

#include <string>

#include "base/socket.h"
#include "engines/admin_envelope.h"
#include "script/interpreter.h"
#include "scriptlib/lib_hash_array.h"

// Records the admin server's key and bound port (thread-safe).
void SetAdminEndpoint(const std::string& key, int port);

// One connection. Not thread-safe.
class CS_Torvane_Connection {
 public:
  // Waits are timeout x kTimeoutUnitMs.
  static constexpr int kTimeoutUnitMs = 10;
  static constexpr int kDefaultTimeout = 100;
  // A whole answer is longer than this at most.
  static constexpr size_t kMaxAnswerBytes = 64u << 20;

  // Empty host: "127.0.0.1"; empty port or key: the admin server's.
  CS_Torvane_Connection(const char* host, const char* port, const char* key);
  CS_Torvane_Connection() : CS_Torvane_Connection(nullptr, nullptr, nullptr) {}
  void SetOptions(const char* host, const char* port, const char* key);
  int Connect();
  int IsConnected() { return socket_.IsOpen() ? 1 : 0; }
  void Disconnect() { socket_.CloseComm(); }
  void SetTimeOut(int timeout) { timeout_ = timeout > 0 ? timeout : kDefaultTimeout; }

  CSocketComm* socket() { return &socket_; }
  const std::string& key() const { return key_; }
  int timeout_ms() const { return timeout_ * kTimeoutUnitMs; }

 private:
  std::string host_, port_, key_;
  int timeout_ = kDefaultTimeout;
  CSocketComm socket_;
};

// One request and its answer. Not thread-safe.
class CS_Torvane_Recordset {
 public:
  explicit CS_Torvane_Recordset(CS_Torvane_Connection* connection) : connection_(connection) {}
  void AddNew() { rows_.AddNew(); }
  int SetFieldAt(int column, const char* text);
  int SetFieldBinaryAt(int column, Variable data, int length);
  void Reset();
  // Sends the rows as command `cmd` and reads the answer: 1 when a whole
  // answer arrived (its error code may still say no).
  int Query(int cmd);
  // The next answer row ("c1", "c2", ...); null after the last. Owned here.
  CS_Array* GetRow();
  int GetLastError() const { return answer_.error; }
  int RecordCount() const { return static_cast<int>(answer_.rows); }
  int ColCount() const { return answer_.cols; }

 private:
  CS_Torvane_Connection* connection_;  // not owned; may be null
  EnvelopeRows rows_;
  EnvelopeAnswer answer_;
  size_t next_row_ = 0;
  CS_Array row_;
};

// Registers "TorvaneServerConn" and "TorvaneRecordSet".
void RegisterAdminClientClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_ADMIN_CLIENT_H_
