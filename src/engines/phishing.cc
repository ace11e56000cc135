// phishing - list loading, compiled tables, the check and its link
// heuristic, domain edits and the merge of downloaded lists.
#include "engines/phishing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/host_name.h"
#include "base/http_client.h"

namespace {

constexpr char kSource[] = "phishing";
constexpr char kSetting[] = "SETTING";
constexpr char kDomain[] = "DOMAIN";
constexpr char kDelete[] = "DELETE";
constexpr char kDomainPlaceholder[] = "#D#";
// The domain a downloaded pattern must compile with before it is trusted.
constexpr char kSampleDomain[] = "example.com";

// The four rule tables, in the order the check uses them.
enum TableId { kVerifyTxt, kVerifyHtml, kFakeHtml, kFakeTxt, kTableCount };
constexpr const char* kTableSections[kTableCount] = {"VERIFY_TXT", "VERIFY_HTML", "FAKE_HTML", "FAKE_TXT"};
// The keys of rule i beside "R%d": group, escapeDots, option letters.
constexpr const char* kRuleSuffixes[] = {"", "c", "n", "e"};

const char* Text(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

int ToEnum(std::string_view letters) {
  int options = 0;
  for (char c : letters) {
    if (c == 'i') options |= kRegexCaseless;
    if (c == 'm') options |= kRegexMultiline;
    if (c == 's') options |= kRegexDotAll;
    if (c == 'x') options |= kRegexExtended;
  }
  return options;
}

String RuleKey(int i, const char* suffix) {
  String key;
  key.Format("R%d%s", i, suffix);
  return key;
}

String DomainKey(int i) {
  String key;
  key.Format("D%d", i);
  return key;
}

// `pattern` with "#D#" replaced by `domain` (a checked host name, so a dot is
// its only metacharacter).
std::string Expand(std::string_view pattern, std::string_view domain, bool escapeDots) {
  std::string value;
  for (char c : domain) {
    if (c == '.' && escapeDots) value += '\\';
    value += c;
  }
  std::string out;
  for (size_t at = 0;;) {
    const size_t hit = pattern.find(kDomainPlaceholder, at);
    out.append(pattern.substr(at, hit == std::string_view::npos ? std::string_view::npos : hit - at));
    if (hit == std::string_view::npos) return out;
    out += value;
    at = hit + sizeof(kDomainPlaceholder) - 1;
  }
}

// The file's identity: a save replaces it (new inode), an edit changes its
// time or size. Empty when it cannot be read.
std::string FileIdentity(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return std::string();
  String id;
  id.Format("%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(info.st_ino),
            static_cast<long long>(info.st_size), static_cast<long long>(info.st_mtim.tv_sec),
            info.st_mtim.tv_nsec);
  return id.ToStdString();
}

// A copy of `from`, item for item.
std::unique_ptr<CFileINI> CopyIni(CFileINI& from) {
  std::string text;
  const CFileINI_ITEM* previous = nullptr;
  CFileINIItems items = from.CopyItems();
  for (int i = 0; i < items.GetSize(); ++i) {
    const CFileINI_ITEM& item = items[i];
    if (previous == nullptr || previous->section != item.section) {
      text += "[" + item.section.ToStdString() + "]\r\n";
    }
    text += item.key.ToStdString() + "=" + item.value.ToStdString() + "\r\n";
    previous = &item;
  }
  auto copy = std::make_unique<CFileINI>();
  copy->LoadBuffer(text.c_str());
  return copy;
}

// Reads "count" and D0..D(count-1) of `section`. With `strict`, a count
// out of range, a missing entry or one that is not a host name fails; else
// such entries are skipped (named in `skipped`).
bool ReadDomains(CFileINI& ini, const char* section, bool strict, std::vector<std::string>* out,
                 std::vector<std::string>* skipped) {
  const int count = ini.GetInt(section, "count", 0);
  if (count < 0 || count > Cphishing::kMaxDomains) return !strict && count < 0;
  String value;
  for (int i = 0; i < count; ++i) {
    const bool found = ini.FindValue(section, DomainKey(i), &value);
    const std::string domain = found ? Lower(value.View()) : std::string();
    if (domain.empty() && !strict) continue;
    if (!Cphishing::IsValidDomain(domain)) {
      if (strict) return false;
      if (skipped != nullptr) skipped->push_back(domain);
      continue;
    }
    if (std::find(out->begin(), out->end(), domain) == out->end()) out->push_back(domain);
  }
  return true;
}

bool HasDomain(const std::vector<std::string>& domains, std::string_view domain) {
  return std::find(domains.begin(), domains.end(), Lower(domain)) != domains.end();
}

// The domain of a sender address "local@domain", lower-cased; "" when
// there is no "@" after at least one character.
std::string SenderDomain(const char* sender) {
  std::string_view address = TrimmedText(sender != nullptr ? sender : "");
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
    address = address.substr(1, address.size() - 2);
  }
  const size_t at = address.find('@', 1);
  if (at == std::string_view::npos || at + 1 >= address.size()) return std::string();
  return Lower(address.substr(at + 1));
}

bool EndsLink(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '"' || c == '\'' || c == '<' || c == '>';
}

// Calls `visit(link)` for every "http://" or "https://" link of `text`, in
// any case, each ending at a blank, a quote, "<", ">" or the end of text,
// until `visit` returns true. True when one did.
template <typename Visit>
bool AnyLink(std::string_view text, Visit visit) {
  const std::string lower = Lower(text);
  for (size_t at = 0; (at = lower.find("http", at)) != std::string::npos;) {
    size_t scheme_end = at + 4;
    if (scheme_end < lower.size() && lower[scheme_end] == 's') ++scheme_end;
    if (lower.compare(scheme_end, 3, "://") != 0) {
      at += 4;
      continue;
    }
    size_t end = scheme_end + 3;
    while (end < text.size() && !EndsLink(text[end])) ++end;
    if (visit(text.substr(at, end - at))) return true;
    at = end;
  }
  return false;
}

// The host a link leads to, lower-cased: "http://bank.example@evil.example:80/"
// leads to evil.example.
std::string LinkHost(std::string_view link) {
  const size_t scheme = link.find("://");
  std::string_view host = scheme == std::string_view::npos ? link : link.substr(scheme + 3);
  host = host.substr(0, host.find_first_of("/?#\\"));
  const size_t at = host.rfind('@');
  if (at != std::string_view::npos) host = host.substr(at + 1);
  host = host.substr(0, host.find(':'));
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return Lower(host);
}

}  // namespace

