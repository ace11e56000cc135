// community_client - CCommunityTorvane ("Torvane community"), the client of a
// shared reputation service: gateways report (sender network, sender) pairs
// they judged spam and ask the service for its verdict on a pair. Every
// message is one UDP datagram of 256 bytes to port 6666 of a server,
// carrying the site's 32-character account key and an operation code:
// "003" report, "004" query, "005" key test, "006" server list.
#ifndef TORVANE_ENGINES_COMMUNITY_CLIENT_H_
#define TORVANE_ENGINES_COMMUNITY_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/key_value_sink.h"
#include "base/string.h"
#include "base/xml_log.h"

class CConfig;
class CDnsClient;
class CDns;

// What a reload gives the client; sessions read one immutable copy per
// request.
struct CommunitySettings {
  std::string key;             // lower-cased; usable only at exactly kKeyChars
  int timeout_ms = 400;        // the wait for one reply, clamped on apply
  float score_soft_fail = 2.5f;
  float score_fail = 5.0f;
  float score_hard_fail = 10.0f;
  std::string default_server;  // asked for the server list; "" sends nothing
};

// The COMMUNITY section of the configuration.
CommunitySettings CommunitySettingsFromConfig(const CConfig& config);

// Thread-safety: every method may be called from any thread. Each request
// uses a UDP socket of its own, connected to the chosen server, so only
// datagrams from that server's address and port are read. Settings are an
// immutable snapshot replaced whole; the server list has its own lock.
class CCommunityTorvane {
 public:
  static constexpr uint16_t kPort = 6666;
  static constexpr size_t kDatagramBytes = 256;  // every request, and the most of a reply read
  static constexpr size_t kKeyChars = 32;
  // Requests of one query, report or key test before it gives up.
  static constexpr int kMaxAttempts = 4;
  // Slack on top of the reply wait for the deadline of one request.
  static constexpr int kDeadlineSlackMs = 50;
  // The reply wait is clamped to this range: shorter misses a loaded
  // service, longer lets one silent server stall a session for long.
  static constexpr int kMinTimeoutMs = 50;
  static constexpr int kMaxTimeoutMs = 5000;
  // A server list holds 1 to kMaxServers entries.
  static constexpr size_t kMaxServers = 32;

  // `resolver` (not owned, may be null: then servers must be dotted quads)
  // turns server host names into addresses.
  explicit CCommunityTorvane(CDns* resolver = nullptr);
  // Waits for a refresh still running.
  ~CCommunityTorvane();
  CCommunityTorvane(const CCommunityTorvane&) = delete;
  CCommunityTorvane& operator=(const CCommunityTorvane&) = delete;

  // Replaces the settings (timeout clamped, key lower-cased) in one step.
  void ApplySettings(const CommunitySettings& settings);
  std::shared_ptr<const CommunitySettings> Settings() const;

  // Single-setting forms of ApplySettings. SetSegretKey returns 1.
  int SetSegretKey(const char* key);
  String GetSegretKey() const;
  // 1 when the key is exactly kKeyChars long.
  int IsvalidKey() const;
  void SetTimeOut(int ms);
  void SetScoreSoftFail(float value);
  void SetScoreFail(float value);
  void SetScoreHardFail(float value);

  // The server list: entries are kept as given (trimmed, lower-cased).
  void AddCommunityServer(const char* address);
  void ResetAllCommunityServer();
  int GetServerCount() const;
  // Hands each server to `sink` as address -> address.
  void PopolateForRADMIN(KeyValueSink* sink) const;
  // A server to ask: the default server while the list is empty, else one
  // drawn at random. "" when there is none.
  std::string GetOneRandomCommunityServer() const;

  // The service's verdict on the pair as a score (0.0 without a usable key,
  // from attempt kMaxAttempts on, or when no server answers in
  // kMaxAttempts requests to servers drawn anew each time). `answered`,
  // when given, is false only when a usable key's question got no reply.
  float CommunityQuery(const char* client_address, const char* client_host, const char* sender,
                       bool* answered = nullptr, int attempt = 0);
  // Reports the pair as spam; nothing for a LAN client or without a key.
  void CommunityAnnunce(const char* client_address, const char* client_host, const char* sender,
                        int attempt = 0);
  // 1 when the service answers "OK" to `key` (the client's own key when
  // null or empty, which must then be usable).
  int CommunityTest(int attempt, const char* key);
  // Asks the default server for the server list and takes it when it is
  // one (ParseServerList); else the old list stays, logged. 1 when a list
  // was taken.
  int RefreshServerFromCommunity(int attempt = 0);
  // RefreshServerFromCommunity on a thread of its own, unless one runs
  // already; returns at once.
  void RefreshInBackground();

  float GetscoreFromRes(std::string_view word) const;
  // "SOFTFAIL", "FAIL", "HARDFAIL" for the configured scores, else "NEUTRAL".
  const char* GetResFromScore(float score) const;

  // 1 for 127.0.0.x, 10.x.x.x, 192.168.x.x and 172.16.x.x - 172.31.x.x.
  static int IsLanIp(const char* address);

  // ---- the wire, shared with the tests and the fuzz target
  // The 256-byte request: key, operation code, `payload`, spaces.
  static std::string BuildRequest(std::string_view key, std::string_view code, std::string_view payload);
  // The digest a report or query carries: MD5 hex of the lower-cased
  // network part (the client's host name without its first label when it
  // has a domain, else the address) followed by the sender.
  static std::string PairDigest(const char* client_address, const char* client_host, const char* sender);
  // A reply as text: at most kDatagramBytes, up to a NUL, trimmed.
  static std::string_view ReplyText(std::string_view datagram);
  // Parses a server-list reply: 1 to kMaxServers space-separated words, each
  // a dotted quad or a host name. False (and `servers` untouched) otherwise.
  static bool ParseServerList(std::string_view reply, std::vector<std::string>* servers);

  // Records of the refreshes, for the owner to merge into its log.
  CLogSimple& GetLog() { return log_; }

 private:
  // Sends `request` and waits for one reply (up to kMaxAttempts requests
  // from `attempt` on; servers drawn anew each time unless `to_default`).
  // False when nothing came.
  bool Exchange(const std::string& request, int attempt, bool to_default, std::string* reply) const;
  // Reads up to `count` datagrams within timeout x count + the slack.
  int ReadToCommunity(CDnsClient* client, std::string* out, int count, int timeout_ms) const;
  // The address to send to: a dotted quad as it is, a name through the
  // resolver; "" when it does not resolve.
  std::string AddressOf(const std::string& server) const;
  // Applies `change` to a copy of the settings and publishes it.
  template <typename Change>
  void Update(Change change);

  CDns* resolver_;  // not owned; may be null

  mutable std::mutex settings_lock_;
  std::shared_ptr<const CommunitySettings> settings_;  // guarded by settings_lock_

  mutable std::mutex lock_;
  std::vector<std::string> servers_;  // guarded by lock_

  std::mutex refresh_lock_;  // guards refresher_
  std::thread refresher_;
  std::atomic<bool> refreshing_{false};

  CLogSimple log_;
};

#endif  // TORVANE_ENGINES_COMMUNITY_CLIENT_H_
