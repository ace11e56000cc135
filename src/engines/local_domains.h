// local_domains - CLocalDomain, the table of the mail domains this gateway
// serves, and CDomainConf, one domain's settings: named variables kept in
// "db/<domain>.cfg" and record stores, both declared by a site-wide template
// ("db/local_domain_add_config.cstemplate"), so a site adds per-domain
// settings and lists without code. The engines rely on the variables
// "proprieta" and "perc_user_aggre" and the stores "wbip" (senders white or
// black listed) and "lover" (recipients who take spam).
#ifndef TORVANE_ENGINES_LOCAL_DOMAINS_H_
#define TORVANE_ENGINES_LOCAL_DOMAINS_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/ini_file.h"
#include "base/mutex.h"
#include "base/string.h"
#include "base/xml_log.h"
#include "engines/record_store.h"

// One local domain's settings ("domain configuration"). Shared-owned: the
// table, sessions and scripts each hold a std::shared_ptr, and an object
// outlives its removal from the table until its last holder lets go.
//
// Thread-safety: every method takes the object's lock. Scripts may hold
// that lock across calls (StartSession .. EndSession); the holding thread's
// own calls then do not lock again. A thread's holds are tracked by
// ScriptDomainHolds and released at the latest when the script call that
// took them ends.
class CDomainConf : public std::enable_shared_from_this<CDomainConf> {
 public:
  // Where the variables live in the domain's cfg file.
  static constexpr const char* kSection = "CFG";

  CDomainConf();
  // Releases a hold the destroying thread still has on it.
  ~CDomainConf();
  CDomainConf(const CDomainConf&) = delete;
  CDomainConf& operator=(const CDomainConf&) = delete;

  // Loads the domain's settings as `templ` declares them: each
  // "ADD_VARIABLES" item K = V gives variable K its value from section
  // "CFG" of "db/<domain>.cfg", else V ("[domain]" replaced by the domain);
  // each "ADD_DBRAM" item K = V opens and loads the store "db/" + V
  // ("[domain]" replaced) as store K. A store name that could leave db/, or
  // whose file cannot be opened, is left out (logged into `log`, which may
  // be null). Returns 1; 0 for a null argument or a domain that is not a
  // host name (IsHostName), leaving the object unchanged.
  int Load(const char* domain, CFileINI* templ, CLogSimple* log = nullptr);

  // The variable's value; "" when there is no such variable.
  String GetVar(const char* name);
  // Changes an existing variable only; nothing for a null argument.
  void SetVar(const char* name, const char* value);
  // The store named `name`, or null. Owned by this object and valid for its
  // whole life (Clear and DeleteFile empty the store objects but keep them,
  // so a script's handle never dangles).
  CDB_RAM* GetDBRAM(const char* name);
  // Writes every variable into section "CFG" of the cfg file (atomically)
  // and saves every store. 1 when all of it was written, else 0.
  int Save();
  // Deletes the cfg file and every store's file, then clears the object.
  void DeleteFile();
  String GetDomainName();
  void SetDomainName(const char* name);
  // Forgets the name, the variables and the stores.
  void Clear();

  // ---- the lock as scripts use it
  // Waits until no other thread holds the lock.
  void WaitForSession();
  // Takes the lock for the calling thread until EndSession or the end of
  // the script call (ScriptDomainHolds). A thread that holds it already
  // keeps it: a second StartSession neither waits nor nests.
  void StartSession();
  // Releases the calling thread's hold; nothing when it holds none.
  void EndSession();

 private:
  // Takes lock_ for a scope unless the calling thread holds it already.
  class Hold;
  struct Store {
    std::unique_ptr<CDB_RAM> db;
    std::string file;  // under the application path: "db/..."
  };

  // The path of the cfg file, "" without a name. REQUIRES: lock_ held.
  std::string CfgPathLocked() const;
  void ClearLocked();
  ThreadHeldLock lock_;  // kept by a script between StartSession and EndSession
  // Guarded by lock_:
  std::string name_;
  std::map<std::string, std::string> variables_;
  std::map<std::string, Store> stores_;
  std::vector<std::unique_ptr<CDB_RAM>> retired_stores_;  // cleared away, kept for handles
  CFileINI cfg_;
};

// The domain locks a thread's scripts took with StartSession. A host puts
// one ScriptDomainHolds around each script call; when it ends, every hold
// taken during the call and not yet released is released, so a script that
// returns (or fails) while holding a domain blocks nobody. Scopes nest: an
// inner one releases only what was taken inside it.
class ScriptDomainHolds {
 public:
  ScriptDomainHolds();
  ~ScriptDomainHolds();
  ScriptDomainHolds(const ScriptDomainHolds&) = delete;
  ScriptDomainHolds& operator=(const ScriptDomainHolds&) = delete;