// ---- Compiled tables ------------------------------------------------------------

struct Cphishing::Rule {
  REGOLE source;
  // One per protected domain when the pattern names "#D#", else just one.
  std::vector<std::shared_ptr<const CompiledRegex>> compiled;

  const CompiledRegex& For(size_t domain) const { return *compiled[compiled.size() == 1 ? 0 : domain]; }
};

struct Cphishing::Tables {
  std::vector<std::string> domains;
  std::vector<Rule> rules[kTableCount];
  String url;
  String date;
  int firm = 0;

  // The first rule of `table` matching `subject` for domain `d`, or null.
  // `groups` receives the captures of that match.
  const Rule* FirstMatch(int table, size_t d, std::string_view subject, std::vector<std::string>* groups,
                         Cphishing* owner) const;
};

const Cphishing::Rule* Cphishing::Tables::FirstMatch(int table, size_t d, std::string_view subject,
                                                     std::vector<std::string>* groups, Cphishing* owner) const {
  for (const Rule& rule : rules[table]) {
    const RegexOutcome outcome = rule.For(d).Match(subject, groups);
    if (outcome == RegexOutcome::kMatch) return &rule;
    if (outcome == RegexOutcome::kLimited && owner->limit_notices_.Pass(time(nullptr))) {
      String line;
      owner->Note(kLogError, "Cphishing::IsPhishing",
                  line.Format("%s pattern \"%.100s\" cut off by the match limits: taken as no match",
                              kTableSections[table], Text(rule.source.pattern)));
    }
  }
  return nullptr;
}

