// content_rules - rule records, their compiled table and message scoring.
#include "engines/content_rules.h"

#include <cmath>
#include <cstring>

namespace {

constexpr char kSource[] = "content_rules";
constexpr char kMatched[] = "MACTH";
constexpr char kNotMatched[] = "NO MACTH";

const char* Text(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }

bool KnownTarget(int32_t target) { return target >= kRuleSubject && target <= kRuleDecodedText; }

bool IsTextType(std::string_view type) { return type == "text/plain" || type == "text/html"; }

void PutLittleEndian(uint32_t value, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

uint32_t GetLittleEndian(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return value;
}

std::string Encode(const CRules::RULE& rule) {
  std::string value(CRules::kHeaderBytes, '\0');
  uint32_t score_bits = 0;
  static_assert(sizeof(score_bits) == sizeof(rule.score));
  memcpy(&score_bits, &rule.score, sizeof(score_bits));
  PutLittleEndian(score_bits, &value[0]);
  PutLittleEndian(static_cast<uint32_t>(rule.target), &value[4]);
  PutLittleEndian(static_cast<uint32_t>(rule.options), &value[8]);
  value.append(rule.pattern.View());
  return value;
}

// False for a value too short to hold the fixed fields.
bool Decode(const CDB_RAM::RECORD& record, CRules::RULE* rule) {
  if (record.value == nullptr || record.len < CRules::kHeaderBytes) return false;
  const char* value = record.value.get();
  const uint32_t score_bits = GetLittleEndian(value);
  memcpy(&rule->score, &score_bits, sizeof(rule->score));
  rule->target = static_cast<int32_t>(GetLittleEndian(value + 4));
  rule->options = static_cast<int32_t>(GetLittleEndian(value + 8));
  rule->name = record.key;
  rule->pattern = String(std::string_view(value + CRules::kHeaderBytes, record.len - CRules::kHeaderBytes));
  return true;
}

// Why a rule cannot be used, or null when it can.
const char* Refusal(const CRules::RULE& rule, std::shared_ptr<const CompiledRegex>* compiled) {
  if (rule.name.IsEmpty()) return "no name";
  if (rule.pattern.IsEmpty()) return "empty pattern";
  if (!std::isfinite(rule.score)) return "score is not a number";
  if (!KnownTarget(rule.target)) return "unknown target";
  *compiled = CompiledRegex::Compile(rule.pattern.View(), rule.options);
  if (*compiled == nullptr) return "pattern does not compile";
  return nullptr;
}

// Builds each target text of one message at most once.
class TargetTexts {
 public:
  explicit TargetTexts(CParseMail* mail) : mail_(mail) {}
  const std::string& Get(int32_t target) {
    const size_t slot = static_cast<size_t>(target - kRuleSubject);
    if (!built_[slot]) {
      texts_[slot] = CRules::TargetText(mail_, target);
      built_[slot] = true;
    }
    return texts_[slot];
  }

 private:
  CParseMail* mail_;
  static constexpr size_t kTargets = kRuleDecodedText - kRuleSubject + 1;
  bool built_[kTargets] = {};
  std::string texts_[kTargets];
};

}  // namespace

// ---- CRulesResult ------------------------------------------------------------

const char* CRulesResult::Scratch(const String& text) {
  scratch_ = text;
  return scratch_.GetData() != nullptr ? scratch_.GetData() : "";
}

const char* CRulesResult::GetRulesName(int i) { return At(i) != nullptr ? Scratch(At(i)->name) : Scratch(String()); }

const char* CRulesResult::GetRulesRE(int i) { return At(i) != nullptr ? Scratch(At(i)->pattern) : Scratch(String()); }

float CRulesResult::GetRulesScore(int i) const { return At(i) != nullptr ? At(i)->score : 0.0f; }

// ---- CRules: edits ------------------------------------------------------------

int32_t CRules::AddRule(const char* name, const char* pattern, int32_t target, float score, int32_t options) {
  if (name == nullptr || pattern == nullptr) return 0;
  RULE rule;
  rule.name = name;
  rule.pattern = pattern;
  rule.target = target;
  rule.score = score;
  rule.options = options;
  return AddRule(rule);
}

int32_t CRules::AddRule(const RULE& rule) {
  std::shared_ptr<const CompiledRegex> compiled;
  if (Refusal(rule, &compiled) != nullptr) return 0;
  const std::string value = Encode(rule);
  return Insert(rule.name, value.data(), static_cast<int32_t>(value.size()), 0) == 1 ? 1 : 0;
}

int32_t CRules::DeleteRule(const char* name) {
  if (name != nullptr) Delete(name);
  return 1;
}

// ---- CRules: the compiled table ------------------------------------------------

std::shared_ptr<const CRules::Table> CRules::CurrentTable() {
  std::shared_ptr<const Table> table;
  {
    std::lock_guard<std::mutex> hold(table_lock_);
    table = table_;
  }
  if (table != nullptr && table->generation == GetGeneration()) return table;
  // Another thread rebuilding: the previous table serves meanwhile.
  std::unique_lock<std::mutex> rebuilding(rebuild_, std::try_to_lock);
  if (!rebuilding.owns_lock()) {
    if (table != nullptr) return table;
    rebuilding.lock();
  }
  std::shared_ptr<const Table> fresh = BuildTable();
  std::lock_guard<std::mutex> hold(table_lock_);
  if (table_ == nullptr || table_->generation < fresh->generation) table_ = fresh;
  return table_;
}

std::shared_ptr<const CRules::Table> CRules::BuildTable() {
  std::vector<RULE> records;
  std::vector<String> damaged;
  auto table = std::make_shared<Table>();
  // Copied under the store's lock, compiled after it is released.
  table->generation = ForEachLive([&](const RECORD& record) {
    RULE rule;
    if (Decode(record, &rule)) {
      records.push_back(std::move(rule));
    } else {
      damaged.push_back(record.key);
    }
  });
  String line;
  for (const String& name : damaged) {
    log_.LogS(kLogError, line.Format("rule \"%.100s\" skipped: damaged record (kept in the file)", Text(name)),
              kSource, "CRules::Load", log_type::kSys, 0);
  }
  for (RULE& rule : records) {
    Compiled entry;
    if (const char* why = Refusal(rule, &entry.regex); why != nullptr) {
      log_.LogS(kLogError, line.Format("rule \"%.100s\" skipped: %s (kept in the file)", Text(rule.name), why),
                kSource, "CRules::Load", log_type::kSys, 0);
      continue;
    }
    entry.name = std::move(rule.name);
    entry.score = rule.score;
    entry.target = rule.target;
    entry.pattern = std::move(rule.pattern);
    table->rules.push_back(std::move(entry));
  }
  return table;
}

void CRules::NoteLimited(const String& name) {
  if (!limit_notices_.Pass(notice_clock_())) return;
  String line;
  log_.LogS(kLogError, line.Format("rule \"%.100s\" cut off by the match limits: taken as no match", Text(name)),
            kSource, "CRules::IsScoreRules", log_type::kSys, 0);
}

// ---- CRules: evaluation -----------------------------------------------------------

std::string CRules::TargetText(CParseMail* mail, int32_t target) {
  switch (target) {
    case kRuleSubject:
      return mail->GetSubject();
    case kRuleTextBody: {
      // A message without a Content-Type is plain text.
      const std::string_view type = mail->GetContentType();
      if (IsTextType(type) || (type.empty() && mail->GetAttachmentCount() == 0)) return std::string(mail->BodyView());
      std::string text;
      for (int i = 0; i < mail->GetAttachmentCount(); ++i) {
        const CParseMail::ALLEGATO* part = mail->Attachment(i);
        if (IsTextType(part->contentType.View())) text.append(part->data.View());
      }
      return text;
    }
    case kRuleRawMessage:
      return std::string(mail->RawView());
    case kRuleDecodedText: {
      std::string text;
      mail->ForEachText([&text](std::string_view, const std::string& part) { text += part; });
      return text;
    }
    default:
      return std::string();
  }
}

float CRules::IsScoreRules(CParseMail* mail, CRulesResult* result) {
  if (result != nullptr) result->Clear();
  if (mail == nullptr) return 0.0f;
  const std::shared_ptr<const Table> table = CurrentTable();
  TargetTexts texts(mail);
  float sum = 0.0f;
  for (const Compiled& rule : table->rules) {
    const RegexOutcome outcome = rule.regex->Match(texts.Get(rule.target));
    if (outcome == RegexOutcome::kLimited) NoteLimited(rule.name);
    if (outcome != RegexOutcome::kMatch) continue;
    sum += rule.score;
    if (result != nullptr) result->AddRule({rule.name, rule.score, rule.pattern});
  }
  return sum;
}

const char* CRules::RuleTest(CParseMail* mail, const char* pattern, int32_t target, int32_t options,
                             KeyValueSink* array) {
  if (mail == nullptr) return "";
  const std::shared_ptr<const CompiledRegex> regex =
      CompiledRegex::Compile(pattern != nullptr ? pattern : "", options);
  if (regex == nullptr) return kNotMatched;
  std::vector<std::string> groups;
  if (regex->Match(TargetText(mail, target), &groups) != RegexOutcome::kMatch) return kNotMatched;
  if (array != nullptr) {
    String key;
    for (size_t i = 0; i < groups.size(); ++i) {
      array->Add(key.Format("$%d", static_cast<int>(i + 1)), groups[i].c_str(), groups[i].size());
    }
  }
  return kMatched;
}

void CRules::RuletoArray(KeyValueSink* array) {
  if (array == nullptr) return;
  std::vector<std::pair<String, String>> listing;
  ForEachLive([&listing](const RECORD& record) {
    RULE rule;
    if (!Decode(record, &rule)) return;
    String value;
    value.Format("%.3f\x02%d\x02%d\x02", static_cast<double>(rule.score), rule.target, rule.options);
    value.append(rule.pattern);
    listing.emplace_back(rule.name, std::move(value));
  });
  // Filled after the store's lock is released: the sink may be a script array.
  array->Clear();
  for (const auto& [name, value] : listing) array->Add(name, value, value.size());
}
