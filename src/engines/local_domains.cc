// local_domains - per-domain settings, the table of local domains and the
// lookups sessions make in it (see local_domains.h).
#include "engines/local_domains.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/host_name.h"
#include "base/utility.h"

namespace {

constexpr char kSource[] = "localdomain";
constexpr char kVariablesSection[] = "ADD_VARIABLES";
constexpr char kStoresSection[] = "ADD_DBRAM";
constexpr char kDomainMark[] = "[domain]";
constexpr char kStoreDir[] = "db/";

// `text` with every "[domain]" replaced by `domain`.
std::string FillDomain(std::string text, const std::string& domain) {
  const size_t mark_length = strlen(kDomainMark);
  for (size_t at = text.find(kDomainMark); at != std::string::npos; at = text.find(kDomainMark, at)) {
    text.replace(at, mark_length, domain);
    at += domain.size();
  }
  return text;
}

// A store file name from the template must stay inside db/: a plain name of
// letters, digits, ".", "-" and "_", not starting with a dot (so neither
// "..", a hidden file nor a path).
bool IsStoreFileName(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.size() > kMaxHostNameBytes + 16) return false;
  for (unsigned char c : name) {
    if (std::isalnum(c) == 0 && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

// The leading decimal number of a variable, 0 when it has none.
int DecimalValue(const String& text) { return atoi(text.GetData() != nullptr ? text.GetData() : ""); }

}  // namespace

// {=========== ScriptDomainHolds

std::vector<ScriptDomainHolds::Entry>& ScriptDomainHolds::Ledger() {
  thread_local std::vector<Entry> ledger;
  return ledger;
}

ScriptDomainHolds::ScriptDomainHolds() : mark_(Ledger().size()) {}

ScriptDomainHolds::~ScriptDomainHolds() {
  std::vector<Entry>& ledger = Ledger();
  while (ledger.size() > mark_) {
    // EndSession removes the entry; `keep` holds the object meanwhile.
    const std::shared_ptr<CDomainConf> keep = ledger.back().keep;
    ledger.back().conf->EndSession();
  }
}

size_t ScriptDomainHolds::HeldByThisThread() { return Ledger().size(); }

void ScriptDomainHolds::Add(CDomainConf* conf) {
  Ledger().push_back(Entry{conf, conf->weak_from_this().lock()});
}

void ScriptDomainHolds::Remove(CDomainConf* conf) {
  std::vector<Entry>& ledger = Ledger();
  for (auto it = ledger.begin(); it != ledger.end(); ++it) {
    if (it->conf == conf) {
      const std::shared_ptr<CDomainConf> keep = std::move(it->keep);  // freed after the erase
      ledger.erase(it);
      return;
    }
  }
}

// }===========

// {=========== CDomainConf

class CDomainConf::Hold : public ThreadHeldLock::Scope {
 public:
  explicit Hold(CDomainConf& conf) : Scope(conf.lock_) {}
};

CDomainConf::CDomainConf() = default;

CDomainConf::~CDomainConf() {
  if (lock_.Release()) ScriptDomainHolds::Remove(this);
}

int CDomainConf::Load(const char* domain, CFileINI* templ, CLogSimple* log) {
  if (domain == nullptr || templ == nullptr) return 0;
  const std::string name = NormalizedName(domain);
  if (!IsHostName(name)) return 0;
  Hold hold(*this);
  ClearLocked();
  name_ = name;
  String path;
  MakeAppPath(&path, CfgPathLocked().c_str());
  cfg_.Load(path.GetData());
  const CFileINIItems items = templ->CopyItems();
  for (int i = 0; i < items.GetSize(); ++i) {
    const CFileINI_ITEM& item = items[i];
    const std::string key = item.key.ToStdString();
    const std::string value = FillDomain(item.value.ToStdString(), name_);
    if (item.section.View() == kVariablesSection) {
      String stored;
      variables_[key] = cfg_.FindValue(kSection, key.c_str(), &stored) ? stored.ToStdString() : value;
    } else if (item.section.View() == kStoresSection) {
      auto db = std::make_unique<CDB_RAM>();
      const std::string file = kStoreDir + value;
      if (!IsStoreFileName(value) || db->Open(file.c_str()) == 0) {
        if (log != nullptr) {
          const std::string text = "store \"" + key + "\" of " + name_ + " left out: can't open " + file;
          log->LogS(kLogError, text.c_str(), kSource, "CDomainConf::Load", log_type::kSys, 0);
        }
        continue;
      }
      db->Load();
      stores_[key] = Store{std::move(db), file};
    }
  }
  return 1;
}

String CDomainConf::GetVar(const char* name) {
  if (name == nullptr) return String("");
  Hold hold(*this);
  const auto found = variables_.find(name);
  return String(found != variables_.end() ? found->second.c_str() : "");
}

void CDomainConf::SetVar(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  Hold hold(*this);
  const auto found = variables_.find(name);
  if (found != variables_.end()) found->second = value;
}

CDB_RAM* CDomainConf::GetDBRAM(const char* name) {
  if (name == nullptr) return nullptr;
  Hold hold(*this);
  const auto found = stores_.find(name);
  return found != stores_.end() ? found->second.db.get() : nullptr;
}

int CDomainConf::Save() {
  Hold hold(*this);
  if (name_.empty()) return 0;
  for (const auto& [key, value] : variables_) cfg_.WriteString(kSection, key.c_str(), value.c_str());
  String path;
  MakeAppPath(&path, CfgPathLocked().c_str());
  bool saved = cfg_.Save(path.GetData());
  for (auto& [key, store] : stores_) saved = store.db->Save() != 0 && saved;
  return saved ? 1 : 0;
}

void CDomainConf::DeleteFile() {
  Hold hold(*this);
  if (name_.empty()) return;
  String path;
  MakeAppPath(&path, CfgPathLocked().c_str());
  MyDelete(path.GetData());
  for (auto& [key, store] : stores_) {
    MakeAppPath(&path, store.file.c_str());
    MyDelete(path.GetData());
  }
  ClearLocked();
}

String CDomainConf::GetDomainName() {
  Hold hold(*this);
  return String(name_.c_str());
}

void CDomainConf::SetDomainName(const char* name) {
  Hold hold(*this);
  name_ = name != nullptr ? name : "";
}

void CDomainConf::Clear() {
  Hold hold(*this);
  ClearLocked();
}

void CDomainConf::ClearLocked() {
  name_.clear();
  variables_.clear();
  for (auto& [key, store] : stores_) {
    // Emptied but kept: a script may still hold a handle on it.
    store.db->Reset();
    retired_stores_.push_back(std::move(store.db));
  }
  stores_.clear();
  cfg_.LoadBuffer("");
}

std::string CDomainConf::CfgPathLocked() const { return name_.empty() ? "" : kStoreDir + name_ + ".cfg"; }

void CDomainConf::WaitForSession() { lock_.Wait(); }

void CDomainConf::StartSession() {
  if (lock_.Keep()) ScriptDomainHolds::Add(this);
}

void CDomainConf::EndSession() {
  if (lock_.Release()) ScriptDomainHolds::Remove(this);
}

// }===========

// {=========== CLocalDomain

CLocalDomain::CLocalDomain() { Open(kStoreFile); }

CLocalDomain::~CLocalDomain() = default;

void CLocalDomain::Note(int level, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, "CLocalDomain::SuperLoad", log_type::kSys, 0);
}

void CLocalDomain::SuperLoad() {
  String path;
  MakeAppPath(&path, kTemplateFile);
  CFileINI templ;
  if (!templ.Load(path.GetData())) {
    // Without it every domain still counts as local; only the extras are
    // missing. Refusing to load would turn all inbound mail away.
    Note(kLogError, std::string("can't read ") + kTemplateFile + ": domains loaded without variables or stores");
  }
  Load();
  std::map<std::string, std::shared_ptr<CDomainConf>> loaded;
  BiginTranstion();
  const int32_t count = GetRecordCount();
  std::vector<std::string> names;
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record != nullptr && record->deleted == 0) names.push_back(record->key.ToStdString());
  }
  EndTransation();
  for (const std::string& name : names) {
    auto conf = std::make_shared<CDomainConf>();
    if (!IsHostName(name) || conf->Load(name.c_str(), &templ, &log_) == 0) {
      Note(kLogError, "record \"" + name.substr(0, kMaxHostNameBytes) + "\" is no domain name: skipped");
      continue;
    }
    loaded[NormalizedName(name)] = std::move(conf);
  }
  std::lock_guard<std::mutex> hold(lock_);
  confs_.swap(loaded);
  template_.LoadBuffer("");
  const CFileINIItems items = templ.CopyItems();
  for (int i = 0; i < items.GetSize(); ++i) template_.RegisterItme(items[i]);
}

