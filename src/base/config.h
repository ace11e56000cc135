// config - CConfig, the typed model of the gateway's configuration file.
// The INI items stay loaded (scripts may read any key through the inherited
// CFileINI), while every key the daemon itself knows is copied into a typed
// field with its default. The proxy core, the admin and the web server copy
// what they need from here when they are built and when they reload.
#ifndef TORVANE_BASE_CONFIG_H_
#define TORVANE_BASE_CONFIG_H_

#include <atomic>
#include <optional>
#include <string>

#include "base/object_array.h"
#include "base/ini_file.h"
#include "base/string.h"

// Threading: ReadConfig and SaveConfig exclude each other through the busy
// flag (a polling wait); the INI items have the CFileINI lock. The typed
// fields below are plain data written only by ReadConfig: read them from the
// thread that runs ReadConfig, or copy them when no ReadConfig can run (the
// components do so at construction and in their reload). The reload request
// (flag and level) may be posted and read from any thread, a signal handler
// included.
class CConfig : public CFileINI {
 public:
  using StringList = CArray<String, const String&>;

  // Resolver slots: DNS "nameserver_0" to "nameserver_3" are all read, gaps
  // allowed (other lists end at their first gap).
  static constexpr int kDnsServerSlots = 4;
  // ReadConfig and SaveConfig re-check the busy flag this often.
  static constexpr int kBusyPollMilliseconds = 5;
  // Random bytes digested into a generated READMIN "key".
  static constexpr int kAdminKeySourceBytes = 1024;
  // The relay's defaults, here once for the table and for the sessions
  // that take over a value below 1: the longest wait of one relay pass
  // ("socket_select_time", ms) and the bytes moved per read or data step
  // ("buffer_socket_size").
  static constexpr int kDefaultSocketSelectTime = 300;
  static constexpr int kDefaultBufferSocketSize = 4096;

  CConfig() = default;
  ~CConfig() override = default;

  // What SaveChanges did.
  enum class WriteBack {
    kUnchanged,     // the daemon changed nothing since it last read or wrote the file
    kWritten,       // the file now holds the daemon's version
    kWrittenBeside, // the file changed on disk meanwhile: it was kept, and the
                    // daemon's version written to "<file>.daemon"
    kFailed,
  };

  // Copies every known key from the loaded INI items into the fields,
  // applying the defaults (an absent key takes its default; an empty value
  // is a value). Lists are rebuilt; an empty READMIN "key" is generated and
  // an empty WEBGUI "path" derived (both count as changes the daemon made).
  // REQUIRES: the file was loaded (Load). Always true.
  bool ReadConfig();
  // When the daemon changed a field or an item since it last read or wrote
  // the file: writes every field back into the INI items (lists renumbered
  // from 0, surplus index keys deleted; "app_path" is never written) and
  // saves the file to the path it was loaded from - unless that file was
  // changed by someone else meanwhile (an administrator's edit is never
  // overwritten): the daemon's version then goes beside it.
  WriteBack SaveChanges();
  // SaveChanges; false only when it failed.
  bool SaveConfig() { return SaveChanges() != WriteBack::kFailed; }

  // The reload request posted by SIGHUP and by admin and cron scripts and
  // consumed by the main loop.
  void SetReboot(bool requested) { reboot_.store(requested); }
  bool IsToReboot() const { return reboot_.load(); }
  void SetLevelReboot(int level) { level_reboot_.store(level); }
  int GetLevelReboot() const { return level_reboot_.load(); }

  // ---- CONFIG ---------------------------------------------------------
  String app_path;  // "" = the working directory
  int loglevel = 0;
  String listen_ip;
  String listen_port;  // kept as text
  int n_max_listen = 0;
  String smtp_server1, smtp_server2, smtp_server3, smtp_server4;  // "" = unused
  int smtp_port1 = 0, smtp_port2 = 0, smtp_port3 = 0, smtp_port4 = 0;
  String trasp_1, trasp_2, trasp_3, trasp_4;  // name given to each MTA
  int smtp_type = 0;                          // MTA selection mode
  String myippub;
  String myname;  // fills the "%s" of "rfc421"
  String myemail;
  float score_for_spam = 0;
  float score_for_spam_max_hit = 0;
  int socket_select_time = 0;
  int buffer_socket_size = 0;
  String krnversion;
  int log_rot_type = 0;   // unit in seconds
  int log_rot_value = 0;  // count of units
  String adapter_ip;      // local address towards the MTAs; "" = the host's

