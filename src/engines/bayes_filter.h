// bayes_filter - CBayes, the Bayes filter: a table of signed counters per
// word (positive: seen in spam, negative: in ham) with the classifier over
// it, the token table of the stronger classifier (bayes_tokens.h), and four
// quarantines (spam, ham, neutral, to-learn) of ".eml" files with an index
// store each. The proxy core owns the daemon's one; scripts classify,
// train and file through it (CS_Bayes, BayesianCheck,
// AddToBayesianQuarantine). CBayes_res holds the detail of a verdict.
#ifndef TORVANE_ENGINES_BAYES_FILTER_H_
#define TORVANE_ENGINES_BAYES_FILTER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/config.h"
#include "base/key_value_sink.h"
#include "base/object_array.h"
#include "base/statistics.h"
#include "base/string.h"
#include "base/xml_log.h"
#include "engines/bayes_tokens.h"
#include "engines/bayes_words.h"
#include "engines/mail_parser.h"
#include "engines/record_store.h"

// The configuration's BAYES section.
struct BayesSettings {
  float min_occurrences_percent = 32.0f;  // "occorenze_per"
  int quarantine_lifetime_value = 72;     // "bayes_delete_mail_time"
  int quarantine_lifetime_unit = 3600;    // "bayes_delete_mail_type"
  int method = 0;                         // "bayes_method": 0 counters, 1 tokens
  TokenCutoffs cutoffs;                   // "bayes_spam_cutoff", "bayes_ham_cutoff", "bayes_min_trained"
  int token_lifetime_value = 30;          // "bayes_token_delete_time"
  int token_lifetime_unit = 86400;        // "bayes_token_delete_type"
};
BayesSettings BayesSettingsFromConfig(const CConfig& config);

// The detail of one classification.
struct CBayes_res {
  float pHam = 0, pSpam = 0, pUnknown = 0, threshold = 0;
  int32_t total = 0;   // unknown tokens plus the clamped evidence
  int32_t tokens = 0;  // tokens looked up
  // "SCORE %d : %s" (clamped counter, token) per token, by kind.
  CArray<String> ham, spam, unknown;
};

// Thread-safe: every store locks itself; training and the counter
// classification hold the word table's lock per message.
class CBayes : public CDB_RAM {
 public:
  // Classification codes, which also select the quarantine.
  enum Code { kSpam = 1, kHam = 2, kNeutral = 3, kLearn = 4 };

  static constexpr const char* kWordFile = "db/bayeswords.db";
  // Whoever holds an exclusive flock on this file may save the stores.
  static constexpr const char* kLockFile = "db/bayes.lock";
  // Word counters are 16-bit: they stop at these rather than wrap.
  static constexpr int kMaxCounter = 32767;
  // A counter weighs at most this much in one verdict.
  static constexpr int kMaxEvidence = 2;
  // A quarantine index value longer than this has its texts cut to
  // kCutTextChars, the subject first.
  static constexpr size_t kMaxQuarantineValue = 32768;
  static constexpr size_t kCutTextChars = 250;
  // Statistics group of the quarantine counters.
  static constexpr int kStatisticsGroup = 11;

  // The stores are bound to no file until SuperLoad, and refuse to save
  // until TakeWriterLock succeeds.
  CBayes();
  // Releases the writer lock; nothing is saved.
  ~CBayes() override;

  // Opens and loads the word table, the token table and the four
  // quarantine indexes under the application directory (each only when
  // its open succeeds). 1 when every store opened, else 0.
  int SuperLoad();
  // Takes the exclusive writer lock on kLockFile (without waiting). True
  // when this object now holds it (or already did); the stores may save
  // from then on. False, logged, when another object or process has it.
  bool TakeWriterLock();
  bool HoldsWriterLock() const { return lock_fd_ >= 0; }

  // Applies a reload's settings: minimum occurrences, quarantine lifetime
  // on the four indexes, method, cutoffs and token lifetime.
  void ApplySettings(const BayesSettings& settings);
  // maxUnknown = 1 - p/100, p = `percent` when above 1 (else 0), at most 99.
  void SetMinOccorenze(float percent);
  float GetMaxUnknown() const { return max_unknown_.load(); }