void CLocalDomain::SuperSave() { Save(); }

int CLocalDomain::InsertDomain(const char* domain) {
  if (domain == nullptr) return -1;
  const std::string name = NormalizedName(domain);
  if (!IsHostName(name)) return -1;
  std::lock_guard<std::mutex> hold(lock_);
  if (confs_.count(name) != 0) return -1;
  auto conf = std::make_shared<CDomainConf>();
  if (conf->Load(name.c_str(), &template_, &log_) == 0) return -1;
  const int32_t property = DecimalValue(conf->GetVar(kPropertyVar));
  unsigned char value[4];
  for (int i = 0; i < 4; ++i) value[i] = static_cast<unsigned char>(static_cast<uint32_t>(property) >> (8 * i));
  if (Insert(name.c_str(), value, sizeof value, 0) != 1) return -1;
  confs_[name] = std::move(conf);
  return Find(name.c_str(), 0);
}

std::shared_ptr<CDomainConf> CLocalDomain::Lookup(const std::string& domain) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = confs_.find(domain);
  return found != confs_.end() ? found->second : nullptr;
}

std::shared_ptr<CDomainConf> CLocalDomain::GetDomain(const char* domain) {
  return domain != nullptr ? Lookup(NormalizedName(domain)) : nullptr;
}

