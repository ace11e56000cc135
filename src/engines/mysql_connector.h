// mysql_connector - CTorvaneMysqlConn, one connection to a MySQL or MariaDB
// server through the client library loaded at run time (never linked, so the
// daemon runs without it), and CTorvaneMysqlRecordSet, the rows of one query
// held in memory. Scripts reach both as "CS_MySqlConn" and
// "CS_MySqlRecordSet" (scriptlib/lib_mysql).
#ifndef TORVANE_ENGINES_MYSQL_CONNECTOR_H_
#define TORVANE_ENGINES_MYSQL_CONNECTOR_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_value_sink.h"
#include "base/mutex.h"
#include "base/xml_log.h"
#include "engines/library_loader.h"

// The client library's own types, only ever handled through pointers.
struct MysqlHandle;
struct MysqlResult;
struct MysqlEntryPoints;

// The rows of one result: column names, then per row one value per column
// (no value for SQL NULL). Values are bytes, binary ones whole.
struct MysqlTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

// Thread-safe: every call into the library holds the connection's lock, so
// one connection may be shared by scripts of every thread (a persistent
// object); they take turns. Every wait on the server is bounded by the
// timeouts (SetTimeOut), so no caller holds the lock longer than them.
//
// A connection lost (the server gone, the connection killed) makes State
// false; the next statement reconnects once with the parameters of the last
// Connect. A statement that may have reached the server is never sent again:
// its call fails with the error and the next call reconnects. Before a
// statement on a connection idle for long (kMaxIdleBeforePing, or half the
// server's wait_timeout when shorter) the server is pinged first, so a
// connection it dropped meanwhile is replaced rather than failing.
class CTorvaneMysqlConn : public COpenLib {
 public:
  // The client library, under the application directory.
  static constexpr char kLibraryPath[] = "/libdll/libmysql.so";
  // Idle time after which a statement is preceded by a ping.
  static constexpr std::chrono::seconds kMaxIdleBeforePing{60};
  // Default waits: for a connection to be made, and for each read or write.
  static constexpr int kConnectTimeoutSeconds = 10;
  static constexpr int kIoTimeoutSeconds = 30;
  // Default bounds of one result held in memory.
  static constexpr int kMaxResultRows = 100000;
  static constexpr int kMaxResultBytes = 64 << 20;
  // The character set asked for at connect, so escaping and server agree.
  static constexpr char kDefaultCharset[] = "utf8mb4";
  // Start of every GetError text while the library is unusable.
  static constexpr char kNotLoaded[] = "MySQL client library not loaded: ";

  // Loads the library from MakeAppPath(kLibraryPath) and resolves every entry
  // point. A library that cannot be loaded or lacks one is not used at all;
  // the reason is printed, logged once per process (MysqlConnectorLog) and
  // given by GetError.
  CTorvaneMysqlConn();
  // Close, then unloads (the library itself stays mapped: it keeps process
  // state).
  ~CTorvaneMysqlConn() override;

  // True when the library and all its entry points are there.
  bool IsUsable() const { return api_ != nullptr; }

  // Connects (true at once when connected). A host that is an absolute path
  // names a Unix socket; a negative port counts as 0 (the default). The
  // parameters are kept for reconnecting. False with GetError when the
  // library is unusable or the server refuses.
  bool Connect(const char* host, const char* user, const char* password, const char* database,
               int port);
  bool State();
  // Runs one statement and discards any rows it returns. True on success;
  // false with GetError.
  bool Execute(const char* sql);
  // Execute of `sql` with its "?" placeholders bound to `values` (see
  // sql_params.h); a count mismatch sends nothing.
  bool ExecuteParams(const char* sql, const std::vector<std::string>& values);
  // Runs `sql` and reads its rows into `table` (replaced; null drops them),
  // up to the result bounds. False with GetError on any failure, `table`
  // then empty.
  bool Query(const char* sql, MysqlTable* table);
  bool QueryParams(const char* sql, const std::vector<std::string>& values, MysqlTable* table);
  // The library's select_db result (0 on success); -1 without a connection or
  // name. The database is kept for reconnecting.
  int SelectDB(const char* name);
  // Writes the escaped form of `length` bytes of `from` into `to` and returns
  // its length; 0 without a connection handle.
  // REQUIRES: `to` holds 2 * length + 1 bytes.
  int Escape_String(char* to, const char* from, unsigned long length);
  // The escaped form of `from` (no quotes); "" without a connection handle.
  std::string Escape(std::string_view from);
  // Why the last call failed; "" after a success.
  std::string GetError();
  // Disconnects and forgets the parameters.
  void Close();
  // The library's connection object (null before Connect and after Close).
  MysqlHandle* GetHandle();

