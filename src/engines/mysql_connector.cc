// mysql_connector - the client library's entry points, the connection's
// reconnect and idle rules, and results streamed into memory under bounds.
#include "engines/mysql_connector.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <vector>

#include "base/utility.h"
#include "engines/sql_params.h"

namespace {

constexpr char kSource[] = "torvanemysql";
constexpr char kRoutine[] = "CTorvaneMysqlConn::CTorvaneMysqlConn";

// Options of mysql_options (the library's frozen numbering).
enum MysqlOption : int {
  kOptConnectTimeout = 0,
  kOptCharsetName = 7,
  kOptLocalInfile = 8,
  kOptReadTimeout = 11,
  kOptWriteTimeout = 12,
};

// Errors that mean the connection is gone: "server has gone away", "lost
// connection during query", and the latter with a system error.
constexpr unsigned kLostConnectionErrors[] = {2006, 2013, 2055};

// Longest character set name SetCharset takes.
constexpr size_t kMaxCharsetChars = 32;

// The first member of the library's column description.
struct MysqlFieldHead {
  const char* name;
};

}  // namespace

// Every entry point the connector calls. The first fourteen are what any
// client library of this API offers (a library lacking one is no such
// library, whichever of them this connector ends up calling); the rest give
// the timeouts, streaming, binary lengths and loss detection.
#define MYSQL_ENTRY_POINTS(X)                                                                      \
  X(init, "mysql_init", MysqlHandle*(MysqlHandle*))                                                \
  X(close, "mysql_close", void(MysqlHandle*))                                                      \
  X(real_connect, "mysql_real_connect", MysqlHandle*(MysqlHandle*, const char* host, const char* user, const char* password, const char* database, unsigned port, const char* socket, unsigned long flags)) \
  X(query, "mysql_query", int(MysqlHandle*, const char*))                                          \
  X(store_result, "mysql_store_result", MysqlResult*(MysqlHandle*))                                \
  X(num_rows, "mysql_num_rows", unsigned long long(MysqlResult*))                                  \
  X(num_fields, "mysql_num_fields", unsigned(MysqlResult*))                                        \
  X(fetch_row, "mysql_fetch_row", char**(MysqlResult*))                                            \
  X(free_result, "mysql_free_result", void(MysqlResult*))                                          \
  X(fetch_fields, "mysql_fetch_fields", MysqlFieldHead*(MysqlResult*))                             \
  X(fetch_field_direct, "mysql_fetch_field_direct", MysqlFieldHead*(MysqlResult*, unsigned))       \
  X(select_db, "mysql_select_db", int(MysqlHandle*, const char*))                                  \
  X(error, "mysql_error", const char*(MysqlHandle*))                                               \
  X(real_escape_string, "mysql_real_escape_string", unsigned long(MysqlHandle*, char* to, const char* from, unsigned long length)) \
  X(server_init, "mysql_server_init", int(int, char**, char**))                                    \
  X(options, "mysql_options", int(MysqlHandle*, int option, const void* value))                    \
  X(error_number, "mysql_errno", unsigned(MysqlHandle*))                                           \
  X(ping, "mysql_ping", int(MysqlHandle*))                                                         \
  X(use_result, "mysql_use_result", MysqlResult*(MysqlHandle*))                                    \
  X(fetch_lengths, "mysql_fetch_lengths", unsigned long*(MysqlResult*))                            \
  X(field_count, "mysql_field_count", unsigned(MysqlHandle*))                                      \
  X(next_result, "mysql_next_result", int(MysqlHandle*))

struct MysqlEntryPoints {
#define DECLARE_ENTRY(member, symbol, type) std::add_pointer_t<type> member = nullptr;
  MYSQL_ENTRY_POINTS(DECLARE_ENTRY)
#undef DECLARE_ENTRY
};