  // ---- DNS ------------------------------------------------------------
  StringList dns_nameservers;  // never empty after ReadConfig
  int dns_timeout_millisecond = 0;
  int dns_delete_old_record_type = 0;
  int dns_delete_old_record_time = 0;

  // ---- DNSBL ----------------------------------------------------------
  StringList dnsbl_nameservers;  // "zone|weight"
  StringList dnsbl_wip;          // addresses never checked
  int dnsbl_timeout_millisecond = 0;
  int dnsbl_timeout_millisecond_sc = 0;
  int dnsbl_delete_old_record_type = 0;
  int dnsbl_delete_old_record_time = 0;
  int dnsbl_maxhit = 0;
  int dnsbl_maxreplies = 0;
  bool enable_dnsbl = false;
  bool reject_dnsbl = false;

  // ---- FIREWALL -------------------------------------------------------
  StringList relayip;
  int max_session_ip = 0;
  int error_max = 0;
  int cmd_noop = 0;
  int timeout_client = 0;
  bool local_domains_only = false;  // refuse recipients outside the local domains
  // Seconds: the longest SMTP session, the longest one command (a message
  // counts as one), the longest wait for an MTA reply, and for the greeting
  // of a newly connected MTA before the next one is tried.
  int session_timeout = 0;
  int command_timeout = 0;
  int mta_timeout = 0;
  int mta_greeting_timeout = 0;
  // Message data with a bare CR or LF is refused (1) or passed on with
  // every bare line end made CR LF (0).
  bool refuse_bare_line_ends = true;

  // ---- BAYES ----------------------------------------------------------
  float occorenze_per = 0;
  float p_bayes_ham = 0;
  float p_bayes_spam = 0;
  int bayes_delete_mail_type = 0;
  int bayes_delete_mail_time = 0;
  int bayes_method = 0;            // 0 word counters, 1 token table
  float bayes_spam_cutoff = 0;     // token score at or above: spam
  float bayes_ham_cutoff = 0;      // at or below: ham
  int bayes_min_trained = 0;       // messages of each class before a verdict
  int bayes_token_delete_type = 0;
  int bayes_token_delete_time = 0;

  // ---- GREYLIST -------------------------------------------------------
  int grey_delete_mail_type = 0;
  int grey_delete_mail_time = 0;
  int grey_embargo_type = 0;
  int grey_embargo_time = 0;
  float grey_forged_score = 0;
  StringList grey_wip;  // "field|field|field"
  bool enable_greylist = false;  // read by the antispam scripts
  int grey_max_records = 0;      // triples kept at most (0: no cap)

  // ---- ALWL -----------------------------------------------------------
  int alwl_transito_type = 0;
  int alwl_transito_time = 0;
  float alwl_score = 0;
  bool enable_alwl = false;  // read by the antispam scripts
  int alwl_max_records = 0;  // pairs kept at most (0: no cap)

  // ---- HELO -----------------------------------------------------------
  float helo_rfc = 0;
  float helo_ip = 0;
  bool helo_forget_reject = false;
  float p_helo_forget = 0;

  // ---- RFC (reply templates) ------------------------------------------
  String rfc421, rfc530, rfc550, rfc554, rfc451;

  // ---- COMMUNITY ------------------------------------------------------
  String cmy_key;
  int cmy_timeout = 0;
  float cmy_softfail = 0;
  float cmy_fail = 0;
  float cmy_hardfail = 0;
  String cmy_server;  // the service's server asked for the server list

  // ---- SPF ------------------------------------------------------------
  bool spf_enable = false;
  bool spf_reject_fail = false;
  float spf_score_pass = 0;
  float spf_score_softfail = 0;
  float spf_score_fail = 0;
  int spf_cache_type = 0;
  int spf_cache_time = 0;
  int spf_max_recursion = 0;
  bool spf_strict = false;  // RFC 7208 evaluation instead of the default reading

