// config - the table of configuration keys and the two walks over it:
// ReadConfig copies INI items into typed fields, SaveConfig writes them back.
#include "base/config.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <span>
#include <variant>

#include "base/md5.h"
#include "base/utility.h"

namespace {

using StringList = CConfig::StringList;

// ---- Key kinds ------------------------------------------------------------

struct IntKey {
  int CConfig::*field;
  int fallback;
};
struct FloatKey {
  float CConfig::*field;
  float fallback;
};
// Read as an int (anything but 0 is on), written as 1 or 0.
struct SwitchKey {
  bool CConfig::*field;
  bool fallback;
};
struct TextKey {
  String CConfig::*field;
  const char* fallback;
};
// Read like a text (the readers take it as a TextKey) but never written
// back: "app_path" is the installer's.
struct ReadOnlyTextKey : TextKey {};

enum class ListEnd {
  kFixedSlots,  // indices 0..kDnsServerSlots-1 all read, empty ones skipped
  kFirstGap,    // read from 0 up to the first absent or empty index
};
enum class ListOrder { kAsRead, kSortedNoCase };

// Entries under "<stem><index>" keys, taking `fallback` when none is read.
struct ListKey {
  StringList CConfig::*field;
  ListEnd end;
  ListOrder order;
  std::span<const char* const> fallback;
};

// One row of the configuration table. `key` is the INI key, or for a list
// the stem its index is appended to.
struct ConfigKey {
  const char* section;
  const char* key;
  std::variant<IntKey, FloatKey, SwitchKey, TextKey, ReadOnlyTextKey, ListKey> kind;
};

// ---- Defaults that are lists or derived -----------------------------------

constexpr const char* kDefaultResolvers[] = {"127.0.0.1"};
// Public block-list zones with the weight each listing adds.
constexpr const char* kDefaultDnsblZones[] = {
    "bl.spamcop.net|1.450",
    "dnsbl.sorbs.net|1.450",
    "zen.spamhaus.org|4.850",
    "b.barracudacentral.org|4.500",
};
// A large provider whose retrying pools would otherwise be greylisted: the
// domain its sending hosts are named under (their confirmed reverse names
// lie in it), not the domain of its mail addresses.
constexpr const char* kDefaultGreyWhite[] = {"google.com||"};
constexpr const char* kDefaultScripts[] = {"1|core.cs"};
constexpr std::span<const char* const> kNoDefault;

// MD5 hex digest of the built-in administrator password "vopex".
constexpr const char kDefaultAdminPasswordMd5[] = "6f7e880f06c99508bdb46d1da6e21d36";
// A generated admin key digests random bytes in 1..kAdminKeyByteRange (never
// NUL), as keys have always been made.
constexpr uint32_t kAdminKeyByteRange = 253;

// ---- The table ------------------------------------------------------------
// In the order SaveConfig writes: a key missing from the file lands at the
// top of its section (or a new section at the end), so this order decides
// the layout of a file the daemon completes. "adapter_ip" comes after SPF.

const ConfigKey kConfigKeys[] = {
    {"CONFIG", "app_path", ReadOnlyTextKey{{&CConfig::app_path, ""}}},
    {"CONFIG", "loglevel", IntKey{&CConfig::loglevel, 0}},
    {"CONFIG", "listen_ip", TextKey{&CConfig::listen_ip, "0.0.0.0"}},
    {"CONFIG", "listen_port", TextKey{&CConfig::listen_port, "25"}},
    {"CONFIG", "n_max_listen", IntKey{&CConfig::n_max_listen, 20}},
    {"CONFIG", "smtp_server1", TextKey{&CConfig::smtp_server1, "localhost"}},
    {"CONFIG", "smtp_server2", TextKey{&CConfig::smtp_server2, ""}},
    {"CONFIG", "smtp_server3", TextKey{&CConfig::smtp_server3, ""}},
    {"CONFIG", "smtp_server4", TextKey{&CConfig::smtp_server4, ""}},
    {"CONFIG", "smtp_port1", IntKey{&CConfig::smtp_port1, 225}},
    {"CONFIG", "smtp_port2", IntKey{&CConfig::smtp_port2, 0}},
    {"CONFIG", "smtp_port3", IntKey{&CConfig::smtp_port3, 0}},
    {"CONFIG", "smtp_port4", IntKey{&CConfig::smtp_port4, 0}},
    {"CONFIG", "trasp_1", TextKey{&CConfig::trasp_1, "mail.example.com"}},
    {"CONFIG", "trasp_2", TextKey{&CConfig::trasp_2, ""}},
    {"CONFIG", "trasp_3", TextKey{&CConfig::trasp_3, ""}},
    {"CONFIG", "trasp_4", TextKey{&CConfig::trasp_4, ""}},
    {"CONFIG", "smtp_type", IntKey{&CConfig::smtp_type, 1}},
    {"CONFIG", "myippub", TextKey{&CConfig::myippub, ""}},
    {"CONFIG", "myname", TextKey{&CConfig::myname, ""}},
    {"CONFIG", "myemail", TextKey{&CConfig::myemail, ""}},
    {"CONFIG", "score_for_spam", FloatKey{&CConfig::score_for_spam, 5.0f}},
    {"CONFIG", "score_for_spam_max_hit", FloatKey{&CConfig::score_for_spam_max_hit, 20.0f}},
    {"CONFIG", "socket_select_time", IntKey{&CConfig::socket_select_time, CConfig::kDefaultSocketSelectTime}},
    {"CONFIG", "buffer_socket_size", IntKey{&CConfig::buffer_socket_size, CConfig::kDefaultBufferSocketSize}},
    {"CONFIG", "krnversion", TextKey{&CConfig::krnversion, ""}},
    {"CONFIG", "log_rot_type", IntKey{&CConfig::log_rot_type, 2}},
    {"CONFIG", "log_rot_value", IntKey{&CConfig::log_rot_value, 1}},

    {"DNS", "nameserver_",
     ListKey{&CConfig::dns_nameservers, ListEnd::kFixedSlots, ListOrder::kAsRead, kDefaultResolvers}},
    {"DNS", "timeout_millisecond", IntKey{&CConfig::dns_timeout_millisecond, 2000}},
    {"DNS", "delete_old_record_type", IntKey{&CConfig::dns_delete_old_record_type, 60}},
    {"DNS", "delete_old_record_time", IntKey{&CConfig::dns_delete_old_record_time, 30}},

    {"DNSBL", "nameserver_",
     ListKey{&CConfig::dnsbl_nameservers, ListEnd::kFirstGap, ListOrder::kAsRead, kDefaultDnsblZones}},
    {"DNSBL", "wip_", ListKey{&CConfig::dnsbl_wip, ListEnd::kFirstGap, ListOrder::kAsRead, kNoDefault}},
    {"DNSBL", "timeout_millisecond", IntKey{&CConfig::dnsbl_timeout_millisecond, 2100}},
    {"DNSBL", "timeout_millisecond_sc", IntKey{&CConfig::dnsbl_timeout_millisecond_sc, 500}},
    {"DNSBL", "delete_old_record_type", IntKey{&CConfig::dnsbl_delete_old_record_type, 60}},
    {"DNSBL", "delete_old_record_time", IntKey{&CConfig::dnsbl_delete_old_record_time, 30}},
    {"DNSBL", "maxhit", IntKey{&CConfig::dnsbl_maxhit, 3}},
    {"DNSBL", "maxreplies", IntKey{&CConfig::dnsbl_maxreplies, 4}},
    {"DNSBL", "enable_dnsbl", SwitchKey{&CConfig::enable_dnsbl, true}},
    {"DNSBL", "reject_dnsbl", SwitchKey{&CConfig::reject_dnsbl, true}},

    {"FIREWALL", "relayip_", ListKey{&CConfig::relayip, ListEnd::kFirstGap, ListOrder::kAsRead, kNoDefault}},
    {"FIREWALL", "max_session_ip", IntKey{&CConfig::max_session_ip, 3}},
    {"FIREWALL", "error_max", IntKey{&CConfig::error_max, 3}},
    {"FIREWALL", "cmd_noop", IntKey{&CConfig::cmd_noop, 3}},
    {"FIREWALL", "timeout_client", IntKey{&CConfig::timeout_client, 60}},
    {"FIREWALL", "local_domains_only", SwitchKey{&CConfig::local_domains_only, false}},
    {"FIREWALL", "session_timeout", IntKey{&CConfig::session_timeout, 600}},
    {"FIREWALL", "command_timeout", IntKey{&CConfig::command_timeout, 300}},
    {"FIREWALL", "mta_timeout", IntKey{&CConfig::mta_timeout, 300}},
    {"FIREWALL", "mta_greeting_timeout", IntKey{&CConfig::mta_greeting_timeout, 30}},
    {"FIREWALL", "refuse_bare_line_ends", SwitchKey{&CConfig::refuse_bare_line_ends, true}},

    {"BAYES", "occorenze_per", FloatKey{&CConfig::occorenze_per, 32.0f}},
    {"BAYES", "p_bayes_ham", FloatKey{&CConfig::p_bayes_ham, -3.99f}},
    {"BAYES", "p_bayes_spam", FloatKey{&CConfig::p_bayes_spam, 5.1f}},
    {"BAYES", "bayes_delete_mail_type", IntKey{&CConfig::bayes_delete_mail_type, 3600}},
    {"BAYES", "bayes_delete_mail_time", IntKey{&CConfig::bayes_delete_mail_time, 72}},
    {"BAYES", "bayes_method", IntKey{&CConfig::bayes_method, 0}},
    {"BAYES", "bayes_spam_cutoff", FloatKey{&CConfig::bayes_spam_cutoff, 0.9f}},
    {"BAYES", "bayes_ham_cutoff", FloatKey{&CConfig::bayes_ham_cutoff, 0.2f}},
    {"BAYES", "bayes_min_trained", IntKey{&CConfig::bayes_min_trained, 20}},
    {"BAYES", "bayes_token_delete_type", IntKey{&CConfig::bayes_token_delete_type, 86400}},
    {"BAYES", "bayes_token_delete_time", IntKey{&CConfig::bayes_token_delete_time, 30}},

    {"GREYLIST", "grey_delete_mail_type", IntKey{&CConfig::grey_delete_mail_type, 3600}},
    {"GREYLIST", "grey_delete_mail_time", IntKey{&CConfig::grey_delete_mail_time, 12}},
    {"GREYLIST", "grey_embargo_type", IntKey{&CConfig::grey_embargo_type, 60}},
    {"GREYLIST", "grey_embargo_time", IntKey{&CConfig::grey_embargo_time, 1}},
    {"GREYLIST", "grey_forged_score", FloatKey{&CConfig::grey_forged_score, 0.9f}},
    {"GREYLIST", "wip_", ListKey{&CConfig::grey_wip, ListEnd::kFirstGap, ListOrder::kAsRead, kDefaultGreyWhite}},
    {"GREYLIST", "enable_greylist", SwitchKey{&CConfig::enable_greylist, true}},
    {"GREYLIST", "grey_max_records", IntKey{&CConfig::grey_max_records, 1000000}},

    {"ALWL", "alwl_transito_type", IntKey{&CConfig::alwl_transito_type, 3600}},
    {"ALWL", "alwl_transito_time", IntKey{&CConfig::alwl_transito_time, 96}},
    {"ALWL", "alwl_score", FloatKey{&CConfig::alwl_score, -10.0f}},
    {"ALWL", "enable_alwl", SwitchKey{&CConfig::enable_alwl, true}},
    {"ALWL", "alwl_max_records", IntKey{&CConfig::alwl_max_records, 200000}},

    {"HELO", "helo_rfc", FloatKey{&CConfig::helo_rfc, 5.0f}},
    {"HELO", "helo_ip", FloatKey{&CConfig::helo_ip, 2.5f}},
    {"HELO", "helo_forget_reject", SwitchKey{&CConfig::helo_forget_reject, true}},
    {"HELO", "p_helo_forget", FloatKey{&CConfig::p_helo_forget, 10.0f}},

    {"RFC", "rfc421", TextKey{&CConfig::rfc421, "421 <%s> Service not available, closing transmission channel"}},
    {"RFC", "rfc530", TextKey{&CConfig::rfc530, "530 Relaying not allowed"}},
    {"RFC", "rfc550", TextKey{&CConfig::rfc550, "550 5.7.1 Message rejected by internal domain policy. %s"}},
    {"RFC", "rfc554", TextKey{&CConfig::rfc554, "554 5.7.7 %s"}},
    {"RFC", "rfc451", TextKey{&CConfig::rfc451, "451 4.7.1 GREY LIST try again later"}},

    {"COMMUNITY", "cmy_key", TextKey{&CConfig::cmy_key, ""}},
    {"COMMUNITY", "cmy_timeout", IntKey{&CConfig::cmy_timeout, 400}},
    {"COMMUNITY", "cmy_softfail", FloatKey{&CConfig::cmy_softfail, 2.5f}},
    {"COMMUNITY", "cmy_fail", FloatKey{&CConfig::cmy_fail, 5.0f}},
    {"COMMUNITY", "cmy_hardfail", FloatKey{&CConfig::cmy_hardfail, 10.0f}},
    {"COMMUNITY", "cmy_server", TextKey{&CConfig::cmy_server, ""}},

    {"SPF", "spf_enable", SwitchKey{&CConfig::spf_enable, true}},
    {"SPF", "spf_reject_fail", SwitchKey{&CConfig::spf_reject_fail, true}},
    {"SPF", "spf_score_pass", FloatKey{&CConfig::spf_score_pass, 0.0f}},
    {"SPF", "spf_score_softfail", FloatKey{&CConfig::spf_score_softfail, 4.9f}},
    {"SPF", "spf_score_fail", FloatKey{&CConfig::spf_score_fail, 5.0f}},
    {"SPF", "spf_cache_type", IntKey{&CConfig::spf_cache_type, 86400}},
    {"SPF", "spf_cache_time", IntKey{&CConfig::spf_cache_time, 2}},
    {"SPF", "spf_max_recursion", IntKey{&CConfig::spf_max_recursion, 30}},
    {"SPF", "spf_strict", SwitchKey{&CConfig::spf_strict, false}},

    {"CONFIG", "adapter_ip", TextKey{&CConfig::adapter_ip, ""}},

    {"PHISHING", "phishing_score", FloatKey{&CConfig::phishing_score, 10.0f}},
    {"PHISHING", "automatico", SwitchKey{&CConfig::automatico, false}},
    {"PHISHING", "tempo", IntKey{&CConfig::tempo, 0}},
    {"PHISHING", "euristica", SwitchKey{&CConfig::euristica, true}},

    {"READMIN", "enable", SwitchKey{&CConfig::readmin_enable, false}},
    {"READMIN", "port", IntKey{&CConfig::readmin_port, 33}},
    {"READMIN", "max_listen", IntKey{&CConfig::readmin_max_listen, 20}},
    {"READMIN", "key", TextKey{&CConfig::readmin_key, ""}},  // generated when empty
    {"READMIN", "superuser", TextKey{&CConfig::readmin_superuser, "root"}},
    {"READMIN", "password", TextKey{&CConfig::readmin_password, kDefaultAdminPasswordMd5}},
    {"READMIN", "socket_select_time", IntKey{&CConfig::readmin_socket_select_time, 300}},
    {"READMIN", "buffer_socket_size", IntKey{&CConfig::readmin_buffer_socket_size, 4096}},
    {"READMIN", "ip_allow_",
     ListKey{&CConfig::readmin_ip_allow, ListEnd::kFirstGap, ListOrder::kAsRead, kNoDefault}},
    {"READMIN", "listen", TextKey{&CConfig::readmin_listen, "0.0.0.0"}},
    {"READMIN", "max_request", IntKey{&CConfig::readmin_max_request, 64 << 20}},
    {"READMIN", "auth_timeout", IntKey{&CConfig::readmin_auth_timeout, 30}},
    {"READMIN", "max_auth_failures", IntKey{&CConfig::readmin_max_auth_failures, 5}},
    {"READMIN", "auth_lockout_time", IntKey{&CConfig::readmin_auth_lockout_time, 300}},
    {"READMIN", "auth_mode", IntKey{&CConfig::readmin_auth_mode, 0}},

    {"CS_SCRIPT", "enable", SwitchKey{&CConfig::cs_script_enable, false}},
    {"CS_SCRIPT", "enable_cache_script", SwitchKey{&CConfig::enable_cache_script, false}},
    {"CS_SCRIPT", "cs_",
     ListKey{&CConfig::cs_scripts, ListEnd::kFirstGap, ListOrder::kSortedNoCase, kDefaultScripts}},
    {"CS_SCRIPT", "event_cpu_ms", IntKey{&CConfig::event_cpu_ms, 1000}},
    {"CS_SCRIPT", "cron_cpu_ms", IntKey{&CConfig::cron_cpu_ms, 60000}},

    {"WEBGUI", "listen", TextKey{&CConfig::webgui_listen, "127.0.0.1"}},
    {"WEBGUI", "port", TextKey{&CConfig::webgui_port, "6969"}},
    {"WEBGUI", "maxconn", IntKey{&CConfig::webgui_maxconn, 20}},
    {"WEBGUI", "buffer_out", IntKey{&CConfig::webgui_buffer_out, 1024}},
    {"WEBGUI", "time_keep_alive", IntKey{&CConfig::webgui_time_keep_alive, 10}},
    {"WEBGUI", "max_select_socket_server", IntKey{&CConfig::webgui_max_select_socket_server, 600}},
    {"WEBGUI", "min_select_socket_child", IntKey{&CConfig::webgui_min_select_socket_child, 150}},
    {"WEBGUI", "num_server", IntKey{&CConfig::webgui_num_server, 5}},
    {"WEBGUI", "path", TextKey{&CConfig::webgui_path, ""}},  // derived when empty
    {"WEBGUI", "max_post", IntKey{&CConfig::webgui_max_post, 11048576}},
    {"WEBGUI", "request_timeout", IntKey{&CConfig::webgui_request_timeout, 30}},
    {"WEBGUI", "max_script_time", IntKey{&CConfig::webgui_max_script_time, 30}},
    {"WEBGUI", "security_headers", IntKey{&CConfig::webgui_security_headers, 1}},

    {"HEADER_MSG", "x_subject", TextKey{&CConfig::x_subject, "***SPAM***"}},
    {"HEADER_MSG", "x_torvane_spam", TextKey{&CConfig::x_torvane_spam, "X-TORVANE-Spam: YES"}},

    {"CRON", "max_run_minutes", IntKey{&CConfig::cron_max_run_minutes, 0}},
    {"CRON", "reload_crontab", SwitchKey{&CConfig::cron_reload_crontab, false}},
    {"CRON", "keep_log_days", IntKey{&CConfig::cron_keep_log_days, 30}},
    {"CRON", "keep_stats_days", IntKey{&CConfig::cron_keep_stats_days, 400}},

    {"MTA", "trace_header", SwitchKey{&CConfig::mta_trace_header, true}},
    {"MTA", "xclient", SwitchKey{&CConfig::mta_xclient, false}},
    {"MTA", "tls", TextKey{&CConfig::mta_tls, "may"}},
    {"MTA", "tls_ca_file", TextKey{&CConfig::mta_tls_ca_file, ""}},

    {"TLS", "enable", SwitchKey{&CConfig::tls_enable, false}},
    {"TLS", "cert_file", TextKey{&CConfig::tls_cert_file, ""}},
    {"TLS", "key_file", TextKey{&CConfig::tls_key_file, ""}},
};

// ---- Helpers --------------------------------------------------------------

const char* TextOf(const String& s) { return s.GetData() ? s.GetData() : ""; }

// The key of entry `index` of a list.
String IndexedKey(const char* stem, int index) {
  String key;
  key.Format("%s%d", stem, index);
  return key;
}

// Indices a list always covers, present or not; beyond them a list ends at
// its first gap.
int FixedSlots(ListEnd end) { return end == ListEnd::kFixedSlots ? CConfig::kDnsServerSlots : 0; }

void SortNoCase(StringList* list) {
  std::stable_sort(list->begin(), list->end(), [](const String& a, const String& b) {
    return String::MyCompare(TextOf(a), TextOf(b)) < 0;
  });
}

// Holds the busy flag for a scope, polling until it is free.
class BusyScope {
 public:
  explicit BusyScope(std::atomic<bool>& busy) : busy_(busy) {
    bool idle = false;
    while (!busy_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
      idle = false;
      MySleep(CConfig::kBusyPollMilliseconds);
    }
  }
  ~BusyScope() { busy_.store(false, std::memory_order_release); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  std::atomic<bool>& busy_;
};

// Fills `n` bytes from the kernel's random source. False when it fails.
bool FillRandom(void* out, size_t n) {
  auto* at = static_cast<uint8_t*>(out);
  while (n > 0) {
    const ssize_t got = getrandom(at, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A fresh READMIN key: the MD5 hex digest of random bytes. Empty when the
// random source fails (the next ReadConfig tries again).
String GenerateAdminKey() {
  uint32_t draws[CConfig::kAdminKeySourceBytes];
  if (!FillRandom(draws, sizeof(draws))) return String("");
  uint8_t bytes[CConfig::kAdminKeySourceBytes];
  for (int i = 0; i < CConfig::kAdminKeySourceBytes; ++i) {
    bytes[i] = static_cast<uint8_t>(1 + draws[i] % kAdminKeyByteRange);
  }
  return MD5Hex(bytes, sizeof(bytes));
}

// The working directory, "" when it cannot be read.
String WorkingDirectory() {
  char path[PATH_MAX];
  return String(getcwd(path, sizeof(path)) != nullptr ? path : "");
}

// ---- The two walks --------------------------------------------------------

// Copies one key from the INI items into its field.
class FieldReader {
 public:
  FieldReader(CConfig* config, const ConfigKey& row) : config_(config), row_(row) {}

  void operator()(const IntKey& k) { config_->*k.field = config_->GetInt(row_.section, row_.key, k.fallback); }
  void operator()(const FloatKey& k) {
    config_->*k.field = config_->GetDouble(row_.section, row_.key, k.fallback);
  }
  void operator()(const SwitchKey& k) {
    config_->*k.field = config_->GetInt(row_.section, row_.key, k.fallback ? 1 : 0) != 0;
  }
  void operator()(const TextKey& k) { config_->GetString(&(config_->*k.field), row_.section, row_.key, k.fallback); }
  void operator()(const ListKey& k) {
    StringList& list = config_->*k.field;
    list.RemoveAll();
    String value;
    const int fixed = FixedSlots(k.end);
    for (int i = 0; i < fixed || k.end == ListEnd::kFirstGap; ++i) {
      const bool present = config_->FindValue(row_.section, TextOf(IndexedKey(row_.key, i)), &value);
      if (present && !value.IsEmpty()) {
        list.Add(value);
      } else if (k.end == ListEnd::kFirstGap) {
        break;
      }
    }
    if (list.GetSize() == 0) {
      for (const char* entry : k.fallback) list.Add(String(entry));
    }
    if (k.order == ListOrder::kSortedNoCase) SortNoCase(&list);
  }

 private:
  CConfig* config_;  // not owned
  const ConfigKey& row_;
};

// Writes one field back into the INI items.
class FieldWriter {
 public:
  FieldWriter(CConfig* config, const ConfigKey& row) : config_(config), row_(row) {}

  void operator()(const IntKey& k) { config_->WriteInt(row_.section, row_.key, config_->*k.field); }
  void operator()(const FloatKey& k) { config_->WriteDouble(row_.section, row_.key, config_->*k.field); }
  void operator()(const SwitchKey& k) { config_->WriteInt(row_.section, row_.key, config_->*k.field ? 1 : 0); }
  void operator()(const TextKey& k) { config_->WriteString(row_.section, row_.key, TextOf(config_->*k.field)); }
  void operator()(const ReadOnlyTextKey&) {}
  // Entries renumbered from 0, then every index key past them that is still
  // in the file removed, so a shrunken list leaves no stale entries.
  void operator()(const ListKey& k) {
    const StringList& list = config_->*k.field;
    for (int i = 0; i < list.GetSize(); ++i) {
      config_->WriteString(row_.section, TextOf(IndexedKey(row_.key, i)), TextOf(list[i]));
    }
    const int fixed = FixedSlots(k.end);
    for (int i = list.GetSize();; ++i) {
      const String key = IndexedKey(row_.key, i);
      if (i >= fixed && !config_->IsKeyExist(row_.section, TextOf(key))) break;
      while (config_->DeleteKey(row_.section, TextOf(key))) {
        // duplicates of an index key go too
      }
    }
  }

 private:
  CConfig* config_;  // not owned
  const ConfigKey& row_;
};

// Appends one field's value to a text (lists one entry per line).
class FieldText {
 public:
  FieldText(const CConfig* config, std::string* out) : config_(config), out_(out) {}

  void operator()(const IntKey& k) { out_->append(std::to_string(config_->*k.field)); }
  void operator()(const FloatKey& k) { out_->append(std::to_string(config_->*k.field)); }
  void operator()(const SwitchKey& k) { out_->append(config_->*k.field ? "1" : "0"); }
  void operator()(const TextKey& k) { out_->append((config_->*k.field).View()); }
  void operator()(const ListKey& k) {
    for (const String& entry : config_->*k.field) out_->append(entry.View()).append("\n");
  }

 private:
  const CConfig* config_;  // not owned
  std::string* out_;
};

}  // namespace

bool CConfig::ReadConfig() {
  BusyScope busy(busy_);
  for (const ConfigKey& row : kConfigKeys) std::visit(FieldReader(this, row), row.kind);
  // Only a read of bytes just loaded from (or saved to) the file is in step
  // with it: a script's SetConfig read back before its SaveConfig is a
  // change the daemon made, and must still be written.
  const std::string digest = FileDigest();
  if (!synced_digest_ || *synced_digest_ != digest) {
    synced_state_ = StateText();
    synced_digest_ = digest;
  }
  FillDerivedValues();
  return true;
}

CConfig::WriteBack CConfig::SaveChanges() {
  BusyScope busy(busy_);
  if (StateText() == synced_state_) return WriteBack::kUnchanged;
  for (const ConfigKey& row : kConfigKeys) std::visit(FieldWriter(this, row), row.kind);
  if (ChangedOnDisk()) {
    const std::string beside = FileName() + ".daemon";
    return Save(beside.c_str()) ? WriteBack::kWrittenBeside : WriteBack::kFailed;
  }
  if (!Save(nullptr)) return WriteBack::kFailed;
  synced_state_ = StateText();
  synced_digest_ = FileDigest();
  return WriteBack::kWritten;
}

std::string CConfig::StateText() {
  std::string text = Serialise();
  for (const ConfigKey& row : kConfigKeys) {
    text.append("\n");
    std::visit(FieldText(this, &text), row.kind);
  }
  return text;
}

void CConfig::FillDerivedValues() {
  if (readmin_key.IsEmpty()) readmin_key = GenerateAdminKey();
  if (webgui_path.IsEmpty()) {
    String base = app_path.IsEmpty() ? WorkingDirectory() + "/" : app_path;
    webgui_path = base + "/www/";
  }
}