namespace {

// Compiles `rule` for each of `domains`. False when an expansion does not
// compile (`bad` then holds it).
bool CompileRule(Cphishing::REGOLE source, const std::vector<std::string>& domains, std::string* bad,
                 std::vector<std::shared_ptr<const CompiledRegex>>* out) {
  const std::string_view pattern = source.pattern.View();
  if (pattern.find(kDomainPlaceholder) == std::string_view::npos) {
    out->push_back(CompiledRegex::Compile(pattern, source.options));
    *bad = std::string(pattern);
    return out->back() != nullptr;
  }
  for (const std::string& domain : domains.empty() ? std::vector<std::string>{kSampleDomain} : domains) {
    *bad = Expand(pattern, domain, source.escapeDots == 1);
    out->push_back(CompiledRegex::Compile(*bad, source.options));
    if (out->back() == nullptr) return false;
  }
  return true;
}

// Reads rule `i` of `section`; false when its pattern is missing or empty.
bool ReadRule(CFileINI& ini, const char* section, int i, Cphishing::REGOLE* rule) {
  String value;
  if (!ini.FindValue(section, RuleKey(i, ""), &value) || value.IsEmpty()) return false;
  rule->pattern = value;
  rule->group = ini.GetInt(section, RuleKey(i, "c"), 0);
  rule->escapeDots = ini.GetInt(section, RuleKey(i, "n"), 0);
  String letters;
  ini.GetString(&letters, section, RuleKey(i, "e"), "");
  rule->options = ToEnum(letters.View());
  return true;
}

}  // namespace

// ---- Loading --------------------------------------------------------------------

Cphishing::Cphishing(const char* appPath) : db_(std::make_unique<CFileINI>()) {
  path_ = appPath != nullptr ? appPath : "";
  path_ += "/db/phishing.db";
}

void Cphishing::Note(int level, const char* routine, const String& text) {
  log_.LogS(level, text, kSource, routine, log_type::kSys, 0);
}

bool Cphishing::ReloadDefaultDb() {
  auto ini = std::make_unique<CFileINI>();
  if (!ini->Load(path_)) return false;
  std::lock_guard<std::mutex> editing(edit_);
  db_ = std::move(ini);
  return true;
}

std::shared_ptr<const Cphishing::Tables> Cphishing::Build(CFileINI& ini) {
  auto tables = std::make_shared<Tables>();
  std::vector<std::string> skipped;
  ReadDomains(ini, kDomain, false, &tables->domains, &skipped);
  String line;
  for (const std::string& domain : skipped) {
    Note(kLogError, "Cphishing::LoadDB", line.Format("domain \"%.100s\" skipped: not a host name", domain.c_str()));
  }
  for (int table = 0; table < kTableCount; ++table) {
    const char* section = kTableSections[table];
    const int count = std::min(ini.GetInt(section, "count", 0), kMaxRulesPerTable);
    for (int i = 0; i < count; ++i) {
      Rule rule;
      std::string bad;
      if (!ReadRule(ini, section, i, &rule.source)) {
        // An empty pattern would match every message.
        Note(kLogError, "Cphishing::LoadDB", line.Format("%s R%d skipped: no pattern", section, i));
      } else if (!CompileRule(rule.source, tables->domains, &bad, &rule.compiled)) {
        Note(kLogError, "Cphishing::LoadDB",
             line.Format("%s R%d skipped: \"%.100s\" does not compile", section, i, bad.c_str()));
      } else {
        tables->rules[table].push_back(std::move(rule));
      }
    }
  }
  ini.GetString(&tables->url, kSetting, "URL", kDefaultUrl);
  if (tables->url.IsEmpty()) tables->url = kDefaultUrl;
  ini.GetString(&tables->date, kSetting, "date", "");
  tables->firm = ini.GetInt(kSetting, "firm", 0);
  return tables;
}

int32_t Cphishing::LoadDB() {
  std::lock_guard<std::mutex> editing(edit_);
  if (db_->GetInt(kDomain, "count", 0) == 0) return 0;
  std::shared_ptr<const Tables> tables = Build(*db_);
  std::lock_guard<std::mutex> hold(lock_);
  tables_ = std::move(tables);
  return 1;
}

