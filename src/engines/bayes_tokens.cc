// bayes_tokens - the token table's training, classification and hygiene
// (see bayes_tokens.h).
#include "engines/bayes_tokens.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// A token's counts as stored: two little-endian int32, spam then ham.
struct Counts {
  int32_t spam = 0;
  int32_t ham = 0;
};
constexpr int32_t kValueBytes = 8;

void PutInt32(char* out, int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

int32_t GetInt32(const char* in) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return static_cast<int32_t>(bits);
}

// A record of another shape (a damaged file) counts as nothing.
Counts Decode(const CDB_RAM::RECORD* record) {
  Counts counts;
  if (record == nullptr || record->len != kValueBytes || record->value == nullptr) return counts;
  counts.spam = std::max(0, GetInt32(record->value.get()));
  counts.ham = std::max(0, GetInt32(record->value.get() + 4));
  return counts;
}

int32_t SaturatingIncrement(int32_t value) { return value < INT32_MAX ? value + 1 : value; }

// Robinson's probability that a message holding a token is spam.
double TokenProbability(const Counts& counts, int32_t spam_messages, int32_t ham_messages) {
  const double spam_ratio = static_cast<double>(counts.spam) / spam_messages;
  const double ham_ratio = static_cast<double>(counts.ham) / ham_messages;
  const double p = spam_ratio / (spam_ratio + ham_ratio);
  const double n = static_cast<double>(counts.spam) + counts.ham;
  return (CBayesTokens::kPriorStrength * CBayesTokens::kPriorProbability + n * p) /
         (CBayesTokens::kPriorStrength + n);
}

}  // namespace

// Sum over i < half_freedom of e^-m m^i / i!, with m = x2 / 2, added in
// the log domain so neither a large m nor many terms under- or overflow.
double CBayesTokens::ChiSquareTail(double x2, int half_freedom) {
  if (half_freedom <= 0) return 1.0;
  if (x2 <= 0) return 1.0;
  const double m = x2 / 2;
  const double log_m = std::log(m);
  double log_term = -m;  // i = 0
  double log_sum = log_term;
  for (int i = 1; i < half_freedom; ++i) {
    log_term += log_m - std::log(static_cast<double>(i));
    const double high = std::max(log_sum, log_term);
    log_sum = high + std::log(std::exp(log_sum - high) + std::exp(log_term - high));
  }
  return std::min(1.0, std::exp(log_sum));
}

void CBayesTokens::Train(const std::vector<std::string>& tokens, bool spam) {
  auto count = [&](const char* key) {
    const int32_t found = Find(key, 0);
    Counts counts = Decode(found >= 0 ? GetByIndexPtr(found) : nullptr);
    int32_t& field = spam ? counts.spam : counts.ham;
    field = SaturatingIncrement(field);
    char value[kValueBytes];
    PutInt32(value, counts.spam);
    PutInt32(value + 4, counts.ham);
    if (found >= 0) {
      Update(key, value, kValueBytes, 0);
    } else {
      Insert(key, value, kValueBytes, 0);
    }
  };
  BiginTranstion();
  count(kTotalsKey);
  for (const std::string& token : tokens) count(token.c_str());
  EndTransation();
}

void CBayesTokens::Totals(int32_t* spam, int32_t* ham) {
  BiginTranstion();
  const int32_t found = Find(kTotalsKey, 0);
  const Counts totals = Decode(found >= 0 ? GetByIndexPtr(found) : nullptr);
  EndTransation();
  *spam = totals.spam;
  *ham = totals.ham;
}

TokenVerdict CBayesTokens::Classify(const std::vector<std::string>& tokens, const TokenCutoffs& cutoffs) {
  TokenVerdict verdict;
  std::vector<Counts> evidence;
  evidence.reserve(tokens.size());
  BiginTranstion();
  const int32_t totals_at = Find(kTotalsKey, 0);
  const Counts totals = Decode(totals_at >= 0 ? GetByIndexPtr(totals_at) : nullptr);
  for (const std::string& token : tokens) {
    if (const RECORD* record = GetByKeyPtr(token)) evidence.push_back(Decode(record));
  }
  EndTransation();
  verdict.spam_messages = totals.spam;
  verdict.ham_messages = totals.ham;
  if (totals.spam < std::max(1, cutoffs.min_trained) || totals.ham < std::max(1, cutoffs.min_trained)) {
    verdict.code = 4;
    return verdict;
  }
  double log_spam = 0, log_ham = 0;  // sums of ln f and ln (1 - f)
  for (const Counts& counts : evidence) {
    if (counts.spam == 0 && counts.ham == 0) continue;
    const double f = TokenProbability(counts, totals.spam, totals.ham);
    if (std::fabs(f - 0.5) < kMinDeviation) continue;
    log_spam += std::log(f);
    log_ham += std::log(1 - f);
    ++verdict.known;
  }
  if (verdict.known > 0) {
    // Each near 1 when its probabilities are far too extreme for chance.
    const double spam_evidence = 1 - ChiSquareTail(-2 * log_ham, verdict.known);
    const double ham_evidence = 1 - ChiSquareTail(-2 * log_spam, verdict.known);
    verdict.score = std::clamp((1 + spam_evidence - ham_evidence) / 2, 0.0, 1.0);
  }
  verdict.code = verdict.score >= cutoffs.spam ? 1 : verdict.score <= cutoffs.ham ? 2 : 3;
  return verdict;
}

int CBayesTokens::DropStale(int32_t max_age_seconds) {
  const int64_t threshold = static_cast<int64_t>(Now()) - max_age_seconds;
  std::vector<std::string> stale;
  BiginTranstion();
  const int32_t count = GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record == nullptr || record->deleted || record->time > threshold) continue;
    const Counts counts = Decode(record);
    if (static_cast<int64_t>(counts.spam) + counts.ham != 1 || record->key == kTotalsKey) continue;
    stale.push_back(record->key.ToStdString());
  }
  for (const std::string& key : stale) Delete(key.c_str());
  EndTransation();
  if (!stale.empty()) Save();
  return static_cast<int>(stale.size());
}
