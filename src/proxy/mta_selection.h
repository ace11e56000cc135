// mta_selection - CSmtpBilancimento, the list of downstream MTAs and the
// choice of the one a session connects to: first server only, ordered
// failover, or round robin with failover. The proxy core fills it on every
// reload; a session worker runs its connect loop when the script asks for
// the default MTA.
#ifndef TORVANE_PROXY_MTA_SELECTION_H_
#define TORVANE_PROXY_MTA_SELECTION_H_

#include "base/object_array.h"
#include "base/config.h"
#include "base/mutex.h"
#include "base/xml_log.h"
#include "base/socket.h"
#include "base/statistics.h"
#include "base/string.h"

// Thread-safety: the object is its own lock (the inherited CCriticalSession).
// GetSmtpServer, ReplaceServers, GetServerCount and ConnectToDefaultMTA take
// it themselves; AddSmtpServer, RemoveAllSmtpServer and SetType REQUIRE the
// caller to hold it (StartSession/EndSession), so that a refill made of
// several calls is seen by the sessions as one step.
class CSmtpBilancimento : public CCriticalSession {
 public:
  // One downstream MTA.
  struct SereverSMTP {
    String port;          // decimal text of the port
    String host;          // host name or address
    String replace_name;  // the name the administrator gave this MTA
  };

  // Selection modes ("smtp_type"); any other value selects no server.
  enum Mode : unsigned int {
    kFirstServerOnly = 1,  // one attempt, at the first server
    kOrderedFailover = 2,  // each server once, in list order
    kRoundRobin = 3,       // start at the shared cursor, then fail over
  };

  // The configuration names this many MTAs ("smtp_server1" .. "smtp_server4").
  static constexpr int kConfiguredServers = 4;

  // Where ConnectToDefaultMTA reports. Both sinks are optional.
  struct ConnectRequest {
    int connection_id = 0;             // the session's id
    const char* adapter_ip = nullptr;  // local address; null or "": the host's own
    // A server that accepts the connection but sends nothing within this
    // time counts as failed (the next one is tried); 0 or less: no wait.
    int greeting_timeout_ms = 0;
    CLogSimple* log = nullptr;         // not owned; null: no log lines
    CStatitiche_Day* stats = nullptr;  // not owned; null: no counters
  };

  CSmtpBilancimento() = default;
  ~CSmtpBilancimento() override = default;

  // Appends a server unless one with the same host and port text is listed.
  // A null host is ignored. REQUIRES: the lock is held.
  void AddSmtpServer(const char* host, int port, const char* replace_name);
  // Empties the list. REQUIRES: the lock is held.
  void RemoveAllSmtpServer();
  // Sets the selection mode. REQUIRES: the lock is held.
  void SetType(unsigned int type);

  // The reload in one step under the lock: mode from "smtp_type", then
  // server n (1..4) when "smtp_serverN" is not empty and "smtp_portN" is
  // above 0, with "trasp_N" as its replacement name. A session asking
  // meanwhile sees the old list or the new one, never an empty one.
  // REQUIRES: the lock is not held by the caller.
  void ReplaceServers(const CConfig& config);

  // The next server to try for `connection_id` in one connect operation:
  // true with a copy in *out, false when none is left (empty list, unknown
  // mode, or every try of this operation used). The caller keeps *last_id
  // and *attempt for the whole operation: *attempt starts at 0, *last_id at
  // any value other than connection_id (0 for the listener's ids, which
  // start at 1). REQUIRES: out, last_id and attempt are not null. Takes the
  // lock.
  bool GetSmtpServer(SereverSMTP* out, int connection_id, int* last_id, int* attempt);
  // Servers listed now. Takes the lock.
  int GetServerCount();

  // The connect loop behind the script's ConnectToDefaultMTA: asks
  // GetSmtpServer for servers and connects `mta` to each in turn (closed
  // first, bound to the adapter address) until one accepts and starts to
  // greet (the greeting is left unread). Every attempt
  // logs one line at level 1 and counts one counter with the host. True,
  // with the server in *connected (when not null) and `mta` open, on the
  // first success; false when no server is left (`mta` closed) or none was
  // offered (`mta` untouched). The lock is not held while connecting.
  // REQUIRES: mta is not null and not used by another thread meanwhile.
  bool ConnectToDefaultMTA(CSocketComm* mta, const ConnectRequest& request, SereverSMTP* connected);

 private:
  // Per mode steps of GetSmtpServer. REQUIRES: the lock is held, the list
  // is not empty.
  bool NextFirstOnly(SereverSMTP* out, int connection_id, int* last_id);
  bool NextInOrder(SereverSMTP* out, int connection_id, int* last_id, int* attempt);
  bool NextRoundRobin(SereverSMTP* out, int connection_id, int* last_id, int* attempt);
  // Closes `mta` and connects it to `server`, then logs and counts.
  static bool TryServer(CSocketComm* mta, const SereverSMTP& server, const ConnectRequest& request);

  // Guarded by this object's lock.
  unsigned int type_ = kFirstServerOnly;
  int cursor_ = 0;  // round-robin position shared by every session
  CArray<SereverSMTP> servers_;
};

#endif  // TORVANE_PROXY_MTA_SELECTION_H_