int32_t Cphishing::ReloadIfChanged() {
  const std::string identity = FileIdentity(path_);
  {
    std::lock_guard<std::mutex> editing(edit_);
    if (!identity.empty() && identity == loaded_file_) return 0;
  }
  if (!ReloadDefaultDb()) return 0;
  const int32_t loaded = LoadDB();
  std::lock_guard<std::mutex> editing(edit_);
  loaded_file_ = identity;
  return loaded;
}

std::shared_ptr<const Cphishing::Tables> Cphishing::Current() {
  std::lock_guard<std::mutex> hold(lock_);
  return tables_;
}

// ---- The check ------------------------------------------------------------------

bool Cphishing::IsValidDomain(std::string_view domain) {
  return IsHostName(domain) && domain.find('_') == std::string_view::npos;
}

bool Cphishing::LinkHostIsUnder(std::string_view link, std::string_view domain) {
  const std::string host = LinkHost(link);
  const std::string lower_domain = Lower(domain);
  if (host == lower_domain) return true;
  return host.size() > lower_domain.size() &&
         host.compare(host.size() - lower_domain.size(), lower_domain.size(), lower_domain) == 0 &&
         host[host.size() - lower_domain.size() - 1] == '.';
}

int32_t Cphishing::IsPhishing(CParseMail* mail, String* fakeDomain, int spfResult, const char* sender) {
  String found;
  const int32_t verdict = [&]() -> int32_t {
    const std::shared_ptr<const Tables> tables = Current();
    if (mail == nullptr || mail->GetLen() == 0 || tables == nullptr || tables->domains.empty() ||
        tables->rules[kVerifyHtml].empty() || tables->rules[kVerifyTxt].empty()) {
      return 0;
    }
    bool heuristic;
    {
      std::lock_guard<std::mutex> hold(lock_);
      heuristic = heuristic_;
    }
    const std::string_view raw = mail->RawView();
    std::vector<std::string> groups;
    for (size_t d = 0; d < tables->domains.size(); ++d) {
      const std::string& domain = tables->domains[d];
      if (tables->FirstMatch(kVerifyTxt, d, raw, nullptr, this) == nullptr) continue;
      found = domain.c_str();
      const Rule* html = tables->FirstMatch(kVerifyHtml, d, raw, &groups, this);
      if (html == nullptr) {
        if (tables->FirstMatch(kFakeTxt, d, raw, nullptr, this) != nullptr) return 1;
      } else if (const int g = html->source.group; g > 0 && static_cast<size_t>(g) <= groups.size()) {
        // A group the match does not hold (above nine, or unset) is not used.
        const std::string capture = groups[static_cast<size_t>(g - 1)];
        if (!capture.empty() && tables->FirstMatch(kFakeHtml, d, capture, nullptr, this) != nullptr) return 1;
      }
      if (!heuristic) continue;
      if (spfResult == kSpfPass && SenderDomain(sender) == domain) return 0;
      const std::string_view text = mail->BodyView().empty() ? raw : mail->BodyView();
      const bool fake_link = AnyLink(text, [&](std::string_view link) {
        if (LinkHost(link).empty()) return false;  // leads nowhere
        return !LinkHostIsUnder(link, domain) || tables->FirstMatch(kFakeTxt, d, link, nullptr, this) != nullptr;
      });
      return fake_link ? 1 : 0;
    }
    return 0;
  }();
  if (fakeDomain != nullptr) *fakeDomain = verdict == 1 ? found : String();
  return verdict;
}

// ---- Listing and edits ------------------------------------------------------------

void Cphishing::ViewPhishingDB(KeyValueSink* array) {
  if (array == nullptr) return;
  const std::shared_ptr<const Tables> tables = Current();
  array->Clear();
  if (tables == nullptr) return;
  for (size_t i = 0; i < tables->domains.size(); ++i) {
    const std::string& domain = tables->domains[i];
    array->Add(DomainKey(static_cast<int>(i)), domain.c_str(), domain.size());
  }
}