  // Waits applied from the next connect, in seconds (values below 1: 1).
  void SetTimeOut(int connect_seconds, int io_seconds);
  // Bounds of one result (values below 1 keep the current bound).
  void SetMaxResult(int rows, int bytes);
  // Character set asked for from the next connect: letters, digits and "_"
  // only, at most 32; anything else is refused (false).
  bool SetCharset(const char* name);

 private:
  struct Parameters {
    std::string host, user, password, database;
    unsigned port = 0;
  };
  using Clock = std::chrono::steady_clock;

  void Load();
  // Helpers ending in "Locked" REQUIRE: the caller holds lock_.
  bool OpenLocked();
  bool ReadyLocked();
  void DisconnectLocked();
  bool RunLocked(const char* sql);
  // RunLocked, then the rows into `table` (or dropped), then any further
  // results dropped.
  bool StatementLocked(const char* sql, MysqlTable* table);
  bool ReadRowsLocked(MysqlTable* table);
  void DiscardResultsLocked();
  void LearnIdleLimitLocked();
  bool FailLocked(std::string message);
  bool LibraryFailLocked();
  std::string EscapeLocked(std::string_view from);

  const MysqlEntryPoints* api_ = nullptr;  // set once loaded and complete
  std::string unusable_;                   // why api_ is null
  CCriticalSession lock_;
  // Guarded by lock_:
  MysqlHandle* handle_ = nullptr;  // owned; closed by the library
  bool connected_ = false;
  std::optional<Parameters> parameters_;  // since Connect, until Close
  std::string error_;
  Clock::time_point last_used_;
  Clock::duration idle_limit_ = kMaxIdleBeforePing;
  int connect_timeout_ = kConnectTimeoutSeconds;
  int io_timeout_ = kIoTimeoutSeconds;
  int max_rows_ = kMaxResultRows;
  int max_bytes_ = kMaxResultBytes;
  std::string charset_ = kDefaultCharset;
};

// The rows of one query. Once Open returned, it needs no connection: the
// connection may be closed or deleted first. Not thread-safe (one script's).
class CTorvaneMysqlRecordSet {
 public:
  CTorvaneMysqlRecordSet() = default;
  CTorvaneMysqlRecordSet(const CTorvaneMysqlRecordSet&) = delete;
  CTorvaneMysqlRecordSet& operator=(const CTorvaneMysqlRecordSet&) = delete;

  // Replaces the rows by those of `sql` on `conn`. False (nothing kept) when
  // `conn` is null or the query fails; the reason is the connection's
  // GetError.
  bool Open(const char* sql, CTorvaneMysqlConn* conn);
  bool OpenParams(const char* sql, CTorvaneMysqlConn* conn, const std::vector<std::string>& values);
  int RecordCount() const { return static_cast<int>(table_.rows.size()); }
  // Empties `row` and fills it with the next row, column name to value (a
  // NULL value leaves its column out). False after the last row, `row`
  // then untouched.
  bool FetchRow(KeyValueSink* row);
  void Close();

 private:
  MysqlTable table_;
  size_t next_row_ = 0;
};

// Records the connector writes where no host log is at hand (the library
// failing to load). The daemon's main loop drains it into the XML log.
CLogSimple& MysqlConnectorLog();

#endif  // TORVANE_ENGINES_MYSQL_CONNECTOR_H_
