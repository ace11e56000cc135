// phishing - Cphishing, the phishing check: protected domains (banks,
// brands) and four tables of patterns decide whether a message claims to
// come from one of them and whether its links or text betray a fake. The
// list is an INI file under db/, edited by management scripts and merged
// from downloads; the antispam script asks IsPhishing for each message.
#ifndef TORVANE_ENGINES_PHISHING_H_
#define TORVANE_ENGINES_PHISHING_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_regex.h"
#include "base/ini_file.h"
#include "base/key_value_sink.h"
#include "base/string.h"
#include "base/wall_clock.h"
#include "base/xml_log.h"
#include "engines/mail_parser.h"
#include "engines/spf.h"

// Thread-safe. Checks run over an immutable compiled copy of the list (every
// pattern compiled once per protected domain), taken under a short lock;
// edits, reloads and downloads build the next copy off that lock and swap
// it in, one at a time.
class Cphishing {
 public:
  // REGOLE ("rule"): one pattern of a rule table; "#D#" in it stands for the
  // protected domain being checked.
  struct REGOLE {
    String pattern;
    int32_t options = 0;     // option bits of base/regex.h
    int32_t escapeDots = 0;  // 1: the domain's dots are matched literally
    int32_t group = 0;       // capture handed to the FAKE_HTML rules
  };

  // Where the list is downloaded from until the file names a "URL".
  static constexpr char kDefaultUrl[] = "http://127.0.0.1/phishingdb.php";
  static constexpr char kAgentName[] = "Torvane Antispam HTTPClient";
  static constexpr int kDownloadTimeoutMs = 2000;
  // Largest list a download may bring.
  static constexpr int kMaxListBytes = 8 * 1024 * 1024;
  // Bounds on a list, so a hostile or broken download cannot make every
  // message run millions of patterns: domains, and rules per table.
  static constexpr int kMaxDomains = 4096;
  static constexpr int kMaxRulesPerTable = 256;

  // The list file is `appPath` + "/db/phishing.db". Nothing is read yet.
  explicit Cphishing(const char* appPath);
  Cphishing(const Cphishing&) = delete;
  Cphishing& operator=(const Cphishing&) = delete;

  // Reads the list file into the INI model. False when it cannot be read.
  bool ReloadDefaultDb();
  // Builds the tables from the INI model: 1 when section "DOMAIN" has a
  // non-zero count; 0 otherwise, the tables in use unchanged. Records that
  // cannot be used (bad domain, missing or empty pattern, a pattern that
  // does not compile) are skipped and logged.
  int32_t LoadDB();
  // ReloadDefaultDb and LoadDB, only when the file changed since the last
  // load. For the daemon's reloads.
  int32_t ReloadIfChanged();

  // 1 when `mail` is phishing; `fakeDomain` then names the protected domain
  // it imitates, else it is emptied. `spfResult` is the SPF verdict of the
  // sender (SpfResult; kSpfPass exempts a sender of the protected domain).
  int32_t IsPhishing(CParseMail* mail, String* fakeDomain, int spfResult, const char* sender);

  // Empties `array`, then adds "D%d" -> domain for each protected domain.
  void ViewPhishingDB(KeyValueSink* array);
  // Domain edits, each saved to the file at once. 1 on success; 0 for a
  // name that is not a host name, a domain already present (Add), or a
  // save that failed (the list in use is then unchanged).
  int32_t AddDomainFromGui(const char* domain);
  int32_t DeleteFromGui(const char* domain);  // 1 also when absent
  int32_t UpDateFromGui(const char* oldDomain, const char* newDomain);

  // "date" of the list in use.
  String GetDBDate();
  // The download address of the list in use.
  String GetUrl();

  void SetAdapter(const char* address);
  void SetEuristica(int flag);

  // Downloads the list from the address in use (bound to the adapter, if
  // set) and merges it: only a complete status 200 answer is taken. 1 when
  // a newer list was merged, saved and put in use; else 0, logged, with the
  // list in use and its file unchanged.
  int32_t UpdateDB();
  // The merge of UpdateDB on a downloaded text, checked whole first: 1 when it was newer and
  // was merged, saved and put in use; else 0, logged, with the list in use
  // and its file unchanged.
  int32_t MergeDownload(std::string_view text);

  CLogSimple& GetLog() { return log_; }

  // Whether `link` (an http or https URL) leads to `domain` or one of its
  // subdomains. Exposed for the tests of link parsing.
  static bool LinkHostIsUnder(std::string_view link, std::string_view domain);
  // Protected domains are host names of letters, digits, "-" and ".".
  static bool IsValidDomain(std::string_view domain);

 private:
  struct Tables;
  struct Rule;

  std::shared_ptr<const Tables> Current();
  // Compiles the list held by `ini`, skipping (and logging) unusable records.
  std::shared_ptr<const Tables> Build(CFileINI& ini);
  // Saves `ini` as the list file, then puts `tables` in use. REQUIRES: edit_.
  bool Commit(std::unique_ptr<CFileINI> ini, std::shared_ptr<const Tables> tables);
  // Rewrites section "DOMAIN" of `ini` with `domains`, then saves and swaps.
  // REQUIRES: edit_.
  int32_t CommitDomains(std::vector<std::string> domains);
  void Note(int level, const char* routine, const String& text);

  String path_;
  CLogSimple log_;
  LimitNoticeGate limit_notices_;

  std::mutex edit_;  // one edit, reload or download at a time
  // Guarded by edit_:
  std::unique_ptr<CFileINI> db_;
  std::string loaded_file_;  // identity of the file the tables were built from

  std::mutex lock_;
  // Guarded by lock_:
  std::shared_ptr<const Tables> tables_;
  std::string adapter_;
  bool heuristic_ = true;
};

#endif  // TORVANE_ENGINES_PHISHING_H_