bool Cphishing::Commit(std::unique_ptr<CFileINI> ini, std::shared_ptr<const Tables> tables) {
  if (!ini->Save(path_)) {
    Note(kLogError, "Cphishing::Save", String("cannot write ") + path_ + ": the list in use is unchanged");
    return false;
  }
  db_ = std::move(ini);
  loaded_file_ = FileIdentity(path_);
  std::lock_guard<std::mutex> hold(lock_);
  tables_ = std::move(tables);
  return true;
}

namespace {

void WriteDomains(CFileINI& ini, const std::vector<std::string>& domains) {
  const int old_count = std::max(ini.GetInt(kDomain, "count", 0), 0);
  for (int i = 0; i < std::max(old_count, static_cast<int>(domains.size())); ++i) ini.DeleteKey(kDomain, DomainKey(i));
  ini.WriteInt(kDomain, "count", static_cast<int>(domains.size()));
  for (size_t i = 0; i < domains.size(); ++i) ini.WriteString(kDomain, DomainKey(static_cast<int>(i)), domains[i].c_str());
}

}  // namespace

int32_t Cphishing::CommitDomains(std::vector<std::string> domains) {
  std::unique_ptr<CFileINI> copy = CopyIni(*db_);
  WriteDomains(*copy, domains);
  std::shared_ptr<const Tables> tables = Build(*copy);
  return Commit(std::move(copy), std::move(tables)) ? 1 : 0;
}

int32_t Cphishing::AddDomainFromGui(const char* domain) {
  const std::string name = Lower(domain != nullptr ? domain : "");
  if (!IsValidDomain(name)) return 0;
  std::lock_guard<std::mutex> editing(edit_);
  std::shared_ptr<const Tables> tables = Current();
  std::vector<std::string> domains = tables != nullptr ? tables->domains : std::vector<std::string>();
  if (HasDomain(domains, name) || static_cast<int>(domains.size()) >= kMaxDomains) return 0;
  domains.push_back(name);
  return CommitDomains(std::move(domains));
}

int32_t Cphishing::DeleteFromGui(const char* domain) {
  const std::string name = Lower(domain != nullptr ? domain : "");
  std::lock_guard<std::mutex> editing(edit_);
  std::shared_ptr<const Tables> tables = Current();
  if (tables == nullptr || !HasDomain(tables->domains, name)) return 1;
  std::vector<std::string> domains = tables->domains;
  std::erase(domains, name);
  return CommitDomains(std::move(domains));
}

int32_t Cphishing::UpDateFromGui(const char* oldDomain, const char* newDomain) {
  const std::string old_name = Lower(oldDomain != nullptr ? oldDomain : "");
  const std::string new_name = Lower(newDomain != nullptr ? newDomain : "");
  if (!IsValidDomain(new_name)) return 0;
  std::lock_guard<std::mutex> editing(edit_);
  std::shared_ptr<const Tables> tables = Current();
  std::vector<std::string> domains = tables != nullptr ? tables->domains : std::vector<std::string>();
  std::erase(domains, old_name);
  if (!HasDomain(domains, new_name)) domains.push_back(new_name);
  return CommitDomains(std::move(domains));
}

String Cphishing::GetDBDate() {
  const std::shared_ptr<const Tables> tables = Current();
  return tables != nullptr ? tables->date : String();
}

String Cphishing::GetUrl() {
  const std::shared_ptr<const Tables> tables = Current();
  return tables != nullptr ? tables->url : String(kDefaultUrl);
}

void Cphishing::SetAdapter(const char* address) {
  std::lock_guard<std::mutex> hold(lock_);
  adapter_ = address != nullptr ? address : "";
}

void Cphishing::SetEuristica(int flag) {
  std::lock_guard<std::mutex> hold(lock_);
  heuristic_ = flag != 0;
}

// ---- Downloaded lists ------------------------------------------------------------------