  // Classifies a tokenised message with the configured method: 1 spam, 2
  // ham, 3 neutral, 4 to learn (see the method's rules). `res` may be null.
  // 3 for a null `words`.
  // Fills `words` from `mail` with what the configured method reads (see
  // CBayesWord); training needs Elaborate instead. 0 for an empty message.
  int ElaborateForVerdict(CBayesWord* words, CParseMail* mail) const;
  int IsSpam(CBayesWord* words, CBayes_res* res);
  // IsSpam, and the verdict's tokens into `array` ("s_%d", "h_%d", "n_%d"
  // -> "SCORE %d : %s") with "score" -> the spam score. 3 without an array.
  int IsSpamScript(CBayesWord* words, KeyValueSink* array);
  // Trains both tables with a message: `mode` 2 as ham, any other as spam.
  void PopolateDB(CBayesWord* words, int mode);

  // Files the raw message of `mail` in the quarantine of `classCode`: its
  // ".eml" (0600, folders 0700) first, atomically, then the index record
  // (first 0x02 second 0x02 subject). 1 when filed or already filed; 0 for
  // a missing message, an unknown class or a failed write (logged, no
  // record). Counts "f11_bayes_*" in `stats` when given.
  int AddQuarantena(CParseMail* mail, const char* first, const char* second, int classCode, CStatitiche_Day* stats);
  // The same for the message `raw` whose subject is `subject`.
  int AddQuarantena(std::string_view raw, std::string subject, const char* first, const char* second, int classCode,
                    CStatitiche_Day* stats);
  // The index store of "HAM", "SPAM", "NEUTRAL" or "LEARN" (any case), or
  // null. Owned by this object.
  CDB_RAM* GetDBRam(const char* name);
  // "ham": the sum of the magnitudes of the negative counters; "spam": of
  // the positive ones; "neutral": the number of zero counters (any case).
  // 0 for another name.
  int GetWordsCount(const char* name);
  // Deletes the words whose counter is 0 and saves the word table when any
  // went or `saveAlways` is set.
  void RemoveNeutral(int saveAlways);

  // Quarantine and token hygiene: removes the quarantined messages older
  // than the quarantine lifetime (file and record) from the four
  // quarantines, and the stale tokens of the token table. Holds a store's
  // lock only to collect what expired, so it may run on its own thread
  // while sessions file and classify.
  void SanitizeAll();
  // One quarantine's part of SanitizeAll: the files `directory` + key +
  // ".eml" of the records at or before now - lifetime, then the records.
  // The number removed.
  int RemoveFile(CDB_RAM* store, const char* directory);

  // Saves every store (word table, token table, four indexes). False when
  // this object does not hold the writer lock (logged, nothing written) or
  // a write failed.
  bool SaveAll();

  CBayesTokens* tokens() { return &tokens_; }
  int method() const { return method_.load(); }
  CLogSimple& GetLog() { return log_; }

 private:
  struct Quarantine;
  // Every quarantine, by class code.
  static const Quarantine kQuarantines[4];
  // The quarantine of `code`, or null.
  const Quarantine* QuarantineOf(int code) const;
  CDB_RAM* StoreOf(const Quarantine& quarantine);
  int CounterVerdict(CBayesWord* words, CBayes_res* res);
  int TokenVerdictCode(CBayesWord* words, CBayes_res* res);
  void TrainCounters(const CArray<String>& words, int step);
  // Logs a refused save; false.
  bool RefuseSave(const char* what);

  CDB_RAM neutral_, learn_, spam_, ham_;
  CBayesTokens tokens_;
  std::atomic<float> max_unknown_{0.1f};
  std::atomic<int> method_{0};
  std::atomic<int32_t> token_lifetime_seconds_{30 * 86400};
  std::mutex cutoffs_lock_;
  TokenCutoffs cutoffs_;  // guarded by cutoffs_lock_
  std::mutex writer_lock_;  // serialises TakeWriterLock
  int lock_fd_ = -1;        // the locked file, or -1
  CLogSimple log_;
};

#endif  // TORVANE_ENGINES_BAYES_FILTER_H_
