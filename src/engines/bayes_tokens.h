// bayes_tokens - CBayesTokens, the Bayes filter's token table: for every
// token the number of spam and of ham messages trained that held it, and
// the classifier over it. Token probabilities follow Robinson (each
// token's spam ratio pulled towards 0.5 while it has little evidence);
// Fisher's chi-square combination of them gives one score in [0, 1].
// Lives in "db/bayestokens.db" beside the counter table of CBayes.
#ifndef TORVANE_ENGINES_BAYES_TOKENS_H_
#define TORVANE_ENGINES_BAYES_TOKENS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engines/record_store.h"

// The thresholds that turn a score into a classification code.
struct TokenCutoffs {
  double spam = 0.9;     // a score at or above: 1 (spam)
  double ham = 0.2;      // at or below: 2 (ham); between: 3 (unsure)
  int min_trained = 20;  // fewer messages of either class trained: 4
};

// What the token table says of one message.
struct TokenVerdict {
  double score = 0.5;   // 0 ham ... 1 spam
  int code = 3;         // 1 spam, 2 ham, 3 unsure, 4 not trained enough
  int known = 0;        // tokens that counted
  int spam_messages = 0;
  int ham_messages = 0;
};

// Thread-safe: training and classifying each hold the store's lock for
// the whole message, so concurrent training loses no count and a verdict
// never sees half a message trained.
class CBayesTokens : public CDB_RAM {
 public:
  static constexpr const char* kFile = "db/bayestokens.db";
  // The record holding the message totals: a blank never occurs in a token.
  static constexpr const char* kTotalsKey = " totals";
  // Robinson's prior: the weight (in messages) of the assumed probability
  // of a token the table barely knows. Weak, so that a token seen in a few
  // messages of one class already counts (measured with bench/bayes).
  static constexpr double kPriorStrength = 0.1;
  static constexpr double kPriorProbability = 0.5;
  // Tokens whose probability lies closer than this to 0.5 say little and
  // are left out of the combination: counting them pulls scores towards
  // 0.5 and spams into the ham side (measured with bench/bayes).
  static constexpr double kMinDeviation = 0.3;

  // Counts `tokens` (distinct) as one more spam or ham message: each
  // token's count and the totals, saturating at INT32_MAX; a token's
  // record time becomes now (last trained).
  void Train(const std::vector<std::string>& tokens, bool spam);
  // The verdict on a message with `tokens` (distinct).
  TokenVerdict Classify(const std::vector<std::string>& tokens, const TokenCutoffs& cutoffs);
  // Messages trained, per class.
  void Totals(int32_t* spam, int32_t* ham);
  // Removes the tokens trained only once whose last training is
  // `max_age_seconds` or more ago, and saves when any went. The number
  // removed.
  int DropStale(int32_t max_age_seconds);

  // The chance that a chi-square variable with 2 * `half_freedom` degrees
  // of freedom exceeds `x2` (its upper tail). Exposed for tests.
  static double ChiSquareTail(double x2, int half_freedom);
};

#endif  // TORVANE_ENGINES_BAYES_TOKENS_H_
