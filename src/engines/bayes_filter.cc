// bayes_filter - the counter table's classifier and training, the writer
// lock, the quarantines and their hygiene (see bayes_filter.h).
#include "engines/bayes_filter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/atomic_file.h"
#include "base/md5.h"
#include "base/utility.h"

namespace {

constexpr char kSource[] = "bayes";
constexpr char kFieldSeparator = 0x02;
constexpr char kQuarantineRoot[] = "quarantine";
// Quarantined mail is private: folders and files are the daemon's alone.
constexpr mode_t kQuarantineFolderMode = 0700;
constexpr mode_t kQuarantineFileMode = 0600;
constexpr int32_t kCounterBytes = 2;

int16_t DecodeCounter(const CDB_RAM::RECORD* record) {
  if (record == nullptr || record->len != kCounterBytes || record->value == nullptr) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(record->value.get());
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

void EncodeCounter(int value, char out[kCounterBytes]) {
  const uint16_t bits = static_cast<uint16_t>(static_cast<int16_t>(value));
  out[0] = static_cast<char>(bits & 0xFF);
  out[1] = static_cast<char>(bits >> 8);
}

String ScoreLine(int score, const String& token) {
  String line;
  line.Format("SCORE %d : %s", score, token.GetData() != nullptr ? token.GetData() : "");
  return line;
}

// Makes `path` a folder of `mode` unless it exists.
bool EnsureFolder(const String& path, mode_t mode) {
  if (mkdir(path.GetData(), mode) == 0) return true;
  struct stat info;
  return errno == EEXIST && stat(path.GetData(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

// One quarantine: its class code, index store file, folder and counter.
struct CBayes::Quarantine {
  int code;
  const char* name;  // as GetDBRam takes it
  const char* file;
  const char* folder;  // under kQuarantineRoot
  const char* statistic;
  CDB_RAM CBayes::*store;
};

const CBayes::Quarantine CBayes::kQuarantines[4] = {
    {CBayes::kNeutral, "NEUTRAL", "db/eq_neutral.db", "neutral", "f11_bayes_neutral", &CBayes::neutral_},
    {CBayes::kLearn, "LEARN", "db/eq_learn.db", "learn", "f11_bayes_tolearn", &CBayes::learn_},
    {CBayes::kSpam, "SPAM", "db/eq_spam.db", "spam", "f11_bayes_spam", &CBayes::spam_},
    {CBayes::kHam, "HAM", "db/eq_ham.db", "ham", "f11_bayes_ham", &CBayes::ham_},
};

BayesSettings BayesSettingsFromConfig(const CConfig& config) {
  BayesSettings settings;
  settings.min_occurrences_percent = config.occorenze_per;
  settings.quarantine_lifetime_value = config.bayes_delete_mail_time;
  settings.quarantine_lifetime_unit = config.bayes_delete_mail_type;
  settings.method = config.bayes_method;
  settings.cutoffs.spam = config.bayes_spam_cutoff;
  settings.cutoffs.ham = config.bayes_ham_cutoff;
  settings.cutoffs.min_trained = config.bayes_min_trained;
  settings.token_lifetime_value = config.bayes_token_delete_time;
  settings.token_lifetime_unit = config.bayes_token_delete_type;
  return settings;
}

// {=========== construction, loading, the writer lock

CBayes::CBayes() {
  for (CDB_RAM* store : {static_cast<CDB_RAM*>(this), &neutral_, &learn_, &spam_, &ham_,
                         static_cast<CDB_RAM*>(&tokens_)}) {
    store->SetWritable(false);
  }
}

CBayes::~CBayes() {
  if (lock_fd_ >= 0) close(lock_fd_);  // releases the flock
}

int CBayes::SuperLoad() {
  int opened = 0;
  auto load = [&opened](CDB_RAM* store, const char* file) {
    if (!store->Open(file)) return;
    store->Load();
    ++opened;
  };
  load(this, kWordFile);
  load(&tokens_, CBayesTokens::kFile);
  for (const Quarantine& quarantine : kQuarantines) load(StoreOf(quarantine), quarantine.file);
  return opened == 6 ? 1 : 0;
}

bool CBayes::TakeWriterLock() {
  std::lock_guard<std::mutex> hold(writer_lock_);
  if (lock_fd_ >= 0) return true;
  String path;
  MakeAppPath(&path, kLockFile);
  const int fd = open(path.GetData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const bool held_elsewhere = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (fd < 0 || held_elsewhere) {
    if (fd >= 0) close(fd);
    String line;
    line.Format(held_elsewhere ? "Bayes stores are held by another writer (%s): this copy will not save"
                               : "Can't open %s: this copy of the Bayes stores will not save",
                path.GetData());
    log_.LogS(kLogError, line, kSource, "CBayes::TakeWriterLock", log_type::kSys, 0);
    return false;
  }
  lock_fd_ = fd;
  for (CDB_RAM* store : {static_cast<CDB_RAM*>(this), &neutral_, &learn_, &spam_, &ham_,
                         static_cast<CDB_RAM*>(&tokens_)}) {
    store->SetWritable(true);
  }
  return true;
}

bool CBayes::RefuseSave(const char* what) {
  String line;
  line.Format("%s not saved: this copy of the Bayes stores does not hold %s", what, kLockFile);
  log_.LogS(kLogError, line, kSource, "CBayes::Save", log_type::kSys, 0);
  return false;
}

bool CBayes::SaveAll() {
  if (!HoldsWriterLock()) return RefuseSave("Bayes stores");
  bool saved = Save() == 1;
  saved = tokens_.Save() == 1 && saved;
  for (const Quarantine& quarantine : kQuarantines) saved = StoreOf(quarantine)->Save() == 1 && saved;
  return saved;
}

// }===========

// {=========== settings

void CBayes::ApplySettings(const BayesSettings& settings) {
  SetMinOccorenze(settings.min_occurrences_percent);
  for (const Quarantine& quarantine : kQuarantines) {
    StoreOf(quarantine)->SetTimeOfValidityRecord(settings.quarantine_lifetime_value, settings.quarantine_lifetime_unit);
  }
  method_ = settings.method;
  const int64_t lifetime = static_cast<int64_t>(settings.token_lifetime_value) * settings.token_lifetime_unit;
  token_lifetime_seconds_ = static_cast<int32_t>(std::clamp<int64_t>(lifetime, 0, INT32_MAX));
  std::lock_guard<std::mutex> hold(cutoffs_lock_);
  cutoffs_ = settings.cutoffs;
}

void CBayes::SetMinOccorenze(float percent) {
  const float p = std::min(percent > 1.0f ? percent : 0.0f, 99.0f);
  max_unknown_ = 1.0f - p / 100.0f;
}

// }===========

// {=========== classification and training

int CBayes::ElaborateForVerdict(CBayesWord* words, CParseMail* mail) const {
  return method() == 1 ? words->ElaborateTokens(mail) : words->Elaborate(mail);
}

int CBayes::IsSpam(CBayesWord* words, CBayes_res* res) {
  if (words == nullptr) return kNeutral;
  return method() == 1 ? TokenVerdictCode(words, res) : CounterVerdict(words, res);
}

int CBayes::CounterVerdict(CBayesWord* words, CBayes_res* res) {
  const CArray<String>& list = words->words();
  const int n = list.GetSize();
  if (n == 0) return kNeutral;
  int unknown = 0, spam_sum = 0, ham_sum = 0;
  BiginTranstion();
  for (const String& word : list) {
    const int32_t found = Find(word.GetData(), 0);
    if (found < 0) {
      ++unknown;
      if (res != nullptr) res->unknown.Add(ScoreLine(0, word));
      continue;
    }
    const int score = std::clamp<int>(DecodeCounter(GetByIndexPtr(found)), -kMaxEvidence, kMaxEvidence);
    if (score < 0) {
      ham_sum -= score;
      if (res != nullptr) res->ham.Add(ScoreLine(score, word));
    } else {
      spam_sum += score;
      if (res != nullptr) res->spam.Add(ScoreLine(score, word));
    }
  }
  EndTransation();
  const int total = unknown + spam_sum + ham_sum;
  const float p_spam = total > 0 ? static_cast<float>(spam_sum) / total : 0.0f;
  const float p_ham = total > 0 ? static_cast<float>(ham_sum) / total : 0.0f;
  const float p_unknown = static_cast<float>(unknown) / n;
  if (res != nullptr) {
    res->pSpam = p_spam, res->pHam = p_ham, res->pUnknown = p_unknown;
    res->total = total, res->tokens = n, res->threshold = GetMaxUnknown();
  }
  if (p_unknown > GetMaxUnknown()) return kLearn;
  const float lead = p_spam - p_ham;
  return lead < 0 ? kHam : lead > 0 ? kSpam : kNeutral;
}

int CBayes::TokenVerdictCode(CBayesWord* words, CBayes_res* res) {
  TokenCutoffs cutoffs;
  {
    std::lock_guard<std::mutex> hold(cutoffs_lock_);
    cutoffs = cutoffs_;
  }
  const TokenVerdict verdict = tokens_.Classify(words->tokens(), cutoffs);
  if (res != nullptr) {
    res->pSpam = static_cast<float>(verdict.score);
    res->pHam = static_cast<float>(1 - verdict.score);
    const int n = static_cast<int>(words->tokens().size());
    res->pUnknown = n > 0 ? static_cast<float>(n - verdict.known) / n : 0.0f;
    res->total = verdict.known, res->tokens = n, res->threshold = static_cast<float>(cutoffs.spam);
  }
  return verdict.code;
}

int CBayes::IsSpamScript(CBayesWord* words, KeyValueSink* array) {
  if (array == nullptr) return kNeutral;
  CBayes_res res;
  const int code = IsSpam(words, &res);
  array->Clear();
  String key;
  auto add_all = [&](const char* format, const CArray<String>& lines) {
    for (int i = 0; i < lines.GetSize(); ++i) {
      key.Format(format, i);
      array->Add(key, lines[i].GetData(), static_cast<size_t>(lines[i].size()));
    }
  };
  add_all("s_%d", res.spam);
  add_all("h_%d", res.ham);
  add_all("n_%d", res.unknown);
  String score;
  score.Format("%.6f", res.pSpam);
  array->Add("score", score.GetData(), static_cast<size_t>(score.size()));
  return code;
}

void CBayes::TrainCounters(const CArray<String>& words, int step) {
  char value[kCounterBytes];
  BiginTranstion();
  for (const String& word : words) {
    const int32_t found = Find(word.GetData(), 0);
    if (found < 0) {
      EncodeCounter(step, value);
      Insert(word.GetData(), value, kCounterBytes, 0);
      continue;
    }
    const int counter = std::clamp(DecodeCounter(GetByIndexPtr(found)) + step, -kMaxCounter, kMaxCounter);
    EncodeCounter(counter, value);
    Update(word.GetData(), value, kCounterBytes, 0);
  }
  EndTransation();
}

void CBayes::PopolateDB(CBayesWord* words, int mode) {
  if (words == nullptr) return;
  TrainCounters(words->words(), mode == kHam ? -1 : 1);
  tokens_.Train(words->tokens(), mode != kHam);
}

int CBayes::GetWordsCount(const char* name) {
  if (name == nullptr) return 0;
  const String kind(name);
  const bool ham = kind.CompareNoCase("ham") == 0;
  const bool spam = kind.CompareNoCase("spam") == 0;
  const bool neutral = kind.CompareNoCase("neutral") == 0;
  if (!ham && !spam && !neutral) return 0;
  int64_t sum = 0;
  BiginTranstion();
  const int32_t count = GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record == nullptr || record->deleted) continue;
    const int counter = DecodeCounter(record);
    if (ham && counter < 0) sum -= counter;
    if (spam && counter > 0) sum += counter;
    if (neutral && counter == 0) ++sum;
  }
  EndTransation();
  return static_cast<int>(std::min<int64_t>(sum, INT32_MAX));
}

void CBayes::RemoveNeutral(int saveAlways) {
  std::vector<std::string> neutral;
  BiginTranstion();
  const int32_t count = GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record != nullptr && !record->deleted && DecodeCounter(record) == 0) neutral.push_back(record->key.ToStdString());
  }
  for (const std::string& key : neutral) Delete(key.c_str());
  EndTransation();
  if (neutral.empty() && !saveAlways) return;
  if (!HoldsWriterLock()) {
    RefuseSave("Bayes word table");
    return;
  }
  Save();
}

// }===========

// {=========== quarantines

const CBayes::Quarantine* CBayes::QuarantineOf(int code) const {
  for (const Quarantine& quarantine : kQuarantines) {
    if (quarantine.code == code) return &quarantine;
  }
  return nullptr;
}

CDB_RAM* CBayes::StoreOf(const Quarantine& quarantine) { return &(this->*quarantine.store); }

CDB_RAM* CBayes::GetDBRam(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Quarantine& quarantine : kQuarantines) {
    if (String(name).CompareNoCase(quarantine.name) == 0) return StoreOf(quarantine);
  }
  return nullptr;
}

int CBayes::AddQuarantena(CParseMail* mail, const char* first, const char* second, int classCode,
                          CStatitiche_Day* stats) {
  if (mail == nullptr) return 0;
  return AddQuarantena(mail->RawView(), mail->GetSubject(), first, second, classCode, stats);
}

int CBayes::AddQuarantena(std::string_view raw, std::string subject, const char* first, const char* second,
                          int classCode, CStatitiche_Day* stats) {
  const Quarantine* quarantine = QuarantineOf(classCode);
  if (raw.empty() || quarantine == nullptr) return 0;
  CDB_RAM* store = StoreOf(*quarantine);
  const String key = MD5Hex(raw.data(), raw.size());
  if (store->Find(key.GetData(), 0) >= 0) return 1;

  std::string first_text = first != nullptr ? first : "";
  std::string second_text = second != nullptr ? second : "";
  auto value_size = [&] { return first_text.size() + second_text.size() + subject.size() + 2; };
  if (value_size() > kMaxQuarantineValue) subject.resize(std::min(subject.size(), kCutTextChars));
  if (value_size() > kMaxQuarantineValue) second_text.resize(std::min(second_text.size(), kCutTextChars));
  const std::string value = first_text + kFieldSeparator + second_text + kFieldSeparator + subject;

  String root, folder, path;
  MakeAppPath(&root, kQuarantineRoot);
  folder.Format("%s/%s", root.GetData(), quarantine->folder);
  path.Format("%s/%s.eml", folder.GetData(), key.GetData());
  AtomicFile file(path.ToStdString(), kQuarantineFileMode);
  const bool written = EnsureFolder(root, kQuarantineFolderMode) && EnsureFolder(folder, kQuarantineFolderMode) &&
                       file.Open() && file.Write(raw.data(), raw.size()) && file.Commit();
  if (!written) {
    String line;
    line.Format("Can't write quarantined message %s", path.GetData());
    log_.LogS(kLogError, line, kSource, "CBayes::AddQuarantena", log_type::kSys, 0);
    return 0;
  }
  // A concurrent filing of the same message may have added the record.
  store->Insert(key.GetData(), value.data(), static_cast<int32_t>(value.size()), 0);
  if (stats != nullptr) stats->AddItem(quarantine->statistic, kStatisticsGroup, 0, 1, CStatitiche_Day::kIncrement);
  return 1;
}

int CBayes::RemoveFile(CDB_RAM* store, const char* directory) {
  if (store == nullptr || directory == nullptr) return 0;
  if (store->GetVauleTime() == 0 && store->GetVaule_smhdMy() == 0) return 0;
  const int64_t threshold =
      static_cast<int64_t>(store->Now()) - static_cast<int64_t>(store->GetVauleTime()) * store->GetVaule_smhdMy();
  std::vector<std::string> expired;
  store->BiginTranstion();
  const int32_t count = store->GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = store->GetByIndexPtr(n);
    if (record != nullptr && !record->deleted && record->time <= threshold) expired.push_back(record->key.ToStdString());
  }
  store->EndTransation();
  if (expired.empty()) return 0;
  // Files first: a crash in between leaves a record without its file,
  // which the next pass removes, never a file nobody indexes.
  for (const std::string& key : expired) unlink((std::string(directory) + key + ".eml").c_str());
  for (const std::string& key : expired) store->Delete(key.c_str());
  if (HoldsWriterLock()) store->Save();
  return static_cast<int>(expired.size());
}

void CBayes::SanitizeAll() {
  String root;
  MakeAppPath(&root, kQuarantineRoot);
  for (const Quarantine& quarantine : kQuarantines) {
    String directory;
    directory.Format("%s/%s/", root.GetData(), quarantine.folder);
    RemoveFile(StoreOf(quarantine), directory.GetData());
  }
  if (token_lifetime_seconds_.load() > 0 && tokens_.DropStale(token_lifetime_seconds_.load()) > 0 && !HoldsWriterLock()) {
    RefuseSave("Bayes token table");
  }
}

// }===========