int CLocalDomain::DeleteDomain(const char* domain) {
  if (domain == nullptr) return 0;
  const std::string name = NormalizedName(domain);
  std::shared_ptr<CDomainConf> conf;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = confs_.find(name);
    if (found == confs_.end()) return 0;
    conf = std::move(found->second);
    confs_.erase(found);
    Delete(name.c_str());
  }
  conf->DeleteFile();
  Save();
  return 1;
}

int CLocalDomain::SaveDomain(const char* domain) {
  const std::shared_ptr<CDomainConf> conf = GetDomain(domain);
  return conf != nullptr ? conf->Save() : 0;
}

int CLocalDomain::IsLocalDomain(const char* domain) {
  const std::shared_ptr<CDomainConf> conf = GetDomain(domain);
  return conf != nullptr ? DecimalValue(conf->GetVar(kPropertyVar)) : -1;
}

int CLocalDomain::IsLocalDomainByRCPTO(const char* address) {
  if (address == nullptr) return -1;
  const std::string normal = NormalizedName(address);
  const std::string_view domain = DomainOf(normal);
  return domain.empty() ? -1 : IsLocalDomain(std::string(domain).c_str());
}

std::string_view CLocalDomain::DomainOf(std::string_view address) {
  const size_t at = address.size() > 1 ? address.find('@', 1) : std::string_view::npos;
  return at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
}

int CLocalDomain::ListVerdict(CDB_RAM* list, const std::string& key) {
  int verdict = -1;
  list->BiginTranstion();
  const RECORD* record = list->GetByIndexPtr(list->Find(key.c_str(), 1));
  if (record != nullptr && record->len > 0 && std::isdigit(static_cast<unsigned char>(record->value[0])) != 0) {
    verdict = record->value[0] - '0';
  }
  list->EndTransation();
  return verdict;
}

int CLocalDomain::IsWhiteBlackList(const char* recipients, const char* sender) {
  if (sender == nullptr) return -1;
  const std::string from = NormalizedName(sender);
  const std::string from_domain(DomainOf(from));
  int verdict = -1;
  std::string previous_domain;
  ForEachAddress(recipients != nullptr ? recipients : "", [&](const std::string& recipient) {
    const std::string domain(DomainOf(recipient));
    if (domain.empty() || domain == previous_domain) return true;
    previous_domain = domain;
    const std::shared_ptr<CDomainConf> conf = Lookup(domain);
    CDB_RAM* list = conf != nullptr ? conf->GetDBRAM(kListStore) : nullptr;
    if (list == nullptr) return true;
    verdict = ListVerdict(list, from);
    if (verdict < 0 && !from_domain.empty()) verdict = ListVerdict(list, from_domain);
    return verdict < 0;
  });
  return verdict;
}

int CLocalDomain::IsSpamLover(const char* recipients) {
  int lover = 0;
  ForEachAddress(recipients != nullptr ? recipients : "", [&](const std::string& recipient) {
    const std::shared_ptr<CDomainConf> conf = Lookup(std::string(DomainOf(recipient)));
    CDB_RAM* lovers = conf != nullptr ? conf->GetDBRAM(kSpamLoverStore) : nullptr;
    if (lovers != nullptr && lovers->Find(recipient.c_str(), 0) >= 0) lover = 1;
    return lover == 0;
  });
  return lover;
}

float CLocalDomain::RecalcolateScoreByUser(float score, float base, const char* recipients) {
  float adjusted = score;
  ForEachAddress(recipients != nullptr ? recipients : "", [&](const std::string& recipient) {
    const std::shared_ptr<CDomainConf> conf = Lookup(std::string(DomainOf(recipient)));
    if (conf == nullptr) return true;
    const int shift = DecimalValue(conf->GetVar(kScoreShiftVar));
    if (shift == 0 || shift <= kMinScoreShift || shift >= kMaxScoreShift) return true;
    adjusted = score + base / 100.0f * static_cast<float>(shift);
    return false;
  });
  return adjusted;
}

void CLocalDomain::AddVarToTemplate(const char* section, const char* key, const char* value) {
  if (section == nullptr || key == nullptr || value == nullptr) return;
  String path;
  MakeAppPath(&path, kTemplateFile);
  CFileINI templ;
  if (!templ.Load(path.GetData())) return;
  templ.WriteString(section, key, value);
  templ.Save(nullptr);
}

void CLocalDomain::DeleteVarFromTemplate(const char* section, const char* key) {
  if (section == nullptr || key == nullptr) return;
  String path;
  MakeAppPath(&path, kTemplateFile);
  CFileINI templ;
  if (!templ.Load(path.GetData())) return;
  templ.DeleteKey(section, key);
  templ.Save(nullptr);
}

// }===========