  // ---- PHISHING -------------------------------------------------------
  float phishing_score = 0;
  bool automatico = false;
  int tempo = 0;
  bool euristica = false;

  // ---- READMIN --------------------------------------------------------
  bool readmin_enable = false;
  int readmin_port = 0;
  int readmin_max_listen = 0;
  String readmin_key;  // 32 lower-case hex characters once read
  String readmin_superuser;
  String readmin_password;  // MD5 hex digest
  int readmin_socket_select_time = 0;
  int readmin_buffer_socket_size = 0;
  StringList readmin_ip_allow;
  String readmin_listen;              // the address the admin port binds
  int readmin_max_request = 0;        // bytes of one request at most
  int readmin_auth_timeout = 0;       // seconds to the first complete request
  int readmin_max_auth_failures = 0;  // bad keys within a minute before a lockout
  int readmin_auth_lockout_time = 0;  // seconds an address stays locked out
  int readmin_auth_mode = 0;          // 1: requests must be signed and fresh

  // ---- CS_SCRIPT ------------------------------------------------------
  bool cs_script_enable = false;  // built-in admission checks
  bool enable_cache_script = false;
  StringList cs_scripts;  // "number|file", sorted ignoring case
  // Milliseconds of CPU time one script call may use: an antispam event,
  // a cron job's main.
  int event_cpu_ms = 0;
  int cron_cpu_ms = 0;

  // ---- WEBGUI ---------------------------------------------------------
  String webgui_listen;
  String webgui_port;  // kept as text
  int webgui_maxconn = 0;
  int webgui_buffer_out = 0;
  int webgui_time_keep_alive = 0;
  int webgui_max_select_socket_server = 0;
  int webgui_min_select_socket_child = 0;
  int webgui_num_server = 0;
  String webgui_path;  // never empty after ReadConfig
  int webgui_max_post = 0;          // bytes of a request body at most
  int webgui_request_timeout = 0;   // seconds from a request's first byte to its last
  int webgui_max_script_time = 0;   // seconds a page may run (0: no limit)
  int webgui_security_headers = 0;  // 1: answers carry nosniff, CSP and Referrer-Policy

  // ---- HEADER_MSG -----------------------------------------------------
  String x_subject;
  String x_torvane_spam;

  // ---- MTA ------------------------------------------------------------
  // What the MTA is told of the client: a Received header for the client's
  // hop on every relayed message, and XCLIENT when the MTA offers it.
  bool mta_trace_header = true;
  bool mta_xclient = false;
  // TLS towards the MTA: "none", "may" (STARTTLS when the MTA offers it) or
  // "encrypt" (no relaying without it); with a CA file the MTA's
  // certificate must chain to it and name the MTA's host.
  String mta_tls;
  String mta_tls_ca_file;

  // ---- TLS ------------------------------------------------------------
  // STARTTLS for clients: PEM certificate chain and key; a relative path
  // is under the application folder.
  bool tls_enable = false;
  String tls_cert_file;
  String tls_key_file;

  // ---- CRON -----------------------------------------------------------
  int cron_max_run_minutes = 0;      // a job running longer is stopped; 0 = no limit
  bool cron_reload_crontab = false;  // a level-0 reload re-reads a changed crontab
  // Read by the shipped housekeeping job, kept here for their defaults.
  int cron_keep_log_days = 0;        // archived logs/log_*.xml
  int cron_keep_stats_days = 0;      // db/DAY_*.stc day files

 private:
  // Fills readmin_key when it is empty and webgui_path when it is empty.
  void FillDerivedValues();
  // The daemon's view of the configuration: the items as they would be
  // written, then every field's value.
  std::string StateText();
  // StateText when the file was last read or written, and the file's digest
  // then (none before the first read).
  std::string synced_state_;
  std::optional<std::string> synced_digest_;

  std::atomic<bool> busy_{false};  // ReadConfig or SaveConfig is running
  std::atomic<bool> reboot_{false};
  std::atomic<int> level_reboot_{-1};
};

#endif  // TORVANE_BASE_CONFIG_H_