  // Number of holds the calling thread has now.
  static size_t HeldByThisThread();

 private:
  friend class CDomainConf;
  struct Entry {
    CDomainConf* conf;
    std::shared_ptr<CDomainConf> keep;  // null for an object nobody shares
  };
  static std::vector<Entry>& Ledger();
  static void Add(CDomainConf* conf);
  static void Remove(CDomainConf* conf);

  size_t mark_;  // ledger size when the scope began
};

// The table of local domains ("local domain"). Its record store
// "db/domain_local.db" holds one record per domain: key the domain, value
// its "proprieta" at insertion as a 4-byte little-endian int.
//
// Thread-safety: any thread may call any method. The table lock guards only
// the name -> object map and the template; it is never held while a domain
// lock is waited for, so scripts holding a domain cannot deadlock a lookup.
class CLocalDomain : public CDB_RAM {
 public:
  static constexpr const char* kStoreFile = "db/domain_local.db";
  static constexpr const char* kTemplateFile = "db/local_domain_add_config.cstemplate";
  // The variables and stores the engines read.
  static constexpr const char* kPropertyVar = "proprieta";
  static constexpr const char* kScoreShiftVar = "perc_user_aggre";
  static constexpr const char* kListStore = "wbip";
  static constexpr const char* kSpamLoverStore = "lover";
  // A per-domain score shift must lie strictly between these percentages.
  static constexpr int kMinScoreShift = -99;
  static constexpr int kMaxScoreShift = 99;

  // Opens the table's store (not loaded: SuperLoad).
  CLocalDomain();
  ~CLocalDomain() override;

  // Loads the template and the store and builds one object per live
  // record. An unreadable template loads every domain without variables or
  // stores (logged); a record whose key is not a host name is skipped
  // (logged). Objects held elsewhere stay valid.
  void SuperLoad();
  // Saves the table's store. The objects and their unsaved edits stay.
  void SuperSave();
  // Adds `domain` (trimmed, lower-cased) with its settings loaded. The
  // record number of the new record, or -1 when the name is not a host
  // name, the domain exists, or the store refuses the record.
  int InsertDomain(const char* domain);
  // The domain's object, or null.
  std::shared_ptr<CDomainConf> GetDomain(const char* domain);
  // Removes the domain: its record is deleted, its files deleted and the
  // store saved. 1, or 0 when the domain is unknown.
  int DeleteDomain(const char* domain);
  // Saves the domain's variables and stores. 1, or 0 when unknown or when
  // writing failed.
  int SaveDomain(const char* domain);

  // -1 when `domain` (trimmed, lower-cased) is not local; otherwise the
  // decimal value of its "proprieta" (0 when empty or missing).
  int IsLocalDomain(const char* domain);
  // IsLocalDomain of the part after "@"; -1 for an address without one.
  int IsLocalDomainByRCPTO(const char* address);
  // The white (1) or black (0) verdict of the first local recipient domain
  // whose "wbip" store lists the sender: first the exact address, then the
  // stored keys as caseless patterns, then the same for the sender's
  // domain. -1 when no list gives one. `recipients` are space-separated.
  int IsWhiteBlackList(const char* recipients, const char* sender);
  // 1 when some recipient is in its local domain's "lover" store, else 0.
  int IsSpamLover(const char* recipients);
  // score + base / 100 x p, where p is "perc_user_aggre" of the first local
  // recipient domain with a usable one (non-zero, strictly within
  // kMinScoreShift..kMaxScoreShift); the score unchanged without.
  float RecalcolateScoreByUser(float score, float base, const char* recipients);

  // Template edits of the management scripts: the template file is loaded,
  // changed and saved (the engine takes it at the next SuperLoad). Nothing
  // when it cannot be loaded or an argument is missing.
  static void AddVarToTemplate(const char* section, const char* key, const char* value);
  static void DeleteVarFromTemplate(const char* section, const char* key);

  // The domain of an address: what follows its first "@" after at least one
  // character; "" when there is none.
  static std::string_view DomainOf(std::string_view address);

  // Records of the loads, for the owner to merge into its log.
  CLogSimple& GetLog() { return log_; }

 private:
  // The object of a normalised domain name, or null.
  std::shared_ptr<CDomainConf> Lookup(const std::string& domain);
  // The verdict of `key` in `list` (exact, then as patterns), or -1.
  static int ListVerdict(CDB_RAM* list, const std::string& key);
  void Note(int level, const std::string& text);

  std::mutex lock_;
  // Guarded by lock_:
  std::map<std::string, std::shared_ptr<CDomainConf>> confs_;
  CFileINI template_;
  CLogSimple log_;
};

#endif  // TORVANE_ENGINES_LOCAL_DOMAINS_H_