namespace {

// Why the downloaded list cannot be merged, or null when every announced
// entry is present and usable.
const char* CheckDownload(CFileINI& list, int local_firm) {
  const int firm = list.GetInt(kSetting, "firm", 0);
  if (firm <= 0) return "no version (\"firm\"): not a list";
  if (firm <= local_firm) return "not newer than the list in use";
  std::vector<std::string> domains;
  if (!ReadDomains(list, kDomain, true, &domains, nullptr)) return "DOMAIN entries missing or not host names";
  if (!ReadDomains(list, kDelete, true, &domains, nullptr)) return "DELETE entries missing or not host names";
  for (const char* section : kTableSections) {
    const int count = list.GetInt(section, "count", 0);
    if (count < 0 || count > Cphishing::kMaxRulesPerTable) return "a rule count out of range";
    for (int i = 0; i < count; ++i) {
      Cphishing::REGOLE rule;
      std::string bad;
      std::vector<std::shared_ptr<const CompiledRegex>> compiled;
      if (!ReadRule(list, section, i, &rule)) return "a rule announced by its count is missing";
      if (!CompileRule(rule, {kSampleDomain}, &bad, &compiled)) return "a pattern does not compile";
    }
  }
  return nullptr;
}

void ReplaceRuleSection(CFileINI& to, CFileINI& from, const char* section) {
  const int old_count = std::max(to.GetInt(section, "count", 0), 0);
  for (int i = 0; i < old_count; ++i) {
    for (const char* suffix : kRuleSuffixes) to.DeleteKey(section, RuleKey(i, suffix));
  }
  const int count = from.GetInt(section, "count", 0);
  to.WriteInt(section, "count", count);
  String value;
  for (int i = 0; i < count; ++i) {
    for (const char* suffix : kRuleSuffixes) {
      if (from.FindValue(section, RuleKey(i, suffix), &value)) to.WriteString(section, RuleKey(i, suffix), value);
    }
  }
}

}  // namespace

int32_t Cphishing::MergeDownload(std::string_view text) {
  CFileINI list;
  list.LoadBuffer(std::string(text).c_str());
  std::lock_guard<std::mutex> editing(edit_);
  std::shared_ptr<const Tables> tables = Current();
  if (const char* why = CheckDownload(list, tables != nullptr ? tables->firm : 0); why != nullptr) {
    Note(kLogError, "Cphishing::UpdateDB", String("downloaded list refused: ") + why);
    return 0;
  }
  std::vector<std::string> domains = tables != nullptr ? tables->domains : std::vector<std::string>();
  std::vector<std::string> removed;
  std::vector<std::string> added;
  ReadDomains(list, kDelete, true, &removed, nullptr);
  ReadDomains(list, kDomain, true, &added, nullptr);
  for (const std::string& domain : removed) std::erase(domains, domain);
  for (const std::string& domain : added) {
    if (!HasDomain(domains, domain) && static_cast<int>(domains.size()) < kMaxDomains) domains.push_back(domain);
  }
  std::unique_ptr<CFileINI> merged = CopyIni(*db_);
  WriteDomains(*merged, domains);
  for (const char* section : kTableSections) {
    if (list.GetInt(section, "count", 0) != 0) ReplaceRuleSection(*merged, list, section);
  }
  String value;
  merged->WriteInt(kSetting, "firm", list.GetInt(kSetting, "firm", 0));
  merged->WriteString(kSetting, "date", list.GetString(&value, kSetting, "date", ""));
  std::shared_ptr<const Tables> next = Build(*merged);
  if (!Commit(std::move(merged), std::move(next))) return 0;
  Note(kLogEngine, "Cphishing::UpdateDB", String("phishing list updated, dated ") + value);
  return 1;
}

int32_t Cphishing::UpdateDB() {
  CTorvaneHTTPClient client;
  {
    std::lock_guard<std::mutex> hold(lock_);
    client.SetIPAdatper(adapter_.c_str());
  }
  client.SetAgentName(kAgentName);
  client.SetTimeOut(kDownloadTimeoutMs);
  client.SetMaxBytes(kMaxListBytes);
  const String url = GetUrl();
  String line;
  if (!client.SendRequest(CTorvaneHTTPClient::kGet, url, nullptr)) {
    Note(kLogError, "Cphishing::UpdateDB",
         line.Format("download from %.200s failed: no complete answer in time", Text(url)));
    return 0;
  }
  if (client.GetStatus() != 200) {
    Note(kLogError, "Cphishing::UpdateDB",
         line.Format("download from %.200s refused: status %d", Text(url), client.GetStatus()));
    return 0;
  }
  return MergeDownload(client.Body());
}