namespace {

// The library must be initialised once, by one thread, before any
// connection object is made (making one is not thread-safe otherwise). It
// stays loaded for good (RTLD_NODELETE), so once per library is once per
// process.
void InitialiseLibraryOnce(const MysqlEntryPoints& api) {
  static std::mutex lock;
  static std::vector<void*> initialised;  // guarded by lock
  std::lock_guard<std::mutex> hold(lock);
  void* id = reinterpret_cast<void*>(api.server_init);
  if (std::find(initialised.begin(), initialised.end(), id) != initialised.end()) return;
  api.server_init(0, nullptr, nullptr);
  initialised.push_back(id);
}

void LogUnusableOnce(const std::string& reason) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  const std::string entry = CTorvaneMysqlConn::kNotLoaded + reason;
  MysqlConnectorLog().LogS(kLogError, entry.c_str(), kSource, kRoutine, log_type::kSys, 0);
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

CLogSimple& MysqlConnectorLog() {
  static CLogSimple log;
  return log;
}

// {=========== CTorvaneMysqlConn

CTorvaneMysqlConn::CTorvaneMysqlConn() { Load(); }

CTorvaneMysqlConn::~CTorvaneMysqlConn() {
  Close();
  delete api_;
}

void CTorvaneMysqlConn::Load() {
  String path;
  MakeAppPath(&path, kLibraryPath);
  if (!Init(path.GetData(), RTLD_NODELETE)) {
    unusable_ = LastError();
  } else {
    auto* entries = new MysqlEntryPoints;
    std::string missing;
#define RESOLVE_ENTRY(member, symbol, type)                              \
  entries->member = reinterpret_cast<std::add_pointer_t<type>>(LoadFunction(symbol));        \
  if (entries->member == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(symbol);
    MYSQL_ENTRY_POINTS(RESOLVE_ENTRY)
#undef RESOLVE_ENTRY
    if (missing.empty()) {
      InitialiseLibraryOnce(*entries);
      api_ = entries;
      return;
    }
    delete entries;
    unusable_ = "missing " + missing;
  }
  LogUnusableOnce(unusable_);
}

bool CTorvaneMysqlConn::Connect(const char* host, const char* user, const char* password,
                                const char* database, int port) {
  CriticalScope hold(lock_);
  if (connected_) return true;
  if (api_ == nullptr) return FailLocked(kNotLoaded + unusable_);
  parameters_ = Parameters{Text(host), Text(user), Text(password), Text(database),
                           static_cast<unsigned>(std::max(port, 0))};
  return OpenLocked();
}

bool CTorvaneMysqlConn::State() {
  CriticalScope hold(lock_);
  return connected_;
}

// A fresh connection object each time: one whose connection failed or was
// lost is not reused.
bool CTorvaneMysqlConn::OpenLocked() {
  DisconnectLocked();
  handle_ = api_->init(nullptr);
  if (handle_ == nullptr) return FailLocked("out of memory");
  const unsigned connect_timeout = connect_timeout_;
  const unsigned io_timeout = io_timeout_;
  // LOAD DATA LOCAL off: the server could otherwise ask for any file the
  // daemon, running as root, can read.
  const unsigned local_files = 0;
  api_->options(handle_, kOptConnectTimeout, &connect_timeout);
  api_->options(handle_, kOptReadTimeout, &io_timeout);
  api_->options(handle_, kOptWriteTimeout, &io_timeout);
  api_->options(handle_, kOptLocalInfile, &local_files);
  api_->options(handle_, kOptCharsetName, charset_.c_str());
  const Parameters& p = *parameters_;
  const bool socket = !p.host.empty() && p.host[0] == '/';
  const char* host = socket ? "localhost" : (p.host.empty() ? nullptr : p.host.c_str());
  if (api_->real_connect(handle_, host, p.user.c_str(), p.password.c_str(),
                         p.database.empty() ? nullptr : p.database.c_str(), p.port,
                         socket ? p.host.c_str() : nullptr, 0) == nullptr) {
    return LibraryFailLocked();
  }
  connected_ = true;
  last_used_ = Clock::now();
  LearnIdleLimitLocked();  // may find the connection lost already
  if (connected_) error_.clear();
  return connected_;
}

// A server drops connections idle for its wait_timeout; pinging after half
// of it (at most kMaxIdleBeforePing) finds a dropped one before a statement
// is lost on it.
void CTorvaneMysqlConn::LearnIdleLimitLocked() {
  idle_limit_ = kMaxIdleBeforePing;
  MysqlTable table;
  if (!StatementLocked("SELECT @@wait_timeout", &table)) return;
  if (table.rows.size() != 1 || table.rows[0].empty() || !table.rows[0][0]) return;
  const long seconds = strtol(table.rows[0][0]->c_str(), nullptr, 10);
  if (seconds > 0) idle_limit_ = std::min<Clock::duration>(idle_limit_, std::chrono::seconds(seconds) / 2);
}

bool CTorvaneMysqlConn::ReadyLocked() {
  if (api_ == nullptr) return FailLocked(kNotLoaded + unusable_);
  if (connected_ && Clock::now() - last_used_ > idle_limit_ && api_->ping(handle_) != 0) {
    connected_ = false;
  }
  if (connected_) return true;
  if (!parameters_) return FailLocked("not connected");
  return OpenLocked();
}

void CTorvaneMysqlConn::DisconnectLocked() {
  if (handle_ != nullptr) api_->close(handle_);
  handle_ = nullptr;
  connected_ = false;
}

bool CTorvaneMysqlConn::FailLocked(std::string message) {
  error_ = std::move(message);
  return false;
}

// The library's error; a lost connection also ends the connected state, so
// the next call reconnects.
bool CTorvaneMysqlConn::LibraryFailLocked() {
  const unsigned code = api_->error_number(handle_);
  for (unsigned lost : kLostConnectionErrors) {
    if (code == lost) connected_ = false;
  }
  return FailLocked(Text(api_->error(handle_)));
}

bool CTorvaneMysqlConn::RunLocked(const char* sql) {
  last_used_ = Clock::now();
  if (sql == nullptr) return FailLocked("no statement");
  return api_->query(handle_, sql) == 0 || LibraryFailLocked();
}

// Rows are read one at a time (dropped at once for a null `table`) (never the whole result at once) and kept
// only while within the bounds. A result over them is still read to its end
// by free_result, so the connection stays in step for the next statement.
bool CTorvaneMysqlConn::ReadRowsLocked(MysqlTable* table) {
  MysqlResult* result = api_->use_result(handle_);
  if (result == nullptr) return api_->field_count(handle_) == 0 || LibraryFailLocked();
  if (table == nullptr) {
    api_->free_result(result);
    return api_->error_number(handle_) == 0 || LibraryFailLocked();
  }
  const unsigned columns = api_->num_fields(result);
  size_t bytes = 0;
  for (unsigned i = 0; i < columns; ++i) {
    const MysqlFieldHead* field = api_->fetch_field_direct(result, i);
    table->columns.push_back(Text(field != nullptr ? field->name : nullptr));
    bytes += table->columns.back().size();
  }
  bool too_large = false;
  while (char** row = api_->fetch_row(result)) {
    const unsigned long* lengths = api_->fetch_lengths(result);
    if (table->rows.size() >= static_cast<size_t>(max_rows_) || lengths == nullptr) {
      too_large = lengths != nullptr;
      break;
    }
    auto& values = table->rows.emplace_back(columns);
    for (unsigned i = 0; i < columns; ++i) {
      if (row[i] != nullptr) values[i].emplace(row[i], lengths[i]);
      bytes += lengths[i];
    }
    if (bytes > static_cast<size_t>(max_bytes_)) {
      too_large = true;
      break;
    }
  }
  const bool read_failed = !too_large && api_->error_number(handle_) != 0;
  if (read_failed) LibraryFailLocked();
  api_->free_result(result);
  if (!too_large && !read_failed) return true;
  *table = MysqlTable();
  if (too_large) {
    error_ = "result set larger than " + std::to_string(max_rows_) + " rows or " +
             std::to_string(max_bytes_) + " bytes";
  }
  return false;
}

// Reads and drops what the statement still has to return (further results
// of a procedure call), so the next statement finds the connection in step.
void CTorvaneMysqlConn::DiscardResultsLocked() {
  for (int more = api_->next_result(handle_); more == 0; more = api_->next_result(handle_)) {
    if (MysqlResult* result = api_->use_result(handle_)) api_->free_result(result);
  }
}

bool CTorvaneMysqlConn::StatementLocked(const char* sql, MysqlTable* table) {
  if (!RunLocked(sql)) return false;
  const bool read = ReadRowsLocked(table);
  DiscardResultsLocked();
  if (read) error_.clear();
  return read;
}

bool CTorvaneMysqlConn::Execute(const char* sql) { return Query(sql, nullptr); }

bool CTorvaneMysqlConn::ExecuteParams(const char* sql, const std::vector<std::string>& values) {
  return QueryParams(sql, values, nullptr);
}

bool CTorvaneMysqlConn::Query(const char* sql, MysqlTable* table) {
  CriticalScope hold(lock_);
  if (table != nullptr) *table = MysqlTable();
  return ReadyLocked() && StatementLocked(sql, table);
}

bool CTorvaneMysqlConn::QueryParams(const char* sql, const std::vector<std::string>& values,
                                    MysqlTable* table) {
  CriticalScope hold(lock_);
  if (table != nullptr) *table = MysqlTable();
  if (sql == nullptr) return FailLocked("no statement");
  if (!ReadyLocked()) return false;
  std::string bound;
  const SqlEscaper escape = [this](std::string_view value) { return EscapeLocked(value); };
  return BindSqlParams(sql, values, escape, &bound, &error_) && StatementLocked(bound.c_str(), table);
}

int CTorvaneMysqlConn::SelectDB(const char* name) {
  CriticalScope hold(lock_);
  if (name == nullptr || !ReadyLocked()) return -1;
  last_used_ = Clock::now();
  const int result = api_->select_db(handle_, name);
  if (result != 0) {
    LibraryFailLocked();
  } else {
    parameters_->database = name;
    error_.clear();
  }
  return result;
}

std::string CTorvaneMysqlConn::EscapeLocked(std::string_view from) {
  if (handle_ == nullptr) return "";
  std::string out(2 * from.size() + 1, '\0');
  const unsigned long length = api_->real_escape_string(handle_, out.data(), from.data(), from.size());
  if (length == static_cast<unsigned long>(-1)) return "";
  out.resize(length);
  return out;
}

int CTorvaneMysqlConn::Escape_String(char* to, const char* from, unsigned long length) {
  CriticalScope hold(lock_);
  if (handle_ == nullptr || to == nullptr || from == nullptr) return 0;
  const unsigned long written = api_->real_escape_string(handle_, to, from, length);
  return written == static_cast<unsigned long>(-1) ? 0 : static_cast<int>(written);
}

std::string CTorvaneMysqlConn::Escape(std::string_view from) {
  CriticalScope hold(lock_);
  return EscapeLocked(from);
}

std::string CTorvaneMysqlConn::GetError() {
  CriticalScope hold(lock_);
  return error_;
}

void CTorvaneMysqlConn::Close() {
  CriticalScope hold(lock_);
  if (api_ != nullptr) DisconnectLocked();
  parameters_.reset();
  error_.clear();
}

MysqlHandle* CTorvaneMysqlConn::GetHandle() {
  CriticalScope hold(lock_);
  return handle_;
}

void CTorvaneMysqlConn::SetTimeOut(int connect_seconds, int io_seconds) {
  CriticalScope hold(lock_);
  connect_timeout_ = std::max(connect_seconds, 1);
  io_timeout_ = std::max(io_seconds, 1);
}

void CTorvaneMysqlConn::SetMaxResult(int rows, int bytes) {
  CriticalScope hold(lock_);
  if (rows > 0) max_rows_ = rows;
  if (bytes > 0) max_bytes_ = bytes;
}

bool CTorvaneMysqlConn::SetCharset(const char* name) {
  const std::string_view text = name != nullptr ? name : "";
  const bool plain = !text.empty() && text.size() <= kMaxCharsetChars &&
                     std::all_of(text.begin(), text.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '_';
                     });
  if (!plain) return false;
  CriticalScope hold(lock_);
  charset_ = text;
  return true;
}

// }===========
// {=========== CTorvaneMysqlRecordSet

bool CTorvaneMysqlRecordSet::Open(const char* sql, CTorvaneMysqlConn* conn) {
  Close();
  return conn != nullptr && conn->Query(sql, &table_);
}

bool CTorvaneMysqlRecordSet::OpenParams(const char* sql, CTorvaneMysqlConn* conn,
                                        const std::vector<std::string>& values) {
  Close();
  return conn != nullptr && conn->QueryParams(sql, values, &table_);
}

bool CTorvaneMysqlRecordSet::FetchRow(KeyValueSink* row) {
  if (next_row_ >= table_.rows.size()) return false;
  const auto& values = table_.rows[next_row_++];
  if (row == nullptr) return true;
  row->Clear();
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i]) row->Add(table_.columns[i].c_str(), values[i]->c_str(), values[i]->size());
  }
  return true;
}

void CTorvaneMysqlRecordSet::Close() {
  table_ = MysqlTable();
  next_row_ = 0;
}

// }===========
